// Quoted-printable ("printable-encoded") transfer encoding: a complete
// decoder, and an encoder that produces nothing.
#include <cstdlib>
#include <cstring>
#include <new>

#include "strace.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"

namespace {

constexpr char kTraceFile[] = "src/sprintable";
constexpr unsigned char kNotHex = 0xFF;
constexpr char kInvalidText[] = "sprintable::decode: Invalide encoded message!";

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

// Collects decoded bytes. Decoding never grows the text, so room for the
// whole input is taken once; if it cannot be had, the scan still runs to
// tell invalid input from a failure to collect.
class DecodedBytes {
public:
    explicit DecodedBytes(std::size_t inputLength) {
        try {
            next_ = buffer_.prepareAppend(inputLength == 0 ? 1 : inputLength);
        } catch (const std::bad_alloc&) {
            next_ = nullptr;
        }
    }
    void put(const unsigned char* bytes, std::size_t length) {
        if (next_ == nullptr) return;
        std::memcpy(next_, bytes, length);
        next_ += length;
    }
    void put(unsigned char byte) { put(&byte, 1); }
    bool failed() const { return next_ == nullptr; }
    std::size_t length() const { return static_cast<std::size_t>(next_ - buffer_.getValue()); }
    const unsigned char* bytes() const { return buffer_.getValue(); }

private:
    VekBuffer buffer_;
    unsigned char* next_;
};

} // namespace

const unsigned char sprintable::index_hex[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

unsigned int sprintable::encode(const gss_buffer_desc* /*input*/, gss_buffer_desc* /*output*/) {
    SMIME_TRACE_SCOPE("sprintable::encode()");
    return SMIME_OK;
}

unsigned int sprintable::decode(const gss_buffer_desc* input, gss_buffer_desc* output) {
    SMIME_TRACE_SCOPE("sprintable::decode()");
    if (input == nullptr || output == nullptr || (input->length != 0 && input->value == nullptr))
        return SMIME_NULL_PARAMETER;
    const auto* in = static_cast<const unsigned char*>(input->value);
    const std::size_t length = input->length;
    auto hexValue = [](unsigned char c) { return c < 128 ? index_hex[c] : kNotHex; };
    auto invalid = [] {
        SMIME_TRACE_TEXT(kInvalidText);
        return SMIME_BAD_ENCODING;
    };

    DecodedBytes decoded(length);
    unsigned int status = SMIME_OK;
    std::size_t i = 0;
    while (status == SMIME_OK && i < length) {
        const unsigned char c = in[i];
        if (c == '=') {
            if (length - i < 3) {
                status = invalid();
            } else if (in[i + 1] == '\r') {
                // A soft line break joins the lines around it.
                if (in[i + 2] == '\n')
                    i += 3;
                else
                    status = invalid();
            } else {
                const unsigned char high = hexValue(in[i + 1]);
                const unsigned char low = hexValue(in[i + 2]);
                if (high == kNotHex || low == kNotHex) {
                    status = invalid();
                } else {
                    decoded.put(static_cast<unsigned char>(high * 16 + low));
                    i += 3;
                }
            }
        } else if (c >= 0x21 && c <= 0x7E) {
            decoded.put(c);
            ++i;
        } else if (isBlank(c)) {
            // White space at the end of a line or of the text was added in
            // transport and is dropped; inside a line it is kept.
            std::size_t end = i;
            while (end < length && isBlank(in[end])) ++end;
            if (end < length && in[end] != '\r') decoded.put(in + i, end - i);
            i = end;
        } else if (c == '\r') {
            if (i + 1 < length && in[i + 1] == '\n') {
                decoded.put(in + i, 2);
                i += 2;
            } else {
                status = invalid();
            }
        } else {
            status = SMIME_BAD_ENCODING;
        }
    }
    if (status != SMIME_OK) return status;

    void* bytes = decoded.failed() ? nullptr : std::malloc(decoded.length() == 0 ? 1 : decoded.length());
    if (bytes == nullptr) {
        SMIME_TRACE_TEXT("sprintable::decode: Error accumulating stream data!");
        return SMIME_STREAM_ERROR;
    }
    if (decoded.length() != 0) std::memcpy(bytes, decoded.bytes(), decoded.length());
    output->length = static_cast<OM_uint32>(decoded.length());
    output->value = bytes;
    return SMIME_OK;
}
