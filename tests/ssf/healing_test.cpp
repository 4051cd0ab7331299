// A start-up that cannot use its configuration refuses the calls and says why once, not on every
// call; the first call after the file is mended waits for it to settle and applies all of it, the
// log's place included, also while many threads call at once.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "fixture.h"
#include "ssf/config.h"

namespace {

using namespace ssf_test;
using testing_support::read_file;

size_t count_lines(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Where the configuration is found: DIR_LIBRARY, the registry stand-in, the current directory.
enum By { kEnv, kRegistry, kCurrent };

class Healing : public ::testing::Test {
  protected:
    void SetUp() override { ssf::reset_for_tests(); }
    void TearDown() override {
        EXPECT_EQ(chdir(home.get()), 0);
        platform::set_test_clock(std::nullopt);
        platform::set_test_os_version_failure(false);
        ssf::reset_for_tests();
    }

    std::string cfg() const { return dir.file(ssf::kConfigFileName); }
    std::string good(const std::string& more = "") const { return "[common]\n" + log_lines + more; }
    // Replaced in one step, as an administrator's editor does: a start-up on another thread
    // never reads half of it.
    void write_config(const std::string& text) const {
        dir.write("next.cfg", text);
        ASSERT_EQ(std::rename(dir.file("next.cfg").c_str(), cfg().c_str()), 0);
    }

    void mend_under_threads(const std::vector<std::string>& texts);

    testing_support::TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
    testing_support::ScopedEnv registry{"SSF_REGISTRY_FILE", nullptr};
    const std::unique_ptr<char, decltype(&std::free)> home{getcwd(nullptr, 0), &std::free};
    std::string log_lines = "log_dir = " + dir.path() + "\n";  // what good() says of the log
    Pauses pauses;  // each mended file's second of settling
};

// The cheapest call that does work.
SAPRETURN digest() {
    Sap fmt("PKCS7"), hash("SHA1"), in(data_message("x"));
    Out o;
    const SAPRETURN rc =
        SsfDigest(fmt.p(), fmt.n(), 0, in.p(), in.n(), hash.p(), hash.n(), &o.data, &o.len);
    EXPECT_EQ(rc == 0, !o.cleared());
    if (o.cleared()) o.data = reinterpret_cast<SAP_BYTE*>(1);  // one call: nothing to release
    return rc;
}

SAPRETURN sign_one(SAP_UINT& result) {
    Sap id("CN=nobody"), prof("absent.p12"), fmt("PKCS7"), hash("SHA1"), in(data_message("x"));
    SigRcpSsfInfo* rec = nullptr;
    EXPECT_EQ(
        SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, prof.p(), prof.n(), nullptr, 0, 0, &rec),
        0u);
    SigRcpSsfInfoList list = nullptr;
    EXPECT_EQ(SsfINSSigRcpSsfInfo(rec, &list), 0u);
    Out o;
    const SAPRETURN rc =
        SsfSign(fmt.p(), fmt.n(), hash.p(), hash.n(), 0, 0, in.p(), in.n(), list, &o.data, &o.len);
    result = rec->uResult;
    SsfDELSigRcpSsfInfoList(&list);
    return rc;
}

SAPRETURN verify_any() {
    Sap fmt("PKCS7"), in(data_message("x"));
    SigRcpSsfInfoList list = nullptr;
    Out o;
    const SAPRETURN rc = SsfVerify(fmt.p(), fmt.n(), 0, in.p(), in.n(), nullptr, 0, nullptr, 0,
                                   nullptr, 0, &list, &o.data, &o.len);
    EXPECT_EQ(list, nullptr);
    return rc;
}

TEST_F(Healing, TheLogMovesWhereTheMendedFileSays) {
    const std::string fallback = ssf::get_default_log_path();
    const std::string configured =
        dir.file(std::string(ssf::kLogFileName) + "_" + ssf::get_pid_text());
    size_t before = read_file(fallback).size();  // shared with other processes: ours only
    write_config(good("server_mode = yes\ndebug_mode = yes\nnot understood\n"));
    EXPECT_EQ(digest(), 1u);
    write_config(good("server_mode = yes\ndebug_mode = yes\n"));
    EXPECT_EQ(digest(), 0u);

    EXPECT_EQ(ssf::log_path(), configured);
    std::string all = read_file(fallback), ours = all.substr(std::min(before, all.size()));
    EXPECT_TRUE(has_line(ours, "SsfDigest() : start-up failed, the call is refused"));
    EXPECT_TRUE(has_line(ours, "init_lib() : the trace log continues in '" + configured + "'"));
    // This run's own directory: other processes write into the fallback meanwhile.
    EXPECT_EQ(ours.find("config_dir = '" + dir.path() + "'"), std::string::npos)
        << "the healed run's lines";
    const std::string log = read_file(configured);
    EXPECT_EQ(log.rfind(std::string(61, '=') + "\n Trace file started on ", 0), 0u);
    EXPECT_TRUE(has_line(log, "config_dir = '" + dir.path() + "'"));
    EXPECT_TRUE(has_line(log, "init_lib() : debug_mode is 'on'"));
    EXPECT_TRUE(has_line(log, "SsfDigest() end, retcode = 0"));
    EXPECT_EQ(log.find("start-up failed"), std::string::npos);

    // A mended file that asks for no log ends the fallback one, and says so.
    ssf::reset_for_tests();
    before = read_file(fallback).size();
    write_config(good("nothing here\n"));
    EXPECT_EQ(digest(), 1u);
    write_config(good("write_log = no\n"));
    EXPECT_EQ(digest(), 0u);
    EXPECT_FALSE(ssf::log_is_open());
    all = read_file(fallback);
    ours = all.substr(std::min(before, all.size()));
    EXPECT_TRUE(has_line(ours,
                         "init_lib() : start-up succeeded; the configuration asks for no trace "
                         "log ('common:write_log'), none is written from here on"));

    // A mended file that names no log directory names the fallback log in other words
    // ("/tmp//..."): the log stays where it is, with no last line and no second banner. What is
    // written is checked in a fallback of the test's own, named in other words the same way:
    // other processes write into the one in /tmp meanwhile.
    for (const std::string& own : {std::string(), dir.path() + "/"}) {
        ssf::reset_for_tests();
        if (!own.empty()) ssf::set_fallback_log_dir_for_tests(own);
        const std::string used = ssf::get_default_log_path();
        write_config("[common]\nnot understood\n");
        EXPECT_EQ(digest(), 1u);
        write_config("[common]\nserver_mode = no\n" +
                     (own.empty() ? "" : "log_dir = " + own + "\n"));
        EXPECT_EQ(digest(), 0u);
        EXPECT_EQ(ssf::log_path(), used);
        if (own.empty()) continue;
        const std::string text = read_file(used);
        EXPECT_EQ(text.find("init_lib() : the trace log continues in '"), std::string::npos);
        EXPECT_EQ(text.find(" Trace file started on "), text.rfind(" Trace file started on "));
    }
}

// Wherever the configuration is found (DIR_LIBRARY, the registry stand-in, the current directory
// with or without a registry file), and whether or not the file names the log's directory: after
// a failure, the first call that finds a file mended waits out its second of settling inside the
// call, by the process's own clock, and is answered from it, after any quiet spell; a file still
// changing then, or missing or setting nothing, is refused. A retry looks for the file where the
// failed start-up looked: the current directory stays the place until a registry file names
// another, and a registry file that named one, or could not be read, is waited for. The first
// start-up of a process never waits, and a retry takes a file as the first start-up found it.
TEST_F(Healing, TheFirstCallAfterAMendIsAnsweredWhereverTheFileIs) {
    const std::string reg = dir.file("registry.ini"), named = dir.file("named");
    const std::string key = std::string("[") + ssf::kRegistryKey + "]\n";
    const std::string fallback = dir.path() + "/fallback-" + ssf::kLogFileName;
    ASSERT_EQ(mkdir(named.c_str(), 0700), 0);
    const struct {
        const char* what;
        By by;
        std::optional<std::string> registry;  // where the current directory is the place
        bool default_registry = false;        // SSF_REGISTRY_FILE not set
    } places[] = {
        {"DIR_LIBRARY", kEnv, std::nullopt},
        {"the registry stand-in", kRegistry, std::nullopt},
        {"the current directory, no registry file", kCurrent, std::nullopt},
        {"the current directory, an empty registry file", kCurrent, ""},
        {"the current directory, a registry file naming none", kCurrent, key + "other = x\n"},
        {"the current directory, the default registry file absent", kCurrent, std::nullopt, true},
    };
    for (const auto& p : places) {
        if (p.default_registry && testing_support::file_exists(platform::kDefaultRegistryFile))
            continue;
        for (const bool log_dir : {true, false}) {
            const auto text = [&](const std::string& more) {
                return "[common]\n" + (log_dir ? "log_dir = " + dir.path() + "\n" : "") + more;
            };
            const std::string mended = text("cert_check_options = check_chain,check_crl\n"),
                              spelt = (p.by == kCurrent ? "." : dir.path()) + "/" +
                                      ssf::kConfigFileName,
                              configured =
                                  (log_dir ? dir.path() : "/tmp") + "/" + ssf::kLogFileName,
                              naming = key + "config_dir_name = " + dir.path() + "\n";
            const auto fresh = [&](const std::string& config, const std::string& reg_text) {
                return [&, config, reg_text] {
                    ssf::reset_for_tests();
                    ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");
                    std::remove(reg.c_str());
                    if (p.by == kEnv)
                        setenv("DIR_LIBRARY", dir.path().c_str(), 1);
                    else
                        unsetenv("DIR_LIBRARY");
                    if (!p.default_registry) setenv("SSF_REGISTRY_FILE", reg.c_str(), 1);
                    if (p.by == kRegistry) dir.write("registry.ini", reg_text);
                    if (p.registry) dir.write("registry.ini", *p.registry);
                    ASSERT_EQ(chdir(p.by == kCurrent ? dir.path().c_str() : home.get()), 0);
                    write_config(config);
                };
            };
            const auto broken = fresh(text("not understood\n"), naming);
            const std::string unread = "kes_get_parameter() : line " + std::to_string(log_dir + 2) +
                                       " of '" + spelt + "' is not understood";
            const auto in_place = [&](const std::string& name, const std::string& written) {
                return [&, name, written] { dir.write(name, written); };
            };
            const auto nothing = [] {};
            const std::string waits = "init_lib() : the configuration file '" + spelt + "' ",
                              on_defaults = "; a restart would run on defaults",
                              reg_waits = "init_lib() : the registry file '" + reg + "' ",
                              current =
                                  "; a restart would take the current directory, and defaults if "
                                  "no configuration file is there";
            struct Step {
                const char* what;
                std::function<void()> change;
                uint64_t quiet_ms;  // the process's clock moves on, with no call
                SAPRETURN rc;
                unsigned slept_ms;                       // the call's pause
                std::string said;                        // a line the call writes
                std::function<void()> during = nullptr;  // in the call's pause
            };
            const Step first{"broken", broken, 0, 1, 0, unread};
            const struct {
                const char* what;
                std::vector<Step> steps;
                std::optional<By> only;
            } scenarios[] = {
                {"mended after a quiet spell, the wall clock an hour behind",
                 {first,
                  {"mended",
                   [&] {
                       write_config(mended);
                       platform::set_test_clock(std::time(nullptr) - 3600);
                   },
                   5000, 0, 1000, "config_dir = '" + spelt.substr(0, spelt.rfind('/')) + "'"}}},
                {"written in place, the rest written during the wait",
                 {first,
                  {"half written", in_place(ssf::kConfigFileName, mended.substr(0, 12)), 0, 1, 1000,
                   waits + "is being changed, start-up waits until it settles",
                   in_place(ssf::kConfigFileName, mended)},
                  {"called again at once", nothing, 0, 0, 1000, ""}}},
                {"touched, chmod'ed and copied again during the wait, the wall clock ahead",
                 {first,
                  {"mended",
                   [&] {
                       write_config(mended);
                       platform::set_test_clock(std::time(nullptr) + 3600);
                   },
                   0, 0, 1000, "",
                   [&] {
                       dir.write(ssf::kConfigFileName, mended);
                       ASSERT_EQ(chmod(cfg().c_str(), 0640), 0);
                       ASSERT_EQ(utimes(cfg().c_str(), nullptr), 0);
                   }}}},
                {"caught emptied, then written whole",
                 {first,
                  {"emptied", [&] { ASSERT_EQ(truncate(cfg().c_str(), 0), 0); }, 5000, 1, 1000,
                   waits + "sets nothing, start-up waits for a file that does" + on_defaults},
                  {"still empty seconds later", nothing, 5000, 1, 0, ""},
                  {"written whole", in_place(ssf::kConfigFileName, mended), 0, 0, 1000, ""}}},
                {"moved away by an editor, then back",
                 {first,
                  {"moved away", [&] { ASSERT_EQ(std::remove(cfg().c_str()), 0); }, 0, 1, 0,
                   waits + "is not there, start-up waits for it" + on_defaults},
                  {"gone for seconds", nothing, 5000, 1, 0, ""},
                  {"back", [&] { write_config(mended); }, 0, 0, 1000, ""}}},
                {"the first start-up failed on another step, the file as it found it",
                 {{"failed",
                   [&, f = fresh(mended, naming)] {
                       f();
                       platform::set_test_os_version_failure(true);
                   },
                   0, 1, 0, ""},
                  {"retried at once", [] { platform::set_test_os_version_failure(false); }, 0, 0, 0,
                   ""}}},
                {"a registry file made to name a directory",
                 {first,
                  {"named",
                   [&] {
                       dir.write("named/" + std::string(ssf::kConfigFileName), mended);
                       dir.write("next.ini", key + "config_dir_name = " + named + "\n");
                       ASSERT_EQ(std::rename(dir.file("next.ini").c_str(), reg.c_str()), 0);
                   },
                   0, 0, 1000, "config_dir = '" + named + "'"}},
                 kCurrent},
                {"the registry file that named the directory moved aside, emptied, naming none",
                 {first,
                  {"moved aside", [&] { ASSERT_EQ(std::remove(reg.c_str()), 0); }, 5000, 1, 0,
                   reg_waits + "is not there, start-up waits for it to name the configuration " +
                       "directory" + current},
                  {"back empty", in_place("registry.ini", ""), 5000, 1, 1000,
                   reg_waits + "names no configuration directory, start-up waits for it to name " +
                       "one" + current},
                  {"naming none", in_place("registry.ini", key + "other = x\n"), 5000, 1, 1000, ""},
                  {"naming the directory, the configuration file mended",
                   [&] {
                       write_config(mended);
                       dir.write("registry.ini", naming);
                   },
                   0, 0, 1000, ""}},
                 kRegistry},
                {"the registry file not understood at the failed start-up, then moved aside",
                 {{"not understood", fresh(mended, key + "config_dir_name " + dir.path() + "\n"), 0,
                   1, 0,
                   "get_config_dir() : line 2 of registry file '" + reg + "' is not understood"},
                  {"moved aside", [&] { ASSERT_EQ(std::remove(reg.c_str()), 0); }, 5000, 1, 0, ""},
                  {"back", in_place("registry.ini", naming), 0, 0, 1000, ""}},
                 kRegistry},
            };
            for (const auto& s : scenarios) {
                if (s.only && *s.only != p.by) continue;
                if (p.default_registry && s.only == kCurrent) continue;  // not a file of ours
                for (const Step& step : s.steps) {
                    SCOPED_TRACE(std::string(p.what) + (log_dir ? ", log_dir set" : "") + ": " +
                                 s.what + ": " + step.what);
                    step.change();
                    Pauses::move_on(step.quiet_ms);
                    pauses.during = step.during;
                    const std::string logs[] = {fallback, configured};
                    size_t at[] = {read_file(logs[0]).size(), read_file(logs[1]).size()};
                    const unsigned slept = pauses.slept_ms();
                    EXPECT_EQ(digest(), step.rc);
                    EXPECT_EQ(pauses.slept_ms() - slept, step.slept_ms);
                    std::string written;  // the shared log in /tmp: other lines may be there too
                    for (size_t i = 0; i < 2; ++i) {
                        const std::string all = read_file(logs[i]);
                        written += all.substr(std::min(at[i], all.size()));
                    }
                    if (!step.said.empty()) EXPECT_TRUE(has_line(written, step.said)) << written;
                    if (step.rc != 0) continue;
                    EXPECT_EQ(written.find(waits + "is being changed"), std::string::npos);
                    EXPECT_TRUE(ssf::config().check_crl);
                    EXPECT_TRUE(ssf::config().check_chain);
                }
            }
        }
    }
}

// Start-up's lines are written when a failure is first met and when its reason changes; a
// refused call adds only its own refusal.
TEST_F(Healing, WhileStartUpKeepsFailingACallWritesLittle) {
    ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");  // measured alone
    const std::string fallback = ssf::get_default_log_path();
    const std::string unread = "kes_get_parameter() : line 3 of '" + cfg() + "' is not understood";
    write_config(good("not understood\n"));
    EXPECT_EQ(digest(), 1u);  // each retry meets the same line again
    const size_t first = read_file(fallback).size();
    EXPECT_TRUE(has_line(read_file(fallback), unread));

    constexpr int kRounds = 50, kRefusedPerRound = 4;
    for (int i = 0; i < kRounds; ++i) {
        SAP_UINT result = 0;
        EXPECT_EQ(digest(), 1u);
        EXPECT_EQ(sign_one(result), 1u);  // its record functions run start-up too
        EXPECT_EQ(result, 28u);
        EXPECT_EQ(verify_any(), 1u);
        EXPECT_EQ(ssf_verify_TS_token(nullptr, nullptr, nullptr, nullptr, 1, nullptr, nullptr), 1);
    }
    const std::string log = read_file(fallback);
    const double per_call = static_cast<double>(log.size() - first) / (kRounds * kRefusedPerRound);
    EXPECT_LE(per_call, 300.0);
    EXPECT_EQ(count_lines(log, unread), 1u);
    // Held until the log was open, start-up's records still name the application.
    EXPECT_EQ(count_lines(log, "UNKNOWNAPP"), 0u);
    EXPECT_EQ(count_lines(log, "SsfSign() : start-up failed, the call is refused"),
              static_cast<size_t>(kRounds));

    // Another reason is news, and so is the failure after it was mended and broken again.
    write_config(good("\nnot understood\n"));
    EXPECT_EQ(digest(), 1u);
    EXPECT_EQ(digest(), 1u);
    const std::string moved = "kes_get_parameter() : line 4 of '" + cfg() + "' is not understood";
    EXPECT_EQ(count_lines(read_file(fallback), moved), 1u);
    EXPECT_EQ(count_lines(read_file(fallback), unread), 1u);
}

// Calls from many threads while the file is broken, then while an administrator mends it, its
// text as the mend begins and then after each second a call waits out, in turn: each call is
// refused or works, never anything else. The first call that finds the file mended waits out its
// second; calls that come meanwhile take its outcome, so no call waits more than a second beyond
// its arrival (by the process's clock), however long the file keeps changing; once a call has
// waited on a file that held still, or one has worked on a thread, no call is refused. The
// version and record exports are not held by the wait.
void Healing::mend_under_threads(const std::vector<std::string>& texts) {
    ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");
    write_config(good("not understood\n"));
    EXPECT_EQ(digest(), 1u);  // every retry meets the same failure, and does not wait
    constexpr int kThreads = 12, kAfter = 3;
    std::atomic<bool> answered{false}, gave_up{false};
    std::atomic<size_t> waits{0};
    pauses.during = [&] {
        const size_t n = waits++;
        if (n + 1 < texts.size()) write_config(good(texts[n + 1]));
        // Until every other thread waits for this call's outcome, and the version was asked: a
        // library that held them would hold them for ever.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((ssf::start_up_joiners_for_tests() < kThreads - 1 || (n == 0 && !answered)) &&
               std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        if (n == 0) gave_up = !answered;
    };
    std::atomic<int> refused{0}, other{0}, relapsed{0};
    std::vector<uint64_t> longest(kThreads, 0), refused_at(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            int worked = 0;
            for (int i = 0; worked < kAfter; ++i) {
                if (t % 3 == 1 && worked == 0)
                    ssf_verify_TS_token(nullptr, nullptr, nullptr, nullptr, 1, nullptr, nullptr);
                const uint64_t at = platform::monotonic_ns();
                SAPRETURN rc = 1;
                if (t % 3 == 0) {
                    SAP_UINT result = 0;
                    rc = sign_one(result);
                    if (rc == 1 && result != 28) ++other;
                    if (rc == 5) rc = 0;  // worked: the profile is not there
                } else {
                    rc = digest();
                }
                longest[t] = std::max(longest[t], platform::monotonic_ns() - at);
                if (rc == 1) refused_at[t] = platform::monotonic_ns();
                if (rc == 0)
                    ++worked;
                else if (rc == 1 && worked > 0)
                    ++relapsed;
                else if (rc == 1)
                    ++refused;
                else
                    ++other;
            }
        });
    while (refused.load() < 100) std::this_thread::yield();
    write_config(good(texts[0]));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!waits.load() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    EXPECT_TRUE(waits.load()) << "no call waited for the mended file to settle";
    EXPECT_FALSE(ssf::lib_started());
    Out version;
    EXPECT_EQ(SsfVersion(&version.data, &version.len), 0u);
    Sap id("CN=nobody");
    SigRcpSsfInfo* rec = nullptr;
    EXPECT_EQ(SsfNEWSigRcpSsfInfo(id.p(), id.n(), nullptr, 0, nullptr, 0, nullptr, 0, 0, &rec), 0u);
    EXPECT_EQ(SsfDELSigRcpSsfInfo(&rec), 0u);
    answered = true;
    EXPECT_FALSE(gave_up.load()) << "the version and record exports waited";
    // A library that never waits would settle the file across calls: let it, to end the test.
    if (!waits.load()) Pauses::move_on(1000);
    for (auto& t : threads) t.join();
    EXPECT_EQ(waits.load(), texts.size());
    EXPECT_LE(*std::max_element(longest.begin(), longest.end()), 1000000000u);
    EXPECT_LT(*std::max_element(refused_at.begin(), refused_at.end()), platform::monotonic_ns());
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(relapsed.load(), 0);
    EXPECT_TRUE(ssf::lib_started());
    EXPECT_FALSE(ssf::config().use_func_mutex);
}

// Wherever the file is found and the log goes, a mend at once, one caught between its two writes,
// and a file that keeps changing for seconds. Run under ThreadSanitizer too: nothing start-up
// writes is read by a call unlocked.
TEST_F(Healing, BrokenThenMendedUnderManyThreads) {
    const std::string mended = "use_func_mutex = no\n";
    const std::vector<std::string> mends[] = {
        {mended}, {mended.substr(0, 9), mended}, {"# 0\n", "# 1\n", "# 2\n", "# 3\n", mended}};
    const std::string logs[] = {log_lines, "", "server_mode = yes\n"};
    dir.write("registry.ini",
              std::string("[") + ssf::kRegistryKey + "]\nconfig_dir_name = " + dir.path() + "\n");
    for (int i = 0; i < 27; ++i) {
        const By by = static_cast<By>(i / 9);
        SCOPED_TRACE("place " + std::to_string(by) + ", log " + std::to_string(i / 3 % 3) +
                     ", mend " + std::to_string(i % 3));
        ssf::reset_for_tests();
        (void)(by == kEnv ? setenv("DIR_LIBRARY", dir.path().c_str(), 1) : unsetenv("DIR_LIBRARY"));
        setenv("SSF_REGISTRY_FILE", dir.file(by == kRegistry ? "registry.ini" : "none").c_str(), 1);
        ASSERT_EQ(chdir(by == kCurrent ? dir.path().c_str() : home.get()), 0);
        log_lines = logs[i / 3 % 3];
        mend_under_threads(mends[i % 3]);
    }
    std::remove(("/tmp/" + std::string(ssf::kLogFileName) + "_" + ssf::get_pid_text()).c_str());
}

}  // namespace
