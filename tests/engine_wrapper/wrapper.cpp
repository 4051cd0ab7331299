// Test-only: the "gost" or the "pkcs11" engine as an OpenSSL dynamic engine, so that the stock
// openssl command can load it with -engine <path>. Not part of the product. The engine bound is
// the one a loader names by id ("gost", "pkcs11"), else this module's own (WRAPPER_ENGINE).
#include <openssl/engine.h>

#include <cstring>

#include "cryptoext/objects.h"
#include "engines/gost/gost_engine.h"
#include "engines/pkcs11/p11_engine.h"

#define WRAPPER_EXPORT extern "C" __attribute__((visibility("default")))

WRAPPER_EXPORT unsigned long v_check(unsigned long v) {
    return v >= OSSL_DYNAMIC_OLDEST ? OSSL_DYNAMIC_VERSION : 0;
}

WRAPPER_EXPORT int bind_engine(ENGINE* e, const char* id, const dynamic_fns* fns) {
    // The engine keeps crypto-library objects for the process's life; it must share the
    // loader's library rather than bring callbacks of its own.
    if (fns == nullptr || ENGINE_get_static_state() != fns->static_state) return 0;
    if (!objmap::register_objects()) return 0;
    const char* which = id ? id : WRAPPER_ENGINE;
    if (std::strcmp(which, "pkcs11") == 0) return bind_pkcs11(e);
    return bind_gost(e, id);
}
