// Verification of time-stamp tokens and OCSP basic responses with the signer's certificate chain
// checked at a chosen moment instead of now: CAdES signatures are checked long after their time
// stamps and OCSP responses were made, when the TSA's or responder's certificate may have
// expired. OpenSSL's own verifiers do the work; they build their chain contexts from a store and
// take the time from its verification parameters, so each call gets a store of its own (below)
// that carries its time. The caller's store is only read: hosts share one store between threads,
// and a time written into it would be seen by every other call on it.
// A time of -1 (or no time) means now: the system clock, which tests can set.
#pragma once

#include <ctime>

#include "cryptoext/ossl.h"

namespace ssf {

// A store for one verification at `when` (-1: now). It has the caller's verification parameters
// with that time, its CRL and verification callbacks, its own look-ups (get_issuer, lookup_certs,
// lookup_crls, so what the caller's store refuses stays refused) and its ex_data (borrowed, for
// hosts' functions that read it from the store they are handed); it trusts what the caller's store
// trusts (asked by subject as a chain needs it, so the caller's store's look-ups still run) and,
// for this call alone, the certificates of `extra`. A call's own store at its own moment with no
// `extra` is handed back as it is. None when memory runs out.
[[nodiscard]] ossl::X509StorePtr store_at_time(X509_STORE* base, time_t when,
                                               STACK_OF(X509) * extra = nullptr);

// RFC 3161 token check at a time. ctx is filled by the caller (flags, untrusted certificates,
// imprint or data, nonce, policy, TSA name) but holds no store: TS_VERIFY_CTX is opaque in
// OpenSSL 3.0 and would hide it. store (borrowed, only read) is the trust anchor set for the TSA
// chain. TS_VFY_SIGNATURE checks the signature, the TSA chain for
// the "timestampsign" purpose (critical timeStamping EKU) at `when`, and the ESS
// signing-certificate attribute, version 1 or 2 (RFC 5816). 1 when every check passes, else 0;
// the crypto library's TS errors say which failed.
int SSF_TS_RESP_verify_token(time_t when, TS_VERIFY_CTX* ctx, X509_STORE* store, PKCS7* token);
// The signature step alone. 1 or 0; on 1 *signer (when given) owns a reference to the TSA's
// certificate.
int SSF_TS_RESP_verify_signature(time_t when, PKCS7* token, STACK_OF(X509) * certs,
                                 X509_STORE* store, X509** signer);
// 1 when the response's status is granted or grantedWithMods. Otherwise 0, with the crypto
// library's TS error "no time stamp token" carrying "status code: <text>, status text: <free
// texts joined by '/' or unspecified>, failure codes: <names joined by ',' or unspecified>".
int SSF_TS_check_status_info(TS_RESP* response);

// OCSP_basic_verify with the responder's chain checked at *when (now when null). 1 or 2
// verified (2: signer among certs and no chain check ran), 0 not verified, negative on error;
// the crypto library's OCSP errors say why (a chain that fails: "Verify error:" and the
// verifier's text, as the time-stamp verifier has it).
int OCSP_basic_verify_time(const time_t* when, OCSP_BASICRESP* bs, STACK_OF(X509) * certs,
                           X509_STORE* store, unsigned long flags);
// Digest of the response's DER encoding (what CAdES OCSP references hold). 1, or 0.
int OCSP_BASICRESP_digest(const OCSP_BASICRESP* bs, const EVP_MD* md, unsigned char* out,
                          unsigned int* out_len);

}  // namespace ssf
