#include <cstdint>
#include <cstring>

#include <openssl/pem.h>

#include "cms_ops.h"
#include "openssl_support.h"

namespace detail {

namespace {

X509Ptr readCertificate(const gss_buffer_desc& buffer) {
    if (buffer.value == nullptr || buffer.length == 0) return nullptr;
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

} // namespace

kivo_reason_t encryptContent(const IDUP_Target_Info_desc& targets, OM_uint32 strength, const gss_buffer_desc& input,
                             gss_buffer_desc& token) {
    if (targets.count == 0 || targets.recipients == nullptr) return KIVO_R_NO_RECIPIENTS;
    const EVP_CIPHER* cipher = cipherFor(strength);
    if (cipher == nullptr) return KIVO_R_UNSUPPORTED_CIPHER;
    if (input.length != 0 && input.value == nullptr) return KIVO_R_BAD_PARAMETER;

    BioPtr content = readOnlyBio(input.value, input.length);
    if (!content) return KIVO_R_NO_MEMORY;
    const unsigned flags = CMS_BINARY | CMS_PARTIAL;
    CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, flags));
    if (!cms) return reasonFromQueue(KIVO_R_INTERNAL);

    // Every recipient is tried, so that the statuses tell each one's fate;
    // one that cannot be used fails the whole encryption.
    kivo_reason_t outcome = KIVO_R_NONE;
    for (OM_uint32 i = 0; i < targets.count; ++i) {
        X509Ptr cert = readCertificate(targets.recipients[i]);
        kivo_reason_t reason = cert ? recipientFitness(cert.get()) : reasonFromQueue(KIVO_R_BAD_RECIPIENT_CERTIFICATE);
        if (reason == KIVO_R_NONE && CMS_add1_recipient_cert(cms.get(), cert.get(), flags) == nullptr)
            reason = reasonFromQueue(KIVO_R_BAD_RECIPIENT_CERTIFICATE);
        if (targets.statuses != nullptr) targets.statuses[i] = reason;
        if (outcome == KIVO_R_NONE) outcome = reason;
    }
    if (outcome != KIVO_R_NONE) return outcome;
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    return handOverDer(cms.get(), i2d_CMS_ContentInfo, &token);
}

} // namespace detail
