// Every public operation, run once with each of its allocations failing in
// turn (malloc, calloc, realloc and operator new), with the library's and the
// OpenSSL provider's objects linked into the program so that both are walked
// (OpenSSL's own allocations stay in its shared library). A failure must give
// a status that memory running out may give (the provider's with its reason
// for it), hand out nothing, leak nothing (the sanitizer build checks at
// exit), and leave the object able to do the same work again with the result
// of a run in which nothing failed.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_walk.h"
#include "random_bytes.h"
#include "smime_session.h"
#include "temp_dir.h"
#include "test_pki.h"
#include "vektrace.h"

namespace {

constexpr unsigned kUntouched = 0xA5A5A5A5u;
const std::string kText = "Content-Type: text/plain\r\n\r\nA short message to protect.\r\n";
const std::string kToken = randomBytes(200, 3);

template <typename Number>
std::string number(Number value) {
    return std::to_string(value);
}

std::string textOf(const gss_buffer_desc& buffer) {
    return buffer.value == nullptr ? std::string() : std::string(static_cast<const char*>(buffer.value), buffer.length);
}

const TempDir& folder() {
    static const TempDir dir;
    return dir;
}

// One container and credential for every object of the walk, made once: a
// key-store login on every attempt would be most of the run time, so only
// the row of that login walks it.
struct Credential {
    gss_buffer_desc* container = nullptr;
    void* handle = nullptr;

    Credential() {
        const std::string& location = testpki::keyStoreFiles().aliceP12;
        const std::string password = testpki::KeyStoreFiles::kPassword;
        const gss_buffer_desc where = {static_cast<OM_uint32>(location.size() + 1), const_cast<char*>(location.c_str())};
        const gss_buffer_desc secret = {static_cast<OM_uint32>(password.size() + 1), const_cast<char*>(password.c_str())};
        OM_uint32 minor = 0;
        EXPECT_EQ(kivo_establish_creds(nullptr, &where, &secret, nullptr, &minor, &container), 0u);
        EXPECT_EQ(idup_acquire_cred_with_auth(nullptr, container, GSS_C_INDEFINITE, nullptr, nullptr, &minor, &handle,
                                              nullptr, nullptr, nullptr),
                  0u);
    }
    ~Credential() {
        OM_uint32 minor = 0;
        prov_release_cred(&minor, &handle);
        prov_abolish_creds(&container, &minor);
    }
};

const Credential& credential() {
    static const Credential shared;
    return shared;
}

// A signed message carries its signing time and an enveloped one a fresh
// key, so a protected message is shown as what it opens to, and any other
// text as itself.
std::string opened(const std::string& text) {
    SMIMEMessage m;
    unsigned minor = 0;
    EXPECT_EQ(m.login(credential().handle, &minor), SMIME_OK);
    const gss_buffer_desc in = viewOf(text);
    const messageType_t type = text.empty() || m.setMessage(&in, &minor) != SMIME_OK ? messageNone : m.getMessageType();
    if (type != messageSignedData && type != messageClearSigned && type != messageEnvelopedData) {
        const bool isShort = text.size() < 200;
        return isShort ? "[" + text + "]" : number(text.size()) + " bytes #" + number(std::hash<std::string>{}(text));
    }
    VerifyRecord record;
    const unsigned status = type == messageEnvelopedData ? m.decrypt(&minor) : m.verify(&record.info, &minor);
    return "kind " + number(type) + " opening " + number(status) + " to [" + heldMessage(m) + "] signed by [" +
           textOf(record.info.signer_subject) + "]";
}

enum class Act { Sign, ClearSign, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };
// What an attempt starts from: an object logged in holding nothing or a
// message, one not logged in, or a generator holding a message.
enum class Holds { Nothing, Text, Signed, ClearSigned, Enveloped, NotLoggedIn, Generated };

// One attempt's objects, and its call's arguments and results: made before
// allocations are counted and read after, so that the call is all that
// allocates while they are.
struct Call {
    std::optional<SMIMEMessage> message{std::in_place};
    smimeGenerator generator;
    gss_buffer_desc recipient = viewOf(recipientPem());
    OM_uint32 recipientStatus = 99;
    IDUP_Target_Info_desc targets = {1, &recipient, &recipientStatus};
    VerifyRecord record;
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    std::istringstream input{kText};
    std::string file = folder().file("output");
    Form form = Form::InPlace;
    unsigned info = kUntouched;
    unsigned minor = kUntouched;

    Call() { std::remove(file.c_str()); }
    ~Call() { std::free(buffer.value); }

    static const std::string& recipientPem() {
        static const std::string pem = testpki::certPem(testpki::standardPki().alice.cert.get());
        return pem;
    }

    unsigned protect(Act act) {
        const auto run = [&](auto... output) -> unsigned {
            switch (act) {
            case Act::Sign: return message->sign(digestSHA256, output..., &minor);
            case Act::ClearSign: return message->signSignatureOnly(digestSHA1, output..., &minor);
            case Act::Encrypt: return message->encrypt(strengthAES128, &targets, output..., &minor);
            case Act::Verify: return message->verify(output..., &record.info, &minor);
            case Act::Decrypt: return message->decrypt(output..., &minor);
            }
            return ~0u;
        };
        if (form == Form::Buffer) return run(&buffer);
        if (form == Form::Stream) return run(static_cast<std::ostream*>(&stream));
        return run();
    }

    // Ready to be handed the result again; the call's words stay when only
    // the delivery is repeated.
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
        unsigned major = 0;
        unsigned scratch = 0;
        const unsigned flags = message->getStatus(&major, &scratch);
        // Asking for a message that is not there would change the major status.
        const std::string held = (flags & SMIME_MESSAGE_SET) != 0 ? heldMessage(*message) : "";
        const std::string delivered = buffer.value != nullptr ? textOf(buffer) : stream.str();
        gss_buffer_desc generated = {0, nullptr};
        generator.getMessage(&generated); // a copy: the generator keeps its message
        return "minor " + number(minor) + ", info " + number(info) + ", recipient " + number(recipientStatus) +
               ", signer [" + textOf(record.info.signer_subject) + "], delivered " +
               (delivered == held ? "the held message" : opened(delivered)) + ", file [" + TempDir::read(file) +
               "]; flags " + number(flags) + ", major " + number(major) + ", holds " + opened(held) +
               "; generator kind " + number(generator.getMessageType()) + ", " + number(take(generated).size()) + " bytes";
    }
};

// The text protected each way, once, unfailed, by the library.
const std::string& messageHeld(Holds holds) {
    static const std::vector<std::string> made = [] {
        std::vector<std::string> texts = {"", kText};
        for (const Act act : {Act::Sign, Act::ClearSign, Act::Encrypt}) {
            Call c;
            EXPECT_EQ(c.message->login(credential().handle, &c.minor), SMIME_OK);
            setHeld(*c.message, kText);
            EXPECT_EQ(c.protect(act), SMIME_OK) << c.minor;
            texts.push_back(heldMessage(*c.message));
        }
        return texts;
    }();
    return holds > Holds::Enveloped ? made[0] : made[static_cast<std::size_t>(holds)];
}

struct Row {
    std::string name;
    std::vector<unsigned> memoryStatuses;
    Holds holds;
    std::function<unsigned(Call&)> run;
    unsigned unfailed = SMIME_OK;
};

walk::Operation operationOf(const Row& row) {
    return {row.name, row.memoryStatuses, [row](int n) {
                walk::Attempt a;
                Call c;
                const std::string& input = messageHeld(row.holds);
                const unsigned login = row.holds == Holds::NotLoggedIn ? 0 : c.message->login(credential().handle, &c.minor);
                EXPECT_EQ(login, SMIME_OK);
                if (!input.empty()) setHeld(*c.message, input);
                const gss_buffer_desc token = viewOf(kToken);
                EXPECT_TRUE(row.holds != Holds::Generated || c.generator.insertEnvelopedData(&token) == SMIME_OK);
                c.minor = kUntouched;
                a.reached = walk::failingNth(n, [&] { a.status = row.run(c); });
                // The provider says why it failed: memory, not the message.
                EXPECT_TRUE(a.status != SMIME_PROVIDER_FAILED || c.minor == KIVO_R_NO_MEMORY) << c.minor;
                a.observed = c.shown();
                if (a.status == row.unfailed) return a;
                EXPECT_EQ(c.buffer.value, nullptr) << "handed out on failure";
                // A result that took the message's place when only its
                // delivery failed is asked for; else the call is made again.
                const bool resultHeld = !input.empty() && heldMessage(*c.message) != input;
                c.clearOutputs(!resultHeld);
                unsigned scratch = 0;
                if (!resultHeld) row.run(c);
                else if (c.form == Form::Buffer) c.message->getMessage(&c.buffer, &scratch);
                else if (c.form == Form::Stream) c.message->getMessage(static_cast<std::ostream*>(&c.stream), &scratch);
                a.retried = c.shown();
                return a;
            }, row.unfailed};
}

std::vector<Row> protectionRows() {
    const struct {
        const char* name;
        Act act;
        Holds holds;
    } acts[] = {{"sign", Act::Sign, Holds::Text},
                {"signSignatureOnly", Act::ClearSign, Holds::Text},
                {"encrypt", Act::Encrypt, Holds::Text},
                {"verify signed data", Act::Verify, Holds::Signed},
                {"verify clear-signed", Act::Verify, Holds::ClearSigned},
                {"decrypt", Act::Decrypt, Holds::Enveloped}};
    const char* const formNames[] = {" into a buffer", " to a stream", " in place"};
    std::vector<Row> rows;
    for (const auto& a : acts) {
        for (const Form form : {Form::Buffer, Form::Stream, Form::InPlace}) {
            std::vector<unsigned> statuses = {SMIME_NO_MEMORY, SMIME_PROVIDER_FAILED};
            // Every failure to take the message apart reads as a message that cannot be.
            if (a.act == Act::Verify || a.act == Act::Decrypt) statuses.push_back(SMIME_BAD_MESSAGE);
            if (form == Form::Stream) statuses.push_back(SMIME_STREAM_ERROR);
            rows.push_back({std::string(a.name) + formNames[static_cast<int>(form)], statuses, a.holds,
                            [act = a.act, form](Call& c) {
                                c.form = form;
                                return c.protect(act);
                            }});
        }
    }
    return rows;
}

// A constructor's status is the major status the new object reports.
template <typename... Args>
unsigned constructed(Call& c, Args... args) {
    c.message.emplace(args...);
    unsigned major = 0;
    c.message->getStatus(&major, &c.minor);
    return major;
}

std::vector<Row> rows() {
    static const gss_buffer_desc text = viewOf(kText);
    static const gss_buffer_desc token = viewOf(kToken);
    static const std::string inputFile = folder().write("input", kText);
    static const std::string bigFile = folder().write("big", randomBytes(70000, 7));
    static const std::string base64 = [] {
        gss_buffer_desc encoded = {0, nullptr};
        EXPECT_EQ(sbase64().encode(&token, &encoded), SMIME_OK);
        return take(encoded);
    }();
    static const std::string printable = "Caf=C3=A9 au lait=\r\nsoft break  \r\nand tabs\there\r\n";
    const unsigned kMemory = SMIME_NO_MEMORY;
    std::vector<Row> rows = {
        {"SMIMEMessage()", {kMemory}, Holds::Nothing, [](Call& c) { return constructed(c); }},
        {"SMIMEMessage(buffer)", {kMemory}, Holds::Nothing, [](Call& c) { return constructed(c, &text); }},
        {"SMIMEMessage(stream)", {kMemory}, Holds::Nothing,
         [](Call& c) { return constructed(c, static_cast<std::istream*>(&c.input)); }},
        {"SMIMEMessage(file)", {kMemory}, Holds::Nothing, [](Call& c) { return constructed(c, inputFile.c_str()); }},
        {"setMessage(buffer)", {kMemory}, Holds::Nothing, [](Call& c) { return c.message->setMessage(&text, &c.minor); }},
        {"setMessage(stream)", {kMemory}, Holds::Nothing,
         [](Call& c) { return c.message->setMessage(static_cast<std::istream*>(&c.input), &c.minor); }},
        {"setMessage(file)", {kMemory}, Holds::Nothing,
         [](Call& c) { return c.message->setMessage(inputFile.c_str(), &c.minor); }},
        {"getMessage(buffer)", {kMemory}, Holds::Text, [](Call& c) { return c.message->getMessage(&c.buffer, &c.minor); }},
        {"getMessage(stream)", {kMemory, SMIME_STREAM_ERROR}, Holds::Text,
         [](Call& c) { return c.message->getMessage(static_cast<std::ostream*>(&c.stream), &c.minor); }},
        {"writeMessageToFile", {kMemory, SMIME_FILE_ACCESS, SMIME_STREAM_ERROR}, Holds::Text,
         [](Call& c) { return c.message->writeMessageToFile(c.file.c_str()); }},
        // Out of memory while scanning, the kind is unknown for the moment.
        {"getMessageType", {messageUnknown}, Holds::Signed,
         [](Call& c) { return static_cast<unsigned>(c.message->getMessageType()); }, messageSignedData},
        {"login(key store)", {kMemory, SMIME_PROVIDER_FAILED}, Holds::NotLoggedIn,
         [](Call& c) {
             const std::string& keyStore = testpki::keyStoreFiles().aliceP12;
             return c.message->login(keyStore.c_str(), testpki::KeyStoreFiles::kPassword, "", &c.info, &c.minor);
         }},
        {"login(container)", {kMemory, SMIME_PROVIDER_FAILED}, Holds::NotLoggedIn,
         [](Call& c) { return c.message->login(credential().container, "", &c.info, &c.minor); }},
        {"login(credential)", {kMemory, SMIME_PROVIDER_FAILED}, Holds::NotLoggedIn,
         [](Call& c) { return c.message->login(credential().handle, &c.minor); }},
        {"smimeGenerator::insertEnvelopedData", {kMemory}, Holds::Nothing,
         [](Call& c) { return c.generator.insertEnvelopedData(&token); }},
        {"smimeGenerator::insertSignedData", {kMemory}, Holds::Nothing,
         [](Call& c) { return c.generator.insertSignedData(&token); }},
        {"smimeGenerator::insertMultipartAndSignedData", {kMemory}, Holds::Nothing,
         [](Call& c) { return c.generator.insertMultipartAndSignedData(digestSHA256, &text, &token); }},
        {"smimeGenerator::getMessage(buffer)", {kMemory}, Holds::Generated,
         [](Call& c) { return c.generator.getMessage(&c.buffer); }},
        // A stream that fails keeps the message in the generator, with 16.
        {"smimeGenerator::getMessage(stream)", {SMIME_NULL_PARAMETER}, Holds::Generated,
         [](Call& c) { return c.generator.getMessage(static_cast<std::ostream*>(&c.stream)); }},
        {"sbase64::encode", {kMemory}, Holds::Nothing, [](Call& c) { return sbase64().encode(&token, &c.buffer); }},
        {"sbase64::decode", {kMemory}, Holds::Nothing,
         [](Call& c) {
             const gss_buffer_desc in = viewOf(base64);
             return sbase64().decode(&in, &c.buffer);
         }},
        {"sprintable::decode", {SMIME_STREAM_ERROR}, Holds::Nothing,
         [](Call& c) {
             const gss_buffer_desc in = viewOf(printable);
             return sprintable::decode(&in, &c.buffer);
         }},
        {"smime_utility::loadMessage", {kMemory}, Holds::Nothing,
         [](Call& c) { return smime_utility().loadMessage(bigFile.c_str(), &c.buffer); }},
    };
    for (Row& row : protectionRows()) rows.push_back(std::move(row));
    return rows;
}

void countRecord(const VekTraceRecord&, void* context) { ++*static_cast<std::size_t*>(context); }

// Trace records are written all the while, to a sink that allocates
// nothing, so that the records written only on failure paths are walked too.
TEST(AllocationWalk, EveryOperationSurvivesEveryAllocationFailure) {
    messageHeld(Holds::Text); // made before the walk, not inside it
    std::size_t records = 0;
    VekTrace::s_defaultTracePtr->setSink(&countRecord, &records);
    VekTrace::s_defaultTracePtr->enable(VekTrace::kAll, VekTrace::kAll);
    std::vector<walk::Operation> operations;
    for (const Row& row : rows()) operations.push_back(operationOf(row));
    walk::walkAll(operations);
    VekTrace::s_defaultTracePtr->disable();
    VekTrace::s_defaultTracePtr->setSink(nullptr, nullptr);
    EXPECT_GT(records, 0u);
}

} // namespace
