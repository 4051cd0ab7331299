// The stand-in's providers: key containers, hashes, signing, RSA decryption and the GOST key
// blobs (VKO agreement keys, CryptoPro key export with KEK diversification, ECB and MAC).
#include <openssl/core_names.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "gost/gost28147_params.h"
#include "gost/gostr3410.h"
#include "platform/capi/capi_state.h"

namespace capi {
using namespace detail;
namespace {

constexpr size_t kKeyLen = 32, kUkmLen = 8, kMacLen = 4;
constexpr size_t kSimpleBlobHead = 60;  // up to and with the MAC
constexpr BYTE kSimpleMagic[4] = {0xFD, 0x51, 0x4A, 0x37};
constexpr BYTE kPublicMagic[4] = {'M', 'A', 'G', '1'};

struct ProvCtx {
    std::shared_ptr<Container> c;
    std::u16string provider;
    DWORD type = 0;
    bool silent = false;
    bool pin_ok[3] = {false, false, false};  // by key spec
};

enum class Role { kUser, kAgree, kSession };

struct KeyObj {
    Role role = Role::kUser;
    std::shared_ptr<ProvCtx> prov;
    std::shared_ptr<Key> key;  // user and agreement keys: the private key
    DWORD spec = 0;
    // agreement key
    std::array<uint8_t, 128> peer{};
    ALG_ID alg = 0;
    Bytes iv;
    // session key
    std::array<uint8_t, kKeyLen> value{};
    const GOST28147_89_PARAMS* cipher = nullptr;
    bool exportable = false;
    ~KeyObj() { OPENSSL_cleanse(value.data(), value.size()); }
};

struct HashObj {
    std::shared_ptr<ProvCtx> prov;
    ALG_ID alg = 0;
    size_t size = 0;
    Bytes value;
};

struct Handles {
    uintptr_t next = 0x1000;
    std::map<uintptr_t, std::shared_ptr<ProvCtx>> provs;
    std::map<uintptr_t, std::shared_ptr<KeyObj>> keys;
    std::map<uintptr_t, std::shared_ptr<HashObj>> hashes;
};

Handles& handles() {
    static Handles* h = new Handles;
    return *h;
}

template <class T>
std::shared_ptr<T> find(std::map<uintptr_t, std::shared_ptr<T>>& m, uintptr_t h) {
    auto it = m.find(h);
    return it == m.end() ? nullptr : it->second;
}

template <class T>
uintptr_t add(std::map<uintptr_t, std::shared_ptr<T>>& m, std::shared_ptr<T> v) {
    const uintptr_t h = handles().next++;
    m[h] = std::move(v);
    return h;
}

// Takes the lock, counts the call and applies an injected failure.
struct Call {
    std::lock_guard<std::mutex> lock{state_lock()};
    State& s = state();
    bool failed;
    explicit Call(const char* function) : failed(false) {
        ++s.calls.provider_calls;
        failed = injected_failure(s, function);
    }
};

size_t hash_size(ALG_ID alg) {
    switch (alg) {
        case CALG_MD5:
            return 16;
        case CALG_SHA1:
            return 20;
        case CALG_SSL3_SHAMD5:
            return 36;
        case CALG_SHA_256:
        case CALG_GR3411:
        case CALG_GR3411_2012_256:
            return 32;
        case CALG_SHA_384:
            return 48;
        case CALG_SHA_512:
        case CALG_GR3411_2012_512:
            return 64;
        default:
            return 0;
    }
}

bool hash_fits(Kind kind, ALG_ID alg) {
    const bool gost =
        alg == CALG_GR3411 || alg == CALG_GR3411_2012_256 || alg == CALG_GR3411_2012_512;
    if (kind == Kind::kGost) return gost;
    if (kind == Kind::kDsa) return alg == CALG_SHA1 || alg == CALG_MD5;
    return !gost;
}

const EVP_MD* rsa_digest(ALG_ID alg) {
    switch (alg) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SSL3_SHAMD5:
            return EVP_md5_sha1();
        case CALG_SHA_256:
            return EVP_sha256();
        case CALG_SHA_384:
            return EVP_sha384();
        default:
            return EVP_sha512();
    }
}

// A PIN-protected key is usable once its PIN was set; nobody can be asked for it here.
bool pin_allows(const ProvCtx& p, DWORD spec) {
    if (!p.c->pin || p.pin_ok[spec]) return true;
    return fail(p.silent ? NTE_SILENT_CONTEXT : SCARD_W_CANCELLED_BY_USER);
}

std::shared_ptr<Key> user_key(const ProvCtx& p, DWORD spec) {
    auto it = p.c->keys.find(spec);
    if (it == p.c->keys.end()) return fail(NTE_NO_KEY), nullptr;
    return it->second;
}

BOOL give(const Bytes& out, BYTE* buf, DWORD* len) {
    if (!buf) {
        *len = static_cast<DWORD>(out.size());
        return 1;
    }
    if (*len < out.size()) {
        *len = static_cast<DWORD>(out.size());
        return fail(ERROR_MORE_DATA);
    }
    std::memcpy(buf, out.data(), out.size());
    *len = static_cast<DWORD>(out.size());
    return 1;
}

int system_random(unsigned char* buf, size_t len) {
    return RAND_bytes(buf, static_cast<int>(len)) == 1 ? 0 : -1;
}

Bytes sign_rsa_dsa(const Key& k, const HashObj& h) {
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(k.pkey.get(), nullptr));
    size_t n = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return {};
    if (k.kind == Kind::kRsa && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                 EVP_PKEY_CTX_set_signature_md(ctx.get(), rsa_digest(h.alg)) != 1))
        return {};
    if (EVP_PKEY_sign(ctx.get(), nullptr, &n, h.value.data(), h.size) != 1) return {};
    Bytes sig(n);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &n, h.value.data(), h.size) != 1) return {};
    sig.resize(n);
    if (k.kind == Kind::kRsa) {
        std::reverse(sig.begin(), sig.end());
        return sig;
    }
    // DSA: r || s, each as long as q, little-endian.
    const unsigned char* p = sig.data();
    std::unique_ptr<DSA_SIG, decltype(&DSA_SIG_free)> ds(
        d2i_DSA_SIG(nullptr, &p, static_cast<long>(n)), DSA_SIG_free);
    BIGNUM* q = nullptr;
    if (!ds || !EVP_PKEY_get_bn_param(k.pkey.get(), OSSL_PKEY_PARAM_FFC_Q, &q)) return {};
    ossl::Bn q_owner(q);
    const int qn = BN_num_bytes(q);
    const BIGNUM *r = nullptr, *s = nullptr;
    DSA_SIG_get0(ds.get(), &r, &s);
    Bytes out(2 * static_cast<size_t>(qn));
    if (BN_bn2lebinpad(r, out.data(), qn) < 0 || BN_bn2lebinpad(s, out.data() + qn, qn) < 0)
        return {};
    return out;
}

Bytes sign_gost(const Key& k, const HashObj& h, RND_FUNC rnd) {
    Bytes sig(2 * k.size);
    int rc;
    if (k.size == 32) {
        const gostr3410_256_params* prm = nullptr;
        DIGIT_T d[EC256_DIGITS], e[EC256_DIGITS], rs[2 * EC256_DIGITS];
        rc = GOSTR3410_2012_256_FindParByDerOid(k.curve_der.data(), k.curve_der.size(), &prm);
        if (rc == 0) rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, k.priv.data());
        if (rc == 0) rc = GOSTR3410_2012_256_LoadDigestValue(e, h.value.data());
        if (rc == 0) rc = GOSTR3410_2012_256_Sign(prm, e, rnd, d, rs);
        if (rc == 0) rc = GOSTR3410_2012_256_UnloadSignatureValue(sig.data(), rs);
        mpWipe(d, sizeof d);
    } else {
        const gostr3410_512_params* prm = nullptr;
        DIGIT_T d[EC512_DIGITS], e[EC512_DIGITS], rs[2 * EC512_DIGITS];
        rc = GOSTR3410_2012_512_FindParByDerOid(k.curve_der.data(), k.curve_der.size(), &prm);
        if (rc == 0) rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, k.priv.data());
        if (rc == 0) rc = GOSTR3410_2012_512_LoadDigestValue(e, h.value.data());
        if (rc == 0) rc = GOSTR3410_2012_512_Sign(prm, e, rnd, d, rs);
        if (rc == 0) rc = GOSTR3410_2012_512_UnloadSignatureValue(sig.data(), rs);
        mpWipe(d, sizeof d);
    }
    if (rc != 0) return {};
    std::reverse(sig.begin(), sig.end());  // s || r big-endian becomes the provider's order
    return sig;
}

// The 32-byte VKO value of the user key and a peer public key under an 8-byte UKM.
bool vko(const Key& k, const uint8_t* peer, const uint8_t* ukm, uint8_t* kek) {
    int rc;
    if (k.size == 32) {
        const gostr3410_256_params* prm = nullptr;
        DIGIT_T d[EC256_DIGITS];
        ep_point Q;
        rc = GOSTR3410_2012_256_FindParByDerOid(k.curve_der.data(), k.curve_der.size(), &prm);
        if (rc == 0) rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, k.priv.data());
        if (rc == 0) rc = GOSTR3410_2012_256_LoadPublicKeyValue(&Q, peer);
        if (rc == 0 && k.alg == CALG_GR3410EL) {
            const GOSTR3411_94_PARAMS* hp = nullptr;
            if (GOSTR3411_94_FindParByDerOid(k.digest_der.data(),
                                             static_cast<uint32_t>(k.digest_der.size()), &hp) != 0)
                hp = GOSTR3411_94_DefaultPar();
            rc = GOSTR3410_2001_VKO(prm, hp, ukm, kUkmLen, d, &Q, kek);
        } else if (rc == 0) {
            rc = GOSTR3410_2012_256_VKO_256(prm, ukm, kUkmLen, d, &Q, kek);
        }
        mpWipe(d, sizeof d);
        return rc == 0;
    }
    const gostr3410_512_params* prm = nullptr;
    DIGIT_T d[EC512_DIGITS];
    dep_point Q;
    rc = GOSTR3410_2012_512_FindParByDerOid(k.curve_der.data(), k.curve_der.size(), &prm);
    if (rc == 0) rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, k.priv.data());
    if (rc == 0) rc = GOSTR3410_2012_512_LoadPublicKeyValue(&Q, peer);
    if (rc == 0) rc = GOSTR3410_2012_512_VKO_256(prm, ukm, kUkmLen, d, &Q, kek);
    mpWipe(d, sizeof d);
    return rc == 0;
}

// One GOST 28147-89 pass over 32 bytes under the diversified KEK: ECB either way, or the MAC.
bool kek_pass(const GOST28147_89_PARAMS* row, const uint8_t* kek, uint32_t mode, int encrypt,
              const uint8_t* ukm, const uint8_t* in, uint8_t* out) {
    GOST28147_89_CTX ctx;
    const GOST_BLOB src{static_cast<uint32_t>(kKeyLen), const_cast<uint8_t*>(in)};
    GOST_BLOB dst{static_cast<uint32_t>(kKeyLen), out};
    int rc = GOST28147_89_Init(&ctx, encrypt, row->tz, mode, 0,
                               mode == GOST28147_89_MODE_MAC ? ukm : nullptr, kek);
    if (rc == 0)
        rc = GOST28147_89_Update(&ctx, &src, mode == GOST28147_89_MODE_MAC ? nullptr : &dst);
    if (rc == 0) rc = GOST28147_89_Final(&ctx);
    if (rc == 0 && mode == GOST28147_89_MODE_MAC)
        for (size_t i = 0; i < kMacLen; ++i) out[i] = static_cast<uint8_t>(ctx.mac[0] >> (8 * i));
    OPENSSL_cleanse(&ctx, sizeof ctx);
    return rc == 0;
}

// The CryptoPro key export: KEK diversified by the UKM, then ECB and a 4-byte MAC.
bool wrap(const KeyObj& agree, const uint8_t* ukm, const GOST28147_89_PARAMS* row,
          const uint8_t* key, uint8_t* enc, uint8_t* mac) {
    uint8_t kek[kKeyLen], kek2[kKeyLen];
    const bool ok = vko(*agree.key, agree.peer.data(), ukm, kek) &&
                    GOST28147_89_KDF(row->tz, kek, ukm, kek2) == 0 &&
                    kek_pass(row, kek2, GOST28147_89_MODE_ECB, 1, nullptr, key, enc) &&
                    kek_pass(row, kek2, GOST28147_89_MODE_MAC, 1, ukm, key, mac);
    OPENSSL_cleanse(kek, sizeof kek);
    OPENSSL_cleanse(kek2, sizeof kek2);
    return ok;
}

bool unwrap(const KeyObj& agree, const uint8_t* ukm, const GOST28147_89_PARAMS* row,
            const uint8_t* enc, const uint8_t* mac, uint8_t* key) {
    uint8_t kek[kKeyLen], kek2[kKeyLen], check[kMacLen];
    bool ok = vko(*agree.key, agree.peer.data(), ukm, kek) &&
              GOST28147_89_KDF(row->tz, kek, ukm, kek2) == 0 &&
              kek_pass(row, kek2, GOST28147_89_MODE_ECB, 0, nullptr, enc, key) &&
              kek_pass(row, kek2, GOST28147_89_MODE_MAC, 1, ukm, key, check);
    ok = ok && CRYPTO_memcmp(check, mac, kMacLen) == 0;
    OPENSSL_cleanse(kek, sizeof kek);
    OPENSSL_cleanse(kek2, sizeof kek2);
    if (!ok) OPENSSL_cleanse(key, kKeyLen);
    return ok;
}

const GOST28147_89_PARAMS* cipher_by_dotted(const std::string& dotted) {
    for (const auto& row : kGost28147Params)
        if (dotted == row.oid) return &row;
    return nullptr;
}

const GOST28147_89_PARAMS* provider_cipher(State& s, const ProvCtx& p) {
    auto it = s.providers.find(p.provider);
    return cipher_by_dotted(it == s.providers.end() ? std::string("1.2.643.7.1.2.5.1.1")
                                                    : it->second.cipher_oid);
}

uint32_t le32(const BYTE* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A whole DER SEQUENCE at p within n bytes: its first element must be the curve identifier.
bool params_name_curve(const BYTE* p, size_t n, const Bytes& curve, size_t* total) {
    if (n < 2 || p[0] != 0x30 || p[1] > 0x7F || static_cast<size_t>(p[1]) + 2 > n) return false;
    *total = static_cast<size_t>(p[1]) + 2;
    return *total >= 2 + curve.size() && std::equal(curve.begin(), curve.end(), p + 2);
}

BOOL import_public(Call& c, const std::shared_ptr<KeyObj>& user, const BYTE* blob, DWORD len,
                   HCRYPTKEY* out) {
    if (!user || user->role != Role::kUser || !user->key || user->key->kind != Kind::kGost)
        return fail(NTE_BAD_KEY);
    const Key& k = *user->key;
    if (len < 16 || blob[1] != CUR_BLOB_VERSION_GOST ||
        std::memcmp(blob + 8, kPublicMagic, 4) != 0 || le32(blob + 12) != 16 * k.size)
        return fail(NTE_BAD_DATA);
    size_t params = 0;
    if (!params_name_curve(blob + 16, len - 16, k.curve_der, &params))
        return fail(NTE_BAD_PUBLIC_KEY);
    if (len != 16 + params + 2 * k.size) return fail(NTE_BAD_DATA);
    if (!pin_allows(*user->prov, user->spec)) return 0;
    auto agree = std::make_shared<KeyObj>();
    agree->role = Role::kAgree;
    agree->prov = user->prov;
    agree->key = user->key;
    agree->spec = user->spec;
    std::memcpy(agree->peer.data(), blob + 16 + params, 2 * k.size);
    *out = add(handles().keys, agree);
    return 1;
}

BOOL import_simple(Call& c, const std::shared_ptr<KeyObj>& agree, const BYTE* blob, DWORD len,
                   DWORD flags, HCRYPTKEY* out) {
    if (!agree || agree->role != Role::kAgree) return fail(NTE_BAD_KEY);
    if (agree->alg != CALG_PRO_EXPORT) return fail(NTE_BAD_ALGID);
    if (len < kSimpleBlobHead || blob[1] != CUR_BLOB_VERSION_GOST ||
        le32(blob + 4) != CALG_G28147 || std::memcmp(blob + 8, kSimpleMagic, 4) != 0 ||
        le32(blob + 12) != CALG_G28147)
        return fail(NTE_BAD_DATA);
    const GOST28147_89_PARAMS* row = provider_cipher(c.s, *agree->prov);
    if (len > kSimpleBlobHead) {
        // 30 N, then the whole identifier element.
        if (len < kSimpleBlobHead + 4 || blob[60] != 0x30 || blob[62] != 0x06 ||
            len != 62u + blob[61] || blob[61] != blob[63] + 2u)
            return fail(NTE_BAD_DATA);
        if (GOST28147_89_FindParByDerOid(blob + 62, blob[61], &row) != 0)
            return fail(NTE_BAD_ALGID);
    }
    if (!row) return fail(NTE_BAD_ALGID);
    auto session = std::make_shared<KeyObj>();
    session->role = Role::kSession;
    session->prov = agree->prov;
    session->cipher = row;
    session->exportable = (flags & CRYPT_EXPORTABLE) != 0;
    if (!unwrap(*agree, blob + 16, row, blob + 24, blob + 56, session->value.data()))
        return fail(NTE_BAD_DATA);
    *out = add(handles().keys, session);
    return 1;
}

std::shared_ptr<ProvCtx> open_container(State& s, const std::u16string& container,
                                        const std::u16string& provider, DWORD type, DWORD flags) {
    s.calls.acquired_provider = provider;
    s.calls.acquired_type = type;
    s.calls.acquire_flags = flags;
    if (flags & ~CRYPT_SILENT) return fail(NTE_BAD_FLAGS), nullptr;
    auto pit = s.providers.find(provider);
    if (pit == s.providers.end()) return fail(NTE_KEYSET_NOT_DEF), nullptr;
    if (pit->second.type != type) return fail(NTE_PROV_TYPE_NO_MATCH), nullptr;
    Kind kind;
    if (!kind_of_type(type, &kind)) return fail(NTE_PROV_TYPE_NOT_DEF), nullptr;
    auto cit = s.containers.find({kind, container});
    if (cit == s.containers.end()) return fail(NTE_BAD_KEYSET), nullptr;
    auto p = std::make_shared<ProvCtx>();
    p->c = cit->second;
    p->provider = provider;
    p->type = type;
    p->silent = (flags & CRYPT_SILENT) != 0;
    return p;
}

}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider, DWORD type,
                          DWORD flags) {
    Call c("CryptAcquireContextW");
    if (c.failed) return 0;
    if (!prov || !container || !provider) return fail(ERROR_INVALID_PARAMETER);
    auto p = open_container(c.s, container, provider, type, flags);
    if (!p) return 0;
    *prov = add(handles().provs, p);
    return 1;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT cert, DWORD flags, void*, HCRYPTPROV* prov,
                                       DWORD* key_spec, BOOL* caller_free) {
    Call c("CryptAcquireCertificatePrivateKey");
    if (c.failed) return 0;
    if (!cert || !prov || !key_spec) return fail(ERROR_INVALID_PARAMETER);
    const auto& info = static_cast<const CertCtx*>(cert)->entry->prov;
    if (!info) return fail(CRYPT_E_NOT_FOUND);
    auto p = open_container(c.s, info->container, info->provider, info->provider_type,
                            flags & CRYPT_ACQUIRE_SILENT_FLAG ? CRYPT_SILENT : 0);
    if (!p) return 0;
    *prov = add(handles().provs, p);
    *key_spec = info->key_spec;
    if (caller_free) *caller_free = 1;
    return 1;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD) {
    Call c("CryptReleaseContext");
    return handles().provs.erase(prov) ? 1 : fail(NTE_BAD_UID);
}

BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD) {
    Call c("CryptSetProvParam");
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p) return fail(NTE_BAD_UID);
    c.s.calls.pin_param = param;
    if (param != PP_KEYEXCHANGE_PIN && param != PP_SIGNATURE_PIN) return fail(NTE_BAD_TYPE);
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    const DWORD spec = param == PP_SIGNATURE_PIN ? AT_SIGNATURE : AT_KEYEXCHANGE;
    const std::string pin(reinterpret_cast<const char*>(data));
    if (p->c->pin && *p->c->pin != pin) return fail(SCARD_W_WRONG_CHV);
    p->pin_ok[spec] = true;
    return 1;
}

BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* len, DWORD) {
    Call c("CryptGetProvParam");
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p || !len) return fail(p ? ERROR_INVALID_PARAMETER : NTE_BAD_UID);
    auto it = c.s.providers.find(p->provider);
    if (param != PP_CIPHEROID || p->c->kind != Kind::kGost || it == c.s.providers.end() ||
        !it->second.answers_cipher_oid)
        return fail(NTE_BAD_TYPE);
    const std::string& oid = it->second.cipher_oid;
    return give(Bytes(oid.c_str(), oid.c_str() + oid.size() + 1), data, len);
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
    Call c("CryptCreateHash");
    c.s.calls.hash_alg = alg;
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p || !hash) return fail(p ? ERROR_INVALID_PARAMETER : NTE_BAD_UID);
    if (hash_size(alg) == 0 || !hash_fits(p->c->kind, alg)) return fail(NTE_BAD_ALGID);
    auto h = std::make_shared<HashObj>();
    h->prov = p;
    h->alg = alg;
    h->size = hash_size(alg);
    *hash = add(handles().hashes, h);
    return 1;
}

BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD) {
    Call c("CryptSetHashParam");
    if (c.failed) return 0;
    auto h = find(handles().hashes, hash);
    if (!h) return fail(NTE_BAD_HASH);
    if (param != HP_HASHVAL) return fail(NTE_BAD_TYPE);
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    h->value.assign(data, data + h->size);
    return 1;
}

BOOL CryptSignHashA(HCRYPTHASH hash, DWORD spec, LPCSTR, DWORD, BYTE* sig, DWORD* len) {
    Call c("CryptSignHashA");
    if (c.failed) return 0;
    auto h = find(handles().hashes, hash);
    if (!h || h->value.empty()) return fail(NTE_BAD_HASH);
    if (!len) return fail(ERROR_INVALID_PARAMETER);
    auto k = user_key(*h->prov, spec);
    if (!k) return 0;
    if (k->kind == Kind::kGost && h->size != k->size) return fail(NTE_BAD_ALGID);
    if (!pin_allows(*h->prov, spec)) return 0;
    const Bytes out = k->kind == Kind::kGost
                          ? sign_gost(*k, *h, c.s.gost_random ? c.s.gost_random : system_random)
                          : sign_rsa_dsa(*k, *h);
    if (out.empty()) return fail(NTE_BAD_DATA);
    return give(out, sig, len);
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
    Call c("CryptDestroyHash");
    return handles().hashes.erase(hash) ? 1 : fail(NTE_BAD_HASH);
}

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD spec, HCRYPTKEY* key) {
    Call c("CryptGetUserKey");
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p || !key) return fail(p ? ERROR_INVALID_PARAMETER : NTE_BAD_UID);
    auto k = user_key(*p, spec);
    if (!k) return 0;
    auto obj = std::make_shared<KeyObj>();
    obj->prov = p;
    obj->key = k;
    obj->spec = spec;
    *key = add(handles().keys, obj);
    return 1;
}

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
    Call c("CryptGenKey");
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p || !key) return fail(p ? ERROR_INVALID_PARAMETER : NTE_BAD_UID);
    if (alg != CALG_G28147 || p->c->kind != Kind::kGost) return fail(NTE_BAD_ALGID);
    auto obj = std::make_shared<KeyObj>();
    obj->role = Role::kSession;
    obj->prov = p;
    obj->cipher = provider_cipher(c.s, *p);
    obj->exportable = (flags & CRYPT_EXPORTABLE) != 0;
    if (!obj->cipher || RAND_bytes(obj->value.data(), kKeyLen) != 1) return fail(NTE_BAD_ALGID);
    *key = add(handles().keys, obj);
    return 1;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
    Call c("CryptDestroyKey");
    return handles().keys.erase(key) ? 1 : fail(NTE_BAD_KEY);
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH, BOOL final, DWORD, BYTE* data, DWORD* len) {
    Call c("CryptDecrypt");
    if (c.failed) return 0;
    auto k = find(handles().keys, key);
    if (!k || k->role != Role::kUser || k->key->kind != Kind::kRsa) return fail(NTE_BAD_KEY);
    if (!data || !len || !final) return fail(ERROR_INVALID_PARAMETER);
    if (*len != static_cast<DWORD>(EVP_PKEY_get_size(k->key->pkey.get()))) return fail(NTE_BAD_LEN);
    if (!pin_allows(*k->prov, k->spec)) return 0;
    Bytes in(data, data + *len);
    std::reverse(in.begin(), in.end());
    ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(k->key->pkey.get(), nullptr));
    size_t n = in.size();
    Bytes out(n);
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), out.data(), &n, in.data(), in.size()) != 1)
        return fail(NTE_BAD_DATA);
    std::memcpy(data, out.data(), n);
    OPENSSL_cleanse(out.data(), out.size());
    *len = static_cast<DWORD>(n);
    return 1;
}

BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD) {
    Call c("CryptSetKeyParam");
    if (c.failed) return 0;
    auto k = find(handles().keys, key);
    if (!k) return fail(NTE_BAD_KEY);
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    if (k->role != Role::kAgree) return fail(NTE_BAD_TYPE);
    if (param == KP_ALGID) {
        const ALG_ID alg = le32(data);
        if (alg != CALG_PRO_EXPORT) return fail(NTE_BAD_ALGID);
        k->alg = alg;
        return 1;
    }
    if (param == KP_IV) {
        k->iv.assign(data, data + kUkmLen);
        return 1;
    }
    return fail(NTE_BAD_TYPE);
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* len, DWORD) {
    Call c("CryptGetKeyParam");
    if (c.failed) return 0;
    auto k = find(handles().keys, key);
    if (!k || !len) return fail(k ? ERROR_INVALID_PARAMETER : NTE_BAD_KEY);
    if (param != KP_CIPHEROID || k->role != Role::kSession) return fail(NTE_BAD_TYPE);
    const std::string oid = k->cipher->oid;
    return give(Bytes(oid.c_str(), oid.c_str() + oid.size() + 1), data, len);
}

BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* blob, DWORD len, HCRYPTKEY with, DWORD flags,
                    HCRYPTKEY* key) {
    Call c("CryptImportKey");
    if (c.failed) return 0;
    auto p = find(handles().provs, prov);
    if (!p) return fail(NTE_BAD_UID);
    if (!blob || !key || len < 4) return fail(ERROR_INVALID_PARAMETER);
    auto w = find(handles().keys, with);
    if (blob[0] == PUBLICKEYBLOB) return import_public(c, w, blob, len, key);
    if (blob[0] == SIMPLEBLOB) return import_simple(c, w, blob, len, flags, key);
    return fail(NTE_BAD_TYPE);
}

BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY with, DWORD type, DWORD, BYTE* blob, DWORD* len) {
    Call c("CryptExportKey");
    if (c.failed) return 0;
    auto k = find(handles().keys, key);
    auto w = find(handles().keys, with);
    if (!k || !w || k->role != Role::kSession || w->role != Role::kAgree) return fail(NTE_BAD_KEY);
    if (!len) return fail(ERROR_INVALID_PARAMETER);
    if (type != SIMPLEBLOB) return fail(NTE_BAD_TYPE);
    if (!k->exportable) return fail(NTE_BAD_KEY_STATE);
    if (w->alg != CALG_PRO_EXPORT) return fail(NTE_BAD_ALGID);
    if (w->iv.size() != kUkmLen) return fail(NTE_BAD_KEY_STATE);
    if (!pin_allows(*w->prov, w->spec)) return 0;
    Bytes out(kSimpleBlobHead + 2 + k->cipher->der_len);
    const BYTE head[16] = {SIMPLEBLOB,
                           CUR_BLOB_VERSION_GOST,
                           0,
                           0,
                           0x1E,
                           0x66,
                           0,
                           0,
                           kSimpleMagic[0],
                           kSimpleMagic[1],
                           kSimpleMagic[2],
                           kSimpleMagic[3],
                           0x1E,
                           0x66,
                           0,
                           0};
    std::copy(std::begin(head), std::end(head), out.begin());
    std::copy(w->iv.begin(), w->iv.end(), out.begin() + 16);
    if (!wrap(*w, w->iv.data(), k->cipher, k->value.data(), out.data() + 24, out.data() + 56))
        return fail(NTE_BAD_KEY);
    out[60] = 0x30;
    out[61] = static_cast<BYTE>(k->cipher->der_len);
    std::copy(k->cipher->der, k->cipher->der + k->cipher->der_len, out.begin() + 62);
    if (c.s.export_tail) {
        out.resize(kSimpleBlobHead);
        out.insert(out.end(), c.s.export_tail->begin(), c.s.export_tail->end());
    }
    return give(out, blob, len);
}

}  // namespace capi
