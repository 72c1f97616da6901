// One credential backing the environments of several message objects, each
// used on its own thread at the same time.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smime_session.h"
#include "test_pki.h"

namespace {

TEST(ProviderThreads, ObjectsSharingOneCredentialWorkInParallel) {
    const std::string location = testpki::keyStoreFiles().aliceP12;
    const std::string password = testpki::KeyStoreFiles::kPassword;
    const gss_buffer_desc locationBuffer = {static_cast<OM_uint32>(location.size() + 1),
                                            const_cast<char*>(location.c_str())};
    const gss_buffer_desc passwordBuffer = {static_cast<OM_uint32>(password.size() + 1),
                                            const_cast<char*>(password.c_str())};
    OM_uint32 minor = 0;
    gss_buffer_desc* container = nullptr;
    ASSERT_EQ(kivo_establish_creds(nullptr, &locationBuffer, &passwordBuffer, nullptr, &minor, &container), 0u);
    void* credential = nullptr;
    ASSERT_EQ(idup_acquire_cred_with_auth(nullptr, container, GSS_C_INDEFINITE, nullptr, nullptr, &minor, &credential,
                                          nullptr, nullptr, nullptr),
              0u);
    const std::string self = testpki::certPem(testpki::standardPki().alice.cert.get());

    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            SMIMEMessage message;
            unsigned smimeMinor = 0;
            if (message.login(credential, &smimeMinor) != 0) {
                ++failures;
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const std::string text = "Content-Type: text/plain\r\n\r\nthread " + std::to_string(t) + " round " +
                                         std::to_string(round) + "\r\n";
                const gss_buffer_desc input = viewOf(text);
                gss_buffer_desc certs[] = {viewOf(self)};
                IDUP_Target_Info_desc targets = {1, certs, nullptr};
                VerifyRecord record;
                gss_buffer_desc out = {0, nullptr};
                const bool ok = message.setMessage(&input, &smimeMinor) == 0 &&
                                (round % 2 == 0 ? message.signSignatureOnly(digestSHA384, &smimeMinor)
                                                : message.sign(digestSHA256, &smimeMinor)) == 0 &&
                                message.encrypt(strengthAES128, &targets, &smimeMinor) == 0 &&
                                message.decrypt(&smimeMinor) == 0 && message.verify(&record.info, &smimeMinor) == 0 &&
                                message.getMessage(&out, &smimeMinor) == 0 && take(out) == text &&
                                message.freeMessage(&smimeMinor) == 0;
                if (!ok) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(prov_release_cred(&minor, &credential), 0u);
    EXPECT_EQ(prov_abolish_creds(&container, &minor), 0u);
}

} // namespace
