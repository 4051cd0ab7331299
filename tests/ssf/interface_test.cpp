// The export frame: check order and codes, the lines they write, the result-28 marking, the
// output hand-over, and the API lock.
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include "fixture.h"
#include "ssf/codes.h"

using namespace ssf_test;

namespace {

SAP_UINT len(const char* s) {
    return static_cast<SAP_UINT>(std::strlen(s));
}
const SAP_BYTE* bytes(const char* s) {
    return reinterpret_cast<const SAP_BYTE*>(s);
}

// Names are SAP strings: exact length and bytes. (Each name's code is checked through the
// exports: the signature types by the signing tests, the hashes against openssl by the host test.)
TEST(Names, ExactLengthAndBytesOnly) {
    for (const char* bad : {"PKCS7 ", "pkcs7", "PKCS", "", "PKCS7_CADES\n"})
        EXPECT_FALSE(ssf::check_format_name(bytes(bad), len(bad))) << bad;
    EXPECT_TRUE(ssf::check_format_name(bytes("PKCS7_GET_SIGNERS"), 17));
    EXPECT_TRUE(ssf::check_format_name(bytes("PKCS7xyz"), 5));  // more bytes than the length says
    EXPECT_FALSE(ssf::check_format_name(nullptr, 5));
    EXPECT_EQ(ssf::get_signature_type_code(bytes("CADES_XLT1"), 10), ssf::SIG_TYPE_CADES);
    EXPECT_EQ(ssf::get_hash_alg_code(bytes("sha1"), 4), ssf::HASH_INVALID);
    EXPECT_EQ(ssf::get_hash_alg_code(nullptr, 0), ssf::HASH_INVALID);
}

TEST(ResultTexts, TableIsCompleteAndUnknownCodesHaveTheDefault) {
    std::set<SAP_UINT> codes;
    for (const auto& row : ssf::result_texts()) {
        EXPECT_TRUE(codes.insert(row.code).second) << row.code;
        EXPECT_STREQ(GetSignerErrorMessage(row.code), row.text);
    }
    std::set<SAP_UINT> want = {0, 22, 23, 24, 25, 26, 27, 28};
    for (SAP_UINT c = 100; c <= 126; ++c) want.insert(c);
    EXPECT_EQ(codes, want);
    EXPECT_STREQ(GetSignerErrorMessage(0), "Signature is valid");
    EXPECT_STREQ(GetSignerErrorMessage(119), "ES references and values don't match");
    for (SAP_UINT c : {1u, 29u, 99u, 127u, 0xFFFFFFFFu})
        EXPECT_STREQ(GetSignerErrorMessage(c), "<Unknown error code>");
}

class Frame : public Started {
  protected:
    // A signer list of the given identities, every result preset to 0.
    SigRcpSsfInfoList list(std::initializer_list<const char*> ids) {
        SigRcpSsfInfoList l = nullptr;
        for (const char* id : ids) {
            SigRcpSsfInfo* rec = nullptr;
            Sap s(id);
            EXPECT_EQ(
                SsfNEWSigRcpSsfInfo(s.p(), s.n(), nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 0u);
            EXPECT_EQ(SsfINSSigRcpSsfInfo(rec, &l), 0u);
        }
        return l;
    }
    static std::vector<SAP_UINT> results(SigRcpSsfInfoList l) {
        std::vector<SAP_UINT> r;
        for (; l; l = l->next) r.push_back(l->ptrSigRcp ? l->ptrSigRcp->uResult : 999);
        return r;
    }
    static void reset(SigRcpSsfInfoList l) {
        for (; l; l = l->next) l->ptrSigRcp->uResult = 0;
    }
    // The call gave `want` and logged `line` since the last check.
    void expect(SAPRETURN got, SAPRETURN want, const std::string& line) {
        EXPECT_EQ(got, want) << line;
        EXPECT_TRUE(has_line(fresh(), line)) << line;
    }
    SAPRETURN sign(Sap format, Sap hash, SigRcpSsfInfoList signers, Sap input = "data") {
        return SsfSign(format.p(), format.n(), hash.p(), hash.n(), 1, 0, input.p(), input.n(),
                       signers, &out.data, &out.len);
    }
    SAPRETURN add_sign(Sap format, Sap hash, SigRcpSsfInfo* signer, Sap signed_data = "sig") {
        Sap input("in");
        return SsfAddSign(format.p(), format.n(), hash.p(), hash.n(), 0, signed_data.p(),
                          signed_data.n(), input.p(), input.n(), signer, &out.data, &out.len);
    }
    Out out;
};

TEST_F(Frame, VersionLengthIsOneShortOfItsBuffer) {
    ASSERT_EQ(SsfVersion(&out.data, &out.len), 0u);
    EXPECT_EQ(out.str(),
              std::string(ssf::kVersionText) + "\nRevision number: 623 Repository URL: ssf/trunk");
    EXPECT_EQ(out.data[out.len], '\0');
    std::string log = fresh();
    // Pointers read with "0x" once and every bit of the address.
    char line[160];
    std::snprintf(line, sizeof line,
                  "SsfVersion() started, outputData = 0x%llx, outputDataL = 0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&out.data)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&out.len)));
    EXPECT_TRUE(has_line(log, line)) << log;
    EXPECT_TRUE(has_line(log, "SsfVersion() end, retcode = 0"));
    Sap sig("sig");
    SigRcpSsfInfoList none = nullptr;
    (void)SsfEnhanceSignatures(nullptr, 0, sig.p(), sig.n(), nullptr, 0, &none, nullptr, nullptr);
    std::snprintf(
        line, sizeof line,
        "SsfEnhanceSignatures() begin, strPab = 0x0, strPabL = 0, strSignedData = 0x%llx,",
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(sig.p())));
    EXPECT_NE(fresh().find(line), std::string::npos) << line;
    EXPECT_TRUE(has_line(log, "lock_mutex() : WaitForSingleObject() ok"));
    expect(SsfVersion(nullptr, &out.len), 13,
           "SsfVersion() 1 : ( NULL == outputDataL ) || ( NULL == outputData )");
}

TEST_F(Frame, QueryProperties) {
    for (auto [name, value] :
         {std::pair{"PROPERTIES", "FORMATS;HASHALGS;ENCRALGS;SSF_POPUPS"},
          {"FORMATS", "PKCS7;PKCS7_CADES;CADES_BES;CADES_XLT1;PKCS7_ANY;BASE64"},
          {"HASHALGS", "GOST-R-34.11-94;GOST-R-34.11-12-256;GOST-R-34.11-12-512;MD5;SHA1"},
          {"ENCRALGS", "GOST-28147-89"},
          {"SSF_POPUPS", "1"}}) {
        Out o;
        Sap n(name);
        ASSERT_EQ(SsfQueryProperties(n.p(), n.n(), nullptr, 0, &o.data, &o.len), 0u) << name;
        EXPECT_EQ(o.str(), value);
    }
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "ssf_query_properties() : 'FORMATS' property was acquired"));
    EXPECT_TRUE(has_line(log, "ssf_query_properties() end, return code = 0"));

    Sap unknown("FORMATS ");
    expect(SsfQueryProperties(unknown.p(), unknown.n(), nullptr, 0, &out.data, &out.len), 3,
           "ssf_query_properties() 1 : NO DATA (propname='FORMATS ')");
    EXPECT_TRUE(out.cleared());
    expect(SsfQueryProperties(unknown.p(), 0, nullptr, 0, &out.data, &out.len), 3,
           "SsfQueryProperties() 2 : Input data is NULL");
    // Outputs are checked before the name.
    EXPECT_EQ(SsfQueryProperties(nullptr, 0, nullptr, 0, &out.data, nullptr), 13u);
}

TEST_F(Frame, SignAndAddSignCheckInOrder) {
    SigRcpSsfInfoList signers = list({"a", "b"});
    // Missing input comes first, even with an invalid format: nothing is marked.
    expect(sign("pkcs7", "SHA1", signers, ""), 3,
           "SsfSign() : (ostrInputData == NULL) || (ostrInputDataL <= 0)");
    EXPECT_TRUE(out.cleared());
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{0, 0}));
    // An invalid format wins over an invalid hash and marks every signer.
    EXPECT_EQ(sign("pkcs7", "nohash", signers), 2u);
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{28, 28}));
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfSign() : invalid format: 'pkcs7'"));
    EXPECT_EQ(log.find("invalid hash_alg"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfSign() end, retcode = 2"));
    // An invalid hash wins over a format that cannot sign; the signers stay as they were.
    reset(signers);
    expect(sign("BASE64", "GOST-28147-89", signers), 10,
           "SsfSign() : invalid hash_alg: 'GOST-28147-89'");
    for (const char* f : {"BASE64", "PKCS7_ANY", "PKCS7_GET_SIGNERS"})
        expect(sign(f, "SHA1", signers), 2,
               std::string("SsfSign() : wrong signature format: '") + f + "'");
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{0, 0}));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&signers), 0u);
    expect(sign("CADES_BES", "GOST-R-34.11-12-256", nullptr), ssf::SSF_RC_NOT_PKCS7,
           "ssf_sign_data() 2 : d2i_PKCS7_bio() failed");
    EXPECT_TRUE(out.cleared());

    SigRcpSsfInfoList l = list({"signer"});
    SigRcpSsfInfo* signer = l->ptrSigRcp;
    EXPECT_EQ(add_sign("PKCS7", "SHA1", signer, ""), 3u);
    expect(add_sign("PKCS7", "SHA1", nullptr), 5, "SsfAddSign() 2 : signer is NULL");
    expect(add_sign("XML", "x", signer), 2, "SsfAddSign() 3 : invalid format: 'XML'");
    EXPECT_EQ(signer->uResult, 28u);
    signer->uResult = 0;
    expect(add_sign("PKCS7_ANY", "MD4", signer), 10, "SsfAddSign() 4 : invalid hash_alg: 'MD4'");
    expect(add_sign("PKCS7_ANY", "MD5", signer), 2,
           "SsfAddSign() : wrong signature format: 'PKCS7_ANY'");
    EXPECT_EQ(signer->uResult, 0u);
    expect(add_sign("PKCS7_CADES", "MD5", signer), ssf::SSF_RC_INVALID_FORMAT,
           "add_sign_data() 2 : d2i_PKCS7_bio() failed");
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&l), 0u);
}

TEST_F(Frame, EnvelopeChecksAndMarksRecipients) {
    Sap in("data"), cipher("GOST-28147-89"), spaced("GOST-28147-89 ");
    SigRcpSsfInfoList rcpts = list({"r1"});
    // A node without a record must not stop the marking.
    auto* bare = static_cast<SigRcpSsfInformationListElement*>(
        OPENSSL_zalloc(sizeof(SigRcpSsfInformationListElement)));
    bare->next = rcpts;
    rcpts = bare;
    auto envelope = [&](Sap fmt, Sap& c, SigRcpSsfInfoList l) {
        return SsfEnvelope(fmt.p(), fmt.n(), c.p(), c.n(), in.p(), in.n(), nullptr, 0, nullptr, 0,
                           l, &out.data, &out.len);
    };
    expect(envelope("PKCS7", cipher, nullptr), 9, "SsfEnvelope() 2 : recipientList is NULL");
    EXPECT_EQ(envelope("PKCS7_ANY ", spaced, rcpts), 2u);
    EXPECT_EQ(results(rcpts), (std::vector<SAP_UINT>{999, 28}));
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfEnvelope() 3 : invalid format: 'PKCS7_ANY '"));
    EXPECT_TRUE(has_line(log, "end SsfEnvelope = 2"));
    expect(envelope("BASE64", spaced, rcpts), 14,
           "SsfEnvelope() 4 : invalid encryption algorithm: 'GOST-28147-89 '");
    // The checks passed: the worker refuses input that is no PKCS#7.
    expect(envelope("BASE64", cipher, rcpts), 12, "envelope_data() 2 : d2i_PKCS7_bio() failed");
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&rcpts), ssf::SSF_RC_NODE_WITHOUT_RECORD);
}

TEST_F(Frame, DevelopeAndDigestChecks) {
    Sap data("x"), bad("PKCS8"), sha("SHA1"), gost94("GOST-R-34.11-94 "), fmt("PKCS7");
    SigRcpSsfInfoList l = list({"me"});
    expect(SsfDevelope(bad.p(), bad.n(), data.p(), data.n(), l->ptrSigRcp, &out.data, &out.len), 2,
           "SsfDevelope() 2 : invalid format: 'PKCS8'");
    EXPECT_EQ(l->ptrSigRcp->uResult, 28u);
    expect(SsfDevelope(nullptr, 0, data.p(), data.n(), nullptr, &out.data, &out.len), 2,
           "SsfDevelope() 2 : invalid format: '<NULL>'");
    expect(SsfDevelope(bad.p(), bad.n(), data.p(), 0, nullptr, &out.data, &out.len), 3,
           "SsfDevelope() 1 : (ostrEnvelopedData == NULL) || (ostrEnvelopedDataL <= 0)");
    auto digest = [&](Sap& f, SAP_UINT flen, Sap& hash) {
        return SsfDigest(f.p(), flen, 0, data.p(), data.n(), hash.p(), hash.n(), &out.data,
                         &out.len);
    };
    EXPECT_EQ(digest(bad, bad.n(), gost94), 2u);
    EXPECT_EQ(digest(fmt, 0, gost94), 2u);
    expect(digest(fmt, fmt.n(), gost94), 10,
           "SsfDigest() 3 : invalid hash alg: 'GOST-R-34.11-94 '");
    expect(
        SsfDigest(fmt.p(), fmt.n(), 1, data.p(), data.n(), sha.p(), sha.n(), &out.data, &out.len),
        12, "digest_data() 2: decoding failed");
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&l), 0u);
}

TEST_F(Frame, VerifyAndEnhanceChecks) {
    Sap sig("sig"), fmt("BASE64"), bad("BASE32");
    SigRcpSsfInfoList results = nullptr;
    auto verify = [&](Sap& f, SAP_UINT sigL, SigRcpSsfInfoList* r) {
        return SsfVerify(f.p(), f.n(), 0, sig.p(), sigL, nullptr, 0, nullptr, 0, nullptr, 0, r,
                         &out.data, &out.len);
    };
    expect(verify(fmt, 0, &results), 3,
           "SsfVerify(): (ostrSignedData == NULL) || (ostrSignedDataL <= 0)");
    expect(verify(bad, sig.n(), &results), 2, "SsfVerify() : invalid format: 'BASE32'");
    EXPECT_EQ(verify(fmt, sig.n(), nullptr), 13u);
    EXPECT_EQ(verify(fmt, sig.n(), &results), ssf::SSF_RC_NOT_PKCS7);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "ssf_verify_data() 2 : d2i_PKCS7_bio() failed"));
    EXPECT_TRUE(has_line(log, "SsfVerify: signerResultList is not created"));

    auto enhance = [&](SAP_UINT sigL, SigRcpSsfInfoList* r, SAP_BYTE** o) {
        return SsfEnhanceSignatures(nullptr, 0, sig.p(), sigL, nullptr, 0, r, o, &out.len);
    };
    expect(enhance(0, &results, &out.data), 3,
           "SsfEnhanceSignatures() 1 : (strSignedData == NULL) || (strSignedDataL <= 0)");
    expect(enhance(sig.n(), nullptr, &out.data), 3,
           "SsfEnhanceSignatures() 2 : signerResultList is NULL");
    expect(enhance(sig.n(), &results, nullptr), 3,
           "SsfEnhanceSignatures() 3 : (ostrEnhancedSignData == NULL) || "
           "(ostrEnhancedSignDataL == NULL)");
    expect(enhance(sig.n(), &results, &out.data), ssf::SSF_RC_NOT_PKCS7,
           "ssf_enhance_signatures() 1 : d2i_X509() failed");
    EXPECT_TRUE(out.cleared());
}

// A directory name given with length 0 is copied as "": the directory step answers, not the copy.
TEST_F(Frame, EmptyDirectoryNameReachesTheDirectoryStep) {
    Sap fmt("PKCS7"), cipher("GOST-28147-89"), none("");
    test_pki::Der sig = test_pki::signed_der("x"),
                  data = test_pki::hex("301006092a864886f70d010701a003040161");
    SigRcpSsfInfoList results = nullptr, rcpts = list({"r1"});
    expect(SsfVerify(fmt.p(), fmt.n(), 1, sig.data(), static_cast<SAP_UINT>(sig.size()), nullptr, 0,
                     none.p(), 0, nullptr, 0, &results, &out.data, &out.len),
           ssf::SSF_RC_NO_PAB_CERTS, "ssf_verify_data() 8 : load_certs_from_pab() returned NULL");
    expect(SsfEnvelope(fmt.p(), fmt.n(), cipher.p(), cipher.n(), data.data(),
                       static_cast<SAP_UINT>(data.size()), none.p(), 0, nullptr, 0, rcpts,
                       &out.data, &out.len),
           ssf::SSF_RC_NO_PAB_CERTS, "envelope_data() 6 : load_certs_from_pab( '' ) failed");
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&rcpts), 0u);
}

TEST_F(Frame, MissingOutputPointersAndHugeLengths) {
    Sap fmt("BASE64"), in("abc");
    SAP_BYTE* p = nullptr;
    SAP_UINT n = 0;
    expect(SsfEncode(fmt.p(), fmt.n(), in.p(), in.n(), nullptr, &n), 13,
           "SsfEncode() 0 : ( NULL == ostrEncodedDataL ) || ( NULL == ostrEncodedData )");
    EXPECT_EQ(SsfDecode(fmt.p(), fmt.n(), in.p(), in.n(), &p, nullptr), 13u);
    EXPECT_EQ(
        SsfSign(fmt.p(), fmt.n(), in.p(), in.n(), 0, 0, in.p(), in.n(), nullptr, nullptr, nullptr),
        13u);
    EXPECT_EQ(SsfDigest(fmt.p(), fmt.n(), 0, in.p(), in.n(), in.p(), in.n(), nullptr, &n), 13u);
    EXPECT_EQ(SsfDevelope(fmt.p(), fmt.n(), in.p(), in.n(), nullptr, &p, nullptr), 13u);
    // A length with its top bit set is no input at all, never a read of gigabytes.
    EXPECT_EQ(SsfEncode(fmt.p(), fmt.n(), in.p(), 0x80000003u, &p, &n), 3u);
    EXPECT_EQ(SsfDecode(fmt.p(), fmt.n(), in.p(), 0xFFFFFFFFu, &p, &n), 3u);
    expect(SsfEncode(fmt.p(), 0xFFFFFFFFu, in.p(), in.n(), &p, &n), 2,
           "SsfEncode() 2 : invalid format: ''");
}

TEST_F(Frame, RecursiveLockOnOneThreadSerialisedAcrossThreads) {
    {
        // The record exports call each other under the caller's lock.
        std::lock_guard<std::recursive_mutex> held(ssf::api_mutex());
        EXPECT_EQ(SsfVersion(&out.data, &out.len), 0u);
    }
    std::unique_lock<std::recursive_mutex> held(ssf::api_mutex());
    std::atomic<bool> done{false};
    std::thread other([&] {
        Out o;
        EXPECT_EQ(SsfVersion(&o.data, &o.len), 0u);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load());
    held.unlock();
    other.join();
    EXPECT_TRUE(done.load());
}

TEST_F(Frame, EveryPathReleasesTheLock) {
    Sap bad("bad"), in("x");
    SigRcpSsfInfo* rec = nullptr;
    SigRcpSsfInfoList l = nullptr;
    EXPECT_EQ(SsfVersion(nullptr, nullptr), 13u);
    EXPECT_EQ(SsfEncode(bad.p(), bad.n(), in.p(), in.n(), &out.data, &out.len), 2u);
    EXPECT_EQ(SsfDecode(bad.p(), bad.n(), in.p(), 0, &out.data, &out.len), 3u);
    EXPECT_EQ(sign("bad", "bad", nullptr), 2u);
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 52u);
    EXPECT_EQ(SsfINSSigRcpSsfInfo(nullptr, &l), 53u);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 53u);
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(nullptr), 54u);
    auto free_elsewhere = std::async(std::launch::async, [] {
        bool got = ssf::api_mutex().try_lock();
        if (got) ssf::api_mutex().unlock();
        return got;
    });
    EXPECT_TRUE(free_elsewhere.get());
}

TEST_F(Frame, WithoutTheMutexCallsDoNotWaitForTheLock) {
    start("use_func_mutex = no");
    std::unique_lock<std::recursive_mutex> held(ssf::api_mutex());
    auto call = std::async(std::launch::async, [] {
        Out o;
        return SsfVersion(&o.data, &o.len);
    });
    ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(call.get(), 0u);
    EXPECT_EQ(fresh().find("WaitForSingleObject"), std::string::npos);
}

}  // namespace
