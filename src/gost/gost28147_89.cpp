#include "gost/gost28147_89.h"

#include <cstring>

#include "gost/gost28147_core.h"

using namespace gost::g28147;

namespace {

// RFC 4357 section 2.3.2: the key is replaced by the decryption of this constant under itself.
constexpr uint8_t kMeshConstant[32] = {
    0x69, 0x00, 0x72, 0x22, 0x64, 0xc9, 0x04, 0x23, 0x8d, 0x3a, 0xdb, 0x96, 0x46, 0xe9, 0x2a, 0xc4,
    0x18, 0xfe, 0xac, 0x94, 0x00, 0xed, 0x07, 0x12, 0xc0, 0x86, 0xdc, 0xc2, 0xef, 0x4c, 0xa9, 0x2b};

constexpr uint32_t kMeshPeriod = 1024;

inline void load_block(const uint8_t* p, uint32_t* n) {
    n[0] = load32(p);
    n[1] = load32(p + 4);
}

inline void store_block(uint8_t* p, const uint32_t* n) {
    store32(p, n[0]);
    store32(p + 4, n[1]);
}

inline void xor_block(const uint8_t* in, const uint32_t* gamma, uint8_t* out) {
    store32(out, load32(in) ^ gamma[0]);
    store32(out + 4, load32(in + 4) ^ gamma[1]);
}

inline void counter_step(uint32_t* c) {
    c[0] += 0x01010101;
    const uint32_t s = c[1] + 0x01010104;
    c[1] = s < 0x01010104 ? s + 1 : s;  // modulo 2^32 - 1
}

int check_worker_args(const TZ* tz, const GOST_BLOB* in, const GOST_BLOB* out, const void* key) {
    if (tz == nullptr || in == nullptr || out == nullptr || key == nullptr) return -1;
    if (in->data == nullptr || out->data == nullptr) return -1;
    if (in->length == 0 || in->length > out->length) return -4;
    if (tz->ready != 1) return -2;
    return 0;
}

template <bool Encrypt>
void ecb_blocks(const TZ& t, const uint32_t* key, const uint8_t* in, uint8_t* out, size_t blocks) {
    uint32_t n[4][2];
    for (; blocks >= 4; blocks -= 4, in += 32, out += 32) {
        for (int w = 0; w < 4; ++w) load_block(in + 8 * w, n[w]);
        crypt_same_key<4, Encrypt>(t, key, n);
        for (int w = 0; w < 4; ++w) store_block(out + 8 * w, n[w]);
    }
    for (; blocks > 0; --blocks, in += 8, out += 8) {
        load_block(in, n[0]);
        crypt_block<Encrypt>(t, key, n[0]);
        store_block(out, n[0]);
    }
}

// Counter gamma for whole blocks; the counter is stepped before each encryption.
void cnt_blocks(const TZ& t, const uint32_t* key, uint32_t* ctr, const uint8_t* in, uint8_t* out,
                size_t blocks) {
    uint32_t n[4][2];
    for (; blocks >= 4; blocks -= 4, in += 32, out += 32) {
        for (int w = 0; w < 4; ++w) {
            counter_step(ctr);
            n[w][0] = ctr[0], n[w][1] = ctr[1];
        }
        crypt_same_key<4>(t, key, n);
        for (int w = 0; w < 4; ++w) xor_block(in + 8 * w, n[w], out + 8 * w);
    }
    for (; blocks > 0; --blocks, in += 8, out += 8) {
        counter_step(ctr);
        n[0][0] = ctr[0], n[0][1] = ctr[1];
        crypt_block(t, key, n[0]);
        xor_block(in, n[0], out);
    }
}

// CFB over whole blocks; iv is the register (last ciphertext block). Decryption knows every
// register in advance, so its blocks are encrypted four at a time.
void cfb_blocks(const TZ& t, const uint32_t* key, uint32_t* iv, const uint8_t* in, uint8_t* out,
                size_t blocks, bool encrypt) {
    uint32_t n[4][2];
    if (!encrypt) {
        for (; blocks >= 4; blocks -= 4, in += 32, out += 32) {
            n[0][0] = iv[0], n[0][1] = iv[1];
            for (int w = 1; w < 4; ++w) load_block(in + 8 * (w - 1), n[w]);
            load_block(in + 24, iv);
            crypt_same_key<4>(t, key, n);
            for (int w = 0; w < 4; ++w) xor_block(in + 8 * w, n[w], out + 8 * w);
        }
    }
    for (; blocks > 0; --blocks, in += 8, out += 8) {
        n[0][0] = iv[0], n[0][1] = iv[1];
        crypt_block(t, key, n[0]);
        uint32_t c[2];
        load_block(in, c);
        const uint32_t p[2] = {c[0] ^ n[0][0], c[1] ^ n[0][1]};
        if (encrypt) {
            iv[0] = p[0], iv[1] = p[1];
        } else {
            iv[0] = c[0], iv[1] = c[1];
        }
        store_block(out, p);
    }
}

void cbc_blocks(const TZ& t, const uint32_t* key, uint32_t* iv, const uint8_t* in, uint8_t* out,
                size_t blocks, bool encrypt) {
    uint32_t n[4][2];
    if (encrypt) {
        for (; blocks > 0; --blocks, in += 8, out += 8) {
            load_block(in, n[0]);
            n[0][0] ^= iv[0], n[0][1] ^= iv[1];
            crypt_block(t, key, n[0]);
            iv[0] = n[0][0], iv[1] = n[0][1];
            store_block(out, n[0]);
        }
    } else {
        for (; blocks > 0;) {
            const size_t w_count = blocks >= 4 ? 4 : 1;
            uint32_t c[4][2];
            for (size_t w = 0; w < w_count; ++w) {
                load_block(in + 8 * w, c[w]);
                n[w][0] = c[w][0], n[w][1] = c[w][1];
            }
            if (w_count == 4) {
                crypt_same_key<4, false>(t, key, n);
            } else {
                crypt_block<false>(t, key, n[0]);
            }
            for (size_t w = 0; w < w_count; ++w) {
                n[w][0] ^= iv[0], n[w][1] ^= iv[1];
                iv[0] = c[w][0], iv[1] = c[w][1];
                store_block(out + 8 * w, n[w]);
            }
            blocks -= w_count, in += 8 * w_count, out += 8 * w_count;
        }
    }
}

void mesh(GOST28147_89_CTX* ctx) {
    uint8_t k[32];
    ecb_blocks<false>(ctx->tz, ctx->key, kMeshConstant, k, 4);
    for (int i = 0; i < 8; ++i) ctx->key[i] = load32(k + 4 * i);
    crypt_block(ctx->tz, ctx->key, ctx->iv);
    ctx->mesh_count = 0;
    wipe(k, sizeof k);
}

inline void mesh_if_due(GOST28147_89_CTX* ctx) {
    if (ctx->key_meshing == 1 && ctx->mesh_count == kMeshPeriod) mesh(ctx);
}

// Whole blocks of CFB or CNT through the context: runs up to each 1024-byte mark, meshing there.
void stream_blocks(GOST28147_89_CTX* ctx, const uint8_t* in, uint8_t* out, size_t blocks) {
    while (blocks > 0) {
        size_t run = blocks;
        if (ctx->key_meshing == 1) {
            if (ctx->mesh_count == kMeshPeriod) mesh(ctx);
            const size_t until_mark = (kMeshPeriod - ctx->mesh_count) / 8;
            if (run > until_mark) run = until_mark;
        }
        if (ctx->mode == GOST28147_89_MODE_CNT) {
            cnt_blocks(ctx->tz, ctx->key, ctx->iv, in, out, run);
        } else {
            cfb_blocks(ctx->tz, ctx->key, ctx->iv, in, out, run, ctx->encrypt == 1);
        }
        ctx->mesh_count += uint32_t(8 * run);  // only read when meshing is on
        blocks -= run, in += 8 * run, out += 8 * run;
    }
}

int stream_update(GOST28147_89_CTX* ctx, const GOST_BLOB* in, GOST_BLOB* out) {
    if (out->data == nullptr) return -1;
    if (in->length == 0 || in->length > out->length) return -4;
    if (ctx->tz.ready != 1) return -2;
    const bool cfb = ctx->mode == GOST28147_89_MODE_CFB;
    if (!cfb && (ctx->flags & GOST28147_89_FLAG_FIRST)) {
        crypt_block(ctx->tz, ctx->key, ctx->iv);
    }
    ctx->flags = 0;
    const uint8_t* src = in->data;
    uint8_t* dst = out->data;
    uint32_t left = in->length;
    if (ctx->partial_count > 0) {
        uint32_t pos = 8 - ctx->partial_count;
        for (; left > 0 && ctx->partial_count > 0; --left, ++pos, --ctx->partial_count) {
            const uint8_t c = *src++;
            const uint8_t o = c ^ ctx->partial[pos];
            if (cfb) ctx->partial[pos] = ctx->encrypt == 1 ? o : c;
            *dst++ = o;
        }
        if (ctx->partial_count > 0) {
            out->length = in->length;
            return 0;
        }
        if (cfb) load_block(ctx->partial, ctx->iv);
    }
    stream_blocks(ctx, src, dst, left / 8);
    src += left & ~7u, dst += left & ~7u, left &= 7;
    if (left > 0) {
        uint8_t block[8] = {};
        std::memcpy(block, src, left);
        stream_blocks(ctx, block, ctx->partial, 1);
        std::memcpy(dst, ctx->partial, left);
        // The register must take the ciphertext, which is the input when decrypting.
        if (cfb && ctx->encrypt == 0) std::memcpy(ctx->partial, src, left);
        ctx->partial_count = 8 - left;
    }
    out->length = in->length;
    return 0;
}

void mac_step(GOST28147_89_CTX* ctx, const uint8_t* block) {
    mesh_if_due(ctx);
    ctx->mac[0] ^= load32(block);
    ctx->mac[1] ^= load32(block + 4);
    mac_block(ctx->tz, ctx->key, ctx->mac);
    ctx->mesh_count += 8;
}

int mac_update(GOST28147_89_CTX* ctx, const GOST_BLOB* in, uint8_t flags) {
    if (in->length == 0 && !(flags & GOST28147_89_FLAG_LAST)) return -4;
    if (ctx->tz.ready != 1) return -2;
    const uint8_t* src = in->data;
    uint32_t left = in->length;
    // In 32 bits a length near 2^32 would wrap the sum below 8 and overrun partial.
    if (uint64_t(ctx->partial_count) + left < 8) {
        std::memcpy(ctx->partial + ctx->partial_count, src, left);
        ctx->partial_count += left;
        if ((flags & GOST28147_89_FLAG_LAST) && ctx->partial_count > 0) {
            std::memset(ctx->partial + ctx->partial_count, 0, 8 - ctx->partial_count);
            mac_step(ctx, ctx->partial);
            ctx->partial_count = 0;
        }
        ctx->flags = 0;
        return 0;
    }
    if (ctx->partial_count > 0) {
        const uint32_t take = 8 - ctx->partial_count;
        std::memcpy(ctx->partial + ctx->partial_count, src, take);
        mac_step(ctx, ctx->partial);
        src += take, left -= take;
    }
    for (; left >= 8; left -= 8, src += 8) mac_step(ctx, src);
    std::memcpy(ctx->partial, src, left);
    ctx->partial_count = left;
    ctx->flags = 0;
    return 0;
}

// ECB and CBC pieces, cut at every 1024-byte mark when meshing is on.
int block_cutter(GOST28147_89_CTX* ctx, const uint8_t* in, uint8_t* out, uint32_t len) {
    while (len > 0) {
        uint32_t piece = len;
        if (ctx->key_meshing == 1) {
            mesh_if_due(ctx);
            if (piece > kMeshPeriod - ctx->mesh_count) piece = kMeshPeriod - ctx->mesh_count;
        }
        const GOST_BLOB pin{piece, const_cast<uint8_t*>(in)};
        GOST_BLOB pout{piece, out};
        const int rc = ctx->mode == GOST28147_89_MODE_ECB
                           ? TVK_Gost_SS_m(&ctx->tz, &pin, &pout, ctx->key, ctx->encrypt)
                           : TVK_Gost_CBC_m(&ctx->tz, &pin, &pout, ctx->iv, ctx->key, ctx->encrypt);
        if (rc != 0) return rc;
        ctx->mesh_count += piece;
        ctx->flags = 0;
        len -= piece, in += piece, out += piece;
    }
    return 0;
}

int block_update(GOST28147_89_CTX* ctx, const GOST_BLOB* in, GOST_BLOB* out) {
    const uint64_t total = uint64_t(ctx->partial_count) + in->length;
    const uint64_t whole = total & ~uint64_t(7);
    if (whole > UINT32_MAX) return -4;
    if (out->data == nullptr) {
        out->length = uint32_t(whole);
        return 0;
    }
    if (total < 8) {
        std::memcpy(ctx->partial + ctx->partial_count, in->data, in->length);
        ctx->partial_count = uint32_t(total);
        out->length = 0;
        return 0;
    }
    if (out->length < whole) return -4;
    const uint8_t* src = in->data;
    uint8_t* dst = out->data;
    uint32_t left = in->length;
    if (ctx->partial_count > 0) {
        const uint32_t take = 8 - ctx->partial_count;
        std::memcpy(ctx->partial + ctx->partial_count, src, take);
        const int rc = block_cutter(ctx, ctx->partial, dst, 8);
        if (rc != 0) return rc;
        ctx->partial_count = 0;
        src += take, dst += 8, left -= take;
    }
    const int rc = block_cutter(ctx, src, dst, left & ~7u);
    if (rc != 0) return rc;
    std::memcpy(ctx->partial, src + (left & ~7u), left & 7);
    ctx->partial_count = left & 7;
    out->length = uint32_t(whole);
    return 0;
}

}  // namespace

int make_last_block(const uint8_t* data, uint32_t len, uint8_t* block, uint32_t* tail_len,
                    uint32_t* blocks, uint32_t flags) {
    if (data == nullptr || block == nullptr || tail_len == nullptr || blocks == nullptr) return -1;
    *blocks = len / 8;
    *tail_len = len % 8;
    if (*tail_len == 0) return int(*blocks);
    if (!(flags & GOST28147_89_FLAG_LAST)) return -6;
    std::memset(block, 0, 8);
    std::memcpy(block, data + 8 * size_t(*blocks), *tail_len);
    return int(*blocks);
}

int TVK_Gost_SS_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, const uint32_t* key,
                  int encrypt) {
    if (int rc = check_worker_args(tz, in, out, key); rc != 0) return rc;
    if (in->length % 8 != 0) return -6;
    if (encrypt != 0) {
        ecb_blocks<true>(*tz, key, in->data, out->data, in->length / 8);
    } else {
        ecb_blocks<false>(*tz, key, in->data, out->data, in->length / 8);
    }
    out->length = in->length;
    return 0;
}

namespace {

template <class Blocks>
int one_shot_stream(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, const uint32_t* iv,
                    const uint32_t* key, uint32_t flags, Blocks run) {
    if (int rc = check_worker_args(tz, in, out, key); rc != 0) return rc;
    if (iv == nullptr) return -1;
    uint8_t last[8];
    uint32_t tail = 0, blocks = 0;
    const int rc = make_last_block(in->data, in->length, last, &tail, &blocks, flags);
    if (rc < 0) return rc;
    run(in->data, out->data, blocks);
    if (tail > 0) {
        run(last, last, 1);
        std::memcpy(out->data + 8 * size_t(blocks), last, tail);
    }
    wipe(last, sizeof last);
    out->length = in->length;
    return 0;
}

}  // namespace

int TVK_Gost_GFB_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, int encrypt, uint32_t flags) {
    return one_shot_stream(tz, in, out, iv, key, flags,
                           [&](const uint8_t* i, uint8_t* o, size_t n) {
                               cfb_blocks(*tz, key, iv, i, o, n, encrypt != 0);
                           });
}

int TVK_Gost_CNT_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, uint32_t flags) {
    bool first = (flags & GOST28147_89_FLAG_FIRST) != 0;
    return one_shot_stream(tz, in, out, iv, key, flags,
                           [&](const uint8_t* i, uint8_t* o, size_t n) {
                               if (first) crypt_block(*tz, key, iv);
                               first = false;
                               cnt_blocks(*tz, key, iv, i, o, n);
                           });
}

int TVK_Gost_CBC_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, int encrypt) {
    if (int rc = check_worker_args(tz, in, out, key); rc != 0) return rc;
    if (iv == nullptr) return -1;
    if (in->length % 8 != 0) return -6;
    cbc_blocks(*tz, key, iv, in->data, out->data, in->length / 8, encrypt != 0);
    out->length = in->length;
    return 0;
}

int GOST28147_89_Init(GOST28147_89_CTX* ctx, int encrypt, const TZ* tz, uint32_t mode,
                      uint32_t key_meshing, const uint8_t* iv, const uint8_t* key) {
    if (ctx == nullptr || tz == nullptr || key == nullptr) return -1;
    wipe(ctx, sizeof *ctx);
    ctx->tz = *tz;
    ctx->mode = mode;
    ctx->key_meshing = key_meshing;
    ctx->encrypt = encrypt == 1 ? 1 : 0;
    ctx->flags = GOST28147_89_FLAG_FIRST;
    if (iv != nullptr) {
        if (mode == GOST28147_89_MODE_MAC) {
            load_block(iv, ctx->mac);
            ctx->flags &= uint8_t(~GOST28147_89_FLAG_FIRST);
        } else {
            load_block(iv, ctx->iv);
        }
    }
    for (int i = 0; i < 8; ++i) ctx->key[i] = load32(key + 4 * i);
    ctx->initialised = 1;
    return 0;
}

int GOST28147_89_Update(GOST28147_89_CTX* ctx, const GOST_BLOB* in, GOST_BLOB* out) {
    if (ctx == nullptr || in == nullptr || in->data == nullptr) return -1;
    if (out == nullptr && ctx->mode != GOST28147_89_MODE_MAC) return -1;
    if (ctx->initialised != 1) return -152;
    if (ctx->partial_count >= 8) return -1;  // not a state any call leaves behind
    switch (ctx->mode) {
        case GOST28147_89_MODE_CFB:
        case GOST28147_89_MODE_CNT:
            return stream_update(ctx, in, out);
        case GOST28147_89_MODE_MAC:
            return mac_update(ctx, in, ctx->flags);
        case GOST28147_89_MODE_ECB:
        case GOST28147_89_MODE_CBC:
            return block_update(ctx, in, out);
        default:
            return -1102;
    }
}

namespace {

// A finished context keeps its IV register and MAC for the caller; the key and the last gamma
// or pending input are secrets and go.
void finish(GOST28147_89_CTX* ctx) {
    ctx->initialised = 0;
    wipe(ctx->key, sizeof ctx->key);
    wipe(ctx->partial, sizeof ctx->partial);
    ctx->partial_count = 0;
}

}  // namespace

int GOST28147_89_Final(GOST28147_89_CTX* ctx) {
    if (ctx == nullptr) return -1;
    if (ctx->initialised != 1) return -152;
    switch (ctx->mode) {
        case GOST28147_89_MODE_CFB:
        case GOST28147_89_MODE_CNT:
            finish(ctx);
            return 0;
        case GOST28147_89_MODE_ECB:
        case GOST28147_89_MODE_CBC:
            if ((ctx->flags & GOST28147_89_FLAG_FIRST) && ctx->partial_count == 0) return -153;
            if (ctx->partial_count == 0) return 0;
            // The workers take whole blocks only: a pending tail cannot be processed.
            finish(ctx);
            return -6;
        case GOST28147_89_MODE_MAC: {
            if ((ctx->flags & GOST28147_89_FLAG_FIRST) && ctx->partial_count == 0) return -153;
            uint8_t none = 0;
            const GOST_BLOB empty{0, &none};
            const int rc = mac_update(ctx, &empty, GOST28147_89_FLAG_LAST);
            finish(ctx);
            return rc;
        }
        default:
            return -1102;
    }
}

int GOST28147_89_KDF(const TZ* tz, const uint8_t* kek, const uint8_t* ukm, uint8_t* out) {
    if (tz == nullptr || kek == nullptr || ukm == nullptr || out == nullptr) return -1;
    uint8_t k[32];
    uint32_t words[8];
    std::memcpy(k, kek, 32);
    int rc = 0;
    for (int n = 0; n < 8 && rc == 0; ++n) {
        uint32_t iv[2] = {0, 0};  // s1: words whose UKM bit is 1, s2: the others
        for (int j = 0; j < 8; ++j) {
            words[j] = load32(k + 4 * j);
            iv[(ukm[n] >> j & 1) ? 0 : 1] += words[j];
        }
        const GOST_BLOB in{32, k};
        GOST_BLOB o{32, k};
        rc = TVK_Gost_GFB_m(tz, &in, &o, iv, words, 1,
                            GOST28147_89_FLAG_FIRST | GOST28147_89_FLAG_LAST);
        // The sums come from the key, and the register ends as the key's last 8 bytes.
        wipe(iv, sizeof iv);
    }
    if (rc == 0) std::memcpy(out, k, 32);
    wipe(k, sizeof k);
    wipe(words, sizeof words);
    return rc;
}
