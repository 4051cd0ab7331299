// The "pkcs11" engine: private keys held on PKCS#11 tokens, reached through a module chosen at
// run time. GOST R 34.10 keys sign, generate key pairs and agree keys on the token; RSA keys
// sign and decrypt there through an RSA method of the engine. Everything public (verification,
// key-transport encryption, encodings) runs in the "gost" engine's software.
#pragma once

#include <openssl/engine.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

#include "engines/common/engine_keys.h"
#include "engines/common/gost_key_record.h"
#include "engines/pkcs11/p11_registry.h"
#include "gost/gost28147_params.h"

// The key record of a token key. It begins with a whole tvk_gost2012_key (key type, parameter
// set, public key and its length, key identifier), so the shared comparison, size, printing
// and verification code reads it as it reads every GOST key record. The key identifier is the
// CKA_ID given at key generation, all zero for a key loaded from a token.
struct pkcs11_key {
    tvk_gost2012_key pub;
    p11::ModuleRef* module;        // one reference, owned; null for a key without a token
    CK_SESSION_HANDLE session;     // owned
    CK_OBJECT_HANDLE private_key;  // on the token
};

inline constexpr int kP11CmdAttachApi = ENGINE_CMD_BASE;
inline constexpr int kP11CmdLogin = ENGINE_CMD_BASE + 1;
inline constexpr int kP11CmdEnumTokens = ENGINE_CMD_BASE + 2;
inline constexpr int kP11CmdShowTokens = ENGINE_CMD_BASE + 3;
inline constexpr int kP11CmdEnumKeys = ENGINE_CMD_BASE + 4;
inline constexpr int kP11CmdShowKeys = ENGINE_CMD_BASE + 5;
inline constexpr int kP11CmdLoadCerts = ENGINE_CMD_BASE + 6;
inline constexpr int kP11CmdShowCerts = ENGINE_CMD_BASE + 7;

// The key-context controls of this engine's GOST key methods.
inline constexpr int EVP_PKEY_CTRL_PKCS11_LABEL = EVP_PKEY_ALG_CTRL + 1;
inline constexpr int EVP_PKEY_CTRL_PKCS11_SLOT = EVP_PKEY_ALG_CTRL + 2;
inline constexpr int EVP_PKEY_CTRL_PKCS11_PARAMSET = EVP_PKEY_ALG_CTRL + 3;

// Binds a new engine and adds it to the engine list; start-up loads it before "mscryptoapi".
void tvk_ENGINE_load_pkcs11();
int bind_pkcs11(ENGINE* e);
// The engine bound last (null before): our code never looks engines up by id.
ENGINE* pkcs11_engine();

// ---- modules and settings ----
// The module path (ATTACH_API) and the PIN (LOGIN); process-wide.
std::optional<std::string> pkcs11_setting(int slot);
// A new reference to the module of the current path; an empty reference after a message.
p11::ModuleRef pkcs11_load_library();

// ---- keys ----
EVP_PKEY* pkcs11_load_privkey(ENGINE* e, const char* key_id, UI_METHOD* ui, void* callback_data);
// 0 with the key found on the slot, 5 on failure: by the certificate when one is given, else by
// the key identifier.
int find_cert_on_token(ENGINE* e, X509* cert, const std::vector<unsigned char>& id, const char* pin,
                       const p11::ModuleRef& module, CK_SLOT_ID slot, EVP_PKEY** key);
// A key of the token object bound to the engine; it takes the session (and a module reference)
// only when it returns a key.
EVP_PKEY* MakeTokenPrivateKey(ENGINE* e, const p11::ModuleRef& module, CK_SESSION_HANDLE session,
                              CK_OBJECT_HANDLE private_key, CK_OBJECT_HANDLE public_key);
// Drops one module reference (the module is finalised when its last user is gone).
void pkcs11_release_library(p11::ModuleRef* module);
// Closes the session and drops the module reference; the key pair stays on the token.
void pkcs11_key_free(pkcs11_key* key);
pkcs11_key* pkcs11_record(const EVP_PKEY* pkey);
const RSA_METHOD* pkcs11_rsa_method();
pkcs11_key* pkcs11_rsa_record(const RSA* rsa);

// ---- listings ----
// Mode 0 every certificate, 1 those with a public key of their CKA_ID (tagged "token=PATH",
// engine_keys::cert_tag).
int pkcs11_load_certs(long mode, STACK_OF(X509) * *certs);
int pkcs11_show_certs(long mode);
// Per slot three texts: slot id, serial number, label.
int pkcs11_enum_tokens(STACK_OF(OPENSSL_STRING) * *ids);
int pkcs11_show_tokens();
// Per public key three texts: slot id, CKA_ID in hexadecimal, label.
int pkcs11_enum_keys(STACK_OF(OPENSSL_STRING) * *ids);
int pkcs11_show_keys();

// ---- GOST key methods ----
[[nodiscard]] int register_pmeth_pkcs11(int nid, EVP_PKEY_METHOD** pmeth, int flags);
[[nodiscard]] int register_ameth_pkcs11(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                                        const char* info);
int pkcs11_gost_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                     const unsigned char* tbs, size_t tbslen);
int pkey_pkcs11_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                        const unsigned char* in, size_t in_len);
// The CryptoPro key unwrap of a 32-byte key and its 4-byte MAC under the key-encryption key the
// token derived, diversified by the UKM. 1 with the key in out (32 bytes); else 0 after a line
// naming the step that failed.
int pkcs11_kek_dec(const GOST28147_89_PARAMS* row, const unsigned char* kek,
                   const unsigned char* ukm, size_t ukm_len, const unsigned char* wrapped,
                   const unsigned char* mac, unsigned char* out);

// Error records on stderr; trace lines only while the trace switch is on (nothing turns it on).
inline constexpr engine_keys::Logger pkcs11_log_error = engine_keys::log_error;
inline constexpr engine_keys::Logger pkcs11_log_trace = engine_keys::log_trace;
