#include "ssf/pki/cert_verify.h"

#include <openssl/err.h>

#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/winstub.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"

namespace ssf {

int add_file(X509_LOOKUP* lookup, const char* path) {
    static const char* const kFn = "add_file";
    // A name that is no regular file loads nothing rather than waiting on a FIFO.
    const platform::RegularFile file(path);
    const std::string name = file ? file.name() : std::string();
    if (file && X509_LOOKUP_load_file(lookup, name.c_str(), X509_FILETYPE_PEM) > 0) return 1;
    log_error("%s() 1 : X509_LOOKUP_load_file( '%s', PEM ) failed: %s", kFn, path,
              oldest_crypto_error_text().c_str());
    ERR_clear_error();
    log_info("%s() : file format is not PEM: trying ASN1", kFn);
    if (file && X509_LOOKUP_load_file(lookup, name.c_str(), X509_FILETYPE_ASN1) > 0) return 1;
    log_error("%s() 2 : X509_LOOKUP_load_file( '%s', ASN1 ) failed: %s", kFn, path,
              oldest_crypto_error_text().c_str());
    ERR_clear_error();
    return -1;
}

const char* ca_file_path() {
    const Text& ca_file = config().ca_file;
    if (!ca_file) return nullptr;
    // A file URL names an absolute path: "file:///etc/ca.pem" is "/etc/ca.pem" here, so only
    // the scheme and the empty host are dropped and the path keeps its leading slash.
    const char* path = ca_file->c_str();
    return std::strncmp(path, "file:///", 8) == 0 ? path + 7 : path;
}

ossl::X509StorePtr setup_store() {
    ossl::X509StorePtr store(X509_STORE_new());
    if (!store) {
        log_error("X509_STORE_new() failed: %s", oldest_crypto_error_text().c_str());
        return nullptr;
    }
    log_debug("Adding file lookup to x509_store");
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store.get(), X509_LOOKUP_file());
    if (!lookup) {
        log_error("X509_STORE_add_lookup(file) failed: %s", oldest_crypto_error_text().c_str());
        return nullptr;
    }
    const char* path = ca_file_path();
    if (!path) {
        log_info("%s() : 'ca_file' parameter not specified", "setup_store");
        return store;
    }
    log_debug("Adding file '%s' to CACERT checks", path);
    if (add_file(lookup, path) != 1) {
        log_debug("setup_store() error: '%s'", path);
        return nullptr;
    }
    return store;
}

namespace {

// Validity period against the system clock alone.
int check_time_validity(X509* cert) {
    static const char* const kFn = "verify_certificate";
    log_debug("Neither CA nor CRL check requested. Certificate time-validity will be only checked");
    time_t now = platform::now();
    int c = X509_cmp_time(X509_get0_notBefore(cert), &now);
    if (c == 0) {
        log_info("%s() 1 : there is error in 'notBefore' field", kFn);
        return -1;
    }
    if (c > 0) {
        log_info("%s() 2 : certificate is not valid yet", kFn);
        return 0;
    }
    c = X509_cmp_time(X509_get0_notAfter(cert), &now);
    if (c == 0) {
        log_info("%s() 3 : there is error in 'notAfter' field", kFn);
        return -1;
    }
    if (c < 0) {
        log_info("%s() 4 : certificate expired", kFn);
        return 0;
    }
    return 1;
}

}  // namespace

int verify_certificate(X509* cert, int check_crl, int check_chain, list* protocols,
                       ossl::X509Stack* chain_out) {
    static const char* const kFn = "verify_certificate";
    if (!cert) return -1;
    if (!check_crl && !check_chain) return check_time_validity(cert);

    ossl::X509StorePtr store = setup_store();
    if (!store) {
        log_error("%s() 5 : setup_store() failed: %s", kFn, oldest_crypto_error_text().c_str());
        return -1;
    }
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr) != 1) {
        log_error("%s() 6 : X509_STORE_CTX_new() failed: %s", kFn,
                  oldest_crypto_error_text().c_str());
        return -1;
    }
    X509_STORE_CTX_set_time(ctx.get(), 0, platform::now());

    if (check_chain) {
        int ok = X509_verify_cert(ctx.get());
        if (chain_out) chain_out->reset(X509_STORE_CTX_get1_chain(ctx.get()));
        if (ok != 1) {
            log_error("%s() 7 : certificate is invalid: %s", kFn,
                      X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
            return 0;
        }
        log_debug("certificate is valid");
    }
    if (!check_crl) return 1;

    int r = check_for_revocation(cert, ctx.get(), protocols, nullptr);
    if (r < 0) {
        log_error("%s() 8 : check_for_revocation() failed: %s", kFn,
                  oldest_crypto_error_text().c_str());
        return -1;
    }
    if (r == 0) {
        log_error("%s() 9 : certificate has been revoked", kFn);
        return 0;
    }
    log_info("%s() 10 :certificate has not been revoked", kFn);
    return 1;
}

}  // namespace ssf
