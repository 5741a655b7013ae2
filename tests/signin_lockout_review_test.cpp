// The account lockout under attack: guesses in the second a lock ends, the top of the ladder that
// starts the ladder over, case variants of one account name, and failure lines whose account name
// imitates the line's own fields. Each table row is an attack that must not pay off.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "identity_common.h"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;

// login_attempts.json holding one record, as the store writes it.
std::string one_record(const std::string& name, std::int64_t count, std::int64_t strikes, std::int64_t locked_until,
                       std::int64_t last_ts) {
    return "{\n    \"" + name + "\": {\n        \"count\": " + std::to_string(count) + ",\n        \"strikes\": " +
           std::to_string(strikes) + ",\n        \"locked_until\": " + std::to_string(locked_until) +
           ",\n        \"last_ts\": " + std::to_string(last_ts) + "\n    }\n}";
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
