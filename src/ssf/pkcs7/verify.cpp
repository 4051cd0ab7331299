// Verification of signed data: one result record per SignerInfo.
#include "ssf/pkcs7/verify.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstring>
#include <ctime>
#include <string>

#include "ssf/cades/cades_verify.h"
#include "ssf/cades/ess_check.h"
#include "ssf/config.h"
#include "ssf/encode.h"
#include "ssf/net/hok.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/certs.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

// Shown as the identity of a signer whose certificate was found nowhere.
constexpr const char kNoCertificateId[] =
    "\"issuer-name/Noserialnumber\":CN=CA, OU=SSF-TEST, O=SAP-AG, C=DE/No-2)";
static_assert(sizeof kNoCertificateId - 1 == 69);

int fail(const char* line, const char* fn, int code, bool dump = false) {
    log_error(line, fn);
    if (dump) log_crypto_errors();
    return code;
}

std::string hex(const unsigned char* p, size_t n, const char* sep) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i && *sep) out += sep;
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string serial_hex(X509* cert, const char* sep) {
    const ASN1_INTEGER* s = X509_get0_serialNumber(cert);
    return hex(ASN1_STRING_get0_data(s), static_cast<size_t>(ASN1_STRING_length(s)), sep);
}

std::string asctime_text(time_t t) {
    struct tm tmv;
    char buf[64];
    if (!localtime_r(&t, &tmv) || !asctime_r(&tmv, buf)) return "?\n";
    return buf;
}

std::string signing_time_text(PKCS7_SIGNER_INFO* si, bool enhanced) {
    static const char* fn = "set_profile_data";
    ASN1_TYPE* t7 = si ? PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime) : nullptr;
    if (!t7) return "<Unknown>";
    std::string text;
    if (t7->type != V_ASN1_UTCTIME || !ASN1_UTCTIME_check(t7->value.utctime)) {
        log_error("%s() 5 : ASN1_UTCTIME_check() failed", fn);
        if (t7->type == V_ASN1_UTCTIME || t7->type == V_ASN1_GENERALIZEDTIME ||
            t7->type == V_ASN1_OCTET_STRING) {
            const ASN1_STRING* s = t7->value.asn1_string;
            log_hexdump(ASN1_STRING_get0_data(s), static_cast<uint32_t>(ASN1_STRING_length(s)),
                        "t7->value.asn1_string");
        }
        text = "SigningTime= <UNKNOWN, decoding failed> (UTCTime: <UNKNOWN>)";
    } else {
        time_t when = utctime_to_time_t(t7->value.utctime);
        std::string chars = asn1_chars(t7->value.utctime);
        if (when == 0) {
            char buf[96];
            snprintf(buf, sizeof buf, "SigningTime= <UNKNOWN, decoding failed> (UTCTime: %8s)",
                     chars.c_str());
            text = buf;
        } else {
            text = "SigningTime= " + asctime_text(when) + " (UTCTime: " + chars + ")";
        }
    }
    if (enhanced) {
        auto ts = get_timestamp_time(si);
        if (ts)
            text += "\n" + *ts;
        else
            log_error("%s() 6 : timestamp time not found", fn);
    }
    return text;
}

// The first commonName of the subject in UTF-8, empty when there is none.
std::string common_name(X509* cert) {
    X509_NAME* name = X509_get_subject_name(cert);
    int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (i < 0) return std::string();
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    std::string out =
        n > 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)) : std::string();
    OPENSSL_free(utf8);
    return out;
}

std::string signer_description(X509* cert) {
    struct tm from {
    }, to{};
    time_t nb = asn1_time_to_time_t(X509_get0_notBefore(cert));
    time_t na = asn1_time_to_time_t(X509_get0_notAfter(cert));
    localtime_r(&nb, &from);
    localtime_r(&na, &to);
    unsigned char sha1[EVP_MAX_MD_SIZE];
    unsigned int sha1_len = 0;
    if (!X509_digest(cert, EVP_sha1(), sha1, &sha1_len)) sha1_len = 0;
    std::string cn = common_name(cert), serial = serial_hex(cert, ""), fp = hex(sha1, sha1_len, "");
    char dates[64];
    snprintf(dates, sizeof dates, "%02d.%02d.%04d-%02d.%02d.%04d", from.tm_mday, from.tm_mon + 1,
             from.tm_year + 1900, to.tm_mday, to.tm_mon + 1, to.tm_year + 1900);
    return "Signer: " + cn + "\nValidity: " + dates + "\nSerial number: " + serial +
           "\nFingerprint: " + fp;
}

// Copies bytes into a new field of the crypto library's allocator; with_nul adds a NUL after
// them that the length does not count.
bool set_field(SAP_BYTE*& field, SAP_UINT& len, const void* bytes, size_t n, bool with_nul) {
    if (n == 0) return true;
    auto* p = static_cast<SAP_BYTE*>(OPENSSL_malloc(n + (with_nul ? 1 : 0)));
    if (!p) return false;
    std::memcpy(p, bytes, n);
    if (with_nul) p[n] = 0;
    field = p;
    len = static_cast<SAP_UINT>(n);
    return true;
}

std::string record_identity(X509* cert) {
    static const char* fn = "set_profile_data";
    if (!cert) return kNoCertificateId;
    const Config& c = config();
    if (c.verify_use_sha1_id) return calc_sha1id(cert);
    if (c.default_verify_name) return *c.default_verify_name;
    auto name = orb_x509_get_name_from_X509(cert);
    if (!name) {
        log_error("%s() 2.1 : cert_name is NULL", fn);
        return std::string();
    }
    return *name;
}

// The signing time a trust decision uses when configured; -1 for now.
time_t trust_time(PKCS7_SIGNER_INFO* si) {
    if (!config().verify_use_signing_time) return -1;
    ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
    if (!t) return -1;
    if (t->type == V_ASN1_UTCTIME) return utctime_to_time_t(t->value.utctime);
    if (t->type == V_ASN1_GENERALIZEDTIME)
        return generalizedtime_to_time_t(t->value.generalizedtime);
    return -1;
}

// The content type a SignerInfo signed: its contentType attribute, and without signed attributes
// id-data, the only type a bare signature may cover (RFC 5652, 5.3 and 11.1). It must be the type
// the message claims, or a genuine signature would vouch for content of another kind.
bool content_type_signed(PKCS7_SIGNER_INFO* si, const ASN1_OBJECT* content_type) {
    const ASN1_OBJECT* signed_type = OBJ_nid2obj(NID_pkcs7_data);
    if (ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_contentType)) {
        if (t->type != V_ASN1_OBJECT) return false;
        signed_type = t->value.object;
    }
    return OBJ_cmp(signed_type, content_type) == 0;
}

// A signature value longer than the key can make, or empty, is refused before it reaches the
// key's verifier.
bool signature_length_fits(PKCS7_SIGNER_INFO* si, X509* cert) {
    static const char* fn = "ssf_verify_data";
    const int len = si->enc_digest ? ASN1_STRING_length(si->enc_digest) : 0;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    const int max = key ? EVP_PKEY_get_size(key) : 0;
    if (len > 0 && max > 0 && len <= max) return true;
    log_error("%s() 12.0 : signature length %d does not fit the signer's key (at most %d)", fn, len,
              max);
    ERR_clear_error();
    return false;
}

struct Verification {
    const char* fn = "ssf_verify_data";
    PKCS7* p7 = nullptr;
    BIO* stream = nullptr;  // null when the digests could not be set up
    STACK_OF(X509) * pab_certs = nullptr;
    STACK_OF(X509) * signers = nullptr;
    SigRcpSsfInfoList* results = nullptr;
    int given_type = 0;  // as the caller named it
    int type = 0;        // as it is handled
    bool failed = false;

    void set_type(int t) {
        given_type = t;
        const bool known = t == SIG_TYPE_PKCS7_ANY || t == SIG_TYPE_PKCS7 ||
                           t == SIG_TYPE_CADES_BES || t == SIG_TYPE_CADES ||
                           t == SIG_TYPE_GET_SIGNERS;
        type = known ? t : SIG_TYPE_PKCS7;
    }

    // The certificate of SignerInfo i by the rules of the signature type (a new reference): the
    // one look-up whose result the record and every check use. values receives the certValues
    // as read for it. None, with values.ambiguous, when two different certValues certificates
    // answer to the SignerInfo.
    ossl::X509Ptr signer_cert(PKCS7_SIGNER_INFO* si, int i, CertValues& values) {
        auto listed = [&]() {
            return ossl::up_ref(signers && i < sk_X509_num(signers) ? sk_X509_value(signers, i)
                                                                    : nullptr);
        };
        if (type != SIG_TYPE_CADES && type != SIG_TYPE_PKCS7_ANY && type != SIG_TYPE_GET_SIGNERS)
            return listed();
        values = ssf_GetSubjectCertificateFromAttrs(si);
        if (values.signer || values.ambiguous || type == SIG_TYPE_CADES)
            return ossl::up_ref(values.signer);
        log_write("%s() 10.1 : no certificate found for signer #%d, si = %#lX", fn, i,
                  ptr_bits(si));
        log_write("%s() : trying to get certificate from PAB and included certs", fn);
        ossl::X509Ptr cert = listed();
        if (!cert) log_error("%s() 10.2 : no certificate found in PAB and included certs", fn);
        return cert;
    }

    int check_signature(PKCS7_SIGNER_INFO* si, X509* cert, const std::string& name) {
        if ((type == SIG_TYPE_CADES_BES ||
             (type == SIG_TYPE_PKCS7_ANY && has_signing_cert_v2(si))) &&
            check_ess_signing_cert(si, cert) != 1) {
            log_error("%s() 11.1 : check_ess_signing_cert for signer '%s' failed", fn,
                      name.c_str());
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        if (!stream || !signature_length_fits(si, cert) ||
            PKCS7_signatureVerify(stream, p7, si, cert) <= 0) {
            log_error("%s() 12 : signature for signer '%s' is invalid", fn, name.c_str());
            log_crypto_errors();
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        int trust = GetCertificateTrustedStatus(cert, pab_certs, trust_time(si));
        if (trust != 0) {
            log_error("%s() : signer's certificate is not trusted", fn);
            return trust;
        }
        log_write("%s() : signer's certificate is trusted", fn);
        return SSF_RESULT_VALID;
    }

    void add_record(bool enhanced, PKCS7_SIGNER_INFO* si, X509* cert, int result,
                    const std::string* profile) {
        SigRcpSsfInfo* rec = nullptr;
        if (set_profile_data(enhanced, &rec, si, cert, result) != 0) {
            log_error("%s() 12.1 : set_profile_data() failed", fn);
            delete_record(&rec);
            return;
        }
        if (profile) {
            OPENSSL_free(rec->strSigRcpProfile);
            rec->strSigRcpProfile = nullptr;
            rec->strSigRcpProfileL = 0;
            if (!set_field(rec->strSigRcpProfile, rec->strSigRcpProfileL, profile->data(),
                           profile->size(), true)) {
                log_error("%s() 12.1 : set_profile_data() failed", fn);
                delete_record(&rec);
                return;
            }
        }
        if (insert_record(rec, results) != 0) delete_record(&rec);
    }

    void one_signer(PKCS7_SIGNER_INFO* si, int i) {
        if (given_type != type) log_write("%s() 10.0 : sign_type = %d - unknown", fn, given_type);
        CertValues values;
        ossl::X509Ptr cert = signer_cert(si, i, values);
        if (values.ambiguous) {
            log_error("%s() 10.5 : the certificate of signer #%d is not decided, si = %#lX", fn, i,
                      ptr_bits(si));
            failed = true;
            add_record(false, si, nullptr, SSF_RESULT_INVALID_SIGNATURE, nullptr);
            return;
        }
        if (!cert) {
            log_error("%s() 10.3 : no certificate found for signer #%d, si = %#lX", fn, i,
                      ptr_bits(si));
            failed = true;
            add_record(false, si, nullptr, SSF_RESULT_CERT_NOT_FOUND, nullptr);
            return;
        }
        auto name_opt = orb_x509_get_name_from_X509(cert.get());
        if (!name_opt) log_error("%s() 10.4 : signer_name is NULL", fn);
        const std::string name = name_opt ? *name_opt : std::string();

        if (type == SIG_TYPE_GET_SIGNERS) {
            log_write("%s() : signature type is PKCS7_GET_SIGNERS, skipping signature check", fn);
            const std::string description = signer_description(cert.get());
            add_record(false, si, cert.get(), SSF_RESULT_VALID, &description);
            return;
        }
        const bool enhanced =
            type == SIG_TYPE_CADES || (type == SIG_TYPE_PKCS7_ANY && is_enhanced_signature(si, 0));
        int result;
        if (!content_type_signed(si, p7->d.sign->contents->type)) {
            log_error("%s() 11.2 : signer '%s' did not sign the message's content type", fn,
                      name.c_str());
            result = SSF_RESULT_INVALID_SIGNATURE;
        } else if (enhanced) {
            result = VerifyEnhancedSignature(stream, p7, si, cert.get(), pab_certs, &values);
            if (result != 0)
                log_error("%s() 11 : enhanced signature for signer '%s' is invalid", fn,
                          name.c_str());
        } else {
            result = check_signature(si, cert.get(), name);
        }
        if (result != 0) failed = true;
        add_record(enhanced, si, cert.get(), result, nullptr);
    }
};

// The caller's content against the message's own: 0 when they are the same bytes, else 3.
int compare_with_input(const char* fn, const ASN1_OCTET_STRING* own, Bytes input) {
    OutData dec_in;
    if (decode_data(dec_in, input) != 0)
        return fail("%s() 16 : decode_data() failed", fn, SSF_RC_NO_INPUT);
    const int included_len = ASN1_STRING_length(own);
    log_write("%s() : included_len = %d, source_len = %d", fn, included_len,
              static_cast<int>(input.size()));
    log_write("%s() : dec_in->cbData = %d", fn, static_cast<int>(dec_in.size));
    if (static_cast<uint32_t>(included_len) != dec_in.size)
        return fail("%s() 17 : provided and attached datasets are different", fn, SSF_RC_NO_INPUT);
    if (dec_in.size && std::memcmp(ASN1_STRING_get0_data(own), dec_in.data.get(), dec_in.size) != 0)
        return fail("%s() 18 : provided and attached datasets are different", fn, SSF_RC_NO_INPUT);
    return SSF_RC_OK;
}

void log_results(const char* fn, SigRcpSsfInfoList list, int rc) {
    log_info("%s(): Verification results:", fn);
    int n = 0;
    for (SigRcpSsfInfoList node = list; node; node = node->next) {
        const SigRcpSsfInfo* r = node->ptrSigRcp;
        if (!r) continue;
        std::string id = r->strSigRcpId
                             ? std::string(reinterpret_cast<char*>(r->strSigRcpId), r->strSigRcpIdL)
                             : "";
        std::string fp = "N/A";
        if (r->strSigRcpPassword && r->strSigRcpPasswordL > 0) {
            unsigned char d[EVP_MAX_MD_SIZE];
            unsigned int dl = 0;
            if (EVP_Digest(r->strSigRcpPassword, r->strSigRcpPasswordL, d, &dl, EVP_sha1(),
                           nullptr))
                fp = hex(d, dl, " ");
        }
        log_write("\tSigner #%d:\n\tID: '%s'\n\tFingerprint: %s\n\tResult: %d", n++, id.c_str(),
                  fp.c_str(), static_cast<int>(r->uResult));
    }
    log_write("Total signers: %d", n);
    log_write("Overall result: %d", rc);
}

int verify_body(const char* fn, OutData& out, Bytes input, Bytes signed_data, bool use_certs,
                Bytes pab, SigRcpSsfInfoList* results, int type) {
    ossl::Bio in(BIO_new_mem_buf(signed_data.data(), static_cast<int>(signed_data.size())));
    if (!in) return fail("%s() 1 : BIO_new_mem_buf() failed", fn, SSF_RC_MEMORY);
    ossl::Pkcs7 p7(d2i_PKCS7_bio(in.get(), nullptr));
    if (!p7) return fail("%s() 2 : d2i_PKCS7_bio() failed", fn, SSF_RC_NOT_PKCS7, true);
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign || !p7->d.sign->contents)
        return fail("%s() 3 : PKCS7 has wrong format", fn, SSF_RC_INVALID_FORMAT);
    const bool detached = PKCS7_get_detached(p7.get()) != 0;
    const ASN1_OCTET_STRING* own = detached ? nullptr : signed_content(p7.get());
    if (!detached && !own)
        return fail("%s() 3 : PKCS7 has wrong format", fn, SSF_RC_INVALID_FORMAT);

    OutData source;
    ossl::Bio source_bio;
    if (detached) {
        if (input.empty()) return fail("%s() 4 : no source data provided", fn, SSF_RC_NO_INPUT);
        if (int rc = decode_data(source, input); rc != 0) {
            log_error("%s() 4.1 : decode_data() returned %d", fn, rc);
            return rc;
        }
        source_bio.reset(BIO_new_mem_buf(source.data.get(), static_cast<int>(source.size)));
        if (!source_bio) return fail("%s() 5 : BIO_new_mem_buf() failed", fn, SSF_RC_MEMORY);
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0)
        return fail("%s() 6 : no signatures on data found", fn, SSF_RC_INVALID_FORMAT);

    ossl::Text pab_name(
        get_sz_string_from_sap_string(pab.data(), static_cast<SAP_UINT>(pab.size())));
    if (!pab_name)
        return fail("%s() 7 : get_sz_string_from_sap_string() failed", fn, SSF_RC_MEMORY);
    ossl::X509Stack pab_certs = load_certs_from_pab_orbssl(pab_name.get());
    if (!pab_certs) {
        log_error("%s() 8 : load_certs_from_pab() returned NULL", fn);
        if (!hok_is_enabled()) return SSF_RC_NO_PAB_CERTS;
        log_write("%s() : will find root certificate in HOK", fn);
        pab_certs.reset(sk_X509_new_null());
        if (!pab_certs) return SSF_RC_MEMORY;
    } else {
        log_write("%s() : found %d certificates in PAB '%s'", fn, sk_X509_num(pab_certs.get()),
                  pab_name.get());
    }
    ossl::X509Stack signers =
        ssf_PKCS7_get0_signers(p7.get(), pab_certs.get(), use_certs ? 0 : PKCS7_NOINTERN);
    if (!signers) {
        log_error("%s() 9: no signers' certificates found in PAB '%s'", fn, pab_name.get());
        log_crypto_errors();
        return SSF_RC_INVALID_FORMAT;
    }

    // Reading the content through the stream computes every digest the SignerInfos name. A digest
    // the crypto library does not know leaves no stream: no signature can then be accepted.
    ossl::Bio stream = read_signed_content(fn, p7.get(), source_bio);

    Verification v;
    v.fn = fn;
    v.p7 = p7.get();
    v.stream = stream.get();
    v.pab_certs = pab_certs.get();
    v.signers = signers.get();
    v.results = results;
    v.set_type(type);
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i)
        v.one_signer(sk_PKCS7_SIGNER_INFO_value(infos, i), i);

    if (!detached) {
        const Bytes content(ASN1_STRING_get0_data(own),
                            static_cast<size_t>(ASN1_STRING_length(own)));
        if (encode_data(out, content) != 0)
            return fail("%s() 13 : encode_data() failed", fn, SSF_RC_MEMORY);
    } else if (!alloc_copy(out, input)) {
        log_error("%s() 15 : OPENSSL_malloc( %d ) failed", fn, static_cast<int>(input.size()));
        return SSF_RC_MEMORY;
    }
    if (v.failed) return SSF_RC_SIGNER_FAILED;
    if (!detached && !input.empty()) return compare_with_input(fn, own, input);
    return SSF_RC_OK;
}

}  // namespace

int set_profile_data(bool enhanced, SigRcpSsfInfo** record_out, PKCS7_SIGNER_INFO* si, X509* cert,
                     int result) {
    static const char* fn = "set_profile_data";
    SigRcpSsfInfo* rec = allocate_record();
    *record_out = rec;
    if (!rec) {
        log_error("%s() 1 : OPENSSL_malloc( %d ) failed", fn,
                  static_cast<int>(sizeof(SigRcpSsfInfo)));
        log_crypto_errors();
        return SSF_RC_RECORD_FAILED;
    }
    const std::string id = record_identity(cert);
    if (!set_field(rec->strSigRcpId, rec->strSigRcpIdL, id.data(), id.size(), false)) {
        log_error("%s() 2 : OPENSSL_malloc( %d ) failed", fn, static_cast<int>(id.size()));
        return SSF_RC_RECORD_FAILED;
    }
    if (cert) {
        unsigned char* der = nullptr;
        int len = i2d_X509(cert, &der);
        if (len <= 0) {
            OPENSSL_free(der);
            log_error("%s() 4 : i2d_X509() failed", fn);
            return SSF_RC_RECORD_FAILED;
        }
        own_password(rec, der, static_cast<size_t>(len));
        rec->strSigRcpPasswordL = static_cast<SAP_UINT>(len);
    }
    std::string profile = signing_time_text(si, enhanced);
    profile += '\0';
    profile += "serialNumber=";
    profile += cert ? serial_hex(cert, " ") : "<Unknown>";
    if (!set_field(rec->strSigRcpProfile, rec->strSigRcpProfileL, profile.data(), profile.size(),
                   true)) {
        log_error("%s() 7 : OPENSSL_malloc( %d ) failed", fn, static_cast<int>(profile.size() + 1));
        return SSF_RC_RECORD_FAILED;
    }
    rec->strSigRcpReserved = nullptr;
    rec->strSigRcpReservedL = 0;
    rec->uResult = static_cast<SAP_UINT>(result);
    return 0;
}

int ssf_verify_data(OutData& out, Bytes input, Bytes signed_data, bool use_certs, Bytes pab, Bytes,
                    SigRcpSsfInfoList* results, int signature_type) {
    static const char* fn = "ssf_verify_data";
    out = OutData{};
    if (!results) return fail("%s() 0 : signerResultList == NULL", fn, SSF_RC_NO_OUTPUT);
    int rc = verify_body(fn, out, input, signed_data, use_certs, pab, results, signature_type);
    log_results(fn, *results, rc);
    return rc;
}

}  // namespace ssf
