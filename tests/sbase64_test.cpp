// The base64 codec: MIME encoding and decoding of buffers, and the
// self-contained encoder and decoder over caller arrays. Expected texts come
// from OpenSSL's encoder.
#include <cstdlib>
#include <cstring>
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

std::string mimeEncode(const std::string& data) {
    sbase64 codec;
    const gss_buffer_desc input = viewOf(data);
    gss_buffer_desc output = {0, nullptr};
    EXPECT_EQ(codec.encode(&input, &output), SMIME_OK);
    return take(output);
}

// b64Encode writes a line feed after every full line, also after the last
// one, except when the line was completed by a padded group.
std::string expectedArrayEncoding(const std::string& data) {
    const std::string text = opensslBase64(data);
    std::string expected = breakLines(text, 72, "\n");
    if (!data.empty() && data.size() % 3 == 0 && text.size() % 72 == 0) expected += '\n';
    return expected;
}

std::string arrayEncode(sbase64& codec, const std::string& data) {
    std::vector<unsigned char> out(sbase64::deriveEncodeLength(static_cast<unsigned>(data.size())) + 1);
    const unsigned written = codec.b64Encode(reinterpret_cast<const unsigned char*>(data.data()),
                                             static_cast<unsigned>(data.size()), out.data(),
                                             static_cast<unsigned>(out.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), written);
}

// --- encode -----------------------------------------------------------------

struct EncodeCase {
    const char* name;
    std::string input;
    std::string expected;
};

const EncodeCase kLineBreaking[] = {
    {"empty input gives empty output", "", ""},
    {"three bytes, one group", "abc", "YWJj"},
    {"54 bytes fill one line exactly", std::string(54, '\0'), std::string(72, 'A')},
    {"55 bytes start a second line", std::string(55, '\0'), std::string(72, 'A') + "\nAA=="},
    {"108 bytes give two full lines", std::string(108, '\0'), std::string(72, 'A') + "\n" + std::string(72, 'A')},
};

TEST(Sbase64Encode, BreaksLinesAt72Characters) {
    for (const auto& c : kLineBreaking) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mimeEncode(c.input), c.expected);
    }
}

TEST(Sbase64Encode, MatchesOpenSSLForEveryLength) {
    const std::string data = randomBytes(3000, 7);
    for (std::size_t length = 0; length <= data.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string input = data.substr(0, length);
        ASSERT_EQ(mimeEncode(input), breakLines(opensslBase64(input), 72, "\n"));
    }
}

// --- decode -----------------------------------------------------------------

TEST(Sbase64Decode, ReadsBodiesWithAnyLineBreaks) {
    const std::string data = randomBytes(2000, 11);
    for (std::size_t length : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 1000u, 1999u}) {
        const std::string input = data.substr(0, length);
        const std::string text = opensslBase64(input);
        for (const char* separator : {"\n", "\r\n"}) {
            for (std::size_t width : {72u, 76u, 64u, 5u}) {
                SCOPED_TRACE(std::to_string(length) + " bytes, lines of " + std::to_string(width));
                sbase64 codec;
                const std::string body = breakLines(text, width, separator) + separator;
                const gss_buffer_desc encoded = viewOf(body);
                gss_buffer_desc decoded = {0, nullptr};
                ASSERT_EQ(codec.decode(&encoded, &decoded), SMIME_OK);
                EXPECT_NE(decoded.value, nullptr) << "even an empty result has a block";
                EXPECT_EQ(take(decoded), input);
            }
        }
    }
}

TEST(Sbase64Decode, RefusesNonBase64AndLeavesTheOutputAlone) {
    const char* const refused[] = {"QU JD", "QUJD\tQUJD", "QUJ", "Q===", "QU=D", "QUI=QUJD", "QUJD!", "\x80QUJ"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        sbase64 codec;
        const std::string body = text;
        const gss_buffer_desc encoded = viewOf(body);
        int marker = 0;
        gss_buffer_desc decoded = {7, &marker};
        EXPECT_EQ(codec.decode(&encoded, &decoded), SMIME_NULL_PARAMETER);
        EXPECT_EQ(decoded.length, 7u);
        EXPECT_EQ(decoded.value, &marker);
    }
}

// --- sizes --------------------------------------------------------------------

TEST(Sbase64Sizes, DeriveTheRoomTheArrayCodecsNeed) {
    struct Case {
        unsigned n;
        unsigned encode;
        unsigned decode;
    };
    const Case cases[] = {{0, 0, 0},     {1, 4, 0},      {3, 4, 0},        {5, 8, 3},
                          {54, 74, 39},  {55, 78, 39},   {108, 148, 81},   {4, 8, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(sbase64::deriveEncodeLength(c.n), c.encode);
        EXPECT_EQ(sbase64::deriveDecodeLength(c.n), c.decode);
    }
    EXPECT_EQ(sbase64::deriveEncodeLength(0xFFFFFFFFu), 0xFFFFFFFFu) << "saturates instead of wrapping";
}

// --- b64Encode ----------------------------------------------------------------

TEST(Sbase64B64Encode, WritesLinesAndCountsLineFeeds) {
    struct Case {
        const char* name;
        std::size_t length;
        unsigned written;
    };
    const Case cases[] = {
        {"three bytes", 3, 4},
        {"53 bytes stay on one line", 53, 72},
        {"54 bytes end with a line feed", 54, 73},
        {"55 bytes: a line, a line feed, a padded group", 55, 77},
        {"108 bytes: two lines, each with its line feed", 108, 146},
    };
    const std::string data = randomBytes(200, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sbase64 codec;
        const std::string input = data.substr(0, c.length);
        const std::string written = arrayEncode(codec, input);
        EXPECT_EQ(written.size(), c.written);
        EXPECT_EQ(written, expectedArrayEncoding(input));
    }
    sbase64 codec;
    EXPECT_EQ(arrayEncode(codec, "abc"), "YWJj");
}

TEST(Sbase64B64Encode, MatchesOpenSSLForEveryLengthWithOneObject) {
    // One object for all lengths: the line count must start afresh each call.
    sbase64 codec;
    const std::string data = randomBytes(1200, 9);
    for (std::size_t length = 1; length <= data.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string input = data.substr(0, length);
        ASSERT_EQ(arrayEncode(codec, input), expectedArrayEncoding(input));
    }
}

TEST(Sbase64B64Encode, RefusesWhatItCannotDo) {
    sbase64 codec;
    unsigned char out[100];
    const unsigned char in[] = "abcdef";
    EXPECT_EQ(codec.b64Encode(nullptr, 3, out, sizeof out), 0u);
    EXPECT_EQ(codec.b64Encode(in, 3, nullptr, sizeof out), 0u);
    EXPECT_EQ(codec.b64Encode(in, 0, out, sizeof out), 0u);
    EXPECT_EQ(codec.b64Encode(in, 3, out, 0), 0u);
    EXPECT_EQ(codec.b64Encode(in, 6, out, 7), 0u) << "8 bytes are needed";
    EXPECT_EQ(codec.b64Encode(in, 6, out, 8), 8u);
}

// --- b64Decode ----------------------------------------------------------------

struct DecodeCase {
    const char* name;
    std::string input;
    std::string expected; // empty: refused with 0
};

const DecodeCase kArrayDecoding[] = {
    {"a full group", "QUJD", "ABC"},
    {"one padding character", "QUI=", "AB"},
    {"two padding characters", "QQ==", "A"},
    {"CR LF between groups", "QUJD\r\nQUJD", "ABCABC"},
    {"LF alone between groups", "QUJD\nQUJD", "ABCABC"},
    {"trailing CR LF", "QUJD\r\n", "ABC"},
    {"leading line breaks", "\r\n\nQUJD", "ABC"},
    {"a space inside a group", "QU JD", ""},
    {"a tab between groups", "QUJD\tQUJD", ""},
    {"a line break inside a group", "QU\r\nJD", ""},
    {"padding first in a group", "=QJD", ""},
    {"padding second in a group", "Q=JD", ""},
    {"a byte above 0x7F", "QUJ\xC4", ""},
    {"a group cut short", "QUJDQU", ""},
    {"a single character", "Q", ""},
};

TEST(Sbase64B64Decode, DecodesGroupsAndRefusesTheRest) {
    for (const auto& c : kArrayDecoding) {
        SCOPED_TRACE(c.name);
        sbase64 codec;
        std::vector<unsigned char> out(c.input.size() + 3);
        const unsigned written = codec.b64Decode(c.input.data(), static_cast<unsigned>(c.input.size()), out.data(),
                                                 static_cast<unsigned>(out.size()));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), written), c.expected);
    }
}

// The room callers are told to provide counts whole groups: a group cut
// short must be refused before any of it is written.
TEST(Sbase64B64Decode, StaysWithinTheRoomItAskedFor) {
    sbase64 codec;
    for (const std::string text : {"QUJDQU", "QUJDQUJ", "QUJDQ", "QU"}) {
        SCOPED_TRACE(text);
        const unsigned room = sbase64::deriveDecodeLength(static_cast<unsigned>(text.size()));
        std::vector<unsigned char> out(room == 0 ? 1 : room); // exact, so the sanitizers see any overrun
        EXPECT_EQ(codec.b64Decode(text.data(), static_cast<unsigned>(text.size()), out.data(),
                                  static_cast<unsigned>(out.size())),
                  0u);
    }
}

TEST(Sbase64B64Decode, RefusesWhatItCannotDo) {
    sbase64 codec;
    unsigned char out[16];
    const char in[] = "QUJDQUJD";
    EXPECT_EQ(codec.b64Decode(nullptr, 8, out, sizeof out), 0u);
    EXPECT_EQ(codec.b64Decode(in, 8, nullptr, sizeof out), 0u);
    EXPECT_EQ(codec.b64Decode(in, 0, out, sizeof out), 0u);
    EXPECT_EQ(codec.b64Decode(in, 8, out, 0), 0u);
    EXPECT_EQ(codec.b64Decode(in, 8, out, 5), 0u) << "6 bytes are needed";
    EXPECT_EQ(codec.b64Decode(in, 8, out, 6), 6u);
}

TEST(Sbase64B64Decode, RoundTripsB64EncodeForEveryLength) {
    sbase64 codec;
    const std::string data = randomBytes(600, 13);
    for (std::size_t length = 1; length <= data.size(); ++length) {
        SCOPED_TRACE(length);
        const std::string input = data.substr(0, length);
        const std::string text = arrayEncode(codec, input);
        std::vector<unsigned char> out(sbase64::deriveDecodeLength(static_cast<unsigned>(text.size())) + 1);
        const unsigned written = codec.b64Decode(text.data(), static_cast<unsigned>(text.size()), out.data(),
                                                 static_cast<unsigned>(out.size()));
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(out.data()), written), input);
    }
}

// --- allocation failures ------------------------------------------------------

// Fails each allocation of one call in turn, until the call makes no more.
TEST(Sbase64Encode, ReportsEveryAllocationFailure) {
    const char* const records[] = {"sbase64::encode() could not alloc storage for output.",
                                   "sbase64::convertToMIME() could not alloc storage for output."};
    const std::string data = randomBytes(100, 2);
    const gss_buffer_desc input = viewOf(data);
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        sbase64 codec;
        TraceCapture capture;
        gss_buffer_desc output = {0, nullptr};
        unsigned status;
        {
            MallocFailure failure(n);
            status = codec.encode(&input, &output);
        }
        if (mallocCallsSinceArmed() < n) {
            EXPECT_EQ(status, SMIME_OK);
            std::free(output.value);
            break;
        }
        ASSERT_LE(n, 2) << "an allocation site nobody expected";
        EXPECT_EQ(status, SMIME_NO_MEMORY);
        EXPECT_EQ(output.length, 0u);
        EXPECT_EQ(output.value, nullptr);
        EXPECT_EQ(capture.texts(VekTrace::kLevelInfo), std::vector<std::string>{records[n - 1]});
        EXPECT_EQ(capture.texts(VekTrace::kLevelExit), std::vector<std::string>{"sbase64::encode()"});
    }
}

TEST(Sbase64Decode, ReportsAllocationFailure) {
    sbase64 codec;
    TraceCapture capture;
    const std::string body = "QUJD";
    const gss_buffer_desc encoded = viewOf(body);
    gss_buffer_desc decoded = {0, nullptr};
    {
        MallocFailure failure(1);
        EXPECT_EQ(codec.decode(&encoded, &decoded), SMIME_NO_MEMORY);
    }
    EXPECT_EQ(decoded.length, 0u);
    EXPECT_EQ(decoded.value, nullptr);
    EXPECT_EQ(capture.texts(VekTrace::kLevelInfo),
              std::vector<std::string>{"sbase64::decode() could not alloc storage for output."});
}

// --- trace records --------------------------------------------------------------

TEST(Sbase64Trace, WritesEntryAndExitRecordsUnderTheLibrarysComponent) {
    TraceCapture capture;
    {
        sbase64 codec;
        mimeEncode("abc");
        unsigned char out[8];
        codec.b64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, out, sizeof out);
        codec.b64Decode("YWJj", 4, out, sizeof out);
    }
    const std::vector<std::string> expectedEntries = {"sbase64::sbase64()", "sbase64::sbase64()", "sbase64::encode()",
                                                      "sbase64::~sbase64()", "sbase64::b64encode()",
                                                      "sbase64::b64Decode()", "sbase64::~sbase64()"};
    EXPECT_EQ(capture.texts(VekTrace::kLevelEntry), expectedEntries);
    EXPECT_EQ(capture.texts(VekTrace::kLevelExit).size(), expectedEntries.size());
    for (const auto& record : capture.records()) {
        SCOPED_TRACE(record.text);
        EXPECT_EQ(record.component, 0x400u);
        if (record.level == VekTrace::kLevelEntry) {
            EXPECT_EQ(record.file, "src/sbase64");
            EXPECT_GT(record.line, 0);
        } else {
            EXPECT_EQ(record.level, VekTrace::kLevelExit);
            EXPECT_EQ(record.file, "");
            EXPECT_EQ(record.line, 0);
        }
    }
}

TEST(Sbase64Trace, DecodeFailureWritesNoErrorRecord) {
    sbase64 codec;
    TraceCapture capture;
    const std::string body = "not base64!";
    const gss_buffer_desc encoded = viewOf(body);
    gss_buffer_desc decoded = {0, nullptr};
    EXPECT_EQ(codec.decode(&encoded, &decoded), SMIME_NULL_PARAMETER);
    EXPECT_TRUE(capture.texts(VekTrace::kLevelInfo).empty());
    EXPECT_EQ(capture.texts(VekTrace::kLevelExit), std::vector<std::string>{"sbase64::decode()"});
}

} // namespace
