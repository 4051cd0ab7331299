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
#include <openssl/dsa.h>
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

#include <cstring>
#include <memory>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

// The project's own ASN.1 types and the engine's GOST key record (cryptoext/ess_types.h,
// engines/gost/gost_asn1_types.h, engines/gost/gost_key_record.h): declared here so that their
// owners sit beside the crypto library's.
struct MD;
struct ISSUER_SERIAL;
struct OTHERCERTID;
struct OTHERSIGCERT;
struct ESSCERTIDV2;
struct CERTIDV2;
struct TVK_KEY_TRANSPORT;
struct TVK_GOST2012_KEY_PARAMS;
struct TVK_CIPHER_PARAMS;
struct tvk_gost2012_key;
void MD_free(MD* a);
void ISSUER_SERIAL_free(ISSUER_SERIAL* a);
void OTHERCERTID_free(OTHERCERTID* a);
void OTHERSIGCERT_free(OTHERSIGCERT* a);
void ESSCERTIDV2_free(ESSCERTIDV2* a);
void CERTIDV2_free(CERTIDV2* a);
void TVK_KEY_TRANSPORT_free(TVK_KEY_TRANSPORT* a);
void TVK_GOST2012_KEY_PARAMS_free(TVK_GOST2012_KEY_PARAMS* a);
void TVK_CIPHER_PARAMS_free(TVK_CIPHER_PARAMS* a);
void tvk_gost2012_free(tvk_gost2012_key* key);

namespace ossl {

// Letting go of an owner may drop one of several references the crypto library counts, and the
// last one frees the object. libcrypto is not built with ThreadSanitizer, so the atomic count
// that orders every holder's use of the object before that free is invisible to it, and the free
// would look like a race with what an earlier holder's call wrote into the object (caches filled
// under the object's own lock). So each release is announced on the object's address and takes
// over the announcements made before it, as a count with acquire-release order would: libcrypto
// promises that order to the thread that frees, TSan is told it for every thread that lets go.
// A thread that reads or frees an object without holding a reference to it is still reported.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kAnnounceReleases = true;
inline void announce_release(void* p) {
    __tsan_release(p);
    __tsan_acquire(p);
}
#else
inline constexpr bool kAnnounceReleases = false;
inline void announce_release(void*) {}
#endif

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const {
        announce_release(p);
        F(p);
    }
};
template <class T, void (*F)(T*)>
using Owner = std::unique_ptr<T, Deleter<T, F>>;

inline void free_bytes(unsigned char* p) {
    OPENSSL_free(p);
}
inline void free_text(char* p) {
    OPENSSL_free(p);
}
inline void free_secret_text(char* p) {
    if (p) OPENSSL_clear_free(p, std::strlen(p));
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
// Stacks and stores hold references of their own to certificates and CRLs that calls share:
// letting go of those is announced as an owner's is.
inline void free_x509_stack(STACK_OF(X509) * s) {
    if (kAnnounceReleases)
        for (int i = 0; i < sk_X509_num(s); ++i) announce_release(sk_X509_value(s, i));
    sk_X509_pop_free(s, X509_free);
}
inline void free_crl_stack(STACK_OF(X509_CRL) * s) {
    if (kAnnounceReleases)
        for (int i = 0; i < sk_X509_CRL_num(s); ++i) announce_release(sk_X509_CRL_value(s, i));
    sk_X509_CRL_pop_free(s, X509_CRL_free);
}
inline void free_store(X509_STORE* s) {
    if (kAnnounceReleases && X509_STORE_lock(s) == 1) {
        STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(s);
        for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
            X509_OBJECT* o = sk_X509_OBJECT_value(objects, i);
            if (X509* c = X509_OBJECT_get0_X509(o)) announce_release(c);
            if (X509_CRL* crl = X509_OBJECT_get0_X509_CRL(o)) announce_release(crl);
        }
        X509_STORE_unlock(s);
    }
    X509_STORE_free(s);
}
inline void free_ocsp_certid(OCSP_CERTID* id) {
    OCSP_CERTID_free(id);
}
inline void free_cert_stack_only(STACK_OF(X509) * s) {
    sk_X509_free(s);
}
inline void free_attribute_stack(STACK_OF(X509_ATTRIBUTE) * s) {
    sk_X509_ATTRIBUTE_pop_free(s, X509_ATTRIBUTE_free);
}
inline void free_pkcs7_stack(STACK_OF(PKCS7) * s) {
    sk_PKCS7_pop_free(s, PKCS7_free);
}
inline void free_signer_info_stack(STACK_OF(PKCS7_SIGNER_INFO) * s) {
    sk_PKCS7_SIGNER_INFO_pop_free(s, PKCS7_SIGNER_INFO_free);
}
inline void free_recip_info_stack(STACK_OF(PKCS7_RECIP_INFO) * s) {
    sk_PKCS7_RECIP_INFO_pop_free(s, PKCS7_RECIP_INFO_free);
}
inline void free_string_stack(STACK_OF(OPENSSL_STRING) * s) {
    sk_OPENSSL_STRING_pop_free(s, free_text);
}

// Bytes and texts from the crypto library's allocator: what the interface hands to its caller.
using Bytes = Owner<unsigned char, free_bytes>;
using Text = Owner<char, free_text>;
// A NUL-terminated secret (a password): wiped before its memory goes back.
using SecretText = Owner<char, free_secret_text>;

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
using Asn1Enumerated = Owner<ASN1_ENUMERATED, ASN1_ENUMERATED_free>;
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
using GeneralName = Owner<GENERAL_NAME, GENERAL_NAME_free>;
using AuthorityKeyId = Owner<AUTHORITY_KEYID, AUTHORITY_KEYID_free>;
using Attribute = Owner<X509_ATTRIBUTE, X509_ATTRIBUTE_free>;
using AttributeStack = Owner<STACK_OF(X509_ATTRIBUTE), free_attribute_stack>;
using X509StorePtr = Owner<X509_STORE, free_store>;
using X509StoreCtx = Owner<X509_STORE_CTX, X509_STORE_CTX_free>;
using LookupMethod = Owner<X509_LOOKUP_METHOD, X509_LOOKUP_meth_free>;
using X509Object = Owner<X509_OBJECT, X509_OBJECT_free>;
using X509Crl = Owner<X509_CRL, X509_CRL_free>;
using CrlStack = Owner<STACK_OF(X509_CRL), free_crl_stack>;
using X509Revoked = Owner<X509_REVOKED, X509_REVOKED_free>;
using DistPoints = Owner<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using IssuingDistPoint = Owner<ISSUING_DIST_POINT, ISSUING_DIST_POINT_free>;
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
using Pkcs7Stack = Owner<STACK_OF(PKCS7), free_pkcs7_stack>;
using SignerInfoStack = Owner<STACK_OF(PKCS7_SIGNER_INFO), free_signer_info_stack>;
using RecipInfoStack = Owner<STACK_OF(PKCS7_RECIP_INFO), free_recip_info_stack>;
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
using EssSigningCert = Owner<ESS_SIGNING_CERT, ESS_SIGNING_CERT_free>;
using EssSigningCertV2 = Owner<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>;

using SslCtx = Owner<SSL_CTX, SSL_CTX_free>;

// Method tables an engine builds; once handed to the crypto library they are its to free.
using CipherMeth = Owner<EVP_CIPHER, EVP_CIPHER_meth_free>;
using MdMeth = Owner<EVP_MD, EVP_MD_meth_free>;
using PKeyMeth = Owner<EVP_PKEY_METHOD, EVP_PKEY_meth_free>;
using Asn1Meth = Owner<EVP_PKEY_ASN1_METHOD, EVP_PKEY_asn1_free>;
using Dsa = Owner<DSA, DSA_free>;

using Md = Owner<MD, MD_free>;
using IssuerSerial = Owner<ISSUER_SERIAL, ISSUER_SERIAL_free>;
using OtherCertId = Owner<OTHERCERTID, OTHERCERTID_free>;
using OtherSigCert = Owner<OTHERSIGCERT, OTHERSIGCERT_free>;
using CertIdV2 = Owner<CERTIDV2, CERTIDV2_free>;
using EssCertIdV2 = Owner<ESSCERTIDV2, ESSCERTIDV2_free>;
using KeyTransport = Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free>;
using KeyParams = Owner<TVK_GOST2012_KEY_PARAMS, TVK_GOST2012_KEY_PARAMS_free>;
using CipherParams = Owner<TVK_CIPHER_PARAMS, TVK_CIPHER_PARAMS_free>;
using GostKey = Owner<tvk_gost2012_key, tvk_gost2012_free>;

// A value of an ASN.1 item known only at run time (an extension method's item).
struct ItemDeleter {
    const ASN1_ITEM* item = nullptr;
    void operator()(ASN1_VALUE* v) const { ASN1_item_free(v, item); }
};
using Asn1Value = std::unique_ptr<ASN1_VALUE, ItemDeleter>;
inline Asn1Value item_value(void* v, const ASN1_ITEM* item) {
    return Asn1Value(static_cast<ASN1_VALUE*>(v), ItemDeleter{item});
}

// A configuration section lent by an extension context, given back through that context.
struct SectionDeleter {
    X509V3_CTX* ctx = nullptr;
    void operator()(STACK_OF(CONF_VALUE) * s) const { X509V3_section_free(ctx, s); }
};
using CnfSection = std::unique_ptr<STACK_OF(CONF_VALUE), SectionDeleter>;

// Puts a new object into a field a structure owns; the one it held goes through its owner.
template <class Own>
void replace(typename Own::pointer& field, typename Own::pointer value) {
    Own old(std::exchange(field, value));
}

inline X509Stack new_x509_stack() {
    return X509Stack(sk_X509_new_null());
}

// The very certificate (by its encoding, not its name) is among certs.
inline bool contains(const STACK_OF(X509) * certs, const X509* cert) {
    for (int i = 0; i < sk_X509_num(certs); ++i)
        if (X509_cmp(sk_X509_value(certs, i), cert) == 0) return true;
    return false;
}

// Appends the certificates of from to a view (an X509View or a stack the crypto library only
// borrows): no references are taken. False when the stack cannot grow.
inline bool append_borrowed(STACK_OF(X509) * view, const STACK_OF(X509) * from) {
    for (int i = 0; i < sk_X509_num(from); ++i)
        if (!sk_X509_push(view, sk_X509_value(from, i))) return false;
    return true;
}

// Key material on the stack (a value or an array), wiped when it goes out of scope on every path.
template <class T>
struct Wiped {
    T v{};
    ~Wiped() { OPENSSL_cleanse(&v, sizeof v); }
};

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
