// The GOST test token. One process-wide state under one lock; handles are never reused.
#include "p11token.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "engines/pkcs11/p11_defs.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3410.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Object {
    CK_SLOT_ID slot = 0;
    CK_OBJECT_CLASS cls = 0;
    CK_SESSION_HANDLE owner = 0;  // session objects die with their session
    Bytes id, value;              // value: certificate DER, private scalar or derived key
    Bytes params;                 // curve identifier of a key
    int kind = 0;
    bool sensitive = false;
    // Every other attribute as a reader sees it; a test may add or replace any of them.
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;
};

struct Slot {
    Bytes pin;
    std::string label;
    bool broken = false;
    bool logged_in = false;
};

struct Session {
    CK_SLOT_ID slot = 0;
    std::vector<CK_OBJECT_HANDLE> found;  // an active search
    bool searching = false;
    CK_OBJECT_HANDLE sign_key = 0;
    CK_MECHANISM_TYPE sign_mech = 0;
};

struct Token {
    std::mutex lock;
    bool initialised = false;
    std::map<CK_SLOT_ID, Slot> slots;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_OBJECT_HANDLE, Object> objects;
    unsigned long next_handle = 1;
    long faults[P11TOKEN_FAULT_COUNT] = {};
    p11token_stats stats{};
};

Token& token() {
    static Token* t = new Token;
    return *t;
}

int random_bytes(unsigned char* buf, size_t len) {
    return getrandom(buf, len, 0) == static_cast<ssize_t>(len) ? 0 : 1;
}

bool is_512(int kind) {
    return kind == P11TOKEN_GOST2012_512;
}

// Guards every entry: initialised, and the session known.
#define TOKEN_ENTRY()                         \
    Token& t = token();                       \
    std::lock_guard<std::mutex> hold(t.lock); \
    if (!t.initialised) return CKR_CRYPTOKI_NOT_INITIALIZED

Session* session_of(Token& t, CK_SESSION_HANDLE h) {
    auto it = t.sessions.find(h);
    return it == t.sessions.end() ? nullptr : &it->second;
}

// The object if the session may see it: same slot, private keys only after login.
Object* visible(Token& t, Session& s, CK_OBJECT_HANDLE h) {
    auto it = t.objects.find(h);
    if (it == t.objects.end() || it->second.slot != s.slot) return nullptr;
    if (it->second.cls == CKO_PRIVATE_KEY && !t.slots[s.slot].logged_in) return nullptr;
    return &it->second;
}

CK_RV put(CK_ATTRIBUTE& a, const void* v, size_t n) {
    if (!a.pValue) {
        a.ulValueLen = n;
        return CKR_OK;
    }
    if (a.ulValueLen < n) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(a.pValue, v, n);
    a.ulValueLen = n;
    return CKR_OK;
}

bool attr_matches(const Object& o, const CK_ATTRIBUTE& a) {
    if (a.type == CKA_CLASS)
        return a.ulValueLen == sizeof(CK_OBJECT_CLASS) &&
               *static_cast<const CK_OBJECT_CLASS*>(a.pValue) == o.cls;
    const Bytes want(static_cast<const unsigned char*>(a.pValue),
                     static_cast<const unsigned char*>(a.pValue) + a.ulValueLen);
    if (a.type == CKA_ID) return want == o.id;
    auto it = o.attrs.find(a.type);
    return it != o.attrs.end() && it->second == want;
}

template <class T>
Bytes bytes_of(T v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

// The digest parameter set a key kind is made with (DER).
Bytes digest_params(int kind) {
    static const unsigned char k94[] = {6, 7, 0x2A, 0x85, 3, 2, 2, 0x1E, 1};
    static const unsigned char k256[] = {6, 8, 0x2A, 0x85, 3, 7, 1, 1, 2, 2};
    static const unsigned char k512[] = {6, 8, 0x2A, 0x85, 3, 7, 1, 1, 2, 3};
    if (kind == P11TOKEN_GOST2001) return Bytes(std::begin(k94), std::end(k94));
    return kind == P11TOKEN_GOST2012_256 ? Bytes(std::begin(k256), std::end(k256))
                                         : Bytes(std::begin(k512), std::end(k512));
}

// The public point of a private scalar on the key's curve, x || y little-endian.
int gost_public(int kind, const Bytes& params, const Bytes& priv, Bytes& pub) {
    pub.resize(is_512(kind) ? 128 : 64);
    return GOSTR3410_2012_PublicKeyFromPrivate(params.data(), params.size(), priv.data(),
                                               priv.size(), pub.data());
}

// The private and the public object of a key pair, with the attributes a real token shows.
CK_OBJECT_HANDLE add_pair(Token& t, CK_SLOT_ID slot, const Bytes& id, int kind, const Bytes& params,
                          const Bytes& priv) {
    Bytes pub;
    if (gost_public(kind, params, priv, pub) != 0) return 0;
    const CK_OBJECT_HANDLE h = t.next_handle;
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        Object& o = t.objects[t.next_handle++];
        o.slot = slot;
        o.cls = cls;
        o.id = id;
        o.kind = kind;
        o.params = params;
        if (cls == CKO_PRIVATE_KEY)
            o.value = priv;
        else
            o.attrs[CKA_VALUE] = pub;
        o.attrs[CKA_KEY_TYPE] =
            bytes_of<CK_KEY_TYPE>(is_512(kind) ? CKK_GOSTR3410_512 : CKK_GOSTR3410);
        o.attrs[CKA_GOSTR3410_PARAMS] = params;
        o.attrs[CKA_GOSTR3411_PARAMS] = digest_params(kind);
    }
    return h;
}

int gost_sign(const Object& key, const unsigned char* digest, unsigned char* sig) {
    if (is_512(key.kind)) {
        const gostr3410_512_params* prm = nullptr;
        DIGIT_T d[EC512_DIGITS], e[EC512_DIGITS], s[2 * EC512_DIGITS];
        if (GOSTR3410_2012_512_FindParByDerOid(key.params.data(), key.params.size(), &prm) != 0)
            return -1;
        int rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, key.value.data());
        if (!rc) rc = GOSTR3410_2012_512_LoadDigestValue(e, digest);
        if (!rc) rc = GOSTR3410_2012_512_Sign(prm, e, random_bytes, d, s);
        if (!rc) rc = GOSTR3410_2012_512_UnloadSignatureValue(sig, s);
        std::memset(d, 0, sizeof d);
        return rc;
    }
    const gostr3410_256_params* prm = nullptr;
    DIGIT_T d[EC256_DIGITS], e[EC256_DIGITS], s[2 * EC256_DIGITS];
    if (GOSTR3410_2012_256_FindParByDerOid(key.params.data(), key.params.size(), &prm) != 0)
        return -1;
    int rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, key.value.data());
    if (!rc) rc = GOSTR3410_2012_256_LoadDigestValue(e, digest);
    if (!rc) rc = GOSTR3410_2012_256_Sign(prm, e, random_bytes, d, s);
    if (!rc) rc = GOSTR3410_2012_256_UnloadSignatureValue(sig, s);
    std::memset(d, 0, sizeof d);
    return rc;
}

// VKO as the key's type defines it: GOST R 34.11-94 for 2001 keys, Streebog-256 otherwise.
int gost_vko(const Object& key, const CK_GOSTR3410_DERIVE_PARAMS& p, unsigned char* out32) {
    if (is_512(key.kind)) {
        const gostr3410_512_params* prm = nullptr;
        DIGIT_T d[EC512_DIGITS];
        dep_point Q;
        if (GOSTR3410_2012_512_FindParByDerOid(key.params.data(), key.params.size(), &prm) != 0)
            return -1;
        int rc = GOSTR3410_2012_512_LoadPrivateKeyValue(d, key.value.data());
        if (!rc) rc = GOSTR3410_2012_512_LoadPublicKeyValue(&Q, p.pPublicData);
        if (!rc) rc = GOSTR3410_2012_512_VKO_256(prm, p.pUKM, p.ulUKMLen, d, &Q, out32);
        std::memset(d, 0, sizeof d);
        return rc;
    }
    const gostr3410_256_params* prm = nullptr;
    DIGIT_T d[EC256_DIGITS];
    ep_point Q;
    if (GOSTR3410_2012_256_FindParByDerOid(key.params.data(), key.params.size(), &prm) != 0)
        return -1;
    int rc = GOSTR3410_2012_256_LoadPrivateKeyValue(d, key.value.data());
    if (!rc) rc = GOSTR3410_2012_256_LoadPublicKeyValue(&Q, p.pPublicData);
    if (!rc)
        rc = key.kind == P11TOKEN_GOST2001
                 ? GOSTR3410_2001_VKO(prm, GOSTR3411_94_DefaultPar(), p.pUKM, p.ulUKMLen, d, &Q,
                                      out32)
                 : GOSTR3410_2012_256_VKO_256(prm, p.pUKM, p.ulUKMLen, d, &Q, out32);
    std::memset(d, 0, sizeof d);
    return rc;
}

void close_session(Token& t, CK_SESSION_HANDLE h) {
    const CK_SLOT_ID slot = t.sessions[h].slot;
    t.sessions.erase(h);
    std::erase_if(t.objects, [h](const auto& o) { return o.second.owner == h; });
    --t.stats.open_sessions;
    // Login belongs to the application: it ends with its last session on the token.
    if (std::none_of(t.sessions.begin(), t.sessions.end(),
                     [slot](const auto& s) { return s.second.slot == slot; }))
        t.slots[slot].logged_in = false;
}

std::string hex(const Bytes& b) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) out += {d[c >> 4], d[c & 15]};
    return out.empty() ? "-" : out;  // a word even when empty
}

Bytes unhex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

// Another process (the openssl command) meets the slots and objects a test set up: one line
// per slot ("slot ID PIN"), key pair ("key SLOT ID KIND CURVE PRIV") and certificate
// ("cert SLOT ID DER"), hexadecimal where binary.
void load_state(Token& t, const char* path) {
    std::ifstream in(path);
    std::string kind, a, b, c, d, e;
    while (in >> kind) {
        if (kind == "slot" && in >> a >> b) {
            t.slots[std::stoul(a)].pin = unhex(b);
        } else if (kind == "key" && in >> a >> b >> c >> d >> e) {
            add_pair(t, std::stoul(a), unhex(b), std::stoi(c), unhex(d), unhex(e));
        } else if (kind == "cert" && in >> a >> b >> c) {
            Object& o = t.objects[t.next_handle++];
            o.slot = std::stoul(a);
            o.cls = CKO_CERTIFICATE;
            o.id = unhex(b);
            o.value = unhex(c);
            o.attrs[CKA_CERTIFICATE_TYPE] = bytes_of<CK_CERTIFICATE_TYPE>(CKC_X_509);
        }
    }
}

CK_RV C_Initialize(void* args) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    ++t.stats.initialize_calls;
    if (const char* path = std::getenv("P11TOKEN_STATE"); path && t.slots.empty())
        load_state(t, path);
    if (t.initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    CK_FLAGS flags = 0;
    if (args) {
        flags = static_cast<CK_C_INITIALIZE_ARGS*>(args)->flags;
        if ((flags & CKF_OS_LOCKING_OK) && t.faults[P11TOKEN_REFUSE_OS_LOCKING])
            return CKR_CANT_LOCK;
    }
    t.initialised = true;
    t.stats.initialize_flags = flags;
    return CKR_OK;
}

CK_RV C_Finalize(void*) {
    TOKEN_ENTRY();
    ++t.stats.finalize_calls;
    while (!t.sessions.empty()) close_session(t, t.sessions.begin()->first);
    t.initialised = false;
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
    TOKEN_ENTRY();
    if (!count) return CKR_ARGUMENTS_BAD;
    const CK_ULONG n = t.slots.size();
    if (list) {
        if (*count < n) {
            *count = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        CK_ULONG i = 0;
        for (const auto& s : t.slots) list[i++] = s.first;
    }
    *count = n;
    return CKR_OK;
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* h) {
    TOKEN_ENTRY();
    auto it = t.slots.find(slot);
    if (it == t.slots.end()) return CKR_SLOT_ID_INVALID;
    if (it->second.broken) return CKR_TOKEN_NOT_RECOGNIZED;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (!h) return CKR_ARGUMENTS_BAD;
    *h = t.next_handle++;
    t.sessions[*h].slot = slot;
    ++t.stats.open_sessions;
    return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
    TOKEN_ENTRY();
    if (!session_of(t, h)) return CKR_SESSION_HANDLE_INVALID;
    close_session(t, h);
    return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG pin_len) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    Slot& slot = t.slots[s->slot];
    if (slot.logged_in) return CKR_USER_ALREADY_LOGGED_IN;
    if (!pin || Bytes(pin, pin + pin_len) != slot.pin) return CKR_PIN_INCORRECT;
    slot.logged_in = true;
    return CKR_OK;
}

CK_RV C_Logout(CK_SESSION_HANDLE h) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    t.slots[s->slot].logged_in = false;
    return CKR_OK;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE* tmpl, CK_ULONG n) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (s->searching) return CKR_OPERATION_ACTIVE;
    s->found.clear();
    for (auto& [handle, o] : t.objects) {
        if (!visible(t, *s, handle)) continue;
        if (std::all_of(tmpl, tmpl + n, [&](const CK_ATTRIBUTE& a) { return attr_matches(o, a); }))
            s->found.push_back(handle);
    }
    s->searching = true;
    return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG* count) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!s->searching) return CKR_OPERATION_NOT_INITIALIZED;
    const CK_ULONG n = std::min<CK_ULONG>(max, s->found.size());
    std::copy_n(s->found.begin(), n, out);
    s->found.erase(s->found.begin(), s->found.begin() + static_cast<long>(n));
    *count = n;
    return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!s->searching) return CKR_OPERATION_NOT_INITIALIZED;
    s->searching = false;
    return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE* tmpl,
                          CK_ULONG n) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    Object* o = visible(t, *s, obj);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_ATTRIBUTE& a = tmpl[i];
        CK_RV r;
        if (auto it = o->attrs.find(a.type); it != o->attrs.end()) {
            r = put(a, it->second.data(), it->second.size());
        } else if (a.type == CKA_CLASS) {
            r = put(a, &o->cls, sizeof o->cls);
        } else if (a.type == CKA_ID) {
            r = put(a, o->id.data(), o->id.size());
        } else if (a.type == CKA_VALUE && !o->sensitive && o->cls != CKO_PRIVATE_KEY) {
            r = put(a, o->value.data(), o->value.size());
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            r = a.type == CKA_VALUE ? CKR_ATTRIBUTE_SENSITIVE : CKR_ATTRIBUTE_TYPE_INVALID;
        }
        if (r != CKR_OK) rv = r;
    }
    return rv;
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!visible(t, *s, obj)) return CKR_OBJECT_HANDLE_INVALID;
    t.objects.erase(obj);
    return CKR_OK;
}

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_OBJECT_HANDLE key) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!mech) return CKR_ARGUMENTS_BAD;
    t.stats.last_mechanism = mech->mechanism;
    Object* o = visible(t, *s, key);
    if (!o || o->cls != CKO_PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
    const CK_MECHANISM_TYPE want = is_512(o->kind) ? CKM_GOSTR3410_512 : CKM_GOSTR3410;
    if (mech->mechanism != want || mech->pParameter) return CKR_MECHANISM_INVALID;
    s->sign_key = key;
    s->sign_mech = want;
    return CKR_OK;
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sig_len) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!s->sign_key) return CKR_OPERATION_NOT_INITIALIZED;
    Object* o = visible(t, *s, s->sign_key);
    const CK_ULONG need = o && is_512(o->kind) ? 128 : 64;
    if (!sig) {
        *sig_len = need;
        return CKR_OK;
    }
    if (*sig_len < need) {
        *sig_len = need;
        return CKR_BUFFER_TOO_SMALL;
    }
    s->sign_key = 0;
    if (t.faults[P11TOKEN_FAIL_SIGN]) return static_cast<CK_RV>(t.faults[P11TOKEN_FAIL_SIGN]);
    if (!o) return CKR_KEY_HANDLE_INVALID;
    if (!data || len != need / 2) return CKR_DATA_LEN_RANGE;
    *sig_len = need;
    if (t.faults[P11TOKEN_SIGN_UNWRITTEN]) return CKR_OK;
    if (gost_sign(*o, data, sig) != 0) return CKR_FUNCTION_FAILED;
    if (long reported = t.faults[P11TOKEN_SIGN_LENGTH]) *sig_len = static_cast<CK_ULONG>(reported);
    return CKR_OK;
}

// Nothing here decrypts; the entries exist because a module lists every function.
CK_RV C_DecryptInit(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE) {
    TOKEN_ENTRY();
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV C_Decrypt(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    TOKEN_ENTRY();
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_OBJECT_HANDLE base,
                  CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_OBJECT_HANDLE* out) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!mech || !out) return CKR_ARGUMENTS_BAD;
    t.stats.last_mechanism = mech->mechanism;
    Object* key = visible(t, *s, base);
    if (!key || key->cls != CKO_PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
    const CK_MECHANISM_TYPE want =
        is_512(key->kind) ? CKM_GOSTR3410_12_DERIVE : CKM_GOSTR3410_DERIVE;
    if (mech->mechanism != want) return CKR_MECHANISM_INVALID;
    if (!mech->pParameter || mech->ulParameterLen != sizeof(CK_GOSTR3410_DERIVE_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    const auto& p = *static_cast<const CK_GOSTR3410_DERIVE_PARAMS*>(mech->pParameter);
    if (p.kdf != CKD_NULL || !p.pPublicData ||
        p.ulPublicDataLen != (is_512(key->kind) ? 128u : 64u) || !p.pUKM || p.ulUKMLen < 8 ||
        p.ulUKMLen > 16)
        return CKR_MECHANISM_PARAM_INVALID;
    if (std::none_of(tmpl, tmpl + n,
                     [](const CK_ATTRIBUTE& a) { return a.type == CKA_GOST28147_PARAMS; }))
        return CKR_TEMPLATE_INCOMPLETE;
    Object derived;
    derived.slot = s->slot;
    derived.cls = CKO_SECRET_KEY;
    derived.owner = h;
    derived.value.resize(32);
    if (gost_vko(*key, p, derived.value.data()) != 0) return CKR_MECHANISM_PARAM_INVALID;
    if (long len = t.faults[P11TOKEN_DERIVED_LENGTH])
        derived.value.resize(static_cast<size_t>(len));
    derived.sensitive = t.faults[P11TOKEN_SENSITIVE_DERIVED] != 0;
    *out = t.next_handle++;
    t.objects[*out] = std::move(derived);
    return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    TOKEN_ENTRY();
    auto it = t.slots.find(slot);
    if (it == t.slots.end()) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, ' ', sizeof *info);
    const std::string& label = it->second.label;
    std::memcpy(info->label, label.data(), std::min(label.size(), sizeof info->label));
    char serial[17];
    std::snprintf(serial, sizeof serial, "%016lu", slot);
    std::memcpy(info->serialNumber, serial, sizeof info->serialNumber);
    return CKR_OK;
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE* tmpl,
                          CK_ULONG n) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    Object* o = visible(t, *s, obj);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    for (CK_ULONG i = 0; i < n; ++i) {
        const auto* v = static_cast<const unsigned char*>(tmpl[i].pValue);
        if (tmpl[i].type == CKA_ID)
            o->id.assign(v, v + tmpl[i].ulValueLen);
        else
            o->attrs[tmpl[i].type].assign(v, v + tmpl[i].ulValueLen);
    }
    return CKR_OK;
}

const CK_ATTRIBUTE* find_attr(const CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_ATTRIBUTE_TYPE type) {
    for (CK_ULONG i = 0; i < n; ++i)
        if (tmpl[i].type == type) return &tmpl[i];
    return nullptr;
}

// Key pairs on the curve the public template names; both objects keep the templates' values.
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM* mech, CK_ATTRIBUTE* pub_tmpl,
                        CK_ULONG pub_n, CK_ATTRIBUTE* priv_tmpl, CK_ULONG priv_n,
                        CK_OBJECT_HANDLE* pub_out, CK_OBJECT_HANDLE* priv_out) {
    TOKEN_ENTRY();
    Session* s = session_of(t, h);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    if (!mech || !pub_out || !priv_out) return CKR_ARGUMENTS_BAD;
    t.stats.last_mechanism = mech->mechanism;
    if (!t.slots[s->slot].logged_in) return CKR_USER_NOT_LOGGED_IN;
    const CK_ATTRIBUTE* curve = find_attr(pub_tmpl, pub_n, CKA_GOSTR3410_PARAMS);
    const CK_ATTRIBUTE* digest = find_attr(pub_tmpl, pub_n, CKA_GOSTR3411_PARAMS);
    if (!curve || !digest) return CKR_TEMPLATE_INCOMPLETE;
    const Bytes params(static_cast<unsigned char*>(curve->pValue),
                       static_cast<unsigned char*>(curve->pValue) + curve->ulValueLen);
    const Bytes dparams(static_cast<unsigned char*>(digest->pValue),
                        static_cast<unsigned char*>(digest->pValue) + digest->ulValueLen);
    int kind;
    if (mech->mechanism == CKM_GOSTR3410_512_KEY_PAIR_GEN)
        kind = P11TOKEN_GOST2012_512;
    else if (mech->mechanism == CKM_GOSTR3410_KEY_PAIR_GEN)
        kind =
            dparams == digest_params(P11TOKEN_GOST2001) ? P11TOKEN_GOST2001 : P11TOKEN_GOST2012_256;
    else
        return CKR_MECHANISM_INVALID;
    if (dparams != digest_params(kind)) return CKR_TEMPLATE_INCONSISTENT;
    Bytes priv(is_512(kind) ? 64 : 32);
    const gostr3410_256_params* p256 = nullptr;
    const gostr3410_512_params* p512 = nullptr;
    if (is_512(kind) ? GOSTR3410_2012_512_FindParByDerOid(params.data(), params.size(), &p512)
                     : GOSTR3410_2012_256_FindParByDerOid(params.data(), params.size(), &p256))
        return CKR_DOMAIN_PARAMS_INVALID;
    // Any scalar below 2^248 is below q on every curve; a zero one is not drawn in practice.
    if (random_bytes(priv.data(), priv.size()) != 0) return CKR_FUNCTION_FAILED;
    priv[is_512(kind) ? 62 : 30] = 0, priv.back() = 0;
    const CK_OBJECT_HANDLE first = add_pair(t, s->slot, {}, kind, params, priv);
    if (!first) return CKR_FUNCTION_FAILED;
    for (auto [handle, tmpl, n] :
         {std::tuple{first, priv_tmpl, priv_n}, std::tuple{first + 1, pub_tmpl, pub_n}})
        for (CK_ULONG i = 0; i < n; ++i) {
            const auto* v = static_cast<const unsigned char*>(tmpl[i].pValue);
            t.objects[handle].attrs[tmpl[i].type].assign(v, v + tmpl[i].ulValueLen);
        }
    *priv_out = first;
    *pub_out = first + 1;
    return CKR_OK;
}

CK_FUNCTION_LIST make_list() {
    CK_FUNCTION_LIST f{};
    f.version = {2, 20};
    f.C_Initialize = C_Initialize;
    f.C_Finalize = C_Finalize;
    f.C_GetSlotList = C_GetSlotList;
    f.C_OpenSession = C_OpenSession;
    f.C_CloseSession = C_CloseSession;
    f.C_Login = C_Login;
    f.C_Logout = C_Logout;
    f.C_FindObjectsInit = C_FindObjectsInit;
    f.C_FindObjects = C_FindObjects;
    f.C_FindObjectsFinal = C_FindObjectsFinal;
    f.C_GetAttributeValue = C_GetAttributeValue;
    f.C_DestroyObject = C_DestroyObject;
    f.C_SignInit = C_SignInit;
    f.C_Sign = C_Sign;
    f.C_DecryptInit = C_DecryptInit;
    f.C_Decrypt = C_Decrypt;
    f.C_DeriveKey = C_DeriveKey;
    f.C_GetTokenInfo = C_GetTokenInfo;
    f.C_SetAttributeValue = C_SetAttributeValue;
    f.C_GenerateKeyPair = C_GenerateKeyPair;
    return f;
}

CK_FUNCTION_LIST g_list = make_list();
CK_FUNCTION_LIST g_without_sign = [] {
    CK_FUNCTION_LIST f = make_list();
    f.C_Sign = nullptr;
    return f;
}();

Object& new_object(Token& t, unsigned long slot, CK_OBJECT_CLASS cls, const unsigned char* id,
                   size_t id_len) {
    Object& o = t.objects[t.next_handle++];
    o.slot = slot;
    o.cls = cls;
    o.id.assign(id, id + id_len);
    return o;
}

}  // namespace

extern "C" {

CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    g_list.C_GetFunctionList = C_GetFunctionList;
    g_without_sign.C_GetFunctionList = C_GetFunctionList;
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    *list = t.faults[P11TOKEN_WITHOUT_SIGN] ? &g_without_sign : &g_list;
    return CKR_OK;
}

void p11token_reset(void) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    t.initialised = false;
    t.slots.clear();
    t.sessions.clear();
    t.objects.clear();
    std::fill(std::begin(t.faults), std::end(t.faults), 0);
    t.stats = {};
}

unsigned long p11token_add_slot(const char* pin) {
    return p11token_add_slot_with_pin(pin, std::strlen(pin));
}

unsigned long p11token_add_slot_with_pin(const void* pin, size_t pin_len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    const unsigned long id = 100 + t.slots.size();
    const auto* p = static_cast<const unsigned char*>(pin);
    t.slots[id].pin.assign(p, p + pin_len);
    return id;
}

unsigned long p11token_add_broken_slot(void) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    const unsigned long id = 100 + t.slots.size();
    t.slots[id].broken = true;
    return id;
}

void p11token_add_cert(unsigned long slot, const unsigned char* id, size_t id_len,
                       const unsigned char* der, size_t der_len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    Object& o = new_object(t, slot, CKO_CERTIFICATE, id, id_len);
    o.value.assign(der, der + der_len);
    o.attrs[CKA_CERTIFICATE_TYPE] = bytes_of<CK_CERTIFICATE_TYPE>(CKC_X_509);
}

unsigned long p11token_add_gost_key(unsigned long slot, const unsigned char* id, size_t id_len,
                                    int kind, const unsigned char* param_der, size_t param_der_len,
                                    const unsigned char* priv, size_t priv_len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    return add_pair(t, slot, Bytes(id, id + id_len), kind,
                    Bytes(param_der, param_der + param_der_len), Bytes(priv, priv + priv_len));
}

unsigned long p11token_add_object(unsigned long slot, unsigned long cls, const unsigned char* id,
                                  size_t id_len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    const unsigned long h = t.next_handle;
    new_object(t, slot, cls, id, id_len);
    return h;
}

unsigned long p11token_find_object(unsigned long slot, unsigned long cls, const unsigned char* id,
                                   size_t id_len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    for (const auto& [h, o] : t.objects)
        if (o.slot == slot && o.cls == cls && o.id == Bytes(id, id + id_len)) return h;
    return 0;
}

void p11token_set_attribute(unsigned long object, unsigned long type, const void* value,
                            size_t len) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    const auto* v = static_cast<const unsigned char*>(value);
    t.objects[object].attrs[type].assign(v, v + len);
}

int p11token_save(const char* path) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    std::ofstream out(path);
    for (const auto& [id, slot] : t.slots) out << "slot " << id << ' ' << hex(slot.pin) << '\n';
    for (const auto& [h, o] : t.objects) {
        if (o.cls == CKO_PRIVATE_KEY && !o.params.empty())
            out << "key " << o.slot << ' ' << hex(o.id) << ' ' << o.kind << ' ' << hex(o.params)
                << ' ' << hex(o.value) << '\n';
        else if (o.cls == CKO_CERTIFICATE)
            out << "cert " << o.slot << ' ' << hex(o.id) << ' ' << hex(o.value) << '\n';
    }
    return out.good() ? 0 : -1;
}

void p11token_set_label(unsigned long slot, const char* label) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    t.slots[slot].label = label;
}

void p11token_set_fault(int fault, long value) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    if (fault >= 0 && fault < P11TOKEN_FAULT_COUNT) t.faults[fault] = value;
}

void p11token_get_stats(p11token_stats* out) {
    Token& t = token();
    std::lock_guard<std::mutex> hold(t.lock);
    *out = t.stats;
    out->initialised = t.initialised ? 1 : 0;
}

}  // extern "C"
