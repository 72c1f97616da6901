// One input through one part of the library, as a fuzz target runs it and the regression test replays it:
// aborts with a line on standard error when a promise breaks, else returns the operation's status.
#ifndef FUZZ_ENTRY_POINTS_H
#define FUZZ_ENTRY_POINTS_H

#include <cstddef>
#include <cstdint>

namespace fuzzentry {

unsigned scanMessage(const std::uint8_t* data, std::size_t size);     // header scan, then body or parts
unsigned parseMessage(const std::uint8_t* data, std::size_t size);    // kind and PKCS#7 object, twice
unsigned decodeBase64(const std::uint8_t* data, std::size_t size);    // every decoder, every encoder and back
unsigned decodePrintable(const std::uint8_t* data, std::size_t size); // decoded, and escaped and back
// verify or decrypt with the OpenSSL provider and throwaway keys: the rest of the input as a message, or
// (as the first byte chooses) one of their own messages whose PKCS#7 object the rest of it edits.
unsigned unprotectMessage(const std::uint8_t* data, std::size_t size);
// the tool's whole-mail reading: entity, parts, split, 7-bit encoding, header protection both ways, CMS account
unsigned readMail(const std::uint8_t* data, std::size_t size);
} // namespace fuzzentry

#endif // FUZZ_ENTRY_POINTS_H
