// The seed corpora and every input a fuzzer once found a fault with, replayed through the fuzz targets' entry
// points: each passes the entry point's checks (which abort otherwise) and ends with a documented status.
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

// A folder under fuzz/corpus and fuzz/regressions, its entry point, what a replay may end with (memory never
// runs out here), and the seeds that fuzz/make_corpus.sh made to end with a known status: "own-" ones
// unprotect what the target's identities made, "rsa-" ones come from unknown keys.
struct Target { const char* name; unsigned (*entry)(const std::uint8_t*, std::size_t); std::vector<unsigned> statuses; std::map<std::string, unsigned> known; };

const unsigned kOk = SMIME_OK, kNull = SMIME_NULL_PARAMETER, kBadEncoding = SMIME_BAD_ENCODING, kFailed = SMIME_PROVIDER_FAILED, kBad = SMIME_BAD_MESSAGE;
const Target kTargets[] = {
    {"scanner", fuzzentry::scanMessage, {kOk}, {}},
    {"parser", fuzzentry::parseMessage, {kOk, kNull, kBad}, {{"openssl-signed.eml", kOk}, {"openssl-clear-signed.eml", kOk}, {"openssl-enveloped.eml", kOk}}},
    {"base64", fuzzentry::decodeBase64, {kOk, kNull},
     {{"der-64-lf", kOk}, {"der-76-crlf", kOk}, {"break-inside-group", kOk}, {"space-inside", kNull}, {"cut-short", kNull},
      {"data-after-padding", kNull}}},
    {"printable", fuzzentry::decodePrintable, {kOk, kBadEncoding}, {{"soft-breaks", kOk}, {"bad-escape", kBadEncoding}, {"bare-lf", kBadEncoding}}},
    {"unprotect", fuzzentry::unprotectMessage, {kOk, kFailed, kBad},
     {{"own-rsa-signed", kOk}, {"own-rsa-clear-signed", kOk}, {"own-rsa-enveloped", kOk}, {"own-ec-signed", kOk},
      {"own-ec-clear-signed", kOk}, {"own-ec-enveloped", kOk}, {"own-ec-enveloped-in-place", kOk},
      {"rsa-openssl-signed", kFailed}, {"rsa-smime-enveloped", kFailed}, {"rsa-untyped", kBad}}},
    {"mail", fuzzentry::readMail, {kOk}, {}},
};

TEST(FuzzReplay, EveryKeptInputEndsWithADocumentedOrKnownStatus) {
    for (const Target& target : kTargets) {
        std::size_t seeds = 0, known = 0;
        for (const std::string kind : {"corpus", "regressions"}) {
            std::error_code absent; // fuzz/regressions may hold nothing for a target
            const fs::path folder = fs::path(SMIME_SOURCE_DIR) / "fuzz" / kind / target.name;
            for (const auto& entry : fs::recursive_directory_iterator(folder, absent)) {
                if (!entry.is_regular_file()) continue;
                SCOPED_TRACE(entry.path().string());
                const std::string bytes = TempDir::read(entry.path().string());
                const unsigned status = target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
                EXPECT_NE(std::find(target.statuses.begin(), target.statuses.end(), status), target.statuses.end()) << status;
                const auto made = target.known.find(entry.path().filename().string());
                if (kind == "corpus" && made != target.known.end()) { ++known; EXPECT_EQ(status, made->second); }
                seeds += kind == "corpus";
            }
        }
        EXPECT_NE(seeds, 0u) << "no seeds for " << target.name;
        EXPECT_EQ(known, target.known.size()) << "a seed of known outcome is missing for " << target.name;
    }
}

} // namespace
