// Taking the content out of a CMS token and putting it in, on tokens built
// here element by element: every enclosing length follows, whatever number
// of octets it takes, and tokens laid out any other way are left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../provider/der_content.h"

namespace {

using detail::ContentKind;
using detail::ContentLocation;
using detail::DerEdit;
using Bytes = std::string;

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

TEST(DerContent, ContentComesOutAndGoesBackAtEverySizeInEveryLayout) {
    // Sizes at which the content's length, or an enclosing one, takes another octet.
    for (std::size_t size : {0, 1, 100, 127, 128, 200, 255, 256, 65000, 65535, 65536, 70000}) {
        const Bytes content(size, 'x');
        struct Layout {
            std::string name;
            ContentKind kind;
            Bytes whole, detached;
        };
        std::vector<Layout> layouts = {{"signed", ContentKind::Signed, signedData(&content), signedData(nullptr)}};
        for (bool originator : {false, true})
            for (bool attributes : {false, true})
                layouts.push_back({std::string("enveloped") + (originator ? ", originator" : "") +
                                       (attributes ? ", unprotected attributes" : ""),
                                   ContentKind::Enveloped, envelopedData(&content, originator, attributes),
                                   envelopedData(nullptr, originator, attributes)});
        for (const auto& layout : layouts) {
            SCOPED_TRACE(layout.name + ", content of " + std::to_string(size) + " bytes");
            ContentLocation where;
            ASSERT_TRUE(locate(layout.whole, where));
            EXPECT_EQ(where.kind, layout.kind);
            EXPECT_TRUE(layout.whole.substr(where.contentStart, where.contentLength) == content);
            EXPECT_TRUE(removed(layout.whole, where.removal) == layout.detached);
            EXPECT_TRUE(inserted(layout.detached, layout.kind, content) == layout.whole);
        }
    }
}

TEST(DerContent, LeavesTokensOfAnyOtherLayoutToTheGeneralRoute) {
    const Bytes content(50, 'x');
    const Bytes good = signedData(&content);
    Bytes indefinite = good;
    indefinite[1] = '\x80'; // outer length indefinite (the rest no longer matches either)
    Bytes constructedString = signedData(nullptr);
    {
        // The encapsulated content as a constructed OCTET STRING of pieces.
        Bytes info = kDataOid + element(0xA0, element(0x24, element(0x04, content)));
        const Bytes body = element(0x02, "\x01") + element(0x31, "") + element(0x30, info) + element(0x31, "");
        constructedString = element(0x30, kSignedDataOid + element(0xA0, element(0x30, body)));
    }
    const Bytes otherType = element(0x30, kDataOid + element(0xA0, element(0x04, content)));
    const Bytes withTrailingByte = good + Bytes(1, '\0');
    const Bytes constructedEncrypted = [&] {
        Bytes token = envelopedData(&content, false, false);
        const std::size_t at = token.find(Bytes(1, '\x80') + lengthOf(content.size()) + content);
        token[at] = '\xA0';
        return token;
    }();
    const struct {
        const char* name;
        Bytes token;
    } cases[] = {{"indefinite length", indefinite},
                 {"constructed content string", constructedString},
                 {"not SignedData or EnvelopedData", otherType},
                 {"a byte after the token", withTrailingByte},
                 {"no content", signedData(nullptr)},
                 {"constructed encrypted content", constructedEncrypted},
                 {"empty", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ContentLocation where;
        EXPECT_FALSE(locate(c.token, where));
    }
    EXPECT_TRUE(inserted(good, ContentKind::Signed, content) == "(no place for the content)")
        << "content is never put in twice";
}

// Every prefix of a token is refused without reading past it (the
// sanitizers watch the exactly sized copies).
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
