// Key transport through the provider. The provider never hands out a content key in clear, so
// the transported key is imported under the recipient's agreement key, exported again under an
// agreement with a fresh ephemeral key of ours, and unwrapped in software with the ephemeral
// private key and the recipient's public key (VKO is symmetric).
#include <openssl/objects.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/common/engine_keys.h"
#include "engines/common/gost_asn1_types.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_key_transport.h"
#include "engines/mscryptoapi/capi_engine.h"

using namespace capi;

namespace {

using objmap::Obj;

constexpr size_t kKeyLen = 32, kUkmLen = 8, kMacLen = 4;
constexpr size_t kBlobHead = 62;  // SIMPLEBLOB up to the identifier's DER
constexpr size_t kExportRoom = 1024;
constexpr BYTE kSimpleHead[16] = {SIMPLEBLOB, CUR_BLOB_VERSION_GOST,
                                  0,          0,
                                  0x1E,       0x66,
                                  0,          0,
                                  0xFD,       0x51,
                                  0x4A,       0x37,
                                  0x1E,       0x66,
                                  0,          0};

using Transport = ossl::Owner<TVK_KEY_TRANSPORT, TVK_KEY_TRANSPORT_free>;

void put32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// Destroys a provider key handle when it goes out of scope.
struct KeyHandle {
    HCRYPTKEY h = 0;
    ~KeyHandle() {
        if (h) CryptDestroyKey(h);
    }
};

struct Fields {
    uint8_t mac[kMacLen];
    uint8_t ukm[kUkmLen];
    uint8_t key[kKeyLen];
    int cipher_nid = NID_undef;
};

// The object identifier's whole DER element (06, length, content), at most 127 content bytes.
bool object_der(int nid, std::vector<uint8_t>& der) {
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    const int n = obj ? i2d_ASN1_OBJECT(obj, nullptr) : 0;
    if (n <= 2 || n > 129) return false;
    der.resize(static_cast<size_t>(n));
    unsigned char* p = der.data();
    return i2d_ASN1_OBJECT(obj, &p) == n;
}

int DER_decode_encrypted_key_struct(const unsigned char* in, size_t in_len, ossl::PKey* eph,
                                    Fields* f) {
    static const char fn[] = "DER_decode_encrypted_key_struct";
    if (!in || !eph || !f || in_len > LONG_MAX) return -2;
    const unsigned char* p = in;
    Transport kt(d2i_TVK_KEY_TRANSPORT(nullptr, &p, static_cast<long>(in_len)));
    if (!kt) return -3;
    if (X509_PUBKEY* pub = kt->key_agreement_info->ephem_key) {
        eph->reset(EVP_PKEY_new());
        if (!*eph) {
            std::fprintf(stderr, "%s: EVP_PKEY_new() failed\n", fn);
            return -4;
        }
        if (!pub_decode_mscryptoapi(eph->get(), pub)) {
            std::fprintf(stderr, "%s: pub_decode_mscryptoapi() failed\n", fn);
            return -5;
        }
    }
    // Each field has one length; anything else would not fit the blob.
    const ASN1_OCTET_STRING* mac = kt->key_info->imit;
    const ASN1_OCTET_STRING* key = kt->key_info->encrypted_key;
    const ASN1_OCTET_STRING* ukm = kt->key_agreement_info->eph_iv;
    if (ASN1_STRING_length(mac) != kMacLen || ASN1_STRING_length(key) != kKeyLen ||
        ASN1_STRING_length(ukm) != kUkmLen) {
        std::fprintf(stderr, "%s: MAC, key or UKM of a wrong length (%d, %d, %d)\n", fn,
                     ASN1_STRING_length(mac), ASN1_STRING_length(key), ASN1_STRING_length(ukm));
        return -6;
    }
    std::memcpy(f->mac, ASN1_STRING_get0_data(mac), kMacLen);
    std::memcpy(f->key, ASN1_STRING_get0_data(key), kKeyLen);
    std::memcpy(f->ukm, ASN1_STRING_get0_data(ukm), kUkmLen);
    f->cipher_nid = OBJ_obj2nid(kt->key_agreement_info->cipher);
    return 0;
}

// A key transport without an ephemeral key; the DER into out (room out_room). Its length or 0.
int DER_encode_encrypted_key_struct(const Fields& f, unsigned char* out, size_t out_room) {
    static const char fn[] = "DER_encode_encrypted_key_struct";
    Transport kt(TVK_KEY_TRANSPORT_new());
    if (!kt) {
        std::fprintf(stderr, "%s: TVK_KEY_TRANSPORT_new() failed\n", fn);
        return 0;
    }
    ASN1_OBJECT* cipher = OBJ_nid2obj(f.cipher_nid);
    if (!cipher || !ASN1_OCTET_STRING_set(kt->key_info->encrypted_key, f.key, kKeyLen) ||
        !ASN1_OCTET_STRING_set(kt->key_info->imit, f.mac, kMacLen) ||
        !ASN1_OCTET_STRING_set(kt->key_agreement_info->eph_iv, f.ukm, kUkmLen))
        return 0;
    ossl::Asn1Object made(kt->key_agreement_info->cipher);
    kt->key_agreement_info->cipher = cipher;  // a table object: freeing it changes nothing
    const int n = i2d_TVK_KEY_TRANSPORT(kt.get(), nullptr);
    unsigned char* p = out;
    if (n <= 0 || static_cast<size_t>(n) > out_room || i2d_TVK_KEY_TRANSPORT(kt.get(), &p) != n) {
        std::fprintf(stderr, "%s: i2d_TVK_KEY_TRANSPORT() failed\n", fn);
        return 0;
    }
    return n;
}

// A new record on the recipient's curve with a fresh key pair.
tvk_gost2012_key* GOST3410_generate_key(const tvk_gost2012_key* rcpt) {
    static const char fn[] = "GOST3410_generate_key";
    ossl::GostKey k(tvk_gost2012_alloc());
    if (!k) {
        std::fprintf(stderr, "%s: OPENSSL_malloc failed\n", fn);
        return nullptr;
    }
    if (!fill_GOST2012_params(k.get(), rcpt->pkey_nid, rcpt->param_nid) ||
        !tvk_gost2012_keygen_wrapper(nullptr, k.get())) {
        std::fprintf(stderr, "%s: tvk_gost2012_keygen_wrapper failed\n", fn);
        return nullptr;
    }
    return k.release();
}

HCRYPTKEY capi_load_recipient_public_key_from_der(HCRYPTPROV prov, HCRYPTKEY user,
                                                  const tvk_gost2012_key* pub) {
    unsigned char* raw = nullptr;
    unsigned int len = 0;
    if (!MakePubKeyBlob(pub, &raw, &len)) return 0;
    ossl::Bytes blob(raw);
    HCRYPTKEY agree = 0;
    return CryptImportKey(prov, blob.get(), len, user, 0, &agree) ? agree : 0;
}

bool set_export_alg(HCRYPTKEY key) {
    BYTE alg[4];
    put32(alg, CALG_PRO_EXPORT);
    return CryptSetKeyParam(key, KP_ALGID, alg, 0);
}

HCRYPTKEY mscryptoapi_insert_pub_key(HCRYPTPROV prov, HCRYPTKEY user, const tvk_gost2012_key* pub,
                                     const uint8_t* iv) {
    KeyHandle agree{capi_load_recipient_public_key_from_der(prov, user, pub)};
    bool ok = agree.h != 0;
    if (!ok) std::fprintf(stderr, "ERROR in %s!\n", "capi_load_recipient_public_key_from_der");
    if (ok && !(ok = set_export_alg(agree.h)))
        std::fputs("ERROR in CryptoSetKeyParam 1 function!\n", stderr);
    if (ok && !(ok = CryptSetKeyParam(agree.h, KP_IV, iv, 0)))
        std::fputs("ERROR in CryptoSetKeyParam 2 function!\n", stderr);
    if (!ok) {
        std::fprintf(stderr, "ERROR in %s!\n", "mscryptoapi_insert_pub_key");
        return 0;
    }
    return std::exchange(agree.h, 0);
}

// Unwraps the provider's SIMPLEBLOB in software. 0 and the key in out, or 1.
int capi_decrypt_key(const BYTE* blob, DWORD blob_len, const tvk_gost2012_key* eph,
                     const mscryptoapi_key* rcpt, int, uint8_t* out, size_t* out_len) {
    Fields f;
    f.cipher_nid = GetProvCipherNid(rcpt->prov);
    bool ok = f.cipher_nid != NID_undef && blob_len >= kBlobHead - 2;
    if (ok && blob_len > kBlobHead) {
        // A longer blob names its own set: the identifier at 62, as long as its length byte at
        // 63 says, which must lie wholly within the blob (a blob of 63 bytes has no length).
        const size_t id_len = blob_len > kBlobHead + 1 ? blob[kBlobHead + 1] + 2u : 0;
        ok = id_len > 2 && kBlobHead + id_len <= blob_len && blob[kBlobHead] == 0x06;
        const unsigned char* p = blob + kBlobHead;
        ossl::Asn1Object obj(ok ? d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(id_len))
                                : nullptr);
        f.cipher_nid = obj && p == blob + kBlobHead + id_len ? OBJ_obj2nid(obj.get()) : NID_undef;
        ok = f.cipher_nid != NID_undef;
        if (!ok)
            std::fprintf(stderr, "%s: the blob's parameter set is not whole\n", "capi_decrypt_key");
    }
    if (ok) {
        std::memcpy(f.ukm, blob + 16, kUkmLen);
        std::memcpy(f.key, blob + 24, kKeyLen);
        std::memcpy(f.mac, blob + 56, kMacLen);
    }
    unsigned char der[256];
    const int der_len = ok ? DER_encode_encrypted_key_struct(f, der, sizeof der) : 0;
    if (ok && der_len <= 0) {
        std::fprintf(stderr, "ERROR in %s function!\n", "capi_convert_enc_premaster_blob_to_buf");
        ok = false;
    }
    uint8_t key[kKeyLen];
    size_t key_len = sizeof key;
    if (ok && !t_gost3410_kek_dec(eph->priv_key, eph->priv_key_len, &rcpt->pub, der,
                                  static_cast<size_t>(der_len), key, &key_len)) {
        std::fprintf(stderr, "ERROR in GOST3410_TLS_KEK_dec   ---->  result =  %d!\n", 0);
        ok = false;
    }
    if (ok && (key_len != kKeyLen || *out_len < key_len)) ok = false;
    if (ok) {
        std::memcpy(out, key, key_len);
        *out_len = key_len;
    }
    OPENSSL_cleanse(key, sizeof key);
    if (!ok) std::fprintf(stderr, "ERROR in %s function!\n", "capi_decrypt_key");
    return ok ? 0 : 1;
}

int capi_export_key(HCRYPTKEY session, HCRYPTPROV prov, HCRYPTKEY user, const mscryptoapi_key* rcpt,
                    const uint8_t* ukm, uint8_t* out, size_t room) {
    ossl::GostKey eph(GOST3410_generate_key(&rcpt->pub));
    if (!eph) return -1;
    KeyHandle agree{mscryptoapi_insert_pub_key(prov, user, eph.get(), ukm)};
    int result = -1;
    BYTE blob[kExportRoom];
    DWORD len = sizeof blob;
    if (!agree.h) {
        // reported by the insertion
    } else if (!CryptExportKey(session, agree.h, SIMPLEBLOB, 0, blob, &len)) {
        std::fprintf(stderr, "ERROR in CryptExportKey function, GetLastError return : %ld!\n",
                     static_cast<long>(GetLastError()));
        std::fprintf(stderr, "ERROR in %s!\n", "capi_export_key");
    } else if (capi_decrypt_key(blob, len, eph.get(), rcpt, 1, out, &room) == 0) {
        result = static_cast<int>(room);
    }
    OPENSSL_cleanse(blob, sizeof blob);
    return result;
}

int EVP_PKEY_decrypt_csp(unsigned char* out, size_t room, const unsigned char* in, size_t in_len,
                         EVP_PKEY* recipient, const tvk_gost2012_key* peer, int* peer_used) {
    static const char fn[] = "EVP_PKEY_decrypt_csp";
    ossl::PKey eph;
    Fields f;
    const int rc = DER_decode_encrypted_key_struct(in, in_len, &eph, &f);
    if (rc != 0) {
        std::fprintf(stderr, "%s() : DER_decode_encrypted_key_struct() failed, retcode = %d\n", fn,
                     rc);
        return -1;
    }
    std::vector<uint8_t> cipher;
    if (!object_der(f.cipher_nid, cipher) || cipher.size() > 127) {
        std::fprintf(stderr, "%s() : unknown cipher parameter set\n", fn);
        return -1;
    }
    std::vector<BYTE> simple(kSimpleHead, kSimpleHead + sizeof kSimpleHead);
    simple.insert(simple.end(), f.ukm, f.ukm + kUkmLen);
    simple.insert(simple.end(), f.key, f.key + kKeyLen);
    simple.insert(simple.end(), f.mac, f.mac + kMacLen);
    simple.push_back(0x30);
    simple.push_back(static_cast<BYTE>(cipher.size()));
    simple.insert(simple.end(), cipher.begin(), cipher.end());

    const tvk_gost2012_key* sender = eph ? gost2012_record(eph.get()) : peer;
    *peer_used = eph ? 0 : 1;
    const mscryptoapi_key* rcpt = mscryptoapi_record(recipient);
    if (!sender || !rcpt) {
        std::fprintf(stderr, "%s() : no sender or recipient key\n", fn);
        return -1;
    }
    unsigned char* raw = nullptr;
    unsigned int pub_len = 0;
    if (!MakePubKeyBlob(sender, &raw, &pub_len)) {
        std::fprintf(stderr, "%s() : MakePubKeyBlob() failed\n", fn);
        return -1;
    }
    ossl::Bytes pub_blob(raw);
    KeyHandle user, agree, session;
    if (!CryptGetUserKey(rcpt->prov, rcpt->key_spec, &user.h)) {
        std::fprintf(stderr, "%s() : CryptGetUserKey() failed: 0x%08lX\n", fn,
                     static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    if (!CryptImportKey(rcpt->prov, pub_blob.get(), pub_len, user.h, 0, &agree.h)) {
        std::fprintf(stderr, "%s() : CryptImportKey failed: 0x%08lX\n", fn,
                     static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    if (!set_export_alg(agree.h)) {
        std::fprintf(stderr, "%s(): CryptSetKeyParam(KP_ALGID) failed: 0x%08lX\n", fn,
                     static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    if (!CryptImportKey(rcpt->prov, simple.data(), static_cast<DWORD>(simple.size()), agree.h,
                        CRYPT_EXPORTABLE, &session.h)) {
        std::fprintf(stderr, "%s() : CryptImportKey (decrypt session key) failed: 0x%08lX\n", fn,
                     static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    const int r = capi_export_key(session.h, rcpt->prov, user.h, rcpt, f.ukm, out, room);
    if (r < 1) std::fprintf(stderr, "%s() : capi_export_key_to_plaintext() failed\n", fn);
    return r;
}

}  // namespace

int MakePubKeyBlob(const tvk_gost2012_key* key, unsigned char** blob, unsigned int* blob_len) {
    if (!key || !blob || !blob_len) return 0;
    uint32_t alg;
    if (key->pkey_nid == objmap::nid(Obj::gost2001))
        alg = CALG_GR3410EL;
    else if (key->pkey_nid == objmap::nid(Obj::gost2012_256))
        alg = CALG_GR3410_12_256;
    else if (key->pkey_nid == objmap::nid(Obj::gost2012_512))
        alg = CALG_GR3410_12_512;
    else
        return 0;
    unsigned char* raw = nullptr;
    const int n = mscryptoapi_param_encode(key, &raw);
    ossl::Bytes params(raw);
    if (n <= 0) {
        std::fprintf(stderr, "%s() : i2d_GOST3410params() failed\n", "MakePubKeyBlob");
        return 0;
    }
    const size_t total = 16 + static_cast<size_t>(n) + key->pub_key_len;
    auto* out = static_cast<unsigned char*>(OPENSSL_malloc(total));
    if (!out) return 0;
    const BYTE head[4] = {PUBLICKEYBLOB, CUR_BLOB_VERSION_GOST, 0, 0};
    std::memcpy(out, head, 4);
    put32(out + 4, alg);
    std::memcpy(out + 8, "MAG1", 4);
    put32(out + 12, 8 * key->pub_key_len);
    std::memcpy(out + 16, raw, static_cast<size_t>(n));
    std::memcpy(out + 16 + n, key->pub_key, key->pub_key_len);
    *blob = out;
    *blob_len = static_cast<unsigned int>(total);
    return 1;
}

int GetProvCipherNid(HCRYPTPROV prov) {
    static const char fn[] = "GetProvCipherNid";
    char text[51] = {};
    DWORD len = 50;
    if (!CryptGetProvParam(prov, PP_CIPHEROID, reinterpret_cast<BYTE*>(text), &len, 0)) {
        if (GetLastError() != NTE_BAD_TYPE) {
            std::fprintf(
                stderr,
                "%s() : CryptGetProvParam( PP_CIPHEROID ) failed, GetLastError() = 0x%08lX\n", fn,
                static_cast<unsigned long>(GetLastError()));
            return NID_undef;
        }
        // Older providers name their parameter set only on a key.
        KeyHandle tmp;
        if (!CryptGenKey(prov, CALG_G28147, 0, &tmp.h)) {
            std::fprintf(stderr, "%s() : CryptGenKey( CALG_G28147 ) failed\n", fn);
            return NID_undef;
        }
        len = 50;
        if (!CryptGetKeyParam(tmp.h, KP_CIPHEROID, reinterpret_cast<BYTE*>(text), &len, 0)) {
            std::fprintf(stderr, "%s() : CryptGetKeyParam( KP_CIPHEROID ) failed\n", fn);
            return NID_undef;
        }
    }
    text[50] = '\0';
    const int nid = OBJ_txt2nid(text);
    if (nid == NID_undef) std::fprintf(stderr, "%s() : OBJ_txt2nid( '%s' ) failed\n", fn, text);
    return nid;
}

int pkey_mscryptoapi_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* out_len,
                             const unsigned char* in, size_t in_len) {
    return engines::guarded("pkey_mscryptoapi_decrypt", -1, [&] {
        if (!out_len) return -1;
        if (!out) {
            *out_len = kKeyLen;
            return 1;
        }
        if (*out_len < kKeyLen) return -1;
        EVP_PKEY* peer = EVP_PKEY_CTX_get0_peerkey(ctx);
        int peer_used = 0;
        const int r = EVP_PKEY_decrypt_csp(out, *out_len, in, in_len, EVP_PKEY_CTX_get0_pkey(ctx),
                                           peer ? gost2012_record(peer) : nullptr, &peer_used);
        if (r <= 0) return -1;
        *out_len = static_cast<size_t>(r);
        if (peer_used && EVP_PKEY_CTX_ctrl(ctx, -1, -1, EVP_PKEY_CTRL_PEER_KEY, 3, nullptr) < 1) {
            std::fprintf(stderr, "%s: EVP_PKEY_CTX_ctrl failed\n", "pkey_mscryptoapi_decrypt");
            return -1;
        }
        return r;
    });
}
