// Threads with objects of their own and one shared object, whose lock must serialise their calls.
// Workers collect problems instead of asserting: GoogleTest's assertions are not thread-safe everywhere.
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

constexpr int kThreads = 6, kRounds = 4;
using Problems = std::vector<std::string>;

// CR LF lines, as a clear-signed part needs them.
std::string contentOf(int thread, int round) {
    return "Content-Type: text/plain\r\n\r\nthread " + std::to_string(thread) + " round " + std::to_string(round) +
           "\r\n" + std::string(100 + thread * 7 + round, static_cast<char>('a' + (thread + round) % 26)) + "\r\n";
}

// Opens up to two layers in place: the content with its signer's subject, or what went wrong.
std::string opened(SMIMEMessage& m) {
    std::string signer;
    for (int layer = 0; layer < 2; ++layer) {
        const messageType_t type = m.getMessageType();
        if (type != messageEnvelopedData && type != messageSignedData && type != messageClearSigned) break;
        VerifyRecord record;
        unsigned minor = 0;
        const unsigned status = type == messageEnvelopedData ? m.decrypt(&minor) : m.verify(&record.info, &minor);
        if (status != SMIME_OK) return "status " + std::to_string(status) + ", minor " + std::to_string(minor);
        if (type != messageEnvelopedData) signer = "signed by " + record.subject();
    }
    return heldMessage(m) + signer;
}

// Protects the held content one of four ways in place (the last signs, then encrypts) and opens it again.
void cycle(SMIMEMessage& m, const std::string& content, int kind, const char* signer, Problems& problems) {
    static const std::string pem = testpki::certPem(testpki::standardPki().alice.cert.get());
    gss_buffer_desc recipient = viewOf(pem);
    IDUP_Target_Info_desc targets = {1, &recipient, nullptr};
    unsigned minor = 0;
    unsigned status = kind == 1   ? m.signSignatureOnly(digestSHA384, &minor)
                      : kind == 2 ? m.encrypt(strengthAES256, &targets, &minor)
                                  : m.sign(kind == 0 ? digestSHA256 : digestSHA512, &minor);
    if (kind == 3 && status == SMIME_OK) status = m.encrypt(strengthAES128, &targets, &minor);
    const std::string result = status == SMIME_OK ? opened(m) : "protecting gave " + std::to_string(status);
    if (kind == 2 ? result != content : result.rfind(content + "signed by ", 0) != 0 || result.find(signer) == std::string::npos)
        problems.push_back("opened to " + result);
}

// Whether a copy of the shared message is a state a whole call left: a content or what opens to one.
bool isWholeState(const std::string& copy) {
    SMIMEMessage m;
    unsigned minor = 0;
    int thread = 0, round = 0;
    const gss_buffer_desc in = viewOf(copy);
    if (m.login(sharedEnvironment().credential(), &minor) != SMIME_OK || m.setMessage(&in, &minor) != SMIME_OK) return false;
    const std::string held = opened(m);
    if (std::sscanf(held.c_str(), "Content-Type: text/plain\r\n\r\nthread %d round %d", &thread, &round) != 2) return false;
    const std::string whole = contentOf(thread, round);
    return held == whole || held.rfind(whole + "signed by ", 0) == 0;
}

// Each round: an own object (the first logged in from a key store, so stores are read side by side), then
// the shared one, owned by the thread whose setMessage succeeds; the others peek at copies meanwhile.
TEST(Threads, ObjectsOfTheirOwnAndOneSharedObjectSideBySide) {
    SMIMEMessage object;
    unsigned minor = 0;
    ASSERT_EQ(object.login(sharedEnvironment().credential(), &minor), SMIME_OK);
    const auto work = [&object](int t, Problems& problems) {
        const testpki::KeyStoreFiles& files = testpki::keyStoreFiles();
        const std::pair<const std::string&, const char*> own[] = {
            {files.aliceP12, "CN=Alice"}, {files.bobP12, "CN=Bob"}, {files.carolPem, "CN=Carol"}};
        for (int round = 0, peeks = 0; round < kRounds; ++round) {
            const std::string content = contentOf(t, round);
            const gss_buffer_desc in = viewOf(content);
            const auto& [keyStore, subject] = own[round == 0 ? t % 3 : 0];
            SMIMEMessage m;
            unsigned info = 0, minorStatus = 0;
            const unsigned login = round == 0 ? m.login(keyStore.c_str(), files.kPassword, "", &info, &minorStatus)
                                              : m.login(sharedEnvironment().credential(), &minorStatus);
            if (login != SMIME_OK || m.setMessage(&in, &minorStatus) != SMIME_OK) problems.push_back("login or set failed");
            else cycle(m, content, round == 0 ? 0 : (t + round) % 4, subject, problems);

            for (unsigned status; (status = object.setMessage(&in, &minorStatus)) != SMIME_OK;) {
                if (status != SMIME_MESSAGE_ALREADY_SET) problems.push_back("set gave " + std::to_string(status));
                unsigned peekMajor = 0, peekMinor = 0; // read without the lock while the owner runs a call
                if ((object.getStatus(&peekMajor, &peekMinor) & SMIME_INITIALIZED) == 0) problems.push_back("status lost");
                gss_buffer_desc copy = {0, nullptr};
                if (object.getMessage(&copy, &minorStatus) != SMIME_OK || ++peeks > 8) std::free(copy.value);
                else if (const std::string text = take(copy); !isWholeState(text)) problems.push_back("saw " + text);
                std::this_thread::yield();
            }
            cycle(object, content, (t + round) % 4, "CN=Alice", problems);
            if (object.freeMessage(&minorStatus) != SMIME_OK) problems.push_back("freeMessage failed");
        }
    };
    std::vector<Problems> problems(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t, std::ref(problems[t]));
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        for (const std::string& problem : problems[t]) ADD_FAILURE() << "thread " << t << ": " << problem;
}

} // namespace
