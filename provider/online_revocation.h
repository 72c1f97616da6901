// Revocation answers fetched over plain HTTP: OCSP from a certificate's
// responders and CRLs from its distribution points, kept until they go
// stale, so that verifying many messages of one signer fetches once.
#ifndef PROVIDER_ONLINE_REVOCATION_H
#define PROVIDER_ONLINE_REVOCATION_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include <openssl/x509.h>

#include "http_fetch.h"
#include "ossl_ptr.h"

namespace detail {

enum class OnlineStatus { Good, Revoked, Unknown };

struct OnlineAnswer {
    OnlineStatus status = OnlineStatus::Unknown;
    std::int64_t revokedAt = 0; // seconds since 1970, for Revoked
};

// One per environment, used from several threads at once (no lock is held
// across a request, so two threads may fetch the same thing at once). Each
// URL tried gets timeoutSeconds (at least 1) for connecting, sending and
// receiving, its redirections (up to three, to http:// only) included;
// name resolution is the system's and is not bounded by it. A proxy is
// used when http_proxy (or HTTP_PROXY) names one and no_proxy (or
// NO_PROXY) does not list the server's exact host name, as with OpenSSL's
// own client; only plain http:// is spoken.
class OnlineRevocation {
public:
    explicit OnlineRevocation(int timeoutSeconds = 10);
    OnlineRevocation(const OnlineRevocation&) = delete;
    OnlineRevocation& operator=(const OnlineRevocation&) = delete;

    // The OCSP answer about cert, issued by issuer, as of now (seconds since
    // 1970), from the first of cert's http:// OCSP responders (at most four
    // are tried, in order) whose answer holds:
    // - a successful response, for cert's issuer name and key hash and
    //   serial number;
    // - signed by issuer itself, or by a certificate that issuer issued with
    //   the OCSP-signing extended key usage, valid at now, found in the
    //   response or in untrusted;
    // - carrying the nonce of the request; an answer without nonce holds
    //   only when its nextUpdate bounds it (responders that pre-sign their
    //   answers ignore nonces, and nextUpdate keeps an old one from being
    //   replayed for ever); a different nonce never holds;
    // - thisUpdate not after now and nextUpdate (if any) not before now,
    //   each with five minutes' allowance for clocks apart.
    // Unknown when cert names no http:// responder, none answers in time, or
    // no answer holds. Good and Revoked answers with a nextUpdate are kept
    // until then, keyed by issuer and serial number. An answer speaks with
    // issuer's authority; whether issuer deserves trust is for the chain
    // check to establish.
    OnlineAnswer ocsp(X509* cert, X509* issuer, STACK_OF(X509)* untrusted, std::int64_t now) noexcept;

    // Appends to crls (each up-referenced) the CRLs at cert's http://
    // distribution points (full-name URIs; at most four, others skipped),
    // each fetched once and kept while its nextUpdate is after now. Only DER
    // is read, as RFC 5280 has it. Signatures are not checked here: the
    // chain check does that. A point that fails or times out adds nothing;
    // when memory runs out, nothing is added at all.
    void crls(X509* cert, std::int64_t now, STACK_OF(X509_CRL)* crls) noexcept;

private:
    struct KeptAnswer {
        OnlineAnswer answer;
        std::int64_t thisUpdate = 0;
        std::int64_t nextUpdate = 0;
    };
    struct KeptCrl {
        X509CrlPtr crl;
        std::int64_t nextUpdate = 0;
        std::size_t size = 0; // of its DER
    };

    bool keptAnswer(const std::string& key, std::int64_t now, OnlineAnswer& answer);
    void keepAnswer(const std::string& key, const KeptAnswer& kept, std::int64_t now);
    X509CrlPtr keptCrl(const std::string& url, std::int64_t now);
    void keepCrl(const std::string& url, X509_CRL* crl, std::int64_t nextUpdate, std::size_t size, std::int64_t now);

    const int timeoutSeconds_;
    // This object's requests and their socket I/O.
    HttpClient http_;

    std::mutex lock_; // guards what follows
    std::unordered_map<std::string, KeptAnswer> answers_;
    std::unordered_map<std::string, KeptCrl> crls_;
    std::size_t keptCrlBytes_ = 0;
};

} // namespace detail

#endif // PROVIDER_ONLINE_REVOCATION_H
