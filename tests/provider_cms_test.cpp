// Messages through SMIMEMessage and the OpenSSL provider: each refusal's reason, tampering and untrusted chains caught.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "provider_environment.h"
#include "random_bytes.h"
#include "run_command.h"
#include "smime_der.h"
#include "smime_session.h"
#include "temp_dir.h"

namespace {

using testpki::KeyKind;
using testpki::keyStoreFiles;
using testpki::standardPki;

const std::string kText = "Content-Type: text/plain\r\n\r\nPay Bob 100 euros.\r\n";
std::string pemOf(const testpki::Identity& who) { return testpki::certPem(who.cert.get()); }

std::string signedBy(const std::string& keyStore, bool clear = false) { return signedMessage(keyStore, kText, clear); }

TEST(RoundTrip, SignAndVerifyEveryDigestOpaqueAndClearSigned) {
    const std::pair<digestAlgorithm_t, unsigned> digests[] = { // asked for, reported
        {static_cast<digestAlgorithm_t>(0), KIVO_DIGEST_SHA256}, {digestMD5, KIVO_DIGEST_MD5}, {digestSHA1, KIVO_DIGEST_SHA1},
        {digestSHA256, KIVO_DIGEST_SHA256}, {digestSHA384, KIVO_DIGEST_SHA384}, {digestSHA512, KIVO_DIGEST_SHA512},
        {digestSHA256PSS, KIVO_DIGEST_PSS | KIVO_DIGEST_SHA256}, {digestSHA512PSS, KIVO_DIGEST_PSS | KIVO_DIGEST_SHA512}};
    const std::pair<std::string, const char*> signers[] = {
        {keyStoreFiles().aliceP12, "CN=Alice"}, {keyStoreFiles().bobP12, "CN=Bob"}, {keyStoreFiles().carolPem, "CN=Carol"}};
    for (const auto& [keyStore, subject] : signers) {
        for (const auto& [digest, reported] : digests) {
            for (bool clear : {false, true}) {
                SCOPED_TRACE(std::string(subject) + " digest " + std::to_string(reported) + (clear ? " clear" : ""));
                unsigned failure = 0;
                const std::string message = signedMessage(keyStore, kText, clear, digest, &failure);
                if ((digest == digestMD5 || digest & KIVO_DIGEST_PSS) && keyStore == keyStoreFiles().bobP12) { // RSA forms
                    EXPECT_EQ(failure, static_cast<unsigned>(KIVO_R_UNSUPPORTED_DIGEST));
                    EXPECT_EQ(message, kText);
                    continue;
                }
                ASSERT_EQ(failure, 0u);
                const Attempt a = verifyAs(keyStoreFiles().bobP12, message);
                const IDUP_PIDU_Information_desc& info = a.record->info;
                EXPECT_EQ(a.type, clear ? messageClearSigned : messageSignedData);
                expectOutcome(a, KIVO_R_NONE, message, kText);
                EXPECT_TRUE(info.reason == 0 && info.digest == reported && info.signer_certificate.length > 100u);
                EXPECT_NE(a.record->subject().find(subject), std::string::npos) << a.record->subject();
                EXPECT_NEAR(static_cast<double>(info.signing_time), static_cast<double>(time(nullptr)), 300.0);
                // The capabilities tell correspondents to encrypt with AES-256-GCM, then AES-128-GCM.
                const std::string gcmFirst("\x30\x0b\x06\x09\x60\x86\x48\x01\x65\x03\x04\x01\x2e\x30\x0b\x06\x09\x60\x86\x48\x01\x65\x03\x04\x01\x06", 26);
                EXPECT_TRUE(clear || derFromSmime(message).find(gcmFirst) != std::string::npos);
            }
        }
    }
}

TEST(ProviderProtect, RefusesWhatItCannotDoWithTheRightReason) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    ProviderEnvironment keyless(keyStoreFiles().rootPem), orphan(keyStoreFiles().aliceP12);
    orphan.releaseCredential();
    const std::string bob = pemOf(standardPki().bob), expired = pemOf(standardPki().expired);
    const std::string notACert = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    const std::string notDer("\x30\x03\x02\x01\x01", 5);
    const std::string authority = pemOf(standardPki().root); // may only sign certificates
    gss_buffer_desc mixed[] = {viewOf(bob), viewOf(notACert), viewOf(notDer), viewOf(expired), viewOf(authority)};
    OM_uint32 statuses[5] = {99, 99, 99, 99, 99};
    IDUP_Target_Info_desc none = {0, mixed, nullptr}, oneGood = {1, mixed, nullptr}, someBad = {5, mixed, statuses};
    char somewhere = 0;
    const struct {
        const char* name;
        void* environment;
        IDUP_Protect_Request_desc request;
        IDUP_Target_Info_desc* targets;
        OM_uint32 reason;
        gss_buffer_desc token = {0, nullptr};
    } cases[] = {
        {"MD2", alice.handle(), {IDUP_Protect_Sign, KIVO_DIGEST_MD2, 0, 0}, nullptr, KIVO_R_UNSUPPORTED_DIGEST},
        {"unknown digest", alice.handle(), {IDUP_Protect_SignatureOnly, 0x700, 0, 0}, nullptr, KIVO_R_UNSUPPORTED_DIGEST},
        {"unknown strength", alice.handle(), {IDUP_Protect_Encrypt, 0, 100, 0}, &oneGood, KIVO_R_UNSUPPORTED_CIPHER},
        {"no recipients", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &none, KIVO_R_NO_RECIPIENTS},
        {"no target record", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, nullptr, KIVO_R_NO_RECIPIENTS},
        {"unreadable recipients", alice.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &someBad, KIVO_R_BAD_RECIPIENT_CERTIFICATE},
        {"signing without a key", keyless.handle(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, KIVO_R_NO_PRIVATE_KEY},
        {"unknown operation", alice.handle(), {5, 0, 0, 0}, nullptr, KIVO_R_UNSUPPORTED_OPERATION},
        {"output not empty", alice.handle(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, KIVO_R_BAD_PARAMETER, {1, &somewhere}},
        {"no environment", nullptr, {IDUP_Protect_Sign, 0, 0, 0}, nullptr, KIVO_R_BAD_PARAMETER},
        {"a credential as environment", alice.credential(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, KIVO_R_BAD_HANDLE},
        {"an environment outlives its credential", orphan.handle(), {IDUP_Protect_Sign, 0, 0, 0}, nullptr, KIVO_R_NONE},
        {"a keyless credential still encrypts", keyless.handle(), {IDUP_Protect_Encrypt, 0, 0, 0}, &oneGood, KIVO_R_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const gss_buffer_desc input = viewOf(kText);
        gss_buffer_desc token = c.token, detached = {0, nullptr};
        OM_uint32 minor = 0;
        const OM_uint32 major = prov_protect(c.environment, &c.request, c.targets, &input, &minor, &token, &detached);
        EXPECT_EQ(ERR_peek_error(), 0u);
        EXPECT_EQ(major == 0, c.reason == KIVO_R_NONE);
        EXPECT_EQ(minor, c.reason);
        if (major == 0) {
            take(token);
            take(detached);
        } else {
            EXPECT_EQ(token.value, c.token.value) << "a failed call leaves its output alone";
            EXPECT_EQ(detached.value, nullptr);
        }
    }
    const OM_uint32 expected[] = {0, KIVO_R_BAD_RECIPIENT_CERTIFICATE, KIVO_R_BAD_RECIPIENT_CERTIFICATE,
                                  KIVO_R_CERTIFICATE_EXPIRED, KIVO_R_BAD_RECIPIENT_CERTIFICATE};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(statuses[i], expected[i]) << "recipient " << i;
}

// One bit flipped in the entity's DER: at the first byte of at, or fromEnd bytes before the end.
std::string withFlippedBit(const std::string& entity, const std::string& smimeType, std::size_t fromEnd,
                           const std::string& at = "") {
    std::string der = derFromSmime(entity);
    der[at.empty() ? der.size() - fromEnd : der.find(at)] ^= 0x01;
    return smimeFromDer(der, smimeType);
}

// A key store of a certificate issued with options by issuer, with chain.
std::string keyStoreOf(const testpki::Identity& issuer, testpki::IssueOptions options, std::vector<X509*> chain) {
    static TempDir folder;
    static int count = 0;
    return folder.write(std::to_string(++count) + ".p12", testpki::pkcs12(testpki::issue(issuer, options), chain,
                                                                           testpki::KeyStoreFiles::kPassword));
}

// Signed by a new signer that the test root issues with options.
std::string signedByIssued(const testpki::IssueOptions& options) {
    const testpki::Identity& root = standardPki().root;
    return signedBy(keyStoreOf(root, options, {root.cert.get()}));
}

TEST(ProviderVerify, CatchesEveryTamperingAndUntrustedChainAndKeepsTheHeldMessage) {
    const auto& files = keyStoreFiles();
    const auto& pki = standardPki();
    X509* root = pki.root.cert.get();
    const std::string opaque = signedBy(files.aliceP12, false), clear = signedBy(files.aliceP12, true);
    std::string changedContent = clear, changedSignature = clear;
    changedContent.replace(changedContent.find("100"), 3, "900");
    // One character of the signature part's base64, late enough to fall in the signature value.
    const std::size_t late = signatureBody(clear).last - 12;
    changedSignature[late] = clear[late] == 'A' ? 'B' : 'A';
    const testpki::IssueOptions plain{"Early", "early@example.com", KeyKind::EcP256};
    testpki::IssueOptions early = plain;
    early.validFromSeconds = 86400;
    // A signer whose certificate has this key usage and extended key usage (empty: the usual ones).
    const auto usage = [&](const char* keyUsage, const char* extendedKeyUsage) {
        testpki::IssueOptions options = plain;
        options.keyUsage = keyUsage;
        options.extendedKeyUsage = extendedKeyUsage;
        return signedByIssued(options);
    };
    const std::string noSigning = usage("critical,keyEncipherment", "");
    const std::string daveSigned = signedBy(keyStoreOf(pki.intermediate, plain, {root}));

    const std::string stranger = signedBy(files.strangerP12), expired = signedBy(files.expiredP12);
    // A PSS signature whose parameters declare a salt one octet shorter than the one it was made with, one whose
    // mask function names SHA-512 (the second SHA-256 OID), and one with no parameters at all.
    const std::string pss = derFromSmime(signedMessage(files.aliceP12, kText, false, digestSHA256PSS));
    std::string pssDer = pss, pssMask = pss;
    pssDer[pssDer.find(std::string("\xa2\x03\x02\x01\x20", 5)) + 4] = '\x1f';
    const std::string sha256Oid = "\x60\x86\x48\x01\x65\x03\x04\x02\x01";
    pssMask[pssMask.find(sha256Oid, pssMask.find(sha256Oid, pssMask.find("\x2a\x86\x48\x86\xf7\x0d\x01\x01\x0a")) + 1) + 8] = '\x03';
    const auto* in = reinterpret_cast<const unsigned char*>(pss.data());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> parsed(
        d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(pss.size())), CMS_ContentInfo_free);
    X509_ALGOR* algorithm = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(parsed.get()), 0), nullptr, nullptr, nullptr,
                             &algorithm);
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_rsassaPss), V_ASN1_UNDEF, nullptr);
    const std::string pssBare = derOf(parsed.get());
    // Labels as mail clients write them: the close delimiter as the last bytes, the x- type in capitals, micalg
    // missing or unknown, no smime-type on BER (30 80), or the wrong one.
    ASSERT_EQ(clear.substr(clear.size() - 4), "--\r\n");
    const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        return text;
    };
    const auto bare = [](const testpki::Identity& who, unsigned flags) {
        return opensslCms(false, who.cert.get(), who.key.get(), kText, CMS_BINARY | flags);
    };
    const std::string streamed = base64Part("application/x-pkcs7-mime", "smime.p7m", bare(pki.alice, CMS_STREAM));
    ASSERT_EQ(derFromSmime(streamed).substr(0, 2), std::string("\x30\x80", 2));
    const std::string noCerts = smimeFromDer(bare(pki.alice, CMS_NOCERTS), "signed-data");
    const std::string daveNoCerts = smimeFromDer(bare(pki.dave, CMS_NOCERTS), "signed-data");
    const std::string notACert = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    const struct {
        const char* name;
        std::string message;
        OM_uint32 reason;
        std::string verifierKeyStore = keyStoreFiles().bobP12; // trusts the test root, not the other one
        OM_uint32 flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
        std::string anchors = "", certificates = "";
        std::optional<messageType_t> type = std::nullopt; // what getMessageType says before
    } cases[] = {
        {"content byte changed, opaque", withFlippedBit(opaque, "signed-data", 0, "Bob 100"), KIVO_R_SIGNATURE_INVALID},
        {"signature byte changed, opaque", withFlippedBit(opaque, "signed-data", 10), KIVO_R_SIGNATURE_INVALID},
        {"content byte changed, clear-signed", changedContent, KIVO_R_SIGNATURE_INVALID},
        {"signature byte changed, clear-signed", changedSignature, KIVO_R_SIGNATURE_INVALID},
        {"PSS salt length changed", smimeFromDer(pssDer, "signed-data"), KIVO_R_SIGNATURE_INVALID},
        {"PSS mask function's hash changed", smimeFromDer(pssMask, "signed-data"), KIVO_R_SIGNATURE_INVALID},
        {"PSS parameters absent", smimeFromDer(pssBare, "signed-data"), KIVO_R_SIGNATURE_INVALID},
        {"untrusted signer", stranger, KIVO_R_SIGNER_NOT_TRUSTED},
        {"expired signer", expired, KIVO_R_CERTIFICATE_EXPIRED},
        {"not yet valid signer", signedByIssued(early), KIVO_R_CERTIFICATE_EXPIRED},
        {"untrusted signer, its root given for this call", stranger, KIVO_R_NONE, files.bobP12, 3, pemOf(pki.otherRoot)},
        {"untrusted signer, signature alone checked", stranger, KIVO_R_NONE, files.bobP12, 1},
        {"expired signer, signature alone checked", expired, KIVO_R_NONE, files.bobP12, 1},
        {"intermediate carried in the message", signedBy(files.daveP12), KIVO_R_NONE},
        {"intermediate nowhere", daveSigned, KIVO_R_SIGNER_NOT_TRUSTED},
        {"intermediate in the verifier's key store", daveSigned, KIVO_R_NONE, files.daveP12},
        {"issued by a leaf that is no CA", signedBy(keyStoreOf(pki.alice, plain, {pki.alice.cert.get(), root})),
         KIVO_R_SIGNER_NOT_TRUSTED},
        {"extended key usage serverAuth only", usage("", "serverAuth"), KIVO_R_SIGNER_NOT_PERMITTED},
        {"extended key usage anyExtendedKeyUsage", usage("", "anyExtendedKeyUsage"), KIVO_R_NONE},
        {"extended key usage serverAuth and emailProtection", usage("", "serverAuth,emailProtection"), KIVO_R_NONE},
        {"key usage without digitalSignature", noSigning, KIVO_R_SIGNER_NOT_PERMITTED},
        {"key usage without digitalSignature, signature alone checked", noSigning, KIVO_R_SIGNER_NOT_PERMITTED, files.bobP12, 1},
        {"key usage nonRepudiation alone", usage("critical,nonRepudiation", ""), KIVO_R_NONE},
        {"key usage nonRepudiation, extended key usage codeSigning", usage("nonRepudiation", "codeSigning"),
         KIVO_R_SIGNER_NOT_PERMITTED},
        {"close delimiter as the last bytes", clear.substr(0, clear.size() - 2), KIVO_R_NONE},
        {"x-pkcs7-signature in capitals", replaced(clear, "application/pkcs7-signature", "APPLICATION/X-PKCS7-SIGNATURE"), KIVO_R_NONE},
        {"micalg missing", replaced(clear, "micalg=sha-256; ", ""), KIVO_R_NONE},
        {"micalg unknown", replaced(clear, "micalg=sha-256", "micalg=x-unknown"), KIVO_R_NONE},
        {"BER without smime-type", streamed, KIVO_R_NONE, files.bobP12, 3, "", "", messageUnknown},
        {"labelled enveloped-data", replaced(opaque, "signed-data", "enveloped-data"), KIVO_R_NONE, files.bobP12, 3, "", "",
         messageEnvelopedData},
        {"no certificates", noCerts, KIVO_R_SIGNER_NOT_TRUSTED},
        {"no certificates, the signer's given", noCerts, KIVO_R_NONE, files.bobP12, 3, "", pemOf(pki.alice)},
        {"no certificates, the signer's given, not trusted for it", noCerts, KIVO_R_SIGNER_NOT_TRUSTED, files.strangerP12, 3,
         "", pemOf(pki.alice) + pemOf(pki.root)},
        {"no certificates, intermediate nowhere", daveNoCerts, KIVO_R_SIGNER_NOT_TRUSTED, files.bobP12, 3, "", pemOf(pki.dave)},
        {"no certificates, intermediate given", daveNoCerts, KIVO_R_NONE, files.bobP12, 3, "",
         pemOf(pki.intermediate) + pemOf(pki.dave)},
        {"given certificates that are not PEM", opaque, KIVO_R_BAD_PARAMETER, files.bobP12, 3, "", "not PEM"},
        {"given PEM that is no certificate", opaque, KIVO_R_BAD_PARAMETER, files.bobP12, 1, "", pemOf(pki.alice) + notACert},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Attempt a = verifyAs(c.verifierKeyStore, c.message, c.flags, c.anchors, {"", 0, c.certificates});
        expectOutcome(a, c.reason, c.message, kText);
        EXPECT_EQ(a.type, c.type.value_or(a.type));
    }
}

// A PKI of its own for revocation: a root, a CA under it and one the root revoked, leaves valid for the last ten
// days (one of them expired yesterday), and their key stores with the chain.
struct RevocationPki {
    static constexpr long kDay = 86400;
    testpki::Identity root = testpki::makeRoot("Revocation Root"), ca = authority("Revocation CA"),
                      revokedCa = authority("Revoked CA"), good = leaf(ca, "good"), revoked = leaf(ca, "revoked"),
                      underRevoked = leaf(revokedCa, "under"), lapsed = leaf(ca, "lapsed", 9 * kDay);
    TempDir folder;
    testpki::Identity authority(const char* name) {
        return testpki::issue(root, {name, "", KeyKind::EcP256, -20 * kDay, 365 * kDay, true});
    }
    static testpki::Identity leaf(const testpki::Identity& ca, const std::string& name, long validFor = 365 * kDay) {
        return testpki::issue(ca, {name, name + "@example.com", KeyKind::EcP256, -10 * kDay, validFor});
    }
    std::string storeOf(const testpki::Identity& who, const testpki::Identity& issuer) {
        return folder.write("store" + std::to_string(++stores) + ".p12",
                            testpki::pkcs12(who, {issuer.cert.get()}, testpki::KeyStoreFiles::kPassword));
    }
    int stores = 0;
};

// A message signed by who (with its issuer in it) whose signing time says secondsAgo.
std::string signedEarlier(const testpki::Identity& who, const testpki::Identity& issuer, long secondsAgo) {
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(kText.data(), static_cast<int>(kText.size())), BIO_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>
        chain(sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_free(s); });
    sk_X509_push(chain.get(), issuer.cert.get());
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_sign(who.cert.get(), who.key.get(), chain.get(), nullptr, CMS_BINARY | CMS_PARTIAL), CMS_ContentInfo_free);
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> when(ASN1_TIME_adj(nullptr, time(nullptr), 0, -secondsAgo), ASN1_TIME_free);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    EXPECT_EQ(CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, when->type, when.get(), -1), 1);
    EXPECT_EQ(CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY), 1);
    return smimeFromDer(derOf(cms.get()), "signed-data");
}

// Revocation with CRLs, as of now or another time, beside `openssl verify -crl_check_all` on the same chain and
// CRLs where the openssl command runs.
TEST(ProviderVerify, ChecksRevocationAsOpensslVerifyDoes) {
    RevocationPki pki;
    const long day = RevocationPki::kDay;
    const std::string rootCrl = testpki::crlPem(pki.root, {{pki.revokedCa.cert.get(), 5 * day}});
    const std::string caCrl = testpki::crlPem(pki.ca, {{pki.revoked.cert.get(), 3 * day}});
    const std::string current = rootCrl + caCrl, revokedCaCrl = testpki::crlPem(pki.revokedCa, {});
    const std::string stale = rootCrl + testpki::crlPem(pki.ca, {}, -2 * day, -day);
    const std::string wrongKey = rootCrl + testpki::crlPem(pki.ca, {}, -3600, day, pki.root.key.get());
    const std::string currentDer = base64DecodeLines(rootCrl.substr(25, rootCrl.find("-----END") - 25)) +
                                   base64DecodeLines(caCrl.substr(25, caCrl.find("-----END") - 25));
    const auto by = [&](const testpki::Identity& who, const testpki::Identity& ca) { return signedBy(pki.storeOf(who, ca)); };
    const std::string good = by(pki.good, pki.ca), revoked = by(pki.revoked, pki.ca);
    const std::string lapsed = signedEarlier(pki.lapsed, pki.ca, 5 * day);
    // The verifier's key store may hold CRLs too.
    const std::string storeWithCrls = pki.folder.write("verifier.pem", testpki::keyPem(pki.good.key.get()) +
                                                                        testpki::certPem(pki.good.cert.get()) + current);
    const OM_uint32 revocation = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN | KIVO_VERIFY_REVOCATION;
    const std::time_t now = time(nullptr);
    const struct {
        const char* name;
        std::string message, crls;
        OM_uint32 reason;
        std::int64_t at = 0;
        OM_uint32 flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN | KIVO_VERIFY_REVOCATION;
        std::string verifier = keyStoreFiles().bobP12;
        const testpki::Identity* signer = nullptr; // for openssl verify
    } cases[] = {
        {"good leaf", good, current, KIVO_R_NONE, 0, revocation, keyStoreFiles().bobP12, &pki.good},
        {"good leaf, CRLs as DER", good, currentDer, KIVO_R_NONE},
        {"good leaf, CRLs in the verifier's key store", good, "", KIVO_R_NONE, 0, revocation, storeWithCrls},
        {"revoked leaf", revoked, current, KIVO_R_CERTIFICATE_REVOKED, 0, revocation, keyStoreFiles().bobP12, &pki.revoked},
        {"revoked leaf, revocation not asked", revoked, current, KIVO_R_NONE, 0, KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN},
        {"revoked leaf, as of before its revocation", revoked, current, KIVO_R_NONE, now - 4 * day},
        {"revoked leaf, as of after its revocation", revoked, current, KIVO_R_CERTIFICATE_REVOKED, now - 2 * day},
        {"leaf under a revoked CA", by(pki.underRevoked, pki.revokedCa), rootCrl + revokedCaCrl,
         KIVO_R_CERTIFICATE_REVOKED, 0, revocation, keyStoreFiles().bobP12, &pki.underRevoked},
        {"CRL past its next update", good, stale, KIVO_R_REVOCATION_UNKNOWN, 0, revocation, keyStoreFiles().bobP12, &pki.good},
        {"CRL signed by the wrong key", good, wrongKey, KIVO_R_REVOCATION_UNKNOWN, 0, revocation, keyStoreFiles().bobP12,
         &pki.good},
        {"no CRL for the CA", good, caCrl, KIVO_R_REVOCATION_UNKNOWN, 0, revocation, keyStoreFiles().bobP12, &pki.good},
        {"no CRL at all", good, "", KIVO_R_REVOCATION_UNKNOWN},
        {"CRLs not CRLs", good, "-----BEGIN X509 CRL-----\nAAAA\n-----END X509 CRL-----\n", KIVO_R_BAD_PARAMETER},
        {"revocation asked without the chain", good, current, KIVO_R_BAD_PARAMETER, 0,
         KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_REVOCATION},
        {"expired since signing, now", lapsed, current, KIVO_R_CERTIFICATE_EXPIRED},
        {"expired since signing, as of its signing time", lapsed, current, KIVO_R_NONE, 0,
         revocation | KIVO_VERIFY_AT_SIGNING_TIME},
        {"expired since signing, as of a time it was valid", lapsed, current, KIVO_R_NONE, now - 5 * day},
    };
    const std::string rootPem = testpki::certPem(pki.root.cert.get());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Attempt a = verifyAs(c.verifier, c.message, c.flags, rootPem, {c.crls, c.at});
        expectOutcome(a, c.reason, c.message, kText);
        const std::int64_t revokedAt = c.reason != KIVO_R_CERTIFICATE_REVOKED ? 0 : now - (c.message == revoked ? 3 : 5) * day;
        EXPECT_NEAR(static_cast<double>(a.record->info.revocation_time), static_cast<double>(revokedAt), 60);
        if (c.signer == nullptr || !haveCommand("openssl")) continue;
        const std::string issuer = testpki::certPem(c.signer == &pki.underRevoked ? pki.revokedCa.cert.get() : pki.ca.cert.get());
        const CommandResult openssl = runCommand(
            {"openssl", "verify", "-crl_check_all", "-purpose", "smimesign", "-CAfile", pki.folder.write("root.pem", rootPem),
             "-untrusted", pki.folder.write("ca.pem", issuer), "-CRLfile", pki.folder.write("crls.pem", c.crls),
             pki.folder.write("leaf.pem", testpki::certPem(c.signer->cert.get()))});
        EXPECT_EQ(openssl.status == 0, c.reason == KIVO_R_NONE) << "openssl verify: " << openssl.out << openssl.err;
    }
}

#if !defined(_WIN32)
// A server process for one test, its output in log; stopped when this goes. ready: it printed marker, as it does
// once it listens, within ten seconds.
struct Server {
    pid_t pid = 0;
    std::string log;
    bool ready = false;
    Server(std::vector<std::string> argv, std::string logFile, const std::string& marker) : log(std::move(logFile)) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = 0;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 500 && pid > 0 && !ready && waitpid(pid, nullptr, WNOHANG) == 0; ++i, usleep(20000))
            ready = count(marker) > 0;
    }
    ~Server() { if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0); }
    std::size_t count(const std::string& what) const {
        const std::string text = TempDir::read(log);
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};
#endif

// Online revocation against servers of the test's own on 127.0.0.1: an OCSP responder (openssl ocsp, signing with
// the CA's key), a CRL distribution point (Python's http.server), a responder that is down, one that never answers
// and one replaying an answer about another certificate. The CA has its own distribution point on the same CRL
// server, so every certificate below the anchor is looked up online.
TEST(ProviderVerify, AsksResponderAndDistributionPointOnlyWhenOnlineAndOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "the servers are started with POSIX calls";
#else
    if (!haveCommand("openssl") || !haveCommand("python3")) GTEST_SKIP() << "needs openssl and python3 to serve OCSP and CRLs";
    setenv("no_proxy", "127.0.0.1", 1); // no proxy of the environment between us and our servers
    const long day = RevocationPki::kDay;
    const std::time_t now = time(nullptr), revokedAt = now - 3 * day;
    const std::string peers = SMIME_SOURCE_DIR "/tests/support/ocsp_peers.py";
    int ocspPort = 0, crlPort = 0, replayPort = 0, silentPort = 0, downPort = 0; // nobody listens on the last
    std::istringstream ports(runCommand({"python3", peers, "ports", "5"}).out);
    ports >> ocspPort >> crlPort >> replayPort >> silentPort >> downPort;
    const auto url = [](int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + "/" + path; };
    const testpki::Identity root = testpki::makeRoot("Online Root", KeyKind::EcP256);
    const testpki::Identity ca = testpki::issue(root, {"Online CA", "", KeyKind::EcP256, -20 * day, 365 * day, true, "", "",
                                                      {{NID_crl_distribution_points, "URI:" + url(crlPort, "root.crl")}}});
    const auto leaf = [&](const std::string& name, int ocsp, const std::string& crl = "") {
        std::vector<std::pair<int, std::string>> urls = {{NID_info_access, "OCSP;URI:" + url(ocsp, "")}};
        if (!crl.empty()) urls.emplace_back(NID_crl_distribution_points, "URI:" + url(crlPort, crl));
        return testpki::issue(ca, {name, name + "@example.com", KeyKind::EcP256, -10 * day, 365 * day, false, "", "", urls});
    };
    const testpki::Identity good = leaf("good", ocspPort), revoked = leaf("revoked", ocspPort),
                            unlisted = leaf("unlisted", downPort, "ca.crl"), listed = leaf("listed", downPort, "ca.crl"),
                            unserved = leaf("unserved", downPort, "missing.crl"), waiting = leaf("waiting", silentPort),
                            other = leaf("other", replayPort);
    TempDir folder; // served as it is by the CRL server
    const auto der = [](const std::string& pem) { return base64DecodeLines(pem.substr(25, pem.find("-----END") - 25)); };
    folder.write("root.crl", der(testpki::crlPem(root, {})));
    folder.write("ca.crl", der(testpki::crlPem(ca, {{listed.cert.get(), 2 * day}})));
    // The responder's database, as openssl ca keeps it: V valid, or R revoked since a time; serial in hex.
    const auto entry = [](const testpki::Identity& who, const char* since) {
        BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get_serialNumber(who.cert.get()), nullptr);
        char* hex = BN_bn2hex(serial);
        const std::string line = (*since ? "R" : "V") + std::string("\t491231235959Z\t") + since + "\t" + hex + "\tunknown\t/CN=x\n";
        OPENSSL_free(hex), BN_free(serial);
        return line;
    };
    char since[16];
    std::tm utc{};
    std::strftime(since, sizeof since, "%y%m%d%H%M%SZ", gmtime_r(&revokedAt, &utc));
    const std::string caPem = folder.write("ca.pem", pemOf(ca));
    const Server responder({"openssl", "ocsp", "-index", folder.write("index.txt", entry(good, "") + entry(revoked, since)),
                            "-port", std::to_string(ocspPort), "-CA", caPem, "-rsigner", caPem, "-rkey",
                            folder.write("ca.key", testpki::keyPem(ca.key.get())), "-nmin", "60", "-ignore_err"},
                           folder.file("ocsp.log"), "waiting for OCSP client");
    const Server crls({"python3", "-u", "-m", "http.server", std::to_string(crlPort), "--bind", "127.0.0.1", "--directory",
                       folder.file("")}, folder.file("http.log"), "Serving HTTP");
    const Server silent({"python3", peers, std::to_string(silentPort)}, folder.file("silent.log"), "ready");
    // The responder's answer about good (no nonce, bounded by its next update), replayed to whoever asks about other.
    const std::string answer = folder.file("good.der");
    const CommandResult saved = runCommand({"openssl", "ocsp", "-issuer", caPem, "-cert", folder.write("good.pem", pemOf(good)),
                                            "-url", url(ocspPort, ""), "-no_nonce", "-noverify", "-respout", answer});
    const Server replay({"python3", peers, std::to_string(replayPort), answer}, folder.file("replay.log"), "ready");
    ASSERT_TRUE(responder.ready && crls.ready && silent.ready && replay.ready)
        << TempDir::read(responder.log) << TempDir::read(crls.log);
    ASSERT_NE(saved.out.find(": good"), std::string::npos) << saved.out << saved.err;

    int stores = 0;
    const auto signedAs = [&](const testpki::Identity& who, bool clear = false) {
        return signedBy(folder.write(std::to_string(++stores) + ".p12",
                                     testpki::pkcs12(who, {ca.cert.get()}, testpki::KeyStoreFiles::kPassword)), clear);
    };
    const auto asked = [&] { return responder.count("Received request") + crls.count("\"GET ") + replay.count("request "); };
    const OM_uint32 online = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN | KIVO_VERIFY_REVOCATION | KIVO_VERIFY_ONLINE;
    const struct {
        const char* name;
        const testpki::Identity& signer;
        OM_uint32 reason;
        std::int64_t revokedAt = 0;
        OM_uint32 flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN | KIVO_VERIFY_REVOCATION | KIVO_VERIFY_ONLINE;
    } cases[] = {
        {"responder says good", good, KIVO_R_NONE},
        {"responder says revoked", revoked, KIVO_R_CERTIFICATE_REVOKED, revokedAt},
        {"responder down, the CRL lists others", unlisted, KIVO_R_NONE},
        {"responder down, the CRL lists the signer", listed, KIVO_R_CERTIFICATE_REVOKED, now - 2 * day},
        {"responder down, no CRL at the distribution point", unserved, KIVO_R_REVOCATION_UNKNOWN},
        {"responder never answers, no distribution point", waiting, KIVO_R_REVOCATION_UNKNOWN},
        {"responder answers about another certificate", other, KIVO_R_REVOCATION_UNKNOWN},
        {"not online: only the CRLs at hand, none", good, KIVO_R_REVOCATION_UNKNOWN, 0, online & ~KIVO_VERIFY_ONLINE},
    };
    const std::string rootPem = pemOf(root);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = signedAs(c.signer);
        const std::size_t before = asked();
        const Attempt a = verifyAs(keyStoreFiles().bobP12, message, c.flags, rootPem);
        expectOutcome(a, c.reason, message, kText);
        EXPECT_NEAR(static_cast<double>(a.record->info.revocation_time), static_cast<double>(c.revokedAt), 60);
        EXPECT_TRUE((c.flags & KIVO_VERIFY_ONLINE) != 0 || asked() == before) << "reading a message offline tells no server";
    }
    EXPECT_EQ(replay.count("request "), 1u) << "the answer about another certificate was fetched";

    // Two messages of one signer read in one login: one OCSP request for the signer, one CRL fetch for its CA.
    const std::string messages[] = {signedAs(good), signedAs(good, true)};
    const std::size_t answered = responder.count("Received request"), fetched = crls.count("\"GET ");
    SMIMEMessage receiver;
    loginWith(receiver, keyStoreFiles().bobP12);
    for (const std::string& message : messages) {
        setHeld(receiver, message);
        VerifyRecord record;
        record.info.verify_flags = online;
        record.info.trust_anchors = viewOf(rootPem);
        unsigned minor = 0;
        EXPECT_EQ(receiver.verify(&record.info, &minor), 0u) << minor;
        receiver.freeMessage(&minor);
    }
    EXPECT_EQ(responder.count("Received request") - answered, 1u) << TempDir::read(responder.log);
    EXPECT_EQ(crls.count("\"GET ") - fetched, 1u) << TempDir::read(crls.log);
#endif
}

// The signer's addresses as an application matches them against From: subjectAltName first, then the subject's
// emailAddress, each once, whatever the signature's outcome.
TEST(ProviderVerify, ReportsTheSignersAddresses) {
    const auto signer = [](const char* san, const char* subjectEmail) {
        testpki::IssueOptions options{"Many", "", KeyKind::EcP256};
        if (*san != '\0') options.extensions = {{NID_subject_alt_name, san}};
        options.subjectEmail = subjectEmail;
        return signedByIssued(options);
    };
    const struct {
        const char* name;
        std::string message;
        const char* emails;
    } cases[] = {
        {"one address", signer("email:one@example.com", ""), "one@example.com\n"},
        {"two addresses and a host name", signer("email:a@example.com,DNS:example.com,email:b@example.org", ""),
         "a@example.com\nb@example.org\n"},
        {"none", signer("", ""), ""},
        {"the subject's, after the alternative name's, each once",
         signer("email:alt@example.com", "subject@example.com"), "alt@example.com\nsubject@example.com\n"},
        {"the same in both", signer("email:same@example.com", "same@example.com"), "same@example.com\n"},
        {"a changed signature still names them", withFlippedBit(signer("email:one@example.com", ""), "signed-data", 10),
         "one@example.com\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verifyAs(keyStoreFiles().bobP12, c.message).record->emails(), c.emails);
    }
}

TEST(ProviderVerify, TrustsTheSystemFileAndHashedDirectoryBesideTheAnchors) {
    TempDir folder;
    const std::string root = pemOf(standardPki().root), otherRoot = pemOf(standardPki().otherRoot);
    const std::string bundle = folder.write("bundle.pem", otherRoot + root), other = folder.write("other.pem", otherRoot);
    std::filesystem::create_directory(folder.file("hashed"));
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "hashed/%08lx.0", X509_subject_name_hash(standardPki().root.cert.get()));
    folder.write(hashed, root);
    const std::string none = folder.file("none"), signedByAlice = signedBy(keyStoreFiles().aliceP12, false);
    const struct {
        const char* name;
        std::string file, directory, anchors;
        unsigned reason;
    } cases[] = {
        {"the default file is read when a chain needs it", bundle, none, "", KIVO_R_NONE},
        {"the hashed directory is searched", none, folder.file("hashed"), "", KIVO_R_NONE},
        {"a file without the root", other, none, "", KIVO_R_SIGNER_NOT_TRUSTED},
        {"anchors are trusted beside the system's certificates", other, none, root, KIVO_R_NONE},
        {"no system locations trust nothing of their own", none, none, "", KIVO_R_SIGNER_NOT_TRUSTED},
        {"nor do anchors of another root", none, none, otherRoot, KIVO_R_SIGNER_NOT_TRUSTED},
    };
    const auto setVariable = [](const char* name, const std::string& value) {
#if defined(_WIN32)
        _putenv_s(name, value.c_str());
#else
        value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setVariable(X509_get_default_cert_file_env(), c.file);
        setVariable(X509_get_default_cert_dir_env(), c.directory);
        expectOutcome(verifyAs("", signedByAlice, 3, c.anchors), c.reason, signedByAlice, kText);
    }
    setVariable(X509_get_default_cert_file_env(), "");
    setVariable(X509_get_default_cert_dir_env(), "");
}

TEST(ProviderDecrypt, FailsOneWayWhateverFailed) {
    const auto& files = keyStoreFiles();
    const std::string forAlice = envelopedFor({pemOf(standardPki().alice)}, strengthAES256, kText);
    // The wrapped content key of an RSA-2048 recipient: a 256-byte octet string.
    std::string badKey = derFromSmime(forAlice);
    const std::size_t wrappedKey = badKey.find(std::string("\x04\x82\x01\x00", 4));
    ASSERT_NE(wrappedKey, std::string::npos);
    badKey[wrappedKey + 4 + 17] ^= 0x40;
    // Bob's (ECDH) content key wrapped with padding: the last byte of id-aes256-wrap made id-aes256-wrap-pad.
    std::string padded = derFromSmime(envelopedFor({pemOf(standardPki().bob)}, strengthAES256, kText));
    const std::size_t wrapOid = padded.find("\x60\x86\x48\x01\x65\x03\x04\x01\x2d");
    ASSERT_NE(wrapOid, std::string::npos);
    padded[wrapOid + 8] = '\x30';
    // An AES-GCM envelope ends in its 16-octet tag: one bit of it flipped, the tag cut to 4 octets, or the tag
    // dropped and the type made id-envelopedData (GCM in an EnvelopedData). The three outer lengths, of two
    // octets each at 2, 19 and 23 (17 and 21 once the type is two octets shorter), shrink to match.
    const std::string gcm = derFromSmime(envelopedFor({pemOf(standardPki().alice)}, strengthAES256GCM, kText));
    const auto shrunk = [](std::string der, std::initializer_list<std::size_t> at, unsigned by, unsigned outerBy) {
        for (const std::size_t length : at) {
            const unsigned value = (static_cast<unsigned char>(der[length]) << 8 | static_cast<unsigned char>(der[length + 1])) -
                                   (length == 2 ? outerBy : by);
            der[length] = static_cast<char>(value >> 8), der[length + 1] = static_cast<char>(value & 0xff);
        }
        return der;
    };
    std::string tagChanged = gcm;
    tagChanged.back() ^= 0x01;
    const std::string shortTag = shrunk(gcm.substr(0, gcm.size() - 18) + std::string("\x04\x04", 2) + gcm.substr(gcm.size() - 16, 4),
                                        {2, 19, 23}, 12, 12);
    const std::string untagged = shrunk(gcm.substr(0, gcm.size() - 18).replace(4, 13, "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x03"),
                                        {2, 17, 21}, 18, 20);
    // RSAES-OAEP whose hash is made SHA-384 (the first SHA-256 of its parameters).
    std::string oaep = derFromSmime(envelopedFor({pemOf(standardPki().alice)}, strengthAES256 | strengthOAEP, kText));
    oaep[oaep.find(std::string("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11)) + 10] = '\x02';
    // The same as BER, as OpenSSL streams it: the tag, then the three end-of-contents octet pairs.
    const testpki::Identity& alice = standardPki().alice;
    std::string streamed = opensslCms(true, alice.cert.get(), alice.key.get(), kText, CMS_BINARY | CMS_STREAM, EVP_aes_256_gcm());
    streamed.replace(streamed.size() - 24, 18, std::string("\x04\x04", 2) + streamed.substr(streamed.size() - 22, 4));
    const struct {
        const char* name;
        std::string message, keyStore;
        OM_uint32 reason;
        messageType_t type = messageEnvelopedData; // what getMessageType says before
    } cases[] = {
        {"another's key", forAlice, files.bobP12, KIVO_R_NOT_A_RECIPIENT},
        {"BER without smime-type", base64Part("application/x-pkcs7-mime", "smime.p7m", opensslCms(true, alice.cert.get(),
         alice.key.get(), kText, CMS_BINARY | CMS_STREAM)), files.aliceP12, KIVO_R_NONE, messageUnknown},
        {"labelled signed-data", smimeFromDer(derFromSmime(forAlice), "signed-data"), files.aliceP12, KIVO_R_NONE, messageSignedData},
        {"GCM labelled signed-data", smimeFromDer(gcm, "signed-data"), files.aliceP12, KIVO_R_NONE, messageSignedData},
        {"GCM tag changed", smimeFromDer(tagChanged, "authEnveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"GCM tag of 4 octets", smimeFromDer(shortTag, "authEnveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"OAEP hash changed", smimeFromDer(oaep, "enveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"GCM in an EnvelopedData", smimeFromDer(untagged, "enveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"GCM tag of 4 octets, BER", smimeFromDer(streamed, "authEnveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"no key at all", forAlice, files.rootPem, KIVO_R_NO_PRIVATE_KEY},
        {"wrapped key changed", smimeFromDer(badKey, "enveloped-data"), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        // The last byte of the next-to-last block flips the padding byte.
        {"padding broken", withFlippedBit(forAlice, "enveloped-data", 17), files.aliceP12, KIVO_R_DECRYPTION_FAILED},
        {"ECDH key wrapped with padding", smimeFromDer(padded, "enveloped-data"), files.bobP12, KIVO_R_UNSUPPORTED_CIPHER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Attempt a = decryptAs(c.keyStore, c.message);
        EXPECT_EQ(a.type, c.type);
        // A changed wrapped key gives a random content key whose padding passes once in ~256 tries.
        if (a.status == 0 && c.reason == KIVO_R_DECRYPTION_FAILED) EXPECT_NE(a.held, kText);
        else expectOutcome(a, c.reason, c.message, kText);
    }
}

std::string nested(std::size_t depth) {
    std::string der;
    for (std::size_t i = 0; i < depth; ++i) der += std::string("\x30\x80", 2);
    return der + std::string(2 * depth, '\0');
}

OM_uint32 unprotectReason(void* environment, const std::string& token, IDUP_PIDU_Information_desc* info,
                          const std::string* detachedContent = nullptr) {
    const gss_buffer_desc buffer = viewOf(token);
    const gss_buffer_desc detached = viewOf(detachedContent != nullptr ? *detachedContent : "");
    gss_buffer_desc content = {0, nullptr};
    OM_uint32 minor = 0;
    const bool split = detachedContent != nullptr;
    const OM_uint32 major = prov_unprotect(environment, split ? &detached : &buffer, split ? &buffer : nullptr, &minor,
                                           split ? nullptr : &content, info);
    EXPECT_EQ(major == 0, minor == 0);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_TRUE(major == 0 || content.value == nullptr);
    take(content);
    return minor;
}

TEST(ProviderUnprotect, RefusesHostileTokensWithAReason) {
    ProviderEnvironment alice(keyStoreFiles().aliceP12);
    const std::string opaque = derFromSmime(signedBy(keyStoreFiles().aliceP12, false));
    const std::string enveloped = derFromSmime(envelopedFor({pemOf(standardPki().alice)}, strengthAES256, kText));
    std::vector<std::pair<std::string, std::string>> tokens = {
        {"empty", ""}, {"one byte", "\x30"}, {"deeply nested indefinite lengths", nested(100000)},
        {"huge definite length", std::string("\x30\x84\x7f\xff\xff\xff\x06\x09", 8)},
        {"content type alone", std::string("\x30\x0b\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 13)},
        {"a signed token with bytes after it", opaque + std::string("\0\0junk", 6)},
        {"data, not signed or enveloped", std::string("\x30\x0f\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x01\xa0\x02\x04\x00", 17)},
    };
    for (std::uint32_t seed = 1; seed <= 20; ++seed) tokens.emplace_back("random", randomBytes(64 * seed, seed));
    for (std::size_t cut = 0; cut < opaque.size(); cut += 13) tokens.emplace_back("cut signed", opaque.substr(0, cut));
    for (std::size_t cut = 0; cut < enveloped.size(); cut += 13) tokens.emplace_back("cut enveloped", enveloped.substr(0, cut));
    for (const auto& [name, bytes] : tokens) {
        SCOPED_TRACE(name + " of " + std::to_string(bytes.size()) + " bytes");
        for (const std::string* detachedContent : {static_cast<const std::string*>(nullptr), &kText}) {
            VerifyRecord record;
            const OM_uint32 reason = unprotectReason(alice.handle(), bytes, &record.info, detachedContent);
            EXPECT_NE(reason, 0u);
            EXPECT_EQ(record.info.reason, reason);
        }
    }
}

// A SignedData token listing its one digest algorithm copies times: still valid, but one hash pass each.
// Its three outer lengths take two octets each, before and after.
std::string withRepeatedDigestAlgorithm(std::string der, std::size_t copies) {
    const std::size_t set = 4 + 11 + 4 + 4 + 3; // after ContentInfo, type, [0], SignedData, version
    const std::string entries = der.substr(set + 2, static_cast<unsigned char>(der[set + 1]));
    std::string repeated;
    for (std::size_t i = 0; i < copies; ++i) repeated += entries;
    const std::string length(repeated.size() < 0x80 ? "" : "\x81");
    der.replace(set + 1, 1 + entries.size(), length + static_cast<char>(repeated.size()) + repeated);
    const std::size_t grown = length.size() + repeated.size() - entries.size();
    for (std::size_t at : {2u, 2u + 4 + 11, 2u + 4 + 11 + 4}) {
        const std::size_t value = (static_cast<unsigned char>(der[at]) << 8 | static_cast<unsigned char>(der[at + 1])) + grown;
        der[at] = static_cast<char>(value >> 8);
        der[at + 1] = static_cast<char>(value & 0xff);
    }
    return der;
}

TEST(ProviderVerify, RefusesUnboundedWorkUnknownDigestsAndUnknownSignersAndReportsOnlyThisCall) {
    ProviderEnvironment bob(keyStoreFiles().bobP12);
    const std::string opaque = derFromSmime(signedBy(keyStoreFiles().aliceP12, false));
    ASSERT_EQ(opaque.substr(0, 2), "\x30\x82");
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 8), nullptr), 0u);
    EXPECT_EQ(unprotectReason(bob.handle(), withRepeatedDigestAlgorithm(opaque, 9), nullptr),
              static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));

    VerifyRecord record;
    ASSERT_EQ(unprotectReason(bob.handle(), opaque, &record.info), 0u);
    ASSERT_NE(record.subject(), "");
    EXPECT_EQ(unprotectReason(bob.handle(), "not a token", &record.info), static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
    EXPECT_EQ(record.info.reason, static_cast<OM_uint32>(KIVO_R_MALFORMED_TOKEN));
    EXPECT_EQ(record.info.signer_subject.value, nullptr) << "the earlier signer is gone";
    EXPECT_EQ(record.info.signer_certificate.value, nullptr);
    EXPECT_EQ(record.info.signing_time, 0);
    // Flags asking for nothing known must not pass for "skip the trust check".
    for (OM_uint32 flags : {0u, 0x80u, 0x5u}) {
        SCOPED_TRACE(flags);
        record.info.verify_flags = flags;
        EXPECT_EQ(unprotectReason(bob.handle(), opaque, &record.info), static_cast<OM_uint32>(KIVO_R_BAD_PARAMETER));
    }

    // An unknown digest beside detached content: OpenSSL 3.0's CMS_verify may leak a BIO here.
    const std::string clear = signedBy(keyStoreFiles().aliceP12, true);
    const TextRange body = signatureBody(clear);
    std::string der = base64DecodeLines(clear.substr(body.first, body.last - body.first));
    const std::string sha256Oid("\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01", 11);
    der[der.find(sha256Oid) + sha256Oid.size() - 1] = '\x7f'; // 2.16.840.1.101.3.4.2.127: no such digest
    EXPECT_EQ(unprotectReason(bob.handle(), der, nullptr, &kText), static_cast<OM_uint32>(KIVO_R_UNSUPPORTED_DIGEST));

    // Signed without certificates by someone the verifier's key store does not know.
    const testpki::Identity& stranger = standardPki().stranger;
    const std::string noCerts = opensslCms(false, stranger.cert.get(), stranger.key.get(), kText, CMS_BINARY | CMS_NOCERTS);
    ASSERT_FALSE(noCerts.empty());
    EXPECT_EQ(unprotectReason(bob.handle(), noCerts, nullptr), static_cast<OM_uint32>(KIVO_R_SIGNER_NOT_TRUSTED));
}

} // namespace
