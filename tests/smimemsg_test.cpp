// The message object: its status and state flags, its trace records, message
// input and output, and login and logout against the test provider.
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "gss_buffers.h"
#include "provider_double.h"
#include "random_bytes.h"
#include "temp_dir.h"
#include "trace_capture.h"
#include "vek4kivooidtable.h"
#include "vek4kivosmime.h"

namespace pd = provider_double;

namespace {
// Runs work with its n-th operator new failing; false when it made fewer.
// The object makes its parser, generator, utility and mutex with new.
template <typename Work>
bool withNthNewFailing(int n, Work&& work) {
    failNthNew(n);
    work();
    const bool reached = mallocCallsSinceArmed() >= n;
    disarmMallocFailure();
    return reached;
}
} // namespace

namespace {

constexpr unsigned kError = VekTrace::kLevelInfo;
constexpr unsigned kHeld = SMIME_INITIALIZED | SMIME_MESSAGE_SET;
constexpr unsigned kLoggedIn = SMIME_INITIALIZED | SMIME_LOGGED_IN;
constexpr OM_uint32 kReportedInfo = KIVO_CRED_CAN_SIGN | KIVO_CRED_CERT_VALID_NOW;
constexpr unsigned kUntouched = 0xA5A5A5A5u;
const char kNullParameter[] = "one of the parameter was NULL";
using Texts = std::vector<std::string>;

// What getStatus shows: the flags, the major and the minor status.
using Status = std::tuple<unsigned, unsigned, unsigned>;
Status statusOf(SMIMEMessage& object) {
    unsigned major = kUntouched, minor = kUntouched;
    const unsigned flags = object.getStatus(&major, &minor);
    return {flags, major, minor};
}

std::string heldMessage(SMIMEMessage& object) {
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    EXPECT_EQ(object.getMessage(&copy, &minor), SMIME_OK);
    return copy.value == nullptr ? std::string() : take(copy);
}

unsigned setFromBytes(SMIMEMessage& object, const std::string& bytes) {
    const gss_buffer_desc buffer = viewOf(bytes);
    unsigned minor = 0;
    return object.setMessage(&buffer, &minor);
}

// The message given as a "buffer", a "stream" or a "file".
unsigned setFrom(SMIMEMessage& object, const std::string& source, const std::string& bytes, const TempDir& dir) {
    unsigned minor = 0;
    std::istringstream in(bytes);
    if (source == "stream") return object.setMessage(&in, &minor);
    if (source == "file") return object.setMessage(dir.write("input", bytes).c_str(), &minor);
    return setFromBytes(object, bytes);
}

bool isRelease(const std::string& name) {
    return name.rfind("prov_release", 0) == 0 || name.rfind("prov_free", 0) == 0 || name.rfind("prov_abolish", 0) == 0;
}

using Calls = std::vector<pd::Call>;
Calls operator+(Calls first, const Calls& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The calls recorded since mark: exactly these names, with these arguments.
void expectCallsSince(std::size_t mark, const Calls& expected) {
    const Calls all = pd::calls();
    const Calls calls(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    Texts names, expectedNames;
    for (const auto& call : calls) names.push_back(call.name);
    for (const auto& call : expected) expectedNames.push_back(call.name);
    ASSERT_EQ(names, expectedNames);
    for (std::size_t i = 0; i < calls.size(); ++i)
        for (const auto& [key, value] : expected[i].args)
            EXPECT_EQ(calls[i].arg(key), value) << "call " << i << ", " << calls[i].name << " " << key;
}

// The logout of a form 1 login: environment, credential, container.
const Calls kFullLogout = {{"prov_abolish_env", {{"env", "env#1"}}},
                           {"prov_release_cred", {{"cred", "cred#1"}}},
                           {"prov_abolish_creds", {{"container", "container#1"}}}};

// A string as an application hands it to the provider: the NUL counted.
gss_buffer_desc stringBuffer(const char* text) {
    return {static_cast<OM_uint32>(std::strlen(text) + 1), const_cast<char*>(text)};
}

void restartRecord() {
    pd::reset();
    pd::setCredentialInfo(kReportedInfo);
}

// The caller's own container and credential (login forms 2 and 3), made
// before the record restarts, so that they are container#1 and cred#1 too;
// after the test, nothing is left with the provider that was not before.
class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        restartRecord();
        baseline_ = pd::outstanding();
        OM_uint32 minor = 0;
        gss_buffer_desc location = stringBuffer("caller.p12"), password = stringBuffer("");
        gss_buffer_desc principal = stringBuffer("alice");
        gss_name_t name = nullptr;
        ASSERT_EQ(kivo_establish_creds(nullptr, &location, &password, KIVOGetOID(KIVO_OID_NAME_TYPE), &minor,
                                       &container_),
                  GSS_S_COMPLETE);
        ASSERT_EQ(gss_import_name(&minor, &principal, KIVOGetOID(KIVO_OID_NAME_TYPE), &name), GSS_S_COMPLETE);
        ASSERT_EQ(idup_acquire_cred_with_auth(name, container_, GSS_C_INDEFINITE, nullptr, nullptr, &minor,
                                              &credential_, nullptr, nullptr, nullptr),
                  GSS_S_COMPLETE);
        prov_release_name(&minor, &name);
        restartRecord();
    }
    void TearDown() override {
        releaseCallerObjects();
        EXPECT_EQ(pd::outstanding(), baseline_) << testing::PrintToString(pd::outstandingObjects());
    }

    void releaseCallerObjects() {
        OM_uint32 minor = 0;
        EXPECT_EQ(prov_release_cred(&minor, &credential_), GSS_S_COMPLETE);
        EXPECT_EQ(prov_abolish_creds(&container_, &minor), GSS_S_COMPLETE);
    }

    unsigned loginWithForm(SMIMEMessage& object, int form, unsigned* info, unsigned* minor) {
        if (form == 1) return object.login("keystore.p12", "secret", "alice", info, minor);
        if (form == 2) return object.login(container_, "alice", info, minor);
        return object.login(credential_, minor);
    }

    // Logged in through form 1, the record restarted so that the test sees
    // only its own calls; the object holds container#1, cred#1 and env#1.
    static std::unique_ptr<SMIMEMessage> loggedIn() {
        auto object = std::make_unique<SMIMEMessage>();
        unsigned info = 0, minor = 0;
        EXPECT_EQ(object->login("keystore.p12", "secret", "alice", &info, &minor), SMIME_OK);
        restartRecord();
        return object;
    }

    std::size_t baseline_ = 0;
    gss_buffer_desc* container_ = nullptr;
    void* credential_ = nullptr;
};

using SMIMEMessageStatus = MessageTest;
using SMIMEMessageInput = MessageTest;
using SMIMEMessageOutput = MessageTest;
using SMIMEMessageLogin = MessageTest;
using SMIMEMessageLogout = MessageTest;

// Members that call no provider operation record their major status only, so
// the minor status of a failed login stays recorded.
TEST_F(SMIMEMessageStatus, ShowsThePublicFlagsAndTheLastRecordedOutcome) {
    SMIMEMessage object;
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, 0, 0));
    pd::failCall("kivo_establish_creds", GSS_S_FAILURE, KIVO_R_KEYSTORE_UNREADABLE);
    unsigned info = 0, minor = 0;
    ASSERT_EQ(object.login("missing.p12", "", "alice", &info, &minor), SMIME_PROVIDER_FAILED);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_PROVIDER_FAILED, KIVO_R_KEYSTORE_UNREADABLE));
    EXPECT_EQ(setFromBytes(object, "Subject: hello\r\n\r\nbody"), SMIME_OK);
    EXPECT_EQ(statusOf(object), Status(kHeld, SMIME_OK, KIVO_R_KEYSTORE_UNREADABLE));
    EXPECT_EQ(object.getMessageType(), messageUntyped);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_OK);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_NO_MESSAGE);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_NO_MESSAGE, KIVO_R_KEYSTORE_UNREADABLE));
    EXPECT_EQ(object.getMessageType(), messageNone);

    // Logged in through form 1 the object also holds its container and
    // credential (0x08, 0x10), and the last call failed (0x20): none shows.
    ASSERT_EQ(object.login("keystore.p12", "secret", "alice", &info, &minor), SMIME_OK);
    ASSERT_EQ(setFromBytes(object, "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\nMIIB"),
              SMIME_OK);
    EXPECT_EQ(setFromBytes(object, "again"), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(statusOf(object), Status(kHeld | SMIME_LOGGED_IN, SMIME_MESSAGE_ALREADY_SET, 0));
    EXPECT_EQ(object.getMessageType(), messageSignedData);
}

TEST_F(SMIMEMessageStatus, EachMemberWritesItsOwnLabelAndTexts) {
    unsigned info = 0, minor = 0;
    const std::tuple<const char*, std::function<void(SMIMEMessage&)>, Texts> cases[] = {
        {"SMIMEMessage::getStatus()", [](SMIMEMessage& m) { m.getStatus(nullptr, nullptr); }, {kNullParameter}},
        {"SMIMEMessage::freeMessage()", [&](SMIMEMessage& m) { m.freeMessage(&minor); }, {}},
        {"setMessage", [&](SMIMEMessage& m) { m.setMessage("/nonexistent/message", &minor); }, {}},
        {"SMIMEMessage::login()", [&](SMIMEMessage& m) { m.login(nullptr, "", "", &info, &minor); }, {kNullParameter}},
        {"SMIMEMessage::logout()", [&](SMIMEMessage& m) { m.logout(&minor); }, {}},
    };
    for (const auto& [label, call, errors] : cases) {
        SCOPED_TRACE(label);
        SMIMEMessage object;
        TraceCapture capture(0x400);
        call(object);
        EXPECT_EQ(capture.texts(VekTrace::kLevelEntry), Texts{label});
        EXPECT_EQ(capture.texts(VekTrace::kLevelExit), Texts{label});
        EXPECT_EQ(capture.texts(kError), errors);
    }
}

TEST_F(SMIMEMessageStatus, ConstructorsTakingAMessageHoldIt) {
    TempDir dir;
    const std::string bytes("a\0b", 3), file = dir.write("message", bytes);
    const gss_buffer_desc buffer = viewOf(bytes);
    std::istringstream stream(bytes);
    SMIMEMessage fromBuffer(&buffer), fromStream(&stream), fromFile(file.c_str());
    for (SMIMEMessage* object : {&fromBuffer, &fromStream, &fromFile}) {
        EXPECT_EQ(statusOf(*object), Status(kHeld, SMIME_OK, 0));
        EXPECT_EQ(heldMessage(*object), bytes);
    }
}

// Each owned object in turn cannot be made: the object shows 0 and 15,
// refuses to log in with 17 (after the null check), and still goes cleanly.
TEST_F(SMIMEMessageStatus, AFailedConstructionLeavesAnObjectThatRefusesLogin) {
    int failedConstructions = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("operator new " + std::to_string(n));
        std::optional<SMIMEMessage> object;
        if (!withNthNewFailing(n, [&] { object.emplace(); })) break;
        if (std::get<0>(statusOf(*object)) == SMIME_INITIALIZED) continue; // an inner allocation coped with
        ++failedConstructions;
        EXPECT_EQ(statusOf(*object), Status(0, SMIME_NO_MEMORY, 0));
        unsigned info = kUntouched, minor = kUntouched;
        EXPECT_EQ(object->login(nullptr, "secret", "alice", &info, &minor), SMIME_NULL_PARAMETER);
        for (int form = 1; form <= 3; ++form)
            EXPECT_EQ(loginWithForm(*object, form, &info, &minor), SMIME_NOT_INITIALIZED) << "form " << form;
        EXPECT_TRUE(info == 0 && minor == 0);
        EXPECT_EQ(object->logout(&minor), SMIME_NOT_LOGGED_IN);
        EXPECT_EQ(object->getMessageType(), messageNone);
    }
    EXPECT_GE(failedConstructions, 4) << "parser, generator, utility and mutex";
}

// Sizes at and beside the 4096-byte read chunk; shorter after longer, so
// the output file is shown to be replaced exactly.
TEST_F(SMIMEMessageInput, KeepsEveryByteAndHandsTheSameBytesOutEveryWay) {
    std::string allValues;
    for (int value = 0; value < 256; ++value) allValues += static_cast<char>(value);
    std::vector<std::string> payloads = {allValues, std::string("a\0b\r\nc\0", 7)};
    for (const std::size_t size : {4095u, 4096u, 4097u, 8193u, 131073u})
        payloads.insert(payloads.begin(), randomBytes(size, static_cast<std::uint32_t>(size)));
    TempDir dir;
    const std::string file = dir.file("output");
    for (const std::string source : {"buffer", "stream", "file"}) {
        for (const auto& payload : payloads) {
            SCOPED_TRACE(source + ", " + std::to_string(payload.size()) + " bytes");
            SMIMEMessage object;
            ASSERT_EQ(setFrom(object, source, payload, dir), SMIME_OK);
            EXPECT_EQ(heldMessage(object), payload);
            std::ostringstream out;
            unsigned minor = 0;
            EXPECT_EQ(object.getMessage(&out, &minor), SMIME_OK);
            EXPECT_EQ(out.str(), payload);
            EXPECT_EQ(object.writeMessageToFile(file.c_str()), SMIME_OK);
            EXPECT_EQ(TempDir::read(file), payload);
        }
    }
}

// Hands out its bytes, then breaks like a failing device: the next read
// throws, which the stream turns into its bad state.
class BreakingBuffer : public std::streambuf {
public:
    explicit BreakingBuffer(std::string& bytes) { setg(bytes.data(), bytes.data(), bytes.data() + bytes.size()); }

protected:
    int_type underflow() override { throw std::runtime_error("device failed"); }
};

TEST_F(SMIMEMessageInput, ReadsAStreamFromWhereItStandsAndKeepsWhatItGaveBeforeFailing) {
    std::istringstream skipping("skipped|rest");
    skipping.ignore(8);
    std::string bytes = randomBytes(8192, 5);
    const std::string expected = bytes;
    BreakingBuffer device(bytes);
    std::istream breaking(&device);
    SMIMEMessage skipped, broken;
    unsigned minor = 0;
    ASSERT_EQ(skipped.setMessage(&skipping, &minor), SMIME_OK);
    EXPECT_EQ(heldMessage(skipped), "rest");
    EXPECT_EQ(broken.setMessage(&breaking, &minor), SMIME_OK);
    EXPECT_TRUE(breaking.bad());
    EXPECT_EQ(heldMessage(broken), expected);
}

// Refused with nothing held afterwards; and while a message is held, refused
// with 14 before the argument is looked at.
TEST_F(SMIMEMessageInput, RefusesUnusableSourcesAndHoldsNothingAfterwards) {
    TempDir dir;
    const std::string unreadable = dir.write("unreadable", "bytes"), empty = dir.write("empty", "");
    const std::string none = dir.file("none");
    const gss_buffer_desc zeroLength = {0, const_cast<char*>("bytes")}, noBytes = {5, nullptr};
    std::istringstream emptyStream;
    using Input = std::variant<const gss_buffer_desc*, std::istream*, const char*>;
    std::vector<std::tuple<const char*, Input, unsigned>> cases = {
        {"null buffer", static_cast<const gss_buffer_desc*>(nullptr), SMIME_NULL_PARAMETER},
        {"buffer of length 0", &zeroLength, SMIME_NULL_PARAMETER},
        {"buffer without bytes", &noBytes, SMIME_NULL_PARAMETER},
        {"null stream", static_cast<std::istream*>(nullptr), SMIME_NULL_PARAMETER},
        {"empty stream", &emptyStream, SMIME_STREAM_ERROR},
        {"null file name", static_cast<const char*>(nullptr), SMIME_NULL_PARAMETER},
        {"missing file", none.c_str(), SMIME_FILE_NOT_FOUND},
        {"empty file", empty.c_str(), SMIME_FILE_ACCESS},
    };
#if !defined(_WIN32)
    // The owner-read bit is checked itself, so this holds for root as well.
    // Windows has no such bit: every file it can see, its owner may read.
    ASSERT_EQ(chmod(unreadable.c_str(), 0200), 0);
    cases.emplace_back("no owner-read bit", unreadable.c_str(), SMIME_FILE_ACCESS);
#endif
    for (const auto& [name, input, expected] : cases) {
        SCOPED_TRACE(name);
        SMIMEMessage object, holding;
        unsigned minor = kUntouched;
        const auto set = [&minor](SMIMEMessage& m, const Input& in) {
            return std::visit([&](auto* source) { return m.setMessage(source, &minor); }, in);
        };
        EXPECT_EQ(set(object, input), expected);
        EXPECT_EQ(minor, kUntouched);
        EXPECT_EQ(setFromBytes(object, "next"), SMIME_OK);
        ASSERT_EQ(setFromBytes(holding, "first"), SMIME_OK);
        EXPECT_EQ(set(holding, input), SMIME_MESSAGE_ALREADY_SET);
        EXPECT_EQ(heldMessage(holding), "first");
    }
}

// The copy of the message cannot be allocated: nothing held, nothing handed out.
TEST_F(SMIMEMessageInput, AnAllocationFailureOfTheCopyGives15) {
    SMIMEMessage object;
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    failNthMalloc(1);
    EXPECT_EQ(setFromBytes(object, "bytes"), SMIME_NO_MEMORY);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_NO_MEMORY, 0));
    ASSERT_EQ(setFromBytes(object, "bytes"), SMIME_OK);
    failNthMalloc(1);
    EXPECT_EQ(object.getMessage(&copy, &minor), SMIME_NO_MEMORY);
    disarmMallocFailure();
    EXPECT_TRUE(copy.length == 0 && copy.value == nullptr);
}

// Streams set to throw on errors behave like streams that report them: the
// last, short read is kept on input, and a throwing output is status 13.
TEST_F(SMIMEMessageInput, StreamsThatThrowKeepEveryByteAndThrowNothingOut) {
    for (const std::size_t size : {std::size_t{100}, std::size_t{5000}}) {
        SCOPED_TRACE(size);
        const std::string bytes(size, 'x');
        std::istringstream in(bytes);
        in.exceptions(std::ios::failbit | std::ios::eofbit);
        SMIMEMessage object;
        unsigned minor = 0;
        ASSERT_EQ(object.setMessage(&in, &minor), SMIME_OK);
        gss_buffer_desc held = {0, nullptr};
        ASSERT_EQ(object.getMessage(&held, &minor), SMIME_OK);
        EXPECT_EQ(take(held), bytes);

        struct ThrowingBuffer : std::streambuf {
            int_type overflow(int_type) override { throw std::runtime_error("write failed"); }
            std::streamsize xsputn(const char*, std::streamsize) override { throw std::runtime_error("no"); }
        } throwing;
        std::ostream out(&throwing);
        out.exceptions(std::ios::badbit);
        EXPECT_EQ(object.getMessage(&out, &minor), SMIME_STREAM_ERROR);
    }
}

TEST_F(SMIMEMessageOutput, GetMessageChecksItsArgumentsInOrder) {
    int marker = 0;
    gss_buffer_desc empty = {0, nullptr}, pointerOnly = {0, &marker}, lengthOnly = {7, nullptr};
    std::ostream unwritable(nullptr); // every write sets its bad bit
    using Output = std::variant<gss_buffer_desc*, std::ostream*>;
    const std::tuple<const char*, bool, Output, unsigned> cases[] = {
        {"null descriptor, no message", false, static_cast<gss_buffer_desc*>(nullptr), SMIME_NULL_PARAMETER},
        {"length 0 with a pointer, no message", false, &pointerOnly, SMIME_OUTPUT_NOT_EMPTY},
        {"a length without a pointer", true, &lengthOnly, SMIME_OUTPUT_NOT_EMPTY},
        {"empty, no message", false, &empty, SMIME_NO_MESSAGE},
        {"null stream, no message", false, static_cast<std::ostream*>(nullptr), SMIME_NO_MESSAGE},
        {"null stream", true, static_cast<std::ostream*>(nullptr), SMIME_NULL_PARAMETER},
        {"a stream that cannot be written", true, &unwritable, SMIME_STREAM_ERROR},
    };
    for (const auto& [name, held, output, expected] : cases) {
        SCOPED_TRACE(name);
        SMIMEMessage object;
        if (held) { ASSERT_EQ(setFromBytes(object, "held"), SMIME_OK); }
        unsigned minor = kUntouched;
        EXPECT_EQ(std::visit([&](auto* out) { return object.getMessage(out, &minor); }, output), expected);
        EXPECT_EQ(minor, kUntouched);
        EXPECT_EQ(statusOf(object), Status(held ? kHeld : SMIME_INITIALIZED, expected, 0));
    }
}

TEST_F(SMIMEMessageOutput, WriteMessageToFileRefusesWhatItCannotWrite) {
    TempDir dir;
    const std::string readOnly = dir.write("read-only", "old");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    std::vector<std::tuple<const char*, std::string, std::optional<std::string>, unsigned>> cases = {
        {"null name, no message", "", std::nullopt, SMIME_NULL_PARAMETER},
        {"no message", "", dir.file("not-created"), SMIME_NO_MESSAGE},
        {"in a folder that does not exist", "held", dir.file("none/out"), SMIME_FILE_ACCESS},
    };
#if defined(_WIN32)
    cases.emplace_back("a read-only file", "new", readOnly, SMIME_FILE_ACCESS);
#else
    // The bytes reach the device only when the file is closed.
    cases.emplace_back("a full device", "held", std::string("/dev/full"), SMIME_STREAM_ERROR);
    // Root passes every write-permission check, so no file is read-only to it.
    if (geteuid() != 0) cases.emplace_back("a read-only file", "new", readOnly, SMIME_FILE_ACCESS);
#endif
    for (const auto& [name, message, file, expected] : cases) {
        SCOPED_TRACE(name);
        SMIMEMessage object;
        if (!message.empty()) { ASSERT_EQ(setFromBytes(object, message), SMIME_OK); }
        EXPECT_EQ(object.writeMessageToFile(file ? file->c_str() : nullptr), expected);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("not-created")));
    EXPECT_EQ(TempDir::read(readOnly), "old");
    // Windows does not remove a read-only file with its folder.
    chmod(readOnly.c_str(), 0644);
}

Calls credentialCalls(const std::string& container, const std::string& principal) {
    const OM_uint32 usageWord = 120;
    const gss_buffer_desc usage = {4, const_cast<OM_uint32*>(&usageWord)};
    return {
        {"gss_import_name", {{"name", principal}, {"name_type", "oid#1"}, {"output_name", "name#1"}}},
        {"gss_create_empty_oid_set", {{"set", "oid_set#1"}}},
        {"gss_add_oid_set_member", {{"member", "oid#7"}, {"set", "oid_set#1"}}},
        {"idup_acquire_cred_with_auth",
         {{"desired_name", "name#1"}, {"container", container}, {"time_req", "0xffffffff"},
          {"desired_mechs", "{oid#7}"}, {"cred_usage", "{4,120}"}, {"output_cred", "cred#1"},
          {"actual_mechs", "oid_set#2"}, {"info", "0x5"}}},
        {"prov_release_name", {{"name", "name#1"}}},
        {"prov_free_buffer_desc", {{"buffer", pd::describeBuffer(&usage)}, {"owner", "caller"}}},
        {"prov_release_oid_set", {{"set", "oid_set#1"}, {"members", "{oid#7}"}}},
        {"prov_release_oid_set", {{"set", "oid_set#2"}}},
        {"prov_free_buffer_desc", {{"owner", "double"}}},
        {"prov_free_buffer_desc", {{"buffer", principal}, {"owner", "caller"}}},
    };
}

Calls environmentCalls(const std::string& cred, int firstSet) {
    const std::string services = "oid_set#" + std::to_string(firstSet);
    const std::string empty = "oid_set#" + std::to_string(firstSet + 1);
    const std::string serviceOids = "{oid#22,oid#24,oid#28,oid#30}";
    Calls calls = {{"gss_create_empty_oid_set", {{"set", services}}}, {"gss_create_empty_oid_set", {{"set", empty}}}};
    for (const char* oid : {"oid#22", "oid#24", "oid#28", "oid#30"})
        calls.push_back({"gss_add_oid_set_member", {{"member", oid}, {"set", services}}});
    return calls + Calls{{"prov_establish_env",
                          {{"cred", cred}, {"mech_type", "oid#7"}, {"protect_mech", "oid#7"}, {"req_flags", "0x0"},
                           {"services", serviceOids}, {"unsupported_services", "{}"}, {"env", "env#1"}}},
                         {"prov_release_oid_set", {{"set", services}, {"members", serviceOids}}},
                         {"prov_release_oid_set", {{"set", empty}, {"members", "{}"}}},
                         {"prov_release_env_output", {{"output", "env_output#1"}}},
                         {"prov_release_env_output", {{"output", "env_output#2"}}}};
}

// Form 1 makes all three; forms 2 and 3 use the caller's container and
// credential, never release them, and do not keep them past the login.
TEST_F(SMIMEMessageLogin, EachFormMakesWhatItNeedsAndLogoutReleasesExactlyThat) {
    SMIMEMessage first, second, third;
    unsigned info = kUntouched, minor = kUntouched;
    ASSERT_EQ(first.login("keystore.p12", "", "alice", &info, &minor), SMIME_OK);
    EXPECT_EQ(info, kReportedInfo);
    EXPECT_EQ(minor, 0u);
    const Calls container = {{"kivo_establish_creds",
                              {{"reserved", "null"}, {"location", R"({13,"keystore.p12\x00"})"},
                               {"password", R"({1,"\x00"})"}, {"name_type", "oid#1"}, {"container", "container#1"}}}};
    expectCallsSince(0, container + credentialCalls("container#1", R"({6,"alice\x00"})") +
                            environmentCalls("cred#1", 3));
    restartRecord();
    ASSERT_EQ(second.login(container_, "bob", &info, &minor), SMIME_OK);
    EXPECT_EQ(info, kReportedInfo);
    expectCallsSince(0, credentialCalls("container#1", R"({4,"bob\x00"})") + environmentCalls("cred#1", 3));
    restartRecord();
    ASSERT_EQ(third.login(credential_, &minor), SMIME_OK);
    expectCallsSince(0, environmentCalls("cred#1", 1));

    releaseCallerObjects();
    restartRecord();
    for (SMIMEMessage* object : {&first, &second, &third}) EXPECT_EQ(object->logout(&minor), SMIME_OK);
    expectCallsSince(0, kFullLogout + Calls{kFullLogout[0], kFullLogout[1], kFullLogout[0]});
}

TEST_F(SMIMEMessageLogin, NullArgumentsGive16BeforeAnyProviderCall) {
    // The information word, where there is one, comes just before the minor.
    const int kArguments[] = {5, 4, 2}; // of forms 1, 2 and 3
    for (int form = 1; form <= 3; ++form) {
        const int arguments = kArguments[form - 1];
        for (int nullArgument = 0; nullArgument < arguments; ++nullArgument) {
            SCOPED_TRACE("form " + std::to_string(form) + ", argument " + std::to_string(nullArgument + 1) + " null");
            SMIMEMessage object;
            TraceCapture capture;
            unsigned info = kUntouched, minor = kUntouched;
            auto pick = [&](int position, auto value) { return position == nullArgument ? nullptr : value; };
            const unsigned status =
                form == 1   ? object.login(pick(0, "keystore.p12"), pick(1, "secret"), pick(2, "alice"), pick(3, &info),
                                           pick(4, &minor))
                : form == 2 ? object.login(pick(0, container_), pick(1, "alice"), pick(2, &info), pick(3, &minor))
                            : object.login(pick(0, static_cast<const void*>(credential_)), pick(1, &minor));
            EXPECT_EQ(status, SMIME_NULL_PARAMETER);
            EXPECT_EQ(info, form == 3 || nullArgument == arguments - 2 ? kUntouched : 0u);
            EXPECT_EQ(minor, nullArgument == arguments - 1 ? kUntouched : 0u);
            EXPECT_EQ(capture.texts(kError), Texts{kNullParameter});
            EXPECT_EQ(pd::callNames(), Texts{});
            EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_NULL_PARAMETER, 0));
        }
    }
}

// Where a login can fail: the provider function, which of its calls it is in
// forms 1, 2 and 3 (0: not made), and the record the failure writes.
struct FailurePoint {
    const char* function;
    unsigned occurrence[3];
    const char* record;
};
const FailurePoint kLoginFailures[] = {
    {"kivo_establish_creds", {1, 0, 0}, "kivo_establish_creds failed."},
    {"gss_import_name", {1, 1, 0}, "gss_import_name failed."},
    {"gss_create_empty_oid_set", {1, 1, 0}, "gss_create_empty_oid_set failed."},
    {"gss_add_oid_set_member", {1, 1, 0}, "gss_add_oid_set_member failed."},
    {"idup_acquire_cred_with_auth", {1, 1, 0}, "idup_acquire_cred_with_auth failed."},
    // The environment step, which writes no record of its own.
    {"gss_create_empty_oid_set", {2, 2, 1}, nullptr},
    {"gss_create_empty_oid_set", {3, 3, 2}, nullptr},
    {"gss_add_oid_set_member", {2, 2, 1}, nullptr},
    {"gss_add_oid_set_member", {5, 5, 4}, nullptr},
    {"prov_establish_env", {1, 1, 1}, nullptr},
};

// Every provider call of every form fails in turn: 10 with the provider's
// minor status and the step's record, then only clean-up, and nothing left
// held: a later form 3 login is taken down by releasing its environment.
TEST_F(SMIMEMessageLogin, EachFailingProviderCallGives10AndLeavesNothingHeld) {
    const std::size_t held = pd::outstanding();
    for (int form = 1; form <= 3; ++form) {
        for (std::size_t i = 0; i < std::size(kLoginFailures); ++i) {
            const FailurePoint& point = kLoginFailures[i];
            const unsigned occurrence = point.occurrence[form - 1];
            if (occurrence == 0) continue;
            SCOPED_TRACE("form " + std::to_string(form) + ", " + point.function + " #" + std::to_string(occurrence));
            restartRecord();
            const OM_uint32 planned = 0x4000 + static_cast<OM_uint32>(i);
            pd::failCall(point.function, GSS_S_FAILURE, planned, occurrence);
            SMIMEMessage object;
            TraceCapture capture;
            unsigned info = kUntouched, minor = kUntouched;
            EXPECT_EQ(loginWithForm(object, form, &info, &minor), SMIME_PROVIDER_FAILED);
            EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_PROVIDER_FAILED, planned));
            EXPECT_EQ(minor, planned);
            EXPECT_EQ(capture.texts(kError), point.record != nullptr ? Texts{point.record} : Texts{});
            if (form != 3) { EXPECT_EQ(info, point.record == nullptr ? kReportedInfo : 0u); }
            bool failed = false;
            for (const auto& call : pd::calls()) {
                if (failed) { EXPECT_TRUE(isRelease(call.name)) << call.name << " after the failure"; }
                failed = failed || call.arg("failed") == "yes";
            }
            EXPECT_TRUE(failed);
            EXPECT_EQ(pd::outstanding(), held) << testing::PrintToString(pd::outstandingObjects());

            ASSERT_EQ(object.login(credential_, &minor), SMIME_OK);
            restartRecord();
            EXPECT_EQ(object.logout(&minor), SMIME_OK);
            EXPECT_EQ(pd::callNames(), Texts{"prov_abolish_env"});
        }
    }
}

TEST_F(SMIMEMessageLogin, AllocationFailuresOfTheCredentialStepGive15WithTheirRecord) {
    int n = 0;
    for (const char* record : {"Storage allocation cred_usage failed.", "Storage allocation cred_usage->value failed.",
                               "Storage allocation principal failed.", "Storage allocation principal->value failed."}) {
        SCOPED_TRACE(record);
        SMIMEMessage object;
        TraceCapture capture;
        restartRecord();
        unsigned info = kUntouched, minor = kUntouched;
        failNthMalloc(++n);
        EXPECT_EQ(object.login(container_, "alice", &info, &minor), SMIME_NO_MEMORY);
        disarmMallocFailure();
        EXPECT_EQ(capture.texts(kError), Texts{record});
        EXPECT_TRUE(info == 0 && minor == 0);
        for (const auto& name : pd::callNames()) EXPECT_TRUE(isRelease(name)) << name;
    }
}

TEST_F(SMIMEMessageLogout, ASecondLoginGives18ThenLogoutReleasesOnceThenGives19) {
    const auto object = loggedIn();
    TraceCapture capture;
    unsigned info = kUntouched, minor = kUntouched;
    EXPECT_EQ(object->login("other.p12", "secret", "bob", &info, &minor), SMIME_ALREADY_LOGGED_IN);
    EXPECT_TRUE(info == 0 && minor == 0);
    EXPECT_EQ(object->login(nullptr, &minor), SMIME_NULL_PARAMETER) << "16 comes before 18";
    EXPECT_EQ(object->logout(nullptr), SMIME_NULL_PARAMETER);
    EXPECT_EQ(capture.texts(kError), (Texts{"already logged in", kNullParameter, kNullParameter}));
    EXPECT_EQ(pd::callNames(), Texts{});
    EXPECT_EQ(object->logout(&minor), SMIME_OK);
    expectCallsSince(0, kFullLogout);
    minor = kUntouched;
    EXPECT_EQ(object->logout(&minor), SMIME_NOT_LOGGED_IN);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(pd::calls().size(), 3u);
    EXPECT_EQ(statusOf(*object), Status(SMIME_INITIALIZED, SMIME_NOT_LOGGED_IN, 0));
}

// A failing release: every step still runs, the result is 10 with the minor
// status of the last failing step, and a failed environment step leaves the
// object logged in so that the next logout retries what is left.
TEST_F(SMIMEMessageLogout, AFailingReleaseGives10AndTheNextLogoutRetriesWhatIsLeft) {
    for (const bool containerFails : {false, true}) {
        SCOPED_TRACE(containerFails ? "environment and container" : "environment");
        const auto object = loggedIn();
        pd::failCall("prov_abolish_env", GSS_S_FAILURE, 0x71);
        if (containerFails) pd::failCall("prov_abolish_creds", GSS_S_FAILURE, 0x73);
        const unsigned lastMinor = containerFails ? 0x73 : 0x71;
        unsigned minor = kUntouched;
        EXPECT_EQ(object->logout(&minor), SMIME_PROVIDER_FAILED);
        EXPECT_EQ(minor, lastMinor);
        EXPECT_EQ(pd::callNames(), (Texts{"prov_abolish_env", "prov_release_cred", "prov_abolish_creds"}));
        EXPECT_EQ(statusOf(*object), Status(kLoggedIn, SMIME_PROVIDER_FAILED, lastMinor));

        EXPECT_EQ(object->logout(&minor), SMIME_OK);
        EXPECT_EQ(minor, 0u);
        expectCallsSince(3, containerFails ? Calls{kFullLogout[0], kFullLogout[2]} : Calls{kFullLogout[0]});
        EXPECT_EQ(statusOf(*object), Status(SMIME_INITIALIZED, 0, 0));
    }
}

TEST_F(SMIMEMessageLogout, DestructionReleasesTheMessageThenTheLoginInLogoutOrder) {
    auto object = loggedIn();
    ASSERT_EQ(setFromBytes(*object, "held message"), SMIME_OK);
    object.reset();
    expectCallsSince(0, Calls{{"prov_release_buffer", {{"length", "12"}, {"owner", "caller"}}}} + kFullLogout);
}

} // namespace
