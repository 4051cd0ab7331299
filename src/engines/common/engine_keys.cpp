#include "engines/common/engine_keys.h"

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"

namespace engine_keys {
namespace {

using objmap::Obj;
using Params = ossl::Owner<TVK_GOST2012_KEY_PARAMS, TVK_GOST2012_KEY_PARAMS_free>;

bool is(int nid, Obj o) {
    return nid == objmap::nid(o);
}

int recipient_alg(AlgorParamsEncoder encode, const char* encode_fn, EVP_PKEY* pkey,
                  X509_ALGOR* alg) {
    ossl::Asn1String params(encode(encode_fn, pkey));
    if (!params || !alg) return -1;
    X509_ALGOR_set0(alg, OBJ_nid2obj(EVP_PKEY_get_base_id(pkey)), V_ASN1_SEQUENCE,
                    params.release());
    return 1;
}

constexpr int kSettingsSlot = 0;

// The engines' trace switch.
std::atomic<bool> g_trace{false};

struct EngineMethods {
    std::vector<std::pair<int, EVP_PKEY_METHOD*>> pkey;
    std::vector<std::pair<int, EVP_PKEY_ASN1_METHOD*>> asn1;
};

int methods_slot() {
    static const int slot = ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

EngineMethods* methods_of(ENGINE* e) {
    return e ? static_cast<EngineMethods*>(ENGINE_get_ex_data(e, methods_slot())) : nullptr;
}

template <class M>
int select(ENGINE* e, M** out, const int** nids, int nid, std::span<const int> listed,
           std::vector<std::pair<int, M*>> EngineMethods::*list) {
    if (!out) {
        if (nids) *nids = listed.empty() ? nullptr : listed.data();
        return static_cast<int>(listed.size());
    }
    *out = nullptr;
    if (EngineMethods* m = methods_of(e))
        for (auto& [id, method] : m->*list)
            if (id == nid) *out = method;
    return *out ? 1 : 0;
}

}  // namespace

bool create_settings(ENGINE* e, const char* bind_fn) {
    auto* ctx = static_cast<TVK2012_ENGINE_CTX*>(OPENSSL_zalloc(sizeof(TVK2012_ENGINE_CTX)));
    if (!ctx) {
        std::fprintf(stderr, "%s() : TVK2012_ENGINE_CTX malloc failed\n", bind_fn);
        return false;
    }
    ctx->cipher_param_nid = objmap::nid(Obj::gost_28147_param_Z);
    uint32_t len = 0;
    if (!gost_param_der(ctx->cipher_param_nid, ctx->cipher_param_oid, &len))
        ctx->cipher_param_nid = 0;
    ctx->pbe_prf_nid = objmap::nid(Obj::id_HMACGostR3411_94);
    if (!ENGINE_set_ex_data(e, kSettingsSlot, ctx)) {
        OPENSSL_free(ctx);
        std::fprintf(stderr, "%s() : ENGINE_set_ex_data failed\n", bind_fn);
        return false;
    }
    return true;
}

bool create_key_methods(ENGINE* e, std::span<const MethodRow> rows, RegisterAmeth ameth,
                        RegisterPmeth pmeth) {
    auto* m = new EngineMethods;
    if (!ENGINE_set_ex_data(e, methods_slot(), m)) {
        delete m;
        return false;
    }
    for (const auto& r : rows) {
        EVP_PKEY_ASN1_METHOD* a = nullptr;
        const bool made = ameth(objmap::nid(r.type), &a, r.pem, r.info) != 0;
        ossl::Asn1Meth owned(a);
        if (!made) return false;
        m->asn1.emplace_back(objmap::nid(r.type), owned.release());
    }
    for (const auto& r : rows) {
        EVP_PKEY_METHOD* p = nullptr;
        const bool made = pmeth(objmap::nid(r.type), &p, 0) != 0;
        ossl::PKeyMeth owned(p);
        if (!made) return false;
        m->pkey.emplace_back(objmap::nid(r.type), owned.release());
    }
    return true;
}

std::span<const int> signature_key_nids() {
    static const auto* nids = new std::vector<int>{
        objmap::nid(Obj::gost2001), objmap::nid(Obj::gost2012_256), objmap::nid(Obj::gost2012_512)};
    return *nids;
}

int select_pkey_meth(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid,
                     std::span<const int> listed) {
    return select(e, pmeth, nids, nid, listed, &EngineMethods::pkey);
}

int select_asn1_meth(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid,
                     std::span<const int> listed) {
    return select(e, ameth, nids, nid, listed, &EngineMethods::asn1);
}

void free_key_methods(ENGINE* e) {
    delete methods_of(e);
    ENGINE_set_ex_data(e, methods_slot(), nullptr);
}

void free_engine_data(ENGINE* e) {
    free_key_methods(e);
    OPENSSL_free(ENGINE_get_ex_data(e, kSettingsSlot));
    ENGINE_set_ex_data(e, kSettingsSlot, nullptr);
}

int decode_algor_params(const char* fn, const DecodeTexts& texts, RecordAlloc alloc, EVP_PKEY* pkey,
                        const X509_ALGOR* alg) {
    const ASN1_OBJECT* aobj = nullptr;
    int ptype = V_ASN1_UNDEF;
    const void* pval = nullptr;
    X509_ALGOR_get0(&aobj, &ptype, &pval, alg);
    if (ptype != V_ASN1_SEQUENCE || !pval) {
        std::fprintf(stderr, texts.text[0], fn);
        return 0;
    }
    const auto* seq = static_cast<const ASN1_STRING*>(pval);
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    Params params(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
    if (!params) {
        std::fprintf(stderr, texts.text[1], fn);
        return 0;
    }
    const int type = OBJ_obj2nid(aobj);
    if (EVP_PKEY_get_base_id(pkey) != type && !EVP_PKEY_set_type(pkey, type)) return 0;
    if (!gost2012_is_sign_type(type)) return 1;
    tvk_gost2012_key* k = gost2012_record(pkey);
    if (!k) {
        ossl::GostKey created(alloc());
        if (!created) {
            std::fprintf(stderr, texts.text[2], fn);
            return 0;
        }
        if (!EVP_PKEY_assign(pkey, type, created.get())) {
            std::fprintf(stderr, texts.text[3], fn);
            return 0;
        }
        k = created.release();
    }
    if (!fill_GOST2012_params(k, type, OBJ_obj2nid(params->key_params))) {
        std::fprintf(stderr, texts.text[4], fn);
        return 0;
    }
    return 1;
}

ASN1_STRING* encode_algor_params(const char* fn, const tvk_gost2012_key* k) {
    if (!k) {
        std::fprintf(stderr, "%s:  - 2.5 -\n", fn);
        return nullptr;
    }
    Params p(TVK_GOST2012_KEY_PARAMS_new());
    ossl::Asn1String s(ASN1_STRING_new());
    unsigned char* der = nullptr;
    int len = -1;
    if (p && s) {
        // Objects from OBJ_nid2obj are static: freeing the structure leaves them alone.
        p->key_params = OBJ_nid2obj(k->param_nid);
        p->hash_params = OBJ_nid2obj(gost2012_digest_param_nid(k->pkey_nid));
        if (p->key_params && p->hash_params) len = i2d_TVK_GOST2012_KEY_PARAMS(p.get(), &der);
    }
    if (len <= 0) {
        std::fprintf(stderr, "%s: malloc failed\n", fn);
        return nullptr;
    }
    ASN1_STRING_set0(s.get(), der, len);
    s->type = V_ASN1_SEQUENCE;
    return s.release();
}

int pub_decode(const char* fn, const DecodeTexts& texts, RecordAlloc alloc, EVP_PKEY* pkey,
               const X509_PUBKEY* pub) {
    return engines::guarded(fn, 0, [&] {
        ASN1_OBJECT* aobj = nullptr;
        const unsigned char* bits = nullptr;
        int bits_len = 0;
        X509_ALGOR* alg = nullptr;
        if (!X509_PUBKEY_get0_param(&aobj, &bits, &bits_len, &alg, pub)) return 0;
        if (!decode_algor_params(fn, texts, alloc, pkey, alg)) return 0;
        const unsigned char* p = bits;
        ossl::OctetString os(d2i_ASN1_OCTET_STRING(nullptr, &p, bits_len));
        if (!os) {
            std::fputs("pub_decode_gost2012: d2i_ASN1_OCTET_STRING failure\n", stderr);
            return 0;
        }
        tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k) {
            std::fputs("pub_decode_gost2012: EVP_PKEY_get0 failed\n", stderr);
            return 0;
        }
        // Only 64 or 128 bytes, and as many as the parameter set says: a longer key would be
        // written past the record, a shorter one read past its end later.
        if (static_cast<uint32_t>(ASN1_STRING_length(os.get())) != k->pub_key_len) {
            std::fprintf(stderr, "%s: public key length %d does not match its parameter set\n", fn,
                         ASN1_STRING_length(os.get()));
            return 0;
        }
        std::memcpy(k->pub_key, ASN1_STRING_get0_data(os.get()), k->pub_key_len);
        if (all_zero(k->key_id, sizeof k->key_id) &&
            !pkcs11_id_gen(k->pub_key, k->pub_key_len, k->key_id)) {
            std::fputs("pkcs11_id_gen failed\n", stderr);
            return 0;
        }
        return 1;
    });
}

int pub_encode(const char* fn, X509_PUBKEY* pub, const EVP_PKEY* pkey) {
    return engines::guarded(fn, 0, [&] {
        const tvk_gost2012_key* k = gost2012_record(pkey);
        if (!k || (k->pub_key_len != GOST_PUB_256 && k->pub_key_len != GOST_PUB_512)) return 0;
        // The parameters are always written: the crypto library's save_parameters flag is set
        // by default, and 3.0 keeps it only for DSA and EC keys (it answers 0 for every other
        // type), so asking it would leave them out of every token key's public key.
        ASN1_STRING* params = encode_algor_params(fn, k);
        return params ? set_public_key(pub, pkey, k, params) : 0;
    });
}

int set_public_key(X509_PUBKEY* pub, const EVP_PKEY* pkey, const tvk_gost2012_key* k,
                   ASN1_STRING* params) {
    ossl::Asn1String owned(params);
    ossl::OctetString os(ASN1_OCTET_STRING_new());
    if (!os || !ASN1_OCTET_STRING_set(os.get(), k->pub_key, static_cast<int>(k->pub_key_len)))
        return 0;
    unsigned char* der = nullptr;
    const int der_len = i2d_ASN1_OCTET_STRING(os.get(), &der);
    if (der_len <= 0) return 0;
    if (!X509_PUBKEY_set0_param(pub, OBJ_nid2obj(EVP_PKEY_get_base_id(pkey)),
                                params ? V_ASN1_SEQUENCE : V_ASN1_UNDEF, params, der, der_len)) {
        OPENSSL_free(der);
        return 0;
    }
    owned.release();
    return 1;
}

int pkey_ctrl(const char* encode_fn, EVP_PKEY* pkey, int op, long arg1, void* arg2) {
    const AlgorParamsEncoder of_record = [](const char* fn, const EVP_PKEY* k) {
        return encode_algor_params(fn, gost2012_record(k));
    };
    return pkey_ctrl("pkey_ctrl", of_record, encode_fn, pkey, op, arg1, arg2);
}

int pkey_ctrl(const char* fn, AlgorParamsEncoder encode, const char* encode_fn, EVP_PKEY* pkey,
              int op, long arg1, void* arg2) {
    return engines::guarded(fn, -1, [&] {
        X509_ALGOR *dig = nullptr, *sig = nullptr, *alg = nullptr;
        switch (op) {
            case ASN1_PKEY_CTRL_PKCS7_SIGN:
                if (arg1 != 0) return 1;
                PKCS7_SIGNER_INFO_get0_algs(static_cast<PKCS7_SIGNER_INFO*>(arg2), nullptr, &dig,
                                            &sig);
                return gost2012_set_sign_algs(pkey, dig, sig);
            case ASN1_PKEY_CTRL_CMS_SIGN:
                if (arg1 != 0) return 1;
                CMS_SignerInfo_get0_algs(static_cast<CMS_SignerInfo*>(arg2), nullptr, nullptr, &dig,
                                         &sig);
                return gost2012_set_sign_algs(pkey, dig, sig);
            case ASN1_PKEY_CTRL_PKCS7_ENCRYPT:
                if (arg1 != 0) return 1;
                PKCS7_RECIP_INFO_get0_alg(static_cast<PKCS7_RECIP_INFO*>(arg2), &alg);
                return recipient_alg(encode, encode_fn, pkey, alg);
            case ASN1_PKEY_CTRL_CMS_ENVELOPE:
                if (arg1 != 0) return 1;
                if (!CMS_RecipientInfo_ktri_get0_algs(static_cast<CMS_RecipientInfo*>(arg2),
                                                      nullptr, nullptr, &alg))
                    return -1;
                return recipient_alg(encode, encode_fn, pkey, alg);
            case ASN1_PKEY_CTRL_DEFAULT_MD_NID: {
                const int type = EVP_PKEY_get_base_id(pkey);
                if (type == NID_undef) return -1;
                *static_cast<int*>(arg2) = is(type, Obj::gost2001) ? objmap::nid(Obj::md_gost94)
                                           : is(type, Obj::gost2012_512)
                                               ? objmap::nid(Obj::md_gost12_512)
                                               : objmap::nid(Obj::md_gost12_256);
                return 2;
            }
            case ASN1_PKEY_CTRL_CMS_RI_TYPE:
                *static_cast<int*>(arg2) = CMS_RECIPINFO_TRANS;
                return 1;
            default:
                return -2;
        }
    });
}

int make_token_ameth(int nid, EVP_PKEY_ASN1_METHOD** ameth, const char* pem_str, const char* info,
                     const TokenAsn1Slots& slots) {
    *ameth = EVP_PKEY_asn1_new(nid, ASN1_PKEY_SIGPARAM_NULL, pem_str, info);
    if (!*ameth) return 0;
    if (!gost2012_is_sign_type(nid)) return 1;
    EVP_PKEY_asn1_set_public(*ameth, slots.pub_decode, slots.pub_encode, pub_cmp_tvk,
                             pub_print_gost2012, pkey_size_gost2012, pkey_bits_gost2012);
    if (slots.priv_encode)
        EVP_PKEY_asn1_set_private(*ameth, nullptr, slots.priv_encode, pub_print_gost2012);
    EVP_PKEY_asn1_set_param(*ameth, nullptr, nullptr, nullptr, nullptr, param_cmp_tvk,
                            param_print_gost2012);
    EVP_PKEY_asn1_set_free(*ameth, slots.free);
    EVP_PKEY_asn1_set_ctrl(*ameth, slots.ctrl);
    // Without security bits, chain checks at security level 1 and above refuse the key.
    EVP_PKEY_asn1_set_security_bits(*ameth, pkey_security_bits_gost2012);
    return 1;
}

int pmeth_init(EVP_PKEY_CTX* ctx, int default_param) {
    auto* data = static_cast<tvk_pmeth_data*>(OPENSSL_zalloc(sizeof(tvk_pmeth_data)));
    if (!data) return 0;
    data->param_nid = default_param;
    if (EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx)) {
        const int type = EVP_PKEY_get_base_id(pkey);
        if (!gost2012_is_sign_type(type)) {
            OPENSSL_free(data);
            return 0;
        }
        data->key_type = type;
        const tvk_gost2012_key* k = gost2012_record(pkey);
        data->param_nid = k ? k->param_nid : NID_undef;
    }
    EVP_PKEY_CTX_set_data(ctx, data);
    return 1;
}

int pmeth_copy(EVP_PKEY_CTX* dst, const EVP_PKEY_CTX* src, int (*init)(EVP_PKEY_CTX*)) {
    if (!init(dst)) return 0;
    const auto* from = pmeth_data(const_cast<EVP_PKEY_CTX*>(src));
    tvk_pmeth_data* to = pmeth_data(dst);
    if (!from || !to) return 1;
    *to = *from;
    to->ukm = nullptr;
    to->token_label = nullptr;
    // A copy owns what it holds: a length without its bytes, or a text freed twice, would not do.
    if (from->ukm) {
        to->ukm = static_cast<uint8_t*>(OPENSSL_memdup(from->ukm, from->ukm_len));
        if (!to->ukm) to->ukm_len = 0;
    }
    if (from->token_label) to->token_label = OPENSSL_strdup(from->token_label);
    return (!from->ukm || to->ukm) && (!from->token_label || to->token_label) ? 1 : 0;
}

int pmeth_ctrl(const char* fn, EVP_PKEY_CTX* ctx, int type, int p1, void* p2) {
    return engines::guarded(fn, 0, [&] {
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (!data) return 0;
        const int r = tvk_pmeth_common_ctrl(data, type, p1, p2);
        if (r == -2) std::fprintf(stderr, "%s() : unsupported type: %d\n", fn, type);
        return r;
    });
}

int bind_key(ENGINE* e, EVP_PKEY* pkey, int type, void* record) {
    static std::mutex lock;
    std::lock_guard guard(lock);
    // A functional reference of the engine serving the type now, given back below.
    ENGINE* previous = ENGINE_get_pkey_asn1_meth_engine(type);
    constexpr unsigned kKeyMethods = ENGINE_METHOD_PKEY_METHS | ENGINE_METHOD_PKEY_ASN1_METHS;
    const int ok = ENGINE_set_default(e, kKeyMethods) && EVP_PKEY_assign(pkey, type, record);
    // The engine stays the key's, not everyone's: the defaults go back as they were.
    if (previous) {
        ENGINE_set_default(previous, kKeyMethods);
        ENGINE_finish(previous);
    } else {
        ENGINE_unregister_pkey_meths(e);
        ENGINE_unregister_pkey_asn1_meths(e);
    }
    return ok;
}

void print_certs(const STACK_OF(X509) * certs) {
    std::printf("Total: %d certificates\n", sk_X509_num(certs));
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509_print_fp(stdout, sk_X509_value(certs, i));
        PEM_write_X509(stdout, sk_X509_value(certs, i));
    }
    std::fflush(stdout);
}

int show_certs(const char* fn, CertLoader load, const char* load_fn, long mode, Logger log) {
    STACK_OF(X509)* raw = nullptr;
    const int rc = load(mode, &raw);
    ossl::X509Stack list(raw);
    if (!rc) {
        log("%s() : %s() failed", fn, load_fn);
        return rc;
    }
    print_certs(list.get());
    return rc;
}

namespace {

void free_tag(void*, void* tag, CRYPTO_EX_DATA*, int, long, void*) {
    OPENSSL_free(tag);
}

int tag_index() {
    static const int index = X509_get_ex_new_index(0, nullptr, nullptr, nullptr, free_tag);
    return index;
}

}  // namespace

bool set_cert_tag(X509* x, const std::string& tag) {
    char* copy = OPENSSL_strdup(tag.c_str());
    if (copy && X509_set_ex_data(x, tag_index(), copy)) return true;
    OPENSSL_free(copy);
    return false;
}

const char* cert_tag(const X509* x) {
    return x ? static_cast<const char*>(X509_get_ex_data(x, tag_index())) : nullptr;
}

void log_error(const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    static const std::string rule(61, '-');
    std::fprintf(stderr, "%s\nERROR\n%s\n%s\n", rule.c_str(), message, rule.c_str());
}

void log_trace(const char* format, ...) {
    if (!g_trace.load()) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

}  // namespace engine_keys

int pub_cmp_tvk(const EVP_PKEY* a, const EVP_PKEY* b) {
    const tvk_gost2012_key* ka = gost2012_record(a);
    const tvk_gost2012_key* kb = gost2012_record(b);
    return ka && kb && ka->pub_key_len == kb->pub_key_len &&
                   std::memcmp(ka->pub_key, kb->pub_key, ka->pub_key_len) == 0
               ? 1
               : 0;
}
