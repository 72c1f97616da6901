// Input, output and passwords of the smime tool. Output goes to its place
// only once complete: a failed command leaves no partial file behind.
#ifndef SMIME_TOOL_IO_H
#define SMIME_TOOL_IO_H

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bytes.h"
#include "cli.h"
#include "operations.h"
#include "outcome.h"

namespace smimetool {

// Reads all of path ("-": standard input). On POSIX systems a regular file
// is mapped, or read into a block of its size where it cannot be; on Windows
// it is read into such a block.
Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes);
Outcome readInput(const std::string& command, const std::string& path, std::string& bytes);
// Called once, at the start. On POSIX systems it makes the tool stop with a
// message, not crash, should a mapped input file be shortened while it is
// read; on Windows it puts standard input and output in binary mode.
void prepareProcessIo();

// Writes to path ("-": standard output) through a temporary file in the
// same folder, renamed into place when complete: write puts the bytes in
// the open file and says whether it could.
using OutputWriter = std::function<bool(std::FILE*)>;
Outcome writeOutput(const std::string& command, const std::string& path, const OutputWriter& write);
Outcome writeOutput(const std::string& command, const std::string& path, std::string_view bytes);

// An operation's result written to path as writeOutput does, straight from
// the message object, after prefix (header fields of a mail). Mail-ready
// output has every bare LF turned into CR LF on the way: SMTP allows no
// bare LF, and in base64 bodies and header lines the change alters nothing
// that a signature covers.
class FileResult : public ResultSink {
public:
    FileResult(std::string command, std::string path, std::string prefix = "", bool mailReady = false)
        : command_(std::move(command)), path_(std::move(path)), prefix_(std::move(prefix)), mailReady_(mailReady) {}
    Outcome take(SMIMEMessage& object, const std::string& step) override;

private:
    std::string command_;
    std::string path_;
    std::string prefix_;
    bool mailReady_;
};

// The unwrapped entity written as a whole mail: the protected header
// fields it carries, else the given outer fields, then the entity.
class MailResult : public ResultSink {
public:
    MailResult(std::string command, std::string path, std::vector<std::string> outerFields)
        : command_(std::move(command)), path_(std::move(path)), outerFields_(std::move(outerFields)) {}
    Outcome take(SMIMEMessage& object, const std::string& step) override;

private:
    std::string command_;
    std::string path_;
    std::vector<std::string> outerFields_;
};

// text with every bare LF turned into CR LF.
Bytes withCrlf(std::string_view text);

// The password of -p, else the first line of --pass-file, else
// $SMIME_PASSWORD, else empty.
Outcome passwordOf(const Options& options, std::string& password);

} // namespace smimetool

#endif // SMIME_TOOL_IO_H
