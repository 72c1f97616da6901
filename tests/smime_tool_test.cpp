// The smime tool as a user runs it: every subcommand and option, the exit statuses with their one-line
// messages, the demo, and the README's examples run as documented.
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
#include "smime_der.h"
#include "temp_dir.h"
#include "test_pki.h"

namespace {

const std::string kLetter = "Content-Type: text/plain\r\n\r\nMeet at noon.\r\n";
// A whole mail as a user's file holds it, with bare LF.
const std::string kMail = "From: Alice <alice@example.com>\nTo: Bob <bob@example.com>\nSubject: Lunch\nKeywords: food\nMIME-Version: 1.0\n" + kLetter;
const std::string kOuterFields = "From: Alice <alice@example.com>\r\nTo: Bob <bob@example.com>\r\n";
// Large enough for the tool to hand its input over piece by piece, giving whole huge pages back behind it.
const std::string kLargeLetter = [] {
    std::string text = "Content-Type: text/plain\r\n\r\n";
    for (int line = 0; text.size() < (5u << 20); ++line) text += "line " + std::to_string(line) + " of a long letter\r\n";
    return text;
}();

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Runs a command line as a shell would, in short: leading NAME=value words set the environment, "< file"
// and "> file" redirect, "@/" stands for dir and "@PASS" for the key stores' password. "smime" is the tool
// under test, "tour" the example program, "cat" prints a file; others are looked up on PATH.
CommandResult runIn(const TempDir& dir, const std::string& line, std::string input = "") {
    std::vector<std::string> words, args, environment;
    std::istringstream split(line);
    for (std::string word; split >> word;)
        words.push_back(replaced(replaced(word, "@/", dir.file("")), "@PASS", testpki::KeyStoreFiles::kPassword));
    std::string output;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "<") input = TempDir::read(words[++i]);
        else if (words[i] == ">") output = words[++i];
        else if (args.empty() && words[i].find('=') != std::string::npos) environment.push_back(words[i]);
        else args.push_back(args.empty() && words[i] == "smime" ? SMIME_PROGRAM : args.empty() && words[i] == "tour" ? TOUR_PROGRAM : words[i]);
    }
    if (args[0] == "cat") return {0, TempDir::read(args[1]), ""};
    CommandResult run = runCommand(args, input, environment);
#if defined(_WIN32) // the example program's text-mode output ends each line with CR LF
    if (args[0] == TOUR_PROGRAM) run.out = replaced(run.out, "\r\n", "\n");
#endif
    if (!output.empty()) dir.write(output, run.out);
    return run;
}

// The key stores and certificates under short names, letter.txt, what the tool made of it: signed.p7m,
// clear.eml (detached), stranger.p7m (by a signer nobody trusts), for-bob.p7m, and those spoilt on purpose.
struct Folder : TempDir {
    Folder() {
        const testpki::KeyStoreFiles& files = testpki::keyStoreFiles();
        for (const auto& [name, source] : {std::pair{"alice.p12", files.aliceP12}, {"bob.p12", files.bobP12}, {"ca.pem", files.rootPem},
                                           {"alice.pem", files.aliceCertPem}, {"bob.pem", files.bobCertPem}, {"stranger.p12", files.strangerP12}})
            write(name, read(source));
        write("pass", std::string(testpki::KeyStoreFiles::kPassword) + "\n");
        write("letter.txt", kLetter);
        write("large.txt", kLargeLetter);
        write("mail.eml", replaced(kMail, "\r\n", "\n"));
        // Encrypted by anyone, claiming a protected header that no signature covers.
        write("forged.txt", "Content-Type: text/plain; hp=\"clear\"\r\nFrom: Alice <alice@example.com>\r\n\r\nPay Eve.\r\n");
        std::filesystem::create_directory(file("tmp"));
        for (const char* line : {"smime sign -k @/alice.p12 --pass-file @/pass -i @/letter.txt -o @/signed.p7m",
                                 "smime sign --detached -k @/alice.p12 --pass-file @/pass -i @/letter.txt -o @/clear.eml",
                                 "smime sign -k @/stranger.p12 --pass-file @/pass -i @/letter.txt -o @/stranger.p7m",
                                 "smime encrypt -r @/bob.pem -i @/letter.txt -o @/for-bob.p7m",
                                 "smime sign --mail --protect-header -k @/alice.p12 --pass-file @/pass -i @/mail.eml -o @/mail-protected.eml",
                                 "smime encrypt -r @/bob.pem -i @/forged.txt -o @/forged.p7m"})
            EXPECT_EQ(runIn(*this, line).status, 0) << line;
        // Certificates under RC2-40, as older Windows exports them; made where the openssl command runs.
        const std::string alice = write("alice-all.pem", testpki::keyPem(testpki::standardPki().alice.key.get()) +
                                                             read(files.aliceCertPem));
        runCommand({"openssl", "pkcs12", "-export", "-legacy", "-certpbe", "PBE-SHA1-RC2-40", "-in", alice, "-passout",
                    std::string("pass:") + testpki::KeyStoreFiles::kPassword, "-out", file("rc2.p12")});
        // CRLs of the root: none revoked, and Alice revoked a day ago.
        const testpki::StandardPki& pki = testpki::standardPki();
        const std::string rootCrl = testpki::crlPem(pki.root, {});
        write("root.crl", base64DecodeLines(rootCrl.substr(25, rootCrl.find("-----END") - 25))); // DER
        write("alice-revoked.crl", testpki::crlPem(pki.root, {{pki.alice.cert.get(), 86400}}));
        write("tampered.eml", replaced(read(file("clear.eml")), "noon", "nine"));
        write("mail-8bit.eml", "From: a@example.com\nContent-Type: text/plain; charset=utf-8\n\nCaf\xc3\xa9 = 1 \n");
        // As other mail clients send them: no line break after the close delimiter, no smime-type, a wrong one.
        const std::string clear = read(file("clear.eml")), opaque = read(file("signed.p7m"));
        write("unterminated.eml", clear.substr(0, clear.size() - 2));
        write("lf-clear.eml", replaced(clear, "\r\n", "\n"));
        write("upper.eml", replaced(clear, "protocol=\"application/pkcs7-signature\"", "protocol=\"Application/PKCS7-Signature\""));
        write("mail-redirected.eml", replaced(read(file("mail-protected.eml")), "Subject: Lunch\r\n", "Subject: Lunch\r\nReply-To: mallory@example.com\r\n"));
        write("untyped.p7m", replaced(opaque, "application/pkcs7-mime;\r\n   smime-type=signed-data;", "application/x-pkcs7-mime;"));
        write("mislabelled.p7m", replaced(read(file("for-bob.p7m")), "enveloped-data", "signed-data"));
        runCommand({"openssl", "cms", "-sign", "-nocerts", "-nodetach", "-binary", "-crlfeol", "-signer", file("alice.pem"), "-inkey", alice,
                    "-in", file("letter.txt"), "-out", file("nocerts.p7m")});
        write("lf.p7m", replaced(read(file("signed.p7m")), "\r\n", "\n"));
        for (const std::string kind : {"signed", "enveloped"})
            write("malformed-" + kind + ".p7m", "Content-Type: application/pkcs7-mime; smime-type=" + kind + "-data\r\nContent-Transfer-Encoding: base64\r\n\r\nMAMCAQA=\r\n");
    }
};

// Standard output is out exactly, or holds it when out ends in "..."; standard error is empty, or one line holding err.
struct Invocation { std::string line; int status; std::string err, out = "", input = ""; };

const Folder& folder() { static const Folder made; return made; }

void runAll(const std::vector<Invocation>& invocations) {
    for (const Invocation& row : invocations) {
        SCOPED_TRACE(row.line);
        const CommandResult run = runIn(folder(), row.line, row.input);
        EXPECT_EQ(run.status, row.status) << run.err;
        const std::string err = replaced(row.err, "@/", folder().file(""));
        const bool lineAfterLine = row.line.find("smime open") != std::string::npos; // a line for every layer
        EXPECT_TRUE(err.empty() ? run.err.empty() : run.err.find(err) != std::string::npos && (lineAfterLine || run.err.find('\n') == run.err.size() - 1))
            << "wanted one line holding " << err << "\ngot " << run.err;
        // What sign and encrypt write is ready for a mail server: no bare LF, unless asked for the raw bytes.
        const bool protects = row.line.find("smime sign") != std::string::npos || row.line.find("smime encrypt") != std::string::npos;
        if (protects && run.status == 0) {
            EXPECT_EQ(replaced(run.out, "\r\n", "").find('\n') != std::string::npos, row.line.find("--raw") != std::string::npos);
        }
        const bool part = row.out.size() >= 3 && row.out.compare(row.out.size() - 3, 3, "...") == 0;
        EXPECT_TRUE(part ? run.out.find(row.out.substr(0, row.out.size() - 3)) != std::string::npos : run.out == row.out)
            << "wanted " << row.out << "\ngot " << run.out;
        EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no control characters reach the terminal";
    }
}

const std::string kLfLetter = "Content-Type: text/plain\n\nline one\nline two\n", kOpaque = "smime-type=signed-data...",
                  kGood = "smime verify: good signature from CN=Alice,O=Test PKI <alice@example.com> (",
                  kFailed = "SMIME_PROVIDER_FAILED: ",
                  kMismatch = kFailed + "the signature does not match the content (signer: CN=Alice,O=Test PKI <alice@example.com>)";

TEST(SmimeTool, EachSubcommandDoesItsWork) {
    runAll({
        {"SMIME_PASSWORD=@PASS smime sign -k @/alice.p12 --digest sha512 > @/sha512.p7m", 0, "", kOpaque, kLetter},
        {"SMIME_PASSWORD=@PASS smime sign -k @/alice.p12 --digest sha512 --detached > @/sha512.eml", 0, "", "Content-Type: multipart/signed...", kLetter},
        {"smime verify --trust @/ca.pem -i @/sha512.p7m", 0, kGood + "sha512", kLetter},
        {"smime verify --trust @/ca.pem -i @/sha512.eml", 0, kGood + "sha512", kLetter},
        {"smime verify --no-chain -i @/stranger.p7m", 0, "UTC; certificate chain not checked)", kLetter},
        {"smime info < @/sha512.p7m", 0, "", "kind: signed data..."},
        {"smime info < @/sha512.eml", 0, "", "kind: clear-signed..."},
        {"smime encrypt -r @/alice.pem -r @/bob.pem --cipher aes128 -i @/letter.txt -o @/secret.p7m", 0, ""},
        {"smime info -i @/secret.p7m", 0, "", "kind: enveloped data..."},
        {"smime decrypt -k @/alice.p12 -p @PASS -i @/secret.p7m", 0, "", kLetter},
        {"smime decrypt -k @/bob.p12 -p @PASS -i @/secret.p7m", 0, "", kLetter},
        {"smime encrypt -r @/alice.pem -r @/bob.pem --cipher aes256-gcm --oaep -i @/letter.txt -o @/gcm.p7m", 0, ""},
        {"smime info -i @/gcm.p7m", 0, "", "kind: authenticated enveloped data (application/pkcs7-mime; smime-type=authEnveloped-data)..."},
        {"smime decrypt -k @/alice.p12 -p @PASS -i @/gcm.p7m", 0, "", kLetter},
        {"SMIME_PASSWORD=@PASS smime sign --pss -k @/alice.p12 > @/pss.p7m", 0, "", kOpaque, kLetter},
        {"smime verify --trust @/ca.pem -i @/pss.p7m", 0, kGood + "sha256 with RSASSA-PSS", kLetter},
        {"smime sign --crlf -k @/alice.p12 --pass-file @/pass > @/crlf.p7m", 0, "", kOpaque, kLfLetter},
        {"smime verify --trust @/ca.pem < @/crlf.p7m", 0, kGood, replaced(kLfLetter, "\n", "\r\n")},
        {"smime verify --crlf --trust @/ca.pem -i @/lf.p7m", 0, kGood, kLetter},
        {"smime verify --trust @/ca.pem --crl @/root.crl --sender ALICE@example.COM -i @/signed.p7m", 0,
         kGood, kLetter},
        {"smime verify --trust @/ca.pem --at-signing-time -i @/signed.p7m", 0, "; valid when signed on 20", kLetter},
        {"smime verify --trust @/ca.pem --at 2021-06-30T12:00:00+02:00 -i @/signed.p7m", 1, "a certificate is outside its validity period"},
        {"smime sign --raw -k @/alice.p12 --pass-file @/pass", 0, "", kOpaque, kLetter},
        {"smime sign -k @/alice.p12 --pass-file @/pass -i @/large.txt -o @/large.p7m", 0, ""},
        {"smime verify --trust @/ca.pem -i @/large.p7m", 0, kGood, kLargeLetter},
        {"smime encrypt -r @/bob.pem -o @/large-secret.p7m < @/large.txt", 0, ""},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/large-secret.p7m", 0, "", kLargeLetter},
        // A whole mail: signed, then encrypted with its header protected, and opened again.
        {"smime sign --mail -k @/alice.p12 --pass-file @/pass -i @/mail.eml", 0, "", kOuterFields + "Subject: Lunch\r\nKeywords: food\r\nMIME-Version: 1.0\r\nContent-Type: application/pkcs7-mime;..."},
        {"smime sign --mail --detached -k @/alice.p12 --pass-file @/pass -i @/mail-8bit.eml", 0, "", "charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nCaf=C3=A9 =3D 1=20\r\n..."},
        {"smime sign --mail -k @/alice.p12 --pass-file @/pass -i @/mail.eml -o @/mail-signed.eml", 0, ""},
        {"smime verify --mail --trust @/ca.pem -i @/mail-signed.eml", 0, kGood, kOuterFields + "Subject: Lunch\r\nKeywords: food\r\nMIME-Version: 1.0\r\n" + kLetter},
        {"smime sign --mail --hide-header -k @/alice.p12 --pass-file @/pass -i @/mail.eml -o @/mail-hidden.eml", 0, ""},
        {"smime encrypt --mail -r @/bob.pem -i @/mail-hidden.eml -o @/mail-both.eml", 0, ""},
        {"cat @/mail-both.eml", 0, "", kOuterFields + "Subject: [...]\r\nMIME-Version: 1.0\r\n..."},
        {"smime decrypt --mail -k @/bob.p12 --pass-file @/pass -i @/mail-both.eml", 0, "", kOuterFields + "Subject: [...]\r\nMIME-Version: 1.0\r\nContent-Type: application/pkcs7-mime;..."},
        {"smime open --mail -k @/bob.p12 --pass-file @/pass --trust @/ca.pem -i @/mail-both.eml", 0, "smime open: layer 2, signed (opaque): good signature from CN=Alice",
         kOuterFields + "Subject: Lunch\r\nKeywords: food\r\nMIME-Version: 1.0\r\n" + kLetter},
        // What the outer header says against the protected one: a field added in transit, a claim no signature covers.
        {"smime open --trust @/ca.pem -i @/mail-redirected.eml", 0, "the outer Reply-To was added in transit: 'mallory@example.com'", "Content-Type: text/plain; hp=\"clear\"..."},
        {"smime open -k @/bob.p12 --pass-file @/pass -i @/forged.p7m", 0, "(hp=\"clear\") that no signature covers: ignored", "Content-Type: text/plain; hp=\"clear\"..."},
        {"smime open --trust @/ca.pem -i @/upper.eml", 0, "layer 1, clear-signed: good signature from CN=Alice", kLetter},
        {"smime open --trust @/ca.pem -i @/clear.eml", 0, "smime open: layer 1, clear-signed: good signature from CN=Alice", kLetter},
        {"smime verify --trust @/ca.pem -i @/unterminated.eml", 0, kGood, kLetter},
        {"smime verify --trust @/ca.pem -i @/lf-clear.eml", 0, kGood, kLetter},
        {"smime verify --trust @/ca.pem -i @/untyped.p7m", 0, kGood, kLetter},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/mislabelled.p7m", 0, "", kLetter},
        {"smime info", 0, "", "not S/MIME...", "Content-Type: text/plain\r\n \r\n\r\nbody"},
        {"smime info", 0, "", "...", std::string("\x1b[2J\x00\xff binary", 12)},
        // TMPDIR for POSIX systems, TMP for Windows: the demo leaves nothing there.
        {"TMPDIR=@/tmp TMP=@/tmp smime demo", 0, "", "refused, as it should be: not verified: " + kMismatch + "\nsmime demo: every step behaved as expected..."},
        {"smime --help", 0, "", "usage: smime COMMAND..."},
        {"smime --version", 0, "", "smime ..."},
        {"tour @/alice.p12 @PASS @/bob.pem", 0, "", "login: ok\ncredential: can sign; can decrypt; certificate valid now\nset message: ok\nsign: ok\n"
         "signer: CN=Alice,O=Test PKI\nverify: ok\nencrypt: ok\ndecrypt: ok\ncontent: Content-Type: text/plain\r\n\r\nHello, S/MIME.\r\nlogout: ok\n"},
        {"tour @/alice.p12 wrong @/bob.pem", 1, "", "login: failed with status 10: wrong password for the key store\n"},
    });
    EXPECT_TRUE(std::filesystem::is_empty(folder().file("tmp"))) << "the demo's folder is gone";
}

TEST(SmimeTool, FailuresGiveTheirExitStatusAndOneLineNamingTheCause) {
    std::vector<Invocation> rows = {
        {"smime sign -k @/alice.p12 -p wrong -i @/letter.txt", 2, "smime sign: cannot log in with '@/alice.p12': " + kFailed + "wrong password for the key store"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass --id carol -i @/for-bob.p7m", 2, kFailed + "no identity in the key store matches the principal"},
        {"smime info -i @/absent.txt", 2, "smime info: cannot open '@/absent.txt': No such file or directory"},
        {"smime sign -k @/absent.p12 -i @/letter.txt", 2, "the key store cannot be read or is not PKCS#12 or PEM"},
        {"smime verify -i @/letter.txt", 2, "smime verify: cannot verify: SMIME_BAD_MESSAGE"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/signed.p7m", 2, "SMIME_BAD_MESSAGE"},
        {"smime verify --trust @/ca.pem -i @/tampered.eml", 1, "smime verify: not verified: " + kMismatch},
        {"smime verify --trust @/ca.pem -i @/stranger.p7m", 1, "the signer's certificate does not chain to a trusted certificate (signer: CN=Stranger"},
        {"smime verify --trust @/ca.pem --crl @/alice-revoked.crl --check-revocation -i @/signed.p7m", 1,
         "a certificate of the signer's chain is revoked, revoked on 20"},
        {"smime verify --trust @/ca.pem --check-revocation -i @/signed.p7m", 1, "no current CRL or OCSP answer"},
        {"smime verify --trust @/ca.pem --sender eve@example.com -i @/signed.p7m", 1,
         "smime verify: not verified: the signer's certificate does not name the sender eve@example.com (signer: CN=Alice,O=Test PKI <alice@example.com>)"},
        {"smime verify --no-chain --check-revocation -i @/signed.p7m", 2, "--no-chain leaves no chain for revocation or a time"},
        {"smime verify --at yesterday -i @/signed.p7m", 2, "smime verify: --at 'yesterday' is neither seconds since 1970 nor an ISO 8601 time"},
        {"smime verify --crl @/letter.txt --check-revocation -i @/signed.p7m", 2, "a required argument is missing or malformed"},
        {"smime decrypt -k @/alice.p12 --pass-file @/pass -i @/for-bob.p7m", 1, "smime decrypt: cannot decrypt: " + kFailed + "the message is not encrypted for this credential"},
        {"smime frobnicate", 2, "smime: unknown subcommand 'frobnicate' (see smime --help)"},
        {"smime verify --fast", 2, "smime verify: unknown option '--fast'"},
        {"smime sign -k", 2, "smime sign: option -k needs a value"},
        {"smime decrypt", 2, "smime decrypt: -k KEYSTORE is required"},
        {"smime decrypt -k @/bob.p12 --pass-file -", 2, "smime decrypt: the password and the message cannot both come from standard input"},
        {"smime sign -k @/alice.p12 --digest md2 -i @/letter.txt", 2, "smime sign: unknown digest 'md2'"},
        {"smime encrypt -i @/letter.txt", 2, "at least one -r CERT.pem is required"},
        {"smime encrypt -r @/letter.txt -i @/letter.txt", 2, kFailed + "a recipient certificate cannot be read or used for encryption ('@/letter.txt')"},
        {"smime sign -k @/alice.p12 -i @/letter.txt", 2, "wrong password for the key store (no password was given: -p, --pass-file or SMIME_PASSWORD)"},
        {"smime verify -i @/malformed-signed.p7m", 2, "smime verify: cannot verify: " + kFailed + "the PKCS#7 data is malformed"},
        {"smime decrypt -k @/bob.p12 --pass-file @/pass -i @/malformed-enveloped.p7m", 2, "smime decrypt: cannot decrypt: " + kFailed + "the PKCS#7 data is malformed"},
        {"smime verify -i @/lf.p7m", 2, "(its lines end in bare LF: try --crlf)"},
        {"smime verify --trust @/alice.p12 -i @/signed.p7m", 2, "smime verify: '@/alice.p12' holds no PEM certificate"},
        {"smime sign -k @/alice.p12 -detached", 2, "smime sign: unknown option '-detached'"},
        {"smime sign --protect-header -k @/alice.p12 -i @/mail.eml", 2, "smime sign: --protect-header needs --mail"},
        {"smime encrypt --mail --protect-header -r @/bob.pem -i @/mail-protected.eml", 2, "smime encrypt: the mail is signed already; to protect its header, sign it with --hide-header"},
        {"smime sign --mail -k @/alice.p12 --pass-file @/pass", 2, "the mail's header has a line that is no header field", "", "Subject: x\nno field\n\nbody\n"},
        {"smime open --trust @/ca.pem -i @/letter.txt", 2, "smime open: the input has no S/MIME layer"},
        {"smime open -i @/for-bob.p7m", 2, "smime open: layer 1: an encrypted layer needs a key store: -k KEYSTORE"},
        {"smime open -k @/alice.p12 --pass-file @/pass -i @/for-bob.p7m", 1, "layer 1, encrypted with aes-256-cbc for serial 0x"},
        {"smime open --trust @/ca.pem -i @/tampered.eml", 1, "smime open: layer 1, clear-signed: not verified: " + kMismatch},
        {"smime verify --trust @/ca.pem -i @/signed.p7m -o @/absent/content.txt", 2, "smime verify: cannot create a file beside '@/absent/content.txt'"},
    };
    if (std::filesystem::exists(folder().file("nocerts.p7m"))) // a signature without certificates, and the signer's given
        rows.push_back({"smime verify --certs @/alice.pem --trust @/ca.pem -i @/nocerts.p7m", 0, kGood, kLetter});
    // Without OpenSSL's legacy provider, an RC2 key store is named as such, not taken for a wrong password.
    if (std::filesystem::exists(folder().file("rc2.p12")))
        rows.push_back({"OPENSSL_MODULES=@/absent smime decrypt -k @/rc2.p12 --pass-file @/pass -i @/for-bob.p7m", 2,
                        kFailed + "an algorithm of the message or key store is not supported: the key store's protection "
                                  "pbeWithSHA1And40BitRC2-CBC (1.2.840.113549.1.12.1.6)"});
    runAll(rows);
}

// A null device to write through: as root, one of our own in the folder, so that a tool that wrongly replaces it does no harm.
std::string nullDevice() {
#if defined(_WIN32)
    return "NUL";
#else
    const std::string own = folder().file("null");
    const int opened = mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? open(own.c_str(), O_WRONLY) : -1;
    if (opened >= 0 && close(opened) == 0) return own;
    unlink(own.c_str()); // a folder on a file system without devices
    return "/dev/null";
#endif
}

// An existing file survives a failed command and keeps its mode when one replaces it; a device is written through, not replaced.
TEST(SmimeTool, OutputArrivesWholeOrNotAtAll) {
    const std::string kept = folder().file("kept.txt"), device = nullDevice();
    folder().write("kept.txt", "precious");
#if !defined(_WIN32)
    chmod(kept.c_str(), 0640);
#endif
    const std::string decrypt = "smime decrypt -k @/bob.p12 --pass-file @/pass -i @/signed.p7m -o @/", verify = "smime verify --trust @/ca.pem -i @/signed.p7m -o ";
    runAll({{decrypt + "out.txt", 2, "SMIME_BAD_MESSAGE"}, {decrypt + "kept.txt", 2, "SMIME_BAD_MESSAGE"}, {"cat @/kept.txt", 0, "", "precious"},
            {verify + "@/kept.txt", 0, kGood}, {verify + device, 0, kGood}, {"cat @/kept.txt", 0, "", kLetter}});
#if !defined(_WIN32)
    struct stat keptStat {}, deviceStat {};
    EXPECT_TRUE(stat(kept.c_str(), &keptStat) == 0 && (keptStat.st_mode & 0777) == 0640) << "mode kept";
    EXPECT_TRUE(stat(device.c_str(), &deviceStat) == 0 && S_ISCHR(deviceStat.st_mode)) << device;
#endif
    EXPECT_FALSE(std::filesystem::exists(folder().file("out.txt")));
    for (const auto& entry : std::filesystem::directory_iterator(folder().file("")))
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << "left behind: " << entry.path();
}

// The README holds examples/tour.cpp verbatim, and its tool examples run as written in a shell with smime on the PATH.
TEST(SmimeTool, ReadmeExamplesWorkAsWritten) {
    const std::string readme = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/README.md");
    const std::string program = TempDir::read(std::string(SMIME_SOURCE_DIR) + "/examples/tour.cpp");
    EXPECT_TRUE(!program.empty() && readme.find("```cpp\n" + program + "```\n") != std::string::npos) << "tour.cpp as it is";
#if defined(_WIN32)
    GTEST_SKIP() << "the examples are written for a POSIX shell";
#endif
    const std::string begin = "<!-- tool examples: run by the tests -->\n```sh\n";
    const std::size_t start = readme.find(begin);
    ASSERT_NE(start, std::string::npos) << "README.md lost its marked block of tool examples";
    const std::string script = readme.substr(start + begin.size(), readme.find("```\n", start + begin.size()) - start - begin.size());
    TempDir dir;
    const std::string path = "PATH=" + std::filesystem::path(SMIME_PROGRAM).parent_path().string() + ":/usr/bin:/bin";
    const CommandResult run = runCommand({"bash", "-euo", "pipefail", "-c", "cd " + dir.file("") + "\n" + script}, "", {path});
    EXPECT_EQ(run.status, 0) << "script:\n" << script << "\nout:\n" << run.out << "\nerr:\n" << run.err;
}

} // namespace
