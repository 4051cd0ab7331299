// Owners for the crypto library's objects: one unique_ptr alias per type, one deleter line each.
// Bare *_free calls elsewhere are a smell; hand objects out and take them in through these.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace ssf {

template <auto Free>
struct OsslDeleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

namespace ossl_detail {
inline void free_x509_stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
inline void free_crl_stack(STACK_OF(X509_CRL) * s) {
    sk_X509_CRL_pop_free(s, X509_CRL_free);
}
inline void free_bytes(void* p) {
    OPENSSL_free(p);
}
}  // namespace ossl_detail

using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, OsslDeleter<X509_CRL_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OsslDeleter<X509_NAME_free>>;
using X509ExtPtr = std::unique_ptr<X509_EXTENSION, OsslDeleter<X509_EXTENSION_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslDeleter<PKCS7_free>>;
using PkeyUsagePeriodPtr = std::unique_ptr<PKEY_USAGE_PERIOD, OsslDeleter<PKEY_USAGE_PERIOD_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, OsslDeleter<ASN1_INTEGER_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_free>>;
// Stacks that own their contents.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<ossl_detail::free_x509_stack>>;
using X509CrlStackPtr =
    std::unique_ptr<STACK_OF(X509_CRL), OsslDeleter<ossl_detail::free_crl_stack>>;
// Text or bytes from the crypto library's allocator.
using OsslCharPtr = std::unique_ptr<char, OsslDeleter<ossl_detail::free_bytes>>;

// A second owner of an object that someone else owns too.
inline X509Ptr up_ref(X509* x) {
    if (x && X509_up_ref(x) != 1) return nullptr;
    return X509Ptr(x);
}
inline EvpPkeyPtr up_ref(EVP_PKEY* k) {
    if (k && EVP_PKEY_up_ref(k) != 1) return nullptr;
    return EvpPkeyPtr(k);
}

// A new empty stack of certificates that owns what is pushed into it.
inline X509StackPtr new_x509_stack() {
    return X509StackPtr(sk_X509_new_null());
}

}  // namespace ssf
