// GOST R 34.11-2012 hash (256- and 512-bit digests), its HMAC and KDF_256.
//
// Plain C-style functions on a caller-owned context. Every function returns 0 on success and a
// negative code on failure: -1 for a bad argument (NULL pointer, bad size), -2 when a size-specific
// function gets a context of the other size. A failing call leaves the context unchanged.
// Digests are the byte strings the hash outputs (RFC 6986 prints them reversed).
#pragma once

#include <cstddef>
#include <cstdint>

struct GOSTR3411_2012_CTX {
    uint32_t size;       // digest size in bytes: 32 or 64
    uint8_t buffer[64];  // input not yet compressed
    uint32_t count;      // bytes in buffer, 0..63 between calls
    uint64_t h[8];       // chaining value
    uint64_t N[8];       // message length in bits, least significant word first
    uint64_t Sigma[8];   // sum of the message blocks mod 2^512
};

int GOSTR3411_2012_Init(GOSTR3411_2012_CTX* ctx, uint32_t size);
int GOSTR3411_2012_256_Init(GOSTR3411_2012_CTX* ctx);
int GOSTR3411_2012_512_Init(GOSTR3411_2012_CTX* ctx);

// Length 0 succeeds whatever the data pointer is.
int GOSTR3411_2012_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len);
int GOSTR3411_2012_256_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len);
int GOSTR3411_2012_512_Update(GOSTR3411_2012_CTX* ctx, const uint8_t* data, uint32_t len);

// Writes ctx->size bytes. The context is not reset; initialise it again to hash again.
int GOSTR3411_2012_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out);
int GOSTR3411_2012_256_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out);
int GOSTR3411_2012_512_Final(GOSTR3411_2012_CTX* ctx, uint8_t* out);

// One-shot digest of size 32 or 64.
int GOSTR3411_2012_Transform(uint32_t size, const uint8_t* data, uint32_t len, uint8_t* out);
int GOSTR3411_2012_256_Transform(const uint8_t* data, uint32_t len, uint8_t* out);

// HMAC_GOSTR3411_2012_256 (hmac_len 32) or _512 (hmac_len 64); writes hmac_len bytes.
int GOSTR3411_2012_HMAC(uint32_t hmac_len, const uint8_t* data, uint32_t data_len,
                        const uint8_t* key, uint32_t key_len, uint8_t* out);

// KDF_256: HMAC-256 keyed by the 32-byte key over 01 || label || 00 || seed || 01 00.
// Writes 32 bytes only on success.
int GOSTR3411_2012_256_KDF(const uint8_t* key, uint32_t key_len, const uint8_t* label,
                           uint32_t label_len, const uint8_t* seed, uint32_t seed_len,
                           uint8_t* out);
