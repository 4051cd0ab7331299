// Signing and decryption in the provider: the hash identifiers, CSP_SignHash and the RSA and DSA
// methods whose private operations go to the provider.
#include "engines/mscryptoapi/capi_sign.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/guard.h"

using namespace capi;

namespace {

using objmap::Obj;

// Hash identifiers of the provider, with the digests and lengths they stand for.
struct HashRow {
    Obj digest;
    int length;
    ALG_ID alg;
    bool by_sig_algor;  // DigestInfo algorithms and lengths
};
constexpr HashRow kHashes[] = {
    {Obj::MD5, 16, CALG_MD5, true},
    {Obj::SHA1, 20, CALG_SHA1, true},
    {Obj::SHA256, 32, CALG_SHA_256, true},
    {Obj::SHA384, 48, CALG_SHA_384, true},
    {Obj::SHA512, 64, CALG_SHA_512, true},
    {Obj::md_gost94, 32, CALG_GR3411, false},
    {Obj::GostR3411_94_TestParamSet, 32, CALG_GR3411, false},
    {Obj::GostR3411_94_CryptoProParamSet, 32, CALG_GR3411, false},
    {Obj::md_gost12_256, 32, CALG_GR3411_2012_256, false},
    {Obj::md_gost12_512, 64, CALG_GR3411_2012_512, false},
};
constexpr int kMd5Sha1Length = 36;
constexpr size_t kSignatureRoom = 16384;
constexpr ALG_ID kNoHash = 0x8000;

size_t hash_length(ALG_ID alg) {
    if (alg == CALG_SSL3_SHAMD5) return kMd5Sha1Length;
    for (const auto& r : kHashes)
        if (r.alg == alg) return static_cast<size_t>(r.length);
    return 0;
}

// One process-wide method of each kind, made on first use and kept for the process's life.
RSA_METHOD* g_rsa_method = nullptr;
DSA_METHOD* g_dsa_method = nullptr;
std::once_flag g_methods_once;

int capi_rsa_priv_enc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int) {
    return engines::guarded("capi_rsa_priv_enc", -1, [&] {
        static const char fn[] = "capi_rsa_priv_enc";
        mscryptoapi_key* key = capi_rsa_record(rsa);
        if (!key || flen < 0) return -1;
        ALG_ID alg = CALG_SSL3_SHAMD5;
        const unsigned char* hash = from;
        unsigned int hash_len = static_cast<unsigned int>(flen);
        ossl::Owner<X509_SIG, X509_SIG_free> digest_info;
        if (flen != kMd5Sha1Length) {
            const unsigned char* p = from;
            digest_info.reset(d2i_X509_SIG(nullptr, &p, flen));
            if (!digest_info) {
                mscryptoapi_log_error("%s() 1 : d2i_X509_SIG() failed", fn);
                return -1;
            }
            const X509_ALGOR* algor = nullptr;
            const ASN1_OCTET_STRING* digest = nullptr;
            X509_SIG_get0(digest_info.get(), &algor, &digest);
            const ASN1_OBJECT* obj = nullptr;
            X509_ALGOR_get0(&obj, nullptr, nullptr, algor);
            alg = GetHashAlgIdBySigAlgor(OBJ_obj2nid(obj));
            hash = ASN1_STRING_get0_data(digest);
            hash_len = static_cast<unsigned int>(ASN1_STRING_length(digest));
        }
        std::vector<unsigned char> sig(kSignatureRoom);
        unsigned int sig_len = kSignatureRoom;
        if (!CSP_SignHash(key, alg, hash, hash_len, sig.data(), &sig_len)) {
            mscryptoapi_log_error("%s() 2 : CSP_SignHash() failed, GetLastError = 0x%08lX", fn,
                                  static_cast<unsigned long>(key->last_error));
            return -1;
        }
        // The output has room for the key's size: a longer signature is not this key's.
        if (sig_len > static_cast<unsigned int>(RSA_size(rsa))) {
            mscryptoapi_log_error("%s() 3 : signature of %u bytes longer than the key", fn,
                                  sig_len);
            return -1;
        }
        std::copy_n(sig.begin(), sig_len, to);
        return static_cast<int>(sig_len);
    });
}

int capi_rsa_priv_dec(int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
                      int padding) {
    return engines::guarded("capi_rsa_priv_dec", -1, [&] {
        static const char fn[] = "capi_rsa_priv_dec";
        if (padding != RSA_PKCS1_PADDING) {
            ERR_raise_data(ERR_LIB_RSA, RSA_R_UNKNOWN_PADDING_TYPE, "padding=%d", padding);
            return -1;
        }
        mscryptoapi_key* key = capi_rsa_record(rsa);
        // The provider decrypts in place: the buffer must hold the whole key size.
        if (!key || flen <= 0 || flen > RSA_size(rsa)) return -1;
        std::vector<unsigned char> buf(from, from + flen);
        std::reverse(buf.begin(), buf.end());
        HCRYPTKEY user_key = 0;
        if (!CryptGetUserKey(key->prov, key->key_spec, &user_key)) {
            mscryptoapi_log_error("%s() : CryptGetUserKey() failed, GetLastError() = 0x%08lX", fn,
                                  static_cast<unsigned long>(GetLastError()));
            return -1;
        }
        DWORD len = static_cast<DWORD>(flen);
        const BOOL ok = CryptDecrypt(user_key, 0, 1, 0, buf.data(), &len);
        if (!ok)
            mscryptoapi_log_error("%s() : CryptDecrypt() failed, GetLastError() = 0x%08lX", fn,
                                  static_cast<unsigned long>(GetLastError()));
        CryptDestroyKey(user_key);
        if (!ok || len > static_cast<DWORD>(flen)) return -1;
        std::copy_n(buf.begin(), len, to);
        OPENSSL_cleanse(buf.data(), buf.size());
        return static_cast<int>(len);
    });
}

void release_record(mscryptoapi_key* key) {
    if (!key) return;
    if (key->release) {
        if (key->cert && key->cert->hCertStore)
            CertCloseStore(key->cert->hCertStore, CERT_CLOSE_STORE_FORCE_FLAG);
        if (key->prov) CryptReleaseContext(key->prov, 0);
    }
    OPENSSL_free(key);
}

int capi_rsa_finish(RSA* rsa) {
    release_record(capi_rsa_record(rsa));
    RSA_set_ex_data(rsa, 0, nullptr);
    return 1;
}

DSA_SIG* capi_dsa_do_sign(const unsigned char* digest, int dlen, DSA* dsa) {
    return engines::guarded("capi_dsa_do_sign", static_cast<DSA_SIG*>(nullptr), [&]() -> DSA_SIG* {
        static const char fn[] = "capi_dsa_do_sign";
        mscryptoapi_key* key = capi_dsa_record(dsa);
        if (!key || dlen < 0) return nullptr;
        const ALG_ID alg = GetHashAlgIdByLength(dlen);
        std::vector<unsigned char> sig(kSignatureRoom);
        unsigned int sig_len = kSignatureRoom;
        if (!CSP_SignHash(key, alg, digest, static_cast<unsigned int>(dlen), sig.data(),
                          &sig_len)) {
            mscryptoapi_log_error("%s() 1 : CSP_SignHash() failed", fn);
            return nullptr;
        }
        // Reversed, the provider's r || s reads s then r, each big-endian.
        const int half = static_cast<int>(sig_len / 2);
        ossl::Bn r(BN_bin2bn(sig.data() + half, half, nullptr));
        if (!r) {
            mscryptoapi_log_error("%s() 2 : BN_bin2bn() failed", fn);
            return nullptr;
        }
        ossl::Bn s(BN_bin2bn(sig.data(), half, nullptr));
        if (!s) {
            mscryptoapi_log_error("%s() 3 : BN_bin2bn() failed", fn);
            return nullptr;
        }
        DSA_SIG* out = DSA_SIG_new();
        if (!out) {
            mscryptoapi_log_error("%s() 4 : DSA_SIG_new() failed", fn);
            return nullptr;
        }
        DSA_SIG_set0(out, r.release(), s.release());
        return out;
    });
}

int capi_dsa_finish(DSA* dsa) {
    release_record(capi_dsa_record(dsa));
    DSA_set_ex_data(dsa, 0, nullptr);
    return 1;
}

void make_methods() {
    // The public operations are the crypto library's own; only the private ones are ours.
    const RSA_METHOD* soft = RSA_PKCS1_OpenSSL();
    g_rsa_method = RSA_meth_new("Microsoft CryptoAPI RSA method", 0);
    if (g_rsa_method) {
        RSA_meth_set_pub_enc(g_rsa_method, RSA_meth_get_pub_enc(soft));
        RSA_meth_set_pub_dec(g_rsa_method, RSA_meth_get_pub_dec(soft));
        RSA_meth_set_mod_exp(g_rsa_method, RSA_meth_get_mod_exp(soft));
        RSA_meth_set_bn_mod_exp(g_rsa_method, RSA_meth_get_bn_mod_exp(soft));
        RSA_meth_set_priv_enc(g_rsa_method, capi_rsa_priv_enc);
        RSA_meth_set_priv_dec(g_rsa_method, capi_rsa_priv_dec);
        RSA_meth_set_finish(g_rsa_method, capi_rsa_finish);
    }
    const DSA_METHOD* dsoft = DSA_OpenSSL();
    g_dsa_method = DSA_meth_new("Microsoft CryptoAPI DSA method", 0);
    if (g_dsa_method) {
        DSA_meth_set_verify(g_dsa_method, DSA_meth_get_verify(dsoft));
        DSA_meth_set_mod_exp(g_dsa_method, DSA_meth_get_mod_exp(dsoft));
        DSA_meth_set_bn_mod_exp(g_dsa_method, DSA_meth_get_bn_mod_exp(dsoft));
        DSA_meth_set_sign(g_dsa_method, capi_dsa_do_sign);
        DSA_meth_set_finish(g_dsa_method, capi_dsa_finish);
    }
}

// A pointer for the trace: "0x%lx" shows "0x" once and every bit of the address.
unsigned long bits(const void* p) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

const RSA_METHOD* mscryptoapi_rsa_method() {
    std::call_once(g_methods_once, make_methods);
    return g_rsa_method;
}

const DSA_METHOD* mscryptoapi_dsa_method() {
    std::call_once(g_methods_once, make_methods);
    return g_dsa_method;
}

mscryptoapi_key* capi_rsa_record(const RSA* rsa) {
    return rsa ? static_cast<mscryptoapi_key*>(RSA_get_ex_data(rsa, 0)) : nullptr;
}

mscryptoapi_key* capi_dsa_record(const DSA* dsa) {
    return dsa ? static_cast<mscryptoapi_key*>(DSA_get_ex_data(dsa, 0)) : nullptr;
}

ALG_ID GetHashAlgIdBySigAlgor(int nid) {
    for (const auto& r : kHashes)
        if (r.by_sig_algor && objmap::nid(r.digest) == nid) return r.alg;
    return 0;
}

ALG_ID GetHashAlgIdByLength(int length) {
    for (const auto& r : kHashes)
        if (r.by_sig_algor && r.length == length) return r.alg;
    std::fprintf(stderr, "%s() : wrong hash length: %d\n", "GetHashAlgIdByLength", length);
    return kNoHash;
}

ALG_ID GetHashAlgIdByNid(int nid) {
    for (const auto& r : kHashes)
        if (objmap::nid(r.digest) == nid &&
            (r.alg == CALG_MD5 || r.alg == CALG_SHA1 || !r.by_sig_algor))
            return r.alg;
    return 0;
}

int GetHashNidByKeyNid(int key_nid) {
    if (key_nid == objmap::nid(Obj::gost2001)) return objmap::nid(Obj::md_gost94);
    if (key_nid == objmap::nid(Obj::gost2012_256)) return objmap::nid(Obj::md_gost12_256);
    if (key_nid == objmap::nid(Obj::gost2012_512)) return objmap::nid(Obj::md_gost12_512);
    return 0;
}

void ReverseBytes(unsigned char* p, size_t n) {
    if (p && n >= 2) std::reverse(p, p + n);
}

int CSP_SignHash(mscryptoapi_key* key, ALG_ID alg, const unsigned char* hash, unsigned int hash_len,
                 unsigned char* sig, unsigned int* sig_len) {
    static const char fn[] = "CSP_SignHash";
    mscryptoapi_log_trace(
        "%s() begin, csp_key = 0x%lx, hash_dat = 0x%lx, hash_len = %d, sig_dat = 0x%lx, sig_len = "
        "0x%lx",
        fn, bits(key), bits(hash), static_cast<int>(hash_len), bits(sig), bits(sig_len));
    if (!key || !hash || !sig || !sig_len) {
        mscryptoapi_log_error("%s() 1 : csp_key or hash_dat or sig_dat or sig_len is NULL", fn);
        return 0;
    }
    HCRYPTHASH h = 0;
    int ret = 0;
    DWORD len = *sig_len;
    if (!CryptCreateHash(key->prov, alg, 0, 0, &h)) {
        key->last_error = GetLastError();
        mscryptoapi_log_error("%s() 2 : CryptCreateHash() failed, GetLastError = 0x%08lX", fn,
                              static_cast<unsigned long>(key->last_error));
    } else if (hash_length(alg) != hash_len) {
        // The provider reads as many bytes as its hash has: anything else is refused here.
        key->last_error = NTE_BAD_LEN;
        mscryptoapi_log_error("%s() 3 : hash of %u bytes for ALG_ID 0x%04X", fn, hash_len, alg);
    } else if (!CryptSetHashParam(h, HP_HASHVAL, hash, 0)) {
        key->last_error = GetLastError();
        mscryptoapi_log_error("%s() 3 : CryptSetHashParam() failed, GetLastError = 0x%08lX", fn,
                              static_cast<unsigned long>(key->last_error));
    } else if (!CryptSignHashA(h, key->key_spec, "", 0, sig, &len)) {
        key->last_error = GetLastError();
        mscryptoapi_log_error(
            "%s() 4 : CryptSignHashA( dwKeySpec = %d ) failed, GetLastError = 0x%08lX", fn,
            static_cast<int>(key->key_spec), static_cast<unsigned long>(key->last_error));
    } else {
        ReverseBytes(sig, len);
        *sig_len = len;
        key->last_error = 0;
        ret = 1;
    }
    if (h) CryptDestroyHash(h);
    mscryptoapi_log_trace("%s() end, ret = %d", fn, ret);
    return ret;
}
