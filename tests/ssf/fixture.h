// In-process fixture: the library started with a configuration of the test's own, its trace log
// (debug lines included) in a scratch directory; and small helpers for SAP strings and outputs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "common/tempdir.h"
#include "kit/pki.h"
#include "platform/winstub.h"
#include "ssf/encode.h"
#include "ssf/exports.h"
#include "ssf/init.h"
#include "ssf/log.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/ssf_api.h"

namespace ssf_test {

// Runs the call on a thread of its own. One still running after ten seconds hangs: the FIFOs
// given are opened for writing, which lets a reader blocked on one go on, and the test fails.
template <class F>
auto without_hang(F&& call, const std::vector<std::string>& fifos) {
    auto done = std::async(std::launch::async, std::forward<F>(call));
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the call blocked on a special file";
        for (const auto& f : fifos) ::close(::open(f.c_str(), O_WRONLY | O_NONBLOCK));
    }
    return done.get();
}

inline bool has_line(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
}

// While one lives the process's clock stands still, and each pause the library takes moves it on
// by the time asked instead of sleeping: a start-up retried after a mend waits out the file's
// second of settling inside the call, at no cost to the tests. `during` runs in each pause, before
// the clock moves on (a file changed meanwhile, say).
class Pauses {
  public:
    Pauses() {
        platform::set_test_monotonic_clock(platform::performance_counter());
        platform::set_test_sleeper([this](unsigned ms) {
            slept_ms_ += ms;
            if (during) during();
            move_on(ms);
        });
    }
    ~Pauses() {
        platform::set_test_sleeper(nullptr);
        platform::set_test_monotonic_clock(std::nullopt);
    }
    // A quiet spell, with no call.
    static void move_on(uint64_t ms) {
        platform::set_test_monotonic_clock(platform::monotonic_ns() + ms * 1000000);
    }
    unsigned slept_ms() const { return slept_ms_.load(); }
    std::function<void()> during;

  private:
    std::atomic<unsigned> slept_ms_{0};
};

class Started : public ::testing::Test {
  protected:
    void SetUp() override { start(""); }
    void TearDown() override {
        platform::set_test_clock(std::nullopt);
        platform::set_test_monotonic_clock(std::nullopt);
        ssf::reset_for_tests();
    }
    // Starts again with "[common]" lines of the test's choice (and further sections after them).
    void start(const std::string& common_lines, const std::string& rest = "") {
        ssf::reset_for_tests();
        std::remove(dir.file("selvanor-ssf-server.log").c_str());
        dir.write("selvanor-ssf-server.cfg", "[common]\nlog_dir = " + dir.path() +
                                                 "\ndebug_mode = yes\n" + common_lines + "\n" +
                                                 rest);
        ASSERT_EQ(ssf::init_lib(), 0);
        mark = log().size();
        pki = &test_pki::get();
    }

    std::string log() const {
        return testing_support::read_file(dir.file("selvanor-ssf-server.log"));
    }
    // The log written since the last call (or since start-up).
    std::string fresh() {
        std::string all = log();
        std::string out = all.substr(std::min(mark, all.size()));
        mark = all.size();
        return out;
    }
    bool logged(const std::string& line) const { return has_line(log(), line); }
    bool log_contains(const std::string& part) const {
        return log().find(part) != std::string::npos;
    }

    testing_support::TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
    size_t mark = 0;
    const test_pki::Pki* pki = nullptr;
};

// The tests' strings and the library's byte types.
inline std::string str(const test_pki::Der& d) {
    return std::string(d.begin(), d.end());
}
inline std::string str(const ssf::OutData& o) {
    return std::string(reinterpret_cast<const char*>(o.data.get()), o.size);
}
inline ssf::Bytes bytes(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// The content wrapped as DER PKCS#7 data, as callers hand it to the exports.
inline std::string data_message(const std::string& content) {
    ssf::OutData out;
    EXPECT_EQ(ssf::encode_data(out, bytes(content)), 0);
    return str(out);
}

// A SAP string over a std::string: pointer and length, no NUL counted.
struct Sap {
    std::string s;
    Sap(const char* text) : s(text) {}
    Sap(std::string text) : s(std::move(text)) {}
    SAP_BYTE* p() { return reinterpret_cast<SAP_BYTE*>(s.data()); }
    SAP_UINT n() const { return static_cast<SAP_UINT>(s.size()); }
};

// Output of an export, released through the interface.
struct Out {
    SAP_BYTE* data = reinterpret_cast<SAP_BYTE*>(1);  // not null: the exports must clear it
    SAP_UINT len = 77;
    ~Out() {
        if (data != reinterpret_cast<SAP_BYTE*>(1)) SsfDELSsfOctetstring(&data, &len);
    }
    std::string str() const {
        return data ? std::string(reinterpret_cast<const char*>(data), len) : std::string();
    }
    bool cleared() const { return data == nullptr && len == 0; }
};

// A record over strings the test owns, result preset to 28.
struct Record {
    std::string id, profile, password;
    SigRcpSsfInfo info{};
    Record(std::string id_, std::string profile_ = "", std::string password_ = "")
        : id(std::move(id_)), profile(std::move(profile_)), password(std::move(password_)) {
        info.strSigRcpId = reinterpret_cast<SAP_BYTE*>(id.data());
        info.strSigRcpIdL = static_cast<SAP_UINT>(id.size());
        info.strSigRcpProfile = reinterpret_cast<SAP_BYTE*>(profile.data());
        info.strSigRcpProfileL = static_cast<SAP_UINT>(profile.size());
        info.strSigRcpPassword = reinterpret_cast<SAP_BYTE*>(password.data());
        info.strSigRcpPasswordL = static_cast<SAP_UINT>(password.size());
        info.uResult = 28;
    }
};

}  // namespace ssf_test
