// The message object's protection operations: sign, clear-sign and encrypt
// the held message, verify and decrypt it, each in its three output forms,
// with the test provider standing in for the cryptography. Expected bytes are
// built here from the generated layouts and the provider's token formats.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "gss_buffers.h"
#include "provider_double.h"
#include "random_bytes.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace pd = provider_double;

namespace {

// What a minor status word holds before a call, so that zeroing shows.
constexpr unsigned kStaleMinor = 0xA5A5A5A5u;
constexpr unsigned kTraceComponent = 0x400;
constexpr char kOwnTraceFile[] = "src/smimemsg_cry";
constexpr unsigned kReady = SMIME_INITIALIZED | SMIME_MESSAGE_SET | SMIME_LOGGED_IN;

// --- expected bytes ------------------------------------------------------------

const std::string kSignedHeader =
    "Content-Type: application/pkcs7-mime;\r\n   smime-type=signed-data;\r\n   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
const std::string kEnvelopedHeader =
    "Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;\r\n   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
const std::string kSignatureHeader =
    "Content-Type: application/pkcs7-signature;name=smime.p7s\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;filename=smime.p7s\r\n\r\n";

const std::string kText = "Content-Type: text/plain\r\n\r\nTo be protected.\r\n";

// RFC 4648 base64 in 72-character lines separated by LF, none after the last.
std::string mimeBase64(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            text += k <= bytes.size() - i ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    std::string lines;
    for (std::size_t at = 0; at < text.size(); at += 72) lines += (at != 0 ? "\n" : "") + text.substr(at, 72);
    return lines;
}

std::string hexWord(OM_uint32 value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// The test provider's tokens, as its header describes them.
std::string signedToken(OM_uint32 digest, const std::string& content) {
    return "signed-data(digest=" + hexWord(digest) + ")\n" + content;
}

std::string envelopedToken(OM_uint32 strength, OM_uint32 recipients, const std::string& content) {
    std::string token =
        "enveloped-data(strength=" + std::to_string(strength) + ",recipients=" + std::to_string(recipients) + ")\n";
    for (const char byte : content) token += static_cast<char>(static_cast<unsigned char>(byte) ^ 0x5A);
    return token;
}

std::string signatureToken(OM_uint32 digest, const std::string& content) {
    std::uint32_t hash = 0x811C9DC5u; // 32-bit FNV-1a
    for (const char byte : content) hash = (hash ^ static_cast<unsigned char>(byte)) * 0x01000193u;
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%08x", static_cast<unsigned>(hash));
    return "signature(digest=" + hexWord(digest) + ",length=" + std::to_string(content.size()) +
           ",checksum=" + checksum + ")";
}

std::string signedMessage(OM_uint32 digest, const std::string& content) {
    return kSignedHeader + mimeBase64(signedToken(digest, content));
}

std::string envelopedMessage(OM_uint32 strength, OM_uint32 recipients, const std::string& content) {
    return kEnvelopedHeader + mimeBase64(envelopedToken(strength, recipients, content));
}

std::string clearSignedMessage(const std::string& micalg, const std::string& boundary, const std::string& content,
                               const std::string& signature) {
    return "Content-Type: multipart/signed;\r\n protocol=\"application/pkcs7-signature\";\r\n micalg=" + micalg +
           "; boundary=" + boundary + "\r\n\r\n--" + boundary + "\r\n" + content + "\r\n--" + boundary + "\r\n" +
           kSignatureHeader + mimeBase64(signature) + "\r\n\r\n--" + boundary + "--\r\n";
}

std::string loneSignature(const std::string& signature) { return kSignatureHeader + mimeBase64(signature); }

// The boundary a clear-signed message declares in its header; "" for none.
std::string boundaryOf(const std::string& message) {
    static const std::regex kDeclared("\r\n micalg=[^;\r\n]*; boundary=(boundary[A-P]{3})\r\n\r\n");
    const std::string header = message.substr(0, 200);
    std::smatch found;
    return std::regex_search(header, found, kDeclared) ? found[1].str() : std::string();
}

// Bytes as the provider's call record shows them.
std::string described(const std::string& bytes) {
    const gss_buffer_desc view = viewOf(bytes);
    return pd::describeBuffer(&view);
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += item + " ";
    return text;
}

// --- calling the operations ------------------------------------------------------

enum class Op { Sign, SignatureOnly, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };

struct OpInfo {
    const char* name;
    const char* traceLabel;
    bool protects;
};

const OpInfo& infoOf(Op op) {
    static const OpInfo kInfo[] = {
        {"sign", "SMIMEMessage::sign()", true},
        {"signSignatureOnly", "SMIMEMessage::sign()", true},
        {"encrypt", "SMIMEMessage::encrypt()", true},
        {"verify", "SMIMEMessage::verify()", false},
        {"decrypt", "SMIMEMessage::decrypt()", false},
    };
    return kInfo[static_cast<int>(op)];
}

const char* nameOf(Form form) {
    static const char* const kNames[] = {"into a buffer", "to a stream", "in place"};
    return kNames[static_cast<int>(form)];
}

constexpr Op kOps[] = {Op::Sign, Op::SignatureOnly, Op::Encrypt, Op::Verify, Op::Decrypt};
constexpr Form kForms[] = {Form::Buffer, Form::Stream, Form::InPlace};

std::string scenario(const std::string& name, Form form) { return name + " " + nameOf(form); }

// Two recipients, one PEM and one DER; the statuses show that the record
// reached the provider.
struct Recipients {
    std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    std::string der = std::string("\x30\x82\x01\x0a\x00", 5);
    gss_buffer_desc certificates[2] = {viewOf(pem), viewOf(der)};
    OM_uint32 statuses[2] = {99, 99};
    IDUP_Target_Info_desc targets = {2, certificates, statuses};

    Recipients() = default;
    Recipients(const Recipients&) = delete;
    Recipients& operator=(const Recipients&) = delete;
};

// The caller's verification record; gives back what the provider put in it.
struct VerifyRecord {
    IDUP_PIDU_Information_desc info{};

    explicit VerifyRecord(OM_uint32 flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN) { info.verify_flags = flags; }
    ~VerifyRecord() {
        OM_uint32 minor = 0;
        if (info.signer_subject.value != nullptr) prov_release_buffer(&minor, &info.signer_subject);
        if (info.signer_certificate.value != nullptr) prov_release_buffer(&minor, &info.signer_certificate);
    }
    VerifyRecord(const VerifyRecord&) = delete;
    VerifyRecord& operator=(const VerifyRecord&) = delete;

    std::string signer() const {
        const gss_buffer_desc& subject = info.signer_subject;
        return subject.value == nullptr ? "" : std::string(static_cast<const char*>(subject.value), subject.length);
    }
};

struct Arguments {
    digestAlgorithm_t digest = digestSHA256;
    encryptionAlgorithmStrength_t strength = strengthAES128;
    IDUP_Target_Info_desc* targets = nullptr;
    IDUP_PIDU_Information_desc* info = nullptr;
    gss_buffer_desc* output = nullptr;
    std::ostream* stream = nullptr;
    unsigned* minor = nullptr;
};

unsigned invoke(SMIMEMessage& message, Op op, Form form, const Arguments& a) {
    const bool toBuffer = form == Form::Buffer;
    const bool toStream = form == Form::Stream;
    switch (op) {
    case Op::Sign:
        return toBuffer   ? message.sign(a.digest, a.output, a.minor)
               : toStream ? message.sign(a.digest, a.stream, a.minor)
                          : message.sign(a.digest, a.minor);
    case Op::SignatureOnly:
        return toBuffer   ? message.signSignatureOnly(a.digest, a.output, a.minor)
               : toStream ? message.signSignatureOnly(a.digest, a.stream, a.minor)
                          : message.signSignatureOnly(a.digest, a.minor);
    case Op::Encrypt:
        return toBuffer   ? message.encrypt(a.strength, a.targets, a.output, a.minor)
               : toStream ? message.encrypt(a.strength, a.targets, a.stream, a.minor)
                          : message.encrypt(a.strength, a.targets, a.minor);
    case Op::Verify:
        return toBuffer   ? message.verify(a.output, a.info, a.minor)
               : toStream ? message.verify(a.stream, a.info, a.minor)
                          : message.verify(a.info, a.minor);
    case Op::Decrypt:
        return toBuffer ? message.decrypt(a.output, a.minor)
                        : toStream ? message.decrypt(a.stream, a.minor) : message.decrypt(a.minor);
    }
    return ~0u;
}

// What one call with sound arguments gave.
struct Outcome {
    unsigned status = ~0u;
    unsigned minor = kStaleMinor;
    bool delivered = false; // the buffer came back filled, or the stream was written to
    std::string bytes;
};

struct Request {
    digestAlgorithm_t digest = digestSHA256;
    encryptionAlgorithmStrength_t strength = strengthAES128;
    Recipients* recipients = nullptr; // a fresh pair when null
    VerifyRecord* record = nullptr;   // a fresh record asking for 0x3 when null
};

Outcome perform(SMIMEMessage& message, Op op, Form form, Request request = {}) {
    Recipients ownRecipients;
    VerifyRecord ownRecord;
    gss_buffer_desc output = {0, nullptr};
    std::ostringstream stream;
    Outcome outcome;
    Arguments a;
    a.digest = request.digest;
    a.strength = request.strength;
    a.targets = &(request.recipients != nullptr ? *request.recipients : ownRecipients).targets;
    a.info = &(request.record != nullptr ? *request.record : ownRecord).info;
    a.output = &output;
    a.stream = &stream;
    a.minor = &outcome.minor;
    outcome.status = invoke(message, op, form, a);
    outcome.delivered = output.length != 0 || output.value != nullptr || !stream.str().empty();
    outcome.bytes = output.value != nullptr ? take(output) : stream.str();
    return outcome;
}

// --- the object's state ------------------------------------------------------------

struct Recorded {
    unsigned flags;
    unsigned major;
    unsigned minor;
    bool operator==(const Recorded& o) const { return flags == o.flags && major == o.major && minor == o.minor; }
};

std::ostream& operator<<(std::ostream& out, const Recorded& r) {
    return out << "{flags " << hexWord(r.flags) << ", major " << r.major << ", minor " << r.minor << "}";
}

Recorded recorded(SMIMEMessage& message) {
    Recorded r{};
    r.flags = message.getStatus(&r.major, &r.minor);
    return r;
}

// A copy of the held message; nullopt when none is held. Records an outcome
// of its own, so read getStatus first.
std::optional<std::string> heldBy(SMIMEMessage& message) {
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    if (message.getMessage(&copy, &minor) != SMIME_OK) return std::nullopt;
    return take(copy);
}

void logIn(SMIMEMessage& message) {
    unsigned info = 0;
    unsigned minor = 0;
    ASSERT_EQ(message.login("keys.p12", "secret", "alice", &info, &minor), SMIME_OK);
}

void hold(SMIMEMessage& message, const std::string& bytes) {
    const gss_buffer_desc in = viewOf(bytes);
    unsigned minor = 0;
    ASSERT_EQ(message.setMessage(&in, &minor), SMIME_OK);
}

std::vector<pd::Call> callsNamed(const std::string& name) {
    std::vector<pd::Call> found;
    for (auto& call : pd::calls())
        if (call.name == name) found.push_back(call);
    return found;
}

// The error and progress texts this component wrote.
std::vector<std::string> ownTexts(const std::vector<CapturedRecord>& records) {
    std::vector<std::string> texts;
    for (const auto& record : records)
        if (record.component == kTraceComponent && record.level == VekTrace::kLevelInfo &&
            record.file == kOwnTraceFile)
            texts.push_back(record.text);
    return texts;
}

// Each test starts with an empty call record and must give back every
// provider object it caused, through its message objects' destruction.
class ProtectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        pd::reset();
        baseline_ = pd::outstanding();
    }
    void TearDown() override {
        objects_.clear();
        EXPECT_EQ(pd::outstanding(), baseline_) << "not released: " << joined(pd::outstandingObjects());
    }

    SMIMEMessage& fresh() {
        objects_.push_back(std::make_unique<SMIMEMessage>());
        return *objects_.back();
    }

    // A new object, logged in with login form 1, holding bytes; the call
    // record then starts afresh.
    SMIMEMessage& ready(const std::string& bytes) {
        SMIMEMessage& message = fresh();
        logIn(message);
        hold(message, bytes);
        const auto established = callsNamed("prov_establish_env");
        environment_ = established.empty() ? "" : established.back().arg("env");
        pd::reset();
        return message;
    }

    std::vector<std::unique_ptr<SMIMEMessage>> objects_;
    std::size_t baseline_ = 0;
    std::string environment_; // the last login's environment, as the record names it
};

using SMIMEMessageProtectionChecks = ProtectionTest;
using SMIMEMessageProtect = ProtectionTest;
using SMIMEMessageUnprotect = ProtectionTest;
using SMIMEMessageRoundTrip = ProtectionTest;
using SMIMEMessageProtectionFailures = ProtectionTest;

// --- argument and state checks -------------------------------------------------------

enum class Spoil { Nothing, NullMinor, NullOutput, NullTargets, NullInfo, NoVerifyFlags, OutputValueOnly, OutputLengthOnly };

bool applies(Spoil spoil, Op op, Form form) {
    switch (spoil) {
    case Spoil::NullOutput:
        return form != Form::InPlace;
    case Spoil::OutputValueOnly:
    case Spoil::OutputLengthOnly:
        return form == Form::Buffer;
    case Spoil::NullTargets:
        return op == Op::Encrypt;
    case Spoil::NullInfo:
    case Spoil::NoVerifyFlags:
        return op == Op::Verify;
    default:
        return true;
    }
}

// The message each operation would accept.
std::string inputFor(Op op) {
    if (op == Op::Verify) return signedMessage(KIVO_DIGEST_SHA256, kText);
    if (op == Op::Decrypt) return envelopedMessage(256, 1, kText);
    return kText;
}

// Every refusal in every operation and form: its status, its one error
// record, a minor status word of 0, the outcome recorded, no provider call,
// and the held message and the caller's output as they were.
TEST_F(SMIMEMessageProtectionChecks, RefuseInOrderWithTheirRecordAndTouchNothing) {
    const char* const kNull = "one of the parameter was NULL";
    const struct {
        const char* name;
        Spoil spoil;
        bool loggedIn;
        bool holdsMessage;
        unsigned status;
        const char* record;
    } cases[] = {
        {"null minor status pointer, before any state check", Spoil::NullMinor, false, false, 16, kNull},
        {"null output, before any state check", Spoil::NullOutput, false, false, 16, kNull},
        {"null targets, before any state check", Spoil::NullTargets, false, false, 16, kNull},
        {"null targets on a ready object", Spoil::NullTargets, true, true, 16, kNull},
        {"null verification record", Spoil::NullInfo, false, false, 16, kNull},
        {"record asking for no check, before any state check", Spoil::NoVerifyFlags, false, false, 16, kNull},
        {"record asking for no check on a ready object", Spoil::NoVerifyFlags, true, true, 16, kNull},
        {"not logged in, even without a message", Spoil::Nothing, false, false, 19, "not logged in"},
        {"not logged in, even with a used output", Spoil::OutputLengthOnly, false, true, 19, "not logged in"},
        {"logged in without a message", Spoil::Nothing, true, false, 21, "message is not set"},
        {"no message, even with a used output", Spoil::OutputValueOnly, true, false, 21, "message is not set"},
        {"output {0, value}", Spoil::OutputValueOnly, true, true, 20, "output buffer has not been initialized"},
        {"output {5, NULL}", Spoil::OutputLengthOnly, true, true, 20, "output buffer has not been initialized"},
    };
    for (const auto& c : cases) {
        for (const Op op : kOps) {
            for (const Form form : kForms) {
                if (!applies(c.spoil, op, form)) continue;
                SCOPED_TRACE(std::string(c.name) + ": " + scenario(infoOf(op).name, form));
                SMIMEMessage& message = fresh();
                if (c.loggedIn) logIn(message);
                const std::string input = inputFor(op);
                if (c.holdsMessage) hold(message, input);
                const Recorded before = recorded(message);
                const messageType_t typeBefore = message.getMessageType();
                pd::reset();

                Recipients recipients;
                VerifyRecord record(c.spoil == Spoil::NoVerifyFlags ? 0 : KIVO_VERIFY_SIGNATURE);
                char sentinel = 'x';
                gss_buffer_desc output = {0, nullptr};
                if (c.spoil == Spoil::OutputValueOnly) output = {0, &sentinel};
                if (c.spoil == Spoil::OutputLengthOnly) output = {5, nullptr};
                const gss_buffer_desc outputBefore = output;
                std::ostringstream stream;
                unsigned minor = kStaleMinor;
                Arguments a;
                a.targets = c.spoil == Spoil::NullTargets ? nullptr : &recipients.targets;
                a.info = c.spoil == Spoil::NullInfo ? nullptr : &record.info;
                a.output = c.spoil == Spoil::NullOutput ? nullptr : &output;
                a.stream = c.spoil == Spoil::NullOutput ? nullptr : &stream;
                a.minor = c.spoil == Spoil::NullMinor ? nullptr : &minor;

                unsigned status;
                std::vector<CapturedRecord> records;
                {
                    TraceCapture capture(kTraceComponent);
                    status = invoke(message, op, form, a);
                    records = capture.records();
                }
                EXPECT_EQ(status, c.status);
                if (c.spoil != Spoil::NullMinor) {
                    EXPECT_EQ(minor, 0u);
                }
                const unsigned minorOnRecord = c.spoil == Spoil::NullMinor ? before.minor : 0;
                EXPECT_EQ(recorded(message), (Recorded{before.flags, c.status, minorOnRecord}));
                EXPECT_TRUE(pd::callNames().empty()) << joined(pd::callNames());

                EXPECT_EQ(ownTexts(records), std::vector<std::string>{c.record});
                ASSERT_FALSE(records.empty());
                EXPECT_EQ(records.front().level, VekTrace::kLevelEntry);
                EXPECT_EQ(records.front().text, infoOf(op).traceLabel);
                EXPECT_EQ(records.back().level, VekTrace::kLevelExit);
                EXPECT_EQ(records.back().text, infoOf(op).traceLabel);

                EXPECT_EQ(output.length, outputBefore.length);
                EXPECT_EQ(output.value, outputBefore.value);
                EXPECT_EQ(stream.str(), "");
                EXPECT_EQ(message.getMessageType(), typeBefore);
                if (c.holdsMessage) {
                    EXPECT_EQ(heldBy(message), input);
                }
            }
        }
    }
}

// A call refused for a null minor status pointer has no word to record, so
// the minor status of the call before stays on record beside the new 16.
TEST_F(SMIMEMessageProtectionChecks, ANullMinorPointerKeepsTheRecordedMinorStatus) {
    for (const Op op : kOps) {
        SCOPED_TRACE(infoOf(op).name);
        SMIMEMessage& message = ready(inputFor(op));
        pd::failCall(infoOf(op).protects ? "prov_protect" : "prov_unprotect", GSS_S_FAILURE, KIVO_R_NO_SUCH_IDENTITY);
        ASSERT_EQ(perform(message, op, Form::InPlace).status, SMIME_PROVIDER_FAILED);

        Recipients recipients;
        VerifyRecord record;
        Arguments a;
        a.targets = &recipients.targets;
        a.info = &record.info;
        EXPECT_EQ(invoke(message, op, Form::InPlace, a), SMIME_NULL_PARAMETER);
        EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_NULL_PARAMETER, KIVO_R_NO_SUCH_IDENTITY}));
    }
}

// --- protect ---------------------------------------------------------------------------

// Every form delivers the generated message and holds it; the request words,
// the recipients and the held message reach the provider unchanged; the
// token goes back to it before the message it replaced.
TEST_F(SMIMEMessageProtect, EveryFormDeliversAndHoldsTheGeneratedMessage) {
    const struct {
        const char* name;
        Op op;
        digestAlgorithm_t digest;
        encryptionAlgorithmStrength_t strength;
        const char* micalg; // clear-signed only
        messageType_t type;
    } cases[] = {
        {"sign with SHA-1", Op::Sign, digestSHA1, strengthDefault, "", messageSignedData},
        {"sign with the provider's default digest", Op::Sign, digestAlgorithm_t{}, strengthDefault, "",
         messageSignedData},
        {"sign with SHA-512", Op::Sign, digestSHA512, strengthDefault, "", messageSignedData},
        {"clear-sign with SHA-256", Op::SignatureOnly, digestSHA256, strengthDefault, "sha-256", messageClearSigned},
        {"clear-sign with MD5", Op::SignatureOnly, digestMD5, strengthDefault, "md5", messageClearSigned},
        {"clear-sign with the default digest", Op::SignatureOnly, digestAlgorithm_t{}, strengthDefault, "",
         messageClearSigned},
        {"encrypt with AES-192", Op::Encrypt, digestSHA256, strengthAES192, "", messageEnvelopedData},
        {"encrypt with the default strength", Op::Encrypt, digestSHA256, strengthDefault, "", messageEnvelopedData},
        {"encrypt with triple DES", Op::Encrypt, digestSHA256, strengthDES3, "", messageEnvelopedData},
        {"encrypt with a strength only the provider knows", Op::Encrypt, digestSHA256,
         static_cast<encryptionAlgorithmStrength_t>(77), "", messageEnvelopedData},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, form));
            SMIMEMessage& message = ready(kText);
            const std::size_t outstandingBefore = pd::outstanding();
            Recipients recipients;
            Request request;
            request.digest = c.digest;
            request.strength = c.strength;
            request.recipients = &recipients;
            const Outcome outcome = perform(message, c.op, form, request);
            ASSERT_EQ(outcome.status, SMIME_OK);
            EXPECT_EQ(outcome.minor, 0u);
            EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_OK, 0}));

            const std::string held = heldBy(message).value_or("<none>");
            std::string token;
            std::string expected;
            if (c.op == Op::Sign) {
                token = signedToken(c.digest, kText);
                expected = kSignedHeader + mimeBase64(token);
            } else if (c.op == Op::SignatureOnly) {
                token = signatureToken(c.digest, kText);
                expected = clearSignedMessage(c.micalg, boundaryOf(held), kText, token);
                EXPECT_NE(boundaryOf(held), "") << held.substr(0, 200);
            } else {
                token = envelopedToken(c.strength, 2, kText);
                expected = kEnvelopedHeader + mimeBase64(token);
                EXPECT_EQ(recipients.statuses[0], 0u);
                EXPECT_EQ(recipients.statuses[1], 0u);
            }
            EXPECT_EQ(held, expected);
            EXPECT_EQ(outcome.delivered, form != Form::InPlace);
            if (form != Form::InPlace) {
                EXPECT_EQ(outcome.bytes, held);
            }
            EXPECT_EQ(message.getMessageType(), c.type);

            const auto calls = pd::calls();
            const auto protects = callsNamed("prov_protect");
            ASSERT_EQ(protects.size(), 1u);
            const pd::Call& protect = protects.front();
            const bool encrypts = c.op == Op::Encrypt;
            EXPECT_EQ(protect.arg("env"), environment_);
            EXPECT_EQ(protect.arg("operation"), c.op == Op::Sign ? "0x1" : encrypts ? "0x2" : "0x7");
            EXPECT_EQ(protect.arg("digest"), hexWord(encrypts ? 0u : static_cast<OM_uint32>(c.digest)));
            EXPECT_EQ(protect.arg("strength"), hexWord(encrypts ? static_cast<OM_uint32>(c.strength) : 0u));
            EXPECT_EQ(protect.arg("reserved"), "0x0");
            EXPECT_EQ(protect.arg("targets"), encrypts ? "{count=2,statuses=set}" : "null");
            EXPECT_EQ(protect.arg("input"), described(kText));

            std::vector<std::string> order; // the provider's token and the former message going back
            for (const auto& call : calls) {
                if (call.name == "prov_protect") order.push_back("protect");
                if (call.name == "prov_release_buffer" && call.arg("owner") == "double")
                    order.push_back(call.arg("buffer") == described(token) ? "token" : "other provider buffer");
                if (call.name == "prov_release_buffer" && call.arg("buffer") == described(kText))
                    order.push_back("former message");
            }
            EXPECT_EQ(order, (std::vector<std::string>{"protect", "token", "former message"}));
            EXPECT_EQ(pd::outstanding(), outstandingBefore);
        }
    }
}

// --- unprotect -------------------------------------------------------------------------

// Every form delivers the content and holds it, and the parser classifies it
// afresh. Opaque data goes to the provider alone, a clear-signed message as
// its content beside the signature with the caller's record as it stands;
// decryption brings a record of its own and gives it back.
TEST_F(SMIMEMessageUnprotect, EveryFormDeliversAndHoldsTheContent) {
    const std::string untyped = "Subject: no MIME here\r\n\r\nbody\r\n";
    const std::string enveloped = envelopedMessage(128, 1, kText);
    const std::string signedText = signedMessage(KIVO_DIGEST_SHA1, kText);
    const std::string signature = signatureToken(KIVO_DIGEST_SHA1, enveloped);
    const struct {
        const char* name;
        Op op;
        std::string token;
        std::string input;
        std::string content;
        messageType_t contentType; // what the parser makes of the content
        std::string tokenArg;
        std::string detachedArg;
    } cases[] = {
        {"opaque signed data around plain text", Op::Verify, signedToken(KIVO_DIGEST_SHA512, kText), "", kText,
         messageUnknown, "", "null"},
        {"clear-signed around an enveloped message", Op::Verify, "",
         clearSignedMessage("sha1", "boundaryKCA", enveloped, signature), enveloped, messageEnvelopedData,
         described(enveloped), described(signature)},
        {"enveloped data around a message without MIME headers", Op::Decrypt, envelopedToken(256, 1, untyped), "",
         untyped, messageUntyped, "", "null"},
        {"enveloped data around a signed message", Op::Decrypt, envelopedToken(0, 3, signedText), "", signedText,
         messageSignedData, "", "null"},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, form));
            const std::string input = !c.input.empty()        ? c.input
                                      : c.op == Op::Verify    ? kSignedHeader + mimeBase64(c.token)
                                                              : kEnvelopedHeader + mimeBase64(c.token);
            SMIMEMessage& message = ready(input);
            VerifyRecord record(KIVO_VERIFY_SIGNATURE);
            Request request;
            request.record = &record;
            const Outcome outcome = perform(message, c.op, form, request);
            ASSERT_EQ(outcome.status, SMIME_OK);
            EXPECT_EQ(outcome.minor, 0u);
            EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_OK, 0}));
            EXPECT_EQ(outcome.delivered, form != Form::InPlace);
            if (form != Form::InPlace) {
                EXPECT_EQ(outcome.bytes, c.content);
            }
            EXPECT_EQ(heldBy(message), c.content);
            EXPECT_EQ(message.getMessageType(), c.contentType);

            const auto unprotects = callsNamed("prov_unprotect");
            ASSERT_EQ(unprotects.size(), 1u);
            const pd::Call& unprotect = unprotects.front();
            EXPECT_EQ(unprotect.arg("env"), environment_);
            EXPECT_EQ(unprotect.arg("token"), c.tokenArg.empty() ? described(c.token) : c.tokenArg);
            EXPECT_EQ(unprotect.arg("detached_token"), c.detachedArg);
            const auto created = callsNamed("prov_create_pidu_info");
            const auto released = callsNamed("prov_release_pidu_info");
            if (c.op == Op::Verify) {
                EXPECT_EQ(unprotect.arg("info"), "set");
                EXPECT_EQ(unprotect.arg("verify_flags"), "0x1");
                EXPECT_TRUE(created.empty());
                EXPECT_EQ(record.info.reason, 0u);
                EXPECT_EQ(record.signer(), "CN=provider double");
            } else {
                ASSERT_EQ(created.size(), 1u);
                ASSERT_EQ(released.size(), 1u);
                EXPECT_EQ(unprotect.arg("info"), created.front().arg("info"));
                EXPECT_EQ(unprotect.arg("verify_flags"), "0x3");
                EXPECT_EQ(released.front().arg("info"), created.front().arg("info"));
                std::vector<std::string> order;
                for (const auto& name : pd::callNames())
                    if (name.find("pidu") != std::string::npos || name == "prov_unprotect") order.push_back(name);
                EXPECT_EQ(order, (std::vector<std::string>{"prov_create_pidu_info", "prov_unprotect",
                                                            "prov_release_pidu_info"}));
            }
        }
    }
}

// The provider may succeed and have no content to give, and a lone signature
// has none beside it: nothing is delivered and the held message stays.
TEST_F(SMIMEMessageUnprotect, NoContentDeliversNothingAndKeepsTheMessage) {
    const struct {
        const char* name;
        Op op;
        std::string input;
        unsigned status;
        unsigned minor;
        messageType_t type;
    } cases[] = {
        {"signed data of nothing", Op::Verify, signedMessage(KIVO_DIGEST_SHA256, ""), SMIME_OK, 0, messageSignedData},
        {"enveloped data of nothing", Op::Decrypt, envelopedMessage(256, 1, ""), SMIME_OK, 0, messageEnvelopedData},
        {"a lone signature over empty content", Op::Verify, loneSignature(signatureToken(KIVO_DIGEST_SHA256, "")),
         SMIME_OK, 0, messageSignature},
        {"a lone signature over other content", Op::Verify,
         loneSignature(signatureToken(KIVO_DIGEST_SHA256, "other")), SMIME_PROVIDER_FAILED, KIVO_R_SIGNATURE_INVALID,
         messageSignature},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, form));
            SMIMEMessage& message = ready(c.input);
            const Outcome outcome = perform(message, c.op, form);
            EXPECT_EQ(outcome.status, c.status);
            EXPECT_EQ(outcome.minor, c.minor);
            EXPECT_FALSE(outcome.delivered);
            EXPECT_EQ(recorded(message), (Recorded{kReady, c.status, c.minor}));
            EXPECT_EQ(heldBy(message), c.input);
            EXPECT_EQ(message.getMessageType(), c.type);
            if (c.type == messageSignature) {
                const auto unprotects = callsNamed("prov_unprotect");
                ASSERT_EQ(unprotects.size(), 1u);
                EXPECT_EQ(unprotects.front().arg("token"), "{0,null}") << "an empty signed content";
            }
        }
    }
}

// --- round trips -----------------------------------------------------------------------

// A clear-signed message verifies back to the former held message exactly,
// whatever its bytes.
TEST_F(SMIMEMessageRoundTrip, ClearSignedContentComesBackByteForByte) {
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"one byte", "x"},
        {"a MIME entity with CR LF lines", "Content-Type: text/plain\r\n\r\nfirst\r\nsecond\r\n"},
        {"bare LF lines", "Content-Type: text/plain\n\nfirst\nsecond\n"},
        {"CR alone, LF alone and CR LF mixed", "a\rb\nc\r\nd\n\re"},
        {"ends with an empty line", "text\r\n\r\n"},
        {"starts with an empty line", "\r\nafter an empty first line"},
        {"NUL bytes", std::string("nul\0in\0the\r\nmiddle\0", 20)},
        {"lines that look like delimiters", "--boundaryxyz\r\n--\r\n--boundaryQRS--\r\n"},
        {"a line of 1023 bytes", std::string(1023, 'a') + "\r\nshort"},
        {"a line of 1024 bytes", std::string(1024, 'b') + "\r\nshort"},
        {"a line of 1025 bytes", std::string(1025, 'c') + "\r\nshort"},
        {"70000 bytes without a line end", std::string(70000, 'd')},
        {"64 KiB of binary", randomBytes(65536, 7)},
    };
    for (const auto& c : cases) {
        for (const Form form : {Form::Buffer, Form::InPlace}) {
            SCOPED_TRACE(scenario(c.name, form));
            SMIMEMessage& message = ready(c.content);
            ASSERT_EQ(perform(message, Op::SignatureOnly, Form::InPlace).status, SMIME_OK);
            ASSERT_EQ(message.getMessageType(), messageClearSigned);
            const Outcome outcome = perform(message, Op::Verify, form);
            ASSERT_EQ(outcome.status, SMIME_OK);
            if (form == Form::Buffer) {
                EXPECT_TRUE(outcome.bytes == c.content) << "delivered bytes differ";
            }
            EXPECT_TRUE(heldBy(message) == c.content) << "held bytes differ";
        }
    }
}

// Operations chained on one object: each protection works on the result of
// the one before, and the unprotections undo them in reverse order.
TEST_F(SMIMEMessageRoundTrip, UnprotectingUndoesEachProtectionInTurn) {
    const struct {
        const char* name;
        std::vector<Op> steps;
    } cases[] = {
        {"sign, verify", {Op::Sign, Op::Verify}},
        {"encrypt, decrypt", {Op::Encrypt, Op::Decrypt}},
        {"clear-sign, verify", {Op::SignatureOnly, Op::Verify}},
        {"sign twice, verify twice", {Op::Sign, Op::Sign, Op::Verify, Op::Verify}},
        {"sign, encrypt, decrypt, verify", {Op::Sign, Op::Encrypt, Op::Decrypt, Op::Verify}},
        {"encrypt, clear-sign, verify, decrypt", {Op::Encrypt, Op::SignatureOnly, Op::Verify, Op::Decrypt}},
        {"clear-sign, sign, verify, verify", {Op::SignatureOnly, Op::Sign, Op::Verify, Op::Verify}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage& message = ready(kText);
        std::vector<std::string> stack;
        for (const Op op : c.steps) {
            SCOPED_TRACE(infoOf(op).name);
            const std::string before = heldBy(message).value_or("");
            pd::reset();
            ASSERT_EQ(perform(message, op, Form::InPlace).status, SMIME_OK);
            if (infoOf(op).protects) {
                const auto protects = callsNamed("prov_protect");
                ASSERT_EQ(protects.size(), 1u);
                EXPECT_EQ(protects.front().arg("input"), described(before));
                stack.push_back(before);
            } else {
                ASSERT_FALSE(stack.empty());
                EXPECT_EQ(heldBy(message), stack.back());
                stack.pop_back();
            }
        }
        EXPECT_EQ(heldBy(message), kText);
    }
}

// --- failures ------------------------------------------------------------------------

// A message of the wrong kind, or one that cannot be taken apart, is refused
// with 22 before the provider is asked.
TEST_F(SMIMEMessageUnprotect, RefusesWhatItCannotUndoWith22) {
    const std::string clearSigned =
        clearSignedMessage("sha-256", "boundaryAAA", kText, signatureToken(KIVO_DIGEST_SHA256, kText));
    const std::string untyped = "Subject: hello\r\n\r\nbody\r\n";
    const std::string plain = "Content-Type: text/plain\r\n\r\nhello\r\n";
    const struct {
        const char* name;
        Op op;
        std::string input;
    } cases[] = {
        {"verify of enveloped data", Op::Verify, envelopedMessage(256, 1, kText)},
        {"decrypt of opaque signed data", Op::Decrypt, signedMessage(KIVO_DIGEST_SHA256, kText)},
        {"decrypt of a clear-signed message", Op::Decrypt, clearSigned},
        {"decrypt of a lone signature", Op::Decrypt, loneSignature(signatureToken(KIVO_DIGEST_SHA256, ""))},
        {"verify without a Content-Type", Op::Verify, untyped},
        {"decrypt without a Content-Type", Op::Decrypt, untyped},
        {"verify of plain text", Op::Verify, plain},
        {"decrypt of plain text", Op::Decrypt, plain},
        {"verify of pkcs7-mime without smime-type", Op::Verify,
         "Content-Type: application/pkcs7-mime; name=smime.p7m\r\n\r\n" + signedToken(KIVO_DIGEST_SHA256, kText)},
        {"verify of signed data whose body is not base64", Op::Verify, kSignedHeader + "!!!!"},
        {"decrypt of enveloped data whose body is not base64", Op::Decrypt, kEnvelopedHeader + "MI*B"},
        {"verify of a clear-signed message cut after its content", Op::Verify,
         clearSigned.substr(0, clearSigned.find(kSignatureHeader))},
        {"verify of a clear-signed message without delimiters", Op::Verify,
         "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=zz\r\n\r\nno parts\r\n"},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, form));
            SMIMEMessage& message = ready(c.input);
            const messageType_t typeBefore = message.getMessageType();
            Outcome outcome;
            std::vector<CapturedRecord> records;
            {
                TraceCapture capture(kTraceComponent);
                outcome = perform(message, c.op, form);
                records = capture.records();
            }
            EXPECT_EQ(outcome.status, SMIME_BAD_MESSAGE);
            EXPECT_EQ(outcome.minor, 0u);
            EXPECT_FALSE(outcome.delivered);
            EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_BAD_MESSAGE, 0}));
            EXPECT_EQ(heldBy(message), c.input);
            // Taking a clear-signed message apart leaves the parser describing
            // its signature part, so only other kinds are compared.
            if (typeBefore != messageClearSigned) {
                EXPECT_EQ(message.getMessageType(), typeBefore);
            }
            EXPECT_TRUE(callsNamed("prov_unprotect").empty());
            EXPECT_TRUE(callsNamed("prov_create_pidu_info").empty());
            EXPECT_EQ(ownTexts(records), std::vector<std::string>{});
        }
    }
}

// A failing provider gives 10 with its minor status in the caller's word and
// on record; the held message stays byte for byte, and the next call works.
TEST_F(SMIMEMessageProtectionFailures, ProviderFailureGives10AndKeepsTheMessage) {
    const std::string clearSigned =
        clearSignedMessage("sha-256", "boundaryMOB", kText, signatureToken(KIVO_DIGEST_SHA256, kText));
    const struct {
        const char* name;
        Op op;
        std::string input;
        const char* function;
        OM_uint32 major;
        OM_uint32 minor;
    } cases[] = {
        {"sign", Op::Sign, kText, "prov_protect", GSS_S_FAILURE, KIVO_R_UNSUPPORTED_DIGEST},
        {"clear-sign", Op::SignatureOnly, kText, "prov_protect", GSS_S_NO_CRED, KIVO_R_NO_PRIVATE_KEY},
        {"encrypt", Op::Encrypt, kText, "prov_protect", GSS_S_FAILURE, KIVO_R_BAD_RECIPIENT_CERTIFICATE},
        {"verify of opaque signed data", Op::Verify, signedMessage(KIVO_DIGEST_SHA256, kText), "prov_unprotect",
         GSS_S_FAILURE, KIVO_R_SIGNER_NOT_TRUSTED},
        {"verify of a clear-signed message", Op::Verify, clearSigned, "prov_unprotect", GSS_S_CREDENTIALS_EXPIRED,
         KIVO_R_CERTIFICATE_EXPIRED},
        {"decrypt", Op::Decrypt, envelopedMessage(256, 1, kText), "prov_unprotect", GSS_S_FAILURE,
         KIVO_R_NOT_A_RECIPIENT},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, form));
            SMIMEMessage& message = ready(c.input);
            const messageType_t typeBefore = message.getMessageType();
            pd::failCall(c.function, c.major, c.minor);
            Outcome outcome;
            std::vector<CapturedRecord> records;
            {
                TraceCapture capture(kTraceComponent);
                outcome = perform(message, c.op, form);
                records = capture.records();
            }
            EXPECT_EQ(outcome.status, SMIME_PROVIDER_FAILED);
            EXPECT_EQ(outcome.minor, c.minor);
            EXPECT_FALSE(outcome.delivered);
            EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_PROVIDER_FAILED, c.minor}));
            EXPECT_EQ(heldBy(message), c.input);
            if (typeBefore != messageClearSigned) {
                EXPECT_EQ(message.getMessageType(), typeBefore);
            }
            EXPECT_EQ(ownTexts(records), std::vector<std::string>{});

            EXPECT_EQ(perform(message, c.op, form).status, SMIME_OK) << "the next call works";
            EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_OK, 0}));
        }
    }
}

// Changing one byte of the signed content breaks the detached signature.
TEST_F(SMIMEMessageProtectionFailures, ATamperedClearSignedContentGives10) {
    for (const Form form : kForms) {
        SCOPED_TRACE(nameOf(form));
        SMIMEMessage& message = ready("Content-Type: text/plain\r\n\r\nPay 100 to Bob.\r\n");
        ASSERT_EQ(perform(message, Op::SignatureOnly, Form::InPlace).status, SMIME_OK);
        std::string tampered = heldBy(message).value_or("");
        ASSERT_NE(tampered.find("100"), std::string::npos);
        tampered[tampered.find("100")] = '9';
        unsigned minor = 0;
        ASSERT_EQ(message.freeMessage(&minor), SMIME_OK);
        hold(message, tampered);

        const Outcome outcome = perform(message, Op::Verify, form);
        EXPECT_EQ(outcome.status, SMIME_PROVIDER_FAILED);
        EXPECT_EQ(outcome.minor, static_cast<unsigned>(KIVO_R_SIGNATURE_INVALID));
        EXPECT_FALSE(outcome.delivered);
        EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_PROVIDER_FAILED, KIVO_R_SIGNATURE_INVALID}));
        EXPECT_EQ(heldBy(message), tampered);
    }
}

// Delivery comes last: when the stream fails, the result is already held.
TEST_F(SMIMEMessageProtectionFailures, AFailingStreamGives13AfterTheResultIsHeld) {
    const struct {
        const char* name;
        Op op;
        std::string input;
        std::string result;
        messageType_t type;
    } cases[] = {
        {"sign", Op::Sign, kText, signedMessage(KIVO_DIGEST_SHA256, kText), messageSignedData},
        {"encrypt", Op::Encrypt, kText, envelopedMessage(128, 2, kText), messageEnvelopedData},
        {"verify", Op::Verify, signedMessage(KIVO_DIGEST_SHA256, kText), kText, messageUnknown},
        {"decrypt", Op::Decrypt, envelopedMessage(256, 1, kText), kText, messageUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage& message = ready(c.input);
        Recipients recipients;
        VerifyRecord record;
        std::ostringstream stream;
        stream.setstate(std::ios::badbit);
        unsigned minor = kStaleMinor;
        Arguments a;
        a.targets = &recipients.targets;
        a.info = &record.info;
        a.stream = &stream;
        a.minor = &minor;
        EXPECT_EQ(invoke(message, c.op, Form::Stream, a), SMIME_STREAM_ERROR);
        EXPECT_EQ(minor, 0u);
        EXPECT_EQ(recorded(message), (Recorded{kReady, SMIME_STREAM_ERROR, 0}));
        EXPECT_EQ(heldBy(message), c.result);
        EXPECT_EQ(message.getMessageType(), c.type);
    }
}

// Without a record from the provider, decryption goes on without one or
// fails; either way the object is left whole.
TEST_F(SMIMEMessageProtectionFailures, DecryptCopesWithoutAProviderRecord) {
    const std::string input = envelopedMessage(256, 1, kText);
    SMIMEMessage& message = ready(input);
    pd::failCall("prov_create_pidu_info", GSS_S_FAILURE, KIVO_R_NO_MEMORY);
    const Outcome outcome = perform(message, Op::Decrypt, Form::Buffer);
    if (outcome.status == SMIME_OK) {
        EXPECT_EQ(outcome.bytes, kText);
        EXPECT_EQ(heldBy(message), kText);
    } else {
        EXPECT_TRUE(outcome.status == SMIME_NO_MEMORY || outcome.status == SMIME_PROVIDER_FAILED) << outcome.status;
        EXPECT_FALSE(outcome.delivered);
        EXPECT_EQ(heldBy(message), input);
    }
}

int failuresSoFar() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// Fails each allocation of one operation in turn, in place and into a
// buffer. Each failure gives 15, the provider's 10, or 22 for a message the
// parser could not take apart, or the operation does without it; the
// object holds the former message or, when only a step after the replacement
// failed, the result; nothing leaks; and the object can repeat the operation.
TEST_F(SMIMEMessageProtectionFailures, EveryAllocationFailureLeavesTheObjectSound) {
    const std::string content = "Content-Type: text/plain\r\n\r\n" + std::string(200, 'z') + "\r\n";
    const std::string clearSigned =
        clearSignedMessage("sha-256", "boundaryBEE", content, signatureToken(KIVO_DIGEST_SHA256, content));
    const struct {
        const char* name;
        Op op;
        std::string input;
        std::string result; // "" for a clear-signed result, checked by its layout
        messageType_t type;
    } cases[] = {
        {"sign", Op::Sign, content, signedMessage(KIVO_DIGEST_SHA256, content), messageSignedData},
        {"clear-sign", Op::SignatureOnly, content, "", messageClearSigned},
        {"encrypt", Op::Encrypt, content, envelopedMessage(128, 2, content), messageEnvelopedData},
        {"verify of opaque signed data", Op::Verify, signedMessage(KIVO_DIGEST_SHA256, content), content,
         messageUnknown},
        {"verify of a clear-signed message", Op::Verify, clearSigned, content, messageUnknown},
        {"decrypt", Op::Decrypt, envelopedMessage(256, 1, content), content, messageUnknown},
    };
    const auto isResult = [&](const std::string& result, const std::string& held) {
        if (!result.empty()) return held == result;
        const std::string boundary = boundaryOf(held);
        return !boundary.empty() &&
               held == clearSignedMessage("sha-256", boundary, content, signatureToken(KIVO_DIGEST_SHA256, content));
    };
    for (const auto& c : cases) {
        for (const Form form : {Form::InPlace, Form::Buffer}) {
            const int failuresBefore = failuresSoFar();
            int failed = 0;
            for (int n = 1; n <= 1000 && failuresSoFar() == failuresBefore; ++n) {
                SCOPED_TRACE(scenario(c.name, form) + ", allocation " + std::to_string(n));
                pd::reset();
                auto message = std::make_unique<SMIMEMessage>();
                logIn(*message);
                hold(*message, c.input);
                Recipients recipients;
                auto record = std::make_unique<VerifyRecord>();
                gss_buffer_desc output = {0, nullptr};
                unsigned minor = kStaleMinor;
                Arguments a;
                a.targets = &recipients.targets;
                a.info = &record->info;
                a.output = &output;
                a.minor = &minor;
                unsigned status;
                {
                    MallocFailure failure(n);
                    status = invoke(*message, c.op, form, a);
                }
                const bool reached = mallocCallsSinceArmed() >= n;
                const std::string delivered = output.value != nullptr ? take(output) : std::string();
                const std::string held = heldBy(*message).value_or("<none>");
                if (status == SMIME_OK) {
                    EXPECT_TRUE(isResult(c.result, held)) << "held " << held.substr(0, 120);
                    if (form == Form::Buffer) {
                        EXPECT_EQ(delivered, held);
                    }
                    EXPECT_EQ(message->getMessageType(), c.type);
                } else {
                    ++failed;
                    const bool expected = status == SMIME_NO_MEMORY || status == SMIME_PROVIDER_FAILED ||
                                            (!infoOf(c.op).protects && status == SMIME_BAD_MESSAGE);
                    EXPECT_TRUE(expected) << "status " << status;
                    EXPECT_EQ(minor != 0, status == SMIME_PROVIDER_FAILED) << "minor " << minor;
                    EXPECT_EQ(delivered, "");
                    const bool keptInput = held == c.input;
                    const bool heldResult = status == SMIME_NO_MEMORY && isResult(c.result, held);
                    EXPECT_TRUE(keptInput || heldResult) << "held " << held.substr(0, 120);
                    if (heldResult) {
                        EXPECT_EQ(message->getMessageType(), c.type);
                    }
                    if (keptInput) {
                        record = std::make_unique<VerifyRecord>();
                        a.info = &record->info;
                        EXPECT_EQ(invoke(*message, c.op, form, a), SMIME_OK) << "usable afterwards";
                        if (output.value != nullptr) take(output);
                    }
                }
                record.reset();
                message.reset();
                EXPECT_EQ(pd::outstanding(), baseline_) << "not released: " << joined(pd::outstandingObjects());
                if (!reached) {
                    EXPECT_EQ(status, SMIME_OK);
                    EXPECT_GE(failed, 2) << "the walk failed too few allocations to mean much";
                    break;
                }
            }
        }
    }
}

} // namespace
