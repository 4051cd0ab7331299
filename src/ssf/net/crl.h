// Certificate revocation lists: download over HTTP, LDAP and file URLs, the check of one CRL, and
// the check of a certificate against the CRLs a signature carries. The revocation check of one
// certificate through its distribution points is check_for_revocation (cert_verify.h).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "cryptoext/ossl.h"
#include "ssf/frame.h"
#include "ssf/list.h"

namespace ssf {

// libcurl's process-wide state: set up once at start-up and torn down when the library is
// unloaded, never around single downloads (that is not safe with two threads downloading).
void crl_network_start();
void crl_network_stop();

// Bounds of every download, so that a server which stalls, trickles or floods ends the download
// as unreachable in bounded time and memory.
struct CrlDownloadLimits {
    long connect_timeout_ms = 10000;
    long total_timeout_ms = 60000;
    size_t max_bytes = size_t{64} << 20;
};
CrlDownloadLimits crl_download_limits();
void set_crl_download_limits(const CrlDownloadLimits& limits);

// The body behind url in body. 0; the libcurl code of the step that failed; -1 when an LDAP
// answer holds no CRL value.
[[nodiscard]] int InstallCRLFromServer(const char* url, std::vector<unsigned char>& body);

// The CRL value of libcurl's answer to an LDAP search, in either form libcurl writes it: LDIF
// ("...List;binary:: " and Base64) or raw ("...List: ", the bytes, two line ends). 0 or -1.
[[nodiscard]] int ldap_answer_value(Bytes answer, std::vector<unsigned char>& value);

// A CRL from url (DER, PEM or bare Base64 body), or none.
[[nodiscard]] ossl::X509Crl download_crl(const char* url);

// The CRL of the first URL that gives one: the protocols in list order, and in each pass the
// URLs whose scheme is that protocol. None when no URL gives one.
[[nodiscard]] ossl::X509Crl download_crl_from_list(list* urls, list* protocols);

// How a CRL stands: its signature under the issuer's key (BadSignature: it does not verify;
// Unverifiable: the key and the signature do not even fit together), then its validity at a time.
enum class CrlState { Valid, BadSignature, Unverifiable, OutOfTime, Error };
// The CRL checked against issuer (none: Error) at t (0: now), each failure logged.
[[nodiscard]] CrlState check_crl(X509_CRL* crl, X509* issuer, time_t t);

// The CRL's signature by its issuer, and its validity at t (0: now). The issuer is the one above
// ctx's certificate in the chain ctx checked, else (no chain checked) the certificate of ctx's
// store that issued the CRL. 1 valid; 0 bad signature, not yet valid or expired; -1 cannot be
// checked.
[[nodiscard]] int verify_crl(X509_CRL* crl, X509_STORE_CTX* ctx, time_t t);

// Whether crl, which verifies under the key of issuer, may clear cert: only where the crypto
// library's own CRL check would let it. It is written for cert, by its issuingDistributionPoint
// and the reasons of cert's distribution point, as RFC 5280 (6.3.3) has it and that check applies
// it (only end-entity, CA or attribute certificates; an indirect CRL; a distribution point none
// of cert's; an extension that cannot be read); no critical extension of it or of an entry is
// one that check does not process (RFC 5280 5.2, 5.3); its issuer's certificate allows CRL
// signing and its authority key identifier names it. True with *reasons set to the reasons for
// revocation it covers for cert; false with a line under fn's name saying why not.
[[nodiscard]] bool crl_may_clear(X509_CRL* crl, X509* issuer, X509* cert, unsigned* reasons,
                                 const char* fn);

// cert's status from the CRLs among crls in its issuer's name, each checked at t (0: now) under
// the key of issuer, the certificate above cert in a chain that was checked. A CRL that does not
// verify under that key is not used (a line under fn's name says so): anyone may write a CRL in
// the issuer's name. A listing counts in any CRL that verifies, but for a delta CRL's
// removeFromCRL, and a hold that such a delta takes off: one that extends the complete CRL
// holding it, as the crypto library pairs a delta with its base. Clearing takes complete CRLs
// that may clear it (crl_may_clear; one that may not is not used, and a line says why), each with
// every delta that extends it acceptable to that library too, for every reason between them; a
// delta clears nothing itself. Cleared: such CRLs were used, each used was valid, none lists
// cert; Listed: one lists it; Invalid: one is out of its time or cannot be checked; None: no
// complete CRL could be used, or those used leave reasons uncovered.
enum class StoredCrls { Cleared, Listed, Invalid, None };
[[nodiscard]] StoredCrls status_from_crls(X509* cert, X509* issuer, STACK_OF(X509_CRL) * crls,
                                          time_t t, const char* fn);

// status_from_crls as 1 (Cleared) or 0, with the reason logged.
[[nodiscard]] int check_revoked_crl(X509* cert, X509* issuer, STACK_OF(X509_CRL) * crls, time_t t);

// Revocation of cert through CRLs, with ctx initialised on the trusted store: the CRL of the
// first of its distribution points (else of its issuer's) that gives one, in the protocols'
// order, then, while the CRLs that may clear it (crl_may_clear) leave reasons uncovered, those
// of the points that have not given it; the default URL only when no point gives any. A delta
// CRL served in a complete CRL's place clears nothing. A base's delta is looked for at the
// freshest-CRL URLs the base names, else those the certificate names, in turn until one serves a
// delta that extends the base as the crypto library pairs them; it may then take a hold of the
// base off. 1 not revoked: they cover every reason between them; 0 revoked (any CRL of the
// issuer fetched for it lists it, but for a delta's removeFromCRL), or a CRL not valid now; -1
// cannot be decided, also when reasons remain uncovered or no delta URL gives a genuine CRL.
// used (optional) receives, with 1 only, every CRL that cleared it and their deltas, in the
// order used.
[[nodiscard]] int check_for_revocation(X509* cert, X509_STORE_CTX* ctx, list* protocols,
                                       std::vector<ossl::X509Crl>* used);

}  // namespace ssf
