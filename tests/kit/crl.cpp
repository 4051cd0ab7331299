#include "kit/crl.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>

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

// ReasonFlags as DER: a named bit list, trailing zero bits dropped.
std::string reason_flags(unsigned char tag, const std::vector<int>& bits) {
    int top = 0;
    for (int b : bits) top = std::max(top, b);
    std::string octets(static_cast<size_t>(top / 8 + 1), '\0');
    for (int b : bits) octets[static_cast<size_t>(b / 8)] |= static_cast<char>(0x80 >> (b % 8));
    return tlv(tag, std::string(1, static_cast<char>(7 - top % 8)) + octets);
}

ossl::ExtPtr raw_ext(const ASN1_OBJECT* type, const std::string& der, bool critical) {
    ossl::OctetString value(ASN1_OCTET_STRING_new());
    check(value &&
              ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(der.data()),
                                    static_cast<int>(der.size())),
          "extension value");
    ossl::ExtPtr ext(X509_EXTENSION_create_by_OBJ(nullptr, type, critical ? 1 : 0, value.get()));
    check(ext != nullptr, "extension");
    return ext;
}

ossl::ExtPtr raw_ext(const RawExt& e) {
    ossl::Asn1Object type(OBJ_txt2obj(e.oid.c_str(), 1));
    check(type != nullptr, "extension identifier");
    return raw_ext(type.get(), e.der, e.critical);
}

// CRLDistributionPoints (the syntax of freshestCRL too), one full-name URI per point. Written by
// hand: the configuration syntax would split LDAP URLs at their commas.
ossl::ExtPtr dist_points(int nid, const std::vector<PointSpec>& list) {
    std::string points;
    for (const PointSpec& p : list) {
        const std::string name =
            p.relative ? tlv(0xA1, tlv(0x30, "\x06\x03\x55\x04\x03" + tlv(0x0C, p.uri)))
                       : tlv(0xA0, tlv(0x86, p.uri));
        points +=
            tlv(0x30, tlv(0xA0, name) + (p.reasons.empty() ? "" : reason_flags(0x81, p.reasons)));
    }
    return raw_ext(OBJ_nid2obj(nid), tlv(0x30, points), false);
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
    if (!spec.relative.empty()) {
        idp->distpoint = DIST_POINT_NAME_new();
        idp->distpoint->type = 1;
        idp->distpoint->name.relativename = sk_X509_NAME_ENTRY_new_null();
        X509_NAME_ENTRY* cn = X509_NAME_ENTRY_create_by_NID(
            nullptr, NID_commonName, MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(spec.relative.c_str()), -1);
        check(cn && sk_X509_NAME_ENTRY_push(idp->distpoint->name.relativename, cn),
              "relative distributionPoint");
    }
    if (!spec.directory.empty()) {
        X509_NAME* name = X509_NAME_dup(X509_CRL_get_issuer(crl));
        GENERAL_NAME* dir = GENERAL_NAME_new();
        idp->distpoint = DIST_POINT_NAME_new();
        idp->distpoint->type = 0;
        idp->distpoint->name.fullname = GENERAL_NAMES_new();
        check(name && dir &&
                  X509_NAME_add_entry_by_NID(
                      name, NID_commonName, MBSTRING_UTF8,
                      reinterpret_cast<const unsigned char*>(spec.directory.c_str()), -1, -1, 0) &&
                  sk_GENERAL_NAME_push(idp->distpoint->name.fullname, dir),
              "directoryName distributionPoint");
        GENERAL_NAME_set0_value(dir, GEN_DIRNAME, name);
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
    for (const Revoked& r : s.revoked) {
        ossl::X509Revoked entry(X509_REVOKED_new());
        ossl::Asn1Integer sn(ASN1_INTEGER_new());
        ossl::Asn1Time at(ASN1_TIME_set(nullptr, r.when));
        check(entry && sn && at && ASN1_INTEGER_set(sn.get(), r.serial) &&
                  X509_REVOKED_set_serialNumber(entry.get(), sn.get()) &&
                  X509_REVOKED_set_revocationDate(entry.get(), at.get()),
              "revoked entry");
        if (r.reason >= 0)
            check(X509_REVOKED_add_ext(
                      entry.get(),
                      raw_ext({"2.5.29.21", tlv(0x0A, std::string(1, static_cast<char>(r.reason))),
                               false})
                          .get(),
                      -1) == 1,
                  "reasonCode");
        for (const RawExt& e : s.entry_exts)
            check(X509_REVOKED_add_ext(entry.get(), raw_ext(e).get(), -1) == 1, "entry extension");
        check(X509_CRL_add0_revoked(crl.get(), entry.get()) == 1, "revoked entry");
        entry.release();
    }
    X509_CRL_sort(crl.get());
    if (s.number >= 0) add_number(crl.get(), NID_crl_number, s.number, 0);
    if (s.delta_of >= 0) add_number(crl.get(), NID_delta_crl, s.delta_of, 1);
    if (!s.freshest.empty())
        check(X509_CRL_add_ext(
                  crl.get(),
                  dist_points(NID_freshest_crl, {s.freshest.begin(), s.freshest.end()}).get(), -1),
              "freshestCRL");
    if (s.idp) add_idp(crl.get(), *s.idp);
    if (s.key_id) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, s.issuer->cert.get(), nullptr, nullptr, crl.get(), 0);
        ossl::ExtPtr akid(
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always"));
        check(akid && X509_CRL_add_ext(crl.get(), akid.get(), -1), "authorityKeyIdentifier");
    }
    for (const RawExt& e : s.exts)
        check(X509_CRL_add_ext(crl.get(), raw_ext(e).get(), -1) == 1, "CRL extension");
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

void add_crl_points(Entity& e, const Entity* issuer, const std::vector<PointSpec>& points,
                    bool freshest) {
    X509* x = e.cert.get();
    const int nid = freshest ? NID_freshest_crl : NID_crl_distribution_points;
    check(X509_add_ext(x, dist_points(nid, points).get(), -1) == 1, "add extension");
    EVP_PKEY* key = (issuer ? issuer : &e)->key.get();
    check(X509_sign(x, key, digest_for(key)) > 0, "certificate signature");
}

}  // namespace test_pki
