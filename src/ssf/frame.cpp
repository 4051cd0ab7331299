#include "ssf/frame.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "ssf/config.h"

namespace ssf {

bool alloc_copy(OutData& out, Bytes bytes) {
    out = OutData{};
    if (bytes.empty()) return false;
    auto* p = static_cast<unsigned char*>(OPENSSL_malloc(bytes.size()));
    if (!p) return false;
    std::memcpy(p, bytes.data(), bytes.size());
    out.data.reset(p);
    out.size = static_cast<uint32_t>(bytes.size());
    return true;
}

void clear_output(SAP_BYTE** out, SAP_UINT* outL) {
    if (out) *out = nullptr;
    if (outL) *outL = 0;
}

void hand_over(OutData& from, SAP_BYTE** out, SAP_UINT* outL) {
    *outL = from.size;
    *out = from.data.release();
    from.size = 0;
}

std::string name_text(const SAP_BYTE* name, SAP_UINT len) {
    if (!name) return "<NULL>";
    std::string s(reinterpret_cast<const char*>(name), sap_empty(len) ? 0 : len);
    return s.substr(0, s.find('\0'));  // as printed through a C string
}

// A recursive mutex cannot time out or be abandoned; the only other outcome is a failed wait,
// after which the call goes on unlocked as designed.
void lock_mutex(bool& locked) {
    locked = false;
    try {
        api_mutex().lock();
        locked = true;
        log_debug("%s() : WaitForSingleObject() ok", "lock_mutex");
    } catch (const std::system_error& e) {
        log_error("%s() : WAIT_FAILED, GetLastError() = %#x", "lock_mutex",
                  static_cast<unsigned>(e.code().value()));
    }
}

// A constructor that throws gets no destructor: the lock is given back here before the
// exception leaves, or the next call would wait for ever.
ApiCall::ApiCall() {
    try {
        if (config().use_func_mutex) lock_mutex(locked_);
        (void)init_lib();  // a failure is retried by the next call; the export goes on
    } catch (...) {
        release();
        throw;
    }
}

void ApiCall::release() {
    if (locked_) api_mutex().unlock();
    locked_ = false;
}

}  // namespace ssf

namespace ssf {

bool outputs_missing(const char* fn, const char* name, SAP_BYTE** out, SAP_UINT* outL) {
    if (out && outL) return false;
    log_error("%s() 0 : ( NULL == %sL ) || ( NULL == %s )", fn, name, name);
    return true;
}

bool format_invalid(const char* line, const char* fn, const SAP_BYTE* fmt, SAP_UINT fmtL) {
    if (check_format_name(fmt, fmtL)) return false;
    log_error(line, fn, name_text(fmt, fmtL).c_str());
    return true;
}

}  // namespace ssf
