#include "algorithm_support.h"
#include "block_sink.h"
#include "cms_ops.h"
#include "openssl_support.h"

namespace detail {

namespace {

// Whether a key agreement wraps the content key with AES key wrap with
// padding. OpenSSL 3.0 up to 3.0.21 unwraps it into a block 8 bytes shorter
// than the wrapped key and, when the unwrapped key fails its check, wipes
// the whole wrapped length there: 8 bytes past the block, which damages the
// heap (fixed in 3.0.22). S/MIME key agreement uses the plain AES key wrap,
// so the padded one is refused before OpenSSL unwraps anything.
bool wrapsWithPadding(CMS_RecipientInfo* ri) {
    X509_ALGOR* agreement = nullptr;
    if (CMS_RecipientInfo_kari_get0_alg(ri, &agreement, nullptr) != 1 || agreement == nullptr) return false;
    OsslPtr<X509_ALGOR, X509_ALGOR_free> wrap(
        static_cast<X509_ALGOR*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(X509_ALGOR), agreement->parameter)));
    if (!wrap) return false; // OpenSSL refuses such a parameter itself
    const int nid = OBJ_obj2nid(wrap->algorithm);
    return nid == NID_id_aes128_wrap_pad || nid == NID_id_aes192_wrap_pad || nid == NID_id_aes256_wrap_pad;
}

// Whether a recipient info names cert (it goes to ours), and if so whether
// it can be tried. Recipient identifiers travel in clear, so saying that
// none names us tells an attacker nothing the message does not.
kivo_reason_t recipientReason(CMS_ContentInfo* cms, X509* cert, CMS_RecipientInfo*& ours) {
    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
    for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(infos, i);
        ours = ri;
        switch (CMS_RecipientInfo_type(ri)) {
        case CMS_RECIPINFO_TRANS:
            if (CMS_RecipientInfo_ktri_cert_cmp(ri, cert) == 0) return KIVO_R_NONE;
            break;
        case CMS_RECIPINFO_AGREE: {
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(ri);
            for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
                if (CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, k), cert) == 0)
                    return wrapsWithPadding(ri) ? KIVO_R_UNSUPPORTED_CIPHER : KIVO_R_NONE;
            break;
        }
        default:
            break;
        }
    }
    return KIVO_R_NOT_A_RECIPIENT;
}

// A message that failed because its key exchange or its cipher is one we do
// not have says so. Both are named in clear in the message, so this tells
// an attacker nothing about its secrets.
kivo_reason_t decryptionFailure(CMS_ContentInfo* cms, CMS_RecipientInfo* ours) {
    const kivo_reason_t reason = reasonFromQueue(KIVO_R_DECRYPTION_FAILED);
    if (reason != KIVO_R_DECRYPTION_FAILED) return reason;
    kivo_reason_t unsupported = checkRecipientAlgorithm(ours);
    if (unsupported == KIVO_R_NONE) unsupported = checkContentCipher(cms);
    return unsupported != KIVO_R_NONE ? unsupported : reason;
}

} // namespace

kivo_reason_t decryptEnveloped(const Identity& identity, CMS_ContentInfo* cms, const gss_buffer_desc* encrypted,
                               gss_buffer_desc& content, const ContentTarget& target) {
    if (!identity.key || !identity.cert) return KIVO_R_NO_PRIVATE_KEY;
    if (content.length != 0 || content.value != nullptr) return KIVO_R_BAD_PARAMETER;
    CMS_RecipientInfo* ours = nullptr;
    const kivo_reason_t recipient = recipientReason(cms, identity.cert.get(), ours);
    if (recipient != KIVO_R_NONE) return recipient;
    BioPtr source;
    if (encrypted != nullptr) {
        source = readOnlyBio(encrypted->value, encrypted->length);
        if (!source) return KIVO_R_NO_MEMORY;
    }
    // The content is never longer than its encryption.
    BioPtr out = newContentSink(target, encrypted != nullptr ? encrypted->length : 0);
    if (!out) return KIVO_R_NO_MEMORY;
    // With our certificate named, OpenSSL tries the key only on the recipient
    // infos that name it. When key transport does not unwrap, it reports no
    // error and goes on with a random content key, so a bad wrapped key and
    // bad content padding fail alike, at the same later step, with the same
    // reason: telling them apart would hand an attacker a padding oracle.
    // (Key agreement stops at a failed unwrap, but AES key wrap has its own
    // integrity check and so no such oracle; the reason is the same.)
    if (CMS_decrypt(cms, identity.key.get(), identity.cert.get(), source.get(), out.get(), CMS_BINARY) != 1)
        return decryptionFailure(cms, ours);
    return handOverContent(out.get(), target, &content);
}

} // namespace detail
