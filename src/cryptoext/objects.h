// The object map: every algorithm, parameter set and attribute the system names, resolved to
// the crypto library's own object by identifier (or by short name where the object has none).
// Object numbers differ between crypto-library releases, so code never holds one as a literal:
// it asks this map.
#pragma once

#include <initializer_list>
#include <span>

namespace objmap {

enum class Obj : int {
    // TC26 tree and GOST R 34.10/34.11-2012
    id_tc26,
    id_tc26_algorithms,
    id_tc26_sign,
    gost2012_256,
    gost2012_512,
    id_tc26_digest,
    md_gost12_256,
    md_gost12_512,
    id_tc26_signwithdigest,
    signwithdigest_gost3410_2012_256,
    signwithdigest_gost3410_2012_512,
    id_tc26_mac,
    hmac_gost_3411_2012_256,
    hmac_gost_3411_2012_512,
    id_tc26_cipher,
    id_tc26_agreement,
    agreement_gost_3410_2012_256,
    agreement_gost_3410_2012_512,
    id_tc26_constants,
    id_tc26_sign_constants,
    gost_3410_2012_512_constants,
    gost_3410_2012_512_paramSetTest,
    gost_3410_2012_512_paramSetA,
    gost_3410_2012_512_paramSetB,
    gost_3410_2012_512_paramSetC,
    id_tc26_digest_constants,
    id_tc26_cipher_constants,
    id_tc26_gost_28147_constants,
    gost_28147_param_Z,
    gost_3410_2012_256_constants,
    gost_3410_2012_256_paramSetA,
    gost_3410_2012_256_paramSetB,
    gost_3410_2012_256_paramSetC,
    gost_3410_2012_256_paramSetD,
    // GOST 28147-89 modes and MACs without identifiers
    gost89_cnt,
    gost89_cnt_12,
    gost89_cbc,
    gost89_ecb,
    gost89_ctr,
    gost_mac_12,
    // Magma and Kuznyechik
    magma,
    magma_ecb,
    magma_cbc,
    magma_ctr,
    magma_ofb,
    magma_cfb,
    magma_mac,
    kuznechik,
    kuznechik_ecb,
    kuznechik_cbc,
    kuznechik_ctr,
    kuznechik_ofb,
    kuznechik_cfb,
    kuznechik_mac,
    // Russian name attributes and certificate extensions
    INN,
    OGRN,
    SNILS,
    OGRNIP,
    RNS_FSS,
    KP_FSS,
    subjectSignTool,
    issuerSignTool,
    KC1ClassSignTool,
    KC2ClassSignTool,
    KC3ClassSignTool,
    KB1ClassSignTool,
    KB2ClassSignTool,
    KA1ClassSignTool,
    // CryptoPro objects and parameter sets
    md_gost94,
    GostR3411_94_with_GostR3410_2001,
    id_HMACGostR3411_94,
    gost2001,
    gost94,
    gost89,
    gost_mac,
    id_GostR3410_2001DH,
    GostR3411_94_TestParamSet,
    GostR3411_94_CryptoProParamSet,
    Gost28147_89_TestParamSet,
    Gost28147_89_CryptoPro_A_ParamSet,
    Gost28147_89_CryptoPro_B_ParamSet,
    Gost28147_89_CryptoPro_C_ParamSet,
    Gost28147_89_CryptoPro_D_ParamSet,
    Gost28147_89_CryptoPro_Oscar_1_1_ParamSet,
    Gost28147_89_CryptoPro_Oscar_1_0_ParamSet,
    Gost28147_89_CryptoPro_RIC_1_ParamSet,
    Gost28147_89_CryptoPro_Simple_C_ParamSet,
    Gost28147_89_CryptoPro_Simple_D_ParamSet,
    GostR3410_2001_TestParamSet,
    GostR3410_2001_CryptoPro_A_ParamSet,
    GostR3410_2001_CryptoPro_B_ParamSet,
    GostR3410_2001_CryptoPro_C_ParamSet,
    GostR3410_2001_CryptoPro_XchA_ParamSet,
    GostR3410_2001_CryptoPro_XchB_ParamSet,
    // Other algorithms named by number
    MD5,
    rsaEncryption,
    SHA1,
    DSA,
    SHA256,
    SHA384,
    SHA512,
    // CMS attributes
    signingCertificateV2,
    archiveTimestampV2,
    kCount
};

struct ObjectRow {
    Obj key;
    const char* name;       // the system's short name for the object
    const char* oid;        // dotted identifier, or nullptr for objects known by name only
    const char* lookup_sn;  // the crypto library's short name when resolved by name, else nullptr
    const char* create_ln;  // long name when the crypto library may lack the object, else nullptr
};

std::span<const ObjectRow> rows();

// Resolves every row once per process (thread-safe), creating the missing objects, and installs
// the string rules, signature cross references and error texts. True when all of it held.
[[nodiscard]] bool register_objects();

// The crypto library's number for the object; NID_undef only when registration failed.
int nid(Obj o);

// Membership in a named set of objects: the replacement for range checks on numbers.
bool is_one_of(int n, std::initializer_list<Obj> set);

// Error texts for our own code, in a library of their own on the crypto library's queue.
namespace err {
inline constexpr int kPrngReadInitial = 105;   // "failed to read initial value"
inline constexpr int kPrngWriteInitial = 106;  // "failed to write initial value"
inline constexpr int kPrngInit = 107;          // "failed to initialize PRNG"
inline constexpr int kInvalidStringsNumber = 169;
inline constexpr int kEmptyValue = 170;
int library();  // the library code, valid once register_objects has run
// Puts reason on the queue with the function name it belongs to.
void raise(const char* function, int reason);
}  // namespace err

}  // namespace objmap
