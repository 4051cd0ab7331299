// Verification of time-stamp tokens and OCSP basic responses with the signer's certificate chain
// checked at a chosen moment instead of now: CAdES signatures are checked long after their time
// stamps and OCSP responses were made, when the TSA's or responder's certificate may have
// expired. The chain is built on a context over the caller's own store, and the moment is set on
// that context alone: hosts share one store between threads, and a time written into the store
// would be seen by every other call on it. The caller's look-ups and callbacks are handed that
// context, so whatever they read from the store it names is the caller's own. The crypto
// library's verifiers would build their context from the store and check at now, so the chain
// step is ours; the steps around it are the crypto library's, or follow them.
// A time of -1 (or no time) means now: the system clock, which tests can set.
#pragma once

#include <ctime>

#include "cryptoext/ossl.h"

namespace ssf {

// A certificate chain checked at one moment on a context over the caller's store, which is
// borrowed and only read: no time, certificate or flag of this call is written into it, so its
// look-ups, callbacks, verification parameters and ex_data are the caller's as the caller set
// them up. untrusted certificates only help to build the chain. own are certificates of this
// call alone (a token's certValues): they help as well, and a self-signed one may end the chain
// as a root the store held would. Not copyable: the context refers back to it.
class ChainAtTime {
  public:
    ChainAtTime();
    ChainAtTime(const ChainAtTime&) = delete;
    ChainAtTime& operator=(const ChainAtTime&) = delete;
    // False when the context could not be made (memory).
    explicit operator bool() const { return ctx_ != nullptr; }
    // Sets the context up for target at `when` (-1: now). False when the crypto library refuses
    // (its errors are queued); target and the stacks must outlive the context's use.
    [[nodiscard]] bool init(X509_STORE* store, time_t when, X509* target,
                            STACK_OF(X509) * untrusted, STACK_OF(X509) * own);
    X509_STORE_CTX* get() const { return ctx_.get(); }

  private:
    static int verify_cb(int ok, X509_STORE_CTX* ctx);
    ossl::X509View untrusted_;  // freed after the context that borrows it
    ossl::X509StoreCtx ctx_;
    STACK_OF(X509) * own_ = nullptr;
    X509_STORE_CTX_verify_cb callers_cb_ = nullptr;
};

// RFC 3161 token check at a time. ctx is filled by the caller (flags, imprint or data, nonce,
// policy) but holds neither store nor certificates: TS_VERIFY_CTX is opaque in OpenSSL 3.0 and
// would hide them, so they are arguments of their own, and certificates set on ctx are not used.
// store (borrowed, only read) is the trust anchor set for the TSA chain, untrusted and own as for
// ChainAtTime. TS_VFY_SIGNATURE checks the signature, the TSA chain for the "timestampsign"
// purpose (critical timeStamping EKU) at `when`, and the ESS signing-certificate attribute,
// version 1 or 2 (RFC 5816). TS_VFY_TSA_NAME cannot be asked for (the context cannot be given a
// name to compare): 0. 1 when every check passes, else 0; the crypto library's TS errors say
// which failed.
int SSF_TS_RESP_verify_token(time_t when, TS_VERIFY_CTX* ctx, X509_STORE* store, PKCS7* token,
                             STACK_OF(X509) * untrusted = nullptr, STACK_OF(X509) * own = nullptr);
// The same checks with the token's TSTInfo as the caller decoded it, and the TSA's certificate
// and its chain already chosen and checked by the caller (chain[0] is tsa, up to the root the
// caller trusts, checked for time-stamp signing): the ESS signing-certificate attribute is
// checked over that chain and the signature with tsa's key, so no second search can pick another
// certificate of the same issuer and serial number. The other flags as above. 1 or 0.
int SSF_TS_RESP_verify_token_by(TS_VERIFY_CTX* ctx, PKCS7* token, TS_TST_INFO* tst, X509* tsa,
                                STACK_OF(X509) * chain);
// The signature step alone; certs are the untrusted certificates (the token's own are added). 1
// or 0; on 1 *signer (when given) owns a reference to the TSA's certificate.
int SSF_TS_RESP_verify_signature(time_t when, PKCS7* token, STACK_OF(X509) * certs,
                                 X509_STORE* store, X509** signer, STACK_OF(X509) * own = nullptr);
// 1 when the response's status is granted or grantedWithMods. Otherwise 0, with the crypto
// library's TS error "no time stamp token" carrying "status code: <text>, status text: <free
// texts joined by '/' or unspecified>, failure codes: <names joined by ',' or unspecified>".
int SSF_TS_check_status_info(TS_RESP* response);

// OCSP_basic_verify with the responder's chain checked at *when (now when null) over store
// (borrowed, only read). 1 or 2 verified (2: signer among certs and no chain check ran), 0 not
// verified, negative on error; the crypto library's OCSP errors say why (a chain that fails:
// "Verify error:" and the verifier's text, as the time-stamp verifier has it). On success
// *responder (when given) is the certificate the response was verified with (borrowed from certs
// or the response): later checks of the responder use it rather than searching again; and *root
// (when given) the root of the responder's checked chain, none when no chain was checked, for a
// caller whose store trusts more than it means to.
int OCSP_basic_verify_time(const time_t* when, OCSP_BASICRESP* bs, STACK_OF(X509) * certs,
                           X509_STORE* store, unsigned long flags, X509** responder = nullptr,
                           ossl::X509Ptr* root = nullptr);
// Digest of the response's DER encoding (what CAdES OCSP references hold). 1, or 0.
int OCSP_BASICRESP_digest(const OCSP_BASICRESP* bs, const EVP_MD* md, unsigned char* out,
                          unsigned int* out_len);

}  // namespace ssf
