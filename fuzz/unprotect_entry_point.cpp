// SMIMEMessage::verify and decrypt with the OpenSSL provider. Two identities
// (RSA, which receives by key transport, and EC, by key agreement) under one
// throwaway CA are made on the first call, each logged in once. Besides
// arbitrary messages the target unprotects messages those identities made,
// with their PKCS#7 objects edited by the input: messages from anyone else
// stop at the first signer or recipient that does not match, so only these
// reach signature checks and decryption with a real key.
#include <string>
#include <string_view>

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

enum class OwnMessage { SignedData, ClearSigned, EnvelopedData };
constexpr unsigned kOwnMessageKinds = 3;

struct Pkcs7Parts {
    std::string object;  // DER
    std::string content; // the signed content of a clear-signed message
};

Pkcs7Parts pkcs7Of(std::string_view message) {
    gss_buffer_desc view = viewOf(message);
    smimeParser parser;
    parser.setMessage(&view);
    HeapBuffer object, content;
    require(parser.getPKCS7Object(object.get(), content.get()) == SMIME_OK, "setup: own messages parse");
    return {std::string(object.bytes()), std::string(content.bytes())};
}

class Identity {
public:
    Identity(demopki::KeyKind kind, const char* name, X509* caCert, EVP_PKEY* caKey)
        : key_(demopki::makeKey(kind)),
          cert_(demopki::makeCertificate(key_.get(), {name, std::string(name) + "@example.com"}, caCert, caKey)) {
        require(key_ && cert_, "setup: the identity is made");
        const std::string store = demopki::privateKeyPem(key_.get(), "") + demopki::certificatePem(cert_.get()) +
                                  demopki::certificatePem(caCert);
        const gss_buffer_desc storeBuffer = viewOf(store);
        const gss_buffer_desc noPassword = {1, const_cast<char*>("")};
        OM_uint32 minor = 0;
        require(kivo_import_creds(&storeBuffer, &noPassword, &minor, &container_) == 0, "setup: the key store loads");
        unsigned info = 0;
        unsigned smimeMinor = 0;
        require(message_.login(container_, "", &info, &smimeMinor) == SMIME_OK, "setup: the login works");
    }
    ~Identity() {
        unsigned minor = 0;
        message_.logout(&minor);
        OM_uint32 providerMinor = 0;
        prov_abolish_creds(&container_, &providerMinor);
    }
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;

    std::string certificatePem() const { return demopki::certificatePem(cert_.get()); }
    SMIMEMessage& message() { return message_; }

    // A letter signed, clear-signed, and encrypted to this identity and the other.
    void makeOwnMessages(const std::string& otherRecipientPem) {
        const std::string recipients[] = {certificatePem(), otherRecipientPem};
        gss_buffer_desc targets[] = {viewOf(recipients[0]), viewOf(recipients[1])};
        IDUP_Target_Info_desc targetInfo = {2, targets, nullptr};
        for (const OwnMessage kind : {OwnMessage::SignedData, OwnMessage::ClearSigned, OwnMessage::EnvelopedData})
            own_[static_cast<unsigned>(kind)] = protectedLetter(kind, targetInfo);
    }
    const Pkcs7Parts& own(OwnMessage kind) const { return own_[static_cast<unsigned>(kind)]; }

private:
    Pkcs7Parts protectedLetter(OwnMessage kind, IDUP_Target_Info_desc& targets) {
        static const std::string kLetter = "Content-Type: text/plain\r\n\r\nA short letter.\r\n";
        unsigned minor = 0;
        const gss_buffer_desc letter = viewOf(kLetter);
        require(message_.setMessage(&letter, &minor) == SMIME_OK, "setup: the letter is set");
        HeapBuffer made;
        require((kind == OwnMessage::SignedData      ? message_.sign(digestSHA256, made.get(), &minor)
                 : kind == OwnMessage::ClearSigned ? message_.signSignatureOnly(digestSHA256, made.get(), &minor)
                                                   : message_.encrypt(strengthDefault, &targets, made.get(), &minor)) ==
                    SMIME_OK,
                "setup: own messages are made");
        message_.freeMessage(&minor);
        return pkcs7Of(made.bytes());
    }

    demopki::KeyPtr key_;
    demopki::CertPtr cert_;
    gss_buffer_desc* container_ = nullptr;
    SMIMEMessage message_;
    Pkcs7Parts own_[kOwnMessageKinds];
};

struct Parties {
    demopki::KeyPtr caKey = demopki::makeKey(demopki::KeyKind::EcP256);
    demopki::CertPtr caCert = demopki::makeCertificate(caKey.get(), {"Fuzz CA", "", -3600, 365L * 86400, true},
                                                       nullptr, caKey.get());
    Identity rsa{demopki::KeyKind::Rsa2048, "rsa", caCert.get(), caKey.get()};
    Identity ec{demopki::KeyKind::EcP256, "ec", caCert.get(), caKey.get()};

    Parties() {
        rsa.makeOwnMessages(ec.certificatePem());
        ec.makeOwnMessages(rsa.certificatePem());
    }
};

Parties& parties() {
    static Parties made;
    return made;
}

// Edits are three bytes each: a 16-bit offset (taken modulo the size) and
// the byte to put there. Two bytes left over cut the object short.
std::string edited(std::string object, const std::uint8_t* edits, std::size_t size) {
    auto offsetAt = [&](std::size_t at) {
        return static_cast<std::size_t>(edits[at] << 8 | edits[at + 1]) % object.size();
    };
    std::size_t at = 0;
    for (; size - at >= 3; at += 3) object[offsetAt(at)] = static_cast<char>(edits[at + 2]);
    if (size - at == 2) object.resize(offsetAt(at) + 1);
    return object;
}

std::string wrapped(OwnMessage kind, const std::string& object, const std::string& content) {
    const gss_buffer_desc pidu = viewOf(object);
    const gss_buffer_desc signedContent = viewOf(content);
    smimeGenerator generator;
    require((kind == OwnMessage::SignedData    ? generator.insertSignedData(&pidu)
             : kind == OwnMessage::ClearSigned ? generator.insertMultipartAndSignedData(digestSHA256, &signedContent, &pidu)
                                               : generator.insertEnvelopedData(&pidu)) == SMIME_OK,
            "the generator wraps an edited object");
    HeapBuffer message;
    require(generator.getMessage(message.get()) == SMIME_OK, "the generator hands out its message");
    return std::string(message.bytes());
}

} // namespace

unsigned unprotectMessage(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return SMIME_OK;
    const std::uint8_t mode = data[0];
    Identity& identity = (mode & kUseEcIdentity) != 0 ? parties().ec : parties().rsa;
    std::string text;
    if ((mode & kEditOwnMessage) != 0) {
        const auto kind = static_cast<OwnMessage>(data[1] % kOwnMessageKinds);
        const Pkcs7Parts& own = identity.own(kind);
        text = wrapped(kind, edited(own.object, data + 2, size - 2), own.content);
    } else {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    }

    SMIMEMessage& message = identity.message();
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
        record.verify_flags = (mode & kSignatureOnly) != 0 ? KIVO_VERIFY_SIGNATURE
                                                            : KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
        status = inPlace ? message.verify(&record, &minor) : message.verify(content.get(), &record, &minor);
        OM_uint32 scratch = 0;
        prov_release_buffer(&scratch, &record.signer_subject);
        prov_release_buffer(&scratch, &record.signer_certificate);
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
