// The stock openssl command as a peer in tests, with our GOST engine reachable through the
// test-only dynamic-engine wrappers: "@W" in the arguments becomes the path of the wrapper of
// the "gost" engine; a configuration file reaches the "pkcs11" one. No system
// configuration is read (OPENSSL_CONF=/dev/null unless another is given); a sanitizer-built
// wrapper gets the sanitizer runtime preloaded into the openssl process.
#pragma once

#include <string>

namespace testing_support {

struct ToolResult {
    int status;       // exit code, -1 when the command did not run to its end
    std::string out;  // standard output (and standard error when asked for)
};

// args: everything after "openssl", shell-quoted by the caller. conf: the OPENSSL_CONF file.
ToolResult run_openssl(std::string args, bool with_stderr = false,
                       const std::string& conf = "/dev/null");
// Text of a configuration file that loads the wrapper as the default engine at start-up, for
// commands that take no -engine option for what they verify (ts -verify, ocsp).
std::string engine_config();
// Text of a configuration file that loads the "pkcs11" wrapper, reachable as "-engine pkcs11",
// with the PKCS#11 module it attaches to.
std::string pkcs11_engine_config(const std::string& module);
bool have_openssl();
// Configuration of `openssl ts -reply` answering with the TSA of cert and key (PEM files), serial
// numbers kept in serial_file, for the digests listed (as the command names them).
std::string ts_reply_config(const std::string& serial_file, const std::string& cert,
                            const std::string& key, const std::string& digests);

// Stock `openssl ts -reply` and `openssl ocsp` as real peers behind a scripted HTTP front: each
// answers one request (DER) with its response (DER; empty when the command failed). The request
// and response files are NAME.req and NAME.resp in dir; conf as for run_openssl.
std::string ts_reply(const std::string& dir, const std::string& name, const std::string& config,
                     const std::string& query, const std::string& conf = "/dev/null");
struct OcspResponder {
    std::string index, ca, cert, key;  // files: the CA's index, its certificate, the responder's
};
std::string ocsp_reply(const std::string& dir, const std::string& name, const OcspResponder& r,
                       const std::string& request, const std::string& conf = "/dev/null");

}  // namespace testing_support
