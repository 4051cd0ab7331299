// The ESS signing-certificate checks of a SignerInfo, and the test for a CAdES-enhanced one.
#pragma once

#include <openssl/pkcs7.h>

namespace ssf {

// The object number of the signing-certificate-v2 attribute (registered at start-up).
int signing_cert_v2_nid();
// 1 when the SignerInfo carries a signing-certificate-v2 signed attribute, else 0.
int has_signing_cert_v2(PKCS7_SIGNER_INFO* si);
// 1 when the first identifier of the otherSigCert and of the signing-certificate-v2 attribute
// (each when present, at least one of them) names cert; else 0.
int check_ess_signing_cert(PKCS7_SIGNER_INFO* si, X509* cert);
// 1 when the SignerInfo carries the CAdES-X Long Type 1 attributes (without the two time stamps
// when without_timestamps is 1), else 0.
int is_enhanced_signature(PKCS7_SIGNER_INFO* si, int without_timestamps);

}  // namespace ssf
