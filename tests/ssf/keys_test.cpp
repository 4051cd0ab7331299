// Signer and recipient key loading from every profile form, and the result code of each failure.
#include "ssf/keys.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "ssf/certs.h"
#include "protected_password.h"
#include "started_library.h"

using test_pki::kPassword;
using test_pki::write_file;

namespace {

constexpr SAP_UINT kUntouched = 28;

// A record over strings the test owns; an absent field stays null.
struct Record {
    std::string id, profile, password;
    SigRcpSsfInfo info{};
    Record(std::string id_, std::string profile_,
           std::optional<std::string> password_ = std::nullopt)
        : id(std::move(id_)), profile(std::move(profile_)), password(password_.value_or("")) {
        info.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        info.strSigRcpIdL = static_cast<SAP_UINT>(id.size());
        info.strSigRcpProfile = reinterpret_cast<SAP_BYTE*>(profile.data());
        info.strSigRcpProfileL = static_cast<SAP_UINT>(profile.size());
        if (password_) {
            info.strSigRcpPassword = reinterpret_cast<SAP_BYTE*>(password.data());
            info.strSigRcpPasswordL = static_cast<SAP_UINT>(password.size());
        }
        info.uResult = kUntouched;
    }
};

class KeyLoading : public StartedLibrary {
  protected:
    struct Outcome {
        int rc;
        SAP_UINT result;
        ossl::X509Ptr cert;
        ossl::EvpPkey key;
        ossl::X509Stack chain;
    };
    Outcome load(Record r, bool signer = true) {
        Outcome o{};
        o.cert = ossl::up_ref(pki->stranger.cert.get());  // must be cleared on failure
        o.rc = ssf::ssf_load_cert_and_key(&r.info, o.cert, o.key, signer ? 1 : 0, &o.chain);
        o.result = r.info.uResult;
        if (o.rc != 0) {
            EXPECT_FALSE(o.cert);
            EXPECT_FALSE(o.key);
            EXPECT_FALSE(o.chain);
        }
        return o;
    }
    std::string leaf_id() const { return test_pki::subject_text("Leaf One"); }
    std::string p12(const test_pki::Entity& e, const char* name) {
        return test_pki::write_p12(name, e, kPassword);
    }
    // The certificate and its key in one PEM file; the key unencrypted.
    std::string combined_pem(const test_pki::Entity& e) {
        const std::string path = dir.file("combined.pem");
        write_file(path, test_pki::pem_of(e.cert.get()) + test_pki::key_pem(e.key.get(), nullptr));
        return path;
    }
};

TEST_F(KeyLoading, Pkcs12BySubjectAndByFingerprint) {
    const std::string path = p12(pki->leaf, "leaf.p12");
    Outcome o = load(Record(leaf_id(), path, kPassword));
    ASSERT_EQ(o.rc, 0);
    EXPECT_EQ(o.result, kUntouched) << "success leaves the result to the caller";
    EXPECT_EQ(X509_cmp(o.cert.get(), pki->leaf.cert.get()), 0);
    EXPECT_EQ(EVP_PKEY_eq(o.key.get(), pki->leaf.key.get()), 1);
    EXPECT_FALSE(o.chain) << "no chain without chain checking";
    EXPECT_EQ(ERR_peek_error(), 0u) << "a successful parse leaves no stale error";

    const std::string spaced = ssf::calc_sha1id(pki->leaf.cert.get());
    std::string plain;
    for (char c : spaced)
        if (c != ' ') plain += c;
    EXPECT_EQ(load(Record(spaced, path, kPassword)).rc, 0);
    EXPECT_EQ(load(Record(plain, path, kPassword)).rc, 0);
    EXPECT_TRUE(logged("check_cert_and_key() : certificate found by SHA1 ID"));

    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& wrong : {upper, std::string(), std::string("CN=Leaf One"),
                                     leaf_id() + " ", test_pki::subject_text("Leaf RSA")}) {
        Outcome bad = load(Record(wrong, path, kPassword));
        EXPECT_EQ(bad.rc, 5) << "'" << wrong << "'";
        EXPECT_EQ(bad.result, 22u) << "'" << wrong << "'";
    }
    EXPECT_TRUE(logged("check_cert_and_key() 2 : cert_name( '" + leaf_id() +
                       "' ) and cert_id ( '' ) don't match"));
}

TEST_F(KeyLoading, Pkcs12Failures) {
    const std::string path = p12(pki->leaf, "leaf.p12");
    Outcome wrong = load(Record(leaf_id(), path, "not the password"));
    EXPECT_EQ(wrong.rc, 5);
    EXPECT_EQ(wrong.result, 25u);
    EXPECT_TRUE(logged("ssf_load_cert_and_key_p12() 3 : PKCS12_parse() failed"));
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 9 : ssf_load_cert_and_key_p12( '" + path + "' ) failed"));

    Outcome missing = load(Record(leaf_id(), dir.file("absent.p12"), kPassword), false);
    EXPECT_EQ(missing.rc, 9) << "recipients fail with 9";
    EXPECT_EQ(missing.result, 23u);

    const std::string der = testing_support::read_file(path);
    write_file(dir.file("truncated.p12"), der.substr(0, der.size() / 2));
    write_file(dir.file("garbage.p12"), "-----BEGIN GARBAGE-----\nnot at all\n");
    write_file(dir.file("empty.p12"), "");
    for (const char* name : {"truncated.p12", "garbage.p12", "empty.p12"}) {
        Outcome bad = load(Record(leaf_id(), dir.file(name), kPassword));
        EXPECT_EQ(bad.rc, 5) << name;
        EXPECT_EQ(bad.result, 24u) << name;
    }
    EXPECT_TRUE(log_contains("ssf_load_cert_and_key_p12() 2 : d2i_PKCS12_bio( file_name = '"));

    // A key with a certificate that is not its own: the parse finds no certificate for the key.
    ossl::X509Stack others = ossl::new_x509_stack();
    sk_X509_push(others.get(), ossl::up_ref(pki->leaf.cert.get()).release());
    ossl::Pkcs12 mixed(PKCS12_create(kPassword, "mixed", pki->rsa_leaf.key.get(), nullptr,
                                     others.get(), 0, 0, 1, 1, 0));
    ASSERT_TRUE(mixed);
    ossl::Bio out(BIO_new_file(dir.file("mixed.p12").c_str(), "wb"));
    ASSERT_EQ(i2d_PKCS12_bio(out.get(), mixed.get()), 1);
    out.reset();
    Outcome mismatch = load(Record(leaf_id(), dir.file("mixed.p12"), kPassword));
    EXPECT_EQ(mismatch.rc, 5);
    EXPECT_EQ(mismatch.result, 25u);
    EXPECT_TRUE(log_contains("ssf_load_cert_and_key_p12() 4 : key = 0x"));
}

TEST_F(KeyLoading, PasswordChoice) {
    const std::string path = p12(pki->leaf, "leaf.p12");
    // No password in the record and none configured: the file's password is not guessed.
    Outcome none = load(Record(leaf_id(), path));
    EXPECT_EQ(none.result, 25u);
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() : password not provided, default password will be used"));

    start(std::string("default_password = ") + kPassword);
    EXPECT_EQ(load(Record(leaf_id(), path)).rc, 0);
    // A password of length 0 counts as none.
    Record zero(leaf_id(), path, "");
    EXPECT_EQ(load(zero).rc, 0);
    // The record's own password wins over the configured one.
    EXPECT_EQ(load(Record(leaf_id(), path, "wrong")).result, 25u);
    EXPECT_FALSE(log_contains(kPassword + std::string("\n"))) << "passwords never reach the log";
}

TEST_F(KeyLoading, ProtectedPasswords) {
    start("use_profile_password_encryption = yes\ndefault_password = " + protected_password::protect(kPassword));
    const std::string path = p12(pki->leaf, "leaf.p12");
    EXPECT_EQ(load(Record(leaf_id(), path, protected_password::protect(kPassword))).rc, 0);
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : password decrypted successfully"));
    EXPECT_EQ(load(Record(leaf_id(), path)).rc, 0) << "the configured default is protected too";
    // The plain password is no protected one.
    Outcome o = load(Record(leaf_id(), path, kPassword));
    EXPECT_EQ(o.rc, 5);
    EXPECT_EQ(o.result, 25u);
    EXPECT_TRUE(logged("ssf_load_cert_and_key() 6 : failed to decrypt password"));
    // A protected form of another password decrypts, but opens nothing.
    EXPECT_EQ(load(Record(leaf_id(), path, protected_password::protect("other"))).result, 25u);
}

TEST_F(KeyLoading, LegacyAndRsaPkcs12) {
    Outcome legacy = load(Record(
        leaf_id(), test_pki::write_legacy_p12("legacy.p12", pki->leaf, kPassword), kPassword));
    EXPECT_EQ(legacy.rc, 0);
    EXPECT_EQ(ERR_peek_error(), 0u);
    Outcome rsa =
        load(Record(test_pki::subject_text("Leaf RSA"), p12(pki->rsa_leaf, "rsa.p12"), kPassword));
    ASSERT_EQ(rsa.rc, 0);
    EXPECT_EQ(EVP_PKEY_get_base_id(rsa.key.get()), EVP_PKEY_RSA);
}

TEST_F(KeyLoading, CertificateAndKeyFiles) {
    EXPECT_EQ(load(Record(leaf_id(), "certfile=" + combined_pem(pki->leaf))).rc, 0);

    const std::string cert = dir.file("leaf.crt"), key = dir.file("leaf.key");
    write_file(cert, test_pki::pem_of(pki->leaf.cert.get()));
    write_file(key, test_pki::key_pem(pki->leaf.key.get(), kPassword));
    const std::string pair = "certfile=" + cert + ",keyfile=" + key;
    Outcome ok = load(Record(leaf_id(), pair, kPassword));
    ASSERT_EQ(ok.rc, 0);
    EXPECT_EQ(EVP_PKEY_eq(ok.key.get(), pki->leaf.key.get()), 1);

    // An encrypted key without its password, or with another, makes the profile unusable; no
    // one is ever asked for a password.
    EXPECT_EQ(load(Record(leaf_id(), pair)).result, 24u);
    EXPECT_EQ(load(Record(leaf_id(), pair, "wrong")).result, 24u);
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key_file() 3 : load_key( file_name = '" + key + "' ) failed"));

    Outcome no_cert = load(
        Record(leaf_id(), "certfile=" + dir.file("absent.crt") + ",keyfile=" + key, kPassword));
    EXPECT_EQ(no_cert.result, 24u);
    EXPECT_TRUE(
        logged("load_cert() : Error opening signer certificate '" + dir.file("absent.crt") + "'"));
    EXPECT_TRUE(logged("ssf_load_cert_and_key_file() 2 : load_cert( file_name = '" +
                       dir.file("absent.crt") + "' ) failed"));
    EXPECT_EQ(load(Record(leaf_id(), "certfile=" + cert + ",keyfile=" + dir.file("absent.key"),
                          kPassword))
                  .result,
              24u);
    // A certificate file without a key, when no key file is named.
    EXPECT_EQ(load(Record(leaf_id(), "certfile=" + cert)).result, 24u);

    std::string pem = test_pki::pem_of(pki->leaf.cert.get());
    pem.replace(80, 12, "!!garbage!!!");
    write_file(dir.file("garbage.crt"), pem);
    EXPECT_EQ(load(Record(leaf_id(), "certfile=" + dir.file("garbage.crt") + ",keyfile=" + key,
                          kPassword))
                  .result,
              24u);
    EXPECT_TRUE(logged("load_cert() : unable to load certificate"));

    write_file(dir.file("other.key"), test_pki::key_pem(pki->rsa_leaf.key.get(), nullptr));
    EXPECT_EQ(
        load(Record(leaf_id(), "certfile=" + cert + ",keyfile=" + dir.file("other.key"))).result,
        24u);
    EXPECT_EQ(load(Record(test_pki::subject_text("Leaf RSA"),
                          "certfile=" + cert + ",keyfile=" + key, kPassword))
                  .result,
              22u);

    // The prefixes are case-sensitive: anything else is a PKCS#12 path.
    EXPECT_EQ(load(Record(leaf_id(), "CertFile=" + cert)).result, 23u);
    EXPECT_TRUE(logged("ssf_load_cert_and_key_p12() 1 : BIO_new_file( 'CertFile=" + cert +
                       "', 'rb' ) failed"));
}

TEST_F(KeyLoading, ProfileTime) {
    const std::string path = p12(pki->leaf, "leaf.p12");
    // Off: a leading time is part of the path.
    EXPECT_EQ(load(Record(leaf_id(), "20260101120000" + path, kPassword)).result, 23u);

    start("use_profile_timestamp = yes");
    EXPECT_EQ(load(Record(leaf_id(), "20260101120000" + path, kPassword)).rc, 0);
    EXPECT_EQ(load(Record(leaf_id(), "20260101120000certfile=" + combined_pem(pki->leaf))).rc, 0);

    // These two fail with the signer code for recipients too.
    Outcome short_profile = load(Record(leaf_id(), "20260101120000", kPassword), false);
    EXPECT_EQ(short_profile.rc, 5);
    EXPECT_EQ(short_profile.result, 23u);
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 3 : profile '20260101120000' is too short "
               "(use_profile_timestamp is 'on')"));
    Outcome bad_month = load(Record(leaf_id(), "20261301120000" + path, kPassword), false);
    EXPECT_EQ(bad_month.rc, 5);
    EXPECT_EQ(bad_month.result, 24u);
    EXPECT_TRUE(log_contains("ssf_load_cert_and_key() 4 : profile '20261301120000"));
    EXPECT_EQ(load(Record(leaf_id(), "2026010112000x" + path, kPassword)).result, 24u);
}

TEST_F(KeyLoading, ProfilesThatNameNothingUsable) {
    Record no_profile(leaf_id(), "");
    no_profile.info.strSigRcpProfile = nullptr;
    Outcome o = load(no_profile, false);
    EXPECT_EQ(o.rc, 9);
    EXPECT_EQ(o.result, 23u);
    EXPECT_TRUE(log_contains("ssf_load_cert_and_key() 1 : Error: signer->strSigRcpProfile = "));

    Record top_bit(leaf_id(), "x");
    top_bit.info.strSigRcpProfileL = 0x80000001u;
    EXPECT_EQ(load(top_bit).result, 23u);

    Outcome token = load(Record(leaf_id(), "token=/usr/lib/softhsm/libsofthsm2.so", "1234"));
    EXPECT_EQ(token.rc, 5);
    EXPECT_EQ(token.result, 24u);
    EXPECT_TRUE(
        log_contains("ssf_load_cert_and_key_token() : PKCS#11 token profiles are not supported"));

    // Without a web service a SNILS identity cannot be resolved.
    Outcome snils = load(Record("123-456-789 01", p12(pki->leaf, "leaf.p12"), kPassword));
    EXPECT_EQ(snils.result, 22u);
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 8: hok_get_single_fingerprint_by_snils( '123-456-789 01' ) "
               "failed"));

    Record no_id("", p12(pki->leaf, "leaf.p12"), kPassword);
    no_id.info.strSigRcpId = nullptr;
    EXPECT_EQ(load(no_id).result, 22u);
}

TEST_F(KeyLoading, SignerOnlyChecks) {
    const std::string pkup = p12(pki->pkup_ended, "pkup.p12");
    const std::string pkup_id = test_pki::subject_text("Leaf Usage Ended");
    Outcome signer = load(Record(pkup_id, pkup, kPassword));
    EXPECT_EQ(signer.rc, 5);
    EXPECT_EQ(signer.result, 22u);
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : PrivateKeyUsagePeriod is expired"));
    EXPECT_EQ(load(Record(pkup_id, pkup, kPassword), false).rc, 0)
        << "recipients decrypt with old keys";

    // Before the usage period begins; and on its last second, which still counts.
    platform::set_test_clock(std::time(nullptr) - 2 * 365 * 24 * 3600L);
    EXPECT_EQ(load(Record(pkup_id, pkup, kPassword)).result, 22u);
    EXPECT_TRUE(logged("ssf_load_cert_and_key() : PrivateKeyUsagePeriod is not begin yet"));
    ossl::PkeyUsagePeriod period(static_cast<PKEY_USAGE_PERIOD*>(X509_get_ext_d2i(
        pki->pkup_ended.cert.get(), NID_private_key_usage_period, nullptr, nullptr)));
    struct tm tm {};
    ASSERT_EQ(ASN1_TIME_to_tm(period->notAfter, &tm), 1);
    platform::set_test_clock(timegm(&tm));
    EXPECT_EQ(load(Record(pkup_id, pkup, kPassword)).rc, 0);
    platform::set_test_clock(timegm(&tm) + 1);
    EXPECT_EQ(load(Record(pkup_id, pkup, kPassword)).result, 22u);
    platform::set_test_clock(std::nullopt);

    const std::string expired = p12(pki->expired, "expired.p12");
    const std::string expired_id = test_pki::subject_text("Leaf Expired");
    Outcome old = load(Record(expired_id, expired, kPassword));
    EXPECT_EQ(old.rc, 5);
    EXPECT_EQ(old.result, 26u);
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key() 11 : IsCertificateValid() failed for '/C=RU/O=Selvanor "
               "Test/CN=Leaf Expired'"));
    EXPECT_EQ(load(Record(expired_id, expired, kPassword), false).rc, 0);
    EXPECT_EQ(load(Record(test_pki::subject_text("Leaf Not Yet"), p12(pki->not_yet, "notyet.p12"),
                          kPassword))
                  .result,
              26u);
}

TEST_F(KeyLoading, ChainChecks) {
    start("cert_check_options = check_chain\nca_file = " + pki->ca_bundle);
    Outcome ok = load(Record(leaf_id(), p12(pki->leaf, "leaf.p12"), kPassword));
    ASSERT_EQ(ok.rc, 0);
    ASSERT_TRUE(ok.chain);
    EXPECT_EQ(sk_X509_num(ok.chain.get()), 3);
    EXPECT_EQ(
        load(Record(test_pki::subject_text("Leaf RSA"), p12(pki->rsa_leaf, "rsa.p12"), kPassword))
            .rc,
        0);

    const std::string stranger_id = test_pki::subject_text("Stranger");
    const std::string stranger = p12(pki->stranger, "stranger.p12");
    EXPECT_EQ(load(Record(stranger_id, stranger, kPassword)).result, 26u);
    EXPECT_EQ(load(Record(stranger_id, stranger, kPassword), false).rc, 0)
        << "recipients are not chain-checked";

    start("cert_check_options = check_chain,check_crl\ncrl_protocols = http\nca_file = " +
          pki->ca_bundle);
    EXPECT_EQ(load(Record(leaf_id(), p12(pki->leaf, "leaf.p12"), kPassword)).result, 26u)
        << "a revocation that cannot be decided fails the signer";
}

TEST(PasswordCallback, CopiesAtMostTheRoomGiven) {
    ssf::PasswordCbData data{"abcdef", "key.pem"};
    char buf[8] = {};
    EXPECT_EQ(ssf::ssf_password_cb(buf, sizeof buf, 0, &data), 6);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(ssf::ssf_password_cb(small, 3, 0, &data), 3);
    EXPECT_EQ(small[3], 'x');
    ssf::PasswordCbData none{nullptr, "key.pem"};
    EXPECT_EQ(ssf::ssf_password_cb(buf, sizeof buf, 0, &none), 0);
    EXPECT_EQ(ssf::ssf_password_cb(buf, sizeof buf, 0, nullptr), 0);
}

}  // namespace
