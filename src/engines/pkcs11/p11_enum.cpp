// What the engine's commands list: the certificates, tokens and public keys of every slot of
// the module, as lists for the caller or printed on the standard output.
#include <openssl/pem.h>

#include <cstdio>
#include <string>

#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/guard.h"
#include "engines/pkcs11/p11_engine.h"
#include "engines/pkcs11/p11_objects.h"

namespace {

constexpr CK_ULONG kMaxCertValue = 1 << 20;
// Key identifiers and labels are shown whole up to this size.
constexpr CK_ULONG kMaxText = 1 << 16;
constexpr CK_ULONG kPrivateProbe = 10;

int ck(CK_RV rv) {
    return static_cast<int>(rv);
}

// A text of exactly the bytes given, trailing blanks cut when asked.
std::string text_of(const unsigned char* p, size_t n, bool trim) {
    std::string s(reinterpret_cast<const char*>(p), n);
    if (trim) s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

bool push(STACK_OF(OPENSSL_STRING) * list, const std::string& s) {
    char* copy = OPENSSL_strdup(s.c_str());
    if (copy && sk_OPENSSL_STRING_push(list, copy) > 0) return true;
    OPENSSL_free(copy);
    return false;
}

// The module and its slots with a token, for one listing; an empty module after a message.
struct Slots {
    p11::ModuleRef module;
    std::vector<CK_SLOT_ID> ids;
};
Slots list_slots(const char* fn) {
    Slots out;
    out.module = pkcs11_load_library();
    if (!out.module) {
        pkcs11_log_error("%s() : failed to load PKCS#11 library", fn);
        return out;
    }
    CK_ULONG count = p11::kMaxObjects;
    out.ids.resize(count);
    const CK_RV rv = out.module.functions()->C_GetSlotList(CK_TRUE, out.ids.data(), &count);
    if (rv != CKR_OK) {
        pkcs11_log_error("%s() : C_GetSlotList() failed: %d (%s)", fn, ck(rv), get_ckr_name(rv));
        out.module.reset();
        return out;
    }
    out.ids.resize(std::min<CK_ULONG>(count, p11::kMaxObjects));
    return out;
}

X509* pkcs11_get_cert(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj) {
    static const char fn[] = "pkcs11_get_cert";
    const p11::Attribute v = p11::read_attribute(f, s, obj, CKA_VALUE, kMaxCertValue);
    if (v.rv != CKR_OK) {
        pkcs11_log_error("%s() : C_GetAttributeValue( CKA_VALUE ) %d failed: %d (%s)", fn,
                         v.call + 1, ck(v.rv), get_ckr_name(v.rv));
        return nullptr;
    }
    if (v.bad_length) {
        pkcs11_log_error("%s() : malloc( %d ) failed", fn, static_cast<int>(v.value.size()));
        return nullptr;
    }
    const unsigned char* p = v.value.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(v.value.size()));
    if (!x) pkcs11_log_error("%s() : d2i_X509() failed", fn);
    return x;
}

// True when a public key with the certificate's CKA_ID is on the token.
bool cert_is_private(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj) {
    static const char fn[] = "cert_is_private";
    p11::Attribute id = p11::read_attribute(f, s, obj, CKA_ID, kMaxText);
    if (id.rv != CKR_OK) {
        pkcs11_log_error("%s() : C_GetAttributeValue( CKA_ID ) %d failed: %d (%s)", fn, id.call + 1,
                         ck(id.rv), get_ckr_name(id.rv));
        return false;
    }
    if (id.bad_length) {
        pkcs11_log_error("%s() : malloc( %d ) failed", fn, static_cast<int>(id.value.size()));
        return false;
    }
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_ID, id.value.data(), id.value.size()}};
    const p11::Search keys = p11::find_objects(f, s, tmpl, 2, kPrivateProbe);
    if (keys.rv != CKR_OK) {
        static const char* const kCalls[] = {"C_FindObjectsInit", "C_FindObjects",
                                             "C_FindObjectsFinal"};
        pkcs11_log_error("%s() : %s( CKA_ID ) failed: %d (%s)", fn, kCalls[keys.call], ck(keys.rv),
                         get_ckr_name(keys.rv));
        return false;
    }
    return !keys.found.empty();
}

template <class F>
void for_each_object(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, CK_ATTRIBUTE* tmpl, CK_ULONG n,
                     F&& visit) {
    p11::Session session(f);
    if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session.handle) != CKR_OK) {
        session.handle = CK_INVALID_HANDLE;
        return;
    }
    for (CK_OBJECT_HANDLE obj : p11::find_objects(f, session.handle, tmpl, n).found)
        visit(session.handle, obj);
}

// A listing of texts: the module's slots handed to fill, which gives false when a text could
// not be added; the list goes to *ids.
template <class F>
int list_texts(const char* fn, STACK_OF(OPENSSL_STRING) * *ids, F&& fill) {
    return engines::guarded(fn, 0, [&] {
        if (!ids) {
            pkcs11_log_error("%s() : ids is NULL", fn);
            return 0;
        }
        Slots slots = list_slots(fn);
        ossl::StringStack list(sk_OPENSSL_STRING_new_null());
        if (!slots.module || !list || !fill(slots, list.get())) return 0;
        *ids = list.release();
        return 1;
    });
}

// One line per three texts of a listing.
int show_triples(int (*list_fn)(STACK_OF(OPENSSL_STRING) **), const char* fn, const char* list_name,
                 const char* line) {
    STACK_OF(OPENSSL_STRING)* raw = nullptr;
    const int rc = list_fn(&raw);
    ossl::StringStack list(raw);
    if (!rc) {
        pkcs11_log_error("%s() : %s() failed", fn, list_name);
        return rc;
    }
    for (int i = 0; i + 2 < sk_OPENSSL_STRING_num(list.get()); i += 3)
        std::printf(line, sk_OPENSSL_STRING_value(list.get(), i),
                    sk_OPENSSL_STRING_value(list.get(), i + 1),
                    sk_OPENSSL_STRING_value(list.get(), i + 2));
    std::fflush(stdout);
    return rc;
}

}  // namespace

int pkcs11_load_certs(long mode, STACK_OF(X509) * *certs) {
    static const char fn[] = "pkcs11_load_certs";
    return engines::guarded(fn, 0, [&] {
        if (!certs) {
            pkcs11_log_error("%s() : certs is NULL", fn);
            return 0;
        }
        const std::string path = pkcs11_setting(0).value_or("");
        Slots slots = list_slots(fn);
        if (!slots.module) return 0;
        ossl::X509Stack list(sk_X509_new_null());
        if (!list) return 0;
        CK_FUNCTION_LIST* f = slots.module.functions();
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE x509 = CKC_X_509;
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
        for (CK_SLOT_ID slot : slots.ids)
            for_each_object(f, slot, tmpl, 2, [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj) {
                ossl::X509Ptr x(pkcs11_get_cert(f, s, obj));
                if (!x || (mode != 0 && mode != 1)) return;
                if (mode == 1) {
                    if (!cert_is_private(f, s, obj)) return;
                    (void)engine_keys::set_cert_tag(x.get(), "token=" + path);
                }
                if (sk_X509_push(list.get(), x.get())) x.release();
            });
        *certs = list.release();
        return 1;
    });
}

int pkcs11_show_certs(long mode) {
    return engine_keys::show_certs("pkcs11_show_certs", pkcs11_load_certs, "pkcs11_load_certs",
                                   mode, pkcs11_log_error);
}

int pkcs11_enum_tokens(STACK_OF(OPENSSL_STRING) * *ids) {
    static const char fn[] = "pkcs11_enum_tokens";
    return list_texts(fn, ids, [&](const Slots& slots, STACK_OF(OPENSSL_STRING) * list) {
        for (CK_SLOT_ID slot : slots.ids) {
            CK_TOKEN_INFO info{};
            const CK_RV rv = slots.module.functions()->C_GetTokenInfo(slot, &info);
            if (rv != CKR_OK) {
                pkcs11_log_error("%s() : C_GetTokenInfo() failed: %d (%s)", fn, ck(rv),
                                 get_ckr_name(rv));
                continue;
            }
            if (!push(list, std::to_string(slot)) ||
                !push(list, text_of(info.serialNumber, sizeof info.serialNumber, true)) ||
                !push(list, text_of(info.label, sizeof info.label, true)))
                return false;
        }
        return true;
    });
}

int pkcs11_show_tokens() {
    return show_triples(pkcs11_enum_tokens, "pkcs11_show_tokens", "pkcs11_enum_tokens",
                        "Token: slot = %s, id = %s, label = '%s'\n");
}

int pkcs11_enum_keys(STACK_OF(OPENSSL_STRING) * *ids) {
    return list_texts(
        "pkcs11_enum_keys", ids, [](const Slots& slots, STACK_OF(OPENSSL_STRING) * list) {
            CK_FUNCTION_LIST* f = slots.module.functions();
            CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
            CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
            bool ok = true;
            for (CK_SLOT_ID slot : slots.ids)
                for_each_object(f, slot, tmpl, 1, [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj) {
                    // Each text as long as its value: identifiers and labels of any size fit.
                    const p11::Attribute id = p11::read_attribute(f, s, obj, CKA_ID, kMaxText);
                    const p11::Attribute label =
                        p11::read_attribute(f, s, obj, CKA_LABEL, kMaxText);
                    ok = ok && push(list, std::to_string(slot)) &&
                         push(list, id.ok() ? p11::hex(id.value.data(), id.value.size()) : "") &&
                         push(list, label.ok()
                                        ? text_of(label.value.data(), label.value.size(), false)
                                        : std::string());
                });
            return ok;
        });
}

int pkcs11_show_keys() {
    return show_triples(pkcs11_enum_keys, "pkcs11_show_keys", "pkcs11_enum_keys",
                        "Slot: %s, Key: ID = %s, label = '%s'\n");
}
