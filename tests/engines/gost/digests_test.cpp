// The GOST digests as the crypto library sees them once the engines are loaded.
#include <gcrypt.h>
#include <openssl/hmac.h>

#include <algorithm>

#include "engine_env.h"
#include "engines/gost/gost_digests.h"

using namespace engine_tests;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using GostDigests = EngineTest;

Bytes message(const VectorBlock& b) {
    if (b.has("msg")) return b.hex("msg");
    Bytes m(b.number("msg_len"));
    const std::string fill = b.text("msg_fill");
    for (size_t i = 0; i < m.size(); ++i)
        m[i] = fill == "counter" ? static_cast<uint8_t>(i) : testing_support::from_hex(fill)[0];
    return m;
}

Bytes evp_digest(const EVP_MD* md, const Bytes& msg) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(msg.data(), msg.size(), out.data(), &len, md, nullptr), 1);
    out.resize(len);
    return out;
}

std::string hmac(const EVP_MD* md, const Bytes& key, const Bytes& msg) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_NE(HMAC(md, key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out, &len),
              nullptr);
    return to_hex(out, len);
}

// Every published digest and HMAC, each digest found by name (the engine's own table) and by
// number. The 34.11-94 digest of the engine runs over the CryptoPro set only.
TEST_F(GostDigests, FoundByNameAndNumberAndMatchTheVectors) {
    const EVP_MD* const ours[] = {tvk_digest_256(), tvk_digest_512(), tvk_digest_94()};
    size_t n = 0;
    for (const char* file : {"streebog.txt", "gostr3411_94.txt"}) {
        VectorFile(file).each([&](const VectorBlock& b) {
            SCOPED_TRACE(b.text("name"));
            (void)b.text("digest_rfc");
            const Bytes msg = message(b);
            const std::string digest = b.text("digest");
            const std::string alg = b.has("alg") ? b.text("alg") : b.text("paramset");
            if (alg != "cryptopro" && !b.has("alg")) return;  // the hash library covers those
            const char* name = alg == "streebog256"   ? "md_gost12_256"
                               : alg == "streebog512" ? "md_gost12_512"
                                                      : "md_gost94";
            const EVP_MD* md = EVP_get_digestbyname(name);
            ASSERT_NE(md, nullptr);
            EXPECT_NE(std::find(std::begin(ours), std::end(ours), md), std::end(ours));
            EXPECT_EQ(EVP_get_digestbynid(EVP_MD_get_type(md)), md);
            EXPECT_EQ(to_hex(evp_digest(md, msg)), digest);
            ++n;
        });
    }
    EXPECT_EQ(n, 31u);
    VectorFile("hmac_gostr3411_94.txt").each([&](const VectorBlock& b) {
        SCOPED_TRACE(b.text("name"));
        EXPECT_EQ(hmac(tvk_digest_94(), b.hex("key"), b.hex("msg")), b.text("mac"));
    });
    const size_t macs = VectorFile("streebog_hmac_kdf.txt")
                            .each(
                                [](const VectorBlock& b) {
                                    SCOPED_TRACE(b.text("name"));
                                    const EVP_MD* md = b.number("hmac_len") == 32
                                                           ? tvk_digest_256()
                                                           : tvk_digest_512();
                                    EXPECT_EQ(hmac(md, b.hex("key"), b.hex("msg")), b.text("out"));
                                },
                                "hmac");
    EXPECT_GE(macs, 4u);
}

// Copy in mid-stream, every split point of the first two blocks, reuse after final.
TEST_F(GostDigests, StreamingContract) {
    Bytes msg(200);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i * 7 + 1);
    for (const EVP_MD* md : {tvk_digest_94(), tvk_digest_256(), tvk_digest_512()}) {
        const Bytes whole = evp_digest(md, msg);
        for (size_t split = 0; split <= 129; ++split) {
            ossl::MdCtx a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
            Bytes da(EVP_MD_get_size(md)), db(EVP_MD_get_size(md));
            ASSERT_EQ(EVP_DigestInit_ex(a.get(), md, nullptr), 1);
            ASSERT_EQ(EVP_DigestUpdate(a.get(), msg.data(), split), 1);
            ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
            for (EVP_MD_CTX* c : {a.get(), b.get()})
                ASSERT_EQ(EVP_DigestUpdate(c, msg.data() + split, msg.size() - split), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(a.get(), da.data(), nullptr), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(b.get(), db.data(), nullptr), 1);
            ASSERT_EQ(da, whole) << "split " << split;
            ASSERT_EQ(db, whole) << "copy at " << split;
            ASSERT_EQ(EVP_DigestInit_ex(a.get(), md, nullptr), 1);
            ASSERT_EQ(EVP_DigestUpdate(a.get(), msg.data(), msg.size()), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(a.get(), da.data(), nullptr), 1);
            ASSERT_EQ(da, whole) << "reuse after final";
        }
    }
}

TEST_F(GostDigests, SlotsHandleNullOutputAndCleanupReinitialises) {
    const EVP_MD* md = tvk_digest_256();
    ossl::MdCtx ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    ASSERT_EQ(EVP_DigestUpdate(ctx.get(), "abc", 3), 1);
    // Success would tell the caller a digest was written where there is no room for one.
    EXPECT_EQ(EVP_MD_meth_get_final(md)(ctx.get(), nullptr), 0);
    // Cleanup leaves a fresh state: finishing now gives the digest of nothing.
    ASSERT_EQ(EVP_MD_meth_get_cleanup(md)(ctx.get()), 1);
    Bytes out(32);
    ASSERT_EQ(EVP_MD_meth_get_final(md)(ctx.get(), out.data()), 1);
    EXPECT_EQ(to_hex(out), "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb");
}

// The library takes 32-bit lengths: 4 GiB and more must be fed in pieces, never wrapped.
TEST_F(GostDigests, LongUpdatesAreFedInPiecesNeverTruncated) {
    static_assert(engines::detail::kUpdatePiece <= 0xffffffffu);
    std::vector<std::pair<size_t, uint32_t>> calls;
    const uint8_t data[10] = {};
    auto feed = [&](int fail_at) {
        calls.clear();
        return engines::detail::update_in_pieces(data, 10, 4, [&](const uint8_t* p, uint32_t n) {
            calls.emplace_back(static_cast<size_t>(p - data), n);
            return static_cast<int>(calls.size()) == fail_at ? -5 : 0;
        });
    };
    EXPECT_EQ(feed(0), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<size_t, uint32_t>>{{0, 4}, {4, 4}, {8, 2}}));
    EXPECT_EQ(feed(2), -5) << "a failing piece stops the feed and its code comes back";
    EXPECT_EQ(calls.size(), 2u);
}

// No published PBKDF2 vector with these digests exists; libgcrypt is the independent peer.
TEST_F(GostDigests, Pbkdf2MatchesLibgcrypt) {
    const std::string pass = "password", salt = "salt";
    for (auto [md, algo] : {std::pair{tvk_digest_256(), GCRY_MD_STRIBOG256},
                            {tvk_digest_512(), GCRY_MD_STRIBOG512}}) {
        Bytes ours(96), peer(96);
        ASSERT_EQ(PKCS5_PBKDF2_HMAC(pass.data(), 8, reinterpret_cast<const uint8_t*>(salt.data()),
                                    4, 2000, md, 96, ours.data()),
                  1);
        ASSERT_EQ(gcry_kdf_derive(pass.data(), 8, GCRY_KDF_PBKDF2, algo, salt.data(), 4, 2000, 96,
                                  peer.data()),
                  0);
        EXPECT_EQ(ours, peer);
    }
}

}  // namespace

namespace {

Bytes state_bytes(const EVP_MD_CTX* ctx) {
    const auto* p = static_cast<const uint8_t*>(EVP_MD_CTX_md_data(ctx));
    const int n = EVP_MD_meth_get_app_datasize(EVP_MD_CTX_get0_md(ctx));
    return p != nullptr && n > 0 ? Bytes(p, p + n) : Bytes{};
}

// A copy is a whole context of its own: HMAC and PBKDF2 copy a context and the crypto library
// wipes and frees the source at once. The copy slot is also called directly, into a context
// that holds another message. Clean-up leaves a fresh state and nothing of the message.
TEST_F(GostDigests, CopiesStandAloneAndCleanupLeavesOnlyAFreshState) {
    Bytes msg(150), other(33, 0xff);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(0xc3 ^ i);
    for (const EVP_MD* md : {tvk_digest_94(), tvk_digest_256(), tvk_digest_512()}) {
        SCOPED_TRACE(EVP_MD_get0_name(md));
        const Bytes whole = evp_digest(md, msg);
        auto started = [&](const Bytes& m, size_t n) {
            ossl::MdCtx c(EVP_MD_CTX_new());
            EXPECT_EQ(EVP_DigestInit_ex(c.get(), md, nullptr), 1);
            EXPECT_EQ(EVP_DigestUpdate(c.get(), m.data(), n), 1);
            return c;
        };
        auto finished = [&](EVP_MD_CTX* c) {
            Bytes out(EVP_MD_get_size(md));
            EXPECT_EQ(EVP_DigestUpdate(c, msg.data() + 70, msg.size() - 70), 1);
            EXPECT_EQ(EVP_DigestFinal_ex(c, out.data(), nullptr), 1);
            return out;
        };
        ossl::MdCtx a = started(msg, 70), b(EVP_MD_CTX_new());
        ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
        a.reset();
        EXPECT_EQ(finished(b.get()), whole) << "copy after its source was freed";

        ossl::MdCtx c = started(msg, 70), d = started(other, other.size());
        ASSERT_EQ(EVP_MD_meth_get_copy(md)(d.get(), c.get()), 1);
        EXPECT_EQ(finished(d.get()), whole) << "the copy slot into a used context";
        EXPECT_EQ(finished(c.get()), whole) << "the source after the copy slot";

        ossl::MdCtx fresh = started(msg, 0), used = started(msg, msg.size());
        ASSERT_EQ(EVP_MD_meth_get_cleanup(md)(used.get()), 1);
        EXPECT_EQ(to_hex(state_bytes(used.get())), to_hex(state_bytes(fresh.get())));
    }
}

// The path a GOST-protected PKCS#12 profile takes: PBKDF2 over HMAC-GOST R 34.11-94.
TEST_F(GostDigests, Pbkdf2WithGostR341194MatchesLibgcrypt) {
    const std::string pass = "profile password", salt = "8-bytes!";
    Bytes ours(40), peer(40);
    ASSERT_EQ(PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()),
                                reinterpret_cast<const uint8_t*>(salt.data()), 8, 1000,
                                tvk_digest_94(), 40, ours.data()),
              1);
    ASSERT_EQ(gcry_kdf_derive(pass.data(), pass.size(), GCRY_KDF_PBKDF2, GCRY_MD_GOSTR3411_CP,
                              salt.data(), 8, 1000, 40, peer.data()),
              0);
    EXPECT_EQ(ours, peer);
}

}  // namespace
