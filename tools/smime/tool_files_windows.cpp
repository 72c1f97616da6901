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
#include <random>
#include <system_error>

#include "tool_files.h"
#include "tool_io.h"

namespace smimetool {

namespace {

using FileDescriptor = Descriptor<::_close>;

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

} // namespace

void prepareProcessIo() {
    // Messages are bytes: no CR may be added before an LF or taken away, and
    // a Ctrl-Z byte in the input is not its end.
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
}

Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes) {
    const bool standardInput = path == "-";
    const FileDescriptor file(standardInput ? 0 : ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
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

// Devices (NUL, CON) and pipes: a file beside NUL would be NUL again.
bool isWrittenThrough(const std::string& path) {
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type != FILE_TYPE_DISK;
}

bool isReadOnly(const std::string& path) { return ::_access(path.c_str(), 0) == 0 && ::_access(path.c_str(), 2) != 0; }

// A file that may be written replaces one that may be, so no permission
// needs carrying over.
std::FILE* createBeside(const std::string& path, std::string& temporary) {
    int descriptor = -1;
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
        temporary = randomName(path + ".partial-");
        descriptor = ::_open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                             _S_IREAD | _S_IWRITE);
        if (descriptor < 0 && errno != EEXIST) break;
    }
    if (descriptor < 0) return nullptr;
    std::FILE* file = ::_fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::_close(descriptor);
        std::remove(temporary.c_str());
        errno = error;
    }
    return file;
}

bool replaceFile(const std::string& temporary, const std::string& path) {
    if (MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = EACCES; // MoveFileEx reports through GetLastError only
    return false;
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
