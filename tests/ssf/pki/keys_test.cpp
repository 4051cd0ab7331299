// Signer and recipient key loading from every profile form, and the result code of each failure.
#include "ssf/pki/keys.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "fixture.h"
#include "protected_password.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/password.h"

using test_pki::kPassword;
using test_pki::write_file;

namespace {

const char* const kNone = nullptr;  // no password in the record

class KeyLoading : public ssf_test::Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        leaf_p12 = test_pki::write_p12("leaf.p12", pki->leaf, kPassword);
        cert = dir.file("leaf.crt");
        key = dir.file("leaf.key");
        write_file(cert, test_pki::pem_of(pki->leaf.cert.get()));
        write_file(key, test_pki::key_pem(pki->leaf.key.get(), kPassword));
        combined = dir.file("combined.pem");
        write_file(combined, test_pki::pem_of(pki->leaf.cert.get()) +
                                 test_pki::key_pem(pki->leaf.key.get(), nullptr));
    }

    // Loads through a record over the given strings; returns rc * 1000 + uResult, so that one
    // comparison names both. Outputs must be empty after every failure.
    int load(std::string id, std::string profile, const char* password, bool signer = true) {
        ssf_test::Record r(id, profile, password ? password : "");
        if (!password) r.info.strSigRcpPassword = nullptr;
        cert_out = ossl::up_ref(pki->stranger.cert.get());
        int rc = ssf::ssf_load_cert_and_key(&r.info, cert_out, key_out, signer ? 1 : 0, &chain);
        if (rc != 0) EXPECT_FALSE(cert_out || key_out || chain) << profile;
        return rc * 1000 + static_cast<int>(r.info.uResult);
    }
    int load_leaf(std::string profile, const char* password = kPassword, bool signer = true) {
        return load(leaf_id, std::move(profile), password, signer);
    }

    // SsfSign with one signer over the profile and every byte of the password: the call's code
    // and the signer's result.
    std::pair<SAPRETURN, SAP_UINT> sign(const std::string& profile, const std::string& password) {
        ssf_test::Sap id(leaf_id), prof(profile), pw(password), format("PKCS7"), hash("SHA1");
        SigRcpSsfInfo* rec = nullptr;
        EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, prof.p(), prof.n(), pw.p(),
                                      pw.n(), 28, &rec),
                  0u);
        SigRcpSsfInfoList list = nullptr;
        EXPECT_EQ(SsfINSSigRcpSsfInfo(rec, &list), 0u);
        ssf_test::Sap data(ssf_test::data_message("signed content"));
        ssf_test::Out out;
        const SAPRETURN rc = SsfSign(format.p(), format.n(), hash.p(), hash.n(), 1, 0, data.p(),
                                     data.n(), list, &out.data, &out.len);
        const SAP_UINT result = rec->uResult;
        EXPECT_EQ(out.cleared(), rc != 0);
        SsfDELSigRcpSsfInfoList(&list);
        return {rc, result};
    }

    bool same_key() const {
        return cert_out && X509_cmp(cert_out.get(), pki->leaf.cert.get()) == 0 && key_out &&
               EVP_PKEY_eq(key_out.get(), pki->leaf.key.get()) == 1;
    }

    const std::string leaf_id = test_pki::subject_text("Leaf One");
    std::string leaf_p12, cert, key, combined;
    ossl::X509Ptr cert_out;
    ossl::PKey key_out;
    ossl::X509Stack chain;
};

constexpr int kOk = 28;  // rc 0, uResult untouched
constexpr int signer(int result) {
    return 5000 + result;
}
constexpr int recipient(int result) {
    return 9000 + result;
}

TEST_F(KeyLoading, Pkcs12ByIdentity) {
    ASSERT_EQ(load_leaf(leaf_p12), kOk);
    EXPECT_TRUE(same_key());
    EXPECT_FALSE(chain) << "no chain without chain checking";
    EXPECT_EQ(ERR_peek_error(), 0u) << "a successful parse leaves no stale error";

    const std::string spaced = test_pki::sha1_hex(pki->leaf.cert.get(), " ");
    const std::string plain = test_pki::sha1_hex(pki->leaf.cert.get(), "");
    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(load(spaced, leaf_p12, kPassword), kOk);
    EXPECT_EQ(load(plain, leaf_p12, kPassword), kOk);
    // The subject is compared whole and exactly; an empty identity names nothing.
    for (const std::string& wrong :
         {upper, std::string(), std::string("CN=Leaf One"), leaf_id + " "})
        EXPECT_EQ(load(wrong, leaf_p12, kPassword), signer(22)) << "'" << wrong << "'";
    EXPECT_TRUE(logged("check_cert_and_key() 2 : cert_name( '" + leaf_id +
                       "' ) and cert_id ( '' ) don't match"));

    EXPECT_EQ(load(test_pki::subject_text("Leaf RSA"),
                   test_pki::write_p12("rsa.p12", pki->rsa_leaf, kPassword), kPassword),
              kOk);
    EXPECT_EQ(EVP_PKEY_get_base_id(key_out.get()), EVP_PKEY_RSA);
    EXPECT_EQ(load_leaf(test_pki::write_legacy_p12("legacy.p12", pki->leaf, kPassword)), kOk)
        << "RC2 and 3DES";
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(KeyLoading, Pkcs12Failures) {
    EXPECT_EQ(load_leaf(leaf_p12, "wrong"), signer(25));
    EXPECT_TRUE(logged("ssf_load_cert_and_key_p12() 3 : PKCS12_parse() failed"));
    EXPECT_TRUE(logged("ssf_load_cert_and_key() 9 : ssf_load_cert_and_key_p12( '" + leaf_p12 +
                       "' ) failed"));
    EXPECT_EQ(load_leaf(dir.file("absent.p12"), kPassword, false), recipient(23));

    const std::string der = testing_support::read_file(leaf_p12);
    write_file(dir.file("truncated.p12"), der.substr(0, der.size() / 2));
    write_file(dir.file("garbage.p12"), "-----BEGIN GARBAGE-----\nnot at all\n");
    write_file(dir.file("empty.p12"), "");
    for (const char* name : {"truncated.p12", "garbage.p12", "empty.p12"})
        EXPECT_EQ(load_leaf(dir.file(name)), signer(24)) << name;

    // A key stored with a certificate that is not its own: the parse pairs no certificate with it.
    ossl::X509Stack others = ossl::new_x509_stack();
    sk_X509_push(others.get(), ossl::up_ref(pki->leaf.cert.get()).release());
    ossl::Pkcs12 mixed(PKCS12_create(kPassword, "x", pki->rsa_leaf.key.get(), nullptr, others.get(),
                                     0, 0, 1, 1, 0));
    ossl::Bio out(BIO_new_file(dir.file("mixed.p12").c_str(), "wb"));
    ASSERT_EQ(i2d_PKCS12_bio(out.get(), mixed.get()), 1);
    out.reset();
    EXPECT_EQ(load_leaf(dir.file("mixed.p12")), signer(25));
}

// A FIFO named as a profile is no profile: loading answers at once, as for a missing file.
TEST_F(KeyLoading, SpecialFilesAreNotOpened) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string profile;
        int want;
    } cases[] = {
        {fifo, signer(23)},
        {"certfile=" + fifo + ",keyfile=" + key, signer(24)},
        {"certfile=" + cert + ",keyfile=" + fifo, signer(24)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ssf_test::without_hang([&] { return load_leaf(c.profile); }, {fifo}), c.want)
            << c.profile;
}

TEST_F(KeyLoading, PasswordChoice) {
    EXPECT_EQ(load_leaf(leaf_p12, kNone), signer(25)) << "no password, none configured";
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() : password not provided, default password will be used"));
    start(std::string("default_password = ") + kPassword);
    EXPECT_EQ(load_leaf(leaf_p12, kNone), kOk);
    EXPECT_EQ(load_leaf(leaf_p12, ""), kOk) << "a password of length 0 is none";
    EXPECT_EQ(load_leaf(leaf_p12, "wrong"), signer(25)) << "the record's own password wins";

    start(std::string("use_profile_password_encryption = yes\ndefault_password = ") + kPassword);
    EXPECT_EQ(load_leaf(leaf_p12), signer(25)) << "the plain password is no protected one";
    EXPECT_TRUE(logged("ssf_load_cert_and_key() 6 : failed to decrypt password"));
    const std::string protected_form = protected_password::protect(kPassword);
    EXPECT_EQ(load_leaf(leaf_p12, protected_form.c_str()), kOk);
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : password decrypted successfully"));
    EXPECT_EQ(load_leaf(leaf_p12, protected_password::protect("other").c_str()), signer(25));
    start("use_profile_password_encryption = yes\ndefault_password = " + protected_form);
    EXPECT_EQ(load_leaf(leaf_p12, kNone), kOk) << "the configured default is protected too";
}

TEST_F(KeyLoading, CertificateAndKeyFiles) {
    const std::string pair = "certfile=" + cert + ",keyfile=" + key;
    EXPECT_EQ(load_leaf("certfile=" + combined, kNone), kOk) << "the key from the certificate file";
    ASSERT_EQ(load_leaf(pair), kOk);
    EXPECT_TRUE(same_key());
    // An encrypted key without its password, or with another: nobody is asked, the profile fails.
    EXPECT_EQ(load_leaf(pair, kNone), signer(24));
    EXPECT_EQ(load_leaf(pair, "wrong"), signer(24));
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key_file() 3 : load_key( file_name = '" + key + "' ) failed"));
    EXPECT_EQ(load_leaf("certfile=" + cert, kNone), signer(24)) << "no key in the certificate file";
    EXPECT_EQ(load_leaf("certfile=" + cert + ",keyfile=" + dir.file("absent.key")), signer(24));
    EXPECT_EQ(load_leaf("certfile=" + dir.file("absent.crt") + ",keyfile=" + key), signer(24));
    EXPECT_TRUE(
        logged("load_cert() : Error opening signer certificate '" + dir.file("absent.crt") + "'"));

    std::string pem = test_pki::pem_of(pki->leaf.cert.get());
    write_file(dir.file("garbage.crt"), pem.replace(80, 12, "!!garbage!!!"));
    EXPECT_EQ(load_leaf("certfile=" + dir.file("garbage.crt") + ",keyfile=" + key), signer(24));
    write_file(dir.file("other.key"), test_pki::key_pem(pki->rsa_leaf.key.get(), nullptr));
    EXPECT_EQ(load_leaf("certfile=" + cert + ",keyfile=" + dir.file("other.key")), signer(24));
    EXPECT_TRUE(logged("check_cert_and_key() 3 : X509_check_private_key() failed"));
    EXPECT_EQ(load(test_pki::subject_text("Leaf RSA"), pair, kPassword), signer(22));
    // Prefixes are case-sensitive: anything else is a PKCS#12 path.
    EXPECT_EQ(load_leaf("CertFile=" + combined), signer(23));
}

TEST_F(KeyLoading, ProfileTimeAndOtherSources) {
    EXPECT_EQ(load_leaf("20260101120000" + leaf_p12), signer(23))
        << "off: the time is part of the path";
    start("use_profile_timestamp = yes");
    EXPECT_EQ(load_leaf("20260101120000" + leaf_p12), kOk);
    EXPECT_EQ(load_leaf("20260101120000certfile=" + combined), kOk);
    // These two fail with the signer code for recipients too.
    EXPECT_EQ(load_leaf("20260101120000", kPassword, false), signer(23));
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 3 : profile '20260101120000' is too short "
               "(use_profile_timestamp is 'on')"));
    EXPECT_EQ(load_leaf("20261301120000" + leaf_p12, kPassword, false), signer(24));
    EXPECT_EQ(load_leaf("2026010112000x" + leaf_p12), signer(24));

    EXPECT_EQ(load_leaf(""), signer(23));
    EXPECT_EQ(load_leaf("", kPassword, false), recipient(23));
    EXPECT_EQ(load_leaf("20260101120000token=/nonexistent/p11.so", "1234"), signer(23));
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key_token() 1 : mdlopen( '/nonexistent/p11.so', 'rb' ) failed"));
    EXPECT_EQ(load("123-456-789 01", "20260101120000" + leaf_p12, kPassword), signer(22))
        << "SNILS, no service";
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 8: hok_get_single_fingerprint_by_snils( '123-456-789 01' ) "
               "failed"));
}

TEST_F(KeyLoading, SignerOnlyChecks) {
    const std::string pkup = test_pki::write_p12("pkup.p12", pki->pkup_ended, kPassword);
    const std::string pkup_id = test_pki::subject_text("Leaf Usage Ended");
    EXPECT_EQ(load(pkup_id, pkup, kPassword), signer(22));
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : PrivateKeyUsagePeriod is expired"));
    EXPECT_EQ(load(pkup_id, pkup, kPassword, false), kOk) << "recipients decrypt with old keys";
    ossl::UsagePeriod period(static_cast<PKEY_USAGE_PERIOD*>(X509_get_ext_d2i(
        pki->pkup_ended.cert.get(), NID_private_key_usage_period, nullptr, nullptr)));
    struct tm tm {};
    ASSERT_EQ(ASN1_TIME_to_tm(period->notAfter, &tm), 1);
    platform::set_test_clock(timegm(&tm));
    EXPECT_EQ(load(pkup_id, pkup, kPassword), kOk) << "its last second still counts";
    platform::set_test_clock(timegm(&tm) - 400 * 24 * 3600L);
    EXPECT_EQ(load(pkup_id, pkup, kPassword), signer(22));
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : PrivateKeyUsagePeriod is not begin yet"));
    platform::set_test_clock(std::nullopt);

    const std::string expired = test_pki::write_p12("expired.p12", pki->expired, kPassword);
    const std::string expired_id = test_pki::subject_text("Leaf Expired");
    EXPECT_EQ(load(expired_id, expired, kPassword), signer(26));
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 11 : IsCertificateValid() failed for '/C=RU/O=Selvanor "
               "Test/CN=Leaf Expired'"));
    EXPECT_EQ(load(expired_id, expired, kPassword, false), kOk);

    start("cert_check_options = check_chain\nca_file = " + pki->ca_bundle);
    ASSERT_EQ(load_leaf(leaf_p12), kOk);
    EXPECT_EQ(sk_X509_num(chain.get()), 3);
    const std::string stranger = test_pki::write_p12("stranger.p12", pki->stranger, kPassword);
    EXPECT_EQ(load(test_pki::subject_text("Stranger"), stranger, kPassword), signer(26));
    EXPECT_EQ(load(test_pki::subject_text("Stranger"), stranger, kPassword, false), kOk);
    start("cert_check_options = check_chain,check_crl\ncrl_protocols = http\nca_file = " +
          pki->ca_bundle);
    EXPECT_EQ(load_leaf(leaf_p12), signer(26))
        << "a revocation that cannot be decided fails the signer";
}

// A password is every byte the caller gives. The crypto library takes passwords as C strings, so
// one with a NUL byte inside its length can never be the right one: each profile kind answers it
// as a wrong password, through the export as callers reach it, also when the right password
// has just opened the profile and it is kept, and also when it comes out of a protected form.
TEST_F(KeyLoading, PasswordIsEveryByteGiven) {
    // The leaf's key as traditional PEM (the encryption in the PEM headers) or encrypted PKCS#8.
    auto write_key = [&](const std::string& name, const std::string& password, bool traditional) {
        const std::string path = dir.file(name);
        ossl::Bio out(BIO_new_file(path.c_str(), "w"));
        auto* pass = reinterpret_cast<unsigned char*>(const_cast<char*>(password.data()));
        const int len = static_cast<int>(password.size());
        EXPECT_EQ(traditional ? PEM_write_bio_PrivateKey_traditional(out.get(), pki->leaf.key.get(),
                                                                     EVP_aes_256_cbc(), pass, len,
                                                                     nullptr, nullptr)
                              : PEM_write_bio_PKCS8PrivateKey(out.get(), pki->leaf.key.get(),
                                                              EVP_aes_256_cbc(), password.data(),
                                                              len, nullptr, nullptr),
                  1);
        return "certfile=" + cert + ",keyfile=" + path;
    };
    const struct {
        const char* name;
        std::string profile;
        SAP_UINT wrong;  // what a wrong password gives
    } kinds[] = {
        {"PKCS#12", leaf_p12, 25},
        {"encrypted PKCS#8", "certfile=" + cert + ",keyfile=" + key, 24},
        {"traditional encrypted PEM", write_key("traditional.key", kPassword, true), 24},
    };
    using Outcome = std::pair<SAPRETURN, SAP_UINT>;
    const Outcome ok{0, 0};
    const std::string right = kPassword, junk = right + std::string("\0junk", 5);
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        platform::set_test_clock(std::nullopt);
        const Outcome wrong{5, k.wrong};
        ASSERT_EQ(sign(k.profile, "wrong"), wrong);
        EXPECT_EQ(sign(k.profile, junk), wrong);
        EXPECT_EQ(sign(k.profile, right + '\0'), wrong);
        EXPECT_EQ(sign(k.profile, right), ok);

        // Kept: the right password finds the parse of the first open; the other bytes do not.
        platform::set_test_clock(std::time(nullptr) + 60);
        ASSERT_EQ(load_leaf(k.profile, kPassword), kOk);
        ossl::PKey kept = std::move(key_out);
        ASSERT_EQ(load_leaf(k.profile, kPassword), kOk);
        ASSERT_EQ(key_out.get(), kept.get());
        EXPECT_EQ(sign(k.profile, junk), wrong);
    }
    // The cut would have been the empty password, which this file opens with.
    EXPECT_EQ(sign(test_pki::write_p12("empty.p12", pki->leaf, ""), std::string(1, '\0')),
              (Outcome{5, 25}));
    EXPECT_TRUE(logged(
        "ssf_load_cert_and_key_p12() 3 : the password holds a NUL byte, so it cannot be the right "
        "one"));
    EXPECT_TRUE(logged(
        "ssf_load_cert_and_key_file() 3 : the password holds a NUL byte, so it cannot be the right "
        "one"));
    EXPECT_FALSE(log_contains("junk"));

    // Nor is a key file's password cut to the room its reader gives (1,024 bytes).
    const std::string room(1024, 'p');
    for (bool trad : {false, true}) {
        const std::string profile = write_key("room.key", room, trad);
        EXPECT_EQ(sign(profile, room), ok) << trad;
        EXPECT_EQ(sign(profile, room + 'p'), (Outcome{5, 24})) << trad;
    }
    EXPECT_TRUE(logged(
        "ssf_load_cert_and_key_file() 3 : the password is longer than a key file's password can "
        "be"));

    using protected_password::protect;
    start("use_profile_password_encryption = yes");
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(sign(k.profile, protect(right)), ok);
        EXPECT_EQ(sign(k.profile, protect(junk)), (Outcome{5, k.wrong}));
        EXPECT_EQ(sign(k.profile, protect(right) + std::string("\0junk", 5)), (Outcome{5, 25}));
        // The check covers every byte of the password, not the part before its NUL.
        EXPECT_EQ(
            sign(k.profile, protected_password::base64(protected_password::make_blob(junk, right))),
            (Outcome{5, 25}));
    }
}

TEST(PasswordCallback, CopiesAtMostTheRoomGiven) {
    const ssf::Password fits("abc", 3), longer("abcdef", 6);
    ssf::PasswordCbData data{&fits, "key.pem"}, cut{&longer, "key.pem"}, none{nullptr, "key.pem"};
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(ssf::ssf_password_cb(buf, 3, 0, &data), 3);
    EXPECT_EQ(std::string(buf, 4), "abcx");
    // Nothing is cut to the room: a password that does not fit is refused.
    EXPECT_EQ(ssf::ssf_password_cb(buf, 3, 0, &cut), -1);
    EXPECT_EQ(ssf::ssf_password_cb(buf, 3, 0, &none), 0);
}

// Protected profile passwords: recovery, integrity check and refusal of every damaged form.
class ProtectedPasswords : public ssf_test::Started {
  protected:
    std::string recover(const std::string& text) {
        ssf::Password p = ssf::DecryptPassword(text);
        return p.given() ? std::string(p.data(), p.size()) : std::string("<none>");
    }
};

TEST_F(ProtectedPasswords, RecoverTheirPasswordAndLogOnlyItsLength) {
    using protected_password::protect;
    EXPECT_EQ(recover(protect("secret")), "secret");
    EXPECT_TRUE(logged("DecryptPassword() : password len = 6"));
    EXPECT_FALSE(log_contains(protect("secret")));
    const std::string long_one(1023, 'p');
    EXPECT_EQ(recover(protect(long_one)), long_one);
    EXPECT_EQ(recover(protect("")), "");  // exactly IV and MAC
    // A password that would not fit the 1024-byte buffer is refused, not overrun.
    EXPECT_EQ(recover(protect(std::string(1024, 'p'))), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() : password len = 1024"));
}

TEST_F(ProtectedPasswords, DamagedFormsAreRefused) {
    using namespace protected_password;
    const std::string blob = make_blob("secret", "secret");
    for (size_t i : {size_t{0}, size_t{8}, blob.size() - 1}) {
        std::string bad = blob;
        bad[i] ^= 0x01;
        EXPECT_EQ(recover(base64(bad)), "<none>") << "byte " << i;
    }
    EXPECT_TRUE(logged("DecryptPassword() 3 : imito does not match"));
    EXPECT_EQ(recover(base64(blob.substr(0, 11))), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() 2 : wrong password len from '****************'"));
    EXPECT_EQ(recover("not base64 at all!"), "<none>");
    EXPECT_TRUE(logged("DecryptPassword() 1 : base64_decode() failed for '******************'"));
    EXPECT_EQ(recover(""), "<none>");
    // A password is every byte the MAC covers, never cut at its first NUL: a MAC over the part
    // before it leaves the rest unchecked.
    const std::string with_nul("ab\0cd", 5);
    EXPECT_EQ(recover(base64(make_blob(with_nul, "ab"))), "<none>");
    EXPECT_EQ(recover(base64(make_blob(with_nul, with_nul))), with_nul);
    // The protected text is all of its bytes too: one with a NUL inside is no Base64.
    EXPECT_EQ(recover(protect("secret") + std::string("\0junk", 5)), "<none>");
}

}  // namespace
