// The protect and unprotect operations of SMIMEMessage with the OpenSSL
// provider, at 1 KiB, 1 MiB and 64 MiB, beside what they are measured
// against in the same run:
// - the bare OpenSSL CMS call behind each operation, on memory BIOs, the way
//   an application would make it without this library (no MIME, no base64);
// - the operation's floor: the sum of its primitives (digest and/or cipher
//   pass, base64 pass, one copy), each timed on memory already touched.
// At exit a summary prints each operation's time over its reference and
// over its floor.
#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <streambuf>
#include <string>
#include <vector>

#include "demo_pki.h"
#include "summary.h"
#include "vek4kivosmime.h"
#include "vekkryutility.h"

namespace {

constexpr std::int64_t kSizes[] = {1 << 10, 1 << 20, 64 << 20};
constexpr char kPassword[] = "bench password";

using Bytes = std::string;

// --- keys, content and messages, made once per process ----------------------

struct Pki {
    demopki::KeyPtr caKey, aliceKey;
    demopki::CertPtr ca, alice;
    std::string keyStorePath;
    std::string caPem;
    std::string aliceDer;
};

const Pki& pki() {
    static const Pki made = [] {
        Pki p;
        p.caKey = demopki::makeKey(demopki::KeyKind::Rsa2048);
        p.ca = demopki::makeCertificate(p.caKey.get(), {"Bench CA", "", -3600, 86400, true}, nullptr, p.caKey.get());
        p.aliceKey = demopki::makeKey(demopki::KeyKind::Rsa2048);
        p.alice = demopki::makeCertificate(p.aliceKey.get(), {"Alice", "alice@example.com", -3600, 86400, false},
                                           p.ca.get(), p.caKey.get());
        const std::string p12 = demopki::pkcs12(p.aliceKey.get(), p.alice.get(), {p.ca.get()}, kPassword, "alice",
                                                demopki::Pkcs12Kind::Modern);
        char folder[] = "/tmp/smime_bench_XXXXXX";
        if (mkdtemp(folder) != nullptr) {
            p.keyStorePath = std::string(folder) + "/alice.p12";
            std::ofstream(p.keyStorePath, std::ios::binary) << p12;
        }
        p.caPem = demopki::certificatePem(p.ca.get());
        p.aliceDer = demopki::certificateDer(p.alice.get());
        return p;
    }();
    return made;
}

const Bytes& content(std::int64_t size) {
    static std::map<std::int64_t, Bytes> made;
    Bytes& slot = made[size];
    if (slot.empty()) {
        std::mt19937_64 random(static_cast<std::uint64_t>(size));
        slot.resize(static_cast<std::size_t>(size));
        for (char& c : slot) c = static_cast<char>(random() >> 56);
    }
    return slot;
}

gss_buffer_desc viewOf(const Bytes& bytes) {
    return {static_cast<OM_uint32>(bytes.size()), const_cast<char*>(bytes.data())};
}

// A message object logged in as Alice, kept for the whole run: logging in
// reads a key store and is not what is measured.
class Session {
public:
    Session() {
        unsigned info = 0;
        unsigned minor = 0;
        status_ = message_.login(pki().keyStorePath.c_str(), kPassword, "alice", &info, &minor);
    }
    bool ready() const { return status_ == SMIME_OK; }
    SMIMEMessage& message() { return message_; }

private:
    SMIMEMessage message_;
    unsigned status_ = 0;
};

Session& session() {
    static Session made;
    return made;
}

// Alice as the one recipient.
struct Recipients {
    gss_buffer_desc certificate = viewOf(pki().aliceDer);
    OM_uint32 status = 0;
    IDUP_Target_Info_desc targets = {1, &certificate, &status};
};

enum class Kind { Sign, SignDetached, Encrypt, EncryptGcm };

bool encrypts(Kind kind) { return kind == Kind::Encrypt || kind == Kind::EncryptGcm; }
encryptionAlgorithmStrength_t strengthOf(Kind kind) { return kind == Kind::EncryptGcm ? strengthAES256GCM : strengthAES256; }

// Protects content with a fresh session message; the result as bytes.
Bytes protectOnce(Kind kind, const Bytes& text) {
    SMIMEMessage& m = session().message();
    unsigned minor = 0;
    const gss_buffer_desc in = viewOf(text);
    m.freeMessage(&minor);
    if (m.setMessage(&in, &minor) != SMIME_OK) return {};
    Recipients recipients;
    gss_buffer_desc out = {0, nullptr};
    const unsigned status = kind == Kind::Sign           ? m.sign(digestSHA256, &out, &minor)
                            : kind == Kind::SignDetached ? m.signSignatureOnly(digestSHA256, &out, &minor)
                                                         : m.encrypt(strengthOf(kind), &recipients.targets, &out, &minor);
    Bytes bytes = status == SMIME_OK ? Bytes(static_cast<const char*>(out.value), out.length) : Bytes();
    std::free(out.value);
    m.freeMessage(&minor);
    return bytes;
}

const Bytes& protectedMessage(Kind kind, std::int64_t size) {
    static std::map<std::pair<int, std::int64_t>, Bytes> made;
    Bytes& slot = made[{static_cast<int>(kind), size}];
    if (slot.empty()) slot = protectOnce(kind, content(size));
    return slot;
}


// A stream that takes every byte and keeps none.
class DiscardingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

enum class Delivery { Buffer, Stream, InPlace };

// --- through SMIMEMessage ----------------------------------------------------

// One protect operation per iteration: take the content, protect it,
// deliver the result as asked, let go of everything.
void protect(benchmark::State& state, Kind kind, Delivery delivery) {
    if (!session().ready()) return state.SkipWithError("cannot log in");
    const Bytes& text = content(state.range(0));
    const gss_buffer_desc in = viewOf(text);
    SMIMEMessage& m = session().message();
    DiscardingBuffer discard;
    std::ostream sink(&discard);
    unsigned minor = 0;
    m.freeMessage(&minor);
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        Recipients recipients;
        gss_buffer_desc out = {0, nullptr};
        unsigned status = m.setMessage(&in, &minor);
        gss_buffer_desc* toBuffer = delivery == Delivery::Buffer ? &out : nullptr;
        std::ostream* toStream = delivery == Delivery::Stream ? &sink : nullptr;
        if (status == SMIME_OK) {
            switch (kind) {
            case Kind::Sign:
                status = toBuffer ? m.sign(digestSHA256, toBuffer, &minor)
                         : toStream ? m.sign(digestSHA256, toStream, &minor)
                                    : m.sign(digestSHA256, &minor);
                break;
            case Kind::SignDetached:
                status = toBuffer ? m.signSignatureOnly(digestSHA256, toBuffer, &minor)
                         : toStream ? m.signSignatureOnly(digestSHA256, toStream, &minor)
                                    : m.signSignatureOnly(digestSHA256, &minor);
                break;
            case Kind::Encrypt:
            case Kind::EncryptGcm:
                status = toBuffer ? m.encrypt(strengthOf(kind), &recipients.targets, toBuffer, &minor)
                         : toStream ? m.encrypt(strengthOf(kind), &recipients.targets, toStream, &minor)
                                    : m.encrypt(strengthOf(kind), &recipients.targets, &minor);
                break;
            }
        }
        std::free(out.value);
        m.freeMessage(&minor);
        if (status != SMIME_OK) {
            state.SkipWithError("the operation failed");
            break;
        }
    }
    faults.finish(text.size());
}

// One unprotect operation per iteration on a message made beforehand.
void unprotect(benchmark::State& state, Kind madeBy, Delivery delivery) {
    if (!session().ready()) return state.SkipWithError("cannot log in");
    const Bytes& message = protectedMessage(madeBy, state.range(0));
    if (message.empty()) return state.SkipWithError("cannot make the message");
    const gss_buffer_desc in = viewOf(message);
    SMIMEMessage& m = session().message();
    DiscardingBuffer discard;
    std::ostream sink(&discard);
    const std::string anchors = pki().caPem;
    unsigned minor = 0;
    m.freeMessage(&minor);
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        IDUP_PIDU_Information_desc info = {};
        info.verify_flags = KIVO_VERIFY_SIGNATURE | KIVO_VERIFY_CHAIN;
        info.trust_anchors = viewOf(anchors);
        gss_buffer_desc out = {0, nullptr};
        unsigned status = m.setMessage(&in, &minor);
        gss_buffer_desc* toBuffer = delivery == Delivery::Buffer ? &out : nullptr;
        std::ostream* toStream = delivery == Delivery::Stream ? &sink : nullptr;
        if (status == SMIME_OK) {
            if (encrypts(madeBy))
                status = toBuffer ? m.decrypt(toBuffer, &minor) : toStream ? m.decrypt(toStream, &minor) : m.decrypt(&minor);
            else
                status = toBuffer   ? m.verify(toBuffer, &info, &minor)
                         : toStream ? m.verify(toStream, &info, &minor)
                                    : m.verify(&info, &minor);
        }
        OM_uint32 scratch = 0;
        prov_release_buffer(&scratch, &info.signer_subject);
        prov_release_buffer(&scratch, &info.signer_certificate);
        prov_release_buffer(&scratch, &info.signer_emails);
        std::free(out.value);
        m.freeMessage(&minor);
        if (status != SMIME_OK) {
            state.SkipWithError("the operation failed");
            break;
        }
    }
    faults.finish(content(state.range(0)).size());
}

void BM_Sign(benchmark::State& s) { protect(s, Kind::Sign, Delivery::Buffer); }
void BM_SignToStream(benchmark::State& s) { protect(s, Kind::Sign, Delivery::Stream); }
void BM_SignInPlace(benchmark::State& s) { protect(s, Kind::Sign, Delivery::InPlace); }
void BM_SignDetached(benchmark::State& s) { protect(s, Kind::SignDetached, Delivery::Buffer); }
void BM_SignDetachedToStream(benchmark::State& s) { protect(s, Kind::SignDetached, Delivery::Stream); }
void BM_SignDetachedInPlace(benchmark::State& s) { protect(s, Kind::SignDetached, Delivery::InPlace); }
void BM_Encrypt(benchmark::State& s) { protect(s, Kind::Encrypt, Delivery::Buffer); }
void BM_EncryptToStream(benchmark::State& s) { protect(s, Kind::Encrypt, Delivery::Stream); }
void BM_EncryptInPlace(benchmark::State& s) { protect(s, Kind::Encrypt, Delivery::InPlace); }
void BM_Verify(benchmark::State& s) { unprotect(s, Kind::Sign, Delivery::Buffer); }
void BM_VerifyToStream(benchmark::State& s) { unprotect(s, Kind::Sign, Delivery::Stream); }
void BM_VerifyInPlace(benchmark::State& s) { unprotect(s, Kind::Sign, Delivery::InPlace); }
void BM_VerifyDetachedInPlace(benchmark::State& s) { unprotect(s, Kind::SignDetached, Delivery::InPlace); }
void BM_Decrypt(benchmark::State& s) { unprotect(s, Kind::Encrypt, Delivery::Buffer); }
void BM_DecryptToStream(benchmark::State& s) { unprotect(s, Kind::Encrypt, Delivery::Stream); }
void BM_DecryptInPlace(benchmark::State& s) { unprotect(s, Kind::Encrypt, Delivery::InPlace); }
void BM_EncryptGcmInPlace(benchmark::State& s) { protect(s, Kind::EncryptGcm, Delivery::InPlace); }
void BM_DecryptGcmInPlace(benchmark::State& s) { unprotect(s, Kind::EncryptGcm, Delivery::InPlace); }

// --- the bare OpenSSL CMS calls ------------------------------------------------

struct BioFree {
    void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct CmsFree {
    void operator()(CMS_ContentInfo* c) const noexcept { CMS_ContentInfo_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
struct X509StackFree {
    void operator()(STACK_OF(X509)* s) const noexcept { sk_X509_free(s); }
};

BioPtr readOnly(const Bytes& bytes) { return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))); }

Bytes derOf(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    Bytes bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
    OPENSSL_free(der);
    return bytes;
}

CmsPtr parse(const Bytes& der) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    return CmsPtr(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
}

// As the provider signs: the signer's certificate and its chain go in, so
// that both sides parse the same certificates.
CmsPtr opensslSign(const Bytes& text, bool detached) {
    const Pki& p = pki();
    std::unique_ptr<STACK_OF(X509), X509StackFree> chain(sk_X509_new_null());
    sk_X509_push(chain.get(), p.ca.get());
    BioPtr in = readOnly(text);
    const unsigned flags = CMS_BINARY | (detached ? CMS_DETACHED : 0u);
    return CmsPtr(CMS_sign(p.alice.get(), p.aliceKey.get(), chain.get(), in.get(), flags));
}

// As the provider encrypts: the recipient's certificate arrives as DER.
CmsPtr opensslEncrypt(const Bytes& text, const EVP_CIPHER* cipher) {
    const auto* der = reinterpret_cast<const unsigned char*>(pki().aliceDer.data());
    X509* recipient = d2i_X509(nullptr, &der, static_cast<long>(pki().aliceDer.size()));
    std::unique_ptr<STACK_OF(X509), X509StackFree> recipients(sk_X509_new_null());
    sk_X509_push(recipients.get(), recipient);
    BioPtr in = readOnly(text);
    CmsPtr cms(CMS_encrypt(recipients.get(), in.get(), cipher, CMS_BINARY));
    X509_free(recipient);
    return cms;
}

X509_STORE* trustStore() {
    static X509_STORE* const store = [] {
        X509_STORE* s = X509_STORE_new();
        X509_STORE_add_cert(s, pki().ca.get());
        return s;
    }();
    return store;
}

void BM_OpenSSLSign(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        CmsPtr cms = opensslSign(text, false);
        benchmark::DoNotOptimize(cms ? derOf(cms.get()) : Bytes());
    }
    faults.finish(text.size());
}

void BM_OpenSSLSignDetached(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        CmsPtr cms = opensslSign(text, true);
        benchmark::DoNotOptimize(cms ? derOf(cms.get()) : Bytes());
    }
    faults.finish(text.size());
}

void opensslEncryptions(benchmark::State& state, const EVP_CIPHER* cipher) {
    const Bytes& text = content(state.range(0));
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        CmsPtr cms = opensslEncrypt(text, cipher);
        benchmark::DoNotOptimize(cms ? derOf(cms.get()) : Bytes());
    }
    faults.finish(text.size());
}

void BM_OpenSSLEncrypt(benchmark::State& state) { opensslEncryptions(state, EVP_aes_256_cbc()); }
void BM_OpenSSLEncryptGcm(benchmark::State& state) { opensslEncryptions(state, EVP_aes_256_gcm()); }

void opensslVerify(benchmark::State& state, bool detached) {
    const Bytes& text = content(state.range(0));
    CmsPtr made = opensslSign(text, detached);
    const Bytes der = made ? derOf(made.get()) : Bytes();
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        CmsPtr cms = parse(der);
        BioPtr out(BIO_new(BIO_s_mem()));
        BioPtr signedContent = detached ? readOnly(text) : nullptr;
        if (!cms || CMS_verify(cms.get(), nullptr, trustStore(), signedContent.get(), detached ? nullptr : out.get(),
                               CMS_BINARY) != 1) {
            state.SkipWithError("CMS_verify failed");
            break;
        }
    }
    faults.finish(text.size());
}

void BM_OpenSSLVerify(benchmark::State& state) { opensslVerify(state, false); }
void BM_OpenSSLVerifyDetached(benchmark::State& state) { opensslVerify(state, true); }

void opensslDecryptions(benchmark::State& state, const EVP_CIPHER* cipher) {
    const Bytes& text = content(state.range(0));
    CmsPtr made = opensslEncrypt(text, cipher);
    const Bytes der = made ? derOf(made.get()) : Bytes();
    bench::FaultCounter faults(state);
    for (auto _ : state) {
        CmsPtr cms = parse(der);
        BioPtr out(BIO_new(BIO_s_mem()));
        if (!cms || CMS_decrypt(cms.get(), pki().aliceKey.get(), pki().alice.get(), nullptr, out.get(), CMS_BINARY) != 1) {
            state.SkipWithError("CMS_decrypt failed");
            break;
        }
    }
    faults.finish(text.size());
}

void BM_OpenSSLDecrypt(benchmark::State& state) { opensslDecryptions(state, EVP_aes_256_cbc()); }
void BM_OpenSSLDecryptGcm(benchmark::State& state) { opensslDecryptions(state, EVP_aes_256_gcm()); }

// --- primitives, on memory already touched -----------------------------------

void BM_FloorSha256(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) EVP_Digest(text.data(), text.size(), digest, nullptr, EVP_sha256(), nullptr);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void cipherPass(benchmark::State& state, const EVP_CIPHER* cipher, bool encrypt) {
    const Bytes& text = content(state.range(0));
    std::vector<unsigned char> out(text.size() + 32);
    const unsigned char key[32] = {1}, iv[16] = {2};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int length = 0;
        EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, out.data(), &length, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<int>(text.size() / 16 * 16));
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_FloorAesEncrypt(benchmark::State& state) { cipherPass(state, EVP_aes_256_cbc(), true); }
void BM_FloorAesDecrypt(benchmark::State& state) { cipherPass(state, EVP_aes_256_cbc(), false); }
void BM_FloorAesGcmEncrypt(benchmark::State& state) { cipherPass(state, EVP_aes_256_gcm(), true); }
void BM_FloorAesGcmDecrypt(benchmark::State& state) { cipherPass(state, EVP_aes_256_gcm(), false); }

void BM_FloorBase64Encode(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    const r_buffer_t view(text.data(), text.size());
    std::vector<unsigned char> out(VekKRYUtility::encodedLinesLength(text.size(), 72));
    for (auto _ : state) {
        VekKRYUtility::encodeLinesInto(view, 72, out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_FloorBase64Decode(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    std::vector<unsigned char> lines(VekKRYUtility::encodedLinesLength(text.size(), 72));
    VekKRYUtility::encodeLinesInto(r_buffer_t(text.data(), text.size()), 72, lines.data());
    std::vector<unsigned char> out(VekKRYUtility::decodedCapacity(lines.size()));
    for (auto _ : state) {
        std::size_t length = 0;
        VekKRYUtility::decodeInto(r_buffer_t(lines.data(), lines.size()), out.data(), &length);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_FloorCopy(benchmark::State& state) {
    const Bytes& text = content(state.range(0));
    std::vector<char> out(text.size());
    for (auto _ : state) {
        std::memcpy(out.data(), text.data(), text.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (std::int64_t size : kSizes) b->Arg(size);
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Sign)->Apply(sizes);
BENCHMARK(BM_SignToStream)->Apply(sizes);
BENCHMARK(BM_SignInPlace)->Apply(sizes);
BENCHMARK(BM_SignDetached)->Apply(sizes);
BENCHMARK(BM_SignDetachedToStream)->Apply(sizes);
BENCHMARK(BM_SignDetachedInPlace)->Apply(sizes);
BENCHMARK(BM_Encrypt)->Apply(sizes);
BENCHMARK(BM_EncryptToStream)->Apply(sizes);
BENCHMARK(BM_EncryptInPlace)->Apply(sizes);
BENCHMARK(BM_Verify)->Apply(sizes);
BENCHMARK(BM_VerifyToStream)->Apply(sizes);
BENCHMARK(BM_VerifyInPlace)->Apply(sizes);
BENCHMARK(BM_VerifyDetachedInPlace)->Apply(sizes);
BENCHMARK(BM_Decrypt)->Apply(sizes);
BENCHMARK(BM_DecryptToStream)->Apply(sizes);
BENCHMARK(BM_DecryptInPlace)->Apply(sizes);
BENCHMARK(BM_EncryptGcmInPlace)->Apply(sizes);
BENCHMARK(BM_DecryptGcmInPlace)->Apply(sizes);
BENCHMARK(BM_OpenSSLSign)->Apply(sizes);
BENCHMARK(BM_OpenSSLSignDetached)->Apply(sizes);
BENCHMARK(BM_OpenSSLEncrypt)->Apply(sizes);
BENCHMARK(BM_OpenSSLVerify)->Apply(sizes);
BENCHMARK(BM_OpenSSLVerifyDetached)->Apply(sizes);
BENCHMARK(BM_OpenSSLDecrypt)->Apply(sizes);
BENCHMARK(BM_OpenSSLEncryptGcm)->Apply(sizes);
BENCHMARK(BM_OpenSSLDecryptGcm)->Apply(sizes);
BENCHMARK(BM_FloorSha256)->Apply(sizes);
BENCHMARK(BM_FloorAesEncrypt)->Apply(sizes);
BENCHMARK(BM_FloorAesDecrypt)->Apply(sizes);
BENCHMARK(BM_FloorAesGcmEncrypt)->Apply(sizes);
BENCHMARK(BM_FloorAesGcmDecrypt)->Apply(sizes);
BENCHMARK(BM_FloorBase64Encode)->Apply(sizes);
BENCHMARK(BM_FloorBase64Decode)->Apply(sizes);
BENCHMARK(BM_FloorCopy)->Apply(sizes);

// --- summary ---------------------------------------------------------------------

struct Comparison {
    const char* ours;
    const char* openssl;
    std::vector<const char*> floor; // the primitives the operation cannot do without
};

void printSummary(const bench::SummarisingReporter& results) {
    const Comparison comparisons[] = {
        {"BM_Sign", "BM_OpenSSLSign", {"BM_FloorSha256", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_SignToStream", "BM_OpenSSLSign", {"BM_FloorSha256", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_SignInPlace", "BM_OpenSSLSign", {"BM_FloorSha256", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_SignDetached", "BM_OpenSSLSignDetached", {"BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_SignDetachedToStream", "BM_OpenSSLSignDetached", {"BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_SignDetachedInPlace", "BM_OpenSSLSignDetached", {"BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_Encrypt", "BM_OpenSSLEncrypt", {"BM_FloorAesEncrypt", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_EncryptToStream", "BM_OpenSSLEncrypt", {"BM_FloorAesEncrypt", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_EncryptInPlace", "BM_OpenSSLEncrypt", {"BM_FloorAesEncrypt", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_Verify", "BM_OpenSSLVerify", {"BM_FloorBase64Decode", "BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_VerifyToStream", "BM_OpenSSLVerify", {"BM_FloorBase64Decode", "BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_VerifyInPlace", "BM_OpenSSLVerify", {"BM_FloorBase64Decode", "BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_VerifyDetachedInPlace", "BM_OpenSSLVerifyDetached", {"BM_FloorSha256", "BM_FloorCopy"}},
        {"BM_Decrypt", "BM_OpenSSLDecrypt", {"BM_FloorBase64Decode", "BM_FloorAesDecrypt", "BM_FloorCopy"}},
        {"BM_DecryptToStream", "BM_OpenSSLDecrypt", {"BM_FloorBase64Decode", "BM_FloorAesDecrypt", "BM_FloorCopy"}},
        {"BM_DecryptInPlace", "BM_OpenSSLDecrypt", {"BM_FloorBase64Decode", "BM_FloorAesDecrypt", "BM_FloorCopy"}},
        {"BM_EncryptGcmInPlace", "BM_OpenSSLEncryptGcm", {"BM_FloorAesGcmEncrypt", "BM_FloorBase64Encode", "BM_FloorCopy"}},
        {"BM_DecryptGcmInPlace", "BM_OpenSSLDecryptGcm", {"BM_FloorBase64Decode", "BM_FloorAesGcmDecrypt", "BM_FloorCopy"}},
    };
    std::printf("\nThrough SMIMEMessage against the bare OpenSSL CMS call and against the floor (%s)\n",
                results.kindOfFigures());
    std::printf("  %-26s %9s %11s %11s %9s %11s %9s\n", "operation", "size", "ours ms", "OpenSSL ms", "ours/OSSL",
                "floor ms", "ours/floor");
    for (const Comparison& c : comparisons) {
        for (const std::string& size : results.argumentsOf(c.ours)) {
            const bench::Measurement* ours = results.find(c.ours, size);
            const bench::Measurement* openssl = results.find(c.openssl, size);
            double floor = 0;
            for (const char* primitive : c.floor) {
                const bench::Measurement* part = results.find(primitive, size);
                floor = part != nullptr && floor >= 0 ? floor + part->seconds : -1;
            }
            if (ours == nullptr) continue;
            std::printf("  %-26s %9s %11.3f", c.ours + 3, size.c_str(), ours->seconds * 1e3);
            if (openssl != nullptr)
                std::printf(" %11.3f %9.2f", openssl->seconds * 1e3, ours->seconds / openssl->seconds);
            else
                std::printf(" %11s %9s", "-", "-");
            if (floor > 0)
                std::printf(" %11.3f %9.2f\n", floor * 1e3, ours->seconds / floor);
            else
                std::printf(" %11s %9s\n", "-", "-");
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int status = bench::runAndSummarise(argc, argv, printSummary);
    if (!pki().keyStorePath.empty()) {
        std::remove(pki().keyStorePath.c_str());
        std::remove(pki().keyStorePath.substr(0, pki().keyStorePath.rfind('/')).c_str());
    }
    return status;
}
