// Where the content of a CMS token lies in its DER encoding, and tokens
// rebuilt with that content taken out or put in.
//
// OpenSSL's own encoder and decoder copy the content of a token through
// memory it allocates for itself, and on large messages those copies cost
// more than the cryptography. A token whose content is one primitive string
// with definite lengths all the way down (every DER token is) can instead be
// taken apart here: the small rest goes to OpenSSL, the content is read
// where it stands or written straight into the final block. The bytes are
// those OpenSSL would have written; tokens laid out any other way (BER with
// indefinite lengths, constructed strings) take the general route.
#ifndef PROVIDER_DER_CONTENT_H
#define PROVIDER_DER_CONTENT_H

#include <array>
#include <cstddef>

namespace detail {

enum class ContentKind { Signed, Enveloped, AuthEnveloped };

// One constructed element around an edit: where its identifier octet is,
// how long its header is and how long its contents are.
struct DerLevel {
    std::size_t start;
    std::size_t headerLength;
    std::size_t length;
};

// The bytes [cutStart, cutEnd) of an encoding give way to insertLength new
// bytes; the lengths of the elements around them (outermost first) follow.
struct DerEdit {
    static constexpr std::size_t kMaxLevels = 4;
    std::array<DerLevel, kMaxLevels> levels{};
    std::size_t levelCount = 0;
    std::size_t cutStart = 0;
    std::size_t cutEnd = 0;
    std::size_t insertLength = 0;
};

// Size of the encoding after the edit.
std::size_t editedSize(const DerEdit& edit, std::size_t size) noexcept;
// Writes the edited encoding of der (size bytes) to out, which has room for
// editedSize bytes, leaving a hole of insertLength bytes; returns the hole.
unsigned char* writeEdited(const unsigned char* der, std::size_t size, const DerEdit& edit,
                           unsigned char* out) noexcept;

struct ContentLocation {
    ContentKind kind = ContentKind::Signed;
    DerEdit removal;           // takes the content element out
    std::size_t contentStart = 0;
    std::size_t contentLength = 0;
};

// Finds the content octets of a SignedData, EnvelopedData or
// AuthEnvelopedData token (its encapsulated content, or its encrypted
// content) that spans exactly size bytes. false when the token has no such
// content in that form.
bool locateContent(const unsigned char* der, std::size_t size, ContentLocation& where) noexcept;

// For a token of kind made without its content, the edit that puts a
// content element of contentLength octets where it belongs. false when the
// token is not laid out as expected.
bool contentInsertion(const unsigned char* der, std::size_t size, ContentKind kind, std::size_t contentLength,
                      DerEdit& insertion) noexcept;
// Writes the headers of the content element of kind into the hole of such an
// insertion; returns where the content octets go.
unsigned char* writeContentHeaders(unsigned char* hole, ContentKind kind, std::size_t contentLength) noexcept;

// An AuthEnvelopedData learns its tag only after its content has gone
// through, so it is laid out beforehand with a tag of zeros in its place.
// For such a token (size bytes), the edit that gives its tag tagLength
// (below 128) octets; false when the token is not laid out as expected.
bool tagPlaceholder(const unsigned char* der, std::size_t size, std::size_t tagLength, DerEdit& edit) noexcept;
// Fills the hole of that edit: the tag element, its octets zero.
void writeTagPlaceholder(unsigned char* hole, std::size_t tagLength) noexcept;
// Where the tag octets of an AuthEnvelopedData token (size bytes, with its
// content or without) start, and how many there are. false when the token
// is not laid out as expected.
bool locateTag(const unsigned char* der, std::size_t size, std::size_t& tagStart, std::size_t& tagLength) noexcept;

// Where the content-encryption algorithm's OID element (identifier octet
// included) of an EnvelopedData or AuthEnvelopedData token (size bytes)
// starts, and its size. false for any other token.
bool locateContentAlgorithm(const unsigned char* der, std::size_t size, std::size_t& oidStart,
                            std::size_t& oidSize) noexcept;

} // namespace detail

#endif // PROVIDER_DER_CONTENT_H
