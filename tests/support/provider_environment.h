// An environment on a key store of the tests, with its container and credential.
#ifndef TESTS_PROVIDER_ENVIRONMENT_H
#define TESTS_PROVIDER_ENVIRONMENT_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "smime_session.h"
#include "test_pki.h"
#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

class ProviderEnvironment {
public:
    explicit ProviderEnvironment(const std::string& keyStore) {
        const gss_buffer_desc location = stringBuffer(keyStore.c_str()), password = stringBuffer(testpki::KeyStoreFiles::kPassword);
        OM_uint32 minor = 0;
        EXPECT_EQ(kivo_establish_creds(nullptr, &location, &password, KIVOGetOID(1), &minor, &container_), 0u);
        EXPECT_EQ(idup_acquire_cred_with_auth(nullptr, container_, GSS_C_INDEFINITE, nullptr, nullptr, &minor, &credential_, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(prov_establish_env(credential_, KIVOGetOID(7), KIVOGetOID(7), 0, nullptr, &minor, &environment_, nullptr, nullptr, nullptr, nullptr), 0u);
    }
    ~ProviderEnvironment() {
        OM_uint32 minor = 0;
        prov_abolish_env(&environment_, &minor);
        prov_release_cred(&minor, &credential_);
        prov_abolish_creds(&container_, &minor);
    }
    // The credential and its container released now; the environment stays.
    void releaseCredential() {
        OM_uint32 minor = 0;
        EXPECT_EQ(prov_release_cred(&minor, &credential_), 0u);
        EXPECT_EQ(prov_abolish_creds(&container_, &minor), 0u);
    }
    void* handle() const { return environment_; }
    gss_buffer_desc* container() const { return container_; }
    void* credential() const { return credential_; }

private:
    gss_buffer_desc* container_ = nullptr;
    void* credential_ = nullptr;
    void* environment_ = nullptr;
};

// Alice's environment, made once per program: a key-store login for each use would be most of the run time.
inline const ProviderEnvironment& sharedEnvironment() {
    static const ProviderEnvironment environment(testpki::keyStoreFiles().aliceP12);
    return environment;
}

// content signed by a key store's first identity; with failure, a refusal's minor status goes there.
inline std::string signedMessage(const std::string& keyStore, const std::string& content, bool clear,
                                 digestAlgorithm_t digest = digestSHA256, unsigned* failure = nullptr) {
    SMIMEMessage message;
    loginWith(message, keyStore);
    setHeld(message, content);
    unsigned minor = 0;
    const unsigned status = clear ? message.signSignatureOnly(digest, &minor) : message.sign(digest, &minor);
    if (failure != nullptr) *failure = status == 0 ? 0 : minor;
    else EXPECT_EQ(status, 0u) << minor;
    return heldMessage(message);
}

// content enveloped for certificates (PEM or DER), each of which must be taken.
inline std::string envelopedFor(const std::vector<std::string>& certs, encryptionAlgorithmStrength_t strength,
                                const std::string& content) {
    std::vector<gss_buffer_desc> buffers;
    for (const std::string& cert : certs) buffers.push_back(viewOf(cert));
    std::vector<OM_uint32> statuses(certs.size(), 99);
    IDUP_Target_Info_desc targets = {static_cast<OM_uint32>(certs.size()), buffers.data(), statuses.data()};
    SMIMEMessage message;
    loginWith(message, testpki::keyStoreFiles().carolPem);
    setHeld(message, content);
    unsigned minor = 0;
    EXPECT_EQ(message.encrypt(strength, &targets, &minor), 0u) << minor;
    EXPECT_EQ(message.getMessageType(), messageEnvelopedData);
    for (OM_uint32 s : statuses) EXPECT_EQ(s, 0u);
    return heldMessage(message);
}

// A verification or decryption by a message logged in to a key store.
struct Attempt {
    unsigned status = 0, minor = 0;
    std::string held;                    // after the attempt
    messageType_t type = messageUnknown; // before it
    std::shared_ptr<VerifyRecord> record = std::make_shared<VerifyRecord>();
};

// What a verification may be given beyond flags and anchors.
struct VerifyInputs {
    std::string crls = "";
    std::int64_t at = 0; // validation_time
    std::string certificates = "";
};

inline Attempt attemptAs(bool verify, const std::string& keyStore, const std::string& message, OM_uint32 flags,
                         const std::string& anchors, const VerifyInputs& inputs = {}) {
    SMIMEMessage receiver;
    loginWith(receiver, keyStore);
    setHeld(receiver, message);
    Attempt a;
    a.type = receiver.getMessageType();
    a.record->info.verify_flags = flags;
    a.record->info.trust_anchors = viewOf(anchors);
    a.record->info.crls = viewOf(inputs.crls);
    a.record->info.validation_time = inputs.at;
    a.record->info.certificates = viewOf(inputs.certificates);
    a.status = verify ? receiver.verify(&a.record->info, &a.minor) : receiver.decrypt(&a.minor);
    a.held = heldMessage(receiver);
    EXPECT_TRUE(!verify || a.status != static_cast<unsigned>(SMIME_PROVIDER_FAILED) || a.record->info.reason == a.minor);
    a.record->info.trust_anchors = a.record->info.crls = a.record->info.certificates = {0, nullptr};
    return a;
}

inline Attempt verifyAs(const std::string& keyStore, const std::string& message,
                        OM_uint32 flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN, const std::string& anchors = "",
                        const VerifyInputs& inputs = {}) {
    return attemptAs(true, keyStore, message, flags, anchors, inputs);
}

inline Attempt decryptAs(const std::string& keyStore, const std::string& message) {
    return attemptAs(false, keyStore, message, 0, "");
}

// Success holding content, or the refusal for reason with the held message as it was.
inline void expectOutcome(const Attempt& a, unsigned reason, const std::string& message, const std::string& content) {
    EXPECT_EQ(a.status, reason == KIVO_R_NONE ? 0u : static_cast<unsigned>(SMIME_PROVIDER_FAILED));
    EXPECT_EQ(a.minor, reason);
    EXPECT_TRUE(a.held == (reason == KIVO_R_NONE ? content : message)) << "a refusal keeps the held message";
}

#endif // TESTS_PROVIDER_ENVIRONMENT_H
