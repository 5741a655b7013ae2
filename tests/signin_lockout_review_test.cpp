// The account lockout under attack: guesses in the second a lock ends, case variants of one
// account name, and failure lines whose account name imitates the line's own fields. Each table
// row is an attack that must not pay off.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "id_signin.h"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;

std::string one_record(const std::string& name, std::int64_t count, std::int64_t strikes, std::int64_t locked_until,
                       std::int64_t last_ts) {
    return attempts_json({{name, count, strikes, locked_until, last_ts}});
}

// An attacker who tries a password whenever id_login_allowed lets them, `tries` times at the
// clock's current second; the number of guesses that got through.
int guesses_let_through(const char* account, int tries) {
    int through = 0;
    for (int i = 0; i < tries; ++i) {
        if (!id_login_allowed(account, nullptr, nullptr, 0)) continue;
        ++through;
        id_login_failed(account, nullptr);
    }
    return through;
}

class LockoutAttack : public ::testing::Test {
protected:
    DataDirFixture data;
    SetClock clock{t};
};

// In the second a lock ends (now == locked_until) sign-in is allowed, yet a failure in that second
// counts as one "while a lock is in force" and never locks again: an attacker who waits for the
// countdown to reach 0 gets as many guesses as the server can check in that second, once per lock.
TEST_F(LockoutAttack, TheSecondALockEndsAllowsOneGuessNotUnlimited) {
    struct Case {
        const char* what;
        std::int64_t strikes, locked_until, last_ts;
    } cases[] = {
        {"end of the first 30 s lock", 3, t, t - 30},
        {"end of a 480 s lock", 7, t, t - 480},
        {"end of a lock with strikes far up the ladder", 12, t, t - 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(data.file("login_attempts.json"), one_record("acc_alice", c.strikes, c.strikes, c.locked_until, c.last_ts));
        EXPECT_EQ(guesses_let_through("alice", 25), 1);
        EXPECT_EQ(id_login_allowed("alice", nullptr, nullptr, 0), 0) << "the failed guess locks the account again";
    }
}

// Sign-in finds "alice" under any case of its letters, so every spelling is one account and climbs
// one ladder: the record is kept under the name folded to ASCII lower case. A record stored under
// another spelling before that rule still counts for that spelling: its lock holds, and the first
// failure of that spelling carries its strikes over into the folded record.
TEST_F(LockoutAttack, EverySpellingOfANameClimbsOneLadder) {
    for (const char* spelling : {"alice", "Alice", "ALICE"}) id_login_failed(spelling, nullptr);
    EXPECT_EQ(read_file(data.file("login_attempts.json")), one_record("acc_alice", 3, 3, t + 30, t));
    for (const char* spelling : {"alice", "Alice", "ALICE", "aLiCe"})
        EXPECT_EQ(id_login_allowed(spelling, nullptr, nullptr, 0), 0) << spelling;
    EXPECT_EQ(guesses_let_through("ALICE", 10), 0);
    id_login_success("ALIce");
    EXPECT_EQ(read_file(data.file("login_attempts.json")), "{}");

    struct Case {
        const char* what;
        std::string before;   // login_attempts.json
        const char* spelling;  // what is tried
        int allowed;           // id_login_allowed before the failure
        std::string after;     // login_attempts.json after one failure of `spelling`
    } cases[] = {
        {"a stored lock holds for its own spelling", one_record("acc_Bob", 3, 3, t + 20, t - 10), "Bob", 0,
         one_record("acc_bob", 4, 4, t + 20, t)},
        {"and not for another, which starts its own ladder", one_record("acc_Bob", 3, 3, t + 20, t - 10), "BOB", 1,
         attempts_json({{"acc_Bob", 3, 3, t + 20, t - 10}, {"acc_bob", 1, 1, 0, t}})},
        {"its strikes carry over", one_record("acc_Bob", 2, 2, 0, t - 10), "Bob", 1, one_record("acc_bob", 3, 3, t + 30, t)},
        {"beside a folded record, which climbs on", attempts_json({{"acc_Bob", 3, 3, t + 20, t - 10}, {"acc_bob", 1, 1, 0, t - 10}}),
         "Bob", 0, attempts_json({{"acc_Bob", 3, 3, t + 20, t - 10}, {"acc_bob", 2, 2, 0, t}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(data.file("login_attempts.json"), c.before);
        EXPECT_EQ(id_login_allowed(c.spelling, nullptr, nullptr, 0), c.allowed);
        id_login_failed(c.spelling, nullptr);
        EXPECT_EQ(read_file(data.file("login_attempts.json")), c.after);
    }
    // A successful sign-in clears every spelling's record of the account, and nothing else.
    write_file(data.file("login_attempts.json"),
               attempts_json({{"acc_Bob", 3, 3, t + 20, t}, {"acc_bobby", 1, 1, 0, t}, {"acc_bob", 1, 1, 0, t}, {"acc_BOB", 1, 1, 0, t}}));
    id_login_success("bOB");
    EXPECT_EQ(read_file(data.file("login_attempts.json")), one_record("acc_bobby", 1, 1, 0, t));
}

// A failure line is read back by people and by tools (a ban list fed by "ip="). The account name
// is the attacker's text: it must not be able to spell the line's own delimiters, and two
// different names must never log the same line.
TEST_F(LockoutAttack, AnAccountNameCannotImitateTheFieldsOfItsFailureLine) {
    // The account name is the caller's text and may hold quotes; the fields after it come last,
    // so a reader takes them from the end of the line.
    static const std::regex line(R"(SECURITY: failed login for '(.*)' \(attempt=(\d+) strikes=(\d+)\)( -> LOCKOUT)? ip=([^ ]*))");
    struct Case {
        std::string account;
    } cases[] = {
        {"x' (attempt=1 strikes=1) ip=10.9.9.9 y='z"},  // a second ip= before the real one
        {"root' (attempt=1 strikes=3) -> LOCKOUT ip=192.0.2.1"},
        {"eve\n"},
        {"eve\\x0a"},  // the literal text that the escape of a line feed produces
    };
    std::vector<std::string> accounts_logged;
    for (const Case& c : cases) {
        std::remove(data.file("server.log").c_str());
        std::remove(data.file("login_attempts.json").c_str());
        id_login_failed(c.account.c_str(), "203.0.113.5");
        const std::vector<std::string> msgs = log_messages(data.dir());
        ASSERT_EQ(msgs.size(), 1u) << c.account;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(msgs[0], m, line)) << msgs[0];
        EXPECT_EQ(m[5].str(), "203.0.113.5") << msgs[0];
        EXPECT_EQ(m[2].str(), "1") << msgs[0];
        accounts_logged.push_back(m[1].str());
    }
    EXPECT_NE(accounts_logged[2], accounts_logged[3]) << "a line feed and the text \\x0a log the same";
}

}  // namespace
