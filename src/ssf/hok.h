// The certificate web service: SNILS numbers to certificate fingerprints, fingerprints to
// certificates.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cryptoext/ossl.h"

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

}  // namespace ssf
