// The ESS signing-certificate check and the attribute tests the verification worker relies on.
#include "ssf/ess_check.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "cryptoext/ess_types.h"
#include "signing_pki.h"
#include "ssf/ref_match.h"

using namespace signing_pki;

namespace {

void add_signed_seq(PKCS7_SIGNER_INFO* si, int nid, const Bytes& der) {
    ASN1_STRING* s = ASN1_STRING_new();
    ASN1_STRING_set(s, der.data(), static_cast<int>(der.size()));
    ASSERT_EQ(PKCS7_add_signed_attribute(si, nid, V_ASN1_SEQUENCE, s), 1);
}

void add_unsigned_seq(PKCS7_SIGNER_INFO* si, int nid) {
    ASN1_STRING* s = ASN1_STRING_new();
    const unsigned char empty[] = {0x30, 0x00};
    ASN1_STRING_set(s, empty, 2);
    ASSERT_EQ(PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, s), 1);
}

// OtherSigningCertificate holding one identifier of cert.
Bytes other_sig_cert(X509* cert) {
    OTHERCERTID* id = PKCS7_make_other_cert_id(cert, EVP_sha256());
    unsigned char* der = nullptr;
    int len = i2d_OTHERCERTID(id, &der);
    OTHERCERTID_free(id);
    Bytes out = {0x30, static_cast<unsigned char>(len + 2), 0x30, static_cast<unsigned char>(len)};
    out.insert(out.end(), der, der + len);
    OPENSSL_free(der);
    return out;
}

Bytes encode(const ESSCERTIDV2* ids) {
    unsigned char* der = nullptr;
    int len = i2d_ESSCERTIDV2(ids, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

class EssCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ca = new Identity(make_ca("ESS CA"));
        signer = new Identity(issue(*ca, "ESS Signer", KeyKind::ec, 100));
        other = new Identity(issue(*ca, "ESS Other", KeyKind::ec, 101));
    }
    static void TearDownTestSuite() {
        delete ca;
        delete signer;
        delete other;
    }
    void SetUp() override {
        p7.reset(PKCS7_new());
        PKCS7_set_type(p7.get(), NID_pkcs7_signed);
        si = PKCS7_add_signature(p7.get(), signer->cert.get(), signer->key.get(), EVP_sha256());
        ASSERT_NE(si, nullptr);
    }
    static Identity *ca, *signer, *other;
    P7 p7;
    PKCS7_SIGNER_INFO* si = nullptr;
};
Identity *EssCheck::ca, *EssCheck::signer, *EssCheck::other;

TEST_F(EssCheck, OtherSigningCertificateAloneOrBesideVersionTwo) {
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);  // neither attribute
    add_signed_seq(si, NID_id_smime_aa_ets_otherSigCert, other_sig_cert(signer->cert.get()));
    EXPECT_EQ(ssf::has_signing_cert_v2(si), 0);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 1);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, other->cert.get()), 0);
    // A matching otherSigCert does not excuse a version-two attribute that names someone else.
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si, other->cert.get(), EVP_sha256()), 1);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);
}

TEST_F(EssCheck, IdentifierWithTheRightDigestButAnotherSerialFails) {
    ESSCERTIDV2* ids = PKCS7_make_cert_id_v2(signer->cert.get(), EVP_sha256());
    ASN1_INTEGER_set(sk_CERTIDV2_value(ids->Certs, 0)->issuerSerial->serial, 999);
    add_signed_seq(si, ssf::signing_cert_v2_nid(), encode(ids));
    ESSCERTIDV2_free(ids);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);
}

TEST_F(EssCheck, BrokenOrEmptyAttributesFail) {
    add_signed_seq(si, ssf::signing_cert_v2_nid(), {0x30, 0x02, 0x30, 0x00});  // no CERTIDV2
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);
    SetUp();
    add_signed_seq(si, ssf::signing_cert_v2_nid(), {0x30, 0x03, 0x02, 0x01, 0x05});  // not a list
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);
    SetUp();
    ASN1_INTEGER* i = ASN1_INTEGER_new();
    PKCS7_add_signed_attribute(si, ssf::signing_cert_v2_nid(), V_ASN1_INTEGER,
                               i);  // not a SEQUENCE
    EXPECT_EQ(ssf::check_ess_signing_cert(si, signer->cert.get()), 0);
}

TEST_F(EssCheck, IssuerSerialComparesTheFirstDirectoryName) {
    ISSUER_SERIAL* is = ISSUER_SERIAL_new();
    GENERAL_NAME* uri = GENERAL_NAME_new();
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    ASN1_STRING_set(text, "http://ca.example/", -1);
    GENERAL_NAME_set0_value(uri, GEN_URI, text);
    sk_GENERAL_NAME_push(is->issuer, uri);
    ASN1_INTEGER_set(is->serial, 100);
    const X509_NAME* issuer = X509_get_issuer_name(signer->cert.get());
    const ASN1_INTEGER* serial = X509_get0_serialNumber(signer->cert.get());
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, serial), -1);  // only a URI
    GENERAL_NAME* dir = GENERAL_NAME_new();
    GENERAL_NAME_set0_value(dir, GEN_DIRNAME, X509_NAME_dup(issuer));
    sk_GENERAL_NAME_push(is->issuer, dir);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, serial), 0);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, X509_get_subject_name(signer->cert.get()), serial),
              -1);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, issuer, X509_get0_serialNumber(other->cert.get())),
              -1);
    EXPECT_EQ(ssf::ssf_ISSUER_SERIAL_cmp(is, nullptr, serial), -1);
    ISSUER_SERIAL_free(is);
}

TEST_F(EssCheck, EnhancedNeedsTheReferencesValuesAndBothTimeStamps) {
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);
    for (int nid : {NID_id_smime_aa_ets_RevocationRefs, NID_id_smime_aa_ets_revocationValues,
                    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_certValues})
        add_unsigned_seq(si, nid);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);  // no signing-certificate attribute yet
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si, signer->cert.get(), EVP_sha1()), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 0);
    add_unsigned_seq(si, NID_id_smime_aa_timeStampToken);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 0);
    add_unsigned_seq(si, NID_id_smime_aa_ets_escTimeStamp);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 0), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(nullptr, 0), 0);
}

}  // namespace
