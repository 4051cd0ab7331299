#include "platform/winstub.h"
#include "ssf/config.h"
#include "ssf/export.h"
#include "ssf/log.h"

void* g_hInstance = nullptr;

BOOL DllMain(void* module, unsigned long reason, void* /*reserved*/) {
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
            break;
        default: break;
    }
    log_debug("Start-C");
    return TRUE;
}
