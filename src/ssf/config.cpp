#include "ssf/config.h"

namespace ssf {

namespace {

// Start-up runs from an ELF constructor that may precede this file's dynamic initialisers, so
// everything with a constructor lives on the heap, made on first use and kept for the process.
struct Values {
    Config config;
    std::shared_ptr<const std::string> tsp_server;
    std::shared_ptr<const std::string> ocsp_server;
};
Values& values() {
    static Values* v = new Values;
    return *v;
}
std::mutex g_servers_mutex;

}  // namespace

const Config& config() {
    return values().config;
}

Config& config_for_start_up() {
    return values().config;
}

std::shared_ptr<const std::string> config_tsp_server() {
    std::lock_guard<std::mutex> lock(g_servers_mutex);
    return values().tsp_server;
}

std::shared_ptr<const std::string> config_ocsp_server() {
    std::lock_guard<std::mutex> lock(g_servers_mutex);
    return values().ocsp_server;
}

void set_config_tsp_server(std::shared_ptr<const std::string> text) {
    std::lock_guard<std::mutex> lock(g_servers_mutex);
    values().tsp_server = std::move(text);
}

void set_config_ocsp_server(std::shared_ptr<const std::string> text) {
    std::lock_guard<std::mutex> lock(g_servers_mutex);
    values().ocsp_server = std::move(text);
}

std::recursive_mutex& api_mutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
}

}  // namespace ssf
