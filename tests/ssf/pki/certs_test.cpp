// The recipients' certificate directory, lookups, the trust check and the configured validity
// check, against a PKI the tests make themselves.
#include "ssf/pki/certs.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include "fixture.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/net/crl.h"
#include "ssf/net/hok.h"
#include "ssf/utils.h"

using test_pki::write_file;

namespace {

bool same(X509* a, X509* b) {
    return a && b && X509_cmp(a, b) == 0;
}

ossl::X509Stack stack_of(std::initializer_list<X509*> certs) {
    ossl::X509Stack s = ossl::new_x509_stack();
    for (X509* c : certs) sk_X509_push(s.get(), ossl::up_ref(c).release());
    return s;
}

// Replaces the SignerInfo's unsigned attributes by a certValues attribute over these certificates.
void set_cert_values(PKCS7_SIGNER_INFO* si, const std::string& contents) {
    std::string seq = std::string("\x30\x82", 2) + static_cast<char>(contents.size() >> 8) +
                      static_cast<char>(contents.size() & 0xff) + contents;
    ASN1_STRING* s = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    ASN1_STRING_set(s, seq.data(), static_cast<int>(seq.size()));
    ossl::replace<ossl::AttributeStack>(si->unauth_attr, nullptr);
    ASSERT_EQ(PKCS7_add_attribute(si, NID_id_smime_aa_ets_certValues, V_ASN1_SEQUENCE, s), 1);
}

class Certificates : public ssf_test::Started {
  protected:
    time_t not_after(X509* x) {
        struct tm tm {};
        EXPECT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(x), &tm), 1);
        return timegm(&tm);
    }
};

TEST_F(Certificates, DirectoryOfTheThreeFileFormsAmongJunk) {
    const std::string pab = dir.path() + "/pab";
    ASSERT_EQ(mkdir(pab.c_str(), 0700), 0);
    write_file(pab + "/a.der", test_pki::der_of(pki->leaf.cert.get()));
    write_file(pab + "/b.pem", test_pki::pem_of(pki->inter.cert.get()));
    write_file(pab + "/c.b64", test_pki::bare_base64_of(pki->root.cert.get()));  // no final newline
    write_file(pab + "/d.txt", "this is not a certificate\n");
    write_file(pab + "/e.der", std::string("\x30\x82\x01\x00garbage", 12));
    write_file(pab + "/f.b64", "MAKEFLAGS = -j4\n");
    std::string pem = test_pki::pem_of(pki->leaf.cert.get());
    write_file(pab + "/g.pem", pem.replace(100, 4, "*!*!"));
    write_file(pab + "/h_empty", "");
    ASSERT_EQ(mkdir((pab + "/i_subdir").c_str(), 0700), 0);
    write_file(pab + "/i_subdir/leaf.pem", pem);
    ASSERT_EQ(mkfifo((pab + "/j_fifo").c_str(), 0600), 0);  // opening it would block for ever

    ossl::X509Stack certs = ssf::load_certs_from_pab(pab.c_str());
    ASSERT_TRUE(certs);
    ASSERT_EQ(sk_X509_num(certs.get()), 3);
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 0), pki->leaf.cert.get()));
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 1), pki->inter.cert.get()));
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 2), pki->root.cert.get()));
    EXPECT_TRUE(logged("load_cert_from_file() 3 : unknown file format '" + pab +
                       "/d.txt', first byte = 0x74"));
    EXPECT_TRUE(logged("load_cert_from_file() 4 : failed to load certificate from file '" + pab +
                       "/g.pem'"));
    EXPECT_FALSE(log_contains("j_fifo"));
    EXPECT_EQ(ERR_peek_error(), 0u);

    EXPECT_FALSE(ssf::load_certs_from_pab((pab + "/missing").c_str()));
    EXPECT_TRUE(logged("load_certs_from_pab_orbssl() : FindFirstFileA( '" + pab +
                       "/missing/*.*' ) failed, GetLastError = 0x2"));
}

TEST_F(Certificates, SubjectTextsInTheServerEncoding) {
    EXPECT_EQ(ssf::orb_x509_get_name_from_X509(pki->leaf.cert.get()).value_or("?"),
              test_pki::subject_text("Leaf One"));
    // Name texts are recoded into the server encoding; text that is no UTF-8 stays as it is.
    start("server_encoding = CP1251");
    for (auto [value, expected] :
         {std::pair{"\xd0\x98", "O=\xc8"}, std::pair{"Caf\xe9", "O=Caf\xe9"}}) {
        ossl::X509Ptr x(X509_new());
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "O", V_ASN1_T61STRING,
                                   reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
        EXPECT_EQ(ssf::orb_x509_get_name_from_X509(x.get()).value_or("?"), expected);
    }
    EXPECT_TRUE(logged(
        "orb_x509_get_name_from_X509() : failed to recode 'O=Caf\xe9' from 'UTF-8' to 'CP1251'"));
}

TEST_F(Certificates, TrustAgainstTheDirectory) {
    ossl::X509Stack pab = stack_of({pki->root.cert.get(), pki->inter.cert.get()});
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), pab.get(), -1), 0);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->expired.cert.get(), pab.get(), -1), 100);
    EXPECT_TRUE(logged(
        "GetCertificateTrustedStatus() : certificate is invalid: certificate has expired (10)"));
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->not_yet.cert.get(), pab.get(), -1), 22);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->stranger.cert.get(), pab.get(), -1), 22);
    ossl::X509Stack no_root = stack_of({pki->inter.cert.get()});
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), no_root.get(), -1), 22);

    // At a given time (a signing time), and "now" from the test clock.
    X509* leaf = pki->leaf.cert.get();
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(leaf, pab.get(), not_after(leaf) + 1), 100);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->expired.cert.get(), pab.get(),
                                               not_after(pki->expired.cert.get()) - 1),
              0);
    platform::set_test_clock(not_after(leaf) + 1);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(leaf, pab.get(), -1), 100);
    platform::set_test_clock(std::nullopt);

    // Revocation that cannot be decided is no trust.
    start("cert_check_options = check_crl\ncrl_protocols = http");
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), pab.get(), -1), 22);
    EXPECT_TRUE(log_contains("check_for_revocation() 2 : neither the user nor the ca certificate"));
}

TEST_F(Certificates, ConfiguredValidityCheck) {
    X509* leaf = pki->leaf.cert.get();
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 1);
    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 0, 0, nullptr), 1)
        << "no chain asked for";
    EXPECT_EQ(ssf::IsCertificateValid(pki->not_yet.cert.get(), 0, 0, nullptr), 0);
    platform::set_test_clock(not_after(leaf) - 1);
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 1);
    platform::set_test_clock(not_after(leaf));
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 0);
    EXPECT_TRUE(logged("verify_certificate() 4 : certificate expired"));
    platform::set_test_clock(std::nullopt);

    start("cert_check_options = check_chain\nca_file = file://" +
          pki->ca_bundle);  // keeps the absolute path
    ossl::X509Stack chain;
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 1, 0, &chain), 1);
    ASSERT_EQ(sk_X509_num(chain.get()), 3);
    EXPECT_TRUE(same(sk_X509_value(chain.get(), 2), pki->root.cert.get()));
    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 1, 0, &chain), 0);
    EXPECT_EQ(sk_X509_num(chain.get()), 1) << "the chain comes out whatever the outcome";
    EXPECT_EQ(ssf::IsCertificateValid(pki->expired.cert.get(), 1, 0, nullptr), 0);

    // A DER anchor file holds the root alone: enough for the intermediate, not for the leaf.
    write_file(dir.file("root.der"), test_pki::der_of(pki->root.cert.get()));
    start("cert_check_options = check_chain\nca_file = " + dir.file("root.der"));
    EXPECT_EQ(ssf::IsCertificateValid(pki->inter.cert.get(), 1, 0, nullptr), 1);
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 1, 0, nullptr), 0);

    start("cert_check_options = check_chain\nca_file = " + dir.file("absent.pem"));
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 1, 0, nullptr), -1);
    start("cert_check_options = check_chain,check_crl\ncrl_protocols = http\nca_file = " +
          pki->ca_bundle);
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 1, 1, nullptr), -1);
    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 1, 1, nullptr), 0)
        << "the chain is decided first";
}

TEST_F(Certificates, SignersOfAMessage) {
    ossl::Bio data(BIO_new_mem_buf("payload", 7));
    ossl::Pkcs7 p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, PKCS7_PARTIAL | PKCS7_BINARY));
    for (const test_pki::Entity* e : {&pki->leaf, &pki->rsa_leaf})
        ASSERT_TRUE(PKCS7_sign_add_signer(p7.get(), e->cert.get(), e->key.get(), nullptr, 0));
    ASSERT_EQ(PKCS7_final(p7.get(), data.get(), PKCS7_BINARY), 1);
    ossl::X509Stack pab = stack_of({pki->root.cert.get(), pki->leaf.cert.get()});

    ossl::X509Stack all = ssf::ssf_PKCS7_get0_signers(p7.get(), pab.get(), 0);
    ASSERT_EQ(sk_X509_num(all.get()), 2);
    EXPECT_EQ(sk_X509_value(all.get(), 0), sk_X509_value(pab.get(), 1))
        << "the directory comes first";
    EXPECT_TRUE(same(sk_X509_value(all.get(), 1), pki->rsa_leaf.cert.get()));
    ossl::X509Stack dir_only = ssf::ssf_PKCS7_get0_signers(p7.get(), pab.get(), PKCS7_NOINTERN);
    ASSERT_EQ(sk_X509_num(dir_only.get()), 2);
    EXPECT_EQ(sk_X509_value(dir_only.get(), 1), nullptr) << "entry i stays with SignerInfo i";

    ossl::Pkcs7 empty(PKCS7_new());
    PKCS7_set_type(empty.get(), NID_pkcs7_signed);
    ossl::Pkcs7 plain(PKCS7_new());
    PKCS7_set_type(plain.get(), NID_pkcs7_data);
    for (auto [msg, reason] :
         {std::pair{empty.get(), PKCS7_R_NO_SIGNERS},
          std::pair{plain.get(), PKCS7_R_WRONG_CONTENT_TYPE},
          std::pair{static_cast<PKCS7*>(nullptr), ERR_R_PASSED_NULL_PARAMETER}}) {
        EXPECT_FALSE(ssf::ssf_PKCS7_get0_signers(msg, pab.get(), 0));
        EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), reason);
    }

    // The signer's certificate carried in its certValues attribute.
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(si).signer);
    const std::string inter = test_pki::der_of(pki->inter.cert.get()),
                      leaf = test_pki::der_of(pki->leaf.cert.get());
    set_cert_values(si, inter + leaf);
    EXPECT_TRUE(same(ssf::ssf_GetSubjectCertificateFromAttrs(si).signer, pki->leaf.cert.get()));
    // certValues that do not hold the signer, or cannot be read.
    for (const std::string& contents : {inter, inter + leaf.substr(0, 100)}) {
        set_cert_values(si, contents);
        EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(si).signer);
    }
    EXPECT_TRUE(logged("ssf_GetSubjectCertificateFromAttrs() 3 : signer's certificate not found"));
    EXPECT_TRUE(logged("ssf_GetSubjectCertificateFromAttrs() 2 : ASN1_seq_unpack() failed"));
}

class Recipients : public ssf_test::Started {
  protected:
    int lookup(std::string id, SAP_UINT len = 0) {
        ossl::X509Stack pab = stack_of({pki->root.cert.get(), pki->leaf.cert.get(),
                                        pki->rsa_leaf.cert.get(), pki->expired.cert.get()});
        SigRcpSsfInfo r{};
        r.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        r.strSigRcpIdL = len ? len : static_cast<SAP_UINT>(id.size());
        found = ossl::up_ref(pki->stranger.cert.get());
        int rc = ssf::get_cert_from_pab(pab.get(), &r, found);
        if (rc != 0) {
            EXPECT_FALSE(found);
        }
        return rc;
    }
    ossl::X509Ptr found;
};

TEST_F(Recipients, BySubjectTextOrFingerprint) {
    ASSERT_EQ(lookup(test_pki::subject_text("Leaf RSA")), 0);
    EXPECT_TRUE(same(found.get(), pki->rsa_leaf.cert.get()));
    // A leading part selects the first certificate, in directory order, whose subject begins so.
    ASSERT_EQ(lookup("CN=Leaf"), 0);
    EXPECT_TRUE(same(found.get(), pki->leaf.cert.get()));
    EXPECT_TRUE(logged("get_cert_from_pab() : certificate found by full ID"));

    const std::string spaced = test_pki::sha1_hex(pki->rsa_leaf.cert.get(), " ");
    const std::string plain = test_pki::sha1_hex(pki->rsa_leaf.cert.get(), "");
    for (const std::string& id : {spaced, plain}) {
        ASSERT_EQ(lookup(id), 0);
        EXPECT_TRUE(same(found.get(), pki->rsa_leaf.cert.get()));
    }
    EXPECT_TRUE(logged("get_cert_from_pab() : certificate found by SHA1 ID"));
    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(lookup(upper), 26) << "not in the directory, and no web service to ask";

    // A recipient that fails the validity check is still the recipient.
    ASSERT_EQ(lookup(test_pki::subject_text("Leaf Expired")), 0);
    EXPECT_TRUE(log_contains("get_cert_from_pab() 6 : IsCertificateValid() failed for "));
}

TEST_F(Recipients, IdentitiesThatNameNobody) {
    EXPECT_EQ(lookup(""), 22) << "an empty identity is a prefix of every subject";
    EXPECT_TRUE(logged("get_cert_from_pab() 3 : unknown recipient: ''"));
    EXPECT_EQ(lookup("XQ=unknown field"), 22);
    EXPECT_EQ(lookup("CN=Leaf\x01"), 22);
    EXPECT_EQ(lookup("CN=Leaf One" + std::string(1100, 'x')), 22)
        << "refused whole, never cut to a prefix";
    EXPECT_EQ(lookup("CN=Leaf", 0x80000000u), 22) << "a length with the top bit set is empty";
    EXPECT_EQ(lookup("123-456-789 01"), 26);
    EXPECT_TRUE(
        logged("get_cert_from_pab() 2 : hok_get_fingerprint_by_snils( '123-456-789 01' ) failed"));
    EXPECT_EQ(ssf::is_snils("123-456-789 01", -1), 1);
    for (const char* not_snils :
         {"123-456-78901", "123 456 789 01", "12a-456-789 01", "123-456-789 012"})
        EXPECT_EQ(ssf::is_snils(not_snils, -1), 0) << not_snils;
}

}  // namespace
