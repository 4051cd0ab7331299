// OCSP basic responses signed by the kit's responders: responder id by name or by key, chosen
// producedAt, thisUpdate and nextUpdate, good, revoked or unknown single responses.
#pragma once

#include <vector>

#include "kit/certs.h"

namespace test_pki {

enum class CertStatus { good, revoked, unknown };

struct SingleSpec {
    const Entity* cert = nullptr;
    const Entity* issuer = nullptr;
    CertStatus status = CertStatus::good;
    time_t this_update = 0;         // 0: producedAt
    time_t next_update = 0;         // 0: absent
    time_t revoked_at = 0;          // revoked only; 0: a day before thisUpdate
    int reason = -1;                // revoked only; -1: no reason
    const EVP_MD* id_md = nullptr;  // CertID hash; nullptr: SHA-1
};

struct OcspSpec {
    const Entity* responder = nullptr;
    bool by_key = false;     // responder id: key hash instead of name
    time_t produced_at = 0;  // 0: now
    std::vector<SingleSpec> singles;
    bool with_certs = true;            // the responder's certificate inside the response
    std::vector<const Entity*> chain;  // further certificates inside it (with_certs)
    std::vector<const Entity*> ahead;  // certificates inside it before all of the above
    const EVP_MD* md = nullptr;        // signature digest; nullptr: digest_for(responder key)
};

// A signed basic response, or throws.
ossl::OcspBasicResp make_basic(const OcspSpec& spec);
// An OCSPResponse of status successful wrapping (a copy of) the basic response.
ossl::OcspResponse make_ocsp_response(OCSP_BASICRESP* bs);

Der to_der(OCSP_BASICRESP* bs);
Der to_der(OCSP_RESPONSE* resp);

}  // namespace test_pki
