// The GOST digests as the crypto library sees them once the engines are loaded.
#include <gcrypt.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/x509.h>

#include <string>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/gost/gost_digests.h"

using testing_support::Bytes;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

class GostDigests : public ::testing::Test {
  protected:
    void SetUp() override { engine_tests::load_engines(); }
};

const char* md_name(const std::string& alg) {
    return alg == "streebog256" ? "md_gost12_256" : "md_gost12_512";
}

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

TEST_F(GostDigests, FoundByNameAndNumberAndMatchTheVectors) {
    const size_t n = VectorFile("streebog.txt").each([](const VectorBlock& b) {
        SCOPED_TRACE(b.text("name"));
        const EVP_MD* md = EVP_get_digestbyname(md_name(b.text("alg")));
        ASSERT_NE(md, nullptr);
        EXPECT_EQ(EVP_get_digestbynid(EVP_MD_get_type(md)), md);
        (void)b.text("digest_rfc");
        EXPECT_EQ(to_hex(evp_digest(md, message(b))), b.text("digest"));
    });
    EXPECT_EQ(n, 22u);
}

// The engine's GOST R 34.11-94 runs over the CryptoPro parameter set.
TEST_F(GostDigests, Gost94MatchesTheCryptoProVectors) {
    const EVP_MD* md = EVP_get_digestbyname("md_gost94");
    ASSERT_NE(md, nullptr);
    EXPECT_EQ(md, tvk_digest_94());
    EXPECT_EQ(EVP_MD_get_size(md), 32);
    EXPECT_EQ(EVP_MD_get_block_size(md), 32);
    size_t n = 0;
    VectorFile("gostr3411_94.txt").each([&](const VectorBlock& b) {
        (void)b.text("digest_rfc");
        const std::string name = b.text("name");
        const Bytes msg = message(b);
        const std::string digest = b.text("digest");
        if (b.text("paramset") != "cryptopro") return;  // the hash library's own tests cover these
        SCOPED_TRACE(name);
        EXPECT_EQ(to_hex(evp_digest(md, msg)), digest);
        ++n;
    });
    EXPECT_EQ(n, 9u);
    VectorFile("hmac_gostr3411_94.txt").each([&](const VectorBlock& b) {
        SCOPED_TRACE(b.text("name"));
        const Bytes key = b.hex("key"), msg = b.hex("msg");
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        ASSERT_NE(
            HMAC(md, key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), out, &len),
            nullptr);
        EXPECT_EQ(to_hex(out, len), b.text("mac"));
    });
}

TEST_F(GostDigests, SizesAndIdentifiers) {
    const EVP_MD* md256 = EVP_get_digestbyname("md_gost12_256");
    const EVP_MD* md512 = EVP_get_digestbyname("md_gost12_512");
    ASSERT_NE(md256, nullptr);
    ASSERT_NE(md512, nullptr);
    EXPECT_EQ(EVP_MD_get_type(md256), objmap::nid(objmap::Obj::md_gost12_256));
    EXPECT_EQ(EVP_MD_get_type(md512), objmap::nid(objmap::Obj::md_gost12_512));
    EXPECT_EQ(EVP_MD_get_size(md256), 32);
    EXPECT_EQ(EVP_MD_get_size(md512), 64);
    EXPECT_EQ(EVP_MD_get_block_size(md256), 64);
    EXPECT_EQ(EVP_MD_get_block_size(md512), 64);
    // The name lookup must hand out the engine's table, so the hash runs in our code.
    EXPECT_EQ(md256, tvk_digest_256());
}

// Copy in mid-stream, every split point of the first two blocks, reuse after final.
TEST_F(GostDigests, StreamingContract) {
    Bytes msg(200);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i * 7 + 1);
    for (const EVP_MD* md : {tvk_digest_94(), tvk_digest_256(), tvk_digest_512()}) {
        const Bytes whole = evp_digest(md, msg);
        for (size_t split = 0; split <= 129; ++split) {
            ossl::MdCtx a(EVP_MD_CTX_new());
            ossl::MdCtx b(EVP_MD_CTX_new());
            ASSERT_EQ(EVP_DigestInit_ex(a.get(), md, nullptr), 1);
            ASSERT_EQ(EVP_DigestUpdate(a.get(), msg.data(), split), 1);
            ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
            Bytes da(EVP_MD_get_size(md)), db(EVP_MD_get_size(md));
            ASSERT_EQ(EVP_DigestUpdate(a.get(), msg.data() + split, msg.size() - split), 1);
            ASSERT_EQ(EVP_DigestUpdate(b.get(), msg.data() + split, msg.size() - split), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(a.get(), da.data(), nullptr), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(b.get(), db.data(), nullptr), 1);
            ASSERT_EQ(da, whole) << "split " << split;
            ASSERT_EQ(db, whole) << "copy at " << split;
            // Reuse after final: a fresh init on the same context.
            ASSERT_EQ(EVP_DigestInit_ex(a.get(), md, nullptr), 1);
            ASSERT_EQ(EVP_DigestUpdate(a.get(), msg.data(), msg.size()), 1);
            ASSERT_EQ(EVP_DigestFinal_ex(a.get(), da.data(), nullptr), 1);
            ASSERT_EQ(da, whole);
        }
    }
}

TEST_F(GostDigests, SlotsHandleNullOutputAndCleanupReinitialises) {
    const EVP_MD* md = tvk_digest_256();
    ossl::MdCtx ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    ASSERT_EQ(EVP_DigestUpdate(ctx.get(), "abc", 3), 1);
    // Final with no output buffer succeeds and writes nothing.
    EXPECT_EQ(EVP_MD_meth_get_final(md)(ctx.get(), nullptr), 1);
    // Cleanup leaves a fresh state: finishing now gives the digest of nothing.
    ASSERT_EQ(EVP_MD_meth_get_cleanup(md)(ctx.get()), 1);
    Bytes out(32);
    ASSERT_EQ(EVP_MD_meth_get_final(md)(ctx.get(), out.data()), 1);
    EXPECT_EQ(to_hex(out), "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb");
}

TEST_F(GostDigests, LongUpdatesAreFedInPiecesNeverTruncated) {
    std::vector<std::pair<size_t, uint32_t>> calls;
    const uint8_t data[10] = {};
    const int rc =
        engines::detail::update_in_pieces(data, 10, 4, [&](const uint8_t* p, uint32_t n) {
            calls.emplace_back(static_cast<size_t>(p - data), n);
            return 0;
        });
    EXPECT_EQ(rc, 0);
    const std::vector<std::pair<size_t, uint32_t>> expected{{0, 4}, {4, 4}, {8, 2}};
    EXPECT_EQ(calls, expected);
    // The production piece fits the library's 32-bit length, so 4 GiB and more never wrap.
    static_assert(engines::detail::kUpdatePiece <= 0xffffffffu);
    // A failing piece stops the feed and its code comes back.
    calls.clear();
    EXPECT_EQ(engines::detail::update_in_pieces(data, 10, 4,
                                                [&](const uint8_t*, uint32_t n) {
                                                    calls.emplace_back(0, n);
                                                    return calls.size() == 2 ? -5 : 0;
                                                }),
              -5);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(GostDigests, HmacThroughTheCryptoLibraryMatchesTheVectors) {
    const size_t n = VectorFile("streebog_hmac_kdf.txt")
                         .each(
                             [](const VectorBlock& b) {
                                 SCOPED_TRACE(b.text("name"));
                                 const EVP_MD* md = b.number("hmac_len") == 32 ? tvk_digest_256()
                                                                               : tvk_digest_512();
                                 const Bytes key = b.hex("key"), msg = b.hex("msg");
                                 unsigned char out[EVP_MAX_MD_SIZE];
                                 unsigned int len = 0;
                                 ASSERT_NE(HMAC(md, key.data(), static_cast<int>(key.size()),
                                                msg.data(), msg.size(), out, &len),
                                           nullptr);
                                 EXPECT_EQ(to_hex(out, len), b.text("out"));
                             },
                             "hmac");
    EXPECT_GE(n, 4u);
}

// No published PBKDF2 vector with these digests exists; libgcrypt is the independent peer.
TEST_F(GostDigests, Pbkdf2MatchesLibgcrypt) {
    const std::string pass = "password";
    const Bytes salt = testing_support::from_hex("73616c74");
    for (auto [md, algo] : {std::pair{tvk_digest_256(), GCRY_MD_STRIBOG256},
                            {tvk_digest_512(), GCRY_MD_STRIBOG512}}) {
        Bytes ours(96), peer(96);
        ASSERT_EQ(PKCS5_PBKDF2_HMAC(pass.data(), static_cast<int>(pass.size()), salt.data(),
                                    static_cast<int>(salt.size()), 2000, md,
                                    static_cast<int>(ours.size()), ours.data()),
                  1);
        ASSERT_EQ(gcry_kdf_derive(pass.data(), pass.size(), GCRY_KDF_PBKDF2, algo, salt.data(),
                                  salt.size(), 2000, peer.size(), peer.data()),
                  0);
        EXPECT_EQ(to_hex(ours), to_hex(peer));
    }
}

TEST_F(GostDigests, CertificateDigestReachesTheEngine) {
    // Any certificate will do; libgcrypt hashes its DER for comparison.
    ossl::X509Ptr cert = engine_tests::make_test_cert();
    ASSERT_TRUE(cert);
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert.get(), &der);
    ASSERT_GT(len, 0);
    ossl::Bytes owner(der);
    Bytes peer(64);
    gcry_md_hash_buffer(GCRY_MD_STRIBOG512, peer.data(), der, static_cast<size_t>(len));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int out_len = 0;
    ASSERT_EQ(X509_digest(cert.get(), tvk_digest_512(), out, &out_len), 1);
    EXPECT_EQ(to_hex(out, out_len), to_hex(peer));
}

}  // namespace
