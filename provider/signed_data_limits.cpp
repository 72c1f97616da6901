// Bounds on the work a SignedData token can ask of a verification. OpenSSL
// hashes the content once per entry of digestAlgorithms, duplicates
// included, so a token of a few hundred kilobytes listing one digest
// thousands of times would keep a verification busy for hours.
#include "cms_ops.h"
#include "openssl_support.h"

namespace detail {

namespace {

constexpr int kMaxDigestAlgorithms = 8;
constexpr int kMaxSigners = 16;
// BER nesting deeper than this inside one algorithm identifier is hostile.
constexpr int kMaxDepth = 16;

struct Element {
    const unsigned char* content;
    long length;
    bool indefinite;
};

// Reads the identifier and length at p and moves p to the contents.
bool readHeader(const unsigned char*& p, const unsigned char* end, Element& element) {
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    const unsigned char* cursor = p;
    if (!fitsLong(static_cast<std::size_t>(end - p))) return false; // more than OpenSSL's reader can be told
    const int flags = ASN1_get_object(&cursor, &length, &tag, &tagClass, static_cast<long>(end - p));
    if ((flags & 0x80) != 0) return false;
    element.indefinite = (flags & 0x01) != 0;
    if (element.indefinite && (flags & V_ASN1_CONSTRUCTED) == 0) return false;
    element.content = cursor;
    element.length = length;
    p = cursor;
    return true;
}

bool atEndOfContents(const unsigned char* p, const unsigned char* end) {
    return end - p >= 2 && p[0] == 0 && p[1] == 0;
}

bool skipElement(const unsigned char*& p, const unsigned char* end, int depth) {
    Element element{};
    if (depth > kMaxDepth || !readHeader(p, end, element)) return false;
    if (!element.indefinite) {
        if (element.length > end - p) return false;
        p += element.length;
        return true;
    }
    while (!atEndOfContents(p, end))
        if (!skipElement(p, end, depth + 1)) return false;
    p += 2;
    return true;
}

// Enters a constructed element: p moves to its contents.
bool enter(const unsigned char*& p, const unsigned char* end, Element& element) {
    return readHeader(p, end, element) && (element.indefinite || element.length <= end - p);
}

// The entries of digestAlgorithms, or -1 when the prefix cannot be read or
// there are more than the limit (counting stops there).
int countDigestAlgorithms(const unsigned char* p, const unsigned char* end) {
    Element element{};
    // ContentInfo, contentType, [0], SignedData, version, digestAlgorithms.
    if (!enter(p, end, element) || !skipElement(p, end, 0) || !enter(p, end, element) || !enter(p, end, element) ||
        !skipElement(p, end, 0))
        return -1;
    Element set{};
    if (!enter(p, end, set)) return -1;
    const unsigned char* setEnd = set.indefinite ? end : p + set.length;
    int count = 0;
    while (set.indefinite ? !atEndOfContents(p, end) : p < setEnd) {
        if (++count > kMaxDigestAlgorithms || !skipElement(p, setEnd, 0)) return -1;
    }
    return count;
}

} // namespace

kivo_reason_t checkSignedDataLimits(const gss_buffer_desc& token, CMS_ContentInfo* cms) {
    const auto* der = static_cast<const unsigned char*>(token.value);
    if (countDigestAlgorithms(der, der + token.length) < 0) return KIVO_R_MALFORMED_TOKEN;
    return sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms)) > kMaxSigners ? KIVO_R_MALFORMED_TOKEN : KIVO_R_NONE;
}

} // namespace detail
