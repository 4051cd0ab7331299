#include "gost/gost_mp.h"

#include <string.h>

namespace {

using DD = uint64_t;  // double digit

inline bool bad_count(size_t n) {
    return n == 0 || n > MP_MAX_DIGITS;
}

size_t significant_digits(const DIGIT_T* a, size_t n) {
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}

// Scratch that holds key material is wiped when it goes out of scope.
template <size_t N>
struct Scratch {
    DIGIT_T d[N];
    Scratch() { memset(d, 0, sizeof d); }
    ~Scratch() { mpWipe(d, sizeof d); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    operator DIGIT_T*() { return d; }
};

// w[0..n) -= q * v[0..n); returns the borrow digit out of the top.
DIGIT_T mult_sub(DIGIT_T* w, DIGIT_T q, const DIGIT_T* v, size_t n) {
    DD borrow = 0, carry = 0;
    for (size_t i = 0; i < n; ++i) {
        DD p = static_cast<DD>(q) * v[i] + carry;
        carry = p >> 32;
        DD t = static_cast<DD>(w[i]) - static_cast<DIGIT_T>(p) - borrow;
        w[i] = static_cast<DIGIT_T>(t);
        borrow = (t >> 32) & 1;
    }
    return static_cast<DIGIT_T>(carry + borrow);
}

}  // namespace

void mpWipe(void* p, size_t bytes) {
    explicit_bzero(p, bytes);
}

DIGIT_T mpAdd(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n) {
    DD c = 0;
    for (size_t i = 0; i < n; ++i) {
        c += static_cast<DD>(u[i]) + v[i];
        w[i] = static_cast<DIGIT_T>(c);
        c >>= 32;
    }
    return static_cast<DIGIT_T>(c);
}

DIGIT_T mpSubtract(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n) {
    DD b = 0;
    for (size_t i = 0; i < n; ++i) {
        DD t = static_cast<DD>(u[i]) - v[i] - b;
        w[i] = static_cast<DIGIT_T>(t);
        b = (t >> 32) & 1;
    }
    return static_cast<DIGIT_T>(b);
}

int mpMultiply(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n) {
    mpSetZero(w, 2 * n);
    for (size_t i = 0; i < n; ++i) {
        DD c = 0;
        for (size_t j = 0; j < n; ++j) {
            c += static_cast<DD>(u[j]) * v[i] + w[i + j];
            w[i + j] = static_cast<DIGIT_T>(c);
            c >>= 32;
        }
        w[i + n] = static_cast<DIGIT_T>(c);
    }
    return 0;
}

DIGIT_T mpShortDiv(DIGIT_T* q, const DIGIT_T* u, DIGIT_T d, size_t n) {
    if (d == 0) {
        mpSetZero(q, n);
        return 0;
    }
    DD r = 0;
    for (size_t i = n; i-- > 0;) {
        DD t = (r << 32) | u[i];
        q[i] = static_cast<DIGIT_T>(t / d);
        r = t % d;
    }
    return static_cast<DIGIT_T>(r);
}

int mpDivide(DIGIT_T* q, DIGIT_T* r, const DIGIT_T* u, size_t udigits, const DIGIT_T* v,
             size_t vdigits) {
    if (bad_count(udigits) || bad_count(vdigits)) return -1;
    const size_t ul = significant_digits(u, udigits);
    const size_t vl = significant_digits(v, vdigits);
    if (vl == 0) {
        mpSetZero(q, udigits);
        mpSetZero(r, udigits);
        return -1;
    }
    if (ul < vl || (ul == vl && mpCompare(u, v, ul) < 0)) {
        Scratch<MP_MAX_DIGITS> keep;  // u may alias q
        mpSetEqual(keep, u, udigits);
        mpSetZero(q, udigits);
        mpSetEqual(r, keep, udigits);
        return 0;
    }
    if (vl == 1) {
        Scratch<MP_MAX_DIGITS> quot;
        DIGIT_T rem = mpShortDiv(quot, u, v[0], udigits);
        mpSetEqual(q, quot, udigits);
        mpSetDigit(r, rem, udigits);
        return 0;
    }
    // Knuth's algorithm D on private copies: normalise so the divisor's top bit is set.
    int shift = __builtin_clz(v[vl - 1]);
    Scratch<MP_MAX_DIGITS> vn;
    Scratch<MP_MAX_DIGITS + 1> un;
    Scratch<MP_MAX_DIGITS> quot;
    mpShiftLeft(vn, v, shift, vl);
    un[ul] = mpShiftLeft(un, u, shift, ul);
    const DD vtop = vn[vl - 1], vnext = vn[vl - 2];
    for (size_t j = ul - vl + 1; j-- > 0;) {
        DD num = (static_cast<DD>(un[j + vl]) << 32) | un[j + vl - 1];
        DD qhat = num / vtop, rhat = num % vtop;
        while (qhat > 0xffffffffULL || qhat * vnext > ((rhat << 32) | un[j + vl - 2])) {
            --qhat;
            rhat += vtop;
            if (rhat > 0xffffffffULL) break;
        }
        DIGIT_T top = un[j + vl];
        DIGIT_T borrow = mult_sub(un + j, static_cast<DIGIT_T>(qhat), vn, vl);
        un[j + vl] = top - borrow;
        if (borrow > top) {  // estimate one too large: add the divisor back
            --qhat;
            un[j + vl] += mpAdd(un + j, un + j, vn, vl);
        }
        quot[j] = static_cast<DIGIT_T>(qhat);
    }
    mpSetEqual(q, quot, udigits);
    mpSetZero(r, udigits);
    mpShiftRight(r, un, shift, vl);
    return 0;
}

int mpModulo(DIGIT_T* r, const DIGIT_T* u, size_t udigits, const DIGIT_T* m, size_t mdigits) {
    if (bad_count(udigits) || bad_count(mdigits)) return -1;
    Scratch<MP_MAX_DIGITS> quot, rem;
    if (mpDivide(quot, rem, u, udigits, m, mdigits) != 0) {
        mpSetZero(r, mdigits);
        return -1;
    }
    // The remainder is below m, so digits above mdigits are zero.
    mpSetEqual(r, rem, mdigits < udigits ? mdigits : udigits);
    if (mdigits > udigits) mpSetZero(r + udigits, mdigits - udigits);
    return 0;
}

int mpModMult(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n) {
    if (bad_count(2 * n)) return -1;
    Scratch<MP_MAX_DIGITS> prod;
    mpMultiply(prod, u, v, n);
    return mpModulo(w, prod, 2 * n, m, n);
}

int mpModInv(DIGIT_T* inv, const DIGIT_T* u, const DIGIT_T* m, size_t n) {
    if (bad_count(2 * n)) return -1;
    // Extended Euclid tracking only the coefficient of u; its sign alternates with the step count.
    Scratch<MP_MAX_DIGITS> s, t, g, h, c, e, w;
    Scratch<MP_MAX_DIGITS> prod;
    mpSetDigit(s, 1, n);
    mpSetEqual(g, u, n);
    mpSetEqual(h, m, n);
    bool odd = false;
    while (!mpIsZero(h, n)) {
        mpDivide(c, e, g, n, h, n);
        mpMultiply(prod, c, t, n);
        mpAdd(w, s, prod, n);  // s + c*t never exceeds m
        mpSetEqual(s, t, n);
        mpSetEqual(t, w, n);
        mpSetEqual(g, h, n);
        mpSetEqual(h, e, n);
        odd = !odd;
    }
    Scratch<MP_MAX_DIGITS> one;
    mpSetDigit(one, 1, n);
    if (!mpEqual(g, one, n)) {
        mpSetZero(inv, n);
        return 1;
    }
    if (odd)
        mpSubtract(inv, m, s, n);
    else
        mpSetEqual(inv, s, n);
    return 0;
}

int mpModAdd(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n) {
    if (bad_count(n)) return -1;
    Scratch<MP_MAX_DIGITS> ur, vr, t;
    mpModulo(ur, u, n, m, n);
    mpModulo(vr, v, n, m, n);
    DIGIT_T carry = mpAdd(t, ur, vr, n);
    if (carry || mpCompare(t, m, n) >= 0) mpSubtract(t, t, m, n);
    mpSetEqual(w, t, n);
    return 0;
}

int mpModSub(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n) {
    if (bad_count(n)) return -1;
    Scratch<MP_MAX_DIGITS> ur, vr, t;
    mpModulo(ur, u, n, m, n);
    mpModulo(vr, v, n, m, n);
    if (mpSubtract(t, ur, vr, n)) mpAdd(t, t, m, n);
    mpSetEqual(w, t, n);
    return 0;
}

DIGIT_T mpShiftLeft(DIGIT_T* a, const DIGIT_T* b, size_t s, size_t n) {
    const size_t words = s / 32, bits = s % 32;
    DIGIT_T out = 0;
    if (s < 32 && bits) out = b[n - 1] >> (32 - bits);
    for (size_t i = n; i-- > 0;) {
        DIGIT_T hi = i >= words ? b[i - words] : 0;
        DIGIT_T lo = i >= words + 1 ? b[i - words - 1] : 0;
        a[i] = bits ? (hi << bits) | (lo >> (32 - bits)) : hi;
    }
    return out;
}

DIGIT_T mpShiftRight(DIGIT_T* a, const DIGIT_T* b, size_t s, size_t n) {
    const size_t words = s / 32, bits = s % 32;
    DIGIT_T out = 0;
    if (s < 32 && bits) out = b[0] & ((1u << bits) - 1);
    for (size_t i = 0; i < n; ++i) {
        DIGIT_T lo = i + words < n ? b[i + words] : 0;
        DIGIT_T hi = i + words + 1 < n ? b[i + words + 1] : 0;
        a[i] = bits ? (lo >> bits) | (hi << (32 - bits)) : lo;
    }
    return out;
}

int mpCompare(const DIGIT_T* a, const DIGIT_T* b, size_t n) {
    for (size_t i = n; i-- > 0;) {
        if (a[i] > b[i]) return 1;
        if (a[i] < b[i]) return -1;
    }
    return 0;
}

int mpEqual(const DIGIT_T* a, const DIGIT_T* b, size_t n) {
    return mpCompare(a, b, n) == 0;
}

int mpIsZero(const DIGIT_T* a, size_t n) {
    DIGIT_T acc = 0;
    for (size_t i = 0; i < n; ++i) acc |= a[i];
    return acc == 0;
}

void mpSetZero(DIGIT_T* a, size_t n) {
    for (size_t i = 0; i < n; ++i) a[i] = 0;
}

void mpSetEqual(DIGIT_T* a, const DIGIT_T* b, size_t n) {
    if (a != b) memmove(a, b, n * sizeof(DIGIT_T));
}

void mpSetDigit(DIGIT_T* a, DIGIT_T d, size_t n) {
    mpSetZero(a, n);
    a[0] = d;
}

int mpIsNegative(const DIGIT_T* a, size_t n) {
    return static_cast<int>(a[n - 1] >> 31);
}

DIGIT_T mpChs(DIGIT_T* a, const DIGIT_T* b, size_t n) {
    DIGIT_T sign = b[n - 1] >> 31;
    DD c = 1;
    for (size_t i = 0; i < n; ++i) {
        c += static_cast<DIGIT_T>(~b[i]);
        a[i] = static_cast<DIGIT_T>(c);
        c >>= 32;
    }
    return sign;
}

DIGIT_T mpAbs(DIGIT_T* a, const DIGIT_T* b, size_t n) {
    if (b[n - 1] >> 31) return mpChs(a, b, n);
    mpSetEqual(a, b, n);
    return 0;
}

size_t mpConvFromOctets(DIGIT_T* a, size_t n, const unsigned char* bytes, size_t len) {
    mpSetZero(a, n);
    size_t filled = 0;
    for (size_t k = 0; k < len && k / 4 < n; ++k) {
        a[k / 4] |= static_cast<DIGIT_T>(bytes[len - 1 - k]) << (8 * (k % 4));
        filled = k / 4 + 1;
    }
    return filled;
}

size_t mpConvToOctets(const DIGIT_T* a, size_t n, unsigned char* bytes, size_t len) {
    for (size_t k = 0; k < len; ++k)
        bytes[len - 1 - k] = k / 4 < n ? static_cast<unsigned char>(a[k / 4] >> (8 * (k % 4))) : 0;
    size_t sig = significant_digits(a, n);
    if (sig == 0) return 0;
    return (sig - 1) * 4 + (32 - __builtin_clz(a[sig - 1]) + 7) / 8;
}
