// Owners for every crypto-library object this project creates: one deleter line per type, so a
// bare *_free call outside this header stands out. Shared by the engines, the crypto-library
// additions, the provider and the tests.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
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
inline void free_x509_stack(STACK_OF(X509) * s) {
    sk_X509_pop_free(s, X509_free);
}
inline void free_crl_stack(STACK_OF(X509_CRL) * s) {
    sk_X509_CRL_pop_free(s, X509_CRL_free);
}
inline void free_ocsp_certid(OCSP_CERTID* id) {
    OCSP_CERTID_free(id);
}
inline void free_cert_stack_only(STACK_OF(X509) * s) {
    sk_X509_free(s);
}
inline void free_string_stack(STACK_OF(OPENSSL_STRING) * s) {
    sk_OPENSSL_STRING_pop_free(s, free_text);
}

// Bytes and texts from the crypto library's allocator: what the interface hands to its caller.
using Bytes = Owner<unsigned char, free_bytes>;
using Text = Owner<char, free_text>;

using StringStack = Owner<STACK_OF(OPENSSL_STRING), free_string_stack>;

using Bio = Owner<BIO, BIO_free_all>;
using Engine = Owner<ENGINE, free_engine>;
using Conf = Owner<CONF, NCONF_free>;
using Bn = Owner<BIGNUM, BN_free>;
using BnCtx = Owner<BN_CTX, BN_CTX_free>;

using PKey = Owner<EVP_PKEY, EVP_PKEY_free>;
using Rsa = Owner<RSA, RSA_free>;
using RsaMethod = Owner<RSA_METHOD, RSA_meth_free>;
using PKeyCtx = Owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Owner<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtx = Owner<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

using Asn1Object = Owner<ASN1_OBJECT, ASN1_OBJECT_free>;
using Asn1String = Owner<ASN1_STRING, ASN1_STRING_free>;
using Asn1Time = Owner<ASN1_TIME, ASN1_TIME_free>;
using Asn1Integer = Owner<ASN1_INTEGER, ASN1_INTEGER_free>;
using Asn1Type = Owner<ASN1_TYPE, ASN1_TYPE_free>;
using OctetString = Owner<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using Utf8String = Owner<ASN1_UTF8STRING, ASN1_UTF8STRING_free>;
using Utf8Stack = Owner<STACK_OF(ASN1_UTF8STRING), free_utf8_stack>;
using Algor = Owner<X509_ALGOR, X509_ALGOR_free>;
using Algors = Owner<X509_ALGORS, free_algors>;

using X509Ptr = Owner<X509, X509_free>;
using X509Stack = Owner<STACK_OF(X509), free_x509_stack>;
// A stack that borrows its certificates: freeing it leaves them to their owners.
using X509View = Owner<STACK_OF(X509), free_cert_stack_only>;
using X509Name = Owner<X509_NAME, X509_NAME_free>;
using X509StorePtr = Owner<X509_STORE, X509_STORE_free>;
using X509StoreCtx = Owner<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509Object = Owner<X509_OBJECT, X509_OBJECT_free>;
using X509Crl = Owner<X509_CRL, X509_CRL_free>;
using CrlStack = Owner<STACK_OF(X509_CRL), free_crl_stack>;
using X509Revoked = Owner<X509_REVOKED, X509_REVOKED_free>;
using DistPoints = Owner<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using InfoAccess = Owner<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using X509Req = Owner<X509_REQ, X509_REQ_free>;
using X509Pubkey = Owner<X509_PUBKEY, X509_PUBKEY_free>;
using ExtPtr = Owner<X509_EXTENSION, X509_EXTENSION_free>;
using CnfStack = Owner<STACK_OF(CONF_VALUE), free_cnf_stack>;
using GeneralNames = Owner<GENERAL_NAMES, GENERAL_NAMES_free>;
using UsagePeriod = Owner<PKEY_USAGE_PERIOD, PKEY_USAGE_PERIOD_free>;
using P8Info = Owner<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;

using Pkcs7 = Owner<PKCS7, PKCS7_free>;
using Pkcs7SignerInfo = Owner<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>;
using Pkcs12 = Owner<PKCS12, PKCS12_free>;
using Cms = Owner<CMS_ContentInfo, CMS_ContentInfo_free>;

using OcspRequest = Owner<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspResponse = Owner<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicResp = Owner<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspCertId = Owner<OCSP_CERTID, free_ocsp_certid>;

using TsReq = Owner<TS_REQ, TS_REQ_free>;
using TsResp = Owner<TS_RESP, TS_RESP_free>;
using TsTstInfo = Owner<TS_TST_INFO, TS_TST_INFO_free>;
using TsVerifyCtx = Owner<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;
using TsMsgImprint = Owner<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using TsRespCtx = Owner<TS_RESP_CTX, TS_RESP_CTX_free>;

using SslCtx = Owner<SSL_CTX, SSL_CTX_free>;

inline X509Stack new_x509_stack() {
    return X509Stack(sk_X509_new_null());
}

// A second owner of an object that counts its references.
inline Engine up_ref(ENGINE* e) {
    if (e != nullptr) ENGINE_up_ref(e);
    return Engine(e);
}
inline X509Ptr up_ref(X509* x) {
    if (x != nullptr) X509_up_ref(x);
    return X509Ptr(x);
}
inline PKey up_ref(EVP_PKEY* k) {
    if (k != nullptr) EVP_PKEY_up_ref(k);
    return PKey(k);
}
inline X509Crl up_ref(X509_CRL* c) {
    if (c != nullptr) X509_CRL_up_ref(c);
    return X509Crl(c);
}

}  // namespace ossl
