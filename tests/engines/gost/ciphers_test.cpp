// The ciphers and MACs of the gost engine (GOST 28147-89, Kuznyechik, Magma), driven the way the
// crypto library's callers drive them: by name, through EVP, with the controls those callers use.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/gost/gost_ciphers.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_kuz_magma.h"
#include "gost/kuznyechik.h"
#include "gost/magma.h"

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using engine_tests::captured;
using engine_tests::CipherCtx;
using engine_tests::Result;
using Asn1Type = ossl::Asn1Type;
using engine_tests::counter_bytes;
using KuzMagma = engine_tests::EngineTest;
using Gost89 = engine_tests::EngineTest;

const Bytes kKuzKey = from_hex("8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef");
const Bytes kMagmaKey =
    from_hex("ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const Bytes kIv(32, 0x5a);
const char* const kModes[] = {"ecb", "cbc", "ctr", "ofb", "cfb"};

const VectorFile& vectors() {
    static const VectorFile f("kuznyechik-magma.txt");
    return f;
}

const EVP_CIPHER* cipher(const std::string& name) {
    return EVP_get_cipherbyname(name.c_str());
}

// Cipher first, then the IV length if any, then key and IV: the order the control needs.
CipherCtx start(const EVP_CIPHER* c, bool enc, const Bytes& key, const Bytes& iv, int iv_len = 0,
                int param_nid = 0) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), c, nullptr, nullptr, nullptr, enc), 1);
    if (iv_len != 0) {
        EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), kTvkCipherCtrlIvLength, iv_len, nullptr), 1);
    }
    if (param_nid != 0) {
        EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_nid, nullptr), 1);
    }
    EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv.data(), enc), 1);
    return ctx;
}

// Piece sizes cycled until they cover n bytes.
std::vector<size_t> cycled(std::initializer_list<size_t> sizes, size_t n) {
    std::vector<size_t> out;
    for (size_t done = 0; done < n;)
        for (size_t s : sizes) out.push_back(s), done += s;
    return out;
}

// Feeds the input in pieces of the given sizes and the rest in one more, in place if asked.
Bytes feed(EVP_CIPHER_CTX* ctx, const Bytes& in, std::vector<size_t> pieces = {},
           bool in_place = false) {
    Bytes out = in;
    const uint8_t* src = in_place ? out.data() : in.data();
    size_t off = 0;
    int len = -1;
    pieces.push_back(in.size());
    for (size_t p : pieces) {
        const int n = static_cast<int>(std::min(p, in.size() - off));
        if (n == 0) continue;
        EXPECT_EQ(EVP_CipherUpdate(ctx, out.data() + off, &len, src + off, n), 1);
        EXPECT_EQ(len, n);
        off += static_cast<size_t>(n);
    }
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + off, &len), 1);
    EXPECT_EQ(len, 0);
    return out;
}

// The MAC of a message given in two pieces; a copy taken between them must end the same. The
// 28147-89 MAC may take a parameter set and an IV.
Bytes mac(const EVP_MD* md, Bytes key, const Bytes& msg, size_t split, int param_nid = 0,
          Bytes iv = {}) {
    ossl::MdCtx ctx(EVP_MD_CTX_new()), copy(EVP_MD_CTX_new());
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    if (param_nid != 0) {
        EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_nid, nullptr), 1);
    }
    EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), kTvkMacCtrlSetKey, 32, key.data()), 1);
    if (!iv.empty()) {
        EXPECT_EQ(EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, 8, iv.data()), 1);
    }
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), msg.data(), split), 1);
    EXPECT_EQ(EVP_MD_CTX_copy_ex(copy.get(), ctx.get()), 1);
    Bytes out[2];
    for (int i = 0; i < 2; ++i) {
        EVP_MD_CTX* c = i == 0 ? ctx.get() : copy.get();
        out[i].resize(static_cast<size_t>(EVP_MD_get_size(md)));
        unsigned len = 0;
        EXPECT_EQ(EVP_DigestUpdate(c, msg.data() + split, msg.size() - split), 1);
        EXPECT_EQ(EVP_DigestFinal_ex(c, out[i].data(), &len), 1);
        EXPECT_EQ(len, out[i].size());
    }
    EXPECT_EQ(out[0], out[1]);
    return out[0];
}

// Every mode example of the standard (and the one-block-register cases) in both directions,
// split at every point a caller may split, and fed a grain at a time in place.
TEST_F(KuzMagma, ModeVectorsWholeInPiecesAndInPlace) {
    size_t count = 0;
    for (const std::string family : {"kuznyechik", "magma"}) {
        const size_t block = family == "kuznyechik" ? 16 : 8;
        for (const std::string mode : kModes) {
            const EVP_CIPHER* c = cipher(family + "-" + mode);
            const size_t grain = mode == "ecb" || mode == "cbc" ? block : 1;
            count += vectors().each(
                [&](const VectorBlock& b) {
                    SCOPED_TRACE(b.text("name") + "; " + b.text("source") + "; " +
                                 b.text("confirmed"));
                    const Bytes key = b.hex("key"), pt = b.hex("pt"), ct = b.hex("ct");
                    const Bytes iv = b.has("iv") ? b.hex("iv") : Bytes{};
                    const int m = b.has("m") ? static_cast<int>(b.number("m") / 8) : 0;
                    const int iv_len = m == EVP_CIPHER_get_iv_length(c) ? 0 : m;
                    if (b.has("s")) {
                        EXPECT_EQ(b.number("s"), 8 * block);
                    }
                    EXPECT_EQ(EVP_CIPHER_get_flags(c) & ~EVP_CIPH_MODE, 0x330u);
                    for (size_t split = 0; split <= pt.size(); split += grain) {
                        EXPECT_EQ(feed(start(c, true, key, iv, iv_len).get(), pt, {split}), ct);
                        EXPECT_EQ(feed(start(c, false, key, iv, iv_len).get(), ct, {split}), pt);
                    }
                    const std::vector<size_t> grains(pt.size() / grain, grain);
                    EXPECT_EQ(feed(start(c, true, key, iv, iv_len).get(), pt, grains, true), ct);
                    const EVP_CIPHER* ecb = cipher(family + "-ecb");
                    for (int i = 1; b.has("in_" + std::to_string(i)); ++i)
                        EXPECT_EQ(to_hex(feed(start(ecb, true, key, {}).get(),
                                              b.hex("in_" + std::to_string(i)))),
                                  b.text("out_" + std::to_string(i)));
                },
                family + "-" + mode);
        }
    }
    EXPECT_EQ(count, 16u);
}

// The digests give the leading 8 (Kuznyechik) or 4 (Magma) bytes of the standard's MAC.
TEST_F(KuzMagma, MacVectorsAtEverySplit) {
    size_t count = 0;
    for (const std::string family : {"kuznyechik", "magma"}) {
        const EVP_MD* md = EVP_get_digestbyname((family + "-mac").c_str());
        const size_t size = static_cast<size_t>(EVP_MD_get_size(md));
        count += vectors().each(
            [&](const VectorBlock& b) {
                SCOPED_TRACE(b.text("name") + "; " + b.text("source") + "; " + b.text("confirmed"));
                const Bytes key = b.hex("key"), pt = b.hex("pt");
                ASSERT_GE(b.number("s") / 8, size);
                const std::string want = b.text("mac").substr(0, 2 * size);
                for (size_t split = 0; split <= pt.size(); ++split)
                    EXPECT_EQ(to_hex(mac(md, key, pt, split)), want);
                if (!b.has("mac_full_block")) return;
                EXPECT_EQ(b.text("mac_full_block").substr(0, 2 * size), want);
                (void)b.text("R"), (void)b.text("K1"), (void)b.text("K2");  // library internals
            },
            family + "-mac");
    }
    EXPECT_EQ(count, 10u);
}

// Data given before the key fails rather than being MACed under a key nobody chose; keys of
// another length are refused.
TEST_F(KuzMagma, MacControlsAndAnUnkeyedMac) {
    ossl::MdCtx ctx(EVP_MD_CTX_new()), magma(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), tvk_digest_kuznechik_mac(), nullptr), 1);
    ASSERT_EQ(EVP_DigestInit_ex(magma.get(), tvk_digest_magma_mac(), nullptr), 1);
    EXPECT_EQ(captured([&] { return EVP_DigestUpdate(ctx.get(), "abc", 3); }),
              Result(0, "tvk_kuznechik_mac_update failed\n"));
    Bytes key = kKuzKey;
    EXPECT_EQ(captured([&] { return EVP_MD_CTX_ctrl(ctx.get(), kTvkMacCtrlSetKey, 16, &key[0]); }),
              Result(0, "tvk_kuznechik_mac_ctrl: Invalid key length 16\n"));
    EXPECT_EQ(
        captured([&] { return EVP_MD_CTX_ctrl(magma.get(), kTvkMacCtrlSetKey, 33, &key[0]); }),
        Result(0, "tvk_magma_mac_ctrl: Invalid key length 33\n"));
    ossl::MdCtx imit(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(imit.get(), tvk_imit_gost89(), nullptr), 1);
    EXPECT_EQ(captured([&] { return EVP_MD_CTX_ctrl(imit.get(), kTvkMacCtrlSetKey, 16, &key[0]); }),
              Result(0, "tvk_imit_ctrl: Invalid key length 16\n"));
    int len = 0;  // the 28147-89 MAC answers its key length
    ASSERT_EQ(EVP_MD_CTX_ctrl(imit.get(), TVK_CTRL_GET_MODE, 0, &len), 1);
    EXPECT_EQ(len, 32);
}

TEST_F(KuzMagma, IvLengthControlAcceptsRegistersUpTo32Bytes) {
    const struct {
        const char* cipher;
        int length;
        Result control, init;
    } cases[] = {
        {"kuznyechik-cbc", 15, {0, "tvk_kuznechik_ctrl: Invalid IV length 15\n"}, {}},
        {"kuznyechik-cbc", 24, {1, ""}, {0, "tvk_kuznechik_cbc_init failed\n"}},
        {"kuznyechik-cbc", 32, {1, ""}, {1, ""}},
        {"kuznyechik-cbc", 33, {0, "tvk_kuznechik_ctrl: Invalid IV length 33\n"}, {}},
        {"magma-cbc", 7, {0, "tvk_magma_ctrl: Invalid IV length 7\n"}, {}},
        {"magma-cbc", 8, {1, ""}, {1, ""}},
        {"magma-cbc", 12, {1, ""}, {0, "init_cbc_89 failed\n"}},
        {"magma-cfb", 24, {1, ""}, {1, ""}},
        {"magma-cbc", 32, {1, ""}, {1, ""}},
        {"magma-cbc", 33, {0, "tvk_magma_ctrl: Invalid IV length 33\n"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.cipher) + " " + std::to_string(c.length));
        const Bytes& key = c.cipher[0] == 'k' ? kKuzKey : kMagmaKey;
        CipherCtx ctx(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_CipherInit_ex(ctx.get(), cipher(c.cipher), nullptr, nullptr, nullptr, 1), 1);
        EXPECT_EQ(captured([&] {
                      return EVP_CIPHER_CTX_ctrl(ctx.get(), kTvkCipherCtrlIvLength, c.length,
                                                 nullptr);
                  }),
                  c.control);
        if (c.control.first == 0) continue;
        EXPECT_EQ(captured([&] {
                      return EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), kIv.data(),
                                               1);
                  }),
                  c.init);
    }
    // The length lasts until cleanup: a reset context runs with the method's 16 bytes again.
    for (const VectorBlock& b : vectors().blocks()) {
        if (b.text("kind") != "kuznyechik-cbc" || b.number("m") != 128) continue;
        CipherCtx ctx = start(tvk_cipher_kuznechik_cbc(), true, kKuzKey, kIv, 32);
        EVP_CIPHER_CTX_reset(ctx.get());
        ASSERT_EQ(EVP_CipherInit_ex(ctx.get(), tvk_cipher_kuznechik_cbc(), nullptr, kKuzKey.data(),
                                    b.hex("iv").data(), 1),
                  1);
        EXPECT_EQ(feed(ctx.get(), b.hex("pt")), b.hex("ct"));
    }
}

TEST_F(KuzMagma, RandomKeyPbePrfAndUnknownControls) {
    CipherCtx ctx = start(tvk_cipher_magma_ctr(), true, kMagmaKey, kIv);
    Bytes k1(32), k2(32);
    EXPECT_EQ(EVP_CIPHER_CTX_rand_key(ctx.get(), k1.data()), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_rand_key(ctx.get(), k2.data()), 1);
    EXPECT_NE(k1, k2);
    int prf = 0;
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_PBE_PRF_NID, 0, &prf), 1);
    EXPECT_EQ(prf, objmap::nid(Obj::id_HMACGostR3411_94));
    ossl::Engine gost(ENGINE_by_id("gost"));
    ASSERT_EQ(
        ENGINE_ctrl_cmd_string(gost.get(), "PBE_PRF_HMAC", "id-tc26-hmac-gost-3411-2012-512", 0),
        1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_PBE_PRF_NID, 0, &prf), 1);
    EXPECT_EQ(prf, objmap::nid(Obj::hmac_gost_3411_2012_512));
    ASSERT_EQ(ENGINE_ctrl_cmd_string(gost.get(), "PBE_PRF_HMAC", "id-HMACGostR3411-94", 0), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_PBE_PRF_NID, 0, nullptr), 0);
    EXPECT_EQ(captured([&] { return EVP_CIPHER_CTX_ctrl(ctx.get(), 99, 0, nullptr); }),
              Result(0, "tvk_magma_ctrl: Unsupported command 99\n"));
}

// A new IV alone restarts the mode under the key already given; without any key nothing runs.
TEST_F(KuzMagma, NewIvAloneRestartsAndRefusedInputNamesTheFailure) {
    const Bytes pt(48, 0x3c), iv2(32, 0xa5);
    for (const char* name : {"kuznyechik-ctr", "kuznyechik-cbc", "magma-cfb", "magma-ofb"}) {
        SCOPED_TRACE(name);
        const Bytes& key = name[0] == 'k' ? kKuzKey : kMagmaKey;
        const Bytes expected = feed(start(cipher(name), true, key, iv2).get(), pt);
        CipherCtx ctx = start(cipher(name), true, key, kIv);
        EXPECT_NE(feed(ctx.get(), pt), expected);
        ASSERT_EQ(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv2.data(), 1), 1);
        EXPECT_EQ(feed(ctx.get(), pt), expected);
        ASSERT_EQ(EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, 1), 1);
        EXPECT_EQ(feed(ctx.get(), pt), expected);
    }
    const struct {
        const char* cipher;
        const Bytes* key;  // nullptr: never keyed
        const char* failure;
    } cases[] = {
        {"kuznyechik-ecb", &kKuzKey, "tvk_kuznechik_ecb_update failed\n"},
        {"magma-cbc", &kMagmaKey, "tvk_magma_cbc_update failed\n"},
        {"kuznyechik-ctr", nullptr, "tvk_kuznechik_ctr_update failed\n"},
    };
    Bytes buf(15, 1);
    int len = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cipher);
        CipherCtx ctx(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_CipherInit_ex(ctx.get(), cipher(c.cipher), nullptr,
                                    c.key ? c.key->data() : nullptr, kIv.data(), 1),
                  1);
        EXPECT_EQ(captured([&] { return EVP_CipherUpdate(ctx.get(), &buf[0], &len, &buf[0], 15); }),
                  Result(0, c.failure));
    }
}

// The parameters carry the IV and the family's identifier and bring the IV to a key-less
// context; IVs of another length are refused both ways.
TEST_F(KuzMagma, AlgorithmParameters) {
    const Bytes pt(48, 0x77);
    const Bytes iv12 = from_hex("3018040c000102030405060708090a0b06082a85030701010502");
    const struct {
        const char* cipher;
        const char* family;
        const Bytes& key;
        const char* der;  // with the IV 5a5a...
        int longer_iv;
    } cases[] = {
        {"kuznyechik-cbc", "kuznechik", kKuzKey,
         "301c04105a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a06082a85030701010502", 32},
        {"magma-ctr", "magma", kMagmaKey, "301004045a5a5a5a06082a85030701010501", 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cipher);
        CipherCtx enc = start(cipher(c.cipher), true, c.key, kIv);
        const Bytes ct = feed(enc.get(), pt);
        Asn1Type params(ASN1_TYPE_new());
        ASSERT_EQ(EVP_CIPHER_param_to_asn1(enc.get(), params.get()), 1);
        unsigned char* der = nullptr;
        const int der_length = i2d_ASN1_TYPE(params.get(), &der);
        const ossl::Bytes owned(der);
        EXPECT_EQ(to_hex(der, static_cast<size_t>(der_length)), c.der);

        CipherCtx dec(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_CipherInit_ex(dec.get(), cipher(c.cipher), nullptr, nullptr, nullptr, 0), 1);
        ASSERT_EQ(EVP_CIPHER_asn1_to_param(dec.get(), params.get()), 1);
        ASSERT_EQ(EVP_CipherInit_ex(dec.get(), nullptr, nullptr, c.key.data(), nullptr, 0), 1);
        EXPECT_EQ(feed(dec.get(), ct), pt);

        const unsigned char* p = iv12.data();
        Asn1Type twelve(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(iv12.size())));
        EXPECT_EQ(captured([&] { return EVP_CIPHER_asn1_to_param(dec.get(), twelve.get()); }),
                  Result(0, std::string(c.family) + "_get_asn1_parameters: Invalid IV length\n"));
        CipherCtx wide = start(cipher(c.cipher), true, c.key, kIv, c.longer_iv);
        EXPECT_EQ(captured([&] { return EVP_CIPHER_param_to_asn1(wide.get(), params.get()); }),
                  Result(0, std::string(c.family) + "_set_asn1_parameters: Invalid IV length\n"));
    }
}

// A damaged table makes every init of its own cipher (MAC included) fail its self-test and
// leaves the other cipher working; the damage is the one the algorithm library's test uses.
TEST_F(KuzMagma, DamagedTableFailsOnlyItsOwnCipher) {
    auto check = [](const std::string& family, bool damaged) {
        const Bytes& key = family == "kuznyechik" ? kKuzKey : kMagmaKey;
        const std::string fn = family == "kuznyechik" ? "tvk_kuznechik_" : "tvk_magma_";
        for (const std::string mode : kModes) {
            SCOPED_TRACE(family + "-" + mode);
            CipherCtx ctx(EVP_CIPHER_CTX_new());
            std::string line = fn + mode + "_init failed\n";
            if (line == "tvk_magma_cbc_init failed\n") line = "init_cbc_89 failed\n";
            EXPECT_EQ(captured([&] {
                          return EVP_CipherInit_ex(ctx.get(), cipher(family + "-" + mode), nullptr,
                                                   key.data(), kIv.data(), 1);
                      }),
                      damaged ? Result(0, line) : Result(1, ""));
        }
        ossl::MdCtx md(EVP_MD_CTX_new());
        Bytes k = key;
        const EVP_MD* type = EVP_get_digestbyname((family + "-mac").c_str());
        ASSERT_EQ(EVP_DigestInit_ex(md.get(), type, nullptr), 1);
        EXPECT_EQ(captured([&] { return EVP_MD_CTX_ctrl(md.get(), kTvkMacCtrlSetKey, 32, &k[0]); }),
                  damaged ? Result(0, fn + "mac_init failed\n") : Result(1, ""));
    };
    auto kuz = std::make_unique<kuznechik_tables>(kuznechik_builtin_tables());
    kuz->pi[0xe6] = kuz->pi[0x17];
    for (auto& position : kuz->ls) std::memcpy(position[0xe6], position[0x17], 16);
    kuznechik_use_tables_for_testing(kuz.get());
    check("kuznyechik", true);
    check("magma", false);
    kuznechik_use_tables_for_testing(nullptr);

    auto mag = std::make_unique<magma_tables>(magma_builtin_tables());
    for (int b = 5; b < 256; b += 16) mag->t[0][b] ^= 3u << 11;
    magma_use_tables_for_testing(mag.get());
    check("magma", true);
    check("kuznyechik", false);
    magma_use_tables_for_testing(nullptr);
    check("magma", false);
}

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

TEST_F(Gost89, CfbAndCounterWithKeyMeshingMatchTheVectorsInAnyPieces) {
    for (const char* name : {"cfb-cryptopro-a-mesh-4100", "cnt-cryptopro-a-mesh-4100"}) {
        SCOPED_TRACE(name);
        const VectorBlock& v = vector(name);
        const EVP_CIPHER* c = cipher(v.text("kind") == "cfb" ? "gost89" : "gost89-cnt");
        // PKCS#7 finds it by number and sizes its random key and IV by the table.
        EXPECT_EQ(EVP_get_cipherbynid(EVP_CIPHER_get_nid(c)), c);
        EXPECT_EQ(EVP_CIPHER_get_key_length(c), 32);
        EXPECT_EQ(EVP_CIPHER_get_iv_length(c), 8);
        const int param = nid_of_oid(v.text("sbox"));
        const Bytes pt = counter_bytes(v.number("pt_len"));
        auto enc = start(c, 1, v.hex("key"), v.hex("iv"), 0, param);
        const Bytes ct = feed(enc.get(), pt, cycled({1, 7, 13, 1024, 3}, pt.size()));
        EXPECT_EQ(sha256_hex(ct), v.text("ct_sha256"));
        EXPECT_EQ(to_hex(ct.data(), 32), v.text("ct_first32"));
        auto dec = start(c, 0, v.hex("key"), v.hex("iv"), 0, param);
        EXPECT_EQ(feed(dec.get(), ct, cycled({4096, 4}, ct.size())), pt);
    }
}

TEST_F(Gost89, EcbMatchesThePublishedKeyWrapAndCbcChainsOverEcb) {
    const VectorBlock& v = vector("rfc7836-keywrap-ecb");
    auto ecb = start(cipher("gost89-ecb"), 1, v.hex("key"), {});  // the default set is param-Z
    EXPECT_EQ(to_hex(feed(ecb.get(), v.hex("pt"), {8, 24})), v.text("ct"));

    const Bytes key = v.hex("key"), iv = from_hex("0102030405060708"), pt = counter_bytes(48);
    auto cbc = start(cipher("gost89-cbc"), 1, key, iv);
    const Bytes ct = feed(cbc.get(), pt, cycled({16, 32}, pt.size()));
    Bytes chain = iv;
    for (size_t i = 0; i < pt.size(); i += 8) {
        Bytes block(8);
        for (size_t j = 0; j < 8; ++j) block[j] = pt[i + j] ^ chain[j];
        auto one = start(cipher("gost89-ecb"), 1, key, {});
        chain = feed(one.get(), block);
        EXPECT_EQ(Bytes(ct.begin() + i, ct.begin() + i + 8), chain) << "block " << i / 8;
    }
    auto back = start(cipher("gost89-cbc"), 0, key, iv);
    EXPECT_EQ(feed(back.get(), ct), pt);
}

// gost89 switches mode by control and refuses unknown modes; the fixed-mode ciphers take no
// mode commands, and the block modes (gost89 switched to ECB too) refuse partial blocks.
TEST_F(Gost89, ModeControlsAndPartialBlocks) {
    const Bytes key = counter_bytes(32), iv = from_hex("0102030405060708"), pt = counter_bytes(40);
    auto ctx = start(cipher("gost89"), 1, key, iv);
    int mode = 0;
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_GET_MODE, 0, &mode), 1);
    EXPECT_EQ(mode, TVK_MODE_CFB);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, 5, nullptr), 0);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_GET_MODE, 0, &mode), 1);
    EXPECT_EQ(mode, TVK_MODE_CFB);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_MODE, TVK_MODE_CNT, nullptr), 1);
    auto cnt = start(cipher("gost89-cnt"), 1, key, iv);
    EXPECT_EQ(feed(ctx.get(), pt), feed(cnt.get(), pt));
    auto ecb = start(cipher("gost89-ecb"), 1, key, iv);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ecb.get(), TVK_CTRL_SET_MODE, TVK_MODE_CFB, nullptr), 0);

    auto switched = start(cipher("gost89"), 1, key, iv);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(switched.get(), TVK_CTRL_SET_MODE, TVK_MODE_ECB, nullptr), 1);
    for (EVP_CIPHER_CTX* c :
         {start(cipher("gost89-ecb"), 1, key, iv).release(),
          start(cipher("gost89-cbc"), 1, key, iv).release(), switched.release()}) {
        CipherCtx owner(c);
        Bytes out(16);
        int outl = -1;
        EXPECT_EQ(EVP_CipherUpdate(c, out.data(), &outl, pt.data(), 13), 0);
    }
}

TEST_F(Gost89, ParameterSetsThatAreNoCipherSetFallBackToTheDefault) {
    const Bytes key = counter_bytes(32), iv(8, 5), pt = counter_bytes(33);
    auto plain = start(cipher("gost89"), 1, key, iv);
    const Bytes expected = feed(plain.get(), pt);
    for (int nid : {objmap::nid(Obj::md_gost12_256), 999999}) {
        auto ctx = start(cipher("gost89"), 1, key, iv, 0, nid);
        EXPECT_EQ(feed(ctx.get(), pt), expected) << nid;
    }
    auto cpa =
        start(cipher("gost89"), 1, key, iv, 0, objmap::nid(Obj::Gost28147_89_CryptoPro_A_ParamSet));
    EXPECT_NE(feed(cpa.get(), pt), expected);
}

// The parameters a sender writes carry the set and the IV to the receiver, who starts from a
// key-less init as the crypto library's PKCS#7 and CMS code does.
TEST_F(Gost89, AlgorithmParametersCarrySetAndIv) {
    const Bytes key = counter_bytes(32), iv = from_hex("a1a2a3a4a5a6a7a8"), pt = counter_bytes(50);
    const int cpa = objmap::nid(Obj::Gost28147_89_CryptoPro_A_ParamSet);
    auto enc = start(cipher("gost89"), 1, key, iv, 0, cpa);
    Asn1Type params(ASN1_TYPE_new());
    ASSERT_EQ(EVP_CIPHER_param_to_asn1(enc.get(), params.get()), 1);
    const Bytes ct = feed(enc.get(), pt);

    const unsigned char* p = params->value.sequence->data;
    ossl::Owner<TVK_CIPHER_PARAMS, TVK_CIPHER_PARAMS_free> decoded(
        d2i_TVK_CIPHER_PARAMS(nullptr, &p, params->value.sequence->length));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(OBJ_obj2nid(decoded->enc_param_set), cpa);
    EXPECT_EQ(to_hex(decoded->iv->data, decoded->iv->length), to_hex(iv));

    CipherCtx dec(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_CipherInit_ex(dec.get(), tvk_cipher_gost89(), nullptr, nullptr, nullptr, 0), 1);
    ASSERT_EQ(EVP_CIPHER_asn1_to_param(dec.get(), params.get()), 1);
    ASSERT_EQ(EVP_CipherInit_ex(dec.get(), nullptr, nullptr, key.data(), nullptr, 0), 1);
    EXPECT_EQ(feed(dec.get(), ct), pt);

    // A 16-byte IV is no GOST 28147-89 IV.
    ASN1_OCTET_STRING_set(decoded->iv, pt.data(), 16);
    const Bytes der = engine_tests::der_of(i2d_TVK_CIPHER_PARAMS, decoded.get());
    ASN1_STRING* seq = ASN1_STRING_new();
    ASN1_STRING_set(seq, der.data(), static_cast<int>(der.size()));
    ASN1_TYPE_set(params.get(), V_ASN1_SEQUENCE, seq);
    const auto [rc, err] =
        captured([&] { return EVP_CIPHER_asn1_to_param(dec.get(), params.get()); });
    EXPECT_LE(rc, 0);
    EXPECT_TRUE(engine_tests::has(err, "gost89_get_asn1_parameters: Invalid IV length\n"));
}

TEST_F(Gost89, MacMatchesTheVectors) {
    for (const char* name : {"rfc7836-keywrap-mac", "imit-cryptopro-a-24", "imit-cryptopro-a-13",
                             "imit-mesh-cryptopro-a-1025", "imit-tc26-z-1023"}) {
        SCOPED_TRACE(name);
        const VectorBlock& v = vector(name);
        const Bytes msg = v.has("msg") ? v.hex("msg") : counter_bytes(v.number("msg_len"));
        EXPECT_EQ(to_hex(mac(tvk_imit_gost89(), v.hex("key"), msg, msg.size() / 2 + 1,
                             nid_of_oid(v.text("sbox")), v.hex("iv"))),
                  v.text("mac"));
    }
}

}  // namespace
