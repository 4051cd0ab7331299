// GOST 28147-89 ciphers and MAC of the "gost" engine, driven through the crypto library's EVP
// interfaces as every caller drives them.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <string>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "engine_env.h"
#include "engines/gost/gost_asn1_types.h"
#include "engines/gost/gost_ciphers.h"

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using engine_tests::CipherCtx;
using engine_tests::counter_bytes;
using MdCtx = ossl::MdCtx;
using Gost89 = engine_tests::EngineTest;

const VectorBlock& vector(const std::string& name) {
    static const VectorFile file("gost28147.txt");
    for (const auto& b : file.blocks())
        if (b.text("name") == name) return b;
    throw std::runtime_error("no vector " + name);
}

std::string sha256_hex(const Bytes& b) {
    unsigned char md[32];
    unsigned int n = 0;
    EVP_Digest(b.data(), b.size(), md, &n, EVP_sha256(), nullptr);
    return to_hex(md, n);
}

int nid_of_oid(const std::string& oid) {
    return OBJ_txt2nid(oid.c_str());
}

// A context keyed for the given parameter set (0: the engine's default) the way the crypto
// library's PKCS#7 code sets one up: key-less init, parameters, then key and IV.
CipherCtx keyed(const char* cipher, const Bytes& key, const Bytes& iv, int enc, int param_nid = 0) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const EVP_CIPHER* c = EVP_get_cipherbyname(cipher);
    EXPECT_NE(c, nullptr) << cipher;
    EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), c, nullptr, nullptr, nullptr, enc), 1);
    if (param_nid != 0) {
        EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_nid, nullptr), 1);
    }
    EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(),
                                iv.empty() ? nullptr : iv.data(), enc),
              1);
    return ctx;
}

// Runs the input through in pieces of the given sizes (cycled), checking each reported length.
Bytes run(EVP_CIPHER_CTX* ctx, const Bytes& in, std::initializer_list<size_t> pieces = {SIZE_MAX}) {
    Bytes out(in.size());
    size_t done = 0;
    for (auto it = pieces.begin(); done < in.size(); ++it) {
        if (it == pieces.end()) it = pieces.begin();
        const size_t n = std::min(*it, in.size() - done);
        int outl = -1;
        EXPECT_EQ(
            EVP_CipherUpdate(ctx, out.data() + done, &outl, in.data() + done, static_cast<int>(n)),
            1);
        EXPECT_EQ(outl, static_cast<int>(n));
        done += n;
    }
    int fin = -1;
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data(), &fin), 1);
    EXPECT_EQ(fin, 0);
    return out;
}

Bytes mac(const Bytes& key, const Bytes& iv, const Bytes& msg, int param_nid = 0) {
    MdCtx ctx(EVP_MD_CTX_new());
    EXPECT_EQ(EVP_DigestInit(ctx.get(), tvk_imit_gost89()), 1);
    if (param_nid != 0) {
        EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_nid, nullptr), 1);
    }
    EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_KEY, 32, const_cast<uint8_t*>(key.data())),
              1);
    if (!iv.empty()) {
        EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, 8, const_cast<uint8_t*>(iv.data())),
                  1);
    }
    // Feeding in two uneven halves checks that partial blocks carry over.
    const size_t half = msg.size() / 2 + 1 < msg.size() ? msg.size() / 2 + 1 : msg.size();
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), msg.data(), half), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), msg.data() + half, msg.size() - half), 1);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &n), 1);
    out.resize(n);
    return out;
}

TEST_F(Gost89, CfbAndCounterWithKeyMeshingMatchTheVectorsInAnyPieces) {
    for (const char* name : {"cfb-cryptopro-a-mesh-4100", "cnt-cryptopro-a-mesh-4100"}) {
        SCOPED_TRACE(name);
        const VectorBlock& v = vector(name);
        const char* cipher = v.text("kind") == "cfb" ? "gost89" : "gost89-cnt";
        const EVP_CIPHER* c = EVP_get_cipherbyname(cipher);
        EXPECT_EQ(EVP_get_cipherbynid(EVP_CIPHER_get_nid(c)), c);  // PKCS#7 finds it by number
        const int param = nid_of_oid(v.text("sbox"));
        const Bytes pt = counter_bytes(v.number("pt_len"));
        auto enc = keyed(cipher, v.hex("key"), v.hex("iv"), 1, param);
        const Bytes ct = run(enc.get(), pt, {1, 7, 13, 1024, 3});
        EXPECT_EQ(sha256_hex(ct), v.text("ct_sha256"));
        EXPECT_EQ(to_hex(ct.data(), 32), v.text("ct_first32"));
        auto dec = keyed(cipher, v.hex("key"), v.hex("iv"), 0, param);
        EXPECT_EQ(run(dec.get(), ct, {4096, 4}), pt);
    }
}

TEST_F(Gost89, EcbMatchesThePublishedKeyWrapAndCbcChainsOverEcb) {
    const VectorBlock& v = vector("rfc7836-keywrap-ecb");
    auto ecb = keyed("gost89-ecb", v.hex("key"), {}, 1);  // the default set is param-Z
    EXPECT_EQ(to_hex(run(ecb.get(), v.hex("pt"), {8, 24})), v.text("ct"));

    const Bytes key = v.hex("key"), iv = from_hex("0102030405060708"), pt = counter_bytes(48);
    auto cbc = keyed("gost89-cbc", key, iv, 1);
    const Bytes ct = run(cbc.get(), pt, {16, 32});
    Bytes chain = iv;
    for (size_t i = 0; i < pt.size(); i += 8) {
        Bytes block(8);
        for (size_t j = 0; j < 8; ++j) block[j] = pt[i + j] ^ chain[j];
        auto one = keyed("gost89-ecb", key, {}, 1);
        chain = run(one.get(), block);
        EXPECT_EQ(Bytes(ct.begin() + i, ct.begin() + i + 8), chain) << "block " << i / 8;
    }
    auto back = keyed("gost89-cbc", key, iv, 0);
    EXPECT_EQ(run(back.get(), ct), pt);
}

// gost89 switches mode by control and refuses unknown modes; the fixed-mode ciphers take no
// mode commands, and the block modes (gost89 switched to ECB too) refuse partial blocks.
TEST_F(Gost89, ModeControlsAndPartialBlocks) {
    const Bytes key = counter_bytes(32), iv = from_hex("0102030405060708"), pt = counter_bytes(40);
    auto ctx = keyed("gost89", key, iv, 1);
    int mode = 0;
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_GET_MODE, 0, &mode), 1);
    EXPECT_EQ(mode, TVK_MODE_CFB);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, 5, nullptr), 0);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_GET_MODE, 0, &mode), 1);
    EXPECT_EQ(mode, TVK_MODE_CFB);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, TVK_MODE_CNT, nullptr), 1);
    auto cnt = keyed("gost89-cnt", key, iv, 1);
    EXPECT_EQ(run(ctx.get(), pt), run(cnt.get(), pt));
    auto ecb = keyed("gost89-ecb", key, iv, 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ecb.get(), TVK_CTRL_SET_MODE, TVK_MODE_CFB, nullptr), 0);

    auto switched = keyed("gost89", key, iv, 1);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(switched.get(), TVK_CTRL_SET_MODE, TVK_MODE_ECB, nullptr), 1);
    for (EVP_CIPHER_CTX* c : {keyed("gost89-ecb", key, iv, 1).release(),
                              keyed("gost89-cbc", key, iv, 1).release(), switched.release()}) {
        CipherCtx owner(c);
        Bytes out(16);
        int outl = -1;
        EXPECT_EQ(EVP_CipherUpdate(c, out.data(), &outl, pt.data(), 13), 0);
    }
}

TEST_F(Gost89, ParameterSetsThatAreNoCipherSetFallBackToTheDefault) {
    const Bytes key = counter_bytes(32), iv(8, 5), pt = counter_bytes(33);
    auto plain = keyed("gost89", key, iv, 1);
    const Bytes expected = run(plain.get(), pt);
    for (int nid : {objmap::nid(Obj::md_gost12_256), 999999}) {
        auto ctx = keyed("gost89", key, iv, 1, nid);
        EXPECT_EQ(run(ctx.get(), pt), expected) << nid;
    }
    auto cpa = keyed("gost89", key, iv, 1, objmap::nid(Obj::Gost28147_89_CryptoPro_A_ParamSet));
    EXPECT_NE(run(cpa.get(), pt), expected);
}

// The parameters a sender writes carry the set and the IV to the receiver, who starts from a
// key-less init as the crypto library's PKCS#7 and CMS code does.
TEST_F(Gost89, AlgorithmParametersCarrySetAndIv) {
    const Bytes key = counter_bytes(32), iv = from_hex("a1a2a3a4a5a6a7a8"), pt = counter_bytes(50);
    const int cpa = objmap::nid(Obj::Gost28147_89_CryptoPro_A_ParamSet);
    auto enc = keyed("gost89", key, iv, 1, cpa);
    std::unique_ptr<ASN1_TYPE, decltype(&ASN1_TYPE_free)> params(ASN1_TYPE_new(), ASN1_TYPE_free);
    ASSERT_EQ(EVP_CIPHER_param_to_asn1(enc.get(), params.get()), 1);
    const Bytes ct = run(enc.get(), pt);

    const unsigned char* p = params->value.sequence->data;
    std::unique_ptr<TVK_CIPHER_PARAMS, decltype(&TVK_CIPHER_PARAMS_free)> decoded(
        d2i_TVK_CIPHER_PARAMS(nullptr, &p, params->value.sequence->length), TVK_CIPHER_PARAMS_free);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(OBJ_obj2nid(decoded->enc_param_set), cpa);
    EXPECT_EQ(to_hex(decoded->iv->data, decoded->iv->length), to_hex(iv));

    CipherCtx dec(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_CipherInit_ex(dec.get(), tvk_cipher_gost89(), nullptr, nullptr, nullptr, 0), 1);
    ASSERT_EQ(EVP_CIPHER_asn1_to_param(dec.get(), params.get()), 1);
    ASSERT_EQ(EVP_CipherInit_ex(dec.get(), nullptr, nullptr, key.data(), nullptr, 0), 1);
    EXPECT_EQ(run(dec.get(), ct), pt);

    // A 16-byte IV is no GOST 28147-89 IV.
    ASN1_OCTET_STRING_set(decoded->iv, pt.data(), 16);
    unsigned char* der = nullptr;
    const int len = i2d_TVK_CIPHER_PARAMS(decoded.get(), &der);
    ASSERT_GT(len, 0);
    ASN1_STRING* seq = ASN1_STRING_new();
    ASN1_STRING_set(seq, der, len);
    OPENSSL_free(der);
    ASN1_TYPE_set(params.get(), V_ASN1_SEQUENCE, seq);
    testing::internal::CaptureStderr();
    EXPECT_LE(EVP_CIPHER_asn1_to_param(dec.get(), params.get()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "gost89_get_asn1_parameters: Invalid IV length\n"),
              std::string::npos);
}

TEST_F(Gost89, MacMatchesTheVectors) {
    for (const char* name : {"rfc7836-keywrap-mac", "imit-cryptopro-a-24", "imit-cryptopro-a-13",
                             "imit-mesh-cryptopro-a-1025", "imit-tc26-z-1023"}) {
        SCOPED_TRACE(name);
        const VectorBlock& v = vector(name);
        const Bytes msg = v.has("msg") ? v.hex("msg") : counter_bytes(v.number("msg_len"));
        EXPECT_EQ(to_hex(mac(v.hex("key"), v.hex("iv"), msg, nid_of_oid(v.text("sbox")))),
                  v.text("mac"));
    }
}

TEST_F(Gost89, MacControlsAndCopies) {
    MdCtx ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit(ctx.get(), tvk_imit_gost89()), 1);
    const Bytes key = counter_bytes(32);
    testing::internal::CaptureStderr();
    EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_KEY, 16, const_cast<uint8_t*>(key.data())),
              0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("tvk_imit_ctrl: Invalid key length 16\n"),
              std::string::npos);
    int len = 0;
    ASSERT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_GET_MODE, 0, &len), 1);
    EXPECT_EQ(len, 32);
    ASSERT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_KEY, 32, const_cast<uint8_t*>(key.data())),
              1);
    const Bytes data = counter_bytes(8);
    ASSERT_EQ(EVP_DigestUpdate(ctx.get(), data.data(), 8), 1);
    MdCtx copy(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_MD_CTX_copy_ex(copy.get(), ctx.get()), 1);
    unsigned char a[4], b[4];
    unsigned int n = 0;
    ASSERT_EQ(EVP_DigestFinal_ex(ctx.get(), a, &n), 1);
    EXPECT_EQ(n, 4u);
    ASSERT_EQ(EVP_DigestFinal_ex(copy.get(), b, &n), 1);
    EXPECT_EQ(to_hex(a, 4), to_hex(b, 4));
    EXPECT_EQ(to_hex(a, 4), to_hex(mac(key, {}, data)));
}

}  // namespace
