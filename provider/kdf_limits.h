// Caps on the password-based key derivation work a key store may ask for.
// The iteration counts come from the file itself, so without a cap a small
// hostile key store could keep a login busy for hours.
#ifndef PROVIDER_KDF_LIMITS_H
#define PROVIDER_KDF_LIMITS_H

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

namespace detail {

// The most PBKDF iterations accepted: far above what key stores use (2048
// to a few hundred thousand), a few seconds of work at most.
constexpr long kMaxKdfIterations = 4000000;

// True when the password-based encryption algorithm alg (PKCS#5 v1,
// PKCS#12 PBE, or PBES2 with PBKDF2 or scrypt) asks for bounded work.
bool kdfCostAcceptable(const X509_ALGOR* alg);

// True when the PKCS#12 MAC asks for bounded work.
bool macCostAcceptable(const PKCS12* p12);

} // namespace detail

#endif // PROVIDER_KDF_LIMITS_H
