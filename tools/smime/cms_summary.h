// What a CMS object says about itself before anyone opens it: its content
// type and, for an envelope, the content cipher and whom it is for. The
// library decides by the content and hands out no such account, so the
// tool reads it with OpenSSL.
#ifndef SMIME_TOOL_CMS_SUMMARY_H
#define SMIME_TOOL_CMS_SUMMARY_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace smimetool {

enum class CmsKind { SignedData, EnvelopedData, AuthEnvelopedData, Other };

struct CmsSummary {
    CmsKind kind = CmsKind::Other;
    std::string cipher;                  // envelopes: "aes-128-cbc", "aes-256-gcm", ...
    std::vector<std::string> recipients; // envelopes: "serial 0x28 from CN=CA,O=Org", ...
};

// Empty when der (BER) is no CMS object.
std::optional<CmsSummary> summarizeCms(std::string_view der);

// The smime-type a CMS object of this kind is labelled with.
const char* smimeTypeOf(CmsKind kind);

} // namespace smimetool

#endif // SMIME_TOOL_CMS_SUMMARY_H
