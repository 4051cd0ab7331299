#include "common/openssl_tool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace testing_support {

namespace {

std::string directory_of_self() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

std::string sanitizer_preload() {
#if defined(__SANITIZE_ADDRESS__)
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto pos = line.find('/');
        if (pos != std::string::npos && line.find("libasan.so") != std::string::npos)
            return "LD_PRELOAD=" + line.substr(pos) + " ASAN_OPTIONS=detect_leaks=0 ";
    }
#endif
    return "";
}

std::string wrapper_path(const char* engine = "gost") {
    return directory_of_self() + "/engine_wrapper/" + engine + "_engine_wrapper.so";
}

}  // namespace

std::string engine_config() {
    return "openssl_conf = conf\n[conf]\nengines = eng\n[eng]\ngost = gost_sect\n[gost_sect]\n"
           "dynamic_path = " +
           wrapper_path() + "\ndefault_algorithms = ALL\n";
}

std::string pkcs11_engine_config(const std::string& module) {
    return "openssl_conf = conf\n[conf]\nengines = eng\n[eng]\npkcs11 = p11_sect\n[p11_sect]\n"
           "dynamic_path = " +
           wrapper_path("pkcs11") + "\nATTACH_API = " + module + "\n";
}

ToolResult run_openssl(std::string args, bool with_stderr, const std::string& conf) {
    const std::string wrapper = wrapper_path();
    for (auto pos = args.find("@W"); pos != std::string::npos; pos = args.find("@W"))
        args.replace(pos, 2, wrapper);
    const std::string cmd = sanitizer_preload() + "OPENSSL_CONF=" + conf + " openssl " + args +
                            (with_stderr ? " 2>&1" : " 2>/dev/null");
    ToolResult r{-1, {}};
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string ts_reply_config(const std::string& serial_file, const std::string& cert,
                            const std::string& key, const std::string& digests) {
    return "[tsa]\ndefault_tsa = t\n[t]\nserial = " + serial_file + "\nsigner_cert = " + cert +
           "\nsigner_key = " + key +
           "\nsigner_digest = sha256\ndefault_policy = 1.2.3.4\ndigests = " + digests + "\n";
}

namespace {

// Runs `openssl ARGS IN_OPT NAME.req OUT_OPT NAME.resp` over the request; the response's bytes.
std::string answer(const std::string& dir, const std::string& name, const std::string& request,
                   const std::string& args, const char* in_opt, const char* out_opt,
                   const std::string& conf) {
    const std::string req = dir + "/" + name + ".req", resp = dir + "/" + name + ".resp";
    std::ofstream(req, std::ios::binary) << request;
    std::remove(resp.c_str());
    run_openssl(args + " " + in_opt + " " + req + " " + out_opt + " " + resp, false, conf);
    std::ifstream in(resp, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::string ts_reply(const std::string& dir, const std::string& name, const std::string& config,
                     const std::string& query, const std::string& conf) {
    return answer(dir, name, query, "ts -reply -config " + config, "-queryfile", "-out", conf);
}

std::string ocsp_reply(const std::string& dir, const std::string& name, const OcspResponder& r,
                       const std::string& request, const std::string& conf) {
    return answer(dir, name, request,
                  "ocsp -index " + r.index + " -CA " + r.ca + " -rsigner " + r.cert + " -rkey " +
                      r.key + " -ndays 1",
                  "-reqin", "-respout", conf);
}

bool have_openssl() {
    return std::system("command -v openssl >/dev/null 2>&1") == 0;
}

}  // namespace testing_support
