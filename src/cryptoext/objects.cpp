#include "cryptoext/objects.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <array>
#include <atomic>
#include <mutex>

#include "cryptoext/ossl.h"

namespace objmap {
namespace {

using enum Obj;

constexpr ObjectRow O(Obj k, const char* name, const char* oid) {
    return {k, name, oid, nullptr, nullptr};
}
// Objects without identifiers: the crypto library knows them by a short name of its own.
constexpr ObjectRow N(Obj k, const char* name, const char* sn) {
    return {k, name, nullptr, sn, nullptr};
}
// Objects that the crypto library may lack and that we then create.
constexpr ObjectRow C(Obj k, const char* name, const char* oid, const char* ln) {
    return {k, name, oid, nullptr, ln};
}

constexpr ObjectRow kRows[] = {
    O(id_tc26, "id-tc26", "1.2.643.7.1"),
    O(id_tc26_algorithms, "id-tc26-algorithms", "1.2.643.7.1.1"),
    O(id_tc26_sign, "id-tc26-sign", "1.2.643.7.1.1.1"),
    O(gost2012_256, "gost2012_256", "1.2.643.7.1.1.1.1"),
    O(gost2012_512, "gost2012_512", "1.2.643.7.1.1.1.2"),
    O(id_tc26_digest, "id-tc26-digest", "1.2.643.7.1.1.2"),
    O(md_gost12_256, "md_gost12_256", "1.2.643.7.1.1.2.2"),
    O(md_gost12_512, "md_gost12_512", "1.2.643.7.1.1.2.3"),
    O(id_tc26_signwithdigest, "id-tc26-signwithdigest", "1.2.643.7.1.1.3"),
    O(signwithdigest_gost3410_2012_256, "id-tc26-signwithdigest-gost3410-2012-256",
      "1.2.643.7.1.1.3.2"),
    O(signwithdigest_gost3410_2012_512, "id-tc26-signwithdigest-gost3410-2012-512",
      "1.2.643.7.1.1.3.3"),
    O(id_tc26_mac, "id-tc26-mac", "1.2.643.7.1.1.4"),
    O(hmac_gost_3411_2012_256, "id-tc26-hmac-gost-3411-2012-256", "1.2.643.7.1.1.4.1"),
    O(hmac_gost_3411_2012_512, "id-tc26-hmac-gost-3411-2012-512", "1.2.643.7.1.1.4.2"),
    O(id_tc26_cipher, "id-tc26-cipher", "1.2.643.7.1.1.5"),
    O(id_tc26_agreement, "id-tc26-agreement", "1.2.643.7.1.1.6"),
    O(agreement_gost_3410_2012_256, "id-tc26-agreement-gost-3410-2012-256", "1.2.643.7.1.1.6.1"),
    O(agreement_gost_3410_2012_512, "id-tc26-agreement-gost-3410-2012-512", "1.2.643.7.1.1.6.2"),
    O(id_tc26_constants, "id-tc26-constants", "1.2.643.7.1.2"),
    O(id_tc26_sign_constants, "id-tc26-sign-constants", "1.2.643.7.1.2.1"),
    O(gost_3410_2012_512_constants, "id-tc26-gost-3410-2012-512-constants", "1.2.643.7.1.2.1.2"),
    O(gost_3410_2012_512_paramSetTest, "id-tc26-gost-3410-2012-512-paramSetTest",
      "1.2.643.7.1.2.1.2.0"),
    O(gost_3410_2012_512_paramSetA, "id-tc26-gost-3410-2012-512-paramSetA", "1.2.643.7.1.2.1.2.1"),
    O(gost_3410_2012_512_paramSetB, "id-tc26-gost-3410-2012-512-paramSetB", "1.2.643.7.1.2.1.2.2"),
    O(gost_3410_2012_512_paramSetC, "id-tc26-gost-3410-2012-512-paramSetC", "1.2.643.7.1.2.1.2.3"),
    O(id_tc26_digest_constants, "id-tc26-digest-constants", "1.2.643.7.1.2.2"),
    O(id_tc26_cipher_constants, "id-tc26-cipher-constants", "1.2.643.7.1.2.5"),
    O(id_tc26_gost_28147_constants, "id-tc26-gost-28147-constants", "1.2.643.7.1.2.5.1"),
    O(gost_28147_param_Z, "id-tc26-gost-28147-param-Z", "1.2.643.7.1.2.5.1.1"),
    O(gost_3410_2012_256_constants, "id-tc26-gost-3410-2012-256-constants", "1.2.643.7.1.2.1.1"),
    O(gost_3410_2012_256_paramSetA, "id-tc26-gost-3410-2012-256-paramSetA", "1.2.643.7.1.2.1.1.1"),
    O(gost_3410_2012_256_paramSetB, "id-tc26-gost-3410-2012-256-paramSetB", "1.2.643.7.1.2.1.1.2"),
    O(gost_3410_2012_256_paramSetC, "id-tc26-gost-3410-2012-256-paramSetC", "1.2.643.7.1.2.1.1.3"),
    O(gost_3410_2012_256_paramSetD, "id-tc26-gost-3410-2012-256-paramSetD", "1.2.643.7.1.2.1.1.4"),
    N(gost89_cnt, "gost89-cnt", "gost89-cnt"),
    N(gost89_cnt_12, "gost89-cnt-12", "gost89-cnt-12"),
    N(gost89_cbc, "gost89-cbc", "gost89-cbc"),
    N(gost89_ecb, "gost89-ecb", "gost89-ecb"),
    N(gost89_ctr, "gost89-ctr", "gost89-ctr"),
    N(gost_mac_12, "gost-mac-12", "gost-mac-12"),
    // The identifiers below magma and kuznechik name other (ACPKM) modes in the crypto library,
    // so the plain modes are its identifier-less objects, found by name.
    O(magma, "magma", "1.2.643.7.1.1.5.1"),
    N(magma_ecb, "magma-ecb", "magma-ecb"),
    N(magma_cbc, "magma-cbc", "magma-cbc"),
    N(magma_ctr, "magma-ctr", "magma-ctr"),
    N(magma_ofb, "magma-ofb", "magma-ofb"),
    N(magma_cfb, "magma-cfb", "magma-cfb"),
    N(magma_mac, "magma-mac", "magma-mac"),
    O(kuznechik, "kuznechik", "1.2.643.7.1.1.5.2"),
    N(kuznechik_ecb, "kuznechik-ecb", "kuznyechik-ecb"),
    N(kuznechik_cbc, "kuznechik-cbc", "kuznyechik-cbc"),
    N(kuznechik_ctr, "kuznechik-ctr", "kuznyechik-ctr"),
    N(kuznechik_ofb, "kuznechik-ofb", "kuznyechik-ofb"),
    N(kuznechik_cfb, "kuznechik-cfb", "kuznyechik-cfb"),
    N(kuznechik_mac, "kuznechik-mac", "kuznyechik-mac"),
    O(INN, "INN", "1.2.643.3.131.1.1"),
    O(OGRN, "OGRN", "1.2.643.100.1"),
    O(SNILS, "SNILS", "1.2.643.100.3"),
    O(OGRNIP, "OGRNIP", "1.2.643.100.5"),
    C(RNS_FSS, "RNS-FSS", "1.2.643.3.141.1.1", "rns-fss"),
    C(KP_FSS, "KP-FSS", "1.2.643.3.141.1.2", "kp-fss"),
    O(subjectSignTool, "subjectSignTool", "1.2.643.100.111"),
    O(issuerSignTool, "issuerSignTool", "1.2.643.100.112"),
    O(KC1ClassSignTool, "KC1ClassSignTool", "1.2.643.100.113.1"),
    O(KC2ClassSignTool, "KC2ClassSignTool", "1.2.643.100.113.2"),
    O(KC3ClassSignTool, "KC3ClassSignTool", "1.2.643.100.113.3"),
    O(KB1ClassSignTool, "KB1ClassSignTool", "1.2.643.100.113.4"),
    O(KB2ClassSignTool, "KB2ClassSignTool", "1.2.643.100.113.5"),
    O(KA1ClassSignTool, "KA1ClassSignTool", "1.2.643.100.113.6"),
    O(md_gost94, "md_gost94", "1.2.643.2.2.9"),
    O(GostR3411_94_with_GostR3410_2001, "id-GostR3411-94-with-GostR3410-2001", "1.2.643.2.2.3"),
    O(id_HMACGostR3411_94, "id-HMACGostR3411-94", "1.2.643.2.2.10"),
    O(gost2001, "gost2001", "1.2.643.2.2.19"),
    O(gost94, "gost94", "1.2.643.2.2.20"),
    O(gost89, "gost89", "1.2.643.2.2.21"),
    O(gost_mac, "gost-mac", "1.2.643.2.2.22"),
    O(id_GostR3410_2001DH, "id-GostR3410-2001DH", "1.2.643.2.2.98"),
    O(GostR3411_94_TestParamSet, "id-GostR3411-94-TestParamSet", "1.2.643.2.2.30.0"),
    O(GostR3411_94_CryptoProParamSet, "id-GostR3411-94-CryptoProParamSet", "1.2.643.2.2.30.1"),
    O(Gost28147_89_TestParamSet, "id-Gost28147-89-TestParamSet", "1.2.643.2.2.31.0"),
    O(Gost28147_89_CryptoPro_A_ParamSet, "id-Gost28147-89-CryptoPro-A-ParamSet",
      "1.2.643.2.2.31.1"),
    O(Gost28147_89_CryptoPro_B_ParamSet, "id-Gost28147-89-CryptoPro-B-ParamSet",
      "1.2.643.2.2.31.2"),
    O(Gost28147_89_CryptoPro_C_ParamSet, "id-Gost28147-89-CryptoPro-C-ParamSet",
      "1.2.643.2.2.31.3"),
    O(Gost28147_89_CryptoPro_D_ParamSet, "id-Gost28147-89-CryptoPro-D-ParamSet",
      "1.2.643.2.2.31.4"),
    O(Gost28147_89_CryptoPro_Oscar_1_1_ParamSet, "id-Gost28147-89-CryptoPro-Oscar-1-1-ParamSet",
      "1.2.643.2.2.31.5"),
    O(Gost28147_89_CryptoPro_Oscar_1_0_ParamSet, "id-Gost28147-89-CryptoPro-Oscar-1-0-ParamSet",
      "1.2.643.2.2.31.6"),
    O(Gost28147_89_CryptoPro_RIC_1_ParamSet, "id-Gost28147-89-CryptoPro-RIC-1-ParamSet",
      "1.2.643.2.2.31.7"),
    C(Gost28147_89_CryptoPro_Simple_C_ParamSet, "id-Gost28147-89-CryptoPro-Simple-C-ParamSet",
      "1.2.643.2.2.31.8", "id-Gost28147-89-CryptoPro-Simple-C-ParamSet"),
    C(Gost28147_89_CryptoPro_Simple_D_ParamSet, "id-Gost28147-89-CryptoPro-Simple-D-ParamSet",
      "1.2.643.2.2.31.9", "id-Gost28147-89-CryptoPro-Simple-D-ParamSet"),
    O(GostR3410_2001_TestParamSet, "id-GostR3410-2001-TestParamSet", "1.2.643.2.2.35.0"),
    O(GostR3410_2001_CryptoPro_A_ParamSet, "id-GostR3410-2001-CryptoPro-A-ParamSet",
      "1.2.643.2.2.35.1"),
    O(GostR3410_2001_CryptoPro_B_ParamSet, "id-GostR3410-2001-CryptoPro-B-ParamSet",
      "1.2.643.2.2.35.2"),
    O(GostR3410_2001_CryptoPro_C_ParamSet, "id-GostR3410-2001-CryptoPro-C-ParamSet",
      "1.2.643.2.2.35.3"),
    O(GostR3410_2001_CryptoPro_XchA_ParamSet, "id-GostR3410-2001-CryptoPro-XchA-ParamSet",
      "1.2.643.2.2.36.0"),
    O(GostR3410_2001_CryptoPro_XchB_ParamSet, "id-GostR3410-2001-CryptoPro-XchB-ParamSet",
      "1.2.643.2.2.36.1"),
    O(MD5, "MD5", "1.2.840.113549.2.5"),
    O(rsaEncryption, "rsaEncryption", "1.2.840.113549.1.1.1"),
    O(SHA1, "SHA1", "1.3.14.3.2.26"),
    O(DSA, "DSA", "1.2.840.10040.4.1"),
    O(SHA256, "SHA256", "2.16.840.1.101.3.4.2.1"),
    O(SHA384, "SHA384", "2.16.840.1.101.3.4.2.2"),
    O(SHA512, "SHA512", "2.16.840.1.101.3.4.2.3"),
    O(signingCertificateV2, "signingCertificateV2", "1.2.840.113549.1.9.16.2.47"),
    // The short name is the one the CAdES start-up code registers, so whichever runs first,
    // both find the same object.
    C(archiveTimestampV2, "id-smime-aa-ets-archiveTimestampV2", "1.2.840.113549.1.9.16.2.48",
      "id-smime-aa-ets-archiveTimestampV2"),
};
static_assert(std::size(kRows) == static_cast<size_t>(Obj::kCount));

constexpr bool rows_in_order() {
    for (size_t i = 0; i < std::size(kRows); ++i)
        if (static_cast<size_t>(kRows[i].key) != i) return false;
    return true;
}
static_assert(rows_in_order(), "object rows must follow the order of Obj");

// Exact lengths and one permitted string type: a name attribute of any other shape is refused
// when a name is built from text.
struct StringRule {
    Obj attribute;
    long length;
    unsigned long type;
};
constexpr StringRule kStringRules[] = {
    {INN, 12, B_ASN1_NUMERICSTRING},       {OGRN, 13, B_ASN1_NUMERICSTRING},
    {SNILS, 11, B_ASN1_NUMERICSTRING},     {OGRNIP, 15, B_ASN1_NUMERICSTRING},
    {RNS_FSS, 10, B_ASN1_PRINTABLESTRING}, {KP_FSS, 4, B_ASN1_PRINTABLESTRING},
};

struct SignatureRow {
    Obj signature, digest, key;
};
constexpr SignatureRow kSignatures[] = {
    {signwithdigest_gost3410_2012_256, md_gost12_256, gost2012_256},
    {signwithdigest_gost3410_2012_512, md_gost12_512, gost2012_512},
};

std::array<int, static_cast<size_t>(Obj::kCount)> g_nids{};
std::once_flag g_once;
std::atomic<bool> g_ok{false};
std::atomic<int> g_err_lib{0};

// Inside the one-time registration nid() would wait for itself.
int raw(Obj o) {
    return g_nids[static_cast<size_t>(o)];
}

int resolve(const ObjectRow& r) {
    if (r.oid == nullptr) return OBJ_sn2nid(r.lookup_sn);
    ossl::Asn1Object obj(OBJ_txt2obj(r.oid, 1));
    if (!obj) return NID_undef;
    int n = OBJ_obj2nid(obj.get());
    if (n == NID_undef && r.create_ln != nullptr) n = OBJ_create(r.oid, r.name, r.create_ln);
    return n;
}

bool apply_string_rules() {
    for (const auto& s : kStringRules)
        if (!ASN1_STRING_TABLE_add(raw(s.attribute), s.length, s.length, s.type, STABLE_NO_MASK))
            return false;
    return true;
}

bool apply_signature_rows() {
    for (const auto& s : kSignatures) {
        int d = NID_undef, k = NID_undef;
        if (OBJ_find_sigid_algs(raw(s.signature), &d, &k)) {
            if (d == raw(s.digest) && k == raw(s.key)) continue;
            return false;  // a conflicting row cannot be replaced
        }
        if (!OBJ_add_sigid(raw(s.signature), raw(s.digest), raw(s.key))) return false;
    }
    return true;
}

// The strings must outlive the error tables, which keep pointers to them.
ERR_STRING_DATA g_err_strings[] = {
    {0, "GOST extensions"},
    {err::kPrngReadInitial, "failed to read initial value"},
    {err::kPrngWriteInitial, "failed to write initial value"},
    {err::kPrngInit, "failed to initialize PRNG"},
    {err::kInvalidStringsNumber, "invalid strings number"},
    {err::kEmptyValue, "empty value"},
    {0, nullptr},
};

bool load_error_strings() {
    int lib = ERR_get_next_error_library();
    if (lib <= 0) return false;
    for (auto& s : g_err_strings)
        if (s.string != nullptr) s.error = ERR_PACK(lib, 0, ERR_GET_REASON(s.error));
    if (!ERR_load_strings(lib, g_err_strings)) return false;
    g_err_lib = lib;
    return true;
}

void register_once() {
    bool ok = true;
    for (const auto& r : kRows) {
        int n = resolve(r);
        g_nids[static_cast<size_t>(r.key)] = n;
        ok = ok && n != NID_undef;
    }
    ok = ok && apply_string_rules() && apply_signature_rows() && load_error_strings();
    g_ok = ok;
}

}  // namespace

std::span<const ObjectRow> rows() {
    return kRows;
}

bool register_objects() {
    std::call_once(g_once, register_once);
    return g_ok;
}

int nid(Obj o) {
    (void)register_objects();
    return g_nids[static_cast<size_t>(o)];
}

bool is_one_of(int n, std::initializer_list<Obj> set) {
    if (n == NID_undef) return false;
    for (Obj o : set)
        if (nid(o) == n) return true;
    return false;
}

namespace err {

int library() {
    (void)register_objects();
    return g_err_lib;
}

void raise(const char* function, int reason) {
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, function);
    ERR_set_error(library(), reason, nullptr);
}

}  // namespace err
}  // namespace objmap
