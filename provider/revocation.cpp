#include "revocation.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "online_revocation.h"
#include "openssl_support.h"

namespace detail {

namespace {

bool isCrlError(int error) {
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
        return true;
    default:
        return false;
    }
}

kivo_reason_t chainReason(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return KIVO_R_CERTIFICATE_EXPIRED;
    case X509_V_ERR_OUT_OF_MEM:
        return KIVO_R_NO_MEMORY;
    case X509_V_ERR_CERT_REVOKED:
        return KIVO_R_CERTIFICATE_REVOKED;
    default:
        return isCrlError(error) ? KIVO_R_REVOCATION_UNKNOWN : KIVO_R_SIGNER_NOT_TRUSTED;
    }
}

// What the verification callback needs to judge the cases OpenSSL cannot.
struct Judgement {
    std::int64_t at = 0;
    STACK_OF(X509_CRL)* crls = nullptr;
    std::vector<X509*> answeredGood; // by OCSP: their CRLs do not matter
    std::int64_t revokedAt = 0;
};

// When cert was revoked, by the CRL that lists it; 0 when none does.
std::int64_t revocationTime(X509_CRL* crl, STACK_OF(X509_CRL)* crls, X509* cert) {
    X509_REVOKED* entry = nullptr;
    if (crl != nullptr && X509_CRL_get0_by_cert(crl, &entry, cert) == 1)
        return secondsSince1970(X509_REVOKED_get0_revocationDate(entry));
    for (int i = 0; i < sk_X509_CRL_num(crls); ++i) {
        X509_CRL* candidate = sk_X509_CRL_value(crls, i);
        if (X509_NAME_cmp(X509_CRL_get_issuer(candidate), X509_get_issuer_name(cert)) == 0 &&
            X509_CRL_get0_by_cert(candidate, &entry, cert) == 1)
            return secondsSince1970(X509_REVOKED_get0_revocationDate(entry));
    }
    return 0;
}

// OpenSSL fails some chains that hold all the same: a signer whose
// extended key usage allows any use (the signer's own usage has been
// checked by the mail rules before), the trust anchor without a CRL of its
// own, a certificate without a usable CRL that OCSP answered for, a CRL issued after the time looked at (it still
// lists what was revoked before), and a revocation after that time.
int judge(int ok, X509_STORE_CTX* ctx) {
    if (ok == 1) return 1;
    auto* state = static_cast<Judgement*>(X509_STORE_CTX_get_app_data(ctx));
    const int error = X509_STORE_CTX_get_error(ctx);
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    if (state == nullptr || cert == nullptr) return 0;
    if (error == X509_V_ERR_INVALID_PURPOSE) return X509_STORE_CTX_get_error_depth(ctx) == 0 ? 1 : 0;
    if (isCrlError(error)) {
        // The trust anchor is trusted as it is; no CRL speaks for it.
        if (X509_STORE_CTX_get_error_depth(ctx) == sk_X509_num(X509_STORE_CTX_get0_chain(ctx)) - 1) return 1;
        const auto& good = state->answeredGood;
        if (std::find(good.begin(), good.end(), cert) != good.end()) return 1;
        return error == X509_V_ERR_CRL_NOT_YET_VALID && state->at != 0 ? 1 : 0;
    }
    if (error != X509_V_ERR_CERT_REVOKED) return 0;
    // OpenSSL forgets the CRL at hand once it has judged its times.
    const std::int64_t when = revocationTime(X509_STORE_CTX_get0_current_crl(ctx), state->crls, cert);
    if (state->at != 0 && when > state->at) return 1;
    state->revokedAt = when;
    return 0;
}

// One verification of signer's chain, with the CRLs when withCrls; chain
// receives it when asked.
kivo_reason_t runVerification(const ChainCheck& check, X509* signer, bool withCrls, Judgement& state,
                              X509StackPtr* chain) {
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), check.store, signer, check.untrusted) != 1)
        return reasonFromQueue(KIVO_R_INTERNAL);
    // The checks S/MIME signers get: key usage and extended key usage fit
    // for e-mail signing, along the chain.
    if (X509_STORE_CTX_set_default(ctx.get(), "smime_sign") != 1) return reasonFromQueue(KIVO_R_INTERNAL);
    if (check.at != 0) X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(check.at));
    X509_STORE_CTX_set_app_data(ctx.get(), &state);
    X509_STORE_CTX_set_verify_cb(ctx.get(), judge);
    if (withCrls) {
        X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
        X509_STORE_CTX_set0_crls(ctx.get(), check.crls);
    }
    if (X509_verify_cert(ctx.get()) != 1) {
        ERR_clear_error();
        return chainReason(X509_STORE_CTX_get_error(ctx.get()));
    }
    if (chain != nullptr) {
        chain->reset(X509_STORE_CTX_get1_chain(ctx.get()));
        if (!*chain) return KIVO_R_NO_MEMORY;
    }
    return KIVO_R_NONE;
}

} // namespace

kivo_reason_t verifyChain(const ChainCheck& check, X509* signer, std::int64_t& revokedAt) noexcept {
    revokedAt = 0;
    try {
        X509StackPtr chain;
        Judgement state;
        state.at = check.at;
        state.crls = check.crls;
        kivo_reason_t reason = runVerification(check, signer, false, state, check.online != nullptr ? &chain : nullptr);
        if (reason != KIVO_R_NONE || !check.revocation) return reason;
        // Online, each certificate below the anchor is asked about by OCSP;
        // where no answer holds, its CRLs are fetched for the check below.
        const int below = chain ? sk_X509_num(chain.get()) - 1 : 0;
        const std::int64_t now = static_cast<std::int64_t>(time(nullptr));
        for (int i = 0; i < below; ++i) {
            X509* cert = sk_X509_value(chain.get(), i);
            const OnlineAnswer answer =
                check.online->ocsp(cert, sk_X509_value(chain.get(), i + 1), check.untrusted, now);
            if (answer.status == OnlineStatus::Revoked && (check.at == 0 || answer.revokedAt <= check.at)) {
                revokedAt = answer.revokedAt;
                return KIVO_R_CERTIFICATE_REVOKED;
            }
            if (answer.status == OnlineStatus::Unknown)
                check.online->crls(cert, now, check.crls);
            else
                state.answeredGood.push_back(cert);
        }
        reason = runVerification(check, signer, true, state, nullptr);
        if (reason == KIVO_R_CERTIFICATE_REVOKED) revokedAt = state.revokedAt;
        return reason;
    } catch (const std::bad_alloc&) {
        return KIVO_R_NO_MEMORY;
    }
}

kivo_reason_t readCrls(const gss_buffer_desc& bytes, STACK_OF(X509_CRL)* crls) noexcept {
    if (bytes.length == 0) return KIVO_R_NONE;
    if (bytes.value == nullptr) return KIVO_R_BAD_PARAMETER;
    const std::string_view text(static_cast<const char*>(bytes.value), bytes.length);
    if (text.find("-----BEGIN ") != std::string_view::npos) return readPemInto(bytes.value, bytes.length, crls);
    const auto* cursor = static_cast<const unsigned char*>(bytes.value);
    const unsigned char* end = cursor + bytes.length;
    while (cursor < end) {
        X509CrlPtr crl(fitsLong(static_cast<std::size_t>(end - cursor)) ? d2i_X509_CRL(nullptr, &cursor, end - cursor) : nullptr);
        if (!crl) return reasonFromQueue(KIVO_R_BAD_PARAMETER);
        if (!pushReference(crls, crl.get())) return KIVO_R_NO_MEMORY;
    }
    return KIVO_R_NONE;
}

} // namespace detail
