// ESS certificate identifiers and the signing-certificate-v2 attribute, checked against the
// crypto library's own ESS coder where the two encodings must agree.
#include "cryptoext/ess_types.h"

#include <gtest/gtest.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

#include "engine_env.h"

namespace {

using engine_tests::Bytes;
using SignerInfo = ossl::Pkcs7SignerInfo;
using EssV2 = ossl::EssCertIdV2;
using OtherId = ossl::OtherCertId;
using OtherSig = ossl::OtherSigCert;
using OsslEssV2 = ossl::EssSigningCertV2;

// A certificate with a multi-byte serial issued under another name, so issuer and subject differ.
ossl::X509Ptr make_cert() {
    static ossl::PKey key(EVP_EC_gen("P-256"));
    ossl::X509Ptr c = engine_tests::self_signed(key.get());
    BIGNUM* raw = nullptr;
    BN_hex2bn(&raw, "0123456789ABCDEF01");
    ossl::Bn bn(raw);
    BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(c.get()));
    ossl::X509Name issuer(X509_NAME_new());
    for (auto [f, v] : {std::pair{"O", "Test CA Org"}, {"CN", "Test CA"}})
        X509_NAME_add_entry_by_txt(issuer.get(), f, MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(v), -1, -1, 0);
    X509_set_issuer_name(c.get(), issuer.get());
    X509_sign(c.get(), key.get(), EVP_sha256());
    return c;
}

std::vector<unsigned char> digest_of(X509* cert, const EVP_MD* md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(cert, md, d, &n);
    return {d, d + n};
}

std::vector<unsigned char> bytes_of(const ASN1_STRING* s) {
    return {ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s)};
}

class EssTypes : public ::testing::Test {
  protected:
    void SetUp() override { engine_tests::load_engines(); }
    ossl::X509Ptr cert = make_cert();

    void expect_names_cert(const ISSUER_SERIAL* is) {
        ASSERT_NE(is, nullptr);
        ASSERT_EQ(sk_GENERAL_NAME_num(is->issuer), 1);
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(is->issuer, 0);
        ASSERT_EQ(gn->type, GEN_DIRNAME);
        EXPECT_EQ(X509_NAME_cmp(gn->d.directoryName, X509_get_issuer_name(cert.get())), 0);
        EXPECT_EQ(ASN1_INTEGER_cmp(is->serial, X509_get0_serialNumber(cert.get())), 0);
    }
};

TEST_F(EssTypes, AttributeValueNamesTheCertificateWithAnExplicitSha256Identifier) {
    SignerInfo si(PKCS7_SIGNER_INFO_new());
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si.get(), cert.get(), EVP_sha256()), 1);
    ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->auth_attr), 1);
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->auth_attr, 0);
    char oid[64];
    OBJ_obj2txt(oid, sizeof oid, X509_ATTRIBUTE_get0_object(attr), 1);
    EXPECT_STREQ(oid, "1.2.840.113549.1.9.16.2.47");
    ASSERT_EQ(X509_ATTRIBUTE_count(attr), 1);
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
    ASSERT_EQ(value->type, V_ASN1_SEQUENCE);

    std::vector<unsigned char> der = bytes_of(value->value.sequence);
    // AlgorithmIdentifier { sha256 } with no parameters, although SHA-256 is the standard default.
    const std::vector<unsigned char> sha256_alg = {0x30, 0x0B, 0x06, 0x09, 0x60, 0x86, 0x48,
                                                   0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    EXPECT_NE(std::search(der.begin(), der.end(), sha256_alg.begin(), sha256_alg.end()), der.end());

    const unsigned char* p = der.data();
    EssV2 ids(d2i_ESSCERTIDV2(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    ASSERT_EQ(sk_CERTIDV2_num(ids->Certs), 1);
    const CERTIDV2* id = sk_CERTIDV2_value(ids->Certs, 0);
    EXPECT_EQ(OBJ_obj2nid(id->hashAlgorithm->algorithm), NID_sha256);
    EXPECT_EQ(id->hashAlgorithm->parameter, nullptr);
    EXPECT_EQ(bytes_of(id->hashValue), digest_of(cert.get(), EVP_sha256()));
    expect_names_cert(id->issuerSerial);
}

TEST_F(EssTypes, AddingTwiceKeepsBothAndFailuresAddNothing) {
    SignerInfo si(PKCS7_SIGNER_INFO_new());
    EXPECT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si.get(), nullptr, EVP_sha1()), 0);
    EXPECT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si.get(), cert.get(), nullptr), 0);
    EXPECT_EQ(si->auth_attr, nullptr);
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si.get(), cert.get(), EVP_sha1()), 1);
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si.get(), cert.get(), EVP_sha1()), 1);
    EXPECT_EQ(sk_X509_ATTRIBUTE_num(si->auth_attr), 2);
    EXPECT_EQ(PKCS7_make_other_cert_id(nullptr, EVP_sha1()), nullptr);
}

// The crypto library writes SigningCertificateV2 the standard way: SHA-256 is left out as the
// default, any other digest is written. Ours reads both; the default stays absent.
TEST_F(EssTypes, StandardEncodingsDecodeWithTheHashAlgorithmPresentOrDefault) {
    for (const EVP_MD* md : {EVP_sha512(), EVP_sha256()}) {
        OsslEssV2 std_sc(OSSL_ESS_signing_cert_v2_new_init(md, cert.get(), nullptr, 1));
        ASSERT_NE(std_sc, nullptr);
        const Bytes der = engine_tests::der_of(i2d_ESS_SIGNING_CERT_V2, std_sc.get());
        const unsigned char* p = der.data();
        EssV2 ours(d2i_ESSCERTIDV2(nullptr, &p, static_cast<long>(der.size())));
        ASSERT_NE(ours, nullptr);
        const CERTIDV2* id = sk_CERTIDV2_value(ours->Certs, 0);
        EXPECT_EQ(id->hashAlgorithm == nullptr, md == EVP_sha256());
        EXPECT_EQ(bytes_of(id->hashValue), digest_of(cert.get(), md));
        expect_names_cert(id->issuerSerial);
    }
    // And the crypto library reads what we write.
    EssV2 ours(PKCS7_make_cert_id_v2(cert.get(), EVP_sha384()));
    ASSERT_NE(ours, nullptr);
    const Bytes der = engine_tests::der_of(i2d_ESSCERTIDV2, ours.get());
    const unsigned char* p = der.data();
    OsslEssV2 std_sc(d2i_ESS_SIGNING_CERT_V2(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(std_sc, nullptr);
    ossl::X509View chain(sk_X509_new_null());
    sk_X509_push(chain.get(), cert.get());
    EXPECT_EQ(OSSL_ESS_check_signing_certs(nullptr, std_sc.get(), chain.get(), 1), 1);
}

TEST_F(EssTypes, OtherCertIdRoundTripsInsideOtherSigningCertificate) {
    OtherId id(PKCS7_make_other_cert_id(cert.get(), EVP_sha1()));
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(bytes_of(id->mD->hashValue), digest_of(cert.get(), EVP_sha1()));
    EXPECT_EQ(id->mD->hashAlgorithm->parameter, nullptr);
    expect_names_cert(id->issuerSerial);

    const Bytes der = engine_tests::der_of(i2d_OTHERCERTID, id.get());
    // OtherSigningCertificate ::= SEQUENCE { certs SEQUENCE OF OtherCertID }
    ASSERT_LT(der.size() + 2, 128u);
    Bytes wrapped = {0x30, static_cast<uint8_t>(der.size() + 2), 0x30,
                     static_cast<uint8_t>(der.size())};
    wrapped.insert(wrapped.end(), der.begin(), der.end());

    const unsigned char* p = wrapped.data();
    OtherSig sig(d2i_OTHERSIGCERT(nullptr, &p, static_cast<long>(wrapped.size())));
    ASSERT_NE(sig, nullptr);
    ASSERT_EQ(sk_OTHERCERTID_num(sig->Certs), 1);
    const OTHERCERTID* back = sk_OTHERCERTID_value(sig->Certs, 0);
    EXPECT_EQ(OBJ_obj2nid(back->mD->hashAlgorithm->algorithm), NID_sha1);
    expect_names_cert(back->issuerSerial);
    // A bare SHA-1 OCTET STRING in place of the algorithm-and-value form is not accepted.
    std::vector<unsigned char> bare = {0x30, 0x18, 0x30, 0x16, 0x04, 0x14};
    bare.resize(bare.size() + 20, 0xAB);
    p = bare.data();
    EXPECT_EQ(d2i_OTHERSIGCERT(nullptr, &p, static_cast<long>(bare.size())), nullptr);
}

}  // namespace
