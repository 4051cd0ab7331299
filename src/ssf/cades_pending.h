// The CAdES enhancement ("PKCS7_CADES", "CADES_XLT1") and the CAdES verification of enhanced
// SignerInfos (archive time-stamp tokens included) come with their own work. Until then these
// stand in for them, and this is the one place that answers for them: each writes a line saying
// so, and gives the signature up as not made or not accepted (result 27), never as valid.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "ssf/ssf_api.h"

namespace ssf {

inline constexpr SAP_UINT kCadesPendingResult = 27;

// Sets every record's result to 27; 5.
int EnhanceAllSignatures(PKCS7* p7, STACK_OF(X509) * certs, SigRcpSsfInfoList signers,
                         X509_STORE* store);
// 27.
int EnhanceSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store);
// The check of an enhanced SignerInfo's CAdES attributes (archive time-stamp tokens reach it
// from ssf_verify_TS_token); 27.
int VerifyEnhancedSignatureAttributes(PKCS7_SIGNER_INFO* si, int without_timestamps,
                                      STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when);
// 27.
int VerifyEnhancedSignature(BIO* data, PKCS7* p7, PKCS7_SIGNER_INFO* si,
                            STACK_OF(X509) * pab_certs);

}  // namespace ssf
