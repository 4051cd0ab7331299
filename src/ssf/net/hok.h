// The certificate web service (SOAP 1.1): SNILS numbers to certificate fingerprints
// (getCertsByOwner), fingerprints to certificates (getCertsByIds). The service is in use when
// "hok:hok_urls" names it; the URLs of that list are asked in order and the first answer wins.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cryptoext/ossl.h"
#include "ssf/list.h"

namespace ssf {

// 1 when text has the SNILS form "NNN-NNN-NNN NN" (length 14, or -1 for a NUL-terminated text).
[[nodiscard]] int is_snils(const char* text, int length);

// 1 when the web service is in use.
[[nodiscard]] int hok_is_enabled();

// 0 with the owner's fingerprints, or 26 (certificate not found).
[[nodiscard]] int hok_get_fingerprint_by_snils(const char* snils,
                                               std::vector<std::string>* fingerprints);
// 0 with the certificate (any certificate held before is released), or 26.
[[nodiscard]] int hok_get_cert_by_fingerprint(const char* fingerprint, ossl::X509Ptr* cert);
// The first fingerprint of the owner's certificates, or none.
[[nodiscard]] std::optional<std::string> hok_get_single_fingerprint_by_snils(const char* snils);

// The URL list of "hok:hok_urls": split at every comma, empty entries and blanks kept.
int parse_url_list(list* l, const char* urls);  // entries, or -1
list* create_url_list(const char* urls);
// The text without numeric character references ("&#13;" and the like), or none.
[[nodiscard]] std::optional<std::string> ssf_clean_str(const char* text);

// For tests: a URL list made anew from the configuration.
void hok_reset_for_tests();

}  // namespace ssf
