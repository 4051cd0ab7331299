// The PKCS#12 MAC check under both rules. The expected MACs are computed with libgcrypt from the
// rules' definitions (RFC 7292 appendix B for the standard one, PBKDF2 for the TC26 one).
#include "cryptoext/pkcs12_mac.h"

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <openssl/pkcs12.h>

#include <string>

#include "common/vectors.h"
#include "cryptoext/ossl.h"
#include "engine_env.h"

using testing_support::Bytes;

namespace {

Bytes gcry_hmac(int algo, const Bytes& key, const Bytes& data) {
    gcry_md_hd_t h = nullptr;
    EXPECT_EQ(gcry_md_open(&h, algo, GCRY_MD_FLAG_HMAC), 0);
    EXPECT_EQ(gcry_md_setkey(h, key.data(), key.size()), 0);
    gcry_md_write(h, data.data(), data.size());
    const unsigned char* r = gcry_md_read(h, algo);
    Bytes out(r, r + gcry_md_get_algo_dlen(algo));
    gcry_md_close(h);
    return out;
}

// RFC 7292 appendix B.2 with ID 3 (MAC key); the password as a BMPString with its terminator.
Bytes pkcs12_mac_key(int algo, const std::string& pass, const Bytes& salt, int iter) {
    const size_t u = gcry_md_get_algo_dlen(algo), v = 64;
    Bytes bmp;
    for (char c : pass) bmp.insert(bmp.end(), {0, static_cast<uint8_t>(c)});
    bmp.insert(bmp.end(), {0, 0});
    auto fill = [v](const Bytes& in) {
        Bytes out(in.empty() ? 0 : v * ((in.size() + v - 1) / v));
        for (size_t i = 0; i < out.size(); ++i) out[i] = in[i % in.size()];
        return out;
    };
    Bytes I = fill(salt);
    const Bytes P = fill(bmp);
    I.insert(I.end(), P.begin(), P.end());
    Bytes D(v, 3), A(u);
    Bytes key;
    while (key.size() < u) {
        Bytes in = D;
        in.insert(in.end(), I.begin(), I.end());
        gcry_md_hash_buffer(algo, A.data(), in.data(), in.size());
        for (int r = 1; r < iter; ++r) gcry_md_hash_buffer(algo, A.data(), A.data(), A.size());
        key.insert(key.end(), A.begin(), A.end());
        Bytes B(v);
        for (size_t i = 0; i < v; ++i) B[i] = A[i % u];
        for (size_t j = 0; j < I.size(); j += v) {
            unsigned carry = 1;
            for (size_t k = v; k-- > 0;) {
                carry += I[j + k] + B[k];
                I[j + k] = static_cast<uint8_t>(carry);
                carry >>= 8;
            }
        }
    }
    key.resize(u);
    return key;
}

Bytes tc26_mac(int algo, const std::string& pass, const Bytes& salt, int iter, const Bytes& data) {
    Bytes derived(96);
    EXPECT_EQ(gcry_kdf_derive(pass.data(), pass.size(), GCRY_KDF_PBKDF2, algo, salt.data(),
                              salt.size(), iter, derived.size(), derived.data()),
              0);
    return gcry_hmac(algo, Bytes(derived.begin() + 64, derived.end()), data);
}

class Pkcs12Mac : public engine_tests::EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        ossl::X509Ptr cert = engine_tests::self_signed();
        ASSERT_TRUE(cert);
        p12.reset(PKCS12_create("secret", nullptr, nullptr, cert.get(), nullptr, -1, -1, 0, 1, 0));
        ASSERT_TRUE(p12);
    }
    // The bytes the MAC covers: the DER of the authenticated safe's contents.
    Bytes authenticated_data() {
        ossl::Pkcs7Stack safes(PKCS12_unpack_authsafes(p12.get()));
        unsigned char* der = nullptr;
        const int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(safes.get()), &der,
                                      ASN1_ITEM_rptr(PKCS12_AUTHSAFES));
        ossl::Bytes owner(der);
        return len > 0 ? Bytes(der, der + len) : Bytes{};
    }
    void set_mac(const EVP_MD* md, int iter) {
        ASSERT_EQ(PKCS12_set_mac(p12.get(), "secret", -1, salt.data(),
                                 static_cast<int>(salt.size()), iter, md),
                  1);
    }
    Bytes stored_mac() {
        const ASN1_OCTET_STRING* mac = nullptr;
        PKCS12_get0_mac(&mac, nullptr, nullptr, nullptr, p12.get());
        return Bytes(ASN1_STRING_get0_data(mac),
                     ASN1_STRING_get0_data(mac) + ASN1_STRING_length(mac));
    }
    void replace_mac(const Bytes& m) {
        const ASN1_OCTET_STRING* mac = nullptr;
        PKCS12_get0_mac(&mac, nullptr, nullptr, nullptr, p12.get());
        ASSERT_EQ(ASN1_OCTET_STRING_set(const_cast<ASN1_OCTET_STRING*>(mac), m.data(),
                                        static_cast<int>(m.size())),
                  1);
    }
    ossl::Pkcs12 p12;
    Bytes salt = testing_support::from_hex("0102030405060708");
};

// The crypto library writes GOST files with the TC26 MAC and others with the standard one; ours
// takes the standard rule first and the TC26 one second, the latter for GOST digests only.
TEST_F(Pkcs12Mac, EachDigestVerifiesUnderItsRulesOnly) {
    const struct {
        const char* md;
        int algo, iter;
        bool tc26, written_so, accepted;
    } cases[] = {
        {"md_gost12_512", GCRY_MD_STRIBOG512, 2000, true, true, true},
        {"md_gost12_256", GCRY_MD_STRIBOG256, 3, false, false, true},
        {"SHA1", GCRY_MD_SHA1, 1, false, true, true},
        {"SHA1", GCRY_MD_SHA1, 1, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.md) + (c.tc26 ? " tc26" : " standard"));
        set_mac(EVP_get_digestbyname(c.md), c.iter);
        const Bytes data = authenticated_data();
        const Bytes want =
            c.tc26 ? tc26_mac(c.algo, "secret", salt, c.iter, data)
                   : gcry_hmac(c.algo, pkcs12_mac_key(c.algo, "secret", salt, c.iter), data);
        EXPECT_EQ(stored_mac() == want, c.written_so);
        replace_mac(want);
        EXPECT_EQ(PKCS12_verify_mac(p12.get(), "secret", -1), c.written_so ? 1 : 0);
        EXPECT_EQ(tvk_PKCS12_verify_mac(p12.get(), "secret", -1), c.accepted ? 1 : 0);
        EXPECT_EQ(tvk_PKCS12_verify_mac(p12.get(), "secret", 6), c.accepted ? 1 : 0);
        EXPECT_EQ(tvk_PKCS12_verify_mac(p12.get(), "Secret", -1), 0);
    }
}

TEST_F(Pkcs12Mac, CorruptedMacOrMissingFileFails) {
    set_mac(EVP_get_digestbyname("md_gost12_256"), 10);
    Bytes mac = stored_mac();
    mac[0] ^= 1;
    replace_mac(mac);
    EXPECT_EQ(tvk_PKCS12_verify_mac(p12.get(), "secret", -1), 0);
    mac.pop_back();
    replace_mac(mac);
    EXPECT_EQ(tvk_PKCS12_verify_mac(p12.get(), "secret", -1), 0);
    EXPECT_EQ(tvk_PKCS12_verify_mac(nullptr, "secret", -1), 0);
}

}  // namespace
