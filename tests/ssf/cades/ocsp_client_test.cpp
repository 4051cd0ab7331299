// The OCSP client against scripted responders (fresh, stale, revoked, unknown, 404, garbage,
// oversize, silent), and against stock `openssl ocsp` behind an HTTP front on 127.0.0.1, directly,
// through a TLS front (stunnel4) and through tinyproxy with Basic authentication.
#include "ssf/cades/ocsp_client.h"

#include <atomic>
#include <regex>
#include <sstream>
#include <variant>

#include "common/http_stub.h"
#include "common/openssl_tool.h"
#include "common/process.h"
#include "common/tls_front.h"
#include "common/vectors.h"
#include "fixture.h"
#include "kit/crl.h"
#include "kit/ocsp.h"
#include "ssf/net/service_route.h"

namespace {

using namespace test_pki;
using ssf_test::str;
using testing_support::HttpReply;
using testing_support::HttpRequest;
using testing_support::HttpStub;

const time_t T = now() - 3600;  // the time stamp's time in every case
const std::string kUser = std::string(40, 'u'), kPassword = std::string(40, 'p');

ossl::Asn1Time gt(time_t t) {
    return ossl::Asn1Time(ASN1_GENERALIZEDTIME_set(nullptr, t));
}

// Debian's tinyproxy with Basic authentication, in the foreground, logging each request line.
struct TinyProxy {
    int port = testing_support::free_port();
    std::string log;
    testing_support::Child child;
    explicit TinyProxy(const testing_support::TempDir& dir) : log(dir.file("tinyproxy.log")) {
        // No ConnectPort line: tunnels may go to any port (the TLS fronts pick theirs).
        dir.write("tinyproxy.conf", "Port " + std::to_string(port) +
                                        "\nListen 127.0.0.1\nLogLevel Info\nBasicAuth " + kUser +
                                        " " + kPassword + "\n");
        child =
            testing_support::Child({"tinyproxy", "-d", "-c", dir.file("tinyproxy.conf")}, {}, log);
        EXPECT_TRUE(testing_support::wait_for_port(port));
    }
};

class OcspClient : public ssf_test::Started {
  protected:
    void configure(const std::string& rest, int total_ms = 300, const std::string& common = "") {
        start(common, rest);
        ssf::http::Limits limits;
        limits.total_timeout_ms = total_ms;
        limits.max_body_bytes = 64 * 1024;
        ssf::set_service_limits(limits);
        slept.clear();
        platform::set_test_sleeper([this](unsigned ms) { slept.push_back(ms); });
    }
    void TearDown() override {
        platform::set_test_sleeper(nullptr);
        ssf::set_service_limits({});
        Started::TearDown();
    }
    // A certificate below the kit's intermediate that names the responders at urls.
    Entity subject(long serial, const std::vector<std::string>& urls, Exts exts = {}) {
        std::string aia;
        for (const std::string& u : urls) aia += (aia.empty() ? "OCSP;URI:" : ",OCSP;URI:") + u;
        if (!aia.empty()) exts.push_back({"authorityInfoAccess", aia});
        return issue({"OCSP Subject", serial, 0, 0, exts}, new_key(KeyType::ec), &pki->inter);
    }
    int rev_value(X509* cert, X509_STORE* store, time_t ts = T) {
        return ssf::get_revValue(cert, pki->inter.cert.get(), store, EVP_sha1(), gt(ts).get(),
                                 &responder, &basic, &crls);
    }

    std::vector<unsigned> slept;
    ossl::X509Ptr responder;
    ossl::OcspBasicResp basic;
    std::vector<ossl::X509Crl> crls;
};

// One answer of a scripted responder: times as offsets from T (next 0: no nextUpdate).
struct Shape {
    long produced = 0, this_update = 0, next = kDay;
    CertStatus status = CertStatus::good;
    const Entity* signer = nullptr;  // the kit's EC responder when none
    bool other_cert = false;         // about another certificate
    bool bad_signature = false;      // a byte of the signature value flipped
    const Entity* ahead = nullptr;   // inside the response before the signer's certificate
};

// authorityInfoAccess naming one responder by the URI as it is, NUL bytes included.
std::string aia_der(const std::string& uri) {
    testing_support::Bytes ad = {0x06, 0x08, 0x2b, 0x06, 0x01, 0x05,
                                 0x05, 0x07, 0x30, 0x01, 0x86, static_cast<uint8_t>(uri.size())};
    ad.insert(ad.end(), uri.begin(), uri.end());
    ad.insert(ad.begin(), {0x30, static_cast<uint8_t>(ad.size())});
    ad.insert(ad.begin(), {0x30, static_cast<uint8_t>(ad.size())});
    return "DER:" + testing_support::to_hex(ad);
}

TEST_F(OcspClient, FreshnessPausesAnswersAndFailures) {
    enum Urls { kOne, kTwo, kRefusedFirst, kNoAia, kCrlPoint, kNotHttp, kNulInUrl };
    HttpReply silent;
    silent.silent = true;
    static const Entity& gost2001 = *new Entity(issue(
        {"GOST 2001 responder", 901, 0, 0, ocsp_responder_exts()}, gost_key("gost2001"), nullptr));
    static const Entity& no_nocheck = *new Entity(
        issue({"Responder without nocheck", 902, 0, 0, {{"extendedKeyUsage", "OCSPSigning"}}},
              new_key(KeyType::ec), &pki->inter));
    // Signs for a certificate whose issuer did not certify it: only the issuer check refuses it.
    static const Entity& by_root =
        *new Entity(issue({"Responder of the root", 903, 0, 0, ocsp_responder_exts()},
                          new_key(KeyType::ec), &get().root));
    // Responders whose answers verify, but which no trusted root vouches for.
    static const Entity& self_signed =
        *new Entity(issue({"Self-signed responder", 904, 0, 0, ocsp_responder_exts()},
                          new_key(KeyType::ec), nullptr));
    static const Entity& by_stranger =
        *new Entity(issue({"Responder of a stranger", 905, 0, 0, ocsp_responder_exts()},
                          new_key(KeyType::ec), &get().stranger));
    const Entity* kit_responder = &services().responder[static_cast<int>(KeyType::ec)];
    struct Case {
        const char* name;
        std::string cades;
        Urls urls;
        std::vector<std::variant<Shape, HttpReply>> replies;
        int rc;
        size_t asked;
        std::vector<unsigned> slept;
        std::string logged;
    };
    const Case cases[] = {
        {"producedAt equal to the time stamp", "", kOne, {Shape{}}, 0, 1, {}, ""},
        {"thisUpdate a second before producedAt, max age 0",
         "",
         kOne,
         {Shape{1, 0}},
         109,
         1,
         {},
         "get_revValue() 10 : no sense to wait"},
        {"no nextUpdate, thisUpdate at the time stamp", "", kOne, {Shape{5, 0, 0}}, 0, 1, {}, ""},
        {"no nextUpdate, thisUpdate a second early twice",
         "",
         kOne,
         {Shape{0, -1, 0}, Shape{0, -1, 0}},
         109,
         2,
         {1000},
         "get_revValue() 13 : second OCSP response has been issued 1 seconds earlier than "
         "timestamp"},
        {"stale by exactly the limit, then fresh",
         "max_tsp_ocsp_diff = 60",
         kOne,
         {Shape{-60, -60}, Shape{}},
         0,
         2,
         {60000},
         "get_revValue() : making pause in 60 seconds"},
        {"stale by a second more than the limit",
         "max_tsp_ocsp_diff = 60",
         kOne,
         {Shape{-61, -61}},
         109,
         1,
         {},
         "get_revValue() 10.1 : timestamp and ocsp response time difference (61) exceeds "
         "max_tsp_ocsp_diff (60)"},
        {"revoked ends the list",
         "",
         kTwo,
         {Shape{0, 0, kDay, CertStatus::revoked}},
         106,
         1,
         {},
         "get_revValue() 21 : certificate revoked"},
        {"unknown",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::unknown}},
         107,
         1,
         {},
         "get_revValue() 22 : certificate status unknown"},
        {"first URL refused, second good",
         "",
         kRefusedFirst,
         {Shape{}},
         0,
         1,
         {},
         "' ) failed, retcode = 0"},
        {"404 with a reason",
         "",
         kOne,
         {HttpReply::bytes("HTTP/1.0 404 Not Found\r\n\r\n")},
         105,
         1,
         {},
         ":Code=404,Reason=Not Found"},
        {"garbage", "", kOne, {HttpReply::make(200, "garbage")}, 105, 1, {}, "nested asn1 error"},
        {"oversize",
         "",
         kOne,
         {HttpReply::make(200, std::string(70000, 'x'))},
         105,
         1,
         {},
         "reply too big"},
        {"silent", "", kOne, {silent}, 105, 1, {}, "no complete reply within 300 ms"},
        {"GOST R 34.10-2001 after the cut-off",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &gost2001}},
         105,
         1,
         {},
         "get_SINGLE_RESP() 1.1 : Gost R 34.10-2001 not allowed"},
        {"responder without ocsp-nocheck",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &no_nocheck}},
         105,
         1,
         {},
         "get_revValue() 20 : id-pkix-ocsp-nocheck extension not found in response"},
        {"the first certificate with ocsp-nocheck, the signer's without",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &no_nocheck, false, false, kit_responder}},
         105,
         1,
         {},
         "get_revValue() 20 : id-pkix-ocsp-nocheck extension not found in response"},
        {"the signer's certificate second, after one without ocsp-nocheck",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, nullptr, false, false, &no_nocheck}},
         0,
         1,
         {},
         ""},
        {"signature does not verify",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, nullptr, false, true}},
         105,
         1,
         {},
         "get_revValue() 16 : OCSP_basic_verify_time() failed, retcode = 0"},
        {"responder the issuer did not certify",
         "disable_ocsp_issuer_check = no",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &by_root}},
         105,
         1,
         {},
         "get_revValue() 16 : OCSP_basic_verify_time() failed, retcode = 0"},
        {"a self-signed responder, issuer check off",
         "disable_ocsp_issuer_check = yes",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &self_signed}},
         105,
         1,
         {},
         "get_revValue() 16 : OCSP_basic_verify_time() failed, retcode = 0"},
        {"a responder of another CA, issuer check off",
         "disable_ocsp_issuer_check = yes",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &by_stranger}},
         105,
         1,
         {},
         "get_revValue() 16 : OCSP_basic_verify_time() failed, retcode = 0"},
        {"responder the issuer did not certify, issuer check off",
         "disable_ocsp_issuer_check = yes",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, &by_root}},
         0,
         1,
         {},
         ""},
        {"a NUL in the responder's URL: not asked",
         "",
         kNulInUrl,
         {Shape{}},
         103,
         0,
         {},
         "\\x00.evil/' holds a NUL byte: refused"},
        {"about another certificate",
         "",
         kOne,
         {Shape{0, 0, kDay, CertStatus::good, nullptr, true}},
         105,
         1,
         {},
         "get_revValue() 14 : CertId in request and response don't match"},
        {"no responder named, CRLs forbidden",
         "disable_cades_crl_using = yes",
         kNoAia,
         {},
         107,
         0,
         {},
         "'disable_cades_crl_using' is on, but OCSP address not found"},
        {"no responder named: the CRL",
         "",
         kCrlPoint,
         {HttpReply::make(200, crl_der(make_crl({&pki->inter}).get()))},
         0,
         1,
         {},
         "get_revValue() : no OCSP URL found in certificate, using CRL"},
        {"not an http URL",
         "",
         kNotHttp,
         {},
         103,
         0,
         {},
         "get_OCSP_response() 1 : OCSP_parse_url( 'ldap://127.0.0.1/' ) failed"},
    };
    long serial = 0x2000;
    for (const Case& c : cases) {
        configure("[cades]\n" + c.cades);
        std::vector<HttpReply> replies;
        std::atomic<size_t> next{0};
        HttpStub stub([&](const HttpRequest&) {
            const size_t i = next++;
            return i < replies.size() ? replies[i] : HttpReply::make(500, "");
        });
        std::vector<std::string> urls = {stub.url("/ocsp")};
        Exts exts;
        if (c.urls == kTwo) urls.push_back(stub.url("/second"));
        if (c.urls == kRefusedFirst)
            urls.insert(urls.begin(),
                        "http://127.0.0.1:" + std::to_string(testing_support::free_port()));
        if (c.urls == kNotHttp) urls = {"ldap://127.0.0.1/"};
        if (c.urls == kNoAia || c.urls == kCrlPoint || c.urls == kNulInUrl) urls.clear();
        if (c.urls == kCrlPoint) exts.push_back({"crlDistributionPoints", "URI:" + stub.url("/c")});
        if (c.urls == kNulInUrl)
            exts.push_back({"authorityInfoAccess",
                            aia_der(stub.url("/ocsp") + std::string(1, '\0') + ".evil/")});
        const Entity* answering = kit_responder;
        const Entity cert = subject(++serial, urls, exts);
        for (const auto& r : c.replies) {
            if (const HttpReply* raw = std::get_if<HttpReply>(&r)) {
                replies.push_back(*raw);
                continue;
            }
            const Shape& s = std::get<Shape>(r);
            OcspSpec spec;
            if (s.signer) answering = s.signer;
            spec.responder = answering;
            if (s.ahead) spec.ahead = {s.ahead};
            spec.produced_at = T + s.produced;
            spec.singles.push_back({s.other_cert ? &pki->leaf : &cert, &pki->inter, s.status,
                                    T + s.this_update, s.next ? T + s.next : 0, 0, -1, EVP_sha1()});
            ossl::OcspBasicResp bs = make_basic(spec);
            if (s.bad_signature) {
                const ASN1_OCTET_STRING* sig = OCSP_resp_get0_signature(bs.get());
                const_cast<unsigned char*>(
                    ASN1_STRING_get0_data(sig))[ASN1_STRING_length(sig) - 1] ^= 0x01;
            }
            replies.push_back(
                HttpReply::make(200, str(to_der(make_ocsp_response(bs.get()).get()))));
        }
        ossl::X509StorePtr store = new_store();
        EXPECT_EQ(rev_value(cert.cert.get(), store.get()), c.rc) << c.name;
        EXPECT_EQ(stub.requests().size(), c.asked) << c.name;
        EXPECT_EQ(slept, c.slept) << c.name;
        const std::string lines = fresh();
        EXPECT_TRUE(c.logged.empty() || lines.find(c.logged) != std::string::npos) << c.name << "\n"
                                                                                   << lines;
        // A refused answer is judged no further than the step that refused it.
        if (c.rc != 0 && std::regex_match(c.logged, std::regex("get_revValue\\(\\) [0-9.]+ :.*"))) {
            std::string last;
            std::istringstream in(lines);
            for (std::string l; std::getline(in, l);)
                if (std::regex_match(l, std::regex("get_revValue\\(\\) [0-9.]+ :.*")) &&
                    l.rfind("get_revValue() 24 ", 0) != 0)
                    last = l;
            EXPECT_EQ(last.rfind(c.logged, 0), 0u) << c.name << ": " << last;
        }
        if (c.rc == 0 && c.urls == kCrlPoint) EXPECT_TRUE(crls.size() == 1 && !basic) << c.name;
        if (c.rc == 0 && c.urls != kCrlPoint)
            EXPECT_TRUE(basic && responder && X509_cmp(responder.get(), answering->cert.get()) == 0)
                << c.name;
    }
}

TEST_F(OcspClient, StockResponderDirectOverTlsAndThroughTheProxy) {
    enum Route { kDirect, kTls, kProxy, kProxyTls, kProxyWrongPassword };
    const struct {
        const char* name;
        KeyType key;
        Route route;
        bool revoked;
        int rc;
    } cases[] = {
        {"RSA responder, direct", KeyType::rsa, kDirect, false, 0},
        {"EC responder, revoked", KeyType::ec, kDirect, true, 106},
        {"over TLS", KeyType::rsa, kTls, false, 0},
        {"through the proxy", KeyType::ec, kProxy, false, 0},
        {"https through the proxy's tunnel", KeyType::rsa, kProxyTls, false, 0},
        {"proxy refuses the credentials", KeyType::ec, kProxyWrongPassword, false, 105},
    };
    TinyProxy proxy(dir);
    long serial = 0x3000;
    for (const auto& c : cases) {
        const std::string proxy_lines =
            "[proxy]\nproxy_url = http://127.0.0.1:" + std::to_string(proxy.port) +
            "\nproxy_login_pwd = " + kUser + ":" +
            (c.route == kProxyWrongPassword ? "wrong" : kPassword) + "\n";
        // The responder's clock may put producedAt a second after thisUpdate.
        configure("[cades]\nmax_ocsp_age = 2\n" + (c.route >= kProxy ? proxy_lines : ""), 10000,
                  "ca_file = " + pki->ca_bundle);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%04lX", ++serial);
        const std::string index = std::string(c.revoked ? "R" : "V") + "\t491231235959Z\t" +
                                  (c.revoked ? "240101000000Z" : "") + "\t" + hex +
                                  "\tunknown\t/C=RU/O=Selvanor Test/CN=OCSP Subject\n";
        const Entity& signer = services().responder[static_cast<int>(c.key)];
        dir.write("index.txt", index);
        dir.write("ca.pem", pem_of(pki->inter.cert.get()));
        dir.write("rs.pem", pem_of(signer.cert.get()));
        dir.write("rs.key", key_pem(signer.key.get(), nullptr));
        // Stock `openssl ocsp` answers each request that the scripted front receives.
        const testing_support::OcspResponder responder{dir.file("index.txt"), dir.file("ca.pem"),
                                                       dir.file("rs.pem"), dir.file("rs.key")};
        HttpStub responder_front([&](const HttpRequest& r) {
            return HttpReply::make(
                200, testing_support::ocsp_reply(dir.path(), "ocsp", responder, r.body));
        });
        std::optional<testing_support::TlsFront> front;
        std::string url = "http://127.0.0.1:" + std::to_string(responder_front.port()) + "/ocsp";
        if (c.route == kTls || c.route == kProxyTls) {
            front.emplace(responder_front.port(), dir.path(), pem_of(pki->rsa_leaf.cert.get()),
                          key_pem(pki->rsa_leaf.key.get(), nullptr));
            url = front->url("/ocsp");
        }
        const Entity cert = subject(serial, {url});
        ossl::X509StorePtr empty(X509_STORE_new());  // filled from "common:ca_file"
        EXPECT_EQ(rev_value(cert.cert.get(), empty.get(), now() - 5), c.rc) << c.name << "\n"
                                                                            << fresh();
        if (c.route == kProxy)
            EXPECT_NE(testing_support::read_file(proxy.log).find("POST " + url + " HTTP/1.0"),
                      std::string::npos)
                << c.name;
        if (c.route == kProxyTls)
            EXPECT_NE(testing_support::read_file(proxy.log).find("CONNECT 127.0.0.1:" +
                                                                 std::to_string(front->port())),
                      std::string::npos)
                << c.name;
    }
}

}  // namespace
