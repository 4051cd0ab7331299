// RFC 3161 time-stamp responses and tokens made by the crypto library's own TSA code with the
// kit's certificates: chosen genTime, ESS signingCertificate (v1) or signingCertificateV2, with
// or without certificates, signed with any key type the kit makes.
#pragma once

#include <string>
#include <vector>

#include "kit/certs.h"

namespace test_pki {

struct TokenSpec {
    const Entity* tsa = nullptr;        // certificate with tsa_exts()
    time_t gen_time = 0;                // 0: now
    long gen_usec = 0;                  // microseconds of genTime, trailing zeros left out
    bool ess_v2 = false;                // signingCertificateV2 instead of v1 (SHA-1 ids)
    const EVP_MD* ess_v2_md = nullptr;  // its identifiers' digest; nullptr: SHA-256
    bool with_certs = true;             // the TSA's certificate (and chain) inside the token
    std::vector<const Entity*> chain;   // further certificates placed beside the TSA's
    std::string data = "time-stamped data";
    const EVP_MD* imprint_md = nullptr;  // nullptr: SHA-256
    const EVP_MD* md = nullptr;          // signature digest; nullptr: digest_for(TSA key)
    std::string policy = "1.2.3.4";
    long nonce = 0;         // 0: none
    bool tsa_name = false;  // the TSTInfo names the TSA (its subject)
};

// A granted response, or throws.
ossl::TsResp make_ts_response(const TokenSpec& spec);
// The token (PKCS#7 SignedData) of that response.
ossl::Pkcs7 make_token(const TokenSpec& spec);
// The message imprint a token made from this TokenSpec carries: its data's digest under imprint_md.
Der imprint_of(const TokenSpec& spec);

Der to_der(TS_RESP* resp);

}  // namespace test_pki
