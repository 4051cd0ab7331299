#include "ssf/cades_pending.h"

#include "ssf/codes.h"
#include "ssf/log.h"
#include "ssf/records.h"

namespace ssf {

int EnhanceAllSignatures(PKCS7*, STACK_OF(X509) *, SigRcpSsfInfoList signers, X509_STORE*) {
    log_error("%s() : CAdES enhancement is not available in this version", "EnhanceAllSignatures");
    set_list_results(signers, kCadesPendingResult);
    return SSF_RC_SIGNER_FAILED;
}

int EnhanceSignature(PKCS7*, PKCS7_SIGNER_INFO*, X509*, X509_STORE*) {
    log_error("%s() : CAdES enhancement is not available in this version", "EnhanceSignature");
    return kCadesPendingResult;
}

int VerifyEnhancedSignatureAttributes(PKCS7_SIGNER_INFO*, int, STACK_OF(X509) *,
                                      const ASN1_GENERALIZEDTIME*) {
    log_error("%s() : CAdES verification is not available in this version",
              "VerifyEnhancedSignatureAttributes");
    return kCadesPendingResult;
}

int VerifyEnhancedSignature(BIO*, PKCS7*, PKCS7_SIGNER_INFO*, STACK_OF(X509) *) {
    log_error("%s() : CAdES verification is not available in this version",
              "VerifyEnhancedSignature");
    return kCadesPendingResult;
}

}  // namespace ssf
