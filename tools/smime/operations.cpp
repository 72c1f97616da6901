#include "operations.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <istream>
#include <streambuf>

#include <vekbuffer.h>

#include "mime_entity.h"
#include "time_text.h"

namespace smimetool {

namespace {

// A descriptor over bytes that stay the caller's.
gss_buffer_desc viewOf(std::string_view bytes) {
    return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
}

// The library reads headers that end in CR LF only; text from Unix tools
// ends its lines in bare LF, and then nothing in it reads as it should.
std::string lineEndHint(std::string_view message) {
    const std::size_t lineEnd = message.find('\n');
    const bool bareLf = lineEnd != std::string_view::npos && (lineEnd == 0 || message[lineEnd - 1] != '\r');
    return bareLf ? " (its lines end in bare LF: try --crlf)" : "";
}

// Input the library cannot hold is refused before it is offered.
Outcome checkInputSize(std::size_t size) {
    if (!VekFitsLengthWord(size)) return Outcome::failure(kExitUsage, "the input is larger than 4 GiB");
    if (size == 0) return Outcome::failure(kExitUsage, "the input is empty");
    return Outcome::success();
}

Outcome heldOrNot(unsigned status, unsigned minor) {
    return status == SMIME_OK ? Outcome::success()
                              : Outcome::failure(kExitUsage, "cannot take the input: " + describeStatus(status, minor));
}

Outcome hold(SMIMEMessage& message, std::string_view text) {
    if (const Outcome refused = checkInputSize(text.size()); !refused.ok()) return refused;
    const gss_buffer_desc buffer = viewOf(text);
    unsigned minor = 0;
    return heldOrNot(message.setMessage(&buffer, &minor), minor);
}

// Bytes read once, front to back, by the library as a stream, and given
// back to the system as they are read: the input and the library's copy of
// it never both take memory whole.
class ConsumingStreamBuffer : public std::streambuf {
public:
    explicit ConsumingStreamBuffer(std::string_view bytes) {
        char* begin = const_cast<char*>(bytes.data());
        setg(begin, begin, begin + bytes.size());
    }

protected:
    std::streamsize xsgetn(char* out, std::streamsize count) override {
        constexpr std::streamsize kPiece = 4 << 20;
        std::streamsize done = 0;
        while (done < count && gptr() < egptr()) {
            const std::streamsize piece = std::min({count - done, kPiece, static_cast<std::streamsize>(egptr() - gptr())});
            std::memcpy(out + done, gptr(), static_cast<std::size_t>(piece));
            setg(eback(), gptr() + piece, egptr());
            done += piece;
            given_ = VekDiscardReadBytes(eback(), given_, static_cast<std::size_t>(gptr() - eback()));
        }
        return done;
    }

private:
    std::size_t given_ = 0;
};

// Hands input to the library, which keeps a copy of its own, and lets it go;
// what a later failure message needs to know of it is kept in lineEnds.
// Large input goes as a stream that gives its pages back as they are read;
// small input is not worth it.
Outcome holdConsuming(SMIMEMessage& message, std::string_view input) {
    constexpr std::size_t kSmallInput = 1 << 20;
    if (input.size() < kSmallInput) return hold(message, input);
    if (const Outcome refused = checkInputSize(input.size()); !refused.ok()) return refused;
    ConsumingStreamBuffer consumed(input);
    std::istream stream(&consumed);
    unsigned minor = 0;
    return heldOrNot(message.setMessage(&stream, &minor), minor);
}

Outcome holdAndRelease(SMIMEMessage& message, Bytes& input, std::string* lineEnds = nullptr) {
    if (lineEnds != nullptr) *lineEnds = lineEndHint(input.view());
    const Outcome held = holdConsuming(message, input.view());
    input = Bytes();
    return held;
}

Outcome login(SMIMEMessage& message, const Identity& identity) {
    unsigned credentialInfo = 0;
    unsigned minor = 0;
    const unsigned status = message.login(identity.keyStore.c_str(), identity.password.c_str(),
                                          identity.principal.c_str(), &credentialInfo, &minor);
    if (status == SMIME_OK) return Outcome::success();
    const std::string who = identity.keyStore.empty() ? "" : " with '" + identity.keyStore + "'";
    const bool noPassword = status == SMIME_PROVIDER_FAILED && minor == KIVO_R_WRONG_PASSWORD && identity.password.empty();
    return Outcome::failure(kExitUsage, "cannot log in" + who + ": " + describeStatus(status, minor) +
                                            (noPassword ? " (no password was given: -p, --pass-file or SMIME_PASSWORD)" : ""));
}

// A login without keys: enough to encrypt and to verify.
Outcome loginWithoutKeys(SMIMEMessage& message) { return login(message, Identity{}); }

// The names of --digest, also used to report what a signature used.
struct NamedDigest {
    const char* name;
    digestAlgorithm_t digest;
};
const NamedDigest kDigests[] = {{"sha256", digestSHA256}, {"sha384", digestSHA384}, {"sha512", digestSHA512},
                                {"sha1", digestSHA1},     {"md5", digestMD5}};

std::string digestName(OM_uint32 digest) {
    const char* pss = (digest & KIVO_DIGEST_PSS) != 0 ? " with RSASSA-PSS" : "";
    for (const NamedDigest& d : kDigests)
        if (d.digest == (digest & ~KIVO_DIGEST_PSS)) return d.name + std::string(pss);
    return "an unknown digest";
}

// Exit status 1 is for messages that are what they claim to be and still
// fail: a signature that does not hold, a message not for us or not
// decryptable. Anything else about the input is status 2.
bool refusesSignature(unsigned minor) {
    switch (minor) {
    case KIVO_R_SIGNATURE_INVALID:
    case KIVO_R_SIGNER_NOT_TRUSTED:
    case KIVO_R_CERTIFICATE_EXPIRED:
    case KIVO_R_CERTIFICATE_REVOKED:
    case KIVO_R_REVOCATION_UNKNOWN:
    case KIVO_R_SIGNER_NOT_PERMITTED:
        return true;
    default:
        return false;
    }
}

bool refusesDecryption(unsigned minor) { return minor == KIVO_R_NOT_A_RECIPIENT || minor == KIVO_R_DECRYPTION_FAILED; }

// Releases the provider's outputs in a verify record when it goes.
struct VerifyRecord {
    IDUP_PIDU_Information_desc info = {};
    ~VerifyRecord() {
        OM_uint32 minor = 0;
        prov_release_buffer(&minor, &info.signer_subject);
        prov_release_buffer(&minor, &info.signer_certificate);
        prov_release_buffer(&minor, &info.signer_emails);
    }
};

const char* kindName(messageType_t type) {
    switch (type) {
    case messageSignedData: return "signed data (opaque, application/pkcs7-mime; smime-type=signed-data)";
    case messageClearSigned: return "clear-signed (multipart/signed with a PKCS #7 signature)";
    case messageSignature: return "a detached signature alone (application/pkcs7-signature)";
    case messageEnvelopedData: return "enveloped data (encrypted, application/pkcs7-mime; smime-type=enveloped-data)";
    case messageUntyped: return "not S/MIME: no Content-Type header (or headers not ending in CR LF: try --crlf)";
    default: return "not S/MIME: some other Content-Type";
    }
}

// The header block of a MIME entity, folded lines joined; at most kMaxLines
// lines of at most kMaxLength characters, for input that is no MIME at all.
std::vector<std::string> headerLines(std::string_view message) {
    constexpr std::size_t kMaxLines = 30;
    constexpr std::size_t kMaxLength = 400;
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < message.size() && lines.size() <= kMaxLines) {
        std::size_t end = message.find('\n', at);
        if (end == std::string_view::npos) end = message.size();
        std::string line(message.substr(at, std::min(end - at, kMaxLength)));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        if (line.empty()) break;
        const std::size_t text = line.find_first_not_of(" \t");
        if (text == std::string::npos) continue; // blank continuation: nothing to add
        if (text > 0 && !lines.empty()) lines.back() += " " + line.substr(text);
        else lines.push_back(line);
    }
    if (lines.size() > kMaxLines) lines.back() = "...";
    return lines;
}

// The addresses of a verify record's one-per-line list.
std::vector<std::string> emailsOf(const IDUP_PIDU_Information_desc& info) {
    std::vector<std::string> emails;
    if (info.signer_emails.value == nullptr) return emails;
    const std::string lines(static_cast<const char*>(info.signer_emails.value), info.signer_emails.length);
    for (std::size_t at = 0, end = 0; at < lines.size(); at = end + 1) {
        end = lines.find('\n', at);
        if (end == std::string::npos) end = lines.size();
        if (end > at) emails.push_back(lines.substr(at, end - at));
    }
    return emails;
}

// "CN=Alice <alice@example.com, a@example.org>"
std::string signerWithAddresses(const std::string& signer, const std::vector<std::string>& emails) {
    std::string text = signer;
    for (std::size_t i = 0; i < emails.size(); ++i) text += (i == 0 ? " <" : ", ") + printableLine(emails[i]);
    return emails.empty() ? text : text + ">";
}

// What the good-signature line says about the time the chain was checked as of.
std::string checkedAs(const VerifyRequest& request, const IDUP_PIDU_Information_desc& info) {
    if (!request.checkChain) return "; certificate chain not checked";
    if (request.atSigningTime && info.signing_time != 0) return "; valid when signed on " + utcTime(info.signing_time);
    return request.validationTime != 0 ? "; valid on " + utcTime(request.validationTime) : "";
}

} // namespace

namespace {

// The length of the UTF-8 sequence at text[at] when it encodes a character
// a terminal shows as it is: not a C1 control (some terminals act on them),
// not one that reorders the line around it, not malformed; else 0.
std::size_t printableUtf8Length(const std::string& text, std::size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool reorders = (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) || code == 0x200E || code == 0x200F;
    const bool valid = code >= least[length] && code >= 0xA0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    return valid && !reorders ? length : 0;
}

} // namespace

// Control characters and bytes that are no printable UTF-8 shown as '?', so
// that binary input cannot play tricks with the terminal.
std::string printableLine(std::string line) {
    std::string shown;
    for (std::size_t at = 0; at < line.size();) {
        const unsigned char c = static_cast<unsigned char>(line[at]);
        const std::size_t utf8 = c >= 0x80 ? printableUtf8Length(line, at) : 0;
        if (utf8 != 0) {
            shown.append(line, at, utf8);
            at += utf8;
            continue;
        }
        shown += c == '\t' ? ' ' : c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '?';
        ++at;
    }
    return shown;
}

bool digestNamed(const std::string& name, digestAlgorithm_t& digest) {
    for (const NamedDigest& d : kDigests)
        if (name == d.name) return digest = d.digest, true;
    return false;
}

bool strengthNamed(const std::string& name, encryptionAlgorithmStrength_t& strength) {
    struct Named {
        const char* name;
        encryptionAlgorithmStrength_t strength;
    };
    static const Named kCiphers[] = {
        {"aes128", strengthAES128}, {"aes192", strengthAES192}, {"aes256", strengthAES256}, {"des3", strengthDES3},
        {"aes128-gcm", strengthAES128GCM}, {"aes192-gcm", strengthAES192GCM}, {"aes256-gcm", strengthAES256GCM}};
    for (const Named& c : kCiphers)
        if (name == c.name) return strength = c.strength, true;
    return false;
}

Outcome BytesResult::take(SMIMEMessage& object, const std::string& step) {
    gss_buffer_desc out = {0, nullptr};
    unsigned minor = 0;
    const unsigned status = object.getMessage(&out, &minor);
    if (status != SMIME_OK) return Outcome::failure(kExitUsage, step + ": " + describeStatus(status, minor));
    bytes = Bytes(out.value, out.length);
    return Outcome::success();
}

Outcome signMessage(const SignRequest& request, Bytes& message, ResultSink& result) {
    SMIMEMessage object;
    Outcome outcome = login(object, request.signer);
    if (outcome.ok()) outcome = holdAndRelease(object, message);
    if (!outcome.ok()) return outcome;
    unsigned minor = 0;
    const unsigned status = request.detached ? object.signSignatureOnly(request.digest, &minor)
                                             : object.sign(request.digest, &minor);
    if (status != SMIME_OK) return Outcome::failure(kExitUsage, "cannot sign: " + describeStatus(status, minor));
    return result.take(object, "cannot sign");
}

Outcome verifyMessage(const VerifyRequest& request, Bytes& message, ResultSink& content, VerifyReport& report) {
    SMIMEMessage object;
    std::string lineEnds;
    Outcome outcome = loginWithoutKeys(object);
    if (outcome.ok()) outcome = holdAndRelease(object, message, &lineEnds);
    if (!outcome.ok()) return outcome;
    VerifyRecord record;
    record.info.verify_flags = KIVO_VERIFY_SIGNATURE | (request.checkChain ? KIVO_VERIFY_CHAIN : 0u) |
                               (request.checkRevocation ? KIVO_VERIFY_REVOCATION : 0u) |
                               (request.online ? KIVO_VERIFY_ONLINE : 0u) |
                               (request.atSigningTime ? KIVO_VERIFY_AT_SIGNING_TIME : 0u);
    record.info.trust_anchors = viewOf(request.trustAnchors);
    record.info.crls = viewOf(request.crls);
    record.info.validation_time = request.validationTime;
    record.info.certificates = viewOf(request.certificates);
    unsigned minor = 0;
    const unsigned status = object.verify(&record.info, &minor);
    if (record.info.signer_subject.value != nullptr)
        report.signer.assign(static_cast<const char*>(record.info.signer_subject.value), record.info.signer_subject.length);
    const std::vector<std::string> emails = emailsOf(record.info);
    const std::string signer = signerWithAddresses(report.signer.empty() ? "an unknown signer" : report.signer, emails);
    const bool senderNamed = request.sender.empty() || std::any_of(emails.begin(), emails.end(), [&](const std::string& e) {
                                 return equalsIgnoringCase(e, request.sender);
                             });
    if (status == SMIME_OK && !senderNamed) {
        report.summary = "not verified: the signer's certificate does not name the sender " + printableLine(request.sender) +
                         " (signer: " + signer + ")";
        return Outcome::failure(kExitRefused, report.summary);
    }
    if (status == SMIME_OK) {
        report.summary = "good signature from " + signer + " (" + digestName(record.info.digest) +
                         (record.info.signing_time != 0 ? ", signed " + utcTime(record.info.signing_time) : "") +
                         checkedAs(request, record.info) + ")";
        return content.take(object, "cannot hand out the content");
    }
    if (status == SMIME_PROVIDER_FAILED && refusesSignature(minor)) {
        const std::string revoked = minor == KIVO_R_CERTIFICATE_REVOKED && record.info.revocation_time != 0
                                        ? ", revoked on " + utcTime(record.info.revocation_time)
                                        : "";
        report.summary = "not verified: " + describeStatus(status, minor) + revoked + " (signer: " + signer + ")";
        return Outcome::failure(kExitRefused, report.summary);
    }
    report.summary = "cannot verify: " + describeStatus(status, minor) + lineEnds;
    return Outcome::failure(kExitUsage, report.summary);
}

Outcome encryptMessage(const EncryptRequest& request, Bytes& message, ResultSink& enveloped) {
    SMIMEMessage object;
    Outcome outcome = loginWithoutKeys(object);
    if (outcome.ok()) outcome = holdAndRelease(object, message);
    if (!outcome.ok()) return outcome;
    std::vector<gss_buffer_desc> certificates;
    for (const std::string& certificate : request.recipients) certificates.push_back(viewOf(certificate));
    std::vector<OM_uint32> statuses(certificates.size(), 0);
    IDUP_Target_Info_desc targets = {static_cast<OM_uint32>(certificates.size()), certificates.data(), statuses.data()};
    unsigned minor = 0;
    const unsigned status = object.encrypt(request.strength, &targets, &minor);
    if (status != SMIME_OK) {
        std::string which;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            if (statuses[i] == 0) continue;
            const std::string name =
                i < request.names.size() ? "'" + request.names[i] + "'" : "recipient " + std::to_string(i + 1);
            which += (which.empty() ? " (" : ", ") + name;
        }
        if (!which.empty()) which += ")";
        return Outcome::failure(kExitUsage, "cannot encrypt: " + describeStatus(status, minor) + which);
    }
    return enveloped.take(object, "cannot encrypt");
}

Outcome decryptMessage(const Identity& recipient, Bytes& message, ResultSink& content) {
    SMIMEMessage object;
    std::string lineEnds;
    Outcome outcome = login(object, recipient);
    if (outcome.ok()) outcome = holdAndRelease(object, message, &lineEnds);
    if (!outcome.ok()) return outcome;
    unsigned minor = 0;
    const unsigned status = object.decrypt(&minor);
    if (status == SMIME_PROVIDER_FAILED && refusesDecryption(minor))
        return Outcome::failure(kExitRefused, "cannot decrypt: " + describeStatus(status, minor));
    if (status != SMIME_OK)
        return Outcome::failure(kExitUsage, "cannot decrypt: " + describeStatus(status, minor) + lineEnds);
    return content.take(object, "cannot hand out the content");
}

Outcome describeMessage(std::string_view message, std::string& description) {
    SMIMEMessage object;
    const Outcome held = hold(object, message);
    if (!held.ok()) return held;
    const std::vector<std::string> lines = headerLines(message);
    // Both envelopes are opened alike; the label tells the authenticated one.
    const bool authenticated = object.getMessageType() == messageEnvelopedData &&
                               std::any_of(lines.begin(), lines.end(), [](std::string line) {
                                   for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                                   return line.find("smime-type=authenveloped-data") != std::string::npos;
                               });
    description = std::string("kind: ") +
                  (authenticated ? "authenticated enveloped data (application/pkcs7-mime; "
                                   "smime-type=authEnveloped-data)"
                                 : kindName(object.getMessageType())) + "\n";
    for (const std::string& line : lines) description += "  " + printableLine(line) + "\n";
    return Outcome::success();
}

} // namespace smimetool
