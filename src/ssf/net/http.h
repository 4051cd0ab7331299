// The HTTP transport of the provider's own network clients (certificate web service, OCSP, time
// stamps): a request that the client wrote itself goes over the crypto library's connect stream,
// plain or TLS, and one reply comes back with its framing undone. Every step is bounded: a connect
// time-out, one total time-out for the exchange, a bound on the header lines and on the reply.
// Failures come back by kind, so each client maps them to its own codes and log lines; the HTTP
// ones also go on the crypto library's error queue in the OCSP library's words ("server read
// error", "server response error" with "Code=...,Reason=...", ...), as every client reports them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cryptoext/ossl.h"

namespace ssf::http {

// "scheme://host[:port][/path]": http and https, the scheme matched at the start of the text
// without regard to case. The port defaults to 80 or 443; the path to "/". An IPv6 host is
// written in brackets and kept without them.
struct Url {
    bool tls = false;
    std::string host, port, path;
};
[[nodiscard]] std::optional<Url> split_url(std::string_view text);

struct Limits {
    int connect_timeout_ms = 10000;
    int total_timeout_ms = 30000;       // from the start of the connect to the reply's last byte
    size_t max_head_bytes = 64 * 1024;  // status line and header lines together
    size_t max_body_bytes = 4 * 1024 * 1024;  // chunk framing included
};

enum class Failure {
    none,
    stream,      // the connect stream could not be made (BIO_new_connect)
    connect,     // no connection to host and port
    tls,         // the TLS stream could not be made or its handshake failed
    write,       // "server write error"
    read,        // "server read error"
    timeout,     // "server read error": the total time-out ran out
    malformed,   // "server response parse error" (a status code with other characters: none)
    status,      // "server response error": a status other than 200
    no_content,  // "no content": the reply ended before its empty line
    too_big,     // "server read error": over a limit
};
const char* failure_text(Failure f);

struct Reply {
    int status = 0;
    std::string reason;    // the status line's rest without surrounding white space
    std::string body;      // with the transfer coding undone
    std::string received;  // the bytes as they came, for the clients' debug dumps
};

// One connection: connect, optionally TLS, then any number of sends and one reply. A proxy hop
// (the OCSP and time-stamp clients') fits between connect and start_tls: tunnel.
class Connection {
  public:
    explicit Connection(const Limits& limits);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // BIO_new_connect and BIO_do_connect within the connect time-out.
    [[nodiscard]] Failure connect(const std::string& host, const std::string& port);
    // The version-negotiating TLS client over the connection. The server's certificate is not
    // verified: the services are named by their operators' configuration, as designed. The name
    // goes out as SNI unless it is an address.
    [[nodiscard]] Failure start_tls(const std::string& server_name);
    // Asks the HTTP proxy at the other end for a tunnel to host and port (CONNECT), with the
    // proxy's credentials when `authorization` is not empty ("Basic ..."). Any 2xx opens it;
    // another status is Failure::status with "Code=...,Reason=..." on the error queue. On any
    // failure the connection is dropped, so nothing meant for the tunnel reaches the proxy.
    [[nodiscard]] Failure tunnel(const std::string& host, const std::string& port,
                                 const std::string& authorization);
    [[nodiscard]] Failure send(std::string_view bytes);
    // Status line, header lines up to the empty line, then the body by Content-Length, chunked
    // coding or up to the close. A status other than 200 is Failure::status with the reply's
    // status and reason filled in; the body is then not read.
    [[nodiscard]] Failure receive(Reply& reply);

  private:
    enum class Wait { ok, timeout, error };
    Wait wait_for(BIO* b) const;
    Failure handshake(const std::string& server_name);
    void drop();
    int remaining_ms() const;
    Failure fill();  // at least one more byte into buf_, or the reason why not
    Failure read_line(std::string& line, size_t& budget,
                      const char* too_long = "header lines too long");
    Failure read_exact(size_t n, std::string& out);
    Failure read_chunked(std::string& out);
    Failure read_to_close(std::string& out);
    Failure status_line(Reply& reply, size_t& budget);
    Failure head_and_body(Reply& reply);
    Failure open_tunnel(const std::string& host, const std::string& port,
                        const std::string& authorization);

    Limits limits_;
    uint64_t deadline_ns_ = 0;
    ossl::SslCtx ctx_;
    ossl::Bio chain_;        // the top of the stream: the TLS filter, or the connection itself
    BIO* socket_ = nullptr;  // the connection at the bottom of chain_
    bool eof_ = false;
    std::string buf_;  // received, not yet consumed from pos_ on
    size_t pos_ = 0;
    std::string received_;
};

}  // namespace ssf::http
