// ESS certificate identifiers (a certificate named by a digest of its DER encoding plus its
// issuer and serial number) and the signing-certificate-v2 signed attribute, written in the
// crypto library's ASN.1 template style so they live beside its own PKCS#7 types.
#pragma once

#include <openssl/asn1t.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

// OtherHashAlgAndValue: the algorithm is always written, without parameters.
struct MD {
    X509_ALGOR* hashAlgorithm;
    ASN1_OCTET_STRING* hashValue;
};

struct ISSUER_SERIAL {
    GENERAL_NAMES* issuer;
    ASN1_INTEGER* serial;
};

// OtherCertID, always in the algorithm-and-value form.
struct OTHERCERTID {
    MD* mD;
    ISSUER_SERIAL* issuerSerial;  // OPTIONAL
};

DEFINE_STACK_OF(OTHERCERTID)

// OtherSigningCertificate without policies.
struct OTHERSIGCERT {
    STACK_OF(OTHERCERTID) * Certs;
};

// ESSCertIDv2. We always write hashAlgorithm, SHA-256 included, as stored signatures have it;
// a value that leaves it out, as DER requires for the standard's default, reads as SHA-256
// (hashAlgorithm null), so that standard signatures and time stamps verify.
struct CERTIDV2 {
    X509_ALGOR* hashAlgorithm;  // null: SHA-256
    ASN1_OCTET_STRING* hashValue;
    ISSUER_SERIAL* issuerSerial;  // OPTIONAL
};

DEFINE_STACK_OF(CERTIDV2)

// SigningCertificateV2 without policies.
struct ESSCERTIDV2 {
    STACK_OF(CERTIDV2) * Certs;
};

DECLARE_ASN1_ITEM(MD)
DECLARE_ASN1_ITEM(ISSUER_SERIAL)
DECLARE_ASN1_ITEM(OTHERCERTID)
DECLARE_ASN1_ITEM(OTHERSIGCERT)
DECLARE_ASN1_ITEM(CERTIDV2)
DECLARE_ASN1_ITEM(ESSCERTIDV2)

MD* MD_new();
void MD_free(MD* a);
ISSUER_SERIAL* ISSUER_SERIAL_new();
void ISSUER_SERIAL_free(ISSUER_SERIAL* a);
OTHERCERTID* OTHERCERTID_new();
void OTHERCERTID_free(OTHERCERTID* a);
OTHERCERTID* d2i_OTHERCERTID(OTHERCERTID** a, const unsigned char** in, long len);
int i2d_OTHERCERTID(const OTHERCERTID* a, unsigned char** out);
void OTHERSIGCERT_free(OTHERSIGCERT* a);
OTHERSIGCERT* d2i_OTHERSIGCERT(OTHERSIGCERT** a, const unsigned char** in, long len);
CERTIDV2* CERTIDV2_new();
void CERTIDV2_free(CERTIDV2* a);
ESSCERTIDV2* ESSCERTIDV2_new();
void ESSCERTIDV2_free(ESSCERTIDV2* a);
ESSCERTIDV2* d2i_ESSCERTIDV2(ESSCERTIDV2** a, const unsigned char** in, long len);
int i2d_ESSCERTIDV2(const ESSCERTIDV2* a, unsigned char** out);

// alg := the digest's identifier with its parameters absent (encoded as the OID alone).
bool set_hash_algorithm(X509_ALGOR* alg, const EVP_MD* md);
// 1 when out holds the digest of the certificate's DER encoding, else 0.
int PKCS7_cert_digest(X509* cert, const EVP_MD* md, ASN1_OCTET_STRING* out);
// A new identifier of the certificate (digest, issuer as one directoryName, serial), or null.
OTHERCERTID* PKCS7_make_other_cert_id(X509* cert, const EVP_MD* md);
// A new SigningCertificateV2 value holding one identifier of the certificate, or null.
ESSCERTIDV2* PKCS7_make_cert_id_v2(X509* cert, const EVP_MD* md);
// Appends a signing-certificate-v2 attribute naming cert to si's signed attributes: 1, or 0.
// An attribute already present is kept; callers add it once.
int PKCS7_add_ESSSigningCertV2_attribute(PKCS7_SIGNER_INFO* si, X509* cert, const EVP_MD* md);
