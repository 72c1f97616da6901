// Ownership of a malloc'd buffer until it is handed out, so that no path
// leaks it. Internal.
#ifndef SMIME_OWNED_BUFFER_H
#define SMIME_OWNED_BUFFER_H

#include <cstdlib>

#include "vek4kivoidup.h"

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

} // namespace detail

#endif // SMIME_OWNED_BUFFER_H
