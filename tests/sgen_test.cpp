// The S/MIME generator: byte layouts of application/pkcs7-mime and
// multipart/signed, holding and handing over, failures.
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "gss_buffers.h"
#include "openssl_base64.h"
#include "random_bytes.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace {

// The headers as a mail reader sees them, written out here independently.
const std::string kEnvelopedHeader =
    "Content-Type: application/pkcs7-mime;\r\n"
    "   smime-type=enveloped-data;\r\n"
    "   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;\r\n"
    "   filename=smime.p7m\r\n"
    "\r\n";
const std::string kSignedHeader =
    "Content-Type: application/pkcs7-mime;\r\n"
    "   smime-type=signed-data;\r\n"
    "   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;\r\n"
    "   filename=smime.p7m\r\n"
    "\r\n";
const std::string kSignatureHeader =
    "Content-Type: application/pkcs7-signature;name=smime.p7s\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;filename=smime.p7s\r\n"
    "\r\n";

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
    std::string bytes(static_cast<const char*>(message.value), message.length);
    std::free(message.value);
    return bytes;
}

// --- application/pkcs7-mime ---------------------------------------------------

TEST(SmimeGeneratorHeaders, HaveTheirExactLengths) {
    EXPECT_EQ(kEnvelopedHeader.size(), 183u);
    EXPECT_EQ(kSignedHeader.size(), 180u);
    EXPECT_EQ(kSignatureHeader.size(), 147u);
}

TEST(SmimeGeneratorInsert, PutsTheHeaderBeforeTheBase64Lines) {
    struct Case {
        const char* name;
        bool enveloped;
        std::string pidu;
        std::string expected;
    };
    const Case cases[] = {
        {"enveloped \"abc\": 187 bytes, no final line break", true, "abc", kEnvelopedHeader + "YWJj"},
        {"signed \"abc\"", false, "abc", kSignedHeader + "YWJj"},
        {"54 bytes make one full line", true, std::string(54, '\0'), kEnvelopedHeader + std::string(72, 'A')},
        {"55 bytes break after 72 characters", false, std::string(55, '\0'),
         kSignedHeader + std::string(72, 'A') + "\nAA=="},
        {"an empty token leaves the header alone", true, "", kEnvelopedHeader},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smimeGenerator generator;
        const gss_buffer_desc pidu = {static_cast<OM_uint32>(c.pidu.size()), const_cast<char*>(c.pidu.data() + 0)};
        ASSERT_EQ(c.enveloped ? generator.insertEnvelopedData(&pidu) : generator.insertSignedData(&pidu), SMIME_OK);
        EXPECT_EQ(generator.getMessageType(), c.enveloped ? messageEnvelopedData : messageSignedData);
        EXPECT_EQ(takeMessage(generator), c.expected);
        EXPECT_EQ(generator.getMessageType(), messageNone);
    }
    EXPECT_EQ(kEnvelopedHeader.size() + 4, 187u);
}

TEST(SmimeGeneratorInsert, EncodesLargeTokensLikeOpenSSL) {
    const std::string token = randomBytes(100000, 21);
    smimeGenerator generator;
    const gss_buffer_desc pidu = viewOf(token);
    ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK);
    EXPECT_EQ(takeMessage(generator), kSignedHeader + opensslMimeBase64(token));
}

TEST(SmimeGeneratorInsert, RefusesWithoutAToken) {
    struct Case {
        const char* name;
        bool nullDescriptor;
        const char* record;
    };
    const Case cases[] = {
        {"null descriptor", true, "smimeGenerator::CreateNativeMessage():  pidu buffer is NULL"},
        {"null value", false, "smimeGenerator::CreateNativeMessage():  pidu buffer points to NULL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smimeGenerator generator;
        TraceCapture capture;
        const gss_buffer_desc noValue = {3, nullptr};
        EXPECT_EQ(generator.insertEnvelopedData(c.nullDescriptor ? nullptr : &noValue), SMIME_NULL_PARAMETER);
        EXPECT_EQ(capture.texts(VekTrace::kLevelInfo), std::vector<std::string>{c.record});
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
    TraceCapture capture;
    EXPECT_EQ(generator.insertSignedData(&secondPidu), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &secondPidu, &secondPidu), SMIME_MESSAGE_ALREADY_SET);
    EXPECT_TRUE(capture.hasText(VekTrace::kLevelInfo, "smimeGenerator::CreateNativeMessage():  data is already present"));
    EXPECT_EQ(generator.getMessageType(), messageEnvelopedData);
    EXPECT_EQ(takeMessage(generator), kEnvelopedHeader + opensslMimeBase64(first));
}

TEST(SmimeGeneratorInsert, WritesItsTraceRecords) {
    smimeGenerator generator;
    TraceCapture capture;
    const std::string token = "abc";
    const gss_buffer_desc pidu = viewOf(token);
    ASSERT_EQ(generator.insertEnvelopedData(&pidu), SMIME_OK);
    const std::vector<std::string> entries = {"smimeGenerator::insertEnvelopedData()",
                                              "smimeGenerator::CreateNativeMessage()", "sbase64::encode()"};
    EXPECT_EQ(capture.texts(VekTrace::kLevelEntry), entries);
    EXPECT_EQ(capture.texts(VekTrace::kLevelInfo),
              std::vector<std::string>{"smimeGenerator::CreateNativeMessage(): base64-encoding PIDU"});
    EXPECT_EQ(capture.records().front().file, "src/sgen");
}

// Fails each allocation of one insert in turn: each gives 15 and leaves the
// generator empty and able to work.
TEST(SmimeGeneratorInsert, EveryAllocationFailureGives15AndLeavesItEmpty) {
    const std::string token = randomBytes(300, 8);
    const std::string content = "content\r\n";
    const gss_buffer_desc pidu = viewOf(token);
    const gss_buffer_desc signedContent = viewOf(content);
    for (bool clearSigned : {false, true}) {
        int failures = 0;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(clearSigned ? "clear-signed, " : "signed, ") + "allocation " + std::to_string(n));
            smimeGenerator generator;
            unsigned status;
            {
                MallocFailure failure(n);
                status = clearSigned ? generator.insertMultipartAndSignedData(digestSHA256, &signedContent, &pidu)
                                     : generator.insertSignedData(&pidu);
            }
            if (mallocCallsSinceArmed() < n) {
                EXPECT_EQ(status, SMIME_OK);
                break;
            }
            ++failures;
            EXPECT_EQ(status, SMIME_NO_MEMORY);
            EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
            ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK) << "still usable";
        }
        // The message's own block at least, and the signature part's too.
        EXPECT_GE(failures, clearSigned ? 2 : 1);
    }
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

TEST(SmimeGeneratorHandOver, FreeAndDestructorReleaseWithARecord) {
    const std::string token = "token";
    const gss_buffer_desc pidu = viewOf(token);
    TraceCapture capture;
    {
        smimeGenerator generator;
        ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK);
        EXPECT_EQ(generator.freeMessage(), SMIME_OK);
        ASSERT_EQ(generator.insertSignedData(&pidu), SMIME_OK);
    } // the leak checker of the sanitizer build proves the destructor released it
    EXPECT_TRUE(capture.hasText(VekTrace::kLevelInfo, "smimeGenerator:freeMessage:  release gss_buffer "));
    EXPECT_TRUE(capture.hasText(VekTrace::kLevelInfo, "smimeGenerator:  release gss_buffer "));
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
    std::string message;
    std::string boundary;
};

ClearSigned clearSign(const std::string& content, const std::string& signature, digestAlgorithm_t digest) {
    smimeGenerator generator;
    const gss_buffer_desc contentBuffer = viewOf(content);
    const gss_buffer_desc signatureBuffer = viewOf(signature);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digest, &contentBuffer, &signatureBuffer), SMIME_OK);
    EXPECT_EQ(generator.getMessageType(), messageClearSigned);
    ClearSigned result{takeMessage(generator), ""};
    // The boundary parameter: "boundary" and three letters from A to P.
    const std::string parameter = "boundary=boundary";
    const std::size_t at = result.message.find(parameter);
    if (at != std::string::npos && result.message.size() >= at + parameter.size() + 5) {
        const std::string tag = result.message.substr(at + parameter.size(), 3);
        const bool letters = tag.find_first_not_of("ABCDEFGHIJKLMNOP") == std::string::npos;
        if (letters && result.message.compare(at + parameter.size() + 3, 2, "\r\n") == 0)
            result.boundary = "boundary" + tag;
    }
    return result;
}

std::string expectedClearSigned(const std::string& micalg, const std::string& b, const std::string& content,
                                const std::string& signature) {
    return "Content-Type: multipart/signed;\r\n"
           " protocol=\"application/pkcs7-signature\";\r\n"
           " micalg=" +
           micalg + "; boundary=" + b + "\r\n\r\n--" + b + "\r\n" + content + "\r\n--" + b + "\r\n" +
           kSignatureHeader + opensslMimeBase64(signature) + "\r\n\r\n--" + b + "--\r\n";
}

TEST(SmimeGeneratorClearSigned, LaysOutContentAndSignatureByteForByte) {
    const std::string contents[] = {
        "Content-Type: text/plain\r\n\r\nHello\r\n",
        "bare\nline\nfeeds\n",
        std::string("nul\0bytes\0", 10),
        std::string(5000, 'x') + "\r\n" + std::string(1023, 'y'),
        "",
    };
    const std::string signature = randomBytes(700, 31);
    for (const auto& content : contents) {
        SCOPED_TRACE(content.substr(0, 20));
        const ClearSigned result = clearSign(content, signature, digestSHA1);
        ASSERT_EQ(result.boundary.size(), 11u) << "\"boundary\" and three letters from A to P";
        EXPECT_EQ(result.message, expectedClearSigned("sha1", result.boundary, content, signature));
    }
}

TEST(SmimeGeneratorClearSigned, NamesTheDigestInMicalg) {
    struct Case {
        unsigned digest;
        const char* micalg;
    };
    const Case cases[] = {{digestMD2, "md2"},         {digestMD5, "md5"},         {digestSHA1, "sha1"},
                          {digestSHA256, "sha-256"},  {digestSHA384, "sha-384"},  {digestSHA512, "sha-512"},
                          {0, ""},                    {0x700, ""},                {0x101, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digest);
        const ClearSigned result = clearSign("text", "sig", static_cast<digestAlgorithm_t>(c.digest));
        EXPECT_NE(result.message.find(std::string(" micalg=") + c.micalg + "; boundary="), std::string::npos)
            << result.message.substr(0, 120);
    }
}

// Every boundary string but one occurs in the content: the generator must end
// up with the free one.
TEST(SmimeGeneratorClearSigned, AvoidsEveryBoundaryTheContentHolds) {
    std::string content;
    for (char a = 'A'; a <= 'P'; ++a)
        for (char b = 'A'; b <= 'P'; ++b)
            for (char c = 'A'; c <= 'P'; ++c)
                if (!(a == 'K' && b == 'C' && c == 'A')) content += std::string("boundary") + a + b + c + "\r\n";
    const ClearSigned result = clearSign(content, "sig", digestSHA256);
    EXPECT_EQ(result.boundary, "boundaryKCA");
    EXPECT_EQ(result.message, expectedClearSigned("sha-256", "boundaryKCA", content, "sig"));
}

TEST(SmimeGeneratorClearSigned, RefusesContentHoldingEveryBoundary) {
    std::string content;
    for (int tag = 0; tag < 4096; ++tag) {
        content += "boundary";
        content += static_cast<char>('A' + (tag >> 8));
        content += static_cast<char>('A' + ((tag >> 4) & 0xF));
        content += static_cast<char>('A' + (tag & 0xF));
    }
    smimeGenerator generator;
    const std::string signature = "sig";
    const gss_buffer_desc contentBuffer = viewOf(content);
    const gss_buffer_desc signatureBuffer = viewOf(signature);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &contentBuffer, &signatureBuffer), SMIME_BAD_MESSAGE);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
}

TEST(SmimeGeneratorClearSigned, RefusesMissingArguments) {
    smimeGenerator generator;
    const std::string text = "text";
    const gss_buffer_desc buffer = viewOf(text);
    const gss_buffer_desc noValue = {4, nullptr};
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &buffer, nullptr), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &buffer, &noValue), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, nullptr, &buffer), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &noValue, &buffer), SMIME_NULL_PARAMETER);
    EXPECT_EQ(generator.freeMessage(), SMIME_GENERATOR_EMPTY);
}

} // namespace
