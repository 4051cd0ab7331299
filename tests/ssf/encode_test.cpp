// Encode and decode: Base64 against the crypto library's own encoder, strict decoding, and the
// PKCS#7 wrapping of every kind of input.
#include "ssf/encode.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <random>

#include "fixture.h"
#include "ssf/base64.h"
#include "ssf/pkcs7/workers.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

ssf::Bytes view(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}
ssf::Bytes view(const Der& d) {
    return {d.data(), d.size()};
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// The reference: the crypto library's Base64 filter, which encodes correctly (its faults are
// on the decoding side).
std::string filter_encode(const std::string& in, bool no_nl) {
    ossl::Bio b64(BIO_new(BIO_f_base64()));
    if (no_nl) BIO_set_flags(b64.get(), BIO_FLAGS_BASE64_NO_NL);
    BIO* mem = BIO_new(BIO_s_mem());
    BIO_push(b64.get(), mem);
    if (!in.empty()) BIO_write(b64.get(), in.data(), static_cast<int>(in.size()));
    (void)BIO_flush(b64.get());
    char* p = nullptr;
    long n = BIO_get_mem_data(mem, &p);
    return std::string(p, static_cast<size_t>(n));
}

TEST(Base64, MatchesTheFilterAndRoundTripsEveryLengthTo3000) {
    ssf::OutData empty;
    EXPECT_EQ(ssf::base64_enc_dec(1, empty, view(std::string()), false), 4);
    for (size_t n = 1; n <= 3000; ++n) {
        const std::string data = random_bytes(n, static_cast<unsigned>(n));
        for (bool no_nl : {false, true}) {
            ssf::OutData enc, dec;
            ASSERT_EQ(ssf::base64_enc_dec(1, enc, view(data), no_nl), 0) << n;
            ASSERT_EQ(str(enc), filter_encode(data, no_nl)) << n << " " << no_nl;
            // One line of up to 4000 characters decodes too: the filter fails there.
            ASSERT_EQ(ssf::base64_enc_dec(0, dec, {enc.data.get(), enc.size}, !no_nl), 0) << n;
            ASSERT_EQ(str(dec), data) << n;
        }
    }
}

TEST(Base64, DecodingTakesLineEndsOfAnyKindAndNothingElse) {
    for (const char* ok : {"YWJj", "YWJj\n", "YWJj\r\n", "YW\nJj", "YWJjZA==", "YWJjZA==\r\n\r\n",
                           "YWJjZGU=\n", "\nYWJj\n\n"}) {
        ssf::OutData out;
        ASSERT_EQ(ssf::base64_decode(out, view(std::string(ok)), false), 0) << ok;
        EXPECT_EQ(str(out).substr(0, 3), "abc") << ok;
    }
    for (const char* bad : {"YWJ", "YWJjZ", "YW Jj", "YWJj\r", "YW\rJj", "YWJj=", "YQ=", "Y===",
                            "YQ==YWJj", "YWJjZA==x", "YW*j", "!!!!", "\n"}) {
        ssf::OutData out;
        EXPECT_EQ(ssf::base64_decode(out, view(std::string(bad)), false), 4) << bad;
        EXPECT_TRUE(out.data == nullptr && out.size == 0) << bad;
    }
}

class Pkcs7Wrap : public Started {};

TEST_F(Pkcs7Wrap, SignedAndEnvelopedPassUnchangedDataIsWrappedAgain) {
    for (const Der& p7 : {signed_der("hello"), enveloped_der("hello")}) {
        ASSERT_FALSE(p7.empty());
        ssf::OutData enc, dec;
        ASSERT_EQ(ssf::encode_data(enc, view(p7)), 0);
        EXPECT_EQ(Der(enc.data.get(), enc.data.get() + enc.size), p7);
        ASSERT_EQ(ssf::decode_data(dec, view(p7)), 0);
        EXPECT_EQ(Der(dec.data.get(), dec.data.get() + dec.size), p7);
    }
    ssf::OutData once, twice, back;
    ASSERT_EQ(ssf::encode_data(once, view(std::string("payload"))), 0);
    ASSERT_EQ(ssf::encode_data(twice, {once.data.get(), once.size}), 0);
    EXPECT_GT(twice.size, once.size);
    ASSERT_EQ(ssf::decode_data(back, {twice.data.get(), twice.size}), 0);
    EXPECT_EQ(str(back), str(once));
    ASSERT_EQ(ssf::decode_data(back, {once.data.get(), once.size}), 0);
    EXPECT_EQ(str(back), "payload");
}

TEST_F(Pkcs7Wrap, DecodeRefusesWhatIsNotDataSignedOrEnveloped) {
    ssf::OutData out;
    EXPECT_EQ(ssf::decode_data(out, view(digested_der())), 12);
    EXPECT_TRUE(has_line(fresh(), "decode_data() 2 : PKCS7 type is not data"));
    EXPECT_EQ(ssf::decode_data(out, view(std::string("not DER at all"))), 12);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "decode_data() 1 : d2i_PKCS7() failed"));
    EXPECT_TRUE(has_line(log, "------BEGIN ORBSSL ERRORS-----"));
    // Absent and empty content both leave nothing to hand out.
    EXPECT_EQ(ssf::decode_data(out, view(hex("300b06092a864886f70d010701"))), 4);
    EXPECT_TRUE(has_line(fresh(), "decode_data() 3 : OPENSSL_malloc( 0 ) failed"));
    EXPECT_EQ(ssf::decode_data(out, view(hex("300f06092a864886f70d010701a0020400"))), 4);
    EXPECT_EQ(out.data, nullptr);
}

class EncodeExports : public Started {
  protected:
    SAPRETURN call(bool encode, Sap format, const std::string& in, Out& out) {
        Sap input(in);
        return (encode ? SsfEncode : SsfDecode)(format.p(), format.n(), input.p(), input.n(),
                                                &out.data, &out.len);
    }
};

TEST_F(EncodeExports, RoundTripsThroughEveryFormat) {
    const std::string data = random_bytes(3000, 1);
    for (const char* f : {"BASE64", "PKCS7", "PKCS7_CADES", "PKCS7_ANY", "CADES_BES", "CADES_XLT1",
                          "PKCS7_GET_SIGNERS"}) {
        Out enc, dec;
        ASSERT_EQ(call(true, f, data, enc), 0u) << f;
        ASSERT_EQ(call(false, f, enc.str(), dec), 0u) << f;
        EXPECT_EQ(dec.str(), data) << f;
    }
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfEncode() end, retcode = 0"));
    EXPECT_NE(log.find("SsfDecode() start, strFormat = 0x"), std::string::npos);
}

TEST_F(EncodeExports, FailuresClearTheOutputAndSayWhy) {
    const Der digested = digested_der();
    const struct {
        bool encode;
        const char* format;
        std::string input;
        SAPRETURN rc;
        const char* line;
    } cases[] = {
        {false, "BASE64", "*not base64*", 4, "base64_decode() : base64_enc_dec( 0 ) failed"},
        {false, "PKCS7", std::string(digested.begin(), digested.end()), 12,
         "decode_data() 2 : PKCS7 type is not data"},
        {true, "pkcs7", "x", 2, "SsfEncode() 2 : invalid format: 'pkcs7'"},
        {false, "BASE64 ", "YWJj", 2, "SsfDecode() 2 : invalid format: 'BASE64 '"},
        {true, "BASE64", "", 3, "SsfEncode() 1 : (ostrInputData == NULL) || (ostrInputDataL <= 0)"},
        {false, "BASE64", "", 3,
         "SsfDecode() : ( ostrEncodedDataL <= 0 ) || ( ostrEncodedData == NULL )"},
    };
    for (const auto& c : cases) {
        Out out;
        EXPECT_EQ(call(c.encode, c.format, c.input, out), c.rc) << c.line;
        if (c.encode || c.rc >= 4) EXPECT_TRUE(out.cleared()) << c.line;
        EXPECT_TRUE(has_line(fresh(), c.line));
    }
}

}  // namespace
