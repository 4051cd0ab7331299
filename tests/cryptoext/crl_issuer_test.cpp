// Finding a CRL's issuer among a store's certificates.
#include "cryptoext/crl_issuer.h"

#include <openssl/x509v3.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine_env.h"

namespace {

using Crl = ossl::X509Crl;
using Store = ossl::X509StorePtr;
using StoreCtx = ossl::X509StoreCtx;
using Object = ossl::X509Object;

// A self-signed CA certificate, with a subject key identifier if asked.
ossl::X509Ptr make_ca(const char* cn, EVP_PKEY* key, long serial, bool with_skid) {
    ossl::X509Ptr c = engine_tests::self_signed(key, cn, serial);
    if (with_skid) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, c.get(), c.get(), nullptr, nullptr, 0);
        ossl::ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash"));
        EXPECT_TRUE(ext && X509_add_ext(c.get(), ext.get(), -1));
        X509_sign(c.get(), key, EVP_sha256());
    }
    return c;
}

Crl make_crl(X509* issuer, EVP_PKEY* key, const char* akid) {
    Crl crl(X509_CRL_new());
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
    ossl::Asn1Time now(X509_gmtime_adj(nullptr, 0));
    X509_CRL_set1_lastUpdate(crl.get(), now.get());
    if (akid) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuer, nullptr, nullptr, crl.get(), 0);
        ossl::ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, akid));
        EXPECT_TRUE(ext && X509_CRL_add_ext(crl.get(), ext.get(), -1));
    }
    X509_CRL_sign(crl.get(), key, EVP_sha256());
    return crl;
}

// The issuer found in a store holding the given certificates, or null with the result code.
std::pair<int, X509*> find_issuer(std::initializer_list<X509*> certs, X509_CRL* crl,
                                  Object& found) {
    Store store(X509_STORE_new());
    for (X509* c : certs) X509_STORE_add_cert(store.get(), c);
    StoreCtx ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store.get(), nullptr, nullptr);
    X509_OBJECT* obj = nullptr;
    const int rc = X509_STORE_CTX_get_crl_issuer(ctx.get(), crl, &obj);
    found.reset(obj);
    return {rc, obj ? X509_OBJECT_get0_X509(obj) : nullptr};
}

TEST(CrlIssuer, KeyIdentifierPicksTheRightOneOfTwoWithTheSameName) {
    ossl::PKey k1(EVP_EC_gen("P-256")), k2(EVP_EC_gen("P-256")), k3(EVP_EC_gen("P-256"));
    ossl::X509Ptr other = make_ca("Other CA", k3.get(), 3, true);
    ossl::X509Ptr first = make_ca("Same CA", k1.get(), 1, true);
    ossl::X509Ptr second = make_ca("Same CA", k2.get(), 2, true);
    Crl by_key = make_crl(second.get(), k2.get(), "keyid:always");
    EXPECT_EQ(X509_check_crl_issuer(first.get(), by_key.get()), 0);
    EXPECT_EQ(X509_check_crl_issuer(second.get(), by_key.get()), 1);
    Object found;
    auto [rc, cert] = find_issuer({first.get(), second.get()}, by_key.get(), found);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(X509_cmp(cert, second.get()), 0);

    // Without a key identifier the store's first name match wins (it keeps its objects sorted,
    // so it is one of the two that carry the CRL's issuer name).
    Crl by_name = make_crl(second.get(), k2.get(), nullptr);
    EXPECT_EQ(X509_check_crl_issuer(other.get(), by_name.get()), 0);
    std::tie(rc, cert) =
        find_issuer({other.get(), first.get(), second.get()}, by_name.get(), found);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_subject_name(first.get())), 0);
}

// As the crypto library has it, a key identifier is held only to a certificate that has one: an
// older CA certificate without it still issued its CRLs. One that has it is found first.
TEST(CrlIssuer, KeyIdentifierIsComparedWhereTheCertificateHasOneAndAnEmptyStoreGivesMinusOne) {
    ossl::PKey k(EVP_EC_gen("P-256")), other(EVP_EC_gen("P-256"));
    ossl::X509Ptr with = make_ca("CA", k.get(), 1, true),
                  without = make_ca("CA", k.get(), 1, false);
    Crl crl = make_crl(with.get(), k.get(), "keyid:always,issuer:always");
    EXPECT_EQ(X509_check_crl_issuer(with.get(), crl.get()), 1);
    EXPECT_EQ(X509_check_crl_issuer(without.get(), crl.get()), 1);
    // Namesakes with its serial number, which the CRL's identifier names too: each passes the
    // library's check, and one comes before it in the store.
    std::vector<ossl::X509Ptr> namesakes;
    for (int i = 0; i < 4; ++i) namesakes.push_back(make_ca("CA", other.get(), 1, false));
    for (X509* n : {namesakes[0].get(), namesakes[3].get()})
        EXPECT_EQ(X509_check_crl_issuer(n, crl.get()), 1);
    Store sorted(X509_STORE_new());
    for (X509* c : {namesakes[0].get(), namesakes[1].get(), namesakes[2].get(), namesakes[3].get(),
                    with.get()})
        X509_STORE_add_cert(sorted.get(), c);
    ASSERT_NE(X509_OBJECT_get0_X509(sk_X509_OBJECT_value(X509_STORE_get0_objects(sorted.get()), 0)),
              with.get());
    Object by_key;
    auto [rc, cert] = find_issuer({namesakes[0].get(), namesakes[1].get(), namesakes[2].get(),
                                   namesakes[3].get(), with.get()},
                                  crl.get(), by_key);
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(X509_cmp(cert, with.get()), 0);

    Store store(X509_STORE_new());
    X509_STORE_add_crl(store.get(), crl.get());
    StoreCtx ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store.get(), nullptr, nullptr);
    X509_OBJECT* obj = nullptr;
    EXPECT_EQ(X509_STORE_CTX_get_crl_issuer(ctx.get(), crl.get(), &obj), -1) << "only a CRL";
    Object found;
    EXPECT_EQ(find_issuer({}, crl.get(), found).first, -1) << "nothing";
}

}  // namespace

// Other threads may add certificates to a shared store while a look-up walks it: the walk must
// hold the store's lock, or it reads a list that is being reallocated under it.
TEST(CrlIssuer, LookUpWhileAnotherThreadFillsTheStore) {
    engine_tests::load_engines();
    ossl::PKey key(EVP_EC_gen("P-256"));
    std::vector<ossl::X509Ptr> certs;
    for (long i = 0; i < 600; ++i)
        certs.push_back(engine_tests::self_signed(key.get(), "filler", i));
    ossl::X509Ptr other = make_ca("other issuer", key.get(), 1, false);
    Crl crl = make_crl(other.get(), key.get(), nullptr);
    Store store(X509_STORE_new());
    StoreCtx ctx(X509_STORE_CTX_new());
    ASSERT_TRUE(store && ctx && X509_STORE_CTX_init(ctx.get(), store.get(), nullptr, nullptr));
    std::atomic<bool> done{false};
    std::thread filler([&] {
        for (auto& c : certs) X509_STORE_add_cert(store.get(), c.get());
        done = true;
    });
    while (!done) {
        X509_OBJECT* found = nullptr;
        EXPECT_EQ(X509_STORE_CTX_get_crl_issuer(ctx.get(), crl.get(), &found), -1);
        ossl::X509Object owner(found);
    }
    filler.join();
}
