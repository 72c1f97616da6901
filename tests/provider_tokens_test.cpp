// The tokens the provider writes are OpenSSL's own DER at every content size
// where a length takes another octet, and come back whole; tokens laid out
// otherwise (BER with indefinite lengths, as streaming encoders write them)
// are read through the general route.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include "gss_buffers.h"
#include "provider_environment.h"
#include "random_bytes.h"
#include "test_pki.h"

namespace {

using testpki::keyStoreFiles;
using testpki::standardPki;

// Around each change in the number of length octets of the content and of
// the elements that enclose it.
const std::size_t kSizes[] = {0, 1, 100, 127, 128, 255, 256, 65000, 65535, 65536, 1 << 24};

// OpenSSL's own encoding of what it reads from token.
std::string reencoded(const std::string& token) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(token.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(token.size()));
    if (cms == nullptr) return "(not CMS)";
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    std::string bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    return bytes;
}

std::string protect(void* environment, IDUP_Protect_Request_desc request, IDUP_Target_Info_desc* targets,
                    const std::string& content) {
    const gss_buffer_desc input = viewOf(content);
    gss_buffer_desc token = {0, nullptr};
    gss_buffer_desc detached = {0, nullptr};
    OM_uint32 minor = 0;
    EXPECT_EQ(prov_protect(environment, &request, targets, &input, &minor, &token, &detached), 0u) << minor;
    take(detached);
    return take(token);
}

struct Unprotected {
    OM_uint32 minor;
    std::string content;
};

Unprotected unprotect(void* environment, const std::string& token) {
    const gss_buffer_desc input = viewOf(token);
    gss_buffer_desc content = {0, nullptr};
    IDUP_PIDU_Information_desc* info = nullptr;
    OM_uint32 minor = 0;
    info = prov_create_pidu_info(&minor);
    info->verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
    const std::string anchor = testpki::certPem(standardPki().root.cert.get());
    info->trust_anchors = viewOf(anchor);
    Unprotected result{0, ""};
    prov_unprotect(environment, &input, nullptr, &result.minor, &content, info);
    info->trust_anchors = {0, nullptr};
    prov_release_pidu_info(&minor, &info);
    if (content.value != nullptr) result.content = take(content);
    return result;
}

std::string contentOf(std::size_t size) { return randomBytes(size, static_cast<unsigned>(size) + 1); }

TEST(ProviderTokens, SignedDataIsDerAndVerifiesAtEverySize) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    for (std::size_t size : kSizes) {
        SCOPED_TRACE("content of " + std::to_string(size) + " bytes");
        const std::string content = contentOf(size);
        const std::string token = protect(alice.handle(), {IDUP_Protect_Sign, KIVO_DIGEST_SHA256, 0, 0}, nullptr, content);
        EXPECT_TRUE(reencoded(token) == token) << "not the encoding OpenSSL itself writes";
        const Unprotected back = unprotect(alice.handle(), token);
        EXPECT_EQ(back.minor, KIVO_R_NONE);
        EXPECT_TRUE(back.content == content);
    }
}

TEST(ProviderTokens, EnvelopedDataIsDerAndDecryptsAtEverySize) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const std::string aliceCert = testpki::certDer(standardPki().alice.cert.get());
    const std::string bobCert = testpki::certDer(standardPki().bob.cert.get());
    gss_buffer_desc recipients[] = {viewOf(aliceCert), viewOf(bobCert)};
    for (OM_uint32 strength : {KIVO_STRENGTH_AES256, KIVO_STRENGTH_DES3}) {
        for (std::size_t size : kSizes) {
            // Triple DES is slow; its small sizes cover its block length.
            if (strength == KIVO_STRENGTH_DES3 && size > 65536) continue;
            SCOPED_TRACE("strength " + std::to_string(strength) + ", content of " + std::to_string(size) + " bytes");
            const std::string content = contentOf(size);
            IDUP_Target_Info_desc targets = {2, recipients, nullptr};
            const std::string token = protect(alice.handle(), {IDUP_Protect_Encrypt, 0, strength, 0}, &targets, content);
            EXPECT_TRUE(reencoded(token) == token) << "not the encoding OpenSSL itself writes";
            for (const ProviderEnvironment* who : {&alice, &bob}) {
                const Unprotected back = unprotect(who->handle(), token);
                EXPECT_EQ(back.minor, KIVO_R_NONE);
                EXPECT_TRUE(back.content == content);
            }
        }
    }
}

// What OpenSSL's streaming encoder writes: indefinite lengths, and the
// content cut into a constructed string of pieces.
std::string streamedToken(CMS_ContentInfo* cms, const std::string& content) {
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    BIO* out = BIO_new(BIO_s_mem());
    std::string bytes;
    if (i2d_CMS_bio_stream(out, cms, in, CMS_STREAM | CMS_BINARY) == 1) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        bytes.assign(data, static_cast<std::size_t>(length));
    }
    BIO_free(in);
    BIO_free(out);
    return bytes;
}

TEST(ProviderTokens, StreamedBerTokensAreReadThroughTheGeneralRoute) {
    const auto& pki = standardPki();
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    const std::string content = contentOf(20000);
    const unsigned flags = CMS_STREAM | CMS_BINARY;

    BIO* none = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    CMS_ContentInfo* signedData = CMS_sign(pki.alice.cert.get(), pki.alice.key.get(), nullptr, none, flags);
    ASSERT_NE(signedData, nullptr);
    const std::string signedToken = streamedToken(signedData, content);
    CMS_ContentInfo_free(signedData);

    STACK_OF(X509)* recipients = sk_X509_new_null();
    sk_X509_push(recipients, pki.alice.cert.get());
    CMS_ContentInfo* enveloped = CMS_encrypt(recipients, none, EVP_aes_128_cbc(), flags);
    sk_X509_free(recipients);
    BIO_free(none);
    ASSERT_NE(enveloped, nullptr);
    const std::string envelopedToken = streamedToken(enveloped, content);
    CMS_ContentInfo_free(enveloped);

    for (const std::string* token : {&signedToken, &envelopedToken}) {
        ASSERT_GT(token->size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>((*token)[1]), 0x80) << "an indefinite length, as intended";
        const Unprotected back = unprotect(alice.handle(), *token);
        EXPECT_EQ(back.minor, KIVO_R_NONE);
        EXPECT_TRUE(back.content == content);
    }
}

} // namespace
