// The protection operations and the key-store login run once with each of
// their allocations failing in turn, with the OpenSSL provider linked into
// the program: the library's and the provider's own allocations are walked
// (OpenSSL's, inside its shared library, are not). A failure must give the
// status of memory running out (the provider's with its reason for it), leak
// nothing (the sanitizer build checks at exit), and leave the object able to
// do the same work again with an equivalent result.
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_walk.h"
#include "failing_malloc.h"
#include "smime_session.h"
#include "test_pki.h"

namespace {

using walk::Attempt;
using walk::failingNth;
using walk::Operation;

const std::string kText = "Content-Type: text/plain\r\n\r\nA short message to protect.\r\n";

// One credential for every object of the walk, acquired once: a login that
// read the key store for every attempt would be most of the run time.
struct SharedCredential {
    gss_buffer_desc* container = nullptr;
    void* credential = nullptr;

    SharedCredential() {
        const std::string& location = testpki::keyStoreFiles().aliceP12;
        const std::string password = testpki::KeyStoreFiles::kPassword;
        const gss_buffer_desc locationBuffer = {static_cast<OM_uint32>(location.size() + 1),
                                                const_cast<char*>(location.c_str())};
        const gss_buffer_desc passwordBuffer = {static_cast<OM_uint32>(password.size() + 1),
                                                const_cast<char*>(password.c_str())};
        OM_uint32 minor = 0;
        EXPECT_EQ(kivo_establish_creds(nullptr, &locationBuffer, &passwordBuffer, nullptr, &minor, &container), 0u);
        EXPECT_EQ(idup_acquire_cred_with_auth(nullptr, container, GSS_C_INDEFINITE, nullptr, nullptr, &minor,
                                              &credential, nullptr, nullptr, nullptr),
                  0u);
    }
    ~SharedCredential() {
        OM_uint32 minor = 0;
        prov_release_cred(&minor, &credential);
        prov_abolish_creds(&container, &minor);
    }
};

SharedCredential* g_shared = nullptr;

void logIn(SMIMEMessage& message) {
    unsigned minor = 0;
    EXPECT_EQ(message.login(g_shared->credential, &minor), 0u) << minor;
}

std::string certificate() { return testpki::certPem(testpki::standardPki().alice.cert.get()); }

// What unprotecting a message shows: the status, the content and who signed it.
std::string opened(const std::string& message) {
    SMIMEMessage m;
    logIn(m);
    setHeld(m, message);
    unsigned minor = 0;
    VerifyRecord record;
    const messageType_t type = m.getMessageType();
    const unsigned status = type == messageEnvelopedData ? m.decrypt(&minor) : m.verify(&record.info, &minor);
    return "kind " + std::to_string(type) + ", opened " + std::to_string(status) + " [" + heldMessage(m) +
           "], signer [" + (record.info.signer_subject.value != nullptr ? record.subject() : "") + "]";
}

enum class Act { Sign, ClearSign, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };

struct Request {
    std::string recipientPem = certificate();
    gss_buffer_desc recipient = viewOf(recipientPem);
    IDUP_Target_Info_desc targets = {1, &recipient, nullptr};
    VerifyRecord record;
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    unsigned minor = 0;

    ~Request() { std::free(buffer.value); }

    unsigned run(SMIMEMessage& m, Act act, Form form) {
        const auto call = [&](auto... output) -> unsigned {
            switch (act) {
            case Act::Sign:
                return m.sign(digestSHA256, output..., &minor);
            case Act::ClearSign:
                return m.signSignatureOnly(digestSHA256, output..., &minor);
            case Act::Encrypt:
                return m.encrypt(strengthAES128, &targets, output..., &minor);
            case Act::Verify:
                return m.verify(output..., &record.info, &minor);
            case Act::Decrypt:
                return m.decrypt(output..., &minor);
            }
            return ~0u;
        };
        if (form == Form::Buffer) return call(&buffer);
        if (form == Form::Stream) return call(static_cast<std::ostream*>(&stream));
        return call();
    }

    std::string delivered() const {
        return buffer.value != nullptr ? std::string(static_cast<const char*>(buffer.value), buffer.length)
                                       : stream.str();
    }
};

bool protects(Act act) { return act == Act::Sign || act == Act::ClearSign || act == Act::Encrypt; }

// Signatures carry their time and envelopes a fresh key, so a protected
// result is judged by what it opens to; an unprotected one is the content.
std::string describe(const Request& r, Act act, Form form, SMIMEMessage& m) {
    const std::string held = heldMessage(m);
    std::string shown = "minor " + std::to_string(r.minor) + ", ";
    if (form != Form::InPlace)
        shown += r.delivered() == held ? "delivered the held message, " : "delivered something else, ";
    if (!protects(act))
        return shown + "held [" + held + "], signer [" +
               (r.record.info.signer_subject.value != nullptr ? r.record.subject() : "") + "]";
    return shown + (held == kText ? "held the input" : "held " + opened(held));
}

Operation protection(const std::string& name, Act act, Form form, const std::string& input) {
    std::vector<unsigned> statuses = {SMIME_NO_MEMORY, SMIME_PROVIDER_FAILED};
    if (!protects(act)) statuses.push_back(SMIME_BAD_MESSAGE);
    if (form == Form::Stream) statuses.push_back(SMIME_STREAM_ERROR);
    return {name, statuses, [=](int n) {
                Attempt a;
                SMIMEMessage m;
                logIn(m);
                setHeld(m, input);
                Request r;
                a.reached = failingNth(n, [&] { a.status = r.run(m, act, form); });
                // The provider says why it failed: memory, not the message.
                if (a.status == SMIME_PROVIDER_FAILED) {
                    EXPECT_EQ(r.minor, unsigned{KIVO_R_NO_MEMORY});
                    r.minor = 0;
                }
                a.observed = describe(r, act, form, m);
                if (a.status != SMIME_OK) {
                    Request again;
                    if (heldMessage(m) == input) {
                        again.run(m, act, form);
                        a.retried = describe(again, act, form, m);
                    } else {
                        // Only the delivery failed: the result is held.
                        unsigned scratch = 0;
                        if (form == Form::Buffer) m.getMessage(&again.buffer, &scratch);
                        if (form == Form::Stream) m.getMessage(static_cast<std::ostream*>(&again.stream), &scratch);
                        again.minor = r.minor;
                        std::swap(again.record.info, r.record.info);
                        a.retried = describe(again, act, form, m);
                    }
                }
                return a;
            }};
}

// What a login leaves: the flags, the capability word and what the object
// can do with it.
Operation keyStoreLogin() {
    return {"SMIMEMessage::login(key store)", {SMIME_NO_MEMORY, SMIME_PROVIDER_FAILED}, [](int n) {
                const std::string& keyStore = testpki::keyStoreFiles().aliceP12;
                const auto show = [](SMIMEMessage& m, unsigned info) {
                    unsigned major = 0;
                    unsigned minor = 0;
                    const unsigned flags = m.getStatus(&major, &minor);
                    return "flags " + std::to_string(flags) + ", info " + std::to_string(info);
                };
                Attempt a;
                SMIMEMessage m;
                unsigned info = 0;
                unsigned minor = 0;
                a.reached = failingNth(n, [&] {
                    a.status = m.login(keyStore.c_str(), testpki::KeyStoreFiles::kPassword, "", &info, &minor);
                });
                if (a.status == SMIME_PROVIDER_FAILED) {
                    EXPECT_EQ(minor, unsigned{KIVO_R_NO_MEMORY});
                }
                a.observed = show(m, info);
                if (a.status != SMIME_OK) {
                    m.login(keyStore.c_str(), testpki::KeyStoreFiles::kPassword, "", &info, &minor);
                    a.retried = show(m, info);
                }
                return a;
            }};
}

class AllocationWalkOpenssl : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_shared = new SharedCredential; }
    static void TearDownTestSuite() {
        delete g_shared;
        g_shared = nullptr;
    }
};

// Made unfailed by the library; the walk opens them.
std::string protectedBy(Act act) {
    SMIMEMessage m;
    logIn(m);
    setHeld(m, kText);
    Request r;
    EXPECT_EQ(r.run(m, act, Form::InPlace), SMIME_OK) << r.minor;
    return heldMessage(m);
}

TEST_F(AllocationWalkOpenssl, ProtectionAndLoginSurviveEveryAllocationFailure) {
    const std::string signedData = protectedBy(Act::Sign);
    const std::string clearSigned = protectedBy(Act::ClearSign);
    const std::string enveloped = protectedBy(Act::Encrypt);
    walk::walkAll(
        {
            keyStoreLogin(),
            protection("SMIMEMessage::sign into a buffer", Act::Sign, Form::Buffer, kText),
            protection("SMIMEMessage::signSignatureOnly in place", Act::ClearSign, Form::InPlace, kText),
            protection("SMIMEMessage::encrypt to a stream", Act::Encrypt, Form::Stream, kText),
            protection("SMIMEMessage::verify signed data into a buffer", Act::Verify, Form::Buffer, signedData),
            protection("SMIMEMessage::verify clear-signed in place", Act::Verify, Form::InPlace, clearSigned),
            protection("SMIMEMessage::decrypt to a stream", Act::Decrypt, Form::Stream, enveloped),
        },
        [] {});
}

} // namespace
