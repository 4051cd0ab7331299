// One input, every reader of GOST key material: the hand-written key-transport decoder, the
// key-transport and parameter ASN.1 types, a public key (SubjectPublicKeyInfo), a private key
// (PKCS#8), and the bare private key value inside a 256-bit test-curve PKCS#8 structure.
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/gost/gost_asn1_ber.h"
#include "engines/loader.h"
#include "harness.h"
#include "kit/certs.h"

namespace {

void read_private_value(const uint8_t* data, size_t size) {
    static const unsigned char kParams[] = {0x30, 0x13, 0x06, 0x07, 0x2a, 0x85, 0x03,
                                            0x02, 0x02, 0x23, 0x00, 0x06, 0x08, 0x2a,
                                            0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    ossl::P8Info p8(PKCS8_PRIV_KEY_INFO_new());
    ossl::Asn1String params(ASN1_STRING_new());
    ossl::Bytes copy(static_cast<unsigned char*>(OPENSSL_memdup(data, size ? size : 1)));
    if (!p8 || !params || !copy) return;
    ASN1_STRING_set(params.get(), kParams, sizeof kParams);
    if (!PKCS8_pkey_set0(p8.get(), OBJ_nid2obj(objmap::nid(objmap::Obj::gost2012_256)), 0,
                         V_ASN1_SEQUENCE, params.get(), copy.get(), static_cast<int>(size)))
        return;
    params.release();  // the structure owns both now
    copy.release();
    ossl::PKey(EVP_PKCS82PKEY(p8.get()));
}

template <class I2d, class T>
fuzz::Bytes der(I2d i2d, T* value) {
    unsigned char* out = nullptr;
    const int n = i2d(value, &out);
    ossl::Bytes owner(out);
    return n > 0 ? fuzz::Bytes(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : "";
}

fuzz::Bytes transport_to(EVP_PKEY* key) {
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    const unsigned char cek[32] = {1, 2, 3};
    unsigned char out[512];
    size_t n = sizeof out;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), out, &n, cek, sizeof cek) != 1)
        return "";
    return fuzz::Bytes(reinterpret_cast<char*>(out), n);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    tvk_ENGINE_load_builtin_engines();
    for (const char* type : {"gost2001", "gost2012_256", "gost2012_512"}) {
        ossl::PKey key = test_pki::gost_key(type);
        ossl::P8Info p8(EVP_PKEY2PKCS8(key.get()));
        fuzz::seed(std::string("transport-") + type, transport_to(key.get()));
        fuzz::seed(std::string("public-") + type, der(i2d_PUBKEY, key.get()));
        fuzz::seed(std::string("private-") + type, der(i2d_PKCS8_PRIV_KEY_INFO, p8.get()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    ber_key_transport kt{};
    (void)ber_decode_GostR3410_KeyTransport(data, static_cast<uint32_t>(size), &kt);
    const long n = static_cast<long>(size);
    const unsigned char* p = data;
    ossl::KeyTransport(d2i_TVK_KEY_TRANSPORT(nullptr, &p, n));
    p = data;
    ossl::KeyParams(d2i_TVK_GOST2012_KEY_PARAMS(nullptr, &p, n));
    p = data;
    ossl::CipherParams(d2i_TVK_CIPHER_PARAMS(nullptr, &p, n));
    p = data;
    ossl::PKey(d2i_PUBKEY(nullptr, &p, n));
    p = data;
    ossl::P8Info p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, n));
    if (p8) ossl::PKey(EVP_PKCS82PKEY(p8.get()));
    read_private_value(data, size);
    return 0;
}
