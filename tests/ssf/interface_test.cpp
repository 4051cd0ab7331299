// The export frame: check order and codes, the lines they write, the result-28 marking, the
// output hand-over, and the API lock.
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include "fixture.h"
#include "ssf/codes.h"

using namespace ssf_test;

namespace {

TEST(Names, ExactLengthAndBytesOnly) {
    auto fmt = [](const char* s) {
        return ssf::check_format_name(reinterpret_cast<const SAP_BYTE*>(s),
                                      static_cast<SAP_UINT>(std::strlen(s)));
    };
    for (const char* ok : {"PKCS7", "PKCS7_CADES", "PKCS7_ANY", "CADES_BES", "CADES_XLT1", "BASE64",
                           "PKCS7_GET_SIGNERS"})
        EXPECT_TRUE(fmt(ok)) << ok;
    for (const char* bad : {"PKCS7 ", "pkcs7", "PKCS", "", "PKCS7_CADES\n"})
        EXPECT_FALSE(fmt(bad)) << bad;
    // A name followed by more bytes than its length says is still the name.
    EXPECT_TRUE(ssf::check_format_name(reinterpret_cast<const SAP_BYTE*>("PKCS7xyz"), 5));
    EXPECT_FALSE(ssf::check_format_name(nullptr, 5));

    auto type = [](const char* s) {
        return ssf::get_signature_type_code(reinterpret_cast<const SAP_BYTE*>(s),
                                            static_cast<SAP_UINT>(std::strlen(s)));
    };
    EXPECT_EQ(type("PKCS7_ANY"), 1);
    EXPECT_EQ(type("PKCS7"), 2);
    EXPECT_EQ(type("CADES_BES"), 3);
    EXPECT_EQ(type("PKCS7_CADES"), 4);
    EXPECT_EQ(type("CADES_XLT1"), 4);
    EXPECT_EQ(type("PKCS7_GET_SIGNERS"), 8);
    EXPECT_EQ(type("BASE64"), 0);

    auto hash = [](const char* s) {
        return ssf::get_hash_alg_code(reinterpret_cast<const SAP_BYTE*>(s),
                                      static_cast<SAP_UINT>(std::strlen(s)));
    };
    EXPECT_EQ(hash("GOST-R-34.11-94"), 4);
    EXPECT_EQ(hash("MD5"), 5);
    EXPECT_EQ(hash("SHA1"), 6);
    EXPECT_EQ(hash("GOST-R-34.11-12-256"), 7);
    EXPECT_EQ(hash("GOST-R-34.11-12-512"), 8);
    EXPECT_EQ(hash("sha1"), 0);
    EXPECT_EQ(ssf::get_hash_alg_code(nullptr, 0), 0);

    EXPECT_TRUE(ssf::check_sym_encr_name(reinterpret_cast<const SAP_BYTE*>("GOST-28147-89"), 13));
    EXPECT_FALSE(ssf::check_sym_encr_name(reinterpret_cast<const SAP_BYTE*>("GOST-28147-89 "), 14));
}

TEST(ResultTexts, TableIsCompleteAndUnknownCodesHaveTheDefault) {
    std::set<SAP_UINT> codes;
    for (const auto& row : ssf::result_texts()) {
        EXPECT_TRUE(codes.insert(row.code).second) << row.code;
        EXPECT_STREQ(GetSignerErrorMessage(row.code), row.text);
    }
    for (SAP_UINT c : {0u, 22u, 23u, 24u, 25u, 26u, 27u, 28u}) EXPECT_EQ(codes.count(c), 1u) << c;
    for (SAP_UINT c = 100; c <= 126; ++c) EXPECT_EQ(codes.count(c), 1u) << c;
    EXPECT_EQ(codes.size(), 8u + 27u);
    EXPECT_STREQ(GetSignerErrorMessage(0), "Signature is valid");
    EXPECT_STREQ(GetSignerErrorMessage(119), "ES references and values don't match");
    EXPECT_STREQ(
        GetSignerErrorMessage(126),
        "An archival timestamp to be added is older than one of existing archival timestamps");
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
    SAPRETURN sign(Sap format, Sap hash, SigRcpSsfInfoList signers, Out& out, Sap input = "data") {
        return SsfSign(format.p(), format.n(), hash.p(), hash.n(), 1, 0, input.p(), input.n(),
                       signers, &out.data, &out.len);
    }
    SAPRETURN add_sign(Sap format, Sap hash, SigRcpSsfInfo* signer, Out& out,
                       Sap signed_data = "sig") {
        Sap input("in");
        return SsfAddSign(format.p(), format.n(), hash.p(), hash.n(), 0, signed_data.p(),
                          signed_data.n(), input.p(), input.n(), signer, &out.data, &out.len);
    }
};

TEST_F(Frame, VersionLengthIsOneShortOfItsBuffer) {
    Out out;
    ASSERT_EQ(SsfVersion(&out.data, &out.len), 0u);
    const std::string want =
        std::string(ssf::kVersionText) + "\nRevision number: 623 Repository URL: ssf/trunk";
    EXPECT_EQ(out.str(), want);
    EXPECT_EQ(out.data[out.len], '\0');
    std::string log = fresh();
    EXPECT_NE(log.find("SsfVersion() started, outputData = 0x"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfVersion() end, retcode = 0"));
    EXPECT_TRUE(has_line(log, "lock_mutex() : WaitForSingleObject() ok"));

    EXPECT_EQ(SsfVersion(nullptr, &out.len), 13u);
    EXPECT_TRUE(
        has_line(fresh(), "SsfVersion() 1 : ( NULL == outputDataL ) || ( NULL == outputData )"));
}

TEST_F(Frame, QueryProperties) {
    const std::pair<const char*, const char*> props[] = {
        {"PROPERTIES", "FORMATS;HASHALGS;ENCRALGS;SSF_POPUPS"},
        {"FORMATS", "PKCS7;PKCS7_CADES;CADES_BES;CADES_XLT1;PKCS7_ANY;BASE64"},
        {"HASHALGS", "GOST-R-34.11-94;GOST-R-34.11-12-256;GOST-R-34.11-12-512;MD5;SHA1"},
        {"ENCRALGS", "GOST-28147-89"},
        {"SSF_POPUPS", "1"},
    };
    for (auto [name, value] : props) {
        Out out;
        Sap n(name);
        ASSERT_EQ(SsfQueryProperties(n.p(), n.n(), nullptr, 0, &out.data, &out.len), 0u) << name;
        EXPECT_EQ(out.str(), value);
    }
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "ssf_query_properties() : 'FORMATS' property was acquired"));
    EXPECT_TRUE(has_line(log, "ssf_query_properties() end, return code = 0"));

    Out out;
    Sap unknown("FORMATS ");
    EXPECT_EQ(SsfQueryProperties(unknown.p(), unknown.n(), nullptr, 0, &out.data, &out.len), 3u);
    EXPECT_TRUE(out.cleared());
    EXPECT_TRUE(has_line(fresh(), "ssf_query_properties() 1 : NO DATA (propname='FORMATS ')"));
    EXPECT_EQ(SsfQueryProperties(unknown.p(), 0, nullptr, 0, &out.data, &out.len), 3u);
    EXPECT_TRUE(has_line(fresh(), "SsfQueryProperties() 2 : Input data is NULL"));
    // Outputs are checked before the name.
    EXPECT_EQ(SsfQueryProperties(nullptr, 0, nullptr, 0, &out.data, nullptr), 13u);
}

TEST_F(Frame, SignChecksInOrder) {
    SigRcpSsfInfoList signers = list({"a", "b"});
    Out out;
    // Missing input comes first, even with an invalid format: nothing is marked.
    Sap empty("");
    EXPECT_EQ(SsfSign(Sap("pkcs7").p(), 5, Sap("SHA1").p(), 4, 0, 0, empty.p(), 0, signers,
                      &out.data, &out.len),
              3u);
    EXPECT_TRUE(out.cleared());
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{0, 0}));
    EXPECT_TRUE(has_line(fresh(), "SsfSign() : (ostrInputData == NULL) || (ostrInputDataL <= 0)"));

    // An invalid format wins over an invalid hash and marks every signer.
    EXPECT_EQ(sign("pkcs7", "nohash", signers, out), 2u);
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{28, 28}));
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfSign() : invalid format: 'pkcs7'"));
    EXPECT_EQ(log.find("invalid hash_alg"), std::string::npos);
    EXPECT_TRUE(has_line(log, "SsfSign() end, retcode = 2"));

    for (auto* n = signers; n; n = n->next) n->ptrSigRcp->uResult = 0;
    EXPECT_EQ(sign("PKCS7 ", "SHA1", signers, out), 2u);
    EXPECT_TRUE(has_line(fresh(), "SsfSign() : invalid format: 'PKCS7 '"));

    // An invalid hash wins over a format that cannot sign; the signers stay as they were.
    for (auto* n = signers; n; n = n->next) n->ptrSigRcp->uResult = 0;
    EXPECT_EQ(sign("BASE64", "GOST-28147-89", signers, out), 10u);
    EXPECT_TRUE(has_line(fresh(), "SsfSign() : invalid hash_alg: 'GOST-28147-89'"));
    EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{0, 0}));

    for (const char* f : {"BASE64", "PKCS7_ANY", "PKCS7_GET_SIGNERS"}) {
        EXPECT_EQ(sign(f, "SHA1", signers, out), 2u) << f;
        EXPECT_TRUE(
            has_line(fresh(), std::string("SsfSign() : wrong signature format: '") + f + "'"));
        EXPECT_EQ(results(signers), (std::vector<SAP_UINT>{0, 0}));
    }
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&signers), 0u);
}

TEST_F(Frame, SignReachesItsWorker) {
    Out out;
    EXPECT_EQ(sign("CADES_BES", "GOST-R-34.11-12-256", nullptr, out), ssf::SSF_RC_NOT_PKCS7);
    EXPECT_TRUE(out.cleared());
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "ssf_sign_data() 2 : d2i_PKCS7_bio() failed"));
    EXPECT_TRUE(has_line(log, "error sign_data"));
}

TEST_F(Frame, AddSignChecksInOrder) {
    Out out;
    SigRcpSsfInfoList l = list({"signer"});
    SigRcpSsfInfo* signer = l->ptrSigRcp;
    EXPECT_EQ(add_sign("PKCS7", "SHA1", signer, out, ""), 3u);
    EXPECT_EQ(add_sign("PKCS7", "SHA1", nullptr, out), 5u);
    EXPECT_TRUE(has_line(fresh(), "SsfAddSign() 2 : signer is NULL"));
    EXPECT_EQ(add_sign("XML", "x", signer, out), 2u);
    EXPECT_EQ(signer->uResult, 28u);
    EXPECT_TRUE(has_line(fresh(), "SsfAddSign() 3 : invalid format: 'XML'"));
    signer->uResult = 0;
    EXPECT_EQ(add_sign("PKCS7_ANY", "MD4", signer, out), 10u);
    EXPECT_TRUE(has_line(fresh(), "SsfAddSign() 4 : invalid hash_alg: 'MD4'"));
    EXPECT_EQ(add_sign("PKCS7_ANY", "MD5", signer, out), 2u);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfAddSign() : wrong signature format: 'PKCS7_ANY'"));
    EXPECT_TRUE(has_line(log, "SsfAddSign() end, ret_code = 2"));
    EXPECT_EQ(signer->uResult, 0u);
    EXPECT_EQ(add_sign("PKCS7_CADES", "MD5", signer, out), ssf::SSF_RC_INVALID_FORMAT);
    EXPECT_TRUE(has_line(fresh(), "add_sign_data() 2 : d2i_PKCS7_bio() failed"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&l), 0u);
}

TEST_F(Frame, EnvelopeChecksAndMarksRecipients) {
    Out out;
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
    EXPECT_EQ(envelope("PKCS7", cipher, nullptr), 9u);
    EXPECT_TRUE(has_line(fresh(), "SsfEnvelope() 2 : recipientList is NULL"));
    EXPECT_EQ(envelope("PKCS7_ANY ", spaced, rcpts), 2u);
    EXPECT_EQ(results(rcpts), (std::vector<SAP_UINT>{999, 28}));
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "SsfEnvelope() 3 : invalid format: 'PKCS7_ANY '"));
    EXPECT_TRUE(has_line(log, "end SsfEnvelope = 2"));
    EXPECT_EQ(envelope("BASE64", spaced, rcpts), 14u);
    EXPECT_TRUE(
        has_line(fresh(), "SsfEnvelope() 4 : invalid encryption algorithm: 'GOST-28147-89 '"));
    // The checks passed: the worker refuses input that is no PKCS#7.
    EXPECT_EQ(envelope("BASE64", cipher, rcpts), 12u);
    EXPECT_TRUE(has_line(fresh(), "envelope_data() 2 : d2i_PKCS7_bio() failed"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&rcpts), ssf::SSF_RC_NODE_WITHOUT_RECORD);
}

TEST_F(Frame, DevelopeAndDigestChecks) {
    Out out;
    Sap data("x"), bad("PKCS8"), sha("SHA1"), gost94("GOST-R-34.11-94 ");
    SigRcpSsfInfoList l = list({"me"});
    EXPECT_EQ(SsfDevelope(bad.p(), bad.n(), data.p(), data.n(), l->ptrSigRcp, &out.data, &out.len),
              2u);
    EXPECT_EQ(l->ptrSigRcp->uResult, 28u);
    EXPECT_TRUE(has_line(fresh(), "SsfDevelope() 2 : invalid format: 'PKCS8'"));
    EXPECT_EQ(SsfDevelope(nullptr, 0, data.p(), data.n(), nullptr, &out.data, &out.len), 2u);
    EXPECT_TRUE(has_line(fresh(), "SsfDevelope() 2 : invalid format: '<NULL>'"));
    EXPECT_EQ(SsfDevelope(bad.p(), bad.n(), data.p(), 0, nullptr, &out.data, &out.len), 3u);
    EXPECT_TRUE(has_line(
        fresh(), "SsfDevelope() 1 : (ostrEnvelopedData == NULL) || (ostrEnvelopedDataL <= 0)"));

    EXPECT_EQ(SsfDigest(bad.p(), bad.n(), 0, data.p(), data.n(), gost94.p(), gost94.n(), &out.data,
                        &out.len),
              2u);
    EXPECT_EQ(
        SsfDigest(data.p(), 0, 0, data.p(), data.n(), gost94.p(), gost94.n(), &out.data, &out.len),
        2u);
    Sap fmt("PKCS7");
    EXPECT_EQ(SsfDigest(fmt.p(), fmt.n(), 0, data.p(), data.n(), gost94.p(), gost94.n(), &out.data,
                        &out.len),
              10u);
    EXPECT_TRUE(has_line(fresh(), "SsfDigest() 3 : invalid hash alg: 'GOST-R-34.11-94 '"));
    EXPECT_EQ(
        SsfDigest(fmt.p(), fmt.n(), 1, data.p(), data.n(), sha.p(), sha.n(), &out.data, &out.len),
        12u);
    EXPECT_TRUE(has_line(fresh(), "digest_data() 2: decoding failed"));
    EXPECT_EQ(SsfDELSigRcpSsfInfoList(&l), 0u);
}

TEST_F(Frame, VerifyAndEnhanceChecks) {
    Out out;
    Sap sig("sig"), fmt("BASE64"), bad("BASE32");
    SigRcpSsfInfoList results = nullptr;
    auto verify = [&](Sap& f, SAP_UINT sigL, SigRcpSsfInfoList* r) {
        return SsfVerify(f.p(), f.n(), 0, sig.p(), sigL, nullptr, 0, nullptr, 0, nullptr, 0, r,
                         &out.data, &out.len);
    };
    EXPECT_EQ(verify(fmt, 0, &results), 3u);
    EXPECT_TRUE(
        has_line(fresh(), "SsfVerify(): (ostrSignedData == NULL) || (ostrSignedDataL <= 0)"));
    EXPECT_EQ(verify(bad, sig.n(), &results), 2u);
    EXPECT_TRUE(has_line(fresh(), "SsfVerify() : invalid format: 'BASE32'"));
    EXPECT_EQ(verify(fmt, sig.n(), nullptr), 13u);
    EXPECT_EQ(verify(fmt, sig.n(), &results), ssf::SSF_RC_NOT_PKCS7);
    std::string log = fresh();
    EXPECT_TRUE(has_line(log, "ssf_verify_data() 2 : d2i_PKCS7_bio() failed"));
    EXPECT_TRUE(has_line(log, "SsfVerify: signerResultList is not created"));

    auto enhance = [&](SAP_UINT sigL, SigRcpSsfInfoList* r, SAP_BYTE** o) {
        return SsfEnhanceSignatures(nullptr, 0, sig.p(), sigL, nullptr, 0, r, o, &out.len);
    };
    EXPECT_EQ(enhance(0, &results, &out.data), 3u);
    EXPECT_TRUE(has_line(
        fresh(), "SsfEnhanceSignatures() 1 : (strSignedData == NULL) || (strSignedDataL <= 0)"));
    EXPECT_EQ(enhance(sig.n(), nullptr, &out.data), 3u);
    EXPECT_TRUE(has_line(fresh(), "SsfEnhanceSignatures() 2 : signerResultList is NULL"));
    EXPECT_EQ(enhance(sig.n(), &results, nullptr), 3u);
    EXPECT_TRUE(has_line(fresh(),
                         "SsfEnhanceSignatures() 3 : (ostrEnhancedSignData == NULL) || "
                         "(ostrEnhancedSignDataL == NULL)"));
    EXPECT_EQ(enhance(sig.n(), &results, &out.data), ssf::SSF_RC_NOT_AVAILABLE);
    EXPECT_TRUE(out.cleared());
}

TEST_F(Frame, MissingOutputPointersAndHugeLengths) {
    Sap fmt("BASE64"), in("abc");
    SAP_BYTE* p = nullptr;
    SAP_UINT n = 0;
    EXPECT_EQ(SsfEncode(fmt.p(), fmt.n(), in.p(), in.n(), nullptr, &n), 13u);
    EXPECT_TRUE(has_line(
        fresh(), "SsfEncode() 0 : ( NULL == ostrEncodedDataL ) || ( NULL == ostrEncodedData )"));
    EXPECT_EQ(SsfDecode(fmt.p(), fmt.n(), in.p(), in.n(), &p, nullptr), 13u);
    EXPECT_EQ(
        SsfSign(fmt.p(), fmt.n(), in.p(), in.n(), 0, 0, in.p(), in.n(), nullptr, nullptr, nullptr),
        13u);
    EXPECT_EQ(SsfDigest(fmt.p(), fmt.n(), 0, in.p(), in.n(), in.p(), in.n(), nullptr, &n), 13u);
    EXPECT_EQ(SsfDevelope(fmt.p(), fmt.n(), in.p(), in.n(), nullptr, &p, nullptr), 13u);
    // A length with its top bit set is no input at all, never a read of gigabytes.
    EXPECT_EQ(SsfEncode(fmt.p(), fmt.n(), in.p(), 0x80000003u, &p, &n), 3u);
    EXPECT_EQ(SsfDecode(fmt.p(), fmt.n(), in.p(), 0xFFFFFFFFu, &p, &n), 3u);
    EXPECT_EQ(SsfEncode(fmt.p(), 0xFFFFFFFFu, in.p(), in.n(), &p, &n), 2u);
    EXPECT_TRUE(has_line(fresh(), "SsfEncode() 2 : invalid format: ''"));
}

TEST_F(Frame, RecursiveLockOnOneThreadSerialisedAcrossThreads) {
    {
        // The record exports call each other under the caller's lock.
        std::lock_guard<std::recursive_mutex> held(ssf::api_mutex());
        Out out;
        EXPECT_EQ(SsfVersion(&out.data, &out.len), 0u);
    }
    std::unique_lock<std::recursive_mutex> held(ssf::api_mutex());
    std::atomic<bool> done{false};
    std::thread other([&] {
        Out out;
        EXPECT_EQ(SsfVersion(&out.data, &out.len), 0u);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done.load());
    held.unlock();
    other.join();
    EXPECT_TRUE(done.load());
}

TEST_F(Frame, EveryPathReleasesTheLock) {
    Out out;
    Sap bad("bad"), in("x");
    SigRcpSsfInfo* rec = nullptr;
    SigRcpSsfInfoList l = nullptr;
    EXPECT_EQ(SsfVersion(nullptr, nullptr), 13u);
    EXPECT_EQ(SsfEncode(bad.p(), bad.n(), in.p(), in.n(), &out.data, &out.len), 2u);
    EXPECT_EQ(SsfDecode(bad.p(), bad.n(), in.p(), 0, &out.data, &out.len), 3u);
    EXPECT_EQ(SsfSign(bad.p(), bad.n(), bad.p(), bad.n(), 0, 0, in.p(), in.n(), nullptr, &out.data,
                      &out.len),
              2u);
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
        Out out;
        return SsfVersion(&out.data, &out.len);
    });
    ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(call.get(), 0u);
    EXPECT_EQ(fresh().find("WaitForSingleObject"), std::string::npos);
}

}  // namespace
