#include "ssf/log.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/winstub.h"

namespace ssf {

namespace {

// Only constant-initialised globals here: the library's start-up runs from an ELF constructor
// that may precede this file's dynamic initialisers, and its unload lines follow the static
// destructors. The strings live on the heap for the life of the process.
std::mutex g_log_mutex;
std::atomic<bool> g_debug{false};
// The path and name are written once, before g_open is published, and never change after.
std::atomic<bool> g_open{false};

struct Names {
    std::string path;
    std::string app = "UNKNOWNAPP";
};
Names& names() {
    static Names* n = new Names;
    return *n;
}
#define g_path (names().path)
#define g_app (names().app)

int open_log_file() {
    return ::open(g_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
}

// One write(2) per line: an O_APPEND write lands whole, so lines of threads and processes
// never interleave inside a line.
void append_raw(const std::string& text) {
    if (!g_open.load(std::memory_order_acquire)) return;
    int fd = open_log_file();
    if (fd < 0) return;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
}

// Most lines fit a small buffer; only a longer one is formatted again at its own size (never
// more than kLogTextMax), so a line costs no clearing of the largest buffer.
std::string vformat(const char* format, va_list ap) {
    char small[1024];
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, format, ap);
    if (n < 0) n = 0;
    const size_t len = std::min<size_t>(static_cast<size_t>(n), kLogTextMax - 1);
    std::string out;
    if (len < sizeof small) {
        out.assign(small, len);
    } else {
        out.resize(len + 1);
        std::vsnprintf(out.data(), len + 1, format, again);
        out.resize(len);
    }
    va_end(again);
    return out;
}

void write_line(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    append_raw(text + "\n");
}

void write_record(const char* kind, const std::string& message) {
    write_line(kLogRule);
    write_line(g_app + " " + get_time_text());
    write_line(kind);
    write_line(message);
    write_line(kLogRule);
}

}  // namespace

int log_open(const char* path, const char* app_name, bool add_pid) {
    if (!path) return -1;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_open.load()) return 1;
    std::string p(path);
    if (add_pid) {
        p += '_';
        p += get_pid_text();
    }
    // The limit counts the whole name, suffix included, so nothing downstream can overflow.
    if (p.size() >= kLogTextMax) return -1;
    g_path = std::move(p);
    g_app = app_name ? app_name : "UNKNOWNAPP";
    g_open.store(true, std::memory_order_release);
    int fd = open_log_file();
    if (fd < 0)
        platform::debug_output("Failed to open log file");
    else
        ::close(fd);
    append_raw(std::string(kLogSeparator) + "\n Trace file started on " + get_time_text() + "\n" +
               kLogSeparator + "\n");
    return 0;
}

void log_write(const char* format, ...) {
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    write_line(text);
}

void log_error(const char* format, ...) {
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    write_record("ERROR", text);
}

void log_info(const char* format, ...) {
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    write_record("INFO", text);
}

void log_debug(const char* format, ...) {
    if (!format || !g_debug.load()) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    platform::debug_output(text.c_str());
    write_line(text);
}

void log_hexdump(const void* data, uint32_t count, const char* label) {
    if (!g_debug.load() || !data || count == 0 || count > 4096 || !g_open.load()) return;
    static const char digits[] = "0123456789abcdef";
    std::string text = "\n";
    text += label ? label : "";
    text += ": size=" + std::to_string(count) + ":";
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < count; ++i) {
        text += ' ';
        text += digits[p[i] >> 4];
        text += digits[p[i] & 15];
    }
    text += "\n";
    append_raw(text);
}

void log_separator() {
    log_write("%s", kLogSeparator);
}

void log_crypto_errors() {
    log_write("------BEGIN ORBSSL ERRORS-----");
    // Drained even with no log open, as the file-based dump did: the queue must not carry stale
    // errors into the next call.
    ERR_print_errors_cb(
        [](const char* str, size_t len, void*) -> int {
            // Called from the crypto library's C code: an exception must not pass through it.
            try {
                std::string line(str, len);
                if (line.empty() || line.back() != '\n') line += '\n';
                append_raw(line);
                return 1;
            } catch (...) {
                return 0;
            }
        },
        nullptr);
    log_write("-------END ORBSSL ERRORS------");
}

std::string get_time_text() {
    return platform::ctime_text(std::time(nullptr));
}

std::string get_pid_text() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.8x", platform::process_id());
    return buf;
}

void log_set_debug_mode(bool on) {
    g_debug.store(on);
}
bool log_debug_mode() {
    return g_debug.load();
}
bool log_is_open() {
    return g_open.load();
}
std::string log_path() {
    return g_open.load() ? g_path : std::string();
}

void log_reset_for_tests() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_open.store(false);
    g_path.clear();
    g_app = "UNKNOWNAPP";
}

}  // namespace ssf
