// One input through one part of the library: what each fuzz target runs and
// the regression test replays. Each checks what must hold whatever the input
// (outputs inside the message, outputs untouched on failure, decoders that
// agree with a reference), aborts with a line on standard error when it does
// not, and returns the status of the operation it exercises.
#ifndef FUZZ_ENTRY_POINTS_H
#define FUZZ_ENTRY_POINTS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "owned_buffer.h"
#include "vek4kivoidup.h"
#include "vekruntime.h"

namespace fuzzentry {

// The MIME stream scanner: header scan, then the body or each part in turn.
unsigned scanMessage(const std::uint8_t* data, std::size_t size);
// The S/MIME parser: the message's kind, and its PKCS#7 object extracted twice.
unsigned parseMessage(const std::uint8_t* data, std::size_t size);
// Base64 text through each decoder, and the bytes through each encoder and back.
unsigned decodeBase64(const std::uint8_t* data, std::size_t size);
// Quoted-printable text decoded, and the bytes written as escapes and back.
unsigned decodePrintable(const std::uint8_t* data, std::size_t size);
// SMIMEMessage::verify or decrypt with the OpenSSL provider and throwaway
// keys: the rest of the input as a message, or (as the first byte chooses) a
// message made with those keys whose PKCS#7 object the rest of it edits.
unsigned unprotectMessage(const std::uint8_t* data, std::size_t size);

namespace detail {

// A broken promise: abort, so that the fuzzer keeps the input.
inline void require(bool holds, const char* promise) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", promise);
    std::abort();
}

inline bool isOneOf(unsigned status, std::initializer_list<unsigned> allowed) {
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

inline gss_buffer_desc viewOf(std::string_view bytes) {
    return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
}

// A descriptor that receives malloc'd output, freed when it goes.
class HeapBuffer : public ::detail::OwnedBuffer {
public:
    bool isUntouched() const { return held().length == 0 && held().value == nullptr; }
    std::string_view bytes() const { return {static_cast<const char*>(held().value), held().length}; }
};

// Whether part is a run of bytes somewhere in whole, in linear time.
inline bool isSliceOf(std::string_view part, std::string_view whole) {
    return part.empty() || vekruntime::findBytes(whole.data(), whole.size(), part.data(), part.size()) != nullptr;
}

// Base64 as MIME bodies carry it, decoded plainly to check the library's
// decoders against: CR and LF anywhere are skipped, the rest is whole groups
// of four, '=' pads only the last group in its last one or two places, and
// bits under the padding need not be zero. Nothing when the text is refused.
inline std::optional<std::string> referenceBase64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string groups, bytes;
    for (char c : text)
        if (c != '\r' && c != '\n') groups += c;
    std::size_t padding = 0;
    while (padding < 2 && padding < groups.size() && groups[groups.size() - 1 - padding] == '=') ++padding;
    if (groups.size() % 4 != 0) return std::nullopt;
    unsigned bits = 0;
    for (std::size_t at = 0; at < groups.size(); ++at) {
        const std::size_t value = at < groups.size() - padding ? kAlphabet.find(groups[at]) : 0;
        if (value == std::string_view::npos) return std::nullopt; // '=' elsewhere too
        bits = bits << 6 | static_cast<unsigned>(value);
        if (at % 4 == 3) bytes += {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

} // namespace detail
} // namespace fuzzentry

#endif // FUZZ_ENTRY_POINTS_H
