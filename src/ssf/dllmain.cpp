// ELF glue: the loader's constructor and destructor stand where Windows calls DllMain.
#include <dlfcn.h>

#include "ssf/export.h"

namespace {

void* own_handle() {
    Dl_info info{};
    return dladdr(reinterpret_cast<void*>(&own_handle), &info) ? info.dli_fbase : nullptr;
}

// A constructor cannot fail dlopen; when start-up fails here, every export runs it again.
__attribute__((constructor)) void on_process_attach() {
    DllMain(own_handle(), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void on_process_detach() {
    DllMain(g_hInstance, DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
