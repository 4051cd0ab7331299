// In-process fixture: a started library whose trace log (debug lines included) goes into a
// scratch directory, and small helpers for SAP strings.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/tempdir.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/ssf_api.h"

namespace ssf_test {

class Started : public ::testing::Test {
  protected:
    void SetUp() override {
        ssf::reset_for_tests();
        dir.write("selvanor-ssf-server.cfg",
                  "[common]\nlog_dir = " + dir.path() + "\ndebug_mode = yes\n" + extra_config());
        ASSERT_EQ(ssf::init_lib(), 0);
        mark = log().size();
    }
    void TearDown() override { ssf::reset_for_tests(); }
    virtual std::string extra_config() const { return ""; }

    std::string log() const {
        return testing_support::read_file(dir.file("selvanor-ssf-server.log"));
    }
    // The log written since the last call (or since start-up).
    std::string fresh() {
        std::string all = log();
        std::string out = all.substr(mark);
        mark = all.size();
        return out;
    }

    testing_support::TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
    size_t mark = 0;
};

inline bool has_line(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l == line) return true;
    return false;
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

}  // namespace ssf_test
