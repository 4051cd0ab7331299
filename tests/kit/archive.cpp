#include "kit/archive.h"

#include "kit/crl.h"
#include "kit/kit_check.h"
#include "kit/tsa.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/revocation_refs.h"

namespace test_pki {

namespace {

void append(Der& out, const Der& part) {
    out.insert(out.end(), part.begin(), part.end());
}

// SEQUENCE OF the elements' DER, written out by hand.
Der sequence_of(const Der& body) {
    Der out{0x30};
    if (body.size() < 0x80) {
        out.push_back(static_cast<unsigned char>(body.size()));
    } else {
        Der len;
        for (size_t n = body.size(); n > 0; n >>= 8) len.insert(len.begin(), n & 0xff);
        out.push_back(static_cast<unsigned char>(0x80 | len.size()));
        append(out, len);
    }
    append(out, body);
    return out;
}

void set_value(PKCS7_SIGNER_INFO* si, int nid, const Der& der) {
    ossl::Asn1String s(ASN1_STRING_new());
    check(s && ASN1_STRING_set(s.get(), der.data(), static_cast<int>(der.size())), "value");
    check(PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, s.get()) == 1, "attribute");
    (void)s.release();
}

// The token's SignerInfo as the provider's attribute check wants it: CRLs of the TSA's issuer and
// of the intermediate, their references, the three certificates and their references.
void complete_token(PKCS7* token, const Entity& tsa) {
    const Pki& pki = get();
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(token), 0);
    ssf::RevocationValues values(REVOCATION_VALUES_new());
    ssf::RevocationRefs refs(COMPLETE_REVOCATION_REFS_new());
    check(si && values && refs, "token SignerInfo");
    values->crlVals = sk_X509_CRL_new_null();
    values->ocspVals = sk_OCSP_BASICRESP_new_null();
    refs->crlOcspRefs->crlids = CRL_LIST_ID_new();
    refs->crlOcspRefs->ocspids = OCSP_LIST_ID_new();
    for (const Entity* issuer : {&pki.inter, &pki.root}) {
        ossl::X509Crl crl = make_crl({.issuer = issuer});
        ssf::CrlValidatedId id = ssf::make_crl_id(crl.get(), EVP_sha256());
        check(id && sk_CRL_VALIDATED_ID_push(refs->crlOcspRefs->crlids->crls, id.release()) > 0 &&
                  sk_X509_CRL_push(values->crlVals, crl.release()) > 0,
              "CRL value");
    }
    Der certs, ids;
    for (const Entity* e : {&tsa, &pki.inter, &pki.root}) {
        append(certs, der_with(e->cert.get(), i2d_X509));
        ossl::OtherCertId id(PKCS7_make_other_cert_id(e->cert.get(), EVP_sha256()));
        check(id != nullptr, "certificate reference");
        append(ids, der_with(id.get(), i2d_OTHERCERTID));
    }
    set_value(si, NID_id_smime_aa_ets_revocationValues,
              der_with(values.get(), i2d_REVOCATION_VALUES));
    set_value(si, NID_id_smime_aa_ets_RevocationRefs,
              der_with(refs.get(), i2d_COMPLETE_REVOCATION_REFS));
    set_value(si, NID_id_smime_aa_ets_certValues, sequence_of(certs));
    set_value(si, NID_id_smime_aa_ets_CertificateRefs, sequence_of(ids));
}

}  // namespace

Der archive_data(PKCS7* p7, PKCS7_SIGNER_INFO* si, const std::string& content) {
    Der out = der_with(p7->d.sign->contents, i2d_PKCS7);
    if (PKCS7_get_detached(p7)) out.insert(out.end(), content.begin(), content.end());
    if (STACK_OF(X509)* certs = p7->d.sign->cert) {
        Der body;
        for (int i = 0; i < sk_X509_num(certs); ++i)
            append(body, der_with(sk_X509_value(certs, i), i2d_X509));
        append(out, sequence_of(body));
    }
    if (STACK_OF(X509_CRL)* crls = p7->d.sign->crl) {
        Der body;
        for (int i = 0; i < sk_X509_CRL_num(crls); ++i)
            append(body, der_with(sk_X509_CRL_value(crls, i), i2d_X509_CRL));
        append(out, sequence_of(body));
    }
    append(out, der_with(si, i2d_PKCS7_SIGNER_INFO));
    return out;
}

void add_archive_stamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, const ArchiveSpec& spec) {
    check(spec.tsa != nullptr, "no TSA");
    const Der data = archive_data(p7, si, spec.content);
    TokenSpec ts;
    ts.tsa = spec.tsa;
    ts.gen_time = spec.gen_time;
    ts.gen_usec = spec.gen_usec;
    // The attribute check of the token's SignerInfo asks for version 2; the crypto library leaves
    // SHA-256 out as the standard's default, as today's TSAs do.
    ts.ess_v2 = true;
    ts.data.assign(data.begin(), data.end());
    if (spec.wrong_data) ts.data += "x";
    ossl::Pkcs7 token = make_token(ts);
    complete_token(token.get(), *spec.tsa);
    const Der der = to_der(token.get());
    ossl::Asn1String value(ASN1_STRING_new());
    check(value && ASN1_STRING_set(value.get(), der.data(), static_cast<int>(der.size())),
          "token value");
    const int nid = OBJ_txt2nid("1.2.840.113549.1.9.16.2.48");
    ossl::Attribute attr(X509_ATTRIBUTE_create(nid, V_ASN1_SEQUENCE, value.get()));
    check(attr != nullptr, "archive attribute");
    (void)value.release();
    // Pushed, never set: earlier stamps stay.
    if (!si->unauth_attr) si->unauth_attr = sk_X509_ATTRIBUTE_new_null();
    check(si->unauth_attr && sk_X509_ATTRIBUTE_push(si->unauth_attr, attr.get()) > 0, "push");
    (void)attr.release();
}

}  // namespace test_pki
