#include "test_pki.h"

#include <stdexcept>

#include <openssl/x509v3.h>

#include "demo_pki.h"
#include "temp_dir.h"

namespace testpki {

namespace {

template <typename T>
T checked(T made, const char* what) {
    if (made == T()) throw std::runtime_error(std::string("test PKI: ") + what + " failed");
    return made;
}

bool replaceExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    if (value.empty()) return true;
    X509_EXTENSION_free(X509_delete_ext(cert, X509_get_ext_by_NID(cert, nid, -1)));
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    const bool added = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

Cert makeCert(EVP_PKEY* subjectKey, const IssueOptions& options, X509* issuerCert, EVP_PKEY* issuerKey) {
    const demopki::CertificateRequest made{options.commonName, options.email, options.validFromSeconds,
                                           options.validForSeconds, options.authority};
    Cert cert(checked(demopki::makeCertificate(subjectKey, made, issuerCert, issuerKey), "certificate").release(), CertFree());
    if (options.keyUsage.empty() && options.extendedKeyUsage.empty()) return cert;
    X509* issuer = issuerCert != nullptr ? issuerCert : cert.get();
    if (!replaceExtension(cert.get(), issuer, NID_key_usage, options.keyUsage) ||
        !replaceExtension(cert.get(), issuer, NID_ext_key_usage, options.extendedKeyUsage) ||
        X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0)
        throw std::runtime_error("test PKI: certificate extensions failed");
    return cert;
}

} // namespace

Key makeKey(KeyKind kind) { return Key(checked(demopki::makeKey(kind), "key generation").release(), KeyFree()); }

Identity makeRoot(const std::string& commonName, KeyKind kind) {
    const Key key = testpki::makeKey(kind);
    return {key, makeCert(key.get(), {commonName, "", kind, -3600, 10L * 365 * 86400, true}, nullptr, key.get())};
}

Identity issue(const Identity& issuer, const IssueOptions& options) {
    const Key key = testpki::makeKey(options.kind);
    return {key, certify(issuer, key, options)};
}

Cert certify(const Identity& issuer, const Key& key, const IssueOptions& options) {
    return makeCert(key.get(), options, issuer.cert.get(), issuer.key.get());
}

std::string certPem(X509* cert) { return checked(demopki::certificatePem(cert), "certificate PEM"); }
std::string certDer(X509* cert) { return checked(demopki::certificateDer(cert), "certificate DER"); }
std::string keyPem(EVP_PKEY* key, const std::string& password) { return checked(demopki::privateKeyPem(key, password), "key PEM"); }

std::string pkcs12(const Identity& identity, const std::vector<X509*>& chain, const std::string& password,
                   const std::string& friendlyName, Pkcs12Kind kind) {
    return checked(demopki::pkcs12(identity.key.get(), identity.cert.get(), chain, password, friendlyName, kind), "PKCS#12");
}

const StandardPki& standardPki() {
    static const StandardPki pki = [] {
        StandardPki made;
        made.root = makeRoot("Test Root CA");
        made.alice = issue(made.root, {"Alice", "alice@example.com", KeyKind::Rsa2048});
        made.bob = issue(made.root, {"Bob", "bob@example.com", KeyKind::EcP256});
        made.carol = issue(made.root, {"Carol", "carol@example.com", KeyKind::Rsa2048});
        made.expired = issue(made.root, {"Old Timer", "old@example.com", KeyKind::Rsa2048, -30L * 86400, 29L * 86400});
        made.otherRoot = makeRoot("Untrusted Root CA", KeyKind::EcP256);
        made.stranger = issue(made.otherRoot, {"Stranger", "stranger@example.com", KeyKind::Rsa2048});
        made.intermediate = issue(made.root, {"Test Intermediate CA", "", KeyKind::EcP256, -3600, 365L * 86400, true});
        made.dave = issue(made.intermediate, {"Dave", "dave@example.com", KeyKind::EcP256});
        return made;
    }();
    return pki;
}

const KeyStoreFiles& keyStoreFiles() {
    static const TempDir folder;
    static const KeyStoreFiles files = [] {
        const StandardPki& pki = standardPki();
        const std::string password = KeyStoreFiles::kPassword;
        X509* root = pki.root.cert.get();
        KeyStoreFiles made;
        made.aliceP12 = folder.write("alice.p12", pkcs12(pki.alice, {root}, password, "alice-key"));
        made.aliceLegacyP12 =
            folder.write("alice-legacy.p12", pkcs12(pki.alice, {root}, password, "alice-key", Pkcs12Kind::Legacy));
        made.bobP12 = folder.write("bob.p12", pkcs12(pki.bob, {root}, password, "bob-key"));
        made.carolPem = folder.write("carol.pem", keyPem(pki.carol.key.get(), password) +
                                                      certPem(pki.carol.cert.get()) + certPem(root));
        made.expiredP12 = folder.write("expired.p12", pkcs12(pki.expired, {root}, password));
        made.strangerP12 = folder.write("stranger.p12", pkcs12(pki.stranger, {pki.otherRoot.cert.get()}, password));
        made.daveP12 = folder.write("dave.p12", pkcs12(pki.dave, {pki.intermediate.cert.get(), root}, password, "dave-key"));
        made.rootPem = folder.write("root.pem", certPem(root));
        made.aliceCertPem = folder.write("alice.pem", certPem(pki.alice.cert.get()));
        made.bobCertPem = folder.write("bob.pem", certPem(pki.bob.cert.get()));
        made.carolCertPem = folder.write("carol-cert.pem", certPem(pki.carol.cert.get()));
        return made;
    }();
    return files;
}

} // namespace testpki
