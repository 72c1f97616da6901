// The MIME stream scanner and the S/MIME parser on arbitrary messages.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "entry_points.h"
#include "fuzz_support.h"
#include "reference_base64.h"
#include "smimestream.h"
#include "vek4kivosmime.h"

namespace fuzzentry {

using detail::HeapBuffer;
using detail::isOneOf;
using detail::isSliceOf;
using detail::require;

namespace {

bool isMessageKind(messageType_t type) { return type >= messageUntyped && type <= messageUnknown; }

bool isTerminatedWithin(const char* text, std::size_t size) { return std::memchr(text, '\0', size) != nullptr; }

// A message that is not clear-signed gives its body as the object: decoded
// when it is base64, nothing for printable-encoded, else as it stands.
void checkObjectIsTheBody(std::string_view message, unsigned status, const HeapBuffer& object) {
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    require(stream.getMimeInfo(&info) == SMIME_OK, "the header scan succeeds");
    HeapBuffer body;
    if (stream.getpayload(body.get()) != SMIME_OK) return;
    switch (info.transferEncoding) {
    case encodingBase64: {
        const std::optional<std::string> decoded = detail::referenceBase64Decode(body.bytes());
        if (status == SMIME_OK)
            require(decoded && object.bytes() == *decoded, "a base64 body is decoded as the reference does");
        else if (status == SMIME_NULL_PARAMETER)
            require(!decoded, "a base64 body is refused only when the reference refuses it");
        break;
    }
    case encodingPrintable:
        require(status != SMIME_OK || object.isUntouched(), "a printable-encoded body is not decoded");
        break;
    default:
        require(status != SMIME_OK || object.bytes() == body.bytes(), "a body in no encoding is the object");
        break;
    }
}

} // namespace

unsigned scanMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    // Filled with garbage first, so that a field the scan forgets shows.
    std::memset(&info, 0x5A, sizeof info);
    require(stream.getMimeInfo(&info) == SMIME_OK, "the header scan succeeds");
    require(isMessageKind(info.type), "the header scan names a kind of message");
    require(isTerminatedWithin(info.boundary, sizeof info.boundary), "the boundary is a string");
    require(isTerminatedWithin(info.micalg, sizeof info.micalg), "the micalg is a string");

    if (info.type == messageClearSigned) {
        require(std::strlen(stream.delimiter()) == std::strlen(info.boundary) + 3,
                "the delimiter line is two hyphens, the boundary and CR");
        // Every part lies in the message; an empty part does not end the body.
        std::size_t consumed = 0;
        unsigned status = SMIME_OK;
        while (status == SMIME_OK || status == SMIME_NO_MESSAGE) {
            HeapBuffer part;
            status = stream.getPart(part.get());
            require(isOneOf(status, {SMIME_OK, SMIME_NO_MESSAGE, SMIME_BAD_MESSAGE, SMIME_NO_MEMORY}),
                    "getPart returns a documented status");
            if (status != SMIME_OK) {
                require(part.isUntouched(), "a failed getPart hands out nothing");
                continue;
            }
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
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    gss_buffer_desc message = detail::viewOf(text);
    smimeParser parser;
    parser.setMessage(&message);
    const messageType_t kind = parser.getMessageType();
    require(isMessageKind(kind), "a message set is of some kind");

    HeapBuffer object;
    HeapBuffer content;
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
    HeapBuffer objectAgain;
    HeapBuffer contentAgain;
    const unsigned again = parser.getPKCS7Object(objectAgain.get(), contentAgain.get());
    require(again == status, "a second extraction gives the same status");
    require(objectAgain.bytes() == object.bytes() && contentAgain.bytes() == content.bytes(),
            "a second extraction gives the same bytes");
    return status;
}

} // namespace fuzzentry
