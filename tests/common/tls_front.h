// TLS in front of a plain test server: stunnel4 accepting TLS on 127.0.0.1 at a port of its own
// and forwarding every connection to 127.0.0.1 at the target port. It stops, by its process id,
// with the object.
#pragma once

#include <string>

#include "common/process.h"

namespace testing_support {

class TlsFront {
  public:
    // cert_pem and key_pem (unencrypted) are written into dir beside stunnel's configuration
    // and log. Throws when stunnel does not come up.
    TlsFront(int target_port, const std::string& dir, const std::string& cert_pem,
             const std::string& key_pem);
    int port() const { return port_; }
    std::string url(const std::string& path = "/") const;

  private:
    int port_ = 0;
    Child child_;
};

}  // namespace testing_support
