#include "mail.h"

#include <algorithm>

#include <openssl/evp.h>

#include "mime_entity.h"

namespace smimetool {

namespace {

constexpr int kMaxNesting = 16;
constexpr std::size_t kQuotedPrintableLine = 76;

bool isEightBit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80 || c == '\0'; });
}

// Quoted-printable of CR LF text: hard line breaks stay, lines are cut
// with soft breaks, white space before a break is encoded.
std::string quotedPrintable(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::size_t column = 0;
    const auto put = [&](std::string_view piece) {
        if (column + piece.size() > kQuotedPrintableLine - 1) {
            out += "=\r\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += "\r\n";
            column = 0;
            ++i;
            continue;
        }
        const bool beforeBreak = i + 1 == text.size() || text[i + 1] == '\r';
        const bool plain = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !beforeBreak);
        if (plain) put(std::string_view(reinterpret_cast<const char*>(&text[i]), 1));
        else put(std::string{'=', kHex[c >> 4], kHex[c & 15]});
    }
    return out;
}

std::string sevenBit(std::string_view entityBytes, int depth) {
    const MimeEntity entity = parseEntity(entityBytes);
    const ContentType type = contentTypeOf(entity);
    const std::string_view header = entityBytes.substr(0, static_cast<std::size_t>(entity.body.data() - entityBytes.data()));
    if (type.mediaType.rfind("multipart/", 0) == 0) {
        const auto parts = splitMultipart(entity.body, type.parameter("boundary"));
        if (depth >= kMaxNesting || !parts || parts->empty()) return std::string(entityBytes);
        std::string out(header);
        const char* copied = entity.body.data();
        for (const std::string_view part : *parts) {
            out.append(copied, static_cast<std::size_t>(part.data() - copied));
            out += sevenBit(part, depth + 1);
            copied = part.data() + part.size();
        }
        return out.append(copied, static_cast<std::size_t>(entity.body.data() + entity.body.size() - copied));
    }
    const HeaderField* encoding = entity.field("Content-Transfer-Encoding");
    const std::string name = encoding != nullptr ? encoding->value() : "";
    const bool encoded = equalsIgnoringCase(name, "base64") || equalsIgnoringCase(name, "quoted-printable");
    if (encoded || !isEightBit(entity.body)) return std::string(entityBytes);
    std::string out;
    for (const HeaderField& field : entity.fields)
        if (!field.isNamed("Content-Transfer-Encoding")) out += field.line();
    // A message may not be encoded itself (RFC 2046 5.2.1): the parts of
    // the message inside are, and then it is 7-bit.
    if (type.mediaType == "message/rfc822")
        return depth >= kMaxNesting ? std::string(entityBytes) : out + "\r\n" + sevenBit(entity.body, depth + 1);
    if (type.mediaType.rfind("message/", 0) == 0) return std::string(entityBytes);
    const bool text = type.mediaType.rfind("text/", 0) == 0;
    out += text ? "Content-Transfer-Encoding: quoted-printable\r\n\r\n" : "Content-Transfer-Encoding: base64\r\n\r\n";
    return out + (text ? quotedPrintable(entity.body) : base64Lines(entity.body));
}

// A clear-signed entity as the library reads it: CR LF where the structure
// needs it, the signed part exactly as given.
std::string rebuiltClearSigned(const std::string& boundary, std::string_view part, std::string_view signature) {
    return "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=\"" + boundary +
           "\"\r\n\r\n--" + boundary + "\r\n" + std::string(part) + "\r\n--" + boundary + "\r\n" +
           canonicalLineEnds(signature) + "\r\n--" + boundary + "--\r\n";
}

} // namespace

// Base64 in lines of 76 characters, each ending in CR LF.
std::string base64Lines(std::string_view bytes) {
    constexpr std::size_t kBytesPerLine = 57;
    std::string text;
    unsigned char line[80];
    for (std::size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
        const std::size_t count = std::min(kBytesPerLine, bytes.size() - at);
        const int written = EVP_EncodeBlock(line, reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(count));
        text.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(written)).append("\r\n");
    }
    return text;
}

std::vector<std::string> outerFieldsOf(std::string_view mail) {
    std::vector<std::string> fields;
    for (const HeaderField& field : parseEntity(mail).fields)
        if (!field.describesContent()) fields.push_back(field.line());
    return fields;
}

SplitMail splitMail(std::string_view mail) {
    const std::string canonical = canonicalLineEnds(mail);
    const MimeEntity entity = parseEntity(canonical);
    SplitMail split;
    bool typed = false;
    for (const HeaderField& field : entity.fields) {
        if (!field.describesContent()) split.outerFields.push_back(field.line());
        else if (!field.isNamed("MIME-Version")) split.entity += field.line(), typed = typed || field.isNamed("Content-Type");
    }
    // A mail without a Content-Type is plain text; said so inside, where
    // the protected entity must describe itself.
    if (!typed)
        split.entity.insert(0, isEightBit(entity.body) ? "Content-Type: text/plain; charset=utf-8\r\n"
                                                       : "Content-Type: text/plain; charset=us-ascii\r\n");
    split.entity += "\r\n";
    split.entity += entity.body;
    return split;
}

std::string outerHeader(const std::vector<std::string>& outerFields) {
    std::string header;
    for (const std::string& field : outerFields) header += field;
    return header + "MIME-Version: 1.0\r\n";
}

std::string sevenBitEntity(std::string_view entity) { return sevenBit(entity, 0); }

std::string fieldLine(std::string_view field) {
    const MimeEntity parsed = parseEntity(field);
    return parsed.fields.empty() ? std::string() : std::string(parsed.fields[0].name) + ": " + parsed.fields[0].value();
}

std::vector<std::string> clearSignedReadings(const std::string& boundary, const std::vector<std::string_view>& parts) {
    if (parts.size() != 2) return {};
    std::vector<std::string> readings{rebuiltClearSigned(boundary, parts[0], parts[1])};
    if (hasBareLf(parts[0])) readings.push_back(rebuiltClearSigned(boundary, canonicalLineEnds(parts[0]), parts[1]));
    return readings;
}

std::vector<std::string> clearSignedReadings(std::string_view message) {
    const MimeEntity entity = parseEntity(message);
    const ContentType type = contentTypeOf(entity);
    if (type.mediaType != "multipart/signed" || !hasBareLf(message.substr(0, entity.body.data() - message.data())))
        return {};
    const auto parts = splitMultipart(entity.body, type.parameter("boundary"));
    return parts && parts->size() == 2 ? clearSignedReadings(type.parameter("boundary"), *parts) : std::vector<std::string>();
}

} // namespace smimetool
