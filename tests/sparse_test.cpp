// The MIME stream scanner and the S/MIME parser, on messages as other
// producers write them and on the generator's own output.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "random_bytes.h"
#include "smimestream.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace {

mimeInfo_T scan(const std::string& message) {
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(stream.getMimeInfo(&info), SMIME_OK);
    return info;
}

std::string payloadOf(const std::string& message) {
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    stream.getMimeInfo(&info);
    gss_buffer_desc payload = {0, nullptr};
    EXPECT_EQ(stream.getpayload(&payload), SMIME_OK);
    return take(payload);
}

// --- classification -----------------------------------------------------------

struct TypeCase {
    const char* name;
    std::string message;
    messageType_t type;
    transferEncoding_t encoding;
};

const TypeCase kTypes[] = {
    {"enveloped data folded over three lines",
     "Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;\r\n   name=smime.p7m\r\n"
     "Content-Transfer-Encoding: base64\r\n\r\nMIIB",
     messageEnvelopedData, encodingBase64},
    {"names and values in any case",
     "CONTENT-TYPE: Application/PKCS7-MIME; SMIME-TYPE=Signed-Data\r\ncontent-transfer-encoding: BASE64\r\n\r\n",
     messageSignedData, encodingBase64},
    {"the x- form of pkcs7-mime", "Content-Type: application/x-pkcs7-mime; smime-type=enveloped-data\r\n\r\n",
     messageEnvelopedData, encodingNone},
    {"quoted smime-type and a name before it",
     "Content-Type: application/pkcs7-mime; name=\"smime.p7m\"; smime-type=\"signed-data\"\r\n\r\n",
     messageSignedData, encodingNone},
    {"folded with four spaces, as another producer writes it",
     "MIME-Version: 1.0\r\nContent-Type: application/pkcs7-mime; name=smime.p7m;\r\n    smime-type=signed-data\r\n"
     "Content-Transfer-Encoding: base64\r\n\r\n",
     messageSignedData, encodingBase64},
    {"pkcs7-mime without smime-type", "Content-Type: application/pkcs7-mime; name=smime.p7m\r\n\r\n", messageUnknown,
     encodingNone},
    {"an unknown smime-type", "Content-Type: application/pkcs7-mime; smime-type=certs-only\r\n\r\n", messageUnknown,
     encodingNone},
    {"a detached signature", "Content-Type: application/pkcs7-signature; name=smime.p7s\r\n\r\n", messageSignature,
     encodingNone},
    {"the x- form of a signature", "Content-Type: application/x-pkcs7-signature\r\n\r\n", messageSignature,
     encodingNone},
    {"another media type", "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nhi", messageUnknown,
     encoding7bit},
    {"no Content-Type at all", "Subject: hello\r\n\r\nbody", messageUntyped, encodingNone},
    {"printable-encoded", "Content-Type: text/plain\r\nContent-Transfer-Encoding: printable-encoded\r\n\r\n",
     messageUnknown, encodingPrintable},
    {"an unknown transfer encoding", "Content-Transfer-Encoding: quoted-printable\r\n\r\n", messageUntyped,
     encodingNone},
    {"a later Content-Type overrides",
     "Content-Type: application/pkcs7-signature\r\nContent-Type: application/pkcs7-mime; smime-type=enveloped-data\r\n\r\n",
     messageEnvelopedData, encodingNone},
    {"clear-signed with an unknown protocol",
     "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=b\r\n\r\n", messageUnknown,
     encodingNone},
    {"multipart/signed without a protocol", "Content-Type: multipart/signed; boundary=b\r\n\r\n", messageUntyped,
     encodingNone},
    {"a space before the semicolon hides the parameters",
     "Content-Type: multipart/signed ; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n", messageUntyped,
     encodingNone},
    {"a first line that is empty: no header section", "\r\nContent-Type: application/pkcs7-signature\r\n\r\n",
     messageUntyped, encodingNone},
    {"LF-only input: only the first header counts",
     "Content-Type: application/pkcs7-mime; smime-type=enveloped-data\nContent-Transfer-Encoding: base64\n\nMIIB\n",
     messageEnvelopedData, encodingNone},
};

TEST(SMimeStreamGetMimeInfo, ClassifiesMessages) {
    for (const auto& c : kTypes) {
        SCOPED_TRACE(c.name);
        const mimeInfo_T info = scan(c.message);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.transferEncoding, c.encoding);
    }
}

TEST(SMimeStreamGetMimeInfo, ReadsClearSignedParametersInAnyOrder) {
    const char* const headers[] = {
        "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha1; boundary=abcd\r\n",
        "Content-Type: multipart/signed; boundary=abcd; micalg=sha1; protocol=\"application/pkcs7-signature\"\r\n",
        "Content-Type: multipart/signed;\r\n\tmicalg=sha1;\r\n\tboundary=\"abcd\";\r\n\tprotocol=application/x-pkcs7-signature\r\n",
    };
    for (const char* header : headers) {
        SCOPED_TRACE(header);
        const std::string message = std::string(header) + "\r\n--abcd\r\npart\r\n--abcd--\r\n";
        SMimeStream stream(message.data(), message.size());
        mimeInfo_T info;
        ASSERT_EQ(stream.getMimeInfo(&info), SMIME_OK);
        EXPECT_EQ(info.type, messageClearSigned);
        EXPECT_STREQ(info.micalg, "sha1");
        EXPECT_STREQ(info.boundary, "abcd");
        EXPECT_STREQ(stream.delimiter(), "--abcd\r");
        EXPECT_STREQ(stream.closeDelimiter(), "--abcd--\r");
    }
}

TEST(SMimeStreamGetMimeInfo, AQuoteNeverClosedOnlyVanishes) {
    const mimeInfo_T info =
        scan("Content-Type: multipart/signed; boundary=\"b=1; protocol=application/pkcs7-signature\r\n\r\n");
    EXPECT_EQ(info.type, messageClearSigned);
    EXPECT_STREQ(info.boundary, "b");
}

TEST(SMimeStreamGetMimeInfo, KeepsQuotedBoundariesWhole) {
    const char* const boundaries[] = {"----=_NextPart_000_0012_01D0", "===============4172364815==",
                                      "------------ms030903020902020502030404", "a b;c:d"};
    for (const char* boundary : boundaries) {
        SCOPED_TRACE(boundary);
        const mimeInfo_T info = scan(std::string("Content-Type: multipart/signed; boundary=\"") + boundary +
                                     "\"; protocol=\"application/pkcs7-signature\"; micalg=sha-256\r\n\r\n");
        EXPECT_EQ(info.type, messageClearSigned);
        EXPECT_STREQ(info.boundary, boundary);
        EXPECT_STREQ(info.micalg, "sha-256");
    }
}

TEST(SMimeStreamGetMimeInfo, CutsLongBoundaryAndMicalg) {
    const std::string boundary(80, 'b');
    const std::string micalg(25, 'm');
    const mimeInfo_T info = scan("Content-Type: multipart/signed; protocol=application/pkcs7-signature; micalg=" +
                                 micalg + "; boundary=" + boundary + "\r\n\r\n");
    EXPECT_EQ(std::string(info.boundary), boundary.substr(0, 70));
    EXPECT_EQ(std::string(info.micalg), micalg.substr(0, 19));
}

TEST(SMimeStreamGetMimeInfo, RefusesANullRecord) {
    const std::string message = "Content-Type: text/plain\r\n\r\n";
    SMimeStream stream(message.data(), message.size());
    EXPECT_EQ(stream.getMimeInfo(nullptr), SMIME_NULL_PARAMETER);
}

TEST(SMimeStreamGetMimeInfo, WritesARecordPerHeaderLine) {
    TraceCapture capture;
    scan("A: 1\r\nB: 2\r\n 2b\r\nC: 3\r\n\r\nbody");
    EXPECT_EQ(capture.texts(VekTrace::kLevelInfo),
              std::vector<std::string>(3, "SMimeStream::getMimeInfo() examining header line..."));
    EXPECT_EQ(capture.texts(VekTrace::kLevelEntry), std::vector<std::string>{"SMimeStream::getMimeInfo"});
}

// --- payload ------------------------------------------------------------------

TEST(SMimeStreamGetpayload, StartsAfterTheHeaderSection) {
    struct Case {
        const char* name;
        std::string message;
        std::string payload;
    };
    const Case cases[] = {
        {"the usual empty line", "Content-Type: text/plain\r\n\r\nline 1\r\nline 2\r\n", "line 1\r\nline 2\r\n"},
        {"a first empty line: all after it", "\r\nA: b\r\n\r\nc", "A: b\r\n\r\nc"},
        {"no empty line: nothing", "A: b\r\nC: d\r\n", ""},
        {"LF-only: one header line to the end", "A: b\nC: d\n\nbody\n", ""},
        {"a body starting with a space continues the headers", "A: b\r\n\r\n body\r\n\r\nrest", "rest"},
        {"binary body kept whole", std::string("A: b\r\n\r\n\0\r\x80\n", 12), std::string("\0\r\x80\n", 4)},
        {"a CR of its own is part of a header line", "A: b\rc\r\n\r\nbody", "body"},
        {"a line that is only a CR is a header line", "A: b\r\n\r\r\nX: y\r\n\r\nbody", "body"},
        {"tabs and spaces start a continuation", "A: b\r\n \t c\r\n\r\nbody", "body"},
        {"a continuation swallows the blank lines after it", "A: b\r\n \r\n\r\nbody\r\n\r\nrest", "rest"},
        {"a header ending in a CR at the end", "A: b\r", ""},
        {"a NUL inside a header line", std::string("A: \0b\r\n\r\nbody", 13), "body"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(payloadOf(c.message), c.payload);
    }
}

// Without a header scan, lines are skipped up to the first one with nothing
// before its LF; a line holding a CR is not empty.
TEST(SMimeStreamGetpayload, SkipsToAnEmptyLineWithoutAScanFirst) {
    struct Case {
        const char* name;
        std::string message;
        std::string payload;
    };
    const Case cases[] = {
        {"LF line ends", "A: b\n\npayload", "payload"},
        {"CR LF line ends: no line is empty", "A: b\r\n\r\npayload", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMimeStream stream(c.message.data(), c.message.size());
        gss_buffer_desc payload = {0, nullptr};
        ASSERT_EQ(stream.getpayload(&payload), SMIME_OK);
        EXPECT_EQ(take(payload), c.payload);
    }
}

// --- parts --------------------------------------------------------------------

TEST(SMimeStreamGetPart, HandsOutEachPartThenRefuses) {
    const std::string first = "Content-Type: text/plain\r\n\r\nHello";
    const std::string second = "Content-Type: application/pkcs7-signature\r\n\r\nMIIB";
    const std::string message = "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; "
                                "boundary=\"=b=\"\r\n\r\npreamble\r\n--=b=\r\n" +
                                first + "\r\n--=b=\r\n" + second + "\r\n--=b=--\r\nepilogue\r\n";
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    ASSERT_EQ(stream.getMimeInfo(&info), SMIME_OK);
    gss_buffer_desc part = {0, nullptr};
    ASSERT_EQ(stream.getPart(&part), SMIME_OK);
    EXPECT_EQ(take(part), first);
    ASSERT_EQ(stream.getPart(&part), SMIME_OK);
    EXPECT_EQ(take(part), second);
    EXPECT_EQ(stream.getPart(&part), SMIME_BAD_MESSAGE) << "no delimiter follows the epilogue";
}

TEST(SMimeStreamGetPart, ReportsEmptyAndUnterminatedParts) {
    const std::string header = "Content-Type: multipart/signed; protocol=application/pkcs7-signature; boundary=b\r\n\r\n";
    struct Case {
        const char* name;
        std::string body;
        unsigned status;
    };
    const Case cases[] = {
        {"a delimiter right after the first one", "--b\r\n--b\r\n", SMIME_NO_MESSAGE},
        {"no delimiter at all", "--b\r\ntext\r\n", SMIME_BAD_MESSAGE},
        {"LF-only delimiters never match", "--b\ntext\n--b\n", SMIME_BAD_MESSAGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = header + c.body;
        SMimeStream stream(message.data(), message.size());
        mimeInfo_T info;
        stream.getMimeInfo(&info);
        int marker = 0;
        gss_buffer_desc part = {0, &marker};
        EXPECT_EQ(stream.getPart(&part), c.status);
        EXPECT_EQ(part.value, &marker);
    }
}

// Only a whole line that is a delimiter ends a part: lookalikes inside a
// line, lines that go on after the boundary, and the boundary in the middle
// of text are content.
TEST(SMimeStreamGetPart, EndsOnlyAtAWholeDelimiterLine) {
    const std::string header = "Content-Type: multipart/signed; protocol=application/pkcs7-signature; boundary=bq\r\n\r\n"
                               "--bq\r\n";
    struct Case {
        const char* name;
        std::string body;
        std::string part; // empty: none is found
    };
    const Case cases[] = {
        {"a delimiter", "text\r\n--bq\r\nrest", "text"},
        {"a closing delimiter", "text\r\n--bq--\r\n", "text"},
        {"a delimiter that ends the input without LF", "text\r\n--bq\r", "text"},
        {"the mark inside a line", "a--bq\r\n--bq\r\n", "a--bq"},
        {"a longer boundary", "--bqx\r\nb\r\n--bq\r\n", "--bqx\r\nb"},
        {"the boundary followed by more", "--bq--x\r\n--bq \r\nc\r\n--bq--\r\n", "--bq--x\r\n--bq \r\nc"},
        {"no CR before the LF", "--bq\nd\r\n--bq\r\n", "--bq\nd"},
        {"marks only inside lines", "x--bq\r\ny--bq--\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = header + c.body;
        SMimeStream stream(message.data(), message.size());
        mimeInfo_T info;
        stream.getMimeInfo(&info);
        gss_buffer_desc part = {0, nullptr};
        const unsigned status = stream.getPart(&part);
        if (c.part.empty()) {
            EXPECT_EQ(status, SMIME_BAD_MESSAGE);
            continue;
        }
        ASSERT_EQ(status, SMIME_OK);
        EXPECT_EQ(take(part), c.part);
    }
}

// A delimiter that starts past byte 1023 of a line is no delimiter.
TEST(SMimeStreamGetPart, ReadsLongLinesWhole) {
    const std::string longLine = std::string(1023, 'x') + "--b\r";
    const std::string content = longLine + "\n" + std::string(5000, 'y');
    const std::string message = "Content-Type: multipart/signed; protocol=application/pkcs7-signature; boundary=b\r\n"
                                "\r\n--b\r\n" + content + "\r\n--b--\r\n";
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    stream.getMimeInfo(&info);
    gss_buffer_desc part = {0, nullptr};
    ASSERT_EQ(stream.getPart(&part), SMIME_OK);
    EXPECT_EQ(take(part), content);
}

// --- the parser ---------------------------------------------------------------

TEST(SmimeParserGetMessageType, ScansOnceUntilTheNextMessage) {
    smimeParser parser;
    EXPECT_EQ(parser.getMessageType(), messageNone);
    std::string message = "Content-Type: application/pkcs7-mime; smime-type=enveloped-data\r\n\r\n";
    gss_buffer_desc buffer = viewOf(message);
    EXPECT_EQ(parser.setMessage(&buffer), SMIME_OK);
    EXPECT_EQ(parser.getMessageType(), messageEnvelopedData);
    message.replace(message.find("enveloped"), 9, "signed---");
    EXPECT_EQ(parser.getMessageType(), messageEnvelopedData) << "the first scan is kept";
    message = "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\n";
    buffer = viewOf(message);
    EXPECT_EQ(parser.setMessage(&buffer), SMIME_OK);
    EXPECT_EQ(parser.getMessageType(), messageSignedData);
    const std::string plain = "just text, no headers";
    buffer = viewOf(plain);
    parser.setMessage(&buffer);
    EXPECT_EQ(parser.getMessageType(), messageUntyped);
}

struct Extracted {
    unsigned status;
    std::string object;
    std::string content;
    messageType_t typeAfter;
};

Extracted extract(const std::string& message) {
    smimeParser parser;
    gss_buffer_desc buffer = viewOf(message);
    parser.setMessage(&buffer);
    gss_buffer_desc object = {0, nullptr};
    gss_buffer_desc content = {0, nullptr};
    Extracted result;
    result.status = parser.getPKCS7Object(&object, &content);
    result.object = object.value != nullptr ? take(object) : std::string();
    result.content = content.value != nullptr ? take(content) : std::string();
    result.typeAfter = parser.getMessageType();
    return result;
}

// What the generator builds, the parser takes apart again, whatever bytes
// the token and the content hold.
TEST(SmimeParserGetPKCS7Object, TakesApartWhatTheGeneratorBuilds) {
    const std::string contents[] = {
        "Content-Type: text/plain\r\n\r\nHello\r\n",
        "bare\nline\nfeeds\n",
        std::string("nul\0bytes\0\r\n", 12),
        std::string(3000, 'x') + "\r\n--boundaryAAA\r\n" + std::string(1500, 'z'),
    };
    const std::string token = randomBytes(1000, 17);
    const gss_buffer_desc tokenBuffer = viewOf(token);
    for (const auto& content : contents) {
        SCOPED_TRACE(content.substr(0, 16));
        smimeGenerator generator;
        const gss_buffer_desc contentBuffer = viewOf(content);
        ASSERT_EQ(generator.insertMultipartAndSignedData(digestSHA256, &contentBuffer, &tokenBuffer), SMIME_OK);
        gss_buffer_desc built = {0, nullptr};
        ASSERT_EQ(generator.getMessageReference(&built), SMIME_OK);
        const std::string message = take(built);
        smimeParser classifier;
        gss_buffer_desc view = viewOf(message);
        classifier.setMessage(&view);
        EXPECT_EQ(classifier.getMessageType(), messageClearSigned);
        const Extracted result = extract(message);
        EXPECT_EQ(result.status, SMIME_OK);
        EXPECT_EQ(result.content, content);
        EXPECT_EQ(result.object, token);
        EXPECT_EQ(result.typeAfter, messageSignature);
    }
    for (bool enveloped : {true, false}) {
        SCOPED_TRACE(enveloped ? "enveloped" : "signed");
        smimeGenerator generator;
        ASSERT_EQ(enveloped ? generator.insertEnvelopedData(&tokenBuffer) : generator.insertSignedData(&tokenBuffer),
                  SMIME_OK);
        gss_buffer_desc built = {0, nullptr};
        ASSERT_EQ(generator.getMessageReference(&built), SMIME_OK);
        const Extracted result = extract(take(built));
        EXPECT_EQ(result.status, SMIME_OK);
        EXPECT_EQ(result.object, token);
        EXPECT_EQ(result.content, "");
        EXPECT_EQ(result.typeAfter, enveloped ? messageEnvelopedData : messageSignedData);
    }
}

TEST(SmimeParserGetPKCS7Object, HandsOutBodiesByTransferEncoding) {
    struct Case {
        const char* name;
        std::string message;
        std::string object;
    };
    const Case cases[] = {
        {"7bit body unchanged", "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nbody\r\n", "body\r\n"},
        {"no transfer encoding: unchanged", "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\n0\x80",
         "0\x80"},
        {"printable-encoded is not decoded: nothing",
         "Content-Type: text/plain\r\nContent-Transfer-Encoding: printable-encoded\r\n\r\nbody", ""},
        {"plain text without headers of its own", "hello\r\n\r\nworld", "world"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Extracted result = extract(c.message);
        EXPECT_EQ(result.status, SMIME_OK);
        EXPECT_EQ(result.object, c.object);
        EXPECT_EQ(result.content, "");
    }
}

TEST(SmimeParserGetPKCS7Object, RefusesAndLeavesTheOutputs) {
    struct Case {
        const char* name;
        std::string message;
        unsigned status;
    };
    const Case cases[] = {
        {"a base64 body that is not base64",
         "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\nContent-Transfer-Encoding: base64\r\n\r\nno!",
         SMIME_NULL_PARAMETER},
        {"clear-signed without its signature part",
         "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n--b\r\ntext\r\n"
         "--b--\r\n",
         SMIME_BAD_MESSAGE},
        {"clear-signed without any delimiter",
         "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\ntext\r\n",
         SMIME_BAD_MESSAGE},
        {"clear-signed with a signature that is not base64",
         "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n--b\r\ntext\r\n"
         "--b\r\nContent-Type: application/pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\n@@@@\r\n--b--\r\n",
         SMIME_NULL_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Extracted result = extract(c.message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.object, "");
        EXPECT_EQ(result.content, "") << "nothing is handed out on failure";
    }
}

TEST(SmimeParserGetPKCS7Object, NeedsEmptyOutputsAndAMessage) {
    smimeParser parser;
    gss_buffer_desc object = {0, nullptr};
    gss_buffer_desc content = {0, nullptr};
    EXPECT_EQ(parser.getPKCS7Object(&object, &content), SMIME_NO_MESSAGE);
    const std::string message = "Content-Type: text/plain\r\n\r\nbody";
    gss_buffer_desc buffer = viewOf(message);
    parser.setMessage(&buffer);
    int marker = 0;
    gss_buffer_desc used = {4, &marker};
    EXPECT_EQ(parser.getPKCS7Object(&used, &content), SMIME_OUTPUT_NOT_EMPTY);
    EXPECT_EQ(parser.getPKCS7Object(&object, &used), SMIME_OUTPUT_NOT_EMPTY);
    EXPECT_EQ(used.value, &marker);
    EXPECT_EQ(content.value, nullptr);
    EXPECT_EQ(parser.getPKCS7Object(nullptr, &content), SMIME_NULL_PARAMETER);
}

TEST(SmimeParserGetPKCS7Object, WritesItsProgressRecords) {
    smimeGenerator generator;
    const std::string token = "token";
    const gss_buffer_desc tokenBuffer = viewOf(token);
    ASSERT_EQ(generator.insertMultipartAndSignedData(digestSHA1, &tokenBuffer, &tokenBuffer), SMIME_OK);
    gss_buffer_desc built = {0, nullptr};
    generator.getMessageReference(&built);
    const std::string message = take(built);
    TraceCapture capture;
    extract(message);
    std::vector<std::string> progress;
    for (const auto& text : capture.texts(VekTrace::kLevelInfo))
        if (text.rfind("smimeParser::", 0) == 0) progress.push_back(text);
    const std::vector<std::string> expected = {
        "smimeParser::getPKCS7Object() instantiating the SMimeStream...",
        "smimeParser::getPKCS7Object() parsing MIME info...",
        "smimeParser::getPKCS7Object() parsing clearsigned message...",
        "smimeParser::getPKCS7Object() extracting clear-text part...",
        "smimeParser::getPKCS7Object() extracting signature token...",
        "smimeParser::getPKCS7Object() extracting MIME info for sig token...",
        "smimeParser::getPKCS7Object() payload extracted...",
        "smimeParser::getPKCS7Object() decoding base64...",
    };
    EXPECT_EQ(progress, expected);
}

// --- messages written by another S/MIME implementation ------------------------------

std::string corpusFolder() { return std::string(SMIME_SOURCE_DIR) + "/../shared/interop-corpus/nss"; }

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SmimeParserInterop, TakesApartEveryCorpusMessage) {
    if (!std::filesystem::is_directory(corpusFolder()))
        GTEST_SKIP() << "the interop corpus is not beside the source tree: " << corpusFolder();
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpusFolder())) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".eml") continue;
        SCOPED_TRACE(name);
        ++seen;
        const std::string message = readFile(entry.path());
        // Names list the layers from the inside out: the last one named is the
        // outermost.
        const std::size_t lastMultipart = name.rfind("multipart");
        const std::size_t lastOpaque = name.rfind("opaque");
        const bool clearSigned =
            lastMultipart != std::string::npos && (lastOpaque == std::string::npos || lastMultipart > lastOpaque);
        smimeParser parser;
        gss_buffer_desc buffer = viewOf(message);
        parser.setMessage(&buffer);
        EXPECT_EQ(parser.getMessageType(), clearSigned ? messageClearSigned : messageSignedData);
        const Extracted result = extract(message);
        ASSERT_EQ(result.status, SMIME_OK);
        ASSERT_GE(result.object.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(result.object[0]), 0x30) << "a DER or BER SEQUENCE";
        if (clearSigned) {
            EXPECT_EQ(result.typeAfter, messageSignature);
            EXPECT_EQ(result.content.rfind("Content-Type:", 0), 0u) << "the first part starts with its headers";
        } else {
            EXPECT_EQ(result.content, "");
        }
    }
    EXPECT_EQ(seen, 36);
}

} // namespace
