// Matching certificate identifiers of signed attributes against certificates.
#pragma once

#include <openssl/x509.h>

#include "cryptoext/ess_types.h"

namespace ssf {

// 0 when the first directoryName of the identifier's issuer and its serial equal the given
// issuer name and serial number, -1 otherwise (also for null arguments).
int ssf_ISSUER_SERIAL_cmp(const ISSUER_SERIAL* ias, const X509_NAME* issuer,
                          const ASN1_INTEGER* serial);
// 1 when the identifier's digest (and issuer and serial, when present) name the certificate.
int certid_and_cert_match(const OTHERCERTID* certid, X509* cert);

}  // namespace ssf
