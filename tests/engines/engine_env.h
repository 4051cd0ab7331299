// Brings the crypto library up the way the provider's start-up does: no system configuration,
// then the built-in engines, once per process.
#pragma once

#include <openssl/crypto.h>

#include "cryptoext/ossl.h"
#include "engines/loader.h"

namespace engine_tests {

inline void load_engines() {
    static const bool once = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_CIPHERS |
                                OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                            nullptr);
        tvk_ENGINE_load_builtin_engines();
        return true;
    }();
    (void)once;
}

// A small self-signed certificate with an EC key, for tests that need any valid certificate.
inline ossl::X509Ptr make_test_cert(const char* cn = "engine test") {
    ossl::X509Ptr cert(X509_new());
    ossl::PKey key(EVP_EC_gen("P-256"));
    if (!cert || !key) return nullptr;
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    if (!X509_set_pubkey(cert.get(), key.get()) ||
        X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

}  // namespace engine_tests
