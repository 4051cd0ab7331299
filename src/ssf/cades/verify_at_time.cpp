#include "ssf/cades/verify_at_time.h"

#include <openssl/err.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/winstub.h"

namespace ssf {

namespace {

// What the look-up of a per-call store reads: the caller's store, through a context of its own
// (the caller's look-ups run from it), and the call's own certificates. borrowed: the slots of
// the call's store that hold the caller's data.
struct CallerStore {
    ossl::X509StorePtr base;
    ossl::X509StoreCtx ctx;
    ossl::X509Stack extra;
    std::vector<int> borrowed;
};

CallerStore* caller_of(const X509_LOOKUP* lu) {
    return static_cast<CallerStore*>(X509_LOOKUP_get_method_data(lu));
}

// The store frees its look-ups before its ex_data, so the caller's data is taken off here, before
// the data's free callbacks could see it.
void free_caller(X509_LOOKUP* lu) {
    CallerStore* caller = caller_of(lu);
    X509_STORE* own = X509_LOOKUP_get_store(lu);
    if (caller && own)
        for (int i : caller->borrowed) (void)X509_STORE_set_ex_data(own, i, nullptr);
    delete caller;
    X509_LOOKUP_set_method_data(lu, nullptr);
}

// Copies every certificate (or CRL) of that subject from the caller's store and from the call's
// own certificates into the call's store, and answers with the call's store's own object, borrowed
// as the crypto library's look-ups answer.
int by_subject(X509_LOOKUP* lu, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* ret) {
    CallerStore* caller = caller_of(lu);
    X509_STORE* own = X509_LOOKUP_get_store(lu);
    if (!caller || !own || !name || !ret || (type != X509_LU_X509 && type != X509_LU_CRL)) return 0;
    // A subject the caller's store does not know is no error of the verification.
    ERR_set_mark();
    if (type == X509_LU_X509) {
        ossl::X509Stack found(X509_STORE_CTX_get1_certs(caller->ctx.get(), name));
        for (int i = 0; i < sk_X509_num(found.get()); ++i)
            (void)X509_STORE_add_cert(own, sk_X509_value(found.get(), i));
        for (int i = 0; i < sk_X509_num(caller->extra.get()); ++i) {
            X509* c = sk_X509_value(caller->extra.get(), i);
            if (X509_NAME_cmp(X509_get_subject_name(c), name) == 0)
                (void)X509_STORE_add_cert(own, c);
        }
    } else {
        ossl::CrlStack found(X509_STORE_CTX_get1_crls(caller->ctx.get(), name));
        for (int i = 0; i < sk_X509_CRL_num(found.get()); ++i)
            (void)X509_STORE_add_crl(own, sk_X509_CRL_value(found.get(), i));
    }
    ERR_pop_to_mark();
    X509_OBJECT* held = X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(own), type, name);
    if (!held) return 0;
    if (type == X509_LU_X509) {
        X509* c = X509_OBJECT_get0_X509(held);
        if (X509_OBJECT_set1_X509(ret, c) != 1) return 0;
        X509_free(c);
    } else {
        X509_CRL* crl = X509_OBJECT_get0_X509_CRL(held);
        if (X509_OBJECT_set1_X509_CRL(ret, crl) != 1) return 0;
        X509_CRL_free(crl);
    }
    return 1;
}

// OpenSSL 3.0 words a responder chain that fails "Verify error: <text>"; the trace log has it as
// the time-stamp verifier still words it, "Verify error:<text>". The queue is taken off and put
// back in order with that one entry reworded; every text is copied out first, since putting an
// entry back may reuse the slot another one was read from.
void reword_ocsp_verify_error() {
    static constexpr std::string_view kSpaced = "Verify error: ";
    const char* data = nullptr;
    int flags = 0;
    const unsigned long last = ERR_peek_last_error_all(nullptr, nullptr, nullptr, &data, &flags);
    if (ERR_GET_LIB(last) != ERR_LIB_OCSP ||
        ERR_GET_REASON(last) != OCSP_R_CERTIFICATE_VERIFY_ERROR || !(flags & ERR_TXT_STRING) ||
        !data || !std::string_view(data).starts_with(kSpaced))
        return;
    struct Entry {
        unsigned long code;
        std::string file, func;
        int line;
        std::optional<std::string> data;
    };
    std::vector<Entry> queue;
    const char *file = nullptr, *func = nullptr;
    int line = 0;
    for (unsigned long e; (e = ERR_get_error_all(&file, &line, &func, &data, &flags)) != 0;)
        queue.push_back(
            {e, file ? file : "", func ? func : "", line,
             (flags & ERR_TXT_STRING) && data ? std::optional<std::string>(data) : std::nullopt});
    queue.back().data->erase(kSpaced.size() - 1, 1);
    for (const Entry& q : queue) {
        ERR_new();
        ERR_set_debug(q.file.c_str(), q.line, q.func.c_str());
        if (q.data)
            ERR_set_error(ERR_GET_LIB(q.code), ERR_GET_REASON(q.code), "%s", q.data->c_str());
        else
            ERR_set_error(ERR_GET_LIB(q.code), ERR_GET_REASON(q.code), nullptr);
    }
}

// Marks the stores made here, so that a verifier handed a call's own store at its own moment uses
// that store as it is instead of putting a second one around it.
int call_store_index() {
    static const int index = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}
char g_call_store_mark;

// A host's look-ups and callbacks are handed the call's store and may read their data from it, so
// the call's store shows the caller's data: the same pointers, borrowed, not copied (no dup
// callback runs, and free_caller takes them off before the free callbacks could see them). They
// live as long as the caller's store, which the call's holds. The ex_data is opaque, so the slots
// are read one by one up to a bound far above the handful of indexes a process allocates; a slot
// past it stays empty, as on a store the host never set up. A slot the host's new-callback filled
// on the call's store is left as it is.
constexpr int kExDataSlots = 256;
bool borrow_ex_data(X509_STORE* base, X509_STORE* own, CallerStore& caller) {
    for (int i = 0; i < kExDataSlots; ++i) {
        void* data = X509_STORE_get_ex_data(base, i);
        if (!data || i == call_store_index() || X509_STORE_get_ex_data(own, i)) continue;
        if (X509_STORE_set_ex_data(own, i, data) != 1) return false;
        caller.borrowed.push_back(i);
    }
    return true;
}

X509_LOOKUP_METHOD* caller_store_lookup() {
    static const ossl::LookupMethod method = [] {
        ossl::LookupMethod m(X509_LOOKUP_meth_new("the caller's store"));
        if (m && (X509_LOOKUP_meth_set_get_by_subject(m.get(), by_subject) != 1 ||
                  X509_LOOKUP_meth_set_free(m.get(), free_caller) != 1))
            m.reset();
        return m;
    }();
    return method.get();
}

}  // namespace

ossl::X509StorePtr store_at_time(X509_STORE* base, time_t when, STACK_OF(X509) * extra) {
    X509_LOOKUP_METHOD* method = caller_store_lookup();
    if (!base || !method || call_store_index() < 0) return nullptr;
    const time_t at = when == -1 ? platform::now() : when;
    if (sk_X509_num(extra) <= 0 && X509_STORE_get_ex_data(base, call_store_index()) &&
        X509_VERIFY_PARAM_get_time(X509_STORE_get0_param(base)) == at) {
        if (X509_STORE_up_ref(base) != 1) return nullptr;
        return ossl::X509StorePtr(base);
    }
    ossl::X509StorePtr own(X509_STORE_new());
    if (!own || X509_STORE_set_ex_data(own.get(), call_store_index(), &g_call_store_mark) != 1)
        return nullptr;
    X509_VERIFY_PARAM* param = X509_STORE_get0_param(own.get());
    if (X509_VERIFY_PARAM_set1(param, X509_STORE_get0_param(base)) != 1) return nullptr;
    X509_VERIFY_PARAM_set_time(param, at);
    // The caller's own checks stay: dropping a revocation callback would weaken the verification.
    X509_STORE_set_verify_cb(own.get(), X509_STORE_get_verify_cb(base));
    X509_STORE_set_verify(own.get(), X509_STORE_get_verify(base));
    X509_STORE_set_check_issued(own.get(), X509_STORE_get_check_issued(base));
    X509_STORE_set_check_revocation(own.get(), X509_STORE_get_check_revocation(base));
    X509_STORE_set_get_crl(own.get(), X509_STORE_get_get_crl(base));
    X509_STORE_set_check_crl(own.get(), X509_STORE_get_check_crl(base));
    X509_STORE_set_cert_crl(own.get(), X509_STORE_get_cert_crl(base));
    X509_STORE_set_check_policy(own.get(), X509_STORE_get_check_policy(base));
    // Its look-ups too: what the caller's store refuses to trust stays refused. Their default
    // search, asked on the call's store, reaches the caller's through by_subject.
    X509_STORE_set_get_issuer(own.get(), X509_STORE_get_get_issuer(base));
    X509_STORE_set_lookup_certs(own.get(), X509_STORE_get_lookup_certs(base));
    X509_STORE_set_lookup_crls(own.get(), X509_STORE_get_lookup_crls(base));
    X509_STORE_set_cleanup(own.get(), X509_STORE_get_cleanup(base));

    auto caller = std::make_unique<CallerStore>();
    if (X509_STORE_up_ref(base) != 1) return nullptr;
    caller->base.reset(base);
    caller->ctx.reset(X509_STORE_CTX_new());
    if (!caller->ctx || X509_STORE_CTX_init(caller->ctx.get(), base, nullptr, nullptr) != 1)
        return nullptr;
    if (sk_X509_num(extra) > 0) {
        caller->extra.reset(X509_chain_up_ref(extra));
        if (!caller->extra) return nullptr;
    }
    X509_LOOKUP* lu = X509_STORE_add_lookup(own.get(), method);
    if (!lu || X509_LOOKUP_set_method_data(lu, caller.get()) != 1) return nullptr;
    // The look-up's now, freed with the store; only then is anything borrowed, so that whatever
    // fails below still gives the caller's data back.
    CallerStore& held = *caller.release();
    if (!borrow_ex_data(base, own.get(), held)) return nullptr;
    return own;
}

int SSF_TS_RESP_verify_token(time_t when, TS_VERIFY_CTX* ctx, X509_STORE* store, PKCS7* token) {
    if (!ctx || !token || (!store && (TS_VERIFY_CTX_add_flags(ctx, 0) & TS_VFY_SIGNATURE))) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    ossl::X509StorePtr lent;
    if (store && !(lent = store_at_time(store, when))) {
        ERR_raise(ERR_LIB_TS, ERR_R_MALLOC_FAILURE);
        return 0;
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
    ossl::X509StorePtr at = store_at_time(store, when);
    if (!at) {
        ERR_raise(ERR_LIB_TS, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    X509* found = nullptr;
    const int rc = TS_RESP_verify_signature(token, certs, at.get(), &found);
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
    ossl::X509StorePtr at = store_at_time(store, when ? *when : -1);
    if (!at) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_MALLOC_FAILURE);
        return -1;
    }
    const int rc = OCSP_basic_verify(bs, certs, at.get(), flags);
    if (rc <= 0) reword_ocsp_verify_error();
    return rc;
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
