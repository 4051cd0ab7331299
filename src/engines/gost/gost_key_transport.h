// GOST key transport (RFC 4490 with the CryptoPro key wrap) and VKO key agreement behind the
// encrypt, decrypt and derive slots of the engine's key operations.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "engines/common/gost_key_record.h"
#include "gost/gost28147_params.h"

// The KDF label of the R 50.1.113-2016 key-encryption key.
inline constexpr uint8_t kKekLabel2016[4] = {0x26, 0xBD, 0xB8, 0x78};

int pkey_tvk_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                     const unsigned char* key, size_t key_len);
// The token engines' encryption slot: key-transport encryption needs only the recipient's
// public key, so it is this engine's software.
int pkey_engine_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                        const unsigned char* key, size_t key_len);
int pkey_tvk_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                     const unsigned char* in, size_t in_len);
int pkey_tvk_derive(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len);

// The DER key transport of a 32-byte key for the recipient. With out null only *out_len is set;
// otherwise *out_len is the room at out on entry and the bytes written on success. 1 or 0.
[[nodiscard]] int t_gost3410_kek_enc(const tvk_gost2012_key* recipient,
                                     const tvk_gost2012_key* sender, const uint8_t* cipher_der,
                                     uint32_t cipher_der_len, const uint8_t* ukm, uint32_t ukm_len,
                                     const uint8_t* key, size_t key_len, uint8_t* out,
                                     size_t* out_len);
// The 32-byte key from a DER key transport; *out_len is the room on entry. 1 or 0.
[[nodiscard]] int t_gost3410_kek_dec(const uint8_t* priv, uint32_t priv_len,
                                     const tvk_gost2012_key* sender, const uint8_t* in,
                                     size_t in_len, uint8_t* out, size_t* out_len);
// The CryptoPro key unwrap (RFC 4357 6.4) of a 32-byte wrapped key and its 4-byte MAC under a
// 32-byte VKO key-encryption key, diversified by the UKM (at least 8 bytes) with the
// R 50.1.113-2016 KDF or the CryptoPro KDF, whichever the MAC confirms (compared in constant
// time). 1 with the key in out (32 bytes), 0 when neither MAC matches, -1 when a KDF or the
// cipher failed; failed (when given) tells where. It writes no line: callers have their own.
enum class KekUnwrapStep { none, kdf, init, update, final };
struct KekUnwrapFailure {
    KekUnwrapStep step = KekUnwrapStep::none;
    bool in_mac = false;        // the step failed in the MAC pass, not the ECB decryption
    const char* kdf = nullptr;  // for a KDF failure: which KDF
    int rc = 0;                 // the failing call's own code
};
[[nodiscard]] int tvk_kek_unwrap(const GOST28147_89_PARAMS* row, const uint8_t* kek,
                                 const uint8_t* ukm, uint32_t ukm_len, const uint8_t* wrapped,
                                 const uint8_t* imit, uint8_t* out,
                                 KekUnwrapFailure* failed = nullptr);
// The 32-byte VKO value of an own private key and a peer's public key. 1 or 0.
[[nodiscard]] int tvk_dh_gost3410_derive(uint8_t* out, size_t* out_len, int own_type,
                                         const uint8_t* priv, uint32_t priv_len,
                                         const uint8_t* param_der, uint32_t param_der_len,
                                         const uint8_t* peer_pub, uint32_t peer_pub_len,
                                         const uint8_t* ukm, uint32_t ukm_len);
