// Key operations method of the GOST signature and agreement key types.
#include <openssl/engine.h>
#include <openssl/objects.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "cryptoext/ossl.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/gost/gost_token_signer.h"

namespace {

using objmap::Obj;

void say(const char* text) {
    std::fputs(text, stderr);
}

int pkey_tvk_init(EVP_PKEY_CTX* ctx) {
    auto* data = static_cast<tvk_pmeth_data*>(OPENSSL_zalloc(sizeof(tvk_pmeth_data)));
    if (!data) return 0;
    if (EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx)) {
        // Agreement types are never a key's own type: decoding maps them to signature types.
        const int type = EVP_PKEY_get_base_id(pkey);
        if (!gost2012_is_sign_type(type)) {
            OPENSSL_free(data);
            return 0;
        }
        if (const tvk_gost2012_key* k = gost2012_record(pkey)) {
            data->key_type = type;
            data->param_nid = k->param_nid;
        }
    }
    EVP_PKEY_CTX_set_data(ctx, data);
    return 1;
}

int pkey_tvk_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src) {
    if (!pkey_tvk_init(dst)) return 0;
    const auto* from =
        static_cast<const tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(const_cast<EVP_PKEY_CTX*>(src)));
    tvk_pmeth_data* to = pmeth_data(dst);
    if (!from) return 1;
    *to = *from;
    // The UKM belongs to the source; the copy starts without one.
    to->ukm = nullptr;
    to->ukm_len = 0;
    return 1;
}

int return_one(EVP_PKEY_CTX*) {
    return 1;
}

// The engine default for the method's key type when the context names no parameter set.
int default_param_nid(int method_nid) {
    TVK2012_ENGINE_CTX* ctx = tvk_gost_loaded_settings();
    if (!ctx) return NID_undef;
    if (method_nid == objmap::nid(Obj::gost2001)) return ctx->key_params_2001;
    if (method_nid == objmap::nid(Obj::gost2012_256)) return ctx->key_params_2012_256;
    if (method_nid == objmap::nid(Obj::gost2012_512)) return ctx->key_params_2012_512;
    return NID_undef;
}

template <Obj M>
int pkey_gost2012_paramgen(EVP_PKEY_CTX* ctx, EVP_PKEY* pkey) {
    return engines::guarded("pkey_gost2012_paramgen", 0, [&] {
        tvk_pmeth_data* data = pmeth_data(ctx);
        const int type = objmap::nid(M);
        if (!data) return 0;
        if (data->param_nid == NID_undef) data->param_nid = default_param_nid(type);
        if (data->param_nid == NID_undef) {
            say("pkey_gost2012_paramgen: No parameters set\n");
            return 0;
        }
        ossl::GostKey k(tvk_gost2012_alloc());
        if (!k) return 0;
        k->pkey_nid = type;
        data->key_type = type;
        if (!fill_GOST2012_params(k.get(), type, data->param_nid)) {
            say("fill_GOST2012_params failed\n");
            return 0;
        }
        if (!EVP_PKEY_assign(pkey, type, k.get())) return 0;
        k.release();  // the key owns its record now
        return 1;
    });
}

template <Obj M>
int pkey_gost2012_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY* pkey) {
    return engines::guarded("pkey_gost2012_keygen", 0, [&] {
        if (!pkey_gost2012_paramgen<M>(ctx, pkey)) {
            say("pkey_gost2012_paramgen failed\n");
            return 0;
        }
        if (!gost_settings_for(pkey)) return 0;
        const int rc = tvk_gost2012_keygen_wrapper(nullptr, gost2012_record(pkey));
        if (rc != 1) {
            std::fprintf(stderr, "tvk_gost2012_keygen_wrapper failed, rc = %d\n", rc);
            return 0;
        }
        return 1;
    });
}

struct TokenSigner {
    std::atomic<int> ex_index{-1};
    std::atomic<TvkTokenSigner> sign{nullptr};
};
TokenSigner& token_signer() {
    static TokenSigner s;
    return s;
}

// The installed signer when the key carries a record under its index, else none.
TvkTokenSigner signer_for(EVP_PKEY* pkey) {
    TokenSigner& t = token_signer();
    const TvkTokenSigner sign = t.sign.load();
    const int index = t.ex_index.load();
    if (!sign || index < 0 || !EVP_PKEY_get_ex_data(pkey, index)) return nullptr;
    return sign;
}

int pkey_gost2012_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                       const unsigned char* tbs, size_t tbslen) {
    return engines::guarded("pkey_gost2012_sign", 0, [&] {
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        if (!pkey || !siglen) return 0;
        if (TvkTokenSigner token_sign = signer_for(pkey))
            return token_sign(ctx, sig, siglen, tbs, tbslen) > 0 ? 1 : 0;
        const size_t need = EVP_PKEY_get_base_id(pkey) == objmap::nid(Obj::gost2012_512) ? 128 : 64;
        if (!sig) {
            *siglen = need;
            return 1;
        }
        // The caller says how much room it has; a short buffer is refused, not overrun.
        if (*siglen < need) return 0;
        const tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k || !k->has_private_key || k->pub_key_len != need) return 0;
        if (!tvk_gost2012_do_sign(tbs, tbslen, sig, k)) return 0;
        *siglen = need;
        return 1;
    });
}

int pkey_tvk_ctrl_gost2012(EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
    return engines::guarded("pkey_tvk_ctrl_gost2012", 0, [&] {
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (!data) return 0;
        switch (type) {
            case EVP_PKEY_CTRL_GOST_PARAMSET:
                data->param_nid = p1;
                return 1;
            case EVP_PKEY_CTRL_GOST_CIPHER_PARAMSET:
                data->cipher_param_nid = p1;
                return 1;
            default:
                return tvk_pmeth_common_ctrl(data, type, p1, p2);
        }
    });
}

// "paramset" for the 256-bit key types: CryptoPro letters, or any name of a 256-bit set.
int paramset_256(const char* value) {
    const size_t n = std::strlen(value);
    if (n == 1) {
        switch (value[0]) {
            case '0':
                return objmap::nid(Obj::GostR3410_2001_TestParamSet);
            case 'A':
            case 'a':
                return objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet);
            case 'B':
            case 'b':
                return objmap::nid(Obj::GostR3410_2001_CryptoPro_B_ParamSet);
            case 'C':
            case 'c':
                return objmap::nid(Obj::GostR3410_2001_CryptoPro_C_ParamSet);
            default:
                return NID_undef;
        }
    }
    if (n == 2 && (value[0] == 'X' || value[0] == 'x')) {
        if (value[1] == 'A' || value[1] == 'a')
            return objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet);
        if (value[1] == 'B' || value[1] == 'b')
            return objmap::nid(Obj::GostR3410_2001_CryptoPro_XchB_ParamSet);
        return NID_undef;
    }
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) return NID_undef;
    if (!gost2012_find_param(nid, false)) {
        say("pkey_tvk_ctrl_gost2012_str: invalid parameter set\n");
        return NID_undef;
    }
    return nid;
}

int paramset_512(const char* value) {
    if (std::strlen(value) == 1) {
        switch (value[0]) {
            case '0':
                return objmap::nid(Obj::gost_3410_2012_512_paramSetTest);
            case 'A':
            case 'a':
                return objmap::nid(Obj::gost_3410_2012_512_paramSetA);
            case 'B':
            case 'b':
                return objmap::nid(Obj::gost_3410_2012_512_paramSetB);
            default:
                return NID_undef;
        }
    }
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) return NID_undef;
    if (!gost2012_find_param(nid, true)) {
        say("pkey_tvk_ctrl_gost2012_str: invalid parameter set\n");
        return NID_undef;
    }
    return nid;
}

template <Obj M>
int pkey_tvk_ctrl_gost2012_str(EVP_PKEY_CTX* ctx, const char* type, const char* value) {
    return engines::guarded("pkey_tvk_ctrl_gost2012_str", 0, [&] {
        if (!type || std::strcmp(type, "paramset") != 0) return -2;
        if (!value) return 0;
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (!data) return 0;
        int nid;
        if constexpr (M == Obj::gost2001 || M == Obj::gost2012_256) {
            nid = paramset_256(value);
        } else if constexpr (M == Obj::gost2012_512) {
            nid = paramset_512(value);
        } else {
            // The agreement types take their parameters from the key.
            data->param_nid = NID_undef;
            return 1;
        }
        if (nid == NID_undef) return 0;
        data->param_nid = nid;
        return 1;
    });
}

template <Obj M>
EVP_PKEY_METHOD* make_method(int nid, int flags) {
    EVP_PKEY_METHOD* m = EVP_PKEY_meth_new(nid, flags);
    if (!m) return nullptr;
    EVP_PKEY_meth_set_init(m, pkey_tvk_init);
    EVP_PKEY_meth_set_copy(m, pkey_tvk_copy);
    EVP_PKEY_meth_set_cleanup(m, pkey_mscryptoapi_cleanup);
    EVP_PKEY_meth_set_paramgen(m, return_one, pkey_gost2012_paramgen<M>);
    EVP_PKEY_meth_set_keygen(m, nullptr, pkey_gost2012_keygen<M>);
    EVP_PKEY_meth_set_sign(m, nullptr, pkey_gost2012_sign);
    EVP_PKEY_meth_set_verify(m, nullptr, pkey_tvk_verify);
    EVP_PKEY_meth_set_encrypt(m, nullptr, pkey_tvk_encrypt);
    EVP_PKEY_meth_set_decrypt(m, nullptr, pkey_tvk_decrypt);
    EVP_PKEY_meth_set_derive(m, nullptr, pkey_tvk_derive);
    EVP_PKEY_meth_set_ctrl(m, pkey_tvk_ctrl_gost2012, pkey_tvk_ctrl_gost2012_str<M>);
    return m;
}

}  // namespace

void tvk_install_token_signer(int pkey_ex_index, TvkTokenSigner signer) {
    TokenSigner& t = token_signer();
    t.ex_index.store(pkey_ex_index);
    t.sign.store(signer);
}

int register_pmeth_tvk(int nid, EVP_PKEY_METHOD** pmeth, int flags) {
    using enum Obj;
    *pmeth = nullptr;
    if (nid == NID_undef) return 0;
    if (nid == objmap::nid(gost2001))
        *pmeth = make_method<gost2001>(nid, flags);
    else if (nid == objmap::nid(gost2012_256))
        *pmeth = make_method<gost2012_256>(nid, flags);
    else if (nid == objmap::nid(gost2012_512))
        *pmeth = make_method<gost2012_512>(nid, flags);
    else if (nid == objmap::nid(id_GostR3410_2001DH))
        *pmeth = make_method<id_GostR3410_2001DH>(nid, flags);
    else if (nid == objmap::nid(agreement_gost_3410_2012_256))
        *pmeth = make_method<agreement_gost_3410_2012_256>(nid, flags);
    else if (nid == objmap::nid(agreement_gost_3410_2012_512))
        *pmeth = make_method<agreement_gost_3410_2012_512>(nid, flags);
    else if (objmap::is_one_of(nid, {gost_mac, kuznechik_mac, magma_mac}))
        *pmeth = tvk_make_mac_method(nid, flags);
    else {
        *pmeth = EVP_PKEY_meth_new(nid, flags);
        std::fprintf(stderr, "register_pmeth_tvk: Unsupported NID %d\n", nid);
        return 0;
    }
    return *pmeth ? 1 : 0;
}
