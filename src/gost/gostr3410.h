// GOST R 34.10-2001/2012 keys, signatures and VKO key agreement.
//
// Byte forms: private keys, public coordinates (x then y), digests and UKMs are little-endian;
// a signature is s then r, each big-endian. Numbers are 9-digit (256-bit sets) or 17-digit
// (512-bit sets) arrays; a signature number array holds r in its first half and s in its second.
// Functions return 0 on success and a negative code on failure; they print nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"
#include "gost/gost_mp.h"

// Random source: fills len bytes, 0 on success.
using RND_FUNC = int (*)(unsigned char* buf, size_t len);

inline constexpr int GOSTR3410_OK = 0;
inline constexpr int GOSTR3410_INVALID = -1;     // bad signature, point off the curve, bad input
inline constexpr int GOSTR3410_BAD_PARAMS = -2;  // null argument
inline constexpr int GOSTR3410_RND_FAILED = -3;  // the random source failed or kept giving 0

// ---- conversions (-2 for a null argument) ----
int GOSTR3410_2001_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in32);
int GOSTR3410_2012_256_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in32);
int GOSTR3410_2012_512_LoadPrivateKeyValue(DIGIT_T* d, const unsigned char* in64);
int GOSTR3410_2001_UnloadPrivateKeyValue(unsigned char* out32, const DIGIT_T* d);
int GOSTR3410_2012_256_UnloadPrivateKeyValue(unsigned char* out32, const DIGIT_T* d);
int GOSTR3410_2012_512_UnloadPrivateKeyValue(unsigned char* out64, const DIGIT_T* d);
int GOSTR3410_2001_LoadPublicKeyValue(ep_point* Q, const unsigned char* in64);
int GOSTR3410_2012_256_LoadPublicKeyValue(ep_point* Q, const unsigned char* in64);
int GOSTR3410_2012_512_LoadPublicKeyValue(dep_point* Q, const unsigned char* in128);
int GOSTR3410_2001_UnloadPublicKeyValue(unsigned char* out64, const ep_point* Q);
int GOSTR3410_2012_256_UnloadPublicKeyValue(unsigned char* out64, const ep_point* Q);
int GOSTR3410_2012_512_UnloadPublicKeyValue(unsigned char* out128, const dep_point* Q);
// sig: 18 or 34 digits, r then s.
int GOSTR3410_2012_256_LoadSignatureValue(DIGIT_T* sig, const unsigned char* in64);
int GOSTR3410_2012_512_LoadSignatureValue(DIGIT_T* sig, const unsigned char* in128);
int GOSTR3410_2012_256_UnloadSignatureValue(unsigned char* out64, const DIGIT_T* sig);
int GOSTR3410_2012_512_UnloadSignatureValue(unsigned char* out128, const DIGIT_T* sig);
int GOSTR3410_2012_256_LoadDigestValue(DIGIT_T* e, const unsigned char* in32);
int GOSTR3410_2012_512_LoadDigestValue(DIGIT_T* e, const unsigned char* in64);

// ---- public keys: 0 on the curve, -1 not on it, -2 null ----
int ecCheckPuKey(const gostr3410_256_params* params, const ep_point* Q);
int GOSTR3410_2012_256_CheckPublicKey(const gostr3410_256_params* params, const ep_point* Q);
int GOSTR3410_2012_512_CheckPublicKey(const gostr3410_512_params* params, const dep_point* Q);
// Q = d * P, then the curve check's result.
int ecGeneratePublicKey(const gostr3410_256_params* params, const DIGIT_T* d, ep_point* Q);
int GOSTR3410_2012_256_GeneratePublicKey(const gostr3410_256_params* params, const DIGIT_T* d,
                                         ep_point* Q);
int GOSTR3410_2012_512_GeneratePublicKey(const gostr3410_512_params* params, const DIGIT_T* d,
                                         dep_point* Q);
// The public key of a private key given as bytes: priv_len 32 (a 256-bit set named by its DER
// identifier curve_der) gives 64 bytes at pub, 64 gives 128; -2 for a null or other length, else
// the first failing step's code.
int GOSTR3410_2012_PublicKeyFromPrivate(const unsigned char* curve_der, size_t der_len,
                                        const unsigned char* priv, size_t priv_len,
                                        unsigned char* pub);

// ---- random scalars below q ----
// 9 digits from 36 random bytes: -1 no source, -2 the source failed.
int Getbig_RND(RND_FUNC rnd, DIGIT_T* out, const DIGIT_T* q);
// n digits from 4n random bytes: -1 no source or the source failed.
int Getbig_RND_n(RND_FUNC rnd, DIGIT_T* out, const DIGIT_T* q, size_t n);

// ---- key pairs: -2 null; a failing source gives -2 (256-bit) or -3 (512-bit) ----
int ecGenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d, ep_point* Q);
int GOSTR3410_2001_GenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d,
                                   ep_point* Q);
int GOSTR3410_2012_256_GenerateKeyPair(const gostr3410_256_params* params, RND_FUNC rnd, DIGIT_T* d,
                                       ep_point* Q);
int GOSTR3410_2012_512_GenerateKeyPair(const gostr3410_512_params* params, RND_FUNC rnd, DIGIT_T* d,
                                       dep_point* Q);

// ---- signatures: sign 0 / -2 null / -3 random source; verify 0 valid / -1 invalid / -2 null ----
int GOSTR3410_2012_256_Sign(const gostr3410_256_params* params, const DIGIT_T* e, RND_FUNC rnd,
                            const DIGIT_T* d, DIGIT_T* sig);
int GOSTR3410_2012_512_Sign(const gostr3410_512_params* params, const DIGIT_T* e, RND_FUNC rnd,
                            const DIGIT_T* d, DIGIT_T* sig);
int GOSTR3410_2012_256_Verify(const gostr3410_256_params* params, const DIGIT_T* e,
                              const ep_point* Q, const DIGIT_T* sig);
int GOSTR3410_2012_512_Verify(const gostr3410_512_params* params, const DIGIT_T* e,
                              const dep_point* Q, const DIGIT_T* sig);

// ---- VKO ----
// The peer point must lie on the curve with both coordinates below p and not be infinity, and the
// scalar (m/q) * UKM * d mod q must not be zero; otherwise -1, as for a null argument or a UKM
// length outside the stated range.
// K = ((m/q) * ukm * d mod q) * Q.
int GOSTR3410_2001_VKO_point(const gostr3410_256_params* params, const DIGIT_T* ukm,
                             const DIGIT_T* d, const ep_point* Q, ep_point* K);
// RFC 4357: GOST R 34.11-94, with the given hash parameter set, of x_K || y_K; UKM 1 .. 32 bytes.
struct GOSTR3411_94_PARAMS;
int GOSTR3410_2001_VKO(const gostr3410_256_params* params, const GOSTR3411_94_PARAMS* hash_params,
                       const unsigned char* ukm, size_t ukm_len, const DIGIT_T* d,
                       const ep_point* Q, unsigned char* out32);
// RFC 7836: GOST R 34.11-2012 256-bit hash of x_K || y_K; UKM 1 .. 32 or 1 .. 64 bytes.
int GOSTR3410_2012_256_VKO_256(const gostr3410_256_params* params, const unsigned char* ukm,
                               size_t ukm_len, const DIGIT_T* d, const ep_point* Q,
                               unsigned char* out32);
int GOSTR3410_2012_512_VKO_256(const gostr3410_512_params* params, const unsigned char* ukm,
                               size_t ukm_len, const DIGIT_T* d, const dep_point* Q,
                               unsigned char* out32);
