#include "engines/common/gost_key_record.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "cryptoext/ossl.h"
#include "gost/gostr3410.h"

namespace {

using objmap::Obj;

consteval gost2012_param_oid row(Obj obj, const char* oid, std::initializer_list<uint8_t> der) {
    gost2012_param_oid r{obj, oid, {}, static_cast<uint32_t>(der.size())};
    size_t i = 0;
    for (uint8_t b : der) r.der[i++] = b;
    return r;
}

constexpr gost2012_param_oid k256[] = {
    row(Obj::GostR3410_2001_TestParamSet, "1.2.643.2.2.35.0", {6, 7, 0x2a, 0x85, 3, 2, 2, 35, 0}),
    row(Obj::GostR3410_2001_CryptoPro_A_ParamSet, "1.2.643.2.2.35.1",
        {6, 7, 0x2a, 0x85, 3, 2, 2, 35, 1}),
    row(Obj::GostR3410_2001_CryptoPro_B_ParamSet, "1.2.643.2.2.35.2",
        {6, 7, 0x2a, 0x85, 3, 2, 2, 35, 2}),
    row(Obj::GostR3410_2001_CryptoPro_C_ParamSet, "1.2.643.2.2.35.3",
        {6, 7, 0x2a, 0x85, 3, 2, 2, 35, 3}),
    row(Obj::GostR3410_2001_CryptoPro_XchA_ParamSet, "1.2.643.2.2.36.0",
        {6, 7, 0x2a, 0x85, 3, 2, 2, 36, 0}),
    row(Obj::GostR3410_2001_CryptoPro_XchB_ParamSet, "1.2.643.2.2.36.1",
        {6, 7, 0x2a, 0x85, 3, 2, 2, 36, 1}),
    row(Obj::gost_3410_2012_256_paramSetA, "1.2.643.7.1.2.1.1.1",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 1, 1}),
    row(Obj::gost_3410_2012_256_paramSetB, "1.2.643.7.1.2.1.1.2",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 1, 2}),
    row(Obj::gost_3410_2012_256_paramSetC, "1.2.643.7.1.2.1.1.3",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 1, 3}),
    row(Obj::gost_3410_2012_256_paramSetD, "1.2.643.7.1.2.1.1.4",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 1, 4}),
};

constexpr gost2012_param_oid k512[] = {
    row(Obj::gost_3410_2012_512_paramSetTest, "1.2.643.7.1.2.1.2.0",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 2, 0}),
    row(Obj::gost_3410_2012_512_paramSetA, "1.2.643.7.1.2.1.2.1",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 2, 1}),
    row(Obj::gost_3410_2012_512_paramSetB, "1.2.643.7.1.2.1.2.2",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 2, 2}),
    row(Obj::gost_3410_2012_512_paramSetC, "1.2.643.7.1.2.1.2.3",
        {6, 9, 0x2a, 0x85, 3, 7, 1, 2, 1, 2, 3}),
};

using ossl::Wiped;
template <size_t N>
using Digits = Wiped<DIGIT_T[N]>;

}  // namespace

tvk_gost2012_key* tvk_gost2012_alloc() {
    return static_cast<tvk_gost2012_key*>(OPENSSL_zalloc(sizeof(tvk_gost2012_key)));
}

void tvk_gost2012_free(tvk_gost2012_key* key) {
    OPENSSL_clear_free(key, sizeof *key);
}

std::span<const gost2012_param_oid> gost2012_256_param_oids() {
    return k256;
}
std::span<const gost2012_param_oid> gost2012_512_param_oids() {
    return k512;
}

const gost2012_param_oid* gost2012_find_param(int param_nid, bool is_512) {
    if (param_nid == NID_undef) return nullptr;
    for (const auto& r : is_512 ? gost2012_512_param_oids() : gost2012_256_param_oids())
        if (objmap::nid(r.obj) == param_nid) return &r;
    return nullptr;
}

int gost2012_digest_param_nid(int key_type) {
    if (key_type == objmap::nid(Obj::gost2001))
        return objmap::nid(Obj::GostR3411_94_CryptoProParamSet);
    return objmap::nid(key_type == objmap::nid(Obj::gost2012_512) ? Obj::md_gost12_512
                                                                  : Obj::md_gost12_256);
}

bool all_zero(const uint8_t* p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; ++i) acc |= p[i];
    return acc == 0;
}

bool gost2012_is_sign_type(int nid) {
    return nid != NID_undef &&
           objmap::is_one_of(nid, {Obj::gost2001, Obj::gost2012_256, Obj::gost2012_512});
}

int gost_param_der(int nid, uint8_t* der, uint32_t* der_len) {
    const ASN1_OBJECT* obj = nid == NID_undef ? nullptr : OBJ_nid2obj(nid);
    const size_t n = obj ? OBJ_length(obj) : 0;
    if (n == 0 || n > 14) return 0;
    der[0] = 0x06;
    der[1] = static_cast<uint8_t>(n);
    std::memcpy(der + 2, OBJ_get0_data(obj), n);
    *der_len = static_cast<uint32_t>(n + 2);
    return 1;
}

int fill_GOST2012_params(tvk_gost2012_key* key, int pkey_nid, int param_nid) {
    bool is_512;
    if (objmap::is_one_of(pkey_nid, {Obj::gost2001, Obj::gost2012_256})) {
        is_512 = false;
    } else if (pkey_nid == objmap::nid(Obj::gost2012_512)) {
        is_512 = true;
    } else {
        std::fprintf(stderr, "fill_GOST2012_params: unsupported alg NID\n");
        return 0;
    }
    if (!gost2012_find_param(param_nid, is_512)) {
        std::fprintf(stderr, "fill_GOST2012_params: unsupported parameter set\n");
        return 0;
    }
    key->pkey_nid = pkey_nid;
    key->param_nid = param_nid;
    key->priv_key_len = is_512 ? GOST_PRIV_512 : GOST_PRIV_256;
    key->pub_key_len = is_512 ? GOST_PUB_512 : GOST_PUB_256;
    return 1;
}

int pkcs11_id_gen(const uint8_t* pub, uint32_t pub_len, uint8_t* id) {
    uint8_t buf[3 + GOST_PUB_512];
    if (pub_len > GOST_PUB_512) return 0;
    size_t h;
    if (pub_len == GOST_PUB_256) {
        buf[0] = 0x04, buf[1] = 0x40, h = 2;
    } else {
        buf[0] = 0x04, buf[1] = 0x81, buf[2] = 0x80, h = 3;
    }
    std::memcpy(buf + h, pub, pub_len);
    unsigned int n = 0;
    return EVP_Digest(buf, h + pub_len, id, &n, EVP_sha1(), nullptr) == 1 && n == GOST_KEY_ID_LEN;
}

int tvk_rnd_func(unsigned char* buf, size_t len) {
    if (len > INT_MAX) return 1;
    return RAND_bytes(buf, static_cast<int>(len)) == 1 ? 0 : 1;
}

namespace {

int derive_256(const uint8_t* priv, const uint8_t* der, uint32_t der_len, uint8_t* pub) {
    const gostr3410_256_params* prm = nullptr;
    if (GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm) != 0 || !prm)
        prm = GOSTR3410_2012_256_DefaultPar();
    Digits<EC256_DIGITS> d;
    Wiped<ep_point> Q;
    int rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d.v, priv);
    if (rc) {
        std::fprintf(stderr, "GOSTR3410_2012_256_LoadPrivateKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    if ((rc = GOSTR3410_2012_256_GeneratePublicKey(prm, d.v, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_GeneratePublicKey failed, rc = 0x%x\n", rc);
        return 0;
    }
    if (pub && (rc = GOSTR3410_2012_256_UnloadPublicKeyValue(pub, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_UnloadPublicKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    return 1;
}

int derive_512(const uint8_t* priv, const uint8_t* der, uint32_t der_len, uint8_t* pub) {
    const gostr3410_512_params* prm = nullptr;
    if (GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm) != 0 || !prm)
        prm = GOSTR3410_2012_512_DefaultPar();
    Digits<EC512_DIGITS> d;
    Wiped<dep_point> Q;
    int rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d.v, priv);
    if (rc) {
        std::fprintf(stderr, "GOSTR3410_2012_512_LoadPrivateKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    if ((rc = GOSTR3410_2012_512_GeneratePublicKey(prm, d.v, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_512_GeneratePublicKey failed, rc = 0x%x\n", rc);
        return 0;
    }
    if (pub && (rc = GOSTR3410_2012_512_UnloadPublicKeyValue(pub, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_512_UnloadPublicKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    return 1;
}

}  // namespace

int gost3410_public_key_derive(const uint8_t* priv, uint32_t priv_len, const uint8_t* der,
                               uint32_t der_len, uint8_t* pub, uint32_t* pub_len) {
    if (!priv || !pub_len) return 0;
    if (priv_len == GOST_PRIV_256) {
        if (!derive_256(priv, der, der_len, pub)) return 0;
        *pub_len = GOST_PUB_256;
        return 1;
    }
    if (priv_len == GOST_PRIV_512) {
        if (!derive_512(priv, der, der_len, pub)) return 0;
        *pub_len = GOST_PUB_512;
        return 1;
    }
    std::fprintf(stderr, "Unsupported private key length %d\n", static_cast<int>(priv_len));
    return 0;
}

int gost3410_public_key_derive_key(void*, tvk_gost2012_key* key) {
    uint8_t der[16];
    uint32_t der_len = 0;
    if (!key || !gost_param_der(key->param_nid, der, &der_len) ||
        !gost3410_public_key_derive(key->priv_key, key->priv_key_len, der, der_len, key->pub_key,
                                    &key->pub_key_len)) {
        std::fprintf(stderr, "gost3410_public_key_derive failed\n");
        return 0;
    }
    return 1;
}

namespace {

int keygen_256(tvk_gost2012_key* key, const uint8_t* der, uint32_t der_len) {
    const gostr3410_256_params* prm = nullptr;
    int rc = GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm);
    if (rc || !prm) {
        std::fprintf(stderr, "GOSTR3410_2012_256_FindParByDerOid failed, rc = 0x%x\n", rc);
        return 0;
    }
    Digits<EC256_DIGITS> d;
    Wiped<ep_point> Q;
    if ((rc = GOSTR3410_2012_256_GenerateKeyPair(prm, tvk_rnd_func, d.v, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_GenerateKeyPair failed, rc = 0x%x\n", rc);
        return 0;
    }
    if ((rc = GOSTR3410_2012_256_UnloadPrivateKeyValue(key->priv_key, d.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_UnloadPrivateKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    key->priv_key_len = GOST_PRIV_256;
    if ((rc = GOSTR3410_2012_256_UnloadPublicKeyValue(key->pub_key, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_256_UnloadPublicKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    key->pub_key_len = GOST_PUB_256;
    return 1;
}

int keygen_512(tvk_gost2012_key* key, const uint8_t* der, uint32_t der_len) {
    const gostr3410_512_params* prm = nullptr;
    int rc = GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm);
    if (rc || !prm) {
        std::fprintf(stderr, "GOSTR3410_2012_512_FindParByDerOid failed, rc = 0x%x\n", rc);
        return 0;
    }
    Digits<EC512_DIGITS> d;
    Wiped<dep_point> Q;
    if ((rc = GOSTR3410_2012_512_GenerateKeyPair(prm, tvk_rnd_func, d.v, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_512_GenerateKeyPair failed, rc = 0x%x\n", rc);
        return 0;
    }
    if ((rc = GOSTR3410_2012_512_UnloadPrivateKeyValue(key->priv_key, d.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_512_UnloadPrivateKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    key->priv_key_len = GOST_PRIV_512;
    if ((rc = GOSTR3410_2012_512_UnloadPublicKeyValue(key->pub_key, &Q.v)) != 0) {
        std::fprintf(stderr, "GOSTR3410_2012_512_UnloadPublicKeyValue failed, rc = 0x%x\n", rc);
        return 0;
    }
    key->pub_key_len = GOST_PUB_512;
    return 1;
}

}  // namespace

int tvk_gost2012_keygen_wrapper(void*, tvk_gost2012_key* key) {
    if (!key) return 0;
    uint8_t der[16];
    uint32_t der_len = 0;
    if (!gost_param_der(key->param_nid, der, &der_len)) {
        std::fprintf(stderr,
                     "tvk_gost2012_keygen_wrapper: OBJ_nid2obj can't understand param_nid %d\n",
                     key->param_nid);
        return 0;
    }
    int ok;
    if (objmap::is_one_of(key->pkey_nid, {Obj::gost2001, Obj::gost2012_256})) {
        ok = keygen_256(key, der, der_len);
    } else if (key->pkey_nid == objmap::nid(Obj::gost2012_512)) {
        ok = keygen_512(key, der, der_len);
    } else {
        std::fprintf(stderr, "tvk_gost2012_keygen_wrapper: unsupported pkey_nid %d\n",
                     key->pkey_nid);
        return 0;
    }
    if (ok && !pkcs11_id_gen(key->pub_key, key->pub_key_len, key->key_id)) {
        std::fprintf(stderr, "create_private_key: pkcs11_id_gen failed\n");
        ok = 0;
    }
    if (!ok) {
        OPENSSL_cleanse(key->priv_key, sizeof key->priv_key);
        return 0;
    }
    key->has_private_key = 1;
    return 1;
}

int gost3410_sign(const uint8_t* digest, uint8_t* sig, const uint8_t* der, uint32_t der_len,
                  const uint8_t* priv, uint32_t priv_len) {
    int rc;
    if (priv_len == GOST_PRIV_256) {
        const gostr3410_256_params* prm = nullptr;
        if ((rc = GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
            std::fprintf(stderr, "GOSTR3410_2012_256_FindParByDerOid failed, rc = 0x%x\n", rc);
            return 0;
        }
        Digits<EC256_DIGITS> d, e;
        Digits<2 * EC256_DIGITS> s;
        if ((rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d.v, priv)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_LoadPrivateKeyValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_LoadDigestValue(e.v, digest)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_LoadDigestValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_Sign(prm, e.v, tvk_rnd_func, d.v, s.v)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_Sign failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_UnloadSignatureValue(sig, s.v)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_UnloadSignatureValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    }
    if (priv_len == GOST_PRIV_512) {
        const gostr3410_512_params* prm = nullptr;
        if ((rc = GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
            std::fprintf(stderr, "GOSTR3410_2012_512_FindParByDerOid failed, rc = 0x%x\n", rc);
            return 0;
        }
        Digits<EC512_DIGITS> d, e;
        Digits<2 * EC512_DIGITS> s;
        if ((rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d.v, priv)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadPrivateKeyValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_LoadDigestValue(e.v, digest)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadDigestValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_Sign(prm, e.v, tvk_rnd_func, d.v, s.v)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_Sign failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_UnloadSignatureValue(sig, s.v)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_UnloadSignatureValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    }
    std::fprintf(stderr, "Unsupported priv_key_len %d\n", static_cast<int>(priv_len));
    return 0;
}

int tvk_gost2012_do_sign(const uint8_t* digest, size_t digest_len, uint8_t* sig,
                         const tvk_gost2012_key* key) {
    if (!digest || !sig || !key || (digest_len != GOST_PRIV_256 && digest_len != GOST_PRIV_512) ||
        digest_len != key->priv_key_len)
        return 0;
    uint8_t der[16];
    uint32_t der_len = 0;
    if (!gost_param_der(key->param_nid, der, &der_len)) {
        std::fprintf(stderr, "tvk_gost2012_do_sign: unsupported param_nid %d\n", key->param_nid);
        return 0;
    }
    if (!gost3410_sign(digest, sig, der, der_len, key->priv_key, key->priv_key_len)) {
        std::fprintf(stderr, "tvk_gost2012_do_sign: gost3410_sign failed\n");
        return 0;
    }
    return 1;
}

int gost3410_verify(const uint8_t* sig, const uint8_t* digest, const uint8_t* der, uint32_t der_len,
                    const uint8_t* pub, uint32_t pub_len) {
    int rc;
    if (pub_len == GOST_PUB_256) {
        const gostr3410_256_params* prm = nullptr;
        if ((rc = GOSTR3410_2012_256_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
            std::fprintf(stderr, "GOSTR3410_2012_256_FindParByDerOid failed, rc = 0x%x\n", rc);
            return 0;
        }
        ep_point Q;
        DIGIT_T s[2 * EC256_DIGITS], e[EC256_DIGITS];
        if ((rc = GOSTR3410_2012_256_LoadPublicKeyValue(&Q, pub)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_LoadPublicKeyValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_CheckPublicKey(prm, &Q)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_CheckPublicKey failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_LoadSignatureValue(s, sig)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_LoadSignatureValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_LoadDigestValue(e, digest)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_LoadDigestValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_256_Verify(prm, e, &Q, s)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_256_Verify failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    }
    if (pub_len == GOST_PUB_512) {
        const gostr3410_512_params* prm = nullptr;
        if ((rc = GOSTR3410_2012_512_FindParByDerOid(der, der_len, &prm)) != 0 || !prm) {
            std::fprintf(stderr, "GOSTR3410_2012_512_FindParByDerOid failed, rc = 0x%x\n", rc);
            return 0;
        }
        dep_point Q;
        DIGIT_T s[2 * EC512_DIGITS], e[EC512_DIGITS];
        if ((rc = GOSTR3410_2012_512_LoadPublicKeyValue(&Q, pub)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadPublicKeyValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_CheckPublicKey(prm, &Q)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_CheckPublicKey failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_LoadSignatureValue(s, sig)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadSignatureValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_LoadDigestValue(e, digest)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_LoadDigestValue failed, rc = 0x%x\n", rc);
            return 0;
        }
        if ((rc = GOSTR3410_2012_512_Verify(prm, e, &Q, s)) != 0) {
            std::fprintf(stderr, "GOSTR3410_2012_512_Verify failed, rc = 0x%x\n", rc);
            return 0;
        }
        return 1;
    }
    std::fprintf(stderr, "gost3410_verify: Unsupported public key length %d\n",
                 static_cast<int>(pub_len));
    return 0;
}

int tvk_gost2012_do_verify(const uint8_t* digest, size_t digest_len, const uint8_t* sig,
                           const tvk_gost2012_key* key) {
    if (!digest || !sig || !key) return 0;
    if (!(key->pub_key_len == GOST_PUB_256 && digest_len == 32) &&
        !(key->pub_key_len == GOST_PUB_512 && digest_len == 64))
        return 0;
    uint8_t der[16];
    uint32_t der_len = 0;
    if (!gost_param_der(key->param_nid, der, &der_len)) return 0;
    if (!gost3410_verify(sig, digest, der, der_len, key->pub_key, key->pub_key_len)) {
        std::fprintf(stderr, "gost3410_verify failed\n");
        return 0;
    }
    return 1;
}

int gost_hexdump(const uint8_t* bytes, size_t n, std::string* out, int indent) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && i % 16 == 0) *out += '\n';
        if (i % 16 == 0 && indent >= 1) out->append(static_cast<size_t>(indent), ' ');
        *out += hex[bytes[i] >> 4];
        *out += hex[bytes[i] & 15];
        *out += ':';
    }
    return 0;
}
