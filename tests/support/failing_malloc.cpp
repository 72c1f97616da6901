#include "failing_malloc.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<int> g_countdown{0};
std::atomic<int> g_calls{0};
} // namespace

extern "C" void* __real_malloc(std::size_t size);

// The linker sends every malloc of the program's own objects here.
extern "C" void* __wrap_malloc(std::size_t size) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    int remaining = g_countdown.load(std::memory_order_relaxed);
    while (remaining > 0) {
        if (g_countdown.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed)) {
            if (remaining == 1) return nullptr;
            break;
        }
    }
    return __real_malloc(size);
}

void failNthMalloc(int n) {
    g_calls.store(0, std::memory_order_relaxed);
    g_countdown.store(n, std::memory_order_relaxed);
}

void disarmMallocFailure() { g_countdown.store(0, std::memory_order_relaxed); }

int mallocCallsSinceArmed() { return g_calls.load(std::memory_order_relaxed); }
