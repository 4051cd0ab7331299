#include "harness.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "kit/certs.h"
#include "ssf/init.h"

namespace fuzz {

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

namespace {

Harness* start() {
    auto* h = new Harness;
    char dir_template[] = "/tmp/ssf-fuzz-XXXXXX";
    require(mkdtemp(dir_template) != nullptr, "mkdtemp");
    h->dir = dir_template;
    static const std::string scratch = h->dir;
    std::atexit([] { std::filesystem::remove_all(scratch); });
    h->pab = h->dir + "/pab";
    test_pki::write_file(h->dir + "/selvanor-ssf-server.cfg",
                         "[common]\nwrite_log = no\ndebug_mode = yes\n");
    setenv("DIR_LIBRARY", h->dir.c_str(), 1);
    require(ssf::init_lib() == 0, "init_lib");
    test_pki::CertSpec spec;
    spec.cn = "Fuzz Party";
    h->party = test_pki::issue(spec, test_pki::gost_key("gost2012_256"), nullptr);
    require(mkdir(h->pab.c_str(), 0700) == 0, "mkdir");
    test_pki::write_file(h->pab + "/party.pem", test_pki::pem_of(h->party.cert.get()));
    test_pki::write_file(h->dir + "/party.key", test_pki::key_pem(h->party.key.get(), nullptr));
    h->profile = "certfile=" + h->pab + "/party.pem,keyfile=" + h->dir + "/party.key";
    h->id = test_pki::subject_text("Fuzz Party");
    return h;
}

// A call of an export with a list holding the party; its output, which it must give.
Bytes with_party(const char* what, const std::function<SAPRETURN(SigRcpSsfInfoList, Out&)>& call) {
    SigRcpSsfInfoList list = nullptr;
    SsfINSSigRcpSsfInfo(party_record(), &list);
    Out out;
    const SAPRETURN rc = call(list, out);
    SsfDELSigRcpSsfInfoList(&list);
    require(rc == 0, what);
    return out.str();
}

}  // namespace

const Harness& Harness::get() {
    static const Harness* h = start();
    return *h;
}

SigRcpSsfInfo* party_record() {
    const Harness& h = Harness::get();
    SigRcpSsfInfo* rec = nullptr;
    SsfNEWSigRcpSsfInfo(sap(h.id), sap_len(h.id), nullptr, 0, sap(h.profile), sap_len(h.profile),
                        nullptr, 0, 0, &rec);
    return rec;
}

Bytes data_message(const Bytes& content) {
    static const Bytes pkcs7 = "PKCS7";
    Out out;
    require(SsfEncode(sap(pkcs7), sap_len(pkcs7), sap(content), sap_len(content), &out.data,
                      &out.len) == 0,
            "SsfEncode");
    return out.str();
}

Bytes signed_message(const char* format, const Bytes& content, bool detached) {
    const Bytes fmt = format, hash = "GOST-R-34.11-12-256", data = data_message(content);
    return with_party("SsfSign", [&](SigRcpSsfInfoList list, Out& out) {
        return SsfSign(sap(fmt), sap_len(fmt), sap(hash), sap_len(hash), 1, detached, sap(data),
                       sap_len(data), list, &out.data, &out.len);
    });
}

Bytes enveloped_message(const Bytes& content) {
    const Harness& h = Harness::get();
    const Bytes fmt = "PKCS7", cipher = "GOST-28147-89", data = data_message(content);
    return with_party("SsfEnvelope", [&](SigRcpSsfInfoList list, Out& out) {
        return SsfEnvelope(sap(fmt), sap_len(fmt), sap(cipher), sap_len(cipher), sap(data),
                           sap_len(data), sap(h.pab), sap_len(h.pab), nullptr, 0, list, &out.data,
                           &out.len);
    });
}

void seed(const std::string& name, const Bytes& bytes) {
    const char* dir = std::getenv("SSF_FUZZ_SEED_DIR");
    if (!dir || !*dir) return;
    std::ofstream(std::string(dir) + "/seed-" + name, std::ios::binary) << bytes;
}

}  // namespace fuzz
