// The tap's wrappers: the linker sends calls of X to __wrap_X; __real_X is the provider's own.
#include "provider_tap.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "vek4kivooidtable.h"

namespace {

struct Plan { std::string name; int remaining; OM_uint32 major, minor; };
struct State {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<Plan> plans;
    std::set<const void*> handed;
};
// Never destroyed: a message object of static duration may still log out while the program ends.
State& state() { static State* const s = new State; return *s; }

// A string buffer as the provider takes it, its NUL counted; "?" otherwise.
std::string text(const gss_buffer_desc* b) {
    const auto* v = b != nullptr ? static_cast<const char*>(b->value) : nullptr;
    if (v == nullptr || b->length == 0 || std::memchr(v, '\0', b->length) != v + b->length - 1) return "?";
    return std::string(v, b->length - 1);
}
// The index of the OID table that holds oid.
std::string oid(const gss_OID_desc* o) {
    for (int i = 1; o != nullptr && i <= 64; ++i) {
        const gss_OID known = KIVOGetOID(i);
        if (known != nullptr && known->length == o->length && std::memcmp(known->elements, o->elements, o->length) == 0)
            return std::to_string(i);
    }
    return "?";
}
std::string oids(const gss_OID_set_desc* set) {
    std::string t = set != nullptr ? "{" : "null";
    for (std::size_t i = 0; set != nullptr && i < set->count; ++i) t += (i != 0 ? "," : "") + oid(&set->elements[i]);
    return set != nullptr ? t + "}" : t;
}

// Under the lock; a value, so that several fit in one expression.
int hand(const void* object) { return object != nullptr ? (state().handed.insert(object), 0) : 0; }
int forget(const void* object) { return static_cast<int>(state().handed.erase(object)); }

// Records the call; a planned failure writes its minor status and gives its major status instead of the provider's.
std::optional<OM_uint32> enter(const char* name, const std::string& args, OM_uint32* minor) {
    const std::lock_guard<std::mutex> lock(state().mutex);
    state().calls.push_back(args.empty() ? name : name + (" " + args));
    std::optional<OM_uint32> failed;
    for (Plan& plan : state().plans) {
        if (plan.name != name || --plan.remaining != 0) continue;
        failed = plan.major;
        if (minor != nullptr) *minor = plan.minor;
    }
    return failed;
}
// The lock is not held while the provider works, so threads do not queue.
template <typename Real, typename Account>
OM_uint32 tapped(const char* name, const std::string& args, OM_uint32* minor, Real&& real, Account&& account) {
    if (const auto failed = enter(name, args, minor)) return *failed;
    const OM_uint32 major = real();
    const std::lock_guard<std::mutex> lock(state().mutex);
    if (major == GSS_S_COMPLETE) account();
    return major;
}
template <typename T>
const void* valueOf(T* const* handle) { return handle != nullptr ? *handle : nullptr; }
const void* valueOf(const gss_buffer_desc* b) { return b != nullptr ? b->value : nullptr; }

// What both unprotect calls hand out: the content and the record's outputs.
void handUnprotected(const gss_buffer_desc* c, const IDUP_PIDU_Information_desc* i) {
    hand(valueOf(c));
    if (i != nullptr) hand(i->signer_subject.value), hand(i->signer_certificate.value), hand(i->signer_emails.value);
}
std::string unprotectArgs(const gss_buffer_desc* k, const gss_buffer_desc* d, const IDUP_PIDU_Information_desc* i) {
    return std::string(k != nullptr ? "token" : "no token") + (d != nullptr ? " detached" : "") +
           " flags=" + (i != nullptr ? std::to_string(i->verify_flags) : "null");
}
} // namespace

#define TAP(Result, name, params) \
    extern "C" Result __real_##name params; \
    extern "C" Result __wrap_##name params
// A release: what the handle pointed to is no longer outstanding.
#define TAP_RELEASE(name, params, handle, args) \
    TAP(OM_uint32, name, params) { \
        const void* before = valueOf(handle); \
        return tapped(#name, "", m, [&] { return __real_##name args; }, [&] { forget(before); }); \
    }
TAP_RELEASE(prov_abolish_creds, (gss_buffer_desc** h, OM_uint32* m), h, (h, m))
TAP_RELEASE(prov_release_name, (OM_uint32* m, gss_name_t* h), h, (m, h))
TAP_RELEASE(prov_release_cred, (OM_uint32* m, void** h), h, (m, h))
TAP_RELEASE(prov_abolish_env, (void** h, OM_uint32* m), h, (h, m))
TAP_RELEASE(prov_release_env_output, (OM_uint32* m, kivo_env_output_t* h), h, (m, h))
TAP_RELEASE(prov_release_oid_set, (OM_uint32* m, gss_OID_set* h), h, (m, h))
TAP_RELEASE(prov_free_buffer_desc, (OM_uint32* m, gss_buffer_desc** h), h, (m, h))
TAP_RELEASE(prov_release_buffer, (OM_uint32* m, gss_buffer_desc* h), h, (m, h))

TAP(OM_uint32, kivo_establish_creds, (void* r, const gss_buffer_desc* l, const gss_buffer_desc* p, gss_OID t, OM_uint32* m, gss_buffer_desc** c)) {
    const std::string args = std::string(r != nullptr ? "reserved " : "") + text(l) + " " + text(p) + " type=" + oid(t);
    return tapped("kivo_establish_creds", args, m, [&] { return __real_kivo_establish_creds(r, l, p, t, m, c); }, [&] { hand(*c); });
}
TAP(OM_uint32, gss_import_name, (OM_uint32* m, const gss_buffer_desc* n, gss_OID t, gss_name_t* o)) {
    return tapped("gss_import_name", text(n) + " type=" + oid(t), m, [&] { return __real_gss_import_name(m, n, t, o); }, [&] { hand(*o); });
}
TAP(OM_uint32, idup_acquire_cred_with_auth, (gss_name_t n, const gss_buffer_desc* c, OM_uint32 t, gss_OID_set d,
    const gss_buffer_desc* u, OM_uint32* m, void** o, gss_OID_set* a, gss_buffer_desc** i, OM_uint32* r)) {
    OM_uint32 usage = 0;
    if (u != nullptr && u->value != nullptr && u->length == sizeof usage) std::memcpy(&usage, u->value, sizeof usage);
    const std::string args = std::string(n != nullptr ? "name" : "no name") + " time=" + std::to_string(t) + " mechs=" + oids(d) +
                             " usage=" + std::to_string(usage);
    return tapped("idup_acquire_cred_with_auth", args, m, [&] { return __real_idup_acquire_cred_with_auth(n, c, t, d, u, m, o, a, i, r); },
                  [&] { hand(*o), hand(valueOf(a)), hand(valueOf(i)); });
}
TAP(OM_uint32, prov_establish_env, (const void* c, gss_OID mt, gss_OID pm, OM_uint32 f, gss_OID_set s, OM_uint32* m, void** e,
                                    kivo_env_output_t* a, kivo_env_output_t* b, OM_uint32* t, gss_OID_set u)) {
    const std::string args = "mech=" + oid(mt) + " protect=" + oid(pm) + " flags=" + std::to_string(f) + " services=" + oids(s) +
                             " unsupported=" + oids(u);
    return tapped("prov_establish_env", args, m, [&] { return __real_prov_establish_env(c, mt, pm, f, s, m, e, a, b, t, u); },
                  [&] { hand(*e), hand(valueOf(a)), hand(valueOf(b)); });
}
TAP(OM_uint32, prov_protect, (void* e, const IDUP_Protect_Request_desc* r, IDUP_Target_Info_desc* t, const gss_buffer_desc* i,
                              OM_uint32* m, gss_buffer_desc* k, gss_buffer_desc* d)) {
    const std::string args = r == nullptr ? "null request" : "op=" + std::to_string(r->operation) + " digest=" + std::to_string(r->digest) +
        " strength=" + std::to_string(r->strength) + " reserved=" + std::to_string(r->reserved) +
        " targets=" + (t != nullptr ? std::to_string(t->count) : "null");
    return tapped("prov_protect", args, m, [&] { return __real_prov_protect(e, r, t, i, m, k, d); }, [&] { hand(valueOf(k)), hand(valueOf(d)); });
}
TAP(OM_uint32, prov_unprotect, (void* e, const gss_buffer_desc* k, const gss_buffer_desc* d, OM_uint32* m, gss_buffer_desc* c,
                                IDUP_PIDU_Information_desc* i)) {
    return tapped("prov_unprotect", unprotectArgs(k, d, i), m, [&] { return __real_prov_unprotect(e, k, d, m, c, i); },
                  [&] { handUnprotected(c, i); });
}
TAP(OM_uint32, prov_unprotect_over, (void* e, const gss_buffer_desc* k, OM_uint32* m, gss_buffer_desc* c, IDUP_PIDU_Information_desc* i)) {
    return tapped("prov_unprotect_over", unprotectArgs(k, nullptr, i), m, [&] { return __real_prov_unprotect_over(e, k, m, c, i); },
                  [&] { handUnprotected(c, i); });
}
TAP(IDUP_PIDU_Information_desc*, prov_create_pidu_info, (OM_uint32* m)) {
    if (enter("prov_create_pidu_info", "", m)) return nullptr;
    IDUP_PIDU_Information_desc* made = __real_prov_create_pidu_info(m);
    const std::lock_guard<std::mutex> lock(state().mutex);
    return hand(made), made;
}
// A record goes with the output buffers it holds.
TAP(OM_uint32, prov_release_pidu_info, (OM_uint32* m, IDUP_PIDU_Information_desc** i)) {
    const IDUP_PIDU_Information_desc* before = i != nullptr ? *i : nullptr;
    const void* subject = before != nullptr ? before->signer_subject.value : nullptr;
    const void* certificate = before != nullptr ? before->signer_certificate.value : nullptr;
    const void* emails = before != nullptr ? before->signer_emails.value : nullptr;
    return tapped("prov_release_pidu_info", "", m, [&] { return __real_prov_release_pidu_info(m, i); },
                  [&] { forget(before), forget(subject), forget(certificate), forget(emails); });
}
TAP(OM_uint32, gss_create_empty_oid_set, (OM_uint32* m, gss_OID_set* s)) {
    return tapped("gss_create_empty_oid_set", "", m, [&] { return __real_gss_create_empty_oid_set(m, s); }, [&] { hand(*s); });
}
TAP(OM_uint32, gss_add_oid_set_member, (OM_uint32* m, gss_OID o, gss_OID_set* s)) {
    const void* before = valueOf(s);
    return tapped("gss_add_oid_set_member", oid(o), m, [&] { return __real_gss_add_oid_set_member(m, o, s); }, [&] { forget(before), hand(*s); });
}
namespace tap {

using Lock = std::lock_guard<std::mutex>;
void reset() { const Lock lock(state().mutex); state().calls.clear(), state().plans.clear(); }
std::vector<std::string> calls() { const Lock lock(state().mutex); return state().calls; }
std::vector<std::string> names() {
    std::vector<std::string> found = calls();
    for (std::string& call : found) call = call.substr(0, call.find(' '));
    return found;
}
void failAt(const std::string& name, int occurrence, OM_uint32 major, OM_uint32 minor) {
    const Lock lock(state().mutex);
    state().plans.push_back({name, occurrence, major, minor});
}
std::size_t outstanding() { const Lock lock(state().mutex); return state().handed.size(); }

} // namespace tap
