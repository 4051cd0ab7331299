// Library start-up: finds and reads the configuration, opens the trace log, brings up the crypto
// library and its engines, and fills the process-wide configuration (ssf/config.h). It sits at
// the top beside the exports, which run it before every call until it has succeeded.
#pragma once

#include <string>

#include "ssf/config.h"

namespace ssf {

// 0 on success (also when start-up had already succeeded), -1 on failure. After a failure a call
// may wait up to about a second for a mended file to settle, or for the outcome of the run another
// call is making; with may_wait false it never waits, and fails at once where it would.
int init_lib(bool may_wait = true);
bool lib_started();

std::string get_config_dir();
const char* get_default_log_dir();
std::string get_default_log_path();
const char* get_local_encoding();

// Splits "proxy:proxy_url" into host and port.
void split_proxy_url(const std::string& url, Text& host, Text& port);

// For tests only: back to the state of a freshly loaded library (log closed, not started).
void reset_for_tests();
// For tests only: how many calls wait for the outcome of the start-up another call is running.
int start_up_joiners_for_tests();
// For tests only: what stands before the file name of the log a failed start-up writes, in place
// of the shared "/tmp/", until reset_for_tests().
void set_fallback_log_dir_for_tests(const std::string& dir);

}  // namespace ssf
