// VekKRYUtility's base64 against OpenSSL, through the public calls and
// through each block-loop path on its own (the public calls only ever take
// the fastest path this processor has).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../support/base64_codec.h"
#include "vekkryutility.h"

namespace {

namespace base64 = detail::base64;
using Bytes = std::vector<unsigned char>;

enum class Route { PublicCall, Scalar, Avx2 };

// Input and output live in blocks of exactly their size, so that the
// sanitizers see a read or write past either end.
std::unique_ptr<unsigned char[]> exactCopy(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return copy;
}

Bytes encodeBy(Route route, const Bytes& data) {
    const auto in = exactCopy(data);
    if (route == Route::PublicCall) {
        const VekBuffer text = VekKRYUtility::encodeData_BASE64(r_buffer_t(in.get(), data.size()), nullptr);
        return Bytes(text.getValue(), text.getValue() + text.getLength());
    }
    const std::size_t length = VekKRYUtility::encodedLength(data.size());
    std::unique_ptr<unsigned char[]> out(new unsigned char[length]);
    base64::encode(route == Route::Avx2 ? base64::Path::Avx2 : base64::Path::Scalar, in.get(), data.size(), out.get());
    return Bytes(out.get(), out.get() + length);
}

// Nothing when the text is refused; from the public call, that means it
// threw VekKRYException.
std::optional<Bytes> decodeBy(Route route, const Bytes& text) {
    const auto in = exactCopy(text);
    if (route == Route::PublicCall) {
        try {
            const VekBuffer bytes = VekKRYUtility::decodeData_BASE64(r_buffer_t(in.get(), text.size()), nullptr);
            return Bytes(bytes.getValue(), bytes.getValue() + bytes.getLength());
        } catch (const VekKRYException&) {
            return std::nullopt;
        }
    }
    std::unique_ptr<unsigned char[]> out(new unsigned char[base64::decodedCapacity(text.size())]);
    const base64::DecodeResult result = base64::decode(route == Route::Avx2 ? base64::Path::Avx2 : base64::Path::Scalar,
                                                       in.get(), text.size(), out.get());
    if (result.outcome != base64::DecodeOutcome::Decoded) return std::nullopt;
    return Bytes(out.get(), out.get() + result.length);
}

base64::DecodeOutcome outcomeOf(base64::Path path, const Bytes& text) {
    const auto in = exactCopy(text);
    std::unique_ptr<unsigned char[]> out(new unsigned char[base64::decodedCapacity(text.size())]);
    const base64::DecodeResult result = base64::decode(path, in.get(), text.size(), out.get());
    EXPECT_TRUE(result.outcome == base64::DecodeOutcome::Decoded || result.length == 0);
    return result.outcome;
}

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes randomBytes(std::size_t length, std::mt19937& random) {
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
}

Bytes opensslEncode(const Bytes& data) {
    Bytes text(VekKRYUtility::encodedLength(data.size()) + 1);
    const int n = EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

Bytes insertAt(Bytes text, std::size_t at, const std::string& piece) {
    text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
    return text;
}

// Text of 100 characters without padding: long enough for whole vector
// blocks and a tail after them.
Bytes hundredCharacters() {
    std::mt19937 random(100);
    return opensslEncode(randomBytes(75, random));
}

class KryUtilityRoute : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override {
        if (GetParam() == Route::Avx2 && !base64::isPathAvailable(base64::Path::Avx2))
            GTEST_SKIP() << "this processor has no AVX2";
    }
};
class KryUtilityEncode : public KryUtilityRoute {};
class KryUtilityDecode : public KryUtilityRoute {};

struct KnownVector {
    const char* data;
    const char* text;
};

// RFC 4648, section 10.
const KnownVector kRfc4648[] = {{"", ""},
                                {"f", "Zg=="},
                                {"fo", "Zm8="},
                                {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};

TEST_P(KryUtilityEncode, GivesKnownVectors) {
    for (const auto& v : kRfc4648) {
        SCOPED_TRACE(v.data);
        EXPECT_EQ(encodeBy(GetParam(), bytesOf(v.data)), bytesOf(v.text));
    }
}

TEST_P(KryUtilityDecode, GivesKnownVectors) {
    for (const auto& v : kRfc4648) {
        SCOPED_TRACE(v.text);
        EXPECT_EQ(decodeBy(GetParam(), bytesOf(v.text)), bytesOf(v.data));
    }
}

TEST_P(KryUtilityEncode, MatchesOpenSSLAtEveryLength) {
    std::mt19937 random(1);
    for (std::size_t length = 0; length <= 3000; ++length) {
        SCOPED_TRACE(length);
        const Bytes data = randomBytes(length, random);
        ASSERT_EQ(encodeBy(GetParam(), data), opensslEncode(data));
    }
}

struct LineLayout {
    const char* name;
    std::size_t width; // 0: one line
    const char* lineEnd;
    bool endsWithBreak;
    std::size_t upToLength; // data lengths tried; narrow lines cost the most
};

const LineLayout kLayouts[] = {
    {"one line", 0, "", false, 3000},           {"CR LF every 76", 76, "\r\n", false, 3000},
    {"CR LF every 64", 64, "\r\n", true, 3000}, {"LF every 64", 64, "\n", false, 600},
    {"LF every 72", 72, "\n", true, 600},       {"CR LF every 63", 63, "\r\n", false, 600},
    {"LF every 77", 77, "\n", true, 600},       {"CR LF every 2", 2, "\r\n", false, 600},
    {"LF every 1", 1, "\n", true, 600},         {"CR LF every 1", 1, "\r\n", true, 600},
};

Bytes breakLines(const Bytes& text, const LineLayout& layout) {
    if (layout.width == 0) return text;
    const std::string lineEnd = layout.lineEnd;
    Bytes broken;
    broken.reserve(text.size() + (text.size() / layout.width + 1) * lineEnd.size());
    for (std::size_t at = 0; at < text.size(); at += layout.width) {
        if (at != 0) broken.insert(broken.end(), lineEnd.begin(), lineEnd.end());
        const auto from = text.begin() + static_cast<std::ptrdiff_t>(at);
        broken.insert(broken.end(), from, from + static_cast<std::ptrdiff_t>(std::min(layout.width, text.size() - at)));
    }
    if (layout.endsWithBreak) broken.insert(broken.end(), lineEnd.begin(), lineEnd.end());
    return broken;
}

TEST_P(KryUtilityDecode, ReadsOpenSSLTextBrokenIntoLines) {
    std::mt19937 random(2);
    for (std::size_t length = 0; length <= 3000; ++length) {
        const Bytes data = randomBytes(length, random);
        const Bytes text = opensslEncode(data);
        for (const auto& layout : kLayouts) {
            if (length > layout.upToLength) continue;
            SCOPED_TRACE(std::to_string(length) + " bytes, " + layout.name);
            ASSERT_EQ(decodeBy(GetParam(), breakLines(text, layout)), data);
        }
    }
}

TEST_P(KryUtilityDecode, SkipsLineBreaksAtEveryPosition) {
    std::mt19937 random(3);
    const Bytes data = randomBytes(74, random); // ends in a group with one '='
    const Bytes text = opensslEncode(data);
    for (const std::string lineEnd : {"\r\n", "\n", "\r", "\n\r\n"}) {
        for (std::size_t at = 0; at <= text.size(); ++at) {
            SCOPED_TRACE("after " + std::to_string(at) + " characters");
            EXPECT_EQ(decodeBy(GetParam(), insertAt(text, at, lineEnd)), data);
        }
    }
}

TEST_P(KryUtilityDecode, RefusesForeignBytesAtEveryPosition) {
    const Bytes text = hundredCharacters();
    for (std::size_t at = 0; at < text.size(); ++at) {
        for (int c = 0; c < 256; ++c) {
            if (base64::alphabetValue(static_cast<unsigned char>(c)) >= 0 || c == '\r' || c == '\n') continue;
            Bytes bad = text;
            bad[at] = static_cast<unsigned char>(c);
            // '=' as the very last character is padding, and the text valid.
            if (c == '=' && at == text.size() - 1) continue;
            SCOPED_TRACE("byte " + std::to_string(c) + " at " + std::to_string(at));
            ASSERT_FALSE(decodeBy(GetParam(), bad));
        }
    }
}

struct Refusal {
    const char* name;
    std::string text;
    base64::DecodeOutcome outcome;
};

using Outcome = base64::DecodeOutcome;
const Refusal kRefusals[] = {
    {"space between groups", "Zm9v YmFy", Outcome::InvalidCharacter},
    {"tab inside a group", "Zm9vY\tmFy", Outcome::InvalidCharacter},
    {"space after the padding", "Zm9vYg== ", Outcome::DataAfterPadding},
    {"NUL", std::string("Zm9v\0mFy", 8), Outcome::InvalidCharacter},
    {"byte 0x80", "Zm9v\x80mFy", Outcome::InvalidCharacter},
    {"byte 0xFF", "Zm9vYmF\xFF", Outcome::InvalidCharacter},
    {"URL-safe alphabet", "Zm9v-_Fy", Outcome::InvalidCharacter},
    {"'=' first in the last group", "Zm9v=mFy", Outcome::MisplacedPadding},
    {"'=' second in the last group", "Zm9vY=Fy", Outcome::MisplacedPadding},
    {"'=' third in the last group", "Zm9vYm=y", Outcome::MisplacedPadding},
    {"a group of padding only", "Zm9v====", Outcome::MisplacedPadding},
    {"three '=' in the last group", "Zm9vY===", Outcome::MisplacedPadding},
    {"'=' inside a middle group", "Zm=vYmFy", Outcome::MisplacedPadding},
    {"padded group in the middle", "Zm8=YmFy", Outcome::DataAfterPadding},
    {"data after padding and a line break", "Zm8=\r\nZg==", Outcome::DataAfterPadding},
    {"single character", "Z", Outcome::TruncatedGroup},
    {"last group short", "Zm9vYmF", Outcome::TruncatedGroup},
    {"short group across a line break", "Zm9v\r\nYm\r\n", Outcome::TruncatedGroup},
    {"padding in a short group", "Zm9vYm=", Outcome::TruncatedGroup},
};

// Ahead of each refusal, so that it also comes after whole vector blocks.
const std::string kValidLead = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2";

TEST_P(KryUtilityDecode, RefusesMalformedText) {
    for (const auto& r : kRefusals) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(decodeBy(GetParam(), bytesOf(r.text)));
        EXPECT_FALSE(decodeBy(GetParam(), bytesOf(kValidLead + "\r\n" + r.text)));
    }
}

std::string routeName(const ::testing::TestParamInfo<Route>& info) {
    switch (info.param) {
    case Route::PublicCall:
        return "PublicCall";
    case Route::Scalar:
        return "Scalar";
    case Route::Avx2:
        break;
    }
    return "Avx2";
}

const auto kRoutes = ::testing::Values(Route::PublicCall, Route::Scalar, Route::Avx2);
INSTANTIATE_TEST_SUITE_P(Routes, KryUtilityEncode, kRoutes, routeName);
INSTANTIATE_TEST_SUITE_P(Routes, KryUtilityDecode, kRoutes, routeName);

// Callers describe an empty buffer with a null pointer as often as not.
TEST(KryUtilityPublicCall, TakesAnEmptyViewWithoutBytes) {
    EXPECT_EQ(VekKRYUtility::encodeData_BASE64(r_buffer_t(nullptr, 0), nullptr).getLength(), 0u);
    EXPECT_EQ(VekKRYUtility::decodeData_BASE64(r_buffer_t(nullptr, 0), nullptr).getLength(), 0u);
}

TEST(KryUtilityDecodePaths, GiveTheReasonForARefusal) {
    for (const base64::Path path : {base64::Path::Scalar, base64::Path::Avx2}) {
        if (!base64::isPathAvailable(path)) continue;
        for (const auto& r : kRefusals) {
            SCOPED_TRACE(r.name);
            EXPECT_EQ(outcomeOf(path, bytesOf(r.text)), r.outcome);
            EXPECT_EQ(outcomeOf(path, bytesOf(kValidLead + r.text)), r.outcome);
        }
    }
}

// Inside whole vector blocks, where the scalar loops give the reference.
TEST(KryUtilityDecodePaths, VectorPathRefusesForTheScalarPathsReason) {
    if (!base64::isPathAvailable(base64::Path::Avx2)) GTEST_SKIP() << "this processor has no AVX2";
    const Bytes text = hundredCharacters();
    for (std::size_t at = 0; at < text.size(); ++at) {
        for (const unsigned char c : {' ', '=', '\0', '\x80'}) {
            SCOPED_TRACE("byte " + std::to_string(c) + " at " + std::to_string(at));
            Bytes replaced = text;
            replaced[at] = c;
            EXPECT_EQ(outcomeOf(base64::Path::Avx2, replaced), outcomeOf(base64::Path::Scalar, replaced));
            const Bytes inserted = insertAt(text, at, std::string(1, static_cast<char>(c)));
            EXPECT_EQ(outcomeOf(base64::Path::Avx2, inserted), outcomeOf(base64::Path::Scalar, inserted));
        }
    }
}

} // namespace

// --- Into caller memory ------------------------------------------------------

// The line-broken text is what the unbroken text gives when it is cut into
// lines of width characters joined by LF, at every length around the edges
// of a line and of the encoder's internal runs.
TEST(KryUtilityLines, MatchesTheUnbrokenTextCutIntoLines) {
    std::mt19937 random(7);
    for (std::size_t width : {4u, 72u, 76u, 4096u, 8192u}) {
        for (std::size_t length : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 56u, 3023u, 3024u, 3025u, 6049u, 100000u}) {
            SCOPED_TRACE("width " + std::to_string(width) + ", length " + std::to_string(length));
            Bytes data(length);
            for (auto& b : data) b = static_cast<unsigned char>(random());
            const Bytes text = encodeBy(Route::PublicCall, data);
            Bytes expected;
            for (std::size_t at = 0; at < text.size(); at += width) {
                if (at != 0) expected.push_back('\n');
                expected.insert(expected.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                                text.begin() + static_cast<std::ptrdiff_t>(std::min(text.size(), at + width)));
            }
            const std::size_t size = VekKRYUtility::encodedLinesLength(length, width);
            ASSERT_EQ(size, expected.size());
            const auto in = exactCopy(data);
            std::unique_ptr<unsigned char[]> out(new unsigned char[size + 1]);
            out[size] = 0xEE;
            VekKRYUtility::encodeLinesInto(r_buffer_t(in.get(), length), width, out.get());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.get()));
            EXPECT_EQ(out[size], 0xEE) << "wrote past the text";
        }
    }
}

TEST(KryUtilityDecodeInto, AgreesWithTheDecodingThatAllocates) {
    const struct {
        const char* text;
        bool decodes;
    } cases[] = {{"QUJD", true}, {"QUJD\r\nQUI=", true}, {"QQ==", true}, {"", true},
                 {"QU JD", false}, {"QUJ", false}, {"QQ==QUJD", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::size_t length = std::strlen(c.text);
        std::vector<unsigned char> out(VekKRYUtility::decodedCapacity(length));
        std::size_t written = 99;
        EXPECT_EQ(VekKRYUtility::decodeInto(r_buffer_t(c.text, length), out.data(), &written), c.decodes);
        if (!c.decodes) {
            EXPECT_EQ(written, 0u);
            EXPECT_THROW(VekKRYUtility::decodeData_BASE64(r_buffer_t(c.text, length), nullptr), VekKRYException);
            continue;
        }
        const VekBuffer whole = VekKRYUtility::decodeData_BASE64(r_buffer_t(c.text, length), nullptr);
        ASSERT_EQ(written, whole.getLength());
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written), whole.getValue()));
    }
}
