// The CAdES revocation types byte for byte: stored signatures depend on these encodings.
#include "ssf/cades/cades_types.h"

#include <functional>

#include "fixture.h"
#include "kit/ocsp.h"
#include "ssf/cades/cades_oids.h"

using test_pki::Der;
using test_pki::hex;

namespace {

// Parts of the golden values, each a complete DER element.
const std::string kName = "300c310a300806035504030c0141";       // CN=A (UTF8String)
const std::string kUtc = "170d3230303130313030303030305a";      // 200101000000Z
const std::string kGen = "180f32303230303130313030303030305a";  // 20200101000000Z
const std::string kSha1Md = "301f300706052b0e03021a0414" + std::string(40, '1');
const std::string kByKey = "a2160414" + std::string(40, '2');
const std::string kByName = "a10e" + kName;
const std::string kCrlIdentifier = "3020" + kName + kUtc + "020105";
const std::string kCrlValidatedId = "3043" + kSha1Md + kCrlIdentifier;
const std::string kOcspIdentifier = "3029" + kByKey + kGen;
const std::string kOcspResponsesId = "304c" + kOcspIdentifier + kSha1Md;
const std::string kCrlOcspRef =
    "30819f"
    "a049"
    "3047"
    "3045" +
    kCrlValidatedId +
    "a152"
    "3050"
    "304e" +
    kOcspResponsesId;

Der encode(const void* v, const ASN1_ITEM* item) {
    unsigned char* out = nullptr;
    const int n = ASN1_item_i2d(static_cast<const ASN1_VALUE*>(v), &out, item);
    ossl::Bytes owned(out);
    return n > 0 ? Der(out, out + n) : Der();
}

struct Golden {
    const char* what;
    const ASN1_ITEM* item;
    std::string der;
    std::function<void*()> build;  // the same value written through the record, when given
};

std::vector<Golden> goldens() {
    return {
        {"responder id by key", ASN1_ITEM_rptr(RESPONDER_ID), kByKey,
         [] {
             RESPONDER_ID* r = RESPONDER_ID_new();
             r->type = V_OCSP_RESPID_KEY;
             r->value.byKey = ASN1_OCTET_STRING_new();
             ASN1_OCTET_STRING_set(r->value.byKey, hex(std::string(40, '2')).data(), 20);
             return r;
         }},
        {"responder id by name", ASN1_ITEM_rptr(RESPONDER_ID), "a10e" + kName},
        {"CRL identifier", ASN1_ITEM_rptr(CRL_IDENTIFIER), kCrlIdentifier},
        // From 2050 on only a GeneralizedTime can name the date; other producers write one
        // earlier too.
        {"CRL identifier, GeneralizedTime", ASN1_ITEM_rptr(CRL_IDENTIFIER),
         "3022" + kName + kGen + "020105"},
        {"CRL validated id, hash alone", ASN1_ITEM_rptr(CRL_VALIDATED_ID), "3021" + kSha1Md},
        {"CRL validated id", ASN1_ITEM_rptr(CRL_VALIDATED_ID), kCrlValidatedId},
        {"OCSP identifier", ASN1_ITEM_rptr(OCSP_IDENTIFIER), kOcspIdentifier},
        {"OCSP responses id without hash", ASN1_ITEM_rptr(OCSP_RESPONSES_ID),
         "302b" + kOcspIdentifier},
        {"CRL list id, empty", ASN1_ITEM_rptr(CRL_LIST_ID), "30023000",
         [] { return CRL_LIST_ID_new(); }},
        {"OCSP list id, empty", ASN1_ITEM_rptr(OCSP_LIST_ID), "30023000",
         [] { return OCSP_LIST_ID_new(); }},
        {"CRL/OCSP ref, lists absent", ASN1_ITEM_rptr(CRL_OCSP_REF), "3000",
         [] { return CRL_OCSP_REF_new(); }},
        {"CRL/OCSP ref, lists empty", ASN1_ITEM_rptr(CRL_OCSP_REF), "300ca00430023000a10430023000",
         [] {
             CRL_OCSP_REF* r = CRL_OCSP_REF_new();
             r->crlids = CRL_LIST_ID_new();
             r->ocspids = OCSP_LIST_ID_new();
             return r;
         }},
        {"CRL/OCSP ref", ASN1_ITEM_rptr(CRL_OCSP_REF), kCrlOcspRef},
        {"complete revocation refs", ASN1_ITEM_rptr(COMPLETE_REVOCATION_REFS),
         "3081a2" + kCrlOcspRef},
        {"complete revocation refs, new", ASN1_ITEM_rptr(COMPLETE_REVOCATION_REFS), "30023000",
         [] { return COMPLETE_REVOCATION_REFS_new(); }},
        {"revocation values, lists absent", ASN1_ITEM_rptr(REVOCATION_VALUES), "3000",
         [] { return REVOCATION_VALUES_new(); }},
        {"revocation values, lists empty", ASN1_ITEM_rptr(REVOCATION_VALUES),
         "3008a0023000a1023000",
         [] {
             REVOCATION_VALUES* v = REVOCATION_VALUES_new();
             v->crlVals = sk_X509_CRL_new_null();
             v->ocspVals = sk_OCSP_BASICRESP_new_null();
             return v;
         }},
        {"certificate refs", ASN1_ITEM_rptr(CERT_REFS), "30233021" + kSha1Md},
    };
}

class CadesTypes : public ssf_test::Started {};

TEST_F(CadesTypes, GoldenBytesAndRoundTrips) {
    for (const Golden& g : goldens()) {
        SCOPED_TRACE(g.what);
        const Der der = hex(g.der);
        if (g.build) {
            ossl::Asn1Value built = ossl::item_value(g.build(), g.item);
            EXPECT_EQ(encode(built.get(), g.item), der);
        }
        const unsigned char* p = der.data();
        ossl::Asn1Value back = ossl::item_value(
            ASN1_item_d2i(nullptr, &p, static_cast<long>(der.size()), g.item), g.item);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(p, der.data() + der.size());
        EXPECT_EQ(encode(back.get(), g.item), der);
    }
}

TEST_F(CadesTypes, LayoutsOutsideTheFixedOnesAreRefused) {
    const struct {
        const char* what;
        const ASN1_ITEM* item;
        std::string der;
    } cases[] = {
        {"two CRL/OCSP refs", ASN1_ITEM_rptr(COMPLETE_REVOCATION_REFS), "300430003000"},
        {"otherRev [2]", ASN1_ITEM_rptr(CRL_OCSP_REF), "3004a2023000"},
        {"otherRevVals [2]", ASN1_ITEM_rptr(REVOCATION_VALUES), "3004a2023000"},
        {"bare SHA-1 crlHash", ASN1_ITEM_rptr(CRL_VALIDATED_ID), "30160414" + std::string(40, '1')},
        {"UTCTime producedAt", ASN1_ITEM_rptr(OCSP_IDENTIFIER), "3027" + kByKey + kUtc},
        {"implicit byKey", ASN1_ITEM_rptr(RESPONDER_ID), "8214" + std::string(40, '2')},
        {"trailing element", ASN1_ITEM_rptr(CRL_LIST_ID), "300430003000"},
    };
    for (const auto& c : cases) {
        const Der der = hex(c.der);
        const unsigned char* p = der.data();
        ossl::Asn1Value v = ossl::item_value(
            ASN1_item_d2i(nullptr, &p, static_cast<long>(der.size()), c.item), c.item);
        EXPECT_EQ(v, nullptr) << c.what;
    }
    ERR_clear_error();
}

// Every prefix and every single-byte corruption of real values goes through every decoder:
// a record or a refusal, never a crash or a read past the input (the sanitizers watch).
TEST_F(CadesTypes, DamagedInputIsRefusedOrDecodedNeverOverread) {
    const test_pki::Services& s = test_pki::services();
    test_pki::OcspSpec spec;
    spec.responder = &s.responder[1];
    spec.singles.push_back({&pki->leaf, &pki->inter});
    ossl::OcspBasicResp bs = test_pki::make_basic(spec);
    ssf::RevocationValues vals(REVOCATION_VALUES_new());
    vals->ocspVals = sk_OCSP_BASICRESP_new_null();
    sk_OCSP_BASICRESP_push(vals->ocspVals, bs.release());
    ossl::X509Stack certs = ossl::new_x509_stack();
    sk_X509_push(certs.get(), ossl::up_ref(pki->leaf.cert.get()).release());
    int certs_len = 0;
    ossl::Bytes certs_der = ssf::seq_pack(certs.get(), ASN1_ITEM_rptr(CERT_VALUES), &certs_len);

    std::vector<Der> inputs = {encode(vals.get(), ASN1_ITEM_rptr(REVOCATION_VALUES)),
                               Der(certs_der.get(), certs_der.get() + certs_len)};
    for (const Golden& g : goldens()) inputs.push_back(hex(g.der));
    const ASN1_ITEM* items[] = {ASN1_ITEM_rptr(RESPONDER_ID),
                                ASN1_ITEM_rptr(CRL_IDENTIFIER),
                                ASN1_ITEM_rptr(CRL_VALIDATED_ID),
                                ASN1_ITEM_rptr(CRL_LIST_ID),
                                ASN1_ITEM_rptr(OCSP_IDENTIFIER),
                                ASN1_ITEM_rptr(OCSP_RESPONSES_ID),
                                ASN1_ITEM_rptr(OCSP_LIST_ID),
                                ASN1_ITEM_rptr(CRL_OCSP_REF),
                                ASN1_ITEM_rptr(COMPLETE_REVOCATION_REFS),
                                ASN1_ITEM_rptr(REVOCATION_VALUES),
                                ASN1_ITEM_rptr(CERT_REFS),
                                ASN1_ITEM_rptr(CERT_VALUES),
                                ASN1_ITEM_rptr(CRL_VALUES)};
    auto feed = [&](const Der& d) {
        for (const ASN1_ITEM* item : items) {
            // An exact-size heap copy, so reading one byte past the end is caught.
            std::unique_ptr<unsigned char[]> copy(new unsigned char[d.size()]);
            std::copy(d.begin(), d.end(), copy.get());
            const unsigned char* p = copy.get();
            ossl::item_value(ASN1_item_d2i(nullptr, &p, static_cast<long>(d.size()), item), item);
        }
    };
    for (const Der& in : inputs) {
        for (size_t n = 0; n < in.size(); ++n) feed(Der(in.begin(), in.begin() + n));
        for (size_t i = 0; i < in.size(); ++i) {
            Der d = in;
            d[i] ^= (i % 2) ? 0x80 : 0x01;
            feed(d);
        }
    }
    ERR_clear_error();
    // The SEQUENCE OF decoders take the whole input or nothing.
    Der trailing(certs_der.get(), certs_der.get() + certs_len);
    EXPECT_TRUE(
        ossl::X509Stack(ssf::unpack_certs(trailing.data(), static_cast<long>(trailing.size()))));
    trailing.push_back(0);
    EXPECT_FALSE(
        ossl::X509Stack(ssf::unpack_certs(trailing.data(), static_cast<long>(trailing.size()))));
}

}  // namespace

namespace {

TEST_F(CadesTypes, AttributesAreFoundByTheirObject) {
    ossl::Pkcs7 p7 = test_pki::from_der(test_pki::signed_der("content"));
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    for (int nid : {NID_id_smime_aa_ets_certValues, NID_id_smime_aa_timeStampToken})
        PKCS7_add_attribute(si, nid, V_ASN1_NULL, nullptr);
    const X509_ATTRIBUTE* a =
        ssf::find_attribute_by_nid(si->unauth_attr, NID_id_smime_aa_timeStampToken);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(const_cast<X509_ATTRIBUTE*>(a))),
              NID_id_smime_aa_timeStampToken);
    EXPECT_EQ(ssf::find_attribute_by_nid(si->unauth_attr, NID_id_smime_aa_ets_escTimeStamp),
              nullptr);
    EXPECT_EQ(ssf::find_attribute_by_nid(si->unauth_attr, NID_undef), nullptr);
    EXPECT_EQ(ssf::find_attribute_by_nid(nullptr, NID_id_smime_aa_timeStampToken), nullptr);
}

}  // namespace
