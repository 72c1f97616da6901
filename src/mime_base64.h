// Base64 in the library's MIME layout (lines of 72 characters joined by a
// line feed, none after the last), written straight into memory the caller
// sized. The codec object and the generator share it, so that both encode
// the same way and write the same trace records. Internal.
#ifndef SMIME_MIME_BASE64_H
#define SMIME_MIME_BASE64_H

#include <cstddef>

#include "vek4kivoidup.h"

namespace detail {

// Exact length of the encoding of length bytes.
std::size_t mimeBase64Length(std::size_t length) noexcept;
// Writes the encoding of input to out, which has room for mimeBase64Length.
void writeMimeBase64(const gss_buffer_desc& input, unsigned char* out) noexcept;
// The same for input that is read for the last time: its memory is given
// back as the encoding passes it (see VekDiscardReadBytes).
void writeMimeBase64Consuming(const gss_buffer_desc& input, unsigned char* out) noexcept;

} // namespace detail

#endif // SMIME_MIME_BASE64_H
