// The process-wide configuration: the values start-up reads from the configuration file, and
// the API lock the exports take. Start-up (at the top, ssf/init.h) fills them; every layer reads
// them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ssf/list.h"

namespace ssf {

inline constexpr const char* kConfigFileName = "selvanor-ssf-server.cfg";
inline constexpr const char* kLogFileName = "selvanor-ssf-server.log";
inline constexpr const char* kAppName = "Selvanor-SSF";
inline constexpr const char* kRegistryKey =
    "HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server";
inline constexpr const char* kRegistryValue = "config_dir_name";
inline constexpr const char* kVersionText =
    "Selvanor-SSF Server Win64 Version 1.14.0.623; Used Russian cryptography standards: GOST R "
    "34.11-2012, GOST R 34.10-2012, GOST R 34.11-94, GOST R 34.10-2001, GOST 28147-89";

using Text = std::optional<std::string>;

// Written by start-up only, before it publishes that it succeeded; read-only afterwards. The two
// server values that change at run time live apart (below).
struct Config {
    bool check_chain = false;
    bool check_crl = false;
    Text ca_file;
    list* crl_protocols = nullptr;
    Text tsp_server_2012;
    bool use_profile_timestamp = false;
    Text default_password;
    std::string local_encoding = "UTF-8";
    std::string server_encoding = "UTF-8";
    bool use_func_mutex = true;
    bool use_heapdump = false;
    bool debug_mode = false;
    Text default_verify_name;
    int max_tsp_ocsp_diff = 60;
    Text default_crl_url;
    Text default_crl_url_2012;
    bool password_caching = false;
    bool use_only_default_crl_url = false;
    Text proxy_url;  // as configured, for the log
    Text proxy_host;
    Text proxy_port;
    Text proxy_login_pwd;
    bool disable_ocsp_issuer_check = false;
    bool verify_use_signing_time = false;
    bool disable_cades_crl_using = false;
    Text hok_urls;
    Text hok_login;
    Text hok_password;
    bool verify_use_sha1_id = false;
    int max_ocsp_age = 0;
    bool use_profile_password_encryption = false;
};

const Config& config();
// The values as start-up fills them; nothing else writes them.
Config& config_for_start_up();

// "cades:tsp_server" and "cades:ocsp_server" change at run time through set_tsp_server and
// set_ocsp_server. Readers get a snapshot that stays valid while they use it, so a replacement
// on another thread never frees a text under a reader.
std::shared_ptr<const std::string> config_tsp_server();
std::shared_ptr<const std::string> config_ocsp_server();
void set_config_tsp_server(std::shared_ptr<const std::string> text);
void set_config_ocsp_server(std::shared_ptr<const std::string> text);

// The API mutex of the interface exports. Recursive: the record exports call each other.
std::recursive_mutex& api_mutex();

}  // namespace ssf
