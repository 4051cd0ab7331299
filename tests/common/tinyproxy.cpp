#include "common/tinyproxy.h"

#include <fstream>
#include <stdexcept>

#include "common/tempdir.h"

namespace testing_support {

TinyProxy::TinyProxy(const std::string& dir, const std::string& user, const std::string& password)
    : log_(dir + "/tinyproxy.log"), port_(free_port()) {
    const std::string conf = dir + "/tinyproxy.conf";
    // No ConnectPort line: tunnels may go to any port (the TLS fronts pick theirs).
    std::ofstream(conf, std::ios::trunc) << ("Port " + std::to_string(port_) +
                                             "\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\n"
                                             "LogLevel Info\nBasicAuth " +
                                             user + " " + password + "\n");

    child_ = Child({"tinyproxy", "-d", "-c", conf}, {}, log_);
    if (!wait_for_port(port_)) throw std::runtime_error("TinyProxy: tinyproxy did not start");
}

std::string TinyProxy::log() const {
    return read_file(log_);
}

}  // namespace testing_support
