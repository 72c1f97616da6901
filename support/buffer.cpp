#include "vekbuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

// Grows by half again, so that appending n bytes one piece at a time costs
// O(n) copies, without the doubling that wastes most at large sizes.
std::size_t grownCapacity(std::size_t current, std::size_t needed) {
    std::size_t proposed = current + current / 2;
    if (proposed < 64) proposed = 64;
    return proposed < needed ? needed : proposed;
}

} // namespace

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
    if (capacity <= capacity_) return;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = capacity;
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
