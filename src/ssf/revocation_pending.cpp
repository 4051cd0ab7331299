// Placeholder for CRL revocation checking until CRL download lands; that work replaces this file.
// Until then every revocation question is answered "cannot be decided", never "not revoked":
// a configuration that asks for CRL checks must not pass certificates nobody checked.
#include "ssf/cert_verify.h"
#include "ssf/log.h"

namespace ssf {

int check_for_revocation(X509* cert, X509_STORE_CTX* ctx, list* protocols, ossl::X509Crl* crl_out,
                         ossl::X509Crl* delta_out) {
    if (crl_out) crl_out->reset();
    if (delta_out) delta_out->reset();
    log_error(
        "%s() : CRL revocation checking is not available in this build: revocation cannot be "
        "decided",
        "check_for_revocation");
    return -1;
}

}  // namespace ssf
