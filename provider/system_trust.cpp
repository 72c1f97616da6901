#include "system_trust.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include <openssl/err.h>

namespace detail {

namespace {

// The state of one store's lookup in the default file.
struct DefaultFile {
    std::once_flag read;
};

DefaultFile* stateOf(X509_LOOKUP* lookup) { return static_cast<DefaultFile*>(X509_LOOKUP_get_method_data(lookup)); }

std::string defaultFileName() {
    const char* fromEnvironment = std::getenv(X509_get_default_cert_file_env());
    return fromEnvironment != nullptr ? fromEnvironment : X509_get_default_cert_file();
}

int findBySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* found) {
    DefaultFile* state = stateOf(lookup);
    if (state == nullptr) return 0;
    // Read once, by the first thread to need it; the others wait for it.
    // A missing or unreadable file adds nothing, as with OpenSSL's own
    // default locations.
    std::call_once(state->read, [lookup] {
        ERR_set_mark();
        X509_load_cert_crl_file(lookup, defaultFileName().c_str(), X509_FILETYPE_PEM);
        ERR_pop_to_mark();
    });
    X509_STORE* store = X509_LOOKUP_get_store(lookup);
    if (store == nullptr || X509_STORE_lock(store) != 1) return 0;
    X509_OBJECT* match = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), type, name);
    // Like OpenSSL's own lookups, the answer borrows the store's reference:
    // the caller takes a reference of its own, so the one set1 takes is
    // given back at once (the store's keeps the object alive).
    int ok = 0;
    if (match != nullptr && type == X509_LU_X509) {
        X509* cert = X509_OBJECT_get0_X509(match);
        ok = X509_OBJECT_set1_X509(found, cert);
        if (ok == 1) X509_free(cert);
    } else if (match != nullptr && type == X509_LU_CRL) {
        X509_CRL* crl = X509_OBJECT_get0_X509_CRL(match);
        ok = X509_OBJECT_set1_X509_CRL(found, crl);
        if (ok == 1) X509_CRL_free(crl);
    }
    X509_STORE_unlock(store);
    return ok;
}

int createState(X509_LOOKUP* lookup) {
    DefaultFile* state = new (std::nothrow) DefaultFile;
    if (state == nullptr) return 0;
    return X509_LOOKUP_set_method_data(lookup, state);
}

void freeState(X509_LOOKUP* lookup) {
    delete stateOf(lookup);
    X509_LOOKUP_set_method_data(lookup, nullptr);
}

X509_LOOKUP_METHOD* defaultFileMethod() {
    // Made once, on first use, and kept for the life of the process.
    static X509_LOOKUP_METHOD* const method = [] {
        X509_LOOKUP_METHOD* made = X509_LOOKUP_meth_new("default certificate file, read on first need");
        if (made != nullptr &&
            (X509_LOOKUP_meth_set_new_item(made, createState) != 1 || X509_LOOKUP_meth_set_free(made, freeState) != 1 ||
             X509_LOOKUP_meth_set_get_by_subject(made, findBySubject) != 1)) {
            X509_LOOKUP_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

} // namespace

bool addSystemTrust(X509_STORE* store) {
    X509_LOOKUP* directory = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    if (directory == nullptr) return false;
    // The default directory (or $SSL_CERT_DIR); one that does not exist
    // finds nothing.
    X509_LOOKUP_add_dir(directory, nullptr, X509_FILETYPE_DEFAULT);
    X509_LOOKUP_METHOD* method = defaultFileMethod();
    return method != nullptr && X509_STORE_add_lookup(store, method) != nullptr;
}

} // namespace detail
