// Real servers for the tests: started on 127.0.0.1 with a port the test picks, stopped by their
// process id when the test ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int free_port();
// True once something accepts connections on 127.0.0.1:port, false after timeout_ms.
bool wait_for_port(int port, int timeout_ms = 10000);

// A child process; its standard output and error go to output_file (or nowhere). The destructor
// stops it: SIGTERM, then SIGKILL after a grace period.
class Child {
  public:
    Child() = default;
    // argv[0] is looked up on PATH; env entries are "NAME=value" added to ours.
    explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                   const std::string& output_file = "/dev/null");
    ~Child();
    Child(Child&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the exit; the exit code, or -1 when it was killed or the wait timed out.
    int wait(int timeout_ms = 10000);
    void stop();

  private:
    pid_t pid_ = -1;
};

// Runs a command to its end; its exit code (-1 when it did not start or was killed).
// Standard output and error are appended to *output when given.
int run_command(const std::vector<std::string>& argv, std::string* output = nullptr,
                const std::string& stdin_data = "");

}  // namespace testing_support
