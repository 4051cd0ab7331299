#include "ssf/cades/tsp_client.h"

#include <cstring>
#include <optional>

#include "ssf/cades/cades_types.h"
#include "ssf/cades/revocation_refs.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/net/service_route.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

constexpr const char* kFn = "make_time_stamp";
constexpr const char* kGost2001SignOid = "1.2.643.2.2.19";

std::string oid_text(const ASN1_OBJECT* obj) {
    char buf[80] = {};
    return obj && OBJ_obj2txt(buf, sizeof buf, obj, 1) > 0 ? buf : "";
}

bool is_gost2012_digest(const EVP_MD* md) {
    const std::string oid = oid_text(OBJ_nid2obj(EVP_MD_get_type(md)));
    return oid == "1.2.643.7.1.1.2.2" || oid == "1.2.643.7.1.1.2.3";
}

// TimeStampReq: version 1, the imprint under md with the algorithm's parameters absent, certReq.
ossl::TsReq make_request(const unsigned char* data, size_t length, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    ossl::TsReq req(TS_REQ_new());
    ossl::TsMsgImprint imprint(TS_MSG_IMPRINT_new());
    ossl::Algor alg(X509_ALGOR_new());
    if (!req || !imprint || !alg || EVP_Digest(data, length, digest, &n, md, nullptr) != 1 ||
        !set_hash_algorithm(alg.get(), md) ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), alg.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(), digest, static_cast<int>(n)) != 1 ||
        TS_REQ_set_version(req.get(), 1) != 1 ||
        TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
        TS_REQ_set_cert_req(req.get(), 1) != 1)
        return nullptr;
    return req;
}

ossl::TsResp my_TS_sendreq_bio(const ServiceRoute& r, http::Connection& conn, TS_REQ* req) {
    const std::string der = der_of(req, i2d_TS_REQ);
    if (der.empty()) return nullptr;
    const std::string head =
        "POST " + request_target(r) +
        " HTTP/1.0\r\nContent-type: application/timestamp-query\r\nHost: " + host_header(r) +
        "\r\nContent-Length: " + std::to_string(der.size()) +
        (sends_credentials(r) ? "\r\nProxy-Authorization: Basic " + r.credentials : "") +
        "\r\nConnection: close\r\n\r\n";
    const std::optional<std::string> body = post_der(conn, head, der);
    if (!body) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(body->data());
    ossl::TsResp resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(body->size())));
    if (!resp) raise_nested_asn1_error();
    return resp;
}

// The server's answer, or none with the failure logged; *rc says why.
ossl::TsResp ask_server(const char* url, TS_REQ* req, int* rc) {
    const std::optional<ServiceRoute> route = plan_route(url);
    if (!route) {
        log_error("%s() 2 : OCSP_parse_url( '%s' ) failed", kFn, url);
        *rc = SSF_RESULT_TSP_URL_INVALID;
        return nullptr;
    }
    http::Connection conn(service_limits());
    const Opened opened = open_route(conn, *route, kFn);
    if (opened == Opened::no_stream) {
        log_error("%s() 3 : BIO_new_connect( '%s' ) failed", kFn, route->host.c_str());
        log_crypto_errors();
        *rc = -1;
        return nullptr;
    }
    if (opened == Opened::unreachable) {
        log_error("%s() 4 : BIO_do_connect( host = '%s', port = '%s' ) failed", kFn,
                  route->host.c_str(), route->port.c_str());
        log_crypto_errors();
        *rc = SSF_RESULT_TSP_UNREACHABLE;
        return nullptr;
    }
    ossl::TsResp resp;
    if (opened == Opened::ok) resp = my_TS_sendreq_bio(*route, conn, req);
    if (!resp) {
        log_error("%s() 5 : my_TS_sendreq_bio( '%s' ) failed", kFn, url);
        log_crypto_errors();
        *rc = SSF_RESULT_TSP_BAD_RESPONSE;
    }
    return resp;
}

// GOST R 34.10-2001 signatures are refused once the cut-off has passed: a token signed so whose
// genTime is after it (or cannot be compared) is not taken.
bool refused_gost2001(PKCS7* token, TS_TST_INFO* tst) {
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(token);
    PKCS7_SIGNER_INFO* si =
        sk_PKCS7_SIGNER_INFO_num(infos) > 0 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
    if (!si || oid_text(si->digest_enc_alg->algorithm) != kGost2001SignOid) return false;
    const time_t gen = tst ? generalizedtime_to_time_t(TS_TST_INFO_get_time(tst)) : 0;
    return gen == 0 || gen > gost2001_cutoff_time();
}

int time_stamp(int kind, ossl::Asn1String* token_out, const unsigned char* data, size_t length,
               const EVP_MD* md, X509_STORE* store, ossl::X509Ptr* tsa_cert,
               ossl::Asn1Time* gen_time) {
    if (!token_out || !gen_time || !md || (!data && length)) {
        log_error("%s() 0 : bad args", kFn);
        return SSF_RC_NO_OUTPUT;
    }
    const std::string url = tsp_server_for(md);
    log_write("%s() : '%s' digest algorithm, tsp_url = '%s'", kFn, OBJ_nid2ln(EVP_MD_get_type(md)),
              url.c_str());
    ossl::TsReq req = make_request(data, length, md);
    if (!req) {
        log_error("%s() 0.1 : the time-stamp request cannot be made", kFn);
        log_crypto_errors();
        return -1;
    }
    if (url.empty()) {
        log_error("%s() 1 : 'tsp_server' is not specified", kFn);
        return SSF_RESULT_TSP_URL_MISSING;
    }
    int rc = 0;
    ossl::TsResp resp = ask_server(url.c_str(), req.get(), &rc);
    if (!resp) return rc;
    PKCS7* token = TS_RESP_get_token(resp.get());
    if (!token) {
        const TS_STATUS_INFO* info = TS_RESP_get_status_info(resp.get());
        log_error("%s() 6 : TS_RESP_get_token() failed, response has status '%s'", kFn,
                  asn1_string_to_hex(info ? TS_STATUS_INFO_get0_status(info) : nullptr).c_str());
        (void)SSF_TS_check_status_info(resp.get());
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    ossl::X509Ptr tsa;
    if (tsa_cert && !(tsa = ssf_get_ts_cert(token))) {
        log_error("%s() 7 : ssf_get_ts_cert() failed", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    if (refused_gost2001(token, TS_RESP_get_tst_info(resp.get()))) {
        log_error("%s() 7.1 : Gost R 34.10-2001 not allowed", kFn);
        return -1;
    }
    if (kind == kSignatureTimestamp) {
        (void)AddCACertsToStore(store);
        if ((rc = AddTimestampRevocationValues(md, token, tsa.get(), store)) != 0) {
            log_error("%s() 8 : AddTimestampRevocationValues() failed", kFn);
            return rc;
        }
    }
    ossl::OctetString data_os(ASN1_OCTET_STRING_new());
    if (!data_os || !ASN1_OCTET_STRING_set(data_os.get(), data, static_cast<int>(length))) {
        log_error("%s() 8 : ASN1_OCTET_STRING_new() failed", kFn);
        return SSF_RC_MEMORY;
    }
    const std::string der = der_of(token, i2d_PKCS7);
    if (der.empty()) {
        log_error("%s() 9 : i2d_PKCS7() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    ossl::Asn1String encoded(ASN1_STRING_new());
    if (!encoded || !ASN1_STRING_set(encoded.get(), der.data(), static_cast<int>(der.size()))) {
        log_error("%s() 10 : ASN1_STRING_new() failed", kFn);
        return SSF_RC_MEMORY;
    }
    // The TSA whose revocation values were just gathered is the one the token is checked with.
    if ((rc = ssf_verify_TS(encoded.get(), data_os.get(), store, kind, gen_time, nullptr, nullptr,
                            tsa.get())) != 0) {
        log_error("%s() 11 : ssf_verify_TS() failed", kFn);
        return rc;
    }
    *token_out = std::move(encoded);
    if (tsa_cert) *tsa_cert = std::move(tsa);
    return 0;
}

}  // namespace

std::string tsp_server_for(const EVP_MD* md) {
    if (md && is_gost2012_digest(md)) return config().tsp_server_2012.value_or("");
    const std::shared_ptr<const std::string> server = config_tsp_server();
    return server ? *server : "";
}

std::string asn1_string_to_hex(const ASN1_STRING* s) {
    std::string out;
    const int n = s ? ASN1_STRING_length(s) : 0;
    const unsigned char* p = s ? ASN1_STRING_get0_data(s) : nullptr;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        if (i) out += ' ';
        out += b;
    }
    return out;
}

int make_time_stamp(int kind, ossl::Asn1String* token, const unsigned char* data, size_t length,
                    const EVP_MD* md, X509_STORE* store, ossl::X509Ptr* tsa_cert,
                    ossl::Asn1Time* gen_time) {
    if (token) token->reset();
    if (tsa_cert) tsa_cert->reset();
    if (gen_time) gen_time->reset();
    const int rc = time_stamp(kind, token, data, length, md, store, tsa_cert, gen_time);
    if (rc != 0 && gen_time) gen_time->reset();
    return rc;
}

}  // namespace ssf
