// Keys, certificates and key stores made with the OpenSSL API, so that no key file is committed.
#ifndef TESTS_TEST_PKI_H
#define TESTS_TEST_PKI_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "demo_pki.h"

namespace testpki {

using demopki::CertFree;
using demopki::KeyFree;
using demopki::KeyKind;
using demopki::Pkcs12Kind; // Modern (OpenSSL 3's default) or Legacy (PBE-SHA1-3DES, what gpgsm 2.2 reads)
using Key = std::shared_ptr<EVP_PKEY>;
using Cert = std::shared_ptr<X509>;

struct Identity {
    Key key;
    Cert cert;
};

struct IssueOptions {
    std::string commonName;
    std::string email; // subjectAltName rfc822Name; empty: none
    KeyKind kind = KeyKind::Rsa2048;
    long validFromSeconds = -3600; // relative to now
    long validForSeconds = 365L * 86400;
    bool authority = false;
    // When not empty, replaces the (extended) key usage, in OpenSSL's config syntax: "critical,keyEncipherment".
    std::string keyUsage = "", extendedKeyUsage = "";
    // More extensions (each replacing one of its kind), e.g. {NID_subject_alt_name, "email:a@x.org,email:b@x.org"},
    // {NID_crl_distribution_points, "URI:http://..."}, {NID_info_access, "OCSP;URI:http://..."}.
    std::vector<std::pair<int, std::string>> extensions = {};
    std::string subjectEmail = ""; // an emailAddress in the subject name
};

Key makeKey(KeyKind kind);
Identity makeRoot(const std::string& commonName, KeyKind kind = KeyKind::Rsa2048); // self-signed CA
Identity issue(const Identity& issuer, const IssueOptions& options);                 // for a new key
Cert certify(const Identity& issuer, const Key& key, const IssueOptions& options);    // a renewal of key

// A CRL of issuer listing each certificate revoked so many seconds ago, valid from lastUpdate to nextUpdate
// (seconds from now), PEM; signed with signer instead of the issuer's key when that is given.
struct Revoked {
    X509* cert;
    long secondsAgo;
};
std::string crlPem(const Identity& issuer, const std::vector<Revoked>& revoked, long lastUpdate = -3600,
                   long nextUpdate = 86400, EVP_PKEY* signer = nullptr);

std::string certPem(X509* cert);
std::string certDer(X509* cert);
std::string keyPem(EVP_PKEY* key, const std::string& password = ""); // PKCS#8, AES-256-CBC with a password
std::string pkcs12(const Identity& identity, const std::vector<X509*>& chain, const std::string& password,
                   const std::string& friendlyName = "", Pkcs12Kind kind = Pkcs12Kind::Modern);

// The identities most tests share, made once per test program.
struct StandardPki {
    Identity root;         // trusted by the tests' verifications
    Identity alice;        // RSA-2048, alice@example.com
    Identity bob;          // EC P-256, bob@example.com
    Identity carol;        // RSA-2048, carol@example.com
    Identity expired;      // RSA-2048, valid until a day ago
    Identity otherRoot;    // a CA nobody trusts
    Identity stranger;     // RSA-2048, issued by otherRoot
    Identity intermediate; // a CA issued by root
    Identity dave;         // EC P-256, dave@example.com, issued by intermediate
};
const StandardPki& standardPki();

// The standard identities as key stores in a folder that lives as long as the program, all under kPassword.
struct KeyStoreFiles {
    static constexpr const char* kPassword = "test pass 1";
    std::string aliceP12, aliceLegacyP12; // friendly name "alice-key", chain: root; the second with legacy PBE
    std::string bobP12;                   // friendly name "bob-key", chain: root
    std::string carolPem;                 // encrypted PKCS#8 key, certificate, root
    std::string expiredP12;               // chain: root
    std::string strangerP12;              // chain: otherRoot
    std::string daveP12;                  // friendly name "dave-key", chain: intermediate, root
    std::string rootPem;                  // the root certificate alone
    std::string aliceCertPem, bobCertPem, carolCertPem;
};
const KeyStoreFiles& keyStoreFiles();

} // namespace testpki

#endif // TESTS_TEST_PKI_H
