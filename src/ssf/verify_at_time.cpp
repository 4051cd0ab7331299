#include "ssf/verify_at_time.h"

#include <openssl/err.h>

#include <array>
#include <string>

#include "platform/winstub.h"

namespace ssf {

StoreTimeGuard::StoreTimeGuard(X509_STORE* store, time_t when)
    : param_(store ? X509_STORE_get0_param(store) : nullptr),
      had_time_(param_ && (X509_VERIFY_PARAM_get_flags(param_) & X509_V_FLAG_USE_CHECK_TIME)),
      old_time_(had_time_ ? X509_VERIFY_PARAM_get_time(param_) : 0) {
    if (param_) X509_VERIFY_PARAM_set_time(param_, when == -1 ? platform::now() : when);
}

StoreTimeGuard::~StoreTimeGuard() {
    if (!param_) return;
    if (had_time_)
        X509_VERIFY_PARAM_set_time(param_, old_time_);
    else
        X509_VERIFY_PARAM_clear_flags(param_, X509_V_FLAG_USE_CHECK_TIME);
}

int SSF_TS_RESP_verify_token(time_t when, TS_VERIFY_CTX* ctx, X509_STORE* store, PKCS7* token) {
    if (!ctx || !token || (!store && (TS_VERIFY_CTX_add_flags(ctx, 0) & TS_VFY_SIGNATURE))) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    StoreTimeGuard at(store, when);
    ossl::X509StorePtr lent;
    if (store) {
        lent.reset(store);
        X509_STORE_up_ref(store);
    }
    TS_VERIFY_CTX_set_store(ctx, lent.get());
    const int rc = TS_RESP_verify_token(ctx, token);
    TS_VERIFY_CTX_set_store(ctx, nullptr);
    return rc == 1 ? 1 : 0;
}

int SSF_TS_RESP_verify_signature(time_t when, PKCS7* token, STACK_OF(X509) * certs,
                                 X509_STORE* store, X509** signer) {
    if (signer) *signer = nullptr;
    if (!token || !store) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    StoreTimeGuard at(store, when);
    X509* found = nullptr;
    const int rc = TS_RESP_verify_signature(token, certs, store, &found);
    ossl::X509Ptr owned(found);
    if (rc != 1) return 0;
    if (signer) *signer = owned.release();
    return 1;
}

namespace {

std::string joined_texts(const STACK_OF(ASN1_UTF8STRING) * texts) {
    std::string out;
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        const ASN1_UTF8STRING* t = sk_ASN1_UTF8STRING_value(texts, i);
        if (i) out += '/';
        out.append(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                   static_cast<size_t>(ASN1_STRING_length(t)));
    }
    return out;
}

std::string failure_names(const ASN1_BIT_STRING* info) {
    struct Bit {
        int bit;
        const char* name;
    };
    static constexpr std::array<Bit, 8> kBits{
        {{TS_INFO_BAD_ALG, "badAlg"},
         {TS_INFO_BAD_REQUEST, "badRequest"},
         {TS_INFO_BAD_DATA_FORMAT, "badDataFormat"},
         {TS_INFO_TIME_NOT_AVAILABLE, "timeNotAvailable"},
         {TS_INFO_UNACCEPTED_POLICY, "unacceptedPolicy"},
         {TS_INFO_UNACCEPTED_EXTENSION, "unacceptedExtension"},
         {TS_INFO_ADD_INFO_NOT_AVAILABLE, "addInfoNotAvailable"},
         {TS_INFO_SYSTEM_FAILURE, "systemFailure"}}};
    std::string out;
    for (const Bit& b : kBits) {
        if (!info || !ASN1_BIT_STRING_get_bit(info, b.bit)) continue;
        if (!out.empty()) out += ',';
        out += b.name;
    }
    return out.empty() ? "unspecified" : out;
}

const char* status_name(long status) {
    static constexpr std::array<const char*, 6> kNames{
        "granted", "grantedWithMods",   "rejection",
        "waiting", "revocationWarning", "revocationNotification"};
    return status >= 0 && status < static_cast<long>(kNames.size()) ? kNames[status]
                                                                    : "unknown code";
}

}  // namespace

int SSF_TS_check_status_info(TS_RESP* response) {
    const TS_STATUS_INFO* info = response ? TS_RESP_get_status_info(response) : nullptr;
    const ASN1_INTEGER* status = info ? TS_STATUS_INFO_get0_status(info) : nullptr;
    if (!status) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    const long code = ASN1_INTEGER_get(status);
    if (code == TS_STATUS_GRANTED || code == TS_STATUS_GRANTED_WITH_MODS) return 1;
    const std::string texts = joined_texts(TS_STATUS_INFO_get0_text(info));
    const std::string failures = failure_names(TS_STATUS_INFO_get0_failure_info(info));
    ERR_raise_data(ERR_LIB_TS, TS_R_NO_TIME_STAMP_TOKEN,
                   "status code: %s, status text: %s, failure codes: %s", status_name(code),
                   texts.empty() ? "unspecified" : texts.c_str(), failures.c_str());
    return 0;
}

int OCSP_basic_verify_time(const time_t* when, OCSP_BASICRESP* bs, STACK_OF(X509) * certs,
                           X509_STORE* store, unsigned long flags) {
    if (!bs || !store) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_PASSED_NULL_PARAMETER);
        return -1;
    }
    StoreTimeGuard at(store, when ? *when : -1);
    return OCSP_basic_verify(bs, certs, store, flags);
}

int OCSP_BASICRESP_digest(const OCSP_BASICRESP* bs, const EVP_MD* md, unsigned char* out,
                          unsigned int* out_len) {
    if (!bs || !md || !out || !out_len) return 0;
    return ASN1_item_digest(ASN1_ITEM_rptr(OCSP_BASICRESP), md, const_cast<OCSP_BASICRESP*>(bs),
                            out, out_len) == 1
               ? 1
               : 0;
}

}  // namespace ssf
