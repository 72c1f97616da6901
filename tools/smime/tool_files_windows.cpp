// The tool's files on Windows: everything in binary mode, input read into
// one block of the file's size, output files replaced by MoveFileEx once
// complete.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <system_error>

#include "tool_files.h"
#include "tool_io.h"

namespace smimetool {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ > 2) ::_close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

// A name no file has yet: stem and eight random hex digits.
std::string randomName(const std::string& stem) {
    static thread_local std::mt19937 draw{std::random_device{}()};
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(draw()));
    return stem + suffix;
}

// One read of at most most bytes; _read counts in unsigned int.
int readSome(int descriptor, char* at, std::size_t most) {
    return ::_read(descriptor, at, static_cast<unsigned>(most > INT_MAX ? INT_MAX : most));
}

// True when path names a device or a pipe (NUL, CON, \\.\pipe\...) rather
// than a file on a disk.
bool isDevice(const std::string& path) {
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type != FILE_TYPE_DISK;
}

} // namespace

void prepareProcessIo() {
    // Messages are bytes: no CR may be added before an LF or taken away, and
    // a Ctrl-Z byte in the input is not its end.
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes) {
    const bool standardInput = path == "-";
    const Descriptor file(standardInput ? 0 : ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
    if (file.get() < 0) return fileError(command, "open", path);
    const std::string name = standardInput ? "standard input" : path;
    struct _stat64 status {};
    const bool regular = ::_fstat64(file.get(), &status) == 0 && (status.st_mode & _S_IFREG) != 0 &&
                         status.st_size > 0;
    // A regular file goes into a block of its size and a little more, to
    // see the end; anything else as it comes.
    ReadBlock block;
    if (regular && !block.reserve(static_cast<std::size_t>(status.st_size) + 1)) {
        errno = ENOMEM;
        return fileError(command, "read", name);
    }
    if (!block.readAll([&](char* at, std::size_t most) { return readSome(file.get(), at, most); }))
        return fileError(command, "read", name);
    bytes = block.take();
    return Outcome::success();
}

Outcome writeOutput(const std::string& command, const std::string& path, const OutputWriter& write) {
    if (path == "-") {
        if (!write(stdout) || std::fflush(stdout) != 0)
            return fileError(command, "write", "standard output");
        return Outcome::success();
    }
    // Devices (NUL, CON) are written through as they stand: a file beside
    // NUL would be NUL again.
    if (isDevice(path)) {
        File file(std::fopen(path.c_str(), "wb"), std::fclose);
        if (!file) return fileError(command, "write", path);
        const bool written = write(file.get());
        if (std::fclose(file.release()) != 0 || !written) return fileError(command, "write", path);
        return Outcome::success();
    }
    struct _stat64 existing {};
    const bool exists = ::_stat64(path.c_str(), &existing) == 0;
    if (exists && ::_access(path.c_str(), 2) != 0) return fileError(command, "write", path);

    std::string temporary;
    int descriptor = -1;
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
        temporary = randomName(path + ".partial-");
        descriptor = ::_open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                             _S_IREAD | _S_IWRITE);
        if (descriptor < 0 && errno != EEXIST) break;
    }
    if (descriptor < 0) return fileError(command, "create a file beside", path);
    File file(::_fdopen(descriptor, "wb"), std::fclose);
    if (!file) {
        ::_close(descriptor);
        std::remove(temporary.c_str());
        return fileError(command, "write", path);
    }
    const bool written = write(file.get());
    const bool closed = std::fclose(file.release()) == 0;
    const bool moved = written && closed &&
                       MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!moved) {
        if (written && closed) errno = EACCES; // MoveFileEx reports through GetLastError only
        const Outcome failed = fileError(command, "write", path);
        std::remove(temporary.c_str());
        return failed;
    }
    return Outcome::success();
}

// The user's temporary folder is the user's own; a folder made in it
// inherits that.
std::string makePrivateFolder(const std::string& prefix) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) {
        errno = ENOENT;
        return std::string();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / randomName(prefix);
        if (std::filesystem::create_directory(candidate, error)) return candidate.string();
        if (error) break;
    }
    errno = EEXIST;
    return std::string();
}

bool writePrivateFile(const std::string& path, const std::string& bytes) {
    const int descriptor = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                                   _S_IREAD | _S_IWRITE);
    if (descriptor < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t most = bytes.size() - done;
        const int wrote = ::_write(descriptor, bytes.data() + done, static_cast<unsigned>(most > INT_MAX ? INT_MAX : most));
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
    }
    return ::_close(descriptor) == 0 && done == bytes.size();
}

} // namespace smimetool
