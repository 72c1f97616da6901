#include "algorithm_support.h"
#include "block_sink.h"
#include "bookkeeping.h"
#include "cms_ops.h"
#include "openssl_support.h"
#include "revocation.h"
#include "signer_policy.h"

namespace detail {

namespace {

kivo_reason_t classifyVerifyFailure(CMS_ContentInfo* cms, const QueuedErrors& errors) {
    if (errors.outOfMemory()) return KIVO_R_NO_MEMORY;
    // A signature we cannot check is not a bad one.
    const kivo_reason_t algorithm = checkSignatureAlgorithms(cms);
    if (algorithm != KIVO_R_NONE) return algorithm;
    if (errors.has(ERR_LIB_CMS, CMS_R_UNKNOWN_DIGEST_ALGORITHM)) return KIVO_R_UNSUPPORTED_DIGEST;
    // Neither the message nor our key store holds the signer's certificate.
    if (errors.has(ERR_LIB_CMS, CMS_R_SIGNER_CERTIFICATE_NOT_FOUND)) return KIVO_R_SIGNER_NOT_TRUSTED;
    // A signature over absent content, or a structure that is not SignedData
    // as it should be, is a token fault; everything else means the content
    // or the signature is not what the signer made.
    if (errors.has(ERR_LIB_CMS, CMS_R_NO_CONTENT) || errors.has(ERR_LIB_CMS, CMS_R_NO_SIGNERS) ||
        errors.has(ERR_LIB_CMS, CMS_R_CONTENT_TYPE_NOT_SIGNED_DATA) ||
        errors.hasLibrary(ERR_LIB_ASN1))
        return KIVO_R_MALFORMED_TOKEN;
    return KIVO_R_SIGNATURE_INVALID;
}

// Adds the certificates of PEM text to certs; KIVO_R_BAD_PARAMETER when the
// text holds anything else.
kivo_reason_t readCertificates(const gss_buffer_desc& pem, STACK_OF(X509)* certs) {
    if (pem.length == 0) return KIVO_R_NONE;
    if (pem.value == nullptr) return KIVO_R_BAD_PARAMETER;
    return readPemInto(pem.value, pem.length, certs);
}

// The certificates a chain may be built from: those the message carries,
// the caller's (given) and those of the verifier's own key store.
X509StackPtr untrustedCertificates(CMS_ContentInfo* cms, STACK_OF(X509)* given, const Identity& identity) {
    X509StackPtr certs(CMS_get1_certs(cms));
    if (!certs) certs.reset(sk_X509_new_null());
    if (!certs) return nullptr;
    for (STACK_OF(X509)* more : {given, identity.chain.get()})
        for (int i = 0; i < sk_X509_num(more); ++i)
            if (!pushReference(certs.get(), sk_X509_value(more, i))) return nullptr;
    return certs;
}

kivo_reason_t describeSubject(X509* cert, gss_buffer_desc& output) {
    BioPtr text(BIO_new(BIO_s_mem()));
    if (!text) return KIVO_R_NO_MEMORY;
    // RFC 2253 order and escaping (control characters escaped, so one
    // line), but UTF-8 left readable.
    const unsigned long flags = (XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT;
    if (X509_NAME_print_ex(text.get(), X509_get_subject_name(cert), 0, flags) < 0) return reasonFromQueue(KIVO_R_INTERNAL);
    char* data = nullptr;
    const long length = BIO_get_mem_data(text.get(), &data);
    return length < 0 ? KIVO_R_INTERNAL : handOverCopy(data, static_cast<std::size_t>(length), &output);
}

std::int64_t signingTimeOf(CMS_SignerInfo* si) {
    const int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    if (index < 0) return 0;
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, index), 0);
    if (value == nullptr || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) return 0;
    return secondsSince1970(value->value.asn1_string);
}

// Fills what info reports about the first signer.
kivo_reason_t reportSigner(CMS_ContentInfo* cms, IDUP_PIDU_Information_desc& info) {
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    if (sk_CMS_SignerInfo_num(signers) <= 0) return KIVO_R_NONE;
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
    X509* signer = nullptr;
    X509_ALGOR *digest = nullptr, *signature = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signer, &digest, &signature);
    if (digest != nullptr) {
        const ASN1_OBJECT* algorithm = nullptr;
        X509_ALGOR_get0(&algorithm, nullptr, nullptr, digest);
        info.digest = digestCodeOf(OBJ_obj2nid(algorithm));
    }
    if (signature != nullptr && OBJ_obj2nid(signature->algorithm) == NID_rsassaPss) info.digest |= KIVO_DIGEST_PSS;
    info.signing_time = signingTimeOf(si);
    if (signer == nullptr) return KIVO_R_NONE; // no certificate of the signer was found
    kivo_reason_t reason = describeSubject(signer, info.signer_subject);
    if (reason == KIVO_R_NONE) reason = handOverDer(signer, i2d_X509, &info.signer_certificate);
    if (reason == KIVO_R_NONE) reason = describeEmails(signer, info.signer_emails);
    return reason;
}

// The CRLs a revocation check has at hand: the message's, the key store's
// and the caller's.
kivo_reason_t gatherCrls(CMS_ContentInfo* cms, const Identity& identity, const IDUP_PIDU_Information_desc* info,
                         X509CrlStackPtr& crls) {
    crls.reset(CMS_get1_crls(cms));
    ERR_clear_error(); // a message without CRLs leaves a note
    if (!crls) crls.reset(sk_X509_CRL_new_null());
    if (!crls) return KIVO_R_NO_MEMORY;
    for (int i = 0; i < sk_X509_CRL_num(identity.crls.get()); ++i)
        if (!pushReference(crls.get(), sk_X509_CRL_value(identity.crls.get(), i))) return KIVO_R_NO_MEMORY;
    return info != nullptr ? readCrls(info->crls, crls.get()) : KIVO_R_NONE;
}

// The certificate a signer info was verified with; null when none was found.
X509* signerCertificate(CMS_SignerInfo* si) {
    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
    return signer;
}

// Once the signatures hold: each signer's certificate must allow signing
// mail and, when asked, chain to a trust anchor as of the time asked for,
// with revocation checked when asked.
kivo_reason_t checkSigners(Environment& environment, CMS_ContentInfo* cms, STACK_OF(X509)* given,
                           const IDUP_PIDU_Information_desc* info, std::int64_t& revokedAt) {
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        X509* signer = signerCertificate(sk_CMS_SignerInfo_value(signers, i));
        const kivo_reason_t usage = signer != nullptr ? checkSignerUsage(signer) : KIVO_R_SIGNER_NOT_TRUSTED;
        if (usage != KIVO_R_NONE) return usage;
    }
    const OM_uint32 asked = info != nullptr ? info->verify_flags : KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
    if ((asked & KIVO_VERIFY_CHAIN) == 0) return KIVO_R_NONE;
    const Identity& identity = *environment.identity;
    static const gss_buffer_desc kNoAnchors = {0, nullptr};
    X509StorePtr store;
    kivo_reason_t reason = environment.trustStore(info != nullptr ? info->trust_anchors : kNoAnchors, store);
    if (reason != KIVO_R_NONE) return reason;
    X509StackPtr untrusted = untrustedCertificates(cms, given, identity);
    if (!untrusted) return KIVO_R_NO_MEMORY;
    ChainCheck check;
    check.store = store.get();
    check.untrusted = untrusted.get();
    check.revocation = (asked & (KIVO_VERIFY_REVOCATION | KIVO_VERIFY_ONLINE)) != 0;
    X509CrlStackPtr crls;
    if (check.revocation) {
        reason = gatherCrls(cms, identity, info, crls);
        if (reason != KIVO_R_NONE) return reason;
        check.crls = crls.get();
        if ((asked & KIVO_VERIFY_ONLINE) != 0) check.online = &environment.online;
    }
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers) && reason == KIVO_R_NONE; ++i) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, i);
        const std::int64_t signedAt = (asked & KIVO_VERIFY_AT_SIGNING_TIME) != 0 ? signingTimeOf(si) : 0;
        check.at = signedAt != 0 ? signedAt : info != nullptr ? info->validation_time : 0;
        reason = verifyChain(check, signerCertificate(si), revokedAt);
    }
    return reason;
}

kivo_reason_t checkSignatures(Environment& environment, CMS_ContentInfo* cms, const gss_buffer_desc* signedContent,
                              BIO* out, const IDUP_PIDU_Information_desc* info, std::int64_t& revokedAt) {
    const Identity& identity = *environment.identity;
    BioPtr detached;
    if (signedContent != nullptr) {
        if (signedContent->length != 0 && signedContent->value == nullptr) return KIVO_R_BAD_PARAMETER;
        BioPtr content = readOnlyBio(signedContent->value, signedContent->length);
        // OpenSSL 3.0's CMS_verify copies a memory BIO it is given into one
        // of its own and loses that copy when the message's digests cannot
        // be set up (an unknown digest algorithm). Behind a pass-through
        // filter our BIO is not taken for a memory BIO, and nothing is lost.
        detached.reset(BIO_new(BIO_f_null()));
        if (!content || !detached) return KIVO_R_NO_MEMORY;
        BIO_push(detached.get(), content.release());
    }
    // A message signed without certificates is checked with the signer's
    // certificate from the caller or the key store; neither is trusted for
    // that, the chain check below decides.
    X509StackPtr given(sk_X509_new_null());
    if (!given) return KIVO_R_NO_MEMORY;
    if (info != nullptr) {
        const kivo_reason_t reason = readCertificates(info->certificates, given.get());
        if (reason != KIVO_R_NONE) return reason;
    }
    X509StackPtr candidates = copyCertificates(identity.chain.get());
    if (!candidates) return KIVO_R_NO_MEMORY;
    if (identity.cert && !pushReference(candidates.get(), identity.cert.get())) return KIVO_R_NO_MEMORY;
    for (int i = 0; i < sk_X509_num(given.get()); ++i)
        if (!pushReference(candidates.get(), sk_X509_value(given.get(), i))) return KIVO_R_NO_MEMORY;
    // Signatures first, over the bytes exactly as they are; the chain is
    // checked below, so that its failure can be told apart.
    const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
    if (CMS_verify(cms, candidates.get(), nullptr, detached.get(), out, flags) != 1)
        return classifyVerifyFailure(cms, QueuedErrors::take());
    return checkSigners(environment, cms, given.get(), info, revokedAt);
}

} // namespace

void resetVerifyOutputs(IDUP_PIDU_Information_desc& info) noexcept {
    info.reason = KIVO_R_INTERNAL;
    releaseBuffer(&info.signer_subject);
    releaseBuffer(&info.signer_certificate);
    releaseBuffer(&info.signer_emails);
    info.digest = 0;
    info.signing_time = 0;
    info.revocation_time = 0;
}

kivo_reason_t verifySigned(Environment& environment, CMS_ContentInfo* cms, const gss_buffer_desc* signedContent,
                           gss_buffer_desc* content, IDUP_PIDU_Information_desc* info,
                           const ContentTarget& target) {
    constexpr OM_uint32 kChainChecks = KIVO_VERIFY_REVOCATION | KIVO_VERIFY_ONLINE | KIVO_VERIFY_AT_SIGNING_TIME;
    constexpr OM_uint32 kKnownFlags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN | kChainChecks;
    // A zeroed record must not pass for a request to skip the trust check,
    // nor a request to check the chain's revocation or time for one that
    // checks the chain.
    if (info != nullptr && (info->verify_flags == 0 || (info->verify_flags & ~kKnownFlags) != 0 ||
                            ((info->verify_flags & kChainChecks) != 0 && (info->verify_flags & KIVO_VERIFY_CHAIN) == 0)))
        return KIVO_R_BAD_PARAMETER;
    BioPtr out;
    if (content != nullptr) {
        if (content->length != 0 || content->value != nullptr) return KIVO_R_BAD_PARAMETER;
        // Content of known length lands in a block of that size.
        out = newContentSink(target, signedContent != nullptr ? signedContent->length : 0);
        if (!out) return KIVO_R_NO_MEMORY;
    }
    std::int64_t revokedAt = 0;
    kivo_reason_t reason = checkSignatures(environment, cms, signedContent, out.get(), info, revokedAt);
    if (info != nullptr) {
        info->revocation_time = revokedAt;
        // Who signed is worth knowing even when the signature fails.
        const kivo_reason_t reported = reportSigner(cms, *info);
        if (reason == KIVO_R_NONE) reason = reported;
    }
    if (reason != KIVO_R_NONE || !out) return reason;
    return handOverContent(out.get(), target, content);
}

} // namespace detail
