// Makes a chosen allocation fail: the program's own malloc, calloc and realloc (shared libraries keep
// theirs) and the global operator new, which every library of the process uses.
#ifndef TESTS_FAILING_MALLOC_H
#define TESTS_FAILING_MALLOC_H

// The n-th counted call from now fails (1 = the next) and the count restarts: malloc alone, operator new
// alone, or every kind. Failing operator new throws std::bad_alloc (null in its nothrow forms).
void failNthMalloc(int n);
void failNthNew(int n);
void failNthAllocation(int n);
void disarmMallocFailure(); // nothing fails any more; the count goes on
int mallocCallsSinceArmed();

template <void (*Arm)(int)>
struct ScopedFailure {
    explicit ScopedFailure(int n) { Arm(n); }
    ~ScopedFailure() { disarmMallocFailure(); }
};
using MallocFailure = ScopedFailure<failNthMalloc>;
using AllocationFailure = ScopedFailure<failNthAllocation>;

#endif // TESTS_FAILING_MALLOC_H
