// The provider's bookkeeping entry points and their refusals.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "provider_environment.h"

namespace {

TEST(ProviderOidSet, AddsCopiesInOrderWithoutDuplicates) {
    OM_uint32 minor = 99;
    gss_OID_set set = nullptr;
    ASSERT_EQ(gss_create_empty_oid_set(&minor, &set), GSS_S_COMPLETE);
    ASSERT_TRUE(minor == KIVO_R_NONE && set != nullptr && set->count == 0);
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

TEST(ProviderBookkeeping, MakesAndReleasesNamesBuffersAndRecords) {
    char principal[] = "alice";
    const gss_buffer_desc buffer = {6, principal};
    OM_uint32 minor = 99;
    gss_name_t name = nullptr;
    ASSERT_EQ(gss_import_name(&minor, &buffer, KIVOGetOID(1), &name), GSS_S_COMPLETE);
    ASSERT_TRUE(minor == 0 && name != nullptr);
    principal[0] = 'X'; // the name must not refer to the caller's bytes
    EXPECT_EQ(prov_release_name(&minor, &name), GSS_S_COMPLETE);
    EXPECT_EQ(name, nullptr);

    gss_buffer_desc heap = {5, std::malloc(5)};
    EXPECT_EQ(prov_release_buffer(&minor, &heap), GSS_S_COMPLETE);
    EXPECT_TRUE(heap.length == 0 && heap.value == nullptr);
    EXPECT_EQ(prov_release_buffer(&minor, &heap), GSS_S_COMPLETE) << "an empty buffer releases to itself";
    auto* descriptor = static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc)));
    *descriptor = {3, std::malloc(3)};
    EXPECT_EQ(prov_free_buffer_desc(&minor, &descriptor), GSS_S_COMPLETE);
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(prov_free_buffer_desc(nullptr, &descriptor), GSS_S_COMPLETE) << "a null minor pointer is allowed";

    IDUP_PIDU_Information_desc* info = prov_create_pidu_info(&minor);
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(minor == 0 && info->signer_subject.value == nullptr);
    EXPECT_EQ(info->verify_flags, KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN) << "signature and chain checks";
    info->signer_subject = {4, std::malloc(4)}; // released with the record
    EXPECT_EQ(prov_release_pidu_info(&minor, &info), GSS_S_COMPLETE);
    EXPECT_EQ(info, nullptr);

    gss_buffer_desc* container = nullptr;
    void* handle = nullptr;
    gss_OID_set set = nullptr;
    EXPECT_EQ(prov_abolish_creds(&container, &minor) | prov_release_cred(&minor, &handle) |
                  prov_abolish_env(&handle, &minor) | prov_release_oid_set(&minor, &set),
              GSS_S_COMPLETE) << "releasing nothing is no error";
}

TEST(ProviderBookkeeping, RefusesMissingArgumentsAndForeignHandles) {
    OM_uint32 minor = 0;
    gss_OID_set none = nullptr;
    gss_name_t name = nullptr;
    int foreign = 0;
    void* foreignHandle = &foreign;
    gss_buffer_desc line = {1, &foreign};
    const ProviderEnvironment alice(testpki::keyStoreFiles().aliceP12);
    void* credential = alice.credential();
    void* another = nullptr;
    gss_buffer_desc* container = nullptr;
    const struct {
        const char* name;
        std::function<OM_uint32()> call;
        OM_uint32 reason; // KIVO_R_NONE: any
    } cases[] = {
        {"an OID set without output", [&] { return gss_create_empty_oid_set(&minor, nullptr); }, KIVO_R_BAD_PARAMETER},
        {"a member for no set", [&] { return gss_add_oid_set_member(&minor, KIVOGetOID(7), &none); }, KIVO_R_BAD_PARAMETER},
        {"no member for no set", [&] { return gss_add_oid_set_member(&minor, nullptr, nullptr); }, KIVO_R_NONE},
        {"a key store of nothing", [&] { return kivo_import_creds(nullptr, nullptr, &minor, &container); }, KIVO_R_BAD_PARAMETER},
        {"a name of nothing", [&] { return gss_import_name(&minor, nullptr, KIVOGetOID(1), &name); }, KIVO_R_BAD_PARAMETER},
        {"releasing no buffer", [&] { return prov_release_buffer(&minor, nullptr); }, KIVO_R_BAD_PARAMETER},
        {"a foreign credential", [&] { return prov_release_cred(&minor, &foreignHandle); }, KIVO_R_BAD_HANDLE},
        {"a foreign environment", [&] { return prov_abolish_env(&foreignHandle, &minor); }, KIVO_R_BAD_HANDLE},
        {"a credential as an environment", [&] { return prov_abolish_env(&credential, &minor); }, KIVO_R_BAD_HANDLE},
        {"an environment as a credential", [&] { return prov_establish_env(alice.handle(), nullptr, nullptr, 0, nullptr,
                                                                             &minor, &another, nullptr, nullptr, nullptr, nullptr); },
         KIVO_R_BAD_HANDLE},
        {"a credential released twice", [&] {
             void* stale = nullptr;
             idup_acquire_cred_with_auth(nullptr, alice.container(), 0, nullptr, nullptr, &minor, &stale, nullptr, nullptr, nullptr);
             void* copy = stale;
             return prov_release_cred(&minor, &stale) | prov_release_cred(&minor, &copy); }, KIVO_R_BAD_HANDLE},
        {"an environment used after release", [&] {
             void* stale = nullptr;
             prov_establish_env(credential, nullptr, nullptr, 0, nullptr, &minor, &stale, nullptr, nullptr, nullptr, nullptr);
             void* copy = stale;
             prov_abolish_env(&stale, &minor);
             return prov_unprotect(copy, &line, nullptr, &minor, nullptr, nullptr); }, KIVO_R_BAD_HANDLE},
        {"a container used after abolition", [&] {
             const gss_buffer_desc nowhere = {1, const_cast<char*>("")};
             kivo_establish_creds(nullptr, &nowhere, nullptr, nullptr, &minor, &container);
             gss_buffer_desc* copy = container;
             prov_abolish_creds(&container, &minor);
             return idup_acquire_cred_with_auth(nullptr, copy, 0, nullptr, nullptr, &minor, &another, nullptr, nullptr, nullptr); },
         KIVO_R_BAD_HANDLE},
        {"a status line into a full output", [&] { return kivo_display_status(KIVO_R_NONE, &line); }, KIVO_R_NONE},
        {"a status line into nothing", [&] { return kivo_display_status(KIVO_R_NONE, nullptr); }, KIVO_R_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        minor = 0;
        EXPECT_NE(c.call(), GSS_S_COMPLETE);
        EXPECT_TRUE(c.reason == KIVO_R_NONE || minor == c.reason) << minor;
    }
    EXPECT_EQ(foreignHandle, &foreign);
    EXPECT_EQ(credential, alice.credential());
}

TEST(ProviderDisplayStatus, GivesOneDistinctLineForEveryReasonAndNamesUnknownCodes) {
    std::set<std::string> lines;
    for (OM_uint32 reason = KIVO_R_NONE; reason <= KIVO_R_INTERNAL + 1; ++reason) {
        SCOPED_TRACE(reason);
        gss_buffer_desc line = {0, nullptr};
        ASSERT_EQ(kivo_display_status(reason == KIVO_R_INTERNAL + 1 ? 999 : reason, &line), GSS_S_COMPLETE);
        const std::string text(static_cast<const char*>(line.value), line.length);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(static_cast<const char*>(line.value)[line.length], '\0') << "NUL-terminated";
        EXPECT_TRUE(reason <= KIVO_R_INTERNAL || text == "unknown reason code 999") << text;
        lines.insert(text);
        OM_uint32 minor = 0;
        prov_release_buffer(&minor, &line);
    }
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(KIVO_R_INTERNAL) + 2);
}

} // namespace
