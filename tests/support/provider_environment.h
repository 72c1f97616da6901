// An environment on a key store of the tests, and its container and
// credential, made and released through the provider.
#ifndef TESTS_PROVIDER_ENVIRONMENT_H
#define TESTS_PROVIDER_ENVIRONMENT_H

#include <string>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "test_pki.h"
#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

class ProviderEnvironment {
public:
    explicit ProviderEnvironment(const std::string& keyStore) {
        const gss_buffer_desc location = stringBuffer(keyStore.c_str()), password = stringBuffer(testpki::KeyStoreFiles::kPassword);
        OM_uint32 minor = 0;
        EXPECT_EQ(kivo_establish_creds(nullptr, &location, &password, KIVOGetOID(1), &minor, &container_), 0u);
        EXPECT_EQ(idup_acquire_cred_with_auth(nullptr, container_, GSS_C_INDEFINITE, nullptr, nullptr, &minor, &credential_, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(prov_establish_env(credential_, KIVOGetOID(7), KIVOGetOID(7), 0, nullptr, &minor, &environment_, nullptr, nullptr, nullptr, nullptr), 0u);
    }
    ~ProviderEnvironment() {
        OM_uint32 minor = 0;
        prov_abolish_env(&environment_, &minor), prov_release_cred(&minor, &credential_), prov_abolish_creds(&container_, &minor);
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
