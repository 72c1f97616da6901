#include "algorithm_support.h"
#include "block_sink.h"
#include "bookkeeping.h"
#include "cms_ops.h"
#include "openssl_support.h"

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

kivo_reason_t chainReason(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return KIVO_R_CERTIFICATE_EXPIRED;
    case X509_V_ERR_OUT_OF_MEM:
        return KIVO_R_NO_MEMORY;
    default:
        return KIVO_R_SIGNER_NOT_TRUSTED;
    }
}

kivo_reason_t verifyChain(X509_STORE* store, X509* signer, STACK_OF(X509)* untrusted) {
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, signer, untrusted) != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    // The checks S/MIME signers get: key usage and extended key usage fit
    // for e-mail signing.
    if (X509_STORE_CTX_set_default(ctx.get(), "smime_sign") != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    if (X509_verify_cert(ctx.get()) == 1) return KIVO_R_NONE;
    return chainReason(X509_STORE_CTX_get_error(ctx.get()));
}

// The certificates a chain may be built from: those the message carries and
// those of the verifier's own key store.
X509StackPtr untrustedCertificates(CMS_ContentInfo* cms, const Identity& identity) {
    X509StackPtr certs(CMS_get1_certs(cms));
    if (!certs) certs.reset(sk_X509_new_null());
    if (!certs) return nullptr;
    for (int i = 0; i < sk_X509_num(identity.chain.get()); ++i)
        if (!pushReference(certs.get(), sk_X509_value(identity.chain.get(), i))) return nullptr;
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
    const ASN1_TIME* when = value->value.asn1_string;
    if (ASN1_TIME_check(when) != 1) return 0;
    OsslPtr<ASN1_TIME, ASN1_TIME_free> epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0;
    int seconds = 0;
    if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), when) != 1) return 0;
    return static_cast<std::int64_t>(days) * 86400 + seconds;
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
    return reason;
}

kivo_reason_t checkSignatures(Environment& environment, CMS_ContentInfo* cms, const gss_buffer_desc* signedContent,
                              BIO* out, const IDUP_PIDU_Information_desc* info) {
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
    // Signatures first, over the bytes exactly as they are; the chain is
    // checked below, so that its failure can be told apart.
    X509StackPtr ownCerts = copyCertificates(identity.chain.get());
    if (!ownCerts) return KIVO_R_NO_MEMORY;
    if (identity.cert && !pushReference(ownCerts.get(), identity.cert.get())) return KIVO_R_NO_MEMORY;
    const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
    if (CMS_verify(cms, ownCerts.get(), nullptr, detached.get(), out, flags) != 1)
        return classifyVerifyFailure(cms, QueuedErrors::take());

    const bool checkChain = info == nullptr || (info->verify_flags & KIVO_VERIFY_CHAIN) != 0;
    if (!checkChain) return KIVO_R_NONE;
    static const gss_buffer_desc kNoAnchors = {0, nullptr};
    X509StorePtr storeHeld;
    kivo_reason_t reason = environment.trustStore(info != nullptr ? info->trust_anchors : kNoAnchors, storeHeld);
    if (reason != KIVO_R_NONE) return reason;
    X509_STORE* store = storeHeld.get();
    X509StackPtr untrusted = untrustedCertificates(cms, identity);
    if (!untrusted) return KIVO_R_NO_MEMORY;
    BorrowedX509StackPtr signerCerts(CMS_get0_signers(cms));
    if (!signerCerts) return reasonFromQueue(KIVO_R_SIGNER_NOT_TRUSTED);
    for (int i = 0; i < sk_X509_num(signerCerts.get()); ++i) {
        reason = verifyChain(store, sk_X509_value(signerCerts.get(), i), untrusted.get());
        if (reason != KIVO_R_NONE) break;
    }
    return reason;
}

} // namespace

void resetVerifyOutputs(IDUP_PIDU_Information_desc& info) noexcept {
    info.reason = KIVO_R_INTERNAL;
    releaseBuffer(&info.signer_subject);
    releaseBuffer(&info.signer_certificate);
    info.digest = 0;
    info.signing_time = 0;
}

kivo_reason_t verifySigned(Environment& environment, CMS_ContentInfo* cms, const gss_buffer_desc* signedContent,
                           gss_buffer_desc* content, IDUP_PIDU_Information_desc* info) {
    constexpr OM_uint32 kKnownFlags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
    // A zeroed record must not pass for a request to skip the trust check.
    if (info != nullptr && (info->verify_flags == 0 || (info->verify_flags & ~kKnownFlags) != 0))
        return KIVO_R_BAD_PARAMETER;
    BioPtr out;
    if (content != nullptr) {
        if (content->length != 0 || content->value != nullptr) return KIVO_R_BAD_PARAMETER;
        // Content of known length lands in a block of that size.
        out = newBlockSink(signedContent != nullptr ? signedContent->length : 0);
        if (!out) return KIVO_R_NO_MEMORY;
    }
    kivo_reason_t reason = checkSignatures(environment, cms, signedContent, out.get(), info);
    if (info != nullptr) {
        // Who signed is worth knowing even when the signature fails.
        const kivo_reason_t reported = reportSigner(cms, *info);
        if (reason == KIVO_R_NONE) reason = reported;
    }
    if (reason != KIVO_R_NONE || !out) return reason;
    return handOverSink(out.get(), content);
}

} // namespace detail
