// The provider's entry points. Bookkeeping is complete; credentials,
// environments and CMS protection report KIVO_R_NOT_AVAILABLE until the
// OpenSSL back end is in place, so that the library links and loads now.
#include "bookkeeping.h"
#include "provider_call.h"
#include "vek4kivoidup.h"

using detail::providerCall;

namespace {

kivo_reason_t notAvailable() noexcept { return KIVO_R_NOT_AVAILABLE; }

} // namespace

extern "C" {

OM_uint32 kivo_establish_creds(void*, const gss_buffer_desc*, const gss_buffer_desc*, gss_OID, OM_uint32* minor_status,
                               gss_buffer_desc**) {
    return providerCall(minor_status, notAvailable);
}

OM_uint32 kivo_import_creds(const gss_buffer_desc*, const gss_buffer_desc*, OM_uint32* minor_status, gss_buffer_desc**) {
    return providerCall(minor_status, notAvailable);
}

OM_uint32 prov_abolish_creds(gss_buffer_desc** container, OM_uint32* minor_status) {
    return providerCall(minor_status, [&] {
        if (container == nullptr) return KIVO_R_BAD_PARAMETER;
        return *container == nullptr ? KIVO_R_NONE : KIVO_R_BAD_HANDLE;
    });
}

OM_uint32 gss_import_name(OM_uint32* minor_status, const gss_buffer_desc* name, gss_OID name_type,
                          gss_name_t* output_name) {
    return providerCall(minor_status, [&] { return detail::importName(name, name_type, output_name); });
}

OM_uint32 prov_release_name(OM_uint32* minor_status, gss_name_t* name) {
    return providerCall(minor_status, [&] { return detail::releaseName(name); });
}

OM_uint32 idup_acquire_cred_with_auth(gss_name_t, const gss_buffer_desc*, OM_uint32, gss_OID_set, const gss_buffer_desc*,
                                      OM_uint32* minor_status, void**, gss_OID_set*, gss_buffer_desc**, OM_uint32*) {
    return providerCall(minor_status, notAvailable);
}

OM_uint32 prov_release_cred(OM_uint32* minor_status, void** cred) {
    return providerCall(minor_status, [&] {
        if (cred == nullptr) return KIVO_R_BAD_PARAMETER;
        return *cred == nullptr ? KIVO_R_NONE : KIVO_R_BAD_HANDLE;
    });
}

OM_uint32 prov_establish_env(const void*, gss_OID, gss_OID, OM_uint32, gss_OID_set, OM_uint32* minor_status, void**,
                             kivo_env_output_t*, kivo_env_output_t*, OM_uint32*, gss_OID_set) {
    return providerCall(minor_status, notAvailable);
}

OM_uint32 prov_abolish_env(void** env, OM_uint32* minor_status) {
    return providerCall(minor_status, [&] {
        if (env == nullptr) return KIVO_R_BAD_PARAMETER;
        return *env == nullptr ? KIVO_R_NONE : KIVO_R_BAD_HANDLE;
    });
}

OM_uint32 prov_release_env_output(OM_uint32* minor_status, kivo_env_output_t* output) {
    return providerCall(minor_status, [&] { return detail::releaseEnvOutput(output); });
}

OM_uint32 prov_protect(void*, const IDUP_Protect_Request_desc*, IDUP_Target_Info_desc*, const gss_buffer_desc*,
                       OM_uint32* minor_status, gss_buffer_desc*, gss_buffer_desc*) {
    return providerCall(minor_status, notAvailable);
}

OM_uint32 prov_unprotect(void*, const gss_buffer_desc*, const gss_buffer_desc*, OM_uint32* minor_status,
                         gss_buffer_desc*, IDUP_PIDU_Information_desc*) {
    return providerCall(minor_status, notAvailable);
}

IDUP_PIDU_Information_desc* prov_create_pidu_info(OM_uint32* minor_status) {
    IDUP_PIDU_Information_desc* info = detail::createPiduInfo();
    if (minor_status != nullptr) *minor_status = info != nullptr ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
    return info;
}

OM_uint32 prov_release_pidu_info(OM_uint32* minor_status, IDUP_PIDU_Information_desc** info) {
    return providerCall(minor_status, [&] { return detail::releasePiduInfo(info); });
}

OM_uint32 gss_create_empty_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return detail::createEmptyOidSet(set); });
}

OM_uint32 gss_add_oid_set_member(OM_uint32* minor_status, gss_OID member, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return detail::addOidSetMember(member, set); });
}

OM_uint32 prov_release_oid_set(OM_uint32* minor_status, gss_OID_set* set) {
    return providerCall(minor_status, [&] { return detail::releaseOidSet(set); });
}

OM_uint32 prov_release_buffer(OM_uint32* minor_status, gss_buffer_desc* buffer) {
    return providerCall(minor_status, [&] { return detail::releaseBuffer(buffer); });
}

OM_uint32 prov_free_buffer_desc(OM_uint32* minor_status, gss_buffer_desc** buffer) {
    return providerCall(minor_status, [&] { return detail::freeBufferDesc(buffer); });
}

OM_uint32 kivo_display_status(OM_uint32 reason, gss_buffer_desc* text) {
    return providerCall(nullptr, [&] { return detail::displayStatus(reason, text); });
}

} // extern "C"
