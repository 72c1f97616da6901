// Base64 over whole buffers: the allocation and the errors around the block
// loops of base64_codec.h, run on the fastest path this processor has.
#include "vekkryutility.h"

#include <cstring>
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

std::size_t VekKRYUtility::encodedLinesLength(std::size_t length, std::size_t width) noexcept {
    const std::size_t text = encodedLength(length);
    return text == 0 ? 0 : text + (text - 1) / width;
}

void VekKRYUtility::encodeLinesInto(const r_buffer_t& data, std::size_t width, unsigned char* out) noexcept {
    // Whole lines are encoded a few dozen at a time into a scratch block
    // that stays in the first-level cache, then laid out with their line
    // feeds; the long runs keep the vector path busy, and the destination
    // is written once, front to back. Lines longer than the scratch block
    // are encoded in place, one at a time.
    constexpr std::size_t kScratch = 4096;
    const std::size_t lineBytes = width / 4 * 3;
    const bool inPlace = width > kScratch;
    const std::size_t runLimit = (inPlace ? 1 : kScratch / width) * lineBytes;
    unsigned char scratch[kScratch];
    const base64::Path path = base64::fastestPath();
    const unsigned char* in = data.data;
    for (std::size_t remaining = data.length; remaining != 0;) {
        const std::size_t runBytes = remaining < runLimit ? remaining : runLimit;
        const std::size_t runText = encodedLength(runBytes);
        if (in != data.data) *out++ = '\n';
        if (inPlace) {
            base64::encode(path, in, runBytes, out);
            out += runText;
        } else {
            base64::encode(path, in, runBytes, scratch);
            for (std::size_t at = 0; at < runText; at += width) {
                if (at != 0) *out++ = '\n';
                const std::size_t piece = runText - at < width ? runText - at : width;
                std::memcpy(out, scratch + at, piece);
                out += piece;
            }
        }
        in += runBytes;
        remaining -= runBytes;
    }
}

std::size_t VekKRYUtility::decodedCapacity(std::size_t length) noexcept { return base64::decodedCapacity(length); }

bool VekKRYUtility::decodeInto(const r_buffer_t& text, unsigned char* out, std::size_t* length) noexcept {
    const base64::DecodeResult result = base64::decode(base64::fastestPath(), text.data, text.length, out);
    *length = result.outcome == base64::DecodeOutcome::Decoded ? result.length : 0;
    return result.outcome == base64::DecodeOutcome::Decoded;
}
