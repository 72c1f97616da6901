#include "tool_io.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <streambuf>
#include <utility>

#include "header_protection.h"
#include "mime_entity.h"
#include "tool_files.h"

namespace smimetool {

Outcome readInput(const std::string& command, const std::string& path, std::string& bytes) {
    Bytes read;
    const Outcome outcome = readInput(command, path, read);
    if (outcome.ok()) bytes.assign(read.view());
    return outcome;
}

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Lets write fill the open file, then closes it; false when either fails.
bool writeAndClose(File file, const OutputWriter& write) {
    const bool written = write(file.get());
    return std::fclose(file.release()) == 0 && written;
}

} // namespace

Outcome writeOutput(const std::string& command, const std::string& path, const OutputWriter& write) {
    if (path == "-") {
        if (!write(stdout) || std::fflush(stdout) != 0)
            return fileError(command, "write", "standard output");
        return Outcome::success();
    }
    if (isWrittenThrough(path)) {
        File file(std::fopen(path.c_str(), "wb"), std::fclose);
        if (!file || !writeAndClose(std::move(file), write)) return fileError(command, "write", path);
        return Outcome::success();
    }
    if (isReadOnly(path)) return fileError(command, "write", path);
    std::string temporary;
    File file(createBeside(path, temporary), std::fclose);
    if (!file) return fileError(command, "create a file beside", path);
    if (!writeAndClose(std::move(file), write) || !replaceFile(temporary, path)) {
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

// The same, writing CR LF for every LF that has no CR before it. The
// converted bytes gather in a block of its own and go to the file in large
// writes: the library hands out a base64 body in lines of 72 characters.
class MailReadyStreamBuffer : public std::streambuf {
public:
    explicit MailReadyStreamBuffer(std::FILE* file) : file_(file), block_(new char[kBlockSize]) {}

    // Ends the last line in CR LF too, so that a mailbox or a pipe that
    // appends does not run on into the next, and writes what is gathered.
    bool finish() {
        if (failed_) return false;
        if (!endsLine_) put("\r\n", 2);
        return flushBlock();
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        const std::size_t size = static_cast<std::size_t>(count);
        for (std::size_t at = 0; at < size && !failed_;) {
            const void* found = std::memchr(bytes + at, '\n', size - at);
            const std::size_t lf = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - bytes) : size;
            put(bytes + at, lf - at);
            if (lf == size) break;
            const bool bare = lf > 0 ? bytes[lf - 1] != '\r' : !previousWasCr_;
            if (bare) put("\r\n", 2);
            else put("\n", 1);
            at = lf + 1;
        }
        if (size > 0) previousWasCr_ = bytes[size - 1] == '\r', endsLine_ = bytes[size - 1] == '\n';
        return failed_ ? 0 : count;
    }

private:
    static constexpr std::size_t kBlockSize = 1 << 20;

    void put(const char* bytes, std::size_t size) {
        while (size > 0 && !failed_) {
            if (used_ == kBlockSize && !flushBlock()) return;
            const std::size_t room = std::min(size, kBlockSize - used_);
            std::memcpy(block_.get() + used_, bytes, room);
            used_ += room, bytes += room, size -= room;
        }
    }
    bool flushBlock() {
        failed_ = failed_ || std::fwrite(block_.get(), 1, used_, file_) != used_;
        used_ = 0;
        return !failed_;
    }

    std::FILE* file_;
    std::unique_ptr<char[]> block_;
    std::size_t used_ = 0;
    bool previousWasCr_ = false;
    bool endsLine_ = true;
    bool failed_ = false;
};

} // namespace

Outcome FileResult::take(SMIMEMessage& object, const std::string& step) {
    unsigned status = SMIME_OK;
    unsigned minor = 0;
    const Outcome written = writeOutput(command_, path_, [&](std::FILE* file) {
        if (std::fwrite(prefix_.data(), 1, prefix_.size(), file) != prefix_.size()) return false;
        FileStreamBuffer plain(file);
        std::optional<MailReadyStreamBuffer> mailReady;
        if (mailReady_) mailReady.emplace(file);
        std::ostream stream(mailReady ? static_cast<std::streambuf*>(&*mailReady) : &plain);
        status = object.getMessage(&stream, &minor);
        return status == SMIME_OK && (!mailReady || mailReady->finish());
    });
    if (written.ok() || status == SMIME_OK || status == SMIME_STREAM_ERROR) return written;
    return Outcome::failure(kExitUsage, step + ": " + describeStatus(status, minor));
}

Outcome MailResult::take(SMIMEMessage& object, const std::string& step) {
    BytesResult content;
    const Outcome taken = content.take(object, step);
    return taken.ok() ? writeOutput(command_, path_, mailAround(headerFieldsFor(outerFields_, content.bytes.view(), command_ == "verify"), content.bytes.view())) : taken;
}

Bytes withCrlf(std::string_view text) {
    const std::size_t size = text.size() + bareLfCount(text);
    void* block = VekAllocateBlock(size);
    if (block == nullptr) throw std::bad_alloc();
    writeCanonicalLineEnds(text, static_cast<char*>(block));
    return Bytes(block, size);
}

Outcome passwordOf(const Options& options, std::string& password) {
    if (options.passwordGiven) {
        password = options.password;
        return Outcome::success();
    }
    if (!options.passwordFile.empty()) {
        // The first line goes straight from the file's bytes into password:
        // no copy of the whole file or of the line is left to free unwiped.
        Bytes file;
        const Outcome read = readInput(options.command, options.passwordFile, file);
        if (!read.ok()) return read;
        const std::string_view text = file.view();
        password.assign(text.substr(0, text.find_first_of("\r\n")));
        return Outcome::success();
    }
    const char* fromEnvironment = std::getenv("SMIME_PASSWORD");
    password = fromEnvironment != nullptr ? fromEnvironment : "";
    return Outcome::success();
}

} // namespace smimetool
