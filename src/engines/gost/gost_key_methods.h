// The "gost" engine's key methods: the key encoding (EVP_PKEY_ASN1_METHOD) and the key
// operations (EVP_PKEY_METHOD) for the GOST signature, agreement and MAC key types. The pieces
// that read only the key record, which the token engines share, are in engines/common.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "engines/common/gost_record_methods.h"

struct TVK2012_ENGINE_CTX;

// ---- key encoding ----

// Creates the method for one of the engine's key types and fills its slots; 0 on failure.
[[nodiscard]] int register_ameth_tvk(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                                     const char* info);

// SEQUENCE { curve, digest } for the key, DER in a fresh string; null on failure.
ASN1_STRING* encode_gost2012_algor_params(const EVP_PKEY* pkey);
// Reads the key parameters of an algorithm identifier into the key (type, record, parameters).
[[nodiscard]] int decode_gost2012_algor_params(EVP_PKEY* pkey, const X509_ALGOR* alg);
// Reads a PKCS#8 privateKey in any of its accepted forms into the key's record.
[[nodiscard]] int create_private_key(TVK2012_ENGINE_CTX* ctx, const X509_ALGOR* alg,
                                     const unsigned char* priv, int priv_len, EVP_PKEY* pkey);

// ---- key operations ----

// Data of one key context of the MAC methods.
struct tvk_mac_data {
    const EVP_MD* md;
    int32_t key_set;
    uint8_t key[32];
};

inline constexpr int EVP_PKEY_CTRL_GOST_PARAMSET = EVP_PKEY_ALG_CTRL + 1;
inline constexpr int EVP_PKEY_CTRL_GOST_CIPHER_PARAMSET = EVP_PKEY_ALG_CTRL + 4;
// The MAC digests' own control that keys them.
inline constexpr int EVP_MD_CTRL_GOST_SET_KEY = EVP_MD_CTRL_ALG_CTRL + 4;
inline constexpr int GOST_MAC_KEY_LEN = 32;

[[nodiscard]] int register_pmeth_tvk(int nid, EVP_PKEY_METHOD** pmeth, int flags);
// The methods of the three MAC key types.
EVP_PKEY_METHOD* tvk_make_mac_method(int nid, int flags);

// The settings of the engine a key belongs to, else of the engine loaded at start-up; without
// either "ENGINE_get_ex_data failed\n" on stderr unless the caller reports it its own way.
TVK2012_ENGINE_CTX* gost_settings_for(const EVP_PKEY* pkey, bool report = true);
