// The OpenSSL provider's protect and unprotect: the reason for each refusal,
// tampered messages caught with the right reason and the held message kept,
// decryption failing one way whatever failed, and hostile tokens refused.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>

#include "gss_buffers.h"
#include "provider_environment.h"
#include "random_bytes.h"
#include "smime_der.h"
#include "smime_session.h"
#include "test_pki.h"
#include "vek4kivoidup.h"
#include "vek4kivooidtable.h"

namespace {

using testpki::KeyStoreFiles;
using testpki::keyStoreFiles;
using testpki::standardPki;

const std::string kText = "Content-Type: text/plain\r\n\r\nPay Bob 100 euros.\r\n";

struct Refusal {
    OM_uint32 major;
    OM_uint32 minor;
};

Refusal protect(void* environment, IDUP_Protect_Request_desc request, IDUP_Target_Info_desc* targets,
                gss_buffer_desc token = {0, nullptr}) {
    const gss_buffer_desc input = viewOf(kText);
    gss_buffer_desc detached = {0, nullptr};
    Refusal r{0, 0};
    const void* before = token.value;
    r.major = prov_protect(environment, &request, targets, &input, &r.minor, &token, &detached);
    EXPECT_EQ(ERR_peek_error(), 0u);
    if (r.major != 0) {
        EXPECT_EQ(token.value, before) << "a failed call leaves its output alone";
        EXPECT_EQ(detached.value, nullptr);
    } else {
        take(token);
        take(detached);
    }
    return r;
}

TEST(ProviderProtect, RefusesWhatItCannotDoWithTheRightReason) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    ProviderEnvironment keyless(keyStoreFiles().rootPem);
    const std::string bob = testpki::certPem(standardPki().bob.cert.get());
    const std::string notACert = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    gss_buffer_desc good[] = {viewOf(bob)};
    const std::string notDer("\x30\x03\x02\x01\x01", 5);
    const std::string expired = testpki::certPem(standardPki().expired.cert.get());
    const std::string authority = testpki::certPem(standardPki().root.cert.get()); // may only sign certificates
    gss_buffer_desc mixed[] = {viewOf(bob), viewOf(notACert), viewOf(notDer), viewOf(expired), viewOf(authority)};
    OM_uint32 statuses[5] = {99, 99, 99, 99, 99};
    IDUP_Target_Info_desc none = {0, good, nullptr};
    IDUP_Target_Info_desc oneGood = {1, good, nullptr};
    IDUP_Target_Info_desc someBad = {5, mixed, statuses};
    char somewhere = 0;

    struct Case {
        const char* name;
        void* environment;
        IDUP_Protect_Request_desc request;
        IDUP_Target_Info_desc* targets;
        gss_buffer_desc token;
        OM_uint32 reason;
    };
    const Case cases[] = {
        {"MD2", alice.handle(), {IDUP_Protect_Sign, KIVO_DIGEST_MD2, 0, 0}, nullptr, {0, nullptr},
         KIVO_R_UNSUPPORTED_DIGEST},
        {"unknown digest", alice.handle(), {IDUP_Protect_SignatureOnly, 0x700, 0, 0}, nullptr, {0, nullptr},
         KIVO_R_UNSUPPORTED_DIGEST},
        {"unknown strength", alice.handle(), {IDUP_Protect_Encrypt, 0, 100, 0}, &oneGood, {0, nullptr},
         KIVO_R_UNSUPPORTED_CIPHER},
        {"no recipients", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &none, {0, nullptr},
         KIVO_R_NO_RECIPIENTS},
        {"no target record", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, nullptr, {0, nullptr},
         KIVO_R_NO_RECIPIENTS},
        {"unreadable recipients", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &someBad, {0, nullptr},
         KIVO_R_BAD_RECIPIENT_CERTIFICATE},
        {"signing without a key", keyless.handle(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, {0, nullptr},
         KIVO_R_NO_PRIVATE_KEY},
        {"unknown operation", alice.handle(), {5, 0, 0, 0}, nullptr, {0, nullptr}, KIVO_R_UNSUPPORTED_OPERATION},
        {"output not empty", alice.handle(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, {1, &somewhere},
         KIVO_R_BAD_PARAMETER},
        {"no environment", nullptr, {IDUP_Protect_Sign, 0, 0, 0}, nullptr, {0, nullptr}, KIVO_R_BAD_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Refusal r = protect(c.environment, c.request, c.targets, c.token);
        EXPECT_NE(r.major, 0u);
        EXPECT_EQ(r.minor, c.reason);
    }
    EXPECT_EQ(statuses[0], 0u);
    EXPECT_EQ(statuses[1], static_cast<OM_uint32>(KIVO_R_BAD_RECIPIENT_CERTIFICATE));
    EXPECT_EQ(statuses[2], static_cast<OM_uint32>(KIVO_R_BAD_RECIPIENT_CERTIFICATE));
    EXPECT_EQ(statuses[3], static_cast<OM_uint32>(KIVO_R_CERTIFICATE_EXPIRED));
    EXPECT_EQ(statuses[4], static_cast<OM_uint32>(KIVO_R_BAD_RECIPIENT_CERTIFICATE));

    // A keyless credential still encrypts: that is what it is for.
    EXPECT_EQ(protect(keyless.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &oneGood).major, 0u);
}

// --- Messages made by the library, then changed ---------------------------

std::string signedMessage(const std::string& keyStore, bool clear) {
    SMIMEMessage message;
    loginWith(message, keyStore);
    setHeld(message, kText);
    unsigned minor = 0;
    const unsigned status = clear ? message.signSignatureOnly(digestSHA256, &minor) : message.sign(digestSHA256, &minor);
    EXPECT_EQ(status, 0u) << minor;
    return heldMessage(message);
}

std::string envelopedFor(X509* recipient) {
    SMIMEMessage message;
    loginWith(message, keyStoreFiles().carolPem);
    setHeld(message, kText);
    const std::string pem = testpki::certPem(recipient);
    gss_buffer_desc certs[] = {viewOf(pem)};
    IDUP_Target_Info_desc targets = {1, certs, nullptr};
    unsigned minor = 0;
    EXPECT_EQ(message.encrypt(strengthAES256, &targets, &minor), 0u) << minor;
    return heldMessage(message);
}

using CmsPtr = std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)>;

CmsPtr parse(const std::string& der) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())), CMS_ContentInfo_free);
}

std::string encode(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

// Flips one bit of an octet string in place: the structure stays valid.
void flip(ASN1_OCTET_STRING* octets, int index) {
    std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(octets)),
                      static_cast<std::size_t>(ASN1_STRING_length(octets)));
    ASSERT_LT(static_cast<std::size_t>(index), bytes.size());
    bytes[static_cast<std::size_t>(index)] ^= 0x01;
    ASSERT_EQ(ASN1_OCTET_STRING_set(octets, reinterpret_cast<const unsigned char*>(bytes.data()),
                                    static_cast<int>(bytes.size())),
              1);
}

std::string withChangedContent(const std::string& entity, const std::string& smimeType, int index) {
    CmsPtr cms = parse(derFromSmime(entity));
    EXPECT_TRUE(cms);
    if (!cms) return entity;
    flip(*CMS_get0_content(cms.get()), index);
    return smimeFromDer(encode(cms.get()), smimeType);
}

std::string withChangedSignature(const std::string& entity) {
    CmsPtr cms = parse(derFromSmime(entity));
    EXPECT_TRUE(cms);
    if (!cms) return entity;
    flip(CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0)), 10);
    return smimeFromDer(encode(cms.get()), "signed-data");
}

// Changes one character of the signature part's base64, late enough to fall
// in the signature value.
std::string withChangedDetachedSignature(const std::string& clearSigned) {
    std::string changed = clearSigned;
    const TextRange signature = signatureBody(changed);
    EXPECT_NE(signature.last, std::string::npos);
    std::size_t at = signature.last;
    while (at > 0 && !std::isalnum(static_cast<unsigned char>(changed[at]))) --at;
    at -= 8;
    changed[at] = changed[at] == 'A' ? 'B' : 'A';
    return changed;
}

struct Attempt {
    unsigned status;
    unsigned minor;
    std::string heldAfter;
};

Attempt verifyAs(const std::string& keyStore, const std::string& message, OM_uint32 flags = 3,
                 const std::string& anchors = "") {
    SMIMEMessage verifier;
    loginWith(verifier, keyStore);
    setHeld(verifier, message);
    VerifyRecord record;
    record.info.verify_flags = flags;
    record.info.trust_anchors = viewOf(anchors);
    Attempt a{0, 0, ""};
    a.status = verifier.verify(&record.info, &a.minor);
    a.heldAfter = heldMessage(verifier);
    if (a.status == 10) {
        EXPECT_EQ(record.info.reason, a.minor) << "the record tells the same reason";
    }
    return a;
}

Attempt decryptAs(const std::string& keyStore, const std::string& message) {
    SMIMEMessage receiver;
    loginWith(receiver, keyStore);
    setHeld(receiver, message);
    Attempt a{0, 0, ""};
    a.status = receiver.decrypt(&a.minor);
    a.heldAfter = heldMessage(receiver);
    return a;
}

TEST(ProviderVerify, CatchesEveryTamperingAndKeepsTheHeldMessage) {
    const KeyStoreFiles& files = keyStoreFiles();
    const std::string opaque = signedMessage(files.aliceP12, false);
    const std::string clear = signedMessage(files.aliceP12, true);
    std::string clearChangedContent = clear;
    clearChangedContent.replace(clearChangedContent.find("100"), 3, "900");
    const std::string otherRoot = testpki::certPem(standardPki().otherRoot.cert.get());

    struct Case {
        const char* name;
        std::string message;
        std::string signerKeyStore;
        OM_uint32 flags;
        std::string anchors;
        OM_uint32 reason;
    };
    const Case cases[] = {
        {"content byte changed, opaque", withChangedContent(opaque, "signed-data", 30), "", 3, "",
         KIVO_R_SIGNATURE_INVALID},
        {"signature byte changed, opaque", withChangedSignature(opaque), "", 3, "", KIVO_R_SIGNATURE_INVALID},
        {"content byte changed, clear-signed", clearChangedContent, "", 3, "", KIVO_R_SIGNATURE_INVALID},
        {"signature byte changed, clear-signed", withChangedDetachedSignature(clear), "", 3, "",
         KIVO_R_SIGNATURE_INVALID},
        {"untrusted signer", "", files.strangerP12, 3, "", KIVO_R_SIGNER_NOT_TRUSTED},
        {"expired signer", "", files.expiredP12, 3, "", KIVO_R_CERTIFICATE_EXPIRED},
        {"untrusted signer, its root given for this call", "", files.strangerP12, 3, otherRoot, KIVO_R_NONE},
        {"untrusted signer, signature alone checked", "", files.strangerP12, 1, "", KIVO_R_NONE},
        {"expired signer, signature alone checked", "", files.expiredP12, 1, "", KIVO_R_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = c.signerKeyStore.empty() ? c.message : signedMessage(c.signerKeyStore, false);
        // Bob verifies: his key store trusts the test root, not the other one.
        const Attempt a = verifyAs(files.bobP12, message, c.flags, c.anchors);
        if (c.reason == KIVO_R_NONE) {
            EXPECT_EQ(a.status, 0u) << "minor " << a.minor;
            EXPECT_EQ(a.heldAfter, kText);
        } else {
            EXPECT_EQ(a.status, static_cast<unsigned>(SMIME_PROVIDER_FAILED));
            EXPECT_EQ(a.minor, c.reason);
            EXPECT_EQ(a.heldAfter, message) << "the held message is unchanged";
        }
    }
}

TEST(ProviderDecrypt, FailsOneWayWhateverFailed) {
    const KeyStoreFiles& files = keyStoreFiles();
    const std::string forAlice = envelopedFor(standardPki().alice.cert.get());
    // The wrapped content key of an RSA-2048 recipient: a 256-byte octet string.
    std::string der = derFromSmime(forAlice);
    const std::size_t wrappedKey = der.find(std::string("\x04\x82\x01\x00", 4));
    ASSERT_NE(wrappedKey, std::string::npos);
    std::string badKey = der;
    badKey[wrappedKey + 4 + 17] ^= 0x40;
    // The last byte of the next-to-last block: it flips the padding byte,
    // which then cannot be valid.
    CmsPtr cms = parse(der);
    ASSERT_TRUE(cms);
    const int contentLength = ASN1_STRING_length(*CMS_get0_content(cms.get()));

    struct Case {
        const char* name;
        std::string message;
        std::string keyStore;
        OM_uint32 reason;
    };
    const Case cases[] = {
        {"another's key", forAlice, files.bobP12, KIVO_R_NOT_A_RECIPIENT},
        {"no key at all", forAlice, files.rootPem, KIVO_R_NO_PRIVATE_KEY},
        {"wrapped key changed", smimeFromDer(badKey, "enveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"padding broken", withChangedContent(forAlice, "enveloped-data", contentLength - 17), files.aliceP12,
         KIVO_R_DECRYPTION_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Attempt a = decryptAs(c.keyStore, c.message);
        // A changed wrapped key leaves a random content key, whose padding is
        // valid once in about 256 tries; then the content is noise, not ours.
        if (a.status == 0 && c.reason == KIVO_R_DECRYPTION_FAILED) {
            EXPECT_NE(a.heldAfter, kText);
            continue;
        }
        EXPECT_EQ(a.status, static_cast<unsigned>(SMIME_PROVIDER_FAILED));
        EXPECT_EQ(a.minor, c.reason);
        EXPECT_EQ(a.heldAfter, c.message);
    }
}

// --- Hostile tokens ---------------------------------------------------------

std::string nested(std::size_t depth) {
    std::string der;
    for (std::size_t i = 0; i < depth; ++i) der += std::string("\x30\x80", 2);
    return der + std::string(2 * depth, '\0');
}

TEST(ProviderUnprotect, RefusesHostileTokensWithAReason) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    const std::string opaque = derFromSmime(signedMessage(keyStoreFiles().aliceP12, false));
    const std::string enveloped = derFromSmime(envelopedFor(standardPki().alice.cert.get()));

    std::vector<std::pair<std::string, std::string>> tokens = {
        {"empty", ""},
        {"one byte", "\x30"},
        {"deeply nested indefinite lengths", nested(100000)},
        {"huge definite length", std::string("\x30\x84\x7f\xff\xff\xff\x06\x09", 8)},
        {"content type alone", std::string("\x30\x0b\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 13)},
        {"a signed token with bytes after it", opaque + std::string("\0\0junk", 6)},
        {"data, not signed or enveloped", std::string("\x30\x0f\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01"
                                                      "\xa0\x02\x04\x00", 17)},
    };
    for (std::uint32_t seed = 1; seed <= 20; ++seed) tokens.emplace_back("random", randomBytes(64 * seed, seed));
    // Cut short at many places.
    for (std::size_t cut = 0; cut < opaque.size(); cut += 13) tokens.emplace_back("cut signed", opaque.substr(0, cut));
    for (std::size_t cut = 0; cut < enveloped.size(); cut += 13)
        tokens.emplace_back("cut enveloped", enveloped.substr(0, cut));

    for (const auto& [name, bytes] : tokens) {
        SCOPED_TRACE(name + " of " + std::to_string(bytes.size()) + " bytes");
        const gss_buffer_desc token = viewOf(bytes);
        gss_buffer_desc content = {0, nullptr};
        IDUP_PIDU_Information_desc* info = prov_create_pidu_info(nullptr);
        OM_uint32 minor = 0;
        EXPECT_NE(prov_unprotect(alice.handle(), &token, nullptr, &minor, &content, info), 0u);
        EXPECT_NE(minor, 0u);
        EXPECT_EQ(info->reason, minor);
        EXPECT_EQ(content.value, nullptr);
        EXPECT_EQ(ERR_peek_error(), 0u);
        OM_uint32 scratch = 0;
        prov_release_pidu_info(&scratch, &info);
    }
}

TEST(ProviderUnprotect, HostileTokensInAMessageLeaveItAsItWas) {
    const std::string inputs[] = {randomBytes(500, 3), nested(5000), std::string("\x30\x84\xff\xff\xff\xff", 6)};
    for (const char* type : {"signed-data", "enveloped-data"}) {
        for (const std::string& bytes : inputs) {
            SCOPED_TRACE(type);
            const std::string message = smimeFromDer(bytes, type);
            const Attempt a = std::string(type) == "signed-data" ? verifyAs(keyStoreFiles().aliceP12, message)
                                                                 : decryptAs(keyStoreFiles().aliceP12, message);
            EXPECT_EQ(a.status, static_cast<unsigned>(SMIME_PROVIDER_FAILED));
            EXPECT_EQ(a.minor, static_cast<unsigned>(KIVO_R_MALFORMED_TOKEN));
            EXPECT_EQ(a.heldAfter, message);
        }
    }
}

// --- Limits and records -----------------------------------------------------

// One definite-length TLV: its header and contents.
struct Tlv {
    std::string header;
    std::string content;
};

Tlv readTlv(const std::string& der, std::size_t& at) {
    const auto* start = reinterpret_cast<const unsigned char*>(der.data()) + at;
    const unsigned char* cursor = start;
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    EXPECT_EQ(ASN1_get_object(&cursor, &length, &tag, &tagClass, static_cast<long>(der.size() - at)) & 0x81, 0);
    const std::size_t headerLength = static_cast<std::size_t>(cursor - start);
    Tlv tlv{der.substr(at, headerLength), der.substr(at + headerLength, static_cast<std::size_t>(length))};
    at += headerLength + static_cast<std::size_t>(length);
    return tlv;
}

// The same identifier with a header for new contents.
std::string rewrap(const Tlv& tlv, const std::string& content) {
    std::string header(1, tlv.header[0]);
    const std::size_t n = content.size();
    if (n < 0x80) header += static_cast<char>(n);
    else if (n < 0x100) header += std::string("\x81") + static_cast<char>(n);
    else if (n < 0x10000) header += std::string("\x82") + static_cast<char>(n >> 8) + static_cast<char>(n & 0xff);
    else header += std::string("\x83") + static_cast<char>(n >> 16) + static_cast<char>((n >> 8) & 0xff) + static_cast<char>(n & 0xff);
    return header + content;
}

// A SignedData token whose digestAlgorithms set lists its one entry copies
// times: a signature still valid, but one hash pass per entry.
std::string withRepeatedDigestAlgorithm(const std::string& der, int copies) {
    std::size_t at = 0;
    const Tlv contentInfo = readTlv(der, at);
    at = 0;
    const std::string& ci = contentInfo.content;
    const Tlv type = readTlv(ci, at);
    const Tlv explicitContent = readTlv(ci, at);
    std::size_t inner = 0;
    const Tlv signedData = readTlv(explicitContent.content, inner);
    std::size_t sd = 0;
    const Tlv version = readTlv(signedData.content, sd);
    const Tlv digests = readTlv(signedData.content, sd);
    std::string repeated;
    for (int i = 0; i < copies; ++i) repeated += digests.content;
    const std::string rest = signedData.content.substr(sd);
    const std::string newSignedData =
        rewrap(signedData, version.header + version.content + rewrap(digests, repeated) + rest);
    return rewrap(contentInfo, type.header + type.content + rewrap(explicitContent, newSignedData));
}

OM_uint32 unprotectReason(void* environment, const std::string& token, IDUP_PIDU_Information_desc* info) {
    const gss_buffer_desc buffer = viewOf(token);
    gss_buffer_desc content = {0, nullptr};
    OM_uint32 minor = 0;
    prov_unprotect(environment, &buffer, nullptr, &minor, &content, info);
    take(content);
    return minor;
}

TEST(ProviderVerify, RefusesTokensThatAskForUnboundedWork) {
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const std::string opaque = derFromSmime(signedMessage(keyStoreFiles().aliceP12, false));
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 1), nullptr), 0u)
        << "the rebuilt token is the original";
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 8), nullptr), 0u);
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 9), nullptr),
              static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 20000), nullptr),
              static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
}

TEST(ProviderVerify, ARecordPassedAgainReportsOnlyThisCall) {
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const std::string opaque = derFromSmime(signedMessage(keyStoreFiles().aliceP12, false));
    VerifyRecord record;
    ASSERT_EQ(unprotectReason(bob.handle(), opaque, &record.info), 0u);
    ASSERT_NE(record.subject(), "");
    EXPECT_EQ(unprotectReason(bob.handle(), "not a token", &record.info), static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
    EXPECT_EQ(record.info.reason, static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
    EXPECT_EQ(record.info.signer_subject.value, nullptr) << "the earlier signer is gone";
    EXPECT_EQ(record.info.signer_certificate.value, nullptr);
    EXPECT_EQ(record.info.signing_time, 0);

    // A zeroed record, or one with bits nobody defined, asks for nothing
    // known: it must not pass for "skip the trust check".
    for (OM_uint32 flags : {0u, 0x80u, 0x5u}) {
        SCOPED_TRACE(flags);
        record.info.verify_flags = flags;
        EXPECT_EQ(unprotectReason(bob.handle(), opaque, &record.info), static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));
    }
}

// A detached signature naming a digest nobody knows, with content beside it:
// OpenSSL 3.0's CMS_verify loses a memory BIO on this path unless it is kept
// from taking it (the sanitizer builds would report the leak).
TEST(ProviderVerify, AnUnknownDigestBesideDetachedContentIsRefusedWithoutALeak) {
    const std::string clear = signedMessage(keyStoreFiles().aliceP12, true);
    const TextRange body = signatureBody(clear);
    std::string der = base64DecodeLines(clear.substr(body.first, body.last - body.first));
    const std::string sha256Oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
    const std::size_t oid = der.find(sha256Oid);
    ASSERT_NE(oid, std::string::npos);
    der[oid + sha256Oid.size() - 1] = '\x7f'; // 2.16.840.1.101.3.4.2.127: no such digest
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const gss_buffer_desc signature = viewOf(der);
    const gss_buffer_desc content = viewOf(kText);
    OM_uint32 minor = 0;
    EXPECT_NE(prov_unprotect(bob.handle(), &content, &signature, &minor, nullptr, nullptr), 0u);
    EXPECT_EQ(minor, static_cast<OM_uint32>(KIVO_R_UNSUPPORTED_DIGEST));
}

TEST(ProviderVerify, ASignerWhoseCertificateIsNowhereIsNotTrusted) {
    // Signed without certificates by someone the verifier's key store does
    // not know.
    const testpki::Identity& stranger = standardPki().stranger;
    const std::string text = "content";
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
    CmsPtr cms(CMS_sign(stranger.cert.get(), stranger.key.get(), nullptr, in.get(), CMS_BINARY | CMS_NOCERTS),
               CMS_ContentInfo_free);
    ASSERT_TRUE(cms);
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    EXPECT_EQ(unprotectReason(bob.handle(), encode(cms.get()), nullptr),
              static_cast<OM_uint32>(KIVO_R_SIGNER_NOT_TRUSTED));
}

} // namespace
