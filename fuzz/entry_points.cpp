// Messages from unknown keys stop at the first signer or recipient, so unprotectMessage also edits the own
// messages of two throwaway identities: RSA (key transport), EC (key agreement).
#include "entry_points.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "../support/base64_codec.h"
#include "../tests/support/reference_base64.h"
#include "cms_summary.h"
#include "demo_pki.h"
#include "header_protection.h"
#include "mail.h"
#include "mime_entity.h"
#include "owned_buffer.h"
#include "smimestream.h"
#include "vek4kivoidup.h"
#include "vek4kivosmime.h"
#include "vekruntime.h"

namespace fuzzentry {
namespace {

// A broken promise aborts, so that the fuzzer keeps the input.
void require(bool holds, const char* call, const char* promise = "") {
    if (!holds) std::fprintf(stderr, "fuzz check failed: %s %s\n", call, promise), std::abort();
}

gss_buffer_desc viewOf(std::string_view bytes) { return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())}; }

struct HeapBuffer : ::detail::OwnedBuffer {
    bool isUntouched() const { return held().length == 0 && held().value == nullptr; }
    std::string_view bytes() const { return {static_cast<const char*>(held().value), held().length}; }
};

void requireOutcome(const char* call, unsigned status, std::initializer_list<unsigned> allowed, std::initializer_list<const HeapBuffer*> outputs = {}) {
    require(std::find(allowed.begin(), allowed.end(), status) != allowed.end(), call, "returns a documented status");
    for (const HeapBuffer* out : outputs) require(status == SMIME_OK || out->isUntouched(), call, "failed: hands out nothing");
}

bool isSliceOf(std::string_view part, std::string_view whole) {
    return part.empty() || vekruntime::findBytes(whole.data(), whole.size(), part.data(), part.size()) != nullptr;
}

std::string_view textOf(const void* bytes, std::size_t size) { return {static_cast<const char*>(bytes), size}; }

bool isMessageKind(messageType_t type) { return type >= messageUntyped && type <= messageUnknown; }

std::string arrayDecoded(sbase64& codec, std::string_view text) {
    const unsigned room = sbase64::deriveDecodeLength(static_cast<unsigned>(text.size()));
    const auto out = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Decode(text.data(), static_cast<unsigned>(text.size()), out.get(), room);
    require(written <= room, "b64Decode", "stays within its room");
    return std::string(textOf(out.get(), written));
}

// The first byte of an input: edit an own message (else the rest is the message), verify without the
// chain check, unprotect in place (else into a buffer), use the EC identity (else the RSA one).
enum Mode : std::uint8_t { kEditOwnMessage = 0x01, kSignatureOnly = 0x02, kInPlace = 0x04, kUseEcIdentity = 0x10 };

// The second byte of an input that edits an own message picks which.
enum OwnMessage : unsigned { SignedData, ClearSigned, EnvelopedData, kOwnMessageKinds };

struct Identity {
    Identity(demopki::KeyKind kind, const char* name, X509* caCert, EVP_PKEY* caKey) {
        const demopki::KeyPtr key = demopki::makeKey(kind);
        const demopki::CertPtr cert = key ? demopki::makeCertificate(key.get(), {name, std::string(name) + "@example.com"}, caCert, caKey) : nullptr;
        require(cert != nullptr, "setup", "key and certificate");
        certificatePem = demopki::certificatePem(cert.get());
        const std::string store = demopki::privateKeyPem(key.get(), "") + certificatePem + demopki::certificatePem(caCert);
        const gss_buffer_desc storeBuffer = viewOf(store), noPassword = {1, const_cast<char*>("")};
        OM_uint32 minor = 0;
        unsigned info = 0, smimeMinor = 0;
        require(kivo_import_creds(&storeBuffer, &noPassword, &minor, &container_) == 0 &&
                    message.login(container_, "", &info, &smimeMinor) == SMIME_OK,
                "setup", "key store loads and logs in");
    }
    ~Identity() { unsigned minor = 0; OM_uint32 providerMinor = 0; message.logout(&minor), prov_abolish_creds(&container_, &providerMinor); }

    // A letter signed, clear-signed, and encrypted to this identity and the other:
    // the PKCS#7 object of each and a clear-signed one's content.
    void makeOwnMessages(const Identity& other) {
        static const std::string kLetter = "Content-Type: text/plain\r\n\r\nA short letter.\r\n";
        gss_buffer_desc targets[] = {viewOf(certificatePem), viewOf(other.certificatePem)};
        IDUP_Target_Info_desc targetInfo = {2, targets, nullptr};
        const gss_buffer_desc letter = viewOf(kLetter);
        unsigned minor = 0;
        for (unsigned kind = SignedData; kind < kOwnMessageKinds; ++kind) {
            HeapBuffer made, object, content;
            require(message.setMessage(&letter, &minor) == SMIME_OK &&
                        (kind == SignedData    ? message.sign(digestSHA256, made.get(), &minor)
                         : kind == ClearSigned ? message.signSignatureOnly(digestSHA256, made.get(), &minor)
                                               : message.encrypt(strengthDefault, &targetInfo, made.get(), &minor)) == SMIME_OK,
                    "setup", "own messages are made");
            message.freeMessage(&minor);
            smimeParser parser;
            parser.setMessage(made.get());
            require(parser.getPKCS7Object(object.get(), content.get()) == SMIME_OK, "setup", "own messages parse");
            ownObject[kind] = object.bytes();
            ownContent[kind] = content.bytes();
        }
    }

    std::string certificatePem, ownObject[kOwnMessageKinds], ownContent[kOwnMessageKinds];
    SMIMEMessage message;
    gss_buffer_desc* container_ = nullptr;
};

struct Parties {
    demopki::KeyPtr caKey = demopki::makeKey(demopki::KeyKind::EcP256);
    demopki::CertPtr caCert = demopki::makeCertificate(caKey.get(), {"Fuzz CA", "", -3600, 365L * 86400, true}, nullptr, caKey.get());
    Identity rsa{demopki::KeyKind::Rsa2048, "rsa", caCert.get(), caKey.get()};
    Identity ec{demopki::KeyKind::EcP256, "ec", caCert.get(), caKey.get()};
    Parties() { rsa.makeOwnMessages(ec); ec.makeOwnMessages(rsa); }
};

// An own message with its object edited: three bytes an edit, a 16-bit offset
// (modulo the size) and the byte to put there; two left over cut it short.
std::string editedOwnMessage(const Identity& identity, unsigned kind, const std::uint8_t* edits, std::size_t size) {
    std::string object = identity.ownObject[kind];
    auto offsetAt = [&](std::size_t at) { return static_cast<std::size_t>(edits[at] << 8 | edits[at + 1]) % object.size(); };
    std::size_t at = 0;
    for (; size - at >= 3; at += 3) object[offsetAt(at)] = static_cast<char>(edits[at + 2]);
    if (size - at == 2) object.resize(offsetAt(at) + 1);
    const gss_buffer_desc pidu = viewOf(object), signedContent = viewOf(identity.ownContent[kind]);
    smimeGenerator generator;
    HeapBuffer message;
    require((kind == SignedData    ? generator.insertSignedData(&pidu)
             : kind == ClearSigned ? generator.insertMultipartAndSignedData(digestSHA256, &signedContent, &pidu)
                                   : generator.insertEnvelopedData(&pidu)) == SMIME_OK &&
                generator.getMessage(message.get()) == SMIME_OK,
            "smimeGenerator", "wraps an edited object");
    return std::string(message.bytes());
}

} // namespace

unsigned scanMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view message = textOf(data, size);
    SMimeStream stream(message.data(), message.size());
    mimeInfo_T info;
    std::memset(&info, 0x5A, sizeof info); // garbage first, so that a field the scan forgets shows
    require(stream.getMimeInfo(&info) == SMIME_OK && isMessageKind(info.type), "getMimeInfo", "names a kind");
    require(std::memchr(info.boundary, '\0', sizeof info.boundary) && std::memchr(info.micalg, '\0', sizeof info.micalg),
            "getMimeInfo", "ends boundary and micalg");
    if (info.type == messageClearSigned) {
        require(std::strlen(stream.delimiter()) == std::strlen(info.boundary) + 3, "delimiter", "is --boundary CR");
        // Every part lies in the message; an empty part does not end the body.
        std::size_t consumed = 0;
        for (unsigned status = SMIME_OK; status == SMIME_OK || status == SMIME_NO_MESSAGE;) {
            HeapBuffer part;
            status = stream.getPart(part.get());
            requireOutcome("getPart", status, {SMIME_OK, SMIME_NO_MESSAGE, SMIME_BAD_MESSAGE, SMIME_NO_MEMORY}, {&part});
            consumed += status == SMIME_OK ? part.bytes().size() + 2 : 0;
            require(status != SMIME_OK || (isSliceOf(part.bytes(), message) && consumed <= size), "getPart",
                    "parts are runs of the message's bytes and fit in it");
        }
    }
    HeapBuffer payload;
    const unsigned status = stream.getpayload(payload.get());
    requireOutcome("getpayload", status, {SMIME_OK, SMIME_NO_MEMORY});
    const std::string_view rest = payload.bytes();
    require(status != SMIME_OK || (payload.get()->value && rest.size() <= size && message.substr(size - rest.size()) == rest),
            "getpayload", "gives a block holding the end of the message");
    return status;
}

unsigned parseMessage(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    gss_buffer_desc message = viewOf(text);
    smimeParser parser;
    parser.setMessage(&message);
    const messageType_t kind = parser.getMessageType();
    HeapBuffer object, content;
    const unsigned status = parser.getPKCS7Object(object.get(), content.get());
    requireOutcome("getPKCS7Object", status, {SMIME_OK, SMIME_NULL_PARAMETER, SMIME_NO_MEMORY, SMIME_BAD_MESSAGE}, {&object, &content});
    require(isMessageKind(kind) && isMessageKind(parser.getMessageType()), "getMessageType", "names a kind");
    if (kind != messageClearSigned) {
        require(content.isUntouched(), "getPKCS7Object", "gives separate content only for clear-signed");
    } else if (status == SMIME_OK) {
        require(content.get()->value && isSliceOf(content.bytes(), text), "getPKCS7Object", "content is the first part");
    }
    // The parser scans afresh for every extraction: asking again gives the same answer.
    HeapBuffer objectAgain, contentAgain;
    require(parser.getPKCS7Object(objectAgain.get(), contentAgain.get()) == status &&
                objectAgain.bytes() == object.bytes() && contentAgain.bytes() == content.bytes(),
            "getPKCS7Object", "gives the same status and bytes a second time");
    return status;
}

unsigned decodeBase64(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    const std::optional<std::string> expected = referenceBase64Decode(text);
    sbase64 codec;
    const gss_buffer_desc input = viewOf(text);
    HeapBuffer decoded;
    const unsigned status = codec.decode(&input, decoded.get());
    requireOutcome("decode", status, {SMIME_OK, SMIME_NO_MEMORY, SMIME_NULL_PARAMETER}, {&decoded});
    require(status == SMIME_OK ? expected && decoded.bytes() == *expected : status == SMIME_NO_MEMORY || !expected,
            "decode", "decodes and refuses as the reference does");
    // Each block loop into exactly the room it asks for, so the sanitizer sees any store beyond it.
    namespace base64 = ::detail::base64;
    for (const base64::Path path : {base64::Path::Scalar, base64::Path::Avx2}) {
        if (!base64::isPathAvailable(path)) continue;
        const auto out = std::make_unique<unsigned char[]>(base64::decodedCapacity(size));
        const base64::DecodeResult result = base64::decode(path, data, size, out.get());
        require((result.outcome == base64::DecodeOutcome::Decoded) == expected.has_value() &&
                    (!expected || textOf(out.get(), result.length) == *expected),
                "base64::decode", "each block loop decodes and refuses as the reference does");
    }
    // b64Decode takes line breaks between groups only: without any it agrees.
    if (sbase64::deriveDecodeLength(static_cast<unsigned>(size)) != 0) {
        const std::string arrayText = arrayDecoded(codec, text);
        require(!expected || text.find_first_of("\r\n") != std::string_view::npos || arrayText == *expected,
                "b64Decode", "decodes text without line breaks as the reference does");
    }
    HeapBuffer encoded, back;
    if (codec.encode(&input, encoded.get()) == SMIME_OK)
        require(codec.decode(encoded.get(), back.get()) == SMIME_OK && back.bytes() == text, "encode", "decodes back");
    if (size == 0) return status;
    const unsigned room = sbase64::deriveEncodeLength(static_cast<unsigned>(size));
    const auto out = std::make_unique<unsigned char[]>(room);
    const unsigned written = codec.b64Encode(data, static_cast<unsigned>(size), out.get(), room);
    require(written != 0 && written <= room, "b64Encode", "fits the room it asked for");
    require(arrayDecoded(codec, textOf(out.get(), written)) == text, "b64Encode", "b64Decode gives the bytes back");
    return status;
}

unsigned decodePrintable(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf(data, size);
    const gss_buffer_desc input = viewOf(text);
    HeapBuffer decoded;
    const unsigned status = sprintable::decode(&input, decoded.get());
    requireOutcome("decode", status, {SMIME_OK, SMIME_BAD_ENCODING, SMIME_STREAM_ERROR}, {&decoded});
    require(status != SMIME_OK || (decoded.get()->value && decoded.bytes().size() <= size), "decode", "gives a block no longer than the text");
    return status;
}

unsigned unprotectMessage(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return SMIME_OK;
    static Parties parties;
    const std::uint8_t mode = data[0];
    Identity& identity = (mode & kUseEcIdentity) != 0 ? parties.ec : parties.rsa;
    const std::string text = (mode & kEditOwnMessage) != 0
                                 ? editedOwnMessage(identity, data[1] % kOwnMessageKinds, data + 2, size - 2)
                                 : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    SMIMEMessage& message = identity.message;
    unsigned minor = 0;
    const gss_buffer_desc input = viewOf(text);
    require(message.setMessage(&input, &minor) == SMIME_OK, "setMessage");
    const bool inPlace = (mode & kInPlace) != 0;
    HeapBuffer content, held;
    unsigned status = SMIME_OK;
    if (message.getMessageType() == messageEnvelopedData) {
        status = inPlace ? message.decrypt(&minor) : message.decrypt(content.get(), &minor);
    } else {
        IDUP_PIDU_Information_desc record = {};
        record.verify_flags = KIVO_VERIFY_SIGNATURE | ((mode & kSignatureOnly) != 0 ? 0u : KIVO_VERIFY_CHAIN);
        status = inPlace ? message.verify(&record, &minor) : message.verify(content.get(), &record, &minor);
        OM_uint32 scratch = 0;
        for (gss_buffer_desc* out : {&record.signer_subject, &record.signer_certificate, &record.signer_emails})
            prov_release_buffer(&scratch, out);
    }
    requireOutcome("unprotect", status, {SMIME_OK, SMIME_PROVIDER_FAILED, SMIME_BAD_MESSAGE, SMIME_NO_MEMORY}, {&content});
    const bool holds = message.getMessage(held.get(), &minor) == SMIME_OK;
    require(status == SMIME_OK ? content.isUntouched() || !holds || held.bytes() == content.bytes()
                               : holds && held.bytes() == text,
            "unprotect", "keeps the message on failure, holds the content it handed out on success");
    message.freeMessage(&minor);
    return status;
}

unsigned readMail(const std::uint8_t* data, std::size_t size) {
    using namespace smimetool;
    const std::string_view text = textOf(data, size);
    const MimeEntity entity = parseEntity(text);
    for (const HeaderField& field : entity.fields)
        require(isSliceOf(field.text, text) && field.text.substr(0, field.name.size()) == field.name, "parseEntity", "reads fields as they stand");
    require(isSliceOf(entity.body, text), "parseEntity", "leaves the body as it stands");
    if (const auto parts = splitMultipart(entity.body, contentTypeOf(entity).parameter("boundary")))
        for (const std::string_view part : *parts) require(isSliceOf(part, entity.body), "splitMultipart", "gives parts of the body");
    SplitMail mail = splitMail(text);
    require(!hasBareLf(mail.entity) && !hasBareLf(outerHeader(mail.outerFields)), "splitMail", "gives CR LF line ends");
    require(!hasBareLf(sevenBitEntity(mail.entity)), "sevenBitEntity", "keeps CR LF line ends");
    // What we protect reads back as protected, and the outer fields as the sender left them.
    for (const HeaderProtection mode : {HeaderProtection::Clear, HeaderProtection::Cipher}) {
        SplitMail protectedMail = mail;
        protectHeader(protectedMail, mode);
        const HeaderReport report = readProtectedHeader(parseEntity(protectedMail.entity), protectedMail.outerFields);
        require(report.present && report.differences.empty(), "protectHeader", "reads back without differences");
        require(!mailAround(report.fieldTexts, protectedMail.entity).empty(), "mailAround", "writes a mail");
    }
    for (const std::string& reading : clearSignedReadings(text))
        require(reading.rfind("Content-Type: multipart/signed;", 0) == 0 && !hasBareLf(reading.substr(0, reading.find("\r\n\r\n"))),
                "clearSignedReadings", "rebuilds a clear-signed entity with CR LF headers");
    const std::optional<CmsSummary> cms = summarizeCms(text);
    require(!cms || cms->kind != CmsKind::SignedData || cms->recipients.empty(), "summarizeCms", "names recipients of envelopes only");
    return SMIME_OK;
}

} // namespace fuzzentry
