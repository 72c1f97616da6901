// The base64 block loops behind VekKRYUtility, writing into memory that the
// caller provides. There are two paths: portable table lookups, and AVX2
// for processors that have it, picked once per process. Everything is inline
// in this header so that the unit tests and the benchmarks can drive each
// path on its own without the shared library exporting more than its API.
//
// Encoding turns every 12 bits into two characters with one lookup (scalar)
// or 24 bytes into 32 characters with shuffles and a small translation table
// (AVX2). Decoding checks whole groups of four characters at once and leaves
// line breaks that split a group, padding and errors to a slow path that
// runs at most once per line.
#ifndef VEK4CMS_BASE64_CODEC_H
#define VEK4CMS_BASE64_CODEC_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEK4CMS_BASE64_AVX2 1
#else
#define VEK4CMS_BASE64_AVX2 0
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the base64 block loops assume a little-endian machine"
#endif

namespace detail {
namespace base64 {

enum class Path { Scalar, Avx2 };

enum class DecodeOutcome { Decoded, InvalidCharacter, MisplacedPadding, TruncatedGroup, DataAfterPadding };

struct DecodeResult {
    DecodeOutcome outcome;
    std::size_t length; // bytes written; 0 unless decoded
};

// Room the decoders need for text of length characters: the decoded bytes
// plus the slack of their whole-word stores.
constexpr std::size_t decodedCapacity(std::size_t length) { return length / 4 * 3 + 8; }

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Any character outside the alphabet sets this bit in a decoded group.
constexpr std::uint32_t kInvalidMark = 0x01000000u;

constexpr int alphabetValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Two characters for every 12-bit value, first character first in memory.
constexpr std::array<char, 2 * 4096> makePairTable() {
    std::array<char, 2 * 4096> table{};
    for (int i = 0; i < 4096; ++i) {
        table[2 * i] = kAlphabet[i >> 6];
        table[2 * i + 1] = kAlphabet[i & 63];
    }
    return table;
}

// decode[k][c]: the bits that character c contributes in position k of a
// group, already placed in the three output bytes of a little-endian word.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeDecodeTables() {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (int c = 0; c < 256; ++c) {
        const int v = alphabetValue(static_cast<unsigned char>(c));
        if (v < 0) {
            for (auto& table : tables) table[c] = kInvalidMark;
            continue;
        }
        const auto u = static_cast<std::uint32_t>(v);
        tables[0][c] = u << 2;
        tables[1][c] = (u >> 4) | ((u & 0x0Fu) << 12);
        tables[2][c] = ((u >> 2) << 8) | ((u & 0x03u) << 22);
        tables[3][c] = u << 16;
    }
    return tables;
}

alignas(64) inline constexpr std::array<char, 2 * 4096> kPairs = makePairTable();
alignas(64) inline constexpr std::array<std::array<std::uint32_t, 256>, 4> kDecode = makeDecodeTables();

inline std::uint64_t loadBigEndian64(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap64(word);
}

inline std::uint64_t pairAt(std::uint64_t index) {
    std::uint16_t pair;
    std::memcpy(&pair, &kPairs[2 * index], sizeof pair);
    return pair;
}

// Six input bytes (read as eight) into eight characters.
inline void encodeSix(const unsigned char* in, unsigned char* out) {
    const std::uint64_t w = loadBigEndian64(in);
    const std::uint64_t chars = pairAt((w >> 52) & 0xFFF) | pairAt((w >> 40) & 0xFFF) << 16 |
                                pairAt((w >> 28) & 0xFFF) << 32 | pairAt((w >> 16) & 0xFFF) << 48;
    std::memcpy(out, &chars, sizeof chars);
}

// Writes exactly (length + 2) / 3 * 4 characters.
inline void encodeScalar(const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
    // Eight bytes are loaded for every six consumed, so the block loop stops
    // while at least eight remain.
    while (length >= 26) {
        encodeSix(in, out);
        encodeSix(in + 6, out + 8);
        encodeSix(in + 12, out + 16);
        encodeSix(in + 18, out + 24);
        in += 24;
        out += 32;
        length -= 24;
    }
    while (length >= 8) {
        encodeSix(in, out);
        in += 6;
        out += 8;
        length -= 6;
    }
    while (length >= 3) {
        const std::uint32_t w =
            static_cast<std::uint32_t>(in[0]) << 16 | static_cast<std::uint32_t>(in[1]) << 8 | in[2];
        std::memcpy(out, &kPairs[2 * (w >> 12)], 2);
        std::memcpy(out + 2, &kPairs[2 * (w & 0xFFF)], 2);
        in += 3;
        out += 4;
        length -= 3;
    }
    if (length == 0) return;
    const unsigned b0 = in[0];
    const unsigned b1 = length == 2 ? in[1] : 0;
    out[0] = static_cast<unsigned char>(kAlphabet[b0 >> 2]);
    out[1] = static_cast<unsigned char>(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    out[2] = length == 2 ? static_cast<unsigned char>(kAlphabet[(b1 & 15) << 2]) : '=';
    out[3] = '=';
}

inline std::uint32_t decodeGroup(const unsigned char* g) {
    return kDecode[0][g[0]] | kDecode[1][g[1]] | kDecode[2][g[2]] | kDecode[3][g[3]];
}

inline bool isLineBreak(unsigned char c) { return c == '\r' || c == '\n'; }

// Decodes whole groups of four alphabet characters for as long as they come,
// skipping line breaks between groups. Stops at a group that holds anything
// else or is cut short; in and out are left at the first group not taken.
inline void decodeRunScalar(const unsigned char*& in, const unsigned char* end, unsigned char*& out) noexcept {
    for (;;) {
        while (end - in >= 8) {
            const std::uint32_t first = decodeGroup(in);
            const std::uint32_t second = decodeGroup(in + 4);
            if (((first | second) & kInvalidMark) != 0) break;
            // Whole-word stores: the fourth byte of each is overwritten next
            // or lies in the slack of decodedCapacity.
            std::memcpy(out, &first, 4);
            std::memcpy(out + 3, &second, 4);
            out += 6;
            in += 8;
        }
        if (end - in >= 4) {
            const std::uint32_t bits = decodeGroup(in);
            if ((bits & kInvalidMark) == 0) {
                std::memcpy(out, &bits, 4);
                out += 3;
                in += 4;
                continue;
            }
        }
        if (in == end || !isLineBreak(*in)) return;
        do ++in;
        while (in != end && isLineBreak(*in));
    }
}

inline bool isPadding(unsigned char c) { return c == '='; }

inline bool holdsForeignCharacter(const unsigned char* group, int count) {
    for (int i = 0; i < count; ++i)
        if (alphabetValue(group[i]) < 0 && !isPadding(group[i])) return true;
    return false;
}

// The last group, with one or two '=' at its end and no character outside
// the alphabet. Only line breaks may follow.
inline DecodeOutcome finishPaddedGroup(const unsigned char group[4], const unsigned char* rest,
                                       const unsigned char* end, unsigned char*& out) {
    const bool twoPad = isPadding(group[2]);
    if (isPadding(group[0]) || isPadding(group[1])) return DecodeOutcome::MisplacedPadding;
    for (; rest != end; ++rest)
        if (!isLineBreak(*rest)) return DecodeOutcome::DataAfterPadding;
    // The caller has ruled out foreign characters, so only padding can stand
    // in the group, and it is replaced by a character worth zero.
    const unsigned char filled[4] = {group[0], group[1], twoPad ? static_cast<unsigned char>('A') : group[2],
                                     static_cast<unsigned char>('A')};
    const std::uint32_t bits = decodeGroup(filled);
    // Bits that the padding says are unused must be zero in a canonical
    // encoding; other decoders accept them anyway, and so do we.
    *out++ = static_cast<unsigned char>(bits);
    if (!twoPad) *out++ = static_cast<unsigned char>(bits >> 8);
    return DecodeOutcome::Decoded;
}

// One group that the block loops left alone, gathered character by character
// across line breaks: a group split by a line break, the padded last group,
// or the error that stopped them. Returns an outcome once decoding is over,
// nothing while text remains.
inline std::optional<DecodeOutcome> decodeSlowGroup(const unsigned char*& in, const unsigned char* end,
                                                    unsigned char*& out) {
    unsigned char group[4];
    int count = 0;
    while (count < 4 && in != end) {
        const unsigned char c = *in++;
        if (!isLineBreak(c)) group[count++] = c;
    }
    if (count == 0) return DecodeOutcome::Decoded;
    if (holdsForeignCharacter(group, count)) return DecodeOutcome::InvalidCharacter;
    if (count < 4) return DecodeOutcome::TruncatedGroup;
    if (isPadding(group[3])) return finishPaddedGroup(group, in, end, out);
    const std::uint32_t bits = decodeGroup(group);
    if ((bits & kInvalidMark) != 0) return DecodeOutcome::MisplacedPadding;
    std::memcpy(out, &bits, 4);
    out += 3;
    return std::nullopt;
}

using DecodeRun = void (*)(const unsigned char*&, const unsigned char*, unsigned char*&);

// Writes at most decodedCapacity(length) bytes.
template <DecodeRun run>
DecodeResult decodeWith(const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
    unsigned char* const start = out;
    const unsigned char* const end = in + length;
    for (;;) {
        run(in, end, out);
        const std::optional<DecodeOutcome> outcome = in == end ? DecodeOutcome::Decoded : decodeSlowGroup(in, end, out);
        if (!outcome) continue;
        const bool decoded = *outcome == DecodeOutcome::Decoded;
        return {*outcome, decoded ? static_cast<std::size_t>(out - start) : 0};
    }
}

inline DecodeResult decodeScalar(const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
    return decodeWith<decodeRunScalar>(in, length, out);
}

#if VEK4CMS_BASE64_AVX2

// The vector paths work on 16-byte lanes: pshufb looks up 16-entry tables
// indexed by a nibble, so each table is given twice, once per lane.

// 24 bytes into 32 characters per step. Each lane takes 12 bytes; a shuffle
// spreads every three bytes a b c into the 32-bit word b a c b, whose two
// 16-bit halves hold the four 6-bit fields at known places, which two
// multiplies then move into a byte each.
__attribute__((target("avx2"))) inline void encodeAvx2(const unsigned char* in, std::size_t length,
                                                       unsigned char* out) noexcept {
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    // Fields 0 and 2 sit at bits 10..15 of the low half and 6..11 of the
    // high half; the high multiply shifts them down by 10 and by 6.
    const __m256i evenFields = _mm256_set1_epi32(0x0FC0FC00);
    const __m256i evenShift = _mm256_set1_epi32(0x04000040);
    // Fields 1 and 3 sit at bits 4..9 and 0..5; the low multiply shifts
    // them up into the second byte of each half.
    const __m256i oddFields = _mm256_set1_epi32(0x003F03F0);
    const __m256i oddShift = _mm256_set1_epi32(0x01000010);
    // The offset from a 6-bit value to its character depends on the range it
    // falls in: A-Z, a-z, 0-9, '+', '/'. The saturating subtraction and the
    // compare below turn a value into an index into this table of offsets.
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    const __m256i lastLetter = _mm256_set1_epi8(51);
    const __m256i firstLowercase = _mm256_set1_epi8(26);
    const __m256i uppercaseSlot = _mm256_set1_epi8(13);

    // Two 16-byte loads at in and in + 12 read 28 bytes for the 24 consumed.
    while (length >= 28) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
        const __m256i bytes =
            _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), spread);
        const __m256i even = _mm256_mulhi_epu16(_mm256_and_si256(bytes, evenFields), evenShift);
        const __m256i odd = _mm256_mullo_epi16(_mm256_and_si256(bytes, oddFields), oddShift);
        const __m256i values = _mm256_or_si256(even, odd);

        // 52..63 -> 1..12, 26..51 -> 0, 0..25 -> 13.
        __m256i index = _mm256_subs_epu8(values, lastLetter);
        const __m256i uppercase = _mm256_cmpgt_epi8(firstLowercase, values);
        index = _mm256_or_si256(index, _mm256_and_si256(uppercase, uppercaseSlot));
        const __m256i chars = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
        in += 24;
        out += 32;
        length -= 24;
    }
    encodeScalar(in, length, out);
}

// 32 characters into 24 bytes per step. A character is in the alphabet when
// the class bits looked up by its low nibble and by its high nibble have
// nothing in common; a third lookup by high nibble gives the offset to its
// 6-bit value ('/' shares its nibble with '+' and is told apart by a
// compare). Multiply-adds then pack four 6-bit values into three bytes.
__attribute__((target("avx2"))) inline void decodeRunAvx2(const unsigned char*& in, const unsigned char* end,
                                                          unsigned char*& out) noexcept {
    // One class bit per kind of high-nibble row, set by low nibble where
    // that row has no alphabet character: 0x01 row 0x2_ ('+' and '/' only),
    // 0x02 row 0x3_ (digits), 0x04 rows 0x4_ and 0x6_ (all but '@' and '`'),
    // 0x08 rows 0x5_ and 0x7_ (up to 'Z' and 'z'), 0x10 the rows with none.
    const __m256i byLowNibble = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, //
                                                 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A, //
                                                 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, //
                                                 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i byHighNibble = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, //
                                                  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, //
                                                  0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, //
                                                  0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // Indexed by high nibble, except '/' at 1: '/'-63, '+'-62, '0'-52,
    // 'A'-0 twice, 'a'-26 twice.
    const __m256i offsets = _mm256_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', //
                                             0, 0, 0, 0, 0, 0, 0, 0,                                          //
                                             0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', //
                                             0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i slash = _mm256_set1_epi8('/');
    const __m256i zero = _mm256_setzero_si256();
    // Pairs of values into 12 bits (first * 64 + second), then pairs of
    // those into 24 bits, which sit in each 32-bit word in reverse order.
    const __m256i pairWeights = _mm256_set1_epi32(0x01400140);
    const __m256i quadWeights = _mm256_set1_epi32(0x00011000);
    const __m256i gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, //
                                            2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i joinLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

    while (end - in >= 32) {
        const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
        const __m256i low = _mm256_and_si256(chars, nibble);
        const __m256i clash =
            _mm256_and_si256(_mm256_shuffle_epi8(byLowNibble, low), _mm256_shuffle_epi8(byHighNibble, high));
        const auto valid = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(clash, zero)));

        const __m256i offsetIndex = _mm256_add_epi8(high, _mm256_cmpeq_epi8(chars, slash));
        const __m256i values = _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, offsetIndex));
        const __m256i packed = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pairWeights), quadWeights);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(packed, gather), joinLanes);
        // 32 bytes stored for 24 decoded: at most 8 past the last decoded
        // byte, inside the slack of decodedCapacity. Groups after a foreign
        // character are garbage here and are overwritten or not counted.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        if (valid == 0xFFFFFFFFu) {
            in += 32;
            out += 24;
            continue;
        }
        const unsigned groups = static_cast<unsigned>(__builtin_ctz(~valid)) / 4;
        in += 4 * groups;
        out += 3 * groups;
        if (!isLineBreak(*in)) break;
        do ++in;
        while (in != end && isLineBreak(*in));
    }
    decodeRunScalar(in, end, out);
}

inline DecodeResult decodeAvx2(const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
    return decodeWith<decodeRunAvx2>(in, length, out);
}

#endif // VEK4CMS_BASE64_AVX2

inline bool isPathAvailable(Path path) noexcept {
    if (path == Path::Scalar) return true;
#if VEK4CMS_BASE64_AVX2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

inline Path fastestPath() noexcept {
    static const Path path = isPathAvailable(Path::Avx2) ? Path::Avx2 : Path::Scalar;
    return path;
}

// Writes exactly (length + 2) / 3 * 4 characters. path must be available.
inline void encode(Path path, const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
#if VEK4CMS_BASE64_AVX2
    if (path == Path::Avx2) return encodeAvx2(in, length, out);
#endif
    (void)path;
    encodeScalar(in, length, out);
}

// out must have room for decodedCapacity(length) bytes. path must be available.
inline DecodeResult decode(Path path, const unsigned char* in, std::size_t length, unsigned char* out) noexcept {
#if VEK4CMS_BASE64_AVX2
    if (path == Path::Avx2) return decodeAvx2(in, length, out);
#endif
    (void)path;
    return decodeScalar(in, length, out);
}

} // namespace base64
} // namespace detail

#endif // VEK4CMS_BASE64_CODEC_H
