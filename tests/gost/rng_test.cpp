// The random generator core. Its keystream and re-key schedule are checked against a model whose
// block cipher is libgcrypt's GOST 28147-89 with the TC26 Z table, with the fresh input made
// deterministic through the seam.
#include <gcrypt.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

#include "gost/gost28147_params.h"
#include "gost/gost_rng.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t g_fresh_counter = 0;
int counting_fresh_input(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = g_fresh_counter++;
    return 0;
}
int failing_fresh_input(uint8_t*, size_t) {
    return -1;
}
int rejecting_key_test(const uint8_t*) {
    return -8;
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The generator as described, over libgcrypt's block cipher.
class Model {
  public:
    Model() {
        EXPECT_EQ(gcry_cipher_open(&h_, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0), 0);
        EXPECT_EQ(
            gcry_cipher_ctl(h_, GCRYCTL_SET_SBOX, const_cast<char*>("1.2.643.7.1.2.5.1.1"), 0), 0);
    }
    ~Model() { gcry_cipher_close(h_); }

    void init(const uint8_t seed[40]) {
        budget_ = kTprngRekeyBudget;
        state_ = 1;
        seed_from(seed);
        derive();
        Bytes power_up(kTprngPowerUpBytes);
        for (int attempt = 0; attempt < 3; ++attempt) {
            generate(power_up.data(), power_up.size());
            if (TPRNG_StatTest(power_up.data(), power_up.size()) == 0) break;
        }
    }
    void generate(uint8_t* out, size_t n) {
        while (budget_ < n) {
            const size_t b = budget_;
            produce(out, b);
            out += b;
            n -= b;
            rekey();
        }
        produce(out, n);
        if (budget_ == 0) rekey();
    }
    uint32_t budget() const { return budget_; }

  private:
    void encrypt_counter(uint8_t out[8]) {
        uint8_t in[8];
        put_le32(in, n1_);
        put_le32(in + 4, n2_);
        EXPECT_EQ(gcry_cipher_encrypt(h_, out, 8, in, 8), 0);
    }
    void produce(uint8_t* out, size_t n) {
        uint8_t block[8];
        if (state_ == 1) {
            encrypt_counter(block);
            n1_ = le32(block);
            n2_ = le32(block + 4);
        }
        for (size_t done = 0; done < n; done += 8) {
            n1_ += 0x01010101u;
            const uint64_t sum = uint64_t(n2_) + 0x01010104u;
            n2_ = uint32_t(sum) + uint32_t(sum >> 32);
            encrypt_counter(block);
            std::memcpy(out + done, block, std::min<size_t>(8, n - done));
        }
        budget_ -= static_cast<uint32_t>(n);
        state_ = 3;
    }
    void seed_from(const uint8_t s[40]) {
        // The same sequence the seam gives the generator, counted separately.
        uint8_t x[40];
        for (auto& v : x) v = fresh_++;
        for (int i = 0; i < 40; ++i) x[i] ^= s[i];
        n1_ = le32(x);
        n2_ = le32(x + 4);
        EXPECT_EQ(gcry_cipher_setkey(h_, x + 8, 32), 0);
    }
    void derive() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            produce(next_.data(), 40);
            if (TPRNG_KeyTest(next_.data() + 8) == 0) return;
        }
        ADD_FAILURE() << "model key test failed three times";
    }
    void rekey() {
        const auto s = next_;
        seed_from(s.data());
        state_ = 1;
        budget_ = kTprngRekeyBudget;
        derive();
    }
    gcry_cipher_hd_t h_ = nullptr;
    uint32_t n1_ = 0, n2_ = 0, budget_ = 0, state_ = 0;
    uint8_t fresh_ = 0;
    std::array<uint8_t, 40> next_{};
};

class Rng : public ::testing::Test {
  protected:
    void SetUp() override {
        const TPRNG_SEAMS seams{counting_fresh_input, nullptr};
        TPRNG_SetSeams(&seams);
        for (int i = 0; i < 40; ++i) seed[i] = static_cast<uint8_t>(0xa0 + i);
    }
    void TearDown() override { TPRNG_SetSeams(nullptr); }
    uint8_t seed[40];
};

TEST_F(Rng, KeystreamAndRekeyScheduleMatchTheModel) {
    TPRNG_CTX ctx{};
    g_fresh_counter = 0;
    ASSERT_EQ(TPRNG_Init(&ctx, seed), 0);
    Model model;
    model.init(seed);
    ASSERT_EQ(ctx.budget, model.budget());
    // Byte by byte across the first re-key after start-up.
    for (uint32_t i = ctx.budget + 24; i > 0; --i) {
        uint8_t ours = 0, expected = 0;
        ASSERT_EQ(TPRNG_Generate(&ctx, &ours, 1), 0);
        model.generate(&expected, 1);
        ASSERT_EQ(ours, expected);
    }

    // Requests around the budget: exactly the remainder (re-keys at once), one more than the
    // remainder (re-keys in the middle), partial blocks, and several budgets in one call.
    auto draw = [&](uint32_t n) {
        Bytes ours(n), expected(n);
        ASSERT_EQ(TPRNG_Generate(&ctx, ours.data(), n), 0);
        model.generate(expected.data(), n);
        ASSERT_EQ(ours, expected) << "request of " << n;
        ASSERT_EQ(ctx.budget, model.budget());
    };
    for (int round = 0; round < 4; ++round) {
        for (uint32_t n : {5, 3, 8, 1}) draw(n);
        draw(ctx.budget);
        EXPECT_EQ(ctx.budget, kTprngRekeyBudget - 40) << "the exact remainder re-keys at once";
        draw(ctx.budget + 1);
        EXPECT_EQ(ctx.budget, kTprngRekeyBudget - 40 - 1)
            << "one byte over re-keys once, in the middle";
        draw(3 * kTprngRekeyBudget + 7);
    }
    TPRNG_Clear(&ctx);
}

TEST_F(Rng, ArgumentAndStateFailures) {
    TPRNG_CTX ctx{};
    uint8_t buf[8];
    EXPECT_EQ(TPRNG_Generate(nullptr, buf, 8), -1);
    EXPECT_EQ(TPRNG_Generate(&ctx, nullptr, 8), -1);
    EXPECT_EQ(TPRNG_Generate(&ctx, buf, 0), -1);
    EXPECT_EQ(TPRNG_Generate(&ctx, buf, 8), -2);
    EXPECT_EQ(TPRNG_Init(nullptr, seed), -1);
    EXPECT_EQ(TPRNG_Init(&ctx, nullptr), -1);

    const TPRNG_SEAMS no_fresh{failing_fresh_input, nullptr};
    TPRNG_SetSeams(&no_fresh);
    EXPECT_EQ(TPRNG_Init(&ctx, seed), -13);
    EXPECT_EQ(ctx.initialised, 0u);

    const TPRNG_SEAMS bad_keys{counting_fresh_input, rejecting_key_test};
    TPRNG_SetSeams(&bad_keys);
    EXPECT_EQ(TPRNG_Init(&ctx, seed), -7);
    EXPECT_EQ(TPRNG_Generate(&ctx, buf, 8), -2);
}

TEST_F(Rng, TablesByIndex) {
    const uint8_t cryptopro_a[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x01};
    const GOST28147_89_PARAMS* row = nullptr;
    ASSERT_EQ(GOST28147_89_FindParByDerOid(cryptopro_a, sizeof cryptopro_a, &row), 0);
    EXPECT_EQ(TPRNG_TZ_by_id(1), row->tz);
    EXPECT_EQ(TPRNG_TZ_by_id(5), GOST28147_89_DefaultPar()->tz);
    testing::internal::CaptureStderr();
    EXPECT_EQ(TPRNG_TZ_by_id(6), nullptr);
    EXPECT_EQ(TPRNG_TZ_by_id(-1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "TPRNG_TZ_by_id: index out of range\nTPRNG_TZ_by_id: index out of range\n");
}

// 0x33 bytes: 128 ones and 128 transitions, zero runs of two.
std::array<uint8_t, 32> base_block() {
    std::array<uint8_t, 32> b;
    b.fill(0x33);
    return b;
}

TEST(RngKeyTest, ThresholdsAreInclusive) {
    auto b = base_block();
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0);
    // Seven separated 0x00 bytes: 100 ones, 100 transitions.
    for (int i = 0; i < 14; i += 2) b[i] = 0x00;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0);
    b[20] = 0x13;  // 99 ones
    EXPECT_EQ(TPRNG_KeyTest(b.data()), -8);

    // Seven separated 0xff bytes: 156 ones and 100 transitions; an eighth gives 160 ones.
    b = base_block();
    for (int i = 1; i < 15; i += 2) b[i] = 0xff;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0);
    b[15] = 0xff;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), -8);

    // 0x55 bytes add four transitions each: seven reach 156, eight 160.
    b = base_block();
    for (int i = 0; i < 7; ++i) b[i] = 0x55;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0);
    b[7] = 0x55;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), -9);
}

TEST(RngKeyTest, LongestClosedZeroRun) {
    // Read most significant bit first: 0x33 ends in a one, 0xcc starts with one.
    auto b = base_block();
    b[10] = b[11] = b[12] = 0x00;
    b[13] = 0xcc;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0) << "exactly 24 zeros";
    b[9] = 0x32;  // its last bit joins the run: 25
    EXPECT_EQ(TPRNG_KeyTest(b.data()), -11);
    // A run that reaches the end of the block is not counted.
    b = base_block();
    b[28] = b[29] = b[30] = b[31] = 0x00;
    EXPECT_EQ(TPRNG_KeyTest(b.data()), 0);
}

TEST(RngStatTest, EachCheckCanFail) {
    Bytes zeros(kTprngPowerUpBytes, 0);
    EXPECT_EQ(TPRNG_StatTest(zeros.data(), zeros.size()), -8);
    Bytes alternating(kTprngPowerUpBytes, 0x55);
    EXPECT_EQ(TPRNG_StatTest(alternating.data(), alternating.size()), -9);
    Bytes repeated(kTprngPowerUpBytes, 0x33);  // ones and transitions fine, neighbours equal
    EXPECT_EQ(TPRNG_StatTest(repeated.data(), repeated.size()), -10);
    Bytes noise(kTprngPowerUpBytes);
    gcry_randomize(noise.data(), noise.size(), GCRY_STRONG_RANDOM);
    EXPECT_EQ(TPRNG_StatTest(noise.data(), noise.size()), 0);
}

TEST(RngFork, ChildDrawsFromItsOwnKey) {
    TPRNG_CTX ctx{};
    const uint8_t seed[40] = {};
    ASSERT_EQ(TPRNG_Init(&ctx, seed), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint8_t out[32];
        const int rc = TPRNG_Generate(&ctx, out, sizeof out);
        const bool sent =
            rc == 0 && write(fds[1], out, sizeof out) == static_cast<ssize_t>(sizeof out);
        _exit(sent ? 0 : 1);
    }
    uint8_t parent[32], from_child[32];
    ASSERT_EQ(TPRNG_Generate(&ctx, parent, sizeof parent), 0);
    ASSERT_EQ(read(fds[0], from_child, sizeof from_child), static_cast<ssize_t>(sizeof from_child));
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(std::memcmp(parent, from_child, sizeof parent), 0);
    TPRNG_Clear(&ctx);
}

}  // namespace
