// Fixed-width multiple-precision integers: arrays of 32-bit digits, least significant digit first,
// with the digit count passed explicitly. Every temporary lives on the stack, so nothing here can
// run out of memory; a count outside 1 .. MP_MAX_DIGITS is refused with -1 instead.
#pragma once

#include <cstddef>
#include <cstdint>

using DIGIT_T = uint32_t;

// Largest digit count any function accepts (double-length products of 512-bit values need 34).
inline constexpr size_t MP_MAX_DIGITS = 72;

// Arithmetic modulo 2^(32n); return the carry or borrow out.
DIGIT_T mpAdd(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n);
DIGIT_T mpSubtract(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n);
// w (2n digits) = u * v; w must not overlap u or v.
int mpMultiply(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, size_t n);
// q = u div v, r = u mod v, both udigits long; -1 (q and r zero) when v is zero.
int mpDivide(DIGIT_T* q, DIGIT_T* r, const DIGIT_T* u, size_t udigits, const DIGIT_T* v,
             size_t vdigits);
// r (mdigits) = u mod m.
int mpModulo(DIGIT_T* r, const DIGIT_T* u, size_t udigits, const DIGIT_T* m, size_t mdigits);
int mpModMult(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n);
// 0 and the inverse, or 1 and zero when gcd(u, m) != 1.
int mpModInv(DIGIT_T* inv, const DIGIT_T* u, const DIGIT_T* m, size_t n);
int mpModAdd(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n);
int mpModSub(DIGIT_T* w, const DIGIT_T* u, const DIGIT_T* v, const DIGIT_T* m, size_t n);
// Shifts by any amount; for s below 32 the bits pushed out are returned, otherwise 0.
DIGIT_T mpShiftLeft(DIGIT_T* a, const DIGIT_T* b, size_t s, size_t n);
DIGIT_T mpShiftRight(DIGIT_T* a, const DIGIT_T* b, size_t s, size_t n);
// q = u div d for one digit d != 0; returns u mod d (0 and q zero when d is zero).
DIGIT_T mpShortDiv(DIGIT_T* q, const DIGIT_T* u, DIGIT_T d, size_t n);

int mpCompare(const DIGIT_T* a, const DIGIT_T* b, size_t n);
int mpEqual(const DIGIT_T* a, const DIGIT_T* b, size_t n);
int mpIsZero(const DIGIT_T* a, size_t n);
void mpSetZero(DIGIT_T* a, size_t n);
void mpSetEqual(DIGIT_T* a, const DIGIT_T* b, size_t n);
void mpSetDigit(DIGIT_T* a, DIGIT_T d, size_t n);

// Two's-complement view of the top bit.
int mpIsNegative(const DIGIT_T* a, size_t n);
DIGIT_T mpChs(DIGIT_T* a, const DIGIT_T* b, size_t n);
DIGIT_T mpAbs(DIGIT_T* a, const DIGIT_T* b, size_t n);

// Big-endian byte strings.
size_t mpConvFromOctets(DIGIT_T* a, size_t n, const unsigned char* bytes, size_t len);
size_t mpConvToOctets(const DIGIT_T* a, size_t n, unsigned char* bytes, size_t len);

// Overwrites with zeros in a way the optimiser cannot drop.
void mpWipe(void* p, size_t bytes);
