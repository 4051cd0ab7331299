// The host tool: loads the SSF provider with dlopen and calls its exports as the SAP host does.
// Usage: ssfhost [--lib PATH] COMMAND [ARGS...]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Host {
    void* lib = nullptr;
    template <class F>
    F fn(const char* name) const {
        void* p = dlsym(lib, name);
        if (!p) {
            std::fprintf(stderr, "ssfhost: the library exports no %s\n", name);
            std::exit(3);
        }
        return reinterpret_cast<F>(p);
    }
};

int cmd_load(const Host& h, const std::vector<std::string>&) {
    auto svn = h.fn<const char* (*)()>("get_ssf_svn_info");
    std::printf("library loaded; %s\n", svn());
    return 0;
}

struct Command {
    const char* name;
    const char* help;
    int (*run)(const Host&, const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"load", "load the library (runs its start-up) and print its revision", cmd_load},
};

void usage() {
    std::fprintf(stderr, "usage: ssfhost [--lib PATH] COMMAND [ARGS...]\ncommands:\n");
    for (const auto& c : kCommands) std::fprintf(stderr, "  %-12s %s\n", c.name, c.help);
}

}  // namespace

int main(int argc, char** argv) {
    std::string lib_path = std::getenv("SSF_LIBRARY") ? std::getenv("SSF_LIBRARY") : "libselvanor-ssf.so";
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--lib") == 0) {
        lib_path = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    const std::string name = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);
    for (const auto& c : kCommands) {
        if (name != c.name) continue;
        Host h;
        h.lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h.lib) {
            std::fprintf(stderr, "ssfhost: cannot load %s: %s\n", lib_path.c_str(), dlerror());
            return 3;
        }
        return c.run(h, args);
    }
    usage();
    return 2;
}
