// Small helpers of the entry points. Internal to fuzz/.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "owned_buffer.h"
#include "vek4kivoidup.h"
#include "vekruntime.h"

namespace fuzzentry::detail {

// A broken promise of the library: abort, so the fuzzer keeps the input, with
// a line that says which promise it was.
inline void require(bool holds, const char* promise) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", promise);
    std::abort();
}

// A descriptor that receives malloc'd output, freed when it goes: the
// library's own owner, with what the checks read.
class HeapBuffer : public ::detail::OwnedBuffer {
public:
    bool isUntouched() const { return held().length == 0 && held().value == nullptr; }
    std::string_view bytes() const {
        return held().value == nullptr ? std::string_view()
                                       : std::string_view(static_cast<const char*>(held().value), held().length);
    }
};

inline gss_buffer_desc viewOf(std::string_view bytes) {
    return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
}

// Whether part is a run of bytes somewhere in whole (linear time with
// glibc's memmem).
inline bool isSliceOf(std::string_view part, std::string_view whole) {
    if (part.empty()) return true;
    return vekruntime::findBytes(whole.data(), whole.size(), part.data(), part.size()) != nullptr;
}

inline bool isOneOf(unsigned status, std::initializer_list<unsigned> allowed) {
    for (unsigned value : allowed)
        if (status == value) return true;
    return false;
}

} // namespace fuzzentry::detail

#endif // FUZZ_SUPPORT_H
