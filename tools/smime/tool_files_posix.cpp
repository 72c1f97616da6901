// The tool's files on POSIX systems: input files are mapped, output files
// replaced by a rename, keeping their mode.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "tool_files.h"
#include "tool_io.h"

namespace smimetool {

namespace {

using FileDescriptor = Descriptor<::close>;

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

void prepareProcessIo() {
    struct sigaction action {};
    action.sa_handler = inputVanished;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes) {
    const bool standardInput = path == "-";
    const FileDescriptor file(standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
    if (!block.readAll([&](char* at, std::size_t most) { return ::read(file.get(), at, most); }))
        return fileError(command, "read", name);
    bytes = block.take();
    return Outcome::success();
}

bool isWrittenThrough(const std::string& path) {
    struct stat existing {};
    return lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
}

bool isReadOnly(const std::string& path) { return access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0; }

std::FILE* createBeside(const std::string& path, std::string& temporary) {
    // The file gets the mode the file had, or a new file's usual one.
    struct stat existing {};
    const bool exists = stat(path.c_str(), &existing) == 0;
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? (existing.st_mode & 07777) : (0666 & ~mask);

    temporary = path + ".partial-XXXXXX";
    const int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0) return nullptr;
    std::FILE* file = fchmod(descriptor, mode) == 0 ? fdopen(descriptor, "wb") : nullptr;
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        std::remove(temporary.c_str());
        errno = error;
    }
    return file;
}

bool replaceFile(const std::string& temporary, const std::string& path) {
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string makePrivateFolder(const std::string& prefix) {
    std::error_code error;
    std::string pattern = (std::filesystem::temp_directory_path(error) / (prefix + "XXXXXX")).string();
    return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

bool writePrivateFile(const std::string& path, const std::string& bytes) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
    }
    return ::close(descriptor) == 0 && done == bytes.size();
}

} // namespace smimetool
