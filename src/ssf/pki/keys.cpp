#include "ssf/pki/keys.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/winstub.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/frame.h"
#include "ssf/log.h"
#include "ssf/net/hok.h"
#include "ssf/pki/cache.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/password.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

constexpr size_t kProfileTimeLength = 14;
constexpr const char* kTokenPrefix = "token=";
constexpr const char* kCertFilePrefix = "certfile=";
constexpr const char* kKeyFileSeparator = ",keyfile=";

bool sap_given(const SAP_BYTE* p, SAP_UINT len) {
    return p && static_cast<int32_t>(len) > 0;
}

// The 14 characters with "Z" appended must be a valid GeneralizedTime.
bool valid_profile_time(const char* profile) {
    std::string text(profile, kProfileTimeLength);
    text += 'Z';
    ossl::Asn1Time t(ASN1_GENERALIZEDTIME_new());
    return t && ASN1_STRING_set(t.get(), text.data(), static_cast<int>(text.size())) == 1 &&
           ASN1_GENERALIZEDTIME_check(t.get()) == 1;
}

// The signer's private key may only be used inside its privateKeyUsagePeriod, when the
// certificate has one. 0, or 22 with the reason logged.
int check_private_key_usage_period(X509* cert) {
    static const char* const kFn = "ssf_load_cert_and_key";
    if (X509_get_ext_by_NID(cert, NID_private_key_usage_period, -1) < 0) return 0;
    ossl::UsagePeriod period(static_cast<PKEY_USAGE_PERIOD*>(
        X509_get_ext_d2i(cert, NID_private_key_usage_period, nullptr, nullptr)));
    const time_t now = platform::now();
    // 1: the period's time is later than now, -1 earlier, 0 equal, -2 unreadable.
    const int before =
        period && period->notBefore ? ASN1_TIME_cmp_time_t(period->notBefore, now) : 0;
    const int after = period && period->notAfter ? ASN1_TIME_cmp_time_t(period->notAfter, now) : 0;
    if (!period || before == -2 || after == -2) {
        log_error("%s() : X509_get_ext_d2i( NID_private_key_usage_period ) failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_UNKNOWN_SIGNER;
    }
    if (before > 0) {
        log_error("%s() : PrivateKeyUsagePeriod is not begin yet", kFn);
        return SSF_RESULT_UNKNOWN_SIGNER;
    }
    if (after < 0) {
        log_error("%s() : PrivateKeyUsagePeriod is expired", kFn);
        return SSF_RESULT_UNKNOWN_SIGNER;
    }
    return 0;
}

// Reads the certificate of the file pair; messages as the PEM loader of the crypto tools.
ossl::X509Ptr load_cert(const char* path, PasswordCbData* cb, FileRead& read) {
    ossl::Bio in = open_file_bio(path);
    if (!in) {
        log_error("%s() : Error opening %s '%s'", "load_cert", "signer certificate", path);
        return nullptr;
    }
    read.before = file_id_of(in.get());
    ossl::X509Ptr cert(PEM_read_bio_X509_AUX(in.get(), nullptr, ssf_password_cb, cb));
    if (!cert) log_error("%s() : unable to load certificate", "load_cert");
    read.after = file_id_of(in.get());
    return cert;
}

ossl::PKey load_key(const char* path, PasswordCbData* cb, FileRead& read) {
    ossl::Bio in = open_file_bio(path);
    if (!in) return nullptr;
    read.before = file_id_of(in.get());
    ossl::PKey key(PEM_read_bio_PrivateKey(in.get(), nullptr, ssf_password_cb, cb));
    read.after = file_id_of(in.get());
    return key;
}

// The profile parsed earlier from these files, when none of them has changed since.
std::optional<Profile> find_profile(ProfileKey& cached, std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
        std::optional<FileId> id = file_id_of(path);
        if (!id) return std::nullopt;
        cached.files.push_back(*id);
    }
    std::optional<Profile> hit = profile_cache_find(cached);
    cached.files.clear();
    return hit;
}

// Opens and parses a PKCS#12 file: 0, or the result code with the reason logged. A parse of a
// file that stayed the same throughout is kept for later calls.
int read_p12(const char* path, const Password& password, ProfileKey& cached,
             ossl::X509Ptr& cert_out, ossl::PKey& key_out) {
    static const char* const kFn = "ssf_load_cert_and_key_p12";
    ossl::Bio in = open_file_bio(path);
    if (!in) {
        log_error("%s() 1 : BIO_new_file( '%s', 'rb' ) failed", kFn, path ? path : "(null)");
        log_crypto_errors();
        return SSF_RESULT_PROFILE_NOT_FOUND;
    }
    FileRead read;
    read.before = file_id_of(in.get());
    ossl::Pkcs12 p12(d2i_PKCS12_bio(in.get(), nullptr));
    read.after = file_id_of(in.get());
    if (!p12) {
        log_error("%s() 2 : d2i_PKCS12_bio( file_name = '%s' ) failed", kFn, path);
        log_crypto_errors();
        return SSF_RESULT_PROFILE_UNUSABLE;
    }
    // The parse takes the password as a C string and would see only what comes before a NUL.
    if (!password.fits_c_string()) {
        log_error("%s() 3 : the password holds a NUL byte, so it cannot be the right one", kFn);
        return SSF_RESULT_INVALID_PASSWORD;
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    if (PKCS12_parse(p12.get(), password.data(), &key, &cert, nullptr) != 1) {
        log_error("%s() 3 : PKCS12_parse() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_INVALID_PASSWORD;
    }
    // A successful parse leaves a decoder error behind; it must not surface in a later dump.
    ERR_clear_error();
    cert_out.reset(cert);
    key_out.reset(key);
    if (!cert || !key) {
        log_write("%s() 4 : key = 0x%lx, cert = 0x%lx", kFn, ptr_bits(key), ptr_bits(cert));
        return SSF_RESULT_INVALID_PASSWORD;
    }
    if (read.stable()) {
        cached.files = {*read.after};
        profile_cache_store(cached, cert, key);
    }
    return 0;
}

}  // namespace

int ssf_password_cb(char* buf, int size, int rwflag, void* userdata) {
    auto* data = static_cast<PasswordCbData*>(userdata);
    if (!buf || size <= 0 || !data || !data->password || !data->password->given()) return 0;
    const Password& password = *data->password;
    // Cut to the room or to what comes before a NUL, it would be a password nobody gave.
    if (!password.fits_c_string()) {
        data->refused = PasswordRefusal::nul_byte;
        return -1;
    }
    if (password.size() > static_cast<size_t>(size)) {
        data->refused = PasswordRefusal::too_long;
        return -1;
    }
    std::memcpy(buf, password.data(), password.size());
    return static_cast<int>(password.size());
}

int check_cert_and_key(X509* cert, EVP_PKEY* key, const char* identity) {
    static const char* const kFn = "check_cert_and_key";
    const std::optional<std::string> name = orb_x509_get_name_from_X509(cert);
    if (!name) log_error("%s() 1 : cert_name is NULL", kFn);
    const char* id = identity ? identity : "";
    // An empty identity names no certificate: it must never select whatever key is at hand.
    if (*id && compare_sha1id_and_rcpid(cert, id) == 0) {
        log_write("%s() : certificate found by SHA1 ID", kFn);
    } else if (!*id || !name || *name != id) {
        log_error("%s() 2 : cert_name( '%s' ) and cert_id ( '%s' ) don't match", kFn,
                  name ? name->c_str() : "(null)", id);
        return SSF_RESULT_UNKNOWN_SIGNER;
    }
    if (!key || X509_check_private_key(cert, key) != 1) {
        log_error("%s() 3 : X509_check_private_key() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_PROFILE_UNUSABLE;
    }
    return 0;
}

int ssf_load_cert_and_key_p12(const char* path, const Password& password, const char* identity,
                              SigRcpSsfInfo* info, int is_signer, ossl::X509Ptr& cert_out,
                              ossl::PKey& key_out) {
    static const char* const kFn = "ssf_load_cert_and_key_p12";
    log_debug(
        "%s() begin, p12_file = 0x%lx, password = 0x%lx, signer = 0x%lx, is_signer = %d, ppCert = "
        "0x%lx, ppKey = 0x%lx",
        kFn, ptr_bits(path), ptr_bits(password.data()), ptr_bits(info), is_signer,
        ptr_bits(&cert_out), ptr_bits(&key_out));
    cert_out.reset();
    key_out.reset();
    int result = 0;
    ProfileKey cached{std::string("p12:") + (path ? path : ""), {}, secret_digest(password)};
    if (std::optional<Profile> hit = find_profile(cached, {path})) {
        cert_out = std::move(hit->cert);
        key_out = std::move(hit->key);
    } else {
        result = read_p12(path, password, cached, cert_out, key_out);
    }
    if (result == 0) {
        if (int rc = check_cert_and_key(cert_out.get(), key_out.get(), identity); rc != 0) {
            log_error("%s() 4 : check_cert_and_key() failed", kFn);
            result = rc;
        }
    }
    if (result != 0) {
        cert_out.reset();
        key_out.reset();
        if (info) info->uResult = static_cast<SAP_UINT>(result);
    }
    const int rc = result ? failure_code(is_signer) : 0;
    log_debug("%s() end, rc = %d", kFn, rc);
    return rc;
}

int ssf_load_cert_and_key_file(const char* spec, const Password& password, const char* identity,
                               SigRcpSsfInfo* info, int is_signer, ossl::X509Ptr& cert_out,
                               ossl::PKey& key_out) {
    static const char* const kFn = "ssf_load_cert_and_key_file";
    log_debug(
        "%s() begin, cert_file = 0x%lx, password = 0x%lx, signer = 0x%lx, is_signer = %d, ppCert = "
        "0x%lx, ppKey = 0x%lx",
        kFn, ptr_bits(spec), ptr_bits(password.data()), ptr_bits(info), is_signer,
        ptr_bits(&cert_out), ptr_bits(&key_out));
    cert_out.reset();
    key_out.reset();
    const std::string text = spec ? spec : "";
    const size_t cut = text.find(kKeyFileSeparator);
    const std::string cert_path = text.substr(0, cut);
    const std::string key_path =
        cut == std::string::npos ? cert_path : text.substr(cut + std::strlen(kKeyFileSeparator));
    PasswordCbData cb{&password, key_path.c_str()};

    int result = 0;
    ProfileKey cached{
        "pem:" + cert_path + std::string(1, '\0') + key_path, {}, secret_digest(password)};
    if (std::optional<Profile> hit = find_profile(cached, {cert_path.c_str(), key_path.c_str()})) {
        cert_out = std::move(hit->cert);
        key_out = std::move(hit->key);
    } else if (FileRead cert_read;
               cert_out = load_cert(cert_path.c_str(), &cb, cert_read), !cert_out) {
        log_error("%s() 2 : load_cert( file_name = '%s' ) failed", kFn, cert_path.c_str());
        log_crypto_errors();
        result = SSF_RESULT_PROFILE_UNUSABLE;
    } else if (FileRead key_read; key_out = load_key(key_path.c_str(), &cb, key_read), !key_out) {
        if (cb.refused == PasswordRefusal::nul_byte)
            log_error("%s() 3 : the password holds a NUL byte, so it cannot be the right one", kFn);
        else if (cb.refused == PasswordRefusal::too_long)
            log_error("%s() 3 : the password is longer than a key file's password can be", kFn);
        log_error("%s() 3 : load_key( file_name = '%s' ) failed", kFn, key_path.c_str());
        log_crypto_errors();
        result = SSF_RESULT_PROFILE_UNUSABLE;
    } else if (cert_read.stable() && key_read.stable()) {
        cached.files = {*cert_read.after, *key_read.after};
        profile_cache_store(cached, cert_out.get(), key_out.get());
    }
    if (result == 0) {
        if (int rc = check_cert_and_key(cert_out.get(), key_out.get(), identity); rc != 0) {
            log_error("%s() 4 : check_cert_and_key() failed", kFn);
            result = rc;
        }
    }
    if (result == 0) return 0;
    cert_out.reset();
    key_out.reset();
    if (info) info->uResult = static_cast<SAP_UINT>(result);
    return failure_code(is_signer);
}

int ssf_load_cert_and_key(SigRcpSsfInfo* info, ossl::X509Ptr& cert_out, ossl::PKey& key_out,
                          int is_signer, ossl::X509Stack* chain_out) {
    static const char* const kFn = "ssf_load_cert_and_key";
    cert_out.reset();
    key_out.reset();
    if (chain_out) chain_out->reset();
    const int failed = failure_code(is_signer);
    // Every failure goes through here: result code into the record, outputs released.
    auto fail = [&](SAP_UINT result, int rc) {
        if (info) info->uResult = result;
        cert_out.reset();
        key_out.reset();
        if (chain_out) chain_out->reset();
        return rc;
    };

    if (!info || !sap_given(info->strSigRcpProfile, info->strSigRcpProfileL)) {
        log_error("%s() 1 : Error: signer->strSigRcpProfile = %#lX, signer->strSigRcpProfileL = %d",
                  kFn, info ? ptr_bits(info->strSigRcpProfile) : 0ul,
                  info ? static_cast<int>(info->strSigRcpProfileL) : 0);
        return fail(SSF_RESULT_PROFILE_NOT_FOUND, failed);
    }
    ossl::Text profile(
        get_sz_string_from_sap_string(info->strSigRcpProfile, info->strSigRcpProfileL));
    if (!profile) {
        log_error("%s() 2 : get_sz_string_from_sap_string( '%s', %d ) failed", kFn, "",
                  info->strSigRcpProfileL);
        return fail(SSF_RESULT_PROFILE_NOT_FOUND, failed);
    }

    const char* source = profile.get();
    if (config().use_profile_timestamp) {
        // These two fail with the signer code whoever the record belongs to.
        if (std::strlen(profile.get()) <= kProfileTimeLength) {
            log_error("%s() 3 : profile '%s' is too short (use_profile_timestamp is 'on')", kFn,
                      profile.get());
            return fail(SSF_RESULT_PROFILE_NOT_FOUND, SSF_RC_SIGNER_FAILED);
        }
        if (!valid_profile_time(profile.get())) {
            log_error(
                "%s() 4 : profile '%s' contains invalid timestamp (use_profile_timestamp is 'on')",
                kFn, profile.get());
            return fail(SSF_RESULT_PROFILE_UNUSABLE, SSF_RC_SIGNER_FAILED);
        }
        source += kProfileTimeLength;
    }

    // Every byte of the password within the length given counts, NUL bytes included.
    Password password;
    if (info->strSigRcpPassword && info->strSigRcpPasswordL != 0) {
        // Copied once, straight from the record: each further copy of a secret is one more to
        // wipe.
        const Bytes given = sap_text(info->strSigRcpPassword, info->strSigRcpPasswordL);
        password = Password(given.data(), given.size());
    } else {
        log_write("%s() : password not provided, default password will be used", kFn);
        if (const auto& d = config().default_password) password = Password(d->data(), d->size());
    }

    if (config().use_profile_password_encryption) {
        Password plain =
            DecryptPassword(password.given() ? std::string_view(password.data(), password.size())
                                             : std::string_view());
        if (!plain.given()) {
            log_error("%s() 6 : failed to decrypt password", kFn);
            return fail(SSF_RESULT_INVALID_PASSWORD, failed);
        }
        log_write("%s() : password decrypted successfully", kFn);
        password = std::move(plain);
    }

    ossl::Text id_copy(get_sz_string_from_sap_string(info->strSigRcpId, info->strSigRcpIdL));
    if (!id_copy) {
        log_error("%s() 7 : get_sz_string_from_sap_string( '%s', %d ) failed", kFn, "",
                  info->strSigRcpIdL);
        return fail(SSF_RESULT_UNKNOWN_SIGNER, failed);
    }
    std::string identity = id_copy.get();
    log_debug("%s() : profile_name = '%s'", kFn, source);

    if (is_snils(identity.c_str(), -1)) {
        std::optional<std::string> fingerprint =
            hok_get_single_fingerprint_by_snils(identity.c_str());
        if (!fingerprint) {
            log_error("%s() 8: hok_get_single_fingerprint_by_snils( '%s' ) failed", kFn,
                      identity.c_str());
            return fail(SSF_RESULT_UNKNOWN_SIGNER, failed);
        }
        identity = *fingerprint;
    }

    int rc;
    if (std::strncmp(source, kTokenPrefix, std::strlen(kTokenPrefix)) == 0)
        rc = ssf_load_cert_and_key_token(source + std::strlen(kTokenPrefix), password,
                                         identity.c_str(), info, is_signer, cert_out, key_out);
    else if (std::strncmp(source, kCertFilePrefix, std::strlen(kCertFilePrefix)) == 0)
        rc = ssf_load_cert_and_key_file(source + std::strlen(kCertFilePrefix), password,
                                        identity.c_str(), info, is_signer, cert_out, key_out);
    else
        rc = ssf_load_cert_and_key_p12(source, password, identity.c_str(), info, is_signer,
                                       cert_out, key_out);
    if (rc != 0) {
        log_error("%s() 9 : ssf_load_cert_and_key_p12( '%s' ) failed", kFn, source);
        cert_out.reset();
        key_out.reset();
        return rc;
    }
    if (!cert_out || !key_out) {
        log_error("%s() 10 : ssf_load_cert_and_key_p12() succeeded, but cert = 0x%lx, key = 0x%lx",
                  kFn, ptr_bits(cert_out.get()), ptr_bits(key_out.get()));
        return fail(SSF_RESULT_UNKNOWN_SIGNER, failed);
    }
    if (!is_signer) return 0;

    if (int r = check_private_key_usage_period(cert_out.get()); r != 0)
        return fail(r, SSF_RC_SIGNER_FAILED);
    const Config& c = config();
    if (IsCertificateValid(cert_out.get(), c.check_chain, c.check_crl, chain_out) != 1) {
        log_error("%s() 11 : IsCertificateValid() failed for '%s'", kFn,
                  one_line_subject(cert_out.get()).c_str());
        return fail(SSF_RESULT_CERT_NOT_FOUND, SSF_RC_SIGNER_FAILED);
    }
    return 0;
}

}  // namespace ssf
