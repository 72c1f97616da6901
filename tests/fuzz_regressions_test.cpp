// The seed corpora and every input a fuzzer once found a fault with, replayed
// through the fuzz targets' entry points: each passes the entry point's checks
// (which abort otherwise) and ends with a status its operation documents.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "entry_points.h"
#include "temp_dir.h"
#include "vek4kivosmime.h"

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name; // the folder under fuzz/corpus and fuzz/regressions
    unsigned (*entry)(const std::uint8_t*, std::size_t);
    std::vector<unsigned> statuses; // what a replay may end with (memory never runs out here)
    // Seeds that fuzz/make_corpus.sh made to end with a known status: "own-"
    // ones unprotect what the target's identities made, "rsa-" ones come from
    // keys the target does not know.
    std::map<std::string, unsigned> known;
};

const Target kTargets[] = {
    {"scanner", fuzzentry::scanMessage, {SMIME_OK}, {}},
    {"parser", fuzzentry::parseMessage, {SMIME_OK, SMIME_NULL_PARAMETER, SMIME_BAD_MESSAGE},
     {{"openssl-signed.eml", SMIME_OK}, {"openssl-clear-signed.eml", SMIME_OK}, {"openssl-enveloped.eml", SMIME_OK}}},
    {"base64", fuzzentry::decodeBase64, {SMIME_OK, SMIME_NULL_PARAMETER},
     {{"der-64-lf", SMIME_OK}, {"der-76-crlf", SMIME_OK}, {"break-inside-group", SMIME_OK},
      {"space-inside", SMIME_NULL_PARAMETER}, {"cut-short", SMIME_NULL_PARAMETER},
      {"data-after-padding", SMIME_NULL_PARAMETER}}},
    {"printable", fuzzentry::decodePrintable, {SMIME_OK, SMIME_BAD_ENCODING},
     {{"soft-breaks", SMIME_OK}, {"bad-escape", SMIME_BAD_ENCODING}, {"bare-lf", SMIME_BAD_ENCODING}}},
    {"unprotect", fuzzentry::unprotectMessage, {SMIME_OK, SMIME_PROVIDER_FAILED, SMIME_BAD_MESSAGE},
     {{"own-rsa-signed", SMIME_OK}, {"own-rsa-clear-signed", SMIME_OK}, {"own-rsa-enveloped", SMIME_OK},
      {"own-ec-signed", SMIME_OK}, {"own-ec-clear-signed", SMIME_OK}, {"own-ec-enveloped", SMIME_OK},
      {"own-ec-enveloped-in-place", SMIME_OK}, {"rsa-openssl-signed", SMIME_PROVIDER_FAILED},
      {"rsa-smime-enveloped", SMIME_PROVIDER_FAILED}, {"rsa-untyped", SMIME_BAD_MESSAGE}}},
};

TEST(FuzzReplay, EveryKeptInputEndsWithADocumentedOrKnownStatus) {
    for (const Target& target : kTargets) {
        std::size_t seeds = 0, known = 0;
        for (const std::string kind : {"corpus", "regressions"}) {
            const fs::path folder = fs::path(SMIME_SOURCE_DIR) / "fuzz" / kind / target.name;
            std::error_code absent; // fuzz/regressions may hold nothing for a target
            for (const auto& entry : fs::recursive_directory_iterator(folder, absent)) {
                if (!entry.is_regular_file()) continue;
                SCOPED_TRACE(entry.path().string());
                const std::string bytes = TempDir::read(entry.path().string());
                const unsigned status = target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
                EXPECT_NE(std::find(target.statuses.begin(), target.statuses.end(), status), target.statuses.end())
                    << "status " << status;
                const auto made = target.known.find(entry.path().filename().string());
                if (kind == "corpus" && made != target.known.end()) {
                    EXPECT_EQ(status, made->second);
                    ++known;
                }
                seeds += kind == "corpus";
            }
        }
        EXPECT_NE(seeds, 0u) << "no seeds for " << target.name;
        EXPECT_EQ(known, target.known.size()) << "a seed of known outcome is missing for " << target.name;
    }
}

} // namespace
