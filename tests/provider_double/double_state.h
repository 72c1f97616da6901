// The test provider's shared state and the helpers its C functions are built
// from: the call frame, the registry of handed-out objects and the record's
// argument formats. Private to the double.
#ifndef PROVIDER_DOUBLE_STATE_H
#define PROVIDER_DOUBLE_STATE_H

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "provider_call.h"
#include "provider_double.h"
#include "vek4kivoidup.h"

namespace provider_double::detail {

enum class Kind { Container, Name, Credential, Environment, EnvOutput, OidSet, Pidu, Buffer };

// What the double handed out and has not taken back.
struct LiveObject {
    Kind kind;
    std::string label;
};

struct PlannedFailure {
    std::string name;
    unsigned remaining; // calls of name still to come; the one that brings it to 0 fails
    OM_uint32 major;
    OM_uint32 minor;
};

constexpr OM_uint32 kDefaultCredentialInfo = KIVO_CRED_CAN_SIGN | KIVO_CRED_CAN_DECRYPT | KIVO_CRED_CERT_VALID_NOW;

struct State {
    std::vector<Call> calls;
    std::vector<PlannedFailure> plans;
    OM_uint32 credentialInfo = kDefaultCredentialInfo;
    std::map<std::string, unsigned> lastIds; // per label prefix
    std::map<const void*, LiveObject> live;  // buffers by their value pointer
};

// The one lock of the double, held for the whole of every C call and every
// control function. No C function of the double calls another, so it is
// never taken twice.
std::mutex& stateMutex();
State& state();

// The next id of a label prefix ("cred" -> 1, 2, ...) and its label.
unsigned nextId(State& s, const std::string& prefix);
std::string labelOf(const std::string& prefix, unsigned id);

// Registers handed-out objects all or none (null pointers are skipped), so a
// failed registration leaves no entry for an object its owner will free.
void track(State& s, std::vector<std::pair<const void*, LiveObject>> objects);
bool isLive(const State& s, const void* object, Kind kind);
// Forgets a live buffer value; true when it was one of the double's.
bool untrackBuffer(State& s, const void* value);

std::string hex(OM_uint32 value);
std::string describeOid(const gss_OID_desc* oid);
std::string describeOidSet(const gss_OID_set_desc* set);
std::string describeHandle(const State& s, const void* handle, Kind kind);
std::string describeCredUsage(const gss_buffer_desc* usage);
std::string describeTargets(const IDUP_Target_Info_desc* targets);

template <typename T>
std::string describeHandleAt(const State& s, T* const* address, Kind kind) {
    return address == nullptr ? "no-address" : describeHandle(s, *address, kind);
}

void addArg(Call& call, std::string key, std::string value);
std::optional<PlannedFailure> takePlannedFailure(State& s, const std::string& name);

struct FreeBytes {
    void operator()(void* p) const noexcept { std::free(p); }
};
using OwnedBytes = std::unique_ptr<char, FreeBytes>;

// A malloc'd copy of bytes, with a NUL after them when terminate is set
// (for text that callers may read as a C string). Throws std::bad_alloc.
OwnedBytes mallocCopy(std::string_view bytes, bool terminate);

// Bytes on their way to a caller: a malloc'd copy and the label it will be
// tracked under. Empty bytes make no block and take no label.
struct PendingBytes {
    OwnedBytes bytes;
    OM_uint32 length = 0;
    std::string label;
};
PendingBytes prepareBytes(State& s, std::string_view bytes, const std::string& prefix, bool terminate);
// The registry entry of pending bytes, for track(); a null key when empty.
std::pair<const void*, LiveObject> entryOf(const PendingBytes& pending);
// Hands tracked pending bytes over; empty ones leave out {0, NULL}.
void handOver(PendingBytes& pending, gss_buffer_desc* out) noexcept;
// All three steps for one buffer.
void handOutBytes(State& s, std::string_view bytes, const std::string& prefix, gss_buffer_desc* out, bool terminate);

// The frame of every C function: takes the lock, records the call with what
// describe adds, fails it as planned or runs work, and keeps any exception
// inside (work's bad_alloc becomes KIVO_R_NO_MEMORY).
template <typename Describe, typename Work>
OM_uint32 doubleCall(const char* name, OM_uint32* minor_status, Describe&& describe, Work&& work) noexcept {
    const std::lock_guard<std::mutex> lock(stateMutex());
    State& s = state();
    std::optional<PlannedFailure> planned;
    const OM_uint32 major = ::detail::providerCall(minor_status, [&]() -> kivo_reason_t {
        // Room for the record first: once work has handed outputs over,
        // recording the call must not fail.
        // Doubling keeps that from copying the whole record on every call.
        if (s.calls.size() == s.calls.capacity()) s.calls.reserve(2 * s.calls.capacity() + 64);
        Call call{name, {}};
        describe(s, call);
        planned = takePlannedFailure(s, call.name);
        const kivo_reason_t reason = planned ? KIVO_R_NONE : work(s, call);
        if (planned || reason != KIVO_R_NONE) {
            addArg(call, "failed", "yes");
            addArg(call, "minor", hex(planned ? planned->minor : static_cast<OM_uint32>(reason)));
        }
        s.calls.push_back(std::move(call));
        return reason;
    });
    if (!planned) return major;
    if (minor_status != nullptr) *minor_status = planned->minor;
    return planned->major;
}

} // namespace provider_double::detail

#endif // PROVIDER_DOUBLE_STATE_H
