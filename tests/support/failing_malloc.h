// Makes a chosen allocation fail, for the code linked into a test program:
// its own malloc, calloc and realloc calls (shared libraries keep theirs), and
// the global operator new and delete, which every library of the process uses.
#ifndef TESTS_FAILING_MALLOC_H
#define TESTS_FAILING_MALLOC_H

// Each arms a failure: the n-th call from now of the kinds it counts fails
// (1 = the next one), and the count of calls restarts. failNthMalloc counts
// malloc alone, failNthNew operator new alone, failNthAllocation every kind.
// A failing malloc, calloc or realloc returns null; a failing operator new
// throws std::bad_alloc, or returns null in its nothrow forms.
void failNthMalloc(int n);
void failNthNew(int n);
void failNthAllocation(int n);
void disarmMallocFailure(); // nothing fails any more; the count goes on
int mallocCallsSinceArmed();

// Arms on construction, disarms when it goes out of scope.
template <void (*Arm)(int)>
struct ScopedFailure {
    explicit ScopedFailure(int n) { Arm(n); }
    ~ScopedFailure() { disarmMallocFailure(); }
};
using MallocFailure = ScopedFailure<failNthMalloc>;
using AllocationFailure = ScopedFailure<failNthAllocation>;

#endif // TESTS_FAILING_MALLOC_H
