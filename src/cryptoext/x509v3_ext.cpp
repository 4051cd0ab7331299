#include "cryptoext/x509v3_ext.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>

#include <cstring>
#include <mutex>
#include <string>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"

// SEQUENCE OF UTF8String: the wire form of issuerSignTool.
typedef STACK_OF(ASN1_UTF8STRING) SIGN_TOOL_DESCR;
ASN1_ITEM_TEMPLATE(SIGN_TOOL_DESCR) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0,
                                                            SIGN_TOOL_DESCR, ASN1_UTF8STRING)
    ASN1_ITEM_TEMPLATE_END(SIGN_TOOL_DESCR)

        namespace {
    constexpr const char* kSignToolNames[] = {"signTool", "cATool", "signToolCert", "cAToolCert"};
    constexpr int kSignToolStrings = 4;

    void raise_x509v3(const char* function, int lib, int reason) {
        ERR_new();
        ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, function);
        ERR_set_error(lib, reason, nullptr);
    }

    void raise_with_pair(int lib, int reason, const CONF_VALUE* cnf) {
        raise_x509v3("V2I_SIGN_TOOL_DESCR", lib, reason);
        ERR_add_error_data(6, "section:", cnf->section ? cnf->section : "",
                           ",name:", cnf->name ? cnf->name : "",
                           ",value:", cnf->value ? cnf->value : "");
    }

    int sign_tool_position(const char* name) {
        if (name == nullptr) return -1;
        for (int i = 0; i < kSignToolStrings; ++i)
            if (std::strcmp(name, kSignToolNames[i]) == 0) return i;
        return -1;
    }

}  // namespace

char* i2s_SUBJECT_SIGN_TOOL(X509V3_EXT_METHOD*, ASN1_UTF8STRING* value) {
    if (value == nullptr || ASN1_STRING_length(value) <= 0) return nullptr;
    return OPENSSL_strndup(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                           static_cast<size_t>(ASN1_STRING_length(value)));
}

ASN1_UTF8STRING* s2i_SUBJECT_SIGN_TOOL(X509V3_EXT_METHOD*, X509V3_CTX*, const char* text) {
    if (text == nullptr) return nullptr;
    const size_t len = std::strlen(text);
    if (len > 0x7fffffff) return nullptr;
    ossl::Utf8String s(ASN1_UTF8STRING_new());
    if (!s || !ASN1_STRING_set(s.get(), text, static_cast<int>(len))) {
        ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    return s.release();
}

STACK_OF(CONF_VALUE) * i2v_SIGN_TOOL_DESCR(X509V3_EXT_METHOD*, STACK_OF(ASN1_UTF8STRING) * value,
                                           STACK_OF(CONF_VALUE) * list) {
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(value); ++i) {
        const ASN1_UTF8STRING* s = sk_ASN1_UTF8STRING_value(value, i);
        std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<size_t>(ASN1_STRING_length(s)));
        // The multi-line printer writes names; a value would add a colon after each text.
        if (!X509V3_add_value(text.c_str(), nullptr, &list)) return list;
    }
    return list;
}

STACK_OF(ASN1_UTF8STRING) *
    V2I_SIGN_TOOL_DESCR(X509V3_EXT_METHOD*, X509V3_CTX*, STACK_OF(CONF_VALUE) * values) {
    ossl::Utf8Stack out(sk_ASN1_UTF8STRING_new_null());
    if (!out) {
        ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    for (int i = 0; i < sk_CONF_VALUE_num(values); ++i) {
        const CONF_VALUE* cnf = sk_CONF_VALUE_value(values, i);
        const int pos = sign_tool_position(cnf->name);
        if (pos < 0) {
            raise_with_pair(ERR_LIB_X509V3, X509V3_R_INVALID_NAME, cnf);
            return nullptr;
        }
        if (cnf->value == nullptr || *cnf->value == '\0') {
            raise_with_pair(objmap::err::library(), objmap::err::kEmptyValue, cnf);
            return nullptr;
        }
        ossl::Utf8String s(ASN1_UTF8STRING_new());
        if (!s || !ASN1_STRING_set(s.get(), cnf->value, -1) ||
            !sk_ASN1_UTF8STRING_insert(out.get(), s.get(),
                                       std::min(pos, sk_ASN1_UTF8STRING_num(out.get())))) {
            ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
            return nullptr;
        }
        s.release();
    }
    if (sk_ASN1_UTF8STRING_num(out.get()) != kSignToolStrings) {
        raise_x509v3("V2I_SIGN_TOOL_DESCR", objmap::err::library(),
                     objmap::err::kInvalidStringsNumber);
        return nullptr;
    }
    return out.release();
}

STACK_OF(CONF_VALUE) *
    i2v_SMIME_CAPS(X509V3_EXT_METHOD*, X509_ALGORS* caps, STACK_OF(CONF_VALUE) * list) {
    ossl::CnfStack made(list == nullptr ? sk_CONF_VALUE_new_null() : nullptr);
    STACK_OF(CONF_VALUE)* target = list != nullptr ? list : made.get();
    if (target == nullptr) return nullptr;
    for (int i = 0; i < sk_X509_ALGOR_num(caps); ++i) {
        const ASN1_OBJECT* obj = nullptr;
        X509_ALGOR_get0(&obj, nullptr, nullptr, sk_X509_ALGOR_value(caps, i));
        char name[1024], dotted[1024];
        i2t_ASN1_OBJECT(name, sizeof name, obj);
        OBJ_obj2txt(dotted, sizeof dotted, obj, 1);
        const std::string text = std::string(name) + " (" + dotted + ")";
        // A list we made is freed whole on failure; a caller's list stays the caller's.
        if (!X509V3_add_value(nullptr, text.c_str(), &target)) return nullptr;
    }
    made.release();
    return target;
}

X509_ALGORS* v2i_SMIME_CAPS(X509V3_EXT_METHOD*, X509V3_CTX*, STACK_OF(CONF_VALUE) * values) {
    ossl::Algors caps(sk_X509_ALGOR_new_null());
    if (!caps) {
        ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    for (int i = 0; i < sk_CONF_VALUE_num(values); ++i) {
        const CONF_VALUE* cnf = sk_CONF_VALUE_value(values, i);
        ossl::Asn1Object obj(cnf->name != nullptr ? OBJ_txt2obj(cnf->name, 0) : nullptr);
        if (!obj) {
            ERR_raise_data(ERR_LIB_X509V3, X509V3_R_INVALID_OBJECT_IDENTIFIER, "name=%s",
                           cnf->name ? cnf->name : "");
            return nullptr;
        }
        ossl::Algor alg(X509_ALGOR_new());
        if (!alg || !X509_ALGOR_set0(alg.get(), obj.get(), V_ASN1_UNDEF, nullptr)) {
            ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
            return nullptr;
        }
        obj.release();
        if (!sk_X509_ALGOR_push(caps.get(), alg.get())) {
            ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
            return nullptr;
        }
        alg.release();
    }
    return caps.release();
}

PKEY_USAGE_PERIOD* v2i_PKEY_USAGE_PERIOD(X509V3_EXT_METHOD*, X509V3_CTX*,
                                         STACK_OF(CONF_VALUE) * values) {
    if (sk_CONF_VALUE_num(values) != 1) {
        ERR_raise(ERR_LIB_X509V3, X509V3_R_INVALID_NUMBER);
        return nullptr;
    }
    ASN1_INTEGER* read_number = nullptr;
    if (!X509V3_get_value_int(sk_CONF_VALUE_value(values, 0), &read_number)) return nullptr;
    ossl::Asn1Integer number(read_number);
    int64_t days = 0;
    const bool read = ASN1_INTEGER_get_int64(&days, number.get()) == 1;
    // The day count goes to the time arithmetic as days, not as a 32-bit number of seconds, so
    // long periods cannot wrap; only the end of the calendar (year 9999) bounds them.
    if (!read || days <= 0 || days > 0x7fffffff) {
        ERR_raise(ERR_LIB_X509V3, X509V3_R_INVALID_NUMBER);
        return nullptr;
    }
    ossl::UsagePeriod period(PKEY_USAGE_PERIOD_new());
    const time_t now = time(nullptr);
    if (!period) {
        ERR_raise(ERR_LIB_X509V3, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    period->notBefore = ASN1_GENERALIZEDTIME_adj(nullptr, now, 0, 0);
    period->notAfter = ASN1_GENERALIZEDTIME_adj(nullptr, now, static_cast<int>(days), 0);
    if (period->notBefore == nullptr || period->notAfter == nullptr) {
        ERR_raise(ERR_LIB_X509V3, X509V3_R_INVALID_NUMBER);
        return nullptr;
    }
    return period.release();
}

namespace {

X509V3_EXT_METHOD g_subject_sign_tool{};
X509V3_EXT_METHOD g_issuer_sign_tool{};
X509V3_EXT_METHOD g_smime_caps{};
X509V3_EXT_METHOD g_usage_period{};
std::once_flag g_once;
int g_registered = 0;

void build_methods() {
    using objmap::Obj;
    g_subject_sign_tool.ext_nid = objmap::nid(Obj::subjectSignTool);
    g_subject_sign_tool.it = ASN1_ITEM_ref(ASN1_UTF8STRING);
    g_subject_sign_tool.i2s = reinterpret_cast<X509V3_EXT_I2S>(i2s_SUBJECT_SIGN_TOOL);
    g_subject_sign_tool.s2i = reinterpret_cast<X509V3_EXT_S2I>(s2i_SUBJECT_SIGN_TOOL);

    g_issuer_sign_tool.ext_nid = objmap::nid(Obj::issuerSignTool);
    g_issuer_sign_tool.ext_flags = X509V3_EXT_MULTILINE;
    g_issuer_sign_tool.it = ASN1_ITEM_ref(SIGN_TOOL_DESCR);
    g_issuer_sign_tool.i2v = reinterpret_cast<X509V3_EXT_I2V>(i2v_SIGN_TOOL_DESCR);
    g_issuer_sign_tool.v2i = reinterpret_cast<X509V3_EXT_V2I>(V2I_SIGN_TOOL_DESCR);

    g_smime_caps.ext_nid = NID_SMIMECapabilities;
    g_smime_caps.ext_flags = X509V3_EXT_MULTILINE;
    g_smime_caps.it = ASN1_ITEM_ref(X509_ALGORS);
    g_smime_caps.i2v = reinterpret_cast<X509V3_EXT_I2V>(i2v_SMIME_CAPS);
    g_smime_caps.v2i = reinterpret_cast<X509V3_EXT_V2I>(v2i_SMIME_CAPS);

    // Printing stays the library's own routine; building from days is the addition.
    g_usage_period.ext_nid = NID_private_key_usage_period;
    g_usage_period.it = ASN1_ITEM_ref(PKEY_USAGE_PERIOD);
    if (const X509V3_EXT_METHOD* builtin = X509V3_EXT_get_nid(NID_private_key_usage_period))
        g_usage_period.i2r = builtin->i2r;
    g_usage_period.v2i = reinterpret_cast<X509V3_EXT_V2I>(v2i_PKEY_USAGE_PERIOD);

    if (X509V3_EXT_get_nid(NID_SMIMECapabilities) == nullptr)
        g_registered = X509V3_EXT_add(&g_smime_caps);
    else
        g_registered = 1;
}

}  // namespace

int tvk_register_extensions() {
    std::call_once(g_once, build_methods);
    return g_registered;
}

const X509V3_EXT_METHOD* tvk_ext_method(int nid) {
    (void)tvk_register_extensions();
    for (const X509V3_EXT_METHOD* m :
         {&g_subject_sign_tool, &g_issuer_sign_tool, &g_smime_caps, &g_usage_period})
        if (nid != NID_undef && m->ext_nid == nid) return m;
    return X509V3_EXT_get_nid(nid);
}

namespace {

X509_EXTENSION* encode_extension(const X509V3_EXT_METHOD* m, int nid, int critical, void* value) {
    unsigned char* der = nullptr;
    const int len = ASN1_item_i2d(static_cast<ASN1_VALUE*>(value), &der, ASN1_ITEM_ptr(m->it));
    ossl::Bytes der_owner(der);
    if (len <= 0) return nullptr;
    ossl::OctetString oct(ASN1_OCTET_STRING_new());
    if (!oct || !ASN1_OCTET_STRING_set(oct.get(), der, len)) return nullptr;
    return X509_EXTENSION_create_by_NID(nullptr, nid, critical, oct.get());
}

}  // namespace

X509_EXTENSION* tvk_ext_nconf(CONF* conf, X509V3_CTX* ctx, const char* name, const char* value) {
    const int nid = name != nullptr ? OBJ_txt2nid(name) : NID_undef;
    if (nid == NID_undef || value == nullptr) {
        ERR_raise(ERR_LIB_X509V3, X509V3_R_UNKNOWN_EXTENSION_NAME);
        return nullptr;
    }
    const X509V3_EXT_METHOD* m = tvk_ext_method(nid);
    if (m != &g_subject_sign_tool && m != &g_issuer_sign_tool && m != &g_smime_caps &&
        m != &g_usage_period)
        return X509V3_EXT_nconf(conf, ctx, name, value);

    int critical = 0;
    if (std::strncmp(value, "critical,", 9) == 0) {
        critical = 1;
        value += 9;
        while (*value == ' ') ++value;
    }
    ossl::Asn1Value decoded = ossl::item_value(nullptr, ASN1_ITEM_ptr(m->it));
    if (m->s2i != nullptr) {
        decoded.reset(
            static_cast<ASN1_VALUE*>(m->s2i(const_cast<X509V3_EXT_METHOD*>(m), ctx, value)));
    } else {
        X509V3_set_nconf(ctx, conf);
        STACK_OF(CONF_VALUE)* values = nullptr;
        ossl::CnfStack parsed;
        ossl::CnfSection section(nullptr, ossl::SectionDeleter{ctx});
        if (*value == '@') {
            section.reset(X509V3_get_section(ctx, value + 1));
            values = section.get();
        } else {
            parsed.reset(X509V3_parse_list(value));
            values = parsed.get();
        }
        if (values == nullptr) {
            ERR_raise_data(ERR_LIB_X509V3, X509V3_R_INVALID_EXTENSION_STRING, "name=%s,section=%s",
                           name, value);
            return nullptr;
        }
        decoded.reset(
            static_cast<ASN1_VALUE*>(m->v2i(const_cast<X509V3_EXT_METHOD*>(m), ctx, values)));
    }
    if (!decoded) return nullptr;
    return encode_extension(m, nid, critical, decoded.get());
}

int tvk_ext_print(BIO* out, X509_EXTENSION* ext, int indent) {
    const X509V3_EXT_METHOD* m = tvk_ext_method(OBJ_obj2nid(X509_EXTENSION_get_object(ext)));
    if (m == nullptr || m->it == nullptr) return 0;
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    const unsigned char* p = ASN1_STRING_get0_data(data);
    ossl::Asn1Value owned =
        ossl::item_value(ASN1_item_d2i(nullptr, &p, ASN1_STRING_length(data), ASN1_ITEM_ptr(m->it)),
                         ASN1_ITEM_ptr(m->it));
    if (!owned) return 0;
    ASN1_VALUE* value = owned.get();
    int ok = 0;
    auto* self = const_cast<X509V3_EXT_METHOD*>(m);
    if (m->i2s != nullptr) {
        ossl::Text text(m->i2s(self, value));
        ok = text && BIO_printf(out, "%*s%s", indent, "", text.get()) > 0;
    } else if (m->i2v != nullptr) {
        ossl::CnfStack list(m->i2v(self, value, nullptr));
        if (list) {
            X509V3_EXT_val_prn(out, list.get(), indent, m->ext_flags & X509V3_EXT_MULTILINE);
            ok = 1;
        }
    } else if (m->i2r != nullptr) {
        ok = m->i2r(self, value, out, indent);
    }
    return ok;
}
