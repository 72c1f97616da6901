// S/MIME between SMIMEMessage and the openssl command, both ways: what we sign
// and encrypt, `openssl cms` and `openssl smime` verify and decrypt; what they
// sign and encrypt, we verify and decrypt. The content must come through byte
// for byte, and the algorithms on the wire must be the ones asked for.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interop_parties.h"
#include "run_command.h"
#include "smime_session.h"
#include "temp_dir.h"

namespace {

using testpki::keyStoreFiles;

const std::string kText = "Content-Type: text/plain; charset=us-ascii\r\n\r\nInterop with the\r\nopenssl command.\r\n";

// Every byte value once, bare CR and LF among them: any line-end translation
// on either side shows.
const std::string kBinary = [] {
    std::string bytes = "Content-Type: application/octet-stream\r\n\r\n";
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}();

CommandResult openssl(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "openssl");
    return runCommand(args, input);
}

// The name openssl prints for the first "algorithm:" after label in a
// `-cmsout -print` dump, e.g. "aes-128-cbc"; empty when absent.
std::string printedAlgorithm(const std::string& dump, const std::string& label) {
    const std::size_t at = dump.find(label);
    if (at == std::string::npos) return "";
    const std::string key = "algorithm: ";
    const std::size_t start = dump.find(key, at);
    if (start == std::string::npos) return "";
    const std::size_t end = dump.find(" (", start);
    return dump.substr(start + key.size(), end - start - key.size());
}

class OpensslInterop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveCommand("openssl")) GTEST_SKIP() << "the openssl command is not on PATH";
    }
    TempDir scratch;
};

// --- Ours -> openssl -----------------------------------------------------------

struct OurSignatureCase {
    const char* name;
    Who signer;
    digestAlgorithm_t digest;
    bool clearSigned;
    const std::string* content;
    const char* printedDigest; // as `openssl cms -cmsout -print` names it
};
const OurSignatureCase kOurSignatures[] = {
    {"RSA sha256 opaque", Who::Alice, digestSHA256, false, &kText, "sha256"},
    {"RSA sha512 clear-signed", Who::Alice, digestSHA512, true, &kText, "sha512"},
    {"EC sha384 opaque", Who::Bob, digestSHA384, false, &kText, "sha384"},
    {"EC default clear-signed", Who::Bob, static_cast<digestAlgorithm_t>(0), true, &kText, "sha256"},
    {"PEM key store sha1 opaque", Who::Carol, digestSHA1, false, &kText, "sha1"},
    // Clear-signed content must be canonical text: openssl's multipart reader
    // rewrites every line end to CR LF. Opaque content carries any bytes.
    {"RSA sha256 opaque, every byte value", Who::Alice, digestSHA256, false, &kBinary, "sha256"},
};

TEST_F(OpensslInterop, OurSignaturesVerifyWithCmsAndSmimeAndGiveBackTheContent) {
    const std::string root = keyStoreFiles().rootPem;
    for (const OurSignatureCase& c : kOurSignatures) {
        SCOPED_TRACE(c.name);
        SMIMEMessage message;
        loginWith(message, party(c.signer).keyStore);
        setHeld(message, *c.content);
        unsigned minor = 0;
        const unsigned status =
            c.clearSigned ? message.signSignatureOnly(c.digest, &minor) : message.sign(c.digest, &minor);
        ASSERT_EQ(status, 0u) << "minor " << minor;
        const std::string file = scratch.write("signed.eml", heldMessage(message));

        // Verification hands the content out untranslated without -binary;
        // `cms -verify -binary` even fails on multipart/signed in OpenSSL 3.0,
        // its own output included, keeping the CR before the boundary.
        const CommandResult cms = openssl({"cms", "-verify", "-in", file, "-CAfile", root});
        EXPECT_EQ(cms.status, 0) << cms.err;
        EXPECT_EQ(cms.out, *c.content);
        const CommandResult smime = openssl({"smime", "-verify", "-in", file, "-CAfile", root});
        EXPECT_EQ(smime.status, 0) << smime.err;
        EXPECT_EQ(smime.out, *c.content);

        const CommandResult dump = openssl({"cms", "-cmsout", "-print", "-noout", "-in", file});
        ASSERT_EQ(dump.status, 0) << dump.err;
        EXPECT_EQ(printedAlgorithm(dump.out, "signerInfos:"), c.printedDigest);
        EXPECT_NE(dump.out.find(party(c.signer).commonName), std::string::npos);
    }
}

TEST_F(OpensslInterop, ATamperedSignatureOfOursFailsWithOpenssl) {
    // The positive cases above would also pass if openssl accepted anything.
    SMIMEMessage message;
    loginWith(message, party(Who::Alice).keyStore);
    setHeld(message, kText);
    unsigned minor = 0;
    ASSERT_EQ(message.signSignatureOnly(digestSHA256, &minor), 0u) << "minor " << minor;
    std::string signedMessage = heldMessage(message);
    const std::size_t word = signedMessage.find("Interop");
    ASSERT_NE(word, std::string::npos);
    signedMessage[word] = 'i';
    const std::string file = scratch.write("tampered.eml", signedMessage);
    const CommandResult cms = openssl({"cms", "-verify", "-in", file, "-CAfile", keyStoreFiles().rootPem});
    EXPECT_NE(cms.status, 0);
    EXPECT_NE(cms.err.find("content verify error"), std::string::npos) << cms.err;
}

struct OurEnvelopeCase {
    const char* name;
    encryptionAlgorithmStrength_t strength;
    const char* printedCipher;
    std::vector<Who> recipients;
    const std::string* content;
};
const OurEnvelopeCase kOurEnvelopes[] = {
    {"default to RSA", strengthDefault, "aes-256-cbc", {Who::Alice}, &kText},
    {"aes128 to EC", strengthAES128, "aes-128-cbc", {Who::Bob}, &kText},
    {"aes192 to RSA, EC and RSA", strengthAES192, "aes-192-cbc", {Who::Alice, Who::Bob, Who::Carol}, &kText},
    {"aes256 to two RSA, every byte value", strengthAES256, "aes-256-cbc", {Who::Carol, Who::Alice}, &kBinary},
    {"des3 to EC and RSA", strengthDES3, "des-ede3-cbc", {Who::Bob, Who::Carol}, &kText},
};

TEST_F(OpensslInterop, OurEnvelopesDecryptForEveryRecipientWithTheCipherAskedFor) {
    for (const OurEnvelopeCase& c : kOurEnvelopes) {
        SCOPED_TRACE(std::string(c.name) + " (" + namesOf(c.recipients) + ")");
        const std::string enveloped = ourEnvelope(Who::Carol, c.recipients, c.strength, *c.content);
        ASSERT_FALSE(enveloped.empty());
        const std::string file = scratch.write("enveloped.eml", enveloped);

        const CommandResult dump = openssl({"cms", "-cmsout", "-print", "-noout", "-in", file});
        ASSERT_EQ(dump.status, 0) << dump.err;
        EXPECT_EQ(printedAlgorithm(dump.out, "contentEncryptionAlgorithm:"), c.printedCipher);

        bool allRsa = true;
        for (Who who : c.recipients) {
            const Party& p = party(who);
            SCOPED_TRACE(p.commonName);
            allRsa = allRsa && p.rsa;
            const CommandResult cms =
                openssl({"cms", "-decrypt", "-in", file, "-recip", p.certPem, "-inkey", p.keyPem});
            EXPECT_EQ(cms.status, 0) << cms.err;
            EXPECT_EQ(cms.out, *c.content);
        }
        // `openssl smime` reads PKCS#7, which knows key transport only: an
        // envelope with an EC recipient is beyond it.
        if (!allRsa) continue;
        for (Who who : c.recipients) {
            const Party& p = party(who);
            SCOPED_TRACE(std::string("smime ") + p.commonName);
            const CommandResult smime =
                openssl({"smime", "-decrypt", "-in", file, "-recip", p.certPem, "-inkey", p.keyPem});
            EXPECT_EQ(smime.status, 0) << smime.err;
            EXPECT_EQ(smime.out, *c.content);
        }
    }
}

// --- openssl -> ours -----------------------------------------------------------

struct TheirSignatureCase {
    const char* name;
    std::vector<std::string> command; // before -in, -signer, -inkey
    Who signer;
    const std::string* content;
    const char* mediaType;         // what the output's Content-Type says
    messageType_t type;            // how we classify it
    unsigned digest;               // what our verification reports
};
const TheirSignatureCase kTheirSignatures[] = {
    {"cms opaque RSA sha256", {"cms", "-sign", "-nodetach", "-md", "sha256"}, Who::Alice, &kText,
     "application/pkcs7-mime; smime-type=signed-data", messageSignedData, KIVO_DIGEST_SHA256},
    {"cms detached EC sha384", {"cms", "-sign", "-md", "sha384"}, Who::Bob, &kText,
     "protocol=\"application/pkcs7-signature\"", messageClearSigned, KIVO_DIGEST_SHA384},
    {"cms detached RSA sha512", {"cms", "-sign", "-md", "sha512"}, Who::Carol, &kText,
     "protocol=\"application/pkcs7-signature\"", messageClearSigned, KIVO_DIGEST_SHA512},
    {"cms opaque binary, every byte value", {"cms", "-sign", "-nodetach", "-binary"}, Who::Alice, &kBinary,
     "application/pkcs7-mime; smime-type=signed-data", messageSignedData, KIVO_DIGEST_SHA256},
    {"smime detached RSA sha1", {"smime", "-sign", "-md", "sha1"}, Who::Alice, &kText,
     "protocol=\"application/x-pkcs7-signature\"", messageClearSigned, KIVO_DIGEST_SHA1},
    {"smime opaque EC sha256", {"smime", "-sign", "-nodetach", "-md", "sha256"}, Who::Bob, &kText,
     "application/x-pkcs7-mime; smime-type=signed-data", messageSignedData, KIVO_DIGEST_SHA256},
};

TEST_F(OpensslInterop, TheirSignaturesVerifyWithUs) {
    const std::string in = scratch.file("content");
    for (const TheirSignatureCase& c : kTheirSignatures) {
        SCOPED_TRACE(c.name);
        scratch.write("content", *c.content);
        std::vector<std::string> args = c.command;
        args.insert(args.end(), {"-crlfeol", "-in", in, "-signer", party(c.signer).certPem, "-inkey",
                                 party(c.signer).keyPem});
        const CommandResult made = openssl(args);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_NE(made.out.find(c.mediaType), std::string::npos) << made.out.substr(0, 300);

        SMIMEMessage message;
        loginWith(message, party(Who::Carol).keyStore);
        setHeld(message, made.out);
        EXPECT_EQ(message.getMessageType(), c.type);
        VerifyRecord record;
        unsigned minor = 0;
        ASSERT_EQ(message.verify(&record.info, &minor), 0u) << "minor " << minor;
        EXPECT_EQ(heldMessage(message), *c.content);
        EXPECT_EQ(record.info.reason, 0u);
        EXPECT_EQ(record.info.digest, c.digest);
        EXPECT_NE(record.subject().find(party(c.signer).commonName), std::string::npos) << record.subject();
        EXPECT_NEAR(static_cast<double>(record.info.signing_time), static_cast<double>(time(nullptr)), 300.0);
    }
}

struct TheirEnvelopeCase {
    const char* name;
    std::vector<std::string> command; // before -in and the recipients
    std::vector<Who> recipients;
    const char* mediaType;
};
const TheirEnvelopeCase kTheirEnvelopes[] = {
    {"cms aes128 to RSA", {"cms", "-encrypt", "-aes128"}, {Who::Alice}, "application/pkcs7-mime"},
    {"cms aes256 to EC", {"cms", "-encrypt", "-aes256"}, {Who::Bob}, "application/pkcs7-mime"},
    {"cms aes192 to RSA, EC and RSA", {"cms", "-encrypt", "-aes192"}, {Who::Alice, Who::Bob, Who::Carol},
     "application/pkcs7-mime"},
    {"smime des3 to RSA", {"smime", "-encrypt", "-des3"}, {Who::Carol}, "application/x-pkcs7-mime"},
    {"smime aes128 to two RSA", {"smime", "-encrypt", "-aes128"}, {Who::Alice, Who::Carol},
     "application/x-pkcs7-mime"},
};

TEST_F(OpensslInterop, TheirEnvelopesDecryptWithUsForEveryRecipient) {
    const std::string in = scratch.write("content", kText);
    for (const TheirEnvelopeCase& c : kTheirEnvelopes) {
        SCOPED_TRACE(std::string(c.name) + " (" + namesOf(c.recipients) + ")");
        std::vector<std::string> args = c.command;
        args.insert(args.end(), {"-crlfeol", "-in", in});
        for (Who who : c.recipients) args.push_back(party(who).certPem);
        const CommandResult made = openssl(args);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_NE(made.out.find(std::string("Content-Type: ") + c.mediaType + "; smime-type=enveloped-data"),
                  std::string::npos)
            << made.out.substr(0, 300);

        for (Who who : c.recipients) {
            SCOPED_TRACE(party(who).commonName);
            SMIMEMessage message;
            loginWith(message, party(who).keyStore);
            setHeld(message, made.out);
            EXPECT_EQ(message.getMessageType(), messageEnvelopedData);
            unsigned minor = 0;
            ASSERT_EQ(message.decrypt(&minor), 0u) << "minor " << minor;
            EXPECT_EQ(heldMessage(message), kText);
        }
    }
}

// `-crlfeol` turns the MIME structure's line ends into CR LF but leaves the
// base64 encoder's bare LF at the end of every encoded line. Both
// tests above feed such mixed output to our parser.
TEST_F(OpensslInterop, CrlfEolStillEndsBase64LinesWithBareLf) {
    const std::string in = scratch.write("content", kText);
    const CommandResult made = openssl({"cms", "-encrypt", "-crlfeol", "-in", in, party(Who::Alice).certPem});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::size_t headerEnd = made.out.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    const std::string header = made.out.substr(0, headerEnd + 2);
    const std::string body = made.out.substr(headerEnd + 4);

    std::size_t headerLines = 0;
    for (std::size_t at = header.find('\n'); at != std::string::npos; at = header.find('\n', at + 1)) {
        ++headerLines;
        EXPECT_EQ(header[at - 1], '\r') << "header line ending at " << at;
    }
    EXPECT_GE(headerLines, 3u);

    // The body: 64-character lines each ending in a bare LF, then one CR LF.
    ASSERT_GE(body.size(), 3u);
    EXPECT_EQ(body.substr(body.size() - 3), "\n\r\n");
    const std::string encoded = body.substr(0, body.size() - 2);
    std::size_t lines = 0;
    std::size_t start = 0;
    for (std::size_t end = encoded.find('\n'); end != std::string::npos; end = encoded.find('\n', start)) {
        const std::string line = encoded.substr(start, end - start);
        EXPECT_EQ(line.find('\r'), std::string::npos) << "line " << lines;
        if (end + 1 < encoded.size()) {
            EXPECT_EQ(line.size(), 64u) << "line " << lines;
        }
        ++lines;
        start = end + 1;
    }
    EXPECT_GE(lines, 5u);

    SMIMEMessage message;
    loginWith(message, party(Who::Alice).keyStore);
    setHeld(message, made.out);
    unsigned minor = 0;
    ASSERT_EQ(message.decrypt(&minor), 0u) << "minor " << minor;
    EXPECT_EQ(heldMessage(message), kText);
}

} // namespace
