#include "test_pki.h"

#include <stdexcept>

#include <ctime>

#include <openssl/pem.h>
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
    if (options.keyUsage.empty() && options.extendedKeyUsage.empty() && options.extensions.empty() &&
        options.subjectEmail.empty())
        return cert;
    X509* issuer = issuerCert != nullptr ? issuerCert : cert.get();
    bool changed = replaceExtension(cert.get(), issuer, NID_key_usage, options.keyUsage) &&
                   replaceExtension(cert.get(), issuer, NID_ext_key_usage, options.extendedKeyUsage);
    for (const auto& [nid, value] : options.extensions) changed = changed && replaceExtension(cert.get(), issuer, nid, value);
    if (!options.subjectEmail.empty())
        changed = changed && X509_NAME_add_entry_by_NID(X509_get_subject_name(cert.get()), NID_pkcs9_emailAddress, MBSTRING_ASC,
                                                        reinterpret_cast<const unsigned char*>(options.subjectEmail.c_str()), -1, -1, 0) == 1;
    if (!changed || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0)
        throw std::runtime_error("test PKI: certificate extensions failed");
    return cert;
}

} // namespace

Key makeKey(KeyKind kind) { return Key(checked(demopki::makeKey(kind), "key generation").release(), KeyFree()); }

Identity makeRoot(const std::string& commonName, KeyKind kind) {
    const Key key = testpki::makeKey(kind);
    return {key, makeCert(key.get(), {commonName, "", kind, -30L * 86400, 10L * 365 * 86400, true}, nullptr, key.get())};
}

Identity issue(const Identity& issuer, const IssueOptions& options) {
    const Key key = testpki::makeKey(options.kind);
    return {key, certify(issuer, key, options)};
}

Cert certify(const Identity& issuer, const Key& key, const IssueOptions& options) {
    return makeCert(key.get(), options, issuer.cert.get(), issuer.key.get());
}

std::string crlPem(const Identity& issuer, const std::vector<Revoked>& revoked, long lastUpdate, long nextUpdate,
                   EVP_PKEY* signer) {
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(checked(X509_CRL_new(), "CRL"), X509_CRL_free);
    const auto at = [](long offset) { return ASN1_TIME_adj(nullptr, time(nullptr), 0, offset); };
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> last(at(lastUpdate), ASN1_TIME_free), next(at(nextUpdate), ASN1_TIME_free);
    bool made = last && next && X509_CRL_set_version(crl.get(), 1) == 1 &&
                X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.cert.get())) == 1 &&
                X509_CRL_set1_lastUpdate(crl.get(), last.get()) == 1 && X509_CRL_set1_nextUpdate(crl.get(), next.get()) == 1;
    for (const Revoked& entry : revoked) {
        X509_REVOKED* listed = X509_REVOKED_new();
        std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> when(at(-entry.secondsAgo), ASN1_TIME_free);
        made = made && listed != nullptr && when &&
               X509_REVOKED_set_serialNumber(listed, X509_get_serialNumber(entry.cert)) == 1 &&
               X509_REVOKED_set_revocationDate(listed, when.get()) == 1 && X509_CRL_add0_revoked(crl.get(), listed) == 1;
        if (!made) X509_REVOKED_free(listed);
    }
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer.cert.get(), nullptr, nullptr, crl.get(), 0);
    X509_EXTENSION* keyId = X509V3_EXT_conf_nid(nullptr, &context, NID_authority_key_identifier, "keyid:always");
    made = made && keyId != nullptr && X509_CRL_add_ext(crl.get(), keyId, -1) == 1;
    X509_EXTENSION_free(keyId);
    if (!made || X509_CRL_sort(crl.get()) != 1 ||
        X509_CRL_sign(crl.get(), signer != nullptr ? signer : issuer.key.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("test PKI: CRL failed");
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    char* data = nullptr;
    if (!out || PEM_write_bio_X509_CRL(out.get(), crl.get()) != 1) throw std::runtime_error("test PKI: CRL PEM failed");
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
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
