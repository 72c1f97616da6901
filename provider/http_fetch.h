// Plain HTTP/1.x fetches for revocation answers: sockets of our own with a
// deadline in milliseconds, redirections followed to http:// only, the
// environment's proxy honoured, and answers bounded in size.
#ifndef PROVIDER_HTTP_FETCH_H
#define PROVIDER_HTTP_FETCH_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include <openssl/asn1.h>
#include <openssl/bio.h>

#include "ossl_ptr.h"

namespace detail {

// url as we send it, when it is an http:// URL we are willing to put on a
// request line: bounded, and without spaces or control characters (a line
// end would smuggle in header fields of its own). The scheme is written in
// lower case, as OpenSSL's parser wants it.
std::optional<std::string> httpUrl(const char* bytes, std::size_t length);

// What a POST sends: one ASN.1 value, as its DER, with its content type.
struct HttpPost {
    const char* contentType;
    const ASN1_ITEM* item;
    const ASN1_VALUE* value;
};

// Fetches over plain HTTP, from several threads at once. A proxy is used
// when http_proxy (or HTTP_PROXY) names one and no_proxy (or NO_PROXY) does
// not list the server's exact host name, as with OpenSSL's own client.
class HttpClient {
public:
    // Should OpenSSL fail to make the client's socket I/O, every fetch fails.
    HttpClient() noexcept;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The answer to url, as httpUrl gives it (one DER structure of at most
    // maxBytes), in body: by POST of post, or by GET when that is null (only
    // GETs follow redirections, up to three, to http:// only). timeout bounds
    // connecting, sending and receiving, redirections included; name
    // resolution is the system's and is not bounded by it. false when no
    // answer came in time. May throw std::bad_alloc; the errors OpenSSL
    // queues on the way are left for the caller to clear.
    bool fetch(const std::string& url, const HttpPost* post, std::size_t maxBytes, std::chrono::seconds timeout,
               std::string& body);

private:
    // The socket I/O of this client's requests, made once.
    const OsslPtr<BIO_METHOD, BIO_meth_free> socketMethod_;
};

} // namespace detail

#endif // PROVIDER_HTTP_FETCH_H
