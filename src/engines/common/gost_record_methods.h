// Key methods that read nothing but a key's tvk_gost2012_key record, so that the "gost" engine
// and the engines whose private keys live outside the process (whose records begin with one)
// share them: the record of a key, its sizes, parameter comparison and printing, the signer
// algorithms, and the key-context data with its common controls, verification and clean-up.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "engines/common/gost_key_record.h"

// ---- key encoding ----

// The signature key type an algorithm identifier stands for (agreement types map to theirs).
int gost2012_key_type_of(int alg_nid);
// The record of a key, or null.
tvk_gost2012_key* gost2012_record(const EVP_PKEY* pkey);

int param_cmp_tvk(const EVP_PKEY* a, const EVP_PKEY* b);
int pkey_size_gost2012(const EVP_PKEY* pkey);
int pkey_bits_gost2012(const EVP_PKEY* pkey);
int pkey_security_bits_gost2012(const EVP_PKEY* pkey);
int param_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);
int pub_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);
int priv_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx);

// A signer info's algorithms for the key: signature = the key type, digest by the key's size.
int gost2012_set_sign_algs(EVP_PKEY* pkey, X509_ALGOR* dig, X509_ALGOR* sig);

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

// UKMs longer than this are refused: the longest any agreement takes is 64 bytes.
inline constexpr int GOST_MAX_UKM_LEN = 64;

int pkey_tvk_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs, size_t tbslen);
void pkey_mscryptoapi_cleanup(EVP_PKEY_CTX* ctx);
// The control codes every GOST key context answers alike (digest, peer key, PKCS#7 and CMS
// notices, UKM); -2 for any other code.
int tvk_pmeth_common_ctrl(tvk_pmeth_data* data, int type, int p1, void* p2);
