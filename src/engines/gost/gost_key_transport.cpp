// GOST key transport and key agreement: the content key wrapped under a key-encryption key that
// VKO derives from an ephemeral key and the recipient's public key (RFC 4490, RFC 4357 6.1/6.5).
#include "engines/gost/gost_key_transport.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "cryptoext/ossl.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_asn1_ber.h"
#include "engines/gost/gost_engine.h"
#include "engines/gost/gost_key_methods.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3410.h"
#include "gost/gostr3411_2012.h"
#include "gost/gostr3411_94.h"

namespace {

using ossl::Wiped;

using objmap::Obj;

constexpr size_t kKeyLen = 32, kMacLen = 4, kIvLen = 8;

#define KT_SAY(format, ...) \
    std::fprintf(stderr, "%s:%d " format, __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

void say(const char* line) {
    std::fputs(line, stderr);
}

struct Der {
    uint8_t b[16] = {};
    uint32_t n = 0;
};

bool der_of(Obj o, Der& d) {
    return gost_param_der(objmap::nid(o), d.b, &d.n) == 1;
}
bool der_of_nid(int nid, Der& d) {
    return gost_param_der(nid, d.b, &d.n) == 1;
}

bool is_type(int nid, Obj o) {
    return nid == objmap::nid(o);
}

// Digest identifier written with, and read from, the ephemeral key's parameters; none for a
// key type that has no digest.
std::optional<Obj> digest_param(int key_type) {
    if (is_type(key_type, Obj::gost2001)) return Obj::GostR3411_94_CryptoProParamSet;
    if (is_type(key_type, Obj::gost2012_256)) return Obj::md_gost12_256;
    if (is_type(key_type, Obj::gost2012_512)) return Obj::md_gost12_512;
    return std::nullopt;
}

// The DER of a key's digest identifier; each failure has its own line.
bool digest_der(int key_type, Der& d) {
    const std::optional<Obj> digest = digest_param(key_type);
    if (!digest) {
        std::fprintf(stderr, "Invalid digest nid %d\n", key_type);
        return false;
    }
    if (!der_of(*digest, d)) {
        std::fprintf(stderr, "Invalid digest param nid %d\n", objmap::nid(*digest));
        return false;
    }
    return true;
}

Obj transport_cipher_set(int key_type) {
    return is_type(key_type, Obj::gost2001) ? Obj::Gost28147_89_CryptoPro_A_ParamSet
                                            : Obj::gost_28147_param_Z;
}

bool same_der(const uint8_t* a, uint32_t an, const Der& b) {
    return an == b.n && std::memcmp(a, b.b, an) == 0;
}

// The buffers of the BER coder come from malloc.
struct FreeBer {
    void operator()(uint8_t* p) const { std::free(p); }
};
using BerBuf = std::unique_ptr<uint8_t, FreeBer>;

// The step of the key wrap or unwrap that failed: each has its own line.
using Step = KekUnwrapStep;

// One GOST 28147-89 pass over the 32-byte key: ECB either way, or its 4-byte MAC with the IV.
// rc (when given) receives the failing call's code.
Step crypt32(const GOST28147_89_PARAMS* row, const uint8_t* kek, uint32_t mode, int encrypt,
             const uint8_t* iv, const uint8_t* in, uint8_t* out, int* rc = nullptr) {
    int dummy = 0;
    int& r = rc ? *rc : dummy;
    Wiped<GOST28147_89_CTX> ctx;
    if ((r = GOST28147_89_Init(&ctx.v, encrypt, row->tz, mode, row->key_meshing, iv, kek)) != 0)
        return Step::init;
    const GOST_BLOB src{static_cast<uint32_t>(kKeyLen), const_cast<uint8_t*>(in)};
    GOST_BLOB dst{static_cast<uint32_t>(kKeyLen), out};
    const bool mac = mode == GOST28147_89_MODE_MAC;
    if ((r = GOST28147_89_Update(&ctx.v, &src, mac ? nullptr : &dst)) != 0) return Step::update;
    if ((r = GOST28147_89_Final(&ctx.v)) != 0) return Step::final;
    if (mac)
        for (size_t i = 0; i < kMacLen; ++i) out[i] = static_cast<uint8_t>(ctx.v.mac[0] >> (8 * i));
    return Step::none;
}

const char* wrap_failure(Step s, bool mac) {
    switch (s) {
        case Step::init:
            return "t_gost3410_kek_enc. GOST28147_89_Init failed\n";
        case Step::update:
            return mac ? "t_gost3410_kek_enc. lGOST28147_89_Update failed\n"
                       : "t_gost3410_kek_enc. GOST28147_89_Update failed\n";
        default:
            return "t_gost3410_kek_enc. GOST28147_89_Final failed\n";
    }
}

const char* unwrap_failure(Step s, bool mac) {
    switch (s) {
        case Step::init:
            return mac ? "t_gost3410_kek_dec. GOST28147_89_Init_context failed\n"
                       : "t_gost3410_kek_dec. GOST28147_89_Init failed\n";
        case Step::update:
            return "t_gost3410_kek_dec. GOST28147_89_Update failed\n";
        default:
            return "t_gost3410_kek_dec. GOST28147_89_Final failed\n";
    }
}

using UnwrapFailure = KekUnwrapFailure;

// tvk_kek_unwrap, telling where it failed; it writes no line itself, each caller has its own.
int unwrap(const GOST28147_89_PARAMS* row, const uint8_t* kek, const uint8_t* ukm, uint32_t ukm_len,
           const uint8_t* wrapped, const uint8_t* imit, uint8_t* out, UnwrapFailure& failed) {
    // The R 50.1.113-2016 KEK first, then the CryptoPro one; the MAC tells which was used.
    Wiped<uint8_t[kKeyLen]> kek2, key;
    uint8_t mac[kMacLen];
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int rc = attempt == 0
                           ? GOSTR3411_2012_256_KDF(kek, kKeyLen, kKekLabel2016,
                                                    sizeof kKekLabel2016, ukm, ukm_len, kek2.v)
                           : GOST28147_89_KDF(row->tz, kek, ukm, kek2.v);
        if (rc != 0) {
            failed.step = Step::kdf;
            failed.kdf = attempt == 0 ? "GOSTR3411_2012_256_KDF" : "GOST28147_89_KDF";
            failed.rc = rc;
            return -1;
        }
        failed.step =
            crypt32(row, kek2.v, GOST28147_89_MODE_ECB, 0, nullptr, wrapped, key.v, &failed.rc);
        failed.in_mac = failed.step == Step::none;
        if (failed.in_mac)
            failed.step =
                crypt32(row, kek2.v, GOST28147_89_MODE_MAC, 1, ukm, key.v, mac, &failed.rc);
        if (failed.step != Step::none) return -1;
        if (CRYPTO_memcmp(mac, imit, kMacLen) == 0) {
            std::memcpy(out, key.v, kKeyLen);
            return 1;
        }
    }
    return 0;
}

// The ephemeral key pair on the recipient's curve and the VKO key-encryption key.
bool ephemeral_kek(const tvk_gost2012_key* rcpt, const Der& curve, const Der& digest,
                   const uint8_t* ukm, uint32_t ukm_len, uint8_t* eph_pub, uint8_t* kek) {
    if (rcpt->pub_key_len == GOST_PUB_512) {
        const gostr3410_512_params* prm = nullptr;
        if (GOSTR3410_2012_512_FindParByDerOid(curve.b, curve.n, &prm) != 0 || prm == nullptr) {
            KT_SAY("t_gost3410_kek_enc. Invalid recipient public key 3410 OID\n");
            return false;
        }
        Wiped<DIGIT_T[EC512_DIGITS]> d;
        Wiped<dep_point> E, Q;
        if (GOSTR3410_2012_512_GenerateKeyPair(prm, tvk_rnd_func, d.v, &E.v) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOSTR3410_2012_512_GenerateKeyPair failed\n");
            return false;
        }
        if (GOSTR3410_2012_512_UnloadPublicKeyValue(eph_pub, &E.v) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOSTR3410_2012_512_UnloadPublicKeyValue failed\n");
            return false;
        }
        if (GOSTR3410_2012_512_LoadPublicKeyValue(&Q.v, rcpt->pub_key) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOSTR3410_2012_512_LoadPublicKeyValue failed\n");
            return false;
        }
        if (GOSTR3410_2012_512_VKO_256(prm, ukm, ukm_len, d.v, &Q.v, kek) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOSTR3410_2012_512_VKO_256 failed\n");
            return false;
        }
        return true;
    }
    const gostr3410_256_params* prm = nullptr;
    if (GOSTR3410_2012_256_FindParByDerOid(curve.b, curve.n, &prm) != 0 || prm == nullptr) {
        KT_SAY("t_gost3410_kek_enc. Invalid recipient public key 3410 OID\n");
        return false;
    }
    Wiped<DIGIT_T[EC256_DIGITS]> d;
    Wiped<ep_point> E, Q;
    if (GOSTR3410_2001_GenerateKeyPair(prm, tvk_rnd_func, d.v, &E.v) != 0) {
        KT_SAY("t_gost3410_kek_enc. GOSTR3410_2001_GenerateKeyPair failed\n");
        return false;
    }
    if (GOSTR3410_2001_UnloadPublicKeyValue(eph_pub, &E.v) != 0) {
        KT_SAY("t_gost3410_kek_enc. GOSTR3410_2001_UnloadPublicKeyValue failed\n");
        return false;
    }
    if (GOSTR3410_2001_LoadPublicKeyValue(&Q.v, rcpt->pub_key) != 0) {
        KT_SAY("t_gost3410_kek_enc. GOSTR3410_2001_LoadPublicKeyValue failed\n");
        return false;
    }
    if (is_type(rcpt->pkey_nid, Obj::gost2012_256)) {
        if (GOSTR3410_2012_256_VKO_256(prm, ukm, ukm_len, d.v, &Q.v, kek) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOSTR3410_2012_256_VKO_256 failed\n");
            return false;
        }
        return true;
    }
    const GOSTR3411_94_PARAMS* hash = nullptr;
    if (GOSTR3411_94_FindParByDerOid(digest.b, digest.n, &hash) != 0) {
        KT_SAY("t_gost3410_kek_enc. Invalid recipient public key 3411 OID\n");
        return false;
    }
    if (GOSTR3410_2001_VKO(prm, hash, ukm, ukm_len, d.v, &Q.v, kek) != 0) {
        KT_SAY("t_gost3410_kek_enc. GOSTR3410_2001_VKO failed\n");
        return false;
    }
    return true;
}

// The encoding of the whole structure; fails when any coder fails.
BerBuf encode_transport(const uint8_t* ek, const uint8_t* mac, const Der& cipher, const Der& alg,
                        const Der& curve, const Der& digest, const uint8_t* pub, uint32_t pub_len,
                        const uint8_t* ukm, uint32_t ukm_len, uint32_t* len) {
    uint8_t *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
    uint32_t an = 0, bn = 0, cn = 0, dn = 0;
    if (!ber_encode_GostR3410_EncryptedKey(ek, kKeyLen, mac, kMacLen, BER_ENCODE, &a, &an))
        return nullptr;
    BerBuf encrypted(a);
    if (!ber_encode_GostR3410_EphemeralKey(alg.b, alg.n, curve.b, curve.n, digest.b, digest.n, pub,
                                           pub_len, BER_ENCODE, &b, &bn))
        return nullptr;
    BerBuf ephemeral(b);
    if (!ber_encode_GostR3410_TransportParameters(cipher.b, cipher.n, b, bn, ukm, ukm_len,
                                                  BER_ENCODE, &c, &cn))
        return nullptr;
    BerBuf params(c);
    if (!ber_encode_GostR3410_KeyTransport(a, an, c, cn, BER_ENCODE, &d, &dn)) return nullptr;
    *len = dn;
    return BerBuf(d);
}

}  // namespace

int t_gost3410_kek_enc(const tvk_gost2012_key* rcpt, const tvk_gost2012_key* sender,
                       const uint8_t* cipher_der, uint32_t cipher_der_len, const uint8_t* ukm,
                       uint32_t ukm_len, const uint8_t* key, size_t key_len, uint8_t* out,
                       size_t* out_len) {
    if (rcpt == nullptr || out_len == nullptr || cipher_der == nullptr ||
        cipher_der_len > sizeof(Der::b))
        return 0;
    if (key == nullptr || key_len != kKeyLen) {
        KT_SAY("t_gost3410_kek_enc. Invalid input key data length: %ld\n",
               static_cast<long>(key_len));
        return 0;
    }
    Der curve, digest, alg, cipher;
    if (!der_of_nid(rcpt->param_nid, curve)) {
        std::fprintf(stderr, "Invalid param_nid %d\n", rcpt->param_nid);
        return 0;
    }
    if (!digest_der(rcpt->pkey_nid, digest)) return 0;
    if (!der_of_nid(rcpt->pkey_nid, alg)) {
        std::fprintf(stderr, "Invalid digest nid %d\n", rcpt->pkey_nid);
        return 0;
    }
    if (sender != nullptr && sender->pkey_nid != rcpt->pkey_nid) {
        KT_SAY("Incompatible keys\n");
        return 0;
    }
    if (ukm == nullptr || (ukm_len != 8 && ukm_len != 16)) {
        KT_SAY("Usupported UKM length: %d. Should be 8 or 16\n", static_cast<int>(ukm_len));
        return 0;
    }
    const GOST28147_89_PARAMS* row = nullptr;
    if (GOST28147_89_FindParByDerOid(cipher_der, cipher_der_len, &row) != 0) {
        KT_SAY("t_gost3410_kek_enc. GOST28147_89_FindParByDerOid failed\n");
        return 0;
    }
    std::memcpy(cipher.b, cipher_der, cipher_der_len);
    cipher.n = cipher_der_len;
    const uint32_t pub_len = rcpt->pub_key_len;
    if (pub_len != GOST_PUB_256 && pub_len != GOST_PUB_512) return 0;

    Wiped<uint8_t[kKeyLen]> kek, kek2;
    uint8_t eph_pub[GOST_PUB_512] = {};
    uint8_t ek[kKeyLen] = {}, mac[kMacLen] = {};
    if (out != nullptr) {
        if (!ephemeral_kek(rcpt, curve, digest, ukm, ukm_len, eph_pub, kek.v)) return 0;
        if (GOST28147_89_KDF(row->tz, kek.v, ukm, kek2.v) != 0) {
            KT_SAY("t_gost3410_kek_enc. GOST28147_89_KDF failed\n");
            return 0;
        }
        if (Step s = crypt32(row, kek2.v, GOST28147_89_MODE_MAC, 1, ukm, key, mac);
            s != Step::none) {
            KT_SAY("%s", wrap_failure(s, true));
            return 0;
        }
        if (Step s = crypt32(row, kek2.v, GOST28147_89_MODE_ECB, 1, nullptr, key, ek);
            s != Step::none) {
            KT_SAY("%s", wrap_failure(s, false));
            return 0;
        }
    }
    // Without output the same structure with zero bytes gives the length.
    uint32_t len = 0;
    BerBuf der =
        encode_transport(ek, mac, cipher, alg, curve, digest, eph_pub, pub_len, ukm, ukm_len, &len);
    if (!der) return 0;
    if (out != nullptr) {
        if (*out_len < len) return 0;
        std::memcpy(out, der.get(), len);
    }
    *out_len = len;
    return 1;
}

int t_gost3410_kek_dec(const uint8_t* priv, uint32_t priv_len, const tvk_gost2012_key* sender,
                       const uint8_t* in, size_t in_len, uint8_t* out, size_t* out_len) {
    if (priv == nullptr || in == nullptr || out == nullptr || out_len == nullptr ||
        in_len > UINT32_MAX)
        return 0;
    ber_key_transport kt{};
    if (const int decoded =
            ber_decode_GostR3410_KeyTransport(in, static_cast<uint32_t>(in_len), &kt);
        decoded != 1) {
        KT_SAY("t_gost3410_kek_dec. ber_decode_GostR3410_KeyTransport failed: 0x%x\n",
               static_cast<unsigned>(decoded));
        return 0;
    }
    if (kt.encrypted_key_len != kKeyLen || kt.imit_len != kMacLen) return 0;
    // The UKM must hold the IV of the MAC and the diversification; VKO takes up to its size.
    if (kt.ukm_len < kIvLen || kt.ukm_len > 64) {
        KT_SAY("Usupported UKM length: %d. Should be 8 or 16\n", static_cast<int>(kt.ukm_len));
        return 0;
    }
    const uint8_t* pub = kt.public_key;
    uint32_t pub_len = kt.public_key_len;
    Der curve, digest;
    if (sender != nullptr) {
        if (!der_of_nid(sender->param_nid, curve)) {
            std::fprintf(stderr, "Invalid param_nid %d\n", sender->param_nid);
            return 0;
        }
        if (!digest_der(sender->pkey_nid, digest)) return 0;
        if (pub != nullptr) {
            if (pub_len != sender->pub_key_len || std::memcmp(pub, sender->pub_key, pub_len) != 0) {
                KT_SAY("Public key value doesn't match to input data\n");
                return 0;
            }
            if (!same_der(kt.curve_oid, kt.curve_oid_len, curve)) {
                KT_SAY("Public key OID 3410 doesn't match to input data\n");
                return 0;
            }
        }
        pub = sender->pub_key;
        pub_len = sender->pub_key_len;
    } else {
        if (pub == nullptr) {
            KT_SAY("Sender public key not set\n");
            return 0;
        }
        if (kt.curve_oid_len > sizeof curve.b || kt.digest_oid_len > sizeof digest.b) return 0;
        std::memcpy(curve.b, kt.curve_oid, kt.curve_oid_len);
        curve.n = kt.curve_oid_len;
        std::memcpy(digest.b, kt.digest_oid, kt.digest_oid_len);
        digest.n = kt.digest_oid_len;
    }
    const GOST28147_89_PARAMS* row = nullptr;
    if (GOST28147_89_FindParByDerOid(kt.cipher_oid, kt.cipher_oid_len, &row) != 0) {
        KT_SAY("t_gost3410_kek_dec. GOST28147_89_FindParByDerOid failed\n");
        return 0;
    }
    // The private key must be as long as the sender's curve asks.
    Wiped<uint8_t[kKeyLen]> kek;
    if (pub_len == GOST_PUB_512 && priv_len == GOST_PRIV_512) {
        const gostr3410_512_params* prm = nullptr;
        if (GOSTR3410_2012_512_FindParByDerOid(curve.b, curve.n, &prm) != 0 || prm == nullptr) {
            KT_SAY("t_gost3410_kek_dec. Invalid sender public key 3410 OID\n");
            return 0;
        }
        Wiped<DIGIT_T[EC512_DIGITS]> d;
        Wiped<dep_point> Q;
        if (GOSTR3410_2012_512_LoadPrivateKeyValue(d.v, priv) != 0) {
            KT_SAY("t_gost3410_kek_dec. Loading TVK private key failed\n");
            return 0;
        }
        if (GOSTR3410_2012_512_LoadPublicKeyValue(&Q.v, pub) != 0) {
            KT_SAY("t_gost3410_kek_dec. Loading TVK public key failed\n");
            return 0;
        }
        if (GOSTR3410_2012_512_VKO_256(prm, kt.ukm, kt.ukm_len, d.v, &Q.v, kek.v) != 0) return 0;
    } else if (pub_len == GOST_PUB_256 && priv_len == GOST_PRIV_256) {
        const gostr3410_256_params* prm = nullptr;
        if (GOSTR3410_2012_256_FindParByDerOid(curve.b, curve.n, &prm) != 0 || prm == nullptr) {
            KT_SAY("t_gost3410_kek_dec. Invalid sender public key 3410 OID\n");
            return 0;
        }
        Wiped<DIGIT_T[EC256_DIGITS]> d;
        Wiped<ep_point> Q;
        if (GOSTR3410_2012_256_LoadPrivateKeyValue(d.v, priv) != 0) {
            KT_SAY("t_gost3410_kek_dec. Loading TVK private key failed\n");
            return 0;
        }
        if (GOSTR3410_2012_256_LoadPublicKeyValue(&Q.v, pub) != 0) {
            KT_SAY("t_gost3410_kek_dec. Loading TVK public key failed\n");
            return 0;
        }
        Der d2012;
        if (der_of(Obj::md_gost12_256, d2012) && same_der(digest.b, digest.n, d2012)) {
            if (GOSTR3410_2012_256_VKO_256(prm, kt.ukm, kt.ukm_len, d.v, &Q.v, kek.v) != 0)
                return 0;
        } else {
            const GOSTR3411_94_PARAMS* hash = nullptr;
            if (GOSTR3411_94_FindParByDerOid(digest.b, digest.n, &hash) != 0) {
                KT_SAY("t_gost3410_kek_dec. Invalid sender public key 3411 OID\n");
                return 0;
            }
            if (GOSTR3410_2001_VKO(prm, hash, kt.ukm, kt.ukm_len, d.v, &Q.v, kek.v) != 0) return 0;
        }
    } else {
        KT_SAY("t_gost3410_kek_dec. Loading TVK public key failed\n");
        return 0;
    }

    Wiped<uint8_t[kKeyLen]> key;
    UnwrapFailure failed;
    const int rc = unwrap(row, kek.v, kt.ukm, kt.ukm_len, kt.encrypted_key, kt.imit, key.v, failed);
    if (rc < 0) {
        if (failed.step == Step::kdf)
            KT_SAY("%s failed, rc = 0x%x\n", failed.kdf, static_cast<unsigned>(failed.rc));
        else
            KT_SAY("%s", unwrap_failure(failed.step, failed.in_mac));
        return 0;
    }
    if (rc == 0) {
        KT_SAY("t_gost3410_kek_dec. Wrong MAC\n");
        return 0;
    }
    if (*out_len < kKeyLen) return 0;
    std::memcpy(out, key.v, kKeyLen);
    *out_len = kKeyLen;
    return 1;
}

int tvk_kek_unwrap(const GOST28147_89_PARAMS* row, const uint8_t* kek, const uint8_t* ukm,
                   uint32_t ukm_len, const uint8_t* wrapped, const uint8_t* imit, uint8_t* out,
                   KekUnwrapFailure* failed) {
    UnwrapFailure ignored;
    return unwrap(row, kek, ukm, ukm_len, wrapped, imit, out, failed ? *failed : ignored);
}

int tvk_dh_gost3410_derive(uint8_t* out, size_t* out_len, int own_type, const uint8_t* priv,
                           uint32_t priv_len, const uint8_t* param_der, uint32_t param_der_len,
                           const uint8_t* peer_pub, uint32_t peer_pub_len, const uint8_t* ukm,
                           uint32_t ukm_len) {
    if (out == nullptr || out_len == nullptr || priv == nullptr || *out_len < kKeyLen) return 0;
    const uint32_t want_ukm = priv_len == GOST_PRIV_256 ? 8 : 16;
    if (priv_len != GOST_PRIV_256 && priv_len != GOST_PRIV_512) {
        std::fprintf(stderr, "tvk_dh_gost3410_derive: Invalid private key length %d\n",
                     static_cast<int>(priv_len));
        return 0;
    }
    if (ukm == nullptr || ukm_len != want_ukm || all_zero(ukm, ukm_len)) {
        say("tvk_dh_gost3410_derive: wrong UKM\n");
        return 0;
    }
    if (peer_pub == nullptr || peer_pub_len != 2 * priv_len) {
        say("tvk_dh_gost3410_derive: wrong public key\n");
        return 0;
    }
    int rc = 0;
    if (priv_len == GOST_PRIV_512) {
        const gostr3410_512_params* prm = nullptr;
        if (GOSTR3410_2012_512_FindParByDerOid(param_der, param_der_len, &prm) != 0 ||
            prm == nullptr)
            prm = GOSTR3410_2012_512_DefaultPar();
        Wiped<DIGIT_T[EC512_DIGITS]> d;
        Wiped<dep_point> Q;
        if ((rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d.v, priv)) != 0) {
            std::fprintf(stderr, "[GOSTR3410_2012_512_LoadPrivateKeyValue failed, rc = 0x%x\n",
                         static_cast<unsigned>(rc));
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_LoadPublicKeyValue(&Q.v, peer_pub)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadPublicKeyValue failed, rc = 0x%x\n",
                         static_cast<unsigned>(rc));
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_VKO_256(prm, ukm, ukm_len, d.v, &Q.v, out)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_VKO_256 failed, rc = 0x%x\n",
                         static_cast<unsigned>(rc));
            return 0;
        }
        *out_len = kKeyLen;
        return 1;
    }
    const gostr3410_256_params* prm = nullptr;
    if (GOSTR3410_2012_256_FindParByDerOid(param_der, param_der_len, &prm) != 0 || prm == nullptr)
        prm = GOSTR3410_2012_256_DefaultPar();
    Wiped<DIGIT_T[EC256_DIGITS]> d;
    Wiped<ep_point> Q;
    if ((rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d.v, priv)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_LoadPrivateKeyValue failed, rc = 0x%x\n",
                     static_cast<unsigned>(rc));
        return 0;
    }
    if ((rc = GOSTR3410_2012_256_LoadPublicKeyValue(&Q.v, peer_pub)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_LoadPublicKeyValue failed, rc = 0x%x\n",
                     static_cast<unsigned>(rc));
        return 0;
    }
    if (is_type(own_type, Obj::gost2012_256)) {
        if ((rc = GOSTR3410_2012_256_VKO_256(prm, ukm, ukm_len, d.v, &Q.v, out)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_VKO_256 failed, rc = 0x%x\n",
                         static_cast<unsigned>(rc));
            return 0;
        }
    } else {
        const GOSTR3411_94_PARAMS* hash = GOSTR3411_94_DefaultPar();
        if ((rc = GOSTR3410_2001_VKO(prm, hash, ukm, ukm_len, d.v, &Q.v, out)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2001_VKO failed, rc = 0x%x\n",
                         static_cast<unsigned>(rc));
            return 0;
        }
    }
    *out_len = kKeyLen;
    return 1;
}

int pkey_tvk_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                     const unsigned char* key, size_t key_len) {
    return engines::guarded("pkey_tvk_encrypt", 0, [&] {
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (pkey == nullptr || data == nullptr || out_len == nullptr ||
            gost_settings_for(pkey) == nullptr)
            return 0;
        const tvk_gost2012_key* rcpt = gost2012_record(pkey);
        if (rcpt == nullptr) return 0;
        const tvk_gost2012_key* sender = nullptr;
        if (EVP_PKEY* peer = EVP_PKEY_CTX_get0_peerkey(ctx)) {
            sender = gost2012_record(peer);
            if (sender == nullptr) {
                say("NULL my_gost_key\n");
                return 0;
            }
        }
        const int cipher_nid = objmap::nid(transport_cipher_set(rcpt->pkey_nid));
        Der cipher;
        if (!der_of_nid(cipher_nid, cipher)) {
            std::fprintf(stderr, "Illegal GOST 28147-89 cipher paramset NID: %d\n", cipher_nid);
            return 0;
        }
        uint8_t drawn[16];
        const uint8_t* ukm = data->ukm;
        uint32_t ukm_len = data->ukm_len;
        if (ukm == nullptr) {
            ukm_len = rcpt->pub_key_len == GOST_PUB_512 ? 16 : 8;
            do {
                if (RAND_bytes(drawn, static_cast<int>(ukm_len)) != 1) {
                    say("RAND_bytes failed\n");
                    return 0;
                }
            } while (all_zero(drawn, ukm_len));
            ukm = drawn;
        }
        if (const int rc = t_gost3410_kek_enc(rcpt, sender, cipher.b, cipher.n, ukm, ukm_len, key,
                                              key_len, out, out_len);
            rc != 1) {
            std::fprintf(stderr, "gost3410_kek_enc failed, rc = 0x%x\n", static_cast<unsigned>(rc));
            return 0;
        }
        return 1;
    });
}

int pkey_engine_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                        const unsigned char* key, size_t key_len) {
    return pkey_tvk_encrypt(ctx, out, out_len, key, key_len);
}

int pkey_tvk_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                     const unsigned char* in, size_t in_len) {
    return engines::guarded("pkey_tvk_decrypt", -1, [&] {
        if (out_len == nullptr) return -1;
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        if (pkey == nullptr) return -1;
        if (gost_settings_for(pkey, false) == nullptr) {
            say("pkey_tvk_decrypt: ENGINE_get_ex_data failed\n");
            return -1;
        }
        if (out == nullptr) {
            *out_len = kKeyLen;
            return 1;
        }
        if (in == nullptr || in_len > LONG_MAX) return -1;
        const unsigned char* p = in;
        ossl::KeyTransport kt(d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(in_len)));
        if (!kt) {
            say("pkey_tvk_decrypt: d2i_TVK_KEY_TRANSPORT failed\n");
            return -1;
        }
        if (X509_PUBKEY* eph = kt->key_agreement_info->ephem_key) {
            // The context keeps its own reference.
            ossl::PKey peer(X509_PUBKEY_get(eph));
            const int set = peer ? EVP_PKEY_derive_set_peer(ctx, peer.get()) : 0;
            if (set <= 0) {
                say("pkey_tvk_decrypt: EVP_PKEY_derive_set_peer failed\n");
                return -1;
            }
        } else if (EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_PEER_KEY, 3, nullptr) <= 0) {
            say("pkey_tvk_decrypt: EVP_PKEY_CTX_ctrl failed\n");
            return -1;
        }
        EVP_PKEY* peer = EVP_PKEY_CTX_get0_peerkey(ctx);
        if (peer == nullptr) {
            say("pkey_tvk_decrypt: NULL peer key\n");
            return -1;
        }
        const tvk_gost2012_key* own = gost2012_record(pkey);
        if (own == nullptr || !own->has_private_key) {
            say("NULL recp_gost_pr_key\n");
            return -1;
        }
        const tvk_gost2012_key* sender = gost2012_record(peer);
        if (sender == nullptr) {
            say("NULL send_gost_pu_key\n");
            return -1;
        }
        if (!t_gost3410_kek_dec(own->priv_key, own->priv_key_len, sender, in, in_len, out,
                                out_len)) {
            say("gost3410_kek_dec failed\n");
            return -1;
        }
        return 1;
    });
}

int pkey_tvk_derive(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len) {
    return engines::guarded("pkey_tvk_derive", 0, [&] {
        EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
        EVP_PKEY* peer = EVP_PKEY_CTX_get0_peerkey(ctx);
        tvk_pmeth_data* data = pmeth_data(ctx);
        if (pkey == nullptr || data == nullptr || out_len == nullptr ||
            gost_settings_for(pkey) == nullptr)
            return 0;
        if (data->ukm == nullptr) {
            say("pkey_tvk_derive: UKM not set\n");
            return 0;
        }
        const tvk_gost2012_key* own = gost2012_record(pkey);
        const tvk_gost2012_key* other = peer != nullptr ? gost2012_record(peer) : nullptr;
        // A missing peer has no key length to take the UKM's from.
        if (other == nullptr) {
            say("pkey_tvk_derive: peer key not set\n");
            return 0;
        }
        const uint32_t ukm_len = other->pub_key_len == GOST_PUB_512 ? 16 : 8;
        if (data->ukm_len < ukm_len) {
            say("pkey_tvk_derive: UKM not set\n");
            return 0;
        }
        if (all_zero(data->ukm, ukm_len)) {
            say("pkey_tvk_derive: Illegal zero UKM\n");
            return 0;
        }
        if (out == nullptr) {
            *out_len = kKeyLen;
            return 1;
        }
        if (own == nullptr || !own->has_private_key) return 0;
        Der param;
        if (!der_of_nid(own->param_nid, param)) {
            std::fprintf(stderr, "make_kek: invalid param_nid %d\n", own->param_nid);
            return 0;
        }
        if (!tvk_dh_gost3410_derive(out, out_len, own->pkey_nid, own->priv_key, own->priv_key_len,
                                    param.b, param.n, other->pub_key, other->pub_key_len, data->ukm,
                                    ukm_len)) {
            say("tvk_dh_gost3410_derive failed\n");
            *out_len = 0;
            return 0;
        }
        return 1;
    });
}
