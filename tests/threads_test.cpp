// Message objects on several threads at once with the OpenSSL provider, one
// credential shared: threads with objects of their own, and threads sharing
// one object, whose lock must serialise their calls. Workers make no test
// assertions: GoogleTest's are not thread-safe everywhere.
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "provider_environment.h"
#include "smime_session.h"
#include "test_pki.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 4;
using testpki::KeyStoreFiles;
using Problems = std::vector<std::string>;

// CR LF lines, as a clear-signed part needs them.
std::string contentOf(int thread, int round) {
    return "Content-Type: text/plain\r\n\r\nthread " + std::to_string(thread) + " round " + std::to_string(round) +
           "\r\n" + std::string(100 + thread * 7 + round, static_cast<char>('a' + (thread + round) % 26)) + "\r\n";
}

// Alice's key store loaded once, and the credential every object logs in with.
const ProviderEnvironment& shared() {
    static const ProviderEnvironment environment(testpki::keyStoreFiles().aliceP12);
    return environment;
}

// Verifies or decrypts the held message in place: the content, with the
// signer's subject added, or what went wrong.
std::string opened(SMIMEMessage& m) {
    VerifyRecord record;
    unsigned minor = 0;
    const bool enveloped = m.getMessageType() == messageEnvelopedData;
    const unsigned status = enveloped ? m.decrypt(&minor) : m.verify(&record.info, &minor);
    if (status != SMIME_OK) return "status " + std::to_string(status) + ", minor " + std::to_string(minor);
    return enveloped ? heldMessage(m) : heldMessage(m) + "signed by " + record.subject();
}

// Protects the held content one way in place and opens it again, expecting
// the content back with its signer. Kind 3 is signed, then encrypted, and
// opened in the reverse order.
void cycle(SMIMEMessage& m, const std::string& content, int kind, const char* signer, Problems& problems) {
    static const std::string pem = testpki::certPem(testpki::standardPki().alice.cert.get());
    gss_buffer_desc recipient = viewOf(pem);
    IDUP_Target_Info_desc targets = {1, &recipient, nullptr};
    unsigned minor = 0;
    unsigned status = kind == 1   ? m.signSignatureOnly(digestSHA384, &minor)
                      : kind == 2 ? m.encrypt(strengthAES256, &targets, &minor)
                                  : m.sign(kind == 0 ? digestSHA256 : digestSHA512, &minor);
    if (kind == 3 && status == SMIME_OK) status = m.encrypt(strengthAES128, &targets, &minor);
    std::string result = status == SMIME_OK ? opened(m) : "protecting gave " + std::to_string(status);
    if (kind == 3 && status == SMIME_OK) result = opened(m);
    const std::string expected = kind == 2 ? content : content + "signed by ";
    const bool signerFound = kind == 2 || result.find(signer) != std::string::npos;
    if (result.compare(0, expected.size(), expected) != 0 || !signerFound) problems.push_back("opened to " + result);
}

// Runs body(t, problems) on a thread of its own for every t, then reports
// the problems.
template <typename Body>
void onThreads(Body body) {
    std::vector<Problems> problems(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t, std::ref(problems[t]));
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (const std::string& problem : problems[t]) ADD_FAILURE() << "thread " << t << ": " << problem;
}

// Each round a fresh object; the first logs in with a key store of its own,
// so that key stores are read side by side too.
TEST(Threads, ObjectsOfTheirOwnProtectAndUnprotectSideBySide) {
    const void* credential = shared().credential();
    onThreads([credential](int t, Problems& problems) {
        const std::string KeyStoreFiles::*const keyStores[] = {&KeyStoreFiles::aliceP12, &KeyStoreFiles::bobP12,
                                                               &KeyStoreFiles::carolPem};
        const char* const subjects[] = {"CN=Alice", "CN=Bob", "CN=Carol"};
        for (int round = 0; round < kRounds; ++round) {
            const int self = round == 0 ? t % 3 : 0;
            const std::string content = contentOf(t, round);
            const gss_buffer_desc in = viewOf(content);
            SMIMEMessage m;
            unsigned info = 0, minor = 0;
            const std::string& keyStore = testpki::keyStoreFiles().*keyStores[self];
            const unsigned login = round == 0 ? m.login(keyStore.c_str(), KeyStoreFiles::kPassword, "", &info, &minor)
                                              : m.login(credential, &minor);
            if (login != SMIME_OK || m.setMessage(&in, &minor) != SMIME_OK) problems.push_back("login or set failed");
            else cycle(m, content, round == 0 ? 0 : (t + round) % 4, subjects[self], problems);
        }
    });
}

// Whether a copy of a message is a state that a whole call left: a content,
// or a message that opens to one.
bool isWholeState(const std::string& copy) {
    SMIMEMessage m;
    unsigned minor = 0;
    const gss_buffer_desc in = viewOf(copy);
    if (m.login(shared().credential(), &minor) != SMIME_OK || m.setMessage(&in, &minor) != SMIME_OK) return false;
    for (int depth = 0; depth < 2 && heldMessage(m).rfind("Content-Type: text/plain", 0) != 0; ++depth) opened(m);
    int thread = 0, round = 0;
    const std::string held = heldMessage(m);
    return std::sscanf(held.c_str(), "Content-Type: text/plain\r\n\r\nthread %d round %d", &thread, &round) == 2 &&
           held == contentOf(thread, round);
}

// A thread whose setMessage succeeds owns the message until it frees it;
// the others find it set, and look at copies of it meanwhile.
TEST(Threads, CallsOnOneSharedObjectAreSerialised) {
    SMIMEMessage object;
    unsigned minor = 0;
    ASSERT_EQ(object.login(shared().credential(), &minor), SMIME_OK);
    onThreads([&object](int t, Problems& problems) {
        for (int round = 0, peeks = 0; round < kRounds; ++round) {
            const std::string content = contentOf(t, round);
            const gss_buffer_desc in = viewOf(content);
            unsigned minorStatus = 0;
            for (unsigned status; (status = object.setMessage(&in, &minorStatus)) != SMIME_OK;) {
                if (status != SMIME_MESSAGE_ALREADY_SET) problems.push_back("set gave " + std::to_string(status));
                gss_buffer_desc copy = {0, nullptr};
                if (object.getMessage(&copy, &minorStatus) != SMIME_OK || ++peeks > 8) std::free(copy.value);
                else if (const std::string text = take(copy); !isWholeState(text)) problems.push_back("saw " + text);
                std::this_thread::yield();
            }
            cycle(object, content, (t + round) % 4, "CN=Alice", problems);
            if (object.freeMessage(&minorStatus) != SMIME_OK) problems.push_back("freeMessage failed");
        }
    });
}

} // namespace
