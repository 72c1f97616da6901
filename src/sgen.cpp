// The S/MIME generator: wraps a PKCS#7 object as application/pkcs7-mime, or
// content and a detached signature as multipart/signed, and holds the result
// until its owner takes it.
#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <ostream>
#include <random>
#include <string_view>
#include <thread>
#include <utility>

#include "mime_base64.h"
#include "owned_buffer.h"
#include "strace.h"
#include "token_message.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"
#include "vekruntime.h"

namespace {

constexpr char kTraceFile[] = "src/sgen";

enum NativeKind : int { kEnvelopedData = 0, kSignedData = 1, kSignaturePart = 2, kAuthEnvelopedData = 3 };

constexpr std::string_view kEnvelopedDataHeader =
    "Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;\r\n   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
constexpr std::string_view kAuthEnvelopedDataHeader =
    "Content-Type: application/pkcs7-mime;\r\n   smime-type=authEnveloped-data;\r\n   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
constexpr std::string_view kSignedDataHeader =
    "Content-Type: application/pkcs7-mime;\r\n   smime-type=signed-data;\r\n   name=smime.p7m\r\n"
    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n   filename=smime.p7m\r\n\r\n";
constexpr std::string_view kSignaturePartHeader =
    "Content-Type: application/pkcs7-signature;name=smime.p7s\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment;filename=smime.p7s\r\n\r\n";
constexpr std::string_view kMultipartHeader =
    "Content-Type: multipart/signed;\r\n protocol=\"application/pkcs7-signature\";\r\n micalg=";
constexpr std::string_view kBoundaryWord = "boundary";

// Room for the tag of a boundary: three letters and a NUL.
constexpr int kTagSize = 4;
constexpr int kTagCount = 16 * 16 * 16;
// Draws of a fresh tag, a second apart, before the first free tag is taken
// without waiting any longer.
constexpr int kTimedDraws = 4;

// Whether a token is a ContentInfo of an AuthEnvelopedData (AES-GCM), which
// mail clients tell apart from an EnvelopedData by its smime-type.
bool isAuthEnveloped(const gss_buffer_desc& token) {
    // id-ct-authEnvelopedData, 1.2.840.113549.1.9.16.1.23, as a whole element.
    static constexpr unsigned char kOid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x17};
    const auto* der = static_cast<const unsigned char*>(token.value);
    if (der == nullptr || token.length < 2 || der[0] != 0x30) return false;
    // The SEQUENCE's length: one octet, or 0x80 (indefinite), or 0x8n and n more.
    const std::size_t header = 2 + (der[1] > 0x80 ? der[1] & 0x7Fu : 0u);
    return token.length >= header + sizeof kOid && std::memcmp(der + header, kOid, sizeof kOid) == 0;
}

std::string_view headerOf(int kind) {
    switch (kind) {
    case kEnvelopedData:
        return kEnvelopedDataHeader;
    case kAuthEnvelopedData:
        return kAuthEnvelopedDataHeader;
    case kSignedData:
        return kSignedDataHeader;
    case kSignaturePart:
        return kSignaturePartHeader;
    default:
        return {};
    }
}

bool isTagLetter(unsigned char c) { return c >= 'A' && c <= 'P'; }

int tagIndex(const char* tag) { return (tag[0] - 'A') << 8 | (tag[1] - 'A') << 4 | (tag[2] - 'A'); }

// Which of the 4096 boundary strings occur in the content, found in one pass:
// every "boundary" followed by three letters of the tag alphabet.
std::bitset<kTagCount> boundariesIn(const gss_buffer_desc& content) {
    std::bitset<kTagCount> taken;
    const char* const begin = static_cast<const char*>(content.value);
    const char* const end = begin + content.length;
    const std::size_t needed = kBoundaryWord.size() + kTagSize - 1;
    // findBytes skips through the content far faster than a search that stops
    // at every first letter of the word.
    for (const char* at = begin; static_cast<std::size_t>(end - at) >= needed;) {
        const void* found = vekruntime::findBytes(at, static_cast<std::size_t>(end - at), kBoundaryWord.data(), kBoundaryWord.size());
        if (found == nullptr) break;
        const char* word = static_cast<const char*>(found);
        at = word + 1;
        if (static_cast<std::size_t>(end - word) < needed) break;
        const auto* tag = reinterpret_cast<const unsigned char*>(word + kBoundaryWord.size());
        if (isTagLetter(tag[0]) && isTagLetter(tag[1]) && isTagLetter(tag[2]))
            taken.set(static_cast<std::size_t>(tagIndex(reinterpret_cast<const char*>(tag))));
    }
    return taken;
}

// Tags are seeded from time() in whole seconds, so a new tag needs time()
// to show a new second. time() reads a coarse clock that may lag the precise
// one by a tick, so its own answer decides; should it stand still, the wait
// ends after two seconds all the same.
void sleepUntilNextSecond(std::time_t drawnAt) {
    using namespace std::chrono;
    const auto giveUp = steady_clock::now() + seconds(2);
    while (std::time(nullptr) == drawnAt && steady_clock::now() < giveUp) {
        const auto untilNext = system_clock::from_time_t(drawnAt + 1) - system_clock::now();
        std::this_thread::sleep_for(std::clamp<system_clock::duration>(untilNext, milliseconds(2), milliseconds(250)));
    }
}

void releaseQuietly(gss_buffer_desc& buffer) {
    OM_uint32 minor = 0;
    if (buffer.value != nullptr) prov_release_buffer(&minor, &buffer);
    buffer = {0, nullptr};
}

// A message assembled from pieces straight into one block of its final
// size: the pieces are measured first, then written once, front to back.
class MessageWriter {
public:
    // Adds a piece of known text to the measure.
    void count(std::size_t length) { size_ += length; }
    bool allocate() {
        if (!VekFitsLengthWord(size_)) return false;
        block_ = static_cast<unsigned char*>(VekAllocateBlock(size_));
        cursor_ = block_;
        return block_ != nullptr;
    }
    // Takes over held's block, grown to the measured size, instead of a new
    // one; held is left as it was when it cannot grow.
    bool allocateOver(gss_buffer_desc& held) {
        if (!VekFitsLengthWord(size_)) return false;
        auto* block = static_cast<unsigned char*>(held.value);
        std::size_t capacity = held.length;
        if (!VekGrowBlock(block, capacity, size_)) return false;
        held = {0, nullptr};
        block_ = cursor_ = block;
        return true;
    }
    void write(std::string_view text) { write(text.data(), text.size()); }
    // Moves the length bytes at the block's start (bytes of the block taken
    // over) to offset, where they belong, and passes over them later.
    void moveFromStart(std::size_t offset, std::size_t length) {
        if (length != 0) std::memmove(block_ + offset, block_, length);
    }
    void skip(std::size_t length) { cursor_ += length; }
    void write(const void* bytes, std::size_t length) {
        if (length != 0) std::memcpy(cursor_, bytes, length);
        cursor_ += length;
    }
    // Base64 of bytes in the MIME layout.
    static std::size_t base64Length(std::size_t length) { return detail::mimeBase64Length(length); }
    void writeBase64(const gss_buffer_desc& bytes) {
        detail::writeMimeBase64(bytes, cursor_);
        cursor_ += base64Length(bytes.length);
    }
    void writeBase64Consuming(const gss_buffer_desc& bytes) {
        detail::writeMimeBase64Consuming(bytes, cursor_);
        cursor_ += base64Length(bytes.length);
    }
    // Hands the finished block over; target is untouched when allocate failed.
    void handOver(gss_buffer_desc& target) {
        target.length = static_cast<OM_uint32>(size_);
        target.value = block_;
        block_ = nullptr;
    }
    ~MessageWriter() { std::free(block_); }

private:
    std::size_t size_ = 0;
    unsigned char* block_ = nullptr;
    unsigned char* cursor_ = nullptr;
};

// The header and the base64 of pidu, straight into one block of the
// message's final size: a new one, or over's block grown to fit (pidu's
// memory is then given back as it is encoded). false when there is no memory.
bool writeNativeMessage(std::string_view header, const gss_buffer_desc& pidu, gss_buffer_desc* over,
                        gss_buffer_desc& target) {
    MessageWriter writer;
    writer.count(header.size());
    writer.count(MessageWriter::base64Length(pidu.length));
    if (!(over != nullptr ? writer.allocateOver(*over) : writer.allocate())) return false;
    writer.write(header);
    if (over != nullptr) writer.writeBase64Consuming(pidu);
    else writer.writeBase64(pidu);
    writer.handOver(target);
    return true;
}

unsigned int writeTokenMessageOver(gss_buffer_desc& held, const gss_buffer_desc& token, bool signedData) {
    SMIME_TRACE_SCOPE("smimeGenerator::CreateNativeMessage()");
    if (token.value == nullptr || held.value == nullptr) return SMIME_NULL_PARAMETER;
    SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage(): base64-encoding PIDU");
    const std::string_view header =
        headerOf(signedData ? kSignedData : isAuthEnveloped(token) ? kAuthEnvelopedData : kEnvelopedData);
    if (!writeNativeMessage(header, token, &held, held)) {
        SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage(): error encoding PIDU");
        return SMIME_NO_MEMORY;
    }
    return SMIME_OK;
}

} // namespace

unsigned int detail::wrapTokenOver(gss_buffer_desc& held, const gss_buffer_desc& token, bool signedData) {
    // The trace records are those of the generator's insert calls.
    SMIME_TRACE_SCOPE(signedData ? "smimeGenerator::insertSignedData()" : "smimeGenerator::insertEnvelopedData()");
    return writeTokenMessageOver(held, token, signedData);
}

smimeGenerator::smimeGenerator()
    : output{0, nullptr}, outputRef(&output), messageType(messageNone), codec(new (std::nothrow) sbase64) {
    SMIME_TRACE_SCOPE("smimeGenerator::smimeGenerator()");
}

smimeGenerator::~smimeGenerator() {
    SMIME_TRACE_SCOPE("smimeGenerator::~smimeGenerator()");
    delete codec;
    if (outputRef->value != nullptr) {
        SMIME_TRACE_TEXT("smimeGenerator:  release gss_buffer ");
        releaseQuietly(*outputRef);
    }
}

smimeGenerator::smimeGenerator(const smimeGenerator& other)
    : SMIMEBase(other), output{0, nullptr}, outputRef(&output), messageType(messageNone),
      codec(new (std::nothrow) sbase64) {
    const gss_buffer_desc& source = *other.outputRef;
    if (source.value == nullptr) return;
    if (detail::copyInto(source.value, source.length, &output) != SMIME_OK) return; // the copy is then empty
    messageType = other.messageType;
}

smimeGenerator& smimeGenerator::operator=(const smimeGenerator& other) {
    if (this == &other) return *this;
    smimeGenerator copy(other);
    SMIMEBase::operator=(other);
    releaseQuietly(*outputRef);
    *outputRef = *copy.outputRef;
    *copy.outputRef = {0, nullptr};
    messageType = copy.messageType;
    if (codec == nullptr) std::swap(codec, copy.codec);
    return *this;
}

unsigned int smimeGenerator::CreateNativeMessage(const gss_buffer_desc* pidu, int kind, gss_buffer_desc* destination) {
    SMIME_TRACE_SCOPE("smimeGenerator::CreateNativeMessage()");
    if (pidu == nullptr) {
        SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage():  pidu buffer is NULL");
        return SMIME_NULL_PARAMETER;
    }
    if (pidu->value == nullptr) {
        SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage():  pidu buffer points to NULL");
        return SMIME_NULL_PARAMETER;
    }
    if (outputRef->value != nullptr) {
        SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage():  data is already present");
        return SMIME_MESSAGE_ALREADY_SET;
    }
    SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage(): base64-encoding PIDU");
    // A codec that could not be made with the generator is tried again, so
    // that running out of memory once does not disable it for good.
    if (codec == nullptr) codec = new (std::nothrow) sbase64;
    if (codec == nullptr ||
        !writeNativeMessage(headerOf(kind), *pidu, nullptr, destination != nullptr ? *destination : *outputRef)) {
        SMIME_TRACE_TEXT("smimeGenerator::CreateNativeMessage(): error encoding PIDU");
        return SMIME_NO_MEMORY;
    }
    return SMIME_OK;
}

unsigned int smimeGenerator::insertEnvelopedData(const gss_buffer_desc* pidu) {
    SMIME_TRACE_SCOPE("smimeGenerator::insertEnvelopedData()");
    const unsigned int status =
        CreateNativeMessage(pidu, pidu != nullptr && isAuthEnveloped(*pidu) ? kAuthEnvelopedData : kEnvelopedData, nullptr);
    if (status == SMIME_OK) messageType = messageEnvelopedData;
    return status;
}

unsigned int smimeGenerator::insertSignedData(const gss_buffer_desc* pidu) {
    SMIME_TRACE_SCOPE("smimeGenerator::insertSignedData()");
    const unsigned int status = CreateNativeMessage(pidu, kSignedData, nullptr);
    if (status == SMIME_OK) messageType = messageSignedData;
    return status;
}

unsigned int smimeGenerator::insertMultipartAndSignedData(digestAlgorithm_t digest, const gss_buffer_desc* content,
                                                          const gss_buffer_desc* signature) {
    return assembleClearSigned(digest, content, signature, nullptr);
}

unsigned int smimeGenerator::assembleClearSigned(digestAlgorithm_t digest, const gss_buffer_desc* content,
                                                 const gss_buffer_desc* signature, gss_buffer_desc* over) {
    SMIME_TRACE_SCOPE("smimeGenerator::insertMultipartAndSignedData()");
    // The content is searched and copied; without one there is nothing to sign.
    if (content == nullptr || (content->length != 0 && content->value == nullptr)) return SMIME_NULL_PARAMETER;
    gss_buffer_desc signaturePart = {0, nullptr};
    const unsigned int created = CreateNativeMessage(signature, kSignaturePart, &signaturePart);
    if (created != SMIME_OK) return created;

    char micalg[8] = {};
    getAlgorithm(digest, micalg);

    const std::bitset<kTagCount> taken =
        content->length != 0 ? boundariesIn(*content) : std::bitset<kTagCount>();
    if (taken.all()) {
        // Every boundary string occurs in the content: no delimiter could be
        // told from the content itself.
        releaseQuietly(signaturePart);
        return SMIME_BAD_MESSAGE;
    }
    char tag[kTagSize];
    std::time_t drawnAt = std::time(nullptr);
    getRandomTag(tag, kTagSize);
    for (int draws = 1; taken.test(static_cast<std::size_t>(tagIndex(tag))); ++draws) {
        if (draws == kTimedDraws) {
            std::size_t free = 0;
            while (taken.test(free)) ++free;
            tag[0] = static_cast<char>('A' + (free >> 8));
            tag[1] = static_cast<char>('A' + ((free >> 4) & 0xF));
            tag[2] = static_cast<char>('A' + (free & 0xF));
            break;
        }
        sleepUntilNextSecond(drawnAt);
        drawnAt = std::time(nullptr);
        getRandomTag(tag, kTagSize);
    }
    char boundary[16];
    std::memcpy(boundary, kBoundaryWord.data(), kBoundaryWord.size());
    std::memcpy(boundary + kBoundaryWord.size(), tag, kTagSize);
    const std::string_view b(boundary, kBoundaryWord.size() + kTagSize - 1);

    // The content is copied once, into the message's final block; or, when
    // the block is its own, moved once within it.
    const std::string_view pieces[] = {kMultipartHeader, micalg, "; boundary=", b, "\r\n\r\n--", b, "\r\n"};
    const std::string_view signatureLead[] = {"\r\n--", b, "\r\n"};
    const std::string_view closing[] = {"\r\n\r\n--", b, "--\r\n"};
    const gss_buffer_desc text = *content; // content may be over itself, which the writer takes
    std::size_t lead = 0;
    for (std::string_view piece : pieces) lead += piece.size();
    MessageWriter writer;
    writer.count(lead);
    writer.count(text.length);
    for (std::string_view piece : signatureLead) writer.count(piece.size());
    writer.count(signaturePart.length);
    for (std::string_view piece : closing) writer.count(piece.size());
    unsigned int status = SMIME_NO_MEMORY;
    if (over != nullptr ? writer.allocateOver(*over) : writer.allocate()) {
        if (over != nullptr) writer.moveFromStart(lead, text.length);
        for (std::string_view piece : pieces) writer.write(piece);
        if (over != nullptr) writer.skip(text.length);
        else writer.write(text.value, text.length);
        for (std::string_view piece : signatureLead) writer.write(piece);
        writer.write(signaturePart.value, signaturePart.length);
        for (std::string_view piece : closing) writer.write(piece);
        writer.handOver(over != nullptr ? *over : *outputRef);
        status = SMIME_OK;
    }
    releaseQuietly(signaturePart);
    if (status == SMIME_OK && over == nullptr) messageType = messageClearSigned;
    return status;
}

unsigned int smimeGenerator::getAlgorithm(digestAlgorithm_t digest, char* name) {
    const char* micalg = nullptr;
    switch (digest) {
    case digestMD2:
        micalg = "md2";
        break;
    case digestMD5:
        micalg = "md5";
        break;
    case digestSHA1:
        micalg = "sha1";
        break;
    case digestSHA256: // a PSS signature's micalg is its digest's
    case digestSHA256PSS:
        micalg = "sha-256";
        break;
    case digestSHA384:
    case digestSHA384PSS:
        micalg = "sha-384";
        break;
    case digestSHA512:
    case digestSHA512PSS:
        micalg = "sha-512";
        break;
    }
    if (micalg != nullptr) std::memcpy(name, micalg, std::strlen(micalg) + 1);
    return SMIME_OK;
}

// A generator of our own, seeded from the clock in whole seconds on every
// call like the runtime's rand would be, but without restarting the
// process-wide sequence that other code may draw from.
unsigned int smimeGenerator::getRandomTag(char* tag, int size) {
    if (size < 1) return SMIME_OK;
    std::mt19937 generator(static_cast<std::mt19937::result_type>(std::time(nullptr)));
    for (int i = 0; i < size - 1; ++i) tag[i] = static_cast<char>('A' + (generator() & 0xF));
    tag[size - 1] = '\0';
    return SMIME_OK;
}

unsigned int smimeGenerator::getMessage(gss_buffer_desc* pidu_buffer) {
    SMIME_TRACE_SCOPE("smimeGenerator::getMessage(pidu_buffer,minor_status)");
    if (outputRef->length == 0) return SMIME_NO_MESSAGE;
    if (pidu_buffer == nullptr) return SMIME_NULL_PARAMETER;
    if (pidu_buffer->length != 0 || pidu_buffer->value != nullptr) return SMIME_OUTPUT_NOT_EMPTY;
    return detail::copyInto(outputRef->value, outputRef->length, pidu_buffer);
}

unsigned int smimeGenerator::getMessage(std::ostream* pidu_stream) {
    SMIME_TRACE_SCOPE("smimeGenerator::getMessage(pidu_stream)");
    if (messageType == messageNone || outputRef->length == 0) return SMIME_GENERATOR_EMPTY;
    if (pidu_stream == nullptr) return SMIME_NULL_PARAMETER;
    // A failed stream keeps the message, so it can be asked for again.
    try {
        pidu_stream->write(static_cast<const char*>(outputRef->value),
                           static_cast<std::streamsize>(outputRef->length));
    } catch (...) {
        return SMIME_NULL_PARAMETER;
    }
    if (pidu_stream->bad()) return SMIME_NULL_PARAMETER;
    OM_uint32 minor = 0;
    const unsigned int status = prov_release_buffer(&minor, outputRef);
    *outputRef = {0, nullptr};
    messageType = messageNone;
    return status;
}

messageType_t smimeGenerator::getMessageType() {
    SMIME_TRACE_SCOPE("smimeGenerator::getMessageType()");
    return messageType;
}

unsigned int smimeGenerator::getMessageReference(gss_buffer_desc* buffer) {
    SMIME_TRACE_SCOPE("smimeGenerator::getMessageReference()");
    if (buffer == nullptr) return SMIME_GENERATOR_EMPTY;
    if (outputRef->value == nullptr) return SMIME_NULL_PARAMETER;
    *buffer = *outputRef;
    *outputRef = {0, nullptr};
    messageType = messageNone;
    return SMIME_OK;
}

unsigned int smimeGenerator::freeMessage() {
    SMIME_TRACE_SCOPE("smimeGenerator::freeMessage()");
    if (outputRef->value == nullptr) return SMIME_GENERATOR_EMPTY;
    SMIME_TRACE_TEXT("smimeGenerator:freeMessage:  release gss_buffer ");
    OM_uint32 minor = 0;
    const unsigned int status = prov_release_buffer(&minor, outputRef);
    *outputRef = {0, nullptr};
    messageType = messageNone;
    return status;
}
