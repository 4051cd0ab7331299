// Internal to the GOST R 34.10 code: prime-field and point arithmetic over N 64-bit limbs (plain
// residues folded by 2^(64N) - c for the pseudo-Mersenne primes, Montgomery residues otherwise),
// fixed-base tables and constant-time scalar loops. The public digit-array interfaces convert
// into this at their boundary; every result they return is the value the plain modular formulas
// give.
#pragma once

#include <string.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "gost/gost_mp.h"

#if defined(__x86_64__) && defined(__ELF__)
#define GOST_ECC_HAVE_ADX 1
// gost_ecc_x86_64.S: 512-bit products with mulx, adcx and adox (BMI2 and ADX).
extern "C" void gost_mul_512_adx(uint64_t* r, const uint64_t* a, const uint64_t* b);
extern "C" void gost_mul_mod_512_adx(uint64_t* r, const uint64_t* a, const uint64_t* b, uint64_t c);
extern "C" void gost_sqr_mod_512_adx(uint64_t* r, const uint64_t* a, uint64_t c);
#else
#define GOST_ECC_HAVE_ADX 0
#endif

// The constant-time selects below are mask operations on a few words; vectorised, they bounce
// every limb through the stack, which costs more than the arithmetic around them.
#pragma GCC push_options
#pragma GCC optimize("no-tree-vectorize")

namespace gost_ecc {

using u64 = uint64_t;
using u128 = unsigned __int128;

#define GOST_ECC_INLINE inline __attribute__((always_inline))

// Whether the 512-bit products run on mulx/adcx/adox: on where the processor has BMI2 and ADX;
// tests switch it to run both forms. Either form gives the same values.
bool adx_available();
bool use_adx(bool enable);  // returns whether the ADX form is now in use
extern std::atomic<bool> g_use_adx;

// Carry chains: adc/sbb on x86-64, 128-bit arithmetic elsewhere.
GOST_ECC_INLINE unsigned char addc(unsigned char c, u64 a, u64 b, u64* out) {
#if defined(__x86_64__)
    unsigned long long o;
    c = _addcarry_u64(c, a, b, &o);
    *out = o;
    return c;
#else
    u128 x = static_cast<u128>(a) + b + c;
    *out = static_cast<u64>(x);
    return static_cast<unsigned char>(x >> 64);
#endif
}

GOST_ECC_INLINE unsigned char subb(unsigned char b, u64 x, u64 y, u64* out) {
#if defined(__x86_64__)
    unsigned long long o;
    b = _subborrow_u64(b, x, y, &o);
    *out = o;
    return b;
#else
    u128 d = static_cast<u128>(x) - y - b;
    *out = static_cast<u64>(d);
    return static_cast<unsigned char>((d >> 64) & 1);
#endif
}

// Modular arithmetic for one modulus. Moduli of the form 2^(64N) - c with c below 2^32 (the
// CryptoPro-A/tc26 paramSetA primes) keep plain residues and reduce by folding the high half
// times c; every other modulus uses Montgomery residues. Either way mul(a, b) is a*b/R with R = 1
// or 2^(64N), so to_mont, from_mont and inv work the same for both.
template <size_t N>
struct Mont {
    u64 m[N];
    u64 n0;      // -m^-1 mod 2^64
    u64 c;       // 2^(64N) - m for the folding form, else 0
    u64 one[N];  // R mod m
    u64 rr[N];   // R^2 mod m
};

template <size_t N>
inline void limbs_from_digits(u64* out, const DIGIT_T* d) {
    for (size_t i = 0; i < N; ++i)
        out[i] = static_cast<u64>(d[2 * i]) | static_cast<u64>(d[2 * i + 1]) << 32;
}

template <size_t N>
inline void digits_from_limbs(DIGIT_T* d, size_t nd, const u64* in) {
    for (size_t i = 0; i < nd; ++i)
        d[i] = i / 2 < N ? static_cast<DIGIT_T>(in[i / 2] >> (32 * (i % 2))) : 0;
}

template <size_t N>
void mont_init(Mont<N>& M, const DIGIT_T* mod) {
    limbs_from_digits<N>(M.m, mod);
    bool fold = M.m[0] >= 0xffffffff00000001ULL;
    for (size_t i = 1; i < N; ++i) fold = fold && M.m[i] == ~0ULL;
    M.c = fold ? 0 - M.m[0] : 0;
    u64 x = M.m[0];  // Newton iteration for the inverse modulo 2^64
    for (int i = 0; i < 6; ++i) x *= 2 - M.m[0] * x;
    M.n0 = 0 - x;
    // R mod m and R^2 mod m by the general division, once per curve.
    DIGIT_T big[4 * N + 1] = {}, r[4 * N + 1] = {};
    big[2 * N] = 1;
    mpModulo(r, big, 2 * N + 1, mod, 2 * N);
    limbs_from_digits<N>(M.one, r);
    memset(big, 0, sizeof big);
    big[4 * N] = 1;
    mpModulo(r, big, 4 * N + 1, mod, 2 * N);
    limbs_from_digits<N>(M.rr, r);
    if (M.c) {
        memset(M.one, 0, sizeof M.one);
        M.one[0] = 1;
        memcpy(M.rr, M.one, sizeof M.rr);
    }
}

// t (2N limbs) = a * b: per row the low halves of the products go in with one carry chain and
// the high halves with a second.
template <size_t N>
GOST_ECC_INLINE void mul_wide(u64* t, const u64* a, const u64* b) {
    if constexpr (N == 8) {  // four half-size products, each on the fast 4-limb rows
        u64 mid[8];
        mul_wide<4>(t, a, b);
        mul_wide<4>(t + 8, a + 4, b + 4);
        for (int half = 0; half < 2; ++half) {
            mul_wide<4>(mid, half ? a + 4 : a, half ? b : b + 4);
            unsigned char c = 0;
            for (size_t j = 0; j < 8; ++j) c = addc(c, t[4 + j], mid[j], &t[4 + j]);
            for (size_t j = 12; j < 16; ++j) c = addc(c, t[j], 0, &t[j]);
        }
        return;
    } else if constexpr (N > 4) {  // wider rows: accumulate in 128 bits
        u64 c = 0;
        for (size_t j = 0; j < N; ++j) {
            u128 x = static_cast<u128>(a[j]) * b[0] + c;
            t[j] = static_cast<u64>(x);
            c = static_cast<u64>(x >> 64);
        }
        t[N] = c;
        for (size_t i = 1; i < N; ++i) {
            c = 0;
            for (size_t j = 0; j < N; ++j) {
                u128 x = static_cast<u128>(a[j]) * b[i] + t[i + j] + c;
                t[i + j] = static_cast<u64>(x);
                c = static_cast<u64>(x >> 64);
            }
            t[i + N] = c;
        }
        return;
    }
    u64 lo[N], hi[N];
    for (size_t j = 0; j < N; ++j) {
        const u128 x = static_cast<u128>(a[j]) * b[0];
        t[j] = static_cast<u64>(x);
        hi[j] = static_cast<u64>(x >> 64);
    }
    t[N] = 0;
    unsigned char c = 0;
    for (size_t j = 0; j < N; ++j) c = addc(c, t[j + 1], hi[j], &t[j + 1]);
    for (size_t i = 1; i < N; ++i) {
        for (size_t j = 0; j < N; ++j) {
            const u128 x = static_cast<u128>(a[j]) * b[i];
            lo[j] = static_cast<u64>(x);
            hi[j] = static_cast<u64>(x >> 64);
        }
        c = 0;
        for (size_t j = 0; j < N; ++j) c = addc(c, t[i + j], lo[j], &t[i + j]);
        t[i + N] = c;
        c = 0;
        for (size_t j = 0; j < N; ++j) c = addc(c, t[i + j + 1], hi[j], &t[i + j + 1]);
    }
}

// t (2N limbs) = a^2: the cross products once, doubled, plus the squares on the diagonal.
template <size_t N>
GOST_ECC_INLINE void sqr_wide(u64* t, const u64* a) {
    if constexpr (N == 8) {  // a0^2 + 2 a0 a1 B + a1^2 B^2 on the 4-limb kernels
        u64 mid[8];
        sqr_wide<4>(t, a);
        sqr_wide<4>(t + 8, a + 4);
        mul_wide<4>(mid, a, a + 4);
        for (int twice = 0; twice < 2; ++twice) {
            unsigned char c = 0;
            for (size_t j = 0; j < 8; ++j) c = addc(c, t[4 + j], mid[j], &t[4 + j]);
            for (size_t j = 12; j < 16; ++j) c = addc(c, t[j], 0, &t[j]);
        }
        return;
    }
    for (size_t j = 0; j < 2 * N; ++j) t[j] = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
        u64 c = 0;
        for (size_t j = i + 1; j < N; ++j) {
            u128 x = static_cast<u128>(a[i]) * a[j] + t[i + j] + c;
            t[i + j] = static_cast<u64>(x);
            c = static_cast<u64>(x >> 64);
        }
        t[i + N] = c;
    }
    t[2 * N - 1] = t[2 * N - 2] >> 63;
    for (size_t j = 2 * N - 2; j > 0; --j) t[j] = (t[j] << 1) | (t[j - 1] >> 63);
    t[0] <<= 1;
    unsigned char c = 0;
    for (size_t i = 0; i < N; ++i) {
        const u128 x = static_cast<u128>(a[i]) * a[i];
        c = addc(c, t[2 * i], static_cast<u64>(x), &t[2 * i]);
        c = addc(c, t[2 * i + 1], static_cast<u64>(x >> 64), &t[2 * i + 1]);
    }
}

// r = (w + carry * 2^(64N)) mod m for m = 2^(64N) - c, with carry * c + c below 2^64.
template <size_t N>
GOST_ECC_INLINE void fold_tail(const Mont<N>& M, u64* r, u64* w, u64 carry) {
    // carry * 2^(64N) is carry * c. A carry out of that leaves w below 2^64 (carry * c is below
    // 2^64), so the one more c it stands for lands in the lowest limb alone.
    u128 x = static_cast<u128>(carry) * M.c + w[0];
    w[0] = static_cast<u64>(x);
    u64 k = static_cast<u64>(x >> 64);
    for (size_t j = 1; j < N; ++j) {
        x = static_cast<u128>(w[j]) + k;
        w[j] = static_cast<u64>(x);
        k = static_cast<u64>(x >> 64);
    }
    w[0] += M.c & (0 - k);
    // Now w < 2^(64N); w >= m exactly when the upper limbs are all ones and the lowest is at
    // least m's, and then w - m = w[0] + c with the upper limbs cleared.
    u64 ones = ~0ULL;
    for (size_t j = 1; j < N; ++j) ones &= w[j];
    const u64 ge = 0 - static_cast<u64>((ones == ~0ULL) & (w[0] >= M.m[0]));
    r[0] = w[0] + (M.c & ge);
    for (size_t j = 1; j < N; ++j) r[j] = w[j] & ~ge;
}

// r = t mod m for m = 2^(64N) - c and a double-width t: the high half is worth c times as much.
template <size_t N>
GOST_ECC_INLINE void fold(const Mont<N>& M, u64* r, const u64* t) {
    u64 w[N], carry = 0;
    for (size_t j = 0; j < N; ++j) {
        u128 x = static_cast<u128>(t[N + j]) * M.c + t[j] + carry;
        w[j] = static_cast<u64>(x);
        carry = static_cast<u64>(x >> 64);
    }
    fold_tail(M, r, w, carry);
}

// r = a * b / R mod m for a, b below m (a may be any value below 2^(64N) when b < m: the
// result is still fully reduced).
// r = t (N limbs plus a top bit) reduced once by m; t is below 2m.
template <size_t N>
GOST_ECC_INLINE void redc_final(const Mont<N>& M, u64* r, const u64* t, u64 top) {
    u64 s[N];
    unsigned char borrow = 0;
    for (size_t j = 0; j < N; ++j) borrow = subb(borrow, t[j], M.m[j], &s[j]);
    const u64 use_s = 0 - static_cast<u64>(top >= borrow);
    for (size_t j = 0; j < N; ++j) r[j] = (s[j] & use_s) | (t[j] & ~use_s);
}

template <size_t N>
GOST_ECC_INLINE void reduce(const Mont<N>& M, u64* r, u64* t) {
    if (M.c) {
        fold(M, r, t);
        return;
    }
    // Montgomery reduction of the full product, one limb per step.
    u64 top = 0;
    for (size_t i = 0; i < N; ++i) {
        const u64 mq = t[i] * M.n0;
        u64 c = 0;
        for (size_t j = 0; j < N; ++j) {
            u128 x = static_cast<u128>(mq) * M.m[j] + t[i + j] + c;
            t[i + j] = static_cast<u64>(x);
            c = static_cast<u64>(x >> 64);
        }
        u128 x = static_cast<u128>(t[i + N]) + c + top;
        t[i + N] = static_cast<u64>(x);
        top = static_cast<u64>(x >> 64);
    }
    redc_final(M, r, t + N, top);
}

// The 512-bit products on mulx/adcx/adox; false where that form is off.
GOST_ECC_INLINE bool mul_adx(const Mont<8>& M, u64* r, const u64* a, const u64* b) {
#if GOST_ECC_HAVE_ADX
    if (!g_use_adx.load(std::memory_order_relaxed)) return false;
    if (M.c) {
        gost_mul_mod_512_adx(r, a, b, M.c);
        return true;
    }
    u64 t[16];
    gost_mul_512_adx(t, a, b);
    reduce(M, r, t);
    return true;
#else
    return false;
#endif
}

template <size_t N>
GOST_ECC_INLINE void mul(const Mont<N>& M, u64* r, const u64* a, const u64* b) {
    if constexpr (N == 8)
        if (mul_adx(M, r, a, b)) return;
    u64 t[2 * N];
    mul_wide<N>(t, a, b);
    reduce(M, r, t);
}

template <size_t N>
GOST_ECC_INLINE void sqr(const Mont<N>& M, u64* r, const u64* a) {
#if GOST_ECC_HAVE_ADX
    if constexpr (N == 8)
        if (M.c && g_use_adx.load(std::memory_order_relaxed)) {
            gost_sqr_mod_512_adx(r, a, M.c);
            return;
        }
#endif
    if constexpr (N == 8)
        if (mul_adx(M, r, a, a)) return;
    u64 t[2 * N];
    sqr_wide<N>(t, a);
    reduce(M, r, t);
}

template <size_t N>
GOST_ECC_INLINE void add(const Mont<N>& M, u64* r, const u64* a, const u64* b) {
    u64 t[N], s[N];
    unsigned char c = 0, borrow = 0;
    for (size_t j = 0; j < N; ++j) c = addc(c, a[j], b[j], &t[j]);
    for (size_t j = 0; j < N; ++j) borrow = subb(borrow, t[j], M.m[j], &s[j]);
    const u64 use_s = 0 - static_cast<u64>(c >= borrow);
    for (size_t j = 0; j < N; ++j) r[j] = (s[j] & use_s) | (t[j] & ~use_s);
}

template <size_t N>
GOST_ECC_INLINE void sub(const Mont<N>& M, u64* r, const u64* a, const u64* b) {
    u64 t[N];
    unsigned char borrow = 0, c = 0;
    for (size_t j = 0; j < N; ++j) borrow = subb(borrow, a[j], b[j], &t[j]);
    const u64 mask = 0 - static_cast<u64>(borrow);
    for (size_t j = 0; j < N; ++j) c = addc(c, t[j], M.m[j] & mask, &r[j]);
}

// r = k * a for a small k (2 .. 8): for the folding moduli one pass and a one-limb fold of the
// spill, otherwise repeated additions.
template <size_t N>
GOST_ECC_INLINE void mul_small(const Mont<N>& M, u64* r, const u64* a, unsigned k) {
    if (M.c) {
        u64 w[N], carry = 0;
        for (size_t j = 0; j < N; ++j) {
            const u128 x = static_cast<u128>(a[j]) * k + carry;
            w[j] = static_cast<u64>(x);
            carry = static_cast<u64>(x >> 64);
        }
        fold_tail(M, r, w, carry);
        return;
    }
    u64 t[N];
    memcpy(t, a, sizeof t);
    for (unsigned i = 1; i < k; ++i) add(M, r, i == 1 ? t : r, t);
}

template <size_t N>
inline bool is_zero(const u64* a) {
    u64 acc = 0;
    for (size_t j = 0; j < N; ++j) acc |= a[j];
    return acc == 0;
}

template <size_t N>
inline bool equal(const u64* a, const u64* b) {
    u64 acc = 0;
    for (size_t j = 0; j < N; ++j) acc |= a[j] ^ b[j];
    return acc == 0;
}

template <size_t N>
inline void copy(u64* r, const u64* a) {
    memcpy(r, a, N * sizeof(u64));
}

// Montgomery form of a value below 2^(64N); the result is reduced even when a is not.
template <size_t N>
inline void to_mont(const Mont<N>& M, u64* r, const u64* a) {
    mul(M, r, a, M.rr);
}

template <size_t N>
inline void from_mont(const Mont<N>& M, u64* r, const u64* a) {
    u64 one[N] = {1};
    mul(M, r, a, one);
}

// r = a^(m-2), the inverse for prime m (zero stays zero). The exponent is public, so the walk
// may follow its bits. A long run of ones at the top (the pseudo-Mersenne primes and the orders
// close to a power of two) is raised by doubling the run length, which needs only a multiply
// per step; the bits below it go in 4-bit windows, skipping zero ones.
template <size_t N>
void inv(const Mont<N>& M, u64* r, const u64* a) {
    u64 e[N], borrow = 2;
    for (size_t j = 0; j < N; ++j) {
        u128 d = static_cast<u128>(M.m[j]) - borrow;
        e[j] = static_cast<u64>(d);
        borrow = static_cast<u64>(d >> 64) & 1;
    }
    auto bit = [&e](size_t i) { return static_cast<unsigned>(e[i / 64] >> (i % 64)) & 1u; };
    size_t len = 64 * N;
    while (len > 0 && !bit(len - 1)) --len;
    size_t run = 0;
    while (run < len && bit(len - 1 - run)) ++run;
    u64 acc[N];
    copy<N>(acc, M.one);
    bool started = false;
    size_t rest = len;
    if (run >= 64) {
        copy<N>(acc, a);  // a^(2^n - 1), n growing to run
        size_t top = 0;
        while ((run >> (top + 1)) != 0) ++top;
        size_t n = 1;
        for (size_t b = top; b-- > 0;) {
            u64 y[N];
            copy<N>(y, acc);
            for (size_t i = 0; i < n; ++i) sqr(M, y, y);
            mul(M, acc, y, acc);
            mpWipe(y, sizeof y);
            n *= 2;
            if ((run >> b) & 1) {
                sqr(M, acc, acc);
                mul(M, acc, acc, a);
                ++n;
            }
        }
        started = true;
        rest = len - run;
    }
    u64 tab[16][N];
    copy<N>(tab[0], M.one);
    copy<N>(tab[1], a);
    for (int i = 2; i < 16; ++i) mul(M, tab[i], tab[i - 1], a);
    while (rest > 0) {
        const size_t w = rest < 4 ? rest : 4;
        unsigned d = 0;
        for (size_t i = 0; i < w; ++i) d = (d << 1) | bit(rest - 1 - i);
        rest -= w;
        if (started)
            for (size_t i = 0; i < w; ++i) sqr(M, acc, acc);
        if (d) {
            mul(M, acc, acc, tab[d]);
            started = true;
        }
    }
    copy<N>(r, acc);
    mpWipe(tab, sizeof tab);
}

// ---------------------------------------------------------------------------------------------
// Points. Jacobian (X, Y, Z) stands for (X/Z^2, Y/Z^3); Z = 0 is the point at infinity.

template <size_t N>
struct Jac {
    u64 X[N], Y[N], Z[N];
};

template <size_t N>
struct Aff {
    u64 x[N], y[N];
};

template <size_t N>
struct Curve {
    Mont<N> fp, fq;
    u64 a[N], b[N];  // Montgomery form
    bool a_is_minus3;
    Aff<N> g;  // base point, Montgomery form
    DIGIT_T cofactor;
    const Aff<N>* comb;   // fixed-base table or null
    const Aff<N>* g_odd;  // G, 3G, 5G, .. for verification (kOddG entries) or null
};

inline constexpr unsigned kWindow = 5;  // signed digits -16 .. 16
inline constexpr unsigned kTableRow = 16;
// Verification walks both scalars in one doubling chain, each in width-w non-adjacent form over
// odd multiples: the fixed base with a larger precomputed table.
inline constexpr unsigned kWidthG = 7, kWidthQ = 5;
inline constexpr unsigned kOddG = 1u << (kWidthG - 2), kOddQ = 1u << (kWidthQ - 2);
static_assert(kTableRow <= kOddG && kOddQ <= kOddG);  // the batch conversions' bound

template <size_t N>
constexpr size_t comb_positions() {
    return (64 * N + 1 + kWindow - 1) / kWindow;
}

// Infinity as (1, 1, 0): with X non-zero an addition into it never meets the equal-x case, and
// doubling keeps Z = 0, so the scalar loops need no branch on it.
template <size_t N>
inline void set_infinity(Jac<N>& P) {
    memset(&P, 0, sizeof P);
    P.X[0] = 1;
    P.Y[0] = 1;
}

template <size_t N>
inline bool is_infinity(const Jac<N>& P) {
    return is_zero<N>(P.Z);
}

template <size_t N>
void dbl(const Curve<N>& C, Jac<N>& R, const Jac<N>& P) {
    const Mont<N>& F = C.fp;  // Z = 0 in gives Z = 2 Y Z = 0 out: infinity needs no branch
    u64 m[N], s[N], t[N], yy[N], zz[N];
    sqr(F, zz, P.Z);
    if (C.a_is_minus3) {  // 3X^2 + a Z^4 = 3 (X - Z^2)(X + Z^2)
        u64 u[N];
        sub(F, t, P.X, zz);
        add(F, u, P.X, zz);
        mul(F, t, t, u);
        mul_small(F, m, t, 3);
    } else {
        sqr(F, zz, zz);
        mul(F, m, zz, C.a);
        sqr(F, t, P.X);
        mul_small(F, t, t, 3);
        add(F, m, m, t);
    }
    u64 z3[N];
    mul(F, z3, P.Y, P.Z);
    add(F, z3, z3, z3);
    sqr(F, yy, P.Y);
    mul(F, s, P.X, yy);
    mul_small(F, s, s, 4);
    u64 x3[N];
    sqr(F, x3, m);
    sub(F, x3, x3, s);
    sub(F, x3, x3, s);
    sqr(F, yy, yy);  // Y^4
    mul_small(F, yy, yy, 8);
    sub(F, t, s, x3);
    mul(F, t, m, t);
    sub(F, R.Y, t, yy);
    copy<N>(R.X, x3);
    copy<N>(R.Z, z3);
}

// R = P + Q with Q affine (never infinity here) and P not infinity; for P = (1, 1, 0) the
// result is some point with Z = 0, which the constant-time loops discard.
template <size_t N>
void add_mixed_core(const Curve<N>& C, Jac<N>& R, const Jac<N>& P, const Aff<N>& Q) {
    const Mont<N>& F = C.fp;
    u64 z1z1[N], u2[N], s2[N], h[N], r[N];
    sqr(F, z1z1, P.Z);
    mul(F, u2, Q.x, z1z1);
    mul(F, s2, Q.y, P.Z);
    mul(F, s2, s2, z1z1);
    sub(F, h, u2, P.X);
    sub(F, r, s2, P.Y);
    if (is_zero<N>(h)) {
        if (is_zero<N>(r))
            dbl(C, R, P);
        else
            set_infinity(R);
        return;
    }
    u64 hh[N], hhh[N], v[N], x3[N], t[N];
    sqr(F, hh, h);
    mul(F, hhh, h, hh);
    mul(F, v, P.X, hh);
    sqr(F, x3, r);
    sub(F, x3, x3, hhh);
    sub(F, x3, x3, v);
    sub(F, x3, x3, v);
    sub(F, t, v, x3);
    mul(F, t, r, t);
    mul(F, hhh, P.Y, hhh);
    mul(F, R.Z, P.Z, h);
    sub(F, R.Y, t, hhh);
    copy<N>(R.X, x3);
}

template <size_t N>
void add_mixed(const Curve<N>& C, Jac<N>& R, const Jac<N>& P, const Aff<N>& Q) {
    if (is_infinity(P)) {
        copy<N>(R.X, Q.x);
        copy<N>(R.Y, Q.y);
        copy<N>(R.Z, C.fp.one);
        return;
    }
    add_mixed_core(C, R, P, Q);
}

// As add_mixed_core with a Jacobian Q (never infinity).
template <size_t N>
void add_jac_core(const Curve<N>& C, Jac<N>& R, const Jac<N>& P, const Jac<N>& Q) {
    const Mont<N>& F = C.fp;
    u64 z1z1[N], z2z2[N], u1[N], u2[N], s1[N], s2[N], h[N], r[N];
    sqr(F, z1z1, P.Z);
    sqr(F, z2z2, Q.Z);
    mul(F, u1, P.X, z2z2);
    mul(F, u2, Q.X, z1z1);
    mul(F, s1, P.Y, Q.Z);
    mul(F, s1, s1, z2z2);
    mul(F, s2, Q.Y, P.Z);
    mul(F, s2, s2, z1z1);
    sub(F, h, u2, u1);
    sub(F, r, s2, s1);
    if (is_zero<N>(h)) {
        if (is_zero<N>(r))
            dbl(C, R, P);
        else
            set_infinity(R);
        return;
    }
    u64 hh[N], hhh[N], v[N], x3[N], t[N];
    sqr(F, hh, h);
    mul(F, hhh, h, hh);
    mul(F, v, u1, hh);
    sqr(F, x3, r);
    sub(F, x3, x3, hhh);
    sub(F, x3, x3, v);
    sub(F, x3, x3, v);
    sub(F, t, v, x3);
    mul(F, t, r, t);
    mul(F, hhh, s1, hhh);
    mul(F, R.Z, P.Z, Q.Z);
    mul(F, R.Z, R.Z, h);
    sub(F, R.Y, t, hhh);
    copy<N>(R.X, x3);
}

template <size_t N>
void add_jac(const Curve<N>& C, Jac<N>& R, const Jac<N>& P, const Jac<N>& Q) {
    if (is_infinity(P)) {
        R = Q;
        return;
    }
    if (is_infinity(Q)) {
        R = P;
        return;
    }
    add_jac_core(C, R, P, Q);
}

// R = (X / Z^2, Y / Z^3) given zi = 1 / Z.
template <size_t N>
void affine_from_inverse(const Curve<N>& C, Aff<N>& R, const Jac<N>& P, const u64* zi) {
    u64 zi2[N];
    sqr(C.fp, zi2, zi);
    mul(C.fp, R.x, P.X, zi2);
    mul(C.fp, zi2, zi2, zi);
    mul(C.fp, R.y, P.Y, zi2);
}

// Affine coordinates (Montgomery form); false for infinity.
template <size_t N>
bool to_affine(const Curve<N>& C, Aff<N>& R, const Jac<N>& P) {
    if (is_infinity(P)) {
        memset(&R, 0, sizeof R);
        return false;
    }
    u64 zi[N];
    inv(C.fp, zi, P.Z);
    affine_from_inverse(C, R, P, zi);
    return true;
}

template <size_t N>
bool on_curve(const Curve<N>& C, const Aff<N>& P) {
    u64 l[N], r[N];
    sqr(C.fp, l, P.y);
    sqr(C.fp, r, P.x);
    add(C.fp, r, r, C.a);
    mul(C.fp, r, r, P.x);
    add(C.fp, r, r, C.b);
    return equal<N>(l, r);
}

// ---------------------------------------------------------------------------------------------
// Scalar multiplication with signed 5-bit windows. Table rows are read in full and the wanted
// entry kept by masks, so the memory access pattern does not follow the secret digits.

// Window i of the recoded scalar: bits 5i-1 .. 5i+4 of k (nd 32-bit digits).
inline int booth_digit(const DIGIT_T* k, size_t nd, size_t i) {
    unsigned v = 0;
    for (unsigned b = 0; b < 6; ++b) {
        size_t pos = kWindow * i + b;  // bit pos-1 of k
        if (pos == 0) continue;
        --pos;
        if (pos / 32 < nd) v |= ((k[pos / 32] >> (pos % 32)) & 1u) << b;
    }
    return static_cast<int>((v & 1) + ((v >> 1) & 15)) - 16 * static_cast<int>(v >> 5);
}

template <size_t N, class T>
inline void ct_select(T& out, const T* row, unsigned index /* 1..16 */) {
    u64* o = reinterpret_cast<u64*>(&out);
    memset(o, 0, sizeof(T));
    for (unsigned j = 0; j < kTableRow; ++j) {
        const u64 mask = 0 - static_cast<u64>(j + 1 == index);
        const u64* e = reinterpret_cast<const u64*>(&row[j]);
        for (size_t w = 0; w < sizeof(T) / sizeof(u64); ++w) o[w] |= e[w] & mask;
    }
}

template <size_t N>
inline void ct_negate_y(const Mont<N>& F, u64* y, bool negative) {
    u64 zero[N] = {}, ny[N];
    sub(F, ny, zero, y);
    const u64 mask = 0 - static_cast<u64>(negative);
    for (size_t j = 0; j < N; ++j) y[j] = (ny[j] & mask) | (y[j] & ~mask);
}

// Keeps a when keep is set, else b, without a branch.
template <class T>
inline void ct_choose(T& out, const T& a, const T& b, bool keep) {
    const u64 mask = 0 - static_cast<u64>(keep);
    u64* o = reinterpret_cast<u64*>(&out);
    const u64* x = reinterpret_cast<const u64*>(&a);
    const u64* y = reinterpret_cast<const u64*>(&b);
    for (size_t w = 0; w < sizeof(T) / sizeof(u64); ++w) o[w] = (x[w] & mask) | (y[w] & ~mask);
}

// |d|, or 1 for a zero digit: the addition runs either way and a zero digit discards it.
inline unsigned digit_index(int d) {
    const unsigned a = static_cast<unsigned>(d < 0 ? -d : d);
    return a + (a == 0);
}

// k * G through the fixed-base table; k below 2^(64N), given as 2N digits.
template <size_t N>
void mul_base(const Curve<N>& C, Jac<N>& R, const DIGIT_T* k) {
    set_infinity(R);
    bool at_infinity = true;
    for (size_t i = 0; i < comb_positions<N>(); ++i) {
        const int d = booth_digit(k, 2 * N, i);
        Aff<N> e;
        Jac<N> sum, fresh;
        ct_select<N>(e, C.comb + i * kTableRow, digit_index(d));
        ct_negate_y<N>(C.fp, e.y, d < 0);
        add_mixed_core(C, sum, R, e);
        copy<N>(fresh.X, e.x);
        copy<N>(fresh.Y, e.y);
        copy<N>(fresh.Z, C.fp.one);
        ct_choose(sum, fresh, sum, at_infinity);
        ct_choose(R, sum, R, d != 0);
        at_infinity = is_infinity(R);
        mpWipe(&e, sizeof e);
        mpWipe(&sum, sizeof sum);
        mpWipe(&fresh, sizeof fresh);
    }
}

// k * P for any affine P; k has nd digits and may exceed the group order.
template <size_t N>
void mul_var(const Curve<N>& C, Jac<N>& R, const Aff<N>& P, const DIGIT_T* k, size_t nd) {
    Jac<N> tab[kTableRow];
    copy<N>(tab[0].X, P.x);
    copy<N>(tab[0].Y, P.y);
    copy<N>(tab[0].Z, C.fp.one);
    dbl(C, tab[1], tab[0]);
    for (unsigned j = 2; j < kTableRow; ++j) add_mixed(C, tab[j], tab[j - 1], P);
    set_infinity(R);
    for (size_t i = (32 * nd) / kWindow + 1; i-- > 0;) {
        for (unsigned b = 0; b < kWindow; ++b) dbl(C, R, R);
        const bool at_infinity = is_infinity(R);  // also after doubling a point of order 2
        const int d = booth_digit(k, nd, i);
        Jac<N> e, sum;
        ct_select<N>(e, tab, digit_index(d));
        ct_negate_y<N>(C.fp, e.Y, d < 0);
        add_jac_core(C, sum, R, e);
        ct_choose(sum, R, sum, is_infinity(e));  // small-order P: some multiples are infinity
        ct_choose(sum, e, sum, at_infinity);
        ct_choose(R, sum, R, d != 0);
        mpWipe(&e, sizeof e);
        mpWipe(&sum, sizeof sum);
    }
    mpWipe(tab, sizeof tab);
}

// ---------------------------------------------------------------------------------------------
// Variable-time arithmetic for verification, where every value is public.

// r = a^-1 mod m for odd prime m and a < m (zero, or no inverse, gives zero), plain residues: the
// binary extended Euclidean algorithm. A run of k trailing zeros is shifted out at once; its
// cofactor is divided by 2^k exactly after adding t * m with t = x * (-m^-1) mod 2^k.
template <size_t N>
void inv_plain_vartime(const Mont<N>& M, u64* r, const u64* a) {
    u64 u[N], v[N], x1[N] = {1}, x2[N] = {};
    copy<N>(u, a);
    copy<N>(v, M.m);
    auto is_one = [](const u64* w) { return w[0] == 1 && is_zero<N - 1>(w + 1); };
    // Makes w odd, dividing x by the same power of two modulo m.
    auto make_odd = [&M](u64* w, u64* x) {
        while ((w[0] & 1) == 0) {
            const unsigned k = w[0] ? static_cast<unsigned>(__builtin_ctzll(w[0])) : 63;
            for (size_t j = 0; j + 1 < N; ++j) w[j] = (w[j] >> k) | (w[j + 1] << (64 - k));
            w[N - 1] >>= k;
            const u64 t = (x[0] * M.n0) & ((u64{1} << k) - 1);
            u64 c = 0;
            for (size_t j = 0; j < N; ++j) {
                const u128 y = static_cast<u128>(t) * M.m[j] + x[j] + c;
                x[j] = static_cast<u64>(y);
                c = static_cast<u64>(y >> 64);
            }
            for (size_t j = 0; j + 1 < N; ++j) x[j] = (x[j] >> k) | (x[j + 1] << (64 - k));
            x[N - 1] = (x[N - 1] >> k) | (c << (64 - k));
        }
    };
    if (is_zero<N>(u)) {
        memset(r, 0, N * sizeof(u64));
        return;
    }
    // u and v odd; their difference is even and, while neither is 1, non-zero for prime m.
    make_odd(u, x1);
    while (!is_one(u) && !is_one(v)) {
        u64 d[N];
        unsigned char borrow = 0;
        for (size_t j = 0; j < N; ++j) borrow = subb(borrow, u[j], v[j], &d[j]);
        if (!borrow) {
            if (is_zero<N>(d)) break;  // u = v = gcd > 1: m was not prime after all
            copy<N>(u, d);
            sub(M, x1, x1, x2);
            make_odd(u, x1);
        } else {
            borrow = 0;
            for (size_t j = 0; j < N; ++j) borrow = subb(borrow, v[j], u[j], &v[j]);
            sub(M, x2, x2, x1);
            make_odd(v, x2);
        }
    }
    if (is_one(u))
        copy<N>(r, x1);
    else if (is_one(v))
        copy<N>(r, x2);
    else
        memset(r, 0, N * sizeof(u64));
}

// The inverse of a value in the modulus's residue form, in that form.
template <size_t N>
void inv_vartime(const Mont<N>& M, u64* r, const u64* a) {
    u64 x[N];
    if (M.c) {
        inv_plain_vartime(M, r, a);
        return;
    }
    from_mont(M, x, a);
    inv_plain_vartime(M, x, x);
    to_mont(M, r, x);
}

template <size_t N>
bool to_affine_vartime(const Curve<N>& C, Aff<N>& R, const Jac<N>& P) {
    if (is_infinity(P)) return false;
    u64 zi[N];
    inv_vartime(C.fp, zi, P.Z);
    affine_from_inverse(C, R, P, zi);
    return true;
}

// Affine forms of n <= kOddG Jacobian points, none at infinity, with one inversion (Montgomery's
// trick).
template <size_t N>
void batch_to_affine_vartime(const Curve<N>& C, Aff<N>* out, const Jac<N>* in, size_t n) {
    u64 acc[kOddG][N], t[N];
    copy<N>(acc[0], in[0].Z);
    for (size_t j = 1; j < n; ++j) mul(C.fp, acc[j], acc[j - 1], in[j].Z);
    inv_vartime(C.fp, t, acc[n - 1]);
    for (size_t j = n; j-- > 0;) {
        u64 zi[N];
        if (j > 0) {
            mul(C.fp, zi, t, acc[j - 1]);
            mul(C.fp, t, t, in[j].Z);
        } else {
            copy<N>(zi, t);
        }
        affine_from_inverse(C, out[j], in[j], zi);
    }
}

// P, 3P, 5P, .. ((2n - 1)P) in affine form, n <= kOddG; P affine and of order above 2n.
template <size_t N>
void odd_multiples_vartime(const Curve<N>& C, Aff<N>* out, const Aff<N>& P, size_t n) {
    Jac<N> jac[kOddG], twice;
    copy<N>(jac[0].X, P.x);
    copy<N>(jac[0].Y, P.y);
    copy<N>(jac[0].Z, C.fp.one);
    dbl(C, twice, jac[0]);
    for (size_t j = 1; j < n; ++j) add_jac(C, jac[j], jac[j - 1], twice);
    batch_to_affine_vartime(C, out, jac, n);
}

// Width-w non-adjacent form of k (N limbs): digits 0 or odd in -(2^(w-1) - 1) .. 2^(w-1) - 1,
// least significant first; returns the number of digits.
template <size_t N>
size_t wnaf(int8_t* out, const u64* k, unsigned w) {
    u64 x[N + 1];
    copy<N>(x, k);
    x[N] = 0;
    const u64 mask = (u64{1} << w) - 1;
    size_t len = 0;
    while (!is_zero<N + 1>(x)) {
        int d = 0;
        if (x[0] & 1) {
            d = static_cast<int>(x[0] & mask);
            if (d >= (1 << (w - 1))) d -= 1 << w;
            // x -= d: clears the low w bits
            unsigned char c = 0;
            if (d > 0) {
                c = subb(0, x[0], static_cast<u64>(d), &x[0]);
                for (size_t j = 1; j <= N && c; ++j) c = subb(c, x[j], 0, &x[j]);
            } else {
                c = addc(0, x[0], static_cast<u64>(-d), &x[0]);
                for (size_t j = 1; j <= N && c; ++j) c = addc(c, x[j], 0, &x[j]);
            }
        }
        out[len++] = static_cast<int8_t>(d);
        for (size_t j = 0; j < N; ++j) x[j] = (x[j] >> 1) | (x[j + 1] << 63);
        x[N] >>= 1;
    }
    return len;
}

// R += d * T for a width-w digit d over a table of odd multiples.
template <size_t N>
void add_digit_vartime(const Curve<N>& C, Jac<N>& R, const Aff<N>* odd, int d) {
    if (d == 0) return;
    const Aff<N>& e = odd[(d < 0 ? -d : d) / 2];
    if (d > 0) {
        add_mixed(C, R, R, e);
        return;
    }
    Aff<N> neg;
    copy<N>(neg.x, e.x);
    u64 zero[N] = {};
    sub(C.fp, neg.y, zero, e.y);
    add_mixed(C, R, R, neg);
}

// R = a * G + b * Q for public scalars a, b (N limbs) and an affine Q on the curve.
template <size_t N>
void mul_double_vartime(const Curve<N>& C, Jac<N>& R, const u64* a, const Aff<N>* Q, const u64* b) {
    Aff<N> local_g[kOddG], tq[kOddQ];
    const Aff<N>* tg = C.g_odd;
    if (!tg) {
        odd_multiples_vartime(C, local_g, C.g, kOddG);
        tg = local_g;
    }
    int8_t da[64 * N + 1] = {}, db[64 * N + 1] = {};
    size_t la = wnaf<N>(da, a, kWidthG), lb = 0;
    if (Q) {
        odd_multiples_vartime(C, tq, *Q, kOddQ);
        lb = wnaf<N>(db, b, kWidthQ);
    }
    set_infinity(R);
    for (size_t i = la > lb ? la : lb; i-- > 0;) {
        if (!is_infinity(R)) dbl(C, R, R);
        add_digit_vartime(C, R, tg, da[i]);
        if (Q) add_digit_vartime(C, R, tq, db[i]);
    }
}

// Fills rows * 16 entries: row i holds j * 32^i * G for j = 1 .. 16.
template <size_t N>
void build_comb(const Curve<N>& C, Aff<N>* out, size_t rows) {
    Jac<N> base;
    copy<N>(base.X, C.g.x);
    copy<N>(base.Y, C.g.y);
    copy<N>(base.Z, C.fp.one);
    for (size_t i = 0; i < rows; ++i) {
        Jac<N> row[kTableRow];
        row[0] = base;
        dbl(C, row[1], base);
        for (unsigned j = 2; j < kTableRow; ++j) add_jac(C, row[j], row[j - 1], base);
        batch_to_affine_vartime(C, out + i * kTableRow, row, kTableRow);  // public multiples of G
        dbl(C, base, row[kTableRow - 1]);                                 // 32 * base
    }
}

// Curve context from a parameter record (fields a, b, p, m, q, x, y of 2N+1 digits).
template <size_t N, class Params>
void build_curve(Curve<N>& C, const Params& P) {
    constexpr size_t ND = 2 * N + 1;
    mont_init<N>(C.fp, P.p);
    mont_init<N>(C.fq, P.q);
    u64 t[N];
    DIGIT_T r[ND];
    auto load = [&](u64* out, const DIGIT_T* v) {  // reduce mod p, then Montgomery form
        mpModulo(r, v, ND, P.p, ND);
        limbs_from_digits<N>(t, r);
        to_mont(C.fp, out, t);
    };
    load(C.a, P.a);
    load(C.b, P.b);
    load(C.g.x, P.x);
    load(C.g.y, P.y);
    u64 m3[N], three[N] = {3}, three_m[N];
    to_mont(C.fp, three_m, three);
    u64 zero[N] = {};
    sub(C.fp, m3, zero, three_m);
    C.a_is_minus3 = equal<N>(m3, C.a);
    DIGIT_T quot[ND], rem[ND];
    mpDivide(quot, rem, P.m, ND, P.q, ND);
    C.cofactor = quot[0];
    C.comb = nullptr;
    C.g_odd = nullptr;
}

}  // namespace gost_ecc

#undef GOST_ECC_INLINE
#pragma GCC pop_options
