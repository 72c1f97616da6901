// Every base64 codec (public calls, each block path, sbase64's MIME and array codecs) held to OpenSSL.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/mime_base64.h"
#include "../support/base64_codec.h"
#include "gss_buffers.h"
#include "openssl_base64.h"
#include "random_bytes.h"
#include "vek4kivosmime.h"
#include "vekkryutility.h"

namespace {

namespace base64 = detail::base64;
using Outcome = base64::DecodeOutcome;

enum class Codec { Public, Scalar, Avx2, Mime, Array };
const Codec kCodecs[] = {Codec::Public, Codec::Scalar, Codec::Avx2, Codec::Mime, Codec::Array};
std::string nameOf(Codec codec) {
    return std::vector<const char*>{"public call", "scalar path", "AVX2 path", "sbase64", "sbase64 array"}[int(codec)];
}

bool isAvailable(Codec codec) { return codec != Codec::Avx2 || base64::isPathAvailable(base64::Path::Avx2); }
base64::Path pathOf(Codec codec) { return codec == Codec::Avx2 ? base64::Path::Avx2 : base64::Path::Scalar; }

// Blocks of exactly their size, so that the sanitizers see a read or write past either end.
std::unique_ptr<unsigned char[]> exactCopy(const std::string& bytes, std::size_t size) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size == 0 ? 1 : size]);
    std::memcpy(copy.get(), bytes.data(), std::min(size, bytes.size()));
    return copy;
}

std::string text(const unsigned char* bytes, std::size_t n) { return {reinterpret_cast<const char*>(bytes), n}; }

// One array codec for every call: its line count must start afresh each time.
std::string encodeWith(Codec codec, const std::string& data, sbase64& array) {
    const auto in = exactCopy(data, data.size());
    const gss_buffer_desc input = viewOf(data);
    gss_buffer_desc output = {0, nullptr};
    if (codec == Codec::Mime) return array.encode(&input, &output) == SMIME_OK ? take(output) : "refused";
    if (codec == Codec::Public) {
        const VekBuffer out = VekKRYUtility::encodeData_BASE64(r_buffer_t(in.get(), data.size()), nullptr);
        return text(out.getValue(), out.getLength());
    }
    const auto n = static_cast<unsigned>(data.size());
    const std::size_t room = codec == Codec::Array ? sbase64::deriveEncodeLength(n) : VekKRYUtility::encodedLength(n);
    const auto out = exactCopy("", room);
    if (codec == Codec::Array) return text(out.get(), array.b64Encode(in.get(), n, out.get(), unsigned(room)));
    base64::encode(pathOf(codec), in.get(), data.size(), out.get());
    return text(out.get(), room);
}

// The array codec also ends a full last line with LF, unless a padded group completed it.
std::string expectedText(Codec codec, const std::string& data) {
    const std::string unbroken = opensslBase64(data);
    if (codec != Codec::Mime && codec != Codec::Array) return unbroken;
    const bool lastLineFull = !data.empty() && data.size() % 3 == 0 && unbroken.size() % 72 == 0;
    return breakLines(unbroken, 72, "\n") + (codec == Codec::Array && lastLineFull ? "\n" : "");
}

struct PathResult { Outcome outcome; std::string bytes; };

PathResult decodeOnPath(base64::Path path, const std::string& encoded) {
    const auto in = exactCopy(encoded, encoded.size());
    const auto out = exactCopy("", base64::decodedCapacity(encoded.size()));
    const base64::DecodeResult result = base64::decode(path, in.get(), encoded.size(), out.get());
    EXPECT_TRUE(result.outcome == Outcome::Decoded || result.length == 0);
    return {result.outcome, text(out.get(), result.length)};
}
Outcome outcomeOf(base64::Path path, const std::string& encoded) { return decodeOnPath(path, encoded).outcome; }

using Text = std::optional<std::string>;
Text decodeWith(Codec codec, const std::string& encoded) {
    const auto in = exactCopy(encoded, encoded.size());
    if (codec == Codec::Public) {
        try {
            const VekBuffer out = VekKRYUtility::decodeData_BASE64(r_buffer_t(in.get(), encoded.size()), nullptr);
            return text(out.getValue(), out.getLength());
        } catch (const VekKRYException&) {
            return std::nullopt;
        }
    }
    sbase64 codec64;
    if (codec == Codec::Mime) {
        const gss_buffer_desc input = viewOf(encoded);
        int marker = 0;
        gss_buffer_desc output = {7, &marker};
        const unsigned status = codec64.decode(&input, &output);
        const bool untouched = output.length == 7 && output.value == &marker;
        EXPECT_TRUE(status == SMIME_OK ? output.value != nullptr : status == SMIME_NULL_PARAMETER && untouched)
            << "an empty result has a block too; a refusal (status " << status << ") leaves the output alone";
        return status == SMIME_OK ? Text(take(output)) : std::nullopt;
    }
    if (codec == Codec::Array) {
        const unsigned room = sbase64::deriveDecodeLength(static_cast<unsigned>(encoded.size()));
        const auto out = exactCopy("", room);
        const unsigned n = codec64.b64Decode(encoded.c_str(), static_cast<unsigned>(encoded.size()), out.get(), room);
        if (n == 0 && encoded.find_first_not_of("\r\n") != std::string::npos) return std::nullopt;
        return text(out.get(), n);
    }
    const PathResult result = decodeOnPath(pathOf(codec), encoded);
    return result.outcome == Outcome::Decoded ? Text(result.bytes) : std::nullopt;
}

struct LineLayout { const char* name; std::size_t width; const char* lineEnd; bool endsWithBreak; std::size_t upTo; };

const LineLayout kLayouts[] = {
    {"one line", 10000, "", false, 3000},          {"CR LF every 76", 76, "\r\n", false, 3000},
    {"CR LF every 64", 64, "\r\n", true, 3000}, {"LF every 64", 64, "\n", false, 600},
    {"LF every 72", 72, "\n", true, 600},       {"CR LF every 63", 63, "\r\n", false, 600},
    {"LF every 77", 77, "\n", true, 600},       {"CR LF every 2", 2, "\r\n", false, 600},
    {"LF every 1", 1, "\n", true, 600},         {"CR LF every 1", 1, "\r\n", true, 600},
};

TEST(Base64, MatchesOpenSSLAtEveryLength) {
    EXPECT_EQ(sbase64::deriveEncodeLength(0xFFFFFFFFu), 0xFFFFFFFFu) << "the array codec's room saturates, not wraps";
    const std::string all = randomBytes(3000, 1);
    sbase64 array;
    for (std::size_t length = 0; length <= all.size(); ++length) {
        const std::string data = all.substr(0, length);
        const std::string unbroken = opensslBase64(data);
        for (const Codec codec : kCodecs) {
            if (!isAvailable(codec) || (codec == Codec::Array && length == 0)) continue;
            SCOPED_TRACE(std::to_string(length) + " bytes, " + nameOf(codec));
            ASSERT_EQ(encodeWith(codec, data, array), expectedText(codec, data));
            for (const auto& layout : kLayouts) {
                if (length > layout.upTo || (codec == Codec::Array && layout.width % 4 != 0)) continue;
                SCOPED_TRACE(layout.name);
                const std::string broken = breakLines(unbroken, layout.width, layout.lineEnd);
                ASSERT_EQ(decodeWith(codec, broken + (layout.endsWithBreak ? layout.lineEnd : "")), data);
            }
        }
    }
    // The encoder that gives its input's memory back as it goes works in runs of 1,572,858 bytes (29,127 lines):
    // across them it writes what the plain one writes.
    constexpr std::size_t kRun = 1572858;
    const std::string large = randomBytes(2 * kRun + 170, 2);
    for (const std::size_t length : {kRun - 1, kRun, kRun + 1, 2 * kRun + 170}) {
        SCOPED_TRACE(std::to_string(length) + " bytes, given back as encoded");
        std::string consumed = large.substr(0, length);
        std::string plain(detail::mimeBase64Length(length), '\0'), given(plain.size(), '\0');
        detail::writeMimeBase64({static_cast<OM_uint32>(length), &consumed[0]}, reinterpret_cast<unsigned char*>(&plain[0]));
        detail::writeMimeBase64Consuming({static_cast<OM_uint32>(length), &consumed[0]}, reinterpret_cast<unsigned char*>(&given[0]));
        ASSERT_TRUE(given == plain);
    }
}

// The array decoder takes line breaks between groups only; the vector path refuses for the scalar one's reason.
TEST(Base64Decode, SkipsLineBreaksAndRefusesForeignBytesAtEveryPosition) {
    const std::string data = randomBytes(74, 3), padded = opensslBase64(data); // ends in a group with one '='
    const std::string valid = opensslBase64(randomBytes(75, 100));             // no padding
    const bool avx2 = base64::isPathAvailable(base64::Path::Avx2);
    for (std::size_t at = 0; at <= valid.size(); ++at) {
        for (const Codec codec : kCodecs) {
            if (!isAvailable(codec)) continue;
            SCOPED_TRACE(nameOf(codec) + ", line break after " + std::to_string(at));
            const Text expected = codec == Codec::Array && at % 4 != 0 ? std::nullopt : Text(data);
            for (const std::string lineEnd : {"\r\n", "\n", "\r", "\n\r\n"})
                ASSERT_EQ(decodeWith(codec, std::string(padded).insert(at, lineEnd)), expected) << lineEnd.size();
        }
        for (int c = 0; c < 256 && at < valid.size(); ++c) {
            const auto byte = static_cast<char>(c);
            if (base64::alphabetValue(static_cast<unsigned char>(c)) >= 0 || c == '\r' || c == '\n') continue;
            SCOPED_TRACE("byte " + std::to_string(c) + " at " + std::to_string(at));
            std::string bad = valid;
            bad[at] = byte;
            // A last '=' is padding; the array decoder stops at any '=' that may be.
            for (const Codec codec : kCodecs) {
                const bool padding = c == '=' && (codec == Codec::Array || at == valid.size() - 1);
                ASSERT_TRUE(!isAvailable(codec) || padding || !decodeWith(codec, bad)) << nameOf(codec);
            }
            if (!avx2) continue;
            ASSERT_EQ(outcomeOf(base64::Path::Avx2, bad), outcomeOf(base64::Path::Scalar, bad));
            const std::string inserted = std::string(valid).insert(at, 1, byte);
            ASSERT_EQ(outcomeOf(base64::Path::Avx2, inserted), outcomeOf(base64::Path::Scalar, inserted));
        }
    }
}

// The array decoder stops at the first padding instead where it does not refuse.
struct Refusal { const char* name; std::string text; Outcome outcome; bool arrayRefuses; };

constexpr Outcome kInvalid = Outcome::InvalidCharacter, kMisplaced = Outcome::MisplacedPadding;
constexpr Outcome kAfterPadding = Outcome::DataAfterPadding, kTruncated = Outcome::TruncatedGroup;
const Refusal kRefusals[] = {
    {"space between groups", "Zm9v YmFy", kInvalid, true}, {"space after padding", "Zm9vYg== ", kAfterPadding, false},
    {"byte 0x80", "Zm9v\x80mFy", kInvalid, true}, {"URL-safe alphabet", "Zm9v-_Fy", kInvalid, true},
    {"'=' first in the last group", "Zm9v=mFy", kMisplaced, true}, {"'=' second", "Zm9vY=Fy", kMisplaced, true},
    {"'=' third in the last group", "Zm9vYm=y", kMisplaced, false}, {"padding only", "Zm9v====", kMisplaced, true},
    {"three '=' in the last group", "Zm9vY===", kMisplaced, true}, {"'=' mid-group", "Zm=vYmFy", kMisplaced, false},
    {"padded group in the middle", "Zm8=YmFy", kAfterPadding, false},
    {"data after padding and a line break", "Zm8=\r\nZg==", kAfterPadding, false},
    {"single character", "Z", kTruncated, true}, {"last group short", "Zm9vYmF", kTruncated, true},
    {"last group short by three", "Zm9vY", kTruncated, true}, {"padding in a short group", "Zm9vYm=", kTruncated, true},
    {"short group across a line break", "Zm9v\r\nYm\r\n", kTruncated, true},
};

// Ahead of each refusal, so that it also comes after whole vector blocks.
const std::string kValidLead = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2";

TEST(Base64Decode, RefusesMalformedTextForItsReason) {
    for (const auto& r : kRefusals) {
        for (const std::string& bad : {r.text, kValidLead + r.text, kValidLead + "\r\n" + r.text}) {
            SCOPED_TRACE(std::string(r.name) + ": " + bad);
            for (const Codec codec : kCodecs)
                EXPECT_TRUE(!isAvailable(codec) || !decodeWith(codec, bad) == (codec != Codec::Array || r.arrayRefuses))
                    << nameOf(codec);
            EXPECT_EQ(outcomeOf(base64::Path::Scalar, bad), r.outcome);
            EXPECT_TRUE(!isAvailable(Codec::Avx2) || outcomeOf(base64::Path::Avx2, bad) == r.outcome) << "AVX2 path";
            auto out = exactCopy("", VekKRYUtility::decodedCapacity(bad.size()));
            std::size_t written = 99;
            EXPECT_FALSE(VekKRYUtility::decodeInto(r_buffer_t(bad.data(), bad.size()), out.get(), &written));
            EXPECT_EQ(written, 0u);
        }
    }
}

} // namespace
