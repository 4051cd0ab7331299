// The "gost" engine object: binding, settings, commands and selectors.
#include "engines/gost/gost_engine.h"

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include <cstring>
#include <string>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"

using objmap::Obj;

namespace {

class GostEngine : public engine_tests::EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        e.reset(ENGINE_new());
        ASSERT_EQ(bind_gost(e.get(), nullptr), 1);
        ctx = tvk_gost_settings(e.get());
        ASSERT_NE(ctx, nullptr);
    }
    int cmd(const char* name, const char* value) {
        return keep(engine_tests::captured(
            [&] { return ENGINE_ctrl_cmd_string(e.get(), name, value, 0); }));
    }
    int ctrl(int number, const char* value) {
        return keep(engine_tests::captured(
            [&] { return ENGINE_ctrl(e.get(), number, 0, const_cast<char*>(value), nullptr); }));
    }
    int keep(const engine_tests::Result& r) {
        err = r.second;
        return r.first;
    }
    ossl::Engine e;
    TVK2012_ENGINE_CTX* ctx = nullptr;
    std::string err;
};

// The identifier is case-sensitive; the engine loaded at start-up is the digest default, and
// a second start-up adds no engine.
TEST_F(GostEngine, BindingAndStartUp) {
    ossl::Engine other(ENGINE_new());
    EXPECT_EQ(bind_gost(other.get(), "GOST"), 0);
    EXPECT_EQ(ENGINE_get_id(other.get()), nullptr);
    EXPECT_EQ(bind_gost(other.get(), "gost"), 1);
    EXPECT_EQ(ENGINE_init(e.get()), 1);
    EXPECT_EQ(ENGINE_finish(e.get()), 1);

    ossl::Engine digest_engine(ENGINE_get_digest_engine(objmap::nid(Obj::md_gost12_256)));
    ASSERT_TRUE(digest_engine);
    EXPECT_STREQ(ENGINE_get_id(digest_engine.get()), "gost");
    ENGINE_finish(digest_engine.release());
    EXPECT_NE(tvk_gost_loaded_settings(), nullptr);

    auto count = [] {
        int n = 0;
        for (ENGINE* it = ENGINE_get_first(); it != nullptr; it = ENGINE_get_next(it)) ++n;
        return n;
    };
    const int before = count();
    tvk_ENGINE_load_builtin_engines();
    EXPECT_EQ(count(), before);
}

// The setting commands in turn on one engine: each one's result, its error line, and the setting
// it touches afterwards (a refused command leaves it as it was). Dotted identifiers count as
// names; an identifier longer than the field holds is refused.
TEST_F(GostEngine, SettingCommands) {
    static const int long_oid =
        OBJ_create("1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16", "test-long-oid", "test long oid");
    ASSERT_NE(long_oid, NID_undef);
    using C = TVK2012_ENGINE_CTX;
    const int cpa = objmap::nid(Obj::Gost28147_89_CryptoPro_A_ParamSet);
    const int xcha = objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet);
    const int hmac512 = objmap::nid(Obj::hmac_gost_3411_2012_512);
    const struct {
        const char *name, *value;
        int rc;
        std::string err;
        int32_t C::*field;
        int want;
    } cases[] = {
        {"PARAMS_GOST28147", "id-Gost28147-89-CryptoPro-A-ParamSet", 1, "", &C::cipher_param_nid,
         cpa},
        {"PARAMS_GOST28147", "no-such-set", 0, "Invalid PARAMS_GOST28147: no-such-set\n",
         &C::cipher_param_nid, cpa},
        {"PARAMS_GOST28147", "test-long-oid", 0,
         "Can't build ASN1_OBJECT from PARAMS_GOST28147: test-long-oid\n", &C::cipher_param_nid,
         cpa},
        {"PBE_PRF_HMAC", "id-tc26-hmac-gost-3411-2012-512", 1, "", &C::pbe_prf_nid, hmac512},
        {"PBE_PRF_HMAC", "id-tc26-hmac-gost-3411-2012-256", 0,
         "Unsupported PBE_PRF_HMAC: id-tc26-hmac-gost-3411-2012-256\n", &C::pbe_prf_nid, hmac512},
        {"PBE_PRF_HMAC", "bogus", 0, "Invalid PBE_PRF_HMAC: bogus\n", &C::pbe_prf_nid, hmac512},
        {"PBE_PRF_HMAC", "id-HMACGostR3411-94", 1, "", &C::pbe_prf_nid,
         objmap::nid(Obj::id_HMACGostR3411_94)},
        {"PARAMS_GOST2001", "id-GostR3410-2001-CryptoPro-XchA-ParamSet", 1, "", &C::key_params_2001,
         xcha},
        {"PARAMS_GOST2001", "id-tc26-gost-3410-2012-256-paramSetA", 0,
         "Unsupported PARAMS_GOST2001/2012_256: id-tc26-gost-3410-2012-256-paramSetA\n",
         &C::key_params_2001, xcha},
        {"PARAMS_GOST2001", "unknown-set", 0, "Unknown PARAMS_GOST2001/2012_256: unknown-set\n",
         &C::key_params_2001, xcha},
        {"PARAMS_GOST2012_256", "id-GostR3410-2001-TestParamSet", 1, "", &C::key_params_2012_256,
         objmap::nid(Obj::GostR3410_2001_TestParamSet)},
        {"PARAMS_GOST2012_512", "id-tc26-gost-3410-2012-512-paramSetC", 0,
         "Unsupported PARAMS_GOST2012_512: id-tc26-gost-3410-2012-512-paramSetC\n",
         &C::key_params_2012_512, 0},
        {"PARAMS_GOST2012_512", "id-tc26-gost-3410-2012-512-paramSetB", 1, "",
         &C::key_params_2012_512, objmap::nid(Obj::gost_3410_2012_512_paramSetB)},
        {"PARAMS_GOST2012_512", "nope", 0, "Unknown PARAMS_GOST2012_512: nope\n",
         &C::key_params_2012_512, objmap::nid(Obj::gost_3410_2012_512_paramSetB)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.value);
        EXPECT_EQ(cmd(c.name, c.value), c.rc);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(ctx->*c.field, c.want);
    }
    EXPECT_EQ(ctx->key_params_2001, xcha) << "the 2012-256 command left the 2001 setting alone";
    // The shorter identifier leaves the default's last two bytes; readers take length + 2 bytes.
    const uint8_t expected[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F,
                                0x01, 0x01, 0x01, 0,    0,    0,    0,    0};
    EXPECT_EQ(std::memcmp(ctx->cipher_param_oid, expected, sizeof expected), 0);
    EXPECT_EQ(cmd("PARAMS_GOST28147", "1.2.643.7.1.2.5.1.1"), 1);
    EXPECT_EQ(ctx->cipher_param_nid, objmap::nid(Obj::gost_28147_param_Z));
    EXPECT_EQ(ctrl(kGostCmdPbePrfHmac, nullptr), 0);
    EXPECT_EQ(err, "Can't build PBE_PRF_HMAC ASN1_OBJECT from NULL\n");
}

TEST_F(GostEngine, CommandNumbersOutsideTheTable) {
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE - 1, "x"), kCtrlCommandNotImplemented);
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE + 6, "x"), kCtrlCommandNotImplemented);
    EXPECT_EQ(err, "");
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE + 5, "anything"), 1);
    EXPECT_EQ(ctrl(kGostCmdParamsGost2001, nullptr), 1);
    EXPECT_EQ(ctx->key_params_2001, 0);
}

TEST_F(GostEngine, SelectorsListWhatIsBuiltAndRefuseTheRest) {
    const int* nids = nullptr;
    const int n = tvk_gost_digests(e.get(), nullptr, &nids, 0);
    ASSERT_EQ(n, static_cast<int>(tvk_gost_digest_registry().size()));
    for (int i = 0; i < n; ++i) {
        const EVP_MD* md = nullptr;
        EXPECT_EQ(tvk_gost_digests(e.get(), &md, nullptr, nids[i]), 1);
        ASSERT_NE(md, nullptr);
        EXPECT_EQ(EVP_MD_get_type(md), nids[i]);
    }
    const EVP_MD* md = reinterpret_cast<const EVP_MD*>(1);
    EXPECT_EQ(tvk_gost_digests(e.get(), &md, nullptr, objmap::nid(Obj::gost94)), 0);
    EXPECT_EQ(md, nullptr);
    EXPECT_EQ(tvk_gost_ciphers(e.get(), nullptr, &nids, 0),
              static_cast<int>(tvk_gost_cipher_registry().size()));
    // Both key lists name the key types first, then the agreement types, then the MACs.
    std::vector<int> keys;
    for (Obj o : {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512, Obj::gost_mac,
                  Obj::id_GostR3410_2001DH, Obj::agreement_gost_3410_2012_256,
                  Obj::agreement_gost_3410_2012_512, Obj::kuznechik_mac, Obj::magma_mac})
        keys.push_back(objmap::nid(o));
    int count = tvk_gost_pkey_meths(e.get(), nullptr, &nids, 0);
    EXPECT_EQ(std::vector<int>(nids, nids + count), keys);
    count = tvk_gost_pkey_asn1_meths(e.get(), nullptr, &nids, 0);
    EXPECT_EQ(std::vector<int>(nids, nids + count), keys);
}

TEST_F(GostEngine, MissingSettingsAreReported) {
    ossl::Engine bare(ENGINE_new());
    testing::internal::CaptureStderr();
    EXPECT_EQ(tvk_gost_engine_init(bare.get()), 0);
    EXPECT_EQ(tvk_gost_ctrl(bare.get(), kGostCmdParamsGost2001, 0, nullptr, nullptr), 0);
    EXPECT_EQ(tvk_gost_engine_destroy(bare.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ENGINE_get_ex_data failed\nENGINE_get_ex_data failed\nENGINE_get_ex_data failed\n");
}

}  // namespace
