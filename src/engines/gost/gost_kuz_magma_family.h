// What differs between the Kuznyechik and the Magma method tables: the algorithm library's calls,
// the shortest IV, the family's object and the failure lines. Internal to the two glue sources.
#pragma once

#include <cstdio>

#include "cryptoext/objects.h"
#include "engines/gost/gost_engine.h"
#include "gost/gostr3413.h"

namespace kuzmagma {

struct Texts {
    const char* ecb_init_failed;
    const char* cbc_init_failed;
    const char* ctr_init_failed;
    const char* ofb_init_failed;
    const char* cfb_init_failed;
    const char* ecb_update_failed;
    const char* cbc_update_failed;
    const char* ctr_update_failed;
    const char* ofb_update_failed;
    const char* cfb_update_failed;
    const char* update_invalid_mode;   // %x
    const char* cleanup_invalid_mode;  // %x
    const char* rand_failed;
    const char* invalid_iv_length;  // %d
    const char* unsupported_ctrl;   // %d
    const char* set_params_no_memory;
    const char* set_params_invalid_iv;
    const char* get_params_invalid_iv;
    const char* mac_init_failed;
    const char* mac_update_failed;
    const char* mac_final_failed;
    const char* mac_invalid_key_length;  // %d
};

template <class C>
struct Family;

template <>
struct Family<gostr3413::Kuznechik> {
    static constexpr objmap::Obj family = objmap::Obj::kuznechik;
    static constexpr int min_iv_length = 16;
    static constexpr size_t mac_length = 8;
    static constexpr auto ecb_init = tvk_kuznechik_ecb_init;
    static constexpr auto cbc_init = tvk_kuznechik_cbc_init;
    static constexpr auto ctr_init = tvk_kuznechik_ctr_init;
    static constexpr auto ofb_init = tvk_kuznechik_ofb_init;
    static constexpr auto cfb_init = tvk_kuznechik_cfb_init;
    static constexpr auto ecb_update = tvk_kuznechik_ecb_update;
    static constexpr auto cbc_update = tvk_kuznechik_cbc_update;
    static constexpr auto ctr_update = tvk_kuznechik_ctr_update;
    static constexpr auto ofb_update = tvk_kuznechik_ofb_update;
    static constexpr auto cfb_update = tvk_kuznechik_cfb_update;
    static constexpr auto mac_init = tvk_kuznechik_mac_init;
    static constexpr auto mac_update = tvk_kuznechik_mac_update;
    static constexpr auto mac_final = tvk_kuznechik_mac_final;
    static constexpr Texts texts{
        "tvk_kuznechik_ecb_init failed\n",
        "tvk_kuznechik_cbc_init failed\n",
        "tvk_kuznechik_ctr_init failed\n",
        "tvk_kuznechik_ofb_init failed\n",
        "tvk_kuznechik_cfb_init failed\n",
        "tvk_kuznechik_ecb_update failed\n",
        "tvk_kuznechik_cbc_update failed\n",
        "tvk_kuznechik_ctr_update failed\n",
        "tvk_kuznechik_ofb_update failed\n",
        "tvk_kuznechik_cfb_update failed\n",
        "tvk_kuznechik_update: invalid cipher mode 0x%x\n",
        "tvk_kuznechik_cleanup: invalid cipher mode 0x%x\n",
        "tvk_kuznechik_ctrl: RAND_bytes failed\n",
        "tvk_kuznechik_ctrl: Invalid IV length %d\n",
        "tvk_kuznechik_ctrl: Unsupported command %d\n",
        "kuznechik_set_asn1_parameters: No memory\n",
        "kuznechik_set_asn1_parameters: Invalid IV length\n",
        "kuznechik_get_asn1_parameters: Invalid IV length\n",
        "tvk_kuznechik_mac_init failed\n",
        "tvk_kuznechik_mac_update failed\n",
        "tvk_kuznechik_mac_final failed\n",
        "tvk_kuznechik_mac_ctrl: Invalid key length %d\n",
    };
};

template <>
struct Family<gostr3413::Magma> {
    static constexpr objmap::Obj family = objmap::Obj::magma;
    static constexpr int min_iv_length = 8;
    static constexpr size_t mac_length = 4;
    static constexpr auto ecb_init = tvk_magma_ecb_init;
    static constexpr auto cbc_init = init_cbc_89;
    static constexpr auto ctr_init = tvk_magma_ctr_init;
    static constexpr auto ofb_init = tvk_magma_ofb_init;
    static constexpr auto cfb_init = tvk_magma_cfb_init;
    static constexpr auto ecb_update = tvk_magma_ecb_update;
    static constexpr auto cbc_update = tvk_magma_cbc_update;
    static constexpr auto ctr_update = tvk_magma_ctr_update;
    static constexpr auto ofb_update = tvk_magma_ofb_update;
    static constexpr auto cfb_update = tvk_magma_cfb_update;
    static constexpr auto mac_init = tvk_magma_mac_init;
    static constexpr auto mac_update = tvk_magma_mac_update;
    static constexpr auto mac_final = tvk_magma_mac_final;
    static constexpr Texts texts{
        "tvk_magma_ecb_init failed\n",
        "init_cbc_89 failed\n",
        "tvk_magma_ctr_init failed\n",
        "tvk_magma_ofb_init failed\n",
        "tvk_magma_cfb_init failed\n",
        "tvk_magma_ecb_update failed\n",
        "tvk_magma_cbc_update failed\n",
        "tvk_magma_ctr_update failed\n",
        "tvk_magma_ofb_update failed\n",
        "tvk_magma_cfb_update failed\n",
        "tvk_magma_update: invalid cipher mode 0x%x\n",
        "tvk_magma_cleanup: invalid cipher mode 0x%x\n",
        "tvk_magma_ctrl: RAND_bytes failed\n",
        "tvk_magma_ctrl: Invalid IV length %d\n",
        "tvk_magma_ctrl: Unsupported command %d\n",
        "magma_set_asn1_parameters: No memory\n",
        "magma_set_asn1_parameters: Invalid IV length\n",
        "magma_get_asn1_parameters: Invalid IV length\n",
        "tvk_magma_mac_init failed\n",
        "tvk_magma_mac_update failed\n",
        "tvk_magma_mac_final failed\n",
        "tvk_magma_mac_ctrl: Invalid key length %d\n",
    };
};

// A callback cannot reach its engine from a cipher or digest context, so these methods serve
// with the settings of the engine that was bound for the process.
inline TVK2012_ENGINE_CTX* settings_or_report() {
    TVK2012_ENGINE_CTX* settings = tvk_gost_loaded_settings();
    if (settings == nullptr) std::fputs("ENGINE_get_ex_data failed\n", stderr);
    return settings;
}

}  // namespace kuzmagma
