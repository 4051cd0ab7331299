#include "gost/gostr3411_94.h"

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <nettle/gosthash94.h>

#include <algorithm>
#include <cstring>

#include "cipher_test_util.h"

using gost_test::random_bytes;
using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorFile;

namespace {

const uint8_t kTestSet[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x00};
const uint8_t kCryptoProSet[] = {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x01};

Bytes hash(const uint8_t* der, const Bytes& msg) {
    Bytes out(32);
    EXPECT_EQ(GOSTR3411_94_Transform(der, 9, msg.data(), uint32_t(msg.size()), out.data()), 0);
    return out;
}

struct Hash94 {
    const uint8_t* der;
    void init(GOSTR3411_94_CTX& c) const { EXPECT_EQ(GOSTR3411_94_Init(&c, der, 9), 0); }
    void update(GOSTR3411_94_CTX& c, const uint8_t* p, size_t n) const {
        EXPECT_EQ(n ? GOSTR3411_94_Update(&c, p, uint32_t(n)) : 0, 0);  // empty input is refused
    }
    Bytes final(GOSTR3411_94_CTX& c) const {
        Bytes out(32);
        EXPECT_EQ(GOSTR3411_94_Final(&c, out.data()), 0);
        return out;
    }
    Bytes oneshot(const Bytes& m) const { return hash(der, m); }
};

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
        ASSERT_EQ(to_hex(printed), b.text("digest")) << name;
        EXPECT_EQ(to_hex(hash(der, msg)), b.text("digest")) << name;
    });
    EXPECT_EQ(n, 18u);
}

// Both tables: every split of messages up to three blocks; the two-block case is where Final
// hashes a buffered full block unpadded.
TEST(GostR341194, AnySplitAndMidStreamCopy) {
    gost_test::check_streaming<GOSTR3411_94_CTX>(Hash94{kCryptoProSet}, 100, 94);
    gost_test::check_streaming<GOSTR3411_94_CTX>(Hash94{kTestSet}, 70, 95);
}

// The empty message and one and two whole blocks first: Final pads nothing for them.
TEST(GostR341194, AgreesWithLibgcryptAndNettle) {
    std::mt19937 rng(5831);
    for (int i = 0; i < 123; ++i) {
        const size_t len = i < 3 ? 32 * i : 1 + rng() % (i < 60 ? 200 : 4000);
        const Bytes msg = random_bytes(rng, len);
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
        EXPECT_EQ(hash(kCryptoProSet, msg), g);
        EXPECT_EQ(hash(kCryptoProSet, msg), ng);
        EXPECT_EQ(hash(kTestSet, msg), t);
        EXPECT_EQ(hash(kTestSet, msg), nt);
    }
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

// A context refers to its parameter set's table instead of holding a copy, so it is as small
// as its running state, a byte copy is a whole context on its own, and contexts over different
// sets never meet in one table.
TEST(GostR341194, ContextsReferToTheSharedTableAndCopyAsBytes) {
    static_assert(sizeof(GOSTR3411_94_CTX) <= 160, "a context holds its running state only");
    std::mt19937 rng(3411);
    const Bytes msg = random_bytes(rng, 150);
    GOSTR3411_94_CTX cp, test;
    ASSERT_EQ(GOSTR3411_94_Init(&cp, kCryptoProSet, 9), 0);
    ASSERT_EQ(GOSTR3411_94_Init(&test, kTestSet, 9), 0);
    EXPECT_EQ(cp.tz, GOSTR3411_94_DefaultPar()->tz);
    EXPECT_EQ(test.tz, kGostR341194Params[0].tz);
    // Interleaved pieces over both sets, then a copy of each whose original is wiped, as the
    // crypto library wipes and frees a context it copied from.
    for (size_t at = 0; at < 100; at += 25) {
        ASSERT_EQ(GOSTR3411_94_Update(&cp, msg.data() + at, 25), 0);
        ASSERT_EQ(GOSTR3411_94_Update(&test, msg.data() + at, 25), 0);
    }
    GOSTR3411_94_CTX cp_copy, test_copy;
    std::memcpy(&cp_copy, &cp, sizeof cp);
    std::memcpy(&test_copy, &test, sizeof test);
    std::memset(&cp, 0xa5, sizeof cp);
    std::memset(&test, 0, sizeof test);
    ASSERT_EQ(GOSTR3411_94_Update(&cp_copy, msg.data() + 100, 50), 0);
    ASSERT_EQ(GOSTR3411_94_Update(&test_copy, msg.data() + 100, 50), 0);
    Bytes a(32), b(32);
    ASSERT_EQ(GOSTR3411_94_Final(&cp_copy, a.data()), 0);
    ASSERT_EQ(GOSTR3411_94_Final(&test_copy, b.data()), 0);
    EXPECT_EQ(a, hash(kCryptoProSet, msg));
    EXPECT_EQ(b, hash(kTestSet, msg));
    // A wiped context has no table left to use and is refused, not followed to address zero.
    EXPECT_EQ(GOSTR3411_94_Update(&test, msg.data(), 1), -1);
    EXPECT_EQ(GOSTR3411_94_Final(&test, a.data()), -1);
}
