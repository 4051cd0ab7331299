#include "gost/gostr3411_2012.h"

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <nettle/hmac.h>
#include <nettle/streebog.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "common/vectors.h"
#include "gost/gostr3411_2012_tables.h"

using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorFile;

namespace {

Bytes digest(uint32_t size, const Bytes& msg) {
    Bytes out(size);
    EXPECT_EQ(GOSTR3411_2012_Transform(size, msg.data(), uint32_t(msg.size()), out.data()), 0);
    return out;
}

Bytes digest_in_pieces(uint32_t size, const Bytes& msg, size_t piece) {
    GOSTR3411_2012_CTX ctx;
    EXPECT_EQ(GOSTR3411_2012_Init(&ctx, size), 0);
    for (size_t off = 0; off < msg.size(); off += piece) {
        const size_t n = std::min(piece, msg.size() - off);
        EXPECT_EQ(GOSTR3411_2012_Update(&ctx, msg.data() + off, uint32_t(n)), 0);
    }
    Bytes out(size);
    EXPECT_EQ(GOSTR3411_2012_Final(&ctx, out.data()), 0);
    return out;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

Bytes gcrypt_digest(int algo, const Bytes& msg) {
    Bytes out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), msg.data(), msg.size());
    return out;
}

Bytes nettle_digest(uint32_t size, const Bytes& msg) {
    Bytes out(size);
    streebog512_ctx ctx;
    if (size == 32) {
        streebog256_init(&ctx);
        streebog256_update(&ctx, msg.size(), msg.data());
        streebog256_digest(&ctx, size, out.data());
    } else {
        streebog512_init(&ctx);
        streebog512_update(&ctx, msg.size(), msg.data());
        streebog512_digest(&ctx, size, out.data());
    }
    return out;
}

}  // namespace

// The compression has a portable and a vector form; every vector runs through each form the
// processor offers.
struct EachCompression {
    std::vector<bool> forms() const {
        std::vector<bool> f{false};
        if (gost::streebog::use_simd(true)) f.push_back(true);
        return f;
    }
    ~EachCompression() { gost::streebog::use_simd(true); }
};

TEST(Streebog, PublishedAndComputedVectors) {
    EachCompression each;
    for (bool simd : each.forms()) {
        SCOPED_TRACE(simd ? "vector form" : "portable form");
        gost::streebog::use_simd(simd);
        const size_t n = VectorFile("streebog.txt").each([](const auto& b) {
            const std::string name = b.text("name");
            const uint32_t size = b.text("alg") == "streebog256" ? 32 : 64;
            Bytes msg;
            if (b.has("msg")) {
                msg = b.hex("msg");
            } else {
                msg.resize(b.number("msg_len"));
                const bool counter = b.text("msg_fill") == "counter";
                for (size_t i = 0; i < msg.size(); ++i) msg[i] = counter ? uint8_t(i) : 0x61;
            }
            const Bytes want = b.hex("digest");
            Bytes printed = b.hex("digest_rfc");
            std::reverse(printed.begin(), printed.end());
            ASSERT_EQ(to_hex(printed), to_hex(want)) << name;
            EXPECT_EQ(to_hex(digest(size, msg)), to_hex(want)) << name;
            for (size_t piece : {1, 63, 64, 65, 4096}) {
                if (piece >= msg.size() && piece != 1) continue;
                EXPECT_EQ(to_hex(digest_in_pieces(size, msg, piece)), to_hex(want))
                    << name << " in pieces of " << piece;
            }
        });
        EXPECT_EQ(n, 22u);
    }
}

// Every split of messages up to three blocks, and a copy taken mid-stream that continues on its
// own, must agree with the one-shot digest.
TEST(Streebog, AnySplitAndMidStreamCopy) {
    std::mt19937 rng(2012);
    for (uint32_t size : {32u, 64u}) {
        for (size_t len = 0; len <= 192; len += (len < 130 ? 1 : 31)) {
            const Bytes msg = random_bytes(rng, len);
            const Bytes want = digest(size, msg);
            for (size_t cut = 0; cut <= len; ++cut) {
                GOSTR3411_2012_CTX ctx;
                ASSERT_EQ(GOSTR3411_2012_Init(&ctx, size), 0);
                ASSERT_EQ(GOSTR3411_2012_Update(&ctx, msg.data(), uint32_t(cut)), 0);
                GOSTR3411_2012_CTX copy = ctx;
                ASSERT_EQ(GOSTR3411_2012_Update(&ctx, msg.data() + cut, uint32_t(len - cut)), 0);
                ASSERT_EQ(GOSTR3411_2012_Update(&copy, msg.data() + cut, uint32_t(len - cut)), 0);
                Bytes a(size), c(size);
                ASSERT_EQ(GOSTR3411_2012_Final(&ctx, a.data()), 0);
                ASSERT_EQ(GOSTR3411_2012_Final(&copy, c.data()), 0);
                ASSERT_EQ(a, want) << "len " << len << " cut " << cut;
                ASSERT_EQ(c, want) << "copy, len " << len << " cut " << cut;
            }
        }
    }
}

TEST(Streebog, AgreesWithLibgcryptAndNettle) {
    EachCompression each;
    for (bool simd : each.forms()) {
        SCOPED_TRACE(simd ? "vector form" : "portable form");
        gost::streebog::use_simd(simd);
        std::mt19937 rng(34112012);
        for (int i = 0; i < 200; ++i) {
            const Bytes msg = random_bytes(rng, rng() % (i < 100 ? 300 : 5000));
            EXPECT_EQ(to_hex(digest(32, msg)), to_hex(gcrypt_digest(GCRY_MD_STRIBOG256, msg)));
            EXPECT_EQ(to_hex(digest(64, msg)), to_hex(gcrypt_digest(GCRY_MD_STRIBOG512, msg)));
            EXPECT_EQ(to_hex(digest(32, msg)), to_hex(nettle_digest(32, msg)));
            EXPECT_EQ(to_hex(digest(64, msg)), to_hex(nettle_digest(64, msg)));
        }
    }
}

// The lookup tables fold S, P and L together. Recompute LPS of random states from the
// definitions (substitute each byte, transpose the 8x8 byte matrix, multiply each word by A bit
// by bit) and compare with what the tables give, entry by entry and on whole states.
TEST(Streebog, LookupTablesMatchTheDefinitions) {
    using namespace gost::streebog;
    auto mul_a = [](uint64_t v) {
        uint64_t r = 0;
        for (int bit = 63; bit >= 0; --bit, v <<= 1)
            if (v >> 63) r ^= kA[63 - bit];
        return r;
    };
    auto lps_reference = [&](const Block& in) {
        uint8_t bytes[64], moved[64];
        for (int i = 0; i < 64; ++i) bytes[i] = kPi[uint8_t(in[i / 8] >> (8 * (i % 8)))];
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 8; ++j) moved[8 * i + j] = bytes[8 * j + i];
        Block out{};
        for (int i = 0; i < 8; ++i) {
            uint64_t w = 0;
            for (int j = 7; j >= 0; --j) w = w << 8 | moved[8 * i + j];
            out[i] = mul_a(w);
        }
        return out;
    };
    // Bytes that substitute to zero contribute nothing, so one live byte isolates one entry.
    const uint64_t to_zero = uint64_t(std::find(kPi.begin(), kPi.end(), 0) - kPi.begin());
    for (int j = 0; j < 8; ++j)
        for (int b = 0; b < 256; ++b) {
            Block in;
            in.fill(to_zero * 0x0101010101010101);
            in[j] = (in[j] & ~uint64_t(0xff)) | uint64_t(b);  // lands in byte j of word 0
            ASSERT_EQ(kLps[j][b], lps_reference(in)[0]) << j << " " << b;
        }
    std::mt19937_64 rng(6986);
    for (int n = 0; n < 200; ++n) {
        Block in;
        for (auto& w : in) w = rng();
        const Block want = lps_reference(in);
        for (int i = 0; i < 8; ++i) {
            uint64_t got = 0;
            for (int j = 0; j < 8; ++j) got ^= kLps[j][uint8_t(in[j] >> (8 * i))];
            ASSERT_EQ(got, want[i]);
        }
    }
}

// pi is shared with the 128-bit block cipher of GOST R 34.12-2015, whose published S steps
// check it independently of the hash vectors.
TEST(Streebog, SubstitutionMatchesPublishedSteps) {
    const Bytes in[] = {testing_support::from_hex("ffeeddccbbaa99881122334455667700"),
                        testing_support::from_hex("b66cd8887d38e8d77765aeea0c9a7efc"),
                        testing_support::from_hex("559d8dd7bd06cbfe7e7b262523280d39"),
                        testing_support::from_hex("0c3322fed531e4630d80ef5c5a81c50b"),
                        testing_support::from_hex("23ae65633f842d29c5df529c13f5acda")};
    for (int i = 0; i < 4; ++i) {
        Bytes s = in[i];
        for (auto& x : s) x = gost::streebog::kPi[x];
        EXPECT_EQ(to_hex(s), to_hex(in[i + 1]));
    }
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

// A whole block is compressed by Update itself; Final then pads an empty buffer with 01 00..00
// and adds nothing to N. The 256-bit digest is the upper half of h, not the lower.
TEST(Streebog, FullBlockAndDigestHalves) {
    const Bytes msg(64, 0x5a);
    GOSTR3411_2012_CTX ctx;
    ASSERT_EQ(GOSTR3411_2012_256_Init(&ctx), 0);
    ASSERT_EQ(GOSTR3411_2012_256_Update(&ctx, msg.data(), 64), 0);
    EXPECT_EQ(ctx.count, 0u);
    EXPECT_EQ(ctx.N[0], 512u);
    uint8_t out[32];
    ASSERT_EQ(GOSTR3411_2012_256_Final(&ctx, out), 0);
    EXPECT_EQ(ctx.N[0], 512u);
    EXPECT_EQ(to_hex(out, 32), to_hex(gcrypt_digest(GCRY_MD_STRIBOG256, msg)));
    uint8_t upper[32];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) upper[8 * i + j] = uint8_t(ctx.h[4 + i] >> (8 * j));
    EXPECT_EQ(to_hex(out, 32), to_hex(upper, 32));

    // 128 bytes of ff carry through every word of Sigma.
    const Bytes ff(128, 0xff);
    EXPECT_EQ(to_hex(digest(64, ff)), to_hex(gcrypt_digest(GCRY_MD_STRIBOG512, ff)));
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
    const size_t hm = VectorFile("streebog_hmac_kdf.txt")
                          .each(
                              [](const auto& b) {
                                  const std::string name = b.text("name");
                                  const Bytes out = hmac(uint32_t(b.number("hmac_len")),
                                                         b.hex("key"), b.hex("msg"));
                                  EXPECT_EQ(to_hex(out), b.text("out")) << name;
                              },
                              "hmac");
    const size_t kd =
        VectorFile("streebog_hmac_kdf.txt")
            .each(
                [](const auto& b) {
                    const std::string name = b.text("name");
                    const Bytes key = b.hex("key"), label = b.hex("label"), seed = b.hex("seed");
                    uint8_t out[32];
                    ASSERT_EQ(
                        GOSTR3411_2012_256_KDF(key.data(), 32, label.data(), uint32_t(label.size()),
                                               seed.data(), uint32_t(seed.size()), out),
                        0);
                    EXPECT_EQ(to_hex(out, 32), b.text("out")) << name;
                },
                "kdf");
    EXPECT_EQ(hm, 6u);
    EXPECT_EQ(kd, 1u);
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

// A key longer than the block is replaced by its digest of the HMAC length; a 64-byte key is
// used as it is (the same key hashed would give another MAC).
TEST(StreebogHmac, LongKeysAreHashed) {
    std::mt19937 rng(65);
    const Bytes msg = random_bytes(rng, 40);
    for (uint32_t len : {32u, 64u}) {
        const Bytes key65 = random_bytes(rng, 65);
        EXPECT_EQ(hmac(len, key65, msg), hmac(len, digest(len, key65), msg));
        const Bytes key64 = random_bytes(rng, 64);
        EXPECT_NE(hmac(len, key64, msg), hmac(len, digest(len, key64), msg));
    }
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
