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

// Bytes written so far.
std::size_t sinkLength(BIO* sink) noexcept;
// Hands an owning sink's block (with a NUL after the bytes that the length
// leaves out) to output; the sink is empty afterwards.
kivo_reason_t handOverSink(BIO* sink, gss_buffer_desc* output) noexcept;

} // namespace detail

#endif // PROVIDER_BLOCK_SINK_H
