// Certificates: the recipients' certificate directory, subject texts and fingerprints, the lookup
// of signers and recipients, and the trust check of a signer against the directory.
#pragma once

#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>

#include "cryptoext/ossl.h"
#include "ssf/pki/cache.h"
#include "ssf/ssf_api.h"

namespace ssf {

// One certificate from a DER, PEM or bare-Base64 file (told apart by the first byte), or none.
[[nodiscard]] ossl::X509Ptr load_cert_from_file(const char* path);
// The same; stable_id receives the file's identity when the file stayed the same while it was
// read and has settled, so that the certificate may stand for the file later.
[[nodiscard]] ossl::X509Ptr load_cert_from_file(const char* path, FileId* stable_id);

// Every certificate of the directory's files, in file-name order; files that do not load are
// skipped. None when the directory cannot be listed.
[[nodiscard]] ossl::X509Stack load_certs_from_pab_orbssl(const char* directory);
[[nodiscard]] ossl::X509Stack load_certs_from_pab(const char* directory);

// A new store holding the PEM certificates of the file named by the first name_length characters
// of file_name. 1, or -1 (store_out keeps the store when it was made).
[[nodiscard]] int LoadCertificatesFromPAB(ossl::X509StorePtr& store_out, const char* file_name,
                                          size_t name_length);

// The recipient's certificate: from the directory by fingerprint or by the start of its subject
// text, else from the certificate web service. 0 with cert_out set (used even when it fails the
// configured validity check, which is only logged), 22, or the web service's code.
[[nodiscard]] int get_cert_from_pab(STACK_OF(X509) * pab_certs, SigRcpSsfInfo* recipient,
                                    ossl::X509Ptr& cert_out);

// Trust of a signer certificate with every directory certificate as a trust anchor, at time
// (seconds since the epoch, -1 for now): 0 trusted, 22 not trusted, 100 expired.
[[nodiscard]] int GetCertificateTrustedStatus(X509* cert, STACK_OF(X509) * pab_certs, time_t time);

// One entry per SignerInfo, in order: its certificate from the directory, else (unless flags hold
// PKCS7_NOINTERN) from the message; an empty entry when neither has it. None on bad input, with
// the reason on the crypto library's error queue.
[[nodiscard]] ossl::X509Stack ssf_PKCS7_get0_signers(PKCS7* p7, STACK_OF(X509) * pab_certs,
                                                     int flags);

// The certificate with that issuer and serial number among the lists: the one certificate a
// SignerInfo names. Two different ones answering to both leave the signer undecided: none, with
// *ambiguous set (when given), since the certificate one step took and the one another step took
// could then differ. Borrowed from the lists.
[[nodiscard]] X509* sole_signer(std::initializer_list<const STACK_OF(X509) *> lists,
                                const PKCS7_ISSUER_AND_SERIAL* ias, bool* ambiguous = nullptr);

// Subject text as identities name a certificate (reversed, ", " separated, short field names),
// in the configured server encoding. None when cert is none.
[[nodiscard]] std::optional<std::string> orb_x509_get_name_from_X509(X509* cert);

// SHA-1 of the certificate's DER encoding as 20 lower-case hex pairs separated by blanks;
// empty when it cannot be computed.
[[nodiscard]] std::string calc_sha1id(X509* cert);

// The crypto library's one-line form of the subject, for log lines.
[[nodiscard]] std::string one_line_subject(X509* cert);

// The configured check of a certificate (validity; chain with check_chain; revocation with
// check_crl): 1 valid, 0 invalid, -1 cannot be decided.
[[nodiscard]] int IsCertificateValid(X509* cert, int check_chain, int check_crl,
                                     ossl::X509Stack* chain_out);

}  // namespace ssf
