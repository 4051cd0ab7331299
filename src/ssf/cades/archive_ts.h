// Archive time stamps: unsigned "id-smime-aa-ets-archiveTimestampV2" attributes, each a token over
// the archive data of the signature as it stood when the stamp was added. They are verified from
// the newest to the oldest, each older one at the generation time of the one after it. The
// provider never adds one.
#pragma once

#include <openssl/pkcs7.h>

#include <string>

#include "cryptoext/ossl.h"

namespace ssf {

// The archive data of si within p7: the encapsulated ContentInfo's DER, the detached content read
// again from the data stream, the certificates as one SEQUENCE OF, the CRLs as one SEQUENCE OF,
// and the SignerInfo's DER. 0 or 13.
[[nodiscard]] int get_arch_timestamp_tbs(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si,
                                         std::string* out);

// The archive tokens of si, oldest first; an empty list when there are none, none on failure.
[[nodiscard]] ossl::Pkcs7Stack get_arch_timestamps(PKCS7_SIGNER_INFO* si);
// Inserts the token before the first listed one whose genTime is not earlier (to the fraction of
// a second). 0, or -1 (also for a genTime that names no time).
[[nodiscard]] int AddArchiveTsToStack(STACK_OF(PKCS7) * stack, PKCS7* token);

// One token over the archive data of si without that token and every newer one, at `when` (now
// when null). 0 or a result code.
[[nodiscard]] int VerifyArchiveTimestamp(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si, PKCS7* token,
                                         STACK_OF(X509) * pab_certs,
                                         const ASN1_GENERALIZEDTIME* when);
// Every archive token, newest to oldest; *oldest_time (when given) receives the oldest's genTime
// (none without stamps). 0 or a result code.
[[nodiscard]] int VerifyAllArchiveTimestamps(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si,
                                             STACK_OF(X509) * pab_certs,
                                             ossl::Asn1Time* oldest_time);

}  // namespace ssf
