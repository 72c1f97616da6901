// The content taken out of a CMS token and put back: every enclosing length follows, whatever octets it takes;
// tokens laid out any other way (BER, as streaming encoders write) go through the provider's general route.
#include <string>
#include <vector>

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
constexpr unsigned kStreamed = CMS_STREAM | CMS_BINARY;

Bytes lengthOf(std::size_t length) {
    if (length < 0x80) return Bytes(1, static_cast<char>(length));
    Bytes octets;
    for (std::size_t rest = length; rest != 0; rest >>= 8) octets.insert(octets.begin(), static_cast<char>(rest & 0xFF));
    return Bytes(1, static_cast<char>(0x80 | octets.size())) + octets;
}

Bytes element(unsigned char tag, const Bytes& contents) { return Bytes(1, static_cast<char>(tag)) + lengthOf(contents.size()) + contents; }

const Bytes kSignedDataOid("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 11);
const Bytes kEnvelopedDataOid("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03", 11);
const Bytes kDataOid("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 11);

// A SignedData token, with the content encapsulated or (content null) not.
Bytes signedData(const Bytes* content, const Bytes& certificates = Bytes(300, 'c')) {
    Bytes info = kDataOid;
    if (content != nullptr) info += element(0xA0, element(0x04, *content));
    const Bytes body = element(0x02, "\x01") + element(0x31, element(0x30, "\x06\x01\x01")) + element(0x30, info) +
                       element(0xA0, certificates) + element(0x31, Bytes(120, 's'));
    return element(0x30, kSignedDataOid + element(0xA0, element(0x30, body)));
}

// An EnvelopedData token, with or without originator info and unprotected
// attributes around the encrypted content.
Bytes envelopedData(const Bytes* content, bool originator, bool unprotected) {
    Bytes info = kDataOid + element(0x30, "\x06\x01\x02\x04\x10" + Bytes(16, 'i'));
    if (content != nullptr) info += element(0x80, *content);
    Bytes body = element(0x02, Bytes(1, '\0'));
    if (originator) body += element(0xA0, Bytes(40, 'o'));
    body += element(0x31, element(0x30, Bytes(270, 'r'))) + element(0x30, info);
    if (unprotected) body += element(0xA1, Bytes(10, 'u'));
    return element(0x30, kEnvelopedDataOid + element(0xA0, element(0x30, body)));
}

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

// The content, verified or decrypted; empty with a failure when the token does not come back.
std::string unprotect(const ProviderEnvironment& environment, const std::string& token) {
    const gss_buffer_desc input = viewOf(token);
    gss_buffer_desc content = {0, nullptr};
    OM_uint32 minor = 0;
    VerifyRecord record;
    EXPECT_EQ(prov_unprotect(environment.handle(), &input, nullptr, &minor, &content, &record.info), 0u);
    EXPECT_EQ(minor, KIVO_R_NONE);
    return content.value != nullptr ? take(content) : std::string();
}

TEST(DerContent, ContentComesOutAndGoesBackAtEverySizeInEveryLayout) {
    ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12), bob(testpki::keyStoreFiles().bobP12);
    const std::string aliceCert = testpki::certDer(testpki::standardPki().alice.cert.get());
    const std::string bobCert = testpki::certDer(testpki::standardPki().bob.cert.get());
    gss_buffer_desc recipients[] = {viewOf(aliceCert), viewOf(bobCert)};
    IDUP_Target_Info_desc targets = {2, recipients, nullptr};
    const struct {
        const char* name;
        IDUP_Protect_Request_desc request;
        std::size_t largest; // triple DES is slow; its small sizes cover its block length
    } operations[] = {{"provider, signed", {IDUP_Protect_Sign, KIVO_DIGEST_SHA256, 0, 0}, 1 << 24},
                      {"provider, AES-256", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_AES256, 0}, 1 << 24},
                      {"provider, triple DES", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_DES3, 0}, 65536},
                      {"provider, AES-128", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_AES128, 0}, 256},
                      {"provider, AES-192", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_AES192, 0}, 256},
                      {"provider, default cipher", {IDUP_Protect_Encrypt, 0, KIVO_STRENGTH_DEFAULT, 0}, 256}};
    // Sizes at which the content's length, or an enclosing one, takes another octet.
    for (std::size_t size : {0, 1, 100, 127, 128, 200, 255, 256, 65000, 65535, 65536, 70000, 1 << 24}) {
        const Bytes content = randomBytes(size, static_cast<unsigned>(size) + 1);
        struct Layout {
            std::string name;
            ContentKind kind;
            Bytes whole, detached;
        };
        std::vector<Layout> layouts;
        if (size <= 70000) layouts.push_back({"signed", ContentKind::Signed, signedData(&content), signedData(nullptr)});
        for (int extras = 0; extras < 4 && size <= 70000; ++extras) // originator info, unprotected attributes
            layouts.push_back({"enveloped with extras " + std::to_string(extras), ContentKind::Enveloped,
                               envelopedData(&content, (extras & 1) != 0, (extras & 2) != 0),
                               envelopedData(nullptr, (extras & 1) != 0, (extras & 2) != 0)});
        for (const auto& layout : layouts) {
            SCOPED_TRACE(layout.name + ", content of " + std::to_string(size) + " bytes");
            ContentLocation where;
            ASSERT_TRUE(locate(layout.whole, where));
            EXPECT_EQ(where.kind, layout.kind);
            EXPECT_TRUE(layout.whole.substr(where.contentStart, where.contentLength) == content);
            EXPECT_TRUE(removed(layout.whole, where.removal) == layout.detached);
            EXPECT_TRUE(inserted(layout.detached, layout.kind, content) == layout.whole);
        }
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

TEST(DerContent, LeavesTokensOfAnyOtherLayoutToTheGeneralRoute) {
    ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12);
    const testpki::Identity& signer = testpki::standardPki().alice;
    const Bytes content(50, 'x'), large = randomBytes(20000, 7);
    const Bytes good = signedData(&content);
    Bytes indefinite = good;
    indefinite[1] = '\x80'; // outer length indefinite (the rest no longer matches either)
    // The encapsulated content as a constructed OCTET STRING of pieces.
    const Bytes pieces = kDataOid + element(0xA0, element(0x24, element(0x04, content)));
    const Bytes piecesBody = element(0x02, "\x01") + element(0x31, "") + element(0x30, pieces) + element(0x31, "");
    const Bytes constructedEncrypted = [&] {
        Bytes token = envelopedData(&content, false, false);
        const std::size_t at = token.find(Bytes(1, '\x80') + lengthOf(content.size()) + content);
        token[at] = '\xA0';
        return token;
    }();
    const struct {
        const char* name;
        Bytes token;
        bool streamedLarge = false;
    } cases[] = {{"indefinite length", indefinite},
                 {"streamed SignedData", opensslCms(false, signer.cert.get(), signer.key.get(), large, kStreamed), true},
                 {"streamed EnvelopedData", opensslCms(true, signer.cert.get(), nullptr, large, kStreamed), true},
                 {"constructed content string", element(0x30, kSignedDataOid + element(0xA0, element(0x30, piecesBody)))},
                 {"not SignedData or EnvelopedData", element(0x30, kDataOid + element(0xA0, element(0x04, content)))},
                 {"a byte after the token", good + Bytes(1, '\0')},
                 {"no content", signedData(nullptr)},
                 {"constructed encrypted content", constructedEncrypted},
                 {"empty", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ContentLocation where;
        EXPECT_FALSE(locate(c.token, where));
        EXPECT_TRUE(!c.streamedLarge || (c.token[1] == '\x80' && unprotect(alice, c.token) == large));
    }
    EXPECT_TRUE(inserted(good, ContentKind::Signed, content) == "(no place for the content)")
        << "content is never put in twice";
}

// Exactly sized copies, so that the sanitizers see any read past the end.
TEST(DerContent, RefusesEveryTruncation) {
    const Bytes content(300, 'x');
    for (const Bytes& token : {signedData(&content), envelopedData(&content, true, true)}) {
        for (std::size_t length = 0; length < token.size(); ++length) {
            const std::vector<unsigned char> prefix(token.begin(), token.begin() + static_cast<std::ptrdiff_t>(length));
            ContentLocation where;
            EXPECT_FALSE(detail::locateContent(prefix.data(), prefix.size(), where)) << "length " << length;
        }
    }
}

} // namespace
