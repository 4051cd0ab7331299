// Revocation values and references that CAdES attributes carry: references to CRLs and OCSP
// responses, the CRLs of a TSA's intermediate CAs added to a signature time-stamp token, and the
// revocation values and references of a signer's certificate path.
#pragma once

#include <string>
#include <vector>

#include "cryptoext/ossl.h"
#include "ssf/cades/cades_types.h"

namespace ssf {

// A reference to the CRL: its digest under md, its issuer, thisUpdate (a UTCTime wherever one can
// hold the date, else a GeneralizedTime) and its cRLNumber when it has one. None on failure.
[[nodiscard]] CrlValidatedId make_crl_id(X509_CRL* crl, const EVP_MD* md);

// A reference to the basic response: its responder and producedAt, and the digest under md of its
// DER. None on failure.
[[nodiscard]] OcspResponsesId make_ocsp_resp_id(OCSP_BASICRESP* bs, const EVP_MD* md);

// Sets unsigned attributes, each holding one DER SEQUENCE, each in place of one of its type (else
// appended): all of them, or none when memory runs out.
struct SequenceAttribute {
    int nid;
    std::string der;
};
[[nodiscard]] bool set_sequence_attributes(PKCS7_SIGNER_INFO* si,
                                           const std::vector<SequenceAttribute>& attrs);

// The revocation values (OCSP responses, else CRLs and delta CRLs, obtained after the time stamp
// at ts_time) and their references for every certificate of cert's chain over store but the
// root, set as the revocationValues and RevocationRefs attributes: both or, on failure, neither.
// The responders' certificates, each issuer and each certificate join certs_to_add (when not
// listed yet). 0; 13, 120, 116 (a value that cannot be referenced), 4, or get_revValue's code.
[[nodiscard]] int add_revValues_attribute(PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store,
                                          const EVP_MD* md, const ASN1_GENERALIZEDTIME* ts_time,
                                          STACK_OF(X509) * certs_to_add);

// Appends what is not listed yet (the crypto library's certificate comparison). 1, or 0 when
// memory runs out.
int add_cert_if_absent(STACK_OF(X509) * certs, X509* cert);
int add_certs_if_absent(STACK_OF(X509) * certs, STACK_OF(X509) * more);

// Completes a signature time-stamp token: when the TSA's chain over the store has intermediate
// CAs, their CRLs (and delta CRLs) become the token SignerInfo's revocationValues and, referenced
// under md, its RevocationRefs. 0 (nothing added for a chain of two), 114 or 115.
[[nodiscard]] int AddTimestampRevocationValues(const EVP_MD* md, PKCS7* token, X509* tsa_cert,
                                               X509_STORE* store);

}  // namespace ssf
