// A base64 decoder of the tests' own, to hold the library's decoders to: CR and LF skipped, whole groups of
// four, '=' only as the last one or two characters, bits under the padding not checked. Nothing when the
// text is refused.
#ifndef TESTS_REFERENCE_BASE64_H
#define TESTS_REFERENCE_BASE64_H

#include <optional>
#include <string>
#include <string_view>

inline std::optional<std::string> referenceBase64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string groups, bytes;
    for (char c : text) if (c != '\r' && c != '\n') groups += c;
    std::size_t padding = 0;
    while (padding < 2 && padding < groups.size() && groups[groups.size() - 1 - padding] == '=') ++padding;
    if (groups.size() % 4 != 0) return std::nullopt;
    unsigned bits = 0;
    for (std::size_t at = 0; at < groups.size(); ++at) {
        const std::size_t value = at < groups.size() - padding ? kAlphabet.find(groups[at]) : 0;
        if (value == std::string_view::npos) return std::nullopt; // '=' elsewhere too
        bits = bits << 6 | static_cast<unsigned>(value);
        if (at % 4 == 3) bytes += {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits)};
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

#endif // TESTS_REFERENCE_BASE64_H
