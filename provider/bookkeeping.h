// Buffers, names, OID sets and records: what both the provider and the test
// provider hand out and take back, done one way for both.
#ifndef PROVIDER_BOOKKEEPING_H
#define PROVIDER_BOOKKEEPING_H

#include "vek4kivoidup.h"

// A principal name: a copy of the imported bytes and of the name type.
struct kivo_name_desc {
    gss_buffer_desc text;
    gss_OID_desc type;
};

// An output object of prov_establish_env: what the environment offers.
struct kivo_env_output_desc {
    OM_uint32 services; // reserved for the environment's service bits
};

namespace detail {

kivo_reason_t createEmptyOidSet(gss_OID_set* set) noexcept;
kivo_reason_t addOidSetMember(const gss_OID_desc* member, gss_OID_set* set) noexcept;
kivo_reason_t releaseOidSet(gss_OID_set* set) noexcept;
bool oidSetContains(const gss_OID_desc* oid, const gss_OID_set_desc* set) noexcept;
bool oidEquals(const gss_OID_desc* a, const gss_OID_desc* b) noexcept;

kivo_reason_t importName(const gss_buffer_desc* name, const gss_OID_desc* type, gss_name_t* output) noexcept;
kivo_reason_t releaseName(gss_name_t* name) noexcept;

kivo_reason_t releaseBuffer(gss_buffer_desc* buffer) noexcept;
kivo_reason_t freeBufferDesc(gss_buffer_desc** buffer) noexcept;
// A malloc'd descriptor holding a malloc'd copy of length bytes; null when
// memory runs out.
gss_buffer_desc* newBufferDesc(const void* bytes, OM_uint32 length) noexcept;

kivo_reason_t createEnvOutput(kivo_env_output_t* output) noexcept;
kivo_reason_t releaseEnvOutput(kivo_env_output_t* output) noexcept;

IDUP_PIDU_Information_desc* createPiduInfo() noexcept;
kivo_reason_t releasePiduInfo(IDUP_PIDU_Information_desc** info) noexcept;

// One line of English for a reason code; null for a number that is none.
const char* reasonText(OM_uint32 reason) noexcept;
// The line for a reason code; that of KIVO_R_UNSUPPORTED_ALGORITHM names the
// algorithm this thread last met with that reason.
kivo_reason_t displayStatus(OM_uint32 reason, gss_buffer_desc* text) noexcept;
// Notes which algorithm (what, e.g. "the signature algorithm ED25519") was
// not supported, for displayStatus on this thread; returns
// KIVO_R_UNSUPPORTED_ALGORITHM. The reason travels as a number, so its
// detail waits beside it, as other GSS mechanisms keep theirs.
kivo_reason_t unsupportedAlgorithm(const char* what) noexcept;

} // namespace detail

#endif // PROVIDER_BOOKKEEPING_H
