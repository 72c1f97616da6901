// The quoted-printable decoder, and the encoder that produces nothing.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "vek4kivosmime.h"

namespace {

TEST(SprintableDecode, DecodesValidInputAndRefusesTheRest) {
    constexpr std::nullopt_t kRefused = std::nullopt;
    const struct { const char* name; std::string input; std::optional<std::string> expected; } cases[] = {
        {"empty input", "", ""}, {"printable ASCII stands for itself", "Hello, World! ~>", "Hello, World! ~>"},
        {"an escaped equals sign", "a=3Db", "a=b"}, {"lower-case hexadecimal digits", "=c3=a9", "\xC3\xA9"},
        {"upper case", "=C3=A9t=E9", "\xC3\xA9t\xE9"}, {"a soft line break joins", "soft=\r\nbreak", "softbreak"},
        {"a hard line break is kept", "line 1\r\nline 2", "line 1\r\nline 2"},
        {"spaces and tabs before CR LF vanish", "end  \t \r\nnext", "end\r\nnext"},
        {"spaces between words are kept", "two  words\there", "two  words\there"},
        {"spaces at the very end vanish", "end   ", "end"}, {"an escaped trailing space survives", "end=20", "end "},
        {"RFC 2045's long line", "Now's the time =\r\nfor all folk to come=\r\n to the aid of their country.",
         "Now's the time for all folk to come to the aid of their country."},
        {"escaped control characters", "=00=0D=0A=FF", std::string("\0\r\n\xFF", 4)},
        {"an equals sign last", "abc=", kRefused}, {"an equals sign second to last", "abc=4", kRefused},
        {"an equals sign and CR without LF", "abc=\rx", kRefused}, {"'=' before a non-hexadecimal", "=4G", kRefused},
        {"an equals sign before a space", "= 4", kRefused}, {"a CR at the very end", "abc\r", kRefused},
        {"a CR before another character", "a\rb", kRefused}, {"a LF without CR", "a\nb", kRefused},
        {"a control character", "a\x01", kRefused}, {"DEL", "a\x7F", kRefused},
        {"a byte above 127", "caf\xE9", kRefused}, {"a NUL byte", std::string("a\0b", 3), kRefused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const gss_buffer_desc input = viewOf(c.input);
        int marker = 0;
        gss_buffer_desc output = {5, &marker};
        const unsigned status = sprintable::decode(&input, &output);
        EXPECT_EQ(status, c.expected ? SMIME_OK : SMIME_BAD_ENCODING);
        EXPECT_EQ(status == SMIME_OK ? std::optional<std::string>(take(output)) : std::nullopt, c.expected);
        EXPECT_TRUE(status == SMIME_OK || (output.length == 5 && output.value == &marker)) << "refused: left alone";
        output = {5, &marker};
        EXPECT_EQ(sprintable::encode(&input, &output), SMIME_OK) << "the encoder produces nothing";
        EXPECT_TRUE(output.length == 5 && output.value == &marker);
    }
}

} // namespace
