#include "cryptoext/pkcs12_mac.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/pkcs7.h>

#include <cstring>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"

namespace {

using PKCS7Ptr = ossl::Pkcs7;

// The crypto library gives no read access to the authenticated safe of a parsed file, so the
// content is taken from the file's own encoding: SEQUENCE { version, ContentInfo, MacData }.
PKCS7Ptr authenticated_safe(const PKCS12* p12) {
    unsigned char* der = nullptr;
    int len = i2d_PKCS12(const_cast<PKCS12*>(p12), &der);
    ossl::Bytes owner(der);
    if (len <= 0) return nullptr;
    const unsigned char* p = der;
    long body = 0;
    int tag = 0, cls = 0;
    if (ASN1_get_object(&p, &body, &tag, &cls, len) & 0x80 || tag != V_ASN1_SEQUENCE)
        return nullptr;
    const unsigned char* end = p + body;
    if (ASN1_get_object(&p, &body, &tag, &cls, end - p) & 0x80 || tag != V_ASN1_INTEGER)
        return nullptr;
    p += body;
    return PKCS7Ptr(d2i_PKCS7(nullptr, &p, end - p));
}

bool same(const unsigned char* mac, unsigned int mac_len, const ASN1_OCTET_STRING* stored) {
    return static_cast<int>(mac_len) == ASN1_STRING_length(stored) &&
           CRYPTO_memcmp(mac, ASN1_STRING_get0_data(stored), mac_len) == 0;
}

struct MacInput {
    const EVP_MD* md;
    const char* pass;
    int passlen;
    const unsigned char* salt;
    int saltlen;
    int iter;
    const unsigned char* data;
    size_t datalen;
};

bool standard_rule(const MacInput& in, const ASN1_OCTET_STRING* stored) {
    const int md_size = EVP_MD_get_size(in.md);
    if (md_size <= 0) return false;
    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    bool ok = PKCS12_key_gen_utf8(in.pass, in.passlen, const_cast<unsigned char*>(in.salt),
                                  in.saltlen, PKCS12_MAC_ID, in.iter, md_size, key, in.md) &&
              HMAC(in.md, key, md_size, in.data, in.datalen, mac, &mac_len) != nullptr &&
              same(mac, mac_len, stored);
    OPENSSL_cleanse(key, sizeof key);
    return ok;
}

bool tc26_rule(const MacInput& in, const ASN1_OCTET_STRING* stored) {
    constexpr int kDerived = 96, kKeyOffset = 64, kKeyLen = 32;
    unsigned char derived[kDerived];
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    bool ok =
        PKCS5_PBKDF2_HMAC(in.pass, in.passlen, in.salt, in.saltlen, in.iter, in.md, kDerived,
                          derived) &&
        HMAC(in.md, derived + kKeyOffset, kKeyLen, in.data, in.datalen, mac, &mac_len) != nullptr &&
        same(mac, mac_len, stored);
    OPENSSL_cleanse(derived, sizeof derived);
    return ok;
}

}  // namespace

int tvk_PKCS12_verify_mac(const PKCS12* p12, const char* pass, int passlen) {
    if (p12 == nullptr) return 0;
    const ASN1_OCTET_STRING* stored = nullptr;
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* salt = nullptr;
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(&stored, &alg, &salt, &iter, p12);
    if (stored == nullptr || alg == nullptr) return 0;
    const ASN1_OBJECT* md_obj = nullptr;
    X509_ALGOR_get0(&md_obj, nullptr, nullptr, alg);
    const int md_nid = OBJ_obj2nid(md_obj);
    const EVP_MD* md = EVP_get_digestbynid(md_nid);
    if (md == nullptr) return 0;
    long iterations = iter != nullptr ? ASN1_INTEGER_get(iter) : 1;
    if (iterations <= 0 || iterations > 0x7fffffff) return 0;

    PKCS7Ptr safe = authenticated_safe(p12);
    if (!safe || !PKCS7_type_is_data(safe.get()) || safe->d.data == nullptr) return 0;
    if (pass == nullptr)
        passlen = 0;
    else if (passlen < 0)
        passlen = static_cast<int>(std::strlen(pass));

    const MacInput in{md,
                      pass,
                      passlen,
                      salt != nullptr ? ASN1_STRING_get0_data(salt) : nullptr,
                      salt != nullptr ? ASN1_STRING_length(salt) : 0,
                      static_cast<int>(iterations),
                      ASN1_STRING_get0_data(safe->d.data),
                      static_cast<size_t>(ASN1_STRING_length(safe->d.data))};
    if (standard_rule(in, stored)) return 1;
    using objmap::Obj;
    if (objmap::is_one_of(md_nid, {Obj::md_gost94, Obj::md_gost12_256, Obj::md_gost12_512}) &&
        tc26_rule(in, stored))
        return 1;
    return 0;
}
