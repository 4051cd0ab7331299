// The OCSP client of the CAdES enhancement: proof that a certificate was not revoked after a
// signature's time stamp, as an OCSP response from the responders that the certificate's
// authorityInfoAccess names (directly or through the configured proxy, over http or https),
// accepted only when produced after the time stamp; CRLs when the certificate names no
// responder. Also the freshness rule that the verification applies to stored responses.
#pragma once

#include <ctime>
#include <optional>
#include <vector>

#include "cryptoext/ossl.h"

namespace ssf {

// 0 when both are null or issuerNameHash, issuerKeyHash and serialNumber are all equal (the hash
// algorithms are not compared), else -1.
int ssf_OCSP_CERTID_cmp(const OCSP_CERTID* a, const OCSP_CERTID* b);

// 1 when a response is fresh for a time stamp at ts_time, 0 otherwise (times in seconds; no
// nextUpdate: null). *pause (when given) is how long to wait before asking again, or -1 when
// waiting cannot help.
int ocsp_resp_is_good(time_t ts_time, time_t produced_at, time_t this_update,
                      const ASN1_GENERALIZEDTIME* next_update, int* pause);

// The first SingleResponse of an OCSPResponse with the basic response that holds it.
struct SingleResp {
    ossl::OcspBasicResp basic;
    OCSP_SINGLERESP* single = nullptr;
    const ASN1_GENERALIZEDTIME* produced_at = nullptr;
};
// None when the response has no basic response, no producedAt or no SingleResponse, or is
// signed with GOST R 34.10-2001 and produced after the cut-off.
[[nodiscard]] std::optional<SingleResp> get_SINGLE_RESP(OCSP_RESPONSE* resp);

// The OCSP exchange at url: 0 with *out set, 13, 103, 104, 105 or -1.
[[nodiscard]] int get_OCSP_response(OCSP_REQUEST* req, const char* url, ossl::OcspResponse* out);

// When the response carries certificates, the certificates of "common:ca_file" join the store
// (its responder's chain is checked against them). 1.
int add_ocsp_certs_to_store(OCSP_BASICRESP* bs, X509_STORE* store);

// Revocation status of cert (issued by issuer) after the time stamp at ts_time (now when null),
// the CertID hashed with md. 0 with either the OCSP outputs (responder certificate and basic
// response; each optional) or the CRLs that cleared it with their deltas (check_for_revocation;
// required) set; otherwise
// 4, 103, 104, 105, 106 (revoked), 107 (unknown, or no revocation information), 109 (clocks too
// far apart) or -1.
[[nodiscard]] int get_revValue(X509* cert, X509* issuer, X509_STORE* store, const EVP_MD* md,
                               const ASN1_GENERALIZEDTIME* ts_time, ossl::X509Ptr* ocsp_cert,
                               ossl::OcspBasicResp* ocsp_resp, std::vector<ossl::X509Crl>* crls);

}  // namespace ssf
