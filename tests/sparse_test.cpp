// The MIME stream scanner and the S/MIME parser, on messages as other
// producers write them and on the generator's own output.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "random_bytes.h"
#include "smimestream.h"
#include "vek4kivosmime.h"

namespace {

const std::string kClearSigned = "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; ";

struct ScanCase {
    const char* name;
    std::string message;
    messageType_t type;
    transferEncoding_t encoding = encodingNone;
    std::string boundary = "";
    std::string micalg = "";
};

const std::string kPkcs7 = "Content-Type: application/pkcs7-mime; ";
const ScanCase kScans[] = {
    {"enveloped data folded over three lines", "Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;"
     "\r\n   name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n\r\nMIIB", messageEnvelopedData, encodingBase64},
    {"names and values in any case", "CONTENT-TYPE: Application/PKCS7-MIME; SMIME-TYPE=Signed-Data\r\n"
     "content-transfer-encoding: BASE64\r\n\r\n", messageSignedData, encodingBase64},
    {"the x- form", "Content-Type: application/x-pkcs7-mime; smime-type=enveloped-data\r\n\r\n", messageEnvelopedData},
    {"quoted smime-type after a name", kPkcs7 + "name=\"smime.p7m\"; smime-type=\"signed-data\"\r\n\r\n",
     messageSignedData},
    {"folded with four spaces", "MIME-Version: 1.0\r\n" + kPkcs7 + "name=smime.p7m;\r\n    smime-type=signed-data\r\n"
     "Content-Transfer-Encoding: base64\r\n\r\n", messageSignedData, encodingBase64},
    {"pkcs7-mime without smime-type", kPkcs7 + "name=smime.p7m\r\n\r\n", messageUnknown},
    {"an unknown smime-type", kPkcs7 + "smime-type=certs-only\r\n\r\n", messageUnknown},
    {"a detached signature", "Content-Type: application/pkcs7-signature; name=smime.p7s\r\n\r\n", messageSignature},
    {"the x- form of a signature", "Content-Type: application/x-pkcs7-signature\r\n\r\n", messageSignature},
    {"another media type", "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nhi", messageUnknown,
     encoding7bit},
    {"no Content-Type at all", "Subject: hello\r\n\r\nbody", messageUntyped},
    {"printable-encoded", "Content-Type: text/plain\r\nContent-Transfer-Encoding: printable-encoded\r\n\r\n",
     messageUnknown, encodingPrintable},
    {"an unknown transfer encoding", "Content-Transfer-Encoding: quoted-printable\r\n\r\n", messageUntyped},
    {"a later Content-Type overrides", "Content-Type: application/pkcs7-signature\r\n" + kPkcs7 +
     "smime-type=enveloped-data\r\n\r\n", messageEnvelopedData},
    {"an unknown protocol", "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; boundary=b\r\n\r\n",
     messageUnknown, encodingNone, "b"},
    {"no protocol", "Content-Type: multipart/signed; boundary=b\r\n\r\n", messageUntyped, encodingNone, "b"},
    {"a space before the semicolon hides the parameters",
     "Content-Type: multipart/signed ; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n", messageUntyped},
    {"a first line that is empty: no header section", "\r\nContent-Type: application/pkcs7-signature\r\n\r\n",
     messageUntyped},
    {"LF-only input: only the first header counts",
     kPkcs7 + "smime-type=enveloped-data\nContent-Transfer-Encoding: base64\n\nMIIB\n", messageEnvelopedData},
    {"clear-signed, protocol first", kClearSigned + "micalg=sha1; boundary=abcd\r\n\r\n--abcd\r\n", messageClearSigned,
     encodingNone, "abcd", "sha1"},
    {"clear-signed, protocol last", "Content-Type: multipart/signed; boundary=abcd; micalg=sha1; "
     "protocol=\"application/pkcs7-signature\"\r\n\r\n", messageClearSigned, encodingNone, "abcd", "sha1"},
    {"clear-signed, folded with tabs, x- protocol", "Content-Type: multipart/signed;\r\n\tmicalg=sha1;\r\n\t"
     "boundary=\"abcd\";\r\n\tprotocol=application/x-pkcs7-signature\r\n\r\n", messageClearSigned, encodingNone,
     "abcd", "sha1"},
    {"a quote never closed only vanishes", "Content-Type: multipart/signed; boundary=\"b=1; "
     "protocol=application/pkcs7-signature\r\n\r\n", messageClearSigned, encodingNone, "b"},
    {"quoted boundary with = and _", kClearSigned + "boundary=\"----=_NextPart_000_0012_01D0\"\r\n\r\n",
     messageClearSigned, encodingNone, "----=_NextPart_000_0012_01D0"},
    {"quoted boundary ending in ==", kClearSigned + "boundary=\"===============4172364815==\"; micalg=sha-256\r\n\r\n",
     messageClearSigned, encodingNone, "===============4172364815==", "sha-256"},
    {"quoted boundary with space, ; and :", kClearSigned + "boundary=\"a b;c:d\"\r\n\r\n", messageClearSigned,
     encodingNone, "a b;c:d"},
    {"long boundary and micalg are cut", kClearSigned + "micalg=" + std::string(25, 'm') + "; boundary=" +
     std::string(80, 'b') + "\r\n\r\n", messageClearSigned, encodingNone, std::string(70, 'b'), std::string(19, 'm')},
};

TEST(SMimeStreamGetMimeInfo, ClassifiesMessages) {
    for (const auto& c : kScans) {
        SCOPED_TRACE(c.name);
        SMimeStream stream(c.message.data(), c.message.size());
        mimeInfo_T info;
        std::memset(&info, 0x5A, sizeof info);
        ASSERT_EQ(stream.getMimeInfo(&info), SMIME_OK);
        EXPECT_EQ(info.type, c.type);
        EXPECT_EQ(info.transferEncoding, c.encoding);
        EXPECT_EQ(info.boundary, c.boundary);
        EXPECT_EQ(info.micalg, c.micalg);
    }
    SMimeStream stream("", 0);
    EXPECT_EQ(stream.getMimeInfo(nullptr), SMIME_NULL_PARAMETER);
}

// With a header scan first, and without one: then lines are skipped up to the
// first one with nothing before its LF, and a line holding a CR is not empty.
TEST(SMimeStreamGetpayload, StartsAfterTheHeaderSection) {
    const struct {
        const char* name;
        std::string message;
        std::string payload;
        bool scanFirst = true;
    } cases[] = {
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
        {"no scan, LF line ends", "A: b\n\npayload", "payload", false},
        {"no scan, CR LF line ends: no line is empty", "A: b\r\n\r\npayload", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMimeStream stream(c.message.data(), c.message.size());
        mimeInfo_T info;
        if (c.scanFirst) {
            ASSERT_EQ(stream.getMimeInfo(&info), SMIME_OK);
        }
        gss_buffer_desc payload = {0, nullptr};
        ASSERT_EQ(stream.getpayload(&payload), SMIME_OK);
        ASSERT_NE(payload.value, nullptr) << "an empty payload gets a block too";
        EXPECT_EQ(take(payload), c.payload);
    }
}

// Only a whole line that is a delimiter ends a part: lookalikes inside a
// line, lines that go on after the boundary, and the boundary in the middle
// of text are content. A delimiter past byte 1023 of a line is none either.
TEST(SMimeStreamGetPart, HandsOutEachPartUpToAWholeDelimiterLine) {
    const std::string longLine = std::string(1023, 'x') + "--bq\r\n" + std::string(5000, 'y');
    const struct {
        const char* name;
        std::string body; // after the header section
        std::vector<std::string> parts;
        unsigned then; // the status of the call after the last part
    } cases[] = {
        {"two parts, preamble and epilogue", "preamble\r\n--bq\r\nContent-Type: text/plain\r\n\r\nHello\r\n--bq\r\n"
         "MIIB\r\n--bq--\r\nepilogue\r\n", {"Content-Type: text/plain\r\n\r\nHello", "MIIB"}, SMIME_BAD_MESSAGE},
        {"a closing delimiter", "--bq\r\ntext\r\n--bq--\r\n", {"text"}, SMIME_BAD_MESSAGE},
        {"a delimiter that ends the input without LF", "--bq\r\ntext\r\n--bq\r", {"text"}, SMIME_BAD_MESSAGE},
        {"a delimiter right after the first one", "--bq\r\n--bq\r\n", {}, SMIME_NO_MESSAGE},
        {"no delimiter after the text", "--bq\r\ntext\r\n", {}, SMIME_BAD_MESSAGE},
        {"LF-only delimiters never match", "--bq\ntext\n--bq\n", {}, SMIME_BAD_MESSAGE},
        {"the mark inside a line", "--bq\r\na--bq\r\n--bq\r\n", {"a--bq"}, SMIME_BAD_MESSAGE},
        {"a longer boundary", "--bq\r\n--bqx\r\nb\r\n--bq\r\n", {"--bqx\r\nb"}, SMIME_BAD_MESSAGE},
        {"the boundary followed by more", "--bq\r\n--bq--x\r\n--bq \r\nc\r\n--bq--\r\n", {"--bq--x\r\n--bq \r\nc"},
         SMIME_BAD_MESSAGE},
        {"no CR before the LF", "--bq\r\n--bq\nd\r\n--bq\r\n", {"--bq\nd"}, SMIME_BAD_MESSAGE},
        {"marks only inside lines", "--bq\r\nx--bq\r\ny--bq--\r\n", {}, SMIME_BAD_MESSAGE},
        {"a long line read whole", "--bq\r\n" + longLine + "\r\n--bq--\r\n", {longLine}, SMIME_BAD_MESSAGE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = kClearSigned + "boundary=bq\r\n\r\n" + c.body;
        SMimeStream stream(message.data(), message.size());
        mimeInfo_T info;
        ASSERT_EQ(stream.getMimeInfo(&info), SMIME_OK);
        gss_buffer_desc part = {0, nullptr};
        for (const auto& expected : c.parts) {
            ASSERT_EQ(stream.getPart(&part), SMIME_OK);
            EXPECT_EQ(take(part), expected);
        }
        int marker = 0;
        part = {0, &marker};
        EXPECT_EQ(stream.getPart(&part), c.then);
        EXPECT_EQ(part.value, &marker) << "nothing is handed out on failure";
    }
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
    const std::string plain = "just text, no headers";
    buffer = viewOf(plain);
    EXPECT_EQ(parser.setMessage(&buffer), SMIME_OK);
    EXPECT_EQ(parser.getMessageType(), messageUntyped);
}

struct Extracted {
    messageType_t typeBefore; // from a parser of its own
    unsigned status;
    std::string object, content;
    messageType_t typeAfter;
};

Extracted extract(const std::string& message) {
    gss_buffer_desc buffer = viewOf(message);
    smimeParser classifier, parser;
    classifier.setMessage(&buffer);
    parser.setMessage(&buffer);
    gss_buffer_desc object = {0, nullptr};
    gss_buffer_desc content = {0, nullptr};
    Extracted result{classifier.getMessageType(), parser.getPKCS7Object(&object, &content), "", "", messageNone};
    if (object.value != nullptr) result.object = take(object);
    if (content.value != nullptr) result.content = take(content);
    result.typeAfter = parser.getMessageType();
    return result;
}

// What the generator builds, the parser takes apart again, whatever bytes
// the token and the content hold.
TEST(SmimeParserGetPKCS7Object, TakesApartWhatTheGeneratorBuilds) {
    const std::string token = randomBytes(1000, 17);
    const gss_buffer_desc tokenBuffer = viewOf(token);
    const struct {
        std::string content; // none: signed-data, or enveloped data when named so
        messageType_t type;
    } cases[] = {
        {"Content-Type: text/plain\r\n\r\nHello\r\n", messageClearSigned},
        {"bare\nline\nfeeds\n", messageClearSigned},
        {std::string("nul\0bytes\0\r\n", 12), messageClearSigned},
        {std::string(3000, 'x') + "\r\n--boundaryAAA\r\n" + std::string(1500, 'z'), messageClearSigned},
        {"", messageEnvelopedData},
        {"", messageSignedData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 16) + std::to_string(c.type));
        smimeGenerator generator;
        const gss_buffer_desc contentBuffer = viewOf(c.content);
        ASSERT_EQ(c.type == messageClearSigned
                      ? generator.insertMultipartAndSignedData(digestSHA256, &contentBuffer, &tokenBuffer)
                      : (c.type == messageEnvelopedData ? generator.insertEnvelopedData(&tokenBuffer)
                                                        : generator.insertSignedData(&tokenBuffer)),
                  SMIME_OK);
        gss_buffer_desc built = {0, nullptr};
        ASSERT_EQ(generator.getMessageReference(&built), SMIME_OK);
        const Extracted result = extract(take(built));
        EXPECT_EQ(result.typeBefore, c.type);
        EXPECT_EQ(result.status, SMIME_OK);
        EXPECT_EQ(result.content, c.content);
        EXPECT_EQ(result.object, token);
        EXPECT_EQ(result.typeAfter, c.type == messageClearSigned ? messageSignature : c.type);
    }
}

TEST(SmimeParserGetPKCS7Object, HandsOutBodiesByTransferEncodingOrRefuses) {
    const std::string signedBody = kClearSigned + "boundary=b\r\n\r\n--b\r\ntext\r\n";
    const struct {
        const char* name;
        std::string message;
        unsigned status;
        std::string object;
    } cases[] = {
        {"7bit body unchanged", "Content-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nbody\r\n", SMIME_OK,
         "body\r\n"},
        {"no transfer encoding: unchanged", "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\n0\x80",
         SMIME_OK, "0\x80"},
        {"printable-encoded is not decoded: nothing",
         "Content-Type: text/plain\r\nContent-Transfer-Encoding: printable-encoded\r\n\r\nbody", SMIME_OK, ""},
        {"plain text without headers of its own", "hello\r\n\r\nworld", SMIME_OK, "world"},
        {"a base64 body that is not base64", "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nno!", SMIME_NULL_PARAMETER, ""},
        {"clear-signed without its signature part", signedBody + "--b--\r\n", SMIME_BAD_MESSAGE, ""},
        {"clear-signed without any delimiter", kClearSigned + "boundary=b\r\n\r\ntext\r\n", SMIME_BAD_MESSAGE, ""},
        {"clear-signed with a signature that is not base64", signedBody + "--b\r\nContent-Type: application/pkcs7-"
         "signature\r\nContent-Transfer-Encoding: base64\r\n\r\n@@@@\r\n--b--\r\n", SMIME_NULL_PARAMETER, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Extracted result = extract(c.message);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.object, c.object);
        EXPECT_EQ(result.content, "") << "no content but a clear-signed one's, none on failure";
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

// Messages written by another S/MIME implementation. Names list the layers
// from the inside out: the last one named is the outermost.
TEST(SmimeParserInterop, TakesApartEveryCorpusMessage) {
    const std::filesystem::path folder = std::string(SMIME_SOURCE_DIR) + "/../shared/interop-corpus/nss";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no interop corpus beside the source tree";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".eml") continue;
        SCOPED_TRACE(name);
        ++seen;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string message((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t lastMultipart = name.rfind("multipart");
        const std::size_t lastOpaque = name.rfind("opaque");
        const bool clearSigned =
            lastMultipart != std::string::npos && (lastOpaque == std::string::npos || lastMultipart > lastOpaque);
        const Extracted result = extract(message);
        EXPECT_EQ(result.typeBefore, clearSigned ? messageClearSigned : messageSignedData);
        ASSERT_EQ(result.status, SMIME_OK);
        ASSERT_GE(result.object.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(result.object[0]), 0x30) << "a DER or BER SEQUENCE";
        EXPECT_EQ(result.typeAfter, clearSigned ? messageSignature : messageSignedData);
        EXPECT_EQ(result.content.rfind("Content-Type:", 0), clearSigned ? 0u : std::string::npos);
    }
    EXPECT_EQ(seen, 36);
}

} // namespace
