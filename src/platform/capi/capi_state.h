// The stand-in's process-wide state, shared by its store and provider halves. Everything here
// is guarded by state_lock().
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cryptoext/ossl.h"
#include "platform/capi/capi_test.h"

namespace capi::detail {
using stand_in::Bytes;

struct CertEntry {
    Bytes der;
    std::array<uint8_t, 20> sha1{};
    std::optional<stand_in::KeyProvInfo> prov;
};

struct StoreData {
    std::vector<std::shared_ptr<CertEntry>> certs;
};

struct CertCtx;

}  // namespace capi::detail

namespace capi {

// A store handle. The handle and every context taken from it keep it alive.
struct Store {
    std::shared_ptr<detail::StoreData> data;
    int refs = 1;
    bool open = true;
    std::set<detail::CertCtx*> contexts;
};

}  // namespace capi

namespace capi::detail {

struct CertCtx : CERT_CONTEXT {
    std::shared_ptr<CertEntry> entry;
    size_t index = 0;
};

enum class Kind { kRsa, kDsa, kGost };

struct Key {
    Kind kind = Kind::kRsa;
    ossl::PKey pkey;  // RSA and DSA
    // GOST: the key algorithm, curve and digest identifiers (whole DER elements), the private
    // key and public key, little-endian.
    ALG_ID alg = 0;
    Bytes curve_der, digest_der;
    std::array<uint8_t, 64> priv{};
    std::array<uint8_t, 128> pub{};
    size_t size = 0;  // 32 or 64
    ~Key() { OPENSSL_cleanse(priv.data(), priv.size()); }
};

struct Container {
    Kind kind = Kind::kRsa;
    std::u16string provider;
    DWORD provider_type = 0;
    std::map<DWORD, std::shared_ptr<Key>> keys;
    std::optional<std::string> pin;
};

struct Provider {
    DWORD type = 0;
    std::string cipher_oid;  // dotted; GOST providers only
    bool answers_cipher_oid = true;
};

struct State {
    bool loaded = false;  // SSF_CAPI_DIR read, or reset() called
    std::map<std::string, std::shared_ptr<StoreData>> stores;  // by lower-case name
    std::map<std::u16string, Provider> providers;
    std::map<std::pair<Kind, std::u16string>, std::shared_ptr<Container>> containers;
    std::map<std::string, DWORD> failures;
    stand_in::Calls calls;
    int (*gost_random)(unsigned char*, size_t) = nullptr;
    std::optional<Bytes> export_tail;
};

std::mutex& state_lock();
// The state, with SSF_CAPI_DIR read on first use; call with the lock held.
State& state();
void reset_locked(State& s);

// The kind of key a provider type serves; false for types the stand-in does not know.
bool kind_of_type(DWORD type, Kind* kind);
// True when the named function is to fail now; sets the error code.
bool injected_failure(State& s, const char* function);
// Sets the thread's last error and returns FALSE.
BOOL fail(DWORD code);

// Reads a PKCS#8 key; null (with a line on stderr) when it is not one the stand-in can use.
std::shared_ptr<Key> parse_key(const Bytes& pkcs8);

}  // namespace capi::detail
