// A string for passwords: its whole buffer is overwritten with zeros when it
// goes, so that no copy of a password stays behind in freed memory.
#ifndef SMIME_TOOL_SECRET_TEXT_H
#define SMIME_TOOL_SECRET_TEXT_H

#include <cstddef>
#include <string>

namespace smimetool {

class SecretText : public std::string {
public:
    using std::string::basic_string;
    using std::string::operator=;
    SecretText() = default;
    SecretText(const std::string& text) : std::string(text) {} // implicit, as between strings
    SecretText(const SecretText&) = default;
    SecretText& operator=(const SecretText&) = default;
    ~SecretText() {
        // Through volatile, so that the stores to memory about to be freed
        // are not left out as dead.
        volatile char* bytes = &(*this)[0];
        for (std::size_t i = 0; i < capacity(); ++i) bytes[i] = 0;
    }
};

} // namespace smimetool

#endif
