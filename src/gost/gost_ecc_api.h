// Internal: the digit-array point operations shared by the 256- and 512-bit curve files, and the
// compile-time builders that turn published hex parameters and dotted identifiers into records.
#pragma once

#include <cstdio>
#include <mutex>

#include "gost/gost_ecc_field.h"
#include "gost/gost_mp.h"

namespace gost_ecc {

// ---- compile-time record building -------------------------------------------------------------

consteval DIGIT_T hex_nibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<DIGIT_T>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<DIGIT_T>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<DIGIT_T>(c - 'A' + 10);
    throw "bad hex digit";
}

// Big-endian hex text into nd little-endian digits.
consteval void hex_to_digits(DIGIT_T* out, size_t nd, const char* hex) {
    size_t len = 0;
    while (hex[len]) ++len;
    if (len > 8 * nd) throw "hex value too long";
    for (size_t i = 0; i < nd; ++i) out[i] = 0;
    for (size_t k = 0; k < len; ++k) {
        const size_t bit = 4 * (len - 1 - k);
        out[bit / 32] |= hex_nibble(hex[k]) << (bit % 32);
    }
}

// DER (tag, length, content) of a dotted object identifier; returns the total length.
consteval uint32_t oid_to_der(uint8_t* out, const char* dotted) {
    uint64_t arcs[16] = {};
    size_t count = 0;
    for (const char* s = dotted; *s;) {
        uint64_t v = 0;
        if (*s < '0' || *s > '9') throw "bad identifier";
        while (*s >= '0' && *s <= '9') v = v * 10 + static_cast<uint64_t>(*s++ - '0');
        arcs[count++] = v;
        if (*s == '.') ++s;
    }
    if (count < 2) throw "bad identifier";
    uint8_t body[14] = {};
    size_t n = 0;
    auto put = [&](uint64_t v) {
        uint8_t tmp[10];
        size_t t = 0;
        do {
            tmp[t++] = static_cast<uint8_t>(v & 0x7f);
            v >>= 7;
        } while (v);
        while (t > 0) {
            --t;
            body[n++] = static_cast<uint8_t>(tmp[t] | (t ? 0x80 : 0));
        }
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < count; ++i) put(arcs[i]);
    out[0] = 0x06;
    out[1] = static_cast<uint8_t>(n);
    for (size_t i = 0; i < n; ++i) out[2 + i] = body[i];
    return static_cast<uint32_t>(n + 2);
}

struct CurveText {
    const char *a, *b, *p, *m, *q, *x, *y;
};

template <class Params, size_t ND>
consteval void fill_curve(Params& r, const CurveText& t) {
    hex_to_digits(r.a, ND, t.a);
    hex_to_digits(r.b, ND, t.b);
    hex_to_digits(r.p, ND, t.p);
    hex_to_digits(r.m, ND, t.m);
    hex_to_digits(r.q, ND, t.q);
    hex_to_digits(r.x, ND, t.x);
    hex_to_digits(r.y, ND, t.y);
}

// ---- digit arrays <-> Montgomery limbs ------------------------------------------------------

// v (nd digits, any value) reduced modulo the field prime, into Montgomery form.
template <size_t N>
void load_fe(const Curve<N>& C, u64* out, const DIGIT_T* v, const DIGIT_T* p) {
    constexpr size_t ND = 2 * N + 1;
    DIGIT_T r[ND];
    const DIGIT_T* src = v;
    if (v[ND - 1] != 0 || mpCompare(v, p, ND) >= 0) {
        mpModulo(r, v, ND, p, ND);
        src = r;
    }
    u64 t[N];
    limbs_from_digits<N>(t, src);
    to_mont(C.fp, out, t);
}

template <size_t N>
void store_fe(const Curve<N>& C, DIGIT_T* out, const u64* v) {
    u64 t[N];
    from_mont(C.fp, t, v);
    digits_from_limbs<N>(out, 2 * N + 1, t);
}

// Scalar v (nd digits) reduced modulo q into 2N digits.
template <size_t N>
void reduce_scalar(DIGIT_T* out, const DIGIT_T* v, size_t nd, const DIGIT_T* q) {
    constexpr size_t ND = 2 * N + 1;
    DIGIT_T r[ND];
    mpModulo(r, v, nd, q, ND);
    mpSetEqual(out, r, 2 * N);
    mpWipe(r, sizeof r);
}

// ---- the public operations, for any record and point type -----------------------------------

template <class T>
struct PointOps {
    static constexpr size_t N = T::N;
    static constexpr size_t ND = 2 * N + 1;
    using Params = typename T::Params;
    using Point = typename T::Point;
    using Proj = typename T::Proj;

    static bool point_is_zero(const Point& P) { return mpIsZero(P.x, ND) && mpIsZero(P.y, ND); }

    static bool load(const Curve<N>& C, const Params& prm, Jac<N>& R, const Point& P) {
        if (point_is_zero(P)) {
            set_infinity(R);
            return false;
        }
        load_fe(C, R.X, P.x, prm.p);
        load_fe(C, R.Y, P.y, prm.p);
        copy<N>(R.Z, C.fp.one);
        return true;
    }

    static void load_aff(const Curve<N>& C, const Params& prm, Aff<N>& R, const Point& P) {
        load_fe(C, R.x, P.x, prm.p);
        load_fe(C, R.y, P.y, prm.p);
    }

    static void store(const Curve<N>& C, Point& R, const Jac<N>& P) {
        Aff<N> a;
        if (!to_affine(C, a, P)) {
            mpSetZero(R.x, ND);
            mpSetZero(R.y, ND);
            return;
        }
        store_fe(C, R.x, a.x);
        store_fe(C, R.y, a.y);
    }

    static void load_proj(const Curve<N>& C, const Params& prm, Jac<N>& R, const Proj& P) {
        if (mpIsZero(P.X, ND) && mpIsZero(P.Y, ND)) {
            set_infinity(R);
            return;
        }
        load_fe(C, R.X, P.X, prm.p);
        load_fe(C, R.Y, P.Y, prm.p);
        load_fe(C, R.Z, P.Z, prm.p);
    }

    static void store_proj(const Curve<N>& C, Proj& R, const Jac<N>& P) {
        if (is_infinity(P)) {
            mpSetZero(R.X, ND);
            mpSetZero(R.Y, ND);
            mpSetZero(R.Z, ND);
            return;
        }
        store_fe(C, R.X, P.X);
        store_fe(C, R.Y, P.Y);
        store_fe(C, R.Z, P.Z);
    }

    static int add(Point* R, const Point* P, const Point* Q, const Params* prm) {
        if (!R || !P || !Q || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> a, b;
        load(C, *prm, a, *P);
        load(C, *prm, b, *Q);
        add_jac(C, a, a, b);
        store(C, *R, a);
        return 0;
    }

    static int mult(const char* who, Point* R, const Point* P, const DIGIT_T* k,
                    const Params* prm) {
        if (!R || !P || !k || !prm) {
            printf("%s: bad arguments\n", who);
            return -1;
        }
        DIGIT_T kabs[ND];
        mpAbs(kabs, k, ND);
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> acc;
        set_infinity(acc);
        if (!mpIsZero(kabs, ND) && !point_is_zero(*P)) {
            Aff<N> p;
            load_aff(C, *prm, p, *P);
            mul_var(C, acc, p, kabs, ND);
        }
        store(C, *R, acc);
        mpWipe(kabs, sizeof kabs);
        return 0;
    }

    static int mult_proj(Point* R, const Point* P, const DIGIT_T* k, const Params* prm) {
        if (!R || !P || !k || !prm || mpIsZero(k, ND)) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> acc;
        set_infinity(acc);
        if (!point_is_zero(*P)) {
            Aff<N> p;
            load_aff(C, *prm, p, *P);
            mul_var(C, acc, p, k, ND);
        }
        store(C, *R, acc);
        return 0;
    }

    // k * G into Jacobian form; k has nd digits.
    static void base_mult(const Curve<N>& C, const Params& prm, Jac<N>& R, const DIGIT_T* k,
                          size_t nd) {
        if (C.comb) {
            DIGIT_T kr[2 * N];
            reduce_scalar<N>(kr, k, nd, prm.q);
            mul_base(C, R, kr);
            mpWipe(kr, sizeof kr);
        } else {
            mul_var(C, R, C.g, k, nd);
        }
    }

    static int mult_pp(Point* R, const DIGIT_T* k, const Params* prm) {
        if (!R || !k || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> acc;
        base_mult(C, *prm, acc, k, ND);
        store(C, *R, acc);
        return 0;
    }

    static int proj_double(Proj* R, const Proj* P, const Params* prm) {
        if (!R || !P || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> a;
        load_proj(C, *prm, a, *P);
        dbl(C, a, a);
        store_proj(C, *R, a);
        return 0;
    }

    static int proj_add_mixed(Proj* R, const Proj* P1, const Point* Q, const Params* prm) {
        if (!R || !P1 || !Q || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> a;
        load_proj(C, *prm, a, *P1);
        if (!point_is_zero(*Q)) {
            Aff<N> q;
            load_aff(C, *prm, q, *Q);
            add_mixed(C, a, a, q);
        }
        store_proj(C, *R, a);
        return 0;
    }

    static int proj_add(Proj* R, const Proj* P1, const Proj* P2, const Params* prm) {
        if (!R || !P1 || !P2 || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> a, b;
        load_proj(C, *prm, a, *P1);
        load_proj(C, *prm, b, *P2);
        add_jac(C, a, a, b);
        store_proj(C, *R, a);
        return 0;
    }

    static int proj_to_affine(Point* R, const Proj* P, const Params* prm) {
        if (!R || !P || !prm) return -1;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> a;
        load_proj(C, *prm, a, *P);
        store(C, *R, a);
        return 0;
    }

    static int find(const unsigned char* der, size_t len, const Params** out, const Params* table,
                    size_t count) {
        if (out) *out = nullptr;
        if (!der || !out) return -1;
        for (size_t i = 0; i < count; ++i)
            if (T::has_der(table[i], der, len)) {
                *out = &table[i];
                return 0;
            }
        return -1;
    }
};

// Per-table lazily built contexts with their fixed-base tables, safe to reach from any thread.
template <size_t N, class Params, size_t Count>
class ContextCache {
  public:
    const Curve<N>& get(const Params* table, const Params* prm, Curve<N>& local) {
        for (size_t i = 0; i < Count; ++i)
            if (prm == &table[i]) {
                std::call_once(once_[i], [&] {
                    build_curve<N>(ctx_[i], table[i]);
                    build_comb<N>(ctx_[i], comb_[i], comb_positions<N>());
                    ctx_[i].comb = comb_[i];
                    odd_multiples_vartime(ctx_[i], g_odd_[i], ctx_[i].g, kOddG);
                    ctx_[i].g_odd = g_odd_[i];
                });
                return ctx_[i];
            }
        build_curve<N>(local, *prm);
        return local;
    }

  private:
    std::once_flag once_[Count];
    Curve<N> ctx_[Count];
    Aff<N> comb_[Count][comb_positions<N>() * kTableRow];
    Aff<N> g_odd_[Count][kOddG];
};

}  // namespace gost_ecc
