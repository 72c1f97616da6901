// The MIME stream scanner, the S/MIME parser and the transfer decoders on
// arbitrary text.
#include <cstring>
#include <memory>

#include "../support/base64_codec.h"
#include "entry_points.h"
#include "smimestream.h"
#include "vek4kivosmime.h"

namespace fuzzentry {

using namespace detail;

namespace {

std::string_view textOf(const unsigned char* bytes, std::size_t size) {
    return {reinterpret_cast<const char*>(bytes), size};
}

bool isMessageKind(messageType_t type) { return type >= messageUntyped && type <= messageUnknown; }

// A message that is not clear-signed gives its body as the object: decoded
// when it is base64, nothing for printable-encoded, else as it stands.
void checkObjectIsTheBody(std::string_view message, unsigned status, const HeapBuffer& object) {
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    require(stream.getMimeInfo(&info) == SMIME_OK, "the header scan succeeds");
    HeapBuffer body;
    if (stream.getpayload(body.get()) != SMIME_OK) return;
    if (info.transferEncoding == encodingBase64) {
        const std::optional<std::string> decoded = referenceBase64Decode(body.bytes());
        if (status == SMIME_OK)
            require(decoded && object.bytes() == *decoded, "a base64 body is decoded as the reference does");
        else if (status == SMIME_NULL_PARAMETER)
            require(!decoded, "a base64 body is refused only when the reference refuses it");
    } else if (info.transferEncoding == encodingPrintable) {
        require(status != SMIME_OK || object.isUntouched(), "a printable-encoded body is not decoded");
    } else {
        require(status != SMIME_OK || object.bytes() == body.bytes(), "a body in no encoding is the object");
    }
}

// The array API: b64Decode into exactly the room it asks for, which it keeps to.
std::string arrayDecoded(sbase64& codec, std::string_view text) {
    const unsigned room = sbase64::deriveDecodeLength(static_cast<unsigned>(text.size()));
    const auto out = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Decode(text.data(), static_cast<unsigned>(text.size()), out.get(), room);
    require(written <= room, "b64Decode stays within the room it asked for");
    return std::string(textOf(out.get(), written));
}

} // namespace

unsigned scanMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view message = textOf(data, size);
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    // Filled with garbage first, so that a field the scan forgets shows.
    std::memset(&info, 0x5A, sizeof info);
    require(stream.getMimeInfo(&info) == SMIME_OK, "the header scan succeeds");
    require(isMessageKind(info.type), "the header scan names a kind of message");
    require(std::memchr(info.boundary, '\0', sizeof info.boundary) != nullptr, "the boundary is a string");
    require(std::memchr(info.micalg, '\0', sizeof info.micalg) != nullptr, "the micalg is a string");
    if (info.type == messageClearSigned) {
        require(std::strlen(stream.delimiter()) == std::strlen(info.boundary) + 3,
                "the delimiter line is two hyphens, the boundary and CR");
        // Every part lies in the message; an empty part does not end the body.
        std::size_t consumed = 0;
        for (unsigned status = SMIME_OK; status == SMIME_OK || status == SMIME_NO_MESSAGE;) {
            HeapBuffer part;
            status = stream.getPart(part.get());
            require(isOneOf(status, {SMIME_OK, SMIME_NO_MESSAGE, SMIME_BAD_MESSAGE, SMIME_NO_MEMORY}),
                    "getPart returns a documented status");
            require(status == SMIME_OK || part.isUntouched(), "a failed getPart hands out nothing");
            if (status != SMIME_OK) continue;
            require(isSliceOf(part.bytes(), message), "a part is a run of the message's bytes");
            consumed += part.bytes().size() + 2;
            require(consumed <= size, "the parts fit in the message");
        }
    }
    HeapBuffer payload;
    const unsigned status = stream.getpayload(payload.get());
    require(isOneOf(status, {SMIME_OK, SMIME_NO_MEMORY}), "getpayload returns a documented status");
    if (status == SMIME_OK) {
        const std::string_view rest = payload.bytes();
        require(payload.get()->value != nullptr, "a payload always has a block");
        require(rest.size() <= size && message.substr(size - rest.size()) == rest,
                "the payload is the end of the message");
    }
    return status;
}

unsigned parseMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    gss_buffer_desc message = viewOf(text);
    smimeParser parser;
    parser.setMessage(&message);
    const messageType_t kind = parser.getMessageType();
    require(isMessageKind(kind), "a message set is of some kind");
    HeapBuffer object, content;
    const unsigned status = parser.getPKCS7Object(object.get(), content.get());
    require(isOneOf(status, {SMIME_OK, SMIME_NULL_PARAMETER, SMIME_NO_MEMORY, SMIME_BAD_MESSAGE}),
            "getPKCS7Object returns a documented status");
    require(isMessageKind(parser.getMessageType()), "the extraction leaves a kind of message");
    if (status != SMIME_OK) {
        require(object.isUntouched() && content.isUntouched(), "a failed extraction hands out nothing");
    } else if (kind == messageClearSigned) {
        require(content.get()->value != nullptr, "a clear-signed message has signed content");
        require(isSliceOf(content.bytes(), text), "the signed content is the first part as it stands");
    } else {
        require(content.isUntouched(), "only a clear-signed message has separate content");
    }
    if (kind != messageClearSigned) checkObjectIsTheBody(text, status, object);
    // The parser scans afresh for every extraction, so asking again without a
    // new setMessage gives the same answer.
    HeapBuffer objectAgain, contentAgain;
    require(parser.getPKCS7Object(objectAgain.get(), contentAgain.get()) == status,
            "a second extraction gives the same status");
    require(objectAgain.bytes() == object.bytes() && contentAgain.bytes() == content.bytes(),
            "a second extraction gives the same bytes");
    return status;
}

unsigned decodeBase64(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    const std::optional<std::string> expected = referenceBase64Decode(text);
    sbase64 codec;
    const gss_buffer_desc input = viewOf(text);
    HeapBuffer decoded;
    const unsigned status = codec.decode(&input, decoded.get());
    require(isOneOf(status, {SMIME_OK, SMIME_NO_MEMORY, SMIME_NULL_PARAMETER}), "decode returns a documented status");
    if (status == SMIME_OK) {
        require(expected && decoded.bytes() == *expected, "decode agrees with the reference");
    } else {
        require(decoded.isUntouched(), "a failed decode hands out nothing");
        require(status == SMIME_NO_MEMORY || !expected, "decode refuses only what the reference refuses");
    }
    // Each block loop of the support library on its own, into exactly the room
    // it asks for, so that the sanitizer sees any store beyond it.
    namespace base64 = ::detail::base64;
    for (const base64::Path path : {base64::Path::Scalar, base64::Path::Avx2}) {
        if (!base64::isPathAvailable(path)) continue;
        const auto out = std::make_unique<unsigned char[]>(base64::decodedCapacity(size));
        const base64::DecodeResult result = base64::decode(path, data, size, out.get());
        require((result.outcome == base64::DecodeOutcome::Decoded) == expected.has_value(),
                "each block loop accepts what the reference accepts");
        require(!expected || textOf(out.get(), result.length) == *expected,
                "each block loop decodes as the reference does");
    }
    // b64Decode reads groups of four with line breaks between them only: on
    // text without them it agrees with the reference.
    if (sbase64::deriveDecodeLength(static_cast<unsigned>(size)) != 0) {
        const std::string arrayDecodedText = arrayDecoded(codec, text);
        require(!expected || text.find_first_of("\r\n") != std::string_view::npos || arrayDecodedText == *expected,
                "b64Decode decodes text without line breaks as the reference does");
    }
    // The input as bytes, through each encoder and back.
    HeapBuffer encoded, back;
    if (codec.encode(&input, encoded.get()) == SMIME_OK) {
        require(codec.decode(encoded.get(), back.get()) == SMIME_OK, "decode takes what encode wrote");
        require(back.bytes() == text, "encode and decode give the bytes back");
    }
    if (size == 0) return status;
    const unsigned room = sbase64::deriveEncodeLength(static_cast<unsigned>(size));
    const auto out = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Encode(data, static_cast<unsigned>(size), out.get(), room);
    require(written != 0 && written <= room, "b64Encode fits the room it asked for");
    require(arrayDecoded(codec, textOf(out.get(), written)) == text, "b64Encode and b64Decode give the bytes back");
    return status;
}

unsigned decodePrintable(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    const gss_buffer_desc input = viewOf(text);
    HeapBuffer decoded;
    const unsigned status = sprintable::decode(&input, decoded.get());
    require(isOneOf(status, {SMIME_OK, SMIME_BAD_ENCODING, SMIME_STREAM_ERROR}), "decode returns a documented status");
    if (status == SMIME_OK) {
        require(decoded.get()->value != nullptr, "decoded text always has a block");
        require(decoded.bytes().size() <= size, "decoding never grows the text");
    } else {
        require(decoded.isUntouched(), "a failed decode hands out nothing");
    }
    // The input's bytes, each written as an escape in upper or lower case hex,
    // with soft line breaks between lines of 25 escapes, decode to themselves.
    static constexpr char kDigits[] = "0123456789ABCDEF0123456789abcdef";
    std::string escaped;
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0 && i % 25 == 0) escaped += "=\r\n";
        const char* digits = kDigits + (i % 2) * 16;
        escaped += {'=', digits[data[i] >> 4], digits[data[i] & 0x0F]};
    }
    const gss_buffer_desc escapes = viewOf(escaped);
    HeapBuffer back;
    require(sprintable::decode(&escapes, back.get()) == SMIME_OK, "escaped bytes decode");
    require(back.bytes() == text, "escaped bytes decode to themselves");
    return status;
}

} // namespace fuzzentry
