// The library's exports beside the SAP interface (ssf/ssf_api.h): the two server setters, the
// revision text, and the time-stamp token check that hosts call outside the interface.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include "ssf/export.h"

SSF_API void set_tsp_server(const char* text);
SSF_API void set_ocsp_server(const char* text);
SSF_API const char* get_ssf_svn_info();

// The token checked as ssf::verify_ts_token (ssf/cades/ts_check.h) says. It takes no lock. While
// start-up has not succeeded it tries start-up again, and refuses with 1 when that fails too: a
// check on default settings would not be the check the configuration asks for.
SSF_API int ssf_verify_TS_token(PKCS7* p7, TS_TST_INFO* tst_info, const ASN1_STRING* data,
                                X509_STORE* store, int kind, STACK_OF(X509) * pab_certs,
                                const ASN1_GENERALIZEDTIME* when);
