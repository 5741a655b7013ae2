// Opening a sign-in attempt before its password is checked (id_login_begin): the attempt is
// counted against the account and the address under each store's lock, so guesses started at once
// get no more password checks than guesses made one at a time; the report that follows counts
// nothing more (a failure) or takes the attempt back (a success); a process that dies before it
// reports leaves its attempt counted. Real processes race; the clock stands still.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_accounts.h"
#include "id_foundation.h"
#include "id_signin.h"
#include "support/process.hpp"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;
const std::string kIp = "10.0.0.1";
const std::string kLocked = "Account temporarily locked after repeated failures. Try again in ";
const std::string kBudget = "Too many failed sign-ins from this address. Try again in ";

std::string failure_line(const std::string& account, int count, int strikes, bool lockout, const std::string& ip) {
    return "SECURITY: failed login for '" + account + "' (attempt=" + std::to_string(count) + " strikes=" +
           std::to_string(strikes) + ")" + (lockout ? " -> LOCKOUT" : "") + " ip=" + ip;
}

struct Begun {
    int result;
    std::string msg;
};
Begun begin(const char* account, const char* address) {
    char msg[128] = "junk";
    const int r = id_login_begin(account, address, msg, sizeof msg);
    return {r, msg};
}

// Runs `fn` in a child process (another pid) and waits for it.
void in_other_process(const std::function<void()>& fn) {
    ASSERT_EQ(run_together(1, [&fn](int) {
                  fn();
                  return 0;
              }),
              std::vector<int>{0});
}

class Begin : public ::testing::Test {
protected:
    std::string read(const std::string& name) { return read_file(data.file(name)); }
    void write(const std::string& name, const std::string& text) { write_file(data.file(name), text); }
    void clear() {
        for (const auto& e : std::filesystem::directory_iterator(data.dir())) std::filesystem::remove(e.path());
    }
    const std::int64_t me = ::getpid();
    DataDirFixture data;
    SetClock clock{t};
};

// One process at a time, every sequence of begin and report leaves both stores and server.log
// exactly so.
TEST_F(Begin, EachSequenceLeavesTheStoresAsOneAttemptAtATimeWould) {
    const std::int64_t me = this->me;
    const Rec alice2{"acc_alice", 2, 2, 0, t - 5, {}};
    std::vector<Hit> nineteen(19, {t - 1, kIp}), twenty(20, {t - 1, kIp});
    const auto with = [](std::vector<Hit> h, const Hit& last) {
        h.push_back(last);
        return h;
    };
    struct Row {
        const char* what;
        std::string attempts_before, budget_before;  // "" for no file
        std::function<void()> steps;                  // expectations on results inside
        std::string attempts_after, budget_after;
        std::vector<std::string> log;
    } rows[] = {
        {"begun, then the guess fails", "", "",
         [] {
             EXPECT_EQ(begin("alice", kIp.c_str()).result, 1);
             id_login_failed("alice", kIp.c_str());
         },
         attempts_json({{"acc_alice", 1, 1, 0, t, {{me, t, 1, 1, 0, kIp}}}}), budget_json({{t, kIp, me}}),
         {failure_line("alice", 1, 1, false, kIp)}},
        {"begun, then the password is right: the attempt is taken back", attempts_json({alice2}), budget_json({{t - 9, kIp}}),
         [] {
             EXPECT_EQ(begin("Alice", kIp.c_str()).result, 1);
             id_login_success("Alice");
         },
         "{}", budget_json({{t - 9, kIp}}), {}},
        {"the third begun failure locks and the next begin is refused", attempts_json({alice2}), "",
         [] {
             EXPECT_EQ(begin("alice", kIp.c_str()).result, 1);
             id_login_failed("alice", kIp.c_str());
             const Begun refused = begin("ALICE", kIp.c_str());
             EXPECT_EQ(refused.result, 0);
             EXPECT_EQ(refused.msg, kLocked + "30 s.");
         },
         attempts_json({{"acc_alice", 3, 3, t + 30, t, {{me, t, 3, 3, t + 30, kIp}}}}), budget_json({{t, kIp, me}}),
         {failure_line("alice", 3, 3, true, kIp)}},
        {"an address over its budget is refused and nothing is counted", "", budget_json(twenty),
         [] {
             const Begun refused = begin("alice", kIp.c_str());
             EXPECT_EQ(refused.result, 0);
             EXPECT_EQ(refused.msg, kBudget + "599 s.");
         },
         "", budget_json(twenty), {}},
        {"the twentieth begun attempt puts the address over", "", budget_json(nineteen),
         [] {
             EXPECT_EQ(begin("bob", kIp.c_str()).result, 1);
             EXPECT_EQ(id_login_failed_and_throttled("bob", kIp.c_str()), 1);
         },
         attempts_json({{"acc_bob", 1, 1, 0, t, {{me, t, 1, 1, 0, kIp}}}}), budget_json(with(nineteen, {t, kIp, me})),
         {failure_line("bob", 1, 1, false, kIp)}},
        {"a second report of the same attempt counts nothing more", "", "",
         [] {
             EXPECT_EQ(begin("alice", kIp.c_str()).result, 1);
             id_login_failed("alice", kIp.c_str());
             id_login_failed("alice", kIp.c_str());
         },
         attempts_json({{"acc_alice", 1, 1, 0, t, {{me, t, 1, 1, 0, kIp}}}}), budget_json({{t, kIp, me}}),
         {failure_line("alice", 1, 1, false, kIp), failure_line("alice", 1, 1, false, kIp)}},
        {"the written failure of another process counts beside a pending attempt", "", "",
         [] {
             EXPECT_EQ(begin("alice", kIp.c_str()).result, 1);
             in_other_process([] { id_login_failed("alice", kIp.c_str()); });
             id_login_failed("alice", kIp.c_str());
         },
         attempts_json({{"acc_alice", 2, 2, 0, t, {{me, t, 1, 1, 0, kIp}}}}), budget_json({{t, kIp, me}, {t, kIp}}),
         {failure_line("alice", 2, 2, false, kIp), failure_line("alice", 1, 1, false, kIp)}},
        {"an attempt whose record another process's success cleared counts when it fails", "", "",
         [] {
             EXPECT_EQ(begin("alice", kIp.c_str()).result, 1);
             in_other_process([] { id_login_success("alice"); });
             id_login_failed("alice", kIp.c_str());
         },
         attempts_json({{"acc_alice", 1, 1, 0, t, {}}}), budget_json({{t, kIp, me}}),
         {failure_line("alice", 1, 1, false, kIp)}},
        {"without an address", "", "",
         [] {
             EXPECT_EQ(begin("alice", nullptr).result, 1);
             id_login_failed("alice", nullptr);
         },
         attempts_json({{"acc_alice", 1, 1, 0, t, {{me, t, 1, 1, 0, ""}}}}), "", {failure_line("alice", 1, 1, false, "?")}},
        {"without an account", "", "",
         [] {
             EXPECT_EQ(begin("", kIp.c_str()).result, 1);
             id_login_failed(nullptr, kIp.c_str());
         },
         "", budget_json({{t, kIp, me}}), {}},
        {"without either", "", "", [] { EXPECT_EQ(begin(nullptr, "").result, 1); }, "", "", {}},
        {"a lock stored under the exact spelling refuses that spelling",
         attempts_json({{"acc_Bob", 3, 3, t + 20, t - 10, {}}}), "",
         [] {
             const Begun refused = begin("Bob", kIp.c_str());
             EXPECT_EQ(refused.result, 0);
             EXPECT_EQ(refused.msg, kLocked + "20 s.");
             EXPECT_EQ(begin("bob", kIp.c_str()).result, 1);
         },
         attempts_json({{"acc_Bob", 3, 3, t + 20, t - 10, {}}, {"acc_bob", 1, 1, 0, t, {{me, t, 1, 1, 0, kIp}}}}),
         budget_json({{t, kIp, me}}), {}},
        {"markers past the run window, and this process's earlier one, go at the next begin",
         attempts_json({{"acc_alice", 2, 2, 0, t - 5, {{1, t - 600, 1, 1, 0, "a"}, {me, t - 5, 2, 2, 0, "b"}, {1, t - 599, 2, 2, 0, "c"}}}}),
         "",
         [] { EXPECT_EQ(begin("alice", nullptr).result, 1); },
         attempts_json({{"acc_alice", 3, 3, t + 30, t, {{1, t - 599, 2, 2, 0, "c"}, {me, t, 3, 3, t + 30, ""}}}}), "", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        clear();
        if (!row.attempts_before.empty()) write("login_attempts.json", row.attempts_before);
        if (!row.budget_before.empty()) write("login_attempts_ip.json", row.budget_before);
        row.steps();
        EXPECT_EQ(read("login_attempts.json"), row.attempts_after);
        EXPECT_EQ(read("login_attempts_ip.json"), row.budget_after);
        EXPECT_EQ(log_messages(data.dir()), row.log);
    }
}

// A wrong guess made the way a sign-in program makes it: begin, then a real password check, then
// the report. 1 when the password was checked.
int guess(const char* account, const std::string& hash) {
    const int r = id_login_begin(account, kIp.c_str(), nullptr, 0);
    if (r != 1) return 0;
    EXPECT_EQ(id_verify_password("wrong guess", hash.c_str()), 0);
    id_login_failed(account, kIp.c_str());
    return 1;
}

std::string a_hash() {
    char hash[128];
    EXPECT_EQ(id_hash_password("the right password", hash, sizeof hash), 0);
    return hash;
}

int sum(const std::vector<int>& v) { return std::accumulate(v.begin(), v.end(), 0); }

TEST_F(Begin, SixtyGuessesAtOnceOnOneAccountGetThreeChecks) {
    const std::string hash = a_hash();
    const std::vector<int> checked = run_together(60, [&hash](int) { return guess("alice", hash); });
    EXPECT_EQ(sum(checked), 3) << "one at a time, the third failure locks the account";
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
    EXPECT_EQ(doc["acc_alice"]["count"].GetInt(), 3);
    EXPECT_EQ(doc["acc_alice"]["locked_until"].GetInt64(), t + 30);
    EXPECT_EQ(log_messages(data.dir()).size(), 3u);
    ASSERT_TRUE(tarn::parse_json(read("login_attempts_ip.json"), doc));
    EXPECT_EQ(doc.Size(), 3u) << "the attempts refused for the lock were taken back from the address";
}

TEST_F(Begin, SixtyGuessesAtOnceFromOneAddressGetTwentyChecks) {
    const std::string hash = a_hash();
    const std::vector<int> checked = run_together(60, [&hash](int i) {
        return guess(("user" + std::to_string(i)).c_str(), hash);
    });
    EXPECT_EQ(sum(checked), 20) << "one at a time, the twentieth failure puts the address over its budget";
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read("login_attempts_ip.json"), doc));
    EXPECT_EQ(doc.Size(), 20u);
    ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
    EXPECT_EQ(doc.MemberCount(), 20u) << "no account is charged for an attempt the address was refused";
    EXPECT_EQ(id_login_ip_over_budget(kIp.c_str()), 1);
}

// A sign-in process killed after begin (a client that hangs up, a crash) never reports: its
// attempt stays counted as a failure, and three such lock the account as three failures do.
TEST_F(Begin, AProcessKilledBeforeItReportsCountsAsAFailure) {
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        Child child([] {
            if (id_login_begin("alice", kIp.c_str(), nullptr, 0) != 1) ::_exit(3);
        });
        child.wait_ready();
        child.kill();
        tarn::Document doc;
        ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
        EXPECT_EQ(doc["acc_alice"]["count"].GetInt(), k);
        EXPECT_EQ(doc["acc_alice"]["strikes"].GetInt(), k);
        ASSERT_TRUE(tarn::parse_json(read("login_attempts_ip.json"), doc));
        EXPECT_EQ(doc.Size(), static_cast<unsigned>(k));
    }
    EXPECT_EQ(id_login_allowed("alice", nullptr, nullptr, 0), 0);
    EXPECT_EQ(begin("alice", kIp.c_str()).msg, kLocked + "30 s.");
    // This process never began those attempts: its own failure is counted anew.
    id_login_failed("alice", kIp.c_str());
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read("login_attempts.json"), doc));
    EXPECT_EQ(doc["acc_alice"]["count"].GetInt(), 4);
    EXPECT_TRUE(log_messages(data.dir()) == std::vector<std::string>{failure_line("alice", 4, 4, true, kIp)});
}

// A store that cannot be used refuses the attempt: with login_attempts.json's lock held elsewhere
// the account is not charged, and the address keeps the attempt it had already counted.
TEST_F(Begin, AStoreThatCannotBeUsedRefuses) {
    Child holder([] {
        static id_lock lock;
        if (id_lock_acquire_wait(&lock, "login_attempts.json", 0) != 0) ::_exit(2);
    });
    holder.wait_ready();
    const Begun refused = begin("alice", kIp.c_str());
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(refused.msg, "Sign-in is temporarily unavailable. Try again later.");
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_EQ(read("login_attempts_ip.json"), budget_json({{t, kIp, me}}));
    EXPECT_EQ(read("login_attempts.json"), "");
}

}  // namespace
