// Key methods shared by the engines whose GOST private keys live outside the process (the
// "mscryptoapi" engine's CryptoAPI providers, the "pkcs11" engine's tokens). Their key records
// begin with a tvk_gost2012_key, so everything public (parameters, public key, comparison,
// verification, key-transport encryption) is the same code for both; each engine wraps these
// under its own callback names and passes that name, which its messages carry. The key-method
// holder, its selectors and the key-ASN.1 control serve the "gost" engine as well.
#pragma once

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <span>
#include <string>

#include "engines/common/gost_record_methods.h"

// Settings of one engine, kept in the engine's extra-data slot 0.
struct TVK2012_ENGINE_CTX {
    // DER of the default GOST 28147-89 parameter set: 06, content length, at most 14 content bytes.
    uint8_t cipher_param_oid[16];
    int32_t cipher_param_nid;
    int32_t pbe_prf_nid;  // reported by the ciphers for password-based encryption
    int32_t key_params_2001;
    int32_t key_params_2012_256;
    int32_t key_params_2012_512;
};

namespace engine_keys {

// The texts a failure of parameter decoding prints (one %s: the engine's function name), in
// the order: parameter not a SEQUENCE, parameters not decoded, record not allocated, record
// not assigned, parameter set not filled.
struct DecodeTexts {
    const char* text[5];
};
inline constexpr DecodeTexts kPkcs11DecodeTexts = {
    {"p11: %s err 1\n", "p11: %s err 2\n", "%s err 1\n", "%s err 2\n", "%s err 3\n"}};
inline constexpr DecodeTexts kMscryptoapiDecodeTexts = {
    {"%s: err 1\n", "%s: err 2\n", "%s: err 3\n", "%s: err 4\n", "%s: err 5\n"}};

// Makes the zeroed record of a key decoded by the engine: the engine's own record type, which
// begins with a tvk_gost2012_key, so that whichever key method ends up freeing it frees it whole.
using RecordAlloc = tvk_gost2012_key* (*)();

// Reads a GOST algorithm identifier's parameters into the key: its type, and for the three
// signature types a record (made when missing) with the key parameter set. 1/0.
[[nodiscard]] int decode_algor_params(const char* fn, const DecodeTexts& texts, RecordAlloc alloc,
                                      EVP_PKEY* pkey, const X509_ALGOR* alg);
// SEQUENCE { key parameter set, digest parameter set } of a key record; null on failure.
ASN1_STRING* encode_algor_params(const char* fn, const tvk_gost2012_key* record);

// A SubjectPublicKeyInfo into a key held by a tvk_gost2012_key record. Only a public key as
// long as its parameter set's (64 or 128 bytes) is taken. 1/0.
[[nodiscard]] int pub_decode(const char* fn, const DecodeTexts& texts, RecordAlloc alloc,
                             EVP_PKEY* pkey, const X509_PUBKEY* pub);
// The key's public key as a SubjectPublicKeyInfo with its parameters, as the "gost" engine
// writes it. 1/0.
int pub_encode(const char* fn, X509_PUBKEY* pub, const EVP_PKEY* pkey);
// The record's public key as the SubjectPublicKeyInfo of the key: an OCTET STRING, with the
// algorithm parameters given (null: none written). 1/0.
[[nodiscard]] int set_public_key(X509_PUBKEY* pub, const EVP_PKEY* pkey, const tvk_gost2012_key* k,
                                 ASN1_STRING* params);

// Makes a recipient's algorithm parameters for the key; encode_fn names the encoder in messages.
using AlgorParamsEncoder = ASN1_STRING* (*)(const char* encode_fn, const EVP_PKEY* pkey);
// The key-ASN.1 control of a GOST key: signer and recipient algorithms, the default digest.
// fn names the engine's callback, encode and encode_fn its parameter encoder.
int pkey_ctrl(const char* fn, AlgorParamsEncoder encode, const char* encode_fn, EVP_PKEY* pkey,
              int op, long arg1, void* arg2);
// The same with encode_algor_params over the key's record, as the token engines have it.
int pkey_ctrl(const char* encode_fn, EVP_PKEY* pkey, int op, long arg1, void* arg2);

// The slots in which the token engines' key-ASN.1 methods differ; the others (comparison,
// printing, sizes, security bits) are the shared ones of a tvk_gost2012_key record.
struct TokenAsn1Slots {
    int (*pub_decode)(EVP_PKEY* pkey, const X509_PUBKEY* pub);
    int (*pub_encode)(X509_PUBKEY* pub, const EVP_PKEY* pkey);
    int (*priv_encode)(PKCS8_PRIV_KEY_INFO* p8, const EVP_PKEY* pkey);  // null: none
    void (*free)(EVP_PKEY* pkey);
    int (*ctrl)(EVP_PKEY* pkey, int op, long arg1, void* arg2);
};
// Makes the key-ASN.1 method of one of a token engine's key types; the three GOST signature
// types get the slots. 0 when the method could not be made.
[[nodiscard]] int make_token_ameth(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                                   const char* info, const TokenAsn1Slots& slots);

// Key-context data: a zeroed tvk_pmeth_data, the parameter set from the context's key record.
// Without a key the parameter set is default_param (each engine has its own rule).
int pmeth_init(EVP_PKEY_CTX* ctx, int default_param);
// Copies every field; the copy gets UKM and label copies of its own.
int pmeth_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src, int (*init)(EVP_PKEY_CTX*));
// Control codes 1 to 11 (digest, peer key, notices, UKM); anything else prints
// "%s() : unsupported type: %d\n" with fn and gives -2.
int pmeth_ctrl(const char* fn, EVP_PKEY_CTX* ctx, int type, int p1, void* p2);

// Assigns the record to the key so that the key carries this engine and its methods; under a
// process-wide lock, since the crypto library's defaults are process-wide. 1/0.
[[nodiscard]] int bind_key(ENGINE* e, EVP_PKEY* pkey, int type, void* record);

// ---- the engine objects ----

// Creates the engine's TVK2012_ENGINE_CTX with the "gost" engine's defaults (the key-transport
// encryption reads them) in extra-data slot 0; bind_fn names the caller in its messages.
[[nodiscard]] bool create_settings(ENGINE* e, const char* bind_fn);

// One GOST key type of an engine: its key-ASN.1 method's PEM name and description.
struct MethodRow {
    objmap::Obj type;
    const char* pem;
    const char* info;
};
using RegisterAmeth = int (*)(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem,
                              const char* info);
using RegisterPmeth = int (*)(int nid, EVP_PKEY_METHOD** pmeth, int flags);
// Makes the engine's key-ASN.1 methods, then its key methods, one per row, kept with the
// engine; the first failure stops. True when all were made.
bool create_key_methods(ENGINE* e, std::span<const MethodRow> rows, RegisterAmeth ameth,
                        RegisterPmeth pmeth);
// The NID list of the three GOST signature types. Like every list a selector gives, it lives as
// long as the process: the crypto library reads it again when it frees an engine at exit.
std::span<const int> signature_key_nids();
// The selectors over those methods, in the crypto library's form: without a method pointer the
// listed NIDs and their count; else 1 with the method, 0 without.
int select_pkey_meth(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid,
                     std::span<const int> listed = signature_key_nids());
int select_asn1_meth(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid,
                     std::span<const int> listed = signature_key_nids());
// Frees what create_key_methods keeps (the crypto library frees the method objects themselves
// with the engine, through the selectors).
void free_key_methods(ENGINE* e);
// free_key_methods, and the settings create_settings made.
void free_engine_data(ENGINE* e);

// "Total: %d certificates", then each certificate as text and PEM, on the standard output.
void print_certs(const STACK_OF(X509) * certs);
// The engines' SHOW_CERTS: the certificates load gives for the mode, printed as print_certs does.
// A failed load logs "<fn>() : <load_fn>() failed" through log.
typedef void (*Logger)(const char* format, ...) __attribute__((format(printf, 1, 2)));
using CertLoader = int (*)(long mode, STACK_OF(X509) * *certs);
int show_certs(const char* fn, CertLoader load, const char* load_fn, long mode, Logger log);

// The tag a listing gives a certificate ("token=PATH", "store=NAME"); it is freed with the
// certificate. cert_tag: the tag, or null when it has none.
[[nodiscard]] bool set_cert_tag(X509* x, const std::string& tag);
const char* cert_tag(const X509* x);

// The engines' loggers on stderr: the four-line error record (61 '-', "ERROR", the message,
// 61 '-'), and trace lines that are written only while the trace switch is on (nothing turns it
// on). Each engine calls them under its own names, through a Logger: a typedef, not an alias
// declaration, since only thus does the compiler keep checking the formats of calls through it.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace engine_keys

// 1 when both keys have records whose public keys have the same length and bytes.
int pub_cmp_tvk(const EVP_PKEY* a, const EVP_PKEY* b);
