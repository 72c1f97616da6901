// Throughput of VekKRYUtility's base64 against OpenSSL's, measured in the
// same run, on 4 KiB and 64 MiB of random bytes.
//
// The public API returns a fresh VekBuffer on every call. At 64 MiB that
// memory comes straight from mmap and every page faults on first touch,
// which costs more than the conversion itself; the "Into" benchmarks run the
// same block loops (base64_codec.h, the code the library is built from) into
// a buffer that was touched beforehand, as the OpenSSL references are, and
// the faults_per_call counter shows what each variant paid. At exit a summary
// prints our throughput over OpenSSL's for each pair.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../support/base64_codec.h"
#include "summary.h"
#include "vekkryutility.h"

namespace {

namespace base64 = detail::base64;

constexpr std::int64_t kSmallSize = 4 << 10;
constexpr std::int64_t kLargeSize = 64 << 20;

using Bytes = std::vector<unsigned char>;

enum class Layout { Unbroken, CRLF64, CRLF76, LF72 };

struct Corpus {
    Bytes data;
    Bytes text;   // OpenSSL's encoding, no line breaks
    Bytes crlf64; // the same text with CR LF after every 64 characters
    Bytes crlf76; // and after every 76, the RFC 2045 limit
    Bytes lf72;   // bare LF after every 72: what the library's generator writes

    const Bytes& textIn(Layout layout) const {
        switch (layout) {
        case Layout::CRLF64:
            return crlf64;
        case Layout::CRLF76:
            return crlf76;
        case Layout::LF72:
            return lf72;
        case Layout::Unbroken:
            break;
        }
        return text;
    }
};

Bytes breakLines(const Bytes& text, std::size_t width, const char* lineBreak = "\r\n") {
    const std::size_t breakLength = std::strlen(lineBreak);
    Bytes broken;
    broken.reserve(text.size() + text.size() / width * breakLength + breakLength);
    for (std::size_t at = 0; at < text.size(); at += width) {
        if (at != 0) broken.insert(broken.end(), lineBreak, lineBreak + breakLength);
        const std::size_t n = std::min(width, text.size() - at);
        broken.insert(broken.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                      text.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return broken;
}

// Made once per size and process.
const Corpus& corpus(std::int64_t size) {
    static std::map<std::int64_t, std::unique_ptr<Corpus>> made;
    auto& slot = made[size];
    if (slot) return *slot;
    slot = std::make_unique<Corpus>();
    std::mt19937_64 random(0x6261736536347631ull);
    slot->data.resize(static_cast<std::size_t>(size));
    for (auto& b : slot->data) b = static_cast<unsigned char>(random() >> 56);
    slot->text.resize(VekKRYUtility::encodedLength(slot->data.size()) + 1);
    const int n = EVP_EncodeBlock(slot->text.data(), slot->data.data(), static_cast<int>(size));
    slot->text.resize(static_cast<std::size_t>(n));
    slot->crlf64 = breakLines(slot->text, 64);
    slot->crlf76 = breakLines(slot->text, 76);
    slot->lf72 = breakLines(slot->text, 72, "\n");
    return *slot;
}


const char* pathName(base64::Path path) { return path == base64::Path::Avx2 ? "avx2" : "scalar"; }

// --- encode ----------------------------------------------------------------

void BM_KryUtilityEncode(benchmark::State& state) {
    const Corpus& c = corpus(state.range(0));
    const r_buffer_t view(c.data.data(), c.data.size());
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        VekBuffer text = VekKRYUtility::encodeData_BASE64(view, nullptr);
        benchmark::DoNotOptimize(text.getValue());
    }
    faults.finish(c.data.size());
    state.SetLabel("fresh VekBuffer per call");
}

void encodeInto(benchmark::State& state, base64::Path path) {
    const Corpus& c = corpus(state.range(0));
    Bytes out(c.text.size());
    base64::encode(path, c.data.data(), c.data.size(), out.data());
    if (out != c.text) state.SkipWithError("encoding differs from OpenSSL's");
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        base64::encode(path, c.data.data(), c.data.size(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    faults.finish(c.data.size());
    state.SetLabel(pathName(path));
}

void BM_KryUtilityEncodeInto(benchmark::State& state) { encodeInto(state, base64::fastestPath()); }
void BM_KryUtilityEncodeScalarInto(benchmark::State& state) { encodeInto(state, base64::Path::Scalar); }

void BM_OpenSSLEncodeBlock(benchmark::State& state) {
    const Corpus& c = corpus(state.range(0));
    Bytes out(c.text.size() + 1); // EVP_EncodeBlock adds a NUL
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        const int n = EVP_EncodeBlock(out.data(), c.data.data(), static_cast<int>(c.data.size()));
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    faults.finish(c.data.size());
}

// The MIME layout the library writes: 72-character lines joined by LF,
// straight into a block sized once.
void BM_KryUtilityEncodeLinesInto(benchmark::State& state) {
    const Corpus& c = corpus(state.range(0));
    const r_buffer_t view(c.data.data(), c.data.size());
    Bytes out(VekKRYUtility::encodedLinesLength(c.data.size(), 72));
    VekKRYUtility::encodeLinesInto(view, 72, out.data());
    if (out != c.lf72) state.SkipWithError("the lines differ from OpenSSL's text broken into lines");
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        VekKRYUtility::encodeLinesInto(view, 72, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    faults.finish(c.data.size());
}

// --- decode ----------------------------------------------------------------

void decodeApi(benchmark::State& state, Layout layout) {
    const Corpus& c = corpus(state.range(0));
    const Bytes& text = c.textIn(layout);
    const r_buffer_t view(text.data(), text.size());
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        VekBuffer bytes = VekKRYUtility::decodeData_BASE64(view, nullptr);
        benchmark::DoNotOptimize(bytes.getValue());
    }
    faults.finish(text.size());
    state.SetLabel("fresh VekBuffer per call");
}

void BM_KryUtilityDecodeCRLF64(benchmark::State& state) { decodeApi(state, Layout::CRLF64); }
void BM_KryUtilityDecodeCRLF76(benchmark::State& state) { decodeApi(state, Layout::CRLF76); }

void decodeInto(benchmark::State& state, Layout layout, base64::Path path) {
    const Corpus& c = corpus(state.range(0));
    const Bytes& text = c.textIn(layout);
    Bytes out(base64::decodedCapacity(text.size()));
    const base64::DecodeResult first = base64::decode(path, text.data(), text.size(), out.data());
    if (first.outcome != base64::DecodeOutcome::Decoded || first.length != c.data.size() ||
        !std::equal(c.data.begin(), c.data.end(), out.begin()))
        state.SkipWithError("decoding differs from the original bytes");
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        const base64::DecodeResult result = base64::decode(path, text.data(), text.size(), out.data());
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    faults.finish(text.size());
    state.SetLabel(pathName(path));
}

void BM_KryUtilityDecodeInto(benchmark::State& state) { decodeInto(state, Layout::Unbroken, base64::fastestPath()); }
void BM_KryUtilityDecodeIntoCRLF64(benchmark::State& state) {
    decodeInto(state, Layout::CRLF64, base64::fastestPath());
}
void BM_KryUtilityDecodeIntoCRLF76(benchmark::State& state) {
    decodeInto(state, Layout::CRLF76, base64::fastestPath());
}
void BM_KryUtilityDecodeIntoLF72(benchmark::State& state) { decodeInto(state, Layout::LF72, base64::fastestPath()); }
void BM_KryUtilityDecodeScalarIntoCRLF76(benchmark::State& state) {
    decodeInto(state, Layout::CRLF76, base64::Path::Scalar);
}

// EVP_DecodeBlock cannot skip line breaks, so it gets the unbroken text.
void BM_OpenSSLDecodeBlock(benchmark::State& state) {
    const Corpus& c = corpus(state.range(0));
    Bytes out(c.text.size() / 4 * 3);
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        const int n = EVP_DecodeBlock(out.data(), c.text.data(), static_cast<int>(c.text.size()));
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    faults.finish(c.text.size());
}

void decodeUpdate(benchmark::State& state, Layout layout) {
    const Corpus& c = corpus(state.range(0));
    const Bytes& text = c.textIn(layout);
    Bytes out(text.size() / 4 * 3 + 80);
    const std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> context(EVP_ENCODE_CTX_new(),
                                                                                  EVP_ENCODE_CTX_free);
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        EVP_DecodeInit(context.get());
        int n = 0;
        int last = 0;
        if (EVP_DecodeUpdate(context.get(), out.data(), &n, text.data(), static_cast<int>(text.size())) < 0 ||
            EVP_DecodeFinal(context.get(), out.data() + n, &last) != 1) {
            state.SkipWithError("EVP_DecodeUpdate refused the text");
            break;
        }
        benchmark::DoNotOptimize(n + last);
        benchmark::ClobberMemory();
    }
    faults.finish(text.size());
}

void BM_OpenSSLDecodeUpdateCRLF64(benchmark::State& state) { decodeUpdate(state, Layout::CRLF64); }
void BM_OpenSSLDecodeUpdateCRLF76(benchmark::State& state) { decodeUpdate(state, Layout::CRLF76); }

void sizes(benchmark::internal::Benchmark* b) { b->Arg(kSmallSize)->Arg(kLargeSize)->Unit(benchmark::kMicrosecond); }

BENCHMARK(BM_KryUtilityEncode)->Apply(sizes);
BENCHMARK(BM_KryUtilityEncodeInto)->Apply(sizes);
BENCHMARK(BM_KryUtilityEncodeScalarInto)->Apply(sizes);
BENCHMARK(BM_OpenSSLEncodeBlock)->Apply(sizes);
BENCHMARK(BM_KryUtilityEncodeLinesInto)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeCRLF64)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeCRLF76)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeInto)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeIntoCRLF64)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeIntoCRLF76)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeIntoLF72)->Apply(sizes);
BENCHMARK(BM_KryUtilityDecodeScalarIntoCRLF76)->Apply(sizes);
BENCHMARK(BM_OpenSSLDecodeBlock)->Apply(sizes);
BENCHMARK(BM_OpenSSLDecodeUpdateCRLF64)->Apply(sizes);
BENCHMARK(BM_OpenSSLDecodeUpdateCRLF76)->Apply(sizes);

// --- summary ---------------------------------------------------------------

// Our throughput over OpenSSL's for each pair, and what a fresh VekBuffer
// costs the public calls.
void printSummary(const bench::SummarisingReporter& results) {
    std::printf("\nOurs / OpenSSL (%s; >1 means we are faster)\n", results.kindOfFigures());
    std::printf("  %-38s %-30s %8s %10s %10s\n", "ours", "reference", "size", "by MB/s", "by time");
    const char* pairs[][2] = {
        {"BM_KryUtilityEncodeInto", "BM_OpenSSLEncodeBlock"},
        {"BM_KryUtilityEncodeScalarInto", "BM_OpenSSLEncodeBlock"},
        {"BM_KryUtilityEncode", "BM_OpenSSLEncodeBlock"},
        {"BM_KryUtilityEncodeLinesInto", "BM_OpenSSLEncodeBlock"},
        {"BM_KryUtilityDecodeIntoCRLF76", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeIntoCRLF64", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeIntoLF72", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeScalarIntoCRLF76", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeCRLF76", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeInto", "BM_OpenSSLDecodeBlock"},
        {"BM_KryUtilityDecodeIntoCRLF76", "BM_OpenSSLDecodeUpdateCRLF76"},
        {"BM_KryUtilityDecodeIntoCRLF64", "BM_OpenSSLDecodeUpdateCRLF64"},
        {"BM_KryUtilityDecodeCRLF76", "BM_OpenSSLDecodeUpdateCRLF76"},
    };
    for (const auto& pair : pairs) {
        for (const std::string& size : results.argumentsOf(pair[0])) {
            const bench::Measurement* mine = results.find(pair[0], size);
            const bench::Measurement* reference = results.find(pair[1], size);
            if (mine == nullptr || reference == nullptr || reference->bytesPerSecond <= 0) continue;
            std::printf("  %-38s %-30s %8s %10.2f %10.2f\n", pair[0], pair[1], size.c_str(),
                        mine->bytesPerSecond / reference->bytesPerSecond, reference->seconds / mine->seconds);
        }
    }
    // What a fresh VekBuffer costs: the public call against the same loops
    // into a touched buffer.
    const char* fresh[][2] = {
        {"BM_KryUtilityEncode", "BM_KryUtilityEncodeInto"},
        {"BM_KryUtilityDecodeCRLF76", "BM_KryUtilityDecodeIntoCRLF76"},
        {"BM_KryUtilityDecodeCRLF64", "BM_KryUtilityDecodeIntoCRLF64"},
    };
    std::printf("\nShare of the public call spent on its fresh output buffer\n");
    for (const auto& pair : fresh) {
        for (const std::string& size : results.argumentsOf(pair[0])) {
            const bench::Measurement* call = results.find(pair[0], size);
            const bench::Measurement* loops = results.find(pair[1], size);
            if (call == nullptr || loops == nullptr) continue;
            std::printf("  %-38s %8s %6.1f%% of %.1f us, %.0f page faults per call\n", pair[0], size.c_str(),
                        100.0 * (call->seconds - loops->seconds) / call->seconds, call->seconds * 1e6,
                        call->faultsPerCall);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::AddCustomContext("base64_path", pathName(base64::fastestPath()));
    return bench::runAndSummarise(argc, argv, printSummary);
}
