// Shared helpers of the engine tests: the crypto library brought up the way the provider's
// start-up does (no system configuration, then the built-in engines, once per process), a
// fixture doing that, stderr capture, key generation and a throw-away certificate.
#pragma once

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <type_traits>
#include <utility>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/loader.h"

namespace engine_tests {

using testing_support::Bytes;
using PKeyCtx = ossl::PKeyCtx;
using CipherCtx = ossl::CipherCtx;
using Result = std::pair<int, std::string>;  // a call's result and what it wrote on stderr

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

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override { engine_tests::load_engines(); }
};

// Runs the call with stderr captured and the error queue drained afterwards.
template <class F>
Result captured(F&& call) {
    testing::internal::CaptureStderr();
    const int rc = static_cast<int>(call());
    ERR_clear_error();
    return {rc, testing::internal::GetCapturedStderr()};
}

inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline Bytes counter_bytes(size_t n) {
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i);
    return m;
}

// A key of the given engine type on the given parameter set ("A", an OID name, ...).
inline ossl::PKey generate(objmap::Obj type, const char* paramset) {
    PKeyCtx ctx(EVP_PKEY_CTX_new_id(objmap::nid(type), nullptr));
    EVP_PKEY* raw = nullptr;
    EXPECT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", paramset) == 1 &&
                EVP_PKEY_keygen(ctx.get(), &raw) == 1)
        << paramset;
    return ossl::PKey(raw);
}

// A self-signed certificate for the key (an EC P-256 one when none is given), signed with the
// key's default digest.
inline ossl::X509Ptr self_signed(EVP_PKEY* key = nullptr, const char* cn = "engine test",
                                 long serial = 7) {
    static ossl::PKey ec(EVP_EC_gen("P-256"));
    if (key == nullptr) key = ec.get();
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    int md = 0;
    EVP_PKEY_get_default_digest_nid(key, &md);
    if (!X509_set_pubkey(cert.get(), key) ||
        X509_sign(cert.get(), key, EVP_get_digestbynid(md)) <= 0)
        return nullptr;
    return cert;
}

// The DER of any object with an i2d function.
template <class T>
Bytes der_of(int (*i2d)(T*, unsigned char**), std::type_identity_t<T>* obj) {
    unsigned char* der = nullptr;
    const int n = i2d(obj, &der);
    ossl::Bytes owner(der);
    return n > 0 ? Bytes(der, der + n) : Bytes{};
}

// A SubjectPublicKeyInfo that is byte for byte the software key's and that the "gost" engine
// reads back as that key.
inline ::testing::AssertionResult is_public_key_of(const Bytes& spki, EVP_PKEY* soft) {
    const Bytes want = der_of(i2d_PUBKEY, soft);
    if (spki != want)
        return ::testing::AssertionFailure()
               << spki.size() << " bytes, not the software key's " << want.size();
    const unsigned char* p = spki.data();
    ossl::PKey back(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    if (!back || EVP_PKEY_eq(back.get(), soft) != 1)
        return ::testing::AssertionFailure() << "does not read back as the software key";
    return ::testing::AssertionSuccess();
}

}  // namespace engine_tests
