#include "gost/gostr3413.h"

#include <algorithm>
#include <cstring>

#include "gost/gostr3412_bytes.h"
#include "gost/gostr3413_internal.h"

namespace gostr3413 {
namespace {

using gostr3412_bytes::wipe;
using gostr3412_bytes::xor_bytes;

template <class C>
struct Cipher;

template <>
struct Cipher<Kuznechik> {
    static void schedule(const uint8_t* key, bool for_decryption, kuznechik_round_keys& rk) {
        if (for_decryption)
            (void)tvk_kuznechik_set_decrypt_key(key, &rk);
        else
            (void)tvk_kuznechik_set_encrypt_key(key, &rk);
    }
    static void encrypt(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                        size_t blocks) {
        kuznechik_detail::encrypt_blocks(rk, in, out, blocks);
    }
    static void decrypt(const kuznechik_round_keys& rk, const uint8_t* in, uint8_t* out,
                        size_t blocks) {
        kuznechik_detail::decrypt_blocks(rk, in, out, blocks);
    }
};

template <>
struct Cipher<Magma> {
    // Magma decrypts with the same key words in another order.
    static void schedule(const uint8_t* key, bool, magma_key_words& rk) {
        (void)tvk_magma_set_key(key, rk.k);
    }
    static void encrypt(const magma_key_words& rk, const uint8_t* in, uint8_t* out, size_t blocks) {
        magma_detail::encrypt_blocks(rk.k, in, out, blocks);
    }
    static void decrypt(const magma_key_words& rk, const uint8_t* in, uint8_t* out, size_t blocks) {
        magma_detail::decrypt_blocks(rk.k, in, out, blocks);
    }
};

bool valid_direction(int direction) {
    return direction == GOSTR3413_ENCRYPT || direction == GOSTR3413_DECRYPT;
}

// Register length m for CBC, OFB and CFB: whole blocks, at least one, at most the context's room.
template <class C>
int check_register(size_t m) {
    if (m == 0 || m > C::max_register) return GOSTR3413_ERR_PARAM;
    return m % C::block ? GOSTR3413_ERR_LENGTH : GOSTR3413_OK;
}

template <class C>
bool valid_segment(size_t s) {
    return s >= 1 && s <= C::block;
}

// Contexts are built in a local and copied out at the end: the caller's context stays untouched
// until every argument is accepted, and a key or IV that lives inside the caller's context (a
// re-initialisation from the context's own copies) is read before anything is overwritten.
template <class C, class Ctx>
void start(Ctx& fresh, int direction, const uint8_t* key, bool decryption_schedule) {
    std::memcpy(fresh.c.key, key, sizeof fresh.c.key);
    Cipher<C>::schedule(key, decryption_schedule, fresh.c.rk);
    fresh.c.encrypt = static_cast<uint8_t>(direction);
    fresh.c.initialised = 1;
}

template <class Ctx>
int commit(Ctx* ctx, Ctx& fresh) {
    *ctx = fresh;
    wipe(&fresh, sizeof fresh);
    return GOSTR3413_OK;
}

template <class Ctx>
int check_update(const Ctx* ctx, const uint8_t* in, const uint8_t* out, size_t len) {
    if (!ctx || !in || !out) return GOSTR3413_ERR_NULL;
    if (ctx->c.initialised != 1) return GOSTR3413_ERR_NOT_INIT;
    return len == 0 ? GOSTR3413_ERR_PARAM : GOSTR3413_OK;
}

// The counter is one n-byte big-endian number.
template <size_t N>
void increment(uint8_t* counter) {
    for (size_t i = N; i-- > 0;)
        if (++counter[i] != 0) break;
}

// n bytes of the ring starting at pos, wrapping at m.
void ring_read(const uint8_t* reg, size_t m, size_t pos, uint8_t* out, size_t n) {
    const size_t first = std::min(n, m - pos);
    std::memcpy(out, reg + pos, first);
    std::memcpy(out + first, reg, n - first);
}

// Left shift by one bit of an n-byte big-endian string, folding rb in when the top bit falls out.
template <class C>
void mac_subkey(const uint8_t* in, uint8_t* out) {
    const uint8_t carry = in[0] >> 7;
    for (size_t i = 0; i + 1 < C::block; ++i)
        out[i] = static_cast<uint8_t>(in[i] << 1 | in[i + 1] >> 7);
    out[C::block - 1] = static_cast<uint8_t>(in[C::block - 1] << 1 ^ (carry ? C::mac_rb : 0));
}

}  // namespace

template <class C>
int ecb_setup(Ecb<C>* ctx, int direction, const uint8_t* key) {
    if (!ctx || !key) return GOSTR3413_ERR_NULL;
    if (!valid_direction(direction)) return GOSTR3413_ERR_PARAM;
    Ecb<C> fresh{};
    start<C>(fresh, direction, key, direction == GOSTR3413_DECRYPT);
    return commit(ctx, fresh);
}

template <class C>
int cbc_setup(Cbc<C>* ctx, int direction, const uint8_t* key, const uint8_t* iv, size_t m) {
    if (!ctx || !key || !iv) return GOSTR3413_ERR_NULL;
    if (!valid_direction(direction)) return GOSTR3413_ERR_PARAM;
    if (int rc = check_register<C>(m)) return rc;
    Cbc<C> fresh{};
    start<C>(fresh, direction, key, direction == GOSTR3413_DECRYPT);
    fresh.m = static_cast<uint32_t>(m);
    std::memcpy(fresh.reg, iv, m);
    return commit(ctx, fresh);
}

template <class C>
int ctr_setup(Ctr<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv) {
    if (!ctx || !key || !iv) return GOSTR3413_ERR_NULL;
    if (!valid_direction(direction) || !valid_segment<C>(s)) return GOSTR3413_ERR_PARAM;
    Ctr<C> fresh{};
    start<C>(fresh, direction, key, false);
    fresh.s = static_cast<uint32_t>(s);
    std::memcpy(fresh.counter, iv, C::block / 2);
    return commit(ctx, fresh);
}

// OFB and CFB share their parameters: a segment length s and a register of m bytes.
template <class C, template <class> class Mode>
int shift_register_setup(Mode<C>* ctx, int direction, const uint8_t* key, size_t s,
                         const uint8_t* iv, size_t m) {
    if (!ctx || !key || !iv) return GOSTR3413_ERR_NULL;
    if (!valid_direction(direction) || !valid_segment<C>(s)) return GOSTR3413_ERR_PARAM;
    if (int rc = check_register<C>(m)) return rc;
    Mode<C> fresh{};
    start<C>(fresh, direction, key, false);
    fresh.s = static_cast<uint32_t>(s);
    fresh.m = static_cast<uint32_t>(m);
    std::memcpy(fresh.reg, iv, m);
    return commit(ctx, fresh);
}

template <class C>
int ofb_setup(Ofb<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv,
              size_t m) {
    return shift_register_setup<C, Ofb>(ctx, direction, key, s, iv, m);
}

template <class C>
int cfb_setup(Cfb<C>* ctx, int direction, const uint8_t* key, size_t s, const uint8_t* iv,
              size_t m) {
    return shift_register_setup<C, Cfb>(ctx, direction, key, s, iv, m);
}

template <class C>
int mac_setup(Mac<C>* ctx, const uint8_t* key, size_t mac_len) {
    if (!ctx || !key) return GOSTR3413_ERR_NULL;
    if (mac_len == 0 || mac_len > C::block) return GOSTR3413_ERR_PARAM;
    Mac<C> fresh{};
    start<C>(fresh, GOSTR3413_ENCRYPT, key, false);
    fresh.mac_len = static_cast<uint32_t>(mac_len);
    uint8_t r[C::block] = {};
    Cipher<C>::encrypt(fresh.c.rk, r, r, 1);
    mac_subkey<C>(r, fresh.k1);
    mac_subkey<C>(fresh.k1, fresh.k2);
    wipe(r, sizeof r);
    return commit(ctx, fresh);
}

template <class C>
int ecb_update(Ecb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    if (int rc = check_update(ctx, in, out, len)) return rc;
    if (len % C::block) return GOSTR3413_ERR_LENGTH;
    if (ctx->c.encrypt)
        Cipher<C>::encrypt(ctx->c.rk, in, out, len / C::block);
    else
        Cipher<C>::decrypt(ctx->c.rk, in, out, len / C::block);
    ctx->c.processed += len;
    return GOSTR3413_OK;
}

template <class C>
int cbc_update(Cbc<C>* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    if (int rc = check_update(ctx, in, out, len)) return rc;
    if (len % C::block) return GOSTR3413_ERR_LENGTH;
    constexpr size_t n = C::block;
    uint8_t x[n];
    for (size_t off = 0; off < len; off += n) {
        uint8_t* r = ctx->reg + ctx->head;  // MSB_n(R); its place receives the new ciphertext
        if (ctx->c.encrypt) {
            xor_bytes(x, in + off, r, n);
            Cipher<C>::encrypt(ctx->c.rk, x, r, 1);
            std::memcpy(out + off, r, n);
        } else {
            // The ciphertext block is read before the plaintext may overwrite it in place.
            Cipher<C>::decrypt(ctx->c.rk, in + off, x, 1);
            xor_bytes(x, x, r, n);
            std::memcpy(r, in + off, n);
            std::memcpy(out + off, x, n);
        }
        ctx->head = static_cast<uint32_t>((ctx->head + n) % ctx->m);
    }
    wipe(x, sizeof x);
    ctx->c.processed += len;
    return GOSTR3413_OK;
}

template <class C>
int ctr_update(Ctr<C>* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    if (int rc = check_update(ctx, in, out, len)) return rc;
    constexpr size_t n = C::block, batch = 8;  // gamma blocks encrypted per call
    uint8_t gamma[batch * n];
    ctx->c.processed += len;
    while (len > 0) {
        if (ctx->avail == 0 && ctx->s == n && len >= n) {
            // Whole gamma blocks: several counters encrypted in one call.
            const size_t blocks = std::min(len / n, batch);
            for (size_t i = 0; i < blocks; ++i) {
                std::memcpy(gamma + i * n, ctx->counter, n);
                increment<n>(ctx->counter);
            }
            Cipher<C>::encrypt(ctx->c.rk, gamma, gamma, blocks);
            xor_bytes(out, in, gamma, blocks * n);
            in += blocks * n;
            out += blocks * n;
            len -= blocks * n;
            continue;
        }
        if (ctx->avail == 0) {
            Cipher<C>::encrypt(ctx->c.rk, ctx->counter, ctx->gamma, 1);
            increment<n>(ctx->counter);
            ctx->avail = ctx->s;
        }
        const size_t take = std::min<size_t>(ctx->avail, len);
        xor_bytes(out, in, ctx->gamma + (ctx->s - ctx->avail), take);
        ctx->avail -= static_cast<uint32_t>(take);
        in += take;
        out += take;
        len -= take;
    }
    wipe(gamma, sizeof gamma);
    return GOSTR3413_OK;
}

template <class C>
int ofb_update(Ofb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    if (int rc = check_update(ctx, in, out, len)) return rc;
    constexpr size_t n = C::block;
    ctx->c.processed += len;
    while (len > 0) {
        if (ctx->avail == 0) {
            // Y = E(MSB_n(R)); R = LSB_(m-n)(R) || Y: Y takes the place of the block it came from.
            uint8_t* r = ctx->reg + ctx->head;
            Cipher<C>::encrypt(ctx->c.rk, r, r, 1);
            std::memcpy(ctx->gamma, r, n);
            ctx->head = static_cast<uint32_t>((ctx->head + n) % ctx->m);
            ctx->avail = ctx->s;
        }
        const size_t take = std::min<size_t>(ctx->avail, len);
        xor_bytes(out, in, ctx->gamma + (ctx->s - ctx->avail), take);
        ctx->avail -= static_cast<uint32_t>(take);
        in += take;
        out += take;
        len -= take;
    }
    return GOSTR3413_OK;
}

template <class C>
int cfb_update(Cfb<C>* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    if (int rc = check_update(ctx, in, out, len)) return rc;
    constexpr size_t n = C::block;
    const size_t s = ctx->s, m = ctx->m;
    ctx->c.processed += len;
    while (len > 0) {
        if (ctx->done == 0) {
            uint8_t r[n];
            ring_read(ctx->reg, m, ctx->head, r, n);
            Cipher<C>::encrypt(ctx->c.rk, r, ctx->gamma, 1);
        }
        // The segment's ciphertext goes straight to the front of the ring, which the shift by s
        // discards anyway: once the segment is complete, moving head is the whole shift.
        const size_t take = std::min<size_t>(s - ctx->done, len);
        const size_t pos = ctx->head + ctx->done;
        const uint8_t* g = ctx->gamma + ctx->done;
        if (pos + take <= m) {
            if (ctx->c.encrypt) {
                xor_bytes(out, in, g, take);
                std::memcpy(ctx->reg + pos, out, take);
            } else {
                std::memcpy(ctx->reg + pos, in, take);
                xor_bytes(out, in, g, take);
            }
        } else {
            for (size_t i = 0; i < take; ++i) {
                const uint8_t c = ctx->c.encrypt ? static_cast<uint8_t>(in[i] ^ g[i]) : in[i];
                out[i] = static_cast<uint8_t>(in[i] ^ g[i]);
                ctx->reg[(pos + i) % m] = c;
            }
        }
        ctx->done += static_cast<uint32_t>(take);
        if (ctx->done == s) {
            ctx->head = static_cast<uint32_t>((ctx->head + s) % m);
            ctx->done = 0;
        }
        in += take;
        out += take;
        len -= take;
    }
    return GOSTR3413_OK;
}

template <class C>
int mac_update(Mac<C>* ctx, const uint8_t* data, size_t len) {
    if (!ctx || !data) return GOSTR3413_ERR_NULL;
    if (ctx->c.initialised != 1) return GOSTR3413_ERR_NOT_INIT;
    constexpr size_t n = C::block;
    ctx->c.processed += len;
    while (len > 0) {
        // A complete held block is chained only now that more data shows it was not the last.
        if (ctx->held == n) {
            xor_bytes(ctx->chain, ctx->chain, ctx->buf, n);
            Cipher<C>::encrypt(ctx->c.rk, ctx->chain, ctx->chain, 1);
            ctx->held = 0;
        }
        if (ctx->held == 0) {
            for (; len > n; data += n, len -= n) {
                xor_bytes(ctx->chain, ctx->chain, data, n);
                Cipher<C>::encrypt(ctx->c.rk, ctx->chain, ctx->chain, 1);
            }
        }
        const size_t take = std::min(n - ctx->held, len);
        std::memcpy(ctx->buf + ctx->held, data, take);
        ctx->held += static_cast<uint32_t>(take);
        data += take;
        len -= take;
    }
    return GOSTR3413_OK;
}

template <class C>
int mac_final(const Mac<C>* ctx, uint8_t* mac) {
    if (!ctx || !mac) return GOSTR3413_ERR_NULL;
    if (ctx->c.initialised != 1) return GOSTR3413_ERR_NOT_INIT;
    constexpr size_t n = C::block;
    uint8_t last[n] = {};
    std::memcpy(last, ctx->buf, ctx->held);
    if (ctx->held == n) {
        xor_bytes(last, last, ctx->k1, n);
    } else {
        last[ctx->held] = 0x80;  // padding procedure 2
        xor_bytes(last, last, ctx->k2, n);
    }
    xor_bytes(last, last, ctx->chain, n);
    Cipher<C>::encrypt(ctx->c.rk, last, last, 1);
    std::memcpy(mac, last, ctx->mac_len);
    wipe(last, sizeof last);
    return GOSTR3413_OK;
}

#define GOSTR3413_INSTANTIATE(C)                                                             \
    template int ecb_setup<C>(Ecb<C>*, int, const uint8_t*);                                 \
    template int cbc_setup<C>(Cbc<C>*, int, const uint8_t*, const uint8_t*, size_t);         \
    template int ctr_setup<C>(Ctr<C>*, int, const uint8_t*, size_t, const uint8_t*);         \
    template int ofb_setup<C>(Ofb<C>*, int, const uint8_t*, size_t, const uint8_t*, size_t); \
    template int cfb_setup<C>(Cfb<C>*, int, const uint8_t*, size_t, const uint8_t*, size_t); \
    template int mac_setup<C>(Mac<C>*, const uint8_t*, size_t);                              \
    template int ecb_update<C>(Ecb<C>*, const uint8_t*, uint8_t*, size_t);                   \
    template int cbc_update<C>(Cbc<C>*, const uint8_t*, uint8_t*, size_t);                   \
    template int ctr_update<C>(Ctr<C>*, const uint8_t*, uint8_t*, size_t);                   \
    template int ofb_update<C>(Ofb<C>*, const uint8_t*, uint8_t*, size_t);                   \
    template int cfb_update<C>(Cfb<C>*, const uint8_t*, uint8_t*, size_t);                   \
    template int mac_update<C>(Mac<C>*, const uint8_t*, size_t);                             \
    template int mac_final<C>(const Mac<C>*, uint8_t*);

GOSTR3413_INSTANTIATE(Kuznechik)
GOSTR3413_INSTANTIATE(Magma)
#undef GOSTR3413_INSTANTIATE

}  // namespace gostr3413

// Public entry points: the self-test of the cipher and mode first, every time.

using gostr3413::Kuznechik;
using gostr3413::Magma;
using gostr3413::SelfTest;

namespace {

template <class C, class Setup, class... Args>
int tested(SelfTest which, Setup setup, Args... args) {
    if (gostr3413::self_test<C>(which) != 0) return GOSTR3413_ERR_SELFTEST;
    return setup(args...);
}

}  // namespace

int tvk_kuznechik_ecb_init(tvk_kuznechik_ecb_ctx* ctx, int direction, const uint8_t* key) {
    return tested<Kuznechik>(SelfTest::ecb, gostr3413::ecb_setup<Kuznechik>, ctx, direction, key);
}
int tvk_kuznechik_cbc_init(tvk_kuznechik_cbc_ctx* ctx, int direction, const uint8_t* key,
                           const uint8_t* iv, size_t m) {
    return tested<Kuznechik>(SelfTest::cbc, gostr3413::cbc_setup<Kuznechik>, ctx, direction, key,
                             iv, m);
}
int tvk_kuznechik_ctr_init(tvk_kuznechik_ctr_ctx* ctx, int direction, const uint8_t* key, size_t s,
                           const uint8_t* iv) {
    return tested<Kuznechik>(SelfTest::ctr, gostr3413::ctr_setup<Kuznechik>, ctx, direction, key, s,
                             iv);
}
int tvk_kuznechik_ofb_init(tvk_kuznechik_ofb_ctx* ctx, int direction, const uint8_t* key, size_t s,
                           const uint8_t* iv, size_t m) {
    return tested<Kuznechik>(SelfTest::ofb, gostr3413::ofb_setup<Kuznechik>, ctx, direction, key, s,
                             iv, m);
}
int tvk_kuznechik_cfb_init(tvk_kuznechik_cfb_ctx* ctx, int direction, const uint8_t* key, size_t s,
                           const uint8_t* iv, size_t m) {
    return tested<Kuznechik>(SelfTest::cfb, gostr3413::cfb_setup<Kuznechik>, ctx, direction, key, s,
                             iv, m);
}
int tvk_kuznechik_mac_init(tvk_kuznechik_mac_ctx* ctx, const uint8_t* key, size_t mac_len) {
    return tested<Kuznechik>(SelfTest::mac, gostr3413::mac_setup<Kuznechik>, ctx, key, mac_len);
}

int tvk_magma_ecb_init(tvk_magma_ecb_ctx* ctx, int direction, const uint8_t* key) {
    return tested<Magma>(SelfTest::ecb, gostr3413::ecb_setup<Magma>, ctx, direction, key);
}
int init_cbc_89(tvk_magma_cbc_ctx* ctx, int direction, const uint8_t* key, const uint8_t* iv,
                size_t m) {
    return tested<Magma>(SelfTest::cbc, gostr3413::cbc_setup<Magma>, ctx, direction, key, iv, m);
}
int tvk_magma_ctr_init(tvk_magma_ctr_ctx* ctx, int direction, const uint8_t* key, size_t s,
                       const uint8_t* iv) {
    return tested<Magma>(SelfTest::ctr, gostr3413::ctr_setup<Magma>, ctx, direction, key, s, iv);
}
int tvk_magma_ofb_init(tvk_magma_ofb_ctx* ctx, int direction, const uint8_t* key, size_t s,
                       const uint8_t* iv, size_t m) {
    return tested<Magma>(SelfTest::ofb, gostr3413::ofb_setup<Magma>, ctx, direction, key, s, iv, m);
}
int tvk_magma_cfb_init(tvk_magma_cfb_ctx* ctx, int direction, const uint8_t* key, size_t s,
                       const uint8_t* iv, size_t m) {
    return tested<Magma>(SelfTest::cfb, gostr3413::cfb_setup<Magma>, ctx, direction, key, s, iv, m);
}
int tvk_magma_mac_init(tvk_magma_mac_ctx* ctx, const uint8_t* key, size_t mac_len) {
    return tested<Magma>(SelfTest::mac, gostr3413::mac_setup<Magma>, ctx, key, mac_len);
}

int tvk_kuznechik_ecb_update(tvk_kuznechik_ecb_ctx* ctx, const uint8_t* in, uint8_t* out,
                             size_t len) {
    return gostr3413::ecb_update(ctx, in, out, len);
}
int tvk_kuznechik_cbc_update(tvk_kuznechik_cbc_ctx* ctx, const uint8_t* in, uint8_t* out,
                             size_t len) {
    return gostr3413::cbc_update(ctx, in, out, len);
}
int tvk_kuznechik_ctr_update(tvk_kuznechik_ctr_ctx* ctx, const uint8_t* in, uint8_t* out,
                             size_t len) {
    return gostr3413::ctr_update(ctx, in, out, len);
}
int tvk_kuznechik_ofb_update(tvk_kuznechik_ofb_ctx* ctx, const uint8_t* in, uint8_t* out,
                             size_t len) {
    return gostr3413::ofb_update(ctx, in, out, len);
}
int tvk_kuznechik_cfb_update(tvk_kuznechik_cfb_ctx* ctx, const uint8_t* in, uint8_t* out,
                             size_t len) {
    return gostr3413::cfb_update(ctx, in, out, len);
}
int tvk_magma_ecb_update(tvk_magma_ecb_ctx* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    return gostr3413::ecb_update(ctx, in, out, len);
}
int tvk_magma_cbc_update(tvk_magma_cbc_ctx* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    return gostr3413::cbc_update(ctx, in, out, len);
}
int tvk_magma_ctr_update(tvk_magma_ctr_ctx* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    return gostr3413::ctr_update(ctx, in, out, len);
}
int tvk_magma_ofb_update(tvk_magma_ofb_ctx* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    return gostr3413::ofb_update(ctx, in, out, len);
}
int tvk_magma_cfb_update(tvk_magma_cfb_ctx* ctx, const uint8_t* in, uint8_t* out, size_t len) {
    return gostr3413::cfb_update(ctx, in, out, len);
}

int tvk_kuznechik_mac_update(tvk_kuznechik_mac_ctx* ctx, const uint8_t* data, size_t len) {
    return gostr3413::mac_update(ctx, data, len);
}
int tvk_kuznechik_mac_final(const tvk_kuznechik_mac_ctx* ctx, uint8_t* mac) {
    return gostr3413::mac_final(ctx, mac);
}
int tvk_magma_mac_update(tvk_magma_mac_ctx* ctx, const uint8_t* data, size_t len) {
    return gostr3413::mac_update(ctx, data, len);
}
int tvk_magma_mac_final(const tvk_magma_mac_ctx* ctx, uint8_t* mac) {
    return gostr3413::mac_final(ctx, mac);
}
