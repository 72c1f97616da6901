#include "online_revocation.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include "openssl_support.h"

namespace detail {

namespace {

// Clocks of responders and verifiers drift apart; an answer this far off
// still counts as current.
constexpr std::int64_t kClockAllowance = 5 * 60;
// A certificate may list any number of addresses; a hostile one must not
// make one verification try them all.
constexpr std::size_t kMostUrls = 4;
constexpr std::size_t kMostOcspBytes = std::size_t{1} << 20;
constexpr std::size_t kMostCrlBytes = std::size_t{10} << 20;
// What is kept stays bounded whatever certificates come along.
constexpr std::size_t kMostKeptAnswers = 256;
constexpr std::size_t kMostKeptCrls = 256;
constexpr std::size_t kMostKeptCrlBytes = std::size_t{64} << 20;
// Certificates in an answer that name its responder, each costing two
// signature checks; a genuine answer needs one.
constexpr int kMostSignerCandidates = 8;

// OCSP_check_nonce's verdicts that may hold (the others: no nonce asked
// for, which never happens here, and a different nonce, which never holds).
constexpr int kNonceMatches = 1;
constexpr int kNonceMissingFromAnswer = -1;

using DistributionPointsPtr = OsslPtr<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using InfoAccessPtr = OsslPtr<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using OcspBasicResponsePtr = OsslPtr<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspCertIdPtr = OsslPtr<OCSP_CERTID, OCSP_CERTID_free>;
using OcspRequestPtr = OsslPtr<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspResponsePtr = OsslPtr<OCSP_RESPONSE, OCSP_RESPONSE_free>;

// Whatever fails here ends as Unknown or as nothing added; the errors
// OpenSSL queued on the way must not be taken for those of the caller's
// next step.
class ErrorQueueMark {
public:
    ErrorQueueMark() noexcept : marked_(ERR_set_mark() == 1) {}
    // Without a mark of ours, popping would take the caller's errors too.
    ~ErrorQueueMark() {
        if (marked_) ERR_pop_to_mark();
    }
    ErrorQueueMark(const ErrorQueueMark&) = delete;
    ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;

private:
    bool marked_;
};

// ---- Addresses -----------------------------------------------------------

// Adds name to urls when it is an http:// URI not there yet.
void addHttpUrl(const GENERAL_NAME* name, std::vector<std::string>& urls) {
    if (name == nullptr || name->type != GEN_URI) return;
    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
    const int length = ASN1_STRING_length(uri);
    if (length <= 0) return;
    std::optional<std::string> url =
        httpUrl(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)), static_cast<std::size_t>(length));
    if (url && std::find(urls.begin(), urls.end(), *url) == urls.end()) urls.push_back(std::move(*url));
}

// The first kMostUrls http:// OCSP responders of cert's authority
// information access, in order. Read here rather than by X509_get1_ocsp,
// whose search for duplicates sorts the list as it goes (so the
// certificate's order is lost) and sorts it again for every entry.
std::vector<std::string> responderUrls(X509* cert) {
    std::vector<std::string> urls;
    const InfoAccessPtr access(
        static_cast<AUTHORITY_INFO_ACCESS*>(X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr)));
    for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access.get()) && urls.size() < kMostUrls; ++i) {
        const ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access.get(), i);
        if (OBJ_obj2nid(description->method) == NID_ad_OCSP) addHttpUrl(description->location, urls);
    }
    return urls;
}

// The first kMostUrls http:// full-name URIs of cert's CRL distribution
// points, in order.
std::vector<std::string> distributionPointUrls(X509* cert) {
    std::vector<std::string> urls;
    const DistributionPointsPtr points(
        static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
    for (int i = 0; points && i < sk_DIST_POINT_num(points.get()) && urls.size() < kMostUrls; ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        // A name relative to the CRL issuer has no address to fetch from.
        if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names) && urls.size() < kMostUrls; ++j)
            addHttpUrl(sk_GENERAL_NAME_value(names, j), urls);
    }
    return urls;
}

// ---- OCSP answers ---------------------------------------------------------

// What keeps an answer about id: its DER (hash of the issuer's name, hash
// of the issuer's key, serial number).
bool keyOf(OCSP_CERTID* id, std::string& key) {
    unsigned char* bytes = nullptr;
    const int length = i2d_OCSP_CERTID(id, &bytes);
    if (length <= 0) return false;
    const OsslBytes owner(bytes);
    key.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    return true;
}

OcspRequestPtr makeRequest(const OCSP_CERTID* id) {
    OcspRequestPtr request(OCSP_REQUEST_new());
    OcspCertIdPtr copy(OCSP_CERTID_dup(id));
    if (!request || !copy || OCSP_request_add0_id(request.get(), copy.get()) == nullptr) return nullptr;
    copy.release();
    if (OCSP_request_add1_nonce(request.get(), nullptr, -1) != 1) return nullptr;
    return request;
}

// True when candidate is the certificate the response names as its signer.
bool namesResponder(X509* candidate, const ASN1_OCTET_STRING* keyHash, const X509_NAME* name) {
    if (name != nullptr) return X509_NAME_cmp(X509_get_subject_name(candidate), name) == 0;
    unsigned char digest[SHA_DIGEST_LENGTH];
    unsigned int length = 0;
    return keyHash != nullptr && ASN1_STRING_length(keyHash) == SHA_DIGEST_LENGTH &&
           X509_pubkey_digest(candidate, EVP_sha1(), digest, &length) == 1 && length == SHA_DIGEST_LENGTH &&
           std::memcmp(digest, ASN1_STRING_get0_data(keyHash), SHA_DIGEST_LENGTH) == 0;
}

// True when candidate may answer for issuer's certificates: issuer itself,
// or a certificate issuer signed for OCSP signing, valid at now.
bool mayAnswerFor(X509* candidate, X509* issuer, std::int64_t now) {
    if (X509_cmp(candidate, issuer) == 0) return true;
    if ((X509_get_extension_flags(candidate) & EXFLAG_XKUSAGE) == 0 ||
        (X509_get_extended_key_usage(candidate) & XKU_OCSP_SIGN) == 0)
        return false;
    const std::int64_t notBefore = secondsSince1970(X509_get0_notBefore(candidate));
    const std::int64_t notAfter = secondsSince1970(X509_get0_notAfter(candidate));
    if (notBefore == 0 || notAfter == 0 || now < notBefore || now > notAfter) return false;
    EVP_PKEY* issuerKey = X509_get0_pubkey(issuer);
    return issuerKey != nullptr && X509_check_issued(issuer, candidate) == X509_V_OK &&
           X509_verify(candidate, issuerKey) == 1;
}

bool signatureVerifies(OCSP_BASICRESP* basic, X509* signer) {
    const BorrowedX509StackPtr only(sk_X509_new_null());
    if (!only || sk_X509_push(only.get(), signer) == 0) return false;
    // The signer is settled already: look at it alone (NOINTERN) and take it
    // as it is (TRUSTOTHER skips building a chain for it), so that only the
    // signature remains to check.
    return OCSP_basic_verify(basic, only.get(), nullptr, OCSP_NOINTERN | OCSP_TRUSTOTHER) == 1;
}

// True when basic is signed by issuer or by a responder issuer authorised,
// looked for in the response and in untrusted.
bool signedForIssuer(OCSP_BASICRESP* basic, X509* issuer, STACK_OF(X509)* untrusted, std::int64_t now) {
    const ASN1_OCTET_STRING* keyHash = nullptr;
    const X509_NAME* name = nullptr;
    if (OCSP_resp_get0_id(basic, &keyHash, &name) != 1) return false;
    int candidates = 0;
    const auto signedBy = [&](X509* candidate) {
        if (candidate == nullptr || !namesResponder(candidate, keyHash, name)) return false;
        ++candidates;
        return candidates <= kMostSignerCandidates && mayAnswerFor(candidate, issuer, now) &&
               signatureVerifies(basic, candidate);
    };
    if (signedBy(issuer)) return true;
    const STACK_OF(X509)* included = OCSP_resp_get0_certs(basic);
    for (int i = 0; i < sk_X509_num(included) && candidates < kMostSignerCandidates; ++i)
        if (signedBy(sk_X509_value(included, i))) return true;
    for (int i = 0; i < sk_X509_num(untrusted) && candidates < kMostSignerCandidates; ++i)
        if (signedBy(sk_X509_value(untrusted, i))) return true;
    return false;
}

struct Judged {
    OnlineAnswer answer;
    std::int64_t thisUpdate = 0;
    std::optional<std::int64_t> nextUpdate;
};

// What body, the response to request, says about id, when that holds.
std::optional<Judged> judgeResponse(const std::string& body, OCSP_REQUEST* request, OCSP_CERTID* id, X509* issuer,
                                    STACK_OF(X509)* untrusted, std::int64_t now) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(body.data());
    const OcspResponsePtr response(d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(body.size())));
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) return std::nullopt;
    const OcspBasicResponsePtr basic(OCSP_response_get1_basic(response.get()));
    if (!basic) return std::nullopt;
    const int nonce = OCSP_check_nonce(request, basic.get());
    if (nonce != kNonceMatches && nonce != kNonceMissingFromAnswer) return std::nullopt;

    int status = -1;
    int reason = -1;
    ASN1_GENERALIZEDTIME* revokedTime = nullptr;
    ASN1_GENERALIZEDTIME* thisTime = nullptr;
    ASN1_GENERALIZEDTIME* nextTime = nullptr;
    if (OCSP_resp_find_status(basic.get(), id, &status, &reason, &revokedTime, &thisTime, &nextTime) != 1)
        return std::nullopt;
    Judged judged;
    judged.thisUpdate = secondsSince1970(thisTime);
    if (judged.thisUpdate == 0 || judged.thisUpdate > now + kClockAllowance) return std::nullopt;
    if (nextTime != nullptr) {
        const std::int64_t next = secondsSince1970(nextTime);
        if (next == 0 || next < judged.thisUpdate || next < now - kClockAllowance) return std::nullopt;
        judged.nextUpdate = next;
    } else if (nonce != kNonceMatches) {
        // Neither nonce nor nextUpdate: nothing shows the answer is not an
        // old one replayed.
        return std::nullopt;
    }
    switch (status) {
    case V_OCSP_CERTSTATUS_GOOD:
        judged.answer.status = OnlineStatus::Good;
        break;
    case V_OCSP_CERTSTATUS_REVOKED:
        judged.answer.status = OnlineStatus::Revoked;
        judged.answer.revokedAt = secondsSince1970(revokedTime);
        if (judged.answer.revokedAt == 0) return std::nullopt;
        break;
    case V_OCSP_CERTSTATUS_UNKNOWN:
        break;
    default:
        return std::nullopt;
    }
    // Last, as the dearest check.
    if (!signedForIssuer(basic.get(), issuer, untrusted, now)) return std::nullopt;
    return judged;
}

// Drops from kept what is stale at now and then, soonest stale first,
// whatever it takes for fits() to hold; dropped(entry) hears of each.
template <typename Kept, typename Fits, typename Dropped>
void makeRoom(std::unordered_map<std::string, Kept>& kept, std::int64_t now, Fits fits, Dropped dropped) {
    for (auto it = kept.begin(); it != kept.end();) {
        if (it->second.nextUpdate > now) {
            ++it;
            continue;
        }
        dropped(it->second);
        it = kept.erase(it);
    }
    while (!kept.empty() && !fits()) {
        const auto soonest = std::min_element(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
            return a.second.nextUpdate < b.second.nextUpdate;
        });
        dropped(soonest->second);
        kept.erase(soonest);
    }
}

} // namespace

OnlineRevocation::OnlineRevocation(int timeoutSeconds) : timeoutSeconds_(std::max(timeoutSeconds, 1)) {}

OnlineAnswer OnlineRevocation::ocsp(X509* cert, X509* issuer, STACK_OF(X509)* untrusted, std::int64_t now) noexcept {
    if (cert == nullptr || issuer == nullptr) return {};
    const ErrorQueueMark mark;
    try {
        const OcspCertIdPtr id(OCSP_cert_to_id(nullptr, cert, issuer));
        std::string key;
        if (!id || !keyOf(id.get(), key)) return {};
        OnlineAnswer answer;
        if (keptAnswer(key, now, answer)) return answer;

        const std::vector<std::string> urls = responderUrls(cert);
        if (urls.empty()) return {};
        // One nonce for every responder asked: each answer is checked
        // against it alike.
        const OcspRequestPtr request = makeRequest(id.get());
        if (!request) return {};
        const HttpPost post{"application/ocsp-request", ASN1_ITEM_rptr(OCSP_REQUEST),
                            reinterpret_cast<const ASN1_VALUE*>(request.get())};
        for (const std::string& url : urls) {
            std::string body;
            if (!http_.fetch(url, &post, kMostOcspBytes, std::chrono::seconds(timeoutSeconds_), body)) continue;
            const std::optional<Judged> judged = judgeResponse(body, request.get(), id.get(), issuer, untrusted, now);
            if (!judged) continue;
            // An answer that holds ends the search, even an unknown one.
            if (judged->answer.status != OnlineStatus::Unknown && judged->nextUpdate && *judged->nextUpdate > now)
                keepAnswer(key, KeptAnswer{judged->answer, judged->thisUpdate, *judged->nextUpdate}, now);
            return judged->answer;
        }
        return {};
    } catch (...) {
        return {};
    }
}

void OnlineRevocation::crls(X509* cert, std::int64_t now, STACK_OF(X509_CRL)* crls) noexcept {
    if (cert == nullptr || crls == nullptr) return;
    const ErrorQueueMark mark;
    try {
        const std::vector<std::string> urls = distributionPointUrls(cert);
        std::vector<X509CrlPtr> found;
        found.reserve(urls.size());
        for (const std::string& url : urls) {
            X509CrlPtr crl = keptCrl(url, now);
            if (!crl) {
                std::string body;
                if (!http_.fetch(url, nullptr, kMostCrlBytes, std::chrono::seconds(timeoutSeconds_), body)) continue;
                const auto* cursor = reinterpret_cast<const unsigned char*>(body.data());
                crl.reset(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(body.size())));
                if (!crl) continue;
                // A CRL without a next update, or stale already, is handed on
                // for the chain check to judge, but not kept.
                const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl.get());
                const std::int64_t nextUpdate = next != nullptr ? secondsSince1970(next) : 0;
                if (nextUpdate > now) keepCrl(url, crl.get(), nextUpdate, body.size(), now);
            }
            found.push_back(std::move(crl));
        }
        // All or nothing, so that running out of memory half-way leaves the
        // caller's stack as it was.
        const int before = sk_X509_CRL_num(crls);
        for (X509CrlPtr& crl : found) {
            if (sk_X509_CRL_push(crls, crl.get()) == 0) {
                while (sk_X509_CRL_num(crls) > before) X509_CRL_free(sk_X509_CRL_pop(crls));
                return;
            }
            crl.release();
        }
    } catch (...) {
    }
}

bool OnlineRevocation::keptAnswer(const std::string& key, std::int64_t now, OnlineAnswer& answer) {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto found = answers_.find(key);
    if (found == answers_.end()) return false;
    const KeptAnswer& kept = found->second;
    if (now >= kept.nextUpdate || kept.thisUpdate > now + kClockAllowance) return false;
    answer = kept.answer;
    return true;
}

void OnlineRevocation::keepAnswer(const std::string& key, const KeptAnswer& kept, std::int64_t now) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (answers_.find(key) == answers_.end())
        makeRoom(answers_, now, [this] { return answers_.size() < kMostKeptAnswers; }, [](const KeptAnswer&) {});
    answers_[key] = kept;
}

X509CrlPtr OnlineRevocation::keptCrl(const std::string& url, std::int64_t now) {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto found = crls_.find(url);
    if (found == crls_.end() || now >= found->second.nextUpdate) return nullptr;
    X509_CRL* crl = found->second.crl.get();
    return X509_CRL_up_ref(crl) == 1 ? X509CrlPtr(crl) : nullptr;
}

void OnlineRevocation::keepCrl(const std::string& url, X509_CRL* crl, std::int64_t nextUpdate, std::size_t size,
                               std::int64_t now) {
    if (size > kMostKeptCrlBytes || X509_CRL_up_ref(crl) != 1) return;
    X509CrlPtr reference(crl);
    const std::lock_guard<std::mutex> hold(lock_);
    // Two threads may have fetched the same CRL at once; the later one wins.
    const auto old = crls_.find(url);
    if (old != crls_.end()) {
        keptCrlBytes_ -= old->second.size;
        crls_.erase(old);
    }
    makeRoom(
        crls_, now,
        [this, size] { return crls_.size() < kMostKeptCrls && keptCrlBytes_ + size <= kMostKeptCrlBytes; },
        [this](const KeptCrl& dropped) { keptCrlBytes_ -= dropped.size; });
    crls_.emplace(url, KeptCrl{std::move(reference), nextUpdate, size});
    keptCrlBytes_ += size;
}

} // namespace detail
