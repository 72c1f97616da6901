#include "kdf_limits.h"

#include "ossl_ptr.h"

namespace detail {

namespace {

// scrypt's memory grows with N * r: 2^20 * 8 is 1 GiB already.
constexpr long kMaxScryptCost = 1L << 20;
constexpr long kMaxScryptBlockSize = 8;
constexpr long kMaxScryptParallelism = 16;

bool withinLimit(const ASN1_INTEGER* value, long limit) {
    // ASN1_INTEGER_get gives -1 for values too large for a long.
    const long v = value == nullptr ? 1 : ASN1_INTEGER_get(value);
    return v > 0 && v <= limit;
}

template <typename Params, void (*FreeFn)(Params*)>
OsslPtr<Params, FreeFn> unpack(const ASN1_ITEM* item, const ASN1_TYPE* parameter) {
    if (parameter == nullptr) return nullptr;
    return OsslPtr<Params, FreeFn>(static_cast<Params*>(ASN1_TYPE_unpack_sequence(item, parameter)));
}

bool keyDerivationAcceptable(const X509_ALGOR* kdf) {
    switch (OBJ_obj2nid(kdf->algorithm)) {
    case NID_id_pbkdf2: {
        auto params = unpack<PBKDF2PARAM, PBKDF2PARAM_free>(ASN1_ITEM_rptr(PBKDF2PARAM), kdf->parameter);
        return params && withinLimit(params->iter, kMaxKdfIterations);
    }
    case NID_id_scrypt: {
        auto params = unpack<SCRYPT_PARAMS, SCRYPT_PARAMS_free>(ASN1_ITEM_rptr(SCRYPT_PARAMS), kdf->parameter);
        return params && withinLimit(params->costParameter, kMaxScryptCost) &&
               withinLimit(params->blockSize, kMaxScryptBlockSize) &&
               withinLimit(params->parallelizationParameter, kMaxScryptParallelism);
    }
    default:
        return false;
    }
}

} // namespace

bool kdfCostAcceptable(const X509_ALGOR* alg) {
    if (alg == nullptr) return false;
    if (OBJ_obj2nid(alg->algorithm) == NID_pbes2) {
        auto params = unpack<PBE2PARAM, PBE2PARAM_free>(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter);
        return params && params->keyfunc != nullptr && keyDerivationAcceptable(params->keyfunc);
    }
    auto params = unpack<PBEPARAM, PBEPARAM_free>(ASN1_ITEM_rptr(PBEPARAM), alg->parameter);
    return params && withinLimit(params->iter, kMaxKdfIterations);
}

bool macCostAcceptable(const PKCS12* p12) {
    const ASN1_INTEGER* iterations = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &iterations, p12);
    return withinLimit(iterations, kMaxKdfIterations);
}

} // namespace detail
