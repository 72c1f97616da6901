// The runtime calls that differ between Windows and POSIX systems, checked
// for the same answers on both: the byte search that stands in for memmem,
// case-insensitive comparison, and the file checks.
#include <sys/stat.h>

#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "temp_dir.h"
#include "vekruntime.h"

namespace {

// Where searchBytes finds needle in haystack, as an offset; npos for none.
std::size_t searched(std::string_view haystack, std::string_view needle,
                     decltype(&vekruntime::searchBytes) search = vekruntime::searchBytes) {
    const void* found = search(haystack.data(), haystack.size(), needle.data(), needle.size());
    return found == nullptr ? std::string_view::npos
                            : static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
}

TEST(VekRuntimeSearchBytes, FindsTheFirstPlaceOrNone) {
    struct Case {
        const char* name;
        std::string haystack;
        std::string needle;
    };
    const Case cases[] = {
        {"at the start", "--boundary--", "--b"},
        {"at the very end", "abcdef", "ef"},
        {"the whole of it", "abc", "abc"},
        {"longer than the text", "ab", "abc"},
        {"first byte everywhere, rest nowhere", "aaaaaaaa", "aab"},
        {"after a near miss", "aabaab", "aab"},
        {"empty needle", "abc", ""},
        {"empty text", "", "a"},
        {"NUL and high bytes", std::string("\0\xff\0\xfe", 4), std::string("\0\xfe", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(searched(c.haystack, c.needle), std::string_view(c.haystack).find(c.needle));
    }
}

// A small alphabet makes partial matches common; both searches must agree
// with std::string_view::find.
TEST(VekRuntimeSearchBytes, AgreesWithFindOnRandomText) {
    std::mt19937 draw(7);
    for (int round = 0; round < 2000; ++round) {
        std::string haystack(draw() % 64, 'a'), needle(1 + draw() % 4, 'a');
        for (char& c : haystack) c = static_cast<char>('a' + draw() % 3);
        for (char& c : needle) c = static_cast<char>('a' + draw() % 3);
        SCOPED_TRACE(haystack + " / " + needle);
        ASSERT_EQ(searched(haystack, needle), std::string_view(haystack).find(needle));
        ASSERT_EQ(searched(haystack, needle, vekruntime::findBytes), std::string_view(haystack).find(needle));
    }
}

TEST(VekRuntimeCompare, IgnoresCaseOfLettersOnly) {
    EXPECT_EQ(vekruntime::compareIgnoringCase("Content-Type", "content-TYPE"), 0);
    EXPECT_NE(vekruntime::compareIgnoringCase("base64", "base64 "), 0);
    EXPECT_NE(vekruntime::compareIgnoringCase("7bit", "8bit"), 0);
    EXPECT_LT(vekruntime::compareIgnoringCase("a", "B"), 0);
}

TEST(VekRuntimeFiles, StatusAndAccessOfFilesThatAreAndAreNot) {
    TempDir dir;
    const std::string present = dir.write("present", "12345");
    vekruntime::FileStatus status{};
    ASSERT_EQ(vekruntime::fileStatus(present.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 5);
    EXPECT_NE(status.st_mode & vekruntime::kOwnerRead, 0u);
    EXPECT_TRUE(vekruntime::fileExists(present.c_str()));
    EXPECT_TRUE(vekruntime::fileWritable(present.c_str()));

    const std::string absent = dir.file("absent");
    EXPECT_NE(vekruntime::fileStatus(absent.c_str(), &status), 0);
    EXPECT_FALSE(vekruntime::fileExists(absent.c_str()));
    EXPECT_FALSE(vekruntime::fileWritable(absent.c_str()));
}

} // namespace
