// Loading of the system's engines into the crypto library at start-up.
#pragma once

#include <openssl/engine.h>

namespace engines {

// One row per engine. An engine joins start-up by adding its row to the table in loader.cpp;
// its load function binds it, adds it to the crypto library and registers its methods.
struct BuiltinEngine {
    const char* id;
    void (*load)();
};

}  // namespace engines

// Runs once per process; later calls return at once. (libcrypto owns the unprefixed name.)
void tvk_ENGINE_load_builtin_engines();
