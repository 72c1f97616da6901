// Bytes in one malloc block: a file read whole, or what the library hands
// out. Large messages pass through the tool without being copied into
// strings and back.
#ifndef SMIME_TOOL_BYTES_H
#define SMIME_TOOL_BYTES_H

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <vekbuffer.h>

namespace smimetool {

namespace bytes_detail {
// How bytes are given back: free for malloc blocks, or unmapping.
using Release = void (*)(char* block, std::size_t size);
inline void freeBlock(char* block, std::size_t) { std::free(block); }
struct Deleter {
    Release release = freeBlock;
    std::size_t size = 0;
    void operator()(char* p) const noexcept { release(p, size); }
};
} // namespace bytes_detail

class Bytes {
public:
    using Release = bytes_detail::Release;

    Bytes() = default;
    // Takes a malloc block of size bytes.
    Bytes(void* block, std::size_t size) : Bytes(block, size, bytes_detail::freeBlock) {}
    // Takes bytes that release gives back.
    Bytes(void* block, std::size_t size, Release release)
        : block_(static_cast<char*>(block), bytes_detail::Deleter{release, size}), size_(size) {}
    // A copy of text; empty when memory runs out for it.
    static Bytes copyOf(std::string_view text) {
        void* block = VekAllocateBlock(text.size());
        if (block == nullptr) return Bytes();
        if (!text.empty()) std::memcpy(block, text.data(), text.size());
        return Bytes(block, text.size());
    }

    std::string_view view() const { return std::string_view(block_.get(), size_); }
    std::string str() const { return std::string(view()); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool operator==(std::string_view other) const { return view() == other; }

private:
    std::unique_ptr<char, bytes_detail::Deleter> block_;
    std::size_t size_ = 0;
};

} // namespace smimetool

#endif // SMIME_TOOL_BYTES_H
