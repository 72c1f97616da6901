// S/MIME between SMIMEMessage and Python's cryptography package, driven
// through tests/interop/python_smime.py: its signatures (multipart/signed and
// opaque) and envelopes reach us, our envelopes reach it. The package offers
// no verification of S/MIME signatures, so our signatures go to openssl only.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interop_parties.h"
#include "run_command.h"
#include "smime_session.h"
#include "temp_dir.h"

namespace {

using testpki::keyStoreFiles;

const std::string kText =
    "Content-Type: text/plain; charset=us-ascii\r\n\r\nInterop with\r\nPython's cryptography.\r\n";
const std::string kScript = std::string(SMIME_SOURCE_DIR) + "/tests/interop/python_smime.py";

// The interpreter that runs the script: python3 until the script has named
// its own path.
std::string& interpreter() {
    static std::string path = "python3";
    return path;
}

CommandResult python(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {interpreter(), kScript});
    return runCommand(args, input);
}

// What `smime decrypt --crlf` does: every bare LF becomes CR LF.
std::string withCrlf(const std::string& text) {
    std::string converted;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted += '\r';
        converted += text[i];
    }
    return converted;
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

class PythonInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveCommand("python3")) {
            unavailable_ = "python3 is not on PATH";
            return;
        }
        const CommandResult check = python({"check"});
        if (check.status != 0) {
            unavailable_ = "python3 cannot run the script: " + check.err;
            return;
        }
        // Version, then the interpreter's path: calling it directly skips
        // any launcher in front of it, which costs more than the work.
        const std::size_t versionEnd = check.out.find('\n');
        const std::size_t pathEnd = check.out.find('\n', versionEnd + 1);
        if (versionEnd != std::string::npos && pathEnd != std::string::npos && pathEnd > versionEnd + 1)
            interpreter() = check.out.substr(versionEnd + 1, pathEnd - versionEnd - 1);
    }
    void SetUp() override {
        if (!unavailable_.empty()) GTEST_SKIP() << unavailable_;
    }
    static std::string unavailable_;
};
std::string PythonInterop::unavailable_;

struct TheirSignatureCase {
    const char* name;
    Who signer;
    const char* hash;
    const char* form; // the script's: detached, embedded, opaque
    messageType_t type;
    unsigned digest; // what our verification reports
};
const TheirSignatureCase kTheirSignatures[] = {
    {"detached RSA sha256", Who::Alice, "sha256", "detached", messageClearSigned, KIVO_DIGEST_SHA256},
    {"detached EC sha384", Who::Bob, "sha384", "detached", messageClearSigned, KIVO_DIGEST_SHA384},
    // Without DetachedSignature the SMIME encoding is still multipart/signed,
    // and the signature carries the content a second time.
    {"embedded RSA sha512", Who::Carol, "sha512", "embedded", messageClearSigned, KIVO_DIGEST_SHA512},
    {"opaque EC sha256", Who::Bob, "sha256", "opaque", messageSignedData, KIVO_DIGEST_SHA256},
    {"opaque RSA sha384", Who::Alice, "sha384", "opaque", messageSignedData, KIVO_DIGEST_SHA384},
};

TEST_F(PythonInterop, TheirSignaturesVerifyWithUs) {
    for (const TheirSignatureCase& c : kTheirSignatures) {
        SCOPED_TRACE(c.name);
        const Party& signer = party(c.signer);
        const CommandResult made = python({"sign", signer.certPem, signer.keyPem, c.hash, c.form}, kText);
        ASSERT_EQ(made.status, 0) << made.err;
        if (c.type == messageClearSigned) {
            // Python writes CR LF everywhere, base64 lines included, and the
            // legacy media type for the signature.
            EXPECT_EQ(countOf(made.out, "\n"), countOf(made.out, "\r\n"));
            EXPECT_NE(made.out.find("protocol=\"application/x-pkcs7-signature\""), std::string::npos);
            EXPECT_NE(made.out.find("\r\nContent-Type: application/x-pkcs7-signature; name=\"smime.p7s\"\r\n"),
                      std::string::npos)
                << made.out;
        }

        SMIMEMessage message;
        loginWith(message, party(Who::Alice).keyStore);
        setHeld(message, made.out);
        EXPECT_EQ(message.getMessageType(), c.type);
        VerifyRecord record;
        unsigned minor = 0;
        ASSERT_EQ(message.verify(&record.info, &minor), 0u) << "minor " << minor;
        EXPECT_EQ(heldMessage(message), kText);
        EXPECT_EQ(record.info.reason, 0u);
        EXPECT_EQ(record.info.digest, c.digest);
        EXPECT_NE(record.subject().find(signer.commonName), std::string::npos) << record.subject();
    }
}

TEST_F(PythonInterop, ATamperedSignatureOfTheirsFailsWithUs) {
    const Party& signer = party(Who::Alice);
    const CommandResult made = python({"sign", signer.certPem, signer.keyPem, "sha256", "detached"}, kText);
    ASSERT_EQ(made.status, 0) << made.err;
    std::string tampered = made.out;
    const std::size_t word = tampered.find("Interop");
    ASSERT_NE(word, std::string::npos);
    tampered[word] = 'i';

    SMIMEMessage message;
    loginWith(message, party(Who::Alice).keyStore);
    setHeld(message, tampered);
    VerifyRecord record;
    unsigned minor = 0;
    EXPECT_EQ(message.verify(&record.info, &minor), static_cast<unsigned>(SMIME_PROVIDER_FAILED));
    EXPECT_EQ(minor, static_cast<unsigned>(KIVO_R_SIGNATURE_INVALID));
    EXPECT_EQ(heldMessage(message), tampered);
}

struct EnvelopeCase {
    const char* name;
    const char* cipher; // the script's: aes128, aes256
    encryptionAlgorithmStrength_t strength;
    std::vector<Who> recipients; // RSA only: the package has no key agreement
};
const EnvelopeCase kEnvelopes[] = {
    {"aes128 to one", "aes128", strengthAES128, {Who::Alice}},
    {"aes256 to two", "aes256", strengthAES256, {Who::Carol, Who::Alice}},
};

TEST_F(PythonInterop, TheirEnvelopesDecryptWithUsForEveryRecipient) {
    for (const EnvelopeCase& c : kEnvelopes) {
        SCOPED_TRACE(std::string(c.name) + " (" + namesOf(c.recipients) + ")");
        std::vector<std::string> args = {"encrypt", c.cipher};
        for (Who who : c.recipients) args.push_back(party(who).certPem);
        const CommandResult made = python(args, kText);
        ASSERT_EQ(made.status, 0) << made.err;
        // Unlike its signatures, Python's envelope has bare LF line ends
        // throughout, headers included; our parser reads CR LF headers, so
        // the message is converted as `smime decrypt --crlf` would.
        EXPECT_EQ(made.out.find('\r'), std::string::npos);
        EXPECT_NE(made.out.find("\nContent-Type: application/pkcs7-mime; smime-type=\"enveloped-data\""),
                  std::string::npos)
            << made.out.substr(0, 300);
        const std::string canonical = withCrlf(made.out);

        for (Who who : c.recipients) {
            SCOPED_TRACE(party(who).commonName);
            SMIMEMessage message;
            loginWith(message, party(who).keyStore);
            setHeld(message, canonical);
            EXPECT_EQ(message.getMessageType(), messageEnvelopedData);
            unsigned minor = 0;
            ASSERT_EQ(message.decrypt(&minor), 0u) << "minor " << minor;
            EXPECT_EQ(heldMessage(message), kText);
        }
    }
}

TEST_F(PythonInterop, OurEnvelopesDecryptWithPythonForEveryRecipient) {
    for (const EnvelopeCase& c : kEnvelopes) {
        SCOPED_TRACE(std::string(c.name) + " (" + namesOf(c.recipients) + ")");
        const std::string enveloped = ourEnvelope(Who::Bob, c.recipients, c.strength, kText);
        ASSERT_FALSE(enveloped.empty());

        for (Who who : c.recipients) {
            SCOPED_TRACE(party(who).commonName);
            const CommandResult opened = python({"decrypt", party(who).certPem, party(who).keyPem}, enveloped);
            EXPECT_EQ(opened.status, 0) << opened.err;
            EXPECT_EQ(opened.out, kText);
        }
    }
}

} // namespace
