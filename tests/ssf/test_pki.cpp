#include "test_pki.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

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

ossl::EvpPkey make_ec_key() {
    ossl::EvpPkey k(EVP_EC_gen("P-256"));
    check(k != nullptr, "EC key");
    return k;
}

ossl::EvpPkey make_rsa_key() {
    ossl::EvpPkey k(EVP_RSA_gen(2048));
    check(k != nullptr, "RSA key");
    return k;
}

ossl::X509Name make_name(const std::string& cn) {
    ossl::X509Name n(X509_NAME_new());
    auto add = [&](const char* field, const std::string& v) {
        check(X509_NAME_add_entry_by_txt(n.get(), field, MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(v.c_str()), -1, -1,
                                         0) == 1,
              "name");
    };
    add("C", "RU");
    add("O", "Selvanor Test");
    add("CN", cn);
    return n;
}

struct CertSpec {
    std::string cn;
    long serial;
    time_t not_before, not_after;
    bool ca = false;
    bool with_pkup = false;
    time_t pkup_before = 0, pkup_after = 0;
};

ossl::X509Ptr make_cert(const CertSpec& s, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
    ossl::X509Ptr x(X509_new());
    check(x && X509_set_version(x.get(), 2), "X509_new");
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), s.serial);
    ossl::X509Name subject = make_name(s.cn);
    X509_set_subject_name(x.get(), subject.get());
    X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer) : subject.get());
    check(ASN1_TIME_set(X509_getm_notBefore(x.get()), s.not_before) &&
              ASN1_TIME_set(X509_getm_notAfter(x.get()), s.not_after),
          "validity");
    X509_set_pubkey(x.get(), key);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x.get(), x.get(), nullptr, nullptr, 0);
    auto add_ext = [&](int nid, const char* value) {
        ossl::X509Extension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
        check(ext && X509_add_ext(x.get(), ext.get(), -1), "extension");
    };
    add_ext(NID_basic_constraints, s.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add_ext(NID_key_usage,
            s.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    add_ext(NID_subject_key_identifier, "hash");
    if (s.with_pkup) {
        PKEY_USAGE_PERIOD* p = PKEY_USAGE_PERIOD_new();
        p->notBefore = ASN1_GENERALIZEDTIME_set(nullptr, s.pkup_before);
        p->notAfter = ASN1_GENERALIZEDTIME_set(nullptr, s.pkup_after);
        int ok = X509_add1_ext_i2d(x.get(), NID_private_key_usage_period, p, 0, 0);
        PKEY_USAGE_PERIOD_free(p);
        check(ok == 1, "privateKeyUsagePeriod");
    }
    check(X509_sign(x.get(), issuer_key ? issuer_key : key, EVP_sha256()) > 0, "X509_sign");
    return x;
}

Entity entity(const CertSpec& s, ossl::EvpPkey key, const Entity* issuer) {
    Entity e;
    e.cert = make_cert(s, key.get(), issuer ? issuer->cert.get() : nullptr,
                       issuer ? issuer->key.get() : nullptr);
    e.key = std::move(key);
    return e;
}

std::string bio_text(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return std::string(data, static_cast<size_t>(n));
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
    const time_t now = std::time(nullptr);
    p->root =
        entity({"Test Root", 1, now - 2 * kYear, now + 20 * kYear, true}, make_ec_key(), nullptr);
    p->inter = entity({"Test Intermediate", 2, now - 2 * kYear, now + 10 * kYear, true},
                      make_ec_key(), &p->root);
    p->leaf = entity({"Leaf One", 10, now - kYear, now + 5 * kYear}, make_ec_key(), &p->inter);
    p->rsa_leaf = entity({"Leaf RSA", 11, now - kYear, now + 5 * kYear}, make_rsa_key(), &p->inter);
    p->expired =
        entity({"Leaf Expired", 12, now - 2 * kYear, now - kYear}, make_ec_key(), &p->inter);
    p->not_yet =
        entity({"Leaf Not Yet", 13, now + kYear, now + 2 * kYear}, make_ec_key(), &p->inter);
    CertSpec pkup{"Leaf Usage Ended", 14, now - kYear, now + 5 * kYear};
    pkup.with_pkup = true;
    pkup.pkup_before = now - kYear;
    pkup.pkup_after = now - kDay;
    p->pkup_ended = entity(pkup, make_ec_key(), &p->inter);
    p->stranger = entity({"Stranger", 99, now - kYear, now + 5 * kYear}, make_ec_key(), nullptr);
    p->root_pem = p->dir + "/root.pem";
    write_file(p->root_pem, pem_of(p->root.cert.get()));
    p->ca_bundle = p->dir + "/ca_bundle.pem";
    write_file(p->ca_bundle, pem_of(p->root.cert.get()) + pem_of(p->inter.cert.get()));
    return p;
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
    unsigned char* der = nullptr;
    int n = i2d_X509(cert, &der);
    check(n > 0, "i2d_X509");
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    return out;
}

std::string bare_base64_of(X509* cert) {
    std::string pem = pem_of(cert);
    size_t first_nl = pem.find('\n');
    size_t footer = pem.rfind("-----END");
    std::string body = pem.substr(first_nl + 1, footer - first_nl - 1);
    while (!body.empty() && body.back() == '\n') body.pop_back();
    return body;
}

std::string key_pem(EVP_PKEY* key, const char* password) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    const EVP_CIPHER* cipher = password ? EVP_aes_256_cbc() : nullptr;
    int plen = password ? static_cast<int>(std::strlen(password)) : 0;
    check(PEM_write_bio_PrivateKey(b.get(), key, cipher,
                                   reinterpret_cast<unsigned char*>(const_cast<char*>(password)),
                                   plen, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    return bio_text(b.get());
}

std::string write_p12(const std::string& name, const Entity& e, const char* password) {
    // One iteration keeps the sanitizer build fast; the iteration count is not under test.
    ossl::Pkcs12 p12(
        PKCS12_create(password, "test", e.key.get(), e.cert.get(), nullptr, 0, 0, 1, 1, 0));
    check(p12 != nullptr, "PKCS12_create");
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(i2d_PKCS12_bio(b.get(), p12.get()) == 1, "i2d_PKCS12_bio");
    const std::string path = get().dir + "/" + name;
    write_file(path, bio_text(b.get()));
    return path;
}

std::string write_legacy_p12(const std::string& name, const Entity& e, const char* password) {
    const std::string base = get().dir + "/" + name;
    write_file(base + ".cert.pem", pem_of(e.cert.get()));
    write_file(base + ".key.pem", key_pem(e.key.get(), nullptr));
    // The crypto library's own tool makes the file, so the test does not depend on our start-up
    // to write RC2 and 3DES, only to read them.
    const std::string cmd = "OPENSSL_CONF=/dev/null openssl pkcs12 -export -legacy -in '" + base +
                            ".cert.pem' -inkey '" + base + ".key.pem' -passout pass:" + password +
                            " -out '" + base + "' 2>/dev/null";
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
