#include "ssf/cades/ts_check.h"

#include <openssl/err.h>

#include <optional>
#include <string>

#include "platform/winstub.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/cades/ref_match.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/frame.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/net/hok.h"
#include "ssf/pki/cert_verify.h"
#include "ssf/pki/certs.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

PKCS7_SIGNER_INFO* first_signer_info(PKCS7* p7) {
    STACK_OF(PKCS7_SIGNER_INFO)* infos =
        p7 && PKCS7_type_is_signed(p7) && p7->d.sign ? PKCS7_get_signer_info(p7) : nullptr;
    return sk_PKCS7_SIGNER_INFO_num(infos) > 0 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
}

X509* find_by_issuer_serial(STACK_OF(X509) * certs, const PKCS7_ISSUER_AND_SERIAL* ias) {
    return certs && ias ? X509_find_by_issuer_and_serial(certs, ias->issuer, ias->serial) : nullptr;
}

// 40 lower-case hexadecimal digits, as the certificate web service names certificates.
std::string sha1_fingerprint(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert, EVP_sha1(), md, &n) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

// The TSA's certificate and its chain, checked once: the ESS attribute, the signature and the
// revocation checks that follow all use them. A second certificate of the same issuer and
// serial number among the token's own could otherwise verify the signature while the first had
// its chain checked.
struct TsaPath {
    static constexpr const char* kFn = "ssf_verify_TS_token";
    ossl::X509Stack values;            // the token's certValues
    ossl::X509View untrusted;          // borrowed: what helps to build the chain
    ChainAtTime ctx;                   // refers to both
    X509* tsa = nullptr;               // borrowed from the token or values
    STACK_OF(X509) * chain = nullptr;  // the context's

    // 0, or the result code (logged). chosen: the TSA's certificate as the caller already chose
    // it from this token, by the same rule.
    int check(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509_STORE* store, STACK_OF(X509) * pab_certs,
              int kind, time_t moment, X509* chosen) {
        values = read_cert_values(si);
        if (values)
            log_write("%s() : %d certs found in 'certValues' attribute", kFn,
                      sk_X509_num(values.get()));
        bool ambiguous = false;
        tsa = chosen ? chosen
                     : sole_signer({values.get(), p7->d.sign->cert}, si->issuer_and_serial,
                                   &ambiguous);
        if (ambiguous) {
            log_error(
                "%s() 3.1 : the token carries two different certificates with the TSA's issuer "
                "and serial number",
                kFn);
            return timestamp_failure_code(kind);
        }
        if (!tsa) {
            log_error("%s() 3 : ssf_get_ts_cert() failed", kFn);
            return SSF_RESULT_TSP_BAD_RESPONSE;
        }
        // The time is this call's and so are the token's certificates: both stay with the call's
        // chain context, never in the caller's store, which other threads share. The token's
        // certificates help to build the chain; a self-signed one among its certValues may end
        // it only where the directory decides the root's trust, never by itself.
        STACK_OF(X509)* own = pab_certs ? values.get() : nullptr;
        untrusted.reset(sk_X509_new_null());
        if (!untrusted || !ctx || !ossl::append_borrowed(untrusted.get(), p7->d.sign->cert) ||
            (!own && !ossl::append_borrowed(untrusted.get(), values.get()))) {
            log_error("%s() 4 : X509_STORE_CTX_new() failed", kFn);
            return SSF_RC_MEMORY;
        }
        if (!ctx.init(store, moment, tsa, untrusted.get(), own)) {
            log_error("%s() 5 : X509_STORE_CTX_init() failed", kFn);
            log_crypto_errors();
            return SSF_RC_MEMORY;
        }
        X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_TIMESTAMP_SIGN);
        if (X509_verify_cert(ctx.get()) <= 0) {
            log_error("%s() 7 : TSP certificate is invalid, reason:  '%s'", kFn,
                      X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
            ERR_clear_error();
            return timestamp_failure_code(kind);
        }
        chain = X509_STORE_CTX_get0_chain(ctx.get());
        if (sk_X509_num(chain) <= 0) {
            log_error("%s() 8 : X509_STORE_CTX_get_chain() failed", kFn);
            return SSF_RESULT_TSP_UNTRUSTED;
        }
        if (find_certificate_in_trusted_root(sk_X509_value(chain, sk_X509_num(chain) - 1), store,
                                             pab_certs, own) != 1) {
            log_error("%s() 9 : find_certificate_in_trusted_root() failed", kFn);
            return SSF_RESULT_TSP_UNTRUSTED;
        }
        return 0;
    }
};

int verify_token(PKCS7* p7, TS_TST_INFO* tst_info, const ASN1_STRING* data, X509_STORE* store,
                 int kind, STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when,
                 X509* chosen) {
    static const char* const kFn = "ssf_verify_TS_token";
    if (!p7 || !store) {
        log_error("%s() 0 : p7 or store is NULL", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    ossl::TsTstInfo decoded;
    if (!tst_info) {
        decoded.reset(PKCS7_to_TS_TST_INFO(p7));
        if (!decoded) {
            log_error("%s() 0 : PKCS7_to_TS_TST_INFO() failed", kFn);
            log_crypto_errors();
            return SSF_RESULT_TSP_BAD_RESPONSE;
        }
        tst_info = decoded.get();
    }
    ossl::TsVerifyCtx ctx(TS_VERIFY_CTX_new());
    if (!ctx) {
        log_error("%s() 1: TS_VERIFY_CTX_new() failed", kFn);
        log_crypto_errors();
        return -1;
    }
    int flags = TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_SIGNER;
    if (data) {
        BIO* in = BIO_new_mem_buf(ASN1_STRING_get0_data(data), ASN1_STRING_length(data));
        if (!in) {
            log_error("%s() 2: BIO_new_mem_buf() failed", kFn);
            log_crypto_errors();
            return -1;
        }
        TS_VERIFY_CTX_set_data(ctx.get(), in);
        flags |= TS_VFY_DATA;
    }
    TS_VERIFY_CTX_set_flags(ctx.get(), flags);

    PKCS7_SIGNER_INFO* si = first_signer_info(p7);
    if (!si) {
        log_error("%s() 6 : no signer info found in timestamp", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    std::optional<time_t> at;
    if (when)
        at = generalizedtime_to_time_t(when);
    else if (config().verify_use_signing_time)
        at = generalizedtime_to_time_t(TS_TST_INFO_get_time(tst_info));
    TsaPath path;
    if (const int rc =
            path.check(p7, si, store, pab_certs, kind, at.value_or(platform::now()), chosen);
        rc != 0)
        return rc;
    X509* tsa = path.tsa;
    STACK_OF(X509)* chain = path.chain;
    // Hosts read the TSA's certificate from the token.
    if (!ossl::contains(p7->d.sign->cert, tsa) && !PKCS7_add_certificate(p7, tsa)) {
        log_error("%s() 9.1 : PKCS7_add_certificate() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    if (SSF_TS_RESP_verify_token_by(ctx.get(), p7, tst_info, tsa, chain) != 1) {
        log_error("%s() 10 : SSF_TS_RESP_verify_token() failed", kFn);
        log_crypto_errors();
        return timestamp_failure_code(kind);
    }
    switch (kind) {
        case kSignatureTimestamp: {
            const int rc = verify_signature_timestamp_rev_status(si, chain, at ? &*at : nullptr,
                                                                 path.values.get());
            if (rc != 0) log_error("%s() : verify_signature_timestamp_rev_status() failed", kFn);
            return rc;
        }
        case kEscTimestamp:
            log_write("%s() : escTimeStamp, skipping revocation status check", kFn);
            return 0;
        case kArchiveTimestamp: {
            const int rc = verify_archive_timestamp_rev_status(si, TS_TST_INFO_get_time(tst_info),
                                                               tsa, path.values, store, pab_certs);
            if (rc != 0) log_error("%s() : verify_archive_timestamp_rev_status() failed", kFn);
            return rc;
        }
        default:
            log_error("%s() : unknown timestamp type: %d", kFn, kind);
            return SSF_RC_NO_OUTPUT;
    }
}

}  // namespace

int timestamp_failure_code(int kind) {
    switch (kind) {
        case kSignatureTimestamp:
            return SSF_RESULT_NO_SIGNATURE_TIMESTAMP;
        case kEscTimestamp:
            return SSF_RESULT_NO_ESC_TIMESTAMP;
        case kArchiveTimestamp:
            return SSF_RESULT_NO_ARCHIVE_TIMESTAMP;
        default:
            return SSF_RESULT_INITIAL;
    }
}

int ssf_verify_TS(const ASN1_STRING* token_der, const ASN1_STRING* data, X509_STORE* store,
                  int kind, ossl::Asn1Time* gen_time, STACK_OF(X509) * pab_certs,
                  const ASN1_GENERALIZEDTIME* when, X509* tsa) {
    static const char* const kFn = "ssf_verify_TS";
    log_debug("%s() begin: ts_token = 0x%lx, data = 0x%lx, store = 0x%lx, gen_time = 0x%lx", kFn,
              ptr_bits(token_der), ptr_bits(data), ptr_bits(store), ptr_bits(gen_time));
    if (gen_time) gen_time->reset();
    const int rc = [&] {
        ossl::Bio in(token_der ? BIO_new_mem_buf(ASN1_STRING_get0_data(token_der),
                                                 ASN1_STRING_length(token_der))
                               : nullptr);
        if (!in) {
            log_error("%s() 1 : BIO_new_mem_buf() failed", kFn);
            return -1;
        }
        ossl::Pkcs7 p7(d2i_PKCS7_bio(in.get(), nullptr));
        if (!p7) {
            log_error("%s() 2 : d2i_PKCS7_bio() failed", kFn);
            log_crypto_errors();
            return -1;
        }
        ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(p7.get()));
        if (!tst) {
            log_error("%s() 3 : PKCS7_to_TS_TST_INFO() failed", kFn);
            log_crypto_errors();
            return static_cast<int>(SSF_RESULT_TSP_BAD_RESPONSE);
        }
        if (gen_time) gen_time->reset(ASN1_STRING_dup(TS_TST_INFO_get_time(tst.get())));
        const int r = verify_ts_token(p7.get(), tst.get(), data, store, kind, pab_certs, when, tsa);
        if (r != 0) log_error("%s() 4 : ssf_verify_TS_token() failed", kFn);
        return r;
    }();
    log_debug("%s() end: return code %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

ossl::X509Ptr ssf_get_ts_cert(PKCS7* token) {
    static const char* const kFn = "ssf_get_ts_cert";
    log_debug("%s() begin: token = 0x%lx", kFn, ptr_bits(token));
    ossl::X509Ptr cert = [&]() -> ossl::X509Ptr {
        PKCS7_SIGNER_INFO* si = first_signer_info(token);
        if (!si) {
            log_error("%s() 1 : no signer info found in timestamp", kFn);
            return nullptr;
        }
        const ossl::X509Stack values = read_cert_values(si);
        ossl::X509Ptr found = ssf_find_signer_in_attrs(si, values.get(), token->d.sign->cert);
        if (!found) log_error("%s() 2 : no signer certificate found in timestamp", kFn);
        return found;
    }();
    log_debug("%s() end: ret = 0x%lx", kFn, ptr_bits(cert.get()));
    return cert;
}

ossl::X509Ptr ssf_find_signer_in_attrs(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * values,
                                       STACK_OF(X509) * certs, bool* ambiguous) {
    static const char* const kFn = "ssf_find_signer_in_attrs";
    log_debug("%s() begin: si = 0x%lx, certs = 0x%lx", kFn, ptr_bits(si), ptr_bits(certs));
    bool twice = false;
    ossl::X509Ptr found = [&]() -> ossl::X509Ptr {
        if (!si) {
            log_error("%s() 1 : bad args: si is NULL", kFn);
            return nullptr;
        }
        X509* c = sole_signer({values, certs}, si->issuer_and_serial, &twice);
        if (twice) {
            log_error(
                "%s() 2 : two different certificates answer to the signer's issuer and serial "
                "number",
                kFn);
            return nullptr;
        }
        if (values) {
            log_write("%s() : %d certs found in 'certValues' attribute", kFn, sk_X509_num(values));
            if (c && ossl::contains(values, c)) {
                log_write("%s() : signer's certificate found in 'certValues' attribute", kFn);
                return ossl::up_ref(c);
            }
            log_write("%s() : signer's certificate not found in 'certValues' attribute", kFn);
        }
        if (c) log_write("%s() : signer's certificate found in included certs", kFn);
        return ossl::up_ref(c);
    }();
    if (ambiguous) *ambiguous = twice;
    log_debug("%s() end, return 0x%lx", kFn, ptr_bits(found.get()));
    return found;
}

ossl::X509Ptr ssf_find_cert_in_pab(const PKCS7_ISSUER_AND_SERIAL* iasn, STACK_OF(X509) * pab_certs,
                                   const char* dir) {
    static const char* const kFn = "ssf_find_cert_in_pab";
    log_debug("%s() begin: iasn = 0x%lx, pab_certs = 0x%lx", kFn, ptr_bits(iasn),
              ptr_bits(pab_certs));
    if (!dir) dir = "(null)";
    ossl::X509Ptr found = [&]() -> ossl::X509Ptr {
        if (!iasn || !iasn->issuer || !iasn->serial) {
            log_error("%s() 1 : bad args", kFn);
            return nullptr;
        }
        log_write("%s() : %d certificates found in directory '%s'", kFn, sk_X509_num(pab_certs),
                  dir);
        if (X509* c = find_by_issuer_serial(pab_certs, iasn)) {
            log_write("%s() : signer's certificate found in directory '%s'", kFn, dir);
            return ossl::up_ref(c);
        }
        log_error("%s() 5 : signer's certificate not found in directory '%s'", kFn, dir);
        return nullptr;
    }();
    if (!found) log_error("%s() 5 : signer's certificate not found in PAB '%s'", kFn, dir);
    log_debug("%s() end, returns 0x%lx", kFn, ptr_bits(found.get()));
    return found;
}

int find_certificate_in_trusted_root(X509* cert, X509_STORE* store, STACK_OF(X509) * pab_certs,
                                     STACK_OF(X509) * own) {
    static const char* const kFn = "find_certificate_in_trusted_root";
    log_debug("%s() begin: cert = 0x%lx, store = 0x%lx", kFn, ptr_bits(cert), ptr_bits(store));
    const int rc = [&] {
        if (!cert || !store) {
            log_error("%s() 1 : cert or store is NULL", kFn);
            return 0;
        }
        // Only the very certificate counts: a namesake in the store, or among the call's own
        // without a directory to decide, vouches for nothing.
        if (!(pab_certs && ossl::contains(own, cert))) {
            ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
            if (!ctx) {
                log_error("%s() 2 : X509_STORE_CTX_new() failed", kFn);
                return 0;
            }
            if (X509_STORE_CTX_init(ctx.get(), store, nullptr, nullptr) != 1) {
                log_error("%s() 3 : X509_STORE_CTX_init() failed", kFn);
                log_crypto_errors();
                return 0;
            }
            ossl::X509Stack named(
                X509_STORE_CTX_get1_certs(ctx.get(), X509_get_subject_name(cert)));
            if (!named) {
                log_error("%s() 4 : X509_STORE_get_by_subject() failed", kFn);
                ERR_clear_error();
                return 0;
            }
            if (!ossl::contains(named.get(), cert)) {
                log_error("%s() 5 : certificate not found in trusted root store", kFn);
                return 0;
            }
        }
        if (!pab_certs || ossl::contains(pab_certs, cert)) return 1;
        log_error("%s() 6 : certificate not found in pab_certs", kFn);
        if (!hok_is_enabled()) return 0;
        log_write("%s() : trying to load certificate from HOK", kFn);
        const std::string fp = sha1_fingerprint(cert);
        ossl::X509Ptr fetched;
        if (fp.empty() || hok_get_cert_by_fingerprint(fp.c_str(), &fetched) != 0) {
            log_error("%s() : hok_get_cert_by_fingerprint( '%s' ) failed", kFn, fp.c_str());
            return 0;
        }
        if (X509_cmp(fetched.get(), cert) != 0) {
            log_error("%s() : wrong certificate, X509_cmp() failed", kFn);
            return 0;
        }
        if (!sk_X509_push(pab_certs, fetched.get())) return 0;
        (void)fetched.release();
        return 1;
    }();
    log_debug("%s() end: return code = %d", kFn, rc);
    return rc;
}

int AddCACertsToStore(X509_STORE* store) {
    static const char* const kFn = "AddCACertsToStore";
    X509_LOOKUP* lookup = store ? X509_STORE_add_lookup(store, X509_LOOKUP_file()) : nullptr;
    if (!lookup) {
        log_error("%s() 1 : X509_STORE_add_lookup() failed", kFn);
        log_crypto_errors();
        return -1;
    }
    const char* path = ca_file_path();
    if (!path) {
        log_write("%s() : CA file not specified", kFn);
        return 0;
    }
    if (X509_LOOKUP_load_file(lookup, path, X509_FILETYPE_PEM) <= 0) {
        log_error("%s() 3 : X509_LOOKUP_load_file( %s ) failed", kFn, path);
        log_crypto_errors();
        return -1;
    }
    return 0;
}

int verify_signature_timestamp_rev_status(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * chain,
                                          const time_t* when, STACK_OF(X509) * cert_values) {
    static const char* const kFn = "verify_signature_timestamp_rev_status";
    if (!si || !chain) {
        log_error("%s() 0 : si or chain is NULL", kFn);
        return SSF_RESULT_INITIAL;
    }
    if (check_rev_and_cert_refs_and_vals(si, cert_values) != 0) {
        log_error("%s() 1 : check_rev_and_cert_refs_and_vals() failed", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    const int n = sk_X509_num(chain);
    if (n == 2) {
        log_write("%s() : no intermediate CA found in TSA certificate chain", kFn);
        return 0;
    }
    if (!PKCS7_get_attribute(si, NID_id_smime_aa_ets_revocationValues)) {
        log_error("%s() 2 : no revocation values found in timestamp", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    RevocationValues values(decode_value(
        unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues), d2i_REVOCATION_VALUES));
    if (!values) {
        log_error("%s() 3 : d2i_REVOCATION_VALUES() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    for (int i = 1; i < n - 1; ++i) {
        X509* ca = sk_X509_value(chain, i);
        if (check_revoked_crl(ca, sk_X509_value(chain, i + 1), values->crlVals, when ? *when : 0) !=
            1) {
            log_error("%s() 4 : revocation check failed for intermediate CA #%d (name = '%s')", kFn,
                      i, one_line_subject(ca).c_str());
            return SSF_RESULT_TSP_BAD_RESPONSE;
        }
    }
    return 0;
}

int verify_archive_timestamp_rev_status(PKCS7_SIGNER_INFO* si, const ASN1_GENERALIZEDTIME* gen_time,
                                        X509* tsa, const ossl::X509Stack& values, X509_STORE* store,
                                        STACK_OF(X509) * pab_certs) {
    const int rc = verify_signer_attributes(si, tsa, values, store, pab_certs, gen_time);
    if (rc != 0)
        log_error("%s() 1 : VerifyEnhancedSignatureAttributes() failed",
                  "verify_archive_timestamp_rev_status");
    return rc;
}

int verify_ts_token(PKCS7* p7, TS_TST_INFO* tst_info, const ASN1_STRING* data, X509_STORE* store,
                    int kind, STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when,
                    X509* tsa) {
    static const char* const kFn = "ssf_verify_TS_token";
    return guarded(kFn, SSF_RC_MEMORY, [&] {
        log_debug("%s() begin: p7 = 0x%lx, tst_info = 0x%lx, data = 0x%lx, store = 0x%lx", kFn,
                  ptr_bits(p7), ptr_bits(tst_info), ptr_bits(data), ptr_bits(store));
        const int rc = verify_token(p7, tst_info, data, store, kind, pab_certs, when, tsa);
        log_debug("%s() end: return code = %d (%s)", kFn, rc, result_text(rc));
        return rc;
    });
}

}  // namespace ssf
