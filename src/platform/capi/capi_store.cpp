// The stand-in's state, certificate stores, key parsing, directory loading and test interface.
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"
#include "gost/gostr3410.h"
#include "platform/capi/capi_state.h"
#include "platform/ini.h"

namespace capi {
namespace detail {
namespace {

thread_local DWORD t_last_error = 0;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::u16string widen(const std::string& s) {
    // Names in the directory are ASCII or Latin-1; each byte becomes one UTF-16 unit.
    std::u16string w;
    for (unsigned char c : s) w.push_back(c);
    return w;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Microsoft's providers are always there, as on Windows.
void add_builtin_providers(State& s) {
    for (const char* name : {"Microsoft Base Cryptographic Provider v1.0",
                             "Microsoft Enhanced Cryptographic Provider v1.0",
                             "Microsoft Strong Cryptographic Provider"})
        s.providers[widen(name)] = {PROV_RSA_FULL, {}, true};
    s.providers[widen("Microsoft RSA SChannel Cryptographic Provider")] = {
        PROV_RSA_SCHANNEL, {}, true};
    s.providers[widen("Microsoft Enhanced RSA and AES Cryptographic Provider")] = {
        PROV_RSA_AES, {}, true};
    s.providers[widen("Microsoft Base DSS Cryptographic Provider")] = {PROV_DSS, {}, true};
    s.providers[widen("Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider")] = {
        PROV_DSS_DH, {}, true};
}

std::string default_cipher(DWORD type) {
    return type == PROV_GOST_2001_DH ? "1.2.643.2.2.31.1" : "1.2.643.7.1.2.5.1.1";
}

Provider& provider_for(State& s, const std::u16string& name, DWORD type) {
    auto it = s.providers.find(name);
    if (it == s.providers.end())
        it = s.providers.emplace(name, Provider{type, default_cipher(type), true}).first;
    return it->second;
}

bool read_file(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// PEM ("CERTIFICATE", "PRIVATE KEY") or DER, as the file holds it.
Bytes der_from_file(const Bytes& content, bool is_key) {
    if (content.empty() || content[0] == 0x30) return content;
    ossl::Bio bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!bio) return {};
    unsigned char* der = nullptr;
    int n = 0;
    if (is_key) {
        ossl::P8Info p8(PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio.get(), nullptr, nullptr, nullptr));
        if (p8) n = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der);
    } else {
        ossl::X509Ptr x(PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr));
        if (x) n = i2d_X509(x.get(), &der);
    }
    ossl::Bytes owner(der);
    if (n <= 0) return {};
    Bytes out(der, der + n);
    if (is_key) OPENSSL_cleanse(der, static_cast<size_t>(n));
    return out;
}

bool add_certificate_locked(State& s, const std::string& store, const Bytes& der,
                            const std::optional<stand_in::KeyProvInfo>& prov) {
    const unsigned char* p = der.data();
    ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x || p != der.data() + der.size()) {
        std::fprintf(stderr, "capi: not a DER certificate for store '%s'\n", store.c_str());
        return false;
    }
    auto entry = std::make_shared<CertEntry>();
    entry->der = der;
    entry->prov = prov;
    SHA1(der.data(), der.size(), entry->sha1.data());
    auto& data = s.stores[lower(store)];
    if (!data) data = std::make_shared<StoreData>();
    data->certs.push_back(std::move(entry));
    return true;
}

bool add_key_locked(State& s, const std::u16string& provider, DWORD type,
                    const std::u16string& container, DWORD spec, const Bytes& pkcs8) {
    Kind kind;
    if (!kind_of_type(type, &kind) || (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE)) {
        std::fprintf(stderr, "capi: provider type %u or key spec %u not served\n", type, spec);
        return false;
    }
    std::shared_ptr<Key> key = parse_key(pkcs8);
    if (!key) return false;
    if (key->kind != kind) {
        std::fputs("capi: the key does not suit the provider type\n", stderr);
        return false;
    }
    provider_for(s, provider, type);
    auto& c = s.containers[{kind, container}];
    if (!c) c = std::make_shared<Container>();
    c->kind = kind;
    c->provider = provider;
    c->provider_type = type;
    c->keys[spec] = std::move(key);
    return true;
}

// One directory section: its kind ("store", ...), its name and its lines in order. A store names
// one certificate per line under the same key, so the lines stay a list; where another key comes
// twice, the first counts.
struct Section {
    std::string kind, name;
    std::vector<std::pair<std::string, std::string>> lines;
    std::string get(const std::string& key) const {
        for (const auto& [k, v] : lines)
            if (k == key) return v;
        return {};
    }
};

// The directory's description, split into lines and sections by the library's one ini reader
// (platform/ini.h) in the directory's own dialect: a '#' anywhere starts a comment, and a value is
// the rest of its line as written (quotes, ';' and a trailing backslash included), as the
// directory has always been read. Lines before the first section describe nothing.
std::optional<std::vector<Section>> read_conf(const std::string& path) {
    const platform::IniFileRead read = platform::read_ini_file(path, platform::kCapiDialect);
    if (!read.ini) {
        if (read.bad_line)
            std::fprintf(stderr, "capi: line %d of %s is not understood\n", read.bad_line,
                         path.c_str());
        else
            std::fprintf(stderr, "capi: cannot read %s\n", path.c_str());
        return std::nullopt;
    }
    std::vector<Section> out;
    for (const platform::Ini::Section& sec : read.ini->sections()) {
        if (sec.name.empty()) continue;
        const auto sp = sec.name.find(' ');
        Section& s = out.emplace_back();
        s.kind = sec.name.substr(0, sp);
        s.name = sp == std::string::npos ? "" : trim(sec.name.substr(sp));
        s.lines = sec.entries;
    }
    return out;
}

bool load_locked(State& s, const std::string& dir) {
    const std::optional<std::vector<Section>> conf = read_conf(dir + "/capi.conf");
    if (!conf) return false;
    const std::vector<Section>& sections = *conf;
    bool ok = true;
    std::map<std::string, const Section*> containers;
    for (const Section& sec : sections) {
        if (sec.kind == "provider") {
            const DWORD type =
                static_cast<DWORD>(std::strtoul(sec.get("type").c_str(), nullptr, 10));
            Provider& p = provider_for(s, widen(sec.name), type);
            if (!sec.get("cipher_oid").empty()) p.cipher_oid = sec.get("cipher_oid");
            p.answers_cipher_oid = sec.get("cipher_oid_param") != "no";
        } else if (sec.kind == "container") {
            containers[sec.name] = &sec;
            const DWORD type =
                static_cast<DWORD>(std::strtoul(sec.get("type").c_str(), nullptr, 10));
            for (const auto& [field, spec] :
                 {std::pair{"exchange_key", AT_KEYEXCHANGE}, {"signature_key", AT_SIGNATURE}}) {
                if (sec.get(field).empty()) continue;
                Bytes content;
                const Bytes der = read_file(dir + "/" + sec.get(field), content)
                                      ? der_from_file(content, true)
                                      : Bytes{};
                OPENSSL_cleanse(content.data(), content.size());
                if (der.empty() || !add_key_locked(s, widen(sec.get("provider")), type,
                                                   widen(sec.name), spec, der)) {
                    std::fprintf(stderr, "capi: key '%s' of container '%s' refused\n",
                                 sec.get(field).c_str(), sec.name.c_str());
                    ok = false;
                }
            }
            Kind kind;
            if (!sec.get("pin").empty() && kind_of_type(type, &kind))
                if (auto it = s.containers.find({kind, widen(sec.name)}); it != s.containers.end())
                    it->second->pin = sec.get("pin");
        }
    }
    for (const Section& sec : sections) {
        if (sec.kind != "store") continue;
        s.stores.try_emplace(lower(sec.name), std::make_shared<StoreData>());
        for (const auto& [k, v] : sec.lines) {
            if (k != "certificate") continue;
            std::vector<std::string> parts;
            std::stringstream ss(v);
            for (std::string part; std::getline(ss, part, ',');) parts.push_back(trim(part));
            std::optional<stand_in::KeyProvInfo> prov;
            if (parts.size() == 3 && containers.count(parts[1])) {
                const Section* c = containers[parts[1]];
                prov = stand_in::KeyProvInfo{
                    widen(parts[1]), widen(c->get("provider")),
                    static_cast<DWORD>(std::strtoul(c->get("type").c_str(), nullptr, 10)),
                    static_cast<DWORD>(std::strtoul(parts[2].c_str(), nullptr, 10))};
            } else if (parts.size() != 1) {
                std::fprintf(stderr, "capi: certificate line '%s' of store '%s' refused\n",
                             v.c_str(), sec.name.c_str());
                ok = false;
                continue;
            }
            Bytes content;
            const Bytes der =
                read_file(dir + "/" + parts[0], content) ? der_from_file(content, false) : Bytes{};
            if (der.empty() || !add_certificate_locked(s, sec.name, der, prov)) {
                std::fprintf(stderr, "capi: certificate '%s' refused\n", parts[0].c_str());
                ok = false;
            }
        }
    }
    return ok;
}

bool is_gost_alg(const std::string& dotted, ALG_ID* alg, size_t* size) {
    static const struct {
        const char* oid;
        ALG_ID alg;
        size_t size;
    } rows[] = {{"1.2.643.2.2.19", CALG_GR3410EL, 32},
                {"1.2.643.7.1.1.1.1", CALG_GR3410_12_256, 32},
                {"1.2.643.7.1.1.1.2", CALG_GR3410_12_512, 64}};
    for (const auto& r : rows)
        if (dotted == r.oid) {
            *alg = r.alg;
            *size = r.size;
            return true;
        }
    return false;
}

Bytes object_der(const ASN1_OBJECT* obj) {
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_OBJECT(obj, &der);
    ossl::Bytes owner(der);
    return n > 0 ? Bytes(der, der + n) : Bytes{};
}

// GOST key: SEQUENCE { curve, digest } parameters and a private key given as an OCTET STRING of
// the key's size (little-endian) or an INTEGER.
std::shared_ptr<Key> parse_gost(const X509_ALGOR* alg, const unsigned char* priv, int priv_len,
                                std::shared_ptr<Key> key) {
    const void* pval = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
    if (ptype != V_ASN1_SEQUENCE || !pval) return nullptr;
    const auto* seq = static_cast<const ASN1_STRING*>(pval);
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    long len = 0;
    int tag = 0, cls = 0;
    if (ASN1_get_object(&p, &len, &tag, &cls, ASN1_STRING_length(seq)) & 0x80 ||
        tag != V_ASN1_SEQUENCE)
        return nullptr;
    const unsigned char* end = p + len;
    ossl::Asn1Object curve(d2i_ASN1_OBJECT(nullptr, &p, end - p));
    if (!curve) return nullptr;
    key->curve_der = object_der(curve.get());
    if (p < end) {
        ossl::Asn1Object digest(d2i_ASN1_OBJECT(nullptr, &p, end - p));
        if (digest) key->digest_der = object_der(digest.get());
    }
    const unsigned char* q = priv;
    if (ossl::OctetString os{d2i_ASN1_OCTET_STRING(nullptr, &q, priv_len)}) {
        if (static_cast<size_t>(ASN1_STRING_length(os.get())) != key->size) return nullptr;
        std::memcpy(key->priv.data(), ASN1_STRING_get0_data(os.get()), key->size);
        OPENSSL_cleanse(os->data, static_cast<size_t>(os->length));
    } else {
        q = priv;
        ossl::Asn1Integer i(d2i_ASN1_INTEGER(nullptr, &q, priv_len));
        ossl::Bn bn(i ? ASN1_INTEGER_to_BN(i.get(), nullptr) : nullptr);
        if (!bn || BN_bn2lebinpad(bn.get(), key->priv.data(), static_cast<int>(key->size)) < 0)
            return nullptr;
    }
    const int rc = GOSTR3410_2012_PublicKeyFromPrivate(
        key->curve_der.data(), key->curve_der.size(), key->priv.data(), key->size, key->pub.data());
    return rc == 0 ? key : nullptr;
}

}  // namespace

std::mutex& state_lock() {
    static std::mutex m;
    return m;
}

State& state() {
    static State* s = new State;  // never destroyed: keys may be freed at exit
    if (!s->loaded) {
        s->loaded = true;
        add_builtin_providers(*s);
        const char* dir = std::getenv("SSF_CAPI_DIR");
        if (dir && *dir) (void)load_locked(*s, dir);
    }
    return *s;
}

void reset_locked(State& s) {
    s.stores.clear();
    s.providers.clear();
    s.containers.clear();
    s.failures.clear();
    s.calls = {};
    s.gost_random = nullptr;
    s.export_tail.reset();
    add_builtin_providers(s);
}

bool kind_of_type(DWORD type, Kind* kind) {
    switch (type) {
        case PROV_RSA_FULL:
        case PROV_RSA_SCHANNEL:
        case PROV_RSA_AES:
            *kind = Kind::kRsa;
            return true;
        case PROV_DSS:
        case PROV_DSS_DH:
            *kind = Kind::kDsa;
            return true;
        case PROV_GOST_2001_DH:
        case PROV_GOST_2012_256:
        case PROV_GOST_2012_512:
            *kind = Kind::kGost;
            return true;
        default:
            return false;
    }
}

bool injected_failure(State& s, const char* function) {
    auto it = s.failures.find(function);
    if (it == s.failures.end()) return false;
    t_last_error = it->second;
    s.failures.erase(it);
    return true;
}

BOOL fail(DWORD code) {
    t_last_error = code;
    return 0;
}

std::shared_ptr<Key> parse_key(const Bytes& pkcs8) {
    const unsigned char* p = pkcs8.data();
    ossl::P8Info p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(pkcs8.size())));
    const ASN1_OBJECT* obj = nullptr;
    const unsigned char* priv = nullptr;
    int priv_len = 0;
    const X509_ALGOR* alg = nullptr;
    if (!p8 || !PKCS8_pkey_get0(&obj, &priv, &priv_len, &alg, p8.get())) {
        std::fputs("capi: not a PKCS#8 key\n", stderr);
        return nullptr;
    }
    char dotted[64] = {};
    OBJ_obj2txt(dotted, sizeof dotted, obj, 1);
    auto key = std::make_shared<Key>();
    if (is_gost_alg(dotted, &key->alg, &key->size)) {
        key->kind = Kind::kGost;
        if (auto k = parse_gost(alg, priv, priv_len, key)) return k;
        std::fputs("capi: GOST key not usable\n", stderr);
        return nullptr;
    }
    key->pkey.reset(EVP_PKCS82PKEY(p8.get()));
    const int id = key->pkey ? EVP_PKEY_get_base_id(key->pkey.get()) : NID_undef;
    if (id != EVP_PKEY_RSA && id != EVP_PKEY_DSA) {
        std::fprintf(stderr, "capi: key algorithm %s not served\n", dotted);
        return nullptr;
    }
    key->kind = id == EVP_PKEY_RSA ? Kind::kRsa : Kind::kDsa;
    return key;
}

}  // namespace detail

using namespace detail;

DWORD GetLastError() {
    return t_last_error;
}

void SetLastError(DWORD code) {
    t_last_error = code;
}

namespace {

HCERTSTORE open_store(const char* name) {
    std::lock_guard lock(state_lock());
    State& s = state();
    if (!name) return fail(ERROR_INVALID_PARAMETER), nullptr;
    auto it = s.stores.find(lower(name));
    if (it == s.stores.end()) return fail(ERROR_FILE_NOT_FOUND), nullptr;
    auto* store = new Store;
    store->data = it->second;
    return store;
}

void release_store_locked(Store* store) {
    if (--store->refs == 0) delete store;
}

CertCtx* make_context(Store* store, size_t index) {
    auto* c = new CertCtx{};
    c->entry = store->data->certs[index];
    c->index = index;
    c->dwCertEncodingType = X509_ASN_ENCODING;
    c->pbCertEncoded = c->entry->der.data();
    c->cbCertEncoded = static_cast<DWORD>(c->entry->der.size());
    c->hCertStore = store;
    store->contexts.insert(c);
    ++store->refs;
    return c;
}

void free_context_locked(CertCtx* c) {
    Store* store = c->hCertStore;
    store->contexts.erase(c);
    delete c;
    release_store_locked(store);
}

}  // namespace

HCERTSTORE CertOpenStore(uintptr_t provider, DWORD, uintptr_t, DWORD flags, const void* para) {
    if (provider != CERT_STORE_PROV_SYSTEM_A || !(flags & CERT_SYSTEM_STORE_CURRENT_USER))
        return fail(NTE_BAD_FLAGS), nullptr;
    return open_store(static_cast<const char*>(para));
}

HCERTSTORE CertOpenSystemStoreA(uintptr_t, LPCSTR name) {
    return open_store(name);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD flags) {
    if (!store) return 1;
    std::lock_guard lock(state_lock());
    ++store->refs;  // held while closing
    if (store->open) {
        store->open = false;
        --store->refs;
    } else if (!(flags & CERT_CLOSE_STORE_FORCE_FLAG)) {
        release_store_locked(store);
        return fail(ERROR_INVALID_HANDLE);
    }
    // Forcing frees the contexts still taken from the store, as Windows does; a context's
    // store may be forced closed through it after its own handle is gone.
    if (flags & CERT_CLOSE_STORE_FORCE_FLAG)
        while (!store->contexts.empty()) free_context_locked(*store->contexts.begin());
    release_store_locked(store);
    return 1;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD, DWORD, DWORD find_type,
                                          const void* para, PCCERT_CONTEXT prev) {
    std::lock_guard lock(state_lock());
    if (!store) return fail(ERROR_INVALID_HANDLE), nullptr;
    size_t from = 0;
    if (prev) {
        auto* p = static_cast<CertCtx*>(const_cast<CERT_CONTEXT*>(prev));
        from = p->index + 1;
        free_context_locked(p);
    }
    const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(para);
    if (find_type == CERT_FIND_SHA1_HASH && (!hash || !hash->pbData))
        return fail(ERROR_INVALID_PARAMETER), nullptr;
    for (size_t i = from; i < store->data->certs.size(); ++i) {
        const auto& e = store->data->certs[i];
        if (find_type == CERT_FIND_ANY ||
            (find_type == CERT_FIND_SHA1_HASH && hash->cbData == e->sha1.size() &&
             std::memcmp(hash->pbData, e->sha1.data(), e->sha1.size()) == 0))
            return make_context(store, i);
    }
    return fail(CRYPT_E_NOT_FOUND), nullptr;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT prev) {
    return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, prev);
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT cert) {
    if (!cert) return 1;
    std::lock_guard lock(state_lock());
    free_context_locked(static_cast<CertCtx*>(const_cast<CERT_CONTEXT*>(cert)));
    return 1;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD prop, void* data, DWORD* len) {
    std::lock_guard lock(state_lock());
    if (!cert || !len) return fail(ERROR_INVALID_PARAMETER);
    const auto* c = static_cast<const CertCtx*>(cert);
    if (prop != CERT_KEY_PROV_INFO_PROP_ID || !c->entry->prov) return fail(CRYPT_E_NOT_FOUND);
    // One block: the structure, then the two names with their terminators.
    const auto& info = *c->entry->prov;
    const size_t names = (info.container.size() + info.provider.size() + 2) * sizeof(char16_t);
    const DWORD need = static_cast<DWORD>(sizeof(CRYPT_KEY_PROV_INFO) + names);
    if (!data) {
        *len = need;
        return 1;
    }
    if (*len < need) {
        *len = need;
        return fail(ERROR_MORE_DATA);
    }
    auto* out = static_cast<CRYPT_KEY_PROV_INFO*>(data);
    auto* text = reinterpret_cast<char16_t*>(out + 1);
    *out = {};
    out->pwszContainerName = text;
    text = std::copy(info.container.begin(), info.container.end(), text);
    *text++ = 0;
    out->pwszProvName = text;
    text = std::copy(info.provider.begin(), info.provider.end(), text);
    *text = 0;
    out->dwProvType = info.provider_type;
    out->dwKeySpec = info.key_spec;
    *len = need;
    return 1;
}

// ---- test interface ----
namespace stand_in {

void reset() {
    std::lock_guard lock(state_lock());
    State& s = state();
    reset_locked(s);
}

bool load_directory(const std::string& dir) {
    std::lock_guard lock(state_lock());
    return load_locked(state(), dir);
}

bool add_certificate(const std::string& store, const Bytes& der,
                     const std::optional<KeyProvInfo>& prov) {
    std::lock_guard lock(state_lock());
    return add_certificate_locked(state(), store, der, prov);
}

bool add_key(const std::u16string& provider, DWORD type, const std::u16string& container,
             DWORD spec, const Bytes& pkcs8) {
    std::lock_guard lock(state_lock());
    return add_key_locked(state(), provider, type, container, spec, pkcs8);
}

void set_pin(const std::u16string& container, const std::string& pin) {
    std::lock_guard lock(state_lock());
    for (auto& [id, c] : state().containers)
        if (id.second == container) c->pin = pin;
}

void set_provider_cipher(const std::u16string& provider, const std::string& oid, bool answers) {
    std::lock_guard lock(state_lock());
    Provider& p = provider_for(state(), provider, PROV_GOST_2012_256);
    p.cipher_oid = oid;
    p.answers_cipher_oid = answers;
}

Calls calls() {
    std::lock_guard lock(state_lock());
    return state().calls;
}

void fail_next(const std::string& function, DWORD code) {
    std::lock_guard lock(state_lock());
    state().failures[function] = code;
}

void set_export_tail(const std::optional<Bytes>& tail) {
    std::lock_guard lock(state_lock());
    state().export_tail = tail;
}

void set_gost_random(int (*rnd)(unsigned char*, size_t)) {
    std::lock_guard lock(state_lock());
    state().gost_random = rnd;
}

}  // namespace stand_in
}  // namespace capi
