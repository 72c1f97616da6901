/* The few runtime-library calls whose names differ between Windows and
 * POSIX systems: a file's status, the access checks, case-insensitive
 * comparison, and a search for bytes in bytes. Internal to the libraries
 * and the tool; not installed. */
#ifndef VEKRUNTIME_H
#define VEKRUNTIME_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <strings.h>
#include <unistd.h>
#endif

namespace vekruntime {

#if defined(_WIN32)
/* The 64-bit form of _stat, so that a file of 2 GiB or more is measured
 * rather than refused. */
using FileStatus = struct _stat64;
inline int fileStatus(const char* name, FileStatus* status) { return _stat64(name, status); }
inline bool fileExists(const char* name) { return _access(name, 0) == 0; }
inline bool fileWritable(const char* name) { return _access(name, 2) == 0; }
inline int compareIgnoringCase(const char* a, const char* b) { return _stricmp(a, b); }
#else
using FileStatus = struct stat;
inline int fileStatus(const char* name, FileStatus* status) { return stat(name, status); }
inline bool fileExists(const char* name) { return access(name, F_OK) == 0; }
inline bool fileWritable(const char* name) { return access(name, W_OK) == 0; }
inline int compareIgnoringCase(const char* a, const char* b) { return strcasecmp(a, b); }
#endif

/* The owner-read permission bit of FileStatus::st_mode: 0400 on both
 * (_S_IREAD on Windows, S_IRUSR elsewhere). */
constexpr unsigned kOwnerRead = 0400;

/* The first place of needle in haystack, or null, found by memchr on each
 * candidate first byte: the search where the C library has no memmem. */
inline const void* searchBytes(const void* haystack, std::size_t haystackLength, const void* needle,
                               std::size_t needleLength) {
    if (needleLength == 0) return haystack;
    if (needleLength > haystackLength) return nullptr;
    const auto* at = static_cast<const unsigned char*>(haystack);
    const auto* const last = at + (haystackLength - needleLength);
    const auto first = *static_cast<const unsigned char*>(needle);
    while (at <= last) {
        const auto* candidate =
            static_cast<const unsigned char*>(std::memchr(at, first, static_cast<std::size_t>(last - at) + 1));
        if (candidate == nullptr) return nullptr;
        if (std::memcmp(candidate, needle, needleLength) == 0) return candidate;
        at = candidate + 1;
    }
    return nullptr;
}

/* The same search, by glibc's memmem where there is one: it jumps through
 * long text. */
inline const void* findBytes(const void* haystack, std::size_t haystackLength, const void* needle,
                             std::size_t needleLength) {
#if defined(__GLIBC__)
    return memmem(haystack, haystackLength, needle, needleLength);
#else
    return searchBytes(haystack, haystackLength, needle, needleLength);
#endif
}

} // namespace vekruntime

#endif /* VEKRUNTIME_H */
