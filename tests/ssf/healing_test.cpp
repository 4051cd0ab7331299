// A start-up that cannot use its configuration refuses the calls and says why once, not on every
// call; once the file is mended and has settled, the next call's start-up applies all of it, the
// log's place included, also while many threads call at once.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
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

class Healing : public ::testing::Test {
  protected:
    void SetUp() override { ssf::reset_for_tests(); }
    void TearDown() override {
        platform::set_test_clock(std::nullopt);
        platform::set_test_monotonic_clock(std::nullopt);
        ssf::reset_for_tests();
    }

    std::string cfg() const { return dir.file(ssf::kConfigFileName); }
    std::string good(const std::string& more = "") const {
        return "[common]\nlog_dir = " + dir.path() + "\n" + more;
    }
    // Replaced in one step, as an administrator's editor does: a start-up on another thread
    // never reads half of it.
    void write_config(const std::string& text) const {
        dir.write("next.cfg", text);
        ASSERT_EQ(std::rename(dir.file("next.cfg").c_str(), cfg().c_str()), 0);
    }

    testing_support::TempDir dir;
    testing_support::ScopedEnv env{"DIR_LIBRARY", dir.path().c_str()};
};

// The cheapest call that does work.
SAPRETURN digest() {
    Sap fmt("PKCS7"), hash("SHA1"), in(data_message("x"));
    Out o;
    const SAPRETURN rc =
        SsfDigest(fmt.p(), fmt.n(), 0, in.p(), in.n(), hash.p(), hash.n(), &o.data, &o.len);
    EXPECT_EQ(rc == 0, !o.cleared());
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
    let_settle(cfg());
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
    let_settle(cfg());
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
        let_settle(cfg());
        EXPECT_EQ(digest(), 0u);
        EXPECT_EQ(ssf::log_path(), used);
        if (own.empty()) continue;
        const std::string text = read_file(used);
        EXPECT_EQ(text.find("init_lib() : the trace log continues in '"), std::string::npos);
        EXPECT_EQ(text.find(" Trace file started on "), text.rfind(" Trace file started on "));
    }
}

// An administrator who mends the file in place leaves it empty or half written for a moment; so
// does an editor that moves the old file away before it writes the new one. A retried start-up
// applies a file only once two reads a second apart by the process's own clock found it the
// same; the wall clock, set ahead or back, plays no part. After a failure a missing or empty file,
// or a registry file that names no directory, is waited for: it never means defaults.
TEST_F(Healing, AFileCaughtBeingMendedWaitsUntilItHasSettled) {
    const std::string mended = good("cert_check_options = check_chain,check_crl\n");
    const std::string reg = dir.file("registry.ini");
    testing_support::ScopedEnv registry("SSF_REGISTRY_FILE", reg.c_str());
    const std::string key = std::string("[") + ssf::kRegistryKey + "]\n";
    const auto broken = [&] {
        ssf::reset_for_tests();
        ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");
        setenv("DIR_LIBRARY", dir.path().c_str(), 1);
        write_config(good("not understood\n"));
    };
    // The directory is named by the registry stand-in, whose file has a line not understood; the
    // configuration file is whole.
    const auto broken_registry = [&] {
        broken();
        unsetenv("DIR_LIBRARY");
        write_config(mended);
        dir.write("registry.ini", key + "config_dir_name " + dir.path() + "\n");
    };
    const auto in_place = [&](const std::string& name, const std::string& text) {
        return [&, name, text] { dir.write(name, text); };
    };
    const auto nothing = [] {};
    const struct {
        const char* what;
        std::function<void()> change;
        int wall;    // the system's clock: seconds ahead of (or behind) the real time
        int64_t ms;  // how far the process's clock moves on before the call
        SAPRETURN rc;
        bool crl_checked;  // once applied
    } steps[] = {
        {"broken", broken, 0, 0, 1, false},
        {"half written", in_place(ssf::kConfigFileName, mended.substr(0, mended.size() / 2)), 0, 0,
         1, false},
        {"written whole, the wall clock an hour behind", in_place(ssf::kConfigFileName, mended),
         -3600, 0, 1, false},
        {"seen again within the second", nothing, -3600, 999, 1, false},
        {"a second after it was first seen", nothing, -3600, 1, 0, true},

        {"broken again", broken, 0, 0, 1, false},
        {"written whole, the wall clock an hour ahead", in_place(ssf::kConfigFileName, mended),
         3600, 0, 1, false},
        {"seen again a second later", nothing, 3600, 1000, 0, true},

        {"broken again", broken, 0, 0, 1, false},
        {"caught emptied, its last change long ago by the wall clock",
         [&] { ASSERT_EQ(truncate(cfg().c_str(), 0), 0); }, 3600, 5000, 1, false},
        {"still empty seconds later: waited for", nothing, 3600, 5000, 1, false},
        {"written whole", in_place(ssf::kConfigFileName, mended), 0, 0, 1, false},
        {"settled", nothing, 0, 1000, 0, true},

        {"broken again", broken, 0, 0, 1, false},
        {"moved away by an editor", [&] { ASSERT_EQ(std::remove(cfg().c_str()), 0); }, 0, 0, 1,
         false},
        {"gone for seconds: waited for", nothing, 3600, 5000, 1, false},
        {"back", [&] { write_config(mended); }, 0, 0, 1, false},
        {"settled", nothing, 0, 1000, 0, true},

        {"the registry file not understood", broken_registry, 0, 0, 1, false},
        {"the registry file emptied", [&] { ASSERT_EQ(truncate(reg.c_str(), 0), 0); }, 3600, 5000,
         1, false},
        {"still empty seconds later: waited for", nothing, 3600, 5000, 1, false},
        {"the registry file names nothing", in_place("registry.ini", key + "other = x\n"), 3600,
         5000, 1, false},
        {"names nothing seconds later: waited for", nothing, 3600, 5000, 1, false},

        {"the registry file not understood again", broken_registry, 0, 0, 1, false},
        {"the registry file moved aside", [&] { ASSERT_EQ(std::remove(reg.c_str()), 0); }, 3600,
         5000, 1, false},
        {"gone for seconds: waited for", nothing, 3600, 5000, 1, false},
        {"back, naming the directory",
         in_place("registry.ini", key + "config_dir_name = " + dir.path() + "\n"), 0, 0, 1, false},
        {"the registry file settled, the configuration file seen for the first time", nothing, 0,
         1000, 1, false},
        {"both settled", nothing, 0, 1000, 0, true},
    };
    uint64_t clock = platform::performance_counter();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        platform::set_test_clock(std::time(nullptr) + step.wall);
        clock += static_cast<uint64_t>(step.ms) * 1000000;
        platform::set_test_monotonic_clock(clock);
        EXPECT_EQ(digest(), step.rc);
        if (step.rc == 0) {
            EXPECT_EQ(ssf::config().check_crl, step.crl_checked);
            EXPECT_EQ(ssf::config().check_chain, step.crl_checked);
        }
    }
    // Each said once each time a file is caught so, not on every call that waits, with what a
    // restart would do instead.
    const std::string log = read_file(ssf::get_default_log_path());
    const std::string current =
        "; a restart would take the current directory, and defaults if no configuration file is "
        "there";
    for (const auto& [line, times] : std::initializer_list<std::pair<std::string, size_t>>{
             // Once per broken file: the first start-up's failure seen again at once is no
             // change, and the half-written text is not judged before it has settled.
             {"kes_get_parameter() : line 3 of '" + cfg() + "' is not understood", 4},
             {"init_lib() : the configuration file '" + cfg() +
                  "' is being changed, start-up waits until it settles",
              6},
             {"init_lib() : the configuration file '" + cfg() +
                  "' sets nothing, start-up waits for a file that does; a restart would run on "
                  "defaults",
              1},
             {"init_lib() : the configuration file '" + cfg() +
                  "' is not there, start-up waits for it; a restart would run on defaults",
              1},
             {"init_lib() : the registry file '" + reg +
                  "' is being changed, start-up waits until it settles",
              3},
             {"init_lib() : the registry file '" + reg +
                  "' names no configuration directory, start-up waits for it to name one" + current,
              2},
             {"init_lib() : the registry file '" + reg +
                  "' is not there, start-up waits for it to name the configuration directory" +
                  current,
              1},
         })
        EXPECT_EQ(count_lines(log, line), times) << line;
}

// Start-up's lines are written when a failure is first met and when its reason changes; a
// refused call adds only its own refusal.
TEST_F(Healing, WhileStartUpKeepsFailingACallWritesLittle) {
    ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");  // measured alone
    const std::string fallback = ssf::get_default_log_path();
    const std::string unread = "kes_get_parameter() : line 3 of '" + cfg() + "' is not understood";
    write_config(good("not understood\n"));
    let_settle(cfg());  // each retry reads it, and meets the same line again
    EXPECT_EQ(digest(), 1u);
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
    let_settle(cfg());
    EXPECT_EQ(digest(), 1u);
    EXPECT_EQ(digest(), 1u);
    const std::string moved = "kes_get_parameter() : line 4 of '" + cfg() + "' is not understood";
    EXPECT_EQ(count_lines(read_file(fallback), moved), 1u);
    EXPECT_EQ(count_lines(read_file(fallback), unread), 1u);
}

// Calls from many threads while the file is broken, then while an administrator mends it: each
// call is refused or works, never anything else, none works before the mended file has settled,
// and once one has worked on a thread every later one does. Run under ThreadSanitizer too:
// nothing start-up writes is read by a call unlocked.
TEST_F(Healing, BrokenThenMendedUnderManyThreads) {
    ssf::set_fallback_log_dir_for_tests(dir.path() + "/fallback-");
    write_config(good("not understood\n"));
    let_settle(cfg());  // every retry reads the broken file
    constexpr int kThreads = 12, kAfter = 20;
    std::atomic<int> refused{0}, other{0}, relapsed{0}, done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            int worked = 0;
            for (int i = 0; worked < kAfter; ++i) {
                SAPRETURN rc = 1;
                if (t % 3 == 0) {
                    SAP_UINT result = 0;
                    rc = sign_one(result);
                    if (rc == 1 && result != 28) ++other;
                    if (rc == 5) rc = 0;  // worked: the profile is not there
                } else {
                    rc = digest();
                }
                if (rc == 0)
                    ++worked;
                else if (rc == 1 && worked > 0)
                    ++relapsed;
                else if (rc == 1)
                    ++refused;
                else
                    ++other;
            }
            ++done;
        });
    while (refused.load() < 100) std::this_thread::yield();
    write_config(good("use_func_mutex = no\n"));
    const int mended_at = refused.load();
    while (refused.load() < mended_at + 100 && done.load() < kThreads) std::this_thread::yield();
    EXPECT_EQ(digest(), 1u);
    EXPECT_FALSE(ssf::lib_started());
    let_settle(cfg());
    for (auto& t : threads) t.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(relapsed.load(), 0);
    EXPECT_TRUE(ssf::lib_started());
    EXPECT_FALSE(ssf::config().use_func_mutex);
}

}  // namespace
