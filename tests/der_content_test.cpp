// The content taken out of a CMS token and put back, held to OpenSSL's encodings: every enclosing length follows,
// whatever octets it takes; tokens laid out any other way (BER, as streaming encoders write) take the general route.
#include <string>

#include <gtest/gtest.h>
#include <openssl/cms.h>

#include "../provider/der_content.h"
#include "provider_environment.h"
#include "random_bytes.h"
#include "smime_der.h"

namespace {

using detail::ContentKind;
using detail::ContentLocation;
using detail::DerEdit;
using Bytes = std::string;

Bytes removed(const Bytes& token, const DerEdit& edit) {
    Bytes out(detail::editedSize(edit, token.size()), '\0');
    detail::writeEdited(reinterpret_cast<const unsigned char*>(token.data()), token.size(), edit,
                        reinterpret_cast<unsigned char*>(&out[0]));
    return out;
}

Bytes inserted(const Bytes& detached, ContentKind kind, const Bytes& content) {
    DerEdit edit;
    if (!detail::contentInsertion(reinterpret_cast<const unsigned char*>(detached.data()), detached.size(), kind,
                                  content.size(), edit))
        return "(no place for the content)";
    Bytes out(detail::editedSize(edit, detached.size()), '\0');
    unsigned char* hole = detail::writeEdited(reinterpret_cast<const unsigned char*>(detached.data()), detached.size(),
                                              edit, reinterpret_cast<unsigned char*>(&out[0]));
    unsigned char* at = detail::writeContentHeaders(hole, kind, content.size());
    content.copy(reinterpret_cast<char*>(at), content.size());
    return out;
}

bool locate(const Bytes& token, ContentLocation& where) {
    return detail::locateContent(reinterpret_cast<const unsigned char*>(token.data()), token.size(), where);
}

// OpenSSL's reading of a token: its encoding again, its content octets, and its encoding without them.
struct OpensslView {
    Bytes reencoded, content, detached;
};
OpensslView opensslView(const Bytes& token) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(token.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(token.size()));
    OpensslView view{derOf(cms), "", ""};
    ASN1_OCTET_STRING** content = cms == nullptr ? nullptr : CMS_get0_content(cms);
    if (content != nullptr && *content != nullptr) {
        const auto* octets = reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content));
        view.content.assign(octets, static_cast<std::size_t>(ASN1_STRING_length(*content)));
        if (CMS_set_detached(cms, 1) == 1) view.detached = derOf(cms);
    }
    CMS_ContentInfo_free(cms);
    return view;
}

// Made by OpenSSL with alice's key or for her certificate.
Bytes opensslToken(bool enveloped, const Bytes& content, unsigned flags = CMS_BINARY) {
    const testpki::Identity& alice = testpki::standardPki().alice;
    return opensslCms(enveloped, alice.cert.get(), alice.key.get(), content, flags);
}

// The content, verified or decrypted, into a block of its own and written over a copy of the token;
// empty with a failure when the token does not come back the same both ways.
std::string unprotect(const ProviderEnvironment& environment, const std::string& token) {
    const gss_buffer_desc input = viewOf(token);
    gss_buffer_desc content = {0, nullptr};
    OM_uint32 minor = 0;
    VerifyRecord record;
    EXPECT_EQ(prov_unprotect(environment.handle(), &input, nullptr, &minor, &content, &record.info), 0u);
    EXPECT_EQ(minor, KIVO_R_NONE);
    const std::string own = content.value != nullptr ? take(content) : std::string();

    std::string over(token.size() + 1, '\0'); // ours to give up
    gss_buffer_desc given = {static_cast<OM_uint32>(token.size()), &over[0]};
    token.copy(&over[0], token.size());
    VerifyRecord overRecord;
    EXPECT_EQ(prov_unprotect_over(environment.handle(), &given, &minor, &content, &overRecord.info), 0u);
    EXPECT_EQ(content.value, given.value) << "not written over the token";
    const bool same = content.value == given.value && over.compare(0, content.length, own) == 0 && over[content.length] == '\0';
    return same ? own : std::string("(not the same content over the token)");
}

TEST(DerContent, ContentComesOutAndGoesBackAtEverySize) {
    ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12), bob(testpki::keyStoreFiles().bobP12);
    const std::string aliceCert = testpki::certDer(testpki::standardPki().alice.cert.get());
    const std::string bobCert = testpki::certDer(testpki::standardPki().bob.cert.get());
    gss_buffer_desc recipients[] = {viewOf(aliceCert), viewOf(bobCert)};
    IDUP_Target_Info_desc targets = {2, recipients, nullptr};
    const struct {
        const char* name;
        IDUP_Protect_Request_desc request;
        std::size_t largest; // triple DES is slow; its small sizes cover its block length
    } operations[] = {{"signed", {IDUP_Protect_Sign, KIVO_DIGEST_SHA256, 0, 0}, 1 << 24},
                      {"AES-256", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_AES256, 0}, 1 << 24},
                      {"AES-128-GCM", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_GCM | KIVO_STRENGTH_AES128, 0}, 1 << 24},
                      {"triple DES", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_DES3, 0}, 65536}};
    // Sizes at which the content's length, or an enclosing one, takes another octet.
    for (std::size_t size : {0, 1, 100, 127, 128, 200, 255, 256, 65000, 65535, 65536, 70000, 1 << 24}) {
        const Bytes content = randomBytes(size, static_cast<unsigned>(size) + 1);
        for (const auto& op : operations) {
            if (size > op.largest) continue;
            SCOPED_TRACE(std::string(op.name) + ", content of " + std::to_string(size) + " bytes");
            const gss_buffer_desc input = viewOf(content);
            gss_buffer_desc token = {0, nullptr};
            OM_uint32 minor = 0;
            ASSERT_EQ(prov_protect(alice.handle(), &op.request, &targets, &input, &minor, &token, nullptr), 0u) << minor;
            const std::string bytes = take(token);
            const OpensslView openssl = opensslView(bytes);
            EXPECT_TRUE(openssl.reencoded == bytes) << "not the encoding OpenSSL itself writes";
            const bool encrypted = op.request.operation == IDUP_Protect_Encrypt;
            const ContentKind kind = !encrypted ? ContentKind::Signed
                                     : op.request.strength & KIVO_STRENGTH_GCM ? ContentKind::AuthEnveloped : ContentKind::Enveloped;
            ContentLocation where;
            ASSERT_TRUE(locate(bytes, where));
            EXPECT_EQ(where.kind, kind);
            EXPECT_TRUE(bytes.substr(where.contentStart, where.contentLength) == openssl.content);
            EXPECT_TRUE(removed(bytes, where.removal) == openssl.detached);
            EXPECT_TRUE(inserted(openssl.detached, kind, openssl.content) == bytes);
            EXPECT_TRUE(unprotect(alice, bytes) == content);
            EXPECT_TRUE(!encrypted || unprotect(bob, bytes) == content);
        }
    }
}

TEST(DerContent, LeavesTokensOfAnyOtherLayoutToTheGeneralRoute) {
    ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12);
    const Bytes content(50, 'x'), large = randomBytes(20000, 7);
    const Bytes good = opensslToken(false, content), enveloped = opensslToken(true, content);
    ContentLocation where;
    ASSERT_TRUE(locate(good, where) && locate(enveloped, where));
    Bytes indefinite = good;
    indefinite[1] = '\x80'; // outer length indefinite (the rest no longer matches either)
    // The identifier of the string holding the content (a two-octet header before it) made constructed.
    const Bytes data("\x30\x0f\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01\xa0\x02\x04\x00", 17); // empty Data
    const auto constructed = [](Bytes token, const Bytes& octets) {
        token[token.find(octets) - 2] |= 0x20;
        return token;
    };
    const struct {
        const char* name;
        Bytes token;
        bool streamedLarge = false;
    } cases[] = {{"indefinite length", indefinite},
                 {"streamed SignedData", opensslToken(false, large, CMS_STREAM | CMS_BINARY), true},
                 {"streamed EnvelopedData", opensslToken(true, large, CMS_STREAM | CMS_BINARY), true},
                 {"constructed content string", constructed(good, content)},
                 {"constructed encrypted content", constructed(enveloped, opensslView(enveloped).content)},
                 {"not SignedData or EnvelopedData", data},
                 {"a byte after the token", good + Bytes(1, '\0')},
                 {"no content", opensslToken(false, content, CMS_BINARY | CMS_DETACHED)},
                 {"empty", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(locate(c.token, where));
        EXPECT_TRUE(!c.streamedLarge || (c.token[1] == '\x80' && unprotect(alice, c.token) == large));
    }
    EXPECT_TRUE(inserted(good, ContentKind::Signed, content) == "(no place for the content)")
        << "content is never put in twice";
}

} // namespace
