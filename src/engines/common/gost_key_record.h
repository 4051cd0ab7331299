// The engine-side GOST R 34.10 key: the record every GOST key object of the crypto library
// carries, the parameter-set tables, and the signature operations on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cryptoext/objects.h"

inline constexpr uint32_t GOST_PRIV_256 = 32, GOST_PRIV_512 = 64;
inline constexpr uint32_t GOST_PUB_256 = 64, GOST_PUB_512 = 128;
inline constexpr uint32_t GOST_KEY_ID_LEN = 20;

// The CryptoAPI and PKCS#11 key records begin with the same four fields, so verification,
// comparison and size queries work on all three.
struct tvk_gost2012_key {
    int32_t pkey_nid;                 // gost2001, gost2012_256 or gost2012_512
    int32_t param_nid;                // a row of the parameter tables below; 0 when not chosen
    uint8_t pub_key[GOST_PUB_512];    // x || y, little-endian
    uint32_t pub_key_len;             // 64 or 128
    uint8_t priv_key[GOST_PRIV_512];  // little-endian
    uint32_t priv_key_len;            // 32 or 64: selects the 256- or 512-bit code everywhere
    uint8_t key_id[GOST_KEY_ID_LEN];  // SHA-1 of the DER OCTET STRING of the public key
    int32_t has_private_key;
};

// Zero-filled from the crypto library's allocator; null when that fails.
tvk_gost2012_key* tvk_gost2012_alloc();
// Wipes the private key before freeing.
void tvk_gost2012_free(tvk_gost2012_key* key);

struct gost2012_param_oid {
    objmap::Obj obj;
    const char* oid;
    uint8_t der[12];  // tag, length, content
    uint32_t der_len;
};
std::span<const gost2012_param_oid> gost2012_256_param_oids();
std::span<const gost2012_param_oid> gost2012_512_param_oids();
// The row of the given size's table whose object has this number; null when none.
const gost2012_param_oid* gost2012_find_param(int param_nid, bool is_512);

// True for gost2001, gost2012_256, gost2012_512.
bool gost2012_is_sign_type(int nid);
// The digest parameter set written beside the key parameter set of a signature key type.
int gost2012_digest_param_nid(int key_type);
// True when all n bytes are zero: a key part that is not set.
bool all_zero(const uint8_t* p, size_t n);

// DER (06, length, content) of an object's identifier, at most 16 bytes; 0 when it has none.
[[nodiscard]] int gost_param_der(int nid, uint8_t* der, uint32_t* der_len);

[[nodiscard]] int fill_GOST2012_params(tvk_gost2012_key* key, int pkey_nid, int param_nid);
int pkcs11_id_gen(const uint8_t* pub, uint32_t pub_len, uint8_t* id);
[[nodiscard]] int gost3410_public_key_derive(const uint8_t* priv, uint32_t priv_len,
                                             const uint8_t* der, uint32_t der_len, uint8_t* pub,
                                             uint32_t* pub_len);
[[nodiscard]] int gost3410_public_key_derive_key(void* unused, tvk_gost2012_key* key);
[[nodiscard]] int tvk_gost2012_keygen_wrapper(void* unused, tvk_gost2012_key* key);
[[nodiscard]] int gost3410_sign(const uint8_t* digest, uint8_t* sig, const uint8_t* der,
                                uint32_t der_len, const uint8_t* priv, uint32_t priv_len);
[[nodiscard]] int tvk_gost2012_do_sign(const uint8_t* digest, size_t digest_len, uint8_t* sig,
                                       const tvk_gost2012_key* key);
[[nodiscard]] int gost3410_verify(const uint8_t* sig, const uint8_t* digest, const uint8_t* der,
                                  uint32_t der_len, const uint8_t* pub, uint32_t pub_len);
[[nodiscard]] int tvk_gost2012_do_verify(const uint8_t* digest, size_t digest_len,
                                         const uint8_t* sig, const tvk_gost2012_key* key);
// The random source of the GOST core: 0 when the crypto library filled the buffer.
int tvk_rnd_func(unsigned char* buf, size_t len);
// Appends "xx:" per byte, 16 to a line, each line indented; returns 0.
int gost_hexdump(const uint8_t* bytes, size_t n, std::string* out, int indent);
