// Runs an operation once with each of its allocations failing in turn, from
// a fresh state every time, and checks every run against the run in which
// nothing failed.
#ifndef TESTS_ALLOCATION_WALK_H
#define TESTS_ALLOCATION_WALK_H

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failing_malloc.h"

namespace walk {

// What one run of an operation left behind.
struct Attempt {
    bool reached = true;  // the run made the allocation chosen to fail
    unsigned status = 0;  // the operation's status, or what stands for it
    std::string observed; // what the caller and the object show after the run
    std::string retried;  // after a failure: the same, once the object was used again unfailed
};

// Runs work, which must allocate nothing but what the operation under test
// does, with its n-th allocation failing (none for n = 0); false when work
// made fewer than n allocations.
template <typename Work>
bool failingNth(int n, Work&& work) {
    const AllocationFailure failure(n);
    work();
    return mallocCallsSinceArmed() >= n;
}

struct Operation {
    std::string name;
    // What a failed allocation may make the operation report instead of its
    // unfailed status. Any other status is a fault, and so is the unfailed
    // status with a result that differs from the unfailed run's.
    std::vector<unsigned> memoryStatuses;
    std::function<Attempt(int n)> attempt; // one run from a fresh state, allocation n failing
    unsigned unfailedStatus = 0;
};

// Walks each operation through its allocations, afterEach checking what
// every run left, and prints how many allocations it failed.
inline void walkAll(const std::vector<Operation>& operations, const std::function<void()>& afterEach = [] {}) {
    const auto reports = [] {
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    };
    for (const Operation& op : operations) {
        SCOPED_TRACE(op.name);
        const Attempt reference = op.attempt(0);
        afterEach();
        EXPECT_EQ(reference.status, op.unfailedStatus) << reference.observed;
        // Past 2000 allocations a walk has lost its way; a dozen reports show a pattern.
        int n = 1;
        for (const int reportsBefore = reports(); n <= 2000 && reports() - reportsBefore < 12; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
            const Attempt attempt = op.attempt(n);
            afterEach();
            const auto& allowed = op.memoryStatuses;
            if (!attempt.reached || attempt.status == reference.status) {
                EXPECT_EQ(attempt.status, reference.status);
                EXPECT_EQ(attempt.observed, reference.observed) << "a fallback must not change the result";
                if (!attempt.reached) break;
            } else {
                EXPECT_NE(std::find(allowed.begin(), allowed.end(), attempt.status), allowed.end())
                    << "status " << attempt.status << "; " << attempt.observed;
                EXPECT_EQ(attempt.retried, reference.observed) << "unusable after the failure";
            }
        }
        EXPECT_TRUE(n > 1 && n <= 2000) << n - 1 << " allocations: none, or more than a walk expects";
        std::printf("  %4d  %s\n", n - 1, op.name.c_str());
    }
}

} // namespace walk

#endif // TESTS_ALLOCATION_WALK_H
