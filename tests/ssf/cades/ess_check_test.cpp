// The ESS signing-certificate check and the attribute tests the verification worker relies on.
#include "ssf/cades/ess_check.h"

#include "cryptoext/ess_types.h"
#include "fixture.h"
#include "ssf/cades/ref_match.h"

using test_pki::Der;

namespace {

void add_signed_seq(PKCS7_SIGNER_INFO* si, int nid, const Der& der) {
    ASN1_STRING* s = ASN1_STRING_new();
    ASN1_STRING_set(s, der.data(), static_cast<int>(der.size()));
    ASSERT_EQ(PKCS7_add_signed_attribute(si, nid, V_ASN1_SEQUENCE, s), 1);
}

Der seq(const Der& body) {
    Der out = {0x30};
    if (body.size() >= 128) out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

class EssCheck : public ssf_test::Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        p7.reset(PKCS7_new());
        PKCS7_set_type(p7.get(), NID_pkcs7_signed);
        si = PKCS7_add_signature(p7.get(), signer(), pki->leaf.key.get(), EVP_sha256());
        ASSERT_NE(si, nullptr);
    }
    X509* signer() const { return pki->leaf.cert.get(); }
    X509* other() const { return pki->rsa_leaf.cert.get(); }
    ossl::Pkcs7 p7;
    PKCS7_SIGNER_INFO* si = nullptr;
};

TEST_F(EssCheck, OtherSigningCertificateAloneOrBesideVersionTwo) {
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 0);  // neither attribute
    // OtherSigningCertificate holding one identifier of the signer.
    ossl::OtherCertId id(PKCS7_make_other_cert_id(signer(), EVP_sha256()));
    unsigned char* der = nullptr;
    const int len = i2d_OTHERCERTID(id.get(), &der);
    ossl::Bytes der_owner(der);
    const Der certs = seq(Der(der, der + len));
    add_signed_seq(si, NID_id_smime_aa_ets_otherSigCert, seq(certs));
    EXPECT_EQ(ssf::has_signing_cert_v2(si), 0);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 1);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, other()), 0);
    // A matching otherSigCert does not excuse a version-two attribute that names someone else.
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si, other(), EVP_sha256()), 1);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 0);
}

// Written the standard way by another signer: SHA-256 left out as the default.
TEST_F(EssCheck, VersionTwoWithTheDefaultDigestLeftOut) {
    ossl::EssSigningCertV2 sc(
        OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), signer(), nullptr, 1));
    unsigned char* der = nullptr;
    const int len = i2d_ESS_SIGNING_CERT_V2(sc.get(), &der);
    ossl::Bytes der_owner(der);
    add_signed_seq(si, ssf::signing_cert_v2_nid(), Der(der, der + len));
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 1);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, other()), 0);
}

TEST_F(EssCheck, WrongSerialBrokenOrEmptyAttributesFail) {
    ossl::EssCertIdV2 ids(PKCS7_make_cert_id_v2(signer(), EVP_sha256()));
    ASN1_INTEGER_set(sk_CERTIDV2_value(ids->Certs, 0)->issuerSerial->serial, 999);
    unsigned char* der = nullptr;
    const int len = i2d_ESSCERTIDV2(ids.get(), &der);
    ossl::Bytes der_owner(der);
    const Der wrong_serial(der, der + len);
    for (const Der& value : {wrong_serial, Der{0x30, 0x02, 0x30, 0x00} /* no CERTIDV2 */,
                             Der{0x30, 0x03, 0x02, 0x01, 0x05} /* not a list */}) {
        SetUp();
        add_signed_seq(si, ssf::signing_cert_v2_nid(), value);
        EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 0);
    }
    SetUp();
    PKCS7_add_signed_attribute(si, ssf::signing_cert_v2_nid(), V_ASN1_INTEGER, ASN1_INTEGER_new());
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer()), 0);  // not a SEQUENCE
}

TEST_F(EssCheck, IssuerSerialComparesTheFirstDirectoryName) {
    ossl::IssuerSerial owner(ISSUER_SERIAL_new());
    ISSUER_SERIAL* is = owner.get();
    GENERAL_NAME* uri = GENERAL_NAME_new();
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    ASN1_STRING_set(text, "http://ca.example/", -1);
    GENERAL_NAME_set0_value(uri, GEN_URI, text);
    sk_GENERAL_NAME_push(is->issuer, uri);
    ASN1_STRING_copy(is->serial, X509_get0_serialNumber(signer()));
    const X509_NAME* issuer = X509_get_issuer_name(signer());
    const ASN1_INTEGER* serial = X509_get0_serialNumber(signer());
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, serial), -1);  // only a URI
    GENERAL_NAME* dir = GENERAL_NAME_new();
    GENERAL_NAME_set0_value(dir, GEN_DIRNAME, X509_NAME_dup(issuer));
    sk_GENERAL_NAME_push(is->issuer, dir);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, serial), 0);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, X509_get_subject_name(signer()), serial), -1);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, X509_get0_serialNumber(other())), -1);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, nullptr, serial), -1);
}

TEST_F(EssCheck, EnhancedNeedsTheReferencesValuesAndBothTimeStamps) {
    auto add_unsigned = [&](int nid) {
        ASN1_STRING* s = ASN1_STRING_new();
        ASN1_STRING_set(s, "\x30\x00", 2);
        ASSERT_EQ(PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, s), 1);
    };
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);
    for (int nid : {NID_id_smime_aa_ets_RevocationRefs, NID_id_smime_aa_ets_revocationValues,
                    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_certValues})
        add_unsigned(nid);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);  // no signing-certificate attribute yet
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si, signer(), EVP_sha1()), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 0);
    add_unsigned(NID_id_smime_aa_timeStampToken);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 0);
    add_unsigned(NID_id_smime_aa_ets_escTimeStamp);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(nullptr, 0), 0);
}

}  // namespace
