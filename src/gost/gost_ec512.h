// Points on the 512-bit GOST R 34.10-2012 curves and the table of the four 512-bit parameter
// sets, looked up by the DER encoding of their object identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gost/gost_mp.h"

inline constexpr size_t EC512_DIGITS = 17;  // 512 bits and one spare digit

// Affine point; (0, 0) is the point at infinity.
struct dep_point {
    DIGIT_T x[EC512_DIGITS];
    DIGIT_T y[EC512_DIGITS];
};

// Jacobian point (X/Z^2, Y/Z^3); X = Y = 0 is the point at infinity.
struct dep_point_proj {
    DIGIT_T X[EC512_DIGITS];
    DIGIT_T Y[EC512_DIGITS];
    DIGIT_T Z[EC512_DIGITS];
};

struct GOSTR3410_2012_512_PARAMS {
    DIGIT_T a[EC512_DIGITS];
    DIGIT_T b[EC512_DIGITS];
    DIGIT_T p[EC512_DIGITS];
    DIGIT_T m[EC512_DIGITS];
    DIGIT_T q[EC512_DIGITS];
    DIGIT_T x[EC512_DIGITS];
    DIGIT_T y[EC512_DIGITS];
    uint32_t der_len;
    uint8_t der[16];
    const char* oid;
    const char* name;
    uint32_t table_flag;  // 1 when a = p - 3
};

// The table hides the record type's name; this alias names the type after it.
using gostr3410_512_params = GOSTR3410_2012_512_PARAMS;

inline constexpr size_t GOSTR3410_2012_512_PARAMS_COUNT = 4;
extern const gostr3410_512_params GOSTR3410_2012_512_PARAMS[GOSTR3410_2012_512_PARAMS_COUNT];

int GOSTR3410_2012_512_FindParByDerOid(const unsigned char* der, size_t len,
                                       const gostr3410_512_params** out);
// tc26 paramSetA.
const gostr3410_512_params* GOSTR3410_2012_512_DefaultPar();

int depIsZero(const dep_point* P);
void depSetZero(dep_point* P);

// As the 256-bit operations in gost_ec256.h.
int depAdd(dep_point* R, const dep_point* P, const dep_point* Q,
           const gostr3410_512_params* params);
int depMult(dep_point* R, const dep_point* P, const DIGIT_T* k, const gostr3410_512_params* params);
int depMultProj(dep_point* R, const dep_point* P, const DIGIT_T* k,
                const gostr3410_512_params* params);
int depMultPP(dep_point* R, const DIGIT_T* k, const gostr3410_512_params* params);
int depProjDouble(dep_point_proj* R, const dep_point_proj* P, const gostr3410_512_params* params);
int depProjAddMixed(dep_point_proj* R, const dep_point_proj* P1, const dep_point* Q,
                    const gostr3410_512_params* params);
int depProjAdd(dep_point_proj* R, const dep_point_proj* P1, const dep_point_proj* P2,
               const gostr3410_512_params* params);
int depProjToAffine(dep_point* R, const dep_point_proj* P, const gostr3410_512_params* params);
