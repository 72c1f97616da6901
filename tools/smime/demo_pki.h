// Throwaway keys, certificates and key stores made with the OpenSSL API: a
// CA and identities for `smime demo`, and for the tests.
#ifndef SMIME_DEMO_PKI_H
#define SMIME_DEMO_PKI_H

#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace demopki {

struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

enum class KeyKind { Rsa2048, EcP256 };

struct CertificateRequest {
    std::string commonName;
    std::string email;             // subjectAltName rfc822Name; empty: none
    long validFromSeconds = -3600; // relative to now
    long validForSeconds = 365L * 86400;
    bool authority = false;        // a CA: certificate and CRL signing only
};

// Each returns null or empty when OpenSSL fails.
KeyPtr makeKey(KeyKind kind);
// A certificate for subjectKey signed by issuerKey; self-signed when
// issuerCert is null. End-entity certificates may sign and receive S/MIME.
CertPtr makeCertificate(EVP_PKEY* subjectKey, const CertificateRequest& request, X509* issuerCert,
                        EVP_PKEY* issuerKey);

std::string certificatePem(X509* cert);
std::string certificateDer(X509* cert);
// PKCS#8 PEM, encrypted with AES-256-CBC when password is not empty.
std::string privateKeyPem(EVP_PKEY* key, const std::string& password);

enum class Pkcs12Kind {
    Modern, // PBES2 with AES-256-CBC and a SHA-256 MAC: OpenSSL 3's default
    Legacy  // PBE-SHA1-3DES for keys and certificates, SHA-1 MAC: what older tools read
};
std::string pkcs12(EVP_PKEY* key, X509* cert, const std::vector<X509*>& chain, const std::string& password,
                   const std::string& friendlyName, Pkcs12Kind kind);

} // namespace demopki

#endif // SMIME_DEMO_PKI_H
