#include "ssf/net/hok.h"

#include <openssl/pem.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/net/service_route.h"

namespace ssf {

namespace {

constexpr const char* kEnvelopeOpen =
    "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:ws=\"http://ws.hok/\">";

// Made once per process from "hok:hok_urls", on the first look-up. The time-stamp token export
// reaches the service without the API mutex, so the making is guarded on its own.
struct ServiceUrls {
    std::once_flag once;
    list* urls = nullptr;
    ~ServiceUrls() {
        if (urls) list_free(urls, std::free);
    }
};
ServiceUrls* g_urls = new ServiceUrls;

const list* service_urls(const char* fn) {
    ServiceUrls& s = *g_urls;
    std::call_once(s.once, [&s] {
        if (config().hok_urls) s.urls = create_url_list(config().hok_urls->c_str());
    });
    if (!s.urls) {
        if (!config().hok_urls) log_error("%s() 1 : urls is NULL", "create_url_list");
        log_error("%s() 2 : create_url_list() failed", fn);
    }
    return s.urls;
}

// The values go into XML text: a password holding '&' or '<' must stay a password.
std::string xml_escaped(const std::string& v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A value inserted into a request: its XML text for the service, and its form for the trace log,
// where control characters are escaped as in every quoted text, so that a value (a fingerprint
// a service gave, the configured login) cannot begin a log line of its own. The password is
// never written there.
struct Value {
    std::string wire, logged;
    static Value of(const std::string& v) {
        std::string x = xml_escaped(v);
        return {x, log_escaped(x)};
    }
    static Value secret(const std::string& v) { return {xml_escaped(v), "********"}; }
};

struct Request {
    std::string wire, logged;
};

struct Line {
    int tabs;
    std::string open;
    std::optional<Value> value;  // with the closing tag, for an element that holds a value
    std::string close;
};

// One SOAP envelope: `lines` go inside the operation's argument element.
Request soap_request(const std::string& operation, const std::vector<Line>& lines) {
    const Config& c = config();
    std::vector<Line> all = {
        {0, "<soapenv:Header/>", {}, ""},
        {1, "<soapenv:Body>", {}, ""},
        {2, "<ws:" + operation + ">", {}, ""},
        {3, "<arg0>", {}, ""},
        {3, "<login>", Value::of(c.hok_login.value_or("")), "</login>"},
        {3, "<password>", Value::secret(c.hok_password.value_or("")), "</password>"},
    };
    all.insert(all.end(), lines.begin(), lines.end());
    all.insert(all.end(), {{3, "<offset>0</offset>", {}, ""},
                           {3, "<limit>10</limit>", {}, ""},
                           {3, "</arg0>", {}, ""},
                           {2, "</ws:" + operation + ">", {}, ""},
                           {1, "</soapenv:Body>", {}, ""},
                           {0, "</soapenv:Envelope>", {}, ""}});
    Request out{kEnvelopeOpen, kEnvelopeOpen};
    for (const Line& l : all) {
        const std::string lead = "\n" + std::string(static_cast<size_t>(l.tabs), '\t') + l.open;
        out.wire += lead + (l.value ? l.value->wire : "") + l.close;
        out.logged += lead + (l.value ? l.value->logged : "") + l.close;
    }
    return out;
}

bool read_failure(http::Failure f) {
    return f == http::Failure::read || f == http::Failure::timeout || f == http::Failure::too_big;
}

// The answer's body, or none with the failure on the crypto library's error queue.
std::optional<std::string> send_and_recv_hok_resp(http::Connection& conn, const std::string& host,
                                                  const std::string& port, const std::string& path,
                                                  const Request& request) {
    static const char* const kFn = "send_and_recv_hok_resp";
    const std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    auto head_with = [&](const std::string& target, const std::string& host_port) {
        return "POST " + target +
               " HTTP/1.1\r\n"
               "Content-Type: text/xml;charset=UTF-8\r\n"
               "SOAPAction: \"\"\r\n"
               "Content-Length: " +
               std::to_string(request.wire.size()) + "\r\nHost: " + host_port +
               "\r\nConnection: close\r\n\r\n";
    };
    http::Failure f = conn.send(head_with(path, authority + ":" + port) + request.wire);
    log_debug("-----BEGIN XOK REQUEST-----");
    log_debug_text(head_with(log_escaped(path), log_escaped(authority + ":" + port)));
    log_debug_text(request.logged);
    log_debug("-----END XOK REQUEST-----");
    if (f != http::Failure::none) {
        log_write("%s() : %s", kFn, http::failure_text(f));
        return std::nullopt;
    }
    http::Reply reply;
    f = conn.receive(reply);
    log_debug("-----BEGIN HOK RESPONSE-----");
    log_debug("%s", reply.received.c_str());
    log_debug(read_failure(f) ? "-----END HOK RESPONSE ERROR-----" : "-----END HOK RESPONSE-----");
    if (f != http::Failure::none) {
        log_write("%s() : %s", kFn, http::failure_text(f));
        return std::nullopt;
    }
    // The answer is searched as a text: it ends at its first NUL.
    reply.body.resize(std::strlen(reply.body.c_str()));
    return std::move(reply.body);
}

// Every value between begin_tag and the next end_tag, or none.
std::optional<std::vector<std::string>> get_hok_resp(const char* url, const Request& request,
                                                     const std::string& begin_tag,
                                                     const std::string& end_tag) {
    static const char* const kFn = "get_hok_resp";
    if (!url) {
        log_error("%s() 1 : url or req or begin_tag or end_tag is NULL", kFn);
        return std::nullopt;
    }
    const std::optional<http::Url> u = http::split_url(url);
    if (!u) {
        log_error("%s() 2 : OCSP_parse_url( '%s' ) failed", kFn, url);
        log_crypto_errors();
        return std::nullopt;
    }
    // Always direct: the proxy of the configuration is not for this service.
    http::Connection conn(service_limits());
    const http::Failure connected = conn.connect(u->host, u->port);
    if (connected == http::Failure::stream) {
        log_error("%s() 3 : BIO_new_connect( '%s' ) failed", kFn, u->host.c_str());
        log_crypto_errors();
        return std::nullopt;
    }
    if (connected != http::Failure::none) {
        log_error("%s() 4 : BIO_do_connect( host = '%s', port = '%s' ) failed", kFn,
                  u->host.c_str(), u->port.c_str());
        log_crypto_errors();
        return std::nullopt;
    }
    // An https service is spoken to over TLS or not at all.
    if (u->tls && conn.start_tls(u->host) != http::Failure::none) {
        log_error("%s() 4.1 : TLS connection ( host = '%s', port = '%s' ) failed", kFn,
                  u->host.c_str(), u->port.c_str());
        log_crypto_errors();
        return std::nullopt;
    }
    const std::optional<std::string> body =
        send_and_recv_hok_resp(conn, u->host, u->port, u->path, request);
    if (!body) {
        log_error("%s() 5 : send_and_recv_hok_resp( '%s' ) failed", kFn, url);
        log_crypto_errors();
        return std::nullopt;
    }
    size_t at = body->find(begin_tag);
    if (at == std::string::npos) {
        log_error("%s() 6 : tag '%s' not found in response '%s'", kFn, begin_tag.c_str(),
                  body->c_str());
        return std::nullopt;
    }
    std::vector<std::string> values;
    while (at != std::string::npos) {
        const size_t start = at + begin_tag.size();
        const size_t stop = body->find(end_tag, start);
        if (stop == std::string::npos) {
            log_error("%s() 7 : tag '%s' not found in response '%s'", kFn, end_tag.c_str(),
                      body->c_str());
            return std::nullopt;
        }
        values.push_back(body->substr(start, stop - start));
        at = body->find(begin_tag, stop + end_tag.size());
    }
    return values;
}

}  // namespace

int is_snils(const char* text, int length) {
    if (!text) return 0;
    if (length == -1) length = static_cast<int>(strnlen(text, 15));
    if (length != 14) return 0;
    for (int i = 0; i < 14; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool ok = (i == 3 || i == 7) ? c == '-' : i == 11 ? c == ' ' : std::isdigit(c) != 0;
        if (!ok) return 0;
    }
    return 1;
}

int parse_url_list(list* l, const char* urls) {
    if (!l || !urls) {
        log_error("%s() 1 : p_list or urls is NULL", "parse_url_list");
        return -1;
    }
    return split_into_list(l, urls, ',');
}

list* create_url_list(const char* urls) {
    static const char* const kFn = "create_url_list";
    if (!urls) {
        log_error("%s() 1 : urls is NULL", kFn);
        return nullptr;
    }
    list* l = list_create();
    if (!l) {
        log_error("%s() 2 : list_create() failed", kFn);
        return nullptr;
    }
    if (parse_url_list(l, urls) < 0) {
        log_error("%s() 3 : parse_url_list() failed", kFn);
        list_free(l, std::free);
        return nullptr;
    }
    return l;
}

int hok_is_enabled() {
    return config().hok_urls ? 1 : 0;
}

std::optional<std::string> ssf_clean_str(const char* text) {
    if (!text) {
        log_error("%s() 1 : str is NULL", "ssf_clean_str");
        return std::nullopt;
    }
    std::string out;
    const char* p = text;
    for (const char* ref; (ref = std::strstr(p, "&#")) != nullptr;) {
        const char* semi = std::strchr(ref + 2, ';');
        // A reference that never ends is no reference: the rest stays as it is.
        if (!semi) break;
        out.append(p, ref);
        p = semi + 1;
    }
    out += p;
    return out;
}

int hok_get_fingerprint_by_snils(const char* snils, std::vector<std::string>* fingerprints) {
    static const char* const kFn = "hok_get_fingerprint_by_snils";
    if (!snils || !fingerprints) {
        log_error("%s() 1 : snils or fingerprint is NULL", kFn);
        return SSF_RESULT_CERT_NOT_FOUND;
    }
    const list* urls = service_urls(kFn);
    if (!urls) return SSF_RESULT_CERT_NOT_FOUND;
    if (!is_snils(snils, -1)) {
        log_error("%s() : '%s' is not a SNILS number", kFn, snils);
        return SSF_RESULT_CERT_NOT_FOUND;
    }
    const std::string digits = std::string(snils, 3) + std::string(snils + 4, 3) +
                               std::string(snils + 8, 3) + std::string(snils + 12, 2);
    const Request request =
        soap_request("getCertsByOwner", {{3, "<snils>" + digits + "</snils>", {}, ""},
                                         {3, "<states><state>1</state></states>", {}, ""}});
    for (const list_node* n = urls->head; n; n = n->next) {
        const char* url = static_cast<const char*>(n->data);
        auto values = get_hok_resp(url, request, "<fingerprint>", "</fingerprint>");
        if (values) {
            *fingerprints = std::move(*values);
            return 0;
        }
        log_error("%s() 3 : get_hok_resp( url = '%s', snils = '%s' ) failed", kFn, url, snils);
    }
    return SSF_RESULT_CERT_NOT_FOUND;
}

int hok_get_cert_by_fingerprint(const char* fingerprint, ossl::X509Ptr* cert) {
    static const char* const kFn = "hok_get_cert_by_fingerprint";
    if (!fingerprint || !cert) {
        log_error("%s() 1 : fingerprint or cert is NULL", kFn);
        return SSF_RESULT_CERT_NOT_FOUND;
    }
    const list* urls = service_urls(kFn);
    if (!urls) return SSF_RESULT_CERT_NOT_FOUND;
    const Request request = soap_request(
        "getCertsByIds", {{3, "<fingerprints>", {}, ""},
                          {4, "<fingerprint>", Value::of(fingerprint), "</fingerprint>"},
                          {3, "</fingerprints>", {}, ""}});
    for (const list_node* n = urls->head; n; n = n->next) {
        const char* url = static_cast<const char*>(n->data);
        const auto values = get_hok_resp(url, request, "<pkcs>", "</pkcs>");
        if (!values) {
            log_error("%s() 3 : get_hok_resp( url = '%s', fingerprint = '%s' ) failed", kFn, url,
                      fingerprint);
            continue;
        }
        // The service's Base64 carries its line breaks as character references.
        const std::optional<std::string> clean = ssf_clean_str(values->front().c_str());
        if (!clean) {
            log_error("%s() 5 : ssf_clean_str() failed", kFn);
            return SSF_RESULT_CERT_NOT_FOUND;
        }
        const std::string pem = clean->starts_with('-') ? *clean
                                                        : "-----BEGIN CERTIFICATE-----\n" + *clean +
                                                              "\n-----END CERTIFICATE-----\n";
        log_debug("Cert: '%s'", pem.c_str());
        ossl::Bio mem(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        ossl::X509Ptr x(mem ? PEM_read_bio_X509(mem.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!x) {
            log_error("%s() 6 : PEM_read_bio_X509( '%s' ) failed", kFn, pem.c_str());
            log_crypto_errors();
            continue;
        }
        *cert = std::move(x);
        return 0;
    }
    return SSF_RESULT_CERT_NOT_FOUND;
}

std::optional<std::string> hok_get_single_fingerprint_by_snils(const char* snils) {
    static const char* const kFn = "hok_get_single_fingerprint_by_snils";
    std::vector<std::string> fingerprints;
    if (hok_get_fingerprint_by_snils(snils, &fingerprints) != 0) {
        log_error("%s() 1 : hok_get_fingerprint_by_snils( '%s' ) failed", kFn,
                  snils ? snils : "(null)");
        return std::nullopt;
    }
    log_info("%s() : snils '%s' -> fingerprints:", kFn, snils);
    for (const std::string& f : fingerprints) {
        if (f.empty()) break;
        log_info("%s() : \t'%s'", kFn, f.c_str());
    }
    log_info("%s() : in server mode we take the first fingerprint", kFn);
    std::string selected = fingerprints.empty() ? std::string() : fingerprints.front();
    log_info("%s() : selected id: '%s'", kFn, selected.c_str());
    return selected;
}

void hok_reset_for_tests() {
    delete g_urls;
    g_urls = new ServiceUrls;
}

}  // namespace ssf
