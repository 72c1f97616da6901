// Makes a chosen allocation fail, for the code linked into a test program.
// Linking the failing_malloc target routes the program's own malloc, calloc
// and realloc calls through it (shared libraries keep their own), and
// replaces the global operator new and delete, which every library of the
// process uses.
#ifndef TESTS_FAILING_MALLOC_H
#define TESTS_FAILING_MALLOC_H

// The n-th malloc from now returns null (1 = the next one), and the count of
// calls restarts. Only malloc is counted: calloc, realloc and operator new
// go on working.
void failNthMalloc(int n);

// The n-th operator new from now fails (1 = the next one), and the count of
// calls restarts. Only operator new is counted: the throwing forms throw
// std::bad_alloc, the nothrow forms return null.
void failNthNew(int n);

// The n-th allocation from now fails, whichever way it is asked for: malloc,
// calloc and realloc return null, operator new throws std::bad_alloc and its
// nothrow forms return null. The count of calls restarts and counts them all.
void failNthAllocation(int n);

// Nothing fails any more; the count of calls goes on.
void disarmMallocFailure();

// The calls counted since the last failNthMalloc, failNthNew or
// failNthAllocation.
int mallocCallsSinceArmed();

// Arms on construction, disarms when it goes out of scope.
class MallocFailure {
public:
    explicit MallocFailure(int n) { failNthMalloc(n); }
    ~MallocFailure() { disarmMallocFailure(); }
    MallocFailure(const MallocFailure&) = delete;
    MallocFailure& operator=(const MallocFailure&) = delete;
};

class AllocationFailure {
public:
    explicit AllocationFailure(int n) { failNthAllocation(n); }
    ~AllocationFailure() { disarmMallocFailure(); }
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;
};

// While one exists, allocations are neither counted nor failed: for code
// that a test runs in the middle of a counted call but does not want to
// walk, such as a test double standing in for a component.
class AllocationFailurePause {
public:
    AllocationFailurePause();
    ~AllocationFailurePause();
    AllocationFailurePause(const AllocationFailurePause&) = delete;
    AllocationFailurePause& operator=(const AllocationFailurePause&) = delete;
};

#endif // TESTS_FAILING_MALLOC_H
