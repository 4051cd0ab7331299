// What every SSF export shares: the guard that keeps exceptions inside the library, length rules
// for SAP strings, the checks of names and outputs, and the hand-over of output. The lock and
// start-up around each call belong to the exports themselves (the top), since start-up reaches
// every layer.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>

#include "cryptoext/ossl.h"
#include "ssf/codes.h"
#include "ssf/log.h"
#include "ssf/ssf_api.h"

namespace ssf {

using Bytes = std::span<const unsigned char>;

// SAP lengths are unsigned, but the checks read them as signed: a length with its top bit set
// is no length at all, never a 2 GiB read.
inline bool sap_empty(SAP_UINT len) {
    return static_cast<int32_t>(len) <= 0;
}
inline Bytes sap_bytes(const SAP_BYTE* p, SAP_UINT len) {
    return p && !sap_empty(len) ? Bytes(p, len) : Bytes();
}
// A string a worker copies into a C string: given with length 0 it is "", and only a missing
// pointer is missing.
inline Bytes sap_text(const SAP_BYTE* p, SAP_UINT len) {
    return p ? Bytes(p, sap_empty(len) ? 0 : len) : Bytes();
}

// A failure that already carries its interface code (and has been logged where it arose).
class Error : public std::exception {
  public:
    explicit Error(SAPRETURN code) : code_(code) {}
    SAPRETURN code() const { return code_; }
    const char* what() const noexcept override { return "ssf error"; }

  private:
    SAPRETURN code_;
};

// A new buffer from the crypto library's allocator, as the caller of the interface gets it.
struct OutData {
    ossl::Bytes data;
    uint32_t size = 0;
};
// Copies bytes into a fresh buffer; false when it cannot be allocated (an empty copy included,
// since an allocation of nothing fails).
[[nodiscard]] bool alloc_copy(OutData& out, Bytes bytes);

void clear_output(SAP_BYTE** out, SAP_UINT* outL);
void hand_over(OutData& from, SAP_BYTE** out, SAP_UINT* outL);

// The text of a name for check lines; "<NULL>" when there is none.
std::string name_text(const SAP_BYTE* name, SAP_UINT len);

// Checks every export shares; each writes its line through log_error when it fails.
[[nodiscard]] bool outputs_missing(const char* fn, const char* name, SAP_BYTE** out,
                                   SAP_UINT* outL);
[[nodiscard]] bool format_invalid(const char* line, const char* fn, const SAP_BYTE* fmt,
                                  SAP_UINT fmtL);

// Runs an export's body; nothing thrown inside reaches the host.
template <class Body>
SAPRETURN guarded(const char* name, SAPRETURN on_memory, Body&& body) noexcept {
    const char* why = nullptr;
    SAPRETURN rc = on_memory;
    try {
        return body();
    } catch (const Error& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    } catch (const std::exception& e) {
        why = e.what();
        rc = SSF_RC_MEMORY;
    } catch (...) {
        why = "unknown exception";
        rc = SSF_RC_MEMORY;
    }
    try {
        log_error("%s() : %s", name, why);
    } catch (...) {
    }
    return rc;
}

}  // namespace ssf
