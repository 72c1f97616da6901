#include <cstring>

#include <openssl/pkcs7.h>
#include <openssl/rsa.h>

#include "cms_ops.h"
#include "der_content.h"
#include "openssl_support.h"
#include "vekbuffer.h"

namespace detail {

namespace {

// The encapsulated form of a detached signature: the same SignedData with
// the content put in, laid out in one block of the token's final size.
// OpenSSL would copy the content into memory of its own twice on the way
// (into the structure, then into the encoding); here it is copied once.
kivo_reason_t encapsulate(CMS_ContentInfo* cms, const gss_buffer_desc& input, gss_buffer_desc& token) {
    OsslBytes der;
    std::size_t length = 0;
    const kivo_reason_t reason = derOf(cms, der, length);
    if (reason != KIVO_R_NONE) return reason;
    DerEdit insertion;
    if (!contentInsertion(der.get(), length, ContentKind::Signed, input.length, insertion)) return KIVO_R_INTERNAL;
    const std::size_t size = editedSize(insertion, length);
    if (!VekFitsLengthWord(size)) return KIVO_R_NO_MEMORY;
    MallocBytes block(static_cast<unsigned char*>(VekAllocateBlock(size)));
    if (!block) return KIVO_R_NO_MEMORY;
    unsigned char* hole = writeEdited(der.get(), length, insertion, block.get());
    unsigned char* content = writeContentHeaders(hole, ContentKind::Signed, input.length);
    if (input.length != 0) std::memcpy(content, input.value, input.length);
    return handOver(std::move(block), size, &token) ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
}

// What we can read, strongest first, as the S/MIME capabilities that tell a
// correspondent how to encrypt to us: the authenticated ciphers and OAEP
// before the CBC ciphers every mail client knows.
bool addCapabilities(CMS_SignerInfo* signer) {
    static const int kReadable[] = {NID_aes_256_gcm, NID_aes_128_gcm, NID_aes_192_gcm, NID_rsaesOaep,
                                    NID_aes_256_cbc, NID_aes_192_cbc, NID_aes_128_cbc, NID_des_ede3_cbc};
    AlgorithmStackPtr capabilities(sk_X509_ALGOR_new_null());
    if (!capabilities) return false;
    for (const int nid : kReadable)
        if (PKCS7_simple_smimecap(capabilities.get(), nid, -1) != 1) return false;
    return CMS_add_smimecap(signer, capabilities.get()) == 1;
}

// RSASSA-PSS as RFC 8551's agents make it: MGF1 with the signature's own
// digest, and a salt as long as that digest.
bool usePss(EVP_PKEY_CTX* context, const EVP_MD* md) {
    return context != nullptr && EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) > 0 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(context, md) > 0;
}

} // namespace

kivo_reason_t signContent(const Identity& identity, OM_uint32 digest, bool detached, const gss_buffer_desc& input,
                          gss_buffer_desc& token) {
    const bool pss = (digest & KIVO_DIGEST_PSS) != 0;
    const OM_uint32 hash = digest & ~KIVO_DIGEST_PSS;
    const EVP_MD* md = digestFor(hash);
    if (md == nullptr || (pss && hash != KIVO_DIGEST_SHA256 && hash != KIVO_DIGEST_SHA384 && hash != KIVO_DIGEST_SHA512))
        return KIVO_R_UNSUPPORTED_DIGEST;
    if (!identity.key || !identity.cert) return KIVO_R_NO_PRIVATE_KEY;
    if (pss && !EVP_PKEY_is_a(identity.key.get(), "RSA")) return KIVO_R_UNSUPPORTED_DIGEST;
    if (input.length != 0 && input.value == nullptr) return KIVO_R_BAD_PARAMETER;

    BioPtr content = readOnlyBio(input.value, input.length);
    if (!content) return KIVO_R_NO_MEMORY;
    // Binary: the bytes are signed exactly as given, line ends included.
    // The signature is always made detached, which hashes the content as it
    // streams past; an encapsulated token then gets the content put in.
    const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_DETACHED;
    CmsPtr cms(CMS_sign(nullptr, nullptr, identity.chain.get(), nullptr, flags));
    if (!cms) return reasonFromQueue(KIVO_R_INTERNAL);
    // The signer's certificate goes in too; signing time, content type and
    // message digest are OpenSSL's defaults, the S/MIME capabilities ours.
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), identity.cert.get(), identity.key.get(), md,
                                             flags | CMS_NOSMIMECAP | (pss ? CMS_KEY_PARAM : 0u));
    // A digest the key type cannot sign with (ECDSA has no MD5 form).
    if (signer == nullptr) return reasonFromQueue(KIVO_R_UNSUPPORTED_DIGEST);
    if (!addCapabilities(signer)) return reasonFromQueue(KIVO_R_INTERNAL);
    if (pss && !usePss(CMS_SignerInfo_get0_pkey_ctx(signer), md)) return reasonFromQueue(KIVO_R_INTERNAL);
    if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    if (detached) return handOverDer(cms.get(), i2d_CMS_ContentInfo, &token);
    return encapsulate(cms.get(), input, token);
}

} // namespace detail
