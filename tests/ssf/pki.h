// Test-only PKCS#7 samples made with the crypto library: one RSA key and self-signed
// certificate per process, signed and enveloped data over given bytes, and digested data.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "ssf/ossl.h"

namespace ssf_test {

using Der = std::vector<unsigned char>;

struct TestIdentity {
    ossl::EvpPkey key;
    ossl::X509Ptr cert;
};

inline const TestIdentity& test_identity() {
    static TestIdentity* id = [] {
        auto* t = new TestIdentity;
        t->key.reset(EVP_RSA_gen(1024));
        t->cert.reset(X509_new());
        X509* c = t->cert.get();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), 7);
        X509_gmtime_adj(X509_getm_notBefore(c), 0);
        X509_gmtime_adj(X509_getm_notAfter(c), 86400);
        X509_NAME* name = X509_get_subject_name(c);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test"), -1, -1,
                                   0);
        X509_set_issuer_name(c, name);
        X509_set_pubkey(c, t->key.get());
        X509_sign(c, t->key.get(), EVP_sha256());
        return t;
    }();
    return *id;
}

inline Der to_der(PKCS7* p7) {
    unsigned char* buf = nullptr;
    int n = i2d_PKCS7(p7, &buf);
    Der out(buf, buf + (n > 0 ? n : 0));
    OPENSSL_free(buf);
    return out;
}

inline Der signed_der(const std::string& content) {
    const auto& id = test_identity();
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(PKCS7_sign(id.cert.get(), id.key.get(), nullptr, in.get(), PKCS7_BINARY));
    return p7 ? to_der(p7.get()) : Der();
}

inline Der enveloped_der(const std::string& content) {
    const auto& id = test_identity();
    ossl::X509Stack certs(sk_X509_new_null());
    sk_X509_push(certs.get(), ossl::up_ref(id.cert.get()).release());
    ossl::Bio in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ossl::Pkcs7 p7(PKCS7_encrypt(certs.get(), in.get(), EVP_aes_128_cbc(), PKCS7_BINARY));
    return p7 ? to_der(p7.get()) : Der();
}

inline Der hex(const std::string& h) {
    Der out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// ContentInfo of type digestedData (1.2.840.113549.1.7.5) holding "a" and a SHA-1 value.
inline Der digested_der() {
    return hex(
        "3043"
        "06092a864886f70d010705"
        "a036" "3034"
        "020100"
        "300706052b0e03021a"      // sha1 without parameters
        "3010" "06092a864886f70d010701" "a003" "0401" "61"
        "0414a9993e364706816aba3e25717850c26c9cd0d89d");
}

// Data whose content is absent, as in a detached structure.
inline Der data_without_content() { return hex("300b06092a864886f70d010701"); }

}  // namespace ssf_test
