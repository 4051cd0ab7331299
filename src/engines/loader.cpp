#include "engines/loader.h"

#include <atomic>
#include <iterator>

namespace engines {
namespace {

void load_dynamic() { ENGINE_load_dynamic(); }

// In start-up order; "gost", "rand", "pkcs11" and "mscryptoapi" join as they are built.
const BuiltinEngine kBuiltinEngines[] = {
    {"dynamic", load_dynamic},
};

std::atomic<bool> g_loaded{false};

}  // namespace
}  // namespace engines

void tvk_ENGINE_load_builtin_engines() {
    if (engines::g_loaded.exchange(true)) return;
    for (const auto& e : engines::kBuiltinEngines) e.load();
    ENGINE_register_all_complete();
}
