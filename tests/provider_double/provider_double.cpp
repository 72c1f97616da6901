// The test provider's C functions: the provider's whole interface, recording
// every call and answering with the deterministic objects and tokens that
// provider_double.h describes.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bookkeeping.h"
#include "double_state.h"
#include "provider_double.h"
#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

using namespace provider_double::detail;
using provider_double::Call;

namespace {

// Opaque handles handed out for credentials and environments; the id only
// helps a person reading them in a debugger, the registry holds the label.
struct DoubleCredential {
    unsigned id;
};
struct DoubleEnvironment {
    unsigned id;
};

// Owners for what the bookkeeping allocates, until it is handed over.
struct FreeBufferDesc {
    void operator()(gss_buffer_desc* desc) const noexcept { ::detail::freeBufferDesc(&desc); }
};
struct ReleaseOidSet {
    void operator()(gss_OID_set_desc* set) const noexcept { ::detail::releaseOidSet(&set); }
};
struct ReleaseName {
    void operator()(kivo_name_desc* name) const noexcept { ::detail::releaseName(&name); }
};
struct ReleaseEnvOutput {
    void operator()(kivo_env_output_desc* output) const noexcept { ::detail::releaseEnvOutput(&output); }
};
struct ReleasePidu {
    void operator()(IDUP_PIDU_Information_desc* info) const noexcept { ::detail::releasePiduInfo(&info); }
};
using BufferDescPtr = std::unique_ptr<gss_buffer_desc, FreeBufferDesc>;
using OidSetPtr = std::unique_ptr<gss_OID_set_desc, ReleaseOidSet>;
using NamePtr = std::unique_ptr<kivo_name_desc, ReleaseName>;
using EnvOutputPtr = std::unique_ptr<kivo_env_output_desc, ReleaseEnvOutput>;
using PiduPtr = std::unique_ptr<IDUP_PIDU_Information_desc, ReleasePidu>;

constexpr char kSignedDataKind[] = "signed-data";
constexpr char kEnvelopedDataKind[] = "enveloped-data";
constexpr char kSignatureKind[] = "signature";
constexpr char kSignerSubject[] = "CN=provider double";
constexpr unsigned char kEnvelopeMask = 0x5A;

bool isReadable(const gss_buffer_desc* buffer) {
    return buffer != nullptr && (buffer->length == 0 || buffer->value != nullptr);
}

bool isEmpty(const gss_buffer_desc& buffer) { return buffer.length == 0 && buffer.value == nullptr; }

std::string_view bytesOf(const gss_buffer_desc& buffer) {
    if (buffer.value == nullptr) return {};
    return {static_cast<const char*>(buffer.value), buffer.length};
}

// 32-bit FNV-1a: a checksum anyone can recompute, enough to tell a changed
// content from the signed one.
OM_uint32 fnv1a(std::string_view bytes) {
    OM_uint32 hash = 0x811C9DC5u;
    for (const char byte : bytes) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 0x01000193u;
    }
    return hash;
}

std::string signatureText(OM_uint32 digest, std::string_view content) {
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "%08x", static_cast<unsigned>(fnv1a(content)));
    return std::string(kSignatureKind) + "(digest=" + hex(digest) + ",length=" + std::to_string(content.size()) +
           ",checksum=" + checksum + ")";
}

std::string masked(std::string_view bytes) {
    std::string out(bytes);
    for (char& byte : out) byte = static_cast<char>(static_cast<unsigned char>(byte) ^ kEnvelopeMask);
    return out;
}

// The values of a header "kind(key=value,...)" that has exactly the keys
// given, in that order; nullopt for anything else.
std::optional<std::vector<std::string_view>> headerValues(std::string_view header, std::string_view kind,
                                                          std::initializer_list<std::string_view> keys) {
    if (header.size() < kind.size() + 2 || header.substr(0, kind.size()) != kind) return std::nullopt;
    header.remove_prefix(kind.size());
    if (header.front() != '(' || header.back() != ')') return std::nullopt;
    std::string_view fields = header.substr(1, header.size() - 2);
    std::vector<std::string_view> values;
    for (const std::string_view key : keys) {
        const bool last = values.size() + 1 == keys.size();
        const std::size_t comma = fields.find(',');
        if (last != (comma == std::string_view::npos)) return std::nullopt;
        const std::string_view field = fields.substr(0, comma);
        if (field.size() <= key.size() || field.substr(0, key.size()) != key || field[key.size()] != '=')
            return std::nullopt;
        values.push_back(field.substr(key.size() + 1));
        fields.remove_prefix(last ? fields.size() : comma + 1);
    }
    return values;
}

// "0x" and one to eight lowercase hex digits, as hex() writes them.
std::optional<OM_uint32> parseHexWord(std::string_view text) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    if (text.size() < 3 || text.size() > 10 || text.substr(0, 2) != "0x") return std::nullopt;
    OM_uint32 value = 0;
    for (const char c : text.substr(2)) {
        const std::size_t digit = kDigits.find(c);
        if (digit == std::string_view::npos) return std::nullopt;
        value = value * 16 + static_cast<OM_uint32>(digit);
    }
    return value;
}

bool isDecimal(std::string_view text) {
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

kivo_reason_t protect(State& s, const IDUP_Protect_Request_desc& request, IDUP_Target_Info_desc* targets,
                      const gss_buffer_desc& input, gss_buffer_desc* token, gss_buffer_desc* detached_token) {
    std::string produced;
    gss_buffer_desc* out = token;
    switch (request.operation) {
    case IDUP_Protect_Sign:
        produced = std::string(kSignedDataKind) + "(digest=" + hex(request.digest) + ")\n";
        produced += bytesOf(input);
        break;
    case IDUP_Protect_SignatureOnly:
        produced = signatureText(request.digest, bytesOf(input));
        out = detached_token;
        break;
    case IDUP_Protect_Encrypt:
        produced = std::string(kEnvelopedDataKind) + "(strength=" + std::to_string(request.strength) +
                   ",recipients=" + std::to_string(targets != nullptr ? targets->count : 0) + ")\n";
        produced += masked(bytesOf(input));
        break;
    default:
        return KIVO_R_UNSUPPORTED_OPERATION;
    }
    if (out == nullptr) return KIVO_R_BAD_PARAMETER;
    handOutBytes(s, produced, "token", out, false);
    if (request.operation == IDUP_Protect_Encrypt && targets != nullptr && targets->statuses != nullptr)
        for (OM_uint32 i = 0; i < targets->count; ++i) targets->statuses[i] = KIVO_R_NONE;
    return KIVO_R_NONE;
}

// Hands out the content and, for a signature, the outcome in the caller's
// record, all or nothing. The subject is the provider's, released with the
// record or with prov_release_buffer.
void deliver(State& s, std::string_view body, gss_buffer_desc* content, IDUP_PIDU_Information_desc* info,
             std::optional<OM_uint32> signedWith) {
    PendingBytes subject;
    if (info != nullptr && signedWith) subject = prepareBytes(s, kSignerSubject, "signer_subject", true);
    PendingBytes bytes;
    if (content != nullptr) bytes = prepareBytes(s, body, "content", false);
    track(s, {entryOf(subject), entryOf(bytes)});
    if (content != nullptr) handOver(bytes, content);
    if (info == nullptr) return;
    info->reason = KIVO_R_NONE;
    if (!signedWith) return;
    handOver(subject, &info->signer_subject);
    info->digest = *signedWith;
}

kivo_reason_t verifyDetached(State& s, const gss_buffer_desc& content, const gss_buffer_desc& signature,
                             IDUP_PIDU_Information_desc* info) {
    const std::string_view text = bytesOf(signature);
    const auto values = headerValues(text, kSignatureKind, {"digest", "length", "checksum"});
    const auto digest = values ? parseHexWord((*values)[0]) : std::nullopt;
    if (!digest || signatureText(*digest, bytesOf(content)) != text) return KIVO_R_SIGNATURE_INVALID;
    deliver(s, {}, nullptr, info, digest);
    return KIVO_R_NONE;
}

kivo_reason_t openToken(State& s, const gss_buffer_desc& token, gss_buffer_desc* content,
                        IDUP_PIDU_Information_desc* info) {
    const std::string_view text = bytesOf(token);
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return KIVO_R_MALFORMED_TOKEN;
    const std::string_view header = text.substr(0, newline);
    const std::string_view body = text.substr(newline + 1);
    if (const auto values = headerValues(header, kSignedDataKind, {"digest"})) {
        const auto digest = parseHexWord((*values)[0]);
        if (!digest) return KIVO_R_MALFORMED_TOKEN;
        deliver(s, body, content, info, digest);
        return KIVO_R_NONE;
    }
    if (const auto values = headerValues(header, kEnvelopedDataKind, {"strength", "recipients"})) {
        if (!isDecimal((*values)[0]) || !isDecimal((*values)[1])) return KIVO_R_MALFORMED_TOKEN;
        deliver(s, masked(body), content, info, std::nullopt);
        return KIVO_R_NONE;
    }
    return KIVO_R_MALFORMED_TOKEN;
}

// A container handle: a descriptor whose value is the text "container#N".
kivo_reason_t makeContainer(State& s, Call& call, gss_buffer_desc** container) {
    if (container == nullptr) return KIVO_R_BAD_PARAMETER;
    const std::string label = labelOf("container", nextId(s, "container"));
    BufferDescPtr desc(static_cast<gss_buffer_desc*>(std::calloc(1, sizeof(gss_buffer_desc))));
    if (desc == nullptr) throw std::bad_alloc();
    desc->value = mallocCopy(label, true).release();
    desc->length = static_cast<OM_uint32>(label.size());
    addArg(call, "container", label);
    track(s, {{desc.get(), {Kind::Container, label}}});
    *container = desc.release();
    return KIVO_R_NONE;
}

// Whose bytes a released buffer holds: the library releases its own malloc
// blocks through the provider as well as the provider's outputs.
std::string ownerOf(const State& s, const gss_buffer_desc* buffer) {
    if (buffer == nullptr || buffer->value == nullptr) return "none";
    return isLive(s, buffer->value, Kind::Buffer) ? "double" : "caller";
}

// A handle of another kind passed as a buffer: freeing it here would leave
// the registry pointing at freed memory, so it is refused.
bool isOtherHandle(const State& s, const void* object) {
    const auto found = s.live.find(object);
    return found != s.live.end() && found->second.kind != Kind::Buffer;
}

// The release rule every handle shares: a null handle counts as released, and
// one the double did not hand out (or took back already) is refused rather
// than freed, so a double release shows up as KIVO_R_BAD_HANDLE.
template <typename T, typename Free>
kivo_reason_t releaseHandle(State& s, T** handle, Kind kind, Free&& free) {
    if (handle == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*handle == nullptr) return KIVO_R_NONE;
    if (!isLive(s, *handle, kind)) return KIVO_R_BAD_HANDLE;
    s.live.erase(*handle);
    free(*handle);
    *handle = nullptr;
    return KIVO_R_NONE;
}

} // namespace

extern "C" {

// --- Credentials -------------------------------------------------------------

OM_uint32 kivo_establish_creds(void* reserved, const gss_buffer_desc* location, const gss_buffer_desc* password,
                               gss_OID name_type, OM_uint32* minor_status, gss_buffer_desc** container) {
    return doubleCall(
        "kivo_establish_creds", minor_status,
        [&](State&, Call& call) {
            addArg(call, "reserved", reserved == nullptr ? "null" : "set");
            addArg(call, "location", provider_double::describeBuffer(location));
            addArg(call, "password", provider_double::describeBuffer(password));
            addArg(call, "name_type", describeOid(name_type));
        },
        [&](State& s, Call& call) -> kivo_reason_t {
            if (reserved != nullptr || !isReadable(location) || !isReadable(password)) return KIVO_R_BAD_PARAMETER;
            return makeContainer(s, call, container);
        });
}

OM_uint32 kivo_import_creds(const gss_buffer_desc* key_store, const gss_buffer_desc* password,
                            OM_uint32* minor_status, gss_buffer_desc** container) {
    return doubleCall(
        "kivo_import_creds", minor_status,
        [&](State&, Call& call) {
            addArg(call, "key_store", provider_double::describeBuffer(key_store));
            addArg(call, "password", provider_double::describeBuffer(password));
        },
        [&](State& s, Call& call) -> kivo_reason_t {
            if (!isReadable(key_store) || !isReadable(password)) return KIVO_R_BAD_PARAMETER;
            return makeContainer(s, call, container);
        });
}

OM_uint32 prov_abolish_creds(gss_buffer_desc** container, OM_uint32* minor_status) {
    return doubleCall(
        "prov_abolish_creds", minor_status,
        [&](State& s, Call& call) { addArg(call, "container", describeHandleAt(s, container, Kind::Container)); },
        [&](State& s, Call&) { return releaseHandle(s, container, Kind::Container, FreeBufferDesc()); });
}

OM_uint32 gss_import_name(OM_uint32* minor_status, const gss_buffer_desc* name, gss_OID name_type,
                          gss_name_t* output_name) {
    return doubleCall(
        "gss_import_name", minor_status,
        [&](State&, Call& call) {
            addArg(call, "name", provider_double::describeBuffer(name));
            addArg(call, "name_type", describeOid(name_type));
        },
        [&](State& s, Call& call) -> kivo_reason_t {
            gss_name_t imported = nullptr;
            const kivo_reason_t reason = ::detail::importName(name, name_type, output_name ? &imported : nullptr);
            if (reason != KIVO_R_NONE) return reason;
            NamePtr owned(imported);
            const std::string label = labelOf("name", nextId(s, "name"));
            addArg(call, "output_name", label);
            track(s, {{owned.get(), {Kind::Name, label}}});
            *output_name = owned.release();
            return KIVO_R_NONE;
        });
}

OM_uint32 prov_release_name(OM_uint32* minor_status, gss_name_t* name) {
    return doubleCall(
        "prov_release_name", minor_status,
        [&](State& s, Call& call) { addArg(call, "name", describeHandleAt(s, name, Kind::Name)); },
        [&](State& s, Call&) { return releaseHandle(s, name, Kind::Name, ReleaseName()); });
}

OM_uint32 idup_acquire_cred_with_auth(gss_name_t desired_name, const gss_buffer_desc* container, OM_uint32 time_req,
                                      gss_OID_set desired_mechs, const gss_buffer_desc* cred_usage,
                                      OM_uint32* minor_status, void** output_cred, gss_OID_set* actual_mechs,
                                      gss_buffer_desc** info, OM_uint32* time_rec) {
    return doubleCall(
        "idup_acquire_cred_with_auth", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "desired_name", describeHandle(s, desired_name, Kind::Name));
            addArg(call, "container", describeHandle(s, container, Kind::Container));
            addArg(call, "time_req", hex(time_req));
            addArg(call, "desired_mechs", describeOidSet(desired_mechs));
            addArg(call, "cred_usage", describeCredUsage(cred_usage));
        },
        [&](State& s, Call& call) -> kivo_reason_t {
            if (!isLive(s, desired_name, Kind::Name) || !isLive(s, container, Kind::Container))
                return KIVO_R_BAD_HANDLE;
            if (output_cred == nullptr) return KIVO_R_BAD_PARAMETER;
            auto cred = std::make_unique<DoubleCredential>();
            OidSetPtr mechs;
            if (actual_mechs != nullptr) {
                gss_OID_set created = nullptr;
                if (::detail::createEmptyOidSet(&created) != KIVO_R_NONE) return KIVO_R_NO_MEMORY;
                mechs.reset(created);
                const kivo_reason_t added = ::detail::addOidSetMember(KIVOGetOID(KIVO_OID_MECHANISM), &created);
                if (added != KIVO_R_NONE) return added;
            }
            BufferDescPtr infoDesc;
            if (info != nullptr) {
                infoDesc.reset(::detail::newBufferDesc(&s.credentialInfo, sizeof s.credentialInfo));
                if (infoDesc == nullptr) return KIVO_R_NO_MEMORY;
            }
            cred->id = nextId(s, "cred");
            const std::string credLabel = labelOf("cred", cred->id);
            const std::string mechsLabel = mechs ? labelOf("oid_set", nextId(s, "oid_set")) : "";
            const std::string infoLabel = infoDesc ? labelOf("cred_info", nextId(s, "cred_info")) : "";
            addArg(call, "output_cred", credLabel);
            if (mechs) addArg(call, "actual_mechs", mechsLabel);
            if (infoDesc) addArg(call, "info", hex(s.credentialInfo));
            track(s, {{cred.get(), {Kind::Credential, credLabel}},
                      {mechs.get(), {Kind::OidSet, mechsLabel}},
                      {infoDesc ? infoDesc->value : nullptr, {Kind::Buffer, infoLabel}}});
            *output_cred = cred.release();
            if (actual_mechs != nullptr) *actual_mechs = mechs.release();
            if (info != nullptr) *info = infoDesc.release();
            if (time_rec != nullptr) *time_rec = GSS_C_INDEFINITE;
            return KIVO_R_NONE;
        });
}

OM_uint32 prov_release_cred(OM_uint32* minor_status, void** cred) {
    return doubleCall(
        "prov_release_cred", minor_status,
        [&](State& s, Call& call) { addArg(call, "cred", describeHandleAt(s, cred, Kind::Credential)); },
        [&](State& s, Call&) {
            return releaseHandle(s, cred, Kind::Credential,
                                 [](void* handle) { delete static_cast<DoubleCredential*>(handle); });
        });
}

// --- Environments -------------------------------------------------------------

OM_uint32 prov_establish_env(const void* cred, gss_OID mech_type, gss_OID protect_mech, OM_uint32 req_flags,
                             gss_OID_set services, OM_uint32* minor_status, void** env, kivo_env_output_t* output_a,
                             kivo_env_output_t* output_b, OM_uint32* time_rec, gss_OID_set unsupported_services) {
    return doubleCall(
        "prov_establish_env", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "cred", describeHandle(s, cred, Kind::Credential));
            addArg(call, "mech_type", describeOid(mech_type));
            addArg(call, "protect_mech", describeOid(protect_mech));
            addArg(call, "req_flags", hex(req_flags));
            addArg(call, "services", describeOidSet(services));
            addArg(call, "unsupported_services", describeOidSet(unsupported_services));
        },
        [&](State& s, Call& call) -> kivo_reason_t {
            if (!isLive(s, cred, Kind::Credential)) return KIVO_R_BAD_HANDLE;
            if (env == nullptr) return KIVO_R_BAD_PARAMETER;
            auto environment = std::make_unique<DoubleEnvironment>();
            EnvOutputPtr outputs[2];
            kivo_env_output_t* const destinations[2] = {output_a, output_b};
            std::string outputLabels[2];
            for (int i = 0; i < 2; ++i) {
                if (destinations[i] == nullptr) continue;
                kivo_env_output_t created = nullptr;
                const kivo_reason_t reason = ::detail::createEnvOutput(&created);
                if (reason != KIVO_R_NONE) return reason;
                outputs[i].reset(created);
            }
            environment->id = nextId(s, "env");
            const std::string envLabel = labelOf("env", environment->id);
            addArg(call, "env", envLabel);
            for (int i = 0; i < 2; ++i) {
                if (!outputs[i]) continue;
                outputLabels[i] = labelOf("env_output", nextId(s, "env_output"));
                addArg(call, i == 0 ? "output_a" : "output_b", outputLabels[i]);
            }
            track(s, {{environment.get(), {Kind::Environment, envLabel}},
                      {outputs[0].get(), {Kind::EnvOutput, outputLabels[0]}},
                      {outputs[1].get(), {Kind::EnvOutput, outputLabels[1]}}});
            *env = environment.release();
            for (int i = 0; i < 2; ++i)
                if (destinations[i] != nullptr) *destinations[i] = outputs[i].release();
            if (time_rec != nullptr) *time_rec = GSS_C_INDEFINITE;
            return KIVO_R_NONE;
        });
}

OM_uint32 prov_abolish_env(void** env, OM_uint32* minor_status) {
    return doubleCall(
        "prov_abolish_env", minor_status,
        [&](State& s, Call& call) { addArg(call, "env", describeHandleAt(s, env, Kind::Environment)); },
        [&](State& s, Call&) {
            return releaseHandle(s, env, Kind::Environment,
                                 [](void* handle) { delete static_cast<DoubleEnvironment*>(handle); });
        });
}

OM_uint32 prov_release_env_output(OM_uint32* minor_status, kivo_env_output_t* output) {
    return doubleCall(
        "prov_release_env_output", minor_status,
        [&](State& s, Call& call) { addArg(call, "output", describeHandleAt(s, output, Kind::EnvOutput)); },
        [&](State& s, Call&) { return releaseHandle(s, output, Kind::EnvOutput, ReleaseEnvOutput()); });
}

// --- Protection ----------------------------------------------------------------

OM_uint32 prov_protect(void* env, const IDUP_Protect_Request_desc* request, IDUP_Target_Info_desc* targets,
                       const gss_buffer_desc* input, OM_uint32* minor_status, gss_buffer_desc* token,
                       gss_buffer_desc* detached_token) {
    return doubleCall(
        "prov_protect", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "env", describeHandle(s, env, Kind::Environment));
            if (request == nullptr) {
                addArg(call, "request", "null");
            } else {
                addArg(call, "operation", hex(request->operation));
                addArg(call, "digest", hex(request->digest));
                addArg(call, "strength", hex(request->strength));
                addArg(call, "reserved", hex(request->reserved));
            }
            addArg(call, "targets", describeTargets(targets));
            addArg(call, "input", provider_double::describeBuffer(input));
        },
        [&](State& s, Call&) -> kivo_reason_t {
            if (!isLive(s, env, Kind::Environment)) return KIVO_R_BAD_HANDLE;
            if (request == nullptr || !isReadable(input)) return KIVO_R_BAD_PARAMETER;
            // Outputs that are there must come in empty: a filled one would
            // be overwritten and its bytes lost.
            if ((token != nullptr && !isEmpty(*token)) || (detached_token != nullptr && !isEmpty(*detached_token)))
                return KIVO_R_BAD_PARAMETER;
            return protect(s, *request, targets, *input, token, detached_token);
        });
}

OM_uint32 prov_unprotect(void* env, const gss_buffer_desc* token, const gss_buffer_desc* detached_token,
                         OM_uint32* minor_status, gss_buffer_desc* content, IDUP_PIDU_Information_desc* info) {
    return doubleCall(
        "prov_unprotect", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "env", describeHandle(s, env, Kind::Environment));
            addArg(call, "token", provider_double::describeBuffer(token));
            addArg(call, "detached_token", provider_double::describeBuffer(detached_token));
            if (info == nullptr) {
                addArg(call, "info", "null");
            } else {
                addArg(call, "info", isLive(s, info, Kind::Pidu) ? describeHandle(s, info, Kind::Pidu) : "set");
                addArg(call, "verify_flags", hex(info->verify_flags));
            }
        },
        [&](State& s, Call&) -> kivo_reason_t {
            if (!isLive(s, env, Kind::Environment)) return KIVO_R_BAD_HANDLE;
            if (!isReadable(token) || (detached_token != nullptr && !isReadable(detached_token)))
                return KIVO_R_BAD_PARAMETER;
            if (content != nullptr && !isEmpty(*content)) return KIVO_R_BAD_PARAMETER;
            if (info != nullptr && !isEmpty(info->signer_subject)) return KIVO_R_BAD_PARAMETER;
            if (detached_token != nullptr) return verifyDetached(s, *token, *detached_token, info);
            if (content == nullptr) return KIVO_R_BAD_PARAMETER;
            return openToken(s, *token, content, info);
        });
}

IDUP_PIDU_Information_desc* prov_create_pidu_info(OM_uint32* minor_status) {
    IDUP_PIDU_Information_desc* created = nullptr;
    doubleCall(
        "prov_create_pidu_info", minor_status, [](State&, Call&) {},
        [&](State& s, Call& call) -> kivo_reason_t {
            PiduPtr info(::detail::createPiduInfo());
            if (info == nullptr) return KIVO_R_NO_MEMORY;
            const std::string label = labelOf("pidu", nextId(s, "pidu"));
            addArg(call, "info", label);
            track(s, {{info.get(), {Kind::Pidu, label}}});
            created = info.release();
            return KIVO_R_NONE;
        });
    return created;
}

OM_uint32 prov_release_pidu_info(OM_uint32* minor_status, IDUP_PIDU_Information_desc** info) {
    return doubleCall(
        "prov_release_pidu_info", minor_status,
        [&](State& s, Call& call) { addArg(call, "info", describeHandleAt(s, info, Kind::Pidu)); },
        [&](State& s, Call&) {
            return releaseHandle(s, info, Kind::Pidu, [&s](IDUP_PIDU_Information_desc* record) {
                // The record's outputs go with it.
                untrackBuffer(s, record->signer_subject.value);
                untrackBuffer(s, record->signer_certificate.value);
                ReleasePidu()(record);
            });
        });
}

// --- Bookkeeping ---------------------------------------------------------------

OM_uint32 gss_create_empty_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return doubleCall(
        "gss_create_empty_oid_set", minor_status, [](State&, Call&) {},
        [&](State& s, Call& call) -> kivo_reason_t {
            gss_OID_set created = nullptr;
            const kivo_reason_t reason = ::detail::createEmptyOidSet(set ? &created : nullptr);
            if (reason != KIVO_R_NONE) return reason;
            OidSetPtr owned(created);
            const std::string label = labelOf("oid_set", nextId(s, "oid_set"));
            addArg(call, "set", label);
            track(s, {{owned.get(), {Kind::OidSet, label}}});
            *set = owned.release();
            return KIVO_R_NONE;
        });
}

OM_uint32 gss_add_oid_set_member(OM_uint32* minor_status, gss_OID member, gss_OID_set* set) {
    return doubleCall(
        "gss_add_oid_set_member", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "member", describeOid(member));
            addArg(call, "set", describeHandleAt(s, set, Kind::OidSet));
        },
        [&](State& s, Call&) -> kivo_reason_t {
            if (set != nullptr && *set != nullptr && !isLive(s, *set, Kind::OidSet)) return KIVO_R_BAD_HANDLE;
            return ::detail::addOidSetMember(member, set);
        });
}

OM_uint32 prov_release_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return doubleCall(
        "prov_release_oid_set", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "set", describeHandleAt(s, set, Kind::OidSet));
            addArg(call, "members", set == nullptr ? "no-address" : describeOidSet(*set));
        },
        [&](State& s, Call&) { return releaseHandle(s, set, Kind::OidSet, ReleaseOidSet()); });
}


OM_uint32 prov_release_buffer(OM_uint32* minor_status, gss_buffer_desc* buffer) {
    return doubleCall(
        "prov_release_buffer", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "buffer", provider_double::describeBuffer(buffer));
            addArg(call, "length", buffer == nullptr ? "null" : std::to_string(buffer->length));
            addArg(call, "owner", ownerOf(s, buffer));
        },
        [&](State& s, Call&) -> kivo_reason_t {
            if (buffer == nullptr) return KIVO_R_BAD_PARAMETER;
            if (isOtherHandle(s, buffer->value)) return KIVO_R_BAD_HANDLE;
            untrackBuffer(s, buffer->value);
            return ::detail::releaseBuffer(buffer);
        });
}

OM_uint32 prov_free_buffer_desc(OM_uint32* minor_status, gss_buffer_desc** buffer) {
    return doubleCall(
        "prov_free_buffer_desc", minor_status,
        [&](State& s, Call& call) {
            addArg(call, "buffer", buffer == nullptr ? "no-address" : provider_double::describeBuffer(*buffer));
            addArg(call, "owner", ownerOf(s, buffer == nullptr ? nullptr : *buffer));
        },
        [&](State& s, Call&) -> kivo_reason_t {
            if (buffer == nullptr) return KIVO_R_BAD_PARAMETER;
            if (*buffer == nullptr) return KIVO_R_NONE;
            if (isOtherHandle(s, *buffer) || isOtherHandle(s, (*buffer)->value)) return KIVO_R_BAD_HANDLE;
            untrackBuffer(s, (*buffer)->value);
            return ::detail::freeBufferDesc(buffer);
        });
}

OM_uint32 kivo_display_status(OM_uint32 reason, gss_buffer_desc* text) {
    return doubleCall(
        "kivo_display_status", nullptr, [&](State&, Call& call) { addArg(call, "reason", hex(reason)); },
        [&](State& s, Call&) -> kivo_reason_t {
            gss_buffer_desc line{0, nullptr};
            if (text == nullptr || !isEmpty(*text)) return KIVO_R_BAD_PARAMETER;
            const kivo_reason_t made = ::detail::displayStatus(reason, &line);
            if (made != KIVO_R_NONE) return made;
            OwnedBytes owned(static_cast<char*>(line.value));
            track(s, {{owned.get(), {Kind::Buffer, labelOf("status_text", nextId(s, "status_text"))}}});
            text->length = line.length;
            text->value = owned.release();
            return KIVO_R_NONE;
        });
}

} // extern "C"
