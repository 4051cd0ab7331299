// Kuznyechik and Magma in ECB, CBC, CTR, OFB and CFB mode as EVP_CIPHER method tables.
//
// Every table has block size 1, so the crypto library hands each update straight through and
// never pads: ECB and CBC updates must carry whole blocks, the stream modes any length. The IV
// (up to 32 bytes, more than the crypto library's own buffers hold) lives in the cipher data.
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_kuz_magma.h"
#include "engines/gost/gost_kuz_magma_family.h"

namespace {

using gostr3413::Kuznechik;
using gostr3413::Magma;
using kuzmagma::Family;
using objmap::Obj;

constexpr int kKeyLength = 32;
constexpr int kMaxIvLength = 32;
constexpr unsigned long kCommonFlags =
    EVP_CIPH_CUSTOM_IV | EVP_CIPH_ALWAYS_CALL_INIT | EVP_CIPH_NO_PADDING | EVP_CIPH_RAND_KEY;

enum class Mode : int {
    ecb = EVP_CIPH_ECB_MODE,
    cbc = EVP_CIPH_CBC_MODE,
    cfb = EVP_CIPH_CFB_MODE,
    ofb = EVP_CIPH_OFB_MODE,
    ctr = EVP_CIPH_CTR_MODE,
};

using ossl::CipherParams;
using Asn1String = ossl::Asn1String;

template <class C>
struct CipherData {
    uint8_t key[kKeyLength];
    int32_t key_set;
    int32_t nid;
    int32_t iv_length;  // set by the IV-length control; 0 means the method's IV length
    union {
        gostr3413::Ecb<C> ecb;
        gostr3413::Cbc<C> cbc;
        gostr3413::Ctr<C> ctr;
        gostr3413::Ofb<C> ofb;
        gostr3413::Cfb<C> cfb;
    } mode;
    uint8_t oiv[kMaxIvLength];  // as given to init or decoded from the algorithm parameters
    uint8_t iv[kMaxIvLength];   // what the mode was started from
};
static_assert(std::is_trivially_copyable_v<CipherData<Kuznechik>> &&
                  std::is_trivially_copyable_v<CipherData<Magma>>,
              "the crypto library copies cipher data byte for byte");

template <class C>
CipherData<C>* data_of(EVP_CIPHER_CTX* ctx) {
    return static_cast<CipherData<C>*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

void say(const char* line) {
    std::fputs(line, stderr);
}

int method_iv_length(const EVP_CIPHER_CTX* ctx) {
    return EVP_CIPHER_get_iv_length(EVP_CIPHER_CTX_get0_cipher(ctx));
}

template <class C>
int iv_length_in_force(const EVP_CIPHER_CTX* ctx, const CipherData<C>* d) {
    return d->iv_length != 0 ? d->iv_length : method_iv_length(ctx);
}

// Starts the mode from the stored key and working IV; the algorithm library's result code.
template <class C, Mode M>
int start_mode(CipherData<C>* d, int direction, int iv_length) {
    using F = Family<C>;
    const auto m = static_cast<size_t>(iv_length);
    if constexpr (M == Mode::ecb) return F::ecb_init(&d->mode.ecb, direction, d->key);
    if constexpr (M == Mode::cbc) return F::cbc_init(&d->mode.cbc, direction, d->key, d->iv, m);
    if constexpr (M == Mode::ctr)
        return F::ctr_init(&d->mode.ctr, direction, d->key, C::block, d->iv);
    if constexpr (M == Mode::ofb)
        return F::ofb_init(&d->mode.ofb, direction, d->key, C::block, d->iv, m);
    if constexpr (M == Mode::cfb)
        return F::cfb_init(&d->mode.cfb, direction, d->key, C::block, d->iv, m);
}

template <class C, Mode M>
const char* init_failed() {
    constexpr const kuzmagma::Texts& t = Family<C>::texts;
    if constexpr (M == Mode::ecb) return t.ecb_init_failed;
    if constexpr (M == Mode::cbc) return t.cbc_init_failed;
    if constexpr (M == Mode::ctr) return t.ctr_init_failed;
    if constexpr (M == Mode::ofb) return t.ofb_init_failed;
    if constexpr (M == Mode::cfb) return t.cfb_init_failed;
}

// A new IV without a key restarts the mode with the key already held: continuing the old
// stream under the new IV would encrypt with an IV the caller never gave.
template <class C, Mode M>
int cipher_init(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int) {
    return engines::guarded("tvk_cipher_init", 0, [&] {
        if (kuzmagma::settings_or_report() == nullptr) return 0;
        CipherData<C>* d = data_of<C>(ctx);
        if (d == nullptr) return 0;
        const int iv_length = iv_length_in_force(ctx, d);
        if constexpr (M != Mode::ecb) {
            if (iv != nullptr) std::memcpy(d->oiv, iv, static_cast<size_t>(iv_length));
            std::memcpy(d->iv, d->oiv, static_cast<size_t>(iv_length));
        }
        if (key != nullptr) {
            std::memcpy(d->key, key, sizeof d->key);
            d->key_set = 1;
        }
        if (d->key_set != 0) {
            const int direction =
                EVP_CIPHER_CTX_is_encrypting(ctx) ? GOSTR3413_ENCRYPT : GOSTR3413_DECRYPT;
            if (start_mode<C, M>(d, direction, iv_length) != GOSTR3413_OK) {
                say(init_failed<C, M>());
                // Whatever the context held before must not keep working under a failed init.
                OPENSSL_cleanse(d->key, sizeof d->key);
                OPENSSL_cleanse(&d->mode, sizeof d->mode);
                d->key_set = 0;
                return 0;
            }
        }
        d->nid = EVP_CIPHER_CTX_get_nid(ctx);
        return 1;
    });
}

template <class C>
int cipher_update(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t len) {
    return engines::guarded("tvk_cipher_update", 0, [&] {
        using F = Family<C>;
        constexpr const kuzmagma::Texts& t = F::texts;
        if (len == 0) return 1;
        // The crypto library counts every input byte as written: with nowhere to write them,
        // success would hand the caller output that does not exist.
        CipherData<C>* d = data_of<C>(ctx);
        if (d == nullptr || in == nullptr || out == nullptr) return 0;
        const int mode = EVP_CIPHER_CTX_get_mode(ctx);
        int rc = GOSTR3413_OK;
        const char* failed = nullptr;
        switch (mode) {
            case EVP_CIPH_ECB_MODE:
                rc = F::ecb_update(&d->mode.ecb, in, out, len);
                failed = t.ecb_update_failed;
                break;
            case EVP_CIPH_CBC_MODE:
                rc = F::cbc_update(&d->mode.cbc, in, out, len);
                failed = t.cbc_update_failed;
                break;
            case EVP_CIPH_CFB_MODE:
                rc = F::cfb_update(&d->mode.cfb, in, out, len);
                failed = t.cfb_update_failed;
                break;
            case EVP_CIPH_OFB_MODE:
                rc = F::ofb_update(&d->mode.ofb, in, out, len);
                failed = t.ofb_update_failed;
                break;
            case EVP_CIPH_CTR_MODE:
                rc = F::ctr_update(&d->mode.ctr, in, out, len);
                failed = t.ctr_update_failed;
                break;
            default:
                std::fprintf(stderr, t.update_invalid_mode, static_cast<unsigned>(mode));
                return 0;
        }
        if (rc != GOSTR3413_OK) {
            say(failed);
            return 0;
        }
        return 1;
    });
}

// Everything goes, the mode's round keys included, not only the key and the IV length.
template <class C>
int cipher_cleanup(EVP_CIPHER_CTX* ctx) {
    return engines::guarded("tvk_cipher_cleanup", 0, [&] {
        const int mode = EVP_CIPHER_CTX_get_mode(ctx);
        if (mode < EVP_CIPH_ECB_MODE || mode > EVP_CIPH_CTR_MODE) {
            std::fprintf(stderr, Family<C>::texts.cleanup_invalid_mode,
                         static_cast<unsigned>(mode));
            return 0;
        }
        if (CipherData<C>* d = data_of<C>(ctx)) OPENSSL_cleanse(d, sizeof *d);
        return 1;
    });
}

template <class C>
int cipher_ctrl(EVP_CIPHER_CTX* ctx, int type, int arg, void* ptr) {
    return engines::guarded("tvk_cipher_ctrl", 0, [&] {
        constexpr const kuzmagma::Texts& t = Family<C>::texts;
        const TVK2012_ENGINE_CTX* settings = kuzmagma::settings_or_report();
        if (settings == nullptr) return 0;
        switch (type) {
            case EVP_CTRL_RAND_KEY:
                if (ptr == nullptr) return 0;
                if (RAND_bytes(static_cast<unsigned char*>(ptr),
                               EVP_CIPHER_CTX_get_key_length(ctx)) <= 0) {
                    say(t.rand_failed);
                    return -1;
                }
                return 1;
            case EVP_CTRL_PBE_PRF_NID:
                if (ptr == nullptr) return 0;
                *static_cast<int*>(ptr) = settings->pbe_prf_nid;
                return 1;
            case kTvkCipherCtrlIvLength: {
                CipherData<C>* d = data_of<C>(ctx);
                if (arg < Family<C>::min_iv_length || arg > kMaxIvLength) {
                    std::fprintf(stderr, t.invalid_iv_length, arg);
                    return 0;
                }
                if (d == nullptr) return 0;
                d->iv_length = arg;
                return 1;
            }
            default:
                std::fprintf(stderr, t.unsupported_ctrl, type);
                return -1;
        }
    });
}

// The parameters carry the method's IV length only: a context running with another IV length
// cannot be described by them, and writing a cut IV would make the peer decrypt garbage.
// The parameter set named is the cipher family's identifier; these contexts have no other.
template <class C>
int set_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type) {
    return engines::guarded("set_asn1_parameters", 0, [&] {
        constexpr const kuzmagma::Texts& t = Family<C>::texts;
        const CipherData<C>* d = data_of<C>(ctx);
        if (d == nullptr || type == nullptr) return 0;
        const int length = method_iv_length(ctx);
        if (d->iv_length != 0 && d->iv_length != length) {
            say(t.set_params_invalid_iv);
            return 0;
        }
        CipherParams params(TVK_CIPHER_PARAMS_new());
        ossl::Asn1Object set(OBJ_dup(OBJ_nid2obj(objmap::nid(Family<C>::family))));
        if (params != nullptr)
            ossl::replace<ossl::Asn1Object>(params->enc_param_set, set.release());
        unsigned char* der = nullptr;
        int der_length = 0;
        if (params == nullptr || params->enc_param_set == nullptr ||
            !ASN1_OCTET_STRING_set(params->iv, d->oiv, length) ||
            (der_length = i2d_TVK_CIPHER_PARAMS(params.get(), &der)) <= 0) {
            say(t.set_params_no_memory);
            return 0;
        }
        const ossl::Bytes owned(der);
        Asn1String sequence(ASN1_STRING_new());
        if (sequence == nullptr || !ASN1_STRING_set(sequence.get(), der, der_length)) {
            say(t.set_params_no_memory);
            return 0;
        }
        ASN1_TYPE_set(type, V_ASN1_SEQUENCE, sequence.release());
        return 1;
    });
}

template <class C>
int get_asn1_parameters(EVP_CIPHER_CTX* ctx, ASN1_TYPE* type) {
    return engines::guarded("get_asn1_parameters", 0, [&] {
        CipherData<C>* d = data_of<C>(ctx);
        if (d == nullptr || type == nullptr || ASN1_TYPE_get(type) != V_ASN1_SEQUENCE) return 0;
        const ASN1_STRING* sequence = type->value.sequence;
        const unsigned char* p = ASN1_STRING_get0_data(sequence);
        CipherParams params(d2i_TVK_CIPHER_PARAMS(nullptr, &p, ASN1_STRING_length(sequence)));
        if (params == nullptr) return 0;
        const int length = method_iv_length(ctx);
        if (ASN1_STRING_length(params->iv) != length ||
            (d->iv_length != 0 && d->iv_length != length)) {
            say(Family<C>::texts.get_params_invalid_iv);
            return 0;
        }
        std::memcpy(d->oiv, ASN1_STRING_get0_data(params->iv), static_cast<size_t>(length));
        return 1;
    });
}

// One constant descriptor per cipher; make_cipher turns it into a method table.
struct CipherDescriptor {
    Obj type;
    Mode mode;
    int iv_length;
    int ctx_size;
    int (*init)(EVP_CIPHER_CTX*, const unsigned char*, const unsigned char*, int);
    int (*do_cipher)(EVP_CIPHER_CTX*, unsigned char*, const unsigned char*, size_t);
    int (*cleanup)(EVP_CIPHER_CTX*);
    int (*ctrl)(EVP_CIPHER_CTX*, int, int, void*);
    int (*set_asn1)(EVP_CIPHER_CTX*, ASN1_TYPE*);
    int (*get_asn1)(EVP_CIPHER_CTX*, ASN1_TYPE*);
};

template <class C, Mode M>
constexpr CipherDescriptor describe(Obj type, int iv_length) {
    return {type,
            M,
            iv_length,
            static_cast<int>(sizeof(CipherData<C>)),
            cipher_init<C, M>,
            cipher_update<C>,
            cipher_cleanup<C>,
            cipher_ctrl<C>,
            set_asn1_parameters<C>,
            get_asn1_parameters<C>};
}

constexpr CipherDescriptor kKuznechikEcb = describe<Kuznechik, Mode::ecb>(Obj::kuznechik_ecb, 0);
constexpr CipherDescriptor kKuznechikCbc = describe<Kuznechik, Mode::cbc>(Obj::kuznechik_cbc, 16);
constexpr CipherDescriptor kKuznechikCtr = describe<Kuznechik, Mode::ctr>(Obj::kuznechik_ctr, 8);
constexpr CipherDescriptor kKuznechikOfb = describe<Kuznechik, Mode::ofb>(Obj::kuznechik_ofb, 16);
constexpr CipherDescriptor kKuznechikCfb = describe<Kuznechik, Mode::cfb>(Obj::kuznechik_cfb, 16);
constexpr CipherDescriptor kMagmaEcb = describe<Magma, Mode::ecb>(Obj::magma_ecb, 0);
constexpr CipherDescriptor kMagmaCbc = describe<Magma, Mode::cbc>(Obj::magma_cbc, 8);
constexpr CipherDescriptor kMagmaCtr = describe<Magma, Mode::ctr>(Obj::magma_ctr, 4);
constexpr CipherDescriptor kMagmaOfb = describe<Magma, Mode::ofb>(Obj::magma_ofb, 8);
constexpr CipherDescriptor kMagmaCfb = describe<Magma, Mode::cfb>(Obj::magma_cfb, 8);

EVP_CIPHER* make_cipher(const CipherDescriptor& d) {
    ossl::CipherMeth owned(EVP_CIPHER_meth_new(objmap::nid(d.type), 1, kKeyLength));
    EVP_CIPHER* c = owned.get();
    if (c == nullptr) return nullptr;
    if (EVP_CIPHER_meth_set_iv_length(c, d.iv_length) &&
        EVP_CIPHER_meth_set_flags(c, static_cast<unsigned long>(d.mode) | kCommonFlags) &&
        EVP_CIPHER_meth_set_impl_ctx_size(c, d.ctx_size) && EVP_CIPHER_meth_set_init(c, d.init) &&
        EVP_CIPHER_meth_set_do_cipher(c, d.do_cipher) &&
        EVP_CIPHER_meth_set_cleanup(c, d.cleanup) && EVP_CIPHER_meth_set_ctrl(c, d.ctrl) &&
        EVP_CIPHER_meth_set_set_asn1_params(c, d.set_asn1) &&
        EVP_CIPHER_meth_set_get_asn1_params(c, d.get_asn1))
        return owned.release();
    return nullptr;
}

// Kept for the life of the process: the crypto library's name table points at them.
template <const CipherDescriptor& D>
const EVP_CIPHER* cipher_table() {
    static const EVP_CIPHER* const cipher = make_cipher(D);
    return cipher;
}

}  // namespace

const EVP_CIPHER* tvk_cipher_kuznechik_ecb() {
    return cipher_table<kKuznechikEcb>();
}
const EVP_CIPHER* tvk_cipher_kuznechik_cbc() {
    return cipher_table<kKuznechikCbc>();
}
const EVP_CIPHER* tvk_cipher_kuznechik_ctr() {
    return cipher_table<kKuznechikCtr>();
}
const EVP_CIPHER* tvk_cipher_kuznechik_ofb() {
    return cipher_table<kKuznechikOfb>();
}
const EVP_CIPHER* tvk_cipher_kuznechik_cfb() {
    return cipher_table<kKuznechikCfb>();
}
const EVP_CIPHER* tvk_cipher_magma_ecb() {
    return cipher_table<kMagmaEcb>();
}
const EVP_CIPHER* tvk_cipher_magma_cbc() {
    return cipher_table<kMagmaCbc>();
}
const EVP_CIPHER* tvk_cipher_magma_ctr() {
    return cipher_table<kMagmaCtr>();
}
const EVP_CIPHER* tvk_cipher_magma_ofb() {
    return cipher_table<kMagmaOfb>();
}
const EVP_CIPHER* tvk_cipher_magma_cfb() {
    return cipher_table<kMagmaCfb>();
}
