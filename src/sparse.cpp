// The MIME stream scanner and the S/MIME parser: classify a message held in
// memory and extract its PKCS#7 object (and, for a clear-signed message, the
// signed content).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "owned_buffer.h"
#include "smimestream.h"
#include "strace.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"
#include "vekruntime.h"

namespace {

constexpr char kTraceFile[] = "src/sparse";

bool isWhiteSpace(int c) { return c != std::char_traits<char>::eof() && std::isspace(c) != 0; }

bool isTokenDelimiter(char c) { return c == ';' || c == ':' || c == '='; }

bool equalsIgnoringCase(const std::string& token, const char* literal) {
    return vekruntime::compareIgnoringCase(token.c_str(), literal) == 0;
}

// Reads the tokens of one unfolded header line.
class HeaderTokens {
public:
    explicit HeaderTokens(const std::string& line) : line_(line) {}

    // A run of characters up to white space, one of ";:=" or NUL; the
    // character that ends it is consumed, and so is the white space after it.
    // Double quotes are dropped; between them white space and ";:=" belong
    // to the token, as in an RFC 2045 quoted string, so that quoted
    // boundaries such as "----=_Part_1" are read whole.
    std::string next() {
        std::string token;
        bool quoted = false;
        while (at_ < line_.size()) {
            const char c = line_[at_++];
            if (c == '"') {
                // A quote that is never closed only vanishes, so that it
                // cannot swallow the parameters after it.
                if (quoted || closesOnThisLine()) quoted = !quoted;
                continue;
            }
            // The line's own terminator ends even a quoted value.
            if (c == '\0' || c == '\n') break;
            if (!quoted && (isWhiteSpace(static_cast<unsigned char>(c)) || isTokenDelimiter(c))) break;
            token += c;
        }
        while (at_ < line_.size() && isWhiteSpace(static_cast<unsigned char>(line_[at_]))) ++at_;
        return token;
    }

private:
    // Whether a quote follows before the line's terminator (NUL or LF). The
    // stretch up to the terminator is read once, and its last quote
    // remembered: asking again from each opening quote would make a line of
    // many quotes quadratic.
    bool closesOnThisLine() {
        if (stretchEnd_ < at_) {
            lastQuote_ = std::string::npos;
            stretchEnd_ = at_;
            while (stretchEnd_ < line_.size() && line_[stretchEnd_] != '\0' && line_[stretchEnd_] != '\n') {
                if (line_[stretchEnd_] == '"') lastQuote_ = stretchEnd_;
                ++stretchEnd_;
            }
        }
        return lastQuote_ != std::string::npos && lastQuote_ >= at_;
    }

    const std::string& line_;
    std::size_t at_ = 0;
    // The stretch read last ends here (its terminator, or the line's end),
    // and its last quote is at lastQuote_ (npos for none).
    std::size_t stretchEnd_ = 0;
    std::size_t lastQuote_ = std::string::npos;
};

void copyCut(const std::string& value, char* target, std::size_t maximum) {
    const std::size_t length = value.size() < maximum ? value.size() : maximum;
    std::memcpy(target, value.data(), length);
    target[length] = '\0';
}

bool isSignatureType(const std::string& token) {
    return equalsIgnoringCase(token, "application/pkcs7-signature") ||
           equalsIgnoringCase(token, "application/x-pkcs7-signature");
}

// pkcs7Mime tells whether the media type is application/pkcs7-mime in
// either spelling, whatever kind its smime-type gives info.
void readContentType(HeaderTokens& tokens, mimeInfo_T& info, bool& pkcs7Mime) {
    const std::string mediaType = tokens.next();
    pkcs7Mime = equalsIgnoringCase(mediaType, "application/pkcs7-mime") ||
                equalsIgnoringCase(mediaType, "application/x-pkcs7-mime");
    if (pkcs7Mime) {
        std::string token;
        do {
            token = tokens.next();
        } while (!token.empty() && !equalsIgnoringCase(token, "smime-type"));
        const std::string value = tokens.next();
        if (equalsIgnoringCase(value, "enveloped-data") || equalsIgnoringCase(value, "authEnveloped-data"))
            info.type = messageEnvelopedData;
        else if (equalsIgnoringCase(value, "signed-data"))
            info.type = messageSignedData;
        else
            info.type = messageUnknown;
    } else if (equalsIgnoringCase(mediaType, "multipart/signed")) {
        for (std::string token = tokens.next(); !token.empty(); token = tokens.next()) {
            if (equalsIgnoringCase(token, "protocol"))
                info.type = isSignatureType(tokens.next()) ? messageClearSigned : messageUnknown;
            else if (equalsIgnoringCase(token, "micalg"))
                copyCut(tokens.next(), info.micalg, SMimeStream::kMicalgMax);
            else if (equalsIgnoringCase(token, "boundary"))
                copyCut(tokens.next(), info.boundary, SMimeStream::kBoundaryMax);
        }
    } else if (isSignatureType(mediaType)) {
        info.type = messageSignature;
    } else {
        info.type = messageUnknown;
    }
}

transferEncoding_t transferEncodingOf(const std::string& value) {
    if (equalsIgnoringCase(value, "base64")) return encodingBase64;
    if (equalsIgnoringCase(value, "printable-encoded")) return encodingPrintable;
    if (equalsIgnoringCase(value, "7bit")) return encoding7bit;
    return encodingNone;
}

} // namespace

// --- MemoryStreamBuffer ------------------------------------------------------

detail::MemoryStreamBuffer::MemoryStreamBuffer(const char* bytes, std::size_t length) {
    // The buffer is only ever read; streambuf merely wants non-const pointers.
    char* begin = const_cast<char*>(bytes);
    setg(begin, begin, begin + length);
}

void detail::MemoryStreamBuffer::skip(std::size_t count) { setg(eback(), gptr() + count, egptr()); }

// --- SMimeStream -------------------------------------------------------------

SMimeStream::SMimeStream(const char* bytes, std::size_t length)
    : MemoryStreamBufferHolder(bytes, length), std::istream(&streamBuffer), inHeader(true), pkcs7Mime(false),
      delimiterLine("--"), closeDelimiterLine("--") {}

void SMimeStream::readHeaderLine(std::string& line) {
    if (!inHeader) return;
    // Runs of bytes up to the next CR are taken whole; only a CR LF decides
    // anything: the end of the line, or a continuation line whose leading
    // white space and the line break before it become one space.
    const std::string_view rest = streamBuffer.remaining();
    const auto at = [&](std::size_t i) {
        return i < rest.size() ? static_cast<unsigned char>(rest[i]) : traits_type::eof();
    };
    const std::size_t start = line.size();
    std::size_t next = 0;
    while (next < rest.size()) {
        const std::size_t cr = rest.find('\r', next);
        const std::size_t runEnd = cr == std::string_view::npos ? rest.size() : cr;
        line.append(rest.data() + next, runEnd - next);
        next = runEnd;
        if (cr == std::string_view::npos) break;
        if (at(cr + 1) != '\n') {
            // A CR of its own is a byte of the line.
            line += '\r';
            next = cr + 1;
            continue;
        }
        next = cr + 2;
        const int after = at(next);
        if (after == '\r' || !isWhiteSpace(after)) break;
        line += ' ';
        while (isWhiteSpace(at(next))) ++next;
    }
    streamBuffer.skip(next);
    if (line.size() != start)
        line += '\n';
    else
        inHeader = false;
}

bool SMimeStream::readLine(std::string_view& line) {
    const std::string_view rest = streamBuffer.remaining();
    if (rest.empty()) return false;
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        line = rest;
        streamBuffer.skip(rest.size());
    } else {
        line = rest.substr(0, end);
        streamBuffer.skip(end + 1);
    }
    return true;
}

unsigned int SMimeStream::getMimeInfo(mimeInfo_T* info) {
    SMIME_TRACE_SCOPE("SMimeStream::getMimeInfo");
    if (info == nullptr) return SMIME_NULL_PARAMETER;
    info->type = messageNotParsed;
    info->transferEncoding = encodingNone;
    info->boundary[0] = '\0';
    info->micalg[0] = '\0';

    std::string line;
    readHeaderLine(line);
    // A header line that ends at the end of the input is still examined.
    while (!line.empty()) {
        SMIME_TRACE_TEXT("SMimeStream::getMimeInfo() examining header line...");
        HeaderTokens tokens(line);
        const std::string name = tokens.next();
        if (equalsIgnoringCase(name, "Content-Type"))
            readContentType(tokens, *info, pkcs7Mime);
        else if (equalsIgnoringCase(name, "Content-Transfer-Encoding"))
            info->transferEncoding = transferEncodingOf(tokens.next());
        line.clear();
        readHeaderLine(line);
    }
    if (info->type == messageNotParsed) info->type = messageUntyped;

    if (info->type == messageClearSigned) {
        const std::size_t length = std::strlen(info->boundary);
        std::memcpy(delimiterLine + 2, info->boundary, length);
        std::memcpy(delimiterLine + 2 + length, "\r", 2);
        std::memcpy(closeDelimiterLine + 2, info->boundary, length);
        std::memcpy(closeDelimiterLine + 2 + length, "--\r", 4);
        std::string_view preamble;
        while (readLine(preamble) && preamble != delimiterLine) {
        }
    }
    return SMIME_OK;
}

std::string_view SMimeStream::payload() {
    if (inHeader) {
        std::string_view skipped;
        while (readLine(skipped) && !skipped.empty()) {
        }
    }
    const std::string_view rest = streamBuffer.remaining();
    streamBuffer.skip(rest.size());
    return rest;
}

unsigned int SMimeStream::getpayload(gss_buffer_desc* out) {
    SMIME_TRACE_SCOPE("SMimeStream::getpayload");
    const std::string_view rest = payload();
    if (detail::copyInto(rest.data(), rest.size(), out) != SMIME_OK) {
        out->length = static_cast<OM_uint32>(rest.size());
        out->value = nullptr;
        return SMIME_NO_MEMORY;
    }
    return SMIME_OK;
}

namespace {

// Where the next line that is open or close (each without its LF) begins
// in rest, or null; lines end at an LF or at the end of the input. A last
// line that is close without its CR counts too: the line break after a close
// delimiter is optional (RFC 2046), and some mail clients end the message
// right after the two hyphens. The search jumps from one occurrence of what
// the two lines begin with to the next, instead of reading line by line.
const char* findDelimiterLine(std::string_view rest, std::string_view open, std::string_view close) {
    std::size_t common = 0;
    while (common < open.size() && common < close.size() && open[common] == close[common]) ++common;
    const char* const begin = rest.data();
    const char* const end = begin + rest.size();
    const char* at = begin;
    while (at < end) {
        const char* mark = at;
        if (common != 0) {
            const void* found = vekruntime::findBytes(at, static_cast<std::size_t>(end - at), open.data(), common);
            if (found == nullptr) return nullptr;
            mark = static_cast<const char*>(found);
        }
        at = mark + 1;
        if (mark != begin && mark[-1] != '\n') continue;
        const void* lineEnd = std::memchr(mark, '\n', static_cast<std::size_t>(end - mark));
        const std::string_view line(mark, static_cast<std::size_t>((lineEnd != nullptr ? static_cast<const char*>(lineEnd) : end) - mark));
        if (line == open || line == close) return mark;
        if (lineEnd == nullptr && !close.empty() && close.back() == '\r' && line == close.substr(0, close.size() - 1))
            return mark;
    }
    return nullptr;
}

} // namespace

unsigned int SMimeStream::getPart(gss_buffer_desc* out) {
    std::string_view part;
    const unsigned int status = getPart(part);
    return status == SMIME_OK ? detail::copyInto(part.data(), part.size(), out) : status;
}

unsigned int SMimeStream::getPart(std::string_view& part) {
    const std::string_view rest = streamBuffer.remaining();
    const char* const partEnd = findDelimiterLine(rest, delimiterLine, closeDelimiterLine);
    if (partEnd == nullptr) {
        streamBuffer.skip(rest.size());
        return SMIME_BAD_MESSAGE;
    }
    // Past the delimiter line and its LF, where the next part begins.
    const std::size_t lineEnd = std::string_view(partEnd, static_cast<std::size_t>(rest.data() + rest.size() - partEnd)).find('\n');
    streamBuffer.skip(lineEnd == std::string_view::npos ? rest.size()
                                                        : static_cast<std::size_t>(partEnd - rest.data()) + lineEnd + 1);
    // The part is the bytes as they stand; the CR LF before the delimiter
    // line belongs to it.
    const std::size_t collected = static_cast<std::size_t>(partEnd - rest.data());
    if (collected < 2) return SMIME_NO_MESSAGE;
    if (!VekFitsLengthWord(collected - 2)) return SMIME_NO_MEMORY;
    part = rest.substr(0, collected - 2);
    return SMIME_OK;
}

// --- smimeParser ---------------------------------------------------------------

smimeParser::smimeParser() : message(nullptr), codec(new (std::nothrow) sbase64), info{} {
    SMIME_TRACE_SCOPE("smimeParser::smimeParser()");
}

smimeParser::~smimeParser() {
    SMIME_TRACE_SCOPE("smimeParser::~smimeParser()");
    delete codec;
}

smimeParser::smimeParser(const smimeParser& other)
    : SMIMEBase(other), message(other.message), codec(new (std::nothrow) sbase64), info(other.info) {}

smimeParser& smimeParser::operator=(const smimeParser& other) {
    if (this == &other) return *this;
    SMIMEBase::operator=(other);
    message = other.message;
    info = other.info;
    if (codec == nullptr) codec = new (std::nothrow) sbase64;
    return *this;
}

unsigned int smimeParser::setMessage(gss_buffer_desc* newMessage) {
    SMIME_TRACE_SCOPE("smimeParser::setMessage()");
    message = newMessage;
    info.type = messageNotParsed;
    return SMIME_OK;
}

messageType_t smimeParser::getMessageType() {
    SMIME_TRACE_SCOPE("smimeParser::getMessageType()");
    if (info.type != messageNotParsed) return info.type;
    if (message == nullptr || (message->length != 0 && message->value == nullptr)) {
        info.type = messageNone;
        return info.type;
    }
    try {
        SMimeStream stream(static_cast<const char*>(message->value), message->length);
        stream.getMimeInfo(&info);
    } catch (...) {
        // Out of memory while scanning: the kind is unknown for now, and the
        // next question scans again.
        info.type = messageNotParsed;
        return messageUnknown;
    }
    return info.type;
}

unsigned int smimeParser::getPKCS7Object(gss_buffer_desc* object, gss_buffer_desc* content) {
    return extractPKCS7Object(object, content, true);
}

unsigned int smimeParser::extractPKCS7Object(gss_buffer_desc* object, gss_buffer_desc* content, bool copyContent) {
    SMIME_TRACE_SCOPE("smimeParser::getPKCS7Object");
    if (object == nullptr || content == nullptr) return SMIME_NULL_PARAMETER;
    if (object->length != 0 || content->length != 0) return SMIME_OUTPUT_NOT_EMPTY;
    if (message == nullptr || (message->length != 0 && message->value == nullptr)) return SMIME_NO_MESSAGE;

    // Everything extracted stays owned here until the whole extraction has
    // worked, so a failure or an exception hands out nothing and leaks nothing.
    detail::OwnedBuffer signedContent;
    std::string_view signedView;
    detail::OwnedBuffer signaturePart;
    try {
        SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() instantiating the SMimeStream...");
        SMimeStream stream(static_cast<const char*>(message->value), message->length);
        // Scanned afresh every time, so that the stream stands past the
        // headers whatever was asked before.
        SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() parsing MIME info...");
        stream.getMimeInfo(&info);

        // The payload is read where it stands; only what is handed out is copied.
        std::string_view payload;
        unsigned int status = SMIME_OK;
        if (info.type == messageClearSigned) {
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() parsing clearsigned message...");
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() extracting clear-text part...");
            status = copyContent ? stream.getPart(signedContent.get()) : stream.getPart(signedView);
            if (status == SMIME_OK) {
                SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() extracting signature token...");
                status = stream.getPart(signaturePart.get());
            }
            if (status != SMIME_OK) return status == SMIME_NO_MEMORY ? SMIME_NO_MEMORY : SMIME_BAD_MESSAGE;
            const gss_buffer_desc* part = signaturePart.get();
            SMimeStream signatureStream(static_cast<const char*>(part->value), part->length);
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() extracting MIME info for sig token...");
            signatureStream.getMimeInfo(&info);
            payload = signatureStream.payload();
        } else {
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() extracting payload...");
            payload = stream.payload();
        }
        if (!VekFitsLengthWord(payload.size())) return SMIME_NO_MEMORY;
        SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() payload extracted...");

        switch (info.transferEncoding) {
        case encodingBase64: {
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() decoding base64...");
            const gss_buffer_desc text = {static_cast<OM_uint32>(payload.size()), const_cast<char*>(payload.data())};
            // A codec that could not be made with the parser is tried again, so
            // that running out of memory once does not disable it for good.
            if (codec == nullptr) codec = new (std::nothrow) sbase64;
            const unsigned int decoded = codec != nullptr ? codec->decode(&text, object) : SMIME_NO_MEMORY;
            if (decoded == SMIME_NULL_PARAMETER || decoded == GSS_S_FAILURE) return SMIME_NULL_PARAMETER;
            // No decoded object is a failure, not an empty object to hand on.
            if (decoded == SMIME_NO_MEMORY) return SMIME_NO_MEMORY;
            break;
        }
        case encodingPrintable:
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() STUB decoding printable-encoded...");
            break;
        default:
            SMIME_TRACE_TEXT("smimeParser::getPKCS7Object() no transfer-encoding applied...");
            if (detail::copyInto(payload.data(), payload.size(), object) != SMIME_OK) return SMIME_NO_MEMORY;
            break;
        }
        *content = copyContent ? signedContent.release()
                               : gss_buffer_desc{static_cast<OM_uint32>(signedView.size()), const_cast<char*>(signedView.data())};
        return SMIME_OK;
    } catch (const std::bad_alloc&) {
        return SMIME_NO_MEMORY;
    } catch (...) {
        return SMIME_BAD_MESSAGE;
    }
}

// --- What the CMS content says -------------------------------------------------

namespace {

// The contents octets of id-signedData and id-envelopedData
// (1.2.840.113549.1.7.2 and .3) and id-ct-authEnvelopedData
// (1.2.840.113549.1.9.16.1.23).
constexpr std::string_view kSignedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
constexpr std::string_view kEnvelopedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03", 9);
constexpr std::string_view kAuthEnvelopedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x10\x01\x17", 11);

} // namespace

messageType_t detail::cmsContentType(const gss_buffer_desc& object) noexcept {
    const auto* ber = static_cast<const unsigned char*>(object.value);
    const std::size_t size = ber != nullptr ? object.length : 0;
    // ContentInfo is a SEQUENCE whose first element is the content type's
    // OID. Only the SEQUENCE's length octets are passed over, so the
    // indefinite length of streaming encoders (30 80) reads like any other.
    if (size < 2 || ber[0] != 0x30) return messageUnknown;
    const std::size_t oidAt = 2 + (ber[1] > 0x80 ? ber[1] & 0x7Fu : 0u);
    if (size < oidAt + 2 || ber[oidAt] != 0x06 || ber[oidAt + 1] >= 0x80 || size - oidAt - 2 < ber[oidAt + 1])
        return messageUnknown;
    const std::string_view oid(reinterpret_cast<const char*>(ber + oidAt + 2), ber[oidAt + 1]);
    if (oid == kSignedDataOid) return messageSignedData;
    if (oid == kEnvelopedDataOid || oid == kAuthEnvelopedDataOid) return messageEnvelopedData;
    return messageUnknown;
}

messageType_t detail::kindToUnwrap(messageType_t labelled, const gss_buffer_desc& message,
                                   const gss_buffer_desc& object) {
    if (labelled != messageSignedData && labelled != messageEnvelopedData && labelled != messageUnknown)
        return labelled;
    const messageType_t content = cmsContentType(object);
    if (content == messageUnknown || content == labelled) return labelled;
    // The header section is scanned again only for a label the content
    // contradicts, to tell a pkcs7-mime entity from any other.
    SMimeStream stream(static_cast<const char*>(message.value), message.value != nullptr ? message.length : 0);
    mimeInfo_T info;
    stream.getMimeInfo(&info);
    return stream.isPkcs7Mime() ? content : labelled;
}
