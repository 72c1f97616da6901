#include "cms_ops.h"

namespace detail {

const EVP_MD* digestFor(OM_uint32 code) noexcept {
    switch (code) {
    case KIVO_DIGEST_DEFAULT:
    case KIVO_DIGEST_SHA256:
        return EVP_sha256();
    case KIVO_DIGEST_MD5:
        return EVP_md5();
    case KIVO_DIGEST_SHA1:
        return EVP_sha1();
    case KIVO_DIGEST_SHA384:
        return EVP_sha384();
    case KIVO_DIGEST_SHA512:
        return EVP_sha512();
    default:
        return nullptr; // MD2 among them: broken, and gone from OpenSSL 3
    }
}

OM_uint32 digestCodeOf(int nid) noexcept {
    switch (nid) {
    case NID_md5:
        return KIVO_DIGEST_MD5;
    case NID_sha1:
        return KIVO_DIGEST_SHA1;
    case NID_sha256:
        return KIVO_DIGEST_SHA256;
    case NID_sha384:
        return KIVO_DIGEST_SHA384;
    case NID_sha512:
        return KIVO_DIGEST_SHA512;
    default:
        return 0;
    }
}

const EVP_CIPHER* cipherFor(OM_uint32 strength) noexcept {
    switch (strength) {
    case KIVO_STRENGTH_DEFAULT:
    case KIVO_STRENGTH_AES256:
        return EVP_aes_256_cbc();
    case KIVO_STRENGTH_AES128:
        return EVP_aes_128_cbc();
    case KIVO_STRENGTH_AES192:
        return EVP_aes_192_cbc();
    case KIVO_STRENGTH_DES3:
        return EVP_des_ede3_cbc();
    case KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES128:
        return EVP_aes_128_gcm();
    case KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES192:
        return EVP_aes_192_gcm();
    case KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES256:
        return EVP_aes_256_gcm();
    default:
        return nullptr;
    }
}

} // namespace detail
