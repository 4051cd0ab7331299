// Brings the crypto library up the way the provider's start-up does: no system configuration,
// then the built-in engines, once per process.
#pragma once

#include <openssl/crypto.h>

#include "engines/loader.h"

namespace engine_tests {

inline void load_engines() {
    static const bool once = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                            nullptr);
        tvk_ENGINE_load_builtin_engines();
        return true;
    }();
    (void)once;
}

}  // namespace engine_tests
