// S/MIME between SMIMEMessage and other tools, both ways, for every row a peer supports; the content comes
// through byte for byte. A new peer is a row of kPeers with the functions that drive its tool.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_command.h"
#include "smime_der.h"
#include "provider_environment.h"
#include "temp_dir.h"

namespace {

using testpki::keyStoreFiles;
using testpki::standardPki;

const std::string kText = "Content-Type: text/plain; charset=us-ascii\r\n\r\nInterop with\r\nanother tool.\r\n";
// Every byte value, so that any line-end translation shows; and content cut into many BER chunks.
std::string made(std::string bytes, int count, std::string (*piece)(int)) {
    for (int i = 0; i < count; ++i) bytes += piece(i);
    return bytes;
}
const std::string kBinary = made("Content-Type: application/octet-stream\r\n\r\n", 256,
                                 [](int b) { return std::string(1, static_cast<char>(b)); });
const std::string kLarge = made("Content-Type: text/plain; charset=us-ascii\r\n\r\n", 4000,
                                [](int line) { return "Line " + std::to_string(line) + " of a long message.\r\n"; });

enum Who { Alice, Bob, Carol }; // RSA, EC, RSA in a PEM key store

TempDir& scratch() { static TempDir folder; return folder; }

struct Party {
    std::string keyStore, certPem, keyPem; // keyPem unencrypted, for the other tools
    const char* commonName;
};
const Party& party(Who who) {
    const auto& files = keyStoreFiles();
    const auto key = [](const char* name, const testpki::Identity& i) { return scratch().write(name, testpki::keyPem(i.key.get())); };
    static const Party parties[] = {{files.aliceP12, files.aliceCertPem, key("a.key", standardPki().alice), "CN=Alice"},
                                    {files.bobP12, files.bobCertPem, key("b.key", standardPki().bob), "CN=Bob"},
                                    {files.carolPem, files.carolCertPem, key("c.key", standardPki().carol), "CN=Carol"}};
    return parties[who];
}

struct Algorithm {
    const char *name, *gpgsm; // as openssl and gpgsm name it
    unsigned ours;            // the digestAlgorithm_t or encryptionAlgorithmStrength_t
};
const Algorithm kSha1{"sha1", "SHA1", digestSHA1}, kSha256{"sha256", "SHA256", digestSHA256},
    kSha384{"sha384", "SHA384", digestSHA384}, kSha512{"sha512", "SHA512", digestSHA512};
const Algorithm kAes128{"aes-128-cbc", "AES", strengthAES128}, kAes192{"aes-192-cbc", "AES192", strengthAES192},
    kAes256{"aes-256-cbc", "AES256", strengthAES256}, kDes3{"des-ede3-cbc", "3DES", strengthDES3},
    kDefaultCipher{"aes-256-cbc", "AES256", strengthDefault}, // ours alone can ask for "the default"
    kAes128Gcm{"aes-128-gcm", "", strengthAES128GCM}, kAes256Gcm{"aes-256-gcm", "", strengthAES256GCM};

// form: opaque, detached, or embedded (multipart/signed whose signature holds the content too). keyopt: the peer's
// key options in openssl's words; when it is not empty the signatures are RSASSA-PSS, ours with our parameters.
struct Signature {
    Who signer;
    const Algorithm* digest;
    const char* form;
    const std::string* content;
    bool tampered;
    std::string keyopt = "";
    bool pss() const { return !keyopt.empty(); }
};
const Signature kSignatures[] = {
    {Alice, &kSha256, "opaque", &kText, false},  {Alice, &kSha512, "detached", &kText, false},
    {Bob, &kSha384, "opaque", &kText, false},    {Bob, &kSha256, "detached", &kText, false},
    {Carol, &kSha1, "opaque", &kText, false},    {Carol, &kSha512, "detached", &kText, false},
    {Alice, &kSha1, "detached", &kText, false},  {Alice, &kSha256, "opaque", &kBinary, false},
    {Alice, &kSha384, "opaque", &kLarge, false}, {Alice, &kSha384, "detached", &kLarge, false},
    {Carol, &kSha512, "embedded", &kText, false}, {Alice, &kSha256, "detached", &kText, true},
    {Alice, &kSha256, "opaque", &kText, false, "rsa_padding_mode:pss"},
    {Carol, &kSha512, "detached", &kText, false, "rsa_padding_mode:pss rsa_pss_saltlen:20"},
};

// keyopt as for signatures: when it is not empty, RSA recipients get RSAES-OAEP, ours with our parameters.
struct Envelope {
    std::vector<Who> recipients;
    const Algorithm* cipher;
    const std::string* content;
    std::string keyopt = "";
};
const Envelope kEnvelopes[] = {
    {{Alice}, &kDefaultCipher, &kText},      {{Alice}, &kAes192, &kText},          {{Alice}, &kDes3, &kText},
    {{Alice, Bob, Carol}, &kAes192, &kText}, {{Carol, Alice}, &kAes256, &kBinary}, {{Bob, Carol}, &kDes3, &kText},
    {{Bob}, &kAes256, &kText},               {{Alice}, &kAes128, &kLarge},        {{Alice, Bob}, &kAes256Gcm, &kText},
    {{Alice}, &kAes128Gcm, &kLarge},         {{Alice}, &kAes256, &kText, "rsa_padding_mode:oaep"},
    {{Alice, Bob}, &kAes128Gcm, &kText, "rsa_padding_mode:oaep rsa_oaep_md:sha512 rsa_oaep_label:0123456789ABCDEF"},
};

std::string tamper(std::string message) { return message.replace(message.find("Interop"), 1, "i"); }
bool isOpaque(const Signature& row) { return std::strcmp(row.form, "opaque") == 0; }

// unavailable: why the peer cannot run here, empty when it can; keys: whose private keys it holds; oneRecipient: it
// decrypts only single-recipient envelopes; reads: what it reads of ours beyond its ciphers (both ways): "pss"
// signatures, "oaep" envelopes, ciphers it does not make; makes: "pss" or "oaep" for us. out is the content, or (sign,
// encrypt) the message for us.
struct Peer {
    const char* name;
    std::vector<std::string> command; // what the operations' arguments follow
    std::string (*unavailable)();
    std::vector<Who> keys;
    std::string forms, digests, ciphers, reads, makes;
    bool ecEnvelopes, oneRecipient;
    CommandResult (*verify)(const Peer&, const std::string& message, const Signature&);
    CommandResult (*decrypt)(const Peer&, const std::string& message, Who);
    CommandResult (*sign)(const Peer&, const Signature&);
    CommandResult (*encrypt)(const Peer&, const Envelope&);
};

CommandResult runPeer(const Peer& peer, std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), peer.command.begin(), peer.command.end());
    return runCommand(args, input);
}
std::string opensslUnavailable() { return haveCommand("openssl") ? "" : "openssl is not on PATH"; }

// What `cms -cmsout -print` names the first algorithm after label, e.g. "sha256".
std::string printedAlgorithm(const std::string& file, const std::string& label) {
    const std::string dump = runCommand({"openssl", "cms", "-cmsout", "-print", "-noout", "-in", file}).out;
    const std::size_t start = dump.find("algorithm: ", dump.find(label)) + 11;
    return dump.substr(start, dump.find(" (", start) - start);
}

CommandResult opensslVerify(const Peer& peer, const std::string& message, const Signature& row) {
    const std::string file = scratch().write("ours.eml", message);
    EXPECT_EQ(printedAlgorithm(file, "signerInfos:"), row.digest->name);
    return runPeer(peer, {"-verify", "-in", file, "-CAfile", keyStoreFiles().rootPem});
}
CommandResult opensslDecrypt(const Peer& peer, const std::string& message, Who who) {
    return runPeer(peer, {"-decrypt", "-in", scratch().write("ours.eml", message), "-recip", party(who).certPem,
                          "-inkey", party(who).keyPem});
}
// Each of keyopt's words as a -keyopt of the key or certificate just given.
void addKeyopts(std::vector<std::string>& args, const std::string& keyopt) {
    std::istringstream words(keyopt);
    for (std::string word; words >> word;) args.insert(args.end(), {"-keyopt", word});
}
CommandResult opensslSign(const Peer& peer, const Signature& row) {
    std::vector<std::string> args = {"-sign", "-md", row.digest->name, "-crlfeol", "-in",
                                     scratch().write("content", *row.content), "-signer", party(row.signer).certPem,
                                     "-inkey", party(row.signer).keyPem};
    addKeyopts(args, row.keyopt);
    if (isOpaque(row)) args.insert(args.end(), {"-nodetach", "-binary"});
    return runPeer(peer, args);
}
CommandResult opensslEncrypt(const Peer& peer, const Envelope& row) {
    std::vector<std::string> args = {"-encrypt", std::string("-") + row.cipher->name, "-binary", "-crlfeol", "-in",
                                     scratch().write("content", *row.content)};
    // Key options follow the recipient they are for (openssl smime takes neither).
    for (Who who : row.recipients) {
        if (!row.keyopt.empty()) args.emplace_back("-recip");
        args.push_back(party(who).certPem);
        if (who != Bob) addKeyopts(args, row.keyopt);
    }
    return runPeer(peer, args);
}

const std::string kPythonScript = std::string(SMIME_SOURCE_DIR) + "/tests/interop/python_smime.py";
std::string pythonUnavailable() {
    if (!haveCommand("python3")) return "python3 is not on PATH";
    const CommandResult check = runCommand({"python3", kPythonScript, "check"});
    return check.status == 0 ? "" : "python3 cannot run the script: " + check.err;
}

CommandResult pythonDecrypt(const Peer& peer, const std::string& message, Who who) {
    return runPeer(peer, {"decrypt", party(who).certPem, party(who).keyPem}, message);
}
CommandResult pythonSign(const Peer& peer, const Signature& row) {
    return runPeer(peer, {"sign", party(row.signer).certPem, party(row.signer).keyPem, row.digest->name, row.form,
                          row.pss() ? "pss" : "pkcs1"}, *row.content);
}

// Its envelopes end lines in bare LF; our parser reads CR LF headers, so they are converted as `--crlf` would.
CommandResult pythonEncrypt(const Peer& peer, const Envelope& row) {
    std::vector<std::string> args = {"encrypt", row.cipher->name};
    for (Who who : row.recipients) args.push_back(party(who).certPem);
    CommandResult made = runPeer(peer, args, *row.content);
    for (std::size_t at = made.out.find('\n'); at != std::string::npos; at = made.out.find('\n', at + 2))
        made.out.insert(at, 1, '\r');
    return made;
}

// A message of ours as another engine reads it: the signature token as DER, and for a multipart the content as it
// came (a tampered row changed it there).
struct BareSignature {
    std::string der, content;
};
BareSignature bareSignature(const std::string& message, const Signature& row) {
    if (isOpaque(row)) return {derFromSmime(message), ""};
    const TextRange body = signatureBody(message);
    return {base64DecodeLines(message.substr(body.first, body.last - body.first)),
            message.substr(message.find(row.content->substr(0, 30)), row.content->size())};
}
// What another engine made as bare DER, in the S/MIME form we read.
CommandResult signedFromDer(CommandResult made, const Signature& row) {
    made.out = isOpaque(row) ? smimeFromDer(made.out, "signed-data") : clearSignedFromDer(*row.content, made.out);
    return made;
}
CommandResult envelopedFromDer(CommandResult made, const Envelope& row) {
    made.out = smimeFromDer(made.out, row.cipher->ours & KIVO_STRENGTH_GCM ? "authEnveloped-data" : "enveloped-data");
    return made;
}

// Engines driven by a program of ours in tests/interop/ that reads and writes bare DER (usage in each program):
// sign CERT KEY HASH FORM PADDING, verify CA [CONTENT], encrypt CIPHER PADDING CERT..., decrypt CERT KEY.
CommandResult programVerify(const Peer& peer, const std::string& message, const Signature& row) {
    const BareSignature bare = bareSignature(message, row);
    if (isOpaque(row)) return runPeer(peer, {"verify", keyStoreFiles().rootPem}, bare.der);
    const CommandResult verified = runPeer(peer, {"verify", keyStoreFiles().rootPem, scratch().write("c", bare.content)}, bare.der);
    return {verified.status, bare.content, verified.err};
}
CommandResult programDecrypt(const Peer& peer, const std::string& message, Who who) {
    return runPeer(peer, {"decrypt", party(who).certPem, party(who).keyPem}, derFromSmime(message));
}
CommandResult programSign(const Peer& peer, const Signature& row) {
    return signedFromDer(runPeer(peer, {"sign", party(row.signer).certPem, party(row.signer).keyPem, row.digest->name,
                                        row.form, row.pss() ? "pss" : "pkcs1"}, *row.content), row);
}
CommandResult programEncrypt(const Peer& peer, const Envelope& row) {
    std::vector<std::string> args = {"encrypt", row.cipher->name, row.keyopt.empty() ? "pkcs1" : "oaep"};
    for (Who who : row.recipients) args.push_back(party(who).certPem);
    return envelopedFromDer(runPeer(peer, args, *row.content), row);
}

// Bouncy Castle for Java, through tests/interop/BcSmime.java, compiled once per run.
const std::string kBcJars = "/usr/share/java/bcprov.jar:/usr/share/java/bcpkix.jar:/usr/share/java/bcutil.jar";
std::string bcClassPath() { return scratch().file("bc") + ":" + kBcJars; }
std::string bcUnavailable() {
    static const std::string why = [] {
        if (!haveCommand("javac") || !haveCommand("java")) return std::string("javac or java is not on PATH");
        const CommandResult built = runCommand({"javac", "-cp", kBcJars, "-d", scratch().file("bc"),
                                                std::string(SMIME_SOURCE_DIR) + "/tests/interop/BcSmime.java"});
        if (built.status != 0) return "BcSmime.java does not build (is libbcpkix-java installed?): " + built.err;
        const CommandResult check = runCommand({"java", "-cp", bcClassPath(), "BcSmime", "check"});
        return check.status == 0 ? std::string() : "Bouncy Castle cannot run: " + check.err;
    }();
    return why;
}

// NSS, the engine of a major mail client, through its cmsutil (tests/interop/nss_smime.py).
const std::string kNssScript = std::string(SMIME_SOURCE_DIR) + "/tests/interop/nss_smime.py";
std::string nssUnavailable() {
    if (!haveCommand("python3")) return "python3 is not on PATH";
    const CommandResult check = runCommand({"python3", kNssScript, "check"});
    return check.status == 0 ? "" : "NSS's tools cannot run (is libnss3-tools installed?): " + check.err;
}

// gpgsm reads and writes bare CMS. Its home trusts the test root and holds alice's key and carol's certificate;
// its agent has no pinentry (a missing passphrase fails at once) and uses few S2K iterations, for speed.
class GpgsmHome {
public:
    GpgsmHome() {
        std::filesystem::create_directory(home_);
        chmod(home_.c_str(), 0700);
        const std::string print = runCommand({"openssl", "x509", "-noout", "-fingerprint", "-sha1", "-in",
                                              keyStoreFiles().rootPem}).out; // SHA1 Fingerprint=AB:...
        folder_.write("g/trustlist.txt", print.substr(print.find('=') + 1, 59) + " S\n");
        folder_.write("g/gpg-agent.conf", "pinentry-program " + folder_.file("none") + "\ns2k-count 65536\n");
        run({"--import", keyStoreFiles().rootPem});
        run({"--import", keyStoreFiles().carolCertPem});
        // gpgsm 2.2 fails on about one in 40 legacy PKCS#12 files, by salt alone ("trying charset ..."): made again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::string store = testpki::pkcs12(standardPki().alice, {}, testpki::KeyStoreFiles::kPassword, "",
                                                      testpki::Pkcs12Kind::Legacy);
            imported_ = run({"--import", folder_.write("key.p12", store)}, true);
            if (imported_.err.find("trying charset") == std::string::npos) break;
        }
    }
    ~GpgsmHome() { runCommand({"gpgconf", "--kill", "all"}, "", {"GNUPGHOME=" + home_}); }
    std::string setupError() const { return imported_.status == 0 ? "" : "importing a key failed: " + imported_.err; }
    // Data goes through files (-o): out is then what gpgsm wrote.
    CommandResult run(std::vector<std::string> args, bool passphrase = false) const {
        if (passphrase) args.insert(args.begin(), {"--pinentry-mode", "loopback", "--passphrase-fd", "0"});
        const std::string out = folder_.file("out");
        std::filesystem::remove(out);
        args.insert(args.begin(), {"gpgsm", "--batch", "--yes", "--disable-crl-checks", "--disable-policy-checks",
                                   "--disable-dirmngr", "-o", out});
        CommandResult result = runCommand(args, passphrase ? std::string(testpki::KeyStoreFiles::kPassword) + "\n" : "",
                                          {"GNUPGHOME=" + home_, "LC_ALL=C"});
        result.out = TempDir::read(out);
        return result;
    }

private:
    TempDir folder_;
    std::string home_ = folder_.file("g");
    CommandResult imported_;
};

const GpgsmHome& gpgsm() { static const GpgsmHome home; return home; }
std::string gpgsmUnavailable() {
    return !haveCommand("gpgsm") || !haveCommand("gpgconf") ? "gpgsm or gpgconf is not on PATH" : gpgsm().setupError();
}

CommandResult gpgsmVerify(const Peer&, const std::string& message, const Signature& row) {
    const BareSignature bare = bareSignature(message, row);
    if (isOpaque(row)) return gpgsm().run({"--verify", scratch().write("ours.p7m", bare.der)});
    const CommandResult verified = gpgsm().run({"--verify", scratch().write("ours.p7s", bare.der), scratch().write("c", bare.content)});
    return {verified.status, bare.content, verified.err};
}

CommandResult gpgsmDecrypt(const Peer&, const std::string& message, Who) {
    return gpgsm().run({"--decrypt", scratch().write("ours.p7m", derFromSmime(message))}, true);
}
CommandResult gpgsmSign(const Peer&, const Signature& row) {
    std::vector<std::string> args = {"-u", "alice@example.com", "--digest-algo", row.digest->gpgsm, "--sign"};
    if (!isOpaque(row)) args.emplace_back("--detach-sign");
    args.push_back(scratch().write("content", *row.content));
    return signedFromDer(gpgsm().run(args, true), row);
}

CommandResult gpgsmEncrypt(const Peer&, const Envelope& row) {
    std::vector<std::string> args = {"--encrypt", "--cipher-algo", row.cipher->gpgsm};
    for (Who who : row.recipients) args.insert(args.end(), {"-r", who == Alice ? "alice@example.com" : "carol@example.com"});
    args.push_back(scratch().write("content", *row.content));
    return envelopedFromDer(gpgsm().run(args), row);
}

const char kAllDigests[] = "sha1 sha256 sha384 sha512";
const char kAllCiphers[] = "aes-128-cbc aes-192-cbc aes-256-cbc des-ede3-cbc";
const Peer kPeers[] = {
    {"openssl_cms", {"openssl", "cms"}, opensslUnavailable, {Alice, Bob, Carol}, "opaque detached", kAllDigests,
     std::string(kAllCiphers) + " aes-128-gcm aes-256-gcm", "pss oaep", "pss oaep", true, false, opensslVerify,
     opensslDecrypt, opensslSign, opensslEncrypt},
    // PKCS#7 knows key transport only: no envelope with an EC recipient, no authenticated one, no PSS or OAEP.
    {"openssl_smime", {"openssl", "smime"}, opensslUnavailable, {Alice, Bob, Carol}, "opaque detached", kAllDigests, kAllCiphers,
     "", "", false, false, opensslVerify, opensslDecrypt, opensslSign, opensslEncrypt},
    // It verifies no S/MIME signatures and has no key agreement.
    {"python_cryptography", {"python3", kPythonScript}, pythonUnavailable, {Alice, Bob, Carol}, "opaque detached embedded",
     "sha256 sha384 sha512", "aes-128-cbc aes-256-cbc", "", "pss", false, false, nullptr, pythonDecrypt, pythonSign,
     pythonEncrypt},
    // gpgsm 2.2 reads only legacy PKCS#12, crashes on an EC key in one, and may give up on several recipients; it
    // verifies PSS but makes none, and refuses every AES-GCM envelope, OpenSSL's too ("error getting IV: Buffer too
    // short", gpgsm 2.2.40 with libksba 1.6.3).
    {"gpgsm", {}, gpgsmUnavailable, {Alice}, "opaque detached", kAllDigests, kAllCiphers, "pss", "",
     false, true, gpgsmVerify, gpgsmDecrypt, gpgsmSign, gpgsmEncrypt},
    // NSS 3.87 makes no PSS, OAEP, GCM or AES-192, and reads no GCM, OAEP or key agreement (not even an RSA
    // recipient's part of an envelope that has an EC one); it verifies PSS.
    {"nss_cmsutil", {"python3", kNssScript}, nssUnavailable, {Alice, Bob, Carol}, "opaque detached", kAllDigests,
     "aes-128-cbc aes-256-cbc des-ede3-cbc", "pss aes-192-cbc", "", false, false, programVerify, programDecrypt,
     programSign, programEncrypt},
    // It makes OAEP with SHA-256 only, and PSS with the digest's salt; it reads every variant.
    {"bouncy_castle", {"java", "-cp", bcClassPath(), "BcSmime"}, bcUnavailable, {Alice, Bob, Carol}, "opaque detached",
     kAllDigests, std::string(kAllCiphers) + " aes-128-gcm aes-256-gcm", "pss oaep", "pss oaep", true, false,
     programVerify, programDecrypt, programSign, programEncrypt},
};

// Test names then carry the peer's name, not an address.
void PrintTo(const Peer* peer, std::ostream* out) { *out << peer->name; }

bool lists(const std::string& words, const std::string& word) {
    return (" " + words + " ").find(" " + word + " ") != std::string::npos;
}
bool holds(const Peer& peer, Who who) { return std::find(peer.keys.begin(), peer.keys.end(), who) != peer.keys.end(); }
std::string nameOf(const std::string* content, const char* algorithm, const char* form) {
    return std::string(algorithm) + " " + form + (content == &kBinary ? ", every byte" : content == &kLarge ? ", large" : "");
}

class Interop : public ::testing::TestWithParam<const Peer*> {
    void SetUp() override {
        const std::string why = GetParam()->unavailable();
        if (!why.empty()) GTEST_SKIP() << GetParam()->name << " skipped: " << why;
    }
};

TEST_P(Interop, SignaturesVerifyBothWays) {
    const Peer& peer = *GetParam();
    for (const Signature& row : kSignatures) {
        if (!lists(peer.forms, row.form) || !lists(peer.digests, row.digest->name)) continue;
        SCOPED_TRACE(nameOf(row.content, row.digest->name, row.form) + " by " + party(row.signer).commonName + " " + row.keyopt);
        const unsigned digest = row.digest->ours | (row.pss() ? KIVO_DIGEST_PSS : 0u);
        if (peer.verify != nullptr && std::strcmp(row.form, "embedded") != 0 && (!row.pss() || lists(peer.reads, "pss"))) {
            const std::string made = signedMessage(party(row.signer).keyStore, *row.content, !isOpaque(row),
                                                   static_cast<digestAlgorithm_t>(digest));
            const CommandResult verified = peer.verify(peer, row.tampered ? tamper(made) : made, row);
            EXPECT_EQ(verified.status == 0, !row.tampered) << "ours, verified by the peer: " << verified.err;
            EXPECT_TRUE(row.tampered || verified.out == *row.content);
        }
        if (!holds(peer, row.signer) || (row.pss() && !lists(peer.makes, "pss"))) continue;
        const CommandResult made = peer.sign(peer, row);
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string theirs = row.tampered ? tamper(made.out) : made.out;
        const Attempt a = verifyAs(party(Carol).keyStore, theirs);
        EXPECT_EQ(a.type, isOpaque(row) ? messageSignedData : messageClearSigned);
        expectOutcome(a, row.tampered ? KIVO_R_SIGNATURE_INVALID : KIVO_R_NONE, theirs, *row.content);
        if (row.tampered) continue;
        EXPECT_EQ(a.record->info.digest, digest);
        EXPECT_NE(a.record->subject().find(party(row.signer).commonName), std::string::npos) << a.record->subject();
    }
}

TEST_P(Interop, EnvelopesDecryptBothWaysForEveryRecipient) {
    const Peer& peer = *GetParam();
    for (const Envelope& row : kEnvelopes) {
        const bool ec = std::find(row.recipients.begin(), row.recipients.end(), Bob) != row.recipients.end();
        const bool oaep = !row.keyopt.empty(), bothWays = lists(peer.ciphers, row.cipher->name);
        if ((ec && !peer.ecEnvelopes) || (!bothWays && !lists(peer.reads, row.cipher->name))) continue;
        SCOPED_TRACE(nameOf(row.content, row.cipher->name, "envelope") + " " + row.keyopt);
        std::vector<std::string> pems;
        for (Who who : row.recipients) pems.push_back(TempDir::read(party(who).certPem));
        const std::string enveloped = scratch().write(
            "ours.eml", envelopedFor(pems, static_cast<encryptionAlgorithmStrength_t>(row.cipher->ours | (oaep ? strengthOAEP : 0u)),
                                     *row.content));
        EXPECT_TRUE(!haveCommand("openssl") || printedAlgorithm(enveloped, "contentEncryptionAlgorithm:") == row.cipher->name);
        // Only ours can ask for "the default".
        const bool theyMake = row.cipher != &kDefaultCipher && bothWays && (!oaep || lists(peer.makes, "oaep"));
        const CommandResult theirs = theyMake ? peer.encrypt(peer, row) : CommandResult();
        EXPECT_TRUE(!theyMake || theirs.status == 0) << theirs.err;
        for (Who who : row.recipients) {
            SCOPED_TRACE(party(who).commonName);
            if (holds(peer, who) && (!peer.oneRecipient || row.recipients.size() == 1) && (!oaep || lists(peer.reads, "oaep"))) {
                const CommandResult opened = peer.decrypt(peer, TempDir::read(enveloped), who);
                EXPECT_EQ(opened.status, 0) << "ours, decrypted by the peer: " << opened.err;
                EXPECT_TRUE(opened.out == *row.content);
            }
            if (theirs.status != 0) continue;
            const Attempt a = decryptAs(party(who).keyStore, theirs.out);
            EXPECT_EQ(a.type, messageEnvelopedData);
            expectOutcome(a, KIVO_R_NONE, theirs.out, *row.content);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, Interop, ::testing::Values(&kPeers[0], &kPeers[1], &kPeers[2], &kPeers[3], &kPeers[4], &kPeers[5]),
                         [](const ::testing::TestParamInfo<const Peer*>& info) { return info.param->name; });

// The files of a corpus folder beside the source tree whose names end in extension, in order; empty (and the test
// skipped) when the corpus is absent.
std::vector<std::filesystem::path> corpus(const std::string& name, const std::string& extension) {
    const std::filesystem::path folder = std::string(SMIME_SOURCE_DIR) + "/../shared/interop-corpus/" + name;
    std::vector<std::filesystem::path> files;
    std::error_code absent;
    for (const auto& entry : std::filesystem::directory_iterator(folder, absent))
        if (entry.path().extension() == extension) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Mail another implementation signed, encrypted and nested, opened layer by layer as a mail client opens it. A
// file's name lists its layers from the inside out ("alice.env.dsig.SHA1.multipart.dave.sig.SHA1.opaque": encrypted
// to Bob, clear-signed by Alice, opaque-signed by Dave). A "bad" or "mismatch-econtent" layer no longer matches its
// signature, and so does a clear-signed layer that Alice made over LF lines sent with CR LF ones (the outermost
// "alice.env.dsig.*.multipart"); what lies within a failed clear-signed layer is still reported.
TEST(InteropCorpus, MailOfAnotherEngineOpensLayerByLayer) {
    const std::string kCrLf = "\r\n", kSaid = "This is a test message from Alice to Bob.",
                      kPlain = "Content-Type: text/plain" + kCrLf + kCrLf + kSaid + kCrLf,
                      kHtml = "Content-Type: text/html" + kCrLf + kCrLf + "<html><body>" + kSaid + "</body></html>\r",
                      kFlowed = "Content-Type: text/plain; charset=utf-8; format=flowed" + kCrLf +
                                "Content-Transfer-Encoding: quoted-printable" + kCrLf + "Content-Language: en-US" + kCrLf + kCrLf + kSaid + kCrLf;
    auto files = corpus("nss", ".eml"), enveloped = corpus("nss-enveloped", ".eml");
    if (files.empty() || enveloped.empty()) GTEST_SKIP() << "the interop corpus is not beside the source tree";
    files.insert(files.end(), enveloped.begin(), enveloped.end());
    const std::string keys = (enveloped[0].parent_path() / "Bob.p12").string(), anchor = (enveloped[0].parent_path() / "TestCA.pem").string();
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        SCOPED_TRACE(name);
        std::vector<std::string> layers; // outermost first
        std::string signer = "Alice";
        std::istringstream tokens(name);
        bool known = true; // a file named otherwise came after this test, with outcomes it cannot know
        for (std::string token; std::getline(tokens, token, '.');) {
            if (std::string(" plain html future bad mismatch-econtent SHA1 SHA256 SHA384 SHA512 eml ").find(" " + token + " ") != std::string::npos) continue;
            known = known && (token == "alice" || token == "dave" || token == "env" || token == "sig" || token == "dsig" ||
                              token == "opaque" || token == "multipart");
            if (token == "alice" || token == "dave") signer = token == "dave" ? "Dave" : "Alice";
            else if (token == "env") layers.insert(layers.begin(), "encrypted with aes-128-cbc for serial 0x28 from CN=NSS Test CA (RSA)");
            else if (token == "opaque" || token == "multipart")
                layers.insert(layers.begin(), (token == "opaque" ? "signed (opaque): good signature from CN=" : "clear-signed: good signature from CN=") + signer);
        }
        if (!known || layers.empty()) {
            std::cout << "not a kind of message this test knows, skipped: " << name << '\n';
            continue;
        }
        const bool fails = name.find(".bad.") != std::string::npos || name.find("mismatch-econtent") != std::string::npos ||
                           (name.rfind("alice.env.dsig.", 0) == 0 && name.find(".dave.") == std::string::npos);
        if (fails) layers[0] = "clear-signed: not verified: SMIME_PROVIDER_FAILED: the signature does not match the content";
        const CommandResult opened = runCommand({SMIME_PROGRAM, "open", "-k", keys, "-p", "nss", "--trust", anchor, "-i", file.string()});
        EXPECT_EQ(opened.status, fails ? 1 : 0) << opened.err;
        std::istringstream lines(opened.err);
        std::vector<std::string> reported;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("smime open: layer ", 0) == 0) reported.push_back(line);
        ASSERT_EQ(reported.size(), layers.size()) << opened.err;
        for (std::size_t i = 0; i < layers.size(); ++i)
            EXPECT_EQ(reported[i].rfind("smime open: layer " + std::to_string(i + 1) + ", " + layers[i], 0), 0u) << reported[i];
        const bool html = name.find(".html.") != std::string::npos;
        const bool plain = name.rfind("alice.sig.", 0) == 0 || name.rfind("alice.plain.", 0) == 0;
        EXPECT_EQ(opened.out, fails ? "" : html ? kHtml : plain ? kPlain : kFlowed);
    }
}

// Envelopes OpenSSL made for another implementation: RSAES-OAEP with each hash, MGF and label, ECDH on P-384 with
// each KDF; bare DER, which a mail client would find in an enveloped-data part.
TEST(InteropCorpus, EnvelopesForAnotherEngineDecryptWithUs) {
    const auto files = corpus("nss-openssl", ".env");
    if (files.empty()) GTEST_SKIP() << "the interop corpus is not beside the source tree";
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const bool ec = file.filename().string().rfind("fran-ec", 0) == 0;
        SMIMEMessage m;
        unsigned info = 0, minor = 0;
        const std::string keyStore = (file.parent_path() / (ec ? "Fran-ec.p12" : "Fran.p12")).string();
        ASSERT_EQ(m.login(keyStore.c_str(), "nss", "", &info, &minor), 0u) << minor;
        setHeld(m, smimeFromDer(TempDir::read(file.string()), "enveloped-data"));
        EXPECT_EQ(m.decrypt(&minor), 0u) << minor;
        EXPECT_EQ(heldMessage(m), "This is a test message to Fran.\n");
    }
}

// Valid messages in algorithms we do not have, made by Bouncy Castle with keys of its own: the tool names the
// algorithm and exits 2, never "tampered" (1) or "not for you" (1).
TEST(InteropBouncyCastle, AlgorithmsWeDoNotHaveAreNamed) {
    if (!bcUnavailable().empty()) GTEST_SKIP() << "Bouncy Castle skipped: " << bcUnavailable();
    const struct {
        const char *kind, *smimeType, *named;
    } rows[] = {
        {"ed25519-signature", "signed-data", "the signature algorithm ED25519 (1.3.101.112)"},
        {"x25519-envelope", "enveloped-data", "the key agreement key X25519 (1.3.101.110)"},
        {"chacha20-envelope", "authEnveloped-data",
         "the content-encryption algorithm ChaCha20-Poly1305 (1.2.840.113549.1.9.16.3.18)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        const std::string dir = scratch().file(row.kind);
        std::filesystem::create_directory(dir);
        const CommandResult made = runCommand({"java", "-cp", bcClassPath(), "BcSmime", "unsupported", row.kind, dir});
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string message = scratch().write(std::string(row.kind) + ".eml",
                                                    smimeFromDer(TempDir::read(dir + "/message.der"), row.smimeType));
        const bool signature = std::strcmp(row.smimeType, "signed-data") == 0;
        const CommandResult opened =
            signature ? runCommand({SMIME_PROGRAM, "verify", "--trust", dir + "/root.pem", "-i", message})
                      : runCommand({SMIME_PROGRAM, "decrypt", "-k", dir + "/store.pem", "-p", "", "-i", message});
        EXPECT_EQ(opened.status, 2) << opened.err;
        EXPECT_NE(opened.err.find(std::string("is not supported: ") + row.named), std::string::npos) << opened.err;
        EXPECT_TRUE(opened.out.empty());
    }
}

} // namespace

// Whole mails, saved as a user's mail program saves them (LF line ends), go out signed, clear-signed, encrypted, both,
// or with a protected header, and every reader gets them back: `smime open`, openssl and gpgsm unwrap them, Python's
// email package reads the fields outside and the content within (decoded: clear-signing makes 8-bit text quoted-
// printable) as the original ones. What goes out is 7-bit with CR LF only: relays rewrite the rest, breaking signatures.
TEST(InteropMail, WholeMailsComeBackFromEveryReader) {
    const std::string fields = "From: Alice <alice@example.com>\nTo: Bob <bob@example.com>\nSubject: Lunch on Friday\n"
                               "Date: Mon, 6 May 2024 10:00:00 +0000\nMessage-ID: <m1@example.com>\nMIME-Version: 1.0\n";
    const std::string kMails[] = {
        fields + "Content-Type: text/plain; charset=us-ascii\n\nNoon at the usual place?\n\nAlice\n",
        fields + "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\nCaf\xc3\xa9 at noon?\n",
        fields + "Content-Type: multipart/mixed; boundary=\"mix\"\n\n--mix\nContent-Type: text/html; charset=us-ascii\n\n"
                 "<p>The <b>plan</b> is attached.</p>\n--mix\nContent-Type: application/octet-stream; name=plan.bin\n"
                 "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=plan.bin\n\nAAECAwT/gA==\n--mix--\n",
        fields + "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
                 "Caf=C3=A9 at noon, in a line long enough that its writer broke it=\n softly.\n"};
    const struct { const char* name; bool sign, detached, encrypt, protect; } kWays[] = {
        {"signed", true, false, false, false}, {"clear-signed", true, true, false, false}, {"encrypted", false, false, true, false},
        {"clear-signed, then encrypted", true, true, true, false}, {"signed, header protected", true, false, false, true},
        {"encrypted, header protected", false, false, true, true}};
    const auto& files = keyStoreFiles();
    const std::string pass = testpki::KeyStoreFiles::kPassword, script = SMIME_SOURCE_DIR "/tests/interop/mail_check.py";
    const std::vector<std::string> open = {SMIME_PROGRAM, "open", "-k", files.aliceP12, "-p", pass, "--trust", files.rootPem, "--mail"};
    const auto crlf = [](std::string text) {
        for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, 1, '\r');
        return text;
    };
    const std::pair<const Peer*, std::string> readers[] = {{&kPeers[0], kPeers[0].unavailable()}, {&kPeers[3], kPeers[3].unavailable()}};
    const std::string noPython = haveCommand("python3") ? "" : "python3 is not on PATH";
    for (const std::string& why : {readers[0].second, readers[1].second, noPython})
        if (!why.empty()) std::cout << "a reader skipped: " << why << '\n';
    for (const std::string& mail : kMails) for (const auto& way : kWays) {
        const std::size_t entity = mail.find("Content-Type");
        SCOPED_TRACE(std::string(way.name) + ", " + mail.substr(entity, mail.find("\n\n") - entity));
        std::vector<std::string> sign = {SMIME_PROGRAM, "sign", "--mail", "-k", files.aliceP12, "-p", pass},
                                 encrypt = {SMIME_PROGRAM, "encrypt", "--mail", "-r", files.aliceCertPem};
        if (way.protect) for (auto* args : {&sign, &encrypt}) args->push_back("--protect-header");
        if (way.detached) sign.push_back("--detached");
        CommandResult sent{0, mail, ""};
        if (way.sign) sent = runCommand(sign, sent.out);
        if (way.encrypt && sent.status == 0) sent = runCommand(encrypt, sent.out);
        ASSERT_EQ(sent.status, 0) << sent.err;
        for (std::size_t at = sent.out.find('\n'); at != std::string::npos; at = sent.out.find('\n', at + 1))
            ASSERT_TRUE(at > 0 && sent.out[at - 1] == '\r') << "a bare LF at " << at;
        EXPECT_TRUE(std::all_of(sent.out.begin(), sent.out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
        const CommandResult opened = runCommand(open, sent.out);
        EXPECT_EQ(opened.status, 0) << opened.err;
        EXPECT_EQ(opened.err.find("outer Subject"), std::string::npos) << opened.err;
        // Only a mail that clear-signing re-encoded, or whose Content-Type gained hp=, comes back other than byte for byte.
        EXPECT_TRUE(way.protect || (way.detached && mail.find("8bit") != std::string::npos) || opened.out == crlf(mail)) << opened.out;
        // openssl and gpgsm, skipped where they cannot run. gpgsm reads bare CMS, not mail: its helpers hand it the DER,
        // and for a clear-signed mail the entity openssl read.
        std::vector<std::string> read = {"python3", script, way.protect && way.encrypt ? "--hidden-subject" : "--",
                                         scratch().write("mail.eml", mail), scratch().write("sent.eml", sent.out),
                                         scratch().write("opened.eml", opened.out)};
        std::string signedEntity;
        const Signature signature{Alice, &kSha256, way.detached ? "detached" : "opaque", &signedEntity, false};
        for (const auto& [peer, why] : readers) {
            if (!why.empty() || (peer == readers[1].first && way.detached && signedEntity.empty())) continue;
            CommandResult got = way.encrypt ? peer->decrypt(*peer, sent.out, Alice) : sent;
            EXPECT_EQ(got.status, 0) << peer->name << " decrypting: " << got.err;
            if (way.sign) got = peer->verify(*peer, got.out, signature);
            EXPECT_EQ(got.status, 0) << peer->name << " verifying: " << got.err;
            if (peer == readers[0].first) signedEntity = got.out;
            read.push_back(scratch().write(std::string(peer->name) + ".eml", got.out));
        }
        const CommandResult checked = noPython.empty() ? runCommand(read) : CommandResult{0, "", ""};
        EXPECT_EQ(checked.status, 0) << checked.err;
        if (!way.protect) continue;
        EXPECT_NE(opened.err.find(way.encrypt ? "(hp=\"cipher\")" : "(hp=\"clear\")"), std::string::npos) << opened.err;
        std::string altered = sent.out;
        const std::size_t subject = altered.find("\r\nSubject: ") + 11, end = altered.find("\r\n", subject);
        EXPECT_EQ(altered.substr(subject, end - subject), way.encrypt ? "[...]" : "Lunch on Friday");
        altered.replace(subject, end - subject, "Moved");
        // The outer field is not what was signed or encrypted: the layers still hold, and the protected field wins.
        const CommandResult reopened = runCommand(open, altered);
        EXPECT_EQ(reopened.status, 0) << reopened.err;
        EXPECT_EQ(reopened.out, opened.out);
        const char* said = way.encrypt ? "the outer Subject was altered in transit: 'Moved', sent as '[...]'"
                                       : "the outer Subject differs from the protected one: 'Moved'";
        EXPECT_NE(reopened.err.find(said), std::string::npos) << reopened.err;
    }
}
