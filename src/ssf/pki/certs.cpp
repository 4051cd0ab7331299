#include "ssf/pki/certs.h"

#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/files.h"
#include "platform/winstub.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/net/hok.h"
#include "ssf/pki/cache.h"
#include "ssf/pki/cert_verify.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

constexpr int kUnknownSigner = SSF_RESULT_UNKNOWN_SIGNER;
// Identities that do not fit the lookup text are refused rather than cut: a cut identity would
// select whichever certificate its prefix happens to match.
constexpr size_t kRecipientIdMax = 1023;

// Certificates carry no password; the crypto library's default callback would ask the terminal.
int no_password_cb(char*, int, int, void*) {
    return 0;
}

// The bare Base64 form: the file is the body of a PEM certificate without its two frame lines.
ossl::X509Ptr read_bare_base64(BIO* file) {
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    char piece[1024];
    for (int n; (n = BIO_read(file, piece, sizeof piece)) > 0;)
        pem.append(piece, static_cast<size_t>(n));
    if (pem.back() != '\n') pem += '\n';
    pem += "-----END CERTIFICATE-----\n";
    ossl::Bio mem(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!mem) return nullptr;
    return ossl::X509Ptr(PEM_read_bio_X509(mem.get(), nullptr, no_password_cb, nullptr));
}

// Names of the directory's entries, sorted so that "the first certificate in the directory"
// means the same on every file system. 0, or the error number of a directory that cannot be read.
int list_directory(const std::string& directory, std::vector<std::string>& names) {
    DIR* d = ::opendir(directory.c_str());
    if (!d) return errno;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return 0;
}

// Every certificate of the list as a trust anchor of the store, in one pass. Adding them one at
// a time costs a sort of the store's objects per certificate; here they are sorted once. The
// same certificate twice is kept once, as the store's own addition does.
void add_trusted_certs(X509_STORE* store, STACK_OF(X509) * certs) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    std::unordered_set<std::string> seen;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (!c || X509_digest(c, EVP_sha1(), md, &len) != 1) {
            // A certificate the list cannot tell apart goes the slow way.
            ERR_clear_error();
            X509_STORE_add_cert(store, c);
            continue;
        }
        if (!seen.emplace(reinterpret_cast<const char*>(md), len).second) continue;
        ossl::X509Object o(X509_OBJECT_new());
        if (o && X509_OBJECT_set1_X509(o.get(), c) == 1 &&
            sk_X509_OBJECT_push(objects, o.get()) > 0)
            o.release();
    }
    sk_X509_OBJECT_sort(objects);
}

// Subject texts kept on the certificate object: recoding a name costs more than the rest of a
// directory lookup. A text is kept only when its recoding succeeded, and used only while the
// subject and the server encoding are the ones it was made from.
struct NameText {
    std::string encoding, subject_der, text;
};
std::mutex g_name_text_mutex;  // a certificate's extra data is no place for two writers

void free_name_text(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<NameText*>(ptr);
}
int name_text_index() {
    static const int index =
        CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509, 0, nullptr, nullptr, nullptr, free_name_text);
    return index;
}
std::string subject_der(X509* cert) {
    const unsigned char* der = nullptr;
    size_t len = 0;
    if (X509_NAME_get0_der(X509_get_subject_name(cert), &der, &len) != 1) return std::string();
    return std::string(reinterpret_cast<const char*>(der), len);
}

std::optional<std::string> kept_name_text(X509* cert, const char* encoding) {
    const int index = name_text_index();
    if (index < 0) return std::nullopt;
    std::lock_guard<std::mutex> lock(g_name_text_mutex);
    const auto* kept = static_cast<const NameText*>(X509_get_ex_data(cert, index));
    if (!kept || kept->encoding != encoding || kept->subject_der != subject_der(cert))
        return std::nullopt;
    return kept->text;
}

void keep_name_text(X509* cert, const char* encoding, const std::string& text) {
    const int index = name_text_index();
    if (index < 0) return;
    auto fresh = std::make_unique<NameText>(NameText{encoding, subject_der(cert), text});
    std::lock_guard<std::mutex> lock(g_name_text_mutex);
    auto* old = static_cast<NameText*>(X509_get_ex_data(cert, index));
    if (X509_set_ex_data(cert, index, fresh.get()) != 1) return;
    fresh.release();
    delete old;
}

bool same_files(const DirectorySnapshot& a, const DirectorySnapshot& b) {
    return a.files.size() == b.files.size() &&
           std::equal(a.files.begin(), a.files.end(), b.files.begin(),
                      [](const auto& x, const auto& y) {
                          return x.first == y.first && x.second.id == y.second.id &&
                                 x.second.cert == y.second.cert;
                      });
}

void raise_signers_error(int reason) {
    ERR_new();
    ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, "PKCS7_get0_signers");
    ERR_set_error(ERR_LIB_PKCS7, reason, nullptr);
}

enum class IdMatch { none, sha1, full };

// A directory certificate answers a recipient by its SHA-1 fingerprint or by a subject text that
// starts with the identity.
IdMatch match_identity(X509* cert, const std::string& subject, const std::string& lookup_key,
                       const std::string& identity) {
    if (compare_sha1id_and_rcpid(cert, lookup_key.c_str()) == 0) return IdMatch::sha1;
    if (!identity.empty() && subject.compare(0, identity.size(), identity) == 0)
        return IdMatch::full;
    return IdMatch::none;
}

}  // namespace

ossl::X509Ptr load_cert_from_file(const char* path) {
    return load_cert_from_file(path, nullptr);
}

ossl::X509Ptr load_cert_from_file(const char* path, FileId* stable_id) {
    static const char* const kFn = "load_cert_from_file";
    ossl::Bio file = open_file_bio(path);
    if (!file) {
        log_error("%s() 1 : failed to open file '%s'", kFn, path ? path : "(null)");
        ERR_clear_error();
        return nullptr;
    }
    FileRead read;
    read.before = file_id_of(file.get());
    unsigned char first = 0;
    if (BIO_read(file.get(), &first, 1) != 1 || BIO_seek(file.get(), 0) != 0) {
        log_error("%s() 2 : failed to read first byte from '%s'", kFn, path);
        ERR_clear_error();
        return nullptr;
    }
    ossl::X509Ptr cert;
    switch (first) {
        case 0x30:
            cert.reset(d2i_X509_bio(file.get(), nullptr));
            break;
        case '-':
            cert.reset(PEM_read_bio_X509(file.get(), nullptr, no_password_cb, nullptr));
            break;
        case 'M':
            cert = read_bare_base64(file.get());
            break;
        default:
            log_error("%s() 3 : unknown file format '%s', first byte = 0x%x", kFn, path, first);
            return nullptr;
    }
    if (!cert) {
        log_error("%s() 4 : failed to load certificate from file '%s'", kFn, path);
        log_crypto_errors();
        return cert;
    }
    read.after = file_id_of(file.get());
    if (stable_id && read.stable()) *stable_id = *read.after;
    return cert;
}

ossl::X509Stack load_certs_from_pab_orbssl(const char* directory) {
    static const char* const kFn = "load_certs_from_pab_orbssl";
    const std::string dir = directory ? directory : "";
    std::vector<std::string> names;
    if (int err = directory ? list_directory(dir, names) : EINVAL; err != 0) {
        log_error("%s() : FindFirstFileA( '%s' ) failed, GetLastError = %#x", kFn,
                  (dir + "/*.*").c_str(), static_cast<unsigned>(err));
        return nullptr;
    }
    ossl::X509Stack certs = ossl::new_x509_stack();
    if (!certs) return nullptr;
    // Files whose identity is unchanged since an earlier call keep the certificate parsed then;
    // the others are read as always, with the same lines logged.
    const std::shared_ptr<const DirectorySnapshot> known = directory_cache_find(dir);
    auto next = std::make_shared<DirectorySnapshot>();
    for (const auto& name : names) {
        const std::string path = dir + "/" + name;
        // Only regular files are read: a FIFO or device in the directory would block the caller.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        log_write("%s() : '%s'", kFn, name.c_str());
        const FileId listed = file_id_of(st);
        ossl::X509Ptr cert = ossl::up_ref(known->find(name, listed));
        bool keep = cert != nullptr;
        if (!cert) {
            FileId read{};
            cert = load_cert_from_file(path.c_str(), &read);
            keep = cert && read == listed;
        }
        if (!cert) continue;
        if (keep && next->files.size() < kDirectoryCacheCertificates)
            next->files.emplace_back(name, DirectoryEntry{listed, ossl::up_ref(cert.get())});
        if (sk_X509_push(certs.get(), cert.get()) > 0) cert.release();
    }
    // An unchanged directory keeps its snapshot, and with it the trust store made for it.
    if (!same_files(*known, *next)) directory_cache_store(dir, std::move(next));
    return certs;
}

ossl::X509Stack load_certs_from_pab(const char* directory) {
    return load_certs_from_pab_orbssl(directory);
}

int LoadCertificatesFromPAB(ossl::X509StorePtr& store_out, const char* file_name,
                            size_t name_length) {
    store_out.reset(X509_STORE_new());
    if (!store_out || !file_name) return -1;
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store_out.get(), X509_LOOKUP_file());
    if (!lookup) return -1;
    platform::RegularFile file(std::string(file_name, strnlen(file_name, name_length)));
    if (!file) return -1;
    return X509_LOOKUP_load_file(lookup, file.name().c_str(), X509_FILETYPE_PEM) > 0 ? 1 : -1;
}

int get_cert_from_pab(STACK_OF(X509) * pab_certs, SigRcpSsfInfo* recipient,
                      ossl::X509Ptr& cert_out) {
    static const char* const kFn = "get_cert_from_pab";
    cert_out.reset();
    if (!pab_certs || !recipient) {
        log_error("%s() 1 : pab_certs or recip or cert is NULL", kFn);
        return kUnknownSigner;
    }
    const SAP_UINT id_len = recipient->strSigRcpIdL;
    if (static_cast<int32_t>(id_len) > static_cast<int32_t>(kRecipientIdMax)) {
        log_error("%s() : recipient identity of %u bytes is longer than %zu bytes", kFn, id_len,
                  kRecipientIdMax);
        return kUnknownSigner;
    }
    ossl::Text copy(get_sz_string_from_sap_string(recipient->strSigRcpId, id_len));
    if (!copy) return kUnknownSigner;
    const std::string identity = copy.get();
    log_write("%s() : current recipient = '%s'", kFn, identity.c_str());
    log_hexdump(recipient->strSigRcpId, static_cast<int32_t>(id_len) > 0 ? id_len : 0,
                "strSigRcpId");

    std::string lookup_key = identity;
    bool have_fingerprint = false;
    if (is_snils(identity.c_str(), -1)) {
        log_write("%s() : '%s' is snils", kFn, identity.c_str());
        std::vector<std::string> fingerprints;
        if (int rc = hok_get_fingerprint_by_snils(identity.c_str(), &fingerprints); rc != 0) {
            log_error("%s() 2 : hok_get_fingerprint_by_snils( '%s' ) failed", kFn,
                      identity.c_str());
            return rc;
        }
        if (!fingerprints.empty() && !fingerprints.front().empty()) {
            lookup_key = fingerprints.front();
            have_fingerprint = true;
        }
    }
    // An empty identity would be a prefix of every subject: it names nobody.
    if (!have_fingerprint && (identity.empty() || check_sig_rcp_id(recipient) == -1)) {
        log_error("%s() 3 : unknown recipient: '%s'", kFn, identity.c_str());
        return kUnknownSigner;
    }

    X509* found = nullptr;
    for (int i = 0; i < sk_X509_num(pab_certs) && !found; ++i) {
        X509* c = sk_X509_value(pab_certs, i);
        const std::optional<std::string> name = orb_x509_get_name_from_X509(c);
        if (!name) {
            log_error("%s() 4 : cert_name is NULL", kFn);
            continue;
        }
        if (const IdMatch m = match_identity(c, *name, lookup_key, identity); m != IdMatch::none) {
            log_write(m == IdMatch::sha1 ? "%s() : certificate found by SHA1 ID"
                                         : "%s() : certificate found by full ID",
                      kFn);
            found = c;
        }
    }
    ossl::X509Ptr cert = ossl::up_ref(found);
    if (!cert) {
        if (int rc = hok_get_cert_by_fingerprint(lookup_key.c_str(), &cert); rc != 0 || !cert) {
            log_error("%s() 5 : hok_get_cert_by_fingerprint() failed", kFn);
            return rc ? rc : static_cast<int>(SSF_RESULT_CERT_NOT_FOUND);
        }
        // The service is reached over unverified TLS or plain HTTP: a certificate it hands out
        // is used only when it is the one asked for, by the same rules as a directory match.
        const std::optional<std::string> name = orb_x509_get_name_from_X509(cert.get());
        std::string key = lookup_key;
        for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (match_identity(cert.get(), name.value_or(""), key, identity) == IdMatch::none) {
            log_error("%s() 5 : the web service's certificate does not match '%s'", kFn,
                      lookup_key.c_str());
            return SSF_RESULT_CERT_NOT_FOUND;
        }
    }
    const Config& c = config();
    if (IsCertificateValid(cert.get(), c.check_chain, c.check_crl, nullptr) != 1)
        log_error("%s() 6 : IsCertificateValid() failed for '%s'", kFn,
                  one_line_subject(cert.get()).c_str());
    cert_out = std::move(cert);
    return 0;
}

int GetCertificateTrustedStatus(X509* cert, STACK_OF(X509) * pab_certs, time_t time) {
    static const char* const kFn = "GetCertificateTrustedStatus";
    log_debug("%s() start, signer = %#lx, pab_certs = %#lx", kFn, ptr_bits(cert),
              ptr_bits(pab_certs));
    int rc = kUnknownSigner;
    auto build = [&] {
        ossl::X509StorePtr made(X509_STORE_new());
        if (made) add_trusted_certs(made.get(), pab_certs);
        return made;
    };
    // A directory read from the cache has its store made once; any other list gets its own.
    ossl::X509StorePtr store = shared_trust_store(pab_certs, build);
    if (!store) store = build();
    if (!store) {
        log_error("%s() : X509_STORE_new() failed", kFn);
        return rc;
    }
    // Each subject is printed only for a debug log that takes it.
    for (int i = 0; log_debug_mode() && i < sk_X509_num(pab_certs); ++i)
        log_debug("%s() : cert [ %d ] : '%s'", kFn, i,
                  one_line_subject(sk_X509_value(pab_certs, i)).c_str());
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, nullptr) != 1) {
        log_error("%s() : X509_STORE_CTX_new() failed: %s", kFn,
                  oldest_crypto_error_text().c_str());
        return rc;
    }
    X509_STORE_CTX_set_time(ctx.get(), 0, time == -1 ? platform::now() : time);
    if (X509_verify_cert(ctx.get()) != 1) {
        int err = X509_STORE_CTX_get_error(ctx.get());
        log_error("%s() : certificate is invalid: %s (%d)", kFn, X509_verify_cert_error_string(err),
                  err);
        ERR_clear_error();
        rc = (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CRL_NOT_YET_VALID)
                 ? static_cast<int>(SSF_RESULT_CERT_EXPIRED)
                 : kUnknownSigner;
        log_debug("%s() end, retcode = %d", kFn, rc);
        return rc;
    }
    rc = 0;
    if (config().check_crl) {
        int r = check_for_revocation(cert, ctx.get(), config().crl_protocols, nullptr);
        if (r < 0) {
            log_error("%s() : check_for_revocation() failed: %s", kFn,
                      oldest_crypto_error_text().c_str());
            rc = kUnknownSigner;
        } else if (r == 0) {
            log_write("%s() : certificate has been revoked", kFn);
            rc = kUnknownSigner;
        } else {
            log_write("%s() : certificate has not been revoked", kFn);
        }
    }
    log_debug("%s() end, retcode = %d", kFn, rc);
    return rc;
}

ossl::X509Stack ssf_PKCS7_get0_signers(PKCS7* p7, STACK_OF(X509) * pab_certs, int flags) {
    if (!p7) {
        raise_signers_error(ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign) {
        raise_signers_error(PKCS7_R_WRONG_CONTENT_TYPE);
        return nullptr;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0) {
        raise_signers_error(PKCS7_R_NO_SIGNERS);
        return nullptr;
    }
    ossl::X509Stack signers = ossl::new_x509_stack();
    if (!signers) {
        raise_signers_error(ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    STACK_OF(X509)* included = p7->d.sign->cert;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
        PKCS7_ISSUER_AND_SERIAL* ias = sk_PKCS7_SIGNER_INFO_value(infos, i)->issuer_and_serial;
        X509* found = nullptr;
        if (ias) {
            found = X509_find_by_issuer_and_serial(pab_certs, ias->issuer, ias->serial);
            if (!found && !(flags & PKCS7_NOINTERN))
                found = X509_find_by_issuer_and_serial(included, ias->issuer, ias->serial);
        }
        // Entry i always belongs to SignerInfo i; an unknown signer keeps an empty place.
        ossl::X509Ptr entry = ossl::up_ref(found);
        if (sk_X509_push(signers.get(), entry.get()) <= 0) {
            raise_signers_error(ERR_R_MALLOC_FAILURE);
            return nullptr;
        }
        entry.release();
    }
    return signers;
}

X509* sole_signer(std::initializer_list<const STACK_OF(X509) *> lists,
                  const PKCS7_ISSUER_AND_SERIAL* ias, bool* ambiguous) {
    if (ambiguous) *ambiguous = false;
    if (!ias || !ias->issuer || !ias->serial) return nullptr;
    X509* found = nullptr;
    for (const STACK_OF(X509) * certs : lists) {
        for (int i = 0; i < sk_X509_num(certs); ++i) {
            X509* c = sk_X509_value(certs, i);
            if (X509_NAME_cmp(X509_get_issuer_name(c), ias->issuer) != 0 ||
                ASN1_INTEGER_cmp(X509_get0_serialNumber(c), ias->serial) != 0)
                continue;
            if (!found) {
                found = c;
            } else if (X509_cmp(found, c) != 0) {
                if (ambiguous) *ambiguous = true;
                return nullptr;
            }
        }
    }
    return found;
}

std::optional<std::string> orb_x509_get_name_from_X509(X509* cert) {
    if (!cert) return std::nullopt;
    const char* to = config().server_encoding.c_str();
    if (std::optional<std::string> kept = kept_name_text(cert, to)) return kept;
    ossl::Bio mem(BIO_new(BIO_s_mem()));
    if (!mem) return std::nullopt;
    // Reversed order, ", " and " + " separators, short names, no escaping: the subject as the
    // host writes identities.
    constexpr unsigned long kFlags = XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV;
    if (X509_NAME_print_ex(mem.get(), X509_get_subject_name(cert), 0, kFlags) < 0)
        return std::nullopt;
    char* data = nullptr;
    long n = BIO_get_mem_data(mem.get(), &data);
    std::string text(data ? data : "", n > 0 ? static_cast<size_t>(n) : 0);
    if (text.empty()) return text;
    std::string converted(kIconvMaxOutput, '\0');
    int len =
        iconv_convert("UTF-8", to, text.data(), static_cast<int>(text.size()), converted.data());
    if (len < 0) {
        log_write("%s() : failed to recode '%s' from 'UTF-8' to '%s'",
                  "orb_x509_get_name_from_X509", text.c_str(), to);
        return text;
    }
    converted.resize(static_cast<size_t>(len));
    keep_name_text(cert, to, converted);
    return converted;
}

std::string calc_sha1id(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!cert || X509_digest(cert, EVP_sha1(), md, &len) != 1 || len != 20) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(59);
    for (unsigned i = 0; i < len; ++i) {
        if (i) text += ' ';
        text += kHex[md[i] >> 4];
        text += kHex[md[i] & 15];
    }
    return text;
}

std::string one_line_subject(X509* cert) {
    if (!cert) return std::string();
    char buf[1024];
    if (!X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf)) return std::string();
    return buf;
}

int IsCertificateValid(X509* cert, int check_chain, int check_crl, ossl::X509Stack* chain_out) {
    return verify_certificate(cert, check_crl, check_chain, config().crl_protocols, chain_out);
}

}  // namespace ssf
