#include <cstdint>
#include <cstring>
#include <vector>

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "block_sink.h"
#include "cms_ops.h"
#include "der_content.h"
#include "openssl_support.h"
#include "vekbuffer.h"

namespace detail {

namespace {

X509Ptr readCertificate(const gss_buffer_desc& buffer) {
    if (buffer.value == nullptr || buffer.length == 0 || !fitsLong(buffer.length)) return nullptr;
    const auto* bytes = static_cast<const unsigned char*>(buffer.value);
    static const char kPem[] = "-----BEGIN";
    if (buffer.length >= sizeof kPem - 1 && std::memcmp(bytes, kPem, sizeof kPem - 1) == 0) {
        BioPtr bio = readOnlyBio(bytes, buffer.length);
        return bio ? X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) : nullptr;
    }
    const unsigned char* cursor = bytes;
    X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(buffer.length)));
    return cert && cursor == bytes + buffer.length ? std::move(cert) : nullptr;
}

// Why cert cannot receive a message, or KIVO_R_NONE: S/MIME peers accept
// key transport to RSA keys and key agreement with EC keys, each only where
// the certificate's key usage allows it, and only while it is valid.
kivo_reason_t recipientFitness(X509* cert) {
    const EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr) return KIVO_R_BAD_RECIPIENT_CERTIFICATE;
    // UINT32_MAX when the certificate sets no key usage.
    const std::uint32_t usage = X509_get_key_usage(cert);
    const bool fits = (EVP_PKEY_is_a(key, "RSA") && (usage & KU_KEY_ENCIPHERMENT) != 0) ||
                      (EVP_PKEY_is_a(key, "EC") && (usage & KU_KEY_AGREEMENT) != 0);
    if (!fits) return KIVO_R_BAD_RECIPIENT_CERTIFICATE;
    return validNow(cert) ? KIVO_R_NONE : KIVO_R_CERTIFICATE_EXPIRED;
}

// Adds cert as a recipient; with oaep, an RSA key gets RSAES-OAEP with
// SHA-256 for its hash and its mask, as RFC 8551's agents send it. The key
// is wrapped later, when the content key exists.
bool addRecipient(CMS_ContentInfo* cms, X509* cert, unsigned flags, bool oaep) {
    oaep = oaep && EVP_PKEY_is_a(X509_get0_pubkey(cert), "RSA");
    CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms, cert, flags | (oaep ? CMS_KEY_PARAM : 0u));
    if (ri == nullptr || !oaep) return ri != nullptr;
    EVP_PKEY_CTX* context = CMS_RecipientInfo_get0_pkey_ctx(ri);
    return context != nullptr && EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha256()) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha256()) > 0;
}

// Frees the BIOs that CMS_dataInit put in front of a sink, leaving the sink.
class ContentChain {
public:
    ContentChain(BIO* chain, BIO* sink) : chain_(chain), sink_(sink) {}
    ~ContentChain() {
        while (chain_ != nullptr && chain_ != sink_) {
            BIO* next = BIO_pop(chain_);
            BIO_free(chain_);
            chain_ = next;
        }
    }
    ContentChain(const ContentChain&) = delete;
    ContentChain& operator=(const ContentChain&) = delete;
    BIO* get() const { return chain_; }

private:
    BIO* chain_;
    BIO* sink_;
};

// Writes all of input through chain.
bool writeAll(BIO* chain, const gss_buffer_desc& input) {
    const auto* bytes = static_cast<const unsigned char*>(input.value);
    std::size_t remaining = input.length;
    while (remaining != 0) {
        const int piece = remaining > (1u << 30) ? (1 << 30) : static_cast<int>(remaining);
        if (BIO_write(chain, bytes, piece) != piece) return false;
        bytes += piece;
        remaining -= static_cast<std::size_t>(piece);
    }
    return BIO_flush(chain) == 1;
}

// The tag OpenSSL writes for AES-GCM, and the one S/MIME agents expect.
constexpr std::size_t kTagLength = 16;

// The length of the encrypted content: CBC pads to whole blocks and always
// adds at least one byte; GCM adds nothing.
std::size_t encryptedLength(const EVP_CIPHER* cipher, std::size_t length) {
    const auto block = static_cast<std::size_t>(EVP_CIPHER_get_block_size(cipher));
    return block <= 1 ? length : (length / block + 1) * block;
}

} // namespace

kivo_reason_t encryptContent(const IDUP_Target_Info_desc& targets, OM_uint32 strength, const gss_buffer_desc& input,
                             gss_buffer_desc& token) {
    if (targets.count == 0 || targets.recipients == nullptr) return KIVO_R_NO_RECIPIENTS;
    const bool oaep = (strength & KIVO_STRENGTH_OAEP) != 0;
    const EVP_CIPHER* cipher = cipherFor(strength & ~KIVO_STRENGTH_OAEP);
    if (cipher == nullptr) return KIVO_R_UNSUPPORTED_CIPHER;
    if (input.length != 0 && input.value == nullptr) return KIVO_R_BAD_PARAMETER;

    // Made without its content: the token is laid out around the encrypted
    // content, which the cipher then writes straight into its place.
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED;
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, flags));
    if (!cms) return reasonFromQueue(KIVO_R_INTERNAL);

    // Every recipient is tried, so that the statuses tell each one's fate;
    // one that cannot be used fails the whole encryption.
    kivo_reason_t outcome = KIVO_R_NONE;
    for (OM_uint32 i = 0; i < targets.count; ++i) {
        X509Ptr cert = readCertificate(targets.recipients[i]);
        kivo_reason_t reason = cert ? recipientFitness(cert.get()) : reasonFromQueue(KIVO_R_BAD_RECIPIENT_CERTIFICATE);
        if (reason == KIVO_R_NONE && !addRecipient(cms.get(), cert.get(), flags, oaep))
            reason = reasonFromQueue(KIVO_R_BAD_RECIPIENT_CERTIFICATE);
        if (targets.statuses != nullptr) targets.statuses[i] = reason;
        if (outcome == KIVO_R_NONE) outcome = reason;
    }
    if (outcome != KIVO_R_NONE) return outcome;

    // Setting up the cipher makes the content key and wraps it for every
    // recipient, which completes everything but the content.
    BioPtr sink = newWindowSink();
    if (!sink) return KIVO_R_NO_MEMORY;
    const ContentChain chain(CMS_dataInit(cms.get(), sink.get()), sink.get());
    if (chain.get() == nullptr) return reasonFromQueue(KIVO_R_INTERNAL);
    OsslBytes der;
    std::size_t derLength = 0;
    kivo_reason_t reason = derOf(cms.get(), der, derLength);
    if (reason != KIVO_R_NONE) return reason;
    // An authenticated envelope learns its tag last: it is laid out with
    // zeros in the tag's place, which the tag then overwrites.
    const bool authenticated = EVP_CIPHER_get_mode(cipher) == EVP_CIPH_GCM_MODE;
    const ContentKind kind = authenticated ? ContentKind::AuthEnveloped : ContentKind::Enveloped;
    std::vector<unsigned char> layout(der.get(), der.get() + derLength);
    if (authenticated) {
        DerEdit tag;
        if (!tagPlaceholder(der.get(), derLength, kTagLength, tag)) return KIVO_R_INTERNAL;
        layout.resize(editedSize(tag, derLength));
        writeTagPlaceholder(writeEdited(der.get(), derLength, tag, layout.data()), kTagLength);
    }
    const std::size_t contentLength = encryptedLength(cipher, input.length);
    DerEdit insertion;
    if (!contentInsertion(layout.data(), layout.size(), kind, contentLength, insertion)) return KIVO_R_INTERNAL;
    const std::size_t size = editedSize(insertion, layout.size());
    if (!VekFitsLengthWord(size)) return KIVO_R_NO_MEMORY;
    MallocBytes block(static_cast<unsigned char*>(VekAllocateBlock(size)));
    if (!block) return KIVO_R_NO_MEMORY;
    unsigned char* hole = writeEdited(layout.data(), layout.size(), insertion, block.get());
    setSinkWindow(sink.get(), writeContentHeaders(hole, kind, contentLength), contentLength);

    if (!writeAll(chain.get(), input) || CMS_dataFinal(cms.get(), chain.get()) != 1)
        return reasonFromQueue(KIVO_R_INTERNAL);
    // The layout was fixed before the content went through; finishing must
    // have changed nothing in it but the tag.
    OsslBytes after;
    std::size_t afterLength = 0;
    reason = derOf(cms.get(), after, afterLength);
    if (reason != KIVO_R_NONE) return reason;
    if (sinkLength(sink.get()) != contentLength || afterLength != layout.size()) return KIVO_R_INTERNAL;
    std::size_t tagStart = afterLength, tagLength = 0;
    if (authenticated) {
        std::size_t placeholder = 0, placeholderLength = 0;
        if (!locateTag(after.get(), afterLength, tagStart, tagLength) || tagLength != kTagLength ||
            !locateTag(block.get(), size, placeholder, placeholderLength) || placeholderLength != kTagLength)
            return KIVO_R_INTERNAL;
        std::memcpy(block.get() + placeholder, after.get() + tagStart, kTagLength);
    }
    const std::size_t tagEnd = tagStart + tagLength;
    if (std::memcmp(after.get(), layout.data(), tagStart) != 0 ||
        std::memcmp(after.get() + tagEnd, layout.data() + tagEnd, afterLength - tagEnd) != 0)
        return KIVO_R_INTERNAL;
    return handOver(std::move(block), size, &token) ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
}

} // namespace detail
