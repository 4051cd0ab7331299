#include "gost/kuznyechik.h"

#include <array>
#include <atomic>
#include <cstring>

#include "gost/gost_pi.h"
#include "gost/gostr3412_bytes.h"

namespace {

using gost::kPi;

// Coefficients of the linear function l over the bytes in memory order (a15 first), as printed.
constexpr uint8_t kLinear[16] = {148, 32,  133, 16, 194, 192, 1,   251,
                                 1,   192, 194, 16, 133, 32,  148, 1};

using Block = std::array<uint8_t, 16>;

// Multiplication in GF(2^8) modulo x^8 + x^7 + x^6 + x + 1.
constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0xc3 : 0));
        b >>= 1;
    }
    return r;
}

constexpr uint8_t linear(const Block& x, size_t count) {
    uint8_t l = 0;
    for (size_t i = 0; i < count; ++i) l ^= gf_mul(kLinear[i], x[i]);
    return l;
}

// R: l(a) enters at the front, everything else moves one byte towards the end.
constexpr Block step_r(const Block& x) {
    Block y{};
    y[0] = linear(x, 16);
    for (size_t k = 1; k < 16; ++k) y[k] = x[k - 1];
    return y;
}

// R^-1: the coefficient of the last byte is 1, so it is recovered from l's value.
constexpr Block step_r_inv(const Block& y) {
    Block x{};
    for (size_t k = 1; k < 16; ++k) x[k - 1] = y[k];
    x[15] = static_cast<uint8_t>(y[0] ^ linear(x, 15));
    return x;
}

template <bool Inverse>
constexpr Block transform_l(Block x) {
    for (int i = 0; i < 16; ++i) x = Inverse ? step_r_inv(x) : step_r(x);
    return x;
}

constexpr void put_block(uint64_t (&dst)[2], const Block& b) {
    dst[0] = dst[1] = 0;
    for (size_t j = 0; j < 16; ++j) dst[j / 8] |= static_cast<uint64_t>(b[j]) << (8 * (j % 8));
}

constexpr kuznechik_tables make_tables() {
    kuznechik_tables t{};
    for (int v = 0; v < 256; ++v) t.pi[v] = kPi[v];
    for (int v = 0; v < 256; ++v) t.pi_inv[kPi[v]] = static_cast<uint8_t>(v);
    // L and L^-1 are linear over GF(2^8): their matrices come from the unit vectors, and every
    // table entry is one column times the substituted byte.
    uint8_t m[16][16]{}, m_inv[16][16]{};
    for (size_t i = 0; i < 16; ++i) {
        Block e{};
        e[i] = 1;
        const Block col = transform_l<false>(e), col_inv = transform_l<true>(e);
        for (size_t j = 0; j < 16; ++j) {
            m[j][i] = col[j];
            m_inv[j][i] = col_inv[j];
        }
    }
    // Entry = column * s; multiplication distributes over XOR, so each entry is the XOR of the
    // column multiplied by the powers of two present in s.
    for (size_t i = 0; i < 16; ++i) {
        uint64_t pow[8][2]{}, pow_inv[8][2]{};
        Block col{}, col_inv{};
        for (size_t j = 0; j < 16; ++j) {
            col[j] = m[j][i];
            col_inv[j] = m_inv[j][i];
        }
        for (int k = 0; k < 8; ++k) {
            put_block(pow[k], col);
            put_block(pow_inv[k], col_inv);
            for (size_t j = 0; j < 16; ++j) {
                col[j] = gf_mul(col[j], 2);
                col_inv[j] = gf_mul(col_inv[j], 2);
            }
        }
        for (int v = 0; v < 256; ++v) {
            const uint8_t s = kPi[v], s_inv = t.pi_inv[v];
            for (int k = 0; k < 8; ++k) {
                for (int h = 0; h < 2; ++h) {
                    if (s >> k & 1) t.ls[i][v][h] ^= pow[k][h];
                    if (s_inv >> k & 1) t.ls_inv[i][v][h] ^= pow_inv[k][h];
                }
            }
        }
    }
    for (int j = 0; j < 32; ++j) {
        Block v{};
        v[15] = static_cast<uint8_t>(j + 1);
        put_block(t.c[j], transform_l<false>(v));
    }
    return t;
}

constexpr kuznechik_tables kBuiltin = make_tables();

// C1 is a published value that needs L right.
static_assert(kBuiltin.c[0][0] == 0xb87a486c7276a26eULL &&
                  kBuiltin.c[0][1] == 0x019484dd10bd275dULL,
              "C1 = 6ea276726c487ab85d27bd10dd849401");
static_assert(kBuiltin.pi[0] == 0xfc && kBuiltin.pi_inv[0xfc] == 0 && kBuiltin.pi[255] == 0xb6);

std::atomic<const kuznechik_tables*> g_tables{&kBuiltin};

const kuznechik_tables& tables() {
    return *g_tables.load(std::memory_order_relaxed);
}

using V2 = uint64_t __attribute__((vector_size(16)));

inline V2 load_v(const void* p) {
    V2 v;
    std::memcpy(&v, p, 16);
    return v;
}

inline void store_v(void* p, V2 v) {
    std::memcpy(p, &v, 16);
}

inline V2 entry(const uint64_t (*tab)[256][2], size_t pos, uint64_t byte) {
    return load_v(tab[pos][byte]);
}

// One table step: the XOR over the 16 byte positions of the entries for their values.
inline V2 table_step(const uint64_t (*tab)[256][2], V2 x) {
    const uint64_t lo = x[0], hi = x[1];
    V2 a = entry(tab, 0, lo & 255) ^ entry(tab, 1, (lo >> 8) & 255) ^
           entry(tab, 2, (lo >> 16) & 255) ^ entry(tab, 3, (lo >> 24) & 255);
    V2 b = entry(tab, 4, (lo >> 32) & 255) ^ entry(tab, 5, (lo >> 40) & 255) ^
           entry(tab, 6, (lo >> 48) & 255) ^ entry(tab, 7, lo >> 56);
    V2 c = entry(tab, 8, hi & 255) ^ entry(tab, 9, (hi >> 8) & 255) ^
           entry(tab, 10, (hi >> 16) & 255) ^ entry(tab, 11, (hi >> 24) & 255);
    V2 d = entry(tab, 12, (hi >> 32) & 255) ^ entry(tab, 13, (hi >> 40) & 255) ^
           entry(tab, 14, (hi >> 48) & 255) ^ entry(tab, 15, hi >> 56);
    return (a ^ b) ^ (c ^ d);
}

inline V2 substitute(const uint8_t* box, V2 x) {
    uint8_t b[16];
    store_v(b, x);
    for (auto& v : b) v = box[v];
    return load_v(b);
}

// Independent blocks go side by side: each round is a chain of dependent loads, and the other
// blocks' loads fill the wait.
template <size_t B>
inline void encrypt_n(const kuznechik_tables& t, const kuznechik_round_keys& rk, const uint8_t* in,
                      uint8_t* out) {
    V2 x[B];
    for (size_t j = 0; j < B; ++j) x[j] = load_v(in + 16 * j);
    for (int i = 0; i < 9; ++i) {
        const V2 k = load_v(rk.k[i]);
        for (size_t j = 0; j < B; ++j) x[j] = table_step(t.ls, x[j] ^ k);
    }
    for (size_t j = 0; j < B; ++j) store_v(out + 16 * j, x[j] ^ load_v(rk.k[9]));
}

// L^-1 is reached as (L^-1 S^-1) S; the keys K2..K9 are stored as L^-1(Ki), so the inverse rounds
// stay one table step each.
template <size_t B>
inline void decrypt_n(const kuznechik_tables& t, const kuznechik_round_keys& rk, const uint8_t* in,
                      uint8_t* out) {
    V2 x[B];
    for (size_t j = 0; j < B; ++j)
        x[j] = table_step(t.ls_inv, substitute(t.pi, load_v(in + 16 * j) ^ load_v(rk.k[9])));
    for (int i = 8; i >= 1; --i) {
        const V2 k = load_v(rk.k[i]);
        for (size_t j = 0; j < B; ++j) x[j] = table_step(t.ls_inv, x[j]) ^ k;
    }
    for (size_t j = 0; j < B; ++j)
        store_v(out + 16 * j, substitute(t.pi_inv, x[j]) ^ load_v(rk.k[0]));
}

// Four blocks measured fastest: fewer leave the loads idle, more spill registers.
constexpr size_t kWay = 4;

void expand_key(const kuznechik_tables& t, const uint8_t* key, kuznechik_round_keys& rk) {
    V2 a = load_v(key), b = load_v(key + 16);
    store_v(rk.k[0], a);
    store_v(rk.k[1], b);
    for (int j = 0; j < 32; ++j) {
        const V2 f = table_step(t.ls, a ^ load_v(t.c[j])) ^ b;
        b = a;
        a = f;
        if (j % 8 == 7) {
            store_v(rk.k[2 + j / 8 * 2], a);
            store_v(rk.k[3 + j / 8 * 2], b);
        }
    }
}

}  // namespace

int tvk_kuznechik_set_encrypt_key(const uint8_t* key, kuznechik_round_keys* rk) {
    if (!key || !rk) return -1;
    expand_key(tables(), key, *rk);
    return 0;
}

int tvk_kuznechik_set_decrypt_key(const uint8_t* key, kuznechik_round_keys* rk) {
    if (!key || !rk) return -1;
    const kuznechik_tables& t = tables();
    expand_key(t, key, *rk);
    for (int i = 1; i <= 8; ++i)
        store_v(rk->k[i], table_step(t.ls_inv, substitute(t.pi, load_v(rk->k[i]))));
    return 0;
}

int tvk_kuznechik_encrypt_block(const uint8_t* in, uint8_t* out, const kuznechik_round_keys* rk) {
    if (!in || !out || !rk) return -1;
    encrypt_n<1>(tables(), *rk, in, out);
    return 0;
}

int tvk_kuznechik_decrypt_block(const uint8_t* in, uint8_t* out, const kuznechik_round_keys* rk) {
    if (!in || !out || !rk) return -1;
    decrypt_n<1>(tables(), *rk, in, out);
    return 0;
}

const kuznechik_tables& kuznechik_builtin_tables() {
    return kBuiltin;
}

void kuznechik_use_tables_for_testing(const kuznechik_tables* t) {
    g_tables.store(t ? t : &kBuiltin, std::memory_order_relaxed);
}

namespace kuznechik_detail {

void encrypt_blocks(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                    size_t nblocks) {
    const kuznechik_tables& t = tables();
    for (; nblocks >= kWay; nblocks -= kWay, in += 16 * kWay, out += 16 * kWay)
        encrypt_n<kWay>(t, rk, in, out);
    for (; nblocks > 0; --nblocks, in += 16, out += 16) encrypt_n<1>(t, rk, in, out);
}

void decrypt_blocks(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                    size_t nblocks) {
    const kuznechik_tables& t = tables();
    for (; nblocks >= kWay; nblocks -= kWay, in += 16 * kWay, out += 16 * kWay)
        decrypt_n<kWay>(t, rk, in, out);
    for (; nblocks > 0; --nblocks, in += 16, out += 16) decrypt_n<1>(t, rk, in, out);
}

}  // namespace kuznechik_detail
