#include "gost/gostr3411_2012.h"

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <nettle/hmac.h>
#include <nettle/streebog.h>

#include <algorithm>
#include <cstring>

#include "cipher_test_util.h"
#include "gost/gostr3411_2012_tables.h"
#include "gost/kuznyechik.h"

using gost_test::random_bytes;
using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorFile;

namespace {

Bytes digest(uint32_t size, const Bytes& msg) {
    Bytes out(size);
    EXPECT_EQ(GOSTR3411_2012_Transform(size, msg.data(), uint32_t(msg.size()), out.data()), 0);
    return out;
}

struct Streebog {
    uint32_t size;
    void init(GOSTR3411_2012_CTX& c) const { EXPECT_EQ(GOSTR3411_2012_Init(&c, size), 0); }
    void update(GOSTR3411_2012_CTX& c, const uint8_t* p, size_t n) const {
        EXPECT_EQ(GOSTR3411_2012_Update(&c, p, uint32_t(n)), 0);
    }
    Bytes final(GOSTR3411_2012_CTX& c) const {
        Bytes out(size);
        EXPECT_EQ(GOSTR3411_2012_Final(&c, out.data()), 0);
        return out;
    }
    Bytes oneshot(const Bytes& m) const { return digest(size, m); }
};

Bytes gcrypt_digest(int algo, const Bytes& msg) {
    Bytes out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), msg.data(), msg.size());
    return out;
}

Bytes nettle_digest(uint32_t size, const Bytes& msg) {
    Bytes out(size);
    streebog512_ctx ctx;
    (size == 32 ? streebog256_init : streebog512_init)(&ctx);
    streebog512_update(&ctx, msg.size(), msg.data());  // the 256-bit update is the same
    (size == 32 ? streebog256_digest : streebog512_digest)(&ctx, size, out.data());
    return out;
}

}  // namespace

// The vectors and the peers run through each form of the compression; a form the processor
// lacks is reported as skipped.
class StreebogForm : public ::testing::TestWithParam<gost::streebog::Form> {};

TEST_P(StreebogForm, VectorsAndPeers) {
    // The form chosen at start-up comes back whatever happens here.
    struct Restore {
        gost::streebog::Form chosen = gost::streebog::form_in_use();
        ~Restore() { gost::streebog::use_form(chosen); }
    } restore;
    if (!gost::streebog::use_form(GetParam())) GTEST_SKIP() << "the processor lacks this form";
    const size_t n = VectorFile("streebog.txt").each([](const auto& b) {
        SCOPED_TRACE(b.text("name"));
        const uint32_t size = b.text("alg") == "streebog256" ? 32 : 64;
        Bytes msg;
        if (b.has("msg")) {
            msg = b.hex("msg");
        } else {
            msg.resize(b.number("msg_len"));
            const bool counter = b.text("msg_fill") == "counter";
            for (size_t i = 0; i < msg.size(); ++i) msg[i] = counter ? uint8_t(i) : 0x61;
        }
        Bytes printed = b.hex("digest_rfc");
        std::reverse(printed.begin(), printed.end());
        ASSERT_EQ(to_hex(printed), b.text("digest"));
        EXPECT_EQ(to_hex(digest(size, msg)), b.text("digest"));
    });
    EXPECT_EQ(n, 22u);
    // The empty message and whole blocks first: Update compresses a full block itself and
    // Final then pads an empty buffer.
    std::mt19937 rng(34112012);
    for (int i = 0; i < 203; ++i) {
        const Bytes msg = random_bytes(rng, i < 3 ? 64 * i : rng() % (i < 100 ? 300 : 5000));
        EXPECT_EQ(to_hex(digest(32, msg)), to_hex(gcrypt_digest(GCRY_MD_STRIBOG256, msg)));
        EXPECT_EQ(to_hex(digest(64, msg)), to_hex(gcrypt_digest(GCRY_MD_STRIBOG512, msg)));
        EXPECT_EQ(to_hex(digest(32, msg)), to_hex(nettle_digest(32, msg)));
        EXPECT_EQ(to_hex(digest(64, msg)), to_hex(nettle_digest(64, msg)));
    }
}

INSTANTIATE_TEST_SUITE_P(Streebog, StreebogForm, ::testing::ValuesIn(gost::streebog::kForms),
                         [](const auto& info) {
                             switch (info.param) {
                                 case gost::streebog::Form::portable:
                                     return "portable";
                                 case gost::streebog::Form::x86_64:
                                     return "x86_64";
                                 default:
                                     return "avx512";
                             }
                         });

// Every split of messages up to two blocks and a bit, and a copy taken mid-stream.
TEST(Streebog, AnySplitAndMidStreamCopy) {
    gost_test::check_streaming<GOSTR3411_2012_CTX>(Streebog{32}, 130, 2012);
    gost_test::check_streaming<GOSTR3411_2012_CTX>(Streebog{64}, 130, 2013);
}

TEST(Streebog, ArgumentChecksLeaveTheContextAlone) {
    GOSTR3411_2012_CTX ctx;
    uint8_t out[64];
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(GOSTR3411_2012_Init(nullptr, 32), -1);
    EXPECT_EQ(GOSTR3411_2012_Init(&ctx, 48), -1);
    ASSERT_EQ(GOSTR3411_2012_512_Init(&ctx), 0);
    ASSERT_EQ(GOSTR3411_2012_Update(&ctx, data, 3), 0);
    const GOSTR3411_2012_CTX before = ctx;
    EXPECT_EQ(GOSTR3411_2012_256_Update(&ctx, data, 3), -2);
    EXPECT_EQ(GOSTR3411_2012_256_Final(&ctx, out), -2);
    EXPECT_EQ(GOSTR3411_2012_Update(&ctx, nullptr, 0), 0);
    EXPECT_EQ(GOSTR3411_2012_Update(&ctx, nullptr, 1), -1);
    EXPECT_EQ(GOSTR3411_2012_Update(nullptr, data, 1), -1);
    EXPECT_EQ(GOSTR3411_2012_Final(&ctx, nullptr), -1);
    EXPECT_EQ(GOSTR3411_2012_256_Update(nullptr, data, 1), -1);
    EXPECT_EQ(GOSTR3411_2012_512_Final(nullptr, out), -1);
    EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
    ASSERT_EQ(GOSTR3411_2012_512_Update(&ctx, data, 0), 0);
    ASSERT_EQ(GOSTR3411_2012_512_Final(&ctx, out), 0);
    EXPECT_EQ(to_hex(out, 64), to_hex(digest(64, Bytes(data, data + 3))));

    EXPECT_EQ(GOSTR3411_2012_Transform(48, data, 3, out), -1);
    EXPECT_EQ(GOSTR3411_2012_Transform(32, nullptr, 3, out), -1);
    EXPECT_EQ(GOSTR3411_2012_Transform(32, data, 3, nullptr), -1);
    EXPECT_EQ(GOSTR3411_2012_256_Transform(nullptr, 0, out), 0);
    EXPECT_EQ(to_hex(out, 32), to_hex(digest(32, {})));
}

namespace {

Bytes hmac(uint32_t len, const Bytes& key, const Bytes& msg) {
    Bytes out(len);
    EXPECT_EQ(GOSTR3411_2012_HMAC(len, msg.data(), uint32_t(msg.size()), key.data(),
                                  uint32_t(key.size()), out.data()),
              0);
    return out;
}

Bytes gcrypt_hmac(int algo, const Bytes& key, const Bytes& msg) {
    gcry_mac_hd_t h;
    EXPECT_EQ(gcry_mac_open(&h, algo, 0, nullptr), 0u);
    EXPECT_EQ(gcry_mac_setkey(h, key.data(), key.size()), 0u);
    EXPECT_EQ(gcry_mac_write(h, msg.data(), msg.size()), 0u);
    Bytes out(gcry_mac_get_algo_maclen(algo));
    size_t n = out.size();
    EXPECT_EQ(gcry_mac_read(h, out.data(), &n), 0u);
    gcry_mac_close(h);
    return out;
}

}  // namespace

TEST(StreebogHmac, Vectors) {
    const VectorFile file("streebog_hmac_kdf.txt");
    auto hmac_vector = [](const auto& b) {
        SCOPED_TRACE(b.text("name"));
        const Bytes out = hmac(uint32_t(b.number("hmac_len")), b.hex("key"), b.hex("msg"));
        EXPECT_EQ(to_hex(out), b.text("out"));
    };
    auto kdf_vector = [](const auto& b) {
        SCOPED_TRACE(b.text("name"));
        const Bytes key = b.hex("key"), label = b.hex("label"), seed = b.hex("seed");
        uint8_t out[32];
        ASSERT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, label.data(), uint32_t(label.size()),
                                         seed.data(), uint32_t(seed.size()), out),
                  0);
        EXPECT_EQ(to_hex(out, 32), b.text("out"));
    };
    EXPECT_EQ(file.each(hmac_vector, "hmac"), 6u);
    EXPECT_EQ(file.each(kdf_vector, "kdf"), 1u);
}

TEST(StreebogHmac, AgreesWithLibgcryptOverKeyAndMessageLengths) {
    std::mt19937 rng(7836);
    for (size_t key_len : {0, 1, 31, 32, 63, 64, 65, 100, 200}) {
        for (int i = 0; i < 6; ++i) {
            const Bytes key = random_bytes(rng, key_len), msg = random_bytes(rng, rng() % 300);
            EXPECT_EQ(hmac(32, key, msg), gcrypt_hmac(GCRY_MAC_HMAC_STRIBOG256, key, msg));
            EXPECT_EQ(hmac(64, key, msg), gcrypt_hmac(GCRY_MAC_HMAC_STRIBOG512, key, msg));
        }
    }
}

TEST(StreebogHmac, ArgumentChecks) {
    uint8_t out[64];
    const uint8_t k[1] = {0};
    EXPECT_EQ(GOSTR3411_2012_HMAC(48, k, 1, k, 1, out), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC(32, nullptr, 1, k, 1, out), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC(32, k, 1, nullptr, 1, out), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC(32, k, 1, k, 1, nullptr), -1);
}

TEST(StreebogKdf, EmptyLabelAndSeedAndArgumentChecks) {
    std::mt19937 rng(113);
    const Bytes key = random_bytes(rng, 32);
    uint8_t out[32] = {}, untouched[32] = {};
    ASSERT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, nullptr, 0, nullptr, 0, out), 0);
    EXPECT_EQ(to_hex(out, 32), to_hex(hmac(32, key, {0x01, 0x00, 0x01, 0x00})));

    const Bytes label = random_bytes(rng, 70), seed = random_bytes(rng, 9);
    Bytes input{0x01};
    input.insert(input.end(), label.begin(), label.end());
    input.push_back(0x00);
    input.insert(input.end(), seed.begin(), seed.end());
    input.insert(input.end(), {0x01, 0x00});
    ASSERT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, label.data(), 70, seed.data(), 9, out), 0);
    EXPECT_EQ(to_hex(out, 32), to_hex(gcrypt_hmac(GCRY_MAC_HMAC_STRIBOG256, key, input)));

    uint8_t none[32] = {};
    EXPECT_EQ(GOSTR3411_2012_256_KDF(nullptr, 32, label.data(), 1, seed.data(), 1, none), -1);
    EXPECT_EQ(GOSTR3411_2012_256_KDF(key.data(), 31, label.data(), 1, seed.data(), 1, none), -1);
    EXPECT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, label.data(), 1, seed.data(), 1, nullptr), -1);
    EXPECT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, nullptr, 1, seed.data(), 1, none), -1);
    EXPECT_EQ(GOSTR3411_2012_256_KDF(key.data(), 32, label.data(), 1, nullptr, 1, none), -1);
    EXPECT_EQ(std::memcmp(none, untouched, 32), 0);
}
