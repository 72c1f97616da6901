// Owners for every OpenSSL object the provider makes: each is released by
// its own free function when the owner goes, on every path.
#ifndef PROVIDER_OSSL_PTR_H
#define PROVIDER_OSSL_PTR_H

#include <cstdlib>
#include <memory>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace detail {

template <auto FreeFn>
struct FreeWith {
    template <typename T>
    void operator()(T* p) const noexcept { FreeFn(p); }
};
template <typename T, auto FreeFn>
using OsslPtr = std::unique_ptr<T, FreeWith<FreeFn>>;

using BioPtr = OsslPtr<BIO, BIO_free_all>;
using CmsPtr = OsslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using EvpPkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using Pkcs12Ptr = OsslPtr<PKCS12, PKCS12_free>;
using Pkcs8Ptr = OsslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509Ptr = OsslPtr<X509, X509_free>;
using X509StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509CrlPtr = OsslPtr<X509_CRL, X509_CRL_free>;

inline void freeOpensslBytes(void* p) noexcept { OPENSSL_free(p); }
using OpensslCharPtr = OsslPtr<char, freeOpensslBytes>;

// Stack calls are macros, so each stack type needs a written-out deleter;
// pop_free also frees what the stack owns.
struct X509StackFree {
    void operator()(STACK_OF(X509)* s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A stack whose certificates belong to someone else: only the stack goes.
struct BorrowedX509StackFree {
    void operator()(STACK_OF(X509)* s) const noexcept { sk_X509_free(s); }
};
using BorrowedX509StackPtr = std::unique_ptr<STACK_OF(X509), BorrowedX509StackFree>;

struct X509CrlStackFree {
    void operator()(STACK_OF(X509_CRL)* s) const noexcept { sk_X509_CRL_pop_free(s, X509_CRL_free); }
};
using X509CrlStackPtr = std::unique_ptr<STACK_OF(X509_CRL), X509CrlStackFree>;

struct Pkcs7StackFree {
    void operator()(STACK_OF(PKCS7)* s) const noexcept { sk_PKCS7_pop_free(s, PKCS7_free); }
};
using Pkcs7StackPtr = std::unique_ptr<STACK_OF(PKCS7), Pkcs7StackFree>;

struct SafeBagStackFree {
    void operator()(STACK_OF(PKCS12_SAFEBAG)* s) const noexcept { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
using SafeBagStackPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagStackFree>;

struct AlgorithmStackFree {
    void operator()(STACK_OF(X509_ALGOR)* s) const noexcept { sk_X509_ALGOR_pop_free(s, X509_ALGOR_free); }
};
using AlgorithmStackPtr = std::unique_ptr<STACK_OF(X509_ALGOR), AlgorithmStackFree>;

struct EmailStackFree {
    void operator()(STACK_OF(OPENSSL_STRING)* s) const noexcept { X509_email_free(s); }
};
using EmailStackPtr = std::unique_ptr<STACK_OF(OPENSSL_STRING), EmailStackFree>;

// Bytes bound for a caller's buffer: malloc'd, since the caller releases
// them with free (through prov_release_buffer).
struct FreeBytes {
    void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBytes = std::unique_ptr<unsigned char, FreeBytes>;

// Bytes OpenSSL allocated for us (an encoding from i2d).
struct OpensslFreeBytes {
    void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};
using OsslBytes = std::unique_ptr<unsigned char, OpensslFreeBytes>;

// Bytes OpenSSL allocated that may hold a private key: wiped as they go.
struct OpensslClearFree {
    std::size_t length;
    void operator()(unsigned char* p) const noexcept { OPENSSL_clear_free(p, length); }
};
using SecretOsslBytes = std::unique_ptr<unsigned char, OpensslClearFree>;

// A new stack that owns its certificates, each up-referenced from source
// (null source gives an empty stack); null when memory runs out.
X509StackPtr copyCertificates(const STACK_OF(X509)* source);

// Pushes a new reference to cert (crl) onto stack; false (nothing changed)
// when memory runs out.
bool pushReference(STACK_OF(X509)* stack, X509* cert) noexcept;
bool pushReference(STACK_OF(X509_CRL)* stack, X509_CRL* crl) noexcept;

// A read-only memory BIO over bytes that stay the caller's.
BioPtr readOnlyBio(const void* bytes, std::size_t length);

} // namespace detail

#endif // PROVIDER_OSSL_PTR_H
