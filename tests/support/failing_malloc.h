// Makes a chosen malloc call fail, for the code linked into a test program
// (the library's objects and the test provider; shared libraries keep their
// own malloc). Linking the failing_malloc target routes malloc through it.
#ifndef TESTS_FAILING_MALLOC_H
#define TESTS_FAILING_MALLOC_H

// The n-th malloc from now returns null (1 = the next one), and the count of
// calls restarts.
void failNthMalloc(int n);

// No malloc fails any more; the count of calls goes on.
void disarmMallocFailure();

// How many malloc calls were made since the last failNthMalloc.
int mallocCallsSinceArmed();

// Arms on construction, disarms when it goes out of scope.
class MallocFailure {
public:
    explicit MallocFailure(int n) { failNthMalloc(n); }
    ~MallocFailure() { disarmMallocFailure(); }
    MallocFailure(const MallocFailure&) = delete;
    MallocFailure& operator=(const MallocFailure&) = delete;
};

#endif // TESTS_FAILING_MALLOC_H
