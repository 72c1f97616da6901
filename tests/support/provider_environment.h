// A provider environment on a key store of the tests, made and released
// through the provider's own calls.
#ifndef TESTS_PROVIDER_ENVIRONMENT_H
#define TESTS_PROVIDER_ENVIRONMENT_H

#include <string>

#include <gtest/gtest.h>

#include "test_pki.h"
#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

// An environment on a key store, made and released through the provider.
class ProviderEnvironment {
public:
    explicit ProviderEnvironment(const std::string& keyStore) {
        const std::string password = testpki::KeyStoreFiles::kPassword;
        const gss_buffer_desc location = {static_cast<OM_uint32>(keyStore.size() + 1), const_cast<char*>(keyStore.c_str())};
        const gss_buffer_desc passwordBuffer = {static_cast<OM_uint32>(password.size() + 1),
                                                const_cast<char*>(password.c_str())};
        OM_uint32 minor = 0;
        EXPECT_EQ(kivo_establish_creds(nullptr, &location, &passwordBuffer, KIVOGetOID(1), &minor, &container_), 0u);
        EXPECT_EQ(idup_acquire_cred_with_auth(nullptr, container_, GSS_C_INDEFINITE, nullptr, nullptr, &minor,
                                              &credential_, nullptr, nullptr, nullptr),
                  0u);
        EXPECT_EQ(prov_establish_env(credential_, KIVOGetOID(7), KIVOGetOID(7), 0, nullptr, &minor, &environment_,
                                     nullptr, nullptr, nullptr, nullptr),
                  0u);
    }
    ~ProviderEnvironment() {
        OM_uint32 minor = 0;
        prov_abolish_env(&environment_, &minor);
        prov_release_cred(&minor, &credential_);
        prov_abolish_creds(&container_, &minor);
    }
    void* handle() const { return environment_; }
    gss_buffer_desc* container() const { return container_; }
    void* credential() const { return credential_; }

private:
    gss_buffer_desc* container_ = nullptr;
    void* credential_ = nullptr;
    void* environment_ = nullptr;
};

#endif // TESTS_PROVIDER_ENVIRONMENT_H
