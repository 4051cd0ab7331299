// The configuration reader: start-up over a configuration file of any content. A section added
// after the fuzzer's bytes keeps the trace log off whatever they say, so that no fuzzed
// directory is ever written to.
#include <fstream>
#include <sstream>
#include <string>

#include "harness.h"
#include "ssf/init.h"

using fuzz::Bytes;

namespace {

// Every key the provider reads, with values of each kind it parses.
const Bytes kEveryKey =
    "[common]\n"
    "write_log = yes\nlog_dir = /tmp\nserver_mode = yes\ndebug_mode = yes\n"
    "cert_check_options = check_chain, check_crl, check_pkup\n"
    "ca_file = file:///etc/ssl/certs/ca-certificates.crt\n"
    "crl_protocols = http, ldap, file\nuse_profile_timestamp = no\n"
    "default_password = c2VjcmV0\nserver_encoding = CP1251\nuse_func_mutex = yes\n"
    "use_heapdump = no\ndefault_verify_name = CN=Somebody, O=Org\npassword_caching = no\n"
    "verify_use_signing_time = yes\nverify_use_sha1_id = no\n"
    "use_profile_password_encryption = yes\n"
    "[cades]\n"
    "tsp_server = http://127.0.0.1:1/tsp\ntsp_server_2012 = http://127.0.0.1:1/tsp2012\n"
    "ocsp_server = http://127.0.0.1:1/ocsp\nmax_tsp_ocsp_diff = 60\nmax_ocsp_age = 2\n"
    "default_crl_url = http://127.0.0.1:1/a.crl\ndefault_crl_url_2012 = file:///tmp/b.crl\n"
    "use_only_default_crl_url = no\ndisable_ocsp_issuer_check = no\n"
    "disable_cades_crl_using = no\n"
    "[proxy]\n"
    "proxy_url = http://proxy.example:3128\nproxy_login_pwd = dXNlcjpwYXNz\n"
    "[hok]\n"
    "hok_login = user\nhok_password = cGFzcw==\nhok_urls = https://127.0.0.1:1/hok";

// A line longer than any fixed line buffer: the reader takes lines of any length.
Bytes every_key_with_long_line() {
    Bytes text = kEveryKey;
    for (int i = 0; i < 60; ++i) text += ",http://127.0.0.1:2/hok/" + std::to_string(i);
    return text + "\n";
}

Bytes read_sample() {
    std::ifstream in(SSF_SOURCE_DIR "/samples/selvanor-ssf-server.cfg", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    fuzz::seed("sample", read_sample());
    fuzz::seed("every-key", every_key_with_long_line());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Harness& h = fuzz::Harness::get();
    test_pki::write_file(h.dir + "/selvanor-ssf-server.cfg",
                         fuzz::bytes_of(data, size) + "\n\n[common]\nwrite_log = no\n");
    ssf::reset_for_tests();
    (void)ssf::init_lib();
    return 0;
}
