// MIME entities as mail clients write them: a header section whose lines end
// in CR LF or bare LF, folded or not, then a body. The tool reads whole mail
// and nested layers with this; the library reads only what it is handed.
#ifndef SMIME_TOOL_MIME_ENTITY_H
#define SMIME_TOOL_MIME_ENTITY_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smimetool {

// One header field exactly as it stands, folded lines and line end included.
struct HeaderField {
    std::string_view name;
    std::string_view text;
    // The value with folds unfolded and surrounding white space dropped.
    std::string value() const;
    // The field as it stands with CR LF line ends, ending in one even where
    // the input ended without.
    std::string line() const;
    bool isNamed(std::string_view other) const;
    // Content-* and MIME-Version: the fields that describe the entity, not the mail.
    bool describesContent() const;
};

// An entity's fields and body; both refer to the bytes it was read from.
struct MimeEntity {
    std::vector<HeaderField> fields;
    std::string_view body;
    // The header section ended at a line that is neither a field nor empty,
    // where the body was taken to start.
    bool strayLine = false;
    const HeaderField* field(std::string_view name) const;
};

// Reads the header section up to its empty line (or the end of the bytes).
// A line that is neither a field nor a fold ends the header section there,
// as mail parsers do, and starts the body. A mailbox file's "From " line
// before the fields is passed over.
MimeEntity parseEntity(std::string_view bytes);

// A Content-Type value: "type/subtype", lower case, and its parameters with
// names in lower case and quotes removed.
struct ContentType {
    std::string mediaType;
    std::vector<std::pair<std::string, std::string>> parameters;
    std::string parameter(std::string_view name) const;
};
ContentType parseContentType(std::string_view value);
// The value written back: parameters in their order, each quoted only where
// it is no token, so that parseContentType reads the same back.
std::string contentTypeText(const ContentType& type);
// The entity's Content-Type, text/plain when it has none.
ContentType contentTypeOf(const MimeEntity& entity);

// The body parts of a multipart body with this boundary, each exactly as it
// stands (the line break before the next delimiter belongs to the
// delimiter). A close delimiter at the very end, without a line break after
// it, closes the multipart; delimiter lines may end in CR LF or LF and carry
// trailing white space. Empty when the body has no close delimiter.
std::optional<std::vector<std::string_view>> splitMultipart(std::string_view body, std::string_view boundary);

// text with every bare LF turned into CR LF.
std::string canonicalLineEnds(std::string_view text);
bool hasBareLf(std::string_view text);
// The same for a block of the caller's: text.size() + bareLfCount(text)
// bytes at out.
std::size_t bareLfCount(std::string_view text);
void writeCanonicalLineEnds(std::string_view text, char* out);

bool equalsIgnoringCase(std::string_view a, std::string_view b);
std::string lowered(std::string_view text);

} // namespace smimetool

#endif // SMIME_TOOL_MIME_ENTITY_H
