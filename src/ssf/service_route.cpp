#include "ssf/service_route.h"

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

http::Failure open_route(http::Connection& conn, const ServiceRoute& r, RouteStep* step) {
    *step = RouteStep::connect;
    http::Failure f = conn.connect(r.host, r.port);
    if (f != http::Failure::none || !r.target.tls) return f;
    if (r.proxied) {
        *step = RouteStep::tunnel;
        f = conn.tunnel(r.target.host, r.target.port,
                        r.credentials.empty() ? "" : "Basic " + r.credentials);
        if (f != http::Failure::none) return f;
    }
    *step = RouteStep::tls;
    return conn.start_tls(r.target.host);
}

std::optional<std::string> post_der(http::Connection& conn, const std::string& head,
                                    const std::string& der) {
    if (conn.send(head + der) != http::Failure::none) return std::nullopt;
    http::Reply reply;
    if (conn.receive(reply) != http::Failure::none) return std::nullopt;
    return std::move(reply.body);
}

const http::Limits& service_limits() {
    return g_limits;
}

void set_service_limits(const http::Limits& limits) {
    g_limits = limits;
}

}  // namespace ssf
