// The smime tool as a user runs it: every subcommand through files and
// standard input and output, passwords from a file and the environment,
// --crlf, the exit statuses with their one-line messages, interop with the
// openssl command, the demo, and the README's examples as written.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_command.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

using testpki::KeyStoreFiles;

// The names in a folder, one per line, sorted.
std::string listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += name + "\n";
    return text;
}

#define SKIP_WITHOUT_OPENSSL_COMMAND() \
    if (!haveCommand("openssl")) GTEST_SKIP() << "the openssl command is not on PATH"

const std::string kLetter = "Content-Type: text/plain\r\n\r\nMeet at noon.\r\n";

// Key stores and certificates under the names the tests use, and a folder
// for their files.
class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        const KeyStoreFiles& files = testpki::keyStoreFiles();
        for (const auto& [name, source] : std::vector<std::pair<std::string, std::string>>{
                 {"alice.p12", files.aliceP12}, {"bob.p12", files.bobP12}, {"ca.pem", files.rootPem},
                 {"alice.pem", files.aliceCertPem}, {"bob.pem", files.bobCertPem},
                 {"stranger.p12", files.strangerP12}})
            dir_.write(name, TempDir::read(source));
        dir_.write("pass", std::string(KeyStoreFiles::kPassword) + "\n");
        dir_.write("letter.txt", kLetter);
    }

    std::string path(const std::string& name) const { return dir_.file(name); }
    std::string write(const std::string& name, const std::string& bytes) const { return dir_.write(name, bytes); }
    std::string read(const std::string& name) const { return TempDir::read(dir_.file(name)); }

    static CommandResult smime(std::vector<std::string> args, const std::string& input = "",
                               const std::vector<std::string>& environment = {}) {
        args.insert(args.begin(), SMIME_PROGRAM);
        return runCommand(args, input, environment);
    }

    // Signs letter.txt as alice into name; opaque unless detached.
    void signLetter(const std::string& name, bool detached = false) {
        std::vector<std::string> args = {"sign", "-k", path("alice.p12"), "--pass-file", path("pass"),
                                         "-i", path("letter.txt"), "-o", path(name)};
        if (detached) args.push_back("--detached");
        const CommandResult signedLetter = smime(args);
        ASSERT_EQ(signedLetter.status, 0) << signedLetter.err;
    }

private:
    TempDir dir_;
};

TEST_F(Tool, SignsAndVerifiesThroughFilesAndStandardStreams) {
    for (bool detached : {false, true}) {
        SCOPED_TRACE(detached ? "clear-signed" : "opaque");
        // Standard input to standard output, the password from the environment.
        std::vector<std::string> args = {"sign", "-k", path("alice.p12"), "--digest", "sha512"};
        if (detached) args.push_back("--detached");
        const CommandResult signedLetter =
            smime(args, kLetter, {std::string("SMIME_PASSWORD=") + KeyStoreFiles::kPassword});
        ASSERT_EQ(signedLetter.status, 0) << signedLetter.err;
        EXPECT_EQ(signedLetter.err, "");
        write("signed.eml", signedLetter.out);

        const CommandResult verified = smime({"verify", "--trust", path("ca.pem"), "-i", path("signed.eml"),
                                              "-o", path("content.txt")});
        EXPECT_EQ(verified.status, 0) << verified.err;
        EXPECT_EQ(verified.out, "");
        EXPECT_EQ(read("content.txt"), kLetter);
        EXPECT_NE(verified.err.find("good signature from CN=Alice,O=Test PKI (sha512"), std::string::npos)
            << verified.err;

        const CommandResult info = smime({"info"}, signedLetter.out);
        EXPECT_EQ(info.status, 0);
        EXPECT_NE(info.out.find(detached ? "kind: clear-signed" : "kind: signed data"), std::string::npos) << info.out;
    }
}

TEST_F(Tool, EncryptsToSeveralAndEachDecrypts) {
    const CommandResult encrypted = smime({"encrypt", "-r", path("alice.pem"), "-r", path("bob.pem"), "--cipher",
                                           "aes128", "-i", path("letter.txt"), "-o", path("secret.p7m")});
    ASSERT_EQ(encrypted.status, 0) << encrypted.err;
    EXPECT_NE(smime({"info", "-i", path("secret.p7m")}).out.find("kind: enveloped data"), std::string::npos);
    for (const char* who : {"alice.p12", "bob.p12"}) {
        SCOPED_TRACE(who);
        // The password by -p here; from a file and the environment elsewhere.
        const CommandResult decrypted =
            smime({"decrypt", "-k", path(who), "-p", KeyStoreFiles::kPassword, "-i", path("secret.p7m")});
        EXPECT_EQ(decrypted.status, 0) << decrypted.err;
        EXPECT_EQ(decrypted.out, kLetter);
    }
}

TEST_F(Tool, CrlfMakesLfOnlyInputCanonical) {
    const std::string lfOnly = "Content-Type: text/plain\n\nline one\nline two\n";
    const CommandResult signedLetter =
        smime({"sign", "--crlf", "-k", path("alice.p12"), "--pass-file", path("pass")}, lfOnly);
    ASSERT_EQ(signedLetter.status, 0) << signedLetter.err;
    const CommandResult verified = smime({"verify", "--trust", path("ca.pem")}, signedLetter.out);
    EXPECT_EQ(verified.out, "Content-Type: text/plain\r\n\r\nline one\r\nline two\r\n");

    // openssl writes bare LF without -crlfeol: our parser needs --crlf then.
    SKIP_WITHOUT_OPENSSL_COMMAND();
    const CommandResult theirs = runCommand({"openssl", "cms", "-encrypt", "-aes256", path("bob.pem")}, kLetter);
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    const std::vector<std::string> decrypt = {"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass")};
    EXPECT_EQ(smime(decrypt, theirs.out).status, 2);
    std::vector<std::string> withCrlf = decrypt;
    withCrlf.push_back("--crlf");
    const CommandResult decrypted = smime(withCrlf, theirs.out);
    EXPECT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(decrypted.out, kLetter);
}

TEST_F(Tool, FailuresGiveTheirExitStatusAndOneLineNamingTheCause) {
    signLetter("signed.p7m");
    signLetter("clear.eml", true);
    std::string tampered = read("clear.eml");
    tampered.replace(tampered.find("noon"), 4, "nine");
    write("tampered.eml", tampered);
    const CommandResult strangerSigned = smime(
        {"sign", "-k", path("stranger.p12"), "--pass-file", path("pass"), "-i", path("letter.txt")});
    write("stranger.p7m", strangerSigned.out);
    smime({"encrypt", "-r", path("bob.pem"), "-i", path("letter.txt"), "-o", path("for-bob.p7m")});
    const std::string mime = "Content-Transfer-Encoding: base64\r\n\r\nMAMCAQA=\r\n";
    write("malformed.p7m", "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n" + mime);
    write("malformed-enveloped.p7m", "Content-Type: application/pkcs7-mime; smime-type=enveloped-data\r\n" + mime);
    std::string lfOnly = read("signed.p7m");
    for (std::size_t at = lfOnly.find("\r\n"); at != std::string::npos; at = lfOnly.find("\r\n", at)) lfOnly.erase(at, 1);
    write("lf.p7m", lfOnly);

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string line; // a part of the one line on standard error
    };
    const Case cases[] = {
        {"wrong password", {"sign", "-k", path("alice.p12"), "-p", "wrong", "-i", path("letter.txt")}, 2,
         "smime sign: cannot log in with '" + path("alice.p12") +
             "': SMIME_PROVIDER_FAILED: wrong password for the key store"},
        {"unknown principal",
         {"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass"), "--id", "carol", "-i", path("for-bob.p7m")},
         2, "SMIME_PROVIDER_FAILED: no identity in the key store matches the principal"},
        {"missing input file", {"info", "-i", path("absent.txt")}, 2,
         "smime info: cannot open '" + path("absent.txt") + "': No such file or directory"},
        {"missing key store", {"sign", "-k", path("absent.p12"), "-i", path("letter.txt")}, 2,
         "the key store cannot be read or is not PKCS#12 or PEM"},
        {"not S/MIME", {"verify", "-i", path("letter.txt")}, 2, "smime verify: cannot verify: SMIME_BAD_MESSAGE"},
        {"not encrypted", {"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass"), "-i", path("signed.p7m")},
         2, "SMIME_BAD_MESSAGE"},
        {"tampered message", {"verify", "--trust", path("ca.pem"), "-i", path("tampered.eml")}, 1,
         "smime verify: not verified: SMIME_PROVIDER_FAILED: the signature does not match the content "
         "(signer: CN=Alice,O=Test PKI)"},
        {"untrusted signer", {"verify", "--trust", path("ca.pem"), "-i", path("stranger.p7m")}, 1,
         "the signer's certificate does not chain to a trusted certificate (signer: CN=Stranger"},
        {"not a recipient",
         {"decrypt", "-k", path("alice.p12"), "--pass-file", path("pass"), "-i", path("for-bob.p7m")}, 1,
         "smime decrypt: cannot decrypt: SMIME_PROVIDER_FAILED: the message is not encrypted for this credential"},
        {"unknown subcommand", {"frobnicate"}, 2, "smime: unknown subcommand 'frobnicate' (see smime --help)"},
        {"unknown option", {"verify", "--fast"}, 2, "smime verify: unknown option '--fast'"},
        {"missing value", {"sign", "-k"}, 2, "smime sign: option -k needs a value"},
        {"missing key store option", {"decrypt"}, 2, "smime decrypt: -k KEYSTORE is required"},
        {"password and message both from standard input", {"decrypt", "-k", path("bob.p12"), "--pass-file", "-"}, 2,
         "smime decrypt: the password and the message cannot both come from standard input"},
        {"unknown digest", {"sign", "-k", path("alice.p12"), "--digest", "md2", "-i", path("letter.txt")}, 2,
         "smime sign: unknown digest 'md2'"},
        {"no recipients", {"encrypt", "-i", path("letter.txt")}, 2, "at least one -r CERT.pem is required"},
        {"a recipient that is not a certificate", {"encrypt", "-r", path("letter.txt"), "-i", path("letter.txt")}, 2,
         "SMIME_PROVIDER_FAILED: a recipient certificate cannot be read or used for encryption ('" +
             path("letter.txt") + "')"},
        {"no password for the key store", {"sign", "-k", path("alice.p12"), "-i", path("letter.txt")}, 2,
         "wrong password for the key store (no password was given: -p, --pass-file or SMIME_PASSWORD)"},
        {"malformed PKCS#7 in a signed message", {"verify", "-i", path("malformed.p7m")}, 2,
         "smime verify: cannot verify: SMIME_PROVIDER_FAILED: the PKCS#7 data is malformed"},
        {"malformed PKCS#7 in an enveloped message",
         {"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass"), "-i", path("malformed-enveloped.p7m")}, 2,
         "smime decrypt: cannot decrypt: SMIME_PROVIDER_FAILED: the PKCS#7 data is malformed"},
        {"bare LF line ends", {"verify", "-i", path("lf.p7m")}, 2, "(its lines end in bare LF: try --crlf)"},
        {"a trust file without PEM", {"verify", "--trust", path("alice.p12"), "-i", path("signed.p7m")}, 2,
         "smime verify: '" + path("alice.p12") + "' holds no PEM certificate"},
        {"an option spelt with one dash", {"sign", "-k", path("alice.p12"), "-detached"}, 2,
         "smime sign: unknown option '-detached'"},
        {"content to a folder that does not exist",
         {"verify", "--trust", path("ca.pem"), "-i", path("signed.p7m"), "-o", path("absent/content.txt")}, 2,
         "smime verify: cannot create a file beside '" + path("absent/content.txt") + "'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult run = smime(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
        ASSERT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(Tool, OutputArrivesWholeOrNotAtAll) {
    signLetter("signed.p7m");
    const std::vector<std::string> decryptSigned = {"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass"),
                                                    "-i", path("signed.p7m"), "-o"};
    std::vector<std::string> toNewFile = decryptSigned;
    toNewFile.push_back(path("out.txt"));
    EXPECT_EQ(smime(toNewFile).status, 2);

    // An existing file survives a failed command, and keeps its mode when a
    // command replaces it.
    write("kept.txt", "precious");
#if !defined(_WIN32)
    chmod(path("kept.txt").c_str(), 0640);
#endif
    std::vector<std::string> toKept = decryptSigned;
    toKept.push_back(path("kept.txt"));
    EXPECT_EQ(smime(toKept).status, 2);
    EXPECT_EQ(read("kept.txt"), "precious");
    EXPECT_EQ(smime({"verify", "--trust", path("ca.pem"), "-i", path("signed.p7m"), "-o", path("kept.txt")}).status, 0);
    EXPECT_EQ(read("kept.txt"), kLetter);
#if !defined(_WIN32)
    struct stat kept {};
    ASSERT_EQ(stat(path("kept.txt").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0777, 0640u);
#endif

    const std::string names = listing(path(""));
    EXPECT_EQ(names.find("out.txt"), std::string::npos) << names;
    EXPECT_EQ(names.find(".partial"), std::string::npos) << "no temporary file is left: " << names;

    // Devices are written through, not replaced.
#if defined(_WIN32)
    const std::string nullDevice = "NUL";
#else
    const std::string nullDevice = "/dev/null";
#endif
    EXPECT_EQ(smime({"verify", "--trust", path("ca.pem"), "-i", path("signed.p7m"), "-o", nullDevice}).status, 0);
#if !defined(_WIN32)
    struct stat null {};
    ASSERT_EQ(stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));
#endif
    EXPECT_EQ(listing(path("")), names);
}

TEST_F(Tool, InfoNamesTheKindOfAnyInput) {
    const CommandResult blankContinuation = smime({"info"}, "Content-Type: text/plain\r\n \r\n\r\nbody");
    EXPECT_EQ(blankContinuation.status, 0) << blankContinuation.err;
    EXPECT_NE(blankContinuation.out.find("not S/MIME"), std::string::npos) << blankContinuation.out;
    const CommandResult binary = smime({"info"}, std::string("\x1b[2J\x00\xff binary", 12));
    EXPECT_EQ(binary.status, 0);
    EXPECT_EQ(binary.out.find('\x1b'), std::string::npos) << "control characters are not passed to the terminal";
}

TEST_F(Tool, InteroperatesWithTheOpensslCommand) {
    SKIP_WITHOUT_OPENSSL_COMMAND();
    signLetter("signed.p7m");
    signLetter("clear.eml", true);
    for (const char* name : {"signed.p7m", "clear.eml"}) {
        SCOPED_TRACE(name);
        const CommandResult verified =
            runCommand({"openssl", "cms", "-verify", "-CAfile", path("ca.pem"), "-in", path(name)});
        EXPECT_EQ(verified.status, 0) << verified.err;
        EXPECT_EQ(verified.out, kLetter);
    }
    const CommandResult theirs =
        runCommand({"openssl", "cms", "-encrypt", "-crlfeol", "-aes128", path("alice.pem"), path("bob.pem")}, kLetter);
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    const CommandResult decrypted = smime({"decrypt", "-k", path("bob.p12"), "--pass-file", path("pass")}, theirs.out);
    EXPECT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(decrypted.out, kLetter);
}

TEST_F(Tool, DescribesItselfAndEachSubcommand) {
    for (const char* command : {"", "sign", "verify", "encrypt", "decrypt", "info", "demo"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args;
        if (*command != '\0') args.push_back(command);
        args.push_back("--help");
        const CommandResult help = smime(args);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: smime ") + (*command != '\0' ? command : "COMMAND"), 0), 0u)
            << help.out;
    }
    const CommandResult version = smime({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("smime ", 0), 0u);
}

TEST_F(Tool, DemoRunsEveryStepAndLeavesNothingBehind) {
    TempDir tmp;
    // TMPDIR for POSIX systems, TMP for Windows.
    const CommandResult demo = smime({"demo"}, "", {"TMPDIR=" + tmp.file(""), "TMP=" + tmp.file("")});
    EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("refused, as it should be"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("smime demo: every step behaved as expected\n"), std::string::npos) << demo.out;
    EXPECT_EQ(listing(tmp.file("")), "") << "the demo's folder is gone";
}

// The README's block of examples, run as written in a shell, with smime on
// the PATH, in a folder of its own.
TEST(ToolReadme, ExamplesWorkAsWritten) {
#if defined(_WIN32)
    GTEST_SKIP() << "the examples are written for a POSIX shell";
#endif
    const std::string readme = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/README.md");
    const std::string begin = "<!-- tool examples: run by the tests -->\n```sh\n";
    const std::size_t start = readme.find(begin);
    ASSERT_NE(start, std::string::npos) << "README.md lost its marked block of tool examples";
    const std::size_t end = readme.find("```\n", start + begin.size());
    const std::string script = readme.substr(start + begin.size(), end - start - begin.size());
    TempDir dir;
    const std::string program = SMIME_PROGRAM;
    const std::string folder = program.substr(0, program.rfind('/'));
    const CommandResult run = runCommand({"bash", "-euo", "pipefail", "-c", "cd " + dir.file("") + "\n" + script}, "",
                                         {"PATH=" + folder + ":/usr/bin:/bin"});
    EXPECT_EQ(run.status, 0) << "script:\n" << script << "\nout:\n" << run.out << "\nerr:\n" << run.err;
}

} // namespace
