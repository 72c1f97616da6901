#include "demo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <openssl/rand.h>

#include "demo_pki.h"
#include "operations.h"
#include "tool_files.h"

namespace smimetool {

namespace {

namespace fs = std::filesystem;

const std::string kLetter = "Content-Type: text/plain; charset=us-ascii\r\n"
                            "\r\n"
                            "Hello Bob,\r\n"
                            "the meeting moves to Thursday, 10:00.\r\n"
                            "Alice\r\n";

struct Party {
    const char* name;
    Identity identity;
    std::string certificate; // PEM
};

// The demo's folder: a fresh temporary one that goes when the demo ends, or
// the one the user asked to keep.
class Workspace {
public:
    explicit Workspace(const std::string& keep) : kept_(!keep.empty()) {
        std::error_code error;
        if (kept_) {
            // A kept folder must be new or empty: the demo writes files of
            // common names (letter.txt) and must not overwrite the user's.
            fs::create_directories(keep, error);
            if (!error && fs::is_empty(keep, error) && !error) path_ = keep;
            else problem_ = error ? error.message() : "'" + keep + "' is not empty";
        } else {
            path_ = makePrivateFolder("smime-demo-");
            if (path_.empty()) problem_ = std::strerror(errno);
        }
    }
    ~Workspace() {
        std::error_code ignored;
        if (!kept_ && !path_.empty()) fs::remove_all(path_, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    bool ready() const { return !path_.empty(); }
    // Why the folder could not be had.
    const std::string& problem() const { return problem_; }
    bool kept() const { return kept_; }
    const std::string& path() const { return path_; }

    // Writes name in the folder, readable by the owner only from the start
    // (key stores and passwords are among the files); false when it cannot.
    bool write(const std::string& name, const std::string& bytes) const { return writePrivateFile(file(name), bytes); }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }

private:
    bool kept_;
    std::string path_;
    std::string problem_;
};

std::string randomPassword() {
    unsigned char bytes[12];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) text += {kHex[b >> 4], kHex[b & 15]};
    return text;
}

// Makes one identity under the CA, and writes STEM.p12, STEM.pem and
// STEM.pass.
bool makeParty(const Workspace& space, const char* name, const std::string& stem, demopki::KeyKind kind,
               const demopki::KeyPtr& caKey, const demopki::CertPtr& caCert, Party& party) {
    demopki::KeyPtr key = demopki::makeKey(kind);
    if (!key) return false;
    demopki::CertificateRequest request;
    request.commonName = name;
    request.email = stem + "@example.com";
    demopki::CertPtr cert = demopki::makeCertificate(key.get(), request, caCert.get(), caKey.get());
    const std::string password = randomPassword();
    if (!cert || password.empty()) return false;
    const std::string p12 =
        demopki::pkcs12(key.get(), cert.get(), {caCert.get()}, password, name, demopki::Pkcs12Kind::Modern);
    party = Party{name, Identity{space.file(stem + ".p12"), password, ""}, demopki::certificatePem(cert.get())};
    return !p12.empty() && space.write(stem + ".p12", p12) && space.write(stem + ".pem", party.certificate) &&
           space.write(stem + ".pass", password + "\n");
}

class Steps {
public:
    // Prints the step and its outcome; expectedRefusal marks a step that
    // should fail with exit status 1.
    void report(const std::string& step, const Outcome& outcome, const std::string& detail = "",
                bool expectedRefusal = false) {
        const bool asExpected = expectedRefusal ? outcome.exitStatus == kExitRefused : outcome.ok();
        std::string line = "  " + step + " ";
        line.resize(std::max<std::size_t>(line.size(), 52), '.');
        if (expectedRefusal && asExpected) line += " refused, as it should be: " + outcome.message;
        else if (asExpected) line += " ok" + (detail.empty() ? "" : ": " + detail);
        else line += " FAILED: " + (outcome.ok() ? std::string("it should have been refused") : outcome.message);
        std::printf("%s\n", line.c_str());
        allAsExpected_ = allAsExpected_ && asExpected;
    }
    void check(const std::string& step, bool ok, const std::string& failure) {
        report(step, ok ? Outcome::success() : Outcome::failure(kExitUsage, failure));
    }
    bool allAsExpected() const { return allAsExpected_; }

private:
    bool allAsExpected_ = true;
};

std::string bytes(const std::string& text) { return std::to_string(text.size()) + " bytes"; }

void runSteps(const Workspace& space, const Party& alice, const Party& bob, const std::string& caPem, Steps& steps) {
    VerifyRequest trustCa;
    trustCa.trustAnchors = caPem;

    // Each outcome is taken before it is reported: the size shown must be
    // that of the finished message.
    BytesResult signedBytes;
    Bytes letter = Bytes::copyOf(kLetter);
    Outcome outcome = signMessage({alice.identity, digestSHA256, false}, letter, signedBytes);
    const std::string opaque = signedBytes.bytes.str();
    steps.report("sign as Alice (opaque, sha256)", outcome, bytes(opaque));
    space.write("signed.p7m", opaque);
    letter = Bytes::copyOf(kLetter);
    outcome = signMessage({alice.identity, digestSHA384, true}, letter, signedBytes);
    const std::string clear = signedBytes.bytes.str();
    steps.report("clear-sign as Alice (sha384)", outcome, bytes(clear));
    space.write("clear-signed.eml", clear);

    for (const auto& [name, message] : {std::pair<const char*, std::string>{"opaque", opaque}, {"clear-signed", clear}}) {
        BytesResult content;
        VerifyReport report;
        Bytes input = Bytes::copyOf(message);
        const Outcome verified = verifyMessage(trustCa, input, content, report);
        steps.report(std::string("verify the ") + name + " message", verified, report.summary);
        if (verified.ok())
            steps.check("  content is the letter, byte for byte", content.bytes == kLetter, "the content differs");
    }

    BytesResult envelope;
    letter = Bytes::copyOf(kLetter);
    outcome = encryptMessage({{alice.certificate, bob.certificate}, strengthAES256, {"alice.pem", "bob.pem"}}, letter,
                             envelope);
    const std::string secret = envelope.bytes.str();
    steps.report("encrypt to Alice and Bob (aes256)", outcome, bytes(secret));
    space.write("secret.p7m", secret);
    for (const Party* party : {&bob, &alice}) {
        BytesResult content;
        Bytes input = Bytes::copyOf(secret);
        const Outcome decrypted = decryptMessage(party->identity, input, content);
        steps.report(std::string("decrypt as ") + party->name, decrypted);
        if (decrypted.ok())
            steps.check("  content is the letter, byte for byte", content.bytes == kLetter, "the content differs");
    }

    std::string tampered = clear;
    const std::size_t at = tampered.find("10:00");
    if (at != std::string::npos) tampered.replace(at, 5, "11:00");
    BytesResult ignored;
    VerifyReport report;
    Bytes tamperedInput = Bytes::copyOf(tampered);
    steps.report("tamper: change the time, then verify", verifyMessage(trustCa, tamperedInput, ignored, report), "",
                 true);
}

} // namespace

int runDemo(const std::string& keepFolder) {
    const Workspace space(keepFolder);
    if (!space.ready()) {
        std::fprintf(stderr, "smime demo: cannot make a folder to work in: %s\n", space.problem().c_str());
        return kExitUsage;
    }
    std::printf("smime demo: working in %s%s\n", space.path().c_str(),
                space.kept() ? "" : " (removed afterwards)");

    demopki::KeyPtr caKey = demopki::makeKey(demopki::KeyKind::EcP256);
    demopki::CertificateRequest caRequest;
    caRequest.commonName = "smime demo CA";
    caRequest.authority = true;
    demopki::CertPtr caCert = caKey ? demopki::makeCertificate(caKey.get(), caRequest, nullptr, caKey.get()) : nullptr;
    Party alice;
    Party bob;
    const std::string caPem = caCert ? demopki::certificatePem(caCert.get()) : std::string();
    Steps steps;
    const bool made = caCert && space.write("ca.pem", caPem) && space.write("letter.txt", kLetter) &&
                      makeParty(space, "Alice", "alice", demopki::KeyKind::Rsa2048, caKey, caCert, alice) &&
                      makeParty(space, "Bob", "bob", demopki::KeyKind::EcP256, caKey, caCert, bob);
    steps.check("make a CA, Alice (RSA-2048) and Bob (EC P-256)", made, "OpenSSL could not make them");
    if (made) runSteps(space, alice, bob, caPem, steps);

    if (space.kept())
        std::printf("the CA, the key stores (passwords in alice.pass and bob.pass) and the messages are in %s\n",
                    space.path().c_str());
    std::printf(steps.allAsExpected() ? "smime demo: every step behaved as expected\n"
                                      : "smime demo: some step did not behave as expected\n");
    return steps.allAsExpected() ? kExitSuccess : kExitRefused;
}

} // namespace smimetool
