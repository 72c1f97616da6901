// A growable, contiguous byte buffer, and a read-only view of bytes.
#ifndef VEKBUFFER_H
#define VEKBUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vek4_export.h"

// Asks the kernel to back a block that is about to be written for the first
// time with huge pages. The first write to a fresh 4 KiB page costs more than
// copying the page's bytes, so for multi-megabyte blocks this advice is the
// difference between a slow and a fast copy; small blocks, systems without
// huge pages and kernels that decline are left as they are.
VEK4CMS_API void VekAdviseHugePages(void* block, std::size_t size) noexcept;

// Gives back to the system the memory of a block's bytes [from, to) that
// will never be read again, so that a large block read once from front to
// back stops counting against the process as it is read. Only whole huge
// pages inside the range go; the offset returned is where the next call
// should start (at most to). The bytes given back read as zeros until the
// block is freed. Where the system has no such call nothing goes.
VEK4CMS_API std::size_t VekDiscardReadBytes(const void* block, std::size_t from, std::size_t to) noexcept;

// Whether length fits the 32-bit length word of a buffer descriptor: a
// longer block cannot be handed across the library's interfaces.
constexpr bool VekFitsLengthWord(std::uint64_t length) noexcept { return length <= 0xFFFFFFFFu; }

// A malloc block for size bytes (at least one), advised as above; release
// it with free. Inline, so that the malloc call belongs to the caller.
inline void* VekAllocateBlock(std::size_t size) noexcept {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) VekAdviseHugePages(block, size);
    return block;
}

// Makes a malloc block (null: none yet) of held bytes capacity bytes long,
// keeping its bytes, and advises it as above; a block that is long enough
// already is left alone. False when there is no memory: block and held are
// then as they were. Inline, as above, for the realloc call.
template <typename Byte>
inline bool VekGrowBlock(Byte*& block, std::size_t& held, std::size_t capacity) noexcept {
    if (capacity <= held) return true;
    void* grown = std::realloc(block, capacity);
    if (grown == nullptr) return false;
    VekAdviseHugePages(grown, capacity);
    block = static_cast<Byte*>(grown);
    held = capacity;
    return true;
}

// Every member that needs memory throws std::bad_alloc when it cannot have
// it; the buffer is then as it was before the call.
class VEK4CMS_API VekBuffer {
public:
    VekBuffer() noexcept = default;
    // An empty buffer with room for size bytes. data must be null: the
    // constructor only reserves, it never copies.
    VekBuffer(std::size_t size, const void* data);
    VekBuffer(const VekBuffer& other);
    VekBuffer(VekBuffer&& other) noexcept;
    VekBuffer& operator=(const VekBuffer& other);
    VekBuffer& operator=(VekBuffer&& other) noexcept;
    ~VekBuffer();

    void append(const void* data, std::size_t length);
    // Makes room for length more bytes at the end and returns where they go;
    // they count once commit() is called with how many were written.
    unsigned char* prepareAppend(std::size_t length);
    void commit(std::size_t written) noexcept;
    void reserve(std::size_t capacity);
    void clear() noexcept { length_ = 0; }

    std::size_t getLength() const noexcept { return length_; }
    std::size_t getCapacity() const noexcept { return capacity_; }
    // Null while nothing was ever reserved or appended.
    const unsigned char* getValue() const noexcept { return data_; }
    unsigned char* getValue() noexcept { return data_; }

private:
    unsigned char* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

// A view of bytes owned by someone else; nothing is copied.
struct VEK4CMS_API r_buffer_t {
    r_buffer_t(const void* bytes, std::size_t size) noexcept
        : data(static_cast<const unsigned char*>(bytes)), length(size) {}

    const unsigned char* data;
    std::size_t length;
};

#endif // VEKBUFFER_H
