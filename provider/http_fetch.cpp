#include "http_fetch.h"

#ifdef _WIN32
// Leaves out wincrypt.h, whose macros (X509_NAME, OCSP_REQUEST, ...) would
// hide OpenSSL's types of those names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#else
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>

#include <openssl/http.h>

namespace detail {

namespace {

using Clock = std::chrono::steady_clock;

// Longer URLs are refused, not sent; a server may move a request this many
// times before it counts as failed.
constexpr std::size_t kMostUrlLength = 2048;
constexpr int kMostRedirections = 3;

using AddressInfoPtr = OsslPtr<BIO_ADDRINFO, BIO_ADDRINFO_free>;
using HttpRequestPtr = OsslPtr<OSSL_HTTP_REQ_CTX, OSSL_HTTP_REQ_CTX_free>;

// ---- Sockets -------------------------------------------------------------

// OpenSSL hands out sockets as int on every platform, INVALID_SOCKET as -1.
constexpr int kNoSocket = -1;

#ifdef _WIN32
using PollEntry = WSAPOLLFD;
int pollOne(PollEntry& entry, int milliseconds) { return WSAPoll(&entry, 1, milliseconds); }
bool wasInterrupted() { return false; }
int receiveSome(int socket, char* out, int length) { return recv(static_cast<SOCKET>(socket), out, length, 0); }
int sendSome(int socket, const char* in, int length) { return send(static_cast<SOCKET>(socket), in, length, 0); }
#else
using PollEntry = pollfd;
int pollOne(PollEntry& entry, int milliseconds) { return poll(&entry, 1, milliseconds); }
bool wasInterrupted() { return errno == EINTR; }
int receiveSome(int socket, char* out, int length) {
    return static_cast<int>(recv(socket, out, static_cast<std::size_t>(length), 0));
}
// A server that hangs up while we send must fail the request, not end the
// process with SIGPIPE (OpenSSL's own socket BIOs write with plain write()).
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif
int sendSome(int socket, const char* in, int length) {
    return static_cast<int>(send(socket, in, static_cast<std::size_t>(length), kNoSignal));
}
#endif

// A socket of ours, closed when it goes.
class Socket {
public:
    Socket() = default;
    ~Socket() { reset(kNoSocket); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int get() const noexcept { return handle_; }
    void reset(int handle) noexcept {
        if (handle_ != kNoSocket) BIO_closesocket(handle_);
        handle_ = handle;
    }

private:
    int handle_ = kNoSocket;
};

enum class Direction { Read, Write };

// Waits until socket is ready in direction; false once deadline passes.
// Timed here in milliseconds: OpenSSL's own waits count whole seconds of
// time(), so that its one-second timeout may give up after half a second.
bool waitFor(int socket, Direction direction, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        PollEntry entry{};
        entry.fd = socket;
        entry.events = direction == Direction::Read ? POLLIN : POLLOUT;
        const int ready = pollOne(entry, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready > 0) return true;
        if (ready < 0 && !wasInterrupted()) return false;
    }
}

// Connects socket to host and port, trying each address the name gives,
// until deadline. Made here rather than by OpenSSL's connect BIO: its HTTP
// client (in 3.0) retries a refused connection until the timeout, and the
// BIO busy-loops when asked again while its connection is still pending,
// so it cannot be driven by a clock of ours either.
bool connectTo(const std::string& host, const std::string& port, Clock::time_point deadline, Socket& socket) {
    BIO_ADDRINFO* found = nullptr;
    if (BIO_lookup_ex(host.c_str(), port.c_str(), BIO_LOOKUP_CLIENT, AF_UNSPEC, SOCK_STREAM, 0, &found) != 1)
        return false;
    const AddressInfoPtr addresses(found);
    for (const BIO_ADDRINFO* address = found; address != nullptr; address = BIO_ADDRINFO_next(address)) {
        socket.reset(BIO_socket(BIO_ADDRINFO_family(address), BIO_ADDRINFO_socktype(address),
                                BIO_ADDRINFO_protocol(address), 0));
        if (socket.get() == kNoSocket) continue;
        if (BIO_connect(socket.get(), BIO_ADDRINFO_address(address), BIO_SOCK_NONBLOCK) == 1) return true;
        // A refusal may come at once or once the socket turns writable.
        if (BIO_sock_should_retry(-1) && waitFor(socket.get(), Direction::Write, deadline) &&
            BIO_sock_error(socket.get()) == 0)
            return true;
        if (Clock::now() >= deadline) break;
    }
    socket.reset(kNoSocket);
    return false;
}

// What the HTTP client reads and writes through: a connected, non-blocking
// socket and the request's deadline. The waiting is done here, and OpenSSL
// is never asked to retry, so its own whole-second timer stays off.
struct Connection {
    Socket socket;
    Clock::time_point deadline;
};

Connection* connectionOf(BIO* bio) { return static_cast<Connection*>(BIO_get_data(bio)); }

// Moves bytes with move (receiveSome or sendSome), waiting for the socket
// to be ready in direction until the deadline. A received 0 is the server
// hanging up: the client takes it for the end.
template <typename Bytes, typename Move>
int beforeDeadline(BIO* bio, Bytes bytes, int length, Direction direction, Move move) {
    BIO_clear_retry_flags(bio);
    Connection* connection = connectionOf(bio);
    if (connection == nullptr || bytes == nullptr || length <= 0) return -1;
    for (;;) {
        const int moved = move(connection->socket.get(), bytes, length);
        if (moved >= 0) return moved;
        if (!BIO_sock_should_retry(-1) || !waitFor(connection->socket.get(), direction, connection->deadline)) return -1;
    }
}

int readBeforeDeadline(BIO* bio, char* out, int length) {
    return beforeDeadline(bio, out, length, Direction::Read, receiveSome);
}

int writeBeforeDeadline(BIO* bio, const char* in, int length) {
    return beforeDeadline(bio, in, length, Direction::Write, sendSome);
}

long controlConnection(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int createConnectionBio(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* makeSocketMethod() noexcept {
    // No number from BIO_get_new_index: it hands out a new one for every
    // client made, and after a hundred or so they run into the flag bits.
    OsslPtr<BIO_METHOD, BIO_meth_free> method(BIO_meth_new(BIO_TYPE_SOURCE_SINK, "revocation fetch"));
    if (!method || BIO_meth_set_read(method.get(), readBeforeDeadline) != 1 ||
        BIO_meth_set_write(method.get(), writeBeforeDeadline) != 1 ||
        BIO_meth_set_ctrl(method.get(), controlConnection) != 1 ||
        BIO_meth_set_create(method.get(), createConnectionBio) != 1)
        return nullptr;
    return method.release();
}

// ---- Requests ------------------------------------------------------------

// OpenSSL's URL parser keeps the brackets of an IPv6 address; the address
// lookup wants it without them, the request line and Host field with.
std::string withoutBrackets(const char* host) {
    const std::size_t length = std::strlen(host);
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') return std::string(host + 1, length - 2);
    return host;
}

std::string withBrackets(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

struct HttpTarget {
    std::string host; // a name or an address (IPv6 without brackets)
    std::string port;
    std::string path; // with the query, if any
    std::string authority; // host and port as the Host field writes them
};

bool parseTarget(const std::string& url, HttpTarget& target) {
    int tls = 0;
    char* host = nullptr;
    char* port = nullptr;
    char* path = nullptr;
    char* query = nullptr;
    if (OSSL_HTTP_parse_url(url.c_str(), &tls, nullptr, &host, &port, nullptr, &path, &query, nullptr) != 1)
        return false;
    const OpensslCharPtr hostOwner(host), portOwner(port), pathOwner(path), queryOwner(query);
    if (tls != 0 || host == nullptr || port == nullptr || path == nullptr) return false;
    target.host = withoutBrackets(host);
    if (target.host.empty()) return false;
    target.port = port;
    target.path = path;
    if (query != nullptr && *query != '\0') target.path.append("?").append(query);
    target.authority = withBrackets(target.host);
    if (target.port != "80") target.authority.append(":").append(target.port);
    return true;
}

enum class Route { Direct, ViaProxy, Impossible };

// Whether to reach host through a proxy: OpenSSL's reading of http_proxy
// and no_proxy (and their upper-case forms; none of them in setuid
// programs). A proxy that wants TLS cannot be spoken to, and going around
// it would disregard the environment, so the request is not made then.
Route routeTo(const std::string& host, std::string& proxyHost, std::string& proxyPort) {
    const char* proxy = OSSL_HTTP_adapt_proxy(nullptr, nullptr, host.c_str(), 0);
    if (proxy == nullptr) return Route::Direct;
    int tls = 0;
    char* name = nullptr;
    char* port = nullptr;
    if (OSSL_HTTP_parse_url(proxy, &tls, nullptr, &name, &port, nullptr, nullptr, nullptr, nullptr) != 1)
        return Route::Impossible;
    const OpensslCharPtr nameOwner(name), portOwner(port);
    if (tls != 0 || name == nullptr || port == nullptr) return Route::Impossible;
    proxyHost = withoutBrackets(name);
    proxyPort = port;
    return proxyHost.empty() ? Route::Impossible : Route::ViaProxy;
}

enum class Exchange { Answered, Redirected, Failed };

// One request to target, through method's sockets.
Exchange exchange(const BIO_METHOD* method, const HttpTarget& target, const HttpPost* post, std::size_t maxBytes,
                  Clock::time_point deadline, std::string& body, std::string& location) {
    if (method == nullptr) return Exchange::Failed;
    std::string proxyHost;
    std::string proxyPort;
    const Route route = routeTo(target.host, proxyHost, proxyPort);
    if (route == Route::Impossible) return Exchange::Failed;
    const bool viaProxy = route == Route::ViaProxy;

    Connection connection;
    connection.deadline = deadline;
    if (!connectTo(viaProxy ? proxyHost : target.host, viaProxy ? proxyPort : target.port, deadline,
                   connection.socket))
        return Exchange::Failed;
    const BioPtr bio(BIO_new(method));
    if (!bio) return Exchange::Failed;
    BIO_set_data(bio.get(), &connection);
    const HttpRequestPtr request(OSSL_HTTP_REQ_CTX_new(bio.get(), bio.get(), 0));
    if (!request) return Exchange::Failed;

    // Through a proxy, the request line names the whole URL.
    const std::string server = withBrackets(target.host);
    if (OSSL_HTTP_REQ_CTX_set_request_line(request.get(), post != nullptr ? 1 : 0, viaProxy ? server.c_str() : nullptr,
                                           viaProxy ? target.port.c_str() : nullptr, target.path.c_str()) != 1 ||
        OSSL_HTTP_REQ_CTX_add1_header(request.get(), "Host", target.authority.c_str()) != 1 ||
        // Any content type: the DER decides. No timeout of OpenSSL's: the
        // connection keeps the deadline.
        OSSL_HTTP_REQ_CTX_set_expected(request.get(), nullptr, 1, 0, 0) != 1)
        return Exchange::Failed;
    OSSL_HTTP_REQ_CTX_set_max_response_length(request.get(), static_cast<unsigned long>(maxBytes));
    if (post != nullptr && OSSL_HTTP_REQ_CTX_set1_req(request.get(), post->contentType, post->item, post->value) != 1)
        return Exchange::Failed;

    char* redirection = nullptr;
    const BioPtr answer(OSSL_HTTP_exchange(request.get(), post != nullptr ? nullptr : &redirection));
    const OpensslCharPtr redirectionOwner(redirection);
    if (!answer) {
        if (redirection == nullptr || *redirection == '\0') return Exchange::Failed;
        location = redirection;
        return Exchange::Redirected;
    }
    // The buffer may hold a little more than the DER announced; the rest is
    // not part of the answer.
    char* data = nullptr;
    const long held = BIO_get_mem_data(answer.get(), &data);
    const std::size_t length = OSSL_HTTP_REQ_CTX_get_resp_len(request.get());
    if (held <= 0 || data == nullptr || length == 0 || length > maxBytes || length > static_cast<std::size_t>(held))
        return Exchange::Failed;
    body.assign(data, length);
    return Exchange::Answered;
}

} // namespace

std::optional<std::string> httpUrl(const char* bytes, std::size_t length) {
    static constexpr char kScheme[] = "http://";
    constexpr std::size_t kSchemeLength = sizeof kScheme - 1;
    if (bytes == nullptr || length <= kSchemeLength || length > kMostUrlLength) return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c <= 0x20 || c >= 0x7F) return std::nullopt;
        if (i < kSchemeLength && (c | 0x20) != static_cast<unsigned char>(kScheme[i])) return std::nullopt;
    }
    std::string url(kScheme);
    url.append(bytes + kSchemeLength, length - kSchemeLength);
    return url;
}

HttpClient::HttpClient() noexcept : socketMethod_(makeSocketMethod()) {}

bool HttpClient::fetch(const std::string& url, const HttpPost* post, std::size_t maxBytes,
                       std::chrono::seconds timeout, std::string& body) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::string current = url;
    for (int redirections = 0;; ++redirections) {
        HttpTarget target;
        if (!parseTarget(current, target)) return false;
        std::string location;
        const Exchange outcome =
            exchange(socketMethod_.get(), target, post, maxBytes, deadline, body, location);
        if (outcome != Exchange::Redirected) return outcome == Exchange::Answered;
        if (redirections == kMostRedirections) return false;
        // Moved within the same server, or to another http:// URL; never to
        // TLS or any other scheme.
        const std::string next = location[0] == '/' ? "http://" + target.authority + location : location;
        std::optional<std::string> checked = httpUrl(next.data(), next.size());
        if (!checked) return false;
        current = std::move(*checked);
    }
}

} // namespace detail
