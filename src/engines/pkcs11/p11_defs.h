// The Cryptoki ABI as Linux modules publish it: the platform's standard definitions (native
// CK_ULONG, natural alignment) and the GOST vendor values that header does not carry.
#pragma once

// TRUE and FALSE as macros would break other headers' own names; CK_TRUE and CK_FALSE remain.
#ifndef CK_DISABLE_TRUE_FALSE
#define CK_DISABLE_TRUE_FALSE
#endif
#include <p11-kit/pkcs11.h>

#include <cstddef>

// TC26 vendor values for GOST R 34.10-2012 512-bit keys.
inline constexpr CK_KEY_TYPE CKK_GOSTR3410_512 = 0xD4321003UL;
inline constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_512_KEY_PAIR_GEN = 0xD4321005UL;
inline constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_512 = 0xD4321006UL;
inline constexpr CK_MECHANISM_TYPE CKM_GOSTR3410_12_DERIVE = 0xD4321007UL;

// Parameters of the GOST R 34.10 key derivation (VKO) mechanisms.
struct CK_GOSTR3410_DERIVE_PARAMS {
    CK_ULONG kdf;  // CKD_NULL: the VKO value itself
    CK_BYTE_PTR pPublicData;
    CK_ULONG ulPublicDataLen;
    CK_BYTE_PTR pUKM;
    CK_ULONG ulUKMLen;
};
static_assert(sizeof(CK_GOSTR3410_DERIVE_PARAMS) == 40, "native layout: five 8-byte members");
static_assert(sizeof(CK_ULONG) == 8 && offsetof(CK_ATTRIBUTE, pValue) == 8,
              "Linux modules use 8-byte CK_ULONG and natural alignment");

// The constant name of a return value, "unknown PKCS11 error" for any other value.
const char* get_ckr_name(CK_RV rv);
