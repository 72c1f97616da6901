// The inputs kept beside the fuzz targets, replayed through the targets' own
// entry points (fuzz/entry_points.h): the seed corpora and every input a
// fuzzer once found a fault with. Each must pass the entry point's checks
// (which abort otherwise) and end with a status its operation documents; the
// seeds whose outcome is known from how they were made must have that one.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "entry_points.h"
#include "vek4kivosmime.h"

namespace {

namespace fs = std::filesystem;

using EntryPoint = unsigned (*)(const std::uint8_t*, std::size_t);

struct Target {
    const char* name; // the folder under fuzz/corpus and fuzz/regressions
    EntryPoint entry;
    std::vector<unsigned> statuses; // what a replay may end with (memory never runs out here)
};

const Target kTargets[] = {
    {"scanner", fuzzentry::scanMessage, {SMIME_OK}},
    {"parser", fuzzentry::parseMessage, {SMIME_OK, SMIME_NULL_PARAMETER, SMIME_BAD_MESSAGE}},
    {"base64", fuzzentry::decodeBase64, {SMIME_OK, SMIME_NULL_PARAMETER}},
    {"printable", fuzzentry::decodePrintable, {SMIME_OK, SMIME_BAD_ENCODING}},
    {"unprotect", fuzzentry::unprotectMessage, {SMIME_OK, SMIME_PROVIDER_FAILED, SMIME_BAD_MESSAGE}},
};

const fs::path kFuzzFolder = fs::path(SMIME_SOURCE_DIR) / "fuzz";

std::vector<fs::path> filesUnder(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    return files;
}

std::string contentsOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned replay(const Target& target, const fs::path& file) {
    const std::string bytes = contentsOf(file);
    return target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool isAllowed(const Target& target, unsigned status) {
    for (unsigned allowed : target.statuses)
        if (status == allowed) return true;
    return false;
}

TEST(FuzzReplay, EveryKeptInputEndsWithADocumentedStatus) {
    for (const Target& target : kTargets) {
        const std::vector<fs::path> seeds = filesUnder(kFuzzFolder / "corpus" / target.name);
        EXPECT_FALSE(seeds.empty()) << "no seeds for " << target.name << " under " << kFuzzFolder;
        std::vector<fs::path> inputs = filesUnder(kFuzzFolder / "regressions" / target.name);
        inputs.insert(inputs.end(), seeds.begin(), seeds.end());
        for (const fs::path& input : inputs) {
            SCOPED_TRACE(input.string());
            const unsigned status = replay(target, input);
            EXPECT_TRUE(isAllowed(target, status)) << "status " << status;
        }
    }
}

const Target& targetNamed(const std::string& name) {
    for (const Target& target : kTargets)
        if (name == target.name) return target;
    throw std::invalid_argument("no fuzz target " + name);
}

struct KnownOutcome {
    const char* target;
    const char* seed;
    unsigned status;
};

// Made by fuzz/make_corpus.sh: the base64 and the messages by openssl, the
// "own-" seeds unprotect what the target's identities signed or encrypted
// unchanged, and the "rsa-" seeds come from a CA and keys the target does not
// know.
const KnownOutcome kKnownOutcomes[] = {
    {"base64", "der-64-lf", SMIME_OK},
    {"base64", "der-76-crlf", SMIME_OK},
    {"base64", "break-inside-group", SMIME_OK},
    {"base64", "space-inside", SMIME_NULL_PARAMETER},
    {"base64", "cut-short", SMIME_NULL_PARAMETER},
    {"base64", "data-after-padding", SMIME_NULL_PARAMETER},
    {"printable", "soft-breaks", SMIME_OK},
    {"printable", "bad-escape", SMIME_BAD_ENCODING},
    {"printable", "bare-lf", SMIME_BAD_ENCODING},
    {"parser", "openssl-signed.eml", SMIME_OK},
    {"parser", "openssl-clear-signed.eml", SMIME_OK},
    {"parser", "openssl-enveloped.eml", SMIME_OK},
    {"unprotect", "own-rsa-signed", SMIME_OK},
    {"unprotect", "own-rsa-clear-signed", SMIME_OK},
    {"unprotect", "own-rsa-enveloped", SMIME_OK},
    {"unprotect", "own-ec-signed", SMIME_OK},
    {"unprotect", "own-ec-clear-signed", SMIME_OK},
    {"unprotect", "own-ec-enveloped", SMIME_OK},
    {"unprotect", "own-ec-enveloped-in-place", SMIME_OK},
    {"unprotect", "rsa-openssl-signed", SMIME_PROVIDER_FAILED},
    {"unprotect", "rsa-smime-enveloped", SMIME_PROVIDER_FAILED},
    {"unprotect", "rsa-untyped", SMIME_BAD_MESSAGE},
};

TEST(FuzzReplay, SeedsEndAsTheyWereMadeTo) {
    for (const KnownOutcome& known : kKnownOutcomes) {
        SCOPED_TRACE(std::string(known.target) + "/" + known.seed);
        const fs::path seed = kFuzzFolder / "corpus" / known.target / known.seed;
        ASSERT_TRUE(fs::is_regular_file(seed));
        EXPECT_EQ(replay(targetNamed(known.target), seed), known.status);
    }
}

} // namespace
