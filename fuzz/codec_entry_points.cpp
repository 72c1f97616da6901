// The transfer decoders on arbitrary text: base64 checked against a plain
// reference decoder and through both encoders and back, quoted-printable
// with the input's bytes written as escapes and back.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../support/base64_codec.h"
#include "entry_points.h"
#include "fuzz_support.h"
#include "reference_base64.h"
#include "vek4kivosmime.h"

namespace fuzzentry {

using detail::HeapBuffer;
using detail::isOneOf;
using detail::referenceBase64Decode;
using detail::require;

namespace {

namespace base64 = ::detail::base64;

// Each block loop of the support library on its own, into exactly the room
// it asks for, so that the sanitizer sees any store beyond it.
void checkBlockLoops(std::string_view text, const std::optional<std::string>& expected) {
    for (const base64::Path path : {base64::Path::Scalar, base64::Path::Avx2}) {
        if (!base64::isPathAvailable(path)) continue;
        const std::size_t room = base64::decodedCapacity(text.size());
        const auto out = std::make_unique<unsigned char[]>(room);
        const base64::DecodeResult result =
            base64::decode(path, reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.get());
        require((result.outcome == base64::DecodeOutcome::Decoded) == expected.has_value(),
                "each block loop accepts what the reference accepts");
        if (expected)
            require(std::string_view(reinterpret_cast<const char*>(out.get()), result.length) == *expected,
                    "each block loop decodes as the reference does");
    }
}

// b64Decode reads groups of four with line breaks between them only; on text
// without line breaks it must agree with the reference.
void checkArrayDecoder(sbase64& codec, std::string_view text, const std::optional<std::string>& expected) {
    const unsigned room = sbase64::deriveDecodeLength(static_cast<unsigned>(text.size()));
    if (room == 0) return;
    const auto out = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Decode(text.data(), static_cast<unsigned>(text.size()), out.get(), room);
    require(written <= room, "b64Decode stays within the room it asked for");
    if (expected && text.find_first_of("\r\n") == std::string_view::npos)
        require(std::string_view(reinterpret_cast<const char*>(out.get()), written) == *expected,
                "b64Decode decodes text without line breaks as the reference does");
}

// The input as bytes, through each encoder and back.
void checkRoundTrips(sbase64& codec, std::string_view bytes) {
    const gss_buffer_desc input = detail::viewOf(bytes);
    HeapBuffer text;
    if (codec.encode(&input, text.get()) == SMIME_OK) {
        HeapBuffer back;
        require(codec.decode(text.get(), back.get()) == SMIME_OK, "decode takes what encode wrote");
        require(back.bytes() == bytes, "encode and decode give the bytes back");
    }
    if (bytes.empty()) return;
    const unsigned room = sbase64::deriveEncodeLength(static_cast<unsigned>(bytes.size()));
    const auto encoded = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                             static_cast<unsigned>(bytes.size()), encoded.get(), room);
    require(written != 0 && written <= room, "b64Encode fits the room it asked for");
    const unsigned backRoom = sbase64::deriveDecodeLength(written);
    const auto back = std::make_unique<unsigned char[]>(backRoom);
    const unsigned decoded =
        codec.b64Decode(reinterpret_cast<const char*>(encoded.get()), written, back.get(), backRoom);
    require(std::string_view(reinterpret_cast<const char*>(back.get()), decoded) == bytes,
            "b64Encode and b64Decode give the bytes back");
}

// The input as bytes, each written as an escape in upper or lower case hex,
// with soft line breaks between lines of 25 escapes: decoding gives them back.
void checkEscapedBytes(std::string_view bytes) {
    static constexpr char kUpper[] = "0123456789ABCDEF";
    static constexpr char kLower[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 25 == 0) text += "=\r\n";
        const char* digits = i % 2 == 0 ? kUpper : kLower;
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text += '=';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    const gss_buffer_desc input = detail::viewOf(text);
    HeapBuffer decoded;
    require(sprintable::decode(&input, decoded.get()) == SMIME_OK, "escaped bytes decode");
    require(decoded.bytes() == bytes, "escaped bytes decode to themselves");
}

} // namespace

unsigned decodeBase64(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> expected = referenceBase64Decode(text);
    sbase64 codec;
    const gss_buffer_desc input = detail::viewOf(text);
    HeapBuffer decoded;
    const unsigned status = codec.decode(&input, decoded.get());
    require(isOneOf(status, {SMIME_OK, SMIME_NO_MEMORY, SMIME_NULL_PARAMETER}), "decode returns a documented status");
    if (status == SMIME_OK) {
        require(expected && decoded.bytes() == *expected, "decode agrees with the reference");
    } else {
        require(decoded.isUntouched(), "a failed decode hands out nothing");
        require(status == SMIME_NO_MEMORY || !expected, "decode refuses only what the reference refuses");
    }
    checkBlockLoops(text, expected);
    checkArrayDecoder(codec, text, expected);
    checkRoundTrips(codec, text);
    return status;
}

unsigned decodePrintable(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const gss_buffer_desc input = detail::viewOf(text);
    HeapBuffer decoded;
    const unsigned status = sprintable::decode(&input, decoded.get());
    require(isOneOf(status, {SMIME_OK, SMIME_BAD_ENCODING, SMIME_STREAM_ERROR}), "decode returns a documented status");
    if (status == SMIME_OK) {
        require(decoded.get()->value != nullptr, "decoded text always has a block");
        require(decoded.bytes().size() <= size, "decoding never grows the text");
    } else {
        require(decoded.isUntouched(), "a failed decode hands out nothing");
    }
    checkEscapedBytes(text);
    return status;
}

} // namespace fuzzentry
