// Keys on PKCS#11 tokens ("token=<module>" profiles): the certificate and key search over the
// module's slots, and crypto-library keys whose private operations run on the token. The
// private key never leaves the token: GOST keys sign through the "gost" engine's token signer,
// RSA keys through an RSA method whose private encryption is the token's.
#pragma once

#include <memory>

#include "cryptoext/ossl.h"
#include "engines/pkcs11/p11_registry.h"
#include "ssf/pki/password.h"
#include "ssf/ssf_api.h"

namespace ssf {

// One token key: the module it lives in (one reference), the session opened for it and logged
// in, and its private-key object. Released with its key: the session is closed, then the
// module reference dropped.
struct ssf_token_key {
    p11::ModuleRef module;
    CK_FUNCTION_LIST* functions = nullptr;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    int pkey_type = 0;  // the key's type: RSA, or one of the three GOST R 34.10 types
    ssf_token_key() = default;
    ssf_token_key(const ssf_token_key&) = delete;
    ssf_token_key& operator=(const ssf_token_key&) = delete;
    ~ssf_token_key();
};

// The search of one slot: 0 with the certificate matching the identity and its token key, or
// 5/9 with uResult set. The session is open and logged in only while the key lives. The token
// is handed every byte of the PIN, NUL bytes included: it is the token's to judge.
[[nodiscard]] int ssf_find_cert_on_token(const char* identity, const Password& pin, int is_signer,
                                         SigRcpSsfInfo* info, const p11::ModuleRef& module,
                                         CK_SLOT_ID slot, ossl::X509Ptr& cert_out,
                                         ossl::PKey& key_out);

// A key with the certificate's public key whose private operations go to the record's token
// object; none for key types a token key cannot be made of.
[[nodiscard]] ossl::PKey MakeTokenPrivateKey(EVP_PKEY* pub, std::unique_ptr<ssf_token_key> record);

// The record of a token key (GOST or RSA), or null for every other key.
ssf_token_key* token_record(EVP_PKEY* key);
bool is_token_key(EVP_PKEY* key);

// Releases any key; a token key's record goes with it.
void ssf_free_key(ossl::PKey& key);

// The GOST signer the "gost" engine calls for token keys: the signature length, -1 on failure.
int token_gost_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs,
                    size_t tbslen);
// The token RSA method's private encryption (PKCS#1 v1.5 signatures): the length, or -1.
int token_rsa_encrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
                      int padding);
int token_rsa_finish(RSA* rsa);

// The develope of a GOST key transport with a token key: the token derives the key-encryption
// key, the content key is unwrapped here. 32 with the content key in dec_key (room for
// dec_key_room bytes), or -1.
[[nodiscard]] int TOKEN_PKEY_decrypt(unsigned char* dec_key, size_t dec_key_room,
                                     const unsigned char* enc_key, int enc_key_len,
                                     ssf_token_key* record);
// VKO on the token: 0 with the key-encryption key's value (kek_room bytes at most), or -1.
[[nodiscard]] int TokenGenKek(ssf_token_key* record, CK_MECHANISM_TYPE mechanism,
                              const unsigned char* peer, size_t peer_len,
                              const unsigned char* param_der, size_t param_der_len,
                              const unsigned char* ukm, size_t ukm_len, unsigned char* kek,
                              size_t kek_room, size_t* kek_len);

}  // namespace ssf
