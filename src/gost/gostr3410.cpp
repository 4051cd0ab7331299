#include "gost/gostr3410.h"

#include "gost/gost_ecc_curves.h"
#include "gost/gostr3411_2012.h"
#include "gost/gostr3411_94.h"

namespace {

using namespace gost_ecc;

// Draws that give a zero scalar (or r = 0, s = 0) are retried, but a source that keeps doing so
// is broken: give up rather than loop for ever.
constexpr int kMaxDraws = 64;

template <size_t ND>
struct Wiped {
    DIGIT_T d[ND] = {};
    ~Wiped() { mpWipe(d, sizeof d); }
    operator DIGIT_T*() { return d; }
};

template <class T>
struct Dsa {
    static constexpr size_t N = T::N;
    static constexpr size_t ND = 2 * N + 1;
    static constexpr size_t L = 8 * N;  // bytes per number
    using Params = typename T::Params;
    using Point = typename T::Point;
    using Ops = PointOps<T>;

    static int load_le(DIGIT_T* out, const unsigned char* in) {
        if (!out || !in) return GOSTR3410_BAD_PARAMS;
        mpSetZero(out, ND);
        for (size_t i = 0; i < L; ++i) out[i / 4] |= static_cast<DIGIT_T>(in[i]) << (8 * (i % 4));
        return 0;
    }

    static int unload_le(unsigned char* out, const DIGIT_T* in) {
        if (!out || !in) return GOSTR3410_BAD_PARAMS;
        for (size_t i = 0; i < L; ++i)
            out[i] = static_cast<unsigned char>(in[i / 4] >> (8 * (i % 4)));
        return 0;
    }

    static int load_point(Point* Q, const unsigned char* in) {
        if (!Q || !in) return GOSTR3410_BAD_PARAMS;
        load_le(Q->x, in);
        load_le(Q->y, in + L);
        return 0;
    }

    static int unload_point(unsigned char* out, const Point* Q) {
        if (!out || !Q) return GOSTR3410_BAD_PARAMS;
        unload_le(out, Q->x);
        unload_le(out + L, Q->y);
        return 0;
    }

    static int load_sig(DIGIT_T* sig, const unsigned char* in) {
        if (!sig || !in) return GOSTR3410_BAD_PARAMS;
        mpConvFromOctets(sig + ND, ND, in, L);  // s comes first
        mpConvFromOctets(sig, ND, in + L, L);
        return 0;
    }

    static int unload_sig(unsigned char* out, const DIGIT_T* sig) {
        if (!out || !sig) return GOSTR3410_BAD_PARAMS;
        mpConvToOctets(sig + ND, ND, out, L);
        mpConvToOctets(sig, ND, out + L, L);
        return 0;
    }

    static int check(const Params* prm, const Point* Q) {
        if (!prm || !Q) return GOSTR3410_BAD_PARAMS;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Aff<N> a;
        Ops::load_aff(C, *prm, a, *Q);
        return on_curve(C, a) ? 0 : GOSTR3410_INVALID;
    }

    static int public_key(const Params* prm, const DIGIT_T* d, Point* Q) {
        if (!prm || !d || !Q) return GOSTR3410_BAD_PARAMS;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Jac<N> P;
        Ops::base_mult(C, *prm, P, d, ND);
        Ops::store(C, *Q, P);
        mpWipe(&P, sizeof P);
        return check(prm, Q);
    }

    // |4*nd random bytes as a number| mod q. -1 no source, -2 the source failed.
    static int random_below(RND_FUNC rnd, DIGIT_T* out, const DIGIT_T* q, size_t nd) {
        if (!rnd) return -1;
        unsigned char buf[4 * MP_MAX_DIGITS];
        if (rnd(buf, 4 * nd) != 0) {
            mpWipe(buf, sizeof buf);
            return -2;
        }
        Wiped<MP_MAX_DIGITS> v;
        mpConvFromOctets(v, nd, buf, 4 * nd);
        mpWipe(buf, sizeof buf);
        mpAbs(v, v, nd);
        if (mpCompare(v, q, nd) >= 0)
            mpModulo(out, v, nd, q, nd);
        else
            mpSetEqual(out, v, nd);
        return 0;
    }

    static int generate(const Params* prm, RND_FUNC rnd, DIGIT_T* d, Point* Q, int rnd_failed) {
        if (!prm || !rnd || !d || !Q) return GOSTR3410_BAD_PARAMS;
        for (int i = 0; i < kMaxDraws; ++i) {
            if (random_below(rnd, d, prm->q, ND) != 0) break;
            if (!mpIsZero(d, ND)) return public_key(prm, d, Q);
        }
        mpWipe(d, ND * sizeof(DIGIT_T));
        return rnd_failed;
    }

    // e mod q, with 0 taken as 1, in 2N digits.
    static void digest_scalar(DIGIT_T* out, const DIGIT_T* e, const DIGIT_T* q) {
        reduce_scalar<N>(out, e, ND, q);
        if (mpIsZero(out, 2 * N)) out[0] = 1;
    }

    // x mod q for an affine x in Montgomery form.
    static void x_mod_q(const Curve<N>& C, u64* out, const u64* x) {
        u64 t[N];
        from_mont(C.fp, t, x);
        to_mont(C.fq, t, t);  // reduces any value below 2^(64N)
        from_mont(C.fq, out, t);
    }

    static int sign(const Params* prm, const DIGIT_T* e, RND_FUNC rnd, const DIGIT_T* d,
                    DIGIT_T* sig) {
        if (!prm || !e || !rnd || !d || !sig) return GOSTR3410_BAD_PARAMS;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        const Mont<N>& Q = C.fq;
        Wiped<2 * N> e1, d1, k;
        digest_scalar(e1, e, prm->q);
        reduce_scalar<N>(d1, d, ND, prm->q);
        u64 em[N], dl[N], kl[N], r[N], s[N], t[N];
        limbs_from_digits<N>(t, e1);
        to_mont(Q, em, t);
        limbs_from_digits<N>(dl, d1);
        int rc = GOSTR3410_RND_FAILED;
        for (int i = 0; i < kMaxDraws; ++i) {
            Wiped<ND> kd;
            if (random_below(rnd, kd, prm->q, ND) != 0) break;
            mpSetEqual(k, kd, 2 * N);
            if (mpIsZero(k, 2 * N)) continue;
            Jac<N> P;
            mul_base_or_var(C, *prm, P, k);
            Aff<N> a;
            if (!to_affine(C, a, P)) continue;
            x_mod_q(C, r, a.x);
            if (is_zero<N>(r)) continue;
            limbs_from_digits<N>(kl, k);
            to_mont(Q, t, r);
            mul(Q, s, t, dl);   // r d
            mul(Q, t, em, kl);  // k e
            add(Q, s, s, t);
            if (is_zero<N>(s)) continue;
            digits_from_limbs<N>(sig, ND, r);
            digits_from_limbs<N>(sig + ND, ND, s);
            rc = 0;
            break;
        }
        mpWipe(dl, sizeof dl);
        mpWipe(kl, sizeof kl);
        mpWipe(t, sizeof t);
        mpWipe(s, sizeof s);
        return rc;
    }

    static void mul_base_or_var(const Curve<N>& C, const Params& prm, Jac<N>& R, const DIGIT_T* k) {
        Ops::base_mult(C, prm, R, k, 2 * N);
    }

    static bool in_range(const DIGIT_T* v, const DIGIT_T* q) {
        return !mpIsZero(v, ND) && mpCompare(v, q, ND) < 0;
    }

    // Every value here is public, so the arithmetic may take time that depends on it.
    static int verify(const Params* prm, const DIGIT_T* e, const Point* Qp, const DIGIT_T* sig) {
        if (!prm || !e || !Qp || !sig) return GOSTR3410_BAD_PARAMS;
        const DIGIT_T* rd = sig;
        const DIGIT_T* sd = sig + ND;
        if (!in_range(rd, prm->q) || !in_range(sd, prm->q)) return GOSTR3410_INVALID;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        const Mont<N>& Q = C.fq;
        DIGIT_T e1[2 * N];
        digest_scalar(e1, e, prm->q);
        u64 v[N], r[N], s[N], z1[N], z2[N], zero[N] = {};
        limbs_from_digits<N>(v, e1);
        inv_plain_vartime(Q, v, v);
        to_mont(Q, v, v);  // then mul(x, v) = x / e
        limbs_from_digits<N>(r, rd);
        limbs_from_digits<N>(s, sd);
        mul(Q, z1, s, v);
        mul(Q, z2, r, v);
        sub(Q, z2, zero, z2);
        Jac<N> A;
        if (Ops::point_is_zero(*Qp)) {
            mul_double_vartime<N>(C, A, z1, nullptr, z2);
        } else {
            Aff<N> qa;
            Ops::load_aff(C, *prm, qa, *Qp);
            mul_double_vartime<N>(C, A, z1, &qa, z2);
        }
        Aff<N> a;
        if (!to_affine_vartime(C, a, A)) return GOSTR3410_INVALID;
        u64 x[N];
        x_mod_q(C, x, a.x);
        return equal<N>(x, r) ? 0 : GOSTR3410_INVALID;
    }

    // K = ((m/q) ukm d mod q) Q with the peer point checks.
    static int vko_point(const Params* prm, const DIGIT_T* ukm, const DIGIT_T* d, const Point* Qp,
                         Point* K) {
        if (!prm || !ukm || !d || !Qp || !K) return GOSTR3410_INVALID;
        if (mpCompare(Qp->x, prm->p, ND) >= 0 || mpCompare(Qp->y, prm->p, ND) >= 0 ||
            Ops::point_is_zero(*Qp))
            return GOSTR3410_INVALID;
        Curve<N> local;
        const Curve<N>& C = T::context(prm, local);
        Aff<N> qa;
        Ops::load_aff(C, *prm, qa, *Qp);
        if (!on_curve(C, qa)) return GOSTR3410_INVALID;
        const Mont<N>& Q = C.fq;
        Wiped<2 * N> u, dd, td;
        reduce_scalar<N>(u, ukm, ND, prm->q);
        reduce_scalar<N>(dd, d, ND, prm->q);
        u64 t[N], x[N], c[N] = {C.cofactor};
        to_mont(Q, c, c);
        limbs_from_digits<N>(x, u);
        mul(Q, t, c, x);  // cofactor * ukm
        to_mont(Q, t, t);
        limbs_from_digits<N>(x, dd);
        mul(Q, t, t, x);  // * d
        int rc = GOSTR3410_INVALID;
        if (!is_zero<N>(t)) {
            digits_from_limbs<N>(td, 2 * N, t);
            Jac<N> R;
            mul_var(C, R, qa, td, 2 * N);
            if (!is_infinity(R)) {
                Ops::store(C, *K, R);
                rc = 0;
            }
            mpWipe(&R, sizeof R);
        }
        mpWipe(t, sizeof t);
        mpWipe(x, sizeof x);
        return rc;
    }

    // x_K || y_K, little-endian, of the agreed point: the bytes every VKO hashes.
    static int vko_bytes(const Params* prm, const unsigned char* ukm, size_t ukm_len,
                         size_t max_ukm, const DIGIT_T* d, const Point* Qp, unsigned char* out) {
        if (!ukm || ukm_len == 0 || ukm_len > max_ukm) return GOSTR3410_INVALID;
        Wiped<ND> u;
        for (size_t i = 0; i < ukm_len; ++i)
            u[i / 4] |= static_cast<DIGIT_T>(ukm[i]) << (8 * (i % 4));
        Point K;
        int rc = vko_point(prm, u, d, Qp, &K);
        if (rc == 0) unload_point(out, &K);
        mpWipe(&K, sizeof K);
        return rc;
    }

    static int vko_256(const Params* prm, const unsigned char* ukm, size_t ukm_len,
                       const DIGIT_T* d, const Point* Qp, unsigned char* out32) {
        if (!out32) return GOSTR3410_INVALID;
        unsigned char kx[2 * L];
        int rc = vko_bytes(prm, ukm, ukm_len, L, d, Qp, kx);
        if (rc == 0) rc = GOSTR3411_2012_256_Transform(kx, sizeof kx, out32);
        mpWipe(kx, sizeof kx);
        return rc;
    }
};

using D256 = Dsa<Traits256>;
using D512 = Dsa<Traits512>;

}  // namespace

int GOSTR3410_2001_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in32) {
    return D256::load_le(d, in32);
}
int GOSTR3410_2012_256_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in32) {
    return D256::load_le(d, in32);
}
int GOSTR3410_2012_512_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in64) {
    return D512::load_le(d, in64);
}
int GOSTR3410_2001_UnloadPrivateKeyValue(unsigned char* out32, const DIGIT_T* d) {
    return D256::unload_le(out32, d);
}
int GOSTR3410_2012_256_UnloadPrivateKeyValue(unsigned char* out32, const DIGIT_T* d) {
    return D256::unload_le(out32, d);
}
int GOSTR3410_2012_512_UnloadPrivateKeyValue(unsigned char* out64, const DIGIT_T* d) {
    return D512::unload_le(out64, d);
}
int GOSTR3410_2001_LoadPublicKeyValue(ep_point* Q, const unsigned char* in64) {
    return D256::load_point(Q, in64);
}
int GOSTR3410_2012_256_LoadPublicKeyValue(ep_point* Q, const unsigned char* in64) {
    return D256::load_point(Q, in64);
}
int GOSTR3410_2012_512_LoadPublicKeyValue(dep_point* Q, const unsigned char* in128) {
    return D512::load_point(Q, in128);
}
int GOSTR3410_2001_UnloadPublicKeyValue(unsigned char* out64, const ep_point* Q) {
    return D256::unload_point(out64, Q);
}
int GOSTR3410_2012_256_UnloadPublicKeyValue(unsigned char* out64, const ep_point* Q) {
    return D256::unload_point(out64, Q);
}
int GOSTR3410_2012_512_UnloadPublicKeyValue(unsigned char* out128, const dep_point* Q) {
    return D512::unload_point(out128, Q);
}
int GOSTR3410_2012_256_LoadSignatureValue(DIGIT_T* sig, const unsigned char* in64) {
    return D256::load_sig(sig, in64);
}
int GOSTR3410_2012_512_LoadSignatureValue(DIGIT_T* sig, const unsigned char* in128) {
    return D512::load_sig(sig, in128);
}
int GOSTR3410_2012_256_UnloadSignatureValue(unsigned char* out64, const DIGIT_T* sig) {
    return D256::unload_sig(out64, sig);
}
int GOSTR3410_2012_512_UnloadSignatureValue(unsigned char* out128, const DIGIT_T* sig) {
    return D512::unload_sig(out128, sig);
}
int GOSTR3410_2012_256_LoadDigestValue(DIGIT_T* e, const unsigned char* in32) {
    return D256::load_le(e, in32);
}
int GOSTR3410_2012_512_LoadDigestValue(DIGIT_T* e, const unsigned char* in64) {
    return D512::load_le(e, in64);
}

int ecCheckPuKey(const gostr3410_256_params* params, const ep_point* Q) {
    return D256::check(params, Q);
}
int GOSTR3410_2012_256_CheckPublicKey(const gostr3410_256_params* params, const ep_point* Q) {
    return D256::check(params, Q);
}
int GOSTR3410_2012_512_CheckPublicKey(const gostr3410_512_params* params, const dep_point* Q) {
    return D512::check(params, Q);
}
int ecGeneratePublicKey(const gostr3410_256_params* params, const DIGIT_T* d, ep_point* Q) {
    return D256::public_key(params, d, Q);
}
int GOSTR3410_2012_256_GeneratePublicKey(const gostr3410_256_params* params, const DIGIT_T* d,
                                         ep_point* Q) {
    return D256::public_key(params, d, Q);
}
int GOSTR3410_2012_512_GeneratePublicKey(const gostr3410_512_params* params, const DIGIT_T* d,
                                         dep_point* Q) {
    return D512::public_key(params, d, Q);
}

int Getbig_RND(RND_FUNC rnd, DIGIT_T* out, const DIGIT_T* q) {
    if (!out || !q) return -1;
    return D256::random_below(rnd, out, q, EC256_DIGITS);
}
int Getbig_RND_n(RND_FUNC rnd, DIGIT_T* out, const DIGIT_T* q, size_t n) {
    if (!out || !q || n == 0 || n > MP_MAX_DIGITS) return -1;
    return D256::random_below(rnd, out, q, n) == 0 ? 0 : -1;
}

int ecGenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d, ep_point* Q) {
    return D256::generate(params, rnd, d, Q, -2);
}
int GOSTR3410_2001_GenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d,
                                   ep_point* Q) {
    return D256::generate(params, rnd, d, Q, -2);
}
int GOSTR3410_2012_256_GenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d,
                                       ep_point* Q) {
    return D256::generate(params, rnd, d, Q, -2);
}
int GOSTR3410_2012_512_GenerateKeyPair(const gostr3410_512_params* params, RND_FUNC rnd, DIGIT_T* d,
                                       dep_point* Q) {
    return D512::generate(params, rnd, d, Q, -3);
}

int GOSTR3410_2012_256_Sign(const gostr3410_256_params* params, const DIGIT_T* e, RND_FUNC rnd,
                            const DIGIT_T* d, DIGIT_T* sig) {
    return D256::sign(params, e, rnd, d, sig);
}
int GOSTR3410_2012_512_Sign(const gostr3410_512_params* params, const DIGIT_T* e, RND_FUNC rnd,
                            const DIGIT_T* d, DIGIT_T* sig) {
    return D512::sign(params, e, rnd, d, sig);
}
int GOSTR3410_2012_256_Verify(const gostr3410_256_params* params, const DIGIT_T* e,
                              const ep_point* Q, const DIGIT_T* sig) {
    return D256::verify(params, e, Q, sig);
}
int GOSTR3410_2012_512_Verify(const gostr3410_512_params* params, const DIGIT_T* e,
                              const dep_point* Q, const DIGIT_T* sig) {
    return D512::verify(params, e, Q, sig);
}

int GOSTR3410_2001_VKO_point(const gostr3410_256_params* params, const DIGIT_T* ukm,
                             const DIGIT_T* d, const ep_point* Q, ep_point* K) {
    return D256::vko_point(params, ukm, d, Q, K);
}
int GOSTR3410_2001_VKO(const gostr3410_256_params* params, const GOSTR3411_94_PARAMS* hash_params,
                       const unsigned char* ukm, size_t ukm_len, const DIGIT_T* d,
                       const ep_point* Q, unsigned char* out32) {
    if (!hash_params || !hash_params->tz || !out32) return GOSTR3410_INVALID;
    unsigned char kx[64];
    int rc = D256::vko_bytes(params, ukm, ukm_len, 32, d, Q, kx);
    if (rc == 0) {
        GOSTR3411_94_CTX ctx;
        rc = GOSTR3411_94_Init_ex(&ctx, hash_params->tz);
        if (rc == 0) rc = GOSTR3411_94_Update(&ctx, kx, sizeof kx);
        if (rc == 0) rc = GOSTR3411_94_Final(&ctx, out32);
        mpWipe(&ctx, sizeof ctx);
    }
    mpWipe(kx, sizeof kx);
    return rc;
}

int GOSTR3410_2012_256_VKO_256(const gostr3410_256_params* params, const unsigned char* ukm,
                               size_t ukm_len, const DIGIT_T* d, const ep_point* Q,
                               unsigned char* out32) {
    return D256::vko_256(params, ukm, ukm_len, d, Q, out32);
}
int GOSTR3410_2012_512_VKO_256(const gostr3410_512_params* params, const unsigned char* ukm,
                               size_t ukm_len, const DIGIT_T* d, const dep_point* Q,
                               unsigned char* out32) {
    return D512::vko_256(params, ukm, ukm_len, d, Q, out32);
}

int GOSTR3410_2012_PublicKeyFromPrivate(const unsigned char* curve_der, size_t der_len,
                                        const unsigned char* priv, size_t priv_len,
                                        unsigned char* pub) {
    if (!curve_der || !priv || !pub) return GOSTR3410_BAD_PARAMS;
    int rc = GOSTR3410_BAD_PARAMS;
    if (priv_len == 32) {
        const gostr3410_256_params* prm = nullptr;
        DIGIT_T d[EC256_DIGITS];
        ep_point Q;
        rc = GOSTR3410_2012_256_FindParByDerOid(curve_der, der_len, &prm);
        if (rc == 0) rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, priv);
        if (rc == 0) rc = GOSTR3410_2012_256_GeneratePublicKey(prm, d, &Q);
        if (rc == 0) rc = GOSTR3410_2012_256_UnloadPublicKeyValue(pub, &Q);
        mpWipe(d, sizeof d);
    } else if (priv_len == 64) {
        const gostr3410_512_params* prm = nullptr;
        DIGIT_T d[EC512_DIGITS];
        dep_point Q;
        rc = GOSTR3410_2012_512_FindParByDerOid(curve_der, der_len, &prm);
        if (rc == 0) rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, priv);
        if (rc == 0) rc = GOSTR3410_2012_512_GeneratePublicKey(prm, d, &Q);
        if (rc == 0) rc = GOSTR3410_2012_512_UnloadPublicKeyValue(pub, &Q);
        mpWipe(d, sizeof d);
    }
    return rc;
}
