// CAdES references against their values: each matcher with its optional fields present and
// absent, and the whole check of a SignerInfo's reference and value attributes.
#include "ssf/cades/ref_match.h"

#include <functional>
#include <optional>

#include "fixture.h"
#include "kit/crl.h"
#include "kit/ocsp.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/cades/revocation_refs.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/utils.h"

using test_pki::Der;
using test_pki::Entity;

namespace {

MD* md_of(const unsigned char* digest, unsigned int len) {
    MD* md = MD_new();
    X509_ALGOR_set0(md->hashAlgorithm, OBJ_nid2obj(NID_sha256), V_ASN1_UNDEF, nullptr);
    ASN1_OCTET_STRING_set(md->hashValue, digest, static_cast<int>(len));
    return md;
}

void set_unknown_algorithm(MD* md) {
    X509_ALGOR_set0(md->hashAlgorithm, OBJ_txt2obj("1.2.3.4", 1), V_ASN1_UNDEF, nullptr);
}

Der pack(const void* stack, const ASN1_ITEM* item) {
    int n = 0;
    ossl::Bytes der = ssf::seq_pack(stack, item, &n);
    return Der(der.get(), der.get() + n);
}

class RefMatch : public ssf_test::Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        if (crl5) return;
        const time_t t = test_pki::now() - test_pki::kDay;
        crl5 = test_pki::make_crl({&pki->inter, nullptr, t, 0, false, {}, 5}).release();
        crl_plain = test_pki::make_crl({&pki->inter, nullptr, t, 0, false, {}, -1}).release();
        // Other producers write GeneralizedTime before 2050 too; from 2050 on everybody must.
        crl_gen =
            test_pki::make_crl(
                {.issuer = &pki->inter, .last_update = t, .number = 7, .generalized_time = true})
                .release();
        crl_2055 =
            test_pki::make_crl({.issuer = &pki->inter, .last_update = 2682374400, .number = 8})
                .release();
        const test_pki::Services& s = test_pki::services();
        test_pki::OcspSpec spec;
        spec.responder = &s.responder[static_cast<int>(test_pki::KeyType::ec)];
        spec.produced_at = t;
        spec.singles.push_back({&pki->leaf, &pki->inter});
        by_name = test_pki::make_basic(spec).release();
        spec.by_key = true;
        by_key = test_pki::make_basic(spec).release();
    }
    // A reference to crl5 with every field, or to the given CRL with the hash alone.
    static ssf::CrlValidatedId crl_ref(X509_CRL* crl, bool identifier) {
        unsigned char d[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        X509_CRL_digest(crl, EVP_sha256(), d, &n);
        ssf::CrlValidatedId id(CRL_VALIDATED_ID_new());
        ossl::replace<ossl::Md>(id->crlHash, md_of(d, n));
        if (!identifier) return id;
        id->crlIdentifier = CRL_IDENTIFIER_new();
        X509_NAME_set(&id->crlIdentifier->crlIssuer, X509_CRL_get_issuer(crl));
        ASN1_STRING_copy(id->crlIdentifier->crlIssuedTime, X509_CRL_get0_lastUpdate(crl));
        id->crlIdentifier->crlNumber = ASN1_INTEGER_new();
        ASN1_INTEGER_set(id->crlIdentifier->crlNumber, 5);
        return id;
    }
    static ssf::OcspResponsesId ocsp_ref(OCSP_BASICRESP* bs, bool hash) {
        ssf::OcspResponsesId id(OCSP_RESPONSES_ID_new());
        ossl::replace<ssf::RespId>(id->OcspIdentifier->responderId, ssf::responder_id_of(bs));
        ASN1_STRING_copy(id->OcspIdentifier->producedAt, OCSP_resp_get0_produced_at(bs));
        if (hash) {
            unsigned char d[EVP_MAX_MD_SIZE];
            unsigned int n = 0;
            EXPECT_EQ(ssf::OCSP_BASICRESP_digest(bs, EVP_sha256(), d, &n), 1);
            id->ocspRepHash = md_of(d, n);
        }
        return id;
    }
    static inline X509_CRL *crl5 = nullptr, *crl_plain = nullptr, *crl_gen = nullptr,
                           *crl_2055 = nullptr;
    static inline OCSP_BASICRESP *by_name = nullptr, *by_key = nullptr;
};

TEST_F(RefMatch, CrlReferences) {
    const struct {
        const char* what;
        X509_CRL* ref_crl;
        bool identifier;
        std::function<void(CRL_VALIDATED_ID*)> edit;
        X509_CRL* crl;
        int expect;
    } cases[] = {
        {"every field", crl5, true, nullptr, crl5, 1},
        {"hash alone", crl5, false, nullptr, crl5, 1},
        {"identifier without number", crl5, true,
         [](CRL_VALIDATED_ID* id) {
             ossl::replace<ossl::Asn1Integer>(id->crlIdentifier->crlNumber, nullptr);
         },
         crl5, 1},
        {"another CRL's hash", crl_plain, false, nullptr, crl5, 0},
        {"hash with no known digest", crl5, false,
         [](CRL_VALIDATED_ID* id) { set_unknown_algorithm(id->crlHash); }, crl5, 0},
        {"other issuer", crl5, true,
         [](CRL_VALIDATED_ID* id) {
             X509_NAME_set(&id->crlIdentifier->crlIssuer,
                           X509_get_subject_name(test_pki::get().root.cert.get()));
         },
         crl5, 0},
        {"other issued time", crl5, true,
         [](CRL_VALIDATED_ID* id) {
             ASN1_UTCTIME_set(id->crlIdentifier->crlIssuedTime, test_pki::now());
         },
         crl5, 0},
        {"other number", crl5, true,
         [](CRL_VALIDATED_ID* id) { ASN1_INTEGER_set(id->crlIdentifier->crlNumber, 6); }, crl5, 0},
        {"number, CRL without one", crl_plain, true, nullptr, crl_plain, 0},
        {"UTCTime against a GeneralizedTime thisUpdate", crl_gen, true,
         [](CRL_VALIDATED_ID* id) {
             ossl::replace<ossl::Asn1Integer>(id->crlIdentifier->crlNumber, nullptr);
             ASN1_UTCTIME_set(id->crlIdentifier->crlIssuedTime,
                              ssf::asn1_time_to_time_t(X509_CRL_get0_lastUpdate(crl_gen)));
         },
         crl_gen, 1},
        {"GeneralizedTime against a UTCTime thisUpdate", crl5, true,
         [](CRL_VALIDATED_ID* id) {
             ASN1_GENERALIZEDTIME_set(id->crlIdentifier->crlIssuedTime,
                                      ssf::asn1_time_to_time_t(X509_CRL_get0_lastUpdate(crl5)));
         },
         crl5, 1},
    };
    for (const auto& c : cases) {
        ssf::CrlValidatedId id = crl_ref(c.ref_crl, c.identifier);
        if (c.edit) c.edit(id.get());
        EXPECT_EQ(ssf::crlid_and_crl_match(id.get(), c.crl), c.expect) << c.what;
    }
    EXPECT_EQ(ssf::find_crl_in_list(crl_ref(crl5, true).get(), nullptr), 0);
    EXPECT_TRUE(log_contains("crlid_and_crl_match() 7 : CRL number not found in CRL but  CRL-ID"));
    // The library's own references: UTCTime wherever it can hold the date, as stored
    // signatures have it; they decode again and match their CRL.
    for (auto [crl, type] : {std::pair{crl5, V_ASN1_UTCTIME},
                             {crl_gen, V_ASN1_UTCTIME},
                             {crl_2055, V_ASN1_GENERALIZEDTIME}}) {
        ssf::CrlValidatedId id = ssf::make_crl_id(crl, EVP_sha256());
        ASSERT_TRUE(id) << type;
        EXPECT_EQ(ASN1_STRING_type(id->crlIdentifier->crlIssuedTime), type);
        const Der der = test_pki::der_with(id.get(), i2d_CRL_VALIDATED_ID);
        const unsigned char* p = der.data();
        ssf::CrlValidatedId back(d2i_CRL_VALIDATED_ID(nullptr, &p, static_cast<long>(der.size())));
        EXPECT_EQ(ssf::crlid_and_crl_match(back.get(), crl), 1) << type;
    }
}

TEST_F(RefMatch, OcspReferences) {
    const struct {
        const char* what;
        OCSP_BASICRESP* ref_of;
        bool hash;
        std::function<void(OCSP_RESPONSES_ID*)> edit;
        OCSP_BASICRESP* response;
        int expect;
    } cases[] = {
        {"by name with hash", by_name, true, nullptr, by_name, 1},
        {"by name without hash", by_name, false, nullptr, by_name, 1},
        {"by key without hash", by_key, false, nullptr, by_key, 1},
        {"by key against by name", by_key, false, nullptr, by_name, 0},
        {"other response's hash", by_key, true,
         [](OCSP_RESPONSES_ID* id) {
             ossl::replace<ssf::RespId>(id->OcspIdentifier->responderId,
                                        ssf::responder_id_of(by_name));
         },
         by_name, 0},
        {"hash with no known digest", by_name, true,
         [](OCSP_RESPONSES_ID* id) { set_unknown_algorithm(id->ocspRepHash); }, by_name, 0},
        {"other producedAt", by_name, false,
         [](OCSP_RESPONSES_ID* id) {
             ASN1_GENERALIZEDTIME_set(id->OcspIdentifier->producedAt, test_pki::now());
         },
         by_name, 0},
        {"other key hash", by_key, false,
         [](OCSP_RESPONSES_ID* id) { id->OcspIdentifier->responderId->value.byKey->data[0] ^= 1; },
         by_key, 0},
        {"no responder choice", by_name, false,
         [](OCSP_RESPONSES_ID* id) {
             ossl::replace<ssf::RespId>(id->OcspIdentifier->responderId, RESPONDER_ID_new());
         },
         by_name, 0},
    };
    for (const auto& c : cases) {
        ssf::OcspResponsesId id = ocsp_ref(c.ref_of, c.hash);
        if (c.edit) c.edit(id.get());
        EXPECT_EQ(ssf::ocspid_and_ocsp_match(id.get(), c.response), c.expect) << c.what;
    }
    ssf::OcspResponsesId id = ocsp_ref(by_name, true);
    EXPECT_EQ(ssf::find_ocsp_in_list(id.get(), nullptr), 0);
    ssf::RespId copy(ssf::OCSP_RESPID_dup(id->OcspIdentifier->responderId));
    EXPECT_EQ(ssf::ssf_OCSP_RESPID_cmp(copy.get(), id->OcspIdentifier->responderId), 0);
    EXPECT_EQ(ssf::ssf_OCSP_RESPID_cmp(copy.get(), nullptr), 1);
    ssf::RespId unset(RESPONDER_ID_new());
    EXPECT_EQ(ssf::ssf_OCSP_RESPID_cmp(unset.get(), unset.get()), 1);
    EXPECT_TRUE(log_contains("ssf_OCSP_RESPID_cmp() 5 : wrong type of a and b: -1"));
}

// The attribute values a SignerInfo may carry; nullopt leaves the attribute out.
struct Attrs {
    std::optional<Der> refs, vals, cert_refs, cert_vals;
};

TEST_F(RefMatch, SignerInfoReferencesMustFindTheirValues) {
    ssf::RevocationRefs refs(COMPLETE_REVOCATION_REFS_new());
    refs->crlOcspRefs->crlids = CRL_LIST_ID_new();
    sk_CRL_VALIDATED_ID_push(refs->crlOcspRefs->crlids->crls, crl_ref(crl5, true).release());
    refs->crlOcspRefs->ocspids = OCSP_LIST_ID_new();
    sk_OCSP_RESPONSES_ID_push(refs->crlOcspRefs->ocspids->OcspRespIds,
                              ocsp_ref(by_name, true).release());
    const Der refs_der = test_pki::der_with(refs.get(), i2d_COMPLETE_REVOCATION_REFS);
    auto vals = [](std::vector<X509_CRL*> crls, std::vector<OCSP_BASICRESP*> ocsps) {
        ssf::RevocationValues v(REVOCATION_VALUES_new());
        v->crlVals = sk_X509_CRL_new_null();
        for (X509_CRL* c : crls) sk_X509_CRL_push(v->crlVals, ossl::up_ref(c).release());
        v->ocspVals = sk_OCSP_BASICRESP_new_null();
        for (OCSP_BASICRESP* b : ocsps)
            sk_OCSP_BASICRESP_push(v->ocspVals, static_cast<OCSP_BASICRESP*>(ASN1_item_dup(
                                                    ASN1_ITEM_rptr(OCSP_BASICRESP), b)));
        return test_pki::der_with(v.get(), i2d_REVOCATION_VALUES);
    };
    const Der all_vals = vals({crl_plain, crl5}, {by_key, by_name});
    ssf::CertRefs cert_refs(sk_OTHERCERTID_new_null());
    for (X509* c : {pki->leaf.cert.get(), pki->inter.cert.get()})
        sk_OTHERCERTID_push(cert_refs.get(), PKCS7_make_other_cert_id(c, EVP_sha256()));
    const Der cert_refs_der = pack(cert_refs.get(), ASN1_ITEM_rptr(CERT_REFS));
    auto certs = [](std::vector<X509*> list) {
        ossl::X509Stack s = ossl::new_x509_stack();
        for (X509* c : list) sk_X509_push(s.get(), ossl::up_ref(c).release());
        return pack(s.get(), ASN1_ITEM_rptr(CERT_VALUES));
    };
    const Der all_certs =
        certs({pki->root.cert.get(), pki->inter.cert.get(), pki->leaf.cert.get()});
    const Der junk = test_pki::hex("3003020105");
    const Der none = test_pki::hex("3000");

    const struct {
        const char* what;
        Attrs attrs;
        int expect;
        const char* line;
    } cases[] = {
        {"no references", {}, 0, nullptr},
        {"values without references",
         {std::nullopt, all_vals, std::nullopt, all_certs},
         0,
         nullptr},
        {"everything found", {refs_der, all_vals, cert_refs_der, all_certs}, 0, nullptr},
        {"references unreadable", {junk, all_vals}, 119, "1 : d2i_COMPLETE_REVOCATION_REFS()"},
        {"values missing", {refs_der}, 119, "2 : PKCS7_get_attribute( NID_id_smime_aa_ets_rev"},
        {"values unreadable", {refs_der, junk}, 119, "3 : d2i_REVOCATION_VALUES() failed"},
        {"values without lists", {refs_der, none}, 119, "4 : CRL not found for crlid #0"},
        {"CRL missing", {refs_der, vals({crl_plain}, {by_name})}, 119, "4 : CRL not found"},
        {"response missing",
         {refs_der, vals({crl5}, {by_key})},
         119,
         "5 : OCSP response not found for ocspid #0"},
        {"certificate references unreadable",
         {std::nullopt, std::nullopt, junk, all_certs},
         119,
         "6 : failed to load certificate references"},
        {"certificates missing",
         {std::nullopt, std::nullopt, cert_refs_der},
         119,
         "7 : PKCS7_get_attribute( NID_id_smime_aa_ets_certValues ) failed"},
        {"certificates unreadable",
         {std::nullopt, std::nullopt, cert_refs_der, junk},
         119,
         "8 : failed to load certificates"},
        {"a certificate missing",
         {std::nullopt, std::nullopt, cert_refs_der, certs({pki->leaf.cert.get()})},
         119,
         "9 : certificate not found for certid #1"},
    };
    for (const auto& c : cases) {
        ossl::Pkcs7 p7(PKCS7_new());
        PKCS7_set_type(p7.get(), NID_pkcs7_signed);
        PKCS7_SIGNER_INFO* si =
            PKCS7_add_signature(p7.get(), pki->leaf.cert.get(), pki->leaf.key.get(), EVP_sha256());
        const std::pair<const std::optional<Der>&, int> attrs[] = {
            {c.attrs.refs, NID_id_smime_aa_ets_RevocationRefs},
            {c.attrs.vals, NID_id_smime_aa_ets_revocationValues},
            {c.attrs.cert_refs, NID_id_smime_aa_ets_CertificateRefs},
            {c.attrs.cert_vals, NID_id_smime_aa_ets_certValues}};
        for (const auto& [value, nid] : attrs) {
            if (!value) continue;
            ASN1_STRING* s = ASN1_STRING_new();
            ASN1_STRING_set(s, value->data(), static_cast<int>(value->size()));
            ASSERT_EQ(PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, s), 1);
        }
        fresh();
        EXPECT_EQ(ssf::check_rev_and_cert_refs_and_vals(si, ssf::read_cert_values(si).get()),
                  c.expect)
            << c.what;
        const std::string log = fresh();
        if (c.line)
            EXPECT_NE(log.find(std::string("check_rev_and_cert_refs_and_vals() ") + c.line),
                      std::string::npos)
                << c.what;
        EXPECT_NE(log.find("end, return code = " + std::to_string(c.expect) + " ("),
                  std::string::npos);
    }
}

}  // namespace
