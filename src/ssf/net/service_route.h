// How the OCSP and time-stamp clients reach their services: straight to the host of the
// service's URL, or to the HTTP proxy of "proxy:proxy_url" with the Basic credentials of
// "proxy:proxy_login_pwd". A plain request through the proxy names the service by its absolute
// URL; an https service is reached through a CONNECT tunnel and then TLS with the service
// itself, so the proxy never sees the request and the service never sees the proxy's
// credentials.
#pragma once

#include <optional>
#include <string>

#include "ssf/net/http.h"

namespace ssf {

// Base64 of the text in one line without a line break, owned by the caller. None for a null or
// empty text (there is nothing to authenticate with) and when memory runs out.
[[nodiscard]] std::optional<std::string> encode_into_base64(const char* text);

struct ServiceRoute {
    std::string url;  // the service's URL as configured, without a fragment
    http::Url target;
    bool proxied = false;
    std::string host, port;   // where the connection goes: the proxy, or the service
    std::string credentials;  // Base64 of the proxy's credentials; empty for none
};

// The route to url, or none when url is not an http or https URL.
[[nodiscard]] std::optional<ServiceRoute> plan_route(const char* url);

// A plain request through the proxy carries the credentials in its own head.
inline bool sends_credentials(const ServiceRoute& r) {
    return r.proxied && !r.target.tls && !r.credentials.empty();
}
// The request line's target: the absolute URL through the proxy in plain HTTP, else the path.
[[nodiscard]] std::string request_target(const ServiceRoute& r);
// The service's host for the Host line (an IPv6 address in brackets).
[[nodiscard]] std::string host_header(const ServiceRoute& r);

enum class Opened { ok, no_stream, unreachable, failed };
// Connects along the route; for https, through the proxy's tunnel first, then TLS. A connect
// stream that cannot be made (no_stream) and a failed connect (unreachable) are the caller's to
// report; after it, the proxy in use and a failed tunnel or TLS start are logged here under fn's
// name (failed), and the connection is gone.
[[nodiscard]] Opened open_route(http::Connection& conn, const ServiceRoute& r, const char* fn);

// One exchange: the head and the DER body out, the reply's body back. None when the exchange
// failed, with the failure on the crypto library's error queue.
[[nodiscard]] std::optional<std::string> post_der(http::Connection& conn, const std::string& head,
                                                  const std::string& der);

// A reply that does not decode goes on the error queue as the crypto library's own OCSP reader
// put it.
void raise_nested_asn1_error();

// Time-outs and limits of the OCSP, time-stamp and web-service requests (tests shorten them).
const http::Limits& service_limits();
void set_service_limits(const http::Limits& limits);

}  // namespace ssf
