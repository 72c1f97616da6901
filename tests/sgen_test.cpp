// The generator: byte layouts (parsed back), the boundary it picks, holding and handing over.
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "openssl_base64.h"
#include "random_bytes.h"
#include "vek4kivosmime.h"

namespace {

std::string pkcs7Header(const std::string& smimeType) {
    return "Content-Type: application/pkcs7-mime;\r\n   smime-type=" + smimeType +
           ";\r\n   name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
           "   filename=smime.p7m\r\n\r\n";
}
const std::string kEnvelopedHeader = pkcs7Header("enveloped-data");
const std::string kSignedHeader = pkcs7Header("signed-data");

using Kind = messageType_t;

unsigned insert(smimeGenerator& generator, Kind kind, const gss_buffer_desc* token,
                const gss_buffer_desc* content = nullptr, digestAlgorithm_t digest = digestSHA1) {
    if (kind == messageEnvelopedData) return generator.insertEnvelopedData(token);
    if (kind == messageSignedData) return generator.insertSignedData(token);
    return generator.insertMultipartAndSignedData(digest, content, token);
}

// The generator's message, taken over (and released as a provider buffer) or copied.
std::string messageOf(smimeGenerator& generator, bool takeOver) {
    gss_buffer_desc message = {0, nullptr};
    EXPECT_EQ(takeOver ? generator.getMessageReference(&message) : generator.getMessage(&message), SMIME_OK);
    if (!takeOver) return take(message);
    std::string bytes(static_cast<const char*>(message.value), message.length);
    OM_uint32 minor = 0;
    prov_release_buffer(&minor, &message);
    return bytes;
}

std::string takeOrEmpty(gss_buffer_desc& buffer) { return buffer.value == nullptr ? "" : take(buffer); }

void expectParsedBack(const std::string& message, messageType_t type, const std::string& object,
                      const std::string& content) {
    gss_buffer_desc buffer = viewOf(message);
    smimeParser classifier, parser;
    EXPECT_TRUE(classifier.setMessage(&buffer) == SMIME_OK && parser.setMessage(&buffer) == SMIME_OK);
    EXPECT_EQ(classifier.getMessageType(), type);
    gss_buffer_desc objectOut = {0, nullptr}, contentOut = {0, nullptr};
    EXPECT_EQ(parser.getPKCS7Object(&objectOut, &contentOut), SMIME_OK);
    EXPECT_EQ(takeOrEmpty(objectOut), object);
    EXPECT_EQ(takeOrEmpty(contentOut), content);
    EXPECT_EQ(parser.getMessageType(), type == messageClearSigned ? messageSignature : type);
}

// A stream buffer whose every write throws, as an application's own may.
struct ThrowingBuffer : std::streambuf {
    int_type overflow(int_type) override { throw std::runtime_error("write failed"); }
    std::streamsize xsputn(const char*, std::streamsize) override { throw std::runtime_error("write failed"); }
};

TEST(SmimeGeneratorHandOver, AnswersEachWayItShouldEmptyOrHolding) {
    smimeGenerator generator;
    const std::string text = "text";
    const gss_buffer_desc good = viewOf(text), noValue = {4, nullptr};
    const struct { const char* name; Kind kind; const gss_buffer_desc *token, *content = nullptr; } refusals[] = {
        {"enveloped, null", messageEnvelopedData, nullptr}, {"enveloped, no value", messageEnvelopedData, &noValue},
        {"signed, no value", messageSignedData, &noValue}, {"null signature", messageClearSigned, nullptr, &good},
        {"signature, no value", messageClearSigned, &noValue, &good}, {"null content", messageClearSigned, &good},
        {"content, no value", messageClearSigned, &good, &noValue},
    };
    for (const auto& r : refusals)
        EXPECT_EQ(insert(generator, r.kind, r.token, r.content), SMIME_NULL_PARAMETER) << r.name;
    gss_buffer_desc buffer = {0, nullptr};
    std::ostringstream stream;
    EXPECT_EQ(generator.getMessage(&buffer), SMIME_NO_MESSAGE);
    EXPECT_EQ(generator.getMessage(static_cast<gss_buffer_desc*>(nullptr)), SMIME_NO_MESSAGE);
    EXPECT_EQ(generator.getMessage(&stream), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.getMessageReference(&buffer), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.getMessageReference(nullptr), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.getMessageType(), messageNone);

    const std::string first = "first", second = "second";
    const gss_buffer_desc firstPidu = viewOf(first), secondPidu = viewOf(second);
    ASSERT_EQ(generator.insertSignedData(&firstPidu), SMIME_OK);
    for (const Kind kind : {messageEnvelopedData, messageSignedData, messageClearSigned})
        EXPECT_EQ(insert(generator, kind, &secondPidu, &secondPidu), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(generator.getMessageType(), messageSignedData);
    int marker = 0;
    gss_buffer_desc notEmpty = {0, &marker};
    EXPECT_TRUE(generator.getMessage(&notEmpty) == SMIME_OUTPUT_NOT_EMPTY && notEmpty.value == &marker);
    EXPECT_EQ(generator.getMessage(static_cast<gss_buffer_desc*>(nullptr)), SMIME_NULL_PARAMETER);
    const std::string expected = kSignedHeader + opensslMimeBase64(first);
    EXPECT_EQ(messageOf(generator, false), expected);
    EXPECT_EQ(messageOf(generator, false), expected) << "the generator keeps its message";
    EXPECT_EQ(messageOf(generator, true), expected);
    EXPECT_EQ(generator.getMessageReference(&buffer), SMIME_NULL_PARAMETER) << "handed over once only";
    ASSERT_EQ(generator.insertSignedData(&firstPidu), SMIME_OK);
    EXPECT_EQ(generator.freeMessage(), SMIME_OK);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);

    ASSERT_EQ(generator.insertEnvelopedData(&firstPidu), SMIME_OK);
    std::ostream broken(nullptr); // every write sets its bad bit
    EXPECT_EQ(generator.getMessage(&broken), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.getMessage(static_cast<std::ostream*>(nullptr)), SMIME_NULL_PARAMETER);
    ThrowingBuffer throwing;
    std::ostream throwingStream(&throwing);
    throwingStream.exceptions(std::ios::badbit);
    EXPECT_EQ(generator.getMessage(&throwingStream), SMIME_NULL_PARAMETER) << "what the stream throws stays inside";
    EXPECT_EQ(generator.getMessage(&stream), SMIME_OK) << "the failed streams left the message held";
    EXPECT_EQ(stream.str(), kEnvelopedHeader + opensslMimeBase64(first));
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY) << "written out means released";

    // The source still holds its message when it goes: the leak check sees it freed.
    ASSERT_EQ(generator.insertEnvelopedData(&firstPidu), SMIME_OK); // released by the assignment
    {
        smimeGenerator source;
        ASSERT_EQ(source.insertSignedData(&secondPidu), SMIME_OK);
        smimeGenerator copy(source);
        EXPECT_EQ(messageOf(copy, true), kSignedHeader + opensslMimeBase64(second));
        generator = source;
    }
    EXPECT_EQ(generator.getMessageType(), messageSignedData);
    EXPECT_EQ(messageOf(generator, true), kSignedHeader + opensslMimeBase64(second));
}

// The boundary is "boundary" and three letters from A to P.
struct Built { unsigned status; std::string message, boundary; };

Built build(Kind kind, const std::string& token, const std::string& content, unsigned digest) {
    smimeGenerator generator;
    const gss_buffer_desc tokenBuffer = viewOf(token), contentBuffer = viewOf(content);
    Built result{insert(generator, kind, &tokenBuffer, &contentBuffer, static_cast<digestAlgorithm_t>(digest)), "", ""};
    EXPECT_EQ(generator.getMessageType(), result.status == SMIME_OK ? kind : messageNone);
    if (result.status == SMIME_OK) result.message = messageOf(generator, true);
    EXPECT_EQ(generator.getMessageType(), messageNone);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY) << "refused, or taken over";
    std::smatch found;
    if (std::regex_search(result.message, found, std::regex("boundary=(boundary[A-P]{3})\r\n")))
        result.boundary = found[1];
    return result;
}

std::string layoutOf(const std::string& micalg, const std::string& b, const std::string& c, const std::string& sig) {
    return "Content-Type: multipart/signed;\r\n protocol=\"application/pkcs7-signature\";\r\n micalg=" + micalg +
           "; boundary=" + b + "\r\n\r\n--" + b + "\r\n" + c + "\r\n--" + b + "\r\n" +
           "Content-Type: application/pkcs7-signature;name=smime.p7s\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment;filename=smime.p7s\r\n\r\n" +
           opensslMimeBase64(sig) + "\r\n\r\n--" + b + "--\r\n";
}

TEST(SmimeGeneratorInsert, LaysOutEachKindByteForByte) {
    const std::string large = randomBytes(100000, 21), sig = randomBytes(700, 31);
    const Kind clear = messageClearSigned;
    // Clear-signed rows hold the micalg where the others hold the message.
    struct Case { const char* name; Kind kind; std::string token, expected, content = ""; unsigned digest = 0; };
    const Case cases[] = {
        {"no final line break", messageEnvelopedData, "abc", kEnvelopedHeader + "YWJj"},
        {"signed", messageSignedData, "abc", kSignedHeader + "YWJj"}, {"empty", messageEnvelopedData, "", kEnvelopedHeader},
        {"54 bytes make one full line", messageEnvelopedData, std::string(54, 0), kEnvelopedHeader + std::string(72, 'A')},
        {"55 bytes break after 72", messageSignedData, std::string(55, 0), kSignedHeader + std::string(72, 'A') + "\nAA=="},
        {"a large token", messageSignedData, large, kSignedHeader + opensslMimeBase64(large)},
        {"headers", clear, sig, "sha1", "Content-Type: text/plain\r\n\r\nHello\r\n", digestSHA1},
        {"LF", clear, sig, "md2", "bare\nline\nfeeds\n", digestMD2}, {"empty", clear, sig, "sha-384", "", digestSHA384},
        {"NUL", clear, sig, "md5", std::string("nul\0bytes\0\r\n", 12), digestMD5},
        {"a delimiter", clear, sig, "sha-256",
         std::string(5000, 'x') + "\r\n--boundaryAAA\r\n" + std::string(1023, 'y'), digestSHA256},
        {"SHA-512", clear, sig, "sha-512", "text", digestSHA512}, {"no digest", clear, sig, "", "text", 0},
        {"0x700", clear, sig, "", "text", 0x700}, {"0x101", clear, sig, "", "text", 0x101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Built out = build(c.kind, c.token, c.content, c.digest);
        ASSERT_EQ(out.status, SMIME_OK);
        ASSERT_EQ(out.boundary.size(), c.kind == clear ? 11u : 0u) << out.message.substr(0, 200);
        const bool isClear = c.kind == clear;
        EXPECT_EQ(out.message, isClear ? layoutOf(c.expected, out.boundary, c.content, sig) : c.expected);
        // An empty content leaves no first part for the parser to hand out.
        if (!isClear || !c.content.empty()) expectParsedBack(out.message, c.kind, c.token, c.content);
    }
}

// Every boundary but one in the content: the free one is found after draws a second apart (slow).
TEST(SmimeGeneratorClearSigned, AvoidsEveryBoundaryTheContentHolds) {
    std::string content;
    for (int tag = 0; tag < 4096; ++tag) {
        const char letters[] = {char('A' + (tag >> 8)), char('A' + (tag >> 4 & 0xF)), char('A' + (tag & 0xF)), 0};
        content += "boundary" + std::string(letters) + (tag % 2 == 0 ? "\r\n" : " ");
    }
    EXPECT_EQ(build(messageClearSigned, "sig", content, digestSHA1).status, SMIME_BAD_MESSAGE);
    content.replace(content.find("boundaryKCA"), 11, "boundary---");
    const Built avoided = build(messageClearSigned, "sig", content, digestSHA256);
    EXPECT_EQ(avoided.boundary, "boundaryKCA");
    EXPECT_EQ(avoided.message, layoutOf("sha-256", "boundaryKCA", content, "sig"));
}

} // namespace
