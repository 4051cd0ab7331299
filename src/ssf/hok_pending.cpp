// The SNILS test, and the certificate web-service lookups as they answer while the service
// client is not built: exactly as when "hok:hok_urls" is not configured. The web-service client
// replaces this file.
#include <cctype>
#include <cstring>

#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/hok.h"
#include "ssf/log.h"

namespace ssf {

namespace {

// What building the service URL list says when there is no "hok:hok_urls" to build it from.
int no_url_list(const char* fn) {
    if (config().hok_urls)
        log_write(
            "%s() : the certificate web service is not available in this build; 'hok:hok_urls' is "
            "ignored",
            fn);
    log_error("%s() 1 : urls is NULL", "create_url_list");
    log_error("%s() 2 : create_url_list() failed", fn);
    return SSF_RESULT_CERT_NOT_FOUND;
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

int hok_is_enabled() {
    return 0;
}

int hok_get_fingerprint_by_snils(const char* snils, std::vector<std::string>* fingerprints) {
    static const char* const kFn = "hok_get_fingerprint_by_snils";
    if (!snils || !fingerprints) {
        log_error("%s() 1 : snils or fingerprint is NULL", kFn);
        return SSF_RESULT_CERT_NOT_FOUND;
    }
    return no_url_list(kFn);
}

int hok_get_cert_by_fingerprint(const char* fingerprint, ossl::X509Ptr* cert) {
    static const char* const kFn = "hok_get_cert_by_fingerprint";
    if (!fingerprint || !cert) {
        log_error("%s() 1 : fingerprint or cert is NULL", kFn);
        return SSF_RESULT_CERT_NOT_FOUND;
    }
    return no_url_list(kFn);
}

std::optional<std::string> hok_get_single_fingerprint_by_snils(const char* snils) {
    std::vector<std::string> fingerprints;
    if (hok_get_fingerprint_by_snils(snils, &fingerprints) != 0) {
        log_error("%s() 1 : hok_get_fingerprint_by_snils( '%s' ) failed",
                  "hok_get_single_fingerprint_by_snils", snils ? snils : "(null)");
        return std::nullopt;
    }
    return fingerprints.empty() ? std::string() : fingerprints.front();
}

}  // namespace ssf
