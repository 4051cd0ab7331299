// Signing and adding signatures: what the two workers share.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include "cryptoext/ossl.h"
#include "ssf/ssf_api.h"

namespace ssf {

// The digest follows the signer's key: GOST R 34.11-2012 for GOST R 34.10-2012 keys, GOST R
// 34.11-94 for GOST R 34.10-2001 keys, SHA-1 for every other key. The caller's hash name never
// chooses it. md is null when the crypto library lacks the digest.
struct SignerDigest {
    const EVP_MD* md = nullptr;
    bool gost2001 = false;  // refused from the cut-off on
};
[[nodiscard]] SignerDigest signer_digest(EVP_PKEY* key);
// True for a GOST R 34.10-2001 signer from 1 January 2020 00:00 local time on, by the clock
// that tests can set.
[[nodiscard]] bool refused_by_gost2001_cutoff(const SignerDigest& d);

// Adds a SignerInfo for cert and key with the provider's signed attributes: signing-certificate-v2
// for CAdES types, signingTime from the profile's time when configured. Null on failure (a
// SignerInfo whose attributes failed stays in p7, but the call fails).
PKCS7_SIGNER_INFO* SSF_PKCS7_add_signature(PKCS7* p7, X509* cert, EVP_PKEY* key, const EVP_MD* md,
                                           const SAP_BYTE* profile, SAP_UINT profileL, int type);

// The store the CAdES enhancement of an added signature gets: the certificates of "user1.pem" in
// the current directory, or an empty store when that file cannot be read. Never null unless
// memory ran out.
[[nodiscard]] ossl::X509StorePtr open_user_store(const char* fn);

}  // namespace ssf
