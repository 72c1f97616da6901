// The message object's protection operations: sign, clear-sign and encrypt
// the held message, verify and decrypt it, each in its three output forms,
// with the test provider standing in for the cryptography. Expected bytes are
// built here from the generated layouts and the provider's token formats.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "gss_buffers.h"
#include "provider_double.h"
#include "random_bytes.h"
#include "vek4kivosmime.h"

namespace pd = provider_double;

namespace {

// What a minor status word holds before a call, so that zeroing shows.
constexpr unsigned kStaleMinor = 0xA5A5A5A5u;
constexpr unsigned kReady = SMIME_INITIALIZED | SMIME_MESSAGE_SET | SMIME_LOGGED_IN;

std::string pkcs7MimeHeader(const std::string& smimeType) {
    return "Content-Type: application/pkcs7-mime;\r\n   smime-type=" + smimeType +
           ";\r\n   name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
}
const std::string kSignedHeader = pkcs7MimeHeader("signed-data");
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
    for (const char byte : content) token += static_cast<char>(byte ^ 0x5A);
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
    return pkcs7MimeHeader("enveloped-data") + mimeBase64(envelopedToken(strength, recipients, content));
}

std::string loneSignature(const std::string& signature) { return kSignatureHeader + mimeBase64(signature); }

std::string clearSignedMessage(const std::string& micalg, const std::string& boundary, const std::string& content,
                               const std::string& signature) {
    return "Content-Type: multipart/signed;\r\n protocol=\"application/pkcs7-signature\";\r\n micalg=" + micalg +
           "; boundary=" + boundary + "\r\n\r\n--" + boundary + "\r\n" + content + "\r\n--" + boundary + "\r\n" +
           loneSignature(signature) + "\r\n\r\n--" + boundary + "--\r\n";
}

// One message of each kind; the clear-signed one carries the enveloped one.
const std::string kEnveloped = envelopedMessage(128, 1, kText);
const std::string kSignature = signatureToken(KIVO_DIGEST_SHA1, kEnveloped);
const std::string kSignedText = signedMessage(KIVO_DIGEST_SHA1, kText);
const std::string kClearSigned = clearSignedMessage("sha1", "boundaryKCA", kEnveloped, kSignature);

// A clear-signed result's boundary is random: kBoundary in an expected
// message stands for the one the held message declares.
const std::string kBoundary = "<boundary>";
std::string withBoundaryOf(const std::string& held, std::string expected) {
    const std::size_t at = held.find("; boundary=");
    const std::size_t end = held.find("\r\n", at);
    const std::string boundary = at < 200 && end != std::string::npos ? held.substr(at + 11, end - at - 11) : "";
    for (std::size_t from = expected.find(kBoundary); from != std::string::npos; from = expected.find(kBoundary, from))
        expected.replace(from, kBoundary.size(), boundary);
    return expected;
}

// Bytes as the provider's call record shows them.
std::string described(const std::string& bytes) {
    const gss_buffer_desc view = viewOf(bytes);
    return pd::describeBuffer(&view);
}

enum class Op { Sign, SignatureOnly, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };
constexpr Op kOps[] = {Op::Sign, Op::SignatureOnly, Op::Encrypt, Op::Verify, Op::Decrypt};
constexpr Form kForms[] = {Form::Buffer, Form::Stream, Form::InPlace};

bool protects(Op op) { return op == Op::Sign || op == Op::SignatureOnly || op == Op::Encrypt; }

std::string scenario(const std::string& name, Op op, Form form) {
    static const char* const kOpNames[] = {"sign", "signSignatureOnly", "encrypt", "verify", "decrypt"};
    static const char* const kFormNames[] = {"into a buffer", "to a stream", "in place"};
    return name + ": " + kOpNames[static_cast<int>(op)] + " " + kFormNames[static_cast<int>(form)];
}

// One call's arguments, all sound until a test spoils one: two recipients,
// whose statuses show that the list reached the provider; a verification
// record; an empty buffer and a stream for the output.
struct Call {
    std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    std::string der = std::string("\x30\x82\x01\x0a\x00", 5);
    gss_buffer_desc certificates[2] = {viewOf(pem), viewOf(der)};
    OM_uint32 statuses[2] = {99, 99};
    IDUP_Target_Info_desc recipients = {2, certificates, statuses};
    IDUP_PIDU_Information_desc record{};
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    unsigned minorStatus = kStaleMinor;

    digestAlgorithm_t digest;
    encryptionAlgorithmStrength_t strength;
    IDUP_Target_Info_desc* targets = &recipients;
    IDUP_PIDU_Information_desc* info = &record;
    gss_buffer_desc* output = &buffer;
    std::ostream* out = &stream;
    unsigned* minor = &minorStatus;

    explicit Call(digestAlgorithm_t d = digestSHA256, encryptionAlgorithmStrength_t s = strengthAES128)
        : digest(d), strength(s) {
        record.verify_flags = KIVO_VERIFY_SIGNATURE;
    }
    ~Call() {
        OM_uint32 scratch = 0;
        if (record.signer_subject.value != nullptr) prov_release_buffer(&scratch, &record.signer_subject);
        std::free(buffer.value);
    }

    unsigned run(SMIMEMessage& m, Op op, Form form) {
        // The output argument, or none, picks the form.
        const auto call = [&](auto... output) -> unsigned {
            switch (op) {
            case Op::Sign:
                return m.sign(digest, output..., minor);
            case Op::SignatureOnly:
                return m.signSignatureOnly(digest, output..., minor);
            case Op::Encrypt:
                return m.encrypt(strength, targets, output..., minor);
            case Op::Verify:
                return m.verify(output..., info, minor);
            case Op::Decrypt:
                return m.decrypt(output..., minor);
            }
            return ~0u;
        };
        return form == Form::Buffer ? call(output) : form == Form::Stream ? call(out) : call();
    }

    // What the call delivered into the buffer or to the stream.
    std::string delivered() { return buffer.value != nullptr ? take(buffer) : stream.str(); }
};

// The flags, major and minor status the object has on record.
std::tuple<unsigned, unsigned, unsigned> recorded(SMIMEMessage& message) {
    unsigned major = 0;
    unsigned minor = 0;
    const unsigned flags = message.getStatus(&major, &minor);
    return std::make_tuple(flags, major, minor);
}

// A copy of the held message. Records an outcome of its own, so read
// recorded() first.
std::string heldBy(SMIMEMessage& message) {
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    return message.getMessage(&copy, &minor) == SMIME_OK ? take(copy) : "<none>";
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

// Each test starts with an empty call record and must give back every
// provider object it caused, through its message objects' destruction.
class SMIMEMessageProtection : public ::testing::Test {
protected:
    void SetUp() override {
        pd::reset();
        baseline_ = pd::outstanding();
    }
    void TearDown() override {
        objects_.clear();
        EXPECT_EQ(pd::outstanding(), baseline_) << ::testing::PrintToString(pd::outstandingObjects());
    }

    SMIMEMessage& fresh() {
        objects_.push_back(std::make_unique<SMIMEMessage>());
        return *objects_.back();
    }

    // A new object, logged in, holding bytes; the call record then starts afresh.
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

using SMIMEMessageProtectionChecks = SMIMEMessageProtection;
using SMIMEMessageUnprotect = SMIMEMessageProtection;
using SMIMEMessageProtectionFailures = SMIMEMessageProtection;

enum class Spoil { Nothing, NullMinor, NullOutput, NullTargets, NullInfo, NoVerifyFlags, UsedValue, UsedLength };

bool applies(Spoil spoil, Op op, Form form) {
    if (spoil == Spoil::NullOutput) return form != Form::InPlace;
    if (spoil == Spoil::UsedValue || spoil == Spoil::UsedLength) return form == Form::Buffer;
    if (spoil == Spoil::NullTargets) return op == Op::Encrypt;
    if (spoil == Spoil::NullInfo || spoil == Spoil::NoVerifyFlags) return op == Op::Verify;
    return true;
}

// Every refusal in every operation and form, in its order: a minor status
// word of 0, the outcome recorded, no provider call, and the held message and
// the caller's output as they were.
TEST_F(SMIMEMessageProtectionChecks, RefuseInOrderAndTouchNothing) {
    const struct {
        const char* name;
        Spoil spoil;
        bool loggedIn;
        bool holdsMessage;
        unsigned status;
    } cases[] = {
        {"null minor status pointer, before any state check", Spoil::NullMinor, false, false, 16},
        {"null output, before any state check", Spoil::NullOutput, false, false, 16},
        {"null targets, before any state check", Spoil::NullTargets, false, false, 16},
        {"null verification record, before any state check", Spoil::NullInfo, false, false, 16},
        {"record asking for no check, before any state check", Spoil::NoVerifyFlags, false, false, 16},
        {"not logged in, even without a message", Spoil::Nothing, false, false, 19},
        {"not logged in, even with a used output", Spoil::UsedLength, false, true, 19},
        {"logged in without a message", Spoil::Nothing, true, false, 21},
        {"no message, even with a used output", Spoil::UsedValue, true, false, 21},
        {"output {0, value}", Spoil::UsedValue, true, true, 20},
        {"output {5, NULL}", Spoil::UsedLength, true, true, 20},
    };
    for (const auto& c : cases) {
        for (const Op op : kOps) {
            for (const Form form : kForms) {
                if (!applies(c.spoil, op, form)) continue;
                SCOPED_TRACE(scenario(c.name, op, form));
                SMIMEMessage& message = fresh();
                if (c.loggedIn) logIn(message);
                const std::string& input = op == Op::Verify ? kSignedText : op == Op::Decrypt ? kEnveloped : kText;
                if (c.holdsMessage) hold(message, input);
                const unsigned flagsBefore = std::get<0>(recorded(message));
                pd::reset();

                Call call;
                if (c.spoil == Spoil::NoVerifyFlags) call.record.verify_flags = 0;
                char byte = 'x';
                gss_buffer_desc used = {c.spoil == Spoil::UsedLength ? 5u : 0u,
                                        c.spoil == Spoil::UsedValue ? &byte : nullptr};
                const gss_buffer_desc usedBefore = used;
                if (c.spoil == Spoil::UsedValue || c.spoil == Spoil::UsedLength) call.output = &used;
                if (c.spoil == Spoil::NullOutput) call.output = nullptr;
                if (c.spoil == Spoil::NullOutput) call.out = nullptr;
                if (c.spoil == Spoil::NullTargets) call.targets = nullptr;
                if (c.spoil == Spoil::NullInfo) call.info = nullptr;
                if (c.spoil == Spoil::NullMinor) call.minor = nullptr;

                EXPECT_EQ(call.run(message, op, form), c.status);
                EXPECT_EQ(call.minorStatus, c.spoil == Spoil::NullMinor ? kStaleMinor : 0u);
                EXPECT_EQ(recorded(message), std::make_tuple(flagsBefore, c.status, 0u));
                EXPECT_EQ(pd::callNames(), std::vector<std::string>{});
                EXPECT_TRUE(used.length == usedBefore.length && used.value == usedBefore.value);
                EXPECT_EQ(call.delivered(), "");
                EXPECT_TRUE(!c.holdsMessage || heldBy(message) == input) << "the held message changed";
            }
        }
    }
}

// One successful call of each kind, with what matters in its provider call.
struct OperationCase {
    const char* name;
    Op op;
    std::string input;
    std::string result;
    messageType_t type; // what the parser makes of the result
    std::vector<std::pair<std::string, std::string>> providerArgs;
    digestAlgorithm_t digest = digestSHA256;
    encryptionAlgorithmStrength_t strength = strengthAES128;
};

const OperationCase kOperations[] = {
    {"SHA-1", Op::Sign, kText, signedMessage(KIVO_DIGEST_SHA1, kText), messageSignedData, {{"targets", "null"}},
     digestSHA1},
    {"MD5", Op::SignatureOnly, kText,
     clearSignedMessage("md5", kBoundary, kText, signatureToken(KIVO_DIGEST_MD5, kText)), messageClearSigned,
     {{"targets", "null"}}, digestMD5},
    {"AES-192", Op::Encrypt, kText, envelopedMessage(KIVO_STRENGTH_AES192, 2, kText), messageEnvelopedData,
     {{"targets", "{count=2,statuses=set}"}}, digestSHA256, strengthAES192},
    {"a strength only the provider knows", Op::Encrypt, kText, envelopedMessage(77, 2, kText), messageEnvelopedData,
     {{"targets", "{count=2,statuses=set}"}}, digestSHA256, static_cast<encryptionAlgorithmStrength_t>(77)},
    {"opaque signed data", Op::Verify, signedMessage(KIVO_DIGEST_SHA512, kText), kText, messageUnknown,
     {{"token", described(signedToken(KIVO_DIGEST_SHA512, kText))}, {"detached_token", "null"}, {"info", "set"},
      {"verify_flags", "0x1"}}},
    {"clear-signed around an enveloped message", Op::Verify, kClearSigned, kEnveloped, messageEnvelopedData,
     {{"token", described(kEnveloped)}, {"detached_token", described(kSignature)}, {"info", "set"},
      {"verify_flags", "0x1"}}},
    // Decryption brings a verification record of its own.
    {"enveloped data around a signed message", Op::Decrypt, envelopedMessage(0, 3, kSignedText), kSignedText,
     messageSignedData,
     {{"token", described(envelopedToken(0, 3, kSignedText))}, {"detached_token", "null"}, {"info", "pidu#1"}}},
};

// Every form holds the result and delivers the same bytes, the parser
// classifies it afresh, and the provider is called once in the login's
// environment with the caller's digest or strength, recipients and record.
TEST_F(SMIMEMessageProtection, EveryFormHoldsAndDeliversTheResult) {
    for (const auto& c : kOperations) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, c.op, form));
            SMIMEMessage& message = ready(c.input);
            Call call(c.digest, c.strength);
            ASSERT_EQ(call.run(message, c.op, form), SMIME_OK);
            EXPECT_EQ(call.minorStatus, 0u);
            EXPECT_EQ(recorded(message), std::make_tuple(kReady, SMIME_OK, 0u));
            const std::string held = heldBy(message);
            EXPECT_TRUE(held == withBoundaryOf(held, c.result)) << held.substr(0, 300);
            EXPECT_EQ(call.delivered(), form == Form::InPlace ? "" : held);
            EXPECT_EQ(message.getMessageType(), c.type);
            EXPECT_TRUE(c.op != Op::Encrypt || (call.statuses[0] == 0 && call.statuses[1] == 0));

            const auto providerCalls = callsNamed(protects(c.op) ? "prov_protect" : "prov_unprotect");
            ASSERT_EQ(providerCalls.size(), 1u);
            EXPECT_EQ(providerCalls.front().arg("env"), environment_);
            for (const auto& arg : c.providerArgs) EXPECT_EQ(providerCalls.front().arg(arg.first), arg.second);
        }
    }
}

// A clear-signed message verifies back to the former held message exactly,
// whatever its bytes.
TEST_F(SMIMEMessageUnprotect, ClearSignedContentComesBackByteForByte) {
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"CR LF lines", "Content-Type: text/plain\r\n\r\nfirst\r\nsecond\r\n"},
        {"bare LF lines", "Content-Type: text/plain\n\nfirst\nsecond\n"},
        {"ends with an empty line", "text\r\n\r\n"},
        {"NUL bytes", std::string("nul\0in\0the\r\nmiddle\0", 20)},
        {"lines that look like delimiters", "--boundaryxyz\r\n--\r\n--boundaryQRS--\r\n"},
        {"a line of 1023 bytes", std::string(1023, 'a') + "\r\nshort"},
        {"a line of 1024 bytes", std::string(1024, 'b') + "\r\nshort"},
        {"a line of 1025 bytes", std::string(1025, 'c') + "\r\nshort"},
        {"64 KiB of binary", randomBytes(65536, 7)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage& message = ready(c.content);
        ASSERT_EQ(Call().run(message, Op::SignatureOnly, Form::InPlace), SMIME_OK);
        ASSERT_EQ(message.getMessageType(), messageClearSigned);
        Call verify;
        ASSERT_EQ(verify.run(message, Op::Verify, Form::Buffer), SMIME_OK);
        EXPECT_TRUE(verify.delivered() == c.content) << "delivered bytes differ";
        EXPECT_TRUE(heldBy(message) == c.content) << "held bytes differ";
    }
}

// Each protection works on the result of the one before, and the
// unprotections undo them in reverse order.
TEST_F(SMIMEMessageUnprotect, UndoesEachProtectionInTurn) {
    const struct {
        const char* name;
        std::vector<Op> steps;
    } cases[] = {
        {"sign twice, verify twice", {Op::Sign, Op::Sign, Op::Verify, Op::Verify}},
        {"sign, encrypt, decrypt, verify", {Op::Sign, Op::Encrypt, Op::Decrypt, Op::Verify}},
        {"encrypt, clear-sign, verify, decrypt", {Op::Encrypt, Op::SignatureOnly, Op::Verify, Op::Decrypt}},
        {"clear-sign, sign, verify, verify", {Op::SignatureOnly, Op::Sign, Op::Verify, Op::Verify}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMIMEMessage& message = ready(kText);
        std::vector<std::string> stack;
        for (std::size_t step = 0; step < c.steps.size(); ++step) {
            SCOPED_TRACE("step " + std::to_string(step + 1));
            const std::string before = heldBy(message);
            pd::reset();
            ASSERT_EQ(Call().run(message, c.steps[step], Form::InPlace), SMIME_OK);
            if (protects(c.steps[step])) {
                const auto protectCalls = callsNamed("prov_protect");
                ASSERT_EQ(protectCalls.size(), 1u);
                EXPECT_EQ(protectCalls.front().arg("input"), described(before));
                stack.push_back(before);
            } else {
                ASSERT_FALSE(stack.empty());
                EXPECT_EQ(heldBy(message), stack.back());
                stack.pop_back();
            }
        }
    }
}

// When an operation fails, or has no content to give, nothing is delivered
// and the held message stays byte for byte. A message of the wrong kind, or
// one that cannot be taken apart, gives 22 before the provider is asked; a
// failing provider gives 10 with its minor status, and the next call works.
TEST_F(SMIMEMessageProtectionFailures, KeepTheMessageWhenThereIsNothingToDeliver) {
    const struct {
        const char* name;
        Op op;
        std::string input;
        unsigned status;
        OM_uint32 minor;
        OM_uint32 providerMajor; // the provider's call is made to fail with this and minor
    } cases[] = {
        {"signed data of nothing", Op::Verify, signedMessage(KIVO_DIGEST_SHA256, ""), SMIME_OK, 0, 0},
        {"enveloped data of nothing", Op::Decrypt, envelopedMessage(256, 1, ""), SMIME_OK, 0, 0},
        {"a lone signature over empty content", Op::Verify, loneSignature(signatureToken(KIVO_DIGEST_SHA256, "")),
         SMIME_OK, 0, 0},
        {"a lone signature over other content", Op::Verify,
         loneSignature(signatureToken(KIVO_DIGEST_SHA256, "other")), 10, KIVO_R_SIGNATURE_INVALID, 0},
        {"clear-signed content changed after signing", Op::Verify,
         clearSignedMessage("sha-256", "boundaryAAB", "Pay 900 to Bob.",
                            signatureToken(KIVO_DIGEST_SHA256, "Pay 100 to Bob.")),
         10, KIVO_R_SIGNATURE_INVALID, 0},

        {"enveloped data", Op::Verify, kEnveloped, 22, 0, 0},
        {"opaque signed data", Op::Decrypt, kSignedText, 22, 0, 0},
        {"a clear-signed message", Op::Decrypt, kClearSigned, 22, 0, 0},
        {"a lone signature", Op::Decrypt, loneSignature(signatureToken(KIVO_DIGEST_SHA256, "")), 22, 0, 0},
        {"plain text", Op::Verify, "Content-Type: text/plain\r\n\r\nhello\r\n", 22, 0, 0},
        {"no Content-Type", Op::Decrypt, "Subject: hello\r\n\r\nbody\r\n", 22, 0, 0},
        {"signed data whose body is not base64", Op::Verify, kSignedHeader + "!!!!", 22, 0, 0},
        {"a clear-signed message cut after its content", Op::Verify,
         kClearSigned.substr(0, kClearSigned.find(kSignatureHeader)), 22, 0, 0},

        {"plain text", Op::Sign, kText, 10, KIVO_R_UNSUPPORTED_DIGEST, GSS_S_FAILURE},
        {"plain text", Op::SignatureOnly, kText, 10, KIVO_R_NO_PRIVATE_KEY, GSS_S_NO_CRED},
        {"plain text", Op::Encrypt, kText, 10, KIVO_R_BAD_RECIPIENT_CERTIFICATE, GSS_S_FAILURE},
        {"opaque signed data", Op::Verify, kSignedText, 10, KIVO_R_SIGNER_NOT_TRUSTED, GSS_S_FAILURE},
        {"a clear-signed message", Op::Verify, kClearSigned, 10, KIVO_R_CERTIFICATE_EXPIRED,
         GSS_S_CREDENTIALS_EXPIRED},
        {"enveloped data", Op::Decrypt, kEnveloped, 10, KIVO_R_NOT_A_RECIPIENT, GSS_S_FAILURE},
    };
    for (const auto& c : cases) {
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, c.op, form));
            SMIMEMessage& message = ready(c.input);
            if (c.providerMajor != 0)
                pd::failCall(protects(c.op) ? "prov_protect" : "prov_unprotect", c.providerMajor, c.minor);
            const messageType_t typeBefore = message.getMessageType();
            Call call;
            EXPECT_EQ(call.run(message, c.op, form), c.status);
            EXPECT_EQ(call.minorStatus, c.minor);
            EXPECT_EQ(call.delivered(), "");
            EXPECT_EQ(recorded(message), std::make_tuple(kReady, c.status, c.minor));
            EXPECT_TRUE(heldBy(message) == c.input) << "the held message changed";
            EXPECT_EQ(message.getMessageType(), typeBefore);
            if (c.status == SMIME_BAD_MESSAGE) {
                EXPECT_EQ(pd::callNames(), std::vector<std::string>{});
            }
            if (c.providerMajor != 0) {
                EXPECT_EQ(Call().run(message, c.op, form), SMIME_OK) << "the next call works";
            }
        }
    }
}

// Delivery comes last: when the stream fails, the result is already held.
TEST_F(SMIMEMessageProtectionFailures, AFailingStreamGives13AfterTheResultIsHeld) {
    for (const auto& c : kOperations) {
        SCOPED_TRACE(scenario(c.name, c.op, Form::Stream));
        SMIMEMessage& message = ready(c.input);
        Call call(c.digest, c.strength);
        call.stream.setstate(std::ios::badbit);
        EXPECT_EQ(call.run(message, c.op, Form::Stream), SMIME_STREAM_ERROR);
        EXPECT_EQ(call.minorStatus, 0u);
        EXPECT_EQ(recorded(message), std::make_tuple(kReady, SMIME_STREAM_ERROR, 0u));
        const std::string held = heldBy(message);
        EXPECT_TRUE(held == withBoundaryOf(held, c.result));
    }
}

int failuresSoFar() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// Fails each allocation of one operation in turn, in place and into a
// buffer. Each failure gives 15, the provider's 10, or 22 for a message the
// parser could not take apart, or the operation does without it; the object
// holds the former message or, when only a step after the replacement failed,
// the result; nothing leaks; and the object can repeat the operation.
TEST_F(SMIMEMessageProtectionFailures, EveryAllocationFailureLeavesTheObjectSound) {
    for (const auto& c : kOperations) {
        const auto isResult = [&](const std::string& held) { return held == withBoundaryOf(held, c.result); };
        for (const Form form : {Form::InPlace, Form::Buffer}) {
            const int failuresBefore = failuresSoFar();
            int failed = 0;
            bool reached = true;
            for (int n = 1; reached && n <= 1000 && failuresSoFar() == failuresBefore; ++n) {
                SCOPED_TRACE(scenario(c.name, c.op, form) + ", allocation " + std::to_string(n));
                pd::reset();
                auto message = std::make_unique<SMIMEMessage>();
                logIn(*message);
                hold(*message, c.input);
                auto call = std::make_unique<Call>(c.digest, c.strength);
                unsigned status;
                {
                    MallocFailure failure(n);
                    status = call->run(*message, c.op, form);
                }
                reached = mallocCallsSinceArmed() >= n;
                const std::string delivered = call->delivered();
                const std::string held = heldBy(*message);
                EXPECT_TRUE(reached || status == SMIME_OK) << "status " << status;
                EXPECT_EQ(delivered, status == SMIME_OK && form == Form::Buffer ? held : "");
                if (status == SMIME_OK) {
                    EXPECT_TRUE(isResult(held)) << "held " << held.substr(0, 120);
                } else {
                    ++failed;
                    EXPECT_TRUE(status == SMIME_NO_MEMORY || status == SMIME_PROVIDER_FAILED ||
                                (!protects(c.op) && status == SMIME_BAD_MESSAGE))
                        << "status " << status;
                    EXPECT_EQ(call->minorStatus != 0, status == SMIME_PROVIDER_FAILED) << call->minorStatus;
                    EXPECT_TRUE(held == c.input || (status == SMIME_NO_MEMORY && isResult(held)))
                        << "held " << held.substr(0, 120);
                    if (held == c.input) {
                        EXPECT_EQ(Call(c.digest, c.strength).run(*message, c.op, form), SMIME_OK) << "usable after";
                    }
                }
                call.reset();
                message.reset();
                EXPECT_EQ(pd::outstanding(), baseline_) << ::testing::PrintToString(pd::outstandingObjects());
            }
            EXPECT_GE(failed, 2) << "the walk failed too few allocations to mean much";
        }
    }
}

} // namespace
