// Verifying many messages of one signer with revocation checked: online
// (an OCSP responder on 127.0.0.1, started here) against offline (a CRL in
// the record), in one login, so that the online answer is fetched once and
// then comes from the environment's cache. At exit it prints the ratio and
// whether the responder was asked more than once: it is told to serve one
// request and exit, so a second fetch would fail the online benchmark.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "demo_pki.h"
#include "summary.h"
#include "vek4kivosmime.h"

extern char** environ;

namespace {

constexpr char kPassword[] = "bench password";
constexpr int kMessages = 1000;
const std::string kText = "Content-Type: text/plain\r\n\r\nA short note.\r\n";

int freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

std::string write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A CA, a signer whose certificate names the responder, the CA's CRL, the
// responder's index, and the responder itself, running.
struct World {
    std::string folder, keyStore, caPem, crlPem;
    pid_t responder = -1;
    bool ready = false;

    World() {
        char made[] = "/tmp/revocation_bench_XXXXXX";
        if (mkdtemp(made) == nullptr) return;
        folder = made;
        const int port = freePort();
        demopki::KeyPtr caKey = demopki::makeKey(demopki::KeyKind::Rsa2048), key = demopki::makeKey(demopki::KeyKind::EcP256);
        demopki::CertPtr ca = demopki::makeCertificate(caKey.get(), {"Bench CA", "", -3600, 86400, true}, nullptr, caKey.get());
        demopki::CertPtr alice =
            demopki::makeCertificate(key.get(), {"Alice", "alice@example.com", -3600, 86400, false}, ca.get(), caKey.get());
        X509V3_CTX context;
        X509V3_set_ctx(&context, ca.get(), alice.get(), nullptr, nullptr, 0);
        const std::string url = "OCSP;URI:http://127.0.0.1:" + std::to_string(port);
        const std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> aia(
            X509V3_EXT_conf_nid(nullptr, &context, NID_info_access, url.c_str()), X509_EXTENSION_free);
        if (!aia || X509_add_ext(alice.get(), aia.get(), -1) != 1 || X509_sign(alice.get(), caKey.get(), EVP_sha256()) <= 0)
            return;
        keyStore = write(folder + "/alice.p12", demopki::pkcs12(key.get(), alice.get(), {ca.get()}, kPassword, "alice",
                                                               demopki::Pkcs12Kind::Modern));
        caPem = demopki::certificatePem(ca.get());
        crlPem = makeCrl(ca.get(), caKey.get());
        write(folder + "/ca.pem", caPem);
        write(folder + "/ca.key", demopki::privateKeyPem(caKey.get(), ""));
        const std::unique_ptr<BIGNUM, decltype(&BN_free)> number(ASN1_INTEGER_to_BN(X509_get_serialNumber(alice.get()), nullptr),
                                                                 BN_free);
        const std::unique_ptr<char, void (*)(char*)> serial(number ? BN_bn2hex(number.get()) : nullptr,
                                                            [](char* text) { OPENSSL_free(text); });
        if (!serial) return;
        write(folder + "/index.txt", std::string("V\t301231235959Z\t\t") + serial.get() + "\tunknown\t/CN=Alice\n");
        const std::string portText = std::to_string(port);
        std::vector<std::string> args = {"openssl", "ocsp", "-index", folder + "/index.txt", "-port", portText,
                                         "-rsigner", folder + "/ca.pem", "-rkey", folder + "/ca.key", "-CA",
                                         folder + "/ca.pem", "-nmin", "60", "-nrequest", "1"};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        const std::string log = folder + "/responder.log";
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = posix_spawnp(&responder, "openssl", &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (spawned != 0) return;
        // Not probed by a connection of ours: the responder would count it
        // as its one request. It says when it listens.
        for (int i = 0; i < 100 && !ready; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream said(log);
            ready = std::string(std::istreambuf_iterator<char>(said), {}).find("waiting for OCSP client") != std::string::npos;
        }
    }
    ~World() {
        if (responder > 0) {
            kill(responder, SIGTERM);
            waitpid(responder, nullptr, 0);
        }
        if (!folder.empty()) std::filesystem::remove_all(folder);
    }
    // Whether the responder has exited: it does after one request.
    bool responderDone() {
        int status = 0;
        if (responder <= 0 || waitpid(responder, &status, WNOHANG) != responder) return false;
        responder = -1;
        return true;
    }

    // The CA's CRL, listing nothing, current for a day; empty when OpenSSL fails.
    static std::string makeCrl(X509* ca, EVP_PKEY* key) {
        const std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
        const std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> last(ASN1_TIME_adj(nullptr, time(nullptr), 0, -3600),
                                                                         ASN1_TIME_free),
            next(ASN1_TIME_adj(nullptr, time(nullptr), 1, 0), ASN1_TIME_free);
        const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
        if (!crl || !last || !next || !out || X509_CRL_set_version(crl.get(), 1) != 1 ||
            X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca)) != 1 ||
            X509_CRL_set1_lastUpdate(crl.get(), last.get()) != 1 || X509_CRL_set1_nextUpdate(crl.get(), next.get()) != 1 ||
            X509_CRL_sign(crl.get(), key, EVP_sha256()) <= 0 || PEM_write_bio_X509_CRL(out.get(), crl.get()) != 1)
            return "";
        char* data = nullptr;
        const long length = BIO_get_mem_data(out.get(), &data);
        return std::string(data, static_cast<std::size_t>(length));
    }
};

World& world() {
    static World made;
    return made;
}

// One login for every verification, as an application keeps one.
struct Session {
    SMIMEMessage message;
    std::string signedMessage;
    bool ready = false;
    Session() {
        unsigned info = 0, minor = 0;
        if (!world().ready || message.login(world().keyStore.c_str(), kPassword, "", &info, &minor) != SMIME_OK) return;
        gss_buffer_desc in = {static_cast<OM_uint32>(kText.size()), const_cast<char*>(kText.data())}, out = {0, nullptr};
        if (message.setMessage(&in, &minor) != SMIME_OK || message.sign(digestSHA256, &out, &minor) != SMIME_OK) return;
        signedMessage.assign(static_cast<const char*>(out.value), out.length);
        std::free(out.value);
        message.freeMessage(&minor);
        ready = true;
    }
};

Session& session() {
    static Session made;
    return made;
}

void verifyMany(benchmark::State& state, OM_uint32 flags, const std::string& crls) {
    Session& s = session();
    if (!s.ready) return state.SkipWithError("cannot set up the CA, the responder or the login");
    const gss_buffer_desc in = {static_cast<OM_uint32>(s.signedMessage.size()), s.signedMessage.data()};
    for (auto _ : state) {
        IDUP_PIDU_Information_desc info = {};
        info.verify_flags = flags;
        info.trust_anchors = {static_cast<OM_uint32>(world().caPem.size()), world().caPem.data()};
        info.crls = {static_cast<OM_uint32>(crls.size()), const_cast<char*>(crls.data())};
        unsigned minor = 0;
        unsigned status = s.message.setMessage(&in, &minor);
        if (status == SMIME_OK) status = s.message.verify(&info, &minor);
        OM_uint32 scratch = 0;
        prov_release_buffer(&scratch, &info.signer_subject);
        prov_release_buffer(&scratch, &info.signer_certificate);
        prov_release_buffer(&scratch, &info.signer_emails);
        s.message.freeMessage(&minor);
        if (status != SMIME_OK) {
            state.SkipWithError(("a verification failed, reason " + std::to_string(minor)).c_str());
            break;
        }
    }
}

constexpr OM_uint32 kChain = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
void BM_VerifyWithCrl(benchmark::State& state) { verifyMany(state, kChain | KIVO_VERIFY_REVOCATION, world().crlPem); }
void BM_VerifyOnline(benchmark::State& state) { verifyMany(state, kChain | KIVO_VERIFY_ONLINE, ""); }
BENCHMARK(BM_VerifyWithCrl)->Iterations(kMessages)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VerifyOnline)->Iterations(kMessages)->Unit(benchmark::kMicrosecond);

void printSummary(const bench::SummarisingReporter& results) {
    const bench::Measurement* offline = results.find("BM_VerifyWithCrl", "");
    const bench::Measurement* online = results.find("BM_VerifyOnline", "");
    std::printf("\nVerifying %d messages of one signer in one login (%s)\n", kMessages, results.kindOfFigures());
    if (offline != nullptr && online != nullptr)
        std::printf("  online %.1f us, offline with a CRL %.1f us: online/offline %.2f\n", online->seconds * 1e6,
                    offline->seconds * 1e6, online->seconds / offline->seconds);
    std::printf("  OCSP requests served: %s\n",
                world().responderDone() ? "1 (the responder, told to serve one, has exited)"
                                        : "none, or the responder is still waiting");
}

} // namespace

int main(int argc, char** argv) { return bench::runAndSummarise(argc, argv, printSummary); }
