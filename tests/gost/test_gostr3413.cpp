// The GOST R 34.13-2015 modes for both ciphers: the standard's examples, a literal model of the
// mode formulas for segment and register sizes the examples do not use, messages given in pieces,
// in-place operation, result codes and the self-tests' reaction to a damaged table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "cipher_test_util.h"
#include "gost/gostr3413.h"

using gost_test::describe;
using gost_test::field;
using gost_test::random_bytes;
using gostr3413::Kuznechik;
using gostr3413::Magma;
using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

enum class Mode { ecb, cbc, ctr, ofb, cfb };

template <class C>
struct Api;

template <>
struct Api<Kuznechik> {
    static constexpr const char* name = "kuznyechik";
    static constexpr auto ecb_init = tvk_kuznechik_ecb_init;
    static constexpr auto cbc_init = tvk_kuznechik_cbc_init;
    static constexpr auto ctr_init = tvk_kuznechik_ctr_init;
    static constexpr auto ofb_init = tvk_kuznechik_ofb_init;
    static constexpr auto cfb_init = tvk_kuznechik_cfb_init;
    static constexpr auto mac_init = tvk_kuznechik_mac_init;
    static constexpr auto ecb = tvk_kuznechik_ecb_update;
    static constexpr auto cbc = tvk_kuznechik_cbc_update;
    static constexpr auto ctr = tvk_kuznechik_ctr_update;
    static constexpr auto ofb = tvk_kuznechik_ofb_update;
    static constexpr auto cfb = tvk_kuznechik_cfb_update;
    static constexpr auto mac_update = tvk_kuznechik_mac_update;
    static constexpr auto mac_final = tvk_kuznechik_mac_final;
};

template <>
struct Api<Magma> {
    static constexpr const char* name = "magma";
    static constexpr auto ecb_init = tvk_magma_ecb_init;
    static constexpr auto cbc_init = init_cbc_89;
    static constexpr auto ctr_init = tvk_magma_ctr_init;
    static constexpr auto ofb_init = tvk_magma_ofb_init;
    static constexpr auto cfb_init = tvk_magma_cfb_init;
    static constexpr auto mac_init = tvk_magma_mac_init;
    static constexpr auto ecb = tvk_magma_ecb_update;
    static constexpr auto cbc = tvk_magma_cbc_update;
    static constexpr auto ctr = tvk_magma_ctr_update;
    static constexpr auto ofb = tvk_magma_ofb_update;
    static constexpr auto cfb = tvk_magma_cfb_update;
    static constexpr auto mac_update = tvk_magma_mac_update;
    static constexpr auto mac_final = tvk_magma_mac_final;
};

// One context of any mode behind one interface.
template <class C>
struct AnyMode {
    using A = Api<C>;
    Mode mode;
    gostr3413::Ecb<C> ecb{};
    gostr3413::Cbc<C> cbc{};
    gostr3413::Ctr<C> ctr{};
    gostr3413::Ofb<C> ofb{};
    gostr3413::Cfb<C> cfb{};

    int init(int dir, const uint8_t* key, const uint8_t* iv, size_t s, size_t m) {
        return mode == Mode::ecb   ? A::ecb_init(&ecb, dir, key)
               : mode == Mode::cbc ? A::cbc_init(&cbc, dir, key, iv, m)
               : mode == Mode::ctr ? A::ctr_init(&ctr, dir, key, s, iv)
               : mode == Mode::ofb ? A::ofb_init(&ofb, dir, key, s, iv, m)
                                   : A::cfb_init(&cfb, dir, key, s, iv, m);
    }
    int update(const uint8_t* in, uint8_t* out, size_t len) {
        return mode == Mode::ecb   ? A::ecb(&ecb, in, out, len)
               : mode == Mode::cbc ? A::cbc(&cbc, in, out, len)
               : mode == Mode::ctr ? A::ctr(&ctr, in, out, len)
               : mode == Mode::ofb ? A::ofb(&ofb, in, out, len)
                                   : A::cfb(&cfb, in, out, len);
    }
};

const VectorFile& vectors() {
    return gost_test::block_cipher_vectors();
}

template <class C>
Bytes encrypt_block(const Bytes& key, const Bytes& in) {
    gostr3413::Ecb<C> e;
    Bytes out(in.size());
    EXPECT_EQ(0, Api<C>::ecb_init(&e, GOSTR3413_ENCRYPT, key.data()));
    EXPECT_EQ(0, Api<C>::ecb(&e, in.data(), out.data(), in.size()));
    return out;
}

// The mode formulas of the standard taken literally: a register that really shifts, a counter that
// really increments, one block at a time.
template <class C>
Bytes model(Mode mode, bool enc, const Bytes& key, const Bytes& iv, size_t s, const Bytes& in) {
    constexpr size_t n = C::block;
    Bytes out, reg = iv;
    if (mode == Mode::ctr) reg.resize(n, 0);  // IV || zeros, unless a whole counter is given
    for (size_t off = 0; off < in.size(); off += s) {
        const Bytes seg(in.begin() + off, in.begin() + std::min(in.size(), off + s));
        Bytes y = encrypt_block<C>(key, Bytes(reg.begin(), reg.begin() + n));
        Bytes res(seg.size());
        for (size_t i = 0; i < seg.size(); ++i) res[i] = seg[i] ^ y[i];
        out.insert(out.end(), res.begin(), res.end());
        if (seg.size() < s) break;  // a short final segment feeds nothing back
        if (mode == Mode::ctr) {
            for (size_t i = n; i-- > 0;)
                if (++reg[i] != 0) break;
        } else {
            const Bytes& fed = mode == Mode::ofb ? y : (enc ? res : seg);
            const size_t shift = mode == Mode::ofb ? n : s;
            reg.erase(reg.begin(), reg.begin() + shift);
            reg.insert(reg.end(), fed.begin(), fed.begin() + shift);
        }
    }
    return out;
}

// The cipher driver: msg in the given pieces (the last piece takes what is left), out of place
// and in place, which must agree (in place, the feedback modes must take each ciphertext into the
// register before the plaintext overwrites it); returns the output.
template <class C>
Bytes run(Mode mode, int dir, const Bytes& key, const Bytes& iv, size_t s, size_t m,
          const Bytes& msg, const std::vector<size_t>& pieces = {}) {
    AnyMode<C> ctx{mode}, same{mode};
    EXPECT_EQ(0, ctx.init(dir, key.data(), iv.data(), s, m));
    EXPECT_EQ(0, same.init(dir, key.data(), iv.data(), s, m));
    Bytes out(msg.size()), buf = msg;
    size_t off = 0;
    for (size_t i = 0; off < msg.size(); ++i) {
        const size_t p =
            i < pieces.size() ? std::min(pieces[i], msg.size() - off) : msg.size() - off;
        EXPECT_EQ(0, ctx.update(&msg[off], &out[off], p));
        EXPECT_EQ(0, same.update(&buf[off], &buf[off], p));
        off += p;
    }
    EXPECT_EQ(buf, out) << "in place";
    return out;
}

template <class C>
class ModesTest : public ::testing::Test {};
using Ciphers = ::testing::Types<Kuznechik, Magma>;
TYPED_TEST_SUITE(ModesTest, Ciphers);

}  // namespace

// Every example of the standard, in both directions and in place; the block-cipher inputs and
// outputs the standard prints for each step are checked too.
TYPED_TEST(ModesTest, StandardExamples) {
    using C = TypeParam;
    const std::string prefix = std::string(Api<C>::name) + "-";
    const std::pair<const char*, Mode> modes[] = {{"ecb", Mode::ecb},
                                                  {"cbc", Mode::cbc},
                                                  {"ctr", Mode::ctr},
                                                  {"ofb", Mode::ofb},
                                                  {"cfb", Mode::cfb}};
    size_t count = 0;
    for (auto [kind, mode] : modes) {
        count += vectors().each(
            [&, mode = mode](const VectorBlock& b) {
                SCOPED_TRACE(describe(b));
                const Bytes key = b.hex("key"), pt = b.hex("pt"), ct = b.hex("ct");
                const Bytes iv = mode == Mode::ecb ? Bytes{} : b.hex("iv");
                const size_t s = b.has("s") ? b.number("s") / 8 : C::block;
                const size_t m = b.has("m") ? b.number("m") / 8 : C::block;
                EXPECT_EQ(to_hex(run<C>(mode, GOSTR3413_ENCRYPT, key, iv, s, m, pt)), to_hex(ct));
                EXPECT_EQ(to_hex(run<C>(mode, GOSTR3413_DECRYPT, key, iv, s, m, ct)), to_hex(pt));
                for (int i = 1; b.has(field("in_", i)); ++i)
                    EXPECT_EQ(to_hex(encrypt_block<C>(key, b.hex(field("in_", i)))),
                              b.text(field("out_", i)));
            },
            prefix + kind);
    }
    EXPECT_EQ(count, 8u);
}

TYPED_TEST(ModesTest, MacExamples) {
    using C = TypeParam;
    using A = Api<C>;
    const size_t count = vectors().each(
        [&](const VectorBlock& b) {
            SCOPED_TRACE(describe(b));
            const Bytes key = b.hex("key"), pt = b.hex("pt"), want = b.hex("mac");
            ASSERT_EQ(want.size(), b.number("s") / 8);
            gostr3413::Mac<C> ctx;
            ASSERT_EQ(0, A::mac_init(&ctx, key.data(), want.size()));
            ASSERT_EQ(0, A::mac_update(&ctx, pt.data(), pt.size()));
            Bytes tag(want.size());
            ASSERT_EQ(0, A::mac_final(&ctx, tag.data()));
            EXPECT_EQ(tag, want);
            if (b.has("K1")) {
                EXPECT_EQ(to_hex(encrypt_block<C>(key, Bytes(C::block, 0))), b.text("R"));
                EXPECT_EQ(to_hex(ctx.k1, C::block), b.text("K1"));
                EXPECT_EQ(to_hex(ctx.k2, C::block), b.text("K2"));
                ASSERT_EQ(0, A::mac_init(&ctx, key.data(), C::block));
                ASSERT_EQ(0, A::mac_update(&ctx, pt.data(), pt.size()));
                Bytes full(C::block);
                ASSERT_EQ(0, A::mac_final(&ctx, full.data()));
                EXPECT_EQ(to_hex(full), b.text("mac_full_block"));
            }
        },
        std::string(A::name) + "-mac");
    EXPECT_EQ(count, 5u);
}

// A MAC of the empty message is E(K2 xor 80 00..00); final leaves the context usable.
TYPED_TEST(ModesTest, MacEmptyMessageFinalAndPieces) {
    using C = TypeParam;
    using A = Api<C>;
    std::mt19937 rng(7);
    const Bytes key = random_bytes(rng, 32), msg = random_bytes(rng, 5 * C::block);
    gostr3413::Mac<C> ctx;
    ASSERT_EQ(0, A::mac_init(&ctx, key.data(), C::block));
    ASSERT_EQ(0, A::mac_update(&ctx, msg.data(), 0));
    Bytes tag(C::block), blk(ctx.k2, ctx.k2 + C::block);
    ASSERT_EQ(0, A::mac_final(&ctx, tag.data()));
    blk[0] ^= 0x80;
    EXPECT_EQ(tag, encrypt_block<C>(key, blk));

    // The same context goes on byte by byte; after each byte its MAC is the one-call MAC.
    for (size_t len = 1; len <= msg.size(); ++len) {
        gostr3413::Mac<C> one;
        Bytes a(C::block), b(C::block);
        ASSERT_EQ(0, A::mac_init(&one, key.data(), C::block));
        ASSERT_EQ(0, A::mac_update(&one, msg.data(), len));
        ASSERT_EQ(0, A::mac_final(&one, a.data()));
        ASSERT_EQ(0, A::mac_update(&ctx, &msg[len - 1], 1));
        ASSERT_EQ(0, A::mac_final(&ctx, b.data()));
        EXPECT_EQ(a, b) << len;
    }
}

// Segment and register sizes beyond the examples (s < n, registers that wrap mid-block) agree with
// the literal model, and every mode gives the same result for one call and for random pieces
// (whole blocks for ECB and CBC, whose register carries from call to call).
TYPED_TEST(ModesTest, ModelAgreementAndSplitInvariance) {
    using C = TypeParam;
    constexpr size_t n = C::block;
    std::mt19937 rng(34132015);
    const Bytes key = random_bytes(rng, 32);
    const Bytes msg = random_bytes(rng, 7 * n + 5), blocks(msg.begin(), msg.begin() + 7 * n);
    for (Mode mode : {Mode::ecb, Mode::cbc, Mode::ctr, Mode::ofb, Mode::cfb}) {
        const bool blockwise = mode == Mode::ecb || mode == Mode::cbc;
        const Bytes& in = blockwise ? blocks : msg;
        for (size_t s : {size_t(1), size_t(3), n - 1, n}) {
            for (size_t m : {n, 2 * n, 4 * n}) {
                if ((blockwise && s != n) || ((mode == Mode::ctr || mode == Mode::ecb) && m != n))
                    continue;
                SCOPED_TRACE(testing::Message()
                             << "mode " << int(mode) << " s " << s << " m " << m);
                const Bytes iv = random_bytes(rng, mode == Mode::ctr ? n / 2 : m);
                const Bytes ct = run<C>(mode, GOSTR3413_ENCRYPT, key, iv, s, m, in);
                EXPECT_EQ(blockwise ? ct : model<C>(mode, true, key, iv, s, in), ct);
                EXPECT_EQ(run<C>(mode, GOSTR3413_DECRYPT, key, iv, s, m, ct), in);
                for (int trial = 0; trial < 4; ++trial) {
                    std::vector<size_t> pieces;
                    for (int i = 0; i < 8; ++i)
                        pieces.push_back(blockwise ? n * (1 + rng() % 3) : 1 + rng() % (2 * n));
                    EXPECT_EQ(run<C>(mode, GOSTR3413_ENCRYPT, key, iv, s, m, in, pieces), ct);
                    EXPECT_EQ(run<C>(mode, GOSTR3413_DECRYPT, key, iv, s, m, ct, pieces), in);
                }
            }
        }
    }
}

// The counter is one n-byte big-endian number: carries run through every byte and it wraps at
// 2^(8n). Started (white-box) just below the wrap, a piecewise run matches the literal model.
TYPED_TEST(ModesTest, CtrCounterCarriesAndWraps) {
    using C = TypeParam;
    using A = Api<C>;
    constexpr size_t n = C::block;
    std::mt19937 rng(5);
    const Bytes key = random_bytes(rng, 32), msg = random_bytes(rng, 5 * n + 3);
    Bytes start(n, 0xff);
    start[n - 1] = 0xfd;
    gostr3413::Ctr<C> ctx;
    ASSERT_EQ(0, A::ctr_init(&ctx, GOSTR3413_ENCRYPT, key.data(), n, start.data()));
    std::memcpy(ctx.counter, start.data(), n);
    Bytes out(msg.size());
    ASSERT_EQ(0, A::ctr(&ctx, msg.data(), out.data(), n + 1));
    ASSERT_EQ(0, A::ctr(&ctx, &msg[n + 1], &out[n + 1], msg.size() - n - 1));
    EXPECT_EQ(out, model<C>(Mode::ctr, true, key, start, n, msg));
}

// Re-keying from the context's own copies of key and IV (as a cipher wrapper that keeps only the
// context might do) must read them before the context is rebuilt.
TYPED_TEST(ModesTest, ReinitFromTheContextsOwnKeyAndIv) {
    using C = TypeParam;
    using A = Api<C>;
    constexpr size_t n = C::block;
    std::mt19937 rng(3);
    const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 2 * n);
    gostr3413::Cbc<C> fresh, reused;
    ASSERT_EQ(0, A::cbc_init(&fresh, GOSTR3413_ENCRYPT, key.data(), iv.data(), 2 * n));
    ASSERT_EQ(0, A::cbc_init(&reused, GOSTR3413_ENCRYPT, key.data(), iv.data(), 2 * n));
    ASSERT_EQ(0, A::cbc_init(&reused, GOSTR3413_ENCRYPT, reused.c.key, reused.reg, 2 * n));
    EXPECT_EQ(0, std::memcmp(&fresh, &reused, sizeof fresh));
    gostr3413::Mac<C> mac, mac2;
    ASSERT_EQ(0, A::mac_init(&mac, key.data(), n));
    ASSERT_EQ(0, A::mac_init(&mac2, key.data(), n));
    ASSERT_EQ(0, A::mac_init(&mac2, mac2.c.key, n));
    EXPECT_EQ(0, std::memcmp(&mac, &mac2, sizeof mac));
}

// The limits of the initialisations: register lengths (the engine's IV lengths) and segment and
// MAC lengths, accepted and refused, with the context untouched on refusal.
TYPED_TEST(ModesTest, ParameterLimits) {
    using C = TypeParam;
    using A = Api<C>;
    constexpr size_t n = C::block, max = C::max_register;
    const uint8_t key[32] = {};
    uint8_t iv[512] = {};
    for (Mode mode : {Mode::cbc, Mode::ofb, Mode::cfb}) {
        SCOPED_TRACE(int(mode));
        AnyMode<C> ctx{mode};
        for (size_t m = n; m <= 32; m += n)
            EXPECT_EQ(0, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, m)) << m;
        EXPECT_EQ(0, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, max));
        std::memset(&ctx.cbc, 0xa5, sizeof ctx.cbc);
        std::memset(&ctx.ofb, 0xa5, sizeof ctx.ofb);
        std::memset(&ctx.cfb, 0xa5, sizeof ctx.cfb);
        const AnyMode<C> before = ctx;
        EXPECT_EQ(-4, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, 0));
        EXPECT_EQ(-6, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, n - 1));
        EXPECT_EQ(-6, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, n + n / 2));
        EXPECT_EQ(-4, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, max + n));
        EXPECT_EQ(-4, ctx.init(2, key, iv, n, n));
        EXPECT_EQ(-1, ctx.init(GOSTR3413_ENCRYPT, key, nullptr, n, n));
        EXPECT_EQ(-1, ctx.init(GOSTR3413_ENCRYPT, nullptr, iv, n, n));
        if (mode != Mode::cbc) {
            EXPECT_EQ(-4, ctx.init(GOSTR3413_ENCRYPT, key, iv, 0, n));
            EXPECT_EQ(-4, ctx.init(GOSTR3413_ENCRYPT, key, iv, n + 1, n));
        }
        EXPECT_EQ(0, std::memcmp(&before.cbc, &ctx.cbc, sizeof ctx.cbc));
        EXPECT_EQ(0, std::memcmp(&before.ofb, &ctx.ofb, sizeof ctx.ofb));
        EXPECT_EQ(0, std::memcmp(&before.cfb, &ctx.cfb, sizeof ctx.cfb));
    }
    gostr3413::Ctr<C> ctr;
    EXPECT_EQ(-4, A::ctr_init(&ctr, GOSTR3413_ENCRYPT, key, 0, iv));
    EXPECT_EQ(-4, A::ctr_init(&ctr, GOSTR3413_ENCRYPT, key, n + 1, iv));
    EXPECT_EQ(-1, A::ctr_init(nullptr, GOSTR3413_ENCRYPT, key, n, iv));
    gostr3413::Mac<C> mac;
    EXPECT_EQ(-4, A::mac_init(&mac, key, 0));
    EXPECT_EQ(-4, A::mac_init(&mac, key, n + 1));
    EXPECT_EQ(0, A::mac_init(&mac, key, 1));
    gostr3413::Ecb<C> ecb;
    EXPECT_EQ(-1, A::ecb_init(&ecb, GOSTR3413_ENCRYPT, nullptr));
}

TYPED_TEST(ModesTest, ProcessingResultCodes) {
    using C = TypeParam;
    using A = Api<C>;
    constexpr size_t n = C::block;
    const uint8_t key[32] = {}, iv[2 * n] = {};
    uint8_t buf[3 * n] = {};
    for (Mode mode : {Mode::ecb, Mode::cbc, Mode::ctr, Mode::ofb, Mode::cfb}) {
        SCOPED_TRACE(int(mode));
        AnyMode<C> ctx{mode};  // cleared, never initialised
        EXPECT_EQ(-152, ctx.update(buf, buf, n));
        ASSERT_EQ(0, ctx.init(GOSTR3413_ENCRYPT, key, iv, n, 2 * n));
        EXPECT_EQ(-4, ctx.update(buf, buf, 0));
        EXPECT_EQ(-1, ctx.update(nullptr, buf, n));
        EXPECT_EQ(-1, ctx.update(buf, nullptr, n));
        const bool whole_blocks = mode == Mode::ecb || mode == Mode::cbc;
        EXPECT_EQ(whole_blocks ? -6 : 0, ctx.update(buf, buf, n + n / 2));
    }
    gostr3413::Mac<C> mac{};
    uint8_t tag[n];
    EXPECT_EQ(-152, A::mac_update(&mac, buf, 1));
    EXPECT_EQ(-152, A::mac_final(&mac, tag));
    ASSERT_EQ(0, A::mac_init(&mac, key, n));
    EXPECT_EQ(-1, A::mac_update(&mac, nullptr, 1));
    EXPECT_EQ(-1, A::mac_final(&mac, nullptr));
    EXPECT_EQ(-1, A::mac_update(nullptr, buf, 1));
}

namespace {

// Every public initialisation of one cipher, on contexts filled with a pattern; returns the codes.
template <class C>
std::vector<int> init_all(bool* untouched) {
    using A = Api<C>;
    constexpr size_t n = C::block;
    const uint8_t key[32] = {}, iv[2 * n] = {};
    AnyMode<C> ctx{Mode::ecb};
    gostr3413::Mac<C> mac;
    std::memset(static_cast<void*>(&ctx), 0x5a, sizeof ctx);
    std::memset(static_cast<void*>(&mac), 0x5a, sizeof mac);
    std::vector<int> rc;
    for (Mode mode : {Mode::ecb, Mode::cbc, Mode::ctr, Mode::ofb, Mode::cfb}) {
        ctx.mode = mode;
        rc.push_back(ctx.init(GOSTR3413_DECRYPT, key, iv, n, 2 * n));
    }
    rc.push_back(A::mac_init(&mac, key, n));
    if (untouched) {
        auto all_pattern = [](const auto& c) {
            const auto* p = reinterpret_cast<const uint8_t*>(&c);
            return std::all_of(p, p + sizeof c, [](uint8_t v) { return v == 0x5a; });
        };
        *untouched = all_pattern(ctx.ecb) && all_pattern(ctx.cbc) && all_pattern(ctx.ctr) &&
                     all_pattern(ctx.ofb) && all_pattern(ctx.cfb) && all_pattern(mac);
    }
    return rc;
}

}  // namespace

// One changed byte of pi (Kuznyechik) or one changed S-box entry (Magma) makes every initialisation
// of that cipher fail its self-test and leave the context alone, and does not touch the other
// cipher. The damaged values are ones every self-test meets: the example key's schedule, shared by
// all Kuznyechik tests, starts with K1 xor C1 = e63bdcc9...; Magma's first S-box row sees every
// nibble value within the examples' rounds.
TEST(SelfTests, DamagedTableFailsOnlyItsOwnCipher) {
    const std::vector<int> ok(6, 0), failed(6, GOSTR3413_ERR_SELFTEST);
    EXPECT_EQ(init_all<Kuznechik>(nullptr), ok);
    EXPECT_EQ(init_all<Magma>(nullptr), ok);

    auto kuz = std::make_unique<kuznechik_tables>(kuznechik_builtin_tables());
    kuz->pi[0xe6] = kuz->pi[0x17];  // pi(e6) := pi(17), as the derived tables would then be
    for (auto& position : kuz->ls) std::memcpy(position[0xe6], position[0x17], 16);
    kuznechik_use_tables_for_testing(kuz.get());
    bool untouched = false;
    EXPECT_EQ(init_all<Kuznechik>(&untouched), failed);
    EXPECT_TRUE(untouched);
    EXPECT_EQ(init_all<Magma>(nullptr), ok);
    kuznechik_use_tables_for_testing(nullptr);

    auto mag = std::make_unique<magma_tables>(magma_builtin_tables());
    for (int b = 5; b < 256; b += 16) mag->t[0][b] ^= 3u << 11;  // S-box row 1: S(5) ^= 3
    magma_use_tables_for_testing(mag.get());
    EXPECT_EQ(init_all<Magma>(&untouched), failed);
    EXPECT_TRUE(untouched);
    EXPECT_EQ(init_all<Kuznechik>(nullptr), ok);
    magma_use_tables_for_testing(nullptr);

    EXPECT_EQ(init_all<Kuznechik>(nullptr), ok);
    EXPECT_EQ(init_all<Magma>(nullptr), ok);
}
