// The SSF exports end to end, loaded as the SAP host loads the library (dlopen, no link-time
// tie), each timed beside the raw primitive it is built on, in the same process: a GOST
// R 34.10-2012-256 signature by nettle, the Streebog-256 hash and GOST 28147-89 CFB of our own
// algorithm library. The table at the end gives each ratio beside its target.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/gostdsa.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cryptoext/ossl.h"
#include "gost/gost28147_89.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"
#include "ssf/ssf_api.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kSmall = 1024, kLarge = size_t{64} << 20;
constexpr int kFewCerts = 300, kManyCerts = 3000;
const char* const kPassword = "bench-secret";

void check(bool ok, const char* what) {
    if (ok) return;
    ERR_print_errors_fp(stderr);
    throw std::runtime_error(what);
}

// ---- the library, as the host loads it ----
struct Library {
    decltype(&SsfSign) sign;
    decltype(&SsfVerify) verify;
    decltype(&SsfEnvelope) envelope;
    decltype(&SsfDevelope) develope;
    decltype(&SsfDigest) digest;
    decltype(&SsfEncode) encode;
    decltype(&SsfDELSsfOctetstring) del;
    decltype(&SsfDELSigRcpSsfInfoList) del_list;
};
template <class F>
void bind(void* lib, const char* name, F& f) {
    f = reinterpret_cast<F>(dlsym(lib, name));
    check(f != nullptr, name);
}
const Library& library() {
    static const Library lib = [] {
        // Another build of the library (an older one, say) may be timed by the same program.
        const char* path = std::getenv("SSF_BENCH_LIBRARY");
        void* h = dlopen(path && *path ? path : SSF_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!h) throw std::runtime_error(dlerror());
        Library l{};
        bind(h, "SsfSign", l.sign);
        bind(h, "SsfVerify", l.verify);
        bind(h, "SsfEnvelope", l.envelope);
        bind(h, "SsfDevelope", l.develope);
        bind(h, "SsfDigest", l.digest);
        bind(h, "SsfEncode", l.encode);
        bind(h, "SsfDELSsfOctetstring", l.del);
        bind(h, "SsfDELSigRcpSsfInfoList", l.del_list);
        return l;
    }();
    return lib;
}

SAP_BYTE* sap(const std::string& s) {
    return reinterpret_cast<SAP_BYTE*>(const_cast<char*>(s.data()));
}
SAP_UINT len(const std::string& s) {
    return static_cast<SAP_UINT>(s.size());
}

struct Output {
    SAP_BYTE* data = nullptr;
    SAP_UINT size = 0;
    ~Output() { library().del(&data, &size); }
    std::string str() const { return std::string(reinterpret_cast<char*>(data), size); }
};

// ---- the test PKI: GOST R 34.10-2012-256 CA and signer, and directories of certificates ----
ossl::PKey gost_key() {
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new_id(OBJ_sn2nid("gost2012_256"), nullptr));
    EVP_PKEY* k = nullptr;
    check(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") == 1 &&
              EVP_PKEY_keygen(ctx.get(), &k) == 1,
          "GOST key generation");
    return ossl::PKey(k);
}

ossl::X509Ptr issue(const std::string& cn, long serial, EVP_PKEY* key, X509* issuer,
                    EVP_PKEY* issuer_key, const EVP_MD* md, bool ca) {
    ossl::X509Ptr c(X509_new());
    check(c != nullptr, "X509_new");
    X509_set_version(c.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(c.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(c.get()), 365L * 86400);
    X509_NAME* name = X509_get_subject_name(c.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(c.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(c.get(), key);
    if (ca) {
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, issuer ? issuer : c.get(), c.get(), nullptr, nullptr, 0);
        ossl::ExtPtr ext(
            X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE"));
        check(ext && X509_add_ext(c.get(), ext.get(), -1) == 1, "basicConstraints");
    }
    check(X509_sign(c.get(), issuer_key ? issuer_key : key, md) > 0, "X509_sign");
    return c;
}

void write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string pem(X509* c) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(b.get(), c);
    char* p = nullptr;
    long n = BIO_get_mem_data(b.get(), &p);
    return std::string(p, static_cast<size_t>(n));
}

std::string sha1_id(X509* c) {
    unsigned char md[20];
    unsigned int n = 0;
    X509_digest(c, EVP_sha1(), md, &n);
    std::string s;
    char hex[4];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", md[i]);
        s += hex;
    }
    return s;
}

struct World {
    fs::path dir;
    std::string signer_id, p12_profile, pem_profile;
    std::string small, large;  // DER data messages
    std::string signed_small;  // by the signer, certificate included
    std::string pab_few, pab_many;
    std::string enveloped_large;
};

std::string encode(const std::vector<unsigned char>& content) {
    Output out;
    std::string fmt = "PKCS7";
    check(library().encode(sap(fmt), len(fmt), const_cast<SAP_BYTE*>(content.data()),
                           static_cast<SAP_UINT>(content.size()), &out.data, &out.size) == 0,
          "SsfEncode");
    return out.str();
}

std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> v(n);
    uint32_t x = 0x9e3779b9;
    for (auto& b : v) b = static_cast<unsigned char>((x = x * 1664525 + 1013904223) >> 24);
    return v;
}

// A directory of n certificate files: the CA and the signer among n - 2 others.
std::string directory(const fs::path& path, int n, X509* ca, X509* signer) {
    fs::create_directories(path);
    write(path / "ca.pem", pem(ca));
    write(path / "signer.pem", pem(signer));
    static ossl::PKey filler_key = [] {
        ossl::PKeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
        EVP_PKEY* k = nullptr;
        check(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
                  EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx.get(), NID_X9_62_prime256v1) == 1 &&
                  EVP_PKEY_keygen(ctx.get(), &k) == 1,
              "EC key");
        return ossl::PKey(k);
    }();
    for (int i = 0; i < n - 2; ++i) {
        ossl::X509Ptr c = issue("Directory member " + std::to_string(i), 1000 + i, filler_key.get(),
                                nullptr, nullptr, EVP_sha256(), false);
        write(path / ("member" + std::to_string(i) + ".pem"), pem(c.get()));
    }
    return path.string();
}

bool g_world_made = false;

World& world() {
    static World* w = [] {
        g_world_made = true;
        auto* w = new World;
        char tmpl[] = "/tmp/ssf-bench.XXXXXX";
        check(mkdtemp(tmpl) != nullptr, "mkdtemp");
        w->dir = tmpl;
        // The library starts at its first call; its engines then serve this process too.
        write(w->dir / "selvanor-ssf-server.cfg",
              "[common]\nwrite_log = yes\nlog_dir = " + w->dir.string() +
                  "\ndebug_mode = no\ncert_check_options = check_chain\nca_file = " +
                  (w->dir / "ca.pem").string() + "\nuse_func_mutex = yes\n");
        setenv("DIR_LIBRARY", w->dir.c_str(), 1);
        w->small = encode(pattern(kSmall));

        const EVP_MD* md = EVP_get_digestbyname("md_gost12_256");
        check(md != nullptr, "md_gost12_256");
        ossl::PKey ca_key = gost_key(), signer_key = gost_key();
        ossl::X509Ptr ca = issue("Bench CA", 1, ca_key.get(), nullptr, nullptr, md, true);
        ossl::X509Ptr signer =
            issue("Bench signer", 2, signer_key.get(), ca.get(), ca_key.get(), md, false);
        write(w->dir / "ca.pem", pem(ca.get()));
        write(w->dir / "signer.pem", pem(signer.get()));
        {
            ossl::Bio b(BIO_new_file((w->dir / "signer.key").c_str(), "w"));
            check(b && PEM_write_bio_PKCS8PrivateKey(b.get(), signer_key.get(), EVP_aes_256_cbc(),
                                                     nullptr, 0, nullptr,
                                                     const_cast<char*>(kPassword)) == 1,
                  "PEM key");
        }
        {
            // A PKCS#12 file with a Streebog MAC, as GOST tools make them.
            ossl::Pkcs12 p12(PKCS12_create(kPassword, "signer", signer_key.get(), signer.get(),
                                           nullptr, 0, 0, 0, 0, 0));
            check(p12 && PKCS12_set_mac(p12.get(), kPassword, -1, nullptr, 0, 2000, md) == 1,
                  "PKCS12_create");
            ossl::Bio b(BIO_new_file((w->dir / "signer.p12").c_str(), "wb"));
            check(b && i2d_PKCS12_bio(b.get(), p12.get()) == 1, "PKCS#12 file");
        }
        w->signer_id = sha1_id(signer.get());
        w->p12_profile = (w->dir / "signer.p12").string();
        w->pem_profile = "certfile=" + (w->dir / "signer.pem").string() +
                         ",keyfile=" + (w->dir / "signer.key").string();
        w->pab_few = directory(w->dir / "pab300", kFewCerts, ca.get(), signer.get());
        w->pab_many = directory(w->dir / "pab3000", kManyCerts, ca.get(), signer.get());
        w->large = encode(pattern(kLarge));
        // Files younger than a couple of seconds are not kept between calls: let them settle.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        return w;
    }();
    return *w;
}

// ---- one record, and the calls ----
struct Record {
    std::string id, profile, password;
    SigRcpSsfInfo info{};
    SigRcpSsfInformationListElement node{};
    Record(std::string i, std::string p, std::string pw)
        : id(std::move(i)), profile(std::move(p)), password(std::move(pw)) {
        info.strSigRcpId = sap(id);
        info.strSigRcpIdL = len(id);
        info.strSigRcpProfile = profile.empty() ? nullptr : sap(profile);
        info.strSigRcpProfileL = len(profile);
        info.strSigRcpPassword = password.empty() ? nullptr : sap(password);
        info.strSigRcpPasswordL = len(password);
        node.ptrSigRcp = &info;
    }
};

// The output is copied out only when the caller keeps it: the copy is no part of the export.
std::string sign(const std::string& doc, const std::string& profile, bool keep = false) {
    const World& w = world();
    Record r(w.signer_id, profile, kPassword);
    std::string fmt = "PKCS7", hash = "GOST-R-34.11-12-256";
    Output out;
    check(library().sign(sap(fmt), len(fmt), sap(hash), len(hash), 1, 0, sap(doc), len(doc),
                         &r.node, &out.data, &out.size) == 0,
          "SsfSign");
    return keep ? out.str() : std::string();
}

void verify(const std::string& signed_doc, const std::string& pab) {
    std::string fmt = "PKCS7";
    Output out;
    SigRcpSsfInfoList results = nullptr;
    const SAPRETURN rc =
        library().verify(sap(fmt), len(fmt), 1, sap(signed_doc), len(signed_doc), nullptr, 0,
                         sap(pab), len(pab), nullptr, 0, &results, &out.data, &out.size);
    library().del_list(&results);
    check(rc == 0, "SsfVerify");
}

std::string envelope(const std::string& doc, const std::string& pab, bool keep = false) {
    Record r(world().signer_id, "", "");
    std::string fmt = "PKCS7", cipher = "GOST-28147-89";
    Output out;
    check(library().envelope(sap(fmt), len(fmt), sap(cipher), len(cipher), sap(doc), len(doc),
                             sap(pab), len(pab), nullptr, 0, &r.node, &out.data, &out.size) == 0,
          "SsfEnvelope");
    return keep ? out.str() : std::string();
}

void develope(const std::string& enveloped) {
    Record r(world().signer_id, world().p12_profile, kPassword);
    std::string fmt = "PKCS7";
    Output out;
    check(library().develope(sap(fmt), len(fmt), sap(enveloped), len(enveloped), &r.info, &out.data,
                             &out.size) == 0,
          "SsfDevelope");
}

void digest(const std::string& doc) {
    std::string fmt = "PKCS7", hash = "GOST-R-34.11-12-256";
    Output out;
    check(library().digest(sap(fmt), len(fmt), 0, sap(doc), len(doc), sap(hash), len(hash),
                           &out.data, &out.size) == 0,
          "SsfDigest");
}

// ---- timing: each export and its primitive in turn ----
// The machine is shared. Timed in alternation, the two sides of each pair see the same
// neighbours: the ratio reported is the median of the pairs' ratios, and the times beside it are
// the fastest single operations (what the code costs; the mean is what the neighbours did).
std::map<std::string, double>& seconds() {
    static std::map<std::string, double> s;
    return s;
}
std::map<std::string, std::vector<double>>& pair_ratios() {
    static std::map<std::string, std::vector<double>> r;
    return r;
}

void keep_best(const char* name, double best) {
    auto [it, added] = seconds().emplace(name, best);
    if (!added) it->second = std::min(it->second, best);
}

using Op = std::function<void()>;

void paired(benchmark::State& state, const char* base_name, const Op& base, const char* name,
            const Op& op) {
    try {
        world();
        base();
        op();  // warm: the first call starts the library and fills the caches
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    auto once = [](const Op& f) {
        const auto start = Clock::now();
        f();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double best_base = 1e300, best = 1e300;
    std::vector<double>& ratios = pair_ratios()[name];
    for (auto _ : state) {
        const double b = once(base), t = once(op);
        best_base = std::min(best_base, b);
        best = std::min(best, t);
        ratios.push_back(t / b);
    }
    keep_best(base_name, best_base);
    keep_best(name, best);
}

// ---- raw primitives ----
void nettle_rnd(void*, size_t n, uint8_t* dst) {
    static uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i)
        dst[i] = static_cast<uint8_t>((x = x * 1664525 + 1013904223) >> 24);
}

// One GOST R 34.10-2012-256 signature (CryptoPro-A, nettle's gc256b) of a 32-byte digest.
const Op& nettle_sign() {
    struct Key {
        ecc_point pub;
        ecc_scalar key;
        dsa_signature sig;
        uint8_t digest[32];
        Key() {
            const ecc_curve* curve = nettle_get_gost_gc256b();
            ecc_point_init(&pub, curve);
            ecc_scalar_init(&key, curve);
            ecdsa_generate_keypair(&pub, &key, nullptr, nettle_rnd);
            dsa_signature_init(&sig);
            nettle_rnd(nullptr, sizeof digest, digest);
        }
    };
    static Key* k = new Key;
    static const Op op = [] { gostdsa_sign(&k->key, nullptr, nettle_rnd, 32, k->digest, &k->sig); };
    return op;
}

const std::vector<unsigned char>& large_data() {
    static const std::vector<unsigned char> data = pattern(kLarge);
    return data;
}

const Op& raw_streebog() {
    static const Op op = [] {
        uint8_t out[32];
        GOSTR3411_2012_CTX ctx;
        GOSTR3411_2012_256_Init(&ctx);
        GOSTR3411_2012_256_Update(&ctx, large_data().data(),
                                  static_cast<uint32_t>(large_data().size()));
        GOSTR3411_2012_256_Final(&ctx, out);
        benchmark::DoNotOptimize(out);
    };
    return op;
}

// GOST 28147-89 CFB with key meshing, the default parameter set, as the envelope's cipher.
void raw_cfb(int encrypt) {
    static std::vector<unsigned char> out(kLarge);
    static const uint8_t key[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                    17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
    static const uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    GOST28147_89_CTX ctx;
    GOST28147_89_Init(&ctx, encrypt, GOST28147_89_DefaultPar()->tz, GOST28147_89_MODE_CFB, 1, iv,
                      key);
    GOST_BLOB i{static_cast<uint32_t>(large_data().size()),
                const_cast<uint8_t*>(large_data().data())};
    GOST_BLOB o{static_cast<uint32_t>(out.size()), out.data()};
    GOST28147_89_Update(&ctx, &i, &o);
    GOST28147_89_Final(&ctx);
    benchmark::DoNotOptimize(out.data());
}

constexpr const char* kRawSign = "raw sign 2012-256 (nettle)";
constexpr const char* kRawHash = "raw Streebog-256 64 MiB";
constexpr const char* kRawEncrypt = "raw GOST 28147-89 CFB encrypt 64 MiB";
constexpr const char* kRawDecrypt = "raw GOST 28147-89 CFB decrypt 64 MiB";

// ---- the exports, each beside its primitive ----
void BM_SignSmallP12(benchmark::State& state) {
    paired(state, kRawSign, nettle_sign(), "SsfSign 1 KiB, PKCS#12",
           [] { sign(world().small, world().p12_profile); });
}
void BM_SignSmallPem(benchmark::State& state) {
    paired(state, kRawSign, nettle_sign(), "SsfSign 1 KiB, PEM",
           [] { sign(world().small, world().pem_profile); });
}
void BM_Verify(benchmark::State& state) {
    static const std::string s = sign(world().small, world().pem_profile, true);
    paired(
        state, "SsfVerify, 300 certificates", [] { verify(s, world().pab_few); },
        "SsfVerify, 3000 certificates", [] { verify(s, world().pab_many); });
}
void BM_EnvelopeDirectory(benchmark::State& state) {
    paired(
        state, "SsfEnvelope, 300 certificates", [] { envelope(world().small, world().pab_few); },
        "SsfEnvelope, 3000 certificates", [] { envelope(world().small, world().pab_many); });
}
void BM_SignLarge(benchmark::State& state) {
    paired(state, kRawHash, raw_streebog(), "SsfSign 64 MiB",
           [] { sign(world().large, world().pem_profile); });
}
void BM_DigestLarge(benchmark::State& state) {
    paired(state, kRawHash, raw_streebog(), "SsfDigest 64 MiB", [] { digest(world().large); });
}
void BM_EnvelopeLarge(benchmark::State& state) {
    paired(
        state, kRawEncrypt, [] { raw_cfb(1); }, "SsfEnvelope 64 MiB",
        [] { envelope(world().large, world().pab_few); });
}
void BM_DevelopeLarge(benchmark::State& state) {
    static const std::string e = envelope(world().large, world().pab_few, true);
    paired(
        state, kRawDecrypt, [] { raw_cfb(0); }, "SsfDevelope 64 MiB", [] { develope(e); });
}

BENCHMARK(BM_SignSmallP12)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignSmallPem)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnvelopeDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignLarge)->Unit(benchmark::kMillisecond)->MinTime(6);
BENCHMARK(BM_DigestLarge)->Unit(benchmark::kMillisecond)->MinTime(6);
BENCHMARK(BM_EnvelopeLarge)->Unit(benchmark::kMillisecond)->MinTime(6);
BENCHMARK(BM_DevelopeLarge)->Unit(benchmark::kMillisecond)->MinTime(6);

// ---- the summary: each export against its primitive ----
struct Target {
    const char* what;
    const char* base;
    double limit;
};
const Target kTargets[] = {
    {"SsfSign 1 KiB, PKCS#12", "raw sign 2012-256 (nettle)", 10},
    {"SsfSign 1 KiB, PEM", "raw sign 2012-256 (nettle)", 10},
    {"SsfVerify, 3000 certificates", "SsfVerify, 300 certificates", 12},
    {"SsfEnvelope, 3000 certificates", "SsfEnvelope, 300 certificates", 12},
    {"SsfSign 64 MiB", "raw Streebog-256 64 MiB", 1.25},
    {"SsfDigest 64 MiB", "raw Streebog-256 64 MiB", 1.25},
    {"SsfEnvelope 64 MiB", "raw GOST 28147-89 CFB encrypt 64 MiB", 1.25},
    {"SsfDevelope 64 MiB", "raw GOST 28147-89 CFB decrypt 64 MiB", 1.25},
};

void summary() {
    const auto& s = seconds();
    std::printf("\n%-32s %12s   %-38s %12s %8s %8s\n", "export", "best ms", "beside", "best ms",
                "median x", "target");
    for (const Target& t : kTargets) {
        auto a = s.find(t.what), b = s.find(t.base);
        if (a == s.end() || b == s.end()) continue;
        std::vector<double> r = pair_ratios()[t.what];
        if (r.empty()) continue;
        std::nth_element(r.begin(), r.begin() + static_cast<long>(r.size() / 2), r.end());
        const double ratio = r[r.size() / 2];
        std::printf("%-32s %12.3f   %-38s %12.3f %8.2f %7s%.2f%s\n", t.what, a->second * 1e3,
                    t.base, b->second * 1e3, ratio, "<= ", t.limit,
                    ratio <= t.limit ? "" : "  MISSED");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    summary();
    benchmark::Shutdown();
    std::error_code ec;
    if (g_world_made) fs::remove_all(world().dir, ec);
    return 0;
}
