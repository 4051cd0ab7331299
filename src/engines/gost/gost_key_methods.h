// The "gost" engine's key methods: the key encoding (EVP_PKEY_ASN1_METHOD) and the key
// operations (EVP_PKEY_METHOD) for the GOST signature, agreement and MAC key types. The
// CryptoAPI and PKCS#11 engines reuse the shared pieces declared here on their own records.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "engines/common/gost_key_record.h"

struct TVK2012_ENGINE_CTX;

// ---- key encoding ----

// Creates the method for one of the engine's key types and fills its slots; 0 on failure.
[[nodiscard]] int register_ameth_tvk(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                                     const char* info);

// The signature key type an algorithm identifier stands for (agreement types map to theirs).
int gost2012_key_type_of(int alg_nid);
// The record of a key, or null.
tvk_gost2012_key* gost2012_record(const EVP_PKEY* pkey);

// SEQUENCE { curve, digest } for the key, DER in a fresh string; null on failure.
ASN1_STRING* encode_gost2012_algor_params(const EVP_PKEY* pkey);
// Reads the key parameters of an algorithm identifier into the key (type, record, parameters).
[[nodiscard]] int decode_gost2012_algor_params(EVP_PKEY* pkey, const X509_ALGOR* alg);
// Reads a PKCS#8 privateKey in any of its accepted forms into the key's record.
[[nodiscard]] int create_private_key(TVK2012_ENGINE_CTX* ctx, const X509_ALGOR* alg,
                                     const unsigned char* priv, int priv_len, EVP_PKEY* pkey);

int param_cmp_tvk(const EVP_PKEY* a, const EVP_PKEY* b);
int pkey_size_gost2012(const EVP_PKEY* pkey);
int pkey_bits_gost2012(const EVP_PKEY* pkey);
int pkey_security_bits_gost2012(const EVP_PKEY* pkey);
int param_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);
int pub_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);
int priv_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);

// ---- key operations ----

// Data of one key context of the signature and agreement methods.
struct tvk_pmeth_data {
    int32_t key_type;
    int32_t param_nid;
    const EVP_MD* md;
    int32_t cipher_param_nid;  // asked for key transport
    uint8_t* ukm;              // owned copy
    uint32_t ukm_len;
    int32_t peer_key_used;
    char* token_label;  // the PKCS#11 engine's own
    uint32_t token_slot;
};

// The data of a signature or agreement key context.
inline tvk_pmeth_data* pmeth_data(EVP_PKEY_CTX* ctx) {
    return static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx));
}

// Data of one key context of the MAC methods.
struct tvk_mac_data {
    const EVP_MD* md;
    int32_t key_set;
    uint8_t key[32];
};

inline constexpr int EVP_PKEY_CTRL_GOST_PARAMSET = EVP_PKEY_ALG_CTRL + 1;
inline constexpr int EVP_PKEY_CTRL_GOST_CIPHER_PARAMSET = EVP_PKEY_ALG_CTRL + 4;
// The MAC digests' own control that keys them.
inline constexpr int EVP_MD_CTRL_GOST_SET_KEY = EVP_MD_CTRL_ALG_CTRL + 4;
inline constexpr int GOST_MAC_KEY_LEN = 32;
// UKMs longer than this are refused: the longest any agreement takes is 64 bytes.
inline constexpr int GOST_MAX_UKM_LEN = 64;

[[nodiscard]] int register_pmeth_tvk(int nid, EVP_PKEY_METHOD** pmeth, int flags);
// The methods of the three MAC key types.
EVP_PKEY_METHOD* tvk_make_mac_method(int nid, int flags);

int pkey_tvk_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs, size_t tbslen);
void pkey_mscryptoapi_cleanup(EVP_PKEY_CTX* ctx);
// The control codes every GOST key context answers alike (digest, peer key, PKCS#7 and CMS
// notices, UKM); -2 for any other code.
int tvk_pmeth_common_ctrl(tvk_pmeth_data* data, int type, int p1, void* p2);
// A signer info's algorithms for the key: signature = the key type, digest by the key's size.
int gost2012_set_sign_algs(EVP_PKEY* pkey, X509_ALGOR* dig, X509_ALGOR* sig);

// The settings of the engine a key belongs to, else of the engine loaded at start-up; without
// either "ENGINE_get_ex_data failed\n" on stderr unless the caller reports it its own way.
TVK2012_ENGINE_CTX* gost_settings_for(const EVP_PKEY* pkey, bool report = true);
