// Envelope, develope and digest through the exports, as the SAP host calls them.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>

#include <vector>

#include "common/vectors.h"
#include "fixture.h"
#include "ssf/envelope.h"
#include "ssf/workers.h"
#include "started_library.h"

using ssf_test::Out;
using ssf_test::Sap;
using test_pki::write_file;

namespace {

// A recipient record over strings the test owns.
struct Recipient {
    std::string id, profile, password;
    SigRcpSsfInfo info{};
    Recipient(std::string id_, std::string profile_ = "", std::string password_ = "")
        : id(std::move(id_)), profile(std::move(profile_)), password(std::move(password_)) {
        info.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        info.strSigRcpIdL = static_cast<SAP_UINT>(id.size());
        info.strSigRcpProfile = reinterpret_cast<SAP_BYTE*>(profile.data());
        info.strSigRcpProfileL = static_cast<SAP_UINT>(profile.size());
        info.strSigRcpPassword = reinterpret_cast<SAP_BYTE*>(password.data());
        info.strSigRcpPasswordL = static_cast<SAP_UINT>(password.size());
        info.uResult = 77;
    }
};

std::string data_message(const std::string& content) {
    ssf::OutData out;
    EXPECT_EQ(ssf::encode_data(out, ssf::Bytes(reinterpret_cast<const unsigned char*>(content.data()), content.size())), 0);
    return std::string(reinterpret_cast<char*>(out.data.get()), out.size);
}

ossl::Pkcs7 parse(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    return ossl::Pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

std::string data_content(const std::string& der) {
    ossl::Pkcs7 p7 = parse(der);
    if (!p7 || !PKCS7_type_is_data(p7.get())) return "<not a data message>";
    return std::string(reinterpret_cast<char*>(p7->d.data->data), p7->d.data->length);
}

class Envelope : public StartedLibrary {
  protected:
    void SetUp() override {
        StartedLibrary::SetUp();
        pab = dir.path() + "/pab";
        mkdir(pab.c_str(), 0700);
    }
    void add_to_pab(const std::string& name, X509* cert) { write_file(pab + "/" + name, test_pki::pem_of(cert)); }

    struct Enveloped {
        SAPRETURN rc;
        std::string der;
    };
    Enveloped envelope(const std::string& content, std::vector<Recipient*> recipients) {
        SigRcpSsfInfoList list = nullptr;
        std::vector<SigRcpSsfInformationListElement> nodes(recipients.size());
        for (size_t i = recipients.size(); i-- > 0;) {
            nodes[i].ptrSigRcp = &recipients[i]->info;
            nodes[i].next = list;
            list = &nodes[i];
        }
        Sap fmt("PKCS7"), cipher("GOST-28147-89"), input(data_message(content)), dir_name(pab), none("");
        Out out;
        const SAPRETURN rc = SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), input.p(), input.n(), dir_name.p(),
                                         dir_name.n(), none.p(), 0, list, &out.data, &out.len);
        return {rc, out.str()};
    }
    struct Developed {
        SAPRETURN rc;
        SAP_UINT result;
        std::string content;
    };
    Developed develope(const std::string& der, Recipient r) {
        Sap fmt("PKCS7"), input(der);
        Out out;
        const SAPRETURN rc = SsfDevelope(fmt.p(), fmt.n(), input.p(), input.n(), &r.info, &out.data, &out.len);
        return {rc, r.info.uResult, rc == 0 ? data_content(out.str()) : out.str()};
    }
    std::string pab;
};

TEST_F(Envelope, RsaRecipientsRoundTripAndOnlyTheirOwnKeyOpensIt) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    add_to_pab("leaf.pem", pki->leaf.cert.get());
    Recipient rsa(test_pki::subject_text("Leaf RSA"));
    const std::string content = "document for an RSA recipient";
    Enveloped e = envelope(content, {&rsa});
    ASSERT_EQ(e.rc, 0u);
    EXPECT_EQ(rsa.info.uResult, 0u);
    ossl::Pkcs7 p7 = parse(e.der);
    ASSERT_TRUE(p7 && PKCS7_type_is_enveloped(p7.get()));
    EXPECT_EQ(OBJ_obj2nid(p7->d.enveloped->enc_data->algorithm->algorithm), OBJ_sn2nid("gost89"));

    const std::string profile = test_pki::write_p12("rsa.p12", pki->rsa_leaf, test_pki::kPassword);
    Developed d = develope(e.der, Recipient(rsa.id, profile, test_pki::kPassword));
    EXPECT_EQ(d.rc, 0u);
    EXPECT_EQ(d.result, 0u);
    EXPECT_EQ(d.content, content);

    // The EC recipient is in no RecipientInfo of the message.
    const std::string other = test_pki::write_p12("leaf.p12", pki->leaf, test_pki::kPassword);
    Developed wrong = develope(e.der, Recipient(test_pki::subject_text("Leaf One"), other, test_pki::kPassword));
    EXPECT_EQ(wrong.rc, 9u);
    EXPECT_EQ(wrong.result, 27u);
    EXPECT_TRUE(wrong.content.empty());
    EXPECT_TRUE(log_contains("no recipient matches certificate"));
}

TEST_F(Envelope, ARecipientWithoutCertificateFailsTheWholeCall) {
    add_to_pab("rsa.pem", pki->rsa_leaf.cert.get());
    Recipient rsa(test_pki::subject_text("Leaf RSA")), missing(test_pki::subject_text("Nobody")), empty("");
    Enveloped e = envelope("text", {&rsa, &missing, &empty});
    EXPECT_EQ(e.rc, 9u);
    EXPECT_TRUE(e.der.empty());
    EXPECT_EQ(rsa.info.uResult, 0u);
    EXPECT_EQ(missing.info.uResult, 26u);
    EXPECT_EQ(empty.info.uResult, 22u);
    EXPECT_TRUE(logged("envelope_data() 7 : no certificate found for: '" + missing.id + "'"));

    // A directory without certificates.
    pab = dir.path() + "/nothing-here";
    EXPECT_EQ(envelope("text", {&rsa}).rc, 7u);
}

TEST_F(Envelope, DevelopeRefusesWhatIsNoEnvelopedMessage) {
    const std::string profile = test_pki::write_p12("rsa.p12", pki->rsa_leaf, test_pki::kPassword);
    Recipient r(test_pki::subject_text("Leaf RSA"), profile, test_pki::kPassword);
    EXPECT_EQ(develope(data_message("plain"), r).rc, 2u);
    EXPECT_TRUE(logged("develope_data() 3 : PKCS7 has wrong format"));
    EXPECT_EQ(develope("garbage", r).rc, 12u);
    EXPECT_TRUE(logged("develope_data() 2 : d2i_PKCS7_bio() failed"));
}

// The digest value is checked against the crypto library's own hashes and, for GOST, against
// the published Streebog vector M1.
TEST_F(Envelope, DigestWithEveryHashAttachedAndDetached) {
    const std::string m1 = "012345678901234567890123456789012345678901234567890123456789012";
    struct Case {
        const char* name;
        const char* md;
        const char* expected_hex;
    };
    const Case cases[] = {
        {"GOST-R-34.11-12-256", "md_gost12_256", "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
        {"GOST-R-34.11-12-512", "md_gost12_512", "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa00ad30f8767b3a82384c6574f024c311e2a481332b08ef7f41797891c1646f48"},
        {"MD5", "MD5", nullptr},
        {"SHA1", "SHA1", nullptr},
    };
    for (const Case& c : cases) {
        for (SAP_BOOL detached : {SAP_BOOL{0}, SAP_BOOL{1}}) {
            SCOPED_TRACE(std::string(c.name) + (detached ? " detached" : " attached"));
            Sap fmt("PKCS7"), hash(c.name), input(data_message(m1));
            Out out;
            ASSERT_EQ(SsfDigest(fmt.p(), fmt.n(), detached, input.p(), input.n(), hash.p(), hash.n(), &out.data, &out.len),
                      0u);
            ossl::Pkcs7 p7 = parse(out.str());
            ASSERT_TRUE(p7 && PKCS7_type_is_digest(p7.get()));
            const ASN1_OCTET_STRING* value = p7->d.digest->digest;
            std::string expected;
            if (c.expected_hex != nullptr) {
                expected = testing_support::to_hex(testing_support::from_hex(c.expected_hex));
            } else {
                unsigned char md[EVP_MAX_MD_SIZE];
                unsigned int n = 0;
                EVP_Digest(m1.data(), m1.size(), md, &n, EVP_get_digestbyname(c.md), nullptr);
                expected = testing_support::to_hex(md, n);
            }
            EXPECT_EQ(testing_support::to_hex(value->data, value->length), expected);
            EXPECT_EQ(OBJ_obj2nid(p7->d.digest->md->algorithm), EVP_MD_get_type(EVP_get_digestbyname(c.md)));
            PKCS7* inner = p7->d.digest->contents;
            ASSERT_TRUE(inner && PKCS7_type_is_data(inner));
            if (detached) {
                EXPECT_EQ(inner->d.data, nullptr);
            } else {
                ASSERT_NE(inner->d.data, nullptr);
                EXPECT_EQ(std::string(reinterpret_cast<char*>(inner->d.data->data), inner->d.data->length), m1);
            }
        }
    }
    Sap fmt("PKCS7"), bad("SHA256"), input(data_message(m1));
    Out out;
    EXPECT_EQ(SsfDigest(fmt.p(), fmt.n(), 0, input.p(), input.n(), bad.p(), bad.n(), &out.data, &out.len), 10u);
}

}  // namespace
