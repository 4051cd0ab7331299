#include "gost/gost_ec256.h"

#include "gost/gost_ecc_curves.h"

namespace {

using namespace gost_ecc;

// Curve values as published (RFC 4357 section 11.4, RFC 7836 appendix A.2).
constexpr CurveText kTest = {"7",
                             "5fbff498aa938ce739b8e022fbafef40563f6e6a3472fc2a514c0ce9dae23b7e",
                             "8000000000000000000000000000000000000000000000000000000000000431",
                             "8000000000000000000000000000000150fe8a1892976154c59cfc193accf5b3",
                             "8000000000000000000000000000000150fe8a1892976154c59cfc193accf5b3",
                             "2",
                             "8e2a8a0e65147d4bd6316030e16d19c85c97f0a9ca267122b96abbcea7e8fc8"};
constexpr CurveText kCryptoProA = {
    "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd94",
    "a6",
    "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd97",
    "ffffffffffffffffffffffffffffffff6c611070995ad10045841b09b761b893",
    "ffffffffffffffffffffffffffffffff6c611070995ad10045841b09b761b893",
    "1",
    "8d91e471e0989cda27df505a453f2b7635294f2ddf23e3b122acc99c9e9f1e14"};
constexpr CurveText kCryptoProB = {
    "8000000000000000000000000000000000000000000000000000000000000c96",
    "3e1af419a269a5f866a7d3c25c3df80ae979259373ff2b182f49d4ce7e1bbc8b",
    "8000000000000000000000000000000000000000000000000000000000000c99",
    "800000000000000000000000000000015f700cfff1a624e5e497161bcc8a198f",
    "800000000000000000000000000000015f700cfff1a624e5e497161bcc8a198f",
    "1",
    "3fa8124359f96680b83d1c3eb2c070e5c545c9858d03ecfb744bf8d717717efc"};
constexpr CurveText kCryptoProC = {
    "9b9f605f5a858107ab1ec85e6b41c8aacf846e86789051d37998f7b9022d7598",
    "805a",
    "9b9f605f5a858107ab1ec85e6b41c8aacf846e86789051d37998f7b9022d759b",
    "9b9f605f5a858107ab1ec85e6b41c8aa582ca3511eddfb74f02f3a6598980bb9",
    "9b9f605f5a858107ab1ec85e6b41c8aa582ca3511eddfb74f02f3a6598980bb9",
    "0",
    "41ece55743711a8c3cbf3783cd08c0ee4d4dc440d4641a8f366e550dfdb3bb67"};
constexpr CurveText kTc26A = {"c2173f1513981673af4892c23035a27ce25e2013bf95aa33b22c656f277e7335",
                              "295f9bae7428ed9ccc20e7c359a9d41a22fccd9108e17bf7ba9337a6f8ae9513",
                              "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffd97",
                              "1000000000000000000000000000000003f63377f21ed98d70456bd55b0d8319c",
                              "400000000000000000000000000000000fd8cddfc87b6635c115af556c360c67",
                              "91e38443a5e82c0d880923425712b2bb658b9196932e02c78b2582fe742daa28",
                              "32879423ab1a0375895786c4bb46e9565fde0b5344766740af268adb32322e5c"};

consteval gostr3410_256_params make(const CurveText& c, const char* oid, const char* name,
                                    const char* oid2, const char* name2, uint32_t flag) {
    gostr3410_256_params r{};
    fill_curve<gostr3410_256_params, EC256_DIGITS>(r, c);
    r.der_len = oid_to_der(r.der, oid);
    r.oid = oid;
    r.name = name;
    r.der_len2 = oid_to_der(r.der2, oid2);
    r.oid2 = oid2;
    r.name2 = name2;
    r.table_flag = flag;
    return r;
}

}  // namespace

constexpr gostr3410_256_params GOSTR3410_2012_256_PARAMS[GOSTR3410_2012_256_PARAMS_COUNT] = {
    make(kTest, "1.2.643.7.1.2.1.1.0", "id-tc26-gost-3410-2012-256-paramSetTest",
         "1.2.643.2.2.35.0", "id-GostR3410-2001-TestParamSet", 0),
    make(kCryptoProA, "1.2.643.7.1.2.1.1.2", "id-tc26-gost-3410-2012-256-paramSetB",
         "1.2.643.2.2.35.1", "id-GostR3410-2001-CryptoPro-A-ParamSet", 1),
    make(kCryptoProB, "1.2.643.7.1.2.1.1.3", "id-tc26-gost-3410-2012-256-paramSetC",
         "1.2.643.2.2.35.2", "id-GostR3410-2001-CryptoPro-B-ParamSet", 1),
    make(kCryptoProC, "1.2.643.7.1.2.1.1.4", "id-tc26-gost-3410-2012-256-paramSetD",
         "1.2.643.2.2.35.3", "id-GostR3410-2001-CryptoPro-C-ParamSet", 1),
    make(kCryptoProA, "1.2.643.7.1.2.1.1.2", "id-tc26-gost-3410-2012-256-paramSetB",
         "1.2.643.2.2.36.0", "id-GostR3410-2001-CryptoPro-XchA-ParamSet", 1),
    make(kCryptoProC, "1.2.643.7.1.2.1.1.4", "id-tc26-gost-3410-2012-256-paramSetD",
         "1.2.643.2.2.36.1", "id-GostR3410-2001-CryptoPro-XchB-ParamSet", 1),
    make(kTc26A, "1.2.643.7.1.2.1.1.1", "id-tc26-gost-3410-2012-256-paramSetA",
         "1.2.643.7.1.2.1.1.1", "id-tc26-gost-3410-2012-256-paramSetA", 0),
};

static_assert(GOSTR3410_2012_256_PARAMS[1].p[0] == 0xfffffd97u);
static_assert(GOSTR3410_2012_256_PARAMS[1].der_len == 11 &&
              GOSTR3410_2012_256_PARAMS[1].der[2] == 0x2a);
static_assert(GOSTR3410_2012_256_PARAMS[4].der_len2 == 9 &&
              GOSTR3410_2012_256_PARAMS[4].der2[7] == 0x24);

namespace gost_ecc {

const Curve<4>& ec256_context(const gostr3410_256_params* prm, Curve<4>& local) {
    static ContextCache<4, gostr3410_256_params, GOSTR3410_2012_256_PARAMS_COUNT> cache;
    return cache.get(GOSTR3410_2012_256_PARAMS, prm, local);
}

}  // namespace gost_ecc

using Ops256 = gost_ecc::PointOps<gost_ecc::Traits256>;

int GOSTR3410_2012_256_FindParByDerOid(const unsigned char* der, size_t len,
                                       const gostr3410_256_params** out) {
    return Ops256::find(der, len, out, GOSTR3410_2012_256_PARAMS, GOSTR3410_2012_256_PARAMS_COUNT);
}

const gostr3410_256_params* GOSTR3410_2012_256_DefaultPar() {
    return &GOSTR3410_2012_256_PARAMS[1];
}

int epIsZero(const ep_point* P) {
    return Ops256::point_is_zero(*P) ? 1 : 0;
}
void epSetZero(ep_point* P) {
    mpSetZero(P->x, EC256_DIGITS);
    mpSetZero(P->y, EC256_DIGITS);
}

int epAdd(ep_point* R, const ep_point* P, const ep_point* Q, const gostr3410_256_params* params) {
    return Ops256::add(R, P, Q, params);
}
int epMult(ep_point* R, const ep_point* P, const DIGIT_T* k, const gostr3410_256_params* params) {
    return Ops256::mult("epMult", R, P, k, params);
}
int epMultProj(ep_point* R, const ep_point* P, const DIGIT_T* k,
               const gostr3410_256_params* params) {
    return Ops256::mult_proj(R, P, k, params);
}
int epMultPP(ep_point* R, const DIGIT_T* k, const gostr3410_256_params* params) {
    return Ops256::mult_pp(R, k, params);
}
int epProjDouble(ep_point_proj* R, const ep_point_proj* P, const gostr3410_256_params* params) {
    return Ops256::proj_double(R, P, params);
}
int epProjAddMixed(ep_point_proj* R, const ep_point_proj* P1, const ep_point* Q,
                   const gostr3410_256_params* params) {
    return Ops256::proj_add_mixed(R, P1, Q, params);
}
int epProjAdd(ep_point_proj* R, const ep_point_proj* P1, const ep_point_proj* P2,
              const gostr3410_256_params* params) {
    return Ops256::proj_add(R, P1, P2, params);
}
int epProjToAffine(ep_point* R, const ep_point_proj* P, const gostr3410_256_params* params) {
    return Ops256::proj_to_affine(R, P, params);
}
