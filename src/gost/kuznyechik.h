// Kuznyechik, the 128-bit block cipher of GOST R 34.12-2015 (RFC 7801), with a 256-bit key.
// Keys and blocks are byte strings in the order the standard prints them: the first byte in memory
// is the leftmost byte of the printed hex.
#pragma once

#include <cstddef>
#include <cstdint>

// Round keys K1..K10. Each key is 16 bytes in the printed order, held as two 64-bit words (bytes
// 0..7 and 8..15 read little-endian) so the round code can XOR them directly.
struct kuznechik_round_keys {
    alignas(16) uint64_t k[10][2];
};

// Fixed data of the cipher. The combined tables give, for each byte position and byte value, the
// linear transformation of a block that is zero except for that byte already substituted:
// ls = L(S(x)), ls_inv = L^-1(S^-1(x)). Entries are 16 bytes as two little-endian 64-bit words.
struct kuznechik_tables {
    alignas(64) uint64_t ls[16][256][2];
    alignas(64) uint64_t ls_inv[16][256][2];
    alignas(16) uint64_t c[32][2];  // iteration constants C1..C32
    uint8_t pi[256];
    uint8_t pi_inv[256];
};

// All return 0, or -1 when a pointer is NULL (nothing is written then).
int tvk_kuznechik_set_encrypt_key(const uint8_t* key, kuznechik_round_keys* rk);
// Decryption schedule: the encryption keys with K2..K9 replaced by L^-1(Ki).
int tvk_kuznechik_set_decrypt_key(const uint8_t* key, kuznechik_round_keys* rk);
// in and out may be the same buffer.
int tvk_kuznechik_encrypt_block(const uint8_t* in, uint8_t* out, const kuznechik_round_keys* rk);
int tvk_kuznechik_decrypt_block(const uint8_t* in, uint8_t* out, const kuznechik_round_keys* rk);

// The compiled-in tables.
const kuznechik_tables& kuznechik_builtin_tables();
// Test seam: makes every Kuznyechik operation use t (nullptr restores the built-in tables). Lets a
// test prove that the self-tests catch a damaged table. Never called by the library itself.
void kuznechik_use_tables_for_testing(const kuznechik_tables* t);

namespace kuznechik_detail {
// Many blocks at once (independent blocks are interleaved); in may equal out.
void encrypt_blocks(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                    size_t nblocks);
void decrypt_blocks(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                    size_t nblocks);
}  // namespace kuznechik_detail
