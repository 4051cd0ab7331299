// The "gost" engine: the crypto library's door to the GOST digests, ciphers, MACs and key
// methods. This header holds the engine object, its settings and its method registries.
#pragma once

#include <openssl/engine.h>

#include <cstdint>
#include <span>

#include "cryptoext/objects.h"
#include "engines/common/engine_keys.h"

inline constexpr int kGostCmdParamsGost28147 = ENGINE_CMD_BASE;
inline constexpr int kGostCmdPbePrfHmac = ENGINE_CMD_BASE + 1;
inline constexpr int kGostCmdParamsGost2001 = ENGINE_CMD_BASE + 2;
inline constexpr int kGostCmdParamsGost2012_256 = ENGINE_CMD_BASE + 3;
inline constexpr int kGostCmdParamsGost2012_512 = ENGINE_CMD_BASE + 4;
inline constexpr int kGostCmdReserved = ENGINE_CMD_BASE + 5;  // accepted, changes nothing
// The crypto library's reason code for a control command that is not implemented.
inline constexpr int kCtrlCommandNotImplemented = 119;

// Registries: one row per algorithm the engine offers. Each algorithm's source adds its row;
// the rows give the selectors their lists of numbers and bind its registration order.
struct GostDigestEntry {
    objmap::Obj obj;
    const EVP_MD* (*get)();
};
struct GostCipherEntry {
    objmap::Obj obj;
    const EVP_CIPHER* (*get)();
};
std::span<const GostDigestEntry> tvk_gost_digest_registry();
std::span<const GostCipherEntry> tvk_gost_cipher_registry();
// The key types, in the order their methods are made.
std::span<const engine_keys::MethodRow> tvk_gost_pkey_registry();
// The key types as both key selectors list them: key pairs, agreement, then the MACs.
std::span<const objmap::Obj> tvk_gost_pkey_list();

// Fills e with the engine's methods; it registers nothing in the crypto library's tables.
int bind_gost(ENGINE* e, const char* id);
// Binds a new engine, adds it to the engine list and makes it the default for its methods.
void tvk_ENGINE_load_gost();

int tvk_gost_digests(ENGINE* e, const EVP_MD** md, const int** nids, int nid);
int tvk_gost_ciphers(ENGINE* e, const EVP_CIPHER** cipher, const int** nids, int nid);
int tvk_gost_pkey_meths(ENGINE* e, EVP_PKEY_METHOD** pmeth, const int** nids, int nid);
int tvk_gost_pkey_asn1_meths(ENGINE* e, EVP_PKEY_ASN1_METHOD** ameth, const int** nids, int nid);
int tvk_gost_engine_init(ENGINE* e);
int tvk_gost_engine_destroy(ENGINE* e);
int tvk_gost_ctrl(ENGINE* e, int cmd, long number, void* value, void (*callback)(void));

// The settings of an engine, or nullptr with "ENGINE_get_ex_data failed\n" on stderr.
TVK2012_ENGINE_CTX* tvk_gost_settings(ENGINE* e);
// The settings of the "gost" engine loaded at start-up, for callbacks that cannot reach their
// engine from a context; nullptr before it is loaded.
TVK2012_ENGINE_CTX* tvk_gost_loaded_settings();
