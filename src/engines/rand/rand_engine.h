// The "rand" engine: the system's random generator as the crypto library's random method.
#pragma once

#include <openssl/engine.h>
#include <openssl/rand.h>

#include <cstddef>
#include <cstdint>

inline constexpr int kRandCmdSeed = ENGINE_CMD_BASE;
inline constexpr int kRandCmdReserved = ENGINE_CMD_BASE + 1;  // accepted, changes nothing

int bind_rand(ENGINE* e, const char* id);
// Binds a new engine, adds it and makes its method the process's random method.
void tvk_ENGINE_load_rand();

// The method's slots.
const RAND_METHOD* tvk_rand_method();
int tvk_rand_ctrl(ENGINE* e, int cmd, long number, void* value, void (*callback)(void));

// For tests: a copy of the seed pool and the pool position.
inline constexpr size_t kRandPoolSize = 40;
void tvk_rand_pool_snapshot(uint8_t pool[kRandPoolSize], uint32_t* position);
