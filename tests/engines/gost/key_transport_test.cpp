// GOST key transport: the hand-written BER coder and the ASN.1 types that must read the same
// bytes, then key transport and VKO key agreement through the crypto library's EVP_PKEY interface.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/gost/gost_asn1_ber.h"
#include "engines/gost/gost_ciphers.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "engines/gost/gost_key_transport.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

namespace {

struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Both passes of an encoder call; the first must announce the length the second writes.
template <class F>
Bytes both_passes(F call) {
    uint32_t want = 0, got = 0;
    uint8_t* out = nullptr;
    EXPECT_EQ(call(BER_LENGTH_ONLY, nullptr, &want), 1);
    EXPECT_EQ(call(BER_ENCODE, &out, &got), 1);
    std::unique_ptr<uint8_t, Free> owner(out);
    EXPECT_EQ(want, got);
    return Bytes(out, out + got);
}

Bytes encode(int (*enc)(const uint8_t*, uint32_t, int, uint8_t**, uint32_t*), const Bytes& in) {
    return both_passes([&](int mode, uint8_t** out, uint32_t* n) {
        return enc(in.data(), static_cast<uint32_t>(in.size()), mode, out, n);
    });
}

// The input copied into a heap block of exactly its size, so that any read past it trips ASan.
struct Exact {
    explicit Exact(const Bytes& b)
        : p(static_cast<uint8_t*>(std::malloc(b.size() ? b.size() : 1))), n(b.size()) {
        std::copy(b.begin(), b.end(), p);
    }
    ~Exact() { std::free(p); }
    uint8_t* p;
    size_t n;
};

const Bytes kCipherOid = from_hex("06072a850302021f01");  // CryptoPro-A 28147 set
const Bytes kAlgOid = from_hex("06082a85030701010101");   // gost2012_256
const Bytes kCurve = from_hex("06092a8503070102010101");  // tc26 256 paramSetA
const Bytes kDigest = from_hex("06082a85030701010202");   // md_gost12_256

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}

struct Transport {
    Bytes key = pattern(32, 1), mac = pattern(4, 9), pub, ukm = pattern(8, 3);
    Bytes cipher = kCipherOid, curve = kCurve;
};

Bytes encode_transport(const Transport& t) {
    using Out = uint8_t**;
    const Bytes ek = both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_EncryptedKey(t.key.data(), 32, t.mac.data(), 4, mode, out, n);
    });
    const Bytes eph = t.pub.empty() ? Bytes{} : both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_EphemeralKey(kAlgOid.data(), kAlgOid.size(), t.curve.data(),
                                                 t.curve.size(), kDigest.data(), kDigest.size(),
                                                 t.pub.data(), t.pub.size(), mode, out, n);
    });
    const Bytes tp = both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_TransportParameters(
            t.cipher.data(), t.cipher.size(), eph.empty() ? nullptr : eph.data(), eph.size(),
            t.ukm.data(), t.ukm.size(), mode, out, n);
    });
    return both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_KeyTransport(ek.data(), ek.size(), tp.data(), tp.size(), mode,
                                                 out, n);
    });
}

Bytes view(const uint8_t* p, uint32_t n) {
    return p ? Bytes(p, p + n) : Bytes();
}

TEST(GostBer, LengthFormsAtEveryBoundary) {
    struct Case {
        size_t n;
        const char* header;
    } cases[] = {{0, "0400"},           {127, "047f"},
                 {128, "048180"},       {255, "0481ff"},
                 {256, "04820100"},     {65535, "0482ffff"},
                 {65536, "0483010000"}, {(1u << 24) - 1, "0483ffffff"}};
    for (const auto& c : cases) {
        const Bytes content = pattern(c.n, 5);
        const Bytes enc = encode(ber_encode_OCTET_STRING, content);
        const Bytes head = from_hex(c.header);
        ASSERT_EQ(enc.size(), head.size() + c.n) << c.n;
        EXPECT_EQ(Bytes(enc.begin(), enc.begin() + head.size()), head) << c.n;

        const uint8_t* got;
        uint32_t got_n, total;
        Exact in(enc);
        ASSERT_EQ(ber_decode_OCTET_STRING(in.p, in.n, &got, &got_n, &total), 1) << c.n;
        EXPECT_EQ(got, in.p + head.size());
        EXPECT_EQ(got_n, c.n);
        EXPECT_EQ(total, enc.size());
    }
}

TEST(GostBer, ContentOf2To24BytesIsRefused) {
    uint32_t n = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ber_encode_OCTET_STRING(nullptr, 1u << 24, BER_LENGTH_ONLY, nullptr, &n), 0);
    EXPECT_EQ(ber_encode_SEQUENCE(nullptr, 0xffffffffu, BER_LENGTH_ONLY, nullptr, &n), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("len_of_len Too large data length: 16777216\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ber_encode_OCTET_STRING Function Failed\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ber_encode_SEQUENCE Function Failed\n"), std::string::npos) << err;
    // A BIT STRING's unused-bits byte counts: 2^24-1 bytes of data make 2^24 bytes of content.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ber_encode_BIT_STRING(0, nullptr, (1u << 24) - 1, BER_LENGTH_ONLY, nullptr, &n), 0);
    testing::internal::GetCapturedStderr();
}

TEST(GostBer, BitStringKeepsItsTagAndUnusedBitsByte) {
    const Bytes data = pattern(300, 1);
    uint8_t* p = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(ber_encode_BIT_STRING(0, data.data(), data.size(), BER_ENCODE, &p, &n), 1);
    std::unique_ptr<uint8_t, Free> owner(p);
    EXPECT_EQ(to_hex(p, 5), "0382012d00");

    const uint8_t* got;
    uint32_t got_n, total;
    ASSERT_EQ(ber_decode_BIT_STRING(p, n, &got, &got_n, &total), 1);
    EXPECT_EQ(view(got, got_n), data);
    EXPECT_EQ(total, n);

    // Without the unused-bits byte there is nothing to return.
    const Bytes empty = from_hex("0300");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ber_decode_BIT_STRING(empty.data(), empty.size(), &got, &got_n, &total), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ber_decode_BIT_STRING Function Failed"),
              std::string::npos);
}

TEST(GostBer, DecoderRefusesOtherLengthFormsAndTags) {
    const char* bad[] = {
        "0480",            // indefinite
        "0484000000010a",  // four length octets
        "0400",            // fine, as a control (decodes)
        "0381",            // length octet missing
        "048201",          // length field cut short
        "0403aabb",        // content cut short
        "3000",            // wrong tag
    };
    testing::internal::CaptureStderr();
    for (const char* h : bad) {
        const Bytes b = from_hex(h);
        Exact in(b);
        const uint8_t* c;
        uint32_t cn, t;
        const int want = std::string(h) == "0400" ? 1 : 0;
        EXPECT_EQ(ber_decode_OCTET_STRING(in.p, in.n, &c, &cn, &t), want) << h;
    }
    const uint8_t* c;
    uint32_t cn, t;
    EXPECT_EQ(ber_decode_SEQUENCE(nullptr, 10, &c, &cn, &t), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ber_decode_OCTET_STRING Function Failed"), std::string::npos);
    EXPECT_NE(err.find("ber_decode_SEQUENCE Function Failed"), std::string::npos);
}

TEST(GostBer, KeyTransportRoundTripsWithAndWithoutEphemeralKey) {
    for (bool with_key : {true, false}) {
        Transport t;
        if (with_key) t.pub = pattern(64, 0x21);
        const Bytes enc = encode_transport(t);
        Exact in(enc);
        ber_key_transport kt{};
        ASSERT_EQ(ber_decode_GostR3410_KeyTransport(in.p, in.n, &kt), 1);
        EXPECT_EQ(view(kt.encrypted_key, kt.encrypted_key_len), t.key);
        EXPECT_EQ(view(kt.imit, kt.imit_len), t.mac);
        EXPECT_EQ(view(kt.cipher_oid, kt.cipher_oid_len), kCipherOid);
        EXPECT_EQ(view(kt.ukm, kt.ukm_len), t.ukm);
        EXPECT_EQ(view(kt.public_key, kt.public_key_len), t.pub);
        if (with_key) {
            EXPECT_EQ(view(kt.alg_oid, kt.alg_oid_len), kAlgOid);
            EXPECT_EQ(view(kt.curve_oid, kt.curve_oid_len), kCurve);
            EXPECT_EQ(view(kt.digest_oid, kt.digest_oid_len), kDigest);
        } else {
            EXPECT_EQ(kt.alg_oid, nullptr);
            EXPECT_EQ(kt.curve_oid_len, 0u);
            EXPECT_EQ(kt.digest_oid, nullptr);
        }
    }
}

TEST(GostBer, TruncatedKeyTransportFailsAtEveryOffset) {
    Transport t;
    t.pub = pattern(128, 0x31);
    const Bytes enc = encode_transport(t);
    testing::internal::CaptureStderr();
    for (size_t cut = 0; cut < enc.size(); ++cut) {
        Exact in(Bytes(enc.begin(), enc.begin() + cut));
        ber_key_transport kt{};
        kt.ukm_len = 77;
        EXPECT_EQ(ber_decode_GostR3410_KeyTransport(in.p, in.n, &kt), 0) << cut;
        EXPECT_EQ(kt.ukm_len, 0u);
        EXPECT_EQ(kt.encrypted_key, nullptr);
    }
    testing::internal::GetCapturedStderr();
}

TEST(GostBer, InnerElementMayNotReachPastItsParent) {
    Transport t;
    const Bytes enc = encode_transport(t);
    // The MAC claims one byte more: it still ends inside the whole input, but not inside the
    // encrypted-key SEQUENCE that holds it.
    Bytes bad = enc;
    ASSERT_EQ(to_hex(Bytes(bad.begin() + 2, bad.begin() + 6)), "30280420");
    ASSERT_EQ(bad[38], 0x04);
    bad[39] += 1;
    Exact in(bad);
    ber_key_transport kt{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(ber_decode_GostR3410_KeyTransport(in.p, in.n, &kt), 0);
    // An identifier with a long-form length is refused.
    Bytes long_oid = enc;
    const std::string h = to_hex(long_oid);
    const size_t at = h.find(to_hex(kCipherOid)) / 2;
    long_oid.insert(long_oid.begin() + at + 1, 0x81);
    long_oid[1] += 1;       // outer SEQUENCE
    long_oid[at - 1] += 1;  // [0] transport parameters
    Exact in2(long_oid);
    EXPECT_EQ(ber_decode_GostR3410_KeyTransport(in2.p, in2.n, &kt), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "ber_decode_GostR3410_KeyTransport Function Failed"),
              std::string::npos);
}

// Both sizes of public key: the hand coder wraps it twice (BIT STRING around OCTET STRING), and
// the templates read and write the very same bytes.
TEST(GostBer, TemplatesAndHandCoderReadEachOthersOutput) {
    for (size_t len : {64u, 128u}) {
        Transport t;
        t.pub = pattern(len, 0x41);
        const Bytes enc = encode_transport(t);
        const std::string wrap = len == 64 ? "0343000440" : "03818400048180";
        EXPECT_NE(to_hex(enc).find(wrap + to_hex(t.pub)), std::string::npos);
        const uint8_t* q = enc.data();
        ossl::KeyTransport kt(d2i_TVK_KEY_TRANSPORT(nullptr, &q, enc.size()));
        ASSERT_NE(kt, nullptr);
        EXPECT_EQ(q, enc.data() + enc.size());
        EXPECT_EQ(view(ASN1_STRING_get0_data(kt->key_info->encrypted_key),
                       ASN1_STRING_length(kt->key_info->encrypted_key)),
                  t.key);
        EXPECT_EQ(view(ASN1_STRING_get0_data(kt->key_agreement_info->eph_iv),
                       ASN1_STRING_length(kt->key_agreement_info->eph_iv)),
                  t.ukm);
        ASSERT_NE(kt->key_agreement_info->ephem_key, nullptr);

        unsigned char* der = nullptr;
        const int n = i2d_TVK_KEY_TRANSPORT(kt.get(), &der);
        ossl::Bytes owner(der);
        ASSERT_GT(n, 0);
        EXPECT_EQ(Bytes(der, der + n), enc);
    }
}

TEST(GostAsn1, KeyParamsReadWithAndWithoutDigest) {
    // The 512-bit example key of RFC 9215 D.3 carries only the curve.
    const Bytes only_curve = from_hex("300b06092a8503070102010200");
    const uint8_t* q = only_curve.data();
    ossl::KeyParams p(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &q, only_curve.size()));
    ASSERT_NE(p, nullptr);
    char txt[64];
    OBJ_obj2txt(txt, sizeof txt, p->key_params, 1);
    EXPECT_STREQ(txt, "1.2.643.7.1.2.1.2.0");
    EXPECT_EQ(p->hash_params, nullptr);

    const Bytes three = from_hex("301b06072a85030202230106072a850302021e0106072a850302021f01");
    q = three.data();
    p.reset(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &q, three.size()));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->cipher_params, nullptr);
    unsigned char* der = nullptr;
    const int n = i2d_TVK_GOST2012_KEY_PARAMS(p.get(), &der);
    ossl::Bytes der_owner(der);
    EXPECT_EQ(Bytes(der, der + n), three);

    const Bytes cipher = from_hex("300f0408000102030405060706032a0304");
    q = cipher.data();
    ossl::CipherParams c(d2i_TVK_CIPHER_PARAMS(nullptr, &q, cipher.size()));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ASN1_STRING_length(c->iv), 8);
}

// Seeded corruptions of a valid key transport: whatever the decoders make of them, they stay
// inside the input (the input sits in an exact-size heap block) and report failure cleanly.
TEST(GostBer, CorruptedKeyTransportsStayInsideTheirInput) {
    Transport t;
    t.pub = pattern(64, 0x51);
    const Bytes good = encode_transport(t);
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
    testing::internal::CaptureStderr();
    size_t decoded = 0;
    for (int i = 0; i < 3000; ++i) {
        Bytes b = good;
        const int edits = 1 + static_cast<int>(next() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = next() % b.size();
            switch (next() % 3) {
                case 0:
                    b[at] = static_cast<uint8_t>(next());
                    break;
                case 1:
                    b[at] ^= static_cast<uint8_t>(1u << (next() % 8));
                    break;
                default:
                    b.resize(at + 1);
                    break;
            }
        }
        Exact in(b);
        ber_key_transport kt{};
        if (ber_decode_GostR3410_KeyTransport(in.p, in.n, &kt) == 1) {
            ++decoded;
            for (auto [p, n] : {std::pair{kt.encrypted_key, kt.encrypted_key_len},
                                {kt.imit, kt.imit_len},
                                {kt.cipher_oid, kt.cipher_oid_len},
                                {kt.ukm, kt.ukm_len},
                                {kt.public_key, kt.public_key_len}}) {
                if (!p) continue;
                EXPECT_GE(p, in.p);
                EXPECT_LE(p + n, in.p + in.n);
            }
        }
        const uint8_t* q = in.p;
        ossl::KeyTransport(d2i_TVK_KEY_TRANSPORT(nullptr, &q, static_cast<long>(in.n)));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GT(decoded, 0u);  // some edits leave a well-formed structure
}

using engine_tests::captured;
using engine_tests::generate;
using engine_tests::has;
using Key = ossl::PKey;
using Ctx = engine_tests::PKeyCtx;
using GostKeyTransport = engine_tests::EngineTest;
using TransportPtr = ossl::KeyTransport;

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

TransportPtr parse(const Bytes& der) {
    const unsigned char* p = der.data();
    return TransportPtr(d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(der.size())));
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
        TransportPtr kt = parse(der);
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
    TransportPtr kt = parse(der);
    ASSERT_TRUE(kt);
    for (ASN1_OCTET_STRING* field : {kt->key_info->imit, kt->key_info->encrypted_key}) {
        field->data[0] ^= 0x80;
        const Bytes bad = engine_tests::der_of(i2d_TVK_KEY_TRANSPORT, kt.get());
        field->data[0] ^= 0x80;
        expect_refused([&] { return decrypt(recipient.get(), bad); },
                       "t_gost3410_kek_dec. Wrong MAC\n");
    }
}

Bytes param_der(int nid) {
    uint8_t der[16];
    uint32_t n = 0;
    EXPECT_EQ(gost_param_der(nid, der, &n), 1);
    return Bytes(der, der + n);
}
Bytes param_der(Obj o) {
    return param_der(objmap::nid(o));
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
    Transport t{ek,
                Bytes(mac, mac + 4),
                Bytes(),
                ukm,
                param_der(Obj::gost_28147_param_Z),
                param_der(e->param_nid)};
    if (with_ephemeral) t.pub.assign(e->pub_key, e->pub_key + 64);
    const Bytes der = encode_transport(t);
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

// Without the engine's settings decryption says so in its own line, once. The settings go for
// good, so this runs in a child process.
TEST_F(GostKeyTransport, WithoutSettingsDecryptionReportsOneLine) {
    Key recipient = generate(Obj::gost2012_256, "A");
    const Bytes der = encrypt(recipient.get(), Bytes(32, 7));
    Ctx ctx(EVP_PKEY_CTX_new(recipient.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_decrypt_init(ctx.get()), 1);
    EXPECT_EXIT(
        {
            tvk_gost_engine_destroy(ENGINE_get_pkey_meth_engine(objmap::nid(Obj::gost2012_256)));
            unsigned char out[32];
            size_t len = sizeof out;
            std::_Exit(EVP_PKEY_decrypt(ctx.get(), out, &len, der.data(), der.size()) == 1);
        },
        testing::ExitedWithCode(0), "^pkey_tvk_decrypt: ENGINE_get_ex_data failed\n$");
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
