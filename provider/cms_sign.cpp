#include "cms_ops.h"
#include "openssl_support.h"

namespace detail {

kivo_reason_t signContent(const Identity& identity, OM_uint32 digest, bool detached, const gss_buffer_desc& input,
                          gss_buffer_desc& token) {
    const EVP_MD* md = digestFor(digest);
    if (md == nullptr) return KIVO_R_UNSUPPORTED_DIGEST;
    if (!identity.key || !identity.cert) return KIVO_R_NO_PRIVATE_KEY;
    if (input.length != 0 && input.value == nullptr) return KIVO_R_BAD_PARAMETER;

    BioPtr content = readOnlyBio(input.value, input.length);
    if (!content) return KIVO_R_NO_MEMORY;
    // Binary: the bytes are signed exactly as given, line ends included.
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0u);
    CmsPtr cms(CMS_sign(nullptr, nullptr, identity.chain.get(), nullptr, flags));
    if (!cms) return reasonFromQueue(KIVO_R_INTERNAL);
    // The signer's certificate goes in too; signing time, content type,
    // message digest and S/MIME capabilities are OpenSSL's defaults.
    if (CMS_add1_signer(cms.get(), identity.cert.get(), identity.key.get(), md, flags) == nullptr)
        // A digest the key type cannot sign with (ECDSA has no MD5 form).
        return reasonFromQueue(KIVO_R_UNSUPPORTED_DIGEST);
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    return handOverDer(cms.get(), i2d_CMS_ContentInfo, &token);
}

} // namespace detail
