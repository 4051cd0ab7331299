// Test-only PKCS#7 samples made with the crypto library: one RSA key and self-signed
// certificate per process, signed and enveloped data over given bytes, and digested data.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Test"), -1, -1, 0);
        X509_set_issuer_name(c, name);
        X509_set_pubkey(c, t->key.get());
        X509_sign(c, t->key.get(), EVP_sha256());
        return t;
    }();
    return *id;
}

// A time-stamp token over 32 zero bytes, issued at `when` by a key certified for time stamping.
inline ossl::Pkcs7 timestamp_token(long when) {
    const auto& id = test_identity();
    ossl::X509Ptr tsa(X509_dup(id.cert.get()));
    X509_EXTENSION* eku =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage, "critical,timeStamping");
    X509_add_ext(tsa.get(), eku, -1);
    X509_EXTENSION_free(eku);
    X509_sign(tsa.get(), id.key.get(), EVP_sha256());

    TS_RESP_CTX* ctx = TS_RESP_CTX_new();
    TS_RESP_CTX_set_signer_cert(ctx, tsa.get());
    TS_RESP_CTX_set_signer_key(ctx, id.key.get());
    ASN1_OBJECT* policy = OBJ_txt2obj("1.2.3.4", 1);
    TS_RESP_CTX_set_def_policy(ctx, policy);
    ASN1_OBJECT_free(policy);
    TS_RESP_CTX_add_md(ctx, EVP_sha256());
    static long fixed;
    fixed = when;
    TS_RESP_CTX_set_time_cb(
        ctx,
        [](TS_RESP_CTX*, void*, long* sec, long* usec) {
            *sec = fixed;
            *usec = 0;
            return 1;
        },
        nullptr);

    unsigned char hash[32] = {};
    TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
    X509_ALGOR* alg = X509_ALGOR_new();
    X509_ALGOR_set0(alg, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr);
    TS_MSG_IMPRINT_set_algo(imprint, alg);
    TS_MSG_IMPRINT_set_msg(imprint, hash, sizeof hash);
    TS_REQ* req = TS_REQ_new();
    TS_REQ_set_version(req, 1);
    TS_REQ_set_msg_imprint(req, imprint);
    ossl::Bio req_bio(BIO_new(BIO_s_mem()));
    i2d_TS_REQ_bio(req_bio.get(), req);
    TS_RESP* resp = TS_RESP_create_response(ctx, req_bio.get());
    ossl::Pkcs7 token(resp ? PKCS7_dup(TS_RESP_get_token(resp)) : nullptr);
    TS_RESP_free(resp);
    TS_REQ_free(req);
    TS_MSG_IMPRINT_free(imprint);
    X509_ALGOR_free(alg);
    TS_RESP_CTX_free(ctx);
    return token;
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
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// ContentInfo of type digestedData (1.2.840.113549.1.7.5) holding "a" and a SHA-1 value.
inline Der digested_der() {
    return hex(
        "3043"
        "06092a864886f70d010705"
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

// Data whose content is absent, as in a detached structure.
inline Der data_without_content() {
    return hex("300b06092a864886f70d010701");
}

}  // namespace ssf_test
