#include "ssf/init.h"

#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cryptoext/revision.h"
#include "engines/loader.h"
#include "platform/ini.h"
#include "platform/winstub.h"
#include "ssf/cades/cades_oids.h"
#include "ssf/exports.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/net/hok.h"
#include "ssf/net/service_route.h"
#include "ssf/pki/cache.h"

namespace ssf {

namespace {

constexpr const char* kFn = "init_lib";

#define g_config (config_for_start_up())

std::atomic<bool> g_started{false};
std::mutex g_init_mutex;  // guards g_attempts, below

// One run of start-up at a time, led by the call that found none under way. Calls that come while
// it waits out a file's second, or runs, take its outcome instead of queueing for a second each,
// so no call waits much more than a second beyond its arrival, however many threads call. The
// lock is held only to look at this record (and, by a call about to lead, at the files), never
// across a wait or a run: it is not fair, and calls queued behind holders that wait would wait
// without bound. What a run changes (FailedRuns, the configuration, the log's place) belongs to
// the leader of the run under way, or, while none is, to the holder of the lock.
struct Attempts {
    bool under_way = false;
    uint64_t ended = 0;  // runs ended so far
    int joined = 0;      // calls that wait for the outcome of the one under way
};
Attempts g_attempts;
std::condition_variable& run_ended() {
    static auto* c = new std::condition_variable;
    return *c;
}

// One file as start-up last read it, and since when (by the process's own clock) every read has
// found the same bytes.
struct Sighting {
    std::string path;
    std::string text;
    uint64_t since_ns = 0;
    bool held = false;   // false: nothing remembered
    bool acted = false;  // the process's first start-up read it so, and acted on it
};

// Belongs to the run under way (see Attempts). Heap-made on first use: start-up runs from an ELF
// constructor that may precede this file's dynamic initialisers.
struct FailedRuns {
    // What the last failed run met; "" before the first failure (a run then is no retry).
    std::string last;
    bool log_provisional = false;  // the open log is the one a failed run chose
    // A run took the configuration directory from the registry file, or failed on that file: a
    // retry looks there again, and waits for it. Until then the current directory is the place.
    bool registry_named = false;
    Sighting registry, config;  // the files as the last run read them
};
FailedRuns& failed_runs() {
    static auto* f = new FailedRuns;
    return *f;
}
// Where a failure is written when the configuration cannot say where; tests point it elsewhere.
std::string& fallback_log_dir() {
    static auto* d = new std::string("/tmp/");
    return *d;
}

std::shared_ptr<const std::string> share(const char* text) {
    return text ? std::make_shared<const std::string>(text) : nullptr;
}

// The keys of the configuration file, read once. Without a file every look-up fails as a read
// of the file would, and says so.
struct ConfigSource {
    const platform::Ini* ini = nullptr;
    std::string path;
    std::optional<std::string> get(const char* key) const {
        if (ini) return ini->get(key);
        log_write("%s() : couldn't parse file '%s'", "kes_get_parameter", path.c_str());
        return std::nullopt;
    }
};

const char* on_off(bool b) {
    return b ? "on" : "off";
}

// ---- the key table -------------------------------------------------------------------------

enum class Kind { Text, Bool, Int, Custom };

struct KeyRow;
using Custom = void (*)(const KeyRow&, const ConfigSource& file);

struct KeyRow {
    const char* key;
    const char* step;  // in the not-found line; null: that line has no step number
    Kind kind;
    Text Config::*text;
    bool Config::*flag;
    int Config::*number;
    const char* found;      // "%s" function name, then the value (text, "on"/"off" or %d)
    const char* missing;    // written after the not-found line, with the value as it stands
    const char* not_found;  // replaces the standard not-found line
    Custom custom;
};

void write_not_found(const KeyRow& r) {
    if (r.not_found)
        log_write(r.not_found, kFn, r.key);
    else
        log_write("%s() %s : '%s' parameter not found", kFn, r.step, r.key);
}

void write_value_line(const char* fmt, const KeyRow& r) {
    if (!fmt) return;
    switch (r.kind) {
        case Kind::Text: {
            const Text& t = g_config.*r.text;
            log_write(fmt, kFn, t ? t->c_str() : "");
            break;
        }
        case Kind::Bool:
            log_write(fmt, kFn, on_off(g_config.*r.flag));
            break;
        case Kind::Int:
            log_write(fmt, kFn, g_config.*r.number);
            break;
        case Kind::Custom:
            break;
    }
}

void read_plain(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    if (v) {
        switch (r.kind) {
            case Kind::Text:
                g_config.*r.text = *v;
                break;
            case Kind::Bool:
                g_config.*r.flag = (*v == "yes");
                break;
            case Kind::Int:
                g_config.*r.number = std::atoi(v->c_str());
                break;
            case Kind::Custom:
                break;
        }
        write_value_line(r.found, r);
        return;
    }
    if (r.kind == Kind::Text) g_config.*r.text = std::nullopt;
    write_not_found(r);
    write_value_line(r.missing, r);
}

void read_cert_check_options(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    if (v) {
        g_config.check_chain = v->find("check_chain") != std::string::npos;
        g_config.check_crl = v->find("check_crl") != std::string::npos;
    } else {
        g_config.check_chain = g_config.check_crl = false;
        write_not_found(r);
    }
    log_write("%s() 6 : Certificate check options :", kFn);
    log_write("%s() : \tEnd certificate validity", kFn);
    if (g_config.check_chain) log_write("%s() : \tCertificate chain validity", kFn);
    if (g_config.check_crl) log_write("%s() : \tCRL validity", kFn);
}

void read_crl_protocols(const KeyRow& r, const ConfigSource& file) {
    if (!g_config.check_crl) return;
    auto v = file.get(r.key);
    if (!v) {
        write_not_found(r);
        return;
    }
    if (g_config.crl_protocols) list_free(g_config.crl_protocols, std::free);
    g_config.crl_protocols = list_create();
    if (!g_config.crl_protocols || parse_protocol_list(g_config.crl_protocols, v->c_str()) < 0) {
        log_error("%s() : parse_protocol_list() failed", kFn);
        return;
    }
    log_write("%s(): supported CRL protocols:", kFn);
    int i = 1;
    for (list_node* n = g_config.crl_protocols->head; n; n = list_next(n), ++i)
        log_write("%s(): \t%d)\t'%s'", kFn, i, static_cast<const char*>(n->data));
}

void read_server(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    auto set = std::strcmp(r.key, "cades:tsp_server") == 0 ? set_config_tsp_server
                                                           : set_config_ocsp_server;
    if (v) {
        set(std::make_shared<const std::string>(*v));
        log_write(r.found, kFn, v->c_str());
    } else {
        set(nullptr);
        write_not_found(r);
    }
}

void read_local_encoding(const KeyRow&, const ConfigSource&) {
    log_write("%s() : local encoding is '%s'", kFn, g_config.local_encoding.c_str());
}

void read_server_encoding(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    if (v) {
        g_config.server_encoding = *v;
    } else {
        g_config.server_encoding = g_config.local_encoding;
        write_not_found(r);
    }
    log_write("%s() : server_encoding is '%s'", kFn, g_config.server_encoding.c_str());
}

void read_proxy_url(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    if (!v) {
        g_config.proxy_url = g_config.proxy_host = g_config.proxy_port = std::nullopt;
        write_not_found(r);
        log_write("%s() : proxy is NOT USED", kFn);
        return;
    }
    g_config.proxy_url = *v;
    split_proxy_url(*v, g_config.proxy_host, g_config.proxy_port);
    log_write("%s() : '%s' is: host = '%s', port = '%s'", kFn, r.key, g_config.proxy_host->c_str(),
              g_config.proxy_port ? g_config.proxy_port->c_str() : "(null)");
}

// Secrets are never written in clear: only whether they are set.
void read_secret(const KeyRow& r, const ConfigSource& file) {
    auto v = file.get(r.key);
    Text& slot = g_config.*r.text;
    if (v) {
        slot = *v;
        log_write(r.found, kFn);
    } else {
        slot = std::nullopt;
        write_not_found(r);
        if (r.missing) log_write(r.missing, kFn);
    }
}

constexpr KeyRow T(const char* key, const char* step, Text Config::*m, const char* found,
                   const char* missing = nullptr, const char* not_found = nullptr) {
    return {key, step, Kind::Text, m, nullptr, nullptr, found, missing, not_found, read_plain};
}
constexpr KeyRow B(const char* key, const char* step, bool Config::*m, const char* line,
                   bool missing_line = true) {
    return {key,     step,      Kind::Bool, nullptr,
            m,       nullptr,   line,       missing_line ? line : nullptr,
            nullptr, read_plain};
}
constexpr KeyRow I(const char* key, const char* step, int Config::*m, const char* line,
                   bool missing_line) {
    return {key,     step,      Kind::Int, nullptr, nullptr, m, line, missing_line ? line : nullptr,
            nullptr, read_plain};
}
constexpr KeyRow C(const char* key, const char* step, Custom fn, const char* found = nullptr,
                   const char* not_found = nullptr, Text Config::*m = nullptr,
                   const char* missing = nullptr) {
    return {key,       step, m ? Kind::Text : Kind::Custom, m, nullptr, nullptr, found, missing,
            not_found, fn};
}

const KeyRow kKeys[] = {
    C("common:cert_check_options", "5", read_cert_check_options),
    T("common:ca_file", "7", &Config::ca_file, "%s() : CA file = '%s'"),
    C("common:crl_protocols", nullptr, read_crl_protocols, nullptr,
      "%s(): '%s' parameter not found"),
    C("cades:tsp_server", "9", read_server, "%s() : TSP server: '%s'",
      "%s() 9 : '%s' parameter not found, default TSP server will be used"),
    T("cades:tsp_server_2012", "9.1", &Config::tsp_server_2012, "%s() : TSP 2012 server: '%s'",
      nullptr, "%s() 9.1 : '%s' parameter not found, default TSP server will be used"),
    C("cades:ocsp_server", "10", read_server, "%s() : OCSP server: '%s'",
      "%s() 10 : '%s' parameter not found, default OCSP server will be used"),
    B("common:use_profile_timestamp", "12", &Config::use_profile_timestamp,
      "%s() : use_profile_timestamp is '%s'"),
    T("common:default_password", "14", &Config::default_password, "%s() : default_password used",
      "%s() : default_password NOT used"),
    C("(local encoding)", nullptr, read_local_encoding),
    C("common:server_encoding", "15", read_server_encoding),
    B("common:use_func_mutex", "16", &Config::use_func_mutex, "%s() : use_func_mutex is '%s'"),
    B("common:use_heapdump", "17", &Config::use_heapdump, "%s() : use_heapdump is '%s'"),
    B("common:debug_mode", "18", &Config::debug_mode, "%s() : debug_mode is '%s'"),
    T("common:default_verify_name", "20", &Config::default_verify_name,
      "%s() : default_verify_name is '%s'", "%s() : default_verify_name is NOT USED"),
    I("cades:max_tsp_ocsp_diff", "21", &Config::max_tsp_ocsp_diff, "%s() : max_tsp_ocsp_diff = %d",
      true),
    T("cades:default_crl_url", "22", &Config::default_crl_url, "%s() : default_crl_url is '%s'",
      "%s() : default_crl_url is NOT USED"),
    T("cades:default_crl_url_2012", "22.1", &Config::default_crl_url_2012,
      "%s() : default_crl_url_2012 is '%s'", "%s() : default_crl_url_2012 is NOT USED"),
    B("common:password_caching", "23", &Config::password_caching,
      "%s() : password_caching is '%s'"),
    B("cades:use_only_default_crl_url", "24", &Config::use_only_default_crl_url,
      "%s() : use_only_default_crl_url is '%s'"),
    C("proxy:proxy_url", "25", read_proxy_url),
    C("proxy:proxy_login_pwd", "26", read_secret, "%s() : proxy_login_pwd is used", nullptr,
      &Config::proxy_login_pwd, "%s() : proxy_login_pwd is NOT USED"),
    B("cades:disable_ocsp_issuer_check", "27", &Config::disable_ocsp_issuer_check,
      "%s() : disable_ocsp_issuer_check is '%s'"),
    B("common:verify_use_signing_time", "28", &Config::verify_use_signing_time,
      "%s() : verify_use_signing_time is '%s'"),
    B("cades:disable_cades_crl_using", "29", &Config::disable_cades_crl_using,
      "%s() : disable_cades_crl_using is '%s'"),
    T("hok:hok_urls", "31", &Config::hok_urls, "%s() : hok_urls is '%s'"),
    T("hok:hok_login", "32", &Config::hok_login, "%s() : hok_login is '%s'"),
    C("hok:hok_password", "33", read_secret, "%s() : hok_password is used", nullptr,
      &Config::hok_password, "%s() : hok_password is NOT USED"),
    B("common:verify_use_sha1_id", "34", &Config::verify_use_sha1_id,
      "%s() : verify_use_sha1_id is '%s'", false),
    I("cades:max_ocsp_age", "35", &Config::max_ocsp_age, "%s() : max_ocsp_age = %d", false),
    B("common:use_profile_password_encryption", "36", &Config::use_profile_password_encryption,
      "%s() : use_profile_password_encryption is '%s'"),
};

void read_all_keys(const ConfigSource& file) {
    for (const auto& row : kKeys) row.custom(row, file);
    log_set_debug_mode(g_config.debug_mode);
}

// Where start-up's run puts the trace log: the configured one once the file has been read, the
// fallback before (or when the file cannot be used, and so cannot say where).
struct LogPlan {
    bool write = true;
    std::string path = get_default_log_path();
    bool add_pid = false;
};

LogPlan configured_log(const ConfigSource& file) {
    LogPlan plan;
    auto write_log = file.get("common:write_log");
    if (write_log && *write_log != "yes") {
        plan.write = false;
        return plan;
    }
    auto dir = file.get("common:log_dir");
    plan.path = (dir ? *dir : std::string(get_default_log_dir())) + "/" + kLogFileName;
    auto server_mode = file.get("common:server_mode");
    plan.add_pid = server_mode && *server_mode == "yes";
    return plan;
}

// PKCS#12 files made by older tools use RC2 and 3DES, which 3.0 keeps in its legacy provider.
// Naming any provider switches off the implicit default one, so both are loaded, once per
// process. They are released at exit ahead of the crypto library's own clean-up (registered
// earlier, so run later), which does not tear down providers that someone still holds.
OSSL_PROVIDER* g_default_provider = nullptr;
OSSL_PROVIDER* g_legacy_provider = nullptr;

void unload_providers() {
    if (g_legacy_provider) OSSL_PROVIDER_unload(g_legacy_provider);
    if (g_default_provider) OSSL_PROVIDER_unload(g_default_provider);
    g_legacy_provider = g_default_provider = nullptr;
}

bool load_legacy_algorithms() {
    g_default_provider = OSSL_PROVIDER_load(nullptr, "default");
    g_legacy_provider = OSSL_PROVIDER_load(nullptr, "legacy");
    std::atexit(unload_providers);
    return g_default_provider && g_legacy_provider;
}

// The crypto library first sees our no-config flag: a system openssl.cnf must not be able to
// claim engine ids or change defaults under the host.
void init_crypto_library() {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                        nullptr);
    static const bool legacy_loaded = load_legacy_algorithms();
    if (!legacy_loaded) {
        log_write("%s() : the crypto library's legacy algorithms are not available", kFn);
        ERR_clear_error();
    }
    OPENSSL_load_builtin_modules();
    tvk_ENGINE_load_builtin_engines();
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr);
    // After the crypto library: libcurl's own initialisation of it must find it configured.
    crl_network_start();
    tzset();
}

// Why a file that is there could not be used: not a regular file, the errno of its read, or the
// line not understood. Returns the reason, which tells this failure from another.
std::string log_unusable(const char* fn, const char* what, const std::string& path,
                         bool not_regular, int error, int bad_line) {
    std::string why;
    if (not_regular) {
        log_error("%s() : %s'%s' is not a regular file", fn, what, path.c_str());
        why = "not a regular file";
    } else if (error != 0) {
        why = errno_text(error);
        log_error("%s() : %s'%s' cannot be read, %s", fn, what, path.c_str(), why.c_str());
    } else {
        log_error("%s() : line %d of %s'%s' is not understood", fn, bad_line, what, path.c_str());
        why = "line " + std::to_string(bad_line);
    }
    return std::string(what) + path + ": " + why;
}

// The configuration directory, and what named it. A name given is used whole, and must be a
// directory that is there: in its place the current directory would usually hold no
// configuration, and every check the named one asks for would be dropped.
struct ConfigDir {
    std::string dir = ".";
    std::string named_by;                            // "" for the current directory
    std::optional<platform::RegistryRead> registry;  // set when its file was asked
};

ConfigDir resolve_config_dir() {
    ConfigDir out;
    if (const char* env = std::getenv("DIR_LIBRARY"); env && *env) {
        out.dir = env;
        out.named_by = "DIR_LIBRARY";
        return out;
    }
    platform::RegistryRead r = platform::registry_get_string(kRegistryKey, kRegistryValue);
    if (!r.unusable() && r.value && !r.value->empty()) {
        out.dir = *r.value;
        out.named_by = std::string("the registry value '") + kRegistryValue + "'";
    }
    out.registry = std::move(r);
    return out;
}

// "" when the directory may be used, else the reason start-up fails.
std::string check_config_dir(const ConfigDir& cd) {
    if (cd.registry && cd.registry->unusable())
        return log_unusable("get_config_dir", "registry file ", cd.registry->file,
                            cd.registry->not_regular, cd.registry->error, cd.registry->bad_line);
    if (cd.named_by.empty()) return {};
    struct stat st {};
    std::string why;
    if (::stat(cd.dir.c_str(), &st) != 0)
        why = "is not there, " + errno_text(errno);
    else if (!S_ISDIR(st.st_mode))
        why = "is not a directory";
    else
        return {};
    log_error("%s() : the configuration directory '%s' named by %s %s", "get_config_dir",
              cd.dir.c_str(), cd.named_by.c_str(), why.c_str());
    return "directory " + cd.dir + " " + why;
}

// An administrator who mends a file in place (cp, cat >, an editor saving over it) leaves it
// empty or half written for a moment, and what a start-up reads then would apply for the life of
// the process. A file's times cannot tell that moment from a finished file: one caught inside
// its truncation shows its old times, and the wall clock may be set back or run ahead. So after a
// failure a file is applied only when two reads at least a second apart by the process's own
// clock found the same bytes, or it is as the process's first start-up read it and acted on it; a
// read during which the file changed never counts. Stamps that move between the reads (a touch, a
// chmod, the same text copied again) change nothing that is applied.
constexpr uint64_t kSettleNs = 1000000000;

enum class Stillness {
    Changed,  // not what the last read found, or changing while it was read
    Again,    // what the last read found, less than a second ago
    Settled,  // what every read for at least a second found, or the first start-up acted on
};

// Remembers what this read found (on the first start-up, as acted on), and tells how long the
// file has held still.
Stillness settled(Sighting& seen, const std::string& path, const std::string& text,
                  const std::optional<platform::FileStamp>& stamp, bool first) {
    const uint64_t now = platform::monotonic_ns();
    if (!stamp) {
        seen = Sighting{};
        return Stillness::Changed;
    }
    if (!seen.held || seen.path != path || seen.text != text) {
        seen = Sighting{path, text, now, true, first};
        return Stillness::Changed;
    }
    if (seen.acted || (now >= seen.since_ns && now - seen.since_ns >= kSettleNs))
        return Stillness::Settled;
    return Stillness::Again;
}

// How a retry speaks of a file it waits for.
struct Awaited {
    const char* what;
    const char* awaits;   // what it waits for while the file is not there
    const char* nothing;  // what a file that sets nothing does not do, and what is awaited
    const char* restart;  // what a restart would do instead of waiting
};
constexpr Awaited kAwaitedConfig{"configuration file", "it",
                                 "sets nothing, start-up waits for a file that does",
                                 "a restart would run on defaults"};
constexpr Awaited kAwaitedRegistry{
    "registry file", "it to name the configuration directory",
    "names no configuration directory, start-up waits for it to name one",
    "a restart would take the current directory, and defaults if no configuration file is there"};

// A file as a retry found it.
struct Found {
    bool missing = false;
    bool nothing = false;  // understood, and sets nothing
    Stillness still = Stillness::Changed;
};

// Why a retry cannot go on with the file yet, "" when it can. After a failure, a file that is
// missing or sets nothing is being mended, not a request for defaults. A file is applied, or
// judged, only once settled: the call has already waited out the second (wait_until_settled),
// so one still not settled changed meanwhile.
std::string wait_for(const Awaited& a, const std::string& path, const Found& f) {
    if (f.missing) {
        log_error("%s() : the %s '%s' is not there, start-up waits for %s; %s", kFn, a.what,
                  path.c_str(), a.awaits, a.restart);
        return "not there: " + path;
    }
    if (f.still != Stillness::Settled) {
        log_error("%s() : the %s '%s' is being changed, start-up waits until it settles", kFn,
                  a.what, path.c_str());
        return "being changed: " + path;
    }
    if (f.nothing) {
        log_error("%s() : the %s '%s' %s; %s", kFn, a.what, path.c_str(), a.nothing, a.restart);
        return "sets nothing: " + path;
    }
    return {};
}

// A retry looks for the configuration where the failed start-ups looked. While no start-up has
// taken the directory from a registry file, or failed on one, the current directory is the place
// and a registry file that is not there is nothing to wait for: the host keeps its file there, as
// it may. Once one has, a registry file that is not there or names none is one being mended, and
// the current directory (the root, for a daemon) usually holds no configuration. A file that
// cannot be read is not waited for: nothing in it could be applied, and check_config_dir() says
// why.
bool registry_awaited(const ConfigDir& cd) {
    const platform::RegistryRead& r = *cd.registry;
    return failed_runs().registry_named && r.error == 0 &&
           (r.missing || (r.bad_line == 0 && cd.named_by.empty()));
}

std::string wait_for_registry(const ConfigDir& cd, bool retry) {
    if (!cd.registry) return {};
    const platform::RegistryRead& r = *cd.registry;
    const Stillness still = settled(failed_runs().registry, r.file, r.text, r.stamp, !retry);
    if (!retry || r.error != 0 || (r.missing && !registry_awaited(cd))) return {};
    return wait_for(kAwaitedRegistry, r.file, {r.missing, registry_awaited(cd), still});
}

std::string wait_for_config(const platform::IniFileRead& read, const std::string& file,
                            bool retry) {
    const Stillness still = settled(failed_runs().config, file, read.text, read.stamp, !retry);
    if (!retry || (read.error != 0 && !read.missing)) return {};
    return wait_for(kAwaitedConfig, file,
                    {read.missing, read.ini && read.ini->values().empty(), still});
}

// After a failure, a call that finds a file it would read new, changed since the last read, or
// seen so for less than a second, waits until every such file has been seen so for a second: this
// long, in milliseconds (0: nothing to wait for). Start-up then reads both again, and applies them
// when nothing changed meanwhile. The first call after a mend is so answered from the mended
// files, however long they lay finished before it, and a registry file and the configuration file
// it names settle in the same second. What is not there, cannot be read, or changed under this
// read has nothing to wait for.
unsigned settle_wait_ms() {
    FailedRuns& runs = failed_runs();
    uint64_t until = 0;
    const auto look = [&](Sighting& seen, const std::string& path, const std::string& text,
                          const std::optional<platform::FileStamp>& stamp) {
        if (settled(seen, path, text, stamp, false) != Stillness::Settled && seen.held)
            until = std::max(until, seen.since_ns + kSettleNs);
    };
    const ConfigDir cd = resolve_config_dir();
    bool config_read = true;  // as the run will, unless it stops at the registry file
    if (cd.registry) {
        const platform::RegistryRead& r = *cd.registry;
        if (!r.missing && r.error == 0) look(runs.registry, r.file, r.text, r.stamp);
        config_read = !r.unusable() && !registry_awaited(cd);
    }
    if (config_read) {
        const std::string file = cd.dir + "/" + kConfigFileName;
        const platform::IniFileRead read = platform::read_ini_file(file);
        if (!read.missing && read.error == 0) look(runs.config, file, read.text, read.stamp);
    }
    const uint64_t now = platform::monotonic_ns();
    return until > now ? static_cast<unsigned>((until - now + 999999) / 1000000) : 0;
}

// What one run met: "" when it succeeded, else its failure (to tell a new failure from a repeat
// of the last), and where the log belongs.
struct RunOutcome {
    std::string failure;
    LogPlan log;
    // It waits for a file to settle, and so has learnt nothing of where the log belongs.
    bool waits = false;
};

RunOutcome run_start_up(bool retry) {
    RunOutcome out;
    g_config.local_encoding = get_local_encoding();
    log_debug("init_lib()!!!!!!");
    const ConfigDir cd = resolve_config_dir();
    if ((out.failure = wait_for_registry(cd, retry)) != "") {
        out.waits = true;
        return out;
    }
    if (cd.registry && (cd.registry->unusable() || !cd.named_by.empty()))
        failed_runs().registry_named = true;
    if ((out.failure = check_config_dir(cd)) != "") {
        log_error("%s() : the configuration directory cannot be found, start-up failed", kFn);
        return out;
    }
    const std::string& dir = cd.dir;
    log_debug("config_dir=%s", dir.c_str());
    const std::string file = dir + "/" + kConfigFileName;
    log_debug("config_file=%s", file.c_str());

    // The file is read once: every key comes from the same text, however it changes meanwhile.
    // Only a file with no directory entry at all means defaults, and only to a process's first
    // start-up; one that is there but cannot be read (a FIFO or device is not even opened) or
    // understood fails start-up, since running on defaults would drop every check it may ask for.
    const platform::IniFileRead config_file = platform::read_ini_file(file);
    if ((out.failure = wait_for_config(config_file, file, retry)) != "") {
        out.waits = true;
        return out;
    }
    if (config_file.missing) {
        log_error("stat( '%s' ) failed, %s", file.c_str(), errno_text(config_file.error).c_str());
    } else if (!config_file.ini) {
        out.failure = log_unusable("kes_get_parameter", "", file, config_file.not_regular,
                                   config_file.error, config_file.bad_line);
        if (config_file.bad_line)
            log_write("%s() : couldn't parse file '%s'", "kes_get_parameter", file.c_str());
        log_error("%s() : the configuration file cannot be used, start-up failed", kFn);
        return out;
    } else {
        out.log = configured_log({&*config_file.ini, file});
    }

    log_write("%s(): Revision info: '%s'", kFn, get_ssf_svn_info());
    log_write("%s(): Version info: '%s'", kFn, kVersionText);
    log_write("config_dir = '%s'", dir.c_str());
    log_write("config_file = '%s'", file.c_str());

    platform::OsVersion os;
    if (!platform::get_os_version(os)) {
        log_error("%s() : GetVersionExA() failed, GetLastError() = 0x%08lX", kFn,
                  static_cast<unsigned long>(errno));
        out.failure = "GetVersionExA";
        return out;
    }
    log_write("OS Version = %d.%d ( %s )", os.major, os.minor, os.detail.c_str());
    std::string host;
    if (!platform::get_workstation_info(host))
        log_write("%s() : ERROR: NetWkstaGetInfo() failed, nStatus = %d, GetLastError() = 0x%08lX",
                  kFn, errno, static_cast<unsigned long>(errno));

    init_crypto_library();
    log_write("%s(): ORBSSL revision info: '%s'", kFn, get_orbssl_svn_info());
    log_write("%s(): libiconv revision info: '%s'", kFn, get_iconv_svn_info());

    if (SSF_register_additional_OIDS() != 0) {
        log_error("%s() 4.1 : SSF_register_additional_OIDS() failed", kFn);
        out.failure = "SSF_register_additional_OIDS";
        return out;
    }
    read_all_keys({config_file.ini ? &*config_file.ini : nullptr, file});
    return out;
}

// Puts the log where the run says it belongs. A log opened by a successful start-up stays for the
// process; one a failed run opened (at the fallback path, as the configuration could not say
// where) gives way to the configured one, and says where the log goes on. A run that waits
// leaves an open log where it is: moving it now would only move it back once the file applies.
void place_log(const RunOutcome& run) {
    const bool succeeded = run.failure.empty();
    if (run.waits && log_is_open()) return;
    LogPlan plan = run.log;
    FailedRuns& runs = failed_runs();
    // A failure is written somewhere even when the file asks for no log.
    if (!succeeded && !plan.write) plan = LogPlan{};
    if (!log_is_open()) {
        if (plan.write) log_open(plan.path.c_str(), kAppName, plan.add_pid);
        runs.log_provisional = !succeeded && log_is_open();
        return;
    }
    if (!runs.log_provisional) return;
    if (plan.write) {
        std::string to = plan.path;
        if (plan.add_pid) to += "_" + get_pid_text();
        log_move(plan.path.c_str(), kAppName, plan.add_pid,
                 std::string(kFn) + "() : the trace log continues in '" + to + "'");
    } else {
        log_move(nullptr, nullptr, false,
                 std::string(kFn) +
                     "() : start-up succeeded; the configuration asks for no "
                     "trace log ('common:write_log'), none is written from here on");
    }
    runs.log_provisional = !succeeded && log_is_open();
}

// Ends the run under way, also when start-up throws (an allocation that fails): the calls waiting
// for its outcome would otherwise wait for ever.
struct RunLead {
    RunLead() = default;
    RunLead(const RunLead&) = delete;
    RunLead& operator=(const RunLead&) = delete;
    ~RunLead() {
        std::lock_guard<std::mutex> lock(g_init_mutex);
        g_attempts.under_way = false;
        g_attempts.joined = 0;
        ++g_attempts.ended;
        run_ended().notify_all();
    }
};

// One run of start-up, its wait over. A start-up that keeps failing on every call writes its
// lines once, and again only when its reason changes: a host retrying in a loop must not flood
// the log.
int run_once() {
    FailedRuns& runs = failed_runs();
    RunOutcome run;
    std::string lines;
    {
        LogHold hold(kAppName);
        run = run_start_up(!runs.last.empty());
        lines = hold.take();
    }
    const bool succeeded = run.failure.empty();
    place_log(run);
    if (succeeded || run.failure != runs.last) log_write_held(lines);
    runs.last = run.failure;
    if (!succeeded) return -1;
    // Nothing is retried from here on: the files' texts are not kept for the process's life.
    runs.registry = runs.config = Sighting{};
    g_started.store(true, std::memory_order_release);
    return 0;
}

}  // namespace

int init_lib(bool may_wait) {
    if (g_started.load(std::memory_order_acquire)) return 0;
    std::unique_lock<std::mutex> lock(g_init_mutex);
    if (g_started.load(std::memory_order_acquire)) return 0;
    if (g_attempts.under_way) {
        if (!may_wait) return -1;
        const uint64_t mine = g_attempts.ended + 1;
        ++g_attempts.joined;
        run_ended().wait(lock, [&] { return g_attempts.ended >= mine; });
        return lib_started() ? 0 : -1;
    }
    // A process's first start-up takes the files as it finds them, and never waits.
    const unsigned wait_ms = failed_runs().last.empty() ? 0 : settle_wait_ms();
    if (wait_ms > 0 && !may_wait) return -1;
    g_attempts.under_way = true;
    lock.unlock();
    const RunLead lead;
    if (wait_ms > 0) platform::sleep_ms(wait_ms);
    return run_once();
}

bool lib_started() {
    return g_started.load(std::memory_order_acquire);
}

std::string get_config_dir() {
    return resolve_config_dir().dir;
}

const char* get_default_log_dir() {
    return "/tmp/";
}
std::string get_default_log_path() {
    return fallback_log_dir() + kLogFileName;
}

const char* get_local_encoding() {
    return "UTF-8";
}

void split_proxy_url(const std::string& url, Text& host, Text& port) {
    auto slashes = url.find("//");
    std::string rest = slashes == std::string::npos ? url : url.substr(slashes + 2);
    auto colon = rest.find(':');
    host = rest.substr(0, colon);
    port = colon == std::string::npos ? Text() : Text(rest.substr(colon + 1));
}

int start_up_joiners_for_tests() {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    return g_attempts.joined;
}

void set_fallback_log_dir_for_tests(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    fallback_log_dir() = dir;
}

void reset_for_tests() {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (g_config.crl_protocols) list_free(g_config.crl_protocols, std::free);
    g_config = Config{};
    set_config_tsp_server(nullptr);
    set_config_ocsp_server(nullptr);
    g_started.store(false);
    failed_runs() = FailedRuns{};
    fallback_log_dir() = "/tmp/";
    log_set_debug_mode(false);
    log_reset_for_tests();
    hok_reset_for_tests();
    set_service_limits({});
    clear_caches();
}

}  // namespace ssf

using namespace ssf;

void set_tsp_server(const char* text) {
    set_config_tsp_server(share(text));
    log_write("%s() : tsp_server is now '%s'", "set_tsp_server", text ? text : "(null)");
}

void set_ocsp_server(const char* text) {
    set_config_ocsp_server(share(text));
    log_write("%s() : ocsp_server is now '%s'", "set_ocsp_server", text ? text : "(null)");
}

const char* get_ssf_svn_info() {
    return "Revision number: 623 Repository URL: ssf/trunk";
}
