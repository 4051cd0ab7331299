#include "ssf/frame.h"

#include <cstring>

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
