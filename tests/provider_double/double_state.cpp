// The test provider's state, record formats and control functions.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>

#include "bookkeeping.h"
#include "double_state.h"
#include "vek4kivooidtable.h"

namespace provider_double {

namespace detail {

namespace {

// The table indices whose OIDs the record names.
constexpr int kOidIndices[] = {KIVO_OID_NAME_TYPE,
                               KIVO_OID_MECHANISM,
                               KIVO_OID_SERVICE_SIGNED_DATA,
                               KIVO_OID_SERVICE_ENVELOPED_DATA,
                               KIVO_OID_SERVICE_DATA,
                               KIVO_OID_SERVICE_SMIME};

// The functions failCall accepts: a misspelt name would otherwise plan a
// failure that never happens and a test would pass for the wrong reason.
constexpr const char* kFunctionNames[] = {
    "kivo_establish_creds",     "kivo_import_creds",       "prov_abolish_creds",
    "gss_import_name",          "prov_release_name",       "idup_acquire_cred_with_auth",
    "prov_release_cred",        "prov_establish_env",      "prov_abolish_env",
    "prov_release_env_output",  "prov_protect",            "prov_unprotect",
    "prov_create_pidu_info",    "prov_release_pidu_info",  "gss_create_empty_oid_set",
    "gss_add_oid_set_member",   "prov_release_oid_set",    "prov_release_buffer",
    "prov_free_buffer_desc",    "kivo_display_status",
};

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Container:
        return "container";
    case Kind::Name:
        return "name";
    case Kind::Credential:
        return "cred";
    case Kind::Environment:
        return "env";
    case Kind::EnvOutput:
        return "env_output";
    case Kind::OidSet:
        return "oid_set";
    case Kind::Pidu:
        return "pidu";
    case Kind::Buffer:
        break;
    }
    return "buffer";
}

} // namespace

std::mutex& stateMutex() {
    static std::mutex mutex;
    return mutex;
}

State& state() {
    static State s;
    return s;
}

unsigned nextId(State& s, const std::string& prefix) { return ++s.lastIds[prefix]; }

std::string labelOf(const std::string& prefix, unsigned id) { return prefix + "#" + std::to_string(id); }

void track(State& s, std::vector<std::pair<const void*, LiveObject>> objects) {
    std::vector<const void*> added;
    added.reserve(objects.size());
    try {
        for (auto& [object, live] : objects) {
            if (object == nullptr) continue;
            s.live.emplace(object, std::move(live));
            added.push_back(object);
        }
    } catch (...) {
        for (const void* object : added) s.live.erase(object);
        throw;
    }
}

bool isLive(const State& s, const void* object, Kind kind) {
    const auto found = s.live.find(object);
    return found != s.live.end() && found->second.kind == kind;
}

bool untrackBuffer(State& s, const void* value) {
    if (!isLive(s, value, Kind::Buffer)) return false;
    s.live.erase(value);
    return true;
}

std::string hex(OM_uint32 value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

std::string describeOid(const gss_OID_desc* oid) {
    if (oid == nullptr) return "null";
    for (const int index : kOidIndices)
        if (KIVOGetOID(index) == oid) return "oid#" + std::to_string(index);
    // A malformed OID must not be read; it equals none of the table's.
    if (oid->length != 0 && oid->elements == nullptr) return "oid?";
    for (const int index : kOidIndices)
        if (::detail::oidEquals(KIVOGetOID(index), oid)) return "oid#" + std::to_string(index);
    return "oid?";
}

std::string describeOidSet(const gss_OID_set_desc* set) {
    if (set == nullptr) return "null";
    std::string text = "{";
    for (std::size_t i = 0; i < set->count; ++i) {
        if (i != 0) text += ',';
        text += describeOid(&set->elements[i]);
    }
    return text + "}";
}

std::string describeHandle(const State& s, const void* handle, Kind kind) {
    if (handle == nullptr) return "null";
    const auto found = s.live.find(handle);
    if (found != s.live.end() && found->second.kind == kind) return found->second.label;
    return std::string(kindName(kind)) + "?";
}

std::string describeCredUsage(const gss_buffer_desc* usage) {
    if (usage == nullptr || usage->value == nullptr || usage->length < sizeof(OM_uint32)) return describeBuffer(usage);
    OM_uint32 word = 0;
    std::memcpy(&word, usage->value, sizeof word);
    return "{" + std::to_string(usage->length) + "," + std::to_string(word) + "}";
}

std::string describeTargets(const IDUP_Target_Info_desc* targets) {
    if (targets == nullptr) return "null";
    return "{count=" + std::to_string(targets->count) + ",statuses=" + (targets->statuses ? "set" : "null") + "}";
}

void addArg(Call& call, std::string key, std::string value) { call.args.emplace_back(std::move(key), std::move(value)); }

std::optional<PlannedFailure> takePlannedFailure(State& s, const std::string& name) {
    std::optional<PlannedFailure> hit;
    for (auto plan = s.plans.begin(); plan != s.plans.end();) {
        if (plan->name == name && --plan->remaining == 0) {
            if (!hit) hit = *plan;
            plan = s.plans.erase(plan);
        } else {
            ++plan;
        }
    }
    return hit;
}

OwnedBytes mallocCopy(std::string_view bytes, bool terminate) {
    OwnedBytes copy(static_cast<char*>(std::malloc(bytes.size() + (terminate ? 1 : 0))));
    if (copy == nullptr) throw std::bad_alloc();
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    if (terminate) copy.get()[bytes.size()] = '\0';
    return copy;
}

PendingBytes prepareBytes(State& s, std::string_view bytes, const std::string& prefix, bool terminate) {
    PendingBytes pending;
    if (bytes.empty()) return pending;
    // A length the descriptor cannot hold is as unservable as a failed malloc.
    if (bytes.size() > std::numeric_limits<OM_uint32>::max()) throw std::bad_alloc();
    pending.bytes = mallocCopy(bytes, terminate);
    pending.length = static_cast<OM_uint32>(bytes.size());
    pending.label = labelOf(prefix, nextId(s, prefix));
    return pending;
}

std::pair<const void*, LiveObject> entryOf(const PendingBytes& pending) {
    return {pending.bytes.get(), {Kind::Buffer, pending.label}};
}

void handOver(PendingBytes& pending, gss_buffer_desc* out) noexcept {
    if (pending.bytes == nullptr) return;
    out->length = pending.length;
    out->value = pending.bytes.release();
}

void handOutBytes(State& s, std::string_view bytes, const std::string& prefix, gss_buffer_desc* out, bool terminate) {
    PendingBytes pending = prepareBytes(s, bytes, prefix, terminate);
    track(s, {entryOf(pending)});
    handOver(pending, out);
}

} // namespace detail

std::string Call::arg(const std::string& key) const {
    for (const auto& [name, value] : args)
        if (name == key) return value;
    return {};
}

void reset() {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    detail::State& s = detail::state();
    s.calls.clear();
    s.plans.clear();
    s.credentialInfo = detail::kDefaultCredentialInfo;
    s.lastIds.clear();
}

std::vector<Call> calls() {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    return detail::state().calls;
}

std::vector<std::string> callNames() {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    std::vector<std::string> names;
    for (const Call& call : detail::state().calls) names.push_back(call.name);
    return names;
}

void failCall(const std::string& name, OM_uint32 major, OM_uint32 minor, unsigned occurrence) {
    const auto known = std::find(std::begin(detail::kFunctionNames), std::end(detail::kFunctionNames), name);
    if (known == std::end(detail::kFunctionNames))
        throw std::invalid_argument("provider_double::failCall: no provider function " + name);
    if (occurrence == 0) throw std::invalid_argument("provider_double::failCall: occurrences count from 1");
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    detail::state().plans.push_back({name, occurrence, major, minor});
}

void setCredentialInfo(OM_uint32 word) {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    detail::state().credentialInfo = word;
}

std::size_t outstanding() {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    return detail::state().live.size();
}

std::vector<std::string> outstandingObjects() {
    const std::lock_guard<std::mutex> lock(detail::stateMutex());
    std::vector<std::string> labels;
    for (const auto& entry : detail::state().live) labels.push_back(entry.second.label);
    std::sort(labels.begin(), labels.end());
    return labels;
}

std::string describeBuffer(const gss_buffer_desc* buffer) {
    if (buffer == nullptr) return "null";
    std::string text = "{" + std::to_string(buffer->length) + ",";
    if (buffer->value == nullptr) return text + "null}";
    text += '"';
    const auto* bytes = static_cast<const unsigned char*>(buffer->value);
    for (OM_uint32 i = 0; i < buffer->length; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(byte));
            text += escaped;
        }
    }
    return text + "\"}";
}

} // namespace provider_double
