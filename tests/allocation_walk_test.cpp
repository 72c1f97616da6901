// Every public operation of the library, run once with each of its
// allocations failing in turn (malloc, calloc, realloc and operator new),
// from a fresh state each time, against the test provider. A failure must
// give the status the operation reports for memory running out, leak
// nothing, and leave the object able to do the same work again with the
// result of a run in which nothing failed.
//
// The test provider's own allocations are left out: every provider function
// reaches the test provider through a wrapper that pauses the failures (the
// linker routes the calls there, see tests/CMakeLists.txt), so the walk is
// through the library's allocations alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_walk.h"
#include "failing_malloc.h"
#include "gss_buffers.h"
#include "provider_double.h"
#include "random_bytes.h"
#include "temp_dir.h"
#include "vek4kivosmime.h"
#include "vektrace.h"

namespace pd = provider_double;

#define SHIELDED(Result, name, params, args)                                                                       \
    extern "C" Result __real_##name params;                                                                        \
    extern "C" Result __wrap_##name params {                                                                       \
        const AllocationFailurePause pause;                                                                        \
        return __real_##name args;                                                                                 \
    }

SHIELDED(OM_uint32, kivo_establish_creds,
         (void* r, const gss_buffer_desc* l, const gss_buffer_desc* p, gss_OID t, OM_uint32* m, gss_buffer_desc** c),
         (r, l, p, t, m, c))
SHIELDED(OM_uint32, kivo_import_creds,
         (const gss_buffer_desc* k, const gss_buffer_desc* p, OM_uint32* m, gss_buffer_desc** c), (k, p, m, c))
SHIELDED(OM_uint32, prov_abolish_creds, (gss_buffer_desc** c, OM_uint32* m), (c, m))
SHIELDED(OM_uint32, gss_import_name, (OM_uint32* m, const gss_buffer_desc* n, gss_OID t, gss_name_t* o),
         (m, n, t, o))
SHIELDED(OM_uint32, prov_release_name, (OM_uint32* m, gss_name_t* n), (m, n))
SHIELDED(OM_uint32, idup_acquire_cred_with_auth,
         (gss_name_t n, const gss_buffer_desc* c, OM_uint32 t, gss_OID_set d, const gss_buffer_desc* u, OM_uint32* m,
          void** o, gss_OID_set* a, gss_buffer_desc** i, OM_uint32* r),
         (n, c, t, d, u, m, o, a, i, r))
SHIELDED(OM_uint32, prov_release_cred, (OM_uint32* m, void** c), (m, c))
SHIELDED(OM_uint32, prov_establish_env,
         (const void* c, gss_OID mt, gss_OID pm, OM_uint32 f, gss_OID_set s, OM_uint32* m, void** e,
          kivo_env_output_t* a, kivo_env_output_t* b, OM_uint32* t, gss_OID_set u),
         (c, mt, pm, f, s, m, e, a, b, t, u))
SHIELDED(OM_uint32, prov_abolish_env, (void** e, OM_uint32* m), (e, m))
SHIELDED(OM_uint32, prov_release_env_output, (OM_uint32* m, kivo_env_output_t* o), (m, o))
SHIELDED(OM_uint32, prov_protect,
         (void* e, const IDUP_Protect_Request_desc* r, IDUP_Target_Info_desc* t, const gss_buffer_desc* i,
          OM_uint32* m, gss_buffer_desc* k, gss_buffer_desc* d),
         (e, r, t, i, m, k, d))
SHIELDED(OM_uint32, prov_unprotect,
         (void* e, const gss_buffer_desc* k, const gss_buffer_desc* d, OM_uint32* m, gss_buffer_desc* c,
          IDUP_PIDU_Information_desc* i),
         (e, k, d, m, c, i))
SHIELDED(IDUP_PIDU_Information_desc*, prov_create_pidu_info, (OM_uint32* m), (m))
SHIELDED(OM_uint32, prov_release_pidu_info, (OM_uint32* m, IDUP_PIDU_Information_desc** i), (m, i))
SHIELDED(OM_uint32, gss_create_empty_oid_set, (OM_uint32* m, gss_OID_set* s), (m, s))
SHIELDED(OM_uint32, gss_add_oid_set_member, (OM_uint32* m, gss_OID o, gss_OID_set* s), (m, o, s))
SHIELDED(OM_uint32, prov_release_oid_set, (OM_uint32* m, gss_OID_set* s), (m, s))
SHIELDED(OM_uint32, prov_release_buffer, (OM_uint32* m, gss_buffer_desc* b), (m, b))
SHIELDED(OM_uint32, prov_free_buffer_desc, (OM_uint32* m, gss_buffer_desc** b), (m, b))
SHIELDED(OM_uint32, kivo_display_status, (OM_uint32 r, gss_buffer_desc* t), (r, t))

namespace {

using walk::Attempt;
using walk::failingNth;
using walk::Operation;

constexpr unsigned kUntouched = 0xA5A5A5A5u;
const std::string kText = "Content-Type: text/plain\r\n\r\nA short message to protect.\r\n";

std::string textOf(const gss_buffer_desc& buffer) {
    return buffer.value == nullptr ? std::string() : std::string(static_cast<const char*>(buffer.value), buffer.length);
}

std::string number(unsigned value) { return std::to_string(value); }

// A boundary is "boundary" and three letters drawn from the clock, so two
// runs a second apart differ there and nowhere else.
std::string withoutBoundaryTags(std::string text) {
    for (std::size_t at = text.find("boundary"); at != std::string::npos; at = text.find("boundary", at + 1)) {
        if (text.size() - at < 11) break;
        bool tag = true;
        for (std::size_t i = at + 8; i < at + 11; ++i) tag = tag && text[i] >= 'A' && text[i] <= 'P';
        if (tag) text.replace(at + 8, 3, "???");
    }
    return text;
}

std::string heldBy(SMIMEMessage& message) {
    gss_buffer_desc copy = {0, nullptr};
    unsigned minor = 0;
    return message.getMessage(&copy, &minor) == SMIME_OK ? take(copy) : "<none>";
}

// The flags getStatus shows and the held message.
std::string stateOf(SMIMEMessage& message) {
    unsigned major = 0;
    unsigned minor = 0;
    const unsigned flags = message.getStatus(&major, &minor);
    return "flags " + number(flags) + ", held [" + withoutBoundaryTags(heldBy(message)) + "]";
}

unsigned logIn(SMIMEMessage& message) {
    unsigned info = 0;
    unsigned minor = 0;
    return message.login("keys.p12", "secret", "alice", &info, &minor);
}

unsigned hold(SMIMEMessage& message, const std::string& bytes) {
    const gss_buffer_desc in = viewOf(bytes);
    unsigned minor = 0;
    return message.setMessage(&in, &minor);
}

const TempDir& folder() {
    static const TempDir dir;
    return dir;
}

// --- protection and unprotection ------------------------------------------------

enum class Act { Sign, ClearSign, Encrypt, Verify, Decrypt };
enum class Form { Buffer, Stream, InPlace };

// One call's arguments and what it hands back.
struct Request {
    std::string certificate = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    gss_buffer_desc recipient = viewOf(certificate);
    OM_uint32 recipientStatus = 99;
    IDUP_Target_Info_desc targets = {1, &recipient, &recipientStatus};
    IDUP_PIDU_Information_desc record{};
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    unsigned minor = kUntouched;

    Request() { record.verify_flags = KIVO_VERIFY_SIGNATURE; }
    ~Request() {
        OM_uint32 scratch = 0;
        if (record.signer_subject.value != nullptr) prov_release_buffer(&scratch, &record.signer_subject);
        std::free(buffer.value);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    unsigned run(SMIMEMessage& m, Act act, Form form) {
        const auto call = [&](auto... output) -> unsigned {
            switch (act) {
            case Act::Sign:
                return m.sign(digestSHA256, output..., &minor);
            case Act::ClearSign:
                return m.signSignatureOnly(digestSHA1, output..., &minor);
            case Act::Encrypt:
                return m.encrypt(strengthAES128, &targets, output..., &minor);
            case Act::Verify:
                return m.verify(output..., &record, &minor);
            case Act::Decrypt:
                return m.decrypt(output..., &minor);
            }
            return ~0u;
        };
        if (form == Form::Buffer) return call(&buffer);
        if (form == Form::Stream) return call(static_cast<std::ostream*>(&stream));
        return call();
    }

    // Hands the held message out in the form a successful run delivers it.
    void deliverHeld(SMIMEMessage& m, Form form) {
        unsigned scratch = 0;
        if (form == Form::Buffer) m.getMessage(&buffer, &scratch);
        if (form == Form::Stream) m.getMessage(static_cast<std::ostream*>(&stream), &scratch);
    }

    std::string delivered() const { return buffer.value != nullptr ? textOf(buffer) : stream.str(); }
};

// What the caller got (output from one request, the words the call wrote
// from another) and what the object holds.
std::string describe(const Request& output, const Request& call, SMIMEMessage& m) {
    return "delivered [" + withoutBoundaryTags(output.delivered()) + "], minor " + number(call.minor) + ", signer [" +
           textOf(call.record.signer_subject) + "], recipient status " + number(call.recipientStatus) + ", " +
           stateOf(m);
}

Operation protection(const std::string& name, Act act, Form form, const std::string& input) {
    const bool unprotects = act == Act::Verify || act == Act::Decrypt;
    std::vector<unsigned> statuses = {SMIME_NO_MEMORY};
    // Every failure to take the message apart reads as a message that cannot be.
    if (unprotects) statuses.push_back(SMIME_BAD_MESSAGE);
    if (form == Form::Stream) statuses.push_back(SMIME_STREAM_ERROR);
    return {name, statuses, [=](int n) {
                Attempt a;
                SMIMEMessage m;
                EXPECT_EQ(logIn(m), SMIME_OK);
                EXPECT_EQ(hold(m, input), SMIME_OK);
                Request r;
                a.reached = failingNth(n, [&] { a.status = r.run(m, act, form); });
                a.observed = describe(r, r, m);
                if (a.status == SMIME_OK) return a;
                Request again;
                if (heldBy(m) == input) {
                    again.run(m, act, form);
                    a.retried = describe(again, again, m);
                } else {
                    // The result took the message's place and only the
                    // delivery failed: the result can still be asked for.
                    again.deliverHeld(m, form);
                    a.retried = describe(again, r, m);
                }
                return a;
            }};
}

// Messages of each kind, made once by the library with the test provider.
struct Protected {
    std::string signedData;
    std::string clearSigned;
    std::string enveloped;
};

const Protected& protectedMessages() {
    static const Protected made = [] {
        Protected p;
        for (const Act act : {Act::Sign, Act::ClearSign, Act::Encrypt}) {
            SMIMEMessage m;
            EXPECT_EQ(logIn(m), SMIME_OK);
            EXPECT_EQ(hold(m, kText), SMIME_OK);
            Request r;
            EXPECT_EQ(r.run(m, act, Form::InPlace), SMIME_OK);
            (act == Act::Sign ? p.signedData : act == Act::ClearSign ? p.clearSigned : p.enveloped) = heldBy(m);
        }
        return p;
    }();
    return made;
}

std::vector<Operation> protectionOperations() {
    const Protected& p = protectedMessages();
    struct Row {
        const char* name;
        Act act;
        const std::string& input;
    };
    const Row rows[] = {
        {"sign", Act::Sign, kText},
        {"signSignatureOnly", Act::ClearSign, kText},
        {"encrypt", Act::Encrypt, kText},
        {"verify signed data", Act::Verify, p.signedData},
        {"verify clear-signed", Act::Verify, p.clearSigned},
        {"decrypt", Act::Decrypt, p.enveloped},
    };
    const std::pair<Form, const char*> forms[] = {
        {Form::Buffer, " into a buffer"}, {Form::Stream, " to a stream"}, {Form::InPlace, " in place"}};
    std::vector<Operation> operations;
    for (const Row& row : rows)
        for (const auto& [form, formName] : forms)
            operations.push_back(protection(std::string("SMIMEMessage::") + row.name + formName, row.act, form,
                                            row.input));
    return operations;
}

// --- the message object: construction, input and output, login ---------------------

// What an object can do afterwards: log in, hold the text unless it holds
// a message, sign it and verify it back.
std::string useOf(SMIMEMessage& m) {
    unsigned major = 0;
    unsigned minor = 0;
    const unsigned flags = m.getStatus(&major, &minor);
    std::string steps = "flags " + number(flags) + ", major " + number(major) + ", login " + number(logIn(m));
    if ((flags & SMIME_MESSAGE_SET) == 0) steps += ", set " + number(hold(m, kText));
    Request r;
    steps += ", sign " + number(m.sign(digestSHA256, &minor));
    steps += ", verify " + number(m.verify(&r.record, &minor));
    return steps + ", " + stateOf(m);
}

// The inputs a constructor may take, made before allocations are counted.
struct Source {
    gss_buffer_desc buffer = viewOf(kText);
    std::istringstream stream{kText};
    std::string file = folder().write("constructor input", kText);
};

template <typename Make>
Operation construction(const std::string& name, Make make) {
    return {name, {SMIME_NO_MEMORY}, [=](int n) {
                Attempt a;
                Source source;
                std::optional<SMIMEMessage> m;
                a.reached = failingNth(n, [&] { make(m, source); });
                unsigned minor = 0;
                m->getStatus(&a.status, &minor);
                a.observed = useOf(*m);
                if (a.status != SMIME_OK) {
                    Source again;
                    std::optional<SMIMEMessage> other;
                    make(other, again);
                    a.retried = useOf(*other);
                }
                return a;
            }};
}

// Where a call's results go: made before the counted call, read after it,
// so that the call is all that allocates while allocations are counted.
struct Outputs {
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    std::istringstream input{kText};
    std::string file = folder().file("output");
    unsigned value = kUntouched;
    unsigned minor = kUntouched;

    Outputs() { std::remove(file.c_str()); }
    ~Outputs() { std::free(buffer.value); }
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;

    std::string shown() const {
        return "buffer [" + withoutBoundaryTags(textOf(buffer)) + "], stream [" +
               withoutBoundaryTags(stream.str()) + "], file [" + TempDir::read(file) + "], value " + number(value) +
               ", minor " + number(minor);
    }
};

// An operation on an object prepared by ready; a failure is retried on the
// same object, and show tells what the object is like afterwards.
template <typename Object, typename Ready, typename Run, typename Show>
Operation onObject(const std::string& name, std::vector<unsigned> statuses, Ready ready, Run run, Show show,
                   unsigned unfailed = SMIME_OK) {
    Operation op{name, std::move(statuses), nullptr, unfailed};
    op.attempt = [=](int n) {
        Attempt a;
        Object object;
        ready(object);
        Outputs out;
        a.reached = failingNth(n, [&] { a.status = run(object, out); });
        a.observed = out.shown() + "; " + show(object);
        if (a.status != unfailed) {
            Outputs again;
            run(object, again);
            a.retried = again.shown() + "; " + show(object);
        }
        return a;
    };
    return op;
}

template <typename Ready, typename Run>
Operation onMessage(const std::string& name, std::vector<unsigned> statuses, Ready ready, Run run,
                    unsigned unfailed = SMIME_OK) {
    return onObject<SMIMEMessage>(name, std::move(statuses), ready, run, stateOf, unfailed);
}

// Provider objects the object holds: what its login made.
std::string providerObjects(std::size_t before) {
    return "provider objects " + std::to_string(pd::outstanding() - before);
}

std::vector<Operation> messageObjectOperations() {
    const auto nothing = [](SMIMEMessage&) {};
    const auto holding = [](SMIMEMessage& m) { EXPECT_EQ(hold(m, kText), SMIME_OK); };
    const auto holdingSigned = [](SMIMEMessage& m) { EXPECT_EQ(hold(m, protectedMessages().signedData), SMIME_OK); };
    const auto loggedIn = [](SMIMEMessage& m) { EXPECT_EQ(logIn(m), SMIME_OK); };
    const std::string inputFile = folder().write("input", kText);

    std::vector<Operation> ops = {
        construction("SMIMEMessage()", [](std::optional<SMIMEMessage>& m, Source&) { m.emplace(); }),
        construction("SMIMEMessage(buffer)", [](std::optional<SMIMEMessage>& m, Source& s) { m.emplace(&s.buffer); }),
        construction("SMIMEMessage(stream)",
                     [](std::optional<SMIMEMessage>& m, Source& s) {
                         m.emplace(static_cast<std::istream*>(&s.stream));
                     }),
        construction("SMIMEMessage(file)",
                     [](std::optional<SMIMEMessage>& m, Source& s) { m.emplace(s.file.c_str()); }),
        onMessage("SMIMEMessage::setMessage(buffer)", {SMIME_NO_MEMORY}, nothing,
                  [](SMIMEMessage& m, Outputs&) { return hold(m, kText); }),
        onMessage("SMIMEMessage::setMessage(stream)", {SMIME_NO_MEMORY}, nothing,
                  [](SMIMEMessage& m, Outputs& out) { return m.setMessage(&out.input, &out.minor); }),
        onMessage("SMIMEMessage::setMessage(file)", {SMIME_NO_MEMORY}, nothing,
                  [inputFile](SMIMEMessage& m, Outputs& out) { return m.setMessage(inputFile.c_str(), &out.minor); }),
        onMessage("SMIMEMessage::getMessage(buffer)", {SMIME_NO_MEMORY}, holding,
                  [](SMIMEMessage& m, Outputs& out) { return m.getMessage(&out.buffer, &out.minor); }),
        onMessage("SMIMEMessage::getMessage(stream)", {SMIME_STREAM_ERROR, SMIME_NO_MEMORY}, holding,
                  [](SMIMEMessage& m, Outputs& out) {
                      return m.getMessage(static_cast<std::ostream*>(&out.stream), &out.minor);
                  }),
        onMessage("SMIMEMessage::writeMessageToFile", {SMIME_NO_MEMORY, SMIME_FILE_ACCESS, SMIME_STREAM_ERROR},
                  holding, [](SMIMEMessage& m, Outputs& out) { return m.writeMessageToFile(out.file.c_str()); }),
        // Out of memory while scanning, the kind is unknown for the moment.
        onMessage(
            "SMIMEMessage::getMessageType", {messageUnknown}, holdingSigned,
            [](SMIMEMessage& m, Outputs&) { return static_cast<unsigned>(m.getMessageType()); }, messageSignedData),
        onMessage("SMIMEMessage::freeMessage", {}, holding,
                  [](SMIMEMessage& m, Outputs& out) { return m.freeMessage(&out.minor); }),
        onMessage("SMIMEMessage::getStatus", {}, holding,
                  [](SMIMEMessage& m, Outputs& out) {
                      unsigned major = 0;
                      out.value = m.getStatus(&major, &out.minor);
                      return major;
                  }),
        onMessage("SMIMEMessage::logout", {}, loggedIn,
                  [](SMIMEMessage& m, Outputs& out) { return m.logout(&out.minor); }),
    };

    // The three logins, each from an object that is not logged in; what a
    // failed login made is gone by the time it returns.
    struct Login {
        const char* name;
        unsigned (*run)(SMIMEMessage&, unsigned* info, unsigned* minor, void* credential, gss_buffer_desc* container);
    };
    const Login logins[] = {
        {"SMIMEMessage::login(key store)",
         [](SMIMEMessage& m, unsigned* info, unsigned* minor, void*, gss_buffer_desc*) {
             return m.login("keys.p12", "secret", "alice", info, minor);
         }},
        {"SMIMEMessage::login(container)",
         [](SMIMEMessage& m, unsigned* info, unsigned* minor, void*, gss_buffer_desc* container) {
             return m.login(container, "alice", info, minor);
         }},
        {"SMIMEMessage::login(credential)",
         [](SMIMEMessage& m, unsigned*, unsigned* minor, void* credential, gss_buffer_desc*) {
             return m.login(credential, minor);
         }},
    };
    for (const Login& login : logins) {
        ops.push_back({login.name, {SMIME_NO_MEMORY}, [run = login.run](int n) {
                           // A container and a credential of the caller's, made before allocations are counted.
                           const gss_buffer_desc location = {9, const_cast<char*>("keys.p12")};
                           const gss_buffer_desc password = {7, const_cast<char*>("secret")};
                           const gss_buffer_desc principal = {6, const_cast<char*>("alice")};
                           OM_uint32 minor = 0;
                           gss_buffer_desc* container = nullptr;
                           gss_name_t name = nullptr;
                           void* credential = nullptr;
                           EXPECT_EQ(
                               kivo_establish_creds(nullptr, &location, &password, nullptr, &minor, &container), 0u);
                           EXPECT_EQ(gss_import_name(&minor, &principal, nullptr, &name), 0u);
                           EXPECT_EQ(idup_acquire_cred_with_auth(name, container, GSS_C_INDEFINITE, nullptr, nullptr,
                                                                 &minor, &credential, nullptr, nullptr, nullptr),
                                     0u);
                           const std::size_t before = pd::outstanding();
                           const auto show = [&](SMIMEMessage& m, unsigned info, unsigned minorWord) {
                               return "info " + number(info) + ", minor " + number(minorWord) + ", " +
                                      providerObjects(before) + ", " + stateOf(m);
                           };
                           Attempt a;
                           {
                               SMIMEMessage m;
                               unsigned info = kUntouched;
                               unsigned minorWord = kUntouched;
                               a.reached =
                                   failingNth(n, [&] { a.status = run(m, &info, &minorWord, credential, container); });
                               a.observed = show(m, info, minorWord);
                               if (a.status != SMIME_OK) {
                                   info = minorWord = kUntouched;
                                   run(m, &info, &minorWord, credential, container);
                                   a.retried = show(m, info, minorWord);
                               }
                           }
                           prov_release_cred(&minor, &credential);
                           prov_release_name(&minor, &name);
                           prov_abolish_creds(&container, &minor);
                           return a;
                       }});
    }

    ops.push_back({"~SMIMEMessage", {}, [](int n) {
                       const std::size_t before = pd::outstanding();
                       std::optional<SMIMEMessage> m(std::in_place);
                       EXPECT_EQ(logIn(*m), SMIME_OK);
                       EXPECT_EQ(hold(*m, kText), SMIME_OK);
                       Attempt a;
                       a.reached = failingNth(n, [&] { m.reset(); });
                       a.observed = providerObjects(before);
                       return a;
                   }});
    return ops;
}

// --- generator, parser and their base -------------------------------------------------

const std::string kToken = randomBytes(100, 3);

// What a generator holds, and whether it can still build a message.
std::string generatorState(smimeGenerator& g) {
    gss_buffer_desc copy = {0, nullptr};
    const unsigned got = g.getMessage(&copy);
    return "holds [" + withoutBoundaryTags(got == SMIME_OK ? take(copy) : std::string()) + "], type " +
           number(g.getMessageType());
}

std::string generatorUse(smimeGenerator& g) {
    const std::string before = generatorState(g);
    g.freeMessage();
    const gss_buffer_desc token = viewOf(kToken);
    const unsigned inserted = g.insertSignedData(&token);
    return before + "; then insert " + number(inserted) + ", " + generatorState(g);
}

void fill(smimeGenerator& g) {
    const gss_buffer_desc token = viewOf(kToken);
    EXPECT_EQ(g.insertEnvelopedData(&token), SMIME_OK);
}

template <typename Ready, typename Run>
Operation onGenerator(const std::string& name, std::vector<unsigned> statuses, Ready ready, Run run) {
    return onObject<smimeGenerator>(name, std::move(statuses), ready, run, generatorState);
}

// A copy, by construction or by assignment; one that could not copy the
// message holds nothing, and the walk reads that as status 15.
template <typename Copy>
Operation generatorCopy(const std::string& name, Copy copy) {
    return {name, {SMIME_NO_MEMORY}, [=](int n) {
                Attempt a;
                smimeGenerator source;
                fill(source);
                const std::string expected = generatorState(source);
                std::optional<smimeGenerator> target(std::in_place);
                const gss_buffer_desc other = viewOf(kText);
                EXPECT_EQ(target->insertSignedData(&other), SMIME_OK);
                a.reached = failingNth(n, [&] { copy(target, source); });
                a.status = generatorState(*target) == expected ? SMIME_OK : SMIME_NO_MEMORY;
                a.observed = generatorUse(*target);
                if (a.status != SMIME_OK) {
                    copy(target, source);
                    a.retried = generatorUse(*target);
                }
                return a;
            }};
}

std::vector<Operation> generatorOperations() {
    const auto empty = [](smimeGenerator&) {};
    const auto holding = [](smimeGenerator& g) { fill(g); };
    const auto insert = [](int kind) {
        return [kind](smimeGenerator& g, Outputs&) {
            const gss_buffer_desc token = viewOf(kToken);
            const gss_buffer_desc content = viewOf(kText);
            return kind == 0   ? g.insertEnvelopedData(&token)
                   : kind == 1 ? g.insertSignedData(&token)
                               : g.insertMultipartAndSignedData(digestSHA1, &content, &token);
        };
    };
    return {
        {"smimeGenerator()", {}, [](int n) {
             Attempt a;
             std::optional<smimeGenerator> g;
             a.reached = failingNth(n, [&] { g.emplace(); });
             a.observed = generatorUse(*g);
             return a;
         }},
        generatorCopy("smimeGenerator(const smimeGenerator&)",
                      [](std::optional<smimeGenerator>& target, const smimeGenerator& source) {
                          target.emplace(source);
                      }),
        generatorCopy("smimeGenerator::operator=",
                      [](std::optional<smimeGenerator>& target, const smimeGenerator& source) { *target = source; }),
        onGenerator("smimeGenerator::insertEnvelopedData", {SMIME_NO_MEMORY}, empty, insert(0)),
        onGenerator("smimeGenerator::insertSignedData", {SMIME_NO_MEMORY}, empty, insert(1)),
        onGenerator("smimeGenerator::insertMultipartAndSignedData", {SMIME_NO_MEMORY}, empty, insert(2)),
        onGenerator("smimeGenerator::getMessage(buffer)", {SMIME_NO_MEMORY}, holding,
                    [](smimeGenerator& g, Outputs& out) { return g.getMessage(&out.buffer); }),
        // A stream that fails keeps the message in the generator, with 16.
        onGenerator("smimeGenerator::getMessage(stream)", {SMIME_NULL_PARAMETER}, holding,
                    [](smimeGenerator& g, Outputs& out) {
                        return g.getMessage(static_cast<std::ostream*>(&out.stream));
                    }),
        onGenerator("smimeGenerator::getMessageReference", {}, holding,
                    [](smimeGenerator& g, Outputs& out) { return g.getMessageReference(&out.buffer); }),
        onGenerator("smimeGenerator::freeMessage", {}, holding,
                    [](smimeGenerator& g, Outputs&) { return g.freeMessage(); }),
        onGenerator("smimeGenerator::getMessageType", {}, holding, [](smimeGenerator& g, Outputs& out) {
            out.value = g.getMessageType();
            return SMIME_OK;
        }),
    };
}

// What a parser says about the message it refers to, and what it extracts.
std::string parserUse(smimeParser& p) {
    gss_buffer_desc object = {0, nullptr};
    gss_buffer_desc content = {0, nullptr};
    const unsigned type = p.getMessageType();
    const unsigned status = p.getPKCS7Object(&object, &content);
    return "type " + number(type) + ", extracted " + number(status) + " [" + take(object) + "] [" + take(content) +
           "], then type " + number(p.getMessageType());
}

std::vector<Operation> parserOperations() {
    static gss_buffer_desc signedMessage;
    signedMessage = viewOf(protectedMessages().signedData);
    const auto extraction = [](const std::string& name, const std::string& message) -> Operation {
        return {name, {SMIME_NO_MEMORY}, [&message](int n) {
                    Attempt a;
                    gss_buffer_desc held = viewOf(message);
                    smimeParser p;
                    p.setMessage(&held);
                    gss_buffer_desc object = {0, nullptr};
                    gss_buffer_desc content = {0, nullptr};
                    a.reached = failingNth(n, [&] { a.status = p.getPKCS7Object(&object, &content); });
                    const auto show = [&] {
                        return "object [" + take(object) + "], content [" + take(content) + "], type " +
                               number(p.getMessageType());
                    };
                    a.observed = show();
                    if (a.status != SMIME_OK) {
                        p.setMessage(&held);
                        p.getPKCS7Object(&object, &content);
                        a.retried = show();
                    }
                    return a;
                }};
    };
    const auto copying = [](const std::string& name, bool assign) -> Operation {
        return {name, {}, [assign](int n) {
                    Attempt a;
                    smimeParser source;
                    source.setMessage(&signedMessage);
                    source.getMessageType();
                    std::optional<smimeParser> target(std::in_place);
                    a.reached = failingNth(n, [&] {
                        if (assign)
                            *target = source;
                        else
                            target.emplace(source);
                    });
                    a.observed = parserUse(*target);
                    return a;
                }};
    };
    return {
        {"smimeParser()", {}, [](int n) {
             Attempt a;
             std::optional<smimeParser> p;
             a.reached = failingNth(n, [&] { p.emplace(); });
             p->setMessage(&signedMessage);
             a.observed = parserUse(*p);
             return a;
         }},
        copying("smimeParser(const smimeParser&)", false),
        copying("smimeParser::operator=", true),
        {"smimeParser::setMessage", {}, [](int n) {
             Attempt a;
             smimeParser p;
             a.reached = failingNth(n, [&] { a.status = p.setMessage(&signedMessage); });
             a.observed = parserUse(p);
             return a;
         }},
        {"smimeParser::getMessageType", {messageUnknown}, [](int n) {
             Attempt a;
             smimeParser p;
             p.setMessage(&signedMessage);
             a.reached = failingNth(n, [&] { a.status = p.getMessageType(); });
             a.observed = parserUse(p);
             if (a.status != messageSignedData) a.retried = parserUse(p);
             return a;
         }, messageSignedData},
        extraction("smimeParser::getPKCS7Object(signed data)", protectedMessages().signedData),
        extraction("smimeParser::getPKCS7Object(clear-signed)", protectedMessages().clearSigned),
        extraction("smimeParser::getPKCS7Object(enveloped data)", protectedMessages().enveloped),
    };
}

std::vector<Operation> baseOperations() {
    // The accessors hand out references; what a copy refers to is the source's.
    const auto references = [](SMIMEBase& base) {
        gss_buffer_desc message = {0, nullptr};
        gss_buffer_desc body = {0, nullptr};
        unsigned minor = 0;
        base.getMessage(&message, &minor);
        base.getBody(&body, &minor);
        return "message [" + textOf(message) + "], body [" + textOf(body) + "]";
    };
    static const gss_buffer_desc message = viewOf(kText);
    static const gss_buffer_desc body = viewOf(kToken);
    return {
        {"SMIMEBase accessors", {}, [=](int n) {
             Attempt a;
             SMIMEBase base;
             unsigned minor = kUntouched;
             std::istringstream in(kText);
             a.reached = failingNth(n, [&] {
                 a.status = base.setMessage(&message, &minor) | base.setBody(&body, &minor) |
                            base.setHeader(&body, &minor) | base.setMessage(static_cast<std::istream*>(&in), &minor);
             });
             a.observed = references(base) + ", minor " + number(minor);
             return a;
         }},
        {"SMIMEBase copies", {}, [=](int n) {
             Attempt a;
             SMIMEBase source;
             unsigned minor = 0;
             source.setMessage(&message, &minor);
             source.setBody(&body, &minor);
             SMIMEBase assigned;
             gss_buffer_desc copied[2] = {};
             a.reached = failingNth(n, [&] {
                 SMIMEBase copy(source);
                 assigned = source;
                 copy.getMessage(&copied[0], &minor);
                 copy.getBody(&copied[1], &minor);
             });
             a.observed = "copy: message [" + textOf(copied[0]) + "], body [" + textOf(copied[1]) + "]; assigned: " +
                          references(assigned);
             return a;
         }},
    };
}

// --- codecs and utilities ----------------------------------------------------------------

std::string checksum(const std::string& bytes) {
    std::uint32_t hash = 0x811C9DC5u;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x01000193u;
    return std::to_string(bytes.size()) + " bytes, FNV-1a " + std::to_string(hash);
}

// A call that hands out a malloc'd buffer; a failure is retried.
template <typename Run>
Operation handingOut(const std::string& name, std::vector<unsigned> statuses, Run run) {
    return {name, std::move(statuses), [=](int n) {
                Attempt a;
                gss_buffer_desc out = {0, nullptr};
                a.reached = failingNth(n, [&] { a.status = run(out); });
                a.observed = "output " + number(out.length) + " [" + take(out) + "]";
                if (a.status != SMIME_OK) {
                    run(out);
                    a.retried = "output " + number(out.length) + " [" + take(out) + "]";
                }
                return a;
            }};
}

std::vector<Operation> codecAndUtilityOperations() {
    static const std::string bytes = randomBytes(200, 5);
    static const std::string base64Text = [] {
        sbase64 codec;
        const gss_buffer_desc in = viewOf(bytes);
        gss_buffer_desc text = {0, nullptr};
        EXPECT_EQ(codec.encode(&in, &text), SMIME_OK);
        return take(text);
    }();
    static const std::string printable = "Caf=C3=A9 au lait=\r\nsoft break  \r\nand tabs\there\r\n";
    static const std::string loadedFile = folder().write("utility input", randomBytes(70000, 7));

    return {
        {"sbase64()", {}, [](int n) {
             Attempt a;
             std::optional<sbase64> codec;
             sbase64 assigned;
             a.reached = failingNth(n, [&] {
                 codec.emplace();
                 assigned = *codec;
             });
             return a;
         }},
        handingOut("sbase64::encode", {SMIME_NO_MEMORY},
                   [](gss_buffer_desc& out) {
                       sbase64 codec;
                       const gss_buffer_desc in = viewOf(bytes);
                       return codec.encode(&in, &out);
                   }),
        handingOut("sbase64::decode", {SMIME_NO_MEMORY},
                   [](gss_buffer_desc& out) {
                       sbase64 codec;
                       const gss_buffer_desc in = viewOf(base64Text);
                       return codec.decode(&in, &out);
                   }),
        {"sbase64::b64Encode and b64Decode", {}, [](int n) {
             Attempt a;
             sbase64 codec;
             std::string text(sbase64::deriveEncodeLength(static_cast<unsigned>(bytes.size())), '\0');
             std::string back(sbase64::deriveDecodeLength(static_cast<unsigned>(text.size())), '\0');
             unsigned encoded = 0;
             unsigned decoded = 0;
             a.reached = failingNth(n, [&] {
                 encoded = codec.b64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                           static_cast<unsigned>(bytes.size()),
                                           reinterpret_cast<unsigned char*>(&text[0]),
                                           static_cast<unsigned>(text.size()));
                 decoded = codec.b64Decode(text.data(), encoded, reinterpret_cast<unsigned char*>(&back[0]),
                                           static_cast<unsigned>(back.size()));
             });
             a.observed = text.substr(0, encoded) + " " + checksum(back.substr(0, decoded));
             return a;
         }},
        handingOut("sprintable::decode", {SMIME_STREAM_ERROR},
                   [](gss_buffer_desc& out) {
                       const gss_buffer_desc in = viewOf(printable);
                       return sprintable::decode(&in, &out);
                   }),
        handingOut("sprintable::encode", {}, [](gss_buffer_desc& out) {
            const gss_buffer_desc in = viewOf(printable);
            return sprintable::encode(&in, &out);
        }),
        {"smime_utility::loadMessage", {SMIME_NO_MEMORY}, [](int n) {
             Attempt a;
             smime_utility utility;
             int marker = 0;
             gss_buffer_desc out = {3, &marker};
             a.reached = failingNth(n, [&] { a.status = utility.loadMessage(loadedFile.c_str(), &out); });
             const auto show = [&] {
                 if (out.value == &marker) return std::string("output untouched");
                 const std::string loaded = take(out);
                 out = {3, &marker};
                 return checksum(loaded);
             };
             a.observed = show();
             if (a.status != SMIME_OK) {
                 utility.loadMessage(loadedFile.c_str(), &out);
                 a.retried = show();
             }
             return a;
         }},
        {"smime_utility::deleteBufferChain", {}, [](int n) {
             Attempt a;
             smime_utility utility;
             smimeBuffer_T* chain = nullptr;
             for (int i = 0; i < 2; ++i) {
                 auto* block = static_cast<smimeBuffer_T*>(std::malloc(sizeof(smimeBuffer_T)));
                 *block = {chain, static_cast<unsigned char*>(std::malloc(65536)), 0};
                 chain = block;
             }
             a.reached = failingNth(n, [&] { a.status = utility.deleteBufferChain(chain); });
             return a;
         }},
        {"smime_utility buffer helpers", {}, [](int n) {
             Attempt a;
             smime_utility utility;
             std::string first(16, 'x');
             std::string second(16, 'x');
             gss_buffer_desc one = viewOf(first);
             gss_buffer_desc two = viewOf(second);
             char* end = nullptr;
             int order = 0;
             a.reached = failingNth(n, [&] {
                 a.status = utility.fillBuffer(&one, 8);
                 end = utility.copyStringToMessage("copied", &two, 4);
                 order = utility.cmpgssBuffer(&two, &two, 16);
                 a.status |= utility.dumpHexToAscii(&two);
             });
             a.observed = second + " " + std::to_string(end - &second[0]) + " " + std::to_string(order);
             return a;
         }},
        {"test3", {}, [](int n) {
             Attempt a;
             a.reached = failingNth(n, [&] { a.status = static_cast<unsigned>(test3()) - 1; });
             return a;
         }},
    };
}

// Each test starts from an empty call record and gives back every provider
// object its objects made. Trace records are written all the while, to a
// sink that allocates nothing, so the records written only on failure paths
// are part of the walk.
class AllocationWalk : public ::testing::Test {
protected:
    void SetUp() override {
        protectedMessages(); // made before the walk, not inside it
        pd::reset();
        baseline_ = pd::outstanding();
        VekTrace::s_defaultTracePtr->setSink(&AllocationWalk::countRecord, &records_);
        VekTrace::s_defaultTracePtr->enable(VekTrace::kAll, VekTrace::kAll);
    }
    void TearDown() override {
        VekTrace::s_defaultTracePtr->disable();
        VekTrace::s_defaultTracePtr->setSink(nullptr, nullptr);
        EXPECT_GT(records_, 0u);
    }

    static void countRecord(const VekTraceRecord&, void* context) { ++*static_cast<std::size_t*>(context); }

    void walkAll(const std::vector<Operation>& operations) {
        walk::walkAll(operations, [this] {
            EXPECT_EQ(pd::outstanding(), baseline_) << ::testing::PrintToString(pd::outstandingObjects());
            // The record of calls is not needed and would only grow.
            pd::reset();
        });
    }

    std::size_t baseline_ = 0;
    std::size_t records_ = 0;
};

TEST_F(AllocationWalk, ProtectionOperationsSurviveEveryAllocationFailure) { walkAll(protectionOperations()); }

TEST_F(AllocationWalk, MessageObjectSurvivesEveryAllocationFailure) { walkAll(messageObjectOperations()); }

TEST_F(AllocationWalk, GeneratorParserAndBaseSurviveEveryAllocationFailure) {
    std::vector<Operation> operations = generatorOperations();
    for (auto& op : parserOperations()) operations.push_back(std::move(op));
    for (auto& op : baseOperations()) operations.push_back(std::move(op));
    walkAll(operations);
}

TEST_F(AllocationWalk, CodecsAndUtilitiesSurviveEveryAllocationFailure) { walkAll(codecAndUtilityOperations()); }

} // namespace
