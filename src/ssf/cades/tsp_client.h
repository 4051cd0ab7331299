// The time-stamp client of the CAdES enhancement: an RFC 3161 token over a piece of data (a
// signature value, the ES-C data) from the configured time-stamp server, directly or through the
// configured proxy, over http or https; completed with the revocation values its kind needs,
// checked, and handed back DER-encoded with its generation time.
#pragma once

#include <cstddef>
#include <string>

#include "cryptoext/ossl.h"

namespace ssf {

// The server for a digest: "cades:tsp_server_2012" for GOST R 34.11-2012 (256 and 512 bits),
// "cades:tsp_server" (as set_tsp_server left it) for every other digest. Empty when not set.
[[nodiscard]] std::string tsp_server_for(const EVP_MD* md);

// A token of a kind (1 signature, 2 ES-C time stamp) over data, its imprint under md. 0 with
// *token (DER of the ContentInfo), *gen_time and, when asked for, *tsa_cert set (kind 1 needs
// it); 111 no server configured, 112 bad server URL, 113 unreachable, 114 bad response, 115, the
// token check's codes, 4, or -1.
[[nodiscard]] int make_time_stamp(int kind, ossl::Asn1String* token, const unsigned char* data,
                                  size_t length, const EVP_MD* md, X509_STORE* store,
                                  ossl::X509Ptr* tsa_cert, ossl::Asn1Time* gen_time);

// The bytes as two-digit lower-case hexadecimal values separated by one blank (for the log).
[[nodiscard]] std::string asn1_string_to_hex(const ASN1_STRING* s);

}  // namespace ssf
