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

inline void wipe(void* p, size_t n) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    while (n--) *v++ = 0;
}

inline uint32_t f(const TZ& t, uint32_t x) {
    return t.k[0][x & 0xff] ^ t.k[1][(x >> 8) & 0xff] ^ t.k[2][(x >> 16) & 0xff] ^ t.k[3][x >> 24];
}

// Round keys in the order the rounds use them.
struct Schedule {
    uint32_t k[32];
};

inline void make_schedule(const uint32_t* key, bool encrypt, Schedule& s) {
    for (int i = 0; i < 8; ++i) {
        if (encrypt) {
            s.k[i] = s.k[8 + i] = s.k[16 + i] = key[i];
            s.k[24 + i] = key[7 - i];
        } else {
            s.k[i] = key[i];
            s.k[8 + i] = s.k[16 + i] = s.k[24 + i] = key[7 - i];
        }
    }
}

// W independent blocks through `rounds` rounds, interleaved so that the table lookups of one
// block overlap the dependent chain of another. n[w][0] = N1, n[w][1] = N2. With 32 rounds the
// halves come out in output order (N1, N2); the MAC's 16 rounds leave them unswapped.
template <int W, int Rounds = 32>
inline void crypt_blocks(const TZ& t, const uint32_t* const* ks, uint32_t (*n)[2]) {
    uint32_t a[W], b[W];
    for (int w = 0; w < W; ++w) a[w] = n[w][0], b[w] = n[w][1];
#pragma GCC unroll 32
    for (int r = 0; r < Rounds; r += 2) {
        for (int w = 0; w < W; ++w) b[w] ^= f(t, a[w] + ks[w][r]);
        for (int w = 0; w < W; ++w) a[w] ^= f(t, b[w] + ks[w][r + 1]);
    }
    for (int w = 0; w < W; ++w) {
        if constexpr (Rounds == 32) {
            n[w][0] = b[w], n[w][1] = a[w];
        } else {
            n[w][0] = a[w], n[w][1] = b[w];
        }
    }
}

template <int W>
inline void crypt_same_key(const TZ& t, const Schedule& s, uint32_t (*n)[2]) {
    const uint32_t* ks[W];
    for (int w = 0; w < W; ++w) ks[w] = s.k;
    crypt_blocks<W>(t, ks, n);
}

inline void crypt_block(const TZ& t, const Schedule& s, uint32_t* n) {
    crypt_same_key<1>(t, s, reinterpret_cast<uint32_t(*)[2]>(n));
}

// The MAC step: the first 16 encryption rounds.
inline void mac_block(const TZ& t, const uint32_t* key, uint32_t* n) {
    const uint32_t* ks[1] = {key};
    uint32_t k16[16];
    for (int i = 0; i < 8; ++i) k16[i] = k16[8 + i] = key[i];
    ks[0] = k16;
    crypt_blocks<1, 16>(t, ks, reinterpret_cast<uint32_t(*)[2]>(n));
}

}  // namespace gost::g28147
