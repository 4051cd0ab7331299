// The certificate web-service client against a SOAP service of the test's own (the scripted HTTP
// server), plain and behind a real TLS front (stunnel4).
#include "ssf/net/hok.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>

#include "common/http_stub.h"
#include "common/tls_front.h"
#include "fixture.h"
#include "ssf/net/service_route.h"
#include "ssf/pki/certs.h"

namespace {

using testing_support::HttpReply;
using testing_support::HttpRequest;
using testing_support::HttpStub;

constexpr const char* kSnils = "123-456-789 01";

std::string soap_answer(const std::string& inner) {
    return "<soap:Envelope><soap:Body><return>" + inner + "</return></soap:Body></soap:Envelope>";
}
HttpReply answer(const std::string& inner) {
    return HttpReply::make(200, soap_answer(inner), "text/xml;charset=utf-8");
}
std::string fingerprints(std::initializer_list<std::string> fps) {
    std::string s;
    for (const auto& f : fps) s += "<certs><fingerprint>" + f + "</fingerprint></certs>";
    return s;
}
// The Base64 of a certificate as the service writes it: each line break led by "&#13;".
std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string service_base64(X509* cert) {
    std::string b = test_pki::bare_base64_of(cert), out;
    for (char c : b) out += c == '\n' ? std::string("&#13;\n") : std::string(1, c);
    return out;
}

class HokService : public ssf_test::Started {
  protected:
    void use(const std::string& urls) {
        start("", "[hok]\nhok_urls = " + urls + "\nhok_login = user&co\nhok_password = \"" +
                      kServicePassword + "\"\n");
        ssf::http::Limits limits;
        limits.total_timeout_ms = 300;
        ssf::set_service_limits(limits);
    }
    std::string refused() const {
        return "http://127.0.0.1:" + std::to_string(testing_support::free_port()) + "/ws";
    }
    std::string fp(const test_pki::Entity& e) const { return test_pki::sha1_hex(e.cert.get(), ""); }

    // Long enough, once escaped, to outgrow any fixed request buffer.
    const std::string kServicePassword = "a&b<c>'d" + std::string(200, '&');
    HttpStub stub{[](const HttpRequest&) { return HttpReply::make(404, ""); }};
};

TEST_F(HokService, RequestsAreLaidOutAndEscapedAndThePasswordStaysOutOfTheLog) {
    stub.set_handler([](const HttpRequest&) { return answer("<pkcs>x</pkcs>"); });
    use(stub.url("/ws/hok"));
    std::vector<std::string> values;
    EXPECT_EQ(ssf::hok_get_fingerprint_by_snils(kSnils, &values), 26);
    ossl::X509Ptr cert;
    EXPECT_EQ(ssf::hok_get_cert_by_fingerprint("ab<cd", &cert), 26);

    std::string escaped_password = "a&amp;b&lt;c&gt;&apos;d";
    for (int i = 0; i < 200; ++i) escaped_password += "&amp;";
    const std::string open =
        "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:ws=\"http://ws.hok/\">\n<soapenv:Header/>\n\t<soapenv:Body>\n";
    const std::string credentials =
        "\t\t\t<arg0>\n\t\t\t<login>user&amp;co</login>\n"
        "\t\t\t<password>" +
        escaped_password + "</password>\n";
    const std::string close = "\t\t\t<offset>0</offset>\n\t\t\t<limit>10</limit>\n\t\t\t</arg0>\n";
    const std::string by_owner =
        open + "\t\t<ws:getCertsByOwner>\n" + credentials +
        "\t\t\t<snils>12345678901</snils>\n\t\t\t<states><state>1</state></states>\n" + close +
        "\t\t</ws:getCertsByOwner>\n\t</soapenv:Body>\n</soapenv:Envelope>";
    const std::string by_ids = open + "\t\t<ws:getCertsByIds>\n" + credentials +
                               "\t\t\t<fingerprints>\n\t\t\t\t<fingerprint>ab&lt;cd</fingerprint>\n"
                               "\t\t\t</fingerprints>\n" +
                               close +
                               "\t\t</ws:getCertsByIds>\n\t</soapenv:Body>\n</soapenv:Envelope>";
    const auto seen = stub.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const std::string& body = i == 0 ? by_owner : by_ids;
        EXPECT_EQ(seen[i].body, body);
        EXPECT_EQ(seen[i].head,
                  "POST /ws/hok HTTP/1.1\r\nContent-Type: text/xml;charset=UTF-8\r\n"
                  "SOAPAction: \"\"\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nHost: 127.0.0.1:" +
                      std::to_string(stub.port()) + "\r\nConnection: close\r\n");
    }
    EXPECT_TRUE(log_contains("\t\t\t<password>********</password>\n"));
    EXPECT_FALSE(log_contains(kServicePassword));
    EXPECT_FALSE(log_contains(escaped_password));
}

// The debug dump of a request quotes the values it carries with their control characters
// escaped: neither a fingerprint a service gave nor the login writes a line of its own.
TEST_F(HokService, RequestDumpEscapesTheValuesItCarries) {
    stub.set_handler([](const HttpRequest&) { return answer("<pkcs>x</pkcs>"); });
    start("", "[hok]\nhok_urls = " + stub.url("/ws") +
                  "\nhok_login = a\x01"
                  "b\n");
    ossl::X509Ptr cert;
    EXPECT_EQ(ssf::hok_get_cert_by_fingerprint("ab\nERROR", &cert), 26);
    ASSERT_EQ(stub.requests().size(), 1u);
    EXPECT_NE(stub.requests()[0].body.find("<fingerprint>ab\nERROR</fingerprint>"),
              std::string::npos);
    const std::string dumped = fresh();
    EXPECT_TRUE(ssf_test::has_line(dumped, "\t\t\t\t<fingerprint>ab\\nERROR</fingerprint>"))
        << dumped;
    EXPECT_TRUE(ssf_test::has_line(dumped, "\t\t\t<login>a\\x01b</login>")) << dumped;
    EXPECT_FALSE(ssf_test::has_line(dumped, "ERROR</fingerprint>"));
}

TEST(HokText, NumericCharacterReferencesAreRemoved) {
    const std::pair<const char*, const char*> cases[] = {
        {"MII&#13;\nAb", "MII\nAb"}, {"a&#x0D;b&#13;", "ab"}, {"ab&#13", "ab&#13"},
        {"a&#13;b&#", "ab&#"},       {"&amp;&#;x", "&amp;x"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(ssf::ssf_clean_str(in).value_or("?"), out) << in;
}

TEST_F(HokService, LookupsAndHowEachFailureEnds) {
    enum Where { kPlain, kFirstRefuses, kBothRefuse, kTls, kTlsToPlain };
    HttpReply silent;
    silent.silent = true;
    const std::string leaf = fp(pki->leaf), inter = fp(pki->inter), root = fp(pki->root);
    const std::string cert = "<pkcs>" + service_base64(pki->leaf.cert.get()) + "</pkcs>";
    struct Case {
        const char* name;
        Where where;
        HttpReply reply;
        std::string got;  // the fingerprints joined by '|', or "cert" for the leaf's certificate
        std::string logged;
    };
    const Case cases[] = {
        {"three fingerprints", kPlain, answer(fingerprints({leaf, inter, root})),
         leaf + "|" + inter + "|" + root, ""},
        {"first URL refuses", kFirstRefuses, answer(fingerprints({leaf})), leaf,
         "get_hok_resp() 4 : BIO_do_connect( host = '127.0.0.1', port = '"},
        {"every URL refuses", kBothRefuse, answer(""), "",
         "hok_get_fingerprint_by_snils() 3 : get_hok_resp( url = 'http://127.0.0.1:"},
        {"no begin tag", kPlain, answer("<certs/>"), "",
         "get_hok_resp() 6 : tag '<fingerprint>' not found in response '<soap"},
        {"no end tag", kPlain, answer("<fingerprint>a</fingerprint><fingerprint>b"), "",
         "get_hok_resp() 7 : tag '</fingerprint>' not found in response '<soap"},
        {"500 with a reason", kPlain,
         HttpReply::bytes("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\nfault"),
         "", ":Code=500,Reason=Internal Server Error\n"},
        {"silent", kPlain, silent, "", "no complete reply within 300 ms"},
        {"certificate with references, in chunks", kPlain,
         HttpReply::chunked(200, soap_answer(cert), {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233}),
         "cert", ""},
        {"certificate already PEM", kPlain,
         answer("<pkcs>" + test_pki::pem_of(pki->leaf.cert.get()) + "</pkcs>"), "cert", ""},
        {"certificate unreadable", kPlain, answer("<pkcs>QUJD</pkcs>"), "cert",
         "hok_get_cert_by_fingerprint() 6 : PEM_read_bio_X509( '-----BEGIN "
         "CERTIFICATE-----\\nQUJD"},
        {"over TLS", kTls, answer(cert), "cert", ""},
        {"https to a plain server", kTlsToPlain, answer(cert), "cert",
         "get_hok_resp() 4.1 : TLS connection ( host = '127.0.0.1', port = '"},
    };
    for (const Case& c : cases) {
        stub.set_handler([&c](const HttpRequest&) { return c.reply; });
        std::optional<testing_support::TlsFront> front;
        std::string urls = stub.url("/ws");
        if (c.where == kFirstRefuses) urls = refused() + "," + urls;
        if (c.where == kBothRefuse) urls = refused() + "," + refused();
        if (c.where == kTlsToPlain) urls = "https://127.0.0.1:" + std::to_string(stub.port());
        if (c.where == kTls) {
            front.emplace(stub.port(), dir.path(), test_pki::pem_of(pki->rsa_leaf.cert.get()),
                          test_pki::key_pem(pki->rsa_leaf.key.get(), nullptr));
            urls = front->url("/ws");
        }
        use(urls);
        const auto started = std::chrono::steady_clock::now();
        const bool ok = c.logged.empty() || c.where == kFirstRefuses;
        if (c.got == "cert") {
            ossl::X509Ptr x;
            EXPECT_EQ(ssf::hok_get_cert_by_fingerprint(leaf.c_str(), &x), ok ? 0 : 26) << c.name;
            EXPECT_EQ(x && X509_cmp(x.get(), pki->leaf.cert.get()) == 0, ok) << c.name;
        } else {
            std::vector<std::string> values;
            EXPECT_EQ(ssf::hok_get_fingerprint_by_snils(kSnils, &values), ok ? 0 : 26) << c.name;
            std::string got;
            for (const auto& v : values) got += (got.empty() ? "" : "|") + v;
            EXPECT_EQ(got, c.got) << c.name;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << c.name;
        EXPECT_TRUE(c.logged.empty() || log_contains(c.logged)) << c.name;
    }
    EXPECT_EQ(stub.requests().size(), 10u) << "the https URL was never spoken to in plain text";
}

TEST_F(HokService, RecipientsAndVerificationAskTheService) {
    const std::string leaf = fp(pki->leaf);
    stub.set_handler([&](const HttpRequest& r) {
        if (r.body.find("getCertsByOwner") != std::string::npos)
            return answer(fingerprints({leaf, fp(pki->stranger)}));
        // Asked for the RSA leaf, a false service answers with another certificate.
        if (r.body.find("<fingerprint>" + leaf + "</fingerprint>") != std::string::npos ||
            r.body.find("<fingerprint>" + fp(pki->rsa_leaf) + "</fingerprint>") !=
                std::string::npos ||
            r.body.find("<fingerprint>" + upper(leaf) + "</fingerprint>") != std::string::npos)
            return answer("<pkcs>" + service_base64(pki->leaf.cert.get()) + "</pkcs>");
        return HttpReply::make(500, "");
    });
    use(stub.url("/ws"));

    // A recipient by SNILS (its first fingerprint) or by fingerprint that only the service knows.
    ossl::X509Stack pab = ossl::new_x509_stack();
    sk_X509_push(pab.get(), ossl::up_ref(pki->stranger.cert.get()).release());
    for (const std::string& id : {std::string(kSnils), leaf, upper(leaf)}) {
        ssf_test::Record rcpt(id);
        ossl::X509Ptr found;
        EXPECT_EQ(ssf::get_cert_from_pab(pab.get(), &rcpt.info, found), 0) << id;
        EXPECT_TRUE(found && X509_cmp(found.get(), pki->leaf.cert.get()) == 0) << id;
    }
    // A certificate other than the one asked for is not taken.
    ssf_test::Record other(fp(pki->rsa_leaf));
    ossl::X509Ptr wrong;
    EXPECT_EQ(ssf::get_cert_from_pab(pab.get(), &other.info, wrong), 26);
    EXPECT_FALSE(wrong);
    EXPECT_TRUE(
        log_contains("get_cert_from_pab() 5 : the web service's certificate does not match"));

    // A directory that cannot be listed does not end the verification: the service may help.
    ssf_test::Sap fmt("PKCS7"), pab_dir(dir.file("no-such-directory"));
    test_pki::Der sig = test_pki::signed_der("content");
    SigRcpSsfInfoList results = nullptr;
    ssf_test::Out out;
    EXPECT_NE(SsfVerify(fmt.p(), fmt.n(), 1, sig.data(), static_cast<SAP_UINT>(sig.size()), nullptr,
                        0, pab_dir.p(), pab_dir.n(), nullptr, 0, &results, &out.data, &out.len),
              7u);
    SsfDELSigRcpSsfInfoList(&results);
    EXPECT_TRUE(logged("ssf_verify_data() : will find root certificate in HOK"));
}

}  // namespace
