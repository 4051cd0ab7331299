// GOST R 34.11-94 hash (256-bit result) over a chosen parameter set.
//
// Functions return 0 on success, -1 for a bad argument (NULL pointer, Update with length 0) and
// -3001 for an unknown parameter set. The digest is H written as eight little-endian 32-bit words.
#pragma once

#include <cstdint>

#include "gost/gost28147_89.h"
#include "gost/gost28147_params.h"

// The expanded table belongs to the parameter set: built once, shared read-only by every context
// over that set, and only referred to here. Copying a context byte for byte therefore gives an
// independent one, and initialising, copying and wiping cost the running state alone. The table
// must outlive the context; the built-in ones live for the whole process.
struct GOSTR3411_94_CTX {
    const TZ* tz;
    uint32_t sigma[8];   // sum of the message blocks mod 2^256, least significant word first
    uint32_t H[8];       // chaining value
    uint32_t length[8];  // message length in bits; the low 64 bits are counted
    uint8_t buffer[32];
    uint32_t count;  // bytes in buffer, 0..32
};

// The context refers to tz from now on; see above.
int GOSTR3411_94_Init_ex(GOSTR3411_94_CTX* ctx, const TZ* tz);
// Looks the DER-encoded identifier up among the built-in sets, then among the caller's rows.
int GOSTR3411_94_Init_more_par(GOSTR3411_94_CTX* ctx, const uint8_t* der, uint32_t der_len,
                               const GOSTR3411_94_PARAMS* extra, uint32_t extra_count);
int GOSTR3411_94_Init(GOSTR3411_94_CTX* ctx, const uint8_t* der, uint32_t der_len);
int GOSTR3411_94_Update(GOSTR3411_94_CTX* ctx, const uint8_t* data, uint32_t len);
// Writes 32 bytes; the context is not cleared.
int GOSTR3411_94_Final(GOSTR3411_94_CTX* ctx, uint8_t* out);

int GOSTR3411_94_Transform_more_par(const uint8_t* der, uint32_t der_len,
                                    const GOSTR3411_94_PARAMS* extra, uint32_t extra_count,
                                    const uint8_t* data, uint32_t len, uint8_t* out);
int GOSTR3411_94_Transform(const uint8_t* der, uint32_t der_len, const uint8_t* data, uint32_t len,
                           uint8_t* out);
