// Owners for the crypto library's objects: one deleter line per type, so a bare *_free call
// outside this header stands out.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace ossl {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
template <class T, void (*F)(T*)>
using Owner = std::unique_ptr<T, Deleter<T, F>>;

inline void free_bytes(unsigned char* p) {
    OPENSSL_free(p);
}
inline void free_text(char* p) {
    OPENSSL_free(p);
}
inline void free_engine(ENGINE* e) {
    ENGINE_free(e);
}
inline void free_cnf_stack(STACK_OF(CONF_VALUE) * s) {
    sk_CONF_VALUE_pop_free(s, X509V3_conf_free);
}
inline void free_algors(X509_ALGORS* s) {
    sk_X509_ALGOR_pop_free(s, X509_ALGOR_free);
}
inline void free_utf8_stack(STACK_OF(ASN1_UTF8STRING) * s) {
    sk_ASN1_UTF8STRING_pop_free(s, ASN1_UTF8STRING_free);
}

using Bytes = Owner<unsigned char, free_bytes>;
using Text = Owner<char, free_text>;
using Bio = Owner<BIO, BIO_free_all>;
using Engine = Owner<ENGINE, free_engine>;
using MdCtx = Owner<EVP_MD_CTX, EVP_MD_CTX_free>;
using Pkcs12 = Owner<PKCS12, PKCS12_free>;
using X509Ptr = Owner<X509, X509_free>;
using PKey = Owner<EVP_PKEY, EVP_PKEY_free>;
using ExtPtr = Owner<X509_EXTENSION, X509_EXTENSION_free>;
using Asn1Object = Owner<ASN1_OBJECT, ASN1_OBJECT_free>;
using Utf8String = Owner<ASN1_UTF8STRING, ASN1_UTF8STRING_free>;
using OctetString = Owner<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Algor = Owner<X509_ALGOR, X509_ALGOR_free>;
using Algors = Owner<X509_ALGORS, free_algors>;
using Utf8Stack = Owner<STACK_OF(ASN1_UTF8STRING), free_utf8_stack>;
using CnfStack = Owner<STACK_OF(CONF_VALUE), free_cnf_stack>;
using UsagePeriod = Owner<PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD_free>;
using Conf = Owner<CONF, NCONF_free>;

// A second owner of an object that counts its references.
inline Engine up_ref(ENGINE* e) {
    if (e != nullptr) ENGINE_up_ref(e);
    return Engine(e);
}
inline X509Ptr up_ref(X509* x) {
    if (x != nullptr) X509_up_ref(x);
    return X509Ptr(x);
}

}  // namespace ossl
