// Many threads, each with message objects of its own and a login of its own,
// signing, clear-signing, encrypting, verifying and decrypting at once with
// the OpenSSL provider; then each opens what another thread sent it. Every
// content must come back byte for byte, with the signer it was signed by.
// Built with ThreadSanitizer this also shows that nothing shared is raced on.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "random_bytes.h"
#include "smime_session.h"
#include "test_pki.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 4;

using testpki::KeyStoreFiles;

struct Identity {
    std::string KeyStoreFiles::*keyStore;
    const char* subjectPart;
    X509* (*certificate)();
};

const Identity kIdentities[] = {
    {&KeyStoreFiles::aliceP12, "CN=Alice", [] { return testpki::standardPki().alice.cert.get(); }},
    {&KeyStoreFiles::bobP12, "CN=Bob", [] { return testpki::standardPki().bob.cert.get(); }},
    {&KeyStoreFiles::carolPem, "CN=Carol", [] { return testpki::standardPki().carol.cert.get(); }},
};

const Identity& identityOf(int thread) { return kIdentities[thread % 3]; }

// A text of its own for every thread and round: CR LF lines, as a
// clear-signed part needs them, and a line of random letters.
std::string contentOf(int thread, int round) {
    std::string letters = randomBytes(100 + static_cast<std::size_t>(thread * 7 + round),
                                      static_cast<std::uint32_t>(thread * 100 + round));
    for (char& c : letters) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    return "Content-Type: text/plain\r\nX-Thread: " + std::to_string(thread) + "\r\n\r\nround " +
           std::to_string(round) + "\r\n" + letters + "\r\n";
}

// The certificates of a message's recipients, kept alive with the targets.
struct Recipients {
    std::vector<std::string> pems;
    std::vector<gss_buffer_desc> buffers;
    std::vector<OM_uint32> statuses;
    IDUP_Target_Info_desc targets{};

    explicit Recipients(const std::vector<int>& threads) {
        for (int t : threads) pems.push_back(testpki::certPem(identityOf(t).certificate()));
        for (const std::string& pem : pems) buffers.push_back(viewOf(pem));
        statuses.assign(pems.size(), 99);
        targets = {static_cast<OM_uint32>(buffers.size()), buffers.data(), statuses.data()};
    }
};

// One thread's work; problems collects what went wrong, one line each.
class Worker {
public:
    Worker(int thread, std::vector<std::string>& problems) : thread_(thread), problems_(problems) {}

    void logIn(SMIMEMessage& message) {
        unsigned info = 0;
        unsigned minor = 0;
        const std::string& keyStore = testpki::keyStoreFiles().*identityOf(thread_).keyStore;
        check(message.login(keyStore.c_str(), KeyStoreFiles::kPassword, "", &info, &minor), "login", minor);
    }

    void check(unsigned status, const std::string& step, unsigned minor = 0) {
        if (status != SMIME_OK)
            problem(step + " gave " + std::to_string(status) + " (minor " + std::to_string(minor) + ")");
    }
    void expect(bool holds, const std::string& what) {
        if (!holds) problem(what);
    }
    void problem(const std::string& what) { problems_.push_back("thread " + std::to_string(thread_) + ": " + what); }

    // The content comes back out of a signed message, with its signer.
    void verifyBack(SMIMEMessage& message, const std::string& content, const Identity& signer, int form) {
        VerifyRecord record;
        unsigned minor = 0;
        gss_buffer_desc out = {0, nullptr};
        std::ostringstream stream;
        unsigned status = 0;
        if (form == 0) status = message.verify(&out, &record.info, &minor);
        if (form == 1) status = message.verify(static_cast<std::ostream*>(&stream), &record.info, &minor);
        if (form == 2) status = message.verify(&record.info, &minor);
        check(status, "verify", minor);
        const std::string delivered = form == 0 ? take(out) : form == 1 ? stream.str() : content;
        expect(delivered == content && heldMessage(message) == content, "verified content differs");
        expect(record.info.reason == 0 && record.subject().find(signer.subjectPart) != std::string::npos,
               "signer reported as [" + record.subject() + "]");
    }

    void decryptBack(SMIMEMessage& message, const std::string& content, int form) {
        unsigned minor = 0;
        gss_buffer_desc out = {0, nullptr};
        std::ostringstream stream;
        unsigned status = 0;
        if (form == 0) status = message.decrypt(&out, &minor);
        if (form == 1) status = message.decrypt(static_cast<std::ostream*>(&stream), &minor);
        if (form == 2) status = message.decrypt(&minor);
        check(status, "decrypt", minor);
        const std::string delivered = form == 0 ? take(out) : form == 1 ? stream.str() : content;
        expect(delivered == content && heldMessage(message) == content, "decrypted content differs");
    }

    // One round on an object of the thread's own: the kind of protection
    // and the output forms change from round to round and thread to thread.
    void round(int round) {
        const std::string content = contentOf(thread_, round);
        const Identity& self = identityOf(thread_);
        const int form = (thread_ + round) % 3;
        SMIMEMessage message;
        logIn(message);
        setHeld(message, content);
        unsigned minor = 0;
        switch ((thread_ + round) % 4) {
        case 0: { // opaque signature
            gss_buffer_desc out = {0, nullptr};
            check(message.sign(digestSHA256, &out, &minor), "sign", minor);
            expect(take(out) == heldMessage(message), "signed message handed out differs from the held one");
            expect(message.getMessageType() == messageSignedData, "kind after sign");
            verifyBack(message, content, self, form);
            break;
        }
        case 1: { // clear signature
            std::ostringstream out;
            check(message.signSignatureOnly(digestSHA384, &out, &minor), "signSignatureOnly", minor);
            expect(out.str() == heldMessage(message), "clear-signed message written differs from the held one");
            expect(message.getMessageType() == messageClearSigned, "kind after signSignatureOnly");
            verifyBack(message, content, self, form);
            break;
        }
        case 2: { // encryption to itself and the next thread's identity
            Recipients recipients({thread_, thread_ + 1});
            check(message.encrypt(strengthAES256, &recipients.targets, &minor), "encrypt", minor);
            expect(message.getMessageType() == messageEnvelopedData, "kind after encrypt");
            decryptBack(message, content, form);
            break;
        }
        default: { // signed, then encrypted, then opened in the reverse order
            Recipients recipients({thread_});
            check(message.sign(digestSHA512, &minor), "sign before encrypt", minor);
            check(message.encrypt(strengthAES128, &recipients.targets, &minor), "encrypt after sign", minor);
            unsigned decryptMinor = 0;
            check(message.decrypt(&decryptMinor), "decrypt before verify", decryptMinor);
            expect(message.getMessageType() == messageSignedData, "kind after decrypt");
            verifyBack(message, content, self, form);
            break;
        }
        }
        check(message.logout(&minor), "logout", minor);
    }

    // Signed by this thread, encrypted for the next one.
    std::string letterTo(int recipient) {
        SMIMEMessage message;
        logIn(message);
        setHeld(message, contentOf(thread_, kRounds));
        Recipients recipients({recipient});
        unsigned minor = 0;
        check(message.signSignatureOnly(digestSHA256, &minor), "signSignatureOnly of the letter", minor);
        check(message.encrypt(strengthDefault, &recipients.targets, &minor), "encrypt of the letter", minor);
        return heldMessage(message);
    }

    // Decrypted, then verified: the sender's content, signed by the sender.
    void openLetterFrom(int sender, const std::string& letter) {
        SMIMEMessage message;
        logIn(message);
        setHeld(message, letter);
        unsigned minor = 0;
        check(message.decrypt(&minor), "decrypt of the letter", minor);
        expect(message.getMessageType() == messageClearSigned, "kind of the decrypted letter");
        verifyBack(message, contentOf(sender, kRounds), identityOf(sender), thread_ % 3);
    }

private:
    int thread_;
    std::vector<std::string>& problems_;
};

// Runs body(t) on a thread of its own for every t, and waits for them all.
template <typename Body>
void onThreads(Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

TEST(StressThreads, ObjectsOfTheirOwnProtectAndUnprotectSideBySide) {
    testpki::keyStoreFiles(); // made before the threads start
    std::vector<std::vector<std::string>> problems(kThreads);
    std::vector<std::string> letters(kThreads);
    onThreads([&](int t) {
        Worker worker(t, problems[t]);
        for (int round = 0; round < kRounds; ++round) worker.round(round);
        letters[t] = worker.letterTo((t + 1) % kThreads);
    });
    onThreads([&](int t) {
        const int sender = (t + kThreads - 1) % kThreads;
        Worker(t, problems[t]).openLetterFrom(sender, letters[sender]);
    });
    for (const auto& list : problems)
        for (const std::string& problem : list) ADD_FAILURE() << problem;
}

} // namespace
