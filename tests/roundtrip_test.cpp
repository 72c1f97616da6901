// Messages through SMIMEMessage and the OpenSSL provider, and back: every
// digest, every cipher, RSA and EC identities, one and several recipients,
// the three login forms.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smime_session.h"

namespace {

using testpki::keyStoreFiles;
using testpki::KeyStoreFiles;

const std::string kText = "Content-Type: text/plain; charset=us-ascii\r\n\r\nA message with\r\nCR LF lines.\r\n";

struct DigestCase {
    const char* name;
    digestAlgorithm_t digest;
    unsigned reported; // the digest verification reports
};
const DigestCase kDigests[] = {
    {"default", static_cast<digestAlgorithm_t>(0), KIVO_DIGEST_SHA256},
    {"md5", digestMD5, KIVO_DIGEST_MD5},
    {"sha1", digestSHA1, KIVO_DIGEST_SHA1},
    {"sha256", digestSHA256, KIVO_DIGEST_SHA256},
    {"sha384", digestSHA384, KIVO_DIGEST_SHA384},
    {"sha512", digestSHA512, KIVO_DIGEST_SHA512},
};

struct SignerCase {
    const char* name;
    std::string KeyStoreFiles::*keyStore;
    const char* subjectPart;
    bool md5Signs; // ECDSA has no MD5 signature algorithm
};
const SignerCase kSigners[] = {
    {"RSA", &KeyStoreFiles::aliceP12, "CN=Alice", true},
    {"EC", &KeyStoreFiles::bobP12, "CN=Bob", false},
    {"PEM", &KeyStoreFiles::carolPem, "CN=Carol", true},
};

TEST(RoundTrip, SignAndVerifyEveryDigestOpaqueAndClearSigned) {
    for (const SignerCase& signer : kSigners) {
        for (const DigestCase& d : kDigests) {
            for (bool clear : {false, true}) {
                SCOPED_TRACE(std::string(signer.name) + " " + d.name + (clear ? " clear-signed" : " opaque"));
                SMIMEMessage message;
                loginWith(message, keyStoreFiles().*signer.keyStore);
                setHeld(message, kText);
                unsigned minor = 0;
                const unsigned status =
                    clear ? message.signSignatureOnly(d.digest, &minor) : message.sign(d.digest, &minor);
                if (d.digest == digestMD5 && !signer.md5Signs) {
                    EXPECT_EQ(status, SMIME_PROVIDER_FAILED);
                    EXPECT_EQ(minor, static_cast<unsigned>(KIVO_R_UNSUPPORTED_DIGEST));
                    EXPECT_EQ(heldMessage(message), kText);
                    continue;
                }
                ASSERT_EQ(status, 0u) << "minor " << minor;
                EXPECT_EQ(message.getMessageType(), clear ? messageClearSigned : messageSignedData);

                VerifyRecord record;
                ASSERT_EQ(message.verify(&record.info, &minor), 0u) << "minor " << minor;
                EXPECT_EQ(heldMessage(message), kText);
                EXPECT_EQ(record.info.reason, 0u);
                EXPECT_EQ(record.info.digest, d.reported);
                EXPECT_NE(record.subject().find(signer.subjectPart), std::string::npos) << record.subject();
                EXPECT_GT(record.info.signer_certificate.length, 100u);
                EXPECT_NEAR(static_cast<double>(record.info.signing_time), static_cast<double>(time(nullptr)), 300.0);
            }
        }
    }
}

struct CipherCase {
    const char* name;
    encryptionAlgorithmStrength_t strength;
};
const CipherCase kCiphers[] = {
    {"default", strengthDefault}, {"aes128", strengthAES128}, {"aes192", strengthAES192},
    {"aes256", strengthAES256},   {"des3", strengthDES3},
};

TEST(RoundTrip, EncryptToOneOrSeveralAndEachDecrypts) {
    const KeyStoreFiles& files = keyStoreFiles();
    const std::string alice = testpki::certPem(testpki::standardPki().alice.cert.get());
    const std::string bob = testpki::certDer(testpki::standardPki().bob.cert.get()); // DER is accepted too
    const std::string carol = testpki::certPem(testpki::standardPki().carol.cert.get());
    struct Recipients {
        const char* name;
        std::vector<std::string> certs;
        std::vector<std::string> keyStores;
    };
    const Recipients groups[] = {
        {"RSA alone", {alice}, {files.aliceP12}},
        {"EC alone", {bob}, {files.bobP12}},
        {"three, RSA and EC", {alice, bob, carol}, {files.aliceP12, files.bobP12, files.carolPem}},
    };
    for (const Recipients& group : groups) {
        for (const CipherCase& cipher : kCiphers) {
            SCOPED_TRACE(std::string(group.name) + " " + cipher.name);
            std::vector<gss_buffer_desc> certs;
            for (const std::string& c : group.certs) certs.push_back(viewOf(c));
            std::vector<OM_uint32> statuses(certs.size(), 99);
            IDUP_Target_Info_desc targets = {static_cast<OM_uint32>(certs.size()), certs.data(), statuses.data()};

            SMIMEMessage sender;
            loginWith(sender, files.carolPem);
            setHeld(sender, kText);
            unsigned minor = 0;
            ASSERT_EQ(sender.encrypt(cipher.strength, &targets, &minor), 0u) << "minor " << minor;
            EXPECT_EQ(sender.getMessageType(), messageEnvelopedData);
            for (OM_uint32 s : statuses) EXPECT_EQ(s, 0u);
            const std::string enveloped = heldMessage(sender);

            for (const std::string& keyStore : group.keyStores) {
                SCOPED_TRACE(keyStore);
                SMIMEMessage receiver;
                loginWith(receiver, keyStore);
                setHeld(receiver, enveloped);
                gss_buffer_desc content = {0, nullptr};
                ASSERT_EQ(receiver.decrypt(&content, &minor), 0u) << "minor " << minor;
                EXPECT_EQ(std::string(static_cast<char*>(content.value), content.length), kText);
                free(content.value);
            }
        }
    }
}

TEST(RoundTrip, LoginFromMemoryAndFromACredentialHandle) {
    const KeyStoreFiles& files = keyStoreFiles();
    const std::string p12 = testpki::pkcs12(testpki::standardPki().alice, {}, "mem pass", "in-memory");
    const gss_buffer_desc store = viewOf(p12);
    const std::string password = "mem pass";
    const gss_buffer_desc passwordBuffer = {static_cast<OM_uint32>(password.size() + 1),
                                            const_cast<char*>(password.c_str())};
    OM_uint32 minor = 0;
    gss_buffer_desc* container = nullptr;
    ASSERT_EQ(kivo_import_creds(&store, &passwordBuffer, &minor, &container), 0u) << minor;

    // Form 2: a prepared container, the principal by friendly name.
    SMIMEMessage signer;
    unsigned info = 0;
    unsigned smimeMinor = 0;
    ASSERT_EQ(signer.login(container, "in-memory", &info, &smimeMinor), 0u) << smimeMinor;
    EXPECT_EQ(info, KIVO_CRED_CAN_SIGN | KIVO_CRED_CAN_DECRYPT | KIVO_CRED_CERT_VALID_NOW);
    setHeld(signer, kText);
    ASSERT_EQ(signer.sign(digestSHA256, &smimeMinor), 0u) << smimeMinor;
    const std::string signedMessage = heldMessage(signer);

    // Form 3: a credential the application acquired itself, from a key store
    // that holds only the root: enough to verify.
    gss_buffer_desc* verifierContainer = nullptr;
    const std::string rootLocation = files.rootPem;
    const gss_buffer_desc location = {static_cast<OM_uint32>(rootLocation.size() + 1),
                                      const_cast<char*>(rootLocation.c_str())};
    const gss_buffer_desc noPassword = {1, const_cast<char*>("")};
    ASSERT_EQ(kivo_establish_creds(nullptr, &location, &noPassword, nullptr, &minor, &verifierContainer), 0u) << minor;
    void* credential = nullptr;
    gss_buffer_desc* credentialInfo = nullptr;
    ASSERT_EQ(idup_acquire_cred_with_auth(nullptr, verifierContainer, GSS_C_INDEFINITE, nullptr, nullptr, &minor,
                                          &credential, nullptr, &credentialInfo, nullptr),
              0u)
        << minor;
    EXPECT_EQ(*static_cast<OM_uint32*>(credentialInfo->value), 0u) << "no key: it can neither sign nor decrypt";
    SMIMEMessage verifier;
    ASSERT_EQ(verifier.login(credential, &smimeMinor), 0u);
    setHeld(verifier, signedMessage);
    VerifyRecord record;
    EXPECT_EQ(verifier.verify(&record.info, &smimeMinor), 0u) << smimeMinor;
    EXPECT_EQ(heldMessage(verifier), kText);
    EXPECT_EQ(verifier.logout(&smimeMinor), 0u);
    EXPECT_EQ(prov_free_buffer_desc(&minor, &credentialInfo), 0u);
    EXPECT_EQ(prov_release_cred(&minor, &credential), 0u);
    EXPECT_EQ(prov_abolish_creds(&verifierContainer, &minor), 0u);
    EXPECT_EQ(signer.logout(&smimeMinor), 0u);
    EXPECT_EQ(prov_abolish_creds(&container, &minor), 0u);
}

} // namespace
