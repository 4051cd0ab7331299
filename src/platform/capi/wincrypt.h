// A small stand-in for Windows CryptoAPI and its certificate stores: what the "mscryptoapi"
// engine calls, with the handles, flags, byte orders and error codes it relies on. Stores and key
// containers come from a directory (SSF_CAPI_DIR, see capi_test.h) or from the test interface.
// RSA and DSA keys work through the crypto library, GOST R 34.10 keys through our GOST library.
#pragma once

#include <cstdint>

namespace capi {

using BOOL = int;
using BYTE = uint8_t;
using DWORD = uint32_t;
using ALG_ID = uint32_t;
using LPCSTR = const char*;
using LPCWSTR = const char16_t*;  // UTF-16 as on Windows; Linux wchar_t is 32 bits
using HCRYPTPROV = uintptr_t;
using HCRYPTKEY = uintptr_t;
using HCRYPTHASH = uintptr_t;

struct Store;
using HCERTSTORE = Store*;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    void* pCertInfo;  // not decoded by the stand-in
    HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_HASH_BLOB {
    DWORD cbData;
    BYTE* pbData;
};

struct CRYPT_KEY_PROV_INFO {
    char16_t* pwszContainerName;
    char16_t* pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    void* rgProvParam;
    DWORD dwKeySpec;
};

// ---- identifiers ----
inline constexpr DWORD X509_ASN_ENCODING = 1, PKCS_7_ASN_ENCODING = 0x10000;
inline constexpr DWORD CERT_FIND_ANY = 0, CERT_FIND_SHA1_HASH = 0x10000;
inline constexpr uintptr_t CERT_STORE_PROV_SYSTEM_A = 9;
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x10000;
inline constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x4000;
inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 1;
inline constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x40, CRYPT_SILENT = 0x40;
inline constexpr DWORD AT_KEYEXCHANGE = 1, AT_SIGNATURE = 2;
inline constexpr DWORD PROV_RSA_FULL = 1, PROV_DSS = 3, PROV_RSA_SCHANNEL = 12, PROV_DSS_DH = 13,
                       PROV_RSA_AES = 24;
// GOST providers' types.
inline constexpr DWORD PROV_GOST_2001_DH = 75, PROV_GOST_2012_256 = 80, PROV_GOST_2012_512 = 81;

inline constexpr ALG_ID CALG_MD5 = 0x8003, CALG_SHA1 = 0x8004, CALG_SSL3_SHAMD5 = 0x8008,
                        CALG_SHA_256 = 0x800C, CALG_SHA_384 = 0x800D, CALG_SHA_512 = 0x800E;
inline constexpr ALG_ID CALG_GR3411 = 0x801E, CALG_GR3411_2012_256 = 0x8021,
                        CALG_GR3411_2012_512 = 0x8022;
inline constexpr ALG_ID CALG_G28147 = 0x661E, CALG_PRO_EXPORT = 0x661F;
inline constexpr ALG_ID CALG_GR3410EL = 0x2E23, CALG_GR3410_12_256 = 0x2E49,
                        CALG_GR3410_12_512 = 0x2E3D;

inline constexpr DWORD HP_HASHVAL = 2;
inline constexpr DWORD PP_KEYEXCHANGE_PIN = 32, PP_SIGNATURE_PIN = 33, PP_CIPHEROID = 93;
inline constexpr DWORD KP_IV = 1, KP_ALGID = 7, KP_CIPHEROID = 104;
inline constexpr BYTE SIMPLEBLOB = 1, PUBLICKEYBLOB = 6, CUR_BLOB_VERSION_GOST = 0x20;
inline constexpr DWORD CRYPT_EXPORTABLE = 1;

// ---- error codes (GetLastError) ----
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2, ERROR_INVALID_HANDLE = 6,
                       ERROR_INVALID_PARAMETER = 87, ERROR_MORE_DATA = 234;
inline constexpr DWORD NTE_BAD_UID = 0x80090001, NTE_BAD_HASH = 0x80090002,
                       NTE_BAD_KEY = 0x80090003, NTE_BAD_LEN = 0x80090004,
                       NTE_BAD_DATA = 0x80090005, NTE_BAD_SIGNATURE = 0x80090006,
                       NTE_BAD_ALGID = 0x80090008, NTE_BAD_FLAGS = 0x80090009,
                       NTE_BAD_TYPE = 0x8009000A, NTE_BAD_KEY_STATE = 0x8009000B,
                       NTE_NO_KEY = 0x8009000D, NTE_BAD_PUBLIC_KEY = 0x80090015,
                       NTE_BAD_KEYSET = 0x80090016, NTE_PROV_TYPE_NOT_DEF = 0x80090017,
                       NTE_KEYSET_NOT_DEF = 0x80090019, NTE_PROV_TYPE_NO_MATCH = 0x8009001B,
                       NTE_SILENT_CONTEXT = 0x80090022;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B, SCARD_W_CANCELLED_BY_USER = 0x8010006E;

// Per thread, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD code);

// ---- certificate stores ----
HCERTSTORE CertOpenStore(uintptr_t provider, DWORD encoding, uintptr_t hprov, DWORD flags,
                         const void* para);
HCERTSTORE CertOpenSystemStoreA(uintptr_t hprov, LPCSTR name);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
// Frees prev (when given) and returns the next match, or NULL with CRYPT_E_NOT_FOUND.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD find_flags,
                                          DWORD find_type, const void* para, PCCERT_CONTEXT prev);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT prev);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT cert);
// With data NULL only *len is set; a short buffer gives ERROR_MORE_DATA and the length needed.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD prop, void* data, DWORD* len);

// ---- providers, keys and hashes ----
BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider, DWORD type,
                          DWORD flags);
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT cert, DWORD flags, void* reserved,
                                       HCRYPTPROV* prov, DWORD* key_spec, BOOL* caller_free);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* len, DWORD flags);

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
// HP_HASHVAL reads as many bytes as the hash algorithm's value has.
BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags);
// Signatures come back little-endian: RSA reversed, DSA r || s, GOST the reversed s || r.
BOOL CryptSignHashA(HCRYPTHASH hash, DWORD key_spec, LPCSTR description, DWORD flags, BYTE* sig,
                    DWORD* len);
BOOL CryptDestroyHash(HCRYPTHASH hash);

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD key_spec, HCRYPTKEY* key);
BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
// RSA PKCS#1 v1.5 decryption of a little-endian ciphertext, in place.
BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* len);
BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* len, DWORD flags);
// GOST blobs: a PUBLICKEYBLOB imported with the user key gives an agreement key (VKO); a
// SIMPLEBLOB imported with an agreement key gives the session key it wraps.
BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* blob, DWORD len, HCRYPTKEY with, DWORD flags,
                    HCRYPTKEY* key);
BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY with, DWORD type, DWORD flags, BYTE* blob, DWORD* len);

}  // namespace capi
