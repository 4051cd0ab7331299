#include "common/http_stub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace testing_support {

namespace {

bool send_all(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until pred says the buffer holds enough, the peer closes, or the stub stops.
bool read_until(int fd, std::string& buf, const std::atomic<bool>& stopping,
                const std::function<bool()>& enough) {
    char tmp[8192];
    while (!enough()) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, 100);
        if (stopping) return false;
        if (r <= 0) continue;
        const ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buf.append(tmp, static_cast<size_t>(n));
    }
    return true;
}

HttpRequest parse_head(const std::string& head) {
    HttpRequest req;
    req.head = head;
    size_t eol = head.find("\r\n");
    const std::string line = head.substr(0, eol);
    const size_t s1 = line.find(' '), s2 = line.rfind(' ');
    req.method = line.substr(0, s1);
    req.target = s2 > s1 ? line.substr(s1 + 1, s2 - s1 - 1) : line.substr(s1 + 1);
    req.version = s2 > s1 ? line.substr(s2 + 1) : "";
    while (eol != std::string::npos && eol + 2 < head.size()) {
        const size_t next = head.find("\r\n", eol + 2);
        const std::string h = head.substr(eol + 2, next - eol - 2);
        const size_t colon = h.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < h.size() && h[v] == ' ') ++v;
            req.headers.emplace_back(h.substr(0, colon), h.substr(v));
        }
        eol = next;
    }
    return req;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [k, v] : headers)
        if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return "";
}

HttpReply HttpReply::bytes(std::string raw, std::vector<size_t> pieces) {
    HttpReply r;
    r.raw = std::move(raw);
    r.pieces = std::move(pieces);
    return r;
}

HttpReply HttpReply::make(int code, const std::string& body, const std::string& content_type,
                          const std::string& extra_headers) {
    HttpReply r;
    r.raw = "HTTP/1.1 " + std::to_string(code) + (code < 400 ? " OK" : " Error") +
            "\r\nContent-Type: " + content_type +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
            extra_headers + "\r\n" + body;
    return r;
}

HttpReply HttpReply::chunked(int code, const std::string& body, const std::vector<size_t>& sizes,
                             const std::string& content_type) {
    HttpReply r;
    r.raw = "HTTP/1.1 " + std::to_string(code) + " OK\r\nContent-Type: " + content_type +
            "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    auto chunk = [&r](const std::string& part) {
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", part.size());
        r.raw += size + part + "\r\n";
    };
    size_t off = 0;
    for (size_t n : sizes) {
        if (off >= body.size()) break;
        n = std::min(n, body.size() - off);
        chunk(body.substr(off, n));
        off += n;
    }
    if (off < body.size()) chunk(body.substr(off));
    r.raw += "0\r\n\r\n";
    return r;
}

HttpStub::HttpStub(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("HttpStub: cannot listen");
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { serve(); });
}

HttpStub::~HttpStub() {
    stopping_ = true;
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int fd : open_fds_) shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : workers_) t.join();
    close(listen_fd_);
}

std::string HttpStub::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> HttpStub::requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
}

void HttpStub::set_handler(Handler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
}

void HttpStub::serve() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        open_fds_.push_back(fd);
        workers_.emplace_back([this, fd] { answer(fd); });
    }
}

void HttpStub::answer(int fd) {
    std::string buf;
    size_t head_end = std::string::npos;
    if (read_until(fd, buf, stopping_, [&] {
            head_end = buf.find("\r\n\r\n");
            return head_end != std::string::npos;
        })) {
        HttpRequest req = parse_head(buf.substr(0, head_end + 2));
        const size_t want = static_cast<size_t>(std::atoll(req.header("Content-Length").c_str()));
        read_until(fd, buf, stopping_, [&] { return buf.size() >= head_end + 4 + want; });
        req.body = buf.substr(head_end + 4, want);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.push_back(req);
            handler = handler_;
        }
        const HttpReply reply = handler(req);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.delay_ms);
        while (!stopping_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!reply.silent) {
            size_t off = 0;
            for (size_t n : reply.pieces) {
                if (off >= reply.raw.size() || !send_all(fd, reply.raw.substr(off, n))) break;
                off += n;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (off < reply.raw.size()) send_all(fd, reply.raw.substr(off));
        }
        if (reply.silent || reply.keep_open) {
            std::string rest;
            read_until(fd, rest, stopping_, [] { return false; });
        }
    }
    shutdown(fd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(mu_);
    open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
    close(fd);
}

}  // namespace testing_support
