// Kuznyechik and Magma block functions: published intermediate values, both directions, in place,
// NULL handling, and Magma against libgcrypt's GOST 28147-89 with the same S-box.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstring>

#include "cipher_test_util.h"
#include "gost/kuznyechik.h"
#include "gost/magma.h"

using gost_test::describe;
using gost_test::field;
using gost_test::hex_of;
using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

const VectorFile& vectors() {
    return gost_test::block_cipher_vectors();
}

uint32_t be32(const Bytes& b) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

uint32_t magma_f(const magma_tables& t, uint32_t x) {
    return t.t[0][x & 255] ^ t.t[1][x >> 8 & 255] ^ t.t[2][x >> 16 & 255] ^ t.t[3][x >> 24];
}

}  // namespace

TEST(Kuznyechik, SubstitutionAndLinearStepsMatchRfc7801) {
    const kuznechik_tables& t = kuznechik_builtin_tables();
    auto s_step = [&](const VectorBlock& b) {
        SCOPED_TRACE(describe(b));
        Bytes x = b.hex("in");
        for (auto& v : x) v = t.pi[v];
        EXPECT_EQ(to_hex(x), b.text("out"));
    };
    // The combined table fed with pi^-1 of each byte must give L alone, position by position.
    auto l_step = [&](const VectorBlock& b) {
        SCOPED_TRACE(describe(b));
        const Bytes x = b.hex("in");
        uint64_t acc[2] = {};
        for (int i = 0; i < 16; ++i)
            for (int h = 0; h < 2; ++h) acc[h] ^= t.ls[i][t.pi_inv[x[i]]][h];
        EXPECT_EQ(hex_of(acc, 16), b.text("out"));
    };
    EXPECT_EQ(4u, vectors().each(s_step, "kuznyechik-S"));
    EXPECT_EQ(4u, vectors().each(l_step, "kuznyechik-L"));
}

TEST(Kuznyechik, KeyScheduleAndBlockMatchRfc7801) {
    vectors().each(
        [&](const VectorBlock& b) {
            SCOPED_TRACE(describe(b));
            const kuznechik_tables& t = kuznechik_builtin_tables();
            for (int j = 0; j < 8; ++j) EXPECT_EQ(hex_of(t.c[j], 16), b.text(field("C", j + 1)));
            kuznechik_round_keys rk;
            ASSERT_EQ(0, tvk_kuznechik_set_encrypt_key(b.hex("key").data(), &rk));
            for (int i = 0; i < 10; ++i) EXPECT_EQ(hex_of(rk.k[i], 16), b.text(field("K", i + 1)));
        },
        "kuznyechik-key-schedule");

    for (const char* kind : {"kuznyechik-encrypt", "kuznyechik-decrypt"}) {
        vectors().each(
            [&](const VectorBlock& b) {
                SCOPED_TRACE(describe(b));
                const Bytes key = b.hex("key"), pt = b.hex("pt"), ct = b.hex("ct");
                kuznechik_round_keys enc, dec;
                ASSERT_EQ(0, tvk_kuznechik_set_encrypt_key(key.data(), &enc));
                ASSERT_EQ(0, tvk_kuznechik_set_decrypt_key(key.data(), &dec));
                uint8_t x[16];
                ASSERT_EQ(0, tvk_kuznechik_encrypt_block(pt.data(), x, &enc));
                EXPECT_EQ(to_hex(x, 16), to_hex(ct));
                ASSERT_EQ(0, tvk_kuznechik_decrypt_block(x, x, &dec));  // in place
                EXPECT_EQ(to_hex(x, 16), to_hex(pt));
            },
            kind);
    }
}

TEST(Magma, RoundFunctionKeyWordsAndBlockMatchRfc8891) {
    const magma_tables& t = magma_builtin_tables();
    // The tables hold t already rotated left by 11; g[k](a) = that rotation of t(a + k).
    auto t_step = [&](const VectorBlock& b) {
        SCOPED_TRACE(describe(b));
        const uint32_t f = magma_f(t, be32(b.hex("in")));
        EXPECT_EQ(f >> 11 | f << 21, be32(b.hex("out")));
    };
    auto g_step = [&](const VectorBlock& b) {
        SCOPED_TRACE(describe(b));
        EXPECT_EQ(magma_f(t, be32(b.hex("in")) + be32(b.hex("k"))), be32(b.hex("out")));
    };
    EXPECT_EQ(4u, vectors().each(t_step, "magma-t"));
    EXPECT_EQ(4u, vectors().each(g_step, "magma-g"));
    vectors().each(
        [&](const VectorBlock& b) {
            SCOPED_TRACE(describe(b));
            uint32_t w[8];
            ASSERT_EQ(0, tvk_magma_set_key(b.hex("key").data(), w));
            for (int i = 0; i < 8; ++i) EXPECT_EQ(w[i], be32(b.hex(field("K", i + 1))));
        },
        "magma-key-schedule");
    for (const char* kind : {"magma-encrypt", "magma-decrypt"}) {
        vectors().each(
            [&](const VectorBlock& b) {
                SCOPED_TRACE(describe(b));
                uint32_t w[8];
                ASSERT_EQ(0, tvk_magma_set_key(b.hex("key").data(), w));
                uint8_t x[8];
                const Bytes pt = b.hex("pt"), ct = b.hex("ct");
                std::memcpy(x, pt.data(), 8);
                ASSERT_EQ(0, tvk_magma_encrypt_block(x, x, w));
                EXPECT_EQ(to_hex(x, 8), to_hex(ct));
                ASSERT_EQ(0, tvk_magma_decrypt_block(x, x, w));
                EXPECT_EQ(to_hex(x, 8), to_hex(pt));
            },
            kind);
    }
}

TEST(BlockCiphers, NullPointersAreRefusedWithoutWriting) {
    uint8_t key[32] = {}, blk[16] = {};
    kuznechik_round_keys rk{};
    EXPECT_EQ(-1, tvk_kuznechik_set_encrypt_key(nullptr, &rk));
    EXPECT_EQ(-1, tvk_kuznechik_set_decrypt_key(key, nullptr));
    EXPECT_EQ(-1, tvk_kuznechik_encrypt_block(nullptr, blk, &rk));
    EXPECT_EQ(-1, tvk_kuznechik_encrypt_block(blk, nullptr, &rk));
    EXPECT_EQ(-1, tvk_kuznechik_decrypt_block(blk, blk, nullptr));
    uint32_t w[8] = {};
    EXPECT_EQ(-1, tvk_magma_set_key(key, nullptr));
    EXPECT_EQ(-1, tvk_magma_encrypt_block(blk, blk, nullptr));
    EXPECT_EQ(-1, tvk_magma_decrypt_block(nullptr, blk, w));
    for (uint8_t v : blk) EXPECT_EQ(0, v);
}

// libgcrypt's GOST 28147-89 with the param-Z S-box is Magma once key words and blocks are
// byte-reversed. Random keys and runs of up to 9 blocks cover the interleaved multi-block path and
// its single-block tail in both directions.
TEST(Magma, AgreesWithLibgcryptGost28147ParamZ) {
    ASSERT_NE(nullptr, gcry_check_version(nullptr));
    gcry_cipher_hd_t h;
    ASSERT_EQ(0u, gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, GCRY_CIPHER_MODE_ECB, 0));
    std::mt19937 rng(2015);
    for (int trial = 0; trial < 40; ++trial) {
        uint8_t key[32], gkey[32];
        for (auto& v : key) v = static_cast<uint8_t>(rng());
        for (int i = 0; i < 32; ++i) gkey[i] = key[(i & ~3) + 3 - (i & 3)];
        ASSERT_EQ(0u, gcry_cipher_setkey(h, gkey, 32));
        ASSERT_EQ(
            0u, gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>("1.2.643.7.1.2.5.1.1"), 0));
        const size_t blocks = 1 + trial % 9;
        Bytes pt(8 * blocks), ours(pt.size()), back(pt.size()), theirs(pt.size());
        for (auto& v : pt) v = static_cast<uint8_t>(rng());
        for (size_t i = 0; i < pt.size(); ++i) theirs[i] = pt[(i & ~7u) + 7 - (i & 7)];
        ASSERT_EQ(0u, gcry_cipher_encrypt(h, theirs.data(), theirs.size(), nullptr, 0));
        uint32_t w[8];
        ASSERT_EQ(0, tvk_magma_set_key(key, w));
        magma_detail::encrypt_blocks(w, pt.data(), ours.data(), blocks);
        for (size_t i = 0; i < pt.size(); ++i)
            ASSERT_EQ(ours[i], theirs[(i & ~7u) + 7 - (i & 7)]) << trial;
        magma_detail::decrypt_blocks(w, ours.data(), back.data(), blocks);
        EXPECT_EQ(back, pt);
    }
    gcry_cipher_close(h);
}
