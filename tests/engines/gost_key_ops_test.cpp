// The key operations method: parameter-set strings, key generation, sign/verify through EVP,
// controls, and the MAC key contexts.
#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "gost/gostr3413.h"

namespace {

using objmap::Obj;
using Ctx = engine_tests::PKeyCtx;

using GostKeyOps = engine_tests::EngineTest;
using engine_tests::generate;

Ctx keygen_ctx(Obj type) {
    Ctx ctx(EVP_PKEY_CTX_new_id(objmap::nid(type), nullptr));
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx.get()), 1);
    return ctx;
}

int32_t chosen_set(EVP_PKEY_CTX* ctx) {
    return static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx))->param_nid;
}

// Result of "paramset" and, on success, the set it chose; with the standard error text.
struct Choice {
    int rc;
    int nid;
    std::string err;
};

Choice paramset(Obj type, const char* value) {
    Ctx ctx = keygen_ctx(type);
    testing::internal::CaptureStderr();
    const int rc = EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", value);
    return {rc, chosen_set(ctx.get()), testing::internal::GetCapturedStderr()};
}

TEST_F(GostKeyOps, ParamsetStringsFollowTheMethodsKeySize) {
    const int none = NID_undef;
    struct {
        Obj type;
        const char* value;
        int rc;
        int nid;
        const char* err;
    } cases[] = {
        {Obj::gost2012_256, "b", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_B_ParamSet), ""},
        {Obj::gost2001, "0", 1, objmap::nid(Obj::GostR3410_2001_TestParamSet), ""},
        {Obj::gost2012_256, "xb", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_XchB_ParamSet), ""},
        {Obj::gost2012_256, "XA", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet), ""},
        {Obj::gost2012_256, "D", 0, none, ""},
        {Obj::gost2012_256, "XC", 0, none, ""},
        {Obj::gost2012_256, "no-such-set", 0, none, ""},
        {Obj::gost2012_256, "id-GostR3410-2001-CryptoPro-A-ParamSet", 1,
         objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet), ""},
        {Obj::gost2012_256, "id-tc26-gost-3410-2012-256-paramSetD", 1,
         objmap::nid(Obj::gost_3410_2012_256_paramSetD), ""},
        {Obj::gost2012_256, "id-tc26-gost-3410-2012-512-paramSetA", 0, none,
         "pkey_tvk_ctrl_gost2012_str: invalid parameter set\n"},
        {Obj::gost2012_512, "C", 0, none, ""},
        {Obj::gost2012_512, "a", 1, objmap::nid(Obj::gost_3410_2012_512_paramSetA), ""},
        {Obj::gost2012_512, "id-tc26-gost-3410-2012-512-paramSetC", 1,
         objmap::nid(Obj::gost_3410_2012_512_paramSetC), ""},
        {Obj::gost2012_512, "1.2.643.2.2.35.1", 0, none,
         "pkey_tvk_ctrl_gost2012_str: invalid parameter set\n"},
    };
    for (const auto& c : cases) {
        const Choice got = paramset(c.type, c.value);
        EXPECT_EQ(got.rc, c.rc) << c.value;
        EXPECT_EQ(got.nid, c.nid) << c.value;
        EXPECT_EQ(got.err, c.err) << c.value;
    }
    Ctx ctx = keygen_ctx(Obj::gost2012_256);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "other", "A"), -2);
}

TEST_F(GostKeyOps, KeyGenerationNeedsAParameterSet) {
    Ctx ctx = keygen_ctx(Obj::gost2012_256);
    EVP_PKEY* raw = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_LE(EVP_PKEY_keygen(ctx.get(), &raw), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pkey_gost2012_paramgen: No parameters set\npkey_gost2012_paramgen failed\n");
    EXPECT_EQ(raw, nullptr);

    // The engine's default for the type fills in.
    ossl::Engine e(ENGINE_by_id("gost"));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(ENGINE_ctrl_cmd_string(e.get(), "PARAMS_GOST2012_256",
                                     "id-GostR3410-2001-CryptoPro-XchA-ParamSet", 0),
              1);
    Ctx again = keygen_ctx(Obj::gost2012_256);
    ASSERT_EQ(EVP_PKEY_keygen(again.get(), &raw), 1);
    ossl::PKey key(raw);
    EXPECT_EQ(gost2012_record(key.get())->param_nid,
              objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet));
    EXPECT_EQ(gost2012_record(key.get())->has_private_key, 1);
    tvk_gost_loaded_settings()->key_params_2012_256 = NID_undef;
}

TEST_F(GostKeyOps, SignAnswersLengthQueriesAndChecksTheBuffer) {
    for (Obj type : {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512}) {
        ossl::PKey key = generate(type, type == Obj::gost2012_512 ? "B" : "C");
        ASSERT_NE(key, nullptr);
        const size_t want = type == Obj::gost2012_512 ? 128 : 64;
        Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
        unsigned char digest[64] = {1, 2, 3}, sig[128];
        size_t len = 0;
        ASSERT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest, want / 2), 1);
        EXPECT_EQ(len, want);
        len = want - 1;
        EXPECT_LE(EVP_PKEY_sign(ctx.get(), sig, &len, digest, want / 2), 0);
        len = sizeof sig;
        ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig, &len, digest, want / 2), 1);
        EXPECT_EQ(len, want);

        Ctx vctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_verify_init(vctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_verify(vctx.get(), sig, want, digest, want / 2), 1);
        EXPECT_LE(EVP_PKEY_verify(vctx.get(), sig, want + 1, digest, want / 2), 0);
        testing::internal::CaptureStderr();
        sig[0] ^= 0x80;
        EXPECT_LE(EVP_PKEY_verify(vctx.get(), sig, want, digest, want / 2), 0);
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(GostKeyOps, ControlsStoreWhatTheyAreGiven) {
    ossl::PKey key = generate(Obj::gost2012_256, "A");
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    auto* data = static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx.get()));
    EXPECT_EQ(data->key_type, objmap::nid(Obj::gost2012_256));
    EXPECT_EQ(data->param_nid, objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet));

    EXPECT_LE(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()), 0);
    EXPECT_EQ(data->md, nullptr);
    const EVP_MD* md = EVP_get_digestbynid(objmap::nid(Obj::md_gost12_256));
    EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(ctx.get(), md), 1);
    EXPECT_EQ(data->md, md);

    unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8, ukm), 1);
    ASSERT_NE(data->ukm, nullptr);
    EXPECT_EQ(data->ukm_len, 8u);
    EXPECT_NE(data->ukm, ukm);
    unsigned char big[GOST_MAX_UKM_LEN + 1] = {};
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, sizeof big, big), 0);
    EXPECT_EQ(data->ukm_len, 8u);

    EXPECT_EQ(
        EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_GOST_CIPHER_PARAMSET, 1234, nullptr), 1);
    EXPECT_EQ(data->cipher_param_nid, 1234);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 2, nullptr), 0);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 3, nullptr), 1);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 2, nullptr), 1);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_ALG_CTRL + 77, 0, nullptr), -2);

    // A duplicate keeps the settings but not the keying material.
    Ctx dup(EVP_PKEY_CTX_dup(ctx.get()));
    ASSERT_NE(dup, nullptr);
    auto* copy = static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(dup.get()));
    EXPECT_EQ(copy->ukm, nullptr);
    EXPECT_EQ(copy->md, md);
    EXPECT_EQ(copy->cipher_param_nid, 1234);
    EXPECT_EQ(copy->peer_key_used, 1);
}

TEST_F(GostKeyOps, AgreementMethodsIgnoreParamsetAndRefuseMacKeys) {
    Ctx ctx(EVP_PKEY_CTX_new_id(objmap::nid(Obj::agreement_gost_3410_2012_256), nullptr));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A"), 1);
    EXPECT_EQ(static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx.get()))->param_nid, NID_undef);
}

TEST_F(GostKeyOps, MacKeysComeFromTheKeyStrings) {
    for (Obj type : {Obj::gost_mac, Obj::kuznechik_mac, Obj::magma_mac}) {
        Ctx ctx = keygen_ctx(type);
        EVP_PKEY* raw = nullptr;
        testing::internal::CaptureStderr();
        EXPECT_LE(EVP_PKEY_keygen(ctx.get(), &raw), 0);
        EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "key", std::string(31, 'k').c_str()), 0);
        EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "hexkey", "0011"), 0);
        unsigned char short_key[16] = {};
        EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_MAC_KEY, 16, short_key),
                  0);
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string own = type == Obj::magma_mac       ? "pkey_tvk_magma_mac_ctrl"
                                : type == Obj::kuznechik_mac ? "pkey_tvk_kuznechik_mac_ctrl"
                                                             : "pkey_tvk_mac_ctrl";
        // The "key" string of the Kuznyechik method goes through the 28147 one.
        const std::string key_str = type == Obj::kuznechik_mac ? "pkey_tvk_mac_ctrl" : own;
        EXPECT_EQ(err, "pkey_tvk_mac_keygen: key not set\n" + key_str +
                           "_str: invalid key string length = 31\n" + own +
                           "_str: invalid key string length = 2\n" + own +
                           ": wrong key length = 16\n");

        const std::string hex(64, 'a');
        ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "hexkey", hex.c_str()), 1);
        ASSERT_EQ(EVP_PKEY_keygen(ctx.get(), &raw), 1);
        ossl::PKey key(raw);
        EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), objmap::nid(type));
        EXPECT_EQ(std::string(static_cast<const char*>(EVP_PKEY_get0(key.get())), 32),
                  std::string(32, '\xaa'));
        int md = 0;
        EXPECT_EQ(EVP_PKEY_get_default_digest_nid(key.get(), &md), 2);
        EXPECT_EQ(md, objmap::nid(type));

        // A duplicated context carries the key with it.
        Ctx ctx2(EVP_PKEY_CTX_new_id(objmap::nid(type), nullptr));
        ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(ctx2.get(), "key", std::string(32, 'z').c_str()), 1);
        Ctx dup(EVP_PKEY_CTX_dup(ctx2.get()));
        ASSERT_NE(dup, nullptr);
        ASSERT_EQ(EVP_PKEY_keygen_init(dup.get()), 1);
        raw = nullptr;
        ASSERT_EQ(EVP_PKEY_keygen(dup.get(), &raw), 1);
        ossl::PKey key2(raw);
        EXPECT_EQ(std::string(static_cast<const char*>(EVP_PKEY_get0(key2.get())), 32),
                  std::string(32, 'z'));
    }
}

TEST_F(GostKeyOps, MacKeyReachesTheDigestThroughDigestSign) {
    // The engine's own magma-mac digest, keyed through the MAC key: its tag must equal the
    // library's MAC under the same key.
    const EVP_MD* md = EVP_get_digestbynid(objmap::nid(Obj::magma_mac));
    ASSERT_NE(md, nullptr);
    const std::vector<uint8_t> mac_key(32, 0x55);

    Ctx kctx = keygen_ctx(Obj::magma_mac);
    ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(kctx.get(), "hexkey", std::string(64, '5').c_str()), 1);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen(kctx.get(), &raw), 1);
    ossl::PKey key(raw);

    const unsigned char msg[] = {1, 2, 3};
    ossl::MdCtx s(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit(s.get(), nullptr, md, nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestSignUpdate(s.get(), msg, sizeof msg), 1);
    size_t len = 0;
    ASSERT_EQ(EVP_DigestSignFinal(s.get(), nullptr, &len), 1);
    EXPECT_EQ(len, 8u);  // what the magma method announces
    unsigned char mac[8] = {};
    len = sizeof mac;
    ASSERT_EQ(EVP_DigestSignFinal(s.get(), mac, &len), 1);
    EXPECT_EQ(len, 4u);
    tvk_magma_mac_ctx ref{};
    uint8_t want[8] = {};
    ASSERT_EQ(tvk_magma_mac_init(&ref, mac_key.data(), 4), 0);
    ASSERT_EQ(tvk_magma_mac_update(&ref, msg, sizeof msg), 0);
    ASSERT_EQ(tvk_magma_mac_final(&ref, want), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mac), 4),
              std::string(reinterpret_cast<char*>(want), 4));
    len = 3;
    EXPECT_LE(EVP_DigestSignFinal(s.get(), mac, &len), 0);  // no room for the tag

    ossl::MdCtx v(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(v.get(), nullptr, md, nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestVerifyUpdate(v.get(), msg, sizeof msg), 1);
    EXPECT_EQ(EVP_DigestVerifyFinal(v.get(), mac, 4), 1);
    ossl::MdCtx v2(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(v2.get(), nullptr, md, nullptr, key.get()), 1);
    EXPECT_LE(EVP_DigestVerifyFinal(v2.get(), mac, 4), 0);  // other data, other tag

    // A digest of another MAC is refused by the method.
    ossl::Owner<EVP_MD, EVP_MD_meth_free> other(
        EVP_MD_meth_new(objmap::nid(Obj::gost_mac), NID_undef));
    EVP_MD_meth_set_result_size(other.get(), 4);
    ossl::MdCtx bad(EVP_MD_CTX_new());
    testing::internal::CaptureStderr();
    EXPECT_LE(EVP_DigestSignInit(bad.get(), nullptr, other.get(), nullptr, key.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pkey_tvk_magma_mac_ctrl: EVP_PKEY_CTRL_MD invalid digest type\n");
}

}  // namespace
