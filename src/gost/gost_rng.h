// The random generator core: a GOST 28147-89 counter-mode keystream over the TC26 Z table,
// re-keyed every 2048 output bytes from a pre-derived block that passed a statistical key test.
//
// Fresh input comes from getrandom(2) at every (re-)seeding and is mixed into the caller's seed
// and into every re-key block; a process that forks re-keys before its first draw. The context
// is not locked here: its owner serialises all calls.
//
// Functions return 0 on success and a negative code on failure:
//   -1 bad argument, -2 not initialised, -6 power-up test failed three times, -7 key test failed
//   three times, -12 no memory, -13 no fresh input from the operating system.
// The tests themselves answer -8 (ones), -9 (transitions), -10 (neighbour differences) and -11
// (zero run too long).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "gost/gost28147_89.h"

inline constexpr size_t kTprngSeedSize = 40;
inline constexpr uint32_t kTprngRekeyBudget = 2048;
inline constexpr size_t kTprngPowerUpBytes = 102400;

struct TPRNG_CTX {
    uint32_t initialised;
    const TZ* table;
    uint32_t key[8];
    uint32_t counter[2];  // N1, N2
    uint32_t budget;      // output bytes left under this key
    uint32_t state;       // 1: counter seeded, encrypt it before use; 3: running
    uint8_t next[kTprngSeedSize];
    pid_t pid;  // process that last seeded the context
};

// Tables by index: 0 test, 1..4 CryptoPro A..D, 5 TC26 Z. Out of range: a line on stderr, NULL.
const TZ* TPRNG_TZ_by_id(int index);

int TPRNG_Init(TPRNG_CTX* ctx, const uint8_t seed[kTprngSeedSize]);
int TPRNG_Generate(TPRNG_CTX* ctx, uint8_t* buffer, uint32_t length);
// Overwrites the whole context.
void TPRNG_Clear(TPRNG_CTX* ctx);

// The checks, exposed for their own tests.
int TPRNG_KeyTest(const uint8_t key[32]);
int TPRNG_StatTest(const uint8_t* data, size_t length);

// Test seams. Production code never sets them; nullptr members keep the defaults
// (getrandom(2) and TPRNG_KeyTest). Set before any context is in use; nullptr restores both.
struct TPRNG_SEAMS {
    int (*fresh_input)(uint8_t* out, size_t length);  // 0 on success
    int (*key_test)(const uint8_t key[32]);
};
void TPRNG_SetSeams(const TPRNG_SEAMS* seams);
