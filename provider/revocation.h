// The signer's chain checked as of a time, and with revocation when asked:
// CRLs at hand (the caller's, the key store's, the message's) and, online,
// OCSP answers and CRLs fetched from the certificates' own addresses.
#ifndef PROVIDER_REVOCATION_H
#define PROVIDER_REVOCATION_H

#include <cstdint>

#include <openssl/x509.h>

#include "vek4kivoidup.h"

namespace detail {

class OnlineRevocation;

struct ChainCheck {
    X509_STORE* store = nullptr;
    STACK_OF(X509)* untrusted = nullptr;
    std::int64_t at = 0;                // seconds since 1970; 0: now
    bool revocation = false;            // every certificate but the anchor needs a current CRL or OCSP answer
    STACK_OF(X509_CRL)* crls = nullptr; // the CRLs at hand (fetched ones are added)
    OnlineRevocation* online = nullptr; // when set, fetch what is missing
};

// KIVO_R_NONE when signer chains to an anchor of check.store as of
// check.at and, when asked, no certificate of the chain was revoked then;
// else why not, with revokedAt set for KIVO_R_CERTIFICATE_REVOKED.
kivo_reason_t verifyChain(const ChainCheck& check, X509* signer, std::int64_t& revokedAt) noexcept;

// Adds the CRLs of bytes (PEM blocks, or DER one after another) to crls;
// KIVO_R_BAD_PARAMETER when bytes hold anything else.
kivo_reason_t readCrls(const gss_buffer_desc& bytes, STACK_OF(X509_CRL)* crls) noexcept;

} // namespace detail

#endif // PROVIDER_REVOCATION_H
