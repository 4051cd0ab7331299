#include "ssf/utils.h"

#include <iconv.h>
#include <openssl/objects.h>
#include <openssl/ts.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "cryptoext/ossl.h"
#include "platform/files.h"
#include "platform/winstub.h"
#include "ssf/log.h"
#include "ssf/records.h"

namespace ssf {

namespace {

// Worked out at the first check, which comes after start-up's tzset(), and kept for the process:
// mktime reads the time-zone rules again on every call, writing the C library's shared time-zone
// state (under a lock of its own that ThreadSanitizer cannot see), and CRL, OCSP and time-stamp
// checks run on many threads at once. A zone changed later is not followed.
std::mutex g_cutoff_mutex;
std::optional<time_t> g_cutoff;

}  // namespace

// The daylight-saving flag is left to mktime: copying the present one would put the cut-off an
// hour early whenever the present is in summer time.
time_t gost2001_cutoff_time() {
    std::lock_guard<std::mutex> lock(g_cutoff_mutex);
    if (!g_cutoff) {
        struct tm t {};
        t.tm_year = 2020 - 1900;
        t.tm_mon = 0;
        t.tm_mday = 1;
        t.tm_isdst = -1;
        g_cutoff = mktime(&t);
    }
    return *g_cutoff;
}

void gost2001_cutoff_forget_for_tests() {
    std::lock_guard<std::mutex> lock(g_cutoff_mutex);
    g_cutoff.reset();
}

int gost2001_cutoff_passed() {
    return platform::now() >= gost2001_cutoff_time() ? 1 : 0;
}

namespace {

time_t to_time_t(const ASN1_TIME* t) {
    struct tm tmv {};
    if (!t || !ASN1_TIME_to_tm(t, &tmv)) return 0;
    return timegm(&tmv);
}

std::string asctime_text(time_t value) {
    struct tm tmv {};
    char buf[64] = {};
    if (!localtime_r(&value, &tmv) || !asctime_r(&tmv, buf)) return "?\n";
    return buf;  // ends with a newline, kept in the texts built from it
}

}  // namespace

time_t utctime_to_time_t(const ASN1_UTCTIME* t) {
    return t && ASN1_STRING_type(t) == V_ASN1_UTCTIME ? to_time_t(t) : 0;
}

time_t generalizedtime_to_time_t(const ASN1_GENERALIZEDTIME* t) {
    return t && ASN1_STRING_type(t) == V_ASN1_GENERALIZEDTIME ? to_time_t(t) : 0;
}

time_t asn1_time_to_time_t(const ASN1_TIME* t) {
    if (!t) return 0;
    switch (ASN1_STRING_type(t)) {
        case V_ASN1_UTCTIME:
            return utctime_to_time_t(t);
        case V_ASN1_GENERALIZEDTIME:
            return generalizedtime_to_time_t(t);
        default:
            return 0;
    }
}

std::string asn1_chars(const ASN1_STRING* s) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<size_t>(ASN1_STRING_length(s)));
}

std::optional<std::string> ASN1_GENERALIZEDTIME_to_string(const ASN1_GENERALIZEDTIME* t) {
    if (!t || !ASN1_GENERALIZEDTIME_check(t)) {
        log_error("%s() 1 : ASN1_GENERALIZEDTIME_check() failed", "ASN1_GENERALIZEDTIME_to_string");
        log_crypto_errors();
        return std::nullopt;
    }
    return "ArchiveTimeStampTime= " + asctime_text(generalizedtime_to_time_t(t)) +
           " (UTCTime: " + asn1_chars(t) + ")";
}

std::optional<std::string> get_timestamp_time(PKCS7_SIGNER_INFO* si) {
    static const char* fn = "get_timestamp_time";
    ASN1_TYPE* attr = si ? PKCS7_get_attribute(si, NID_id_smime_aa_timeStampToken) : nullptr;
    if (!attr || attr->type != V_ASN1_SEQUENCE || !attr->value.sequence) {
        log_error("%s() 1 : timeStampToken not found", fn);
        return std::nullopt;
    }
    const unsigned char* p = attr->value.sequence->data;
    ossl::Pkcs7 token(d2i_PKCS7(nullptr, &p, attr->value.sequence->length));
    if (!token) {
        log_error("%s() 2 : d2i_PKCS7() failed", fn);
        log_crypto_errors();
        return std::nullopt;
    }
    ossl::TsTstInfo info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        log_error("%s() 3 : PKCS7_to_TS_TST_INFO() failed", fn);
        log_crypto_errors();
        return std::nullopt;
    }
    const ASN1_GENERALIZEDTIME* gen = TS_TST_INFO_get_time(info.get());
    if (!gen || !ASN1_GENERALIZEDTIME_check(gen)) {
        log_error("%s() 4 : ASN1_GENERALIZEDTIME_check() failed", fn);
        log_crypto_errors();
        return std::nullopt;
    }
    return "TimeStampTime= " + asctime_text(generalizedtime_to_time_t(gen)) +
           " (UTCTime: " + asn1_chars(gen) + ")";
}

namespace {

bool hex_or_space(unsigned char c) {
    return c == ' ' || std::isxdigit(c);
}

// Walks "SN=value, SN=value": every attribute must start with a short name the crypto library
// knows. Returns the place where the walk stopped, or null when it reached the end.
const char* walk_name(const char* text) {
    static const char* fn = "check_sig_rcp_id";
    const char* p = text;
    while (*p) {
        const char* eq = std::strchr(p, '=');
        if (!eq) {
            log_error("%s() 3 : '=' not found in '%s'", fn, p);
            return p;
        }
        const std::string sn(p, eq);
        if (OBJ_sn2nid(sn.c_str()) == NID_undef) {
            log_error("%s() 4 : OBJ_sn2nid( '%s' ) returned NID_undef", fn, sn.c_str());
            return p;
        }
        const char* sep = std::strstr(eq + 1, ", ");
        if (!sep) return nullptr;
        p = sep + 2;
    }
    return nullptr;
}

}  // namespace

int check_sig_rcp_id(const SigRcpSsfInfo* rec) {
    static const char* fn = "check_sig_rcp_id";
    const SAP_BYTE* id = rec ? rec->strSigRcpId : nullptr;
    const size_t len = id && static_cast<int32_t>(rec->strSigRcpIdL) > 0 ? rec->strSigRcpIdL : 0;
    const unsigned char* bad = nullptr;
    for (size_t i = 0; i < len && !bad; ++i)
        if (!hex_or_space(id[i])) bad = id + i;
    if (!bad) {
        log_write("%s() : SHA1 ID is good", fn);
        return 1;
    }
    ossl::Text text(get_sz_string_from_sap_string(id, static_cast<SAP_UINT>(len)));
    if (!text) {
        log_error("%s() 2 : get_sz_string_from_sap_string() failed", fn);
        return -1;
    }
    log_write("%s() 0: bad symbol '%c' found in '%s'", "is_str_hex", *bad, text.get());
    for (size_t i = 0; i < len; ++i) {
        if (id[i] < 32) {
            log_error("%s() 1: bad symbol '%c' found in '%s'", fn, id[i], text.get());
            return -1;
        }
    }
    if (const char* rest = walk_name(text.get())) {
        log_error("%s() 5 : non-interpreted remainder: '%s'", fn, rest);
        return -1;
    }
    return 1;
}

int compare_sha1id_and_rcpid(X509* cert, const char* rcp_id) {
    static const char* fn = "compare_sha1id_and_rcpid";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!cert || !X509_digest(cert, EVP_sha1(), md, &n)) {
        log_crypto_errors();
        return 1;
    }
    static const char digits[] = "0123456789abcdef";
    std::string spaced, plain;
    for (unsigned i = 0; i < n; ++i) {
        const char pair[2] = {digits[md[i] >> 4], digits[md[i] & 15]};
        if (i) spaced += ' ';
        spaced.append(pair, 2);
        plain.append(pair, 2);
    }
    const char* id = rcp_id ? rcp_id : "";
    log_write("%s() : sha1 = '%s'", fn, spaced.c_str());
    log_debug("%s() : sha1 = '%s', rcp_id = '%s'", fn, spaced.c_str(), id);
    log_debug("%s() : sha1_2 = '%s', rcp_id = '%s'", fn, plain.c_str(), id);
    return (spaced == id || plain == id) ? 0 : 1;
}

int iconv_convert(const char* from, const char* to, const char* input, int length, char* output) {
    if (!input || length < 1) return -1;
    const size_t room = static_cast<size_t>(length) * 3;
    std::unique_ptr<char[]> in_buf(new (std::nothrow) char[room]);
    if (!in_buf) return -2;
    std::unique_ptr<char[]> out_buf(new (std::nothrow) char[room]);
    if (!out_buf) return -3;
    std::memcpy(in_buf.get(), input, static_cast<size_t>(length));
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::perror("iconv_open ERROR: ");
        return -4;
    }
    char* in_p = in_buf.get();
    size_t in_left = static_cast<size_t>(length);
    char* out_p = out_buf.get();
    const size_t out_room = std::min(room, kIconvMaxOutput);
    size_t out_left = out_room;
    if (iconv(cd, &in_p, &in_left, &out_p, &out_left) == static_cast<size_t>(-1)) {
        std::perror("iconv ERROR: ");
        iconv_close(cd);
        return -5;
    }
    if (iconv_close(cd) != 0) {
        std::perror("iconv_close ERROR: ");
        return -6;
    }
    const size_t produced = out_room - out_left;
    if (output) std::memcpy(output, out_buf.get(), produced);
    return static_cast<int>(produced);
}

const EVP_MD* get_gost94_digest() {
    const int nid = OBJ_txt2nid("1.2.643.2.2.9");
    return nid == NID_undef ? nullptr : EVP_get_digestbyname(OBJ_nid2sn(nid));
}

int ssf_signature_verify(BIO* data, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* cert) {
    // A signature value longer than the key can make, or empty, never reaches the key's verifier.
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
    const int len = si && si->enc_digest ? ASN1_STRING_length(si->enc_digest) : 0;
    if (!key || len <= 0 || len > EVP_PKEY_get_size(key)) return 0;
    return PKCS7_signatureVerify(data, p7, si, cert);
}

ossl::Bio read_signed_content(const char* fn, PKCS7* p7, ossl::Bio& detached) {
    ossl::Bio stream(PKCS7_dataInit(p7, detached.get()));
    if (!stream) {
        log_error("%s() 6.1 : PKCS7_dataInit() failed", fn);
        log_crypto_errors();
        return nullptr;
    }
    (void)detached.release();  // part of the stream's chain now
    char buf[4096];
    while (BIO_read(stream.get(), buf, sizeof buf) > 0) {
    }
    return stream;
}

void* load_library(const char* path) {
    return path ? platform::load_library(path) : nullptr;
}

void* get_proc_address(void* module, const char* name) {
    return module && name ? platform::get_proc_address(module, name) : nullptr;
}

ossl::Bio open_file_bio(const char* path) {
    if (!path) return nullptr;
    platform::RegularFile file(path);
    if (!file) {
        errno = file.error();
        return nullptr;
    }
    ossl::Bio bio(BIO_new(BIO_s_fd()));
    if (bio) BIO_set_fd(bio.get(), file.release(), BIO_CLOSE);
    return bio;
}

}  // namespace ssf
