// The buffer and file utilities and the diagnostic test3.
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "failing_malloc.h"
#include "random_bytes.h"
#include "temp_dir.h"
#include "trace_capture.h"
#include "vek4kivosmime.h"

namespace {

constexpr std::size_t kBlock = 65536;

// --- loadMessage ------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::size_t size;
    std::size_t minimumStorage; // blocks used x 65536
};

const LoadCase kLoads[] = {
    {"an empty file still gets one block", 0, kBlock},
    {"one byte", 1, kBlock},
    {"one byte short of a block: no final copy", kBlock - 1, kBlock},
    {"exactly a block takes a second, empty one", kBlock, 2 * kBlock},
    {"one byte into the second block", kBlock + 1, 2 * kBlock},
    {"several blocks", 3 * kBlock + 12345, 4 * kBlock},
};

// The size of the malloc block that holds block.
std::size_t storageOf(void* block) {
#if defined(_WIN32)
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

TEST(SmimeUtilityLoadMessage, ReadsWholeFilesInBlocks) {
    TempDir dir;
    for (const auto& c : kLoads) {
        SCOPED_TRACE(c.name);
        const std::string bytes = randomBytes(c.size, static_cast<unsigned>(c.size));
        const std::string path = dir.write("message", bytes);
        smime_utility utility;
        gss_buffer_desc out = {0, nullptr};
        ASSERT_EQ(utility.loadMessage(path.c_str(), &out), SMIME_OK);
        ASSERT_NE(out.value, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(out.value), out.length), bytes);
        // The storage is the chain's blocks, or the one final copy of them.
        EXPECT_GE(storageOf(out.value), c.minimumStorage);
        EXPECT_LT(storageOf(out.value), c.minimumStorage + kBlock);
        std::free(out.value);
    }
}

TEST(SmimeUtilityLoadMessage, RefusesWhatItCannotReadAndLeavesTheOutput) {
    TempDir dir;
    const std::string missing = dir.file("missing");
    const std::string folder = dir.file("");
    struct Case {
        const char* name;
        const char* path;
        bool nullOutput;
        unsigned status;
    };
    const Case cases[] = {
        {"null file name", nullptr, false, SMIME_NULL_PARAMETER},
        {"null output", missing.c_str(), true, SMIME_NULL_PARAMETER},
        {"missing file", missing.c_str(), false, SMIME_STREAM_ERROR},
        {"a folder cannot be read", folder.c_str(), false, SMIME_STREAM_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smime_utility utility;
        int marker = 0;
        gss_buffer_desc out = {3, &marker};
        EXPECT_EQ(utility.loadMessage(c.path, c.nullOutput ? nullptr : &out), c.status);
        EXPECT_EQ(out.length, 3u);
        EXPECT_EQ(out.value, &marker);
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "loading never creates the file";
}

TEST(SmimeUtilityLoadMessage, EveryAllocationFailureGives15AndLeavesNothing) {
    TempDir dir;
    const std::string path = dir.write("message", randomBytes(3 * kBlock + 5, 4));
    int sites = 0;
    for (int n = 1;; ++n) {
        SCOPED_TRACE(n);
        smime_utility utility;
        int marker = 0;
        gss_buffer_desc out = {3, &marker};
        unsigned status;
        {
            MallocFailure failure(n);
            status = utility.loadMessage(path.c_str(), &out);
        }
        if (mallocCallsSinceArmed() < n) {
            EXPECT_EQ(status, SMIME_OK);
            std::free(out.value);
            break;
        }
        ++sites;
        EXPECT_EQ(status, SMIME_NO_MEMORY);
        EXPECT_EQ(out.length, 3u);
        EXPECT_EQ(out.value, &marker);
    }
    // Four blocks of a node and storage each, and the final copy; the leak
    // checker of the sanitizer build proves each failure released the chain.
    EXPECT_EQ(sites, 9);
}

// --- deleteBufferChain --------------------------------------------------------

TEST(SmimeUtilityDeleteBufferChain, FreesEveryNodeAndRefusesNull) {
    smime_utility utility;
    EXPECT_EQ(utility.deleteBufferChain(nullptr), GSS_S_FAILURE);
    smimeBuffer_T* first = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto* node = static_cast<smimeBuffer_T*>(std::malloc(sizeof(smimeBuffer_T)));
        node->buffer = i == 1 ? nullptr : static_cast<unsigned char*>(std::malloc(16));
        node->length = 0;
        node->next = first;
        first = node;
    }
    // The leak checker of the sanitizer build proves every block went.
    EXPECT_EQ(utility.deleteBufferChain(first), SMIME_OK);
}

// --- fillBuffer -----------------------------------------------------------------

TEST(SmimeUtilityFillBuffer, FillsExactlyCountBytes) {
    smime_utility utility;
    unsigned char bytes[64];
    std::memset(bytes, 0xEE, sizeof bytes);
    gss_buffer_desc buffer = {sizeof bytes, bytes};
    ASSERT_EQ(utility.fillBuffer(&buffer, 48), SMIME_OK);
    int changed = 0;
    for (int i = 0; i < 48; ++i) changed += bytes[i] != 0xEE;
    EXPECT_GT(changed, 24) << "the first 48 bytes are random";
    for (int i = 48; i < 64; ++i) EXPECT_EQ(bytes[i], 0xEE) << "byte " << i << " is beyond the count";
    EXPECT_EQ(utility.fillBuffer(&buffer, sizeof bytes), SMIME_OK) << "a count equal to the length";
}

TEST(SmimeUtilityFillBuffer, RefusesShortOrEmptyBuffers) {
    smime_utility utility;
    unsigned char bytes[8] = {};
    gss_buffer_desc buffer = {sizeof bytes, bytes};
    EXPECT_EQ(utility.fillBuffer(&buffer, 9), GSS_S_FAILURE);
    for (unsigned char byte : bytes) EXPECT_EQ(byte, 0);
    gss_buffer_desc noValue = {8, nullptr};
    EXPECT_EQ(utility.fillBuffer(&noValue, 1), GSS_S_FAILURE);
    EXPECT_EQ(utility.fillBuffer(nullptr, 1), GSS_S_FAILURE);
}

// --- copyStringToMessage ----------------------------------------------------------

TEST(SmimeUtilityCopyStringToMessage, WritesAtTheOffsetAndReturnsTheEnd) {
    TraceCapture capture;
    smime_utility utility;
    char bytes[16];
    std::memset(bytes, '.', sizeof bytes);
    gss_buffer_desc buffer = {sizeof bytes, bytes};
    EXPECT_EQ(utility.copyStringToMessage("abc", &buffer, 5), bytes + 8);
    EXPECT_EQ(std::string(bytes, sizeof bytes), ".....abc........");
    EXPECT_EQ(utility.copyStringToMessage("", &buffer, 2), bytes + 2);
    EXPECT_EQ(buffer.length, sizeof bytes) << "the length is not changed";
    gss_buffer_desc noValue = {16, nullptr};
    EXPECT_EQ(utility.copyStringToMessage("abc", &noValue, 0), nullptr);
    EXPECT_EQ(utility.copyStringToMessage("abc", nullptr, 0), nullptr);
    EXPECT_EQ(capture.texts(VekTrace::kLevelEntry),
              std::vector<std::string>(4, "smimebas::copyStringToMessage()"));
    EXPECT_EQ(capture.records().front().file, "src/sutils");
}

// --- cmpgssBuffer -----------------------------------------------------------------

TEST(SmimeUtilityCmpgssBuffer, OrdersByTheFirstDifferingUnsignedByte) {
    struct Case {
        const char* name;
        std::string first;
        std::string second;
        unsigned count;
        int expected;
    };
    const Case cases[] = {
        {"equal", "abcd", "abcd", 4, 0},
        {"first smaller", "abcd", "abzd", 4, -1},
        {"first larger", "abzd", "abcd", 4, 1},
        {"bytes compare unsigned", "\x80", "\x01", 1, 1},
        {"difference beyond the count", "abcX", "abcY", 3, 0},
        {"a count of 0 is always equal", "", "", 0, 0},
        {"first shorter than the count", "ab", "abcd", 3, -1},
        {"second shorter than the count, prefix equal", "abcd", "ab", 3, -1},
    };
    smime_utility utility;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const gss_buffer_desc first = {static_cast<OM_uint32>(c.first.size()), const_cast<char*>(c.first.data())};
        const gss_buffer_desc second = {static_cast<OM_uint32>(c.second.size()), const_cast<char*>(c.second.data())};
        EXPECT_EQ(utility.cmpgssBuffer(&first, &second, c.count), c.expected);
    }
}

// --- dumpHexToAscii and test3 -------------------------------------------------------

std::string dump(const std::string& bytes) {
    smime_utility utility;
    const gss_buffer_desc buffer = {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
    testing::internal::CaptureStdout();
    EXPECT_EQ(utility.dumpHexToAscii(&buffer), 0u);
    return testing::internal::GetCapturedStdout();
}

TEST(SmimeUtilityDumpHexToAscii, PrintsUnpaddedHexEightThenNineALine) {
    EXPECT_EQ(dump(std::string("\x01\xAB\x00", 3)), "\nThe raw contents of the buffer of size 3 : \n[1ab0].\n");
    EXPECT_EQ(dump(""), "\nThe raw contents of the buffer of size 0 : \n[].\n");
    std::string eighteen;
    for (int i = 0; i < 18; ++i) eighteen += static_cast<char>(i);
    EXPECT_EQ(dump(eighteen), "\nThe raw contents of the buffer of size 18 : \n[01234567\n89abcdef10\n11].\n");
}

TEST(Test3, GreetsOnStandardOutput) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(test3(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Hello smime! \n");
}

} // namespace
