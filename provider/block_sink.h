// A write-only BIO of our own that lands what OpenSSL writes in one malloc
// block. OpenSSL's memory BIO grows by reallocation and is then copied out
// once more; this one is reserved at the size the caller expects (content
// of known length) or writes into a window of a block the caller already
// laid out, so that large content is written to memory exactly once.
#ifndef PROVIDER_BLOCK_SINK_H
#define PROVIDER_BLOCK_SINK_H

#include <cstddef>

#include "ossl_ptr.h"
#include "vek4kivoidup.h"

namespace detail {

// A sink that owns its block, with room reserved for expected bytes (it
// grows beyond them if it must). Null when it cannot be made.
BioPtr newBlockSink(std::size_t expected);
// A sink that writes into a window of capacity bytes of someone else's
// block, set later with setSinkWindow; writing past the window fails.
BioPtr newWindowSink();
void setSinkWindow(BIO* sink, unsigned char* window, std::size_t capacity) noexcept;

// Where unwrapped content goes: a block of its own (over null), or over the
// bytes of the token it came from, which its owner gives up for it. Content
// is never longer than its token, and is written only behind what has been
// read of it, so it never overwrites bytes still to be read.
struct ContentTarget {
    unsigned char* over = nullptr;
    std::size_t capacity = 0;
};
// A sink for content of about expected bytes, landing where target says.
BioPtr newContentSink(const ContentTarget& target, std::size_t expected);
// Hands the content over: the sink's block as handOverSink does, or the
// token's own block with a NUL after the content.
kivo_reason_t handOverContent(BIO* sink, const ContentTarget& target, gss_buffer_desc* output) noexcept;

// Bytes written so far.
std::size_t sinkLength(BIO* sink) noexcept;
// Hands an owning sink's block (with a NUL after the bytes that the length
// leaves out) to output; the sink is empty afterwards.
kivo_reason_t handOverSink(BIO* sink, gss_buffer_desc* output) noexcept;

} // namespace detail

#endif // PROVIDER_BLOCK_SINK_H
