// The byte search that stands in for memmem, which differs between Windows and POSIX.
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vekruntime.h"

namespace {

std::size_t searched(std::string_view haystack, std::string_view needle,
                     decltype(&vekruntime::searchBytes) search = vekruntime::searchBytes) {
    const void* found = search(haystack.data(), haystack.size(), needle.data(), needle.size());
    return found == nullptr ? std::string_view::npos
                            : static_cast<std::size_t>(static_cast<const char*>(found) - haystack.data());
}

// Random text over a small alphabet makes partial matches common.
TEST(VekRuntimeSearchBytes, AgreesWithFind) {
    std::vector<std::pair<std::string, std::string>> cases = {{"--boundary--", "--b"}, {"abcdef", "ef"}, {"ab", "abc"},
        {"abc", "abc"}, {"aaaaaaaa", "aab"}, {"aabaab", "aab"}, {"abc", ""}, {"", "a"},
        {{"\0\xff\0\xfe", 4}, {"\0\xfe", 2}}};
    std::mt19937 draw(7);
    for (int round = 0; round < 2000; ++round) {
        std::string haystack(draw() % 64, 'a'), needle(1 + draw() % 4, 'a');
        for (char& c : haystack) c = static_cast<char>('a' + draw() % 3);
        for (char& c : needle) c = static_cast<char>('a' + draw() % 3);
        cases.emplace_back(haystack, needle);
    }
    for (const auto& [haystack, needle] : cases) {
        SCOPED_TRACE(haystack + " / " + needle);
        ASSERT_EQ(searched(haystack, needle), std::string_view(haystack).find(needle));
        ASSERT_EQ(searched(haystack, needle, vekruntime::findBytes), std::string_view(haystack).find(needle));
    }
}

} // namespace
