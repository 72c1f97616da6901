// Every public operation with each of its allocations (library and provider) failing in turn: a memory
// status, nothing handed out or leaked, and the object still able to redo the work with the unfailed result.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "provider_environment.h"
#include "random_bytes.h"
#include "smime_session.h"
#include "temp_dir.h"
#include "test_pki.h"
#include "vektrace.h"

namespace {

constexpr unsigned kUntouched = 0xA5A5A5A5u;
constexpr const char* kPassword = testpki::KeyStoreFiles::kPassword;
const std::string kText = "Content-Type: text/plain\r\n\r\nA short message to protect.\r\n";
const std::string kToken = randomBytes(200, 3), kBase64 = "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu\r\nQUJDREVGRw==\r\n",
                  kPrintable = "Caf=C3=A9 au lait=\r\nsoft break  \r\nand tabs\there\r\n";
const gss_buffer_desc kTextIn = viewOf(kText), kPidu = viewOf(kToken), kBase64In = viewOf(kBase64),
                      kPrintableIn = viewOf(kPrintable);
const TempDir kFolder;

// Signing times and keys differ per run: a protected message is shown as what it opens to.
std::string opened(const std::string& text) {
    const gss_buffer_desc in = viewOf(text);
    SMIMEMessage m(&in);
    unsigned minor = 0;
    EXPECT_EQ(m.login(sharedEnvironment().credential(), &minor), SMIME_OK);
    const messageType_t type = m.getMessageType();
    if (type != messageSignedData && type != messageClearSigned && type != messageEnvelopedData)
        return text.size() < 200 ? "[" + text + "]" : std::to_string(std::hash<std::string>{}(text));
    VerifyRecord record;
    const unsigned status = type == messageEnvelopedData ? m.decrypt(&minor) : m.verify(&record.info, &minor);
    return "kind " + std::to_string(type) + " opening " + std::to_string(status) + " to [" + heldMessage(m) +
           "] signed by [" + record.subject() + "]";
}

const std::string& rootCrl() {
    static const std::string crl = testpki::crlPem(testpki::standardPki().root, {});
    return crl;
}

enum class Act { Sign, ClearSign, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };
enum class Holds { Nothing, Text, Signed, ClearSigned, Enveloped, NotLoggedIn, Generated };

// One attempt's objects, made before allocations are counted so that only the call allocates.
struct Call {
    std::optional<SMIMEMessage> message{std::in_place};
    smimeGenerator generator;
    std::string recipientPem = testpki::certPem(testpki::standardPki().alice.cert.get());
    gss_buffer_desc recipient = viewOf(recipientPem);
    OM_uint32 recipientStatus = 99;
    IDUP_Target_Info_desc targets = {1, &recipient, &recipientStatus};
    VerifyRecord record;
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    std::istringstream input{kText};
    std::string file = kFolder.file("output");
    Form form = Form::InPlace;
    unsigned info = kUntouched, minor = kUntouched;

    Call() { std::remove(file.c_str()); }
    ~Call() { std::free(buffer.value); }

    // A constructor's status is the major status the new object reports.
    template <typename... Args>
    unsigned construct(Args... args) {
        unsigned major = 0;
        message.emplace(args...).getStatus(&major, &minor);
        return major;
    }

    unsigned protect(Act act) {
        const auto run = [&](auto... output) -> unsigned {
            switch (act) {
            case Act::Sign: return message->sign(digestSHA256, output..., &minor);
            case Act::ClearSign: return message->signSignatureOnly(digestSHA1, output..., &minor);
            case Act::Encrypt: return message->encrypt(strengthAES128, &targets, output..., &minor);
            case Act::Verify: // with revocation checked against the root's CRL, so that its paths are walked too
                record.info.verify_flags |= KIVO_VERIFY_REVOCATION;
                record.info.crls = viewOf(rootCrl());
                return message->verify(output..., &record.info, &minor);
            case Act::Decrypt: return message->decrypt(output..., &minor);
            }
            return ~0u;
        };
        return form == Form::Buffer ? run(&buffer) : form == Form::Stream ? run(&stream) : run();
    }

    // Ready for the result again; the call's words stay when only its delivery is repeated.
    void clearOutputs(bool words) {
        std::free(buffer.value);
        buffer = {0, nullptr};
        stream.str("");
        stream.clear();
        input.str(kText);
        input.clear();
        if (!words) return;
        record.release();
        record.info = VerifyRecord().info;
        recipientStatus = 99;
        info = minor = kUntouched;
    }

    std::string shown() {
        unsigned major = 0, scratch = 0;
        const unsigned flags = message->getStatus(&major, &scratch);
        // Asking for a message that is not there would change the major status.
        const std::string held = (flags & SMIME_MESSAGE_SET) != 0 ? heldMessage(*message) : "";
        const std::string delivered = buffer.value ? std::string(static_cast<char*>(buffer.value), buffer.length) : stream.str();
        gss_buffer_desc generated = {0, nullptr};
        generator.getMessage(&generated); // a copy: the generator keeps its message
        return "minor " + std::to_string(minor) + ", info " + std::to_string(info) + ", recipient " +
               std::to_string(recipientStatus) + ", signer [" + record.subject() + "], delivered " +
               (delivered == held ? "the held message" : opened(delivered)) + ", file [" + TempDir::read(file) +
               "]; flags " + std::to_string(flags) + ", major " + std::to_string(major) + ", holds " + opened(held) +
               ", kind " + std::to_string(message->getMessageType()) + "; generator kind " + std::to_string(generator.getMessageType()) + ", " +
               std::to_string(take(generated).size()) + " bytes";
    }
};

// The text protected each way, once, unfailed, by the library.
const std::string& messageHeld(Holds holds) {
    static const std::vector<std::string> made = [] {
        std::vector<std::string> texts = {"", kText};
        for (const Act act : {Act::Sign, Act::ClearSign, Act::Encrypt}) {
            Call c;
            EXPECT_EQ(c.message->login(sharedEnvironment().credential(), &c.minor), SMIME_OK);
            setHeld(*c.message, kText);
            EXPECT_EQ(c.protect(act), SMIME_OK) << c.minor;
            texts.push_back(heldMessage(*c.message));
        }
        return texts;
    }();
    return made[holds >= Holds::NotLoggedIn ? 0 : static_cast<std::size_t>(holds)];
}

// Besides its unfailed status an operation may give only memoryStatuses when an allocation fails.
struct Row {
    std::string name;
    std::vector<unsigned> memoryStatuses;
    Holds holds;
    std::function<unsigned(Call&)> run;
    unsigned unfailed = SMIME_OK;
    std::vector<std::string> shows = {}; // parts of the unfailed result
};

// Allocation n failing (none for n = 0, whose result becomes `unfailed`); false when fewer than n were made.
bool attempt(const Row& row, int n, std::string& unfailed) {
    Call c;
    const std::string& input = messageHeld(row.holds);
    EXPECT_EQ(row.holds == Holds::NotLoggedIn ? 0 : c.message->login(sharedEnvironment().credential(), &c.minor), SMIME_OK);
    if (!input.empty()) setHeld(*c.message, input);
    EXPECT_TRUE(row.holds != Holds::Generated || c.generator.insertEnvelopedData(&kPidu) == SMIME_OK);
    c.minor = kUntouched;
    const auto [status, reached] = [&] {
        const AllocationFailure failure(n);
        const unsigned result = row.run(c);
        return std::make_pair(result, mallocCallsSinceArmed() >= n);
    }();
    // The provider says why it failed: memory, not the message.
    EXPECT_TRUE(status != SMIME_PROVIDER_FAILED || c.minor == KIVO_R_NO_MEMORY) << c.minor;
    const std::string shown = c.shown();
    if (n == 0) unfailed = shown;
    if (status == row.unfailed) {
        EXPECT_EQ(shown, unfailed) << "a fallback must not change the result";
        return reached;
    }
    EXPECT_TRUE(n > 0 && reached) << "failed with nothing failing";
    const auto& allowed = row.memoryStatuses;
    EXPECT_EQ(std::count(allowed.begin(), allowed.end(), status), 1) << "status " << status << "; " << shown;
    EXPECT_EQ(c.buffer.value, nullptr) << "handed out on failure";
    // A result that took the message's place is asked for; else the call is made again.
    const bool resultHeld = !input.empty() && heldMessage(*c.message) != input;
    c.clearOutputs(!resultHeld);
    unsigned scratch = 0;
    if (!resultHeld) row.run(c);
    else if (c.form == Form::Buffer) c.message->getMessage(&c.buffer, &scratch);
    else if (c.form == Form::Stream) c.message->getMessage(&c.stream, &scratch);
    EXPECT_EQ(c.shown(), unfailed) << "unusable after the failure";
    return true;
}

std::vector<Row> rows() {
    static const std::string inputFile = kFolder.write("input", kText);
    static const std::string bigFile = kFolder.write("big", randomBytes(70000, 7));
    static const std::string& keyStore = testpki::keyStoreFiles().aliceP12;
    const std::vector<unsigned> memory = {SMIME_NO_MEMORY}, provider = {SMIME_NO_MEMORY, SMIME_PROVIDER_FAILED};
    const Holds none = Holds::Nothing, notIn = Holds::NotLoggedIn;
    std::vector<Row> rows = {
        {"SMIMEMessage()", memory, none, [](Call& c) { return c.construct(); }},
        {"SMIMEMessage(buffer)", memory, none, [](Call& c) { return c.construct(&kTextIn); }},
        {"SMIMEMessage(file)", memory, none, [](Call& c) { return c.construct(inputFile.c_str()); }},
        {"setMessage(buffer)", memory, none, [](Call& c) { return c.message->setMessage(&kTextIn, &c.minor); }},
        {"setMessage(stream)", memory, none, [](Call& c) { return c.message->setMessage(&c.input, &c.minor); }},
        {"setMessage(file)", memory, none, [](Call& c) { return c.message->setMessage(inputFile.c_str(), &c.minor); }},
        {"getMessage(buffer)", memory, Holds::Text, [](Call& c) { return c.message->getMessage(&c.buffer, &c.minor); }},
        {"getMessage(stream)", {SMIME_NO_MEMORY, SMIME_STREAM_ERROR}, Holds::Text,
         [](Call& c) { return c.message->getMessage(&c.stream, &c.minor); }},
        {"writeMessageToFile", {SMIME_NO_MEMORY, SMIME_FILE_ACCESS, SMIME_STREAM_ERROR}, Holds::Text,
         [](Call& c) { return c.message->writeMessageToFile(c.file.c_str()); }},
        // Out of memory while scanning, the kind is unknown for the moment.
        {"getMessageType", {messageUnknown}, Holds::Signed,
         [](Call& c) { return static_cast<unsigned>(c.message->getMessageType()); }, messageSignedData},
        {"login(key store)", provider, notIn,
         [](Call& c) { return c.message->login(keyStore.c_str(), kPassword, "", &c.info, &c.minor); }},
        {"login(container)", provider, notIn,
         [](Call& c) { return c.message->login(sharedEnvironment().container(), "", &c.info, &c.minor); }},
        {"login(credential)", provider, notIn,
         [](Call& c) { return c.message->login(sharedEnvironment().credential(), &c.minor); }},
        {"insertEnvelopedData", memory, none, [](Call& c) { return c.generator.insertEnvelopedData(&kPidu); }},
        {"insertSignedData", memory, none, [](Call& c) { return c.generator.insertSignedData(&kPidu); }},
        {"insertMultipartAndSignedData", memory, none,
         [](Call& c) { return c.generator.insertMultipartAndSignedData(digestSHA256, &kTextIn, &kPidu); }},
        {"generator getMessage(buffer)", memory, Holds::Generated, [](Call& c) { return c.generator.getMessage(&c.buffer); }},
        // A stream that fails keeps the message in the generator, with 16.
        {"generator getMessage(stream)", {SMIME_NULL_PARAMETER}, Holds::Generated,
         [](Call& c) { return c.generator.getMessage(&c.stream); }},
        {"sbase64::encode", memory, none, [](Call& c) { return sbase64().encode(&kPidu, &c.buffer); }},
        {"sbase64::decode", memory, none, [](Call& c) { return sbase64().decode(&kBase64In, &c.buffer); }},
        {"sprintable::decode", {SMIME_STREAM_ERROR}, none, [](Call& c) { return sprintable::decode(&kPrintableIn, &c.buffer); }},
        {"loadMessage", memory, none, [](Call& c) { return smime_utility().loadMessage(bigFile.c_str(), &c.buffer); }},
    };
    // The result: held, of its kind afresh, and opening to the text (protected) or the text itself.
    const std::tuple<const char*, Act, Holds, messageType_t> acts[] = {
        {"sign", Act::Sign, Holds::Text, messageSignedData},
        {"signSignatureOnly", Act::ClearSign, Holds::Text, messageClearSigned},
        {"encrypt", Act::Encrypt, Holds::Text, messageEnvelopedData},
        {"verify signed data", Act::Verify, Holds::Signed, messageUnknown},
        {"decrypt", Act::Decrypt, Holds::Enveloped, messageUnknown},
        {"verify clear-signed", Act::Verify, Holds::ClearSigned, messageUnknown}};
    const char* const formNames[] = {" into a buffer", " to a stream", " in place"};
    for (const auto& [name, act, holds, kind] : acts)
        for (const Form form : {Form::Buffer, Form::Stream, Form::InPlace}) {
            std::vector<unsigned> statuses = provider;
            // Every failure to take the message apart reads as a message that cannot be.
            if (holds != Holds::Text) statuses.push_back(SMIME_BAD_MESSAGE);
            if (form == Form::Stream) statuses.push_back(SMIME_STREAM_ERROR);
            const auto run = [act = act, form](Call& c) { c.form = form; return c.protect(act); };
            const std::string opens = holds == Holds::Text ? "kind " + std::to_string(kind) + " opening 0 to " : "";
            std::vector<std::string> shows = {"minor 0,", "major 0, holds " + opens + "[" + kText + "]",
                                              ", kind " + std::to_string(kind) + ";"};
            if (form != Form::InPlace) shows.push_back("delivered the held message");
            if (act == Act::Encrypt) shows.push_back("recipient 0,");
            rows.push_back({name + std::string(formNames[static_cast<int>(form)]), statuses, holds, run, SMIME_OK, shows});
        }
    return rows;
}

// Tracing goes on, to a sink that allocates nothing, so that failure paths' records are walked too.
TEST(AllocationWalk, EveryOperationSurvivesEveryAllocationFailure) {
    messageHeld(Holds::Text); // made before the walk, not inside it
    std::size_t records = 0;
    VekTrace::s_defaultTracePtr->setSink([](const VekTraceRecord&, void* n) { ++*static_cast<std::size_t*>(n); }, &records);
    VekTrace::s_defaultTracePtr->enable(VekTrace::kAll, VekTrace::kAll);
    const auto reports = [] { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); };
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        std::string unfailed;
        attempt(row, 0, unfailed);
        for (const std::string& part : row.shows) EXPECT_NE(unfailed.find(part), std::string::npos) << part << " in " << unfailed;
        // Past 2000 allocations a walk has lost its way; a dozen reports show a pattern.
        int n = 1;
        for (const int before = reports(); n <= 2000 && reports() - before < 12; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
            if (!attempt(row, n, unfailed)) break;
        }
        EXPECT_TRUE(n > 1 && n <= 2000) << n - 1 << " allocations: none, or more than a walk expects";
    }
    VekTrace::s_defaultTracePtr->disable();
    VekTrace::s_defaultTracePtr->setSink(nullptr, nullptr);
    EXPECT_GT(records, 0u);
}

} // namespace
