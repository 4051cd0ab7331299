// GOST keys: the key record and its signature operations against the published keys and
// signatures of RFC 9215 and RFC 4491; the crypto library's encoders (certificates, every
// private-key form, PKCS#8, parameters, printing, PKCS#7/CMS algorithm identifiers); and the key
// operations method (parameter-set strings, generation, signing through EVP, controls, MAC keys).
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/engine.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/vectors.h"
#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/gost_key_record.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "gost/gostr3413.h"

namespace {

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::to_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

Bytes reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

class GostKeyRecord : public testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(objmap::register_objects()); }
};

struct Der {
    uint8_t b[16];
    uint32_t n = 0;
};

Der der_of(int nid) {
    Der d;
    EXPECT_EQ(gost_param_der(nid, d.b, &d.n), 1);
    return d;
}

Der der_of(const std::string& dotted) {
    return der_of(OBJ_txt2nid(dotted.c_str()));
}

// Makes RAND_bytes fail while it lives.
class FailingRandom {
  public:
    FailingRandom() : saved_(RAND_get_rand_method()) { RAND_set_rand_method(&kFail); }
    ~FailingRandom() { RAND_set_rand_method(saved_); }

  private:
    static int fail_bytes(unsigned char*, int) { return 0; }
    static int status() { return 1; }
    static constexpr RAND_METHOD kFail = {nullptr, fail_bytes, nullptr,
                                          nullptr, fail_bytes, status};
    const RAND_METHOD* saved_;
};

// A set of the other size or a type that is no key is refused, and the record stays as it was.
TEST_F(GostKeyRecord, FillRefusesMismatchedSets) {
    tvk_gost2012_key k{};
    const int c512 = objmap::nid(Obj::gost_3410_2012_512_paramSetC);
    ASSERT_EQ(fill_GOST2012_params(&k, objmap::nid(Obj::gost2012_512), c512), 1);
    const auto fill = [&](Obj type, Obj set) {
        return fill_GOST2012_params(&k, objmap::nid(type), objmap::nid(set));
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(fill(Obj::gost2012_512, Obj::gost_3410_2012_256_paramSetA), 0);
    EXPECT_EQ(fill(Obj::gost2012_256, Obj::gost_3410_2012_512_paramSetA), 0);
    EXPECT_EQ(fill(Obj::md_gost12_256, Obj::gost_3410_2012_256_paramSetA), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fill_GOST2012_params: unsupported parameter set\n"
              "fill_GOST2012_params: unsupported parameter set\n"
              "fill_GOST2012_params: unsupported alg NID\n");
    EXPECT_EQ(k.param_nid, c512);
    EXPECT_EQ(k.priv_key_len, 64u);
}

TEST_F(GostKeyRecord, TablesMatchTheCryptoLibraryObjects) {
    size_t rows = 0;
    for (bool big : {false, true})
        for (const auto& r : big ? gost2012_512_param_oids() : gost2012_256_param_oids()) {
            const Der d = der_of(std::string(r.oid));
            EXPECT_EQ(Bytes(d.b, d.b + d.n), Bytes(r.der, r.der + r.der_len)) << r.oid;
            EXPECT_EQ(objmap::nid(r.obj), OBJ_txt2nid(r.oid)) << r.oid;
            EXPECT_EQ(gost2012_find_param(objmap::nid(r.obj), big), &r);
            EXPECT_EQ(gost2012_find_param(objmap::nid(r.obj), !big), nullptr);
            ++rows;
        }
    EXPECT_EQ(rows, 14u);
}

// The identifier is SHA-1 over the public key's DER OCTET STRING, header included.
TEST_F(GostKeyRecord, KeyIdentifierHashesTheDerOctetString) {
    for (uint32_t n : {64u, 128u}) {
        Bytes der = n == 64 ? from_hex("0440") : from_hex("048180");
        for (uint32_t i = 0; i < n; ++i) der.push_back(static_cast<uint8_t>(i * 3 + 1));
        uint8_t want[20], got[20];
        unsigned int len = 0;
        ASSERT_EQ(EVP_Digest(der.data(), der.size(), want, &len, EVP_sha1(), nullptr), 1);
        ASSERT_EQ(pkcs11_id_gen(der.data() + der.size() - n, n, got), 1);
        EXPECT_EQ(Bytes(got, got + 20), Bytes(want, want + 20));
    }
}

TEST_F(GostKeyRecord, PublishedKeysDeriveTheirPublicKeys) {
    VectorFile f("keys-certs.txt");
    const size_t n = f.each(
        [](const VectorBlock& b) {
            const std::string name = b.text("name");
            const Bytes prv = b.hex("prv_le"), pub = b.hex("pub_le");
            EXPECT_EQ(prv, reversed(b.hex("prv")));
            const size_t L = prv.size();
            EXPECT_EQ(Bytes(pub.begin(), pub.begin() + L), reversed(b.hex("pub_x")));
            EXPECT_EQ(Bytes(pub.begin() + L, pub.end()), reversed(b.hex("pub_y")));
            const Der d = der_of(b.text("curve"));
            uint8_t out[128];
            uint32_t out_len = 0;
            ASSERT_EQ(gost3410_public_key_derive(prv.data(), L, d.b, d.n, out, &out_len), 1)
                << name;
            EXPECT_EQ(Bytes(out, out + out_len), pub) << name;
            b.text("source"), b.text("what"), b.text("confirmed");
        },
        "keypair");
    EXPECT_EQ(n, 4u);
}

TEST_F(GostKeyRecord, PublishedSignaturesVerifyAndAFlippedBitFails) {
    VectorFile f("keys-certs.txt");
    size_t n = 0;
    for (const auto& b : f.blocks()) {
        if (!b.has("sig")) continue;
        ++n;
        const Bytes sig = b.hex("sig"), digest = b.hex("tbs_digest"), pub = b.hex("pub_le");
        Bytes sr = b.hex("s");
        const Bytes r = b.hex("r");
        sr.insert(sr.end(), r.begin(), r.end());
        EXPECT_EQ(sig, sr);
        const Der d = der_of(b.text("curve"));
        EXPECT_EQ(gost3410_verify(sig.data(), digest.data(), d.b, d.n, pub.data(), pub.size()), 1)
            << b.text("name");

        tvk_gost2012_key k{};
        const bool big = pub.size() == 128;
        ASSERT_EQ(fill_GOST2012_params(&k, objmap::nid(big ? Obj::gost2012_512 : Obj::gost2012_256),
                                       OBJ_txt2nid(b.text("curve").c_str())),
                  1);
        std::copy(pub.begin(), pub.end(), k.pub_key);
        EXPECT_EQ(tvk_gost2012_do_verify(digest.data(), digest.size(), sig.data(), &k), 1);

        testing::internal::CaptureStderr();
        Bytes bad = sig;
        bad[bad.size() / 2] ^= 0x01;  // the lowest bit of s
        EXPECT_EQ(tvk_gost2012_do_verify(digest.data(), digest.size(), bad.data(), &k), 0);
        // The digest length must be the key's.
        EXPECT_EQ(tvk_gost2012_do_verify(digest.data(), big ? 32 : 64, sig.data(), &k), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string verify =
            big ? "GOSTR3410_2012_512_Verify failed" : "GOSTR3410_2012_256_Verify failed";
        EXPECT_NE(err.find(verify), std::string::npos) << err;
        EXPECT_NE(err.find("gost3410_verify failed\n"), std::string::npos);
    }
    EXPECT_EQ(n, 10u);
}

TEST_F(GostKeyRecord, DerivationFallsBackToTheDefaultSetButSigningDoesNot) {
    const Bytes prv = from_hex("283bec9198ce191dee7e39491f96601bc1729ad39d35ed10beb99b78de9a927a");
    const Bytes unknown = from_hex("06032a0304");
    const Der cpa = der_of(objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet));
    uint8_t a[64], b[64];
    uint32_t n = 0;
    ASSERT_EQ(gost3410_public_key_derive(prv.data(), 32, unknown.data(), unknown.size(), a, &n), 1);
    ASSERT_EQ(gost3410_public_key_derive(prv.data(), 32, cpa.b, cpa.n, b, &n), 1);
    EXPECT_EQ(Bytes(a, a + 64), Bytes(b, b + 64));

    uint8_t digest[32] = {1}, sig[64];
    testing::internal::CaptureStderr();
    EXPECT_EQ(gost3410_sign(digest, sig, unknown.data(), unknown.size(), prv.data(), 32), 0);
    EXPECT_EQ(gost3410_public_key_derive(prv.data(), 31, cpa.b, cpa.n, b, &n), 0);
    EXPECT_EQ(gost3410_sign(digest, sig, cpa.b, cpa.n, prv.data(), 48), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("GOSTR3410_2012_256_FindParByDerOid failed"), std::string::npos) << err;
    EXPECT_NE(err.find("Unsupported private key length 31\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Unsupported priv_key_len 48\n"), std::string::npos) << err;
}

TEST_F(GostKeyRecord, FailingRandomSourceFailsKeyGenerationAndSigning) {
    tvk_gost2012_key k{};
    ASSERT_EQ(fill_GOST2012_params(&k, objmap::nid(Obj::gost2012_256),
                                   objmap::nid(Obj::gost_3410_2012_256_paramSetA)),
              1);
    ASSERT_EQ(tvk_gost2012_keygen_wrapper(nullptr, &k), 1);
    tvk_gost2012_key fresh{};
    ASSERT_EQ(fill_GOST2012_params(&fresh, objmap::nid(Obj::gost2012_512),
                                   objmap::nid(Obj::gost_3410_2012_512_paramSetB)),
              1);
    uint8_t digest[32] = {7}, sig[64];
    testing::internal::CaptureStderr();
    {
        FailingRandom fail;
        EXPECT_EQ(tvk_rnd_func(sig, 8), 1);
        EXPECT_EQ(tvk_gost2012_do_sign(digest, 32, sig, &k), 0);
        EXPECT_EQ(tvk_gost2012_keygen_wrapper(nullptr, &fresh), 0);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("GOSTR3410_2012_256_Sign failed"), std::string::npos) << err;
    EXPECT_NE(err.find("tvk_gost2012_do_sign: gost3410_sign failed\n"), std::string::npos) << err;
    EXPECT_NE(err.find("GOSTR3410_2012_512_GenerateKeyPair failed"), std::string::npos) << err;
    EXPECT_EQ(fresh.has_private_key, 0);
    EXPECT_EQ(Bytes(fresh.priv_key, fresh.priv_key + 64), Bytes(64, 0));
    EXPECT_EQ(tvk_rnd_func(sig, 8), 0);
}

using P8 = ossl::P8Info;
using Req = ossl::X509Req;
using Crl = ossl::X509Crl;
using Bn = ossl::Bn;
using BnCtx = ossl::BnCtx;
using Pkcs7 = ossl::Pkcs7;
using Cms = ossl::Cms;
using PubKey = ossl::X509Pubkey;

// RFC 9215 D.1 (test curve) and D.3 (512-bit test curve) example keys.
const char* kD1Prv = "7a929ade789bb9be10ed359dd39a72c11b60961f49397eee1d19ce9891ec3b28";
const char* kD1Pub =
    "0bd86fe5d8db89668f789b4e1dba8585c5508b45ec5b59d8906ddb70e2492b7fda77ff871a10fbdf2766d293c5d164"
    "af"
    "bb3c7b973a41c885d11d70d689b4f126";
const char* kQ256Test = "8000000000000000000000000000000150fe8a1892976154c59cfc193accf5b3";
const char* kD3Prv =
    "0ba6048aadae241ba40936d47756d7c93091a0e8514669700ee7508e508b102072e8123b2200a0563322dad2827e27"
    "14a2636b7bfd18aadfc62967821fa18dd4";
const char* kQ512Test =
    "4531acd1fe0023c7550d267b6b2fee80922b14b2ffb90f04d4eb7c09b5d2d15da82f2d7ecb1dbac719905c5eecc423"
    "f1d86e25edbe23c595d644aaf187e6e6df";

using GostKeyEncoding = engine_tests::EngineTest;

const tvk_gost2012_key* record(const EVP_PKEY* k) {
    return gost2012_record(k);
}

struct KeyKind {
    Obj type, curve;
    const char* prv;  // big-endian
    const char* q;
    size_t L;
};
const KeyKind k256{Obj::gost2012_256, Obj::GostR3410_2001_TestParamSet, kD1Prv, kQ256Test, 32};
const KeyKind k512{Obj::gost2012_512, Obj::gost_3410_2012_512_paramSetTest, kD3Prv, kQ512Test, 64};

// SEQUENCE { curve, digest } as the key's algorithm parameters.
ASN1_STRING* params_of(const KeyKind& kk) {
    const Obj digest = kk.L == 64 ? Obj::md_gost12_512 : Obj::md_gost12_256;
    unsigned char* der = nullptr;
    ossl::KeyParams p(TVK_GOST2012_KEY_PARAMS_new());
    p->key_params = OBJ_nid2obj(objmap::nid(kk.curve));
    p->hash_params = OBJ_nid2obj(objmap::nid(digest));
    const int n = i2d_TVK_GOST2012_KEY_PARAMS(p.get(), &der);
    ASN1_STRING* s = ASN1_STRING_new();
    ASN1_STRING_set0(s, der, n);
    return s;
}

P8 pkcs8(const KeyKind& kk, const Bytes& private_key, Obj alg = Obj::gost_mac) {
    P8 p8(PKCS8_PRIV_KEY_INFO_new());
    auto* buf = static_cast<unsigned char*>(OPENSSL_malloc(private_key.size() + 1));
    std::copy(private_key.begin(), private_key.end(), buf);
    const Obj a = alg == Obj::gost_mac ? kk.type : alg;
    EXPECT_EQ(PKCS8_pkey_set0(p8.get(), OBJ_nid2obj(objmap::nid(a)), 0, V_ASN1_SEQUENCE,
                              params_of(kk), buf, static_cast<int>(private_key.size())),
              1);
    return p8;
}

ossl::PKey read_key(const KeyKind& kk, const Bytes& private_key, Obj alg = Obj::gost_mac) {
    P8 p8 = pkcs8(kk, private_key, alg);
    return ossl::PKey(EVP_PKCS82PKEY(p8.get()));
}

Bytes le_private(const tvk_gost2012_key* k) {
    return Bytes(k->priv_key, k->priv_key + k->priv_key_len);
}

// k * m mod q by the crypto library's own big numbers, as L little-endian bytes.
Bytes mod_mult(const Bytes& k_le, const Bytes& m_le, const char* q_hex, size_t L) {
    BnCtx ctx(BN_CTX_new());
    Bn k(BN_lebin2bn(k_le.data(), static_cast<int>(k_le.size()), nullptr));
    Bn m(BN_lebin2bn(m_le.data(), static_cast<int>(m_le.size()), nullptr));
    BIGNUM* q = nullptr;
    BN_hex2bn(&q, q_hex);
    Bn qq(q), r(BN_new());
    BN_mod_mul(r.get(), k.get(), m.get(), qq.get(), ctx.get());
    Bytes out(L);
    BN_bn2lebinpad(r.get(), out.data(), static_cast<int>(L));
    return out;
}

Bytes with_header(const char* hex, const Bytes& body) {
    Bytes b = from_hex(hex);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

TEST_F(GostKeyEncoding, PublishedCertificatesAndRequestsDecodeTheirKeys) {
    VectorFile f("keys-certs.txt");
    size_t certs = 0;
    for (const auto& b : f.blocks()) {
        const std::string kind = b.has("kind") ? b.text("kind") : "";
        if (kind != "certificate" && kind != "certificate-request") continue;
        const Bytes der = b.hex("der");
        const unsigned char* p = der.data();
        ossl::X509Ptr cert;
        Req req;
        EVP_PKEY* key = nullptr;
        if (kind == "certificate") {
            cert.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
            ASSERT_NE(cert, nullptr) << b.text("name");
            key = X509_get0_pubkey(cert.get());
        } else {
            req.reset(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
            ASSERT_NE(req, nullptr) << b.text("name");
            key = X509_REQ_get0_pubkey(req.get());
        }
        ASSERT_NE(key, nullptr) << b.text("name");
        const tvk_gost2012_key* k = record(key);
        ASSERT_NE(k, nullptr);
        const Bytes pub = b.hex("pub_le");
        EXPECT_EQ(Bytes(k->pub_key, k->pub_key + k->pub_key_len), pub) << b.text("name");
        EXPECT_EQ(k->param_nid, OBJ_txt2nid(b.text("curve").c_str()));
        EXPECT_EQ(EVP_PKEY_get_security_bits(key), pub.size() == 128 ? 256 : 128);
        EXPECT_EQ(EVP_PKEY_get_size(key), pub.size() == 128 ? 128 : 64);

        // The signature over the published digest, through the key operations method.
        ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
        ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
        const Bytes sig = b.hex("sig"), digest = b.hex("tbs_digest");
        EXPECT_EQ(EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()),
                  1)
            << b.text("name");
        // A signature one byte short is refused before anything reads it.
        EXPECT_EQ(
            EVP_PKEY_verify(ctx.get(), sig.data(), sig.size() - 1, digest.data(), digest.size()),
            0);
        // Whole-object verification where the engine offers the digest (2012 objects).
        if (b.text("hash") != "gostr3411-94-cryptopro") {
            EXPECT_EQ(cert ? X509_verify(cert.get(), key) : X509_REQ_verify(req.get(), key), 1)
                << b.text("name");
        }
        ++certs;
    }
    EXPECT_EQ(certs, 7u);
}

TEST_F(GostKeyEncoding, PublishedCrlsVerifyWithTheCertificateKey) {
    VectorFile f("keys-certs.txt");
    for (const char* n : {"rfc9215-d2", "rfc9215-d3"}) {
        const VectorBlock *cert_b = nullptr, *crl_b = nullptr;
        for (const auto& b : f.blocks()) {
            if (b.text("name") == std::string(n) + "-certificate") cert_b = &b;
            if (b.text("name") == std::string(n) + "-crl") crl_b = &b;
        }
        ASSERT_TRUE(cert_b && crl_b);
        const Bytes cd = cert_b->hex("der"), rd = crl_b->hex("der");
        const unsigned char* p = cd.data();
        ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(cd.size())));
        p = rd.data();
        Crl crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(rd.size())));
        ASSERT_TRUE(cert && crl);
        EXPECT_EQ(X509_CRL_verify(crl.get(), X509_get0_pubkey(cert.get())), 1) << n;
    }
}

TEST_F(GostKeyEncoding, EveryPrivateKeyFormReadsToTheSameKey) {
    for (const KeyKind& kk : {k256, k512}) {
        const Bytes be = from_hex(kk.prv), le = reversed(be);
        const size_t L = kk.L;
        Bytes mask(L, 0);
        mask[0] = 1;  // the number 1: the key half comes back as it is
        Bytes half_key(L), other_mask(L);
        for (size_t i = 0; i < L; ++i)
            half_key[i] = static_cast<uint8_t>(i * 7 + 3),
            other_mask[i] = static_cast<uint8_t>(0xa5 ^ i);
        half_key[L - 1] = 0x01, other_mask[L - 1] = 0x02;
        Bytes masked_one = le;
        masked_one.insert(masked_one.end(), mask.begin(), mask.end());
        Bytes masked = half_key;
        masked.insert(masked.end(), other_mask.begin(), other_mask.end());
        const Bytes unmasked = mod_mult(half_key, other_mask, kk.q, L);
        const char* os_l = L == 32 ? "0420" : "0440";
        const char* os_2l = L == 32 ? "0440" : "048180";
        const char* int_l = L == 32 ? "0220" : "0240";
        const char* int_l1 = L == 32 ? "022100" : "024100";

        struct Form {
            const char* what;
            Bytes in;
            Bytes want;
        } forms[] = {
            {"plain OCTET STRING", with_header(os_l, le), le},
            {"INTEGER", with_header(int_l, be), le},
            {"INTEGER with a leading zero", with_header(int_l1, be), le},
            {"masked OCTET STRING, mask 1", with_header(os_2l, masked_one), le},
            {"masked OCTET STRING", with_header(os_2l, masked), unmasked},
            {"untagged masked", masked, unmasked},
        };
        for (const auto& form : forms) {
            ossl::PKey key = read_key(kk, form.in);
            ASSERT_NE(key, nullptr) << form.what << " " << L;
            const tvk_gost2012_key* k = record(key.get());
            EXPECT_EQ(le_private(k), form.want) << form.what << " " << L;
            EXPECT_EQ(k->has_private_key, 1);

            // Written back it is the plain form, and reads back to the same key.
            P8 out(EVP_PKEY2PKCS8(key.get()));
            ASSERT_NE(out, nullptr);
            const unsigned char* pk = nullptr;
            int pk_len = 0;
            ASSERT_EQ(PKCS8_pkey_get0(nullptr, &pk, &pk_len, nullptr, out.get()), 1);
            EXPECT_EQ(Bytes(pk, pk + pk_len), with_header(os_l, form.want)) << form.what;
            ossl::PKey again(EVP_PKCS82PKEY(out.get()));
            ASSERT_NE(again, nullptr);
            const tvk_gost2012_key* k2 = record(again.get());
            EXPECT_EQ(le_private(k2), form.want);
            EXPECT_EQ(Bytes(k2->pub_key, k2->pub_key + k2->pub_key_len),
                      Bytes(k->pub_key, k->pub_key + k->pub_key_len));
            EXPECT_EQ(Bytes(k2->key_id, k2->key_id + 20), Bytes(k->key_id, k->key_id + 20));
            EXPECT_EQ(EVP_PKEY_eq(key.get(), again.get()), 1);
        }
        // The plain form of D.1 carries the published public key, also when its algorithm is
        // the agreement one: such keys read as signature keys.
        if (L == 32) {
            ossl::PKey key = read_key(kk, with_header(os_l, le), Obj::agreement_gost_3410_2012_256);
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), objmap::nid(Obj::gost2012_256));
            EXPECT_EQ(to_hex(record(key.get())->pub_key, 64), kD1Pub);
        }
    }
}

TEST_F(GostKeyEncoding, ShortAndLongIntegersAndBadFormsAreHandled) {
    const Bytes be = from_hex(kD1Prv);
    // 31 content bytes: a key whose highest byte is zero.
    Bytes low(be.begin() + 1, be.end());
    ossl::PKey key = read_key(k256, with_header("021f", low));
    ASSERT_NE(key, nullptr);
    Bytes want = reversed(low);
    want.push_back(0);
    EXPECT_EQ(le_private(record(key.get())), want);

    const char* bad[] = {
        "021f",  // INTEGER cut short
        "0421",  // OCTET STRING of 33 bytes cut short
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_key(k256, Bytes(48, 0x11)), nullptr);  // 48 bare bytes
    EXPECT_EQ(read_key(k256, with_header("041f", Bytes(31, 1))), nullptr);
    EXPECT_EQ(read_key(k256, with_header("0421", Bytes(33, 1))), nullptr);
    for (const char* h : bad) EXPECT_EQ(read_key(k256, with_header(h, Bytes(20, 1))), nullptr) << h;
    EXPECT_EQ(read_key(k256, Bytes()), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unrecognized private key value format\n"), std::string::npos) << err;
    EXPECT_NE(err.find("priv_decode_gost2012: create_private_key failed\n"), std::string::npos);
}

// The public key as SubjectPublicKeyInfo reads back equal and without the private half; a 65-byte
// key under the same algorithm identifier is refused.
TEST_F(GostKeyEncoding, SubjectPublicKeyInfo) {
    ossl::PKey key = read_key(k256, with_header("0420", reversed(from_hex(kD1Prv))));
    const Bytes spki = engine_tests::der_of(i2d_PUBKEY, key.get());
    const unsigned char* q = spki.data();
    ossl::PKey pub(d2i_PUBKEY(nullptr, &q, static_cast<long>(spki.size())));
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), pub.get()), 1);
    EXPECT_EQ(record(pub.get())->has_private_key, 0);

    // Swap in a 65-byte key under the same algorithm identifier.
    const Bytes longer = with_header("0441", Bytes(65, 7));
    auto* buf = static_cast<unsigned char*>(OPENSSL_memdup(longer.data(), longer.size()));
    ossl::Asn1String params(params_of(k256));
    PubKey bad(X509_PUBKEY_new());
    ASSERT_EQ(X509_PUBKEY_set0_param(bad.get(), OBJ_nid2obj(objmap::nid(Obj::gost2012_256)),
                                     V_ASN1_SEQUENCE, params.release(), buf,
                                     static_cast<int>(longer.size())),
              1);
    const Bytes der = engine_tests::der_of(i2d_X509_PUBKEY, bad.get());
    const unsigned char* p = der.data();
    EXPECT_EQ(engine_tests::captured([&] {
                  return ossl::PKey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()))) !=
                         nullptr;
              }).first,
              0);
}

TEST_F(GostKeyEncoding, PublicKeyPrintsSixteenBytesToALine) {
    ossl::PKey key = read_key(k256, with_header("0420", reversed(from_hex(kD1Prv))));
    ossl::Bio mem(BIO_new(BIO_s_mem()));
    // The crypto library puts the indent in front of every line itself.
    ASSERT_EQ(EVP_PKEY_print_public(mem.get(), key.get(), 2, nullptr), 1);
    char* text = nullptr;
    const long n = BIO_get_mem_data(mem.get(), &text);
    const std::string out(text, static_cast<size_t>(n));
    const std::string pub = kD1Pub;
    std::string lines;
    for (size_t i = 0; i < 64; ++i) {
        if (i % 16 == 0) lines += (i ? "\n" : "") + std::string(6, ' ');
        lines += pub.substr(2 * i, 2) + ":";
    }
    EXPECT_EQ(out,
              "  Key algorithm: \n"
              "      GOST R 34.10-2012 with 256 bit modulus\n"
              "  Parameters: \n"
              "      sign_params: " +
                  std::string(OBJ_nid2ln(objmap::nid(Obj::GostR3410_2001_TestParamSet))) +
                  "\n"
                  "      hash_params: GOST R 34.11-2012 with 256 bit hash\n"
                  "  Public key: \n" +
                  lines + "\n");
}

TEST_F(GostKeyEncoding, ParameterCopyRefusesOtherSetsAndFillsAKeyWithoutRecord) {
    ossl::PKey a =
        engine_tests::generate(Obj::gost2012_256, "id-tc26-gost-3410-2012-256-paramSetA");
    // Parameters without a public key count as missing: they may take a copy.
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new_id(objmap::nid(Obj::gost2012_256), nullptr));
    EVP_PKEY_paramgen_init(ctx.get());
    EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "B");
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_paramgen(ctx.get(), &raw), 1);
    ossl::PKey b(raw);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(EVP_PKEY_missing_parameters(b.get()), 1);
    EXPECT_EQ(EVP_PKEY_missing_parameters(a.get()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(EVP_PKEY_copy_parameters(b.get(), a.get()), 0);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("param_copy_gost2012: incompatible keys\n"),
        std::string::npos);

    ossl::PKey empty(EVP_PKEY_new());
    ASSERT_EQ(EVP_PKEY_set_type(empty.get(), objmap::nid(Obj::gost2012_256)), 1);
    EXPECT_EQ(EVP_PKEY_copy_parameters(empty.get(), a.get()), 1);
    ASSERT_NE(record(empty.get()), nullptr);
    EXPECT_EQ(record(empty.get())->param_nid, objmap::nid(Obj::gost_3410_2012_256_paramSetA));
    EXPECT_EQ(EVP_PKEY_parameters_eq(empty.get(), a.get()), 1);
    EXPECT_EQ(EVP_PKEY_parameters_eq(b.get(), a.get()), 0);
}

std::string algo_text(const X509_ALGOR* a) {
    const ASN1_OBJECT* obj = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(&obj, &ptype, nullptr, a);
    char buf[64];
    OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return std::string(buf) + (ptype == V_ASN1_NULL ? " NULL" : " ?");
}

TEST_F(GostKeyEncoding, SignerInfosCarryTheKeysAlgorithms) {
    struct {
        Obj type;
        const char* paramset;
        const char* sig;
        const char* dig;
    } cases[] = {{Obj::gost2001, "XB", "1.2.643.2.2.19 NULL", "1.2.643.2.2.9 NULL"},
                 {Obj::gost2012_256, "A", "1.2.643.7.1.1.1.1 NULL", "1.2.643.7.1.1.2.2 NULL"},
                 {Obj::gost2012_512, "A", "1.2.643.7.1.1.1.2 NULL", "1.2.643.7.1.1.2.3 NULL"}};
    const std::string text = "document";
    for (const auto& c : cases) {
        ossl::PKey key = engine_tests::generate(c.type, c.paramset);
        ASSERT_NE(key, nullptr);
        ossl::X509Ptr cert = engine_tests::self_signed(key.get());
        EXPECT_EQ(X509_verify(cert.get(), key.get()), 1);
        ossl::MdCtx other(EVP_MD_CTX_new());  // a digest of another family is refused
        EXPECT_LE(EVP_DigestSignInit(other.get(), nullptr, EVP_sha256(), nullptr, key.get()), 0);

        ossl::Bio in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        Pkcs7 p7(PKCS7_sign(cert.get(), key.get(), nullptr, in.get(), PKCS7_BINARY));
        ASSERT_NE(p7, nullptr);
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
        X509_ALGOR *dig = nullptr, *sig = nullptr;
        PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &dig, &sig);
        EXPECT_EQ(algo_text(sig), c.sig);
        EXPECT_EQ(algo_text(dig), c.dig);
        ossl::Bio data(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        EXPECT_EQ(PKCS7_verify(p7.get(), nullptr, nullptr, data.get(), nullptr,
                               PKCS7_NOVERIFY | PKCS7_BINARY | PKCS7_DETACHED),
                  1);

        ossl::Bio in2(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        Cms cms(CMS_sign(cert.get(), key.get(), nullptr, in2.get(), CMS_BINARY));
        ASSERT_NE(cms, nullptr);
        CMS_SignerInfo* csi = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        CMS_SignerInfo_get0_algs(csi, nullptr, nullptr, &dig, &sig);
        EXPECT_EQ(algo_text(sig), c.sig);
        EXPECT_EQ(algo_text(dig), c.dig);
        EXPECT_EQ(CMS_verify(cms.get(), nullptr, nullptr, nullptr, nullptr,
                             CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY),
                  1);
    }
}

// Seeded corruptions of PKCS#8 GOST keys: every one is either read as a whole key or refused,
// never read past (the sanitizer build catches that).
TEST_F(GostKeyEncoding, CorruptedPrivateKeysAreReadWholeOrRefused) {
    ossl::PKey key = read_key(k512, with_header("0440", reversed(from_hex(kD3Prv))));
    unsigned char* der = nullptr;
    const int n = i2d_PrivateKey(key.get(), &der);
    ASSERT_GT(n, 0);
    const Bytes good(der, der + n);
    OPENSSL_free(der);
    uint32_t state = 777;
    auto next = [&] { return state = state * 1103515245u + 12345u, state >> 8; };
    testing::internal::CaptureStderr();
    for (int i = 0; i < 150; ++i) {
        Bytes b = good;
        const size_t at = next() % b.size();
        if (next() % 4 == 0)
            b.resize(at);
        else
            b[at] = static_cast<uint8_t>(next());
        auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(b.data(), b.size() ? b.size() : 1));
        const unsigned char* p = copy;
        ossl::PKey k(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(b.size())));
        if (k && gost2012_record(k.get())) {
            const tvk_gost2012_key* r = gost2012_record(k.get());
            EXPECT_EQ(r->has_private_key, 1);
            EXPECT_TRUE(r->priv_key_len == 32 || r->priv_key_len == 64);
        }
        OPENSSL_free(copy);
    }
    testing::internal::GetCapturedStderr();
}

// Every key type on every parameter set: generated, written as PKCS#8 DER, read back equal;
// the key read back signs on its curve what the generated one verifies, and digests of another
// length are refused.
TEST_F(GostKeyEncoding, EveryParameterSetRoundTripsThroughPkcs8AndSigns) {
    size_t n = 0;
    for (Obj type : {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512}) {
        const bool big = type == Obj::gost2012_512;
        for (const auto& row : big ? gost2012_512_param_oids() : gost2012_256_param_oids()) {
            SCOPED_TRACE(row.oid);
            ossl::PKey key = engine_tests::generate(type, row.oid);
            ASSERT_NE(key, nullptr);
            const Bytes der = engine_tests::der_of(i2d_PrivateKey, key.get());
            const unsigned char* p = der.data();
            P8 p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
            ASSERT_NE(p8, nullptr);
            ossl::PKey back(EVP_PKCS82PKEY(p8.get()));
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(EVP_PKEY_get_base_id(back.get()), objmap::nid(type));
            EXPECT_EQ(record(back.get())->param_nid, objmap::nid(row.obj));
            EXPECT_EQ(EVP_PKEY_eq(key.get(), back.get()), 1);

            const tvk_gost2012_key* k = record(back.get());
            EXPECT_EQ(k->pub_key_len, 2 * k->priv_key_len);
            uint8_t id[20], digest[64], sig[128];
            ASSERT_EQ(pkcs11_id_gen(k->pub_key, k->pub_key_len, id), 1);
            EXPECT_EQ(Bytes(id, id + 20), Bytes(k->key_id, k->key_id + 20));
            for (int i = 0; i < 64; ++i) digest[i] = static_cast<uint8_t>(i + n);
            ASSERT_EQ(tvk_gost2012_do_sign(digest, k->priv_key_len, sig, k), 1);
            EXPECT_EQ(tvk_gost2012_do_verify(digest, k->priv_key_len, sig, record(key.get())), 1);
            EXPECT_EQ(tvk_gost2012_do_sign(digest, big ? 32 : 64, sig, k), 0);
            EXPECT_EQ(tvk_gost2012_do_sign(digest, 48, sig, k), 0);
            ++n;
        }
    }
    EXPECT_EQ(n, 24u);
}

using Ctx = engine_tests::PKeyCtx;

using GostKeyOps = engine_tests::EngineTest;
using engine_tests::generate;

Ctx keygen_ctx(Obj type) {
    Ctx ctx(EVP_PKEY_CTX_new_id(objmap::nid(type), nullptr));
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx.get()), 1);
    return ctx;
}

int32_t chosen_set(EVP_PKEY_CTX* ctx) {
    return static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx))->param_nid;
}

// Result of "paramset" and, on success, the set it chose; with the standard error text.
struct Choice {
    int rc;
    int nid;
    std::string err;
};

Choice paramset(Obj type, const char* value) {
    Ctx ctx = keygen_ctx(type);
    testing::internal::CaptureStderr();
    const int rc = EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", value);
    return {rc, chosen_set(ctx.get()), testing::internal::GetCapturedStderr()};
}

TEST_F(GostKeyOps, ParamsetStringsFollowTheMethodsKeySize) {
    const int none = NID_undef;
    struct {
        Obj type;
        const char* value;
        int rc;
        int nid;
        const char* err;
    } cases[] = {
        {Obj::gost2012_256, "b", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_B_ParamSet), ""},
        {Obj::gost2001, "0", 1, objmap::nid(Obj::GostR3410_2001_TestParamSet), ""},
        {Obj::gost2012_256, "xb", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_XchB_ParamSet), ""},
        {Obj::gost2012_256, "XA", 1, objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet), ""},
        {Obj::gost2012_256, "D", 0, none, ""},
        {Obj::gost2012_256, "XC", 0, none, ""},
        {Obj::gost2012_256, "no-such-set", 0, none, ""},
        {Obj::gost2012_256, "id-GostR3410-2001-CryptoPro-A-ParamSet", 1,
         objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet), ""},
        {Obj::gost2012_256, "id-tc26-gost-3410-2012-256-paramSetD", 1,
         objmap::nid(Obj::gost_3410_2012_256_paramSetD), ""},
        {Obj::gost2012_256, "id-tc26-gost-3410-2012-512-paramSetA", 0, none,
         "pkey_tvk_ctrl_gost2012_str: invalid parameter set\n"},
        {Obj::gost2012_512, "C", 0, none, ""},
        {Obj::gost2012_512, "a", 1, objmap::nid(Obj::gost_3410_2012_512_paramSetA), ""},
        {Obj::gost2012_512, "id-tc26-gost-3410-2012-512-paramSetC", 1,
         objmap::nid(Obj::gost_3410_2012_512_paramSetC), ""},
        {Obj::gost2012_512, "1.2.643.2.2.35.1", 0, none,
         "pkey_tvk_ctrl_gost2012_str: invalid parameter set\n"},
    };
    for (const auto& c : cases) {
        const Choice got = paramset(c.type, c.value);
        EXPECT_EQ(got.rc, c.rc) << c.value;
        EXPECT_EQ(got.nid, c.nid) << c.value;
        EXPECT_EQ(got.err, c.err) << c.value;
    }
    Ctx ctx = keygen_ctx(Obj::gost2012_256);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "other", "A"), -2);
}

TEST_F(GostKeyOps, KeyGenerationNeedsAParameterSet) {
    Ctx ctx = keygen_ctx(Obj::gost2012_256);
    EVP_PKEY* raw = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_LE(EVP_PKEY_keygen(ctx.get(), &raw), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pkey_gost2012_paramgen: No parameters set\npkey_gost2012_paramgen failed\n");
    EXPECT_EQ(raw, nullptr);

    // The engine's default for the type fills in.
    ossl::Engine e(ENGINE_by_id("gost"));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(ENGINE_ctrl_cmd_string(e.get(), "PARAMS_GOST2012_256",
                                     "id-GostR3410-2001-CryptoPro-XchA-ParamSet", 0),
              1);
    Ctx again = keygen_ctx(Obj::gost2012_256);
    ASSERT_EQ(EVP_PKEY_keygen(again.get(), &raw), 1);
    ossl::PKey key(raw);
    EXPECT_EQ(gost2012_record(key.get())->param_nid,
              objmap::nid(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet));
    EXPECT_EQ(gost2012_record(key.get())->has_private_key, 1);
    tvk_gost_loaded_settings()->key_params_2012_256 = NID_undef;
}

TEST_F(GostKeyOps, SignAnswersLengthQueriesAndChecksTheBuffer) {
    for (Obj type : {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512}) {
        ossl::PKey key = generate(type, type == Obj::gost2012_512 ? "B" : "C");
        ASSERT_NE(key, nullptr);
        const size_t want = type == Obj::gost2012_512 ? 128 : 64;
        Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
        unsigned char digest[64] = {1, 2, 3}, sig[128];
        size_t len = 0;
        ASSERT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest, want / 2), 1);
        EXPECT_EQ(len, want);
        len = want - 1;
        EXPECT_LE(EVP_PKEY_sign(ctx.get(), sig, &len, digest, want / 2), 0);
        len = sizeof sig;
        ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig, &len, digest, want / 2), 1);
        EXPECT_EQ(len, want);

        Ctx vctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        ASSERT_EQ(EVP_PKEY_verify_init(vctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_verify(vctx.get(), sig, want, digest, want / 2), 1);
        EXPECT_LE(EVP_PKEY_verify(vctx.get(), sig, want + 1, digest, want / 2), 0);
        testing::internal::CaptureStderr();
        sig[0] ^= 0x80;
        EXPECT_LE(EVP_PKEY_verify(vctx.get(), sig, want, digest, want / 2), 0);
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(GostKeyOps, ControlsStoreWhatTheyAreGiven) {
    ossl::PKey key = generate(Obj::gost2012_256, "A");
    Ctx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    auto* data = static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx.get()));
    EXPECT_EQ(data->key_type, objmap::nid(Obj::gost2012_256));
    EXPECT_EQ(data->param_nid, objmap::nid(Obj::GostR3410_2001_CryptoPro_A_ParamSet));

    EXPECT_LE(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()), 0);
    EXPECT_EQ(data->md, nullptr);
    const EVP_MD* md = EVP_get_digestbynid(objmap::nid(Obj::md_gost12_256));
    EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(ctx.get(), md), 1);
    EXPECT_EQ(data->md, md);

    unsigned char ukm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8, ukm), 1);
    ASSERT_NE(data->ukm, nullptr);
    EXPECT_EQ(data->ukm_len, 8u);
    EXPECT_NE(data->ukm, ukm);
    unsigned char big[GOST_MAX_UKM_LEN + 1] = {};
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, sizeof big, big), 0);
    EXPECT_EQ(data->ukm_len, 8u);

    EXPECT_EQ(
        EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_GOST_CIPHER_PARAMSET, 1234, nullptr), 1);
    EXPECT_EQ(data->cipher_param_nid, 1234);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 2, nullptr), 0);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 3, nullptr), 1);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 2, nullptr), 1);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_ALG_CTRL + 77, 0, nullptr), -2);

    // A duplicate keeps the settings but not the keying material.
    Ctx dup(EVP_PKEY_CTX_dup(ctx.get()));
    ASSERT_NE(dup, nullptr);
    auto* copy = static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(dup.get()));
    EXPECT_EQ(copy->ukm, nullptr);
    EXPECT_EQ(copy->md, md);
    EXPECT_EQ(copy->cipher_param_nid, 1234);
    EXPECT_EQ(copy->peer_key_used, 1);
}

TEST_F(GostKeyOps, AgreementMethodsIgnoreParamsetAndRefuseMacKeys) {
    Ctx ctx(EVP_PKEY_CTX_new_id(objmap::nid(Obj::agreement_gost_3410_2012_256), nullptr));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A"), 1);
    EXPECT_EQ(static_cast<tvk_pmeth_data*>(EVP_PKEY_CTX_get_data(ctx.get()))->param_nid, NID_undef);
}

TEST_F(GostKeyOps, MacKeysComeFromTheKeyStrings) {
    for (Obj type : {Obj::gost_mac, Obj::kuznechik_mac, Obj::magma_mac}) {
        Ctx ctx = keygen_ctx(type);
        EVP_PKEY* raw = nullptr;
        testing::internal::CaptureStderr();
        EXPECT_LE(EVP_PKEY_keygen(ctx.get(), &raw), 0);
        EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "key", std::string(31, 'k').c_str()), 0);
        EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "hexkey", "0011"), 0);
        unsigned char short_key[16] = {};
        EXPECT_EQ(EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_SET_MAC_KEY, 16, short_key),
                  0);
        const std::string err = testing::internal::GetCapturedStderr();
        const std::string own = type == Obj::magma_mac       ? "pkey_tvk_magma_mac_ctrl"
                                : type == Obj::kuznechik_mac ? "pkey_tvk_kuznechik_mac_ctrl"
                                                             : "pkey_tvk_mac_ctrl";
        // The "key" string of the Kuznyechik method goes through the 28147 one.
        const std::string key_str = type == Obj::kuznechik_mac ? "pkey_tvk_mac_ctrl" : own;
        EXPECT_EQ(err, "pkey_tvk_mac_keygen: key not set\n" + key_str +
                           "_str: invalid key string length = 31\n" + own +
                           "_str: invalid key string length = 2\n" + own +
                           ": wrong key length = 16\n");

        const std::string hex(64, 'a');
        ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "hexkey", hex.c_str()), 1);
        ASSERT_EQ(EVP_PKEY_keygen(ctx.get(), &raw), 1);
        ossl::PKey key(raw);
        EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), objmap::nid(type));
        EXPECT_EQ(std::string(static_cast<const char*>(EVP_PKEY_get0(key.get())), 32),
                  std::string(32, '\xaa'));
        int md = 0;
        EXPECT_EQ(EVP_PKEY_get_default_digest_nid(key.get(), &md), 2);
        EXPECT_EQ(md, objmap::nid(type));

        // A duplicated context carries the key with it.
        Ctx ctx2(EVP_PKEY_CTX_new_id(objmap::nid(type), nullptr));
        ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(ctx2.get(), "key", std::string(32, 'z').c_str()), 1);
        Ctx dup(EVP_PKEY_CTX_dup(ctx2.get()));
        ASSERT_NE(dup, nullptr);
        ASSERT_EQ(EVP_PKEY_keygen_init(dup.get()), 1);
        raw = nullptr;
        ASSERT_EQ(EVP_PKEY_keygen(dup.get(), &raw), 1);
        ossl::PKey key2(raw);
        EXPECT_EQ(std::string(static_cast<const char*>(EVP_PKEY_get0(key2.get())), 32),
                  std::string(32, 'z'));
    }
}

TEST_F(GostKeyOps, MacKeyReachesTheDigestThroughDigestSign) {
    // The engine's own magma-mac digest, keyed through the MAC key: its tag must equal the
    // library's MAC under the same key.
    const EVP_MD* md = EVP_get_digestbynid(objmap::nid(Obj::magma_mac));
    ASSERT_NE(md, nullptr);
    const std::vector<uint8_t> mac_key(32, 0x55);

    Ctx kctx = keygen_ctx(Obj::magma_mac);
    ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(kctx.get(), "hexkey", std::string(64, '5').c_str()), 1);
    EVP_PKEY* raw = nullptr;
    ASSERT_EQ(EVP_PKEY_keygen(kctx.get(), &raw), 1);
    ossl::PKey key(raw);

    const unsigned char msg[] = {1, 2, 3};
    ossl::MdCtx s(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit(s.get(), nullptr, md, nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestSignUpdate(s.get(), msg, sizeof msg), 1);
    size_t len = 0;
    ASSERT_EQ(EVP_DigestSignFinal(s.get(), nullptr, &len), 1);
    EXPECT_EQ(len, 8u);  // what the magma method announces
    unsigned char mac[8] = {};
    len = sizeof mac;
    ASSERT_EQ(EVP_DigestSignFinal(s.get(), mac, &len), 1);
    EXPECT_EQ(len, 4u);
    tvk_magma_mac_ctx ref{};
    uint8_t want[8] = {};
    ASSERT_EQ(tvk_magma_mac_init(&ref, mac_key.data(), 4), 0);
    ASSERT_EQ(tvk_magma_mac_update(&ref, msg, sizeof msg), 0);
    ASSERT_EQ(tvk_magma_mac_final(&ref, want), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mac), 4),
              std::string(reinterpret_cast<char*>(want), 4));
    len = 3;
    EXPECT_LE(EVP_DigestSignFinal(s.get(), mac, &len), 0);  // no room for the tag

    ossl::MdCtx v(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(v.get(), nullptr, md, nullptr, key.get()), 1);
    ASSERT_EQ(EVP_DigestVerifyUpdate(v.get(), msg, sizeof msg), 1);
    EXPECT_EQ(EVP_DigestVerifyFinal(v.get(), mac, 4), 1);
    ossl::MdCtx v2(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(v2.get(), nullptr, md, nullptr, key.get()), 1);
    EXPECT_LE(EVP_DigestVerifyFinal(v2.get(), mac, 4), 0);  // other data, other tag

    // A digest of another MAC is refused by the method.
    ossl::MdMeth other(EVP_MD_meth_new(objmap::nid(Obj::gost_mac), NID_undef));
    EVP_MD_meth_set_result_size(other.get(), 4);
    ossl::MdCtx bad(EVP_MD_CTX_new());
    testing::internal::CaptureStderr();
    EXPECT_LE(EVP_DigestSignInit(bad.get(), nullptr, other.get(), nullptr, key.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pkey_tvk_magma_mac_ctrl: EVP_PKEY_CTRL_MD invalid digest type\n");
}

}  // namespace
