// The MIME scanner and the parser on messages as other producers write them (the generator's: sgen_test).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "smimestream.h"
#include "vek4kivosmime.h"

namespace {

const std::string kPkcs7 = "Content-Type: application/pkcs7-mime; ";
const std::string kMultipart = "Content-Type: multipart/signed; ";
const std::string kClearSigned = kMultipart + "protocol=\"application/pkcs7-signature\"; ";
const std::string kEncoding = "Content-Transfer-Encoding: ", kBase64 = kEncoding + "base64\r\n";
const std::string kText = "Content-Type: text/plain\r\n";
constexpr messageType_t kClear = messageClearSigned;

// Boundary and micalg before the transfer encoding: most rows naming one are clear-signed.
struct ScanCase {
    const char* name;
    std::string message;
    messageType_t type;
    std::string boundary = "", micalg = "";
    transferEncoding_t encoding = encodingNone;
};

const ScanCase kScans[] = {
    {"enveloped data folded over three lines", "Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;"
     "\r\n   name=smime.p7m\r\n" + kBase64 + "\r\nMIIB", messageEnvelopedData, "", "", encodingBase64},
    {"names and values in any case", "CONTENT-TYPE: Application/PKCS7-MIME; SMIME-TYPE=Signed-Data\r\n"
     "content-transfer-encoding: BASE64\r\n\r\n", messageSignedData, "", "", encodingBase64},
    {"the x- form", "Content-Type: application/x-pkcs7-mime; smime-type=enveloped-data\r\n\r\n", messageEnvelopedData},
    {"quoted, after a name", kPkcs7 + "name=\"smime.p7m\"; smime-type=\"signed-data\"\r\n\r\n", messageSignedData},
    {"folded with four spaces", "MIME-Version: 1.0\r\n" + kPkcs7 + "name=smime.p7m;\r\n    smime-type=signed-data\r\n"
     + kBase64 + "\r\n", messageSignedData, "", "", encodingBase64},
    {"pkcs7-mime without smime-type", kPkcs7 + "name=smime.p7m\r\n\r\n", messageUnknown},
    {"an unknown smime-type", kPkcs7 + "smime-type=certs-only\r\n\r\n", messageUnknown},
    {"a detached signature", "Content-Type: application/pkcs7-signature; name=smime.p7s\r\n\r\n", messageSignature},
    {"the x- form of a signature", "Content-Type: application/x-pkcs7-signature\r\n\r\n", messageSignature},
    {"7bit", kText + kEncoding + "7bit\r\n\r\nhi", messageUnknown, "", "", encoding7bit},
    {"no Content-Type at all", "Subject: hello\r\n\r\nbody", messageUntyped},
    {"printable-encoded", kText + kEncoding + "printable-encoded\r\n\r\n", messageUnknown, "", "", encodingPrintable},
    {"an unknown transfer encoding", "Content-Transfer-Encoding: quoted-printable\r\n\r\n", messageUntyped},
    {"a later Content-Type overrides", "Content-Type: application/pkcs7-signature\r\n" + kPkcs7 +
     "smime-type=enveloped-data\r\n\r\n", messageEnvelopedData},
    {"another protocol", kMultipart + "protocol=application/pgp-signature; boundary=b\r\n\r\n", messageUnknown, "b"},
    {"no protocol", kMultipart + "boundary=b\r\n\r\n", messageUntyped, "b"},
    {"a space before the semicolon hides the parameters",
     "Content-Type: multipart/signed ; protocol=\"application/pkcs7-signature\"; boundary=b\r\n\r\n", messageUntyped},
    {"an empty first line: no headers", "\r\nContent-Type: application/pkcs7-signature\r\n\r\n", messageUntyped},
    {"LF-only: one header", kPkcs7 + "smime-type=enveloped-data\n" + kBase64 + "\nMIIB\n", messageEnvelopedData},
    {"protocol first", kClearSigned + "micalg=sha1; boundary=abcd\r\n\r\n--abcd\r\n", kClear, "abcd", "sha1"},
    {"protocol last", kMultipart + "boundary=abcd; micalg=sha1; protocol=\"application/pkcs7-signature\"\r\n\r\n",
     kClear, "abcd", "sha1"},
    {"folded with tabs, x- protocol", "Content-Type: multipart/signed;\r\n\tmicalg=sha1;\r\n\tboundary=\"abcd\";"
     "\r\n\tprotocol=application/x-pkcs7-signature\r\n\r\n", kClear, "abcd", "sha1"},
    {"unclosed quote", kMultipart + "boundary=\"b=1; protocol=application/pkcs7-signature\r\n\r\n", kClear, "b"},
    {"quoted boundary ending in ==", kClearSigned + "boundary=\"===============4172364815==\"; micalg=sha-256\r\n\r\n",
     kClear, "===============4172364815==", "sha-256"},
    {"quoted boundary with space, ; and :", kClearSigned + "boundary=\"a b;c:d\"\r\n\r\n", kClear, "a b;c:d"},
    {"a quote pairs only before the next LF", kMultipart + "boundary=\"b c\nx\"; protocol=\"application/pkcs7-"
     "signature\"\r\n\r\n", messageUntyped, "b"},
    {"10,000 quotes in a row pair up", kMultipart + std::string(10000, '"') + "protocol=\"application/pkcs7-signature\"; "
     "boundary=b\r\n\r\n", kClear, "b"},
    {"long boundary and micalg are cut", kClearSigned + "micalg=" + std::string(25, 'm') + "; boundary=" +
     std::string(80, 'b') + "\r\n\r\n", kClear, std::string(70, 'b'), std::string(19, 'm')},
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

// Without a header scan, lines are skipped up to the first with nothing before its LF (a CR is something).
TEST(SMimeStreamGetpayload, StartsAfterTheHeaderSection) {
    const struct { const char* name; std::string message, payload; bool scanFirst = true; } cases[] = {
        {"the usual empty line", "Content-Type: text/plain\r\n\r\nline 1\r\nline 2\r\n", "line 1\r\nline 2\r\n"},
        {"first line empty", "\r\nA: b\r\n\r\nc", "A: b\r\n\r\nc"}, {"a lone CR at the end", "A: b\r", ""},
        {"no empty line: nothing", "A: b\r\nC: d\r\n", ""}, {"LF-only: one header line", "A: b\nC: d\n\nbody\n", ""},
        {"a body starting with a space continues the headers", "A: b\r\n\r\n body\r\n\r\nrest", "rest"},
        {"binary body kept whole", std::string("A: b\r\n\r\n\0\r\x80\n", 12), std::string("\0\r\x80\n", 4)},
        {"lone CR in a line", "A: b\rc\r\n\r\nbody", "body"}, {"a NUL", std::string("A: \0b\r\n\r\nbody", 13), "body"},
        {"a line that is only a CR is a header line", "A: b\r\n\r\r\nX: y\r\n\r\nbody", "body"},
        {"tabs and spaces start a continuation", "A: b\r\n \t c\r\n\r\nbody", "body"},
        {"a continuation swallows the blank lines after it", "A: b\r\n \r\n\r\nbody\r\n\r\nrest", "rest"},
        {"no scan, LF", "A: b\n\npayload", "payload", false}, {"no scan, CR LF", "A: b\r\n\r\npayload", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SMimeStream stream(c.message.data(), c.message.size());
        mimeInfo_T info;
        EXPECT_TRUE(!c.scanFirst || stream.getMimeInfo(&info) == SMIME_OK);
        gss_buffer_desc payload = {0, nullptr};
        ASSERT_EQ(stream.getpayload(&payload), SMIME_OK);
        ASSERT_NE(payload.value, nullptr) << "an empty payload gets a block too";
        EXPECT_EQ(take(payload), c.payload);
    }
}

// Only a whole delimiter line ends a part: lookalikes, and a delimiter past byte 1023 of a line, are content.
TEST(SMimeStreamGetPart, HandsOutEachPartUpToAWholeDelimiterLine) {
    constexpr unsigned kBad = SMIME_BAD_MESSAGE;
    const std::string longLine = std::string(1023, 'x') + "--bq\r\n" + std::string(5000, 'y');
    // The body follows the header section; then is the status of the call after the last part.
    struct Case { const char* name; std::string body; std::vector<std::string> parts; unsigned then = kBad; };
    const Case cases[] = {
        {"two parts, preamble and epilogue", "preamble\r\n--bq\r\nContent-Type: text/plain\r\n\r\nHello\r\n--bq\r\n"
         "MIIB\r\n--bq--\r\nepilogue\r\n", {"Content-Type: text/plain\r\n\r\nHello", "MIIB"}},
        {"a closing delimiter", "--bq\r\ntext\r\n--bq--\r\n", {"text"}}, {"no end", "--bq\r\ntext\r\n", {}},
        {"a delimiter that ends the input without LF", "--bq\r\ntext\r\n--bq\r", {"text"}},
        {"a closing delimiter that ends the input without CR LF", "--bq\r\ntext\r\n--bq--", {"text"}},
        {"only a closing delimiter may end the input without CR", "--bq\r\ntext\r\n--bq", {}},
        {"a delimiter right after the first one", "--bq\r\n--bq\r\n", {}, SMIME_NO_MESSAGE},
        {"LF-only delimiters never match", "--bq\ntext\n--bq\n", {}},
        {"a longer boundary", "--bq\r\n--bqx\r\nb\r\n--bq\r\n", {"--bqx\r\nb"}},
        {"the mark inside a line", "--bq\r\na--bq\r\n--bq\r\n", {"a--bq"}},
        {"marks only inside lines", "--bq\r\nx--bq\r\ny--bq--\r\n", {}},
        {"the boundary followed by more", "--bq\r\n--bq--x\r\n--bq \r\nc\r\n--bq--\r\n", {"--bq--x\r\n--bq \r\nc"}},
        {"no CR before the LF", "--bq\r\n--bq\nd\r\n--bq\r\n", {"--bq\nd"}},
        {"a long line read whole", "--bq\r\n" + longLine + "\r\n--bq--\r\n", {longLine}},
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

TEST(SmimeParser, ScansOnceAndHandsOutBodiesByTransferEncodingOrRefuses) {
    smimeParser parser;
    EXPECT_EQ(parser.getMessageType(), messageNone);
    gss_buffer_desc object = {0, nullptr}, content = {0, nullptr};
    EXPECT_EQ(parser.getPKCS7Object(&object, &content), SMIME_NO_MESSAGE);
    std::string message = kPkcs7 + "smime-type=enveloped-data\r\n\r\n";
    gss_buffer_desc buffer = viewOf(message);
    EXPECT_EQ(parser.setMessage(&buffer), SMIME_OK);
    EXPECT_EQ(parser.getMessageType(), messageEnvelopedData);
    message.replace(message.find("enveloped"), 9, "signed---");
    EXPECT_EQ(parser.getMessageType(), messageEnvelopedData) << "the first scan is kept";
    gss_buffer_desc used = {4, &message};
    EXPECT_EQ(parser.getPKCS7Object(&used, &content), SMIME_OUTPUT_NOT_EMPTY);
    EXPECT_EQ(parser.getPKCS7Object(&object, &used), SMIME_OUTPUT_NOT_EMPTY);
    EXPECT_TRUE(used.value == &message && content.value == nullptr);
    EXPECT_EQ(parser.getPKCS7Object(nullptr, &content), SMIME_NULL_PARAMETER);
    message = "just text, no headers";
    buffer = viewOf(message);
    EXPECT_EQ(parser.setMessage(&buffer), SMIME_OK);
    EXPECT_EQ(parser.getMessageType(), messageUntyped);

    const std::string signedBody = kClearSigned + "boundary=b\r\n\r\n--b\r\ntext\r\n";
    const struct { const char* name; std::string message; unsigned status; std::string object; } cases[] = {
        {"7bit body unchanged", kText + kEncoding + "7bit\r\n\r\nbody\r\n", SMIME_OK, "body\r\n"},
        {"no transfer encoding: unchanged", kPkcs7 + "smime-type=signed-data\r\n\r\n0\x80", SMIME_OK, "0\x80"},
        {"printable-encoded: not decoded", kText + kEncoding + "printable-encoded\r\n\r\nbody", SMIME_OK, ""},
        {"plain text without headers of its own", "hello\r\n\r\nworld", SMIME_OK, "world"},
        {"not base64", kPkcs7 + "smime-type=signed-data\r\n" + kBase64 + "\r\nno!", SMIME_NULL_PARAMETER, ""},
        {"clear-signed without its signature part", signedBody + "--b--\r\n", SMIME_BAD_MESSAGE, ""},
        {"clear-signed without any delimiter", kClearSigned + "boundary=b\r\n\r\ntext\r\n", SMIME_BAD_MESSAGE, ""},
        {"clear-signed with a signature that is not base64", signedBody + "--b\r\nContent-Type: application/pkcs7-"
         "signature\r\n" + kBase64 + "\r\n@@@@\r\n--b--\r\n", SMIME_NULL_PARAMETER, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gss_buffer_desc buffer = viewOf(c.message);
        smimeParser parser;
        parser.setMessage(&buffer);
        gss_buffer_desc object = {0, nullptr}, content = {0, nullptr};
        EXPECT_EQ(parser.getPKCS7Object(&object, &content), c.status);
        EXPECT_EQ(object.value == nullptr ? "" : take(object), c.object);
        EXPECT_EQ(content.value, nullptr) << "no content but a clear-signed one's, none on failure";
    }
}

} // namespace
