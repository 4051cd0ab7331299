// Owners for every OpenSSL object the provider creates: one deleter line per type.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace ossl {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using Pkcs7 = Owned<PKCS7, PKCS7_free>;
using X509Ptr = Owned<X509, X509_free>;
using EvpPkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtx = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using Bio = Owned<BIO, BIO_free_all>;
using Asn1Time = Owned<ASN1_TIME, ASN1_TIME_free>;
using Asn1OctetString = Owned<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Asn1Integer = Owned<ASN1_INTEGER, ASN1_INTEGER_free>;
using X509Name = Owned<X509_NAME, X509_NAME_free>;
using X509StorePtr = Owned<X509_STORE, X509_STORE_free>;
using X509StoreCtx = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509Crl = Owned<X509_CRL, X509_CRL_free>;
using X509Extension = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using Pkcs12 = Owned<PKCS12, PKCS12_free>;
using PkeyUsagePeriod = Owned<PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD_free>;
using TsTstInfo = Owned<TS_TST_INFO, TS_TST_INFO_free>;

inline void free_x509_stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
using X509Stack = Owned<STACK_OF(X509), free_x509_stack>;
inline X509Stack new_x509_stack() { return X509Stack(sk_X509_new_null()); }

// Memory from the crypto library's allocator: what the interface hands to its caller.
struct CryptoFree {
    void operator()(void* p) const { OPENSSL_free(p); }
};
using CryptoBytes = std::unique_ptr<unsigned char, CryptoFree>;
using CryptoChars = std::unique_ptr<char, CryptoFree>;

// A second owner for an object that someone else also holds.
inline X509Ptr up_ref(X509* x) {
    if (x) X509_up_ref(x);
    return X509Ptr(x);
}
inline EvpPkey up_ref(EVP_PKEY* k) {
    if (k) EVP_PKEY_up_ref(k);
    return EvpPkey(k);
}

}  // namespace ossl
