// The internal field arithmetic against GMP for every curve's p and q, on values chosen to hit
// the rare carries: p - 1, p - 2, 2^(64N) - 1 (unreduced), 0, 1 and random values near p.
#include "gost/gost_ecc_field.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>

#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"

using namespace gost_ecc;

namespace {

template <size_t N>
struct Mpz {
    mpz_t v;
    explicit Mpz(const u64* limbs) {
        mpz_init(v);
        mpz_import(v, N, -1, sizeof(u64), 0, 0, limbs);
    }
    ~Mpz() { mpz_clear(v); }
};

template <size_t N>
void check_modulus(const DIGIT_T* modulus) {
    Mont<N> M;
    mont_init<N>(M, modulus);
    std::vector<std::array<u64, N>> vals;
    std::array<u64, N> v{};
    vals.push_back(v);  // 0
    v[0] = 1;
    vals.push_back(v);
    for (u64 sub : {1, 2, 3}) {
        std::array<u64, N> w{};
        unsigned char b = 0;
        for (size_t j = 0; j < N; ++j) b = subb(b, M.m[j], j == 0 ? sub : 0, &w[j]);
        vals.push_back(w);
    }
    std::mt19937_64 rng(N);
    for (int i = 0; i < 40; ++i) {
        std::array<u64, N> w;
        for (auto& x : w) x = rng();
        for (size_t j = N / 2; j < N && i % 2; ++j) w[j] = M.m[j];  // close below or above m
        vals.push_back(w);
    }
    Mpz<N> m(M.m);
    mpz_t want, r, a, b;
    mpz_inits(want, r, a, b, nullptr);
    mpz_setbit(r, 64 * N);
    if (!M.c)
        mpz_invert(r, r, m.v);  // 1/R for Montgomery moduli
    else
        mpz_set_ui(r, 1);
    std::array<u64, N> all_ones;
    all_ones.fill(~0ULL);
    for (const auto& x : vals) {
        for (const auto& y : vals) {
            std::array<u64, N> xr, yr, out;
            to_mont(M, xr.data(), x.data());  // reduces any value, and is itself checked below
            to_mont(M, yr.data(), y.data());
            Mpz<N> zx(xr.data()), zy(yr.data());
            ASSERT_LT(mpz_cmp(zx.v, m.v), 0);
            mul(M, out.data(), xr.data(), yr.data());
            mpz_mul(want, zx.v, zy.v);
            mpz_mul(want, want, r);
            mpz_mod(want, want, m.v);
            EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
            sqr(M, out.data(), xr.data());
            mpz_mul(want, zx.v, zx.v);
            mpz_mul(want, want, r);
            mpz_mod(want, want, m.v);
            EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
            add(M, out.data(), xr.data(), yr.data());
            mpz_add(want, zx.v, zy.v);
            mpz_mod(want, want, m.v);
            EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
            sub(M, out.data(), xr.data(), yr.data());
            mpz_sub(want, zx.v, zy.v);
            mpz_mod(want, want, m.v);
            EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
        }
        // Inversion through the whole chain: x * x^-1 = 1.
        std::array<u64, N> xr, xi, prod, plain;
        to_mont(M, xr.data(), x.data());
        for (unsigned k : {2u, 3u, 4u, 8u}) {  // the small multiples the doubling uses
            mul_small(M, prod.data(), xr.data(), k);
            Mpz<N> zx(xr.data());
            mpz_mul_ui(want, zx.v, k);
            mpz_mod(want, want, m.v);
            EXPECT_EQ(0, mpz_cmp(Mpz<N>(prod.data()).v, want)) << k;
        }
        if (is_zero<N>(xr.data())) continue;
        inv(M, xi.data(), xr.data());
        mul(M, prod.data(), xr.data(), xi.data());
        from_mont(M, plain.data(), prod.data());
        EXPECT_TRUE(plain[0] == 1 && is_zero<N - 1>(plain.data() + 1));
    }
    // The largest unreduced input folds correctly too.
    std::array<u64, N> out;
    to_mont(M, out.data(), all_ones.data());
    from_mont(M, out.data(), out.data());
    mpz_set_ui(a, 0);
    mpz_setbit(a, 64 * N);
    mpz_sub_ui(a, a, 1);
    mpz_mod(a, a, m.v);
    EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, a));
    mpz_clears(want, r, a, b, nullptr);
}

// The folding reduction on double-width values built to take its rare paths: a sum that lands
// in [m, 2^(64N)), and a first pass whose carry times c wraps past 2^(64N).
template <size_t N>
void check_fold(const DIGIT_T* modulus) {
    Mont<N> M;
    mont_init<N>(M, modulus);
    if (!M.c) return;
    std::vector<std::array<u64, 2 * N>> ts;
    std::array<u64, 2 * N> t{};
    for (u64 extra : {0, 1, 5}) {  // m + extra, below 2^(64N)
        t = {};
        unsigned char c = 0;
        for (size_t j = 0; j < N; ++j) c = addc(c, M.m[j], j == 0 ? extra : 0, &t[j]);
        ts.push_back(t);
    }
    for (u64 low : {~0ULL, ~0ULL - M.c, ~0ULL - M.c + 1}) {  // the first pass ends at 2^(64N) - 1
        t.fill(~0ULL);
        for (size_t j = N; j < 2 * N; ++j) t[j] = 0;
        const u64 h = ~0ULL / M.c + 1;  // h * c is just above 2^64
        t[2 * N - 1] = h;
        t[N - 1] = static_cast<u64>((static_cast<u128>(1) << 65) - 1 - static_cast<u128>(h) * M.c);
        t[0] = low;
        ts.push_back(t);
    }
    t.fill(~0ULL);
    ts.push_back(t);
    mpz_t want, got;
    mpz_inits(want, got, nullptr);
    Mpz<N> m(M.m);
    for (const auto& x : ts) {
        u64 in[2 * N], out[N];
        memcpy(in, x.data(), sizeof in);
        mpz_import(want, 2 * N, -1, sizeof(u64), 0, 0, x.data());
        mpz_mod(want, want, m.v);
        fold(M, out, in);
        mpz_import(got, N, -1, sizeof(u64), 0, 0, out);
        EXPECT_EQ(0, mpz_cmp(got, want));
    }
    mpz_clears(want, got, nullptr);
}

}  // namespace

TEST(GostEccField, FoldingReductionRareCarries) {
    for (const auto& c : GOSTR3410_2012_256_PARAMS) check_fold<4>(c.p);
    for (const auto& c : GOSTR3410_2012_512_PARAMS) check_fold<8>(c.p);
}

TEST(GostEccField, ArithmeticModEveryPrimeAndOrder) {
    for (const auto& c : GOSTR3410_2012_256_PARAMS) {
        check_modulus<4>(c.p);
        check_modulus<4>(c.q);
    }
    for (const auto& c : GOSTR3410_2012_512_PARAMS) {
        check_modulus<8>(c.p);
        check_modulus<8>(c.q);
    }
}
