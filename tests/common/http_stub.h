// A scripted HTTP server inside the test process, on 127.0.0.1 and a port of its own: each
// request goes to the test's handler, whose reply is sent byte for byte (or withheld), so tests
// can answer with stale, garbage, oversize, chunked or no replies at all.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct HttpRequest {
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string head;  // the request line and header lines exactly as received
    // The first header of that name (case-insensitive), or "".
    std::string header(const std::string& name) const;
};

struct HttpReply {
    std::string raw;             // sent as it is
    bool silent = false;         // accept and read, then never answer until the server stops
    bool keep_open = false;      // after raw, keep the connection open instead of closing it
    int delay_ms = 0;            // wait before sending
    std::vector<size_t> pieces;  // send raw in pieces of these sizes, 20 ms apart (then the rest)
    // These bytes as they are, in pieces of the sizes given (see `pieces`).
    static HttpReply bytes(std::string raw, std::vector<size_t> pieces = {});
    // A complete response with Content-Length, and "Connection: close".
    static HttpReply make(int code, const std::string& body,
                          const std::string& content_type = "application/octet-stream",
                          const std::string& extra_headers = "");
    // The same body in chunks of the given sizes (the rest in one last chunk).
    static HttpReply chunked(int code, const std::string& body, const std::vector<size_t>& sizes,
                             const std::string& content_type = "application/octet-stream");
};

class HttpStub {
  public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    explicit HttpStub(Handler handler);
    ~HttpStub();
    HttpStub(const HttpStub&) = delete;
    HttpStub& operator=(const HttpStub&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const;
    std::vector<HttpRequest> requests() const;  // every request seen so far
    void set_handler(Handler handler);

  private:
    void serve();
    void answer(int fd);

    Handler handler_;
    int listen_fd_ = -1, port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mu_;
    std::vector<HttpRequest> seen_;
    std::vector<int> open_fds_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace testing_support
