// GOST key transport and VKO key agreement through the crypto library's EVP_PKEY interface.
#include "engines/gost/gost_key_transport.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "engine_env.h"
#include "engines/gost/gost_asn1_ber.h"
#include "engines/gost/gost_asn1_types.h"
#include "engines/gost/gost_ciphers.h"
#include "engines/gost/gost_key_methods.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

using engine_tests::captured;
using engine_tests::generate;
using engine_tests::has;
using Key = ossl::PKey;
using Ctx = engine_tests::PKeyCtx;
using GostKeyTransport = engine_tests::EngineTest;

// The call yields nothing, with the line among what it wrote on stderr.
template <class F>
void expect_refused(F&& call, const std::string& line) {
    const auto [size, err] = captured([&] { return call().size(); });
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(has(err, line)) << err;
}

struct Kind {
    Obj type;
    const char* paramset;
    size_t ukm_len;
    Obj cipher;
};
const Kind kKinds[] = {
    {Obj::gost2001, "A", 8, Obj::Gost28147_89_CryptoPro_A_ParamSet},
    {Obj::gost2012_256, "A", 8, Obj::gost_28147_param_Z},
    {Obj::gost2012_512, "A", 16, Obj::gost_28147_param_Z},
};

Bytes encrypt(EVP_PKEY* recipient, const Bytes& key, const Bytes& ukm = {}) {
    Ctx ctx(EVP_PKEY_CTX_new(recipient, nullptr));
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    if (!ukm.empty()) {
        EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV,
                                    static_cast<int>(ukm.size()), const_cast<uint8_t*>(ukm.data())),
                  1);
    }
    size_t len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, key.data(), key.size()) != 1) return {};
    Bytes out(len);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, key.data(), key.size()) != 1) return {};
    out.resize(len);
    return out;
}

// The unwrapped key, or empty when decryption fails.
Bytes decrypt(EVP_PKEY* recipient, const Bytes& transport, EVP_PKEY* peer = nullptr) {
    Ctx ctx(EVP_PKEY_CTX_new(recipient, nullptr));
    EXPECT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
    if (peer != nullptr) {
        EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), peer), 1);
    }
    size_t len = 0;
    EXPECT_EQ(EVP_PKEY_decrypt(ctx.get(), nullptr, &len, transport.data(), transport.size()), 1);
    EXPECT_EQ(len, 32u);
    Bytes out(len);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, transport.data(), transport.size()) != 1)
        return {};
    out.resize(len);
    return out;
}

using Transport = ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free>;
Transport parse(const Bytes& der) {
    const unsigned char* p = der.data();
    return Transport(d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(der.size())));
}

Bytes bytes_of(const ASN1_OCTET_STRING* s) {
    return Bytes(s->data, s->data + s->length);
}

TEST_F(GostKeyTransport, EveryKeyTypeWrapsAndUnwrapsWithItsUkmAndCipherSet) {
    const Bytes cek = from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(objmap::nid(k.type));
        Key recipient = generate(k.type, k.paramset);
        ASSERT_TRUE(recipient);
        const Bytes der = encrypt(recipient.get(), cek);
        ASSERT_FALSE(der.empty());
        Transport kt = parse(der);
        ASSERT_TRUE(kt);
        EXPECT_EQ(static_cast<size_t>(kt->key_agreement_info->eph_iv->length), k.ukm_len);
        EXPECT_EQ(OBJ_obj2nid(kt->key_agreement_info->cipher), objmap::nid(k.cipher));
        ASSERT_NE(kt->key_agreement_info->ephem_key, nullptr);
        EXPECT_EQ(kt->key_info->encrypted_key->length, 32);
        EXPECT_NE(bytes_of(kt->key_info->encrypted_key), cek);
        EXPECT_EQ(decrypt(recipient.get(), der), cek);

        // Someone else's key of the same kind cannot unwrap it.
        Key other = generate(k.type, k.paramset);
        expect_refused([&] { return decrypt(other.get(), der); }, "Wrong MAC");
    }
}

TEST_F(GostKeyTransport, TamperedMacOrKeyFailsAfterBothKdfs) {
    Key recipient = generate(Obj::gost2012_256, "A");
    const Bytes cek(32, 0x5a);
    const Bytes der = encrypt(recipient.get(), cek);
    Transport kt = parse(der);
    ASSERT_TRUE(kt);
    for (ASN1_OCTET_STRING* field : {kt->key_info->imit, kt->key_info->encrypted_key}) {
        field->data[0] ^= 0x80;
        const Bytes bad = engine_tests::der_of(i2d_TVK_KEY_TRANSPORT, kt.get());
        field->data[0] ^= 0x80;
        expect_refused([&] { return decrypt(recipient.get(), bad); },
                       "t_gost3410_kek_dec. Wrong MAC\n");
    }
}

// A transport made outside the engine: VKO with an ephemeral key, the KEK diversified by the
// given KDF, the key wrapped by ECB and its MAC taken with the UKM as IV.
Bytes wrap_by_hand(EVP_PKEY* recipient, bool kdf_2016, const Bytes& cek, const Bytes& ukm,
                   bool with_ephemeral, Key* ephemeral_out) {
    Key eph = generate(Obj::gost2012_256, "A");
    Ctx dctx(EVP_PKEY_CTX_new(eph.get(), nullptr));
    Bytes kek(32), kek2(32);
    size_t n = 32;
    EXPECT_TRUE(EVP_PKEY_derive_init(dctx.get()) == 1 &&
                EVP_PKEY_derive_set_peer(dctx.get(), recipient) == 1 &&
                EVP_PKEY_CTX_ctrl(dctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8,
                                  const_cast<uint8_t*>(ukm.data())) == 1 &&
                EVP_PKEY_derive(dctx.get(), kek.data(), &n) == 1);
    EXPECT_EQ(
        kdf_2016
            ? GOSTR3411_2012_256_KDF(kek.data(), 32, kKekLabel2016, 4, ukm.data(), 8, kek2.data())
            : GOST28147_89_KDF(GOST28147_89_DefaultPar()->tz, kek.data(), ukm.data(), kek2.data()),
        0);
    // ECB and MAC through the engine's own EVP tables (their vectors are checked elsewhere).
    Bytes ek(32);
    engine_tests::CipherCtx c(EVP_CIPHER_CTX_new());
    int outl = 0;
    EXPECT_TRUE(
        EVP_EncryptInit_ex(c.get(), tvk_cipher_gost89_ecb(), nullptr, kek2.data(), nullptr) &&
        EVP_EncryptUpdate(c.get(), ek.data(), &outl, cek.data(), 32));
    unsigned char mac[4];
    unsigned int ml = 0;
    ossl::MdCtx m(EVP_MD_CTX_new());
    EXPECT_TRUE(EVP_DigestInit(m.get(), tvk_imit_gost89()) &&
                EVP_MD_CTX_ctrl(m.get(), TVK_CTRL_SET_KEY, 32, kek2.data()) == 1 &&
                EVP_MD_CTX_ctrl(m.get(), TVK_CTRL_SET_MODE, 8, const_cast<uint8_t*>(ukm.data())) ==
                    1 &&
                EVP_DigestUpdate(m.get(), cek.data(), 32) && EVP_DigestFinal(m.get(), mac, &ml));

    const tvk_gost2012_key* e = gost2012_record(eph.get());
    uint8_t alg[16], curve[16], digest[16], cipher[16];
    uint32_t alg_n, curve_n, digest_n, cipher_n;
    EXPECT_TRUE(gost_param_der(objmap::nid(Obj::gost2012_256), alg, &alg_n) &&
                gost_param_der(e->param_nid, curve, &curve_n) &&
                gost_param_der(objmap::nid(Obj::md_gost12_256), digest, &digest_n) &&
                gost_param_der(objmap::nid(Obj::gost_28147_param_Z), cipher, &cipher_n));
    uint8_t *a = nullptr, *b = nullptr, *p = nullptr, *t = nullptr;
    uint32_t an = 0, bn = 0, pn = 0, tn = 0;
    EXPECT_TRUE(ber_encode_GostR3410_EncryptedKey(ek.data(), 32, mac, 4, BER_ENCODE, &a, &an));
    if (with_ephemeral) {
        EXPECT_TRUE(ber_encode_GostR3410_EphemeralKey(alg, alg_n, curve, curve_n, digest, digest_n,
                                                      e->pub_key, 64, BER_ENCODE, &b, &bn));
    }
    EXPECT_TRUE(ber_encode_GostR3410_TransportParameters(cipher, cipher_n, b, bn, ukm.data(), 8,
                                                         BER_ENCODE, &p, &pn));
    EXPECT_TRUE(ber_encode_GostR3410_KeyTransport(a, an, p, pn, BER_ENCODE, &t, &tn));
    Bytes der(t, t + tn);
    std::free(a), std::free(b), std::free(p), std::free(t);
    if (ephemeral_out != nullptr) *ephemeral_out = std::move(eph);
    return der;
}

TEST_F(GostKeyTransport, BothKekDiversificationsAreAccepted) {
    Key recipient = generate(Obj::gost2012_256, "A");
    const Bytes cek = from_hex("a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0");
    const Bytes ukm = from_hex("0102030405060708");
    for (bool kdf_2016 : {true, false})
        EXPECT_EQ(decrypt(recipient.get(),
                          wrap_by_hand(recipient.get(), kdf_2016, cek, ukm, true, nullptr)),
                  cek);
}

TEST_F(GostKeyTransport, WithoutEphemeralKeyTheSenderMustBeThePeer) {
    Key recipient = generate(Obj::gost2012_256, "A");
    const Bytes cek(32, 0x42), ukm = from_hex("1122334455667788");
    Key sender;
    const Bytes der = wrap_by_hand(recipient.get(), false, cek, ukm, false, &sender);
    const tvk_gost2012_key* own = gost2012_record(recipient.get());
    uint8_t out[32];
    size_t out_len = sizeof out;
    const auto [rc, err] = captured([&] {
        return t_gost3410_kek_dec(own->priv_key, own->priv_key_len, nullptr, der.data(), der.size(),
                                  out, &out_len);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(has(err, "Sender public key not set\n")) << err;
    expect_refused([&] { return decrypt(recipient.get(), der); },
                   "pkey_tvk_decrypt: NULL peer key\n");
    EXPECT_EQ(decrypt(recipient.get(), der, sender.get()), cek);
}

TEST_F(GostKeyTransport, RefusesBadKeyAndUkmLengthsAndAnswersLengthQueries) {
    Key recipient = generate(Obj::gost2012_256, "A");
    expect_refused([&] { return encrypt(recipient.get(), Bytes(31, 1)); },
                   "Invalid input key data length: 31\n");
    expect_refused([&] { return encrypt(recipient.get(), Bytes(32, 1), Bytes(12, 3)); },
                   "Usupported UKM length: 12. Should be 8 or 16\n");

    // A given UKM is used as it is; the length query matches the encoding.
    const Bytes ukm = from_hex("0102030405060708");
    Ctx ctx(EVP_PKEY_CTX_new(recipient.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    size_t len = 0;
    const Bytes cek(32, 9);
    ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &len, cek.data(), 32), 1);
    const Bytes der = encrypt(recipient.get(), cek, ukm);
    EXPECT_EQ(der.size(), len);
    EXPECT_EQ(bytes_of(parse(der)->key_agreement_info->eph_iv), ukm);
    // Output room that is too small is refused, not overrun.
    Bytes small(len - 1);
    size_t room = small.size();
    EXPECT_NE(EVP_PKEY_encrypt(ctx.get(), small.data(), &room, cek.data(), 32), 1);

    // Garbage is no transport.
    expect_refused([&] { return decrypt(recipient.get(), Bytes(40, 0x30)); },
                   "d2i_TVK_KEY_TRANSPORT failed");
}

// Keys of the published examples: the private key replaces a generated one's.
Key with_private(Obj type, const char* paramset, const Bytes& priv) {
    Key k = generate(type, paramset);
    tvk_gost2012_key* r = gost2012_record(k.get());
    std::memcpy(r->priv_key, priv.data(), priv.size());
    EXPECT_EQ(gost3410_public_key_derive_key(nullptr, r), 1);
    return k;
}

Bytes derive(EVP_PKEY* own, EVP_PKEY* peer, const Bytes& ukm, std::string* errors = nullptr) {
    Ctx ctx(EVP_PKEY_CTX_new(own, nullptr));
    EXPECT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
    if (peer != nullptr) {
        EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), peer), 1);
    }
    if (!ukm.empty()) {
        EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV,
                                    static_cast<int>(ukm.size()), const_cast<uint8_t*>(ukm.data())),
                  1);
    }
    testing::internal::CaptureStderr();
    size_t len = 0;
    Bytes out;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &len) == 1) {
        EXPECT_EQ(len, 32u);
        out.resize(len);
        if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) out.clear();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    if (errors != nullptr) *errors = err;
    return out;
}

TEST_F(GostKeyTransport, DeriveMatchesTheVkoVectorsFromBothSides) {
    const VectorFile file("gostr3410_vko.txt");
    struct Case {
        const char* name;
        Obj type;
        const char* paramset;
        size_t ukm_len;
    };
    // The published 512-bit example with an 8-byte UKM equals one with that UKM zero-extended.
    for (const Case c : {Case{"vko-2001-cryptopro-a", Obj::gost2001, "A", 8},
                         Case{"vko-2012-256-cryptopro-a", Obj::gost2012_256, "A", 8},
                         Case{"rfc7836-vko-256", Obj::gost2012_512, "A", 16}}) {
        SCOPED_TRACE(c.name);
        const VectorBlock* v = nullptr;
        for (const auto& b : file.blocks())
            if (b.text("name") == c.name) v = &b;
        ASSERT_NE(v, nullptr);
        Bytes ukm = v->hex("ukm");
        ukm.resize(c.ukm_len, 0);
        Key a = with_private(c.type, c.paramset, v->hex("prv_a"));
        Key b = with_private(c.type, c.paramset, v->hex("prv_b"));
        EXPECT_EQ(to_hex(gost2012_record(a.get())->pub_key, gost2012_record(a.get())->pub_key_len),
                  v->text("pub_a"));
        EXPECT_EQ(to_hex(derive(a.get(), b.get(), ukm)), v->text("kek"));
        EXPECT_EQ(to_hex(derive(b.get(), a.get(), ukm)), v->text("kek"));
    }
}

TEST_F(GostKeyTransport, DeriveRefusesMissingUkmZeroUkmAndMissingPeer) {
    Key a = generate(Obj::gost2012_256, "A"), b = generate(Obj::gost2012_256, "A");
    std::string err;
    EXPECT_TRUE(derive(a.get(), b.get(), {}, &err).empty());
    EXPECT_NE(err.find("pkey_tvk_derive: UKM not set\n"), std::string::npos);
    EXPECT_TRUE(derive(a.get(), b.get(), Bytes(8, 0), &err).empty());
    EXPECT_NE(err.find("pkey_tvk_derive: Illegal zero UKM\n"), std::string::npos);
    EXPECT_TRUE(derive(a.get(), nullptr, Bytes(8, 1), &err).empty());
    // A 512-bit peer asks for 16 bytes of UKM.
    Key big = generate(Obj::gost2012_512, "A"), big2 = generate(Obj::gost2012_512, "A");
    EXPECT_TRUE(derive(big.get(), big2.get(), Bytes(8, 1), &err).empty());
    EXPECT_EQ(derive(big.get(), big2.get(), Bytes(16, 1)),
              derive(big2.get(), big.get(), Bytes(16, 1)));
}

}  // namespace
