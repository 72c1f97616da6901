// The provider's bookkeeping entry points, and the clear refusal of what the
// OpenSSL back end will provide.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

namespace {

std::string text(const gss_buffer_desc& buffer) {
    return std::string(static_cast<const char*>(buffer.value), buffer.length);
}

TEST(ProviderOidSet, AddsCopiesInOrderWithoutDuplicates) {
    OM_uint32 minor = 99;
    gss_OID_set set = nullptr;
    ASSERT_EQ(gss_create_empty_oid_set(&minor, &set), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_NONE));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->count, 0u);
    const int indices[] = {22, 24, 28, 30, 24};
    for (int index : indices) ASSERT_EQ(gss_add_oid_set_member(&minor, KIVOGetOID(index), &set), GSS_S_COMPLETE);
    ASSERT_EQ(set->count, 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(indices[i]);
        const gss_OID expected = KIVOGetOID(indices[i]);
        EXPECT_NE(set->elements[i].elements, expected->elements) << "members are copies";
        ASSERT_EQ(set->elements[i].length, expected->length);
        EXPECT_EQ(std::memcmp(set->elements[i].elements, expected->elements, expected->length), 0);
    }
    EXPECT_EQ(prov_release_oid_set(&minor, &set), GSS_S_COMPLETE);
    EXPECT_EQ(set, nullptr);
}

TEST(ProviderOidSet, RefusesMissingArguments) {
    OM_uint32 minor = 0;
    gss_OID_set none = nullptr;
    EXPECT_NE(gss_create_empty_oid_set(&minor, nullptr), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));
    EXPECT_NE(gss_add_oid_set_member(&minor, KIVOGetOID(7), &none), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));
    EXPECT_NE(gss_add_oid_set_member(&minor, nullptr, nullptr), GSS_S_COMPLETE);
    EXPECT_EQ(prov_release_oid_set(&minor, &none), GSS_S_COMPLETE) << "releasing nothing is no error";
}

TEST(ProviderName, ImportsACopy) {
    char principal[] = "alice";
    const gss_buffer_desc buffer = {6, principal};
    OM_uint32 minor = 99;
    gss_name_t name = nullptr;
    ASSERT_EQ(gss_import_name(&minor, &buffer, KIVOGetOID(1), &name), GSS_S_COMPLETE);
    EXPECT_EQ(minor, 0u);
    ASSERT_NE(name, nullptr);
    principal[0] = 'X'; // the name must not refer to the caller's bytes
    EXPECT_EQ(prov_release_name(&minor, &name), GSS_S_COMPLETE);
    EXPECT_EQ(name, nullptr);
    EXPECT_NE(gss_import_name(&minor, nullptr, KIVOGetOID(1), &name), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));
}

TEST(ProviderBuffers, ReleaseFreesCallersHeapBlocks) {
    OM_uint32 minor = 99;
    gss_buffer_desc buffer = {5, std::malloc(5)};
    EXPECT_EQ(prov_release_buffer(&minor, &buffer), GSS_S_COMPLETE);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.value, nullptr);
    EXPECT_EQ(prov_release_buffer(&minor, &buffer), GSS_S_COMPLETE) << "an empty buffer releases to itself";
    EXPECT_NE(prov_release_buffer(&minor, nullptr), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));

    auto* descriptor = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
    descriptor->length = 3;
    descriptor->value = std::malloc(3);
    EXPECT_EQ(prov_free_buffer_desc(&minor, &descriptor), GSS_S_COMPLETE);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(prov_free_buffer_desc(nullptr, &descriptor), GSS_S_COMPLETE) << "a null minor pointer is allowed";
}

TEST(ProviderPiduInfo, AsksForSignatureAndChainChecks) {
    OM_uint32 minor = 99;
    IDUP_PIDU_Information_desc* info = prov_create_pidu_info(&minor);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(info->verify_flags, KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN);
    EXPECT_EQ(info->signer_subject.value, nullptr);
    // Outputs a verification would have filled are released with the record.
    info->signer_subject = {4, std::malloc(4)};
    EXPECT_EQ(prov_release_pidu_info(&minor, &info), GSS_S_COMPLETE);
    EXPECT_EQ(info, nullptr);
}

TEST(ProviderDisplayStatus, GivesOneDistinctLineForEveryReason) {
    std::set<std::string> lines;
    for (OM_uint32 reason = KIVO_R_NONE; reason <= KIVO_R_INTERNAL; ++reason) {
        SCOPED_TRACE(reason);
        gss_buffer_desc line = {0, nullptr};
        ASSERT_EQ(kivo_display_status(reason, &line), GSS_S_COMPLETE);
        const std::string text_ = text(line);
        EXPECT_FALSE(text_.empty());
        EXPECT_EQ(text_.find('\n'), std::string::npos);
        EXPECT_EQ(static_cast<const char*>(line.value)[line.length], '\0') << "NUL-terminated";
        lines.insert(text_);
        OM_uint32 minor = 0;
        prov_release_buffer(&minor, &line);
    }
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(KIVO_R_INTERNAL) + 1);
}

TEST(ProviderDisplayStatus, NamesUnknownCodesAndNeedsAnEmptyOutput) {
    gss_buffer_desc line = {0, nullptr};
    ASSERT_EQ(kivo_display_status(999, &line), GSS_S_COMPLETE);
    EXPECT_EQ(text(line), "unknown reason code 999");
    EXPECT_NE(kivo_display_status(KIVO_R_NONE, &line), GSS_S_COMPLETE) << "output not empty";
    OM_uint32 minor = 0;
    prov_release_buffer(&minor, &line);
    EXPECT_NE(kivo_display_status(KIVO_R_NONE, nullptr), GSS_S_COMPLETE);
}

TEST(ProviderHandles, ReleasingNothingSucceedsAndForeignHandlesAreRefused) {
    gss_buffer_desc* container = nullptr;
    void* handle = nullptr;
    OM_uint32 minor = 0;
    EXPECT_EQ(prov_abolish_creds(&container, &minor), GSS_S_COMPLETE);
    EXPECT_EQ(prov_release_cred(&minor, &handle), GSS_S_COMPLETE);
    EXPECT_EQ(prov_abolish_env(&handle, &minor), GSS_S_COMPLETE);
    int foreign = 0;
    void* foreignHandle = &foreign;
    EXPECT_NE(prov_release_cred(&minor, &foreignHandle), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_HANDLE));
    EXPECT_NE(prov_abolish_env(&foreignHandle, &minor), GSS_S_COMPLETE);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_BAD_HANDLE));
    EXPECT_EQ(foreignHandle, &foreign);
}

} // namespace
