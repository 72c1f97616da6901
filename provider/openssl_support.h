// What every OpenSSL-backed entry point shares: the call frame that keeps
// the error queue clean, the translation of queued errors into reason codes,
// and the hand-over of bytes into a caller's buffer.
#ifndef PROVIDER_OPENSSL_SUPPORT_H
#define PROVIDER_OPENSSL_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include <openssl/err.h>

#include "ossl_ptr.h"
#include "provider_call.h"
#include "vek4kivoidup.h"

namespace detail {

// providerCall with a clean OpenSSL error queue on entry and on return: an
// error left by an earlier call must not be taken for ours, and none of ours
// may be left for the application to find.
template <typename Body>
OM_uint32 opensslCall(OM_uint32* minor_status, Body&& body) noexcept {
    ERR_clear_error();
    const OM_uint32 major = providerCall(minor_status, body);
    ERR_clear_error();
    return major;
}

// The errors OpenSSL queued during one step, taken off the queue (the
// first kMax of them; later ones add nothing a reason code could tell).
class QueuedErrors {
public:
    static QueuedErrors take() noexcept;
    // True when an error of library lib carries reason code reason.
    bool has(int lib, int reason) const noexcept;
    bool hasLibrary(int lib) const noexcept;
    bool outOfMemory() const noexcept;

private:
    static constexpr int kMax = 32;
    unsigned long codes_[kMax] = {};
    int count_ = 0;
};

// KIVO_R_NO_MEMORY when the queue held an allocation failure, else fallback;
// the queue is empty afterwards.
kivo_reason_t reasonFromQueue(kivo_reason_t fallback) noexcept;

// The bytes of a string buffer whose length may count a terminating NUL;
// null buffers give false.
bool stringOf(const gss_buffer_desc* buffer, std::string& text);

// Adds every object of the PEM text to the stack: KIVO_R_NONE when the text
// held at least one and nothing else, KIVO_R_BAD_PARAMETER when it held
// anything else, KIVO_R_NO_MEMORY.
kivo_reason_t readPemInto(const void* bytes, std::size_t length, STACK_OF(X509)* certs) noexcept;
kivo_reason_t readPemInto(const void* bytes, std::size_t length, STACK_OF(X509_CRL)* crls) noexcept;

// Moves length bytes of owned into output ({0, NULL} on entry); false when
// the length does not fit the descriptor.
bool handOver(MallocBytes owned, std::size_t length, gss_buffer_desc* output) noexcept;

// A malloc'd copy of length bytes, followed by a NUL that the length leaves
// out (so text stays a C string), handed to output.
kivo_reason_t handOverCopy(const void* bytes, std::size_t length, gss_buffer_desc* output) noexcept;


// The DER of object, encoded by i2d straight into a block for output.
template <typename T>
kivo_reason_t handOverDer(const T* object, int (*i2d)(const T*, unsigned char**), gss_buffer_desc* output) noexcept {
    const int length = i2d(object, nullptr);
    if (length <= 0) return reasonFromQueue(KIVO_R_INTERNAL);
    MallocBytes der(static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length))));
    if (!der) return KIVO_R_NO_MEMORY;
    unsigned char* cursor = der.get();
    if (i2d(object, &cursor) != length) return reasonFromQueue(KIVO_R_INTERNAL);
    return handOver(std::move(der), static_cast<std::size_t>(length), output) ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
}

// The DER of cms in a block of OpenSSL's: a token without its content,
// small, to be laid out around the content.
kivo_reason_t derOf(CMS_ContentInfo* cms, OsslBytes& der, std::size_t& length) noexcept;

// True when length fits the long that OpenSSL's decoders take: on 64-bit
// Windows a long has 32 bits, and a longer length would be cut short.
inline bool fitsLong(std::size_t length) noexcept {
    return length <= static_cast<unsigned long>(std::numeric_limits<long>::max());
}

// Seconds since 1970 of when; 0 when it is not a valid time.
std::int64_t secondsSince1970(const ASN1_TIME* when) noexcept;

// True while cert is within its validity period.
bool validNow(const X509* cert) noexcept;

} // namespace detail

#endif // PROVIDER_OPENSSL_SUPPORT_H
