// GOST R 34.10 signing, verification and VKO: ours, nettle and libgcrypt side by side.
// Each benchmark reports operations per second; at exit a table gives our rate over each peer's.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <gmp.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/gostdsa.h>
#include <nettle/streebog.h>
#include <sys/random.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gost/gostr3410.h"
#include "take_turns.h"

namespace {

int rnd(unsigned char* buf, size_t len) {
    return getrandom(buf, len, 0) == static_cast<ssize_t>(len) ? 0 : -1;
}

void nettle_rnd(void*, size_t len, uint8_t* dst) {
    rnd(dst, len);
}

// Rates recorded by the benchmarks (the last, longest run of each wins) for the exit table.
struct Rates {
    std::map<std::string, double> rate;
    ~Rates() {
        if (rate.empty()) return;
        printf("\n%-34s %12s %12s %12s %8s %8s\n", "operation", "ours/s", "nettle/s", "gcrypt/s",
               "x nettle", "x gcrypt");
        for (const char* op : {"sign 256 CryptoPro-A", "verify 256 CryptoPro-A", "sign 256 tc26-A",
                               "verify 256 tc26-A", "sign 512 tc26-A", "verify 512 tc26-A",
                               "vko 256 CryptoPro-A", "vko 512 tc26-A"}) {
            auto get = [&](const char* who) {
                auto it = rate.find(std::string(op) + "/" + who);
                return it == rate.end() ? 0.0 : it->second;
            };
            double o = get("ours"), n = get("nettle"), g = get("gcrypt");
            if (o == 0) continue;
            printf("%-34s %12.0f %12.0f %12.0f %8.2f %8.2f\n", op, o, n, g, n ? o / n : 0.0,
                   g ? o / g : 0.0);
        }
    }
} g_rates;

template <class F>
void run(benchmark::State& state, const std::string& key, F&& op) {
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) op();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["op/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (secs > 0) g_rates.rate[key] = static_cast<double>(state.iterations()) / secs;
}

using Op = std::function<bool()>;  // one operation; false when it failed

// Ours beside nettle (see take_turns.h).
void run_pair(benchmark::State& state, const std::string& op, const Op& ours, const Op& nettle) {
    const Op* impls[2] = {&ours, &nettle};
    const char* names[2] = {"ours", "nettle"};
    double secs[2] = {};
    const int64_t n = take_turns(state, 2, secs, [&](size_t i) { return (*impls[i])(); });
    state.counters["op/s"] =
        benchmark::Counter(static_cast<double>(2 * n), benchmark::Counter::kIsRate);
    for (int i = 0; i < 2; ++i)
        if (secs[i] > 0) g_rates.rate[op + "/" + names[i]] = static_cast<double>(n) / secs[i];
}

// ---- ours ----

template <size_t ND, class Params, class Point>
struct Ours {
    const Params* c;
    DIGIT_T d[ND], e[ND], sig[2 * ND];
    Point q, peer;
    unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

using Ours256 = Ours<EC256_DIGITS, gostr3410_256_params, ep_point>;
using Ours512 = Ours<EC512_DIGITS, gostr3410_512_params, dep_point>;

Ours256 ours256(const gostr3410_256_params* c) {
    Ours256 o{};
    o.c = c;
    DIGIT_T dp[EC256_DIGITS];
    GOSTR3410_2012_256_GenerateKeyPair(c, rnd, o.d, &o.q);
    GOSTR3410_2012_256_GenerateKeyPair(c, rnd, dp, &o.peer);
    unsigned char dg[32];
    rnd(dg, 32);
    GOSTR3410_2012_256_LoadDigestValue(o.e, dg);
    GOSTR3410_2012_256_Sign(c, o.e, rnd, o.d, o.sig);
    return o;
}

Ours512 ours512(const gostr3410_512_params* c) {
    Ours512 o{};
    o.c = c;
    DIGIT_T dp[EC512_DIGITS];
    GOSTR3410_2012_512_GenerateKeyPair(c, rnd, o.d, &o.q);
    GOSTR3410_2012_512_GenerateKeyPair(c, rnd, dp, &o.peer);
    unsigned char dg[64];
    rnd(dg, 64);
    GOSTR3410_2012_512_LoadDigestValue(o.e, dg);
    GOSTR3410_2012_512_Sign(c, o.e, rnd, o.d, o.sig);
    return o;
}

const gostr3410_256_params* cpa() {
    return &GOSTR3410_2012_256_PARAMS[1];
}
const gostr3410_256_params* tc26a() {
    return &GOSTR3410_2012_256_PARAMS[6];
}
const gostr3410_512_params* tc26a512() {
    return &GOSTR3410_2012_512_PARAMS[1];
}

Op ours_sign256(const gostr3410_256_params* c) {
    auto o = std::make_shared<Ours256>(ours256(c));
    return [o] { return GOSTR3410_2012_256_Sign(o->c, o->e, rnd, o->d, o->sig) == 0; };
}
Op ours_verify256(const gostr3410_256_params* c) {
    auto o = std::make_shared<Ours256>(ours256(c));
    return [o] { return GOSTR3410_2012_256_Verify(o->c, o->e, &o->q, o->sig) == 0; };
}
Op ours_sign512() {
    auto o = std::make_shared<Ours512>(ours512(tc26a512()));
    return [o] { return GOSTR3410_2012_512_Sign(o->c, o->e, rnd, o->d, o->sig) == 0; };
}
Op ours_verify512() {
    auto o = std::make_shared<Ours512>(ours512(tc26a512()));
    return [o] { return GOSTR3410_2012_512_Verify(o->c, o->e, &o->q, o->sig) == 0; };
}
Op ours_vko256() {
    auto o = std::make_shared<Ours256>(ours256(cpa()));
    return [o] {
        unsigned char out[32];
        return GOSTR3410_2012_256_VKO_256(o->c, o->ukm, 8, o->d, &o->peer, out) == 0;
    };
}
Op ours_vko512() {
    auto o = std::make_shared<Ours512>(ours512(tc26a512()));
    return [o] {
        unsigned char out[32];
        return GOSTR3410_2012_512_VKO_256(o->c, o->ukm, 8, o->d, &o->peer, out) == 0;
    };
}

void BM_Ours(benchmark::State& s, Op (*make)(), const char* key) {
    const Op op = make();
    run(s, key, [&] {
        if (!op()) s.SkipWithError("ours");
    });
}

// ---- nettle (gc256b = CryptoPro-A, gc512a = tc26 512 paramSetA) ----

struct NettleKey {
    ecc_scalar key;
    ecc_point pub, peer;
    uint8_t digest[64];
    dsa_signature sig;
    size_t len;
    explicit NettleKey(const ecc_curve* c, size_t bytes) : len(bytes) {
        ecc_scalar_init(&key, c);
        ecc_point_init(&pub, c);
        ecc_point_init(&peer, c);
        ecdsa_generate_keypair(&pub, &key, nullptr, nettle_rnd);
        ecc_scalar tmp;
        ecc_scalar_init(&tmp, c);
        ecdsa_generate_keypair(&peer, &tmp, nullptr, nettle_rnd);
        ecc_scalar_clear(&tmp);
        rnd(digest, sizeof digest);
        dsa_signature_init(&sig);
        gostdsa_sign(&key, nullptr, nettle_rnd, len, digest, &sig);
    }
    ~NettleKey() {
        ecc_scalar_clear(&key);
        ecc_point_clear(&pub);
        ecc_point_clear(&peer);
        dsa_signature_clear(&sig);
    }
};

Op nettle_sign(const ecc_curve* (*curve)(), size_t bytes) {
    auto k = std::make_shared<NettleKey>(curve(), bytes);
    return [k] {
        gostdsa_sign(&k->key, nullptr, nettle_rnd, k->len, k->digest, &k->sig);
        return true;
    };
}
Op nettle_verify(const ecc_curve* (*curve)(), size_t bytes) {
    auto k = std::make_shared<NettleKey>(curve(), bytes);
    return [k] { return gostdsa_verify(&k->pub, k->len, k->digest, &k->sig) != 0; };
}
Op nettle_vko(const ecc_curve* (*curve)(), size_t bytes) {
    auto k = std::make_shared<NettleKey>(curve(), bytes);
    return [k, bytes] {
        uint8_t ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8}, point[128], out[32];
        gostdsa_vko(&k->key, &k->peer, sizeof ukm, ukm, point);
        streebog256_ctx h;
        streebog256_init(&h);
        streebog256_update(&h, 2 * bytes, point);
        streebog256_digest(&h, sizeof out, out);
        return true;
    };
}

// gc256b is CryptoPro-A, gc512a the tc26 512-bit paramSetA.
void BM_Pair(benchmark::State& s, const char* op, Op (*ours)(), Op (*nettle)()) {
    run_pair(s, op, ours(), nettle());
}

// ---- libgcrypt ----

struct GcryptKey {
    gcry_sexp_t priv = nullptr, pub = nullptr, data = nullptr, sig = nullptr;
    gcry_ctx_t ctx = nullptr;
    gcry_mpi_t d = nullptr;
    gcry_mpi_point_t peer = nullptr;
    explicit GcryptKey(const char* curve) {
        static bool init = [] {
            gcry_check_version(nullptr);
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
            return true;
        }();
        (void)init;
        gcry_sexp_t params = nullptr, key = nullptr;
        gcry_sexp_build(&params, nullptr, "(genkey (ecc (curve %s)))", curve);
        gcry_pk_genkey(&key, params);
        priv = gcry_sexp_find_token(key, "private-key", 0);
        pub = gcry_sexp_find_token(key, "public-key", 0);
        gcry_sexp_t dt = gcry_sexp_find_token(priv, "d", 0);
        d = gcry_sexp_nth_mpi(dt, 1, GCRYMPI_FMT_USG);
        gcry_sexp_release(dt);
        unsigned char e[64];
        rnd(e, sizeof e);
        e[0] &= 0x3f;
        gcry_mpi_t em = nullptr;
        gcry_mpi_scan(&em, GCRYMPI_FMT_USG, e, strstr(curve, "512") ? 64 : 32, nullptr);
        gcry_sexp_build(&data, nullptr, "(data (flags gost) (value %m))", em);
        gcry_mpi_release(em);
        gcry_pk_sign(&sig, data, priv);
        gcry_mpi_ec_new(&ctx, nullptr, curve);
        peer = gcry_mpi_ec_get_point("g", ctx, 1);
        gcry_sexp_release(params);
        gcry_sexp_release(key);
    }
    ~GcryptKey() {
        gcry_sexp_release(priv);
        gcry_sexp_release(pub);
        gcry_sexp_release(data);
        gcry_sexp_release(sig);
        gcry_mpi_release(d);
        gcry_mpi_point_release(peer);
        gcry_ctx_release(ctx);
    }
};

void BM_Gcrypt_Sign(benchmark::State& s, const char* curve, const char* key) {
    GcryptKey k(curve);
    run(s, key, [&] {
        gcry_sexp_t out = nullptr;
        if (gcry_pk_sign(&out, k.data, k.priv)) s.SkipWithError("sign");
        gcry_sexp_release(out);
    });
}
void BM_Gcrypt_Verify(benchmark::State& s, const char* curve, const char* key) {
    GcryptKey k(curve);
    run(s, key, [&] {
        if (gcry_pk_verify(k.sig, k.data, k.pub)) s.SkipWithError("verify");
    });
}
// The VKO core: one variable-base multiplication and the affine conversion.
void BM_Gcrypt_Vko(benchmark::State& s, const char* curve, const char* key) {
    GcryptKey k(curve);
    gcry_mpi_point_t r = gcry_mpi_point_new(0);
    gcry_mpi_t x = gcry_mpi_new(0), y = gcry_mpi_new(0);
    run(s, key, [&] {
        gcry_mpi_ec_mul(r, k.d, k.peer, k.ctx);
        gcry_mpi_ec_get_affine(x, y, r, k.ctx);
    });
    gcry_mpi_point_release(r);
    gcry_mpi_release(x);
    gcry_mpi_release(y);
}

}  // namespace

BENCHMARK_CAPTURE(
    BM_Pair, sign256_CryptoProA, "sign 256 CryptoPro-A", [] { return ours_sign256(cpa()); },
    [] { return nettle_sign(nettle_get_gost_gc256b, 32); });
BENCHMARK_CAPTURE(BM_Gcrypt_Sign, CryptoProA, "GOST2001-CryptoPro-A",
                  "sign 256 CryptoPro-A/gcrypt");
BENCHMARK_CAPTURE(
    BM_Pair, verify256_CryptoProA, "verify 256 CryptoPro-A", [] { return ours_verify256(cpa()); },
    [] { return nettle_verify(nettle_get_gost_gc256b, 32); });
BENCHMARK_CAPTURE(BM_Gcrypt_Verify, CryptoProA, "GOST2001-CryptoPro-A",
                  "verify 256 CryptoPro-A/gcrypt");
BENCHMARK_CAPTURE(
    BM_Ours, sign256_tc26A, [] { return ours_sign256(tc26a()); }, "sign 256 tc26-A/ours");
BENCHMARK_CAPTURE(BM_Gcrypt_Sign, tc26A, "GOST2012-256-A", "sign 256 tc26-A/gcrypt");
BENCHMARK_CAPTURE(
    BM_Ours, verify256_tc26A, [] { return ours_verify256(tc26a()); }, "verify 256 tc26-A/ours");
BENCHMARK_CAPTURE(BM_Gcrypt_Verify, tc26A, "GOST2012-256-A", "verify 256 tc26-A/gcrypt");
BENCHMARK_CAPTURE(BM_Pair, sign512_tc26A, "sign 512 tc26-A", ours_sign512,
                  [] { return nettle_sign(nettle_get_gost_gc512a, 64); });
BENCHMARK_CAPTURE(BM_Gcrypt_Sign, tc26A512, "GOST2012-512-tc26-A", "sign 512 tc26-A/gcrypt");
BENCHMARK_CAPTURE(BM_Pair, verify512_tc26A, "verify 512 tc26-A", ours_verify512,
                  [] { return nettle_verify(nettle_get_gost_gc512a, 64); });
BENCHMARK_CAPTURE(BM_Gcrypt_Verify, tc26A512, "GOST2012-512-tc26-A", "verify 512 tc26-A/gcrypt");
BENCHMARK_CAPTURE(BM_Pair, vko256_CryptoProA, "vko 256 CryptoPro-A", ours_vko256,
                  [] { return nettle_vko(nettle_get_gost_gc256b, 32); });
BENCHMARK_CAPTURE(BM_Gcrypt_Vko, CryptoProA, "GOST2001-CryptoPro-A", "vko 256 CryptoPro-A/gcrypt");
BENCHMARK_CAPTURE(BM_Pair, vko512_tc26A, "vko 512 tc26-A", ours_vko512,
                  [] { return nettle_vko(nettle_get_gost_gc512a, 64); });
BENCHMARK_CAPTURE(BM_Gcrypt_Vko, tc26A512, "GOST2012-512-tc26-A", "vko 512 tc26-A/gcrypt");
