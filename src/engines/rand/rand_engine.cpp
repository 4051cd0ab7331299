#include "engines/rand/rand_engine.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/guard.h"
#include "gost/gost_rng.h"

namespace {

constexpr const char* kEngineId = "rand";
constexpr const char* kEngineName = "Kesta-Soft Orbssl Internal RAND engine";
constexpr int kCtrlCommandNotImplemented = 119;

const ENGINE_CMD_DEFN kCommands[] = {
    {kRandCmdSeed, "SEED", "TPRNG seed path and callback", ENGINE_CMD_FLAG_STRING},
    {0, nullptr, nullptr, 0},
};

// One generator per process. Everything below is touched only under g_lock; the flag is also
// read without it, as a fast path, before an initialisation that takes the lock itself.
std::mutex g_lock;
TPRNG_CTX g_generator{};
uint8_t g_pool[kRandPoolSize]{};
uint32_t g_position = 0;
std::atomic<bool> g_initialised{false};

// The generator could not start: the draw fails with a clear result instead of ending the host
// process; the next draw tries again.
int init_locked() {
    const int rc = TPRNG_Init(&g_generator, g_pool);
    if (rc != 0) {
        g_initialised = false;
        objmap::err::raise("TPRNG_RAND_ADD", objmap::err::kPrngInit);
        std::fprintf(stderr, "\n######## RNG_INIT = %d\n", rc);
        return 0;
    }
    g_initialised = true;
    return 1;
}

int ensure_initialised_locked() {
    return g_initialised ? 1 : init_locked();
}

int rand_add(const void* buffer, int count, double) {
    return engines::guarded("tvk_rand_add", 0, [&] {
        std::lock_guard<std::mutex> lock(g_lock);
        const int ready = ensure_initialised_locked();
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        for (int i = 0; bytes != nullptr && i < count; ++i) {
            g_position =
                static_cast<uint32_t>((g_position + static_cast<uint32_t>(i)) % kRandPoolSize);
            g_pool[g_position] ^= bytes[i];
        }
        return ready;
    });
}

int rand_seed(const void* buffer, int count) {
    return rand_add(buffer, count, count);
}

int rand_bytes(unsigned char* buffer, int count) {
    return engines::guarded("tvk_rand_bytes", 0, [&] {
        if (count == 0) return 1;
        if (buffer == nullptr || count < 0) return 0;
        std::lock_guard<std::mutex> lock(g_lock);
        // 0, not the generator's negative code: callers that test the result for zero alone
        // would take a negative value for success and use the buffer.
        if (!ensure_initialised_locked() ||
            TPRNG_Generate(&g_generator, buffer, static_cast<uint32_t>(count)) != 0) {
            OPENSSL_cleanse(buffer, static_cast<size_t>(count));
            return 0;
        }
        return 1;
    });
}

int rand_status() {
    return engines::guarded("tvk_rand_status", 0, [] {
        if (g_initialised) return 1;
        std::lock_guard<std::mutex> lock(g_lock);
        return ensure_initialised_locked();
    });
}

void rand_cleanup() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_initialised = false;
    TPRNG_Clear(&g_generator);
    g_position = 0;
}

const RAND_METHOD kMethod = {rand_seed, rand_bytes, rand_cleanup,
                             rand_add,  rand_bytes, rand_status};

int always_one(ENGINE*) {
    return 1;
}

bool fail(const char* line) {
    std::fputs(line, stderr);
    return false;
}

}  // namespace

const RAND_METHOD* tvk_rand_method() {
    return &kMethod;
}

void tvk_rand_pool_snapshot(uint8_t pool[kRandPoolSize], uint32_t* position) {
    std::lock_guard<std::mutex> lock(g_lock);
    std::memcpy(pool, g_pool, kRandPoolSize);
    *position = g_position;
}

int tvk_rand_ctrl(ENGINE*, int cmd, long, void*, void (*)(void)) {
    return engines::guarded("tvk_rand_ctrl", 0, [&] {
        if (cmd < kRandCmdSeed || cmd > kRandCmdReserved) return kCtrlCommandNotImplemented;
        if (cmd == kRandCmdReserved) return 1;
        std::lock_guard<std::mutex> lock(g_lock);
        return init_locked();
    });
}

int bind_rand(ENGINE* e, const char*) {
    return engines::guarded("bind_rand", 0, [&]() -> int {
        if (!objmap::register_objects()) return fail("object registration failed\n");
        if (!ENGINE_set_name(e, kEngineName)) return fail("ENGINE_set_name failed\n");
        if (!ENGINE_set_id(e, kEngineId)) return fail("ENGINE_set_id failed\n");
        if (!ENGINE_set_cmd_defns(e, kCommands)) return fail("ENGINE_set_cmd_defns failed\n");
        if (!ENGINE_set_ctrl_function(e, tvk_rand_ctrl))
            return fail("ENGINE_set_ctrl_func failed\n");
        if (!ENGINE_set_init_function(e, always_one) ||
            !ENGINE_set_finish_function(e, always_one) ||
            !ENGINE_set_destroy_function(e, always_one))
            return fail("ENGINE_set_init/finish/destroy_function failed\n");
        if (!ENGINE_set_RAND(e, &kMethod)) return fail("ENGINE_set_RAND failed\n");
        // A generator that cannot start leaves the method in place, failing every draw: falling
        // back to another source would be silent, and ending the host process is not ours to do.
        std::lock_guard<std::mutex> lock(g_lock);
        (void)init_locked();
        return 1;
    });
}

void tvk_ENGINE_load_rand() {
    ossl::Engine e(ENGINE_new());
    if (!e || !bind_rand(e.get(), kEngineId)) return;
    ENGINE_set_flags(e.get(), ENGINE_get_flags(e.get()) | ENGINE_FLAGS_NO_REGISTER_ALL);
    if (!ENGINE_add(e.get())) {
        std::fputs("ENGINE_add failed\n", stderr);
        ERR_clear_error();
        return;
    }
    // Registered only once the engine list keeps it: the table takes no reference of its own.
    if (!ENGINE_register_RAND(e.get())) std::fputs("ENGINE_register_RAND failed\n", stderr);
    // The crypto library fixes its random method at the first draw; claim it now.
    if (!RAND_set_rand_engine(e.get())) std::fputs("RAND_set_rand_engine failed\n", stderr);
    ERR_clear_error();
}
