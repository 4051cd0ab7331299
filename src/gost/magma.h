// Magma, the 64-bit block cipher of GOST R 34.12-2015 (RFC 8891), with a 256-bit key: the GOST
// 28147-89 Feistel network with the id-tc26-gost-28147-param-Z substitution, in the byte order the
// new standard prints (first byte in memory = leftmost printed byte).
#pragma once

#include <cstddef>
#include <cstdint>

// The substitution expanded per byte position of the round function's input and already rotated
// left by 11 bits: f(x) = t[0][x0] ^ t[1][x1] ^ t[2][x2] ^ t[3][x3], x0 the lowest byte.
struct magma_tables {
    alignas(64) uint32_t t[4][256];
};

// Key words K1..K8: each group of four key bytes read as a big-endian number. Returns 0, or -1
// when a pointer is NULL.
int tvk_magma_set_key(const uint8_t* key, uint32_t* key_words);
// One block with the eight key words; in and out may be the same buffer. 0, or -1 for NULL.
int tvk_magma_encrypt_block(const uint8_t* in, uint8_t* out, const uint32_t* key_words);
int tvk_magma_decrypt_block(const uint8_t* in, uint8_t* out, const uint32_t* key_words);

// The compiled-in table.
const magma_tables& magma_builtin_tables();
// Test seam: makes every Magma operation use t (nullptr restores the built-in table). Never called
// by the library itself.
void magma_use_tables_for_testing(const magma_tables* t);

namespace magma_detail {
// Many blocks at once (independent blocks are interleaved); in may equal out.
void encrypt_blocks(const uint32_t* key_words, const uint8_t* in, uint8_t* out, size_t nblocks);
void decrypt_blocks(const uint32_t* key_words, const uint8_t* in, uint8_t* out, size_t nblocks);
}  // namespace magma_detail
