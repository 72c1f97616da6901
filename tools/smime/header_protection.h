// Header protection for S/MIME (RFC 9788): the sender copies the mail's
// header fields into the protected entity and marks it with an hp
// parameter; when the mail is encrypted, it also hides what the outer
// header need not show. The reader prefers the protected fields and says
// where the outer ones differ.
#ifndef SMIME_TOOL_HEADER_PROTECTION_H
#define SMIME_TOOL_HEADER_PROTECTION_H

#include <string>
#include <string_view>
#include <vector>

#include "mail.h"
#include "mime_entity.h"

namespace smimetool {

enum class HeaderProtection { None, Clear, Cipher };

// Clear (signed only): the entity gains hp="clear" and copies of the outer
// fields. Cipher (encrypted): hp="cipher", the copies, and for every field
// left outside an HP-Outer field recording it; outside, the Subject becomes
// "[...]" and Comments and Keywords go.
void protectHeader(SplitMail& mail, HeaderProtection mode);

// What an opened entity's protected header says, against the outer fields
// the mail arrived with.
struct HeaderReport {
    bool present = false;
    std::string mode;                   // "clear" or "cipher"
    std::vector<std::string> fields;    // the protected fields, "Name: value", HP-Outer left out
    std::vector<std::string> fieldTexts; // the same as they stand, for a mail written out
    std::vector<std::string> differences; // one line per outer field that is not as the sender sent it
};
HeaderReport readProtectedHeader(const MimeEntity& entity, const std::vector<std::string>& outerFields);

// The mail a --mail command hands out around an unwrapped entity: the
// given header fields, MIME-Version, and the entity's own Content-* fields
// and body.
std::string mailAround(const std::vector<std::string>& fields, std::string_view entity);
// The fields for it: the entity's protected ones where the layer it came
// from vouches for them (a signature; an envelope for hp="cipher"), else the
// outer ones.
std::vector<std::string> headerFieldsFor(const std::vector<std::string>& outerFields, std::string_view entity, bool signature);

} // namespace smimetool

#endif // SMIME_TOOL_HEADER_PROTECTION_H
