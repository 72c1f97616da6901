// The system's trusted certificates: the default file or hashed directory
// the environment names, read when a chain needs them, and trusted beside
// the anchors a verification brings.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

void setEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

TEST(SystemTrust, TheDefaultFileAndHashedDirectoryAreTrustedBesideTheAnchors) {
    TempDir folder;
    const std::string root = testpki::certPem(standardPki().root.cert.get());
    const std::string otherRoot = testpki::certPem(standardPki().otherRoot.cert.get());
    const std::string bundle = folder.write("bundle.pem", otherRoot + root);
    const std::string otherBundle = folder.write("other.pem", otherRoot);
    const std::string hashed = folder.file("hashed");
    std::filesystem::create_directory(hashed);
    folder.write("hashed/" + hashedName(standardPki().root.cert.get()), root);
    const std::string noFile = folder.file("no-such-file.pem"), noFolder = folder.file("no-such-folder");
    const struct {
        const char* name;
        std::string file, directory, anchors;
        unsigned reason;
    } cases[] = {
        {"the default file is read when a chain needs it", bundle, noFolder, "", KIVO_R_NONE},
        {"the hashed directory is searched", noFile, hashed, "", KIVO_R_NONE},
        {"a file without the root", otherBundle, noFolder, "", KIVO_R_SIGNER_NOT_TRUSTED},
        {"anchors are trusted beside the system's certificates", otherBundle, noFolder, root, KIVO_R_NONE},
        {"no system locations trust nothing of their own", noFile, noFolder, "", KIVO_R_SIGNER_NOT_TRUSTED},
        {"nor do anchors of another root", noFile, noFolder, otherRoot, KIVO_R_SIGNER_NOT_TRUSTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setEnvironment(X509_get_default_cert_file_env(), c.file);
        setEnvironment(X509_get_default_cert_dir_env(), c.directory);
        EXPECT_EQ(verifyAlicesSignature(c.anchors), c.reason);
    }
}

} // namespace
