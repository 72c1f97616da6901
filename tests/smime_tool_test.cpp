// The smime tool as a user runs it: every subcommand and option through files
// and standard streams, the exit statuses with their one-line messages,
// interop with the openssl command, the demo, and the README's examples.
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

const std::string kLetter = "Content-Type: text/plain\r\n\r\nMeet at noon.\r\n";
const std::string kPassword = KeyStoreFiles::kPassword;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The names in a folder, one per line, sorted.
std::string listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += name + "\n";
    return text;
}

// A run of smime (or of openssl) in which "@/" stands for dir, and an input
// "@/name" is that file.
CommandResult runIn(const TempDir& dir, std::vector<std::string> args, std::string input = "",
                    std::vector<std::string> environment = {}) {
    for (std::string& arg : args) arg = replaced(arg, "@/", dir.file(""));
    for (std::string& entry : environment) entry = replaced(entry, "@/", dir.file(""));
    if (args[0] == "smime") args[0] = SMIME_PROGRAM;
    if (input.rfind("@/", 0) == 0) input = TempDir::read(dir.file(input.substr(2)));
    return runCommand(args, input, environment);
}

// The key stores and certificates under short names, letter.txt, and what the
// tool made of it: signed.p7m, clear.eml (detached), stranger.p7m (by a signer
// nobody trusts), for-bob.p7m, and those spoilt on purpose.
struct Folder : TempDir {
    Folder() {
        const KeyStoreFiles& files = testpki::keyStoreFiles();
        for (const auto& [name, source] : std::vector<std::pair<std::string, std::string>>{
                 {"alice.p12", files.aliceP12}, {"bob.p12", files.bobP12}, {"ca.pem", files.rootPem},
                 {"alice.pem", files.aliceCertPem}, {"bob.pem", files.bobCertPem}, {"stranger.p12", files.strangerP12}})
            write(name, read(source));
        write("pass", kPassword + "\n");
        write("letter.txt", kLetter);
        const std::vector<std::string> alice = {"smime", "sign", "-k", "@/alice.p12", "--pass-file", "@/pass",
                                                "-i", "@/letter.txt", "-o"};
        std::vector<std::string> stranger = alice, detached = alice;
        stranger[3] = "@/stranger.p12";
        detached.insert(detached.begin() + 2, "--detached");
        for (const auto& [args, output] : std::vector<std::pair<std::vector<std::string>, std::string>>{
                 {alice, "signed.p7m"}, {detached, "clear.eml"}, {stranger, "stranger.p7m"},
                 {{"smime", "encrypt", "-r", "@/bob.pem", "-i", "@/letter.txt", "-o"}, "for-bob.p7m"}}) {
            std::vector<std::string> toFile = args;
            toFile.push_back(file(output));
            const CommandResult made = runIn(*this, toFile);
            EXPECT_EQ(made.status, 0) << made.err;
        }
        write("tampered.eml", replaced(read(file("clear.eml")), "noon", "nine"));
        write("lf.p7m", replaced(read(file("signed.p7m")), "\r\n", "\n"));
        const std::string body = "Content-Transfer-Encoding: base64\r\n\r\nMAMCAQA=\r\n";
        write("malformed.p7m", "Content-Type: application/pkcs7-mime; smime-type=signed-data\r\n" + body);
        write("malformed-enveloped.p7m", "Content-Type: application/pkcs7-mime; smime-type=enveloped-data\r\n" + body);
    }
};

const Folder& folder() {
    static const Folder made;
    return made;
}

// Standard output is out exactly, or holds it when out ends in "..."; standard
// error is empty, or one line holding err. A kept output becomes a file of
// the folder.
struct Invocation {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out = "";
    std::string input = "";
    std::vector<std::string> environment = {};
    std::string keepOutputAs = "";
};

void runAll(const std::vector<Invocation>& invocations) {
    for (const Invocation& row : invocations) {
        SCOPED_TRACE(row.name);
        const CommandResult run = runIn(folder(), row.args, row.input, row.environment);
        EXPECT_EQ(run.status, row.status) << run.err;
        const std::string err = replaced(row.err, "@/", folder().file(""));
        if (err.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        }
        const std::size_t dots = row.out.size() >= 3 ? row.out.size() - 3 : 0;
        if (row.out.size() >= 3 && row.out.compare(dots, 3, "...") == 0) {
            EXPECT_NE(run.out.find(row.out.substr(0, dots)), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.out, row.out);
        }
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no control characters reach the terminal";
        if (!row.keepOutputAs.empty()) folder().write(row.keepOutputAs, run.out);
    }
}

const std::string kLfLetter = "Content-Type: text/plain\n\nline one\nline two\n";
const std::string kGood = "smime verify: good signature from CN=Alice,O=Test PKI (";

TEST(SmimeTool, EachSubcommandDoesItsWork) {
    const std::vector<std::string> withPassword = {"SMIME_PASSWORD=" + kPassword};
    runAll({
        {"sign from standard input", {"smime", "sign", "-k", "@/alice.p12", "--digest", "sha512"}, 0, "", "...",
         kLetter, withPassword, "sha512.p7m"},
        {"sign detached", {"smime", "sign", "-k", "@/alice.p12", "--digest", "sha512", "--detached"}, 0, "", "...",
         kLetter, withPassword, "sha512.eml"},
        {"verify to a file", {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/sha512.p7m", "-o", "@/opaque.txt"}, 0,
         kGood + "sha512"},
        {"verify clear-signed", {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/sha512.eml", "-o", "@/clear.txt"},
         0, kGood + "sha512"},
        {"verify without the chain", {"smime", "verify", "--no-chain", "-i", "@/stranger.p7m"}, 0,
         "UTC; certificate chain not checked)", kLetter},
        {"info on signed data", {"smime", "info"}, 0, "", "kind: signed data...", "@/sha512.p7m"},
        {"info on clear-signed", {"smime", "info"}, 0, "", "kind: clear-signed...", "@/sha512.eml"},
        {"encrypt to two", {"smime", "encrypt", "-r", "@/alice.pem", "-r", "@/bob.pem", "--cipher", "aes128", "-i",
                            "@/letter.txt", "-o", "@/secret.p7m"}, 0, ""},
        {"info on enveloped data", {"smime", "info", "-i", "@/secret.p7m"}, 0, "", "kind: enveloped data..."},
        {"alice decrypts", {"smime", "decrypt", "-k", "@/alice.p12", "-p", kPassword, "-i", "@/secret.p7m"}, 0, "",
         kLetter},
        {"bob decrypts", {"smime", "decrypt", "-k", "@/bob.p12", "-p", kPassword, "-i", "@/secret.p7m"}, 0, "", kLetter},
        {"sign LF-only text with --crlf", {"smime", "sign", "--crlf", "-k", "@/alice.p12", "--pass-file", "@/pass"}, 0,
         "", "...", kLfLetter, {}, "crlf.p7m"},
        {"verify from standard input", {"smime", "verify", "--trust", "@/ca.pem"}, 0, kGood,
         replaced(kLfLetter, "\n", "\r\n"), "@/crlf.p7m"},
        {"info on a blank continuation line", {"smime", "info"}, 0, "", "not S/MIME...",
         "Content-Type: text/plain\r\n \r\n\r\nbody"},
        {"info on binary", {"smime", "info"}, 0, "", "...", std::string("\x1b[2J\x00\xff binary", 12)},
        {"help", {"smime", "--help"}, 0, "", "usage: smime COMMAND..."},
        {"sign help", {"smime", "sign", "--help"}, 0, "", "usage: smime sign..."},
        {"verify help", {"smime", "verify", "--help"}, 0, "", "usage: smime verify..."},
        {"encrypt help", {"smime", "encrypt", "--help"}, 0, "", "usage: smime encrypt..."},
        {"decrypt help", {"smime", "decrypt", "--help"}, 0, "", "usage: smime decrypt..."},
        {"info help", {"smime", "info", "--help"}, 0, "", "usage: smime info..."},
        {"demo help", {"smime", "demo", "--help"}, 0, "", "usage: smime demo..."},
        {"version", {"smime", "--version"}, 0, "", "smime ..."},
    });
    EXPECT_EQ(TempDir::read(folder().file("opaque.txt")), kLetter);
    EXPECT_EQ(TempDir::read(folder().file("clear.txt")), kLetter);
}

TEST(SmimeTool, FailuresGiveTheirExitStatusAndOneLineNamingTheCause) {
    const std::string decryptAs = "smime decrypt: cannot decrypt: SMIME_PROVIDER_FAILED: ";
    runAll({
        {"wrong password", {"smime", "sign", "-k", "@/alice.p12", "-p", "wrong", "-i", "@/letter.txt"}, 2,
         "smime sign: cannot log in with '@/alice.p12': SMIME_PROVIDER_FAILED: wrong password for the key store"},
        {"unknown principal", {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "@/pass", "--id", "carol", "-i",
                               "@/for-bob.p7m"}, 2,
         "SMIME_PROVIDER_FAILED: no identity in the key store matches the principal"},
        {"missing input file", {"smime", "info", "-i", "@/absent.txt"}, 2,
         "smime info: cannot open '@/absent.txt': No such file or directory"},
        {"missing key store", {"smime", "sign", "-k", "@/absent.p12", "-i", "@/letter.txt"}, 2,
         "the key store cannot be read or is not PKCS#12 or PEM"},
        {"not S/MIME", {"smime", "verify", "-i", "@/letter.txt"}, 2, "smime verify: cannot verify: SMIME_BAD_MESSAGE"},
        {"not encrypted", {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "@/pass", "-i", "@/signed.p7m"}, 2,
         "SMIME_BAD_MESSAGE"},
        {"tampered message", {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/tampered.eml"}, 1,
         "smime verify: not verified: SMIME_PROVIDER_FAILED: the signature does not match the content "
         "(signer: CN=Alice,O=Test PKI)"},
        {"untrusted signer", {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/stranger.p7m"}, 1,
         "the signer's certificate does not chain to a trusted certificate (signer: CN=Stranger"},
        {"not a recipient", {"smime", "decrypt", "-k", "@/alice.p12", "--pass-file", "@/pass", "-i", "@/for-bob.p7m"},
         1, decryptAs + "the message is not encrypted for this credential"},
        {"unknown subcommand", {"smime", "frobnicate"}, 2, "smime: unknown subcommand 'frobnicate' (see smime --help)"},
        {"unknown option", {"smime", "verify", "--fast"}, 2, "smime verify: unknown option '--fast'"},
        {"missing value", {"smime", "sign", "-k"}, 2, "smime sign: option -k needs a value"},
        {"missing key store option", {"smime", "decrypt"}, 2, "smime decrypt: -k KEYSTORE is required"},
        {"password and message both from standard input", {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "-"},
         2, "smime decrypt: the password and the message cannot both come from standard input"},
        {"unknown digest", {"smime", "sign", "-k", "@/alice.p12", "--digest", "md2", "-i", "@/letter.txt"}, 2,
         "smime sign: unknown digest 'md2'"},
        {"no recipients", {"smime", "encrypt", "-i", "@/letter.txt"}, 2, "at least one -r CERT.pem is required"},
        {"a recipient that is not a certificate", {"smime", "encrypt", "-r", "@/letter.txt", "-i", "@/letter.txt"}, 2,
         "SMIME_PROVIDER_FAILED: a recipient certificate cannot be read or used for encryption ('@/letter.txt')"},
        {"no password for the key store", {"smime", "sign", "-k", "@/alice.p12", "-i", "@/letter.txt"}, 2,
         "wrong password for the key store (no password was given: -p, --pass-file or SMIME_PASSWORD)"},
        {"malformed PKCS#7 in a signed message", {"smime", "verify", "-i", "@/malformed.p7m"}, 2,
         "smime verify: cannot verify: SMIME_PROVIDER_FAILED: the PKCS#7 data is malformed"},
        {"malformed PKCS#7 in an enveloped message", {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "@/pass",
                                                      "-i", "@/malformed-enveloped.p7m"}, 2,
         decryptAs + "the PKCS#7 data is malformed"},
        {"bare LF line ends", {"smime", "verify", "-i", "@/lf.p7m"}, 2, "(its lines end in bare LF: try --crlf)"},
        {"a trust file without PEM", {"smime", "verify", "--trust", "@/alice.p12", "-i", "@/signed.p7m"}, 2,
         "smime verify: '@/alice.p12' holds no PEM certificate"},
        {"an option spelt with one dash", {"smime", "sign", "-k", "@/alice.p12", "-detached"}, 2,
         "smime sign: unknown option '-detached'"},
        {"content to a folder that does not exist", {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/signed.p7m",
                                                     "-o", "@/absent/content.txt"}, 2,
         "smime verify: cannot create a file beside '@/absent/content.txt'"},
    });
}

TEST(SmimeTool, InteroperatesWithTheOpensslCommand) {
    if (!haveCommand("openssl")) GTEST_SKIP() << "the openssl command is not on PATH";
    const std::vector<std::string> bobDecrypts = {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "@/pass"};
    std::vector<std::string> withCrlf = bobDecrypts;
    withCrlf.push_back("--crlf");
    runAll({
        {"openssl verifies ours", {"openssl", "cms", "-verify", "-CAfile", "@/ca.pem", "-in", "@/signed.p7m"}, 0,
         "CMS Verification successful", kLetter},
        {"and our clear-signed", {"openssl", "cms", "-verify", "-CAfile", "@/ca.pem", "-in", "@/clear.eml"}, 0,
         "CMS Verification successful", kLetter},
        {"openssl encrypts", {"openssl", "cms", "-encrypt", "-crlfeol", "-aes128", "@/alice.pem", "@/bob.pem"}, 0, "",
         "...", kLetter, {}, "theirs.p7m"},
        {"we decrypt", bobDecrypts, 0, "", kLetter, "@/theirs.p7m"},
        // Without -crlfeol openssl ends lines in bare LF: our parser needs --crlf then.
        {"openssl encrypts with LF", {"openssl", "cms", "-encrypt", "-aes256", "@/bob.pem"}, 0, "", "...", kLetter, {},
         "theirs-lf.p7m"},
        {"LF refused", bobDecrypts, 2, "try --crlf", "", "@/theirs-lf.p7m"},
        {"LF with --crlf", withCrlf, 0, "", kLetter, "@/theirs-lf.p7m"},
    });
}

TEST(SmimeTool, OutputArrivesWholeOrNotAtAll) {
    const Folder& dir = folder();
    const std::vector<std::string> decryptSigned = {"smime", "decrypt", "-k", "@/bob.p12", "--pass-file", "@/pass",
                                                    "-i", "@/signed.p7m", "-o"};
    std::vector<std::string> toNewFile = decryptSigned, toKept = decryptSigned;
    toNewFile.push_back("@/out.txt");
    toKept.push_back("@/kept.txt");
    EXPECT_EQ(runIn(dir, toNewFile).status, 2);
    // An existing file survives a failed command, and keeps its mode when a
    // command replaces it; devices are written through, not replaced.
    dir.write("kept.txt", "precious");
#if defined(_WIN32)
    const std::string nullDevice = "NUL";
#else
    const std::string nullDevice = "/dev/null";
    chmod(dir.file("kept.txt").c_str(), 0640);
#endif
    EXPECT_EQ(runIn(dir, toKept).status, 2);
    EXPECT_EQ(TempDir::read(dir.file("kept.txt")), "precious");
    const std::vector<std::string> verify = {"smime", "verify", "--trust", "@/ca.pem", "-i", "@/signed.p7m", "-o"};
    for (const std::string& output : {dir.file("kept.txt"), nullDevice}) {
        std::vector<std::string> args = verify;
        args.push_back(output);
        EXPECT_EQ(runIn(dir, args).status, 0);
    }
    EXPECT_EQ(TempDir::read(dir.file("kept.txt")), kLetter);
#if !defined(_WIN32)
    struct stat kept {}, null {};
    ASSERT_EQ(stat(dir.file("kept.txt").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0777, 0640u);
    ASSERT_EQ(stat("/dev/null", &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));
#endif
    const std::string names = listing(dir.file(""));
    EXPECT_EQ(names.find("out.txt"), std::string::npos) << names;
    EXPECT_EQ(names.find(".partial"), std::string::npos) << "no temporary file is left: " << names;
}

TEST(SmimeTool, DemoRunsEveryStepAndLeavesNothingBehind) {
    TempDir tmp;
    // TMPDIR for POSIX systems, TMP for Windows.
    const CommandResult demo = runIn(tmp, {"smime", "demo"}, "", {"TMPDIR=@/", "TMP=@/"});
    EXPECT_EQ(demo.status, 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("refused, as it should be"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("smime demo: every step behaved as expected\n"), std::string::npos) << demo.out;
    EXPECT_EQ(listing(tmp.file("")), "") << "the demo's folder is gone";
}

// The README's block of examples, run as written in a shell with smime on the
// PATH, in a folder of its own.
TEST(SmimeTool, ReadmeExamplesWorkAsWritten) {
#if defined(_WIN32)
    GTEST_SKIP() << "the examples are written for a POSIX shell";
#endif
    const std::string readme = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/README.md");
    const std::string begin = "<!-- tool examples: run by the tests -->\n```sh\n";
    const std::size_t start = readme.find(begin);
    ASSERT_NE(start, std::string::npos) << "README.md lost its marked block of tool examples";
    const std::size_t end = readme.find("```\n", start + begin.size());
    const std::string script = readme.substr(start + begin.size(), end - start - begin.size());
    const std::string program = SMIME_PROGRAM;
    TempDir dir;
    const CommandResult run = runCommand({"bash", "-euo", "pipefail", "-c", "cd " + dir.file("") + "\n" + script}, "",
                                         {"PATH=" + program.substr(0, program.rfind('/')) + ":/usr/bin:/bin"});
    EXPECT_EQ(run.status, 0) << "script:\n" << script << "\nout:\n" << run.out << "\nerr:\n" << run.err;
}

} // namespace
