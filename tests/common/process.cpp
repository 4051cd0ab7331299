#include "common/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd,
            int in_fd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) envs.emplace_back(*e);
    for (const auto& e : env) envs.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (in_fd >= 0) dup2(in_fd, 0);
        if (out_fd >= 0) {
            dup2(out_fd, 1);
            dup2(out_fd, 2);
        }
        setpgid(0, 0);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("free_port: no port");
    }
    close(fd);
    return ntohs(a.sin_port);
}

bool wait_for_port(int port, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port);
        const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& output_file) {
    const int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = spawn(argv, env, out, -1);
    if (out >= 0) close(out);
    if (pid_ < 0) throw std::runtime_error("cannot start " + argv.at(0));
}

Child& Child::operator=(Child&& o) noexcept {
    if (this != &o) {
        stop();
        pid_ = o.pid_;
        o.pid_ = -1;
    }
    return *this;
}

Child::~Child() {
    stop();
}

bool Child::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Child::wait(int timeout_ms) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1;
            return r == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Child::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait(3000) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

int run_command(const std::vector<std::string>& argv, std::string* output,
                const std::string& stdin_data) {
    int out_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return -1;
    }
    const pid_t pid = spawn(argv, {}, out_pipe[1], in_pipe[0]);
    close(out_pipe[1]);
    close(in_pipe[0]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(in_pipe[1]);
        return -1;
    }
    // Feed and drain together: either side may fill its pipe first.
    std::thread feeder([fd = in_pipe[1], &stdin_data] {
        signal(SIGPIPE, SIG_IGN);
        size_t off = 0;
        while (off < stdin_data.size()) {
            const ssize_t n = write(fd, stdin_data.data() + off, stdin_data.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        close(fd);
    });
    char buf[4096];
    for (ssize_t n; (n = read(out_pipe[0], buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (output) output->append(buf, static_cast<size_t>(n));
    }
    close(out_pipe[0]);
    feeder.join();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
