#include "tool_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <ostream>
#include <streambuf>
#include <new>

namespace smimetool {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

Outcome fileError(const std::string& command, const std::string& what, const std::string& path) {
    return Outcome::failure(kExitUsage, "smime " + command + ": cannot " + what + " '" + path + "': " +
                                            std::strerror(errno));
}

// A block that doubles as bytes of unknown length are read into it.
class ReadBlock {
public:
    ~ReadBlock() { std::free(block_); }
    bool reserve(std::size_t capacity) {
        if (capacity <= capacity_) return true;
        void* grown = std::realloc(block_, capacity);
        if (grown == nullptr) return false;
        VekAdviseHugePages(grown, capacity);
        block_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }
    // Reads what is left of descriptor; false with errno set on failure.
    bool readAll(int descriptor) {
        constexpr std::size_t kChunk = 1 << 20;
        for (;;) {
            if (length_ == capacity_ && !reserve(capacity_ + std::max(kChunk, capacity_))) {
                errno = ENOMEM;
                return false;
            }
            const ssize_t got = ::read(descriptor, block_ + length_, capacity_ - length_);
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

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ > 2) ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

void unmap(char* block, std::size_t size) { ::munmap(block, size); }

// The pages of a regular file, mapped read-only: the library copies the
// input once into memory of its own, and reading the file into a buffer of
// ours first would cost a second copy into fresh memory.
Bytes mapped(int descriptor, std::size_t size) {
#if defined(MAP_POPULATE)
    constexpr int kFlags = MAP_PRIVATE | MAP_POPULATE;
#else
    constexpr int kFlags = MAP_PRIVATE;
#endif
    void* address = ::mmap(nullptr, size, PROT_READ, kFlags, descriptor, 0);
    return address == MAP_FAILED ? Bytes() : Bytes(address, size, unmap);
}

// A mapped file that another program shortens while it is read makes the
// read fault; the tool then stops with a message instead of a crash. It
// reads its input only before any output exists, so nothing is left half
// written.
void inputVanished(int) {
    static const char kMessage[] = "smime: the input file changed while it was being read\n";
    const ssize_t ignored = ::write(2, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(kExitUsage);
}

} // namespace

void guardMappedInput() {
    struct sigaction action {};
    action.sa_handler = inputVanished;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes) {
    const bool standardInput = path == "-";
    const Descriptor file(standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return fileError(command, "open", path);
    const std::string name = standardInput ? "standard input" : path;
    struct stat status {};
    const bool regular = fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
    if (regular) {
        bytes = mapped(file.get(), static_cast<std::size_t>(status.st_size));
        if (!bytes.empty()) return Outcome::success();
    }
    // Otherwise read: a regular file that cannot be mapped into a block of
    // its size (and a little more, to see the end), anything else as it comes.
    ReadBlock block;
    if (regular && !block.reserve(static_cast<std::size_t>(status.st_size) + 1)) {
        errno = ENOMEM;
        return fileError(command, "read", name);
    }
    if (!block.readAll(file.get())) return fileError(command, "read", name);
    bytes = block.take();
    return Outcome::success();
}

Outcome readInput(const std::string& command, const std::string& path, std::string& bytes) {
    Bytes read;
    const Outcome outcome = readInput(command, path, read);
    if (outcome.ok()) bytes.assign(read.view());
    return outcome;
}

Outcome writeOutput(const std::string& command, const std::string& path, const OutputWriter& write) {
    if (path == "-") {
        if (!write(stdout) || std::fflush(stdout) != 0)
            return fileError(command, "write", "standard output");
        return Outcome::success();
    }
    struct stat existing {};
    const bool exists = lstat(path.c_str(), &existing) == 0;
    // Devices, pipes and links are written through as they stand: replacing
    // /dev/null or a link with a file of our own would be wrong.
    if (exists && !S_ISREG(existing.st_mode)) {
        File file(std::fopen(path.c_str(), "wb"), std::fclose);
        if (!file) return fileError(command, "write", path);
        const bool written = write(file.get());
        if (std::fclose(file.release()) != 0 || !written) return fileError(command, "write", path);
        return Outcome::success();
    }
    if (exists && access(path.c_str(), W_OK) != 0) return fileError(command, "write", path);
    // The finished file gets the mode the file had, or a new file's usual one.
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? (existing.st_mode & 07777) : (0666 & ~mask);

    std::string temporary = path + ".partial-XXXXXX";
    const int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0) return fileError(command, "create a file beside", path);
    File file(fdopen(descriptor, "wb"), std::fclose);
    if (!file) {
        close(descriptor);
        std::remove(temporary.c_str());
        return fileError(command, "write", path);
    }
    const bool written = fchmod(descriptor, mode) == 0 && write(file.get());
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const Outcome failed = fileError(command, "write", path);
        std::remove(temporary.c_str());
        return failed;
    }
    return Outcome::success();
}

Outcome writeOutput(const std::string& command, const std::string& path, std::string_view bytes) {
    return writeOutput(command, path, [bytes](std::FILE* file) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    });
}

namespace {

// An output stream's buffer over a C file, so that the library writes the
// message it holds straight to the file.
class FileStreamBuffer : public std::streambuf {
public:
    explicit FileStreamBuffer(std::FILE* file) : file_(file) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        return static_cast<std::streamsize>(std::fwrite(bytes, 1, static_cast<std::size_t>(count), file_));
    }

private:
    std::FILE* file_;
};

} // namespace

Outcome FileResult::take(SMIMEMessage& object, const std::string& step) {
    unsigned status = SMIME_OK;
    unsigned minor = 0;
    const Outcome written = writeOutput(command_, path_, [&](std::FILE* file) {
        FileStreamBuffer buffer(file);
        std::ostream stream(&buffer);
        status = object.getMessage(&stream, &minor);
        return status == SMIME_OK;
    });
    if (written.ok() || status == SMIME_OK || status == SMIME_STREAM_ERROR) return written;
    return Outcome::failure(kExitUsage, step + ": " + describeStatus(status, minor));
}

Bytes withCrlf(std::string_view text) {
    std::size_t bareLf = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++bareLf;
    void* block = VekAllocateBlock(text.size() + bareLf);
    if (block == nullptr) throw std::bad_alloc();
    char* out = static_cast<char*>(block);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) *out++ = '\r';
        *out++ = text[i];
    }
    return Bytes(block, text.size() + bareLf);
}

Outcome passwordOf(const Options& options, std::string& password) {
    if (options.passwordGiven) {
        password = options.password;
        return Outcome::success();
    }
    if (!options.passwordFile.empty()) {
        std::string text;
        const Outcome read = readInput(options.command, options.passwordFile, text);
        if (!read.ok()) return read;
        password = text.substr(0, text.find_first_of("\r\n"));
        return Outcome::success();
    }
    const char* fromEnvironment = std::getenv("SMIME_PASSWORD");
    password = fromEnvironment != nullptr ? fromEnvironment : "";
    return Outcome::success();
}

} // namespace smimetool
