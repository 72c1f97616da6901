// Makes a chosen allocation fail, for the code linked into a test program.
// Linking the failing_malloc target routes the program's own malloc, calloc
// and realloc calls through it (shared libraries keep their own), and
// replaces the global operator new and delete, which every library of the
// process uses.
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

// Nothing fails any more; the count of calls goes on.
void disarmMallocFailure();

// The calls counted since the last arming.
int mallocCallsSinceArmed();

// Arms on construction, disarms when it goes out of scope.
template <void (*Arm)(int)>
class ScopedFailure {
public:
    explicit ScopedFailure(int n) { Arm(n); }
    ~ScopedFailure() { disarmMallocFailure(); }
    ScopedFailure(const ScopedFailure&) = delete;
    ScopedFailure& operator=(const ScopedFailure&) = delete;
};
using MallocFailure = ScopedFailure<failNthMalloc>;
using AllocationFailure = ScopedFailure<failNthAllocation>;

#endif // TESTS_FAILING_MALLOC_H
