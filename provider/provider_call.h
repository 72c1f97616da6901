// The frame of every provider entry point: no exception leaves it, the
// minor status always receives a reason code, and the major status follows
// from the reason.
#ifndef PROVIDER_CALL_H
#define PROVIDER_CALL_H

#include <new>
#include <system_error>

#include "vek4kivoidup.h"

namespace detail {

// The GSS-API routine error that best describes a reason.
OM_uint32 majorStatusFor(kivo_reason_t reason) noexcept;

template <typename Body>
OM_uint32 providerCall(OM_uint32* minor_status, Body&& body) noexcept {
    kivo_reason_t reason = KIVO_R_INTERNAL;
    try {
        reason = body();
    } catch (const std::bad_alloc&) {
        reason = KIVO_R_NO_MEMORY;
    } catch (const std::system_error& failure) {
        // A lock that could not be made for want of memory: with MinGW's
        // POSIX threads a mutex allocates on its first use.
        reason = failure.code() == std::errc::not_enough_memory ? KIVO_R_NO_MEMORY : KIVO_R_INTERNAL;
    } catch (...) {
        reason = KIVO_R_INTERNAL;
    }
    if (minor_status != nullptr) *minor_status = static_cast<OM_uint32>(reason);
    return majorStatusFor(reason);
}

} // namespace detail

#endif // PROVIDER_CALL_H
