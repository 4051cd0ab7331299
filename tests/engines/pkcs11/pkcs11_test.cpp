// The "pkcs11" engine against our GOST test token (GOST keys, slots, PINs, faults, attributes of
// any size) and softhsm2 (RSA), in process and through the stock openssl command.
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "common/openssl_tool.h"
#include "common/process.h"
#include "common/tempdir.h"
#include "engine_env.h"
#include "engines/gost/gost_key_methods.h"
#include "engines/pkcs11/p11_engine.h"
#include "p11token.h"

namespace {

using namespace engine_tests;
using objmap::Obj;
using testing_support::from_hex;
using testing_support::TempDir;

constexpr const char* kPin = "1234";
constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

struct Kind {
    Obj type;
    int token_kind;
    size_t sig_len;
    CK_MECHANISM_TYPE sign, derive;
};
const Kind kKinds[] = {
    {Obj::gost2001, P11TOKEN_GOST2001, 64, CKM_GOSTR3410, CKM_GOSTR3410_DERIVE},
    {Obj::gost2012_256, P11TOKEN_GOST2012_256, 64, CKM_GOSTR3410, CKM_GOSTR3410_DERIVE},
    {Obj::gost2012_512, P11TOKEN_GOST2012_512, 128, CKM_GOSTR3410_512, CKM_GOSTR3410_12_DERIVE},
};

// A software key and its certificate; the token holds the same key pair.
struct Entity {
    ossl::PKey key;
    ossl::X509Ptr cert;
};

const Entity& entity(int kind) {
    static Entity* all = [] {
        auto* e = new Entity[3];
        for (int i = 0; i < 3; ++i) {
            e[i].key = generate(kKinds[i].type, "A");
            e[i].cert = self_signed(e[i].key.get(), "token key", 50 + i);
        }
        return e;
    }();
    return all[kind];
}

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

p11token_stats stats() {
    p11token_stats s{};
    p11token_get_stats(&s);
    return s;
}

// Key pair and certificate of the kind on the slot, both under id; the private key's handle.
unsigned long put(unsigned long slot, int kind, const Bytes& id) {
    const tvk_gost2012_key* k = gost2012_record(entity(kind).key.get());
    uint8_t curve[16];
    uint32_t curve_len = 0;
    EXPECT_TRUE(gost_param_der(k->param_nid, curve, &curve_len));
    const Bytes der = der_of(i2d_X509, entity(kind).cert.get());
    p11token_add_cert(slot, id.data(), id.size(), der.data(), der.size());
    return p11token_add_gost_key(slot, id.data(), id.size(), kKinds[kind].token_kind, curve,
                                 curve_len, k->priv_key, k->priv_key_len);
}

std::string pem_file(const TempDir& dir, const char* name, X509* cert) {
    ossl::Bio b(BIO_new_file(dir.file(name).c_str(), "w"));
    PEM_write_bio_X509(b.get(), cert);
    return dir.file(name);
}

bool verifies(EVP_PKEY* pub, const Bytes& sig, const Bytes& digest) {
    PKeyCtx ctx(EVP_PKEY_CTX_new(pub, nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
}

// A signature of the digest by the key; empty when signing failed.
Bytes sign(EVP_PKEY* key, const Bytes& digest) {
    PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1)
        return {};
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) <= 0) return {};
    sig.resize(len);
    return sig;
}

class Pkcs11 : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        p11token_reset();
        e_ = pkcs11_engine();
        ASSERT_NE(nullptr, e_);
        ASSERT_EQ(1, ENGINE_init(e_));
        attach(SSF_P11TOKEN);
    }
    void TearDown() override {
        if (e_) ENGINE_finish(e_);
        p11token_reset();
    }
    void attach(const std::string& module) {
        ASSERT_EQ(1, ENGINE_ctrl_cmd_string(e_, "ATTACH_API", module.c_str(), 0));
    }
    ossl::PKey load(const std::string& id, const char* pin = kPin) {
        const char* cb[1] = {pin};
        return ossl::PKey(
            ENGINE_load_private_key(e_, id.empty() ? nullptr : id.c_str(), nullptr, cb));
    }
    ENGINE* e_ = nullptr;
    TempDir dir;
};

// Two keys share the module; freeing one neither finalises it nor logs the other out; the last
// one finalises it, and the next load initialises it again.
TEST_F(Pkcs11, KeysShareTheModuleUntilTheLastIsFreed) {
    const unsigned long slot = p11token_add_slot(kPin);
    put(slot, 1, {1});
    put(slot, 2, {2});
    ossl::PKey a = load("ID:01"), b = load("ID:02");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(p11::module_users(SSF_P11TOKEN), 2u);
    EXPECT_EQ(stats().initialize_calls, 1);
    a.reset();
    EXPECT_EQ(stats().finalize_calls, 0);
    EXPECT_EQ(sign(b.get(), Bytes(64, 7)).size(), 128u);
    b.reset();
    EXPECT_EQ(stats().finalize_calls, 1);
    EXPECT_EQ(stats().open_sessions, 0);
    EXPECT_TRUE(load("ID:02"));
    EXPECT_EQ(stats().initialize_calls, 2);
}

// Each row: what the token holds, the identifier asked for, and the outcome.
TEST_F(Pkcs11, KeyIdentifierForms) {
    const std::string pem =
        testing_support::read_file(pem_file(dir, "cert.pem", entity(1).cert.get()));
    struct Row {
        Bytes token_id;
        std::string asked;
        bool found;
        std::string line;
    };
    const Row rows[] = {
        {{0x0A, 0x1B}, "ID:0A1b", true, ""},
        {{0x0A}, "ID:0A1", true, ""},
        {{}, "ID:", true, ""},
        {{0x0A, 0x1B}, "ID:0A1c", false, "find_cert_on_token() failed on slot #0"},
        {{1}, "ID:" + std::string(42, '1'), false, "is longer than 20 bytes"},
        {{1}, "ID:0x01", false, "is not 'ID:' and hexadecimal digits"},
        {{1}, "", false, "pkcs11_load_privkey() : no key identifier given"},
        {{7}, pem, true, ""},
        {{7}, dir.file("cert.pem"), true, ""},
        {{7}, dir.file("none.pem"), false, "BIO_new_file( '" + dir.file("none.pem") + "' ) failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.asked.substr(0, 40));
        p11token_reset();
        put(p11token_add_slot(kPin), 1, row.token_id);
        ossl::PKey key;
        const Result r = captured([&] { return (key = load(row.asked)) != nullptr; });
        EXPECT_EQ(r.first, row.found) << r.second;
        EXPECT_TRUE(has(r.second, row.line)) << r.second;
        if (key) EXPECT_EQ(EVP_PKEY_get0_engine(key.get()), e_);
    }
}

// Each row sets the token up; the load finds the key (or not), and says why.
TEST_F(Pkcs11, SlotSearchTriesEverySlotInTurn) {
    const std::string by_cert = pem_file(dir, "c.pem", entity(0).cert.get());
    struct Row {
        const char* name;
        std::function<void()> setup;
        std::string asked;
        const char* pin;
        bool found;
        const char* line;
    };
    const Row rows[] = {
        {"first slot failing",
         [] {
             p11token_add_broken_slot();
             put(p11token_add_slot(kPin), 0, {5});
         },
         "ID:05", kPin, true, "C_OpenSession() failed: 225 (CKR_TOKEN_NOT_RECOGNIZED)"},
        {"certificate without its private key, then the whole pair",
         [] {
             const unsigned long s = p11token_add_slot(kPin);
             const Bytes der = der_of(i2d_X509, entity(0).cert.get());
             p11token_add_cert(s, Bytes{9}.data(), 1, der.data(), der.size());
             p11token_add_object(s, CKO_PUBLIC_KEY, Bytes{9}.data(), 1);
             put(p11token_add_slot(kPin), 0, {5});
         },
         by_cert, kPin, true, "find_cert_on_token() 18 : priv key_count == 0"},
        {"wrong PIN", [] { put(p11token_add_slot(kPin), 0, {5}); }, "ID:05", "0000", false,
         "C_Login() failed: 160 (CKR_PIN_INCORRECT)"},
        {"no PIN", [] { put(p11token_add_slot(kPin), 0, {5}); }, "ID:05", nullptr, false,
         "find_cert_on_token() 0 : password not specified"},
        {"no certificate", [] { put(p11token_add_slot(kPin), 1, {5}); }, by_cert, kPin, false,
         "find_cert_on_token() 15 : no certificate found on token"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        p11token_reset();
        row.setup();
        const Result r = captured([&] {
            const char* cb[1] = {row.pin};
            return ossl::PKey(ENGINE_load_private_key(e_, row.asked.c_str(), nullptr, cb)) !=
                   nullptr;
        });
        EXPECT_EQ(r.first, row.found) << r.second;
        EXPECT_TRUE(has(r.second, row.line)) << r.second;
        EXPECT_EQ(stats().open_sessions, 0);
    }
}

TEST_F(Pkcs11, LoginAlreadyDoneByAnotherKeyCounts) {
    const unsigned long slot = p11token_add_slot(kPin);
    put(slot, 0, {1});
    put(slot, 1, {2});
    ossl::PKey first = load("ID:01");
    ASSERT_TRUE(first);
    // The token answers CKR_USER_ALREADY_LOGGED_IN before it looks at the PIN.
    EXPECT_TRUE(load("ID:02", "not the PIN"));
}

// Each row puts one oversize (or otherwise unusable) value on the token; the load refuses the
// key and says which value.
TEST_F(Pkcs11, ValuesReadFromTheTokenAreLengthChecked) {
    const Bytes big(2000, 0x41);
    auto rsa_like = [](CK_ULONG bits, size_t modulus_len) {
        const unsigned long s = p11token_add_slot(kPin);
        const unsigned long priv = p11token_add_object(s, CKO_PRIVATE_KEY, Bytes{3}.data(), 1);
        const unsigned long pub = p11token_add_object(s, CKO_PUBLIC_KEY, Bytes{3}.data(), 1);
        const CK_KEY_TYPE rsa = CKK_RSA;
        const Bytes n(modulus_len, 0xC5), e{1, 0, 1};
        p11token_set_attribute(priv, CKA_KEY_TYPE, &rsa, sizeof rsa);
        p11token_set_attribute(pub, CKA_MODULUS_BITS, &bits, sizeof bits);
        p11token_set_attribute(pub, CKA_MODULUS, n.data(), n.size());
        p11token_set_attribute(pub, CKA_PUBLIC_EXPONENT, e.data(), e.size());
    };
    auto gost_with = [&](bool on_public, CK_ATTRIBUTE_TYPE type, size_t len) {
        const unsigned long priv = put(p11token_add_slot(kPin), 1, {3});
        p11token_set_attribute(on_public ? priv + 1 : priv, type, big.data(), len);
    };
    struct Row {
        std::string asked;
        std::function<void()> setup;
        const char* line;
    };
    const std::string cert_path = pem_file(dir, "c.pem", entity(1).cert.get());
    const Row rows[] = {
        {cert_path, [] { put(p11token_add_slot(kPin), 1, Bytes(21, 3)); },
         "certificate CKA_ID is longer than 20 bytes"},
        {"ID:03", [&] { gost_with(true, CKA_VALUE, 65); }, "GOST public key of 65 bytes, not 64"},
        {"ID:03", [&] { gost_with(true, CKA_VALUE, 2000); }, "CKA_VALUE does not fit 1024 bytes"},
        {"ID:03", [&] { gost_with(false, CKA_GOSTR3410_PARAMS, 21); },
         "CKA_GOSTR3410_PARAMS does not fit 20 bytes"},
        {"ID:03", [&] { gost_with(false, CKA_GOSTR3411_PARAMS, 21); },
         "CKA_GOSTR3411_PARAMS does not fit 20 bytes"},
        {"ID:03", [&] { gost_with(false, CKA_GOSTR3411_PARAMS, 9); },
         "unusable GOST parameter sets on the token"},
        {"ID:03", [&] { rsa_like(4096, 16); }, "RSA modulus of 16 bytes does not hold 4096 bits"},
        {"ID:03", [&] { rsa_like(8, 10241); }, "CKA_MODULUS does not fit 10240 bytes"},
        {"ID:03",
         [] {
             const unsigned long s = p11token_add_slot(kPin);
             const unsigned long priv = p11token_add_object(s, CKO_PRIVATE_KEY, Bytes{3}.data(), 1);
             p11token_add_object(s, CKO_PUBLIC_KEY, Bytes{3}.data(), 1);
             const CK_KEY_TYPE dsa = CKK_DSA;
             p11token_set_attribute(priv, CKA_KEY_TYPE, &dsa, sizeof dsa);
         },
         "unknown or unsupported key type: 1 (1)"},
        {"ID:03",
         [] {
             const unsigned long s = p11token_add_slot(kPin);
             p11token_add_object(s, CKO_PRIVATE_KEY, Bytes{3}.data(), 1);
             p11token_add_object(s, CKO_PUBLIC_KEY, Bytes{3}.data(), 1);
         },
         "MakeTokenPrivateKey() : failed to determine key type: CKR_ATTRIBUTE_TYPE_INVALID (12)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        p11token_reset();
        row.setup();
        const Result r = captured([&] { return load(row.asked) != nullptr; });
        EXPECT_EQ(r.first, 0);
        EXPECT_TRUE(has(r.second, row.line)) << r.second;
        EXPECT_EQ(stats().open_sessions, 0);
    }
}

// Per kind: a loaded key signs on the token with its own mechanism, the certificate's key
// verifies, a length query asks no token, and a token failure is a failure.
TEST_F(Pkcs11, TokenKeysSignWhatTheSoftwareVerifies) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        p11token_reset();
        put(p11token_add_slot(kPin), kind, {1});
        ossl::PKey key = load("ID:01");
        ASSERT_TRUE(key);
        ossl::PKey pub(X509_get_pubkey(entity(kind).cert.get()));
        EXPECT_EQ(EVP_PKEY_cmp(key.get(), pub.get()), 1);
        const Bytes digest(kKinds[kind].sig_len / 2, 0x5A);
        const Bytes sig = sign(key.get(), digest);
        EXPECT_EQ(sig.size(), kKinds[kind].sig_len);
        EXPECT_TRUE(verifies(pub.get(), sig, digest));
        EXPECT_EQ(stats().last_mechanism, kKinds[kind].sign);
        p11token_set_fault(P11TOKEN_FAIL_SIGN, CKR_DEVICE_ERROR);
        const Result r = captured([&] { return sign(key.get(), digest).size(); });
        EXPECT_EQ(r.first, 0);
        EXPECT_TRUE(has(r.second, "pkcs11_gost_sign() 2 : C_Sign() failed, rv = 0x00000030"));
    }
}

// Per kind: a pair generated on the token is bound to the engine, carries the SHA-1 of its
// public key as CKA_ID on both objects and in its PKCS#8 form, and signs what its public key
// verifies.
TEST_F(Pkcs11, GeneratedKeysCarryTheirIdentifierAndSign) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        p11token_reset();
        p11token_add_slot("other");
        const unsigned long slot = p11token_add_slot(kPin);
        ASSERT_EQ(1, ENGINE_ctrl_cmd_string(e_, "LOGIN", kPin, 0));
        PKeyCtx ctx(EVP_PKEY_CTX_new_id(objmap::nid(kKinds[kind].type), e_));
        EVP_PKEY* raw = nullptr;
        ASSERT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1);
        EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "slot", std::to_string(slot).c_str()), 1);
        const Result no_label = captured([&] { return EVP_PKEY_keygen(ctx.get(), &raw); });
        EXPECT_TRUE(has(no_label.second, "no token label set"));
        ASSERT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "label", "generated"), 1);
        if (kind == 1)
            EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset",
                                            "id-tc26-gost-3410-2012-256-paramSetA"),
                      1);
        testing::internal::CaptureStdout();
        ASSERT_EQ(EVP_PKEY_keygen(ctx.get(), &raw), 1);
        const std::string printed = testing::internal::GetCapturedStdout();
        ossl::PKey key(raw);
        EXPECT_EQ(EVP_PKEY_get0_engine(key.get()), e_);
        const tvk_gost2012_key* rec = gost2012_record(key.get());
        uint8_t id[20];
        ASSERT_TRUE(pkcs11_id_gen(rec->pub_key, rec->pub_key_len, id));
        EXPECT_EQ(printed, "key ID = " + testing_support::to_hex(id, 20) + "\n");
        EXPECT_NE(p11token_find_object(slot, CKO_PUBLIC_KEY, id, 20), 0u);
        EXPECT_NE(p11token_find_object(slot, CKO_PRIVATE_KEY, id, 20), 0u);
        const Bytes p8 = [&] {
            ossl::P8Info info(EVP_PKEY2PKCS8(key.get()));
            return info ? der_of(i2d_PKCS8_PRIV_KEY_INFO, info.get()) : Bytes{};
        }();
        EXPECT_EQ(Bytes(p8.end() - 20, p8.end()), Bytes(id, id + 20));
        const Bytes digest(kKinds[kind].sig_len / 2, 0x33);
        EXPECT_TRUE(verifies(key.get(), sign(key.get(), digest), digest));
    }
    PKeyCtx ctx(EVP_PKEY_CTX_new_id(objmap::nid(Obj::gost2012_256), e_));
    ASSERT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1);
    const Result refused = captured([&] {
        return EVP_PKEY_CTX_ctrl(ctx.get(), -1, -1, EVP_PKEY_CTRL_PKCS11_PARAMSET,
                                 objmap::nid(Obj::gost_3410_2012_256_paramSetB), nullptr);
    });
    EXPECT_EQ(refused.first, -2);
    EXPECT_TRUE(has(refused.second, "pkey_pkcs11_ctrl() : unsupported sign parameter NID: "));
    EXPECT_EQ(EVP_PKEY_CTX_ctrl_str(ctx.get(), "no such", "x"), -2);
}

// Per kind: a content key the software sends to the certificate's key comes back whole through
// the token; each row of faults fails with its reason.
TEST_F(Pkcs11, UnwrapGivesWhatTheSoftwareKeyGives) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        p11token_reset();
        put(p11token_add_slot(kPin), kind, {1});
        ossl::PKey key = load("ID:01");
        ossl::PKey pub(X509_get_pubkey(entity(kind).cert.get()));
        const Bytes content = counter_bytes(32);
        Bytes wrapped(512);
        size_t len = wrapped.size();
        PKeyCtx enc(EVP_PKEY_CTX_new(pub.get(), nullptr));
        ASSERT_TRUE(enc && EVP_PKEY_encrypt_init(enc.get()) == 1 &&
                    EVP_PKEY_encrypt(enc.get(), wrapped.data(), &len, content.data(), 32) == 1);
        wrapped.resize(len);
        auto unwrap = [&](const Bytes& in, Bytes& out) {
            PKeyCtx dec(EVP_PKEY_CTX_new(key.get(), nullptr));
            size_t n = out.size();
            const int rc = dec && EVP_PKEY_decrypt_init(dec.get()) == 1
                               ? EVP_PKEY_decrypt(dec.get(), out.data(), &n, in.data(), in.size())
                               : 0;
            out.resize(n);
            return rc;
        };
        Bytes out(0);
        const long mech_before = static_cast<long>(stats().last_mechanism);
        EXPECT_EQ(unwrap(wrapped, out), 1);  // a length query: no token call
        EXPECT_EQ(static_cast<long>(stats().last_mechanism), mech_before);
        out.resize(32);
        EXPECT_EQ(unwrap(wrapped, out), 1);
        EXPECT_EQ(out, content);
        EXPECT_EQ(stats().last_mechanism, kKinds[kind].derive);

        // The wrapped key is the first OCTET STRING of 32 bytes.
        Bytes tampered = wrapped;
        const Bytes head{0x04, 0x20};
        auto pos = std::search(tampered.begin(), tampered.end(), head.begin(), head.end());
        ASSERT_NE(pos, tampered.end());
        pos[5] ^= 1;
        struct Row {
            Bytes in;
            int fault;
            long value;
            const char* line;
        };
        const Row rows[] = {
            {tampered, -1, 0, "Wrong MAC"},
            {Bytes(wrapped.begin(), wrapped.end() - 1), -1, 0, "d2i_TVK_KEY_TRANSPORT() failed"},
            {wrapped, P11TOKEN_DERIVED_LENGTH, 16,
             "TokenGenKek() 4 : derived key value of 16 bytes is not usable"},
            {wrapped, P11TOKEN_SENSITIVE_DERIVED, 1,
             "TokenGenKek() 3 : C_GetAttributeValue() failed, ret code = 0x00000011"},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.line);
            if (row.fault >= 0) p11token_set_fault(row.fault, row.value);
            Bytes o(32);
            const Result r = captured([&] { return unwrap(row.in, o); });
            EXPECT_LE(r.first, 0);
            EXPECT_TRUE(has(r.second, row.line)) << r.second;
            if (row.fault >= 0) p11token_set_fault(row.fault, 0);
        }
    }
}

// The names of return values: values as the standard numbers them, the one vendor value named,
// and the rest unknown; a scan of the standard's range finds every row of its list once.
TEST(Pkcs11Names, KnownVendorAndUnknownValues) {
    const std::pair<CK_RV, const char*> rows[] = {
        {0x0, "CKR_OK"},
        {0x5, "CKR_GENERAL_ERROR"},
        {0x11, "CKR_ATTRIBUTE_SENSITIVE"},
        {0x12, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {0x30, "CKR_DEVICE_ERROR"},
        {0xA0, "CKR_PIN_INCORRECT"},
        {0x100, "CKR_USER_ALREADY_LOGGED_IN"},
        {0x150, "CKR_BUFFER_TOO_SMALL"},
        {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
        {0x1A1, "CKR_MUTEX_NOT_LOCKED"},
        {0x80000000, "CKR_VENDOR_DEFINED"},
        {0x80000001, "unknown PKCS11 error"},
        {0xD4321003, "unknown PKCS11 error"},
        {0x200, "unknown PKCS11 error"},
        {~0UL, "unknown PKCS11 error"},
    };
    for (const auto& [rv, name] : rows) EXPECT_STREQ(get_ckr_name(rv), name) << std::hex << rv;
    std::set<std::string> named;
    for (CK_RV rv = 0; rv < 0x200; ++rv)
        if (std::strcmp(get_ckr_name(rv), "unknown PKCS11 error") != 0) {
            EXPECT_EQ(std::string(get_ckr_name(rv)).rfind("CKR_", 0), 0u) << rv;
            named.insert(get_ckr_name(rv));
        }
    EXPECT_EQ(named.size(), 84u);  // and CKR_VENDOR_DEFINED
}

// Each step of the unwrap that can fail names itself on a line of its own.
TEST_F(Pkcs11, KekUnwrapNamesTheStepThatFailed) {
    const Bytes z = from_hex("06092a8503070102050101"), kek(32, 1), ukm(8, 2), wrapped(32, 3),
                mac(4, 4);
    const GOST28147_89_PARAMS* row = nullptr;
    ASSERT_EQ(GOST28147_89_FindParByDerOid(z.data(), static_cast<uint32_t>(z.size()), &row), 0);
    GOST28147_89_PARAMS no_sbox = *row;
    no_sbox.tz = nullptr;
    const struct {
        const GOST28147_89_PARAMS* row;
        const unsigned char* ukm;
        const char* step;
    } rows[] = {
        {row, ukm.data(), "Wrong MAC"},
        {row, nullptr, "GOST28147_89_KDF failed"},
        {&no_sbox, ukm.data(), "GOST28147_89_Init failed"},
    };
    std::set<std::string> places;
    for (const auto& r : rows) {
        Bytes out(32);
        const Result res = captured([&] {
            return pkcs11_kek_dec(r.row, kek.data(), r.ukm, 8, wrapped.data(), mac.data(),
                                  out.data());
        });
        EXPECT_EQ(res.first, 0);
        const std::string head = "pkcs11_kek_dec(): p11_transport.cpp:";
        ASSERT_EQ(res.second.rfind(head, 0), 0u) << res.second;
        EXPECT_TRUE(has(res.second, std::string(" . ") + r.step + "\n")) << res.second;
        places.insert(res.second.substr(0, res.second.find(" . ")));
    }
    EXPECT_EQ(places.size(), std::size(rows));
}

// The commands: their number range, the module path, and the listings of tokens, keys and
// certificates with texts as long as the values.
TEST_F(Pkcs11, CommandsListTokensKeysAndCertificates) {
    EXPECT_EQ(ENGINE_ctrl(e_, ENGINE_CMD_BASE - 1, 0, nullptr, nullptr), -1);
    EXPECT_EQ(ENGINE_ctrl(e_, ENGINE_CMD_BASE + 9, 0, nullptr, nullptr), -1);
    const Result wrong =
        captured([&] { return ENGINE_ctrl(e_, ENGINE_CMD_BASE + 8, 0, nullptr, nullptr); });
    EXPECT_EQ(wrong.first, 0);
    EXPECT_TRUE(has(wrong.second, "pkcs11_perform_cmd() : wrong parameter number: 8"));

    const unsigned long slot = p11token_add_slot(kPin);
    p11token_set_label(slot, "My Token");
    put(slot, 1, {0xAB});
    const unsigned long priv = put(slot, 2, Bytes(600, 0xCD));
    p11token_set_attribute(priv + 1, CKA_LABEL, "k", 1);
    const Bytes der = der_of(i2d_X509, entity(0).cert.get());
    p11token_add_cert(slot, Bytes{0xEE}.data(), 1, der.data(), der.size());

    STACK_OF(OPENSSL_STRING)* raw = nullptr;
    ASSERT_EQ(ENGINE_ctrl(e_, kP11CmdEnumTokens, 0, &raw, nullptr), 1);
    ossl::StringStack tokens(raw);
    ASSERT_EQ(sk_OPENSSL_STRING_num(tokens.get()), 3);
    EXPECT_STREQ(sk_OPENSSL_STRING_value(tokens.get(), 0), std::to_string(slot).c_str());
    EXPECT_STREQ(sk_OPENSSL_STRING_value(tokens.get(), 2), "My Token");
    ASSERT_EQ(ENGINE_ctrl(e_, kP11CmdEnumKeys, 0, &raw, nullptr), 1);
    ossl::StringStack keys(raw);
    ASSERT_EQ(sk_OPENSSL_STRING_num(keys.get()), 6);
    EXPECT_STREQ(sk_OPENSSL_STRING_value(keys.get(), 1), "ab");
    EXPECT_EQ(std::string(sk_OPENSSL_STRING_value(keys.get(), 4)),
              testing_support::to_hex(Bytes(600, 0xCD).data(), 600));
    EXPECT_STREQ(sk_OPENSSL_STRING_value(keys.get(), 5), "k");
    for (long mode : {0L, 1L}) {
        STACK_OF(X509)* certs = nullptr;
        ASSERT_EQ(ENGINE_ctrl(e_, kP11CmdLoadCerts, mode, &certs, nullptr), 1);
        ossl::X509Stack list(certs);
        ASSERT_EQ(sk_X509_num(list.get()), mode == 0 ? 3 : 2);
        const char* tag = engine_keys::cert_tag(sk_X509_value(list.get(), 0));
        EXPECT_EQ(tag ? tag : "", mode == 0 ? std::string() : std::string("token=") + SSF_P11TOKEN);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(ENGINE_ctrl_cmd_string(e_, "SHOW_TOKENS", nullptr, 0), 1);
    EXPECT_EQ(ENGINE_ctrl_cmd_string(e_, "SHOW_CERTS", "1", 0), 1);
    const std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(shown, "Token: slot = " + std::to_string(slot) + ", id = 0000000000000" +
                               std::to_string(slot) + ", label = 'My Token'\n"));
    EXPECT_TRUE(has(shown, "Total: 2 certificates\n"));

    attach("/nonexistent/module.so");
    const Result gone = captured([&] { return load("ID:ab") != nullptr; });
    EXPECT_TRUE(
        has(gone.second, "pkcs11_load_library() : DSO_load( '/nonexistent/module.so' ) failed"));
    // The module comes first: without it no identifier is even read.
    for (const char* id : {"ID:0x01", "ID:ab", ""}) {
        const Result r = captured([&] { return load(id) != nullptr; });
        EXPECT_EQ(r.second.find("pkcs11_load_privkey() : "),
                  r.second.find("pkcs11_load_privkey() : failed to load PKCS#11 library"))
            << r.second;
    }
}

// softhsm2: an RSA key pair imported before the module starts in this process; the key signs
// and decrypts on the token, in process and for the openssl command, and refuses other paddings.
TEST_F(Pkcs11, SoftHsmRsaKeySignsAndDecryptsForTheOpensslCommand) {
    dir.write("softhsm2.conf", "directories.tokendir = " + dir.file("tokens") +
                                   "\nobjectstore.backend = file\nlog.level = ERROR\n");
    mkdir(dir.file("tokens").c_str(), 0700);
    testing_support::ScopedEnv conf{"SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str()};
    std::string out;
    ASSERT_EQ(testing_support::run_command({"softhsm2-util", "--init-token", "--free", "--label",
                                            "rsa", "--so-pin", "12345678", "--pin", kPin},
                                           &out),
              0)
        << out;
    ossl::PKey rsa(EVP_RSA_gen(2048));
    {
        ossl::Bio pem(BIO_new_file(dir.file("rsa.pem").c_str(), "w"));
        PEM_write_bio_PrivateKey(pem.get(), rsa.get(), nullptr, nullptr, 0, nullptr, nullptr);
    }
    ASSERT_EQ(
        testing_support::run_command({"softhsm2-util", "--import", dir.file("rsa.pem"), "--token",
                                      "rsa", "--label", "k", "--id", "42", "--pin", kPin},
                                     &out),
        0)
        << out;
    attach(kSoftHsm);
    ossl::PKey key = load("ID:42");
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_cmp(key.get(), rsa.get()), 1);
    const Bytes data = bytes("signed on softhsm");
    EXPECT_TRUE(verifies(rsa.get(), sign(key.get(), data), data));
    Bytes wrapped(256), plain(256);
    size_t n = wrapped.size(), m = plain.size();
    PKeyCtx enc(EVP_PKEY_CTX_new(rsa.get(), nullptr)), dec(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_TRUE(EVP_PKEY_encrypt_init(enc.get()) == 1 &&
                EVP_PKEY_encrypt(enc.get(), wrapped.data(), &n, data.data(), data.size()) == 1);
    ASSERT_EQ(EVP_PKEY_decrypt_init(dec.get()), 1);
    EXPECT_EQ(EVP_PKEY_decrypt(dec.get(), plain.data(), &m, wrapped.data(), n), 1);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + m), data);
    const Result pss = captured([&] {
        PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        Bytes sig(256);
        size_t len = sig.size();
        const Bytes digest(32, 1);
        return EVP_PKEY_sign_init(ctx.get()) == 1 &&
               EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
               EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
               EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), 32) > 0;
    });
    EXPECT_EQ(pss.first, 0);
    EXPECT_TRUE(
        has(pss.second, "pkcs11_rsa_priv_enc() : padding 3 is not available for token keys"))
        << pss.second;

    // What ran so far stands; without the command the rest is reported as skipped, not passed.
    if (!testing_support::have_openssl()) GTEST_SKIP() << "no openssl command";
    key.reset();
    dir.write("p11.cnf", testing_support::pkcs11_engine_config(kSoftHsm));
    dir.write("data", "signed on softhsm");
    const auto r = testing_support::run_openssl(
        "pkeyutl -sign -engine pkcs11 -keyform engine -inkey ID:42 -passin pass:1234 -in " +
            dir.file("data") + " -out " + dir.file("sig"),
        true, dir.file("p11.cnf"));
    ASSERT_EQ(r.status, 0) << r.out;
    ossl::Bio pem(BIO_new_file(dir.file("pub.pem").c_str(), "w"));
    PEM_write_bio_PUBKEY(pem.get(), rsa.get());
    pem.reset();
    const auto v =
        testing_support::run_openssl("pkeyutl -verify -pubin -inkey " + dir.file("pub.pem") +
                                     " -in " + dir.file("data") + " -sigfile " + dir.file("sig"));
    EXPECT_EQ(v.status, 0) << v.out;
}

// The openssl command signs with each GOST key of the test token (the token's state handed to
// its process), which our software verifies, and writes its public key as the software key's.
TEST_F(Pkcs11, OpensslCommandSignsWithAndWritesOutTheTestTokensGostKeys) {
    if (!testing_support::have_openssl()) GTEST_SKIP() << "no openssl command";
    const unsigned long slot = p11token_add_slot(kPin);
    for (int kind = 0; kind < 3; ++kind) put(slot, kind, {static_cast<unsigned char>(kind + 1)});
    ASSERT_EQ(p11token_save(dir.file("token.state").c_str()), 0);
    testing_support::ScopedEnv state{"P11TOKEN_STATE", dir.file("token.state").c_str()};
    dir.write("p11.cnf", testing_support::pkcs11_engine_config(SSF_P11TOKEN));
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        const Bytes digest(kKinds[kind].sig_len / 2, static_cast<uint8_t>(0x21 + kind));
        dir.write("digest", std::string(digest.begin(), digest.end()));
        const auto r = testing_support::run_openssl(
            "pkeyutl -sign -engine pkcs11 -keyform engine -inkey ID:0" + std::to_string(kind + 1) +
                " -passin pass:1234 -in " + dir.file("digest") + " -out " + dir.file("sig"),
            true, dir.file("p11.cnf"));
        ASSERT_EQ(r.status, 0) << r.out;
        ossl::PKey pub(X509_get_pubkey(entity(kind).cert.get()));
        EXPECT_TRUE(
            verifies(pub.get(), bytes(testing_support::read_file(dir.file("sig"))), digest));
        const auto out = testing_support::run_openssl(
            "pkey -engine pkcs11 -inform engine -in ID:0" + std::to_string(kind + 1) +
                " -passin pass:1234 -pubout -outform DER -out " + dir.file("pub.der"),
            true, dir.file("p11.cnf"));
        ASSERT_EQ(out.status, 0) << out.out;
        EXPECT_TRUE(
            is_public_key_of(bytes(testing_support::read_file(dir.file("pub.der"))), pub.get()));
    }
}

}  // namespace
