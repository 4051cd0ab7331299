// Start-up, configuration keys and the trace log, driven in-process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "common/tempdir.h"
#include "platform/winstub.h"
#include "ssf/config.h"
#include "ssf/export.h"
#include "ssf/list.h"
#include "ssf/log.h"

using namespace testing_support;

namespace {

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { ssf::reset_for_tests(); }
    void TearDown() override {
        platform::set_test_os_version_failure(false);
        ssf::reset_for_tests();
    }

    // Writes a configuration whose log goes into the scratch directory, then starts up.
    std::string start(const std::string& common_extra, const std::string& rest = "") {
        dir.write("selvanor-ssf-server.cfg",
                  "[common]\nlog_dir = " + dir.path() + "\n" + common_extra + "\n" + rest);
        EXPECT_EQ(ssf::init_lib(), 0);
        return log();
    }
    std::string log() const { return read_file(dir.file("selvanor-ssf-server.log")); }

    TempDir dir;
    ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

bool has_line(const std::string& log, const std::string& line) {
    for (const auto& l : lines(log))
        if (l == line) return true;
    return false;
}

TEST_F(StartUp, BannerRevisionAndConfigurationLines) {
    std::string log = start("");
    auto ls = lines(log);
    ASSERT_GE(ls.size(), 3u);
    EXPECT_EQ(ls[0], std::string(61, '='));
    EXPECT_EQ(ls[1].rfind(" Trace file started on ", 0), 0u);
    EXPECT_TRUE(has_line(log, "init_lib(): Revision info: 'Revision number: 623 Repository URL: ssf/trunk'"));
    EXPECT_TRUE(has_line(log, "config_file = '" + dir.file("selvanor-ssf-server.cfg") + "'"));
    EXPECT_TRUE(has_line(log, "init_lib() 7 : 'common:ca_file' parameter not found"));
    EXPECT_TRUE(has_line(log, "init_lib() : local encoding is 'UTF-8'"));
    EXPECT_TRUE(has_line(log, "init_lib() 9 : 'cades:tsp_server' parameter not found, default TSP server will be used"));
    // Keys whose table has no missing line write the not-found line alone.
    EXPECT_TRUE(has_line(log, "init_lib() 35 : 'cades:max_ocsp_age' parameter not found"));
    EXPECT_EQ(log.find("max_ocsp_age = "), std::string::npos);
    // Without check_crl the protocol list is not even looked up.
    EXPECT_EQ(log.find("crl_protocols"), std::string::npos);
}

TEST_F(StartUp, SecondRunWritesNothing) {
    std::string first = start("");
    EXPECT_EQ(ssf::init_lib(), 0);
    EXPECT_EQ(log(), first);
}

TEST_F(StartUp, BooleansAreOnOnlyForExactYes) {
    std::string log = start("use_profile_timestamp = yes\nuse_heapdump = Yes\npassword_caching = yes ; comment\n"
                            "use_func_mutex = no\n");
    const auto& c = ssf::config();
    EXPECT_TRUE(c.use_profile_timestamp);
    EXPECT_FALSE(c.use_heapdump);
    EXPECT_TRUE(c.password_caching);
    EXPECT_FALSE(c.use_func_mutex);
    EXPECT_TRUE(has_line(log, "init_lib() : use_heapdump is 'off'"));
    EXPECT_TRUE(has_line(log, "init_lib() : password_caching is 'on'"));
}

TEST_F(StartUp, ValuesAndDefaults) {
    std::string log = start("ca_file = /etc/ca.pem\nserver_encoding = CP1251\n",
                            "[cades]\nmax_tsp_ocsp_diff = 120\ntsp_server = http://tsp.local/tsp\n");
    const auto& c = ssf::config();
    EXPECT_EQ(c.ca_file.value_or(""), "/etc/ca.pem");
    EXPECT_EQ(c.server_encoding, "CP1251");
    EXPECT_EQ(c.max_tsp_ocsp_diff, 120);
    EXPECT_EQ(c.max_ocsp_age, 0);
    ASSERT_TRUE(ssf::config_tsp_server());
    EXPECT_EQ(*ssf::config_tsp_server(), "http://tsp.local/tsp");
    EXPECT_TRUE(has_line(log, "init_lib() : CA file = '/etc/ca.pem'"));
    EXPECT_TRUE(has_line(log, "init_lib() : max_tsp_ocsp_diff = 120"));
}

TEST_F(StartUp, CertCheckOptionsAndCrlProtocols) {
    std::string log = start("cert_check_options = check_crl,check_chain\ncrl_protocols = http  ldap\n");
    EXPECT_TRUE(ssf::config().check_chain);
    EXPECT_TRUE(ssf::config().check_crl);
    EXPECT_TRUE(has_line(log, "init_lib() : \tCRL validity"));
    EXPECT_TRUE(has_line(log, "init_lib(): supported CRL protocols:"));
    EXPECT_TRUE(has_line(log, "init_lib(): \t1)\t'http'"));
    EXPECT_TRUE(has_line(log, "init_lib(): \t2)\t''"));
    EXPECT_TRUE(has_line(log, "init_lib(): \t3)\t'ldap'"));
    EXPECT_EQ(ssf::config().crl_protocols->count, 3u);
}

TEST_F(StartUp, CrlOnlyAndMissingProtocolList) {
    std::string log = start("cert_check_options = check_crl\n");
    EXPECT_FALSE(ssf::config().check_chain);
    EXPECT_TRUE(has_line(log, "init_lib(): 'common:crl_protocols' parameter not found"));
    EXPECT_FALSE(has_line(log, "init_lib() : \tCertificate chain validity"));
}

TEST(ProxyUrl, SplitsHostAndPort) {
    ssf::Text host, port;
    ssf::split_proxy_url("http://proxy.local:3128", host, port);
    EXPECT_EQ(*host, "proxy.local");
    EXPECT_EQ(*port, "3128");
    ssf::split_proxy_url("proxy.local:8080/path", host, port);
    EXPECT_EQ(*host, "proxy.local");
    EXPECT_EQ(*port, "8080/path");
    ssf::split_proxy_url("proxy.local", host, port);
    EXPECT_EQ(*host, "proxy.local");
    EXPECT_FALSE(port.has_value());
}

TEST_F(StartUp, SecretsNeverReachTheLog) {
    std::string log = start("", "[proxy]\nproxy_url = http://p:3128\nproxy_login_pwd = user:s3cret1\n"
                                "[hok]\nhok_password = s3cret2\n");
    EXPECT_TRUE(has_line(log, "init_lib() : 'proxy:proxy_url' is: host = 'p', port = '3128'"));
    EXPECT_TRUE(has_line(log, "init_lib() : proxy_login_pwd is used"));
    EXPECT_TRUE(has_line(log, "init_lib() : hok_password is used"));
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(ssf::config().hok_password.value_or(""), "s3cret2");
}

TEST_F(StartUp, WriteLogNoCreatesNoFile) {
    start("write_log = no\n");
    EXPECT_FALSE(file_exists(dir.file("selvanor-ssf-server.log")));
    EXPECT_FALSE(ssf::log_is_open());
}

TEST_F(StartUp, ServerModeAppendsProcessId) {
    start("server_mode = yes\n");
    char pid[16];
    snprintf(pid, sizeof pid, "%.8x", static_cast<unsigned>(getpid()));
    std::string log = read_file(dir.file(std::string("selvanor-ssf-server.log_") + pid));
    EXPECT_NE(log.find("Trace file started on"), std::string::npos);
}

TEST_F(StartUp, MissingConfigurationFileUsesDefaults) {
    ScopedEnv nowhere("DIR_LIBRARY", (dir.path() + "/absent").c_str());
    ASSERT_EQ(ssf::init_lib(), 0);
    EXPECT_EQ(ssf::log_path(), "/tmp/selvanor-ssf-server.log");
    std::string log = read_file("/tmp/selvanor-ssf-server.log");
    EXPECT_NE(log.find("stat( '" + dir.path() + "/absent/selvanor-ssf-server.cfg' ) failed, errno = 2"),
              std::string::npos);
    EXPECT_TRUE(ssf::config().use_func_mutex);
    EXPECT_EQ(ssf::config().max_tsp_ocsp_diff, 60);
    EXPECT_FALSE(ssf::config().ca_file.has_value());
}

TEST_F(StartUp, ConfigDirectoryFromRegistryThenCurrentDirectory) {
    ScopedEnv no_env("DIR_LIBRARY", nullptr);
    dir.write("registry.ini", "[HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server]\n"
                              "config_dir_name = /srv/ssf\n");
    {
        ScopedEnv reg("SSF_REGISTRY_FILE", dir.file("registry.ini").c_str());
        EXPECT_EQ(ssf::get_config_dir(), "/srv/ssf");
    }
    ssf::reset_for_tests();
    ScopedEnv reg("SSF_REGISTRY_FILE", dir.file("none.ini").c_str());
    EXPECT_EQ(ssf::get_config_dir(), ".");
}

TEST_F(StartUp, FailedStartUpIsRetriedByTheNextCall) {
    dir.write("selvanor-ssf-server.cfg", "[common]\nlog_dir = " + dir.path() + "\n");
    platform::set_test_os_version_failure(true);
    EXPECT_EQ(ssf::init_lib(), -1);
    EXPECT_FALSE(ssf::lib_started());
    EXPECT_NE(log().find("GetVersionExA() failed"), std::string::npos);
    platform::set_test_os_version_failure(false);
    std::lock_guard<std::recursive_mutex> api(ssf::api_mutex());  // as an export holds it
    EXPECT_EQ(ssf::init_lib(), 0);
    EXPECT_TRUE(ssf::lib_started());
    // The log opened by the failed run stays the log: one banner only.
    std::string text = log();
    EXPECT_EQ(text.find("Trace file started"), text.rfind("Trace file started"));
    EXPECT_NE(text.find("use_func_mutex is 'on'"), std::string::npos);
}

TEST_F(StartUp, UnloadLines) {
    start("");
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    auto ls = lines(log());
    ASSERT_GE(ls.size(), 3u);
    EXPECT_EQ(ls[ls.size() - 3], std::string(61, '='));
    EXPECT_EQ(ls[ls.size() - 2].rfind("Selvanor-SSF DLL was unloaded on ", 0), 0u);
    EXPECT_EQ(ls[ls.size() - 1], std::string(61, '='));
}

TEST(ServerSetters, ReplaceValuesReadersKeepTheirSnapshot) {
    ssf::reset_for_tests();
    set_ocsp_server("http://one");
    auto held = ssf::config_ocsp_server();
    set_ocsp_server("http://two");
    EXPECT_EQ(*held, "http://one");
    EXPECT_EQ(*ssf::config_ocsp_server(), "http://two");
    set_ocsp_server(nullptr);
    EXPECT_FALSE(ssf::config_ocsp_server());
}

class TraceLog : public ::testing::Test {
protected:
    void SetUp() override {
        ssf::reset_for_tests();
        ASSERT_EQ(ssf::log_open(path().c_str(), "App", false), 0);
    }
    void TearDown() override { ssf::reset_for_tests(); }
    std::string path() const { return dir.file("t.log"); }
    std::string text() const { return read_file(path()); }
    TempDir dir;
};

TEST_F(TraceLog, SecondOpenKeepsTheFirst) {
    EXPECT_EQ(ssf::log_open(dir.file("other.log").c_str(), "X", false), 1);
    EXPECT_EQ(ssf::log_path(), path());
    EXPECT_EQ(ssf::log_open(nullptr, "X", false), -1);
}

TEST_F(TraceLog, PercentSignsInValuesAreWrittenUnchanged) {
    ssf::log_set_debug_mode(true);
    const char* url = "http://h/a%20b%s%n";
    ssf::log_write("url=%s", url);
    ssf::log_debug("dbg=%s", url);
    ssf::log_error("err=%s", url);
    ssf::log_info("inf=%s", url);
    std::string t = text();
    for (const char* want : {"url=", "dbg=", "err=", "inf="})
        EXPECT_TRUE(has_line(t, std::string(want) + url)) << want;
    EXPECT_TRUE(has_line(t, "ERROR"));
    EXPECT_TRUE(has_line(t, "INFO"));
}

TEST_F(TraceLog, LongTextIsCut) {
    std::string big(ssf::kLogTextMax + 50, 'x');
    ssf::log_write("%s", big.c_str());
    auto ls = lines(text());
    EXPECT_EQ(ls.back().size(), ssf::kLogTextMax - 1);
}

TEST_F(TraceLog, HexDumpOnlyInDebugModeAndUpTo4096Bytes) {
    std::vector<unsigned char> data(4097, 0xab);
    ssf::log_hexdump(data.data(), 4, "off");
    ssf::log_set_debug_mode(true);
    ssf::log_hexdump(data.data(), 4097, "big");
    ssf::log_hexdump(data.data(), 3, "lbl");
    ssf::log_hexdump(data.data(), 4096, "max");
    std::string t = text();
    EXPECT_EQ(t.find("off:"), std::string::npos);
    EXPECT_EQ(t.find("big:"), std::string::npos);
    EXPECT_TRUE(has_line(t, "lbl: size=3: ab ab ab"));
    EXPECT_NE(t.find("\nmax: size=4096:"), std::string::npos);
}

TEST_F(TraceLog, ErrorRecordsAreWrittenWithoutDebugMode) {
    ssf::log_error("%s() : broken", "f");
    auto ls = lines(text());
    ASSERT_GE(ls.size(), 5u);
    size_t n = ls.size();
    EXPECT_EQ(ls[n - 5], std::string(61, '-'));
    EXPECT_EQ(ls[n - 4].rfind("App ", 0), 0u);
    EXPECT_EQ(ls[n - 3], "ERROR");
    EXPECT_EQ(ls[n - 2], "f() : broken");
    EXPECT_EQ(ls[n - 1], std::string(61, '-'));
}

TEST_F(TraceLog, DeletedFileIsCreatedAgainWithoutBanner) {
    ASSERT_EQ(unlink(path().c_str()), 0);
    ssf::log_write("after");
    EXPECT_EQ(text(), "after\n");
}

TEST_F(TraceLog, ConcurrentWritersNeverTearALine) {
    constexpr int kThreads = 8, kLines = 300;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([t] {
            std::string payload(200 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) ssf::log_write("%d:%s", t, payload.c_str());
        });
    for (auto& t : ts) t.join();
    int counted = 0;
    for (const auto& l : lines(text())) {
        if (l.size() < 3 || l[1] != ':') continue;
        int t = l[0] - '0';
        ASSERT_EQ(l, std::to_string(t) + ":" + std::string(200 + t * 37, static_cast<char>('a' + t)));
        ++counted;
    }
    EXPECT_EQ(counted, kThreads * kLines);
}

TEST(ProtocolList, SplitsAtEverySpaceKeepingEmptyWords) {
    ssf::list* l = ssf::list_create();
    EXPECT_EQ(ssf::parse_protocol_list(l, "http  ldap"), 3);
    EXPECT_EQ(l->count, 3u);
    EXPECT_STREQ(static_cast<char*>(l->head->next->data), "");
    EXPECT_EQ(l->tail->previous, l->head->next);
    ssf::list_free(l, free);
    l = ssf::list_create();
    EXPECT_EQ(ssf::parse_protocol_list(l, ""), 1);
    EXPECT_EQ(ssf::parse_protocol_list(nullptr, "x"), -1);
    EXPECT_EQ(ssf::parse_protocol_list(l, nullptr), -1);
    ssf::list_free(l, free);
    EXPECT_EQ(ssf::list_is_empty(nullptr), 1);
    EXPECT_EQ(ssf::list_push(nullptr, nullptr), 0);
}

}  // namespace
