// Debian's tinyproxy as the real HTTP proxy of the tests: Basic authentication with the given
// credentials, on 127.0.0.1 at a port of its own, in the foreground; it logs every request line
// it receives, and stops, by its process id, with the object.
#pragma once

#include <string>

#include "common/process.h"

namespace testing_support {

class TinyProxy {
  public:
    // Writes its configuration and log into dir. Throws when tinyproxy does not come up.
    TinyProxy(const std::string& dir, const std::string& user, const std::string& password);
    int port() const { return port_; }
    std::string log() const;

  private:
    std::string log_;
    int port_ = 0;
    Child child_;
};

}  // namespace testing_support
