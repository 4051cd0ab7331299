// The SSF interface exports: start-up and lock, start line, checks, worker, hand-over, end line.
// Also the record and list exports and the exported time-stamp check: whatever the host calls
// goes through here, the one place that runs start-up and decides whether a call may work.
#include "ssf/exports.h"

#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "ssf/base64.h"
#include "ssf/cades/ts_check.h"
#include "ssf/config.h"
#include "ssf/encode.h"
#include "ssf/frame.h"
#include "ssf/init.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/records.h"

namespace ssf {

namespace {

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

// How a call meets a start-up that failed before. One that works on the configuration waits for
// the next run (up to about a second for a mended file to settle, or for the run another call
// leads); one that answers either way is never held up: while a run is under way, or the next
// would have to wait, it goes on at once as not started.
enum class Retry { kAwait, kNoWait };

// Steps around every export: runs start-up (again, until it has succeeded), then takes the API
// mutex when configured, and releases it exactly once, also when the call leaves by an exception.
class ApiCall {
  public:
    // Start-up runs before the lock is taken: a call waiting for it holds up no other call. The
    // record exports, which may run inside a call that holds the lock, never wait for it.
    explicit ApiCall(Retry retry) : started_(init_lib(retry == Retry::kAwait) == 0) {
        // A constructor that throws gets no destructor: the lock is given back here before the
        // exception leaves, or the next call would wait for ever.
        try {
            // The configuration is read only once start-up has published it: until then a
            // start-up on another thread may be writing it, and the call takes the lock, as the
            // default has it.
            if (!started_ || config().use_func_mutex) lock_mutex(locked_);
        } catch (...) {
            release();
            throw;
        }
    }
    ~ApiCall() { release(); }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;
    bool started() const { return started_; }

  private:
    void release() {
        if (locked_) api_mutex().unlock();
        locked_ = false;
    }
    bool started_ = false;
    bool locked_ = false;
};

// An export that would work on settings start-up could not read does no work at all: the checks
// the configuration asks for (chain, CRLs, trust) would silently be missing from its result.
// Its outputs are cleared: the caller gets nothing it could take for a result.
SAPRETURN refused(const char* fn, SAP_BYTE** out, SAP_UINT* outL) {
    clear_output(out, outL);
    log_error("%s() : start-up failed, the call is refused", fn);
    return SSF_RC_NOT_STARTED;
}

// Runs one export: start-up and lock around the body, the end line after the lock is released.
// The body learns whether start-up has succeeded; the exports that decide nothing (version,
// properties) answer either way, and so never wait for it.
template <class Body>
SAPRETURN run_export(const char* fn, const char* end_line, Retry retry, Body&& body) noexcept {
    return guarded(fn, SSF_RC_MEMORY, [&] {
        SAPRETURN rc;
        {
            ApiCall call(retry);
            rc = body(call.started());
        }
        if (std::strncmp(end_line, "%s", 2) == 0)
            log_debug(end_line, fn, static_cast<int>(rc));
        else
            log_debug(end_line, static_cast<int>(rc));
        return rc;
    });
}

template <class Body>
SAPRETURN run_export(const char* fn, const char* end_line, Body&& body) noexcept {
    return run_export(fn, end_line, Retry::kAwait, std::forward<Body>(body));
}

// A record export inside start-up, the lock and the guard; allocation failures give 51. Records
// decide nothing, so they are served whether start-up succeeded or not, and never wait for it.
template <class Body>
SAPRETURN record_export(const char* name, Body&& body) noexcept {
    return guarded(name, SSF_RC_RECORD_MEMORY, [&] {
        ApiCall call(Retry::kNoWait);
        return body();
    });
}

constexpr const char* kEnd = "%s() end, retcode = %d";

// The worker's buffer goes to the caller on success; a failure leaves the outputs cleared.
SAPRETURN deliver(int rc, OutData& out, SAP_BYTE** data, SAP_UINT* dataL) {
    if (rc == 0)
        hand_over(out, data, dataL);
    else
        clear_output(data, dataL);
    return static_cast<SAPRETURN>(rc);
}

bool input_missing(const SAP_BYTE* p, SAP_UINT len) {
    return !p || sap_empty(len);
}

const char* kProperties[][2] = {
    {"PROPERTIES", "FORMATS;HASHALGS;ENCRALGS;SSF_POPUPS"},
    {"FORMATS", "PKCS7;PKCS7_CADES;CADES_BES;CADES_XLT1;PKCS7_ANY;BASE64"},
    {"HASHALGS", "GOST-R-34.11-94;GOST-R-34.11-12-256;GOST-R-34.11-12-512;MD5;SHA1"},
    {"ENCRALGS", "GOST-28147-89"},
    {"SSF_POPUPS", "1"},
};

int fill_prop(OutData* out, const char* value) {
    if (!out || !value) {
        log_error("fill_prop: bad param");
        log_error("s=%p l=%p prop=%p", static_cast<void*>(out), static_cast<void*>(out), value);
        return SSF_RC_NO_OUTPUT;
    }
    if (!alloc_copy(*out,
                    Bytes(reinterpret_cast<const unsigned char*>(value), std::strlen(value)))) {
        log_error("%s() : OPENSSL_malloc( %zu ) failed", "fill_prop", std::strlen(value));
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    return SSF_RC_OK;
}

}  // namespace

int ssf_query_properties(const SAP_BYTE* name, SAP_UINT nameL, const SAP_BYTE*, SAP_UINT,
                         OutData& out) {
    static const char* fn = "ssf_query_properties";
    log_debug("%s() begin", fn);
    for (const auto& prop : kProperties) {
        if (nameL != std::strlen(prop[0]) || std::memcmp(name, prop[0], nameL) != 0) continue;
        log_debug("%s() : '%s' property was acquired", fn, prop[0]);
        int rc = fill_prop(&out, prop[1]);
        log_debug("%s() end, return code = %d", fn, rc);
        return rc;
    }
    log_error("%s() 1 : NO DATA (propname='%s')", fn, name_text(name, nameL).c_str());
    log_debug("%s() end, return code = %d", fn, static_cast<int>(SSF_RC_NO_INPUT));
    return SSF_RC_NO_INPUT;
}

}  // namespace ssf

using namespace ssf;

SAPRETURN SsfVersion(SAP_BYTE** outputData, SAP_UINT* outputDataL) {
    static const char* fn = "SsfVersion";
    return run_export(fn, kEnd, Retry::kNoWait, [&](bool) -> SAPRETURN {
        log_debug("%s() started, outputData = %#lx, outputDataL = %#lx", fn, ptr_bits(outputData),
                  ptr_bits(outputDataL));
        if (!outputDataL || !outputData) {
            log_error("%s() 1 : ( NULL == outputDataL ) || ( NULL == outputData )", fn);
            return SSF_RC_NO_OUTPUT;
        }
        const std::string text = std::string(kVersionText) + "\n" + get_ssf_svn_info();
        // One byte more than the text: the NUL stays in the buffer but not in the length.
        auto* buf = static_cast<SAP_BYTE*>(OPENSSL_malloc(text.size() + 1));
        if (!buf) {
            log_error("%s() 2 : OPENSSL_malloc( %zu ) failed", fn, text.size() + 1);
            *outputDataL = 0;
            return SSF_RC_MEMORY;
        }
        std::memcpy(buf, text.c_str(), text.size() + 1);
        *outputData = buf;
        *outputDataL = static_cast<SAP_UINT>(text.size());
        return SSF_RC_OK;
    });
}

SAPRETURN SsfQueryProperties(SAP_BYTE* strProperty, SAP_UINT strPropertyL, SAP_BYTE* strArgument,
                             SAP_UINT strArgumentL, SAP_BYTE** outputData, SAP_UINT* outputDataL) {
    static const char* fn = "SsfQueryProperties";
    return run_export(fn, kEnd, Retry::kNoWait, [&](bool) -> SAPRETURN {
        log_debug(
            "%s() started, strProperty = %#lx, strPropertyL = %d, strArgument = %#lx, strArgumentL "
            "= "
            "%d, "
            "outputData = %#lx, outputDataL = %#lx",
            fn, ptr_bits(strProperty), static_cast<int>(strPropertyL), ptr_bits(strArgument),
            static_cast<int>(strArgumentL), ptr_bits(outputData), ptr_bits(outputDataL));
        if (!outputDataL || !outputData) {
            log_error("%s() 1 : ( NULL == outputDataL ) || ( NULL == outputData )", fn);
            return SSF_RC_NO_OUTPUT;
        }
        if (input_missing(strProperty, strPropertyL)) {
            log_error("%s() 2 : Input data is NULL", fn);
            return SSF_RC_NO_INPUT;
        }
        clear_output(outputData, outputDataL);
        OutData out;
        int rc = ssf_query_properties(strProperty, strPropertyL, strArgument, strArgumentL, out);
        return deliver(rc, out, outputData, outputDataL);
    });
}

SAPRETURN SsfEncode(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrInputData,
                    SAP_UINT ostrInputDataL, SAP_BYTE** ostrEncodedData,
                    SAP_UINT* ostrEncodedDataL) {
    static const char* fn = "SsfEncode";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, ostrInputData = %#lx, ostrInputDataL = "
            "%d, "
            "ostrEncodedData = %#lx, ostrEncodedDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(ostrInputData),
            static_cast<int>(ostrInputDataL), ptr_bits(ostrEncodedData),
            ptr_bits(ostrEncodedDataL));
        if (!started) return refused(fn, ostrEncodedData, ostrEncodedDataL);
        if (outputs_missing(fn, "ostrEncodedData", ostrEncodedData, ostrEncodedDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrEncodedData, ostrEncodedDataL);
        if (input_missing(ostrInputData, ostrInputDataL)) {
            log_error("%s() 1 : (ostrInputData == NULL) || (ostrInputDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() 2 : invalid format: '%s'", fn, strFormat, strFormatL))
            return SSF_RC_INVALID_FORMAT;
        OutData out;
        const Bytes input(ostrInputData, ostrInputDataL);
        const bool base64 = name_text(strFormat, strFormatL) == "BASE64";
        int rc = base64 ? base64_encode(out, input, false) : encode_data(out, input);
        if (rc != 0) log_write("encode_data error");
        return deliver(rc, out, ostrEncodedData, ostrEncodedDataL);
    });
}

SAPRETURN SsfDecode(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrEncodedData,
                    SAP_UINT ostrEncodedDataL, SAP_BYTE** ostrOutputData,
                    SAP_UINT* ostrOutputDataL) {
    static const char* fn = "SsfDecode";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, ostrEncodedData = %#lx, "
            "ostrEncodedDataL "
            "= %d, "
            "ostrOutputData = %#lx, ostrOutputDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(ostrEncodedData),
            static_cast<int>(ostrEncodedDataL), ptr_bits(ostrOutputData),
            ptr_bits(ostrOutputDataL));
        if (!started) return refused(fn, ostrOutputData, ostrOutputDataL);
        if (outputs_missing(fn, "ostrOutputData", ostrOutputData, ostrOutputDataL))
            return SSF_RC_NO_OUTPUT;
        if (input_missing(ostrEncodedData, ostrEncodedDataL)) {
            log_error("%s() : ( ostrEncodedDataL <= 0 ) || ( ostrEncodedData == NULL )", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() 2 : invalid format: '%s'", fn, strFormat, strFormatL))
            return SSF_RC_INVALID_FORMAT;
        OutData out;
        const Bytes input(ostrEncodedData, ostrEncodedDataL);
        const bool base64 = name_text(strFormat, strFormatL) == "BASE64";
        int rc = base64 ? base64_decode(out, input, false) : decode_data(out, input);
        if (rc != 0) log_write("decode error");
        return deliver(rc, out, ostrOutputData, ostrOutputDataL);
    });
}

SAPRETURN SsfSign(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strHashalg,
                  SAP_UINT strHashalgL, SAP_BOOL bIncCerts, SAP_BOOL bDetached,
                  SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL, SigRcpSsfInfoList signerList,
                  SAP_BYTE** ostrSignedData, SAP_UINT* ostrSignedDataL) {
    static const char* fn = "SsfSign";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, strHashalg = %#lx, strHashalgL = %d, "
            "bIncCerts = %d, "
            "bDetached = %d, ostrInputData = %#lx, ostrInputDataL = %d, signerList = %#lx, "
            "ostrSignedData = %#lx, "
            "ostrSignedDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(strHashalg),
            static_cast<int>(strHashalgL), bIncCerts, bDetached, ptr_bits(ostrInputData),
            static_cast<int>(ostrInputDataL), ptr_bits(signerList), ptr_bits(ostrSignedData),
            ptr_bits(ostrSignedDataL));
        if (!started) {
            set_list_results(signerList, SSF_RESULT_INITIAL);
            return refused(fn, ostrSignedData, ostrSignedDataL);
        }
        if (outputs_missing(fn, "ostrSignedData", ostrSignedData, ostrSignedDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrSignedData, ostrSignedDataL);
        if (input_missing(ostrInputData, ostrInputDataL)) {
            log_error("%s() : (ostrInputData == NULL) || (ostrInputDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() : invalid format: '%s'", fn, strFormat, strFormatL)) {
            set_list_results(signerList, SSF_RESULT_INITIAL);
            return SSF_RC_INVALID_FORMAT;
        }
        if (get_hash_alg_code(strHashalg, strHashalgL) == HASH_INVALID) {
            log_error("%s() : invalid hash_alg: '%s'", fn,
                      name_text(strHashalg, strHashalgL).c_str());
            return SSF_RC_INVALID_HASH;
        }
        const int type = get_signature_type_code(strFormat, strFormatL);
        if (type != SIG_TYPE_PKCS7 && type != SIG_TYPE_CADES_BES && type != SIG_TYPE_CADES) {
            log_error("%s() : wrong signature format: '%s'", fn,
                      name_text(strFormat, strFormatL).c_str());
            return SSF_RC_INVALID_FORMAT;
        }
        OutData out;
        int rc = ssf_sign_data(out, Bytes(ostrInputData, ostrInputDataL), bIncCerts, bDetached,
                               signerList, type);
        if (rc != 0) log_write("error sign_data");
        return deliver(rc, out, ostrSignedData, ostrSignedDataL);
    });
}

SAPRETURN SsfVerify(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BOOL bUseCerts,
                    SAP_BYTE* ostrSignedData, SAP_UINT ostrSignedDataL, SAP_BYTE* ostrInputData,
                    SAP_UINT ostrInputDataL, SAP_BYTE* strPab, SAP_UINT strPabL,
                    SAP_BYTE* strPabPassword, SAP_UINT strPabPasswordL,
                    SigRcpSsfInfoList* signerResultList, SAP_BYTE** ostrOutputData,
                    SAP_UINT* ostrOutputDataL) {
    static const char* fn = "SsfVerify";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, bUseCerts = %d, ostrSignedData = %#lx, "
            "ostrSignedDataL = %d, ostrInputData = %#lx, ostrInputDataL = %d, strPab = %#lx, "
            "strPabL "
            "= %d, "
            "strPabPassword = %#lx, strPabPasswordL = %d, signerResultList = %#lx, ostrOutputData "
            "= "
            "%#lx, "
            "ostrOutputDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), bUseCerts,
            ptr_bits(ostrSignedData), static_cast<int>(ostrSignedDataL), ptr_bits(ostrInputData),
            static_cast<int>(ostrInputDataL), ptr_bits(strPab), static_cast<int>(strPabL),
            ptr_bits(strPabPassword), static_cast<int>(strPabPasswordL), ptr_bits(signerResultList),
            ptr_bits(ostrOutputData), ptr_bits(ostrOutputDataL));
        if (!started) return refused(fn, ostrOutputData, ostrOutputDataL);
        if (outputs_missing(fn, "ostrOutputData", ostrOutputData, ostrOutputDataL))
            return SSF_RC_NO_OUTPUT;
        if (!signerResultList) {
            log_error("%s() 0 : signerResultList == NULL", fn);
            return SSF_RC_NO_OUTPUT;
        }
        clear_output(ostrOutputData, ostrOutputDataL);
        if (input_missing(ostrSignedData, ostrSignedDataL)) {
            log_error("%s(): (ostrSignedData == NULL) || (ostrSignedDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() : invalid format: '%s'", fn, strFormat, strFormatL))
            return SSF_RC_INVALID_FORMAT;
        OutData out;
        int rc = ssf_verify_data(
            out, sap_bytes(ostrInputData, ostrInputDataL), Bytes(ostrSignedData, ostrSignedDataL),
            bUseCerts, sap_text(strPab, strPabL), sap_bytes(strPabPassword, strPabPasswordL),
            signerResultList, get_signature_type_code(strFormat, strFormatL));
        // The verdict of each signer lives in the result list: the output goes back in any case.
        hand_over(out, ostrOutputData, ostrOutputDataL);
        if (!*signerResultList)
            log_write("SsfVerify: signerResultList is not created");
        else if (!(*signerResultList)->ptrSigRcp)
            log_write("SsfVerify: signerResultList is empty");
        return static_cast<SAPRETURN>(rc);
    });
}

SAPRETURN SsfEnvelope(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strSymEncr,
                      SAP_UINT strSymEncrL, SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL,
                      SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strPabPassword,
                      SAP_UINT strPabPasswordL, SigRcpSsfInfoList recipientList,
                      SAP_BYTE** ostrEnvelopedData, SAP_UINT* ostrEnvelopedDataL) {
    static const char* fn = "SsfEnvelope";
    return run_export(fn, "end SsfEnvelope = %d", [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, strSymEncr = %#lx, strSymEncrL = %d, "
            "ostrInputData = %#lx, "
            "ostrInputDataL = %d, strPab = %#lx, strPabL = %d, strPabPassword = %#lx, "
            "strPabPasswordL = %d, "
            "recipientList = %#lx, ostrEnvelopedData = %#lx, ostrEnvelopedDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(strSymEncr),
            static_cast<int>(strSymEncrL), ptr_bits(ostrInputData),
            static_cast<int>(ostrInputDataL), ptr_bits(strPab), static_cast<int>(strPabL),
            ptr_bits(strPabPassword), static_cast<int>(strPabPasswordL), ptr_bits(recipientList),
            ptr_bits(ostrEnvelopedData), ptr_bits(ostrEnvelopedDataL));
        if (!started) {
            set_list_results(recipientList, SSF_RESULT_INITIAL);
            return refused(fn, ostrEnvelopedData, ostrEnvelopedDataL);
        }
        if (outputs_missing(fn, "ostrEnvelopedData", ostrEnvelopedData, ostrEnvelopedDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrEnvelopedData, ostrEnvelopedDataL);
        if (input_missing(ostrInputData, ostrInputDataL)) {
            log_error("%s() 1 : (ostrInputData == NULL) || (ostrInputDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (!recipientList) {
            log_error("%s() 2 : recipientList is NULL", fn);
            return SSF_RC_RECIPIENT_FAILED;
        }
        if (format_invalid("%s() 3 : invalid format: '%s'", fn, strFormat, strFormatL)) {
            set_list_results(recipientList, SSF_RESULT_INITIAL);
            return SSF_RC_INVALID_FORMAT;
        }
        if (!check_sym_encr_name(strSymEncr, strSymEncrL)) {
            log_error("%s() 4 : invalid encryption algorithm: '%s'", fn,
                      name_text(strSymEncr, strSymEncrL).c_str());
            return SSF_RC_INVALID_CIPHER;
        }
        OutData out;
        int rc = envelope_data(out, Bytes(ostrInputData, ostrInputDataL), sap_text(strPab, strPabL),
                               sap_bytes(strPabPassword, strPabPasswordL), recipientList);
        if (rc == SSF_RC_SIGNER_FAILED) rc = SSF_RC_RECIPIENT_FAILED;
        return deliver(rc, out, ostrEnvelopedData, ostrEnvelopedDataL);
    });
}

SAPRETURN SsfDevelope(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* ostrEnvelopedData,
                      SAP_UINT ostrEnvelopedDataL, SigRcpSsfInfo* ptrRecipient,
                      SAP_BYTE** ostrOutputData, SAP_UINT* ostrOutputDataL) {
    static const char* fn = "SsfDevelope";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, ostrEnvelopedData = %#lx, "
            "ostrEnvelopedDataL = %d, "
            "ptrRecipient = %#lx, ostrOutputData = %#lx, ostrOutputDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(ostrEnvelopedData),
            static_cast<int>(ostrEnvelopedDataL), ptr_bits(ptrRecipient), ptr_bits(ostrOutputData),
            ptr_bits(ostrOutputDataL));
        if (!started) {
            if (ptrRecipient) ptrRecipient->uResult = SSF_RESULT_INITIAL;
            return refused(fn, ostrOutputData, ostrOutputDataL);
        }
        if (outputs_missing(fn, "ostrOutputData", ostrOutputData, ostrOutputDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrOutputData, ostrOutputDataL);
        if (input_missing(ostrEnvelopedData, ostrEnvelopedDataL)) {
            log_error("%s() 1 : (ostrEnvelopedData == NULL) || (ostrEnvelopedDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() 2 : invalid format: '%s'", fn, strFormat, strFormatL)) {
            if (ptrRecipient) ptrRecipient->uResult = SSF_RESULT_INITIAL;
            return SSF_RC_INVALID_FORMAT;
        }
        OutData out;
        int rc = develope_data(out, Bytes(ostrEnvelopedData, ostrEnvelopedDataL), ptrRecipient);
        return deliver(rc, out, ostrOutputData, ostrOutputDataL);
    });
}

SAPRETURN SsfAddSign(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BYTE* strHashalg,
                     SAP_UINT strHashalgL, SAP_BOOL bIncCerts, SAP_BYTE* ostrSignedData,
                     SAP_UINT ostrSignedDataL, SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL,
                     SigRcpSsfInfo* signer, SAP_BYTE** ostrUpdatedSignedData,
                     SAP_UINT* ostrUpdatedSignedDataL) {
    static const char* fn = "SsfAddSign";
    return run_export(fn, "%s() end, ret_code = %d", [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, strHashalg = %#lx, strHashalgL = %d, "
            "bIncCerts = %d, "
            "ostrSignedData = %#lx, ostrSignedDataL = %d, ostrInputData = %#lx, ostrInputDataL = "
            "%d, "
            "signer = %#lx, "
            "ostrUpdatedSignedData = %#lx, ostrUpdatedSignedDataL = %#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), ptr_bits(strHashalg),
            static_cast<int>(strHashalgL), bIncCerts, ptr_bits(ostrSignedData),
            static_cast<int>(ostrSignedDataL), ptr_bits(ostrInputData),
            static_cast<int>(ostrInputDataL), ptr_bits(signer), ptr_bits(ostrUpdatedSignedData),
            ptr_bits(ostrUpdatedSignedDataL));
        if (!started) {
            if (signer) signer->uResult = SSF_RESULT_INITIAL;
            return refused(fn, ostrUpdatedSignedData, ostrUpdatedSignedDataL);
        }
        if (outputs_missing(fn, "ostrUpdatedSignedData", ostrUpdatedSignedData,
                            ostrUpdatedSignedDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrUpdatedSignedData, ostrUpdatedSignedDataL);
        if (input_missing(ostrSignedData, ostrSignedDataL)) {
            log_error("%s() 1 : (ostrSignedData == NULL) || (ostrSignedDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (!signer) {
            log_error("%s() 2 : signer is NULL", fn);
            return SSF_RC_SIGNER_FAILED;
        }
        if (format_invalid("%s() 3 : invalid format: '%s'", fn, strFormat, strFormatL)) {
            signer->uResult = SSF_RESULT_INITIAL;
            return SSF_RC_INVALID_FORMAT;
        }
        if (get_hash_alg_code(strHashalg, strHashalgL) == HASH_INVALID) {
            log_error("%s() 4 : invalid hash_alg: '%s'", fn,
                      name_text(strHashalg, strHashalgL).c_str());
            return SSF_RC_INVALID_HASH;
        }
        const int type = get_signature_type_code(strFormat, strFormatL);
        if (type != SIG_TYPE_PKCS7 && type != SIG_TYPE_CADES_BES && type != SIG_TYPE_CADES) {
            log_error("%s() : wrong signature format: '%s'", fn,
                      name_text(strFormat, strFormatL).c_str());
            return SSF_RC_INVALID_FORMAT;
        }
        OutData out;
        int rc = add_sign_data(out, Bytes(ostrSignedData, ostrSignedDataL),
                               sap_bytes(ostrInputData, ostrInputDataL), bIncCerts, signer, type);
        return deliver(rc, out, ostrUpdatedSignedData, ostrUpdatedSignedDataL);
    });
}

SAPRETURN SsfDigest(SAP_BYTE* strFormat, SAP_UINT strFormatL, SAP_BOOL bDetached,
                    SAP_BYTE* ostrInputData, SAP_UINT ostrInputDataL, SAP_BYTE* strHashalg,
                    SAP_UINT strHashalgL, SAP_BYTE** ostrDigestedData,
                    SAP_UINT* ostrDigestedDataL) {
    static const char* fn = "SsfDigest";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() start, strFormat = %#lx, strFormatL = %d, bDetached = %d, ostrInputData = %#lx, "
            "ostrInputDataL = %d, "
            "strHashalg = %#lx, strHashalgL = %d, ostrDigestedData = %#lx, ostrDigestedDataL = "
            "%#lx",
            fn, ptr_bits(strFormat), static_cast<int>(strFormatL), bDetached,
            ptr_bits(ostrInputData), static_cast<int>(ostrInputDataL), ptr_bits(strHashalg),
            static_cast<int>(strHashalgL), ptr_bits(ostrDigestedData), ptr_bits(ostrDigestedDataL));
        if (!started) return refused(fn, ostrDigestedData, ostrDigestedDataL);
        if (outputs_missing(fn, "ostrDigestedData", ostrDigestedData, ostrDigestedDataL))
            return SSF_RC_NO_OUTPUT;
        clear_output(ostrDigestedData, ostrDigestedDataL);
        if (input_missing(ostrInputData, ostrInputDataL)) {
            log_error("%s() 1 : (ostrInputData == NULL) || (ostrInputDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (format_invalid("%s() 2 : invalid format: '%s'", fn, strFormat, strFormatL))
            return SSF_RC_INVALID_FORMAT;
        const int hash = get_hash_alg_code(strHashalg, strHashalgL);
        if (hash == HASH_INVALID) {
            log_error("%s() 3 : invalid hash alg: '%s'", fn,
                      name_text(strHashalg, strHashalgL).c_str());
            return SSF_RC_INVALID_HASH;
        }
        OutData out;
        int rc = digest_data(out, Bytes(ostrInputData, ostrInputDataL), hash, bDetached);
        return deliver(rc, out, ostrDigestedData, ostrDigestedDataL);
    });
}

SAPRETURN SsfEnhanceSignatures(SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strSignedData,
                               SAP_UINT strSignedDataL, SAP_BYTE* strInputData,
                               SAP_UINT strInputDataL, SigRcpSsfInfoList* signerResultList,
                               SAP_BYTE** ostrEnhancedSignData, SAP_UINT* ostrEnhancedSignDataL) {
    static const char* fn = "SsfEnhanceSignatures";
    return run_export(fn, kEnd, [&](bool started) -> SAPRETURN {
        log_debug(
            "%s() begin, strPab = 0x%lx, strPabL = %d, strSignedData = 0x%lx, strSignedDataL = %d, "
            "strInputData = 0x%lx, "
            "strInputDataL = %d, signerResultList = 0x%lx, ostrEnhancedSignData = 0x%lx, "
            "ostrEnhancedSignDataL = 0x%lx",
            fn, ptr_bits(strPab), static_cast<int>(strPabL), ptr_bits(strSignedData),
            static_cast<int>(strSignedDataL), ptr_bits(strInputData),
            static_cast<int>(strInputDataL), ptr_bits(signerResultList),
            ptr_bits(ostrEnhancedSignData), ptr_bits(ostrEnhancedSignDataL));
        if (!started) return refused(fn, ostrEnhancedSignData, ostrEnhancedSignDataL);
        if (input_missing(strSignedData, strSignedDataL)) {
            log_error("%s() 1 : (strSignedData == NULL) || (strSignedDataL <= 0)", fn);
            return SSF_RC_NO_INPUT;
        }
        if (!signerResultList) {
            log_error("%s() 2 : signerResultList is NULL", fn);
            return SSF_RC_NO_INPUT;
        }
        if (!ostrEnhancedSignData || !ostrEnhancedSignDataL) {
            log_error("%s() 3 : (ostrEnhancedSignData == NULL) || (ostrEnhancedSignDataL == NULL)",
                      fn);
            return SSF_RC_NO_INPUT;
        }
        return static_cast<SAPRETURN>(ssf_enhance_signatures(
            strPab, strPabL, strSignedData, strSignedDataL, strInputData, strInputDataL,
            signerResultList, ostrEnhancedSignData, ostrEnhancedSignDataL));
    });
}

SAPRETURN SsfDELSsfOctetstring(SAP_BYTE** ostr, SAP_UINT* ostrL) {
    return record_export("SsfDELSsfOctetstring", [&] { return delete_octet_string(ostr, ostrL); });
}

SAPRETURN SsfNEWSigRcpSsfInfo(SAP_BYTE* strSigRcpId, SAP_UINT strSigRcpIdL,
                              SAP_BYTE* strSigRcpReserved, SAP_UINT strSigRcpReservedL,
                              SAP_BYTE* strSigRcpProfile, SAP_UINT strSigRcpProfileL,
                              SAP_BYTE* strSigRcpPassword, SAP_UINT strSigRcpPasswordL,
                              SAP_UINT uResult, SigRcpSsfInfo** ptrSigRcpSsfInfo) {
    return record_export("SsfNEWSigRcpSsfInfo", [&] {
        return new_record(strSigRcpId, strSigRcpIdL, strSigRcpReserved, strSigRcpReservedL,
                          strSigRcpProfile, strSigRcpProfileL, strSigRcpPassword,
                          strSigRcpPasswordL, uResult, ptrSigRcpSsfInfo);
    });
}

SAPRETURN SsfINSSigRcpSsfInfo(SigRcpSsfInfo* ptrSigRcpSsfInfo,
                              SigRcpSsfInfoList* sigRcpSsfInfoList) {
    return record_export("SsfINSSigRcpSsfInfo",
                         [&] { return insert_record(ptrSigRcpSsfInfo, sigRcpSsfInfoList); });
}

SAPRETURN SsfDELSigRcpSsfInfo(SigRcpSsfInfo** ptrSigRcpSsfInfo) {
    return record_export("SsfDELSigRcpSsfInfo", [&] { return delete_record(ptrSigRcpSsfInfo); });
}

SAPRETURN SsfDELSigRcpSsfInfoList(SigRcpSsfInfoList* sigRcpSsfInfoList) {
    return record_export("SsfDELSigRcpSsfInfoList", [&] { return delete_list(sigRcpSsfInfoList); });
}

// No API lock, as hosts call it outside the SSF interface. Start-up runs one at a time on its
// own, and until it succeeds no other export does any work that could read the values it writes.
int ssf_verify_TS_token(PKCS7* p7, TS_TST_INFO* tst_info, const ASN1_STRING* data,
                        X509_STORE* store, int kind, STACK_OF(X509) * pab_certs,
                        const ASN1_GENERALIZEDTIME* when) {
    static const char* const fn = "ssf_verify_TS_token";
    return guarded(fn, SSF_RC_MEMORY, [&] {
        if (init_lib() != 0) return static_cast<int>(refused(fn, nullptr, nullptr));
        return verify_ts_token(p7, tst_info, data, store, kind, pab_certs, when);
    });
}
