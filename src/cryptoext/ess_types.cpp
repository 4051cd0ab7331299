#include "cryptoext/ess_types.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include "cryptoext/ossl.h"

// The template macros end without semicolons, which the formatter cannot follow.
// clang-format off
ASN1_SEQUENCE(MD) = {
    ASN1_SIMPLE(MD, hashAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(MD, hashValue, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(MD)

ASN1_SEQUENCE(ISSUER_SERIAL) = {
    ASN1_SEQUENCE_OF(ISSUER_SERIAL, issuer, GENERAL_NAME),
    ASN1_SIMPLE(ISSUER_SERIAL, serial, ASN1_INTEGER),
} ASN1_SEQUENCE_END(ISSUER_SERIAL)

ASN1_SEQUENCE(OTHERCERTID) = {
    ASN1_SIMPLE(OTHERCERTID, mD, MD),
    ASN1_OPT(OTHERCERTID, issuerSerial, ISSUER_SERIAL),
} ASN1_SEQUENCE_END(OTHERCERTID)

ASN1_SEQUENCE(OTHERSIGCERT) = {
    ASN1_SEQUENCE_OF(OTHERSIGCERT, Certs, OTHERCERTID),
} ASN1_SEQUENCE_END(OTHERSIGCERT)

ASN1_SEQUENCE(CERTIDV2) = {
    ASN1_OPT(CERTIDV2, hashAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(CERTIDV2, hashValue, ASN1_OCTET_STRING),
    ASN1_OPT(CERTIDV2, issuerSerial, ISSUER_SERIAL),
} ASN1_SEQUENCE_END(CERTIDV2)

ASN1_SEQUENCE(ESSCERTIDV2) = {
    ASN1_SEQUENCE_OF(ESSCERTIDV2, Certs, CERTIDV2),
} ASN1_SEQUENCE_END(ESSCERTIDV2)

IMPLEMENT_ASN1_ALLOC_FUNCTIONS(MD)
IMPLEMENT_ASN1_ALLOC_FUNCTIONS(ISSUER_SERIAL)
IMPLEMENT_ASN1_FUNCTIONS(OTHERCERTID)
IMPLEMENT_ASN1_FUNCTIONS(CERTIDV2)
IMPLEMENT_ASN1_FUNCTIONS(ESSCERTIDV2)

void OTHERSIGCERT_free(OTHERSIGCERT* a) {
    ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(a), ASN1_ITEM_rptr(OTHERSIGCERT));
}
// clang-format on

OTHERSIGCERT* d2i_OTHERSIGCERT(OTHERSIGCERT** a, const unsigned char** in, long len) {
    return reinterpret_cast<OTHERSIGCERT*>(
        ASN1_item_d2i(reinterpret_cast<ASN1_VALUE**>(a), in, len, ASN1_ITEM_rptr(OTHERSIGCERT)));
}

namespace {

using ossl::Bytes;
using ossl::CertIdV2;
using ossl::EssCertIdV2;
using ossl::OtherCertId;

// DER of 1.2.840.113549.1.9.16.2.47: decoding it builds the attribute type whether or not the
// crypto library has the identifier registered (its content-only decoder is not public).
constexpr unsigned char kSigningCertV2Der[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x09, 0x10, 0x02, 0x2F};

// issuer := one directoryName holding the certificate's issuer; serial := its serial number.
bool fill_issuer_serial(ISSUER_SERIAL* is, X509* cert) {
    ossl::X509Name name(X509_NAME_dup(X509_get_issuer_name(cert)));
    ossl::GeneralName gn(GENERAL_NAME_new());
    if (!name || !gn) return false;
    GENERAL_NAME_set0_value(gn.get(), GEN_DIRNAME, name.release());
    if (!sk_GENERAL_NAME_push(is->issuer, gn.get())) return false;
    gn.release();
    ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(cert));
    if (!serial) return false;
    ossl::replace<ossl::Asn1Integer>(is->serial, serial);
    return true;
}

}  // namespace

bool set_hash_algorithm(X509_ALGOR* alg, const EVP_MD* md) {
    ASN1_OBJECT* obj = OBJ_nid2obj(EVP_MD_get_type(md));
    if (!obj || OBJ_length(obj) == 0) return false;
    return X509_ALGOR_set0(alg, obj, V_ASN1_UNDEF, nullptr) == 1;
}

int PKCS7_cert_digest(X509* cert, const EVP_MD* md, ASN1_OCTET_STRING* out) {
    if (!cert || !md || !out) return 0;
    unsigned char* der_raw = nullptr;
    int der_len = i2d_X509(cert, &der_raw);
    Bytes der(der_raw);
    if (der_len <= 0) return 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (!EVP_Digest(der.get(), static_cast<size_t>(der_len), digest, &digest_len, md, nullptr))
        return 0;
    return ASN1_STRING_set(out, digest, static_cast<int>(digest_len)) ? 1 : 0;
}

OTHERCERTID* PKCS7_make_other_cert_id(X509* cert, const EVP_MD* md) {
    if (!cert || !md) return nullptr;
    OtherCertId id(OTHERCERTID_new());
    if (!id) return nullptr;
    if (!set_hash_algorithm(id->mD->hashAlgorithm, md)) return nullptr;
    if (!PKCS7_cert_digest(cert, md, id->mD->hashValue)) return nullptr;
    id->issuerSerial = ISSUER_SERIAL_new();
    if (!id->issuerSerial || !fill_issuer_serial(id->issuerSerial, cert)) return nullptr;
    return id.release();
}

ESSCERTIDV2* PKCS7_make_cert_id_v2(X509* cert, const EVP_MD* md) {
    if (!cert || !md) return nullptr;
    CertIdV2 id(CERTIDV2_new());
    if (!id) return nullptr;
    id->hashAlgorithm = X509_ALGOR_new();  // written even for SHA-256, as we always have
    if (!id->hashAlgorithm || !set_hash_algorithm(id->hashAlgorithm, md)) return nullptr;
    if (!PKCS7_cert_digest(cert, md, id->hashValue)) return nullptr;
    id->issuerSerial = ISSUER_SERIAL_new();
    if (!id->issuerSerial || !fill_issuer_serial(id->issuerSerial, cert)) return nullptr;
    EssCertIdV2 ids(ESSCERTIDV2_new());
    if (!ids || !sk_CERTIDV2_push(ids->Certs, id.get())) return nullptr;
    id.release();
    return ids.release();
}

int PKCS7_add_ESSSigningCertV2_attribute(PKCS7_SIGNER_INFO* si, X509* cert, const EVP_MD* md) {
    if (!si) return 0;
    EssCertIdV2 ids(PKCS7_make_cert_id_v2(cert, md));
    if (!ids) return 0;
    unsigned char* der_raw = nullptr;
    int der_len = i2d_ESSCERTIDV2(ids.get(), &der_raw);
    Bytes der(der_raw);
    if (der_len <= 0) return 0;

    ossl::Asn1String value(ASN1_STRING_new());
    if (!value || !ASN1_STRING_set(value.get(), der.get(), der_len)) return 0;
    const unsigned char* p = kSigningCertV2Der;
    ossl::Asn1Object type(d2i_ASN1_OBJECT(nullptr, &p, sizeof kSigningCertV2Der));
    if (!type) return 0;
    ossl::Attribute attr(
        X509_ATTRIBUTE_create_by_OBJ(nullptr, type.get(), V_ASN1_SEQUENCE, value.get(), -1));
    if (!attr) return 0;

    ossl::AttributeStack created;
    if (!si->auth_attr) {
        created.reset(sk_X509_ATTRIBUTE_new_null());
        if (!created) return 0;
        si->auth_attr = created.get();
    }
    if (!sk_X509_ATTRIBUTE_push(si->auth_attr, attr.get())) {
        if (created) si->auth_attr = nullptr;
        return 0;
    }
    attr.release();
    created.release();
    return 1;
}
