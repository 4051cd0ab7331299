// The time-stamp client against a TSA of the tests' own (the kit's token maker, so GOST tokens
// come from our engine, and stock `openssl ts -reply`) behind the scripted HTTP front; the token
// checks by kind; and what the OCSP and time-stamp clients send through a proxy.
#include <openssl/err.h>

#include <atomic>
#include <thread>
#include <variant>

#include "common/http_stub.h"
#include "common/openssl_tool.h"
#include "common/process.h"
#include "fixture.h"
#include "kit/crl.h"
#include "kit/ocsp.h"
#include "kit/tsa.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/ocsp_client.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/tsp_client.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/net/service_route.h"
#include "ssf/utils.h"

namespace {

using namespace test_pki;
using ssf_test::str;
using testing_support::HttpReply;
using testing_support::HttpRequest;
using testing_support::HttpStub;

const Entity& kit_tsa(KeyType k) {
    return services().tsa[static_cast<int>(k)];
}

// TSAs of other shapes: directly below the root; signing with GOST R 34.10-2001; in no trust
// path.
struct Tsas {
    Entity below_root, gost2001, untrusted;
};
const Tsas& tsas() {
    static const Tsas* t = new Tsas{
        issue({"TSA below root", 701, 0, 0, tsa_exts()}, new_key(KeyType::ec), &get().root),
        issue({"TSA 2001", 704, 0, 0, tsa_exts()}, gost_key("gost2001"), nullptr),
        issue({"TSA untrusted", 705, 0, 0, tsa_exts()}, new_key(KeyType::ec), &get().stranger)};
    return *t;
}

ossl::OctetString octets(const std::string& s) {
    ossl::OctetString o(ASN1_OCTET_STRING_new());
    ASN1_OCTET_STRING_set(o.get(), reinterpret_cast<const unsigned char*>(s.data()),
                          static_cast<int>(s.size()));
    return o;
}

// Appends an unsigned attribute holding der to the token's SignerInfo (its signature stays good).
void add_unsigned(PKCS7* token, int nid, const std::string& der) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(token), 0);
    ossl::Asn1String v(ASN1_STRING_new());
    ASSERT_TRUE(v && ASN1_STRING_set(v.get(), der.data(), static_cast<int>(der.size())));
    ASSERT_EQ(PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, v.get()), 1);
    (void)v.release();
}

class TimeStamps : public ssf_test::Started {
  protected:
    void TearDown() override {
        ssf::set_service_limits({});
        Started::TearDown();
    }
    void configure(const std::string& rest, const std::string& common = "") {
        start(common, rest);
        ssf::set_service_limits({2000, 2000, 64 * 1024, 64 * 1024});
    }
    HttpStub stub{[this](const HttpRequest& r) {
        if (r.target == "/root.crl")
            return HttpReply::make(200, crl_der(make_crl({&pki->root}).get()));
        return reply(r);
    }};
    std::function<HttpReply(const HttpRequest&)> reply;
    std::string refused() const {
        return "http://127.0.0.1:" + std::to_string(testing_support::free_port()) + "/";
    }
};

TEST_F(TimeStamps, ClientChoosesTheServerAndChecksWhatComesBack) {
    const Tsas& t = tsas();
    // A TSA below a CA whose CRL the root publishes on the stub.
    Exts ca_ext = ca_exts();
    ca_ext.push_back({"crlDistributionPoints", "URI:" + stub.url("/root.crl")});
    const Entity ca = issue({"TSA CA", 702, 0, 0, ca_ext}, new_key(KeyType::ec), &pki->root);
    const Entity below_ca =
        issue({"TSA below CA", 703, 0, 0, tsa_exts()}, new_key(KeyType::ec), &ca);
    const EVP_MD* g256 = EVP_get_digestbyname("md_gost12_256");
    const EVP_MD* g512 = EVP_get_digestbyname("md_gost12_512");
    struct Token {
        const Entity* tsa;
        time_t gen_time = 0;
    };
    enum Servers { kBoth, kPlainOnly, kRefused, kNotHttp };
    const std::string rejection = "3009300702010203020780";  // status 2, failInfo badAlg
    const struct {
        const char* name;
        const EVP_MD* md;
        Servers servers;
        std::variant<Token, HttpReply, const char*> answer;  // const char*: openssl ts -reply
        int kind, rc;
        const char* target;  // the path the request went to ("" none)
        std::string logged;
    } cases[] = {
        {"GOST 2012-256 to the 2012 server, GOST token", g256, kBoth,
         Token{&kit_tsa(KeyType::gost256)}, 2, 0, "/tsp2012", ""},
        {"GOST 2012-512 without a 2012 server", g512, kPlainOnly, Token{}, 2, 111, "",
         "make_time_stamp() 1 : 'tsp_server' is not specified"},
        {"GOST R 34.11-94 to tsp_server", ssf::get_gost94_digest(), kBoth,
         Token{&kit_tsa(KeyType::gost512)}, 2, 0, "/tsp", ""},
        {"openssl ts -reply, RSA", EVP_sha256(), kBoth, "openssl", 2, 0, "/tsp", ""},
        {"rejection", EVP_sha256(), kBoth, HttpReply::make(200, str(hex(rejection))), 2, 114,
         "/tsp", "status code: rejection, status text: unspecified, failure codes: badAlg"},
        {"garbage", EVP_sha256(), kBoth, HttpReply::make(200, "garbage"), 2, 114, "/tsp", ""},
        {"refused", EVP_sha256(), kRefused, Token{}, 2, 113, "",
         "make_time_stamp() 4 : BIO_do_connect( host = '127.0.0.1'"},
        {"not an http URL", EVP_sha256(), kNotHttp, Token{}, 2, 112, "",
         "make_time_stamp() 2 : OCSP_parse_url( 'file:///tsp' ) failed"},
        {"GOST R 34.10-2001 token of 2020", EVP_sha256(), kBoth, Token{&t.gost2001, 1590969600}, 2,
         -1, "/tsp", "make_time_stamp() 7.1 : Gost R 34.10-2001 not allowed"},
        {"signature time stamp, chain of three: the CA's CRL joins the token", EVP_sha256(), kBoth,
         Token{&below_ca}, 1, 0, "/tsp", ""},
        {"signature time stamp, chain of two: nothing added", EVP_sha256(), kBoth,
         Token{&t.below_root}, 1, 0, "/tsp", ""},
        {"signature time stamp from an untrusted TSA", EVP_sha256(), kBoth, Token{&t.untrusted}, 1,
         115, "/tsp", "AddTimestampRevocationValues() 3 : X509_verify_cert() failed"},
    };
    const std::string data = "signature value";
    for (const auto& c : cases) {
        const std::string plain = c.servers == kRefused   ? refused()
                                  : c.servers == kNotHttp ? "file:///tsp"
                                                          : stub.url("/tsp");
        configure("[cades]\ntsp_server = " + plain +
                  (c.servers == kBoth ? "\ntsp_server_2012 = " + stub.url("/tsp2012") : ""));
        reply = [&](const HttpRequest& r) {
            if (const HttpReply* raw = std::get_if<HttpReply>(&c.answer)) return *raw;
            if (std::holds_alternative<const char*>(c.answer)) {
                const Entity& tsa = kit_tsa(KeyType::rsa);
                dir.write("tsa.pem", pem_of(tsa.cert.get()));
                dir.write("tsa.key", key_pem(tsa.key.get(), nullptr));
                dir.write("serial", "01\n");
                dir.write("tsa.cnf",
                          testing_support::ts_reply_config(dir.file("serial"), dir.file("tsa.pem"),
                                                           dir.file("tsa.key"), "sha256"));
                return HttpReply::make(
                    200, testing_support::ts_reply(dir.path(), "ts", dir.file("tsa.cnf"), r.body));
            }
            TokenSpec spec;
            spec.tsa = std::get<Token>(c.answer).tsa;
            spec.gen_time = std::get<Token>(c.answer).gen_time;
            spec.data = data;
            spec.imprint_md = c.md;
            return HttpReply::make(200, str(to_der(make_ts_response(spec).get())));
        };
        const size_t asked = stub.requests().size();
        ossl::X509StorePtr store = new_store();
        X509_STORE_add_cert(store.get(), ca.cert.get());
        ossl::Asn1String token;
        ossl::X509Ptr tsa_cert;
        ossl::Asn1Time gen;
        ERR_clear_error();
        const int rc = ssf::make_time_stamp(c.kind, &token,
                                            reinterpret_cast<const unsigned char*>(data.data()),
                                            data.size(), c.md, store.get(), &tsa_cert, &gen);
        EXPECT_EQ(rc, c.rc) << c.name << "\n" << fresh();
        const auto seen = stub.requests();
        EXPECT_EQ(seen.size() > asked ? seen[asked].target : "", c.target) << c.name;
        EXPECT_TRUE(c.logged.empty() || log_contains(c.logged)) << c.name;
        EXPECT_EQ(rc == 0, token && tsa_cert && gen) << c.name;
        if (rc != 0 || c.kind != 1) continue;
        // The token carries the CA's CRL exactly when the TSA's chain has an intermediate CA.
        const unsigned char* p = ASN1_STRING_get0_data(token.get());
        ossl::Pkcs7 p7(d2i_PKCS7(nullptr, &p, ASN1_STRING_length(token.get())));
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        const ASN1_STRING* values =
            ssf::unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues);
        const bool has_ca = std::get<Token>(c.answer).tsa == &below_ca;
        EXPECT_EQ(values != nullptr, has_ca) << c.name;
        if (values) {
            ssf::RevocationValues rv(ssf::decode_value(values, d2i_REVOCATION_VALUES));
            ASSERT_TRUE(rv) << c.name;
            EXPECT_EQ(sk_X509_CRL_num(rv->crlVals), 1) << c.name;
        }
    }
}

TEST_F(TimeStamps, TokenChecksByKind) {
    const Tsas& t = tsas();
    const Services& s = services();
    enum Pab { kNone, kWithoutRoot, kFromService };
    // In the token's revocationValues: the root's CRL listing the intermediate or not, for end
    // entities only, with a critical extension, a delta alone, and a hold with a delta taking it
    // off (extending its base, or a later one).
    enum RootCrl {
        kNoCrl,
        kInterListed,
        kInterNotListed,
        kUsersOnly,
        kCritical,
        kLoneDelta,
        kHoldReleased,
        kHoldOfLaterBase
    };
    const struct {
        const char* name;
        const Entity* tsa;
        time_t gen_time;
        bool signing_time, at_gen_time, other_data;
        Pab pab;
        int kind, rc;
        std::string logged;
        RootCrl crl = kNoCrl;
    } cases[] = {
        {"ES-C token", &kit_tsa(KeyType::ec), 0, false, false, false, kNone, 2, 0,
         "ssf_verify_TS_token() : escTimeStamp, skipping revocation status check"},
        {"signature token, chain of two", &t.below_root, 0, false, false, false, kNone, 1, 0, ""},
        {"signature token, chain of three, no revocation values", &kit_tsa(KeyType::ec), 0, false,
         false, false, kNone, 1, 114,
         "verify_signature_timestamp_rev_status() 2 : no revocation values found in timestamp"},
        {"signature token, its intermediate CA revoked by the token's CRL", &kit_tsa(KeyType::ec),
         0, false, false, false, kNone, 1, 114,
         "verify_signature_timestamp_rev_status() 4 : revocation check failed for intermediate CA "
         "#1 (name = '",
         kInterListed},
        {"signature token, its intermediate CA cleared by the token's CRL", &kit_tsa(KeyType::ec),
         0, false, false, false, kNone, 1, 0, "", kInterNotListed},
        {"signature token, the token's CRL covers end entities only", &kit_tsa(KeyType::ec), 0,
         false, false, false, kNone, 1, 114,
         "check_revoked_crl() : a CRL of 'CN=Test Root, O=Selvanor Test, C=RU' whose scope does "
         "not cover 'CN=Test Intermediate, O=Selvanor Test, C=RU' is not used: it covers only "
         "end-entity certificates",
         kUsersOnly},
        {"signature token, the token's CRL with a critical private extension",
         &kit_tsa(KeyType::ec), 0, false, false, false, kNone, 1, 114,
         "check_revoked_crl() : a CRL of 'CN=Test Root, O=Selvanor Test, C=RU' is not used to "
         "clear 'CN=Test Intermediate, O=Selvanor Test, C=RU': it carries the critical extension "
         "1.3.6.1.4.1.99999.7, which is not processed",
         kCritical},
        {"signature token, the token's CRL a delta alone", &kit_tsa(KeyType::ec), 0, false, false,
         false, kNone, 1, 114,
         "check_revoked_crl() : a CRL of 'CN=Test Root, O=Selvanor Test, C=RU' is not used to "
         "clear 'CN=Test Intermediate, O=Selvanor Test, C=RU': it is a delta CRL without its base",
         kLoneDelta},
        {"signature token, its intermediate CA's hold taken off by the token's delta CRL",
         &kit_tsa(KeyType::ec), 0, false, false, false, kNone, 1, 0, "", kHoldReleased},
        {"signature token, its intermediate CA's hold taken off by a delta of a later base",
         &kit_tsa(KeyType::ec), 0, false, false, false, kNone, 1, 114,
         "check_revoked_crl() 5 : certificate found in CRL, certificate is invalid",
         kHoldOfLaterBase},
        {"archive token without the CAdES attributes", &kit_tsa(KeyType::ec), 0, false, false,
         false, kNone, 3, 118,
         "verify_archive_timestamp_rev_status() 1 : VerifyEnhancedSignatureAttributes() failed"},
        {"unknown kind", &kit_tsa(KeyType::ec), 0, false, false, false, kNone, 7, 13,
         "ssf_verify_TS_token() : unknown timestamp type: 7"},
        {"untrusted TSA, kind 1", &t.untrusted, 0, false, false, false, kNone, 1, 118,
         "ssf_verify_TS_token() 7 : TSP certificate is invalid, reason:  '"},
        {"untrusted TSA, kind 2", &t.untrusted, 0, false, false, false, kNone, 2, 123, ""},
        {"untrusted TSA, kind 3", &t.untrusted, 0, false, false, false, kNone, 3, 125, ""},
        {"untrusted TSA, unknown kind", &t.untrusted, 0, false, false, false, kNone, 9, 28, ""},
        {"other data", &kit_tsa(KeyType::ec), 0, false, false, true, kNone, 2, 123,
         "ssf_verify_TS_token() 10 : SSF_TS_RESP_verify_token() failed"},
        {"TSA expired now, valid at genTime, signing time on", &s.expired_tsa, s.expired_valid_at,
         true, false, false, kNone, 2, 0, ""},
        {"TSA expired now, signing time off", &s.expired_tsa, s.expired_valid_at, false, false,
         false, kNone, 2, 123, ""},
        {"TSA expired now, checked at genTime", &s.expired_tsa, s.expired_valid_at, false, true,
         false, kNone, 2, 0, ""},
        {"root missing from the directory", &kit_tsa(KeyType::ec), 0, false, false, false,
         kWithoutRoot, 2, 115,
         "find_certificate_in_trusted_root() 6 : certificate not found in pab_certs"},
        {"root from the web service", &kit_tsa(KeyType::ec), 0, false, false, false, kFromService,
         2, 0, "find_certificate_in_trusted_root() : trying to load certificate from HOK"},
    };
    const std::string data = "time-stamped data";
    for (const auto& c : cases) {
        configure(c.pab == kFromService ? "[hok]\nhok_urls = " + stub.url("/hok") + "\n" : "",
                  c.signing_time ? "verify_use_signing_time = yes" : "");
        reply = [&](const HttpRequest&) {
            return HttpReply::make(
                200, "<return><pkcs>" + pem_of(pki->root.cert.get()) + "</pkcs></return>");
        };
        TokenSpec spec;
        spec.tsa = c.tsa;
        spec.gen_time = c.gen_time;
        ossl::Pkcs7 token = make_token(spec);
        if (c.crl != kNoCrl) {
            const long inter = ASN1_INTEGER_get(X509_get0_serialNumber(pki->inter.cert.get()));
            std::vector<CrlSpec> crls(1);
            CrlSpec& crl = crls[0];
            crl.issuer = &pki->root;
            if (c.crl == kInterListed) crl.revoked.push_back({inter, now() - kDay});
            if (c.crl == kUsersOnly) crl.idp = IdpSpec{.only_user = true};
            if (c.crl == kCritical) crl.exts = {{"1.3.6.1.4.1.99999.7", {0x05, 0x00}}};
            if (c.crl == kLoneDelta) crl.delta_of = 0;
            if (c.crl == kHoldReleased || c.crl == kHoldOfLaterBase) {
                crl.revoked.push_back({inter, now() - kDay, CRL_REASON_CERTIFICATE_HOLD});
                crl.freshest = {"http://crl.test/root-delta.crl"};
                crls.push_back({.issuer = &pki->root,
                                .revoked = {{inter, now(), CRL_REASON_REMOVE_FROM_CRL}},
                                .number = 3,
                                .delta_of = c.crl == kHoldReleased ? 1 : 2});
            }
            ssf::RevocationValues values(REVOCATION_VALUES_new());
            values->crlVals = sk_X509_CRL_new_null();
            for (const CrlSpec& spec : crls)
                sk_X509_CRL_push(values->crlVals, make_crl(spec).release());
            add_unsigned(token.get(), NID_id_smime_aa_ets_revocationValues,
                         ssf::der_of(values.get(), i2d_REVOCATION_VALUES));
        }
        ossl::X509StorePtr store = new_store();
        ossl::X509Stack pab = ossl::new_x509_stack();
        sk_X509_push(pab.get(), ossl::up_ref(pki->inter.cert.get()).release());
        ossl::OctetString os = octets(c.other_data ? "other" : data);
        ossl::Asn1Time when(ASN1_GENERALIZEDTIME_set(nullptr, c.gen_time));
        EXPECT_EQ(ssf_verify_TS_token(token.get(), nullptr, os.get(), store.get(), c.kind,
                                      c.pab == kNone ? nullptr : pab.get(),
                                      c.at_gen_time ? when.get() : nullptr),
                  c.rc)
            << c.name << "\n"
            << fresh();
        EXPECT_TRUE(c.logged.empty() || log_contains(c.logged)) << c.name;
        if (c.pab == kFromService) EXPECT_EQ(sk_X509_num(pab.get()), 2) << c.name;
    }
    // A certificate whose issuer the store does not hold.
    ossl::X509StorePtr store = new_store();
    EXPECT_EQ(ssf::find_certificate_in_trusted_root(t.untrusted.cert.get(), store.get(), nullptr),
              0);
    EXPECT_TRUE(
        logged("find_certificate_in_trusted_root() 4 : X509_STORE_get_by_subject() failed"));
    // Not a token at all.
    ossl::OctetString junk = octets("junk");
    EXPECT_EQ(ssf::ssf_verify_TS(junk.get(), nullptr, nullptr, 2, nullptr, nullptr, nullptr), -1);
}

// Hosts call the export on threads of their own, without the interface's lock.
TEST_F(TimeStamps, TokenChecksRunOnManyThreadsAtOnce) {
    TokenSpec spec;
    spec.tsa = &kit_tsa(KeyType::gost256);
    const Der der = to_der(make_token(spec).get());
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 5; ++n) {
                ossl::Pkcs7 token = from_der(der);
                ossl::X509StorePtr store = new_store();
                ossl::OctetString os = octets(spec.data);
                if (ssf_verify_TS_token(token.get(), nullptr, os.get(), store.get(), 2, nullptr,
                                        nullptr) == 0)
                    ++good;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(good, 20);
}

// Hosts share one store between threads (run under ThreadSanitizer by scripts/tsan.sh): each
// call checks at its own time, the certificates a token carries in certValues count for that
// call alone, and the store is left as it was.
TEST_F(TimeStamps, OneStoreSharedByThreads) {
    const Services& s = services();
    const Entity ca =
        issue({"CA in certValues", 706, 0, 0, ca_exts()}, new_key(KeyType::ec), &pki->root);
    const Entity below = issue({"TSA below it", 707, 0, 0, tsa_exts()}, new_key(KeyType::ec), &ca);
    TokenSpec expired, carried;
    expired.tsa = &s.expired_tsa;
    expired.gen_time = s.expired_valid_at;
    carried.tsa = &below;
    const Der expired_der = to_der(make_token(expired).get());
    ossl::Pkcs7 with_values = make_token(carried);
    ossl::X509Stack certs = ossl::new_x509_stack();
    sk_X509_push(certs.get(), ossl::up_ref(ca.cert.get()).release());
    add_unsigned(with_values.get(), NID_id_smime_aa_ets_certValues,
                 ssf::seq_pack_der(certs.get(), ASN1_ITEM_rptr(CERT_VALUES)));
    const Der carried_der = to_der(with_values.get());
    OcspSpec spec;
    spec.responder = &s.expired_responder;
    spec.produced_at = s.expired_valid_at;
    spec.singles.push_back({&pki->leaf, &pki->inter});
    ossl::OcspBasicResp bs = make_basic(spec);
    ossl::Asn1Time past(ASN1_GENERALIZEDTIME_set(nullptr, s.expired_valid_at));

    ossl::X509StorePtr store = new_store();
    const int objects = sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get()));
    std::atomic<int> wrong{0};
    auto work = [&](int t) {
        for (int n = 0; n < 12; ++n) {
            const int op = (t + n) % 5;
            if (op == 4) {
                const bool at_past = n % 2;
                const int rc = ssf::OCSP_basic_verify_time(at_past ? &s.expired_valid_at : nullptr,
                                                           bs.get(), nullptr, store.get(), 0);
                ERR_clear_error();
                wrong += rc != (at_past ? 1 : 0);
                continue;
            }
            ossl::Pkcs7 token = from_der(op == 3 ? carried_der : expired_der);
            ossl::OctetString os = octets(expired.data);
            const int rc = ssf_verify_TS_token(token.get(), nullptr, os.get(), store.get(), 2,
                                               nullptr, op == 0 ? past.get() : nullptr);
            wrong += rc != (op == 1 || op == 2 ? 123 : 0);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(work, t);
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store.get())) &
                 X509_V_FLAG_USE_CHECK_TIME);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())), objects);
}

// A token may carry its TSA's whole chain in certValues, up to a root the caller's store does
// not hold: where the directory holds that root, it serves for that call alone as a root the
// store held would, for the chain, the trust check and the CRLs of kind 1, and it leaves nothing
// behind in the store. Without a directory, nothing a token carries is a root by itself.
TEST_F(TimeStamps, TokensCarryingTheirOwnChain) {
    const Entity root =
        issue({"Root only in a token", 721, 0, 0, ca_exts()}, new_key(KeyType::ec), nullptr);
    const Entity ca = issue({"CA below it", 722, 0, 0, ca_exts()}, new_key(KeyType::ec), &root);
    const Entity tsa = issue({"TSA below that", 723, 0, 0, tsa_exts()}, new_key(KeyType::ec), &ca);
    const Entity below_kit =
        issue({"CA below the kit's root", 724, 0, 0, ca_exts()}, new_key(KeyType::ec), &pki->root);
    const Entity tsa_below_kit =
        issue({"TSA below that one", 725, 0, 0, tsa_exts()}, new_key(KeyType::ec), &below_kit);
    // A TSA certificate made in a real one's issuer name and serial number, below a CA in the
    // kit intermediate's name with a key of its own (of another kind, so the real intermediate
    // is not taken for its issuer).
    const Entity& real = kit_tsa(KeyType::ec);
    const Entity namesake =
        issue({"Test Intermediate", 726, 0, 0, ca_exts()}, new_key(KeyType::rsa), nullptr);
    const Entity forged = issue(
        {"Forged TSA", ASN1_INTEGER_get(X509_get0_serialNumber(real.cert.get())), 0, 0, tsa_exts()},
        new_key(KeyType::ec), &namesake);
    enum Crl { kNoCrl, kCaListed, kCaNotListed };           // by the root, in revocationValues
    enum Pab { kNone, kKitInter, kCarriedRoot, kKitRoot };  // what the directory holds
    const struct {
        const char* name;
        std::vector<const Entity*> values;
        int kind;
        Crl crl;
        Pab pab;
        int rc;
        const Entity* by = nullptr;              // the TSA; nullptr: the one below the carried CA
        std::vector<const Entity*> beside = {};  // among the token's own certificates
    } cases[] = {
        {"CA and root carried, the directory holds the root",
         {&ca, &root},
         2,
         kNoCrl,
         kCarriedRoot,
         0},
        {"CA and root carried, no directory", {&ca, &root}, 2, kNoCrl, kNone, 123},
        {"nothing carried, after a call that carried them", {}, 2, kNoCrl, kCarriedRoot, 123},
        {"the root not carried", {&ca}, 2, kNoCrl, kCarriedRoot, 123},
        {"carried root not in the directory", {&ca, &root}, 2, kNoCrl, kKitInter, 115},
        {"kind 1, the CA cleared by the carried root's CRL",
         {&ca, &root},
         1,
         kCaNotListed,
         kCarriedRoot,
         0},
        {"kind 1, the CA revoked by the carried root's CRL",
         {&ca, &root},
         1,
         kCaListed,
         kCarriedRoot,
         114},
        {"kind 1, no directory", {&ca, &root}, 1, kCaNotListed, kNone, 118},
        // A reply that carries its chain: the CA among the token's certificates only.
        {"the CA beside the TSA in the token",
         {},
         2,
         kNoCrl,
         kNone,
         0,
         &tsa_below_kit,
         {&below_kit}},
        {"the CA beside the TSA, the root carried",
         {&root},
         2,
         kNoCrl,
         kCarriedRoot,
         0,
         nullptr,
         {&ca}},
        {"a forged TSA beside the real one it copies",
         {&real, &namesake},
         2,
         kNoCrl,
         kKitRoot,
         123,
         &forged},
        {"the same, no directory", {&real, &namesake}, 2, kNoCrl, kNone, 123, &forged},
        {"the same, kind 1", {&real, &namesake}, 1, kNoCrl, kKitRoot, 118, &forged},
        {"the same, kind 3", {&real, &namesake}, 3, kNoCrl, kKitRoot, 125, &forged},
        {"a forged TSA without the real one", {&namesake}, 2, kNoCrl, kKitRoot, 115, &forged},
    };
    const std::string data = "time-stamped data";
    ossl::X509StorePtr store = new_store();
    const int objects = sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TokenSpec spec;
        spec.tsa = c.by ? c.by : &tsa;
        spec.chain = c.beside;
        ossl::Pkcs7 token = make_token(spec);
        if (!c.values.empty()) {
            ossl::X509Stack certs = ossl::new_x509_stack();
            for (const Entity* e : c.values)
                sk_X509_push(certs.get(), ossl::up_ref(e->cert.get()).release());
            add_unsigned(token.get(), NID_id_smime_aa_ets_certValues,
                         ssf::seq_pack_der(certs.get(), ASN1_ITEM_rptr(CERT_VALUES)));
        }
        if (c.crl != kNoCrl) {
            CrlSpec crl;
            crl.issuer = &root;
            if (c.crl == kCaListed)
                crl.revoked.push_back(
                    {ASN1_INTEGER_get(X509_get0_serialNumber(ca.cert.get())), now() - kDay});
            ssf::RevocationValues values(REVOCATION_VALUES_new());
            values->crlVals = sk_X509_CRL_new_null();
            sk_X509_CRL_push(values->crlVals, make_crl(crl).release());
            add_unsigned(token.get(), NID_id_smime_aa_ets_revocationValues,
                         ssf::der_of(values.get(), i2d_REVOCATION_VALUES));
        }
        ossl::X509Stack pab = ossl::new_x509_stack();
        const Entity& held = c.pab == kKitInter ? pki->inter : c.pab == kKitRoot ? pki->root : root;
        sk_X509_push(pab.get(), ossl::up_ref(held.cert.get()).release());
        ossl::OctetString os = octets(data);
        EXPECT_EQ(ssf_verify_TS_token(token.get(), nullptr, os.get(), store.get(), c.kind,
                                      c.pab == kNone ? nullptr : pab.get(), nullptr),
                  c.rc)
            << fresh();
    }
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())), objects);
}

TEST_F(TimeStamps, RequestsThroughTheProxy) {
    const std::string login = std::string(45, 'l') + ":" + std::string(45, 'p');
    unsigned char b64[256];
    const int n = EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(login.data()),
                                  static_cast<int>(login.size()));
    const std::string auth = "Proxy-Authorization: Basic " + std::string(b64, b64 + n) + "\r\n";
    const struct {
        const char* name;
        bool ocsp, credentials;
        const char* url;
        std::string head;  // with LEN for the body's length
    } cases[] = {
        {"OCSP with credentials", true, true, "http://ocsp.example:8080/ocsp#f",
         "POST http://ocsp.example:8080/ocsp HTTP/1.0\r\nContent-type: application/ocsp-request"
         "\r\nHost: ocsp.example\r\nContent-Length: LEN\r\n" +
             auth},
        {"OCSP without credentials", true, false, "http://ocsp.example:8080/ocsp",
         "POST http://ocsp.example:8080/ocsp HTTP/1.0\r\nContent-Type: application/ocsp-request"
         "\r\nHost: ocsp.example\r\nContent-Length: LEN\r\n"},
        {"time stamp with credentials", false, true, "http://tsa.example/tsp",
         "POST http://tsa.example/tsp HTTP/1.0\r\nContent-type: application/timestamp-query\r\n"
         "Host: tsa.example\r\nContent-Length: LEN\r\n" +
             auth + "Connection: close\r\n"},
        {"time stamp without credentials", false, false, "http://tsa.example/tsp",
         "POST http://tsa.example/tsp HTTP/1.0\r\nContent-type: application/timestamp-query\r\n"
         "Host: tsa.example\r\nContent-Length: LEN\r\nConnection: close\r\n"},
        {"https: a tunnel, refused", false, true, "https://tsa.example/tsp",
         "CONNECT tsa.example:443 HTTP/1.1\r\nHost: tsa.example:443\r\n" + auth},
    };
    for (const auto& c : cases) {
        configure("[cades]\ntsp_server = " + std::string(c.url) +
                  "\n[proxy]\nproxy_url = http://127.0.0.1:" + std::to_string(stub.port()) +
                  (c.credentials ? "\nproxy_login_pwd = " + login : "") + "\n");
        reply = [](const HttpRequest&) { return HttpReply::make(403, ""); };
        const size_t asked = stub.requests().size();
        if (c.ocsp) {
            ossl::OcspRequest req(OCSP_REQUEST_new());
            ossl::OcspResponse resp;
            EXPECT_EQ(ssf::get_OCSP_response(req.get(), c.url, &resp), 105) << c.name;
        } else {
            ossl::Asn1String token;
            ossl::Asn1Time gen;
            EXPECT_EQ(ssf::make_time_stamp(2, &token, reinterpret_cast<const unsigned char*>("d"),
                                           1, EVP_sha256(), nullptr, nullptr, &gen),
                      114)
                << c.name;
        }
        EXPECT_TRUE(logged(std::string(c.ocsp ? "get_OCSP_response" : "make_time_stamp") +
                           "() : using proxy 'http://127.0.0.1:" + std::to_string(stub.port()) +
                           "'"))
            << c.name;
        const auto seen = stub.requests();
        ASSERT_EQ(seen.size(), asked + 1) << c.name;
        std::string want = c.head;
        if (const size_t at = want.find("LEN"); at != std::string::npos)
            want.replace(at, 3, std::to_string(seen.back().body.size()));
        EXPECT_EQ(seen.back().head, want) << c.name;
    }
    // A proxy the crypto library cannot even make a connect stream for.
    configure("[cades]\ntsp_server = http://tsa.example/tsp\n[proxy]\nproxy_url = http://[\n");
    ossl::OcspRequest req(OCSP_REQUEST_new());
    ossl::OcspResponse resp;
    EXPECT_EQ(ssf::get_OCSP_response(req.get(), "http://ocsp.example/", &resp), -1);
    EXPECT_TRUE(logged("get_OCSP_response() 2 : BIO_new_connect( '[' ) failed"));
    ossl::Asn1String token;
    ossl::Asn1Time gen;
    EXPECT_EQ(ssf::make_time_stamp(2, &token, reinterpret_cast<const unsigned char*>("d"), 1,
                                   EVP_sha256(), nullptr, nullptr, &gen),
              -1);
    EXPECT_TRUE(logged("make_time_stamp() 3 : BIO_new_connect( '[' ) failed"));
}

}  // namespace
