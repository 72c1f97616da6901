// The system's trusted certificates in a trust store, read only when a
// verification needs them.
#ifndef PROVIDER_SYSTEM_TRUST_H
#define PROVIDER_SYSTEM_TRUST_H

#include <openssl/x509_vfy.h>

namespace detail {

// Adds the system's default locations (honouring SSL_CERT_FILE and
// SSL_CERT_DIR) to store: the hashed directory, where OpenSSL looks up one
// certificate at a time, and the default file, read whole the first time a
// chain needs a certificate that nothing already in the store provides.
// Reading that file costs tens of milliseconds, more than a verification,
// and a chain that ends at an anchor of the caller or of the key store
// never needs it. false when memory runs out; a machine without default
// locations simply trusts nothing of its own.
bool addSystemTrust(X509_STORE* store);

} // namespace detail

#endif // PROVIDER_SYSTEM_TRUST_H
