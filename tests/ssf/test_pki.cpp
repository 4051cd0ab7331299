#include "test_pki.h"

#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ssf/config.h"

namespace test_pki {

namespace {

constexpr long kDay = 24 * 3600;
constexpr long kYear = 365 * kDay;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

struct Spec {
    const char* cn;
    long serial;
    long from, to;  // validity, relative to now
    bool ca = false;
    bool usage_period_ended = false;
};

Entity make(const Spec& s, const Entity* issuer, bool rsa = false) {
    Entity e{ossl::X509Ptr(X509_new()),
             ossl::EvpPkey(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"))};
    X509* x = e.cert.get();
    check(x && e.key, "key");
    const time_t now = std::time(nullptr);
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), s.serial);
    X509_NAME* name = X509_get_subject_name(x);
    const char* fields[][2] = {{"C", "RU"}, {"O", "Selvanor Test"}, {"CN", s.cn}};
    for (auto& f : fields)
        X509_NAME_add_entry_by_txt(name, f[0], MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(f[1]), -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
    ASN1_TIME_set(X509_getm_notBefore(x), now + s.from);
    ASN1_TIME_set(X509_getm_notAfter(x), now + s.to);
    X509_set_pubkey(x, e.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer->cert.get() : x, x, nullptr, nullptr, 0);
    for (auto [nid, value] :
         {std::pair{NID_basic_constraints, s.ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
          std::pair{NID_subject_key_identifier, "hash"}}) {
        ossl::X509Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
        check(ext && X509_add_ext(x, ext.get(), -1), "extension");
    }
    if (s.usage_period_ended) {
        ossl::PkeyUsagePeriod p(PKEY_USAGE_PERIOD_new());
        p->notBefore = ASN1_GENERALIZEDTIME_set(nullptr, now - kYear);
        p->notAfter = ASN1_GENERALIZEDTIME_set(nullptr, now - kDay);
        check(X509_add1_ext_i2d(x, NID_private_key_usage_period, p.get(), 0, 0) == 1,
              "usage period");
    }
    check(X509_sign(x, issuer ? issuer->key.get() : e.key.get(), EVP_sha256()) > 0, "X509_sign");
    return e;
}

std::string* g_dir = nullptr;
void remove_dir() {
    std::error_code ec;
    if (g_dir) std::filesystem::remove_all(*g_dir, ec);
}

Pki* build() {
    check(ssf::lib_started(), "start the library before building the PKI");
    char tmpl[] = "/tmp/ssf-pki.XXXXXX";
    check(mkdtemp(tmpl) != nullptr, "mkdtemp");
    auto* p = new Pki;
    p->dir = tmpl;
    g_dir = &p->dir;
    std::atexit(remove_dir);
    p->root = make({"Test Root", 1, -2 * kYear, 20 * kYear, true}, nullptr);
    p->inter = make({"Test Intermediate", 2, -2 * kYear, 10 * kYear, true}, &p->root);
    p->leaf = make({"Leaf One", 10, -kYear, 5 * kYear}, &p->inter);
    p->rsa_leaf = make({"Leaf RSA", 11, -kYear, 5 * kYear}, &p->inter, true);
    p->expired = make({"Leaf Expired", 12, -2 * kYear, -kYear}, &p->inter);
    p->not_yet = make({"Leaf Not Yet", 13, kYear, 2 * kYear}, &p->inter);
    p->pkup_ended = make({"Leaf Usage Ended", 14, -kYear, 5 * kYear, false, true}, &p->inter);
    p->stranger = make({"Stranger", 99, -kYear, 5 * kYear}, nullptr);
    p->ca_bundle = p->dir + "/ca_bundle.pem";
    write_file(p->ca_bundle, pem_of(p->root.cert.get()) + pem_of(p->inter.cert.get()));
    return p;
}

std::string bio_text(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return std::string(data, static_cast<size_t>(n));
}

}  // namespace

const Pki& get() {
    static Pki* pki = build();
    return *pki;
}

std::string pem_of(X509* cert) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(b.get(), cert) == 1, "PEM_write_bio_X509");
    return bio_text(b.get());
}

std::string der_of(X509* cert) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(i2d_X509_bio(b.get(), cert) == 1, "i2d_X509_bio");
    return bio_text(b.get());
}

std::string bare_base64_of(X509* cert) {
    std::string pem = pem_of(cert);
    std::string body = pem.substr(pem.find('\n') + 1, pem.rfind("-----END") - pem.find('\n') - 1);
    while (!body.empty() && body.back() == '\n') body.pop_back();
    return body;
}

std::string key_pem(EVP_PKEY* key, const char* password) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    auto* pass = reinterpret_cast<unsigned char*>(const_cast<char*>(password));
    check(PEM_write_bio_PrivateKey(b.get(), key, password ? EVP_aes_256_cbc() : nullptr, pass,
                                   password ? static_cast<int>(std::strlen(password)) : 0, nullptr,
                                   nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    return bio_text(b.get());
}

std::string write_p12(const std::string& name, const Entity& e, const char* password) {
    // One iteration keeps the sanitizer build fast; the iteration count is not under test.
    ossl::Pkcs12 p12(
        PKCS12_create(password, "test", e.key.get(), e.cert.get(), nullptr, 0, 0, 1, 1, 0));
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(p12 && i2d_PKCS12_bio(b.get(), p12.get()) == 1, "PKCS12_create");
    const std::string path = get().dir + "/" + name;
    write_file(path, bio_text(b.get()));
    return path;
}

std::string write_legacy_p12(const std::string& name, const Entity& e, const char* password) {
    const std::string base = get().dir + "/" + name;
    write_file(base + ".pem", pem_of(e.cert.get()) + key_pem(e.key.get(), nullptr));
    // The crypto library's own tool writes RC2 and 3DES, so only reading them depends on our
    // start-up.
    const std::string cmd = "OPENSSL_CONF=/dev/null openssl pkcs12 -export -legacy -in '" + base +
                            ".pem' -passout pass:" + password + " -out '" + base + "' 2>/dev/null";
    check(std::system(cmd.c_str()) == 0, "openssl pkcs12 -export -legacy");
    return base;
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    check(static_cast<bool>(out), "write_file");
}

std::string subject_text(const std::string& cn) {
    return "CN=" + cn + ", O=Selvanor Test, C=RU";
}

}  // namespace test_pki
