// Small steps with an SMIMEMessage on the real provider that many tests take.
#ifndef TESTS_SMIME_SESSION_H
#define TESTS_SMIME_SESSION_H

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "gss_buffers.h"
#include "test_pki.h"
#include "vek4kivosmime.h"

// What getStatus shows: the flags, the major and the minor status.
inline std::tuple<unsigned, unsigned, unsigned> statusOf(SMIMEMessage& message) {
    unsigned major = 0, minor = 0;
    const unsigned flags = message.getStatus(&major, &minor);
    return {flags, major, minor};
}
// The held message as text, or "<no message>".
inline std::string heldMessage(SMIMEMessage& message) {
    gss_buffer_desc out = {0, nullptr};
    unsigned minor = 0;
    return message.getMessage(&out, &minor) != 0 ? "<no message>" : take(out);
}
inline void setHeld(SMIMEMessage& message, const std::string& text) {
    const gss_buffer_desc buffer = viewOf(text);
    unsigned minor = 0;
    ASSERT_EQ(message.setMessage(&buffer, &minor), 0u);
}
// Login form 1 with a key store of testpki::keyStoreFiles(); principal picks the identity.
inline void loginWith(SMIMEMessage& message, const std::string& keyStore, const char* principal = "") {
    unsigned info = 0, minor = 0;
    ASSERT_EQ(message.login(keyStore.c_str(), testpki::KeyStoreFiles::kPassword, principal, &info, &minor), 0u)
        << "minor " << minor;
}

// A verify record asking for signature and chain checks; release() frees what the provider put into it.
struct VerifyRecord {
    IDUP_PIDU_Information_desc info = {};
    VerifyRecord() { info.verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN; }
    ~VerifyRecord() { release(); }
    void release() {
        OM_uint32 minor = 0;
        prov_release_buffer(&minor, &info.signer_subject), prov_release_buffer(&minor, &info.signer_certificate);
        prov_release_buffer(&minor, &info.signer_emails);
    }
    std::string subject() const { return std::string(static_cast<const char*>(info.signer_subject.value), info.signer_subject.length); }
    std::string emails() const {
        return info.signer_emails.value == nullptr ? "" : std::string(static_cast<const char*>(info.signer_emails.value), info.signer_emails.length);
    }
};

#endif // TESTS_SMIME_SESSION_H
