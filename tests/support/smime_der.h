// Between S/MIME entities and the CMS DER inside them.
#ifndef TESTS_SMIME_DER_H
#define TESTS_SMIME_DER_H

#include <memory>
#include <string>

#include <openssl/cms.h>

#include "openssl_base64.h"
#include "reference_base64.h"

// Base64 text decoded, line breaks skipped; empty when it is not base64.
inline std::string base64DecodeLines(const std::string& encoded) { return referenceBase64Decode(encoded).value_or(""); }

// The decoded body of a single-part entity.
inline std::string derFromSmime(const std::string& entity) {
    std::size_t body = entity.find("\r\n\r\n");
    body = body == std::string::npos ? entity.find("\n\n") + 2 : body + 4;
    return base64DecodeLines(entity.substr(body));
}

// The DER of cms; empty when there is none.
inline std::string derOf(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = cms == nullptr ? 0 : i2d_CMS_ContentInfo(cms, &der);
    std::string bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
    OPENSSL_free(der);
    return bytes;
}

// [first, last) of the base64 body of a clear-signed message's signature part, the last part.
struct TextRange {
    std::size_t first, last;
};
inline TextRange signatureBody(const std::string& clearSigned) {
    const std::size_t part = clearSigned.rfind("application/pkcs7-signature");
    const std::size_t first = clearSigned.find("\r\n\r\n", part) + 4;
    return {first, clearSigned.find("\r\n--", first)};
}

inline std::string base64Part(const std::string& type, const std::string& name, const std::string& der) {
    return "Content-Type: " + type + "; name=" + name + "\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=" + name + "\r\n\r\n" +
           breakLines(opensslBase64(der), 64, "\r\n") + "\r\n";
}

// An application/pkcs7-mime entity of the given smime-type holding der.
inline std::string smimeFromDer(const std::string& der, const std::string& smimeType) {
    return base64Part("application/pkcs7-mime; smime-type=" + smimeType, "smime.p7m", der);
}

// A multipart/signed message of content and a detached signature.
inline std::string clearSignedFromDer(const std::string& content, const std::string& signatureDer) {
    return "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; "
           "micalg=sha-256; boundary=\"b0undary\"\r\n\r\n--b0undary\r\n" + content + "\r\n--b0undary\r\n" +
           base64Part("application/pkcs7-signature", "smime.p7s", signatureDer) + "--b0undary--\r\n";
}

// A token made by OpenSSL itself: signed with cert and key, or enveloped for cert with cipher; with CMS_STREAM
// in flags, BER as its streaming encoder writes it. Empty when OpenSSL fails.
inline std::string opensslCms(bool enveloped, X509* cert, EVP_PKEY* key, const std::string& content, unsigned flags,
                              const EVP_CIPHER* cipher = EVP_aes_128_cbc()) {
    using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
    BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), BIO_free);
    BioPtr source(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), BIO_free);
    BioPtr out(BIO_new(BIO_s_mem()), BIO_free);
    STACK_OF(X509)* recipients = sk_X509_new_null();
    sk_X509_push(recipients, cert);
    CMS_ContentInfo* cms = enveloped ? CMS_encrypt(recipients, in.get(), cipher, flags)
                                     : CMS_sign(cert, key, nullptr, in.get(), flags);
    sk_X509_free(recipients);
    const int written = cms == nullptr ? 0 : i2d_CMS_bio_stream(out.get(), cms, source.get(), static_cast<int>(flags));
    CMS_ContentInfo_free(cms);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return written == 1 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

#endif // TESTS_SMIME_DER_H
