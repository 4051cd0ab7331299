// The "mscryptoapi" engine over the CryptoAPI stand-in: keys found through certificates, signing
// and decryption in the provider, key transport through the provider, commands and listing.
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "common/process.h"
#include "common/tempdir.h"
#include "engine_env.h"
#include "engines/common/engine_keys.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/mscryptoapi/capi_engine.h"
#include "platform/capi/capi_test.h"

namespace {

using namespace engine_tests;
using namespace capi;
using objmap::Obj;
using testing_support::from_hex;
using testing_support::to_hex;

constexpr char16_t kGostCsp[] = u"Test GOST R 34.10-2012 provider";
constexpr char16_t kStrong[] = u"Microsoft Strong Cryptographic Provider";
constexpr char16_t kDss[] = u"Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider";

Bytes pkcs8_of(EVP_PKEY* key) {
    ossl::P8Info p8(EVP_PKEY2PKCS8(key));
    return p8 ? der_of(i2d_PKCS8_PRIV_KEY_INFO, p8.get()) : Bytes{};
}

// DER element with a short length.
Bytes tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag, static_cast<uint8_t>(content.size())};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes oid(const char* dotted) {
    ossl::Asn1Object o(OBJ_txt2obj(dotted, 1));
    return der_of(i2d_ASN1_OBJECT, o.get());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes thumbprint(X509* cert) {
    Bytes sha(20);
    unsigned n = 0;
    X509_digest(cert, EVP_sha1(), sha.data(), &n);
    return sha;
}

std::string cert_id(X509* cert, char sep) {
    std::string id = "CertID:";
    for (uint8_t b : thumbprint(cert)) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x%c", b, sep);
        id += pair;
    }
    id.pop_back();
    return id;
}

class CapiTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        stand_in::reset();
        e_ = mscryptoapi_engine();
        ASSERT_NE(nullptr, e_);
        ASSERT_EQ(1, ENGINE_init(e_));
    }
    void TearDown() override {
        if (e_) ENGINE_finish(e_);
        stand_in::reset();
    }
    // A certificate for the key in "My" whose key lives in the named container.
    ossl::X509Ptr install(EVP_PKEY* key, const std::u16string& provider, DWORD type, DWORD spec,
                          const char* container = "c1", EVP_PKEY* cert_key = nullptr) {
        ossl::X509Ptr cert = self_signed(cert_key ? cert_key : key, container, serial_++);
        std::u16string name(container, container + std::strlen(container));
        EXPECT_TRUE(stand_in::add_key(provider, type, name, spec, pkcs8_of(key)));
        EXPECT_TRUE(stand_in::add_certificate("My", der_of(i2d_X509, cert.get()),
                                              stand_in::KeyProvInfo{name, provider, type, spec}));
        return cert;
    }
    ossl::PKey load(const std::string& id, const char* pin = nullptr) {
        const char* cb[1] = {pin};
        return ossl::PKey(ENGINE_load_private_key(e_, id.c_str(), nullptr, pin ? cb : nullptr));
    }
    ENGINE* e_ = nullptr;
    long serial_ = 100;
};

// ---- the stand-in's GOST signer and CSP_SignHash against the published examples ----

struct Published {
    const char* name;
    const char* key_oid;
    const char* digest_oid;
    DWORD type;
    ALG_ID alg;
};

TEST_F(CapiTest, ProviderSignsThePublishedExamplesInBigEndianAfterReversal) {
    const Published rows[] = {
        {"rfc7091-example-256", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2", PROV_GOST_2012_256,
         CALG_GR3411_2012_256},
        {"gost3410-2012-example-512", "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3", PROV_GOST_2012_512,
         CALG_GR3411_2012_512},
    };
    testing_support::VectorFile file("gostr3410.txt");
    for (const auto& row : rows) {
        for (const auto& b : file.blocks()) {
            if (b.text("name") != row.name) continue;
            const Bytes priv = b.hex("prv_le");
            const Bytes key = tlv(
                0x30,
                cat({tlv(0x02, {0}),
                     tlv(0x30, cat({oid(row.key_oid), tlv(0x30, cat({oid(b.text("curve").c_str()),
                                                                     oid(row.digest_oid)}))})),
                     tlv(0x04, tlv(0x04, priv))}));
            ASSERT_TRUE(stand_in::add_key(kGostCsp, row.type, u"vector", AT_SIGNATURE, key))
                << row.name;
            // The nonce source gives k: 4 zero bytes, then k big-endian, per 32-bit digit.
            static Bytes k;
            k = Bytes(4, 0);
            const Bytes kb = b.hex("k");
            k.insert(k.end(), kb.begin(), kb.end());
            stand_in::set_gost_random([](unsigned char* buf, size_t len) {
                if (len != k.size()) return -1;
                std::memcpy(buf, k.data(), len);
                return 0;
            });
            mscryptoapi_key rec{};
            rec.key_spec = AT_SIGNATURE;
            ASSERT_TRUE(
                CryptAcquireContextW(&rec.prov, u"vector", kGostCsp, row.type, CRYPT_SILENT));
            Bytes e = b.hex("e");
            std::reverse(e.begin(), e.end());  // the hash value the provider reads little-endian
            Bytes sig(128);
            unsigned int len = sig.size();
            EXPECT_EQ(1, CSP_SignHash(&rec, row.alg, e.data(), e.size(), sig.data(), &len));
            sig.resize(len);
            EXPECT_EQ(b.text("sig"), to_hex(sig)) << row.name;
            EXPECT_EQ(0u, rec.last_error);
            CryptReleaseContext(rec.prov, 0);
            stand_in::reset();
        }
    }
}

// ---- GOST keys through the engine ----

struct GostRow {
    Obj type;
    const char* paramset;
    DWORD prov_type;
    size_t sig_len;
    ALG_ID alg;
    Obj digest;
};

const GostRow kGostRows[] = {
    {Obj::gost2001, "A", PROV_GOST_2001_DH, 64, CALG_GR3411, Obj::md_gost94},
    {Obj::gost2012_256, "A", PROV_GOST_2012_256, 64, CALG_GR3411_2012_256, Obj::md_gost12_256},
    {Obj::gost2012_512, "A", PROV_GOST_2012_512, 128, CALG_GR3411_2012_512, Obj::md_gost12_512},
};

TEST_F(CapiTest, GostKeySignsInTheProviderAndVerifiesInSoftware) {
    for (const auto& row : kGostRows) {
        ossl::PKey soft = generate(row.type, row.paramset);
        ossl::X509Ptr cert = install(soft.get(), kGostCsp, row.prov_type, AT_SIGNATURE);
        for (char sep : {' ', ':'}) {
            ossl::PKey key = load(cert_id(cert.get(), sep));
            ASSERT_TRUE(key) << objmap::nid(row.type) << sep;
            EXPECT_EQ(e_, EVP_PKEY_get0_engine(key.get()));
            EXPECT_TRUE(is_public_key_of(der_of(i2d_PUBKEY, key.get()), soft.get()));
            int md = 0;
            EXPECT_EQ(2, EVP_PKEY_get_default_digest_nid(key.get(), &md));
            EXPECT_EQ(objmap::nid(row.digest), md);

            PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
            ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
            size_t len = 0;
            const int before = stand_in::calls().provider_calls;
            EXPECT_EQ(1, EVP_PKEY_sign(ctx.get(), nullptr, &len, nullptr, 0));
            EXPECT_EQ(row.sig_len, len);
            EXPECT_EQ(before, stand_in::calls().provider_calls);
            const Bytes digest = counter_bytes(row.sig_len / 2);
            Bytes sig(len);
            EXPECT_LT(0, EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()));
            EXPECT_EQ(row.alg, stand_in::calls().hash_alg);
            // A larger buffer is told what was written, as the crypto library's callers read it.
            Bytes room(256);
            size_t room_len = room.size();
            EXPECT_LT(
                0, EVP_PKEY_sign(ctx.get(), room.data(), &room_len, digest.data(), digest.size()));
            EXPECT_EQ(row.sig_len, room_len);

            PKeyCtx vctx(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
            ASSERT_EQ(1, EVP_PKEY_verify_init(vctx.get()));
            EXPECT_EQ(1,
                      EVP_PKEY_verify(vctx.get(), sig.data(), len, digest.data(), digest.size()));
            sig[3] ^= 1;
            EXPECT_NE(1,
                      EVP_PKEY_verify(vctx.get(), sig.data(), len, digest.data(), digest.size()));

            // The provider's own failure, and the key context's refusals.
            stand_in::fail_next("CryptSignHashA", NTE_BAD_KEYSET);
            auto r = captured([&] {
                return EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size());
            });
            EXPECT_EQ(-1, r.first);
            EXPECT_TRUE(has(r.second, "CSP_SignHash() failed")) << r.second;
            r = captured([&] {
                return EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_ALG_CTRL + 3, 0, nullptr);
            });
            EXPECT_EQ(-2, r.first);
            EXPECT_TRUE(has(r.second, "pkey_mscryptoapi_ctrl() : unsupported type: 4099"))
                << r.second;
            ossl::Bio mem(BIO_new(BIO_s_mem()));
            EXPECT_EQ(0, captured([&] {
                             return PEM_write_bio_PrivateKey(mem.get(), key.get(), nullptr, nullptr,
                                                             0, nullptr, nullptr);
                         }).first);
        }
        stand_in::reset();
    }
}

TEST_F(CapiTest, KeyIdentifiersAreReadStrictly) {
    ossl::PKey soft = generate(Obj::gost2012_256, "A");
    ossl::X509Ptr cert = install(soft.get(), kGostCsp, PROV_GOST_2012_256, AT_SIGNATURE);
    testing_support::TempDir dir;
    ossl::Bio out(BIO_new_file(dir.file("cert.pem").c_str(), "w"));
    PEM_write_bio_X509(out.get(), cert.get());
    out.reset();
    std::string short_id = cert_id(cert.get(), ' ');
    short_id.resize(short_id.size() - 3);
    std::string bad_digit = cert_id(cert.get(), ' ');
    bad_digit[8] = 'g';
    std::string unknown = cert_id(cert.get(), ' ');
    unknown[7] = unknown[7] == '0' ? '1' : '0';
    const struct {
        std::string id;
        bool found;
        const char* message;
    } rows[] = {
        {dir.file("cert.pem"), true, ""},
        {cert_id(cert.get(), ' ') + " ", true, ""},
        {short_id, false, "is not 'CertID:' and 20 hexadecimal pairs"},
        {bad_digit, false, "is not 'CertID:' and 20 hexadecimal pairs"},
        {unknown, false, "mscryptoapi_load_privkey() : certificate not found"},
        {dir.file("missing.pem"), false, "BIO_new_file("},
    };
    for (const auto& row : rows) {
        ossl::PKey key;
        auto r = captured([&] {
            key = load(row.id);
            return key != nullptr;
        });
        EXPECT_EQ(row.found, r.first == 1) << row.id;
        EXPECT_TRUE(has(r.second, row.message)) << row.id << ": " << r.second;
    }
}

// ---- RSA and DSA keys ----

TEST_F(CapiTest, RsaKeyOpensInTheAesProviderAndSignsForStockOpenssl) {
    static ossl::PKey rsa(EVP_RSA_gen(1024));
    ossl::X509Ptr cert = install(rsa.get(), kStrong, PROV_RSA_FULL, AT_KEYEXCHANGE);
    ossl::PKey key = load(cert_id(cert.get(), ' '));
    ASSERT_TRUE(key);
    EXPECT_EQ(u"Microsoft Enhanced RSA and AES Cryptographic Provider",
              stand_in::calls().acquired_provider);
    EXPECT_EQ(PROV_RSA_AES, stand_in::calls().acquired_type);

    const std::string data = "signed in the provider";
    ossl::MdCtx md(EVP_MD_CTX_new());
    size_t len = 0;
    ASSERT_EQ(1, EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()));
    ASSERT_EQ(1, EVP_DigestSign(md.get(), nullptr, &len,
                                reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    Bytes sig(len);
    ASSERT_EQ(1, EVP_DigestSign(md.get(), sig.data(), &len,
                                reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    EXPECT_EQ(CALG_SHA_256, stand_in::calls().hash_alg);
    testing_support::TempDir dir;
    dir.write("data", data);
    dir.write("sig", std::string(sig.begin(), sig.begin() + len));
    ossl::Bio pub(BIO_new_file(dir.file("pub.pem").c_str(), "w"));
    PEM_write_bio_PUBKEY(pub.get(), X509_get0_pubkey(cert.get()));
    pub.reset();
    std::string out;
    EXPECT_EQ(0, testing_support::run_command(
                     {"openssl", "dgst", "-sha256", "-verify", dir.file("pub.pem"), "-signature",
                      dir.file("sig"), dir.file("data")},
                     &out))
        << out;

    // The TLS form: MD5 and SHA-1 side by side, signed without a DigestInfo.
    PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    const Bytes both = counter_bytes(36);
    len = sig.size();
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_md5_sha1()));
    EXPECT_EQ(1, EVP_PKEY_sign(ctx.get(), sig.data(), &len, both.data(), both.size()));
    EXPECT_EQ(CALG_SSL3_SHAMD5, stand_in::calls().hash_alg);

    // Decryption of a ciphertext made in software.
    PKeyCtx enc(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
    const Bytes secret = counter_bytes(32);
    Bytes ct(128), pt(128);
    size_t ct_len = ct.size(), pt_len = pt.size();
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(enc.get()));
    ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), ct.data(), &ct_len, secret.data(), secret.size()));
    PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_decrypt_init(dec.get()));
    ASSERT_EQ(1, EVP_PKEY_decrypt(dec.get(), pt.data(), &pt_len, ct.data(), ct_len));
    EXPECT_EQ(to_hex(secret), to_hex(Bytes(pt.begin(), pt.begin() + pt_len)));
}

TEST_F(CapiTest, RsaSignatureLongerThanTheKeyIsRefused) {
    static ossl::PKey big(EVP_RSA_gen(2048));
    static ossl::PKey small(EVP_RSA_gen(1024));
    // A container whose key is not the certificate's: the provider signs with 256 bytes.
    ossl::X509Ptr cert =
        install(big.get(), kStrong, PROV_RSA_FULL, AT_SIGNATURE, "c1", small.get());
    ossl::PKey key = load(cert_id(cert.get(), ' '));
    ASSERT_TRUE(key);
    PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    Bytes sig(512);
    size_t len = sig.size();
    const Bytes digest = counter_bytes(32);
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()));
    auto r = captured(
        [&] { return EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()); });
    EXPECT_GE(0, r.first);
    EXPECT_TRUE(has(r.second, "longer than the key")) << r.second;
}

TEST_F(CapiTest, PinGoesToTheParameterOfTheKeySpec) {
    static ossl::PKey rsa(EVP_RSA_gen(1024));
    const struct {
        DWORD spec;
        const char* pin;
        bool loads;
        DWORD param;
    } rows[] = {
        {AT_SIGNATURE, "1234", true, PP_SIGNATURE_PIN},
        {AT_KEYEXCHANGE, "1234", true, PP_KEYEXCHANGE_PIN},
        {AT_SIGNATURE, "4321", false, PP_SIGNATURE_PIN},
    };
    for (const auto& row : rows) {
        stand_in::reset();
        ossl::X509Ptr cert = install(rsa.get(), kStrong, PROV_RSA_FULL, row.spec);
        stand_in::set_pin(u"c1", "1234");
        ossl::PKey key;
        auto r =
            captured([&] { return (key = load(cert_id(cert.get(), ' '), row.pin)) != nullptr; });
        EXPECT_EQ(row.loads, r.first == 1) << r.second;
        EXPECT_EQ(CRYPT_SILENT, stand_in::calls().acquire_flags);
        EXPECT_EQ(row.param, stand_in::calls().pin_param);
        if (!row.loads) {
            EXPECT_TRUE(has(r.second, "CryptAcquireCertificatePrivateKey() failed")) << r.second;
        }
    }
}

TEST_F(CapiTest, DsaKeySignsWithSha1ByDefault) {
    static ossl::PKey dsa = [] {
        PKeyCtx pctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
        EVP_PKEY* params = nullptr;
        EVP_PKEY_paramgen_init(pctx.get());
        EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), 1024);
        EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx.get(), 160);
        EVP_PKEY_paramgen(pctx.get(), &params);
        ossl::PKey p(params);
        PKeyCtx kctx(EVP_PKEY_CTX_new(p.get(), nullptr));
        EVP_PKEY* key = nullptr;
        EVP_PKEY_keygen_init(kctx.get());
        EVP_PKEY_keygen(kctx.get(), &key);
        return ossl::PKey(key);
    }();
    ossl::X509Ptr cert = install(dsa.get(), kDss, PROV_DSS_DH, AT_SIGNATURE);
    ossl::PKey key = load(cert_id(cert.get(), ' '));
    ASSERT_TRUE(key);
    int md = 0;
    EXPECT_EQ(2, EVP_PKEY_get_default_digest_nid(key.get(), &md));
    EXPECT_EQ(NID_sha1, md);
    // Every other operation is answered as the crypto library's DSA control answers it.
    for (int op = ASN1_PKEY_CTRL_PKCS7_SIGN; op <= ASN1_PKEY_CTRL_GET1_TLS_ENCPT + 1; ++op) {
        if (op == ASN1_PKEY_CTRL_DEFAULT_MD_NID) continue;
        int out = -7;
        EXPECT_EQ(-2, mscryptoapi_dsa_pkey_ctrl(key.get(), op, 0, &out)) << op;
        EXPECT_EQ(-7, out) << op;
    }
    PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    Bytes sig(128);
    size_t len = sig.size();
    const Bytes digest = counter_bytes(20);
    ASSERT_EQ(1, EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()));
    EXPECT_EQ(CALG_SHA1, stand_in::calls().hash_alg);
    PKeyCtx vctx(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
    ASSERT_EQ(1, EVP_PKEY_verify_init(vctx.get()));
    EXPECT_EQ(1, EVP_PKEY_verify(vctx.get(), sig.data(), len, digest.data(), digest.size()));
    // A digest of no known length still goes to the provider, which refuses its identifier.
    len = sig.size();
    const Bytes odd = counter_bytes(28);
    auto r = captured(
        [&] { return EVP_PKEY_sign(ctx.get(), sig.data(), &len, odd.data(), odd.size()); });
    EXPECT_GE(0, r.first);
    EXPECT_TRUE(has(r.second, "GetHashAlgIdByLength() : wrong hash length: 28")) << r.second;
    EXPECT_EQ(0x8000u, stand_in::calls().hash_alg);
}

// ---- commands and the certificate listing ----

TEST_F(CapiTest, CommandsKeepTheStoreAndListCertificates) {
    static ossl::PKey rsa(EVP_RSA_gen(1024));
    ossl::X509Ptr with_key = install(rsa.get(), kStrong, PROV_RSA_FULL, AT_SIGNATURE, "c1");
    ossl::X509Ptr lost = install(rsa.get(), kStrong, PROV_RSA_FULL, AT_SIGNATURE, "c2");
    ASSERT_TRUE(stand_in::add_certificate("My", der_of(i2d_X509, self_signed().get())));
    ASSERT_TRUE(stand_in::add_certificate("Other", der_of(i2d_X509, self_signed().get())));
    // A container the listing cannot open silently: its key is gone.
    ASSERT_TRUE(stand_in::add_certificate(
        "My", der_of(i2d_X509, self_signed(rsa.get(), "gone", 3).get()),
        stand_in::KeyProvInfo{u"nowhere", kStrong, PROV_RSA_FULL, AT_SIGNATURE}));

    STACK_OF(X509)* raw = nullptr;
    auto r = captured([&] { return ENGINE_ctrl(e_, kCapiCmdLoadCerts, 0, &raw, nullptr); });
    EXPECT_EQ(0, r.first);
    EXPECT_TRUE(has(r.second, "mscryptoapi_load_certs() : failed to open store '(null)'"))
        << r.second;
    EXPECT_EQ(1, ENGINE_ctrl(e_, kCapiCmdSetCurrentStore, 0, const_cast<char*>("My"), nullptr));
    EXPECT_EQ(0,
              ENGINE_ctrl(e_, kCapiCmdSetCurrentStore, 0, const_cast<char*>("Missing"), nullptr));
    for (auto [mode, count] : {std::pair{0L, 4}, {1L, 3}, {2L, 2}, {3L, 0}}) {
        ASSERT_EQ(1, ENGINE_ctrl(e_, kCapiCmdLoadCerts, mode, &raw, nullptr)) << mode;
        ossl::X509Stack list(raw);
        EXPECT_EQ(count, sk_X509_num(list.get())) << mode;
        for (int i = 0; mode == 2 && i < sk_X509_num(list.get()); ++i)
            EXPECT_STREQ("store=My", engine_keys::cert_tag(sk_X509_value(list.get(), i)));
    }
    r = captured([&] { return ENGINE_ctrl(e_, ENGINE_CMD_BASE + 3, 0, nullptr, nullptr); });
    EXPECT_EQ(0, r.first);
    EXPECT_TRUE(has(r.second, "mscryptoapi_perform_cmd() : wrong parameter number: 3")) << r.second;
    EXPECT_EQ(-1, ENGINE_ctrl(e_, ENGINE_CMD_BASE + 4, 0, nullptr, nullptr));
}

// ---- key transport through the provider ----

struct TransportCase {
    const GostRow* key;
    bool answers_cipher_oid;
    bool with_ephemeral;
};

TEST_F(CapiTest, ProviderUnwrapsTheContentKeyOfTheSoftwareTransport) {
    const Bytes content = counter_bytes(32), ukm8 = from_hex("0102030405060708");
    for (const auto& row : kGostRows) {
        for (bool answers : {true, false}) {
            for (bool ephemeral : {true, false}) {
                stand_in::reset();
                ossl::PKey soft = generate(row.type, row.paramset);
                ossl::X509Ptr cert = install(soft.get(), kGostCsp, row.prov_type, AT_KEYEXCHANGE);
                stand_in::set_provider_cipher(kGostCsp, "1.2.643.7.1.2.5.1.1", answers);
                ossl::PKey key = load(cert_id(cert.get(), ' '));
                ASSERT_TRUE(key);
                // The software transport the "gost" engine writes for the certificate's key.
                PKeyCtx enc(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
                Bytes kt(512);
                size_t kt_len = kt.size();
                ASSERT_EQ(1, EVP_PKEY_encrypt_init(enc.get()));
                // The provider's blobs hold an 8-byte UKM, for 512-bit keys too.
                ASSERT_EQ(1, EVP_PKEY_CTX_ctrl(enc.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8,
                                               const_cast<uint8_t*>(ukm8.data())));
                ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), kt.data(), &kt_len, content.data(),
                                              content.size()));
                kt.resize(kt_len);
                // The same content key in software with the private key.
                PKeyCtx soft_dec(EVP_PKEY_CTX_new(soft.get(), nullptr));
                Bytes soft_out(32);
                size_t soft_len = soft_out.size();
                ASSERT_EQ(1, EVP_PKEY_decrypt_init(soft_dec.get()));
                ASSERT_EQ(1, EVP_PKEY_decrypt(soft_dec.get(), soft_out.data(), &soft_len, kt.data(),
                                              kt.size()));
                EXPECT_EQ(to_hex(content), to_hex(soft_out));

                PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
                ASSERT_EQ(1, EVP_PKEY_decrypt_init(dec.get()));
                ossl::PKey sender;
                if (!ephemeral) {
                    // The sender's key travels beside the transport instead of in it.
                    const unsigned char* p = kt.data();
                    ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free> t(
                        d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(kt.size())));
                    ASSERT_TRUE(t);
                    sender.reset(X509_PUBKEY_get(t->key_agreement_info->ephem_key));
                    ossl::X509Pubkey(t->key_agreement_info->ephem_key).reset();
                    t->key_agreement_info->ephem_key = nullptr;
                    kt = der_of(i2d_TVK_KEY_TRANSPORT, t.get());
                    ASSERT_EQ(1, EVP_PKEY_derive_set_peer(dec.get(), sender.get()));
                }
                size_t len = 0;
                const int before = stand_in::calls().provider_calls;
                EXPECT_EQ(1, EVP_PKEY_decrypt(dec.get(), nullptr, &len, kt.data(), kt.size()));
                EXPECT_EQ(32u, len);
                EXPECT_EQ(before, stand_in::calls().provider_calls);
                Bytes out(32);
                EXPECT_LT(0, EVP_PKEY_decrypt(dec.get(), out.data(), &len, kt.data(), kt.size()))
                    << objmap::nid(row.type) << answers << ephemeral;
                EXPECT_EQ(to_hex(content), to_hex(out));
                EXPECT_EQ(ephemeral ? 0 : 1,
                          EVP_PKEY_CTX_ctrl(dec.get(), -1, -1, EVP_PKEY_CTRL_PEER_KEY, 2, nullptr));
            }
        }
    }
}

// The blob the provider exports names its own parameter set only when it is longer than 62
// bytes and holds the whole identifier; a shorter one leaves the provider's.
TEST_F(CapiTest, ExportedBlobsNameTheirParameterSetOnlyWhenTheyHoldIt) {
    ossl::PKey soft = generate(Obj::gost2012_256, "A");
    ossl::X509Ptr cert = install(soft.get(), kGostCsp, PROV_GOST_2012_256, AT_KEYEXCHANGE);
    stand_in::set_provider_cipher(kGostCsp, "1.2.643.7.1.2.5.1.1", true);
    ossl::PKey key = load(cert_id(cert.get(), ' '));
    ASSERT_TRUE(key);
    PKeyCtx enc(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
    const Bytes content = counter_bytes(32), ukm8 = from_hex("0102030405060708");
    Bytes kt(512);
    size_t kt_len = kt.size();
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(enc.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_ctrl(enc.get(), -1, -1, EVP_PKEY_CTRL_SET_IV, 8,
                                   const_cast<uint8_t*>(ukm8.data())));
    ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), kt.data(), &kt_len, content.data(), 32));
    const Bytes z = oid("1.2.643.7.1.2.5.1.1"), a = oid("1.2.643.2.2.31.1");
    const struct {
        Bytes tail;
        bool unwraps;
    } rows[] = {
        {{}, true},                       // 60 bytes: the provider's set
        {{0x30}, true},                   // 61
        {{0x30, 0x0B}, true},             // 62
        {{0x30, 0x0B, 0x06}, false},      // 63: the identifier's length is missing
        {cat({{0x30, 0x0B}, z}), true},   // the set the key was wrapped with
        {cat({{0x30, 0x09}, a}), false},  // another set, which the MAC refuses
        {cat({{0x30, 0x0B}, Bytes(z.begin(), z.end() - 1)}), false},  // cut short
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(60 + row.tail.size());
        stand_in::set_export_tail(row.tail);
        PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
        Bytes out(64);  // more room than the key takes: the length comes back as 32
        size_t len = out.size();
        ASSERT_EQ(1, EVP_PKEY_decrypt_init(dec.get()));
        const Result r = captured(
            [&] { return EVP_PKEY_decrypt(dec.get(), out.data(), &len, kt.data(), kt_len); });
        EXPECT_EQ(row.unwraps, r.first > 0) << r.second;
        if (row.unwraps) {
            EXPECT_EQ(to_hex(content), to_hex(Bytes(out.begin(), out.begin() + len)));
        }
    }
}

TEST_F(CapiTest, TransportFieldsOfTheWrongLengthAreRefused) {
    ossl::PKey soft = generate(Obj::gost2012_256, "A");
    ossl::X509Ptr cert = install(soft.get(), kGostCsp, PROV_GOST_2012_256, AT_KEYEXCHANGE);
    ossl::PKey key = load(cert_id(cert.get(), ' '));
    ASSERT_TRUE(key);
    PKeyCtx enc(EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr));
    const Bytes content = counter_bytes(32), ukm16 = counter_bytes(16);
    Bytes kt(512);
    size_t kt_len = kt.size();
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(enc.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_ctrl(enc.get(), -1, EVP_PKEY_OP_ENCRYPT, EVP_PKEY_CTRL_SET_IV, 16,
                                   const_cast<uint8_t*>(ukm16.data())));
    ASSERT_EQ(1, EVP_PKEY_encrypt(enc.get(), kt.data(), &kt_len, content.data(), content.size()));
    PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_decrypt_init(dec.get()));
    Bytes out(32);
    size_t len = out.size();
    auto r =
        captured([&] { return EVP_PKEY_decrypt(dec.get(), out.data(), &len, kt.data(), kt_len); });
    EXPECT_GE(0, r.first);
    EXPECT_TRUE(has(r.second, "DER_decode_encrypted_key_struct() failed, retcode = -6"))
        << r.second;
}

TEST_F(CapiTest, PublicKeyBlobHeaderAndKeyLengths) {
    ossl::PKey soft = generate(Obj::gost2012_256, "A");
    unsigned char* raw = nullptr;
    unsigned int len = 0;
    ASSERT_EQ(1, MakePubKeyBlob(gost2012_record(soft.get()), &raw, &len));
    ossl::Bytes blob(raw);
    EXPECT_EQ("06200000492e00004d41473100020000", to_hex(Bytes(raw, raw + 16)));
    EXPECT_EQ(to_hex(Bytes(gost2012_record(soft.get())->pub_key,
                           gost2012_record(soft.get())->pub_key + 64)),
              to_hex(Bytes(raw + len - 64, raw + len)));

    // Only a public key as long as its parameter set's is taken.
    ossl::X509Ptr cert = self_signed(soft.get());
    X509_ALGOR* alg = nullptr;
    X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, X509_get_X509_PUBKEY(cert.get()));
    const void* params = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(nullptr, &ptype, &params, alg);
    for (size_t n : {64u, 63u, 65u, 127u}) {
        const Bytes os = tlv(0x04, counter_bytes(n));
        ossl::X509Pubkey pub(X509_PUBKEY_new());
        auto* der = static_cast<unsigned char*>(OPENSSL_memdup(os.data(), os.size()));
        ASSERT_EQ(1, X509_PUBKEY_set0_param(
                         pub.get(), OBJ_nid2obj(objmap::nid(Obj::gost2012_256)), V_ASN1_SEQUENCE,
                         ASN1_STRING_dup(static_cast<const ASN1_STRING*>(params)), der,
                         static_cast<int>(os.size())));
        ossl::PKey k(EVP_PKEY_new());
        auto r = captured([&] { return pub_decode_mscryptoapi(k.get(), pub.get()); });
        EXPECT_EQ(n == 64 ? 1 : 0, r.first) << n << r.second;
    }
}

TEST_F(CapiTest, DirectoryDescribesStoresAndContainers) {
    ossl::PKey soft = generate(Obj::gost2012_512, "A");
    ossl::X509Ptr cert = self_signed(soft.get(), "from a directory", 9);
    testing_support::TempDir dir;
    ossl::Bio c(BIO_new_file(dir.file("user.pem").c_str(), "w"));
    PEM_write_bio_X509(c.get(), cert.get());
    c.reset();
    ossl::Bio k(BIO_new_file(dir.file("user.key").c_str(), "w"));
    PEM_write_bio_PKCS8PrivateKey(k.get(), soft.get(), nullptr, nullptr, 0, nullptr, nullptr);
    k.reset();
    dir.write("capi.conf",
              "# a GOST container and the certificate that names it\n"
              "[provider Test GOST R 34.10-2012 provider]\ntype = 81\n"
              "[container gost-512]\nprovider = Test GOST R 34.10-2012 provider\ntype = 81\n"
              "signature_key = user.key\npin = 0000\n"
              "[store My]\ncertificate = user.pem, gost-512, 2\n");
    ASSERT_TRUE(stand_in::load_directory(dir.path()));
    ossl::PKey key = load(dir.file("user.pem"), "0000");
    ASSERT_TRUE(key);
    PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    Bytes sig(128);
    size_t len = sig.size();
    const Bytes digest = counter_bytes(64);
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    EXPECT_EQ(128, EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()));
    dir.write("capi.conf", "[store My]\ncertificate = absent.pem\n");
    EXPECT_FALSE(captured([&] { return stand_in::load_directory(dir.path()); }).first);
}

// Files written for the stand-in keep the meaning they always had: the README's own example
// loads, and a value is the rest of its line as written, quotes, ';' and a trailing backslash
// included; only a '#' starts a comment, anywhere on a line.
TEST_F(CapiTest, DirectoryFilesKeepTheirMeaning) {
    const std::string readme = testing_support::read_file(SSF_TEST_DATA "/../../README.md");
    const size_t head = readme.find("### The CryptoAPI stand-in");
    const size_t from = readme.find("```ini\n", head), to = readme.find("```\n", from + 7);
    ASSERT_NE(head, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    testing_support::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("keys").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("certs").c_str(), 0700), 0);
    ossl::PKey soft = generate(Obj::gost2012_256, "A");
    const auto write_pem = [&](const char* name, auto&& write) {
        ossl::Bio out(BIO_new_file(dir.file(name).c_str(), "w"));
        ASSERT_EQ(write(out.get()), 1);
    };
    write_pem("keys/my-key.pem", [&](BIO* b) {
        return PEM_write_bio_PKCS8PrivateKey(b, soft.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    write_pem("certs/me.pem", [&](BIO* b) {
        return PEM_write_bio_X509(b, self_signed(soft.get(), "me", 7).get());
    });
    write_pem("certs/ca.pem", [&](BIO* b) {
        return PEM_write_bio_X509(b, self_signed(generate(Obj::gost2012_256, "A").get()).get());
    });
    const std::string me = dir.file("certs/me.pem");
    dir.write("capi.conf", readme.substr(from + 7, to - from - 7));
    stand_in::reset();
    ASSERT_TRUE(stand_in::load_directory(dir.path()));
    EXPECT_TRUE(load(me, "1234"));

    const struct {
        const char* written;
        const char* meant;
        const char* not_meant;
    } pins[] = {
        {"ab;cd", "ab;cd", "ab"},           {"\"q u\"", "\"q u\"", "q u"},
        {"'s' ; c", "'s' ; c", "s"},        {"ends in \\", "ends in \\", "ends in"},
        {"ab#cd # comment", "ab", "ab#cd"},
    };
    for (const auto& p : pins) {
        SCOPED_TRACE(p.written);
        dir.write("capi.conf", std::string("[container c]  # a GOST R 34.10-2012 key\n") +
                                   "type = 80\nexchange_key = keys/my-key.pem\npin = " + p.written +
                                   "\n[store My]\ncertificate = certs/me.pem, c, 1\n");
        stand_in::reset();
        ASSERT_TRUE(stand_in::load_directory(dir.path()));
        EXPECT_FALSE(captured([&] { return load(me, p.not_meant) != nullptr; }).first);
        EXPECT_TRUE(load(me, p.meant));
    }
}

}  // namespace
