// Signs, verifies, encrypts and decrypts one message with vek4kivosmime.
// Usage: tour KEYSTORE PASSWORD RECIPIENT_CERT.pem
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <vek4kivosmime.h>

// Prints the outcome of a step; a provider failure is explained in words.
static bool succeeded(const char* step, unsigned status, unsigned minor) {
    if (status == SMIME_OK) {
        std::printf("%s: ok\n", step);
        return true;
    }
    gss_buffer_desc reason = {0, nullptr};
    kivo_display_status(minor, &reason);
    std::printf("%s: failed with status %u: %s\n", step, status,
                status == SMIME_PROVIDER_FAILED ? static_cast<char*>(reason.value) : "see the status table");
    OM_uint32 ignored = 0;
    prov_release_buffer(&ignored, &reason);
    return false;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s KEYSTORE PASSWORD RECIPIENT_CERT.pem\n", argv[0]);
        return 2;
    }
    std::ifstream certFile(argv[3], std::ios::binary);
    std::stringstream certText;
    certText << certFile.rdbuf();
    const std::string recipient = certText.str();

    SMIMEMessage message;
    unsigned minor = 0;
    unsigned credentialInfo = 0;
    // A PKCS#12 or PEM key store, its password, and the identity in it: ""
    // for the first, else a friendly name, an e-mail address or a common name.
    unsigned status = message.login(argv[1], argv[2], "", &credentialInfo, &minor);
    if (!succeeded("login", status, minor)) return 1;
    std::printf("credential: %s%s%s\n", (credentialInfo & KIVO_CRED_CAN_SIGN) ? "can sign; " : "",
                (credentialInfo & KIVO_CRED_CAN_DECRYPT) ? "can decrypt; " : "",
                (credentialInfo & KIVO_CRED_CERT_VALID_NOW) ? "certificate valid now" : "certificate not valid now");

    char text[] = "Content-Type: text/plain\r\n\r\nHello, S/MIME.\r\n";
    const gss_buffer_desc letter = {sizeof text - 1, text};
    status = message.setMessage(&letter, &minor);
    if (!succeeded("set message", status, minor)) return 1;

    // Clear-sign: the object now holds a multipart/signed message.
    status = message.signSignatureOnly(digestSHA256, &minor);
    if (!succeeded("sign", status, minor)) return 1;

    // Verify it: signature and chain. The record tells who signed; its
    // buffers are the provider's.
    IDUP_PIDU_Information_desc check = {};
    check.verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
    status = message.verify(&check, &minor);
    if (check.signer_subject.value != nullptr)
        std::printf("signer: %s\n", static_cast<char*>(check.signer_subject.value));
    if (!succeeded("verify", status, minor)) return 1;

    // Encrypt the verified content to the recipient and to the signer (us,
    // by the certificate the verification reported), then decrypt it.
    gss_buffer_desc certificates[2] = {
        {static_cast<OM_uint32>(recipient.size()), const_cast<char*>(recipient.data())},
        check.signer_certificate};
    IDUP_Target_Info_desc targets = {2, certificates, nullptr};
    status = message.encrypt(strengthAES256, &targets, &minor);
    OM_uint32 ignored = 0;
    prov_release_buffer(&ignored, &check.signer_subject);
    prov_release_buffer(&ignored, &check.signer_certificate);
    prov_release_buffer(&ignored, &check.signer_emails);
    if (!succeeded("encrypt", status, minor)) return 1;

    gss_buffer_desc content = {0, nullptr};
    status = message.decrypt(&content, &minor);
    if (!succeeded("decrypt", status, minor)) return 1;
    std::printf("content: %.*s", static_cast<int>(content.length), static_cast<char*>(content.value));
    std::free(content.value);
    status = message.logout(&minor);
    return succeeded("logout", status, minor) ? 0 : 1;
}
