// The certificate extensions: built from configuration, printed, and round-tripped through DER.
#include <gtest/gtest.h>
#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <string>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "cryptoext/x509v3_ext.h"
#include "engine_env.h"

namespace {

class Extensions : public ::testing::Test {
  protected:
    void SetUp() override {
        engine_tests::load_engines();
        ERR_clear_error();
    }
    // Builds an extension from a configuration text whose section "ext" holds the pairs.
    ossl::ExtPtr build(const char* name, const std::string& section_text,
                       const char* value = "@ext") {
        conf.reset(NCONF_new(nullptr));
        ossl::Bio bio(BIO_new_mem_buf(section_text.data(), static_cast<int>(section_text.size())));
        long line = 0;
        EXPECT_GT(NCONF_load_bio(conf.get(), bio.get(), &line), 0);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, nullptr, nullptr, nullptr, nullptr, 0);
        return ossl::ExtPtr(tvk_ext_nconf(conf.get(), &ctx, name, value));
    }
    static std::string print(X509_EXTENSION* ext, bool ours = true) {
        ossl::Bio out(BIO_new(BIO_s_mem()));
        const int ok =
            ours ? tvk_ext_print(out.get(), ext, 0) : X509V3_EXT_print(out.get(), ext, 0, 0);
        EXPECT_EQ(ok, 1);
        char* p = nullptr;
        const long n = BIO_get_mem_data(out.get(), &p);
        return std::string(p, static_cast<size_t>(n));
    }
    static unsigned long last_error(std::string* data = nullptr) {
        const char* d = nullptr;
        int flags = 0;
        const unsigned long e = ERR_peek_last_error_data(&d, &flags);
        if (data != nullptr) *data = (d != nullptr && (flags & ERR_TXT_STRING)) ? d : "";
        return e;
    }
    ossl::Conf conf;
};

// The four texts go by name into their places whatever their order: cATool first into an empty
// list, signTool in front of it, cAToolCert (position 3) after two entries, signToolCert before it.
TEST_F(Extensions, IssuerSignToolPlacesFourNamedTexts) {
    for (const char* text :
         {"[ext]\nsignTool = A\ncATool = B\nsignToolCert = C\ncAToolCert = D\n",
          "[ext]\ncATool = B\nsignTool = A\ncAToolCert = D\nsignToolCert = C\n"}) {
        ossl::ExtPtr ext = build("issuerSignTool", text);
        ASSERT_TRUE(ext);
        EXPECT_EQ(print(ext.get()), "A\nB\nC\nD");
        // The crypto library's own printer reads our encoding as the same four strings.
        EXPECT_TRUE(engine_tests::has(print(ext.get(), false), "D"));
    }
    const struct {
        const char* text;
        int reason;
        const char* data;
    } refusals[] = {
        {"[ext]\nsignTool = a\ncATool = b\nsignToolCert = c\n", objmap::err::kInvalidStringsNumber,
         ""},
        {"[ext]\n[other]\nx = y\n", objmap::err::kInvalidStringsNumber, ""},
        {"[ext]\nsigntool = a\n", X509V3_R_INVALID_NAME, "section:ext,name:signtool,value:a"},
        {"[ext]\nsignTool =\n", objmap::err::kEmptyValue, "section:ext,name:signTool,value:"},
    };
    for (const auto& r : refusals) {
        ERR_clear_error();
        std::string data;
        EXPECT_FALSE(build("issuerSignTool", r.text));
        const unsigned long e = last_error(&data);
        EXPECT_EQ(ERR_GET_REASON(e), r.reason) << r.text;
        EXPECT_EQ(ERR_GET_LIB(e),
                  r.reason == X509V3_R_INVALID_NAME ? ERR_LIB_X509V3 : objmap::err::library());
        EXPECT_EQ(data, r.data);
    }
}

TEST_F(Extensions, SubjectSignToolKeepsItsBytes) {
    const std::string text = "\xd0\xa1\xd0\x9a\xd0\x97\xd0\x98 tool";  // UTF-8 Cyrillic
    ossl::ExtPtr ext = build("subjectSignTool", "", text.c_str());
    ASSERT_TRUE(ext);
    EXPECT_EQ(print(ext.get()), text);
    const ASN1_OCTET_STRING* der = X509_EXTENSION_get_data(ext.get());
    const unsigned char* p = ASN1_STRING_get0_data(der);
    ossl::Utf8String s(d2i_ASN1_UTF8STRING(nullptr, &p, ASN1_STRING_length(der)));
    ASSERT_TRUE(s);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s.get())),
                          ASN1_STRING_length(s.get())),
              text);
    ossl::Utf8String empty(ASN1_UTF8STRING_new());
    EXPECT_EQ(i2s_SUBJECT_SIGN_TOOL(nullptr, empty.get()), nullptr);
    EXPECT_EQ(i2s_SUBJECT_SIGN_TOOL(nullptr, nullptr), nullptr);
}

TEST_F(Extensions, SmimeCapabilitiesAreKnownToTheCryptoLibrary) {
    ossl::ExtPtr ext = build("SMIME-CAPS", "[ext]\ngost89 = \n1.2.3.4 = \n");
    ASSERT_TRUE(ext);
    const std::string expected = "GOST 28147-89 (1.2.643.2.2.21)\n1.2.3.4 (1.2.3.4)";
    EXPECT_EQ(print(ext.get()), expected);
    // Registered in the library's table: its own printer and lookups reach our method.
    EXPECT_EQ(print(ext.get(), false), expected);
    EXPECT_EQ(X509V3_EXT_get_nid(NID_SMIMECapabilities), tvk_ext_method(NID_SMIMECapabilities));
    const ASN1_OCTET_STRING* der = X509_EXTENSION_get_data(ext.get());
    const unsigned char* p = ASN1_STRING_get0_data(der);
    ossl::Algors caps(d2i_X509_ALGORS(nullptr, &p, ASN1_STRING_length(der)));
    ASSERT_TRUE(caps);
    ASSERT_EQ(sk_X509_ALGOR_num(caps.get()), 2);
    const ASN1_OBJECT* obj = nullptr;
    int ptype = -2;
    X509_ALGOR_get0(&obj, &ptype, nullptr, sk_X509_ALGOR_value(caps.get(), 0));
    EXPECT_EQ(OBJ_obj2nid(obj), objmap::nid(objmap::Obj::gost89));
    EXPECT_EQ(ptype, V_ASN1_UNDEF);

    EXPECT_FALSE(build("SMIME-CAPS", "[ext]\nno-such-algorithm = \n"));
    ossl::ExtPtr none = build("SMIME-CAPS", "[ext]\n[x]\n");
    ASSERT_TRUE(none);
    EXPECT_EQ(print(none.get()), "<EMPTY>\n");
}

double days_between(const PKEY_USAGE_PERIOD* p) {
    int days = 0, seconds = 0;
    EXPECT_EQ(ASN1_TIME_diff(&days, &seconds, p->notBefore, p->notAfter), 1);
    return days + seconds / 86400.0;
}

ossl::UsagePeriod decode_period(X509_EXTENSION* ext) {
    const ASN1_OCTET_STRING* der = X509_EXTENSION_get_data(ext);
    const unsigned char* p = ASN1_STRING_get0_data(der);
    return ossl::UsagePeriod(d2i_PKEY_USAGE_PERIOD(nullptr, &p, ASN1_STRING_length(der)));
}

// Beyond the 32-bit number of seconds (24855 days) the count still holds; hex counts too.
TEST_F(Extensions, PrivateKeyUsagePeriodFromDays) {
    for (auto [text, days] : {std::pair{"365", 365.0}, {"30000", 30000.0}, {"0x10", 16.0}}) {
        ossl::ExtPtr ext =
            build("privateKeyUsagePeriod", std::string("[ext]\ndays = ") + text + "\n");
        ASSERT_TRUE(ext) << text;
        ossl::UsagePeriod period = decode_period(ext.get());
        ASSERT_TRUE(period);
        EXPECT_EQ(ASN1_STRING_type(period->notBefore), V_ASN1_GENERALIZEDTIME);
        EXPECT_EQ(ASN1_STRING_type(period->notAfter), V_ASN1_GENERALIZEDTIME);
        EXPECT_EQ(days_between(period.get()), days);
        EXPECT_LE(std::abs(X509_cmp_current_time(period->notBefore)), 1);
        EXPECT_TRUE(engine_tests::has(print(ext.get()), "Not Before: "));
    }
    for (const char* bad :
         {"days = 0", "days = -5", "days = 10\nmore = 20", "days = ten", "days = 99999999999"})
        EXPECT_FALSE(build("privateKeyUsagePeriod", std::string("[ext]\n") + bad + "\n")) << bad;
    // A bare number is a name without a value.
    EXPECT_FALSE(build("privateKeyUsagePeriod", "", "365"));
    EXPECT_NE(ERR_peek_last_error(), 0u);
}

}  // namespace
