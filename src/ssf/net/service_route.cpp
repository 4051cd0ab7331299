#include "ssf/net/service_route.h"

#include <openssl/err.h>

#include <cstring>

#include "ssf/base64.h"
#include "ssf/config.h"
#include "ssf/log.h"

namespace ssf {

namespace {

http::Limits g_limits;

}  // namespace

std::optional<std::string> encode_into_base64(const char* text) {
    if (!text || !*text) return std::nullopt;
    OutData out;
    if (base64_encode(out, Bytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text)),
                      true) != 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(out.data.get()), out.size);
}

std::optional<ServiceRoute> plan_route(const char* url) {
    if (!url) return std::nullopt;
    std::optional<http::Url> target = http::split_url(url);
    if (!target) return std::nullopt;
    ServiceRoute r;
    r.url = std::string(url).substr(0, std::strcspn(url, "#"));
    r.target = std::move(*target);
    const Config& c = config();
    r.proxied = c.proxy_host.has_value();
    r.host = r.proxied ? *c.proxy_host : r.target.host;
    r.port = r.proxied && c.proxy_port ? *c.proxy_port : r.target.port;
    if (r.proxied && c.proxy_login_pwd)
        r.credentials = encode_into_base64(c.proxy_login_pwd->c_str()).value_or("");
    return r;
}

std::string request_target(const ServiceRoute& r) {
    return r.proxied && !r.target.tls ? r.url : r.target.path;
}

std::string host_header(const ServiceRoute& r) {
    const std::string& h = r.target.host;
    return h.find(':') != std::string::npos ? "[" + h + "]" : h;
}

Opened open_route(http::Connection& conn, const ServiceRoute& r, const char* fn) {
    const http::Failure connected = conn.connect(r.host, r.port);
    if (connected == http::Failure::stream) return Opened::no_stream;
    if (connected != http::Failure::none) return Opened::unreachable;
    if (r.proxied)
        log_write("%s() : using proxy '%s'", fn, config().proxy_url.value_or("").c_str());
    if (!r.target.tls) return Opened::ok;
    const char* host = r.target.host.c_str();
    const char* port = r.target.port.c_str();
    if (r.proxied &&
        conn.tunnel(r.target.host, r.target.port,
                    r.credentials.empty() ? "" : "Basic " + r.credentials) != http::Failure::none) {
        log_error("%s() 4.1 : proxy tunnel to '%s:%s' failed", fn, host, port);
        return Opened::failed;
    }
    if (conn.start_tls(r.target.host) != http::Failure::none) {
        log_error("%s() 4.2 : TLS connection ( host = '%s', port = '%s' ) failed", fn, host, port);
        return Opened::failed;
    }
    return Opened::ok;
}

std::optional<std::string> post_der(http::Connection& conn, const std::string& head,
                                    const std::string& der) {
    if (conn.send(head + der) != http::Failure::none) return std::nullopt;
    http::Reply reply;
    if (conn.receive(reply) != http::Failure::none) return std::nullopt;
    return std::move(reply.body);
}

void raise_nested_asn1_error() {
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, "OCSP_sendreq_bio");
    ERR_set_error(ERR_LIB_OCSP, ERR_R_NESTED_ASN1_ERROR, nullptr);
}

const http::Limits& service_limits() {
    return g_limits;
}

void set_service_limits(const http::Limits& limits) {
    g_limits = limits;
}

}  // namespace ssf
