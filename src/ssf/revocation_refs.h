// Revocation values and references that CAdES attributes carry: references to CRLs, and the CRLs
// of a TSA's intermediate CAs added to a signature time-stamp token.
#pragma once

#include "cryptoext/ossl.h"
#include "ssf/cades_types.h"

namespace ssf {

// A reference to the CRL: its digest under md, its issuer, thisUpdate (as UTCTime) and its
// cRLNumber when it has one. None on failure.
[[nodiscard]] CrlValidatedId make_crl_id(X509_CRL* crl, const EVP_MD* md);

// Completes a signature time-stamp token: when the TSA's chain over the store has intermediate
// CAs, their CRLs (and delta CRLs) become the token SignerInfo's revocationValues and, referenced
// under md, its RevocationRefs. 0 (nothing added for a chain of two), 114 or 115.
[[nodiscard]] int AddTimestampRevocationValues(const EVP_MD* md, PKCS7* token, X509* tsa_cert,
                                               X509_STORE* store);

}  // namespace ssf
