// Filling and watching the CryptoAPI stand-in: certificate stores and key containers from a
// directory (the environment variable SSF_CAPI_DIR names it; read on first use) or from code.
//
// SSF_CAPI_DIR/capi.conf, split by the library's ini reader (platform/ini.h); '#' starts a comment
// anywhere, values are the rest of their line as written, paths are relative to the directory:
//   [provider NAME]        type = 80, cipher_oid = 1.2.643.7.1.2.5.1.1, cipher_oid_param = no
//   [container NAME]       provider = NAME, type = 80, exchange_key = FILE, signature_key = FILE,
//                          pin = TEXT
//   [store NAME]           certificate = FILE [, CONTAINER, KEY SPEC]   (one line per certificate)
// Key files are PKCS#8 (PEM or DER): RSA, DSA or GOST R 34.10-2001/2012 keys.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/capi/wincrypt.h"

namespace capi::stand_in {

using Bytes = std::vector<uint8_t>;

struct KeyProvInfo {
    std::u16string container;
    std::u16string provider;
    DWORD provider_type = 0;
    DWORD key_spec = 0;
};

// Empties every store and container; SSF_CAPI_DIR is no longer read afterwards.
void reset();
// Adds what the directory describes; false (with lines on stderr) when any part was refused.
[[nodiscard]] bool load_directory(const std::string& dir);

// The store is created when missing; a certificate may carry its key-container property.
[[nodiscard]] bool add_certificate(const std::string& store, const Bytes& der,
                                   const std::optional<KeyProvInfo>& prov = std::nullopt);
// Adds the key (PKCS#8 DER) under key_spec, creating the container (and provider) when missing.
[[nodiscard]] bool add_key(const std::u16string& provider, DWORD provider_type,
                           const std::u16string& container, DWORD key_spec, const Bytes& pkcs8);
void set_pin(const std::u16string& container, const std::string& pin);
// The provider's GOST 28147-89 parameter set; without the parameter PP_CIPHEROID answers
// NTE_BAD_TYPE, as older GOST providers do.
void set_provider_cipher(const std::u16string& provider, const std::string& dotted_oid,
                         bool answers_pp_cipheroid);

// What the SIMPLEBLOBs CryptExportKey writes carry after their 60 bytes of header, UKM, key and
// MAC, in place of 30, N and the parameter set's identifier; nullopt (and reset) writes those.
void set_export_tail(const std::optional<Bytes>& tail);

// What the engine asked for last.
struct Calls {
    ALG_ID hash_alg = 0;
    std::u16string acquired_provider;
    DWORD acquired_type = 0;
    DWORD acquire_flags = 0;
    DWORD pin_param = 0;
    int provider_calls = 0;  // every CryptoAPI call made on a provider, key or hash
};
Calls calls();
// The next call of the named function fails with the code.
void fail_next(const std::string& function, DWORD code);
// The nonce source of GOST signing (0 when filled); nullptr restores the crypto library's.
void set_gost_random(int (*rnd)(unsigned char*, size_t));

}  // namespace capi::stand_in
