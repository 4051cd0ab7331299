// Key methods over a tvk_gost2012_key record alone, shared by the "gost" engine and the token
// engines.
#include "engines/common/gost_record_methods.h"

#include <openssl/objects.h>

#include <algorithm>
#include <string>

#include "cryptoext/objects.h"
#include "engines/common/guard.h"

namespace {

using objmap::Obj;

bool is_512(int key_type) {
    return key_type == objmap::nid(Obj::gost2012_512);
}

int sign_digest_nid(int key_type) {
    if (is_512(key_type)) return objmap::nid(Obj::md_gost12_512);
    if (key_type == objmap::nid(Obj::gost2012_256)) return objmap::nid(Obj::md_gost12_256);
    return objmap::nid(Obj::md_gost94);
}

// ---- printing ----

const char* long_name(int nid) {
    const char* ln = nid == NID_undef ? nullptr : OBJ_nid2ln(nid);
    return ln ? ln : "<undefined>";
}

int print_bytes(BIO* out, const char* heading, const uint8_t* p, size_t n, int indent) {
    indent = std::clamp(indent, 0, 128);
    if (!BIO_indent(out, indent, 128) || BIO_puts(out, heading) <= 0) return 0;
    if (n == 0) return BIO_puts(out, "<undefined>\n") > 0;
    return engines::guarded("print_bytes", 0, [&] {
        std::string text;
        text.reserve(4 * n + (n / 16 + 1) * static_cast<size_t>(indent + 5));
        gost_hexdump(p, n, &text, indent + 4);
        const int ok = BIO_printf(out, "\n%s\n", text.c_str()) > 0;
        // Private keys are printed through here too: leave no copy behind.
        OPENSSL_cleanse(text.data(), text.size());
        return ok ? 1 : 0;
    });
}

}  // namespace

int gost2012_key_type_of(int alg_nid) {
    if (alg_nid == NID_undef) return NID_undef;
    if (alg_nid == objmap::nid(Obj::id_GostR3410_2001DH)) return objmap::nid(Obj::gost2001);
    if (alg_nid == objmap::nid(Obj::agreement_gost_3410_2012_256))
        return objmap::nid(Obj::gost2012_256);
    if (alg_nid == objmap::nid(Obj::agreement_gost_3410_2012_512))
        return objmap::nid(Obj::gost2012_512);
    return alg_nid;
}

tvk_gost2012_key* gost2012_record(const EVP_PKEY* pkey) {
    return pkey ? static_cast<tvk_gost2012_key*>(EVP_PKEY_get0(pkey)) : nullptr;
}

int gost2012_set_sign_algs(EVP_PKEY* pkey, X509_ALGOR* dig, X509_ALGOR* sig) {
    const int type = EVP_PKEY_get_base_id(pkey);
    if (type == NID_undef) return -1;
    if (dig) X509_ALGOR_set0(dig, OBJ_nid2obj(sign_digest_nid(type)), V_ASN1_NULL, nullptr);
    if (sig) X509_ALGOR_set0(sig, OBJ_nid2obj(type), V_ASN1_NULL, nullptr);
    return 1;
}

int param_cmp_tvk(const EVP_PKEY* a, const EVP_PKEY* b) {
    const tvk_gost2012_key* ka = gost2012_record(a);
    const tvk_gost2012_key* kb = gost2012_record(b);
    return ka && kb && ka->param_nid == kb->param_nid ? 1 : 0;
}

int pkey_size_gost2012(const EVP_PKEY* pkey) {
    const int type = EVP_PKEY_get_base_id(pkey);
    if (type == NID_undef) return -1;
    return is_512(gost2012_key_type_of(type)) ? 128 : 64;
}

int pkey_bits_gost2012(const EVP_PKEY* pkey) {
    const int type = EVP_PKEY_get_base_id(pkey);
    if (type == NID_undef) return -1;
    return is_512(gost2012_key_type_of(type)) ? 1024 : 512;
}

int pkey_security_bits_gost2012(const EVP_PKEY* pkey) {
    const int type = EVP_PKEY_get_base_id(pkey);
    if (type == NID_undef) return -1;
    return is_512(gost2012_key_type_of(type)) ? 256 : 128;
}

int param_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX*) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    const int type = EVP_PKEY_get_base_id(pkey);
    const int param = k ? k->param_nid : NID_undef;
    const int digest =
        type == NID_undef ? NID_undef : gost2012_digest_param_nid(gost2012_key_type_of(type));
    if (!BIO_indent(out, indent, 128) || BIO_puts(out, "Key algorithm: \n") <= 0 ||
        BIO_printf(out, "    %s\n", long_name(type)) <= 0)
        return 0;
    if (!BIO_indent(out, indent, 128) || BIO_puts(out, "Parameters: \n") <= 0 ||
        BIO_printf(out, "%4ssign_params: %s", "", long_name(param)) <= 0 ||
        BIO_puts(out, "\n") <= 0 ||
        BIO_printf(out, "%4shash_params: %s", "", long_name(digest)) <= 0 ||
        BIO_puts(out, "\n") <= 0)
        return 0;
    return 1;
}

int pub_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    if (!param_print_gost2012(out, pkey, indent, pctx)) return 0;
    const size_t n = k && !all_zero(k->pub_key, sizeof k->pub_key) ? k->pub_key_len : 0;
    return print_bytes(out, "Public key: ", k ? k->pub_key : nullptr, n, indent);
}

int priv_print_gost2012(BIO* out, const EVP_PKEY* pkey, int indent, ASN1_PCTX* pctx) {
    const tvk_gost2012_key* k = gost2012_record(pkey);
    if (!param_print_gost2012(out, pkey, indent, pctx)) return 0;
    const size_t priv_n = k && k->has_private_key ? k->priv_key_len : 0;
    const size_t pub_n = k && !all_zero(k->pub_key, sizeof k->pub_key) ? k->pub_key_len : 0;
    return print_bytes(out, "Private key: ", k ? k->priv_key : nullptr, priv_n, indent) &&
           print_bytes(out, "Public key: ", k ? k->pub_key : nullptr, pub_n, indent);
}

// ---- key operations ----

int pkey_tvk_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs, size_t tbslen) {
    return engines::guarded("pkey_tvk_verify", 0, [&] {
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        const auto* k = pkey ? static_cast<const tvk_gost2012_key*>(EVP_PKEY_get0(pkey)) : nullptr;
        if (!k || !sig) return 0;
        // A signature is exactly as long as the public key: anything else would be read past.
        if (siglen != k->pub_key_len) return 0;
        return tvk_gost2012_do_verify(tbs, tbslen, sig, k);
    });
}

int tvk_pmeth_common_ctrl(tvk_pmeth_data* data, int type, int p1, void* p2) {
    switch (type) {
        case EVP_PKEY_CTRL_MD: {
            const auto* md = static_cast<const EVP_MD*>(p2);
            if (!md || !objmap::is_one_of(EVP_MD_get_type(md),
                                          {Obj::md_gost94, Obj::md_gost12_256, Obj::md_gost12_512}))
                return 0;
            data->md = md;
            return 1;
        }
        case EVP_PKEY_CTRL_PEER_KEY:
            if (p1 == 0 || p1 == 1) return 1;
            if (p1 == 2) return static_cast<int>(data->peer_key_used);
            if (p1 == 3) {
                data->peer_key_used = 1;
                return 1;
            }
            return -2;
        case EVP_PKEY_CTRL_PKCS7_ENCRYPT:
        case EVP_PKEY_CTRL_PKCS7_DECRYPT:
        case EVP_PKEY_CTRL_PKCS7_SIGN:
        case EVP_PKEY_CTRL_DIGESTINIT:
        case EVP_PKEY_CTRL_CMS_ENCRYPT:
        case EVP_PKEY_CTRL_CMS_DECRYPT:
        case EVP_PKEY_CTRL_CMS_SIGN:
            return 1;
        case EVP_PKEY_CTRL_SET_IV: {
            if (p1 <= 0 || p1 > GOST_MAX_UKM_LEN || !p2) return 0;
            auto* copy = static_cast<uint8_t*>(OPENSSL_memdup(p2, static_cast<size_t>(p1)));
            if (!copy) return 0;
            OPENSSL_clear_free(data->ukm, data->ukm_len);
            data->ukm = copy;
            data->ukm_len = static_cast<uint32_t>(p1);
            return 1;
        }
        default:
            return -2;
    }
}

void pkey_mscryptoapi_cleanup(EVP_PKEY_CTX* ctx) {
    tvk_pmeth_data* data = pmeth_data(ctx);
    if (!data) return;
    OPENSSL_clear_free(data->ukm, data->ukm_len);
    OPENSSL_free(data);
    EVP_PKEY_CTX_set_data(ctx, nullptr);
}
