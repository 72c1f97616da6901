// The quoted-printable decoder, and the encoder that produces nothing.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace {

constexpr char kInvalidRecord[] = "sprintable::decode: Invalide encoded message!";

struct DecodeCase {
    const char* name;
    std::string input;
    std::string expected;
};

const DecodeCase kDecoded[] = {
    {"empty input", "", ""},
    {"printable ASCII stands for itself", "Hello, World! ~>", "Hello, World! ~>"},
    {"an escaped equals sign", "a=3Db", "a=b"},
    {"lower-case hexadecimal digits", "=c3=a9", "\xC3\xA9"},
    {"upper-case hexadecimal digits", "=C3=A9t=E9", "\xC3\xA9t\xE9"},
    {"a soft line break joins the words", "soft=\r\nbreak", "softbreak"},
    {"a hard line break is kept", "line 1\r\nline 2", "line 1\r\nline 2"},
    {"spaces and tabs before CR LF vanish", "end  \t \r\nnext", "end\r\nnext"},
    {"spaces between words are kept", "two  words\there", "two  words\there"},
    {"spaces at the very end vanish", "end   ", "end"},
    {"an escaped trailing space survives", "end=20", "end "},
    // RFC 2045's own example of a long line broken with soft breaks.
    {"an RFC 2045 long line",
     "Now's the time =\r\nfor all folk to come=\r\n to the aid of their country.",
     "Now's the time for all folk to come to the aid of their country."},
    {"escaped control characters", "=00=0D=0A=FF", std::string("\0\r\n\xFF", 4)},
};

std::string decodeOk(const std::string& text) {
    const gss_buffer_desc input = {static_cast<OM_uint32>(text.size()), const_cast<char*>(text.data())};
    gss_buffer_desc output = {0, nullptr};
    EXPECT_EQ(sprintable::decode(&input, &output), SMIME_OK);
    std::string bytes(static_cast<const char*>(output.value), output.length);
    std::free(output.value);
    return bytes;
}

TEST(SprintableDecode, DecodesValidInput) {
    for (const auto& c : kDecoded) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeOk(c.input), c.expected);
    }
}

struct RefusedCase {
    const char* name;
    std::string input;
    bool record; // whether the "invalid" record is written
};

const RefusedCase kRefused[] = {
    {"an equals sign last", "abc=", true},
    {"an equals sign second to last", "abc=4", true},
    {"an equals sign and CR without LF", "abc=\rx", true},
    {"an equals sign before a non-hexadecimal character", "=4G", true},
    {"an equals sign before a space", "= 4", true},
    {"a CR at the very end", "abc\r", true},
    {"a CR before another character", "a\rb", true},
    {"a LF without CR", "a\nb", false},
    {"a control character", "a\x01", false},
    {"DEL", "a\x7F", false},
    {"a byte above 127", "caf\xE9", false},
    {"a NUL byte", std::string("a\0b", 3), false},
};

TEST(SprintableDecode, RefusesInvalidInputAndLeavesTheOutput) {
    for (const auto& c : kRefused) {
        SCOPED_TRACE(c.name);
        TraceCapture capture;
        const gss_buffer_desc input = {static_cast<OM_uint32>(c.input.size()), const_cast<char*>(c.input.data())};
        int marker = 0;
        gss_buffer_desc output = {5, &marker};
        EXPECT_EQ(sprintable::decode(&input, &output), SMIME_BAD_ENCODING);
        EXPECT_EQ(output.length, 5u);
        EXPECT_EQ(output.value, &marker);
        EXPECT_EQ(capture.hasText(VekTrace::kLevelInfo, kInvalidRecord), c.record);
    }
}

TEST(SprintableDecode, ReportsBytesItCannotCollect) {
    TraceCapture capture;
    const std::string text = "abc";
    const gss_buffer_desc input = {3, const_cast<char*>(text.data())};
    gss_buffer_desc output = {0, nullptr};
    {
        MallocFailure failure(1);
        EXPECT_EQ(sprintable::decode(&input, &output), SMIME_STREAM_ERROR);
    }
    EXPECT_EQ(output.value, nullptr);
    EXPECT_TRUE(capture.hasText(VekTrace::kLevelInfo, "sprintable::decode: Error accumulating stream data!"));
}

TEST(SprintableEncode, ProducesNothing) {
    TraceCapture capture;
    const std::string text = "any text";
    const gss_buffer_desc input = {8, const_cast<char*>(text.data())};
    int marker = 0;
    gss_buffer_desc output = {3, &marker};
    EXPECT_EQ(sprintable::encode(&input, &output), SMIME_OK);
    EXPECT_EQ(output.length, 3u);
    EXPECT_EQ(output.value, &marker);
    EXPECT_EQ(capture.texts(VekTrace::kLevelEntry), std::vector<std::string>{"sprintable::encode()"});
}

} // namespace
