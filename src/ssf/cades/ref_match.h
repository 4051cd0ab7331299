// Matching CAdES references against the values they name: CRL and OCSP references of the
// revocation-references attribute against the revocation values, certificate identifiers (of
// the certificate references and of the ESS signed attributes) against certificates.
// Matchers answer 1 (match) or 0; the comparators 0 (equal) or non-zero. A reference whose hash
// algorithm names no digest the crypto library knows matches nothing.
#pragma once

#include <openssl/x509.h>

#include "cryptoext/ess_types.h"
#include "ssf/cades/cades_types.h"

namespace ssf {

// 0 when the first directoryName of the identifier's issuer and its serial equal the given
// issuer name and serial number, -1 otherwise (also for null arguments).
int ssf_ISSUER_SERIAL_cmp(const ISSUER_SERIAL* ias, const X509_NAME* issuer,
                          const ASN1_INTEGER* serial);
// 1 when the identifier's digest (and issuer and serial, when present) name the certificate.
int certid_and_cert_match(const OTHERCERTID* certid, X509* cert);
// 1 when a certificate of the list matches the identifier; 0 otherwise (also for no list).
int find_cert_in_list(const OTHERCERTID* certid, STACK_OF(X509) * certs);

// 1 when the CRL's digest equals crlHash and, when crlIdentifier is there, its issuer and
// thisUpdate (and the cRLNumber, when the reference has one) equal the reference's.
int crlid_and_crl_match(const CRL_VALIDATED_ID* crlid, X509_CRL* crl);
int find_crl_in_list(const CRL_VALIDATED_ID* crlid, STACK_OF(X509_CRL) * crls);

// 0 when both identifiers are the same alternative with equal contents, 1 otherwise.
int ssf_OCSP_RESPID_cmp(const RESPONDER_ID* a, const RESPONDER_ID* b);
// 1 when responder and producedAt equal the response's and, when ocspRepHash is there, the
// digest of the response's DER equals it.
int ocspid_and_ocsp_match(const OCSP_RESPONSES_ID* ocspid, OCSP_BASICRESP* bs);
int find_ocsp_in_list(const OCSP_RESPONSES_ID* ocspid, STACK_OF(OCSP_BASICRESP) * ocsps);

// Every reference of the SignerInfo's revocation-references and certificate-references
// attributes (each when present) must find its value in the revocation-values and
// certValues attributes; values without references are allowed. cert_values: the certValues as
// the caller read them (read_cert_values), none when the attribute is missing or does not decode.
// 0, or 119 (SSF_RESULT_ES_REFS_MISMATCH) for a missing value, a missing value attribute or an
// undecodable one.
int check_rev_and_cert_refs_and_vals(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * cert_values);

}  // namespace ssf
