// Small routines the provider's operations share: time conversions and the GOST R 34.10-2001
// cut-off, texts of time-stamp times, identity checks, name recoding, and module loading.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "cryptoext/ossl.h"
#include "ssf/ssf_api.h"

namespace ssf {

// From 1 January 2020 00:00:00 local time on, GOST R 34.10-2001 signatures are refused. Local
// time as the zone stood at the first call; for tests that change the zone, forget makes the next
// call read it again.
time_t gost2001_cutoff_time();
void gost2001_cutoff_forget_for_tests();
int gost2001_cutoff_passed();  // 1 at or after the cut-off (by the system clock), else 0

// Seconds since the epoch, offsets and fractions honoured; 0 for a text that is not a time.
time_t utctime_to_time_t(const ASN1_UTCTIME* t);
time_t generalizedtime_to_time_t(const ASN1_GENERALIZEDTIME* t);
time_t asn1_time_to_time_t(const ASN1_TIME* t);  // 0 unless UTCTime or GeneralizedTime

// The bytes of an ASN.1 string as they stand.
std::string asn1_chars(const ASN1_STRING* s);
std::optional<std::string> ASN1_GENERALIZEDTIME_to_string(const ASN1_GENERALIZEDTIME* t);
// The genTime of the signature's time-stamp token, as a text for the verification result.
std::optional<std::string> get_timestamp_time(PKCS7_SIGNER_INFO* si);

// 1 when the identity is a hexadecimal fingerprint (spaces allowed) or a distinguished name of
// short names separated by ", "; -1 otherwise.
int check_sig_rcp_id(const SigRcpSsfInfo* rec);
// 0 when the identity is the certificate's SHA-1 fingerprint in lower case, with or without
// single spaces between the bytes; 1 otherwise.
int compare_sha1id_and_rcpid(X509* cert, const char* rcp_id);

inline constexpr size_t kIconvMaxOutput = 10240;
// Number of bytes written to output (which takes kIconvMaxOutput bytes), or -1 missing input,
// -2/-3 no memory, -4 unknown encoding, -5 conversion failed, -6 close failed.
int iconv_convert(const char* from, const char* to, const char* input, int length, char* output);

const EVP_MD* get_gost94_digest();
int ssf_signature_verify(BIO* data, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert);
// The signed data's content stream (over `detached` for a detached message, which the stream then
// owns), read to its end so that the digest of every SignerInfo is computed. None, logged as
// fn's step 6.1, when the crypto library cannot make it (a digest it does not know, for one).
[[nodiscard]] ossl::Bio read_signed_content(const char* fn, PKCS7* p7, ossl::Bio& detached);

void* load_library(const char* path);
void* get_proc_address(void* module, const char* name);

// A read stream over a regular file (platform::RegularFile); null when the name is none.
ossl::Bio open_file_bio(const char* path);

}  // namespace ssf
