#include "demo_pki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace demopki {

namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string textOf(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()), X509_EXTENSION_free);
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool setRandomSerial(X509* cert) {
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return false;
    serial[0] &= 0x7f; // positive
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr), BN_free);
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool setSubject(X509* cert, const std::string& commonName) {
    X509_NAME* name = X509_get_subject_name(cert);
    return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test PKI"), -1,
                                      -1, 0) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1;
}

bool addUsage(X509* cert, X509* issuer, EVP_PKEY* subjectKey, const CertificateRequest& request) {
    if (request.authority)
        return addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE") &&
               addExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    // RSA receives by key transport, EC by key agreement.
    const bool ec = EVP_PKEY_is_a(subjectKey, "EC");
    return addExtension(cert, issuer, NID_basic_constraints, "CA:FALSE") &&
           addExtension(cert, issuer, NID_key_usage,
                        ec ? "critical,digitalSignature,nonRepudiation,keyAgreement"
                           : "critical,digitalSignature,nonRepudiation,keyEncipherment") &&
           addExtension(cert, issuer, NID_ext_key_usage, "emailProtection") &&
           (request.email.empty() || addExtension(cert, issuer, NID_subject_alt_name, "email:" + request.email));
}

} // namespace

KeyPtr makeKey(KeyKind kind) { return KeyPtr(kind == KeyKind::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256")); }

CertPtr makeCertificate(EVP_PKEY* subjectKey, const CertificateRequest& request, X509* issuerCert,
                        EVP_PKEY* issuerKey) {
    CertPtr cert(X509_new());
    if (!cert) return nullptr;
    X509* c = cert.get();
    X509* issuer = issuerCert != nullptr ? issuerCert : c;
    const bool made =
        X509_set_version(c, 2) == 1 && setRandomSerial(c) && setSubject(c, request.commonName) &&
        X509_set_issuer_name(c, X509_get_subject_name(issuer)) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(c), request.validFromSeconds) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(c), request.validFromSeconds + request.validForSeconds) != nullptr &&
        X509_set_pubkey(c, subjectKey) == 1 && addExtension(c, issuer, NID_subject_key_identifier, "hash") &&
        (issuerCert == nullptr || addExtension(c, issuer, NID_authority_key_identifier, "keyid:always")) &&
        addUsage(c, issuer, subjectKey, request) && X509_sign(c, issuerKey, EVP_sha256()) > 0;
    return made ? std::move(cert) : nullptr;
}

std::string certificatePem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    return bio && PEM_write_bio_X509(bio.get(), cert) == 1 ? textOf(bio.get()) : std::string();
}

std::string certificateDer(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    if (length <= 0) return std::string();
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string privateKeyPem(EVP_PKEY* key, const std::string& password) {
    BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
    const EVP_CIPHER* cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    const char* pass = password.empty() ? nullptr : password.c_str();
    const bool written = bio && PEM_write_bio_PKCS8PrivateKey(bio.get(), key, cipher, pass,
                                                              static_cast<int>(password.size()), nullptr, nullptr) == 1;
    return written ? textOf(bio.get()) : std::string();
}

std::string pkcs12(EVP_PKEY* key, X509* cert, const std::vector<X509*>& chain, const std::string& password,
                   const std::string& friendlyName, Pkcs12Kind kind) {
    // The stack only lends the certificates to PKCS12_create.
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> ca(sk_X509_new_null(),
                                                                  [](STACK_OF(X509)* s) { sk_X509_free(s); });
    if (!ca) return std::string();
    for (X509* c : chain)
        if (sk_X509_push(ca.get(), c) == 0) return std::string();
    const bool legacy = kind == Pkcs12Kind::Legacy;
    const int pbe = legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
        PKCS12_create(password.c_str(), friendlyName.empty() ? nullptr : friendlyName.c_str(), key, cert, ca.get(),
                      pbe, pbe, 0, legacy ? -1 : 0, 0),
        PKCS12_free);
    if (!p12) return std::string();
    if (legacy && PKCS12_set_mac(p12.get(), password.c_str(), -1, nullptr, 0, 2048, EVP_sha1()) != 1)
        return std::string();
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12.get(), &der);
    if (length <= 0) return std::string();
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

} // namespace demopki
