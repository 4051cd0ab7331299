// Key methods of the token GOST keys: signing and key-pair generation on the token, the rest in
// software through the helpers shared with the "mscryptoapi" engine.
#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/pkcs11/p11_engine.h"
#include "engines/pkcs11/p11_objects.h"

namespace {

using objmap::Obj;

constexpr const char* kDecodeFn = "decode_pkcs11_algor_params";
constexpr const char* kEncodeFn = "encode_pkcs11_algor_params";
constexpr const char* kCtrlFn = "pkey_pkcs11_ctrl";

tvk_gost2012_key* pkcs11_record_alloc() {
    auto* rec = static_cast<pkcs11_key*>(OPENSSL_zalloc(sizeof(pkcs11_key)));
    return rec ? &rec->pub : nullptr;
}

int pub_decode_pkcs11(EVP_PKEY* pkey, const X509_PUBKEY* pub) {
    return engine_keys::pub_decode(kDecodeFn, engine_keys::kPkcs11DecodeTexts, pkcs11_record_alloc,
                                   pkey, pub);
}

int pub_encode_pkcs11(X509_PUBKEY* pub, const EVP_PKEY* pkey) {
    return engine_keys::pub_encode(kEncodeFn, pub, pkey);
}

// The private key never leaves the token: the PKCS#8 form of a token key names it by its key
// identifier.
int priv_encode_pkcs11(PKCS8_PRIV_KEY_INFO* p8, const EVP_PKEY* pkey) {
    return engines::guarded("priv_encode_pkcs11", 0, [&] {
        const pkcs11_key* rec = pkcs11_record(pkey);
        ASN1_OBJECT* obj = OBJ_nid2obj(EVP_PKEY_get_base_id(pkey));
        if (!rec || !obj) return 0;
        ossl::Asn1String params(engine_keys::encode_algor_params(kEncodeFn, &rec->pub));
        if (!params) return 0;
        ossl::OctetString os(ASN1_OCTET_STRING_new());
        if (!os || !ASN1_OCTET_STRING_set(os.get(), rec->pub.key_id, GOST_KEY_ID_LEN)) return 0;
        unsigned char* der = nullptr;
        const int len = i2d_ASN1_OCTET_STRING(os.get(), &der);
        if (len <= 0) return 0;
        if (!PKCS8_pkey_set0(p8, obj, 0, V_ASN1_SEQUENCE, params.get(), der, len)) {
            OPENSSL_free(der);
            return 0;
        }
        params.release();
        return 1;
    });
}

void pkcs11_pkey_free(EVP_PKEY* pkey) {
    pkcs11_key_free(pkcs11_record(pkey));
}

int pkcs11_pkey_ctrl(EVP_PKEY* pkey, int op, long arg1, void* arg2) {
    return engine_keys::pkey_ctrl(kEncodeFn, pkey, op, arg1, arg2);
}

// Without a key the parameter set defaults by the method's key type.
template <Obj Type>
int pkey_pkcs11_init(EVP_PKEY_CTX* ctx) {
    const int default_param = Type == Obj::gost2012_512
                                  ? objmap::nid(Obj::gost_3410_2012_512_paramSetA)
                                  : objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet);
    if (!engine_keys::pmeth_init(ctx, default_param)) return 0;
    tvk_pmeth_data* data = pmeth_data(ctx);
    if (data->key_type == 0) data->key_type = objmap::nid(Type);
    return 1;
}

template <Obj Type>
int pkey_pkcs11_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src) {
    return engine_keys::pmeth_copy(dst, src, pkey_pkcs11_init<Type>);
}

void pkey_pkcs11_cleanup(EVP_PKEY_CTX* ctx) {
    if (tvk_pmeth_data* data = pmeth_data(ctx)) {
        OPENSSL_free(data->token_label);
        data->token_label = nullptr;
    }
    pkey_mscryptoapi_cleanup(ctx);
}

bool is_sign_paramset(int nid) {
    return objmap::is_one_of(
        nid, {Obj::GostR3410_2001_CryptoPro_A_ParamSet, Obj::GostR3410_2001_CryptoPro_B_ParamSet,
              Obj::GostR3410_2001_CryptoPro_C_ParamSet, Obj::GostR3410_2001_CryptoPro_XchA_ParamSet,
              Obj::GostR3410_2001_CryptoPro_XchB_ParamSet, Obj::gost_3410_2012_512_paramSetTest,
              Obj::gost_3410_2012_512_paramSetA, Obj::gost_3410_2012_512_paramSetB,
              Obj::gost_3410_2012_256_paramSetA});
}

int pkey_pkcs11_ctrl(EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
    return engines::guarded(kCtrlFn, 0, [&] {
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (!data) return 0;
        switch (type) {
            case EVP_PKEY_CTRL_PKCS11_LABEL: {
                char* label = p2 ? OPENSSL_strdup(static_cast<const char*>(p2)) : nullptr;
                if (p2 && !label) return 0;
                OPENSSL_free(data->token_label);
                data->token_label = label;
                return 1;
            }
            case EVP_PKEY_CTRL_PKCS11_SLOT:
                data->token_slot = static_cast<uint32_t>(p1);
                return 1;
            case EVP_PKEY_CTRL_PKCS11_PARAMSET:
                if (!is_sign_paramset(p1)) {
                    std::fprintf(stderr, "%s() : unsupported sign parameter NID: %d\n", kCtrlFn,
                                 p1);
                    return -2;
                }
                data->param_nid = p1;
                return 1;
            default:
                return engine_keys::pmeth_ctrl(kCtrlFn, ctx, type, p1, p2);
        }
    });
}

// "libname" and "pin" reach the engine bound at start-up; 0 while there is none.
int engine_setting(int cmd, const char* value) {
    ENGINE* e = pkcs11_engine();
    return e ? ENGINE_ctrl(e, cmd, 0, const_cast<char*>(value), nullptr) : 0;
}

int pkey_pkcs11_ctrl_str(EVP_PKEY_CTX* ctx, const char* name, const char* value) {
    if (!name || !value) return -2;
    if (std::strcmp(name, "label") == 0)
        return pkey_pkcs11_ctrl(ctx, EVP_PKEY_CTRL_PKCS11_LABEL, 0, const_cast<char*>(value));
    if (std::strcmp(name, "slot") == 0)
        return pkey_pkcs11_ctrl(ctx, EVP_PKEY_CTRL_PKCS11_SLOT, std::atoi(value), nullptr);
    if (std::strcmp(name, "paramset") == 0)
        return pkey_pkcs11_ctrl(ctx, EVP_PKEY_CTRL_PKCS11_PARAMSET, OBJ_txt2nid(value), nullptr);
    if (std::strcmp(name, "libname") == 0) return engine_setting(kP11CmdAttachApi, value);
    if (std::strcmp(name, "pin") == 0) return engine_setting(kP11CmdLogin, value);
    return -2;
}

// ---- key generation on the token ----

const unsigned char* digest_param_der(int type, size_t* len) {
    static const unsigned char k94[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
    static const unsigned char k256[] = {0x06, 0x08, 0x2A, 0x85, 0x03,
                                         0x07, 0x01, 0x01, 0x02, 0x02};
    static const unsigned char k512[] = {0x06, 0x08, 0x2A, 0x85, 0x03,
                                         0x07, 0x01, 0x01, 0x02, 0x03};
    if (type == objmap::nid(Obj::gost2001)) return *len = sizeof k94, k94;
    if (type == objmap::nid(Obj::gost2012_256)) return *len = sizeof k256, k256;
    return *len = sizeof k512, k512;
}

int pkey_pkcs11_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY* pkey) {
    static const char fn[] = "pkey_pkcs11_keygen";
    return engines::guarded(fn, -1, [&] {
        tvk_pmeth_data* data = pmeth_data(ctx);
        ENGINE* e = pkcs11_engine();
        if (!data || !e) return -1;
        const int type = data->key_type;
        // The templates carry the label; without one there is nothing to name the pair by.
        if (!data->token_label) {
            pkcs11_log_error("%s() : no token label set", fn);
            return -1;
        }
        tvk_gost2012_key pub{};
        uint8_t curve[16];
        uint32_t curve_len = 0;
        if (!gost2012_is_sign_type(type) || !fill_GOST2012_params(&pub, type, data->param_nid) ||
            !gost_param_der(data->param_nid, curve, &curve_len)) {
            pkcs11_log_error("%s() : parameter set %d does not suit key type %d", fn,
                             data->param_nid, type);
            return -1;
        }
        p11::ModuleRef module = pkcs11_load_library();
        if (!module) {
            pkcs11_log_error("%s() : failed to load PKCS#11 library", fn);
            return -1;
        }
        CK_FUNCTION_LIST* f = module.functions();
        CK_SLOT_ID slots[p11::kMaxObjects];
        CK_ULONG count = p11::kMaxObjects;
        CK_RV rv = f->C_GetSlotList(CK_TRUE, slots, &count);
        if (rv != CKR_OK) {
            pkcs11_log_error("%s() : C_GetSlotList() failed, ret code = %d (%s)", fn,
                             static_cast<int>(rv), get_ckr_name(rv));
            return -1;
        }
        if (count == 0) {
            pkcs11_log_error("%s() : no token found", fn);
            return -1;
        }
        const CK_SLOT_ID slot = data->token_slot != 0 ? data->token_slot : slots[0];
        p11::Session session(f);
        rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                              &session.handle);
        if (rv != CKR_OK) {
            session.handle = CK_INVALID_HANDLE;
            pkcs11_log_error("%s() : C_OpenSession() failed, ret code = %d (%s)", fn,
                             static_cast<int>(rv), get_ckr_name(rv));
            return -1;
        }
        if (const std::optional<std::string> pin = pkcs11_setting(1)) {
            rv = f->C_Login(session.handle, CKU_USER,
                            reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin->c_str())),
                            pin->size());
            if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
                pkcs11_log_error("%s() : C_Login() failed: %d (%s)", fn, static_cast<int>(rv),
                                 get_ckr_name(rv));
                return -1;
            }
        }
        const bool is_512 = type == objmap::nid(Obj::gost2012_512);
        CK_KEY_TYPE key_type = is_512 ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
        size_t digest_len = 0;
        const unsigned char* digest = digest_param_der(type, &digest_len);
        CK_BBOOL yes = CK_TRUE;
        char* label = data->token_label;
        const CK_ULONG label_len = std::strlen(label);
        CK_ATTRIBUTE pub_tmpl[] = {
            {CKA_KEY_TYPE, &key_type, sizeof key_type},
            {CKA_GOSTR3411_PARAMS, const_cast<unsigned char*>(digest), digest_len},
            {CKA_GOSTR3410_PARAMS, curve, curve_len},
            {CKA_LABEL, label, label_len},
            {CKA_TOKEN, &yes, sizeof yes},
        };
        CK_ATTRIBUTE priv_tmpl[] = {
            {CKA_LABEL, label, label_len},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes},
        };
        CK_MECHANISM mech{is_512 ? CKM_GOSTR3410_512_KEY_PAIR_GEN : CKM_GOSTR3410_KEY_PAIR_GEN,
                          nullptr, 0};
        CK_OBJECT_HANDLE pub_obj = CK_INVALID_HANDLE, priv_obj = CK_INVALID_HANDLE;
        rv = f->C_GenerateKeyPair(session.handle, &mech, pub_tmpl, 5, priv_tmpl, 4, &pub_obj,
                                  &priv_obj);
        if (rv != CKR_OK) {
            pkcs11_log_error("%s() : C_GenerateKeyPair() failed, ret code = %d (%s)", fn,
                             static_cast<int>(rv), get_ckr_name(rv));
            return -1;
        }
        // Only as many public-key bytes as the key's size has fit the record.
        const p11::Attribute value =
            p11::read_attribute(f, session.handle, pub_obj, CKA_VALUE, pub.pub_key_len);
        if (!value.ok() || value.value.size() != pub.pub_key_len) {
            pkcs11_log_error("%s() : the new public key is not %d bytes", fn,
                             static_cast<int>(pub.pub_key_len));
            return -1;
        }
        std::memcpy(pub.pub_key, value.value.data(), pub.pub_key_len);
        if (!pkcs11_id_gen(pub.pub_key, pub.pub_key_len, pub.key_id)) return -1;
        for (CK_OBJECT_HANDLE obj : {pub_obj, priv_obj}) {
            CK_ATTRIBUTE id{CKA_ID, pub.key_id, GOST_KEY_ID_LEN};
            rv = f->C_SetAttributeValue(session.handle, obj, &id, 1);
            if (rv != CKR_OK)
                pkcs11_log_error("%s() : C_SetAttributeValue( CKA_ID ) failed: %d (%s)", fn,
                                 static_cast<int>(rv), get_ckr_name(rv));
        }
        auto* rec = static_cast<pkcs11_key*>(OPENSSL_zalloc(sizeof(pkcs11_key)));
        if (!rec) return -1;
        rec->pub = pub;
        rec->module = new p11::ModuleRef(std::move(module));
        rec->session = session.handle;
        rec->private_key = priv_obj;
        // Bound to this engine, the key's operations and its free come back here.
        if (!engine_keys::bind_key(e, pkey, type, rec)) {
            rec->session = CK_INVALID_HANDLE;
            pkcs11_key_free(rec);
            return -1;
        }
        session.release();
        std::printf("key ID = %s\n", p11::hex(pub.key_id, GOST_KEY_ID_LEN).c_str());
        std::fflush(stdout);
        return 1;
    });
}

}  // namespace

pkcs11_key* pkcs11_record(const EVP_PKEY* pkey) {
    if (!pkey || !gost2012_is_sign_type(EVP_PKEY_get_base_id(pkey))) return nullptr;
    return reinterpret_cast<pkcs11_key*>(gost2012_record(pkey));
}

int pkcs11_gost_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                     const unsigned char* tbs, size_t tbslen) {
    static const char fn[] = "pkcs11_gost_sign";
    return engines::guarded(fn, -1, [&] {
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        pkcs11_key* rec = pkcs11_record(pkey);
        if (!rec || !siglen) return -1;
        const bool is_512 = EVP_PKEY_get_base_id(pkey) == objmap::nid(Obj::gost2012_512);
        const size_t need = is_512 ? 128 : 64;
        if (!sig) {
            *siglen = need;
            return 1;
        }
        // The caller's buffer is as long as it says, and no longer.
        if (*siglen < need || !rec->module || !tbs) return -1;
        *siglen = need;
        CK_ULONG len = need;
        const p11::Signed r =
            p11::sign(rec->module->functions(), rec->session, rec->private_key,
                      is_512 ? CKM_GOSTR3410_512 : CKM_GOSTR3410, tbs, tbslen, sig, &len);
        if (!r.ok()) {
            pkcs11_log_error("%s", p11::sign_failure_text(fn, 1, r).c_str());
            return -1;
        }
        *siglen = len;
        return static_cast<int>(len);
    });
}

int register_pmeth_pkcs11(int nid, EVP_PKEY_METHOD** pmeth, int flags) {
    *pmeth = EVP_PKEY_meth_new(nid, flags);
    if (!*pmeth) return 0;
    if (!gost2012_is_sign_type(nid)) {
        std::fprintf(stderr, "register_pmeth_pkcs11: Unsupported NID %d\n", nid);
        return 0;
    }
    if (nid == objmap::nid(Obj::gost2001)) {
        EVP_PKEY_meth_set_init(*pmeth, pkey_pkcs11_init<Obj::gost2001>);
        EVP_PKEY_meth_set_copy(*pmeth, pkey_pkcs11_copy<Obj::gost2001>);
    } else if (nid == objmap::nid(Obj::gost2012_256)) {
        EVP_PKEY_meth_set_init(*pmeth, pkey_pkcs11_init<Obj::gost2012_256>);
        EVP_PKEY_meth_set_copy(*pmeth, pkey_pkcs11_copy<Obj::gost2012_256>);
    } else {
        EVP_PKEY_meth_set_init(*pmeth, pkey_pkcs11_init<Obj::gost2012_512>);
        EVP_PKEY_meth_set_copy(*pmeth, pkey_pkcs11_copy<Obj::gost2012_512>);
    }
    EVP_PKEY_meth_set_cleanup(*pmeth, pkey_pkcs11_cleanup);
    EVP_PKEY_meth_set_keygen(*pmeth, nullptr, pkey_pkcs11_keygen);
    EVP_PKEY_meth_set_sign(*pmeth, nullptr, pkcs11_gost_sign);
    EVP_PKEY_meth_set_verify(*pmeth, nullptr, pkey_tvk_verify);
    EVP_PKEY_meth_set_encrypt(*pmeth, nullptr, pkey_engine_encrypt);
    EVP_PKEY_meth_set_decrypt(*pmeth, nullptr, pkey_pkcs11_decrypt);
    EVP_PKEY_meth_set_ctrl(*pmeth, pkey_pkcs11_ctrl, pkey_pkcs11_ctrl_str);
    return 1;
}

int register_ameth_pkcs11(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str,
                          const char* info) {
    static constexpr engine_keys::TokenAsn1Slots kSlots = {pub_decode_pkcs11, pub_encode_pkcs11,
                                                           priv_encode_pkcs11, pkcs11_pkey_free,
                                                           pkcs11_pkey_ctrl};
    return engine_keys::make_token_ameth(nid, ameth, pem_str, info, kSlots);
}
