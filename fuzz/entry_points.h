// One input through one part of the library: what each fuzz target runs, and
// what the regression test replays. Each function checks what must hold
// whatever the input (outputs inside the message, outputs untouched on
// failure, decoders that agree with a reference) and aborts with a line on
// standard error when it does not, so that a fuzzer records the input. It
// returns the status of the operation it exercises, for the caller to judge.
#ifndef FUZZ_ENTRY_POINTS_H
#define FUZZ_ENTRY_POINTS_H

#include <cstddef>
#include <cstdint>

namespace fuzzentry {

// The MIME stream scanner on a message: header scan, then the body or every
// part of a multipart body. Returns the status of the last read.
unsigned scanMessage(const std::uint8_t* data, std::size_t size);

// The S/MIME parser on a message: its kind, and its PKCS#7 object extracted
// twice (right after setMessage, and again without it).
unsigned parseMessage(const std::uint8_t* data, std::size_t size);

// Base64 text through sbase64::decode and b64Decode, and the bytes through
// both encoders and back.
unsigned decodeBase64(const std::uint8_t* data, std::size_t size);

// Quoted-printable text through sprintable::decode, and the input's bytes
// written as escapes and back.
unsigned decodePrintable(const std::uint8_t* data, std::size_t size);

// SMIMEMessage::verify or decrypt with the OpenSSL provider, logged in with
// throwaway keys made on the first call. The first byte chooses what is
// unprotected: the rest of the input as a message, or a message made with
// those keys whose PKCS#7 object the rest of the input edits.
unsigned unprotectMessage(const std::uint8_t* data, std::size_t size);

} // namespace fuzzentry

#endif // FUZZ_ENTRY_POINTS_H
