#include "keystore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <openssl/pem.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>

#include "algorithm_support.h"
#include "kdf_limits.h"
#include "live_handles.h"
#include "openssl_support.h"

namespace detail {

namespace {

// safeContentsBag nesting deeper than this is hostile, not a key store.
constexpr int kMaxBagDepth = 4;

// A password for OpenSSL's (pointer, length) calls. OpenSSL tells an absent
// password (null) from an empty one, and PKCS#12 files exist with either.
struct Password {
    const char* text;
    int length;
};

// The password-based protections of old PKCS#12 exports (RC2 and RC4, the
// usual certificate protection of older Windows), which OpenSSL 3 keeps in
// its legacy provider.
bool isLegacyProtection(const X509_ALGOR* pbe) {
    switch (pbe != nullptr ? OBJ_obj2nid(pbe->algorithm) : NID_undef) {
    case NID_pbe_WithSHA1And40BitRC2_CBC:
    case NID_pbe_WithSHA1And128BitRC2_CBC:
    case NID_pbe_WithSHA1And40BitRC4:
    case NID_pbe_WithSHA1And128BitRC4:
        return true;
    default:
        return false;
    }
}

// Loads OpenSSL's legacy provider beside the default one, once: only when a
// key store needs it, since it makes old algorithms available process-wide.
// It stays loaded until the process ends.
bool legacyProviderLoaded() {
    static const OsslPtr<OSSL_PROVIDER, OSSL_PROVIDER_unload> legacy(OSSL_PROVIDER_try_load(nullptr, "legacy", 1));
    return legacy != nullptr;
}

// Decrypts with attempt; a legacy protection is tried again with the legacy
// provider, and where that is not installed it is named as unsupported
// rather than taken for a wrong password.
template <typename Decrypted, typename Attempt>
Decrypted decryptProtected(const X509_ALGOR* pbe, Attempt&& attempt, kivo_reason_t& reason) {
    Decrypted decrypted(attempt());
    if (!decrypted && isLegacyProtection(pbe)) {
        if (!legacyProviderLoaded()) {
            reason = unsupported("the key store's protection", pbe->algorithm);
            return decrypted;
        }
        ERR_clear_error();
        decrypted.reset(attempt());
    }
    if (!decrypted) reason = reasonFromQueue(KIVO_R_WRONG_PASSWORD);
    return decrypted;
}

std::string friendlyNameOf(const PKCS12_SAFEBAG* bag) {
    OpensslCharPtr name(PKCS12_get_friendlyname(const_cast<PKCS12_SAFEBAG*>(bag)));
    return name ? std::string(name.get()) : std::string();
}

kivo_reason_t addKey(PKCS8_PRIV_KEY_INFO* p8, const PKCS12_SAFEBAG* bag, KeyStore& store) {
    EvpPkeyPtr key(EVP_PKCS82PKEY(p8));
    if (!key) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
    store.keys.push_back(StoredKey{std::move(key), friendlyNameOf(bag)});
    return KIVO_R_NONE;
}

kivo_reason_t readBags(const STACK_OF(PKCS12_SAFEBAG)* bags, Password password, int depth, KeyStore& store) {
    if (depth > kMaxBagDepth) return KIVO_R_KEYSTORE_UNREADABLE;
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        kivo_reason_t reason = KIVO_R_NONE;
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
            reason = addKey(const_cast<PKCS8_PRIV_KEY_INFO*>(PKCS12_SAFEBAG_get0_p8inf(bag)), bag, store);
            break;
        case NID_pkcs8ShroudedKeyBag: {
            const X509_ALGOR* pbe = nullptr;
            X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &pbe, nullptr);
            if (!kdfCostAcceptable(pbe)) return KIVO_R_KEYSTORE_UNREADABLE;
            const Pkcs8Ptr p8 = decryptProtected<Pkcs8Ptr>(
                pbe, [&] { return PKCS12_decrypt_skey(bag, password.text, password.length); }, reason);
            if (p8) reason = addKey(p8.get(), bag, store);
            break;
        }
        case NID_certBag: {
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
            X509Ptr cert(PKCS12_SAFEBAG_get1_cert(bag));
            if (!cert) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
            store.certs.push_back(StoredCertificate{std::move(cert), friendlyNameOf(bag)});
            break;
        }
        case NID_crlBag: {
            if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Crl) break;
            X509CrlPtr crl(PKCS12_SAFEBAG_get1_crl(bag));
            if (!crl) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
            store.crls.push_back(std::move(crl));
            break;
        }
        case NID_safeContentsBag:
            reason = readBags(PKCS12_SAFEBAG_get0_safes(bag), password, depth + 1, store);
            break;
        default:
            break; // secrets are of no use here
        }
        if (reason != KIVO_R_NONE) return reason;
    }
    return KIVO_R_NONE;
}

kivo_reason_t loadPkcs12(const void* bytes, std::size_t length, const std::string& password, KeyStore& store) {
    const unsigned char* cursor = static_cast<const unsigned char*>(bytes);
    Pkcs12Ptr p12(fitsLong(length) ? d2i_PKCS12(nullptr, &cursor, static_cast<long>(length)) : nullptr);
    if (!p12) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);

    Password chosen{password.c_str(), static_cast<int>(password.size())};
    if (PKCS12_mac_present(p12.get())) {
        if (!macCostAcceptable(p12.get())) return KIVO_R_KEYSTORE_UNREADABLE;
        if (PKCS12_verify_mac(p12.get(), chosen.text, chosen.length) != 1) {
            // An empty password may have been stored as an absent one.
            if (!password.empty() || PKCS12_verify_mac(p12.get(), nullptr, 0) != 1)
                return reasonFromQueue(KIVO_R_WRONG_PASSWORD);
            chosen = Password{nullptr, 0};
        }
    }

    Pkcs7StackPtr safes(PKCS12_unpack_authsafes(p12.get()));
    if (!safes) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        SafeBagStackPtr bags;
        switch (OBJ_obj2nid(safe->type)) {
        case NID_pkcs7_data:
            bags.reset(PKCS12_unpack_p7data(safe));
            if (!bags) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
            break;
        case NID_pkcs7_encrypted: {
            if (safe->d.encrypted == nullptr || safe->d.encrypted->enc_data == nullptr ||
                !kdfCostAcceptable(safe->d.encrypted->enc_data->algorithm))
                return KIVO_R_KEYSTORE_UNREADABLE;
            kivo_reason_t refused = KIVO_R_NONE;
            bags = decryptProtected<SafeBagStackPtr>(
                safe->d.encrypted->enc_data->algorithm,
                [&] { return PKCS12_unpack_p7encdata(safe, chosen.text, chosen.length); }, refused);
            if (!bags) return refused;
            break;
        }
        default:
            continue; // public-key-protected safes are not supported
        }
        const kivo_reason_t reason = readBags(bags.get(), chosen, 0, store);
        if (reason != KIVO_R_NONE) return reason;
    }
    return KIVO_R_NONE;
}

int passwordCallback(char* buffer, int size, int, void* user) {
    const auto* password = static_cast<const std::string*>(user);
    if (password->empty() || password->size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, password->data(), password->size());
    return static_cast<int>(password->size());
}

bool isCertificateBlock(const std::string& name) {
    return name == PEM_STRING_X509 || name == PEM_STRING_X509_OLD || name == PEM_STRING_X509_TRUSTED;
}

bool isKeyBlock(const std::string& name) {
    return name == PEM_STRING_PKCS8INF || name == PEM_STRING_PKCS8 || name == PEM_STRING_RSA ||
           name == PEM_STRING_ECPRIVATEKEY || name == PEM_STRING_DSA;
}

kivo_reason_t addCertificateBlock(const unsigned char* der, long length, KeyStore& store) {
    const unsigned char* cursor = der;
    X509Ptr cert(d2i_X509(nullptr, &cursor, length));
    if (!cert) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
    store.certs.push_back(StoredCertificate{std::move(cert), std::string()});
    return KIVO_R_NONE;
}

kivo_reason_t addCrlBlock(const unsigned char* der, long length, KeyStore& store) {
    const unsigned char* cursor = der;
    X509CrlPtr crl(d2i_X509_CRL(nullptr, &cursor, length));
    if (!crl) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
    store.crls.push_back(std::move(crl));
    return KIVO_R_NONE;
}

// One key block, written back as PEM so that OpenSSL's key reader handles
// every form (PKCS#8 encrypted or not, traditional with Proc-Type headers).
kivo_reason_t addKeyBlock(const char* name, const char* header, const unsigned char* data, long length,
                          const std::string& password, KeyStore& store) {
    if (std::strcmp(name, PEM_STRING_PKCS8) == 0) {
        const unsigned char* cursor = data;
        OsslPtr<X509_SIG, X509_SIG_free> sealed(d2i_X509_SIG(nullptr, &cursor, length));
        const X509_ALGOR* pbe = nullptr;
        if (sealed) X509_SIG_get0(sealed.get(), &pbe, nullptr);
        if (!kdfCostAcceptable(pbe)) return reasonFromQueue(KIVO_R_KEYSTORE_UNREADABLE);
    }
    BioPtr block(BIO_new(BIO_s_mem()));
    if (!block || PEM_write_bio(block.get(), name, header, data, length) <= 0) return reasonFromQueue(KIVO_R_INTERNAL);
    auto* user = const_cast<std::string*>(&password);
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(block.get(), nullptr, passwordCallback, user));
    if (key) {
        store.keys.push_back(StoredKey{std::move(key), std::string()});
        return KIVO_R_NONE;
    }
    const bool encrypted = std::strcmp(name, PEM_STRING_PKCS8) == 0 || std::strstr(header, "ENCRYPTED") != nullptr;
    // An encrypted key that does not decrypt: the password, almost always.
    return reasonFromQueue(encrypted ? KIVO_R_WRONG_PASSWORD : KIVO_R_KEYSTORE_UNREADABLE);
}

kivo_reason_t loadPem(const void* bytes, std::size_t length, const std::string& password, KeyStore& store) {
    BioPtr bio = readOnlyBio(bytes, length);
    if (!bio) return KIVO_R_NO_MEMORY;
    for (;;) {
        char* rawName = nullptr;
        char* rawHeader = nullptr;
        unsigned char* rawData = nullptr;
        long dataLength = 0;
        if (PEM_read_bio(bio.get(), &rawName, &rawHeader, &rawData, &dataLength) != 1) break;
        OpensslCharPtr name(rawName);
        OpensslCharPtr header(rawHeader);
        // The DER of a key block is the private key itself when it is not encrypted.
        const SecretOsslBytes data(rawData, OpensslClearFree{dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0});
        kivo_reason_t reason = KIVO_R_NONE;
        if (isCertificateBlock(name.get()))
            reason = addCertificateBlock(data.get(), dataLength, store);
        else if (isKeyBlock(name.get()))
            reason = addKeyBlock(name.get(), header.get(), data.get(), dataLength, password, store);
        else if (std::strcmp(name.get(), PEM_STRING_X509_CRL) == 0)
            reason = addCrlBlock(data.get(), dataLength, store);
        if (reason != KIVO_R_NONE) return reason; // other blocks (parameters) are of no use here
    }
    // The reading loop ends at the first place without a further block; a
    // block cut short is an error of its own.
    const QueuedErrors errors = QueuedErrors::take();
    if (errors.outOfMemory()) return KIVO_R_NO_MEMORY;
    return errors.has(ERR_LIB_PEM, PEM_R_NO_START_LINE) ? KIVO_R_NONE : KIVO_R_KEYSTORE_UNREADABLE;
}

bool looksLikePem(const void* bytes, std::size_t length) {
    return std::string_view(static_cast<const char*>(bytes), length).find("-----BEGIN ") != std::string_view::npos;
}

} // namespace

kivo_reason_t loadKeyStore(const void* bytes, std::size_t length, const std::string& password, KeyStore& store) {
    if (length == 0 || length > kMaxKeyStoreBytes) return KIVO_R_KEYSTORE_UNREADABLE;
    if (password.size() > INT32_MAX / 2) return KIVO_R_BAD_PARAMETER;
    const kivo_reason_t reason =
        looksLikePem(bytes, length) ? loadPem(bytes, length, password, store) : loadPkcs12(bytes, length, password, store);
    if (reason != KIVO_R_NONE) return reason;
    return store.keys.empty() && store.certs.empty() ? KIVO_R_KEYSTORE_UNREADABLE : KIVO_R_NONE;
}

kivo_reason_t readKeyStoreFile(const std::string& path, std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return KIVO_R_KEYSTORE_UNREADABLE;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    // The size first, so that the bytes go into one block made once: a
    // block grown as they come would leave copies of the keys behind.
    if (std::fseek(file, 0, SEEK_END) != 0) return KIVO_R_KEYSTORE_UNREADABLE;
    const long size = std::ftell(file);
    if (size <= 0 || static_cast<unsigned long>(size) > kMaxKeyStoreBytes || std::fseek(file, 0, SEEK_SET) != 0)
        return KIVO_R_KEYSTORE_UNREADABLE;
    bytes.resize(static_cast<std::size_t>(size));
    // A file that shrank meanwhile reads short and is refused.
    return std::fread(&bytes[0], 1, bytes.size(), file) == bytes.size() ? KIVO_R_NONE : KIVO_R_KEYSTORE_UNREADABLE;
}

kivo_reason_t makeContainer(std::unique_ptr<KeyStore> store, gss_buffer_desc** container) {
    std::unique_ptr<gss_buffer_desc, FreeBytes> desc(static_cast<gss_buffer_desc*>(std::malloc(sizeof(gss_buffer_desc))));
    if (!desc) return KIVO_R_NO_MEMORY;
    desc->length = sizeof(KeyStore);
    desc->value = store.get();
    if (!liveHandles<gss_buffer_desc>().add(desc.get())) return KIVO_R_NO_MEMORY;
    store.release();
    *container = desc.release();
    return KIVO_R_NONE;
}

const KeyStore* keyStoreOf(const gss_buffer_desc* container) {
    const gss_buffer_desc* desc = liveHandles<gss_buffer_desc>().find(container);
    return desc != nullptr ? static_cast<const KeyStore*>(desc->value) : nullptr;
}

kivo_reason_t abolishContainer(gss_buffer_desc** container) {
    if (container == nullptr) return KIVO_R_BAD_PARAMETER;
    if (*container == nullptr) return KIVO_R_NONE;
    gss_buffer_desc* desc = liveHandles<gss_buffer_desc>().take(*container);
    if (desc == nullptr) return KIVO_R_BAD_HANDLE;
    delete static_cast<KeyStore*>(desc->value);
    std::free(desc);
    *container = nullptr;
    return KIVO_R_NONE;
}

} // namespace detail
