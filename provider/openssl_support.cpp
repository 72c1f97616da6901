#include "openssl_support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <openssl/pem.h>

#include "vekbuffer.h"

namespace detail {

bool pushReference(STACK_OF(X509)* stack, X509* cert) noexcept {
    if (X509_up_ref(cert) != 1) return false;
    if (sk_X509_push(stack, cert) != 0) return true;
    X509_free(cert);
    return false;
}

bool pushReference(STACK_OF(X509_CRL)* stack, X509_CRL* crl) noexcept {
    if (X509_CRL_up_ref(crl) != 1) return false;
    if (sk_X509_CRL_push(stack, crl) != 0) return true;
    X509_CRL_free(crl);
    return false;
}

X509StackPtr copyCertificates(const STACK_OF(X509)* source) {
    X509StackPtr copy(sk_X509_new_null());
    if (!copy) return nullptr;
    for (int i = 0; source != nullptr && i < sk_X509_num(source); ++i)
        if (!pushReference(copy.get(), sk_X509_value(source, i))) return nullptr;
    return copy;
}

BioPtr readOnlyBio(const void* bytes, std::size_t length) {
    static const char kNothing = 0;
    if (length > static_cast<std::size_t>(INT32_MAX)) return nullptr;
    return BioPtr(BIO_new_mem_buf(length == 0 ? &kNothing : bytes, static_cast<int>(length)));
}

QueuedErrors QueuedErrors::take() noexcept {
    QueuedErrors errors;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error())
        if (errors.count_ < kMax) errors.codes_[errors.count_++] = code;
    return errors;
}

bool QueuedErrors::has(int lib, int reason) const noexcept {
    for (int i = 0; i < count_; ++i)
        if (ERR_GET_LIB(codes_[i]) == lib && ERR_GET_REASON(codes_[i]) == reason) return true;
    return false;
}

bool QueuedErrors::hasLibrary(int lib) const noexcept {
    for (int i = 0; i < count_; ++i)
        if (ERR_GET_LIB(codes_[i]) == lib) return true;
    return false;
}

bool QueuedErrors::outOfMemory() const noexcept {
    for (int i = 0; i < count_; ++i)
        if (ERR_GET_REASON(codes_[i]) == ERR_GET_REASON(ERR_R_MALLOC_FAILURE)) return true;
    return false;
}

kivo_reason_t reasonFromQueue(kivo_reason_t fallback) noexcept {
    return QueuedErrors::take().outOfMemory() ? KIVO_R_NO_MEMORY : fallback;
}

bool stringOf(const gss_buffer_desc* buffer, std::string& text) {
    if (buffer == nullptr || (buffer->length != 0 && buffer->value == nullptr)) return false;
    text.assign(static_cast<const char*>(buffer->value), buffer->length);
    // The string buffers of this interface count their NUL; bytes after an
    // embedded NUL are not part of the string.
    const std::size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return true;
}

namespace {

template <typename Owner, typename Read, typename Stack>
kivo_reason_t readPemObjects(const void* bytes, std::size_t length, Read read, Stack* stack) noexcept {
    BioPtr bio = readOnlyBio(bytes, length);
    if (!bio) return KIVO_R_NO_MEMORY;
    int count = 0;
    for (;; ++count) {
        Owner object(read(bio.get(), nullptr, nullptr, nullptr));
        if (!object) break;
        if (!pushReference(stack, object.get())) return KIVO_R_NO_MEMORY;
    }
    // The text ends where no further object starts; anything else is not PEM.
    const QueuedErrors errors = QueuedErrors::take();
    if (errors.outOfMemory()) return KIVO_R_NO_MEMORY;
    return count > 0 && errors.has(ERR_LIB_PEM, PEM_R_NO_START_LINE) ? KIVO_R_NONE : KIVO_R_BAD_PARAMETER;
}

} // namespace

kivo_reason_t readPemInto(const void* bytes, std::size_t length, STACK_OF(X509)* certs) noexcept {
    return readPemObjects<X509Ptr>(bytes, length, PEM_read_bio_X509, certs);
}

kivo_reason_t readPemInto(const void* bytes, std::size_t length, STACK_OF(X509_CRL)* crls) noexcept {
    return readPemObjects<X509CrlPtr>(bytes, length, PEM_read_bio_X509_CRL, crls);
}

bool handOver(MallocBytes owned, std::size_t length, gss_buffer_desc* output) noexcept {
    if (!VekFitsLengthWord(length)) return false;
    output->value = owned.release();
    output->length = static_cast<OM_uint32>(length);
    return true;
}

kivo_reason_t handOverCopy(const void* bytes, std::size_t length, gss_buffer_desc* output) noexcept {
    if (!VekFitsLengthWord(length)) return KIVO_R_NO_MEMORY;
    MallocBytes copy(static_cast<unsigned char*>(VekAllocateBlock(length + 1)));
    if (!copy) return KIVO_R_NO_MEMORY;
    if (length != 0) std::memcpy(copy.get(), bytes, length);
    copy.get()[length] = '\0';
    return handOver(std::move(copy), length, output) ? KIVO_R_NONE : KIVO_R_NO_MEMORY;
}

kivo_reason_t derOf(CMS_ContentInfo* cms, OsslBytes& der, std::size_t& length) noexcept {
    unsigned char* bytes = nullptr;
    const int encoded = i2d_CMS_ContentInfo(cms, &bytes);
    if (encoded <= 0) return reasonFromQueue(KIVO_R_INTERNAL);
    der.reset(bytes);
    length = static_cast<std::size_t>(encoded);
    return KIVO_R_NONE;
}

std::int64_t secondsSince1970(const ASN1_TIME* when) noexcept {
    if (when == nullptr || ASN1_TIME_check(when) != 1) return 0;
    OsslPtr<ASN1_TIME, ASN1_TIME_free> epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0;
    int seconds = 0;
    if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), when) != 1) return 0;
    return static_cast<std::int64_t>(days) * 86400 + seconds;
}

bool validNow(const X509* cert) noexcept {
    return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

} // namespace detail
