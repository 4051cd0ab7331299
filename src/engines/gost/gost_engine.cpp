#include "engines/gost/gost_engine.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "cryptoext/ossl.h"
#include "engines/common/guard.h"
#include "engines/gost/gost_key_methods.h"

namespace {

using objmap::Obj;

constexpr const char* kEngineId = "gost";
constexpr const char* kEngineName = "Kesta-Soft Orbssl Internal GOST engine";
constexpr int kSettingsSlot = 0;
// DER of id-tc26-gost-28147-param-Z, the default cipher parameter set.
constexpr uint8_t kDefaultCipherParamDer[] = {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07,
                                              0x01, 0x02, 0x05, 0x01, 0x01};
constexpr size_t kMaxOidContent = sizeof(TVK2012_ENGINE_CTX::cipher_param_oid) - 2;

const ENGINE_CMD_DEFN kCommands[] = {
    {kGostCmdParamsGost28147, "PARAMS_GOST28147", "GOST 28147 CryptoPro param set",
     ENGINE_CMD_FLAG_STRING},
    {kGostCmdPbePrfHmac, "PBE_PRF_HMAC", "PBE PRF HMAC OID", ENGINE_CMD_FLAG_STRING},
    {kGostCmdParamsGost2001, "PARAMS_GOST2001", "GOST R 34.10-2001 key parameter set",
     ENGINE_CMD_FLAG_STRING},
    {kGostCmdParamsGost2012_256, "PARAMS_GOST2012_256",
     "GOST R 34.10-2012 (256 bit) key parameter set", ENGINE_CMD_FLAG_STRING},
    {kGostCmdParamsGost2012_512, "PARAMS_GOST2012_512",
     "GOST R 34.10-2012 (512 bit) key parameter set", ENGINE_CMD_FLAG_STRING},
    {0, nullptr, nullptr, 0},
};

std::atomic<TVK2012_ENGINE_CTX*> g_loaded_settings{nullptr};

void report(const char* text) {
    std::fputs(text, stderr);
}
void report(const char* format, const char* value) {
    std::fprintf(stderr, format, value ? value : "(null)");
}

// The lists are never destroyed: the crypto library reads them again when it frees the engine at
// exit, after static destructors may already have run.
template <class Entry>
std::vector<int> nid_list(std::span<const Entry> rows) {
    std::vector<int> nids;
    for (const auto& r : rows) nids.push_back(objmap::nid(r.obj));
    return nids;
}

const std::vector<int>& digest_nids() {
    static const auto* nids = new std::vector<int>(nid_list(tvk_gost_digest_registry()));
    return *nids;
}
const std::vector<int>& cipher_nids() {
    static const auto* nids = new std::vector<int>(nid_list(tvk_gost_cipher_registry()));
    return *nids;
}
const std::vector<int>& pkey_nids() {
    static const auto* nids = [] {
        auto* list = new std::vector<int>;
        for (objmap::Obj o : tvk_gost_pkey_list()) list->push_back(objmap::nid(o));
        return list;
    }();
    return *nids;
}

// The selectors' shared shape: the list with no method pointer, else the method or NULL.
template <class M, class Find>
int select(M** out, const int** nids, int nid, const std::vector<int>& list, Find find) {
    if (out == nullptr) {
        if (nids != nullptr) *nids = list.empty() ? nullptr : list.data();
        return static_cast<int>(list.size());
    }
    *out = find(nid);
    return *out != nullptr ? 1 : 0;
}

bool create_settings(ENGINE* e) {
    auto* ctx = static_cast<TVK2012_ENGINE_CTX*>(OPENSSL_zalloc(sizeof(TVK2012_ENGINE_CTX)));
    if (ctx == nullptr) {
        report("TVK2012_ENGINE_CTX malloc failed\n");
        return false;
    }
    ctx->cipher_param_nid = objmap::nid(Obj::gost_28147_param_Z);
    std::memcpy(ctx->cipher_param_oid, kDefaultCipherParamDer, sizeof kDefaultCipherParamDer);
    ctx->pbe_prf_nid = objmap::nid(Obj::id_HMACGostR3411_94);
    if (!ENGINE_set_ex_data(e, kSettingsSlot, ctx)) {
        OPENSSL_free(ctx);
        report("ENGINE_set_ex_data failed\n");
        return false;
    }
    return true;
}

bool add_algorithms_by_name() {
    for (const auto& row : tvk_gost_cipher_registry())
        if (!EVP_add_cipher(row.get())) return false;
    for (const auto& row : tvk_gost_digest_registry())
        if (!EVP_add_digest(row.get())) return false;
    return true;
}

int set_cipher_params(TVK2012_ENGINE_CTX* ctx, const char* value) {
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) {
        report("Invalid PARAMS_GOST28147: %s\n", value);
        return 0;
    }
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    const int len = obj != nullptr ? static_cast<int>(OBJ_length(obj)) : 0;
    // An identifier that does not fit the field is refused before anything changes: a stored
    // number without its identifier would make the two settings disagree.
    if (obj != nullptr && (len <= 0 || static_cast<size_t>(len) > kMaxOidContent)) {
        report("Can't build ASN1_OBJECT from PARAMS_GOST28147: %s\n", value);
        return 0;
    }
    ctx->cipher_param_nid = nid;
    std::memset(ctx->cipher_param_oid, 0, sizeof ctx->cipher_param_oid);
    std::memcpy(ctx->cipher_param_oid, kDefaultCipherParamDer, sizeof kDefaultCipherParamDer);
    if (obj == nullptr) {
        report("Can't build ASN1_OBJECT from PARAMS_GOST28147: %s\n", value);
        return 0;
    }
    ctx->cipher_param_oid[1] = static_cast<uint8_t>(len);
    std::memcpy(ctx->cipher_param_oid + 2, OBJ_get0_data(obj), static_cast<size_t>(len));
    return 1;
}

int set_pbe_prf(TVK2012_ENGINE_CTX* ctx, const char* value) {
    if (value == nullptr) {
        report("Can't build PBE_PRF_HMAC ASN1_OBJECT from NULL\n");
        return 0;
    }
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) {
        report("Invalid PBE_PRF_HMAC: %s\n", value);
        return 0;
    }
    if (!objmap::is_one_of(nid, {Obj::id_HMACGostR3411_94, Obj::hmac_gost_3411_2012_512})) {
        report("Unsupported PBE_PRF_HMAC: %s\n", value);
        return 0;
    }
    ctx->pbe_prf_nid = nid;
    return 1;
}

int set_key_params_256(int32_t* field, const char* value) {
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) {
        report("Unknown PARAMS_GOST2001/2012_256: %s\n", value);
        return 0;
    }
    if (!objmap::is_one_of(
            nid,
            {Obj::GostR3410_2001_TestParamSet, Obj::GostR3410_2001_CryptoPro_A_ParamSet,
             Obj::GostR3410_2001_CryptoPro_B_ParamSet, Obj::GostR3410_2001_CryptoPro_C_ParamSet,
             Obj::GostR3410_2001_CryptoPro_XchA_ParamSet,
             Obj::GostR3410_2001_CryptoPro_XchB_ParamSet})) {
        report("Unsupported PARAMS_GOST2001/2012_256: %s\n", value);
        return 0;
    }
    *field = nid;
    return 1;
}

int set_key_params_512(int32_t* field, const char* value) {
    const int nid = OBJ_txt2nid(value);
    if (nid == NID_undef) {
        report("Unknown PARAMS_GOST2012_512: %s\n", value);
        return 0;
    }
    if (!objmap::is_one_of(nid,
                           {Obj::gost_3410_2012_512_paramSetTest, Obj::gost_3410_2012_512_paramSetA,
                            Obj::gost_3410_2012_512_paramSetB})) {
        report("Unsupported PARAMS_GOST2012_512: %s\n", value);
        return 0;
    }
    *field = nid;
    return 1;
}

bool fail(const char* line) {
    report(line);
    return false;
}

}  // namespace

TVK2012_ENGINE_CTX* tvk_gost_settings(ENGINE* e) {
    auto* ctx = e != nullptr
                    ? static_cast<TVK2012_ENGINE_CTX*>(ENGINE_get_ex_data(e, kSettingsSlot))
                    : nullptr;
    if (ctx == nullptr) report("ENGINE_get_ex_data failed\n");
    return ctx;
}

TVK2012_ENGINE_CTX* tvk_gost_loaded_settings() {
    return g_loaded_settings.load();
}

int tvk_gost_digests(ENGINE*, const EVP_MD** md, const int** nids, int nid) {
    return engines::guarded("tvk_gost_digests", 0, [&] {
        return select(md, nids, nid, digest_nids(), [](int n) -> const EVP_MD* {
            for (const auto& row : tvk_gost_digest_registry())
                if (objmap::nid(row.obj) == n) return row.get();
            return nullptr;
        });
    });
}

int tvk_gost_ciphers(ENGINE*, const EVP_CIPHER** cipher, const int** nids, int nid) {
    return engines::guarded("tvk_gost_ciphers", 0, [&] {
        return select(cipher, nids, nid, cipher_nids(), [](int n) -> const EVP_CIPHER* {
            for (const auto& row : tvk_gost_cipher_registry())
                if (objmap::nid(row.obj) == n) return row.get();
            return nullptr;
        });
    });
}

int tvk_gost_pkey_meths(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid) {
    return engines::guarded("tvk_gost_pkey_meths", 0, [&] {
        return engine_keys::select_pkey_meth(e, pmeth, nids, nid, pkey_nids());
    });
}

int tvk_gost_pkey_asn1_meths(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid) {
    return engines::guarded("tvk_gost_pkey_asn1_meths", 0, [&] {
        return engine_keys::select_asn1_meth(e, ameth, nids, nid, pkey_nids());
    });
}

int tvk_gost_engine_init(ENGINE* e) {
    return tvk_gost_settings(e) != nullptr ? 1 : 0;
}

int tvk_gost_engine_destroy(ENGINE* e) {
    engine_keys::free_key_methods(e);
    TVK2012_ENGINE_CTX* ctx = tvk_gost_settings(e);
    if (ctx == nullptr) return 0;
    ENGINE_set_ex_data(e, kSettingsSlot, nullptr);
    TVK2012_ENGINE_CTX* expected = ctx;
    g_loaded_settings.compare_exchange_strong(expected, nullptr);
    OPENSSL_clear_free(ctx, sizeof *ctx);
    return 1;
}

int tvk_gost_ctrl(ENGINE* e, int cmd, long, void* value, void (*)(void)) {
    return engines::guarded("tvk_gost_ctrl", 0, [&] {
        TVK2012_ENGINE_CTX* ctx = tvk_gost_settings(e);
        if (ctx == nullptr) return 0;
        if (cmd < kGostCmdParamsGost28147 || cmd > kGostCmdReserved)
            return kCtrlCommandNotImplemented;
        const char* text = static_cast<const char*>(value);
        if (cmd == kGostCmdReserved) return 1;
        if (cmd == kGostCmdPbePrfHmac) return set_pbe_prf(ctx, text);
        if (text == nullptr) return 1;
        switch (cmd) {
            case kGostCmdParamsGost28147:
                return set_cipher_params(ctx, text);
            case kGostCmdParamsGost2001:
                return set_key_params_256(&ctx->key_params_2001, text);
            case kGostCmdParamsGost2012_256:
                return set_key_params_256(&ctx->key_params_2012_256, text);
            default:
                return set_key_params_512(&ctx->key_params_2012_512, text);
        }
    });
}

int bind_gost(ENGINE* e, const char* id) {
    return engines::guarded("bind_gost", 0, [&]() -> int {
        if (id != nullptr && std::strcmp(id, kEngineId) != 0) return 0;
        if (!objmap::register_objects()) return fail("object registration failed\n");
        if (!ENGINE_set_id(e, kEngineId)) return fail("ENGINE_set_id failed\n");
        if (!ENGINE_set_name(e, kEngineName)) return fail("ENGINE_set_name failed\n");
        if (!create_settings(e)) return 0;
        if (!ENGINE_set_digests(e, tvk_gost_digests)) return fail("ENGINE_set_digests failed\n");
        if (!ENGINE_set_ciphers(e, tvk_gost_ciphers)) return fail("ENGINE_set_ciphers failed\n");
        if (!ENGINE_set_pkey_meths(e, tvk_gost_pkey_meths))
            return fail("ENGINE_set_pkey_meths failed\n");
        if (!ENGINE_set_pkey_asn1_meths(e, tvk_gost_pkey_asn1_meths))
            return fail("ENGINE_set_pkey_asn1_meths failed\n");
        if (!ENGINE_set_cmd_defns(e, kCommands)) return fail("ENGINE_set_cmd_defns failed\n");
        if (!ENGINE_set_ctrl_function(e, tvk_gost_ctrl))
            return fail("ENGINE_set_ctrl_func failed\n");
        if (!ENGINE_set_destroy_function(e, tvk_gost_engine_destroy) ||
            !ENGINE_set_init_function(e, tvk_gost_engine_init) ||
            !ENGINE_set_finish_function(e, tvk_gost_engine_init))
            return 0;
        if (!engine_keys::create_key_methods(e, tvk_gost_pkey_registry(), register_ameth_tvk,
                                             register_pmeth_tvk))
            return 0;
        // No registration in the crypto library's tables here: they take no reference, so an
        // engine registered by its bind would be left in them when its caller frees it (a failed
        // bind, a test's own engine, a dynamic load given up). Whoever keeps the engine
        // registers it. Finding an algorithm by name takes an entry of its own, made here.
        if (!add_algorithms_by_name()) return 0;
        // Cipher and digest callbacks cannot reach their engine; until start-up loads its own,
        // the first engine bound serves them (a dynamically loaded engine has no start-up).
        TVK2012_ENGINE_CTX* none = nullptr;
        g_loaded_settings.compare_exchange_strong(
            none, static_cast<TVK2012_ENGINE_CTX*>(ENGINE_get_ex_data(e, kSettingsSlot)));
        return 1;
    });
}

void tvk_ENGINE_load_gost() {
    ossl::Engine e(ENGINE_new());
    if (!e || !bind_gost(e.get(), kEngineId)) return;
    // Start-up decides what this engine serves; "register all" must not widen it later.
    ENGINE_set_flags(e.get(), ENGINE_get_flags(e.get()) | ENGINE_FLAGS_NO_REGISTER_ALL);
    if (!ENGINE_add(e.get())) {
        report("ENGINE_add failed\n");
        ERR_clear_error();
        return;
    }
    // The engine list now holds it for the life of the process, so the tables may point at it.
    if (!ENGINE_register_ciphers(e.get()) || !ENGINE_register_digests(e.get()) ||
        !ENGINE_register_pkey_meths(e.get()) || !ENGINE_register_pkey_asn1_meths(e.get()))
        report("ENGINE_register failed\n");
    // Digests must sit in the engine table as defaults, or certificate digests and key decoding
    // by the crypto library never reach them.
    if (ENGINE_init(e.get())) {
        if (!ENGINE_set_default(e.get(), ENGINE_METHOD_DIGESTS | ENGINE_METHOD_CIPHERS |
                                             ENGINE_METHOD_PKEY_METHS |
                                             ENGINE_METHOD_PKEY_ASN1_METHS))
            report("ENGINE_set_default failed\n");
        ENGINE_finish(e.get());
    } else {
        report("ENGINE_init failed\n");
    }
    g_loaded_settings =
        static_cast<TVK2012_ENGINE_CTX*>(ENGINE_get_ex_data(e.get(), kSettingsSlot));
    ERR_clear_error();
}
