// Key stores of the OpenSSL provider: what loads, which identity a principal selects, each refusal's reason.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>

#include "random_bytes.h"
#include "run_command.h"
#include "provider_environment.h"
#include "temp_dir.h"

namespace {

using testpki::KeyStoreFiles;
using testpki::keyStoreFiles;
using testpki::standardPki;

struct Outcome {
    OM_uint32 major = 0, minor = 0, capabilities = 0;
};

// Container, name and credential, each released again; a location "memory:FILE" is imported from FILE's bytes.
Outcome acquire(const std::string& location, const std::string& password, const std::string& principal) {
    Outcome outcome;
    const gss_buffer_desc locationBuffer = stringBuffer(location.c_str()), passwordBuffer = stringBuffer(password.c_str());
    const std::string bytes = location.rfind("memory:", 0) == 0 ? TempDir::read(location.substr(7)) : "";
    const gss_buffer_desc store = viewOf(bytes), principalBuffer = stringBuffer(principal.c_str());
    gss_buffer_desc* container = nullptr;
    outcome.major = bytes.empty() ? kivo_establish_creds(nullptr, &locationBuffer, &passwordBuffer, KIVOGetOID(1),
                                                         &outcome.minor, &container)
                                  : kivo_import_creds(&store, &passwordBuffer, &outcome.minor, &container);
    EXPECT_EQ(ERR_peek_error(), 0u);
    if (outcome.major != 0) {
        EXPECT_EQ(container, nullptr);
        return outcome;
    }
    gss_name_t name = nullptr;
    OM_uint32 scratch = 0;
    EXPECT_EQ(gss_import_name(&scratch, &principalBuffer, KIVOGetOID(1), &name), 0u);
    void* credential = nullptr;
    gss_buffer_desc* info = nullptr;
    outcome.major = idup_acquire_cred_with_auth(name, container, GSS_C_INDEFINITE, nullptr, nullptr, &outcome.minor,
                                                &credential, nullptr, &info, nullptr);
    EXPECT_EQ(ERR_peek_error(), 0u);
    if (outcome.major == 0) outcome.capabilities = *static_cast<OM_uint32*>(info->value);
    else EXPECT_TRUE(info == nullptr && credential == nullptr);
    EXPECT_EQ(prov_release_cred(&scratch, &credential), 0u);
    EXPECT_EQ(credential, nullptr);
    prov_free_buffer_desc(&scratch, &info);
    prov_release_name(&scratch, &name);
    EXPECT_EQ(prov_abolish_creds(&container, &scratch), 0u);
    EXPECT_EQ(container, nullptr);
    return outcome;
}

// Alice's PKCS#12 with these PBKDF2 and MAC iteration counts; macIterations -1 leaves the MAC out.
std::string pkcs12WithIterations(int kdfIterations, int macIterations) {
    const testpki::Identity& alice = standardPki().alice;
    PKCS12* p12 = PKCS12_create(KeyStoreFiles::kPassword, nullptr, alice.key.get(), alice.cert.get(), nullptr, 0, 0,
                                kdfIterations, macIterations, 0);
    EXPECT_NE(p12, nullptr);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    PKCS12_free(p12);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

// Every occurrence of from replaced by to, of the same length.
std::string patched(std::string bytes, const std::string& from, const std::string& to) {
    std::size_t replaced = 0;
    for (std::size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + to.size())) {
        bytes.replace(at, from.size(), to);
        ++replaced;
    }
    EXPECT_GT(replaced, 0u);
    return bytes;
}

// Two identities in one PEM file, with their root: the principal chooses.
std::string twoIdentitiesFile() {
    static TempDir dir;
    const auto& pki = standardPki();
    const std::string password = KeyStoreFiles::kPassword;
    return dir.write("two.pem", testpki::keyPem(pki.alice.key.get(), password) + testpki::certPem(pki.alice.cert.get()) +
                                    testpki::keyPem(pki.carol.key.get(), password) +
                                    testpki::certPem(pki.carol.cert.get()) + testpki::certPem(pki.root.cert.get()));
}

constexpr OM_uint32 kEverything = KIVO_CRED_CAN_SIGN | KIVO_CRED_CAN_DECRYPT | KIVO_CRED_CERT_VALID_NOW;

struct LoadCase {
    const char* name;
    std::string location, password, principal;
    OM_uint32 reason, capabilities;
};

TEST(ProviderKeyStore, LoadsSelectsAndRefusesWithTheRightReason) {
    const KeyStoreFiles& files = keyStoreFiles();
    const std::string password = KeyStoreFiles::kPassword;
    TempDir dir;
    const std::string p12 = TempDir::read(files.aliceP12);
    const testpki::Identity& alice = standardPki().alice;

    // A renewal: the key with its expired certificate and a new one under another address.
    const auto renewal = [&](testpki::IssueOptions options) {
        return testpki::certPem(testpki::certify(standardPki().root, alice.key, options).get());
    };
    const std::string renewed =
        dir.write("renewed.pem", testpki::keyPem(alice.key.get()) +
                                     renewal({"Alice", "alice@old.example", testpki::KeyKind::Rsa2048, -400L * 86400}) +
                                     renewal({"Alice", "alice@new.example", testpki::KeyKind::Rsa2048}));
    // 65536 and 65537 encode in three bytes, as does 0x7fffff: patched in place, hours of work.
    const std::string mac65536("\x02\x03\x01\x00\x00", 5);
    const std::string kdf65537("\x02\x03\x01\x00\x01", 5);
    const std::string huge("\x02\x03\x7f\xff\xff", 5);
    const std::string costlyMac = dir.write("mac.p12", patched(pkcs12WithIterations(2048, 65536), mac65536, huge));
    const std::string costlyKey = dir.write("kdf.p12", patched(pkcs12WithIterations(65537, -1), kdf65537, huge));
    const std::string modestKey = dir.write("kdf-ok.p12", pkcs12WithIterations(65537, -1));

    std::vector<LoadCase> cases = {
        {"PKCS#12, first identity", files.aliceP12, password, "", KIVO_R_NONE, kEverything},
        {"PKCS#12 with legacy PBE", files.aliceLegacyP12, password, "", KIVO_R_NONE, kEverything},
        {"EC PKCS#12", files.bobP12, password, "", KIVO_R_NONE, kEverything},
        {"PKCS#12 with an intermediate CA", files.daveP12, password, "", KIVO_R_NONE, kEverything},
        {"PKCS#12 from memory", "memory:" + files.aliceP12, password, "", KIVO_R_NONE, kEverything},
        {"PEM from memory", "memory:" + files.carolPem, password, "Carol", KIVO_R_NONE, kEverything},
        {"wrong password, PKCS#12 from memory", "memory:" + files.aliceP12, "wrong", "", KIVO_R_WRONG_PASSWORD, 0},
        {"by friendly name", files.aliceP12, password, "alice-key", KIVO_R_NONE, kEverything},
        {"by e-mail, any case", files.aliceP12, password, "ALICE@Example.com", KIVO_R_NONE, kEverything},
        {"by common name", files.aliceP12, password, "Alice", KIVO_R_NONE, kEverything},
        {"the second of two identities", twoIdentitiesFile(), password, "carol@example.com", KIVO_R_NONE, kEverything},
        {"PEM with encrypted key", files.carolPem, password, "", KIVO_R_NONE, kEverything},
        {"PEM with plain key", dir.write("plain.pem", testpki::keyPem(alice.key.get()) + testpki::certPem(alice.cert.get())), "", "", KIVO_R_NONE, kEverything},
        {"PKCS#12 without password", dir.write("nopass.p12", testpki::pkcs12(alice, {}, "")), "", "", KIVO_R_NONE, kEverything},
        {"expired certificate", files.expiredP12, password, "", KIVO_R_NONE, KIVO_CRED_CAN_SIGN | KIVO_CRED_CAN_DECRYPT},
        {"certificates only", files.rootPem, "", "", KIVO_R_NONE, 0},
        {"empty location", "", "", "", KIVO_R_NONE, 0},
        {"renewed certificate, first identity", renewed, "", "", KIVO_R_NONE, kEverything},
        {"renewed certificate, by its new address", renewed, "", "alice@new.example", KIVO_R_NONE, kEverything},
        {"PKCS#12 without MAC, modest key derivation", modestKey, password, "", KIVO_R_NONE, kEverything},
        {"PKCS#12 MAC asking for 8 million iterations", costlyMac, password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"PKCS#12 key derivation asking for 8 million iterations", costlyKey, password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"wrong PKCS#12 password", files.aliceP12, "wrong", "", KIVO_R_WRONG_PASSWORD, 0},
        {"wrong PEM password", files.carolPem, "wrong", "", KIVO_R_WRONG_PASSWORD, 0},
        {"no password for an encrypted PEM key", files.carolPem, "", "", KIVO_R_WRONG_PASSWORD, 0},
        {"unknown principal", files.aliceP12, password, "bob@example.com", KIVO_R_NO_SUCH_IDENTITY, 0},
        {"named principal in a store without keys", files.rootPem, "", "Test Root CA", KIVO_R_NO_SUCH_IDENTITY, 0},
        {"missing file", dir.file("absent.p12"), password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"random bytes", dir.write("garbage.p12", randomBytes(3000, 7)), password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"truncated PKCS#12", dir.write("truncated.p12", p12.substr(0, p12.size() / 2)), password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"empty file", dir.write("empty.p12", ""), password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"broken PEM block", dir.write("broken.pem", "-----BEGIN CERTIFICATE-----\nno base64\n-----END CERTIFICATE-----\n"), "", "", KIVO_R_KEYSTORE_UNREADABLE, 0},
        {"a folder", dir.file(""), password, "", KIVO_R_KEYSTORE_UNREADABLE, 0},
    };
    // Certificates under RC2-40, as older Windows exports them: OpenSSL keeps RC2 in its legacy provider. The
    // openssl command makes the file where it runs.
    const std::string alicePem = dir.write("alice-all.pem", testpki::keyPem(alice.key.get()) + testpki::certPem(alice.cert.get()));
    if (runCommand({"openssl", "pkcs12", "-export", "-legacy", "-certpbe", "PBE-SHA1-RC2-40", "-in", alicePem, "-passout",
                    "pass:" + password, "-out", dir.file("rc2.p12")}).status == 0)
        cases.push_back({"PKCS#12 with RC2-40 certificates", dir.file("rc2.p12"), password, "", KIVO_R_NONE, kEverything});
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = acquire(c.location, c.password, c.principal);
        EXPECT_EQ(outcome.minor, c.reason);
        EXPECT_EQ(outcome.major == 0, c.reason == KIVO_R_NONE);
        EXPECT_EQ(outcome.capabilities, c.capabilities);
    }
}

// The table sees only that a principal loads; here the identity it chose signs.
TEST(ProviderKeyStore, ThePrincipalChoosesTheSigner) {
    SMIMEMessage message;
    loginWith(message, twoIdentitiesFile(), "Carol");
    setHeld(message, "Content-Type: text/plain\r\n\r\nwho signs?\r\n");
    unsigned error = 0;
    ASSERT_EQ(message.sign(digestSHA256, &error), 0u) << error;
    const Attempt a = verifyAs(keyStoreFiles().rootPem, heldMessage(message));
    EXPECT_NE(a.record->subject().find("CN=Carol"), std::string::npos) << a.record->subject();
}

} // namespace
