// A fixture that starts the library with a configuration of the test's own, its trace log in a
// scratch directory, and gives the test the log's lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "common/tempdir.h"
#include "platform/winstub.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "test_pki.h"

class StartedLibrary : public ::testing::Test {
  protected:
    void SetUp() override { start(""); }
    void TearDown() override {
        platform::set_test_clock(std::nullopt);
        ssf::reset_for_tests();
    }

    // Starts again with "[common]" lines of the test's choice (and further sections after them).
    void start(const std::string& common_lines, const std::string& rest = "") {
        ssf::reset_for_tests();
        std::remove(dir.file("selvanor-ssf-server.log").c_str());
        dir.write("selvanor-ssf-server.cfg",
                  "[common]\nlog_dir = " + dir.path() + "\ndebug_mode = yes\n" + common_lines + "\n" + rest);
        ASSERT_EQ(ssf::init_lib(), 0);
        pki = &test_pki::get();
    }

    std::string log() const {
        return testing_support::read_file(dir.file("selvanor-ssf-server.log"));
    }
    bool logged(const std::string& line) const {
        std::istringstream in(log());
        for (std::string l; std::getline(in, l);)
            if (l == line) return true;
        return false;
    }
    bool log_contains(const std::string& part) const {
        return log().find(part) != std::string::npos;
    }

    testing_support::TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
    const test_pki::Pki* pki = nullptr;
};
