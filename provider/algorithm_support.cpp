#include "algorithm_support.h"

#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/objects.h>

#include "bookkeeping.h"
#include "der_content.h"
#include "openssl_support.h"

namespace detail {

namespace {

// Algorithms of current mail that OpenSSL 3.0 has no name for.
struct NamedOid {
    const char* oid;
    const char* name;
};
constexpr NamedOid kUnnamed[] = {
    {"1.2.840.113549.1.9.16.3.18", "ChaCha20-Poly1305"},
    {"1.2.840.113549.1.9.16.3.17", "HSS/LMS hash-based signature"},
    {"2.16.840.1.101.3.4.3.17", "ML-DSA-44"},
    {"2.16.840.1.101.3.4.3.18", "ML-DSA-65"},
    {"2.16.840.1.101.3.4.3.19", "ML-DSA-87"},
    {"2.16.840.1.101.3.4.4.1", "ML-KEM-512"},
    {"2.16.840.1.101.3.4.4.2", "ML-KEM-768"},
    {"2.16.840.1.101.3.4.4.3", "ML-KEM-1024"},
};

const char* nameOf(const ASN1_OBJECT* algorithm, const char* dotted) {
    const int nid = OBJ_obj2nid(algorithm);
    if (nid != NID_undef) return OBJ_nid2ln(nid);
    for (const NamedOid& known : kUnnamed)
        if (std::strcmp(known.oid, dotted) == 0) return known.name;
    return nullptr;
}

// The public-key algorithms whose CMS signatures OpenSSL verifies.
bool verifiable(const ASN1_OBJECT* algorithm) {
    const int nid = OBJ_obj2nid(algorithm);
    int digest = NID_undef, key = nid;
    OBJ_find_sigid_algs(nid, &digest, &key); // a key algorithm stays as it is
    return key == NID_rsaEncryption || key == NID_rsassaPss || key == NID_X9_62_id_ecPublicKey || key == NID_dsa;
}

} // namespace

kivo_reason_t unsupported(const char* role, const ASN1_OBJECT* algorithm) noexcept {
    char dotted[96] = "";
    if (algorithm != nullptr) OBJ_obj2txt(dotted, sizeof dotted, algorithm, 1);
    const char* name = algorithm != nullptr ? nameOf(algorithm, dotted) : nullptr;
    char what[160];
    if (name != nullptr)
        std::snprintf(what, sizeof what, "%s %s (%s)", role, name, dotted);
    else
        std::snprintf(what, sizeof what, "%s %s", role, dotted);
    return unsupportedAlgorithm(what);
}

kivo_reason_t checkSignatureAlgorithms(CMS_ContentInfo* cms) noexcept {
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        X509_ALGOR* signature = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, i), nullptr, nullptr, nullptr, &signature);
        if (signature != nullptr && !verifiable(signature->algorithm))
            return unsupported("the signature algorithm", signature->algorithm);
    }
    return KIVO_R_NONE;
}

kivo_reason_t checkRecipientAlgorithm(CMS_RecipientInfo* ri) noexcept {
    X509_ALGOR* algorithm = nullptr;
    ASN1_BIT_STRING* originatorKey = nullptr;
    switch (CMS_RecipientInfo_type(ri)) {
    case CMS_RECIPINFO_TRANS:
        if (CMS_RecipientInfo_ktri_get0_algs(ri, nullptr, nullptr, &algorithm) != 1 || algorithm == nullptr)
            return KIVO_R_NONE;
        switch (OBJ_obj2nid(algorithm->algorithm)) {
        case NID_rsaEncryption:
        case NID_rsaesOaep:
            return KIVO_R_NONE;
        default:
            return unsupported("the key transport algorithm", algorithm->algorithm);
        }
    case CMS_RECIPINFO_AGREE:
        // The sender's ephemeral key says the curve family (X25519 and X448
        // use the same agreement algorithms as elliptic curves do).
        if (CMS_RecipientInfo_kari_get0_orig_id(ri, &algorithm, &originatorKey, nullptr, nullptr, nullptr) != 1 ||
            algorithm == nullptr)
            return KIVO_R_NONE;
        switch (OBJ_obj2nid(algorithm->algorithm)) {
        case NID_X9_62_id_ecPublicKey:
        case NID_dhpublicnumber:
            return KIVO_R_NONE;
        default:
            return unsupported("the key agreement key", algorithm->algorithm);
        }
    default:
        return KIVO_R_NONE;
    }
}

kivo_reason_t checkContentCipher(CMS_ContentInfo* cms) noexcept {
    // OpenSSL keeps the content's algorithm out of reach: the structure is
    // encoded again and walked (a failure path, so the copy costs nothing
    // that matters).
    OsslBytes der;
    std::size_t length = 0, oidStart = 0, oidSize = 0;
    if (derOf(cms, der, length) != KIVO_R_NONE || !locateContentAlgorithm(der.get(), length, oidStart, oidSize))
        return KIVO_R_NONE;
    const unsigned char* cursor = der.get() + oidStart;
    OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free> algorithm(d2i_ASN1_OBJECT(nullptr, &cursor, static_cast<long>(oidSize)));
    if (!algorithm) return KIVO_R_NONE;
    const int nid = OBJ_obj2nid(algorithm.get());
    OsslPtr<EVP_CIPHER, EVP_CIPHER_free> cipher(nid != NID_undef ? EVP_CIPHER_fetch(nullptr, OBJ_nid2sn(nid), nullptr)
                                                                 : nullptr);
    ERR_clear_error();
    return cipher ? KIVO_R_NONE : unsupported("the content-encryption algorithm", algorithm.get());
}

} // namespace detail
