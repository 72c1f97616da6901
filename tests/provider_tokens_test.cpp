// The tokens the provider writes are OpenSSL's own DER at every content size
// where a length takes another octet, and come back whole; tokens laid out
// otherwise (BER with indefinite lengths, as streaming encoders write them)
// are read through the general route.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/cms.h>

#include "gss_buffers.h"
#include "provider_environment.h"
#include "random_bytes.h"
#include "test_pki.h"

namespace {

using testpki::keyStoreFiles;
using testpki::standardPki;

// OpenSSL's own encoding of what it reads from token.
std::string reencoded(const std::string& token) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(token.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(token.size()));
    unsigned char* der = nullptr;
    const int length = cms == nullptr ? 0 : i2d_CMS_ContentInfo(cms, &der);
    std::string bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    return bytes;
}

// The content, verified against the test root or decrypted; empty with a
// failure when the token does not come back.
std::string unprotect(const ProviderEnvironment& environment, const std::string& token) {
    const gss_buffer_desc input = viewOf(token);
    gss_buffer_desc content = {0, nullptr};
    OM_uint32 minor = 0;
    IDUP_PIDU_Information_desc* info = prov_create_pidu_info(&minor);
    const std::string anchor = testpki::certPem(standardPki().root.cert.get());
    info->trust_anchors = viewOf(anchor);
    EXPECT_EQ(prov_unprotect(environment.handle(), &input, nullptr, &minor, &content, info), 0u);
    EXPECT_EQ(minor, KIVO_R_NONE);
    info->trust_anchors = {0, nullptr};
    prov_release_pidu_info(&minor, &info);
    return content.value != nullptr ? take(content) : std::string();
}

TEST(ProviderTokens, AreDerAndComeBackAtEverySize) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const std::string aliceCert = testpki::certDer(standardPki().alice.cert.get());
    const std::string bobCert = testpki::certDer(standardPki().bob.cert.get());
    gss_buffer_desc recipients[] = {viewOf(aliceCert), viewOf(bobCert)};
    IDUP_Target_Info_desc targets = {2, recipients, nullptr};
    const struct {
        const char* name;
        IDUP_Protect_Request_desc request;
        std::size_t largest; // triple DES is slow; its small sizes cover its block length
    } operations[] = {{"signed", {IDUP_Protect_Sign, KIVO_DIGEST_SHA256, 0, 0}, 1 << 24},
                      {"AES-256", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_AES256, 0}, 1 << 24},
                      {"triple DES", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_DES3, 0}, 65536}};
    // Around each change in the number of length octets of the content and
    // of the elements that enclose it.
    for (std::size_t size : {0, 1, 100, 127, 128, 255, 256, 65000, 65535, 65536, 1 << 24}) {
        const std::string content = randomBytes(size, static_cast<unsigned>(size) + 1);
        for (const auto& op : operations) {
            if (size > op.largest) continue;
            SCOPED_TRACE(std::string(op.name) + ", content of " + std::to_string(size) + " bytes");
            const gss_buffer_desc input = viewOf(content);
            gss_buffer_desc token = {0, nullptr};
            OM_uint32 minor = 0;
            ASSERT_EQ(prov_protect(alice.handle(), &op.request, &targets, &input, &minor, &token, nullptr), 0u) << minor;
            const std::string bytes = take(token);
            EXPECT_TRUE(reencoded(bytes) == bytes) << "not the encoding OpenSSL itself writes";
            EXPECT_TRUE(unprotect(alice, bytes) == content);
            EXPECT_TRUE(op.request.operation != IDUP_Protect_Encrypt || unprotect(bob, bytes) == content);
        }
    }
}

TEST(ProviderTokens, StreamedBerTokensAreReadThroughTheGeneralRoute) {
    const auto& pki = standardPki();
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    const std::string content = randomBytes(20000, 7);
    const unsigned flags = CMS_STREAM | CMS_BINARY;
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())),
                                                 BIO_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>
        recipients(sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
    sk_X509_push(recipients.get(), pki.alice.cert.get());
    CMS_ContentInfo* made[] = {CMS_sign(pki.alice.cert.get(), pki.alice.key.get(), nullptr, in.get(), flags),
                               CMS_encrypt(recipients.get(), in.get(), EVP_aes_128_cbc(), flags)};
    for (CMS_ContentInfo* cms : made) {
        ASSERT_NE(cms, nullptr);
        // What OpenSSL's streaming encoder writes: indefinite lengths, and
        // the content cut into a constructed string of pieces.
        std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
        std::unique_ptr<BIO, decltype(&BIO_free)> source(
            BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), BIO_free);
        ASSERT_EQ(i2d_CMS_bio_stream(out.get(), cms, source.get(), flags), 1);
        CMS_ContentInfo_free(cms);
        char* data = nullptr;
        const long length = BIO_get_mem_data(out.get(), &data);
        const std::string token(data, static_cast<std::size_t>(length));
        ASSERT_GT(token.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(token[1]), 0x80) << "an indefinite length, as intended";
        EXPECT_TRUE(unprotect(alice, token) == content);
    }
}

} // namespace
