// GOST 28147-89 ciphers (gost89 with a selectable mode, gost89-cnt, gost89-cbc, gost89-ecb) and
// the GOST 28147-89 MAC ("gost-mac") as crypto-library method tables over the crypt interface.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>

#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_ciphers.h"
#include "engines/gost/gost_digests.h"
#include "engines/gost/gost_engine.h"
#include "gost/gost28147_params.h"

namespace {

using objmap::Obj;

constexpr int kIvLen = 8;
constexpr int kKeyLen = 32;
constexpr unsigned long kCipherFlags =
    EVP_CIPH_CUSTOM_IV | EVP_CIPH_ALWAYS_CALL_INIT | EVP_CIPH_NO_PADDING | EVP_CIPH_RAND_KEY;

void say(const char* line) {
    std::fputs(line, stderr);
}
void say_rc(const char* format, int rc) {
    std::fprintf(stderr, format, static_cast<unsigned>(rc));
}

tvk_cipher_ctx* data_of(EVP_CIPHER_CTX* ctx) {
    return static_cast<tvk_cipher_ctx*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}
tvk_cipher_ctx* data_of(EVP_MD_CTX* ctx) {
    return static_cast<tvk_cipher_ctx*>(EVP_MD_CTX_md_data(ctx));
}

// The context keeps the saved IV (oiv) in its own array; the crypto library only hands it out
// as const.
unsigned char* saved_iv(EVP_CIPHER_CTX* ctx) {
    return const_cast<unsigned char*>(EVP_CIPHER_CTX_original_iv(ctx));
}

// What differs between the four ciphers.
struct CipherKind {
    Obj type;
    unsigned long mode_bits;
    uint32_t fixed_mode;  // 0: gost89, whose mode lives in the data
    const char* init_failed;
    const char* rand_failed;
    const char* unsupported;
};

constexpr CipherKind kGost89{Obj::gost89,
                             EVP_CIPH_CFB_MODE,
                             0,
                             "tvk_cipher_init_modify failed\n",
                             "tvk_cipher_ctl: RAND_bytes failed\n",
                             "tvk_cipher_ctl: Unsupported command %d\n"};
constexpr CipherKind kGost89Cnt{Obj::gost89_cnt,
                                EVP_CIPH_OFB_MODE,
                                GOST28147_89_MODE_CNT,
                                "tvk_cipher_init_cnt_modify failed\n",
                                "tvk_cipher_ctl_cnt: RAND_bytes failed\n",
                                "tvk_cipher_ctl_cnt: Unsupported command %d\n"};
constexpr CipherKind kGost89Cbc{Obj::gost89_cbc,
                                EVP_CIPH_CBC_MODE,
                                GOST28147_89_MODE_CBC,
                                nullptr,
                                "tvk_cipher_ctl_cbc: RAND_bytes failed\n",
                                "tvk_cipher_ctl_cbc: Unsupported command %d\n"};
constexpr CipherKind kGost89Ecb{Obj::gost89_ecb,
                                EVP_CIPH_ECB_MODE,
                                GOST28147_89_MODE_ECB,
                                "tvk_cipher_init_ecb_modify failed\n",
                                "tvk_cipher_ctl_ecb: RAND_bytes failed\n",
                                "tvk_cipher_ctl_ecb: Unsupported command %d\n"};

uint32_t core_mode(const CipherKind& k, const tvk_cipher_ctx* d) {
    if (k.fixed_mode != 0) return k.fixed_mode;
    return d->mode == 0 ? GOST28147_89_MODE_CFB : static_cast<uint32_t>(d->mode);
}

// Setup worker shared by the four ciphers: saved and working IV, parameter row, core keying.
int setup(const CipherKind& k, EVP_CIPHER_CTX* ctx, const unsigned char* key,
          const unsigned char* iv, int enc) {
    tvk_cipher_ctx* d = data_of(ctx);
    TVK2012_ENGINE_CTX* settings = tvk_cipher_settings();
    if (d == nullptr || settings == nullptr) return 0;
    if (iv != nullptr) std::memmove(saved_iv(ctx), iv, kIvLen);
    std::memmove(EVP_CIPHER_CTX_iv_noconst(ctx), saved_iv(ctx), kIvLen);
    if (key == nullptr && d->key_set == 0) {
        // A key-less init returns the context to the engine's default parameter set.
        d->param_nid = settings->cipher_param_nid;
        return 1;
    }
    // A new IV without a key restarts the core under the key it holds: continuing the old
    // stream would encrypt under an IV the caller no longer gave.
    if (key == nullptr) key = d->key;
    bool used_default = false;
    const GOST28147_89_PARAMS* row = tvk_find_cipher_row(d->param_nid, settings, &used_default);
    if (row == nullptr) return 0;
    // The parameters written for the message must name the set that really encrypted it.
    if (used_default) d->param_nid = settings->cipher_param_nid;
    if (key != d->key) std::memcpy(d->key, key, kKeyLen);
    d->key_set = 1;
    const int rc = GOST28147_89_Init(&d->core, enc ? 1 : 0, row->tz, core_mode(k, d),
                                     row->key_meshing, EVP_CIPHER_CTX_iv(ctx), d->key);
    if (rc != 0) {
        say_rc("GOST28147_89_Init failed, rc = 0x%x\n", rc);
        return 0;
    }
    return 1;
}

template <const CipherKind& K>
int cipher_init(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int enc) {
    return engines::guarded("tvk_cipher_init", 0, [&] {
        tvk_cipher_ctx* d = data_of(ctx);
        if (tvk_cipher_settings() == nullptr || d == nullptr) return 0;
        if (K.fixed_mode != 0) d->mode = static_cast<int32_t>(K.fixed_mode);
        const int ok = setup(K, ctx, key, iv, enc);
        if (!ok && K.init_failed != nullptr) say(K.init_failed);
        return ok;
    });
}

// A control given before any key only records its value: the key's init starts the core.
int rerun(const CipherKind& k, EVP_CIPHER_CTX* ctx) {
    tvk_cipher_ctx* d = data_of(ctx);
    if (d->key_set == 0) return 1;
    return setup(k, ctx, d->key, EVP_CIPHER_CTX_iv(ctx), EVP_CIPHER_CTX_is_encrypting(ctx));
}

int do_cipher(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t length) {
    return engines::guarded("tvk_cipher_do_cipher", 0, [&] {
        if (length == 0) return 1;
        // The crypto library reports every input byte as written: with no output to write them
        // to, or a tail that the block modes would keep back, that would be untrue.
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr || in == nullptr || out == nullptr) return 0;
        const uint32_t mode = d->core.mode;
        if ((mode == GOST28147_89_MODE_ECB || mode == GOST28147_89_MODE_CBC) && length % 8 != 0) {
            std::fprintf(stderr, "tvk_cipher_do_cipher: %zu bytes are not whole blocks\n", length);
            return 0;
        }
        const int rc = engines::detail::update_in_pieces(
            in, length, engines::detail::kUpdatePiece & ~size_t{7},
            [&](const uint8_t* p, uint32_t n) {
                const GOST_BLOB src{n, const_cast<uint8_t*>(p)};
                GOST_BLOB dst{n, out + (p - in)};
                return GOST28147_89_Update(&d->core, &src, &dst);
            });
        if (rc != 0) {
            say_rc("GOST28147_89_Update failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    });
}

int cipher_cleanup(EVP_CIPHER_CTX* ctx) {
    if (tvk_cipher_ctx* d = data_of(ctx)) OPENSSL_cleanse(d, sizeof *d);
    return 1;
}

// Commands every cipher shares; -2 when the command is not one of them.
int common_ctrl(const CipherKind& k, EVP_CIPHER_CTX* ctx, int type, int arg, void* ptr) {
    switch (type) {
        case EVP_CTRL_RAND_KEY:
            if (ptr == nullptr || RAND_bytes(static_cast<unsigned char*>(ptr),
                                             EVP_CIPHER_CTX_get_key_length(ctx)) < 1) {
                say(k.rand_failed);
                return -1;
            }
            return 1;
        case EVP_CTRL_PBE_PRF_NID: {
            TVK2012_ENGINE_CTX* settings = tvk_cipher_settings();
            if (ptr == nullptr || settings == nullptr) return 0;
            *static_cast<int*>(ptr) = settings->pbe_prf_nid;
            return 1;
        }
        case TVK_CTRL_SET_PARAM_NID:
            data_of(ctx)->param_nid = arg;
            return rerun(k, ctx);
        default:
            return -2;
    }
}

template <const CipherKind& K>
int cipher_ctrl(EVP_CIPHER_CTX* ctx, int type, int arg, void* ptr) {
    return engines::guarded("tvk_cipher_ctl", 0, [&] {
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr) return 0;
        if (const int r = common_ctrl(K, ctx, type, arg, ptr); r != -2) return r;
        if constexpr (K.fixed_mode == 0) {
            if (type == TVK_CTRL_SET_MODE) {
                static constexpr int32_t kCore[] = {0, GOST28147_89_MODE_ECB, GOST28147_89_MODE_CBC,
                                                    GOST28147_89_MODE_CFB, GOST28147_89_MODE_CNT};
                if (arg < TVK_MODE_ECB || arg > TVK_MODE_CNT) {
                    std::fprintf(stderr, "tvk_cipher_ctl: Unsupported cipher mode %d\n", arg);
                    return 0;
                }
                d->mode = kCore[arg];
                return rerun(K, ctx);
            }
            if (type == TVK_CTRL_GET_MODE) {
                if (ptr == nullptr) return 0;
                const uint32_t m = core_mode(K, d);
                *static_cast<int*>(ptr) = m == GOST28147_89_MODE_ECB   ? TVK_MODE_ECB
                                          : m == GOST28147_89_MODE_CBC ? TVK_MODE_CBC
                                          : m == GOST28147_89_MODE_CNT ? TVK_MODE_CNT
                                                                       : TVK_MODE_CFB;
                return 1;
            }
        }
        std::fprintf(stderr, K.unsupported, type);
        return -1;
    });
}

EVP_CIPHER* make_cipher(const CipherKind& k,
                        int (*init)(EVP_CIPHER_CTX*, const unsigned char*, const unsigned char*,
                                    int),
                        int (*ctrl)(EVP_CIPHER_CTX*, int, int, void*)) {
    ossl::CipherMeth owned(EVP_CIPHER_meth_new(objmap::nid(k.type), 1, kKeyLen));
    EVP_CIPHER* c = owned.get();
    if (c == nullptr) return nullptr;
    if (EVP_CIPHER_meth_set_iv_length(c, kIvLen) &&
        EVP_CIPHER_meth_set_flags(c, kCipherFlags | k.mode_bits) &&
        EVP_CIPHER_meth_set_init(c, init) && EVP_CIPHER_meth_set_do_cipher(c, do_cipher) &&
        EVP_CIPHER_meth_set_cleanup(c, cipher_cleanup) &&
        EVP_CIPHER_meth_set_impl_ctx_size(c, sizeof(tvk_cipher_ctx)) &&
        EVP_CIPHER_meth_set_set_asn1_params(c, tvk_set_asn1_parameters) &&
        EVP_CIPHER_meth_set_get_asn1_params(c, gost89_get_asn1_parameters) &&
        EVP_CIPHER_meth_set_ctrl(c, ctrl))
        return owned.release();
    return nullptr;
}

template <const CipherKind& K>
const EVP_CIPHER* cipher_table() {
    static const EVP_CIPHER* const c = make_cipher(K, cipher_init<K>, cipher_ctrl<K>);
    return c;
}

// ---- the MAC ----

int imit_setup(EVP_MD_CTX* ctx) {
    tvk_cipher_ctx* d = data_of(ctx);
    TVK2012_ENGINE_CTX* settings = tvk_cipher_settings();
    if (d == nullptr || settings == nullptr) return 0;
    if (d->key_set == 0) {
        OPENSSL_cleanse(&d->core, sizeof d->core);
        return 1;
    }
    const GOST28147_89_PARAMS* row = tvk_find_cipher_row(d->param_nid, settings, nullptr);
    if (row == nullptr) return 0;
    const int rc = GOST28147_89_Init(&d->core, 1, row->tz, GOST28147_89_MODE_MAC, row->key_meshing,
                                     d->mac_iv_set ? d->mac_iv : nullptr, d->key);
    if (rc != 0) {
        say_rc("GOST28147_89_Init failed, rc = 0x%x\n", rc);
        return 0;
    }
    return 1;
}

int imit_init(EVP_MD_CTX* ctx) {
    return engines::guarded("tvk_imit_init", 0, [&] {
        const int ok = imit_setup(ctx);
        if (!ok) say("tvk_imit_init_modify failed\n");
        return ok;
    });
}

int imit_update(EVP_MD_CTX* ctx, const void* data, size_t count) {
    return engines::guarded("tvk_imit_update", 0, [&] {
        if (count == 0) return 1;
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr || data == nullptr) return 0;
        const int rc = engines::detail::update_in_pieces(
            static_cast<const uint8_t*>(data), count, engines::detail::kUpdatePiece,
            [&](const uint8_t* p, uint32_t n) {
                const GOST_BLOB src{n, const_cast<uint8_t*>(p)};
                return GOST28147_89_Update(&d->core, &src, nullptr);
            });
        if (rc != 0) {
            say_rc("GOST28147_89_Update failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    });
}

int imit_final(EVP_MD_CTX* ctx, unsigned char* md) {
    return engines::guarded("tvk_imit_final", 0, [&] {
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr || md == nullptr) return 0;
        const int rc = GOST28147_89_Final(&d->core);
        if (rc != 0) {
            say_rc("GOST28147_89_Final failed, rc = 0x%x\n", rc);
            return 0;
        }
        const uint32_t n1 = d->core.mac[0];
        for (int i = 0; i < 4; ++i) md[i] = static_cast<unsigned char>(n1 >> (8 * i));
        return 1;
    });
}

int imit_copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
    tvk_cipher_ctx* dst = data_of(to);
    const tvk_cipher_ctx* src = data_of(const_cast<EVP_MD_CTX*>(from));
    if (dst == nullptr || src == nullptr) return dst == src ? 1 : 0;
    if (dst != src) std::memcpy(dst, src, sizeof *dst);
    return 1;
}

int imit_cleanup(EVP_MD_CTX* ctx) {
    if (tvk_cipher_ctx* d = data_of(ctx)) OPENSSL_cleanse(d, sizeof *d);
    return 1;
}

int tvk_imit_ctrl(EVP_MD_CTX* ctx, int type, int arg, void* ptr) {
    return engines::guarded("tvk_imit_ctrl", 0, [&] {
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr) return 0;
        switch (type) {
            case TVK_CTRL_SET_PARAM_NID: {
                d->param_nid = arg;
                const int ok = imit_setup(ctx);
                if (!ok) say("tvk_imit_init_modify failed\n");
                return ok;
            }
            case TVK_CTRL_SET_MODE:  // the MAC's IV
                // The caller's length says how much is there: a shorter IV would be read past.
                if (ptr == nullptr || arg != static_cast<int>(sizeof d->mac_iv)) return 0;
                std::memcpy(d->mac_iv, ptr, sizeof d->mac_iv);
                d->mac_iv_set = 1;
                return imit_setup(ctx);
            case TVK_CTRL_GET_MODE:  // the key length
                if (ptr == nullptr) return 0;
                *static_cast<int*>(ptr) = kKeyLen;
                return 1;
            case TVK_CTRL_SET_KEY:
                if (arg != kKeyLen || ptr == nullptr) {
                    std::fprintf(stderr, "tvk_imit_ctrl: Invalid key length %d\n", arg);
                    return 0;
                }
                std::memcpy(d->key, ptr, kKeyLen);
                d->key_set = 1;
                return imit_setup(ctx);
            default:
                return 0;
        }
    });
}

EVP_MD* make_imit() {
    static constexpr GostDigestDescriptor kImit = {
        Obj::gost_mac, 4,          8,         sizeof(tvk_cipher_ctx), imit_init,
        imit_update,   imit_final, imit_copy, imit_cleanup,           tvk_imit_ctrl};
    return tvk_make_digest(kImit);
}

const GOST28147_89_PARAMS* find_by_der(const uint8_t* der, uint32_t len) {
    const GOST28147_89_PARAMS* row = nullptr;
    return GOST28147_89_FindParByDerOid(der, len, &row) == 0 ? row : nullptr;
}

}  // namespace

TVK2012_ENGINE_CTX* tvk_cipher_settings() {
    if (TVK2012_ENGINE_CTX* s = tvk_gost_loaded_settings()) return s;
    // An engine loaded by another way (a dynamic engine) is found as the one serving gost89.
    if (ENGINE* e = ENGINE_get_cipher_engine(objmap::nid(Obj::gost89))) {
        auto* s = static_cast<TVK2012_ENGINE_CTX*>(ENGINE_get_ex_data(e, 0));
        ENGINE_finish(e);
        if (s != nullptr) return s;
    }
    say("ENGINE_get_ex_data failed\n");
    return nullptr;
}

const GOST28147_89_PARAMS* tvk_find_cipher_row(int param_nid, const TVK2012_ENGINE_CTX* settings,
                                               bool* used_default) {
    if (used_default != nullptr) *used_default = false;
    const ASN1_OBJECT* obj = param_nid != NID_undef ? OBJ_nid2obj(param_nid) : nullptr;
    if (obj == nullptr && ERR_GET_REASON(ERR_peek_error()) == OBJ_R_UNKNOWN_NID) ERR_get_error();
    if (obj != nullptr) {
        const int len = OBJ_length(obj);
        uint8_t der[2 + 127];
        if (len > 0 && len <= 127) {
            der[0] = 0x06;
            der[1] = static_cast<uint8_t>(len);
            std::memcpy(der + 2, OBJ_get0_data(obj), static_cast<size_t>(len));
            if (const GOST28147_89_PARAMS* row = find_by_der(der, static_cast<uint32_t>(len + 2)))
                return row;
        }
    }
    // Not a GOST 28147-89 set: the engine's default serves instead.
    if (used_default != nullptr) *used_default = true;
    const GOST28147_89_PARAMS* row =
        find_by_der(settings->cipher_param_oid, settings->cipher_param_oid[1] + 2u);
    if (row == nullptr) say_rc("GOST28147_89_FindParByDerOid failed, rc = 0x%x\n", -1);
    return row;
}

int tvk_set_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type) {
    return engines::guarded("tvk_set_asn1_parameters", 0, [&] {
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr || type == nullptr) return 0;
        ossl::CipherParams p(TVK_CIPHER_PARAMS_new());
        if (!p) {
            say("gost89_set_asn1_parameters: No memory\n");
            return 0;
        }
        const int iv_len = EVP_CIPHER_CTX_get_iv_length(ctx);
        ossl::replace<ossl::Asn1Object>(p->enc_param_set, OBJ_nid2obj(d->param_nid));
        if (!ASN1_OCTET_STRING_set(p->iv, EVP_CIPHER_CTX_iv(ctx), iv_len) ||
            p->enc_param_set == nullptr) {
            say("gost89_set_asn1_parameters: No memory\n");
            return 0;
        }
        unsigned char* der_raw = nullptr;
        const int der_len = i2d_TVK_CIPHER_PARAMS(p.get(), &der_raw);
        ossl::Bytes der(der_raw);
        if (der_len <= 0) {
            say("tvk_set_asn1_parameters: No memory\n");
            return 0;
        }
        ossl::Asn1String seq(ASN1_STRING_new());
        if (!seq || !ASN1_STRING_set(seq.get(), der.get(), der_len)) {
            say("gost89_set_asn1_parameters: No memory\n");
            return 0;
        }
        ASN1_TYPE_set(type, V_ASN1_SEQUENCE, seq.release());
        return 1;
    });
}

int gost89_get_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type) {
    return engines::guarded("gost89_get_asn1_parameters", 0, [&] {
        if (tvk_cipher_settings() == nullptr) return 0;
        tvk_cipher_ctx* d = data_of(ctx);
        if (d == nullptr || type == nullptr || ASN1_TYPE_get(type) != V_ASN1_SEQUENCE) return 0;
        const ASN1_STRING* seq = type->value.sequence;
        const unsigned char* p = ASN1_STRING_get0_data(seq);
        ossl::CipherParams params(d2i_TVK_CIPHER_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
        if (!params) return 0;
        const int iv_len = EVP_CIPHER_CTX_get_iv_length(ctx);
        if (ASN1_STRING_length(params->iv) != iv_len) {
            say("gost89_get_asn1_parameters: Invalid IV length\n");
            return 0;
        }
        d->param_nid = OBJ_obj2nid(params->enc_param_set);
        std::memcpy(saved_iv(ctx), ASN1_STRING_get0_data(params->iv), static_cast<size_t>(iv_len));
        return 1;
    });
}

const EVP_CIPHER* tvk_cipher_gost89() {
    return cipher_table<kGost89>();
}
const EVP_CIPHER* tvk_cipher_gost89_cnt() {
    return cipher_table<kGost89Cnt>();
}
const EVP_CIPHER* tvk_cipher_gost89_cbc() {
    return cipher_table<kGost89Cbc>();
}
const EVP_CIPHER* tvk_cipher_gost89_ecb() {
    return cipher_table<kGost89Ecb>();
}

const EVP_MD* tvk_imit_gost89() {
    static const EVP_MD* const md = make_imit();
    return md;
}
