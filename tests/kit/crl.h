// CRLs and delta CRLs for the tests, and certificates that name where their CRLs are: made at
// run time with any key the library's engines know (RSA, EC, GOST R 34.10-2001 and 2012).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/certs.h"

namespace test_pki {

// An issuingDistributionPoint, which limits what a CRL covers.
struct IdpSpec {
    bool only_user = false, only_ca = false, only_attr = false, indirect = false;
    std::vector<int> reasons;  // onlySomeReasons: ReasonFlags bit numbers (2: cACompromise)
    std::string point;         // distributionPoint: one full-name URI,
    std::string relative;      // or a CN relative to the CRL's issuer,
    std::string directory;     // or a full-name directoryName: the issuer's name and this CN
};

// An extension of any identifier, its value given as DER.
struct RawExt {
    std::string oid;  // dotted
    std::string der;  // the value inside extnValue
    bool critical = true;
};

// A revoked entry; reason: its reasonCode (CRL_REASON_*), none when negative.
struct Revoked {
    long serial;
    time_t when;
    int reason = -1;
};

struct CrlSpec {
    const Entity* issuer = nullptr;  // names the CRL and, unless sign_key is given, signs it
    EVP_PKEY* sign_key = nullptr;    // a key other than the issuer's
    time_t last_update = 0;          // 0: a day ago
    time_t next_update = 0;          // 0: a week from last_update
    bool no_next_update = false;     // leaves nextUpdate out
    std::vector<Revoked> revoked;
    long number = 1;                    // cRLNumber; negative: none
    long delta_of = -1;                 // >= 0: a delta CRL of that base CRL number
    std::vector<std::string> freshest;  // freshestCRL URIs, one point each
    bool generalized_time = false;      // thisUpdate and nextUpdate as GeneralizedTime in any year
    bool key_id = false;                // authorityKeyIdentifier: the issuer's key identifier
    std::optional<IdpSpec> idp;         // critical, as RFC 5280 has it
    std::vector<RawExt> exts;           // after all of the above
    std::vector<RawExt> entry_exts;     // on every revoked entry
};
ossl::X509Crl make_crl(const CrlSpec& spec);

std::string crl_der(X509_CRL* crl);
std::string crl_pem(X509_CRL* crl);

// One distribution point: a full-name URI, and the reasons (ReasonFlags bit numbers) it is
// limited to, none for all.
struct PointSpec {
    std::string uri;  // with relative: a CN relative to the certificate's issuer
    std::vector<int> reasons;
    bool relative = false;
    PointSpec(std::string u, std::vector<int> r = {}, bool rel = false)
        : uri(std::move(u)), reasons(std::move(r)), relative(rel) {}
    PointSpec(const char* u) : uri(u) {}
};

// Adds cRLDistributionPoints (or, with freshest, freshestCRL) with the points in order and signs
// the certificate again with issuer's key (its own when issuer is none) and its digest.
void add_crl_points(Entity& e, const Entity* issuer, const std::vector<PointSpec>& points,
                    bool freshest = false);

}  // namespace test_pki
