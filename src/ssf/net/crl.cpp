#include "ssf/net/crl.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cryptoext/crl_issuer.h"
#include "cryptoext/objects.h"
#include "platform/files.h"
#include "platform/winstub.h"
#include "ssf/base64.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

std::once_flag g_curl_once;
std::atomic<int> g_curl_init{CURLE_FAILED_INIT};
std::atomic<bool> g_curl_up{false};

std::mutex g_limits_mutex;
CrlDownloadLimits g_limits;

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using CurlEasy = std::unique_ptr<CURL, CurlDeleter>;

// The received body, never longer than the download limit.
struct DownloadBuffer {
    std::vector<unsigned char> data;
    size_t limit = 0;
};

// libcurl's LDAP transfers close their socket twice: the LDAP library closes it as it frees its
// connection, then libcurl closes the same number again. Meanwhile another thread of the host
// may have been given that number (a log file, another download, a file of the host's own), and
// the second close would take it from under it. So a transfer opens its sockets itself, keeps a
// duplicate of each, and closes a number only while it still names that socket. Outlives the
// transfer's handle, whose clean-up closes what is left.
struct OwnSockets {
    std::vector<std::pair<curl_socket_t, int>> open;  // a socket, and the duplicate kept of it
    OwnSockets() = default;
    OwnSockets(const OwnSockets&) = delete;
    OwnSockets& operator=(const OwnSockets&) = delete;
    ~OwnSockets() {
        for (const auto& socket : open) ::close(socket.second);
    }
};

// Called from inside libcurl, as close_own_socket is: nothing may be thrown through either.
curl_socket_t open_own_socket(void* data, curlsocktype, curl_sockaddr* address) {
    auto* own = static_cast<OwnSockets*>(data);
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    try {
        if (keep >= 0) {
            own->open.emplace_back(fd, keep);
            return fd;
        }
    } catch (...) {
        ::close(keep);
    }
    ::close(fd);
    return CURL_SOCKET_BAD;
}

// Whether fd still names the socket kept open as keep. The kernel compares the two without fd
// being used as a descriptor: by now it may be another thread's file, not ours to touch.
bool still_ours(int fd, int keep) {
    const pid_t self = ::getpid();
    const long same = ::syscall(SYS_kcmp, self, self, KCMP_FILE, fd, keep);
    if (same >= 0 || errno == EBADF) return same == 0;
    // Without kcmp, the duplicate holds the socket, so nothing else can have its identity.
    struct stat named {};
    struct stat kept {};
    return ::fstat(fd, &named) == 0 && ::fstat(keep, &kept) == 0 && named.st_dev == kept.st_dev &&
           named.st_ino == kept.st_ino;
}

int close_own_socket(void* data, curl_socket_t fd) {
    auto* own = static_cast<OwnSockets*>(data);
    const auto it = std::find_if(own->open.begin(), own->open.end(),
                                 [fd](const auto& socket) { return socket.first == fd; });
    if (it == own->open.end()) return ::close(fd);
    if (still_ours(fd, it->second)) ::close(fd);
    ::close(it->second);
    own->open.erase(it);
    return 0;
}

// Called from inside libcurl: nothing may be thrown through it. Returning less than offered
// makes libcurl end the transfer with an error.
size_t WriteMemoryCallback(void* data, size_t size, size_t count, void* buffer) {
    static const char* const kFn = "WriteMemoryCallback";
    auto* b = static_cast<DownloadBuffer*>(buffer);
    const size_t have = b->data.size();
    const bool overflows = size != 0 && count > (SIZE_MAX - have - 1) / size;
    const size_t n = overflows ? 0 : size * count;
    auto cannot_grow = [&] {
        const size_t wanted = overflows ? SIZE_MAX : have + n + 1;
        log_error("%s() : myrealloc( new size = %d ) failed", kFn,
                  static_cast<int>(std::min<size_t>(wanted, INT_MAX)));
        return size_t{0};
    };
    if (overflows || n > b->limit - have) {
        log_error("%s() : the download is larger than %zu bytes", kFn, b->limit);
        return cannot_grow();
    }
    try {
        const auto* p = static_cast<const unsigned char*>(data);
        b->data.insert(b->data.end(), p, p + n);
    } catch (const std::bad_alloc&) {
        return cannot_grow();
    }
    return n;
}

// The URL's scheme in lower case ("http" in "HTTP://host/"), or "" when it names none.
std::string scheme_of(const char* url) {
    const char* sep = std::strstr(url, "://");
    if (!sep || sep == url || !std::isalpha(static_cast<unsigned char>(*url))) return {};
    std::string scheme;
    for (const char* p = url; p < sep; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
        scheme += static_cast<char>(std::tolower(c));
    }
    return scheme;
}

template <class T>
CURLcode set_option(CURL* curl, CURLoption option, T value) {
    return curl_easy_setopt(curl, option, value);
}

// Every option of one download. The designed four come first with their own log lines; the
// rest bound the download and keep libcurl on the URL's own scheme (a distribution point must
// not make it switch to another protocol), redirects included.
CURLcode set_options(CURL* curl, const char* url, DownloadBuffer& buffer, OwnSockets& sockets) {
    static const char* const kFn = "InstallCRLFromServer";
    struct Step {
        const char* line;
        CURLcode rc;
    };
    const Step designed[] = {
        {"%s() 6 : curl_easy_setopt() failed, code = %d", set_option(curl, CURLOPT_URL, url)},
        {"%s() 7 : curl_easy_setopt() failed, code = %d",
         set_option(curl, CURLOPT_WRITEFUNCTION, WriteMemoryCallback)},
        {"%s() 8 : curl_easy_setopt() failed, code = %d",
         set_option(curl, CURLOPT_WRITEDATA, static_cast<void*>(&buffer))},
        {"%s() 9 : curl_easy_setopt() failed, code = %d",
         set_option(curl, CURLOPT_USERAGENT, "libcurl-agent/1.0")},
    };
    for (const Step& s : designed) {
        if (s.rc != CURLE_OK) {
            log_error(s.line, kFn, static_cast<int>(s.rc));
            return s.rc;
        }
    }
    std::string scheme = scheme_of(url);
    if (scheme.empty()) scheme = "http";  // what libcurl assumes for a URL without one
    const CrlDownloadLimits limits = crl_download_limits();
    const struct {
        const char* name;
        CURLcode rc;
    } bounds[] = {
        {"CURLOPT_PROTOCOLS_STR", set_option(curl, CURLOPT_PROTOCOLS_STR, scheme.c_str())},
        {"CURLOPT_REDIR_PROTOCOLS_STR",
         set_option(curl, CURLOPT_REDIR_PROTOCOLS_STR, scheme.c_str())},
        {"CURLOPT_NOSIGNAL", set_option(curl, CURLOPT_NOSIGNAL, 1L)},
        {"CURLOPT_CONNECTTIMEOUT_MS",
         set_option(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms)},
        {"CURLOPT_TIMEOUT_MS", set_option(curl, CURLOPT_TIMEOUT_MS, limits.total_timeout_ms)},
        {"CURLOPT_MAXFILESIZE_LARGE",
         set_option(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_bytes))},
        {"CURLOPT_OPENSOCKETFUNCTION",
         set_option(curl, CURLOPT_OPENSOCKETFUNCTION, open_own_socket)},
        {"CURLOPT_OPENSOCKETDATA",
         set_option(curl, CURLOPT_OPENSOCKETDATA, static_cast<void*>(&sockets))},
        {"CURLOPT_CLOSESOCKETFUNCTION",
         set_option(curl, CURLOPT_CLOSESOCKETFUNCTION, close_own_socket)},
        {"CURLOPT_CLOSESOCKETDATA",
         set_option(curl, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(&sockets))},
    };
    for (const auto& b : bounds) {
        if (b.rc != CURLE_OK) {
            log_error("%s() : curl_easy_setopt( %s ) failed, code = %d", kFn, b.name,
                      static_cast<int>(b.rc));
            return b.rc;
        }
    }
    buffer.limit = limits.max_bytes;
    return CURLE_OK;
}

struct CurlUrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlTextDeleter {
    void operator()(char* p) const { curl_free(p); }
};

// The local path of a file URL, read as libcurl reads the URL: the host empty, "localhost" or
// "127.0.0.1", the path percent-decoded. CURLE_OK or CURLE_URL_MALFORMAT.
CURLcode file_url_path(const char* url, std::string& path) {
    std::unique_ptr<CURLU, CurlUrlDeleter> u(curl_url());
    char* decoded = nullptr;
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(u.get(), CURLUPART_PATH, &decoded, CURLU_URLDECODE) != CURLUE_OK)
        return CURLE_URL_MALFORMAT;
    std::unique_ptr<char, CurlTextDeleter> owner(decoded);
    path = decoded;
    return CURLE_OK;
}

// libcurl's file protocol opens the file as it is and waits in open() when it is a FIFO, where
// its time-outs do not reach. The file is read here instead, as the library reads every file
// named to it: a regular file only, opened without waiting, within the download limit.
CURLcode read_file_url(const char* url, std::vector<unsigned char>& body) {
    static const char* const kFn = "InstallCRLFromServer";
    std::string path;
    CURLcode rc = file_url_path(url, path);
    if (rc == CURLE_OK) {
        platform::RegularFile file(path);
        std::string data;
        const int err = file ? file.read_all(data, crl_download_limits().max_bytes) : file.error();
        if (err == 0) {
            body.assign(data.begin(), data.end());
            return CURLE_OK;
        }
        char msg[256];
        log_error("%s() : '%s' cannot be read as a regular file, errno = %d (%s)", kFn,
                  path.c_str(), err, strerror_r(err, msg, sizeof msg));
        rc = err == EFBIG ? CURLE_FILESIZE_EXCEEDED : CURLE_FILE_COULDNT_READ_FILE;
    }
    log_error("%s() 10 : curl_easy_perform() failed, code = %d", kFn, static_cast<int>(rc));
    log_error("%s() : %s", kFn, curl_easy_strerror(rc));
    return rc;
}

bool starts_with_at(Bytes data, size_t pos, std::string_view s) {
    return pos <= data.size() && data.size() - pos >= s.size() &&
           std::memcmp(data.data() + pos, s.data(), s.size()) == 0;
}

// An LDIF value in Base64 from pos to the end of its line, continuation lines (a line end and
// one space) joined.
std::string ldif_base64(Bytes data, size_t pos) {
    std::string text;
    for (size_t i = pos; i < data.size(); ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\r') continue;
        if (c != '\n') {
            text += c;
            continue;
        }
        if (i + 1 < data.size() && data[i + 1] == ' ') {
            ++i;
            continue;
        }
        break;
    }
    return text;
}

ossl::X509Crl crl_or_log(X509_CRL* crl, const char* call) {
    if (!crl) {
        log_error("%s() : %s() failed", "download_crl", call);
        log_crypto_errors();
    }
    return ossl::X509Crl(crl);
}

X509_CRL* der_crl(const unsigned char* der, size_t size) {
    ossl::Bio mem(BIO_new_mem_buf(der, static_cast<int>(size)));
    return mem ? d2i_X509_CRL_bio(mem.get(), nullptr) : nullptr;
}

// The body as a CRL, told apart by its first byte; none (logged) when it is not one.
ossl::X509Crl parse_crl_body(const std::vector<unsigned char>& body) {
    static const char* const kFn = "download_crl";
    const unsigned char first = body.empty() ? 0 : body[0];
    if (first == 0x30) {
        log_write("%s() : crl is DER-encoded", kFn);
        return crl_or_log(der_crl(body.data(), body.size()), "d2i_X509_CRL_bio");
    }
    if (first == 'M') {
        // Our own Base64 codec: lines of any length, with or without a final line end. Either
        // step failing is the failure of reading the text as PEM, as it was designed.
        log_write("%s() : crl is Base64-encoded", kFn);
        OutData der;
        const bool decoded = base64_decode(der, Bytes(body.data(), body.size()), false) == 0;
        return crl_or_log(decoded ? der_crl(der.data.get(), der.size) : nullptr,
                          "PEM_read_bio_X509_CRL");
    }
    if (first == '-') {
        log_write("%s() : crl is PEM-encoded", kFn);
        ossl::Bio mem(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
        return crl_or_log(
            mem ? PEM_read_bio_X509_CRL(mem.get(), nullptr, nullptr, nullptr) : nullptr,
            "PEM_read_bio_X509_CRL");
    }
    log_info("%s() : unknown format: data[ 0 ] = 0x%02x (%c)", kFn, first,
             std::isprint(first) ? first : '.');
    return nullptr;
}

void free_text_list(list* l) {
    list_free(l, std::free);
}
using TextList = std::unique_ptr<list, decltype(&free_text_list)>;

TextList new_text_list() {
    return TextList(list_create(), free_text_list);
}

bool push_copy(list* l, const char* text) {
    char* copy = strdup(text);
    list_node* node = copy ? list_node_create(copy) : nullptr;
    if (!node) {
        std::free(copy);
        return false;
    }
    return list_push(l, node) == 1;
}

// The URIs of the full name of each point, in order (none for a point named otherwise).
using PointUrls = std::vector<std::vector<std::string>>;
PointUrls collect_uris(const CRL_DIST_POINTS* points, bool delta) {
    static const char* const kFn = "check_for_revocation";
    PointUrls out;
    for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
        if (delta) log_debug("%s() : processing delta crl dist point #%d", kFn, i);
        std::vector<std::string>& urls = out.emplace_back();
        const DIST_POINT* dp = sk_DIST_POINT_value(points, i);
        if (!dp->distpoint || dp->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = dp->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            if (delta) log_debug("%s() : process delta crl dist points name #%d", kFn, j);
            const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, j);
            if (gn->type != GEN_URI) continue;
            const ASN1_IA5STRING* uri = gn->d.uniformResourceIdentifier;
            std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                             static_cast<size_t>(ASN1_STRING_length(uri)));
            if (text.find('\0') != std::string::npos) continue;  // not a URL libcurl could take
            if (delta)
                log_debug("%s() : Delta CRL DP: '%s'", kFn, text.c_str());
            else
                log_write("%s() : found CDP '%s'", kFn, text.c_str());
            urls.push_back(std::move(text));
        }
    }
    return out;
}

// The URIs of all the points as one list, but those in skip; none when memory ran out.
TextList url_list(const PointUrls& points, const std::vector<std::string>& skip = {}) {
    TextList urls = new_text_list();
    for (const auto& point : points)
        for (const std::string& url : point)
            if (urls && std::find(skip.begin(), skip.end(), url) == skip.end() &&
                !push_copy(urls.get(), url.c_str()))
                urls.reset();
    return urls;
}

// A name for a message line: last RDN first, short field names, cut to 1023 characters.
std::string name_for_log(const X509_NAME* name) {
    ossl::Bio mem(BIO_new(BIO_s_mem()));
    if (!mem || X509_NAME_print_ex(mem.get(), name, 0, XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV) < 0)
        return std::string();
    char* data = nullptr;
    const long n = BIO_get_mem_data(mem.get(), &data);
    return std::string(data ? data : "", static_cast<size_t>(std::clamp(n, 0L, 1023L)));
}

bool is_delta(X509_CRL* crl) {
    return X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0;
}

// How a CRL's entry for a certificate counts. A hold in a complete CRL stands unless a delta
// that extends that CRL takes it off; removeFromCRL belongs in a delta, where it says only that
// the certificate is no longer listed (RFC 5280 5.3.1), and in a complete CRL, where it has no
// place, counts as a revocation. So does a reason that cannot be read.
enum class Listing { None, Revoked, Held, Released };

Listing listing_of(X509_CRL* crl, X509* cert) {
    X509_REVOKED* entry = nullptr;
    const int found = X509_CRL_get0_by_serial(
        crl, &entry, const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(cert)));
    if (found <= 0) return Listing::None;
    // Read from the entry: the library notes the reason only on a CRL it decoded.
    const ossl::Asn1Enumerated reason(static_cast<ASN1_ENUMERATED*>(
        X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, nullptr, nullptr)));
    switch (reason ? ASN1_ENUMERATED_get(reason.get()) : CRL_REASON_NONE) {
        case CRL_REASON_CERTIFICATE_HOLD:
            return is_delta(crl) ? Listing::Revoked : Listing::Held;
        case CRL_REASON_REMOVE_FROM_CRL:
            return is_delta(crl) ? Listing::Released : Listing::Revoked;
        default:
            return Listing::Revoked;
    }
}

// The revocation reasons of a ReasonFlags bit string, as the crypto library's verifier reads them
// (the first two octets).
unsigned reason_bits(const ASN1_BIT_STRING* flags) {
    const int n = ASN1_STRING_length(flags);
    const unsigned char* d = ASN1_STRING_get0_data(flags);
    unsigned bits = n > 0 ? d[0] : 0;
    if (n > 1) bits |= static_cast<unsigned>(d[1]) << 8;
    return bits & CRLDP_ALL_REASONS;
}

// Two distribution point names for the same CRL, compared as the crypto library's verifier
// compares them: a name relative to the issuer stands for the issuer's name with that RDN added
// (dpname), which may equal another relative name or a directoryName of a full name; two full
// names must have a name in common. dpname must have been set (DIST_POINT_set_dpname).
bool same_point(const DIST_POINT_NAME* a, const DIST_POINT_NAME* b) {
    if (a->type == 1 && b->type == 1)
        return a->dpname && b->dpname && X509_NAME_cmp(a->dpname, b->dpname) == 0;
    if (a->type == 1 || b->type == 1) {
        const X509_NAME* name = a->type == 1 ? a->dpname : b->dpname;
        const GENERAL_NAMES* full = a->type == 1 ? b->name.fullname : a->name.fullname;
        for (int i = 0; name && i < sk_GENERAL_NAME_num(full); ++i) {
            const GENERAL_NAME* gn = sk_GENERAL_NAME_value(full, i);
            if (gn->type == GEN_DIRNAME && X509_NAME_cmp(name, gn->d.directoryName) == 0)
                return true;
        }
        return false;
    }
    for (int i = 0; i < sk_GENERAL_NAME_num(a->name.fullname); ++i)
        for (int j = 0; j < sk_GENERAL_NAME_num(b->name.fullname); ++j)
            if (GENERAL_NAME_cmp(sk_GENERAL_NAME_value(a->name.fullname, i),
                                 sk_GENERAL_NAME_value(b->name.fullname, j)) == 0)
                return true;
    return false;
}

// A point of the certificate whose CRLs the CRL's issuer writes: it names no cRLIssuer (the
// certificate's issuer writes them), or names the CRL's issuer as one.
bool written_by(const DIST_POINT* dp, X509_CRL* crl) {
    if (!dp->CRLissuer) return true;
    for (int i = 0; i < sk_GENERAL_NAME_num(dp->CRLissuer); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(dp->CRLissuer, i);
        if (gn->type == GEN_DIRNAME &&
            X509_NAME_cmp(gn->d.directoryName, X509_CRL_get_issuer(crl)) == 0)
            return true;
    }
    return false;
}

// A relative point name stands for a name under the issuer: the cRLIssuer's directoryName when
// the point names one, else the certificate's issuer.
bool set_point_name(DIST_POINT* dp, X509* cert) {
    if (!dp->distpoint || dp->distpoint->type != 1) return true;
    const X509_NAME* issuer = X509_get_issuer_name(cert);
    for (int i = 0; i < sk_GENERAL_NAME_num(dp->CRLissuer); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(dp->CRLissuer, i);
        if (gn->type == GEN_DIRNAME) {
            issuer = gn->d.directoryName;
            break;
        }
    }
    return DIST_POINT_set_dpname(dp->distpoint, issuer) == 1;
}

// An extension for a line: the crypto library's long name and the identifier, or the identifier
// alone when the library does not know it.
std::string extension_name(X509_EXTENSION* ext) {
    const ASN1_OBJECT* type = X509_EXTENSION_get_object(ext);
    char oid[128];
    OBJ_obj2txt(oid, sizeof oid, type, 1);
    const int nid = OBJ_obj2nid(type);
    return nid == NID_undef ? std::string(oid)
                            : std::string("'") + OBJ_nid2ln(nid) + "' (" + oid + ")";
}

// The first critical extension among exts that is not one of known, or none.
X509_EXTENSION* unknown_critical(const STACK_OF(X509_EXTENSION) * exts,
                                 std::initializer_list<int> known) {
    for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
        X509_EXTENSION* e = sk_X509_EXTENSION_value(exts, i);
        const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(e));
        if (X509_EXTENSION_get_critical(e) &&
            std::find(known.begin(), known.end(), nid) == known.end())
            return e;
    }
    return nullptr;
}

std::string serial_text(const ASN1_INTEGER* serial) {
    ossl::Bn n(ASN1_INTEGER_to_BN(serial, nullptr));
    char* hex = n ? BN_bn2hex(n.get()) : nullptr;
    const std::string text = hex ? hex : "?";
    OPENSSL_free(hex);
    return text;
}

// A CRL of the right issuer, verified, that was not written for the certificate: an authority
// revocation list, a partition, or one for attribute certificates says nothing of it.
void log_scope_gap(const char* fn, X509_CRL* crl, X509* cert, const std::string& why) {
    log_error("%s() : a CRL of '%s' whose scope does not cover '%s' is not used: %s", fn,
              name_for_log(X509_CRL_get_issuer(crl)).c_str(),
              name_for_log(X509_get_subject_name(cert)).c_str(), why.c_str());
}

// Complete CRLs that could be used leave some reasons for revocation uncovered.
void log_some_reasons(const char* fn, X509* cert) {
    log_error("%s() : the CRLs of '%s' cover only some reasons for revocation: '%s' is not cleared",
              fn, name_for_log(X509_get_issuer_name(cert)).c_str(),
              name_for_log(X509_get_subject_name(cert)).c_str());
}

// The issuer a context's CRL checks use: the certificate above the target in the chain the
// context checked, which is the issuer whose key must have signed its CRLs; without a checked
// chain (the chain check is off), the store's certificate that issued the CRL.
X509* checked_issuer(X509_STORE_CTX* ctx) {
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    return sk_X509_num(chain) >= 2 && sk_X509_value(chain, 0) == X509_STORE_CTX_get0_cert(ctx)
               ? sk_X509_value(chain, 1)
               : nullptr;
}

ossl::X509Ptr crl_issuer(X509_STORE_CTX* ctx, X509_CRL* crl) {
    if (X509* above = checked_issuer(ctx))
        return ossl::up_ref(X509_check_crl_issuer(above, crl) == 1 ? above : nullptr);
    X509_OBJECT* found = nullptr;
    if (X509_STORE_CTX_get_crl_issuer(ctx, crl, &found) != 1) return nullptr;
    const ossl::X509Object held(found);
    return ossl::up_ref(X509_OBJECT_get0_X509(held.get()));
}

// Why the crypto library's CRL check would refuse a CRL by its issuer: one whose certificate
// limits its key's usage and leaves out CRL signing, or that the CRL's authority key identifier
// does not name. "" when neither.
std::string issuer_gap(X509_CRL* crl, X509* issuer) {
    if (!issuer) return "its issuer's certificate is not at hand";
    if ((X509_get_key_usage(issuer) & KU_CRL_SIGN) == 0)
        return "the keyUsage of its issuer's certificate does not allow CRL signing";
    if (X509_check_crl_issuer(issuer, crl) != 1)
        return "its authorityKeyIdentifier does not name the issuer's certificate";
    return {};
}

// Why the crypto library's CRL check would refuse a CRL for what it cannot read: a critical
// extension it does not process, of the CRL or of any entry, may change what the CRL or the entry
// means (RFC 5280 5.2, 5.3). "" when there is none.
std::string unprocessed_critical(X509_CRL* crl) {
    if (X509_EXTENSION* e = unknown_critical(
            X509_CRL_get0_extensions(crl),
            {NID_issuing_distribution_point, NID_authority_key_identifier, NID_delta_crl}))
        return "it carries the critical extension " + extension_name(e) +
               ", which is not processed";
    STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(crl);
    for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
        const X509_REVOKED* entry = sk_X509_REVOKED_value(entries, i);
        if (X509_EXTENSION* e =
                unknown_critical(X509_REVOKED_get0_extensions(entry), {NID_certificate_issuer}))
            return "its entry for serial number " +
                   serial_text(X509_REVOKED_get0_serialNumber(entry)) +
                   " carries the critical extension " + extension_name(e) +
                   ", which is not processed";
    }
    return {};
}

// crl, which verifies under the key of issuer, as the crypto library's CRL check would refuse it
// whatever its scope: false, with a line under fn's name saying why, when it would.
bool accepted_by_library(X509_CRL* crl, X509* issuer, X509* cert, const char* fn) {
    std::string why = issuer_gap(crl, issuer);
    if (why.empty()) why = unprocessed_critical(crl);
    if (why.empty()) return true;
    log_error("%s() : a CRL of '%s' is not used to clear '%s': %s", fn,
              name_for_log(X509_CRL_get_issuer(crl)).c_str(),
              name_for_log(X509_get_subject_name(cert)).c_str(), why.c_str());
    return false;
}

// The value of the CRL's extension nid (none without it). False when the CRL carries it twice,
// which the crypto library takes for a mismatch.
bool single_extension(X509_CRL* crl, int nid, const ASN1_OCTET_STRING*& value) {
    value = nullptr;
    const int at = X509_CRL_get_ext_by_NID(crl, nid, -1);
    if (at < 0) return true;
    if (X509_CRL_get_ext_by_NID(crl, nid, at) >= 0) return false;
    value = X509_EXTENSION_get_data(X509_CRL_get_ext(crl, at));
    return true;
}

// Both CRLs without extension nid, or with the same value of it.
bool same_extension(X509_CRL* a, X509_CRL* b, int nid) {
    const ASN1_OCTET_STRING *in_a = nullptr, *in_b = nullptr;
    if (!single_extension(a, nid, in_a) || !single_extension(b, nid, in_b)) return false;
    if (!in_a || !in_b) return in_a == in_b;
    return ASN1_OCTET_STRING_cmp(in_a, in_b) == 0;
}

ossl::Asn1Integer crl_integer(X509_CRL* crl, int nid) {
    return ossl::Asn1Integer(
        static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(crl, nid, nullptr, nullptr)));
}

// Why delta does not extend base for cert as the crypto library pairs a delta with its base
// (-use_deltas): "" when it does. The library looks for a delta only when the certificate or the
// base names a freshest CRL, and takes one of the base's issuer, with its authority key
// identifier and its scope (the same issuingDistributionPoint), whose BaseCRLNumber is at most
// the base's cRLNumber while its own cRLNumber is greater.
std::string pairing_gap(X509_CRL* delta, X509_CRL* base, X509* cert) {
    if (!is_delta(delta)) return "it has no deltaCRLIndicator: it is a complete CRL";
    if (X509_get_ext_by_NID(cert, NID_freshest_crl, -1) < 0 &&
        X509_CRL_get_ext_by_NID(base, NID_freshest_crl, -1) < 0)
        return "neither the certificate nor the base CRL names a freshest CRL";
    if (X509_NAME_cmp(X509_CRL_get_issuer(delta), X509_CRL_get_issuer(base)) != 0)
        return "it is of another issuer";
    if (!same_extension(delta, base, NID_authority_key_identifier))
        return "its authorityKeyIdentifier is not the base CRL's";
    if (!same_extension(delta, base, NID_issuing_distribution_point))
        return "its scope (issuingDistributionPoint) is not the base CRL's";
    const ossl::Asn1Integer base_number = crl_integer(base, NID_crl_number),
                            based_on = crl_integer(delta, NID_delta_crl),
                            number = crl_integer(delta, NID_crl_number);
    if (!base_number) return "the base CRL has no cRLNumber";
    if (!based_on || !number) return "its BaseCRLNumber or its cRLNumber cannot be read";
    if (ASN1_INTEGER_cmp(based_on.get(), base_number.get()) > 0)
        return "its BaseCRLNumber is beyond the base CRL's cRLNumber";
    if (ASN1_INTEGER_cmp(number.get(), base_number.get()) <= 0)
        return "its cRLNumber is not beyond the base CRL's";
    return {};
}

// A delta CRL where no base it extends is at hand lists only what changed since a CRL that is
// not there: it clears nothing.
void log_lone_delta(const char* fn, X509_CRL* delta, X509* cert) {
    log_error("%s() : a CRL of '%s' is not used to clear '%s': it is a delta CRL without its base",
              fn, name_for_log(X509_CRL_get_issuer(delta)).c_str(),
              name_for_log(X509_get_subject_name(cert)).c_str());
}

void log_hold_released(const char* fn, X509_CRL* delta, X509* cert) {
    log_write("%s() : a delta CRL of '%s' takes '%s' off hold (removeFromCRL)", fn,
              name_for_log(X509_CRL_get_issuer(delta)).c_str(),
              name_for_log(X509_get_subject_name(cert)).c_str());
}

// Whether crl was written for cert, as RFC 5280 (6.3.3) has it and the crypto library's verifier
// applies it: "" when it covers cert, else why not. *reasons: the reasons for revocation it
// covers for cert, those of its onlySomeReasons (all without), limited by the reasons of the
// first of cert's distribution points whose CRLs the CRL's issuer writes and, when the CRL names
// a point, that is the point it names.
std::string scope_gap(X509_CRL* crl, X509* cert, unsigned* reasons) {
    *reasons = CRLDP_ALL_REASONS;
    int critical = 0;
    const ossl::IssuingDistPoint idp(static_cast<ISSUING_DIST_POINT*>(
        X509_CRL_get_ext_d2i(crl, NID_issuing_distribution_point, &critical, nullptr)));
    if (!idp && critical != -1) {
        ERR_clear_error();
        return "its issuingDistributionPoint cannot be read";
    }
    if (idp) {
        if (idp->onlyattr > 0) return "it covers only attribute certificates";
        const bool ca = (X509_get_extension_flags(cert) & EXFLAG_CA) != 0;
        if (ca && idp->onlyuser > 0) return "it covers only end-entity certificates";
        if (!ca && idp->onlyCA > 0) return "it covers only CA certificates";
        if (idp->indirectCRL > 0) return "it is an indirect CRL";
        if (idp->onlysomereasons) *reasons = reason_bits(idp->onlysomereasons);
        if (idp->distpoint &&
            DIST_POINT_set_dpname(idp->distpoint, X509_CRL_get_issuer(crl)) != 1) {
            ERR_clear_error();
            return "its issuingDistributionPoint cannot be read";
        }
    }
    const DIST_POINT_NAME* named = idp ? idp->distpoint : nullptr;
    const ossl::DistPoints points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, &critical, nullptr)));
    if (!points && critical != -1) {
        ERR_clear_error();
        return "the certificate's cRLDistributionPoints cannot be read";
    }
    for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
        DIST_POINT* dp = sk_DIST_POINT_value(points.get(), i);
        if (!set_point_name(dp, cert)) {
            ERR_clear_error();
            return "the certificate's cRLDistributionPoints cannot be read";
        }
        if (!written_by(dp, crl) || (named && dp->distpoint && !same_point(dp->distpoint, named)))
            continue;
        if (dp->reasons) *reasons &= reason_bits(dp->reasons);
        return {};
    }
    if (!named) return {};
    return "its distribution point is none of the certificate's";
}

}  // namespace

CrlState check_crl(X509_CRL* crl, X509* issuer, time_t t) {
    static const char* const kFn = "verify_crl";
    if (!issuer) {
        log_error("%s() 1 : getting the certificate of the crl-issuer failed", kFn);
        log_crypto_errors();
        return CrlState::Error;
    }
    ossl::PKey key(X509_get_pubkey(issuer));
    if (!key) {
        log_error("%s() 2 : getting the issuer's public key failed", kFn);
        log_crypto_errors();
        return CrlState::Error;
    }
    const int verified = X509_CRL_verify(crl, key.get());
    if (verified < 0) {
        log_error("%s() 3 : X509_CRL_verify() failed", kFn);
        log_crypto_errors();
        return CrlState::Unverifiable;
    }
    if (verified == 0) {
        log_error("%s() 4 : crl is invalid", kFn);
        log_crypto_errors();
        return CrlState::BadSignature;
    }
    time_t when = t != 0 ? t : platform::now();
    const ASN1_TIME* last = X509_CRL_get0_lastUpdate(crl);
    int c = last ? X509_cmp_time(last, &when) : 0;
    if (c == 0) {
        log_error("%s() 5 : crl has an invalid 'lastUpdate' field", kFn);
        return CrlState::Error;
    }
    if (c > 0) {
        log_error("%s() 6 : crl is not yet valid", kFn);
        return CrlState::OutOfTime;
    }
    // nextUpdate is optional: a CRL without it states no expiry, and none is assumed.
    if (const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl)) {
        c = X509_cmp_time(next, &when);
        if (c == 0) {
            log_error("%s() 7 : crl has an invalid 'nextUpdate' field", kFn);
            return CrlState::Error;
        }
        if (c < 0) {
            log_error("%s() 8 : crl has expired", kFn);
            return CrlState::OutOfTime;
        }
    } else {
        log_info("%s() : crl has no 'nextUpdate' field: it does not expire", kFn);
    }
    time_t cutoff = gost2001_cutoff_time();
    if (objmap::is_one_of(X509_CRL_get_signature_nid(crl),
                          {objmap::Obj::GostR3411_94_with_GostR3410_2001}) &&
        X509_cmp_time(last, &cutoff) > 0) {
        log_error("%s() 1 : Gost R 34.10-2001 expired", "check_crl_gost2001");
        log_error("%s() 9 : Gost R 34.10-2001 not allowed for CRLs", kFn);
        return CrlState::Error;
    }
    return CrlState::Valid;
}

namespace {

// The URLs in the protocols' order, each downloaded CRL handed to take(url, crl) until it
// answers true; the URLs that gave none are added to failed.
template <class Take>
void download_in_order(list* urls, list* protocols, std::vector<std::string>* failed, Take take) {
    static const char* const kFn = "download_crl_from_list";
    if (!urls || !protocols) return;
    for (list_node* p = protocols->head; p; p = list_next(p)) {
        const auto* protocol = static_cast<const char*>(p->data);
        for (list_node* u = urls->head; u; u = list_next(u)) {
            const auto* url = static_cast<const char*>(u->data);
            // The scheme decides, not a "proto://" anywhere in the URL. An empty word (two blanks
            // in a row) names no scheme: it must not let every scheme libcurl speaks through.
            if (!protocol || !*protocol || !url ||
                strcasecmp(scheme_of(url).c_str(), protocol) != 0)
                continue;
            log_write("%s() : downloading CRL from %s ...", kFn, url);
            if (ossl::X509Crl crl = download_crl(url)) {
                log_write("%s() : OK", kFn);
                if (take(url, std::move(crl))) return;
                continue;
            }
            log_error("%s() : can't download CRL from %s", kFn, url);
            if (failed) failed->push_back(url);
        }
    }
}

// download_crl_from_list, telling which URL gave the CRL and adding those that gave none to
// failed.
ossl::X509Crl first_crl(list* urls, list* protocols, std::string* served,
                        std::vector<std::string>* failed) {
    ossl::X509Crl first;
    download_in_order(urls, protocols, failed, [&](const char* url, ossl::X509Crl crl) {
        if (served) *served = url;
        first = std::move(crl);
        return true;
    });
    return first;
}

int verify_crl_result(CrlState state) {
    switch (state) {
        case CrlState::Valid:
            return 1;
        case CrlState::BadSignature:
        case CrlState::OutOfTime:
            return 0;
        case CrlState::Unverifiable:
        case CrlState::Error:
            break;
    }
    return -1;
}

// verify_crl with its begin and end lines, telling the caller why a CRL is not valid. issuer:
// the certificate to check it under; when none is given, the one ctx's look-up finds, handed
// back so that later checks of the CRL's issuer use that one.
CrlState verify_crl_state(X509_CRL* crl, X509_STORE_CTX* ctx, time_t t, ossl::X509Ptr& issuer) {
    static const char* const kFn = "verify_crl";
    log_debug("%s() begin, crl = 0x%lx, ctx = 0x%lx", kFn, ptr_bits(crl), ptr_bits(ctx));
    if (!issuer && crl && ctx) issuer = crl_issuer(ctx, crl);
    const CrlState state = crl && ctx ? check_crl(crl, issuer.get(), t) : CrlState::Error;
    log_debug("%s() end, return code = %d", kFn, verify_crl_result(state));
    return state;
}

// The distribution points of the certificate, else of its issuer. False (logged) when neither
// names any, or memory runs out.
bool distribution_points(X509* cert, X509_STORE_CTX* ctx, PointUrls& out) {
    static const char* const kFn = "check_for_revocation";
    log_debug("%s() : extracting crl distribution points", kFn);
    ossl::DistPoints points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
    if (!points) {
        ossl::X509Object named;
        X509* issuer = checked_issuer(ctx);
        if (!issuer) {
            named.reset(
                X509_STORE_CTX_get_obj_by_subject(ctx, X509_LU_X509, X509_get_issuer_name(cert)));
            issuer = named ? X509_OBJECT_get0_X509(named.get()) : nullptr;
        }
        if (!issuer) {
            log_error("%s() 1 : no dedicated ca certificate available", kFn);
            return false;
        }
        points.reset(static_cast<CRL_DIST_POINTS*>(
            X509_get_ext_d2i(issuer, NID_crl_distribution_points, nullptr, nullptr)));
        if (!points) {
            log_error(
                "%s() 2 : neither the user nor the ca certificate does contain a crl "
                "distribution point",
                kFn);
            return false;
        }
    }
    out = collect_uris(points.get(), false);
    return true;
}

// The base CRL of the default URL for the certificate's kind of signature. -1 ends the check
// (logged).
int fetch_default_crl(X509* cert, ossl::X509Crl& crl) {
    static const char* const kFn = "check_for_revocation";
    const Config& c = config();
    const int sig = X509_get_signature_nid(cert);
    const bool is2012 = objmap::is_one_of(sig, {objmap::Obj::signwithdigest_gost3410_2012_256,
                                                objmap::Obj::signwithdigest_gost3410_2012_512});
    log_write(is2012 ? "%s(): signature type is 2012" : "%s(): signature type is NOT 2012", kFn);
    log_write("%s(): signature nid is %d", kFn, sig);
    const Text& url = is2012 ? c.default_crl_url_2012 : c.default_crl_url;
    if (!url) {
        log_error("%s() 3.2 : default URL not specified", kFn);
        return -1;
    }
    log_write("%s() : trying to download CRL from default URL: '%s'", kFn, url->c_str());
    crl = download_crl(url->c_str());
    if (crl) return 0;
    log_error("%s() 3.1 : downloading the crl failed for default URL: '%s'", kFn, url->c_str());
    return -1;
}

// The issuer of a CRL must be the certificate's issuer. Logged when not.
bool same_issuer(X509_CRL* crl, X509* cert, const char* line) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(cert)) == 0) return true;
    log_error(line, "check_for_revocation", name_for_log(X509_CRL_get_issuer(crl)).c_str(),
              name_for_log(X509_get_issuer_name(cert)).c_str());
    return false;
}

// A CRL fetched at a delta CRL URL, checked under issuer, the certificate the base was checked
// under, as the crypto library checks a delta with its base: of the certificate's issuer, and
// signed with its key. One that is not yet valid or has expired still counts, as its issuer
// published it; one whose signature does not verify is no CRL of that issuer at all. Logged when
// it does not count.
bool genuine_delta(X509_CRL* crl, X509* cert, X509_STORE_CTX* ctx, X509* issuer) {
    static const char* const kFn = "check_for_revocation";
    log_write("%s() : checking delta crl issuer name", kFn);
    if (!same_issuer(crl, cert,
                     "%s() : delta crl issuer and certificate issuer not match ('%s' and '%s')"))
        return false;
    log_debug("%s() : verifying delta crl", kFn);
    ossl::X509Ptr under = ossl::up_ref(issuer);
    switch (verify_crl_state(crl, ctx, 0, under)) {
        case CrlState::Unverifiable:
        case CrlState::Error:
            log_error("%s() : verify_crl(delta_crl) failed: '%s'", kFn,
                      oldest_crypto_error_text().c_str());
            return false;
        case CrlState::BadSignature:
            log_error("%s() : the delta crl's signature does not verify: it is not used", kFn);
            return false;
        case CrlState::OutOfTime:
        case CrlState::Valid:
            break;
    }
    return true;
}

// What the delta CRL URLs gave for one base.
struct DeltaSearch {
    ossl::X509Crl delta;               // the first that extends the base
    Listing in_delta = Listing::None;  // how that one lists the certificate
    bool listed = false;               // a CRL fetched there lists the certificate
};

// The delta of base, looked for at the URLs of the base's freshestCRL, then at those of cert's
// that the base does not name too (the crypto library pairs a delta that either names), each in
// turn until one serves a delta that extends the base. A genuine CRL fetched there that does not
// extend it is passed over, but a listing in it counts as in any CRL of the issuer, and ends the
// search. With use_only_default_crl_url, nothing cert names is fetched. Without freshest-CRL
// points: true and none. False (logged) when no URL gives a genuine CRL, or a freshestCRL to be
// searched cannot be read: a delta named where it cannot be read might list the certificate.
bool find_delta_crl(X509_CRL* base, X509* cert, X509_STORE_CTX* ctx, X509* issuer, list* protocols,
                    DeltaSearch& found) {
    static const char* const kFn = "check_for_revocation";
    log_debug("%s() : extracting Delta crl distribution points", kFn);
    // found_as: -1, none; -2, more than one; else its critical flag.
    auto readable = [](const ossl::DistPoints& points, int found_as, const char* of) {
        if (points || found_as == -1) return true;
        ERR_clear_error();
        log_error("%s() : the freshestCRL of the %s cannot be read", kFn, of);
        return false;
    };
    int found_as = -1;
    ossl::DistPoints of_base(static_cast<CRL_DIST_POINTS*>(
        X509_CRL_get_ext_d2i(base, NID_freshest_crl, &found_as, nullptr)));
    if (!readable(of_base, found_as, "base crl")) return false;
    const PointUrls base_urls = of_base ? collect_uris(of_base.get(), true) : PointUrls{};
    TextList urls = url_list(base_urls);
    if (!urls) return false;
    bool fetched = false, genuine = false, done = false;
    auto search = [&](list* at, bool named_by_cert) {
        download_in_order(at, protocols, nullptr, [&](const char*, ossl::X509Crl crl) {
            fetched = true;
            if (!genuine_delta(crl.get(), cert, ctx, issuer)) return false;
            genuine = true;
            const Listing listing = listing_of(crl.get(), cert);
            if (listing == Listing::Revoked || listing == Listing::Held) {
                found.listed = true;
                return done = true;
            }
            const std::string gap = pairing_gap(crl.get(), base, cert);
            if (gap.empty()) {
                found.delta = std::move(crl);
                found.in_delta = listing;
                return done = true;
            }
            log_error(named_by_cert
                          ? "%s() : a delta CRL of '%s' that the certificate names is not used "
                            "with the base CRL: %s"
                          : "%s() : a delta CRL of '%s' is not used with the base CRL that names "
                            "it: %s",
                      kFn, name_for_log(X509_CRL_get_issuer(crl.get())).c_str(), gap.c_str());
            return false;
        });
    };
    search(urls.get(), false);
    // The certificate's points, read only once the base's gave no delta that extends it.
    ossl::DistPoints of_cert;
    if (!done && config().use_only_default_crl_url) {
        if (X509_get_ext_by_NID(cert, NID_freshest_crl, -1) >= 0)
            log_write("%s() : use_only_default_crl_url is ON, skipping delta CDPs in certificate",
                      kFn);
    } else if (!done) {
        found_as = -1;
        of_cert.reset(static_cast<CRL_DIST_POINTS*>(
            X509_get_ext_d2i(cert, NID_freshest_crl, &found_as, nullptr)));
        if (!readable(of_cert, found_as, "certificate")) return false;
        if (of_cert) {
            std::vector<std::string> named_by_base;
            for (const auto& point : base_urls)
                named_by_base.insert(named_by_base.end(), point.begin(), point.end());
            urls = url_list(collect_uris(of_cert.get(), true), named_by_base);
            if (!urls) return false;
            if (urls->head || !of_base) {
                log_write(of_base ? "%s() : no delta crl the base crl names extends it: the "
                                    "certificate's points are tried"
                                  : "%s() : the base crl names no delta crl: the certificate's "
                                    "points are used",
                          kFn);
                search(urls.get(), true);
            }
        }
    }
    if (!of_base && !of_cert) {
        log_debug("%s() : can't found delta crl distribution point", kFn);
        return true;
    }
    if (!fetched)
        log_error("%s() : downloading the delta crl failed for all distribution points", kFn);
    return genuine;
}

// The downloaded CRLs that may clear a certificate, and the reasons for revocation they cover.
struct Gathered {
    unsigned covered = 0;
    std::vector<ossl::X509Crl> used;  // the CRLs that may clear it, whatever reasons they cover

    // Two points may serve the same CRL: it is kept once.
    void keep(ossl::X509Crl crl) {
        for (const ossl::X509Crl& c : used)
            if (X509_CRL_match(c.get(), crl.get()) == 0) return;
        used.push_back(std::move(crl));
    }
};

// One downloaded CRL, with the delta it names, judged for cert. 0: either lists cert, or the CRL
// is not valid now; -1: it cannot be used (logged); 1: go on, with what it may clear in g.
int judge_crl(ossl::X509Crl crl, X509* cert, X509_STORE_CTX* ctx, list* protocols, Gathered& g) {
    static const char* const kFn = "check_for_revocation";
    log_write("%s() : checking crl issuer name", kFn);
    if (!same_issuer(crl.get(), cert,
                     "%s() : crl issuer and certificate issuer not match ('%s' and '%s')"))
        return -1;
    log_debug("%s() : verifying crl", kFn);
    ossl::X509Ptr issuer;
    const int valid = verify_crl_result(verify_crl_state(crl.get(), ctx, 0, issuer));
    if (valid < 0) {
        log_error("%s() : verify_crl() failed", kFn);
        return -1;
    }
    if (valid == 0) return 0;
    const Listing in_base = listing_of(crl.get(), cert);
    // A delta served where a complete CRL belongs lists only what changed since a base that is
    // not at hand; what it does list still counts.
    if (is_delta(crl.get())) {
        if (in_base == Listing::Revoked) return 0;
        log_lone_delta(kFn, crl.get(), cert);
        return 1;
    }
    // The delta is looked for and checked, under the base's issuer, even when the base already
    // lists the serial. Without one that extends this base, the base is judged alone.
    DeltaSearch found;
    if (!find_delta_crl(crl.get(), cert, ctx, issuer.get(), protocols, found)) return -1;
    if (in_base == Listing::Revoked || found.listed) return 0;
    ossl::X509Crl& delta = found.delta;
    const bool extends = delta != nullptr;
    const bool usable = extends && accepted_by_library(delta.get(), issuer.get(), cert, kFn);
    if (in_base == Listing::Held) {
        if (!usable || found.in_delta != Listing::Released) return 0;
        log_hold_released(kFn, delta.get(), cert);
    }
    unsigned reasons = 0;
    if (!crl_may_clear(crl.get(), issuer.get(), cert, &reasons, kFn) || (extends && !usable))
        return 1;
    g.covered |= reasons;
    g.keep(std::move(crl));
    if (extends) g.keep(std::move(delta));
    return 1;
}

int revocation_state(X509* cert, X509_STORE_CTX* ctx, list* protocols,
                     std::vector<ossl::X509Crl>* used) {
    static const char* const kFn = "check_for_revocation";
    Gathered g;
    bool fetched = false;
    if (config().use_only_default_crl_url) {
        log_write("%s() : use_only_default_crl_url is ON, skipping CDPs in certificate", kFn);
    } else {
        PointUrls points;
        if (!distribution_points(cert, ctx, points)) return -1;
        // All points are asked in the protocols' order until one gives a CRL. A CA may split its
        // CRLs by reason over its points: while reasons remain uncovered, the points that have
        // not given this CRL are asked again, each URL that gave nothing once only.
        std::vector<std::string> failed;
        while (!points.empty() && g.covered != CRLDP_ALL_REASONS) {
            TextList urls = url_list(points, failed);
            if (!urls) return -1;
            std::string served;
            ossl::X509Crl crl = first_crl(urls.get(), protocols, &served, &failed);
            if (!crl) break;
            fetched = true;
            std::erase_if(points, [&served](const std::vector<std::string>& point) {
                return std::find(point.begin(), point.end(), served) != point.end();
            });
            if (const int r = judge_crl(std::move(crl), cert, ctx, protocols, g); r != 1) return r;
        }
        if (!fetched) log_error("%s() 3 : downloading the crl failed for all CDPs", kFn);
    }
    if (!fetched) {
        ossl::X509Crl crl;
        if (fetch_default_crl(cert, crl) != 0) return -1;
        if (const int r = judge_crl(std::move(crl), cert, ctx, protocols, g); r != 1) return r;
    }
    if (g.covered != CRLDP_ALL_REASONS) {
        if (!g.used.empty()) log_some_reasons(kFn, cert);
        return -1;
    }
    if (used) *used = std::move(g.used);
    return 1;
}

}  // namespace

void crl_network_start() {
    std::call_once(g_curl_once, [] {
        const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
        g_curl_init = rc;
        g_curl_up = rc == CURLE_OK;
        if (rc != CURLE_OK)
            log_error("%s() : curl_global_init() failed, code = %d", "init_lib",
                      static_cast<int>(rc));
    });
}

void crl_network_stop() {
    if (g_curl_up.exchange(false)) curl_global_cleanup();
}

CrlDownloadLimits crl_download_limits() {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    return g_limits;
}

void set_crl_download_limits(const CrlDownloadLimits& limits) {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    g_limits = limits;
}

int InstallCRLFromServer(const char* url, std::vector<unsigned char>& body) {
    static const char* const kFn = "InstallCRLFromServer";
    body.clear();
    if (!url) return CURLE_URL_MALFORMAT;
    log_write("%s() : '%s'", kFn, url);
    if (!g_curl_up) {
        log_error("%s() 4 : curl_global_init() failed, code = %d", kFn, g_curl_init.load());
        return g_curl_init;
    }
    if (scheme_of(url) == "file") {
        if (const CURLcode rc = read_file_url(url, body); rc != CURLE_OK) return rc;
        log_write("%s(): crl_length = %d", kFn, static_cast<int>(body.size()));
        return 0;
    }
    OwnSockets sockets;
    CurlEasy curl(curl_easy_init());
    if (!curl) {
        log_error("%s() 5 : curl_easy_init() failed", kFn);
        return CURLE_FAILED_INIT;
    }
    DownloadBuffer buffer;
    if (CURLcode rc = set_options(curl.get(), url, buffer, sockets); rc != CURLE_OK) return rc;
    if (CURLcode rc = curl_easy_perform(curl.get()); rc != CURLE_OK) {
        log_error("%s() 10 : curl_easy_perform() failed, code = %d", kFn, static_cast<int>(rc));
        log_error("%s() : %s", kFn, curl_easy_strerror(rc));
        return rc;
    }
    if (scheme_of(url).starts_with("ldap")) {
        if (ldap_answer_value(Bytes(buffer.data.data(), buffer.data.size()), body) != 0) {
            log_error("%s() 11 : couldn't parse server response", kFn);
            return -1;
        }
    } else {
        body = std::move(buffer.data);
    }
    log_write("%s(): crl_length = %d", kFn, static_cast<int>(body.size()));
    return 0;
}

int ldap_answer_value(Bytes answer, std::vector<unsigned char>& value) {
    value.clear();
    const std::string_view text(reinterpret_cast<const char*>(answer.data()), answer.size());
    for (size_t at = text.find("List"); at != std::string_view::npos;
         at = text.find("List", at + 1)) {
        size_t p = at + 4;
        if (starts_with_at(answer, p, ";binary")) p += 7;
        if (starts_with_at(answer, p, ":: ")) {
            const std::string b64 = ldif_base64(answer, p + 3);
            OutData der;
            const auto* bytes = reinterpret_cast<const unsigned char*>(b64.data());
            if (base64_decode(der, Bytes(bytes, b64.size()), false) != 0) return -1;
            value.assign(der.data.get(), der.data.get() + der.size);
            return 0;
        }
        if (starts_with_at(answer, p, ": ")) {
            // The value runs to the end of the answer but for the entry's two line ends.
            p += 2;
            if (answer.size() - p < 2) return -1;
            value.assign(answer.begin() + static_cast<std::ptrdiff_t>(p), answer.end() - 2);
            return 0;
        }
    }
    return -1;
}

ossl::X509Crl download_crl(const char* url) {
    std::vector<unsigned char> body;
    if (InstallCRLFromServer(url, body) != 0) {
        log_error("InstallCRLFromServer() failed:");
        return nullptr;
    }
    ossl::X509Crl crl = parse_crl_body(body);
    if (!crl) log_error("%s() : failed to parse CRL", "download_crl");
    return crl;
}

ossl::X509Crl download_crl_from_list(list* urls, list* protocols) {
    return first_crl(urls, protocols, nullptr, nullptr);
}

int verify_crl(X509_CRL* crl, X509_STORE_CTX* ctx, time_t t) {
    ossl::X509Ptr issuer;
    return verify_crl_result(verify_crl_state(crl, ctx, t, issuer));
}

int check_for_revocation(X509* cert, X509_STORE_CTX* ctx, list* protocols,
                         std::vector<ossl::X509Crl>* used) {
    static const char* const kFn = "check_for_revocation";
    log_debug("%s() begin: x509 = 0x%lx, ctx = 0x%lx, proto_list = 0x%lx", kFn, ptr_bits(cert),
              ptr_bits(ctx), ptr_bits(protocols));
    if (used) used->clear();
    const int rc = cert && ctx ? revocation_state(cert, ctx, protocols, used) : -1;
    log_debug("%s() end, return code %d", kFn, rc);
    return rc;
}

bool crl_may_clear(X509_CRL* crl, X509* issuer, X509* cert, unsigned* reasons, const char* fn) {
    *reasons = 0;
    if (!accepted_by_library(crl, issuer, cert, fn)) return false;
    unsigned covered = CRLDP_ALL_REASONS;
    const std::string why = scope_gap(crl, cert, &covered);
    if (!why.empty()) {
        log_scope_gap(fn, crl, cert, why);
        return false;
    }
    *reasons = covered;
    return true;
}

StoredCrls status_from_crls(X509* cert, X509* issuer, STACK_OF(X509_CRL) * crls, time_t t,
                            const char* fn) {
    // The CRLs that verify under the issuer's key, how each lists cert, and for a complete one
    // the deltas that extend it, as the crypto library pairs them, worked out once.
    struct Read {
        X509_CRL* crl;
        Listing listing;
        bool delta;
        std::vector<Read*> deltas = {};
        bool based = false;                 // a delta that extends one of them
        std::optional<bool> accepted = {};  // a delta, as the library's CRL check takes it
    };
    std::vector<Read> valid;
    for (int i = 0; cert && issuer && i < sk_X509_CRL_num(crls); ++i) {
        X509_CRL* crl = sk_X509_CRL_value(crls, i);
        if (!crl || X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(cert)) != 0)
            continue;
        switch (check_crl(crl, issuer, t)) {
            case CrlState::Valid:
                break;
            case CrlState::BadSignature:
            case CrlState::Unverifiable:
                // Anyone can write a CRL in the issuer's name; only its key makes one count.
                log_error(
                    "%s() : a CRL of '%s' that does not verify under the key of the issuer in "
                    "the checked chain ('%s') is not used",
                    fn, name_for_log(X509_CRL_get_issuer(crl)).c_str(),
                    name_for_log(X509_get_subject_name(issuer)).c_str());
                ERR_clear_error();
                continue;
            case CrlState::OutOfTime:
            case CrlState::Error:
                return StoredCrls::Invalid;
        }
        // The issuer revoked it, whatever the CRL was meant to cover.
        const Listing listing = listing_of(crl, cert);
        if (listing == Listing::Revoked) return StoredCrls::Listed;
        valid.push_back({crl, listing, is_delta(crl)});
    }
    for (Read& base : valid)
        for (Read& d : valid)
            if (!base.delta && d.delta && pairing_gap(d.crl, base.crl, cert).empty()) {
                base.deltas.push_back(&d);
                d.based = true;
            }
    const auto acceptable = [&](Read* d) {
        if (!d->accepted) d->accepted = accepted_by_library(d->crl, issuer, cert, fn);
        return *d->accepted;
    };
    // A hold stands unless a delta that extends its CRL, and that the library would use, takes
    // it off.
    for (const Read& base : valid) {
        if (base.listing != Listing::Held) continue;
        const auto by = std::find_if(base.deltas.begin(), base.deltas.end(), [&](Read* d) {
            return d->listing == Listing::Released && acceptable(d);
        });
        if (by == base.deltas.end()) return StoredCrls::Listed;
        log_hold_released(fn, (*by)->crl, cert);
    }
    unsigned covered = 0;  // the reasons for revocation the usable complete CRLs cover
    bool complete = false;
    for (const Read& r : valid) {
        if (r.delta) {
            if (!r.based) log_lone_delta(fn, r.crl, cert);
            continue;
        }
        unsigned reasons = 0;
        // The library reads a base with its delta: a delta it would refuse leaves the base unused.
        if (!crl_may_clear(r.crl, issuer, cert, &reasons, fn) ||
            !std::all_of(r.deltas.begin(), r.deltas.end(), acceptable))
            continue;
        complete = true;
        covered |= reasons;
    }
    if (complete && covered != CRLDP_ALL_REASONS) {
        log_some_reasons(fn, cert);
        return StoredCrls::None;
    }
    return complete ? StoredCrls::Cleared : StoredCrls::None;
}

int check_revoked_crl(X509* cert, X509* issuer, STACK_OF(X509_CRL) * crls, time_t t) {
    static const char* const kFn = "check_revoked_crl";
    log_debug("%s() begin: cert = 0x%lx, crls = 0x%lx", kFn, ptr_bits(cert), ptr_bits(crls));
    const int rc = [&] {
        if (!cert || !issuer || !crls) {
            log_error("%s() 1 : bad_args", kFn);
            return 0;
        }
        switch (status_from_crls(cert, issuer, crls, t, kFn)) {
            case StoredCrls::Cleared:
                return 1;
            case StoredCrls::None:
                log_error("%s() 2 : no relevant CRL found", kFn);
                return 0;
            case StoredCrls::Invalid:
                log_error("%s() 4 : verify_crl() failed", kFn);
                return 0;
            case StoredCrls::Listed:
                log_error("%s() 5 : certificate found in CRL, certificate is invalid", kFn);
                return 0;
        }
        return 0;
    }();
    log_debug("%s() end, return code = %d", kFn, rc);
    return rc;
}

}  // namespace ssf
