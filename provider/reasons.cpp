#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bookkeeping.h"
#include "provider_call.h"

namespace detail {

const char* reasonText(OM_uint32 reason) noexcept {
    switch (reason) {
    case KIVO_R_NONE:
        return "success";
    case KIVO_R_NOT_AVAILABLE:
        return "the operation is not available in this security provider";
    case KIVO_R_BAD_PARAMETER:
        return "a required argument is missing or malformed";
    case KIVO_R_NO_MEMORY:
        return "out of memory";
    case KIVO_R_BAD_HANDLE:
        return "the credential, container or environment handle is not valid";
    case KIVO_R_KEYSTORE_UNREADABLE:
        return "the key store cannot be read or is not PKCS#12 or PEM";
    case KIVO_R_WRONG_PASSWORD:
        return "wrong password for the key store";
    case KIVO_R_NO_SUCH_IDENTITY:
        return "no identity in the key store matches the principal";
    case KIVO_R_NO_PRIVATE_KEY:
        return "the credential has no private key";
    case KIVO_R_UNSUPPORTED_DIGEST:
        return "unsupported digest algorithm";
    case KIVO_R_UNSUPPORTED_CIPHER:
        return "unsupported content-encryption algorithm";
    case KIVO_R_BAD_RECIPIENT_CERTIFICATE:
        return "a recipient certificate cannot be read or used for encryption";
    case KIVO_R_NO_RECIPIENTS:
        return "no recipients were given";
    case KIVO_R_MALFORMED_TOKEN:
        return "the PKCS#7 data is malformed or of an unexpected kind";
    case KIVO_R_SIGNATURE_INVALID:
        return "the signature does not match the content";
    case KIVO_R_SIGNER_NOT_TRUSTED:
        return "the signer's certificate does not chain to a trusted certificate";
    case KIVO_R_CERTIFICATE_EXPIRED:
        return "a certificate is outside its validity period";
    case KIVO_R_NOT_A_RECIPIENT:
        return "the message is not encrypted for this credential";
    case KIVO_R_DECRYPTION_FAILED:
        return "the message cannot be decrypted";
    case KIVO_R_UNSUPPORTED_OPERATION:
        return "unsupported protect operation";
    case KIVO_R_INTERNAL:
        return "internal error in the security provider";
    case KIVO_R_CERTIFICATE_REVOKED:
        return "a certificate of the signer's chain is revoked";
    case KIVO_R_REVOCATION_UNKNOWN:
        return "the revocation of a certificate of the signer's chain cannot be checked (no current CRL or OCSP answer)";
    case KIVO_R_SIGNER_NOT_PERMITTED:
        return "the signer's certificate does not allow signing mail (key usage or extended key usage)";
    case KIVO_R_UNSUPPORTED_ALGORITHM:
        return "an algorithm of the message or key store is not supported";
    default:
        return nullptr;
    }
}

namespace {

// Fixed room, so that noting it can never fail.
thread_local char lastUnsupported[160];

} // namespace

kivo_reason_t unsupportedAlgorithm(const char* what) noexcept {
    std::snprintf(lastUnsupported, sizeof lastUnsupported, "%s", what != nullptr ? what : "");
    return KIVO_R_UNSUPPORTED_ALGORITHM;
}

kivo_reason_t displayStatus(OM_uint32 reason, gss_buffer_desc* text) noexcept {
    if (text == nullptr || text->length != 0 || text->value != nullptr) return KIVO_R_BAD_PARAMETER;
    char built[sizeof lastUnsupported + 80];
    const char* line = reasonText(reason);
    if (line == nullptr) {
        std::snprintf(built, sizeof built, "unknown reason code %u", static_cast<unsigned>(reason));
        line = built;
    } else if (reason == KIVO_R_UNSUPPORTED_ALGORITHM && lastUnsupported[0] != '\0') {
        std::snprintf(built, sizeof built, "%s: %s", line, lastUnsupported);
        line = built;
    }
    const std::size_t length = std::strlen(line);
    void* copy = std::malloc(length + 1);
    if (copy == nullptr) return KIVO_R_NO_MEMORY;
    std::memcpy(copy, line, length + 1);
    text->value = copy;
    text->length = static_cast<OM_uint32>(length);
    return KIVO_R_NONE;
}

OM_uint32 majorStatusFor(kivo_reason_t reason) noexcept {
    switch (reason) {
    case KIVO_R_NONE:
        return GSS_S_COMPLETE;
    case KIVO_R_NOT_AVAILABLE:
        return GSS_S_UNAVAILABLE;
    case KIVO_R_BAD_PARAMETER:
        return GSS_S_CALL_INACCESSIBLE_READ;
    case KIVO_R_BAD_HANDLE:
    case KIVO_R_NO_SUCH_IDENTITY:
    case KIVO_R_NO_PRIVATE_KEY:
        return GSS_S_NO_CRED;
    case KIVO_R_KEYSTORE_UNREADABLE:
    case KIVO_R_WRONG_PASSWORD:
        return GSS_S_DEFECTIVE_CREDENTIAL;
    case KIVO_R_UNSUPPORTED_DIGEST:
    case KIVO_R_UNSUPPORTED_CIPHER:
        return GSS_S_BAD_MECH;
    case KIVO_R_MALFORMED_TOKEN:
        return GSS_S_DEFECTIVE_TOKEN;
    case KIVO_R_SIGNATURE_INVALID:
        return GSS_S_BAD_SIG;
    case KIVO_R_CERTIFICATE_EXPIRED:
        return GSS_S_CREDENTIALS_EXPIRED;
    default:
        return GSS_S_FAILURE;
    }
}

} // namespace detail
