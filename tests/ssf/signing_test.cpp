// Signing, adding signatures and verification through the exports, in-process.
#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "common/tempdir.h"
#include "cryptoext/ess_types.h"
#include "platform/winstub.h"
#include "signing_pki.h"
#include "ssf/config.h"
#include "ssf/ess_check.h"
#include "ssf/sign.h"
#include "ssf/ssf_api.h"

using namespace signing_pki;
using testing_support::TempDir;

namespace {

struct Pki {
    Identity ca = make_ca("Signing CA");
    Identity rsa = issue(ca, "RSA Signer", KeyKind::rsa, 0x1234);
    Identity ec = issue(ca, "EC Signer", KeyKind::ec, 0x5678);
    Identity stranger = issue(ca, "Stranger", KeyKind::ec, 0x9abc);
};
const Pki& pki() {
    static const Pki* p = new Pki;
    return *p;
}

struct Result {
    std::string id, profile, cert;
    SAP_UINT code = 0;
};

class Signing : public ::testing::Test {
  protected:
    void SetUp() override { start(""); }
    void TearDown() override {
        platform::set_test_clock(std::nullopt);
        ssf::reset_for_tests();
    }
    void start(const std::string& common) {
        ssf::reset_for_tests();
        dir.write("selvanor-ssf-server.cfg",
                  "[common]\nlog_dir = " + dir.path() + "\n" + common + "\n");
        ASSERT_EQ(ssf::init_lib(), 0);
        std::string pab = dir.file("pab");
        mkdir(pab.c_str(), 0700);
        write_identity("rsa", pki().rsa);
        write_identity("ec", pki().ec);
        write_identity("stranger", pki().stranger);
        dir.write("pab/ca.pem", to_pem(pki().ca.cert.get()));
    }
    void write_identity(const std::string& name, const Identity& id) {
        dir.write(name + ".pem", to_pem(id.cert.get()));
        dir.write(name + ".key", key_to_pem(id.key.get()));
    }
    std::string profile(const std::string& name) const {
        return "certfile=" + dir.file(name + ".pem") + ",keyfile=" + dir.file(name + ".key");
    }
    std::string log() const {
        return testing_support::read_file(dir.file("selvanor-ssf-server.log"));
    }
    bool logged(const std::string& part) const { return log().find(part) != std::string::npos; }

    SigRcpSsfInfo* record(const Identity& id, const std::string& prof) {
        std::string fp = sha1_spaced(id.cert.get());
        SigRcpSsfInfo* rec = nullptr;
        EXPECT_EQ(SsfNEWSigRcpSsfInfo(reinterpret_cast<SAP_BYTE*>(fp.data()),
                                      static_cast<SAP_UINT>(fp.size()), nullptr, 0,
                                      reinterpret_cast<SAP_BYTE*>(const_cast<char*>(prof.data())),
                                      static_cast<SAP_UINT>(prof.size()), nullptr, 0, 28, &rec),
                  0u);
        return rec;
    }

    // SsfSign over the content (wrapped as PKCS#7 data first, as callers do).
    SAPRETURN sign(const std::string& format, const Bytes& content, bool inc_certs, bool detached,
                   std::vector<std::pair<const Identity*, std::string>> signers, Bytes& out,
                   std::vector<SAP_UINT>* results = nullptr) {
        SigRcpSsfInfoList list = nullptr;
        for (auto& [id, prof] : signers) SsfINSSigRcpSsfInfo(record(*id, prof), &list);
        Bytes data = wrap(content);
        std::string fmt = format, hash = "SHA1";
        SAP_BYTE* o = nullptr;
        SAP_UINT ol = 0;
        SAPRETURN rc = SsfSign(sap(fmt), len(fmt), sap(hash), len(hash), inc_certs, detached,
                               data.data(), static_cast<SAP_UINT>(data.size()), list, &o, &ol);
        out.assign(o, o + ol);
        SsfDELSsfOctetstring(&o, &ol);
        if (results)
            for (auto* n = list; n; n = n->next) results->push_back(n->ptrSigRcp->uResult);
        SsfDELSigRcpSsfInfoList(&list);
        return rc;
    }

    SAPRETURN add_sign(const std::string& format, const Bytes& signed_data, const Bytes* content,
                       const Identity& id, const std::string& prof, Bytes& out,
                       bool inc_certs = true) {
        SigRcpSsfInfo* rec = record(id, prof);
        std::string fmt = format, hash = "SHA1";
        Bytes data = content ? wrap(*content) : Bytes();
        SAP_BYTE* o = nullptr;
        SAP_UINT ol = 0;
        SAPRETURN rc =
            SsfAddSign(sap(fmt), len(fmt), sap(hash), len(hash), inc_certs,
                       const_cast<unsigned char*>(signed_data.data()),
                       static_cast<SAP_UINT>(signed_data.size()), content ? data.data() : nullptr,
                       static_cast<SAP_UINT>(data.size()), rec, &o, &ol);
        out.assign(o, o + ol);
        SsfDELSsfOctetstring(&o, &ol);
        last_add_result = rec->uResult;
        SsfDELSigRcpSsfInfo(&rec);
        return rc;
    }

    SAPRETURN verify(const std::string& format, const Bytes& signed_data, const Bytes* content,
                     std::vector<Result>& results, Bytes* output = nullptr, bool use_certs = true) {
        std::string fmt = format, pab = dir.file("pab");
        Bytes data = content ? wrap(*content) : Bytes();
        SigRcpSsfInfoList list = nullptr;
        SAP_BYTE* o = nullptr;
        SAP_UINT ol = 0;
        SAPRETURN rc = SsfVerify(
            sap(fmt), len(fmt), use_certs, const_cast<unsigned char*>(signed_data.data()),
            static_cast<SAP_UINT>(signed_data.size()), content ? data.data() : nullptr,
            static_cast<SAP_UINT>(data.size()), sap(pab), len(pab), nullptr, 0, &list, &o, &ol);
        if (output) output->assign(o, o + ol);
        SsfDELSsfOctetstring(&o, &ol);
        for (auto* n = list; n; n = n->next) {
            const SigRcpSsfInfo* r = n->ptrSigRcp;
            Result x;
            x.id.assign(reinterpret_cast<char*>(r->strSigRcpId), r->strSigRcpIdL);
            if (r->strSigRcpProfile)
                x.profile.assign(reinterpret_cast<char*>(r->strSigRcpProfile),
                                 r->strSigRcpProfileL);
            if (r->strSigRcpPassword)
                x.cert.assign(reinterpret_cast<char*>(r->strSigRcpPassword), r->strSigRcpPasswordL);
            x.code = r->uResult;
            results.push_back(x);
        }
        SsfDELSigRcpSsfInfoList(&list);
        return rc;
    }

    static Bytes wrap(const Bytes& content) {
        P7 p7(PKCS7_new());
        PKCS7_set_type(p7.get(), NID_pkcs7_data);
        ASN1_OCTET_STRING_set(p7->d.data, content.data(), static_cast<int>(content.size()));
        return to_der(p7.get());
    }
    static SAP_BYTE* sap(std::string& s) { return reinterpret_cast<SAP_BYTE*>(s.data()); }
    static SAP_UINT len(const std::string& s) { return static_cast<SAP_UINT>(s.size()); }

    TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
    SAP_UINT last_add_result = 0;
    const Bytes content = str_bytes("document to be signed\n");
};

PKCS7_SIGNER_INFO* signer_info(PKCS7* p7, int i) {
    return sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), i);
}

// SignerInfos are a SET OF: DER puts them in its own order, so tests find them by serial number.
PKCS7_SIGNER_INFO* signer_info(PKCS7* p7, const Identity& id) {
    STACK_OF(PKCS7_SIGNER_INFO)* sk = PKCS7_get_signer_info(p7);
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(sk); ++i) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sk, i);
        if (ASN1_INTEGER_cmp(si->issuer_and_serial->serial,
                             X509_get0_serialNumber(id.cert.get())) == 0)
            return si;
    }
    return nullptr;
}

const Result& record_of(const std::vector<Result>& r, const Identity& id) {
    Bytes der = to_der(id.cert.get());
    for (const auto& x : r)
        if (x.cert == std::string(der.begin(), der.end())) return x;
    static const Result none{"<none>", "", "", 999};
    return none;
}

std::string signing_time_of(PKCS7_SIGNER_INFO* si) {
    ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
    return t && t->type == V_ASN1_UTCTIME
               ? std::string(reinterpret_cast<const char*>(t->value.utctime->data),
                             t->value.utctime->length)
               : std::string();
}

// A message made by the crypto library itself, so verification is tested against a peer.
Bytes peer_signed(const std::vector<const Identity*>& signers, const Bytes& content, int flags,
                  const EVP_MD* md = EVP_sha256()) {
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    P7 p7(PKCS7_sign(nullptr, nullptr, nullptr, in, flags | PKCS7_PARTIAL | PKCS7_BINARY));
    for (auto* s : signers) PKCS7_sign_add_signer(p7.get(), s->cert.get(), s->key.get(), md, flags);
    PKCS7_final(p7.get(), in, flags | PKCS7_BINARY);
    BIO_free(in);
    return to_der(p7.get());
}

TEST_F(Signing, AttachedPkcs7WithCertificatesVerifiesAndDescribesTheSigner) {
    Bytes sig;
    std::vector<SAP_UINT> codes;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki().rsa, profile("rsa")}}, sig, &codes), 0u);
    EXPECT_EQ(codes, std::vector<SAP_UINT>{0});
    P7 p7 = p7_from_der(sig);
    ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
    EXPECT_FALSE(PKCS7_get_detached(p7.get()));
    EXPECT_EQ(sk_X509_num(p7->d.sign->cert), 1);
    PKCS7_SIGNER_INFO* si = signer_info(p7.get(), 0);
    EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_sha1);  // the key chooses, not "SHA1"
    EXPECT_EQ(ssf::has_signing_cert_v2(si), 0);
    EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_contentType), nullptr);
    EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime), nullptr);

    std::vector<Result> r;
    Bytes output;
    ASSERT_EQ(verify("PKCS7", sig, nullptr, r, &output), 0u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 0u);
    EXPECT_EQ(r[0].id, subject_text(pki().rsa.cert.get()));
    Bytes der = to_der(pki().rsa.cert.get());
    EXPECT_EQ(r[0].cert, std::string(der.begin(), der.end()));
    EXPECT_EQ(r[0].profile.rfind("SigningTime= ", 0), 0u);
    EXPECT_NE(r[0].profile.find(std::string(1, '\0') + "serialNumber=12 34"), std::string::npos);
    EXPECT_EQ(output, wrap(content));
    EXPECT_TRUE(logged("Total signers: 1"));
}

TEST_F(Signing, DetachedCadesBesWithoutCertificates) {
    Bytes sig;
    ASSERT_EQ(sign("CADES_BES", content, false, true, {{&pki().ec, profile("ec")}}, sig), 0u);
    P7 p7 = p7_from_der(sig);
    ASSERT_TRUE(p7);
    EXPECT_TRUE(PKCS7_get_detached(p7.get()));
    EXPECT_EQ(p7->d.sign->cert, nullptr);
    PKCS7_SIGNER_INFO* si = signer_info(p7.get(), 0);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, pki().ec.cert.get()), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);  // not enhanced

    std::vector<Result> r;
    EXPECT_EQ(verify("CADES_BES", sig, &content, r), 5u);  // the signer's certificate is nowhere
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 26u);
    EXPECT_EQ(r[0].id.size(), 69u);
    EXPECT_EQ(r[0].cert, "");
    EXPECT_NE(r[0].profile.find(std::string(1, '\0') + "serialNumber=<Unknown>"),
              std::string::npos);

    dir.write("pab/ec.pem", to_pem(pki().ec.cert.get()));
    r.clear();
    Bytes output;
    EXPECT_EQ(verify("CADES_BES", sig, &content, r, &output), 0u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 0u);
    EXPECT_EQ(output, wrap(content));  // the caller's input, as given
    r.clear();
    EXPECT_EQ(verify("CADES_BES", sig, nullptr, r), 3u);
    EXPECT_TRUE(logged("ssf_verify_data() 4 : no source data provided"));
    r.clear();
    Bytes other = str_bytes("another document");
    EXPECT_EQ(verify("CADES_BES", sig, &other, r), 5u);
    EXPECT_EQ(r.at(0).code, 27u);
}

TEST_F(Signing, OneFailingSignerFailsTheCallButEveryRecordGetsItsCode) {
    Bytes sig;
    std::vector<SAP_UINT> codes;
    EXPECT_EQ(
        sign("PKCS7", content, true, false,
             {{&pki().rsa, "certfile=/nonexistent"}, {&pki().ec, profile("ec")}}, sig, &codes),
        5u);
    EXPECT_TRUE(sig.empty());
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_NE(codes[0], 0u);
    EXPECT_EQ(codes[1], 0u);
    EXPECT_TRUE(logged("ssf_sign_data() 8.2 : ssf_load_cert_and_key() failed"));
    EXPECT_EQ(sign("PKCS7", content, true, false, {}, sig), 3u);
}

TEST_F(Signing, TwoSignersSignedDataAsContentAndTheProfileTime) {
    start("use_profile_timestamp = yes");
    Bytes inner;
    ASSERT_EQ(sign("PKCS7", content, true, false,
                   {{&pki().rsa, "20240102030405" + profile("rsa")},
                    {&pki().ec, "20391231235958" + profile("ec")}},
                   inner),
              0u);
    P7 p7 = p7_from_der(inner);
    EXPECT_EQ(signing_time_of(signer_info(p7.get(), pki().rsa)), "240102030405Z");
    EXPECT_EQ(signing_time_of(signer_info(p7.get(), pki().ec)), "391231235958Z");

    // A signed message given as input is signed whole, as the content.
    Bytes outer;
    ASSERT_EQ(
        sign("PKCS7", inner, true, false, {{&pki().ec, "20240102030405" + profile("ec")}}, outer),
        0u);
    std::vector<Result> r;
    Bytes output;
    ASSERT_EQ(verify("PKCS7", outer, nullptr, r, &output), 0u);
    EXPECT_EQ(output, inner);  // signed data passes through encode_data unchanged
    r.clear();
    ASSERT_EQ(verify("PKCS7", inner, nullptr, r), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(record_of(r, pki().rsa).code, 0u);
    EXPECT_EQ(record_of(r, pki().ec).code, 0u);
    EXPECT_NE(record_of(r, pki().ec).profile.find("(UTCTime: 391231235958Z)"), std::string::npos);
}

TEST_F(Signing, AddedSignerSitsBesideTheFirstAndBothVerify) {
    Bytes first, both;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki().rsa, profile("rsa")}}, first), 0u);
    ASSERT_EQ(add_sign("CADES_BES", first, nullptr, pki().ec, profile("ec"), both), 0u);
    EXPECT_EQ(last_add_result, 0u);
    P7 p7 = p7_from_der(both);
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())), 2);
    EXPECT_EQ(ssf::has_signing_cert_v2(signer_info(p7.get(), pki().rsa)), 0);
    EXPECT_EQ(ssf::has_signing_cert_v2(signer_info(p7.get(), pki().ec)), 1);
    std::vector<Result> r;
    Bytes output;
    ASSERT_EQ(verify("PKCS7_ANY", both, &content, r, &output), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].code, 0u);
    EXPECT_EQ(r[1].code, 0u);
    EXPECT_EQ(output, wrap(content));

    Bytes other = str_bytes("not the content"), out;
    EXPECT_EQ(add_sign("PKCS7", first, &other, pki().ec, profile("ec"), out), 3u);
    EXPECT_TRUE(logged("add_sign_data() 6: attached and provided datasets are different"));
    EXPECT_EQ(add_sign("PKCS7", wrap(content), nullptr, pki().ec, profile("ec"), out), 2u);
    EXPECT_TRUE(out.empty());
}

TEST_F(Signing, AddingToADetachedSignatureNeedsTheContent) {
    Bytes first = peer_signed({&pki().rsa}, content, PKCS7_DETACHED), both;
    EXPECT_EQ(add_sign("PKCS7", first, nullptr, pki().ec, profile("ec"), both), 3u);
    EXPECT_TRUE(logged("add_sign_data() 4 : no original data provided"));
    ASSERT_EQ(add_sign("PKCS7", first, &content, pki().ec, profile("ec"), both), 0u);
    P7 p7 = p7_from_der(both);
    EXPECT_TRUE(PKCS7_get_detached(p7.get()));
    std::vector<Result> r;
    ASSERT_EQ(verify("PKCS7", both, &content, r), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(record_of(r, pki().ec).code, 0u);
}

TEST_F(Signing, SecondSignatureBrokenGivesTwoRecordsAndTheContent) {
    Bytes sig = peer_signed({&pki().rsa, &pki().ec}, content, 0);
    P7 p7 = p7_from_der(sig);
    ASN1_STRING* value = signer_info(p7.get(), pki().ec)->enc_digest;
    value->data[value->length - 3] ^= 0x01;
    Bytes broken = to_der(p7.get());
    std::vector<Result> r;
    Bytes output;
    EXPECT_EQ(verify("PKCS7", broken, nullptr, r, &output), 5u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(record_of(r, pki().rsa).code, 0u);
    EXPECT_EQ(record_of(r, pki().ec).code, 27u);
    EXPECT_EQ(output, wrap(content));
    EXPECT_TRUE(logged("ssf_verify_data() 12 : signature for signer '" +
                       subject_text(pki().ec.cert.get()) + "' is invalid"));

    // Describing the signers checks nothing.
    r.clear();
    EXPECT_EQ(verify("PKCS7_GET_SIGNERS", broken, nullptr, r), 0u);
    ASSERT_EQ(r.size(), 2u);
    const Result& ec = record_of(r, pki().ec);
    EXPECT_EQ(ec.code, 0u);
    EXPECT_EQ(ec.profile.rfind("Signer: EC Signer\nValidity: ", 0), 0u);
    EXPECT_NE(ec.profile.find("\nSerial number: 5678\nFingerprint: "), std::string::npos);
    std::string fp = sha1_spaced(pki().ec.cert.get());
    fp.erase(std::remove(fp.begin(), fp.end(), ' '), fp.end());
    EXPECT_EQ(ec.profile.substr(ec.profile.size() - 40), fp);
}

TEST_F(Signing, SignatureValuesThatDoNotFitTheKeyAreRefused) {
    Bytes sig = peer_signed({&pki().rsa, &pki().ec}, content, 0);
    P7 p7 = p7_from_der(sig);
    ASN1_STRING* rsa_sig = signer_info(p7.get(), pki().rsa)->enc_digest;
    std::vector<unsigned char> longer(rsa_sig->data, rsa_sig->data + rsa_sig->length);
    longer.push_back(0);
    ASN1_STRING_set(rsa_sig, longer.data(), static_cast<int>(longer.size()));
    ASN1_STRING_set(signer_info(p7.get(), pki().ec)->enc_digest, "", 0);
    std::vector<Result> r;
    EXPECT_EQ(verify("PKCS7", to_der(p7.get()), nullptr, r), 5u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].code, 27u);
    EXPECT_EQ(r[1].code, 27u);
    EXPECT_TRUE(
        logged("ssf_verify_data() 12.0 : signature length 257 does not fit the signer's key (at "
               "most 256)"));
}

TEST_F(Signing, UnknownDigestLeavesNoSignatureAccepted) {
    Bytes sig = peer_signed({&pki().rsa}, content, 0);
    P7 p7 = p7_from_der(sig);
    ASN1_OBJECT* unknown = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
    X509_ALGOR_set0(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0), unknown, V_ASN1_NULL, nullptr);
    X509_ALGOR_set0(signer_info(p7.get(), 0)->digest_alg, OBJ_dup(unknown), V_ASN1_NULL, nullptr);
    std::vector<Result> r;
    EXPECT_EQ(verify("PKCS7", to_der(p7.get()), nullptr, r), 5u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 27u);
    EXPECT_TRUE(logged("ssf_verify_data() 6.1 : PKCS7_dataInit() failed"));
}

TEST_F(Signing, CertificatesInsideTheMessageOnlyWithUseCerts) {
    Bytes sig = peer_signed({&pki().rsa}, content, 0);
    std::vector<Result> r;
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r, nullptr, false), 5u);
    EXPECT_EQ(r.at(0).code, 26u);
    r.clear();
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r, nullptr, true), 0u);
    // An attached signature checked against other content: every signer valid, then 3.
    r.clear();
    Bytes other = str_bytes("document to be signeD\n");
    EXPECT_EQ(verify("PKCS7", sig, &other, r), 3u);
    EXPECT_EQ(r.at(0).code, 0u);
    EXPECT_TRUE(logged("ssf_verify_data() 18 : provided and attached datasets are different"));
}

TEST_F(Signing, IdentityFollowsTheConfiguration) {
    Bytes sig = peer_signed({&pki().rsa}, content, 0);
    start("default_verify_name = Somebody");
    std::vector<Result> r;
    ASSERT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).id, "Somebody");
    start("default_verify_name = Somebody\nverify_use_sha1_id = yes");
    r.clear();
    ASSERT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).id, sha1_spaced(pki().rsa.cert.get()));
}

TEST_F(Signing, SigningTimeDecidesTrustWhenConfigured) {
    // Valid until yesterday; signed two days ago.
    Identity expired = issue(pki().ca, "Expired Signer", KeyKind::ec, 77, -86400 * 10, -86400);
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    P7 p7(PKCS7_sign(nullptr, nullptr, nullptr, in, PKCS7_PARTIAL | PKCS7_BINARY));
    PKCS7_SIGNER_INFO* si =
        PKCS7_sign_add_signer(p7.get(), expired.cert.get(), expired.key.get(), EVP_sha256(), 0);
    ASN1_TIME* when = X509_gmtime_adj(nullptr, -86400 * 2);
    PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, when);
    PKCS7_final(p7.get(), in, PKCS7_BINARY);
    BIO_free(in);
    Bytes sig = to_der(p7.get());
    std::vector<Result> r;
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 100u);
    start("verify_use_signing_time = yes");
    r.clear();
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).code, 0u);
}

TEST_F(Signing, CadesBesNeedsASigningCertificateAttributeNamingTheSigner) {
    Bytes plain = peer_signed({&pki().rsa}, content, 0);
    std::vector<Result> r;
    EXPECT_EQ(verify("CADES_BES", plain, nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 27u);
    EXPECT_TRUE(logged(
        "check_ess_signing_cert() 2 : neither OtherSigningCertificate nor SigningCertificateV2 "
        "attribute found"));

    // The attribute names someone else: refused by CADES_BES and by PKCS7_ANY, ignored by PKCS7.
    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    P7 p7(PKCS7_sign(nullptr, nullptr, nullptr, in, PKCS7_PARTIAL | PKCS7_BINARY));
    PKCS7_SIGNER_INFO* si =
        PKCS7_sign_add_signer(p7.get(), pki().rsa.cert.get(), pki().rsa.key.get(), EVP_sha256(), 0);
    ASSERT_EQ(PKCS7_add_ESSSigningCertV2_attribute(si, pki().stranger.cert.get(), EVP_sha256()), 1);
    PKCS7_final(p7.get(), in, PKCS7_BINARY);
    BIO_free(in);
    Bytes sig = to_der(p7.get());
    for (const char* fmt : {"CADES_BES", "PKCS7_ANY"}) {
        r.clear();
        EXPECT_EQ(verify(fmt, sig, nullptr, r), 5u) << fmt;
        EXPECT_EQ(r.at(0).code, 27u) << fmt;
    }
    r.clear();
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
}

TEST_F(Signing, CadesEnhancementAndItsVerificationSayTheyAreNotAvailable) {
    Bytes sig;
    std::vector<SAP_UINT> codes;
    EXPECT_EQ(
        sign("PKCS7_CADES", content, true, false, {{&pki().rsa, profile("rsa")}}, sig, &codes), 5u);
    EXPECT_TRUE(sig.empty());
    EXPECT_EQ(codes, std::vector<SAP_UINT>{27});
    EXPECT_TRUE(
        logged("EnhanceAllSignatures() : CAdES enhancement is not available in this version"));

    Bytes first, out;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki().rsa, profile("rsa")}}, first), 0u);
    EXPECT_EQ(add_sign("CADES_XLT1", first, nullptr, pki().ec, profile("ec"), out), 5u);
    EXPECT_EQ(last_add_result, 27u);
    EXPECT_TRUE(logged("add_sign_data() 7 : WARNING: LoadCertificatesFromPAB() failed"));
    EXPECT_TRUE(logged("EnhanceSignature() : CAdES enhancement is not available in this version"));

    // The CAdES types take the signer's certificate from the certValues attribute alone.
    std::vector<Result> r;
    EXPECT_EQ(verify("CADES_XLT1", first, nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 26u);

    // A SignerInfo that carries the enhanced attributes goes to the CAdES verification.
    Bytes bes;
    ASSERT_EQ(sign("CADES_BES", content, true, false, {{&pki().rsa, profile("rsa")}}, bes), 0u);
    P7 p7 = p7_from_der(bes);
    for (int nid : {NID_id_smime_aa_ets_RevocationRefs, NID_id_smime_aa_ets_revocationValues,
                    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_certValues,
                    NID_id_smime_aa_timeStampToken, NID_id_smime_aa_ets_escTimeStamp}) {
        ASN1_STRING* s = ASN1_STRING_new();
        ASN1_STRING_set(s, "\x30\x00", 2);
        PKCS7_add_attribute(signer_info(p7.get(), 0), nid, V_ASN1_SEQUENCE, s);
    }
    r.clear();
    EXPECT_EQ(verify("PKCS7_ANY", to_der(p7.get()), nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 27u);
    EXPECT_TRUE(
        logged("VerifyEnhancedSignature() : CAdES verification is not available in this version"));
}

}  // namespace

namespace {

// The enhancement of an added signature gets the certificates of "user1.pem" in the current
// directory, and an empty store, never none, when the file is missing.
TEST_F(Signing, AddedSignatureStoreComesFromUserFileOrIsEmpty) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ossl::X509StorePtr none = ssf::open_user_store("t");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(none.get())), 0);
    dir.write("user1.pem", to_pem(pki().ca.cert.get()) + to_pem(pki().ec.cert.get()));
    ossl::X509StorePtr two = ssf::open_user_store("t");
    ASSERT_EQ(chdir(old), 0);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(two.get())), 2);
}

}  // namespace

namespace {

TEST(GostCutOff, RefusesGost2001SignersFromNewYear2020LocalTime) {
    struct tm eve {};
    eve.tm_year = 119;
    eve.tm_mon = 11;
    eve.tm_mday = 31;
    eve.tm_hour = 23;
    eve.tm_min = 59;
    eve.tm_sec = 59;
    eve.tm_isdst = -1;
    const time_t last_second = mktime(&eve);
    ssf::SignerDigest gost2001{nullptr, true}, other{EVP_sha1(), false};
    platform::set_test_clock(last_second);
    EXPECT_FALSE(ssf::refused_by_gost2001_cutoff(gost2001));
    platform::set_test_clock(last_second + 1);
    EXPECT_TRUE(ssf::refused_by_gost2001_cutoff(gost2001));
    EXPECT_FALSE(ssf::refused_by_gost2001_cutoff(other));
    platform::set_test_clock(std::nullopt);
    EXPECT_TRUE(ssf::refused_by_gost2001_cutoff(gost2001));
}

}  // namespace
