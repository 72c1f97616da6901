// Owners of what the security provider hands out during a login: each
// releases its object through the provider when it goes, so a login step
// needs no release tail and a failed one leaves nothing behind. Internal.
#ifndef SMIME_PROVIDER_HANDLES_H
#define SMIME_PROVIDER_HANDLES_H

#include <utility>

#include "vek4kivoidup.h"

namespace detail {

template <typename Handle, OM_uint32 (*Release)(OM_uint32*, Handle*)>
class ProviderHandle {
public:
    ProviderHandle() = default;
    ~ProviderHandle() { reset(); }
    ProviderHandle(const ProviderHandle&) = delete;
    ProviderHandle& operator=(const ProviderHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    // Where a provider call puts the object it makes.
    Handle* out() noexcept { return &handle_; }
    Handle release() noexcept { return std::exchange(handle_, nullptr); }
    // Releases the object now, with a status word of its own so that the
    // caller's keeps what a failing call said; false, and the object still
    // held, when the provider refuses.
    bool reset() noexcept {
        if (handle_ == nullptr) return true;
        OM_uint32 scratch = 0;
        if (Release(&scratch, &handle_) != GSS_S_COMPLETE) return false;
        handle_ = nullptr;
        return true;
    }

private:
    Handle handle_ = nullptr;
};

// The abolish calls take their arguments the other way round.
inline OM_uint32 abolishContainer(OM_uint32* minor, gss_buffer_desc** container) {
    return prov_abolish_creds(container, minor);
}

using NameHandle = ProviderHandle<gss_name_t, prov_release_name>;
using OidSetHandle = ProviderHandle<gss_OID_set, prov_release_oid_set>;
using DescriptorHandle = ProviderHandle<gss_buffer_desc*, prov_free_buffer_desc>;
using EnvOutputHandle = ProviderHandle<kivo_env_output_t, prov_release_env_output>;
using CredentialHandle = ProviderHandle<void*, prov_release_cred>;
using ContainerHandle = ProviderHandle<gss_buffer_desc*, abolishContainer>;

} // namespace detail

#endif // SMIME_PROVIDER_HANDLES_H
