#include "cli.h"

#include "operations.h"

namespace smimetool {

namespace {

struct Command {
    const char* name;
    const char* options; // the options it takes, separated by spaces
    const char* help;
};

// Options that are flags; every other option takes a value.
const char* const kFlags[] = {"--detached", "--crlf", "--no-chain", "--oaep", "--pss",
                              "--check-revocation", "--online", "--at-signing-time",
                              "--mail", "--protect-header", "--hide-header", "--raw"};

const Command kCommands[] = {
    {"sign", "-k -p --pass-file --id --digest --pss --detached --mail --protect-header --hide-header --raw --crlf -i -o",
     "usage: smime sign -k KEYSTORE [-p PASS | --pass-file FILE] [--id PRINCIPAL]\n"
     "                  [--digest sha256|sha384|sha512|sha1|md5] [--pss] [--detached]\n"
     "                  [--mail [--protect-header | --hide-header]] [--raw] [--crlf] [-i IN] [-o OUT]\n"
     "Signs a MIME message. Without --detached the result is opaque signed data\n"
     "(application/pkcs7-mime); with it, a clear-signed multipart/signed message.\n"
     "The result has CR LF line ends throughout, as mail servers require.\n"
     "  -k KEYSTORE         PKCS#12 or PEM key store with the signer's key and certificate\n"
     "  -p PASS             its password (else --pass-file, else $SMIME_PASSWORD, else none)\n"
     "  --pass-file FILE    read the password from the first line of FILE\n"
     "  --id PRINCIPAL      which identity: friendly name, e-mail or common name (default: the first)\n"
     "  --digest NAME       digest algorithm (default sha256)\n"
     "  --pss               an RSASSA-PSS signature (RSA keys, SHA-2 digests), as some regulated\n"
     "                      exchanges require; PKCS #1 v1.5 otherwise\n"
     "  --detached          clear-sign: the content stays readable beside the signature\n"
     "  --mail              the input is a whole mail: From, To, Subject and the other fields\n"
     "                      stay outside, the body entity is signed (with CR LF line ends, and\n"
     "                      8-bit text made quoted-printable when clear-signed); the result is\n"
     "                      a mail ready to send\n"
     "  --protect-header    also sign a copy of those fields (RFC 9788, hp=\"clear\")\n"
     "  --hide-header       the same for a mail that will be encrypted next (hp=\"cipher\"):\n"
     "                      outside, the Subject becomes [...] and Comments and Keywords go;\n"
     "                      then encrypt it with --mail alone\n"
     "  --raw               write the library's bytes as they are (base64 lines end in LF)\n"
     "  --crlf              turn bare LF line ends of the input into CR LF first\n"
     "  -i IN, -o OUT       input and output files (default: standard input and output)\n"},
    {"verify", "--trust --no-chain --certs --crl --check-revocation --online --at --at-signing-time --sender --mail --crlf -i -o",
     "usage: smime verify [--trust CA.pem]... [--no-chain] [--certs FILE]... [--crl FILE]...\n"
     "                    [--check-revocation] [--online] [--at TIME | --at-signing-time]\n"
     "                    [--sender ADDRESS] [--mail] [--crlf] [-i IN] [-o CONTENT]\n"
     "Verifies a signed message (opaque or clear-signed) and writes its content.\n"
     "The signer, its e-mail addresses and the outcome go to standard error. The signer's\n"
     "certificate must allow signing mail (key usage, extended key usage).\n"
     "  --trust CA.pem      also trust the certificates in CA.pem (may be repeated);\n"
     "                      the system's trusted certificates are always trusted\n"
     "  --no-chain          check the signature only, not the signer's certificate chain\n"
     "  --certs FILE        certificates the message may lack (the signer's, intermediates');\n"
     "                      used to find the signer, never trusted for that (may be repeated)\n"
     "  --crl FILE          check revocation with the CRLs in FILE, PEM or DER (may be\n"
     "                      repeated); CRLs in the message and the key store count too\n"
     "  --check-revocation  every certificate of the chain but the root needs a current CRL\n"
     "                      from its issuer; a revoked one fails (delta CRLs are not used)\n"
     "  --online            check revocation, also fetching OCSP answers and CRLs over HTTP\n"
     "                      from the addresses in the certificates (tells the responder that\n"
     "                      someone reads this signer's mail; LDAP addresses are skipped)\n"
     "  --at TIME           check chain and revocation as of TIME: seconds since 1970 or\n"
     "                      ISO 8601, e.g. 2024-05-01 or 2024-05-01T12:00:00Z\n"
     "  --at-signing-time   check them as of the signature's signing time (archived mail)\n"
     "  --sender ADDRESS    fail unless the signer's certificate names ADDRESS (any case)\n"
     "  --mail              write a whole mail: the input's From, To, Subject and other fields\n"
     "                      (or the signed copies of them), then the content\n"
     "  --crlf              turn bare LF line ends of the input into CR LF first\n"
     "  -i IN, -o CONTENT   input and output files (default: standard input and output)\n"},
    {"encrypt", "-r --cipher --oaep --mail --protect-header --raw --crlf -i -o",
     "usage: smime encrypt -r CERT.pem [-r CERT.pem]... [--cipher NAME] [--oaep]\n"
     "                     [--mail [--protect-header]] [--raw] [--crlf] [-i IN] [-o OUT]\n"
     "Encrypts a MIME message to every recipient certificate (RSA or EC).\n"
     "The result has CR LF line ends throughout, as mail servers require.\n"
     "  -r CERT.pem         a recipient's certificate, PEM or DER (at least one)\n"
     "  --cipher NAME       content cipher: aes128, aes192, aes256 (the default), des3 (old peers\n"
     "                      only), or aes128-gcm, aes192-gcm, aes256-gcm (authenticated: an altered\n"
     "                      message is refused, but not every mail client reads it yet)\n"
     "  --oaep              RSA recipients get RSAES-OAEP key transport instead of PKCS #1 v1.5\n"
     "  --mail              the input is a whole mail: From, To, Subject and the other fields\n"
     "                      stay outside, the body entity is encrypted; the result is a mail\n"
     "                      ready to send\n"
     "  --protect-header    also encrypt a copy of those fields (RFC 9788, hp=\"cipher\"); outside,\n"
     "                      the Subject becomes [...] and Comments and Keywords are left out\n"
     "                      (for a mail to sign as well, use sign --hide-header instead)\n"
     "  --raw               write the library's bytes as they are (base64 lines end in LF)\n"
     "  --crlf              turn bare LF line ends of the input into CR LF first\n"
     "  -i IN, -o OUT       input and output files (default: standard input and output)\n"},
    {"decrypt", "-k -p --pass-file --id --mail --crlf -i -o",
     "usage: smime decrypt -k KEYSTORE [-p PASS | --pass-file FILE] [--id PRINCIPAL]\n"
     "                     [--mail] [--crlf] [-i IN] [-o OUT]\n"
     "Decrypts an enveloped message with the key of the key store and writes its content.\n"
     "  -k KEYSTORE         PKCS#12 or PEM key store with the recipient's key and certificate\n"
     "  -p PASS             its password (else --pass-file, else $SMIME_PASSWORD, else none)\n"
     "  --pass-file FILE    read the password from the first line of FILE\n"
     "  --id PRINCIPAL      which identity: friendly name, e-mail or common name (default: the first)\n"
     "  --mail              write a whole mail: the input's From, To, Subject and other fields\n"
     "                      (or the encrypted copies of them), then the content\n"
     "  --crlf              turn bare LF line ends of the input into CR LF first\n"
     "  -i IN, -o OUT       input and output files (default: standard input and output)\n"},
    {"open", "-k -p --pass-file --id --trust --no-chain --certs --crl --check-revocation --online --at --at-signing-time --mail -i -o",
     "usage: smime open [-k KEYSTORE [-p PASS | --pass-file FILE] [--id PRINCIPAL]]\n"
     "                  [--trust CA.pem]... [--no-chain] [--certs FILE]... [--crl FILE]...\n"
     "                  [--check-revocation] [--online] [--at TIME | --at-signing-time]\n"
     "                  [--mail] [-i IN] [-o OUT]\n"
     "Opens a mail as a mail client does: unwraps every S/MIME layer, outside in, and\n"
     "writes what the innermost one holds. Mail clients nest layers: an encrypted mail\n"
     "holding a signed one, sometimes signed again outside; at most 10 are unwrapped.\n"
     "Standard error gets one line per layer:\n"
     "  layer N, signed (opaque): good signature from SIGNER <ADDRESS> (DIGEST, signed TIME)\n"
     "  layer N, clear-signed: not verified: WHY (signer: SIGNER)\n"
     "  layer N, encrypted with CIPHER for serial 0x.. from ISSUER: decrypted\n"
     "A signed layer is checked as the signer signed it: its bytes as they stand, else\n"
     "with CR LF line ends (said so on its line). Where the label and the content\n"
     "disagree, the content decides. When the innermost entity carries a protected\n"
     "header (RFC 9788) that a layer vouches for, its fields are listed and every outer\n"
     "field that is not as the sender sent it is named. The content is written only when every layer holds:\n"
     "exit 0; a signature that fails or a layer not for this key store exits 1, and the\n"
     "layers within a failed clear-signed one are still reported; input that is not\n"
     "S/MIME, a layer that cannot be read, or more than 10 layers exit 2.\n"
     "  -k KEYSTORE         key store to decrypt encrypted layers with (-p, --pass-file, --id\n"
     "                      as for decrypt)\n"
     "  --trust, --no-chain, --certs, --crl, --check-revocation, --online, --at,\n"
     "  --at-signing-time   check signed layers as verify does\n"
     "  --mail              write a whole mail: the protected header fields if there are any,\n"
     "                      else the outer ones, then the innermost entity\n"
     "  -i IN, -o OUT       input and output files (default: standard input and output)\n"},
    {"info", "--crlf -i",
     "usage: smime info [--crlf] [-i IN]\n"
     "Names the kind of message (signed, clear-signed, enveloped, ...) and shows its\n"
     "top-level headers. Needs no keys.\n"},
    {"demo", "--keep",
     "usage: smime demo [--keep FOLDER]\n"
     "Makes a throwaway CA and two identities (Alice, RSA; Bob, EC) and runs sign,\n"
     "clear-sign, verify, encrypt, decrypt and a tamper check end to end, printing each\n"
     "step. Its files go to a temporary folder that is removed afterwards; with --keep\n"
     "they stay in FOLDER, which must be new or empty (key stores, certificates,\n"
     "password files, messages), to try the other subcommands with.\n"},
};

const Command* findCommand(const std::string& name) {
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

// Whole words only: "-detached" is not "--detached", nor "k" "-k".
bool takes(const Command& command, const std::string& option) {
    const std::string options = std::string(" ") + command.options + " ";
    return !option.empty() && options.find(" " + option + " ") != std::string::npos;
}

bool isFlag(const std::string& option) {
    for (const char* flag : kFlags)
        if (option == flag) return true;
    return false;
}

Outcome usageError(const std::string& command, const std::string& text) {
    const std::string prefix = command.empty() ? "smime: " : "smime " + command + ": ";
    const std::string hint = command.empty() ? "smime --help" : "smime " + command + " --help";
    return Outcome::failure(kExitUsage, prefix + text + " (see " + hint + ")");
}

// Stores the value of an option; digest and cipher names must be known ones.
Outcome storeValue(Options& options, const std::string& option, const std::string& value) {
    if (option == "--digest" && !digestNamed(value, options.digest))
        return usageError(options.command, "unknown digest '" + value + "'");
    if (option == "--cipher" && !strengthNamed(value, options.strength))
        return usageError(options.command, "unknown cipher '" + value + "'");
    if (option == "-k") options.keyStore = value;
    else if (option == "-p") options.password = value, options.passwordGiven = true;
    else if (option == "--pass-file") options.passwordFile = value;
    else if (option == "--id") options.principal = value;
    else if (option == "-i") options.input = value;
    else if (option == "-o") options.output = value;
    else if (option == "-r") options.recipients.push_back(value);
    else if (option == "--trust") options.trust.push_back(value);
    else if (option == "--crl") options.crls.push_back(value);
    else if (option == "--at") options.at = value;
    else if (option == "--sender") options.sender = value;
    else if (option == "--certs") options.certs.push_back(value);
    else if (option == "--keep") options.keep = value;
    return Outcome::success();
}

void storeFlag(Options& options, const std::string& option) {
    if (option == "--detached") options.detached = true;
    else if (option == "--crlf") options.crlf = true;
    else if (option == "--no-chain") options.noChain = true;
    else if (option == "--oaep") options.oaep = true;
    else if (option == "--pss") options.pss = true;
    else if (option == "--check-revocation") options.checkRevocation = true;
    else if (option == "--online") options.online = true;
    else if (option == "--at-signing-time") options.atSigningTime = true;
    else if (option == "--mail") options.mail = true;
    else if (option == "--protect-header") options.protectHeader = true;
    else if (option == "--hide-header") options.hideHeader = true;
    else if (option == "--raw") options.raw = true;
}

Outcome checkRequired(const Options& options) {
    const std::string& c = options.command;
    if ((c == "sign" || c == "decrypt") && options.keyStore.empty()) return usageError(c, "-k KEYSTORE is required");
    if (c == "encrypt" && options.recipients.empty()) return usageError(c, "at least one -r CERT.pem is required");
    if (options.passwordGiven && !options.passwordFile.empty())
        return usageError(c, "give the password with -p or with --pass-file, not both");
    if (options.passwordFile == "-" && options.input == "-")
        return usageError(c, "the password and the message cannot both come from standard input");
    const bool chainChecks = options.checkRevocation || options.online || !options.at.empty() || options.atSigningTime;
    if (options.noChain && chainChecks)
        return usageError(c, "--no-chain leaves no chain for revocation or a time to be checked on");
    if (!options.at.empty() && options.atSigningTime) return usageError(c, "give --at or --at-signing-time, not both");
    if ((options.protectHeader || options.hideHeader) && !options.mail)
        return usageError(c, std::string(options.hideHeader ? "--hide-header" : "--protect-header") + " needs --mail");
    if (options.protectHeader && options.hideHeader) return usageError(c, "give --protect-header or --hide-header, not both");
    return Outcome::success();
}

} // namespace

Outcome parseCommandLine(int argc, char** argv, Options& options) {
    if (argc < 2) return usageError("", "no subcommand given");
    options.command = argv[1];
    if (options.command == "--help" || options.command == "-h" || options.command == "help") {
        options.help = true;
        options.command.clear();
        return Outcome::success();
    }
    const Command* command = findCommand(options.command);
    if (command == nullptr) return usageError("", "unknown subcommand '" + options.command + "'");
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return Outcome::success();
        }
        if (!takes(*command, option)) return usageError(options.command, "unknown option '" + option + "'");
        if (isFlag(option)) {
            storeFlag(options, option);
            continue;
        }
        if (i + 1 >= argc) return usageError(options.command, "option " + option + " needs a value");
        const Outcome stored = storeValue(options, option, argv[++i]);
        if (!stored.ok()) return stored;
    }
    return checkRequired(options);
}

std::string helpText(const std::string& command) {
    if (const Command* found = findCommand(command)) return found->help;
    return "usage: smime COMMAND [OPTIONS]\n"
           "Signs, verifies, encrypts and decrypts S/MIME messages.\n"
           "\n"
           "commands:\n"
           "  sign      sign a message, opaque or clear-signed (--detached)\n"
           "  verify    verify a signed message and write its content\n"
           "  encrypt   encrypt a message to one or more recipient certificates\n"
           "  decrypt   decrypt a message with a key store\n"
           "  open      unwrap every layer of a mail (signed, encrypted, nested) and report each\n"
           "  info      name the kind of a message and show its headers\n"
           "  demo      run every operation end to end with a throwaway CA\n"
           "\n"
           "smime COMMAND --help describes a command; smime --version names the version.\n"
           "Exit status: 0 success; 1 a signature that does not verify or a message that\n"
           "cannot be decrypted; 2 bad usage or unreadable input.\n";
}

} // namespace smimetool
