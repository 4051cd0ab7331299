#include "ssf/net/http.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "platform/winstub.h"

namespace ssf::http {

namespace {

// The OCSP library of the crypto library names the transport's failures for every client. Its
// 3.0 tables lost these reasons; they come back under numbers that its table leaves free.
enum Reason : int {
    kReadError = 113,
    kResponseError = 114,
    kParseError = 115,
    kWriteError = 116,
    kNoContent = 190,
};
ERR_STRING_DATA g_reasons[] = {
    {kReadError, "server read error"},
    {kResponseError, "server response error"},
    {kParseError, "server response parse error"},
    {kWriteError, "server write error"},
    {kNoContent, "no content"},
    {0, nullptr},
};

void raise(int reason, const std::string& data = {}) {
    static std::once_flag once;
    std::call_once(once, [] { ERR_load_strings(ERR_LIB_OCSP, g_reasons); });
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, "OCSP_sendreq_bio");
    if (data.empty())
        ERR_set_error(ERR_LIB_OCSP, reason, nullptr);
    else
        ERR_set_error(ERR_LIB_OCSP, reason, "%s", data.c_str());
}

Failure fail(Failure f, int reason, const std::string& data = {}) {
    raise(reason, data);
    return f;
}

// A write to a connection that the peer has closed raises SIGPIPE, whose default action would
// end the host process. It is held back on this thread while the transport works, and a pipe
// signal that the transport caused is taken off again.
class PipeSignalHold {
  public:
    PipeSignalHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        was_pending_ = pending();
    }
    ~PipeSignalHold() {
        if (!was_pending_ && pending()) {
            const timespec zero{};
            while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalHold(const PipeSignalHold&) = delete;
    PipeSignalHold& operator=(const PipeSignalHold&) = delete;

  private:
    static bool pending() {
        sigset_t s;
        sigemptyset(&s);
        return sigpending(&s) == 0 && sigismember(&s, SIGPIPE) == 1;
    }
    sigset_t pipe_, old_;
    bool was_pending_ = false;
};

uint64_t now_ns() {
    return platform::performance_counter();
}

bool is_address(const std::string& host) {
    unsigned char a[16];
    return inet_pton(AF_INET, host.c_str(), a) == 1 || inet_pton(AF_INET6, host.c_str(), a) == 1;
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A decimal or hexadecimal number of at most `digits` digits, all of the text.
std::optional<size_t> number(std::string_view s, int base, size_t digits) {
    if (s.empty() || s.size() > digits) return std::nullopt;
    size_t v = 0;
    for (char c : s) {
        const int d = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : (base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                                 ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                 : -1);
        if (d < 0) return std::nullopt;
        v = v * static_cast<size_t>(base) + static_cast<size_t>(d);
    }
    return v;
}

struct StatusLine {
    Failure failure = Failure::none;
    int code = 0;
    std::string reason;
};

// "PROTOCOL CODE [REASON]". A line that stops before the code, or right after it without a line
// end, is a parse error; a code with other characters than digits fails with no error queued.
StatusLine parse_status(std::string_view line, bool terminated) {
    StatusLine s;
    size_t p = 0;
    while (p < line.size() && !is_space(line[p])) ++p;
    while (p < line.size() && is_space(line[p])) ++p;
    size_t q = p;
    while (q < line.size() && !is_space(line[q])) ++q;
    if (p == line.size() || (q == line.size() && !terminated)) {
        s.failure = fail(Failure::malformed, kParseError);
        return s;
    }
    const std::optional<size_t> code = number(line.substr(p, q - p), 10, 9);
    if (!code) {
        s.failure = Failure::malformed;
        return s;
    }
    s.code = static_cast<int>(*code);
    s.reason = std::string(trim(line.substr(q)));
    return s;
}

}  // namespace

const char* failure_text(Failure f) {
    switch (f) {
        case Failure::none:
            return "no failure";
        case Failure::stream:
            return "cannot make the connect stream";
        case Failure::connect:
            return "cannot connect";
        case Failure::tls:
            return "TLS connection failed";
        case Failure::write:
            return "server write error";
        case Failure::read:
            return "server read error";
        case Failure::timeout:
            return "time-out";
        case Failure::malformed:
            return "server response parse error";
        case Failure::status:
            return "server response error";
        case Failure::no_content:
            return "no content";
        case Failure::too_big:
            return "reply too big";
    }
    return "unknown failure";
}

std::optional<Url> split_url(std::string_view text) {
    Url u;
    static constexpr std::string_view kHttp = "http://", kHttps = "https://";
    if (text.size() >= kHttps.size() && iequals(text.substr(0, kHttps.size()), kHttps)) {
        u.tls = true;
        text.remove_prefix(kHttps.size());
    } else if (text.size() >= kHttp.size() && iequals(text.substr(0, kHttp.size()), kHttp)) {
        text.remove_prefix(kHttp.size());
    } else {
        return std::nullopt;
    }
    const size_t end = text.find_first_of("/?#");
    std::string_view authority = text.substr(0, end);
    std::string_view rest = end == std::string_view::npos ? "" : text.substr(end);
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        u.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
        }
    } else {
        const size_t colon = authority.find(':');
        u.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (u.host.empty() || std::any_of(u.host.begin(), u.host.end(), [](char c) {
            return is_space(c) || c == '@' || c == '[' || c == ']';
        }))
        return std::nullopt;
    if (port.empty()) {
        u.port = u.tls ? "443" : "80";
    } else {
        const std::optional<size_t> n = number(port, 10, 5);
        if (!n || *n == 0 || *n > 65535) return std::nullopt;
        u.port = std::string(port);
    }
    const size_t fragment = rest.find('#');
    rest = rest.substr(0, fragment);
    if (std::any_of(rest.begin(), rest.end(), [](char c) { return is_space(c); }))
        return std::nullopt;
    u.path = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);
    return u;
}

Connection::Connection(const Limits& limits) : limits_(limits) {}

Connection::~Connection() = default;

int Connection::remaining_ms() const {
    const uint64_t now = now_ns();
    if (now >= deadline_ns_) return 0;
    const uint64_t ms = (deadline_ns_ - now + 999999) / 1000000;
    return static_cast<int>(std::min<uint64_t>(ms, 1u << 30));
}

Connection::Wait Connection::wait_for(BIO* b) const {
    int fd = -1;
    if (BIO_get_fd(socket_, &fd) <= 0 || fd < 0) return Wait::error;
    pollfd p{fd, static_cast<short>(BIO_should_read(b) ? POLLIN : POLLOUT), 0};
    for (;;) {
        const int ms = remaining_ms();
        if (ms <= 0) return Wait::timeout;
        const int r = poll(&p, 1, ms);
        if (r > 0) return Wait::ok;
        if (r == 0) return Wait::timeout;
        if (errno != EINTR) return Wait::error;
    }
}

Failure Connection::connect(const std::string& host, const std::string& port) {
    const uint64_t start = now_ns();
    deadline_ns_ = start + static_cast<uint64_t>(limits_.total_timeout_ms) * 1000000u;
    const uint64_t total_deadline = deadline_ns_;
    deadline_ns_ = std::min(total_deadline,
                            start + static_cast<uint64_t>(limits_.connect_timeout_ms) * 1000000u);
    // The crypto library reads "host:port" from the name: an IPv6 address goes in brackets.
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    chain_.reset(BIO_new_connect(name.c_str()));
    socket_ = chain_.get();
    if (!socket_) return Failure::stream;
    if (BIO_set_conn_port(socket_, port.c_str()) <= 0) return Failure::connect;
    BIO_set_nbio(socket_, 1);
    Failure result = Failure::none;
    for (;;) {
        if (BIO_do_connect(socket_) > 0) break;
        if (!BIO_should_retry(socket_)) {
            result = Failure::connect;
            break;
        }
        const Wait w = wait_for(socket_);
        if (w == Wait::timeout) {
            ERR_raise_data(ERR_LIB_BIO, BIO_R_CONNECT_TIMEOUT, "after %d ms",
                           limits_.connect_timeout_ms);
            result = Failure::timeout;
            break;
        }
        if (w == Wait::error) {
            result = Failure::connect;
            break;
        }
    }
    deadline_ns_ = total_deadline;
    if (result != Failure::none) drop();
    return result;
}

void Connection::drop() {
    chain_.reset();
    socket_ = nullptr;
}

Failure Connection::start_tls(const std::string& server_name) {
    PipeSignalHold hold;
    // Whatever fails, the connection is gone: nothing meant for TLS can then go out in plain text.
    const Failure f = handshake(server_name);
    if (f != Failure::none) drop();
    return f;
}

Failure Connection::handshake(const std::string& server_name) {
    if (!chain_) return Failure::tls;
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx_) return Failure::tls;
    SSL_CTX_set_mode(ctx_.get(), SSL_MODE_AUTO_RETRY);
    // A close without the TLS alert ends a reply read up to the close, as a plain close does.
    SSL_CTX_set_options(ctx_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_NONE, nullptr);
    BIO* tls = BIO_new_ssl(ctx_.get(), 1);
    if (!tls) return Failure::tls;
    SSL* ssl = nullptr;
    BIO_get_ssl(tls, &ssl);
    if (!ssl || (!is_address(server_name) &&
                 SSL_set_tlsext_host_name(ssl, const_cast<char*>(server_name.c_str())) != 1)) {
        ossl::Bio owner(tls);
        return Failure::tls;
    }
    chain_.reset(BIO_push(tls, chain_.release()));
    for (;;) {
        if (BIO_do_handshake(chain_.get()) > 0) return Failure::none;
        if (!BIO_should_retry(chain_.get())) return Failure::tls;
        const Wait w = wait_for(chain_.get());
        if (w == Wait::timeout) {
            ERR_raise_data(ERR_LIB_BIO, BIO_R_TRANSFER_TIMEOUT, "TLS handshake");
            return Failure::timeout;
        }
        if (w == Wait::error) return Failure::tls;
    }
}

Failure Connection::send(std::string_view bytes) {
    PipeSignalHold hold;
    if (!chain_) return fail(Failure::write, kWriteError);
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 20));
        const int n = BIO_write(chain_.get(), bytes.data(), chunk);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (!BIO_should_retry(chain_.get())) return fail(Failure::write, kWriteError);
        const Wait w = wait_for(chain_.get());
        if (w == Wait::timeout) return fail(Failure::timeout, kWriteError, "timed out");
        if (w == Wait::error) return fail(Failure::write, kWriteError);
    }
    while (BIO_flush(chain_.get()) <= 0) {
        if (!BIO_should_retry(chain_.get())) return fail(Failure::write, kWriteError);
        if (wait_for(chain_.get()) != Wait::ok) return fail(Failure::timeout, kWriteError);
    }
    return Failure::none;
}

Failure Connection::fill() {
    if (pos_ > 0 && pos_ * 2 >= buf_.size()) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    char tmp[16384];
    for (;;) {
        const int n = BIO_read(chain_.get(), tmp, sizeof tmp);
        if (n > 0) {
            // Framing may add to the body, but never without bound.
            if (received_.size() + static_cast<size_t>(n) >
                limits_.max_head_bytes + 2 * limits_.max_body_bytes)
                return fail(Failure::too_big, kReadError, "reply too big");
            buf_.append(tmp, static_cast<size_t>(n));
            received_.append(tmp, static_cast<size_t>(n));
            return Failure::none;
        }
        if (BIO_should_retry(chain_.get())) {
            const Wait w = wait_for(chain_.get());
            if (w == Wait::timeout)
                return fail(
                    Failure::timeout, kReadError,
                    "no complete reply within " + std::to_string(limits_.total_timeout_ms) + " ms");
            if (w == Wait::error) return fail(Failure::read, kReadError);
            continue;
        }
        if (n == 0) {
            eof_ = true;
            return Failure::none;
        }
        return fail(Failure::read, kReadError);
    }
}

// One line without its line end. At the end of the reply: Failure::no_content, with what was
// there in `line`. Every byte counts against the budget, so a line of any length is read as long
// as the lines together stay within it; past it, Failure::too_big with `too_long` as the data.
Failure Connection::read_line(std::string& line, size_t& budget, const char* too_long) {
    size_t scanned = 0;  // from pos_ on: filling may move the unread bytes to the front
    for (;;) {
        const size_t nl = buf_.find('\n', pos_ + scanned);
        const size_t used = (nl == std::string::npos ? buf_.size() : nl + 1) - pos_;
        if (used > budget) return fail(Failure::too_big, kReadError, too_long);
        if (nl != std::string::npos) {
            line.assign(buf_, pos_, nl - pos_);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            budget -= used;
            pos_ = nl + 1;
            return Failure::none;
        }
        if (eof_) {
            line.assign(buf_, pos_, std::string::npos);
            budget -= used;
            pos_ = buf_.size();
            return Failure::no_content;
        }
        scanned = buf_.size() - pos_;
        if (Failure f = fill(); f != Failure::none) return f;
    }
}

Failure Connection::read_exact(size_t n, std::string& out) {
    while (buf_.size() - pos_ < n) {
        if (eof_) return fail(Failure::read, kReadError, "reply cut short");
        if (Failure f = fill(); f != Failure::none) return f;
    }
    out.append(buf_, pos_, n);
    pos_ += n;
    return Failure::none;
}

// The framing is part of the body: chunk-size lines, the line end after each chunk and the
// trailer count against the body's bound, so a reply in many small chunks is read as long as it
// stays within it. Each framing line is bounded as well, by what the head lines may take.
Failure Connection::read_chunked(std::string& out) {
    size_t budget = limits_.max_body_bytes;
    auto framing_line = [&](std::string& line) {
        const bool line_bound = limits_.max_head_bytes < budget;
        size_t allowed = line_bound ? limits_.max_head_bytes : budget;
        const size_t before = allowed;
        const Failure f =
            read_line(line, allowed, line_bound ? "chunk line too long" : "reply too big");
        budget -= before - allowed;
        return f;
    };
    std::string line;
    for (;;) {
        Failure f = framing_line(line);
        if (f == Failure::no_content) return fail(Failure::read, kReadError, "reply cut short");
        if (f != Failure::none) return f;
        std::string_view size_text = trim(std::string_view(line).substr(0, line.find(';')));
        const std::optional<size_t> size = number(size_text, 16, 8);
        if (!size) return fail(Failure::malformed, kParseError, "bad chunk size");
        if (*size == 0) break;
        if (*size > budget) return fail(Failure::too_big, kReadError, "reply too big");
        budget -= *size;
        if ((f = read_exact(*size, out)) != Failure::none) return f;
        f = framing_line(line);
        if (f == Failure::no_content) return fail(Failure::read, kReadError, "reply cut short");
        if (f != Failure::none) return f;
        if (!line.empty()) return fail(Failure::malformed, kParseError, "chunk too long");
    }
    // Trailer lines up to the empty line; a close right after the last chunk ends it as well.
    for (;;) {
        const Failure f = framing_line(line);
        if (f == Failure::no_content) return Failure::none;
        if (f != Failure::none) return f;
        if (trim(line).empty()) return Failure::none;
    }
}

Failure Connection::read_to_close(std::string& out) {
    for (;;) {
        const size_t have = buf_.size() - pos_;
        if (out.size() + have > limits_.max_body_bytes)
            return fail(Failure::too_big, kReadError, "reply too big");
        out.append(buf_, pos_, have);
        pos_ = buf_.size();
        if (eof_) return Failure::none;
        if (Failure f = fill(); f != Failure::none) return f;
    }
}

Failure Connection::status_line(Reply& reply, size_t& budget) {
    if (!chain_) return fail(Failure::read, kReadError);
    std::string line;
    const Failure f = read_line(line, budget);
    if (f == Failure::no_content && line.empty()) return fail(Failure::malformed, kParseError);
    if (f != Failure::none && f != Failure::no_content) return f;
    const StatusLine status = parse_status(line, f == Failure::none);
    if (status.failure != Failure::none) return status.failure;
    reply.status = status.code;
    reply.reason = status.reason;
    return Failure::none;
}

namespace {

Failure status_failure(const Reply& reply) {
    std::string data = "Code=" + std::to_string(reply.status);
    if (!reply.reason.empty()) data += ",Reason=" + reply.reason;
    return fail(Failure::status, kResponseError, data);
}

}  // namespace

Failure Connection::head_and_body(Reply& reply) {
    size_t budget = limits_.max_head_bytes;
    Failure f = status_line(reply, budget);
    if (f != Failure::none) return f;
    if (reply.status != 200) return status_failure(reply);

    std::string line;
    std::optional<size_t> length;
    bool chunked = false;
    for (;;) {
        if ((f = read_line(line, budget)) == Failure::no_content)
            return fail(Failure::no_content, kNoContent);
        if (f != Failure::none) return f;
        if (trim(line).empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string_view name = trim(std::string_view(line).substr(0, colon));
        const std::string_view value = trim(std::string_view(line).substr(colon + 1));
        if (iequals(name, "Transfer-Encoding")) {
            // Only the chunked coding is undone; the client asks for no other.
            if (!iequals(value, "chunked"))
                return fail(Failure::malformed, kParseError, "transfer coding not supported");
            chunked = true;
        } else if (iequals(name, "Content-Encoding")) {
            if (!iequals(value, "identity"))
                return fail(Failure::malformed, kParseError, "content coding not supported");
        } else if (iequals(name, "Content-Length")) {
            const std::optional<size_t> n = number(value, 10, 18);
            if (!n || (length && *length != *n))
                return fail(Failure::malformed, kParseError, "bad Content-Length");
            length = n;
        }
    }
    if (chunked) return read_chunked(reply.body);
    if (!length) return read_to_close(reply.body);
    if (*length > limits_.max_body_bytes)
        return fail(Failure::too_big, kReadError, "reply too big");
    return read_exact(*length, reply.body);
}

Failure Connection::tunnel(const std::string& host, const std::string& port,
                           const std::string& authorization) {
    PipeSignalHold hold;
    const Failure f = open_tunnel(host, port, authorization);
    if (f != Failure::none) drop();
    return f;
}

Failure Connection::open_tunnel(const std::string& host, const std::string& port,
                                const std::string& authorization) {
    const std::string authority =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    std::string head = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!authorization.empty()) head += "Proxy-Authorization: " + authorization + "\r\n";
    Failure f = send(head + "\r\n");
    if (f != Failure::none) return f;
    Reply reply;
    size_t budget = limits_.max_head_bytes;
    if ((f = status_line(reply, budget)) != Failure::none) return f;
    if (reply.status < 200 || reply.status > 299) return status_failure(reply);
    for (std::string line;;) {
        if ((f = read_line(line, budget)) == Failure::no_content)
            return fail(Failure::no_content, kNoContent);
        if (f != Failure::none) return f;
        if (trim(line).empty()) break;
    }
    // The server speaks first only after the client's hello: bytes already here came from the
    // proxy, and would be taken for the server's.
    if (pos_ != buf_.size()) return fail(Failure::malformed, kParseError, "data after CONNECT");
    buf_.clear();
    pos_ = 0;
    received_.clear();
    return Failure::none;
}

Failure Connection::receive(Reply& reply) {
    PipeSignalHold hold;
    reply = Reply{};
    const Failure f = head_and_body(reply);
    reply.received = std::move(received_);
    received_.clear();
    return f;
}

}  // namespace ssf::http
