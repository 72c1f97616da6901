#include "credential.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include <openssl/pem.h>

#include "openssl_support.h"
#include "system_trust.h"
#include "vekruntime.h"

namespace detail {

namespace {

struct Candidate {
    const StoredKey* key;
    const StoredCertificate* cert;
};

// Every key with every certificate of its public key, key by key; a key's
// certificates that are valid now come before its others, so that a renewed
// certificate wins over the one it replaced.
std::vector<Candidate> candidatesOf(const KeyStore& store) {
    std::vector<Candidate> candidates;
    for (const StoredKey& key : store.keys) {
        const std::size_t first = candidates.size();
        for (const StoredCertificate& cert : store.certs)
            if (EVP_PKEY_eq(X509_get0_pubkey(cert.cert.get()), key.key.get()) == 1)
                candidates.push_back(Candidate{&key, &cert});
        std::stable_partition(candidates.begin() + static_cast<std::ptrdiff_t>(first), candidates.end(),
                              [](const Candidate& c) { return validNow(c.cert->cert.get()); });
    }
    return candidates;
}

bool hasEmail(X509* cert, const std::string& principal) {
    EmailStackPtr emails(X509_get1_email(cert));
    for (int i = 0; emails && i < sk_OPENSSL_STRING_num(emails.get()); ++i)
        if (vekruntime::compareIgnoringCase(sk_OPENSSL_STRING_value(emails.get(), i), principal.c_str()) == 0) return true;
    return false;
}

bool hasCommonName(X509* cert, const std::string& principal) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
        if (length < 0) continue;
        OpensslCharPtr owned(reinterpret_cast<char*>(utf8));
        if (principal == std::string(owned.get(), static_cast<std::size_t>(length))) return true;
    }
    return false;
}

const Candidate* findByPrincipal(const std::vector<Candidate>& candidates, const std::string& principal) {
    if (principal.empty()) return candidates.empty() ? nullptr : &candidates.front();
    for (const Candidate& c : candidates)
        if (c.key->friendlyName == principal || c.cert->friendlyName == principal) return &c;
    for (const Candidate& c : candidates)
        if (hasEmail(c.cert->cert.get(), principal)) return &c;
    for (const Candidate& c : candidates)
        if (hasCommonName(c.cert->cert.get(), principal)) return &c;
    return nullptr;
}

} // namespace

kivo_reason_t selectIdentity(const KeyStore& store, const std::string& principal,
                             std::shared_ptr<const Identity>& identity) {
    auto chosen = std::make_shared<Identity>();
    const std::vector<Candidate> candidates = candidatesOf(store);
    const Candidate* match = findByPrincipal(candidates, principal);
    if (match != nullptr) {
        if (EVP_PKEY_up_ref(match->key->key.get()) != 1) return KIVO_R_INTERNAL;
        chosen->key.reset(match->key->key.get());
        if (X509_up_ref(match->cert->cert.get()) != 1) return KIVO_R_INTERNAL;
        chosen->cert.reset(match->cert->cert.get());
    } else if (!(store.keys.empty() && principal.empty())) {
        // Only a store without keys gives a credential without one, and only
        // for the empty principal: a named identity that is absent is an error.
        return KIVO_R_NO_SUCH_IDENTITY;
    }
    chosen->chain.reset(sk_X509_new_null());
    chosen->authorities.reset(sk_X509_new_null());
    chosen->crls.reset(sk_X509_CRL_new_null());
    if (!chosen->chain || !chosen->authorities || !chosen->crls) return KIVO_R_NO_MEMORY;
    for (const X509CrlPtr& crl : store.crls)
        if (!pushReference(chosen->crls.get(), crl.get())) return KIVO_R_NO_MEMORY;
    for (const StoredCertificate& stored : store.certs) {
        X509* cert = stored.cert.get();
        // Every CA certificate of the store is trusted, the chosen one too.
        if (X509_check_ca(cert) > 0 && !pushReference(chosen->authorities.get(), cert)) return KIVO_R_NO_MEMORY;
        if (match != nullptr && cert == match->cert->cert.get()) continue;
        if (!pushReference(chosen->chain.get(), cert)) return KIVO_R_NO_MEMORY;
    }
    identity = std::move(chosen);
    return KIVO_R_NONE;
}

OM_uint32 capabilitiesOf(const Identity& identity) noexcept {
    if (!identity.key || !identity.cert) return 0;
    X509* cert = identity.cert.get();
    // UINT32_MAX when the certificate sets no key usage: then any use is allowed.
    const std::uint32_t usage = X509_get_key_usage(cert);
    // Only RSA (key transport) and EC (key agreement) keys receive S/MIME.
    const bool canReceive = EVP_PKEY_is_a(identity.key.get(), "RSA") || EVP_PKEY_is_a(identity.key.get(), "EC");
    OM_uint32 bits = 0;
    if ((usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0) bits |= KIVO_CRED_CAN_SIGN;
    if (canReceive && (usage & (KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT)) != 0) bits |= KIVO_CRED_CAN_DECRYPT;
    if (validNow(cert)) bits |= KIVO_CRED_CERT_VALID_NOW;
    return bits;
}

kivo_reason_t makeTrustStore(const Identity& identity, const gss_buffer_desc& extraAnchors, X509StorePtr& store) {
    X509StorePtr made(X509_STORE_new());
    if (!made) return KIVO_R_NO_MEMORY;
    if (!addSystemTrust(made.get())) return reasonFromQueue(KIVO_R_NO_MEMORY);
    ERR_clear_error();
    for (int i = 0; i < sk_X509_num(identity.authorities.get()); ++i)
        if (X509_STORE_add_cert(made.get(), sk_X509_value(identity.authorities.get(), i)) != 1)
            return reasonFromQueue(KIVO_R_INTERNAL);
    if (extraAnchors.length != 0) {
        if (extraAnchors.value == nullptr) return KIVO_R_BAD_PARAMETER;
        BioPtr bio = readOnlyBio(extraAnchors.value, extraAnchors.length);
        if (!bio) return KIVO_R_NO_MEMORY;
        int added = 0;
        while (X509* anchor = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr)) {
            X509Ptr owned(anchor);
            if (X509_STORE_add_cert(made.get(), anchor) != 1) return reasonFromQueue(KIVO_R_INTERNAL);
            ++added;
        }
        const QueuedErrors errors = QueuedErrors::take();
        if (errors.outOfMemory()) return KIVO_R_NO_MEMORY;
        if (added == 0 || !errors.has(ERR_LIB_PEM, PEM_R_NO_START_LINE)) return KIVO_R_BAD_PARAMETER;
    }
    store = std::move(made);
    return KIVO_R_NONE;
}

kivo_reason_t Environment::trustStore(const gss_buffer_desc& anchors, X509StorePtr& store) {
    if (anchors.length != 0 && anchors.value == nullptr) return KIVO_R_BAD_PARAMETER;
    const std::string_view wanted(static_cast<const char*>(anchors.value), anchors.length);
    std::lock_guard<std::mutex> hold(storeLock_);
    X509StorePtr& kept = wanted.empty() ? plainStore_ : anchoredStore_;
    if (!kept || (!wanted.empty() && wanted != lastAnchors_)) {
        X509StorePtr made;
        const kivo_reason_t reason = makeTrustStore(*identity, anchors, made);
        if (reason != KIVO_R_NONE) return reason;
        if (!wanted.empty()) lastAnchors_.assign(wanted);
        kept = std::move(made);
    }
    // The caller's own reference: the kept store may be replaced by another
    // thread's anchors while the caller still verifies with it.
    if (X509_STORE_up_ref(kept.get()) != 1) return KIVO_R_NO_MEMORY;
    store.reset(kept.get());
    return KIVO_R_NONE;
}

const Credential* credentialOf(const void* handle) { return liveHandles<Credential>().find(handle); }

Environment* environmentOf(void* handle) { return liveHandles<Environment>().find(handle); }

} // namespace detail
