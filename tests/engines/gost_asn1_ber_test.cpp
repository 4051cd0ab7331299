// The hand-written BER coder of the key transport and the ASN.1 types that must read the same
// bytes.
#include "engines/gost/gost_asn1_ber.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/vectors.h"
#include "cryptoext/ossl.h"
#include "engines/gost/gost_asn1_types.h"

namespace {

using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;

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
};

Bytes encode_transport(const Transport& t) {
    using Out = uint8_t**;
    const Bytes ek = both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_EncryptedKey(t.key.data(), 32, t.mac.data(), 4, mode, out, n);
    });
    const Bytes eph = t.pub.empty() ? Bytes{} : both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_EphemeralKey(kAlgOid.data(), kAlgOid.size(), kCurve.data(),
                                                 kCurve.size(), kDigest.data(), kDigest.size(),
                                                 t.pub.data(), t.pub.size(), mode, out, n);
    });
    const Bytes tp = both_passes([&](int mode, Out out, uint32_t* n) {
        return ber_encode_GostR3410_TransportParameters(
            kCipherOid.data(), kCipherOid.size(), eph.empty() ? nullptr : eph.data(), eph.size(),
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
        std::unique_ptr<TVK_KEY_TRANSPORT, decltype(&TVK_KEY_TRANSPORT_free)> kt(
            d2i_TVK_KEY_TRANSPORT(nullptr, &q, enc.size()), TVK_KEY_TRANSPORT_free);
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
    TVK_GOST2012_KEY_PARAMS* p = d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &q, only_curve.size());
    ASSERT_NE(p, nullptr);
    char txt[64];
    OBJ_obj2txt(txt, sizeof txt, p->key_params, 1);
    EXPECT_STREQ(txt, "1.2.643.7.1.2.1.2.0");
    EXPECT_EQ(p->hash_params, nullptr);
    TVK_GOST2012_KEY_PARAMS_free(p);

    const Bytes three = from_hex("301b06072a85030202230106072a850302021e0106072a850302021f01");
    q = three.data();
    p = d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &q, three.size());
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->cipher_params, nullptr);
    unsigned char* der = nullptr;
    const int n = i2d_TVK_GOST2012_KEY_PARAMS(p, &der);
    EXPECT_EQ(Bytes(der, der + n), three);
    OPENSSL_free(der);
    TVK_GOST2012_KEY_PARAMS_free(p);

    const Bytes cipher = from_hex("300f0408000102030405060706032a0304");
    q = cipher.data();
    TVK_CIPHER_PARAMS* c = d2i_TVK_CIPHER_PARAMS(nullptr, &q, cipher.size());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ASN1_STRING_length(c->iv), 8);
    TVK_CIPHER_PARAMS_free(c);
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
        TVK_KEY_TRANSPORT_free(d2i_TVK_KEY_TRANSPORT(nullptr, &q, static_cast<long>(in.n)));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GT(decoded, 0u);  // some edits leave a well-formed structure
}

}  // namespace
