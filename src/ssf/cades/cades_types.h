// The provider's own CAdES revocation types: references to CRLs and OCSP responses
// (CompleteRevocationRefs) and the values themselves (RevocationValues), written in the crypto
// library's ASN.1 template style. Stored signatures carry these bytes, so the layout is fixed:
// every tag is EXPLICIT; CompleteRevocationRefs holds exactly one CRL_OCSP_REF (a value with two
// does not decode); neither otherRev nor otherRevVals exists (a value carrying one does not
// decode); hashes are always algorithm-and-value (MD), never a bare SHA-1 OCTET STRING.
//
// Each type has TYPE_new, TYPE_free, d2i_TYPE and i2d_TYPE with the crypto library's contracts
// (d2i advances the input and returns a new record or null; i2d with a null output pointer
// only measures, with a pointer to null allocates). A record owns everything it points to; an
// absent OPTIONAL field is a null pointer; an OPTIONAL list that is present but empty is encoded
// with its tag as an empty SEQUENCE OF. TYPE_new creates the mandatory sub-structures empty.
#pragma once

#include <openssl/asn1t.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <string>

#include "cryptoext/ess_types.h"
#include "cryptoext/ossl.h"

// ResponderID ::= CHOICE { byName [1] EXPLICIT Name, byKey [2] EXPLICIT OCTET STRING }.
// The crypto library's OCSP_RESPID encodes the same but is opaque; references must compare
// the two alternatives, so this one is ours. type: V_OCSP_RESPID_NAME or V_OCSP_RESPID_KEY.
struct RESPONDER_ID {
    int type;
    union {
        X509_NAME* byName;
        ASN1_OCTET_STRING* byKey;
    } value;
};

struct CRL_IDENTIFIER {
    X509_NAME* crlIssuer;
    ASN1_TIME* crlIssuedTime;  // UTCTime, GeneralizedTime only where UTCTime cannot hold the date
    ASN1_INTEGER* crlNumber;   // OPTIONAL
};

struct CRL_VALIDATED_ID {
    MD* crlHash;
    CRL_IDENTIFIER* crlIdentifier;  // OPTIONAL
};
DEFINE_STACK_OF(CRL_VALIDATED_ID)

struct CRL_LIST_ID {
    STACK_OF(CRL_VALIDATED_ID) * crls;
};

struct OCSP_IDENTIFIER {
    RESPONDER_ID* responderId;
    ASN1_GENERALIZEDTIME* producedAt;
};

struct OCSP_RESPONSES_ID {
    OCSP_IDENTIFIER* OcspIdentifier;
    MD* ocspRepHash;  // OPTIONAL
};
DEFINE_STACK_OF(OCSP_RESPONSES_ID)

struct OCSP_LIST_ID {
    STACK_OF(OCSP_RESPONSES_ID) * OcspRespIds;
};

struct CRL_OCSP_REF {
    CRL_LIST_ID* crlids;    // [0] OPTIONAL
    OCSP_LIST_ID* ocspids;  // [1] OPTIONAL
};

struct COMPLETE_REVOCATION_REFS {
    CRL_OCSP_REF* crlOcspRefs;  // the one and only element
};

DEFINE_STACK_OF(OCSP_BASICRESP)

struct REVOCATION_VALUES {
    STACK_OF(X509_CRL) * crlVals;         // [0] OPTIONAL
    STACK_OF(OCSP_BASICRESP) * ocspVals;  // [1] OPTIONAL
};

DECLARE_ASN1_FUNCTIONS(RESPONDER_ID)
DECLARE_ASN1_FUNCTIONS(CRL_IDENTIFIER)
DECLARE_ASN1_FUNCTIONS(CRL_VALIDATED_ID)
DECLARE_ASN1_FUNCTIONS(CRL_LIST_ID)
DECLARE_ASN1_FUNCTIONS(OCSP_IDENTIFIER)
DECLARE_ASN1_FUNCTIONS(OCSP_RESPONSES_ID)
DECLARE_ASN1_FUNCTIONS(OCSP_LIST_ID)
DECLARE_ASN1_FUNCTIONS(CRL_OCSP_REF)
DECLARE_ASN1_FUNCTIONS(COMPLETE_REVOCATION_REFS)
DECLARE_ASN1_FUNCTIONS(REVOCATION_VALUES)

// SEQUENCE OF items for the attribute values that are bare lists (what 1.0.2's
// ASN1_seq_pack/ASN1_seq_unpack did): CertificateRefs (SEQUENCE OF OtherCertID), certValues
// and archive certificates (SEQUENCE OF Certificate), archive CRLs (SEQUENCE OF CertificateList).
DECLARE_ASN1_ITEM(CERT_REFS)
DECLARE_ASN1_ITEM(CERT_VALUES)
DECLARE_ASN1_ITEM(CRL_VALUES)

namespace ssf {

// The DER of an unsigned attribute's value when it is a SEQUENCE; null when the signer info has
// no such attribute or its value is of another type.
inline const ASN1_STRING* unsigned_sequence(PKCS7_SIGNER_INFO* si, int nid) {
    const ASN1_TYPE* t = si ? PKCS7_get_attribute(si, nid) : nullptr;
    return t && t->type == V_ASN1_SEQUENCE ? t->value.sequence : nullptr;
}
// A value decoded from all of s's bytes with d2i; null when there is none or it does not decode.
template <class T>
T* decode_value(const ASN1_STRING* s, T* (*d2i)(T**, const unsigned char**, long)) {
    if (!s) return nullptr;
    const unsigned char* p = ASN1_STRING_get0_data(s);
    return d2i(nullptr, &p, ASN1_STRING_length(s));
}
// The DER of a value with its i2d; empty when it cannot be encoded.
template <class T>
std::string der_of(const T* v, int (*i2d)(const T*, unsigned char**)) {
    unsigned char* der = nullptr;
    const int n = v ? i2d(v, &der) : -1;
    ossl::Bytes owned(der);
    return n > 0 ? std::string(reinterpret_cast<const char*>(der), static_cast<size_t>(n))
                 : std::string();
}

inline void free_cert_refs(STACK_OF(OTHERCERTID) * s) {
    sk_OTHERCERTID_pop_free(s, OTHERCERTID_free);
}
using RespId = ossl::Owner<RESPONDER_ID, RESPONDER_ID_free>;
using CrlValidatedId = ossl::Owner<CRL_VALIDATED_ID, CRL_VALIDATED_ID_free>;
using OcspResponsesId = ossl::Owner<OCSP_RESPONSES_ID, OCSP_RESPONSES_ID_free>;
using RevocationRefs = ossl::Owner<COMPLETE_REVOCATION_REFS, COMPLETE_REVOCATION_REFS_free>;
using RevocationValues = ossl::Owner<REVOCATION_VALUES, REVOCATION_VALUES_free>;
using CertRefs = ossl::Owner<STACK_OF(OTHERCERTID), free_cert_refs>;

// A deep copy of a responder identifier, or null.
RESPONDER_ID* OCSP_RESPID_dup(const RESPONDER_ID* id);
// The responder identifier of a basic response as our own type, or null.
RESPONDER_ID* responder_id_of(const OCSP_BASICRESP* bs);

// DER of a SEQUENCE OF under one of the list items above; empty on failure.
ossl::Bytes seq_pack(const void* stack, const ASN1_ITEM* item, int* len);
// The same as bytes; empty on failure.
std::string seq_pack_der(const void* stack, const ASN1_ITEM* item);
// Decodes the whole of [der, der + len) as a SEQUENCE OF under the item: a new stack, or null
// (also when bytes follow the list).
void* seq_unpack(const unsigned char* der, long len, const ASN1_ITEM* item);

inline STACK_OF(OTHERCERTID) * unpack_cert_refs(const unsigned char* der, long len) {
    return static_cast<STACK_OF(OTHERCERTID)*>(seq_unpack(der, len, ASN1_ITEM_rptr(CERT_REFS)));
}
inline STACK_OF(X509) * unpack_certs(const unsigned char* der, long len) {
    return static_cast<STACK_OF(X509)*>(seq_unpack(der, len, ASN1_ITEM_rptr(CERT_VALUES)));
}
inline STACK_OF(X509_CRL) * unpack_crls(const unsigned char* der, long len) {
    return static_cast<STACK_OF(X509_CRL)*>(seq_unpack(der, len, ASN1_ITEM_rptr(CRL_VALUES)));
}

}  // namespace ssf
