#include "kit/pki.h"

#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "kit/certs.h"
#include "kit/kit_check.h"
#include "kit/tsa.h"
#include "ssf/init.h"

namespace test_pki {

namespace {

Entity make_ca(const std::string& cn, long serial, const Entity* issuer) {
    const time_t t = now();
    return issue({cn, serial, t - 2 * kYear, t + 10 * kYear, ca_exts(), EVP_sha256()},
                 ossl::PKey(EVP_EC_gen("P-256")), issuer);
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
    auto ec = [] { return ossl::PKey(EVP_EC_gen("P-256")); };
    p->root = make_ca("Test Root", 1, nullptr);
    p->inter = make_ca("Test Intermediate", 2, &p->root);
    p->leaf = make("Leaf One", 0x5678, ec(), &p->inter);
    p->rsa_leaf = make("Leaf RSA", 0x1234, ossl::PKey(EVP_RSA_gen(2048)), &p->inter);
    p->expired = make("Leaf Expired", 12, ec(), &p->inter, -2 * kYear, -kYear);
    p->not_yet = make("Leaf Not Yet", 13, ec(), &p->inter, kYear, 2 * kYear);
    p->pkup_ended = make("Leaf Usage Ended", 14, ec(), &p->inter);
    ossl::UsagePeriod period(PKEY_USAGE_PERIOD_new());
    const time_t now = std::time(nullptr);
    period->notBefore = ASN1_GENERALIZEDTIME_set(nullptr, now - kYear);
    period->notAfter = ASN1_GENERALIZEDTIME_set(nullptr, now - kDay);
    X509* pk = p->pkup_ended.cert.get();
    check(X509_add1_ext_i2d(pk, NID_private_key_usage_period, period.get(), 0, 0) == 1, "period");
    X509_sign(pk, p->inter.key.get(), EVP_sha256());
    p->stranger = make("Stranger", 99, ec(), nullptr);
    p->ca_bundle = p->dir + "/ca_bundle.pem";
    write_file(p->ca_bundle, pem_of(p->root.cert.get()) + pem_of(p->inter.cert.get()));
    return p;
}

}  // namespace

const Pki& get() {
    static Pki* pki = build();
    return *pki;
}

Entity make(const std::string& cn, long serial, ossl::PKey key, const Entity* issuer, long from,
            long to, const EVP_MD* md) {
    const time_t t = now();
    return issue({cn, serial, t + from, t + to, {}, md ? md : EVP_sha256()}, std::move(key),
                 issuer);
}

std::string subject_text(const std::string& cn) {
    return "CN=" + cn + ", O=Selvanor Test, C=RU";
}

std::string sha1_hex(X509* cert, const char* sep) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    check(X509_digest(cert, EVP_sha1(), md, &n) == 1, "X509_digest");
    std::string out;
    char buf[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", md[i]);
        out += (i ? sep : "") + std::string(buf);
    }
    return out;
}

std::string pem_of(X509* cert) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(b.get(), cert) == 1, "PEM_write_bio_X509");
    return mem_text(b.get());
}

std::string der_of(X509* cert) {
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(i2d_X509_bio(b.get(), cert) == 1, "i2d_X509_bio");
    return mem_text(b.get());
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
    return mem_text(b.get());
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    check(static_cast<bool>(out), "write_file");
}

std::string write_p12(const std::string& name, const Entity& e, const char* password) {
    // One iteration keeps the sanitizer build fast; the iteration count is not under test.
    ossl::Pkcs12 p12(
        PKCS12_create(password, "test", e.key.get(), e.cert.get(), nullptr, 0, 0, 1, 1, 0));
    ossl::Bio b(BIO_new(BIO_s_mem()));
    check(p12 && i2d_PKCS12_bio(b.get(), p12.get()) == 1, "PKCS12_create");
    const std::string path = get().dir + "/" + name;
    write_file(path, mem_text(b.get()));
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

Der to_der(PKCS7* p7) {
    return der_with(p7, i2d_PKCS7);
}

ossl::Pkcs7 from_der(const Der& der) {
    const unsigned char* p = der.data();
    return ossl::Pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

Der hex(const std::string& h) {
    Der out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

Der signed_der(const std::string& content) {
    const Entity& id = get().rsa_leaf;
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(PKCS7_sign(id.cert.get(), id.key.get(), nullptr, in.get(), PKCS7_BINARY));
    return p7 ? to_der(p7.get()) : Der();
}

Der enveloped_der(const std::string& content) {
    ossl::X509Stack certs = ossl::new_x509_stack();
    sk_X509_push(certs.get(), ossl::up_ref(get().rsa_leaf.cert.get()).release());
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(PKCS7_encrypt(certs.get(), in.get(), EVP_aes_128_cbc(), PKCS7_BINARY));
    return p7 ? to_der(p7.get()) : Der();
}

Der digested_der() {
    return hex(
        "3043"
        "06092a864886f70d010705"  // digestedData
        "a036"
        "3034"
        "020100"
        "300706052b0e03021a"  // sha1 without parameters
        "3010"
        "06092a864886f70d010701"
        "a003"
        "0401"
        "61"
        "0414a9993e364706816aba3e25717850c26c9cd0d89d");
}

ossl::Pkcs7 timestamp_token(long when) {
    static const Entity tsa = [] {
        const Entity& id = get().rsa_leaf;
        return issue({"Test TSA", 0x7501, 0, 0, tsa_exts(), EVP_sha256()},
                     ossl::up_ref(id.key.get()), &get().inter);
    }();
    TokenSpec spec;
    spec.tsa = &tsa;
    spec.gen_time = when;
    spec.data.clear();
    return make_token(spec);
}

}  // namespace test_pki
