// "token=" profiles against two real modules: our GOST test token (GOST keys, slots, PINs and
// faults) and softhsm2 (RSA keys, its spare slot, the life cycle of a third-party module).
#include "ssf/pki/token.h"

#include <dlfcn.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>

#include "common/process.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/gost/gost_key_methods.h"
#include "fixture.h"
#include "kit/certs.h"
#include "p11token.h"
#include "ssf/codes.h"
#include "ssf/encode.h"
#include "ssf/pkcs7/envelope.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/keys.h"

using namespace ssf_test;
using namespace test_pki;

namespace {

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";
constexpr time_t k2019 = 1559347200;  // 2019-06-01: GOST R 34.10-2001 still signs

struct Kind {
    const char* type;
    int token_kind;
    const char* md;
};
constexpr Kind kKinds[] = {{"gost2001", P11TOKEN_GOST2001, "md_gost94"},
                           {"gost2012_256", P11TOKEN_GOST2012_256, "md_gost12_256"},
                           {"gost2012_512", P11TOKEN_GOST2012_512, "md_gost12_512"}};

// A self-signed GOST certificate and its key, one per kind for the whole program.
const Entity& gost_entity(int kind) {
    static Entity* all = [] {
        auto* e = new Entity[3];
        for (int i = 0; i < 3; ++i)
            e[i] = make(std::string("Token ") + kKinds[i].type, 40 + i, gost_key(kKinds[i].type),
                        nullptr, -10 * kYear, 10 * kYear, EVP_get_digestbyname(kKinds[i].md));
        return e;
    }();
    return all[kind];
}

// The certificate under cert_id and the private key under key_id on the slot; the key of
// another kind's certificate when key_kind says so.
void put_on_token(unsigned long slot, int kind, const std::string& cert_id = "id",
                  const std::string& key_id = "id", int key_kind = -1) {
    const Entity& e = gost_entity(kind);
    if (key_kind < 0) key_kind = kind;
    const tvk_gost2012_key* k = gost2012_record(gost_entity(key_kind).key.get());
    uint8_t params[16];
    uint32_t params_len = 0;
    ASSERT_TRUE(k && gost_param_der(k->param_nid, params, &params_len));
    const std::string der = der_of(e.cert.get());
    auto u = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
    p11token_add_cert(slot, u(cert_id), cert_id.size(), u(der), der.size());
    p11token_add_gost_key(slot, u(key_id), key_id.size(), kKinds[key_kind].token_kind, params,
                          params_len, k->priv_key, k->priv_key_len);
}

p11token_stats stats() {
    p11token_stats s{};
    p11token_get_stats(&s);
    return s;
}

class Token : public Started {
  protected:
    void SetUp() override {
        Started::SetUp();
        p11token_reset();
        platform::set_test_clock(k2019);
    }
    void TearDown() override {
        p11token_reset();
        Started::TearDown();
    }
    Record token_record(const Entity& e, const std::string& module, const char* pin = kPin) {
        return Record(sha1_hex(e.cert.get(), ""), "token=" + module, pin ? pin : "");
    }
    Record file_record(const Entity& e) {
        const std::string name = sha1_hex(e.cert.get(), "");
        dir.write(name + ".pem", pem_of(e.cert.get()) + key_pem(e.key.get(), nullptr));
        return Record(name, "certfile=" + dir.file(name + ".pem"));
    }
    int sign(Record& r, const std::string& content, std::string& signed_der) {
        SigRcpSsfInformationListElement node{nullptr, &r.info};
        ssf::OutData out;
        const int rc = ssf::ssf_sign_data(out, bytes(data_message(content)), true, false, &node,
                                          ssf::SIG_TYPE_PKCS7);
        signed_der = str(out);
        return rc;
    }
    std::string envelope_for(const Entity& e, const std::string& content) {
        const std::string pab = dir.file("pab");
        mkdir(pab.c_str(), 0700);
        dir.write("pab/rcpt.pem", pem_of(e.cert.get()));
        Record to(sha1_hex(e.cert.get(), ""));
        SigRcpSsfInformationListElement node{nullptr, &to.info};
        ssf::OutData env;
        EXPECT_EQ(ssf::envelope_data(env, bytes(data_message(content)), bytes(pab), {}, &node), 0);
        return str(env);
    }
    int load(Record& r, ossl::PKey& key) {
        ossl::X509Ptr cert;
        return ssf::ssf_load_cert_and_key(&r.info, cert, key, 1, nullptr);
    }
};

// Our own verifier (the "gost" engine) over the signature, without a chain.
bool verifies(const std::string& der) {
    ossl::Pkcs7 p7 = from_der(Der(der.begin(), der.end()));
    return p7 && PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY) == 1;
}

// Per kind: the token signs with the mechanism of the key's size, our verifier accepts it, a
// key file of the same kind still signs in software afterwards, and an envelope opens to the
// same content through the token and through the key file.
TEST_F(Token, GostKeysSignAndDevelopeOnTheTokenAsTheirKeyFilesDo) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kKinds[kind].type);
        const Entity& e = gost_entity(kind);
        const bool is_512 = kind == 2;
        p11token_reset();
        put_on_token(p11token_add_slot(kPin), kind);
        Record r = token_record(e, SSF_P11TOKEN);
        std::string der;
        ASSERT_EQ(sign(r, "signed on a token", der), 0);
        EXPECT_EQ(r.info.uResult, 0u);
        EXPECT_TRUE(verifies(der));
        EXPECT_EQ(stats().last_mechanism, is_512 ? 0xD4321006UL : CKM_GOSTR3410);
        ossl::Pkcs7 p7 = from_der(Der(der.begin(), der.end()));
        EXPECT_EQ(
            sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0)->enc_digest->length,
            is_512 ? 128 : 64);
        // The key went with the call: its session is closed and the module finalised.
        EXPECT_EQ(stats().open_sessions, 0);
        EXPECT_EQ(stats().initialised, 0);
        EXPECT_EQ(stats().initialize_flags, CKF_OS_LOCKING_OK);

        const long calls = stats().initialize_calls;
        Record file = file_record(e);
        ASSERT_EQ(sign(file, "signed in software", der), 0);
        EXPECT_TRUE(verifies(der));
        EXPECT_EQ(stats().initialize_calls, calls);

        const std::string content = std::string("for a token-held ") + kKinds[kind].type;
        const std::string env = envelope_for(e, content);
        ssf::OutData by_token, by_file;
        EXPECT_EQ(ssf::develope_data(by_token, bytes(env), &r.info), 0);
        EXPECT_EQ(ssf::develope_data(by_file, bytes(env), &file.info), 0);
        EXPECT_EQ(str(by_token), data_message(content));
        EXPECT_EQ(str(by_file), str(by_token));
        EXPECT_EQ(stats().last_mechanism, is_512 ? 0xD4321007UL : CKM_GOSTR3410_DERIVE);
        EXPECT_EQ(stats().open_sessions, 0);
    }
}

// Each row sets the token up and names the outcome; whatever fails, no session stays open and
// the module is finalised once no key of it lives.
TEST_F(Token, SlotSearchGivesTheResultOfTheLastSlotTried) {
    const Entity& e = gost_entity(1);
    struct Row {
        const char* name;
        std::function<void()> setup;
        std::string module;
        const char* pin;
        int rc;
        SAP_UINT result;
        std::string line;
    };
    const std::string m = SSF_P11TOKEN;
    // A FIFO would hold the loader until someone wrote to it.
    const std::string fifo = dir.file("module-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A module of its own (a copy is another library to the loader) whose function list lacks
    // C_Sign; its faults are set through its own entry.
    const std::string copy = dir.file("p11token-copy.so");
    dir.write("p11token-copy.so", testing_support::read_file(SSF_P11TOKEN));
    void* lib = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    auto set_fault = reinterpret_cast<void (*)(int, long)>(dlsym(lib, "p11token_set_fault"));
    ASSERT_TRUE(set_fault);
    set_fault(P11TOKEN_WITHOUT_SIGN, 1);
    const Row rows[] = {
        {"a broken slot, then the certificate",
         [] {
             p11token_add_broken_slot();
             put_on_token(p11token_add_slot(kPin), 1);
         },
         m, kPin, 0, 0,
         "ssf_find_cert_on_token() 1 : C_OpenSession() failed: 225 (CKR_TOKEN_NOT_RECOGNIZED)"},
        {"wrong PIN on the last slot",
         [] {
             p11token_add_slot("1111");
             put_on_token(p11token_add_slot(kPin), 1);
         },
         m, "9999", 5, 25,
         "ssf_find_cert_on_token() 12 : C_Login() failed: 160 (CKR_PIN_INCORRECT)"},
        {"key under another CKA_ID", [] { put_on_token(p11token_add_slot(kPin), 1, "c", "k"); }, m,
         kPin, 5, 24, "ssf_find_cert_on_token() 16 : key_count == 0"},
        {"no slot holds the certificate", [] { put_on_token(p11token_add_slot(kPin), 0); }, m, kPin,
         5, 26, "ssf_load_cert_and_key_token() 9 : ssf_find_cert_on_token() failed on slot #0"},
        {"no PIN", [] { put_on_token(p11token_add_slot(kPin), 1); }, m, nullptr, 5, 25,
         "ssf_find_cert_on_token() 11 : password is NULL"},
        {"no tokens", [] {}, m, kPin, 5, 23, "ssf_load_cert_and_key_token() 5.1 : No tokens found"},
        {"no module", [] {}, "/nonexistent/p11.so", kPin, 5, 23,
         "ssf_load_cert_and_key_token() 1 : mdlopen( '/nonexistent/p11.so', 'rb' ) failed"},
        {"not a module", [] {}, "libcrypto.so.3", kPin, 5, 24,
         "ssf_load_cert_and_key_token() 2 : C_GetFunctionList() not found in module "
         "'libcrypto.so.3'"},
        {"an oversized certificate value, then the certificate",
         [] {
             const unsigned long slot = p11token_add_slot(kPin);
             const std::string big((1 << 20) + 1, '0');
             p11token_set_attribute(p11token_add_object(slot, CKO_CERTIFICATE, nullptr, 0),
                                    CKA_VALUE, big.data(), big.size());
             put_on_token(slot, 1);
         },
         m, kPin, 0, 0, "ssf_find_cert_on_token() 6 : malloc( 1048577 )"},
        {"more slots than any module has",
         [] {
             for (int i = 0; i < 4097; ++i) p11token_add_slot(kPin);
         },
         m, kPin, 5, 24, "ssf_load_cert_and_key_token() 6 : malloc( 32776 ) failed"},
        {"a FIFO for the module", [] {}, fifo, kPin, 5, 23,
         "ssf_load_cert_and_key_token() 1 : mdlopen( '" + fifo + "', 'rb' ) failed"},
        {"a module without C_Sign", [] {}, copy, kPin, 5, 24,
         "ssf_load_cert_and_key_token() 3 : module '" + copy + "' has no C_Sign()"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        p11token_reset();
        row.setup();
        Record r = token_record(e, row.module, row.pin);
        ossl::PKey key;
        EXPECT_EQ(without_hang([&] { return load(r, key); }, {fifo}), row.rc);
        EXPECT_EQ(r.info.uResult, row.result);
        EXPECT_EQ(key != nullptr, row.rc == 0);
        EXPECT_TRUE(logged(row.line)) << fresh();
        key.reset();
        EXPECT_EQ(stats().open_sessions, 0);
        EXPECT_EQ(stats().initialised, 0);
    }
}

// C_Login takes a length, so the token is handed every byte of the PIN the caller gave: a NUL
// byte inside is the token's to judge, never the end of the PIN.
TEST_F(Token, PinIsEveryByteGiven) {
    const std::string id = sha1_hex(gost_entity(1).cert.get(), ""), with_nul(
                                                                        "12\0"
                                                                        "34",
                                                                        5);
    auto load_with = [&](const std::string& pin) {
        Record r(id, std::string("token=") + SSF_P11TOKEN, pin);
        ossl::PKey key;
        return load(r, key) * 1000 + static_cast<int>(r.info.uResult);
    };
    put_on_token(p11token_add_slot(kPin), 1);
    EXPECT_EQ(load_with(std::string(kPin) + std::string("\0junk", 5)), 5025);
    EXPECT_TRUE(logged("ssf_find_cert_on_token() 12 : C_Login() failed: 160 (CKR_PIN_INCORRECT)"));
    p11token_reset();
    put_on_token(p11token_add_slot_with_pin(with_nul.data(), with_nul.size()), 1);
    EXPECT_EQ(load_with(with_nul), 0);
    EXPECT_EQ(load_with("12"), 5025);
}

TEST_F(Token, ModuleIsFinalisedOnlyWhenItsLastUserIsGone) {
    put_on_token(p11token_add_slot(kPin), 2);
    Record r = token_record(gost_entity(2), SSF_P11TOKEN);
    ossl::PKey held;
    ASSERT_EQ(load(r, held), 0);
    // A load that fails while the key lives (the login itself belongs to the whole process).
    Record other = token_record(gost_entity(1), SSF_P11TOKEN);
    ossl::PKey none;
    EXPECT_EQ(load(other, none), 5);
    EXPECT_EQ(stats().finalize_calls, 0);
    EXPECT_EQ(stats().open_sessions, 1);
    held.reset();
    EXPECT_EQ(stats().finalize_calls, 1);
    EXPECT_EQ(stats().initialised, 0);

    // A module that refuses OS locking is initialised without arguments.
    p11token_set_fault(P11TOKEN_REFUSE_OS_LOCKING, 1);
    ASSERT_EQ(load(r, held), 0);
    EXPECT_EQ(stats().initialize_flags, 0u);
    held.reset();

    // A module the host initialised itself is the host's to finalise.
    const long finalised = stats().finalize_calls;
    CK_FUNCTION_LIST* f = nullptr;
    ASSERT_EQ(C_GetFunctionList(&f), CKR_OK);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(load(r, held), 0);
    held.reset();
    EXPECT_EQ(stats().finalize_calls, finalised);
    EXPECT_EQ(stats().initialised, 1);
    f->C_Finalize(nullptr);
}

// A token that fails, fills nothing, reports another length or signs with a key that is not the
// certificate's: the signer's record reads 27, never "valid", and no message comes out.
TEST_F(Token, TokenSignatureIsCheckedBeforeItIsUsed) {
    const std::string not_verified =
        "token_gost_sign() 3 : the token's signature does not verify with the certificate's "
        "public key";
    struct Row {
        const char* name;
        int fault;
        long value;
        int key_kind;
        std::string line;
    };
    const Row rows[] = {
        {"C_Sign fails", P11TOKEN_FAIL_SIGN, CKR_FUNCTION_FAILED, 1,
         "token_gost_sign() 2 : C_Sign() failed, rv = 0x00000006 (CKR_FUNCTION_FAILED)"},
        {"nothing written", P11TOKEN_SIGN_UNWRITTEN, 1, 1, not_verified},
        {"a short length", P11TOKEN_SIGN_LENGTH, 32, 1,
         "token_gost_sign() 3 : C_Sign() gave 32 bytes, not 64"},
        {"another key under the certificate's CKA_ID", -1, 0, 0, not_verified},
    };
    const Entity& e = gost_entity(1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        p11token_reset();
        put_on_token(p11token_add_slot(kPin), 1, "id", "id", row.key_kind);
        if (row.fault >= 0) p11token_set_fault(row.fault, row.value);
        Record r = token_record(e, SSF_P11TOKEN);
        std::string der;
        EXPECT_EQ(sign(r, "never signed", der), 5);
        EXPECT_EQ(r.info.uResult, 27u);
        EXPECT_TRUE(der.empty());
        EXPECT_TRUE(logged(row.line)) << fresh();
        EXPECT_EQ(stats().open_sessions, 0);
    }

    // An added signature that the token refuses.
    p11token_reset();
    put_on_token(p11token_add_slot(kPin), 1);
    Record first = token_record(e, SSF_P11TOKEN);
    std::string signed_der;
    ASSERT_EQ(sign(first, "signed once", signed_der), 0);
    p11token_set_fault(P11TOKEN_FAIL_SIGN, CKR_DEVICE_ERROR);
    Record added = token_record(e, SSF_P11TOKEN);
    ssf::OutData out;
    EXPECT_EQ(
        ssf::add_sign_data(out, bytes(signed_der), {}, false, &added.info, ssf::SIG_TYPE_PKCS7), 5);
    EXPECT_EQ(added.info.uResult, 27u);
    EXPECT_EQ(out.size, 0u);
}

// Transport fields of every wrong length and a token that withholds or shortens the KEK: each
// fails with its own line, before any content key leaves the function.
TEST_F(Token, TokenKeyTransportChecksEveryField) {
    const Entity& e = gost_entity(1);
    put_on_token(p11token_add_slot(kPin), 1);
    const std::string env = envelope_for(e, "x");
    ossl::Pkcs7 p7 = from_der(Der(env.begin(), env.end()));
    const ASN1_OCTET_STRING* wrapped =
        sk_PKCS7_RECIP_INFO_value(p7->d.enveloped->recipientinfo, 0)->enc_key;
    unsigned char expected[64];
    ASSERT_EQ(ssf::SSF_EVP_PKEY_decrypt(expected, sizeof expected, wrapped->data, wrapped->length,
                                        e.key.get()),
              32);

    Record r = token_record(e, SSF_P11TOKEN);
    ossl::PKey key;
    ASSERT_EQ(load(r, key), 0);
    using Edit = std::function<void(TVK_KEY_TRANSPORT*)>;
    auto resize = [](ASN1_OCTET_STRING* s, int n) {
        std::string v(reinterpret_cast<const char*>(s->data), s->length);
        v.resize(n, 'x');
        ASN1_OCTET_STRING_set(s, reinterpret_cast<const unsigned char*>(v.data()), n);
    };
    // The ephemeral key's bit string replaced (its parameters dropped: they are not read).
    auto ephemeral = [](TVK_KEY_TRANSPORT* kt, const std::string& bits) {
        X509_PUBKEY* pub = kt->key_agreement_info->ephem_key;
        ASN1_OBJECT* alg = nullptr;
        X509_PUBKEY_get0_param(&alg, nullptr, nullptr, nullptr, pub);
        auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(bits.data(), bits.size()));
        X509_PUBKEY_set0_param(pub, OBJ_dup(alg), V_ASN1_UNDEF, nullptr, copy,
                               static_cast<int>(bits.size()));
    };
    struct Row {
        const char* name;
        Edit edit;
        int fault;
        long fault_value;
        std::string line;
        std::string suffix = "";
    };
    const std::string fn = "TOKEN_PKEY_decrypt() : ";
    const Row rows[] = {
        {"encrypted key 31", [&](auto* kt) { resize(kt->key_info->encrypted_key, 31); }, -1, 0,
         fn + "encrypted key is 31 bytes, not 32"},
        {"encrypted key 33", [&](auto* kt) { resize(kt->key_info->encrypted_key, 33); }, -1, 0,
         fn + "encrypted key is 33 bytes, not 32"},
        {"MAC 5", [&](auto* kt) { resize(kt->key_info->imit, 5); }, -1, 0,
         fn + "MAC is 5 bytes, not 4"},
        {"UKM 12", [&](auto* kt) { resize(kt->key_agreement_info->eph_iv, 12); }, -1, 0,
         fn + "UKM is 12 bytes, not 8 or 16"},
        {"ephemeral key 63",
         [&](auto* kt) { ephemeral(kt, std::string("\x04\x3f", 2) + std::string(63, 'e')); }, -1, 0,
         fn + "ephemeral key is 63 bytes, not 64"},
        {"ephemeral key bare", [&](auto* kt) { ephemeral(kt, std::string(64, 'e')); }, -1, 0,
         fn + "ephemeral key is not an OCTET STRING"},
        {"MAC changed", [](auto* kt) { kt->key_info->imit->data[0] ^= 1; }, -1, 0,
         fn + "wrong MAC"},
        {"unknown parameter set",
         [](auto* kt) {
             ossl::replace<ossl::Asn1Object>(kt->key_agreement_info->cipher,
                                             OBJ_txt2obj("1.2.643.7.1.1.2.2", 1));
         },
         -1, 0, fn + "GOST28147_89_FindParByDerOid() failed: -1"},
        {"trailing bytes", [](auto*) {}, -1, 0, fn + "d2i_TVK_KEY_TRANSPORT failed",
         std::string(1, '\0')},
        {"token refuses CKA_VALUE", [](auto*) {}, P11TOKEN_SENSITIVE_DERIVED, 1,
         "TokenGenKek() 3 : C_GetAttributeValue() failed, ret code = 0x00000011 "
         "(CKR_ATTRIBUTE_SENSITIVE)"},
        {"token gives a 16-byte KEK", [](auto*) {}, P11TOKEN_DERIVED_LENGTH, 16,
         "TokenGenKek() 4 : derived key value of 16 bytes is not usable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const unsigned char* p = wrapped->data;
        ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free> kt(
            d2i_TVK_KEY_TRANSPORT(nullptr, &p, wrapped->length));
        ASSERT_TRUE(kt);
        row.edit(kt.get());
        unsigned char* der = nullptr;
        const int n = i2d_TVK_KEY_TRANSPORT(kt.get(), &der);
        std::string input(reinterpret_cast<char*>(der), n);
        OPENSSL_free(der);
        input += row.suffix;
        if (row.fault >= 0) p11token_set_fault(row.fault, row.fault_value);
        unsigned char out[64] = {};
        EXPECT_EQ(
            ssf::TOKEN_PKEY_decrypt(out, sizeof out, reinterpret_cast<unsigned char*>(input.data()),
                                    static_cast<int>(input.size()), ssf::token_record(key.get())),
            -1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 64), std::string(64, '\0'));
        EXPECT_TRUE(logged(row.line)) << fresh();
        if (row.fault >= 0) p11token_set_fault(row.fault, 0);
    }
    unsigned char out[64] = {};
    EXPECT_EQ(ssf::TOKEN_PKEY_decrypt(out, sizeof out, wrapped->data, wrapped->length,
                                      ssf::token_record(key.get())),
              32);
    EXPECT_EQ(std::memcmp(out, expected, 32), 0);
}

// softhsm2 with two tokens of its own and its spare uninitialised slot last; the RSA key and its
// certificate are stored on the second token through the module's own interface.
class SoftHsm : public Token {
  protected:
    void SetUp() override {
        Token::SetUp();
        platform::set_test_clock(std::nullopt);
        dir.write("softhsm2.conf", "directories.tokendir = " + dir.file("tokens") +
                                       "\nobjectstore.backend = file\nlog.level = ERROR\n");
        mkdir(dir.file("tokens").c_str(), 0700);
        using V = std::vector<std::string>;
        for (const V& args :
             {V{"--init-token", "--free", "--label", "first", "--so-pin", "12345678"},
              V{"--init-token", "--free", "--label", "second", "--so-pin", "12345678"}}) {
            V argv{"softhsm2-util", "--pin", kPin};
            argv.insert(argv.end(), args.begin(), args.end());
            std::string out;
            ASSERT_EQ(testing_support::run_command(argv, &out), 0) << out;
        }
        p11::Loaded m = p11::acquire_module(kSoftHsm);
        ASSERT_TRUE(m.ref);
        CK_FUNCTION_LIST* f = m.ref.functions();
        CK_SLOT_ID slots[3];
        CK_ULONG count = 3;
        CK_SESSION_HANDLE s;
        ASSERT_EQ(f->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
        ASSERT_EQ(
            f->C_OpenSession(slots[1], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
            CKR_OK);
        ASSERT_EQ(f->C_Login(s, CKU_USER, (CK_UTF8CHAR*)kPin, 4), CKR_OK);
        // A certificate whose key is not the one stored here, under the same CKA_ID.
        const Entity& other = other_rsa();
        for (X509* x : {pki->rsa_leaf.cert.get(), other.cert.get()}) store_cert(f, s, x);
        CK_BBOOL yes = CK_TRUE;
        unsigned char id[] = {1, 2, 3};
        CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
        CK_KEY_TYPE rsa = CKK_RSA;
        std::vector<CK_ATTRIBUTE> key = {{CKA_CLASS, &key_class, sizeof key_class},
                                         {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                         {CKA_TOKEN, &yes, 1},
                                         {CKA_PRIVATE, &yes, 1},
                                         {CKA_SIGN, &yes, 1},
                                         {CKA_ID, id, sizeof id}};
        std::vector<unsigned char> values[5];
        const std::pair<CK_ATTRIBUTE_TYPE, const char*> parts[] = {{CKA_MODULUS, "n"},
                                                                   {CKA_PUBLIC_EXPONENT, "e"},
                                                                   {CKA_PRIVATE_EXPONENT, "d"},
                                                                   {CKA_PRIME_1, "rsa-factor1"},
                                                                   {CKA_PRIME_2, "rsa-factor2"}};
        for (int i = 0; i < 5; ++i) {
            BIGNUM* bn = nullptr;
            ASSERT_EQ(EVP_PKEY_get_bn_param(pki->rsa_leaf.key.get(), parts[i].second, &bn), 1);
            ossl::Bn owned(bn);
            values[i].resize(BN_num_bytes(bn));
            BN_bn2bin(bn, values[i].data());
            key.push_back({parts[i].first, values[i].data(), values[i].size()});
        }
        CK_OBJECT_HANDLE h;
        ASSERT_EQ(f->C_CreateObject(s, key.data(), key.size(), &h), CKR_OK);
        f->C_CloseSession(s);
    }
    static const Entity& other_rsa() {
        static const Entity* e = new Entity(
            make("Other RSA", 77, new_key(KeyType::rsa), nullptr, -kYear, kYear, EVP_sha256()));
        return *e;
    }
    static void store_cert(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, X509* x) {
        std::string der = der_of(x);
        unsigned char* subject = nullptr;
        const int subject_len = i2d_X509_NAME(X509_get_subject_name(x), &subject);
        ossl::Bytes owner(subject);
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE x509 = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        unsigned char id[] = {1, 2, 3};
        CK_ATTRIBUTE cert[] = {{CKA_CLASS, &cls, sizeof cls},
                               {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                               {CKA_TOKEN, &yes, 1},
                               {CKA_ID, id, sizeof id},
                               {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subject_len)},
                               {CKA_VALUE, der.data(), der.size()}};
        CK_OBJECT_HANDLE h;
        ASSERT_EQ(f->C_CreateObject(s, cert, 6, &h), CKR_OK);
    }
    testing_support::ScopedEnv conf{"SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str()};
};

// Debian's softhsm2 under both of its paths, one a symlink: one module, one count. Letting the
// first spelling's key go must not finalise the module under the second spelling's key.
TEST_F(SoftHsm, BothSpellingsOfTheModuleShareOneCount) {
    const std::string real = "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
    Record a = token_record(pki->rsa_leaf, kSoftHsm), b = token_record(pki->rsa_leaf, real);
    ossl::PKey by_link, by_path;
    ASSERT_EQ(load(a, by_link), 0) << fresh();
    ASSERT_EQ(load(b, by_path), 0) << fresh();
    EXPECT_EQ(p11::module_users(kSoftHsm), 2u);
    EXPECT_EQ(p11::module_users(real), 2u);
    by_link.reset();
    EXPECT_EQ(p11::module_users(real), 1u);
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(by_path.get(), nullptr));
    const unsigned char digest[20] = {1, 2, 3};
    unsigned char sig[512];
    size_t sig_len = sizeof sig;
    ASSERT_TRUE(ctx && EVP_PKEY_sign_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1);
    EXPECT_EQ(EVP_PKEY_sign(ctx.get(), sig, &sig_len, digest, sizeof digest), 1) << fresh();
    ctx.reset();
    by_path.reset();
    EXPECT_EQ(p11::module_users(kSoftHsm), 0u);
}

TEST_F(SoftHsm, RsaKeySignsForTheOpensslCommandAndRefusesDecryption) {
    Record r = token_record(pki->rsa_leaf, kSoftHsm);
    std::string der;
    ASSERT_EQ(sign(r, "signed on softhsm", der), 0) << fresh();
    EXPECT_TRUE(
        logged("ssf_load_cert_and_key_token() 9 : ssf_find_cert_on_token() failed on slot #0"));
    dir.write("signed.der", der);
    std::string out;
    EXPECT_EQ(testing_support::run_command(
                  {"openssl", "cms", "-verify", "-inform", "DER", "-in", dir.file("signed.der"),
                   "-CAfile", pki->ca_bundle, "-out", dir.file("content")},
                  &out),
              0)
        << out;
    EXPECT_EQ(testing_support::read_file(dir.file("content")), "signed on softhsm");
    EXPECT_EQ(p11::module_users(kSoftHsm), 0u);

    // A wrong PIN: the spare slot is tried last and its answer stands.
    Record wrong = token_record(pki->rsa_leaf, kSoftHsm, "0000");
    ossl::PKey key;
    EXPECT_EQ(load(wrong, key), 5);
    EXPECT_EQ(wrong.info.uResult, 24u);
    EXPECT_TRUE(logged("ssf_find_cert_on_token() 12 : C_Login() failed: 160 (CKR_PIN_INCORRECT)"));
    EXPECT_TRUE(logged(
        "ssf_find_cert_on_token() 1 : C_OpenSession() failed: 225 (CKR_TOKEN_NOT_RECOGNIZED)"));

    ASSERT_EQ(load(r, key), 0) << fresh();
    EXPECT_FALSE(ssf::is_token_key(pki->rsa_leaf.key.get()));
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    unsigned char in[256] = {1}, plain[256];
    size_t plain_len = sizeof plain;
    ASSERT_TRUE(ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1);
    EXPECT_LE(EVP_PKEY_decrypt(ctx.get(), plain, &plain_len, in, sizeof in), 0);
    EXPECT_TRUE(logged("token_rsa_decrypt() : private decryption is not available for token keys"));

    // The key under the certificate's CKA_ID is not its key: nothing is signed.
    Record other = token_record(other_rsa(), kSoftHsm);
    EXPECT_EQ(sign(other, "not by this key", der), 5);
    EXPECT_EQ(other.info.uResult, 27u);
    EXPECT_TRUE(der.empty());
    EXPECT_TRUE(
        logged("token_rsa_encrypt() 3 : the token's signature does not verify with the "
               "certificate's public key"));
}

}  // namespace
