#include "platform/winstub.h"
#include "ssf/export.h"
#include "ssf/init.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"

void* g_hInstance = nullptr;

namespace {

BOOL dll_main(void* module, unsigned long reason) {
    using namespace ssf;
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            g_hInstance = module;
            if (init_lib() != 0) {
                log_write("%s() : init_lib() failed", "DllMain");
                return FALSE;
            }
            break;
        case DLL_PROCESS_DETACH:
            log_separator();
            log_write("Selvanor-SSF DLL was unloaded on %s", get_time_text().c_str());
            log_separator();
            crl_network_stop();
            break;
        default:
            break;
    }
    log_debug("Start-C");
    return TRUE;
}

}  // namespace

// Runs inside the loader: nothing may escape into it, or the host ends in dlopen or at exit.
BOOL DllMain(void* module, unsigned long reason, void* /*reserved*/) {
    try {
        return dll_main(module, reason);
    } catch (...) {
        return FALSE;
    }
}
