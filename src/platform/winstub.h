// Linux stand-ins for the Windows services the provider was designed around.
#pragma once

#include <signal.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/files.h"

namespace platform {

// Registry: values live in a small ini file whose sections are key paths
// ("HKEY_LOCAL_MACHINE\Software\..."). SSF_REGISTRY_FILE points elsewhere (tests).
inline constexpr const char* kDefaultRegistryFile = "/etc/selvanor-ssf-server/registry.ini";
struct RegistryRead {
    std::string file;                  // the file asked
    std::optional<std::string> value;  // none: no such file, key or value
    // A file that is there but cannot be used: the errno of its read, or the line (from 1) not
    // understood. Its values are unknown, which is not the same as absent.
    int error = 0;
    bool not_regular = false;  // a directory, FIFO or device in the file's place
    int bad_line = 0;
    bool missing = false;  // no directory entry at all
    // What was read, to tell whether the file has held still since: its bytes, and its stamp
    // when it held still while it was read.
    std::string text;
    std::optional<FileStamp> stamp;
    bool unusable() const { return error != 0 || bad_line != 0; }
};
[[nodiscard]] RegistryRead registry_get_string(const std::string& key_path,
                                               const std::string& value);

struct OsVersion {
    int major = 0;
    int minor = 0;
    std::string detail;  // stands where Windows puts the service-pack text
};
bool get_os_version(OsVersion& out);  // uname(2)
// Test seam: makes get_os_version fail, the one start-up step that can fail on its own.
void set_test_os_version_failure(bool fail);
bool get_workstation_info(std::string& name);  // gethostname(2)

// No debugger exists on Linux: the sink writes nowhere unless SSF_DEBUG_OUTPUT=stderr.
void debug_output(const char* text);

// While one lives, a write on this thread past the process's file-size limit (RLIMIT_FSIZE) only
// fails, with EFBIG, after writing what fits: the kernel raises SIGXFSZ for it, whose default
// action ends the process, and a library must not end its host for a line of its trace. The
// signal is held back meanwhile, and one raised meanwhile is taken away before it is let through
// again; one the host already had waiting stays.
class FileSizeSignalHold {
  public:
    FileSizeSignalHold();
    ~FileSizeSignalHold();
    FileSizeSignalHold(const FileSizeSignalHold&) = delete;
    FileSizeSignalHold& operator=(const FileSizeSignalHold&) = delete;

  private:
    sigset_t previous_mask_;
    bool held_ = false;
    bool was_pending_ = false;
};

uint32_t process_id();

// Module loading; modules are never closed.
void* load_library(const char* path);
void* get_proc_address(void* module, const char* name);

// Sleeps the calling thread, or hands the pause to the sleeper a test set instead (the OCSP
// freshness pause would otherwise cost tests real seconds).
void sleep_ms(unsigned ms);
void set_test_sleeper(std::function<void(unsigned ms)> sleeper);
uint64_t performance_counter();  // monotonic nanoseconds

// The process's own clock for rules over elapsed time, which no one can set back as the wall
// clock can be: the performance counter, or the reading a test fixed (and moves on itself).
uint64_t monotonic_ns();
void set_test_monotonic_clock(std::optional<uint64_t> fixed_ns);

// The one clock of the system: tests set it to check time-dependent rules.
time_t now();
void set_test_clock(std::optional<time_t> fixed);

// ctime-style text of t without the newline, formatted per call (never a shared buffer).
std::string ctime_text(time_t t);

}  // namespace platform
