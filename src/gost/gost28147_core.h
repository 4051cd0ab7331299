// GOST 28147-89 round function, table expansion and block encryption shared by the cipher
// modes and the GOST R 34.11-94 step. Internal to the library and its tests.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "gost/gost28147_89.h"

namespace gost::g28147 {

// Eight 4-bit S-boxes; S-box 0 substitutes the least significant nibble.
using SBox = std::array<std::array<uint8_t, 16>, 8>;

// The S-boxes are written as the standards print them: sixteen hex digits per box, the
// substitution of 0 first.
constexpr SBox parse_sbox(const char* const (&rows)[8]) {
    SBox s{};
    for (int i = 0; i < 8; ++i)
        for (int v = 0; v < 16; ++v) {
            const char c = rows[i][v];
            s[i][v] = uint8_t(c <= '9' ? c - '0' : c - 'a' + 10);
        }
    return s;
}

constexpr TZ expand(const SBox& s) {
    TZ t{};
    for (int j = 0; j < 4; ++j)
        for (int b = 0; b < 256; ++b) {
            const uint32_t sub = uint32_t(s[2 * j][b & 15]) | uint32_t(s[2 * j + 1][b >> 4]) << 4;
            t.k[j][b] = std::rotl(sub << (8 * j), 11);
        }
    t.ready = 1;
    return t;
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline void store32(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

// Zeroes secrets; the empty asm that reads the buffer keeps the stores from being dropped.
inline void wipe(void* p, size_t n) {
    std::memset(p, 0, n);
    asm volatile("" : : "r"(p) : "memory");
}

// b ^ f(a + k). Byte 2 takes two instructions to extract, so its lookup joins the sum last;
// with the other half folded in early the chain is one load and three xors deep.
inline uint32_t round(const TZ& t, uint32_t a, uint32_t b, uint32_t k) {
    const uint32_t x = a + k;
    const uint32_t p = t.k[0][x & 0xff] ^ t.k[1][(x >> 8) & 0xff];
    const uint32_t q = t.k[3][x >> 24] ^ b;
    return (p ^ q) ^ t.k[2][(x >> 16) & 0xff];
}

// Key word used by round r: encryption takes K0..K7 three times then K7..K0, decryption
// K0..K7 once then K7..K0 three times.
template <bool Encrypt>
constexpr int key_index(int r) {
    return (Encrypt ? r < 24 : r < 8) ? (r & 7) : 7 - (r & 7);
}

// W independent blocks through `Rounds` rounds, interleaved so that the table lookups of one
// block overlap the dependent chain of another; block w uses key[w]. n[w][0] = N1, n[w][1] = N2.
// With 32 rounds the halves come out in output order; the MAC's 16 rounds leave them unswapped.
template <int W, bool Encrypt = true, int Rounds = 32>
inline void crypt_blocks(const TZ& t, const uint32_t* const* key, uint32_t (*n)[2]) {
    uint32_t a[W], b[W];
    for (int w = 0; w < W; ++w) a[w] = n[w][0], b[w] = n[w][1];
#pragma GCC unroll 32
    for (int r = 0; r < Rounds; r += 2) {
        for (int w = 0; w < W; ++w) b[w] = round(t, a[w], b[w], key[w][key_index<Encrypt>(r)]);
        for (int w = 0; w < W; ++w) a[w] = round(t, b[w], a[w], key[w][key_index<Encrypt>(r + 1)]);
    }
    for (int w = 0; w < W; ++w) {
        if constexpr (Rounds == 32) {
            n[w][0] = b[w], n[w][1] = a[w];
        } else {
            n[w][0] = a[w], n[w][1] = b[w];
        }
    }
}

template <int W, bool Encrypt = true>
inline void crypt_same_key(const TZ& t, const uint32_t* key, uint32_t (*n)[2]) {
    const uint32_t* keys[W];
    for (int w = 0; w < W; ++w) keys[w] = key;
    crypt_blocks<W, Encrypt>(t, keys, n);
}

template <bool Encrypt = true>
inline void crypt_block(const TZ& t, const uint32_t* key, uint32_t* n) {
    crypt_same_key<1, Encrypt>(t, key, reinterpret_cast<uint32_t(*)[2]>(n));
}

// The MAC step: the first 16 encryption rounds.
inline void mac_block(const TZ& t, const uint32_t* key, uint32_t* n) {
    const uint32_t* keys[1] = {key};
    crypt_blocks<1, true, 16>(t, keys, reinterpret_cast<uint32_t(*)[2]>(n));
}

}  // namespace gost::g28147
