// Malformed input and misuse through the crypto library's own entry points: each case must fail
// cleanly (or succeed correctly) and leave nothing behind for the sanitizers to find.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/gost/gost_ciphers.h"

using objmap::nid;
using objmap::Obj;
using testing_support::Bytes;

namespace {

using engine_tests::CipherCtx;
using engine_tests::PKeyCtx;
using Robustness = engine_tests::EngineTest;
using MdCtx = ossl::MdCtx;

const char* const kCiphers[] = {
    "gost89",         "gost89-cnt",     "gost89-cbc",     "gost89-ecb",     "kuznyechik-ecb",
    "kuznyechik-cbc", "kuznyechik-ctr", "kuznyechik-ofb", "kuznyechik-cfb", "magma-ecb",
    "magma-cbc",      "magma-ctr",      "magma-ofb",      "magma-cfb"};

// Success tells the caller that every input byte was written: without a key or without an output
// buffer that would be untrue.
TEST_F(Robustness, CiphersRefuseDataWithoutKeyOrOutput) {
    const Bytes key(32, 0x42), iv(16, 0x24), in(32, 0x11);
    for (const char* name : kCiphers) {
        const EVP_CIPHER* c = EVP_get_cipherbyname(name);
        ASSERT_NE(c, nullptr) << name;
        Bytes out(64);
        int n = 0;
        CipherCtx keyless(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_EncryptInit_ex(keyless.get(), c, nullptr, nullptr, nullptr), 1) << name;
        EXPECT_NE(engine_tests::captured([&] {
                      return EVP_EncryptUpdate(keyless.get(), out.data(), &n, in.data(), 32);
                  }).first,
                  1)
            << name;
        CipherCtx keyed(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_EncryptInit_ex(keyed.get(), c, nullptr, key.data(), iv.data()), 1) << name;
        EXPECT_NE(engine_tests::captured([&] {
                      return EVP_EncryptUpdate(keyed.get(), nullptr, &n, in.data(), 32);
                  }).first,
                  1)
            << name;
    }
}

// Like the Kuznyechik and Magma MACs, the GOST 28147-89 MAC computes nothing before it has a key.
TEST_F(Robustness, Gost89MacRefusesDataBeforeItsKey) {
    const Bytes key(32, 0x42), msg(40, 0x17);
    MdCtx ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_get_digestbyname("gost-mac"), nullptr), 1);
    const auto r =
        engine_tests::captured([&] { return EVP_DigestUpdate(ctx.get(), msg.data(), msg.size()); });
    EXPECT_EQ(r.first, 0);
    EXPECT_TRUE(engine_tests::has(r.second, "GOST28147_89_Update failed")) << r.second;
    unsigned char mac[8];
    unsigned int n = 0;
    EXPECT_EQ(engine_tests::captured([&] { return EVP_DigestFinal_ex(ctx.get(), mac, &n); }).first,
              0);
    // Keyed later, the same context works; a copy keeps its key.
    MdCtx keyed(EVP_MD_CTX_new()), copy(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(keyed.get(), EVP_get_digestbyname("gost-mac"), nullptr), 1);
    ASSERT_EQ(EVP_MD_CTX_ctrl(keyed.get(), TVK_CTRL_SET_KEY, 32, const_cast<uint8_t*>(key.data())),
              1);
    // The IV control reads only as much as the caller says it gave, and that must be 8 bytes.
    std::unique_ptr<uint8_t[]> short_iv(new uint8_t[4]());
    EXPECT_EQ(EVP_MD_CTX_ctrl(keyed.get(), TVK_CTRL_SET_MODE, 4, short_iv.get()), 0);
    ASSERT_EQ(EVP_DigestUpdate(keyed.get(), msg.data(), 16), 1);
    ASSERT_EQ(EVP_MD_CTX_copy_ex(copy.get(), keyed.get()), 1);
    unsigned char a[8], b[8];
    unsigned int an = 0, bn = 0;
    ASSERT_EQ(EVP_DigestUpdate(keyed.get(), msg.data() + 16, 24), 1);
    ASSERT_EQ(EVP_DigestUpdate(copy.get(), msg.data() + 16, 24), 1);
    ASSERT_EQ(EVP_DigestFinal_ex(keyed.get(), a, &an), 1);
    ASSERT_EQ(EVP_DigestFinal_ex(copy.get(), b, &bn), 1);
    EXPECT_EQ(Bytes(a, a + an), Bytes(b, b + bn));
}

// Every byte of a key or a key transport truncated away or flipped: decoding and unwrapping must
// fail cleanly, and an unwrap that still succeeds must give the true content key.
Bytes mutated(const Bytes& der, size_t i, int variant, size_t* len) {
    Bytes m = der;
    *len = variant == 0 ? i : m.size();
    if (variant != 0) m[i] ^= variant == 1 ? 0x01 : 0x80;
    return m;
}

TEST_F(Robustness, MutatedKeysAndTransportsFailCleanly) {
    for (Obj type : {Obj::gost2012_256, Obj::gost2012_512}) {
        ossl::PKey key = engine_tests::generate(type, "A");
        ASSERT_TRUE(key);
        const Bytes priv = engine_tests::der_of(i2d_PrivateKey, key.get());
        const Bytes pub = engine_tests::der_of(i2d_PUBKEY, key.get());
        for (const Bytes* der : {&priv, &pub})
            for (size_t i = 0; i < der->size(); ++i)
                for (int variant = 0; variant < 3; ++variant) {
                    size_t len = 0;
                    const Bytes m = mutated(*der, i, variant, &len);
                    const unsigned char* p = m.data();
                    engine_tests::captured([&] {
                        ossl::PKey k(
                            der == &priv
                                ? d2i_PrivateKey(nid(type), nullptr, &p, static_cast<long>(len))
                                : d2i_PUBKEY(nullptr, &p, static_cast<long>(len)));
                        return k != nullptr;
                    });
                }
        PKeyCtx enc(EVP_PKEY_CTX_new(key.get(), nullptr));
        const Bytes cek(32, 0x5c);
        size_t len = 0;
        ASSERT_EQ(EVP_PKEY_encrypt_init(enc.get()), 1);
        ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), nullptr, &len, cek.data(), cek.size()), 1);
        Bytes kt(len);
        ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), kt.data(), &len, cek.data(), cek.size()), 1);
        kt.resize(len);
        for (size_t i = 0; i < kt.size(); ++i)
            for (int variant = 0; variant < 3; ++variant) {
                size_t n = 0;
                const Bytes m = mutated(kt, i, variant, &n);
                PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
                ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
                Bytes out(64);
                size_t out_len = out.size();
                const auto r = engine_tests::captured(
                    [&] { return EVP_PKEY_decrypt(dec.get(), out.data(), &out_len, m.data(), n); });
                if (r.first == 1)
                    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(out_len)), cek)
                        << "byte " << i << " variant " << variant;
            }
    }
}

using P8 = ossl::P8Info;

EVP_PKEY* with_private_value(EVP_PKEY* like, const Bytes& value) {
    P8 src(EVP_PKEY2PKCS8(like));
    const ASN1_OBJECT* obj = nullptr;
    const X509_ALGOR* alg = nullptr;
    PKCS8_pkey_get0(&obj, nullptr, nullptr, &alg, src.get());
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
    P8 p8(PKCS8_PRIV_KEY_INFO_new());
    auto* der = static_cast<unsigned char*>(OPENSSL_memdup(value.data(), value.size()));
    PKCS8_pkey_set0(p8.get(), OBJ_dup(obj), 0, ptype,
                    ASN1_STRING_dup(static_cast<const ASN1_STRING*>(pval)), der,
                    static_cast<int>(value.size()));
    return EVP_PKCS82PKEY(p8.get());
}
}  // namespace

TEST_F(Robustness, DegeneratePrivateValuesAreRefused) {
    ossl::PKey key = engine_tests::generate(Obj::gost2012_256, "A");
    std::vector<Bytes> values = {{0x02, 0x01, 0x00}, Bytes(34, 0)};
    values[1][0] = 0x04;
    values[1][1] = 0x20;
    for (const Bytes& v : values) {
        const auto r = engine_tests::captured(
            [&] { return ossl::PKey(with_private_value(key.get(), v)) != nullptr; });
        EXPECT_EQ(r.first, 0) << testing_support::to_hex(v) << r.second;
    }
}

// A new IV without a key restarts the cipher under the key it holds, as a fresh context with
// that key and IV would; controls given before any key never leave a context that encrypts.
TEST_F(Robustness, Gost89FollowsANewIvAndNeedsAKey) {
    const Bytes key(32, 0x42), iv1(8, 0x01), iv2(8, 0x02), msg(24, 0x33);
    for (const char* name : {"gost89", "gost89-cnt", "gost89-cbc"}) {
        const EVP_CIPHER* c = EVP_get_cipherbyname(name);
        Bytes fresh(24), again(24);
        int n = 0;
        CipherCtx a(EVP_CIPHER_CTX_new()), b(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_EncryptInit_ex(a.get(), c, nullptr, key.data(), iv2.data()), 1);
        ASSERT_EQ(EVP_EncryptUpdate(a.get(), fresh.data(), &n, msg.data(), 24), 1);
        ASSERT_EQ(EVP_EncryptInit_ex(b.get(), c, nullptr, key.data(), iv1.data()), 1);
        ASSERT_EQ(EVP_EncryptUpdate(b.get(), again.data(), &n, msg.data(), 24), 1);
        ASSERT_EQ(EVP_EncryptInit_ex(b.get(), nullptr, nullptr, nullptr, iv2.data()), 1);
        ASSERT_EQ(EVP_EncryptUpdate(b.get(), again.data(), &n, msg.data(), 24), 1);
        EXPECT_EQ(again, fresh) << name;

        CipherCtx keyless(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_EncryptInit_ex(keyless.get(), c, nullptr, nullptr, iv1.data()), 1);
        EVP_CIPHER_CTX_ctrl(keyless.get(), TVK_CTRL_SET_PARAM_NID, nid(Obj::gost_28147_param_Z),
                            nullptr);
        EXPECT_NE(engine_tests::captured([&] {
                      return EVP_EncryptUpdate(keyless.get(), again.data(), &n, msg.data(), 24);
                  }).first,
                  1)
            << name;
    }
}
