#include "ssf/cades/archive_ts.h"

#include <openssl/err.h>
#include <openssl/ts.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "ssf/cades/cades_oids.h"
#include "ssf/cades/cades_types.h"
#include "ssf/cades/ts_check.h"
#include "ssf/codes.h"
#include "ssf/log.h"

namespace ssf {

namespace {

constexpr int kReadChunk = 1024;

int archive_nid() {
    if (g_nNID_id_smime_aa_ets_ArchTsV2 != NID_undef) return g_nNID_id_smime_aa_ets_ArchTsV2;
    return OBJ_txt2nid(kArchiveTimestampV2Oid);
}

// The fraction digits of a genTime: what follows the decimal point.
std::string_view fraction_of(const ASN1_GENERALIZEDTIME* t) {
    std::string_view s(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                       static_cast<size_t>(ASN1_STRING_length(t)));
    const size_t dot = s.find('.');
    if (dot == std::string_view::npos) return {};
    s.remove_prefix(dot + 1);
    return s.substr(0, s.find_first_not_of("0123456789"));
}

// Archive stamps are ordered by the moment their genTime names: the second, then the fraction
// digit by digit (a missing digit counts as 0), so "...00Z" comes before "...00.5Z" and ".5"
// before ".55", which the texts compared byte by byte would not give. None for a genTime that
// names no moment.
std::optional<int> compare_times(const ASN1_GENERALIZEDTIME* a, const ASN1_GENERALIZEDTIME* b) {
    int days = 0, secs = 0;
    if (!a || !b || ASN1_TIME_diff(&days, &secs, b, a) != 1) return std::nullopt;
    if (days != 0 || secs != 0) return days != 0 ? days : secs;
    const std::string_view fa = fraction_of(a), fb = fraction_of(b);
    for (size_t i = 0; i < std::max(fa.size(), fb.size()); ++i) {
        const char da = i < fa.size() ? fa[i] : '0', db = i < fb.size() ? fb[i] : '0';
        if (da != db) return da - db;
    }
    return 0;
}

// The token of an archive attribute, or none.
ossl::Pkcs7 token_of(X509_ATTRIBUTE* attr) {
    const ASN1_TYPE* t = X509_ATTRIBUTE_get0_type(attr, 0);
    if (!t || t->type != V_ASN1_SEQUENCE || !t->value.sequence) return nullptr;
    return ossl::Pkcs7(decode_value(t->value.sequence, d2i_PKCS7));
}

int archive_data(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si, std::string* out) {
    static const char* const kFn = "get_arch_timestamp_tbs";
    if (!p7 || !si || !out) {
        log_error("%s() 0 : p7 or si or dat or dat_len is NULL", kFn);
        return SSF_RC_NO_OUTPUT;
    }
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign || !p7->d.sign->contents) {
        log_error("%s() 1 : it is not signed data", kFn);
        return SSF_RC_NO_OUTPUT;
    }
    std::string buf = der_of(p7->d.sign->contents, i2d_PKCS7);
    if (buf.empty()) {
        log_error("%s() 2 : i2d_PKCS7() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NO_OUTPUT;
    }
    log_write("%s() : added encapContentInfo, length = %d", kFn, static_cast<int>(buf.size()));
    if (PKCS7_get_detached(p7)) {
        if (!data || BIO_reset(data) < 0) {
            log_error("%s() 3 : add_buf( nRead = %d ) failed, nTotalRead = %d", kFn, -1, 0);
            return SSF_RC_NO_OUTPUT;
        }
        char chunk[kReadChunk];
        int total = 0;
        for (int n; (n = BIO_read(data, chunk, sizeof chunk)) > 0; total += n)
            buf.append(chunk, static_cast<size_t>(n));
        log_write("%s() : added initial data, nTotalRead = %d", kFn, total);
    }
    // The certificates and the CRLs, each as one SEQUENCE OF when the signed data has them.
    const struct {
        const void* stack;
        const ASN1_ITEM* item;
        const char *failed, *added;
    } lists[] = {
        {p7->d.sign->cert, ASN1_ITEM_rptr(CERT_VALUES), "%s() 4 : ASN1_seq_pack_X509() failed",
         "%s() : added included certificates, length = %d"},
        {p7->d.sign->crl, ASN1_ITEM_rptr(CRL_VALUES), "%s() 6 : ASN1_seq_pack_X509_CRL() failed",
         "%s() : added included CRLs, length = %d"},
    };
    for (const auto& l : lists) {
        if (!l.stack) continue;
        const std::string der = seq_pack_der(l.stack, l.item);
        if (der.empty()) {
            log_error(l.failed, kFn);
            log_crypto_errors();
            return SSF_RC_NO_OUTPUT;
        }
        buf += der;
        log_write(l.added, kFn, static_cast<int>(der.size()));
    }
    const std::string si_der = der_of(si, i2d_PKCS7_SIGNER_INFO);
    if (si_der.empty()) {
        log_error("%s() 8 : i2d_PKCS7_SIGNER_INFO() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NO_OUTPUT;
    }
    *out = std::move(buf) + si_der;
    return 0;
}

int verify_one(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si, PKCS7* token,
               STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "VerifyArchiveTimestamp";
    if (!si || !token) {
        log_error("%s() 1 : si or stamp is NULL", kFn);
        return SSF_RESULT_INITIAL;
    }
    const std::string si_der = der_of(si, i2d_PKCS7_SIGNER_INFO);
    if (si_der.empty()) {
        log_error("%s() 2 : i2d_PKCS7_SIGNER_INFO() failed", kFn);
        return SSF_RESULT_INITIAL;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(si_der.data());
    ossl::Pkcs7SignerInfo copy(
        d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(si_der.size())));
    if (!copy) {
        log_error("%s() 3 : d2i_PKCS7_SIGNER_INFO() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_INITIAL;
    }
    ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token));
    if (!tst) {
        log_error("%s() 4 : PKCS7_to_TS_TST_INFO() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_INITIAL;
    }
    // The SignerInfo as it stood when this token was made: without it and every newer one.
    const ASN1_GENERALIZEDTIME* own_time = TS_TST_INFO_get_time(tst.get());
    const int nid = archive_nid();
    STACK_OF(X509_ATTRIBUTE)* attrs = copy->unauth_attr;
    for (int i = sk_X509_ATTRIBUTE_num(attrs) - 1; i >= 0; --i) {
        X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(attrs, i);
        if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(a)) != nid) continue;
        ossl::Pkcs7 other = token_of(a);
        if (!other) {
            log_error("%s() 5 : d2i_PKCS7() failed", kFn);
            log_crypto_errors();
            return SSF_RESULT_INITIAL;
        }
        ossl::TsTstInfo other_tst(PKCS7_to_TS_TST_INFO(other.get()));
        if (!other_tst) {
            log_error("%s() 6 : PKCS7_to_TS_TST_INFO() failed", kFn);
            log_crypto_errors();
            return SSF_RESULT_INITIAL;
        }
        const std::optional<int> order =
            compare_times(TS_TST_INFO_get_time(other_tst.get()), own_time);
        if (!order) {
            log_error("%s() 6.1 : genTime of an archive timestamp is not a time", kFn);
            return SSF_RESULT_INITIAL;
        }
        if (*order >= 0) ossl::Attribute gone(sk_X509_ATTRIBUTE_delete(attrs, i));
    }
    const std::string token_der = der_of(token, i2d_PKCS7);
    ossl::Asn1String token_string(ASN1_STRING_new());
    if (token_der.empty() || !token_string ||
        !ASN1_STRING_set(token_string.get(), token_der.data(),
                         static_cast<int>(token_der.size()))) {
        log_error("%s() 8 : i2d_PKCS7() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    ossl::X509StorePtr store(X509_STORE_new());
    if (!store) {
        log_error("%s() 10 : X509_STORE_new() failed", kFn);
        return SSF_RC_MEMORY;
    }
    std::string tbs;
    if (get_arch_timestamp_tbs(p7, data, copy.get(), &tbs) != 0) {
        log_error("%s() 11 : get_arch_timestamp_tbs() failed", kFn);
        return SSF_RC_MEMORY;
    }
    ossl::Asn1String tbs_string(ASN1_STRING_new());
    if (!tbs_string ||
        !ASN1_STRING_set(tbs_string.get(), tbs.data(), static_cast<int>(tbs.size()))) {
        log_error("%s() 13 : ASN1_STRING_set() failed", kFn);
        return SSF_RC_MEMORY;
    }
    const int rc = ssf_verify_TS(token_string.get(), tbs_string.get(), store.get(),
                                 kArchiveTimestamp, nullptr, pab_certs, when);
    if (rc != 0) log_error("%s() 14 : ssf_verify_TS() failed, returned %d", kFn, rc);
    return rc;
}

}  // namespace

int get_arch_timestamp_tbs(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si, std::string* out) {
    static const char* const kFn = "get_arch_timestamp_tbs";
    log_debug("%s() begin, p7 = 0x%lx, si = 0x%lx, dat = 0x%lx, dat_len = 0x%lx", kFn, ptr_bits(p7),
              ptr_bits(si), ptr_bits(out), ptr_bits(out));
    const int rc = archive_data(p7, data, si, out);
    if (rc != 0 && out) out->clear();
    log_debug("%s() end, ret = %d", kFn, rc);
    return rc;
}

int AddArchiveTsToStack(STACK_OF(PKCS7) * stack, PKCS7* token) {
    static const char* const kFn = "AddArchiveTsToStack";
    log_debug("%s() begin, stack = 0x%lx, p7 = 0x%lx", kFn, ptr_bits(stack), ptr_bits(token));
    const int rc = [&] {
        if (!stack || !token) {
            log_error("%s() 1 : stack or p7 is NULL", kFn);
            return -1;
        }
        ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token));
        if (!tst) {
            log_error("%s() 2 : PKCS7_to_TS_TST_INFO() failed", kFn);
            return -1;
        }
        const ASN1_GENERALIZEDTIME* own = TS_TST_INFO_get_time(tst.get());
        if (!compare_times(own, own)) {
            log_error("%s() 2.1 : genTime of the timestamp is not a time", kFn);
            return -1;
        }
        int at = sk_PKCS7_num(stack);
        for (int i = 0; i < sk_PKCS7_num(stack); ++i) {
            ossl::TsTstInfo listed(PKCS7_to_TS_TST_INFO(sk_PKCS7_value(stack, i)));
            if (!listed) {
                log_error("%s() 3 : PKCS7_to_TS_TST_INFO() failed for stamp #%d", kFn, i);
                return -1;
            }
            // Listed stamps were checked when they went in.
            if (compare_times(TS_TST_INFO_get_time(listed.get()), own).value_or(0) >= 0) {
                at = i;
                break;
            }
        }
        return sk_PKCS7_insert(stack, token, at) > 0 ? 0 : -1;
    }();
    log_debug("%s() end, return %d", kFn, rc);
    return rc;
}

ossl::Pkcs7Stack get_arch_timestamps(PKCS7_SIGNER_INFO* si) {
    static const char* const kFn = "get_arch_timestamps";
    log_debug("%s() begin, si = 0x%lx", kFn, ptr_bits(si));
    ossl::Pkcs7Stack list = [&]() -> ossl::Pkcs7Stack {
        if (!si) {
            log_error("%s() 0 : si is NULL", kFn);
            return nullptr;
        }
        ossl::Pkcs7Stack out(sk_PKCS7_new_null());
        if (!out) {
            log_error("%s() 1 : sk_PKCS7_new_null() failed", kFn);
            return nullptr;
        }
        const int nid = archive_nid();
        for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
            X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
            if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(a)) != nid) continue;
            ossl::Pkcs7 token = token_of(a);
            if (!token) {
                log_error("%s() 2 : d2i_PKCS7() failed", kFn);
                log_crypto_errors();
                return nullptr;
            }
            ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token.get()));
            if (!tst) {
                log_error("%s() 3 : PKCS7_to_TS_TST_INFO() failed, bad timestamp", kFn);
                log_crypto_errors();
                return nullptr;
            }
            if (AddArchiveTsToStack(out.get(), token.get()) != 0) {
                log_error("%s() 4 : AddArchiveTsToStack() failed", kFn);
                return nullptr;
            }
            (void)token.release();
        }
        return out;
    }();
    log_debug("%s() end, return 0x%lx", kFn, ptr_bits(list.get()));
    return list;
}

int VerifyArchiveTimestamp(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si, PKCS7* token,
                           STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "VerifyArchiveTimestamp";
    log_debug("%s() begin, orig_si = 0x%lx, stamp = 0x%lx", kFn, ptr_bits(si), ptr_bits(token));
    const int rc = verify_one(p7, data, si, token, pab_certs, when);
    log_debug("%s() end, ret = %d", kFn, rc);
    return rc;
}

int VerifyAllArchiveTimestamps(PKCS7* p7, BIO* data, PKCS7_SIGNER_INFO* si,
                               STACK_OF(X509) * pab_certs, ossl::Asn1Time* oldest_time) {
    static const char* const kFn = "VerifyAllArchiveTimestamps";
    if (oldest_time) oldest_time->reset();
    ossl::Pkcs7Stack stamps = get_arch_timestamps(si);
    if (!stamps) {
        log_error("%s() 1 : get_arch_timestamps() failed", kFn);
        return SSF_RESULT_INITIAL;
    }
    ossl::Asn1Time newer;  // genTime of the stamp verified last; none for the newest
    for (int i = sk_PKCS7_num(stamps.get()) - 1; i >= 0; --i) {
        PKCS7* token = sk_PKCS7_value(stamps.get(), i);
        if (int rc = VerifyArchiveTimestamp(p7, data, si, token, pab_certs, newer.get()); rc != 0) {
            log_error("%s() 2 : VerifyArchiveTimestamp() for timestamp #%d failed", kFn, i);
            return rc;
        }
        ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token));
        newer.reset(tst ? ASN1_STRING_dup(TS_TST_INFO_get_time(tst.get())) : nullptr);
        if (!newer) return SSF_RC_MEMORY;
    }
    if (oldest_time) *oldest_time = std::move(newer);
    return 0;
}

}  // namespace ssf
