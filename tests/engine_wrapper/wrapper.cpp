// Test-only: the "gost" engine as an OpenSSL dynamic engine, so that the stock openssl command
// can load it with -engine <path>. Not part of the product.
#include <openssl/engine.h>

#include "cryptoext/objects.h"
#include "engines/gost/gost_engine.h"

#define WRAPPER_EXPORT extern "C" __attribute__((visibility("default")))

WRAPPER_EXPORT unsigned long v_check(unsigned long v) {
    return v >= OSSL_DYNAMIC_OLDEST ? OSSL_DYNAMIC_VERSION : 0;
}

WRAPPER_EXPORT int bind_engine(ENGINE* e, const char* id, const dynamic_fns* fns) {
    // The engine keeps crypto-library objects for the process's life; it must share the
    // loader's library rather than bring callbacks of its own.
    if (fns == nullptr || ENGINE_get_static_state() != fns->static_state) return 0;
    if (!objmap::register_objects()) return 0;
    return bind_gost(e, id);
}
