#include "der_content.h"

#include <cstring>

namespace detail {

namespace {

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOid = 0x06;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kExplicit0 = 0xA0;  // [0] EXPLICIT, constructed
constexpr unsigned char kImplicit0 = 0x80;  // [0] IMPLICIT OCTET STRING, primitive
constexpr unsigned char kImplicit1 = 0xA1;  // [1] IMPLICIT SET OF, constructed: authenticated attributes

// id-signedData and id-envelopedData (1.2.840.113549.1.7.2 and .3), whole
// elements.
constexpr unsigned char kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kEnvelopedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
// id-ct-authEnvelopedData (1.2.840.113549.1.9.16.1.23).
constexpr unsigned char kAuthEnvelopedDataOid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                   0x0D, 0x01, 0x09, 0x10, 0x01, 0x17};

struct Element {
    unsigned char tag;
    std::size_t start;
    std::size_t headerLength;
    std::size_t length;
    std::size_t contentStart() const { return start + headerLength; }
    std::size_t end() const { return start + headerLength + length; }
    DerLevel level() const { return {start, headerLength, length}; }
};

// Reads one element with a single identifier octet and a definite length
// that lies within [at, end).
bool readElement(const unsigned char* der, std::size_t at, std::size_t end, Element& element) {
    if (at >= end || end - at < 2) return false;
    const unsigned char tag = der[at];
    if ((tag & 0x1F) == 0x1F) return false;
    std::size_t length = der[at + 1];
    std::size_t headerLength = 2;
    if (length >= 0x80) {
        const std::size_t count = length & 0x7F;
        // 0x80 is an indefinite length; more than four octets never fits a token.
        if (count == 0 || count > 4 || end - at - 2 < count) return false;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = length << 8 | der[at + 2 + i];
        headerLength += count;
    }
    if (length > end - at - headerLength) return false;
    element = {tag, at, headerLength, length};
    return true;
}

bool expect(const unsigned char* der, std::size_t at, std::size_t end, unsigned char tag, Element& element) {
    return readElement(der, at, end, element) && element.tag == tag;
}

std::size_t lengthOctets(std::size_t length) {
    std::size_t count = 1;
    if (length >= 0x80)
        for (std::size_t rest = length; rest != 0; rest >>= 8) ++count;
    return count;
}

std::size_t elementSize(std::size_t length) { return 1 + lengthOctets(length) + length; }

unsigned char* writeHeader(unsigned char* out, unsigned char tag, std::size_t length) {
    *out++ = tag;
    const std::size_t octets = lengthOctets(length);
    if (octets == 1) {
        *out++ = static_cast<unsigned char>(length);
        return out;
    }
    *out++ = static_cast<unsigned char>(0x80 | (octets - 1));
    for (std::size_t i = octets - 1; i-- > 0;) *out++ = static_cast<unsigned char>(length >> (8 * i));
    return out;
}

// The constructed elements from the ContentInfo down to the one that holds
// (or would hold) the content: ContentInfo, its [0], the SignedData or
// EnvelopedData, and its encapsulated or encrypted content info. at is left
// where the content element is, or would be.
bool walkToContentInfo(const unsigned char* der, std::size_t size, ContentKind& kind, DerEdit& path,
                       std::size_t& at) {
    Element root{}, type{}, wrapper{}, body{}, skipped{}, info{};
    if (!expect(der, 0, size, kSequence, root) || root.end() != size) return false;
    if (!expect(der, root.contentStart(), root.end(), kOid, type)) return false;
    const auto isOid = [&](const unsigned char* oid, std::size_t length) {
        return type.end() - type.start == length && std::memcmp(der + type.start, oid, length) == 0;
    };
    if (isOid(kSignedDataOid, sizeof kSignedDataOid))
        kind = ContentKind::Signed;
    else if (isOid(kEnvelopedDataOid, sizeof kEnvelopedDataOid))
        kind = ContentKind::Enveloped;
    else if (isOid(kAuthEnvelopedDataOid, sizeof kAuthEnvelopedDataOid))
        kind = ContentKind::AuthEnveloped;
    else
        return false;
    if (!expect(der, type.end(), root.end(), kExplicit0, wrapper)) return false;
    if (!expect(der, wrapper.contentStart(), wrapper.end(), kSequence, body)) return false;
    if (!expect(der, body.contentStart(), body.end(), kInteger, skipped)) return false;
    std::size_t next = skipped.end();
    if (kind == ContentKind::Signed) {
        // digestAlgorithms
        if (!expect(der, next, body.end(), kSet, skipped)) return false;
        next = skipped.end();
    } else {
        // An optional originatorInfo, then recipientInfos.
        if (!readElement(der, next, body.end(), skipped)) return false;
        if (skipped.tag == kExplicit0 && !expect(der, skipped.end(), body.end(), kSet, skipped)) return false;
        if (skipped.tag != kSet) return false;
        next = skipped.end();
    }
    if (!expect(der, next, body.end(), kSequence, info)) return false;
    // The content type, and for encrypted content its algorithm.
    if (!expect(der, info.contentStart(), info.end(), kOid, skipped)) return false;
    if (kind != ContentKind::Signed && !expect(der, skipped.end(), info.end(), kSequence, skipped)) return false;
    at = skipped.end();
    path.levels = {root.level(), wrapper.level(), body.level(), info.level()};
    path.levelCount = 4;
    return true;
}

std::size_t levelEnd(const DerLevel& level) { return level.start + level.headerLength + level.length; }

// The tag of an AuthEnvelopedData, and the elements around it down to the
// AuthEnvelopedData itself: it follows the content info (with the content,
// if that is there) and any authenticated attributes.
bool findTag(const unsigned char* der, std::size_t size, DerEdit& path, Element& tag) {
    ContentKind kind = ContentKind::AuthEnveloped;
    std::size_t at = 0;
    if (!walkToContentInfo(der, size, kind, path, at) || kind != ContentKind::AuthEnveloped) return false;
    const std::size_t bodyEnd = levelEnd(path.levels[2]);
    if (!readElement(der, levelEnd(path.levels[3]), bodyEnd, tag)) return false;
    if (tag.tag == kImplicit1 && !readElement(der, tag.end(), bodyEnd, tag)) return false;
    path.levelCount = 3;
    return tag.tag == kOctetString;
}

} // namespace

namespace {

// The new lengths of the levels of edit, innermost first: each grows by the
// edit and by what the headers inside it grew. Returns how much the whole
// encoding grows (unsigned arithmetic: a removal makes it wrap, and sums
// with it come out right all the same).
std::size_t newLengths(const DerEdit& edit, std::array<std::size_t, DerEdit::kMaxLevels>& lengths) {
    std::size_t growth = edit.insertLength - (edit.cutEnd - edit.cutStart);
    for (std::size_t i = edit.levelCount; i-- > 0;) {
        const DerLevel& level = edit.levels[i];
        lengths[i] = level.length + growth;
        growth += 1 + lengthOctets(lengths[i]) - level.headerLength;
    }
    return growth;
}

} // namespace

std::size_t editedSize(const DerEdit& edit, std::size_t size) noexcept {
    std::array<std::size_t, DerEdit::kMaxLevels> lengths{};
    return size + newLengths(edit, lengths);
}

unsigned char* writeEdited(const unsigned char* der, std::size_t size, const DerEdit& edit,
                           unsigned char* out) noexcept {
    std::array<std::size_t, DerEdit::kMaxLevels> lengths{};
    newLengths(edit, lengths);
    std::size_t at = 0;
    for (std::size_t i = 0; i < edit.levelCount; ++i) {
        const DerLevel& level = edit.levels[i];
        std::memcpy(out, der + at, level.start - at);
        out = writeHeader(out + (level.start - at), der[level.start], lengths[i]);
        at = level.start + level.headerLength;
    }
    std::memcpy(out, der + at, edit.cutStart - at);
    out += edit.cutStart - at;
    unsigned char* hole = out;
    out += edit.insertLength;
    std::memcpy(out, der + edit.cutEnd, size - edit.cutEnd);
    return hole;
}

bool locateContent(const unsigned char* der, std::size_t size, ContentLocation& where) noexcept {
    DerEdit path;
    std::size_t at = 0;
    if (!walkToContentInfo(der, size, where.kind, path, at)) return false;
    const DerLevel& info = path.levels[3];
    const std::size_t infoEnd = levelEnd(info);
    Element content{};
    if (!readElement(der, at, infoEnd, content)) return false;
    // Encrypted content may be followed by unprotected attributes outside
    // its info, never by anything inside it.
    if (content.end() != infoEnd) return false;
    if (where.kind == ContentKind::Signed) {
        Element octets{};
        if (content.tag != kExplicit0 || !expect(der, content.contentStart(), content.end(), kOctetString, octets) ||
            octets.end() != content.end())
            return false;
        where.contentStart = octets.contentStart();
        where.contentLength = octets.length;
    } else {
        if (content.tag != kImplicit0) return false;
        where.contentStart = content.contentStart();
        where.contentLength = content.length;
    }
    std::size_t tagStart = 0, tagLength = 0;
    if (where.kind == ContentKind::AuthEnveloped && !locateTag(der, size, tagStart, tagLength)) return false;
    where.removal = path;
    where.removal.cutStart = content.start;
    where.removal.cutEnd = content.end();
    where.removal.insertLength = 0;
    return true;
}

bool contentInsertion(const unsigned char* der, std::size_t size, ContentKind kind, std::size_t contentLength,
                      DerEdit& insertion) noexcept {
    ContentKind found = kind;
    std::size_t at = 0;
    if (!walkToContentInfo(der, size, found, insertion, at) || found != kind) return false;
    const DerLevel& info = insertion.levels[3];
    if (at != levelEnd(info)) return false; // content already there
    insertion.cutStart = insertion.cutEnd = at;
    insertion.insertLength =
        kind == ContentKind::Signed ? elementSize(elementSize(contentLength)) : elementSize(contentLength);
    return true;
}

unsigned char* writeContentHeaders(unsigned char* hole, ContentKind kind, std::size_t contentLength) noexcept {
    if (kind != ContentKind::Signed) return writeHeader(hole, kImplicit0, contentLength);
    hole = writeHeader(hole, kExplicit0, elementSize(contentLength));
    return writeHeader(hole, kOctetString, contentLength);
}

bool tagPlaceholder(const unsigned char* der, std::size_t size, std::size_t tagLength, DerEdit& edit) noexcept {
    Element tag{};
    if (tagLength >= 0x80 || !findTag(der, size, edit, tag)) return false;
    edit.cutStart = tag.start;
    edit.cutEnd = tag.end();
    edit.insertLength = elementSize(tagLength);
    return true;
}

void writeTagPlaceholder(unsigned char* hole, std::size_t tagLength) noexcept {
    std::memset(writeHeader(hole, kOctetString, tagLength), 0, tagLength);
}

bool locateTag(const unsigned char* der, std::size_t size, std::size_t& tagStart, std::size_t& tagLength) noexcept {
    DerEdit path;
    Element tag{};
    if (!findTag(der, size, path, tag)) return false;
    tagStart = tag.contentStart();
    tagLength = tag.length;
    return true;
}

bool locateContentAlgorithm(const unsigned char* der, std::size_t size, std::size_t& oidStart,
                            std::size_t& oidSize) noexcept {
    ContentKind kind = ContentKind::Signed;
    DerEdit path;
    std::size_t at = 0;
    if (!walkToContentInfo(der, size, kind, path, at) || kind == ContentKind::Signed) return false;
    const DerLevel& info = path.levels[3];
    Element type{}, algorithm{}, oid{};
    if (!expect(der, info.start + info.headerLength, levelEnd(info), kOid, type) ||
        !expect(der, type.end(), levelEnd(info), kSequence, algorithm) ||
        !expect(der, algorithm.contentStart(), algorithm.end(), kOid, oid))
        return false;
    oidStart = oid.start;
    oidSize = oid.end() - oid.start;
    return true;
}

} // namespace detail
