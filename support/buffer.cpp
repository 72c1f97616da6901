#include "vekbuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Grows by half again, so that appending n bytes one piece at a time costs
// O(n) copies, without the doubling that wastes most at large sizes.
std::size_t grownCapacity(std::size_t current, std::size_t needed) {
    std::size_t proposed = current + current / 2;
    if (proposed < 64) proposed = 64;
    return proposed < needed ? needed : proposed;
}

} // namespace

// The first write to a fresh page costs far more than the copy into it, and
// a large buffer is written through once. Asking for huge pages on the big
// blocks turns 512 faults into one; where the kernel has none to give, the
// advice changes nothing.
void VekAdviseHugePages(void* block, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = 2u << 20;
    constexpr std::uintptr_t kPage = 4096;
    if (block == nullptr || size < 2 * kHugePage) return;
    // The advice covers every page the block touches, not only the huge
    // pages inside it: a large malloc block is a mapping of its own, and
    // advice on the whole of it leaves it one mapping, which realloc can
    // then grow in place instead of copying.
    const auto begin = reinterpret_cast<std::uintptr_t>(block) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + size + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

std::size_t VekDiscardReadBytes(const void* block, std::size_t from, std::size_t to) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
    // Whole huge pages only: giving back part of one would make the kernel
    // split it, which costs more than the memory is worth.
    constexpr std::uintptr_t kHugePage = 2u << 20;
    const auto base = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = (base + from + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (base + to) & ~(kHugePage - 1);
    if (block == nullptr || end <= begin) return from;
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    return end - base;
#else
    (void)block;
    (void)to;
    return from;
#endif
}

VekBuffer::VekBuffer(std::size_t size, const void* /*data, always null: reserve only*/) { reserve(size); }

VekBuffer::VekBuffer(const VekBuffer& other) {
    reserve(other.length_);
    if (other.length_ != 0) std::memcpy(data_, other.data_, other.length_);
    length_ = other.length_;
}

VekBuffer::VekBuffer(VekBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

VekBuffer& VekBuffer::operator=(const VekBuffer& other) {
    if (this == &other) return *this;
    VekBuffer copy(other);
    *this = std::move(copy);
    return *this;
}

VekBuffer& VekBuffer::operator=(VekBuffer&& other) noexcept {
    if (this == &other) return *this;
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
}

VekBuffer::~VekBuffer() { std::free(data_); }

void VekBuffer::reserve(std::size_t capacity) {
    if (!VekGrowBlock(data_, capacity_, capacity)) throw std::bad_alloc();
}

unsigned char* VekBuffer::prepareAppend(std::size_t length) {
    if (length > static_cast<std::size_t>(-1) - length_) throw std::bad_alloc();
    const std::size_t needed = length_ + length;
    if (needed > capacity_) reserve(grownCapacity(capacity_, needed));
    return data_ + length_;
}

void VekBuffer::commit(std::size_t written) noexcept { length_ += written; }

void VekBuffer::append(const void* data, std::size_t length) {
    if (length == 0) return;
    unsigned char* tail = prepareAppend(length);
    std::memcpy(tail, data, length);
    commit(length);
}
