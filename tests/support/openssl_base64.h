// Base64 as OpenSSL writes it: the oracle the library's encoders are held to.
#ifndef TESTS_OPENSSL_BASE64_H
#define TESTS_OPENSSL_BASE64_H

#include <string>

#include <openssl/evp.h>

inline std::string opensslBase64(const std::string& data) {
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

inline std::string breakLines(const std::string& text, std::size_t width, const std::string& separator) {
    std::string broken;
    for (std::size_t at = 0; at < text.size(); at += width) broken += (at ? separator : "") + text.substr(at, width);
    return broken;
}

// A MIME body as the library writes it: 72-character lines separated by LF.
inline std::string opensslMimeBase64(const std::string& data) { return breakLines(opensslBase64(data), 72, "\n"); }

#endif // TESTS_OPENSSL_BASE64_H
