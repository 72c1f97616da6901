// smime open: unwraps every S/MIME layer of a mail as a mail client does
// (signed inside encrypted inside signed, ...), reporting each, and hands
// out the innermost entity.
#ifndef SMIME_TOOL_OPEN_H
#define SMIME_TOOL_OPEN_H

#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "operations.h"
#include "outcome.h"

namespace smimetool {

struct OpenRequest {
    Identity recipient;   // for encrypted layers; an empty key store opens none
    VerifyRequest verify; // for signed layers
    bool mail = false;    // hand out a whole mail, not the innermost entity
};

// What opening found: one line per layer and about the protected header,
// and the innermost entity (or mail), which is empty unless every layer held.
struct OpenReport {
    std::vector<std::string> lines;
    std::string content;
};

// Fails with exit status 1 when a signature does not hold or a layer cannot
// be decrypted, 2 when the input or a layer cannot be read.
Outcome openMessage(const OpenRequest& request, const Bytes& message, OpenReport& report);

} // namespace smimetool

#endif // SMIME_TOOL_OPEN_H
