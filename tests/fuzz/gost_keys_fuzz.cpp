// One input, three readers: the hand-written key-transport decoder, the key-transport ASN.1
// type, and a GOST private key in every form the key encoding accepts.
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/gost/gost_asn1_ber.h"
#include "engines/gost/gost_asn1_types.h"
#include "engines/loader.h"

namespace {

// A PKCS#8 structure for a 256-bit test-curve key around the fuzzer's privateKey bytes.
void read_private_key(const uint8_t* data, size_t size) {
    static const unsigned char kParams[] = {0x30, 0x13, 0x06, 0x07, 0x2a, 0x85, 0x03,
                                            0x02, 0x02, 0x23, 0x00, 0x06, 0x08, 0x2a,
                                            0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    ossl::P8Info p8(PKCS8_PRIV_KEY_INFO_new());
    ossl::Asn1String params(ASN1_STRING_new());
    ossl::Bytes copy(static_cast<unsigned char*>(OPENSSL_malloc(size ? size : 1)));
    if (!p8 || !params || !copy) return;
    for (size_t i = 0; i < size; ++i) copy.get()[i] = data[i];
    ASN1_STRING_set(params.get(), kParams, sizeof kParams);
    if (!PKCS8_pkey_set0(p8.get(), OBJ_nid2obj(objmap::nid(objmap::Obj::gost2012_256)), 0,
                         V_ASN1_SEQUENCE, params.get(), copy.get(), static_cast<int>(size)))
        return;
    params.release();  // the structure owns both now
    copy.release();
    ossl::PKey(EVP_PKCS82PKEY(p8.get()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    tvk_ENGINE_load_builtin_engines();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    ber_key_transport kt{};
    (void)ber_decode_GostR3410_KeyTransport(data, static_cast<uint32_t>(size), &kt);
    const unsigned char* p = data;
    ossl::KeyTransport(d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(size)));
    read_private_key(data, size);
    return 0;
}
