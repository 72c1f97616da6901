// smime: signs, verifies, encrypts and decrypts S/MIME messages from the
// command line, through the library's public interface.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include <vek4kivosmime.h>

#include "cli.h"
#include "demo.h"
#include "header_protection.h"
#include "mail.h"
#include "mime_entity.h"
#include "open.h"
#include "operations.h"
#include "time_text.h"
#include "tool_io.h"

using namespace smimetool;

namespace {

// Every file's certificates, one after another. Certificates travel as
// PEM, so a file without a PEM certificate is named at once rather than
// left to fail the verification.
Outcome certificatesOf(const Options& options, const std::vector<std::string>& files, std::string& anchors) {
    for (const std::string& file : files) {
        std::string pem;
        const Outcome read = readInput(options.command, file, pem);
        if (!read.ok()) return read;
        if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos &&
            pem.find("-----BEGIN TRUSTED CERTIFICATE-----") == std::string::npos)
            return Outcome::failure(kExitUsage, "smime " + options.command + ": '" + file + "' holds no PEM certificate");
        anchors += pem + "\n";
    }
    return Outcome::success();
}

Outcome identityOf(const Options& options, Identity& identity) {
    identity.keyStore = options.keyStore;
    identity.principal = options.principal;
    return passwordOf(options, identity.password);
}

Outcome runSign(const Options& options, Bytes& input, ResultSink& output) {
    SignRequest request;
    request.detached = options.detached;
    request.digest = options.pss ? static_cast<digestAlgorithm_t>(options.digest | KIVO_DIGEST_PSS) : options.digest;
    const Outcome identity = identityOf(options, request.signer);
    return identity.ok() ? signMessage(request, input, output) : identity;
}

// Every CRL file, as PEM: a DER file is wrapped, so that the files of both
// forms travel together.
Outcome crlsOf(const Options& options, std::string& crls) {
    for (const std::string& file : options.crls) {
        std::string bytes;
        const Outcome read = readInput(options.command, file, bytes);
        if (!read.ok()) return read;
        if (bytes.find("-----BEGIN X509 CRL-----") != std::string::npos) {
            crls += bytes + "\n";
            continue;
        }
        gss_buffer_desc der = {static_cast<OM_uint32>(bytes.size()), bytes.data()}, base64 = {0, nullptr};
        sbase64 encoder;
        if (bytes.empty() || encoder.encode(&der, &base64) != 0)
            return Outcome::failure(kExitUsage, "smime " + options.command + ": '" + file + "' holds no CRL");
        crls += "-----BEGIN X509 CRL-----\n" + std::string(static_cast<const char*>(base64.value), base64.length) +
                "\n-----END X509 CRL-----\n";
        std::free(base64.value);
    }
    return Outcome::success();
}

// What verify and open check signatures with.
Outcome verifyRequestOf(const Options& options, VerifyRequest& request) {
    request.checkChain = !options.noChain;
    // CRLs are given to be checked against.
    request.checkRevocation = options.checkRevocation || !options.crls.empty();
    request.online = options.online;
    request.atSigningTime = options.atSigningTime;
    request.sender = options.sender;
    if (!options.at.empty() && !parseTime(options.at, request.validationTime))
        return Outcome::failure(kExitUsage, "smime " + options.command + ": --at '" + options.at +
                                                "' is neither seconds since 1970 nor an ISO 8601 time");
    Outcome read = certificatesOf(options, options.trust, request.trustAnchors);
    if (read.ok()) read = certificatesOf(options, options.certs, request.certificates);
    if (read.ok()) read = crlsOf(options, request.crls);
    return read;
}

Outcome runVerify(const Options& options, Bytes& input, ResultSink& output, std::string& summary) {
    VerifyRequest request;
    const Outcome prepared = verifyRequestOf(options, request);
    if (!prepared.ok()) return prepared;
    VerifyReport report;
    // A clear-signed layer taken out of another, with bare LF: read as open reads it.
    std::vector<std::string> readings = options.crlf ? std::vector<std::string>() : clearSignedReadings(input.view());
    Outcome verified;
    for (std::string& reading : readings) {
        Bytes rebuilt = Bytes::copyOf(reading);
        verified = verifyMessage(request, rebuilt, output, report);
        if (verified.exitStatus != kExitRefused) break;
    }
    if (readings.empty()) verified = verifyMessage(request, input, output, report);
    summary = report.summary;
    return verified;
}

Outcome runEncrypt(const Options& options, Bytes& input, ResultSink& output) {
    EncryptRequest request;
    request.strength = options.oaep ? options.strength | strengthOAEP : options.strength;
    for (const std::string& file : options.recipients) {
        std::string certificate;
        const Outcome read = readInput(options.command, file, certificate);
        if (!read.ok()) return read;
        request.recipients.push_back(certificate);
        request.names.push_back(file);
    }
    return encryptMessage(request, input, output);
}

Outcome runDecrypt(const Options& options, Bytes& input, ResultSink& output) {
    Identity recipient;
    const Outcome identity = identityOf(options, recipient);
    return identity.ok() ? decryptMessage(recipient, input, output) : identity;
}

// Every layer's line goes to standard error as it is; the content only when
// all of them hold.
Outcome runOpen(const Options& options, const Bytes& input) {
    OpenRequest request;
    request.mail = options.mail;
    Outcome outcome = verifyRequestOf(options, request.verify);
    if (outcome.ok() && !options.keyStore.empty()) outcome = identityOf(options, request.recipient);
    if (!outcome.ok()) return outcome;
    OpenReport report;
    outcome = openMessage(request, input, report);
    if (outcome.ok()) outcome = writeOutput(options.command, options.output, report.content);
    for (const std::string& line : report.lines) std::fprintf(stderr, "smime open: %s\n", printableLine(line).c_str());
    return outcome;
}

// What --mail must refuse: a header section broken by a line that is no
// field (which would move the fields after it into the body), and header
// protection added to a mail signed already, whose signature would not
// cover the protected copy.
Outcome checkMail(const Options& options, std::string_view input, const SplitMail& mail) {
    const std::string prefix = "smime " + options.command + ": ";
    if (parseEntity(input).strayLine)
        return Outcome::failure(kExitUsage, prefix + "the mail's header has a line that is no header field (or no empty line before the body)");
    const std::string type = contentTypeOf(parseEntity(mail.entity)).mediaType;
    if (options.protectHeader && options.command == "encrypt" &&
        (type == "multipart/signed" || type == "application/pkcs7-mime" || type == "application/x-pkcs7-mime"))
        return Outcome::failure(kExitUsage, prefix + "the mail is signed already; to protect its header, sign it with --hide-header "
                                                     "and encrypt it with --mail alone");
    return Outcome::success();
}

// Prefixes a failure from the operations with the tool and subcommand, as
// every message of the tool begins.
Outcome named(const Options& options, Outcome outcome) {
    const std::string prefix = "smime " + options.command + ": ";
    if (!outcome.ok() && outcome.message.rfind(prefix, 0) != 0) outcome.message = prefix + outcome.message;
    return outcome;
}

Outcome runCommand(const Options& options) {
    Bytes input;
    Outcome outcome = readInput(options.command, options.input, input);
    if (!outcome.ok()) return outcome;
    if (options.crlf) input = withCrlf(input.view());
    if (options.command == "open") return named(options, runOpen(options, input));
    const bool protecting = options.command == "sign" || options.command == "encrypt";
    // A whole mail: its addressing fields go around the result, the body
    // entity into it.
    std::string outerFields;
    if (options.mail && protecting) {
        SplitMail mail = splitMail(input.view());
        if (const Outcome checked = checkMail(options, input.view(), mail); !checked.ok()) return checked;
        protectHeader(mail, options.hideHeader ? HeaderProtection::Cipher
                            : !options.protectHeader ? HeaderProtection::None
                            : options.command == "sign" ? HeaderProtection::Clear : HeaderProtection::Cipher);
        input = Bytes::copyOf(options.detached ? sevenBitEntity(mail.entity) : mail.entity);
        outerFields = outerHeader(mail.outerFields);
    }
    // Clear-signed content with bare LF is signed as it stands; changing its
    // line ends would break the signature.
    const bool mailReady = protecting && !options.raw && !(options.detached && hasBareLf(input.view()));
    // The result goes to its file straight from the message object, once
    // the operation has succeeded.
    FileResult file(options.command, options.output, outerFields, mailReady);
    MailResult mail(options.command, options.output, options.mail && !protecting ? outerFieldsOf(input.view()) : std::vector<std::string>());
    ResultSink& output = options.mail && !protecting ? static_cast<ResultSink&>(mail) : file;
    std::string verifySummary;
    if (options.command == "sign") outcome = runSign(options, input, output);
    else if (options.command == "verify") outcome = runVerify(options, input, output, verifySummary);
    else if (options.command == "encrypt") outcome = runEncrypt(options, input, output);
    else if (options.command == "decrypt") outcome = runDecrypt(options, input, output);
    else {
        std::string description;
        outcome = describeMessage(input.view(), description);
        if (outcome.ok()) outcome = writeOutput(options.command, options.output, description);
    }
    if (!outcome.ok()) return named(options, outcome);
    // The good news only once the content is where it was asked to go.
    if (outcome.ok() && !verifySummary.empty()) std::fprintf(stderr, "smime verify: %s\n", verifySummary.c_str());
    return outcome;
}

int run(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("smime %s\n", VEK4KIVOSMIME_TOOL_VERSION);
        return kExitSuccess;
    }
    Options options;
    const Outcome parsed = parseCommandLine(argc, argv, options);
    if (!parsed.ok()) {
        std::fprintf(stderr, "%s\n", parsed.message.c_str());
        return parsed.exitStatus;
    }
    if (options.help) {
        std::printf("%s", helpText(options.command).c_str());
        return kExitSuccess;
    }
    if (options.command == "demo") return runDemo(options.keep);
    const Outcome outcome = runCommand(options);
    if (!outcome.ok()) std::fprintf(stderr, "%s\n", outcome.message.c_str());
    return outcome.exitStatus;
}

} // namespace

int main(int argc, char** argv) {
    prepareProcessIo();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "smime: out of memory\n");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "smime: %s\n", failure.what());
    }
    return kExitUsage;
}
