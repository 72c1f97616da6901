// Message objects used from several threads at once, each thread with
// objects of its own, against the one shared test provider. Every result
// must equal what a lone object makes of the same message; built with
// ThreadSanitizer this also shows that nothing shared is raced on.
#include <cstddef>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "provider_double.h"
#include "random_bytes.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace pd = provider_double;

namespace {

constexpr int kWorkers = 4;
constexpr int kCyclesPerWorker = 10;

// A text message of its own for each worker, with binary bytes in its body.
std::string contentOf(int worker) {
    return "Content-Type: text/plain\r\nX-Worker: " + std::to_string(worker) + "\r\n\r\n" +
           randomBytes(300 + static_cast<std::size_t>(worker) * 17, static_cast<std::uint32_t>(worker)) + "\r\n";
}

struct Recipients {
    std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    gss_buffer_desc certificate = viewOf(pem);
    OM_uint32 status = 99;
    IDUP_Target_Info_desc targets = {1, &certificate, &status};

    Recipients() = default;
    Recipients(const Recipients&) = delete;
    Recipients& operator=(const Recipients&) = delete;
};

// A verification record that gives back the signer's subject the provider
// puts into it.
struct VerifyRecord {
    IDUP_PIDU_Information_desc info{};

    VerifyRecord() { info.verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN; }
    ~VerifyRecord() {
        OM_uint32 minor = 0;
        if (info.signer_subject.value != nullptr) prov_release_buffer(&minor, &info.signer_subject);
    }
    VerifyRecord(const VerifyRecord&) = delete;
    VerifyRecord& operator=(const VerifyRecord&) = delete;
};

struct Reference {
    std::string content;
    std::string signedMessage;
    std::string envelopedMessage;
};

std::string heldBy(SMIMEMessage& message) {
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    return message.getMessage(&copy, &minor) == SMIME_OK ? take(copy) : std::string("<none>");
}

// Signs and encrypts a worker's content with a lone object, before any
// thread starts.
Reference referenceFor(int worker) {
    Reference reference;
    reference.content = contentOf(worker);
    const gss_buffer_desc in = viewOf(reference.content);
    unsigned minor = 0;
    unsigned info = 0;
    Recipients recipients;
    SMIMEMessage message;
    EXPECT_EQ(message.login("keys.p12", "secret", "alice", &info, &minor), SMIME_OK);
    EXPECT_EQ(message.setMessage(&in, &minor), SMIME_OK);
    EXPECT_EQ(message.sign(digestSHA256, &minor), SMIME_OK);
    reference.signedMessage = heldBy(message);
    EXPECT_EQ(message.freeMessage(&minor), SMIME_OK);
    EXPECT_EQ(message.setMessage(&in, &minor), SMIME_OK);
    EXPECT_EQ(message.encrypt(strengthAES256, &recipients.targets, &minor), SMIME_OK);
    reference.envelopedMessage = heldBy(message);
    return reference;
}

// One full cycle on a fresh object; "" when every step gave what the lone
// object gave, else the first step that did not.
std::string runCycle(const Reference& reference) {
    SMIMEMessage message;
    unsigned minor = 0;
    unsigned info = 0;
    const gss_buffer_desc in = viewOf(reference.content);
    if (message.setMessage(&in, &minor) != SMIME_OK) return "setMessage";
    if (message.login("keys.p12", "secret", "alice", &info, &minor) != SMIME_OK) return "login";

    gss_buffer_desc output = {0, nullptr};
    if (message.sign(digestSHA256, &output, &minor) != SMIME_OK) return "sign";
    if (take(output) != reference.signedMessage) return "signed message";
    {
        VerifyRecord record;
        if (message.verify(&output, &record.info, &minor) != SMIME_OK) return "verify of signed data";
    }
    if (take(output) != reference.content) return "content of signed data";

    std::ostringstream clearSigned;
    if (message.signSignatureOnly(digestSHA256, &clearSigned, &minor) != SMIME_OK) return "signSignatureOnly";
    if (clearSigned.str() != heldBy(message) || message.getMessageType() != messageClearSigned)
        return "clear-signed message";
    {
        VerifyRecord record;
        if (message.verify(&record.info, &minor) != SMIME_OK) return "verify of the clear-signed message";
    }
    if (heldBy(message) != reference.content) return "content of the clear-signed message";

    Recipients recipients;
    if (message.encrypt(strengthAES256, &recipients.targets, &output, &minor) != SMIME_OK) return "encrypt";
    if (take(output) != reference.envelopedMessage) return "enveloped message";
    std::ostringstream decrypted;
    if (message.decrypt(&decrypted, &minor) != SMIME_OK) return "decrypt";
    if (decrypted.str() != reference.content || heldBy(message) != reference.content) return "decrypted content";
    if (message.getMessageType() != messageUnknown) return "kind of the content";

    if (message.logout(&minor) != SMIME_OK) return "logout";
    unsigned major = 0;
    if (message.getStatus(&major, &minor) != (SMIME_INITIALIZED | SMIME_MESSAGE_SET) || major != SMIME_OK)
        return "status after logout";
    return "";
}

std::size_t countOf(const std::vector<std::string>& texts, const std::string& text) {
    std::size_t count = 0;
    for (const auto& t : texts)
        if (t == text) ++count;
    return count;
}

TEST(SMIMEMessageThreads, ObjectsOfTheirOwnWorkSideBySide) {
    pd::reset();
    const std::size_t outstandingBefore = pd::outstanding();
    std::vector<Reference> references;
    for (int worker = 0; worker < kWorkers; ++worker) references.push_back(referenceFor(worker));

    // Tracing stays on while the threads run, so the shared trace object is
    // exercised too: every entry record must arrive.
    std::vector<std::string> entries;
    std::vector<std::string> firstFailure(kWorkers);
    {
        TraceCapture capture(0x400, VekTrace::kLevelEntry);
        std::vector<std::thread> workers;
        for (int worker = 0; worker < kWorkers; ++worker) {
            workers.emplace_back([&, worker] {
                for (int cycle = 0; cycle < kCyclesPerWorker && firstFailure[worker].empty(); ++cycle) {
                    const std::string failed = runCycle(references[worker]);
                    if (!failed.empty()) firstFailure[worker] = "cycle " + std::to_string(cycle) + ": " + failed;
                }
            });
        }
        for (auto& thread : workers) thread.join();
        entries = capture.texts(VekTrace::kLevelEntry);
    }

    for (int worker = 0; worker < kWorkers; ++worker)
        EXPECT_EQ(firstFailure[worker], "") << "worker " << worker;
    const std::size_t cycles = static_cast<std::size_t>(kWorkers) * kCyclesPerWorker;
    EXPECT_EQ(countOf(entries, "SMIMEMessage::sign()"), 2 * cycles);
    EXPECT_EQ(countOf(entries, "SMIMEMessage::verify()"), 2 * cycles);
    EXPECT_EQ(countOf(entries, "SMIMEMessage::encrypt()"), cycles);
    EXPECT_EQ(countOf(entries, "SMIMEMessage::decrypt()"), cycles);
    EXPECT_EQ(pd::outstanding(), outstandingBefore);
}

} // namespace
