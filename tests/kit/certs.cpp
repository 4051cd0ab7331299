#include "kit/certs.h"

#include <openssl/objects.h>

#include "kit/kit_check.h"

namespace test_pki {

namespace {

void add_ext(X509* x, X509V3_CTX* ctx, const Ext& e) {
    ossl::ExtPtr ext(X509V3_EXT_conf(nullptr, ctx, e.name.c_str(), e.value.c_str()));
    check(ext && X509_add_ext(x, ext.get(), -1) == 1, "extension " + e.name + " = " + e.value);
}

}  // namespace

const char* key_type_name(KeyType t) {
    switch (t) {
        case KeyType::rsa:
            return "RSA";
        case KeyType::ec:
            return "EC";
        case KeyType::gost256:
            return "GOST 2012-256";
        case KeyType::gost512:
            return "GOST 2012-512";
    }
    return "?";
}

ossl::PKey new_key(KeyType t) {
    switch (t) {
        case KeyType::rsa:
            return ossl::PKey(EVP_RSA_gen(2048));
        case KeyType::ec:
            return ossl::PKey(EVP_EC_gen("P-256"));
        case KeyType::gost256:
            return gost_key("gost2012_256");
        case KeyType::gost512:
            return gost_key("gost2012_512");
    }
    return nullptr;
}

ossl::PKey gost_key(const char* type) {
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new_id(OBJ_sn2nid(type), nullptr));
    EVP_PKEY* k = nullptr;
    check(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") == 1 &&
              EVP_PKEY_keygen(ctx.get(), &k) == 1,
          "GOST key");
    return ossl::PKey(k);
}

const EVP_MD* digest_for(EVP_PKEY* key) {
    const char* name = "SHA256";
    const std::string type = OBJ_nid2sn(EVP_PKEY_get_base_id(key));
    if (type == "gost2001") name = "md_gost94";
    if (type == "gost2012_256") name = "md_gost12_256";
    if (type == "gost2012_512") name = "md_gost12_512";
    const EVP_MD* md = EVP_get_digestbyname(name);
    check(md != nullptr, "digest");
    return md;
}

Entity issue(const CertSpec& spec, ossl::PKey key, const Entity* issuer) {
    Entity e{ossl::X509Ptr(X509_new()), std::move(key)};
    X509* x = e.cert.get();
    check(x && e.key, "key for " + spec.cn);
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), spec.serial);
    X509_NAME* name = X509_get_subject_name(x);
    const char* fields[][2] = {{"C", "RU"}, {"O", "Selvanor Test"}, {"CN", spec.cn.c_str()}};
    for (auto& f : fields)
        X509_NAME_add_entry_by_txt(name, f[0], MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(f[1]), -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
    const time_t t = now();
    check(ASN1_TIME_set(X509_getm_notBefore(x), spec.not_before ? spec.not_before : t - kYear) &&
              ASN1_TIME_set(X509_getm_notAfter(x), spec.not_after ? spec.not_after : t + 5 * kYear),
          "validity");
    X509_set_pubkey(x, e.key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer->cert.get() : x, x, nullptr, nullptr, 0);
    if (!spec.no_key_id) add_ext(x, &ctx, {"subjectKeyIdentifier", "hash"});
    for (const Ext& ext : spec.exts) add_ext(x, &ctx, ext);
    EVP_PKEY* signer = (issuer ? issuer->key : e.key).get();
    check(X509_sign(x, signer, spec.md ? spec.md : digest_for(signer)) > 0, "sign " + spec.cn);
    return e;
}

Exts ca_exts() {
    return {{"basicConstraints", "critical,CA:TRUE"}, {"keyUsage", "keyCertSign,cRLSign"}};
}

Exts tsa_exts() {
    return {{"extendedKeyUsage", "critical,timeStamping"}};
}

Exts ocsp_responder_exts() {
    return {{"extendedKeyUsage", "OCSPSigning"}, {"noCheck", "ignored"}};
}

Ext aia_ocsp(const std::string& url) {
    return {"authorityInfoAccess", "OCSP;URI:" + url};
}

const Services& services() {
    static const Services* s = [] {
        auto* out = new Services;
        const Pki& pki = get();
        const time_t t = now();
        for (KeyType k : kAllKeyTypes) {
            const auto i = static_cast<size_t>(k);
            const std::string name = key_type_name(k);
            out->tsa[i] = issue({"TSA " + name, 0x7000 + static_cast<long>(i), 0, 0, tsa_exts()},
                                new_key(k), &pki.inter);
            out->responder[i] =
                issue({"OCSP " + name, 0x8000 + static_cast<long>(i), 0, 0, ocsp_responder_exts()},
                      new_key(k), &pki.inter);
        }
        const time_t from = t - 2 * kYear + kDay, to = t - kYear;
        out->expired_valid_at = t - 3 * kYear / 2;
        out->expired_tsa =
            issue({"TSA Expired", 0x7100, from, to, tsa_exts()}, new_key(KeyType::ec), &pki.inter);
        out->expired_responder = issue({"OCSP Expired", 0x8100, from, to, ocsp_responder_exts()},
                                       new_key(KeyType::ec), &pki.inter);
        return out;
    }();
    return *s;
}

ossl::X509StorePtr new_store() {
    ossl::X509StorePtr store(X509_STORE_new());
    check(store && X509_STORE_add_cert(store.get(), get().root.cert.get()) == 1 &&
              X509_STORE_add_cert(store.get(), get().inter.cert.get()) == 1,
          "store");
    return store;
}

}  // namespace test_pki
