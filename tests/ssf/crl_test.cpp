// CRL download, the check of one CRL, and the revocation check, against real servers started on
// 127.0.0.1: an HTTP server serving CRL files, slapd holding a CRL entry, file URLs, and the
// scripted stub for servers that stall, send garbage or send too much.
#include "kit/crl.h"

#include <chrono>
#include <regex>

#include "common/http_stub.h"
#include "common/process.h"
#include "fixture.h"
#include "ssf/base64.h"
#include "ssf/cert_verify.h"
#include "ssf/crl.h"
#include "ssf/utils.h"

namespace {

using namespace ssf_test;
using namespace test_pki;
using testing_support::Child;
using testing_support::TempDir;

// Certificates and CRLs for every case, signed by the kit's intermediate unless named otherwise.
struct Material {
    Entity gost01_ca, gost12_ca, gost12_leaf;
    Material() {
        gost01_ca = make("CA 2001", 31, gost_key("gost2001"), nullptr, -kYear, kYear,
                         EVP_get_digestbyname("md_gost94"));
        gost12_ca = make("CA 2012", 32, gost_key("gost2012_256"), nullptr, -kYear, kYear,
                         EVP_get_digestbyname("md_gost12_256"));
        gost12_leaf = make("Leaf 2012", 33, gost_key("gost2012_256"), &gost12_ca, -kYear, kYear,
                           EVP_get_digestbyname("md_gost12_256"));
    }
};

class Revocation : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        ssf::set_crl_download_limits({500, 1500, 64 * 1024});
        static Material* m = new Material;
        mat = m;
        store.reset(X509_STORE_new());
        for (X509* c : {pki->root.cert.get(), pki->inter.cert.get(), mat->gost01_ca.cert.get(),
                        mat->gost12_ca.cert.get()})
            X509_STORE_add_cert(store.get(), c);
    }
    void TearDown() override {
        ssf::set_crl_download_limits({});
        Started::TearDown();
    }
    ossl::X509StoreCtx ctx_for(X509* cert) {
        ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
        EXPECT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr), 1);
        return ctx;
    }
    // The real HTTP server over a directory of CRL files, started on first use.
    std::string web(const std::string& name) {
        if (!http.running()) {
            http_port = testing_support::free_port();
            http = Child({"python3", "-m", "http.server", std::to_string(http_port), "--bind",
                          "127.0.0.1", "--directory", files.path()});
            EXPECT_TRUE(testing_support::wait_for_port(http_port));
        }
        return "http://127.0.0.1:" + std::to_string(http_port) + "/" + name;
    }
    std::string publish(const std::string& name, X509_CRL* crl) {
        files.write(name, crl_der(crl));
        return web(name);
    }
    void configure(const std::string& cades) {
        start("cert_check_options = check_crl\ncrl_protocols = http ldap file",
              "[cades]\n" + cades);
    }

    Material* mat = nullptr;
    ossl::X509StorePtr store;
    TempDir files;
    Child http;
    int http_port = 0;
};

std::string base64(const std::string& bytes) {
    ssf::OutData out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(ssf::base64_encode(out, ssf::Bytes(p, bytes.size()), true), 0);
    return std::string(reinterpret_cast<char*>(out.data.get()), out.size);
}

bool same_crl(X509_CRL* a, X509_CRL* b) {
    return a && b && crl_der(a) == crl_der(b);
}

ssf::list* word_list(const std::string& text) {
    ssf::list* l = ssf::list_create();
    EXPECT_GT(ssf::parse_protocol_list(l, text.c_str()), 0);
    return l;
}
void free_list(ssf::list* l) {
    ssf::list_free(l, std::free);
}

// slapd with a database of its own holding one cRLDistributionPoint entry.
struct Slapd {
    TempDir dir;
    Child child;
    int port = testing_support::free_port();
    explicit Slapd(const std::string& der) {
        const std::string conf = dir.file("slapd.conf");
        dir.write("slapd.conf",
                  "include /etc/ldap/schema/core.schema\nmodulepath /usr/lib/ldap\n"
                  "moduleload back_mdb\ndatabase mdb\nsuffix \"dc=test\"\n"
                  "rootdn \"cn=admin,dc=test\"\ndirectory " +
                      dir.path() + "\n");
        dir.write(
            "entry.ldif",
            "dn: dc=test\nobjectClass: dcObject\nobjectClass: organization\no: t\ndc: test\n\n"
            "dn: cn=CA,dc=test\nobjectClass: cRLDistributionPoint\ncn: CA\n"
            "certificateRevocationList;binary:: " +
                base64(der) + "\n");
        EXPECT_EQ(testing_support::run_command(
                      {"/usr/sbin/slapadd", "-f", conf, "-l", dir.file("entry.ldif")}),
                  0);
        child = Child({"/usr/sbin/slapd", "-d", "0", "-f", conf, "-h",
                       "ldap://127.0.0.1:" + std::to_string(port) + "/"});
        EXPECT_TRUE(testing_support::wait_for_port(port));
    }
    std::string url() const {
        return "ldap://127.0.0.1:" + std::to_string(port) +
               "/cn=CA,dc=test?certificateRevocationList;binary";
    }
};

}  // namespace

TEST_F(Revocation, OneCrlAtATime) {
    const time_t now = std::time(nullptr), cut = ssf::gost2001_cutoff_time();
    ossl::PKey other(EVP_EC_gen("P-256"));
    const Entity* inter = &pki->inter;
    const Entity* gost01 = &mat->gost01_ca;
    struct Row {
        const char* what;
        CrlSpec spec;
        time_t at;
        int expected;
        const char* line;
    };
    const Row rows[] = {
        {"valid now", {inter}, 0, 1, nullptr},
        {"without nextUpdate",
         {.issuer = inter, .no_next_update = true},
         0,
         1,
         "verify_crl() : crl has no 'nextUpdate' field: it does not expire"},
        {"signed by another key",
         {.issuer = inter, .sign_key = other.get()},
         0,
         0,
         "verify_crl() 4 : crl is invalid"},
        {"not yet valid",
         {.issuer = inter, .last_update = now + kDay},
         0,
         0,
         "verify_crl() 6 : crl is not yet valid"},
        {"expired",
         {.issuer = inter, .last_update = now - 9 * kDay},
         0,
         0,
         "verify_crl() 8 : crl has expired"},
        {"valid at the time asked",
         {.issuer = inter, .last_update = now - 9 * kDay},
         now - 5 * kDay,
         1,
         nullptr},
        {"issuer not in the store",
         {&pki->stranger},
         0,
         -1,
         "verify_crl() 1 : getting the certificate of the crl-issuer failed"},
        {"GOST R 34.10-2001 issued at the cut-off",
         {.issuer = gost01, .last_update = cut},
         cut + 60,
         1,
         nullptr},
        {"GOST R 34.10-2001 issued a second later",
         {.issuer = gost01, .last_update = cut + 1},
         cut + 60,
         -1,
         "verify_crl() 9 : Gost R 34.10-2001 not allowed for CRLs"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ossl::X509Crl crl = make_crl(r.spec);
        ossl::X509StoreCtx ctx = ctx_for(pki->leaf.cert.get());
        EXPECT_EQ(ssf::verify_crl(crl.get(), ctx.get(), r.at), r.expected);
        const std::string log = fresh();
        if (r.line) EXPECT_TRUE(has_line(log, r.line)) << log;
    }
}

TEST_F(Revocation, CrlsCarriedBySignatures) {
    const time_t now = std::time(nullptr);
    X509* leaf = pki->leaf.cert.get();
    ossl::X509Crl good = make_crl({&pki->inter}), foreign = make_crl({&pki->root}),
                  listing = make_crl({.issuer = &pki->inter, .revoked = {{0x5678, now - kDay}}}),
                  old = make_crl({.issuer = &pki->inter, .last_update = now - 9 * kDay});
    struct Row {
        std::vector<X509_CRL*> crls;
        time_t at;
        int expected;
        const char* line;
    };
    const Row rows[] = {
        {{foreign.get()}, 0, 0, "check_revoked_crl() 2 : no relevant CRL found"},
        {{foreign.get(), good.get()}, 0, 1, nullptr},
        {{good.get(), listing.get()},
         0,
         0,
         "check_revoked_crl() 5 : certificate found in CRL, certificate is invalid"},
        {{good.get(), old.get()}, 0, 0, "check_revoked_crl() 4 : verify_crl() failed"},
        {{old.get()}, now - 5 * kDay, 1, nullptr},
    };
    for (const Row& r : rows) {
        ossl::CrlStack crls(sk_X509_CRL_new_null());
        for (X509_CRL* c : r.crls) sk_X509_CRL_push(crls.get(), ossl::up_ref(c).release());
        EXPECT_EQ(ssf::check_revoked_crl(leaf, crls.get(), store.get(), r.at), r.expected);
        if (r.line) EXPECT_TRUE(has_line(fresh(), r.line)) << r.line;
    }
    EXPECT_EQ(ssf::check_revoked_crl(leaf, nullptr, store.get(), 0), 0);
    EXPECT_TRUE(logged("check_revoked_crl() 1 : bad_args"));
}

TEST_F(Revocation, DownloadBodiesAndBounds) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    const std::string der = crl_der(crl.get()), pem = crl_pem(crl.get());
    const std::string lines =
        pem.substr(pem.find('\n') + 1, pem.find("-----END") - pem.find('\n') - 1);
    files.write("c.crl", der);
    const std::string file_url = "file://" + files.file("c.crl");
    using testing_support::HttpReply;
    struct Row {
        const char* path;
        HttpReply reply;
        bool parses;
        std::string line;
    };
    const std::string big(100 * 1024, '0');
    const Row rows[] = {
        {"/der", HttpReply::make(200, der), true, "download_crl() : crl is DER-encoded"},
        {"/pem", HttpReply::make(200, pem), true, "download_crl() : crl is PEM-encoded"},
        {"/lines", HttpReply::make(200, lines), true, "download_crl() : crl is Base64-encoded"},
        {"/one-line", HttpReply::make(200, base64(der)), true, ""},
        {"/garbage", HttpReply::make(200, "<html>no</html>"), false,
         "download_crl() : unknown format: data[ 0 ] = 0x3c (<)"},
        {"/truncated", HttpReply::make(200, der.substr(0, der.size() / 2)), false,
         "download_crl() : d2i_X509_CRL_bio() failed"},
        {"/declared-too-large", HttpReply::make(200, big), false,
         "InstallCRLFromServer() 10 : curl_easy_perform() failed, code = 63"},
        {"/chunked-too-large", HttpReply::chunked(200, big, {4096}), false,
         "WriteMemoryCallback() : the download is larger than 65536 bytes"},
        // A redirect is not followed, least of all to another scheme.
        {"/redirect",
         {"HTTP/1.1 302 Found\r\nLocation: " + file_url +
          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
         false,
         "download_crl() : unknown format: data[ 0 ] = 0x00 (.)"},
        {"/silent",
         {.silent = true},
         false,
         "InstallCRLFromServer() 10 : curl_easy_perform() failed, code = 28"},
    };
    testing_support::HttpStub stub([&](const testing_support::HttpRequest& req) {
        for (const Row& r : rows)
            if (req.target == r.path) return r.reply;
        return HttpReply::make(404, "");
    });
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        const auto begin = std::chrono::steady_clock::now();
        ossl::X509Crl got = ssf::download_crl(stub.url(r.path).c_str());
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
        EXPECT_EQ(got != nullptr, r.parses);
        if (r.parses) EXPECT_TRUE(same_crl(got.get(), crl.get()));
        const std::string log = fresh();
        if (!r.line.empty()) EXPECT_TRUE(has_line(log, r.line)) << log;
    }
    EXPECT_TRUE(same_crl(ssf::download_crl(file_url.c_str()).get(), crl.get()));
}

TEST_F(Revocation, LdapAnswerForms) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    const std::string der = crl_der(crl.get()), b64 = base64(der);
    Slapd slapd(der);
    EXPECT_TRUE(same_crl(ssf::download_crl(slapd.url().c_str()).get(), crl.get()));
    EXPECT_TRUE(has_line(fresh(), "download_crl() : crl is DER-encoded"));

    struct Row {
        std::string answer;
        bool found;
    };
    const Row rows[] = {
        {"DN: cn=CA,dc=test\n\tcertificateRevocationList: " + der + "\n\n", true},
        {"DN: cn=CA,dc=test\n\tcertificateRevocationList;binary:: " + b64.substr(0, 40) + "\n " +
             b64.substr(40) + "\n\n\n",
         true},
        {"DN: cn=CA,dc=test\n\tcertificateRevocationList: x", false},
        {"DN: cn=CA,dc=test\n\tcertificateRevocationList;binary:: !!\n", false},
        {"DN: cn=CA,dc=test\n\n", false},
    };
    for (const Row& r : rows) {
        std::vector<unsigned char> value;
        const auto* p = reinterpret_cast<const unsigned char*>(r.answer.data());
        EXPECT_EQ(ssf::ldap_answer_value(ssf::Bytes(p, r.answer.size()), value), r.found ? 0 : -1);
        if (r.found) EXPECT_EQ(std::string(value.begin(), value.end()), der);
    }
}

TEST_F(Revocation, ProtocolOrderAndSchemes) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    files.write("c.crl", crl_der(crl.get()));
    testing_support::HttpStub stub([&](const testing_support::HttpRequest&) {
        return testing_support::HttpReply::make(200, crl_der(crl.get()));
    });
    const std::string closed = "127.0.0.1:" + std::to_string(testing_support::free_port());
    const std::string ldap = "ldap://" + closed + "/cn=CA?certificateRevocationList",
                      inner = "http://" + closed + "/?ldap://host/",
                      http = "HTTP" + stub.url("/c.crl").substr(4),
                      file = "file://" + files.file("c.crl");
    ssf::list* urls = word_list(ldap + " " + inner + " " + http + " " + file);
    struct Row {
        const char* protocols;
        std::vector<std::string> tried;
        bool found;
    };
    const Row rows[] = {
        {"http ldap", {inner, http}, true},
        {"ldap http", {ldap, inner, http}, true},
        {"ldap", {ldap}, false},
        {"gopher FILE", {file}, true},
    };
    const std::regex tried_line(
        "download_crl_from_list\\(\\) : downloading CRL from (.*) \\.\\.\\.");
    for (const Row& r : rows) {
        SCOPED_TRACE(r.protocols);
        ssf::list* protocols = word_list(r.protocols);
        ossl::X509Crl got = ssf::download_crl_from_list(urls, protocols);
        free_list(protocols);
        EXPECT_EQ(got != nullptr, r.found);
        std::vector<std::string> tried;
        std::istringstream log(fresh());
        std::smatch m;
        for (std::string l; std::getline(log, l);)
            if (std::regex_match(l, m, tried_line)) tried.push_back(m[1]);
        EXPECT_EQ(tried, r.tried);
    }
    free_list(urls);
}

TEST_F(Revocation, RevocationThroughDistributionPoints) {
    const time_t now = std::time(nullptr);
    const long good = 0x100, in_base = 0x101, in_delta = 0x102;
    const Entity* inter = &pki->inter;
    ossl::PKey other(EVP_EC_gen("P-256"));
    auto with_delta = [&](const std::string& name, const std::string& delta) {
        return publish(name, make_crl({.issuer = inter,
                                       .revoked = {{in_base, now - kDay}},
                                       .freshest = {web(delta)}})
                                 .get());
    };
    const CrlSpec delta{
        .issuer = inter, .revoked = {{in_delta, now - kDay}}, .number = 2, .delta_of = 1};
    publish("delta.crl", make_crl(delta).get());
    CrlSpec forged = delta, stale = delta;
    forged.sign_key = other.get();
    stale.last_update = now - 9 * kDay;
    publish("forged.crl", make_crl(forged).get());
    publish("stale.crl", make_crl(stale).get());
    with_delta("base.crl", "delta.crl");
    with_delta("lost-delta.crl", "absent.crl");
    with_delta("forged-delta.crl", "forged.crl");
    with_delta("stale-delta.crl", "stale.crl");
    publish("plain.crl", make_crl({.issuer = inter, .revoked = {{in_base, now - kDay}}}).get());
    publish("empty.crl", make_crl({inter}).get());
    publish("expired.crl", make_crl({.issuer = inter, .last_update = now - 9 * kDay}).get());
    publish("root.crl", make_crl({&pki->root}).get());
    publish("gost12.crl", make_crl({&mat->gost12_ca}).get());

    struct Row {
        const char* what;
        const char* cdp;  // "" for none
        long serial;
        std::string cades;
        int expected;
        std::string line;
        const Entity* cert = nullptr;  // instead of a new leaf of the intermediate
    };
    const std::string root_names =
        "'CN=Test Root, O=Selvanor Test, C=RU' and 'CN=Test Intermediate, O=Selvanor Test, C=RU'";
    const std::string fn = "check_for_revocation() ";
    const Row rows[] = {
        {"not listed", "plain.crl", good, "", 1, ""},
        {"listed", "plain.crl", in_base, "", 0, ""},
        {"listed in the base, a delta too", "base.crl", in_base, "", 0, ""},
        {"listed only in the delta", "base.crl", in_delta, "", 0, ""},
        {"listed in neither", "base.crl", good, "", 1, ""},
        {"delta unreachable", "lost-delta.crl", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"delta signed by another key", "forged-delta.crl", good, "", -1,
         fn + ": the delta crl's signature does not verify: it is not used"},
        {"an expired delta still counts", "stale-delta.crl", in_delta, "", 0,
         "verify_crl() 8 : crl has expired"},
        {"expired base", "expired.crl", good, "", 0, "verify_crl() 8 : crl has expired"},
        {"another issuer's CRL", "root.crl", good, "", -1,
         fn + ": crl issuer and certificate issuer not match (" + root_names + ")"},
        {"CDP unreachable, default URL", "absent.crl", good,
         "default_crl_url = " + web("plain.crl"), 1,
         fn + "3 : downloading the crl failed for all CDPs"},
        {"only the default URL", "plain.crl", in_base,
         "use_only_default_crl_url = yes\ndefault_crl_url = " + web("empty.crl"), 1,
         fn + ": use_only_default_crl_url is ON, skipping CDPs in certificate"},
        {"no default URL", "absent.crl", good, "", -1, fn + "3.2 : default URL not specified"},
        {"no CDP here nor at the issuer", "", good, "default_crl_url = " + web("empty.crl"), -1,
         fn + "2 : neither the user nor the ca certificate does contain a crl distribution point"},
        {"no CDP, issuer unknown", "", good, "default_crl_url = " + web("empty.crl"), -1,
         fn + "1 : no dedicated ca certificate available", &pki->stranger},
        {"2012 signature: the 2012 default URL", "", good,
         "use_only_default_crl_url = yes\ndefault_crl_url = " + web("root.crl") +
             "\ndefault_crl_url_2012 = " + web("gost12.crl"),
         1, fn + ": trying to download CRL from default URL: '" + web("gost12.crl") + "'",
         &mat->gost12_leaf},
        {"other signatures: the default URL", "", good,
         "use_only_default_crl_url = yes\ndefault_crl_url = " + web("empty.crl") +
             "\ndefault_crl_url_2012 = " + web("gost12.crl"),
         1, fn + ": trying to download CRL from default URL: '" + web("empty.crl") + "'"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        configure(r.cades);
        Entity leaf;
        X509* cert = nullptr;
        if (r.cert) {
            cert = r.cert->cert.get();
        } else {
            leaf = make("Revocation Leaf", r.serial, ossl::PKey(EVP_EC_gen("P-256")), inter);
            if (*r.cdp) add_crl_points(leaf, inter, {web(r.cdp)});
            cert = leaf.cert.get();
        }
        ossl::X509StoreCtx ctx = ctx_for(cert);
        ossl::X509Crl crl, delta_crl;
        EXPECT_EQ(ssf::check_for_revocation(cert, ctx.get(), ssf::config().crl_protocols, &crl,
                                            &delta_crl),
                  r.expected);
        EXPECT_EQ(crl != nullptr, r.expected == 1) << "copies only of CRLs that passed";
        EXPECT_EQ(delta_crl != nullptr, r.expected == 1 && std::string(r.cdp) == "base.crl");
        const std::string log = fresh();
        if (!r.line.empty()) EXPECT_TRUE(has_line(log, r.line)) << log;
        if (!*r.cdp && r.expected < 0)
            EXPECT_EQ(log.find("default URL"), std::string::npos) << "these end the check";
    }
}
