#include "bookkeeping.h"

#include <cstdlib>
#include <cstring>

namespace detail {

namespace {

// A copy of an OID's contents octets into dest; false when memory runs out.
bool copyOid(const gss_OID_desc* source, gss_OID_desc* dest) noexcept {
    dest->length = source->length;
    dest->elements = nullptr;
    if (source->length == 0) return true;
    dest->elements = std::malloc(source->length);
    if (dest->elements == nullptr) return false;
    std::memcpy(dest->elements, source->elements, source->length);
    return true;
}

} // namespace

bool oidEquals(const gss_OID_desc* a, const gss_OID_desc* b) noexcept {
    if (a == b) return true;
    if (a == nullptr || b == nullptr || a->length != b->length) return false;
    return a->length == 0 || std::memcmp(a->elements, b->elements, a->length) == 0;
}

bool oidSetContains(const gss_OID_desc* oid, const gss_OID_set_desc* set) noexcept {
    if (set == nullptr) return false;
    for (std::size_t i = 0; i < set->count; ++i)
        if (oidEquals(oid, &set->elements[i])) return true;
    return false;
}

kivo_reason_t createEmptyOidSet(gss_OID_set* set) noexcept {
    if (set == nullptr) return KIVO_R_BAD_PARAMETER;
    auto* created = static_cast<gss_OID_set_desc*>(std::calloc(1, sizeof(gss_OID_set_desc)));
    if (created == nullptr) return KIVO_R_NO_MEMORY;
    *set = created;
    return KIVO_R_NONE;
}

kivo_reason_t addOidSetMember(const gss_OID_desc* member, gss_OID_set* set) noexcept {
    if (member == nullptr || set == nullptr || *set == nullptr) return KIVO_R_BAD_PARAMETER;
    if (member->length != 0 && member->elements == nullptr) return KIVO_R_BAD_PARAMETER;
    gss_OID_set_desc* target = *set;
    if (oidSetContains(member, target)) return KIVO_R_NONE;
    gss_OID_desc copy;
    if (!copyOid(member, &copy)) return KIVO_R_NO_MEMORY;
    void* grown = std::realloc(target->elements, (target->count + 1) * sizeof(gss_OID_desc));
    if (grown == nullptr) {
        std::free(copy.elements);
        return KIVO_R_NO_MEMORY;
    }
    target->elements = static_cast<gss_OID_desc*>(grown);
    target->elements[target->count++] = copy;
    return KIVO_R_NONE;
}

kivo_reason_t releaseOidSet(gss_OID_set* set) noexcept {
    if (set == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*set == nullptr) return KIVO_R_NONE;
    for (std::size_t i = 0; i < (*set)->count; ++i) std::free((*set)->elements[i].elements);
    std::free((*set)->elements);
    std::free(*set);
    *set = nullptr;
    return KIVO_R_NONE;
}

kivo_reason_t importName(const gss_buffer_desc* name, const gss_OID_desc* type, gss_name_t* output) noexcept {
    if (name == nullptr || output == nullptr) return KIVO_R_BAD_PARAMETER;
    if (name->length != 0 && name->value == nullptr) return KIVO_R_BAD_PARAMETER;
    auto* imported = static_cast<kivo_name_desc*>(std::calloc(1, sizeof(kivo_name_desc)));
    if (imported == nullptr) return KIVO_R_NO_MEMORY;
    // One spare byte keeps the text NUL-terminated even when the caller did
    // not count a NUL.
    imported->text.value = std::malloc(static_cast<std::size_t>(name->length) + 1);
    if (imported->text.value == nullptr) {
        std::free(imported);
        return KIVO_R_NO_MEMORY;
    }
    if (name->length != 0) std::memcpy(imported->text.value, name->value, name->length);
    static_cast<char*>(imported->text.value)[name->length] = '\0';
    imported->text.length = name->length;
    if (type != nullptr && !copyOid(type, &imported->type)) {
        std::free(imported->text.value);
        std::free(imported);
        return KIVO_R_NO_MEMORY;
    }
    *output = imported;
    return KIVO_R_NONE;
}

kivo_reason_t releaseName(gss_name_t* name) noexcept {
    if (name == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*name == nullptr) return KIVO_R_NONE;
    std::free((*name)->text.value);
    std::free((*name)->type.elements);
    std::free(*name);
    *name = nullptr;
    return KIVO_R_NONE;
}

kivo_reason_t releaseBuffer(gss_buffer_desc* buffer) noexcept {
    if (buffer == nullptr) return KIVO_R_BAD_PARAMETER;
    std::free(buffer->value);
    buffer->value = nullptr;
    buffer->length = 0;
    return KIVO_R_NONE;
}

kivo_reason_t freeBufferDesc(gss_buffer_desc** buffer) noexcept {
    if (buffer == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*buffer == nullptr) return KIVO_R_NONE;
    std::free((*buffer)->value);
    std::free(*buffer);
    *buffer = nullptr;
    return KIVO_R_NONE;
}

gss_buffer_desc* newBufferDesc(const void* bytes, OM_uint32 length) noexcept {
    auto* desc = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
    if (desc == nullptr) return nullptr;
    desc->value = std::malloc(length == 0 ? 1 : length);
    if (desc->value == nullptr) {
        std::free(desc);
        return nullptr;
    }
    if (length != 0) std::memcpy(desc->value, bytes, length);
    desc->length = length;
    return desc;
}

kivo_reason_t createEnvOutput(kivo_env_output_t* output) noexcept {
    if (output == nullptr) return KIVO_R_BAD_PARAMETER;
    auto* created = static_cast<kivo_env_output_desc*>(std::calloc(1, sizeof(kivo_env_output_desc)));
    if (created == nullptr) return KIVO_R_NO_MEMORY;
    *output = created;
    return KIVO_R_NONE;
}

kivo_reason_t releaseEnvOutput(kivo_env_output_t* output) noexcept {
    if (output == nullptr) return KIVO_R_BAD_PARAMETER;
    std::free(*output);
    *output = nullptr;
    return KIVO_R_NONE;
}

IDUP_PIDU_Information_desc* createPiduInfo() noexcept {
    auto* info = static_cast<IDUP_PIDU_Information_desc*>(std::calloc(1, sizeof(IDUP_PIDU_Information_desc)));
    if (info != nullptr) info->verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
    return info;
}

kivo_reason_t releasePiduInfo(IDUP_PIDU_Information_desc** info) noexcept {
    if (info == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*info == nullptr) return KIVO_R_NONE;
    // The trust anchors and CRLs are the caller's input; only the outputs are ours.
    releaseBuffer(&(*info)->signer_subject);
    releaseBuffer(&(*info)->signer_certificate);
    releaseBuffer(&(*info)->signer_emails);
    std::free(*info);
    *info = nullptr;
    return KIVO_R_NONE;
}

} // namespace detail
