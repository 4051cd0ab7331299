#include "ssf/log.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <type_traits>

#include "platform/winstub.h"

namespace ssf {

namespace {

// Only constant-initialised globals here: the library's start-up runs from an ELF constructor
// that may precede this file's dynamic initialisers, and its unload lines follow the static
// destructors. The strings live on the heap for the life of the process.
std::mutex g_log_mutex;
std::atomic<bool> g_debug{false};
// The path and name change only under g_log_mutex (a log a failed start-up opened may move to the
// one the mended configuration names); g_open is published after them.
std::atomic<bool> g_open{false};
// What this thread writes while start-up holds its lines back (LogHold), and the application
// name its records carry: the log they are meant for is opened only after them.
thread_local std::string* t_held = nullptr;
thread_local const char* t_held_app = nullptr;

struct Names {
    std::string path;
    std::string app = "UNKNOWNAPP";
    std::string own;  // the file of the process's own that takes the lines in its place, once made
};
Names& names() {
    static Names* n = new Names;
    return *n;
}
#define g_path (names().path)
#define g_app (names().app)
#define g_own (names().own)

}  // namespace

std::string errno_text(int error) {
    char msg[256];
    return "errno = " + std::to_string(error) + " (" + strerror_r(error, msg, sizeof msg) + ")";
}

namespace {

constexpr const char* kTheirs = "it belongs to another user";

// Why a file may not take the log's lines; "" when it may. In a directory others may write anyone
// may have put something in the log's place: a link or a FIFO, a file of their own (they would
// read what the library writes; root's files are taken by root alone), or another name of a file
// of the process's user (a hard link would make that file, whatever it is, take the lines).
std::string unfit(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "it is not a regular file";
    if (st.st_uid != ::geteuid()) return kTheirs;
    if (st.st_nlink != 1) return "it has " + std::to_string(st.st_nlink) + " hard links";
    return {};
}

// Why no file takes the lines ("" when one does), and whether it is what stands at the name that
// may not take them, rather than an error met opening or checking it.
struct Refusal {
    std::string why;
    bool unfit = false;
    bool absent = false;  // nothing stands at the name
};

// Keeps fd when what it opened may take the lines; else closes it and says why. A descriptor
// that cannot be checked is not written to.
Refusal checked(int& fd) {
    struct stat st {};
    Refusal r;
    if (::fstat(fd, &st) != 0) {
        r.why = errno_text(errno);
    } else {
        r.why = unfit(st);
        r.unfit = !r.why.empty();
    }
    if (!r.why.empty()) {
        ::close(fd);
        fd = -1;
    }
    return r;
}

// Opens the file for appending (with O_CREAT in `flags`, made with mode when it is not there;
// with O_EXCL too, only a file the open makes), or says why it may not take the lines. O_NOFOLLOW
// and O_NONBLOCK: the open neither follows a link nor waits on a FIFO; what it opened is then
// checked by its descriptor, whatever the name pointed at before.
Refusal open_log_file(const std::string& path, int& fd, int flags, mode_t mode) {
    fd = ::open(path.c_str(),
                O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | flags, mode);
    if (fd >= 0) return checked(fd);
    const int err = errno;
    struct stat st {};
    Refusal r;
    const bool there = ::lstat(path.c_str(), &st) == 0;
    r.why = there ? unfit(st) : std::string();
    r.unfit = !r.why.empty();
    r.absent = !there && err == ENOENT;
    if (!r.unfit) r.why = errno_text(err);
    return r;
}

std::string full_path(const char* path, bool add_pid) {
    std::string p(path);
    if (add_pid) {
        p += '_';
        p += get_pid_text();
    }
    return p;
}

struct LogFile {
    int fd = -1;
    std::string name;
    std::string why;  // why no file takes the lines, when fd < 0
};

// Whether users other than the process's may add or replace names in the directory that holds
// path: it is sticky, writable by its group or by others, or another user's (root's aside). Judged
// by the directory itself, whatever setting or link led there; one that cannot be looked at counts
// as such.
bool others_may_write(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return true;
    return (st.st_mode & (S_ISVTX | S_IWGRP | S_IWOTH)) != 0 ||
           (st.st_uid != ::geteuid() && st.st_uid != 0);
}

// A new file of the process's own beside the log: the name with "_" and the process id, or, as
// anyone can make that name in advance, a new unique one beside it (as mkstemp makes it). Both
// are made 0600, as every file the log makes in such a directory. Sets `name` to the file made, or
// to the last name tried and says why it could not be made.
std::string make_own_log_file(std::string& name, int& fd) {
    name = full_path(g_path.c_str(), true);
    if (open_log_file(name, fd, O_CREAT | O_EXCL, 0600).why.empty()) return {};
    name += "_XXXXXX";
    fd = ::mkostemp(name.data(), O_APPEND | O_CLOEXEC);
    if (fd < 0) return errno_text(errno);
    return checked(fd).why;
}

// The file that takes the log's lines. In a directory others may write, another user may have put
// something in the log's place first (a file of their own, a link, a FIFO), or in the place of the
// file the process made for itself after (once a clean-up removed it): the lines then go to a new
// file of the process's own beside it, and the process keeps to that file, without asking the
// other user's entry again on every line. Call with g_log_mutex held.
LogFile open_log() {
    LogFile f;
    f.name = g_own.empty() ? g_path : g_own;
    // Only an open that makes the file gives it a mode, so the directory is looked at then, or
    // when what stands at the name may not take the lines, and not for every line. A file made in
    // such a directory may have a group that others are in (the directory's when it is setgid,
    // or the process's own, which other users may share): every file the log makes there is the
    // process's alone, also one made again after a clean-up removed it.
    Refusal refused = open_log_file(f.name, f.fd, 0, 0);
    std::optional<bool> shared;
    if (f.fd < 0 && refused.absent) {
        shared = others_may_write(f.name);
        refused = open_log_file(f.name, f.fd, O_CREAT, *shared ? 0600 : 0640);
    }
    f.why = refused.why;
    if (f.fd >= 0 || !refused.unfit || !(shared ? *shared : others_may_write(f.name))) return f;
    std::string own;
    const std::string own_why = make_own_log_file(own, f.fd);
    if (f.fd < 0) {
        f.why += ", and '" + own + "' cannot be made new, " + own_why;
        return f;
    }
    platform::debug_output(
        ("Log file '" + f.name + "' " +
         (f.why == kTheirs ? "belongs to another user" : "cannot be used (" + f.why + ")") +
         "; the trace log continues in '" + own + "'")
            .c_str());
    g_own = f.name = own;
    return f;
}

// Writes what the file takes of the text; "" when it took all of it, else why not. A write past
// the process's file-size limit writes what fits and then fails, the host living on.
std::string write_all(int fd, const std::string& text, size_t& written) {
    platform::FileSizeSignalHold hold;
    written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno_text(errno);
        if (n == 0) return "nothing was written";
        written += static_cast<size_t>(n);
    }
    return {};
}

// One write(2) per text: an O_APPEND write lands whole, so lines of threads and processes never
// interleave inside a line. What the file cannot take of a text (all of it when refused, the rest
// when a write fails: a full disk, the file-size limit, an I/O error) goes to the debug output
// with the reason, so that no failure (start-up's above all) vanishes unseen. Call with
// g_log_mutex held.
void append_to_log(const std::string& text) {
    LogFile f = open_log();
    const char* failed = "open";
    size_t written = 0;
    if (f.fd >= 0) {
        f.why = write_all(f.fd, text, written);
        ::close(f.fd);
        failed = "write";
    }
    if (f.why.empty()) return;
    std::string lost = text.substr(written);
    if (!lost.empty() && lost.back() == '\n') lost.pop_back();
    platform::debug_output(("Failed to " + std::string(failed) + " log file '" + f.name + "' (" +
                            f.why + "):\n" + lost)
                               .c_str());
}

// Two names of one file: a doubled slash, "." or a linked directory make names differ.
bool same_file(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa {
    }, sb{};
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Call with g_log_mutex held.
void append_locked(const std::string& text) {
    if (t_held) {
        *t_held += text;
        return;
    }
    if (g_open.load(std::memory_order_acquire)) append_to_log(text);
}

void append_raw(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    append_locked(text);
}

std::string banner() {
    return std::string(kLogSeparator) + "\n Trace file started on " + get_time_text() + "\n" +
           kLogSeparator + "\n";
}

// Control characters of a text from outside (an identity, a file name, a certificate's subject,
// a URL) are written escaped, so that such a text cannot begin a log line of its own: "\n" for a
// line feed, "\xNN" for the other bytes below 0x20 and for DEL. Every other byte stays.
std::string escape_controls(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        const auto b = static_cast<unsigned char>(*c);
        if (b == '\n') {
            out += "\\n";
        } else if (b < 0x20 || b == 0x7f) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        } else {
            out += *c;
        }
    }
    return out;
}

template <class T>
void append_formatted(std::string& out, const std::string& directive, T value) {
    const int n = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (n <= 0) return;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, directive.c_str(), value);
    out.resize(at + static_cast<size_t>(n));
}

// An integer argument of the width its length modifier names.
template <bool Signed>
void append_integer(std::string& out, const std::string& directive, const std::string& length,
                    va_list* ap) {
    using LongLong = std::conditional_t<Signed, long long, unsigned long long>;
    using Long = std::conditional_t<Signed, long, unsigned long>;
    using Size = std::conditional_t<Signed, ptrdiff_t, size_t>;
    using Max = std::conditional_t<Signed, intmax_t, uintmax_t>;
    using Int = std::conditional_t<Signed, int, unsigned>;
    if (length == "ll" || length == "q")
        append_formatted(out, directive, va_arg(*ap, LongLong));
    else if (length == "l")
        append_formatted(out, directive, va_arg(*ap, Long));
    else if (length == "z" || length == "t")
        append_formatted(out, directive, va_arg(*ap, Size));
    else if (length == "j")
        append_formatted(out, directive, va_arg(*ap, Max));
    else
        append_formatted(out, directive, va_arg(*ap, Int));
}

// One conversion: the argument is taken with the type its length modifier names, as vsnprintf
// would take it, and a string argument is escaped before it is formatted.
void append_conversion(std::string& out, const std::string& directive, const std::string& length,
                       char conversion, va_list* ap) {
    switch (conversion) {
        case 'd':
        case 'i':
            append_integer<true>(out, directive, length, ap);
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            append_integer<false>(out, directive, length, ap);
            break;
        case 'c': {
            // A character quoted from outside text: a control character is escaped like one
            // inside a string.
            const char c[2] = {static_cast<char>(va_arg(*ap, int)), '\0'};
            std::string as_text = directive;
            as_text.back() = 's';
            append_formatted(out, as_text, escape_controls(c).c_str());
            break;
        }
        case 'p':
            append_formatted(out, directive, va_arg(*ap, void*));
            break;
        case 's': {
            const char* text = va_arg(*ap, const char*);
            append_formatted(out, directive, escape_controls(text ? text : "(null)").c_str());
            break;
        }
        case 'n':
            (void)va_arg(*ap, void*);  // writes nothing here
            break;
        default:
            if (length == "L")
                append_formatted(out, directive, va_arg(*ap, long double));
            else
                append_formatted(out, directive, va_arg(*ap, double));
            break;
    }
}

std::string vformat(const char* format, va_list ap) {
    va_list args;  // a copy of its own, handed on by address (va_list is an array type here)
    va_copy(args, ap);
    std::string out;
    const char* p = format;
    while (*p && out.size() < kLogTextMax) {
        const char* percent = std::strchr(p, '%');
        if (!percent) {
            out += p;
            break;
        }
        out.append(p, static_cast<size_t>(percent - p));
        const char* q = percent + 1;
        if (*q == '%') {
            out += '%';
            p = q + 1;
            continue;
        }
        std::string directive = "%";
        while (*q && std::strchr("-+ #0'", *q)) directive += *q++;
        auto number = [&] {
            if (*q == '*') {
                directive += std::to_string(va_arg(args, int));
                ++q;
            }
            while (*q >= '0' && *q <= '9') directive += *q++;
        };
        number();
        if (*q == '.') {
            directive += *q++;
            number();
        }
        std::string length;
        while (*q && std::strchr("hlLqjzt", *q)) length += *q++;
        if (!*q || !std::strchr("diouxXcpsneEfFgGaA", *q)) {
            out += percent;  // no conversion: the rest is written as it stands
            break;
        }
        directive += length;
        directive += *q;
        append_conversion(out, directive, length, *q, &args);
        p = q + 1;
    }
    va_end(args);
    if (out.size() > kLogTextMax - 1) out.resize(kLogTextMax - 1);
    return out;
}

void write_line(const std::string& text) {
    append_raw(text + "\n");
}

std::string app_name() {
    if (t_held && t_held_app) return t_held_app;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_app;
}

void write_record(const char* kind, const std::string& message) {
    write_line(kLogRule);
    write_line(app_name() + " " + get_time_text());
    write_line(kind);
    write_line(message);
    write_line(kLogRule);
}

}  // namespace

int log_open(const char* path, const char* app_name, bool add_pid) {
    if (!path) return -1;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_open.load()) return 1;
    std::string p = full_path(path, add_pid);
    // The limit counts the whole name, suffix included, so nothing downstream can overflow.
    if (p.size() >= kLogTextMax) return -1;
    g_path = std::move(p);
    g_app = app_name ? app_name : "UNKNOWNAPP";
    g_own.clear();
    g_open.store(true, std::memory_order_release);
    append_locked(banner());
    return 0;
}

int log_move(const char* path, const char* app_name, bool add_pid, const std::string& last_line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (!g_open.load()) return -1;
    const std::string p = path ? full_path(path, add_pid) : std::string();
    if (path && (p.size() >= kLogTextMax || same_file(p, g_path) ||
                 (!g_own.empty() && same_file(p, g_own))))
        return 1;
    append_to_log(escape_controls(last_line.c_str()) + "\n");
    g_own.clear();
    if (!path) {
        g_open.store(false);
        g_path.clear();
        return 0;
    }
    g_path = p;
    g_app = app_name ? app_name : "UNKNOWNAPP";
    append_locked(banner());
    return 0;
}

LogHold::LogHold(const char* app_name) : previous_(t_held), previous_app_(t_held_app) {
    t_held = &text_;
    t_held_app = app_name;
}

LogHold::~LogHold() {
    end();
}

void LogHold::end() {
    if (t_held != &text_) return;
    t_held = previous_;
    t_held_app = previous_app_;
}

std::string LogHold::take() {
    end();
    return std::move(text_);
}

void log_write_held(const std::string& text) {
    if (!text.empty()) append_raw(text);
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

void log_debug_text(const std::string& text) {
    if (!g_debug.load()) return;
    platform::debug_output(text.c_str());
    write_line(text);
}

std::string log_escaped(const std::string& text) {
    return escape_controls(text.c_str());
}

void log_hexdump(const void* data, uint32_t count, const char* label) {
    if (!g_debug.load() || !data || count == 0 || count > 4096) return;
    if (!g_open.load() && !t_held) return;
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

std::string oldest_crypto_error_text() {
    unsigned long e = ERR_get_error();
    if (e == 0) return std::string();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

void log_crypto_errors() {
    log_write("------BEGIN ORBSSL ERRORS-----");
    // Drained even with no log open, as the file-based dump did: the queue must not carry stale
    // errors into the next call.
    ERR_print_errors_cb(
        [](const char* str, size_t len, void*) -> int {
            // Called from the crypto library's C code: an exception must not pass through it.
            try {
                // The error data may quote outside texts (file names, field values).
                std::string line(str, len);
                if (!line.empty() && line.back() == '\n') line.pop_back();
                append_raw(escape_controls(line.c_str()) + "\n");
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
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_open.load() ? g_path : std::string();
}

void log_reset_for_tests() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_open.store(false);
    g_path.clear();
    g_own.clear();
    g_app = "UNKNOWNAPP";
}

}  // namespace ssf
