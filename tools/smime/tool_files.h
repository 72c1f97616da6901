// The tool's file handling: what its POSIX and Windows forms share (the
// error message of a failed file step, a descriptor's owner, a block that
// grows as bytes of unknown length are read into it), and the steps each
// platform does its own way (tool_files_posix.cpp, tool_files_windows.cpp).
#ifndef SMIME_TOOL_FILES_H
#define SMIME_TOOL_FILES_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vekbuffer.h>

#include "bytes.h"
#include "outcome.h"

namespace smimetool {

// "smime COMMAND: cannot WHAT 'PATH': " and errno's text.
inline Outcome fileError(const std::string& command, const std::string& what, const std::string& path) {
    return Outcome::failure(kExitUsage, "smime " + command + ": cannot " + what + " '" + path + "': " +
                                            std::strerror(errno));
}

// An open file descriptor, closed by Close when the owner goes; the
// standard streams stay open.
template <int (*Close)(int)>
class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ > 2) Close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// A block that doubles as bytes of unknown length are read into it.
class ReadBlock {
public:
    ReadBlock() = default;
    ~ReadBlock() { std::free(block_); }
    ReadBlock(const ReadBlock&) = delete;
    ReadBlock& operator=(const ReadBlock&) = delete;

    bool reserve(std::size_t capacity) { return VekGrowBlock(block_, capacity_, capacity); }
    // Reads until read reports the end (0); read(at, most) returns the
    // number of bytes it put at `at`, or a negative number with errno set.
    // False with errno set on failure.
    template <class Read>
    bool readAll(Read read) {
        constexpr std::size_t kChunk = 1 << 20;
        for (;;) {
            if (length_ == capacity_ && !reserve(capacity_ + std::max(kChunk, capacity_))) {
                errno = ENOMEM;
                return false;
            }
            const auto got = read(block_ + length_, capacity_ - length_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return false;
            if (got == 0) return true;
            length_ += static_cast<std::size_t>(got);
        }
    }
    Bytes take() {
        Bytes bytes(block_, length_);
        block_ = nullptr;
        capacity_ = length_ = 0;
        return bytes;
    }

private:
    char* block_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
};

// --- The steps of writing an output file -------------------------------

// True when path exists and is not a plain file (a device such as /dev/null
// or NUL, a pipe, a link): written through as it stands, never replaced.
bool isWrittenThrough(const std::string& path);

// True when path exists as a file that may not be written.
bool isReadOnly(const std::string& path);

// A new file beside path, open for writing in binary mode, that path's
// permissions (or a new file's usual ones) will carry; its name goes to
// temporary. Null with errno set when none can be made.
std::FILE* createBeside(const std::string& path, std::string& temporary);

// Puts the finished temporary file in path's place, replacing any file
// there; false with errno set when it cannot.
bool replaceFile(const std::string& temporary, const std::string& path);

// --- The demo's files -----------------------------------------------------

// A new folder under the system's temporary folder, named PREFIX and a
// random suffix, that only its owner may enter; empty with errno set when
// none could be made.
std::string makePrivateFolder(const std::string& prefix);

// Writes bytes to a new (or emptied) file that only its owner may read,
// from the moment it exists; false when it cannot.
bool writePrivateFile(const std::string& path, const std::string& bytes);

} // namespace smimetool

#endif // SMIME_TOOL_FILES_H
