// CAdES-X Long Type 1 end to end: signatures enhanced against real peers on 127.0.0.1 (stock
// `openssl ts -reply` as TSA and `openssl ocsp` as responders behind the scripted HTTP front,
// CRLs from it), checked by our verification and independently by the stock openssl command; the
// enhancement of existing documents; tampered signatures; archive time stamps; byte layouts.
#include <sys/stat.h>

#include <functional>
#include <mutex>

#include "common/http_stub.h"
#include "common/openssl_tool.h"
#include "common/process.h"
#include "common/vectors.h"
#include "fixture.h"
#include "kit/archive.h"
#include "kit/crl.h"
#include "kit/ocsp.h"
#include "kit/tsa.h"
#include "ssf/cades/archive_ts.h"
#include "ssf/cades/cades_enhance.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/cades/ref_match.h"
#include "ssf/cades/revocation_refs.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/tsp_client.h"
#include "ssf/utils.h"

namespace {

using namespace test_pki;
using ssf_test::Out;
using ssf_test::Sap;
using ssf_test::str;
using testing_support::HttpReply;
using testing_support::HttpRequest;
using testing_support::run_openssl;

Der der(const std::string& s) {
    return Der(s.begin(), s.end());
}
std::string hex_of(const std::string& s) {
    return testing_support::to_hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
std::string bytes_of(const ASN1_STRING* s) {
    return s ? std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                           static_cast<size_t>(ASN1_STRING_length(s)))
             : std::string();
}
void set_value(PKCS7_SIGNER_INFO* si, int nid, const std::string& der) {
    ASSERT_TRUE(ssf::set_sequence_attributes(si, {{nid, der}}));
}
// The results of a record list, which is released.
std::vector<SAP_UINT> take_results(SigRcpSsfInfoList& list) {
    std::vector<SAP_UINT> out;
    for (auto* n = list; n; n = n->next) out.push_back(n->ptrSigRcp->uResult);
    SsfDELSigRcpSsfInfoList(&list);
    return out;
}
PKCS7_SIGNER_INFO* first_si(PKCS7* p7) {
    return sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
}

// crl_split: CRLs split by reason over two points; crl_critical: a CRL with a critical extension
// the crypto library does not process; crl_delta: the CA's delta CRL alone; crl_hold: a CRL that
// holds the signer, whose delta takes the hold off.
enum class Proof { ocsp, crl, crl_generalized, crl_split, crl_critical, crl_delta, crl_hold, self };

const RawExt kPrivateExt{"1.3.6.1.4.1.99999.7", {0x05, 0x00}};
const std::vector<int> kKeyReasons = {1, 2};  // keyCompromise, cACompromise

const int kEnhancement[] = {
    NID_id_smime_aa_timeStampToken,      NID_id_smime_aa_ets_revocationValues,
    NID_id_smime_aa_ets_RevocationRefs,  NID_id_smime_aa_ets_certValues,
    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_escTimeStamp};

class Cades : public ssf_test::Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        const time_t t = now();
        root = issue({"CAdES Root", 0x1001, t - 2 * kYear, t + 10 * kYear, ca_exts()},
                     new_key(KeyType::ec), nullptr);
        Exts inter_exts = ca_exts();
        inter_exts.push_back(aia_ocsp(peers.url("/ocsp-root")));
        inter_exts.push_back({"crlDistributionPoints", "URI:" + peers.url("/root.crl")});
        inter = issue({"CAdES Inter", 0x1002, t - 2 * kYear, t + 10 * kYear, inter_exts},
                      new_key(KeyType::ec), &root);
        resp_root = issue({"CAdES Root Responder", 0x1003, 0, 0, ocsp_responder_exts()},
                          new_key(KeyType::ec), &root);
        resp_inter = issue({"CAdES Responder", 0x1004, 0, 0, ocsp_responder_exts()},
                           new_key(KeyType::ec), &inter);
        Exts tsa_ext = tsa_exts();
        tsa_ext.push_back({"crlDistributionPoints", "URI:" + peers.url("/inter.crl")});
        tsa = issue({"CAdES TSA", 0x1005, 0, 0, tsa_ext}, new_key(KeyType::ec), &inter);
        self = issue({"CAdES Self", 0x1006, 0, 0, {}}, new_key(KeyType::ec), nullptr);
        crls["/root.crl"] = crl_der(make_crl({&root}).get());
        crls["/inter.crl"] = crl_der(
            make_crl({.issuer = &inter, .number = 5, .freshest = {peers.url("/inter-delta.crl")}})
                .get());
        crls["/inter-delta.crl"] =
            crl_der(make_crl({.issuer = &inter, .number = 6, .delta_of = 5}).get());
        crls["/inter-gen.crl"] =
            crl_der(make_crl({.issuer = &inter, .number = 7, .generalized_time = true}).get());
        for (const char* p : {"/split-key.crl", "/split-other.crl"})
            crls[p] = crl_der(
                make_crl({.issuer = &inter, .number = 8, .idp = IdpSpec{.point = peers.url(p)}})
                    .get());
        crls["/inter-critical.crl"] =
            crl_der(make_crl({.issuer = &inter, .number = 9, .exts = {kPrivateExt}}).get());
        mkdir(dir.file("pab").c_str(), 0700);
        dir.write("pab/root.pem", pem_of(root.cert.get()));
        dir.write("pab/self.pem", pem_of(self.cert.get()));
        dir.write("pab/kit-root.pem", pem_of(pki->root.cert.get()));
        mkdir(dir.file("kit-pab").c_str(), 0700);
        dir.write("kit-pab/kit-root.pem", pem_of(pki->root.cert.get()));
        dir.write("ca.pem",
                  pem_of(root.cert.get()) + pem_of(inter.cert.get()) + pem_of(self.cert.get()));
        dir.write("engine.cnf", testing_support::engine_config());
        for (auto [name, e] : {std::pair{"inter", &inter},
                               {"root", &root},
                               {"tsa", &tsa},
                               {"resp-root", &resp_root},
                               {"resp-inter", &resp_inter}}) {
            dir.write(std::string(name) + ".pem", pem_of(e->cert.get()));
            dir.write(std::string(name) + ".key", key_pem(e->key.get(), nullptr));
        }
        dir.write("tsaserial", "01\n");
        dir.write("tsa.cnf", testing_support::ts_reply_config(
                                 dir.file("tsaserial"), dir.file("tsa.pem"), dir.file("tsa.key"),
                                 "sha1, sha256, md_gost12_256, md_gost12_512"));
        index["root"] = line(inter);
        configure(peers.url("/tsp"));
    }
    void configure(const std::string& tsp, const std::string& more = "") {
        start("ca_file = " + dir.file("ca.pem"), "[cades]\ntsp_server = " + tsp +
                                                     "\ntsp_server_2012 = " + tsp +
                                                     "\nmax_ocsp_age = 2\n" + more);
    }
    static std::string line(const Entity& e) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "%lX",
                      ASN1_INTEGER_get(X509_get0_serialNumber(e.cert.get())));
        return std::string("V\t491231235959Z\t\t") + serial + "\tunknown\t/CN=" + serial + "\n";
    }
    // A signer below the intermediate that names the responder, or its CRL and delta CRL.
    Entity signer(KeyType k, Proof proof) {
        if (proof == Proof::self)
            return Entity{ossl::up_ref(self.cert.get()), ossl::up_ref(self.key.get())};
        const long serial = ++next_serial;
        Exts exts;
        if (proof == Proof::ocsp) exts.push_back(aia_ocsp(peers.url("/ocsp-inter")));
        Entity e = issue({"CAdES Signer", serial, 0, 0, exts}, new_key(k), &inter);
        if (proof == Proof::crl) add_crl_points(e, &inter, {peers.url("/inter.crl")});
        if (proof == Proof::crl_generalized)
            add_crl_points(e, &inter, {peers.url("/inter-gen.crl")});
        if (proof == Proof::crl_split)
            add_crl_points(e, &inter,
                           {{peers.url("/split-key.crl"), kKeyReasons},
                            {peers.url("/split-other.crl"), {3, 4, 5, 6, 7, 8}}});
        if (proof == Proof::crl_critical)
            add_crl_points(e, &inter, {peers.url("/inter-critical.crl")});
        if (proof == Proof::crl_delta) add_crl_points(e, &inter, {peers.url("/inter-delta.crl")});
        std::lock_guard<std::mutex> lock(mu);
        if (proof == Proof::crl_hold) {
            const std::string at = "/hold-" + std::to_string(serial);
            add_crl_points(e, &inter, {peers.url(at + ".crl")});
            for (const CrlSpec& spec : hold_released(serial, peers.url(at + "-delta.crl")))
                crls[at + (spec.delta_of < 0 ? ".crl" : "-delta.crl")] =
                    crl_der(make_crl(spec).get());
        }
        index["inter"] += line(e);
        return e;
    }
    // The intermediate's CRL that holds serial, announcing its delta at delta_url, and the
    // delta that takes the hold off.
    std::vector<CrlSpec> hold_released(long serial, const std::string& delta_url,
                                       long delta_of = 20) {
        return {{.issuer = &inter,
                 .revoked = {{serial, now() - kDay, CRL_REASON_CERTIFICATE_HOLD}},
                 .number = 20,
                 .freshest = {delta_url}},
                {.issuer = &inter,
                 .revoked = {{serial, now(), CRL_REASON_REMOVE_FROM_CRL}},
                 .number = 21,
                 .delta_of = delta_of}};
    }
    std::vector<std::string> files_of(const Entity& e) {
        const std::string n = std::to_string(++next_serial);
        dir.write(n + ".pem", pem_of(e.cert.get()));
        dir.write(n + ".key", key_pem(e.key.get(), nullptr));
        return {sha1_hex(e.cert.get(), " "),
                "certfile=" + dir.file(n + ".pem") + ",keyfile=" + dir.file(n + ".key")};
    }

    // SsfSign over the content; the records' results come back in order.
    SAPRETURN sign(Sap fmt, const std::vector<const Entity*>& signers, bool detached, Der& out,
                   std::vector<SAP_UINT>* results = nullptr) {
        SigRcpSsfInfoList list = nullptr;
        for (const Entity* e : signers) {
            auto f = files_of(*e);
            Sap id(f[0]), prof(f[1]);
            SigRcpSsfInfo* rec = nullptr;
            SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, prof.p(), prof.n(), nullptr, 0, 28,
                                &rec);
            SsfINSSigRcpSsfInfo(rec, &list);
        }
        Sap data(ssf_test::data_message(content)), hash("SHA1");
        Out o;
        const SAPRETURN rc = SsfSign(fmt.p(), fmt.n(), hash.p(), hash.n(), 1, detached ? 1 : 0,
                                     data.p(), data.n(), list, &o.data, &o.len);
        out = der(o.str());
        EXPECT_EQ(rc != 0, o.cleared());
        const auto codes = take_results(list);
        if (results) *results = codes;
        return rc;
    }
    SAPRETURN verify(Sap fmt, const Der& sig, bool detached, std::vector<SAP_UINT>& results,
                     const char* directory = "pab") {
        Sap pab(dir.file(directory)), data(ssf_test::data_message(content));
        SigRcpSsfInfoList list = nullptr;
        Out o;
        const SAPRETURN rc = SsfVerify(fmt.p(), fmt.n(), 1, const_cast<unsigned char*>(sig.data()),
                                       static_cast<SAP_UINT>(sig.size()),
                                       detached ? data.p() : nullptr, detached ? data.n() : 0,
                                       pab.p(), pab.n(), nullptr, 0, &list, &o.data, &o.len);
        results = take_results(list);
        return rc;
    }
    // With the directory of that name in the test's folder (none: no directory).
    SAPRETURN enhance(const std::string& signed_der, const std::string* input, std::string& out,
                      std::vector<SAP_UINT>& results, const char* directory = "pab") {
        Sap pab(directory ? dir.file(directory) : ""), sig(signed_der), in(input ? *input : "");
        SigRcpSsfInfoList list = nullptr;
        Out o;
        const SAPRETURN rc =
            SsfEnhanceSignatures(directory ? pab.p() : nullptr, pab.n(), sig.p(), sig.n(),
                                 input ? in.p() : nullptr, in.n(), &list, &o.data, &o.len);
        out = o.str();
        results = take_results(list);
        return rc;
    }
    // VerifyEnhancedSignature on the first SignerInfo, in-process.
    int verify_first(PKCS7* p7, bool detached, bool self_trusted = true) {
        ossl::Bio source(
            detached ? BIO_new_mem_buf(content.data(), static_cast<int>(content.size())) : nullptr);
        ossl::Bio stream = ssf::read_signed_content("test", p7, source);
        ossl::X509Stack pab = ossl::new_x509_stack();
        for (X509* c : {root.cert.get(), self.cert.get(), pki->root.cert.get()})
            if (self_trusted || c != self.cert.get())
                sk_X509_push(pab.get(), ossl::up_ref(c).release());
        return ssf::VerifyEnhancedSignature(stream.get(), p7, first_si(p7), nullptr, pab.get());
    }

    // A token of a kind from the fixture's TSA over the data.
    std::string stamp(int kind, const std::string& data) {
        ossl::Asn1String token;
        ossl::Asn1Time gen;
        ossl::X509Ptr tsa_cert;
        ossl::X509StorePtr store = new_store();
        X509_STORE_add_cert(store.get(), root.cert.get());
        X509_STORE_add_cert(store.get(), inter.cert.get());
        EXPECT_EQ(
            ssf::make_time_stamp(kind, &token, reinterpret_cast<const unsigned char*>(data.data()),
                                 data.size(), EVP_sha1(), store.get(), &tsa_cert, &gen),
            0);
        return bytes_of(token.get());
    }
    void restamp_esc(PKCS7_SIGNER_INFO* si, bool with_tags = true) {
        set_value(si, NID_id_smime_aa_ets_escTimeStamp,
                  stamp(2, *ssf::make_esc_timestamp_data(si, with_tags)));
    }
    // The revocation values as edit leaves them, with references to match and a new ES-C stamp
    // over those: nothing but the edit can fail.
    void replace_values(PKCS7_SIGNER_INFO* si,
                        const std::function<void(REVOCATION_VALUES*)>& edit) {
        ssf::RevocationValues v(
            ssf::decode_value(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues),
                              d2i_REVOCATION_VALUES));
        ssf::RevocationRefs refs(COMPLETE_REVOCATION_REFS_new());
        ASSERT_TRUE(v && refs);
        edit(v.get());
        CRL_OCSP_REF* ref = refs->crlOcspRefs;
        ref->crlids = CRL_LIST_ID_new();
        ref->ocspids = OCSP_LIST_ID_new();
        for (int i = 0; i < sk_X509_CRL_num(v->crlVals); ++i)
            sk_CRL_VALIDATED_ID_push(
                ref->crlids->crls,
                ssf::make_crl_id(sk_X509_CRL_value(v->crlVals, i), EVP_sha256()).release());
        for (int i = 0; i < sk_OCSP_BASICRESP_num(v->ocspVals); ++i)
            sk_OCSP_RESPONSES_ID_push(
                ref->ocspids->OcspRespIds,
                ssf::make_ocsp_resp_id(sk_OCSP_BASICRESP_value(v->ocspVals, i), EVP_sha256())
                    .release());
        ASSERT_TRUE(ssf::set_sequence_attributes(
            si,
            {{NID_id_smime_aa_ets_revocationValues, ssf::der_of(v.get(), i2d_REVOCATION_VALUES)},
             {NID_id_smime_aa_ets_RevocationRefs,
              ssf::der_of(refs.get(), i2d_COMPLETE_REVOCATION_REFS)}}));
        restamp_esc(si);
    }

    HttpReply answer(const HttpRequest& r) {
        std::lock_guard<std::mutex> lock(mu);
        if (auto it = crls.find(r.target); it != crls.end())
            return HttpReply::make(200, it->second);
        const std::string n = std::to_string(++requests);
        if (r.target == "/tsp")
            return HttpReply::make(
                200, testing_support::ts_reply(dir.path(), n, dir.file("tsa.cnf"), r.body,
                                               dir.file("engine.cnf")));
        const std::string ca = r.target == "/ocsp-root" ? "root" : "inter";
        dir.write("index-" + ca, index[ca]);
        const testing_support::OcspResponder responder{
            dir.file("index-" + ca), dir.file(ca + ".pem"), dir.file("resp-" + ca + ".pem"),
            dir.file("resp-" + ca + ".key")};
        return HttpReply::make(200, testing_support::ocsp_reply(dir.path(), n, responder, r.body,
                                                                dir.file("engine.cnf")));
    }

    // What the stock tools say about a CADES_XLT1 message: the base signature, the signature time
    // stamp over the signature value, every stored OCSP response and CRL.
    void check_with_stock_tools(const Der& sig, bool gost, bool detached) {
        dir.write("sig.der", str(sig));
        dir.write("content", content);
        const std::string engine = gost ? " -engine @W" : "";
        const auto cms =
            run_openssl("cms -verify" + engine + " -inform DER -in " + dir.file("sig.der") +
                            (detached ? " -content " + dir.file("content") : "") + " -CAfile " +
                            dir.file("ca.pem") + " -binary -out /dev/null",
                        true);
        EXPECT_EQ(cms.status, 0) << cms.out;
        ossl::Pkcs7 p7 = from_der(sig);
        PKCS7_SIGNER_INFO* si = first_si(p7.get());
        dir.write("sigvalue", bytes_of(si->enc_digest));
        dir.write("token", bytes_of(ssf::unsigned_sequence(si, NID_id_smime_aa_timeStampToken)));
        const auto ts =
            run_openssl("ts -verify -data " + dir.file("sigvalue") + " -in " + dir.file("token") +
                            " -token_in -CAfile " + dir.file("ca.pem"),
                        true, dir.file("engine.cnf"));
        EXPECT_NE(ts.out.find("Verification: OK"), std::string::npos) << ts.out;
        ssf::RevocationValues values(
            ssf::decode_value(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues),
                              d2i_REVOCATION_VALUES));
        ASSERT_TRUE(values);
        for (int i = 0; i < sk_OCSP_BASICRESP_num(values->ocspVals); ++i) {
            dir.write("resp",
                      str(to_der(
                          make_ocsp_response(sk_OCSP_BASICRESP_value(values->ocspVals, i)).get())));
            const auto r =
                run_openssl("ocsp -respin " + dir.file("resp") + " -CAfile " + dir.file("ca.pem"),
                            true, dir.file("engine.cnf"));
            EXPECT_NE(r.out.find("Response verify OK"), std::string::npos) << r.out;
        }
        for (int i = 0; i < sk_X509_CRL_num(values->crlVals); ++i) {
            dir.write("crl", crl_der(sk_X509_CRL_value(values->crlVals, i)));
            const auto r = run_openssl("crl -inform DER -in " + dir.file("crl") + " -CAfile " +
                                           dir.file("ca.pem") + " -noout",
                                       true);
            EXPECT_NE(r.out.find("verify OK"), std::string::npos) << r.out;
        }
    }

    testing_support::HttpStub peers{[this](const HttpRequest& r) { return answer(r); }};
    std::mutex mu;
    std::map<std::string, std::string> crls, index;
    int requests = 0;
    long next_serial = 0x1100;
    Entity root, inter, resp_root, resp_inter, tsa, self;
    const std::string content = "document to be enhanced\n";
};

TEST_F(Cades, SignaturesOfEveryKindAreEnhancedAndVerifyHereAndWithStockTools) {
    const struct {
        const char* name;
        const char* format;
        KeyType key;
        Proof proof;
        bool detached;
        int ocsp_vals, crl_vals;
    } cases[] = {
        {"RSA, responders for the signer and the CA", "CADES_XLT1", KeyType::rsa, Proof::ocsp,
         false, 2, 0},
        {"EC, CRL and delta CRL", "PKCS7_CADES", KeyType::ec, Proof::crl, false, 1, 2},
        {"EC, a CRL with GeneralizedTime", "CADES_XLT1", KeyType::ec, Proof::crl_generalized, false,
         1, 1},
        {"GOST 2012-256, responders", "CADES_XLT1", KeyType::gost256, Proof::ocsp, false, 2, 0},
        {"GOST 2012-512, CRLs, detached", "CADES_XLT1", KeyType::gost512, Proof::crl, true, 1, 2},
        {"EC, CRLs split by reason over two points", "CADES_XLT1", KeyType::ec, Proof::crl_split,
         false, 1, 2},
        {"EC, a hold its delta CRL takes off", "CADES_XLT1", KeyType::ec, Proof::crl_hold, false, 1,
         2},
        {"self-issued signer", "CADES_XLT1", KeyType::ec, Proof::self, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Entity s = signer(c.key, c.proof);
        Der sig;
        std::vector<SAP_UINT> results;
        ASSERT_EQ(sign(c.format, {&s}, c.detached, sig, &results), 0u) << fresh();
        EXPECT_EQ(results, std::vector<SAP_UINT>{0});
        for (const char* fmt : {"CADES_XLT1", "PKCS7_ANY"}) {
            EXPECT_EQ(verify(fmt, sig, c.detached, results), 0u) << fmt << fresh();
            EXPECT_EQ(results, std::vector<SAP_UINT>{0}) << fmt;
        }
        ossl::Pkcs7 p7 = from_der(sig);
        PKCS7_SIGNER_INFO* si = first_si(p7.get());
        ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->unauth_attr), 6);  // DER sorts them: one of each
        for (int nid : kEnhancement) EXPECT_NE(PKCS7_get_attribute(si, nid), nullptr);
        ssf::RevocationValues values(
            ssf::decode_value(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues),
                              d2i_REVOCATION_VALUES));
        ssf::RevocationRefs refs(
            ssf::decode_value(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_RevocationRefs),
                              d2i_COMPLETE_REVOCATION_REFS));
        ASSERT_TRUE(values && refs);
        EXPECT_EQ(sk_OCSP_BASICRESP_num(values->ocspVals), c.ocsp_vals);
        ASSERT_EQ(sk_X509_CRL_num(values->crlVals), c.crl_vals);
        const CRL_OCSP_REF* ref = refs->crlOcspRefs;
        EXPECT_EQ(sk_OCSP_RESPONSES_ID_num(ref->ocspids->OcspRespIds), c.ocsp_vals);
        ASSERT_EQ(sk_CRL_VALIDATED_ID_num(ref->crlids->crls), c.crl_vals);
        for (int i = 0; i < c.crl_vals; ++i)  // the CRL, then its delta, referenced in that order
            EXPECT_EQ(ssf::crlid_and_crl_match(sk_CRL_VALIDATED_ID_value(ref->crlids->crls, i),
                                               sk_X509_CRL_value(values->crlVals, i)),
                      1);
        if (c.proof == Proof::self) {  // both lists written, both empty
            EXPECT_EQ(
                hex_of(bytes_of(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues))),
                "3008a0023000a1023000");
            EXPECT_EQ(
                hex_of(bytes_of(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_RevocationRefs))),
                "300e300ca00430023000a10430023000");
        }
        check_with_stock_tools(sig, c.key == KeyType::gost256 || c.key == KeyType::gost512,
                               c.detached);
    }
    // The CA's CRL carries a critical extension that the crypto library does not process, or
    // the point serves the CA's delta CRL alone: it clears nobody, and the signer cannot be
    // enhanced.
    for (const auto& [proof, why] :
         {std::pair{Proof::crl_critical, "it carries the critical extension 1.3.6.1.4.1.99999.7"},
          std::pair{Proof::crl_delta, "it is a delta CRL without its base"}}) {
        const Entity unclear = signer(KeyType::ec, proof);
        Der none;
        std::vector<SAP_UINT> codes;
        EXPECT_EQ(sign("CADES_XLT1", {&unclear}, false, none, &codes), 5u);
        EXPECT_EQ(codes, std::vector<SAP_UINT>{107});
        EXPECT_TRUE(log_contains(
            std::string("check_for_revocation() : a CRL of 'CN=CAdES Inter, O=Selvanor Test, "
                        "C=RU' is not used to clear 'CN=CAdES Signer, O=Selvanor Test, C=RU': ") +
            why));
    }
    // The TSA down: the signer's code, and no output at all.
    configure("http://127.0.0.1:" + std::to_string(testing_support::free_port()) + "/");
    const Entity s = signer(KeyType::ec, Proof::crl);
    Der sig;
    std::vector<SAP_UINT> results;
    EXPECT_EQ(sign("CADES_XLT1", {&s}, false, sig, &results), 5u);
    EXPECT_EQ(results, std::vector<SAP_UINT>{113});
    EXPECT_TRUE(sig.empty());
}

// The delta CRL is looked for where the signer's base CRL names it, else where the signer's
// certificate does, each URL in turn until one extends the base, and a listing counts in any CRL
// fetched there: enhancement refuses a signer any of them lists, and embeds the base with the
// delta that extends it. The TSA's intermediate is judged the same way.
TEST_F(Cades, DeltaCrlsAreLookedForWhereTheBaseOrTheCertificateNamesThem) {
    const long signer_serial = 0;  // stands for the signer's serial number in the rows
    const Revoked held{signer_serial, now() - kDay, CRL_REASON_CERTIFICATE_HOLD},
        released{signer_serial, now(), CRL_REASON_REMOVE_FROM_CRL},
        revoked{signer_serial, now() - kDay, CRL_REASON_KEY_COMPROMISE};
    const CrlSpec older{.number = 19, .delta_of = 18};
    const struct {
        const char* name;
        std::vector<std::pair<std::string, CrlSpec>> served;  // the base first
        bool certificate_names_delta;
        SAP_UINT result;
    } rows[] = {
        {"a newer complete CRL at the base's delta URL holding it",
         {{"base", {.number = 20, .freshest = {"d1"}}},
          {"d1", {.last_update = now() - 3600, .revoked = {held}, .number = 21}}},
         false,
         107},
        {"a delta at the certificate's delta URL listing it",
         {{"base", {.number = 20}}, {"cd", {.revoked = {revoked}, .number = 21, .delta_of = 20}}},
         true,
         107},
        {"a hold the delta at the certificate's delta URL releases",
         {{"base", {.revoked = {held}, .number = 20}},
          {"cd", {.revoked = {released}, .number = 21, .delta_of = 20}}},
         true,
         0},
        {"two delta URLs, an older delta at the first, the current one listing it",
         {{"base", {.number = 20, .freshest = {"d1", "d2"}}},
          {"d1", older},
          {"d2", {.revoked = {revoked}, .number = 21, .delta_of = 20}}},
         false,
         107},
        {"two delta URLs, an older delta at the first, the current one not listing it",
         {{"base", {.number = 20, .freshest = {"d1", "d2"}}},
          {"d1", older},
          {"d2", {.number = 21, .delta_of = 20}}},
         false,
         0},
        {"an older delta at the base's delta URL, the current one at the certificate's listing it",
         {{"base", {.number = 20, .freshest = {"d1"}}},
          {"d1", older},
          {"cd", {.revoked = {revoked}, .number = 21, .delta_of = 20}}},
         true,
         107},
        {"the base's delta URL unreachable, the certificate's delta extending it",
         {{"base", {.number = 20, .freshest = {"gone"}}}, {"cd", {.number = 21, .delta_of = 20}}},
         true,
         0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const long serial = ++next_serial;
        const std::string at = "/served-" + std::to_string(serial) + "-";
        Entity s = issue({"CAdES Signer", serial}, new_key(KeyType::ec), &inter);
        add_crl_points(s, &inter, {peers.url(at + "base")});
        if (r.certificate_names_delta) add_crl_points(s, &inter, {peers.url(at + "cd")}, true);
        std::vector<std::string> ders;
        for (auto [name, spec] : r.served) {
            spec.issuer = &inter;
            for (std::string& f : spec.freshest) f = peers.url(at + f);
            for (Revoked& e : spec.revoked) e.serial = serial;
            ders.push_back(crl_der(make_crl(spec).get()));
            std::lock_guard<std::mutex> lock(mu);
            crls[at + name] = ders.back();
        }
        Der sig;
        std::vector<SAP_UINT> results;
        EXPECT_EQ(sign("CADES_XLT1", {&s}, false, sig, &results), r.result ? 5u : 0u) << fresh();
        EXPECT_EQ(results, std::vector<SAP_UINT>{r.result});
        if (r.result || sig.empty()) continue;
        EXPECT_EQ(verify("CADES_XLT1", sig, false, results), 0u) << fresh();
        EXPECT_EQ(results, std::vector<SAP_UINT>{0});
        ssf::RevocationValues values(
            ssf::decode_value(ssf::unsigned_sequence(first_si(from_der(sig).get()),
                                                     NID_id_smime_aa_ets_revocationValues),
                              d2i_REVOCATION_VALUES));
        ASSERT_TRUE(values);
        std::vector<std::string> embedded;
        for (int i = 0; i < sk_X509_CRL_num(values->crlVals); ++i)
            embedded.push_back(crl_der(sk_X509_CRL_value(values->crlVals, i)));
        EXPECT_TRUE(embedded == (std::vector{ders.front(), ders.back()}))  // the base, its delta
            << embedded.size() << " CRLs";
        check_with_stock_tools(sig, false, false);
    }
    // The TSA's intermediate: the root's current delta CRL, at its second delta URL, lists it;
    // then a TSA below another intermediate, whose own delta URL serves the root's current delta
    // listing it while the base's serves an older one.
    {
        std::lock_guard<std::mutex> lock(mu);
        CrlSpec listing{
            .issuer = &root, .revoked = {{0x1002, now() - kDay, 1}}, .number = 6, .delta_of = 5},
            old_delta{.issuer = &root, .number = 4, .delta_of = 3};
        crls["/root.crl"] =
            crl_der(make_crl({.issuer = &root,
                              .number = 5,
                              .freshest = {peers.url("/root-d1.crl"), peers.url("/root-d2.crl")}})
                        .get());
        crls["/root-d1.crl"] = crl_der(make_crl(old_delta).get());
        crls["/root-d2.crl"] = crl_der(make_crl(listing).get());
    }
    const Entity s = signer(KeyType::ec, Proof::crl);
    auto tsa_refused = [&] {
        Der sig;
        std::vector<SAP_UINT> results;
        EXPECT_EQ(sign("CADES_XLT1", {&s}, false, sig, &results), 5u);
        EXPECT_EQ(results, std::vector<SAP_UINT>{115}) << fresh();
    };
    tsa_refused();
    Exts tsa_inter_exts = ca_exts();
    tsa_inter_exts.push_back({"crlDistributionPoints", "URI:" + peers.url("/root.crl")});
    tsa_inter_exts.push_back({"freshestCRL", "URI:" + peers.url("/root-cd.crl")});
    const Entity tsa_inter =
        issue({"CAdES TSA Inter", 0x1007, 0, 0, tsa_inter_exts}, new_key(KeyType::ec), &root);
    Exts tsa_ext = tsa_exts();
    tsa_ext.push_back({"crlDistributionPoints", "URI:" + peers.url("/inter.crl")});
    const Entity lower_tsa =
        issue({"CAdES TSA", 0x1008, 0, 0, tsa_ext}, new_key(KeyType::ec), &tsa_inter);
    {
        std::lock_guard<std::mutex> lock(mu);
        crls["/root.crl"] = crl_der(
            make_crl({.issuer = &root, .number = 5, .freshest = {peers.url("/root-d1.crl")}})
                .get());
        crls["/root-cd.crl"] =
            crl_der(make_crl({.issuer = &root,
                              .revoked = {{0x1007, now() - kDay, CRL_REASON_KEY_COMPROMISE}},
                              .number = 6,
                              .delta_of = 5})
                        .get());
    }
    dir.write("tsa.pem", pem_of(lower_tsa.cert.get()));
    dir.write("tsa.key", key_pem(lower_tsa.key.get(), nullptr));
    dir.write("ca.pem",
              pem_of(root.cert.get()) + pem_of(inter.cert.get()) + pem_of(tsa_inter.cert.get()));
    configure(peers.url("/tsp"));
    tsa_refused();
    EXPECT_TRUE(
        log_contains("check_for_revocation() : no delta crl the base crl names extends it: "
                     "the certificate's points are tried"));
}

TEST_F(Cades, ExistingDocumentsAreEnhancedOnceEachSignerGetsItsCode) {
    const Entity a = signer(KeyType::rsa, Proof::ocsp), b = signer(KeyType::ec, Proof::crl);
    Der attached, detached;
    ASSERT_EQ(sign("CADES_BES", {&a, &b}, false, attached), 0u);
    ASSERT_EQ(sign("CADES_BES", {&a, &b}, true, detached), 0u);
    std::string enhanced;
    std::vector<SAP_UINT> results;
    ASSERT_EQ(enhance(str(attached), nullptr, enhanced, results), 0u) << fresh();
    EXPECT_EQ(results, (std::vector<SAP_UINT>{0, 0}));
    // One SignerInfo loses its ES-C stamp: enhanced again, while the other stays as it is.
    ossl::Pkcs7 partly = from_der(der(enhanced));
    PKCS7_SIGNER_INFO* si = first_si(partly.get());
    const int esc = X509at_get_attr_by_NID(si->unauth_attr, NID_id_smime_aa_ets_escTimeStamp, -1);
    ossl::Attribute gone(X509at_delete_attr(si->unauth_attr, esc));
    const std::string partly_der = str(to_der(partly.get())), other = "other content";
    const struct {
        const char* name;
        std::string signed_der;
        const std::string* input;
        SAPRETURN rc;
        std::vector<SAP_UINT> results;
        const char* pab = "pab";
    } cases[] = {
        {"already enhanced and valid", enhanced, nullptr, 0, {101, 101}},
        // Their roots travel in the certValues; only the directory makes them trusted.
        {"already enhanced, no directory", enhanced, nullptr, 5, {115, 115}, nullptr},
        {"already enhanced, a directory without their root",
         enhanced,
         nullptr,
         5,
         {115, 115},
         "kit-pab"},
        {"one of two lost its ES-C stamp", partly_der, nullptr, 0, {0, 101}},
        {"detached with its content", str(detached), &content, 0, {0, 0}},
        {"detached with other content", str(detached), &other, 5, {27, 27}},
        {"detached without content", str(detached), nullptr, 3, {}},
        {"attached with other content", str(attached), &other, 3, {}},
        {"not signed data", ssf_test::data_message(content), nullptr, 12, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(enhance(c.signed_der, c.input, out, results, c.pab), c.rc) << fresh();
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(out.empty(), c.rc != 0);
        if (c.rc == 5 && c.pab && c.signed_der == enhanced) {  // as SsfVerify judges them
            EXPECT_EQ(verify("CADES_XLT1", der(c.signed_der), c.input != nullptr, results, c.pab),
                      5u);
            EXPECT_EQ(results, c.results);
        }
        if (c.rc != 0) continue;
        EXPECT_EQ(verify("CADES_XLT1", der(out), c.input != nullptr, results), 0u) << fresh();
        ossl::Pkcs7 p7 = from_der(der(out));
        if (!c.input) EXPECT_EQ(bytes_of(p7->d.sign->contents->d.data), content);
        for (int i = 0; i < 2; ++i)  // one attribute of each type
            EXPECT_EQ(
                X509at_get_attr_count(
                    sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), i)->unauth_attr),
                6);
    }
}

TEST_F(Cades, AlteredSignaturesGiveTheirCodes) {
    const Entity by_ocsp = signer(KeyType::rsa, Proof::ocsp),
                 by_crl = signer(KeyType::ec, Proof::crl),
                 by_split = signer(KeyType::ec, Proof::crl_split),
                 by_self = signer(KeyType::ec, Proof::self);
    Der with_ocsp, with_crl, with_split, with_self;
    ASSERT_EQ(sign("CADES_XLT1", {&by_ocsp}, false, with_ocsp), 0u);
    ASSERT_EQ(sign("CADES_XLT1", {&by_crl}, false, with_crl), 0u);
    ASSERT_EQ(sign("CADES_XLT1", {&by_split}, false, with_split), 0u) << fresh();
    ASSERT_EQ(sign("CADES_XLT1", {&by_self}, false, with_self), 0u);
    using Edit = std::function<void(PKCS7_SIGNER_INFO*)>;
    auto edit_values = [](std::function<void(REVOCATION_VALUES*)> f) {
        return [f](PKCS7_SIGNER_INFO* si) {
            ssf::RevocationValues v(
                ssf::decode_value(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues),
                                  d2i_REVOCATION_VALUES));
            f(v.get());
            set_value(si, NID_id_smime_aa_ets_revocationValues,
                      ssf::der_of(v.get(), i2d_REVOCATION_VALUES));
        };
    };
    auto consistent_values = [this](std::function<void(REVOCATION_VALUES*)> f) {
        return [this, f](PKCS7_SIGNER_INFO* si) { replace_values(si, f); };
    };
    // New stored responses for the OCSP signer's path (the signer, then the intermediate),
    // produced now, after the signature time stamp.
    struct Responses {
        CertStatus status = CertStatus::good;  // the signer's
        bool with_certs = true, by_key = false, bad_signature = false;
        const Entity* signer = nullptr;         // of the signer's response; nullptr: resp_inter
        std::vector<const Entity*> ahead = {};  // in the signer's response before the rest
    };
    auto responses = [&](Responses r) {
        return consistent_values([&, r](REVOCATION_VALUES* v) {
            const std::pair<const Entity*, SingleSpec> path[] = {
                {&resp_inter, {&by_ocsp, &inter, r.status}}, {&resp_root, {&inter, &root}}};
            for (int i = 0; i < 2; ++i) {
                OcspSpec spec;
                spec.responder = i == 0 && r.signer ? r.signer : path[i].first;
                if (i == 0) spec.ahead = r.ahead;
                spec.by_key = r.by_key;
                spec.with_certs = r.with_certs;
                spec.singles.push_back(path[i].second);
                ossl::OcspBasicResp bs = make_basic(spec);
                if (r.bad_signature && i == 0)
                    const_cast<ASN1_BIT_STRING*>(OCSP_resp_get0_signature(bs.get()))->data[7] ^= 1;
                ossl::OcspBasicResp gone(sk_OCSP_BASICRESP_value(v->ocspVals, i));
                sk_OCSP_BASICRESP_set(v->ocspVals, i, bs.release());
            }
        });
    };
    auto add_cert_value = [](X509* cert, bool in_front = false) {
        return [cert, in_front](PKCS7_SIGNER_INFO* si) {
            const ASN1_STRING* seq = ssf::unsigned_sequence(si, NID_id_smime_aa_ets_certValues);
            ossl::X509Stack certs(
                ssf::unpack_certs(ASN1_STRING_get0_data(seq), ASN1_STRING_length(seq)));
            sk_X509_insert(certs.get(), ossl::up_ref(cert).release(),
                           in_front ? 0 : sk_X509_num(certs.get()));
            set_value(si, NID_id_smime_aa_ets_certValues,
                      ssf::seq_pack_der(certs.get(), ASN1_ITEM_rptr(CERT_VALUES)));
        };
    };
    const time_t t = now();
    const Entity short_lived = issue({"CAdES Short", 0x1201, t - kYear, t + kDay},
                                     new_key(KeyType::ec), &inter),
                 late = issue({"CAdES Late", 0x1202, t + kDay, t + kYear}, new_key(KeyType::ec),
                              &inter);
    // A responder without ocsp-nocheck, and a certificate in its name with it that nobody
    // certified.
    const Entity
        checked =
            issue({"CAdES Checked Responder", 0x1203, 0, 0, {{"extendedKeyUsage", "OCSPSigning"}}},
                  new_key(KeyType::ec), &inter),
        impostor = issue({"CAdES Checked Responder", 0x1204, 0, 0, ocsp_responder_exts()},
                         new_key(KeyType::ec), nullptr),
        evil = issue({"Evil OCSP", 0x1206, 0, 0, ocsp_responder_exts()}, new_key(KeyType::ec),
                     nullptr);
    // Forgeries anyone holding the document can make: a CA certificate in the intermediate's
    // name with a key of its own (and another kind, so the real intermediate is not taken for its
    // issuer by its key type), and below it a TSA in the real TSA's serial number and a
    // certificate in the signer's serial number for someone else.
    const long tsa_serial = ASN1_INTEGER_get(X509_get0_serialNumber(tsa.cert.get()));
    const Entity namesake = issue({"CAdES Inter", 0x1205, 0, 0, ca_exts()}, new_key(KeyType::rsa),
                                  nullptr),
                 forged_tsa = issue({"CAdES Forged TSA", tsa_serial, 0, 0, tsa_exts()},
                                    new_key(KeyType::ec), &namesake),
                 renamed =
                     issue({"Victim Director",
                            ASN1_INTEGER_get(X509_get0_serialNumber(by_crl.cert.get())), 0, 0},
                           new_key(KeyType::ec), &namesake);
    // The signature time stamp made again by the forged TSA, with the real stamp's unsigned
    // attributes and the real TSA and its namesake issuer among its certValues.
    auto forge_stamp = [&](PKCS7_SIGNER_INFO* si) {
        ossl::Pkcs7 real =
            from_der(der(bytes_of(ssf::unsigned_sequence(si, NID_id_smime_aa_timeStampToken))));
        ossl::TsTstInfo real_tst(PKCS7_to_TS_TST_INFO(real.get()));
        ossl::Pkcs7 token = make_token(
            {.tsa = &forged_tsa,
             .gen_time = ssf::generalizedtime_to_time_t(TS_TST_INFO_get_time(real_tst.get())),
             .data = bytes_of(si->enc_digest),
             .imprint_md = EVP_sha1()});
        PKCS7_SIGNER_INFO* real_si = first_si(real.get());
        PKCS7_SIGNER_INFO* forged_si = first_si(token.get());
        forged_si->unauth_attr = X509at_add1_attr(nullptr, nullptr);
        for (int i = 0; i < sk_X509_ATTRIBUTE_num(real_si->unauth_attr); ++i)
            X509at_add1_attr(&forged_si->unauth_attr,
                             sk_X509_ATTRIBUTE_value(real_si->unauth_attr, i));
        ossl::X509Stack values = ossl::new_x509_stack();
        for (X509* c : {tsa.cert.get(), namesake.cert.get()})
            sk_X509_push(values.get(), ossl::up_ref(c).release());
        set_value(forged_si, NID_id_smime_aa_ets_certValues,
                  ssf::seq_pack_der(values.get(), ASN1_ITEM_rptr(CERT_VALUES)));
        set_value(si, NID_id_smime_aa_timeStampToken, str(to_der(token.get())));
        restamp_esc(si);
    };
    // The signer's CRL replaced by one that lists it; beside it, a CRL in the intermediate's name
    // by the namesake, with its key identifier, that lists nothing.
    auto forged_crl = [&](bool with_real) {
        return [&, with_real, add = add_cert_value(namesake.cert.get())](PKCS7_SIGNER_INFO* si) {
            add(si);
            replace_values(si, [&](REVOCATION_VALUES* v) {
                const long serial = ASN1_INTEGER_get(X509_get0_serialNumber(by_crl.cert.get()));
                sk_X509_CRL_pop_free(v->crlVals, X509_CRL_free);
                v->crlVals = sk_X509_CRL_new_null();
                sk_X509_CRL_push(v->crlVals,
                                 make_crl({.issuer = &namesake, .key_id = true}).release());
                if (with_real)
                    sk_X509_CRL_push(v->crlVals, make_crl({.issuer = &inter,
                                                           .revoked = {{serial, now() - kDay}}})
                                                     .release());
            });
        };
    };
    // The signer's CA's own CRLs alone, listing the signer nowhere, as specs have them (their
    // issuer aside).
    auto own_crls = [&](std::vector<CrlSpec> specs) {
        return consistent_values([&, specs](REVOCATION_VALUES* v) {
            sk_X509_CRL_pop_free(v->crlVals, X509_CRL_free);
            v->crlVals = sk_X509_CRL_new_null();
            for (CrlSpec spec : specs) {
                spec.issuer = &inter;
                sk_X509_CRL_push(v->crlVals, make_crl(spec).release());
            }
        });
    };
    auto own_crl = [&](const CrlSpec& spec) { return own_crls({spec}); };
    const long crl_signer = ASN1_INTEGER_get(X509_get0_serialNumber(by_crl.cert.get()));
    const std::string delta_url = peers.url("/inter-delta.crl");
    const std::string ca = "get_cert_status() : a CRL of 'CN=CAdES Inter, O=Selvanor Test, C=RU' ",
                      out_of_scope = ca +
                                     "whose scope does not cover 'CN=CAdES Signer, O=Selvanor "
                                     "Test, C=RU' is not used: ",
                      not_processed = ca +
                                      "is not used to clear 'CN=CAdES Signer, O=Selvanor Test, "
                                      "C=RU': it carries the critical extension ",
                      some_reasons =
                          "get_cert_status() : the CRLs of 'CN=CAdES Inter, O=Selvanor Test, "
                          "C=RU' cover only some reasons for revocation";
    const struct {
        const char* name;
        const Der* sig;
        Edit edit;
        int rc, attributes_rc;
        std::string logged;
        time_t clock = 0;  // the library's clock this far ahead
        bool self_trusted = true;
        bool exports = false;  // the exports give the same code
        bool issuer_check_off = false;
    } cases[] = {
        {"as made", &with_crl, nullptr, 0, 0, ""},
        {"certValues without the signer", &with_crl,
         [&](PKCS7_SIGNER_INFO* si) {
             ossl::X509Stack certs(ssf::unpack_certs(
                 ASN1_STRING_get0_data(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_certValues)),
                 ASN1_STRING_length(ssf::unsigned_sequence(si, NID_id_smime_aa_ets_certValues))));
             for (int i = sk_X509_num(certs.get()) - 1; i >= 0; --i)
                 if (!X509_cmp(sk_X509_value(certs.get(), i), by_crl.cert.get()))
                     ossl::X509Ptr gone(sk_X509_delete(certs.get(), i));
             set_value(si, NID_id_smime_aa_ets_certValues,
                       ssf::seq_pack_der(certs.get(), ASN1_ITEM_rptr(CERT_VALUES)));
         },
         117, 110, "VerifyEnhancedSignature() 2 : signer's certificate not found"},
        {"ES-C stamp over the form without tags", &with_crl,
         [&](PKCS7_SIGNER_INFO* si) { restamp_esc(si, false); }, 0, 0,
         "ssf_verify_escTimeStamp() 2 : escTimeStamp with headers is not valid, trying to verify "
         "escTimeStamp w/o headers"},
        {"signature time stamp over other data", &with_crl,
         [&](PKCS7_SIGNER_INFO* si) {
             set_value(si, NID_id_smime_aa_timeStampToken, stamp(1, "other data"));
             restamp_esc(si);
         },
         118, 118, "VerifyEnhancedSignatureAttributes() 3 : timeStampToken is not valid"},
        {"ES-C stamp over other data", &with_crl,
         [&](PKCS7_SIGNER_INFO* si) {
             set_value(si, NID_id_smime_aa_ets_escTimeStamp, stamp(2, "other data"));
         },
         123, 123, "VerifyEnhancedSignatureAttributes() 5 : ES-C timestamp is not valid"},
        {"OCSP response produced before the signature time stamp", &with_ocsp,
         edit_values([&](REVOCATION_VALUES* v) {
             OcspSpec spec;
             spec.responder = &resp_inter;
             spec.produced_at = now() - 3600;
             spec.singles.push_back({&by_ocsp, &inter, CertStatus::good, 0, now() + kDay});
             ossl::OcspBasicResp gone(sk_OCSP_BASICRESP_value(v->ocspVals, 0));
             sk_OCSP_BASICRESP_set(v->ocspVals, 0, make_basic(spec).release());
         }),
         110, 110,
         "get_cert_status() 10 : OCSP_BASICRESP has wrong 'producedAt' time, it is too old"},
        {"stored responses without certificates", &with_ocsp, responses({.with_certs = false}), 0,
         0,
         "get_cert_status() 11 : OCSP certificate not found in response, trying to find in "
         "signature attributes"},
        {"stored responses by key without certificates", &with_ocsp,
         responses({.with_certs = false, .by_key = true}), 0, 0,
         "get_cert_status() 11 : OCSP certificate not found in response"},
        {"a stored response says revoked", &with_ocsp, responses({.status = CertStatus::revoked}),
         106, 106, "get_cert_status() 7 : certificate '"},
        {"a stored response says unknown", &with_ocsp, responses({.status = CertStatus::unknown}),
         107, 107, "get_cert_status() 8 : certificate '"},
        {"a stored response whose signature does not verify", &with_ocsp,
         responses({.bad_signature = true}), 27, 27,
         "get_cert_status() 6 : SSF_OCSP_basic_verify( #0 ) failed"},
        {"a stored response whose first certificate has ocsp-nocheck, its signer's not", &with_ocsp,
         responses({.signer = &checked, .ahead = {&resp_inter}}), 105, 105,
         "get_cert_status() 13 : id-pkix-ocsp-nocheck extension not found in response"},
        {"a stored response the CA signed itself", &with_ocsp, responses({.signer = &inter}), 105,
         105, "get_cert_status() 13 : id-pkix-ocsp-nocheck extension not found in response"},
        {"a stored response with its signer's certificate second", &with_ocsp,
         responses({.ahead = {&checked}}), 0, 0, ""},
        {"a stored response with a signer's namesake that has ocsp-nocheck", &with_ocsp,
         [&, add = add_cert_value(checked.cert.get()),
          edit = responses(
              {.with_certs = false, .signer = &checked, .ahead = {&resp_inter, &impostor}})](
             PKCS7_SIGNER_INFO* si) {
             add(si);
             edit(si);
         },
         105, 105, "get_cert_status() 13 : id-pkix-ocsp-nocheck extension not found in response"},
        {"as made, the OCSP issuer check off", &with_ocsp, nullptr, 0, 0, "", 0, true, false, true},
        {"a good answer by a self-signed responder in certValues, the OCSP issuer check off",
         &with_ocsp,
         [&, add = add_cert_value(evil.cert.get()),
          edit = responses({.signer = &evil})](PKCS7_SIGNER_INFO* si) {
             add(si);
             edit(si);
         },
         27, 0,
         "SSF_OCSP_basic_verify() 2 : the responder's chain ends at '/C=RU/O=Selvanor Test/CN=Evil "
         "OCSP', which is not a trusted root",
         0, true, true, true},
        {"a certificate naming a responder with only CRLs stored", &with_ocsp,
         consistent_values([&](REVOCATION_VALUES* v) {
             sk_OCSP_BASICRESP_pop_free(v->ocspVals, OCSP_BASICRESP_free);
             v->ocspVals = sk_OCSP_BASICRESP_new_null();
             sk_X509_CRL_push(v->crlVals, make_crl({.issuer = &inter}).release());
             sk_X509_CRL_push(v->crlVals, make_crl({.issuer = &root}).release());
         }),
         107, 107, "get_cert_status() 15 : certificate '"},
        {"a stored CRL that lists the signer", &with_crl,
         consistent_values([&](REVOCATION_VALUES* v) {
             const long serial = ASN1_INTEGER_get(X509_get0_serialNumber(by_crl.cert.get()));
             ossl::X509Crl gone(sk_X509_CRL_value(v->crlVals, 0));
             sk_X509_CRL_set(
                 v->crlVals, 0,
                 make_crl({.issuer = &inter, .revoked = {{serial, now() - kDay}}}).release());
         }),
         107, 107, "get_cert_status() 17 : certificate found in CRL, certificate is invalid"},
        {"a stored CRL altered", &with_crl, edit_values([](REVOCATION_VALUES* v) {
             ossl::X509Crl gone(sk_X509_CRL_value(v->crlVals, 0));
             std::string d = crl_der(gone.get());
             d[d.size() - 1] ^= 1;
             const unsigned char* p = reinterpret_cast<const unsigned char*>(d.data());
             sk_X509_CRL_set(v->crlVals, 0, d2i_X509_CRL(nullptr, &p, static_cast<long>(d.size())));
         }),
         107, 107,
         "get_cert_status() : a CRL of 'CN=CAdES Inter, O=Selvanor Test, C=RU' that does not "
         "verify under the key of the issuer in the checked chain"},
        {"a self-issued signer outside the trusted roots", &with_self, nullptr, 120, 0,
         "ssf_verify_cert() 11 : signer's root CA certificate not found in trusted roots", 0,
         false},
        {"a signature time stamp by a TSA in the real one's issuer and serial number", &with_crl,
         forge_stamp, 118, 118,
         "ssf_verify_TS_token() 3.1 : the token carries two different certificates with the TSA's "
         "issuer and serial number",
         0, true, true},
        {"a certificate in the signer's issuer and serial number for another name, in front",
         &with_crl, add_cert_value(renamed.cert.get(), true), 27, 27,
         "VerifyEnhancedSignature() 2.1 : two different certificates in 'certValues' answer to the "
         "signer's issuer and serial number",
         0, true, true},
        {"the CRL that lists the signer behind a namesake CA's CRL that lists nothing", &with_crl,
         forged_crl(true), 107, 107,
         "get_cert_status() 17 : certificate found in CRL, certificate is invalid", 0, true, true},
        {"only a namesake CA's CRL, listing nothing", &with_crl, forged_crl(false), 107, 107,
         "get_cert_status() 18 : revocation info not found for certificate '", 0, true, true},
        {"only the CA's CRL for CA certificates", &with_crl,
         own_crl({.idp = IdpSpec{.only_ca = true}}), 107, 107,
         out_of_scope + "it covers only CA certificates", 0, true, true},
        {"only the CA's CRL of another partition", &with_crl,
         own_crl({.idp = IdpSpec{.point = peers.url("/part2.crl")}}), 107, 107,
         out_of_scope + "its distribution point is none of the certificate's", 0, true, true},
        {"only the CA's CRL for CA compromise", &with_crl,
         own_crl({.idp = IdpSpec{.reasons = {2}}}), 107, 107, some_reasons, 0, true, true},
        {"the CA's CRL of the signer's own partition", &with_crl,
         own_crl({.idp = IdpSpec{.point = peers.url("/inter.crl")}}), 0, 0, ""},
        {"only the CA's CRL with a critical private extension", &with_crl,
         own_crl({.exts = {kPrivateExt}}), 107, 107, not_processed + "1.3.6.1.4.1.99999.7", 0, true,
         true},
        {"only the CA's CRL with a critical private extension on another serial number's entry",
         &with_crl, own_crl({.revoked = {{0x7777, now()}}, .entry_exts = {kPrivateExt}}), 107, 107,
         ca + "is not used to clear 'CN=CAdES Signer, O=Selvanor Test, C=RU': its entry for "
              "serial number 7777 carries the critical extension 1.3.6.1.4.1.99999.7",
         0, true, true},
        {"only the CA's delta CRL", &with_crl, own_crl({.number = 6, .delta_of = 5}), 107, 107,
         ca + "is not used to clear 'CN=CAdES Signer, O=Selvanor Test, C=RU': it is a delta CRL "
              "without its base",
         0, true, true},
        {"the CA's CRL holding the signer, and its delta taking the hold off", &with_crl,
         own_crls(hold_released(crl_signer, delta_url)), 0, 0,
         "get_cert_status() : a delta CRL of 'CN=CAdES Inter, O=Selvanor Test, C=RU' takes "
         "'CN=CAdES Signer, O=Selvanor Test, C=RU' off hold (removeFromCRL)"},
        {"the CA's CRL holding the signer, and a delta of a later base taking the hold off",
         &with_crl, own_crls(hold_released(crl_signer, delta_url, 21)), 107, 107,
         "get_cert_status() 17 : certificate found in CRL, certificate is invalid", 0, true, true},
        {"the CA's CRL and its delta with a critical private extension", &with_crl,
         own_crls({{.number = 5, .freshest = {delta_url}},
                   {.number = 6, .delta_of = 5, .exts = {kPrivateExt}}}),
         107, 107, not_processed + "1.3.6.1.4.1.99999.7", 0, true, true},
        {"the CA's CRL with a non-critical private extension", &with_crl,
         own_crl({.exts = {{kPrivateExt.oid, kPrivateExt.der, false}}}), 0, 0, ""},
        {"CRLs split by reason, as made", &with_split, nullptr, 0, 0, ""},
        {"CRLs split by reason, only the first point's CRL without an IDP", &with_split,
         own_crl({}), 107, 107, some_reasons, 0, true, true},
        {"CRLs split by reason, only the first point's CRL for end entities", &with_split,
         own_crl({.idp = IdpSpec{.only_user = true}}), 107, 107, some_reasons, 0, true, true},
        {"an expired certificate in certValues", &with_crl, add_cert_value(pki->expired.cert.get()),
         4, 4, "check_certs_validity() 2 : certificate for '"},
        {"a certValues certificate valid only after the ES-C time", &with_crl,
         add_cert_value(late.cert.get()), 4, 4, "check_certs_validity() 2 : certificate for '",
         2 * kDay},
        {"a certValues certificate expired since the ES-C time", &with_crl,
         add_cert_value(short_lived.cert.get()), 0, 0, "", 2 * kDay},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ossl::Pkcs7 p7 = from_der(*c.sig);
        if (c.edit) c.edit(first_si(p7.get()));
        if (c.issuer_check_off) configure(peers.url("/tsp"), "disable_ocsp_issuer_check = yes\n");
        if (c.clock) platform::set_test_clock(now() + c.clock);
        fresh();
        EXPECT_EQ(verify_first(p7.get(), false, c.self_trusted), c.rc) << fresh();
        EXPECT_TRUE(c.logged.empty() || log_contains(c.logged)) << c.logged;
        EXPECT_EQ(ssf::VerifyEnhancedSignatureAttributes(first_si(p7.get()), 0, nullptr, nullptr),
                  c.attributes_rc);
        if (c.exports) {
            std::vector<SAP_UINT> results;
            for (const char* fmt : {"CADES_XLT1", "PKCS7_ANY"}) {
                EXPECT_EQ(verify(fmt, to_der(p7.get()), false, results), 5u) << fmt << fresh();
                EXPECT_EQ(results, std::vector<SAP_UINT>{static_cast<SAP_UINT>(c.rc)}) << fmt;
            }
            EXPECT_FALSE(log_contains("Victim Director"));
        }
        if (c.rc == 0) {  // the exports agree: valid, and already enhanced
            const Der changed = to_der(p7.get());
            std::vector<SAP_UINT> results;
            for (const char* fmt : {"CADES_XLT1", "PKCS7_ANY"}) {
                EXPECT_EQ(verify(fmt, changed, false, results), 0u) << fmt << fresh();
                EXPECT_EQ(results, std::vector<SAP_UINT>{0}) << fmt;
            }
            std::string out;
            EXPECT_EQ(enhance(str(changed), nullptr, out, results), 0u) << fresh();
            EXPECT_EQ(results, std::vector<SAP_UINT>{101});
        }
        platform::set_test_clock(std::nullopt);
        if (c.issuer_check_off) configure(peers.url("/tsp"));
    }
    // The stock verifier refuses the self-signed responder's answer without its issuer check too.
    OcspSpec spec;
    spec.responder = &evil;
    spec.singles.push_back({&by_ocsp, &inter, CertStatus::good});
    dir.write("evil.resp", str(to_der(make_ocsp_response(make_basic(spec).get()).get())));
    const auto stock = run_openssl("ocsp -respin " + dir.file("evil.resp") +
                                       " -no_cert_checks -CAfile " + dir.file("root.pem"),
                                   true);
    EXPECT_NE(stock.out.find("Response Verify Failure"), std::string::npos) << stock.out;
}

TEST_F(Cades, ArchiveStampsVerifyNewestToOldest) {
    const Entity s = signer(KeyType::ec, Proof::crl);
    Der attached, detached;
    ASSERT_EQ(sign("CADES_XLT1", {&s}, false, attached), 0u);
    ASSERT_EQ(sign("CADES_XLT1", {&s}, true, detached), 0u);
    const time_t t = now();
    const Entity* tsa = &services().tsa[static_cast<int>(KeyType::ec)];
    // TSAs below the kit's intermediate valid only within [t + from, t + to]: each stamp is
    // checked at its own genTime and at the next newer stamp's (the newest: now).
    auto window_tsa = [&](long serial, time_t from, time_t to) {
        return issue({"Archive TSA", serial, t + from, t + to, tsa_exts()}, new_key(KeyType::ec),
                     &pki->inter);
    };
    const Entity from_50_to_250 = window_tsa(0x1301, 50, 250),
                 from_150_to_350 = window_tsa(0x1302, 150, 350),
                 from_50_to_150 = window_tsa(0x1303, 50, 150);
    struct Stamp {
        time_t at;  // genTime: t + at
        long usec = 0;
        bool wrong = false;
        const Entity* by = nullptr;  // nullptr: a TSA valid for years
    };
    const struct {
        const char* name;
        const Der* sig;
        std::vector<Stamp> stamps;  // oldest first
        int rc;
        std::string logged;
    } cases[] = {
        {"none", &attached, {}, 0, ""},
        {"three", &attached, {{100}, {200}, {300}}, 0, ""},
        {"three, the middle one over other data",
         &attached,
         {{100}, {200, 0, true}, {300}},
         125,
         "VerifyAllArchiveTimestamps() 2 : VerifyArchiveTimestamp() for timestamp #1 failed"},
        {"detached, two", &detached, {{100}, {200}}, 0, ""},
        {"each older one at the next newer one's time",
         &attached,
         {{100, 0, false, &from_50_to_250}, {200, 0, false, &from_150_to_350}, {300}},
         0,
         ""},
        {"an older one whose TSA ended before the next newer one",
         &attached,
         {{100, 0, false, &from_50_to_150}, {200}},
         125,
         "VerifyAllArchiveTimestamps() 2 : VerifyArchiveTimestamp() for timestamp #0 failed"},
        {"the newest one at now",
         &attached,
         {{100, 0, false, &from_50_to_250}},
         125,
         "VerifyAllArchiveTimestamps() 2 : VerifyArchiveTimestamp() for timestamp #0 failed"},
        // genTime texts that agree up to where the shorter one ends its seconds or fraction.
        {"a whole second, then half a second later", &attached, {{100}, {100, 500000}}, 0, ""},
        {"half a second, then 0.55", &attached, {{100, 500000}, {100, 550000}}, 0, ""},
        {"half a second, then the next second", &attached, {{100, 500000}, {101}}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool is_detached = c.sig == &detached;
        ossl::Pkcs7 p7 = from_der(*c.sig);
        PKCS7_SIGNER_INFO* si = first_si(p7.get());
        for (const Stamp& st : c.stamps)
            add_archive_stamp(
                p7.get(), si,
                {st.by ? st.by : tsa, t + st.at, is_detached ? content : "", st.wrong, st.usec});
        EXPECT_EQ(verify_first(p7.get(), is_detached), c.rc) << fresh();
        EXPECT_TRUE(c.logged.empty() || log_contains(c.logged));
        // The archive data as the kit computes it on its own, and the oldest stamp's time.
        ossl::Bio data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
        std::string tbs;
        ASSERT_EQ(ssf::get_arch_timestamp_tbs(p7.get(), data.get(), si, &tbs), 0);
        EXPECT_EQ(tbs, str(archive_data(p7.get(), si, is_detached ? content : "")));
        ossl::Asn1Time oldest;
        if (c.rc != 0) continue;
        ossl::X509Stack kit_root = ossl::new_x509_stack();
        sk_X509_push(kit_root.get(), ossl::up_ref(pki->root.cert.get()).release());
        ASSERT_EQ(
            ssf::VerifyAllArchiveTimestamps(p7.get(), data.get(), si, kit_root.get(), &oldest), 0);
        EXPECT_EQ(oldest ? ASN1_TIME_cmp_time_t(oldest.get(), t + 100) : 1,
                  c.stamps.empty() ? 1 : 0);
    }
    // A genTime that names no moment (month "1x") has no place among the stamps.
    ossl::Pkcs7 token = make_token({.tsa = tsa, .gen_time = t});
    ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token.get()));
    std::string bytes = str(to_der(token.get()));
    bytes.replace(bytes.find(bytes_of(TS_TST_INFO_get_time(tst.get()))) + 4, 2, "1x");
    ossl::Pkcs7 garbled = from_der(der(bytes));
    ossl::Pkcs7Stack list(sk_PKCS7_new_null());
    EXPECT_EQ(ssf::AddArchiveTsToStack(list.get(), garbled.get()), -1);
    EXPECT_TRUE(log_contains("AddArchiveTsToStack() 2.1 : genTime of the timestamp is not a time"));
}

// The ES-C data: the signature value, then the three attributes whole, or each without its outer
// tag and length octets (one length octet, or 0x81 and one more).
TEST(CadesLayout, EscDataWithAndWithoutTags) {
    ossl::Pkcs7SignerInfo si(PKCS7_SIGNER_INFO_new());
    ASN1_OCTET_STRING_set(si->enc_digest, reinterpret_cast<const unsigned char*>("\1\2\3"), 3);
    const std::string long_token = "\x30\x81\xc8" + std::string(200, '\5');
    for (auto [nid, v] :
         {std::pair{NID_id_smime_aa_ets_RevocationRefs, "300e300ca00430023000a10430023000"},
          {NID_id_smime_aa_ets_CertificateRefs, "3000"},
          {NID_id_smime_aa_timeStampToken, "3003020101"}})
        set_value(si.get(), nid, str(hex(v)));
    const std::string oid = "060b2a864886f70d01091002";
    const std::string tst = "3014" + oid + "0e31053003020101", refs = "3011" + oid + "1531023000",
                      rev = "301f" + oid +
                            "16"
                            "3110"
                            "300e300ca00430023000a10430023000";
    EXPECT_EQ(hex_of(*ssf::make_esc_timestamp_data(si.get(), true)), "010203" + tst + refs + rev);
    EXPECT_EQ(hex_of(*ssf::make_esc_timestamp_data(si.get(), false)),
              "010203" + tst.substr(4) + refs.substr(4) + rev.substr(4));
    set_value(si.get(), NID_id_smime_aa_timeStampToken, long_token);
    const std::string with = hex_of(*ssf::make_esc_timestamp_data(si.get(), true));
    const std::string without = hex_of(*ssf::make_esc_timestamp_data(si.get(), false));
    EXPECT_EQ(with.substr(6, 6), "3081db");
    EXPECT_EQ(with.substr(12, 24), without.substr(6, 24));
    EXPECT_EQ(with.size(), without.size() + 2 * (3 + 2 + 2));
    ossl::Pkcs7SignerInfo none(PKCS7_SIGNER_INFO_new());
    EXPECT_FALSE(ssf::make_esc_timestamp_data(none.get(), true));
}

}  // namespace
