#include "cms_summary.h"

#include <climits>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

namespace smimetool {

namespace {

// Owners as the rest of the tool writes them: each object with its free function.
using CmsPtr = std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free_all)>;
using BignumPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)>;

// One BER element: where its contents begin and end (the end-of-contents
// octets of an indefinite length excluded), and where the next one begins.
struct Element {
    int tag = 0;
    int tagClass = 0;
    const unsigned char* start = nullptr;
    const unsigned char* contents = nullptr;
    const unsigned char* contentsEnd = nullptr;
    const unsigned char* next = nullptr;
};

constexpr int kMaxDepth = 32;

// Reads the element at at; indefinite lengths are followed to their end
// through the elements inside, at most kMaxDepth deep.
bool readElement(const unsigned char* at, const unsigned char* end, Element& element, int depth = 0) {
    if (depth > kMaxDepth || at >= end) return false;
    const unsigned char* p = at;
    element.start = at;
    long length = 0;
    const int flags = ASN1_get_object(&p, &length, &element.tag, &element.tagClass, end - at);
    if (flags & 0x80) return false;
    element.contents = p;
    if (flags == 0x21) { // constructed, indefinite
        while (p + 2 <= end && !(p[0] == 0 && p[1] == 0)) {
            Element inner;
            if (!readElement(p, end, inner, depth + 1)) return false;
            p = inner.next;
        }
        if (p + 2 > end) return false;
        element.contentsEnd = p;
        element.next = p + 2;
        return true;
    }
    element.contentsEnd = p + length;
    element.next = element.contentsEnd;
    return true;
}

// The children of a constructed element, in order.
std::vector<Element> childrenOf(const Element& parent) {
    std::vector<Element> children;
    for (const unsigned char* at = parent.contents; at < parent.contentsEnd;) {
        Element child;
        if (!readElement(at, parent.contentsEnd, child)) break;
        children.push_back(child);
        at = child.next;
    }
    return children;
}

// The content cipher named in an (authenticated) enveloped data's
// encrypted content info: ContentInfo → [0] → the envelope's fields, of
// which the first SEQUENCE after the recipient infos (a SET) is the one.
std::string contentCipherOf(std::string_view der) {
    const auto* begin = reinterpret_cast<const unsigned char*>(der.data());
    Element contentInfo;
    if (!readElement(begin, begin + der.size(), contentInfo)) return "";
    const std::vector<Element> info = childrenOf(contentInfo);
    if (info.size() < 2) return "";
    const std::vector<Element> explicitContent = childrenOf(info[1]);
    if (explicitContent.empty()) return "";
    bool afterRecipients = false;
    for (const Element& field : childrenOf(explicitContent[0])) {
        if (field.tag == V_ASN1_SET && field.tagClass == V_ASN1_UNIVERSAL) afterRecipients = true;
        else if (afterRecipients && field.tag == V_ASN1_SEQUENCE) {
            const std::vector<Element> encrypted = childrenOf(field);
            if (encrypted.size() < 2) return "";
            const std::vector<Element> algorithm = childrenOf(encrypted[1]);
            if (algorithm.empty() || algorithm[0].tag != V_ASN1_OBJECT) return "";
            const unsigned char* oid = algorithm[0].start;
            ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &oid, algorithm[0].next - algorithm[0].start), ASN1_OBJECT_free);
            if (!object) return "";
            const int nid = OBJ_obj2nid(object.get());
            if (nid != NID_undef) return OBJ_nid2ln(nid);
            char text[128];
            return OBJ_obj2txt(text, sizeof text, object.get(), 1) > 0 ? text : "";
        }
    }
    return "";
}

std::string nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free_all);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return "?";
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string hexText(const unsigned char* bytes, int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < length; ++i) text += std::string{kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
}

// "serial 0x28 from CN=CA" or "key id 0a1b...", as a recipient is named.
std::string recipientText(ASN1_OCTET_STRING* keyId, X509_NAME* issuer, ASN1_INTEGER* serial) {
    if (keyId != nullptr) return "key id " + hexText(ASN1_STRING_get0_data(keyId), ASN1_STRING_length(keyId));
    if (issuer == nullptr || serial == nullptr) return "an unnamed recipient";
    BignumPtr number(ASN1_INTEGER_to_BN(serial, nullptr), BN_free);
    char* hex = number ? BN_bn2hex(number.get()) : nullptr;
    std::string text = "serial 0x" + std::string(hex != nullptr ? hex : "?") + " from " + nameText(issuer);
    OPENSSL_free(hex);
    return text;
}

std::vector<std::string> recipientsOf(CMS_ContentInfo* cms) {
    std::vector<std::string> names;
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
    for (int i = 0; infos != nullptr && i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
        ASN1_OCTET_STRING* keyId = nullptr;
        X509_NAME* issuer = nullptr;
        ASN1_INTEGER* serial = nullptr;
        switch (CMS_RecipientInfo_type(info)) {
        case CMS_RECIPINFO_TRANS:
            if (CMS_RecipientInfo_ktri_get0_signer_id(info, &keyId, &issuer, &serial) == 1)
                names.push_back(recipientText(keyId, issuer, serial));
            break;
        case CMS_RECIPINFO_AGREE: {
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(info);
            for (int k = 0; keys != nullptr && k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
                if (CMS_RecipientEncryptedKey_get0_id(sk_CMS_RecipientEncryptedKey_value(keys, k), &keyId, nullptr,
                                                      nullptr, &issuer, &serial) == 1)
                    names.push_back(recipientText(keyId, issuer, serial));
            break;
        }
        default:
            names.push_back("a recipient by key or password");
        }
    }
    return names;
}

} // namespace

std::optional<CmsSummary> summarizeCms(std::string_view der) {
    if (der.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    BioPtr bio(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())), BIO_free_all);
    CmsPtr cms(bio ? d2i_CMS_bio(bio.get(), nullptr) : nullptr, CMS_ContentInfo_free);
    if (!cms) return std::nullopt;
    CmsSummary summary;
    switch (OBJ_obj2nid(CMS_get0_type(cms.get()))) {
    case NID_pkcs7_signed: summary.kind = CmsKind::SignedData; return summary;
    case NID_pkcs7_enveloped: summary.kind = CmsKind::EnvelopedData; break;
    case NID_id_smime_ct_authEnvelopedData: summary.kind = CmsKind::AuthEnvelopedData; break;
    default: return summary;
    }
    summary.cipher = contentCipherOf(der);
    summary.recipients = recipientsOf(cms.get());
    return summary;
}

const char* smimeTypeOf(CmsKind kind) {
    switch (kind) {
    case CmsKind::SignedData: return "signed-data";
    case CmsKind::EnvelopedData: return "enveloped-data";
    case CmsKind::AuthEnvelopedData: return "authEnveloped-data";
    default: return "";
    }
}

} // namespace smimetool
