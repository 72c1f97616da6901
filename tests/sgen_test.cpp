// The S/MIME generator: byte layouts of application/pkcs7-mime and
// multipart/signed, the boundary it picks, holding and handing over.
#include <cstdlib>
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

// The headers as a mail reader sees them, written out here independently.
std::string pkcs7Header(const std::string& smimeType) {
    return "Content-Type: application/pkcs7-mime;\r\n   smime-type=" + smimeType +
           ";\r\n   name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
           "   filename=smime.p7m\r\n\r\n";
}
const std::string kEnvelopedHeader = pkcs7Header("enveloped-data");
const std::string kSignedHeader = pkcs7Header("signed-data");

enum class Kind { Enveloped, Signed, ClearSigned };

unsigned insert(smimeGenerator& generator, Kind kind, const gss_buffer_desc* token,
                const gss_buffer_desc* content = nullptr, digestAlgorithm_t digest = digestSHA1) {
    if (kind == Kind::Enveloped) return generator.insertEnvelopedData(token);
    if (kind == Kind::Signed) return generator.insertSignedData(token);
    return generator.insertMultipartAndSignedData(digest, content, token);
}

// Takes the generator's message over and returns its bytes.
std::string takeMessage(smimeGenerator& generator) {
    gss_buffer_desc message = {0, nullptr};
    EXPECT_EQ(generator.getMessageReference(&message), SMIME_OK);
    std::string bytes(static_cast<const char*>(message.value), message.length);
    OM_uint32 minor = 0;
    prov_release_buffer(&minor, &message);
    return bytes;
}

std::string copyMessage(smimeGenerator& generator) {
    gss_buffer_desc message = {0, nullptr};
    EXPECT_EQ(generator.getMessage(&message), SMIME_OK);
    return take(message);
}

// --- application/pkcs7-mime ---------------------------------------------------

TEST(SmimeGeneratorInsert, PutsTheHeaderBeforeTheBase64Lines) {
    const std::string large = randomBytes(100000, 21);
    const struct {
        const char* name;
        Kind kind;
        std::string pidu;
        std::string expected;
    } cases[] = {
        {"enveloped \"abc\": no final line break", Kind::Enveloped, "abc", kEnvelopedHeader + "YWJj"},
        {"signed \"abc\"", Kind::Signed, "abc", kSignedHeader + "YWJj"},
        {"54 bytes make one full line", Kind::Enveloped, std::string(54, '\0'), kEnvelopedHeader + std::string(72, 'A')},
        {"55 bytes break after 72 characters", Kind::Signed, std::string(55, '\0'),
         kSignedHeader + std::string(72, 'A') + "\nAA=="},
        {"an empty token leaves the header alone", Kind::Enveloped, "", kEnvelopedHeader},
        {"a large token", Kind::Signed, large, kSignedHeader + opensslMimeBase64(large)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smimeGenerator generator;
        const gss_buffer_desc pidu = {static_cast<OM_uint32>(c.pidu.size()), const_cast<char*>(c.pidu.data() + 0)};
        ASSERT_EQ(insert(generator, c.kind, &pidu), SMIME_OK);
        EXPECT_EQ(generator.getMessageType(), c.kind == Kind::Enveloped ? messageEnvelopedData : messageSignedData);
        EXPECT_EQ(takeMessage(generator), c.expected);
        EXPECT_EQ(generator.getMessageType(), messageNone);
    }
}

TEST(SmimeGeneratorInsert, RefusesMissingArgumentsAndStaysEmpty) {
    const std::string text = "text";
    const gss_buffer_desc good = viewOf(text);
    const gss_buffer_desc noValue = {4, nullptr};
    const struct {
        const char* name;
        Kind kind;
        const gss_buffer_desc* token;
        const gss_buffer_desc* content;
    } cases[] = {
        {"enveloped, null descriptor", Kind::Enveloped, nullptr, nullptr},
        {"enveloped, null value", Kind::Enveloped, &noValue, nullptr},
        {"signed, null value", Kind::Signed, &noValue, nullptr},
        {"clear-signed, null signature", Kind::ClearSigned, nullptr, &good},
        {"clear-signed, signature without value", Kind::ClearSigned, &noValue, &good},
        {"clear-signed, null content", Kind::ClearSigned, &good, nullptr},
        {"clear-signed, content without value", Kind::ClearSigned, &good, &noValue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smimeGenerator generator;
        EXPECT_EQ(insert(generator, c.kind, c.token, c.content), SMIME_NULL_PARAMETER);
        EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
    }
}

TEST(SmimeGeneratorInsert, RefusesWhileHoldingAndKeepsTheFirstMessage) {
    smimeGenerator generator;
    const std::string first = "first";
    const std::string second = "second";
    const gss_buffer_desc firstPidu = viewOf(first);
    const gss_buffer_desc secondPidu = viewOf(second);
    ASSERT_EQ(generator.insertEnvelopedData(&firstPidu), SMIME_OK);
    for (const Kind kind : {Kind::Enveloped, Kind::Signed, Kind::ClearSigned})
        EXPECT_EQ(insert(generator, kind, &secondPidu, &secondPidu), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(generator.getMessageType(), messageEnvelopedData);
    EXPECT_EQ(takeMessage(generator), kEnvelopedHeader + opensslMimeBase64(first));
}

// --- holding and handing over ------------------------------------------------------

TEST(SmimeGeneratorHandOver, EmptyGeneratorAnswersEachWayItShould) {
    smimeGenerator generator;
    gss_buffer_desc buffer = {0, nullptr};
    EXPECT_EQ(generator.getMessage(&buffer), SMIME_NO_MESSAGE);
    EXPECT_EQ(generator.getMessage(static_cast<gss_buffer_desc*>(nullptr)), SMIME_NO_MESSAGE);
    std::ostringstream stream;
    EXPECT_EQ(generator.getMessage(&stream), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.getMessageReference(&buffer), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.getMessageReference(nullptr), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
    EXPECT_EQ(generator.getMessageType(), messageNone);
}

TEST(SmimeGeneratorHandOver, CopiesToABufferAndKeepsTheMessage) {
    smimeGenerator generator;
    const std::string token = "token";
    const gss_buffer_desc pidu = viewOf(token);
    ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK);
    int marker = 0;
    gss_buffer_desc notEmpty = {0, &marker};
    EXPECT_EQ(generator.getMessage(&notEmpty), SMIME_OUTPUT_NOT_EMPTY);
    EXPECT_EQ(notEmpty.value, &marker);
    EXPECT_EQ(generator.getMessage(static_cast<gss_buffer_desc*>(nullptr)), SMIME_NULL_PARAMETER);
    const std::string copy = copyMessage(generator);
    EXPECT_EQ(copy, kSignedHeader + opensslMimeBase64(token));
    EXPECT_EQ(copyMessage(generator), copy) << "the generator keeps its message";
    EXPECT_EQ(takeMessage(generator), copy);
    gss_buffer_desc again = {0, nullptr};
    EXPECT_EQ(generator.getMessageReference(&again), SMIME_NULL_PARAMETER) << "handed over once only";
    ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK);
    EXPECT_EQ(generator.freeMessage(), SMIME_OK);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
    ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK); // the sanitizers' leak check sees the destructor free it
}

// A stream buffer whose every write throws, as a stream of an application's
// own may.
struct ThrowingBuffer : std::streambuf {
    int_type overflow(int_type) override { throw std::runtime_error("write failed"); }
    std::streamsize xsputn(const char*, std::streamsize) override { throw std::runtime_error("write failed"); }
};

TEST(SmimeGeneratorHandOver, WritesToAStreamAndReleases) {
    smimeGenerator generator;
    const std::string token = "token";
    const gss_buffer_desc pidu = viewOf(token);
    ASSERT_EQ(generator.insertEnvelopedData(&pidu), SMIME_OK);
    std::ostream broken(nullptr); // every write sets its bad bit
    EXPECT_EQ(generator.getMessage(&broken), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.getMessage(static_cast<std::ostream*>(nullptr)), SMIME_NULL_PARAMETER);
    ThrowingBuffer throwing;
    std::ostream throwingStream(&throwing);
    throwingStream.exceptions(std::ios::badbit);
    EXPECT_EQ(generator.getMessage(&throwingStream), SMIME_NULL_PARAMETER) << "what the stream throws stays inside";
    std::ostringstream stream;
    EXPECT_EQ(generator.getMessage(&stream), SMIME_OK) << "the failed streams left the message held";
    EXPECT_EQ(stream.str(), kEnvelopedHeader + opensslMimeBase64(token));
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY) << "written out means released";
}

TEST(SmimeGeneratorCopy, HoldsACopyOfItsOwn) {
    const std::string token = "token";
    const gss_buffer_desc pidu = viewOf(token);
    smimeGenerator assigned;
    ASSERT_EQ(assigned.insertEnvelopedData(&pidu), SMIME_OK); // released by the assignment
    std::string expected;
    {
        smimeGenerator source;
        ASSERT_EQ(source.insertSignedData(&pidu), SMIME_OK);
        expected = copyMessage(source);
        smimeGenerator copy(source);
        EXPECT_EQ(takeMessage(copy), expected);
        assigned = source;
    }
    EXPECT_EQ(assigned.getMessageType(), messageSignedData);
    EXPECT_EQ(takeMessage(assigned), expected);
}

// --- multipart/signed ---------------------------------------------------------------

struct ClearSigned {
    unsigned status;
    std::string message;
    std::string boundary; // "boundary" and three letters from A to P, found in the header
};

ClearSigned clearSign(const std::string& content, const std::string& signature, digestAlgorithm_t digest) {
    smimeGenerator generator;
    const gss_buffer_desc contentBuffer = viewOf(content);
    const gss_buffer_desc signatureBuffer = viewOf(signature);
    ClearSigned result{insert(generator, Kind::ClearSigned, &signatureBuffer, &contentBuffer, digest), "", ""};
    if (result.status != SMIME_OK) {
        EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
        return result;
    }
    EXPECT_EQ(generator.getMessageType(), messageClearSigned);
    result.message = takeMessage(generator);
    std::smatch found;
    if (std::regex_search(result.message, found, std::regex("boundary=(boundary[A-P]{3})\r\n")))
        result.boundary = found[1];
    return result;
}

std::string expectedClearSigned(const std::string& micalg, const std::string& b, const std::string& content,
                                const std::string& signature) {
    return "Content-Type: multipart/signed;\r\n protocol=\"application/pkcs7-signature\";\r\n micalg=" + micalg +
           "; boundary=" + b + "\r\n\r\n--" + b + "\r\n" + content + "\r\n--" + b + "\r\n" +
           "Content-Type: application/pkcs7-signature;name=smime.p7s\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment;filename=smime.p7s\r\n\r\n" +
           opensslMimeBase64(signature) + "\r\n\r\n--" + b + "--\r\n";
}

TEST(SmimeGeneratorClearSigned, LaysOutContentAndSignatureByteForByte) {
    const std::string contents[] = {
        "Content-Type: text/plain\r\n\r\nHello\r\n",       "bare\nline\nfeeds\n", std::string("nul\0bytes\0", 10),
        std::string(5000, 'x') + "\r\n" + std::string(1023, 'y'), "",
    };
    const std::string signature = randomBytes(700, 31);
    for (const auto& content : contents) {
        SCOPED_TRACE(content.substr(0, 20));
        const ClearSigned result = clearSign(content, signature, digestSHA1);
        ASSERT_EQ(result.boundary.size(), 11u) << result.message.substr(0, 200);
        EXPECT_EQ(result.message, expectedClearSigned("sha1", result.boundary, content, signature));
    }
}

TEST(SmimeGeneratorClearSigned, NamesTheDigestInMicalg) {
    const struct {
        unsigned digest;
        const char* micalg;
    } cases[] = {{digestMD2, "md2"},        {digestMD5, "md5"},        {digestSHA1, "sha1"},
                 {digestSHA256, "sha-256"}, {digestSHA384, "sha-384"}, {digestSHA512, "sha-512"},
                 {0, ""},                   {0x700, ""},               {0x101, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digest);
        const ClearSigned result = clearSign("text", "sig", static_cast<digestAlgorithm_t>(c.digest));
        EXPECT_EQ(result.message, expectedClearSigned(c.micalg, result.boundary, "text", "sig"));
    }
}

// Every boundary string but one occurs in the content: the generator must end
// up with the free one; with none free it refuses.
TEST(SmimeGeneratorClearSigned, AvoidsEveryBoundaryTheContentHolds) {
    std::string content;
    for (int tag = 0; tag < 4096; ++tag) {
        content += "boundary";
        for (int shift : {8, 4, 0}) content += static_cast<char>('A' + ((tag >> shift) & 0xF));
        content += tag % 2 == 0 ? "\r\n" : " ";
    }
    const std::string withoutKCA = [&] {
        std::string c = content;
        c.replace(c.find("boundaryKCA"), 11, "boundary---");
        return c;
    }();
    const ClearSigned avoided = clearSign(withoutKCA, "sig", digestSHA256);
    EXPECT_EQ(avoided.boundary, "boundaryKCA");
    EXPECT_EQ(avoided.message, expectedClearSigned("sha-256", "boundaryKCA", withoutKCA, "sig"));
    EXPECT_EQ(clearSign(content, "sig", digestSHA1).status, SMIME_BAD_MESSAGE);
}

} // namespace
