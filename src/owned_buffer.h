// Ownership of a malloc'd buffer until it is handed out, so that no path
// leaks it, and the copy of bytes into a buffer of their own. Internal.
#ifndef SMIME_OWNED_BUFFER_H
#define SMIME_OWNED_BUFFER_H

#include <cstdlib>
#include <cstring>

#include "vek4kivosmime.h"
#include "vekbuffer.h"

namespace detail {

class OwnedBuffer {
public:
    OwnedBuffer() = default;
    ~OwnedBuffer() { std::free(buffer_.value); }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;

    gss_buffer_desc* get() { return &buffer_; }
    const gss_buffer_desc& held() const { return buffer_; }
    gss_buffer_desc release() {
        const gss_buffer_desc out = buffer_;
        buffer_ = {0, nullptr};
        return out;
    }

private:
    gss_buffer_desc buffer_{0, nullptr};
};

// A malloc copy of length bytes (a block even for none) into out, which is
// left as it came in on failure: 15 when there is no memory or the length
// does not fit a descriptor.
inline unsigned int copyInto(const void* bytes, std::size_t length, gss_buffer_desc* out) {
    if (!VekFitsLengthWord(length)) return SMIME_NO_MEMORY;
    void* copy = VekAllocateBlock(length);
    if (copy == nullptr) return SMIME_NO_MEMORY;
    if (length != 0) std::memcpy(copy, bytes, length);
    out->length = static_cast<OM_uint32>(length);
    out->value = copy;
    return SMIME_OK;
}

} // namespace detail

#endif // SMIME_OWNED_BUFFER_H
