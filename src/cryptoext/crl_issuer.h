// Finding the certificate that issued a CRL among the certificates a store already holds.
#pragma once

#include <openssl/x509.h>

// 1 when cert issued crl (names, and the CRL's authority key identifier as the crypto library
// checks it), else 0.
int X509_check_crl_issuer(X509* cert, X509_CRL* crl);
// 1 with the issuer in *out (reference raised; free with X509_OBJECT_free), -1 when none.
int X509_STORE_CTX_get_crl_issuer(X509_STORE_CTX* ctx, X509_CRL* crl, X509_OBJECT** out);
