// Sign-in protection on a real data directory: the lockout ladder and its runs, the lock message,
// the failure line in server.log, the per-address budget and its retry delay, what recording
// prunes and sheds, unparseable stores kept aside, and failures counted exactly by racing
// processes. Time is moved with the clock seam and by storing records with past times.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_signin.h"
#include "support/process.hpp"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;  // now, unless a test moves the clock
const std::string kLock = "Account temporarily locked after repeated failures. Try again in ";

// `n` failures of `ip`, the first `oldest_age` seconds ago and the others now.
std::vector<Hit> hits(int n, std::int64_t oldest_age, const std::string& ip) {
    std::vector<Hit> h{{t - oldest_age, ip}};
    while (static_cast<int>(h.size()) < n) h.push_back({t, ip});
    return h;
}

class SignIn : public ::testing::Test {
protected:
    std::string read(const std::string& name) { return read_file(data.file(name)); }
    void write(const std::string& name, const std::string& text) { write_file(data.file(name), text); }
    void clear() {
        for (const auto& e : std::filesystem::directory_iterator(data.dir())) std::filesystem::remove(e.path());
    }

    DataDirFixture data;
    SetClock clock{t};
};

TEST_F(SignIn, EachFailureClimbsTheLadderOfItsRun) {
    const Rec bob{"acc_bob", 1, 1, 0, t - 5000};
    const char* lock = " -> LOCKOUT";
    struct Case {
        Rec before;  // alice's record before (none when unnamed)
        Rec after;
        const char* suffix;
    } cases[] = {
        {{}, {"acc_alice", 1, 1, 0, t}, ""},
        {{"acc_alice", 1, 1, 0, t - 1}, {"acc_alice", 2, 2, 0, t}, ""},
        {{"acc_alice", 2, 2, 0, t - 1}, {"acc_alice", 3, 3, t + 30, t}, lock},
        {{"acc_alice", 3, 3, t - 1, t - 1}, {"acc_alice", 4, 4, t + 60, t}, lock},
        {{"acc_alice", 4, 4, t - 1, t - 1}, {"acc_alice", 5, 5, t + 120, t}, lock},
        {{"acc_alice", 5, 5, t - 1, t - 1}, {"acc_alice", 6, 6, t + 240, t}, lock},
        {{"acc_alice", 6, 6, t - 1, t - 1}, {"acc_alice", 7, 7, t + 480, t}, lock},
        {{"acc_alice", 7, 7, t - 1, t - 1}, {"acc_alice", 8, 8, t + 900, t}, lock},
        {{"acc_alice", 39, 39, t - 1, t - 1}, {"acc_alice", 40, 40, t + 900, t}, lock},
        // A strike while a lock is in force counts without extending it; in the second the lock
        // ends, sign-in is allowed again, so a failure then locks anew.
        {{"acc_alice", 4, 3, t + 5, t - 1}, {"acc_alice", 5, 4, t + 5, t}, lock},
        {{"acc_alice", 4, 3, t, t - 1}, {"acc_alice", 5, 4, t + 60, t}, lock},
        // More than 600 s since the last failure starts a new run; exactly 600 s continues it.
        {{"acc_alice", 9, 5, t + 100, t - 601}, {"acc_alice", 10, 1, 0, t}, ""},
        {{"acc_alice", 2, 2, 0, t - 600}, {"acc_alice", 3, 3, t + 30, t}, lock},
        {{"acc_alice", 2147483647, 1, 0, t - 1}, {"acc_alice", 2147483647, 2, 0, t}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before.name + " strikes " + std::to_string(c.before.strikes));
        clear();
        write("login_attempts.json", attempts_json(c.before.name.empty() ? std::vector<Rec>{bob}
                                                                          : std::vector<Rec>{c.before, bob}));
        id_login_failed("alice", "10.0.0.1");
        EXPECT_EQ(read("login_attempts.json"), attempts_json({bob, c.after}));
        EXPECT_EQ(log_messages(data.dir()), std::vector<std::string>{"SECURITY: failed login for 'alice' (attempt=" +
                                                                     std::to_string(c.after.count) + " strikes=" +
                                                                     std::to_string(c.after.strikes) + ")" +
                                                                     c.suffix + " ip=10.0.0.1"});
    }
}

TEST_F(SignIn, LockMessageCountsDownToTheEndOfTheLock) {
    write("login_attempts.json", attempts_json({{"acc_carol", 1, 1, t + 5000, t}}));  // from an older rule
    for (std::int64_t d : {0, 1, 2}) {
        SetClock::now = t + d;
        id_login_failed("alice", "10.0.0.1");
    }
    struct Case {
        const char* account;
        std::int64_t at;
        std::size_t cap;
        int allowed;
        std::string msg;
    } cases[] = {
        {"alice", t + 3, 128, 0, kLock + "29 s."},  {"alice", t + 31, 128, 0, kLock + "1 s."},
        {"alice", t + 32, 128, 1, ""},              {"carol", t, 128, 0, kLock + "900 s."},
        {"carol", t, 10, 0, "Account t"},           {"bob", t, 128, 1, ""},
        {"", t, 128, 1, ""},                        {nullptr, t, 128, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.account ? c.account : "(null)") + " at +" + std::to_string(c.at - t));
        SetClock::now = c.at;
        char msg[128];
        std::fill(std::begin(msg), std::end(msg), 'x');
        EXPECT_EQ(id_login_allowed(c.account, "not read", msg, c.cap), c.allowed);
        EXPECT_EQ(std::string(msg), c.msg);
    }
    EXPECT_EQ(id_login_allowed("alice", nullptr, nullptr, 0), 0);
}

TEST_F(SignIn, FailureLinesNameTheAddressAndCannotBeForged) {
    id_login_failed("eve\nSECURITY: failed login for 'root'", nullptr);
    id_login_failed("bob\r\x7f", "");
    id_login_failed("", "10.0.0.9");  // the address alone: its budget, no line
    id_login_failed(nullptr, nullptr);
    EXPECT_EQ(log_messages(data.dir()),
              (std::vector<std::string>{
                  "SECURITY: failed login for 'eve\\x0aSECURITY: failed login for 'root'' (attempt=1 strikes=1) ip=?",
                  "SECURITY: failed login for 'bob\\x0d\\x7f' (attempt=1 strikes=1) ip="}));
    EXPECT_EQ(read("login_attempts_ip.json"), budget_json({{t, "10.0.0.9"}}));
}

TEST_F(SignIn, SuccessRemovesOnlyThatRecord) {
    write("login_attempts.json", attempts_json({{"acc_alice", 5, 4, t + 100, t - 1}, {"acc_bob", 1, 1, 0, t}}));
    id_login_success("alice");
    EXPECT_EQ(read("login_attempts.json"), attempts_json({{"acc_bob", 1, 1, 0, t}}));
    EXPECT_EQ(id_login_allowed("alice", nullptr, nullptr, 0), 1);
    id_login_failed("alice", nullptr);
    EXPECT_EQ(read("login_attempts.json"), attempts_json({{"acc_bob", 1, 1, 0, t}, {"acc_alice", 1, 1, 0, t}}));
    write("login_attempts.json", "{\"acc_bob\":{}}");
    id_login_success("nobody");  // nothing to remove: not rewritten
    EXPECT_EQ(read("login_attempts.json"), "{\"acc_bob\":{}}");
}

TEST_F(SignIn, BudgetCountsTheFailuresOfTheLast600Seconds) {
    const std::string a = "10.0.0.1";
    std::vector<Hit> mixed = hits(25, 0, "10.0.0.2");
    for (const Hit& h : hits(5, 0, a)) mixed.push_back(h);
    const std::string never_count = ",{\"ts\":1.75e9,\"ip\":\"10.0.0.1\"},{\"ip\":\"10.0.0.1\"},"
                                    "{\"ts\":1750000000,\"ip\":7},\"10.0.0.1\"]";
    const std::string nineteen = budget_json(hits(19, 0, a));
    struct Case {
        const char* what;
        std::string file;
        int over, retry;
    } cases[] = {
        {"19 failures", nineteen, 0, 0},
        {"20, the oldest 550 s ago", budget_json(hits(20, 550, a)), 1, 50},
        {"20, the oldest 599 s ago", budget_json(hits(20, 599, a)), 1, 1},
        {"20, the oldest exactly 600 s ago", budget_json(hits(20, 600, a)), 0, 0},
        {"20, all in the future", budget_json(std::vector<Hit>(20, {t + 5000, a})), 1, 600},
        {"5, and 25 of another address", budget_json(mixed), 0, 0},
        {"20 of the address with a trailing space", budget_json(hits(20, 0, a + " ")), 0, 0},
        {"19, and elements that never count", nineteen.substr(0, nineteen.size() - 2) + never_count, 0, 0},
        {"not an array", "{\"ts\":1750000000,\"ip\":\"10.0.0.1\"}", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write("login_attempts_ip.json", c.file);
        EXPECT_EQ(id_login_ip_over_budget(a.c_str()), c.over);
        EXPECT_EQ(id_login_ip_retry_after(a.c_str()), c.retry);
    }
    for (int before : {18, 19}) {
        write("login_attempts_ip.json", budget_json(hits(before, 0, a)));
        EXPECT_EQ(id_login_failed_and_throttled("alice", a.c_str()), before == 19) << before;
    }
    EXPECT_EQ(id_login_failed_and_throttled("alice", ""), 0);
    EXPECT_EQ(id_login_ip_over_budget(nullptr) + id_login_ip_retry_after(""), 0);
}

TEST_F(SignIn, RecordingAnAddressKeepsOnlyItsWindow) {
    write("login_attempts_ip.json", "[5,{},{\"ip\":\"a\"},{\"ts\":1749999400,\"ip\":\"a\"},{\"ts\":\"x\",\"ip\":\"a\"},"
                                    "{\"ts\":1749999401},{\"ts\":1749999999,\"ip\":\"b\"}]");
    id_login_failed(nullptr, "c");
    EXPECT_EQ(read("login_attempts_ip.json"),
              "[\n    {\n        \"ts\": 1749999401\n    },\n" + budget_json({{t - 1, "b"}, {t, "c"}}).substr(2));
}

TEST_F(SignIn, UnparseableStoresAreKeptAsideAndReplaced) {
    const std::string aside = ".corrupt-" + std::to_string(t);
    struct Case {
        std::string file, text;
        bool kept;
        std::string after;
    } cases[] = {
        {"login_attempts.json", "{\"acc_x\": ", true, attempts_json({{"acc_alice", 1, 1, 0, t}})},
        {"login_attempts.json", "[1, 2]", false, attempts_json({{"acc_alice", 1, 1, 0, t}})},
        {"login_attempts_ip.json", "[{\"ts\":", true, budget_json({{t, "10.0.0.1"}})},
        {"login_attempts_ip.json", "{\"ts\": 1}", false, budget_json({{t, "10.0.0.1"}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " holding " + c.text);
        clear();
        write(c.file, c.text);
        id_login_failed("alice", "10.0.0.1");
        EXPECT_EQ(read(c.file), c.after);
        EXPECT_EQ(file_exists(data.file(c.file + aside)), c.kept);
        if (c.kept) {
            EXPECT_EQ(read(c.file + aside), c.text);
        }
    }
}

TEST_F(SignIn, LargeStoresAreReadAndShedWhatCanNoLongerMatter) {
    const Rec locked{"acc_locked", 9, 9, t + 300, t - 700}, open_run{"acc_open", 2, 2, 0, t - 600};
    std::vector<Rec> recs{locked, open_run};
    for (int i = 0; i < 9000; ++i) recs.push_back({"acc_stale" + std::to_string(i), 3, 3, t - 650, t - 601});
    recs.push_back({"acc_open", 8, 8, t + 900, t});  // a later duplicate is never read
    write("login_attempts.json", attempts_json(recs));
    ASSERT_GT(read("login_attempts.json").size(), 1u << 20);
    std::vector<Hit> crowd = hits(30000, 0, "10.9.9.9");
    for (const Hit& h : hits(20, 0, "10.0.0.1")) crowd.push_back(h);
    write("login_attempts_ip.json", budget_json(crowd));
    ASSERT_GT(read("login_attempts_ip.json").size(), 1u << 20);

    EXPECT_EQ(id_login_allowed("locked", nullptr, nullptr, 0), 0);
    EXPECT_EQ(id_login_ip_over_budget("10.0.0.1"), 1);
    id_login_failed("alice", nullptr);
    EXPECT_EQ(read("login_attempts.json"), attempts_json({locked, open_run, {"acc_alice", 1, 1, 0, t}}));
    // Below 1 MiB nothing is shed.
    write("login_attempts.json", attempts_json({recs[2]}));
    id_login_failed("alice", nullptr);
    EXPECT_EQ(read("login_attempts.json"), attempts_json({recs[2], {"acc_alice", 1, 1, 0, t}}));
}

// The sweep drops what shedding drops, whatever the store's size: records that can no longer
// change a decision and later duplicates of a name, and the address entries outside the window.
TEST_F(SignIn, SweepDropsWhatCanNoLongerChangeADecision) {
    const Rec locked{"acc_locked", 9, 9, t + 300, t - 700}, open_run{"acc_open", 2, 2, 0, t - 600},
        stale{"acc_stale", 3, 3, t - 650, t - 601}, lock_over{"acc_over", 4, 4, t, t - 601};
    write("login_attempts.json", attempts_json({locked, stale, open_run, lock_over, {"acc_open", 8, 8, t + 900, t}}));
    write("login_attempts_ip.json", budget_json({{t - 600, "a"}, {t - 599, "b"}, {t, "c", 42}}));
    id_login_swept out{7, 7};
    EXPECT_EQ(id_login_sweep(&out), 0);
    EXPECT_EQ(out.accounts, 3u);
    EXPECT_EQ(out.addresses, 1u);
    EXPECT_EQ(read("login_attempts.json"), attempts_json({locked, open_run}));
    EXPECT_EQ(read("login_attempts_ip.json"), budget_json({{t - 599, "b"}, {t, "c", 42}}));

    // Nothing left to drop: nothing saved, byte for byte. Missing stores stay missing.
    const std::string kept = "{\"acc_locked\":{\"locked_until\":1750000300},\"note\":1}";
    write("login_attempts.json", kept);
    std::filesystem::remove(data.file("login_attempts_ip.json"));
    EXPECT_EQ(id_login_sweep(&out), 0);
    EXPECT_EQ(out.accounts, 0u);
    EXPECT_EQ(out.addresses, 0u);
    EXPECT_EQ(read("login_attempts.json"), kept);
    EXPECT_FALSE(file_exists(data.file("login_attempts_ip.json")));

    // An unparseable store is left as it is for the next failure to set aside; the other is swept.
    write("login_attempts.json", "{\"acc_");
    write("login_attempts_ip.json", budget_json({{t - 900, "a"}}));
    EXPECT_EQ(id_login_sweep(&out), -1);
    EXPECT_EQ(out.addresses, 1u);
    EXPECT_EQ(read("login_attempts.json"), "{\"acc_");
    EXPECT_EQ(read("login_attempts_ip.json"), "[]");
    EXPECT_EQ(id_login_sweep(nullptr), -1);
}

// Sweeps between failures of other processes lose none of them.
TEST_F(SignIn, SweepsRacingFailuresLoseNone) {
    write("login_attempts.json", attempts_json({{"acc_stale", 3, 3, t - 650, t - 601}}));
    const std::vector<int> statuses = run_together(6, [](int i) {
        for (int k = 0; k < 10; ++k) {
            if (i < 2) {
                if (id_login_sweep(nullptr) != 0) return 1;
            } else {
                id_login_failed("alice", "10.0.0.1");
            }
        }
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(6, 0));
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
    EXPECT_EQ(doc["acc_alice"]["count"].GetInt(), 40);
    EXPECT_FALSE(doc.HasMember("acc_stale"));
    ASSERT_TRUE(tarn::parse_json(read("login_attempts_ip.json"), doc));
    EXPECT_EQ(doc.Size(), 40u);
}

TEST_F(SignIn, RacingProcessesCountEveryFailure) {
    const std::vector<int> statuses = run_together(10, [](int) {
        for (int i = 0; i < 5; ++i) id_login_failed("alice", "10.0.0.1");
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(10, 0));
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
    EXPECT_EQ(doc["acc_alice"]["count"].GetInt(), 50);
    EXPECT_EQ(doc["acc_alice"]["strikes"].GetInt(), 50);
    ASSERT_TRUE(tarn::parse_json(read("login_attempts_ip.json"), doc));
    EXPECT_EQ(doc.Size(), 50u);
    EXPECT_EQ(log_messages(data.dir()).size(), 50u);
}

}  // namespace
