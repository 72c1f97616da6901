// Credentials and environments: one identity chosen from a key store, and
// the environment that signs, encrypts, verifies and decrypts with it.
#ifndef PROVIDER_CREDENTIAL_H
#define PROVIDER_CREDENTIAL_H

#include <memory>
#include <mutex>
#include <string>

#include "keystore.h"
#include "live_handles.h"
#include "online_revocation.h"
#include "ossl_ptr.h"
#include "vek4kivoidup.h"

namespace detail {

// What a credential stands for. Never changed once made, so credentials
// and environments share it across threads.
struct Identity {
    EvpPkeyPtr key;           // null for a credential of an empty container
    X509Ptr cert;             // null likewise
    X509StackPtr chain;       // the container's other certificates
    X509StackPtr authorities; // those of them that are CA certificates
    X509CrlStackPtr crls;     // the container's CRLs
};

struct Credential {
    std::shared_ptr<const Identity> identity;
};

struct Environment {
    std::shared_ptr<const Identity> identity;
    // OCSP answers and CRLs fetched for this environment's verifications.
    OnlineRevocation online;

    // The trust store of a verification with the PEM certificates of
    // anchors (may be empty) as extra trust, held for the caller. Stores are
    // made on first use, so environments that only sign or encrypt never
    // read the system's certificates, and kept: the one without extra
    // anchors, and the one for the anchors last asked for, since reading the
    // system's certificates costs far more than a verification.
    kivo_reason_t trustStore(const gss_buffer_desc& anchors, X509StorePtr& store);

private:
    std::mutex storeLock_;
    X509StorePtr plainStore_;
    std::string lastAnchors_;
    X509StorePtr anchoredStore_;
};

// Chooses the identity that principal names (empty: the first key with a
// certificate) from store.
kivo_reason_t selectIdentity(const KeyStore& store, const std::string& principal,
                             std::shared_ptr<const Identity>& identity);

// The KIVO_CRED_* bits that describe identity now.
OM_uint32 capabilitiesOf(const Identity& identity) noexcept;

// A trust store of the system's default locations (which honour
// SSL_CERT_FILE and SSL_CERT_DIR), identity's authorities and the PEM
// certificates of extraAnchors (may be empty).
kivo_reason_t makeTrustStore(const Identity& identity, const gss_buffer_desc& extraAnchors, X509StorePtr& store);

// The credential or environment a handle names; null unless the provider
// handed it out (registered in liveHandles) and it has not been released.
const Credential* credentialOf(const void* handle);
Environment* environmentOf(void* handle);

} // namespace detail

#endif // PROVIDER_CREDENTIAL_H
