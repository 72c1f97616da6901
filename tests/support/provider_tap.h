// A tap on the real provider for the tests of the message object. Linking
// the provider_tap target routes every provider call of the program through
// a wrapper (GNU ld --wrap) that records it, can make it fail instead of
// reaching the provider, and keeps account of the objects the provider hands
// out, so a test (tap::Test) can see that nothing is left outstanding.
#ifndef TESTS_PROVIDER_TAP_H
#define TESTS_PROVIDER_TAP_H

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vek4kivoidup.h"

namespace tap {

// One provider call: its name and, for the login steps and for
// prov_protect and prov_unprotect, the arguments the library fixes, as text.
struct Call {
    std::string name;
    std::string args;
    bool operator==(const Call& other) const { return name == other.name && args == other.args; }
    friend std::ostream& operator<<(std::ostream& out, const Call& call) { return out << call.name << "(" << call.args << ")"; }
};

// Forgets the recorded calls and the planned failures; the account of
// outstanding objects goes on.
void reset();
std::vector<Call> calls();
std::vector<std::string> names();

// The occurrence-th call of name from now (1 = the next) returns major, with
// minor in its minor status word, without reaching the provider.
void failAt(const std::string& name, int occurrence, OM_uint32 major, OM_uint32 minor);

// The objects the provider handed out that are not released yet, and their
// kinds as text for a failure message.
std::size_t outstanding();
std::string outstandingKinds();

// A test that gives back every provider object it caused.
class Test : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
        baseline_ = outstanding();
    }
    void TearDown() override { EXPECT_EQ(outstanding(), baseline_) << outstandingKinds(); }
    std::size_t baseline_ = 0;
};

} // namespace tap

#endif // TESTS_PROVIDER_TAP_H
