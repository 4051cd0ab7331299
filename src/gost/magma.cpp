#include "gost/magma.h"

#include <atomic>

#include "gost/gostr3412_bytes.h"

namespace {

using gostr3412_bytes::load_be32;
using gostr3412_bytes::store_be32;

// id-tc26-gost-28147-param-Z as printed: row j substitutes nibble j of the 32-bit word (row 0 the
// least significant nibble), entries for the nibble values 0..15.
constexpr uint8_t kSbox[8][16] = {
    {0xc, 0x4, 0x6, 0x2, 0xa, 0x5, 0xb, 0x9, 0xe, 0x8, 0xd, 0x7, 0x0, 0x3, 0xf, 0x1},
    {0x6, 0x8, 0x2, 0x3, 0x9, 0xa, 0x5, 0xc, 0x1, 0xe, 0x4, 0x7, 0xb, 0xd, 0x0, 0xf},
    {0xb, 0x3, 0x5, 0x8, 0x2, 0xf, 0xa, 0xd, 0xe, 0x1, 0x7, 0x4, 0xc, 0x9, 0x6, 0x0},
    {0xc, 0x8, 0x2, 0x1, 0xd, 0x4, 0xf, 0x6, 0x7, 0x0, 0xa, 0x5, 0x3, 0xe, 0x9, 0xb},
    {0x7, 0xf, 0x5, 0xa, 0x8, 0x1, 0x6, 0xd, 0x0, 0x9, 0x3, 0xe, 0xb, 0x4, 0x2, 0xc},
    {0x5, 0xd, 0xf, 0x6, 0x9, 0x2, 0xc, 0xa, 0xb, 0x7, 0x8, 0x1, 0x4, 0x3, 0xe, 0x0},
    {0x8, 0xe, 0x2, 0x5, 0x6, 0x9, 0x1, 0xc, 0xf, 0x4, 0xb, 0x0, 0xd, 0xa, 0x3, 0x7},
    {0x1, 0x7, 0xe, 0xd, 0x0, 0x5, 0x8, 0x3, 0x4, 0xf, 0xa, 0x6, 0x9, 0xc, 0xb, 0x2},
};

constexpr uint32_t rotl11(uint32_t x) {
    return x << 11 | x >> 21;
}

constexpr magma_tables make_tables() {
    magma_tables t{};
    for (int j = 0; j < 4; ++j) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t sub =
                static_cast<uint32_t>(kSbox[2 * j + 1][b >> 4] << 4 | kSbox[2 * j][b & 15]);
            t.t[j][b] = rotl11(sub << (8 * j));
        }
    }
    return t;
}

constexpr magma_tables kBuiltin = make_tables();

// RFC 8891 A.2: g[87654321](fedcba98) = fdcbc20c, i.e. f(0x8641fdb9).
static_assert((kBuiltin.t[0][0xb9] ^ kBuiltin.t[1][0xfd] ^ kBuiltin.t[2][0x41] ^
               kBuiltin.t[3][0x86]) == 0xfdcbc20cU);

std::atomic<const magma_tables*> g_tables{&kBuiltin};

const magma_tables& tables() {
    return *g_tables.load(std::memory_order_relaxed);
}

// B independent blocks go through the rounds side by side: one block's round is a chain of
// dependent loads, and interleaving lets the loads of the others fill the wait.
template <int B, bool Encrypt>
inline void crypt_n(const magma_tables& tab, const uint32_t* k, const uint8_t* in, uint8_t* out) {
    const uint32_t(*t)[256] = tab.t;
    uint32_t a1[B], a0[B];
    for (int i = 0; i < B; ++i) {
        a1[i] = load_be32(in + 8 * i);
        a0[i] = load_be32(in + 8 * i + 4);
    }
    auto f = [t](uint32_t x) {
        return t[0][x & 255] ^ t[1][(x >> 8) & 255] ^ t[2][(x >> 16) & 255] ^ t[3][x >> 24];
    };
    // Rounds go in pairs without swapping halves; the last round's missing swap falls out of that.
    auto pair = [&](uint32_t ka, uint32_t kb) {
        for (int i = 0; i < B; ++i) a1[i] ^= f(a0[i] + ka);
        for (int i = 0; i < B; ++i) a0[i] ^= f(a1[i] + kb);
    };
    auto forward = [&] {
        pair(k[0], k[1]);
        pair(k[2], k[3]);
        pair(k[4], k[5]);
        pair(k[6], k[7]);
    };
    auto backward = [&] {
        pair(k[7], k[6]);
        pair(k[5], k[4]);
        pair(k[3], k[2]);
        pair(k[1], k[0]);
    };
    if (Encrypt) {
        forward();
        forward();
        forward();
        backward();
    } else {
        forward();
        backward();
        backward();
        backward();
    }
    for (int i = 0; i < B; ++i) {
        store_be32(out + 8 * i, a0[i]);
        store_be32(out + 8 * i + 4, a1[i]);
    }
}

// Eight blocks measured fastest; fewer leave the loads idle.
template <bool Encrypt>
void crypt_blocks(const uint32_t* k, const uint8_t* in, uint8_t* out, size_t n) {
    const magma_tables& t = tables();
    for (; n >= 8; n -= 8, in += 64, out += 64) crypt_n<8, Encrypt>(t, k, in, out);
    for (; n > 0; --n, in += 8, out += 8) crypt_n<1, Encrypt>(t, k, in, out);
}

}  // namespace

int tvk_magma_set_key(const uint8_t* key, uint32_t* key_words) {
    if (!key || !key_words) return -1;
    for (int i = 0; i < 8; ++i) key_words[i] = load_be32(key + 4 * i);
    return 0;
}

int tvk_magma_encrypt_block(const uint8_t* in, uint8_t* out, const uint32_t* key_words) {
    if (!in || !out || !key_words) return -1;
    crypt_n<1, true>(tables(), key_words, in, out);
    return 0;
}

int tvk_magma_decrypt_block(const uint8_t* in, uint8_t* out, const uint32_t* key_words) {
    if (!in || !out || !key_words) return -1;
    crypt_n<1, false>(tables(), key_words, in, out);
    return 0;
}

const magma_tables& magma_builtin_tables() {
    return kBuiltin;
}

void magma_use_tables_for_testing(const magma_tables* t) {
    g_tables.store(t ? t : &kBuiltin, std::memory_order_relaxed);
}

namespace magma_detail {

void encrypt_blocks(const uint32_t* key_words, const uint8_t* in, uint8_t* out, size_t nblocks) {
    crypt_blocks<true>(key_words, in, out, nblocks);
}

void decrypt_blocks(const uint32_t* key_words, const uint8_t* in, uint8_t* out, size_t nblocks) {
    crypt_blocks<false>(key_words, in, out, nblocks);
}

}  // namespace magma_detail
