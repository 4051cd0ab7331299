// CAdES verification of an enhanced SignerInfo: the signature, the ESS signing-certificate
// attribute, the signature time stamp, the signer's path at that stamp's time with revocation
// taken only from the stored values, the ES-C time stamp, references against values, and every
// stored certificate valid at the ES-C time. Chains are built from the certValues certificates
// alone; the root is trusted as find_certificate_in_trusted_root decides with the directory
// certificates.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "cryptoext/ossl.h"
#include "ssf/cades/cades_types.h"

namespace ssf {

// The certificates of a SignerInfo's certValues attribute: the one reader of them, so that every
// step of a verification works on the same certificates. None when the attribute is missing or
// does not decode; then, with fn, a line under that function's name says which.
[[nodiscard]] ossl::X509Stack read_cert_values(PKCS7_SIGNER_INFO* si, const char* fn = nullptr);

// A SignerInfo's certValues as read once, and the certificate among them that the SignerInfo
// names by issuer and serial number: the one every step of its verification checks.
struct CertValues {
    ossl::X509Stack certs;
    X509* signer = nullptr;  // borrowed from certs
    bool ambiguous = false;  // two different certificates answer to the issuer and serial number
};
// The signer's own certificate among the certValues (logged under this name when it is not
// there or not decided).
[[nodiscard]] CertValues ssf_GetSubjectCertificateFromAttrs(PKCS7_SIGNER_INFO* si);

// Archive time stamps first (newest to oldest), then the signature over the data stream with the
// certValues certificate of the SignerInfo's issuer and serial, then the attributes at the
// oldest archive stamp's time, all with that one certificate. signer (when given) is the
// certificate the caller reports: it must be that one (else 117). Two different certValues
// certificates answering to the issuer and serial: 27. values: the certValues as the caller read
// them (none: read here). 0 or a result code (116, 117, 27, ...).
[[nodiscard]] int VerifyEnhancedSignature(BIO* data, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                                          STACK_OF(X509) * pab_certs,
                                          const CertValues* values = nullptr);

// The CAdES attributes; without_timestamps 1 checks a SignerInfo that carries references and
// values but no time stamps at `when` (now when null). 0 or a result code.
[[nodiscard]] int VerifyEnhancedSignatureAttributes(PKCS7_SIGNER_INFO* si, int without_timestamps,
                                                    STACK_OF(X509) * pab_certs,
                                                    const ASN1_GENERALIZEDTIME* when);
// The same without time stamps for a signer already chosen (an archive token's TSA, whose
// signature was verified with that certificate) among certs, the certValues its caller read:
// with directory certificates they decide the roots' trust; without, only the certificates of
// anchors do.
[[nodiscard]] int verify_signer_attributes(PKCS7_SIGNER_INFO* si, X509* signer,
                                           const ossl::X509Stack& certs, X509_STORE* anchors,
                                           STACK_OF(X509) * pab_certs,
                                           const ASN1_GENERALIZEDTIME* when);

// The signature time stamp over the signature value: 0, 118 or the token check's code.
[[nodiscard]] int ssf_verify_timeStampToken(PKCS7_SIGNER_INFO* si, X509_STORE* store,
                                            ossl::Asn1Time* gen_time, STACK_OF(X509) * pab_certs,
                                            const ASN1_GENERALIZEDTIME* when);
// The ES-C time stamp over the ES-C data with tags, else without them: 0 or 123.
[[nodiscard]] int ssf_verify_escTimeStamp(PKCS7_SIGNER_INFO* si, X509_STORE* store,
                                          ossl::Asn1Time* gen_time, STACK_OF(X509) * pab_certs,
                                          const ASN1_GENERALIZEDTIME* when);

// The signer's chain over store at `time` (now when null), each certificate but the root cleared
// by the stored revocation values, the root trusted. 0 or a result code.
[[nodiscard]] int ssf_verify_cert(X509_STORE* store, X509* cert, STACK_OF(X509) * certs,
                                  STACK_OF(X509) * pab_certs, PKCS7_SIGNER_INFO* si,
                                  const ASN1_GENERALIZEDTIME* time);

// Status of cert from the stored values at `time`: by OCSP when its authorityInfoAccess names a
// responder (whose root is trusted as find_certificate_in_trusted_root decides with pab_certs),
// else by the stored CRLs of its issuer. 0, 27, 105, 106, 107, 110, or -1.
[[nodiscard]] int get_cert_status(X509* cert, X509* issuer, STACK_OF(X509) * certs,
                                  const ASN1_GENERALIZEDTIME* time, X509_STORE* store,
                                  REVOCATION_VALUES* rev_vals, STACK_OF(X509) * pab_certs);

// OCSP_basic_verify_time with the response's first certificate and copies of certs as the
// untrusted list, the responder's chain ending at a root find_certificate_in_trusted_root accepts
// with pab_certs (0 otherwise), with OCSP_NOCHECKS too. On success *signer, when asked for, is
// the certificate the response was verified with (owned by bs or certs).
[[nodiscard]] int SSF_OCSP_basic_verify(const ASN1_GENERALIZEDTIME* time, OCSP_BASICRESP* bs,
                                        STACK_OF(X509) * certs, X509_STORE* store,
                                        unsigned long flags, X509** signer = nullptr,
                                        STACK_OF(X509) * pab_certs = nullptr);

// 1 when every certificate's validity period holds the time (an empty list passes), else 0.
[[nodiscard]] int check_certs_validity(STACK_OF(X509) * certs, const ASN1_GENERALIZEDTIME* time);

}  // namespace ssf
