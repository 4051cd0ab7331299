// CAdES enhancement: a signature becomes CAdES-X Long Type 1 by unsigned attributes appended to its
// SignerInfo, in this order: the signature time stamp, the revocation values and references of the
// signer's path, the certificate values and references, and the ES-C time stamp. Each attribute is
// set in place of one of its type already there, so enhancing again keeps one of each.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <optional>
#include <string>

#include "cryptoext/ossl.h"
#include "ssf/ssf_api.h"

namespace ssf {

// Enhances one SignerInfo whose signer is cert; chains are built over store alone (it must hold
// the intermediate and root certificates). 0, 4, 27, -1, or the code of the failing step.
[[nodiscard]] int EnhanceSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store);

// Enhances every SignerInfo, the i-th with the i-th certificate; a failure becomes the i-th
// record's result and the call's 5, and the others are still enhanced. 0 or 5.
[[nodiscard]] int EnhanceAllSignatures(PKCS7* p7, STACK_OF(X509) * certs, SigRcpSsfInfoList signers,
                                       X509_STORE* store);

// The signature time stamp (over the signature value) as attribute 1; the TSA's certificate and
// the generation time come back. 0 or make_time_stamp's code.
[[nodiscard]] int add_timeStampToken_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md,
                                               X509_STORE* store, ossl::X509Ptr* tsa_cert,
                                               ossl::Asn1Time* ts_time);

// certValues (every certificate of every listed certificate's chain, without duplicates) and
// CertificateRefs (one identifier under md per certificate, same order), both or neither.
// *added receives the certificates. 1 or -1.
[[nodiscard]] int add_certValues_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md,
                                           STACK_OF(X509) * certs, X509_STORE* store,
                                           ossl::X509Stack* added);

// The ES-C time stamp over the ES-C data with tags as attribute 6. 0 or make_time_stamp's code.
[[nodiscard]] int add_escTimeStamp_attribute(PKCS7_SIGNER_INFO* si, const EVP_MD* md,
                                             X509_STORE* store, ossl::Asn1Time* esc_time);

// The signature value's octets, then the DER of the timeStampToken, CertificateRefs and
// RevocationRefs attributes: whole (with tags), or each without its outer tag and length octets.
// None when an attribute is missing.
[[nodiscard]] std::optional<std::string> make_esc_timestamp_data(PKCS7_SIGNER_INFO* si,
                                                                 bool with_tags);

}  // namespace ssf
