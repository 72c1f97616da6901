#include "tool_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>

namespace smimetool {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

Outcome fileError(const std::string& command, const std::string& what, const std::string& path) {
    return Outcome::failure(kExitUsage, "smime " + command + ": cannot " + what + " '" + path + "': " +
                                            std::strerror(errno));
}

bool readAll(std::FILE* file, std::string& bytes) {
    char chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        bytes.append(chunk, got);
        if (got < sizeof chunk) return std::ferror(file) == 0;
    }
}

} // namespace

Outcome readInput(const std::string& command, const std::string& path, std::string& bytes) {
    if (path == "-") {
        if (!readAll(stdin, bytes)) return fileError(command, "read", "standard input");
        return Outcome::success();
    }
    File file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return fileError(command, "open", path);
    if (!readAll(file.get(), bytes)) return fileError(command, "read", path);
    return Outcome::success();
}

Outcome writeOutput(const std::string& command, const std::string& path, const std::string& bytes) {
    if (path == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
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
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
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
    const bool written = fchmod(descriptor, mode) == 0 &&
                         std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const Outcome failed = fileError(command, "write", path);
        std::remove(temporary.c_str());
        return failed;
    }
    return Outcome::success();
}

std::string withCrlf(const std::string& text) {
    std::string converted;
    converted.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted += '\r';
        converted += text[i];
    }
    return converted;
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
