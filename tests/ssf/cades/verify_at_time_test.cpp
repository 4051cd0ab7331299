// Time-stamp tokens and OCSP basic responses verified with the signer's chain checked at a
// chosen time, against the kit's own and against the stock openssl command in both directions.
#include "ssf/cades/verify_at_time.h"

#include <openssl/err.h>

#include <atomic>
#include <functional>

#include "common/openssl_tool.h"
#include "common/vectors.h"
#include "fixture.h"
#include "kit/ocsp.h"
#include "kit/tsa.h"
#include "ssf/cades/ts_check.h"

using test_pki::Der;
using test_pki::Entity;
using test_pki::KeyType;
using testing_support::run_openssl;

namespace {

const test_pki::Services& services() {
    return test_pki::services();
}
const Entity& tsa(KeyType k) {
    return services().tsa[static_cast<int>(k)];
}
const Entity& responder(KeyType k) {
    return services().responder[static_cast<int>(k)];
}

bool store_has_time(X509_STORE* store) {
    return X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store)) & X509_V_FLAG_USE_CHECK_TIME;
}

void flip_last(Der& d) {
    d[d.size() - 3] ^= 0x01;  // inside the signature value, the last element of both
}

class AtTime : public ssf_test::Started {
  protected:
    // Verifies the token over spec's data, the TSA chain at `when`; certs are the untrusted ones.
    int verify_token(PKCS7* token, const test_pki::TokenSpec& spec, time_t when,
                     std::vector<X509*> certs = {}) {
        ossl::TsVerifyCtx ctx(TS_VERIFY_CTX_new());
        const Der imprint = test_pki::imprint_of(spec);
        TS_VERIFY_CTX_set_flags(ctx.get(), TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT);
        TS_VERIFY_CTX_set_imprint(
            ctx.get(), static_cast<unsigned char*>(OPENSSL_memdup(imprint.data(), imprint.size())),
            static_cast<long>(imprint.size()));
        ossl::X509View given(sk_X509_new_null());
        for (X509* c : certs) sk_X509_push(given.get(), c);
        ossl::X509StorePtr store = test_pki::new_store();
        const int rc =
            ssf::SSF_TS_RESP_verify_token(when, ctx.get(), store.get(), token, given.get());
        EXPECT_FALSE(store_has_time(store.get()));
        take_last_error();
        return rc;
    }
    int verify_ocsp(OCSP_BASICRESP* bs, const time_t* when, std::vector<X509*> certs = {},
                    unsigned long flags = 0) {
        ossl::X509View given(sk_X509_new_null());
        for (X509* c : certs) sk_X509_push(given.get(), c);
        ossl::X509StorePtr store = test_pki::new_store();
        const int rc = ssf::OCSP_basic_verify_time(when, bs, given.get(), store.get(), flags);
        EXPECT_FALSE(store_has_time(store.get()));
        take_last_error();
        return rc;
    }
    // The data of the last error on the queue, which is emptied.
    void take_last_error() {
        const char* data = nullptr;
        int flags = 0;
        ERR_peek_last_error_all(nullptr, nullptr, nullptr, &data, &flags);
        last_error = (flags & ERR_TXT_STRING) && data ? data : "";
        ERR_clear_error();
    }
    std::string last_error;
    // PEM files of an entity in the test's directory: NAME.pem and NAME.key.
    void write_entity(const std::string& name, const Entity& e) {
        dir.write(name + ".pem", test_pki::pem_of(e.cert.get()));
        dir.write(name + ".key", test_pki::key_pem(e.key.get(), nullptr));
    }
};

TEST_F(AtTime, TokensVerifyWithTheTsaChainCheckedAtTheGivenTime) {
    const time_t past = services().expired_valid_at;
    const Entity& expired = services().expired_tsa;
    const struct {
        const char* what;
        const Entity* tsa;
        bool ess_v2, with_certs, certs_given;
        time_t gen_time, when;
        int expect;
        std::function<void(Der&, test_pki::TokenSpec&)> alter = nullptr;
    } cases[] = {
        {"RSA, ESS v1", &tsa(KeyType::rsa), false, true, false, 0, -1, 1},
        {"EC, ESS v2", &tsa(KeyType::ec), true, true, false, 0, -1, 1},
        {"GOST 256, ESS v1", &tsa(KeyType::gost256), false, true, false, 0, -1, 1},
        {"GOST 512, ESS v2", &tsa(KeyType::gost512), true, true, false, 0, -1, 1},
        {"no certificates in the token, given", &tsa(KeyType::ec), true, false, true, 0, -1, 1},
        {"no certificates anywhere", &tsa(KeyType::ec), true, false, false, 0, -1, 0},
        {"expired TSA at genTime", &expired, false, true, false, past, past, 1},
        {"expired TSA now", &expired, false, true, false, past, -1, 0},
        {"valid TSA before its validity", &tsa(KeyType::ec), false, true, false, 0,
         test_pki::now() - 3 * test_pki::kYear, 0},
        {"signature altered", &tsa(KeyType::ec), false, true, false, 0, -1, 0,
         [](Der& der, test_pki::TokenSpec&) { flip_last(der); }},
        {"other imprint", &tsa(KeyType::ec), false, true, false, 0, -1, 0,
         [](Der&, test_pki::TokenSpec& spec) { spec.data = "other data"; }},
    };
    for (const auto& c : cases) {
        test_pki::TokenSpec spec;
        spec.tsa = c.tsa;
        spec.ess_v2 = c.ess_v2;
        spec.with_certs = c.with_certs;
        spec.gen_time = c.gen_time;
        Der der = test_pki::to_der(test_pki::make_token(spec).get());
        if (c.alter) c.alter(der, spec);
        std::vector<X509*> certs;
        if (c.certs_given) certs.push_back(c.tsa->cert.get());
        EXPECT_EQ(verify_token(test_pki::from_der(der).get(), spec, c.when, certs), c.expect)
            << c.what;
        if (c.tsa == &expired && c.when == -1) {
            EXPECT_EQ(last_error, "Verify error:certificate has expired");
        }
    }
}

// The caller's store is only read: a time of its own neither decides the check nor is changed.
TEST_F(AtTime, CallersStoreIsOnlyReadAndNullInputsRefused) {
    ossl::X509StorePtr store = test_pki::new_store();
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(store.get());
    X509_VERIFY_PARAM_set_time(param, 1234567);
    const unsigned long flags = X509_VERIFY_PARAM_get_flags(param);
    const int objects = sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get()));
    test_pki::TokenSpec spec;
    spec.tsa = &tsa(KeyType::ec);
    ossl::TsVerifyCtx ctx(TS_VERIFY_CTX_new());
    TS_VERIFY_CTX_set_flags(ctx.get(), TS_VFY_SIGNATURE);
    EXPECT_EQ(
        ssf::SSF_TS_RESP_verify_token(-1, ctx.get(), store.get(), test_pki::make_token(spec).get()),
        1);
    test_pki::OcspSpec ospec;
    ospec.responder = &responder(KeyType::ec);
    ospec.singles.push_back({&pki->leaf, &pki->inter});
    EXPECT_EQ(ssf::OCSP_basic_verify_time(nullptr, test_pki::make_basic(ospec).get(), nullptr,
                                          store.get(), 0),
              1);
    EXPECT_EQ(X509_VERIFY_PARAM_get_time(param), 1234567);
    EXPECT_EQ(X509_VERIFY_PARAM_get_flags(param), flags);
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())), objects);
    // What the caller's store asks for still holds: its CRL checks, its own callbacks.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK);
    EXPECT_EQ(
        ssf::SSF_TS_RESP_verify_token(-1, ctx.get(), store.get(), test_pki::make_token(spec).get()),
        0);
    X509_VERIFY_PARAM_clear_flags(param, X509_V_FLAG_CRL_CHECK);
    X509_STORE_set_check_revocation(store.get(), [](X509_STORE_CTX*) { return 0; });
    EXPECT_EQ(
        ssf::SSF_TS_RESP_verify_token(-1, ctx.get(), store.get(), test_pki::make_token(spec).get()),
        0);
    EXPECT_EQ(ssf::SSF_TS_RESP_verify_token(-1, ctx.get(), nullptr, nullptr), 0);
    EXPECT_EQ(
        ssf::SSF_TS_RESP_verify_token(-1, ctx.get(), nullptr, test_pki::timestamp_token(0).get()),
        0);
    ERR_clear_error();
}

// What a host keeps on its store for its own issuer look-up: whether to refuse, and how often it
// was asked. The look-up reads it from the store it is handed, under the index of the case.
struct HostPolicy {
    bool refuse = false;
    int asked = 0;
};
int g_policy_index = -1;
int issuer_by_policy(X509** issuer, X509_STORE_CTX* ctx, X509* x) {
    auto* policy = static_cast<HostPolicy*>(
        X509_STORE_get_ex_data(X509_STORE_CTX_get0_store(ctx), g_policy_index));
    if (policy) {
        ++policy->asked;
        if (policy->refuse) {
            *issuer = nullptr;
            return 0;
        }
    }
    return X509_STORE_CTX_get1_issuer(issuer, ctx, x);
}

// The host's indexes, each with a count of the data its free callback was handed (argp): one the
// host fills itself, one whose new callback gives every store a policy of its own, and one past
// the first 256.
enum HostIndex { kNoData, kPlain, kFresh, kHigh };
// Every store the process frees runs the callbacks, on any thread.
std::atomic<int> freed[4];
void count_free(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void* counter) {
    if (ptr) static_cast<std::atomic<int>*>(counter)->fetch_add(1);
}
int host_index(HostIndex which) {
    static const int plain =
        X509_STORE_get_ex_new_index(0, &freed[kPlain], nullptr, nullptr, count_free);
    static const int fresh = X509_STORE_get_ex_new_index(
        0, &freed[kFresh],
        [](void*, void*, CRYPTO_EX_DATA* ad, int idx, long, void*) {
            CRYPTO_set_ex_data(ad, idx, new HostPolicy);
        },
        nullptr,
        [](void* store, void* ptr, CRYPTO_EX_DATA* ad, int idx, long argl, void* counter) {
            count_free(store, ptr, ad, idx, argl, counter);
            delete static_cast<HostPolicy*>(ptr);
        });
    static const int high = [] {
        while (X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr) < 256) {
        }
        return X509_STORE_get_ex_new_index(0, &freed[kHigh], nullptr, nullptr, count_free);
    }();
    return which == kPlain ? plain : which == kFresh ? fresh : which == kHigh ? high : -1;
}

// The caller's own issuer look-up decides, though the call checks at a time of its own, and finds
// the data the caller keeps on its store under any index, with or without callbacks. That data
// is freed once, with the caller's store, and the store is left as it was.
TEST_F(AtTime, CallersLookUpsDecideWithTheirData) {
    const struct {
        const char* what;
        X509_STORE_CTX_get_issuer_fn get_issuer;
        HostIndex index;
        bool refuse;
        int token_rc, ocsp_rc;  // of ssf_verify_TS_token (kind 2) and OCSP_basic_verify_time
    } cases[] = {
        {"no issuer ever",
         [](X509** issuer, X509_STORE_CTX*, X509*) {
             *issuer = nullptr;
             return 0;
         },
         kNoData, false, 123, 0},
        {"the host's data lets issuers through", issuer_by_policy, kPlain, false, 0, 1},
        {"the host's data refuses", issuer_by_policy, kPlain, true, 123, 0},
        {"an index with a new callback lets issuers through", issuer_by_policy, kFresh, false, 0,
         1},
        {"an index with a new callback refuses", issuer_by_policy, kFresh, true, 123, 0},
        {"an index past 255 lets issuers through", issuer_by_policy, kHigh, false, 0, 1},
        {"an index past 255 refuses", issuer_by_policy, kHigh, true, 123, 0},
    };
    test_pki::TokenSpec spec;
    spec.tsa = &tsa(KeyType::ec);
    ossl::OctetString data(ASN1_OCTET_STRING_new());
    ASN1_OCTET_STRING_set(data.get(), reinterpret_cast<const unsigned char*>(spec.data.data()),
                          static_cast<int>(spec.data.size()));
    test_pki::OcspSpec ospec;
    ospec.responder = &responder(KeyType::ec);
    ospec.singles.push_back({&pki->leaf, &pki->inter});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ossl::X509StorePtr store = test_pki::new_store();
        X509_STORE_set_get_issuer(store.get(), c.get_issuer);
        g_policy_index = host_index(c.index);
        HostPolicy own;
        HostPolicy* policy = &own;
        if (c.index == kFresh)
            policy = static_cast<HostPolicy*>(X509_STORE_get_ex_data(store.get(), g_policy_index));
        else if (c.index != kNoData)
            X509_STORE_set_ex_data(store.get(), g_policy_index, &own);
        ASSERT_TRUE(policy);
        policy->refuse = c.refuse;
        const int objects = sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get()));
        for (std::atomic<int>& n : freed) n = 0;
        EXPECT_EQ(ssf_verify_TS_token(test_pki::make_token(spec).get(), nullptr, data.get(),
                                      store.get(), 2, nullptr, nullptr),
                  c.token_rc);
        EXPECT_EQ(ssf::OCSP_basic_verify_time(nullptr, test_pki::make_basic(ospec).get(), nullptr,
                                              store.get(), 0),
                  c.ocsp_rc);
        ERR_clear_error();
        EXPECT_EQ(policy->asked > 0, c.index != kNoData);
        EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())), objects);
        EXPECT_FALSE(store_has_time(store.get()));
        EXPECT_EQ(freed[c.index], 0);
        store.reset();
        EXPECT_EQ(freed[c.index], c.index == kNoData ? 0 : 1);
    }
}

// At now, the chain step of ours answers as the crypto library's own verifiers do: the same
// result and the same reason for every flag and shape of input.
TEST_F(AtTime, AtNowTheCryptoLibrarysVerifiersAgree) {
    const Entity& ec = responder(KeyType::ec);
    const Entity* leaf = &pki->leaf;
    const Entity* inter = &pki->inter;
    auto store_with = [this](unsigned long vflags, bool root = true) {
        ossl::X509StorePtr st(X509_STORE_new());
        if (root) X509_STORE_add_cert(st.get(), pki->root.cert.get());
        X509_STORE_add_cert(st.get(), pki->inter.cert.get());
        X509_VERIFY_PARAM_set_flags(X509_STORE_get0_param(st.get()), vflags);
        return st;
    };
    // The last error's library and reason, and the queue emptied.
    auto reason = [] {
        const unsigned long e = ERR_peek_last_error();
        ERR_clear_error();
        return std::make_pair(ERR_GET_LIB(e), ERR_GET_REASON(e));
    };
    const struct {
        const char* what;
        const Entity* responder;
        bool by_key = false, with_certs = true, given = false, flip = false;
        unsigned long flags = 0, store_flags = 0;
        bool store_root = true;
        int expect = 1;
        std::vector<test_pki::SingleSpec> singles = {};
    } ocsp[] = {
        {"by name", &ec},
        {"by key", &ec, true},
        {"no certificates anywhere", &ec, false, false, false, false, 0, 0, true, 0},
        {"no certificates inside, given", &ec, false, false, true},
        {"given and trusted as it is", &ec, false, false, true, false, OCSP_TRUSTOTHER},
        {"given, trusted, no signature check", &ec, false, false, true, false,
         OCSP_TRUSTOTHER | OCSP_NOSIGS},
        {"inside only, inside not searched", &ec, false, true, false, false, OCSP_NOINTERN, 0, true,
         0},
        {"no chain from the response", &ec, false, true, false, false, OCSP_NOCHAIN},
        {"signature altered", &ec, false, false, true, true, 0, 0, true, 0},
        {"signature altered, not checked", &ec, false, false, true, true, OCSP_NOSIGS},
        {"certificate inside altered", &ec, false, true, false, true, 0, 0, true, 0},
        {"certificate inside altered, no chain check", &ec, false, true, false, true,
         OCSP_NOVERIFY},
        {"no OCSPSigning usage", &pki->rsa_leaf, false, true, false, false, 0, 0, true, 0},
        {"no OCSPSigning usage, no issuer checks", &pki->rsa_leaf, false, true, false, false,
         OCSP_NOCHECKS},
        {"the issuer answers itself", inter},
        {"the root answers for another's certificate", &pki->root, false, true, false, false, 0, 0,
         true, 0},
        {"expired responder", &services().expired_responder, false, true, false, false, 0, 0, true,
         0},
        {"CRL checks, responder exempt", &ec, false, true, false, false, 0, X509_V_FLAG_CRL_CHECK},
        {"CRL checks, responder not exempt", &pki->rsa_leaf, false, true, false, false,
         OCSP_NOCHECKS, X509_V_FLAG_CRL_CHECK, true, 0},
        {"store without the root", &ec, false, true, false, false, 0, 0, false, 0},
        {"store without the root, partial chain", &ec, false, true, false, false,
         OCSP_PARTIAL_CHAIN, 0, false},
        {"two issuers under one digest",
         &ec,
         false,
         true,
         false,
         false,
         0,
         0,
         true,
         0,
         {{leaf, inter}, {inter, &pki->root}}},
        {"one issuer under two digests",
         &ec,
         false,
         true,
         false,
         false,
         0,
         0,
         true,
         1,
         {{leaf, inter},
          {&pki->rsa_leaf, inter, test_pki::CertStatus::good, 0, 0, 0, -1, EVP_sha256()}}},
    };
    for (const auto& c : ocsp) {
        SCOPED_TRACE(c.what);
        test_pki::OcspSpec spec;
        spec.responder = c.responder;
        spec.by_key = c.by_key;
        spec.with_certs = c.with_certs;
        spec.singles = c.singles;
        if (spec.singles.empty()) spec.singles.push_back({leaf, inter});
        test_pki::Der der = test_pki::to_der(test_pki::make_basic(spec).get());
        if (c.flip) flip_last(der);
        const unsigned char* p = der.data();
        ossl::OcspBasicResp bs(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.size())));
        ossl::X509View given(sk_X509_new_null());
        if (c.given) sk_X509_push(given.get(), c.responder->cert.get());
        ossl::X509StorePtr ours = store_with(c.store_flags, c.store_root),
                           lib = store_with(c.store_flags, c.store_root);
        ERR_clear_error();
        const int rc =
            ssf::OCSP_basic_verify_time(nullptr, bs.get(), given.get(), ours.get(), c.flags);
        const auto why = reason();
        EXPECT_EQ(rc, c.expect);
        EXPECT_EQ(rc, OCSP_basic_verify(bs.get(), given.get(), lib.get(), c.flags));
        EXPECT_EQ(why, reason());
    }

    const Entity& expired = services().expired_tsa;
    const Entity ca = test_pki::issue({"CA only in a token", 711, 0, 0, test_pki::ca_exts()},
                                      test_pki::new_key(KeyType::ec), &pki->root);
    const Entity below = test_pki::issue({"TSA below it", 712, 0, 0, test_pki::tsa_exts()},
                                         test_pki::new_key(KeyType::ec), &ca);
    const Entity untrusted =
        test_pki::issue({"TSA in no trust path", 713, 0, 0, test_pki::tsa_exts()},
                        test_pki::new_key(KeyType::ec), &pki->stranger);
    const int all = TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT | TS_VFY_SIGNER;
    const struct {
        const char* what;
        const Entity* tsa;
        int flags = TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT | TS_VFY_SIGNER;
        bool ess_v2 = false, with_certs = true, given = false, tsa_name = false;
        unsigned long store_flags = 0;
        int expect = 1;
        std::function<void(test_pki::Der&, test_pki::TokenSpec&)> alter = nullptr;
        const Entity* carried = nullptr;  // beside the TSA in the token
    } ts[] = {
        {"ESS v1", &tsa(KeyType::ec)},
        {"ESS v2", &tsa(KeyType::ec), all, true},
        {"GOST 256", &tsa(KeyType::gost256)},
        {"GOST 512, ESS v2", &tsa(KeyType::gost512), all, true},
        {"no certificates anywhere", &tsa(KeyType::ec), all, false, false, false, false, 0, 0},
        {"no certificates inside, given", &tsa(KeyType::ec), all, false, false, true},
        {"TSA named, signer checked", &tsa(KeyType::ec), all, false, true, false, true},
        {"TSA named, only the signer asked for", &tsa(KeyType::ec), TS_VFY_SIGNER, false, true,
         false, true},
        {"signature altered", &tsa(KeyType::ec), all, false, true, false, false, 0, 0,
         [](test_pki::Der& d, test_pki::TokenSpec&) { flip_last(d); }},
        {"other imprint", &tsa(KeyType::ec), all, false, true, false, false, 0, 0,
         [](test_pki::Der&, test_pki::TokenSpec& s) { s.data = "other data"; }},
        {"other imprint, not asked for", &tsa(KeyType::ec), TS_VFY_SIGNATURE, false, true, false,
         false, 0, 1, [](test_pki::Der&, test_pki::TokenSpec& s) { s.data = "other data"; }},
        {"expired TSA", &expired, all, false, true, false, false, 0, 0},
        {"TSA in no trust path", &untrusted, all, false, true, false, false, 0, 0},
        {"CRL checks, no CRL", &tsa(KeyType::ec), all, false, true, false, false,
         X509_V_FLAG_CRL_CHECK, 0},
        {"its CA only among the token's certificates", &below, all, false, true, false, false, 0, 1,
         nullptr, &ca},
    };
    for (const auto& c : ts) {
        SCOPED_TRACE(c.what);
        test_pki::TokenSpec spec;
        spec.tsa = c.tsa;
        spec.ess_v2 = c.ess_v2;
        spec.with_certs = c.with_certs;
        spec.tsa_name = c.tsa_name;
        if (c.tsa == &expired) spec.gen_time = services().expired_valid_at;
        if (c.carried) spec.chain.push_back(c.carried);
        test_pki::Der der = test_pki::to_der(test_pki::make_token(spec).get());
        if (c.alter) c.alter(der, spec);
        const test_pki::Der imprint = test_pki::imprint_of(spec);
        auto context = [&](X509_STORE* store) {
            ossl::TsVerifyCtx ctx(TS_VERIFY_CTX_new());
            TS_VERIFY_CTX_set_flags(ctx.get(), c.flags);
            TS_VERIFY_CTX_set_imprint(
                ctx.get(),
                static_cast<unsigned char*>(OPENSSL_memdup(imprint.data(), imprint.size())),
                static_cast<long>(imprint.size()));
            if (store) {
                X509_STORE_up_ref(store);
                TS_VERIFY_CTX_set_store(ctx.get(), store);
                if (c.given) {
                    STACK_OF(X509)* certs = sk_X509_new_null();
                    sk_X509_push(certs, ossl::up_ref(c.tsa->cert.get()).release());
                    TS_VERIFY_CTX_set_certs(ctx.get(), certs);
                }
            }
            return ctx;
        };
        ossl::X509View given(sk_X509_new_null());
        if (c.given) sk_X509_push(given.get(), c.tsa->cert.get());
        ossl::X509StorePtr ours = store_with(c.store_flags), lib = store_with(c.store_flags);
        ossl::TsVerifyCtx our_ctx = context(nullptr), lib_ctx = context(lib.get());
        ERR_clear_error();
        const int rc = ssf::SSF_TS_RESP_verify_token(-1, our_ctx.get(), ours.get(),
                                                     test_pki::from_der(der).get(), given.get());
        const auto why = reason();
        EXPECT_EQ(rc, c.expect);
        EXPECT_EQ(rc, TS_RESP_verify_token(lib_ctx.get(), test_pki::from_der(der).get()));
        EXPECT_EQ(why, reason());
    }
}

TEST_F(AtTime, SignatureStepHandsOutTheTsaCertificate) {
    test_pki::TokenSpec spec;
    spec.tsa = &services().expired_tsa;
    spec.gen_time = services().expired_valid_at;
    ossl::X509StorePtr store = test_pki::new_store();
    X509* signer = nullptr;
    ASSERT_EQ(ssf::SSF_TS_RESP_verify_signature(spec.gen_time, test_pki::make_token(spec).get(),
                                                nullptr, store.get(), &signer),
              1);
    ossl::X509Ptr owned(signer);
    EXPECT_EQ(X509_cmp(signer, spec.tsa->cert.get()), 0);
}

TEST_F(AtTime, StatusInfoTexts) {
    const struct {
        const char* what;
        std::string status_info;  // PKIStatusInfo DER
        int expect;
        const char* data;
    } cases[] = {
        {"granted", "", 1, nullptr},
        {"rejection, badAlg and badRequest", "3007020102030205a0", 0,
         "status code: rejection, status text: unspecified, failure codes: badAlg,badRequest"},
        {"waiting with two texts",
         "300e0201033009"
         "0c026f6e"
         "0c03747764",
         0, "status code: waiting, status text: on/twd, failure codes: unspecified"},
        {"unknown status, systemFailure", "300a02010903050600000040", 0,
         "status code: unknown code, status text: unspecified, failure codes: systemFailure"},
    };
    test_pki::TokenSpec spec;
    spec.tsa = &tsa(KeyType::ec);
    const Der granted = test_pki::to_der(test_pki::make_ts_response(spec).get());
    for (const auto& c : cases) {
        // Only a granted response may carry, and must carry, a token.
        const Der resp =
            c.status_info.empty()
                ? granted
                : test_pki::hex("30" +
                                testing_support::to_hex(
                                    {static_cast<unsigned char>(c.status_info.size() / 2)}) +
                                c.status_info);
        const unsigned char* p = resp.data();
        ossl::TsResp r(d2i_TS_RESP(nullptr, &p, static_cast<long>(resp.size())));
        ASSERT_TRUE(r) << c.what;
        ERR_clear_error();
        EXPECT_EQ(ssf::SSF_TS_check_status_info(r.get()), c.expect) << c.what;
        const char* data = nullptr;
        int flags = 0;
        const unsigned long err = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
        if (c.data) {
            EXPECT_EQ(ERR_GET_REASON(err), TS_R_NO_TIME_STAMP_TOKEN) << c.what;
            EXPECT_STREQ((flags & ERR_TXT_STRING) ? data : "", c.data);
        } else {
            EXPECT_EQ(err, 0u) << c.what;
        }
    }
}

TEST_F(AtTime, ResponsesVerifyWithTheResponderChainCheckedAtTheGivenTime) {
    const time_t past = services().expired_valid_at;
    const time_t* now = nullptr;
    const struct {
        const char* what;
        const Entity* responder;
        bool by_key, with_certs, certs_given;
        time_t produced_at;
        const time_t* when;
        unsigned long flags;
        int expect;
    } cases[] = {
        {"RSA by name", &responder(KeyType::rsa), false, true, false, 0, now, 0, 1},
        {"EC by key", &responder(KeyType::ec), true, true, false, 0, now, 0, 1},
        {"GOST 256 by name", &responder(KeyType::gost256), false, true, false, 0, now, 0, 1},
        {"GOST 512 by key", &responder(KeyType::gost512), true, true, false, 0, now, 0, 1},
        {"no certificates, given", &responder(KeyType::ec), true, false, true, 0, now, 0, 1},
        {"no certificates anywhere", &responder(KeyType::ec), false, false, false, 0, now, 0, 0},
        {"expired responder at producedAt", &services().expired_responder, false, true, false, past,
         &past, 0, 1},
        {"expired responder now", &services().expired_responder, false, true, false, past, now, 0,
         0},
        {"no OCSPSigning usage", &pki->rsa_leaf, false, true, false, 0, now, 0, 0},
        {"no OCSPSigning usage, no checks", &pki->rsa_leaf, false, true, false, 0, now,
         OCSP_NOCHECKS, 1},
    };
    for (const auto& c : cases) {
        test_pki::OcspSpec spec;
        spec.responder = c.responder;
        spec.by_key = c.by_key;
        spec.with_certs = c.with_certs;
        spec.produced_at = c.produced_at;
        spec.singles.push_back({&pki->leaf, &pki->inter});
        ossl::OcspBasicResp bs = test_pki::make_basic(spec);
        std::vector<X509*> certs;
        if (c.certs_given) certs.push_back(c.responder->cert.get());
        EXPECT_EQ(verify_ocsp(bs.get(), c.when, certs, c.flags), c.expect) << c.what;
        // Worded as the time-stamp verifier words it.
        if (c.responder == &services().expired_responder && !c.when) {
            EXPECT_EQ(last_error, "Verify error:certificate has expired");
        }
    }
    // The digest CAdES references hold is that of the response's DER.
    test_pki::OcspSpec spec;
    spec.responder = &responder(KeyType::ec);
    ossl::OcspBasicResp bs = test_pki::make_basic(spec);
    const Der der = test_pki::to_der(bs.get());
    unsigned char want[EVP_MAX_MD_SIZE], got[EVP_MAX_MD_SIZE];
    unsigned int want_len = 0, got_len = 0;
    EVP_Digest(der.data(), der.size(), want, &want_len, EVP_sha256(), nullptr);
    ASSERT_EQ(ssf::OCSP_BASICRESP_digest(bs.get(), EVP_sha256(), got, &got_len), 1);
    EXPECT_EQ(Der(got, got + got_len), Der(want, want + want_len));
    EXPECT_EQ(ssf::OCSP_basic_verify_time(nullptr, nullptr, nullptr, nullptr, 0), -1);
    ERR_clear_error();
}

// The kit's tokens and responses satisfy the stock openssl command, and what that command
// issues satisfies our verifiers; a flipped signature byte fails.
class AtTimeInterop : public AtTime {
  protected:
    void SetUp() override {
        if (!testing_support::have_openssl()) GTEST_SKIP() << "no openssl command";
        AtTime::SetUp();
    }
};

TEST_F(AtTimeInterop, TokensBothWays) {
    dir.write("engine.cnf", testing_support::engine_config());
    for (KeyType k : {KeyType::rsa, KeyType::ec, KeyType::gost256}) {
        test_pki::TokenSpec spec;
        spec.tsa = &tsa(k);
        spec.ess_v2 = k != KeyType::rsa;
        dir.write("kit.tsr", [&] {
            const Der d = test_pki::to_der(test_pki::make_token(spec).get());
            return std::string(d.begin(), d.end());
        }());
        const auto r = run_openssl("ts -verify -token_in -in " + dir.file("kit.tsr") + " -digest " +
                                       testing_support::to_hex(test_pki::imprint_of(spec)) +
                                       " -CAfile " + pki->ca_bundle,
                                   true, dir.file("engine.cnf"));
        EXPECT_NE(r.out.find("Verification: OK"), std::string::npos)
            << test_pki::key_type_name(k) << ": " << r.out;
    }
    for (KeyType k : {KeyType::rsa, KeyType::ec}) {
        for (const char* ess : {"sha1", "sha256"}) {
            const std::string what = std::string(test_pki::key_type_name(k)) + " ESS " + ess;
            write_entity("tsa", tsa(k));
            dir.write("serial", "01\n");
            dir.write("data", "time-stamped data");
            dir.write("tsa.cnf", "[tsa]\ndefault_tsa = t\n[t]\nserial = " + dir.file("serial") +
                                     "\nsigner_cert = " + dir.file("tsa.pem") +
                                     "\nsigner_key = " + dir.file("tsa.key") +
                                     "\nsigner_digest = sha256\ndefault_policy = 1.2.3.4\n"
                                     "digests = sha256\ness_cert_id_alg = " +
                                     ess + "\n");
            ASSERT_EQ(run_openssl("ts -query -data " + dir.file("data") +
                                  " -sha256 -cert -no_nonce -out " + dir.file("q.tsq"))
                          .status,
                      0);
            const auto r =
                run_openssl("ts -reply -config " + dir.file("tsa.cnf") + " -queryfile " +
                                dir.file("q.tsq") + " -token_out -out " + dir.file("tok.der"),
                            true);
            ASSERT_EQ(r.status, 0) << what << ": " << r.out;
            const std::string tok = testing_support::read_file(dir.file("tok.der"));
            Der der(tok.begin(), tok.end());
            test_pki::TokenSpec spec;  // for its data and imprint
            EXPECT_EQ(verify_token(test_pki::from_der(der).get(), spec, -1), 1) << what;
            flip_last(der);
            EXPECT_EQ(verify_token(test_pki::from_der(der).get(), spec, -1), 0) << what;
        }
    }
}

TEST_F(AtTimeInterop, ResponsesBothWays) {
    dir.write("engine.cnf", testing_support::engine_config());
    const std::string conf = dir.file("engine.cnf");
    dir.write("leaf.pem", test_pki::pem_of(pki->leaf.cert.get()));
    dir.write("inter.pem", test_pki::pem_of(pki->inter.cert.get()));
    for (KeyType k : {KeyType::rsa, KeyType::ec, KeyType::gost256}) {
        for (bool by_key : {false, true}) {
            const std::string what =
                std::string(test_pki::key_type_name(k)) + (by_key ? " by key" : " by name");
            write_entity("resp", responder(k));
            test_pki::OcspSpec spec;
            spec.responder = &responder(k);
            spec.by_key = by_key;
            spec.singles.push_back({&pki->leaf, &pki->inter});
            const Der kit = test_pki::to_der(
                test_pki::make_ocsp_response(test_pki::make_basic(spec).get()).get());
            dir.write("kit.der", std::string(kit.begin(), kit.end()));
            auto r =
                run_openssl("ocsp -respin " + dir.file("kit.der") + " -CAfile " + pki->ca_bundle +
                                " -verify_other " + dir.file("resp.pem") + " -issuer " +
                                dir.file("inter.pem") + " -cert " + dir.file("leaf.pem"),
                            true, conf);
            EXPECT_NE(r.out.find("Response verify OK"), std::string::npos) << what << r.out;
            EXPECT_NE(r.out.find(": good"), std::string::npos) << what << r.out;

            dir.write("index.txt",
                      "V\t491231235959Z\t\t5678\tunknown\t/C=RU/O=Selvanor Test/"
                      "CN=Leaf One\n");
            ASSERT_EQ(
                run_openssl("ocsp -issuer " + dir.file("inter.pem") + " -cert " +
                                dir.file("leaf.pem") + " -no_nonce -reqout " + dir.file("req.der"),
                            false, conf)
                    .status,
                0);
            r = run_openssl("ocsp -index " + dir.file("index.txt") + " -rsigner " +
                                dir.file("resp.pem") + " -rkey " + dir.file("resp.key") + " -CA " +
                                dir.file("inter.pem") + " -reqin " + dir.file("req.der") +
                                " -respout " + dir.file("resp.der") + " -ndays 1" +
                                (by_key ? " -resp_key_id" : ""),
                            true, conf);
            ASSERT_EQ(r.status, 0) << what << r.out;
            const std::string resp = testing_support::read_file(dir.file("resp.der"));
            const unsigned char* p = reinterpret_cast<const unsigned char*>(resp.data());
            ossl::OcspResponse full(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(resp.size())));
            ASSERT_TRUE(full) << what;
            ossl::OcspBasicResp bs(OCSP_response_get1_basic(full.get()));
            ASSERT_TRUE(bs) << what;
            EXPECT_EQ(verify_ocsp(bs.get(), nullptr), 1) << what;
            Der der = test_pki::to_der(bs.get());
            flip_last(der);
            p = der.data();
            ossl::OcspBasicResp tampered(
                d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.size())));
            EXPECT_EQ(verify_ocsp(tampered.get(), nullptr), 0) << what;
        }
    }
}

}  // namespace
