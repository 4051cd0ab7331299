// The "mscryptoapi" engine's provider keys and what the provider does with them: the key record,
// the hash identifiers, CSP_SignHash, and the RSA and DSA methods whose private operations go to
// the provider. The engine object and its key methods stand on this; it calls none of them.
#pragma once

#include <openssl/dsa.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>

#include "engines/common/engine_keys.h"
#include "engines/common/gost_key_record.h"
#include "platform/capi/wincrypt.h"

// The key record of a provider key. It begins with a whole tvk_gost2012_key (key type, parameter
// set, public key and its length), so the shared comparison, size, printing and verification
// code reads it as it reads every GOST key record.
struct mscryptoapi_key {
    tvk_gost2012_key pub;
    capi::PCCERT_CONTEXT cert;  // owned
    capi::HCRYPTPROV prov;      // owned
    uint32_t key_spec;          // AT_KEYEXCHANGE or AT_SIGNATURE
    uint32_t last_error;        // of the last failed step of CSP_SignHash; 0 after a success
    uint32_t release;           // the RSA and DSA finish functions release the handles when set
};

// ---- signing in the provider ----
capi::ALG_ID GetHashAlgIdBySigAlgor(int nid);
capi::ALG_ID GetHashAlgIdByLength(int length);
capi::ALG_ID GetHashAlgIdByNid(int nid);
int GetHashNidByKeyNid(int key_nid);
// Signs the hash in the provider; the signature comes back big-endian. 1 or 0.
int CSP_SignHash(mscryptoapi_key* key, capi::ALG_ID alg, const unsigned char* hash,
                 unsigned int hash_len, unsigned char* sig, unsigned int* sig_len);
void ReverseBytes(unsigned char* p, size_t n);
const RSA_METHOD* mscryptoapi_rsa_method();
const DSA_METHOD* mscryptoapi_dsa_method();
// The record kept in the RSA or DSA object's extra data.
mscryptoapi_key* capi_rsa_record(const RSA* rsa);
mscryptoapi_key* capi_dsa_record(const DSA* dsa);

// Error records on stderr; trace lines only while the trace switch is on (nothing turns it on).
inline constexpr engine_keys::Logger mscryptoapi_log_error = engine_keys::log_error;
inline constexpr engine_keys::Logger mscryptoapi_log_trace = engine_keys::log_trace;
