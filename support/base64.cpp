// Base64 over whole buffers. Both directions work on whole blocks with
// tables, so the common path has no branch per character: encoding turns
// every 12 bits into two characters with one lookup; decoding ORs four
// lookups into the three output bytes and tests one bit for all four
// characters at once, leaving line breaks, padding and errors to a slow path
// that runs once per line.
#include "vekkryutility.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the base64 block loops assume a little-endian machine"
#endif

namespace {

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

alignas(64) constexpr std::array<char, 2 * 4096> kPairs = makePairTable();
alignas(64) constexpr std::array<std::array<std::uint32_t, 256>, 4> kDecode = makeDecodeTables();

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

void encodeBlocks(const unsigned char* in, std::size_t length, unsigned char* out) {
    // Eight bytes are loaded for every six consumed, so the block loop stops
    // while at least eight remain.
    while (length >= 14) {
        encodeSix(in, out);
        encodeSix(in + 6, out + 8);
        in += 12;
        out += 16;
        length -= 12;
    }
    while (length >= 3) {
        const std::uint32_t w = static_cast<std::uint32_t>(in[0]) << 16 | static_cast<std::uint32_t>(in[1]) << 8 | in[2];
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

// The last group, with one or two '=' at its end. Only line breaks may follow.
unsigned char* decodePaddedGroup(const unsigned char group[4], const unsigned char* rest,
                                 const unsigned char* end, unsigned char* out) {
    const bool twoPad = group[2] == '=';
    const unsigned char filled[4] = {group[0], group[1], twoPad ? static_cast<unsigned char>('A') : group[2],
                                     static_cast<unsigned char>('A')};
    const std::uint32_t bits = decodeGroup(filled);
    if ((bits & kInvalidMark) != 0) throw VekKRYException("invalid character in base64 text");
    // Bits that the padding says are unused must be zero in a canonical
    // encoding; other decoders accept them anyway, and so do we.
    *out++ = static_cast<unsigned char>(bits);
    if (!twoPad) *out++ = static_cast<unsigned char>(bits >> 8);
    for (; rest != end; ++rest)
        if (!isLineBreak(*rest)) throw VekKRYException("base64 text continues after its padding");
    return out;
}

} // namespace

const char* VekKRYException::what() const noexcept { return reason_; }

VekBuffer VekKRYUtility::encodeData_BASE64(const r_buffer_t& data, void* /*factory*/) {
    if (data.length > std::numeric_limits<std::size_t>::max() / 4 * 3 - 3) throw std::bad_alloc();
    const std::size_t encoded = encodedLength(data.length);
    VekBuffer text(encoded, nullptr);
    if (encoded != 0) {
        encodeBlocks(data.data, data.length, text.prepareAppend(encoded));
        text.commit(encoded);
    }
    return text;
}

VekBuffer VekKRYUtility::decodeData_BASE64(const r_buffer_t& text, void* /*factory*/) {
    // Four spare bytes: every group is stored as a whole 32-bit word.
    const std::size_t bound = text.length / 4 * 3 + 4;
    VekBuffer bytes(bound, nullptr);
    unsigned char* const start = bytes.prepareAppend(bound);
    unsigned char* out = start;
    const unsigned char* in = text.data;
    const unsigned char* const end = in + text.length;

    for (;;) {
        while (end - in >= 8) {
            const std::uint32_t first = decodeGroup(in);
            const std::uint32_t second = decodeGroup(in + 4);
            if (((first | second) & kInvalidMark) != 0) break;
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
        if (in == end) break;
        if (isLineBreak(*in)) {
            ++in;
            continue;
        }
        // A group broken by a line break, padding, or a character outside the
        // alphabet: gather its four characters one by one.
        unsigned char group[4];
        int count = 0;
        while (count < 4 && in != end) {
            const unsigned char c = *in++;
            if (!isLineBreak(c)) group[count++] = c;
        }
        if (count < 4) throw VekKRYException("base64 text ends inside a group of four");
        if (group[3] == '=') {
            out = decodePaddedGroup(group, in, end, out);
            break;
        }
        const std::uint32_t bits = decodeGroup(group);
        if ((bits & kInvalidMark) != 0) throw VekKRYException("invalid character in base64 text");
        std::memcpy(out, &bits, 4);
        out += 3;
    }
    bytes.commit(static_cast<std::size_t>(out - start));
    return bytes;
}
