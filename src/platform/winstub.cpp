#include "platform/winstub.h"

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/files.h"

namespace platform {

namespace {

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::atomic<bool> g_clock_fixed{false};
std::atomic<time_t> g_clock_value{0};
std::mutex g_sleeper_mutex;
std::function<void(unsigned)> g_sleeper;

}  // namespace

std::optional<std::string> registry_get_string(const std::string& key_path,
                                               const std::string& value) {
    const char* file = std::getenv("SSF_REGISTRY_FILE");
    const RegularFile registry(file && *file ? file : kDefaultRegistryFile);
    if (!registry) return std::nullopt;
    std::ifstream in(registry.name());
    if (!in) return std::nullopt;
    // Registry key and value names are case-insensitive; so is this look-up.
    std::string line, section;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = trim(line.substr(1, line.size() - 2));
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos || !iequals(section, key_path)) continue;
        if (!iequals(trim(line.substr(0, eq)), value)) continue;
        std::string v = trim(line.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        return v;
    }
    return std::nullopt;
}

std::atomic<bool> g_fail_os_version{false};

void set_test_os_version_failure(bool fail) {
    g_fail_os_version.store(fail);
}

bool get_os_version(OsVersion& out) {
    if (g_fail_os_version.load()) return false;
    struct utsname u {};
    if (uname(&u) != 0) return false;
    out.major = 0;
    out.minor = 0;
    std::sscanf(u.release, "%d.%d", &out.major, &out.minor);
    out.detail = std::string(u.sysname) + " " + u.release;
    return true;
}

bool get_workstation_info(std::string& name) {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return false;
    name = buf;
    return true;
}

void debug_output(const char* text) {
    static const bool to_stderr = [] {
        const char* v = std::getenv("SSF_DEBUG_OUTPUT");
        return v && std::strcmp(v, "stderr") == 0;
    }();
    if (to_stderr && text) std::fprintf(stderr, "%s\n", text);
}

uint32_t process_id() {
    return static_cast<uint32_t>(getpid());
}

void* load_library(const char* path) {
    return path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
}

void* get_proc_address(void* module, const char* name) {
    return module && name ? dlsym(module, name) : nullptr;
}

void sleep_ms(unsigned ms) {
    std::function<void(unsigned)> sleeper;
    {
        std::lock_guard<std::mutex> lock(g_sleeper_mutex);
        sleeper = g_sleeper;
    }
    if (sleeper) {
        sleeper(ms);
        return;
    }
    struct timespec ts {
        static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void set_test_sleeper(std::function<void(unsigned)> sleeper) {
    std::lock_guard<std::mutex> lock(g_sleeper_mutex);
    g_sleeper = std::move(sleeper);
}

uint64_t performance_counter() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

time_t now() {
    return g_clock_fixed.load() ? g_clock_value.load() : std::time(nullptr);
}

void set_test_clock(std::optional<time_t> fixed) {
    if (fixed) g_clock_value.store(*fixed);
    g_clock_fixed.store(fixed.has_value());
}

std::string ctime_text(time_t t) {
    char buf[64] = {};
    struct tm tmv {};
    if (!localtime_r(&t, &tmv) || !asctime_r(&tmv, buf)) return "?";
    std::string s(buf);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

}  // namespace platform
