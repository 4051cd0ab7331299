// Verification results: the record that describes one verified SignerInfo.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "ssf/ssf_api.h"

namespace ssf {

// A new result record in *record_out (placed there at once, also when a later step fails):
// identity, certificate DER, description text with the serial number, and result. si and cert
// may be null. 0, or 6 when memory runs out.
int set_profile_data(bool enhanced, SigRcpSsfInfo** record_out, PKCS7_SIGNER_INFO* si, X509* cert,
                     int result);

}  // namespace ssf
