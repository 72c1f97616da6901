// Input, output and passwords of the smime tool. Output goes to its place
// only once complete: a failed command leaves no partial file behind.
#ifndef SMIME_TOOL_IO_H
#define SMIME_TOOL_IO_H

#include <string>
#include <string_view>

#include "bytes.h"
#include "cli.h"
#include "outcome.h"

namespace smimetool {

// Reads all of path ("-": standard input); a regular file goes straight
// into a block of its size.
Outcome readInput(const std::string& command, const std::string& path, Bytes& bytes);
Outcome readInput(const std::string& command, const std::string& path, std::string& bytes);

// Writes bytes to path ("-": standard output) through a temporary file in
// the same folder, renamed into place when complete.
Outcome writeOutput(const std::string& command, const std::string& path, std::string_view bytes);

// text with every bare LF turned into CR LF.
Bytes withCrlf(std::string_view text);

// The password of -p, else the first line of --pass-file, else
// $SMIME_PASSWORD, else empty.
Outcome passwordOf(const Options& options, std::string& password);

} // namespace smimetool

#endif // SMIME_TOOL_IO_H
