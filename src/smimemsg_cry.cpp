// The protection operations of the message object: sign, clear-sign and
// encrypt the held message, and verify or decrypt it, delivering the result
// into a caller's buffer, to a stream, or only in place.
// Standard headers before the library's: when <new> first comes after the
// exported classes, MinGW's GCC exports std::bad_alloc's type information
// from the DLL.
#include <cstdlib>
#include <cstring>
#include <new>

#include "owned_buffer.h"
#include "smimemsg_frame.h"
#include "smimestream.h"
#include "strace.h"
#include "token_message.h"
#include "vek4kivosmime.h"

namespace {

constexpr char kTraceFile[] = "src/smimemsg_cry";

// What the three forms of an operation (into a buffer, to a stream, in
// place) share: the name their records carry and the status that stands for
// an exception escaping the work.
struct Operation {
    const char* label;
    unsigned int fallback;
};
constexpr Operation kSign{"SMIMEMessage::sign()", SMIME_PROVIDER_FAILED};
constexpr Operation kEncrypt{"SMIMEMessage::encrypt()", SMIME_PROVIDER_FAILED};
constexpr Operation kVerify{"SMIMEMessage::verify()", SMIME_BAD_MESSAGE};
constexpr Operation kDecrypt{"SMIMEMessage::decrypt()", SMIME_BAD_MESSAGE};

// The decoded object of an opaque signature or an envelope is the
// operation's own and read once, so its content is written over it: the
// object and a copy of its content never both take memory. The block then
// belongs to the content.
unsigned int unwrapOver(void* environment, detail::OwnedBuffer& object, gss_buffer_desc* content,
                        IDUP_PIDU_Information_desc* info, unsigned int* minor_status) {
    if (prov_unprotect_over(environment, object.get(), minor_status, content, info) != GSS_S_COMPLETE)
        return SMIME_PROVIDER_FAILED;
    if (content->value == object.held().value) object.release();
    return SMIME_OK;
}

// The held message's block becomes its verified signed part: the part moves
// to the block's start, and nothing else of the message is needed any more.
// Moving it within memory the message already has costs less than copying it
// into a fresh block, and the message and its part never both take memory.
// A lone signature has no part: nothing is handed on, the message stays.
gss_buffer_desc takeSignedPart(gss_buffer_desc& message, const gss_buffer_desc& part) {
    if (part.value == nullptr) return {0, nullptr};
    auto* block = static_cast<unsigned char*>(message.value);
    if (part.length != 0) std::memmove(block, part.value, part.length);
    // A block that cannot shrink stays as large as it was.
    void* shrunk = std::realloc(block, part.length == 0 ? 1 : part.length);
    message = {0, nullptr};
    return {part.length, shrunk != nullptr ? shrunk : block};
}

// A verify request must ask for something: its first word may not be 0.
bool isVerifyRequest(const IDUP_PIDU_Information_desc* info) { return info != nullptr && info->verify_flags != 0; }

// The frame every form runs in; given says whether the arguments the form
// needs besides the minor status word are there.
template <typename Work>
unsigned int runForm(const Operation& operation, const detail::Outcome& outcome, VekMutex* mutex,
                     unsigned int* minor_status, bool given, Work&& work) {
    return detail::runWithMinorStatus(kTraceFile, __LINE__, operation.label, outcome, mutex, minor_status,
                                      given && minor_status != nullptr, operation.fallback, work);
}

} // namespace

// --- Protect -----------------------------------------------------------------

unsigned int SMIMEMessage::sign(digestAlgorithm_t digest, gss_buffer_desc* output, unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr, [&] {
        return processEncap(IDUP_Protect_Sign, digest, strengthDefault, nullptr, output, nullptr, minor_status);
    });
}

unsigned int SMIMEMessage::sign(digestAlgorithm_t digest, std::ostream* output, unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr, [&] {
        return processEncap(IDUP_Protect_Sign, digest, strengthDefault, nullptr, nullptr, output, minor_status);
    });
}

unsigned int SMIMEMessage::sign(digestAlgorithm_t digest, unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, true, [&] {
        return processEncap(IDUP_Protect_Sign, digest, strengthDefault, nullptr, nullptr, nullptr, minor_status);
    });
}

unsigned int SMIMEMessage::signSignatureOnly(digestAlgorithm_t digest, gss_buffer_desc* output,
                                             unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr, [&] {
        return processEncap(IDUP_Protect_SignatureOnly, digest, strengthDefault, nullptr, output, nullptr,
                            minor_status);
    });
}

unsigned int SMIMEMessage::signSignatureOnly(digestAlgorithm_t digest, std::ostream* output,
                                             unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr, [&] {
        return processEncap(IDUP_Protect_SignatureOnly, digest, strengthDefault, nullptr, nullptr, output,
                            minor_status);
    });
}

unsigned int SMIMEMessage::signSignatureOnly(digestAlgorithm_t digest, unsigned int* minor_status) {
    return runForm(kSign, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, true, [&] {
        return processEncap(IDUP_Protect_SignatureOnly, digest, strengthDefault, nullptr, nullptr, nullptr,
                            minor_status);
    });
}

unsigned int SMIMEMessage::encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                                   gss_buffer_desc* output, unsigned int* minor_status) {
    return runForm(kEncrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
                   targets != nullptr && output != nullptr, [&] {
                       return processEncap(IDUP_Protect_Encrypt, digestAlgorithm_t{}, strength, targets, output,
                                           nullptr, minor_status);
                   });
}

unsigned int SMIMEMessage::encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                                   std::ostream* output, unsigned int* minor_status) {
    return runForm(kEncrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
                   targets != nullptr && output != nullptr, [&] {
                       return processEncap(IDUP_Protect_Encrypt, digestAlgorithm_t{}, strength, targets, nullptr,
                                           output, minor_status);
                   });
}

unsigned int SMIMEMessage::encrypt(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                                   unsigned int* minor_status) {
    return runForm(kEncrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, targets != nullptr, [&] {
        return processEncap(IDUP_Protect_Encrypt, digestAlgorithm_t{}, strength, targets, nullptr, nullptr,
                            minor_status);
    });
}

unsigned int SMIMEMessage::processEncap(IDUP_Protect_Operation op, digestAlgorithm_t digest,
                                        encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                                        gss_buffer_desc* output, std::ostream* stream, unsigned int* minor_status) {
    if (const unsigned int refused = detail::checkOperationState(kTraceFile, __LINE__, stateFlags, output))
        return refused;
    unsigned int status = SMIME_OK;
    switch (op) {
    case IDUP_Protect_Sign:
    case IDUP_Protect_SignatureOnly:
        status = signAction(op, digest, minor_status);
        break;
    case IDUP_Protect_Encrypt:
        status = encryptAction(strength, targets, minor_status);
        break;
    default:
        SMIME_TRACE_TEXT("SMIMEMessage::processEncap: bad protect op, SHOULD NOT OCCUR");
        status = SMIME_BAD_PROTECT_OP;
        break;
    }
    if (status != SMIME_OK) return status;

    // The generated message, now the held one, classifies itself.
    parser->setMessage(&message);
    messageType = parser->getMessageType();

    if (output != nullptr) return getMessageToBuffer(output, minor_status);
    if (stream != nullptr) return getMessageToStream(stream, minor_status);
    return SMIME_OK;
}

unsigned int SMIMEMessage::signAction(IDUP_Protect_Operation op, digestAlgorithm_t digest,
                                      unsigned int* minor_status) {
    const IDUP_Protect_Request_desc request = {static_cast<OM_uint32>(op), static_cast<OM_uint32>(digest), 0, 0};
    gss_buffer_desc token = {0, nullptr};
    gss_buffer_desc detachedToken = {0, nullptr};
    unsigned int status = SMIME_PROVIDER_FAILED;
    if (prov_protect(environment, &request, nullptr, &message, minor_status, &token, &detachedToken) ==
        GSS_S_COMPLETE) {
        // An opaque signature is written over the held message; a
        // clear-signed message carries it unchanged as its content, moved
        // within its block.
        status = op == IDUP_Protect_Sign ? detail::wrapTokenOver(message, token, true)
                                         : generator->assembleClearSigned(digest, &message, &detachedToken, &message);
    }
    if (token.value != nullptr) prov_release_buffer(minor_status, &token);
    if (detachedToken.value != nullptr) prov_release_buffer(minor_status, &detachedToken);
    return status;
}

unsigned int SMIMEMessage::encryptAction(encryptionAlgorithmStrength_t strength, IDUP_Target_Info_desc* targets,
                                         unsigned int* minor_status) {
    const IDUP_Protect_Request_desc request = {IDUP_Protect_Encrypt, 0, static_cast<OM_uint32>(strength), 0};
    gss_buffer_desc token = {0, nullptr};
    gss_buffer_desc detachedToken = {0, nullptr};
    unsigned int status = SMIME_PROVIDER_FAILED;
    if (prov_protect(environment, &request, targets, &message, minor_status, &token, &detachedToken) ==
        GSS_S_COMPLETE)
        status = detail::wrapTokenOver(message, token, false);
    if (token.value != nullptr) prov_release_buffer(minor_status, &token);
    return status;
}

// --- Unprotect -------------------------------------------------------------------

unsigned int SMIMEMessage::verify(gss_buffer_desc* output, IDUP_PIDU_Information_desc* info,
                                  unsigned int* minor_status) {
    return runForm(kVerify, {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
                   isVerifyRequest(info) && output != nullptr,
                   [&] { return processDecap(info, output, nullptr, minor_status); });
}

unsigned int SMIMEMessage::verify(std::ostream* output, IDUP_PIDU_Information_desc* info, unsigned int* minor_status) {
    return runForm(kVerify, {majorStatus, minorStatus, stateFlags}, mutex, minor_status,
                   isVerifyRequest(info) && output != nullptr,
                   [&] { return processDecap(info, nullptr, output, minor_status); });
}

unsigned int SMIMEMessage::verify(IDUP_PIDU_Information_desc* info, unsigned int* minor_status) {
    return runForm(kVerify, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, isVerifyRequest(info),
                   [&] { return processDecap(info, nullptr, nullptr, minor_status); });
}

unsigned int SMIMEMessage::decrypt(gss_buffer_desc* output, unsigned int* minor_status) {
    return runForm(kDecrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr,
                   [&] { return processDecap(nullptr, output, nullptr, minor_status); });
}

unsigned int SMIMEMessage::decrypt(std::ostream* output, unsigned int* minor_status) {
    return runForm(kDecrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, output != nullptr,
                   [&] { return processDecap(nullptr, nullptr, output, minor_status); });
}

unsigned int SMIMEMessage::decrypt(unsigned int* minor_status) {
    return runForm(kDecrypt, {majorStatus, minorStatus, stateFlags}, mutex, minor_status, true,
                   [&] { return processDecap(nullptr, nullptr, nullptr, minor_status); });
}

unsigned int SMIMEMessage::processDecap(IDUP_PIDU_Information_desc* info, gss_buffer_desc* output, std::ostream* stream,
                                        unsigned int* minor_status) {
    if (const unsigned int refused = detail::checkOperationState(kTraceFile, __LINE__, stateFlags, output))
        return refused;
    gss_buffer_desc content = {0, nullptr};
    messageType_t extracted = messageUnknown;
    const unsigned int status = info != nullptr ? verifyAction(info, &content, &extracted, minor_status)
                                                : decryptAction(&content, minor_status);
    if (status != SMIME_OK) {
        // Taking a clear-signed message apart left the parser describing its
        // signature part; the next question about the message rescans it.
        parser->setMessage(&message);
        return status;
    }
    // The provider may succeed and have no content to give: nothing changes.
    if (content.value == nullptr) return SMIME_OK;

    freeMessage();
    message = content;
    stateFlags |= SMIME_MESSAGE_SET;
    messageType = messageNotParsed;
    parser->setMessage(&message);

    if (output != nullptr) return getMessageToBuffer(output, minor_status);
    if (stream != nullptr) return getMessageToStream(stream, minor_status);
    return SMIME_OK;
}

unsigned int SMIMEMessage::verifyAction(IDUP_PIDU_Information_desc* info, gss_buffer_desc* content,
                                        messageType_t* type, unsigned int* minor_status) {
    *content = {0, nullptr};
    *type = messageUnknown;
    parser->setMessage(&message);
    detail::OwnedBuffer object;
    // The signed content of a clear-signed message, where it stands in the
    // held message.
    gss_buffer_desc signedContent = {0, nullptr};
    if (parser->extractPKCS7Object(object.get(), &signedContent, false) != SMIME_OK) return SMIME_BAD_MESSAGE;
    *type = detail::kindToUnwrap(parser->getMessageType(), message, object.held());

    if (*type == messageSignature) {
        // Detached: the provider checks the signature over the signed content,
        // which is the content handed on.
        const bool verified =
            prov_unprotect(environment, &signedContent, object.get(), minor_status, content, info) == GSS_S_COMPLETE;
        if (content->value != nullptr) {
            OM_uint32 scratch = 0;
            prov_release_buffer(&scratch, content);
        }
        if (!verified) return SMIME_PROVIDER_FAILED;
        *content = takeSignedPart(message, signedContent);
        return SMIME_OK;
    }
    if (*type == messageSignedData)
        return unwrapOver(environment, object, content, info, minor_status);
    return SMIME_BAD_MESSAGE;
}

unsigned int SMIMEMessage::decryptAction(gss_buffer_desc* content, unsigned int* minor_status) {
    *content = {0, nullptr};
    parser->setMessage(&message);
    detail::OwnedBuffer object;
    detail::OwnedBuffer signedContent;
    if (parser->getPKCS7Object(object.get(), signedContent.get()) != SMIME_OK) return SMIME_BAD_MESSAGE;
    if (detail::kindToUnwrap(parser->getMessageType(), message, object.held()) != messageEnvelopedData)
        return SMIME_BAD_MESSAGE;
    OM_uint32 scratch = 0;
    IDUP_PIDU_Information_desc* record = prov_create_pidu_info(&scratch);
    if (record == nullptr) return SMIME_NO_MEMORY;
    const unsigned int status = unwrapOver(environment, object, content, record, minor_status);
    prov_release_pidu_info(&scratch, &record);
    return status;
}
