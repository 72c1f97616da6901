// Base64 (RFC 4648 alphabet with padding) over whole buffers.
#ifndef VEKKRYUTILITY_H
#define VEKKRYUTILITY_H

#include <exception>

#include "vek4_export.h"
#include "vekbuffer.h"

// Thrown by decodeData_BASE64 for text that is not base64.
class VEK4CMS_API VekKRYException : public std::exception {
public:
    explicit VekKRYException(const char* reason) noexcept : reason_(reason) {}
    const char* what() const noexcept override;

private:
    const char* reason_; // a string literal
};

class VEK4CMS_API VekKRYUtility {
public:
    // The base64 text of the bytes, padded, without line breaks. factory is
    // reserved and must be null. Throws std::bad_alloc.
    static VekBuffer encodeData_BASE64(const r_buffer_t& data, void* factory);

    // The bytes of base64 text. CR and LF are skipped wherever they stand;
    // padding may only end the text. Throws VekKRYException for any other
    // character outside the alphabet, misplaced padding or a text whose
    // length (without CR and LF) is not a multiple of four, and
    // std::bad_alloc. factory is reserved and must be null.
    static VekBuffer decodeData_BASE64(const r_buffer_t& text, void* factory);

    // Exact size of the encoded text of length bytes.
    static std::size_t encodedLength(std::size_t length) noexcept { return (length + 2) / 3 * 4; }

    // The same text broken into lines of width characters (a positive
    // multiple of four) joined by a single LF, with none after the last
    // line: its exact size, and the text written to out, which must have
    // room for that many bytes. These write straight into memory the caller
    // has sized once, so a large message is encoded in one pass.
    static std::size_t encodedLinesLength(std::size_t length, std::size_t width) noexcept;
    static void encodeLinesInto(const r_buffer_t& data, std::size_t width, unsigned char* out) noexcept;

    // Room decodeInto needs for text of length characters.
    static std::size_t decodedCapacity(std::size_t length) noexcept;
    // Decodes text by the rules of decodeData_BASE64 into out, which must
    // have room for decodedCapacity(text.length) bytes; the number of bytes
    // goes to length. false, with length 0, for text decodeData_BASE64 refuses.
    static bool decodeInto(const r_buffer_t& text, unsigned char* out, std::size_t* length) noexcept;
};

#endif // VEKKRYUTILITY_H
