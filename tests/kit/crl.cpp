#include "kit/crl.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "kit/kit_check.h"

namespace test_pki {

namespace {

std::string tlv(unsigned char tag, const std::string& body) {
    std::string len;
    for (size_t n = body.size(); n > 0; n >>= 8) len.insert(len.begin(), static_cast<char>(n));
    std::string out(1, static_cast<char>(tag));
    if (body.size() < 0x80)
        out += static_cast<char>(body.size());
    else
        out += static_cast<char>(0x80 | len.size()) + len;
    return out + body;
}

// CRLDistributionPoints (the syntax of freshestCRL too) with one full-name URI per point.
// Written by hand: the configuration syntax would split LDAP URLs at their commas.
ossl::ExtPtr dist_points(int nid, const std::vector<std::string>& uris) {
    std::string points;
    for (const std::string& u : uris) points += tlv(0x30, tlv(0xA0, tlv(0xA0, tlv(0x86, u))));
    const std::string der = tlv(0x30, points);
    ossl::OctetString value(ASN1_OCTET_STRING_new());
    check(value &&
              ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(der.data()),
                                    static_cast<int>(der.size())),
          "distribution points");
    ossl::ExtPtr ext(X509_EXTENSION_create_by_NID(nullptr, nid, 0, value.get()));
    check(ext != nullptr, "distribution points extension");
    return ext;
}

void add_number(X509_CRL* crl, int nid, long n, int critical) {
    ossl::Asn1Integer v(ASN1_INTEGER_new());
    check(
        v && ASN1_INTEGER_set(v.get(), n) && X509_CRL_add1_ext_i2d(crl, nid, v.get(), critical, 0),
        "CRL number");
}

void set_time(X509_CRL* crl, time_t t, bool generalized,
              int (*setter)(X509_CRL*, const ASN1_TIME*)) {
    ossl::Asn1Time at(generalized ? ASN1_GENERALIZEDTIME_set(nullptr, t)
                                  : ASN1_TIME_set(nullptr, t));
    check(at && setter(crl, at.get()), "CRL time");
}

void add_idp(X509_CRL* crl, const IdpSpec& spec) {
    ossl::IssuingDistPoint idp(ISSUING_DIST_POINT_new());
    check(idp != nullptr, "issuingDistributionPoint");
    idp->onlyuser = spec.only_user;
    idp->onlyCA = spec.only_ca;
    idp->onlyattr = spec.only_attr;
    idp->indirectCRL = spec.indirect;
    if (!spec.reasons.empty()) {
        idp->onlysomereasons = ASN1_BIT_STRING_new();
        for (int bit : spec.reasons)
            check(ASN1_BIT_STRING_set_bit(idp->onlysomereasons, bit, 1) == 1, "onlySomeReasons");
    }
    if (!spec.point.empty()) {
        idp->distpoint = DIST_POINT_NAME_new();
        idp->distpoint->type = 0;
        idp->distpoint->name.fullname = GENERAL_NAMES_new();
        GENERAL_NAME* uri = GENERAL_NAME_new();
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        check(uri && text &&
                  ASN1_STRING_set(text, spec.point.data(), static_cast<int>(spec.point.size())) &&
                  sk_GENERAL_NAME_push(idp->distpoint->name.fullname, uri),
              "distributionPoint");
        GENERAL_NAME_set0_value(uri, GEN_URI, text);
    }
    check(X509_CRL_add1_ext_i2d(crl, NID_issuing_distribution_point, idp.get(), 1, 0) == 1,
          "issuingDistributionPoint");
}

}  // namespace

ossl::X509Crl make_crl(const CrlSpec& s) {
    check(s.issuer != nullptr, "CRL without issuer");
    ossl::X509Crl crl(X509_CRL_new());
    check(crl && X509_CRL_set_version(crl.get(), 1) &&
              X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(s.issuer->cert.get())),
          "CRL");
    const time_t last = s.last_update ? s.last_update : std::time(nullptr) - kDay;
    set_time(crl.get(), last, s.generalized_time, X509_CRL_set1_lastUpdate);
    if (!s.no_next_update)
        set_time(crl.get(), s.next_update ? s.next_update : last + 7 * kDay, s.generalized_time,
                 X509_CRL_set1_nextUpdate);
    for (const auto& [serial, when] : s.revoked) {
        ossl::X509Revoked entry(X509_REVOKED_new());
        ossl::Asn1Integer sn(ASN1_INTEGER_new());
        ossl::Asn1Time at(ASN1_TIME_set(nullptr, when));
        check(entry && sn && at && ASN1_INTEGER_set(sn.get(), serial) &&
                  X509_REVOKED_set_serialNumber(entry.get(), sn.get()) &&
                  X509_REVOKED_set_revocationDate(entry.get(), at.get()) &&
                  X509_CRL_add0_revoked(crl.get(), entry.get()),
              "revoked entry");
        entry.release();
    }
    X509_CRL_sort(crl.get());
    if (s.number >= 0) add_number(crl.get(), NID_crl_number, s.number, 0);
    if (s.delta_of >= 0) add_number(crl.get(), NID_delta_crl, s.delta_of, 1);
    if (!s.freshest.empty())
        check(X509_CRL_add_ext(crl.get(), dist_points(NID_freshest_crl, s.freshest).get(), -1),
              "freshestCRL");
    if (s.idp) add_idp(crl.get(), *s.idp);
    if (s.key_id) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, s.issuer->cert.get(), nullptr, nullptr, crl.get(), 0);
        ossl::ExtPtr akid(
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always"));
        check(akid && X509_CRL_add_ext(crl.get(), akid.get(), -1), "authorityKeyIdentifier");
    }
    EVP_PKEY* key = s.sign_key ? s.sign_key : s.issuer->key.get();
    check(X509_CRL_sign(crl.get(), key, digest_for(key)) > 0, "CRL signature");
    return crl;
}

std::string crl_der(X509_CRL* crl) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(i2d_X509_CRL_bio(b.get(), crl) == 1, "i2d_X509_CRL_bio");
    return mem_text(b.get());
}

std::string crl_pem(X509_CRL* crl) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509_CRL(b.get(), crl) == 1, "PEM_write_bio_X509_CRL");
    return mem_text(b.get());
}

void add_crl_points(Entity& e, const Entity* issuer, const std::vector<std::string>& uris,
                    bool freshest) {
    X509* x = e.cert.get();
    const int nid = freshest ? NID_freshest_crl : NID_crl_distribution_points;
    check(X509_add_ext(x, dist_points(nid, uris).get(), -1) == 1, "add extension");
    EVP_PKEY* key = (issuer ? issuer : &e)->key.get();
    check(X509_sign(x, key, digest_for(key)) > 0, "certificate signature");
}

}  // namespace test_pki
