// The message object: its status and state flags, its trace records, message
// input and output, and login and logout against the test provider.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
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

// --- an operator new that can be made to fail ---------------------------------
//
// The object makes its parser, generator, utility and mutex with new, and the
// file streams allocate with it; failing the n-th call reaches both. Blocks
// come from the real malloc so that they never count against MallocFailure.

extern "C" void* __real_malloc(std::size_t size);

namespace {

std::atomic<int> g_newCountdown{0};
std::atomic<int> g_newCalls{0};

void* allocateOrNull(std::size_t size) noexcept {
    g_newCalls.fetch_add(1, std::memory_order_relaxed);
    int remaining = g_newCountdown.load(std::memory_order_relaxed);
    while (remaining > 0)
        if (g_newCountdown.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed)) {
            if (remaining == 1) return nullptr;
            break;
        }
    return __real_malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    void* block = allocateOrNull(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

// The n-th operator new from now fails while this lives.
class NewFailure {
public:
    explicit NewFailure(int n) {
        g_newCalls.store(0, std::memory_order_relaxed);
        g_newCountdown.store(n, std::memory_order_relaxed);
    }
    ~NewFailure() { g_newCountdown.store(0, std::memory_order_relaxed); }
    NewFailure(const NewFailure&) = delete;
    NewFailure& operator=(const NewFailure&) = delete;
    static int callsSinceArmed() { return g_newCalls.load(std::memory_order_relaxed); }
};

} // namespace

// Every form is replaced, so that no allocation ever meets a foreign delete.
void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

constexpr unsigned kEntry = VekTrace::kLevelEntry;
constexpr unsigned kExit = VekTrace::kLevelExit;
constexpr unsigned kError = VekTrace::kLevelInfo;
constexpr unsigned kHeld = SMIME_INITIALIZED | SMIME_MESSAGE_SET;
constexpr unsigned kLoggedIn = SMIME_INITIALIZED | SMIME_LOGGED_IN;
constexpr OM_uint32 kReportedInfo = KIVO_CRED_CAN_SIGN | KIVO_CRED_CERT_VALID_NOW;
constexpr unsigned kUntouched = 0xA5A5A5A5u;
const char kNullParameter[] = "one of the parameter was NULL";
using Texts = std::vector<std::string>;

struct Status {
    unsigned flags, major, minor;
    bool operator==(const Status& o) const { return flags == o.flags && major == o.major && minor == o.minor; }
};
std::ostream& operator<<(std::ostream& out, const Status& s) {
    return out << "{flags 0x" << std::hex << s.flags << std::dec << ", major " << s.major << ", minor 0x" << std::hex
               << s.minor << std::dec << "}";
}

Status statusOf(SMIMEMessage& object) {
    Status s{0, kUntouched, kUntouched};
    s.flags = object.getStatus(&s.major, &s.minor);
    return s;
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

enum class Source { Buffer, Stream, File };
struct SourceCase {
    const char* name;
    Source source;
};
const SourceCase kSources[] = {{"buffer", Source::Buffer}, {"stream", Source::Stream}, {"file", Source::File}};

unsigned setFrom(SMIMEMessage& object, Source source, const std::string& bytes, const TempDir& dir) {
    unsigned minor = 0;
    switch (source) {
    case Source::Buffer:
        return setFromBytes(object, bytes);
    case Source::Stream: {
        std::istringstream in(bytes);
        return object.setMessage(&in, &minor);
    }
    case Source::File:
        return object.setMessage(dir.write("input", bytes).c_str(), &minor);
    }
    return ~0u;
}

std::string joined(const Texts& items) {
    std::string text;
    for (const auto& item : items) text += item + " ";
    return text;
}

Texts namesSince(std::size_t mark) {
    const Texts all = pd::callNames();
    return Texts(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
}

bool isRelease(const std::string& name) {
    return name.rfind("prov_release", 0) == 0 || name.rfind("prov_free", 0) == 0 || name.rfind("prov_abolish", 0) == 0;
}

struct ExpectedCall {
    std::string name;
    std::vector<std::pair<std::string, std::string>> args;
};
using Calls = std::vector<ExpectedCall>;

Calls operator+(Calls first, const Calls& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The calls recorded since mark: exactly these names, with these arguments.
void expectCallsSince(std::size_t mark, const Calls& expected) {
    const std::vector<pd::Call> all = pd::calls();
    const std::vector<pd::Call> calls(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    Texts names, expectedNames;
    for (const auto& call : calls) names.push_back(call.name);
    for (const auto& call : expected) expectedNames.push_back(call.name);
    ASSERT_EQ(names, expectedNames);
    for (std::size_t i = 0; i < calls.size(); ++i)
        for (const auto& [key, value] : expected[i].args)
            EXPECT_EQ(calls[i].arg(key), value) << "call " << i << ", " << calls[i].name << " " << key;
}

// The records of the object's own module. The parser and the generator trace
// too; exit records carry no file, so they are matched to this module's
// entry labels.
struct OwnRecords {
    Texts entries, exits, errors;
};
OwnRecords ownRecords(const TraceCapture& capture) {
    OwnRecords own;
    const auto records = capture.records();
    for (const auto& record : records) {
        if (record.file != "src/smimemsg") continue;
        EXPECT_EQ(record.component, 0x400u);
        (record.level == kEntry ? own.entries : own.errors).push_back(record.text);
    }
    for (const auto& record : records)
        if (record.level == kExit && std::count(own.entries.begin(), own.entries.end(), record.text) != 0)
            own.exits.push_back(record.text);
    return own;
}

// The logout of a form 1 login, the first of the test: environment,
// credential and container, in this order.
const Calls kFullLogout = {{"prov_abolish_env", {{"env", "env#1"}}},
                           {"prov_release_cred", {{"cred", "cred#1"}}},
                           {"prov_abolish_creds", {{"container", "container#1"}}}};

// A string as an application hands it to the provider: the NUL counted.
gss_buffer_desc stringBuffer(const char* text) {
    return {static_cast<OM_uint32>(std::strlen(text) + 1), const_cast<char*>(text)};
}

// A clean record before, and nothing left with the provider after that was
// not there before. The caller's own container and credential (login forms 2
// and 3) are made on demand and released before that check.
class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        restartRecord();
        baseline_ = pd::outstanding();
    }
    void TearDown() override {
        releaseCallerObjects();
        EXPECT_EQ(pd::outstanding(), baseline_) << "not released: " << joined(pd::outstandingObjects());
    }

    static void restartRecord() {
        pd::reset();
        pd::setCredentialInfo(kReportedInfo);
    }

    gss_buffer_desc* callerContainer() {
        if (container_ != nullptr) return container_;
        OM_uint32 minor = 0;
        gss_buffer_desc location = stringBuffer("caller.p12");
        gss_buffer_desc password = stringBuffer("");
        EXPECT_EQ(kivo_establish_creds(nullptr, &location, &password, KIVOGetOID(KIVO_OID_NAME_TYPE), &minor,
                                       &container_),
                  GSS_S_COMPLETE);
        return container_;
    }

    void* callerCredential() {
        if (credential_ != nullptr) return credential_;
        gss_buffer_desc* container = callerContainer();
        OM_uint32 minor = 0;
        gss_buffer_desc principal = stringBuffer("alice");
        gss_name_t name = nullptr;
        EXPECT_EQ(gss_import_name(&minor, &principal, KIVOGetOID(KIVO_OID_NAME_TYPE), &name), GSS_S_COMPLETE);
        EXPECT_EQ(idup_acquire_cred_with_auth(name, container, GSS_C_INDEFINITE, nullptr, nullptr, &minor,
                                              &credential_, nullptr, nullptr, nullptr),
                  GSS_S_COMPLETE);
        prov_release_name(&minor, &name);
        return credential_;
    }

    void releaseCallerObjects() {
        OM_uint32 minor = 0;
        EXPECT_EQ(prov_release_cred(&minor, &credential_), GSS_S_COMPLETE);
        EXPECT_EQ(prov_abolish_creds(&container_, &minor), GSS_S_COMPLETE);
    }

    unsigned loginWithForm(SMIMEMessage& object, int form, unsigned* info, unsigned* minor) {
        if (form == 1) return object.login("keystore.p12", "secret", "alice", info, minor);
        if (form == 2) return object.login(callerContainer(), "alice", info, minor);
        return object.login(callerCredential(), minor);
    }

    std::size_t baseline_ = 0;

private:
    gss_buffer_desc* container_ = nullptr;
    void* credential_ = nullptr;
};

// An object logged in through form 1, the record restarted so that a test
// sees only its own calls; its objects keep the labels container#1, cred#1
// and env#1.
class LoggedInMessage : public MessageTest {
protected:
    void SetUp() override {
        MessageTest::SetUp();
        object = std::make_unique<SMIMEMessage>();
        unsigned info = 0;
        unsigned minor = 0;
        ASSERT_EQ(object->login("keystore.p12", "secret", "alice", &info, &minor), SMIME_OK);
        restartRecord();
    }
    void TearDown() override {
        object.reset();
        MessageTest::TearDown();
    }

    std::unique_ptr<SMIMEMessage> object;
};

using SMIMEMessageStatus = MessageTest;
using SMIMEMessageTrace = MessageTest;
using SMIMEMessageConstruct = MessageTest;
using SMIMEMessageFree = MessageTest;
using SMIMEMessageInput = MessageTest;
using SMIMEMessageOutput = MessageTest;
using SMIMEMessageLogin = MessageTest;
using SMIMEMessageLogout = LoggedInMessage;
using SMIMEMessageDestroy = LoggedInMessage;

// --- status ------------------------------------------------------------------------

// Only 0x01, 0x02 and 0x04 show; the outcome shows as the last recorded
// major status. Members that call no provider operation record their major
// status only, so the minor status of a failed login stays recorded.
TEST_F(SMIMEMessageStatus, ShowsThePublicFlagsAndTheLastRecordedOutcome) {
    SMIMEMessage object;
    EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, 0, 0}));
    pd::failCall("kivo_establish_creds", GSS_S_FAILURE, KIVO_R_KEYSTORE_UNREADABLE);
    unsigned info = 0;
    unsigned minor = 0;
    ASSERT_EQ(object.login("missing.p12", "", "alice", &info, &minor), SMIME_PROVIDER_FAILED);
    constexpr unsigned kLoginMinor = KIVO_R_KEYSTORE_UNREADABLE;
    EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_PROVIDER_FAILED, kLoginMinor}));
    EXPECT_EQ(setFromBytes(object, "held"), SMIME_OK);
    EXPECT_EQ(statusOf(object), (Status{kHeld, SMIME_OK, kLoginMinor}));
    EXPECT_EQ(setFromBytes(object, "again"), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(statusOf(object), (Status{kHeld, SMIME_MESSAGE_ALREADY_SET, kLoginMinor}));
    unsigned major = kUntouched;
    minor = kUntouched;
    EXPECT_EQ(object.getStatus(&major, nullptr), kHeld);
    EXPECT_EQ(object.getStatus(nullptr, &minor), kHeld);
    EXPECT_EQ(major, SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(minor, kLoginMinor);
    EXPECT_EQ(object.getMessageType(), messageUntyped);
    EXPECT_EQ(statusOf(object).major, SMIME_MESSAGE_ALREADY_SET) << "getStatus and getMessageType record nothing";
    EXPECT_EQ(object.freeMessage(&minor), SMIME_OK);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_NO_MESSAGE);
    EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_NO_MESSAGE, kLoginMinor}));

    // Logged in through form 1 the object also holds its container and
    // credential (0x08, 0x10), and the last call failed (0x20): none shows.
    ASSERT_EQ(object.login("keystore.p12", "secret", "alice", &info, &minor), SMIME_OK);
    ASSERT_EQ(setFromBytes(object, "held"), SMIME_OK);
    EXPECT_EQ(setFromBytes(object, "again"), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(statusOf(object), (Status{kHeld | SMIME_LOGGED_IN, SMIME_MESSAGE_ALREADY_SET, 0}));
}

// --- trace records -------------------------------------------------------------------

TEST_F(SMIMEMessageTrace, EachMemberWritesItsOwnLabelAndTexts) {
    TempDir dir;
    unsigned minor = 0;
    unsigned info = 0;
    const std::string bytes = "x";
    const gss_buffer_desc buffer = viewOf(bytes);
    gss_buffer_desc out = {0, nullptr};
    std::istringstream in("abc");
    std::ostringstream stream;
    struct Case {
        const char* name;
        std::function<void(SMIMEMessage&)> call;
        Texts labels;
        Texts errors;
    };
    const Case cases[] = {
        {"getStatus", [&](SMIMEMessage& m) { m.getStatus(&minor, &minor); }, {"SMIMEMessage::getStatus()"}, {}},
        {"getStatus with null pointers", [](SMIMEMessage& m) { m.getStatus(nullptr, nullptr); },
         {"SMIMEMessage::getStatus()"}, {kNullParameter}},
        {"freeMessage", [&](SMIMEMessage& m) { m.freeMessage(&minor); }, {"SMIMEMessage::freeMessage()"}, {}},
        {"setMessage from a buffer", [&](SMIMEMessage& m) { m.setMessage(&buffer, &minor); }, {"setMessage"}, {}},
        {"setMessage from a missing file", [&](SMIMEMessage& m) { m.setMessage(dir.file("none").c_str(), &minor); },
         {"setMessage"}, {}},
        {"setMessage from a stream", [&](SMIMEMessage& m) { m.setMessage(&in, &minor); }, {}, {}},
        {"getMessage to a buffer", [&](SMIMEMessage& m) { m.getMessage(&out, &minor); }, {}, {}},
        {"getMessage to a stream", [&](SMIMEMessage& m) { m.getMessage(&stream, &minor); }, {}, {}},
        {"getMessageType", [](SMIMEMessage& m) { m.getMessageType(); }, {}, {}},
        {"login with a null pointer", [&](SMIMEMessage& m) { m.login(nullptr, "secret", "alice", &info, &minor); },
         {"SMIMEMessage::login()"}, {kNullParameter}},
        {"logout while logged out", [&](SMIMEMessage& m) { m.logout(&minor); }, {"SMIMEMessage::logout()"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage object;
        TraceCapture capture;
        c.call(object);
        const OwnRecords own = ownRecords(capture);
        EXPECT_EQ(own.entries, c.labels);
        EXPECT_EQ(own.exits, c.labels);
        EXPECT_EQ(own.errors, c.errors);
    }
}

TEST_F(SMIMEMessageTrace, TheDestructorFreesAndLogsOutThroughThePublicMembers) {
    TraceCapture capture;
    { SMIMEMessage object; }
    const OwnRecords own = ownRecords(capture);
    const std::string destructorLabel = "smimeMessage:~smimeMessage()";
    const std::string freeLabel = "SMIMEMessage::freeMessage()";
    const std::string logoutLabel = "SMIMEMessage::logout()";
    EXPECT_EQ(own.entries, (Texts{destructorLabel, freeLabel, logoutLabel}));
    EXPECT_EQ(own.exits, (Texts{freeLabel, logoutLabel, destructorLabel}));
    EXPECT_EQ(own.errors, Texts{});
    EXPECT_EQ(pd::callNames(), Texts{}) << "a fresh object has nothing to release";
}

// --- construction ----------------------------------------------------------------------

TEST_F(SMIMEMessageConstruct, ConstructorsTakingAMessageReportThroughGetStatus) {
    TempDir dir;
    const std::string bytes("a\0b", 3);
    const gss_buffer_desc buffer = viewOf(bytes);
    const gss_buffer_desc empty = {0, const_cast<char*>(bytes.data())};
    const std::string file = dir.write("message", bytes);
    const std::string emptyFile = dir.write("empty", "");
    std::istringstream stream(bytes);
    std::istringstream emptyStream;
    using Make = std::function<std::unique_ptr<SMIMEMessage>()>;
    struct Case {
        const char* name;
        Make make;
        unsigned major;
    };
    const Case cases[] = {
        {"buffer", [&] { return std::make_unique<SMIMEMessage>(&buffer); }, SMIME_OK},
        {"null buffer", [] { return std::make_unique<SMIMEMessage>(static_cast<const gss_buffer_desc*>(nullptr)); },
         SMIME_NULL_PARAMETER},
        {"empty buffer", [&] { return std::make_unique<SMIMEMessage>(&empty); }, SMIME_NULL_PARAMETER},
        {"stream", [&] { return std::make_unique<SMIMEMessage>(&stream); }, SMIME_OK},
        {"empty stream", [&] { return std::make_unique<SMIMEMessage>(&emptyStream); }, SMIME_STREAM_ERROR},
        {"file", [&] { return std::make_unique<SMIMEMessage>(file.c_str()); }, SMIME_OK},
        {"missing file", [&] { return std::make_unique<SMIMEMessage>(dir.file("none").c_str()); },
         SMIME_FILE_NOT_FOUND},
        {"empty file", [&] { return std::make_unique<SMIMEMessage>(emptyFile.c_str()); }, SMIME_FILE_ACCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto object = c.make();
        EXPECT_EQ(statusOf(*object), (Status{c.major == SMIME_OK ? kHeld : SMIME_INITIALIZED, c.major, 0}));
        if (c.major == SMIME_OK) {
            EXPECT_EQ(heldMessage(*object), bytes);
        }
    }
}

// Each owned object in turn cannot be made: the object shows 0 and 15,
// refuses to log in with 17 (after the null check), and still goes cleanly.
TEST_F(SMIMEMessageConstruct, AFailedConstructionLeavesAnObjectThatRefusesLogin) {
    int failedConstructions = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("operator new " + std::to_string(n));
        std::optional<SMIMEMessage> object;
        {
            NewFailure failure(n);
            object.emplace();
        }
        const bool reached = NewFailure::callsSinceArmed() >= n;
        const Status status = statusOf(*object);
        if (!reached) {
            EXPECT_EQ(status, (Status{SMIME_INITIALIZED, 0, 0}));
            break;
        }
        if (status.flags == SMIME_INITIALIZED) continue; // an inner allocation the owned object copes with
        ++failedConstructions;
        EXPECT_EQ(status, (Status{0, SMIME_NO_MEMORY, 0}));
        TraceCapture capture;
        unsigned info = kUntouched;
        unsigned minor = kUntouched;
        EXPECT_EQ(object->login(nullptr, "secret", "alice", &info, &minor), SMIME_NULL_PARAMETER);
        for (int form = 1; form <= 3; ++form)
            EXPECT_EQ(loginWithForm(*object, form, &info, &minor), SMIME_NOT_INITIALIZED) << "form " << form;
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(capture.texts(kError), (Texts{kNullParameter, "not initialized", "not initialized",
                                                "not initialized"}));
        EXPECT_EQ(statusOf(*object), (Status{0, SMIME_NOT_INITIALIZED, 0}));
        EXPECT_EQ(object->logout(&minor), SMIME_NOT_LOGGED_IN);
        EXPECT_EQ(object->getMessageType(), messageNone);
    }
    EXPECT_GE(failedConstructions, 4) << "parser, generator, utility and mutex";
}

// --- freeMessage -----------------------------------------------------------------------

TEST_F(SMIMEMessageFree, ReleasesThroughTheProviderOnceThenGives21) {
    SMIMEMessage object;
    unsigned minor = kUntouched;
    EXPECT_EQ(object.freeMessage(&minor), SMIME_NO_MESSAGE);
    EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_NO_MESSAGE, 0}));

    ASSERT_EQ(setFromBytes(object, "twelve bytes"), SMIME_OK);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_OK);
    expectCallsSince(0, {{"prov_release_buffer", {{"length", "12"}, {"owner", "caller"}}}});
    EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_OK, 0}));
    EXPECT_EQ(object.freeMessage(&minor), SMIME_NO_MESSAGE);
    EXPECT_EQ(minor, kUntouched);
    EXPECT_EQ(pd::callNames().size(), 1u);
    EXPECT_EQ(setFromBytes(object, "next"), SMIME_OK);
    EXPECT_EQ(heldMessage(object), "next");
}

// --- message input -------------------------------------------------------------------

TEST_F(SMIMEMessageInput, KeepsEveryByteAndHandsTheSameBytesOutEveryWay) {
    std::string allValues;
    for (int value = 0; value < 256; ++value) allValues += static_cast<char>(value);
    const std::string payloads[] = {std::string("a\0b\0\0c\0", 7), allValues, "a\r\nb\nc\rd\r\n\r\n", "x",
                                    randomBytes(70000, 7)};
    TempDir dir;
    // One output file throughout: it is created by the first write, and the
    // shorter payloads after longer ones show that it is replaced exactly.
    const std::string file = dir.file("output");
    for (const auto& source : kSources) {
        for (std::size_t i = 0; i < std::size(payloads); ++i) {
            SCOPED_TRACE(std::string(source.name) + ", payload " + std::to_string(i));
            SMIMEMessage object;
            ASSERT_EQ(setFrom(object, source.source, payloads[i], dir), SMIME_OK);
            EXPECT_EQ(heldMessage(object), payloads[i]);
            std::ostringstream out;
            unsigned minor = 0;
            EXPECT_EQ(object.getMessage(&out, &minor), SMIME_OK);
            EXPECT_EQ(out.str(), payloads[i]);
            EXPECT_EQ(object.writeMessageToFile(file.c_str()), SMIME_OK);
            EXPECT_EQ(TempDir::read(file), payloads[i]);
        }
    }
}

TEST_F(SMIMEMessageInput, ReadsAStreamWholeAcrossChunkEdgesFromWhereItStands) {
    for (const std::size_t size : {4095u, 4096u, 4097u, 8192u, 8193u, 131073u}) {
        SCOPED_TRACE(size);
        const std::string bytes = randomBytes(size, static_cast<std::uint32_t>(size));
        std::istringstream in(bytes);
        SMIMEMessage object;
        unsigned minor = 0;
        ASSERT_EQ(object.setMessage(&in, &minor), SMIME_OK);
        EXPECT_EQ(heldMessage(object), bytes);
        EXPECT_TRUE(in.eof()) << "the caller's stream is left at its end";
    }
    std::istringstream in("skipped|rest");
    in.ignore(8);
    SMIMEMessage object;
    unsigned minor = 0;
    ASSERT_EQ(object.setMessage(&in, &minor), SMIME_OK);
    EXPECT_EQ(heldMessage(object), "rest") << "not rewound";
}

// Hands out its bytes, then breaks like a failing device: the next read
// throws, which the stream turns into its bad state.
class BreakingBuffer : public std::streambuf {
public:
    explicit BreakingBuffer(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }

protected:
    int_type underflow() override { throw std::runtime_error("device failed"); }

private:
    std::string bytes_;
};

TEST_F(SMIMEMessageInput, KeepsWhatAStreamDeliveredBeforeItFailed) {
    const std::string bytes = randomBytes(8192, 5);
    BreakingBuffer device(bytes);
    std::istream in(&device);
    SMIMEMessage object;
    unsigned minor = 0;
    EXPECT_EQ(object.setMessage(&in, &minor), SMIME_OK);
    EXPECT_TRUE(in.bad());
    EXPECT_EQ(heldMessage(object), bytes);
}

TEST_F(SMIMEMessageInput, RefusesUnusableSourcesAndHoldsNothingAfterwards) {
    TempDir dir;
    // The owner-read bit is checked itself, so this holds for root as well.
    const std::string unreadable = dir.write("unreadable", "bytes");
    ASSERT_EQ(chmod(unreadable.c_str(), 0200), 0);
    const std::string empty = dir.write("empty", "");
    const std::string folder = dir.file("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string bytes = "bytes";
    const gss_buffer_desc zeroLength = {0, const_cast<char*>(bytes.data())};
    const gss_buffer_desc noBytes = {5, nullptr};
    std::istringstream emptyStream, atEnd("abc"), failed("abc");
    atEnd.ignore(10);
    failed.setstate(std::ios::failbit);
    using Set = std::function<unsigned(SMIMEMessage&, unsigned*)>;
    auto fromFile = [](const std::string& name) -> Set {
        return [name](SMIMEMessage& m, unsigned* n) { return m.setMessage(name.c_str(), n); };
    };
    auto fromStream = [](std::istream* in) -> Set {
        return [in](SMIMEMessage& m, unsigned* n) { return m.setMessage(in, n); };
    };
    struct Case {
        const char* name;
        Set set;
        unsigned expected;
    };
    const Case cases[] = {
        {"null buffer",
         [](SMIMEMessage& m, unsigned* n) { return m.setMessage(static_cast<gss_buffer_desc*>(nullptr), n); },
         SMIME_NULL_PARAMETER},
        {"buffer of length 0", [&](SMIMEMessage& m, unsigned* n) { return m.setMessage(&zeroLength, n); },
         SMIME_NULL_PARAMETER},
        {"buffer without bytes", [&](SMIMEMessage& m, unsigned* n) { return m.setMessage(&noBytes, n); },
         SMIME_NULL_PARAMETER},
        {"null stream", fromStream(nullptr), SMIME_NULL_PARAMETER},
        {"empty stream", fromStream(&emptyStream), SMIME_STREAM_ERROR},
        {"stream at its end", fromStream(&atEnd), SMIME_STREAM_ERROR},
        {"stream already failed", fromStream(&failed), SMIME_STREAM_ERROR},
        {"null file name", [](SMIMEMessage& m, unsigned* n) { return m.setMessage(static_cast<char*>(nullptr), n); },
         SMIME_NULL_PARAMETER},
        {"missing file", fromFile(dir.file("none")), SMIME_FILE_NOT_FOUND},
        {"file without the owner-read bit", fromFile(unreadable), SMIME_FILE_ACCESS},
        {"empty file", fromFile(empty), SMIME_FILE_ACCESS},
        {"a directory", fromFile(folder), SMIME_FILE_ACCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage object;
        unsigned minor = kUntouched;
        EXPECT_EQ(c.set(object, &minor), c.expected);
        EXPECT_EQ(minor, kUntouched);
        EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, c.expected, 0}));
        EXPECT_EQ(setFromBytes(object, "next"), SMIME_OK) << "no message was left behind";
    }
}

TEST_F(SMIMEMessageInput, RefusesWhileHoldingBeforeLookingAtTheArgument) {
    TempDir dir;
    SMIMEMessage object;
    ASSERT_EQ(setFromBytes(object, "first"), SMIME_OK);
    unsigned minor = 0;
    EXPECT_EQ(object.setMessage(static_cast<const gss_buffer_desc*>(nullptr), &minor), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(object.setMessage(static_cast<std::istream*>(nullptr), &minor), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(object.setMessage(static_cast<const char*>(nullptr), &minor), SMIME_MESSAGE_ALREADY_SET);
    for (const auto& source : kSources)
        EXPECT_EQ(setFrom(object, source.source, "second", dir), SMIME_MESSAGE_ALREADY_SET) << source.name;
    EXPECT_EQ(heldMessage(object), "first");
}

// The copy of the message cannot be allocated: 15, with nothing held after
// setMessage and an empty descriptor after getMessage.
TEST_F(SMIMEMessageInput, AnAllocationFailureOfTheCopyGives15) {
    TempDir dir;
    const std::string bytes = randomBytes(5000, 11);
    unsigned status;
    for (const auto& source : kSources) {
        SCOPED_TRACE(source.name);
        SMIMEMessage object;
        {
            MallocFailure failure(1);
            status = setFrom(object, source.source, bytes, dir);
        }
        EXPECT_EQ(status, SMIME_NO_MEMORY);
        EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_NO_MEMORY, 0}));
    }
    SMIMEMessage object;
    ASSERT_EQ(setFromBytes(object, bytes), SMIME_OK);
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    {
        MallocFailure failure(1);
        status = object.getMessage(&copy, &minor);
    }
    EXPECT_EQ(status, SMIME_NO_MEMORY);
    EXPECT_EQ(copy.value, nullptr);
    EXPECT_EQ(copy.length, 0u);
    EXPECT_EQ(heldMessage(object), bytes);
}

TEST_F(SMIMEMessageInput, GetMessageTypeClassifiesEachNewMessage) {
    struct Case {
        std::string message;
        messageType_t type;
    };
    const Case cases[] = {
        {"Content-Type: application/pkcs7-mime; smime-type=enveloped-data\r\n\r\nMIIB", messageEnvelopedData},
        {"Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\nMIIB", messageSignedData},
        {"Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n"
         "--b\r\nx\r\n--b--\r\n",
         messageClearSigned},
        {"Content-Type: text/plain\r\n\r\nhi", messageUnknown},
        {"Subject: hello\r\n\r\nbody", messageUntyped},
    };
    TempDir dir;
    SMIMEMessage object; // one object throughout: a new message is classified anew
    EXPECT_EQ(object.getMessageType(), messageNone);
    for (const auto& source : kSources) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(source.name) + ": " + c.message);
            ASSERT_EQ(setFrom(object, source.source, c.message, dir), SMIME_OK);
            EXPECT_EQ(object.getMessageType(), c.type);
            unsigned minor = 0;
            ASSERT_EQ(object.freeMessage(&minor), SMIME_OK);
            EXPECT_EQ(object.getMessageType(), messageNone);
        }
    }
}

// --- message output --------------------------------------------------------------------

TEST_F(SMIMEMessageOutput, GetMessageToABufferChecksItsArgumentInOrder) {
    int marker = 0;
    struct Case {
        const char* name;
        bool held;
        bool nullDescriptor;
        gss_buffer_desc descriptor;
        unsigned expected;
    };
    const Case cases[] = {
        {"null descriptor", true, true, {0, nullptr}, SMIME_NULL_PARAMETER},
        {"null descriptor, no message", false, true, {0, nullptr}, SMIME_NULL_PARAMETER},
        {"length 0 with a pointer", true, false, {0, &marker}, SMIME_OUTPUT_NOT_EMPTY},
        {"length 0 with a pointer, no message", false, false, {0, &marker}, SMIME_OUTPUT_NOT_EMPTY},
        {"a length without a pointer", true, false, {7, nullptr}, SMIME_OUTPUT_NOT_EMPTY},
        {"empty, no message", false, false, {0, nullptr}, SMIME_NO_MESSAGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage object;
        if (c.held) {
            ASSERT_EQ(setFromBytes(object, "held"), SMIME_OK);
        }
        gss_buffer_desc descriptor = c.descriptor;
        unsigned minor = kUntouched;
        EXPECT_EQ(object.getMessage(c.nullDescriptor ? nullptr : &descriptor, &minor), c.expected);
        EXPECT_EQ(descriptor.length, c.descriptor.length);
        EXPECT_EQ(descriptor.value, c.descriptor.value);
        EXPECT_EQ(minor, kUntouched);
        EXPECT_EQ(statusOf(object), (Status{c.held ? kHeld : SMIME_INITIALIZED, c.expected, 0}));
    }
}

TEST_F(SMIMEMessageOutput, TakesInAndHandsOutIndependentCopies) {
    std::string bytes = "message";
    SMIMEMessage object;
    ASSERT_EQ(setFromBytes(object, bytes), SMIME_OK);
    bytes.assign("changed");
    gss_buffer_desc first = {0, nullptr};
    gss_buffer_desc second = {0, nullptr};
    unsigned minor = 0;
    ASSERT_EQ(object.getMessage(&first, &minor), SMIME_OK);
    ASSERT_EQ(object.getMessage(&second, &minor), SMIME_OK);
    ASSERT_NE(first.value, second.value);
    std::memset(first.value, 'X', first.length);
    std::free(first.value);
    EXPECT_EQ(take(second), "message");
    EXPECT_EQ(heldMessage(object), "message");
}

TEST_F(SMIMEMessageOutput, GetMessageToAStreamChecksItsArgumentInOrder) {
    std::ostream broken(nullptr); // every write sets its bad bit
    std::ostringstream failed;
    failed.setstate(std::ios::badbit);
    struct Case {
        const char* name;
        bool held;
        std::ostream* stream;
        unsigned expected;
    };
    const Case cases[] = {
        {"null stream, no message", false, nullptr, SMIME_NO_MESSAGE},
        {"null stream", true, nullptr, SMIME_NULL_PARAMETER},
        {"a stream that cannot be written", true, &broken, SMIME_STREAM_ERROR},
        {"a stream that cannot be written, no message", false, &broken, SMIME_NO_MESSAGE},
        {"a stream already bad", true, &failed, SMIME_STREAM_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage object;
        if (c.held) {
            ASSERT_EQ(setFromBytes(object, "held"), SMIME_OK);
        }
        unsigned minor = kUntouched;
        EXPECT_EQ(object.getMessage(c.stream, &minor), c.expected);
        EXPECT_EQ(minor, kUntouched);
        EXPECT_EQ(statusOf(object), (Status{c.held ? kHeld : SMIME_INITIALIZED, c.expected, 0}));
    }
}

TEST_F(SMIMEMessageOutput, WriteMessageToFileRefusesWhatItCannotWrite) {
    TempDir dir;
    const std::string folder = dir.file("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    struct Case {
        const char* name;
        std::string message; // none when empty
        std::optional<std::string> file;
        unsigned expected;
    };
    const Case cases[] = {
        {"null name", "held", std::nullopt, SMIME_NULL_PARAMETER},
        {"null name, no message", "", std::nullopt, SMIME_NULL_PARAMETER},
        {"no message", "", dir.file("not-created"), SMIME_NO_MESSAGE},
        {"in a folder that does not exist", "held", dir.file("none/out"), SMIME_FILE_ACCESS},
        {"a directory", "held", folder, SMIME_FILE_ACCESS},
        // Too big for the file stream's buffer: the write reaches the device,
        // which reports a full disk.
        {"a full device", randomBytes(1 << 20, 3), std::string("/dev/full"), SMIME_STREAM_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage object;
        if (!c.message.empty()) {
            ASSERT_EQ(setFromBytes(object, c.message), SMIME_OK);
        }
        EXPECT_EQ(object.writeMessageToFile(c.file ? c.file->c_str() : nullptr), c.expected);
        EXPECT_EQ(statusOf(object).major, c.expected);
    }
    EXPECT_NE(access(dir.file("not-created").c_str(), F_OK), 0);
}

TEST_F(SMIMEMessageOutput, WriteMessageToFileRefusesAReadOnlyFileAndLeavesIt) {
    if (geteuid() == 0) GTEST_SKIP() << "root passes every write-permission check, so no file is read-only to it";
    TempDir dir;
    const std::string file = dir.write("read-only", "old");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    SMIMEMessage object;
    ASSERT_EQ(setFromBytes(object, "new"), SMIME_OK);
    EXPECT_EQ(object.writeMessageToFile(file.c_str()), SMIME_FILE_ACCESS);
    EXPECT_EQ(TempDir::read(file), "old");
}

// The file streams allocate with new; running out there must end as 15 (or
// 13 for a write that failed) and leave the object as it was, never let
// std::bad_alloc out of the member.
TEST_F(SMIMEMessageOutput, FileStreamsRunningOutOfMemoryEndAsStatuses) {
    TempDir dir;
    const std::string bytes = randomBytes(3000, 4);
    const std::string input = dir.write("input", bytes);
    const std::string output = dir.file("output");
    for (const bool writing : {false, true}) {
        int failures = 0;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(writing ? "writeMessageToFile" : "setMessage") + ", operator new " +
                         std::to_string(n));
            SMIMEMessage object;
            if (writing) {
                ASSERT_EQ(setFromBytes(object, bytes), SMIME_OK);
            }
            unsigned minor = 0;
            unsigned status;
            {
                NewFailure failure(n);
                status = writing ? object.writeMessageToFile(output.c_str()) : object.setMessage(input.c_str(), &minor);
            }
            if (NewFailure::callsSinceArmed() < n) {
                EXPECT_EQ(status, SMIME_OK);
                break;
            }
            if (status == SMIME_OK || (writing && status == SMIME_STREAM_ERROR)) continue;
            ++failures;
            EXPECT_EQ(status, SMIME_NO_MEMORY);
            EXPECT_EQ(statusOf(object).flags, writing ? kHeld : SMIME_INITIALIZED);
        }
        EXPECT_GE(failures, 1);
    }
}

// --- login -------------------------------------------------------------------------------

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

TEST_F(SMIMEMessageLogin, Form1MakesContainerCredentialAndEnvironmentAndLogoutReleasesAllThree) {
    struct Case {
        const char* strings[3]; // location, password, principal
        const char* buffers[3]; // as the provider sees them
    };
    const Case cases[] = {
        {{"keystore.p12", "secret", "alice"},
         {R"({13,"keystore.p12\x00"})", R"({7,"secret\x00"})", R"({6,"alice\x00"})"}},
        {{"abc", "", ""}, {R"({4,"abc\x00"})", R"({1,"\x00"})", R"({1,"\x00"})"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buffers[0]);
        restartRecord();
        SMIMEMessage object;
        TraceCapture capture;
        unsigned info = kUntouched;
        unsigned minor = kUntouched;
        ASSERT_EQ(object.login(c.strings[0], c.strings[1], c.strings[2], &info, &minor), SMIME_OK);
        EXPECT_EQ(info, kReportedInfo);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(statusOf(object), (Status{kLoggedIn, 0, 0}));
        EXPECT_EQ(capture.texts(kError), Texts{});
        const Calls container = {{"kivo_establish_creds",
                                  {{"reserved", "null"}, {"location", c.buffers[0]}, {"password", c.buffers[1]},
                                   {"name_type", "oid#1"}, {"container", "container#1"}}}};
        expectCallsSince(0, container + credentialCalls("container#1", c.buffers[2]) + environmentCalls("cred#1", 3));
        EXPECT_EQ(pd::outstanding(), baseline_ + 3) << joined(pd::outstandingObjects());

        const std::size_t mark = pd::calls().size();
        EXPECT_EQ(object.logout(&minor), SMIME_OK);
        expectCallsSince(mark, kFullLogout);
        EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, 0, 0}));
    }
}

TEST_F(SMIMEMessageLogin, Form2UsesTheCallersContainerAndNeverAbolishesIt) {
    gss_buffer_desc* const container = callerContainer();
    SMIMEMessage object;
    const std::size_t mark = pd::calls().size();
    unsigned info = kUntouched;
    unsigned minor = kUntouched;
    ASSERT_EQ(object.login(container, "bob", &info, &minor), SMIME_OK);
    EXPECT_EQ(info, kReportedInfo);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(statusOf(object), (Status{kLoggedIn, 0, 0}));
    expectCallsSince(mark, credentialCalls("container#1", R"({4,"bob\x00"})") + environmentCalls("cred#1", 3));

    releaseCallerObjects(); // not kept by the object: the caller may take it down at once
    const std::size_t logoutMark = pd::calls().size();
    EXPECT_EQ(object.logout(&minor), SMIME_OK);
    expectCallsSince(logoutMark, Calls(kFullLogout.begin(), kFullLogout.end() - 1));
}

TEST_F(SMIMEMessageLogin, Form3UsesTheCallersCredentialAndNeverReleasesIt) {
    void* const credential = callerCredential(); // cred#1
    SMIMEMessage object;
    std::size_t mark = pd::calls().size();
    unsigned minor = kUntouched;
    ASSERT_EQ(object.login(credential, &minor), SMIME_OK);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(statusOf(object), (Status{kLoggedIn, 0, 0}));
    expectCallsSince(mark, environmentCalls("cred#1", 1));

    mark = pd::calls().size();
    EXPECT_EQ(object.logout(&minor), SMIME_OK);
    expectCallsSince(mark, {{"prov_abolish_env", {{"env", "env#1"}}}});
    EXPECT_EQ(pd::outstanding(), baseline_ + 2) << "the caller's container and credential remain";
}

TEST_F(SMIMEMessageLogin, NullArgumentsGive16BeforeAnyProviderCall) {
    struct Case {
        int form;
        int nullArgument, infoArgument, minorArgument; // positions; -1 for none
    };
    std::vector<Case> cases;
    for (int position = 0; position < 5; ++position) cases.push_back({1, position, 3, 4});
    for (int position = 0; position < 4; ++position) cases.push_back({2, position, 2, 3});
    for (int position = 0; position < 2; ++position) cases.push_back({3, position, -1, 1});
    gss_buffer_desc* const container = callerContainer();
    const void* const credential = callerCredential();
    for (const auto& c : cases) {
        SCOPED_TRACE("form " + std::to_string(c.form) + ", argument " + std::to_string(c.nullArgument + 1) + " null");
        SMIMEMessage object;
        TraceCapture capture;
        const std::size_t mark = pd::calls().size();
        unsigned info = kUntouched;
        unsigned minor = kUntouched;
        auto pick = [&](int position, auto value) { return position == c.nullArgument ? nullptr : value; };
        const unsigned status =
            c.form == 1   ? object.login(pick(0, "keystore.p12"), pick(1, "secret"), pick(2, "alice"), pick(3, &info),
                                         pick(4, &minor))
            : c.form == 2 ? object.login(pick(0, container), pick(1, "alice"), pick(2, &info), pick(3, &minor))
                          : object.login(pick(0, credential), pick(1, &minor));
        EXPECT_EQ(status, SMIME_NULL_PARAMETER);
        EXPECT_EQ(info, c.infoArgument < 0 || c.nullArgument == c.infoArgument ? kUntouched : 0u);
        EXPECT_EQ(minor, c.nullArgument == c.minorArgument ? kUntouched : 0u);
        EXPECT_EQ(capture.texts(kError), Texts{kNullParameter});
        EXPECT_EQ(namesSince(mark), Texts{});
        EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_NULL_PARAMETER, 0}));
    }
}

TEST_F(SMIMEMessageLogout, ASecondLoginGives18AndChangesNothing) {
    TraceCapture capture;
    unsigned info = kUntouched;
    unsigned minor = kUntouched;
    EXPECT_EQ(object->login("other.p12", "secret", "bob", &info, &minor), SMIME_ALREADY_LOGGED_IN);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(object->login(nullptr, &minor), SMIME_NULL_PARAMETER) << "16 comes before 18";
    EXPECT_EQ(capture.texts(kError), (Texts{"already logged in", kNullParameter}));
    EXPECT_EQ(pd::callNames(), Texts{});
    EXPECT_EQ(object->logout(&minor), SMIME_OK);
    expectCallsSince(0, kFullLogout);
}

// Where a login can fail: the step, the provider function, which of its calls
// within the step, and the record the failure writes.
enum class Step { Container, Credential, Environment };
struct FailurePoint {
    Step step;
    const char* function;
    unsigned occurrence;
    const char* record;
};
const FailurePoint kLoginFailures[] = {
    {Step::Container, "kivo_establish_creds", 1, "kivo_establish_creds failed."},
    {Step::Credential, "gss_import_name", 1, "gss_import_name failed."},
    {Step::Credential, "gss_create_empty_oid_set", 1, "gss_create_empty_oid_set failed."},
    {Step::Credential, "gss_add_oid_set_member", 1, "gss_add_oid_set_member failed."},
    {Step::Credential, "idup_acquire_cred_with_auth", 1, "idup_acquire_cred_with_auth failed."},
    {Step::Environment, "gss_create_empty_oid_set", 1, nullptr},
    {Step::Environment, "gss_create_empty_oid_set", 2, nullptr},
    {Step::Environment, "gss_add_oid_set_member", 1, nullptr},
    {Step::Environment, "gss_add_oid_set_member", 4, nullptr},
    {Step::Environment, "prov_establish_env", 1, nullptr},
};

// Every provider call of every form fails in turn: 10 with the provider's
// minor status, the step's record, nothing after the failure but clean-up,
// and nothing left held, so that a later login with the caller's credential
// is taken down by releasing its environment alone.
TEST_F(SMIMEMessageLogin, EachFailingProviderCallGives10AndLeavesNothingHeld) {
    for (int form = 1; form <= 3; ++form) {
        for (std::size_t i = 0; i < std::size(kLoginFailures); ++i) {
            const FailurePoint& point = kLoginFailures[i];
            if ((form >= 2 && point.step == Step::Container) || (form == 3 && point.step == Step::Credential)) continue;
            const std::string function = point.function;
            const bool setCall = function == "gss_create_empty_oid_set" || function == "gss_add_oid_set_member";
            // The credential step has made and filled an OID set before.
            const unsigned occurrence = point.occurrence + (form != 3 && point.step == Step::Environment && setCall);
            SCOPED_TRACE("form " + std::to_string(form) + ", " + function + " #" + std::to_string(occurrence));
            restartRecord();
            void* const credential = callerCredential();
            const std::size_t held = pd::outstanding();
            const OM_uint32 planned = 0x4000 + static_cast<OM_uint32>(i);
            SMIMEMessage object;
            pd::failCall(function, GSS_S_FAILURE, planned, occurrence);
            const std::size_t mark = pd::calls().size();
            TraceCapture capture;
            unsigned info = kUntouched;
            unsigned minor = kUntouched;
            EXPECT_EQ(loginWithForm(object, form, &info, &minor), SMIME_PROVIDER_FAILED);
            EXPECT_EQ(minor, planned);
            EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_PROVIDER_FAILED, planned}));
            EXPECT_EQ(capture.texts(kError), point.record != nullptr ? Texts{point.record} : Texts{});
            if (form != 3) {
                EXPECT_EQ(info, point.step == Step::Environment ? kReportedInfo : 0u);
            }
            const std::vector<pd::Call> all = pd::calls();
            const auto failed = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end(),
                                             [](const pd::Call& call) { return call.arg("failed") == "yes"; });
            ASSERT_NE(failed, all.end());
            EXPECT_EQ(failed->name, function);
            for (auto after = failed + 1; after != all.end(); ++after)
                EXPECT_TRUE(isRelease(after->name)) << after->name << " after the failure";
            EXPECT_EQ(pd::outstanding(), held) << joined(pd::outstandingObjects());

            ASSERT_EQ(object.login(credential, &minor), SMIME_OK);
            const std::size_t logoutMark = pd::calls().size();
            EXPECT_EQ(object.logout(&minor), SMIME_OK);
            EXPECT_EQ(namesSince(logoutMark), Texts{"prov_abolish_env"});
        }
    }
}

TEST_F(SMIMEMessageLogin, AllocationFailuresOfTheCredentialStepGive15WithTheirRecord) {
    const char* const records[] = {"Storage allocation cred_usage failed.",
                                   "Storage allocation cred_usage->value failed.",
                                   "Storage allocation principal failed.",
                                   "Storage allocation principal->value failed."};
    gss_buffer_desc* const container = callerContainer();
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(records[n - 1]);
        SMIMEMessage object;
        TraceCapture capture;
        const std::size_t mark = pd::calls().size();
        unsigned info = kUntouched;
        unsigned minor = kUntouched;
        unsigned status;
        {
            MallocFailure failure(n);
            status = object.login(container, "alice", &info, &minor);
        }
        EXPECT_EQ(status, SMIME_NO_MEMORY);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(capture.texts(kError), Texts{records[n - 1]});
        for (const auto& name : namesSince(mark)) EXPECT_TRUE(isRelease(name)) << name;
        EXPECT_EQ(statusOf(object), (Status{SMIME_INITIALIZED, SMIME_NO_MEMORY, 0}));
    }
}

// --- logout ----------------------------------------------------------------------------

TEST_F(SMIMEMessageLogout, ReleasesOnceThenGives19) {
    unsigned minor = kUntouched;
    EXPECT_EQ(object->logout(&minor), SMIME_OK);
    expectCallsSince(0, kFullLogout);
    minor = kUntouched;
    EXPECT_EQ(object->logout(&minor), SMIME_NOT_LOGGED_IN);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(pd::calls().size(), 3u);
    EXPECT_EQ(statusOf(*object), (Status{SMIME_INITIALIZED, SMIME_NOT_LOGGED_IN, 0}));
}

TEST_F(SMIMEMessageLogout, WithoutAMinorStatusWordGives16AndReleasesNothing) {
    EXPECT_EQ(object->logout(nullptr), SMIME_NULL_PARAMETER);
    EXPECT_EQ(pd::callNames(), Texts{});
    EXPECT_EQ(statusOf(*object), (Status{kLoggedIn, SMIME_NULL_PARAMETER, 0}));
}

// A failing release: every step still runs, the result is 10 with the minor
// status of the last failing step, and a failed environment step leaves the
// object logged in so that the next logout retries what is left.
TEST_F(SMIMEMessageLogout, AFailingReleaseGives10AndTheNextLogoutRetriesWhatIsLeft) {
    struct Case {
        const char* name;
        bool containerFails;
        OM_uint32 minor;
        Texts retried;
    };
    const Case cases[] = {
        {"environment", false, 0x71, {"prov_abolish_env"}},
        {"environment and container", true, 0x73, {"prov_abolish_env", "prov_abolish_creds"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned info = 0;
        unsigned minor = kUntouched;
        if (object == nullptr) {
            object = std::make_unique<SMIMEMessage>();
            ASSERT_EQ(object->login("keystore.p12", "secret", "alice", &info, &minor), SMIME_OK);
        }
        restartRecord();
        pd::failCall("prov_abolish_env", GSS_S_FAILURE, 0x71);
        if (c.containerFails) pd::failCall("prov_abolish_creds", GSS_S_FAILURE, 0x73);
        EXPECT_EQ(object->logout(&minor), SMIME_PROVIDER_FAILED);
        EXPECT_EQ(minor, c.minor);
        EXPECT_EQ(pd::callNames(), (Texts{"prov_abolish_env", "prov_release_cred", "prov_abolish_creds"}));
        EXPECT_EQ(statusOf(*object), (Status{kLoggedIn, SMIME_PROVIDER_FAILED, c.minor}));

        EXPECT_EQ(object->logout(&minor), SMIME_OK);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(namesSince(3), c.retried);
        EXPECT_EQ(statusOf(*object), (Status{SMIME_INITIALIZED, 0, 0}));
        EXPECT_EQ(pd::outstanding(), baseline_) << joined(pd::outstandingObjects());
        object.reset();
    }
}

// --- destruction ---------------------------------------------------------------------

TEST_F(SMIMEMessageDestroy, ReleasesTheMessageThenTheLoginInLogoutOrder) {
    ASSERT_EQ(setFromBytes(*object, "held message"), SMIME_OK);
    object.reset();
    expectCallsSince(0, Calls{{"prov_release_buffer", {{"length", "12"}, {"owner", "caller"}}}} + kFullLogout);
    EXPECT_EQ(pd::outstanding(), baseline_);
}

} // namespace
