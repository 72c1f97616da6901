// Interoperability with GnuPG's gpgsm, both ways: gpgsm verifies and
// decrypts what SMIMEMessage writes, and SMIMEMessage verifies and decrypts
// what gpgsm writes. gpgsm reads and writes bare CMS (BER, or base64 of it),
// so the tests take the DER out of our MIME entities and put gpgsm's output
// into MIME entities of their own. What gpgsm is known to refuse is asserted
// too, so that a change of the tool shows up here.
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "openssl_base64.h"
#include "run_command.h"
#include "smime_der.h"
#include "smime_session.h"
#include "temp_dir.h"

namespace {

using testpki::keyStoreFiles;
using testpki::KeyStoreFiles;

const std::string kText = "Content-Type: text/plain; charset=us-ascii\r\n\r\nA message with\r\nCR LF lines.\r\n";

// Big enough that gpgsm splits the content into many BER chunks (of 4096
// bytes when signing).
std::string largeText() {
    std::string text = "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
    for (int line = 0; line < 4000; ++line) text += "Line " + std::to_string(line) + " of a long message.\r\n";
    return text;
}

std::string sha1Fingerprint(X509* cert, const std::string& separator) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha1(), digest, &length) != 1) return "";
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i != 0) text += separator;
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

// The body of a MIME entity: what follows the first empty line.
std::string mimeBody(const std::string& entity) {
    const std::size_t crlf = entity.find("\r\n\r\n");
    const std::size_t lf = entity.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return entity.substr(crlf + 4);
    return lf == std::string::npos ? "" : entity.substr(lf + 2);
}

const char kBoundary[] = "----=_gpgsm_interop_0123456789";

std::string clearSignedEntity(const std::string& content, const std::string& signatureDer, const std::string& micalg) {
    const std::string delimiter = std::string("--") + kBoundary;
    return "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=" +
           micalg + "; boundary=\"" + kBoundary + "\"\r\n\r\n" + delimiter + "\r\n" + content + "\r\n" + delimiter +
           "\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=smime.p7s\r\n\r\n" +
           breakLines(opensslBase64(signatureDer), 64, "\r\n") + "\r\n" + delimiter + "--\r\n";
}

// The two parts of a multipart/signed entity as RFC 1847 delimits them: the
// line break before a delimiter line belongs to the delimiter.
struct ClearSignedParts {
    std::string content;
    std::string signatureDer;
};

ClearSignedParts splitClearSigned(const std::string& entity) {
    ClearSignedParts parts;
    std::size_t at = entity.find("boundary=");
    if (at == std::string::npos) return parts;
    at += 9;
    std::string boundary;
    if (entity[at] == '"') {
        boundary = entity.substr(at + 1, entity.find('"', at + 1) - at - 1);
    } else {
        boundary = entity.substr(at, entity.find_first_of("; \t\r\n", at) - at);
    }
    const std::string delimiter = "--" + boundary;
    // Delimiter lines only: the boundary must start a line.
    auto findDelimiter = [&](std::size_t from) {
        for (std::size_t p = entity.find(delimiter, from); p != std::string::npos; p = entity.find(delimiter, p + 1))
            if (p == 0 || entity[p - 1] == '\n') return p;
        return std::string::npos;
    };
    auto partStart = [&](std::size_t delimiterAt) { return entity.find('\n', delimiterAt) + 1; };
    auto partEnd = [&](std::size_t nextDelimiter) {
        return nextDelimiter - ((nextDelimiter >= 2 && entity[nextDelimiter - 2] == '\r') ? 2 : 1);
    };
    const std::size_t first = findDelimiter(entity.size() - mimeBody(entity).size());
    const std::size_t second = first == std::string::npos ? first : findDelimiter(first + 1);
    const std::size_t closing = second == std::string::npos ? second : findDelimiter(second + 1);
    if (closing == std::string::npos) return parts;
    parts.content = entity.substr(partStart(first), partEnd(second) - partStart(first));
    parts.signatureDer = derFromSmime(entity.substr(partStart(second), partEnd(closing) - partStart(second)));
    return parts;
}

// The fields of the first "[GNUPG:] keyword ..." status line, keyword
// first; empty when gpgsm wrote none.
std::vector<std::string> statusLine(const std::string& statusOutput, const std::string& keyword) {
    std::istringstream lines(statusOutput);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string prefix;
        std::string word;
        words >> prefix >> word;
        if (prefix != "[GNUPG:]" || word != keyword) continue;
        std::vector<std::string> fields{word};
        while (words >> word) fields.push_back(word);
        return fields;
    }
    return {};
}

// A gpgsm home in a temporary folder. It trusts the test root, and its agent
// has no pinentry, so a passphrase that does not come through the loopback
// fails at once instead of waiting for a terminal. The agent protects
// imported keys with the fewest S2K iterations: its calibrated count makes
// every private-key operation take most of a second. The agent is stopped
// when the home goes.
class GpgsmHome {
public:
    GpgsmHome() : home_(folder_.file("g")) {
        std::filesystem::create_directory(home_);
        chmod(home_.c_str(), 0700);
        folder_.write("g/gpg-agent.conf", "pinentry-program " + folder_.file("no-pinentry") + "\ns2k-count 65536\n");
        folder_.write("g/trustlist.txt", sha1Fingerprint(testpki::standardPki().root.cert.get(), ":") + " S\n");
    }
    ~GpgsmHome() { runCommand({"gpgconf", "--kill", "all"}, "", environment()); }
    GpgsmHome(const GpgsmHome&) = delete;
    GpgsmHome& operator=(const GpgsmHome&) = delete;

    std::string write(const std::string& name, const std::string& bytes) const { return folder_.write(name, bytes); }
    std::string file(const std::string& name) const { return folder_.file(name); }

    // Status lines go to standard output; data goes to files (-o).
    CommandResult run(const std::vector<std::string>& arguments, const std::string& input = "",
                      const std::vector<std::string>& launcher = {}) const {
        std::vector<std::string> argv = launcher;
        for (const char* option : {"gpgsm", "--batch", "--yes", "--status-fd", "1", "--disable-crl-checks",
                                   "--disable-policy-checks", "--disable-dirmngr"})
            argv.emplace_back(option);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return runCommand(argv, input, environment());
    }

    // The key store password through the one way gpgsm takes it unattended.
    CommandResult runWithPassphrase(std::vector<std::string> arguments,
                                    const std::vector<std::string>& launcher = {}) const {
        arguments.insert(arguments.begin(), {"--pinentry-mode", "loopback", "--passphrase-fd", "0"});
        return run(arguments, std::string(KeyStoreFiles::kPassword) + "\n", launcher);
    }

    bool hasSecretKeyOf(X509* cert) const {
        const CommandResult listed = run({"--list-secret-keys", "--with-colons"});
        const std::string fingerprintRecord = "fpr:::::::::" + sha1Fingerprint(cert, "") + ":";
        return listed.status == 0 && listed.out.find(fingerprintRecord) != std::string::npos;
    }

private:
    std::vector<std::string> environment() const { return {"GNUPGHOME=" + home_, "LC_ALL=C"}; }

    TempDir folder_;
    std::string home_;
};

// gpgsm 2.2.40 cannot decrypt about one in 40 legacy PKCS#12 files that
// OpenSSL reads: it then retries the passphrase in other charsets ("trying
// charset ...") and gives up. Which files fail depends on the random salt
// alone; the same key in a file made again is read. So a key store is made
// again, up to five times, while gpgsm fails that way.
CommandResult importKey(const GpgsmHome& home, const testpki::Identity& identity, testpki::Pkcs12Kind kind,
                        bool loopback = true, const std::vector<std::string>& launcher = {}) {
    CommandResult imported;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string keyStore = home.write(
            "key.p12", testpki::pkcs12(identity, {testpki::standardPki().root.cert.get()}, KeyStoreFiles::kPassword,
                                       "key", kind));
        imported = loopback ? home.runWithPassphrase({"--import", keyStore}, launcher)
                            : home.run({"--passphrase-fd", "0", "--import", keyStore},
                                       std::string(KeyStoreFiles::kPassword) + "\n", launcher);
        if (imported.err.find("trying charset") == std::string::npos) break;
    }
    return imported;
}

// One home for the suite: the test root and alice's key imported once.
class GpgsmInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveCommand("gpgsm") || !haveCommand("gpgconf")) return;
        home_ = std::make_unique<GpgsmHome>();
        rootImport_ = home_->run({"--import", keyStoreFiles().rootPem});
        aliceImport_ = importKey(*home_, testpki::standardPki().alice, testpki::Pkcs12Kind::Legacy);
    }
    static void TearDownTestSuite() { home_.reset(); }

    void SetUp() override {
        if (home_ == nullptr) GTEST_SKIP() << "gpgsm or gpgconf is not installed";
        ASSERT_EQ(rootImport_.status, 0) << rootImport_.err;
        ASSERT_EQ(aliceImport_.status, 0) << aliceImport_.err;
    }

    static const GpgsmHome& home() { return *home_; }

private:
    static inline std::unique_ptr<GpgsmHome> home_;
    static inline CommandResult rootImport_;
    static inline CommandResult aliceImport_;
};

// --- Ours to gpgsm ----------------------------------------------------------

struct OurSignatureCase {
    const char* name;
    std::string KeyStoreFiles::*keyStore;
    testpki::Identity testpki::StandardPki::*signer;
    digestAlgorithm_t digest;
    const char* gpgsmHash; // the hash algorithm number gpgsm reports in VALIDSIG
};
const OurSignatureCase kOurSignatures[] = {
    {"RSA SHA-1", &KeyStoreFiles::aliceP12, &testpki::StandardPki::alice, digestSHA1, "2"},
    {"RSA SHA-256", &KeyStoreFiles::aliceP12, &testpki::StandardPki::alice, digestSHA256, "8"},
    {"RSA SHA-384", &KeyStoreFiles::aliceP12, &testpki::StandardPki::alice, digestSHA384, "9"},
    {"RSA SHA-512", &KeyStoreFiles::aliceP12, &testpki::StandardPki::alice, digestSHA512, "10"},
    {"EC SHA-256", &KeyStoreFiles::bobP12, &testpki::StandardPki::bob, digestSHA256, "8"},
    {"EC SHA-512", &KeyStoreFiles::bobP12, &testpki::StandardPki::bob, digestSHA512, "10"},
};

TEST_F(GpgsmInterop, VerifiesOurOpaqueAndClearSignedMessages) {
    for (const OurSignatureCase& c : kOurSignatures) {
        for (bool clear : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (clear ? " clear-signed" : " opaque"));
            SMIMEMessage message;
            loginWith(message, keyStoreFiles().*c.keyStore);
            setHeld(message, kText);
            unsigned minor = 0;
            ASSERT_EQ(clear ? message.signSignatureOnly(c.digest, &minor) : message.sign(c.digest, &minor), 0u)
                << "minor " << minor;
            const std::string entity = heldMessage(message);

            CommandResult verified;
            if (clear) {
                const ClearSignedParts parts = splitClearSigned(entity);
                ASSERT_FALSE(parts.signatureDer.empty()) << entity;
                EXPECT_EQ(parts.content, kText);
                verified = home().run({"--verify", home().write("ours.p7s", parts.signatureDer),
                                       home().write("ours.txt", parts.content)});
            } else {
                const std::string der = derFromSmime(entity);
                ASSERT_FALSE(der.empty()) << entity;
                verified = home().run({"--verify", "-o", home().file("content.out"), home().write("ours.p7m", der)});
                EXPECT_EQ(TempDir::read(home().file("content.out")), kText);
            }
            EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
            EXPECT_FALSE(statusLine(verified.out, "GOODSIG").empty()) << verified.out;
            EXPECT_FALSE(statusLine(verified.out, "TRUST_FULLY").empty()) << verified.out;
            const std::vector<std::string> valid = statusLine(verified.out, "VALIDSIG");
            ASSERT_GE(valid.size(), 9u) << verified.out;
            EXPECT_EQ(valid[1], sha1Fingerprint((testpki::standardPki().*c.signer).cert.get(), ""));
            EXPECT_EQ(valid[8], c.gpgsmHash);
        }
    }
}

struct OurEnvelopeCase {
    const char* name;
    encryptionAlgorithmStrength_t strength;
    const char* gpgsmCipher; // how gpgsm -v names the content cipher
    std::string content;
};

TEST_F(GpgsmInterop, DecryptsOurEnvelopesByteForByte) {
    const OurEnvelopeCase cases[] = {
        {"default is AES-256", strengthDefault, "AES256.CBC", kText},
        {"AES-128", strengthAES128, "AES.CBC", kText},
        {"AES-192", strengthAES192, "AES192.CBC", kText},
        {"AES-256", strengthAES256, "AES256.CBC", kText},
        {"3DES", strengthDES3, "3DES.CBC", kText},
        {"AES-256, large content", strengthAES256, "AES256.CBC", largeText()},
    };
    const std::string aliceCert = testpki::certPem(testpki::standardPki().alice.cert.get());
    for (const OurEnvelopeCase& c : cases) {
        SCOPED_TRACE(c.name);
        gss_buffer_desc recipient = viewOf(aliceCert);
        IDUP_Target_Info_desc targets = {1, &recipient, nullptr};
        SMIMEMessage message;
        loginWith(message, keyStoreFiles().carolPem);
        setHeld(message, c.content);
        unsigned minor = 0;
        ASSERT_EQ(message.encrypt(c.strength, &targets, &minor), 0u) << "minor " << minor;
        const std::string der = derFromSmime(heldMessage(message));
        ASSERT_FALSE(der.empty());

        const CommandResult decrypted = home().runWithPassphrase(
            {"-v", "--decrypt", "-o", home().file("plain.out"), home().write("ours.p7m", der)});
        EXPECT_EQ(decrypted.status, 0) << decrypted.out << decrypted.err;
        EXPECT_FALSE(statusLine(decrypted.out, "DECRYPTION_OKAY").empty()) << decrypted.out;
        EXPECT_NE(decrypted.err.find(std::string(c.gpgsmCipher) + " encrypted data"), std::string::npos)
            << decrypted.err;
        EXPECT_EQ(TempDir::read(home().file("plain.out")), c.content);
    }
}

// --- gpgsm to ours ----------------------------------------------------------

struct TheirSignatureCase {
    const char* name;
    bool detached;
    bool base64; // gpgsm --base64 rather than binary BER
    const char* digestAlgo;
    const char* micalg;
    unsigned reported; // the digest our verification reports
    std::string content;
};

TEST_F(GpgsmInterop, WeVerifyItsSignatures) {
    const TheirSignatureCase cases[] = {
        {"opaque, BER, SHA-256", false, false, "SHA256", "sha-256", KIVO_DIGEST_SHA256, kText},
        {"opaque, base64, SHA-512", false, true, "SHA512", "sha-512", KIVO_DIGEST_SHA512, kText},
        {"opaque, BER, large content", false, false, "SHA256", "sha-256", KIVO_DIGEST_SHA256, largeText()},
        {"detached, BER, SHA-256", true, false, "SHA256", "sha-256", KIVO_DIGEST_SHA256, kText},
        {"detached, base64, SHA-1", true, true, "SHA1", "sha1", KIVO_DIGEST_SHA1, kText},
        {"detached, BER, large content", true, false, "SHA384", "sha-384", KIVO_DIGEST_SHA384, largeText()},
    };
    for (const TheirSignatureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"-u", "alice@example.com", "--digest-algo", c.digestAlgo, "--sign"};
        if (c.detached) arguments.emplace_back("--detach-sign");
        if (c.base64) arguments.emplace_back("--base64");
        arguments.insert(arguments.end(), {"-o", home().file("theirs.p7"), home().write("content.txt", c.content)});
        const CommandResult signedByGpgsm = home().runWithPassphrase(arguments);
        ASSERT_EQ(signedByGpgsm.status, 0) << signedByGpgsm.out << signedByGpgsm.err;
        const std::string written = TempDir::read(home().file("theirs.p7"));
        const std::string der = c.base64 ? base64DecodeLines(written) : written;
        ASSERT_FALSE(der.empty());

        SMIMEMessage message;
        loginWith(message, keyStoreFiles().carolPem); // any key store with the test root will do
        setHeld(message, c.detached ? clearSignedEntity(c.content, der, c.micalg) : smimeFromDer(der, "signed-data"));
        VerifyRecord record;
        unsigned minor = 0;
        ASSERT_EQ(message.verify(&record.info, &minor), 0u) << "minor " << minor;
        EXPECT_EQ(record.info.reason, 0u);
        EXPECT_EQ(record.info.digest, c.reported);
        EXPECT_NE(record.subject().find("CN=Alice"), std::string::npos) << record.subject();
        EXPECT_NEAR(static_cast<double>(record.info.signing_time), static_cast<double>(time(nullptr)), 300.0);
        EXPECT_TRUE(heldMessage(message) == c.content);
    }
}

TEST_F(GpgsmInterop, WeRejectItsSignatureOverChangedContent) {
    const CommandResult signedByGpgsm = home().runWithPassphrase(
        {"-u", "alice@example.com", "--sign", "--detach-sign", "-o", home().file("theirs.p7s"),
         home().write("content.txt", kText)});
    ASSERT_EQ(signedByGpgsm.status, 0) << signedByGpgsm.err;
    std::string changed = kText;
    changed[changed.find("message")] = 'M';

    SMIMEMessage message;
    loginWith(message, keyStoreFiles().carolPem);
    setHeld(message, clearSignedEntity(changed, TempDir::read(home().file("theirs.p7s")), "sha-256"));
    VerifyRecord record;
    unsigned minor = 0;
    EXPECT_EQ(message.verify(&record.info, &minor), static_cast<unsigned>(SMIME_PROVIDER_FAILED));
    EXPECT_EQ(minor, static_cast<unsigned>(KIVO_R_SIGNATURE_INVALID));
}

struct TheirEnvelopeCase {
    const char* name;
    const char* cipherAlgo; // gpgsm --cipher-algo; null: gpgsm's default
    bool base64;
    std::string content;
};

TEST_F(GpgsmInterop, WeDecryptItsEnvelopes) {
    const TheirEnvelopeCase cases[] = {
        {"default cipher, BER", nullptr, false, kText},
        {"AES-192, base64", "AES192", true, kText},
        {"AES-256, BER", "AES256", false, kText},
        {"3DES, base64", "3DES", true, kText},
        {"AES-128, BER, large content", "AES", false, largeText()},
    };
    for (const TheirEnvelopeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments = {"-r", "alice@example.com", "--encrypt"};
        if (c.cipherAlgo != nullptr) arguments.insert(arguments.end(), {"--cipher-algo", c.cipherAlgo});
        if (c.base64) arguments.emplace_back("--base64");
        arguments.insert(arguments.end(), {"-o", home().file("theirs.p7m"), home().write("content.txt", c.content)});
        const CommandResult encrypted = home().run(arguments);
        ASSERT_EQ(encrypted.status, 0) << encrypted.out << encrypted.err;
        const std::string written = TempDir::read(home().file("theirs.p7m"));
        const std::string der = c.base64 ? base64DecodeLines(written) : written;
        ASSERT_FALSE(der.empty());

        SMIMEMessage message;
        loginWith(message, keyStoreFiles().aliceP12);
        setHeld(message, smimeFromDer(der, "enveloped-data"));
        unsigned minor = 0;
        ASSERT_EQ(message.decrypt(&minor), 0u) << "minor " << minor;
        EXPECT_TRUE(heldMessage(message) == c.content);
    }
}

// --- What gpgsm 2.2 does differently ----------------------------------------

TEST_F(GpgsmInterop, WritesBareCmsNeverMime) {
    // Content that is no MIME entity itself, so any header found was gpgsm's.
    const std::string content = home().write("content.txt", "A line of plain text.\r\n");
    struct Form {
        const char* name;
        const char* option; // null: binary
        std::string startsWith;
    };
    const Form forms[] = {
        // BER with indefinite lengths: SEQUENCE, length 0x80.
        {"binary", nullptr, std::string("\x30\x80", 2)},
        {"base64", "--base64", "MIA"},
        {"armor", "--armor", "-----BEGIN SIGNED MESSAGE-----"},
    };
    for (const Form& f : forms) {
        SCOPED_TRACE(f.name);
        std::vector<std::string> arguments = {"-u", "alice@example.com", "--sign"};
        if (f.option != nullptr) arguments.emplace_back(f.option);
        arguments.insert(arguments.end(), {"-o", home().file("theirs.p7"), content});
        ASSERT_EQ(home().runWithPassphrase(arguments).status, 0);
        const std::string written = TempDir::read(home().file("theirs.p7"));
        EXPECT_EQ(written.compare(0, f.startsWith.size(), f.startsWith), 0) << written.substr(0, 40);
        EXPECT_EQ(written.find("Content-Type"), std::string::npos);
        EXPECT_EQ(written.find("MIME-Version"), std::string::npos);
    }
}

TEST_F(GpgsmInterop, RefusesToEncryptToAKeyAgreementCertificate) {
    // gpgsm 2.2 encrypts with RSA key transport only; bob's EC certificate
    // allows key agreement, not key encipherment.
    const CommandResult imported = home().run({"--import", keyStoreFiles().bobCertPem});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const CommandResult refused = home().run(
        {"-r", "bob@example.com", "--encrypt", "-o", home().file("theirs.p7m"), home().write("c.txt", kText)});
    EXPECT_NE(refused.status, 0);
    const std::vector<std::string> invalid = statusLine(refused.out, "INV_RECP");
    ASSERT_EQ(invalid.size(), 3u) << refused.out;
    EXPECT_EQ(invalid[1], "3") << "3: wrong key usage";
}

struct ImportCase {
    const char* name;
    testpki::Identity testpki::StandardPki::*identity;
    testpki::Pkcs12Kind kind;
    bool loopback;
    int status;        // gpgsm's exit status; -1: killed by a signal
    const char* error; // a phrase of gpgsm's message
};
const ImportCase kImports[] = {
    {"PBES2/AES PKCS#12 is not understood", &testpki::StandardPki::alice, testpki::Pkcs12Kind::Modern, true, 2,
     "pkcs5PBES2-params"},
    {"passphrase on fd 0 without loopback is not read", &testpki::StandardPki::alice, testpki::Pkcs12Kind::Legacy,
     false, 2, "No pinentry"},
    {"legacy PKCS#12 through the loopback", &testpki::StandardPki::alice, testpki::Pkcs12Kind::Legacy, true, 0, ""},
    // It dies of SIGSEGV once the file is decrypted, so gpgsm can decrypt
    // nothing sent to bob.
    {"EC key in legacy PKCS#12 crashes gpgsm", &testpki::StandardPki::bob, testpki::Pkcs12Kind::Legacy, true, -1,
     "Segmentation fault"},
};

TEST(GpgsmKeyImport, TakesOnlyLegacyPkcs12ThroughTheLoopback) {
    if (!haveCommand("gpgsm") || !haveCommand("gpgconf")) GTEST_SKIP() << "gpgsm or gpgconf is not installed";
    // No core file from the crash lands in the working folder.
    const std::vector<std::string> launcher = {"sh", "-c", "ulimit -c 0; exec \"$@\"", "sh"};
    for (const ImportCase& c : kImports) {
        SCOPED_TRACE(c.name);
        const testpki::Identity& identity = testpki::standardPki().*c.identity;
        GpgsmHome home;
        const CommandResult imported = importKey(home, identity, c.kind, c.loopback, launcher);
        EXPECT_EQ(imported.status, c.status) << imported.err;
        EXPECT_NE(imported.err.find(c.error), std::string::npos) << imported.err;
        EXPECT_EQ(home.hasSecretKeyOf(identity.cert.get()), c.status == 0);
    }
}

} // namespace
