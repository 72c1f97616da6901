// Base64 over whole buffers: the allocation and the errors around the block
// loops of base64_codec.h, run on the fastest path this processor has.
#include "vekkryutility.h"

#include <limits>
#include <new>

#include "base64_codec.h"

namespace {

namespace base64 = detail::base64;

const char* describe(base64::DecodeOutcome outcome) {
    switch (outcome) {
    case base64::DecodeOutcome::InvalidCharacter:
        return "invalid character in base64 text";
    case base64::DecodeOutcome::MisplacedPadding:
        return "padding before the end of base64 text";
    case base64::DecodeOutcome::TruncatedGroup:
        return "base64 text ends inside a group of four";
    case base64::DecodeOutcome::DataAfterPadding:
        return "base64 text continues after its padding";
    case base64::DecodeOutcome::Decoded:
        break;
    }
    return "base64 text refused";
}

} // namespace

const char* VekKRYException::what() const noexcept { return reason_; }

VekBuffer VekKRYUtility::encodeData_BASE64(const r_buffer_t& data, void* /*factory*/) {
    if (data.length > std::numeric_limits<std::size_t>::max() / 4 * 3 - 3) throw std::bad_alloc();
    const std::size_t encoded = encodedLength(data.length);
    VekBuffer text(encoded, nullptr);
    if (encoded != 0) {
        base64::encode(base64::fastestPath(), data.data, data.length, text.prepareAppend(encoded));
        text.commit(encoded);
    }
    return text;
}

VekBuffer VekKRYUtility::decodeData_BASE64(const r_buffer_t& text, void* /*factory*/) {
    const std::size_t capacity = base64::decodedCapacity(text.length);
    VekBuffer bytes(capacity, nullptr);
    const base64::DecodeResult result =
        base64::decode(base64::fastestPath(), text.data, text.length, bytes.prepareAppend(capacity));
    if (result.outcome != base64::DecodeOutcome::Decoded) throw VekKRYException(describe(result.outcome));
    bytes.commit(result.length);
    return bytes;
}
