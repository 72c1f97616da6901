// Whole mail messages: the header fields that address the mail stay
// outside the S/MIME layer, the body entity with its Content-* fields goes
// inside, and what the tool sends is ready for a mail server.
#ifndef SMIME_TOOL_MAIL_H
#define SMIME_TOOL_MAIL_H

#include <string>
#include <string_view>
#include <vector>

namespace smimetool {

// A mail taken apart. Both halves have CR LF line ends throughout.
struct SplitMail {
    std::vector<std::string> outerFields; // every field but Content-* and MIME-Version, in order, folds kept
    std::string entity;                   // the Content-* fields, an empty line, the body
};
SplitMail splitMail(std::string_view mail);
// The outer fields alone, without copying the body.
std::vector<std::string> outerFieldsOf(std::string_view mail);

// The outer fields and "MIME-Version: 1.0", ready to stand before an entity.
std::string outerHeader(const std::vector<std::string>& outerFields);

// The entity with every 8-bit or binary leaf given a 7-bit transfer
// encoding: quoted-printable for text, base64 for the rest. Relays that
// rewrite 8-bit bodies would otherwise break a clear-signed signature.
std::string sevenBitEntity(std::string_view entity);

// Base64 in lines of 76 characters, each ending in CR LF.
std::string base64Lines(std::string_view bytes);

// "Name: value" of a field as it stands (unfolded).
std::string fieldLine(std::string_view field);

// A clear-signed entity whose header lines end in bare LF, as one layer
// inside another carries it, rebuilt as the library reads it: its signed
// part as it stands, and also, when that part has bare LF, with CR LF line
// ends (its signer signed one or the other). Empty for anything else.
std::vector<std::string> clearSignedReadings(std::string_view message);
std::vector<std::string> clearSignedReadings(const std::string& boundary, const std::vector<std::string_view>& parts);

} // namespace smimetool

#endif // SMIME_TOOL_MAIL_H
