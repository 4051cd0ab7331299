// Key encoding method of the GOST signature and agreement key types.
#include <openssl/asn1t.h>
#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cstdio>
#include <cstring>

#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "gost/gostr3410.h"

namespace {

using objmap::Obj;
using Params = ossl::KeyParams;

void say(const char* text) {
    std::fputs(text, stderr);
}

bool is_512(int key_type) {
    return key_type == objmap::nid(Obj::gost2012_512);
}

// No parameter set, or a public key not yet derived.
bool public_key_missing(const tvk_gost2012_key* k) {
    return k->param_nid == NID_undef || k->pub_key_len == 0 ||
           all_zero(k->pub_key, sizeof k->pub_key);
}

// The key's type as set, with the key types of agreement mapped to their signature types.
int key_type(const EVP_PKEY* pkey) {
    return gost2012_key_type_of(EVP_PKEY_get_base_id(pkey));
}

// Key k and mask m (each L bytes, little-endian) into k * m mod q.
template <size_t ND, class P>
int unmask(const uint8_t* masked, size_t L, const P* prm, uint8_t* out,
           int (*load)(DIGIT_T*, const unsigned char*),
           int (*unload)(unsigned char*, const DIGIT_T*), const char* load_name,
           const char* unload_name) {
    DIGIT_T k[ND]{}, m[ND]{}, r[ND]{};
    int ok = 0;
    if (load(k, masked) || load(m, masked + L)) {
        std::fprintf(stderr, "%s failed\n", load_name);
    } else if (mpModMult(r, k, m, prm->q, ND)) {
        say("mpModMult failed\n");
    } else if (unload(out, r)) {
        std::fprintf(stderr, "%s failed\n", unload_name);
    } else {
        ok = 1;
    }
    mpWipe(k, sizeof k);
    mpWipe(m, sizeof m);
    mpWipe(r, sizeof r);
    return ok;
}

int load_256_masked_key(const uint8_t* der, uint32_t der_len, const uint8_t* masked, uint8_t* out) {
    const gostr3410_256_params* prm = nullptr;
    const int rc = GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm);
    if (rc || !prm) {
        std::fprintf(stderr, "%s: GOSTR3410_2012_256_FindParByDerOid failed, rc = %d\n",
                     "load_256_masked_key", rc);
        return 0;
    }
    return unmask<EC256_DIGITS>(masked, GOST_PRIV_256, prm, out, GOSTR3410_2001_LoadPrivateKeyValue,
                                GOSTR3410_2001_UnloadPrivateKeyValue,
                                "GOSTR3410_2001_LoadPrivateKeyValue",
                                "GOSTR3410_2001_UnloadPrivateKeyValue");
}

int load_512_masked_key(const uint8_t* der, uint32_t der_len, const uint8_t* masked, uint8_t* out) {
    const gostr3410_512_params* prm = nullptr;
    const int rc = GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm);
    if (rc || !prm) {
        std::fprintf(stderr, "%s: GOSTR3410_2012_512_FindParByDerOid failed, rc = %d\n",
                     "load_512_masked_key", rc);
        return 0;
    }
    return unmask<EC512_DIGITS>(
        masked, GOST_PRIV_512, prm, out, GOSTR3410_2012_512_LoadPrivateKeyValue,
        GOSTR3410_2012_512_UnloadPrivateKeyValue, "GOSTR3410_2012_512_LoadPrivateKeyValue",
        "GOSTR3410_2012_512_UnloadPrivateKeyValue");
}

enum class Form { kPlain, kMasked, kBad };

// The content of a whole primitive element of the given tag that spans exactly n bytes.
bool whole_element(const unsigned char* in, int n, int want_tag, const unsigned char** content,
                   long* len) {
    const unsigned char* p = in;
    int tag = 0, xclass = 0;
    const int r = ASN1_get_object(&p, len, &tag, &xclass, n);
    if ((r & 0x80) || r != 0 || tag != want_tag || xclass != V_ASN1_UNIVERSAL) return false;
    if (p + *len != in + n) return false;
    *content = p;
    return true;
}

// Works out the private-key form and points at its value. Every form is length-checked: an
// element must span the whole input, an OCTET STRING must hold exactly L or 2L bytes.
Form private_key_form(const unsigned char* priv, int priv_len, size_t L, uint8_t* plain,
                      const unsigned char** masked) {
    if (!priv || priv_len <= 0) return Form::kBad;
    const unsigned char* c = nullptr;
    long len = 0;
    if (priv[0] == V_ASN1_INTEGER) {
        if (!whole_element(priv, priv_len, V_ASN1_INTEGER, &c, &len)) return Form::kBad;
        // Big-endian content into little-endian; short values zero-extended, long ones keep
        // their low bytes.
        const size_t n = static_cast<size_t>(len);
        std::memset(plain, 0, L);
        for (size_t i = 0; i < L && i < n; ++i) plain[i] = c[n - 1 - i];
        return Form::kPlain;
    }
    if (priv[0] == V_ASN1_OCTET_STRING) {
        if (!whole_element(priv, priv_len, V_ASN1_OCTET_STRING, &c, &len)) return Form::kBad;
        if (static_cast<size_t>(len) == L) {
            std::memcpy(plain, c, L);
            return Form::kPlain;
        }
        if (static_cast<size_t>(len) == 2 * L) {
            *masked = c;
            return Form::kMasked;
        }
        return Form::kBad;
    }
    if (static_cast<size_t>(priv_len) == 2 * L) {
        *masked = priv;
        return Form::kMasked;
    }
    return Form::kBad;
}

int recompute_public(tvk_gost2012_key* k, const uint8_t* der, uint32_t der_len) {
    static const char fn[] = "create_private_key";
    int rc;
    if (k->priv_key_len == GOST_PRIV_256) {
        k->pub_key_len = GOST_PUB_256;
        const gostr3410_256_params* prm = nullptr;
        if ((rc = GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
            std::fprintf(stderr, "%s: GOSTR3410_2012_256_FindParByDerOid failed, rc = %d\n", fn,
                         rc);
            return 0;
        }
        DIGIT_T d[EC256_DIGITS];
        ep_point Q;
        int ok = 0;
        if ((rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, k->priv_key)) != 0)
            std::fprintf(stderr, "%s: GOSTR3410_2012_256_LoadPrivateKeyValue failed, rc = %d\n", fn,
                         rc);
        else if ((rc = GOSTR3410_2012_256_GeneratePublicKey(prm, d, &Q)) != 0)
            std::fprintf(stderr, "%s: GOSTR3410_2012_256_GeneratePublicKey failed, rc = %d\n", fn,
                         rc);
        else if ((rc = GOSTR3410_2012_256_UnloadPublicKeyValue(k->pub_key, &Q)) != 0)
            std::fprintf(stderr, "%s: GOSTR3410_2012_256_UnloadPublicKeyValue failed, rc = %d\n",
                         fn, rc);
        else
            ok = 1;
        mpWipe(d, sizeof d);
        return ok;
    }
    k->pub_key_len = GOST_PUB_512;
    const gostr3410_512_params* prm = nullptr;
    if ((rc = GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
        std::fprintf(stderr, "%s: GOSTR3410_2012_512_FindParByDerOid failed, rc = %d\n", fn, rc);
        return 0;
    }
    DIGIT_T d[EC512_DIGITS];
    dep_point Q;
    int ok = 0;
    if ((rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, k->priv_key)) != 0)
        std::fprintf(stderr, "%s: GOSTR3410_2012_512_LoadPrivateKeyValue failed, rc = %d\n", fn,
                     rc);
    else if ((rc = GOSTR3410_2012_512_GeneratePublicKey(prm, d, &Q)) != 0)
        std::fprintf(stderr, "%s: GOSTR3410_2012_512_GeneratePublicKey failed, rc = %d\n", fn, rc);
    else if ((rc = GOSTR3410_2012_512_UnloadPublicKeyValue(k->pub_key, &Q)) != 0)
        std::fprintf(stderr, "%s: GOSTR3410_2012_512_UnloadPublicKeyValue failed, rc = %d\n", fn,
                     rc);
    else
        ok = 1;
    mpWipe(d, sizeof d);
    return ok;
}

// ---- the slots ----

void pkey_free_gost2012(EVP_PKEY* pkey) {
    tvk_gost2012_free(gost2012_record(pkey));
}

int priv_decode_gost2012(EVP_PKEY* pkey, const PKCS8_PRIV_KEY_INFO* p8) {
    return engines::guarded("priv_decode_gost2012", 0, [&] {
        TVK2012_ENGINE_CTX* ctx = gost_settings_for(pkey);
        if (!ctx) return 0;
        const unsigned char* priv = nullptr;
        int priv_len = 0;
        const X509_ALGOR* alg = nullptr;
        if (!PKCS8_pkey_get0(nullptr, &priv, &priv_len, &alg, p8)) return 0;
        if (!decode_gost2012_algor_params(pkey, alg)) return 0;
        if (!create_private_key(ctx, alg, priv, priv_len, pkey)) {
            say("priv_decode_gost2012: create_private_key failed\n");
            return 0;
        }
        return 1;
    });
}

int priv_encode_gost2012(PKCS8_PRIV_KEY_INFO* p8, const EVP_PKEY* pkey) {
    return engines::guarded("priv_encode_gost2012", 0, [&] {
        const tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k) {
            say("get_priv_key_value: NULL tvk_gost2012_key\n");
            say("priv_encode_gost2012: get_priv_key_value failed\n");
            return 0;
        }
        if (!k->has_private_key ||
            (k->priv_key_len != GOST_PRIV_256 && k->priv_key_len != GOST_PRIV_512)) {
            say("get_priv_key_value: no real private key in keypair structure\n");
            say("priv_encode_gost2012: get_priv_key_value failed\n");
            return 0;
        }
        ossl::Asn1String params(encode_gost2012_algor_params(pkey));
        if (!params) return 0;
        ossl::OctetString os(ASN1_OCTET_STRING_new());
        if (!os || !ASN1_OCTET_STRING_set(os.get(), k->priv_key, static_cast<int>(k->priv_key_len)))
            return 0;
        unsigned char* der = nullptr;
        const int der_len = i2d_ASN1_OCTET_STRING(os.get(), &der);
        OPENSSL_cleanse(os->data, static_cast<size_t>(os->length));
        if (der_len <= 0) return 0;
        if (!PKCS8_pkey_set0(p8, OBJ_nid2obj(EVP_PKEY_get_base_id(pkey)), 0, V_ASN1_SEQUENCE,
                             params.get(), der, der_len)) {
            OPENSSL_clear_free(der, static_cast<size_t>(der_len));
            return 0;
        }
        params.release();
        return 1;
    });
}

int param_decode_gost2012(EVP_PKEY* pkey, const unsigned char** pder, int derlen) {
    return engines::guarded("param_decode_gost2012", 0, [&] {
        ossl::Asn1Object obj(d2i_ASN1_OBJECT(nullptr, pder, derlen));
        if (!obj) return 0;
        tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k) {
            ossl::GostKey created(tvk_gost2012_alloc());
            if (!created || !EVP_PKEY_assign(pkey, EVP_PKEY_get_base_id(pkey), created.get()))
                return 0;
            k = created.release();
        }
        return fill_GOST2012_params(k, key_type(pkey), OBJ_obj2nid(obj.get()));
    });
}

int param_encode_gost2012(const EVP_PKEY* pkey, unsigned char** pder) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    if (!k || k->param_nid == NID_undef) return 0;
    return i2d_ASN1_OBJECT(OBJ_nid2obj(k->param_nid), pder);
}

int param_missing_gost2012(const EVP_PKEY* pkey) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    return !k || public_key_missing(k) ? 1 : 0;
}

int param_copy_gost2012(EVP_PKEY* to, const EVP_PKEY* from) {
    return engines::guarded("param_copy_gost2012", 0, [&] {
        const tvk_gost2012_key* src = gost2012_record(from);
        if (!src || src->param_nid == NID_undef) {
            say("param_copy_gost2012: undefined source NID\n");
            return 0;
        }
        tvk_gost2012_key* dst = gost2012_record(to);
        if (dst && dst->param_nid != NID_undef && dst->param_nid != src->param_nid) {
            say("param_copy_gost2012: incompatible keys\n");
            return 0;
        }
        if (!dst) {
            // A key without a record takes one rather than being written through null.
            ossl::GostKey created(tvk_gost2012_alloc());
            if (!created) return 0;
            const int type =
                EVP_PKEY_get_base_id(to) != NID_undef ? EVP_PKEY_get_base_id(to) : src->pkey_nid;
            if (!EVP_PKEY_assign(to, type, created.get())) return 0;
            dst = created.release();
        }
        if (dst->priv_key_len == 0)
            return fill_GOST2012_params(dst, gost2012_key_type_of(EVP_PKEY_get_base_id(to)),
                                        src->param_nid);
        dst->param_nid = src->param_nid;
        return 1;
    });
}

int pub_decode_gost2012(EVP_PKEY* pkey, const X509_PUBKEY* pub) {
    return engines::guarded("pub_decode_gost2012", 0, [&] {
        ASN1_OBJECT* aobj = nullptr;
        const unsigned char* bits = nullptr;
        int bits_len = 0;
        X509_ALGOR* alg = nullptr;
        if (!X509_PUBKEY_get0_param(&aobj, &bits, &bits_len, &alg, pub)) return 0;
        const int nid = OBJ_obj2nid(aobj);
        if (EVP_PKEY_get_base_id(pkey) != nid && !EVP_PKEY_set_type(pkey, nid)) return 0;
        if (!decode_gost2012_algor_params(pkey, alg)) return 0;
        const unsigned char* p = bits;
        ossl::OctetString os(d2i_ASN1_OCTET_STRING(nullptr, &p, bits_len));
        if (!os) {
            say("pub_decode_gost2012: d2i_ASN1_OCTET_STRING failure\n");
            return 0;
        }
        tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k) {
            say("pub_decode_gost2012: EVP_PKEY_get0 failed\n");
            return 0;
        }
        // A key of another length than its type's would be read or written past its end later.
        if (static_cast<uint32_t>(ASN1_STRING_length(os.get())) != k->pub_key_len) {
            say("pub_decode_gost2012: public key length does not match its type\n");
            return 0;
        }
        std::memcpy(k->pub_key, ASN1_STRING_get0_data(os.get()), k->pub_key_len);
        if (all_zero(k->key_id, sizeof k->key_id) &&
            !pkcs11_id_gen(k->pub_key, k->pub_key_len, k->key_id)) {
            say("pub_decode_gost2012: pkcs11_id_gen failed\n");
            return 0;
        }
        return 1;
    });
}

int pub_encode_gost2012(X509_PUBKEY* pub, const EVP_PKEY* pkey) {
    return engines::guarded("pub_encode_gost2012", 0, [&] {
        tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k) return 0;
        if (public_key_missing(k) && !gost3410_public_key_derive_key(nullptr, k)) return 0;
        ASN1_STRING* params = encode_gost2012_algor_params(pkey);
        return params ? engine_keys::set_public_key(pub, pkey, k, params) : 0;
    });
}

int pub_cmp_gost2012(const EVP_PKEY* a, const EVP_PKEY* b) {
    tvk_gost2012_key* ka = gost2012_record(a);
    tvk_gost2012_key* kb = gost2012_record(b);
    if (!ka || !kb) return 0;
    for (tvk_gost2012_key* k : {ka, kb})
        if (public_key_missing(k) && !gost3410_public_key_derive_key(nullptr, k)) return 0;
    return ka->pub_key_len == kb->pub_key_len &&
           std::memcmp(ka->pub_key, kb->pub_key, ka->pub_key_len) == 0;
}

int pkey_ctrl_gost2012(EVP_PKEY* pkey, int op, long arg1, void* arg2) {
    const engine_keys::AlgorParamsEncoder encode = [](const char*, const EVP_PKEY* k) {
        return encode_gost2012_algor_params(k);
    };
    return engine_keys::pkey_ctrl("pkey_ctrl_gost2012", encode, "encode_gost2012_algor_params",
                                  pkey, op, arg1, arg2);
}

}  // namespace

TVK2012_ENGINE_CTX* gost_settings_for(const EVP_PKEY* pkey, bool report) {
    ENGINE* e = pkey ? EVP_PKEY_get0_engine(pkey) : nullptr;
    if (e && ENGINE_get_ex_data(e, 0)) return tvk_gost_settings(e);
    if (TVK2012_ENGINE_CTX* ctx = tvk_gost_loaded_settings()) return ctx;
    if (report) say("ENGINE_get_ex_data failed\n");
    return nullptr;
}

ASN1_STRING* encode_gost2012_algor_params(const EVP_PKEY* pkey) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    if (!k) {
        const int type = gost2012_key_type_of(EVP_PKEY_get_base_id(pkey));
        if (gost2012_is_sign_type(type)) say("encode_gost2012_algor_params  - 2.5 -\n");
        return nullptr;
    }
    return engine_keys::encode_algor_params("encode_gost2012_algor_params", k);
}

int decode_gost2012_algor_params(EVP_PKEY* pkey, const X509_ALGOR* alg) {
    const ASN1_OBJECT* aobj = nullptr;
    int ptype = V_ASN1_UNDEF;
    const void* pval = nullptr;
    X509_ALGOR_get0(&aobj, &ptype, &pval, alg);
    if (ptype != V_ASN1_SEQUENCE || !pval) {
        say("p11: decode_gost2001_algor_params err 1\n");
        return 0;
    }
    const int type = gost2012_key_type_of(OBJ_obj2nid(aobj));
    const auto* seq = static_cast<const ASN1_STRING*>(pval);
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    Params params(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
    if (!params) {
        say("p11: decode_gost2001_algor_params err 2\n");
        return 0;
    }
    const int param_nid = OBJ_obj2nid(params->key_params);
    if (EVP_PKEY_get_base_id(pkey) != type && !EVP_PKEY_set_type(pkey, type)) return 0;
    if (!gost2012_is_sign_type(type)) return 1;
    tvk_gost2012_key* k = gost2012_record(pkey);
    if (!k) {
        ossl::GostKey created(tvk_gost2012_alloc());
        if (!created) {
            say("decode_gost2012_algor_params err 1\n");
            return 0;
        }
        if (!EVP_PKEY_assign(pkey, type, created.get())) {
            say("decode_gost2012_algor_params err 2\n");
            return 0;
        }
        k = created.release();
    }
    if (!fill_GOST2012_params(k, type, param_nid)) {
        say("decode_gost2012_algor_params err 3\n");
        return 0;
    }
    return 1;
}

int create_private_key(TVK2012_ENGINE_CTX*, const X509_ALGOR* alg, const unsigned char* priv,
                       int priv_len, EVP_PKEY* pkey) {
    static const char fn[] = "create_private_key";
    tvk_gost2012_key* k = gost2012_record(pkey);
    if (!k) return 0;
    const ASN1_OBJECT* aobj = nullptr;
    int ptype = V_ASN1_UNDEF;
    const void* pval = nullptr;
    X509_ALGOR_get0(&aobj, &ptype, &pval, alg);
    Params params;
    if (ptype == V_ASN1_SEQUENCE && pval) {
        const auto* seq = static_cast<const ASN1_STRING*>(pval);
        const unsigned char* p = ASN1_STRING_get0_data(seq);
        params.reset(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
    }
    if (!params) {
        std::fprintf(stderr, "%s: Invalid key parameters format\n", fn);
        return 0;
    }
    k->param_nid = OBJ_obj2nid(params->key_params);
    uint8_t der[16];
    uint32_t der_len = 0;
    if (!gost_param_der(k->param_nid, der, &der_len)) {
        std::fprintf(stderr, "%s: Invalid param_nid %d\n", fn, k->param_nid);
        return 0;
    }
    const int type = gost2012_key_type_of(OBJ_obj2nid(aobj));
    const size_t L = is_512(type) ? GOST_PRIV_512 : GOST_PRIV_256;
    if (k->priv_key_len != L) {
        say("Unrecognized private key value format\n");
        return 0;
    }
    const unsigned char* masked = nullptr;
    int ok = 0;
    switch (private_key_form(priv, priv_len, L, k->priv_key, &masked)) {
        case Form::kPlain:
            ok = 1;
            break;
        case Form::kMasked:
            if (L == GOST_PRIV_256) {
                ok = load_256_masked_key(der, der_len, masked, k->priv_key);
                if (!ok) std::fprintf(stderr, "%s: load_256_masked_key failed\n", fn);
            } else {
                ok = load_512_masked_key(der, der_len, masked, k->priv_key);
                if (!ok) std::fprintf(stderr, "%s: load_512_masked_key failed\n", fn);
            }
            break;
        case Form::kBad:
            say("Unrecognized private key value format\n");
            break;
    }
    if (ok && !recompute_public(k, der, der_len)) ok = 0;
    if (ok && !pkcs11_id_gen(k->pub_key, k->pub_key_len, k->key_id)) {
        std::fprintf(stderr, "%s: pkcs11_id_gen failed\n", fn);
        ok = 0;
    }
    if (!ok) {
        OPENSSL_cleanse(k->priv_key, sizeof k->priv_key);
        k->has_private_key = 0;
        return 0;
    }
    k->has_private_key = 1;
    return 1;
}

// ---- the MAC keys' small method ----

namespace {

void mac_key_free(EVP_PKEY* pkey) {
    OPENSSL_clear_free(EVP_PKEY_get0(pkey), GOST_MAC_KEY_LEN);
}

int mac_ctrl(EVP_PKEY* pkey, int op, long, void* arg2) {
    if (op != ASN1_PKEY_CTRL_DEFAULT_MD_NID) return -2;
    *static_cast<int*>(arg2) = EVP_PKEY_get_base_id(pkey);
    return 2;
}

bool is_key_type(int nid) {
    return objmap::is_one_of(
        nid, {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512, Obj::id_GostR3410_2001DH,
              Obj::agreement_gost_3410_2012_256, Obj::agreement_gost_3410_2012_512});
}

bool is_mac_type(int nid) {
    return objmap::is_one_of(nid, {Obj::gost_mac, Obj::kuznechik_mac, Obj::magma_mac});
}

}  // namespace

int register_ameth_tvk(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                       const char* info) {
    *ameth = EVP_PKEY_asn1_new(nid, ASN1_PKEY_SIGPARAM_NULL, pem_str, info);
    if (!*ameth) return 0;
    if (nid == NID_undef) return 1;
    if (is_key_type(nid)) {
        EVP_PKEY_asn1_set_free(*ameth, pkey_free_gost2012);
        EVP_PKEY_asn1_set_private(*ameth, priv_decode_gost2012, priv_encode_gost2012,
                                  priv_print_gost2012);
        EVP_PKEY_asn1_set_param(*ameth, param_decode_gost2012, param_encode_gost2012,
                                param_missing_gost2012, param_copy_gost2012, param_cmp_tvk,
                                param_print_gost2012);
        EVP_PKEY_asn1_set_public(*ameth, pub_decode_gost2012, pub_encode_gost2012, pub_cmp_gost2012,
                                 pub_print_gost2012, pkey_size_gost2012, pkey_bits_gost2012);
        EVP_PKEY_asn1_set_ctrl(*ameth, pkey_ctrl_gost2012);
        // Without security bits, chain checks at security level 1 and above refuse the key.
        EVP_PKEY_asn1_set_security_bits(*ameth, pkey_security_bits_gost2012);
    } else if (is_mac_type(nid)) {
        EVP_PKEY_asn1_set_free(*ameth, mac_key_free);
        EVP_PKEY_asn1_set_ctrl(*ameth, mac_ctrl);
    }
    return 1;
}
