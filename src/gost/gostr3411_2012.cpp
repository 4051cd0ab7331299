#include "gost/gostr3411_2012.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "gost/gostr3411_2012_tables.h"

namespace {

using gost::streebog::kC;
using gost::streebog::kLps;

// Zeroes secrets about to go out of scope; the empty asm that reads the buffer keeps the
// optimiser from dropping the stores.
void wipe(void* p, size_t n) {
    std::memset(p, 0, n);
    asm volatile("" : : "r"(p) : "memory");
}

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline void store_le64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// out = LPS(a ^ b). The xor goes to memory and each lookup index is one byte load from it:
// two instructions per lookup, where shifting the words in registers takes three.
inline void xlps(const uint64_t* a, const uint64_t* b, uint64_t* out) {
    alignas(64) uint64_t x[8];
    for (int i = 0; i < 8; ++i) x[i] = a[i] ^ b[i];
    if constexpr (std::endian::native == std::endian::little) {
        // Keeps the buffer in memory: otherwise the optimiser makes a copy of it per use.
        asm volatile("" : : "r"(x) : "memory");
        const uint8_t* p = reinterpret_cast<const uint8_t*>(x);
        for (int i = 0; i < 8; ++i) {
            out[i] = kLps[0][p[i]] ^ kLps[1][p[8 + i]] ^ kLps[2][p[16 + i]] ^ kLps[3][p[24 + i]] ^
                     kLps[4][p[32 + i]] ^ kLps[5][p[40 + i]] ^ kLps[6][p[48 + i]] ^
                     kLps[7][p[56 + i]];
        }
    } else {
        for (int i = 0; i < 8; ++i) {
            uint64_t r = 0;
            for (int j = 0; j < 8; ++j) r ^= kLps[j][(x[j] >> (8 * i)) & 0xff];
            out[i] = r;
        }
    }
}

// h = E(LPS(h ^ N), m) ^ h ^ m
void compress_portable(uint64_t* h, const uint64_t* N, const uint64_t* m) {
    alignas(64) uint64_t k[8], t[8], k2[8], t2[8];
    xlps(h, N, k);
    xlps(m, k, t);
    for (int r = 0; r < 12; r += 2) {
        xlps(k, kC[r].data(), k2);
        xlps(t, k2, t2);
        if (r == 10) {
            xlps(k2, kC[11].data(), k);
            for (int i = 0; i < 8; ++i) h[i] ^= t2[i] ^ k[i] ^ m[i];
            return;
        }
        xlps(k2, kC[r + 1].data(), k);
        xlps(t2, k, t);
    }
}

#if defined(__x86_64__) && defined(__ELF__)
extern "C" void gost_streebog_compress_x86_64(uint64_t* h, const uint64_t* N, const uint64_t* m,
                                              const uint64_t* lps, const uint64_t* c);

void compress_x86_64(uint64_t* h, const uint64_t* N, const uint64_t* m) {
    gost_streebog_compress_x86_64(h, N, m, kLps[0].data(), kC[0].data());
}
#endif

using gost::streebog::CompressFn;
using gost::streebog::Form;

CompressFn form_function(Form f) {
    switch (f) {
        case Form::portable:
            return compress_portable;
        case Form::x86_64:
#if defined(__x86_64__) && defined(__ELF__)
            return compress_x86_64;
#else
            return nullptr;
#endif
        case Form::avx512:
            return gost::streebog::avx512_compress();
    }
    return nullptr;
}

CompressFn fastest_form() {
    CompressFn best = nullptr;
    for (Form f : gost::streebog::kForms)
        if (CompressFn fn = form_function(f)) best = fn;
    return best;
}

void compress_first_use(uint64_t* h, const uint64_t* N, const uint64_t* m);

// Starts at a function that makes the choice, so that no initialisation order matters; relaxed
// accesses suffice because every form computes the same values.
std::atomic<CompressFn> g_compress{compress_first_use};

void compress_first_use(uint64_t* h, const uint64_t* N, const uint64_t* m) {
    CompressFn expected = compress_first_use;
    g_compress.compare_exchange_strong(expected, fastest_form(), std::memory_order_relaxed);
    g_compress.load(std::memory_order_relaxed)(h, N, m);
}

inline void compress(uint64_t* h, const uint64_t* N, const uint64_t* m) {
    g_compress.load(std::memory_order_relaxed)(h, N, m);
}

const uint64_t kZero[8] = {};

// a += b mod 2^512
inline void add512(uint64_t* a, const uint64_t* b) {
    unsigned carry = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t s = a[i] + b[i];
        unsigned c1 = s < a[i];
        uint64_t s2 = s + carry;
        carry = c1 | (s2 < s);
        a[i] = s2;
    }
}

inline void add_bits(uint64_t* N, uint64_t bits) {
    uint64_t prev = N[0];
    N[0] += bits;
    for (int i = 1; i < 8 && N[i - 1] < prev; ++i) prev = N[i]++;
}

void process_block(GOSTR3411_2012_CTX* ctx, const uint8_t* block, uint64_t bits) {
    uint64_t m[8];
    for (int i = 0; i < 8; ++i) m[i] = load_le64(block + 8 * i);
    compress(ctx->h, ctx->N, m);
    add_bits(ctx->N, bits);
    add512(ctx->Sigma, m);
}

bool valid_size(uint32_t size) {
    return size == 32 || size == 64;
}

}  // namespace

int GOSTR3411_2012_Init(GOSTR3411_2012_CTX* ctx, uint32_t size) {
    if (ctx == nullptr || !valid_size(size)) return -1;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->size = size;
    if (size == 32)
        for (auto& w : ctx->h) w = 0x0101010101010101;
    return 0;
}

int GOSTR3411_2012_256_Init(GOSTR3411_2012_CTX* ctx) {
    return GOSTR3411_2012_Init(ctx, 32);
}
int GOSTR3411_2012_512_Init(GOSTR3411_2012_CTX* ctx) {
    return GOSTR3411_2012_Init(ctx, 64);
}

int GOSTR3411_2012_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len) {
    if (ctx == nullptr) return -1;
    if (len == 0) return 0;
    if (data == nullptr || ctx->count >= 64) return -1;
    if (ctx->count > 0) {
        uint32_t take = 64 - ctx->count;
        if (len < take) {
            std::memcpy(ctx->buffer + ctx->count, data, len);
            ctx->count += len;
            return 0;
        }
        std::memcpy(ctx->buffer + ctx->count, data, take);
        process_block(ctx, ctx->buffer, 512);
        data += take;
        len -= take;
        ctx->count = 0;
    }
    for (; len >= 64; data += 64, len -= 64) process_block(ctx, data, 512);
    std::memcpy(ctx->buffer, data, len);
    ctx->count = len;
    return 0;
}

int GOSTR3411_2012_256_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len) {
    if (ctx == nullptr) return -1;
    if (ctx->size != 32) return -2;
    return GOSTR3411_2012_Update(ctx, data, len);
}

int GOSTR3411_2012_512_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len) {
    if (ctx == nullptr) return -1;
    if (ctx->size != 64) return -2;
    return GOSTR3411_2012_Update(ctx, data, len);
}

int GOSTR3411_2012_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out) {
    if (ctx == nullptr || out == nullptr || !valid_size(ctx->size) || ctx->count >= 64) return -1;
    const uint32_t count = ctx->count;
    ctx->buffer[count] = 0x01;
    std::memset(ctx->buffer + count + 1, 0, 63 - count);
    process_block(ctx, ctx->buffer, 8 * uint64_t(count));
    compress(ctx->h, kZero, ctx->N);
    compress(ctx->h, kZero, ctx->Sigma);
    // The 256-bit digest is the most significant half of h.
    const int first = ctx->size == 32 ? 4 : 0;
    for (int i = first; i < 8; ++i) store_le64(out + 8 * (i - first), ctx->h[i]);
    return 0;
}

int GOSTR3411_2012_256_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out) {
    if (ctx == nullptr) return -1;
    if (ctx->size != 32) return -2;
    return GOSTR3411_2012_Final(ctx, out);
}

int GOSTR3411_2012_512_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out) {
    if (ctx == nullptr) return -1;
    if (ctx->size != 64) return -2;
    return GOSTR3411_2012_Final(ctx, out);
}

int GOSTR3411_2012_Transform(uint32_t size, const uint8_t* data, uint32_t len, uint8_t* out) {
    if (!valid_size(size) || (data == nullptr && len > 0) || out == nullptr) return -1;
    GOSTR3411_2012_CTX ctx;
    int rc = GOSTR3411_2012_Init(&ctx, size);
    if (rc == 0) rc = GOSTR3411_2012_Update(&ctx, data, len);
    if (rc == 0) rc = GOSTR3411_2012_Final(&ctx, out);
    wipe(&ctx, sizeof ctx);
    return rc;
}

int GOSTR3411_2012_256_Transform(const uint8_t* data, uint32_t len, uint8_t* out) {
    return GOSTR3411_2012_Transform(32, data, len, out);
}

namespace {

// HMAC over a message given in pieces, so that the KDF needs no working buffer.
struct Piece {
    const uint8_t* data;
    uint32_t len;
};

int hmac_pieces(uint32_t hmac_len, const Piece* pieces, size_t n, const uint8_t* key,
                uint32_t key_len, uint8_t* out) {
    uint8_t block[64] = {};
    uint8_t inner[64];
    GOSTR3411_2012_CTX ctx;
    int rc = 0;
    if (key_len > 64) {
        rc = GOSTR3411_2012_Transform(hmac_len, key, key_len, block);
    } else if (key_len > 0) {
        std::memcpy(block, key, key_len);
    }
    if (rc == 0) {
        for (auto& b : block) b ^= 0x36;
        rc = GOSTR3411_2012_Init(&ctx, hmac_len);
        if (rc == 0) rc = GOSTR3411_2012_Update(&ctx, block, 64);
        for (size_t i = 0; rc == 0 && i < n; ++i)
            rc = GOSTR3411_2012_Update(&ctx, pieces[i].data, pieces[i].len);
        if (rc == 0) rc = GOSTR3411_2012_Final(&ctx, inner);
    }
    if (rc == 0) {
        for (auto& b : block) b ^= 0x36 ^ 0x5c;
        rc = GOSTR3411_2012_Init(&ctx, hmac_len);
        if (rc == 0) rc = GOSTR3411_2012_Update(&ctx, block, 64);
        if (rc == 0) rc = GOSTR3411_2012_Update(&ctx, inner, hmac_len);
        if (rc == 0) rc = GOSTR3411_2012_Final(&ctx, inner);
        if (rc == 0) std::memcpy(out, inner, hmac_len);
    }
    wipe(block, sizeof block);
    wipe(inner, sizeof inner);
    wipe(&ctx, sizeof ctx);
    return rc;
}

}  // namespace

int GOSTR3411_2012_HMAC(uint32_t hmac_len, const uint8_t* data, uint32_t data_len,
                        const uint8_t* key, uint32_t key_len, uint8_t* out) {
    if (!valid_size(hmac_len) || (data == nullptr && data_len > 0) || out == nullptr) return -1;
    if (key == nullptr && key_len > 0) return -1;
    const Piece piece{data, data_len};
    return hmac_pieces(hmac_len, &piece, 1, key, key_len, out);
}

int GOSTR3411_2012_256_KDF(const uint8_t* key, uint32_t key_len, const uint8_t* label,
                           uint32_t label_len, const uint8_t* seed, uint32_t seed_len,
                           uint8_t* out) {
    if (key == nullptr || key_len != 32 || out == nullptr) return -1;
    if ((label == nullptr && label_len > 0) || (seed == nullptr && seed_len > 0)) return -1;
    static const uint8_t kOne = 0x01, kZeroByte = 0x00, kTail[2] = {0x01, 0x00};
    const Piece pieces[] = {
        {&kOne, 1}, {label, label_len}, {&kZeroByte, 1}, {seed, seed_len}, {kTail, 2}};
    uint8_t result[32];
    const int rc = hmac_pieces(32, pieces, 5, key, key_len, result);
    if (rc == 0) std::memcpy(out, result, 32);
    wipe(result, sizeof result);
    return rc;
}

namespace gost::streebog {

bool form_available(Form f) {
    return form_function(f) != nullptr;
}

bool use_form(Form f) {
    const CompressFn fn = form_function(f);
    if (fn != nullptr) g_compress.store(fn, std::memory_order_relaxed);
    return fn != nullptr;
}

Form form_in_use() {
    CompressFn fn = g_compress.load(std::memory_order_relaxed);
    if (fn == compress_first_use) fn = fastest_form();
    for (Form f : kForms)
        if (fn == form_function(f)) return f;
    return Form::portable;
}

}  // namespace gost::streebog
