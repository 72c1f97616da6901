// The system's trusted certificates: found in the default file or the
// hashed directory (each named by the environment as OpenSSL's own tools
// read them) when a chain needs them, and trusted beside the anchors a
// verification brings. Each test sets the environment before its first
// verification; CTest runs every test in a process of its own.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include "smime_session.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

using testpki::keyStoreFiles;
using testpki::standardPki;

// Alice's opaque signature, verified by a message object without keys;
// the minor status (0 when the signature is good and trusted).
unsigned verifyAlicesSignature(const std::string& anchors) {
    SMIMEMessage signer;
    loginWith(signer, keyStoreFiles().aliceP12);
    setHeld(signer, "Content-Type: text/plain\r\n\r\nhello\r\n");
    unsigned minor = 0;
    EXPECT_EQ(signer.sign(digestSHA256, &minor), 0u);
    const std::string signedMessage = heldMessage(signer);

    SMIMEMessage verifier;
    unsigned info = 0;
    EXPECT_EQ(verifier.login("", "", "", &info, &minor), 0u);
    setHeld(verifier, signedMessage);
    VerifyRecord record;
    record.info.trust_anchors = viewOf(anchors);
    verifier.verify(&record.info, &minor);
    return minor;
}

// The hashed directory's file name of a CA certificate.
std::string hashedName(X509* cert) {
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
    return name;
}

class SystemTrust : public ::testing::Test {
protected:
    void useSystemLocations(const std::string& file, const std::string& directory) {
        setEnvironment(X509_get_default_cert_file_env(), file);
        setEnvironment(X509_get_default_cert_dir_env(), directory);
    }
    static void setEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
        _putenv_s(name, value.c_str());
#else
        setenv(name, value.c_str(), 1);
#endif
    }
    TempDir folder;
    const std::string rootPem = testpki::certPem(standardPki().root.cert.get());
    const std::string otherRootPem = testpki::certPem(standardPki().otherRoot.cert.get());
};

TEST_F(SystemTrust, TheDefaultFileIsReadWhenAChainNeedsIt) {
    useSystemLocations(folder.write("bundle.pem", otherRootPem + rootPem), folder.file("no-such-folder"));
    EXPECT_EQ(verifyAlicesSignature(""), KIVO_R_NONE);
}

TEST_F(SystemTrust, TheHashedDirectoryIsSearched) {
    folder.write(hashedName(standardPki().root.cert.get()), rootPem);
    useSystemLocations(folder.file("no-such-file.pem"), folder.file(""));
    EXPECT_EQ(verifyAlicesSignature(""), KIVO_R_NONE);
}

TEST_F(SystemTrust, AnchorsAreTrustedBesideTheSystemsCertificates) {
    useSystemLocations(folder.write("bundle.pem", otherRootPem), folder.file("no-such-folder"));
    EXPECT_EQ(verifyAlicesSignature(""), KIVO_R_SIGNER_NOT_TRUSTED);
    EXPECT_EQ(verifyAlicesSignature(rootPem), KIVO_R_NONE);
}

TEST_F(SystemTrust, NoSystemLocationsTrustNothingOfTheirOwn) {
    useSystemLocations(folder.file("no-such-file.pem"), folder.file("no-such-folder"));
    EXPECT_EQ(verifyAlicesSignature(""), KIVO_R_SIGNER_NOT_TRUSTED);
    EXPECT_EQ(verifyAlicesSignature(otherRootPem), KIVO_R_SIGNER_NOT_TRUSTED);
}

} // namespace
