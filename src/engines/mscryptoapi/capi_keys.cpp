// Key methods of the provider's GOST keys (signing in the provider, the rest in software) and the
// DSA key-ASN.1 method copy whose default digest is SHA-1.
#include <openssl/objects.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/mscryptoapi/capi_engine.h"

using namespace capi;

namespace {

using objmap::Obj;

constexpr const char* kDecodeFn = "decode_mscryptoapi_algor_params";
constexpr const char* kEncodeFn = "encode_mscryptoapi_algor_params";

int pub_encode_mscryptoapi(X509_PUBKEY* pub, const EVP_PKEY* pkey) {
    return engine_keys::pub_encode(kEncodeFn, pub, pkey);
}

int mscryptoapi_pkey_ctrl(EVP_PKEY* pkey, int op, long arg1, void* arg2) {
    return engine_keys::pkey_ctrl(kEncodeFn, pkey, op, arg1, arg2);
}

int pkey_mscryptoapi_init(EVP_PKEY_CTX* ctx) {
    return engine_keys::pmeth_init(ctx, NID_undef);
}

int pkey_mscryptoapi_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src) {
    return engine_keys::pmeth_copy(dst, src, pkey_mscryptoapi_init);
}

int pkey_mscryptoapi_ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
    return engine_keys::pmeth_ctrl("pkey_mscryptoapi_ctrl", ctx, type, p1, p2);
}

int mscryptoapi_gost_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                          const unsigned char* tbs, size_t tbslen) {
    return engines::guarded("mscryptoapi_gost_sign", -1, [&] {
        mscryptoapi_key* key = mscryptoapi_record(EVP_PKEY_CTX_get0_pkey(ctx));
        if (!key || !siglen) return -1;
        const ALG_ID alg = GetHashAlgIdByNid(GetHashNidByKeyNid(key->pub.pkey_nid));
        if (!sig) {
            *siglen = key->pub.pub_key_len;
            return 1;
        }
        unsigned char buf[128];
        unsigned int len = sizeof buf;
        if (tbslen > UINT32_MAX ||
            !CSP_SignHash(key, alg, tbs, static_cast<unsigned int>(tbslen), buf, &len)) {
            mscryptoapi_log_error("%s() 1 : CSP_SignHash() failed, GetLastError() = 0x%08lX",
                                  "mscryptoapi_gost_sign",
                                  static_cast<unsigned long>(key->last_error));
            return -1;
        }
        // The caller's buffer is as long as it says, and the length tells what was written.
        if (len > *siglen) return -1;
        std::memcpy(sig, buf, len);
        *siglen = len;
        return static_cast<int>(len);
    });
}

// ---- the DSA key-ASN.1 method copy ----
// The crypto library gives a key its key-ASN.1 method only through the engine serving the key
// type, so the copy rides on a small engine of its own that serves DSA keys (with the library's
// own DSA key operations) and is never added to the engine list.

EVP_PKEY_ASN1_METHOD* g_dsa_ameth = nullptr;
EVP_PKEY_METHOD* g_dsa_pmeth = nullptr;
ENGINE* g_dsa_engine = nullptr;
std::once_flag g_dsa_once;
const int kDsaNids[] = {EVP_PKEY_DSA};

int dsa_pkey_meths(ENGINE*, EVP_PKEY_METHOD** pmeth, const int** nids, int nid) {
    if (!pmeth) {
        *nids = kDsaNids;
        return 1;
    }
    *pmeth = nid == EVP_PKEY_DSA ? g_dsa_pmeth : nullptr;
    return *pmeth ? 1 : 0;
}

int dsa_asn1_meths(ENGINE*, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid) {
    if (!ameth) {
        *nids = kDsaNids;
        return 1;
    }
    *ameth = nid == EVP_PKEY_DSA ? g_dsa_ameth : nullptr;
    return *ameth ? 1 : 0;
}

void make_dsa_methods() {
    const EVP_PKEY_ASN1_METHOD* soft_a = EVP_PKEY_asn1_find(nullptr, EVP_PKEY_DSA);
    const EVP_PKEY_METHOD* soft_p = EVP_PKEY_meth_find(EVP_PKEY_DSA);
    if (!soft_a || !soft_p) return;
    g_dsa_ameth = EVP_PKEY_asn1_new(EVP_PKEY_DSA, 0, "DSA", "Microsoft CryptoAPI DSA key");
    g_dsa_pmeth = EVP_PKEY_meth_new(EVP_PKEY_DSA, 0);
    g_dsa_engine = ENGINE_new();
    if (!g_dsa_ameth || !g_dsa_pmeth || !g_dsa_engine) return;
    EVP_PKEY_asn1_copy(g_dsa_ameth, soft_a);
    EVP_PKEY_asn1_set_ctrl(g_dsa_ameth, mscryptoapi_dsa_pkey_ctrl);
    EVP_PKEY_meth_copy(g_dsa_pmeth, soft_p);
    if (!ENGINE_set_id(g_dsa_engine, "mscryptoapi-dsa") ||
        !ENGINE_set_name(g_dsa_engine, "Microsoft CryptoAPI DSA keys") ||
        !ENGINE_set_pkey_meths(g_dsa_engine, dsa_pkey_meths) ||
        !ENGINE_set_pkey_asn1_meths(g_dsa_engine, dsa_asn1_meths)) {
        ossl::Engine drop(std::exchange(g_dsa_engine, nullptr));
    }
}

}  // namespace

int mscryptoapi_dsa_pkey_ctrl(EVP_PKEY*, int op, long, void* arg2) {
    if (op == ASN1_PKEY_CTRL_DEFAULT_MD_NID) {
        *static_cast<int*>(arg2) = objmap::nid(Obj::SHA1);
        return 2;
    }
    // The rest would go to the crypto library's DSA control, but 3.0 hands out no key-ASN.1
    // method's control to call; its DSA control supports nothing but the default digest, so
    // "not supported" is what it would answer.
    return -2;
}

mscryptoapi_key* mscryptoapi_record(const EVP_PKEY* pkey) {
    return pkey ? static_cast<mscryptoapi_key*>(EVP_PKEY_get0(pkey)) : nullptr;
}

tvk_gost2012_key* mscryptoapi_record_alloc() {
    auto* rec = static_cast<mscryptoapi_key*>(OPENSSL_zalloc(sizeof(mscryptoapi_key)));
    return rec ? &rec->pub : nullptr;
}

int pub_decode_mscryptoapi(EVP_PKEY* pkey, const X509_PUBKEY* pub) {
    return engine_keys::pub_decode(kDecodeFn, engine_keys::kMscryptoapiDecodeTexts,
                                   mscryptoapi_record_alloc, pkey, pub);
}

void mscryptoapi_pkey_free(EVP_PKEY* pkey) {
    mscryptoapi_key* key = mscryptoapi_record(pkey);
    if (!key) return;
    if (key->cert) CertFreeCertificateContext(key->cert);
    // The provider handle goes with the key too: nothing else would ever release it.
    if (key->prov) CryptReleaseContext(key->prov, 0);
    OPENSSL_free(key);
}

int mscryptoapi_param_encode(const tvk_gost2012_key* key, unsigned char** out) {
    if (!key || !out) {
        std::fprintf(stderr, "%s: err 1\n", "mscryptoapi_param_encode");
        return -2;
    }
    ossl::Asn1String params(engine_keys::encode_algor_params(kEncodeFn, key));
    if (!params) return -2;
    const int n = ASN1_STRING_length(params.get());
    *out = static_cast<unsigned char*>(
        OPENSSL_memdup(ASN1_STRING_get0_data(params.get()), static_cast<size_t>(n)));
    return *out ? n : -2;
}

int register_pmeth_mscryptoapi(int nid, EVP_PKEY_METHOD** pmeth, int flags) {
    *pmeth = EVP_PKEY_meth_new(nid, flags);
    if (!*pmeth) return 0;
    if (!gost2012_is_sign_type(nid)) {
        std::fprintf(stderr, "%s: Unsupported NID %d\n", "register_pmeth_mscryptoapi", nid);
        return 0;
    }
    EVP_PKEY_meth_set_init(*pmeth, pkey_mscryptoapi_init);
    EVP_PKEY_meth_set_copy(*pmeth, pkey_mscryptoapi_copy);
    EVP_PKEY_meth_set_cleanup(*pmeth, pkey_mscryptoapi_cleanup);
    EVP_PKEY_meth_set_sign(*pmeth, nullptr, mscryptoapi_gost_sign);
    EVP_PKEY_meth_set_verify(*pmeth, nullptr, pkey_tvk_verify);
    EVP_PKEY_meth_set_encrypt(*pmeth, nullptr, pkey_engine_encrypt);
    EVP_PKEY_meth_set_decrypt(*pmeth, nullptr, pkey_mscryptoapi_decrypt);
    EVP_PKEY_meth_set_ctrl(*pmeth, pkey_mscryptoapi_ctrl, nullptr);
    return 1;
}

int register_ameth_mscryptoapi(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                               const char* info) {
    static constexpr engine_keys::TokenAsn1Slots kSlots = {
        pub_decode_mscryptoapi, pub_encode_mscryptoapi, nullptr, mscryptoapi_pkey_free,
        mscryptoapi_pkey_ctrl};
    return engine_keys::make_token_ameth(nid, ameth, pem_str, info, kSlots);
}

int mscryptoapi_set_dsa_ameth(EVP_PKEY* pkey, DSA* dsa) {
    std::call_once(g_dsa_once, make_dsa_methods);
    return g_dsa_engine && engine_keys::bind_key(g_dsa_engine, pkey, EVP_PKEY_DSA, dsa);
}
