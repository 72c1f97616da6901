// A tap on the real provider (GNU ld --wrap): records each call the library makes, can fail it
// instead, and counts the objects handed out, so that tap::Test sees nothing left outstanding.
#ifndef TESTS_PROVIDER_TAP_H
#define TESTS_PROVIDER_TAP_H

#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vek4kivoidup.h"

namespace tap {

// Forgets the recorded calls and the planned failures, not the objects outstanding.
void reset();
// Each call as "name", or "name args" for the login steps, prov_protect and prov_unprotect.
std::vector<std::string> calls();
std::vector<std::string> names();
// The occurrence-th call of name from now (1 = the next) gives major and minor, not reaching the provider.
void failAt(const std::string& name, int occurrence, OM_uint32 major, OM_uint32 minor);
// The objects the provider handed out that are not released yet.
std::size_t outstanding();

class Test : public ::testing::Test {
protected:
    void SetUp() override { reset(), baseline_ = outstanding(); }
    void TearDown() override { EXPECT_EQ(outstanding(), baseline_); }
    std::size_t baseline_ = 0;
};

} // namespace tap

#endif // TESTS_PROVIDER_TAP_H
