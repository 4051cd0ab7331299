// Certificate extensions: subjectSignTool, issuerSignTool, smimeCapabilities, and
// privateKeyUsagePeriod built from a number of days.
//
// The crypto library has built-in methods for subjectSignTool, issuerSignTool and
// privateKeyUsagePeriod, and its lookups by identifier always find the built-in one first. Ours
// are reached through tvk_ext_method (and tvk_ext_nconf / tvk_ext_print built on it); the
// smimeCapabilities method, which the library lacks, is also added to its table.
#pragma once

#include <openssl/x509v3.h>

// The methods' conversions.
char* i2s_SUBJECT_SIGN_TOOL(X509V3_EXT_METHOD* method, ASN1_UTF8STRING* value);
ASN1_UTF8STRING* s2i_SUBJECT_SIGN_TOOL(X509V3_EXT_METHOD* method, X509V3_CTX* ctx,
                                       const char* text);
STACK_OF(CONF_VALUE) * i2v_SIGN_TOOL_DESCR(X509V3_EXT_METHOD* method,
                                           STACK_OF(ASN1_UTF8STRING) * value,
                                           STACK_OF(CONF_VALUE) * list);
STACK_OF(ASN1_UTF8STRING) *
    V2I_SIGN_TOOL_DESCR(X509V3_EXT_METHOD* method, X509V3_CTX* ctx, STACK_OF(CONF_VALUE) * values);
STACK_OF(CONF_VALUE) *
    i2v_SMIME_CAPS(X509V3_EXT_METHOD* method, X509_ALGORS* caps, STACK_OF(CONF_VALUE) * list);
X509_ALGORS* v2i_SMIME_CAPS(X509V3_EXT_METHOD* method, X509V3_CTX* ctx,
                            STACK_OF(CONF_VALUE) * values);
PKEY_USAGE_PERIOD* v2i_PKEY_USAGE_PERIOD(X509V3_EXT_METHOD* method, X509V3_CTX* ctx,
                                         STACK_OF(CONF_VALUE) * values);

// Adds the smimeCapabilities method to the library's table; once per process. 1 on success.
[[nodiscard]] int tvk_register_extensions();

// Our method for the four extensions, the library's for any other identifier.
const X509V3_EXT_METHOD* tvk_ext_method(int nid);

// Builds an extension from configuration text ("critical," prefix, "@section" or inline
// "name:value,..." lists) with the method above; nullptr with an error queued on failure.
X509_EXTENSION* tvk_ext_nconf(CONF* conf, X509V3_CTX* ctx, const char* name, const char* value);

// Prints an extension's value with the method above; 1 printed, 0 failed.
int tvk_ext_print(BIO* out, X509_EXTENSION* ext, int indent);
