// The standard identities as the other S/MIME tools need them: key store,
// certificate and unencrypted key as files, written once per test program.
#ifndef TESTS_INTEROP_PARTIES_H
#define TESTS_INTEROP_PARTIES_H

#include <string>
#include <vector>

#include "smime_session.h"
#include "temp_dir.h"
#include "test_pki.h"

enum class Who { Alice, Bob, Carol };

struct Party {
    std::string keyStore; // for our login
    std::string certPem;
    std::string keyPem;   // unencrypted, for the other tools
    const char* commonName;
    bool rsa;             // else EC
};

inline const Party& party(Who who) {
    struct Files {
        TempDir folder;
        Party parties[3];
        Files() {
            const testpki::StandardPki& pki = testpki::standardPki();
            const testpki::KeyStoreFiles& stores = testpki::keyStoreFiles();
            parties[0] = {stores.aliceP12, stores.aliceCertPem,
                          folder.write("alice.key", testpki::keyPem(pki.alice.key.get())), "CN=Alice", true};
            parties[1] = {stores.bobP12, stores.bobCertPem,
                          folder.write("bob.key", testpki::keyPem(pki.bob.key.get())), "CN=Bob", false};
            parties[2] = {stores.carolPem, stores.carolCertPem,
                          folder.write("carol.key", testpki::keyPem(pki.carol.key.get())), "CN=Carol", true};
        }
    };
    static const Files files;
    return files.parties[static_cast<int>(who)];
}

// "CN=Alice+CN=Bob": a readable row name for a group of recipients.
inline std::string namesOf(const std::vector<Who>& group) {
    std::string names;
    for (Who who : group) names += std::string(names.empty() ? "" : "+") + party(who).commonName;
    return names;
}

// Our envelope of content from sender to the recipients, as MIME text;
// empty (with a test failure) when encryption fails.
inline std::string ourEnvelope(Who sender, const std::vector<Who>& recipients, encryptionAlgorithmStrength_t strength,
                               const std::string& content) {
    std::vector<std::string> pems;
    for (Who who : recipients) pems.push_back(TempDir::read(party(who).certPem));
    std::vector<gss_buffer_desc> certs;
    for (const std::string& pem : pems) certs.push_back(viewOf(pem));
    IDUP_Target_Info_desc targets = {static_cast<OM_uint32>(certs.size()), certs.data(), nullptr};
    SMIMEMessage message;
    loginWith(message, party(sender).keyStore);
    setHeld(message, content);
    unsigned minor = 0;
    const unsigned status = message.encrypt(strength, &targets, &minor);
    EXPECT_EQ(status, 0u) << "minor " << minor;
    return status == 0 ? heldMessage(message) : std::string();
}

#endif // TESTS_INTEROP_PARTIES_H
