#include "gost/gost_rng.h"

#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "gost/gost28147_params.h"

namespace {

// The generator's tables by index, as rows of the GOST 28147-89 parameter sets: test,
// CryptoPro A to D, TC26 Z.
constexpr size_t kTableRows[] = {0, 1, 2, 3, 4, 10};

constexpr int kTableZ = 5;

inline uint32_t f(const TZ* t, uint32_t x) {
    return t->k[0][x & 255] ^ t->k[1][(x >> 8) & 255] ^ t->k[2][(x >> 16) & 255] ^ t->k[3][x >> 24];
}

// One block; in and out in the block format: word 0 from bytes 0..3, little-endian.
void encrypt(const TZ* t, const uint32_t k[8], const uint32_t in[2], uint32_t out[2]) {
    uint32_t n1 = in[0], n2 = in[1];
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < 8; i += 2) {
            n2 ^= f(t, n1 + k[i]);
            n1 ^= f(t, n2 + k[i + 1]);
        }
    for (int i = 7; i > 0; i -= 2) {
        n2 ^= f(t, n1 + k[i]);
        n1 ^= f(t, n2 + k[i - 1]);
    }
    out[0] = n2;
    out[1] = n1;
}

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void wipe(void* p, size_t n) {
    explicit_bzero(p, n);
}

int os_fresh_input(uint8_t* out, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t r = getrandom(out + done, length - done, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return 0;
}

std::atomic<int (*)(uint8_t*, size_t)> g_fresh_input{os_fresh_input};
std::atomic<int (*)(const uint8_t*)> g_key_test{TPRNG_KeyTest};

constexpr int kBadArgument = -1, kNotInitialised = -2, kPowerUpFailed = -6, kKeyTestFailed = -7,
              kOnes = -8, kTransitions = -9, kNeighbours = -10, kZeroRun = -11, kNoMemory = -12,
              kNoFreshInput = -13;

// Counter-mode keystream: the counter steps by the two standard constants, the second one
// modulo 2^32 - 1.
void produce(TPRNG_CTX* ctx, uint8_t* out, uint32_t length) {
    if (ctx->state == 1) {
        uint32_t c[2];
        encrypt(ctx->table, ctx->key, ctx->counter, c);
        ctx->counter[0] = c[0];
        ctx->counter[1] = c[1];
    }
    uint32_t left = length;
    while (left > 0) {
        ctx->counter[0] += 0x01010101u;
        const uint32_t n2 = ctx->counter[1] + 0x01010104u;
        ctx->counter[1] = n2 < 0x01010104u ? n2 + 1 : n2;
        uint32_t block[2];
        encrypt(ctx->table, ctx->key, ctx->counter, block);
        uint8_t bytes[8];
        store_le32(bytes, block[0]);
        store_le32(bytes + 4, block[1]);
        const uint32_t n = left < 8 ? left : 8;
        std::memcpy(out, bytes, n);
        wipe(bytes, sizeof bytes);
        out += n;
        left -= n;
    }
    ctx->budget -= length;
    ctx->state = 3;
}

int seed_from(TPRNG_CTX* ctx, const uint8_t s[kTprngSeedSize]) {
    uint8_t fresh[kTprngSeedSize];
    if (g_fresh_input.load()(fresh, sizeof fresh) != 0) {
        wipe(fresh, sizeof fresh);
        return kNoFreshInput;
    }
    for (size_t i = 0; i < kTprngSeedSize; ++i) fresh[i] ^= s[i];
    ctx->counter[0] = load_le32(fresh);
    ctx->counter[1] = load_le32(fresh + 4);
    for (int i = 0; i < 8; ++i) ctx->key[i] = load_le32(fresh + 8 + 4 * i);
    wipe(fresh, sizeof fresh);
    ctx->pid = getpid();
    return 0;
}

int derive_next(TPRNG_CTX* ctx) {
    uint8_t block[kTprngSeedSize];
    for (int attempt = 0; attempt < 3; ++attempt) {
        produce(ctx, block, sizeof block);
        if (g_key_test.load()(block + 8) == 0) {
            std::memcpy(ctx->next, block, sizeof block);
            wipe(block, sizeof block);
            return 0;
        }
    }
    wipe(block, sizeof block);
    return kKeyTestFailed;
}

int rekey(TPRNG_CTX* ctx) {
    uint8_t s[kTprngSeedSize];
    std::memcpy(s, ctx->next, sizeof s);
    const int rc = seed_from(ctx, s);
    wipe(s, sizeof s);
    if (rc != 0) return rc;
    ctx->state = 1;
    ctx->budget = kTprngRekeyBudget;
    return derive_next(ctx);
}

int power_up_test(TPRNG_CTX* ctx) {
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kTprngPowerUpBytes);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    int result = kPowerUpFailed;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int rc = TPRNG_Generate(ctx, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (rc != 0) {
            result = rc;
            break;
        }
        if (TPRNG_StatTest(buffer.data(), buffer.size()) == 0) {
            result = 0;
            break;
        }
    }
    wipe(buffer.data(), buffer.size());
    return result;
}

// Bits least significant first, byte after byte, from an assumed previous bit of 0.
size_t transitions(const uint8_t* p, size_t n) {
    size_t count = 0;
    unsigned previous = 0;
    for (size_t i = 0; i < n; ++i)
        for (int b = 0; b < 8; ++b) {
            const unsigned bit = (p[i] >> b) & 1;
            count += bit != previous;
            previous = bit;
        }
    return count;
}

size_t ones(const uint8_t* p, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) count += static_cast<size_t>(std::popcount(p[i]));
    return count;
}

}  // namespace

const TZ* TPRNG_TZ_by_id(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kTableRows))) {
        std::fputs("TPRNG_TZ_by_id: index out of range\n", stderr);
        return nullptr;
    }
    return kGost28147Params[kTableRows[index]].tz;
}

int TPRNG_KeyTest(const uint8_t key[32]) {
    const size_t n = ones(key, 32);
    if (n < 100 || n > 156) return kOnes;
    const size_t t = transitions(key, 32);
    if (t < 100 || t > 156) return kTransitions;
    // Zero runs are read most significant bit first; a run still open at the end is not counted.
    int run = 0, longest = 0;
    for (int i = 0; i < 32; ++i)
        for (int b = 7; b >= 0; --b) {
            if ((key[i] >> b) & 1) {
                longest = run > longest ? run : longest;
                run = 0;
            } else {
                ++run;
            }
        }
    return longest > 24 ? kZeroRun : 0;
}

int TPRNG_StatTest(const uint8_t* data, size_t length) {
    const size_t n = ones(data, length);
    if (n < 407792 || n > 411408) return kOnes;
    const size_t t = transitions(data, length);
    if (t < 407792 || t > 411407) return kTransitions;
    if (length == 1) return kNeighbours;
    size_t differences = 0;
    for (size_t i = 0; i + 1 < length; ++i)
        differences += static_cast<size_t>(std::popcount(uint8_t(data[i] ^ data[i + 1])));
    if (differences < 407788 || differences > 411404) return kNeighbours;
    return 0;
}

int TPRNG_Init(TPRNG_CTX* ctx, const uint8_t seed[kTprngSeedSize]) {
    if (ctx == nullptr || seed == nullptr) return kBadArgument;
    TPRNG_Clear(ctx);
    ctx->table = TPRNG_TZ_by_id(kTableZ);
    ctx->budget = kTprngRekeyBudget;
    ctx->state = 1;
    int rc = seed_from(ctx, seed);
    if (rc == 0) rc = derive_next(ctx);
    if (rc != 0) {
        TPRNG_Clear(ctx);
        return rc;
    }
    ctx->initialised = 1;
    rc = power_up_test(ctx);
    if (rc != 0) {
        TPRNG_Clear(ctx);
        return rc;
    }
    return 0;
}

int TPRNG_Generate(TPRNG_CTX* ctx, uint8_t* buffer, uint32_t length) {
    if (ctx == nullptr || buffer == nullptr || length == 0) return kBadArgument;
    if (ctx->initialised != 1) return kNotInitialised;
    // A forked child shares every byte of this state with its parent: give it its own key.
    if (ctx->pid != getpid()) {
        const int rc = rekey(ctx);
        if (rc != 0) return rc;
    }
    uint32_t remaining = length;
    while (ctx->budget < remaining) {
        const uint32_t n = ctx->budget;
        produce(ctx, buffer, n);
        buffer += n;
        remaining -= n;
        const int rc = rekey(ctx);
        if (rc != 0) return rc;
    }
    produce(ctx, buffer, remaining);
    if (ctx->budget == 0) return rekey(ctx);
    return 0;
}

void TPRNG_Clear(TPRNG_CTX* ctx) {
    if (ctx != nullptr) wipe(ctx, sizeof *ctx);
}

void TPRNG_SetSeams(const TPRNG_SEAMS* seams) {
    g_fresh_input =
        seams != nullptr && seams->fresh_input != nullptr ? seams->fresh_input : os_fresh_input;
    g_key_test = seams != nullptr && seams->key_test != nullptr ? seams->key_test : TPRNG_KeyTest;
}
