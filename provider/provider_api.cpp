// The provider's entry points: argument checks and handle bookkeeping here,
// the OpenSSL work in the keystore, credential and cms_* files.
#include <cstdlib>
#include <memory>
#include <string>

#include "bookkeeping.h"
#include "cms_ops.h"
#include "credential.h"
#include "der_content.h"
#include "keystore.h"
#include "openssl_support.h"
#include "vek4kivoidup.h"

using namespace detail;

namespace {

// The shortest GCM tag S/MIME agents accept (RFC 5084 allows 12 to 16 octets).
constexpr std::size_t kShortestTag = 12;

bool isEmpty(const gss_buffer_desc* buffer) { return buffer->length == 0 && buffer->value == nullptr; }

// Wipes a copy of a password or of key-store bytes when it goes, spare
// capacity included: a password cut at an embedded NUL keeps its tail there.
struct Secret {
    std::string text;
    ~Secret() {
        text.resize(text.capacity()); // within the capacity: no new block
        OPENSSL_cleanse(&text[0], text.size());
    }
};

kivo_reason_t containerFrom(const void* bytes, std::size_t length, const gss_buffer_desc* password,
                            gss_buffer_desc** container) {
    Secret secret;
    if (password != nullptr && !stringOf(password, secret.text)) return KIVO_R_BAD_PARAMETER;
    auto store = std::make_unique<KeyStore>();
    const kivo_reason_t reason = loadKeyStore(bytes, length, secret.text, *store);
    if (reason != KIVO_R_NONE) return reason;
    return makeContainer(std::move(store), container);
}

kivo_reason_t establishCreds(const gss_buffer_desc* location, const gss_buffer_desc* password,
                             gss_buffer_desc** container) {
    std::string path;
    if (container == nullptr || !stringOf(location, path)) return KIVO_R_BAD_PARAMETER;
    // An empty location stands for a container without keys: enough to
    // encrypt to others and to verify.
    if (path.empty()) return makeContainer(std::make_unique<KeyStore>(), container);
    Secret bytes;
    const kivo_reason_t reason = readKeyStoreFile(path, bytes.text);
    return reason != KIVO_R_NONE ? reason : containerFrom(bytes.text.data(), bytes.text.size(), password, container);
}

kivo_reason_t importCreds(const gss_buffer_desc* keyStore, const gss_buffer_desc* password,
                          gss_buffer_desc** container) {
    if (container == nullptr || keyStore == nullptr || keyStore->value == nullptr) return KIVO_R_BAD_PARAMETER;
    if (keyStore->length > kMaxKeyStoreBytes) return KIVO_R_KEYSTORE_UNREADABLE;
    // The caller's bytes are read where they stand: a copy would be one more to wipe.
    return containerFrom(keyStore->value, keyStore->length, password, container);
}

// A set holding copies of the members of source (may be null).
kivo_reason_t copyOidSet(const gss_OID_set_desc* source, gss_OID_set* copy) {
    gss_OID_set made = nullptr;
    kivo_reason_t reason = createEmptyOidSet(&made);
    for (std::size_t i = 0; reason == KIVO_R_NONE && source != nullptr && i < source->count; ++i)
        reason = addOidSetMember(&source->elements[i], &made);
    if (reason != KIVO_R_NONE) {
        releaseOidSet(&made);
        return reason;
    }
    *copy = made;
    return KIVO_R_NONE;
}

kivo_reason_t acquireCred(gss_name_t name, const gss_buffer_desc* container, gss_OID_set desiredMechs,
                          void** outputCred, gss_OID_set* actualMechs, gss_buffer_desc** info, OM_uint32* timeRec) {
    if (outputCred == nullptr) return KIVO_R_BAD_PARAMETER;
    const KeyStore* store = keyStoreOf(container);
    if (store == nullptr) return container == nullptr ? KIVO_R_BAD_PARAMETER : KIVO_R_BAD_HANDLE;
    std::string principal;
    if (name != nullptr && !stringOf(&name->text, principal)) return KIVO_R_BAD_PARAMETER;

    auto credential = std::make_unique<Credential>();
    kivo_reason_t reason = selectIdentity(*store, principal, credential->identity);
    if (reason != KIVO_R_NONE) return reason;
    const OM_uint32 capabilities = capabilitiesOf(*credential->identity);
    std::unique_ptr<gss_buffer_desc, void (*)(gss_buffer_desc*)> infoBuffer(
        info != nullptr ? newBufferDesc(&capabilities, sizeof capabilities) : nullptr,
        [](gss_buffer_desc* b) { freeBufferDesc(&b); });
    if (info != nullptr && !infoBuffer) return KIVO_R_NO_MEMORY;
    gss_OID_set mechs = nullptr;
    if (actualMechs != nullptr && (reason = copyOidSet(desiredMechs, &mechs)) != KIVO_R_NONE) return reason;

    if (!liveHandles<Credential>().add(credential.get())) {
        releaseOidSet(&mechs);
        return KIVO_R_NO_MEMORY;
    }
    if (actualMechs != nullptr) *actualMechs = mechs;
    if (info != nullptr) *info = infoBuffer.release();
    if (timeRec != nullptr) *timeRec = GSS_C_INDEFINITE;
    *outputCred = credential.release();
    return KIVO_R_NONE;
}

kivo_reason_t establishEnv(const void* cred, void** env, kivo_env_output_t* outputA, kivo_env_output_t* outputB,
                           OM_uint32* timeRec) {
    if (env == nullptr) return KIVO_R_BAD_PARAMETER;
    const Credential* credential = credentialOf(cred);
    if (credential == nullptr) return cred == nullptr ? KIVO_R_BAD_PARAMETER : KIVO_R_BAD_HANDLE;
    auto environment = std::make_unique<Environment>();
    environment->identity = credential->identity;
    kivo_env_output_t a = nullptr;
    kivo_env_output_t b = nullptr;
    kivo_reason_t reason = outputA != nullptr ? createEnvOutput(&a) : KIVO_R_NONE;
    if (reason == KIVO_R_NONE && outputB != nullptr) reason = createEnvOutput(&b);
    if (reason == KIVO_R_NONE && !liveHandles<Environment>().add(environment.get())) reason = KIVO_R_NO_MEMORY;
    if (reason != KIVO_R_NONE) {
        releaseEnvOutput(&a);
        releaseEnvOutput(&b);
        return reason;
    }
    if (outputA != nullptr) *outputA = a;
    if (outputB != nullptr) *outputB = b;
    if (timeRec != nullptr) *timeRec = GSS_C_INDEFINITE;
    *env = environment.release();
    return KIVO_R_NONE;
}

kivo_reason_t protect(void* env, const IDUP_Protect_Request_desc* request, IDUP_Target_Info_desc* targets,
                      const gss_buffer_desc* input, gss_buffer_desc* token, gss_buffer_desc* detachedToken) {
    Environment* environment = environmentOf(env);
    if (environment == nullptr) return env == nullptr ? KIVO_R_BAD_PARAMETER : KIVO_R_BAD_HANDLE;
    if (request == nullptr || input == nullptr) return KIVO_R_BAD_PARAMETER;
    switch (request->operation) {
    case IDUP_Protect_Sign:
        if (token == nullptr || !isEmpty(token)) return KIVO_R_BAD_PARAMETER;
        return signContent(*environment->identity, request->digest, false, *input, *token);
    case IDUP_Protect_SignatureOnly:
        if (detachedToken == nullptr || !isEmpty(detachedToken)) return KIVO_R_BAD_PARAMETER;
        return signContent(*environment->identity, request->digest, true, *input, *detachedToken);
    case IDUP_Protect_Encrypt:
        if (targets == nullptr) return KIVO_R_NO_RECIPIENTS;
        if (token == nullptr || !isEmpty(token)) return KIVO_R_BAD_PARAMETER;
        return encryptContent(*targets, request->strength, *input, *token);
    default:
        return KIVO_R_UNSUPPORTED_OPERATION;
    }
}

// The whole token must be one CMS structure: bytes after it are refused,
// since nothing vouches for them.
CmsPtr parseWhole(const unsigned char* start, std::size_t length, kivo_reason_t& reason) {
    const unsigned char* cursor = start;
    CmsPtr cms(fitsLong(length) ? d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(length)) : nullptr);
    if (!cms) {
        reason = reasonFromQueue(KIVO_R_MALFORMED_TOKEN);
        return nullptr;
    }
    if (cursor != start + length) {
        reason = KIVO_R_MALFORMED_TOKEN;
        return nullptr;
    }
    return cms;
}

// Whether an AuthEnvelopedData has a tag too short to trust: OpenSSL 3.0
// checks as much of a GCM tag as the token holds, however little that is,
// which would make forgeries cheap. OpenSSL keeps the tag out of reach, so
// the structure is encoded again, as DER (without the content when that was
// taken out to be read where it stands), and walked.
bool hasShortTag(CMS_ContentInfo* cms) {
    OsslBytes der;
    std::size_t length = 0, tagStart = 0, tagLength = 0;
    return derOf(cms, der, length) != KIVO_R_NONE || !locateTag(der.get(), length, tagStart, tagLength) ||
           tagLength < kShortestTag;
}

// Parses token. When its content lies in it as one primitive string (as in
// every DER token), the structure is parsed without it and the content is
// described in takenOut, to be read where it stands: OpenSSL's decoder
// would copy it into memory of its own first.
CmsPtr parseToken(const gss_buffer_desc& token, gss_buffer_desc& takenOut, kivo_reason_t& reason) {
    reason = KIVO_R_MALFORMED_TOKEN;
    takenOut = {0, nullptr};
    if (token.value == nullptr || token.length == 0) return nullptr;
    const auto* start = static_cast<const unsigned char*>(token.value);
    ContentLocation where;
    if (!locateContent(start, token.length, where)) return parseWhole(start, token.length, reason);
    const std::size_t restLength = editedSize(where.removal, token.length);
    MallocBytes rest(static_cast<unsigned char*>(std::malloc(restLength)));
    if (!rest) {
        reason = KIVO_R_NO_MEMORY;
        return nullptr;
    }
    writeEdited(start, token.length, where.removal, rest.get());
    CmsPtr cms = parseWhole(rest.get(), restLength, reason);
    if (cms) takenOut = {static_cast<OM_uint32>(where.contentLength), const_cast<unsigned char*>(start + where.contentStart)};
    return cms;
}

kivo_reason_t unprotectToken(Environment& environment, const gss_buffer_desc* token,
                             const gss_buffer_desc* detachedToken, gss_buffer_desc* content,
                             IDUP_PIDU_Information_desc* info, const ContentTarget& target) {
    kivo_reason_t reason = KIVO_R_NONE;
    gss_buffer_desc takenOut = {0, nullptr};
    if (detachedToken != nullptr) {
        // A detached signature; token is the signed content. A signature
        // token is small and parsed as it stands.
        const auto* start = static_cast<const unsigned char*>(detachedToken->value);
        if (start == nullptr || detachedToken->length == 0) return KIVO_R_MALFORMED_TOKEN;
        CmsPtr cms = parseWhole(start, detachedToken->length, reason);
        if (!cms) return reason;
        if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return KIVO_R_MALFORMED_TOKEN;
        reason = checkSignedDataLimits(*detachedToken, cms.get());
        if (reason != KIVO_R_NONE) return reason;
        return verifySigned(environment, cms.get(), token, nullptr, info);
    }
    CmsPtr cms = parseToken(*token, takenOut, reason);
    if (!cms) return reason;
    const gss_buffer_desc* detachedContent = takenOut.value != nullptr ? &takenOut : nullptr;
    switch (OBJ_obj2nid(CMS_get0_type(cms.get()))) {
    case NID_pkcs7_signed:
        reason = checkSignedDataLimits(*token, cms.get());
        if (reason != KIVO_R_NONE) return reason;
        if (content == nullptr) return KIVO_R_BAD_PARAMETER;
        return verifySigned(environment, cms.get(), detachedContent, content, info, target);
    case NID_id_smime_ct_authEnvelopedData:
        if (hasShortTag(cms.get())) return KIVO_R_DECRYPTION_FAILED;
        [[fallthrough]];
    case NID_pkcs7_enveloped:
        if (content == nullptr) return KIVO_R_BAD_PARAMETER;
        return decryptEnveloped(*environment.identity, cms.get(), detachedContent, *content, target);
    default:
        return KIVO_R_MALFORMED_TOKEN;
    }
}

kivo_reason_t unprotect(void* env, const gss_buffer_desc* token, const gss_buffer_desc* detachedToken,
                        gss_buffer_desc* content, IDUP_PIDU_Information_desc* info, bool overToken = false) {
    if (info != nullptr) resetVerifyOutputs(*info);
    Environment* environment = environmentOf(env);
    kivo_reason_t reason = KIVO_R_BAD_PARAMETER;
    if (environment == nullptr && env != nullptr) reason = KIVO_R_BAD_HANDLE;
    else if (environment != nullptr && token != nullptr) {
        ContentTarget target;
        if (overToken) target = {static_cast<unsigned char*>(token->value), token->length};
        reason = unprotectToken(*environment, token, detachedToken, content, info, target);
    }
    if (info != nullptr) info->reason = reason;
    return reason;
}

// Taken out of the live set before it is freed, so that a stale copy of the
// handle is refused from then on without being read.
template <typename Handle>
kivo_reason_t releaseHandle(void** handle) {
    if (handle == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*handle == nullptr) return KIVO_R_NONE;
    Handle* owned = liveHandles<Handle>().take(*handle);
    if (owned == nullptr) return KIVO_R_BAD_HANDLE;
    delete owned;
    *handle = nullptr;
    return KIVO_R_NONE;
}

} // namespace

extern "C" {

OM_uint32 kivo_establish_creds(void* reserved, const gss_buffer_desc* location, const gss_buffer_desc* password,
                               gss_OID, OM_uint32* minor_status, gss_buffer_desc** container) {
    return opensslCall(minor_status, [&] {
        return reserved != nullptr ? KIVO_R_BAD_PARAMETER : establishCreds(location, password, container);
    });
}

OM_uint32 kivo_import_creds(const gss_buffer_desc* key_store, const gss_buffer_desc* password, OM_uint32* minor_status,
                            gss_buffer_desc** container) {
    return opensslCall(minor_status, [&] { return importCreds(key_store, password, container); });
}

OM_uint32 prov_abolish_creds(gss_buffer_desc** container, OM_uint32* minor_status) {
    return opensslCall(minor_status, [&] { return abolishContainer(container); });
}

OM_uint32 gss_import_name(OM_uint32* minor_status, const gss_buffer_desc* name, gss_OID name_type,
                          gss_name_t* output_name) {
    return providerCall(minor_status, [&] { return importName(name, name_type, output_name); });
}

OM_uint32 prov_release_name(OM_uint32* minor_status, gss_name_t* name) {
    return providerCall(minor_status, [&] { return releaseName(name); });
}

OM_uint32 idup_acquire_cred_with_auth(gss_name_t desired_name, const gss_buffer_desc* container, OM_uint32,
                                      gss_OID_set desired_mechs, const gss_buffer_desc*, OM_uint32* minor_status,
                                      void** output_cred, gss_OID_set* actual_mechs, gss_buffer_desc** info,
                                      OM_uint32* time_rec) {
    return opensslCall(minor_status, [&] {
        return acquireCred(desired_name, container, desired_mechs, output_cred, actual_mechs, info, time_rec);
    });
}

OM_uint32 prov_release_cred(OM_uint32* minor_status, void** cred) {
    return opensslCall(minor_status, [&] { return releaseHandle<Credential>(cred); });
}

OM_uint32 prov_establish_env(const void* cred, gss_OID, gss_OID, OM_uint32, gss_OID_set, OM_uint32* minor_status,
                             void** env, kivo_env_output_t* output_a, kivo_env_output_t* output_b, OM_uint32* time_rec,
                             gss_OID_set) {
    return opensslCall(minor_status, [&] { return establishEnv(cred, env, output_a, output_b, time_rec); });
}

OM_uint32 prov_abolish_env(void** env, OM_uint32* minor_status) {
    return opensslCall(minor_status, [&] { return releaseHandle<Environment>(env); });
}

OM_uint32 prov_release_env_output(OM_uint32* minor_status, kivo_env_output_t* output) {
    return providerCall(minor_status, [&] { return releaseEnvOutput(output); });
}

OM_uint32 prov_protect(void* env, const IDUP_Protect_Request_desc* request, IDUP_Target_Info_desc* targets,
                       const gss_buffer_desc* input, OM_uint32* minor_status, gss_buffer_desc* token,
                       gss_buffer_desc* detached_token) {
    return opensslCall(minor_status, [&] { return protect(env, request, targets, input, token, detached_token); });
}

OM_uint32 prov_unprotect(void* env, const gss_buffer_desc* token, const gss_buffer_desc* detached_token,
                         OM_uint32* minor_status, gss_buffer_desc* content, IDUP_PIDU_Information_desc* info) {
    return opensslCall(minor_status, [&] { return unprotect(env, token, detached_token, content, info); });
}

OM_uint32 prov_unprotect_over(void* env, const gss_buffer_desc* token, OM_uint32* minor_status, gss_buffer_desc* content,
                              IDUP_PIDU_Information_desc* info) {
    return opensslCall(minor_status, [&] { return unprotect(env, token, nullptr, content, info, true); });
}

IDUP_PIDU_Information_desc* prov_create_pidu_info(OM_uint32* minor_status) {
    IDUP_PIDU_Information_desc* info = createPiduInfo();
    if (minor_status != nullptr) *minor_status = info != nullptr ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
    return info;
}

OM_uint32 prov_release_pidu_info(OM_uint32* minor_status, IDUP_PIDU_Information_desc** info) {
    return providerCall(minor_status, [&] { return releasePiduInfo(info); });
}

OM_uint32 gss_create_empty_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return createEmptyOidSet(set); });
}

OM_uint32 gss_add_oid_set_member(OM_uint32* minor_status, gss_OID member, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return addOidSetMember(member, set); });
}

OM_uint32 prov_release_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return releaseOidSet(set); });
}

OM_uint32 prov_release_buffer(OM_uint32* minor_status, gss_buffer_desc* buffer) {
    return providerCall(minor_status, [&] { return releaseBuffer(buffer); });
}

OM_uint32 prov_free_buffer_desc(OM_uint32* minor_status, gss_buffer_desc** buffer) {
    return providerCall(minor_status, [&] { return freeBufferDesc(buffer); });
}

OM_uint32 kivo_display_status(OM_uint32 reason, gss_buffer_desc* text) {
    return providerCall(nullptr, [&] { return displayStatus(reason, text); });
}

} // extern "C"
