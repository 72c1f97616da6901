// The message object: its construction, state and last status, message
// input and output, and the login to the security provider. Also the
// container base of the generator and the parser, and the library's entry
// point on Windows.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <new>
#include <ostream>

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

// A zeroed descriptor from malloc, so that the provider can release it.
gss_buffer_desc* newEmptyDescriptor() {
    auto* descriptor = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
    if (descriptor != nullptr) *descriptor = {0, nullptr};
    return descriptor;
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
    VekBuffer collected;
    try {
        // Room for the hinted bytes and the last read, which finds the end.
        collected.reserve(static_cast<std::size_t>(sizeHint > 0 ? sizeHint : 0) + kReadChunk);
        do {
            unsigned char* chunk = collected.prepareAppend(kReadChunk);
            try {
                stream->read(reinterpret_cast<char*>(chunk), static_cast<std::streamsize>(kReadChunk));
            } catch (...) {
                // A stream that throws on errors ends the reading like one
                // that reports them: the bytes of the last read are kept.
                collected.commit(static_cast<std::size_t>(stream->gcount()));
                break;
            }
            collected.commit(static_cast<std::size_t>(stream->gcount()));
        } while (stream->rdstate() == std::ios_base::goodbit);
    } catch (const std::bad_alloc&) {
        return SMIME_NO_MEMORY;
    }
    const std::size_t length = collected.getLength();
    if (length == 0) return SMIME_STREAM_ERROR;
    if (length > 0xFFFFFFFFu) return SMIME_NO_MEMORY;
    void* bytes = VekAllocateBlock(length);
    if (bytes == nullptr) return SMIME_NO_MEMORY;
    std::memcpy(bytes, collected.getValue(), length);
    message = {static_cast<OM_uint32>(length), bytes};
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
        void* bytes = VekAllocateBlock(newMessage->length);
        if (bytes == nullptr) return SMIME_NO_MEMORY;
        std::memcpy(bytes, newMessage->value, newMessage->length);
        message = {newMessage->length, bytes};
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
        void* copy = VekAllocateBlock(message.length);
        if (copy == nullptr) {
            status = SMIME_NO_MEMORY;
        } else {
            std::memcpy(copy, message.value, message.length);
            output->value = copy;
            output->length = message.length;
        }
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
            unsigned int status = establishCC(location, password, &credentialContainer, minor_status);
            if (status != SMIME_OK) return status;
            stateFlags |= SMIME_CONTAINER_HELD;
            status = acquireCR(credentialContainer, principal, &credential, &credentialInfo, minor_status);
            if (status == SMIME_OK) {
                stateFlags |= SMIME_CREDENTIAL_HELD;
                *credentialInfoOut = credentialInfo;
                status = establishEN(credential, &environment, minor_status);
            }
            if (status == SMIME_OK) {
                stateFlags |= SMIME_LOGGED_IN;
                return SMIME_OK;
            }
            // A failed login keeps nothing: what this login made goes again.
            unsigned int scratch = 0;
            if ((stateFlags & SMIME_CREDENTIAL_HELD) != 0 && releaseCR(&credential, &scratch) == SMIME_OK)
                stateFlags &= ~static_cast<unsigned int>(SMIME_CREDENTIAL_HELD);
            // A credential that could not be released may still need its container.
            if ((stateFlags & SMIME_CREDENTIAL_HELD) == 0 && abolishCC(&credentialContainer, &scratch) == SMIME_OK)
                stateFlags &= ~static_cast<unsigned int>(SMIME_CONTAINER_HELD);
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
            unsigned int status = acquireCR(container, principal, &credential, &credentialInfo, minor_status);
            if (status != SMIME_OK) return status;
            stateFlags |= SMIME_CREDENTIAL_HELD;
            *credentialInfoOut = credentialInfo;
            status = establishEN(credential, &environment, minor_status);
            if (status == SMIME_OK) {
                stateFlags |= SMIME_LOGGED_IN;
                return SMIME_OK;
            }
            unsigned int scratch = 0;
            if (releaseCR(&credential, &scratch) == SMIME_OK)
                stateFlags &= ~static_cast<unsigned int>(SMIME_CREDENTIAL_HELD);
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

unsigned int SMIMEMessage::acquireCR(const gss_buffer_desc* container, const char* principal, void** credentialOut,
                                     unsigned int* credentialInfoOut, unsigned int* minor_status) {
    gss_buffer_desc* credentialUsage = nullptr;
    gss_buffer_desc* principalBuffer = nullptr;
    gss_name_t name = nullptr;
    gss_OID_set desiredMechanisms = nullptr;
    gss_OID_set actualMechanisms = nullptr;
    gss_buffer_desc* reported = nullptr;
    OM_uint32 timeReceived = 0;

    // Every descriptor is taken from malloc, so the provider can release them.
    unsigned int status = SMIME_OK;
    if ((credentialUsage = newEmptyDescriptor()) == nullptr) {
        SMIME_TRACE_TEXT("Storage allocation cred_usage failed.");
        status = SMIME_NO_MEMORY;
    } else if ((credentialUsage->value = std::malloc(sizeof(OM_uint32))) == nullptr) {
        SMIME_TRACE_TEXT("Storage allocation cred_usage->value failed.");
        status = SMIME_NO_MEMORY;
    } else if (principal != nullptr) {
        const std::size_t length = std::strlen(principal) + 1;
        if ((principalBuffer = newEmptyDescriptor()) == nullptr) {
            SMIME_TRACE_TEXT("Storage allocation principal failed.");
            status = SMIME_NO_MEMORY;
        } else if ((principalBuffer->value = std::malloc(length)) == nullptr) {
            SMIME_TRACE_TEXT("Storage allocation principal->value failed.");
            status = SMIME_NO_MEMORY;
        } else {
            std::memcpy(principalBuffer->value, principal, length);
            principalBuffer->length = static_cast<OM_uint32>(length);
        }
    }

    if (status == SMIME_OK) {
        credentialUsage->length = sizeof(OM_uint32);
        std::memcpy(credentialUsage->value, &kCredentialUsage, sizeof kCredentialUsage);
        if (gss_import_name(minor_status, principalBuffer, KIVOGetOID(KIVO_OID_NAME_TYPE), &name) != GSS_S_COMPLETE) {
            SMIME_TRACE_TEXT("gss_import_name failed.");
            status = SMIME_PROVIDER_FAILED;
        } else if (gss_create_empty_oid_set(minor_status, &desiredMechanisms) != GSS_S_COMPLETE) {
            SMIME_TRACE_TEXT("gss_create_empty_oid_set failed.");
            status = SMIME_PROVIDER_FAILED;
        } else if (gss_add_oid_set_member(minor_status, KIVOGetOID(KIVO_OID_MECHANISM), &desiredMechanisms) !=
                   GSS_S_COMPLETE) {
            SMIME_TRACE_TEXT("gss_add_oid_set_member failed.");
            status = SMIME_PROVIDER_FAILED;
        } else if (idup_acquire_cred_with_auth(name, container, GSS_C_INDEFINITE, desiredMechanisms, credentialUsage,
                                               minor_status, credentialOut, &actualMechanisms, &reported,
                                               &timeReceived) != GSS_S_COMPLETE) {
            SMIME_TRACE_TEXT("idup_acquire_cred_with_auth failed.");
            status = SMIME_PROVIDER_FAILED;
        } else {
            OM_uint32 word = 0;
            if (reported != nullptr && reported->value != nullptr && reported->length >= sizeof word)
                std::memcpy(&word, reported->value, sizeof word);
            *credentialInfoOut = word;
        }
    }

    // Released on success and failure alike, with a word of our own, so the
    // caller's minor status keeps what the failing call said.
    OM_uint32 scratch = 0;
    if (name != nullptr) prov_release_name(&scratch, &name);
    if (credentialUsage != nullptr) prov_free_buffer_desc(&scratch, &credentialUsage);
    if (desiredMechanisms != nullptr) prov_release_oid_set(&scratch, &desiredMechanisms);
    if (actualMechanisms != nullptr) prov_release_oid_set(&scratch, &actualMechanisms);
    if (reported != nullptr) prov_free_buffer_desc(&scratch, &reported);
    if (principalBuffer != nullptr) prov_free_buffer_desc(&scratch, &principalBuffer);
    return status;
}

unsigned int SMIMEMessage::releaseCR(void** credentialHandle, unsigned int* minor_status) {
    return prov_release_cred(minor_status, credentialHandle) == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}

unsigned int SMIMEMessage::establishEN(const void* credentialHandle, void** environmentOut,
                                       unsigned int* minor_status) {
    gss_OID_set services = nullptr;
    gss_OID_set unsupported = nullptr;
    kivo_env_output_t firstOutput = nullptr;
    kivo_env_output_t secondOutput = nullptr;
    OM_uint32 timeReceived = 0;

    OM_uint32 major = gss_create_empty_oid_set(minor_status, &services);
    if (major == GSS_S_COMPLETE) major = gss_create_empty_oid_set(minor_status, &unsupported);
    for (const int service : kServiceOids)
        if (major == GSS_S_COMPLETE) major = gss_add_oid_set_member(minor_status, KIVOGetOID(service), &services);
    if (major == GSS_S_COMPLETE)
        major = prov_establish_env(credentialHandle, KIVOGetOID(KIVO_OID_MECHANISM), KIVOGetOID(KIVO_OID_MECHANISM),
                                   0, services, minor_status, environmentOut, &firstOutput, &secondOutput,
                                   &timeReceived, unsupported);

    OM_uint32 scratch = 0;
    if (services != nullptr) prov_release_oid_set(&scratch, &services);
    if (unsupported != nullptr) prov_release_oid_set(&scratch, &unsupported);
    if (firstOutput != nullptr) prov_release_env_output(&scratch, &firstOutput);
    if (secondOutput != nullptr) prov_release_env_output(&scratch, &secondOutput);
    return major == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}

unsigned int SMIMEMessage::abolishEN(void** environmentHandle, unsigned int* minor_status) {
    return prov_abolish_env(environmentHandle, minor_status) == GSS_S_COMPLETE ? SMIME_OK : SMIME_PROVIDER_FAILED;
}
