// The "mscryptoapi" engine object: binding, commands, the current store, key loading and the
// certificate listing.
#include "engines/mscryptoapi/capi_engine.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_engine.h"

using namespace capi;

namespace {

using objmap::Obj;

constexpr const char* kEngineId = "mscryptoapi";
constexpr const char* kEngineName = "Microsoft CryptoAPI engine support";
constexpr size_t kThumbprintLen = 20;
constexpr size_t kCertIdPrefix = 7;  // "CertID:"
constexpr size_t kPropertyRoom = 1024;

const ENGINE_CMD_DEFN kCommands[] = {
    {kCapiCmdSetCurrentStore, "SET_CURRENT_STORE", "Set current store", ENGINE_CMD_FLAG_STRING},
    {kCapiCmdLoadCerts, "LOAD_CERTS", "Load certificates", ENGINE_CMD_FLAG_NUMERIC},
    {kCapiCmdShowCerts, "SHOW_CERTS", "Show certificates", ENGINE_CMD_FLAG_NUMERIC},
    {0, nullptr, nullptr, 0},
};

// Providers whose containers are opened in the AES provider instead.
const std::u16string kRsaProviders[] = {
    u"Microsoft Base Cryptographic Provider v1.0",
    u"Microsoft Enhanced Cryptographic Provider v1.0",
    u"Microsoft Strong Cryptographic Provider",
    u"Microsoft RSA SChannel Cryptographic Provider",
};
constexpr char16_t kAesProvider[] = u"Microsoft Enhanced RSA and AES Cryptographic Provider";

std::atomic<ENGINE*> g_engine{nullptr};

// The current store name: process-wide, so guarded.
std::mutex g_store_lock;
std::optional<std::string> g_store;

std::optional<std::string> current_store() {
    std::lock_guard lock(g_store_lock);
    return g_store;
}

int mscryptoapi_pkey_meths(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid) {
    return engine_keys::select_pkey_meth(e, pmeth, nids, nid);
}

int mscryptoapi_pkey_asn1_meths(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids,
                                int nid) {
    return engine_keys::select_asn1_meth(e, ameth, nids, nid);
}

int mscryptoapi_init(ENGINE*) {
    (void)mscryptoapi_rsa_method();
    std::lock_guard lock(g_store_lock);
    g_store.reset();
    return 1;
}

// The crypto library frees the method objects with the engine; this frees what is ours.
int mscryptoapi_destroy(ENGINE* e) {
    engine_keys::free_engine_data(e);
    ENGINE* self = e;
    g_engine.compare_exchange_strong(self, nullptr);
    return 1;
}

int set_current_store(const char* name) {
    if (!name) return 0;
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, name);
    if (!store) return 0;
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    std::lock_guard lock(g_store_lock);
    g_store = name;
    return 1;
}

int mscryptoapi_perform_cmd(ENGINE*, int cmd, long i, void* p, void (*)(void)) {
    return engines::guarded("mscryptoapi_perform_cmd", 0, [&] {
        if (cmd < ENGINE_CMD_BASE || cmd > ENGINE_CMD_BASE + 3) return -1;
        switch (cmd - ENGINE_CMD_BASE) {
            case 0:
                return set_current_store(static_cast<const char*>(p));
            case 1:
                return mscryptoapi_load_certs(i, static_cast<STACK_OF(X509)**>(p));
            case 2:
                return mscryptoapi_show_certs(i);
            default:
                mscryptoapi_log_error("%s() : wrong parameter number: %d",
                                      "mscryptoapi_perform_cmd", cmd - ENGINE_CMD_BASE);
                return 0;
        }
    });
}

constexpr engine_keys::MethodRow kKeyTypes[] = {
    {Obj::gost2001, "GOST3410-2001-MSCRYPTOAPI", "GOST R 34.10-2001 MSCRYPTOAPI"},
    {Obj::gost2012_256, "GOST3410-2012-256-MSCRYPTOAPI", "GOST R 34.10-2012-256 MSCRYPTOAPI"},
    {Obj::gost2012_512, "GOST3410-2012-512-MSCRYPTOAPI", "GOST R 34.10-2012-512 MSCRYPTOAPI"},
};

// "CertID:" and 20 hexadecimal pairs, each but the last followed by one separator character of
// any kind (a trailing one is allowed). Anything else is refused rather than half read.
bool parse_cert_id(const char* text, uint8_t* thumb) {
    const size_t n = std::strlen(text);
    if (n != kCertIdPrefix + 3 * kThumbprintLen - 1 && n != kCertIdPrefix + 3 * kThumbprintLen)
        return false;
    for (size_t i = 0; i < kThumbprintLen; ++i) {
        const char* p = text + kCertIdPrefix + 3 * i;
        if (!std::isxdigit(static_cast<unsigned char>(p[0])) ||
            !std::isxdigit(static_cast<unsigned char>(p[1])))
            return false;
        if (i + 1 < kThumbprintLen && p[2] == '\0') return false;
        const char pair[3] = {p[0], p[1], '\0'};
        thumb[i] = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16));
    }
    return true;
}

X509* decode_context(PCCERT_CONTEXT cert) {
    const unsigned char* p = cert->pbCertEncoded;
    return d2i_X509(nullptr, &p, static_cast<long>(cert->cbCertEncoded));
}

bool is_rsa_provider(const char16_t* name) {
    for (const auto& p : kRsaProviders)
        if (p == name) return true;
    return false;
}

// Reads the certificate's key-container property into a buffer of its own; empty when absent.
std::vector<unsigned char> prov_info(const char* fn, PCCERT_CONTEXT cert) {
    DWORD len = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len)) {
        mscryptoapi_log_error(
            "%s() : CertGetCertificateContextProperty( CERT_KEY_PROV_INFO_PROP_ID ) 1 failed, "
            "GetLastError() = 0x%08lX",
            fn, static_cast<unsigned long>(GetLastError()));
        return {};
    }
    std::vector<unsigned char> buf(len);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &len)) {
        mscryptoapi_log_error(
            "%s() : CertGetCertificateContextProperty( CERT_KEY_PROV_INFO_PROP_ID ) 2 failed, "
            "GetLastError() = 0x%08lX",
            fn, static_cast<unsigned long>(GetLastError()));
        return {};
    }
    return buf;
}

// Opens the certificate's key container, with the PIN when one is given. 0 on failure.
HCRYPTPROV open_container(const char* fn, PCCERT_CONTEXT cert, const CRYPT_KEY_PROV_INFO& info,
                          const char* pin, DWORD* spec) {
    HCRYPTPROV prov = 0;
    BOOL ok;
    if (is_rsa_provider(info.pwszProvName)) {
        if (!CryptAcquireContextW(&prov, info.pwszContainerName, kAesProvider, PROV_RSA_AES,
                                  pin ? CRYPT_SILENT : 0)) {
            mscryptoapi_log_error("%s() : CryptAcquireContextW() failed, GetLastError() = 0x%08lX",
                                  fn, static_cast<unsigned long>(GetLastError()));
            return 0;
        }
        *spec = info.dwKeySpec;
        ok = 1;
    } else {
        ok = CryptAcquireCertificatePrivateKey(cert, pin ? CRYPT_ACQUIRE_SILENT_FLAG : 0, nullptr,
                                               &prov, spec, nullptr);
    }
    if (ok && pin)
        ok = CryptSetProvParam(prov, *spec == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN,
                               reinterpret_cast<const BYTE*>(pin), 0);
    if (!ok) {
        mscryptoapi_log_error(
            "%s() : CryptAcquireCertificatePrivateKey() failed, GetLastError() = 0x%08lX", fn,
            static_cast<unsigned long>(GetLastError()));
        if (prov) CryptReleaseContext(prov, 0);
        return 0;
    }
    return prov;
}

EVP_PKEY* make_gost_key(ENGINE* e, X509* x509, int type, mscryptoapi_key* rec) {
    static const char fn[] = "MakeCSPPrivateKey";
    ASN1_OBJECT* obj = nullptr;
    const unsigned char* bits = nullptr;
    int bits_len = 0;
    X509_ALGOR* alg = nullptr;
    X509_PUBKEY_get0_param(&obj, &bits, &bits_len, &alg, X509_get_X509_PUBKEY(x509));
    const void* pval = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
    ossl::Owner<TVK_GOST2012_KEY_PARAMS, TVK_GOST2012_KEY_PARAMS_free> params;
    if (ptype == V_ASN1_SEQUENCE && pval) {
        const auto* seq = static_cast<const ASN1_STRING*>(pval);
        const unsigned char* p = ASN1_STRING_get0_data(seq);
        params.reset(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
    }
    const unsigned char* p = bits;
    ossl::OctetString os(d2i_ASN1_OCTET_STRING(nullptr, &p, bits_len));
    // Only 64 or 128 bytes, as the parameter set says, fit the record.
    if (!params || !os || !fill_GOST2012_params(&rec->pub, type, OBJ_obj2nid(params->key_params)) ||
        static_cast<uint32_t>(ASN1_STRING_length(os.get())) != rec->pub.pub_key_len) {
        mscryptoapi_log_error("%s() : unusable GOST public key in the certificate", fn);
        return nullptr;
    }
    std::memcpy(rec->pub.pub_key, ASN1_STRING_get0_data(os.get()), rec->pub.pub_key_len);
    ossl::PKey pkey(EVP_PKEY_new());
    if (!pkey || !engine_keys::bind_key(e, pkey.get(), type, rec)) {
        mscryptoapi_log_error("%s() : the key could not be bound to the engine", fn);
        return nullptr;
    }
    return pkey.release();
}

}  // namespace

ENGINE* mscryptoapi_engine() {
    return g_engine.load();
}

int bind_mscryptoapi(ENGINE* e) {
    return engines::guarded("bind_mscryptoapi", 0, [&] {
        if (!engine_keys::create_settings(e, "bind_mscryptoapi")) return 0;
        if (!ENGINE_set_id(e, kEngineId) || !ENGINE_set_name(e, kEngineName) ||
            !ENGINE_set_init_function(e, mscryptoapi_init) ||
            !ENGINE_set_destroy_function(e, mscryptoapi_destroy) ||
            !ENGINE_set_ctrl_function(e, mscryptoapi_perform_cmd) ||
            !ENGINE_set_cmd_defns(e, kCommands) ||
            !ENGINE_set_load_privkey_function(e, mscryptoapi_load_privkey) ||
            !ENGINE_set_pkey_asn1_meths(e, mscryptoapi_pkey_asn1_meths) ||
            !ENGINE_set_pkey_meths(e, mscryptoapi_pkey_meths))
            return 0;
        // A key type whose methods could not be made is left out; binding succeeds all the same.
        (void)engine_keys::create_key_methods(e, kKeyTypes, register_ameth_mscryptoapi,
                                              register_pmeth_mscryptoapi);
        return 1;
    });
}

void tvk_ENGINE_load_mscryptoapi() {
    ossl::Engine e(ENGINE_new());
    if (!e || !bind_mscryptoapi(e.get())) return;
    // Nothing selects this engine by default: its keys carry it.
    ENGINE_set_flags(e.get(), ENGINE_get_flags(e.get()) | ENGINE_FLAGS_NO_REGISTER_ALL);
    if (!ENGINE_add(e.get())) {
        std::fputs("ENGINE_add failed\n", stderr);
        ERR_clear_error();
        return;
    }
    g_engine = e.get();
    ERR_clear_error();
}

EVP_PKEY* mscryptoapi_load_privkey(ENGINE* e, const char* key_id, UI_METHOD*, void* callback_data) {
    return engines::guarded(
        "mscryptoapi_load_privkey", static_cast<EVP_PKEY*>(nullptr), [&]() -> EVP_PKEY* {
            static const char fn[] = "mscryptoapi_load_privkey";
            if (!key_id) return nullptr;
            uint8_t thumb[kThumbprintLen] = {};
            ossl::X509Ptr file_cert;
            std::vector<unsigned char> file_der;
            const bool by_id = std::strncmp(key_id, "CertID:", kCertIdPrefix) == 0;
            if (by_id) {
                if (!parse_cert_id(key_id, thumb)) {
                    mscryptoapi_log_error("%s() : '%s' is not 'CertID:' and 20 hexadecimal pairs",
                                          fn, key_id);
                    return nullptr;
                }
            } else {
                ossl::Bio bio(BIO_new_file(key_id, "rb"));
                if (!bio) {
                    mscryptoapi_log_error("%s() : BIO_new_file( '%s' ) failed", fn, key_id);
                    return nullptr;
                }
                file_cert.reset(PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr));
                if (!file_cert) {
                    mscryptoapi_log_error("%s() : d2i_X509_bio( '%s' ) failed", fn, key_id);
                    return nullptr;
                }
                unsigned char* der = nullptr;
                const int n = i2d_X509(file_cert.get(), &der);
                ossl::Bytes owner(der);
                if (n <= 0) {
                    mscryptoapi_log_error("%s() : i2d_X509() failed", fn);
                    return nullptr;
                }
                file_der.assign(der, der + n);
            }
            HCERTSTORE store = CertOpenSystemStoreA(0, "My");
            if (!store) {
                mscryptoapi_log_error(
                    "%s() : CertOpenSystemStoreA( 'My' ) failed, GetLastError() = 0x%08lX", fn,
                    static_cast<unsigned long>(GetLastError()));
                return nullptr;
            }
            PCCERT_CONTEXT cert = nullptr;
            ossl::X509Ptr x509;
            if (by_id) {
                CRYPT_HASH_BLOB blob{kThumbprintLen, thumb};
                cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                                  &blob, nullptr);
                if (cert) {
                    x509.reset(decode_context(cert));
                    if (!x509) mscryptoapi_log_error("%s() : d2i_X509() failed", fn);
                }
            } else {
                while ((cert = CertFindCertificateInStore(
                            store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_ANY,
                            nullptr, cert)) != nullptr)
                    if (cert->cbCertEncoded == file_der.size() &&
                        std::memcmp(cert->pbCertEncoded, file_der.data(), file_der.size()) == 0)
                        break;
                x509 = std::move(file_cert);
            }
            if (!cert) mscryptoapi_log_error("%s() : certificate not found", fn);
            EVP_PKEY* pkey = nullptr;
            HCRYPTPROV prov = 0;
            if (cert && x509) {
                std::vector<unsigned char> buf = prov_info(fn, cert);
                const auto* cb = static_cast<const char* const*>(callback_data);
                const char* pin = cb && *cb ? *cb : nullptr;
                DWORD spec = 0;
                if (!buf.empty() &&
                    (prov = open_container(fn, cert,
                                           *reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data()), pin,
                                           &spec)))
                    pkey = MakeCSPPrivateKey(e, x509.get(), cert, prov, spec);
            }
            // On success the key owns the context and the provider; otherwise they go here.
            if (!pkey) {
                if (prov) CryptReleaseContext(prov, 0);
                if (cert) CertFreeCertificateContext(cert);
            }
            CertCloseStore(store, 0);
            return pkey;
        });
}

EVP_PKEY* MakeCSPPrivateKey(ENGINE* e, X509* x509, PCCERT_CONTEXT cert, HCRYPTPROV prov,
                            DWORD key_spec) {
    static const char fn[] = "MakeCSPPrivateKey";
    if (!x509) {
        mscryptoapi_log_error("%s() 1 : cert is NULL", fn);
        return nullptr;
    }
    auto* rec = static_cast<mscryptoapi_key*>(OPENSSL_zalloc(sizeof(mscryptoapi_key)));
    if (!rec) return nullptr;
    rec->cert = cert;
    rec->prov = prov;
    rec->key_spec = key_spec;
    rec->release = 1;
    ASN1_OBJECT* obj = nullptr;
    X509_PUBKEY_get0_param(&obj, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(x509));
    const int type = OBJ_obj2nid(obj);
    EVP_PKEY* out = nullptr;
    if (type == objmap::nid(Obj::rsaEncryption)) {
        ossl::PKey pub(X509_get_pubkey(x509));
        ossl::Rsa rsa(pub ? EVP_PKEY_get1_RSA(pub.get()) : nullptr);
        ossl::PKey key(EVP_PKEY_new());
        if (rsa && key && RSA_set_method(rsa.get(), mscryptoapi_rsa_method()) &&
            RSA_set_ex_data(rsa.get(), 0, rec) && EVP_PKEY_assign_RSA(key.get(), rsa.get())) {
            rsa.release();  // the key owns it now
            return key.release();
        }
        // The RSA object frees the record with it; the handles stay the caller's.
        if (rsa && capi_rsa_record(rsa.get())) std::exchange(rec, nullptr)->release = 0;
    } else if (type == objmap::nid(Obj::DSA)) {
        ossl::PKey pub(X509_get_pubkey(x509));
        ossl::Dsa dsa(pub ? EVP_PKEY_get1_DSA(pub.get()) : nullptr);
        ossl::PKey key(EVP_PKEY_new());
        if (dsa && key && DSA_set_method(dsa.get(), mscryptoapi_dsa_method()) &&
            DSA_set_ex_data(dsa.get(), 0, rec) && mscryptoapi_set_dsa_ameth(key.get(), dsa.get())) {
            dsa.release();  // the key owns it now
            return key.release();
        }
        if (dsa && capi_dsa_record(dsa.get())) std::exchange(rec, nullptr)->release = 0;
    } else if (objmap::is_one_of(type, {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512})) {
        out = make_gost_key(e, x509, type, rec);
        if (out) return out;
    } else {
        mscryptoapi_log_error("%s() : unsupported key type: %d", fn, type);
    }
    // A failed key leaves the handles to the caller.
    if (rec) {
        rec->release = 0;
        OPENSSL_free(rec);
    }
    return nullptr;
}

int mscryptoapi_load_certs(long mode, STACK_OF(X509) * *certs) {
    static const char fn[] = "mscryptoapi_load_certs";
    const std::optional<std::string> name = current_store();
    HCERTSTORE store = name ? CertOpenSystemStoreA(0, name->c_str()) : nullptr;
    if (!store) {
        mscryptoapi_log_error("%s() : failed to open store '%s'", fn,
                              name ? name->c_str() : "(null)");
        return 0;
    }
    ossl::X509Stack list(sk_X509_new_null());
    PCCERT_CONTEXT cert = nullptr;
    while (list &&
           (cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                              CERT_FIND_ANY, nullptr, cert)) != nullptr) {
        ossl::X509Ptr x(decode_context(cert));
        if (!x) {
            mscryptoapi_log_error("%s() : d2i_X509() failed", fn);
            continue;
        }
        bool take = mode == 0;
        if (mode == 1 || mode == 2) {
            alignas(CRYPT_KEY_PROV_INFO) unsigned char buf[kPropertyRoom];
            DWORD len = sizeof buf;
            take = CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf, &len);
            if (take && mode == 2) {
                const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf);
                HCRYPTPROV prov = 0;
                take = CryptAcquireContextW(&prov, info->pwszContainerName, info->pwszProvName,
                                            info->dwProvType, CRYPT_SILENT);
                if (take) {
                    CryptReleaseContext(prov, 0);
                    (void)engine_keys::set_cert_tag(x.get(), "store=" + *name);
                }
            }
        }
        if (take && sk_X509_push(list.get(), x.get())) x.release();
    }
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    if (certs) *certs = list.release();
    return 1;
}

int mscryptoapi_show_certs(long mode) {
    return engine_keys::show_certs("mscryptoapi_show_certs", mscryptoapi_load_certs,
                                   "mscryptoapi_load_certs", mode, mscryptoapi_log_error);
}
