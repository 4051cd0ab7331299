// The "mscryptoapi" engine: private keys held by CryptoAPI providers (RSA, DSA, GOST R 34.10),
// found through their certificates in the current user's "My" store. Signing and key-transport
// decryption run in the provider; everything public runs in the crypto library and the "gost"
// engine's software.
#pragma once

#include <openssl/dsa.h>
#include <openssl/engine.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdint>

#include "engines/common/engine_keys.h"
#include "engines/common/gost_key_record.h"
#include "engines/mscryptoapi/capi_sign.h"
#include "platform/capi/wincrypt.h"

inline constexpr int kCapiCmdSetCurrentStore = ENGINE_CMD_BASE;
inline constexpr int kCapiCmdLoadCerts = ENGINE_CMD_BASE + 1;
inline constexpr int kCapiCmdShowCerts = ENGINE_CMD_BASE + 2;

// Binds a new engine and adds it to the engine list; start-up loads it last.
void tvk_ENGINE_load_mscryptoapi();
int bind_mscryptoapi(ENGINE* e);
// The engine bound at start-up (null before): our code never looks engines up by id.
ENGINE* mscryptoapi_engine();

EVP_PKEY* mscryptoapi_load_privkey(ENGINE* e, const char* key_id, UI_METHOD* ui,
                                   void* callback_data);
EVP_PKEY* MakeCSPPrivateKey(ENGINE* e, X509* x509, capi::PCCERT_CONTEXT cert, capi::HCRYPTPROV prov,
                            capi::DWORD key_spec);
// Mode 0 every certificate, 1 those with a key container, 2 those whose container opens
// silently (tagged "store=NAME", engine_keys::cert_tag); the list goes to *certs. 1 when the
// current store opened.
int mscryptoapi_load_certs(long mode, STACK_OF(X509) * *certs);
int mscryptoapi_show_certs(long mode);

// ---- GOST key methods ----
[[nodiscard]] int register_pmeth_mscryptoapi(int nid, EVP_PKEY_METHOD** pmeth, int flags);
[[nodiscard]] int register_ameth_mscryptoapi(int nid, EVP_PKEY_ASN1_METHOD** ameth,
                                             const char* pem_str, const char* info);
// Gives a DSA key the key-ASN.1 method copy whose default digest is SHA-1, with the DSA. 1/0.
[[nodiscard]] int mscryptoapi_set_dsa_ameth(EVP_PKEY* pkey, DSA* dsa);
// That copy's control: SHA-1 as the default digest (2); every other operation as the crypto
// library's own DSA control answers it.
int mscryptoapi_dsa_pkey_ctrl(EVP_PKEY* pkey, int op, long arg1, void* arg2);
// The DER of the key's parameters in a new buffer (*out, the caller frees it); its length or -2.
int mscryptoapi_param_encode(const tvk_gost2012_key* key, unsigned char** out);
void mscryptoapi_pkey_free(EVP_PKEY* pkey);
int pub_decode_mscryptoapi(EVP_PKEY* pkey, const X509_PUBKEY* pub);
tvk_gost2012_key* mscryptoapi_record_alloc();
mscryptoapi_key* mscryptoapi_record(const EVP_PKEY* pkey);

// ---- key transport ----
int pkey_mscryptoapi_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                             const unsigned char* in, size_t in_len);
int MakePubKeyBlob(const tvk_gost2012_key* key, unsigned char** blob, unsigned int* blob_len);
int GetProvCipherNid(capi::HCRYPTPROV prov);
