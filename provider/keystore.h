// Key stores: every private key and certificate that a PKCS#12 or PEM key
// store holds, read from a file or from memory, and the container handle
// that carries them to the library and back.
#ifndef PROVIDER_KEYSTORE_H
#define PROVIDER_KEYSTORE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ossl_ptr.h"
#include "vek4kivoidup.h"

namespace detail {

struct StoredKey {
    EvpPkeyPtr key;
    std::string friendlyName; // PKCS#12 only; empty when absent
};

struct StoredCertificate {
    X509Ptr cert;
    std::string friendlyName;
};

struct KeyStore {
    std::vector<StoredKey> keys;
    std::vector<StoredCertificate> certs;
    std::vector<X509CrlPtr> crls; // for checking revocation
};

// Key stores are a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxKeyStoreBytes = 16u * 1024 * 1024;

// Reads a key store from bytes: PEM when it holds a PEM block, else DER
// PKCS#12. Keys are decrypted with password (empty: none).
kivo_reason_t loadKeyStore(const void* bytes, std::size_t length, const std::string& password, KeyStore& store);

// Reads a whole key store file; KIVO_R_KEYSTORE_UNREADABLE when it cannot be
// read or is implausibly large for a key store.
kivo_reason_t readKeyStoreFile(const std::string& path, std::string& bytes);

// Wraps store into a provider-made container descriptor, registered as
// live; KIVO_R_NO_MEMORY (store freed) when memory runs out.
kivo_reason_t makeContainer(std::unique_ptr<KeyStore> store, gss_buffer_desc** container);

// The key store a container carries; null unless the descriptor is one the
// provider made and has not abolished.
const KeyStore* keyStoreOf(const gss_buffer_desc* container);

kivo_reason_t abolishContainer(gss_buffer_desc** container);

} // namespace detail

#endif // PROVIDER_KEYSTORE_H
