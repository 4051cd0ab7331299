#include "engines/loader.h"

#include <atomic>
#include <cstdio>
#include <iterator>

#include "cryptoext/objects.h"
#include "cryptoext/x509v3_ext.h"
#include "engines/gost/gost_engine.h"
#include "engines/mscryptoapi/capi_engine.h"
#include "engines/pkcs11/p11_engine.h"
#include "engines/rand/rand_engine.h"

namespace engines {
namespace {

void load_dynamic() {
    ENGINE_load_dynamic();
}

// In start-up order; "mscryptoapi" comes last.
const BuiltinEngine kBuiltinEngines[] = {
    {"dynamic", load_dynamic},
    {"gost", tvk_ENGINE_load_gost},
    {"rand", tvk_ENGINE_load_rand},
    {"pkcs11", tvk_ENGINE_load_pkcs11},
    {"mscryptoapi", tvk_ENGINE_load_mscryptoapi},
};

std::atomic<bool> g_loaded{false};

}  // namespace
}  // namespace engines

void tvk_ENGINE_load_builtin_engines() {
    if (engines::g_loaded.exchange(true)) return;
    // The engines name their algorithms through the object map, and certificates parsed later
    // must meet our extension methods: both go in before any engine binds.
    if (!objmap::register_objects()) std::fputs("object registration failed\n", stderr);
    if (!tvk_register_extensions()) std::fputs("extension registration failed\n", stderr);
    for (const auto& e : engines::kBuiltinEngines) e.load();
    ENGINE_register_all_complete();
}
