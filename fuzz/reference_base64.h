// A base64 decoder written for clarity rather than speed, to check the
// library's against. Internal to fuzz/.
#ifndef FUZZ_REFERENCE_BASE64_H
#define FUZZ_REFERENCE_BASE64_H

#include <optional>
#include <string>
#include <string_view>

namespace fuzzentry::detail {

inline bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

inline int alphabetValue(char c) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Base64 as MIME bodies carry it: CR and LF anywhere are skipped, the rest is whole groups of four, and '='
// pads only the last group, in its last one or two places. Unused bits
// under the padding need not be zero. Nothing when the text is refused.
inline std::optional<std::string> referenceBase64Decode(std::string_view text) {
    std::string groups;
    for (char c : text)
        if (!isLineBreak(c)) groups += c;
    if (groups.size() % 4 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t at = 0; at < groups.size(); at += 4) {
        const bool last = at + 4 == groups.size();
        unsigned bits = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = groups[at + k];
            int value = alphabetValue(c);
            if (c == '=' && last && k >= 2) {
                ++padding;
                value = 0;
            } else if (value < 0 || padding != 0) {
                return std::nullopt;
            }
            bits = bits << 6 | static_cast<unsigned>(value);
        }
        bytes += static_cast<char>(bits >> 16);
        if (padding < 2) bytes += static_cast<char>(bits >> 8 & 0xFF);
        if (padding < 1) bytes += static_cast<char>(bits & 0xFF);
    }
    return bytes;
}

} // namespace fuzzentry::detail

#endif // FUZZ_REFERENCE_BASE64_H
