// Key transport with a token GOST key: the token agrees the key-encryption key (VKO) and hands
// its value back; the content key is unwrapped here in software.
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/pkcs11/p11_engine.h"
#include "engines/pkcs11/p11_objects.h"
#include "gost/gost28147_params.h"

namespace {

constexpr size_t kContentKeyLen = 32, kKekLen = 32, kMacLen = 4;

using Transport = ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free>;

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

// VKO on the token with the sender's public key; the mechanism follows its size. 0 with the
// 32-byte key-encryption key, -1 on failure.
int TokenGenKek(pkcs11_key* rec, const unsigned char* peer, size_t peer_len,
                const unsigned char* param_der, size_t param_der_len, const unsigned char* ukm,
                size_t ukm_len, unsigned char* kek, size_t* kek_len) {
    static const char fn[] = "TokenGenKek";
    const CK_MECHANISM_TYPE mech = peer_len == 128 ? CKM_GOSTR3410_12_DERIVE : CKM_GOSTR3410_DERIVE;
    const p11::Derived d =
        p11::derive_kek(rec->module->functions(), rec->session, rec->private_key, mech, peer,
                        peer_len, param_der, param_der_len, ukm, ukm_len, kek);
    if (!d.ok()) {
        pkcs11_log_error("%s", p11::derive_failure_text(fn, d).c_str());
        return -1;
    }
    *kek_len = kKekLen;
    return 0;
}

// The CryptoPro key unwrap under the token's key-encryption key, diversified by the UKM. 1 with
// the content key when its MAC matches, else 0.
int pkcs11_kek_dec(const GOST28147_89_PARAMS* row, const unsigned char* kek,
                   const unsigned char* ukm, size_t ukm_len, const unsigned char* wrapped,
                   const unsigned char* mac, unsigned char* out) {
    static const char fn[] = "pkcs11_kek_dec";
#define KEK_DEC_SAY(what) \
    std::fprintf(stderr, "%s(): %s:%d . " what "\n", fn, base_name(__FILE__), __LINE__)
    KekUnwrapFailure failed;
    const int rc =
        tvk_kek_unwrap(row, kek, ukm, static_cast<uint32_t>(ukm_len), wrapped, mac, out, &failed);
    if (rc > 0) return 1;
    // Each step its own line, so that the line number tells where the unwrap stopped.
    const bool init_context = failed.step == KekUnwrapStep::init && failed.in_mac;
    switch (rc == 0 ? KekUnwrapStep::none : failed.step) {
        case KekUnwrapStep::none:
            KEK_DEC_SAY("Wrong MAC");
            break;
        case KekUnwrapStep::kdf:
            KEK_DEC_SAY("GOST28147_89_KDF failed");
            break;
        case KekUnwrapStep::init:
            if (init_context)
                KEK_DEC_SAY("GOST28147_89_Init_context failed");
            else
                KEK_DEC_SAY("GOST28147_89_Init failed");
            break;
        case KekUnwrapStep::update:
            KEK_DEC_SAY("GOST28147_89_Update failed");
            break;
        case KekUnwrapStep::final:
            KEK_DEC_SAY("GOST28147_89_Final failed");
            break;
    }
#undef KEK_DEC_SAY
    return 0;
}

// The content key of a DER key transport: with out null the encrypted key's length, else 32
// with the key in out (32 bytes), -1 on failure.
int TOKEN_PKEY_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, const unsigned char* in,
                       size_t in_len) {
    static const char fn[] = "TOKEN_PKEY_decrypt";
    const unsigned char* p = in;
    Transport kt(in && in_len <= LONG_MAX
                     ? d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(in_len))
                     : nullptr);
    if (!kt || p != in + in_len || !kt->key_info || !kt->key_agreement_info) {
        pkcs11_log_error("%s() 1 : d2i_TVK_KEY_TRANSPORT() failed, ret = %d", fn, 0);
        return -1;
    }
    const TVK_KEY_INFO* info = kt->key_info;
    const TVK_KEY_AGREEMENT_INFO* agree = kt->key_agreement_info;
    if (!out) return ASN1_STRING_length(info->encrypted_key);

    unsigned char cipher[16];
    const int cipher_len = agree->cipher ? i2d_ASN1_OBJECT(agree->cipher, nullptr) : 0;
    unsigned char* q = cipher;
    const GOST28147_89_PARAMS* row = nullptr;
    int r = -1;
    if (cipher_len <= 0 || cipher_len > static_cast<int>(sizeof cipher) ||
        i2d_ASN1_OBJECT(agree->cipher, &q) != cipher_len ||
        (r = GOST28147_89_FindParByDerOid(cipher, static_cast<uint32_t>(cipher_len), &row)) != 0 ||
        !row) {
        pkcs11_log_error("%s() 2 : GOST28147_89_FindParByDerOid() failed, ret = %d", fn, r);
        return -1;
    }
    EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
    pkcs11_key* rec = pkcs11_record(pkey);
    if (!rec || !rec->module || !*rec->module) {
        pkcs11_log_error("%s() : the key is not a token key", fn);
        return -1;
    }
    // Fixed sizes the unwrap reads: a 32-byte key, a MAC of at least 4 bytes, a UKM of 8 bytes
    // (16 as senders write them for 512-bit keys).
    const int ukm_len = agree->eph_iv ? ASN1_STRING_length(agree->eph_iv) : 0;
    if (ASN1_STRING_length(info->encrypted_key) != static_cast<int>(kContentKeyLen) ||
        ASN1_STRING_length(info->imit) < static_cast<int>(kMacLen) ||
        (ukm_len != 8 && ukm_len != 16)) {
        pkcs11_log_error("%s() : key %d, MAC %d and UKM %d bytes are not 32, 4 and 8 or 16", fn,
                         ASN1_STRING_length(info->encrypted_key), ASN1_STRING_length(info->imit),
                         ukm_len);
        return -1;
    }

    // The sender's public key: the transport's ephemeral key, else the context's peer key.
    X509_PUBKEY* sender = agree->ephem_key;
    ossl::X509Pubkey peer_pub;
    if (!sender) {
        X509_PUBKEY* made = nullptr;
        EVP_PKEY* peer = EVP_PKEY_CTX_get0_peerkey(ctx);
        if (!peer || !X509_PUBKEY_set(&made, peer)) {
            pkcs11_log_error("%s() 3 : X509_PUBKEY_set() failed, ret = %d", fn, 0);
            return -1;
        }
        peer_pub.reset(made);
        sender = made;
        if (EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_PEER_KEY, 3, nullptr) < 1) {
            std::fprintf(stderr, "%s: EVP_PKEY_CTX_ctrl failed\n", fn);
            return -1;
        }
    }
    const unsigned char* bits = nullptr;
    int bits_len = 0;
    X509_PUBKEY_get0_param(nullptr, &bits, &bits_len, nullptr, sender);
    const unsigned char* b = bits;
    ossl::OctetString point(bits ? d2i_ASN1_OCTET_STRING(nullptr, &b, bits_len) : nullptr);
    // Only a whole OCTET STRING as long as the token key's own public key agrees with it.
    if (!point || b != bits + bits_len ||
        static_cast<uint32_t>(ASN1_STRING_length(point.get())) != rec->pub.pub_key_len) {
        pkcs11_log_error("%s() : the sender's public key is not an OCTET STRING of %d bytes", fn,
                         static_cast<int>(rec->pub.pub_key_len));
        return -1;
    }

    ossl::Wiped<unsigned char[kKekLen]> kek;
    size_t kek_len = 0;
    if (TokenGenKek(rec, ASN1_STRING_get0_data(point.get()),
                    static_cast<size_t>(ASN1_STRING_length(point.get())), cipher,
                    static_cast<size_t>(cipher_len), ASN1_STRING_get0_data(agree->eph_iv),
                    static_cast<size_t>(ukm_len), kek.v, &kek_len) != 0) {
        pkcs11_log_error("%s() 4 : TokenGenKek() failed", fn);
        return -1;
    }
    ossl::Wiped<unsigned char[kContentKeyLen]> key;
    if (!pkcs11_kek_dec(row, kek.v, ASN1_STRING_get0_data(agree->eph_iv),
                        static_cast<size_t>(ukm_len), ASN1_STRING_get0_data(info->encrypted_key),
                        ASN1_STRING_get0_data(info->imit), key.v)) {
        pkcs11_log_error("%s() 5 : pkcs11_kek_dec() failed, ret code = %d", fn, 0);
        return -1;
    }
    std::memcpy(out, key.v, kContentKeyLen);
    return static_cast<int>(kContentKeyLen);
}

int pkey_pkcs11_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                        const unsigned char* in, size_t in_len) {
    return engines::guarded("pkey_pkcs11_decrypt", -1, [&] {
        // The caller's buffer is as long as it says: a content key must fit it.
        if (!out_len || (out && *out_len < kContentKeyLen)) return -1;
        const int r = TOKEN_PKEY_decrypt(ctx, out, in, in_len);
        if (r >= 0) *out_len = static_cast<size_t>(r);
        return r == static_cast<int>(kContentKeyLen) ? 1 : -1;
    });
}
