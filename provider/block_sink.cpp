#include "block_sink.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "openssl_support.h"
#include "vekbuffer.h"

namespace detail {

namespace {

struct Sink {
    unsigned char* block = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;
    bool owned = true;
};

Sink* sinkOf(BIO* bio) { return static_cast<Sink*>(BIO_get_data(bio)); }

// Room for needed bytes and the NUL after them.
bool reserve(Sink& sink, std::size_t needed) {
    if (needed < sink.capacity) return true;
    if (!sink.owned || needed == SIZE_MAX) return false;
    std::size_t capacity = sink.capacity + sink.capacity / 2;
    if (capacity <= needed) capacity = needed + 1;
    if (capacity < 4096) capacity = 4096;
    return VekGrowBlock(sink.block, sink.capacity, capacity);
}

int sinkWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
    Sink* sink = sinkOf(bio);
    *written = 0;
    if (sink == nullptr || length > SIZE_MAX - sink->length) return 0;
    if (sink->owned ? !reserve(*sink, sink->length + length) : length > sink->capacity - sink->length) return 0;
    if (length != 0) std::memcpy(sink->block + sink->length, data, length);
    sink->length += length;
    *written = length;
    return 1;
}

long sinkControl(BIO*, int command, long, void*) {
    // Flushing has nothing to do; nothing is ever pending. Every other
    // request is one a sink does not answer.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int sinkCreate(BIO* bio) {
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 1);
    return 1;
}

int sinkDestroy(BIO* bio) {
    Sink* sink = sinkOf(bio);
    if (sink != nullptr && sink->owned) std::free(sink->block);
    delete sink;
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* sinkMethod() {
    // Made once, on first use, and kept for the life of the process.
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "block sink");
        if (made != nullptr &&
            (BIO_meth_set_write_ex(made, sinkWrite) != 1 || BIO_meth_set_ctrl(made, sinkControl) != 1 ||
             BIO_meth_set_create(made, sinkCreate) != 1 || BIO_meth_set_destroy(made, sinkDestroy) != 1)) {
            BIO_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

BioPtr newSink(bool owned) {
    const BIO_METHOD* method = sinkMethod();
    if (method == nullptr) return nullptr;
    BioPtr bio(BIO_new(method));
    Sink* sink = bio ? new (std::nothrow) Sink : nullptr;
    if (sink == nullptr) return nullptr;
    sink->owned = owned;
    BIO_set_data(bio.get(), sink);
    return bio;
}

} // namespace

BioPtr newBlockSink(std::size_t expected) {
    BioPtr bio = newSink(true);
    if (bio && !reserve(*sinkOf(bio.get()), expected)) return nullptr;
    return bio;
}

BioPtr newWindowSink() { return newSink(false); }

void setSinkWindow(BIO* sink, unsigned char* window, std::size_t capacity) noexcept {
    Sink* state = sinkOf(sink);
    state->block = window;
    state->capacity = capacity;
    state->length = 0;
}

std::size_t sinkLength(BIO* sink) noexcept { return sinkOf(sink)->length; }

kivo_reason_t handOverSink(BIO* sink, gss_buffer_desc* output) noexcept {
    Sink* state = sinkOf(sink);
    if (!state->owned || !reserve(*state, state->length)) return KIVO_R_NO_MEMORY;
    state->block[state->length] = '\0';
    MallocBytes block(state->block);
    const std::size_t length = state->length;
    *state = Sink{};
    return handOver(std::move(block), length, output) ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
}

BioPtr newContentSink(const ContentTarget& target, std::size_t expected) {
    if (target.over == nullptr) return newBlockSink(expected);
    BioPtr sink = newWindowSink();
    if (sink) setSinkWindow(sink.get(), target.over, target.capacity);
    return sink;
}

kivo_reason_t handOverContent(BIO* sink, const ContentTarget& target, gss_buffer_desc* output) noexcept {
    if (target.over == nullptr) return handOverSink(sink, output);
    const std::size_t length = sinkLength(sink);
    if (length >= target.capacity) return KIVO_R_NO_MEMORY; // no room for the NUL: cannot happen
    target.over[length] = '\0';
    output->length = static_cast<OM_uint32>(length);
    output->value = target.over;
    return KIVO_R_NONE;
}

} // namespace detail
