// SMIMEMessage::verify and decrypt with the OpenSSL provider. Two identities
// (RSA, which receives by key transport, and EC, by key agreement) under one
// throwaway CA are made on the first call, each logged in once. Besides
// arbitrary messages the target unprotects messages those identities made,
// with their PKCS#7 objects edited by the input: messages from anyone else
// stop at the first signer or recipient that does not match, so only these
// reach signature checks and decryption with a real key.
#include "demo_pki.h"
#include "entry_points.h"
#include "vek4kivosmime.h"

namespace fuzzentry {

using namespace detail;

namespace {

// The first byte of an input.
constexpr std::uint8_t kEditOwnMessage = 0x01; // else the rest is the message
constexpr std::uint8_t kSignatureOnly = 0x02;  // verify without the chain check
constexpr std::uint8_t kInPlace = 0x04;        // else the content goes to a buffer
constexpr std::uint8_t kUseEcIdentity = 0x10;  // else the RSA identity

// What an identity makes of a letter; the second byte of an input that edits
// one picks which.
enum OwnMessage : unsigned { SignedData, ClearSigned, EnvelopedData, kOwnMessageKinds };

struct Pkcs7Parts {
    std::string object;  // DER
    std::string content; // the signed content of a clear-signed message
};

class Identity {
public:
    Identity(demopki::KeyKind kind, const char* name, X509* caCert, EVP_PKEY* caKey) {
        const demopki::KeyPtr key = demopki::makeKey(kind);
        require(key != nullptr, "setup: the key is made");
        const demopki::CertPtr cert =
            demopki::makeCertificate(key.get(), {name, std::string(name) + "@example.com"}, caCert, caKey);
        require(cert != nullptr, "setup: the certificate is made");
        certificatePem = demopki::certificatePem(cert.get());
        const std::string store = demopki::privateKeyPem(key.get(), "") + certificatePem + demopki::certificatePem(caCert);
        const gss_buffer_desc storeBuffer = viewOf(store);
        const gss_buffer_desc noPassword = {1, const_cast<char*>("")};
        OM_uint32 minor = 0;
        require(kivo_import_creds(&storeBuffer, &noPassword, &minor, &container_) == 0, "setup: the key store loads");
        unsigned info = 0, smimeMinor = 0;
        require(message.login(container_, "", &info, &smimeMinor) == SMIME_OK, "setup: the login works");
    }
    ~Identity() {
        unsigned minor = 0;
        message.logout(&minor);
        OM_uint32 providerMinor = 0;
        prov_abolish_creds(&container_, &providerMinor);
    }

    // A letter signed, clear-signed, and encrypted to this identity and the other.
    void makeOwnMessages(const Identity& other) {
        static const std::string kLetter = "Content-Type: text/plain\r\n\r\nA short letter.\r\n";
        const std::string recipients[] = {certificatePem, other.certificatePem};
        gss_buffer_desc targets[] = {viewOf(recipients[0]), viewOf(recipients[1])};
        IDUP_Target_Info_desc targetInfo = {2, targets, nullptr};
        const gss_buffer_desc letter = viewOf(kLetter);
        unsigned minor = 0;
        for (unsigned kind = SignedData; kind < kOwnMessageKinds; ++kind) {
            require(message.setMessage(&letter, &minor) == SMIME_OK, "setup: the letter is set");
            HeapBuffer made, object, content;
            require((kind == SignedData    ? message.sign(digestSHA256, made.get(), &minor)
                     : kind == ClearSigned ? message.signSignatureOnly(digestSHA256, made.get(), &minor)
                                           : message.encrypt(strengthDefault, &targetInfo, made.get(), &minor)) ==
                        SMIME_OK,
                    "setup: own messages are made");
            message.freeMessage(&minor);
            smimeParser parser;
            parser.setMessage(made.get());
            require(parser.getPKCS7Object(object.get(), content.get()) == SMIME_OK, "setup: own messages parse");
            own[kind] = {std::string(object.bytes()), std::string(content.bytes())};
        }
    }

    std::string certificatePem;
    SMIMEMessage message;
    Pkcs7Parts own[kOwnMessageKinds];

private:
    gss_buffer_desc* container_ = nullptr;
};

struct Parties {
    demopki::KeyPtr caKey = demopki::makeKey(demopki::KeyKind::EcP256);
    demopki::CertPtr caCert = demopki::makeCertificate(caKey.get(), {"Fuzz CA", "", -3600, 365L * 86400, true},
                                                       nullptr, caKey.get());
    Identity rsa{demopki::KeyKind::Rsa2048, "rsa", caCert.get(), caKey.get()};
    Identity ec{demopki::KeyKind::EcP256, "ec", caCert.get(), caKey.get()};

    Parties() {
        rsa.makeOwnMessages(ec);
        ec.makeOwnMessages(rsa);
    }
};

// One of the identity's own messages with its object edited: edits are three
// bytes each, a 16-bit offset (taken modulo the size) and the byte to put
// there; two bytes left over cut the object short.
std::string editedOwnMessage(const Identity& identity, unsigned kind, const std::uint8_t* edits, std::size_t size) {
    std::string object = identity.own[kind].object;
    auto offsetAt = [&](std::size_t at) { return static_cast<std::size_t>(edits[at] << 8 | edits[at + 1]) % object.size(); };
    std::size_t at = 0;
    for (; size - at >= 3; at += 3) object[offsetAt(at)] = static_cast<char>(edits[at + 2]);
    if (size - at == 2) object.resize(offsetAt(at) + 1);
    const gss_buffer_desc pidu = viewOf(object);
    const gss_buffer_desc signedContent = viewOf(identity.own[kind].content);
    smimeGenerator generator;
    require((kind == SignedData    ? generator.insertSignedData(&pidu)
             : kind == ClearSigned ? generator.insertMultipartAndSignedData(digestSHA256, &signedContent, &pidu)
                                   : generator.insertEnvelopedData(&pidu)) == SMIME_OK,
            "the generator wraps an edited object");
    HeapBuffer message;
    require(generator.getMessage(message.get()) == SMIME_OK, "the generator hands out its message");
    return std::string(message.bytes());
}

} // namespace

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
    require(message.setMessage(&input, &minor) == SMIME_OK, "a message is set");
    const bool inPlace = (mode & kInPlace) != 0;
    HeapBuffer content;
    unsigned status = SMIME_OK;
    if (message.getMessageType() == messageEnvelopedData) {
        status = inPlace ? message.decrypt(&minor) : message.decrypt(content.get(), &minor);
    } else {
        IDUP_PIDU_Information_desc record = {};
        record.verify_flags = KIVO_VERIFY_SIGNATURE | ((mode & kSignatureOnly) != 0 ? 0u : KIVO_VERIFY_CHAIN);
        status = inPlace ? message.verify(&record, &minor) : message.verify(content.get(), &record, &minor);
        OM_uint32 scratch = 0;
        for (gss_buffer_desc* out : {&record.signer_subject, &record.signer_certificate}) prov_release_buffer(&scratch, out);
    }
    require(isOneOf(status, {SMIME_OK, SMIME_PROVIDER_FAILED, SMIME_BAD_MESSAGE, SMIME_NO_MEMORY}),
            "unprotect returns a documented status");
    HeapBuffer held;
    const bool holds = message.getMessage(held.get(), &minor) == SMIME_OK;
    if (status != SMIME_OK) {
        require(content.isUntouched(), "a failed unprotect hands out nothing");
        require(holds && held.bytes() == text, "a failed unprotect keeps the message");
    } else if (!content.isUntouched() && holds) {
        require(held.bytes() == content.bytes(), "the content handed out is the message held now");
    }
    message.freeMessage(&minor);
    return status;
}

} // namespace fuzzentry
