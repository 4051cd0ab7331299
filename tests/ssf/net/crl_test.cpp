// CRL download, the check of one CRL, and the revocation check, against real servers started on
// 127.0.0.1: an HTTP server serving CRL files, slapd holding a CRL entry, file URLs, and the
// scripted stub for servers that stall, send garbage or send too much.
#include "kit/crl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "common/http_stub.h"
#include "common/openssl_tool.h"
#include "common/process.h"
#include "fixture.h"
#include "ssf/base64.h"
#include "ssf/net/crl.h"
#include "ssf/pki/cert_verify.h"
#include "ssf/utils.h"

namespace {

using namespace ssf_test;
using namespace test_pki;
using testing_support::Child;
using testing_support::HttpReply;

std::string base64(const std::string& bytes) {
    ssf::OutData out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(ssf::base64_encode(out, ssf::Bytes(p, bytes.size()), true), 0);
    return std::string(reinterpret_cast<char*>(out.data.get()), out.size);
}

bool same_crl(X509_CRL* a, X509_CRL* b) {
    return a && b && crl_der(a) == crl_der(b);
}

struct Words {
    ssf::list* l = ssf::list_create();
    explicit Words(const std::string& text) { ssf::parse_protocol_list(l, text.c_str()); }
    ~Words() { ssf::list_free(l, std::free); }
};

// slapd with a database of its own holding a cRLDistributionPoint entry per CRL, under its name.
struct Slapd {
    testing_support::TempDir dir;
    Child child;
    int port;
    explicit Slapd(const std::vector<std::pair<std::string, std::string>>& crls,
                   int at = testing_support::free_port())
        : port(at) {
        const std::string conf = dir.file("slapd.conf");
        dir.write("slapd.conf",
                  "include /etc/ldap/schema/core.schema\nmodulepath /usr/lib/ldap\n"
                  "moduleload back_mdb\ndatabase mdb\nsuffix \"dc=test\"\n"
                  "directory " +
                      dir.path() + "\n");
        std::string ldif =
            "dn: dc=test\nobjectClass: dcObject\nobjectClass: organization\no: t\ndc: test\n";
        for (const auto& [cn, der] : crls)
            ldif += "\ndn: cn=" + cn + ",dc=test\nobjectClass: cRLDistributionPoint\ncn: " + cn +
                    "\ncertificateRevocationList;binary:: " + base64(der) + "\n";
        dir.write("entry.ldif", ldif);
        EXPECT_EQ(testing_support::run_command(
                      {"/usr/sbin/slapadd", "-f", conf, "-l", dir.file("entry.ldif")}),
                  0);
        child = Child({"/usr/sbin/slapd", "-d", "0", "-f", conf, "-h", url("")});
        EXPECT_TRUE(testing_support::wait_for_port(port));
    }
    std::string url(const std::string& rest) const {
        return "ldap://127.0.0.1:" + std::to_string(port) + "/" + rest;
    }
    std::string crl_url(const std::string& cn) const { return ldap_crl_url(port, cn); }
    static std::string ldap_crl_url(int port, const std::string& cn) {
        return "ldap://127.0.0.1:" + std::to_string(port) + "/cn=" + cn +
               ",dc=test?certificateRevocationList;binary";
    }
};

class Revocation : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        ssf::set_crl_download_limits({500, 1500, 64 * 1024});
        static const Entity* cas = [] {
            auto gost = [](const char* cn, const char* type, const Entity* issuer) {
                ossl::PKey key = gost_key(type);
                const EVP_MD* md = digest_for(issuer ? issuer->key.get() : key.get());
                return make(cn, 30, std::move(key), issuer, -kYear, kYear, md);
            };
            auto* e = new Entity[3];
            e[0] = gost("CA 2001", "gost2001", nullptr);
            e[1] = gost("CA 2012", "gost2012_256", nullptr);
            e[2] = gost("Leaf 2012", "gost2012_256", &e[1]);
            return e;
        }();
        gost01 = &cas[0], gost12 = &cas[1], leaf12 = &cas[2];
        store.reset(X509_STORE_new());
        for (const Entity* e : {&pki->root, &pki->inter, gost01, gost12})
            X509_STORE_add_cert(store.get(), e->cert.get());
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
            port = testing_support::free_port();
            http = Child({"python3", "-m", "http.server", std::to_string(port), "--bind",
                          "127.0.0.1", "--directory", files.path()});
            EXPECT_TRUE(testing_support::wait_for_port(port));
        }
        return "http://127.0.0.1:" + std::to_string(port) + "/" + name;
    }
    void publish(const std::string& name, const CrlSpec& spec) {
        files.write(name, crl_der(make_crl(spec).get()));
    }

    const Entity *gost01 = nullptr, *gost12 = nullptr, *leaf12 = nullptr;
    ossl::X509StorePtr store;
    testing_support::TempDir files;
    Child http;
    int port = 0;
};

TEST_F(Revocation, OneCrlAtATime) {
    const time_t now = std::time(nullptr), cut = ssf::gost2001_cutoff_time();
    ossl::PKey other(EVP_EC_gen("P-256"));
    const Entity* in = &pki->inter;
    const std::string v = "verify_crl() ";
    struct Row {
        int expected;
        time_t at;
        CrlSpec spec;
        std::string line;
    };
    const Row rows[] = {
        {1,
         0,
         {.issuer = in, .no_next_update = true},
         v + ": crl has no 'nextUpdate' field: it "
             "does not expire"},
        {0, 0, {.issuer = in, .sign_key = other.get()}, v + "4 : crl is invalid"},
        {0, 0, {.issuer = in, .last_update = now + kDay}, v + "6 : crl is not yet valid"},
        {0, 0, {.issuer = in, .last_update = now - 9 * kDay}, v + "8 : crl has expired"},
        {-1, 0, {&pki->stranger}, v + "1 : getting the certificate of the crl-issuer failed"},
        {1, cut + 60, {.issuer = gost01, .last_update = cut}, ""},
        {-1,
         cut + 60,
         {.issuer = gost01, .last_update = cut + 1},
         v + "9 : Gost R 34.10-2001 not allowed for CRLs"},
    };
    for (const Row& r : rows) {
        ossl::X509StoreCtx ctx = ctx_for(pki->leaf.cert.get());
        EXPECT_EQ(ssf::verify_crl(make_crl(r.spec).get(), ctx.get(), r.at), r.expected);
        const std::string log = fresh();
        if (!r.line.empty()) EXPECT_TRUE(has_line(log, r.line)) << log;
    }
}

TEST_F(Revocation, CrlsCarriedBySignatures) {
    const time_t now = std::time(nullptr), old = now - 9 * kDay;
    const Entity* in = &pki->inter;
    // CRLs in the intermediate's name that anyone could write: signed by a key of the same kind,
    // and by an RSA key, which does not even fit the intermediate's key.
    ossl::PKey forger(EVP_EC_gen("P-256"));
    ossl::X509Crl good = make_crl({in}), foreign = make_crl({&pki->root}),
                  listing = make_crl({.issuer = in, .revoked = {{0x5678, now}}}),
                  stale = make_crl({.issuer = in, .last_update = old}),
                  forged = make_crl({.issuer = in, .sign_key = forger.get()}),
                  forged_rsa = make_crl({.issuer = in, .sign_key = pki->rsa_leaf.key.get()});
    const std::string c = "check_revoked_crl() ";
    const std::string unused =
        c + ": a CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' that does not verify";
    const std::tuple<int, time_t, std::vector<X509_CRL*>, std::string> rows[] = {
        {0, 0, {foreign.get()}, c + "2 : no relevant CRL found"},
        {0, 0, {forged.get()}, c + "2 : no relevant CRL found"},
        {0,
         0,
         {forged.get(), listing.get()},
         c + "5 : certificate found in CRL, certificate is invalid"},
        {0,
         0,
         {forged_rsa.get(), listing.get()},
         c + "5 : certificate found in CRL, certificate is invalid"},
        {1, 0, {forged.get(), good.get()}, ""},
        {1, 0, {foreign.get(), good.get()}, ""},
        {0,
         0,
         {good.get(), listing.get()},
         c + "5 : certificate found in CRL, certificate is "
             "invalid"},
        {0, 0, {good.get(), stale.get()}, c + "4 : verify_crl() failed"},
        {1, old + kDay, {stale.get()}, ""},
    };
    for (const auto& [expected, at, list, line] : rows) {
        ossl::CrlStack crls(sk_X509_CRL_new_null());
        for (X509_CRL* x : list) sk_X509_CRL_push(crls.get(), ossl::up_ref(x).release());
        EXPECT_EQ(
            ssf::check_revoked_crl(pki->leaf.cert.get(), pki->inter.cert.get(), crls.get(), at),
            expected);
        const std::string log = fresh();
        if (!line.empty()) EXPECT_TRUE(has_line(log, line)) << line;
        EXPECT_EQ(log.find(unused) != std::string::npos,
                  list.front() == forged.get() || list.front() == forged_rsa.get())
            << log;
    }
}

// What a CRL may clear, judged as stock `openssl verify -crl_check -extended_crl -use_deltas`
// judges it: its issuingDistributionPoint, the reasons of the certificate's distribution point,
// the critical extensions of the CRL and its entries, its issuer's key identifier, a delta and
// the base it extends. CRLs clear the certificate here exactly when they do there, but where a
// row says we are stricter. A listing counts whatever the scope. The rows that say where their
// CRLs are served are also downloaded, over http, file, the default URL and (some) LDAP, from
// several threads at once: the revocation check answers as the stored CRLs do, and the CRLs it
// hands out clear the certificate there too.
TEST_F(Revocation, CrlScopeAsTheCryptoLibrarySeesIt) {
    const std::string point = "http://crl.test/inter.crl", p1 = "http://crl.test/key.crl",
                      p2 = "http://crl.test/other.crl";
    const Entity root = issue({"Scope Root", 1, 0, 0, ca_exts()}, new_key(KeyType::ec), nullptr),
                 inter = issue({"Scope CA", 2, 0, 0, ca_exts()}, new_key(KeyType::ec), &root),
                 leaf = issue({"Scope Leaf", 3, 0, 0, {{"crlDistributionPoints", "URI:" + point}}},
                              new_key(KeyType::ec), &inter),
                 // The same serial number, naming where its delta CRLs are.
        fresh_leaf = issue({"Scope Fresh Leaf",
                            3,
                            0,
                            0,
                            {{"crlDistributionPoints", "URI:" + point},
                             {"freshestCRL", "URI:http://crl.test/cd"}}},
                           new_key(KeyType::ec), &inter);
    // Its CRLs split by reason: key and CA compromise at one point, the other six at another.
    Entity split = issue({"Scope Split Leaf", 4}, new_key(KeyType::ec), &inter);
    add_crl_points(split, &inter, {{p1, {1, 2}}, {p2, {3, 4, 5, 6, 7, 8}}});
    // Its point named relative to its issuer.
    Entity relative = issue({"Scope Relative Leaf", 5}, new_key(KeyType::ec), &inter);
    add_crl_points(relative, &inter, {{"East", {}, true}});
    // A CA whose key may sign certificates but not CRLs.
    const Entity signless =
        issue({"Scope Signless CA",
               6,
               0,
               0,
               {{"basicConstraints", "critical,CA:TRUE"}, {"keyUsage", "critical,keyCertSign"}}},
              new_key(KeyType::ec), &root);
    const Entity signless_leaf = issue({"Scope Leaf", 7}, new_key(KeyType::ec), &signless);
    // An older CA, whose certificate has no subjectKeyIdentifier.
    const Entity keyless = issue(
                     {.cn = "Scope Keyless CA", .serial = 8, .exts = ca_exts(), .no_key_id = true},
                     new_key(KeyType::ec), &root),
                 keyless_leaf = issue({"Scope Leaf", 9}, new_key(KeyType::ec), &keyless);
    files.write("root.pem", pem_of(root.cert.get()));
    files.write("inter.pem", pem_of(inter.cert.get()) + pem_of(signless.cert.get()) +
                                 pem_of(keyless.cert.get()));
    auto akid = [](const std::string& key_id) {
        return RawExt{"2.5.29.35", "\x30" + std::string(1, static_cast<char>(key_id.size() + 2)) +
                                       "\x80" + std::string(1, static_cast<char>(key_id.size())) +
                                       key_id};
    };
    const ASN1_OCTET_STRING* inter_id = X509_get0_subject_key_id(inter.cert.get());
    const std::string own_key_id(reinterpret_cast<const char*>(ASN1_STRING_get0_data(inter_id)),
                                 static_cast<size_t>(ASN1_STRING_length(inter_id)));
    const RawExt scope{"2.5.29.44", std::string("\x30\x00", 2)},
        aa_idp{"2.5.29.63", std::string("\x30\x00", 2)},
        own{"1.3.6.1.4.1.99999.7", std::string("\x05\x00", 2)}, reason{"2.5.29.21", "\x0a\x01\x01"};
    // The leaf's entries, and CRL numbers 1 and 2 as a base (announcing a delta) and its delta.
    const long sn = ASN1_INTEGER_get(X509_get0_serialNumber(leaf.cert.get()));
    const Revoked revoked{sn, now() - kDay}, hold{sn, now() - kDay, CRL_REASON_CERTIFICATE_HOLD},
        removed{sn, now(), CRL_REASON_REMOVE_FROM_CRL};
    auto base = [](std::vector<Revoked> entries = {}) {
        return CrlSpec{.revoked = entries, .freshest = {"http://crl.test/delta.crl"}};
    };
    auto delta = [](std::vector<Revoked> entries = {}, long number = 2, long of = 1) {
        return CrlSpec{.revoked = entries, .number = number, .delta_of = of};
    };
    // A base at the certificate's point that names its delta CRLs by the names they are served
    // under, and a complete CRL newer than it.
    auto naming = [](std::vector<std::string> at, long number = 1,
                     std::vector<Revoked> entries = {}) {
        return CrlSpec{.revoked = entries, .number = number, .freshest = at};
    };
    auto newer = [](std::vector<Revoked> entries) {
        return CrlSpec{.last_update = now() - 3600, .revoked = entries, .number = 2};
    };
    CrlSpec scoped = delta({removed}), foreign = delta({removed}), unreadable = delta(),
            unreadable_release = delta({removed});
    scoped.idp = IdpSpec{.point = point};
    foreign.issuer = &root;
    unreadable.exts = unreadable_release.exts = {own};
    const struct {
        const char* name;
        const Entity* subject;
        std::vector<CrlSpec> crls;
        bool cleared;
        const Entity* issuer = nullptr;  // nullptr: the subject's CA of the two above
        bool listed = false;             // refused as listed, not for want of a CRL that clears
        bool stricter = false;           // the library clears it
        std::vector<std::string> at =
            {};             // downloaded too, each CRL under its name, the base first
        bool ldap = false;  // also over LDAP
        // What the download answers where it is not what the CRLs at hand give: a delta that is
        // named but cannot be fetched leaves it undecided.
        std::optional<int> downloaded = {};
        std::optional<int> only_default = {};  // with use_only_default_crl_url, where it differs
    } rows[] = {
        {"end entity, users only", &leaf, {{.idp = IdpSpec{.only_user = true}}}, true},
        {"end entity, CAs only", &leaf, {{.idp = IdpSpec{.only_ca = true}}}, false},
        {"end entity, attribute certificates only",
         &leaf,
         {{.idp = IdpSpec{.only_attr = true}}},
         false},
        {"end entity, its own distribution point", &leaf, {{.idp = IdpSpec{.point = point}}}, true},
        {"end entity, another partition",
         &leaf,
         {{.idp = IdpSpec{.point = "http://crl.test/part2.crl"}}},
         false},
        {"end entity, CA compromise only", &leaf, {{.idp = IdpSpec{.reasons = {2}}}}, false},
        {"end entity, indirect", &leaf, {{.idp = IdpSpec{.indirect = true}}}, false},
        {"CA, CAs only", &inter, {{.idp = IdpSpec{.only_ca = true}}}, true},
        {"CA, users only", &inter, {{.idp = IdpSpec{.only_user = true}}}, false},
        {"CA, a distribution point it does not name",
         &inter,
         {{.idp = IdpSpec{.point = point}}},
         false},
        // Critical extensions: the crypto library processes the authority key identifier and
        // the issuingDistributionPoint; no other makes a CRL it may use.
        {"a critical cRLScope", &leaf, {{.exts = {scope}}}, false},
        {"a critical aAissuingDistributionPoint", &leaf, {{.exts = {aa_idp}}}, false},
        {"a critical private extension", &leaf, {{.exts = {own}}}, false},
        {"a critical cRLNumber",
         &leaf,
         {{.number = -1, .exts = {{"2.5.29.20", "\x02\x01\x07"}}}},
         false},
        {"a critical authorityKeyIdentifier", &leaf, {{.exts = {akid(own_key_id)}}}, true},
        {"an authorityKeyIdentifier of another key",
         &leaf,
         {{.exts = {akid(std::string(20, '\x42'))}}},
         false},
        {"an issuer whose keyUsage leaves out CRL signing", &signless_leaf, {{}}, false, &signless},
        {"a non-critical private extension", &leaf, {{.exts = {{own.oid, own.der, false}}}}, true},
        {"a critical private extension on another serial number's entry",
         &leaf,
         {{.revoked = {{0x7777, now()}}, .entry_exts = {own}}},
         false},
        {"a critical reasonCode on another serial number's entry",
         &leaf,
         {{.revoked = {{0x7777, now()}}, .entry_exts = {reason}}},
         false},
        // The reasons of the first point without a cRLIssuer limit a CRL that names no point.
        {"points split by reason, the first point's CRL without an IDP", &split, {{}}, false},
        {"points split by reason, the first point's CRL for users only",
         &split,
         {{.idp = IdpSpec{.only_user = true}}},
         false},
        {"points split by reason, two CRLs without an IDP", &split, {{}, {.number = 2}}, false},
        {"points split by reason, the first point's CRL naming it",
         &split,
         {{.idp = IdpSpec{.point = p1}}},
         false},
        {"points split by reason, the second point's CRL naming it",
         &split,
         {{.idp = IdpSpec{.point = p2}}},
         false},
        {"points split by reason, both points' CRLs naming their points",
         &split,
         {{.idp = IdpSpec{.point = p1}}, {.number = 2, .idp = IdpSpec{.point = p2}}},
         true},
        // A name relative to the issuer stands for the issuer's name with it added.
        {"a relative point, the CRL naming it so",
         &relative,
         {{.idp = IdpSpec{.relative = "East"}}},
         true},
        {"a relative point, the CRL naming its directoryName",
         &relative,
         {{.idp = IdpSpec{.directory = "East"}}},
         true},
        {"a relative point, the CRL naming another",
         &relative,
         {{.idp = IdpSpec{.relative = "West"}}},
         false},
        {"a CA certificate without a subjectKeyIdentifier, its CRL naming a key identifier",
         &keyless_leaf,
         {{.exts = {akid(std::string(20, '\x42'))}}},
         true,
         &keyless},
        // A delta lists what changed since its base, and is used only with a base it extends.
        {"a lone delta", &leaf, {delta()}, false},
        {"a lone delta listing it", &leaf, {delta({revoked})}, false, nullptr, true},
        {"a base and its delta listing it",
         &leaf,
         {base(), delta({revoked})},
         false,
         nullptr,
         true},
        {"a base and its delta, neither listing it", &leaf, {base(), delta()}, true},
        {"a base and its delta with a critical private extension",
         &leaf,
         {base(), unreadable},
         false},
        {"a hold its delta releases", &leaf, {base({hold}), delta({removed})}, true},
        {"a hold released by a delta of another scope",
         &leaf,
         {base({hold}), scoped},
         false,
         nullptr,
         true},
        {"a hold released by a delta of another issuer",
         &leaf,
         {base({hold}), foreign},
         false,
         nullptr,
         true},
        {"a hold released by a delta of a later base",
         &leaf,
         {base({hold}), delta({removed}, 3, 2)},
         false,
         nullptr,
         true},
        {"a hold released by a delta of a base that announces none",
         &leaf,
         {{.revoked = {hold}}, delta({removed})},
         false,
         nullptr,
         true},
        {.name = "a hold released by a delta the library refuses, beside another complete CRL",
         .subject = &leaf,
         .crls = {base({hold}), unreadable_release, {.number = 3}},
         .listed = true},
        // Where the delta is looked for: the base's freshestCRL, else the certificate's, each URL
        // in turn until one serves a delta that extends the base; a listing counts in any CRL
        // fetched there.
        {.name = "a newer complete CRL at the base's delta URL holding it",
         .subject = &leaf,
         .crls = {naming({"d1"}), newer({hold})},
         .listed = true,
         .at = {"base", "d1"}},
        {.name = "a newer complete CRL at the base's delta URL, not listing it",
         .subject = &leaf,
         .crls = {naming({"d1"}), newer({})},
         .cleared = true,
         .at = {"base", "d1"}},
        // With use_only_default_crl_url, the delta the certificate alone names is not seen.
        {.name = "a delta at the certificate's delta URL listing it",
         .subject = &fresh_leaf,
         .crls = {{}, delta({revoked})},
         .listed = true,
         .at = {"base", "cd"},
         .only_default = 1},
        {.name = "a hold the delta at the certificate's delta URL releases",
         .subject = &fresh_leaf,
         .crls = {{.revoked = {hold}}, delta({removed})},
         .cleared = true,
         .at = {"base", "cd"},
         .only_default = 0},
        {.name = "a stale delta at the base's delta URL, the current one at the certificate's "
                 "listing it",
         .subject = &fresh_leaf,
         .crls = {naming({"d1"}, 3), delta({}, 2, 1), delta({revoked}, 4, 3)},
         .listed = true,
         .at = {"base", "d1", "cd"},
         .ldap = true,
         .only_default = 1},
        {.name = "the base's delta URL unreachable, the certificate's delta extending it",
         .subject = &fresh_leaf,
         .crls = {naming({"gone"}), delta()},
         .cleared = true,
         .at = {"base", "cd"},
         .only_default = -1},
        {.name = "the certificate's delta URL unreachable, the base naming none",
         .subject = &fresh_leaf,
         .crls = {{}},
         .cleared = true,
         .at = {"base"},
         .downloaded = -1,
         .only_default = 1},
        {.name = "a CRL in another CA's name, signed with the issuer's key, at the first delta URL",
         .subject = &leaf,
         .crls = {naming({"d1", "d2"}),
                  {.issuer = &root, .sign_key = inter.key.get(), .revoked = {revoked}, .number = 2},
                  delta()},
         .cleared = true,
         .at = {"base", "d1", "d2"}},
        {.name = "two delta URLs, an older delta at the first, the current one listing it",
         .subject = &leaf,
         .crls = {naming({"d1", "d2"}, 3), delta({}, 2, 1), delta({revoked}, 4, 3)},
         .listed = true,
         .at = {"base", "d1", "d2"},
         .ldap = true},
        {.name = "two delta URLs, an older delta at the first, the current one not listing it",
         .subject = &leaf,
         .crls = {naming({"d1", "d2"}, 3), delta({}, 2, 1), delta({}, 4, 3)},
         .cleared = true,
         .at = {"base", "d1", "d2"}},
        {.name = "one delta URL serving only an older delta",
         .subject = &leaf,
         .crls = {naming({"d1"}, 3), delta({}, 2, 1)},
         .cleared = true,
         .at = {"base", "d1"}},
        {.name = "a later delta at the delta URL taking off a hold its base does not have",
         .subject = &leaf,
         .crls = {naming({"d1"}), delta({removed}, 3, 2)},
         .cleared = true,
         .at = {"base", "d1"}},
        // Stricter: removeFromCRL releases only a hold, and only from a delta; a listing counts
        // in any delta.
        {"a removeFromCRL in a complete CRL",
         &leaf,
         {{.revoked = {removed}}},
         false,
         nullptr,
         true,
         true},
        {"a revocation its delta takes off",
         &leaf,
         {base({revoked}), delta({removed})},
         false,
         nullptr,
         true,
         true},
        {"a base and a delta of another scope listing it",
         &leaf,
         {base(), CrlSpec{.revoked = {revoked}, .number = 2, .delta_of = 1, .idp = scoped.idp}},
         false,
         nullptr,
         true,
         true},
        {.name = "two delta URLs, an older delta listing it at the first",
         .subject = &leaf,
         .crls = {naming({"d1", "d2"}, 3), delta({revoked}, 2, 1), delta({}, 4, 3)},
         .listed = true,
         .stricter = true,
         .at = {"base", "d1", "d2"}},
    };
    const int ldap_port = testing_support::free_port();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        const Entity* issuer = r.issuer ? r.issuer : r.subject == &inter ? &root : &inter;
        ossl::CrlStack crls(sk_X509_CRL_new_null());
        std::string pems;
        bool extended = false, indirect = false;
        for (CrlSpec spec : r.crls) {
            if (!spec.issuer) spec.issuer = issuer;
            for (std::string& name : spec.freshest)
                if (name.find(':') == std::string::npos) name = "http://crl.test/" + name;
            ossl::X509Crl crl = make_crl(spec);
            pems += crl_pem(crl.get());
            sk_X509_CRL_push(crls.get(), crl.release());
            extended = extended || spec.idp || spec.delta_of >= 0;
            indirect = indirect || (spec.idp && spec.idp->indirect);
        }
        EXPECT_EQ(ssf::status_from_crls(r.subject->cert.get(), issuer->cert.get(), crls.get(), 0,
                                        "scope"),
                  r.cleared  ? ssf::StoredCrls::Cleared
                  : r.listed ? ssf::StoredCrls::Listed
                             : ssf::StoredCrls::None);
        const std::string log = fresh();
        // A refused row says why; a delta that no base at hand extends is named either way.
        if (!r.listed) {
            bool refusal = log.find("cover only some reasons") != std::string::npos;
            std::istringstream lines(log);
            for (std::string l; std::getline(lines, l);)
                refusal = refusal || (l.starts_with("scope() : a CRL of 'CN=Scope") &&
                                      !(r.cleared && l.ends_with("a delta CRL without its base")));
            EXPECT_EQ(refusal, !r.cleared) << log;
        }
        // Reasons and deltas need the library's extended CRL support; indirect CRLs, which it
        // would then take too, are not used here, as the library does not use them without it.
        auto stock = [&](const std::string& crl_pems, X509* subject, bool extended_crl) {
            files.write("crl.pem", crl_pems);
            files.write("subject.pem", pem_of(subject));
            return testing_support::run_openssl(
                std::string("verify -crl_check -use_deltas") +
                    (extended_crl ? " -extended_crl" : "") + " -CAfile " + files.file("root.pem") +
                    " -untrusted " + files.file("inter.pem") + " -CRLfile " +
                    files.file("crl.pem") + " " + files.file("subject.pem"),
                true);
        };
        const auto verdict = stock(pems, r.subject->cert.get(), extended && !indirect);
        EXPECT_EQ(verdict.status == 0, r.cleared || r.stricter) << verdict.out;
        // Revoked all the same.
        const long serial = ASN1_INTEGER_get(X509_get0_serialNumber(r.subject->cert.get()));
        CrlSpec listing = r.crls.front();
        if (!listing.issuer) listing.issuer = issuer;
        std::erase_if(listing.revoked, [serial](const Revoked& e) { return e.serial == serial; });
        listing.revoked.push_back({serial, now()});
        sk_X509_CRL_push(crls.get(), make_crl(listing).release());
        EXPECT_EQ(ssf::status_from_crls(r.subject->cert.get(), issuer->cert.get(), crls.get(), 0,
                                        "scope"),
                  ssf::StoredCrls::Listed);

        // The default URL is tried once the point gives nothing, and alone with
        // use_only_default_crl_url.
        enum Via { http, file, ldap, fallback, default_only };
        for (const Via via : {http, file, ldap, fallback, default_only}) {
            if (r.at.empty() || (via == ldap && !r.ldap)) continue;
            SCOPED_TRACE("served over " + std::to_string(via));
            auto url_of = [&](const std::string& name) {
                return via == file   ? "file://" + files.file(name)
                       : via == ldap ? Slapd::ldap_crl_url(ldap_port, name)
                                     : web(name);
            };
            // Only this row's CRLs are served: a name it does not serve cannot be reached.
            for (const char* name : {"base", "d1", "d2", "cd"})
                std::remove(files.file(name).c_str());
            std::vector<std::pair<std::string, std::string>> served;
            for (size_t i = 0; i < r.crls.size(); ++i) {
                CrlSpec spec = r.crls[i];
                if (!spec.issuer) spec.issuer = issuer;
                for (std::string& name : spec.freshest) name = url_of(name);
                served.emplace_back(r.at[i], crl_der(make_crl(spec).get()));
                files.write(r.at[i], served.back().second);
            }
            const std::unique_ptr<Slapd> directory =
                via == ldap ? std::make_unique<Slapd>(served, ldap_port) : nullptr;
            Entity cert = issue({"Scope Leaf", sn}, new_key(KeyType::ec), issuer);
            if (via != default_only)
                add_crl_points(cert, issuer, {url_of(via == fallback ? "none" : r.at[0])});
            if (r.subject == &fresh_leaf) add_crl_points(cert, issuer, {url_of("cd")}, true);
            start("cert_check_options = check_crl\ncrl_protocols = http file ldap",
                  via < fallback ? ""
                                 : "[cades]\nuse_only_default_crl_url = " +
                                       std::string(via == fallback ? "no" : "yes") +
                                       "\ndefault_crl_url = " + url_of(r.at[0]));
            int want = r.cleared ? 1 : r.listed ? 0 : -1;
            if (r.downloaded) want = *r.downloaded;
            if (via == default_only && r.only_default) want = *r.only_default;
            ossl::X509StorePtr trusted(X509_STORE_new());
            X509_STORE_add_cert(trusted.get(), root.cert.get());
            X509_STORE_add_cert(trusted.get(), inter.cert.get());
            // Half the calls over a chain that was checked, the rest finding the issuer in the
            // store.
            std::vector<std::future<std::pair<int, std::vector<ossl::X509Crl>>>> calls;
            for (int t = 0; t < 4; ++t)
                calls.push_back(std::async(std::launch::async, [&, t] {
                    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
                    X509_STORE_CTX_init(ctx.get(), trusted.get(), cert.cert.get(), nullptr);
                    if (t % 2 == 1 && X509_verify_cert(ctx.get()) != 1)
                        return std::pair{-2, std::vector<ossl::X509Crl>{}};
                    std::vector<ossl::X509Crl> used;
                    const int rc = ssf::check_for_revocation(cert.cert.get(), ctx.get(),
                                                             ssf::config().crl_protocols, &used);
                    return std::pair{rc, std::move(used)};
                }));
            for (auto& call : calls) {
                auto [rc, used] = call.get();
                EXPECT_EQ(rc, want) << fresh();
                if (rc != 1 || &call != &calls.front()) continue;
                // What enhancement would embed clears it with the library too.
                std::string used_pems;
                for (const ossl::X509Crl& c : used) used_pems += crl_pem(c.get());
                const auto embedded = stock(used_pems, cert.cert.get(), true);
                EXPECT_EQ(embedded.status, 0) << embedded.out;
            }
        }
    }
}

TEST_F(Revocation, DownloadBodiesAndBounds) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    const std::string der = crl_der(crl.get()), big(100 * 1024, '0');
    files.write("c.crl", der);
    const std::string file_url = "file://" + files.file("c.crl");
    const std::string perform = "InstallCRLFromServer() 10 : curl_easy_perform() failed, code = ";
    struct Row {
        const char* path;
        HttpReply reply;
        bool parses;
        std::string line;
        bool line_prefix = false;  // the line begins so
    };
    const Row rows[] = {
        {"/der", HttpReply::make(200, der), true, "download_crl() : crl is DER-encoded"},
        {"/pem", HttpReply::make(200, crl_pem(crl.get())), true, ""},
        {"/base64", HttpReply::make(200, base64(der)), true, ""},  // one long line, no line end
        {"/garbage", HttpReply::make(200, "<html>"), false,
         "download_crl() : unknown format: data[ 0 ] = 0x3c (<)"},
        {"/declared-too-large", HttpReply::make(200, big), false, perform + "63"},
        {"/chunked-too-large", HttpReply::chunked(200, big, {4096}), false,
         "WriteMemoryCallback() : the download is larger than 65536 bytes"},
        {"/chunked-too-large", HttpReply::chunked(200, big, {4096}), false,
         "WriteMemoryCallback() : myrealloc( new size = ", true},
        // Bare Base64 that does not decode, or not to a CRL, fails as the PEM text it stands for.
        {"/base64-broken", HttpReply::make(200, "M!!"), false,
         "download_crl() : PEM_read_bio_X509_CRL() failed"},
        {"/base64-no-crl", HttpReply::make(200, "MANhYmM="), false,
         "download_crl() : PEM_read_bio_X509_CRL() failed"},
        // A redirect is not followed, least of all to another scheme.
        {"/redirect", {"HTTP/1.1 302 Found\r\nLocation: " + file_url + "\r\n\r\n"}, false, ""},
        {"/silent", {.silent = true}, false, perform + "28"},
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
        EXPECT_EQ(same_crl(got.get(), crl.get()), r.parses);
        const std::string log = fresh();
        if (!r.line.empty())
            EXPECT_TRUE(r.line_prefix ? log.find("\n" + r.line) != std::string::npos
                                      : has_line(log, r.line))
                << log;
    }
}

// A file URL is read only as a regular file, and opening it never waits: a FIFO named by a
// distribution point would otherwise hold the call, and the API lock with it, for good.
TEST_F(Revocation, FileUrlsAreReadOnlyAsRegularFiles) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    files.write("c.crl", crl_der(crl.get()));
    files.write("big.crl", std::string(100 * 1024, '0'));
    const std::string fifo = files.file("fifo.crl"), c = files.file("c.crl");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string perform = "InstallCRLFromServer() 10 : curl_easy_perform() failed, code = ";
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"file://" + c, true,
         "InstallCRLFromServer(): crl_length = " + std::to_string(crl_der(crl.get()).size())},
        {"FILE://localhost" + c.substr(0, c.size() - 4) + "%2Ecrl", true, ""},
        {"file://" + fifo, false, perform + "37"},
        {"file://" + files.path(), false, perform + "37"},
        {"file://" + files.file("big.crl"), false, perform + "63"},
        {"file://elsewhere" + c, false, perform + "3"},
    };
    for (const auto& [url, parses, line] : rows) {
        SCOPED_TRACE(url);
        ossl::X509Crl got = without_hang([&url] { return ssf::download_crl(url.c_str()); }, {fifo});
        EXPECT_EQ(same_crl(got.get(), crl.get()), parses);
        const std::string log = fresh();
        if (!line.empty()) EXPECT_TRUE(has_line(log, line)) << log;
    }
}

TEST_F(Revocation, LdapAnswerForms) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    const std::string der = crl_der(crl.get()), b64 = base64(der);
    Slapd slapd({{"CA", der}});
    const std::string url = slapd.crl_url("CA");
    EXPECT_TRUE(same_crl(ssf::download_crl(url.c_str()).get(), crl.get()));

    const std::string dn = "DN: cn=CA,dc=test\n\tcertificateRevocationList";
    const std::pair<std::string, bool> answers[] = {
        {dn + ": " + der + "\n\n", true},
        {dn + ";binary:: " + b64.substr(0, 40) + "\n " + b64.substr(40) + "\n\n\n", true},
        {dn + ": x", false},
        {dn + ";binary:: !!\n", false},
    };
    for (const auto& [answer, found] : answers) {
        std::vector<unsigned char> value;
        const auto* p = reinterpret_cast<const unsigned char*>(answer.data());
        EXPECT_EQ(ssf::ldap_answer_value(ssf::Bytes(p, answer.size()), value), found ? 0 : -1);
        if (found) EXPECT_EQ(std::string(value.begin(), value.end()), der);
    }
}

// The LDAP library closes a transfer's socket as libcurl cleans the transfer up, and libcurl
// then closed the same number again: by then, in a host of many threads, maybe another thread's
// file. The LDAP download, run alone under strace, finds every descriptor it closes open.
TEST_F(Revocation, LdapDownloadsCloseEachDescriptorOnce) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string trace = files.file("close.trace");
    // The leak check cannot run under ptrace.
    EXPECT_EQ(testing_support::run_command({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f",
                                            "-e", "trace=close", "-o", trace, self,
                                            "--gtest_filter=Revocation.LdapAnswerForms"}),
              0);
    const std::string closes = testing_support::read_file(trace);
    EXPECT_NE(closes.find("close("), std::string::npos);
    EXPECT_EQ(closes.find("EBADF"), std::string::npos) << closes;
}

TEST_F(Revocation, ProtocolOrderAndSchemes) {
    ossl::X509Crl crl = make_crl({&pki->inter});
    files.write("c.crl", crl_der(crl.get()));
    const std::string closed = "127.0.0.1:" + std::to_string(testing_support::free_port());
    const std::string ldap = "ldap://" + closed + "/cn=CA",
                      inner = "http://" + closed + "/?ldap://h/",
                      http = "HTTP" + web("c.crl").substr(4),
                      file = "file://" + files.file("c.crl");
    Words urls(ldap + " " + inner + " " + http + " " + file + " " + closed + "/c.crl");
    const std::tuple<const char*, std::vector<std::string>, bool> rows[] = {
        {"http ldap", {inner, http}, true},
        {"ldap http", {ldap, inner, http}, true},
        {"ldap", {ldap}, false},
        {"gopher FILE", {file}, true},
        {"  ", {}, false},  // empty words: no scheme, not even none
    };
    const std::regex tried_line(
        "download_crl_from_list\\(\\) : downloading CRL from (.*) \\.\\.\\.");
    for (const auto& [protocols, expected, found] : rows) {
        SCOPED_TRACE(protocols);
        EXPECT_EQ(ssf::download_crl_from_list(urls.l, Words(protocols).l) != nullptr, found);
        std::vector<std::string> tried;
        std::istringstream log(fresh());
        std::smatch m;
        for (std::string l; std::getline(log, l);)
            if (std::regex_match(l, m, tried_line)) tried.push_back(m[1]);
        EXPECT_EQ(tried, expected);
    }
}

TEST_F(Revocation, ThroughDistributionPoints) {
    const time_t now = std::time(nullptr);
    const long good = 0x100, in_base = 0x101, in_delta = 0x102, held = 0x103;
    const Entity* in = &pki->inter;
    ossl::PKey other(EVP_EC_gen("P-256"));
    const CrlSpec delta{.issuer = in, .revoked = {{in_delta, now}}, .number = 2, .delta_of = 1};
    CrlSpec forged = delta, stale = delta;
    forged.sign_key = other.get();
    stale.last_update = now - 9 * kDay;
    publish("delta.crl", delta);
    publish("forged.crl", forged);
    publish("stale.crl", stale);
    for (const char* d : {"delta", "absent", "forged", "stale"})
        publish(std::string("base-") + d, {.issuer = in,
                                           .revoked = {{in_base, now}},
                                           .freshest = {web(d + std::string(".crl"))}});
    // A hold, and the deltas that take it off: one that extends its base, one of a later base.
    const Revoked hold{held, now - kDay, CRL_REASON_CERTIFICATE_HOLD},
        removed{held, now, CRL_REASON_REMOVE_FROM_CRL};
    publish("release.crl", {.issuer = in, .revoked = {removed}, .number = 2, .delta_of = 1});
    publish("later.crl", {.issuer = in, .revoked = {removed}, .number = 3, .delta_of = 2});
    publish("critical-delta.crl", {.issuer = in,
                                   .number = 2,
                                   .delta_of = 1,
                                   .exts = {{"1.3.6.1.4.1.99999.7", {0x05, 0x00}}}});
    for (const char* d : {"release", "later", "critical-delta"})
        publish(std::string("base-") + d,
                {.issuer = in, .revoked = {hold}, .freshest = {web(d + std::string(".crl"))}});
    // Delta CRLs named where they cannot be read: a freshestCRL that is no CRLDistributionPoints,
    // and two of them.
    publish("base-unreadable",
            {.issuer = in, .exts = {{"2.5.29.46", std::string("\x05\x00", 2), false}}});
    // freshestCRLs that give no URL we may fetch: a directoryName alone, a name relative to the
    // issuer alone, an LDAP URL where crl_protocols has http alone, no point at all.
    const std::pair<const char*, std::string> no_url[] = {
        {"base-dirname", std::string("\x30\x0a\x30\x08\xa0\x06\xa0\x04\xa4\x02\x30\x00", 12)},
        {"base-relative",
         std::string("\x30\x13\x30\x11\xa0\x0f\xa1\x0d\x30\x0b\x06\x03\x55\x04\x03\x0c\x04"
                     "East",
                     21)},
        {"base-empty", std::string("\x30\x00", 2)}};
    for (const auto& [name, der] : no_url)
        publish(name, {.issuer = in, .exts = {{"2.5.29.46", der, false}}});
    publish("base-ldap", {.issuer = in, .freshest = {"ldap://127.0.0.1:1/cn=delta"}});
    // Read only when the base's delta URLs give no delta that extends it.
    auto named_twice_at = [&](const char* point) {
        Entity e = make("Revocation Leaf", good, ossl::PKey(EVP_EC_gen("P-256")), in);
        add_crl_points(e, in, {web(point)});
        for (int i = 0; i < 2; ++i) add_crl_points(e, in, {web("delta.crl")}, true);
        return e;
    };
    const Entity named_twice = named_twice_at("empty.crl"),
                 named_twice_past_delta = named_twice_at("base-delta");
    publish("plain.crl", {.issuer = in, .revoked = {{in_base, now}}});
    publish("empty.crl", {in});
    publish("expired.crl", {.issuer = in, .last_update = now - 9 * kDay});
    publish("root.crl", {&pki->root});
    publish("gost12.crl", {gost12});
    publish("ca-only.crl", {.issuer = in, .idp = IdpSpec{.only_ca = true}});
    publish("own-point.crl", {.issuer = in, .idp = IdpSpec{.point = web("own-point.crl")}});
    publish("partition.crl", {.issuer = in, .idp = IdpSpec{.point = web("part2.crl")}});
    publish("critical.crl", {.issuer = in, .exts = {{"1.3.6.1.4.1.99999.7", {0x05, 0x00}}}});
    // A CA that splits its CRLs by reason over two points.
    const std::vector<int> key_reasons = {1, 2}, other_reasons = {3, 4, 5, 6, 7, 8};
    for (const char* p : {"key.crl", "other.crl"})
        publish(p, {.issuer = in, .idp = IdpSpec{.point = web(p)}});
    publish("other-listing.crl", {.issuer = in,
                                  .revoked = {{in_base, now}},
                                  .idp = IdpSpec{.point = web("other-listing.crl")}});

    const std::string fn = "check_for_revocation() ", only = "use_only_default_crl_url = yes\n",
                      to_empty = "default_crl_url = " + web("empty.crl") + "\n",
                      to_gost12 = "default_crl_url_2012 = " + web("gost12.crl") + "\n",
                      tried = fn + ": trying to download CRL from default URL: '",
                      leaf_names =
                          "CN=Test Intermediate, O=Selvanor Test, C=RU' cover only "
                          "some reasons for revocation: 'CN=Revocation Leaf, O=Selvanor "
                          "Test, C=RU' is not cleared",
                      lone_delta = fn +
                                   ": a CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' is "
                                   "not used to clear 'CN=Revocation Leaf, O=Selvanor Test, "
                                   "C=RU': it is a delta CRL without its base",
                      out_of_scope = fn +
                                     ": a CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' "
                                     "whose scope does not cover 'CN=Revocation Leaf, O=Selvanor "
                                     "Test, C=RU' is not used: ";
    struct Row {
        const char* cdp;  // "" for none
        long serial;
        std::string cades;
        int expected;
        std::string line;
        const Entity* cert = nullptr;      // in place of a new leaf of the intermediate
        std::vector<int> reasons = {};     // of the point cdp
        std::vector<PointSpec> more = {};  // points after it
        size_t used = 1;                   // CRLs handed out with 1
    };
    const Row rows[] = {
        {"plain.crl", in_base, "", 0, ""},
        // A delta served where a complete CRL belongs clears nothing, wherever it comes from.
        {"delta.crl", good, "", -1, lone_delta},
        {"delta.crl", in_delta, "", 0, ""},
        {"delta.crl", good, "", 1, lone_delta, nullptr, {}, {"empty.crl"}},
        {"absent.crl", good, "default_crl_url = " + web("delta.crl") + "\n", -1, lone_delta},
        {"base-release",
         held,
         "",
         1,
         fn + ": a delta CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' takes "
              "'CN=Revocation Leaf, O=Selvanor Test, C=RU' off hold (removeFromCRL)",
         nullptr,
         {},
         {},
         2},
        {"base-later", held, "", 0,
         fn + ": a delta CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' is not used with "
              "the base CRL that names it: its BaseCRLNumber is beyond the base CRL's cRLNumber"},
        {"base-later", good, "", 1, ""},
        {"base-critical-delta", good, "", -1,
         fn + ": a CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' is not used to clear "
              "'CN=Revocation Leaf, O=Selvanor Test, C=RU': it carries the critical extension "
              "1.3.6.1.4.1.99999.7, which is not processed"},
        {"base-unreadable", good, "", -1, fn + ": the freshestCRL of the base crl cannot be read"},
        {"", good, "", -1, fn + ": the freshestCRL of the certificate cannot be read",
         &named_twice},
        {"base-delta", good, "", 1, "", &named_twice_past_delta},
        {"base-delta", in_base, "", 0, ""},
        {"base-delta", in_delta, "", 0, ""},
        {"base-delta", good, "", 1, ""},
        {"base-absent", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"base-dirname", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"base-relative", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"base-empty", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"base-ldap", good, "", -1,
         fn + ": downloading the delta crl failed for all distribution points"},
        {"base-forged", good, "", -1,
         fn + ": the delta crl's signature does not verify: it is not used"},
        {"base-stale", in_delta, "", 0, "verify_crl() 8 : crl has expired"},
        {"base-stale", in_delta, "", 0, "verify_crl() end, return code = 0"},
        {"expired.crl", good, "", 0, "verify_crl() 8 : crl has expired"},
        {"root.crl", good, "", -1,
         fn + ": crl issuer and certificate issuer not match ('CN=Test Root, O=Selvanor Test, "
              "C=RU' and 'CN=Test Intermediate, O=Selvanor Test, C=RU')"},
        {"absent.crl", good, to_empty, 1, fn + "3 : downloading the crl failed for all CDPs"},
        {"absent.crl", good, "", -1, fn + "3.2 : default URL not specified"},
        {"plain.crl", in_base, only + to_empty, 1,
         fn + ": use_only_default_crl_url is ON, skipping CDPs in certificate"},
        {"", good, to_empty, -1,
         fn + "2 : neither the user nor the ca certificate does contain a crl distribution point"},
        {"", good, to_empty, -1, fn + "1 : no dedicated ca certificate available", &pki->stranger},
        {"", good, only + to_empty + to_gost12, 1, tried + web("gost12.crl") + "'", leaf12},
        {"", good, only + to_empty + to_gost12, 1, tried + web("empty.crl") + "'"},
        {"ca-only.crl", good, "", -1, out_of_scope + "it covers only CA certificates"},
        {"partition.crl", good, "", -1,
         out_of_scope + "its distribution point is none of the certificate's"},
        {"own-point.crl", good, "", 1, ""},
        {"critical.crl", good, "", -1,
         fn + ": a CRL of 'CN=Test Intermediate, O=Selvanor Test, C=RU' is not used to clear "
              "'CN=Revocation Leaf, O=Selvanor Test, C=RU': it carries the critical extension "
              "1.3.6.1.4.1.99999.7, which is not processed"},
        {"key.crl", good, "", 1, "", nullptr, key_reasons, {{"other.crl", other_reasons}}, 2},
        {"absent.crl",
         good,
         "",
         1,
         "",
         nullptr,
         {},
         {{"key.crl", key_reasons}, {"other.crl", other_reasons}},
         2},
        {"key.crl",
         good,
         "",
         -1,
         fn + ": the CRLs of '" + leaf_names,
         nullptr,
         key_reasons,
         {{"absent.crl", other_reasons}}},
        {"key.crl",
         in_base,
         "",
         0,
         "",
         nullptr,
         key_reasons,
         {{"other-listing.crl", other_reasons}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.cdp) + " " + r.line);
        start("cert_check_options = check_crl\ncrl_protocols = http", "[cades]\n" + r.cades);
        Entity leaf = make("Revocation Leaf", r.serial, ossl::PKey(EVP_EC_gen("P-256")), in);
        std::vector<PointSpec> points;
        if (*r.cdp) points.emplace_back(web(r.cdp), r.reasons);
        for (const PointSpec& p : r.more) points.emplace_back(web(p.uri), p.reasons);
        if (!points.empty()) add_crl_points(leaf, in, points);
        X509* cert = r.cert ? r.cert->cert.get() : leaf.cert.get();
        ossl::X509StoreCtx ctx = ctx_for(cert);
        std::vector<ossl::X509Crl> used(1);
        EXPECT_EQ(ssf::check_for_revocation(cert, ctx.get(), ssf::config().crl_protocols, &used),
                  r.expected);
        // Copies only of CRLs that cleared it, with their deltas.
        EXPECT_EQ(used.size(), r.expected != 1                      ? 0
                               : std::string(r.cdp) == "base-delta" ? 2
                                                                    : r.used);
        const std::string log = fresh();
        if (!r.line.empty()) EXPECT_TRUE(has_line(log, r.line)) << log;
        if (!*r.cdp && r.expected < 0) EXPECT_EQ(log.find("default URL"), std::string::npos);
        // However many times the points are asked, each URL is tried once.
        std::set<std::string> tried;
        std::istringstream lines(log);
        for (std::string l; std::getline(lines, l);)
            if (l.find("downloading CRL from ") != std::string::npos)
                EXPECT_TRUE(tried.insert(l).second) << l;
    }
}

}  // namespace
