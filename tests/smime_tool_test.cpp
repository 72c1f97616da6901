// The smime tool as a user runs it: every subcommand and option through files
// and standard streams, the exit statuses with their one-line messages,
// interop with the openssl command, the demo, and the README's examples.
#include <sys/stat.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_command.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

using testpki::KeyStoreFiles;

const std::string kLetter = "Content-Type: text/plain\r\n\r\nMeet at noon.\r\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Runs a command line as a shell would, in short: leading NAME=value words
// set the environment, "< file" and "> file" redirect, "@/" stands for dir and
// "@PASS" for the key stores' password. "smime" is the tool under test; any
// other program is looked up on PATH.
CommandResult runIn(const TempDir& dir, const std::string& line, std::string input = "") {
    std::vector<std::string> words, args, environment;
    std::istringstream split(line);
    for (std::string word; split >> word;)
        words.push_back(replaced(replaced(word, "@/", dir.file("")), "@PASS", KeyStoreFiles::kPassword));
    std::string output;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "<") input = TempDir::read(words[++i]);
        else if (words[i] == ">") output = words[++i];
        else if (args.empty() && words[i].find('=') != std::string::npos) environment.push_back(words[i]);
        else args.push_back(args.empty() && words[i] == "smime" ? SMIME_PROGRAM : words[i]);
    }
    const CommandResult run = runCommand(args, input, environment);
    if (!output.empty()) dir.write(output, run.out);
    return run;
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
        write("pass", std::string(KeyStoreFiles::kPassword) + "\n");
        std::filesystem::create_directory(file("tmp"));
        write("letter.txt", kLetter);
        for (const char* line : {"smime sign -k @/alice.p12 --pass-file @/pass -i @/letter.txt -o @/signed.p7m",
                                 "smime sign --detached -k @/alice.p12 --pass-file @/pass -i @/letter.txt -o @/clear.eml",
                                 "smime sign -k @/stranger.p12 --pass-file @/pass -i @/letter.txt -o @/stranger.p7m",
                                 "smime encrypt -r @/bob.pem -i @/letter.txt -o @/for-bob.p7m"}) {
            const CommandResult made = runIn(*this, line);
            EXPECT_EQ(made.status, 0) << line << ": " << made.err;
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
// error is empty, or one line holding err.
struct Invocation {
    std::string line;
    int status;
    std::string err, out = "", input = "";
};

void runAll(const std::vector<Invocation>& invocations) {
    for (const Invocation& row : invocations) {
        SCOPED_TRACE(row.line);
        const CommandResult run = runIn(folder(), row.line, row.input);
        EXPECT_EQ(run.status, row.status) << run.err;
        const std::string err = replaced(row.err, "@/", folder().file(""));
        EXPECT_TRUE(err.empty() ? run.err.empty()
                                : run.err.find(err) != std::string::npos && run.err.find('\n') == run.err.size() - 1)
            << "wanted one line holding " << err << "\ngot " << run.err;
        const bool part = row.out.size() >= 3 && row.out.compare(row.out.size() - 3, 3, "...") == 0;
        EXPECT_TRUE(part ? run.out.find(row.out.substr(0, row.out.size() - 3)) != std::string::npos : run.out == row.out)
            << "wanted " << row.out << "\ngot " << run.out;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no control characters reach the terminal";
    }
}

const std::string kLfLetter = "Content-Type: text/plain\n\nline one\nline two\n";
const std::string kGood = "smime verify: good signature from CN=Alice,O=Test PKI (";
const std::string kOpaque = "smime-type=signed-data...";
const std::string kMismatch = "SMIME_PROVIDER_FAILED: the signature does not match the content (signer: CN=Alice,O=Test PKI)";

TEST(SmimeTool, EachSubcommandDoesItsWork) {
    runAll({
        {"SMIME_PASSWORD=@PASS smime sign -k @/alice.p12 --digest sha512 > @/sha512.p7m", 0, "", kOpaque,
         kLetter},
        {"SMIME_PASSWORD=@PASS smime sign -k @/alice.p12 --digest sha512 --detached > @/sha512.eml", 0, "",
         "Content-Type: multipart/signed...", kLetter},
        {"smime verify --trust @/ca.pem -i @/sha512.p7m -o @/opaque.txt", 0, kGood + "sha512"},
        {"smime verify --trust @/ca.pem -i @/sha512.eml -o @/clear.txt", 0, kGood + "sha512"},
        {"smime verify --no-chain -i @/stranger.p7m", 0, "UTC; certificate chain not checked)", kLetter},
        {"smime info < @/sha512.p7m", 0, "", "kind: signed data..."},
        {"smime info < @/sha512.eml", 0, "", "kind: clear-signed..."},
        {"smime encrypt -r @/alice.pem -r @/bob.pem --cipher aes128 -i @/letter.txt -o @/secret.p7m", 0, ""},
        {"smime info -i @/secret.p7m", 0, "", "kind: enveloped data..."},
        {"smime decrypt -k @/alice.p12 -p @PASS -i @/secret.p7m", 0, "", kLetter},
        {"smime decrypt -k @/bob.p12 -p @PASS -i @/secret.p7m", 0, "", kLetter},
        {"smime sign --crlf -k @/alice.p12 --pass-file @/pass > @/crlf.p7m", 0, "", kOpaque, kLfLetter},
        {"smime verify --trust @/ca.pem < @/crlf.p7m", 0, kGood, replaced(kLfLetter, "\n", "\r\n")},
        {"smime info", 0, "", "not S/MIME...", "Content-Type: text/plain\r\n \r\n\r\nbody"},
        {"smime info", 0, "", "...", std::string("\x1b[2J\x00\xff binary", 12)},
        // TMPDIR for POSIX systems, TMP for Windows: the demo leaves nothing there.
        {"TMPDIR=@/tmp TMP=@/tmp smime demo", 0, "",
         "refused, as it should be: not verified: " + kMismatch + "\nsmime demo: every step behaved as expected..."},
        {"smime --help", 0, "", "usage: smime COMMAND..."},
        {"smime --version", 0, "", "smime ..."},
    });
    for (const std::string command : {"sign", "verify", "encrypt", "decrypt", "info", "demo"})
        runAll({{"smime " + command + " --help", 0, "", "usage: smime " + command + "..."}});
    EXPECT_EQ(TempDir::read(folder().file("opaque.txt")), kLetter);
    EXPECT_EQ(TempDir::read(folder().file("clear.txt")), kLetter);
    EXPECT_TRUE(std::filesystem::is_empty(folder().file("tmp"))) << "the demo's folder is gone";
}

TEST(SmimeTool, FailuresGiveTheirExitStatusAndOneLineNamingTheCause) {
    const std::string failed = "SMIME_PROVIDER_FAILED: ";
    runAll({
        {"smime sign -k @/alice.p12 -p wrong -i @/letter.txt", 2,
         "smime sign: cannot log in with '@/alice.p12': " + failed + "wrong password for the key store"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass --id carol -i @/for-bob.p7m", 2,
         failed + "no identity in the key store matches the principal"},
        {"smime info -i @/absent.txt", 2, "smime info: cannot open '@/absent.txt': No such file or directory"},
        {"smime sign -k @/absent.p12 -i @/letter.txt", 2, "the key store cannot be read or is not PKCS#12 or PEM"},
        {"smime verify -i @/letter.txt", 2, "smime verify: cannot verify: SMIME_BAD_MESSAGE"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/signed.p7m", 2, "SMIME_BAD_MESSAGE"},
        {"smime verify --trust @/ca.pem -i @/tampered.eml", 1, "smime verify: not verified: " + kMismatch},
        {"smime verify --trust @/ca.pem -i @/stranger.p7m", 1,
         "the signer's certificate does not chain to a trusted certificate (signer: CN=Stranger"},
        {"smime decrypt -k @/alice.p12 --pass-file @/pass -i @/for-bob.p7m", 1,
         "smime decrypt: cannot decrypt: " + failed + "the message is not encrypted for this credential"},
        {"smime frobnicate", 2, "smime: unknown subcommand 'frobnicate' (see smime --help)"},
        {"smime verify --fast", 2, "smime verify: unknown option '--fast'"},
        {"smime sign -k", 2, "smime sign: option -k needs a value"},
        {"smime decrypt", 2, "smime decrypt: -k KEYSTORE is required"},
        {"smime decrypt -k @/bob.p12 --pass-file -", 2,
         "smime decrypt: the password and the message cannot both come from standard input"},
        {"smime sign -k @/alice.p12 --digest md2 -i @/letter.txt", 2, "smime sign: unknown digest 'md2'"},
        {"smime encrypt -i @/letter.txt", 2, "at least one -r CERT.pem is required"},
        {"smime encrypt -r @/letter.txt -i @/letter.txt", 2,
         failed + "a recipient certificate cannot be read or used for encryption ('@/letter.txt')"},
        {"smime sign -k @/alice.p12 -i @/letter.txt", 2,
         "wrong password for the key store (no password was given: -p, --pass-file or SMIME_PASSWORD)"},
        {"smime verify -i @/malformed.p7m", 2, "smime verify: cannot verify: " + failed + "the PKCS#7 data is malformed"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/malformed-enveloped.p7m", 2,
         "smime decrypt: cannot decrypt: " + failed + "the PKCS#7 data is malformed"},
        {"smime verify -i @/lf.p7m", 2, "(its lines end in bare LF: try --crlf)"},
        {"smime verify --trust @/alice.p12 -i @/signed.p7m", 2, "smime verify: '@/alice.p12' holds no PEM certificate"},
        {"smime sign -k @/alice.p12 -detached", 2, "smime sign: unknown option '-detached'"},
        {"smime verify --trust @/ca.pem -i @/signed.p7m -o @/absent/content.txt", 2,
         "smime verify: cannot create a file beside '@/absent/content.txt'"},
    });
}

TEST(SmimeTool, InteroperatesWithTheOpensslCommand) {
    if (!haveCommand("openssl")) GTEST_SKIP() << "the openssl command is not on PATH";
    const std::string decrypt = "smime decrypt -k @/bob.p12 --pass-file @/pass";
    runAll({
        {"openssl cms -verify -CAfile @/ca.pem -in @/signed.p7m", 0, "Verification successful", kLetter},
        {"openssl cms -verify -CAfile @/ca.pem -in @/clear.eml", 0, "Verification successful", kLetter},
        {"openssl cms -encrypt -crlfeol -aes128 @/alice.pem @/bob.pem > @/theirs.p7m", 0, "", "...", kLetter},
        {decrypt + " < @/theirs.p7m", 0, "", kLetter},
        // Without -crlfeol openssl ends lines in bare LF: our parser needs --crlf then.
        {"openssl cms -encrypt -aes256 @/bob.pem > @/theirs-lf.p7m", 0, "", "...", kLetter},
        {decrypt + " < @/theirs-lf.p7m", 2, "try --crlf"},
        {decrypt + " --crlf < @/theirs-lf.p7m", 0, "", kLetter},
    });
}

// A null device to write through: as root, one of our own in dir, so that a
// tool that wrongly replaces it does no harm outside the folder.
std::string nullDevice(const TempDir& dir) {
#if defined(_WIN32)
    return "NUL";
#else
    const std::string own = dir.file("null");
    if (mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        const int opened = open(own.c_str(), O_WRONLY);
        if (opened >= 0 && close(opened) == 0) return own;
        unlink(own.c_str()); // a folder on a file system without devices
    }
    return "/dev/null";
#endif
}

TEST(SmimeTool, OutputArrivesWholeOrNotAtAll) {
    // An existing file survives a failed command, and keeps its mode when a
    // command replaces it; devices are written through, not replaced.
    const Folder& dir = folder();
    dir.write("kept.txt", "precious");
#if !defined(_WIN32)
    chmod(dir.file("kept.txt").c_str(), 0640);
#endif
    const std::string decrypt = "smime decrypt -k @/bob.p12 --pass-file @/pass -i @/signed.p7m -o @/";
    runAll({{decrypt + "out.txt", 2, "SMIME_BAD_MESSAGE"}, {decrypt + "kept.txt", 2, "SMIME_BAD_MESSAGE"}});
    EXPECT_EQ(TempDir::read(dir.file("kept.txt")), "precious");
    const std::string verify = "smime verify --trust @/ca.pem -i @/signed.p7m -o ";
    const std::string device = nullDevice(dir);
    runAll({{verify + "@/kept.txt", 0, kGood}, {verify + device, 0, kGood}});
    EXPECT_EQ(TempDir::read(dir.file("kept.txt")), kLetter);
#if !defined(_WIN32)
    struct stat kept {}, null {};
    ASSERT_EQ(stat(dir.file("kept.txt").c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0777, 0640u);
    ASSERT_EQ(stat(device.c_str(), &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode)) << device;
#endif
    for (const auto& entry : std::filesystem::directory_iterator(dir.file(""))) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name != "out.txt" && name.find(".partial") == std::string::npos) << "left behind: " << name;
    }
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
