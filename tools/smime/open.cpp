#include "open.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include <vek4kivosmime.h>

#include "cms_summary.h"
#include "header_protection.h"
#include "mail.h"
#include "mime_entity.h"

namespace smimetool {

namespace {

// Mail clients nest two or three layers; a message of more is refused
// rather than unwrapped without end.
constexpr int kMaxLayers = 10;

bool isSignatureType(const std::string& mediaType) {
    return equalsIgnoringCase(mediaType, "application/pkcs7-signature") ||
           equalsIgnoringCase(mediaType, "application/x-pkcs7-signature");
}

bool isPkcs7Mime(const std::string& mediaType) {
    return mediaType == "application/pkcs7-mime" || mediaType == "application/x-pkcs7-mime";
}

std::string layerName(int layer) { return "layer " + std::to_string(layer); }

// The result of one unwrapping: its report line, and the content on success
// (or, for a clear-signed layer whose signature failed, the part as it
// stands), which may be empty; none when there is nothing within to show.
struct Unwrapped {
    Outcome outcome;
    std::string line;
    std::optional<std::string> content;
    bool envelope = false; // an encrypted layer, not a signed one
};

Unwrapped verifyLayer(const VerifyRequest& request, std::string_view message) {
    Bytes bytes = Bytes::copyOf(message);
    BytesResult content;
    VerifyReport report;
    Unwrapped result;
    result.outcome = verifyMessage(request, bytes, content, report);
    result.line = report.summary.empty() ? result.outcome.message : report.summary;
    if (result.outcome.ok()) result.content = content.bytes.str();
    return result;
}

// The signer signed the part either as it stands or with its line ends made
// CR LF (what S/MIME asks for, and what most clients do); the first form
// that verifies is the content.
Unwrapped openClearSigned(const VerifyRequest& request, const MimeEntity& entity, const ContentType& type) {
    const std::string boundary = type.parameter("boundary");
    const auto parts = splitMultipart(entity.body, boundary);
    if (!parts || parts->size() != 2)
        return {Outcome::failure(kExitUsage, "a multipart/signed entity without its two parts"), "", std::nullopt};
    const std::vector<std::string> readings = clearSignedReadings(boundary, *parts);
    Unwrapped first;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        Unwrapped result = verifyLayer(request, readings[i]);
        if (result.outcome.exitStatus != kExitRefused) {
            if (i > 0) result.line += " (signed with CR LF line ends, which the message had lost)";
            return result;
        }
        if (i == 0) first = std::move(result);
    }
    // What lies within a failed layer is still shown, not handed out.
    first.content = std::string((*parts)[0]);
    return first;
}

bool decodedBody(const MimeEntity& entity, std::string& der) {
    const HeaderField* encoding = entity.field("Content-Transfer-Encoding");
    if (encoding == nullptr || !equalsIgnoringCase(encoding->value(), "base64")) {
        der = std::string(entity.body);
        return true;
    }
    gss_buffer_desc in = {static_cast<OM_uint32>(entity.body.size()), const_cast<char*>(entity.body.data())},
                    out = {0, nullptr};
    sbase64 decoder;
    if (!VekFitsLengthWord(entity.body.size())) return false;
    const unsigned status = decoder.decode(&in, &out);
    const Bytes decoded(out.value, out.length); // the library's block, freed here
    if (status != 0) return false;
    der.assign(decoded.view());
    return true;
}

std::string recipientList(const std::vector<std::string>& recipients) {
    std::string text;
    for (const std::string& recipient : recipients) text += (text.empty() ? "" : "; ") + recipient;
    return text.empty() ? "no recipient" : text;
}

// An opaque layer: the CMS content type decides what it is, whatever its
// label says, and the library is handed it labelled as what it is.
Unwrapped openOpaque(const OpenRequest& request, const MimeEntity& entity) {
    std::string der;
    std::optional<CmsSummary> cms;
    if (decodedBody(entity, der)) cms = summarizeCms(der);
    if (!cms || cms->kind == CmsKind::Other)
        return {Outcome::failure(kExitUsage, "an application/pkcs7-mime entity that holds no signed or enveloped data"), "", std::nullopt};
    const std::string labelled = std::string("Content-Type: application/pkcs7-mime; smime-type=") + smimeTypeOf(cms->kind) +
                                 "; name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64Lines(der);
    if (cms->kind == CmsKind::SignedData) {
        Unwrapped signedLayer = verifyLayer(request.verify, labelled);
        signedLayer.line = "signed (opaque): " + signedLayer.line;
        return signedLayer;
    }
    Unwrapped result;
    result.envelope = true;
    result.line = "encrypted with " + (cms->cipher.empty() ? std::string("an unknown cipher") : cms->cipher) + " for " +
                  recipientList(cms->recipients);
    if (request.recipient.keyStore.empty()) {
        result.outcome = Outcome::failure(kExitUsage, "an encrypted layer needs a key store: -k KEYSTORE");
        return result;
    }
    Bytes bytes = Bytes::copyOf(labelled);
    BytesResult content;
    result.outcome = decryptMessage(request.recipient, bytes, content);
    result.line += result.outcome.ok() ? ": decrypted" : ": " + result.outcome.message;
    if (result.outcome.ok()) result.content = content.bytes.str();
    return result;
}

} // namespace

Outcome openMessage(const OpenRequest& request, const Bytes& message, OpenReport& report) {
    std::string current(message.view());
    int worst = kExitSuccess;
    int layer = 0;
    bool signedLayer = false, encryptedLayer = false; // a signature that held, an envelope opened
    for (;;) {
        const MimeEntity entity = parseEntity(current);
        const ContentType type = contentTypeOf(entity);
        const bool clear = type.mediaType == "multipart/signed";
        if (!clear && !isPkcs7Mime(type.mediaType)) break;
        if (++layer > kMaxLayers)
            return Outcome::failure(kExitUsage, "more than " + std::to_string(kMaxLayers) + " S/MIME layers");
        // A signature of another kind cannot be checked here, and its content
        // is not handed out as if it had been.
        if (clear && !isSignatureType(type.parameter("protocol")))
            return Outcome::failure(kExitUsage, layerName(layer) + ": a multipart/signed entity whose signature is not S/MIME (" +
                                                    type.parameter("protocol") + ")");
        Unwrapped unwrapped = clear ? openClearSigned(request.verify, entity, type) : openOpaque(request, entity);
        if (clear) unwrapped.line = "clear-signed: " + unwrapped.line;
        report.lines.push_back(layerName(layer) + ", " + unwrapped.line);
        if (unwrapped.outcome.exitStatus == kExitUsage)
            return Outcome::failure(kExitUsage, layerName(layer) + ": " + unwrapped.outcome.message);
        worst = std::max(worst, unwrapped.outcome.exitStatus);
        if (unwrapped.outcome.ok()) (unwrapped.envelope ? encryptedLayer : signedLayer) = true;
        // A clear-signed layer that failed still shows what lies within;
        // an opaque one has nothing more to show.
        if (!unwrapped.content) break;
        current = std::move(*unwrapped.content);
    }
    if (layer == 0) return Outcome::failure(kExitUsage, "the input has no S/MIME layer");
    if (worst != kExitSuccess)
        return Outcome::failure(worst, std::to_string(layer) + " layer" + (layer > 1 ? "s" : "") + ", not all of them hold");
    // A protected header counts only on the innermost entity, where the
    // layers around it vouch for it: a signature for hp="clear", a signature
    // or an envelope for hp="cipher".
    const std::vector<std::string> outerFields = outerFieldsOf(message.view());
    const HeaderReport header = readProtectedHeader(parseEntity(current), outerFields);
    const bool vouched = header.present && (signedLayer || (header.mode == "cipher" && encryptedLayer));
    if (header.present && !vouched)
        report.lines.push_back("the innermost entity claims a protected header (hp=\"" + header.mode +
                               "\") that no signature covers: ignored");
    if (vouched) {
        report.lines.push_back("protected header (hp=\"" + header.mode + "\"):");
        for (const std::string& field : header.fields) report.lines.push_back("  " + field);
        for (const std::string& difference : header.differences) report.lines.push_back(difference);
    }
    report.content = request.mail ? mailAround(vouched ? header.fieldTexts : outerFields, current) : current;
    return Outcome::success();
}

} // namespace smimetool
