// The host tool: loads the SSF provider with dlopen and calls its exports as the SAP host does.
// Inputs come from files, outputs go to files ("-" is standard output).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ssf/ssf_api.h"

namespace {

constexpr const char* kUsage =
    "usage: ssfhost [--lib PATH] COMMAND [ARGS...]\n"
    "  load                                   load the library and print its revision\n"
    "  version OUT                            SsfVersion\n"
    "  query PROPERTY OUT                     SsfQueryProperties\n"
    "  encode FORMAT IN OUT                   SsfEncode\n"
    "  decode FORMAT IN OUT                   SsfDecode\n"
    "  sign FORMAT HASH IN OUT [--inc-certs] [--detached] RECORD...\n"
    "  verify FORMAT SIGNED OUT [--input F] [--use-certs] [--pab DIR] [--pab-password-file F]\n"
    "  envelope FORMAT CIPHER IN OUT [--pab DIR] [--pab-password-file F] RECORD...\n"
    "  develope FORMAT IN OUT [RECORD]\n"
    "  add-sign FORMAT HASH SIGNED OUT [--input F] [--inc-certs] RECORD\n"
    "  digest FORMAT HASH IN OUT [--detached]\n"
    "  enhance SIGNED OUT [--input F] [--pab DIR]\n"
    "RECORD: --id ID [--profile PROFILE] [--password-file F]; each --id starts a new signer or "
    "recipient.\n"
    "Prints the return code and every record's result; exits 0 on return code 0, else 1.\n"
    "PKCS7_GET_SIGNERS checks no signature: its records are printed as signers listed.\n";

struct UsageError : std::runtime_error {
    explicit UsageError(std::string what, const std::string& detail = "")
        : std::runtime_error(what.append(detail)) {}
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read ", path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const SAP_BYTE* data, SAP_UINT len) {
    if (path == "-") {
        std::fwrite(data, 1, len, stdout);
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), len);
    if (!out) throw UsageError("cannot write ", path);
}

SAP_BYTE* bytes(std::string& s) {
    return reinterpret_cast<SAP_BYTE*>(s.data());
}
SAP_UINT len(const std::string& s) {
    return static_cast<SAP_UINT>(s.size());
}

struct RecordArgs {
    std::string id, profile, password;
};

// Positional arguments, flags, options with a value, and the signer/recipient records.
struct Args {
    std::vector<std::string> pos;
    std::map<std::string, std::string> opt;
    std::vector<RecordArgs> records;

    bool flag(const char* name) const { return opt.count(name) != 0; }
    std::string get(const char* name) const {
        auto it = opt.find(name);
        return it == opt.end() ? std::string() : it->second;
    }
};

Args parse(const std::vector<std::string>& argv, size_t positional) {
    static const char* kFlags[] = {"--inc-certs", "--detached", "--use-certs"};
    Args a;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& s = argv[i];
        bool is_flag = false;
        for (const char* f : kFlags) is_flag |= s == f;
        if (is_flag) {
            a.opt.emplace(s, "1");
            continue;
        }
        if (s.rfind("--", 0) != 0 || s == "-") {
            a.pos.push_back(s);
            continue;
        }
        if (i + 1 >= argv.size()) throw UsageError(s, " needs a value");
        const std::string& v = argv[++i];
        if (s == "--id") {
            a.records.push_back({v, "", ""});
        } else if (s == "--profile" || s == "--password-file") {
            if (a.records.empty()) throw UsageError(s, " before any --id");
            if (s == "--profile")
                a.records.back().profile = v;
            else
                a.records.back().password = read_file(v);
        } else if (s == "--input" || s == "--pab" || s == "--pab-password-file") {
            a.opt[s] = s == "--pab" ? v : read_file(v);
        } else {
            throw UsageError("unknown option ", s);
        }
    }
    if (a.pos.size() != positional) throw UsageError("wrong number of arguments");
    return a;
}

class Host {
  public:
    explicit Host(void* lib) : lib_(lib) {}

    template <class F>
    F* fn(const char* name) const {
        void* p = dlsym(lib_, name);
        if (!p) throw UsageError("the library exports no ", name);
        return reinterpret_cast<F*>(p);
    }

    // The records of a signer or recipient list, built with the library's own exports.
    SigRcpSsfInfoList make_list(std::vector<RecordArgs>& recs) const {
        SigRcpSsfInfoList list = nullptr;
        for (auto& r : recs) {
            SigRcpSsfInfo* rec = make_record(r);
            if (rec) fn<decltype(SsfINSSigRcpSsfInfo)>("SsfINSSigRcpSsfInfo")(rec, &list);
        }
        return list;
    }
    SigRcpSsfInfo* make_record(RecordArgs& r) const {
        SigRcpSsfInfo* rec = nullptr;
        SAPRETURN rc = fn<decltype(SsfNEWSigRcpSsfInfo)>("SsfNEWSigRcpSsfInfo")(
            bytes(r.id), len(r.id), nullptr, 0, bytes(r.profile), len(r.profile), bytes(r.password),
            len(r.password), 28, &rec);
        if (rc != 0) std::printf("record '%s' not created: %u\n", r.id.c_str(), rc);
        return rec;
    }
    // listed_only: the records of PKCS7_GET_SIGNERS, whose result 0 says that the signer's
    // certificate was found, not that its signature holds (that type checks none).
    void print_record(int n, const SigRcpSsfInfo* r, bool listed_only = false) const {
        auto text = fn<decltype(GetSignerErrorMessage)>("GetSignerErrorMessage");
        std::string id = r->strSigRcpId
                             ? std::string(reinterpret_cast<char*>(r->strSigRcpId), r->strSigRcpIdL)
                             : "";
        const bool listed = listed_only && r->uResult == 0;
        std::printf("record %d: '%s' result %u (%s)\n", n, id.c_str(), r->uResult,
                    listed ? "Signer listed, signature not verified" : text(r->uResult));
    }
    void print_list(SigRcpSsfInfoList list, bool listed_only = false) const {
        int n = 1;
        for (auto* node = list; node; node = node->next, ++n)
            if (node->ptrSigRcp) print_record(n, node->ptrSigRcp, listed_only);
    }
    void free_list(SigRcpSsfInfoList& list) const {
        fn<decltype(SsfDELSigRcpSsfInfoList)>("SsfDELSigRcpSsfInfoList")(&list);
    }

    // Prints the return code, writes and releases the output, and gives the exit status.
    int finish(SAPRETURN rc, SAP_BYTE*& out, SAP_UINT& outL, const std::string& path) const {
        std::printf("return code: %d\n", static_cast<int>(rc));
        if (out) write_file(path, out, outL);
        fn<decltype(SsfDELSsfOctetstring)>("SsfDELSsfOctetstring")(&out, &outL);
        return rc == 0 ? 0 : 1;
    }

  private:
    void* lib_;
};

int cmd_load(const Host& h, const std::vector<std::string>&) {
    std::printf("library loaded; %s\n", h.fn<const char*()>("get_ssf_svn_info")());
    return 0;
}

int cmd_version(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 1);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfVersion)>("SsfVersion")(&out, &outL);
    return h.finish(rc, out, outL, a.pos[0]);
}

int cmd_query(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 2);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfQueryProperties)>("SsfQueryProperties")(
        bytes(a.pos[0]), len(a.pos[0]), nullptr, 0, &out, &outL);
    return h.finish(rc, out, outL, a.pos[1]);
}

int cmd_encode(const Host& h, const std::vector<std::string>& argv, bool encode) {
    Args a = parse(argv, 3);
    std::string in = read_file(a.pos[1]);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    auto call = h.fn<decltype(SsfEncode)>(encode ? "SsfEncode" : "SsfDecode");
    SAPRETURN rc = call(bytes(a.pos[0]), len(a.pos[0]), bytes(in), len(in), &out, &outL);
    return h.finish(rc, out, outL, a.pos[2]);
}

int cmd_sign(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 4);
    std::string in = read_file(a.pos[2]);
    SigRcpSsfInfoList signers = h.make_list(a.records);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfSign)>("SsfSign")(
        bytes(a.pos[0]), len(a.pos[0]), bytes(a.pos[1]), len(a.pos[1]), a.flag("--inc-certs"),
        a.flag("--detached"), bytes(in), len(in), signers, &out, &outL);
    h.print_list(signers);
    h.free_list(signers);
    return h.finish(rc, out, outL, a.pos[3]);
}

int cmd_verify(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 3);
    std::string sig = read_file(a.pos[1]), input = a.get("--input"), pab = a.get("--pab"),
                pab_pw = a.get("--pab-password-file");
    SigRcpSsfInfoList results = nullptr;
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfVerify)>("SsfVerify")(
        bytes(a.pos[0]), len(a.pos[0]), a.flag("--use-certs"), bytes(sig), len(sig),
        input.empty() ? nullptr : bytes(input), len(input), pab.empty() ? nullptr : bytes(pab),
        len(pab), pab_pw.empty() ? nullptr : bytes(pab_pw), len(pab_pw), &results, &out, &outL);
    h.print_list(results, a.pos[0] == "PKCS7_GET_SIGNERS");
    h.free_list(results);
    return h.finish(rc, out, outL, a.pos[2]);
}

int cmd_envelope(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 4);
    std::string in = read_file(a.pos[2]), pab = a.get("--pab"),
                pab_pw = a.get("--pab-password-file");
    SigRcpSsfInfoList recipients = h.make_list(a.records);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfEnvelope)>("SsfEnvelope")(
        bytes(a.pos[0]), len(a.pos[0]), bytes(a.pos[1]), len(a.pos[1]), bytes(in), len(in),
        pab.empty() ? nullptr : bytes(pab), len(pab), pab_pw.empty() ? nullptr : bytes(pab_pw),
        len(pab_pw), recipients, &out, &outL);
    h.print_list(recipients);
    h.free_list(recipients);
    return h.finish(rc, out, outL, a.pos[3]);
}

int cmd_develope(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 3);
    if (a.records.size() > 1) throw UsageError("develope takes one recipient");
    std::string in = read_file(a.pos[1]);
    SigRcpSsfInfo* rec = a.records.empty() ? nullptr : h.make_record(a.records[0]);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfDevelope)>("SsfDevelope")(bytes(a.pos[0]), len(a.pos[0]),
                                                              bytes(in), len(in), rec, &out, &outL);
    if (rec) {
        h.print_record(1, rec);
        h.fn<decltype(SsfDELSigRcpSsfInfo)>("SsfDELSigRcpSsfInfo")(&rec);
    }
    return h.finish(rc, out, outL, a.pos[2]);
}

int cmd_add_sign(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 4);
    if (a.records.size() > 1) throw UsageError("add-sign takes one signer");
    std::string sig = read_file(a.pos[2]), input = a.get("--input");
    SigRcpSsfInfo* rec = a.records.empty() ? nullptr : h.make_record(a.records[0]);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfAddSign)>("SsfAddSign")(
        bytes(a.pos[0]), len(a.pos[0]), bytes(a.pos[1]), len(a.pos[1]), a.flag("--inc-certs"),
        bytes(sig), len(sig), input.empty() ? nullptr : bytes(input), len(input), rec, &out, &outL);
    if (rec) {
        h.print_record(1, rec);
        h.fn<decltype(SsfDELSigRcpSsfInfo)>("SsfDELSigRcpSsfInfo")(&rec);
    }
    return h.finish(rc, out, outL, a.pos[3]);
}

int cmd_digest(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 4);
    std::string in = read_file(a.pos[2]);
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfDigest)>("SsfDigest")(
        bytes(a.pos[0]), len(a.pos[0]), a.flag("--detached"), bytes(in), len(in), bytes(a.pos[1]),
        len(a.pos[1]), &out, &outL);
    return h.finish(rc, out, outL, a.pos[3]);
}

int cmd_enhance(const Host& h, const std::vector<std::string>& argv) {
    Args a = parse(argv, 2);
    std::string sig = read_file(a.pos[0]), input = a.get("--input"), pab = a.get("--pab");
    SigRcpSsfInfoList results = nullptr;
    SAP_BYTE* out = nullptr;
    SAP_UINT outL = 0;
    SAPRETURN rc = h.fn<decltype(SsfEnhanceSignatures)>("SsfEnhanceSignatures")(
        pab.empty() ? nullptr : bytes(pab), len(pab), bytes(sig), len(sig),
        input.empty() ? nullptr : bytes(input), len(input), &results, &out, &outL);
    h.print_list(results);
    h.free_list(results);
    return h.finish(rc, out, outL, a.pos[1]);
}

struct Command {
    const char* name;
    int (*run)(const Host&, const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"load", cmd_load},
    {"version", cmd_version},
    {"query", cmd_query},
    {"encode",
     [](const Host& h, const std::vector<std::string>& a) { return cmd_encode(h, a, true); }},
    {"decode",
     [](const Host& h, const std::vector<std::string>& a) { return cmd_encode(h, a, false); }},
    {"sign", cmd_sign},
    {"verify", cmd_verify},
    {"envelope", cmd_envelope},
    {"develope", cmd_develope},
    {"add-sign", cmd_add_sign},
    {"digest", cmd_digest},
    {"enhance", cmd_enhance},
};

}  // namespace

int main(int argc, char** argv) {
    std::string lib_path =
        std::getenv("SSF_LIBRARY") ? std::getenv("SSF_LIBRARY") : "libselvanor-ssf.so";
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--lib") == 0) {
        lib_path = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string name = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);
    for (const auto& c : kCommands) {
        if (name != c.name) continue;
        void* lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            std::fprintf(stderr, "ssfhost: cannot load %s: %s\n", lib_path.c_str(), dlerror());
            return 3;
        }
        try {
            return c.run(Host(lib), args);
        } catch (const UsageError& e) {
            std::fprintf(stderr, "ssfhost: %s\n%s", e.what(), kUsage);
            return 2;
        }
    }
    std::fputs(kUsage, stderr);
    return 2;
}
