// Key operations of the MAC key types: EVP_DigestSign with a GOST 28147-89, Kuznyechik or
// Magma MAC digest keyed through the key context.
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstring>

#include "engines/common/guard.h"
#include "engines/gost/gost_key_methods.h"

namespace {

using objmap::Obj;

// The texts differ by method, and not always as the method's name would suggest.
struct MacTexts {
    const char* digest_type;
    const char* key_length;
    const char* no_key;
    const char* key_string;
    const char* hexkey_string;
    size_t reported_len;  // what a length query answers
};

template <Obj M>
constexpr MacTexts texts() {
    if constexpr (M == Obj::gost_mac) {
        return {"pkey_tvk_mac_ctrl: EVP_PKEY_CTRL_MD invalid digest type\n",
                "pkey_tvk_mac_ctrl: wrong key length = %d\n",
                "pkey_tvk_mac_ctrl: EVP_PKEY_CTRL_DIGESTINIT MAC key not set\n",
                "pkey_tvk_mac_ctrl_str: invalid key string length = %d\n",
                "pkey_tvk_mac_ctrl_str: invalid key string length = %d\n",
                4};
    } else if constexpr (M == Obj::kuznechik_mac) {
        return {"pkey_tvk_mac_ctrl: EVP_PKEY_CTRL_MD invalid digest type\n",
                "pkey_tvk_kuznechik_mac_ctrl: wrong key length = %d\n",
                "pkey_tvk_kuznechik_mac_ctrl: EVP_PKEY_CTRL_DIGESTINIT MAC key not set\n",
                "pkey_tvk_mac_ctrl_str: invalid key string length = %d\n",
                "pkey_tvk_kuznechik_mac_ctrl_str: invalid key string length = %d\n",
                8};
    } else {
        return {"pkey_tvk_magma_mac_ctrl: EVP_PKEY_CTRL_MD invalid digest type\n",
                "pkey_tvk_magma_mac_ctrl: wrong key length = %d\n",
                "pkey_tvk_magma_mac_ctrl: EVP_PKEY_CTRL_DIGESTINIT MAC key not set\n",
                "pkey_tvk_magma_mac_ctrl_str: invalid key string length = %d\n",
                "pkey_tvk_magma_mac_ctrl_str: invalid key string length = %d\n",
                8};
    }
}

tvk_mac_data* mac_data(EVP_PKEY_CTX* ctx) {
    return static_cast<tvk_mac_data*>(EVP_PKEY_CTX_get_data(ctx));
}

int pkey_tvk_mac_init(EVP_PKEY_CTX* ctx) {
    auto* data = static_cast<tvk_mac_data*>(OPENSSL_zalloc(sizeof(tvk_mac_data)));
    if (!data) return 0;
    EVP_PKEY_CTX_set_data(ctx, data);
    return 1;
}

void pkey_tvk_mac_cleanup(EVP_PKEY_CTX* ctx) {
    OPENSSL_clear_free(mac_data(ctx), sizeof(tvk_mac_data));
    EVP_PKEY_CTX_set_data(ctx, nullptr);
}

int pkey_tvk_mac_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src) {
    if (!pkey_tvk_mac_init(dst)) return 0;
    const auto* from =
        static_cast<const tvk_mac_data*>(EVP_PKEY_CTX_get_data(const_cast<EVP_PKEY_CTX*>(src)));
    if (from) *mac_data(dst) = *from;
    return 1;
}

template <Obj M>
int pkey_tvk_mac_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY* pkey) {
    tvk_mac_data* data = mac_data(ctx);
    if (!data || !data->key_set) {
        std::fputs("pkey_tvk_mac_keygen: key not set\n", stderr);
        return 0;
    }
    void* key = OPENSSL_memdup(data->key, GOST_MAC_KEY_LEN);
    if (!key) return 0;
    if (!EVP_PKEY_assign(pkey, objmap::nid(M), key)) {
        OPENSSL_clear_free(key, GOST_MAC_KEY_LEN);
        return 0;
    }
    return 1;
}

int signctx_init_one(EVP_PKEY_CTX*, EVP_MD_CTX*) {
    return 1;
}

template <Obj M>
int pkey_tvk_mac_signctx(EVP_PKEY_CTX*, unsigned char* sig, size_t* siglen, EVP_MD_CTX* mctx) {
    if (!siglen) return 0;
    if (!sig) {
        *siglen = texts<M>().reported_len;
        return 1;
    }
    const int size = EVP_MD_get_size(EVP_MD_CTX_get0_md(mctx));
    // The digest writes its whole MAC: the caller's room must hold it.
    if (size <= 0 || *siglen < static_cast<size_t>(size)) return 0;
    unsigned int n = 0;
    if (!EVP_DigestFinal_ex(mctx, sig, &n)) return 0;
    *siglen = n;
    return 1;
}

int pkey_tvk_mac_verifyctx(EVP_PKEY_CTX*, const unsigned char* sig, int siglen, EVP_MD_CTX* mctx) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_DigestFinal_ex(mctx, mac, &n)) return 0;
    return siglen >= 0 && n == static_cast<unsigned int>(siglen) && CRYPTO_memcmp(mac, sig, n) == 0;
}

template <Obj M>
int pkey_tvk_mac_ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
    return engines::guarded("pkey_tvk_mac_ctrl", 0, [&] {
        tvk_mac_data* data = mac_data(ctx);
        if (!data) return 0;
        switch (type) {
            case EVP_PKEY_CTRL_MD: {
                const auto* md = static_cast<const EVP_MD*>(p2);
                if (!md || EVP_MD_get_type(md) != objmap::nid(M)) {
                    std::fputs(texts<M>().digest_type, stderr);
                    return 0;
                }
                data->md = md;
                return 1;
            }
            case EVP_PKEY_CTRL_PKCS7_ENCRYPT:
            case EVP_PKEY_CTRL_PKCS7_DECRYPT:
            case EVP_PKEY_CTRL_PKCS7_SIGN:
                return 1;
            case EVP_PKEY_CTRL_SET_MAC_KEY:
                if (p1 != GOST_MAC_KEY_LEN || !p2) {
                    std::fprintf(stderr, texts<M>().key_length, p1);
                    return 0;
                }
                std::memcpy(data->key, p2, GOST_MAC_KEY_LEN);
                data->key_set = 1;
                return 1;
            case EVP_PKEY_CTRL_DIGESTINIT: {
                auto* mctx = static_cast<EVP_MD_CTX*>(p2);
                const void* key = nullptr;
                if (data->key_set) {
                    key = data->key;
                } else if (EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx)) {
                    key = EVP_PKEY_get0(pkey);
                }
                if (!key) {
                    std::fputs(texts<M>().no_key, stderr);
                    return 0;
                }
                const EVP_MD* md = mctx ? EVP_MD_CTX_get0_md(mctx) : nullptr;
                auto* md_ctrl = md ? EVP_MD_meth_get_ctrl(md) : nullptr;
                if (!md_ctrl) return 0;
                return md_ctrl(mctx, EVP_MD_CTRL_GOST_SET_KEY, GOST_MAC_KEY_LEN,
                               const_cast<void*>(key));
            }
            default:
                return -2;
        }
    });
}

template <Obj M>
int pkey_tvk_mac_ctrl_str(EVP_PKEY_CTX* ctx, const char* type, const char* value) {
    return engines::guarded("pkey_tvk_mac_ctrl_str", 0, [&] {
        if (!type || !value) return type ? 0 : -2;
        if (std::strcmp(type, "key") == 0) {
            const size_t n = std::strlen(value);
            if (n != GOST_MAC_KEY_LEN) {
                std::fprintf(stderr, texts<M>().key_string, static_cast<int>(n));
                return 0;
            }
            return pkey_tvk_mac_ctrl<M>(ctx, EVP_PKEY_CTRL_SET_MAC_KEY, GOST_MAC_KEY_LEN,
                                        const_cast<char*>(value));
        }
        if (std::strcmp(type, "hexkey") == 0) {
            long n = 0;
            unsigned char* key = OPENSSL_hexstr2buf(value, &n);
            if (!key || n != GOST_MAC_KEY_LEN) {
                std::fprintf(stderr, texts<M>().hexkey_string, static_cast<int>(n));
                OPENSSL_clear_free(key, key ? static_cast<size_t>(n) : 0);
                return 0;
            }
            const int r =
                pkey_tvk_mac_ctrl<M>(ctx, EVP_PKEY_CTRL_SET_MAC_KEY, GOST_MAC_KEY_LEN, key);
            OPENSSL_clear_free(key, static_cast<size_t>(n));
            return r;
        }
        return -2;
    });
}

template <Obj M>
EVP_PKEY_METHOD* make_mac_method(int nid, int flags) {
    EVP_PKEY_METHOD* m = EVP_PKEY_meth_new(nid, flags);
    if (!m) return nullptr;
    EVP_PKEY_meth_set_init(m, pkey_tvk_mac_init);
    EVP_PKEY_meth_set_copy(m, pkey_tvk_mac_copy);
    EVP_PKEY_meth_set_cleanup(m, pkey_tvk_mac_cleanup);
    EVP_PKEY_meth_set_keygen(m, nullptr, pkey_tvk_mac_keygen<M>);
    EVP_PKEY_meth_set_signctx(m, signctx_init_one, pkey_tvk_mac_signctx<M>);
    EVP_PKEY_meth_set_verifyctx(m, signctx_init_one, pkey_tvk_mac_verifyctx);
    EVP_PKEY_meth_set_ctrl(m, pkey_tvk_mac_ctrl<M>, pkey_tvk_mac_ctrl_str<M>);
    return m;
}

}  // namespace

EVP_PKEY_METHOD* tvk_make_mac_method(int nid, int flags) {
    if (nid == objmap::nid(Obj::gost_mac)) return make_mac_method<Obj::gost_mac>(nid, flags);
    if (nid == objmap::nid(Obj::kuznechik_mac))
        return make_mac_method<Obj::kuznechik_mac>(nid, flags);
    if (nid == objmap::nid(Obj::magma_mac)) return make_mac_method<Obj::magma_mac>(nid, flags);
    return nullptr;
}
