// Certificate checks: validity period, chain to the configured trust anchors, revocation.
// Checks answer 1 (valid), 0 (invalid, expired, not yet valid, revoked) or -1 (cannot be decided).
#pragma once

#include <string>

#include "cryptoext/ossl.h"
#include "ssf/list.h"

namespace ssf {

// Loads the certificates of one file into a file lookup, as PEM, else as DER. 1 or -1.
[[nodiscard]] int add_file(X509_LOOKUP* lookup, const char* path);

// The path that "common:ca_file" names (a path, or a file:/// URL), or null when it is not set.
[[nodiscard]] const char* ca_file_path();

// The trusted store of "common:ca_file" (empty when that key is not set), or none.
[[nodiscard]] ossl::X509StorePtr setup_store();

// Validity period alone when neither flag is set; otherwise the chain to the store of setup_store
// (check_chain) and revocation (check_crl). chain_out, when given, receives the chain that the
// chain check built, whatever its outcome.
[[nodiscard]] int verify_certificate(X509* cert, int check_crl, int check_chain, list* protocols,
                                     ossl::X509Stack* chain_out);

}  // namespace ssf
