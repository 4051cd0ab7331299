// Time-stamp token checks: a token must verify against its data, its TSA's certificate must chain
// to a trusted root at the right time, and the revocation information that its kind requires must
// be there and valid. Also where a signer's or a TSA's certificate comes from, whether a chain's
// root is trusted, and the loading of "common:ca_file" into a store.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <ctime>

#include "cryptoext/ossl.h"
#include "ssf/ssf_api.h"

namespace ssf {

// Kinds of time-stamp tokens; each has its own code for a token or TSA chain that fails.
enum TimestampKind : int {
    kSignatureTimestamp = 1,  // over a signature value: 118
    kEscTimestamp = 2,        // over the ES-C data: 123
    kArchiveTimestamp = 3,    // over the archive data: 125
};
// 118, 123 or 125 by kind; 28 for any other kind.
int timestamp_failure_code(int kind);

// The DER token checked over data (or over nothing), see ssf_verify_TS_token; tsa (when given)
// is the TSA's certificate as the caller already chose it from the token (ssf_get_ts_cert), and
// the check uses it rather than choosing again. *gen_time (when given) receives a copy of the
// token's genTime as soon as it has been decoded. -1 for a token that does not decode, 114 for
// one without a TSTInfo, else the token check's code.
[[nodiscard]] int ssf_verify_TS(const ASN1_STRING* token_der, const ASN1_STRING* data,
                                X509_STORE* store, int kind, ossl::Asn1Time* gen_time,
                                STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when,
                                X509* tsa = nullptr);

// A copy of the TSA's certificate: the token's first SignerInfo names it, found in its certValues
// attribute or among the token's certificates, as ssf_verify_TS_token chooses it. None otherwise.
[[nodiscard]] ossl::X509Ptr ssf_get_ts_cert(PKCS7* token);

// The SignerInfo's certificate (by issuer and serial number): from values (its certValues as the
// caller read them), else from the given certificates. None otherwise, and none with *ambiguous
// (when given) when two different certificates of either answer to it (sole_signer).
[[nodiscard]] ossl::X509Ptr ssf_find_signer_in_attrs(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * values,
                                                     STACK_OF(X509) * certs,
                                                     bool* ambiguous = nullptr);
// The certificate with that issuer and serial number among the directory's certificates, or none.
[[nodiscard]] ossl::X509Ptr ssf_find_cert_in_pab(const PKCS7_ISSUER_AND_SERIAL* iasn,
                                                 STACK_OF(X509) * pab_certs, const char* dir);

// Whether the root of a checked chain is trusted: 1 when, with directory certificates, it is one
// of them or the certificate web service gives an identical one (which is then appended to them),
// and the store or own (certificates of this call alone) holds it; without directory certificates,
// when the store holds that very certificate (a namesake does not count, nor do own ones). Else
// 0. The store is only read.
[[nodiscard]] int find_certificate_in_trusted_root(X509* cert, X509_STORE* store,
                                                   STACK_OF(X509) * pab_certs,
                                                   STACK_OF(X509) * own = nullptr);

// Adds the certificates and CRLs of "common:ca_file" to the store. 0 (also without the key), or -1.
int AddCACertsToStore(X509_STORE* store);

// Kind 1: the token's references must find their values, and every intermediate CA of the TSA's
// checked chain (not the TSA, not the root) must be cleared by the token's own CRLs at *when (now
// when null), each counted only when signed by the CA's issuer in that chain. cert_values: the
// token's certValues as the token check read them. 0, 28 or 114.
[[nodiscard]] int verify_signature_timestamp_rev_status(PKCS7_SIGNER_INFO* si,
                                                        STACK_OF(X509) * chain, const time_t* when,
                                                        STACK_OF(X509) * cert_values);
// Kind 3: the archive token's SignerInfo checked as an enhanced SignerInfo without time stamps at
// the token's genTime, for tsa (the certificate the token was verified with) among values (its
// certValues as the token check read them), with the root trusted as the token's was (the
// directory certificates, else the store).
[[nodiscard]] int verify_archive_timestamp_rev_status(PKCS7_SIGNER_INFO* si,
                                                      const ASN1_GENERALIZEDTIME* gen_time,
                                                      X509* tsa, const ossl::X509Stack& values,
                                                      X509_STORE* store,
                                                      STACK_OF(X509) * pab_certs);

// The token (a PKCS#7 SignedData with its TSTInfo; tst_info may be null) checked over data (or
// over nothing) for a kind of time stamp. One TSA certificate is chosen, by the SignerInfo's
// issuer and serial number among the certValues and the token's certificates; its chain over
// store at `when` (null: the token's genTime when "common:verify_use_signing_time" is on, else
// now), with the token's certificates as untrusted help, to a root that
// find_certificate_in_trusted_root accepts; then the ESS attribute over that chain, the signature
// with that certificate, version and TSA name, and the kind's revocation check on that chain. A
// self-signed certValues certificate may end the chain only when directory certificates are
// given (and then must be one of them). 0; the kind's code (118, 123, 125, or 28 for an unknown
// kind) when the chain or the token does not verify, or when the token carries two different
// certificates with the TSA's issuer and serial number; 4, 13 (unknown kind), 114, 115, or -1.
// store is only read, so threads may share it, each checking at its own time. Adds the TSA's
// certificate to the token when it lacks it.
// The exported ssf_verify_TS_token (ssf/exports.h) runs it once start-up has succeeded.
int verify_ts_token(PKCS7* p7, TS_TST_INFO* tst_info, const ASN1_STRING* data, X509_STORE* store,
                    int kind, STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when,
                    X509* tsa = nullptr);

}  // namespace ssf
