// The develope of a GOST key transport with a token key: the token derives the key-encryption
// key by VKO and gives its value back; the content key is unwrapped here.
#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "cryptoext/objects.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/pkcs11/p11_objects.h"
#include "ssf/log.h"
#include "ssf/pki/token.h"

namespace ssf {

namespace {

using KeyTransport = ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free>;

constexpr size_t kContentKeyLen = 32, kMacLen = 4, kUkmLen = 8, kKekLen = 32;

bool length_is(const char* fn, const char* what, size_t got, size_t want) {
    if (got == want) return true;
    log_error("%s() : %s is %d bytes, not %d", fn, what, static_cast<int>(got),
              static_cast<int>(want));
    return false;
}

// The CryptoPro key unwrap with each failing step logged on a line of its own: the KDF, then
// Init, Update and Final of the ECB decryption and of the MAC. 1 with the key, 0 for a wrong
// MAC, -1 on failure.
int unwrap(const char* fn, const GOST28147_89_PARAMS* row, const unsigned char* kek,
           const unsigned char* ukm, size_t ukm_len, const unsigned char* wrapped,
           const unsigned char* imit, unsigned char* key) {
    KekUnwrapFailure failed;
    const int rc =
        tvk_kek_unwrap(row, kek, ukm, static_cast<uint32_t>(ukm_len), wrapped, imit, key, &failed);
    if (rc >= 0) return rc;
    switch (failed.step) {
        case KekUnwrapStep::kdf:
            log_error("%s() : %s() failed: %d", fn, failed.kdf, failed.rc);
            break;
        case KekUnwrapStep::init:
            log_error("%s() : GOST28147_89_Init failed: %d", fn, failed.rc);
            break;
        case KekUnwrapStep::update:
            log_error(failed.in_mac ? "%s() : GOST28147_89_Update failed: %d"
                                    : "%s() : GOST28147_89_Update failed(): %d",
                      fn, failed.rc);
            break;
        default:
            log_error("%s() : GOST28147_89_Final failed: %d", fn, failed.rc);
            break;
    }
    return -1;
}

}  // namespace

int TokenGenKek(ssf_token_key* record, CK_MECHANISM_TYPE mechanism, const unsigned char* peer,
                size_t peer_len, const unsigned char* param_der, size_t param_der_len,
                const unsigned char* ukm, size_t ukm_len, unsigned char* kek, size_t kek_room,
                size_t* kek_len) {
    static const char* const kFn = "TokenGenKek";
    log_debug("%s() begin", kFn);
    if (kek_room < kKekLen) return -1;
    const p11::Derived d =
        p11::derive_kek(record->functions, record->session, record->key, mechanism, peer, peer_len,
                        param_der, param_der_len, ukm, ukm_len, kek);
    if (!d.ok()) log_error("%s", p11::derive_failure_text(kFn, d).c_str());
    if (d.ok()) *kek_len = kKekLen;
    const int rc = d.ok() ? 0 : -1;
    log_debug("%s() end, return code = %d (%s)", kFn, rc, get_ckr_name(d.rv));
    return rc;
}

int TOKEN_PKEY_decrypt(unsigned char* dec_key, size_t dec_key_room, const unsigned char* enc_key,
                       int enc_key_len, ssf_token_key* record) {
    static const char* const kFn = "TOKEN_PKEY_decrypt";
    if (!dec_key || dec_key_room < kContentKeyLen) {
        log_error("%s() : dec_key is NULL", kFn);
        return -1;
    }
    const unsigned char* p = enc_key;
    KeyTransport kt(enc_key && enc_key_len > 0 ? d2i_TVK_KEY_TRANSPORT(nullptr, &p, enc_key_len)
                                               : nullptr);
    if (!kt || p != enc_key + enc_key_len || !kt->key_info || !kt->key_agreement_info) {
        log_error("%s() : d2i_TVK_KEY_TRANSPORT failed", kFn);
        return -1;
    }
    const TVK_KEY_INFO* info = kt->key_info;
    const TVK_KEY_AGREEMENT_INFO* agree = kt->key_agreement_info;
    if (!record || !record->functions ||
        !objmap::is_one_of(record->pkey_type, {objmap::Obj::gost2001, objmap::Obj::gost2012_256,
                                               objmap::Obj::gost2012_512})) {
        log_error("%s() : the key is not a GOST token key", kFn);
        return -1;
    }
    // 512-bit keys agree with 128-byte ephemeral keys and their own mechanism.
    const bool is_512 = record->pkey_type == objmap::nid(objmap::Obj::gost2012_512);
    const size_t peer_len = is_512 ? 128 : 64;
    if (!agree->ephem_key || !agree->eph_iv || !agree->cipher) {
        log_error("%s() : key transport without ephemeral key, UKM or parameter set", kFn);
        return -1;
    }
    if (!length_is(kFn, "encrypted key", ASN1_STRING_length(info->encrypted_key), kContentKeyLen) ||
        !length_is(kFn, "MAC", ASN1_STRING_length(info->imit), kMacLen))
        return -1;
    // The sender's UKM: 8 bytes, or 16 as senders write them for 512-bit keys; the KEK
    // diversification and the MAC take its first 8.
    const size_t ukm_len = static_cast<size_t>(ASN1_STRING_length(agree->eph_iv));
    if (ukm_len != kUkmLen && ukm_len != 2 * kUkmLen) {
        log_error("%s() : UKM is %d bytes, not 8 or 16", kFn, static_cast<int>(ukm_len));
        return -1;
    }

    // The parameter set as the token and the table lookup take it: the whole DER identifier.
    unsigned char param_der[16];
    const int der_len = i2d_ASN1_OBJECT(agree->cipher, nullptr);
    unsigned char* q = param_der;
    if (der_len <= 0 || der_len > static_cast<int>(sizeof param_der) ||
        i2d_ASN1_OBJECT(agree->cipher, &q) != der_len) {
        log_error("%s() : parameter set identifier of %d bytes is not usable", kFn, der_len);
        return -1;
    }
    const GOST28147_89_PARAMS* row = nullptr;
    if (const int r = GOST28147_89_FindParByDerOid(param_der, static_cast<uint32_t>(der_len), &row);
        r != 0 || !row) {
        log_error("%s() : GOST28147_89_FindParByDerOid() failed: %d", kFn, r);
        return -1;
    }

    // The raw ephemeral key is the OCTET STRING inside the public-key bit string.
    const unsigned char* bits = nullptr;
    int bits_len = 0;
    X509_PUBKEY_get0_param(nullptr, &bits, &bits_len, nullptr, agree->ephem_key);
    log_debug("%s() : pubkey->public_key->length: %u", kFn, static_cast<unsigned>(bits_len));
    const unsigned char* b = bits;
    ossl::OctetString peer(bits ? d2i_ASN1_OCTET_STRING(nullptr, &b, bits_len) : nullptr);
    if (!peer || b != bits + bits_len) {
        log_error("%s() : ephemeral key is not an OCTET STRING", kFn);
        return -1;
    }
    if (!length_is(kFn, "ephemeral key", ASN1_STRING_length(peer.get()), peer_len)) return -1;

    ossl::Wiped<unsigned char[kKekLen]> kek;
    size_t kek_len = 0;
    if (TokenGenKek(record, is_512 ? CKM_GOSTR3410_12_DERIVE : CKM_GOSTR3410_DERIVE,
                    ASN1_STRING_get0_data(peer.get()), peer_len, param_der,
                    static_cast<size_t>(der_len), ASN1_STRING_get0_data(agree->eph_iv), ukm_len,
                    kek.v, sizeof kek.v, &kek_len) != 0) {
        log_error("%s() 2 : TokenGenKek() failed", kFn);
        return -1;
    }
    ossl::Wiped<unsigned char[kContentKeyLen]> key;
    const int unwrapped = unwrap(kFn, row, kek.v, ASN1_STRING_get0_data(agree->eph_iv), ukm_len,
                                 ASN1_STRING_get0_data(info->encrypted_key),
                                 ASN1_STRING_get0_data(info->imit), key.v);
    if (unwrapped < 0) return -1;
    if (unwrapped == 0) {
        log_error("%s() : wrong MAC", kFn);
        return -1;
    }
    std::memcpy(dec_key, key.v, kContentKeyLen);
    return static_cast<int>(kContentKeyLen);
}

}  // namespace ssf
