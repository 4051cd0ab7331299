// Signer and recipient key loading: from a record's security profile to a certificate and its
// private key.
//
// Profile: [14-character time, only with "common:use_profile_timestamp" on] followed by one of
//   "token=<PKCS#11 module>"                     a key on a token,
//   "certfile=<PEM>[,keyfile=<PEM>]"              a PEM certificate and key (key from the
//                                                  certificate file without ",keyfile="),
//   anything else                                 the path of a PKCS#12 file.
#pragma once

#include "cryptoext/ossl.h"
#include "ssf/pki/password.h"
#include "ssf/ssf_api.h"

namespace ssf {

// 0 with the certificate and key (and, for a signer with chain checking configured, the chain
// that the check built). On failure 5 for a signer, 9 for a recipient, with uResult set and
// every output cleared. uResult is left alone on success.
[[nodiscard]] int ssf_load_cert_and_key(SigRcpSsfInfo* info, ossl::X509Ptr& cert_out,
                                        ossl::PKey& key_out, int is_signer,
                                        ossl::X509Stack* chain_out);

// The key sources. Each returns 0 with both outputs set, or 5/9 with uResult set and both
// outputs cleared. The password may be none, the identity null. A password the crypto library
// cannot take whole (a NUL byte inside; for a PEM key also one longer than its reader's room) is
// answered as a wrong one: 25 for PKCS#12, 24 for an encrypted PEM key. A token is handed every
// byte of its PIN.
[[nodiscard]] int ssf_load_cert_and_key_p12(const char* path, const Password& password,
                                            const char* identity, SigRcpSsfInfo* info,
                                            int is_signer, ossl::X509Ptr& cert_out,
                                            ossl::PKey& key_out);
[[nodiscard]] int ssf_load_cert_and_key_file(const char* spec, const Password& password,
                                             const char* identity, SigRcpSsfInfo* info,
                                             int is_signer, ossl::X509Ptr& cert_out,
                                             ossl::PKey& key_out);
[[nodiscard]] int ssf_load_cert_and_key_token(const char* module, const Password& pin,
                                              const char* identity, SigRcpSsfInfo* info,
                                              int is_signer, ossl::X509Ptr& cert_out,
                                              ossl::PKey& key_out);

// 0 when the certificate is the one the identity names (fingerprint or whole subject text) and
// the key is its key; 22 for another identity, 24 for a key that does not belong to it.
[[nodiscard]] int check_cert_and_key(X509* cert, EVP_PKEY* key, const char* identity);

// Why the PEM password callback handed no password over although there is one.
enum class PasswordRefusal { none, nul_byte, too_long };

// What the PEM password callback receives, and what it tells its caller.
struct PasswordCbData {
    const Password* password;  // null: there is none
    const char* file_name;     // for the caller's messages
    PasswordRefusal refused = PasswordRefusal::none;
};
// The crypto library's PEM password callback: copies the password into the room given and
// returns its length, or 0 when there is none. A password that cannot be handed over whole (a
// NUL byte inside, or longer than the room) is refused with -1, which fails the read as a wrong
// password does. Never asks anybody.
int ssf_password_cb(char* buf, int size, int rwflag, void* userdata);

}  // namespace ssf
