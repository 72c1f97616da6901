// The protection operations' refusals and failures in their three output forms; the provider calls
// each login form and operation makes, and each of them failing in turn.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "provider_environment.h"
#include "provider_tap.h"
#include "smime_der.h"
#include "smime_session.h"
#include "trace_capture.h"

namespace {

constexpr unsigned kStale = 0xA5A5A5A5u, kHeld = SMIME_INITIALIZED | SMIME_MESSAGE_SET, kReady = kHeld | SMIME_LOGGED_IN;
const std::string kText = "Content-Type: text/plain\r\n\r\nTo be protected.\r\n";
const testpki::KeyStoreFiles& keys() { return testpki::keyStoreFiles(); }
using Names = std::vector<std::string>;
using Status = std::tuple<unsigned, unsigned, unsigned>;

enum class Op { Sign, SignatureOnly, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };
constexpr Op kOps[] = {Op::Sign, Op::SignatureOnly, Op::Encrypt, Op::Verify, Op::Decrypt};
constexpr Form kForms[] = {Form::Buffer, Form::Stream, Form::InPlace};
std::string scenario(const std::string& name, Op op, Form form) {
    static const char* const kOpNames[] = {"sign", "signSignatureOnly", "encrypt", "verify", "decrypt"};
    static const char* const kFormNames[] = {" into a buffer", " to a stream", " in place"};
    return name + ": " + kOpNames[static_cast<int>(op)] + kFormNames[static_cast<int>(form)];
}

// One call's sound arguments: alice (PEM) and bob (DER) as recipients, a record trusting the root.
struct Call {
    const testpki::StandardPki& pki = testpki::standardPki();
    std::string alice = testpki::certPem(pki.alice.cert.get()), bob = testpki::certDer(pki.bob.cert.get()), root = testpki::certPem(pki.root.cert.get());
    gss_buffer_desc certificates[2] = {viewOf(alice), viewOf(bob)}, buffer = {0, nullptr}, *output = &buffer;
    OM_uint32 statuses[2] = {99, 99};
    IDUP_Target_Info_desc recipients = {2, certificates, statuses}, *targets = &recipients;
    VerifyRecord record;
    IDUP_PIDU_Information_desc* info = &record.info;
    std::ostringstream stream;
    std::ostream* out = &stream;
    unsigned minorStatus = kStale, *minor = &minorStatus;
    digestAlgorithm_t digest = digestSHA256;
    encryptionAlgorithmStrength_t strength = strengthAES128;
    Call() { record.info.trust_anchors = viewOf(root); }
    ~Call() { std::free(buffer.value); }
    unsigned run(SMIMEMessage& m, Op op, Form form) {
        const auto call = [&](auto... output) -> unsigned { // the output argument, or none, picks the form
            switch (op) {
            case Op::Sign: return m.sign(digest, output..., minor);
            case Op::SignatureOnly: return m.signSignatureOnly(digest, output..., minor);
            case Op::Encrypt: return m.encrypt(strength, targets, output..., minor);
            case Op::Verify: return m.verify(output..., info, minor);
            case Op::Decrypt: return m.decrypt(output..., minor);
            }
            return ~0u;
        };
        return form == Form::Buffer ? call(output) : form == Form::Stream ? call(out) : call();
    }
    std::string delivered() { return buffer.value != nullptr ? take(buffer) : stream.str(); }
};

// Every test gives back every provider object it caused, its objects destroyed.
class SMIMEMessageProtection : public tap::Test {
protected:
    void TearDown() override { objects_.clear(), tap::Test::TearDown(); }
    SMIMEMessage& ready(const std::string& bytes) {
        SMIMEMessage& message = *objects_.emplace_back(std::make_unique<SMIMEMessage>());
        loginWith(message, keys().aliceP12);
        setHeld(message, bytes);
        return message;
    }
    SMIMEMessage& protectedBy(Op step) {
        SMIMEMessage& message = ready(kText);
        EXPECT_EQ(Call().run(message, step, Form::InPlace), SMIME_OK);
        return message;
    }
    std::vector<std::unique_ptr<SMIMEMessage>> objects_;
};
using SMIMEMessageProvider = SMIMEMessageProtection;

enum class Spoil { Nothing, NullMinor, NullOutput, NullTargets, NullInfo, NoVerifyFlags, UsedValue, UsedLength };
bool applies(Spoil spoil, Op op, Form form) {
    if (spoil == Spoil::NullOutput) return form != Form::InPlace;
    if (spoil == Spoil::UsedValue || spoil == Spoil::UsedLength) return form == Form::Buffer;
    if (spoil == Spoil::NullTargets) return op == Op::Encrypt;
    return (spoil != Spoil::NullInfo && spoil != Spoil::NoVerifyFlags) || op == Op::Verify;
}

// Every refusal in every operation and form, in its order: a minor status of
// 0, the outcome recorded, no provider call, held message and output untouched.
TEST_F(SMIMEMessageProtection, RefusesInOrderAndTouchesNothing) {
    const struct { const char* name; Spoil spoil; bool loggedIn, holdsMessage; unsigned status; } cases[] = {
        {"null minor, before any state check", Spoil::NullMinor, false, false, 16},
        {"null output, before any state check", Spoil::NullOutput, false, false, 16},
        {"null targets, before any state check", Spoil::NullTargets, false, false, 16},
        {"null record, before any state check", Spoil::NullInfo, false, false, 16},
        {"record asking for no check, before any state check", Spoil::NoVerifyFlags, false, false, 16},
        {"not logged in, even without a message", Spoil::Nothing, false, false, 19},
        {"not logged in, even with a used output", Spoil::UsedLength, false, true, 19},
        {"logged in without a message", Spoil::Nothing, true, false, 21},
        {"no message, even with a used output", Spoil::UsedValue, true, false, 21},
        {"output {0, value}", Spoil::UsedValue, true, true, 20},
        {"output {5, NULL}", Spoil::UsedLength, true, true, 20},
    };
    const ProviderEnvironment alice(keys().aliceP12);
    for (const auto& c : cases)
        for (const Op op : kOps)
            for (const Form form : kForms) {
                if (!applies(c.spoil, op, form)) continue;
                SCOPED_TRACE(scenario(c.name, op, form));
                SMIMEMessage message;
                unsigned scratch = 0;
                if (c.loggedIn) { ASSERT_EQ(message.login(alice.credential(), &scratch), SMIME_OK); }
                if (c.holdsMessage) setHeld(message, kText);
                const unsigned flagsBefore = std::get<0>(statusOf(message));
                tap::reset();
                Call call;
                char byte = 'x';
                gss_buffer_desc used = {c.spoil == Spoil::UsedLength ? 5u : 0u, c.spoil == Spoil::UsedValue ? &byte : nullptr};
                const gss_buffer_desc usedBefore = used;
                if (c.spoil == Spoil::NoVerifyFlags) call.record.info.verify_flags = 0;
                if (c.spoil == Spoil::UsedValue || c.spoil == Spoil::UsedLength) call.output = &used;
                if (c.spoil == Spoil::NullOutput) call.output = nullptr, call.out = nullptr;
                if (c.spoil == Spoil::NullTargets) call.targets = nullptr;
                if (c.spoil == Spoil::NullInfo) call.info = nullptr;
                if (c.spoil == Spoil::NullMinor) call.minor = nullptr;
                EXPECT_EQ(call.run(message, op, form), c.status);
                EXPECT_EQ(std::make_tuple(call.minorStatus, statusOf(message), tap::names(), call.delivered()),
                          std::make_tuple(c.spoil == Spoil::NullMinor ? kStale : 0u, Status(flagsBefore, c.status, 0), Names{}, std::string()));
                EXPECT_TRUE(used.length == usedBefore.length && used.value == usedBefore.value && (!c.holdsMessage || heldMessage(message) == kText));
            }
}

// A failed operation keeps the message and delivers nothing: 22 before the provider is asked;
// a refusing provider 10 with its reason, and the next call works.
TEST_F(SMIMEMessageProtection, KeepsTheMessageWhenThereIsNothingToDeliver) {
    const std::string signedText = heldMessage(protectedBy(Op::Sign)), clearSigned = heldMessage(protectedBy(Op::SignatureOnly));
    const std::string enveloped = heldMessage(protectedBy(Op::Encrypt));
    const std::size_t signature = clearSigned.find("Content-Type: application/pkcs7-signature");
    const std::string cut = clearSigned.substr(0, signature), header = signedText.substr(0, signedText.find("\r\n\r\n") + 4);
    const std::string lone = clearSigned.substr(signature, clearSigned.find("\r\n--", signature) - signature);
    const testpki::Identity& alice = testpki::standardPki().alice;
    const std::string overNothing = base64Part("application/pkcs7-signature", "smime.p7s",
                                               opensslCms(false, alice.cert.get(), alice.key.get(), "", CMS_BINARY | CMS_DETACHED));
    const auto relabelled = [](std::string text, const std::string& label, const std::string& as) {
        return text.replace(text.find(label), label.size(), as);
    };
    const struct {
        const char* name; Op op; std::string input; unsigned status; OM_uint32 minor;
        std::optional<OM_uint32> injected; // what the provider's call gives instead, the tap standing in
    } cases[] = {
        {"enveloped data", Op::Verify, enveloped, 22, 0, std::nullopt},
        {"opaque signed data", Op::Decrypt, signedText, 22, 0, std::nullopt},
        {"a clear-signed message", Op::Decrypt, clearSigned, 22, 0, std::nullopt},
        {"plain text", Op::Verify, kText, 22, 0, std::nullopt},
        {"no Content-Type", Op::Decrypt, "Subject: hello\r\n\r\nbody\r\n", 22, 0, std::nullopt},
        {"signed data whose body is not base64", Op::Verify, header + "!!!!", 22, 0, std::nullopt},
        {"a clear-signed message cut after its content", Op::Verify, cut, 22, 0, std::nullopt},
        {"a lone signature over other content", Op::Verify, lone, 10, KIVO_R_SIGNATURE_INVALID, std::nullopt},
        {"a lone signature over no content", Op::Verify, overNothing, 0, 0, std::nullopt},
        {"enveloped data labelled signed-data", Op::Verify, relabelled(enveloped, "enveloped-data", "signed-data"), 22, 0, std::nullopt},
        {"enveloped data without smime-type", Op::Verify, relabelled(enveloped, "smime-type=enveloped-data;", ""), 22, 0, std::nullopt},
        {"signed data labelled enveloped-data", Op::Decrypt, relabelled(signedText, "signed-data", "enveloped-data"), 22, 0, std::nullopt},
        {"signed data without smime-type", Op::Decrypt, relabelled(signedText, "smime-type=signed-data;", ""), 22, 0, std::nullopt},
        {"signed data, the provider giving no content", Op::Verify, signedText, 0, 0, GSS_S_COMPLETE},
        {"enveloped data, the provider giving no content", Op::Decrypt, enveloped, 0, 0, GSS_S_COMPLETE},
        {"plain text", Op::SignatureOnly, kText, 10, KIVO_R_NO_PRIVATE_KEY, GSS_S_NO_CRED},
        {"opaque signed data", Op::Verify, signedText, 10, KIVO_R_SIGNER_NOT_TRUSTED, GSS_S_FAILURE},
    };
    for (const auto& c : cases)
        for (const Form form : kForms) {
            SCOPED_TRACE(scenario(c.name, c.op, form));
            SMIMEMessage& message = ready(c.input);
            const messageType_t typeBefore = message.getMessageType();
            tap::reset();
            if (c.injected) tap::failAt(c.op == Op::Verify || c.op == Op::Decrypt ? "prov_unprotect_over" : "prov_protect", 1, *c.injected, c.minor);
            Call call;
            EXPECT_EQ(call.run(message, c.op, form), c.status);
            EXPECT_EQ(std::make_tuple(call.minorStatus, call.delivered(), statusOf(message), message.getMessageType()),
                      std::make_tuple(c.minor, std::string(), Status(kReady, c.status, c.minor), typeBefore));
            EXPECT_TRUE(heldMessage(message) == c.input) << "the held message changed";
            if (c.status == SMIME_BAD_MESSAGE) { EXPECT_EQ(tap::names(), Names{}); }
            if (c.injected) { EXPECT_EQ(Call().run(message, c.op, form), SMIME_OK) << "the next call works"; }
        }
    // Delivery comes last: when the stream fails, the result is already held.
    const std::pair<Op, Op> streams[] = {{Op::Sign, Op::Sign}, {Op::Verify, Op::Sign}, {Op::Encrypt, Op::Encrypt}, {Op::Decrypt, Op::Encrypt}};
    for (const auto& [op, from] : streams) {
        SCOPED_TRACE(scenario("a stream in its bad state", op, Form::Stream));
        const bool unprotects = op == Op::Verify || op == Op::Decrypt;
        SMIMEMessage& message = unprotects ? protectedBy(from) : ready(kText);
        Call call;
        call.stream.setstate(std::ios::badbit);
        EXPECT_EQ(call.run(message, op, Form::Stream), SMIME_STREAM_ERROR);
        EXPECT_EQ(std::make_tuple(call.minorStatus, statusOf(message)), std::make_tuple(0u, Status(kReady, SMIME_STREAM_ERROR, 0)));
        EXPECT_EQ(heldMessage(message) == kText, unprotects) << "the result is held";
    }
}

// The provider's calls as "name args", a trailing '!' when its failure writes "<name> failed.".
Names credentialCalls(const std::string& principal) {
    return {"gss_import_name " + principal + " type=1!", "gss_create_empty_oid_set!", "gss_add_oid_set_member 7!",
            "idup_acquire_cred_with_auth name time=4294967295 mechs={7} usage=120!", "prov_release_name", "prov_free_buffer_desc",
            "prov_release_oid_set", "prov_release_oid_set", "prov_free_buffer_desc", "prov_free_buffer_desc"};
}
Names operator+(Names first, const Names& second) { return first.insert(first.end(), second.begin(), second.end()), first; }
const Names kEnvironmentCalls = {"gss_create_empty_oid_set", "gss_create_empty_oid_set", "gss_add_oid_set_member 22",
    "gss_add_oid_set_member 24", "gss_add_oid_set_member 28", "gss_add_oid_set_member 30",
    "prov_establish_env mech=7 protect=7 flags=0 services={22,24,28,30} unsupported={}", "prov_release_oid_set",
    "prov_release_oid_set", "prov_release_env_output", "prov_release_env_output"};

// One object's run through a row; bob's environment serves the container and credential logins.
struct Session {
    explicit Session(const ProviderEnvironment& b) : bob(b) {}
    const ProviderEnvironment& bob;
    std::unique_ptr<SMIMEMessage> object = std::make_unique<SMIMEMessage>();
    unsigned info = 0, minor = kStale;
    Call call; // outlives the record, so that its own releases stay out of it
};
using Step = std::function<unsigned(Session&)>;
struct ProviderCase { std::string name; Step prepare, act; Names calls; }; // prepare runs before the record starts

Step holding(std::optional<Op> step) {
    return [step](Session& s) {
        loginWith(*s.object, keys().aliceP12);
        setHeld(*s.object, kText);
        return step ? Call().run(*s.object, *step, Form::InPlace) : 0u;
    };
}
Step running(Op op, digestAlgorithm_t digest) {
    return [op, digest](Session& s) {
        s.call.digest = digest;
        s.call.strength = strengthAES192;
        const unsigned status = s.call.run(*s.object, op, Form::InPlace);
        return s.minor = s.call.minorStatus, status;
    };
}

// The one table of what each login form and operation asks of the provider.
std::vector<ProviderCase> providerCases() {
    const std::string store = keys().aliceP12;
    const Step none = [](Session&) { return 0u; }, logout = [](Session& s) { return s.object->logout(&s.minor); };
    const Step formOne = [store](Session& s) {
        return s.object->login(store.c_str(), testpki::KeyStoreFiles::kPassword, "alice@example.com", &s.info, &s.minor);
    };
    const Step formTwo = [](Session& s) { return s.object->login(s.bob.container(), "bob@example.com", &s.info, &s.minor); };
    const Step formThree = [](Session& s) { return s.object->login(s.bob.credential(), &s.minor); };
    return {
        {"login with a key store", none, formOne, Names{"kivo_establish_creds " + store + " test pass 1 type=1!"} + credentialCalls("alice@example.com") + kEnvironmentCalls},
        {"login with a container", none, formTwo, credentialCalls("bob@example.com") + kEnvironmentCalls},
        {"login with a credential", none, formThree, kEnvironmentCalls},
        {"logout after a key store login", formOne, logout, {"prov_abolish_env", "prov_release_cred", "prov_abolish_creds"}},
        {"logout after a container login", formTwo, logout, {"prov_abolish_env", "prov_release_cred"}},
        {"logout after a credential login", formThree, logout, {"prov_abolish_env"}},
        {"destroyed holding a message", holding({}), [](Session& s) { return s.object.reset(), 0u; },
         {"prov_release_buffer", "prov_abolish_env", "prov_release_cred", "prov_abolish_creds"}},
        // The result is written over the held message's block: only the
        // tokens (and the signature part made of one) go back to the provider.
        {"sign", holding({}), running(Op::Sign, digestSHA1), {"prov_protect op=1 digest=768 strength=0 reserved=0 targets=null", "prov_release_buffer"}},
        {"clear-sign", holding({}), running(Op::SignatureOnly, digestSHA384),
         {"prov_protect op=7 digest=1280 strength=0 reserved=0 targets=null", "prov_release_buffer", "prov_release_buffer"}},
        {"encrypt", holding({}), running(Op::Encrypt, digestSHA256), {"prov_protect op=2 digest=0 strength=192 reserved=0 targets=2", "prov_release_buffer"}},
        {"verify signed data", holding(Op::Sign), running(Op::Verify, digestSHA256), {"prov_unprotect_over token flags=3", "prov_release_buffer"}},
        // The held message's block becomes its signed part.
        {"verify a clear-signed message", holding(Op::SignatureOnly), running(Op::Verify, digestSHA256),
         {"prov_unprotect token detached flags=3"}},
        {"decrypt", holding(Op::Encrypt), running(Op::Decrypt, digestSHA256),
         {"prov_create_pidu_info", "prov_unprotect_over token flags=3", "prov_release_pidu_info", "prov_release_buffer"}},
    };
}

std::string nameOf(const std::string& call) { return call.substr(0, std::min(call.find(' '), call.find('!'))); }
bool isRelease(const std::string& call) {
    return call.rfind("prov_release", 0) == 0 || call.rfind("prov_free", 0) == 0 || call.rfind("prov_abolish", 0) == 0;
}

// Each row makes exactly its calls; then each non-release fails in turn: 10 with its minor status (15
// when no record can be made), only clean-up after it, the message kept, and nothing left outstanding.
TEST_F(SMIMEMessageProvider, EachCallIsMadeAndEachFailingCallGivesItsStatusAndLeavesNothingOutstanding) {
    const ProviderEnvironment bob(keys().bobP12);
    const std::size_t outstanding = tap::outstanding();
    for (const auto& c : providerCases()) {
        Names expected;
        for (const auto& call : c.calls) expected.push_back(call.back() == '!' ? call.substr(0, call.size() - 1) : call);
        for (std::size_t i = 0; i <= c.calls.size(); ++i) {
            const bool walking = i < c.calls.size(), tracedFailure = walking && c.calls[i].back() == '!';
            const std::string failing = walking ? nameOf(c.calls[i]) : "";
            if (walking && isRelease(failing)) continue;
            int occurrence = 0;
            for (std::size_t k = 0; k <= i && walking; ++k) occurrence += nameOf(c.calls[k]) == failing ? 1 : 0;
            SCOPED_TRACE(c.name + (walking ? ", " + failing + " #" + std::to_string(occurrence) + " failing" : ""));
            {
                Session session(bob);
                ASSERT_EQ(c.prepare(session), SMIME_OK);
                const std::string held = heldMessage(*session.object);
                tap::reset();
                const OM_uint32 planned = 0x4000 + static_cast<OM_uint32>(i);
                if (walking) tap::failAt(failing, occurrence, GSS_S_FAILURE, planned);
                const bool noRecord = failing == "prov_create_pidu_info";
                const unsigned status = !walking ? SMIME_OK : noRecord ? SMIME_NO_MEMORY : SMIME_PROVIDER_FAILED;
                TraceCapture capture(0x400, VekTrace::kLevelInfo);
                EXPECT_EQ(c.act(session), status);
                if (!walking) { EXPECT_EQ(tap::calls(), expected); continue; }
                Names failures;
                for (const auto& text : capture.texts(VekTrace::kLevelInfo))
                    if (text.size() > 7 && text.compare(text.size() - 7, 7, "failed.") == 0) failures.push_back(text);
                const auto [flags, major, shownMinor] = statusOf(*session.object);
                EXPECT_EQ(std::make_tuple(failures, session.minor, major, shownMinor),
                          std::make_tuple(tracedFailure ? Names{failing + " failed."} : Names{}, noRecord ? 0u : planned, status, session.minor)) << flags;
                const auto names = tap::names();
                for (std::size_t k = i + 1; k < names.size(); ++k) EXPECT_TRUE(isRelease(names[k])) << names[k];
                EXPECT_EQ(heldMessage(*session.object), held);
                EXPECT_EQ(c.act(session), SMIME_OK) << "the same call works next time";
            }
            EXPECT_EQ(tap::outstanding(), outstanding);
        }
    }
}

// A failing release: every step still runs, 10 with the last failing step's minor status,
// and the object stays logged in so that the next logout retries what is left.
TEST_F(SMIMEMessageProvider, AFailingReleaseGives10AndTheNextLogoutRetriesWhatIsLeft) {
    for (const bool containerFails : {false, true}) {
        SCOPED_TRACE(containerFails ? "environment and container" : "environment");
        SMIMEMessage& object = ready(kText);
        tap::reset();
        tap::failAt("prov_abolish_env", 1, GSS_S_FAILURE, 0x71);
        if (containerFails) tap::failAt("prov_abolish_creds", 1, GSS_S_FAILURE, 0x73);
        const unsigned lastMinor = containerFails ? 0x73 : 0x71;
        unsigned minor = kStale;
        EXPECT_EQ(object.logout(&minor), SMIME_PROVIDER_FAILED);
        EXPECT_EQ(std::make_tuple(minor, tap::names(), statusOf(object)),
                  std::make_tuple(lastMinor, Names{"prov_abolish_env", "prov_release_cred", "prov_abolish_creds"}, Status(kReady, 10, lastMinor)));
        tap::reset();
        EXPECT_EQ(object.logout(&minor), SMIME_OK);
        EXPECT_EQ(std::make_tuple(minor, tap::names(), statusOf(object)),
                  std::make_tuple(0u, containerFails ? Names{"prov_abolish_env", "prov_abolish_creds"} : Names{"prov_abolish_env"}, Status(kHeld, 0, 0)));
    }
}

} // namespace
