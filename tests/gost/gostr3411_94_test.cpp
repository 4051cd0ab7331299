#include "gost/gostr3411_94.h"

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <nettle/gosthash94.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "common/vectors.h"

using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorFile;

namespace {

const uint8_t kTestSet[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x00};
const uint8_t kCryptoProSet[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x01};

Bytes hash_pieces(const uint8_t* der, const Bytes& msg, size_t piece) {
    GOSTR3411_94_CTX ctx;
    EXPECT_EQ(GOSTR3411_94_Init(&ctx, der, 9), 0);
    for (size_t off = 0; off < msg.size(); off += piece)
        EXPECT_EQ(GOSTR3411_94_Update(&ctx, &msg[off], uint32_t(std::min(piece, msg.size() - off))),
                  0);
    Bytes out(32);
    EXPECT_EQ(GOSTR3411_94_Final(&ctx, out.data()), 0);
    return out;
}

Bytes hash(const uint8_t* der, const Bytes& msg) {
    Bytes out(32);
    EXPECT_EQ(GOSTR3411_94_Transform(der, 9, msg.data(), uint32_t(msg.size()), out.data()), 0);
    return out;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

}  // namespace

TEST(GostR341194, Vectors) {
    const size_t n = VectorFile("gostr3411_94.txt").each([](const auto& b) {
        const std::string name = b.text("name");
        const uint8_t* der = b.text("paramset") == "test" ? kTestSet : kCryptoProSet;
        Bytes msg;
        if (b.has("msg")) {
            msg = b.hex("msg");
        } else {
            msg.resize(b.number("msg_len"));
            const std::string fill = b.text("msg_fill");
            for (size_t i = 0; i < msg.size(); ++i)
                msg[i] = fill == "counter" ? uint8_t(i) : uint8_t(std::stoi(fill, nullptr, 16));
        }
        Bytes printed = b.hex("digest_rfc");
        std::reverse(printed.begin(), printed.end());
        const std::string want = b.text("digest");
        ASSERT_EQ(to_hex(printed), want) << name;
        EXPECT_EQ(to_hex(hash(der, msg)), want) << name;
        if (msg.size() > 5000) return;
        for (size_t piece : {1, 31, 32, 33})
            EXPECT_EQ(to_hex(hash_pieces(der, msg, piece)), want) << name << " " << piece;
    });
    EXPECT_EQ(n, 18u);
}

// Every split of messages up to three blocks, and a mid-stream copy, against the one-shot hash.
TEST(GostR341194, AnySplitAndMidStreamCopy) {
    std::mt19937 rng(94);
    for (size_t len = 1; len <= 100; ++len) {
        const Bytes msg = random_bytes(rng, len);
        const Bytes want = hash(kCryptoProSet, msg);
        for (size_t cut = 1; cut < len; ++cut) {
            GOSTR3411_94_CTX ctx;
            ASSERT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet, 9), 0);
            ASSERT_EQ(GOSTR3411_94_Update(&ctx, msg.data(), uint32_t(cut)), 0);
            GOSTR3411_94_CTX copy = ctx;
            ASSERT_EQ(GOSTR3411_94_Update(&ctx, &msg[cut], uint32_t(len - cut)), 0);
            ASSERT_EQ(GOSTR3411_94_Update(&copy, &msg[cut], uint32_t(len - cut)), 0);
            Bytes a(32), c(32);
            ASSERT_EQ(GOSTR3411_94_Final(&ctx, a.data()), 0);
            ASSERT_EQ(GOSTR3411_94_Final(&copy, c.data()), 0);
            ASSERT_EQ(a, want) << len << " " << cut;
            ASSERT_EQ(c, want) << len << " " << cut;
        }
    }
}

TEST(GostR341194, AgreesWithLibgcryptAndNettle) {
    std::mt19937 rng(5831);
    for (int i = 0; i < 120; ++i) {
        const Bytes msg = random_bytes(rng, 1 + rng() % (i < 60 ? 200 : 4000));
        Bytes g(32), t(32), ng(32), nt(32);
        gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, g.data(), msg.data(), msg.size());
        gcry_md_hash_buffer(GCRY_MD_GOSTR3411_94, t.data(), msg.data(), msg.size());
        gosthash94_ctx c;
        gosthash94cp_init(&c);
        gosthash94cp_update(&c, msg.size(), msg.data());
        gosthash94cp_digest(&c, 32, ng.data());
        gosthash94_init(&c);
        gosthash94_update(&c, msg.size(), msg.data());
        gosthash94_digest(&c, 32, nt.data());
        const Bytes cp = hash(kCryptoProSet, msg), test = hash(kTestSet, msg);
        EXPECT_EQ(cp, g);
        EXPECT_EQ(cp, ng);
        EXPECT_EQ(test, t);
        EXPECT_EQ(test, nt);
    }
}

// 32 bytes fill the buffer and are hashed at once; 64 bytes leave the second block buffered, and
// Final hashes it unpadded with 256 bits of length.
TEST(GostR341194, BlockBoundariesAndEmptyMessage) {
    std::mt19937 rng(32);
    GOSTR3411_94_CTX ctx;
    const Bytes msg = random_bytes(rng, 64);
    ASSERT_EQ(GOSTR3411_94_Init(&ctx, kTestSet, 9), 0);
    ASSERT_EQ(GOSTR3411_94_Update(&ctx, msg.data(), 32), 0);
    EXPECT_EQ(ctx.count, 0u);
    EXPECT_EQ(ctx.length[0], 256u);
    ASSERT_EQ(GOSTR3411_94_Init(&ctx, kTestSet, 9), 0);
    ASSERT_EQ(GOSTR3411_94_Update(&ctx, msg.data(), 64), 0);
    EXPECT_EQ(ctx.count, 32u);
    EXPECT_EQ(ctx.length[0], 256u);
    Bytes out(32);
    ASSERT_EQ(GOSTR3411_94_Final(&ctx, out.data()), 0);
    EXPECT_EQ(ctx.length[0], 512u);
    Bytes want(32);
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_94, want.data(), msg.data(), 64);
    EXPECT_EQ(out, want);

    // Init then Final: the empty message.
    ASSERT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet, 9), 0);
    ASSERT_EQ(GOSTR3411_94_Final(&ctx, out.data()), 0);
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, want.data(), nullptr, 0);
    EXPECT_EQ(out, want);
    Bytes oneshot(32);
    EXPECT_EQ(GOSTR3411_94_Transform(kCryptoProSet, 9, nullptr, 0, oneshot.data()), 0);
    EXPECT_EQ(oneshot, want);
}

TEST(GostR341194, ParameterSetsAndArgumentChecks) {
    GOSTR3411_94_CTX ctx;
    uint8_t out[32];
    const uint8_t data[1] = {0};
    EXPECT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet, 8), -3001);
    EXPECT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet + 2, 7), -3001);
    EXPECT_EQ(GOSTR3411_94_Init(&ctx, nullptr, 9), -1);
    EXPECT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet, 0), -1);
    EXPECT_EQ(GOSTR3411_94_Init(nullptr, kCryptoProSet, 9), -1);
    EXPECT_EQ(GOSTR3411_94_Init_ex(&ctx, nullptr), -1);
    ASSERT_EQ(GOSTR3411_94_Init(&ctx, kCryptoProSet, 9), 0);
    EXPECT_EQ(GOSTR3411_94_Update(&ctx, data, 0), -1);
    EXPECT_EQ(GOSTR3411_94_Update(&ctx, nullptr, 1), -1);
    EXPECT_EQ(GOSTR3411_94_Final(&ctx, nullptr), -1);
    EXPECT_EQ(GOSTR3411_94_Transform(kCryptoProSet, 9, nullptr, 1, out), -1);

    // A caller's own row, found after the built-in ones; here it carries the test table under
    // another identifier.
    const uint8_t own[] = {0x06, 0x03, 0x2a, 0x03, 0x04};
    const GOSTR3411_94_PARAMS extra[] = {{5, own, "1.2.3.4", "own", kGostR341194Params[0].tz}};
    uint8_t a[32], b[32];
    EXPECT_EQ(GOSTR3411_94_Transform(own, 5, data, 1, a), -3001);
    ASSERT_EQ(GOSTR3411_94_Transform_more_par(own, 5, extra, 1, data, 1, a), 0);
    ASSERT_EQ(GOSTR3411_94_Transform(kTestSet, 9, data, 1, b), 0);
    EXPECT_EQ(std::memcmp(a, b, 32), 0);
    EXPECT_EQ(GOSTR3411_94_Transform_more_par(own, 5, nullptr, 1, data, 1, a), -1);

    const GOSTR3411_94_PARAMS* row = nullptr;
    ASSERT_EQ(GOSTR3411_94_FindParByDerOid(kTestSet, 9, &row), 0);
    EXPECT_EQ(row, &kGostR341194Params[0]);
    EXPECT_EQ(GOSTR3411_94_DefaultPar(), &kGostR341194Params[1]);
    EXPECT_EQ(GOSTR3411_94_FindParByDerOid(own, 5, &row), -1);
    EXPECT_EQ(row, nullptr);
}
