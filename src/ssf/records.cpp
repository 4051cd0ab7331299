// What the record and list exports do (the exports themselves, with their lock and start-up, are
// at the top); the workers build their result lists with the same functions.
#include "ssf/records.h"

#include <cstring>
#include <type_traits>

#include "ssf/frame.h"
#include "ssf/log.h"

namespace ssf {

namespace {

// A record as the library makes it: the size of the password field's copy is kept beside the
// fields, which the host may write.
struct OwnedRecord {
    SigRcpSsfInfo info;  // first: the host's pointer to it points to the whole
    const SAP_BYTE* password = nullptr;
    size_t password_size = 0;
};
static_assert(std::is_standard_layout_v<OwnedRecord>);

OwnedRecord& owned(SigRcpSsfInfo* rec) {
    return *reinterpret_cast<OwnedRecord*>(rec);
}

}  // namespace

char* get_sz_string_from_sap_string(const SAP_BYTE* str, SAP_UINT len) {
    static const char* fn = "get_sz_string_from_sap_string";
    if (!str) {
        log_error("%s() 1 : Error: str = %#X", fn, 0u);
        return nullptr;
    }
    // Computed in size_t: len + 1 never wraps to a zero-byte allocation.
    const size_t n = sap_empty(len) ? 0 : static_cast<size_t>(len);
    auto* copy = static_cast<char*>(OPENSSL_malloc(n + 1));
    if (!copy) {
        log_error("%s() 2 : OPENSSL_malloc( %zu ) failed", fn, n + 1);
        log_crypto_errors();
        return nullptr;
    }
    if (n) std::memcpy(copy, str, n);
    copy[n] = '\0';
    return copy;
}

SigRcpSsfInfo* allocate_record() {
    auto* o = static_cast<OwnedRecord*>(OPENSSL_zalloc(sizeof(OwnedRecord)));
    return o ? &o->info : nullptr;
}

void own_password(SigRcpSsfInfo* rec, SAP_BYTE* copy, size_t size) {
    OwnedRecord& o = owned(rec);
    rec->strSigRcpPassword = copy;
    o.password = copy;
    o.password_size = size;
}

void set_list_results(SigRcpSsfInfoList list, SAP_UINT result) {
    for (auto* node = list; node; node = node->next)
        if (node->ptrSigRcp) node->ptrSigRcp->uResult = result;
}

namespace {

void free_string(SAP_BYTE*& s, SAP_UINT& len) {
    OPENSSL_free(s);
    s = nullptr;
    len = 0;
}

// The password's copy is wiped before its memory goes back: freed memory keeps what it held
// until it is handed out again. By the size of the copy made, never by the length in the
// record: a larger one would write past the copy, a smaller one leave the rest of it.
void free_secret(SigRcpSsfInfo* rec) {
    const OwnedRecord& o = owned(rec);
    SAP_BYTE*& s = rec->strSigRcpPassword;
    OPENSSL_clear_free(s, s == o.password ? o.password_size : 0);
    s = nullptr;
    rec->strSigRcpPasswordL = 0;
}

// Copies one optional field of a new record; false when memory runs out.
bool copy_field(const SAP_BYTE* src, SAP_UINT len, SAP_BYTE*& dst, SAP_UINT& dst_len, int step) {
    if (!src || sap_empty(len)) return true;
    dst = reinterpret_cast<SAP_BYTE*>(get_sz_string_from_sap_string(src, len));
    if (!dst) {
        log_error("%s() %d : OPENSSL_malloc( %zu ) failed", "SsfNEWSigRcpSsfInfo", step,
                  static_cast<size_t>(len) + 1);
        return false;
    }
    dst_len = len;
    return true;
}

}  // namespace

SAPRETURN new_record(SAP_BYTE* id, SAP_UINT idL, SAP_BYTE* reserved, SAP_UINT reservedL,
                     SAP_BYTE* profile, SAP_UINT profileL, SAP_BYTE* password, SAP_UINT passwordL,
                     SAP_UINT uResult, SigRcpSsfInfo** out) {
    static const char* fn = "SsfNEWSigRcpSsfInfo";
    if (!out) {
        log_error("%s() 0 : ptrSigRcpSsfInfo == NULL", fn);
        return SSF_RC_NO_OUTPUT;
    }
    *out = nullptr;
    log_debug(
        "%s() started, strSigRcpId = %#lx, strSigRcpIdL = %d, strSigRcpReserved = %#lx, "
        "strSigRcpReservedL = %d, "
        "strSigRcpProfile = %#lx, strSigRcpProfileL = %d, strSigRcpPassword = %#lx, "
        "strSigRcpPasswordL = %d, "
        "uResult = %d, ptrSigRcpSsfInfo = %#lx",
        fn, ptr_bits(id), static_cast<int>(idL), ptr_bits(reserved), static_cast<int>(reservedL),
        ptr_bits(profile), static_cast<int>(profileL), ptr_bits(password),
        static_cast<int>(passwordL), static_cast<int>(uResult), ptr_bits(out));
    if (id && !sap_empty(idL)) log_hexdump(id, idL, "strSigRcpId");

    SAPRETURN rc = SSF_RC_OK;
    SigRcpSsfInfo* rec = nullptr;
    if (!id || sap_empty(idL)) {
        log_error("%s() 1 : strSigRcpId = %#lx, strSigRcpIdL = %d", fn, ptr_bits(id),
                  static_cast<int>(idL));
        rc = SSF_RC_NO_IDENTITY;
    } else if (!(rec = allocate_record())) {
        log_error("%s() 2 : OPENSSL_malloc( %zu ) failed", fn, sizeof(SigRcpSsfInfo));
        rc = SSF_RC_RECORD_MEMORY;
    } else {
        rec->uResult = uResult;
        bool ok =
            copy_field(id, idL, rec->strSigRcpId, rec->strSigRcpIdL, 3) &&
            copy_field(reserved, reservedL, rec->strSigRcpReserved, rec->strSigRcpReservedL, 4) &&
            copy_field(password, passwordL, rec->strSigRcpPassword, rec->strSigRcpPasswordL, 5) &&
            copy_field(profile, profileL, rec->strSigRcpProfile, rec->strSigRcpProfileL, 6);
        if (rec->strSigRcpPassword)  // with its NUL
            own_password(rec, rec->strSigRcpPassword, rec->strSigRcpPasswordL + size_t{1});
        if (ok) {
            *out = rec;
            rec = nullptr;
        } else {
            rc = SSF_RC_RECORD_MEMORY;
        }
    }
    if (rc == SSF_RC_RECORD_MEMORY) log_crypto_errors();
    if (rc != SSF_RC_OK) delete_record(&rec);  // logs its own line when nothing was built
    log_debug("%s() end, retcode = %d", fn, static_cast<int>(rc));
    return rc;
}

SAPRETURN insert_record(SigRcpSsfInfo* rec, SigRcpSsfInfoList* list) {
    static const char* fn = "SsfINSSigRcpSsfInfo";
    log_debug("start SsfINSSigRcpSsfInfo, ptrSigRcpSsfInfo = %#lx, sigRcpSsfInfoList = %#lx",
              ptr_bits(rec), ptr_bits(list));
    SAPRETURN rc = SSF_RC_OK;
    if (!rec) {
        log_error("%s() 1 : ptrSigRcpSsfInfo == NULL", fn);
        rc = SSF_RC_NO_RECORD;
    } else if (!list) {
        log_error("%s() 1.1 : sigRcpSsfInfoList == NULL", fn);
        rc = SSF_RC_NO_LIST;
    } else {
        auto* node = static_cast<SigRcpSsfInformationListElement*>(
            OPENSSL_zalloc(sizeof(SigRcpSsfInformationListElement)));
        if (!node) {
            log_error("%s() 2 : can't alloc %zu bytes for SigRcpSsfInformationListElement", fn,
                      sizeof(SigRcpSsfInformationListElement));
            rc = SSF_RC_RECORD_MEMORY;
        } else {
            node->ptrSigRcp = rec;
            if (!*list) {
                *list = node;
                log_debug("end SsfINSSigRcpSsfInfo, list == NULL");
            } else {
                auto* last = *list;
                while (last->next) last = last->next;
                last->next = node;
            }
        }
    }
    log_debug("end SsfINSSigRcpSsfInfo, rc = %d", static_cast<int>(rc));
    return rc;
}

SAPRETURN delete_record(SigRcpSsfInfo** rec) {
    static const char* fn = "SsfDELSigRcpSsfInfo";
    log_debug("start SsfDELSigRcpSsfInfo, ptrSigRcpSsfInfo = %#lx", ptr_bits(rec));
    SAPRETURN rc = SSF_RC_OK;
    if (!rec) {
        log_error("%s() 1 : ptrSigRcpSsfInfo == NULL", fn);
        rc = SSF_RC_NO_RECORD;
    } else if (!*rec) {
        log_error("%s() 2 : *ptrSigRcpSsfInfo == NULL", fn);
        rc = SSF_RC_NO_RECORD;
    } else {
        SigRcpSsfInfo* r = *rec;
        free_string(r->strSigRcpId, r->strSigRcpIdL);
        free_secret(r);
        free_string(r->strSigRcpProfile, r->strSigRcpProfileL);
        free_string(r->strSigRcpReserved, r->strSigRcpReservedL);
        OPENSSL_free(&owned(r));
        // Cleared so that a second release is a clean 53 rather than a double free.
        *rec = nullptr;
    }
    log_debug("end SsfDELSigRcpSsfInfo, rc = %d", static_cast<int>(rc));
    return rc;
}

// A node without a record is reported and the walk goes on: stopping there would leak the
// rest of the list and leave the caller holding freed nodes.
SAPRETURN delete_list(SigRcpSsfInfoList* list) {
    static const char* fn = "SsfDELSigRcpSsfInfoList";
    log_debug("start SsfDELSigRcpSsfInfoList. sigRcpSsfInfoList = %#lx", ptr_bits(list));
    SAPRETURN rc = SSF_RC_OK;
    if (!list) {
        log_error("%s() 1 : sigRcpSsfInfoList = %#x", fn, 0u);
        rc = SSF_RC_NO_LIST;
    } else {
        for (auto* node = *list; node;) {
            auto* next = node->next;
            if (!node->ptrSigRcp) {
                log_error("######################## !cur->ptrSigRcp ############");
                rc = SSF_RC_NODE_WITHOUT_RECORD;
            } else {
                delete_record(&node->ptrSigRcp);
            }
            OPENSSL_free(node);
            node = next;
        }
        *list = nullptr;
    }
    log_debug("end SsfDELSigRcpSsfInfoList, rc = %d", static_cast<int>(rc));
    return rc;
}

SAPRETURN delete_octet_string(SAP_BYTE** ostr, SAP_UINT* ostrL) {
    if (ostr) {
        OPENSSL_free(*ostr);
        *ostr = nullptr;
    }
    if (ostrL) *ostrL = 0;
    if (ostr && ostrL) return SSF_RC_OK;
    log_error("%s() 1 : ( NULL == ostr ) || ( NULL == ostrL )", "SsfDELSsfOctetstring");
    return SSF_RC_NO_OUTPUT;
}

}  // namespace ssf
