#include "test_pki.h"

#include <stdexcept>

#include "temp_dir.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace testpki {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test PKI: ") + what + " failed");
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
    X509_EXTENSION_free(ext);
}

Cert makeCert(EVP_PKEY* subjectKey, const IssueOptions& options, X509* issuerCert, EVP_PKEY* issuerKey) {
    Cert cert(X509_new(), CertFree());
    check(cert != nullptr, "X509_new");
    X509* c = cert.get();
    check(X509_set_version(c, 2) == 1, "version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    check(bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(c)) != nullptr, "serial");
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(c);
    const auto* cn = reinterpret_cast<const unsigned char*>(options.commonName.c_str());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test PKI"), -1, -1, 0) == 1 &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) == 1,
          "subject");
    X509* issuer = issuerCert != nullptr ? issuerCert : c;
    check(X509_set_issuer_name(c, X509_get_subject_name(issuer)) == 1, "issuer");
    check(X509_gmtime_adj(X509_getm_notBefore(c), options.validFromSeconds) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(c), options.validFromSeconds + options.validForSeconds) != nullptr,
          "validity");
    check(X509_set_pubkey(c, subjectKey) == 1, "pubkey");
    addExtension(c, issuer, NID_subject_key_identifier, "hash");
    if (issuerCert != nullptr) addExtension(c, issuer, NID_authority_key_identifier, "keyid:always");
    if (options.authority) {
        addExtension(c, issuer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(c, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(c, issuer, NID_basic_constraints, "CA:FALSE");
        const bool ec = EVP_PKEY_is_a(subjectKey, "EC");
        addExtension(c, issuer, NID_key_usage,
                     ec ? "critical,digitalSignature,nonRepudiation,keyAgreement"
                        : "critical,digitalSignature,nonRepudiation,keyEncipherment");
        addExtension(c, issuer, NID_ext_key_usage, "emailProtection");
        if (!options.email.empty()) addExtension(c, issuer, NID_subject_alt_name, "email:" + options.email);
    }
    check(X509_sign(c, issuerKey, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

} // namespace

Key makeKey(KeyKind kind) {
    EVP_PKEY* key = kind == KeyKind::Rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
    check(key != nullptr, "key generation");
    return Key(key, KeyFree());
}

Identity makeRoot(const std::string& commonName, KeyKind kind) {
    IssueOptions options;
    options.commonName = commonName;
    options.kind = kind;
    options.authority = true;
    options.validForSeconds = 10L * 365 * 86400;
    Key key = makeKey(kind);
    return Identity{key, makeCert(key.get(), options, nullptr, key.get())};
}

Identity issue(const Identity& issuer, const IssueOptions& options) {
    Key key = makeKey(options.kind);
    return Identity{key, makeCert(key.get(), options, issuer.cert.get(), issuer.key.get())};
}

Cert certify(const Identity& issuer, const Key& key, const IssueOptions& options) {
    return makeCert(key.get(), options, issuer.cert.get(), issuer.key.get());
}

std::string certPem(X509* cert) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
    return bioText(bio.get());
}

std::string certDer(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    check(length > 0, "i2d_X509");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string keyPem(EVP_PKEY* key, const std::string& password) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(bio != nullptr, "BIO_new");
    const EVP_CIPHER* cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    auto* pass = password.empty() ? nullptr : reinterpret_cast<const char*>(password.c_str());
    check(PEM_write_bio_PKCS8PrivateKey(bio.get(), key, cipher, pass, static_cast<int>(password.size()), nullptr,
                                        nullptr) == 1,
          "PEM_write_bio_PKCS8PrivateKey");
    return bioText(bio.get());
}

std::string pkcs12(const Identity& identity, const std::vector<X509*>& chain, const std::string& password,
                   const std::string& friendlyName, Pkcs12Kind kind) {
    STACK_OF(X509)* ca = sk_X509_new_null();
    check(ca != nullptr, "sk_X509_new_null");
    for (X509* cert : chain) check(sk_X509_push(ca, cert) != 0, "sk_X509_push");
    const bool legacy = kind == Pkcs12Kind::Legacy;
    const int pbe = legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : 0;
    PKCS12* p12 = PKCS12_create(password.c_str(), friendlyName.empty() ? nullptr : friendlyName.c_str(),
                                identity.key.get(), identity.cert.get(), ca, pbe, pbe, 0, legacy ? -1 : 0, 0);
    sk_X509_free(ca);
    check(p12 != nullptr, "PKCS12_create");
    if (legacy) check(PKCS12_set_mac(p12, password.c_str(), -1, nullptr, 0, 2048, EVP_sha1()) == 1, "PKCS12_set_mac");
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    check(length > 0, "i2d_PKCS12");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

const StandardPki& standardPki() {
    static const StandardPki pki = [] {
        StandardPki made;
        made.root = makeRoot("Test Root CA");
        made.alice = issue(made.root, {"Alice", "alice@example.com", KeyKind::Rsa2048});
        made.bob = issue(made.root, {"Bob", "bob@example.com", KeyKind::EcP256});
        made.carol = issue(made.root, {"Carol", "carol@example.com", KeyKind::Rsa2048});
        IssueOptions expired{"Old Timer", "old@example.com", KeyKind::Rsa2048};
        expired.validFromSeconds = -30L * 86400;
        expired.validForSeconds = 29L * 86400;
        made.expired = issue(made.root, expired);
        made.otherRoot = makeRoot("Untrusted Root CA", KeyKind::EcP256);
        made.stranger = issue(made.otherRoot, {"Stranger", "stranger@example.com", KeyKind::Rsa2048});
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
        made.folder = folder.file("");
        made.aliceP12 = folder.write("alice.p12", pkcs12(pki.alice, {root}, password, "alice-key"));
        made.aliceLegacyP12 =
            folder.write("alice-legacy.p12", pkcs12(pki.alice, {root}, password, "alice-key", Pkcs12Kind::Legacy));
        made.bobP12 = folder.write("bob.p12", pkcs12(pki.bob, {root}, password, "bob-key"));
        made.carolPem = folder.write("carol.pem", keyPem(pki.carol.key.get(), password) +
                                                      certPem(pki.carol.cert.get()) + certPem(root));
        made.expiredP12 = folder.write("expired.p12", pkcs12(pki.expired, {root}, password));
        made.strangerP12 = folder.write("stranger.p12", pkcs12(pki.stranger, {pki.otherRoot.cert.get()}, password));
        made.rootPem = folder.write("root.pem", certPem(root));
        made.aliceCertPem = folder.write("alice.pem", certPem(pki.alice.cert.get()));
        made.bobCertPem = folder.write("bob.pem", certPem(pki.bob.cert.get()));
        made.carolCertPem = folder.write("carol-cert.pem", certPem(pki.carol.cert.get()));
        return made;
    }();
    return files;
}

} // namespace testpki
