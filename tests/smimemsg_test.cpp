// The message object over the real provider: status, message input and output, login and logout;
// and the trace records of the whole library, in one table.
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "provider_environment.h"
#include "provider_tap.h"
#include "random_bytes.h"
#include "smime_session.h"
#include "temp_dir.h"
#include "trace_capture.h"

namespace {

constexpr unsigned kUntouched = 0xA5A5A5A5u, kHeld = SMIME_INITIALIZED | SMIME_MESSAGE_SET;
const char kNull[] = "one of the parameter was NULL";
using Texts = std::vector<std::string>;
using Status = std::tuple<unsigned, unsigned, unsigned>;
using SMIMEMessageStatus = tap::Test;
using SMIMEMessageInput = tap::Test;
using SMIMEMessageLogin = tap::Test;
using LibraryTrace = tap::Test;

// Members that call no provider operation record their major status only: a failed login's minor stays.
TEST_F(SMIMEMessageStatus, ShowsThePublicFlagsAndTheLastRecordedOutcome) {
    SMIMEMessage object;
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, 0, 0));
    unsigned info = 0, minor = 0;
    ASSERT_EQ(object.login("/nonexistent/keys.p12", "", "alice", &info, &minor), SMIME_PROVIDER_FAILED);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_PROVIDER_FAILED, KIVO_R_KEYSTORE_UNREADABLE));
    setHeld(object, "Subject: hello\r\n\r\nbody");
    EXPECT_EQ(statusOf(object), Status(kHeld, SMIME_OK, KIVO_R_KEYSTORE_UNREADABLE));
    EXPECT_EQ(object.getMessageType(), messageUntyped);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_OK);
    EXPECT_EQ(object.freeMessage(&minor), SMIME_NO_MESSAGE);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED, SMIME_NO_MESSAGE, KIVO_R_KEYSTORE_UNREADABLE));
    EXPECT_EQ(object.getMessageType(), messageNone);
    // Its private flags (container 0x08, credential 0x10, last call failed 0x20) never show.
    loginWith(object, testpki::keyStoreFiles().aliceP12);
    setHeld(object, "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\nMIIB");
    const gss_buffer_desc again = {5, const_cast<char*>("again")};
    EXPECT_EQ(object.setMessage(&again, &minor), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(statusOf(object), Status(kHeld | SMIME_LOGGED_IN, SMIME_MESSAGE_ALREADY_SET, 0));
    EXPECT_EQ(object.getMessageType(), messageSignedData);
}

// Its parser cannot be made: it shows 0 and 15, checks arguments first, then refuses with 17.
TEST_F(SMIMEMessageStatus, AnObjectWhoseConstructionFailedRefusesWith17) {
    failNthNew(1);
    SMIMEMessage object;
    disarmMallocFailure();
    EXPECT_EQ(statusOf(object), Status(0, SMIME_NO_MEMORY, 0));
    gss_buffer_desc handle = {0, nullptr};
    unsigned info = kUntouched, minor = kUntouched;
    EXPECT_EQ(object.login(nullptr, "secret", "alice", &info, &minor), SMIME_NULL_PARAMETER);
    EXPECT_EQ(object.login("keys.p12", "secret", "alice", &info, &minor), SMIME_NOT_INITIALIZED);
    EXPECT_EQ(object.login(&handle, "alice", &info, &minor), SMIME_NOT_INITIALIZED);
    EXPECT_EQ(object.login(static_cast<const void*>(&handle), &minor), SMIME_NOT_INITIALIZED);
    EXPECT_EQ(object.sign(digestSHA256, &minor), SMIME_NOT_INITIALIZED);
    EXPECT_TRUE(info == 0 && minor == 0);
    EXPECT_EQ(object.logout(&minor), SMIME_NOT_LOGGED_IN);
    EXPECT_EQ(std::make_tuple(object.getMessageType(), tap::names()), std::make_tuple(messageNone, Texts{}));
}

// Set or constructed from a buffer, a stream or a file, around the 4096-byte read chunk;
// shorter after longer, so the output file is shown to be replaced exactly.
TEST_F(SMIMEMessageInput, KeepsEveryByteAndHandsTheSameBytesOutEveryWay) {
    std::string allValues;
    for (int value = 0; value < 256; ++value) allValues += static_cast<char>(value);
    std::vector<std::string> payloads = {allValues, std::string("a\0b\r\nc\0", 7)};
    for (const std::size_t size : {4095u, 4096u, 4097u, 8193u, 131073u})
        payloads.insert(payloads.begin(), randomBytes(size, static_cast<std::uint32_t>(size)));
    TempDir dir;
    const std::string file = dir.file("output");
    for (int source = 0; source < 6; ++source)
        for (const auto& payload : payloads) {
            SCOPED_TRACE("source " + std::to_string(source) + ", " + std::to_string(payload.size()) + " bytes");
            std::optional<SMIMEMessage> object;
            std::istringstream in(payload);
            const gss_buffer_desc buffer = viewOf(payload);
            const std::string input = source % 3 == 2 ? dir.write("input", payload) : "";
            unsigned minor = 0;
            if (source < 3) object.emplace();
            const unsigned status = source == 0 ? object->setMessage(&buffer, &minor) : source == 1 ? object->setMessage(&in, &minor)
                                  : source == 2 ? object->setMessage(input.c_str(), &minor) : source == 3 ? (object.emplace(&buffer), 0u)
                                  : source == 4 ? (object.emplace(&in), 0u) : (object.emplace(input.c_str()), 0u);
            EXPECT_EQ(std::make_tuple(status, statusOf(*object)), std::make_tuple(0u, Status(kHeld, SMIME_OK, 0)));
            std::ostringstream out;
            EXPECT_EQ(object->getMessage(&out, &minor) | object->writeMessageToFile(file.c_str()), SMIME_OK);
            EXPECT_TRUE(heldMessage(*object) == payload && out.str() == payload && TempDir::read(file) == payload) << "the bytes differ";
        }
}

// A message given or asked for one way or another: a file name to write to is an OutFile.
struct OutFile { const char* name; };
using Io = std::variant<const gss_buffer_desc*, std::istream*, const char*, gss_buffer_desc*, std::ostream*, OutFile>;
unsigned transfer(SMIMEMessage& m, const Io& io, unsigned& minor) {
    return std::visit([&](auto p) -> unsigned {
        using T = decltype(p);
        if constexpr (std::is_same_v<T, OutFile>) return m.writeMessageToFile(p.name);
        else if constexpr (std::is_same_v<T, gss_buffer_desc*> || std::is_same_v<T, std::ostream*>) return m.getMessage(p, &minor);
        else return m.setMessage(p, &minor);
    }, io);
}

// Input refused leaves nothing held; while a message is held 14 comes first; outputs are checked in order.
TEST_F(SMIMEMessageInput, RefusesUnusableSourcesAndOutputsAndHoldsNothingAfterwards) {
    TempDir dir;
    const std::string unreadable = dir.write("unreadable", "bytes"), empty = dir.write("empty", ""), none = dir.file("none");
    const std::string readOnly = dir.write("read-only", "old"), notCreated = dir.file("not-created"), noFolder = dir.file("none/out");
    const gss_buffer_desc zeroLength = {0, const_cast<char*>("bytes")}, noBytes = {5, nullptr};
    int marker = 0;
    gss_buffer_desc emptyOut = {0, nullptr}, pointerOnly = {0, &marker}, lengthOnly = {7, nullptr};
    std::istringstream emptyStream;
    std::ostream unwritable(nullptr); // every write sets its bad bit
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const std::string huge = dir.write("huge", "");
    std::filesystem::resize_file(huge, (1ull << 32) + 1); // sparse: refused before reading, or the test crawls
    std::vector<std::tuple<const char*, std::string, Io, unsigned>> cases = {
        {"null buffer", "", static_cast<const gss_buffer_desc*>(nullptr), SMIME_NULL_PARAMETER},
        {"buffer of length 0", "", &zeroLength, SMIME_NULL_PARAMETER},
        {"buffer without bytes", "", &noBytes, SMIME_NULL_PARAMETER},
        {"null stream", "", static_cast<std::istream*>(nullptr), SMIME_NULL_PARAMETER},
        {"empty stream", "", &emptyStream, SMIME_STREAM_ERROR},
        {"null file name", "", static_cast<const char*>(nullptr), SMIME_NULL_PARAMETER},
        {"missing file", "", none.c_str(), SMIME_FILE_NOT_FOUND},
        {"empty file", "", empty.c_str(), SMIME_FILE_ACCESS},
        {"a file over 4 GiB", "", huge.c_str(), SMIME_NO_MEMORY},
        {"null descriptor, no message", "", static_cast<gss_buffer_desc*>(nullptr), SMIME_NULL_PARAMETER},
        {"length 0 with a pointer, no message", "", &pointerOnly, SMIME_OUTPUT_NOT_EMPTY},
        {"a length without a pointer", "held", &lengthOnly, SMIME_OUTPUT_NOT_EMPTY},
        {"empty, no message", "", &emptyOut, SMIME_NO_MESSAGE},
        {"null output stream, no message", "", static_cast<std::ostream*>(nullptr), SMIME_NO_MESSAGE},
        {"null output stream", "held", static_cast<std::ostream*>(nullptr), SMIME_NULL_PARAMETER},
        {"a stream that cannot be written", "held", &unwritable, SMIME_STREAM_ERROR},
        {"null output name, no message", "", OutFile{nullptr}, SMIME_NULL_PARAMETER},
        {"output, no message", "", OutFile{notCreated.c_str()}, SMIME_NO_MESSAGE},
        {"output in a folder that does not exist", "held", OutFile{noFolder.c_str()}, SMIME_FILE_ACCESS},
    };
#if defined(_WIN32)
    cases.emplace_back("a read-only file", "new", OutFile{readOnly.c_str()}, SMIME_FILE_ACCESS);
#else
    // The owner-read bit is checked itself, so this holds for root as well.
    ASSERT_EQ(chmod(unreadable.c_str(), 0200), 0);
    cases.emplace_back("no owner-read bit", "", unreadable.c_str(), SMIME_FILE_ACCESS);
    // The bytes reach the device only when the file is closed.
    cases.emplace_back("a full device", "held", OutFile{"/dev/full"}, SMIME_STREAM_ERROR);
    // Root passes every write-permission check, so no file is read-only to it.
    if (geteuid() != 0) cases.emplace_back("a read-only file", "new", OutFile{readOnly.c_str()}, SMIME_FILE_ACCESS);
#endif
    for (const auto& [name, held, io, expected] : cases) {
        SCOPED_TRACE(name);
        SMIMEMessage object;
        if (!held.empty()) setHeld(object, held);
        unsigned minor = kUntouched;
        EXPECT_EQ(transfer(object, io, minor), expected);
        EXPECT_EQ(std::make_tuple(minor, statusOf(object)), std::make_tuple(kUntouched, Status(held.empty() ? SMIME_INITIALIZED : kHeld, expected, 0)));
        if (io.index() > 2) continue;
        setHeld(object, "first");
        EXPECT_EQ(transfer(object, io, minor), SMIME_MESSAGE_ALREADY_SET);
        EXPECT_EQ(heldMessage(object), "first");
    }
    EXPECT_FALSE(std::filesystem::exists(notCreated));
    EXPECT_EQ(TempDir::read(readOnly), "old");
    chmod(readOnly.c_str(), 0644); // Windows does not remove a read-only file with its folder
}

TEST_F(SMIMEMessageLogin, NullArgumentsGive16BeforeAnyProviderCall) {
    gss_buffer_desc handle = {0, nullptr};
    const int kArguments[] = {5, 4, 2}; // of forms 1, 2 and 3; the information word just before the minor
    for (int form = 1; form <= 3; ++form) {
        const int arguments = kArguments[form - 1];
        for (int nullArgument = 0; nullArgument < arguments; ++nullArgument) {
            SCOPED_TRACE("form " + std::to_string(form) + ", argument " + std::to_string(nullArgument + 1) + " null");
            SMIMEMessage object;
            unsigned info = kUntouched, minor = kUntouched;
            auto pick = [&](int position, auto value) { return position == nullArgument ? nullptr : value; };
            const unsigned status = form == 1 ? object.login(pick(0, "keys.p12"), pick(1, "secret"), pick(2, "alice"), pick(3, &info), pick(4, &minor))
                                  : form == 2 ? object.login(pick(0, &handle), pick(1, "alice"), pick(2, &info), pick(3, &minor))
                                              : object.login(pick(0, static_cast<const void*>(&handle)), pick(1, &minor));
            EXPECT_EQ(std::make_tuple(status, info, minor, tap::names(), statusOf(object)),
                      std::make_tuple(16u, form == 3 || nullArgument == arguments - 2 ? kUntouched : 0u, nullArgument == arguments - 1 ? kUntouched : 0u,
                                      Texts{}, Status(SMIME_INITIALIZED, SMIME_NULL_PARAMETER, 0)));
        }
    }
}

TEST_F(SMIMEMessageLogin, ASecondLoginGives18AndLogoutGives19OnceDone) {
    const ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12);
    SMIMEMessage object;
    unsigned info = kUntouched, minor = kUntouched;
    ASSERT_EQ(object.login(alice.credential(), &minor), SMIME_OK);
    EXPECT_EQ(statusOf(object), Status(SMIME_INITIALIZED | SMIME_LOGGED_IN, SMIME_OK, 0));
    EXPECT_EQ(object.login("keys.p12", testpki::KeyStoreFiles::kPassword, "", &info, &minor), SMIME_ALREADY_LOGGED_IN);
    EXPECT_TRUE(info == 0 && minor == 0);
    EXPECT_EQ(object.login(static_cast<const void*>(nullptr), &minor), SMIME_NULL_PARAMETER) << "16 comes before 18";
    EXPECT_EQ(object.logout(nullptr), SMIME_NULL_PARAMETER);
    EXPECT_EQ(object.logout(&minor), SMIME_OK);
    minor = kUntouched;
    EXPECT_EQ(object.logout(&minor), SMIME_NOT_LOGGED_IN);
    EXPECT_EQ(std::make_tuple(minor, statusOf(object)), std::make_tuple(0u, Status(SMIME_INITIALIZED, SMIME_NOT_LOGGED_IN, 0)));
}

// --- trace records: made before the capture starts, so that only a row's own records count.
struct Scene {
    SMIMEMessage message;
    smimeGenerator generator;
    smimeParser parser;
    ProviderEnvironment alice{testpki::keyStoreFiles().aliceP12};
    unsigned info = 0, minor = 0;
};
struct TraceCase {
    const char* name;
    void (*act)(Scene&);
    std::optional<Texts> entries; // every entry record, in order (nullopt: not looked at)
    Texts records;                // the progress and error records that start with prefix
    const char* file;             // of the first record
    const char* prefix = "";
};
// Runs a codec over input and frees what it made.
enum class Codec { Encode, Decode, Printable };
void encoded(const std::string& input, Codec codec = Codec::Encode) {
    gss_buffer_desc in = viewOf(input), out = {0, nullptr};
    (void)(codec == Codec::Encode ? sbase64().encode(&in, &out) : codec == Codec::Decode ? sbase64().decode(&in, &out) : sprintable::decode(&in, &out));
    std::free(out.value);
}
const gss_buffer_desc kPidu = {3, const_cast<char*>("abc")};
const std::string kHeaders = "A: 1\r\nB: 2\r\n 2b\r\nC: 3\r\n\r\nbody";
const char* const kParse = "smimeParser::getPKCS7Object() ";

const TraceCase kTraceCases[] = {
    {"base64 codec", [](Scene&) {
         unsigned char out[8];
         sbase64 codec;
         codec.b64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, out, sizeof out), codec.b64Decode("YWJj", 4, out, sizeof out);
         encoded("abc"), encoded("not base64!", Codec::Decode);
     }, Texts{"sbase64::sbase64()", "sbase64::b64encode()", "sbase64::b64Decode()", "sbase64::sbase64()", "sbase64::encode()",
              "sbase64::~sbase64()", "sbase64::sbase64()", "sbase64::decode()", "sbase64::~sbase64()", "sbase64::~sbase64()"}, {}, "src/sbase64"},
    {"base64 out of memory", [](Scene&) {
         { const MallocFailure failure(1); encoded("abc"); }
         const MallocFailure failure(1);
         encoded("QUJD", Codec::Decode);
     }, std::nullopt, {"sbase64::encode() could not alloc storage for output.", "sbase64::decode() could not alloc storage for output."}, "src/sbase64"},
    // Only the first four write a record.
    {"printable decoding refused", [](Scene&) { for (const char* in : {"abc=", "=4G", "a\rb", "abc\r", "a\nb", "a\x01", "caf\xE9"}) encoded(in, Codec::Printable); },
     std::nullopt, Texts(4, "sprintable::decode: Invalide encoded message!"), "src/sprintable"},
    {"printable out of memory", [](Scene&) { const MallocFailure failure(1); encoded("abc", Codec::Printable); },
     std::nullopt, {"sprintable::decode: Error accumulating stream data!"}, "src/sprintable"},
    {"generator: insert, insert again, free", [](Scene& s) { s.generator.insertEnvelopedData(&kPidu), s.generator.insertSignedData(&kPidu), s.generator.freeMessage(); },
     Texts{"smimeGenerator::insertEnvelopedData()", "smimeGenerator::CreateNativeMessage()", "sbase64::encode()",
           "smimeGenerator::insertSignedData()", "smimeGenerator::CreateNativeMessage()", "smimeGenerator::freeMessage()"},
     {"smimeGenerator::CreateNativeMessage(): base64-encoding PIDU", "smimeGenerator::CreateNativeMessage():  data is already present",
      "smimeGenerator:freeMessage:  release gss_buffer "}, "src/sgen"},
    {"generator without a token", [](Scene& s) {
         const gss_buffer_desc noValue = {3, nullptr};
         s.generator.insertEnvelopedData(nullptr), s.generator.insertEnvelopedData(&noValue);
     }, std::nullopt, {"smimeGenerator::CreateNativeMessage():  pidu buffer is NULL",
                       "smimeGenerator::CreateNativeMessage():  pidu buffer points to NULL"}, "src/sgen"},
    {"generator destroyed holding a message", [](Scene&) { smimeGenerator().insertSignedData(&kPidu); },
     std::nullopt, {"smimeGenerator:  release gss_buffer "}, "src/sbase64", "smimeGenerator:  "},
    {"parser scanning headers", [](Scene& s) {
         gss_buffer_desc buffer = viewOf(kHeaders);
         s.parser.setMessage(&buffer), s.parser.getMessageType();
     }, Texts{"smimeParser::setMessage()", "smimeParser::getMessageType()", "SMimeStream::getMimeInfo"},
     Texts(3, "SMimeStream::getMimeInfo() examining header line..."), "src/sparse"},
    {"parser taking a clear-signed message apart", [](Scene& s) {
         const gss_buffer_desc token = {5, const_cast<char*>("token")};
         gss_buffer_desc built = {0, nullptr}, object = {0, nullptr}, content = {0, nullptr};
         s.generator.insertMultipartAndSignedData(digestSHA1, &token, &token), s.generator.getMessageReference(&built);
         s.parser.setMessage(&built), s.parser.getPKCS7Object(&object, &content);
         for (void* bytes : {built.value, object.value, content.value}) std::free(bytes);
     }, std::nullopt, {std::string(kParse) + "instantiating the SMimeStream...", std::string(kParse) + "parsing MIME info...",
                       std::string(kParse) + "parsing clearsigned message...", std::string(kParse) + "extracting clear-text part...",
                       std::string(kParse) + "extracting signature token...", std::string(kParse) + "extracting MIME info for sig token...",
                       std::string(kParse) + "payload extracted...", std::string(kParse) + "decoding base64..."}, "src/sgen", "smimeParser::"},
    {"message members", [](Scene& s) {
         s.message.getStatus(nullptr, nullptr), s.message.freeMessage(&s.minor), s.message.setMessage("/nonexistent/message", &s.minor);
         s.message.writeMessageToFile(nullptr), s.message.login(nullptr, "", "", &s.info, &s.minor), s.message.logout(&s.minor);
         s.message.login(s.alice.credential(), &s.minor), s.message.login(s.alice.credential(), &s.minor), s.message.logout(&s.minor);
     }, Texts{"SMIMEMessage::getStatus()", "SMIMEMessage::freeMessage()", "setMessage", "SMIMEMessage::writeMessageToFile()",
              "SMIMEMessage::login()", "SMIMEMessage::logout()", "SMIMEMessage::login()", "SMIMEMessage::login()", "SMIMEMessage::logout()"},
     {kNull, kNull, "already logged in"}, "src/smimemsg"},
    // The library's own allocations of a container login, before any provider call.
    {"credential step out of memory", [](Scene& s) {
         for (int n = 1; n <= 4; ++n) {
             const MallocFailure failure(n);
             s.message.login(s.alice.container(), "alice@example.com", &s.info, &s.minor);
         }
     }, std::nullopt, {"Storage allocation cred_usage failed.", "Storage allocation cred_usage->value failed.",
                       "Storage allocation principal failed.", "Storage allocation principal->value failed."}, "src/smimemsg"},
    {"operations refused", [](Scene& s) {
         gss_buffer_desc used = {1, nullptr};
         VerifyRecord record;
         s.message.sign(digestSHA256, &s.minor), s.message.signSignatureOnly(digestSHA256, &s.minor);
         s.message.encrypt(strengthDefault, nullptr, &s.minor), s.message.login(s.alice.credential(), &s.minor), s.message.decrypt(&s.minor);
         setHeld(s.message, "text");
         s.message.verify(&used, nullptr, &s.minor), s.message.verify(&used, &record.info, &s.minor), s.message.logout(&s.minor);
     }, Texts{"SMIMEMessage::sign()", "SMIMEMessage::sign()", "SMIMEMessage::encrypt()", "SMIMEMessage::login()", "SMIMEMessage::decrypt()",
              "setMessage", "smimeParser::setMessage()", "SMIMEMessage::verify()", "SMIMEMessage::verify()", "SMIMEMessage::logout()"},
     {"not logged in", "not logged in", kNull, "message is not set", kNull, "output buffer has not been initialized"}, "src/smimemsg_cry"},
};

// Entry records name the member and where it is; all are component 0x400.
TEST_F(LibraryTrace, RecordsNameTheirMembersAndSayWhatWentWrong) {
    for (const auto& c : kTraceCases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        TraceCapture capture(0x400);
        c.act(scene);
        const auto records = capture.records();
        Texts entries, texts;
        for (const auto& record : records) {
            EXPECT_EQ(record.component, 0x400u);
            if (record.level == VekTrace::kLevelEntry) entries.push_back(record.text);
            if (record.level == VekTrace::kLevelInfo && record.text.rfind(c.prefix, 0) == 0) texts.push_back(record.text);
        }
        EXPECT_EQ(std::make_tuple(c.entries.value_or(entries), capture.texts(VekTrace::kLevelExit).size(), texts, records.empty() ? "" : records.front().file),
                  std::make_tuple(entries, entries.size(), c.records, std::string(c.file)));
    }
}

} // namespace
