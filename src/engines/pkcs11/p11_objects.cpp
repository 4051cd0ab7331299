#include "engines/pkcs11/p11_objects.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>

namespace p11 {

Search find_objects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_ATTRIBUTE* tmpl, CK_ULONG n,
                    CK_ULONG max) {
    Search out;
    if ((out.rv = f->C_FindObjectsInit(s, tmpl, n)) != CKR_OK) return out;
    out.found.resize(max);
    CK_ULONG count = 0;
    out.rv = f->C_FindObjects(s, out.found.data(), max, &count);
    const CK_RV final_rv = f->C_FindObjectsFinal(s);
    if (out.rv != CKR_OK) {
        out.call = 1;
    } else if (final_rv != CKR_OK) {
        out.rv = final_rv;
        out.call = 2;
    }
    out.found.resize(out.rv == CKR_OK ? std::min(count, max) : 0);
    return out;
}

Attribute read_attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE obj,
                         CK_ATTRIBUTE_TYPE type, CK_ULONG max_len) {
    Attribute out;
    CK_ATTRIBUTE a{type, nullptr, 0};
    if ((out.rv = f->C_GetAttributeValue(s, obj, &a, 1)) != CKR_OK) return out;
    out.length = a.ulValueLen;
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > max_len) {
        out.bad_length = true;
        return out;
    }
    out.value.resize(a.ulValueLen);
    a.pValue = out.value.data();
    out.call = 1;
    out.rv = f->C_GetAttributeValue(s, obj, &a, 1);
    out.length = a.ulValueLen;
    // A module that reports more than it was asked for has written past nothing of ours, but
    // its value cannot be trusted.
    if (out.rv == CKR_OK && a.ulValueLen != out.value.size()) out.bad_length = true;
    return out;
}

Derived derive_kek(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key,
                   CK_MECHANISM_TYPE mechanism, const unsigned char* peer, size_t peer_len,
                   const unsigned char* param_der, size_t param_der_len, const unsigned char* ukm,
                   size_t ukm_len, unsigned char kek[32]) {
    CK_GOSTR3410_DERIVE_PARAMS params{CKD_NULL, const_cast<unsigned char*>(peer), peer_len,
                                      const_cast<unsigned char*>(ukm), ukm_len};
    CK_MECHANISM mech{mechanism, &params, sizeof params};
    CK_OBJECT_CLASS key_class = CKO_SECRET_KEY;
    CK_KEY_TYPE key_type = CKK_GOST28147;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {
        {CKA_CLASS, &key_class, sizeof key_class},
        {CKA_KEY_TYPE, &key_type, sizeof key_type},
        {CKA_TOKEN, &no, sizeof no},
        {CKA_ENCRYPT, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_GOST28147_PARAMS, const_cast<unsigned char*>(param_der), param_der_len},
    };
    Derived out;
    CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    if ((out.rv = f->C_DeriveKey(s, &mech, key, tmpl, 6, &derived)) != CKR_OK) {
        out.step = 2;
        derived = CK_INVALID_HANDLE;
    } else if ((out.rv = f->C_GetAttributeValue(s, derived, &value, 1)) != CKR_OK) {
        out.step = 3;
    } else if (value.ulValueLen != 32) {
        // A key-encryption key of any other size cannot unwrap; a longer one would not fit.
        out.step = 4;
        out.length = value.ulValueLen;
    } else {
        value.pValue = kek;
        if ((out.rv = f->C_GetAttributeValue(s, derived, &value, 1)) != CKR_OK ||
            value.ulValueLen != 32) {
            OPENSSL_cleanse(kek, 32);
            out.step = 5;
        }
        out.length = value.ulValueLen;
    }
    // The derived key is a session object; it would go with the session, but its value has no
    // business staying on the token that long.
    if (derived != CK_INVALID_HANDLE) f->C_DestroyObject(s, derived);
    return out;
}

std::string hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

Signed sign(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key,
            CK_MECHANISM_TYPE mechanism, const unsigned char* in, size_t in_len, unsigned char* out,
            CK_ULONG* out_len) {
    Signed r;
    CK_MECHANISM mech{mechanism, nullptr, 0};
    if ((r.rv = f->C_SignInit(s, &mech, key)) != CKR_OK) return r;
    r.call = 1;
    r.rv =
        f->C_Sign(s, const_cast<unsigned char*>(in), static_cast<CK_ULONG>(in_len), out, out_len);
    return r;
}

std::string sign_failure_text(const char* fn, int step, const Signed& r) {
    char text[256];
    std::snprintf(text, sizeof text, "%s() %d : %s() failed, rv = 0x%08lX (%s)", fn, step + r.call,
                  r.call == 0 ? "C_SignInit" : "C_Sign", static_cast<unsigned long>(r.rv),
                  get_ckr_name(r.rv));
    return text;
}

std::string derive_failure_text(const char* fn, const Derived& d) {
    char text[256];
    if (d.step == 4) {
        std::snprintf(text, sizeof text, "%s() 4 : derived key value of %lu bytes is not usable",
                      fn, static_cast<unsigned long>(d.length));
    } else {
        std::snprintf(text, sizeof text, "%s() %d : %s() failed, ret code = 0x%08lX (%s)", fn,
                      d.step, d.step == 2 ? "C_DeriveKey" : "C_GetAttributeValue",
                      static_cast<unsigned long>(d.rv), get_ckr_name(d.rv));
    }
    return text;
}

}  // namespace p11
