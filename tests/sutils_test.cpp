// The buffer and file utilities.
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "random_bytes.h"
#include "temp_dir.h"
#include "vek4kivosmime.h"

namespace {

constexpr std::size_t kBlock = 65536;

std::size_t storageOf(void* block) {
#if defined(_WIN32)
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

// The storage is the chain's 65536-byte blocks or one final copy: one block's file takes a second.
TEST(SmimeUtilityLoadMessage, ReadsWholeFilesInBlocksAndRefusesWhatItCannotRead) {
    TempDir dir;
    smime_utility utility;
    const std::size_t sizes[] = {0, 1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock + 12345};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string bytes = randomBytes(size, static_cast<unsigned>(size));
        gss_buffer_desc out = {0, nullptr};
        ASSERT_EQ(utility.loadMessage(dir.write("message", bytes).c_str(), &out), SMIME_OK);
        ASSERT_NE(out.value, nullptr);
        const std::size_t storage = storageOf(out.value);
        EXPECT_EQ(take(out), bytes);
        EXPECT_TRUE(storage >= (size / kBlock + 1) * kBlock && storage < (size / kBlock + 2) * kBlock) << storage;
    }
    const std::string missingFile = dir.file("missing"), folderName = dir.file(""), hugeFile = dir.write("huge", "");
    std::filesystem::resize_file(hugeFile, (1ull << 32) + 1); // sparse: refused before reading, or the test crawls
    const char *missing = missingFile.c_str(), *folder = folderName.c_str(), *huge = hugeFile.c_str();
    const struct { const char* name; const char* path; bool nullOutput; unsigned status; } cases[] = {
        {"null file name", nullptr, false, SMIME_NULL_PARAMETER}, {"null output", missing, true, SMIME_NULL_PARAMETER},
        {"missing file", missing, false, SMIME_STREAM_ERROR}, {"a folder", folder, false, SMIME_STREAM_ERROR},
        {"a file over 4 GiB", huge, false, SMIME_NO_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int marker = 0;
        gss_buffer_desc out = {3, &marker};
        EXPECT_EQ(utility.loadMessage(c.path, c.nullOutput ? nullptr : &out), c.status);
        EXPECT_TRUE(out.length == 3 && out.value == &marker);
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "loading never creates the file";
}

TEST(SmimeUtilityBuffers, FreesFillsAndCopiesOrRefuses) {
    smime_utility utility;
    EXPECT_EQ(utility.deleteBufferChain(nullptr), GSS_S_FAILURE);
    smimeBuffer_T* first = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto* node = static_cast<smimeBuffer_T*>(std::malloc(sizeof(smimeBuffer_T)));
        *node = {first, i == 1 ? nullptr : static_cast<unsigned char*>(std::malloc(16)), 0};
        first = node;
    }
    EXPECT_EQ(utility.deleteBufferChain(first), SMIME_OK); // the sanitizers' leak check sees every block go

    std::string bytes(64, '\xEE');
    gss_buffer_desc buffer = viewOf(bytes), noValue = {8, nullptr};
    ASSERT_EQ(utility.fillBuffer(&buffer, 48), SMIME_OK);
    EXPECT_GT(48 - std::count(bytes.begin(), bytes.begin() + 48, '\xEE'), 24) << "the first 48 bytes are random";
    EXPECT_EQ(bytes.substr(48), std::string(16, '\xEE')) << "beyond the count";
    EXPECT_EQ(utility.fillBuffer(&buffer, 64), SMIME_OK) << "a count equal to the length";
    buffer.length = 8;
    bytes.assign(64, '\0');
    EXPECT_EQ(utility.fillBuffer(&buffer, 9), GSS_S_FAILURE);
    EXPECT_EQ(bytes, std::string(64, '\0')) << "refused before writing";
    EXPECT_EQ(utility.fillBuffer(&noValue, 1), GSS_S_FAILURE);
    EXPECT_EQ(utility.fillBuffer(nullptr, 1), GSS_S_FAILURE);

    bytes.assign(16, '.');
    buffer = viewOf(bytes);
    EXPECT_EQ(utility.copyStringToMessage("abc", &buffer, 5), &bytes[8]);
    EXPECT_EQ(bytes, ".....abc........");
    EXPECT_EQ(utility.copyStringToMessage("", &buffer, 2), &bytes[2]);
    EXPECT_EQ(buffer.length, 16u) << "the length is not changed";
    EXPECT_EQ(utility.copyStringToMessage("abc", &noValue, 0), nullptr);
    EXPECT_EQ(utility.copyStringToMessage("abc", nullptr, 0), nullptr);
}

} // namespace
