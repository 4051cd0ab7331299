// Finding a CRL's issuer among a store's certificates, and the once-only engine loading.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <memory>

#include "cryptoext/crl_issuer.h"
#include "engines/loader.h"

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Crl = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreCtx = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Obj = std::unique_ptr<X509_OBJECT, Deleter<X509_OBJECT, X509_OBJECT_free>>;

Key new_key() { return Key(EVP_EC_gen("P-256")); }

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    ASSERT_NE(ext, nullptr);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A self-signed CA certificate; with_skid adds a subject key identifier.
Cert make_ca(const char* cn, EVP_PKEY* key, long serial, bool with_skid) {
    Cert c(X509_new());
    X509_set_version(c.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial);
    X509_NAME* name = X509_get_subject_name(c.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(c.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(c.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(c.get()), 3600);
    X509_set_pubkey(c.get(), key);
    if (with_skid) add_ext(c.get(), c.get(), NID_subject_key_identifier, "hash");
    X509_sign(c.get(), key, EVP_sha256());
    return c;
}

Crl make_crl(X509* issuer, EVP_PKEY* key, const char* akid) {
    Crl crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
    ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
    X509_CRL_set1_lastUpdate(crl.get(), now);
    ASN1_TIME_free(now);
    if (akid) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl.get(), 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, akid);
        EXPECT_NE(ext, nullptr);
        X509_CRL_add_ext(crl.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_CRL_sign(crl.get(), key, EVP_sha256());
    return crl;
}

int find_issuer(X509_STORE* store, X509_CRL* crl, Obj& out) {
    StoreCtx ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store, nullptr, nullptr);
    X509_OBJECT* obj = nullptr;
    int rc = X509_STORE_CTX_get_crl_issuer(ctx.get(), crl, &obj);
    out.reset(obj);
    return rc;
}

TEST(CrlIssuer, KeyIdentifierPicksTheRightCertificateOfTwoWithTheSameName) {
    Key k1 = new_key(), k2 = new_key();
    Cert first = make_ca("Same CA", k1.get(), 1, true);
    Cert second = make_ca("Same CA", k2.get(), 2, true);
    Crl crl = make_crl(second.get(), k2.get(), "keyid:always");
    EXPECT_EQ(X509_check_crl_issuer(first.get(), crl.get()), 0);
    EXPECT_EQ(X509_check_crl_issuer(second.get(), crl.get()), 1);

    Store store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), first.get());
    X509_STORE_add_cert(store.get(), second.get());
    Obj found;
    ASSERT_EQ(find_issuer(store.get(), crl.get(), found), 1);
    EXPECT_EQ(X509_cmp(X509_OBJECT_get0_X509(found.get()), second.get()), 0);
}

TEST(CrlIssuer, WithoutKeyIdentifierTheFirstNameMatchWins) {
    Key k1 = new_key(), k2 = new_key(), k3 = new_key();
    Cert other = make_ca("Other CA", k3.get(), 3, true);
    Cert first = make_ca("Same CA", k1.get(), 1, true);
    Cert second = make_ca("Same CA", k2.get(), 2, true);
    Crl crl = make_crl(second.get(), k2.get(), nullptr);
    EXPECT_EQ(X509_check_crl_issuer(other.get(), crl.get()), 0);
    Store store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), other.get());
    X509_STORE_add_cert(store.get(), first.get());
    X509_STORE_add_cert(store.get(), second.get());
    Obj found;
    ASSERT_EQ(find_issuer(store.get(), crl.get(), found), 1);
    // The store keeps its objects sorted; whichever same-named one it holds first is the answer,
    // and it must be one of the two that carry the CRL's issuer name.
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(X509_OBJECT_get0_X509(found.get())),
                            X509_get_subject_name(first.get())),
              0);
}

TEST(CrlIssuer, KeyIdentifierWithoutSubjectKeyIdentifierFails) {
    Key k = new_key();
    Cert with = make_ca("CA", k.get(), 1, true);
    Cert without = make_ca("CA", k.get(), 1, false);
    Crl crl = make_crl(with.get(), k.get(), "keyid:always,issuer:always");
    EXPECT_EQ(X509_check_crl_issuer(with.get(), crl.get()), 1);
    EXPECT_EQ(X509_check_crl_issuer(without.get(), crl.get()), 0);
}

TEST(CrlIssuer, StoreWithOnlyCrlsOrNothingGivesMinusOne) {
    Key k = new_key();
    Cert ca = make_ca("CA", k.get(), 1, true);
    Crl crl = make_crl(ca.get(), k.get(), nullptr);
    Store store(X509_STORE_new());
    Obj found;
    EXPECT_EQ(find_issuer(store.get(), crl.get(), found), -1);
    X509_STORE_add_crl(store.get(), crl.get());
    EXPECT_EQ(find_issuer(store.get(), crl.get(), found), -1);
}

TEST(EngineLoading, SecondCallAddsNoEngine) {
    auto count = [] {
        int n = 0;
        for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) ++n;
        return n;
    };
    tvk_ENGINE_load_builtin_engines();
    int after_first = count();
    tvk_ENGINE_load_builtin_engines();
    EXPECT_EQ(count(), after_first);
    ENGINE* dyn = ENGINE_by_id("dynamic");
    EXPECT_NE(dyn, nullptr);
    ENGINE_free(dyn);
}

}  // namespace
