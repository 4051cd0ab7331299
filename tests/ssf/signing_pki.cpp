#include "signing_pki.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace signing_pki {

namespace {

using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string bio_text(BIO* b) {
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    return std::string(p, static_cast<size_t>(n));
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Cert new_cert(const std::string& cn, EVP_PKEY* key, long serial, long not_before, long not_after) {
    Cert c(X509_new());
    X509_set_version(c.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial);
    X509_NAME* name = X509_get_subject_name(c.get());
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("RU"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_gmtime_adj(X509_getm_notBefore(c.get()), not_before);
    X509_gmtime_adj(X509_getm_notAfter(c.get()), not_after);
    X509_set_pubkey(c.get(), key);
    return c;
}

}  // namespace

Key make_key(KeyKind kind) {
    if (kind == KeyKind::ec) return Key(EVP_EC_gen("P-256"));
    return Key(EVP_RSA_gen(2048));
}

Identity make_ca(const std::string& cn) {
    Identity ca;
    ca.key = make_key(KeyKind::ec);
    ca.cert = new_cert(cn, ca.key.get(), 1, -86400 * 365, 86400 * 365 * 5);
    X509_set_issuer_name(ca.cert.get(), X509_get_subject_name(ca.cert.get()));
    add_ext(ca.cert.get(), ca.cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_ext(ca.cert.get(), ca.cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    add_ext(ca.cert.get(), ca.cert.get(), NID_subject_key_identifier, "hash");
    X509_sign(ca.cert.get(), ca.key.get(), EVP_sha256());
    return ca;
}

Identity issue(const Identity& ca, const std::string& cn, KeyKind kind, long serial,
               long not_before, long not_after) {
    Identity id;
    id.key = make_key(kind);
    id.cert = new_cert(cn, id.key.get(), serial, not_before, not_after);
    X509_set_issuer_name(id.cert.get(), X509_get_subject_name(ca.cert.get()));
    add_ext(id.cert.get(), ca.cert.get(), NID_key_usage,
            "critical,digitalSignature,nonRepudiation,keyEncipherment");
    add_ext(id.cert.get(), ca.cert.get(), NID_authority_key_identifier, "keyid");
    X509_sign(id.cert.get(), ca.key.get(), EVP_sha256());
    return id;
}

std::string to_pem(X509* cert) {
    Bio b(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(b.get(), cert);
    return bio_text(b.get());
}

std::string key_to_pem(EVP_PKEY* key) {
    Bio b(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(b.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return bio_text(b.get());
}

Bytes to_der(X509* cert) {
    unsigned char* p = nullptr;
    int n = i2d_X509(cert, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

Bytes to_der(PKCS7* p7) {
    unsigned char* p = nullptr;
    int n = i2d_PKCS7(p7, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

P7 p7_from_der(const Bytes& der) {
    const unsigned char* p = der.data();
    return P7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
}

Bytes str_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string sha1_spaced(X509* cert) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(cert, EVP_sha1(), d, &n);
    std::string out;
    char buf[4];
    for (unsigned int i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, "%02x", d[i]);
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

std::string subject_text(X509* cert) {
    Bio b(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(b.get(), X509_get_subject_name(cert), 0, 0x120000);
    return bio_text(b.get());
}

}  // namespace signing_pki
