// The MIME scanner and S/MIME parser on messages of 1 KiB, 1 MiB and 64 MiB:
// classification and payload extraction of an opaque message (with and
// without a base64 body), and both body parts of a clear-signed message,
// beside the floor of the same work (a search through the bytes and the copy
// of what is handed out), measured in the same run. Also the classification
// of messages whose Content-Type header alone is 64 KiB or 1 MiB: one line
// of quoted tokens and one folded over many lines, beside one plain line of
// as many tokens, so that a scan that slows down with what a header holds
// shows as a ratio to the plain one.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "summary.h"
#include "vek4kivosmime.h"
#include "vekkryutility.h"

namespace {

constexpr std::int64_t kSizes[] = {1 << 10, 1 << 20, 64 << 20};

using Bytes = std::string;

Bytes randomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    Bytes bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() >> 56);
    return bytes;
}

Bytes base64Lines(const Bytes& bytes) {
    Bytes text(VekKRYUtility::encodedLinesLength(bytes.size(), 72), '\0');
    VekKRYUtility::encodeLinesInto(r_buffer_t(bytes.data(), bytes.size()), 72, reinterpret_cast<unsigned char*>(&text[0]));
    return text;
}

enum class Shape { OpaqueBase64, OpaqueBinary, ClearSigned, HeaderPlain, HeaderQuoted, HeaderFolded };

// A message of about size bytes.
Bytes makeMessage(Shape shape, std::size_t size) {
    switch (shape) {
    case Shape::OpaqueBase64:
        return "Content-Type: application/pkcs7-mime;\r\n   smime-type=signed-data;\r\n   name=smime.p7m\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" +
               base64Lines(randomBytes(size / 4 * 3, 1));
    case Shape::OpaqueBinary:
        return "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n\r\n" + randomBytes(size, 2);
    case Shape::ClearSigned: {
        // Text of 76-character lines, as mail bodies are.
        Bytes text = "Content-Type: text/plain\r\n\r\n";
        const Bytes line = Bytes(76, 'a') + "\r\n";
        while (text.size() < size) text += line;
        return "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; "
               "boundary=boundaryKQF\r\n\r\n--boundaryKQF\r\n" +
               text + "\r\n--boundaryKQF\r\nContent-Type: application/pkcs7-signature\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" +
               base64Lines(randomBytes(1500, 3)) + "\r\n\r\n--boundaryKQF--\r\n";
    }
    case Shape::HeaderPlain:
    case Shape::HeaderQuoted:
    case Shape::HeaderFolded: {
        // Four bytes a token in each, so that only the quotes or the folding
        // differ from the plain line.
        const char* token = shape == Shape::HeaderPlain ? " aaa" : shape == Shape::HeaderQuoted ? " \"a\"" : "\r\n a";
        Bytes header = "Content-Type: multipart/signed;";
        while (header.size() < size) header += token;
        return header + "; protocol=\"application/pkcs7-signature\"; boundary=bq\r\n\r\n--bq\r\n";
    }
    }
    return {};
}

const Bytes& message(Shape shape, std::int64_t size) {
    static std::map<std::pair<int, std::int64_t>, Bytes> made;
    Bytes& slot = made[{static_cast<int>(shape), size}];
    if (slot.empty()) slot = makeMessage(shape, static_cast<std::size_t>(size));
    return slot;
}

// Classification and extraction, as the message object asks for them.
void parse(benchmark::State& state, Shape shape, messageType_t expected) {
    const Bytes& text = message(shape, state.range(0));
    gss_buffer_desc held = {static_cast<OM_uint32>(text.size()), const_cast<char*>(text.data())};
    smimeParser parser;
    for (auto _ : state) {
        parser.setMessage(&held);
        gss_buffer_desc object = {0, nullptr};
        gss_buffer_desc content = {0, nullptr};
        const bool ok = parser.getMessageType() == expected && parser.getPKCS7Object(&object, &content) == SMIME_OK &&
                        object.value != nullptr;
        std::free(object.value);
        std::free(content.value);
        if (!ok) {
            state.SkipWithError("the parser did not read the message");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_ParseOpaqueBase64(benchmark::State& s) { parse(s, Shape::OpaqueBase64, messageSignedData); }
void BM_ParseOpaqueBinary(benchmark::State& s) { parse(s, Shape::OpaqueBinary, messageSignedData); }
void BM_ParseClearSigned(benchmark::State& s) { parse(s, Shape::ClearSigned, messageClearSigned); }

// Classification alone, which every operation of the message object asks
// for first; the parameters after the long header must still be read.
void classify(benchmark::State& state, Shape shape) {
    const Bytes& text = message(shape, state.range(0));
    gss_buffer_desc held = {static_cast<OM_uint32>(text.size()), const_cast<char*>(text.data())};
    smimeParser parser;
    for (auto _ : state) {
        parser.setMessage(&held);
        if (parser.getMessageType() != messageClearSigned) {
            state.SkipWithError("the parser did not read the header");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_ClassifyHeaderPlain(benchmark::State& s) { classify(s, Shape::HeaderPlain); }
void BM_ClassifyHeaderQuoted(benchmark::State& s) { classify(s, Shape::HeaderQuoted); }
void BM_ClassifyHeaderFolded(benchmark::State& s) { classify(s, Shape::HeaderFolded); }

// The least the same work takes: finding the end of the headers (and for
// a clear-signed message the delimiters) and copying out what is handed
// out, into a block allocated each time as the parser's is.
void floorOf(benchmark::State& state, Shape shape) {
    const Bytes& text = message(shape, state.range(0));
    const char* needle = shape == Shape::ClearSigned ? "\r\n--boundaryKQF" : "\r\n\r\n";
    for (auto _ : state) {
        const char* begin = text.data();
        const char* end = begin + text.size();
        const void* found = memmem(begin, text.size(), needle, std::strlen(needle));
        const char* from = found != nullptr ? static_cast<const char*>(found) + std::strlen(needle) : end;
        const void* next = shape == Shape::ClearSigned ? memmem(from, static_cast<std::size_t>(end - from), needle,
                                                                std::strlen(needle))
                                                       : nullptr;
        const char* to = next != nullptr ? static_cast<const char*>(next) : end;
        void* copy = VekAllocateBlock(static_cast<std::size_t>(to - from));
        if (copy != nullptr) std::memcpy(copy, from, static_cast<std::size_t>(to - from));
        benchmark::DoNotOptimize(copy);
        std::free(copy);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_FloorOpaqueBinary(benchmark::State& s) { floorOf(s, Shape::OpaqueBinary); }
void BM_FloorClearSigned(benchmark::State& s) { floorOf(s, Shape::ClearSigned); }

void sizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t size : kSizes) b->Arg(size);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ParseOpaqueBase64)->Apply(sizes);
BENCHMARK(BM_ParseOpaqueBinary)->Apply(sizes);
BENCHMARK(BM_ParseClearSigned)->Apply(sizes);
BENCHMARK(BM_FloorOpaqueBinary)->Apply(sizes);
BENCHMARK(BM_FloorClearSigned)->Apply(sizes);
// 64 KiB beside 1 MiB: a scan that is not linear loses throughput 16-fold.
BENCHMARK(BM_ClassifyHeaderPlain)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassifyHeaderQuoted)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassifyHeaderFolded)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void printSummary(const bench::SummarisingReporter& results) {
    std::printf("\nParser throughput, and against its floor (%s)\n", results.kindOfFigures());
    std::printf("  %-22s %9s %10s %12s\n", "parse", "size", "GB/s", "floor/ours");
    const char* pairs[][2] = {{"BM_ParseOpaqueBase64", "BM_FloorOpaqueBinary"},
                              {"BM_ParseOpaqueBinary", "BM_FloorOpaqueBinary"},
                              {"BM_ParseClearSigned", "BM_FloorClearSigned"}};
    for (const auto& pair : pairs) {
        for (const std::string& size : results.argumentsOf(pair[0])) {
            const bench::Measurement* ours = results.find(pair[0], size);
            const bench::Measurement* floor = results.find(pair[1], size);
            if (ours == nullptr) continue;
            std::printf("  %-22s %9s %10.2f %12.2f\n", pair[0] + 3, size.c_str(), ours->bytesPerSecond / 1e9,
                        floor != nullptr ? floor->seconds / ours->seconds : 0.0);
        }
    }
    std::printf("\nClassifying a long header, against a plain line of as many tokens\n");
    std::printf("  %-22s %9s %10s %12s\n", "header", "size", "GB/s", "ours/plain");
    for (const char* name : {"BM_ClassifyHeaderPlain", "BM_ClassifyHeaderQuoted", "BM_ClassifyHeaderFolded"}) {
        for (const std::string& size : results.argumentsOf(name)) {
            const bench::Measurement* ours = results.find(name, size);
            const bench::Measurement* plain = results.find("BM_ClassifyHeaderPlain", size);
            if (ours == nullptr) continue;
            std::printf("  %-22s %9s %10.3f %12.2f\n", name + 3, size.c_str(), ours->bytesPerSecond / 1e9,
                        plain != nullptr ? ours->seconds / plain->seconds : 0.0);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    return bench::runAndSummarise(argc, argv, printSummary);
}
