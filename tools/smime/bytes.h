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

class Bytes {
public:
    Bytes() = default;
    // Takes a malloc block of size bytes.
    Bytes(void* block, std::size_t size) : block_(static_cast<char*>(block)), size_(size) {}
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
    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<char, Free> block_;
    std::size_t size_ = 0;
};

} // namespace smimetool

#endif // SMIME_TOOL_BYTES_H
