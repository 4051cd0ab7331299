// "token=" profiles: the certificate and key search over a PKCS#11 module's slots, and the
// token keys made from what it finds.
#include "ssf/pki/token.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cryptoext/objects.h"
#include "engines/common/gost_key_record.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_token_signer.h"
#include "engines/pkcs11/p11_objects.h"
#include "ssf/codes.h"
#include "ssf/log.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/keys.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

using objmap::Obj;

// Bounds of the values read from a token: a certificate, a key identifier, and the slot count.
constexpr CK_ULONG kMaxCertValue = 1 << 20;
constexpr CK_ULONG kMaxKeyId = 1024;
constexpr CK_ULONG kMaxSlots = 4096;

int rv_int(CK_RV rv) {
    return static_cast<int>(rv);
}

// A token signs with whatever key sits under the certificate's CKA_ID, and reports success
// for a buffer it may not have filled: its signature is checked with the certificate's key
// (one software verification) before anyone gets it.
constexpr const char kNotVerified[] =
    "the token's signature does not verify with the certificate's public key";

bool verifies_with(EVP_PKEY* pub, const unsigned char* sig, size_t sig_len,
                   const unsigned char* tbs, size_t tbs_len) {
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(pub, nullptr));
    const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                    EVP_PKEY_verify(ctx.get(), sig, sig_len, tbs, tbs_len) == 1;
    if (!ok) ERR_clear_error();
    return ok;
}

// The record leaves with its key; a copy of the key carries none (it could not own the session
// twice).
int drop_on_dup(CRYPTO_EX_DATA*, const CRYPTO_EX_DATA*, void** from_d, int, long, void*) {
    *from_d = nullptr;
    return 1;
}
void free_gost_record(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<ssf_token_key*>(ptr);
}

int token_rsa_decrypt(int, const unsigned char*, unsigned char*, RSA*, int) {
    log_error("%s() : private decryption is not available for token keys", "token_rsa_decrypt");
    ERR_raise(ERR_LIB_RSA, RSA_R_OPERATION_NOT_SUPPORTED_FOR_THIS_KEYTYPE);
    return -1;
}

// Process-wide pieces, made once: the extra-data indexes the records ride on, the token RSA
// method, and the "gost" engine's token signer.
struct TokenMethods {
    int gost_index = -1;
    int rsa_index = -1;
    RSA_METHOD* rsa_method = nullptr;  // lives as long as the process
};

const TokenMethods& token_methods() {
    static TokenMethods m;
    static std::once_flag once;
    std::call_once(once, [] {
        m.gost_index =
            EVP_PKEY_get_ex_new_index(0, nullptr, nullptr, drop_on_dup, free_gost_record);
        // RSA records are released by the method's finish, which the RSA key always runs.
        m.rsa_index = RSA_get_ex_new_index(0, nullptr, nullptr, drop_on_dup, nullptr);
        ossl::RsaMethod meth(RSA_meth_dup(RSA_get_default_method()));
        if (meth && RSA_meth_set1_name(meth.get(), "SSF token RSA method") == 1 &&
            RSA_meth_set_priv_enc(meth.get(), token_rsa_encrypt) == 1 &&
            RSA_meth_set_priv_dec(meth.get(), token_rsa_decrypt) == 1 &&
            RSA_meth_set_finish(meth.get(), token_rsa_finish) == 1)
            m.rsa_method = meth.release();
        if (m.gost_index >= 0) tvk_install_token_signer(m.gost_index, token_gost_sign);
    });
    return m;
}

using p11::Attribute;
using p11::find_objects;
using p11::read_attribute;
using p11::Search;
using p11::Session;

// The certificate is the identity's: its fingerprint, or its whole subject text. An empty
// identity names nothing.
bool matches(X509* cert, const char* identity) {
    if (!identity || !*identity) return false;
    if (compare_sha1id_and_rcpid(cert, identity) == 0) return true;
    const std::optional<std::string> name = orb_x509_get_name_from_X509(cert);
    return name && *name == identity;
}

ossl::PKey make_gost_key(EVP_PKEY* pub, std::unique_ptr<ssf_token_key>& record) {
    // Encoded and decoded again, the key is the "gost" engine's own and no one else's object.
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(pub, &der);
    ossl::Bytes owned(der);
    if (len <= 0) return nullptr;
    const unsigned char* p = owned.get();
    ossl::PKey key(d2i_PUBKEY(nullptr, &p, len));
    const TokenMethods& m = token_methods();
    if (!key || m.gost_index < 0) return nullptr;
    if (EVP_PKEY_set_ex_data(key.get(), m.gost_index, record.get()) != 1) return nullptr;
    record.release();
    return key;
}

ossl::PKey make_rsa_key(EVP_PKEY* pub, std::unique_ptr<ssf_token_key>& record) {
    const TokenMethods& m = token_methods();
    const RSA* rsa = EVP_PKEY_get0_RSA(pub);
    if (!rsa || !m.rsa_method || m.rsa_index < 0) return nullptr;
    // A copy of our own: the certificate's key must keep its own method.
    ossl::Rsa copy(RSAPublicKey_dup(rsa));
    if (!copy || RSA_set_method(copy.get(), m.rsa_method) != 1 ||
        RSA_set_ex_data(copy.get(), m.rsa_index, record.get()) != 1)
        return nullptr;
    record.release();
    ossl::PKey key(EVP_PKEY_new());
    if (!key || EVP_PKEY_assign_RSA(key.get(), copy.get()) != 1) return nullptr;
    copy.release();
    return key;
}

ssf_token_key* rsa_record(const RSA* rsa) {
    const TokenMethods& m = token_methods();
    if (!rsa || RSA_get_method(rsa) != m.rsa_method) return nullptr;
    return static_cast<ssf_token_key*>(RSA_get_ex_data(rsa, m.rsa_index));
}

}  // namespace

ssf_token_key::~ssf_token_key() {
    if (functions && session != CK_INVALID_HANDLE) functions->C_CloseSession(session);
}

ssf_token_key* token_record(EVP_PKEY* key) {
    if (!key) return nullptr;
    const int type = EVP_PKEY_get_base_id(key);
    if (gost2012_is_sign_type(type))
        return static_cast<ssf_token_key*>(EVP_PKEY_get_ex_data(key, token_methods().gost_index));
    // Token RSA keys are legacy keys; a provider's key is never one of them (and asking it for
    // its RSA object would make a copy).
    if (type == EVP_PKEY_RSA && EVP_PKEY_get0_provider(key) == nullptr)
        return rsa_record(EVP_PKEY_get0_RSA(key));
    return nullptr;
}

bool is_token_key(EVP_PKEY* key) {
    return token_record(key) != nullptr;
}

void ssf_free_key(ossl::PKey& key) {
    key.reset();
}

ossl::PKey MakeTokenPrivateKey(EVP_PKEY* pub, std::unique_ptr<ssf_token_key> record) {
    static const char* const kFn = "MakeTokenPrivateKey";
    if (!pub) {
        log_error("%s() 1 : pub is NULL", kFn);
        return nullptr;
    }
    const int type = EVP_PKEY_get_base_id(pub);
    if (record) record->pkey_type = type;
    ossl::PKey key;
    if (type == EVP_PKEY_RSA) {
        key = make_rsa_key(pub, record);
    } else if (gost2012_is_sign_type(type)) {
        key = make_gost_key(pub, record);
    } else {
        log_error("%s() : unsupported key type: %d", kFn, type);
        return nullptr;
    }
    if (!key) log_crypto_errors();
    return key;
}

int token_gost_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs,
                    size_t tbslen) {
    static const char* const kFn = "token_gost_sign";
    EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
    ssf_token_key* rec = token_record(pkey);
    if (!rec || !siglen) return -1;
    const bool is_512 = EVP_PKEY_get_base_id(pkey) == objmap::nid(Obj::gost2012_512);
    const size_t need = is_512 ? 128 : 64;
    if (!sig) {
        *siglen = need;
        return static_cast<int>(need);
    }
    if (*siglen < need || !tbs) return -1;
    // 512-bit keys sign with their own mechanism: the 256-bit one would refuse them or sign
    // with the wrong curve size.
    CK_ULONG len = need;
    const p11::Signed r =
        p11::sign(rec->functions, rec->session, rec->key,
                  is_512 ? CKM_GOSTR3410_512 : CKM_GOSTR3410, tbs, tbslen, sig, &len);
    if (!r.ok()) {
        log_error("%s", p11::sign_failure_text(kFn, 1, r).c_str());
        return -1;
    }
    if (len != need) {
        OPENSSL_cleanse(sig, need);
        log_error("%s() 3 : C_Sign() gave %lu bytes, not %d", kFn, static_cast<unsigned long>(len),
                  static_cast<int>(need));
        return -1;
    }
    if (!verifies_with(pkey, sig, need, tbs, tbslen)) {
        OPENSSL_cleanse(sig, need);
        log_error("%s() 3 : %s", kFn, kNotVerified);
        return -1;
    }
    *siglen = need;
    return static_cast<int>(need);
}

int token_rsa_encrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa,
                      int padding) {
    static const char* const kFn = "token_rsa_encrypt";
    return engines::guarded(kFn, -1, [&] {
        ssf_token_key* rec = rsa_record(rsa);
        if (!rec || flen < 0 || !from || !to) return -1;
        // The token pads as PKCS#1 v1.5 itself: data padded otherwise would be padded twice
        // into a signature that verifies nowhere.
        if (padding != RSA_PKCS1_PADDING) {
            log_error("%s() : padding %d is not available for token keys", kFn, padding);
            return -1;
        }
        const int size = RSA_size(rsa);
        CK_ULONG len = static_cast<CK_ULONG>(size);
        const p11::Signed r = p11::sign(rec->functions, rec->session, rec->key, CKM_RSA_PKCS, from,
                                        static_cast<size_t>(flen), to, &len);
        if (!r.ok()) {
            log_error("%s", p11::sign_failure_text(kFn, 1, r).c_str());
            return -1;
        }
        if (len == 0 || len > static_cast<CK_ULONG>(size)) {
            OPENSSL_cleanse(to, static_cast<size_t>(size));
            log_error("%s() 3 : C_Sign() gave %lu bytes, not %d", kFn,
                      static_cast<unsigned long>(len), size);
            return -1;
        }
        // A signature is as long as the modulus; a module that drops leading zero bytes gave
        // the same number.
        const size_t got = static_cast<size_t>(len), pad = static_cast<size_t>(size) - got;
        std::memmove(to + pad, to, got);
        std::memset(to, 0, pad);
        // The public operation of the certificate's key must give back what was signed.
        std::vector<unsigned char> back(static_cast<size_t>(size));
        const int n = RSA_public_decrypt(size, to, back.data(), rsa, RSA_PKCS1_PADDING);
        if (n != flen || std::memcmp(back.data(), from, static_cast<size_t>(flen)) != 0) {
            ERR_clear_error();
            OPENSSL_cleanse(to, static_cast<size_t>(size));
            log_error("%s() 3 : %s", kFn, kNotVerified);
            return -1;
        }
        return size;
    });
}

int token_rsa_finish(RSA* rsa) {
    const TokenMethods& m = token_methods();
    delete static_cast<ssf_token_key*>(RSA_get_ex_data(rsa, m.rsa_index));
    RSA_set_ex_data(rsa, m.rsa_index, nullptr);
    // The default method's own clean-up (its Montgomery caches).
    if (auto finish = RSA_meth_get_finish(RSA_get_default_method())) finish(rsa);
    return 0;
}

int ssf_find_cert_on_token(const char* identity, const Password& pin, int is_signer,
                           SigRcpSsfInfo* info, const p11::ModuleRef& module, CK_SLOT_ID slot,
                           ossl::X509Ptr& cert_out, ossl::PKey& key_out) {
    static const char* const kFn = "ssf_find_cert_on_token";
    CK_FUNCTION_LIST* f = module.functions();
    log_debug(
        "%s() begin, signer = 0x%lx, cert_id = 0x%lx, p11 = 0x%lx, slot_id = %d, ppCert = 0x%lx, "
        "ppKey = 0x%lx",
        kFn, ptr_bits(info), ptr_bits(identity), ptr_bits(f), static_cast<int>(slot),
        ptr_bits(&cert_out), ptr_bits(&key_out));
    cert_out.reset();
    key_out.reset();
    auto fail = [&](SAP_UINT result) {
        if (info) info->uResult = result;
        const int rc = failure_code(is_signer);
        log_debug("%s() end, return value %d", kFn, rc);
        return rc;
    };
    auto ck_fail = [&](const char* step, const char* call, CK_RV rv, SAP_UINT result) {
        log_error("%s() %s : %s() failed: %d (%s)", kFn, step, call, rv_int(rv), get_ckr_name(rv));
        return fail(result);
    };

    Session session(f);
    CK_RV rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session.handle);
    if (rv != CKR_OK) {
        session.handle = CK_INVALID_HANDLE;
        return ck_fail("1", "C_OpenSession", rv, SSF_RESULT_PROFILE_UNUSABLE);
    }

    CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
    CK_ATTRIBUTE cert_tmpl[] = {{CKA_CLASS, &cert_class, sizeof cert_class}};
    Search certs = find_objects(f, session.handle, cert_tmpl, 1);
    if (certs.rv != CKR_OK) {
        static const char* const kSteps[] = {"2", "3", "4"};
        static const char* const kCalls[] = {"C_FindObjectsInit", "C_FindObjects",
                                             "C_FindObjectsFinal"};
        return ck_fail(kSteps[certs.call], kCalls[certs.call], certs.rv,
                       SSF_RESULT_PROFILE_UNUSABLE);
    }

    ossl::X509Ptr cert;
    CK_OBJECT_HANDLE cert_object = CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE obj : certs.found) {
        Attribute value = read_attribute(f, session.handle, obj, CKA_VALUE, kMaxCertValue);
        if (value.rv != CKR_OK) {
            log_error("%s() %s : C_GetAttributeValue() failed: %d (%s)", kFn,
                      value.call == 0 ? "5" : "7", rv_int(value.rv), get_ckr_name(value.rv));
            continue;
        }
        if (value.bad_length) {
            // A length no certificate has, or one the module took back, gets no buffer.
            log_error("%s() 6 : malloc( %d )", kFn, static_cast<int>(value.length));
            continue;
        }
        const unsigned char* p = value.value.data();
        ossl::X509Ptr candidate(d2i_X509(nullptr, &p, static_cast<long>(value.value.size())));
        if (!candidate) {
            log_error("%s() 8 : d2i_X509() failed", kFn);
            log_crypto_errors();
            continue;
        }
        if (matches(candidate.get(), identity)) {
            cert = std::move(candidate);
            cert_object = obj;
            break;
        }
    }
    if (!cert) return fail(SSF_RESULT_CERT_NOT_FOUND);

    Attribute id = read_attribute(f, session.handle, cert_object, CKA_ID, kMaxKeyId);
    if (id.rv != CKR_OK)
        return ck_fail("9", "C_GetAttributeValue", id.rv, SSF_RESULT_PROFILE_UNUSABLE);
    if (id.bad_length) {
        log_error("%s() 9 : certificate CKA_ID is not usable", kFn);
        return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }

    if (!pin.given()) {
        log_error("%s() 11 : password is NULL", kFn);
        return fail(SSF_RESULT_INVALID_PASSWORD);
    }
    rv = f->C_Login(session.handle, CKU_USER,
                    reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN)
        return ck_fail("12", "C_Login", rv, SSF_RESULT_INVALID_PASSWORD);

    CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE key_tmpl[] = {{CKA_CLASS, &key_class, sizeof key_class},
                               {CKA_ID, id.value.data(), id.value.size()}};
    Search keys = find_objects(f, session.handle, key_tmpl, 2);
    if (keys.rv != CKR_OK) {
        static const char* const kSteps[] = {"13", "14", "15"};
        static const char* const kCalls[] = {"C_FindObjectsInit", "C_FindObjects",
                                             "C_FindObjectsFinal"};
        return ck_fail(kSteps[keys.call], kCalls[keys.call], keys.rv, SSF_RESULT_PROFILE_UNUSABLE);
    }
    if (keys.found.empty()) {
        log_error("%s() 16 : key_count == 0", kFn);
        return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }

    auto record = std::make_unique<ssf_token_key>();
    record->module = module.share();
    record->functions = f;
    record->session = session.release();
    record->key = keys.found.front();
    if (info) info->uResult = SSF_RESULT_VALID;
    key_out = MakeTokenPrivateKey(X509_get0_pubkey(cert.get()), std::move(record));
    cert_out = std::move(cert);
    log_debug("%s() end, return value %d", kFn, 0);
    return 0;
}

int ssf_load_cert_and_key_token(const char* module, const Password& pin, const char* identity,
                                SigRcpSsfInfo* info, int is_signer, ossl::X509Ptr& cert_out,
                                ossl::PKey& key_out) {
    static const char* const kFn = "ssf_load_cert_and_key_token";
    log_debug(
        "%s() begin, p11_file = 0x%lx, password = 0x%lx, signer = 0x%lx, is_signer = %d, ppCert = "
        "0x%lx, ppKey = 0x%lx",
        kFn, ptr_bits(module), ptr_bits(pin.data()), ptr_bits(info), is_signer, ptr_bits(&cert_out),
        ptr_bits(&key_out));
    cert_out.reset();
    key_out.reset();
    const std::string path = module ? module : "";
    auto fail = [&](SAP_UINT result) {
        if (info) info->uResult = result;
        const int rc = failure_code(is_signer);
        log_debug("%s() end, rc = %d", kFn, rc);
        return rc;
    };

    // Our reference ends with this call; the module is finalised here only when no key of it
    // lives on.
    p11::Loaded loaded = p11::acquire_module(path);
    switch (loaded.failure) {
        case p11::LoadFailure::none:
            break;
        case p11::LoadFailure::not_loadable:
            log_error("%s() 1 : mdlopen( '%s', 'rb' ) failed", kFn, path.c_str());
            return fail(SSF_RESULT_PROFILE_NOT_FOUND);
        case p11::LoadFailure::no_entry:
            log_error("%s() 2 : C_GetFunctionList() not found in module '%s'", kFn, path.c_str());
            return fail(SSF_RESULT_PROFILE_UNUSABLE);
        case p11::LoadFailure::list_failed:
            if (loaded.missing)
                log_error("%s() 3 : module '%s' has no %s()", kFn, path.c_str(), loaded.missing);
            log_error("%s() 3 : C_GetFunctionList() failed: %d (%s)", kFn, rv_int(loaded.rv),
                      get_ckr_name(loaded.rv));
            return fail(SSF_RESULT_PROFILE_UNUSABLE);
        case p11::LoadFailure::initialize_failed:
            log_error("%s() 4 : C_Initialize() failed: %d (%s)", kFn, rv_int(loaded.rv),
                      get_ckr_name(loaded.rv));
            return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }
    token_methods();
    CK_FUNCTION_LIST* f = loaded.ref.functions();

    CK_ULONG count = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
        log_error("%s() 5 : C_GetSlotList() failed: %d (%s)", kFn, rv_int(rv), get_ckr_name(rv));
        return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }
    log_debug("%s() : num_slots = %d", kFn, static_cast<int>(count));
    if (count == 0) {
        log_error("%s() 5.1 : No tokens found", kFn);
        return fail(SSF_RESULT_PROFILE_NOT_FOUND);
    }
    if (count > kMaxSlots) {
        // No buffer for a count no module has.
        log_error("%s() 6 : malloc( %d ) failed", kFn,
                  static_cast<int>(count * sizeof(CK_SLOT_ID)));
        return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }
    std::vector<CK_SLOT_ID> slots(count);
    rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) {
        log_error("%s() 7 : C_GetSlotList() failed: %d (%s)", kFn, rv_int(rv), get_ckr_name(rv));
        return fail(SSF_RESULT_PROFILE_UNUSABLE);
    }
    if (count == 0) {
        log_error("%s() 8 : num_slots = %d", kFn, 0);
        return fail(SSF_RESULT_PROFILE_NOT_FOUND);
    }
    slots.resize(std::min<size_t>(count, slots.size()));
    log_write("%s() :  total %d slots", kFn, static_cast<int>(slots.size()));

    for (size_t i = 0; i < slots.size(); ++i) {
        if (ssf_find_cert_on_token(identity, pin, is_signer, info, loaded.ref, slots[i], cert_out,
                                   key_out) == 0) {
            log_debug("%s() end, rc = %d", kFn, 0);
            return 0;
        }
        log_error("%s() 9 : ssf_find_cert_on_token() failed on slot #%d", kFn, static_cast<int>(i));
    }
    // The last slot's result stands; a record no slot wrote to found no certificate.
    const SAP_UINT last = info ? info->uResult : SSF_RESULT_CERT_NOT_FOUND;
    return fail(last == SSF_RESULT_INITIAL ? SSF_RESULT_CERT_NOT_FOUND : last);
}

}  // namespace ssf
