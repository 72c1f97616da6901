// Base64 transfer encoding with MIME line breaking, and a self-contained
// encoder and decoder over caller arrays.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mime_base64.h"
#include "strace.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"
#include "vekkryutility.h"

namespace {

constexpr char kTraceFile[] = "src/sbase64";
constexpr unsigned kLineWidth = 72;
constexpr unsigned char kInvalid = 0x80;
constexpr unsigned char kSkip = 0x81;

// Index with unsigned char: plain char may be signed, and a byte above 0x7F
// would then read before the start of the table.
unsigned char lookup(char c) {
    const auto code = static_cast<unsigned char>(c);
    return code < 128 ? sbase64::asc64bin[code] : kInvalid;
}

} // namespace

const char sbase64::B64[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const unsigned char sbase64::asc64bin[128] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x80, 0x80, 0x81, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x3E, 0x80, 0x80, 0x80, 0x3F,
    0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x80, 0x80, 0x80, 0x82, 0x80, 0x80,
    0x80, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E,
    0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x80, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x32, 0x33, 0x80, 0x80, 0x80, 0x80, 0x80,
};

sbase64::sbase64() : lineCount(0) { SMIME_TRACE_SCOPE("sbase64::sbase64()"); }

sbase64::~sbase64() { SMIME_TRACE_SCOPE("sbase64::~sbase64()"); }

unsigned int sbase64::deriveEncodeLength(unsigned int n) {
    const std::uint64_t encoded = 4 * ((static_cast<std::uint64_t>(n) + 2) / 3);
    const std::uint64_t withBreaks = encoded + 2 * (encoded / kLineWidth);
    return withBreaks > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned int>(withBreaks);
}

unsigned int sbase64::deriveDecodeLength(unsigned int n) { return 3 * (n / 4); }

std::size_t detail::mimeBase64Length(std::size_t length) noexcept {
    return VekKRYUtility::encodedLinesLength(length, kLineWidth);
}

void detail::writeMimeBase64(const gss_buffer_desc& input, unsigned char* out) noexcept {
    SMIME_TRACE_SCOPE("sbase64::encode()");
    VekKRYUtility::encodeLinesInto(r_buffer_t(input.value, input.length), kLineWidth, out);
}

void detail::writeMimeBase64Consuming(const gss_buffer_desc& input, unsigned char* out) noexcept {
    SMIME_TRACE_SCOPE("sbase64::encode()");
    // Runs of whole lines, about 2 MiB of input each, joined by the line
    // feed that ends each run's last line.
    constexpr std::size_t kRunBytes = kLineWidth / 4 * 3 * 29127;
    const auto* in = static_cast<const unsigned char*>(input.value);
    std::size_t given = 0;
    for (std::size_t at = 0; at < input.length;) {
        const std::size_t run = input.length - at < kRunBytes ? input.length - at : kRunBytes;
        if (at != 0) *out++ = '\n';
        VekKRYUtility::encodeLinesInto(r_buffer_t(in + at, run), kLineWidth, out);
        out += VekKRYUtility::encodedLinesLength(run, kLineWidth);
        at += run;
        given = VekDiscardReadBytes(in, given, at);
    }
}

unsigned int sbase64::encode(const gss_buffer_desc* input, gss_buffer_desc* output) {
    SMIME_TRACE_SCOPE("sbase64::encode()");
    // The broken lines are written straight into one block of their final
    // size: what encoding without breaks and then breaking the text would
    // give, without the two intermediate copies.
    const std::size_t size = detail::mimeBase64Length(input->length);
    if (size == 0) {
        output->length = 0;
        output->value = nullptr;
        return SMIME_OK;
    }
    auto* out = VekFitsLengthWord(size) ? static_cast<unsigned char*>(VekAllocateBlock(size)) : nullptr;
    if (out == nullptr) {
        SMIME_TRACE_TEXT("sbase64::encode() could not alloc storage for output.");
        output->length = 0;
        return SMIME_NO_MEMORY;
    }
    VekKRYUtility::encodeLinesInto(r_buffer_t(input->value, input->length), kLineWidth, out);
    output->length = static_cast<OM_uint32>(size);
    output->value = out;
    return SMIME_OK;
}

unsigned int sbase64::convertToMIME(const gss_buffer_desc* text, gss_buffer_desc* output) {
    const std::size_t length = text->length;
    if (length == 0) {
        output->length = 0;
        output->value = nullptr;
        return SMIME_OK;
    }
    const std::size_t padding = (4 - length % 4) % 4;
    const std::size_t lines = (length + kLineWidth - 1) / kLineWidth;
    const std::size_t size = length + padding + lines - 1;
    auto* out = VekFitsLengthWord(size) ? static_cast<char*>(std::malloc(size)) : nullptr;
    if (out == nullptr) {
        SMIME_TRACE_TEXT("sbase64::convertToMIME() could not alloc storage for output.");
        output->length = 0;
        return SMIME_NO_MEMORY;
    }
    const char* in = static_cast<const char*>(text->value);
    char* cursor = out;
    for (std::size_t done = 0; done < length; done += kLineWidth) {
        if (done != 0) *cursor++ = '\n';
        const std::size_t piece = length - done < kLineWidth ? length - done : kLineWidth;
        std::memcpy(cursor, in + done, piece);
        cursor += piece;
    }
    std::memset(cursor, '=', padding);
    output->length = static_cast<OM_uint32>(size);
    output->value = out;
    return SMIME_OK;
}

unsigned int sbase64::decode(const gss_buffer_desc* input, gss_buffer_desc* output) {
    SMIME_TRACE_SCOPE("sbase64::decode()");
    // Decoded straight into one block, sized for the most the text can hold
    // and trimmed to what it held; an empty result still gets a block, so
    // that a decoded body always has a value.
    const std::size_t capacity = VekKRYUtility::decodedCapacity(input->length);
    auto* out = static_cast<unsigned char*>(VekAllocateBlock(capacity));
    if (out == nullptr) {
        SMIME_TRACE_TEXT("sbase64::decode() could not alloc storage for output.");
        output->length = 0;
        return SMIME_NO_MEMORY;
    }
    std::size_t length = 0;
    if (!VekKRYUtility::decodeInto(r_buffer_t(input->value, input->length), out, &length) ||
        !VekFitsLengthWord(length)) {
        // Text that is not base64 means the body could not be decoded.
        std::free(out);
        return SMIME_NULL_PARAMETER;
    }
    // Shrinking gives the unused tail back; should it fail, the block is
    // only larger than it needs to be.
    if (void* trimmed = std::realloc(out, length == 0 ? 1 : length)) out = static_cast<unsigned char*>(trimmed);
    output->length = static_cast<OM_uint32>(length);
    output->value = out;
    return SMIME_OK;
}

unsigned int sbase64::b64Encode(const unsigned char* input, unsigned int length, unsigned char* output,
                                unsigned int size) {
    SMIME_TRACE_SCOPE("sbase64::b64encode()");
    // The room is computed wide: for the largest inputs it does not fit in
    // 32 bits, and a clamped figure would let a too-small array through.
    const std::uint64_t encoded = 4 * ((static_cast<std::uint64_t>(length) + 2) / 3);
    const std::uint64_t needed = encoded + 2 * (encoded / kLineWidth);
    if (input == nullptr || output == nullptr || length == 0 || size == 0 || size < needed) return 0;
    lineCount = 0;
    unsigned char* out = output;
    auto countGroup = [&] {
        lineCount += 4;
        if (lineCount == kLineWidth) {
            *out++ = '\n';
            lineCount = 0;
        }
    };
    unsigned int i = 0;
    for (; length - i >= 3; i += 3) {
        const unsigned b0 = input[i], b1 = input[i + 1], b2 = input[i + 2];
        *out++ = static_cast<unsigned char>(B64[b0 >> 2]);
        *out++ = static_cast<unsigned char>(B64[((b0 & 3) << 4) | (b1 >> 4)]);
        *out++ = static_cast<unsigned char>(B64[((b1 & 15) << 2) | (b2 >> 6)]);
        *out++ = static_cast<unsigned char>(B64[b2 & 63]);
        countGroup();
    }
    if (length - i == 1) {
        const unsigned b0 = input[i];
        *out++ = static_cast<unsigned char>(B64[b0 >> 2]);
        *out++ = static_cast<unsigned char>(B64[(b0 & 3) << 4]);
        *out++ = '=';
        *out++ = '=';
        lineCount += 4;
    } else if (length - i == 2) {
        const unsigned b0 = input[i], b1 = input[i + 1];
        *out++ = static_cast<unsigned char>(B64[b0 >> 2]);
        *out++ = static_cast<unsigned char>(B64[((b0 & 3) << 4) | (b1 >> 4)]);
        *out++ = static_cast<unsigned char>(B64[(b1 & 15) << 2]);
        *out++ = '=';
        lineCount += 4;
    }
    return static_cast<unsigned int>(out - output);
}

unsigned int sbase64::b64Decode(const char* input, unsigned int length, unsigned char* output,
                                unsigned int size) {
    SMIME_TRACE_SCOPE("sbase64::b64Decode()");
    if (input == nullptr || output == nullptr || length == 0 || size == 0 || size < deriveDecodeLength(length))
        return 0;
    unsigned int written = 0;
    unsigned int i = 0;
    while (i < length) {
        while (i < length && lookup(input[i]) == kSkip) ++i;
        if (i == length) break;
        // A group cut short by the end of the input is refused like any other
        // malformed group, before any of it is written: the room the caller
        // was told to provide counts whole groups only.
        if (length - i < 4) return 0;
        const unsigned c0 = lookup(input[i]), c1 = lookup(input[i + 1]);
        if (c0 >= kInvalid || c1 >= kInvalid) return 0;
        output[written++] = static_cast<unsigned char>(c0 << 2 | c1 >> 4);
        if (input[i + 2] == '=') break;
        const unsigned c2 = lookup(input[i + 2]);
        if (c2 >= kInvalid) return 0;
        output[written++] = static_cast<unsigned char>(c1 << 4 | c2 >> 2);
        if (input[i + 3] == '=') break;
        const unsigned c3 = lookup(input[i + 3]);
        if (c3 >= kInvalid) return 0;
        output[written++] = static_cast<unsigned char>(c2 << 6 | c3);
        i += 4;
    }
    return written;
}
