#include "gost/gost_ec512.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "gost/gost_ecc_curves.h"

namespace {

using namespace gost_ecc;

// Curve values as published (RFC 9215 appendix E, RFC 7836 appendices A.1 and A.2).
constexpr CurveText kTest = {
    "7",
    "1cff0806a31116da29d8cfa54e57eb748bc5f377e49400fdd788b649eca1ac4361834013b2ad7322480a89ca58e0"
    "cf74bc9e540c2add6897fad0a3084f302adc",
    "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15df1d852741af4704a0458047e80"
    "e4546d35b8336fac224dd81664bbf528be6373",
    "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15da82f2d7ecb1dbac719905c5eec"
    "c423f1d86e25edbe23c595d644aaf187e6e6df",
    "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15da82f2d7ecb1dbac719905c5eec"
    "c423f1d86e25edbe23c595d644aaf187e6e6df",
    "24d19cc64572ee30f396bf6ebbfd7a6c5213b3b3d7057cc825f91093a68cd762fd60611262cd838dc6b60aa7ee"
    "e804e28bc849977fac33b4b530f1b120248a9a",
    "2bb312a43bd2ce6e0d020613c857acddcfbf061e91e5f2c3f32447c259f39b2c83ab156d77f1496bf7eb3351e1"
    "ee4e43dc1a18b91b24640b6dbb92cb1add371e"};
constexpr CurveText kA = {
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "fffffffffffffffffffffffffffffffffffdc4",
    "e8c2505dedfc86ddc1bd0b2b6667f1da34b82574761cb0e879bd081cfd0b6265ee3cb090f30d27614cb4574010"
    "da90dd862ef9d4ebee4761503190785a71c760",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "fffffffffffffffffffffffffffffffffffdc7",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff27e69532f48d89116ff22b8d4e"
    "0560609b4b38abfad2b85dcacdb1411f10b275",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff27e69532f48d89116ff22b8d4e"
    "0560609b4b38abfad2b85dcacdb1411f10b275",
    "3",
    "7503cfe87a836ae3a61b8816e25450e6ce5e1c93acf1abc1778064fdcbefa921df1626be4fd036e93d75e6a50e"
    "3a41e98028fe5fc235f5b889a589cb5215f2a4"};
constexpr CurveText kB = {
    "800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000006c",
    "687d1b459dc841457e3e06cf6f5e2517b97c7d614af138bcbf85dc806c4b289f3e965d2db1416d217f8b276fad"
    "1ab69c50f78bee1fa3106efb8ccbc7c5140116",
    "800000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000006f",
    "800000000000000000000000000000000000000000000000000000000000000149a1ec142565a545acfdb77bd9"
    "d40cfa8b996712101bea0ec6346c54374f25bd",
    "800000000000000000000000000000000000000000000000000000000000000149a1ec142565a545acfdb77bd9"
    "d40cfa8b996712101bea0ec6346c54374f25bd",
    "2",
    "1a8f7eda389b094c2c071e3647a8940f3c123b697578c213be6dd9e6c8ec7335dcb228fd1edf4a39152cbcaaf8"
    "c0398828041055f94ceeec7e21340780fe41bd"};
constexpr CurveText kC = {
    "dc9203e514a721875485a529d2c722fb187bc8980eb866644de41c68e143064546e861c0e2c9edd92ade71f46f"
    "cf50ff2ad97f951fda9f2a2eb6546f39689bd3",
    "b4c4ee28cebc6c2c8ac12952cf37f16ac7efb6a9f69f4b57ffda2e4f0de5ade038cbc2fff719d2c18de0284b8b"
    "fef3b52b8cc7a5f5bf0a3c8d2319a5312557e1",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "fffffffffffffffffffffffffffffffffffdc7",
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff26336e91941aac0130cea7fd45"
    "1d40b323b6a79e9da6849a5188f3bd1fc08fb4",
    "3fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffc98cdba46506ab004c33a9ff51"
    "47502cc8eda9e7a769a12694623cef47f023ed",
    "e2e31edfc23de7bdebe241ce593ef5de2295b7a9cbaef021d385f7074cea043aa27272a7ae602bf2a7b9033db9"
    "ed3610c6fb85487eae97aac5bc7928c1950148",
    "f5ce40d95b5eb899abbccff5911cb8577939804d6527378b8c108c3d2090ff9be18e2d33e3021ed2ef32d85822"
    "423b6304f726aa854bae07d0396e9a9addc40f"};

consteval gostr3410_512_params make(const CurveText& c, const char* oid, const char* name,
                                    uint32_t flag) {
    gostr3410_512_params r{};
    fill_curve<gostr3410_512_params, EC512_DIGITS>(r, c);
    r.der_len = oid_to_der(r.der, oid);
    r.oid = oid;
    r.name = name;
    r.table_flag = flag;
    return r;
}

}  // namespace

constexpr gostr3410_512_params GOSTR3410_2012_512_PARAMS[GOSTR3410_2012_512_PARAMS_COUNT] = {
    make(kTest, "1.2.643.7.1.2.1.2.0", "id-tc26-gost-3410-2012-512-paramSetTest", 0),
    make(kA, "1.2.643.7.1.2.1.2.1", "id-tc26-gost-3410-2012-512-paramSetA", 1),
    make(kB, "1.2.643.7.1.2.1.2.2", "id-tc26-gost-3410-2012-512-paramSetB", 1),
    make(kC, "1.2.643.7.1.2.1.2.3", "id-tc26-gost-3410-2012-512-paramSetC", 0),
};

static_assert(GOSTR3410_2012_512_PARAMS[1].p[0] == 0xfffffdc7u);
static_assert(GOSTR3410_2012_512_PARAMS[3].der_len == 11 &&
              GOSTR3410_2012_512_PARAMS[3].der[10] == 3);

namespace gost_ecc {

bool adx_available() {
#if GOST_ECC_HAVE_ADX
    // Leaf 7: EBX bit 8 is BMI2 (mulx), bit 19 ADX (adcx, adox); clang's builtin knows no "adx".
    unsigned a, b, c, d;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b >> 8 & 1) && (b >> 19 & 1);
#else
    return false;
#endif
}

std::atomic<bool> g_use_adx{adx_available()};

bool use_adx(bool enable) {
    const bool on = enable && adx_available();
    g_use_adx.store(on, std::memory_order_relaxed);
    return on;
}

const Curve<8>& ec512_context(const gostr3410_512_params* prm, Curve<8>& local) {
    static ContextCache<8, gostr3410_512_params, GOSTR3410_2012_512_PARAMS_COUNT> cache;
    return cache.get(GOSTR3410_2012_512_PARAMS, prm, local);
}

}  // namespace gost_ecc

using Ops512 = gost_ecc::PointOps<gost_ecc::Traits512>;

int GOSTR3410_2012_512_FindParByDerOid(const unsigned char* der, size_t len,
                                       const gostr3410_512_params** out) {
    return Ops512::find(der, len, out, GOSTR3410_2012_512_PARAMS, GOSTR3410_2012_512_PARAMS_COUNT);
}

const gostr3410_512_params* GOSTR3410_2012_512_DefaultPar() {
    return &GOSTR3410_2012_512_PARAMS[1];
}

int depIsZero(const dep_point* P) {
    return Ops512::point_is_zero(*P) ? 1 : 0;
}
void depSetZero(dep_point* P) {
    mpSetZero(P->x, EC512_DIGITS);
    mpSetZero(P->y, EC512_DIGITS);
}

int depAdd(dep_point* R, const dep_point* P, const dep_point* Q,
           const gostr3410_512_params* params) {
    return Ops512::add(R, P, Q, params);
}
int depMult(dep_point* R, const dep_point* P, const DIGIT_T* k,
            const gostr3410_512_params* params) {
    return Ops512::mult("depMult", R, P, k, params);
}
int depMultProj(dep_point* R, const dep_point* P, const DIGIT_T* k,
                const gostr3410_512_params* params) {
    return Ops512::mult_proj(R, P, k, params);
}
int depMultPP(dep_point* R, const DIGIT_T* k, const gostr3410_512_params* params) {
    return Ops512::mult_pp(R, k, params);
}
int depProjDouble(dep_point_proj* R, const dep_point_proj* P, const gostr3410_512_params* params) {
    return Ops512::proj_double(R, P, params);
}
int depProjAddMixed(dep_point_proj* R, const dep_point_proj* P1, const dep_point* Q,
                    const gostr3410_512_params* params) {
    return Ops512::proj_add_mixed(R, P1, Q, params);
}
int depProjAdd(dep_point_proj* R, const dep_point_proj* P1, const dep_point_proj* P2,
               const gostr3410_512_params* params) {
    return Ops512::proj_add(R, P1, P2, params);
}
int depProjToAffine(dep_point* R, const dep_point_proj* P, const gostr3410_512_params* params) {
    return Ops512::proj_to_affine(R, P, params);
}
