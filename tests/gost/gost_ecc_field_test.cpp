// The internal field arithmetic against GMP for every curve's p and q, on values chosen to hit
// the rare carries: p - 1, p - 2, 2^(64N) - 1 (unreduced), 0, 1 and random values near p; the
// 512-bit products in each form the processor offers.
#include "gost/gost_ecc_field.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"
#include "gostr3410_test_util.h"

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
        inv_vartime(M, prod.data(), xr.data());  // verification's inverse, the same value
        EXPECT_EQ(xi, prod);
    }
    if (M.c) {  // unreduced on both sides: the fold's rarest carry (2^(64N) - 1 squared)
        std::array<u64, N> out;
        mul(M, out.data(), all_ones.data(), all_ones.data());
        mpz_set_ui(a, 0);
        mpz_setbit(a, 64 * N);
        mpz_sub_ui(a, a, 1);
        mpz_mul(want, a, a);
        mpz_mod(want, want, m.v);
        EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
        sqr(M, out.data(), all_ones.data());
        EXPECT_EQ(0, mpz_cmp(Mpz<N>(out.data()).v, want));
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
    gost_test::each_product_form([] {
        for (const auto& c : GOSTR3410_2012_512_PARAMS) {
            check_modulus<8>(c.p);
            check_modulus<8>(c.q);
        }
    });
}

// A value that shares a factor with the modulus has no inverse: zero, rather than a loop that
// never ends (parameter records from outside the table are not known to hold primes).
TEST(GostEccField, InverseWithoutOneIsZero) {
    DIGIT_T m[9] = {};  // 2^255 - 1, which 31 divides
    for (int i = 0; i < 8; ++i) m[i] = 0xffffffff;
    m[7] = 0x7fffffff;
    Mont<4> M;
    mont_init<4>(M, m);
    u64 a[4] = {31}, r[4] = {1};
    inv_plain_vartime(M, r, a);
    EXPECT_TRUE(is_zero<4>(r));
}

// The signed-digit form verification walks adds back up to the scalar, on scalars whose carries
// run across whole limbs.
TEST(GostEccField, NonAdjacentFormAddsBackUpToTheScalar) {
    std::vector<std::array<u64, 8>> ks;
    std::array<u64, 8> k;
    k.fill(~0ULL);
    ks.push_back(k);  // 2^512 - 1
    k.fill(0);
    k[7] = 1ULL << 63;
    ks.push_back(k);  // a lone top bit
    k.fill(0x5555555555555555ULL);
    ks.push_back(k);
    std::mt19937_64 rng(512);
    for (int i = 0; i < 20; ++i) {
        for (auto& x : k) x = (rng() % 3 == 0) ? ~0ULL : rng();  // runs of ones across limbs
        ks.push_back(k);
    }
    mpz_t got, want, term;
    mpz_inits(got, want, term, nullptr);
    for (const auto& x : ks) {
        for (unsigned w : {kWidthQ, kWidthG}) {
            int8_t d[8 * 64 + 1];
            const size_t len = wnaf<8>(d, x.data(), w);
            mpz_set_ui(got, 0);
            for (size_t i = 0; i < len; ++i) {
                ASSERT_TRUE(d[i] == 0 ||
                            ((d[i] & 1) && d[i] < (1 << (w - 1)) && d[i] > -(1 << (w - 1))));
                if (d[i] == 0) continue;
                EXPECT_TRUE(i + w > len ||
                            std::all_of(d + i + 1, d + i + w, [](int8_t v) { return v == 0; }));
                mpz_set_si(term, d[i]);
                mpz_mul_2exp(term, term, i);
                mpz_add(got, got, term);
            }
            mpz_import(want, 8, -1, sizeof(u64), 0, 0, x.data());
            EXPECT_EQ(0, mpz_cmp(got, want)) << w;
        }
    }
    mpz_clears(got, want, term, nullptr);
}
