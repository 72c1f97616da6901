// Moving bytes between std::string and gss_buffer_desc in tests.
#ifndef TESTS_GSS_BUFFERS_H
#define TESTS_GSS_BUFFERS_H

#include <cstdlib>
#include <cstring>
#include <string>

#include "vek4kivoidup.h"

// A descriptor over the string's bytes; the string must outlive it.
inline gss_buffer_desc viewOf(const std::string& bytes) {
    return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
}
gss_buffer_desc viewOf(std::string&&) = delete; // would point into a dead temporary

// A string as the provider takes it: its terminating NUL counted.
inline gss_buffer_desc stringBuffer(const char* text) {
    return {static_cast<OM_uint32>(std::strlen(text) + 1), const_cast<char*>(text)};
}

// The bytes of a malloc'd buffer, which is freed and left empty.
inline std::string take(gss_buffer_desc& buffer) {
    std::string bytes(static_cast<const char*>(buffer.value), buffer.length);
    std::free(buffer.value);
    buffer = {0, nullptr};
    return bytes;
}

#endif // TESTS_GSS_BUFFERS_H
