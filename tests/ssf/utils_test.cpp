// Provider utilities: time conversions across time zones and daylight-saving changes, the
// GOST R 34.10-2001 cut-off, identity checks, recoding, and the generic list.
#include "ssf/utils.h"

#include <openssl/pkcs7.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "fixture.h"
#include "platform/winstub.h"
#include "ssf/pkcs7/sign.h"

using namespace ssf_test;
using namespace test_pki;
using testing_support::ScopedEnv;

namespace {

// Zones written as POSIX rules, so no time-zone database is needed.
constexpr const char* kMoscow = "MSK-3";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kSydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";

// Runs with TZ set for the scope; the C runtime reads it again on both ends, and so does the
// GOST R 34.10-2001 cut-off, which is otherwise worked out once for the process.
class Zone {
  public:
    explicit Zone(const char* tz) : env_("TZ", tz) {
        tzset();
        ssf::gost2001_cutoff_forget_for_tests();
    }

  private:
    struct TzsetOnExit {
        ~TzsetOnExit() {
            tzset();
            ssf::gost2001_cutoff_forget_for_tests();
        }
    } after_;  // destroyed last, once TZ is restored
    ScopedEnv env_;
};

ossl::Asn1Time make_time(int type, const char* text) {
    ossl::Asn1Time t(ASN1_STRING_type_new(type));
    ASN1_STRING_set(t.get(), text, -1);
    return t;
}
time_t utc(const char* text) {
    return ssf::utctime_to_time_t(make_time(V_ASN1_UTCTIME, text).get());
}
time_t gen(const char* text) {
    return ssf::generalizedtime_to_time_t(make_time(V_ASN1_GENERALIZEDTIME, text).get());
}

TEST(Times, TwoDigitYearsOffsetsAndFractions) {
    Zone z(kMoscow);
    EXPECT_EQ(utc("200101000000Z"), 1577836800);
    EXPECT_EQ(utc("491231235959Z"), 2524607999);  // 2049
    EXPECT_EQ(utc("500101000000Z"), -631152000);  // 1950
    EXPECT_EQ(utc("200101000000+0300"), 1577836800 - 3 * 3600);
    EXPECT_EQ(utc("200101000000-0130"), 1577836800 + 90 * 60);
    EXPECT_EQ(gen("20200101000000.5Z"), gen("20200101000000Z"));
    EXPECT_EQ(gen("20200101000000Z"), 1577836800);
    EXPECT_EQ(utc("garbage"), 0);
    // The dispatcher follows the type, and refuses others.
    EXPECT_EQ(ssf::asn1_time_to_time_t(make_time(V_ASN1_GENERALIZEDTIME, "20491231235959Z").get()),
              2524607999);
    EXPECT_EQ(ssf::asn1_time_to_time_t(make_time(V_ASN1_UTCTIME, "491231235959Z").get()),
              2524607999);
    EXPECT_EQ(ssf::asn1_time_to_time_t(make_time(V_ASN1_OCTET_STRING, "491231235959Z").get()), 0);
    EXPECT_EQ(ssf::generalizedtime_to_time_t(make_time(V_ASN1_UTCTIME, "491231235959Z").get()), 0);
}

TEST(Times, ExactAcrossDaylightSavingChanges) {
    for (const char* tz : {kBerlin, kNewYork, kSydney, "UTC0"}) {
        Zone z(tz);
        // Europe switched on 2021-03-28 at 01:00 UTC and back on 2021-10-31 at 01:00 UTC.
        EXPECT_EQ(utc("210328005959Z"), 1616893199) << tz;
        EXPECT_EQ(utc("210328010000Z"), 1616893200) << tz;
        EXPECT_EQ(gen("20211031005959Z"), 1635641999) << tz;
        EXPECT_EQ(gen("20211031010000Z"), 1635642000) << tz;
        EXPECT_EQ(gen("20210715120000Z"), 1626350400) << tz;
        EXPECT_EQ(utc("210115120000Z"), 1610712000) << tz;
    }
}

TEST(Times, Gost2001CutOffIsLocalMidnightWhateverTheSeason) {
    {
        Zone z(kMoscow);
        EXPECT_EQ(ssf::gost2001_cutoff_time(), 1577836800 - 3 * 3600);
    }
    Zone z(kBerlin);
    const time_t cut = 1577836800 - 3600;
    EXPECT_EQ(ssf::gost2001_cutoff_time(), cut);
    {  // Once worked out, the zone is not read again on every check.
        ScopedEnv later("TZ", kMoscow);
        tzset();
        EXPECT_EQ(ssf::gost2001_cutoff_time(), cut);
    }
    tzset();
    platform::set_test_clock(cut - 1);
    EXPECT_EQ(ssf::gost2001_cutoff_passed(), 0);
    platform::set_test_clock(cut);
    EXPECT_EQ(ssf::gost2001_cutoff_passed(), 1);
    // Only GOST R 34.10-2001 signers are refused.
    EXPECT_TRUE(ssf::refused_by_gost2001_cutoff({nullptr, true}));
    EXPECT_FALSE(ssf::refused_by_gost2001_cutoff({EVP_sha1(), false}));
    platform::set_test_clock(cut - 1);
    EXPECT_FALSE(ssf::refused_by_gost2001_cutoff({nullptr, true}));
    platform::set_test_clock(std::nullopt);
}

// Checks on many threads at once, the first among them. Run under ThreadSanitizer too: the C
// library's time-zone state, which every mktime writes, must not be touched on every check.
TEST(Times, Gost2001CutOffCheckedOnManyThreads) {
    const time_t cut = ssf::gost2001_cutoff_time();
    ssf::gost2001_cutoff_forget_for_tests();
    std::atomic<int> other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (ssf::gost2001_cutoff_time() != cut) ++other;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(other.load(), 0);
}

class Texts : public Started {};

TEST_F(Texts, GeneralizedTimeAndTimeStampTexts) {
    Zone z("UTC0");
    auto t = make_time(V_ASN1_GENERALIZEDTIME, "20200101000000Z");
    EXPECT_EQ(ssf::ASN1_GENERALIZEDTIME_to_string(t.get()).value_or("-"),
              "ArchiveTimeStampTime= Wed Jan  1 00:00:00 2020\n (UTCTime: 20200101000000Z)");
    auto bad = make_time(V_ASN1_GENERALIZEDTIME, "2020");
    EXPECT_FALSE(ssf::ASN1_GENERALIZEDTIME_to_string(bad.get()));
    EXPECT_TRUE(has_line(
        fresh(), "ASN1_GENERALIZEDTIME_to_string() 1 : ASN1_GENERALIZEDTIME_check() failed"));

    ossl::Pkcs7 p7 = from_der(signed_der("content"));
    ASSERT_TRUE(p7);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_FALSE(ssf::get_timestamp_time(si));
    EXPECT_TRUE(has_line(fresh(), "get_timestamp_time() 1 : timeStampToken not found"));
    auto set_token = [&](const Der& der) {
        ASN1_STRING* value = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
        ASN1_STRING_set(value, der.data(), static_cast<int>(der.size()));
        ossl::replace<ossl::AttributeStack>(si->unauth_attr, nullptr);
        ASSERT_EQ(PKCS7_add_attribute(si, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE, value),
                  1);
    };
    set_token(hex("3003020105"));  // no PKCS#7 at all
    EXPECT_FALSE(ssf::get_timestamp_time(si));
    EXPECT_TRUE(has_line(fresh(), "get_timestamp_time() 2 : d2i_PKCS7() failed"));
    ossl::Pkcs7 token = timestamp_token(1577836800);
    ASSERT_TRUE(token);
    set_token(to_der(token.get()));
    EXPECT_EQ(ssf::get_timestamp_time(si).value_or("-"),
              "TimeStampTime= Wed Jan  1 00:00:00 2020\n (UTCTime: 20200101000000Z)");
}

class Identities : public Started {};

TEST_F(Identities, FingerprintsAndDistinguishedNames) {
    const struct {
        std::string id;
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {"aB 0f 12 FF", 1, {"check_sig_rcp_id() : SHA1 ID is good"}},
        {"", 1, {}},
        {"a9993e364706816aba3e25717850c26c9cd0d89d", 1, {}},
        {"CN=Ivan Petrov, O=Org",
         1,
         {"is_str_hex() 0: bad symbol 'N' found in 'CN=Ivan Petrov, O=Org'"}},
        {"CN=Ivan, ", 1, {}},
        {"CN=a,XX=b", 1, {}},  // without ", " the rest is part of the first value
        {"CN=Ivan, XX=Org",
         -1,
         {"check_sig_rcp_id() 4 : OBJ_sn2nid( 'XX' ) returned NID_undef",
          "check_sig_rcp_id() 5 : non-interpreted remainder: 'XX=Org'"}},
        {"Ivan Petrov",
         -1,
         {"check_sig_rcp_id() 3 : '=' not found in 'Ivan Petrov'",
          "check_sig_rcp_id() 5 : non-interpreted remainder: 'Ivan Petrov'"}},
        {"CN=a\tb", -1, {"check_sig_rcp_id() 1: bad symbol '\\x09' found in 'CN=a\\x09b'"}},
    };
    for (auto c : cases) {
        Record r(c.id);
        EXPECT_EQ(ssf::check_sig_rcp_id(&r.info), c.result) << c.id;
        const std::string log = fresh();
        for (const auto& line : c.lines) EXPECT_TRUE(has_line(log, line)) << line;
    }
}

TEST_F(Identities, Sha1FingerprintMatching) {
    X509* cert = pki->rsa_leaf.cert.get();
    const std::string plain = sha1_hex(cert, ""), spaced = sha1_hex(cert, " ");
    std::string upper = plain;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ssf::compare_sha1id_and_rcpid(cert, plain.c_str()), 0);
    EXPECT_EQ(ssf::compare_sha1id_and_rcpid(cert, spaced.c_str()), 0);
    EXPECT_TRUE(has_line(fresh(), "compare_sha1id_and_rcpid() : sha1 = '" + spaced + "'"));
    for (const std::string& wrong : {upper, plain + " ", std::string()})
        EXPECT_EQ(ssf::compare_sha1id_and_rcpid(cert, wrong.c_str()), 1) << wrong;
    EXPECT_EQ(ssf::compare_sha1id_and_rcpid(nullptr, plain.c_str()), 1);
}

TEST(Iconv, Utf8IntoCp1251AndItsFailures) {
    const char* name = "Иван Петров";
    char out[ssf::kIconvMaxOutput + 1];
    ASSERT_EQ(ssf::iconv_convert("UTF-8", "CP1251", name, static_cast<int>(std::strlen(name)), out),
              11);
    EXPECT_EQ(std::memcmp(out, "\xC8\xE2\xE0\xED \xCF\xE5\xF2\xF0\xEE\xE2", 11), 0);
    EXPECT_EQ(ssf::iconv_convert("UTF-8", "CP1251", name, 0, out), -1);
    EXPECT_EQ(ssf::iconv_convert("UTF-8", "CP1251", nullptr, 3, out), -1);
    EXPECT_EQ(ssf::iconv_convert("UTF-8", "NO-SUCH-CODE", "a", 1, out), -4);
    EXPECT_EQ(ssf::iconv_convert("UTF-8", "CP1251", "\xff\xfe", 2, out), -5);
    // The output never exceeds its 10240 bytes: a longer result is a failure, not an overflow.
    const std::string wide(5200, 'a');
    EXPECT_EQ(
        ssf::iconv_convert("UTF-8", "UTF-16LE", wide.data(), static_cast<int>(wide.size()), out),
        -5);
    EXPECT_EQ(ssf::iconv_convert("UTF-8", "UTF-16LE", wide.data(), 5120, nullptr), 10240);
}

}  // namespace
