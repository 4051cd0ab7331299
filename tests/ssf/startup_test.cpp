// Start-up, configuration keys and the trace log, driven in-process.
#include <fcntl.h>
#include <iniparser.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "fixture.h"
#include "platform/ini.h"
#include "ssf/export.h"

using namespace ssf_test;
using testing_support::read_file;
using testing_support::ScopedEnv;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

class StartUp : public Started {};

TEST_F(StartUp, BannerRevisionAndConfigurationLinesOnce) {
    const std::string first = log();
    auto ls = lines(first);
    ASSERT_GE(ls.size(), 3u);
    EXPECT_EQ(ls[0], std::string(61, '='));
    EXPECT_EQ(ls[1].rfind(" Trace file started on ", 0), 0u);
    EXPECT_TRUE(logged("config_file = '" + dir.file("selvanor-ssf-server.cfg") + "'"));
    EXPECT_EQ(ssf::init_lib(), 0);
    EXPECT_EQ(log(), first) << "a second run writes nothing";
}

// Each configuration, the lines it must log and a text it must not.
TEST_F(StartUp, KeysTheirLinesAndDefaults) {
    const struct {
        std::string common, rest;
        std::vector<std::string> lines;
        std::string absent;
    } cases[] = {
        {"",
         "",
         {"init_lib(): Revision info: 'Revision number: 623 Repository URL: ssf/trunk'",
          "init_lib() 7 : 'common:ca_file' parameter not found",
          "init_lib() : local encoding is 'UTF-8'",
          "init_lib() 9 : 'cades:tsp_server' parameter not found, default TSP server will be used",
          // Keys whose table has no missing line write the not-found line alone.
          "init_lib() 35 : 'cades:max_ocsp_age' parameter not found"},
         "max_ocsp_age = "},
        // Booleans are on for exactly "yes" (a comment may follow).
        {"use_heapdump = Yes\npassword_caching = yes ; comment",
         "",
         {"init_lib() : use_heapdump is 'off'", "init_lib() : password_caching is 'on'"},
         "crl_protocols"},  // without check_crl the protocol list is not even looked up
        {"ca_file = /etc/ca.pem",
         "[cades]\nmax_tsp_ocsp_diff = 120\n",
         {"init_lib() : CA file = '/etc/ca.pem'", "init_lib() : max_tsp_ocsp_diff = 120"},
         "'common:ca_file' parameter not found"},
        {"cert_check_options = check_crl,check_chain\ncrl_protocols = http  ldap",
         "",
         {"init_lib() : \tCRL validity", "init_lib(): supported CRL protocols:",
          "init_lib(): \t1)\t'http'", "init_lib(): \t2)\t''", "init_lib(): \t3)\t'ldap'"},
         "'common:crl_protocols' parameter not found"},
        {"cert_check_options = check_crl",
         "",
         {"init_lib(): 'common:crl_protocols' parameter not found"},
         "Certificate chain validity"},
        {"",
         "[proxy]\nproxy_url = http://p:3128\nproxy_login_pwd = user:s3cret1\n"
         "[hok]\nhok_password = s3cret2\n",
         {"init_lib() : 'proxy:proxy_url' is: host = 'p', port = '3128'",
          "init_lib() : proxy_login_pwd is used", "init_lib() : hok_password is used"},
         "s3cret"},
    };
    for (const auto& c : cases) {
        start(c.common, c.rest);
        for (const auto& line : c.lines) EXPECT_TRUE(logged(line)) << line;
        EXPECT_FALSE(log_contains(c.absent)) << c.absent;
    }
    // The last two cases left values behind.
    EXPECT_EQ(ssf::config().hok_password.value_or(""), "s3cret2");
    start("use_profile_timestamp = yes\nuse_func_mutex = no\ncert_check_options = check_crl",
          "[cades]\ntsp_server = http://tsp.local/tsp\n");
    EXPECT_TRUE(ssf::config().use_profile_timestamp);
    EXPECT_FALSE(ssf::config().use_func_mutex);
    EXPECT_TRUE(ssf::config().check_crl);
    EXPECT_FALSE(ssf::config().check_chain);
    ASSERT_TRUE(ssf::config_tsp_server());
    EXPECT_EQ(*ssf::config_tsp_server(), "http://tsp.local/tsp");
}

int quiet(const char*, ...) {
    return 0;
}

// The reader against iniparser, whose syntax configuration files are written in: within its
// line length, every text gives both the same entries, or both refuse it.
TEST(IniSyntax, ReadsWhatIniparserReads) {
    const char* texts[] = {
        "[S]\nK = v ; c\nq = \"x;y\" z\nr = 'p#q'\ne =\nf = ;\ng = #\nh = \"\"\ni=''\n",
        "[S]\nj = \"abc\nk = \"  sp  \"\nl = a=b\nm == c\nn = \"a\"b\"c\"\no = 'it''s'\np = \"\ns "
        "= \"\" x\n",
        "[S]\nk = a\\\n  b\nm=1\nq = v \\\n\n",
        "[ Se Ct ]\r\n  KeY.x-Y  =\tVaL  \r\n\v\"k\" = 1\f\n",
        "[a]\n[a=b]\nk=1\n[c]d]\nk=1\n[x]y=1\nk=1\nk=2\n",
        "[a]\n;c\n#c\n  ; indented\n\n   \nk = #x\nl = x#y\n",
        "",
        "[S]\nnoequals\n",
        "[S]\n=v\n",
        "[x]y\n",
        "[a]\nk=\n=\n",
        "[a]\nk=1\nx\n",
    };
    testing_support::TempDir dir;
    iniparser_set_error_callback(quiet);
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        dir.write("t.ini", text);
        std::optional<std::map<std::string, std::string>> peer;
        if (dictionary* d = iniparser_load(dir.file("t.ini").c_str())) {
            peer.emplace();
            for (int i = 0; i < d->size; ++i)
                if (d->key[i] && d->val[i]) (*peer)[d->key[i]] = d->val[i];
            iniparser_freedict(d);
        }
        int bad_line = 0;
        const auto ours = platform::Ini::parse(text, bad_line);
        ASSERT_EQ(ours.has_value(), peer.has_value()) << bad_line;
        if (ours) {
            EXPECT_EQ(ours->values(), *peer);
        }
    }
    int bad_line = 0;
    const auto ini = platform::Ini::parse("[Common]\nDebug_Mode = yes\n", bad_line);
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->get("COMMON:debug_mode").value_or(""), "yes");
    EXPECT_FALSE(platform::Ini::parse("[a]\nk=1\nbad\n", bad_line));
    EXPECT_EQ(bad_line, 3);
    // Where iniparser keeps the section before a section line that names none, the keys after
    // it would change that section's values: such a line is not understood.
    for (const char* nameless :
         {"[cades]\n[]\ndisable_ocsp_issuer_check = yes\n", "[a]\n[ \t]\nk=1\n"}) {
        EXPECT_FALSE(platform::Ini::parse(nameless, bad_line)) << nameless;
        EXPECT_EQ(bad_line, 2);
    }
}

// Where iniparser would quietly lose lines of a configuration file, every line counts: a comment
// never swallows the next line, a lone CR ends a line, a key no section holds is not understood,
// and a byte-order mark does not make the first line unreadable.
TEST(IniSyntax, NoLineOfTheConfigurationVanishes) {
    const struct {
        const char* text;
        std::map<std::string, std::string> values;
    } read[] = {
        {"[common]\n# was C:\\Selvanor\\\ncert_check_options = check_chain\n",
         {{"common:cert_check_options", "check_chain"}}},
        {"[common]\r; a \\\rca_file = a.pem\rk = v \\\r  w\r\n[hok]\rhok_login = x\r",
         {{"common:ca_file", "a.pem"}, {"common:k", "v   w"}, {"hok:hok_login", "x"}}},
        {"\xEF\xBB\xBF[common]\r\ndebug_mode = yes\r\n", {{"common:debug_mode", "yes"}}},
        // A backslash in the comment after a value is the comment's; one ending the value itself
        // (a quoted value's comment signs included) still goes on in the next line.
        {"[common]\nca_file = ca.pem ; was C:\\Selvanor\\\ncert_check_options = check_chain\n",
         {{"common:ca_file", "ca.pem"}, {"common:cert_check_options", "check_chain"}}},
        {"[common]\nlog_dir = logs # was C:\\logs\\\ncert_check_options = check_crl\n"
         "q = \"x;y\" ; was \\\nm = \"a;b\\\n c\"\n",
         {{"common:log_dir", "logs"},
          {"common:cert_check_options", "check_crl"},
          {"common:q", "x;y"},
          {"common:m", "a;b c"}}},
    };
    for (const auto& r : read) {
        int bad_line = 0;
        const auto ini = platform::Ini::parse(r.text, bad_line);
        ASSERT_TRUE(ini) << r.text << " line " << bad_line;
        EXPECT_EQ(ini->values(), r.values) << r.text;
    }
    // The README's own example reads as it says.
    const std::string readme = read_file(SSF_TEST_DATA "/../../README.md");
    const size_t from = readme.find("# selvanor-ssf-server.cfg\n");
    ASSERT_NE(from, std::string::npos);
    int bad_line = 0;
    const auto example =
        platform::Ini::parse(readme.substr(from, readme.find("\n\n", from) - from), bad_line);
    ASSERT_TRUE(example) << bad_line;
    EXPECT_EQ(example->get("common:ca_file").value_or(""), "/etc/selvanor/ca.pem");
    EXPECT_EQ(example->get("cades:max_ocsp_age").value_or(""), "2");
    // A key before every section line could be read by nothing.
    for (auto [text, line] : {std::pair{"debug_mode = yes\n[common]\n", 1},
                              std::pair{"; lost its section line\n\nca_file = a.pem\n", 3}}) {
        int bad_line = 0;
        EXPECT_FALSE(platform::Ini::parse(text, bad_line)) << text;
        EXPECT_EQ(bad_line, line) << text;
    }
}

TEST(ProxyUrl, SplitsHostAndPort) {
    for (auto [url, host, port] : {std::tuple{"http://proxy.local:3128", "proxy.local", "3128"},
                                   std::tuple{"proxy.local:8080/path", "proxy.local", "8080/path"},
                                   std::tuple{"proxy.local", "proxy.local", "-"}}) {
        ssf::Text h, p;
        ssf::split_proxy_url(url, h, p);
        EXPECT_EQ(h.value_or("-"), host);
        EXPECT_EQ(p.value_or("-"), port);
    }
}

TEST_F(StartUp, WriteLogNoCreatesNoFile) {
    start("write_log = no\n");
    EXPECT_FALSE(testing_support::file_exists(dir.file("selvanor-ssf-server.log")));
    EXPECT_FALSE(ssf::log_is_open());
}

TEST_F(StartUp, MissingConfigurationFileUsesDefaults) {
    ssf::reset_for_tests();
    ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0700), 0);
    ScopedEnv nowhere("DIR_LIBRARY", dir.file("empty").c_str());
    ASSERT_EQ(ssf::init_lib(), 0);
    EXPECT_EQ(ssf::log_path(), "/tmp/selvanor-ssf-server.log");
    EXPECT_NE(
        read_file("/tmp/selvanor-ssf-server.log")
            .find("stat( '" + dir.path() + "/empty/selvanor-ssf-server.cfg' ) failed, errno = 2"),
        std::string::npos);
    EXPECT_TRUE(ssf::config().use_func_mutex);
    EXPECT_EQ(ssf::config().max_tsp_ocsp_diff, 60);
    EXPECT_FALSE(ssf::config().ca_file.has_value());
}

TEST_F(StartUp, ConfigurationFileThatIsAFifoIsNotReadAndFailsStartUp) {
    ssf::reset_for_tests();
    const std::string fifo = dir.file("fifo/selvanor-ssf-server.cfg");
    ASSERT_EQ(mkdir(dir.file("fifo").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ScopedEnv there("DIR_LIBRARY", dir.file("fifo").c_str());
    const size_t before = read_file("/tmp/selvanor-ssf-server.log").size();
    EXPECT_EQ(without_hang([] { return ssf::init_lib(); }, {fifo}), -1);
    EXPECT_FALSE(ssf::lib_started());
    EXPECT_EQ(ssf::log_path(), "/tmp/selvanor-ssf-server.log");
    // Said as an administrator reads it; the file was never parsed.
    const std::string all = read_file("/tmp/selvanor-ssf-server.log"),
                      ours = all.substr(std::min(before, all.size()));
    EXPECT_TRUE(has_line(ours, "kes_get_parameter() : '" + fifo + "' is not a regular file"));
    EXPECT_EQ(ours.find("couldn't parse file '" + fifo + "'"), std::string::npos);
}

// A directory named to the library is used whole, however long its name.
TEST_F(StartUp, ALongDirectoryNameIsUsedWhole) {
    std::string deep = dir.path();
    while (deep.size() < 1100) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    testing_support::TempDir logs;
    const std::string text = "[common]\nlog_dir = " + logs.path() + "\nca_file = /etc/deep.pem\n";
    dir.write(deep.substr(dir.path().size() + 1) + "/selvanor-ssf-server.cfg", text);
    ssf::reset_for_tests();
    ScopedEnv there("DIR_LIBRARY", deep.c_str());
    ASSERT_EQ(ssf::init_lib(), 0);
    EXPECT_EQ(ssf::config().ca_file.value_or(""), "/etc/deep.pem");
    EXPECT_EQ(ssf::log_path(), logs.path() + "/selvanor-ssf-server.log");
}

TEST_F(StartUp, ConfigDirectoryFromRegistryThenCurrentDirectory) {
    ssf::reset_for_tests();
    ScopedEnv no_env("DIR_LIBRARY", nullptr);
    dir.write("registry.ini",
              "[HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server]\n"
              "config_dir_name = /srv/ssf\n");
    {
        ScopedEnv reg("SSF_REGISTRY_FILE", dir.file("registry.ini").c_str());
        EXPECT_EQ(ssf::get_config_dir(), "/srv/ssf");
    }
    ssf::reset_for_tests();
    ScopedEnv reg("SSF_REGISTRY_FILE", dir.file("none.ini").c_str());
    EXPECT_EQ(ssf::get_config_dir(), ".");
}

// Only a registry file with no directory entry means "no value": one that is there but cannot be
// used leaves the configuration directory unknown, and start-up fails rather than look in the
// current directory, where usually no configuration is. A FIFO is not opened.
TEST_F(StartUp, RegistryFileThatCannotBeUsedFailsStartUp) {
    ScopedEnv no_env("DIR_LIBRARY", nullptr);
    const std::string reg = dir.file("registry.ini"),
                      key = "[HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server]\n";
    ScopedEnv to("SSF_REGISTRY_FILE", reg.c_str());
    dir.write("registry.ini", key + "config_dir_name = /srv/ssf#1;2\nconfig_dir_name = /other\n");
    EXPECT_EQ(ssf::get_config_dir(), "/srv/ssf#1;2");  // data, not text with comments; the first
    const std::string not_regular =
        "get_config_dir() : registry file '" + reg + "' is not a regular file";
    const std::pair<std::function<void()>, std::string> spoilers[] = {
        {[&] { dir.write("registry.ini", key + "config_dir_name /srv/ssf\n"); },
         "get_config_dir() : line 2 of registry file '" + reg + "' is not understood"},
        {[&] { ASSERT_EQ(mkfifo(reg.c_str(), 0600), 0); }, not_regular},
        {[&] { ASSERT_EQ(mkdir(reg.c_str(), 0700), 0); }, not_regular},
        {[&] { ASSERT_EQ(symlink(dir.file("absent").c_str(), reg.c_str()), 0); },
         "get_config_dir() : registry file '" + reg +
             "' cannot be read, errno = 2 (No such file or directory)"},
    };
    for (const auto& [spoil, why] : spoilers) {
        ssf::reset_for_tests();
        (void)(std::remove(reg.c_str()) == 0 || rmdir(reg.c_str()) == 0);
        spoil();
        const size_t before = read_file("/tmp/selvanor-ssf-server.log").size();
        EXPECT_EQ(without_hang([] { return ssf::init_lib(); }, {reg}), -1);
        const std::string all = read_file("/tmp/selvanor-ssf-server.log");
        const std::string ours = all.substr(std::min(before, all.size()));
        EXPECT_TRUE(has_line(ours,
                             "init_lib() : the configuration directory cannot be found, start-up "
                             "failed"));
        EXPECT_TRUE(has_line(ours, why)) << why;
    }
}

// The registry stand-in's value is data, taken as written as it always was: only a pair of
// double quotes around it comes off, and a trailing backslash or a ';' or '#' is part of it.
TEST_F(StartUp, RegistryValuesAreTakenAsWritten) {
    ScopedEnv no_env("DIR_LIBRARY", nullptr);
    ScopedEnv to("SSF_REGISTRY_FILE", dir.file("registry.ini").c_str());
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Kesta-Soft\\Selvanor-SSF-Server]";
    for (auto [written, meant] :
         {std::pair{"\"C:\\Selvanor;1#2\\\"", "C:\\Selvanor;1#2\\"},
          std::pair{"/srv/ssf\\", "/srv/ssf\\"}, std::pair{"'/srv/q'", "'/srv/q'"}}) {
        // Comments after a section line, a CR alone ending lines and a byte-order mark are read
        // as an editor on Windows writes them.
        dir.write("registry.ini", "\xEF\xBB\xBF; written on Windows\r" + key +
                                      "\rconfig_dir_name = " + written + "\rsomething = else\r");
        EXPECT_EQ(ssf::get_config_dir(), meant) << written;
    }
}

// A line of any length is read; a file that is there but cannot be read fails the start-up
// instead of leaving every check at its default, and the next call tries again.
TEST_F(StartUp, LongLinesAreReadAndAFileThatCannotBeReadFailsStartUp) {
    std::string urls = "http://127.0.0.1:1/hok";
    while (urls.size() < 2000) urls += ",http://127.0.0.1:1/hok";
    start("cert_check_options = check_chain", "[hok]\nhok_urls = " + urls + "\n");
    EXPECT_TRUE(ssf::config().check_chain);
    EXPECT_EQ(ssf::config().hok_urls.value_or(""), urls);

    const std::string cfg = dir.file("selvanor-ssf-server.cfg"),
                      fallback = "/tmp/" + std::string(ssf::kLogFileName);
    Pauses pauses;  // the mended file's second of settling
    for (const char* bad : {"[common]\ncert_check_options = check_chain\nno value here\n",
                            "[common]\nca_file = /etc/ca.pem\\"}) {
        SCOPED_TRACE(bad);
        ssf::reset_for_tests();
        const size_t before = read_file(fallback).size();  // the file is shared: only our lines
        dir.write("selvanor-ssf-server.cfg", bad);
        EXPECT_EQ(ssf::init_lib(), -1);
        EXPECT_FALSE(ssf::lib_started());
        const std::string logged = read_file(fallback);
        EXPECT_TRUE(has_line(logged.substr(std::min(before, logged.size())),
                             "kes_get_parameter() : couldn't parse file '" + cfg + "'"));
        dir.write("selvanor-ssf-server.cfg", "[common]\nlog_dir = " + dir.path() + "\n");
        EXPECT_EQ(ssf::init_lib(), 0);
    }
}

TEST_F(StartUp, FailedStartUpIsRetriedByTheNextCall) {
    Pauses pauses;
    ssf::reset_for_tests();
    std::remove(dir.file("selvanor-ssf-server.log").c_str());
    platform::set_test_os_version_failure(true);
    EXPECT_EQ(ssf::init_lib(), -1);
    platform::set_test_os_version_failure(false);
    EXPECT_FALSE(ssf::lib_started());
    EXPECT_TRUE(log_contains("GetVersionExA() failed"));
    std::lock_guard<std::recursive_mutex> api(ssf::api_mutex());  // as an export holds it
    EXPECT_EQ(ssf::init_lib(), 0);
    EXPECT_TRUE(ssf::lib_started());
    // The log opened by the failed run stays the log: one banner only.
    std::string text = log();
    EXPECT_EQ(text.find("Trace file started"), text.rfind("Trace file started"));
    EXPECT_TRUE(logged("init_lib() : use_func_mutex is 'on'"));
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
    testing_support::TempDir dir;
};

TEST_F(TraceLog, SecondOpenKeepsTheFirstAndADeletedFileComesBackWithoutBanner) {
    EXPECT_EQ(ssf::log_open(dir.file("other.log").c_str(), "X", false), 1);
    EXPECT_EQ(ssf::log_path(), path());
    EXPECT_EQ(ssf::log_open(nullptr, "X", false), -1);
    ASSERT_EQ(unlink(path().c_str()), 0);
    ssf::log_write("after");
    EXPECT_EQ(text(), "after\n");
}

TEST_F(TraceLog, PercentSignsInValuesAreWrittenUnchangedAndErrorsAreFramed) {
    ssf::log_set_debug_mode(true);
    const char* url = "http://h/a%20b%s%n";
    ssf::log_write("url=%s", url);
    ssf::log_debug("dbg=%s", url);
    ssf::log_info("inf=%s", url);
    ssf::log_error("err=%s", url);
    auto ls = lines(text());
    for (const char* want : {"url=", "dbg=", "inf="})
        EXPECT_TRUE(has_line(text(), std::string(want) + url)) << want;
    EXPECT_TRUE(has_line(text(), "INFO"));
    ASSERT_GE(ls.size(), 5u);
    const size_t n = ls.size();
    EXPECT_EQ(ls[n - 5], std::string(61, '-'));
    EXPECT_EQ(ls[n - 4].rfind("App ", 0), 0u);
    EXPECT_EQ(ls[n - 3], "ERROR");
    EXPECT_EQ(ls[n - 2], std::string("err=") + url);
    EXPECT_EQ(ls[n - 1], std::string(61, '-'));
}

// Every conversion reads as the C library writes it, and the text of each %s argument has its
// control characters escaped: no caller's identity or file name can begin a line of its own.
TEST_F(TraceLog, ConversionsAsTheCLibraryWithControlCharactersEscaped) {
    const char* fmt = "%d|%5.2f|%#lx|%08lX|%zu|%lld|%u|%c|%-4s|%.3s|%*d|%%|%p|%hhx";
    const long big = 0x7ffd12345678;
    char want[256];
    std::snprintf(want, sizeof want, fmt, -7, 3.14159, big, 0xABul, size_t{9}, -1LL, 42u, 'z', "ab",
                  "abcdef", 5, 3, static_cast<void*>(want), 0x1ff);
    ssf::log_write(fmt, -7, 3.14159, big, 0xABul, size_t{9}, -1LL, 42u, 'z', "ab", "abcdef", 5, 3,
                   static_cast<void*>(want), 0x1ff);
    EXPECT_EQ(lines(text()).back(), want);
    const struct {
        const char* in;
        const char* out;
    } texts[] = {
        {"CN=a\nERROR\nforged", "CN=a\\nERROR\\nforged"},
        {"t\tr\r\x01\x1f\x7f.", "t\\x09r\\x0d\\x01\\x1f\\x7f."},
        {"CN=\xd0\x98, O=\"a\\b\"", "CN=\xd0\x98, O=\"a\\b\""},
    };
    for (const auto& t : texts) {
        ssf::log_write("id = '%s'", t.in);
        EXPECT_EQ(lines(text()).back(), std::string("id = '") + t.out + "'");
    }
}

TEST_F(TraceLog, LongTextsAreCutAndHexDumpsOnlyInDebugModeUpTo4096Bytes) {
    ssf::log_write("%s", std::string(ssf::kLogTextMax + 50, 'x').c_str());
    EXPECT_EQ(lines(text()).back().size(), ssf::kLogTextMax - 1);
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
        ASSERT_EQ(l,
                  std::to_string(t) + ":" + std::string(200 + t * 37, static_cast<char>('a' + t)));
        ++counted;
    }
    EXPECT_EQ(counted, kThreads * kLines);
}

}  // namespace

namespace {

// A file's permission bits; 0 when it is not there.
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs body in a child process: "" when the child lived to its end, else how it ended.
std::string in_child(const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "no child";
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
}

// The log is written only into a regular file of the process's effective user with no other name,
// never through a link: in a directory others may write (sticky, or writable by its group or by
// others) anyone may have put something else in its place, and there the lines go on in a new file
// of the process's own beside it, and in another when that one is later taken over. Every file the
// log makes there (at its name, its own, that one made again) is made 0600; elsewhere 0640.
// Elsewhere, and for what a file of ours cannot take (the part a write leaves over), the lines go
// to the debug output with the reason, so a start-up failure never vanishes; the file-size limit
// never ends the process, whatever its signal's action.
TEST(TraceLogFile, OnlyARegularFileOfOursTakesTheLines) {
    testing_support::TempDir dir;
    ScopedEnv debug("SSF_DEBUG_OUTPUT", "stderr");
    const std::string path = dir.file("t.log"), target = dir.file("target"),
                      own = path + "_" + ssf::get_pid_text();
    dir.write("target", "");
    // Captured stderr stays below this size.
    constexpr rlim_t kSizeLimit = 1 << 20;
    struct rlimit size_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &size_limit), 0);
    const auto limit_size = [&](void (*action)(int)) {
        dir.write("t.log", "");
        ASSERT_EQ(truncate(path.c_str(), kSizeLimit - 4), 0);
        struct rlimit lower = size_limit;
        lower.rlim_cur = kSizeLimit;
        signal(SIGXFSZ, action);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0);
    };
    const struct {
        const char* what;
        std::function<void()> make;
        const char* why;
        const char* failed = "open";
        size_t kept = 0;  // bytes of the banner the file takes
        bool in_child = false;
        std::function<void()> undo = [] {};
    } cases[] = {
        {"another user's file",
         [&] {
             dir.write("t.log", "theirs\n");
             ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
         },
         "it belongs to another user"},
        {"a link", [&] { ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0); },
         "it is a symbolic link"},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, "it is not a regular file"},
        {"a directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); },
         "it is not a regular file"},
        {"another name of a file of ours",
         [&] { ASSERT_EQ(link(target.c_str(), path.c_str()), 0); }, "it has 2 hard links"},
        // Writes past the limit fail with EFBIG, as SIGXFSZ is ignored.
        {"a file the size limit stops", [&] { limit_size(SIG_IGN); }, "errno = 27 (File too large)",
         "write", 4, false,
         [&] {
             ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &size_limit), 0);
             signal(SIGXFSZ, SIG_DFL);
         }},
        // The signal's default action ends a process: the child must live on.
        {"a file the size limit stops, its signal left to end the process",
         [&] { limit_size(SIG_DFL); }, "errno = 27 (File too large)", "write", 4, true},
    };
    const mode_t mask = umask(022);
    for (const mode_t mode : {0700, 01777, 0770, 02770, 0703}) {
        const bool shared = mode != 0700;
        ASSERT_EQ(chmod(dir.path().c_str(), mode), 0);
        // Nothing at its name: the log made there is the process's alone where others may write.
        ssf::reset_for_tests();
        std::remove(path.c_str());
        EXPECT_EQ(ssf::log_open(path.c_str(), "App", false), 0);
        EXPECT_EQ(mode_of(path), shared ? 0600u : 0640u) << std::oct << mode;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", in a directory of mode " + std::to_string(mode));
            const bool theirs = std::string(c.what) == "another user's file";
            if (theirs && geteuid() != 0) continue;
            ssf::reset_for_tests();
            (void)(std::remove(path.c_str()) == 0 || rmdir(path.c_str()) == 0);
            std::remove(own.c_str());
            testing::internal::CaptureStderr();
            const auto write = [&] {
                c.make();
                EXPECT_EQ(ssf::log_open(path.c_str(), "App", false), 0);
                ssf::log_error("the reason %d", 7);
                c.undo();
            };
            if (c.in_child) {
                EXPECT_EQ(in_child(write), "");
            } else {
                write();
            }
            const std::string seen = testing::internal::GetCapturedStderr();
            EXPECT_EQ(read_file(target), "");
            if (theirs) {
                EXPECT_EQ(read_file(path), "theirs\n");
            }
            if (shared && c.kept == 0) {
                EXPECT_EQ(seen, "Log file '" + path + "' " +
                                    (theirs ? "belongs to another user"
                                            : "cannot be used (" + std::string(c.why) + ")") +
                                    "; the trace log continues in '" + own + "'\n");
                EXPECT_TRUE(has_line(read_file(own), "the reason 7"));
                EXPECT_EQ(mode_of(own), 0600u);
                // Removed by a clean-up, it is made again as the process's alone.
                ASSERT_EQ(std::remove(own.c_str()), 0);
                ssf::log_write("made again");
                EXPECT_EQ(mode_of(own), 0600u);
                continue;
            }
            // What the file did not take, from where it stopped.
            EXPECT_NE(seen.find("Failed to " + std::string(c.failed) + " log file '" + path +
                                "' (" + c.why + "):\n" + std::string(61 - c.kept, '=') +
                                "\n Trace file started on "),
                      std::string::npos)
                << seen;
            EXPECT_TRUE(has_line(seen, "the reason 7")) << seen;
            if (c.kept > 0) {
                const std::string kept = read_file(path);
                EXPECT_EQ(kept.size(), kSizeLimit);
                EXPECT_EQ(kept.substr(kept.size() - c.kept), std::string(c.kept, '='));
            }
        }
    }
    // The file of its own removed, as a clean-up of the directory does, and another user's put at
    // its name: the lines go on in another new one.
    if (geteuid() == 0) {
        ssf::reset_for_tests();
        for (const std::string& made : {path, own}) std::remove(made.c_str());
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ssf::log_open(path.c_str(), "App", false), 0);
        EXPECT_EQ(std::remove(own.c_str()), 0);
        dir.write(own.substr(dir.path().size() + 1), "theirs\n");
        EXPECT_EQ(chown(own.c_str(), 4242, 4242), 0);
        ssf::log_write("a later line");
        const std::string seen = testing::internal::GetCapturedStderr();
        const std::string said =
            "Log file '" + own + "' belongs to another user; the trace log continues in '" + own;
        EXPECT_EQ(read_file(own), "theirs\n");
        const size_t at = seen.find(said);
        ASSERT_NE(at, std::string::npos) << seen;
        EXPECT_EQ(read_file(own + seen.substr(at + said.size(), 7)), "a later line\n");
    }
    umask(mask);
    ssf::reset_for_tests();
}

// The debug output, stderr here, may be a file at the limit too: what it cannot take is lost, and
// the process lives on.
TEST(TraceLogFile, DebugOutputIntoAFileAtTheSizeLimitEndsNoProcess) {
    testing_support::TempDir dir;
    ScopedEnv debug("SSF_DEBUG_OUTPUT", "stderr");
    dir.write("stderr", "");
    EXPECT_EQ(in_child([&] {
                  const int fd = open(dir.file("stderr").c_str(), O_WRONLY | O_APPEND);
                  struct rlimit none {};
                  if (fd < 0 || dup2(fd, 2) != 2 || setrlimit(RLIMIT_FSIZE, &none) != 0) _exit(2);
                  signal(SIGXFSZ, SIG_DFL);
                  platform::debug_output("a line nowhere to go");
              }),
              "");
    EXPECT_EQ(read_file(dir.file("stderr")), "");
}

// A start-up that meets something not of the process's own at the log's name in a directory others
// may write (the shared temporary directory, where a failed start-up writes, or one that log_dir
// names, or names by a link): a new file of the process's own beside it takes the lines, and keeps
// them; never one that is there already, nor one at a name made in advance. Both such names are
// made 0600.
TEST(TraceLogFile, AStartUpMovesBesideAnotherUsersEntryAtTheLogsName) {
    testing_support::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);  // as the shared temporary directory is
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("via").c_str()), 0);
    ScopedEnv debug("SSF_DEBUG_OUTPUT", "stderr");
    ScopedEnv here("DIR_LIBRARY", dir.path().c_str());
    const mode_t mask = umask(022);
    const std::string cfg = dir.file("selvanor-ssf-server.cfg");
    const struct {
        const char* what;
        std::string config;
        std::string log_dir;  // "": the fallback log
        int rc;
        std::string line;  // start-up writes it
    } starts[] = {
        {"a failed start-up", "[common]\nno value\n", "", -1,
         "kes_get_parameter() : line 2 of '" + cfg + "' is not understood"},
        {"log_dir naming the directory", "[common]\nlog_dir = " + dir.path() + "\n", dir.path(), 0,
         "config_dir = '" + dir.path() + "'"},
        {"log_dir naming a link to it", "[common]\nlog_dir = " + dir.file("via") + "\n",
         dir.file("via"), 0, "config_dir = '" + dir.path() + "'"},
    };
    for (const auto& start : starts) {
        for (const bool fifo : {false, true}) {
            for (const bool own_taken : {false, true}) {
                SCOPED_TRACE(std::string(start.what) + ", " +
                             (fifo ? "a FIFO" : "another user's file") +
                             (own_taken ? ", its own name taken too" : ""));
                if (!fifo && geteuid() != 0) continue;  // chown
                ssf::reset_for_tests();
                ssf::set_fallback_log_dir_for_tests(dir.path() + "/fb-");
                dir.write("selvanor-ssf-server.cfg", start.config);
                const std::string entry = start.log_dir.empty()
                                              ? ssf::get_default_log_path()
                                              : start.log_dir + "/" + ssf::kLogFileName,
                                  own = entry + "_" + ssf::get_pid_text();
                for (const std::string& made : {entry, own}) std::remove(made.c_str());
                dir.write(entry.substr(dir.path().size() + 1), "theirs\n");
                if (fifo) {
                    ASSERT_EQ(std::remove(entry.c_str()), 0);
                    ASSERT_EQ(mkfifo(entry.c_str(), 0600), 0);
                } else {
                    ASSERT_EQ(chown(entry.c_str(), 4242, 4242), 0);
                }
                if (own_taken) dir.write(own.substr(dir.path().size() + 1), "left\n");
                testing::internal::CaptureStderr();
                EXPECT_EQ(ssf::init_lib(), start.rc);
                if (!fifo) {  // the lines have moved: the name is not asked again
                    ASSERT_EQ(chown(entry.c_str(), geteuid(), getegid()), 0);
                    ssf::log_write("a later line");
                    EXPECT_EQ(read_file(entry), "theirs\n");
                }
                const std::string seen = testing::internal::GetCapturedStderr();
                const std::string said = "Log file '" + entry + "' " +
                                         (fifo ? "cannot be used (it is not a regular file)"
                                               : "belongs to another user") +
                                         "; the trace log continues in '" + own;
                // When the name was made in advance, a new one beside it, as mkstemp makes it.
                const std::string suffix =
                    own_taken ? seen.substr(std::min(said.size(), seen.size()), 7) : "";
                EXPECT_EQ(seen, said + suffix + "'\n");
                EXPECT_EQ(suffix.rfind('_', 0), own_taken ? 0u : std::string::npos);
                EXPECT_EQ(read_file(own), own_taken ? "left\n" : read_file(own + suffix));
                const std::string log_of = own + suffix, log = read_file(log_of);
                EXPECT_EQ(log.rfind(std::string(61, '=') + "\n Trace file started on ", 0), 0u);
                EXPECT_TRUE(has_line(log, start.line));
                EXPECT_EQ(has_line(log, "a later line"), !fifo);
                EXPECT_EQ(mode_of(log_of), 0600u);
                std::remove(log_of.c_str());
            }
        }
    }
    umask(mask);
    ssf::reset_for_tests();
}

}  // namespace
