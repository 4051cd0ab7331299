// The GOST key record and its signature operations, against the published example keys and
// signatures of RFC 9215 and RFC 4491.
#include "engines/gost/gost_key_record.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/vectors.h"
#include "cryptoext/objects.h"

namespace {

using objmap::Obj;
using testing_support::Bytes;
using testing_support::from_hex;
using testing_support::VectorBlock;
using testing_support::VectorFile;

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

Bytes reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
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

}  // namespace
