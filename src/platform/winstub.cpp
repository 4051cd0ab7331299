#include "platform/winstub.h"

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/ini.h"

namespace platform {

namespace {

std::atomic<bool> g_clock_fixed{false};
std::atomic<time_t> g_clock_value{0};
std::atomic<bool> g_monotonic_fixed{false};
std::atomic<uint64_t> g_monotonic_value{0};
std::mutex g_sleeper_mutex;
std::function<void(unsigned)> g_sleeper;

}  // namespace

// A registry key holds a value once; should the file name one twice, the first counts, as it
// always has, so an installed file keeps meaning what it meant. The value is data, not
// configuration text: a ';' or '#' in a directory name belongs to the name, and only a pair of
// double quotes around it is taken off.
RegistryRead registry_get_string(const std::string& key_path, const std::string& value) {
    const char* file = std::getenv("SSF_REGISTRY_FILE");
    RegistryRead out;
    out.file = file && *file ? file : kDefaultRegistryFile;
    IniFileRead read = read_ini_file(out.file, kRegistryDialect);
    out.missing = read.missing;
    if (read.missing) return out;
    out.error = read.error;
    out.not_regular = read.not_regular;
    out.bad_line = read.bad_line;
    out.text = std::move(read.text);
    out.stamp = read.stamp;
    if (!read.ini) return out;
    for (const Ini::Section& section : read.ini->sections()) {
        if (!ini_names_equal(section.name, key_path)) continue;
        for (const auto& [k, v] : section.entries) {
            if (!ini_names_equal(k, value)) continue;
            out.value = v.size() >= 2 && v.front() == '"' && v.back() == '"'
                            ? v.substr(1, v.size() - 2)
                            : v;
            return out;
        }
    }
    return out;
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

// Asked on every text, as a debugger may attach at any time on Windows.
void debug_output(const char* text) {
    const char* v = std::getenv("SSF_DEBUG_OUTPUT");
    if (!v || std::strcmp(v, "stderr") != 0 || !text) return;
    FileSizeSignalHold hold;  // stderr may be a file
    std::fprintf(stderr, "%s\n", text);
}

namespace {

sigset_t file_size_signal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGXFSZ);
    return set;
}

bool file_size_signal_pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1;
}

}  // namespace

FileSizeSignalHold::FileSizeSignalHold() {
    const sigset_t set = file_size_signal();
    held_ = pthread_sigmask(SIG_BLOCK, &set, &previous_mask_) == 0;
    was_pending_ = held_ && file_size_signal_pending();
}

FileSizeSignalHold::~FileSizeSignalHold() {
    if (!held_) return;
    if (!was_pending_ && file_size_signal_pending()) {
        const sigset_t set = file_size_signal();
        const struct timespec now {};
        while (sigtimedwait(&set, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
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

uint64_t monotonic_ns() {
    return g_monotonic_fixed.load() ? g_monotonic_value.load() : performance_counter();
}

void set_test_monotonic_clock(std::optional<uint64_t> fixed_ns) {
    if (fixed_ns) g_monotonic_value.store(*fixed_ns);
    g_monotonic_fixed.store(fixed_ns.has_value());
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
