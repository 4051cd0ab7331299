#include "gost/gostr3411_94.h"

#include <array>
#include <cstring>
#include <utility>

#include "gost/gost28147_core.h"

using namespace gost::g28147;

namespace {

inline uint64_t load64(const uint8_t* p) {
    return uint64_t(load32(p)) | uint64_t(load32(p + 4)) << 32;
}

inline void store64(uint8_t* p, uint64_t v) {
    store32(p, uint32_t(v));
    store32(p + 4, uint32_t(v >> 32));
}

inline uint16_t load16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

// The shuffle psi over sixteen 16-bit words (word 0 least significant) is linear, so psi^n is a
// fixed selection of input words for each output word. Masks: bit i of mask[j] set when input
// word i enters output word j.
using Masks = std::array<uint16_t, 16>;

constexpr Masks psi_power(int n) {
    Masks m{};
    for (int i = 0; i < 16; ++i) m[i] = uint16_t(1u << i);
    for (int r = 0; r < n; ++r) {
        const uint16_t top = m[0] ^ m[1] ^ m[2] ^ m[3] ^ m[12] ^ m[15];
        for (int i = 0; i < 15; ++i) m[i] = m[i + 1];
        m[15] = top;
    }
    return m;
}

// H' = psi^61(H ^ psi(M ^ psi^12(S))) = psi^61(H) ^ psi^62(M) ^ psi^74(S)
constexpr Masks kPsi61 = psi_power(61), kPsi62 = psi_power(62), kPsi74 = psi_power(74);

template <uint16_t Mask, size_t... I>
inline uint16_t select_xor(const uint16_t* w, std::index_sequence<I...>) {
    return uint16_t((((Mask >> I) & 1 ? w[I] : uint16_t(0)) ^ ...));
}

template <const Masks& M, size_t... J>
inline void apply(const uint16_t* in, uint16_t* out, std::index_sequence<J...>) {
    ((out[J] ^= select_xor<M[J]>(in, std::make_index_sequence<16>{})), ...);
}

constexpr uint64_t kC3[4] = {0xff00ff00ff00ff00, 0x00ff00ff00ff00ff, 0xff0000ff00ffff00,
                             0xff00ffff000000ff};

// A(y4 || y3 || y2 || y1) = (y1 ^ y2) || y4 || y3 || y2, with y1 the least significant 64 bits.
inline void a_transform(uint64_t* y) {
    const uint64_t t = y[0] ^ y[1];
    y[0] = y[1], y[1] = y[2], y[2] = y[3], y[3] = t;
}

// P: byte k of 64-bit word i moves to byte i of 32-bit key word k.
inline void p_transform(const uint64_t* w, uint32_t* key) {
    for (int k = 0; k < 8; ++k) {
        key[k] = uint32_t(uint8_t(w[0] >> (8 * k))) | uint32_t(uint8_t(w[1] >> (8 * k))) << 8 |
                 uint32_t(uint8_t(w[2] >> (8 * k))) << 16 |
                 uint32_t(uint8_t(w[3] >> (8 * k))) << 24;
    }
}

void step(const TZ& tz, uint32_t* H, const uint8_t* m) {
    uint8_t hb[32];
    for (int i = 0; i < 8; ++i) store32(hb + 4 * i, H[i]);
    uint64_t u[4], v[4], w[4];
    for (int i = 0; i < 4; ++i) u[i] = load64(hb + 8 * i), v[i] = load64(m + 8 * i);

    uint32_t keys[4][8];
    for (int j = 0; j < 4; ++j) {
        if (j > 0) {
            a_transform(u);
            if (j == 2)
                for (int i = 0; i < 4; ++i) u[i] ^= kC3[i];
            a_transform(v);
            a_transform(v);
        }
        for (int i = 0; i < 4; ++i) w[i] = u[i] ^ v[i];
        p_transform(w, keys[j]);
    }

    // The four encryptions are independent: run them interleaved.
    uint32_t s[4][2];
    const uint32_t* ks[4] = {keys[0], keys[1], keys[2], keys[3]};
    for (int i = 0; i < 4; ++i) s[i][0] = H[2 * i], s[i][1] = H[2 * i + 1];
    crypt_blocks<4>(tz, ks, s);

    uint8_t sb[32];
    for (int i = 0; i < 4; ++i) store32(sb + 8 * i, s[i][0]), store32(sb + 8 * i + 4, s[i][1]);
    uint16_t hw[16], mw[16], sw[16], out[16] = {};
    for (int i = 0; i < 16; ++i)
        hw[i] = load16(hb + 2 * i), mw[i] = load16(m + 2 * i), sw[i] = load16(sb + 2 * i);
    apply<kPsi61>(hw, out, std::make_index_sequence<16>{});
    apply<kPsi62>(mw, out, std::make_index_sequence<16>{});
    apply<kPsi74>(sw, out, std::make_index_sequence<16>{});
    for (int i = 0; i < 8; ++i) H[i] = uint32_t(out[2 * i]) | uint32_t(out[2 * i + 1]) << 16;
    wipe(keys, sizeof keys);
}

void add256(uint32_t* sum, const uint8_t* block) {
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        carry += uint64_t(sum[i]) + load32(block + 4 * i);
        sum[i] = uint32_t(carry);
        carry >>= 32;
    }
}

void add_length(uint32_t* length, uint32_t bits) {
    const uint64_t low = (uint64_t(length[1]) << 32 | length[0]) + bits;
    length[0] = uint32_t(low), length[1] = uint32_t(low >> 32);
}

void hash_block(GOSTR3411_94_CTX* ctx, const uint8_t* block, uint32_t bits) {
    step(*ctx->tz, ctx->H, block);
    add_length(ctx->length, bits);
    add256(ctx->sigma, block);
}

}  // namespace

int GOSTR3411_94_Init_ex(GOSTR3411_94_CTX* ctx, const TZ* tz) {
    if (ctx == nullptr || tz == nullptr) return -1;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->tz = tz;
    return 0;
}

int GOSTR3411_94_Init_more_par(GOSTR3411_94_CTX* ctx, const uint8_t* der, uint32_t der_len,
                               const GOSTR3411_94_PARAMS* extra, uint32_t extra_count) {
    if (ctx == nullptr || der == nullptr || der_len == 0) return -1;
    if (extra == nullptr && extra_count > 0) return -1;
    const GOSTR3411_94_PARAMS* row = nullptr;
    if (GOSTR3411_94_FindParByDerOid(der, der_len, &row) != 0) {
        for (uint32_t i = 0; i < extra_count && row == nullptr; ++i)
            if (extra[i].der_len == der_len && extra[i].der != nullptr &&
                std::memcmp(extra[i].der, der, der_len) == 0)
                row = &extra[i];
    }
    if (row == nullptr) return -3001;
    return GOSTR3411_94_Init_ex(ctx, row->tz);
}

int GOSTR3411_94_Init(GOSTR3411_94_CTX* ctx, const uint8_t* der, uint32_t der_len) {
    return GOSTR3411_94_Init_more_par(ctx, der, der_len, nullptr, 0);
}

int GOSTR3411_94_Update(GOSTR3411_94_CTX* ctx, const uint8_t* data, uint32_t len) {
    if (ctx == nullptr || ctx->tz == nullptr || data == nullptr || len == 0 || ctx->count > 32)
        return -1;
    if (ctx->count < 32) {
        const uint32_t take = std::min(32 - ctx->count, len);
        std::memcpy(ctx->buffer + ctx->count, data, take);
        ctx->count += take;
        data += take, len -= take;
        if (ctx->count < 32) return 0;
    }
    hash_block(ctx, ctx->buffer, 256);
    // A block that ends the input stays in the buffer, for Final or the next Update.
    for (; len > 32; data += 32, len -= 32) hash_block(ctx, data, 256);
    std::memcpy(ctx->buffer, data, len);
    ctx->count = len;
    return 0;
}

int GOSTR3411_94_Final(GOSTR3411_94_CTX* ctx, uint8_t* out) {
    if (ctx == nullptr || ctx->tz == nullptr || out == nullptr || ctx->count > 32) return -1;
    if (ctx->count > 0) {
        std::memset(ctx->buffer + ctx->count, 0, 32 - ctx->count);
        hash_block(ctx, ctx->buffer, 8 * ctx->count);
    }
    uint8_t block[32];
    for (int i = 0; i < 8; ++i) store32(block + 4 * i, ctx->length[i]);
    step(*ctx->tz, ctx->H, block);
    for (int i = 0; i < 8; ++i) store32(block + 4 * i, ctx->sigma[i]);
    step(*ctx->tz, ctx->H, block);
    for (int i = 0; i < 8; ++i) store32(out + 4 * i, ctx->H[i]);
    wipe(block, sizeof block);
    return 0;
}

int GOSTR3411_94_Transform_more_par(const uint8_t* der, uint32_t der_len,
                                    const GOSTR3411_94_PARAMS* extra, uint32_t extra_count,
                                    const uint8_t* data, uint32_t len, uint8_t* out) {
    if ((data == nullptr && len > 0) || out == nullptr) return -1;
    GOSTR3411_94_CTX ctx;
    int rc = GOSTR3411_94_Init_more_par(&ctx, der, der_len, extra, extra_count);
    // Update refuses an empty piece; an empty message is still a message.
    if (rc == 0 && len > 0) rc = GOSTR3411_94_Update(&ctx, data, len);
    if (rc == 0) rc = GOSTR3411_94_Final(&ctx, out);
    wipe(&ctx, sizeof ctx);
    return rc;
}

int GOSTR3411_94_Transform(const uint8_t* der, uint32_t der_len, const uint8_t* data, uint32_t len,
                           uint8_t* out) {
    return GOSTR3411_94_Transform_more_par(der, der_len, nullptr, 0, data, len, out);
}
