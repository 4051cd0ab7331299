// The trace log: one text file that every function of the provider reports to. Each line opens,
// appends to and closes the file, so several processes and an administrator can share and
// rotate it.
#pragma once

#include <cstdint>
#include <string>

#define SSF_PRINTF(f, a) __attribute__((format(printf, f, a)))

namespace ssf {

inline constexpr size_t kLogTextMax = 102400;  // every formatted text, its NUL included
inline constexpr const char* kLogSeparator =
    "=============================================================";
inline constexpr const char* kLogRule =
    "-------------------------------------------------------------";

// 0 opened; 1 a log was already open (the first stays); -1 null or over-long path. The file is
// written only while it is a regular file with one link, of the process's effective user, never
// through a link; what it cannot take of a line (all of it, or the rest past the file-size limit)
// goes to the debug output with the reason. In a directory others may write (sticky, writable by
// its group or others, or another user's), anything else at the log's name (another user's file,
// a link, a FIFO) gives way to a new file of the process's own beside it: the name with "_" and the
// process id, or when that is taken a new unique name beside that one; so does that file when it
// is later found unfit in its turn.
int log_open(const char* path, const char* app_name, bool add_pid);
// Moves the open log to another file (null: no log from here on), after writing last_line as
// the old file's last line. 0 moved; 1 the same file (by device and inode, whatever the name) or
// an over-long path (nothing done); -1 no log is open.
int log_move(const char* path, const char* app_name, bool add_pid, const std::string& last_line);

// While one lives, what the constructing thread writes to the log is kept back instead; take()
// ends the hold and hands the text over, for log_write_held() or for nothing. Start-up knows only
// at its end whether its lines are news, and where the log is.
// Error and information records held carry app_name, the name of the log they are meant for.
class LogHold {
  public:
    explicit LogHold(const char* app_name);
    ~LogHold();
    LogHold(const LogHold&) = delete;
    LogHold& operator=(const LogHold&) = delete;
    std::string take();

  private:
    void end();
    std::string text_;
    std::string* previous_;
    const char* previous_app_;
};
void log_write_held(const std::string& text);
void log_write(const char* format, ...) SSF_PRINTF(1, 2);
void log_error(const char* format, ...) SSF_PRINTF(1, 2);
void log_info(const char* format, ...) SSF_PRINTF(1, 2);
void log_debug(const char* format, ...) SSF_PRINTF(1, 2);
// A debug text of the provider's own making (a request it sends), written as it is, line breaks
// included. Texts from outside go through the formats, which escape their control characters.
void log_debug_text(const std::string& text);
// An outside text as every "%s" argument is written: control characters escaped ("\n", "\xNN").
// For a text of the provider's own that quotes outside values.
std::string log_escaped(const std::string& text);
void log_hexdump(const void* data, uint32_t count, const char* label);
void log_separator();
// Drains the crypto library's error queue into the log, between the BEGIN/END ORBSSL lines.
void log_crypto_errors();
// Text of the oldest error on the crypto library's queue (removed from it); "" when none.
std::string oldest_crypto_error_text();

// A pointer for the log: printed with "%#lx" (after a literal "0x", with "%lx"), it shows every
// bit of the address and "0x" once.
inline unsigned long ptr_bits(const void* p) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

std::string get_time_text();
// "errno = N (text)", as the log says why a file could not be used.
std::string errno_text(int error);
std::string get_pid_text();

void log_set_debug_mode(bool on);
bool log_debug_mode();
bool log_is_open();
std::string log_path();  // empty while no log is open

// For tests only: forget the open log so another can be opened.
void log_reset_for_tests();

}  // namespace ssf
