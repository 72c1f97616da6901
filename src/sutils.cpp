// Buffer and file helpers for applications, and the diagnostic test3.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "strace.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"
#include "vekruntime.h"

namespace {

constexpr char kTraceFile[] = "src/sutils";
constexpr unsigned kBlockSize = 65536;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

smimeBuffer_T* newBlock() {
    auto* block = static_cast<smimeBuffer_T*>(std::malloc(sizeof(smimeBuffer_T)));
    if (block == nullptr) return nullptr;
    block->buffer = static_cast<unsigned char*>(std::malloc(kBlockSize));
    if (block->buffer == nullptr) {
        std::free(block);
        return nullptr;
    }
    block->next = nullptr;
    block->length = 0;
    return block;
}

} // namespace

unsigned int smime_utility::loadMessage(const char* fileName, gss_buffer_desc* out) {
    if (fileName == nullptr || out == nullptr) return SMIME_NULL_PARAMETER;
    FilePtr file(std::fopen(fileName, "rb"));
    if (!file) return SMIME_STREAM_ERROR;
    // A file too large to hand out is refused before a byte of it is read.
    vekruntime::FileStatus status;
    if (vekruntime::fileStatus(fileName, &status) == 0 && !VekFitsLengthWord(static_cast<std::uint64_t>(status.st_size)))
        return SMIME_NO_MEMORY;

    smimeBuffer_T* const first = newBlock();
    if (first == nullptr) return SMIME_NO_MEMORY;
    smimeBuffer_T* current = first;
    std::size_t blocks = 1;
    std::size_t total = 0;
    for (;;) {
        const std::size_t read = std::fread(current->buffer + current->length, 1, kBlockSize - current->length, file.get());
        current->length += static_cast<unsigned int>(read);
        total += read;
        if (current->length == kBlockSize) {
            // A full block always gets a successor, even at the end of the
            // file: the end shows only when a read comes up short.
            smimeBuffer_T* next = newBlock();
            if (next == nullptr) {
                deleteBufferChain(first);
                return SMIME_NO_MEMORY;
            }
            current->next = next;
            current = next;
            ++blocks;
            continue;
        }
        if (std::ferror(file.get())) {
            deleteBufferChain(first);
            return SMIME_STREAM_ERROR;
        }
        break; // a short read without an error is the end of the file
    }
    if (!VekFitsLengthWord(total)) {
        deleteBufferChain(first);
        return SMIME_NO_MEMORY;
    }

    unsigned char* storage = nullptr;
    if (blocks == 1) {
        storage = first->buffer;
        std::free(first);
    } else {
        storage = static_cast<unsigned char*>(VekAllocateBlock(blocks * kBlockSize));
        if (storage == nullptr) {
            deleteBufferChain(first);
            return SMIME_NO_MEMORY;
        }
        unsigned char* cursor = storage;
        for (const smimeBuffer_T* block = first; block != nullptr; block = block->next) {
            std::memcpy(cursor, block->buffer, block->length);
            cursor += block->length;
        }
        deleteBufferChain(first);
    }
    out->length = static_cast<OM_uint32>(total);
    out->value = storage;
    return SMIME_OK;
}

unsigned int smime_utility::deleteBufferChain(smimeBuffer_T* first) {
    if (first == nullptr) return GSS_S_FAILURE;
    while (first != nullptr) {
        smimeBuffer_T* next = first->next;
        std::free(first->buffer);
        std::free(first);
        first = next;
    }
    return SMIME_OK;
}

unsigned int smime_utility::fillBuffer(gss_buffer_desc* buffer, unsigned int count) {
    if (buffer == nullptr || buffer->length < count || buffer->value == nullptr) return GSS_S_FAILURE;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    auto* bytes = static_cast<unsigned char*>(buffer->value);
    for (unsigned int i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(std::rand() & 0xFF);
    return SMIME_OK;
}

char* smime_utility::copyStringToMessage(const char* string, gss_buffer_desc* buffer, int offset) {
    SMIME_TRACE_SCOPE("smimebas::copyStringToMessage()");
    if (buffer == nullptr || buffer->value == nullptr) return nullptr;
    char* target = static_cast<char*>(buffer->value) + offset;
    const std::size_t length = string != nullptr ? std::strlen(string) : 0;
    if (length != 0) std::memcpy(target, string, length);
    return target + length;
}

int smime_utility::cmpgssBuffer(const gss_buffer_desc* first, const gss_buffer_desc* second, unsigned int count) {
    if (count == 0) return 0;
    if (first == nullptr || second == nullptr || first->length < count || second->length < count) return -1;
    if (first->value == nullptr || second->value == nullptr) return -1;
    const int order = std::memcmp(first->value, second->value, count);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

unsigned int smime_utility::dumpHexToAscii(const gss_buffer_desc* buffer) {
    if (buffer == nullptr) return SMIME_OK;
    const int length = static_cast<int>(buffer->length);
    std::printf("\nThe raw contents of the buffer of size %d : \n", length);
    std::printf("[");
    const auto* bytes = static_cast<const unsigned char*>(buffer->value);
    int counter = 0;
    for (int i = 0; i < length; ++i) {
        // The counter restarts at 0 for the byte that breaks the line, so the
        // first line holds 8 values and every later one 9.
        if (++counter > 8) {
            std::printf("\n");
            counter = 0;
        }
        std::printf("%x", static_cast<unsigned>(bytes[i]));
    }
    std::printf("].\n");
    return SMIME_OK;
}

int test3() {
    std::printf("Hello smime! \n");
    return 1;
}
