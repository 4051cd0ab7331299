// The "rand" engine as the process's random method.
#include "engines/rand/rand_engine.h"

#include <gtest/gtest.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "gost/gost_rng.h"

namespace {

int no_fresh_input(uint8_t*, size_t) {
    return -1;
}

class RandEngine : public engine_tests::EngineTest {
  protected:
    void TearDown() override { TPRNG_SetSeams(nullptr); }
    static int ctrl(int cmd, const char* value) {
        ossl::Engine e(ENGINE_by_id("rand"));
        EXPECT_TRUE(e);
        return e ? ENGINE_ctrl(e.get(), cmd, 0, const_cast<char*>(value), nullptr) : -1;
    }
};

// Installed as the process's method; its SEED command takes any text silently, and numbers
// outside its table are refused with the crypto library's "not implemented" (119).
TEST_F(RandEngine, IsTheProcessRandomMethodAndTakesItsCommands) {
    EXPECT_EQ(RAND_get_rand_method(), tvk_rand_method());
    EXPECT_EQ(RAND_status(), 1);
    unsigned char a[64] = {}, b[64] = {};
    ASSERT_EQ(RAND_bytes(a, sizeof a), 1);
    ASSERT_EQ(RAND_priv_bytes(b, sizeof b), 1);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(RAND_bytes(a, 0), 1);

    EXPECT_EQ(engine_tests::captured(
                  [] { return ctrl(kRandCmdSeed, "any text") + ctrl(kRandCmdSeed, nullptr); }),
              engine_tests::Result(2, ""));
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE + 1, nullptr), 1);
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE + 2, nullptr), 119);
    EXPECT_EQ(ctrl(ENGINE_CMD_BASE - 1, nullptr), 119);
    EXPECT_EQ(ERR_peek_error(), 0u);
    ossl::Engine e(ENGINE_by_id("rand"));
    EXPECT_EQ(ENGINE_ctrl_cmd_string(e.get(), "SEED", "x", 0), 1);
    EXPECT_EQ(RAND_bytes(a, 16), 1);
}

TEST_F(RandEngine, AddedBytesLandOnTheSpreadPositions) {
    tvk_rand_method()->cleanup();  // resets the position to 0, keeps the pool
    uint8_t before[kRandPoolSize], after[kRandPoolSize];
    uint32_t position = 99;
    tvk_rand_pool_snapshot(before, &position);
    ASSERT_EQ(position, 0u);
    const unsigned char added[5] = {0x01, 0x02, 0x04, 0x08, 0x10};
    RAND_add(added, sizeof added, 5.0);
    tvk_rand_pool_snapshot(after, &position);
    EXPECT_EQ(position, 10u);
    const size_t touched[5] = {0, 1, 3, 6, 10};
    for (size_t i = 0; i < kRandPoolSize; ++i) {
        uint8_t expected = before[i];
        for (int k = 0; k < 5; ++k)
            if (touched[k] == i) expected ^= added[k];
        EXPECT_EQ(after[i], expected) << "pool index " << i;
    }
    // Seeding is adding.
    RAND_seed(added, 1);
    tvk_rand_pool_snapshot(before, &position);
    EXPECT_EQ(before[10], after[10] ^ 0x01);
    // After the cleanup above the next draw started the generator again.
    EXPECT_EQ(RAND_status(), 1);
    unsigned char out[32];
    EXPECT_EQ(RAND_bytes(out, sizeof out), 1);
}

// A generator that cannot start fails the draw with a clear result; the process lives on and
// the next draw tries again.
TEST_F(RandEngine, FailedStartFailsTheDrawNotTheProcess) {
    const TPRNG_SEAMS broken{no_fresh_input, nullptr};
    TPRNG_SetSeams(&broken);
    tvk_rand_method()->cleanup();
    ERR_clear_error();
    unsigned char out[16];
    std::memset(out, 0xaa, sizeof out);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RAND_bytes(out, sizeof out), 0);
    EXPECT_EQ(RAND_status(), 0);
    EXPECT_EQ(ctrl(kRandCmdSeed, "x"), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("\n######## RNG_INIT = -13\n", 0), 0u) << err;
    for (unsigned char c : out) EXPECT_EQ(c, 0);
    const unsigned long e = ERR_peek_error();
    EXPECT_EQ(ERR_GET_LIB(e), objmap::err::library());
    EXPECT_EQ(ERR_GET_REASON(e), objmap::err::kPrngInit);
    ERR_clear_error();

    TPRNG_SetSeams(nullptr);
    EXPECT_EQ(RAND_bytes(out, sizeof out), 1);
    EXPECT_EQ(RAND_status(), 1);
}

// Run under ThreadSanitizer by scripts/tsan.sh; here it checks that no draw fails or repeats.
TEST_F(RandEngine, EightThreadsDrawConcurrently) {
    constexpr int kThreads = 8, kDraws = 200;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kDraws; ++i) {
                unsigned char buf[24];
                if (RAND_bytes(buf, sizeof buf) != 1) ++failures[t];
                if (i % 50 == 0) RAND_add(buf, 4, 0);
                results[t].emplace_back(reinterpret_cast<char*>(buf), sizeof buf);
            }
        });
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0);
        all.insert(results[t].begin(), results[t].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kDraws));
}

}  // namespace
