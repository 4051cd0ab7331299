// Signing, adding signatures and verification through the exports, in-process, against messages
// the crypto library makes itself.
#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cryptoext/ess_types.h"
#include "fixture.h"
#include "ssf/cades/ess_check.h"
#include "ssf/pkcs7/sign.h"

using namespace ssf_test;
using namespace test_pki;
using Bytes = Der;

namespace {

struct Result {
    std::string id, profile, cert;
    SAP_UINT code = 0;
};

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes wrap(const Bytes& content) {
    ossl::Pkcs7 p7(PKCS7_new());
    PKCS7_set_type(p7.get(), NID_pkcs7_data);
    ASN1_OCTET_STRING_set(p7->d.data, content.data(), static_cast<int>(content.size()));
    return to_der(p7.get());
}

// SignerInfos are a SET OF: DER puts them in its own order, so tests find them by serial number.
PKCS7_SIGNER_INFO* signer_info(PKCS7* p7, const Entity& id) {
    STACK_OF(PKCS7_SIGNER_INFO)* sk = PKCS7_get_signer_info(p7);
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(sk); ++i) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sk, i);
        if (!ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(id.cert.get())))
            return si;
    }
    return nullptr;
}

const Result& record_of(const std::vector<Result>& r, const Entity& id) {
    for (const auto& x : r)
        if (x.cert == der_of(id.cert.get())) return x;
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

// A message made by the crypto library; `edit` may add attributes to each SignerInfo.
Bytes peer_signed(const std::vector<const Entity*>& signers, const Bytes& content, int flags,
                  void (*edit)(PKCS7_SIGNER_INFO*) = nullptr) {
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(
        PKCS7_sign(nullptr, nullptr, nullptr, in.get(), flags | PKCS7_PARTIAL | PKCS7_BINARY));
    for (auto* s : signers) {
        PKCS7_SIGNER_INFO* si =
            PKCS7_sign_add_signer(p7.get(), s->cert.get(), s->key.get(), EVP_sha256(), flags);
        if (edit) edit(si);
    }
    PKCS7_final(p7.get(), in.get(), flags | PKCS7_BINARY);
    return to_der(p7.get());
}

// A message signed with eContentType `type` (the contentType attribute says the same), as a CMS
// signer makes it.
Bytes typed_signed(const Entity& id, const Bytes& content, const char* type, int flags = 0) {
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY | flags));
    ossl::Asn1Object oid(OBJ_txt2obj(type, 1));
    CMS_set1_eContentType(cms.get(), oid.get());
    CMS_add1_signer(cms.get(), id.cert.get(), id.key.get(), EVP_sha256(), CMS_BINARY | flags);
    CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY);
    unsigned char* der = nullptr;
    const int n = i2d_CMS_ContentInfo(cms.get(), &der);
    ossl::Bytes owner(der);
    return Bytes(der, der + n);
}

// The same message with one bit of its eContentType flipped: id-data becomes 1.2.840.113549.1.7.9.
Bytes retyped(Bytes der) {
    const Bytes data_then_content = hex("2a864886f70d010701a0");
    auto at =
        std::search(der.begin(), der.end(), data_then_content.begin(), data_then_content.end());
    if (at != der.end()) at[8] ^= 0x08;
    return der;
}

class Signing : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        mkdir(dir.file("pab").c_str(), 0700);
        dir.write("pab/root.pem", pem_of(pki->root.cert.get()));  // one certificate per file
        dir.write("pab/inter.pem", pem_of(pki->inter.cert.get()));
        for (auto [name, id] : {std::pair{"rsa", &pki->rsa_leaf}, std::pair{"ec", &pki->leaf}}) {
            dir.write(std::string(name) + ".pem", pem_of(id->cert.get()));
            dir.write(std::string(name) + ".key", key_pem(id->key.get(), nullptr));
        }
    }
    std::string profile(const std::string& name) const {
        return "certfile=" + dir.file(name + ".pem") + ",keyfile=" + dir.file(name + ".key");
    }
    SigRcpSsfInfo* record(const Entity& id, const std::string& prof) {
        Sap fp(sha1_hex(id.cert.get(), " ")), p(prof);
        SigRcpSsfInfo* rec = nullptr;
        EXPECT_EQ(
            SsfNEWSigRcpSsfInfo(fp.p(), fp.n(), nullptr, 0, p.p(), p.n(), nullptr, 0, 28, &rec),
            0u);
        return rec;
    }

    // SsfSign over the content (wrapped as PKCS#7 data first, as callers do).
    SAPRETURN sign(Sap fmt, const Bytes& content, bool inc_certs, bool detached,
                   std::vector<std::pair<const Entity*, std::string>> signers, Bytes& out,
                   std::vector<SAP_UINT>* results = nullptr) {
        SigRcpSsfInfoList list = nullptr;
        for (auto& [id, prof] : signers) SsfINSSigRcpSsfInfo(record(*id, prof), &list);
        Bytes data = wrap(content);
        Sap hash("SHA1");
        Out o;
        SAPRETURN rc =
            SsfSign(fmt.p(), fmt.n(), hash.p(), hash.n(), inc_certs, detached, data.data(),
                    static_cast<SAP_UINT>(data.size()), list, &o.data, &o.len);
        out = bytes(o.str());
        if (results)
            for (auto* n = list; n; n = n->next) results->push_back(n->ptrSigRcp->uResult);
        SsfDELSigRcpSsfInfoList(&list);
        return rc;
    }

    SAPRETURN add_sign(Sap fmt, const Bytes& signed_data, const Bytes* content, const Entity& id,
                       const std::string& prof, Bytes& out) {
        SigRcpSsfInfo* rec = record(id, prof);
        Sap hash("SHA1");
        Bytes data = content ? wrap(*content) : Bytes();
        Out o;
        SAPRETURN rc = SsfAddSign(
            fmt.p(), fmt.n(), hash.p(), hash.n(), 1, const_cast<unsigned char*>(signed_data.data()),
            static_cast<SAP_UINT>(signed_data.size()), content ? data.data() : nullptr,
            static_cast<SAP_UINT>(data.size()), rec, &o.data, &o.len);
        out = bytes(o.str());
        last_add_result = rec->uResult;
        SsfDELSigRcpSsfInfo(&rec);
        return rc;
    }

    SAPRETURN verify(Sap fmt, const Bytes& signed_data, const Bytes* content,
                     std::vector<Result>& results, Bytes* output = nullptr) {
        results.clear();
        Sap pab(dir.file("pab"));
        Bytes data = content ? wrap(*content) : Bytes();
        SigRcpSsfInfoList list = nullptr;
        Out o;
        SAPRETURN rc =
            SsfVerify(fmt.p(), fmt.n(), 1, const_cast<unsigned char*>(signed_data.data()),
                      static_cast<SAP_UINT>(signed_data.size()), content ? data.data() : nullptr,
                      static_cast<SAP_UINT>(data.size()), pab.p(), pab.n(), nullptr, 0, &list,
                      &o.data, &o.len);
        if (output) *output = bytes(o.str());
        for (auto* n = list; n; n = n->next) {
            const SigRcpSsfInfo* r = n->ptrSigRcp;
            auto str = [](SAP_BYTE* p, SAP_UINT l) {
                return p ? std::string(reinterpret_cast<char*>(p), l) : std::string();
            };
            results.push_back({str(r->strSigRcpId, r->strSigRcpIdL),
                               str(r->strSigRcpProfile, r->strSigRcpProfileL),
                               str(r->strSigRcpPassword, r->strSigRcpPasswordL), r->uResult});
        }
        SsfDELSigRcpSsfInfoList(&list);
        return rc;
    }

    SAP_UINT last_add_result = 0;
    const Bytes content = bytes("document to be signed\n");
    std::vector<Result> r;
};

TEST_F(Signing, AttachedPkcs7WithCertificatesVerifiesAndDescribesTheSigner) {
    Bytes sig, output;
    std::vector<SAP_UINT> codes;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki->rsa_leaf, profile("rsa")}}, sig, &codes),
              0u);
    EXPECT_EQ(codes, std::vector<SAP_UINT>{0});
    ossl::Pkcs7 p7 = from_der(sig);
    ASSERT_TRUE(p7 && PKCS7_type_is_signed(p7.get()));
    EXPECT_FALSE(PKCS7_get_detached(p7.get()));
    EXPECT_EQ(sk_X509_num(p7->d.sign->cert), 1);
    PKCS7_SIGNER_INFO* si = signer_info(p7.get(), pki->rsa_leaf);
    EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_sha1);  // the key chooses, not "SHA1"
    EXPECT_EQ(ssf::has_signing_cert_v2(si), 0);
    EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_contentType), nullptr);
    EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime), nullptr);

    ASSERT_EQ(verify("PKCS7", sig, nullptr, r, &output), 0u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 0u);
    EXPECT_EQ(r[0].id, subject_text("Leaf RSA"));
    EXPECT_EQ(r[0].cert, der_of(pki->rsa_leaf.cert.get()));
    EXPECT_EQ(r[0].profile.rfind("SigningTime= ", 0), 0u);
    EXPECT_NE(r[0].profile.find(std::string(1, '\0') + "serialNumber=12 34"), std::string::npos);
    EXPECT_EQ(output, wrap(content));
    EXPECT_TRUE(log_contains("Total signers: 1"));
    // Checked against other content: every signer valid, then 3.
    Bytes other = bytes("document to be signeD\n");
    EXPECT_EQ(verify("PKCS7", sig, &other, r), 3u);
    EXPECT_EQ(r.at(0).code, 0u);
    EXPECT_TRUE(logged("ssf_verify_data() 18 : provided and attached datasets are different"));
}

TEST_F(Signing, DetachedCadesBesWithoutCertificates) {
    Bytes sig, output;
    ASSERT_EQ(sign("CADES_BES", content, false, true, {{&pki->leaf, profile("ec")}}, sig), 0u);
    ossl::Pkcs7 p7 = from_der(sig);
    ASSERT_TRUE(p7);
    EXPECT_TRUE(PKCS7_get_detached(p7.get()));
    EXPECT_EQ(p7->d.sign->cert, nullptr);
    PKCS7_SIGNER_INFO* si = signer_info(p7.get(), pki->leaf);
    EXPECT_EQ(ssf::check_ess_signing_cert(si, pki->leaf.cert.get()), 1);
    EXPECT_EQ(ssf::is_enhanced_signature(si, 1), 0);

    EXPECT_EQ(verify("CADES_BES", sig, &content, r), 5u);  // the signer's certificate is nowhere
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 26u);
    EXPECT_EQ(r[0].id.size(), 69u);
    EXPECT_EQ(r[0].cert, "");
    EXPECT_NE(r[0].profile.find(std::string(1, '\0') + "serialNumber=<Unknown>"),
              std::string::npos);

    dir.write("pab/ec.pem", pem_of(pki->leaf.cert.get()));
    EXPECT_EQ(verify("CADES_BES", sig, &content, r, &output), 0u);
    EXPECT_EQ(r.at(0).code, 0u);
    EXPECT_EQ(output, wrap(content));  // the caller's input, as given
    EXPECT_EQ(verify("CADES_BES", sig, nullptr, r), 3u);
    EXPECT_TRUE(logged("ssf_verify_data() 4 : no source data provided"));
    Bytes other = bytes("another document");
    EXPECT_EQ(verify("CADES_BES", sig, &other, r), 5u);
    EXPECT_EQ(r.at(0).code, 27u);
}

TEST_F(Signing, OneFailingSignerFailsTheCallButEveryRecordGetsItsCode) {
    Bytes sig;
    std::vector<SAP_UINT> codes;
    EXPECT_EQ(
        sign("PKCS7", content, true, false,
             {{&pki->rsa_leaf, "certfile=/nonexistent"}, {&pki->leaf, profile("ec")}}, sig, &codes),
        5u);
    EXPECT_TRUE(sig.empty());
    EXPECT_EQ(codes, (std::vector<SAP_UINT>{24, 0}));
    EXPECT_TRUE(logged("ssf_sign_data() 8.2 : ssf_load_cert_and_key() failed"));
    EXPECT_EQ(sign("PKCS7", content, true, false, {}, sig), 3u);
}

TEST_F(Signing, TwoSignersSignedDataAsContentAndTheProfileTime) {
    start("use_profile_timestamp = yes");
    Bytes inner, outer, output;
    ASSERT_EQ(sign("PKCS7", content, true, false,
                   {{&pki->rsa_leaf, "20240102030405" + profile("rsa")},
                    {&pki->leaf, "20391231235958" + profile("ec")}},
                   inner),
              0u);
    ossl::Pkcs7 p7 = from_der(inner);
    EXPECT_EQ(signing_time_of(signer_info(p7.get(), pki->rsa_leaf)), "240102030405Z");
    EXPECT_EQ(signing_time_of(signer_info(p7.get(), pki->leaf)), "391231235958Z");

    // A signed message given as input is signed whole, as the content.
    ASSERT_EQ(
        sign("PKCS7", inner, true, false, {{&pki->leaf, "20240102030405" + profile("ec")}}, outer),
        0u);
    ASSERT_EQ(verify("PKCS7", outer, nullptr, r, &output), 0u);
    EXPECT_EQ(output, inner);  // signed data passes through encode_data unchanged
    ASSERT_EQ(verify("PKCS7", inner, nullptr, r), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(record_of(r, pki->rsa_leaf).code, 0u);
    EXPECT_EQ(record_of(r, pki->leaf).code, 0u);
    EXPECT_NE(record_of(r, pki->leaf).profile.find("(UTCTime: 391231235958Z)"), std::string::npos);
}

TEST_F(Signing, AddedSignerSitsBesideTheFirstAndDetachedNeedsTheContent) {
    Bytes first, both, output, out;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki->rsa_leaf, profile("rsa")}}, first), 0u);
    ASSERT_EQ(add_sign("CADES_BES", first, nullptr, pki->leaf, profile("ec"), both), 0u);
    EXPECT_EQ(last_add_result, 0u);
    ossl::Pkcs7 p7 = from_der(both);
    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())), 2);
    EXPECT_EQ(ssf::has_signing_cert_v2(signer_info(p7.get(), pki->rsa_leaf)), 0);
    EXPECT_EQ(ssf::has_signing_cert_v2(signer_info(p7.get(), pki->leaf)), 1);
    ASSERT_EQ(verify("PKCS7_ANY", both, &content, r, &output), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].code + r[1].code, 0u);
    EXPECT_EQ(output, wrap(content));

    Bytes other = bytes("not the content");
    EXPECT_EQ(add_sign("PKCS7", first, &other, pki->leaf, profile("ec"), out), 3u);
    EXPECT_TRUE(logged("add_sign_data() 6: attached and provided datasets are different"));
    EXPECT_EQ(add_sign("PKCS7", wrap(content), nullptr, pki->leaf, profile("ec"), out), 2u);
    EXPECT_TRUE(out.empty());

    Bytes detached = peer_signed({&pki->rsa_leaf}, content, PKCS7_DETACHED);
    EXPECT_EQ(add_sign("PKCS7", detached, nullptr, pki->leaf, profile("ec"), both), 3u);
    EXPECT_TRUE(logged("add_sign_data() 4 : no original data provided"));
    ASSERT_EQ(add_sign("PKCS7", detached, &content, pki->leaf, profile("ec"), both), 0u);
    EXPECT_TRUE(PKCS7_get_detached(from_der(both).get()));
    ASSERT_EQ(verify("PKCS7", both, &content, r), 0u);
    EXPECT_EQ(r.size(), 2u);
}

TEST_F(Signing, SecondSignatureBrokenGivesTwoRecordsAndTheContent) {
    ossl::Pkcs7 p7 = from_der(peer_signed({&pki->rsa_leaf, &pki->leaf}, content, 0));
    ASN1_STRING* value = signer_info(p7.get(), pki->leaf)->enc_digest;
    value->data[value->length - 3] ^= 0x01;
    Bytes broken = to_der(p7.get()), output;
    EXPECT_EQ(verify("PKCS7", broken, nullptr, r, &output), 5u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(record_of(r, pki->rsa_leaf).code, 0u);
    EXPECT_EQ(record_of(r, pki->leaf).code, 27u);
    EXPECT_EQ(output, wrap(content));
    EXPECT_TRUE(logged("ssf_verify_data() 12 : signature for signer '" + subject_text("Leaf One") +
                       "' is invalid"));

    // Describing the signers checks nothing.
    EXPECT_EQ(verify("PKCS7_GET_SIGNERS", broken, nullptr, r), 0u);
    ASSERT_EQ(r.size(), 2u);
    const Result& ec = record_of(r, pki->leaf);
    EXPECT_EQ(ec.code, 0u);
    EXPECT_EQ(ec.profile.rfind("Signer: Leaf One\nValidity: ", 0), 0u);
    EXPECT_NE(ec.profile.find("\nSerial number: 5678\nFingerprint: "), std::string::npos);
    EXPECT_EQ(ec.profile.substr(ec.profile.size() - 40), sha1_hex(pki->leaf.cert.get(), ""));
}

TEST_F(Signing, OversizedSignatureValuesAndUnknownDigestsAreRefused) {
    ossl::Pkcs7 p7 = from_der(peer_signed({&pki->rsa_leaf, &pki->leaf}, content, 0));
    ASN1_STRING* rsa_sig = signer_info(p7.get(), pki->rsa_leaf)->enc_digest;
    std::vector<unsigned char> longer(rsa_sig->data, rsa_sig->data + rsa_sig->length);
    longer.push_back(0);
    ASN1_STRING_set(rsa_sig, longer.data(), static_cast<int>(longer.size()));
    ASN1_STRING_set(signer_info(p7.get(), pki->leaf)->enc_digest, "", 0);
    EXPECT_EQ(verify("PKCS7", to_der(p7.get()), nullptr, r), 5u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].code, 27u);
    EXPECT_EQ(r[1].code, 27u);
    EXPECT_TRUE(
        logged("ssf_verify_data() 12.0 : signature length 257 does not fit the signer's key (at "
               "most 256)"));

    p7 = from_der(peer_signed({&pki->rsa_leaf}, content, 0));
    ASN1_OBJECT* unknown = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
    X509_ALGOR_set0(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0), unknown, V_ASN1_NULL, nullptr);
    X509_ALGOR_set0(signer_info(p7.get(), pki->rsa_leaf)->digest_alg, OBJ_dup(unknown), V_ASN1_NULL,
                    nullptr);
    EXPECT_EQ(verify("PKCS7", to_der(p7.get()), nullptr, r), 5u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 27u);
    EXPECT_TRUE(logged("ssf_verify_data() 6.1 : PKCS7_dataInit() failed"));
}

TEST_F(Signing, IdentityFollowsTheConfiguration) {
    Bytes sig = peer_signed({&pki->rsa_leaf}, content, 0);
    start("default_verify_name = Somebody");
    ASSERT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).id, "Somebody");
    start("default_verify_name = Somebody\nverify_use_sha1_id = yes");
    ASSERT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).id, sha1_hex(pki->rsa_leaf.cert.get(), " "));
}

TEST_F(Signing, SigningTimeDecidesTrustWhenConfigured) {
    // Valid until a year ago; signed a year and a half ago.
    Bytes sig = peer_signed({&pki->expired}, content, 0, [](PKCS7_SIGNER_INFO* si) {
        ASN1_TIME* when = X509_gmtime_adj(nullptr, -kYear * 3 / 2);
        PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, when);
    });
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 100u);
    start("verify_use_signing_time = yes");
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
    EXPECT_EQ(r.at(0).code, 0u);
}

TEST_F(Signing, CadesBesNeedsASigningCertificateAttributeNamingTheSigner) {
    EXPECT_EQ(verify("CADES_BES", peer_signed({&pki->rsa_leaf}, content, 0), nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 27u);
    EXPECT_TRUE(logged(
        "check_ess_signing_cert() 2 : neither OtherSigningCertificate nor SigningCertificateV2 "
        "attribute found"));

    // The attribute names someone else: refused by CADES_BES and by PKCS7_ANY, ignored by PKCS7.
    Bytes sig = peer_signed({&pki->rsa_leaf}, content, 0, [](PKCS7_SIGNER_INFO* si) {
        PKCS7_add_ESSSigningCertV2_attribute(si, test_pki::get().stranger.cert.get(), EVP_sha256());
    });
    for (const char* fmt : {"CADES_BES", "PKCS7_ANY"}) {
        EXPECT_EQ(verify(fmt, sig, nullptr, r), 5u) << fmt;
        EXPECT_EQ(r.at(0).code, 27u) << fmt;
    }
    EXPECT_EQ(verify("PKCS7", sig, nullptr, r), 0u);
}

// The CAdES types take the signer's certificate from the certValues attribute alone, and an
// added CAdES signature is enhanced with the store of "user1.pem" and "common:ca_file".
TEST_F(Signing, CadesSignersComeFromCertValuesAndAddedOnesAreEnhanced) {
    Bytes first, out;
    ASSERT_EQ(sign("PKCS7", content, true, false, {{&pki->rsa_leaf, profile("rsa")}}, first), 0u);
    EXPECT_EQ(verify("CADES_XLT1", first, nullptr, r), 5u);
    EXPECT_EQ(r.at(0).code, 26u);
    // No time-stamp server is configured here.
    EXPECT_EQ(add_sign("CADES_XLT1", first, nullptr, pki->leaf, profile("ec"), out), 5u);
    EXPECT_EQ(last_add_result, 111u);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(logged("add_sign_data() 7 : WARNING: LoadCertificatesFromPAB() failed"));
}

// Content is handed out whatever its type, but only a signature that signed that type is valid.
TEST_F(Signing, ContentTypeMustBeTheOneSigned) {
    const char* kForeign = "1.2.643.100.113.9";
    const Bytes other = bytes("another document");
    struct Case {
        const char* what;
        Bytes msg;
        const Bytes* input;
        SAPRETURN rc;
        SAP_UINT code;
    } cases[] = {
        {"foreign type, signed as such", typed_signed(pki->rsa_leaf, content, kForeign), nullptr, 0,
         0},
        {"foreign type, other input", typed_signed(pki->rsa_leaf, content, kForeign), &other, 3, 0},
        {"type changed after signing", retyped(peer_signed({&pki->rsa_leaf}, content, 0)), nullptr,
         5, 27},
        {"type changed, no signed attributes",
         retyped(peer_signed({&pki->rsa_leaf}, content, PKCS7_NOATTR)), nullptr, 5, 27},
    };
    for (const Case& c : cases) {
        Bytes output;
        EXPECT_EQ(verify("PKCS7", c.msg, c.input, r, &output), c.rc) << c.what;
        ASSERT_EQ(r.size(), 1u) << c.what;
        EXPECT_EQ(r[0].code, c.code) << c.what;
        EXPECT_EQ(output, wrap(content)) << c.what;
    }
    // An added signer signs the type the message carries.
    Bytes both;
    ASSERT_EQ(add_sign("PKCS7", cases[0].msg, &content, pki->leaf, profile("ec"), both), 0u);
    ASSERT_EQ(verify("PKCS7", both, &content, r), 0u);
    EXPECT_EQ(r.size(), 2u);
}

// The enhancement of an added signature gets the certificates of "user1.pem" in the current
// directory, and an empty store, never none, when the file is missing.
TEST_F(Signing, AddedSignatureStoreComesFromUserFileOrIsEmpty) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ossl::X509StorePtr none = ssf::open_user_store("t");
    dir.write("user1.pem", pem_of(pki->root.cert.get()) + pem_of(pki->leaf.cert.get()));
    ossl::X509StorePtr two = ssf::open_user_store("t");
    ASSERT_EQ(chdir(old), 0);
    ASSERT_TRUE(none && two);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(none.get())), 0);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(two.get())), 2);
}

}  // namespace

// A configuration that start-up cannot use refuses every call that would work on it (1, no
// output, records 28, one line), where running on defaults would drop the checks it asks for;
// once the file is mended the next call in the same process starts up and works.
TEST_F(Signing, CallsAreRefusedWhileTheConfigurationCannotBeUsed) {
    dir.write("stranger.pem", pem_of(pki->stranger.cert.get()));
    const std::string checks = "cert_check_options = check_chain\nca_file = ";
    start(checks + dir.file("stranger.pem"));
    Bytes sig;
    EXPECT_EQ(sign("PKCS7", content, true, false, {{&pki->rsa_leaf, profile("rsa")}}, sig), 5u);

    const Bytes peer = peer_signed({&pki->rsa_leaf}, content, 0);
    const std::string cfg = dir.file("selvanor-ssf-server.cfg"),
                      fallback = "/tmp/" + std::string(ssf::kLogFileName),
                      good = "[common]\nlog_dir = " + dir.path() + "\n" + checks + pki->ca_bundle +
                             "\n";
    // A directory named to the library that is not there: the file it would hold is the good one.
    const auto named = [&](const char* var, const std::string& to) {
        return [&, var, to] {
            dir.write(ssf::kConfigFileName, good);
            if (std::string(var) == "DIR_LIBRARY") {
                setenv(var, to.c_str(), 1);
                return;
            }
            unsetenv("DIR_LIBRARY");
            dir.write("registry.ini",
                      "[HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server]\n"
                      "config_dir_name = " +
                          to + "\n");
            setenv("SSF_REGISTRY_FILE", dir.file("registry.ini").c_str(), 1);
        };
    };
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("volume").c_str()), 0);
    Pauses pauses;  // the mended file's second of settling
    const struct {
        const char* what;
        std::function<void()> spoil;
        std::string named_dir;  // the directory the refusal names, when one was named
    } cases[] = {
        {"DIR_LIBRARY naming the file", named("DIR_LIBRARY", cfg), cfg},
        {"DIR_LIBRARY naming no directory", named("DIR_LIBRARY", dir.file("absent")),
         dir.file("absent")},
        {"DIR_LIBRARY naming a link to a directory that is gone",
         named("DIR_LIBRARY", dir.file("volume")), dir.file("volume")},
        {"DIR_LIBRARY under a file", named("DIR_LIBRARY", cfg + "/etc"), cfg + "/etc"},
        {"the registry naming no directory", named("registry", dir.file("absent")),
         dir.file("absent")},
        {"a line without '='",
         [&] {
             dir.write(ssf::kConfigFileName, good + "[hok]\nhok_urls http://127.0.0.1:1/ws\n");
         }},
        {"a NUL byte", [&] { dir.write(ssf::kConfigFileName, good + std::string("; \0\n", 4)); }},
        {"a comment over 1 MiB",
         [&] { dir.write(ssf::kConfigFileName, good + ";" + std::string(1 << 20, 'x') + "\n"); }},
        {"a section line naming none",
         [&] { dir.write(ssf::kConfigFileName, good + "[cades]\n[]\nmax_ocsp_age = 5\n"); }},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(cfg.c_str(), 0600), 0); }},
        {"a directory", [&] { ASSERT_EQ(mkdir(cfg.c_str(), 0700), 0); }},
        {"a dangling link",
         [&] { ASSERT_EQ(symlink(dir.file("absent").c_str(), cfg.c_str()), 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ssf::reset_for_tests();
        (void)(std::remove(cfg.c_str()) == 0 || rmdir(cfg.c_str()) == 0);
        c.spoil();
        const size_t before = testing_support::read_file(fallback).size();  // shared: ours only

        SigRcpSsfInfoList list = nullptr;
        SigRcpSsfInfo* rec = record(pki->rsa_leaf, profile("rsa"));
        rec->uResult = 0;
        ASSERT_EQ(SsfINSSigRcpSsfInfo(rec, &list), 0u);
        Bytes data = wrap(content);
        Sap fmt("PKCS7"), hash("SHA1");
        Out o;
        EXPECT_EQ(without_hang(
                      [&] {
                          return SsfSign(fmt.p(), fmt.n(), hash.p(), hash.n(), 1, 0, data.data(),
                                         static_cast<SAP_UINT>(data.size()), list, &o.data, &o.len);
                      },
                      {cfg}),
                  1u);
        EXPECT_TRUE(o.cleared());
        EXPECT_EQ(rec->uResult, 28u);
        SsfDELSigRcpSsfInfoList(&list);
        Bytes output{1};
        EXPECT_EQ(verify("PKCS7", peer, nullptr, r, &output), 1u);
        EXPECT_TRUE(r.empty());
        EXPECT_TRUE(output.empty());
        EXPECT_EQ(ssf_verify_TS_token(nullptr, nullptr, nullptr, nullptr, 1, nullptr, nullptr), 1);
        EXPECT_FALSE(ssf::lib_started());
        const std::string all = testing_support::read_file(fallback),
                          logged = all.substr(std::min(before, all.size()));
        for (const char* fn : {"SsfSign", "SsfVerify", "ssf_verify_TS_token"})
            EXPECT_TRUE(
                has_line(logged, std::string(fn) + "() : start-up failed, the call is refused"))
                << fn;
        if (!c.named_dir.empty())
            EXPECT_NE(logged.find("get_config_dir() : the configuration directory '" + c.named_dir +
                                  "' named by "),
                      std::string::npos);

        setenv("DIR_LIBRARY", dir.path().c_str(), 1);
        unsetenv("SSF_REGISTRY_FILE");
        (void)(std::remove(cfg.c_str()) == 0 || rmdir(cfg.c_str()) == 0);
        dir.write(ssf::kConfigFileName, good);
        std::vector<SAP_UINT> codes;
        EXPECT_EQ(
            sign("PKCS7", content, true, false, {{&pki->rsa_leaf, profile("rsa")}}, sig, &codes),
            0u);
        EXPECT_EQ(codes, std::vector<SAP_UINT>{0});
        EXPECT_EQ(verify("PKCS7", peer, nullptr, r), 0u);
    }
}
