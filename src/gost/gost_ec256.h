// Points on the 256-bit GOST R 34.10 curves y^2 = x^3 + a x + b (mod p) and the table of the
// seven 256-bit parameter sets, looked up by the DER encoding of their object identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gost/gost_mp.h"

inline constexpr size_t EC256_DIGITS = 9;  // 256 bits and one spare digit

// Affine point; (0, 0) is the point at infinity.
struct ep_point {
    DIGIT_T x[EC256_DIGITS];
    DIGIT_T y[EC256_DIGITS];
};

// Jacobian point (X/Z^2, Y/Z^3); X = Y = 0 is the point at infinity.
struct ep_point_proj {
    DIGIT_T X[EC256_DIGITS];
    DIGIT_T Y[EC256_DIGITS];
    DIGIT_T Z[EC256_DIGITS];
};

struct GOSTR3410_2012_256_PARAMS {
    DIGIT_T a[EC256_DIGITS];
    DIGIT_T b[EC256_DIGITS];
    DIGIT_T p[EC256_DIGITS];
    DIGIT_T m[EC256_DIGITS];  // group order
    DIGIT_T q[EC256_DIGITS];  // order of the base point's subgroup
    DIGIT_T x[EC256_DIGITS];  // base point
    DIGIT_T y[EC256_DIGITS];
    uint32_t der_len;  // first identifier: DER with tag and length byte
    uint8_t der[16];
    const char* oid;
    const char* name;
    uint32_t der_len2;  // second identifier
    uint8_t der2[16];
    const char* oid2;
    const char* name2;
    uint32_t table_flag;  // 1 when a = p - 3
};

// The table hides the record type's name; this alias names the type after it.
using gostr3410_256_params = GOSTR3410_2012_256_PARAMS;

inline constexpr size_t GOSTR3410_2012_256_PARAMS_COUNT = 7;
extern const gostr3410_256_params GOSTR3410_2012_256_PARAMS[GOSTR3410_2012_256_PARAMS_COUNT];

// 0 and the first entry either of whose identifiers is exactly this DER, or -1 and null.
int GOSTR3410_2012_256_FindParByDerOid(const unsigned char* der, size_t len,
                                       const gostr3410_256_params** out);
// CryptoPro-A (tc26 paramSetB).
const gostr3410_256_params* GOSTR3410_2012_256_DefaultPar();

int epIsZero(const ep_point* P);
void epSetZero(ep_point* P);

// Every operation accepts any parameter record; results for the table's own records come
// through precomputed contexts. Coordinates need not be reduced. Return 0 unless stated.
int epAdd(ep_point* R, const ep_point* P, const ep_point* Q, const gostr3410_256_params* params);
// R = |k| * P, k read as a signed 9-digit number; -1 (and a line on standard output) for a null
// argument.
int epMult(ep_point* R, const ep_point* P, const DIGIT_T* k, const gostr3410_256_params* params);
// R = k * P; -1 without writing R when k is zero.
int epMultProj(ep_point* R, const ep_point* P, const DIGIT_T* k,
               const gostr3410_256_params* params);
// R = k * base point.
int epMultPP(ep_point* R, const DIGIT_T* k, const gostr3410_256_params* params);
int epProjDouble(ep_point_proj* R, const ep_point_proj* P, const gostr3410_256_params* params);
int epProjAddMixed(ep_point_proj* R, const ep_point_proj* P1, const ep_point* Q,
                   const gostr3410_256_params* params);
int epProjAdd(ep_point_proj* R, const ep_point_proj* P1, const ep_point_proj* P2,
              const gostr3410_256_params* params);
int epProjToAffine(ep_point* R, const ep_point_proj* P, const gostr3410_256_params* params);
