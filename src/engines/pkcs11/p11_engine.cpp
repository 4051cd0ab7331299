// The "pkcs11" engine object: binding, commands, the module path and PIN, key loading by
// certificate or "ID:", the keys made of token objects, and the token RSA method.
#include "engines/pkcs11/p11_engine.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/pkcs11/p11_objects.h"

namespace {

using objmap::Obj;

constexpr const char* kEngineId = "pkcs11";
constexpr const char* kEngineName = "PKCS#11 engine support";
constexpr size_t kIdPrefix = 3;  // "ID:"
constexpr const char kPemHead[] = "-----BEGIN CERTIFICATE-----";
// Bounds of what is read from a token: a certificate, a GOST public key, RSA key parts.
constexpr CK_ULONG kMaxCertValue = 1 << 20;
constexpr CK_ULONG kMaxPublicValue = 1024;
constexpr CK_ULONG kMaxRsaPart = 10240;
// Each GOST parameter-set identifier, and so their SEQUENCE, fits one short DER length.
constexpr CK_ULONG kMaxParamDer = 20;

const ENGINE_CMD_DEFN kCommands[] = {
    {kP11CmdAttachApi, "ATTACH_API", "Attach to PKCS#11 API library", ENGINE_CMD_FLAG_STRING},
    {kP11CmdLogin, "LOGIN", "Set PIN for current session", ENGINE_CMD_FLAG_STRING},
    {kP11CmdEnumTokens, "ENUM_TOKENS", "Enumerate tokens", ENGINE_CMD_FLAG_NO_INPUT},
    {kP11CmdShowTokens, "SHOW_TOKENS", "Show tokens", ENGINE_CMD_FLAG_NO_INPUT},
    {kP11CmdEnumKeys, "ENUM_KEYS", "Enumerate keys", ENGINE_CMD_FLAG_NO_INPUT},
    {kP11CmdShowKeys, "SHOW_KEYS", "Show keys", ENGINE_CMD_FLAG_NO_INPUT},
    {kP11CmdLoadCerts, "LOAD_CERTS", "Load certificates", ENGINE_CMD_FLAG_NUMERIC},
    {kP11CmdShowCerts, "SHOW_CERTS", "Show certificates", ENGINE_CMD_FLAG_NUMERIC},
    {0, nullptr, nullptr, 0},
};

constexpr engine_keys::MethodRow kKeyTypes[] = {
    {Obj::gost2001, "GOST3410-2001-PKCS11", "GOST R 34.10-2001 PKCS11"},
    {Obj::gost2012_256, "GOST3410-2012-256-PKCS11", "GOST R 34.10-2012-256 PKCS11"},
    {Obj::gost2012_512, "GOST3410-2012-512-PKCS11", "GOST R 34.10-2012-512 PKCS11"},
};

std::atomic<ENGINE*> g_engine{nullptr};

// The module path (slot 0) and the PIN (slot 1): process-wide, so guarded.
std::mutex g_settings_lock;
std::optional<std::string> g_settings[2];

int ck(CK_RV rv) {
    return static_cast<int>(rv);
}

bool set_setting(int slot, const char* value) {
    if (!value) return false;
    std::lock_guard lock(g_settings_lock);
    g_settings[slot] = value;
    return true;
}

int pkcs11_init(ENGINE*) {
    return pkcs11_rsa_method() ? 1 : 0;
}

int pkcs11_finish(ENGINE*) {
    return 1;
}

// The crypto library frees the method objects with the engine; this frees what is ours.
int pkcs11_destroy(ENGINE* e) {
    engine_keys::free_engine_data(e);
    ENGINE* self = e;
    g_engine.compare_exchange_strong(self, nullptr);
    return 1;
}

int pkcs11_perform_cmd(int cmd, long i, void* p) {
    switch (cmd) {
        case 2:
            return pkcs11_enum_tokens(static_cast<STACK_OF(OPENSSL_STRING)**>(p));
        case 3:
            return pkcs11_show_tokens();
        case 4:
            return pkcs11_enum_keys(static_cast<STACK_OF(OPENSSL_STRING)**>(p));
        case 5:
            return pkcs11_show_keys();
        case 6:
            return pkcs11_load_certs(i, static_cast<STACK_OF(X509)**>(p));
        case 7:
            return pkcs11_show_certs(i);
        default:
            pkcs11_log_error("%s() : wrong parameter number: %d", "pkcs11_perform_cmd", cmd);
            return 0;
    }
}

int pkcs11_ctrl(ENGINE*, int cmd, long i, void* p, void (*)(void)) {
    return engines::guarded("pkcs11_ctrl", 0, [&] {
        if (cmd < ENGINE_CMD_BASE || cmd > ENGINE_CMD_BASE + 8) return -1;
        if (cmd == kP11CmdAttachApi || cmd == kP11CmdLogin)
            return set_setting(cmd - ENGINE_CMD_BASE, static_cast<const char*>(p)) ? 1 : 0;
        return pkcs11_perform_cmd(cmd - ENGINE_CMD_BASE, i, p);
    });
}

int pkcs11_pkey_meths(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid) {
    return engine_keys::select_pkey_meth(e, pmeth, nids, nid);
}

int pkcs11_pkey_asn1_meths(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid) {
    return engine_keys::select_asn1_meth(e, ameth, nids, nid);
}

// The bytes of "ID:" and hexadecimal digit pairs; an odd last digit is ignored. Anything but
// hexadecimal digits, or more than fit a key identifier, is refused rather than half read.
bool parse_key_id(const char* fn, const char* text, std::vector<unsigned char>& id) {
    const char* digits = text + kIdPrefix;
    const size_t n = std::strlen(digits);
    for (size_t k = 0; k < n; ++k)
        if (!std::isxdigit(static_cast<unsigned char>(digits[k]))) {
            pkcs11_log_error("%s() : '%s' is not 'ID:' and hexadecimal digits", fn, text);
            return false;
        }
    if (n / 2 > GOST_KEY_ID_LEN) {
        pkcs11_log_error("%s() : key identifier '%s' is longer than %d bytes", fn, text,
                         static_cast<int>(GOST_KEY_ID_LEN));
        return false;
    }
    id.clear();
    for (size_t k = 0; k + 1 < n; k += 2) {
        const char pair[3] = {digits[k], digits[k + 1], '\0'};
        id.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return true;
}

ossl::X509Ptr read_certificate(const char* fn, const char* text) {
    const bool inline_pem = std::strncmp(text, kPemHead, sizeof kPemHead - 1) == 0;
    ossl::Bio bio(inline_pem ? BIO_new_mem_buf(text, -1) : BIO_new_file(text, "rb"));
    if (!bio) {
        pkcs11_log_error("%s() : BIO_new_file( '%s' ) failed", fn, text);
        return nullptr;
    }
    ossl::X509Ptr cert(PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) pkcs11_log_error("%s() : d2i_X509_bio( '%s' ) failed", fn, text);
    return cert;
}

// One search step of find_cert_on_token, logged with its three message numbers on failure.
bool search_logged(const char* fn, int first_step, const p11::Search& s) {
    if (s.rv == CKR_OK) return true;
    static const char* const kCalls[] = {"C_FindObjectsInit", "C_FindObjects",
                                         "C_FindObjectsFinal"};
    pkcs11_log_error("%s() %d : %s() failed: %d (%s)", fn, first_step + s.call, kCalls[s.call],
                     ck(s.rv), get_ckr_name(s.rv));
    return false;
}

// The certificate object equal to cert; CK_INVALID_HANDLE when none (failures are logged and
// the next object tried).
CK_OBJECT_HANDLE matching_certificate(const char* fn, CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                      const std::vector<CK_OBJECT_HANDLE>& objects, X509* cert) {
    for (CK_OBJECT_HANDLE obj : objects) {
        p11::Attribute v = p11::read_attribute(f, s, obj, CKA_VALUE, kMaxCertValue);
        if (v.rv != CKR_OK) {
            pkcs11_log_error("%s() %d : C_GetAttributeValue() failed: %d (%s)", fn,
                             v.call == 0 ? 5 : 7, ck(v.rv), get_ckr_name(v.rv));
            continue;
        }
        if (v.bad_length || v.value.empty()) {
            pkcs11_log_error("%s() 6 : malloc( %d )", fn, static_cast<int>(v.value.size()));
            continue;
        }
        const unsigned char* p = v.value.data();
        ossl::X509Ptr candidate(d2i_X509(nullptr, &p, static_cast<long>(v.value.size())));
        if (!candidate) {
            pkcs11_log_error("%s() 8 : d2i_X509() failed", fn);
            continue;
        }
        if (X509_cmp(candidate.get(), cert) == 0) return obj;
    }
    return CK_INVALID_HANDLE;
}

// Reads one attribute of at most max bytes; a failure is logged and gives false.
bool read_logged(const char* fn, CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj,
                 CK_ATTRIBUTE_TYPE type, const char* name, CK_ULONG max, p11::Attribute& out) {
    out = p11::read_attribute(f, s, obj, type, max);
    if (out.rv != CKR_OK) {
        pkcs11_log_error("%s() : failed to read %s: %s (%lx)", fn, name, get_ckr_name(out.rv),
                         static_cast<unsigned long>(out.rv));
        return false;
    }
    if (out.bad_length) {
        pkcs11_log_error("%s() : %s does not fit %lu bytes", fn, name,
                         static_cast<unsigned long>(max));
        return false;
    }
    return true;
}

pkcs11_key* new_record(const p11::ModuleRef& module, CK_SESSION_HANDLE session,
                       CK_OBJECT_HANDLE private_key) {
    auto* rec = static_cast<pkcs11_key*>(OPENSSL_zalloc(sizeof(pkcs11_key)));
    if (!rec) return nullptr;
    rec->module = new p11::ModuleRef(module.share());
    rec->session = session;
    rec->private_key = private_key;
    return rec;
}

// A key made of a token object must not take the session when it is not made after all.
void drop_record(pkcs11_key* rec) {
    if (!rec) return;
    rec->session = CK_INVALID_HANDLE;
    pkcs11_key_free(rec);
}

int rsa_record_index() {
    // A copy of the key carries no record: it could not own the session twice.
    static const int index = RSA_get_ex_new_index(
        0, nullptr, nullptr,
        [](CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from_d, int, long, void*) {
            *from_d = nullptr;
            return 1;
        },
        nullptr);
    return index;
}

EVP_PKEY* make_rsa_key(const char* fn, const p11::ModuleRef& module, CK_SESSION_HANDLE session,
                       CK_OBJECT_HANDLE private_key, CK_OBJECT_HANDLE public_key) {
    CK_FUNCTION_LIST* f = module.functions();
    p11::Attribute bits, exponent, modulus;
    if (!read_logged(fn, f, session, public_key, CKA_MODULUS_BITS, "CKA_MODULUS_BITS",
                     sizeof(CK_ULONG), bits) ||
        !read_logged(fn, f, session, public_key, CKA_PUBLIC_EXPONENT, "CKA_PUBLIC_EXPONENT",
                     kMaxRsaPart, exponent) ||
        !read_logged(fn, f, session, public_key, CKA_MODULUS, "CKA_MODULUS", kMaxRsaPart, modulus))
        return nullptr;
    CK_ULONG nbits = 0;
    if (bits.value.size() == sizeof nbits) std::memcpy(&nbits, bits.value.data(), sizeof nbits);
    // The modulus is what the token gave; its bit count must not claim more than that.
    if (nbits == 0 || (nbits + 7) / 8 > modulus.value.size() || exponent.value.empty()) {
        pkcs11_log_error("%s() : RSA modulus of %d bytes does not hold %lu bits", fn,
                         static_cast<int>(modulus.value.size()), static_cast<unsigned long>(nbits));
        return nullptr;
    }
    ossl::Rsa rsa(RSA_new());
    ossl::Bn n(BN_bin2bn(modulus.value.data(), static_cast<int>(modulus.value.size()), nullptr));
    ossl::Bn e(BN_bin2bn(exponent.value.data(), static_cast<int>(exponent.value.size()), nullptr));
    if (!rsa || !n || !e || !RSA_set0_key(rsa.get(), n.get(), e.get(), nullptr)) return nullptr;
    n.release();
    e.release();
    pkcs11_key* rec = new_record(module, session, private_key);
    // The method's finish frees the record from here on.
    if (!rec || !RSA_set_method(rsa.get(), pkcs11_rsa_method()) ||
        !RSA_set_ex_data(rsa.get(), rsa_record_index(), rec)) {
        drop_record(rec);
        return nullptr;
    }
    ossl::PKey pkey(EVP_PKEY_new());
    if (!pkey || !EVP_PKEY_assign_RSA(pkey.get(), rsa.get())) {
        pkcs11_rsa_record(rsa.get())->session = CK_INVALID_HANDLE;
        return nullptr;
    }
    rsa.release();
    return pkey.release();
}

// The key type follows the digest parameter set the token keeps beside the curve.
int gost_type_of(const ASN1_OBJECT* digest) {
    const int nid = OBJ_obj2nid(digest);
    if (nid == objmap::nid(Obj::GostR3411_94_CryptoProParamSet)) return objmap::nid(Obj::gost2001);
    if (nid == objmap::nid(Obj::md_gost12_256)) return objmap::nid(Obj::gost2012_256);
    if (nid == objmap::nid(Obj::md_gost12_512)) return objmap::nid(Obj::gost2012_512);
    return NID_undef;
}

EVP_PKEY* make_gost_key(const char* fn, ENGINE* e, const p11::ModuleRef& module,
                        CK_SESSION_HANDLE session, CK_OBJECT_HANDLE private_key,
                        CK_OBJECT_HANDLE public_key) {
    CK_FUNCTION_LIST* f = module.functions();
    p11::Attribute value, curve, digest;
    if (!read_logged(fn, f, session, public_key, CKA_VALUE, "CKA_VALUE", kMaxPublicValue, value) ||
        !read_logged(fn, f, session, private_key, CKA_GOSTR3410_PARAMS, "CKA_GOSTR3410_PARAMS",
                     kMaxParamDer, curve) ||
        !read_logged(fn, f, session, private_key, CKA_GOSTR3411_PARAMS, "CKA_GOSTR3411_PARAMS",
                     kMaxParamDer, digest))
        return nullptr;
    std::vector<unsigned char> seq{
        0x30, static_cast<unsigned char>(curve.value.size() + digest.value.size())};
    seq.insert(seq.end(), curve.value.begin(), curve.value.end());
    seq.insert(seq.end(), digest.value.begin(), digest.value.end());
    const unsigned char* p = seq.data();
    ossl::Owner<TVK_GOST2012_KEY_PARAMS, TVK_GOST2012_KEY_PARAMS_free> params(
        d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, static_cast<long>(seq.size())));
    const int type = params && params->hash_params ? gost_type_of(params->hash_params) : NID_undef;
    tvk_gost2012_key pub{};
    if (type == NID_undef || !fill_GOST2012_params(&pub, type, OBJ_obj2nid(params->key_params))) {
        pkcs11_log_error("%s() : unusable GOST parameter sets on the token", fn);
        return nullptr;
    }
    // Only as many public-key bytes as the key's size has (64 or 128) fit the record.
    if (value.value.size() != pub.pub_key_len) {
        pkcs11_log_error("%s() : GOST public key of %d bytes, not %d", fn,
                         static_cast<int>(value.value.size()), static_cast<int>(pub.pub_key_len));
        return nullptr;
    }
    std::memcpy(pub.pub_key, value.value.data(), pub.pub_key_len);
    pkcs11_key* rec = new_record(module, session, private_key);
    ossl::PKey pkey(EVP_PKEY_new());
    if (!rec || !pkey) {
        drop_record(rec);
        return nullptr;
    }
    rec->pub = pub;
    if (!engine_keys::bind_key(e, pkey.get(), type, rec)) {
        pkcs11_log_error("%s() : the key could not be bound to the engine", fn);
        drop_record(rec);
        return nullptr;
    }
    return pkey.release();
}

// ---- the token RSA method ----

// The token pads as PKCS#1 v1.5 itself: data padded otherwise would come out padded twice, a
// signature that verifies nowhere or a key that is not the sender's.
bool pkcs1_only(const char* fn, int padding) {
    if (padding == RSA_PKCS1_PADDING) return true;
    pkcs11_log_error("%s() : padding %d is not available for token keys", fn, padding);
    return false;
}

int pkcs11_rsa_priv_enc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
                        int padding) {
    static const char fn[] = "pkcs11_rsa_priv_enc";
    return engines::guarded(fn, -1, [&] {
        pkcs11_key* rec = pkcs11_rsa_record(rsa);
        if (!rec || !rec->module || flen < 0 || !from || !to || !pkcs1_only(fn, padding)) return -1;
        CK_ULONG len = static_cast<CK_ULONG>(RSA_size(rsa));
        const p11::Signed r = p11::sign(rec->module->functions(), rec->session, rec->private_key,
                                        CKM_RSA_PKCS, from, static_cast<size_t>(flen), to, &len);
        if (!r.ok()) {
            pkcs11_log_error("%s", p11::sign_failure_text(fn, 2, r).c_str());
            return -1;
        }
        return static_cast<int>(len);
    });
}

int pkcs11_rsa_priv_dec(int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
                        int padding) {
    static const char fn[] = "pkcs11_rsa_priv_dec";
    return engines::guarded(fn, -1, [&] {
        pkcs11_key* rec = pkcs11_rsa_record(rsa);
        // The caller's buffer holds RSA_size bytes; so does every plaintext of a valid input.
        if (!rec || !rec->module || flen < 0 || flen > RSA_size(rsa) || !from || !to ||
            !pkcs1_only(fn, padding))
            return -1;
        CK_FUNCTION_LIST* f = rec->module->functions();
        CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
        CK_RV rv = f->C_DecryptInit(rec->session, &mech, rec->private_key);
        CK_ULONG len = static_cast<CK_ULONG>(RSA_size(rsa));
        const char* call = "C_DecryptInit";
        if (rv == CKR_OK) {
            call = "C_Decrypt";
            rv = f->C_Decrypt(rec->session, const_cast<unsigned char*>(from),
                              static_cast<CK_ULONG>(flen), to, &len);
        }
        if (rv != CKR_OK) {
            pkcs11_log_error("%s() : %s() failed, rv = 0x%08lX (%s)", fn, call,
                             static_cast<unsigned long>(rv), get_ckr_name(rv));
            return -1;
        }
        return static_cast<int>(len);
    });
}

int pkcs11_rsa_finish(RSA* rsa) {
    pkcs11_key_free(pkcs11_rsa_record(rsa));
    RSA_set_ex_data(rsa, rsa_record_index(), nullptr);
    // The software method's own clean-up (its Montgomery caches).
    if (auto finish = RSA_meth_get_finish(RSA_PKCS1_OpenSSL())) finish(rsa);
    return 1;
}

}  // namespace

ENGINE* pkcs11_engine() {
    return g_engine.load();
}

std::optional<std::string> pkcs11_setting(int slot) {
    std::lock_guard lock(g_settings_lock);
    return slot == 0 || slot == 1 ? g_settings[slot] : std::nullopt;
}

int bind_pkcs11(ENGINE* e) {
    return engines::guarded("bind_pkcs11", 0, [&] {
        if (!engine_keys::create_settings(e, "bind_pkcs11")) return 0;
        if (!ENGINE_set_id(e, kEngineId) || !ENGINE_set_name(e, kEngineName) ||
            !ENGINE_set_init_function(e, pkcs11_init) ||
            !ENGINE_set_finish_function(e, pkcs11_finish) ||
            !ENGINE_set_destroy_function(e, pkcs11_destroy) ||
            !ENGINE_set_ctrl_function(e, pkcs11_ctrl) || !ENGINE_set_cmd_defns(e, kCommands) ||
            !ENGINE_set_load_privkey_function(e, pkcs11_load_privkey) ||
            !ENGINE_set_pkey_asn1_meths(e, pkcs11_pkey_asn1_meths) ||
            !ENGINE_set_pkey_meths(e, pkcs11_pkey_meths))
            return 0;
        if (!engine_keys::create_key_methods(e, kKeyTypes, register_ameth_pkcs11,
                                             register_pmeth_pkcs11))
            return 0;
        g_engine = e;
        return 1;
    });
}

void tvk_ENGINE_load_pkcs11() {
    ossl::Engine e(ENGINE_new());
    if (!e || !bind_pkcs11(e.get())) return;
    // Nothing selects this engine by default: its keys carry it.
    ENGINE_set_flags(e.get(), ENGINE_get_flags(e.get()) | ENGINE_FLAGS_NO_REGISTER_ALL);
    if (!ENGINE_add(e.get())) std::fputs("ENGINE_add failed\n", stderr);
    ERR_clear_error();
}

p11::ModuleRef pkcs11_load_library() {
    static const char fn[] = "pkcs11_load_library";
    const std::optional<std::string> path = pkcs11_setting(0);
    if (!path) {
        pkcs11_log_error("%s() : PKCS#11 library not specified", fn);
        return {};
    }
    p11::Loaded loaded = p11::acquire_module(*path);
    switch (loaded.failure) {
        case p11::LoadFailure::none:
            break;
        case p11::LoadFailure::not_loadable:
            pkcs11_log_error("%s() : DSO_load( '%s' ) failed", fn, path->c_str());
            break;
        case p11::LoadFailure::no_entry:
            pkcs11_log_error("%s() : DSO_bind_func( '%s' ) failed", fn, "C_GetFunctionList");
            break;
        case p11::LoadFailure::list_failed:
            pkcs11_log_error("%s() : C_GetFunctionList() failed, error code: %d (%s)", fn,
                             ck(loaded.rv), get_ckr_name(loaded.rv));
            break;
        case p11::LoadFailure::initialize_failed:
            pkcs11_log_error("%s() : C_Initialize() failed: %d (%s)", fn, ck(loaded.rv),
                             get_ckr_name(loaded.rv));
            break;
    }
    return std::move(loaded.ref);
}

void pkcs11_release_library(p11::ModuleRef* module) {
    delete module;
}

void pkcs11_key_free(pkcs11_key* key) {
    if (!key) return;
    // No C_Logout: login belongs to the whole application, and another live key of the same
    // token would lose it. The token ends it with the application's last session there.
    if (key->module && *key->module && key->session != CK_INVALID_HANDLE)
        key->module->functions()->C_CloseSession(key->session);
    pkcs11_release_library(key->module);
    OPENSSL_free(key);
}

pkcs11_key* pkcs11_rsa_record(const RSA* rsa) {
    if (!rsa || RSA_get_method(rsa) != pkcs11_rsa_method()) return nullptr;
    return static_cast<pkcs11_key*>(RSA_get_ex_data(rsa, rsa_record_index()));
}

const RSA_METHOD* pkcs11_rsa_method() {
    static RSA_METHOD* method = [] {
        ossl::RsaMethod m(RSA_meth_new("PKCS#11 RSA method", 0));
        const RSA_METHOD* soft = RSA_PKCS1_OpenSSL();
        const bool ok = m && RSA_meth_set_pub_enc(m.get(), RSA_meth_get_pub_enc(soft)) &&
                        RSA_meth_set_pub_dec(m.get(), RSA_meth_get_pub_dec(soft)) &&
                        RSA_meth_set_mod_exp(m.get(), RSA_meth_get_mod_exp(soft)) &&
                        RSA_meth_set_bn_mod_exp(m.get(), RSA_meth_get_bn_mod_exp(soft)) &&
                        RSA_meth_set_priv_enc(m.get(), pkcs11_rsa_priv_enc) &&
                        RSA_meth_set_priv_dec(m.get(), pkcs11_rsa_priv_dec) &&
                        RSA_meth_set_finish(m.get(), pkcs11_rsa_finish);
        // Kept for the process's life: keys made with it may be freed at exit.
        return ok ? m.release() : nullptr;
    }();
    return method;
}

EVP_PKEY* MakeTokenPrivateKey(ENGINE* e, const p11::ModuleRef& module, CK_SESSION_HANDLE session,
                              CK_OBJECT_HANDLE private_key, CK_OBJECT_HANDLE public_key) {
    static const char fn[] = "MakeTokenPrivateKey";
    // A key whose type cannot be read is no key at all, not an RSA key of whatever the RSA
    // attributes give.
    const p11::Attribute type = p11::read_attribute(module.functions(), session, private_key,
                                                    CKA_KEY_TYPE, sizeof(CK_KEY_TYPE));
    if (type.rv != CKR_OK) {
        pkcs11_log_error("%s() : failed to determine key type: %s (%x)", fn, get_ckr_name(type.rv),
                         static_cast<unsigned>(type.rv));
        return nullptr;
    }
    if (type.bad_length || type.value.size() != sizeof(CK_KEY_TYPE)) {
        pkcs11_log_error("%s() : failed to determine key type: a value of %d bytes", fn,
                         static_cast<int>(type.value.size()));
        return nullptr;
    }
    CK_KEY_TYPE key_type = 0;
    std::memcpy(&key_type, type.value.data(), sizeof key_type);
    if (key_type == CKK_RSA) return make_rsa_key(fn, module, session, private_key, public_key);
    if (key_type == CKK_GOSTR3410 || key_type == CKK_GOSTR3410_512)
        return make_gost_key(fn, e, module, session, private_key, public_key);
    pkcs11_log_error("%s() : unknown or unsupported key type: %d (%x)", fn,
                     static_cast<int>(key_type), static_cast<unsigned>(key_type));
    return nullptr;
}

int find_cert_on_token(ENGINE* e, X509* cert, const std::vector<unsigned char>& id_in,
                       const char* pin, const p11::ModuleRef& module, CK_SLOT_ID slot,
                       EVP_PKEY** key) {
    static const char fn[] = "find_cert_on_token";
    constexpr int kFailed = 5;
    auto end = [&](int rc) {
        pkcs11_log_trace("%s() end, return value %d", fn, rc);
        return rc;
    };
    if (!pin) {
        pkcs11_log_error("%s() 0 : password not specified", fn);
        return end(kFailed);
    }
    CK_FUNCTION_LIST* f = module.functions();
    p11::Session session(f);
    CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session.handle);
    if (rv != CKR_OK) {
        session.handle = CK_INVALID_HANDLE;
        pkcs11_log_error("%s() 1 : C_OpenSession() failed: %d (%s)", fn, ck(rv), get_ckr_name(rv));
        return end(kFailed);
    }
    std::vector<unsigned char> id = id_in;
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY, priv_class = CKO_PRIVATE_KEY;
    auto key_search = [&](CK_OBJECT_CLASS& cls) {
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}};
        return p11::find_objects(f, session.handle, tmpl, 2);
    };
    auto login = [&](const char* step) {
        rv =
            f->C_Login(session.handle, CKU_USER,
                       reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
        if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return true;
        pkcs11_log_error("%s()%s : C_Login() failed: %d (%s)", fn, step, ck(rv), get_ckr_name(rv));
        return false;
    };
    p11::Search pubs, privs;
    if (cert) {
        CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cert_class, sizeof cert_class}};
        const p11::Search certs = p11::find_objects(f, session.handle, tmpl, 1);
        if (!search_logged(fn, 2, certs)) return end(kFailed);
        const CK_OBJECT_HANDLE obj = matching_certificate(fn, f, session.handle, certs.found, cert);
        if (obj == CK_INVALID_HANDLE) {
            pkcs11_log_error("%s() 15 : no certificate found on token", fn);
            return end(kFailed);
        }
        const p11::Attribute cka_id =
            p11::read_attribute(f, session.handle, obj, CKA_ID, GOST_KEY_ID_LEN);
        if (cka_id.rv != CKR_OK) {
            pkcs11_log_error("%s() 9 : C_GetAttributeValue() failed: %d (%s)", fn, ck(cka_id.rv),
                             get_ckr_name(cka_id.rv));
            return end(kFailed);
        }
        if (cka_id.bad_length) {
            pkcs11_log_error("%s() 9 : certificate CKA_ID is longer than %d bytes", fn,
                             static_cast<int>(GOST_KEY_ID_LEN));
            return end(kFailed);
        }
        id = cka_id.value;
        pubs = key_search(pub_class);
        if (!search_logged(fn, 10, pubs)) return end(kFailed);
        if (pubs.found.empty()) {
            pkcs11_log_error("%s() 13 : pub key_count == 0", fn);
            return end(kFailed);
        }
        if (!login(" 14")) return end(kFailed);
        privs = key_search(priv_class);
        if (!search_logged(fn, 15, privs)) return end(kFailed);
        if (privs.found.empty()) {
            pkcs11_log_error("%s() 18 : priv key_count == 0", fn);
            return end(kFailed);
        }
    } else {
        pubs = key_search(pub_class);
        if (pubs.found.empty() || !login("")) return end(kFailed);
        privs = key_search(priv_class);
        if (privs.found.empty()) return end(kFailed);
    }
    *key = MakeTokenPrivateKey(e, module, session.handle, privs.found.front(), pubs.found.front());
    if (!*key) return end(kFailed);
    session.release();
    return end(0);
}

EVP_PKEY* pkcs11_load_privkey(ENGINE* e, const char* key_id, UI_METHOD*, void* callback_data) {
    static const char fn[] = "pkcs11_load_privkey";
    return engines::guarded(fn, static_cast<EVP_PKEY*>(nullptr), [&]() -> EVP_PKEY* {
        p11::ModuleRef module = pkcs11_load_library();
        if (!module) {
            pkcs11_log_error("%s() : failed to load PKCS#11 library", fn);
            return nullptr;
        }
        // A token label is no key: ENUM_TOKENS gives the labels.
        if (!key_id) {
            pkcs11_log_error("%s() : no key identifier given", fn);
            return nullptr;
        }
        std::vector<unsigned char> id;
        ossl::X509Ptr cert;
        if (std::strncmp(key_id, "ID:", kIdPrefix) == 0) {
            if (!parse_key_id(fn, key_id, id)) return nullptr;
        } else if (!(cert = read_certificate(fn, key_id))) {
            return nullptr;
        }
        CK_FUNCTION_LIST* f = module.functions();
        CK_ULONG count = 0;
        CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) {
            pkcs11_log_error("%s() : C_GetSlotList() 1 failed, ret code = %d (%s)", fn, ck(rv),
                             get_ckr_name(rv));
            return nullptr;
        }
        if (count == 0) {
            pkcs11_log_error("%s() : no token found", fn);
            return nullptr;
        }
        std::vector<CK_SLOT_ID> slots(count);
        rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
        if (rv != CKR_OK) {
            pkcs11_log_error("%s() : C_GetSlotList() 2 failed, ret code = %d (%s)", fn, ck(rv),
                             get_ckr_name(rv));
            return nullptr;
        }
        slots.resize(std::min<size_t>(count, slots.size()));
        const auto* cb = static_cast<const char* const*>(callback_data);
        const std::optional<std::string> setting = pkcs11_setting(1);
        const char* pin = cb && *cb ? *cb : setting ? setting->c_str() : nullptr;
        for (size_t i = 0; i < slots.size(); ++i) {
            EVP_PKEY* key = nullptr;
            if (find_cert_on_token(e, cert.get(), id, pin, module, slots[i], &key) == 0) return key;
            pkcs11_log_error("%s() : find_cert_on_token() failed on slot #%d", fn,
                             static_cast<int>(i));
        }
        return nullptr;
    });
}
