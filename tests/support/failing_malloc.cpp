#include "failing_malloc.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

enum class Route { Malloc, New, Other, Every };

std::atomic<int> g_countdown{0}, g_calls{0};
std::atomic<Route> g_counted{Route::Malloc};

// Counts the call and tells whether it is the one that must fail.
bool isChosenToFail(Route route) {
    if (const Route counted = g_counted; counted != Route::Every && counted != route) return false;
    ++g_calls;
    return g_countdown.load() > 0 && g_countdown.fetch_sub(1) == 1;
}

void arm(int n, Route counted) { g_calls = 0; g_counted = counted; g_countdown = n; }

} // namespace

void failNthMalloc(int n) { arm(n, Route::Malloc); }
void failNthNew(int n) { arm(n, Route::New); }
void failNthAllocation(int n) { arm(n, Route::Every); }
void disarmMallocFailure() { g_countdown = 0; }
int mallocCallsSinceArmed() { return g_calls; }

extern "C" void *__real_malloc(std::size_t), *__real_calloc(std::size_t, std::size_t), *__real_realloc(void*, std::size_t);

// The linker sends the program's own calls here; visible, since it also checks shared libraries'
// unversioned references (a sanitizer runtime's allocator) against them.
#define WRAPPER extern "C" __attribute__((visibility("default"))) void*
WRAPPER __wrap_malloc(std::size_t size) { return isChosenToFail(Route::Malloc) ? nullptr : __real_malloc(size); }
WRAPPER __wrap_calloc(std::size_t n, std::size_t size) { return isChosenToFail(Route::Other) ? nullptr : __real_calloc(n, size); }
WRAPPER __wrap_realloc(void* p, std::size_t size) { return isChosenToFail(Route::Other) ? nullptr : __real_realloc(p, size); }

// operator new takes the real malloc and delete uses free, so a sanitizer sees matching pairs; every
// form but the over-aligned ones (nothing here uses them) is replaced, as a sanitizer brings its own.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return isChosenToFail(Route::New) ? nullptr : __real_malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size) {
    if (void* block = ::operator new(size, std::nothrow)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
