#include "ssf/cades/ocsp_client.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/winstub.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/list.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/net/service_route.h"
#include "ssf/pki/cert_verify.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

constexpr const char* kGost2001SignatureOid = "1.2.643.2.2.3";

std::string gt_text(const ASN1_GENERALIZEDTIME* t) {
    return t ? asn1_chars(t) : "(null)";
}

std::string gt_text(time_t t) {
    ossl::Asn1Time g(ASN1_GENERALIZEDTIME_set(nullptr, t));
    return g ? gt_text(g.get()) : "?";
}

// The URL for the log with its NUL bytes visible (the log escapes every other control byte).
std::string shown(const std::string& url) {
    std::string out;
    for (char ch : url) out += ch ? std::string(1, ch) : "\\x00";
    return out;
}

// The OCSP URIs of the certificate's authorityInfoAccess, in extension order; none when the
// certificate has no such extension.
std::optional<std::vector<std::string>> responder_urls(X509* cert) {
    ossl::InfoAccess aia(static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr)));
    if (!aia) return std::nullopt;
    std::vector<std::string> urls;
    for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(aia.get()); ++i) {
        const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(aia.get(), i);
        if (OBJ_obj2nid(ad->method) != NID_ad_OCSP || ad->location->type != GEN_URI) continue;
        const ASN1_IA5STRING* uri = ad->location->d.uniformResourceIdentifier;
        urls.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                          static_cast<size_t>(ASN1_STRING_length(uri)));
        log_write("%s() : OCSP URL '%s' found in certificate", "get_revValue",
                  shown(urls.back()).c_str());
    }
    return urls;
}

ossl::OcspResponse my_OCSP_sendreq_bio(const ServiceRoute& r, http::Connection& conn,
                                       OCSP_REQUEST* req) {
    const std::string der = der_of(req, i2d_OCSP_REQUEST);
    if (der.empty()) return nullptr;
    const std::string n = std::to_string(der.size());
    const std::string head =
        sends_credentials(r)
            ? "POST " + request_target(r) +
                  " HTTP/1.0\r\nContent-type: application/ocsp-request\r\nHost: " + host_header(r) +
                  "\r\nContent-Length: " + n + "\r\nProxy-Authorization: Basic " + r.credentials +
                  "\r\n\r\n"
            : "POST " + request_target(r) +
                  " HTTP/1.0\r\nContent-Type: application/ocsp-request\r\nHost: " + host_header(r) +
                  "\r\nContent-Length: " + n + "\r\n\r\n";
    const std::optional<std::string> body = post_der(conn, head, der);
    if (!body) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(body->data());
    ossl::OcspResponse resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(body->size())));
    if (!resp) raise_nested_asn1_error();
    return resp;
}

// What BIO_do_connect gave for a connect that failed (the transport keeps it to itself): -1 when
// the host name did not resolve, 0 for a connection refused, unreachable or timed out.
int connect_result() {
    const char* func = nullptr;
    return ERR_peek_last_error_func(&func) != 0 && func && std::strcmp(func, "BIO_lookup_ex") == 0
               ? -1
               : 0;
}

// The pause between the two requests of one responder, handed to the system's sleeper.
void pause_seconds(int seconds) {
    for (long left = seconds; left > 0; left -= 3600)
        platform::sleep_ms(static_cast<unsigned>(std::min(left, 3600L)) * 1000u);
}

struct Attempt {
    int rc = 0;
    bool decided = false;  // the responder's answer stands: no further URL is asked
};

class RevValue {
  public:
    RevValue(OCSP_REQUEST* req, const OCSP_CERTID* id, X509_STORE* store,
             const ASN1_GENERALIZEDTIME* ts_time)
        : req_(req), id_(id), store_(store), has_time_(ts_time != nullptr) {
        ts_ = ts_time ? generalizedtime_to_time_t(ts_time) : platform::now();
    }

    Attempt ask(const std::string& url, ossl::X509Ptr* ocsp_cert, ossl::OcspBasicResp* ocsp_resp);

  private:
    static constexpr const char* kFn = "get_revValue";
    bool fresh(const SingleResp& s, int* pause) const {
        ASN1_GENERALIZEDTIME *this_upd = nullptr, *next_upd = nullptr;
        OCSP_single_get0_status(s.single, nullptr, nullptr, &this_upd, &next_upd);
        return ocsp_resp_is_good(ts_, generalizedtime_to_time_t(s.produced_at),
                                 generalizedtime_to_time_t(this_upd), next_upd, pause) == 1;
    }
    time_t this_update(const SingleResp& s) const {
        ASN1_GENERALIZEDTIME* this_upd = nullptr;
        OCSP_single_get0_status(s.single, nullptr, nullptr, &this_upd, nullptr);
        return generalizedtime_to_time_t(this_upd);
    }
    Attempt judge(SingleResp& s, ossl::X509Ptr* ocsp_cert, ossl::OcspBasicResp* ocsp_resp);

    OCSP_REQUEST* req_;
    const OCSP_CERTID* id_;
    X509_STORE* store_;
    bool has_time_;
    time_t ts_;
};

Attempt RevValue::ask(const std::string& url, ossl::X509Ptr* ocsp_cert,
                      ossl::OcspBasicResp* ocsp_resp) {
    const char* u = url.c_str();
    // Cut at the NUL, the URL would name another service than the certificate does.
    if (url.find('\0') != std::string::npos) {
        log_error("%s() : OCSP URL '%s' holds a NUL byte: refused", kFn, shown(url).c_str());
        return {SSF_RESULT_OCSP_URL_INVALID};
    }
    log_write("%s() : trying to get response from '%s'", kFn, u);
    ossl::OcspResponse resp;
    if (int rc = get_OCSP_response(req_, u, &resp); rc != 0) {
        log_error("%s() 8 : first get_OCSP_response( '%s' ) failed", kFn, u);
        return {rc};
    }
    std::optional<SingleResp> s = get_SINGLE_RESP(resp.get());
    if (!s) {
        log_error("%s() 9 : first get_SINGLE_RESP( '%s' ) failed", kFn, u);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    int pause = 0;
    if (!fresh(*s, &pause)) {
        const int max_diff = config().max_tsp_ocsp_diff;
        if (pause < 0) {
            log_error("%s() 10 : no sense to wait", kFn);
            return {SSF_RESULT_TSP_OCSP_CLOCKS};
        }
        if (pause > max_diff) {
            log_error(
                "%s() 10.1 : timestamp and ocsp response time difference (%lld) exceeds "
                "max_tsp_ocsp_diff (%d)",
                kFn, static_cast<long long>(pause), max_diff);
            return {SSF_RESULT_TSP_OCSP_CLOCKS};
        }
        log_write("%s() : making pause in %d seconds", kFn, pause);
        pause_seconds(pause);
        s.reset();
        resp.reset();
        if (int rc = get_OCSP_response(req_, u, &resp); rc != 0) {
            log_error("%s() 11 : second get_OCSP_response() failed", kFn);
            return {rc};
        }
        if (!(s = get_SINGLE_RESP(resp.get()))) {
            log_error("%s() 12 : second get_SINGLE_RESP() failed", kFn);
            return {SSF_RESULT_OCSP_BAD_RESPONSE};
        }
        if (!fresh(*s, nullptr)) {
            log_error(
                "%s() 13 : second OCSP response has been issued %d seconds earlier than "
                "timestamp",
                kFn, static_cast<int>(ts_ - this_update(*s)));
            return {SSF_RESULT_TSP_OCSP_CLOCKS};
        }
    }
    return judge(*s, ocsp_cert, ocsp_resp);
}

Attempt RevValue::judge(SingleResp& s, ossl::X509Ptr* ocsp_cert, ossl::OcspBasicResp* ocsp_resp) {
    if (ssf_OCSP_CERTID_cmp(id_, OCSP_SINGLERESP_get0_id(s.single)) != 0) {
        log_error("%s() 14 : CertId in request and response don't match", kFn);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    OCSP_BASICRESP* bs = s.basic.get();
    add_ocsp_certs_to_store(bs, store_);
    const unsigned long flags = config().disable_ocsp_issuer_check ? OCSP_NOCHECKS : 0;
    X509* responder = nullptr;
    const int v =
        OCSP_basic_verify_time(has_time_ ? &ts_ : nullptr, bs, nullptr, store_, flags, &responder);
    if (v <= 0) {
        log_error("%s() 16 : OCSP_basic_verify_time() failed, retcode = %d", kFn, v);
        log_crypto_errors();
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    OCSP_SINGLERESP* first = OCSP_resp_get0(bs, 0);
    if (!first) {
        log_error("%s() 17 : OCSP_SINGLERESP not found in OCSP_BASICRESP", kFn);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    if (ssf_OCSP_CERTID_cmp(OCSP_SINGLERESP_get0_id(first), id_) != 0) {
        log_error("%s() 18 : OCSP_CERTID's in request and response don't match", kFn);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    // The responder is the certificate the response was verified with, which the verification,
    // given no certificates of ours, took from the response's own. Any other certificate the
    // response carries is unsigned, and its nocheck extension would vouch for nothing.
    if (!responder) {
        log_error("%s() 19 : no OCSP certificate found in response", kFn);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    // Without id-pkix-ocsp-nocheck the responder's own certificate would need a revocation
    // check of its own, which nothing here could supply.
    if (X509_get_ext_by_NID(responder, NID_id_pkix_OCSP_noCheck, -1) < 0) {
        log_error("%s() 20 : id-pkix-ocsp-nocheck extension not found in response", kFn);
        return {SSF_RESULT_OCSP_BAD_RESPONSE};
    }
    const int status = OCSP_single_get0_status(first, nullptr, nullptr, nullptr, nullptr);
    switch (status) {
        case V_OCSP_CERTSTATUS_GOOD:
            log_write("%s() : certificate is good", kFn);
            if (ocsp_cert) *ocsp_cert = ossl::up_ref(responder);
            if (ocsp_resp) *ocsp_resp = std::move(s.basic);
            return {0, true};
        case V_OCSP_CERTSTATUS_REVOKED:
            log_error("%s() 21 : certificate revoked", kFn);
            return {SSF_RESULT_CERT_REVOKED, true};
        case V_OCSP_CERTSTATUS_UNKNOWN:
            log_error("%s() 22 : certificate status unknown", kFn);
            return {SSF_RESULT_CERT_UNKNOWN, true};
        default:
            log_error("%s() 23 : certificate status = %d", kFn, status);
            return {SSF_RESULT_CERT_UNKNOWN, true};
    }
}

// No responder named: the certificate's CRLs, as the revocation check finds them.
int crl_fallback(X509* cert, X509_STORE* store, std::vector<ossl::X509Crl>* crls) {
    static const char* const kFn = "get_revValue";
    log_write("%s() : no OCSP URL found in certificate, using CRL", kFn);
    list* protocols = list_create();
    if (!protocols || parse_protocol_list(protocols, "http ldap file") < 0) {
        if (protocols) list_free(protocols, std::free);
        return SSF_RC_MEMORY;
    }
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    const int r = ctx && X509_STORE_CTX_init(ctx.get(), store, cert, nullptr) == 1
                      ? check_for_revocation(cert, ctx.get(), protocols, crls)
                      : -1;
    list_free(protocols, std::free);
    if (r != 1) {
        log_error("%s() 7 : check_for_revocation() failed", kFn);
        return SSF_RESULT_CERT_UNKNOWN;
    }
    return 0;
}

int rev_value(X509* cert, X509* issuer, X509_STORE* store, const EVP_MD* md,
              const ASN1_GENERALIZEDTIME* ts_time, ossl::X509Ptr* ocsp_cert,
              ossl::OcspBasicResp* ocsp_resp, std::vector<ossl::X509Crl>* crls) {
    static const char* const kFn = "get_revValue";
    if (!cert || !store || !crls) {
        log_error("%s() 0 : bad args", kFn);
        return SSF_RC_NO_OUTPUT;
    }
    if (!issuer) {
        log_error("add_ocsp_cert() 1 : No issuer certificate specified");
        log_error("%s() 2 : add_ocsp_cert() failed", kFn);
        return -1;
    }
    ossl::OcspRequest req(OCSP_REQUEST_new());
    ossl::OcspCertId id(OCSP_cert_to_id(md, cert, issuer));
    const OCSP_CERTID* asked = id.get();
    if (!req || !id || !OCSP_request_add0_id(req.get(), id.get())) {
        log_error("add_ocsp_cert() 2 : Error Creating OCSP request");
        log_crypto_errors();
        log_error("%s() 2 : add_ocsp_cert() failed", kFn);
        return -1;
    }
    (void)id.release();  // the request owns it now

    const std::optional<std::vector<std::string>> urls = responder_urls(cert);
    if (!urls) {
        log_error("%s() 4 : X509_get_ext_d2i( NID_info_access ) failed", kFn);
        if (config().disable_cades_crl_using) {
            log_error(
                "%s() 4.1 : 'disable_cades_crl_using' is on, but OCSP address not found in "
                "signer's certificate, terminating the process",
                kFn);
            return SSF_RESULT_CERT_UNKNOWN;
        }
    }
    if (!urls || urls->empty()) return crl_fallback(cert, store, crls);

    RevValue client(req.get(), asked, store, ts_time);
    Attempt last;
    for (const std::string& url : *urls) {
        last = client.ask(url, ocsp_cert, ocsp_resp);
        if (last.decided) return last.rc;
    }
    log_error("%s() 24 : first get_OCSP_response() failed for all OCSP URLs", kFn);
    return last.rc;
}

}  // namespace

int ssf_OCSP_CERTID_cmp(const OCSP_CERTID* a, const OCSP_CERTID* b) {
    if (!a && !b) return 0;
    if (!a || !b) return -1;
    ASN1_OCTET_STRING *a_name = nullptr, *a_key = nullptr, *b_name = nullptr, *b_key = nullptr;
    ASN1_INTEGER *a_serial = nullptr, *b_serial = nullptr;
    OCSP_id_get0_info(&a_name, nullptr, &a_key, &a_serial, const_cast<OCSP_CERTID*>(a));
    OCSP_id_get0_info(&b_name, nullptr, &b_key, &b_serial, const_cast<OCSP_CERTID*>(b));
    return ASN1_OCTET_STRING_cmp(a_key, b_key) == 0 && ASN1_OCTET_STRING_cmp(a_name, b_name) == 0 &&
                   ASN1_INTEGER_cmp(a_serial, b_serial) == 0
               ? 0
               : -1;
}

int ocsp_resp_is_good(time_t ts_time, time_t produced_at, time_t this_update,
                      const ASN1_GENERALIZEDTIME* next_update, int* pause) {
    static const char* const kFn = "ocsp_resp_is_good";
    const long long ts = ts_time, produced = produced_at, this_upd = this_update;
    long long wait;
    bool fresh;
    if (next_update) {
        const long long next = generalizedtime_to_time_t(next_update);
        const long long age = produced - this_upd;
        fresh = ts <= produced && ts < next && produced < next && age <= config().max_ocsp_age;
        wait = age > config().max_ocsp_age ? -1 : ts - produced;
        if (!fresh) {
            log_write(
                "%s() : producedAt - thisUpdate = %lld, producedAt - tspTime = %lld, "
                "nextUpdate - producedAt = %lld",
                kFn, age, produced - ts, next - produced);
            log_error(
                "%s() 1 : OCSP-response is bad: tspTime = '%s', producedAt = '%s', "
                "thisUpdate = '%s', nextUpdate = '%s', pause = %d",
                kFn, gt_text(ts_time).c_str(), gt_text(produced_at).c_str(),
                gt_text(this_update).c_str(), gt_text(next_update).c_str(),
                static_cast<int>(std::clamp(wait, -1LL, 0x7fffffffLL)));
        }
    } else {
        fresh = this_upd >= ts;
        wait = ts - this_upd;
        if (!fresh)
            log_error(
                "%s() 2 : OCSP-response is bad: tspTime = '%s', producedAt = '%s', "
                "thisUpdate = '%s', pause = %d",
                kFn, gt_text(ts_time).c_str(), gt_text(produced_at).c_str(),
                gt_text(this_update).c_str(),
                static_cast<int>(std::clamp(wait, -1LL, 0x7fffffffLL)));
    }
    // A wait too long for an int can never be within max_tsp_ocsp_diff.
    if (pause) *pause = static_cast<int>(std::clamp(wait, -1LL, 0x7fffffffLL));
    return fresh ? 1 : 0;
}

std::optional<SingleResp> get_SINGLE_RESP(OCSP_RESPONSE* resp) {
    static const char* const kFn = "get_SINGLE_RESP";
    if (!resp) return std::nullopt;
    SingleResp s;
    s.basic.reset(OCSP_response_get1_basic(resp));
    if (!s.basic) {
        log_error("%s() 1 : OCSP_response_get1_basic() failed", kFn);
        log_crypto_errors();
        return std::nullopt;
    }
    s.produced_at = OCSP_resp_get0_produced_at(s.basic.get());
    char oid[64] = {};
    const X509_ALGOR* alg = OCSP_resp_get0_tbs_sigalg(s.basic.get());
    const ASN1_OBJECT* alg_obj = nullptr;
    if (alg) X509_ALGOR_get0(&alg_obj, nullptr, nullptr, alg);
    if (alg_obj && OBJ_obj2txt(oid, sizeof oid, alg_obj, 1) > 0 &&
        std::string(oid) == kGost2001SignatureOid && s.produced_at &&
        generalizedtime_to_time_t(s.produced_at) > gost2001_cutoff_time()) {
        log_error("%s() 1.1 : Gost R 34.10-2001 not allowed", kFn);
        return std::nullopt;
    }
    if (!s.produced_at) {
        log_error("%s() 3 : bs->tbsResponseData->producedAt is NULL", kFn);
        return std::nullopt;
    }
    s.single = OCSP_resp_get0(s.basic.get(), 0);
    if (!s.single) {
        log_error("%s() 4 : OCSP_SINGLERESP not found in OCSP_BASICRESP", kFn);
        return std::nullopt;
    }
    return s;
}

int get_OCSP_response(OCSP_REQUEST* req, const char* url, ossl::OcspResponse* out) {
    static const char* const kFn = "get_OCSP_response";
    if (!out) {
        log_error("%s() 0 : pResp is NULL", kFn);
        return SSF_RC_NO_OUTPUT;
    }
    out->reset();
    const std::optional<ServiceRoute> route = plan_route(url);
    if (!route) {
        log_error("%s() 1 : OCSP_parse_url( '%s' ) failed", kFn, url ? url : "(null)");
        return SSF_RESULT_OCSP_URL_INVALID;
    }
    http::Connection conn(service_limits());
    const Opened opened = open_route(conn, *route, kFn);
    if (opened == Opened::no_stream) {
        log_error("%s() 2 : BIO_new_connect( '%s' ) failed", kFn, route->host.c_str());
        log_crypto_errors();
        return -1;
    }
    if (opened == Opened::unreachable) {
        log_error("%s() 4 : BIO_do_connect( host = '%s', port = '%s' ) failed, retcode = %d", kFn,
                  route->host.c_str(), route->port.c_str(), connect_result());
        log_crypto_errors();
        return SSF_RESULT_OCSP_UNREACHABLE;
    }
    if (opened == Opened::ok) *out = my_OCSP_sendreq_bio(*route, conn, req);
    if (!*out) {
        log_error("%s() 8 : my_OCSP_sendreq_bio( '%s' ) failed", kFn, url);
        log_crypto_errors();
        return SSF_RESULT_OCSP_BAD_RESPONSE;
    }
    return 0;
}

int add_ocsp_certs_to_store(OCSP_BASICRESP* bs, X509_STORE* store) {
    if (bs && sk_X509_num(OCSP_resp_get0_certs(bs)) > 0) (void)AddCACertsToStore(store);
    return 1;
}

int get_revValue(X509* cert, X509* issuer, X509_STORE* store, const EVP_MD* md,
                 const ASN1_GENERALIZEDTIME* ts_time, ossl::X509Ptr* ocsp_cert,
                 ossl::OcspBasicResp* ocsp_resp, std::vector<ossl::X509Crl>* crls) {
    static const char* const kFn = "get_revValue";
    log_debug(
        "%s() begin: cert = 0x%lx, issuer_cert = 0x%lx, store = 0x%lx, md = 0x%lx, ts_time = "
        "0x%lx, ocsp_cert = 0x%lx, ocsp_resp = 0x%lx",
        kFn, ptr_bits(cert), ptr_bits(issuer), ptr_bits(store), ptr_bits(md), ptr_bits(ts_time),
        ptr_bits(ocsp_cert), ptr_bits(ocsp_resp));
    if (ocsp_cert) ocsp_cert->reset();
    if (ocsp_resp) ocsp_resp->reset();
    if (crls) crls->clear();
    const int rc = rev_value(cert, issuer, store, md, ts_time, ocsp_cert, ocsp_resp, crls);
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

}  // namespace ssf
