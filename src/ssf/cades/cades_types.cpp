#include "ssf/cades/cades_types.h"

// clang-format off
ASN1_CHOICE(RESPONDER_ID) = {
    ASN1_EXP(RESPONDER_ID, value.byName, X509_NAME, 1),
    ASN1_EXP(RESPONDER_ID, value.byKey, ASN1_OCTET_STRING, 2),
} ASN1_CHOICE_END(RESPONDER_ID)

ASN1_SEQUENCE(CRL_IDENTIFIER) = {
    ASN1_SIMPLE(CRL_IDENTIFIER, crlIssuer, X509_NAME),
    ASN1_SIMPLE(CRL_IDENTIFIER, crlIssuedTime, ASN1_TIME),
    ASN1_OPT(CRL_IDENTIFIER, crlNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CRL_IDENTIFIER)

ASN1_SEQUENCE(CRL_VALIDATED_ID) = {
    ASN1_SIMPLE(CRL_VALIDATED_ID, crlHash, MD),
    ASN1_OPT(CRL_VALIDATED_ID, crlIdentifier, CRL_IDENTIFIER),
} ASN1_SEQUENCE_END(CRL_VALIDATED_ID)

ASN1_SEQUENCE(CRL_LIST_ID) = {
    ASN1_SEQUENCE_OF(CRL_LIST_ID, crls, CRL_VALIDATED_ID),
} ASN1_SEQUENCE_END(CRL_LIST_ID)

ASN1_SEQUENCE(OCSP_IDENTIFIER) = {
    ASN1_SIMPLE(OCSP_IDENTIFIER, responderId, RESPONDER_ID),
    ASN1_SIMPLE(OCSP_IDENTIFIER, producedAt, ASN1_GENERALIZEDTIME),
} ASN1_SEQUENCE_END(OCSP_IDENTIFIER)

ASN1_SEQUENCE(OCSP_RESPONSES_ID) = {
    ASN1_SIMPLE(OCSP_RESPONSES_ID, OcspIdentifier, OCSP_IDENTIFIER),
    ASN1_OPT(OCSP_RESPONSES_ID, ocspRepHash, MD),
} ASN1_SEQUENCE_END(OCSP_RESPONSES_ID)

ASN1_SEQUENCE(OCSP_LIST_ID) = {
    ASN1_SEQUENCE_OF(OCSP_LIST_ID, OcspRespIds, OCSP_RESPONSES_ID),
} ASN1_SEQUENCE_END(OCSP_LIST_ID)

ASN1_SEQUENCE(CRL_OCSP_REF) = {
    ASN1_EXP_OPT(CRL_OCSP_REF, crlids, CRL_LIST_ID, 0),
    ASN1_EXP_OPT(CRL_OCSP_REF, ocspids, OCSP_LIST_ID, 1),
} ASN1_SEQUENCE_END(CRL_OCSP_REF)

ASN1_SEQUENCE(COMPLETE_REVOCATION_REFS) = {
    ASN1_SIMPLE(COMPLETE_REVOCATION_REFS, crlOcspRefs, CRL_OCSP_REF),
} ASN1_SEQUENCE_END(COMPLETE_REVOCATION_REFS)

ASN1_SEQUENCE(REVOCATION_VALUES) = {
    ASN1_EXP_SEQUENCE_OF_OPT(REVOCATION_VALUES, crlVals, X509_CRL, 0),
    ASN1_EXP_SEQUENCE_OF_OPT(REVOCATION_VALUES, ocspVals, OCSP_BASICRESP, 1),
} ASN1_SEQUENCE_END(REVOCATION_VALUES)

ASN1_ITEM_TEMPLATE(CERT_REFS) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, CertRefs, OTHERCERTID)
ASN1_ITEM_TEMPLATE_END(CERT_REFS)

ASN1_ITEM_TEMPLATE(CERT_VALUES) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, Certificates, X509)
ASN1_ITEM_TEMPLATE_END(CERT_VALUES)

ASN1_ITEM_TEMPLATE(CRL_VALUES) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, CertificateLists, X509_CRL)
ASN1_ITEM_TEMPLATE_END(CRL_VALUES)

IMPLEMENT_ASN1_FUNCTIONS(RESPONDER_ID)
IMPLEMENT_ASN1_FUNCTIONS(CRL_IDENTIFIER)
IMPLEMENT_ASN1_FUNCTIONS(CRL_VALIDATED_ID)
IMPLEMENT_ASN1_FUNCTIONS(CRL_LIST_ID)
IMPLEMENT_ASN1_FUNCTIONS(OCSP_IDENTIFIER)
IMPLEMENT_ASN1_FUNCTIONS(OCSP_RESPONSES_ID)
IMPLEMENT_ASN1_FUNCTIONS(OCSP_LIST_ID)
IMPLEMENT_ASN1_FUNCTIONS(CRL_OCSP_REF)
IMPLEMENT_ASN1_FUNCTIONS(COMPLETE_REVOCATION_REFS)
IMPLEMENT_ASN1_FUNCTIONS(REVOCATION_VALUES)
    // clang-format on

    namespace ssf {
    RESPONDER_ID* OCSP_RESPID_dup(const RESPONDER_ID* id) {
        if (!id) return nullptr;
        return static_cast<RESPONDER_ID*>(ASN1_item_dup(ASN1_ITEM_rptr(RESPONDER_ID), id));
    }

    RESPONDER_ID* responder_id_of(const OCSP_BASICRESP* bs) {
        if (!bs) return nullptr;
        const ASN1_OCTET_STRING* key = nullptr;
        const X509_NAME* name = nullptr;
        if (OCSP_resp_get0_id(bs, &key, &name) != 1) return nullptr;
        RespId id(RESPONDER_ID_new());
        if (!id) return nullptr;
        if (name) {
            id->type = V_OCSP_RESPID_NAME;
            id->value.byName = X509_NAME_dup(name);
            if (!id->value.byName) return nullptr;
        } else if (key) {
            id->type = V_OCSP_RESPID_KEY;
            id->value.byKey = ASN1_OCTET_STRING_dup(key);
            if (!id->value.byKey) return nullptr;
        } else {
            return nullptr;
        }
        return id.release();
    }

    ossl::Bytes seq_pack(const void* stack, const ASN1_ITEM* item, int* len) {
        unsigned char* der = nullptr;
        const int n = stack ? ASN1_item_i2d(static_cast<const ASN1_VALUE*>(stack), &der, item) : -1;
        if (len) *len = n > 0 ? n : 0;
        if (n <= 0) {
            OPENSSL_free(der);
            return nullptr;
        }
        return ossl::Bytes(der);
    }

    std::string seq_pack_der(const void* stack, const ASN1_ITEM* item) {
        int len = 0;
        ossl::Bytes der = seq_pack(stack, item, &len);
        return der ? std::string(reinterpret_cast<const char*>(der.get()), static_cast<size_t>(len))
                   : std::string();
    }

    void* seq_unpack(const unsigned char* der, long len, const ASN1_ITEM* item) {
        if (!der || len <= 0) return nullptr;
        const unsigned char* p = der;
        ossl::Asn1Value v = ossl::item_value(ASN1_item_d2i(nullptr, &p, len, item), item);
        if (v && p != der + len) return nullptr;
        return v.release();
    }

}  // namespace ssf
