// The recipients' certificate directory, subject texts, fingerprints, the trust check and the
// configured validity check, against a PKI the tests make themselves.
#include "ssf/certs.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <cstdio>

#include "ssf/cert_verify.h"
#include "ssf/hok.h"
#include "started_library.h"

using test_pki::write_file;

namespace {

bool same(X509* a, X509* b) {
    return a && b && X509_cmp(a, b) == 0;
}

std::string independent_fingerprint(X509* cert) {
    std::string der = test_pki::der_of(cert);
    unsigned char md[20];
    EXPECT_EQ(EVP_Q_digest(nullptr, "SHA1", nullptr, der.data(), der.size(), md, nullptr), 1);
    std::string out;
    char pair[4];
    for (int i = 0; i < 20; ++i) {
        std::snprintf(pair, sizeof pair, i ? " %02x" : "%02x", md[i]);
        out += pair;
    }
    return out;
}

ossl::X509Stack stack_of(std::initializer_list<X509*> certs) {
    ossl::X509Stack s = ossl::new_x509_stack();
    for (X509* c : certs) {
        ossl::X509Ptr r = ossl::up_ref(c);
        sk_X509_push(s.get(), r.release());
    }
    return s;
}

class CertDirectory : public StartedLibrary {};

TEST_F(CertDirectory, ReadsTheThreeFileFormsAndSkipsEverythingElse) {
    const std::string pab = dir.path() + "/pab";
    ASSERT_EQ(mkdir(pab.c_str(), 0700), 0);
    write_file(pab + "/a_leaf.der", test_pki::der_of(pki->leaf.cert.get()));
    write_file(pab + "/b_inter.pem", test_pki::pem_of(pki->inter.cert.get()));
    write_file(pab + "/c_root.b64",
               test_pki::bare_base64_of(pki->root.cert.get()));  // no final newline
    write_file(pab + "/d_readme.txt", "this is not a certificate\n");
    write_file(pab + "/e_junk.bin", std::string("\x30\x82\x01\x00garbage", 12));
    write_file(pab + "/f_Makefile", "MAKEFLAGS = -j4\n");
    write_file(pab + "/g_empty", "");
    ASSERT_EQ(mkdir((pab + "/h_subdir").c_str(), 0700), 0);
    write_file(pab + "/h_subdir/leaf.pem", test_pki::pem_of(pki->leaf.cert.get()));
    ASSERT_EQ(mkfifo((pab + "/i_fifo").c_str(), 0600), 0);  // opening it would block for ever

    ossl::X509Stack certs = ssf::load_certs_from_pab(pab.c_str());
    ASSERT_TRUE(certs);
    ASSERT_EQ(sk_X509_num(certs.get()), 3);
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 0), pki->leaf.cert.get()));
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 1), pki->inter.cert.get()));
    EXPECT_TRUE(same(sk_X509_value(certs.get(), 2), pki->root.cert.get()));

    EXPECT_TRUE(logged("load_certs_from_pab_orbssl() : 'a_leaf.der'"));
    EXPECT_TRUE(logged("load_cert_from_file() 3 : unknown file format '" + pab +
                       "/d_readme.txt', first byte = 0x74"));
    EXPECT_TRUE(logged("load_cert_from_file() 4 : failed to load certificate from file '" + pab +
                       "/e_junk.bin'"));
    EXPECT_TRUE(logged("load_cert_from_file() 4 : failed to load certificate from file '" + pab +
                       "/f_Makefile'"));
    EXPECT_TRUE(
        logged("load_cert_from_file() 2 : failed to read first byte from '" + pab + "/g_empty'"));
    EXPECT_FALSE(log_contains("h_subdir"));
    EXPECT_FALSE(log_contains("i_fifo"));
}

TEST_F(CertDirectory, EmptyAndMissingDirectories) {
    const std::string empty = dir.path() + "/empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    ossl::X509Stack none = ssf::load_certs_from_pab(empty.c_str());
    ASSERT_TRUE(none);
    EXPECT_EQ(sk_X509_num(none.get()), 0);

    const std::string missing = dir.path() + "/missing";
    EXPECT_FALSE(ssf::load_certs_from_pab(missing.c_str()));
    EXPECT_TRUE(logged("load_certs_from_pab_orbssl() : FindFirstFileA( '" + missing +
                       "/*.*' ) failed, GetLastError = 0x2"));
    EXPECT_FALSE(ssf::load_certs_from_pab(nullptr));
}

TEST_F(CertDirectory, SingleFilesOfEveryKind) {
    const std::string base = dir.path() + "/";
    write_file(base + "crlf.b64", [&] {
        std::string b = test_pki::bare_base64_of(pki->leaf.cert.get()), out;
        for (char c : b) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out + "\r\n";
    }());
    EXPECT_TRUE(
        same(ssf::load_cert_from_file((base + "crlf.b64").c_str()).get(), pki->leaf.cert.get()));

    // A PEM file whose body is damaged, and one cut in half: no certificate, no crash.
    std::string pem = test_pki::pem_of(pki->leaf.cert.get());
    std::string damaged = pem;
    damaged[100] = '*';
    damaged[101] = '!';
    write_file(base + "damaged.pem", damaged);
    write_file(base + "half.pem", pem.substr(0, pem.size() / 2));
    write_file(base + "half.der", test_pki::der_of(pki->leaf.cert.get()).substr(0, 200));
    EXPECT_FALSE(ssf::load_cert_from_file((base + "damaged.pem").c_str()));
    EXPECT_FALSE(ssf::load_cert_from_file((base + "half.pem").c_str()));
    EXPECT_FALSE(ssf::load_cert_from_file((base + "half.der").c_str()));
    EXPECT_FALSE(ssf::load_cert_from_file((base + "absent.pem").c_str()));
    EXPECT_TRUE(logged("load_cert_from_file() 1 : failed to open file '" + base + "absent.pem'"));
    EXPECT_EQ(ERR_peek_error(), 0u) << "failures leave nothing on the crypto library's queue";
}

TEST_F(CertDirectory, StoreFromTheFirstCharactersOfAName) {
    std::string name = pki->ca_bundle + "-and-more";
    ossl::X509StorePtr store;
    ASSERT_EQ(ssf::LoadCertificatesFromPAB(store, name.c_str(), pki->ca_bundle.size()), 1);
    ASSERT_TRUE(store);
    STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store.get());
    EXPECT_EQ(sk_X509_OBJECT_num(objs), 2);

    ossl::X509StorePtr other;
    EXPECT_EQ(ssf::LoadCertificatesFromPAB(other, name.c_str(), name.size()), -1);
    EXPECT_TRUE(other) << "the store that was made stays with the caller";
    ERR_clear_error();
}

TEST_F(CertDirectory, SubjectTextAndFingerprints) {
    EXPECT_EQ(ssf::orb_x509_get_name_from_X509(pki->leaf.cert.get()).value_or("?"),
              test_pki::subject_text("Leaf One"));
    EXPECT_FALSE(ssf::orb_x509_get_name_from_X509(nullptr).has_value());

    // A multi-valued RDN is joined by " + ", and nothing is escaped.
    ossl::X509Ptr x(X509_new());
    X509_NAME* n = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(n, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("RU"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(n, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("A, \"B\""), -1, -1, 0);
    X509_NAME_add_entry_by_txt(n, "OU", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Unit"), -1, -1, -1);
    EXPECT_EQ(ssf::orb_x509_get_name_from_X509(x.get()).value_or("?"),
              "OU=Unit + O=A, \"B\", C=RU");

    std::string fp = ssf::calc_sha1id(pki->leaf.cert.get());
    EXPECT_EQ(fp.size(), 59u);
    EXPECT_EQ(fp, independent_fingerprint(pki->leaf.cert.get()));
    EXPECT_NE(fp, ssf::calc_sha1id(pki->rsa_leaf.cert.get()));
    EXPECT_EQ(ssf::calc_sha1id(nullptr), "");
    EXPECT_EQ(ssf::one_line_subject(pki->leaf.cert.get()), "/C=RU/O=Selvanor Test/CN=Leaf One");
}

class TrustCheck : public StartedLibrary {
  protected:
    void SetUp() override {
        StartedLibrary::SetUp();
        pab = stack_of({pki->root.cert.get(), pki->inter.cert.get()});
    }
    ossl::X509Stack pab;
};

TEST_F(TrustCheck, TrustedExpiredAndUntrusted) {
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), pab.get(), -1), 0);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->rsa_leaf.cert.get(), pab.get(), -1), 0);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->expired.cert.get(), pab.get(), -1), 100);
    EXPECT_TRUE(logged(
        "GetCertificateTrustedStatus() : certificate is invalid: certificate has expired (10)"));
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->not_yet.cert.get(), pab.get(), -1), 22);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->stranger.cert.get(), pab.get(), -1), 22);

    ossl::X509Stack no_root = stack_of({pki->inter.cert.get()});
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), no_root.get(), -1), 22);
    ossl::X509Stack empty = ossl::new_x509_stack();
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), empty.get(), -1), 22);
}

TEST_F(TrustCheck, AtAGivenTimeAndByTheTestClock) {
    const time_t after_leaf = std::time(nullptr) + 6 * 365 * 24 * 3600L;
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), pab.get(), after_leaf), 100);
    // Signed while it was valid: the expired leaf is trusted at that time.
    const time_t while_valid = std::time(nullptr) - 500 * 24 * 3600L;
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->expired.cert.get(), pab.get(), while_valid), 0);
    platform::set_test_clock(while_valid);
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->expired.cert.get(), pab.get(), -1), 0);
}

TEST_F(TrustCheck, RevocationThatCannotBeDecidedIsNotTrust) {
    start("cert_check_options = check_crl\ncrl_protocols = http");
    EXPECT_EQ(ssf::GetCertificateTrustedStatus(pki->leaf.cert.get(), pab.get(), -1), 22);
    EXPECT_TRUE(log_contains("GetCertificateTrustedStatus() : check_for_revocation() failed: "));
    EXPECT_TRUE(log_contains("check_for_revocation() : CRL revocation checking is not available"));
}

class Validity : public StartedLibrary {};

TEST_F(Validity, PeriodAloneWithoutChecks) {
    X509* leaf = pki->leaf.cert.get();
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 1);
    EXPECT_EQ(ssf::IsCertificateValid(pki->expired.cert.get(), 0, 0, nullptr), 0);
    EXPECT_TRUE(logged("verify_certificate() 4 : certificate expired"));
    EXPECT_EQ(ssf::IsCertificateValid(pki->not_yet.cert.get(), 0, 0, nullptr), 0);
    EXPECT_TRUE(logged("verify_certificate() 2 : certificate is not valid yet"));
    // Without chain checking nobody asks who issued it.
    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 0, 0, nullptr), 1);

    // At the instant of notAfter the certificate has expired; one second before it is valid.
    time_t not_after = 0;
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(leaf), nullptr), 1);
    struct tm tm {};
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(leaf), &tm), 1);
    not_after = timegm(&tm);
    platform::set_test_clock(not_after - 1);
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 1);
    platform::set_test_clock(not_after);
    EXPECT_EQ(ssf::IsCertificateValid(leaf, 0, 0, nullptr), 0);
}

TEST_F(Validity, ChainToTheConfiguredAnchors) {
    start("cert_check_options = check_chain\nca_file = " + pki->ca_bundle);
    ossl::X509Stack chain;
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 0, &chain), 1);
    ASSERT_TRUE(chain);
    ASSERT_EQ(sk_X509_num(chain.get()), 3);
    EXPECT_TRUE(same(sk_X509_value(chain.get(), 0), pki->leaf.cert.get()));
    EXPECT_TRUE(same(sk_X509_value(chain.get(), 2), pki->root.cert.get()));

    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 1, 0, &chain), 0);
    EXPECT_TRUE(chain) << "the chain is handed out whatever the outcome";
    EXPECT_TRUE(log_contains("verify_certificate() 7 : certificate is invalid: "));
    EXPECT_EQ(ssf::IsCertificateValid(pki->expired.cert.get(), 1, 0, nullptr), 0);
    EXPECT_EQ(ssf::IsCertificateValid(pki->not_yet.cert.get(), 1, 0, nullptr), 0);
}

TEST_F(Validity, CaFileForms) {
    // A file URL keeps its absolute path.
    start("cert_check_options = check_chain\nca_file = file://" + pki->ca_bundle);
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 0, nullptr), 1);

    // DER holds one certificate: the root alone anchors the intermediate but not the leaf.
    const std::string der = dir.file("root.der");
    write_file(der, test_pki::der_of(pki->root.cert.get()));
    start("cert_check_options = check_chain\nca_file = " + der);
    EXPECT_EQ(ssf::IsCertificateValid(pki->inter.cert.get(), 1, 0, nullptr), 1);
    EXPECT_TRUE(log_contains("add_file() : file format is not PEM: trying ASN1"));
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 0, nullptr), 0);

    start("cert_check_options = check_chain");
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 0, nullptr), 0);
    EXPECT_TRUE(log_contains("setup_store() : 'ca_file' parameter not specified"));

    start("cert_check_options = check_chain\nca_file = " + dir.file("absent.pem"));
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 0, nullptr), -1);
    EXPECT_TRUE(log_contains("verify_certificate() 5 : setup_store() failed"));
}

TEST_F(Validity, RevocationCannotBeDecidedYet) {
    start("cert_check_options = check_chain,check_crl\ncrl_protocols = http\nca_file = " +
          pki->ca_bundle);
    EXPECT_EQ(ssf::IsCertificateValid(pki->leaf.cert.get(), 1, 1, nullptr), -1);
    EXPECT_TRUE(log_contains("verify_certificate() 8 : check_for_revocation() failed"));
    // A broken chain is decided before revocation is asked.
    EXPECT_EQ(ssf::IsCertificateValid(pki->stranger.cert.get(), 1, 1, nullptr), 0);
}

// A signed message with two signers: the leaf (in the directory) and the RSA leaf (only inside
// the message).
class Signers : public StartedLibrary {
  protected:
    ossl::Pkcs7 two_signers() {
        ossl::Bio data(BIO_new_mem_buf("payload", 7));
        ossl::Pkcs7 p7(
            PKCS7_sign(nullptr, nullptr, nullptr, nullptr, PKCS7_PARTIAL | PKCS7_BINARY));
        EXPECT_TRUE(
            PKCS7_sign_add_signer(p7.get(), pki->leaf.cert.get(), pki->leaf.key.get(), nullptr, 0));
        EXPECT_TRUE(PKCS7_sign_add_signer(p7.get(), pki->rsa_leaf.cert.get(),
                                          pki->rsa_leaf.key.get(), nullptr, 0));
        EXPECT_EQ(PKCS7_final(p7.get(), data.get(), PKCS7_BINARY), 1);
        return p7;
    }
    void SetUp() override {
        StartedLibrary::SetUp();
        pab = stack_of({pki->root.cert.get(), pki->leaf.cert.get()});
    }
    ossl::X509Stack pab;
};

TEST_F(Signers, OneEntryPerSignerInfoDirectoryFirst) {
    ossl::Pkcs7 p7 = two_signers();
    ossl::X509Stack all = ssf::ssf_PKCS7_get0_signers(p7.get(), pab.get(), 0);
    ASSERT_TRUE(all);
    ASSERT_EQ(sk_X509_num(all.get()), 2);
    EXPECT_EQ(sk_X509_value(all.get(), 0), sk_X509_value(pab.get(), 1))
        << "the directory's own object";
    EXPECT_TRUE(same(sk_X509_value(all.get(), 1), pki->rsa_leaf.cert.get()));

    ossl::X509Stack dir_only = ssf::ssf_PKCS7_get0_signers(p7.get(), pab.get(), PKCS7_NOINTERN);
    ASSERT_TRUE(dir_only);
    ASSERT_EQ(sk_X509_num(dir_only.get()), 2);
    EXPECT_TRUE(same(sk_X509_value(dir_only.get(), 0), pki->leaf.cert.get()));
    EXPECT_EQ(sk_X509_value(dir_only.get(), 1), nullptr);
}

TEST_F(Signers, BadMessagesLeaveTheirReasonOnTheQueue) {
    auto expect_reason = [&](PKCS7* p7, int reason) {
        ERR_clear_error();
        EXPECT_FALSE(ssf::ssf_PKCS7_get0_signers(p7, pab.get(), 0));
        unsigned long e = ERR_get_error();
        EXPECT_EQ(ERR_GET_LIB(e), ERR_LIB_PKCS7);
        EXPECT_EQ(ERR_GET_REASON(e), reason);
    };
    expect_reason(nullptr, ERR_R_PASSED_NULL_PARAMETER);
    ossl::Pkcs7 data(PKCS7_new());
    PKCS7_set_type(data.get(), NID_pkcs7_data);
    expect_reason(data.get(), PKCS7_R_WRONG_CONTENT_TYPE);
    ossl::Pkcs7 unsigned_msg(PKCS7_new());
    PKCS7_set_type(unsigned_msg.get(), NID_pkcs7_signed);
    expect_reason(unsigned_msg.get(), PKCS7_R_NO_SIGNERS);
}

TEST_F(Signers, CertificateFromTheCertValuesAttribute) {
    ossl::Pkcs7 p7 = two_signers();
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(si));
    EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(nullptr));

    auto set_cert_values = [&](const std::string& contents) {
        std::string seq = std::string("\x30\x82", 2);
        seq += static_cast<char>(contents.size() >> 8);
        seq += static_cast<char>(contents.size() & 0xff);
        seq += contents;
        ASN1_STRING* s = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
        ASN1_STRING_set(s, seq.data(), static_cast<int>(seq.size()));
        // Replaces any earlier value: the attribute list is rebuilt per case.
        sk_X509_ATTRIBUTE_pop_free(si->unauth_attr, X509_ATTRIBUTE_free);
        si->unauth_attr = nullptr;
        ASSERT_EQ(PKCS7_add_attribute(si, NID_id_smime_aa_ets_certValues, V_ASN1_SEQUENCE, s), 1);
    };
    const std::string inter = test_pki::der_of(pki->inter.cert.get());
    const std::string leaf = test_pki::der_of(pki->leaf.cert.get());

    set_cert_values(inter + leaf);
    ossl::X509Ptr found = ssf::ssf_GetSubjectCertificateFromAttrs(si);
    EXPECT_TRUE(same(found.get(), pki->leaf.cert.get()));
    EXPECT_NE(found.get(), pki->leaf.cert.get());

    set_cert_values(inter);
    EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(si));
    EXPECT_TRUE(logged("ssf_GetSubjectCertificateFromAttrs() 3 : signer's certificate not found"));

    set_cert_values(inter + leaf.substr(0, 100));
    EXPECT_FALSE(ssf::ssf_GetSubjectCertificateFromAttrs(si));
    EXPECT_TRUE(logged("ssf_GetSubjectCertificateFromAttrs() 2 : ASN1_seq_unpack() failed"));
    EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace

namespace {

// Recipients are looked up in the directory; nothing is found in a web service that is not built.
class Recipients : public StartedLibrary {
  protected:
    void SetUp() override {
        StartedLibrary::SetUp();
        pab = stack_of({pki->root.cert.get(), pki->leaf.cert.get(), pki->rsa_leaf.cert.get(),
                        pki->expired.cert.get()});
    }
    int lookup(std::string id, ossl::X509Ptr& out, SAP_UINT len_override = 0) {
        SigRcpSsfInfo r{};
        r.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        r.strSigRcpIdL = len_override ? len_override : static_cast<SAP_UINT>(id.size());
        return ssf::get_cert_from_pab(pab.get(), &r, out);
    }
    X509* at(int i) const { return sk_X509_value(pab.get(), i); }
    ossl::X509Stack pab;
};

TEST_F(Recipients, ByWholeOrLeadingSubjectText) {
    ossl::X509Ptr out;
    ASSERT_EQ(lookup(test_pki::subject_text("Leaf RSA"), out), 0);
    EXPECT_EQ(out.get(), at(2)) << "the directory's own object";
    EXPECT_TRUE(logged("get_cert_from_pab() : certificate found by full ID"));
    // A leading part selects the first certificate, in directory order, whose subject begins so.
    ASSERT_EQ(lookup("CN=Leaf", out), 0);
    EXPECT_EQ(out.get(), at(1));
    ASSERT_EQ(lookup("CN=Leaf R", out), 0);
    EXPECT_EQ(out.get(), at(2));
}

TEST_F(Recipients, ByFingerprint) {
    const std::string spaced = ssf::calc_sha1id(pki->rsa_leaf.cert.get());
    std::string plain;
    for (char c : spaced)
        if (c != ' ') plain += c;
    ossl::X509Ptr out;
    ASSERT_EQ(lookup(spaced, out), 0);
    EXPECT_EQ(out.get(), at(2));
    EXPECT_TRUE(logged("get_cert_from_pab() : certificate found by SHA1 ID"));
    ASSERT_EQ(lookup(plain, out), 0);
    EXPECT_EQ(out.get(), at(2));

    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(lookup(upper, out), 26) << "not in the directory, and no web service to ask";
    EXPECT_FALSE(out);
    EXPECT_TRUE(logged("get_cert_from_pab() 5 : hok_get_cert_by_fingerprint() failed"));
}

TEST_F(Recipients, UsedEvenWhenInvalid) {
    ossl::X509Ptr out;
    ASSERT_EQ(lookup(test_pki::subject_text("Leaf Expired"), out), 0);
    EXPECT_EQ(out.get(), at(3));
    EXPECT_TRUE(
        logged("get_cert_from_pab() 6 : IsCertificateValid() failed for '/C=RU/O=Selvanor "
               "Test/CN=Leaf Expired'"));
}

TEST_F(Recipients, IdentitiesThatNameNobody) {
    ossl::X509Ptr out = ossl::up_ref(pki->leaf.cert.get());
    EXPECT_EQ(lookup("", out), 22)
        << "an empty identity is a prefix of everything, and names nothing";
    EXPECT_FALSE(out);
    EXPECT_TRUE(logged("get_cert_from_pab() 3 : unknown recipient: ''"));
    EXPECT_EQ(lookup("XQ=unknown field", out), 22);
    EXPECT_EQ(lookup(std::string("CN=Leaf\x01"), out), 22);

    // Longer than the lookup text: refused whole, never cut down to a prefix that matches.
    EXPECT_EQ(lookup("CN=Leaf One" + std::string(1100, 'x'), out), 22);
    EXPECT_EQ(lookup("CN=Leaf", out, 0x80000000u), 22) << "a length with the top bit set is empty";

    EXPECT_EQ(lookup("123-456-789 01", out), 26);
    EXPECT_TRUE(logged("get_cert_from_pab() : '123-456-789 01' is snils"));
    EXPECT_TRUE(
        logged("get_cert_from_pab() 2 : hok_get_fingerprint_by_snils( '123-456-789 01' ) failed"));

    EXPECT_EQ(ssf::get_cert_from_pab(nullptr, nullptr, out), 22);
    EXPECT_TRUE(logged("get_cert_from_pab() 1 : pab_certs or recip or cert is NULL"));
}

TEST_F(Recipients, SubjectTextInTheServerEncoding) {
    start("server_encoding = CP1251");
    // The printer copies the bytes of a T.61 string as they are; these are UTF-8 for U+0418.
    ossl::X509Ptr x(X509_new());
    X509_NAME* n = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(n, "O", V_ASN1_T61STRING,
                               reinterpret_cast<const unsigned char*>("\xd0\x98"), -1, -1, 0);
    EXPECT_EQ(ssf::orb_x509_get_name_from_X509(x.get()).value_or("?"), "O=\xc8");
    // A byte that is no UTF-8 keeps the text as it was.
    ossl::X509Ptr y(X509_new());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(y.get()), "O", V_ASN1_T61STRING,
                               reinterpret_cast<const unsigned char*>("Caf\xe9"), -1, -1, 0);
    EXPECT_EQ(ssf::orb_x509_get_name_from_X509(y.get()).value_or("?"), "O=Caf\xe9");
    EXPECT_TRUE(logged(
        "orb_x509_get_name_from_X509() : failed to recode 'O=Caf\xe9' from 'UTF-8' to 'CP1251'"));
}

TEST(Snils, Forms) {
    EXPECT_EQ(ssf::is_snils("123-456-789 01", -1), 1);
    EXPECT_EQ(ssf::is_snils("123-456-789 01", 14), 1);
    EXPECT_EQ(ssf::is_snils("123-456-789 01x", 14), 1) << "the length given counts";
    EXPECT_EQ(ssf::is_snils("123-456-789 01x", -1), 0);
    EXPECT_EQ(ssf::is_snils("123-456-78901", -1), 0);
    EXPECT_EQ(ssf::is_snils("123 456 789 01", -1), 0);
    EXPECT_EQ(ssf::is_snils("12a-456-789 01", -1), 0);
    EXPECT_EQ(ssf::is_snils("123-456-789 01", 13), 0);
    EXPECT_EQ(ssf::is_snils(nullptr, -1), 0);
}

}  // namespace
