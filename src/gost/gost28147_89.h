// GOST 28147-89: block core, the ECB, CFB, counter, CBC and MAC workers, the stateful crypt
// interface with CryptoPro key meshing, and the CryptoPro KEK diversification.
//
// Keys, blocks, IVs and MACs are little-endian 32-bit words: key word i is bytes 4i..4i+3, N1 is
// block bytes 0..3 and N2 bytes 4..7. Functions return 0 on success or a negative code:
//   -1 bad argument, -2 table not ready, -4 empty input or output too short,
//   -6 length not a whole number of blocks (ECB, CBC) or a tail without the last-call flag,
//   -152 context not initialised, -153 Final with nothing processed, -1102 unknown mode.
#pragma once

#include <cstdint>

// Expanded substitution table: entry j,b holds the substitution of byte b at byte position j
// (low nibble through S-box 2j, high nibble through S-box 2j+1) rotated left by 11 bits.
struct TZ {
    uint32_t k[4][256];
    uint32_t ready;  // 1 when filled; a table with 0 here is refused
};

// A byte string: on input its length; on output the capacity on entry, the bytes written on
// success.
struct GOST_BLOB {
    uint32_t length;
    uint8_t* data;
};

enum : uint32_t {
    GOST28147_89_MODE_ECB = 1,
    GOST28147_89_MODE_CFB = 2,
    GOST28147_89_MODE_CNT = 3,
    GOST28147_89_MODE_CBC = 4,
    GOST28147_89_MODE_MAC = 5,
};

enum : uint8_t {
    GOST28147_89_FLAG_FIRST = 1,  // nothing processed yet
    GOST28147_89_FLAG_LAST = 2,   // a partial final block is allowed and zero-padded
};

struct GOST28147_89_CTX {
    TZ tz;
    uint32_t mode;         // GOST28147_89_MODE_*
    uint32_t key_meshing;  // 1 on
    uint32_t key[8];
    uint32_t iv[2];          // CFB: last ciphertext block; CNT: counter; CBC: chaining block
    uint32_t mesh_count;     // bytes processed since the key was last meshed
    uint8_t partial[8];      // ECB/CBC/MAC: pending input; CFB/CNT: last gamma block
    uint32_t mac[2];         // MAC state N1, N2
    uint32_t partial_count;  // ECB/CBC/MAC: pending bytes; CFB/CNT: unused gamma bytes
    uint8_t initialised;
    uint8_t encrypt;  // 1 encrypt, 0 decrypt
    uint8_t flags;    // GOST28147_89_FLAG_*
};

// One-shot workers. iv is updated in place to the register after the last block.
int TVK_Gost_SS_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, const uint32_t* key,
                  int encrypt);
int TVK_Gost_GFB_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, int encrypt, uint32_t flags);
// With GOST28147_89_FLAG_FIRST the IV is encrypted in place first to give the starting counter.
int TVK_Gost_CNT_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, uint32_t flags);
int TVK_Gost_CBC_m(const TZ* tz, const GOST_BLOB* in, GOST_BLOB* out, uint32_t* iv,
                   const uint32_t* key, int encrypt);
// Returns len / 8 and, for a tail of 1..7 bytes, copies it zero-padded into block. A tail
// without GOST28147_89_FLAG_LAST gives -6.
int make_last_block(const uint8_t* data, uint32_t len, uint8_t* block, uint32_t* tail_len,
                    uint32_t* blocks, uint32_t flags);

// encrypt: 1 encrypt, 0 decrypt. iv (8 bytes) may be NULL; in MAC mode it is the initial state.
int GOST28147_89_Init(GOST28147_89_CTX* ctx, int encrypt, const TZ* tz, uint32_t mode,
                      uint32_t key_meshing, const uint8_t* iv, const uint8_t* key);
// out may be NULL in MAC mode only. In ECB and CBC a NULL out->data asks for the output size.
int GOST28147_89_Update(GOST28147_89_CTX* ctx, const GOST_BLOB* in, GOST_BLOB* out);
// In MAC mode ctx->mac then holds the MAC: N1 then N2, little-endian; a 32-bit MAC is N1.
int GOST28147_89_Final(GOST28147_89_CTX* ctx);

// KEK diversification with an 8-byte UKM (RFC 4357 section 6.5); writes 32 bytes.
int GOST28147_89_KDF(const TZ* tz, const uint8_t* kek, const uint8_t* ukm, uint8_t* out);
