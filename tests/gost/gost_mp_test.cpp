// The multiple-precision functions against GMP on random values at every width the curve code
// uses (9 and 17 digits, and the 18- and 34-digit double-length products), plus the edge cases
// that long division and modular inversion get wrong most often.
#include "gost/gost_mp.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Num = std::vector<DIGIT_T>;

struct Z {
    mpz_t v;
    Z() { mpz_init(v); }
    explicit Z(const Num& d) {
        mpz_init(v);
        mpz_import(v, d.size(), -1, sizeof(DIGIT_T), 0, 0, d.data());
    }
    ~Z() { mpz_clear(v); }
    Z(const Z&) = delete;
};

// GMP value into n digits (value must fit).
Num digits(const mpz_t v, size_t n) {
    Num d(n, 0);
    size_t count = 0;
    EXPECT_LE(mpz_sizeinbase(v, 2), 32 * n + (mpz_sgn(v) == 0));
    mpz_export(d.data(), &count, -1, sizeof(DIGIT_T), 0, 0, v);
    return d;
}

class Gen {
  public:
    explicit Gen(uint64_t seed) : rng_(seed) {}
    // Random values with a bias towards the shapes that break carries and estimates:
    // full words of ones, short values, a top digit that is almost zero.
    Num any(size_t n) {
        Num d(n);
        const unsigned shape = rng_() % 6;
        for (auto& x : d) x = static_cast<DIGIT_T>(rng_());
        if (shape == 0) std::fill(d.begin(), d.end(), 0xffffffffu);
        if (shape == 1) std::fill(d.begin() + 1 + rng_() % n, d.end(), 0u);
        if (shape == 2) d[n - 1] = static_cast<DIGIT_T>(rng_() % 3);
        if (shape == 3) d[rng_() % n] = 0;
        return d;
    }
    Num nonzero(size_t n) {
        Num d;
        do d = any(n);
        while (mpIsZero(d.data(), n));
        return d;
    }
    uint64_t next() { return rng_(); }

  private:
    std::mt19937_64 rng_;
};

const size_t kWidths[] = {1, 2, 9, 17, 18, 34};
constexpr int kRounds = 300;

TEST(GostMp, AddSubtractMultiplyAgainstGmp) {
    Gen g(1);
    for (size_t n : kWidths)
        for (int i = 0; i < kRounds; ++i) {
            Num u = g.any(n), v = g.any(n), w(n), w2(2 * n);
            Z zu(u), zv(v), r, mod;
            mpz_setbit(mod.v, 32 * n);
            DIGIT_T carry = mpAdd(w.data(), u.data(), v.data(), n);
            mpz_add(r.v, zu.v, zv.v);
            EXPECT_EQ(mpz_cmp(r.v, mod.v) >= 0 ? 1u : 0u, carry);
            mpz_mod(r.v, r.v, mod.v);
            EXPECT_EQ(digits(r.v, n), w) << n;
            DIGIT_T borrow = mpSubtract(w.data(), u.data(), v.data(), n);
            EXPECT_EQ(mpz_cmp(zu.v, zv.v) < 0 ? 1u : 0u, borrow);
            mpz_sub(r.v, zu.v, zv.v);
            mpz_mod(r.v, r.v, mod.v);
            EXPECT_EQ(digits(r.v, n), w);
            mpMultiply(w2.data(), u.data(), v.data(), n);
            mpz_mul(r.v, zu.v, zv.v);
            EXPECT_EQ(digits(r.v, 2 * n), w2);
            // In place: w = w + w.
            Num a = u;
            mpAdd(a.data(), a.data(), a.data(), n);
            mpz_mul_2exp(r.v, zu.v, 1);
            mpz_mod(r.v, r.v, mod.v);
            EXPECT_EQ(digits(r.v, n), a);
        }
}

TEST(GostMp, DivideAndModuloAgainstGmp) {
    Gen g(2);
    for (size_t n : kWidths)
        for (size_t vn : {size_t{1}, size_t{2}, n / 2 + 1, n})
            for (int i = 0; i < kRounds / 3; ++i) {
                Num u = g.any(n), v = g.nonzero(vn), q(n), r(n);
                Z zu(u), zv(v), zq, zr;
                ASSERT_EQ(0, mpDivide(q.data(), r.data(), u.data(), n, v.data(), vn));
                mpz_tdiv_qr(zq.v, zr.v, zu.v, zv.v);
                EXPECT_EQ(digits(zq.v, n), q) << n << "/" << vn;
                EXPECT_EQ(digits(zr.v, n), r) << n << "/" << vn;
                Num m(vn);
                ASSERT_EQ(0, mpModulo(m.data(), u.data(), n, v.data(), vn));
                EXPECT_EQ(digits(zr.v, vn), m);
                DIGIT_T d = v[0] ? v[0] : 7;
                Num sq(n);
                DIGIT_T rem = mpShortDiv(sq.data(), u.data(), d, n);
                EXPECT_EQ(mpz_fdiv_q_ui(zq.v, zu.v, d), rem);
                EXPECT_EQ(digits(zq.v, n), sq);
            }
}

TEST(GostMp, DivisionEdgeCases) {
    Num u = {5, 0, 0}, v = {7, 0, 0}, q(3), r(3);
    ASSERT_EQ(0, mpDivide(q.data(), r.data(), u.data(), 3, v.data(), 3));
    EXPECT_TRUE(mpIsZero(q.data(), 3));
    EXPECT_EQ(u, r);
    u = {1, 2, 3};
    ASSERT_EQ(0, mpDivide(q.data(), r.data(), u.data(), 3, u.data(), 3));
    EXPECT_EQ((Num{1, 0, 0}), q);
    EXPECT_TRUE(mpIsZero(r.data(), 3));
    Num zero(3, 0);
    EXPECT_EQ(-1, mpDivide(q.data(), r.data(), u.data(), 3, zero.data(), 3));
    EXPECT_TRUE(mpIsZero(q.data(), 3) && mpIsZero(r.data(), 3));
    // The divisor is never written, and the quotient may share the dividend's storage.
    const Num divisor = {0x12345678, 0x9abcdef0, 0x1};
    Num dv = divisor, big = {0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff};
    Num rr(4);
    mpDivide(big.data(), rr.data(), big.data(), 4, dv.data(), 3);
    EXPECT_EQ(divisor, dv);
    Z zq(big), zr(rr), zd(dv), back;
    mpz_mul(back.v, zq.v, zd.v);
    mpz_add(back.v, back.v, zr.v);
    Z all(Num(4, 0xffffffff));
    EXPECT_EQ(0, mpz_cmp(back.v, all.v));
    // Counts outside the fixed temporaries are refused, never overrun.
    Num huge(MP_MAX_DIGITS + 1, 1), out(MP_MAX_DIGITS + 1);
    EXPECT_EQ(-1, mpModulo(out.data(), huge.data(), huge.size(), v.data(), 3));
    EXPECT_EQ(-1, mpModMult(out.data(), huge.data(), huge.data(), huge.data(), 40));
}

TEST(GostMp, ModularArithmeticAgainstGmp) {
    Gen g(3);
    for (size_t n : kWidths)
        for (int i = 0; i < kRounds; ++i) {
            Num m = g.nonzero(n);
            if (i % 2 == 0) m[0] |= 1;  // odd moduli have inverses more often
            Num u = g.any(n), v = g.any(n), w(n);
            Z zu(u), zv(v), zm(m), r;
            mpModMult(w.data(), u.data(), v.data(), m.data(), n);
            mpz_mul(r.v, zu.v, zv.v);
            mpz_mod(r.v, r.v, zm.v);
            EXPECT_EQ(digits(r.v, n), w);
            mpModAdd(w.data(), u.data(), v.data(), m.data(), n);
            mpz_add(r.v, zu.v, zv.v);
            mpz_mod(r.v, r.v, zm.v);
            EXPECT_EQ(digits(r.v, n), w);
            mpModSub(w.data(), u.data(), v.data(), m.data(), n);
            mpz_sub(r.v, zu.v, zv.v);
            mpz_mod(r.v, r.v, zm.v);
            EXPECT_EQ(digits(r.v, n), w);
            int rc = mpModInv(w.data(), u.data(), m.data(), n);
            if (mpz_invert(r.v, zu.v, zm.v) && mpz_cmp_ui(zm.v, 1) != 0) {
                EXPECT_EQ(0, rc);
                EXPECT_EQ(digits(r.v, n), w) << n;
            } else if (mpz_cmp_ui(zm.v, 1) != 0) {
                EXPECT_EQ(1, rc);
                EXPECT_TRUE(mpIsZero(w.data(), n));
            }
        }
}

TEST(GostMp, ModularEdgeCases) {
    Num m = {0xfffffd97, 0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff,
             0xffffffff, 0xffffffff, 0xffffffff, 0};
    Num one(9, 0), zero(9, 0), mm1 = m, w(9);
    one[0] = 1;
    mm1[0] -= 1;
    mpModAdd(w.data(), mm1.data(), one.data(), m.data(), 9);
    EXPECT_TRUE(mpIsZero(w.data(), 9));
    mpModSub(w.data(), zero.data(), one.data(), m.data(), 9);
    EXPECT_EQ(mm1, w);
    Num twice(9);
    mpAdd(twice.data(), m.data(), m.data(), 9);
    EXPECT_EQ(1, mpModInv(w.data(), twice.data(), m.data(), 9));
    EXPECT_TRUE(mpIsZero(w.data(), 9));
    EXPECT_EQ(1, mpModInv(w.data(), zero.data(), m.data(), 9));
}

TEST(GostMp, ShiftsAgainstGmp) {
    Gen g(4);
    for (size_t n : kWidths)
        for (size_t s : {size_t{0}, size_t{1}, size_t{3}, size_t{31}, size_t{32}, size_t{40},
                         32 * n - 1, 32 * n + 5}) {
            Num b = g.any(n), a(n);
            Z zb(b), r, mod;
            mpz_setbit(mod.v, 32 * n);
            DIGIT_T out = mpShiftLeft(a.data(), b.data(), s, n);
            mpz_mul_2exp(r.v, zb.v, s);
            if (s < 32) {
                Z hi;
                mpz_tdiv_q_2exp(hi.v, r.v, 32 * n);
                EXPECT_EQ(mpz_get_ui(hi.v), out) << n << " " << s;
            }
            mpz_mod(r.v, r.v, mod.v);
            EXPECT_EQ(digits(r.v, n), a) << n << " " << s;
            out = mpShiftRight(a.data(), b.data(), s, n);
            mpz_tdiv_q_2exp(r.v, zb.v, s);
            EXPECT_EQ(digits(r.v, n), a) << n << " " << s;
            if (s < 32) {
                EXPECT_EQ(s ? (b[0] & ((1u << s) - 1)) : 0u, out);
            }
        }
    Num nine = {0x12345678, 0, 0, 0, 0, 0, 0, 0, 0}, a(9);
    mpShiftLeft(a.data(), nine.data(), 40, 9);
    EXPECT_EQ((Num{0, 0x34567800, 0x12, 0, 0, 0, 0, 0, 0}), a);
    nine[8] = 0xe0000001;
    EXPECT_EQ(7u, mpShiftLeft(a.data(), nine.data(), 3, 9));
}

TEST(GostMp, SignsComparisonsAndOctets) {
    Num a = {5, 0, 0}, b(3);
    EXPECT_EQ(0u, mpChs(b.data(), a.data(), 3));
    EXPECT_EQ((Num{0xfffffffb, 0xffffffff, 0xffffffff}), b);
    EXPECT_EQ(1, mpIsNegative(b.data(), 3));
    Num c(3);
    EXPECT_EQ(1u, mpAbs(c.data(), b.data(), 3));
    EXPECT_EQ(a, c);
    EXPECT_EQ(1, mpCompare(b.data(), a.data(), 3));
    EXPECT_EQ(-1, mpCompare(a.data(), b.data(), 3));
    EXPECT_EQ(0, mpCompare(a.data(), c.data(), 3));

    unsigned char out[32];
    Num zero(9, 0);
    EXPECT_EQ(0u, mpConvToOctets(zero.data(), 9, out, 32));
    EXPECT_EQ(std::vector<unsigned char>(32, 0), std::vector<unsigned char>(out, out + 32));
    Num v248(9, 0xffffffff);
    v248[8] = 0;
    v248[7] = 0x00ffffff;
    EXPECT_EQ(31u, mpConvToOctets(v248.data(), 9, out, 32));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0xff, out[1]);
    unsigned char forty[40];
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<unsigned char>(i + 1);
    Num d(9);
    mpConvFromOctets(d.data(), 9, forty, 40);
    EXPECT_EQ(0x25262728u, d[0]);
    EXPECT_EQ(0x05060708u, d[8]);  // the four most significant bytes are dropped
    Gen g(5);
    for (size_t n : kWidths) {
        Num x = g.any(n), y(n);
        std::vector<unsigned char> bytes(4 * n);
        mpConvToOctets(x.data(), n, bytes.data(), bytes.size());
        Z zx(x);
        std::vector<unsigned char> gmp(4 * n, 0);
        size_t count = 0;
        mpz_export(gmp.data() + 4 * n - (mpz_sizeinbase(zx.v, 256) * (mpz_sgn(zx.v) != 0)), &count,
                   1, 1, 1, 0, zx.v);
        EXPECT_EQ(gmp, bytes);
        mpConvFromOctets(y.data(), n, bytes.data(), bytes.size());
        EXPECT_EQ(x, y);
    }
}

}  // namespace
