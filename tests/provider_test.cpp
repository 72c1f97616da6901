// The provider's bookkeeping entry points: OID sets, and the refusals of missing arguments and foreign handles.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "provider_environment.h"

namespace {

TEST(ProviderOidSet, AddsCopiesWithoutDuplicates) {
    OM_uint32 minor = 0;
    gss_OID_set set = nullptr;
    const gss_OID signedData = KIVOGetOID(22);
    ASSERT_EQ(gss_create_empty_oid_set(&minor, &set), GSS_S_COMPLETE);
    for (int index : {22, 24, 22}) ASSERT_EQ(gss_add_oid_set_member(&minor, KIVOGetOID(index), &set), GSS_S_COMPLETE);
    ASSERT_EQ(set->count, 2u);
    EXPECT_TRUE(set->elements[0].elements != signedData->elements && set->elements[0].length == signedData->length &&
                std::memcmp(set->elements[0].elements, signedData->elements, signedData->length) == 0);
    EXPECT_EQ(prov_release_oid_set(&minor, &set), GSS_S_COMPLETE);
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

} // namespace
