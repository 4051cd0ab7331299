#include "common/tls_front.h"

#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace {

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

TlsFront::TlsFront(int target_port, const std::string& dir, const std::string& cert_pem,
                   const std::string& key_pem)
    : port_(free_port()) {
    write(dir + "/front.crt", cert_pem);
    write(dir + "/front.key", key_pem);
    const std::string conf = dir + "/front.conf";
    write(conf, "foreground = yes\npid =\noutput = " + dir +
                    "/front.log\n[front]\naccept = " + "127.0.0.1:" + std::to_string(port_) +
                    "\nconnect = 127.0.0.1:" + std::to_string(target_port) + "\ncert = " + dir +
                    "/front.crt\nkey = " + dir + "/front.key\n");
    child_ = Child({"stunnel4", conf});
    if (!wait_for_port(port_)) throw std::runtime_error("TlsFront: stunnel4 did not start");
}

std::string TlsFront::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace testing_support
