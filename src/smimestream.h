// The MIME stream scanner: reads one message held in memory, in place. It
// scans the header section into a mimeInfo_T, then hands out the body
// (getpayload) or, for multipart/signed, one body part at a time (getPart).
// Internal to the library.
#ifndef SMIME_SMIMESTREAM_H
#define SMIME_SMIMESTREAM_H

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>
#include <string_view>

#include "vek4kivosmime.h"

namespace detail {

// A read-only stream buffer over bytes the caller keeps alive. Besides the
// character interface of a stream it lets the scanner look at the bytes
// ahead directly, so lines and bodies are found with memchr and copied once.
class MemoryStreamBuffer : public std::streambuf {
public:
    MemoryStreamBuffer(const char* bytes, std::size_t length);

    std::string_view remaining() const { return std::string_view(gptr(), static_cast<std::size_t>(egptr() - gptr())); }
    void skip(std::size_t count);
};

// Holds the buffer so that it is built before the stream that reads it.
struct MemoryStreamBufferHolder {
    MemoryStreamBufferHolder(const char* bytes, std::size_t length) : streamBuffer(bytes, length) {}
    MemoryStreamBuffer streamBuffer;
};

} // namespace detail

class SMimeStream : private detail::MemoryStreamBufferHolder, public std::istream {
public:
    static constexpr std::size_t kBoundaryMax = 70;
    static constexpr std::size_t kMicalgMax = 19;

    SMimeStream(const char* bytes, std::size_t length);

    // Scans the header section into info; for a clear-signed message also
    // prepares the delimiter lines and moves past the preamble and the first
    // delimiter line. 0, or 16 for a null info.
    unsigned int getMimeInfo(mimeInfo_T* info);
    // Every byte from here (past the header section) to the end, copied into
    // out (malloc; an empty payload gets a block too). 0, or 15 when the copy
    // cannot be allocated (out then has the length and a null value).
    unsigned int getpayload(gss_buffer_desc* out);
    // The same bytes in place, valid while the scanned bytes are.
    std::string_view payload();
    // The text from here up to the next delimiter or closing delimiter line,
    // less the CR LF before that line. 0; 21 when there is no text; 22 when
    // no delimiter line follows; 15 when the copy cannot be allocated.
    unsigned int getPart(gss_buffer_desc* out);
    // The same text where it stands, valid while the scanned bytes are.
    unsigned int getPart(std::string_view& part);

    // Whether the last Content-Type scanned named application/pkcs7-mime (or
    // its x- form), whatever type its smime-type gave.
    bool isPkcs7Mime() const { return pkcs7Mime; }
    const char* delimiter() const { return delimiterLine; }
    const char* closeDelimiter() const { return closeDelimiterLine; }

private:
    // One logical header line (folded lines joined by a space) ending in LF,
    // appended to line; at the empty line that ends the header section, or
    // at the end of input, clears inHeader instead.
    void readHeaderLine(std::string& line);
    // The next line up to LF (the LF consumed, a CR before it kept), read
    // whole however long; false at the end of the input.
    bool readLine(std::string_view& line);

    bool inHeader;
    bool pkcs7Mime;
    char delimiterLine[74];
    char closeDelimiterLine[76];
};

namespace detail {

// What the CMS object (BER or DER) says it is, read from its content type:
// messageSignedData, messageEnvelopedData (for AuthEnvelopedData too), or
// messageUnknown for any other type or bytes that are no ContentInfo.
messageType_t cmsContentType(const gss_buffer_desc& object) noexcept;

// The kind verify and decrypt act on. Mail clients leave smime-type out or
// write the wrong one, so a pkcs7-mime entity whose label is missing or
// disagrees with its CMS content is taken for what the content is; every
// other message keeps the kind its label gives.
messageType_t kindToUnwrap(messageType_t labelled, const gss_buffer_desc& message, const gss_buffer_desc& object);

} // namespace detail

#endif // SMIME_SMIMESTREAM_H
