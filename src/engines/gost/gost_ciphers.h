// GOST 28147-89 in the "gost" engine: the four cipher tables and the MAC digest table, and the
// data they share.
#pragma once

#include <openssl/evp.h>

#include <cstdint>

#include "gost/gost28147_89.h"

// Cipher data of the four ciphers and digest data of the MAC.
struct tvk_cipher_ctx {
    GOST28147_89_CTX core;
    int32_t param_nid;  // GOST 28147-89 parameter set; 0 until one is chosen
    uint8_t key[32];    // the last key given
    int32_t mode;       // core mode; for gost89 0 stands for CFB
    // The MAC's own IV (control 4098): kept here because a MAC context driven without a key
    // context has nowhere else to keep it.
    uint8_t mac_iv[8];
    int32_t mac_iv_set;
    // Set once a key was given. Until then the core stays unstarted, so data given to a cipher
    // or the MAC fails instead of being processed under the all-zero key, a value nobody chose.
    int32_t key_set;
};

// Cipher controls beyond the crypto library's own.
inline constexpr int TVK_CTRL_SET_PARAM_NID = 0x1001;  // 4097
inline constexpr int TVK_CTRL_SET_MODE = 0x1002;       // 4098 (cipher), set IV (MAC)
inline constexpr int TVK_CTRL_GET_MODE = 0x1003;       // 4099 (cipher), key length (MAC)
inline constexpr int TVK_CTRL_SET_KEY = 0x1004;        // 4100, MAC only
// Arguments of TVK_CTRL_SET_MODE for gost89.
inline constexpr int TVK_MODE_ECB = 1, TVK_MODE_CBC = 2, TVK_MODE_CFB = 3, TVK_MODE_CNT = 4;

const EVP_CIPHER* tvk_cipher_gost89();
const EVP_CIPHER* tvk_cipher_gost89_cnt();
const EVP_CIPHER* tvk_cipher_gost89_cbc();
const EVP_CIPHER* tvk_cipher_gost89_ecb();
const EVP_MD* tvk_imit_gost89();

int tvk_set_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type);
int gost89_get_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type);

// The parameter row for a parameter-set number, falling back to the engine's default set; null
// with a line on stderr when neither is known.
struct GOST28147_89_PARAMS;
struct TVK2012_ENGINE_CTX;
const GOST28147_89_PARAMS* tvk_find_cipher_row(int param_nid, const TVK2012_ENGINE_CTX* settings,
                                               bool* used_default);
// The settings that cipher and MAC contexts use: the engine loaded at start-up, else the engine
// that serves gost89 (a dynamically loaded one); null with the line
// "ENGINE_get_ex_data failed\n" when there is none.
TVK2012_ENGINE_CTX* tvk_cipher_settings();
