// The frame in which the message object's public members run: entry and
// exit records, the minor status word zeroed, the object's lock, the pointer
// check, the work, and the outcome recorded in the object. Internal.
#ifndef SMIME_SMIMEMSG_FRAME_H
#define SMIME_SMIMEMSG_FRAME_H

#include <new>

#include "strace.h"
#include "vek4kivosmime.h"
#include "vekmutex.h"

namespace detail {

constexpr char kNullParameterText[] = "one of the parameter was NULL";

// No exception leaves a member: running out of memory is status 15, and
// anything else the member's own fallback.
template <typename Work>
unsigned int guarded(unsigned int fallback, Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return SMIME_NO_MEMORY;
    } catch (...) {
        return fallback;
    }
}

// The fields of the object in which a member records its outcome.
struct Outcome {
    std::atomic<unsigned int>& majorStatus;
    std::atomic<unsigned int>& minorStatus;
    std::atomic<unsigned int>& stateFlags;

    // The major status, the failure bit, and the minor word where the member
    // has one.
    void record(unsigned int status, const unsigned int* minor) const noexcept {
        majorStatus = status;
        if (minor != nullptr) minorStatus = *minor;
        if (status != SMIME_OK)
            stateFlags |= SMIME_LAST_CALL_FAILED;
        else
            stateFlags &= ~static_cast<unsigned int>(SMIME_LAST_CALL_FAILED);
    }
};

// What a login needs: a built object that is not logged in yet.
inline unsigned int checkLoginState(const char* file, int line, unsigned int stateFlags) noexcept {
    if ((stateFlags & SMIME_INITIALIZED) == 0) {
        traceText(file, line, "not initialized");
        return SMIME_NOT_INITIALIZED;
    }
    if ((stateFlags & SMIME_LOGGED_IN) != 0) {
        traceText(file, line, "already logged in");
        return SMIME_ALREADY_LOGGED_IN;
    }
    return SMIME_OK;
}

// What every protect and unprotect operation needs, checked in this order: a
// built object, a login, a message, and an output buffer that came in empty.
inline unsigned int checkOperationState(const char* file, int line, unsigned int stateFlags,
                                        const gss_buffer_desc* output) noexcept {
    if ((stateFlags & SMIME_INITIALIZED) == 0) {
        traceText(file, line, "not initialized");
        return SMIME_NOT_INITIALIZED;
    }
    if ((stateFlags & SMIME_LOGGED_IN) == 0) {
        traceText(file, line, "not logged in");
        return SMIME_NOT_LOGGED_IN;
    }
    if ((stateFlags & SMIME_MESSAGE_SET) == 0) {
        traceText(file, line, "message is not set");
        return SMIME_NO_MESSAGE;
    }
    if (output != nullptr && (output->length != 0 || output->value != nullptr)) {
        traceText(file, line, "output buffer has not been initialized");
        return SMIME_OUTPUT_NOT_EMPTY;
    }
    return SMIME_OK;
}

// Runs the work of a member that handles a minor status word, in the whole
// frame. The lock is released before the exit record is written, on every
// way out.
template <typename Work>
unsigned int runWithMinorStatus(const char* file, int line, const char* label, const Outcome& outcome,
                                VekMutex* mutex, unsigned int* minor_status, bool argumentsPresent,
                                unsigned int fallback, Work&& work) noexcept {
    const VekTraceSentry sentry(file, line, kTraceComponent, label);
    if (minor_status != nullptr) *minor_status = 0;
    VekMutexLocker locker(mutex);
    unsigned int status = SMIME_NULL_PARAMETER;
    if (!argumentsPresent)
        traceText(file, line, kNullParameterText);
    else
        status = guarded(fallback, work);
    outcome.record(status, minor_status);
    return status;
}

} // namespace detail

#endif // SMIME_SMIMEMSG_FRAME_H
