// The message object: its construction, state and last status, message
// input and output, and the login to the security provider. Also the
// container base of the generator and the parser, and the library's entry
// point on Windows.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <new>
#include <ostream>

#include "owned_buffer.h"
#include "provider_handles.h"
#include "smimemsg_frame.h"
#include "smimestream.h"
#include "strace.h"
#include "vek4kivooidtable.h"
#include "vek4kivosmime.h"
#include "vekbuffer.h"
#include "vekmutex.h"
#include "vekruntime.h"

namespace {

constexpr char kTraceFile[] = "src/smimemsg";
constexpr std::size_t kReadChunk = 4096;
constexpr int kStreamSizeHint = 131072;
// What a credential is asked to be used for; its meaning is the provider's.
constexpr OM_uint32 kCredentialUsage = 120;
constexpr int kServiceOids[] = {KIVO_OID_SERVICE_SIGNED_DATA, KIVO_OID_SERVICE_ENVELOPED_DATA,
                                KIVO_OID_SERVICE_DATA, KIVO_OID_SERVICE_SMIME};

// A string as the provider takes it: its terminating NUL counted.
gss_buffer_desc stringBuffer(const char* text) {
    return {static_cast<OM_uint32>(std::strlen(text) + 1), const_cast<char*>(text)};
}

// A descriptor and a copy of size bytes as its value, both from malloc so
// that the provider can release them; owner holds the descriptor as soon as
// it exists. The records name what could not be had.
unsigned int copyToDescriptor(const void* bytes, std::size_t size, detail::DescriptorHandle& owner,
                              const char* noDescriptor, const char* noValue) {
    auto* descriptor = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
    if (descriptor == nullptr) {
        SMIME_TRACE_TEXT(noDescriptor);
        return SMIME_NO_MEMORY;
    }
    *descriptor = {0, nullptr};
    *owner.out() = descriptor;
    if ((descriptor->value = std::malloc(size)) == nullptr) {
        SMIME_TRACE_TEXT(noValue);
        return SMIME_NO_MEMORY;
    }
    std::memcpy(descriptor->value, bytes, size);
    descriptor->length = static_cast<OM_uint32>(size);
    return SMIME_OK;
}

unsigned int providerFailed(const char* record) {
    SMIME_TRACE_TEXT(record);
    return SMIME_PROVIDER_FAILED;
}

// Hands what a login made to the object's field once the login succeeded.
// After a failure it is released; one the provider would not release stays
// held, so that a later logout retries it.
template <typename Owner, typename Handle>
void keepOrRelease(bool keep, Owner& owner, Handle& field, std::atomic<unsigned int>& stateFlags, unsigned int bit) {
    if (!keep && owner.reset()) return;
    field = owner.release();
    stateFlags |= bit;
}

} // namespace

#if defined(_WIN32)
#include <windows.h>

// The library keeps no per-thread state, so thread notifications are not
// needed.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif

SMIMEBase::SMIMEBase()
    : message{0, nullptr}, messageRef(&message), header{0, nullptr}, headerRef(&header), body{0, nullptr},
      bodyRef(&body), stream(nullptr), utility(new (std::nothrow) smime_utility) {}

SMIMEBase::~SMIMEBase() { delete utility; }

// A copy holds the descriptors the source refers to in fields of its own, so
// it never points into the source, and owns a utility of its own.
SMIMEBase::SMIMEBase(const SMIMEBase& other)
    : message(*other.messageRef), messageRef(&message), header(*other.headerRef), headerRef(&header),
      body(*other.bodyRef), bodyRef(&body), stream(other.stream), utility(new (std::nothrow) smime_utility) {}

SMIMEBase& SMIMEBase::operator=(const SMIMEBase& other) {
    if (this == &other) return *this;
    message = *other.messageRef;
    header = *other.headerRef;
    body = *other.bodyRef;
    messageRef = &message;
    headerRef = &header;
    bodyRef = &body;
    stream = other.stream;
    if (utility == nullptr) utility = new (std::nothrow) smime_utility;
    return *this;
}

unsigned int SMIMEBase::setMessage(std::istream* newStream, unsigned int* /*minor_status*/) {
    stream = newStream;
    return SMIME_OK;
}

unsigned int SMIMEBase::setMessage(const gss_buffer_desc* newMessage, unsigned int* /*minor_status*/) {
    messageRef->length = newMessage->length;
    messageRef->value = newMessage->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::getMessage(std::istream* /*stream*/, unsigned int* /*minor_status*/) { return SMIME_OK; }

unsigned int SMIMEBase::getMessage(gss_buffer_desc* out, unsigned int* /*minor_status*/) {
    out->length = messageRef->length;
    out->value = messageRef->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::setBody(const gss_buffer_desc* newBody, unsigned int* /*minor_status*/) {
    bodyRef->length = newBody->length;
    bodyRef->value = newBody->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::getBody(gss_buffer_desc* out, unsigned int* /*minor_status*/) {
    out->length = bodyRef->length;
    out->value = bodyRef->value;
    return SMIME_OK;
}

unsigned int SMIMEBase::setHeader(const gss_buffer_desc* /*header*/, unsigned int* /*minor_status*/) { return SMIME_OK; }

unsigned int SMIMEBase::getHeader(gss_buffer_desc* /*header*/, unsigned int* /*minor_status*/) { return SMIME_OK; }

// --- SMIMEMessage: construction and state ------------------------------------

SMIMEMessage::SMIMEMessage() { init(); }

// An object whose construction failed takes no message: its status stays
// 15, which getStatus shows.
SMIMEMessage::SMIMEMessage(const gss_buffer_desc* newMessage) {
    init();
    unsigned int minor = 0;
    if ((stateFlags & SMIME_INITIALIZED) != 0) setMessage(newMessage, &minor);
}

SMIMEMessage::SMIMEMessage(std::istream* stream) {
    init();
    unsigned int minor = 0;
    if ((stateFlags & SMIME_INITIALIZED) != 0) setMessage(stream, &minor);
}

SMIMEMessage::SMIMEMessage(const char* fileName) {
    init();
    unsigned int minor = 0;
    if ((stateFlags & SMIME_INITIALIZED) != 0) setMessage(fileName, &minor);
}

SMIMEMessage::~SMIMEMessage() {
    SMIME_TRACE_SCOPE("smimeMessage:~smimeMessage()");
    unsigned int scratch = 0;
    freeMessage(&scratch);
    logout(&scratch);
    uninit();
}

void SMIMEMessage::init() {
    environment = nullptr;
    credential = nullptr;
    credentialContainer = nullptr;
    credentialInfo = 0;
    message = {0, nullptr};
    majorStatus = SMIME_NO_MEMORY;
    parser = new (std::nothrow) smimeParser;
    generator = parser != nullptr ? new (std::nothrow) smimeGenerator : nullptr;
    utility = generator != nullptr ? new (std::nothrow) smime_utility : nullptr;
    mutex = utility != nullptr ? new (std::nothrow) VekMutex : nullptr;
    if (mutex != nullptr) {
        majorStatus = SMIME_OK;
    } else {
        delete utility;
        delete generator;
        delete parser;
        utility = nullptr;
        generator = nullptr;
        parser = nullptr;
    }
    stateFlags = majorStatus == SMIME_OK ? static_cast<unsigned int>(SMIME_INITIALIZED) : 0u;
    minorStatus = 0;
    messageType = messageNone;
}

void SMIMEMessage::uninit() {
    delete utility;
    utility = nullptr;
    delete generator;
    generator = nullptr;
    delete parser;
    parser = nullptr;
    delete mutex;
    mutex = nullptr;
}

unsigned int SMIMEMessage::getStatus(unsigned int* major_status, unsigned int* minor_status) {
    SMIME_TRACE_SCOPE("SMIMEMessage::getStatus()");
    if (major_status == nullptr || minor_status == nullptr) SMIME_TRACE_TEXT(detail::kNullParameterText);
    if (major_status != nullptr) *major_status = majorStatus;
    if (minor_status != nullptr) *minor_status = minorStatus;
    // The bits that say which provider objects the object made itself are
    // its own business, and the failure bit is shown by the major status.
    return stateFlags & ~static_cast<unsigned int>(SMIME_CREDENTIAL_HELD | SMIME_CONTAINER_HELD |
                                                   SMIME_LAST_CALL_FAILED);
}

unsigned int SMIMEMessage::freeMessage(unsigned int* /*minor_status: not used, no provider call reports*/) {
    SMIME_TRACE_SCOPE("SMIMEMessage::freeMessage()");
    VekMutexLocker locker(mutex);
    const unsigned int status = (stateFlags & SMIME_MESSAGE_SET) != 0 ? freeMessage() : SMIME_NO_MESSAGE;
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

unsigned int SMIMEMessage::freeMessage() {
    if (message.value != nullptr) {
        OM_uint32 scratch = 0;
        prov_release_buffer(&scratch, &message);
    }
    message = {0, nullptr};
    stateFlags &= ~static_cast<unsigned int>(SMIME_MESSAGE_SET);
    return SMIME_OK;
}

// --- Message input ---------------------------------------------------------------

unsigned int SMIMEMessage::LoadMessage(std::istream* stream, int sizeHint) {
    if (stream->rdstate() != std::ios_base::goodbit) return SMIME_STREAM_ERROR;
    // The bytes are read straight into the block that is then held: the
    // stream's bytes are copied once, and no second block of their size is
    // ever needed. Each read asks for all the room there is, so that a file
    // stream reads large stretches straight into the block.
    struct Block {
        unsigned char* bytes = nullptr;
        std::size_t capacity = 0;
        ~Block() { std::free(bytes); }
    } block;
    std::size_t length = 0;
    // Room for as many bytes as the stream says it has ready (a file's
    // stream knows its size, a string's its length), else for the hinted
    // bytes, and the last read, which finds the end.
    const std::streamsize ready = stream->rdbuf() != nullptr ? stream->rdbuf()->in_avail() : 0;
    const std::size_t expected = ready > 0 ? static_cast<std::size_t>(ready) : sizeHint > 0 ? static_cast<std::size_t>(sizeHint) : 0;
    if (expected > std::numeric_limits<std::size_t>::max() - kReadChunk ||
        !VekGrowBlock(block.bytes, block.capacity, expected + kReadChunk))
        return SMIME_NO_MEMORY;
    do {
        if (block.capacity - length < kReadChunk &&
            !VekGrowBlock(block.bytes, block.capacity, block.capacity + std::max(kReadChunk, block.capacity / 2)))
            return SMIME_NO_MEMORY;
        const std::size_t room = std::min<std::size_t>(block.capacity - length, std::numeric_limits<std::streamsize>::max());
        try {
            stream->read(reinterpret_cast<char*>(block.bytes + length), static_cast<std::streamsize>(room));
        } catch (...) {
            // A stream that throws on errors ends the reading like one
            // that reports them: the bytes of the last read are kept.
            length += static_cast<std::size_t>(stream->gcount());
            break;
        }
        length += static_cast<std::size_t>(stream->gcount());
    } while (stream->rdstate() == std::ios_base::goodbit);
    if (length == 0) return SMIME_STREAM_ERROR;
    if (!VekFitsLengthWord(length)) return SMIME_NO_MEMORY;
    message = {static_cast<OM_uint32>(length), block.bytes};
    block.bytes = nullptr;
    stateFlags |= SMIME_MESSAGE_SET;
    if (parser != nullptr) parser->setMessage(&message);
    return SMIME_OK;
}

unsigned int SMIMEMessage::setMessage(const gss_buffer_desc* newMessage, unsigned int* /*minor_status*/) {
    SMIME_TRACE_SCOPE("setMessage");
    VekMutexLocker locker(mutex);
    const unsigned int status = detail::guarded(SMIME_STREAM_ERROR, [&]() -> unsigned int {
        if ((stateFlags & SMIME_MESSAGE_SET) != 0) return SMIME_MESSAGE_ALREADY_SET;
        if (newMessage == nullptr || newMessage->length == 0 || newMessage->value == nullptr)
            return SMIME_NULL_PARAMETER;
        // Bytes in memory can neither fail nor run short, so reading them
        // through a stream would only add a copy: they are copied once,
        // straight into the held block. The caller's bytes are neither kept
        // nor changed.
        if (detail::copyInto(newMessage->value, newMessage->length, &message) != SMIME_OK) return SMIME_NO_MEMORY;
        stateFlags |= SMIME_MESSAGE_SET;
        if (parser != nullptr) parser->setMessage(&message);
        return SMIME_OK;
    });
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

unsigned int SMIMEMessage::setMessage(std::istream* stream, unsigned int* /*minor_status*/) {
    VekMutexLocker locker(mutex);
    const unsigned int status = detail::guarded(SMIME_STREAM_ERROR, [&]() -> unsigned int {
        if ((stateFlags & SMIME_MESSAGE_SET) != 0) return SMIME_MESSAGE_ALREADY_SET;
        if (stream == nullptr) return SMIME_NULL_PARAMETER;
        return LoadMessage(stream, kStreamSizeHint);
    });
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

unsigned int SMIMEMessage::setMessage(const char* fileName, unsigned int* /*minor_status*/) {
    SMIME_TRACE_SCOPE("setMessage");
    VekMutexLocker locker(mutex);
    const unsigned int status = detail::guarded(SMIME_FILE_ACCESS, [&]() -> unsigned int {
        if ((stateFlags & SMIME_MESSAGE_SET) != 0) return SMIME_MESSAGE_ALREADY_SET;
        if (fileName == nullptr) return SMIME_NULL_PARAMETER;
        vekruntime::FileStatus fileStatus;
        if (vekruntime::fileStatus(fileName, &fileStatus) != 0) return SMIME_FILE_NOT_FOUND;
        if ((fileStatus.st_mode & vekruntime::kOwnerRead) == 0) return SMIME_FILE_ACCESS;
        // What cannot be held is refused before a byte of it is read.
        if (!VekFitsLengthWord(static_cast<std::uint64_t>(fileStatus.st_size))) return SMIME_NO_MEMORY;
        std::ifstream file(fileName, std::ios::in | std::ios::binary);
        if (!file.good()) return SMIME_FILE_ACCESS;
        const int hint = fileStatus.st_size > INT_MAX ? INT_MAX : static_cast<int>(fileStatus.st_size);
        const unsigned int loaded = LoadMessage(&file, hint);
        // An empty file, or one that gives nothing, is one that cannot be read.
        return loaded == SMIME_STREAM_ERROR ? SMIME_FILE_ACCESS : loaded;
    });
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

// --- Message output --------------------------------------------------------------

unsigned int SMIMEMessage::DumpMessageToStream(std::ostream* stream, unsigned int* /*minor_status*/) {
    if ((stateFlags & SMIME_MESSAGE_SET) == 0) return SMIME_NO_MESSAGE;
    if (stream == nullptr) return SMIME_NULL_PARAMETER;
    try {
        stream->write(static_cast<const char*>(message.value), static_cast<std::streamsize>(message.length));
    } catch (...) {
        // A stream may throw whatever its buffer throws; it failed either way.
        return SMIME_STREAM_ERROR;
    }
    return stream->fail() ? SMIME_STREAM_ERROR : SMIME_OK;
}

unsigned int SMIMEMessage::getMessageToBuffer(gss_buffer_desc* output, unsigned int* /*minor_status*/) {
    unsigned int status = SMIME_OK;
    if (output == nullptr) {
        status = SMIME_NULL_PARAMETER;
    } else if (output->length != 0 || output->value != nullptr) {
        status = SMIME_OUTPUT_NOT_EMPTY;
    } else if ((stateFlags & SMIME_MESSAGE_SET) == 0) {
        status = SMIME_NO_MESSAGE;
    } else {
        status = detail::copyInto(message.value, message.length, output);
    }
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

unsigned int SMIMEMessage::getMessageToStream(std::ostream* output, unsigned int* minor_status) {
    const unsigned int status =
        (stateFlags & SMIME_MESSAGE_SET) == 0 ? SMIME_NO_MESSAGE : DumpMessageToStream(output, minor_status);
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

unsigned int SMIMEMessage::getMessage(gss_buffer_desc* output, unsigned int* minor_status) {
    VekMutexLocker locker(mutex);
    return getMessageToBuffer(output, minor_status);
}

unsigned int SMIMEMessage::getMessage(std::ostream* output, unsigned int* minor_status) {
    VekMutexLocker locker(mutex);
    return getMessageToStream(output, minor_status);
}

unsigned int SMIMEMessage::writeMessageToFile(const char* fileName) {
    SMIME_TRACE_SCOPE("SMIMEMessage::writeMessageToFile()");
    VekMutexLocker locker(mutex);
    const unsigned int status = detail::guarded(SMIME_FILE_ACCESS, [&]() -> unsigned int {
        if (fileName == nullptr) return SMIME_NULL_PARAMETER;
        if ((stateFlags & SMIME_MESSAGE_SET) == 0 || message.value == nullptr) return SMIME_NO_MESSAGE;
        if (vekruntime::fileExists(fileName) && !vekruntime::fileWritable(fileName)) return SMIME_FILE_ACCESS;
        std::ofstream file(fileName, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!file.is_open()) return SMIME_FILE_ACCESS;
        unsigned int dumped = DumpMessageToStream(&file, nullptr);
        // Bytes still buffered are written by close; its failure is the write's.
        file.close();
        if (dumped == SMIME_OK && file.fail()) dumped = SMIME_STREAM_ERROR;
        return dumped;
    });
    detail::Outcome{majorStatus, minorStatus, stateFlags}.record(status, nullptr);
    return status;
}

messageType_t SMIMEMessage::getMessageType() {
    VekMutexLocker locker(mutex);
    const unsigned int required = SMIME_INITIALIZED | SMIME_MESSAGE_SET;
    if ((stateFlags & required) != required || parser == nullptr) return messageNone;
    return parser->getMessageType();
}

// --- Login -------------------------------------------------------------------------

unsigned int SMIMEMessage::login(const char* location, const char* password, const char* principal,
                                 unsigned int* credentialInfoOut, unsigned int* minor_status) {
    if (credentialInfoOut != nullptr) *credentialInfoOut = 0;
    const bool present = location != nullptr && password != nullptr && principal != nullptr &&
                         credentialInfoOut != nullptr && minor_status != nullptr;
    return detail::runWithMinorStatus(
        kTraceFile, __LINE__, "SMIMEMessage::login()", {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
        present, SMIME_PROVIDER_FAILED, [&]() -> unsigned int {
            if (const unsigned int refused = detail::checkLoginState(kTraceFile, __LINE__, stateFlags))
                return refused;
            detail::ContainerHandle container;
            unsigned int status = establishCC(location, password, container.out(), minor_status);
            if (status != SMIME_OK) return status;
            detail::CredentialHandle made;
            status = acquireCR(container.get(), principal, made.out(), &credentialInfo, minor_status);
            if (status == SMIME_OK) {
                *credentialInfoOut = credentialInfo;
                status = establishEN(made.get(), &environment, minor_status);
            }
            if (status == SMIME_OK) stateFlags |= SMIME_LOGGED_IN;
            keepOrRelease(status == SMIME_OK, made, credential, stateFlags, SMIME_CREDENTIAL_HELD);
            // A credential that could not be released may still need its container.
            keepOrRelease(status == SMIME_OK || (stateFlags & SMIME_CREDENTIAL_HELD) != 0, container,
                          credentialContainer, stateFlags, SMIME_CONTAINER_HELD);
            return status;
        });
}

unsigned int SMIMEMessage::login(const gss_buffer_desc* container, const char* principal,
                                 unsigned int* credentialInfoOut, unsigned int* minor_status) {
    if (credentialInfoOut != nullptr) *credentialInfoOut = 0;
    const bool present =
        container != nullptr && principal != nullptr && credentialInfoOut != nullptr && minor_status != nullptr;
    return detail::runWithMinorStatus(
        kTraceFile, __LINE__, "SMIMEMessage::login()", {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
        present, SMIME_PROVIDER_FAILED, [&]() -> unsigned int {
            if (const unsigned int refused = detail::checkLoginState(kTraceFile, __LINE__, stateFlags))
                return refused;
            // The container is the caller's and is not kept.
            detail::CredentialHandle made;
            unsigned int status = acquireCR(container, principal, made.out(), &credentialInfo, minor_status);
            if (status != SMIME_OK) return status;
            *credentialInfoOut = credentialInfo;
            status = establishEN(made.get(), &environment, minor_status);
            if (status == SMIME_OK) stateFlags |= SMIME_LOGGED_IN;
            keepOrRelease(status == SMIME_OK, made, credential, stateFlags, SMIME_CREDENTIAL_HELD);
            return status;
        });
}

unsigned int SMIMEMessage::login(const void* credentialHandle, unsigned int* minor_status) {
    const bool present = credentialHandle != nullptr && minor_status != nullptr;
    return detail::runWithMinorStatus(
        kTraceFile, __LINE__, "SMIMEMessage::login()", {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
        present, SMIME_PROVIDER_FAILED, [&]() -> unsigned int {
            if (const unsigned int refused = detail::checkLoginState(kTraceFile, __LINE__, stateFlags))
                return refused;
            // The credential is the caller's: only the environment is ours.
            const unsigned int status = establishEN(credentialHandle, &environment, minor_status);
            if (status == SMIME_OK) stateFlags |= SMIME_LOGGED_IN;
            return status;
        });
}

unsigned int SMIMEMessage::logout(unsigned int* minor_status) {
    return detail::runWithMinorStatus(
        kTraceFile, __LINE__, "SMIMEMessage::logout()", {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
        minor_status != nullptr, SMIME_PROVIDER_FAILED, [&]() -> unsigned int {
            if ((stateFlags & SMIME_LOGGED_IN) == 0) return SMIME_NOT_LOGGED_IN;
            unsigned int status = SMIME_OK;
            // Every step runs even after one failed; the caller learns of the
            // last failure.
            auto undo = [&](unsigned int bit, auto&& step) {
                unsigned int local = 0;
                if (step(&local) == SMIME_OK) {
                    stateFlags &= ~bit;
                } else {
                    status = SMIME_PROVIDER_FAILED;
                    *minor_status = local;
                }
            };
            undo(SMIME_LOGGED_IN, [&](unsigned int* local) { return abolishEN(&environment, local); });
            if ((stateFlags & SMIME_CREDENTIAL_HELD) != 0)
                undo(SMIME_CREDENTIAL_HELD, [&](unsigned int* local) { return releaseCR(&credential, local); });
            if ((stateFlags & SMIME_CONTAINER_HELD) != 0)
                undo(SMIME_CONTAINER_HELD,
                     [&](unsigned int* local) { return abolishCC(&credentialContainer, local); });
            return status;
        });
}

unsigned int SMIMEMessage::establishCC(const char* location, const char* password, gss_buffer_desc** container,
                                       unsigned int* minor_status) {
    const gss_buffer_desc locationBuffer = stringBuffer(location);
    const gss_buffer_desc passwordBuffer = stringBuffer(password);
    if (kivo_establish_creds(nullptr, &locationBuffer, &passwordBuffer, KIVOGetOID(KIVO_OID_NAME_TYPE),
                             minor_status, container) != GSS_S_COMPLETE) {
        SMIME_TRACE_TEXT("kivo_establish_creds failed.");
        return SMIME_PROVIDER_FAILED;
    }
    return SMIME_OK;
}

unsigned int SMIMEMessage::abolishCC(gss_buffer_desc** container, unsigned int* minor_status) {
    return prov_abolish_creds(container, minor_status) == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}

// The objects a step makes are released on success and failure alike, each
// owner in the reverse of the order it is declared in.
unsigned int SMIMEMessage::acquireCR(const gss_buffer_desc* container, const char* principal, void** credentialOut,
                                     unsigned int* credentialInfoOut, unsigned int* minor_status) {
    detail::DescriptorHandle principalBuffer, reported;
    detail::OidSetHandle actualMechanisms, desiredMechanisms;
    detail::DescriptorHandle credentialUsage;
    detail::NameHandle name;
    OM_uint32 timeReceived = 0;

    unsigned int status =
        copyToDescriptor(&kCredentialUsage, sizeof kCredentialUsage, credentialUsage,
                         "Storage allocation cred_usage failed.", "Storage allocation cred_usage->value failed.");
    if (status == SMIME_OK && principal != nullptr)
        status = copyToDescriptor(principal, std::strlen(principal) + 1, principalBuffer,
                                  "Storage allocation principal failed.", "Storage allocation principal->value failed.");
    if (status != SMIME_OK) return status;
    if (gss_import_name(minor_status, principalBuffer.get(), KIVOGetOID(KIVO_OID_NAME_TYPE), name.out()) !=
        GSS_S_COMPLETE)
        return providerFailed("gss_import_name failed.");
    if (gss_create_empty_oid_set(minor_status, desiredMechanisms.out()) != GSS_S_COMPLETE)
        return providerFailed("gss_create_empty_oid_set failed.");
    if (gss_add_oid_set_member(minor_status, KIVOGetOID(KIVO_OID_MECHANISM), desiredMechanisms.out()) !=
        GSS_S_COMPLETE)
        return providerFailed("gss_add_oid_set_member failed.");
    if (idup_acquire_cred_with_auth(name.get(), container, GSS_C_INDEFINITE, desiredMechanisms.get(),
                                    credentialUsage.get(), minor_status, credentialOut, actualMechanisms.out(),
                                    reported.out(), &timeReceived) != GSS_S_COMPLETE)
        return providerFailed("idup_acquire_cred_with_auth failed.");
    OM_uint32 word = 0;
    const gss_buffer_desc* info = reported.get();
    if (info != nullptr && info->value != nullptr && info->length >= sizeof word)
        std::memcpy(&word, info->value, sizeof word);
    *credentialInfoOut = word;
    return SMIME_OK;
}

unsigned int SMIMEMessage::releaseCR(void** credentialHandle, unsigned int* minor_status) {
    return prov_release_cred(minor_status, credentialHandle) == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}

unsigned int SMIMEMessage::establishEN(const void* credentialHandle, void** environmentOut,
                                       unsigned int* minor_status) {
    detail::EnvOutputHandle secondOutput, firstOutput;
    detail::OidSetHandle unsupported, services;
    OM_uint32 timeReceived = 0;

    OM_uint32 major = gss_create_empty_oid_set(minor_status, services.out());
    if (major == GSS_S_COMPLETE) major = gss_create_empty_oid_set(minor_status, unsupported.out());
    for (const int service : kServiceOids)
        if (major == GSS_S_COMPLETE) major = gss_add_oid_set_member(minor_status, KIVOGetOID(service), services.out());
    if (major == GSS_S_COMPLETE)
        major = prov_establish_env(credentialHandle, KIVOGetOID(KIVO_OID_MECHANISM), KIVOGetOID(KIVO_OID_MECHANISM),
                                   0, services.get(), minor_status, environmentOut, firstOutput.out(),
                                   secondOutput.out(), &timeReceived, unsupported.get());
    return major == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}

unsigned int SMIMEMessage::abolishEN(void** environmentHandle, unsigned int* minor_status) {
    return prov_abolish_env(environmentHandle, minor_status) == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}
