// Modes of operation of GOST R 34.13-2015 for Kuznyechik (block n = 16 bytes) and Magma (n = 8):
// ECB, CBC, CTR, OFB, CFB and the MAC (OMAC1). Every public initialisation first runs the
// known-answer self-test of its cipher and mode.
//
// Contexts are plain, trivially copyable memory owned by the caller (an engine may embed them in
// its cipher data and copy them byte for byte); nothing is allocated. A context is usable after a
// successful init and any number of updates; CBC, CTR, OFB, CFB and the MAC carry their state from
// call to call, so a message may be given in pieces (ECB and CBC pieces must be whole blocks).
// Input and output may be the same buffer (or must not overlap at all). Lengths s (segment) and m
// (register) are in bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "gost/kuznyechik.h"
#include "gost/magma.h"

enum : int {
    GOSTR3413_OK = 0,
    GOSTR3413_ERR_NULL = -1,        // NULL context, key, IV, input or output
    GOSTR3413_ERR_PARAM = -4,       // a length or parameter out of range
    GOSTR3413_ERR_LENGTH = -6,      // not a multiple of the block length
    GOSTR3413_ERR_SELFTEST = -14,   // the known-answer self-test failed; the context is untouched
    GOSTR3413_ERR_NOT_INIT = -152,  // the context was never initialised
};

enum : int { GOSTR3413_DECRYPT = 0, GOSTR3413_ENCRYPT = 1 };

namespace gostr3413 {

struct magma_key_words {
    uint32_t k[8];
};

struct Kuznechik {
    static constexpr size_t block = 16;
    static constexpr size_t max_register = 256;
    static constexpr uint8_t mac_rb = 0x87;
    using RoundKeys = kuznechik_round_keys;
};

struct Magma {
    static constexpr size_t block = 8;
    static constexpr size_t max_register = 128;
    static constexpr uint8_t mac_rb = 0x1b;
    using RoundKeys = magma_key_words;
};

template <class C>
struct Common {
    uint8_t key[32];
    // Kuznyechik ECB and CBC decryption hold the decryption schedule; everything else encrypts.
    typename C::RoundKeys rk;
    uint64_t processed;  // bytes processed since init
    uint8_t encrypt;     // 1 encrypt, 0 decrypt
    uint8_t initialised;
};

template <class C>
struct Ecb {
    Common<C> c;
};

// The register of CBC, OFB and CFB is a ring: MSB_n(R) starts at head, and shifting in new bytes
// overwrites the bytes that leave at the front, so a shift moves no data.
template <class C>
struct Cbc {
    Common<C> c;
    uint32_t m;
    uint32_t head;
    uint8_t reg[C::max_register];
};

template <class C>
struct Ctr {
    Common<C> c;
    uint32_t s;
    uint32_t avail;  // gamma bytes not yet used; the counter already names the next gamma block
    uint8_t counter[C::block];
    uint8_t gamma[C::block];
};

template <class C>
struct Ofb {
    Common<C> c;
    uint32_t s, m, head;
    uint32_t avail;
    uint8_t reg[C::max_register];
    uint8_t gamma[C::block];
};

template <class C>
struct Cfb {
    Common<C> c;
    uint32_t s, m, head;
    uint32_t done;  // bytes of the current segment processed; their ciphertext is already in reg
    uint8_t reg[C::max_register];
    uint8_t gamma[C::block];
};

template <class C>
struct Mac {
    Common<C> c;
    uint32_t mac_len;
    uint32_t held;  // bytes in buf; a complete block stays held back, it may be the last one
    uint8_t chain[C::block];
    uint8_t k1[C::block], k2[C::block];
    uint8_t buf[C::block];
};

}  // namespace gostr3413

using tvk_kuznechik_ecb_ctx = gostr3413::Ecb<gostr3413::Kuznechik>;
using tvk_kuznechik_cbc_ctx = gostr3413::Cbc<gostr3413::Kuznechik>;
using tvk_kuznechik_ctr_ctx = gostr3413::Ctr<gostr3413::Kuznechik>;
using tvk_kuznechik_ofb_ctx = gostr3413::Ofb<gostr3413::Kuznechik>;
using tvk_kuznechik_cfb_ctx = gostr3413::Cfb<gostr3413::Kuznechik>;
using tvk_kuznechik_mac_ctx = gostr3413::Mac<gostr3413::Kuznechik>;
using tvk_magma_ecb_ctx = gostr3413::Ecb<gostr3413::Magma>;
using tvk_magma_cbc_ctx = gostr3413::Cbc<gostr3413::Magma>;
using tvk_magma_ctr_ctx = gostr3413::Ctr<gostr3413::Magma>;
using tvk_magma_ofb_ctx = gostr3413::Ofb<gostr3413::Magma>;
using tvk_magma_cfb_ctx = gostr3413::Cfb<gostr3413::Magma>;
using tvk_magma_mac_ctx = gostr3413::Mac<gostr3413::Magma>;

static_assert(std::is_trivially_copyable_v<tvk_kuznechik_cbc_ctx> &&
              std::is_trivially_copyable_v<tvk_magma_mac_ctx>);

// Initialisation. direction: GOSTR3413_ENCRYPT or GOSTR3413_DECRYPT (CTR and OFB accept either and
// always encrypt blocks). key: 32 bytes. Limits (n = block length, M = 256 for Kuznyechik, 128 for
// Magma): CBC m = n..M, a multiple of n; CTR s = 1..n, IV n/2 bytes; OFB and CFB s = 1..n,
// m = n..M, a multiple of n, IV m bytes; MAC length 1..n.
[[nodiscard]] int tvk_kuznechik_ecb_init(tvk_kuznechik_ecb_ctx* ctx, int direction,
                                         const uint8_t* key);
[[nodiscard]] int tvk_kuznechik_cbc_init(tvk_kuznechik_cbc_ctx* ctx, int direction,
                                         const uint8_t* key, const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_kuznechik_ctr_init(tvk_kuznechik_ctr_ctx* ctx, int direction,
                                         const uint8_t* key, size_t s, const uint8_t* iv);
[[nodiscard]] int tvk_kuznechik_ofb_init(tvk_kuznechik_ofb_ctx* ctx, int direction,
                                         const uint8_t* key, size_t s, const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_kuznechik_cfb_init(tvk_kuznechik_cfb_ctx* ctx, int direction,
                                         const uint8_t* key, size_t s, const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_kuznechik_mac_init(tvk_kuznechik_mac_ctx* ctx, const uint8_t* key,
                                         size_t mac_len);

[[nodiscard]] int tvk_magma_ecb_init(tvk_magma_ecb_ctx* ctx, int direction, const uint8_t* key);
[[nodiscard]] int init_cbc_89(tvk_magma_cbc_ctx* ctx, int direction, const uint8_t* key,
                              const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_magma_ctr_init(tvk_magma_ctr_ctx* ctx, int direction, const uint8_t* key,
                                     size_t s, const uint8_t* iv);
[[nodiscard]] int tvk_magma_ofb_init(tvk_magma_ofb_ctx* ctx, int direction, const uint8_t* key,
                                     size_t s, const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_magma_cfb_init(tvk_magma_cfb_ctx* ctx, int direction, const uint8_t* key,
                                     size_t s, const uint8_t* iv, size_t m);
[[nodiscard]] int tvk_magma_mac_init(tvk_magma_mac_ctx* ctx, const uint8_t* key, size_t mac_len);

// Processing: len > 0; ECB and CBC need a multiple of the block length. ECB, CBC and CFB follow the
// context's direction.
[[nodiscard]] int tvk_kuznechik_ecb_update(tvk_kuznechik_ecb_ctx* ctx, const uint8_t* in,
                                           uint8_t* out, size_t len);
[[nodiscard]] int tvk_kuznechik_cbc_update(tvk_kuznechik_cbc_ctx* ctx, const uint8_t* in,
                                           uint8_t* out, size_t len);
[[nodiscard]] int tvk_kuznechik_ctr_update(tvk_kuznechik_ctr_ctx* ctx, const uint8_t* in,
                                           uint8_t* out, size_t len);
[[nodiscard]] int tvk_kuznechik_ofb_update(tvk_kuznechik_ofb_ctx* ctx, const uint8_t* in,
                                           uint8_t* out, size_t len);
[[nodiscard]] int tvk_kuznechik_cfb_update(tvk_kuznechik_cfb_ctx* ctx, const uint8_t* in,
                                           uint8_t* out, size_t len);
[[nodiscard]] int tvk_magma_ecb_update(tvk_magma_ecb_ctx* ctx, const uint8_t* in, uint8_t* out,
                                       size_t len);
[[nodiscard]] int tvk_magma_cbc_update(tvk_magma_cbc_ctx* ctx, const uint8_t* in, uint8_t* out,
                                       size_t len);
[[nodiscard]] int tvk_magma_ctr_update(tvk_magma_ctr_ctx* ctx, const uint8_t* in, uint8_t* out,
                                       size_t len);
[[nodiscard]] int tvk_magma_ofb_update(tvk_magma_ofb_ctx* ctx, const uint8_t* in, uint8_t* out,
                                       size_t len);
[[nodiscard]] int tvk_magma_cfb_update(tvk_magma_cfb_ctx* ctx, const uint8_t* in, uint8_t* out,
                                       size_t len);

// MAC: update accepts any length (0 does nothing); final writes the MAC length given at init and
// leaves the context as it was, so more data may follow.
[[nodiscard]] int tvk_kuznechik_mac_update(tvk_kuznechik_mac_ctx* ctx, const uint8_t* data,
                                           size_t len);
[[nodiscard]] int tvk_kuznechik_mac_final(const tvk_kuznechik_mac_ctx* ctx, uint8_t* mac);
[[nodiscard]] int tvk_magma_mac_update(tvk_magma_mac_ctx* ctx, const uint8_t* data, size_t len);
[[nodiscard]] int tvk_magma_mac_final(const tvk_magma_mac_ctx* ctx, uint8_t* mac);
