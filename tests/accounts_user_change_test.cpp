// Password change and user deletion on a real data directory: every rule of a password change in
// one table (messages in order, the checks before the lock passed while another process holds it,
// what the locked document decides, changed records byte for byte with hashes derived by OpenSSL);
// deletion removing one record and then exactly that user's sessions and active refresh tokens, and
// what each failure leaves behind; processes changing, deleting and creating at once; both
// operations under the fault sweep.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/document.hpp"
#include "core/fileio.hpp"
#include "identity_common.h"
#include "support/accounts.hpp"
#include "support/fault_sweep.hpp"
#include "support/process.hpp"

namespace {

using namespace tarn::test;

const std::string kOld = "old secret 0";
// alice: an older record whose password was set at 00..0f; carol's username is not a C text.
const Record& alice() {
    static const Record r{"usr_alice", "alicealice", "a@x.io", expected_hash(kOld, 0), "owner", 1700000000, 1700000500};
    return r;
}
const Record kBob{"usr_bob", "bobbybob", "", "h-bob", "user"};
const Record kCarol{"usr_carol", "carolcarol\\u0000x", "", "h-carol", "admin"};

// The three users, alice's record holding a second, stale "pass_hash" after her first.
std::string start_users() {
    std::string s = stored({alice(), kBob, kCarol});
    const std::string role = "        \"role\": \"owner\"";
    return s.replace(s.find(role), 0, "        \"pass_hash\": \"stale\",\n");
}

// tokens.json, compact so that any save of it (always pretty) shows, with or without bob's sessions
// and his active refresh tokens; alice's, bob's code and his exchanged token always stay.
std::string tokens_json(bool bob_sessions, bool bob_refresh) {
    const std::string s1 = bob_sessions ? "\"sess_1\":{\"user_id\":\"usr_bob\"}," : "";
    const std::string s3 = bob_sessions ? "\"sess_3\":{\"user_id\":\"usr_bob\",\"expires_at\":1}," : "";
    const std::string r1 = bob_refresh ? "{\"token\":\"rt_1\",\"user_id\":\"usr_bob\"}," : "";
    const std::string r3 = bob_refresh ? ",{\"token\":\"rt_3\",\"user_id\":\"usr_bob\",\"expires_at\":1}" : "";
    return "{\"sessions\":{" + s1 + "\"sess_2\":{\"user_id\":\"usr_alice\"}," + s3 + "\"sess_4\":{}}," +
           "\"auth_codes\":{\"code_1\":{\"user_id\":\"usr_bob\"}},\"refresh\":[" + r1 +
           "{\"token\":\"rt_2\",\"user_id\":\"usr_alice\"}" + r3 +
           "],\"rotated\":[{\"token\":\"rt_0\",\"family\":\"rt_1\"}]}";
}
const std::string kTokens = tokens_json(true, true);

// A document's text compact ("<invalid>" when it does not parse).
std::string compact(const std::string& text) {
    tarn::Document d;
    std::string out;
    return tarn::parse_json(text, d) && tarn::write_json(d, false, out) ? out : "<invalid>";
}

// Faults for the rows: the first `n` renames succeed and the next one fails.
int g_renames_left = 0;
int counted_rename(const char* from, const char* to) {
    if (g_renames_left-- == 0) {
        errno = EIO;
        return -1;
    }
    return tarn::system_io().rename(from, to);
}
std::function<void()> rename_fails_after(int n) {
    return [n] {
        g_renames_left = n;
        tarn::io_ops().rename = counted_rename;
    };
}

class UserChange : public AccountsTest {
protected:
    void TearDown() override {
        tarn::io_ops() = tarn::system_io();
        AccountsTest::TearDown();
    }
    std::string tokens() const { return read_file(data.file("tokens.json")); }
    // A directory where the lock file of `doc` belongs: the lock cannot be opened, at once.
    void lock_unopenable(const char* doc) const {
        const std::string lock = data.file(std::string(doc) + ".lock");
        std::remove(lock.c_str());
        ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);
    }
    void clear_faults() const {
        tarn::io_ops() = tarn::system_io();
        g_fail_draw = 0;
        g_on_draw = nullptr;
        ::rmdir(data.file("users.json.lock").c_str());
        ::rmdir(data.file("tokens.json.lock").c_str());
    }
};

// Every rule of a password change, a row each. The rows that fail before the lock run while
// another process holds it: a change that took the lock there would wait and report the lock.
// Failing rows break one rule (often a later one too) and get the message of the first. A
// "meanwhile" row stages what another process writes while the password is hashed (the salt is
// drawn after the first look and before the lock): the locked document decides, and keeps what
// that process wrote. Sessions and refresh tokens never change.
TEST_F(UserChange, PasswordChangeRules) {
    const std::string three = start_users(), p257(257, 'p');
    Record a = alice(), b = kBob, c = kCarol, c2 = kCarol;  // the changed records: new hash last
    a.pass_hash = expected_hash("new secret 1", 0);
    b.pass_hash = expected_hash("password1", 0);
    c.pass_hash = expected_hash("carolcarol", 0);
    c2.pass_hash = "set meanwhile";
    a.hash_last = b.hash_last = c.hash_last = true;
    const std::string plain = stored({alice(), kBob, kCarol}), without_b = stored({alice(), kCarol});
    auto meanwhile = [this](std::optional<std::string> text) {
        return [this, text] {
            g_on_draw = [this, text] {
                std::remove(data.file("users.json").c_str());
                if (text) write_file(data.file("users.json"), *text);
            };
        };
    };
    const struct {
        const char *id, *password;
        std::optional<std::string> start;  // users.json (nullopt: none)
        std::function<void()> fault;
        int result;
        const char* msg;
        std::optional<std::string> after;  // nullopt: as the start
        bool lock_held;
    } rows[] = {
        {nullptr, "password1", three, {}, -1, "missing user id or password", {}, true},
        {"", "short", three, {}, -1, "missing user id or password", {}, true},
        {"usr_bob", nullptr, three, {}, -1, "missing user id or password", {}, true},
        {"usr_bob", "", three, {}, -1, "missing user id or password", {}, true},
        {"usr_nobody", "short", three, {}, -1, "user not found", {}, true},  // before the policy
        {"USR_BOB", "password1", three, {}, -1, "user not found", {}, true},
        {"usr_bob", "password1", std::nullopt, {}, -1, "user not found", {}, true},
        {"usr_bob", "password1", "not json", {}, -1, "user not found", {}, true},
        {"usr_bob", "password1", "{\"usr_bob\": {}}", {}, -1, "user not found", {}, true},
        {"usr_bob", "short", three, {}, -3, "password too short (min 8)", {}, true},
        {"usr_bob", p257.c_str(), three, {}, -3, "password too long (max 256)", {}, true},
        {"usr_bob", "bobbybob", three, {}, -3, "password must differ from username", {}, true},
        {"usr_bob", "password1", three, [] { g_fail_draw = 1; }, -1, "failed to hash password", {}, true},
        {"usr_bob", "password1", three, [this] { lock_unopenable("users.json"); }, -1, "failed to lock user store", {}, false},
        {"usr_bob", "password1", three, rename_fails_after(0), -1, "failed to save user store", {}, false},
        {"usr_bob", "password1", plain, meanwhile(without_b), -1, "user not found", without_b, false},  // deleted
        {"usr_bob", "password1", plain, meanwhile(std::nullopt), -1, "user not found", "", false},
        {"usr_bob", "password1", plain, meanwhile("[{\"oops\": "), -1, "", "[{\"oops\": ", false},  // never replaced
        {"usr_bob", "password1", plain, meanwhile("{}"), -1, "", "{}", false},
        {"usr_bob", "password1", plain, meanwhile(plain), 0, "", stored({alice(), b, kCarol}), false},  // the first look is reused
        {"usr_bob", "password1", plain, meanwhile(stored({alice(), kBob, c2})), 0, "", stored({alice(), b, c2}), false},
        // carol's name holds a NUL: a password equal to the text before it is not her name.
        {"usr_carol", "carolcarol", plain, {}, 0, "", stored({alice(), kBob, c}), false},
        // Both of alice's hashes go; "created" and "last_login" (not the current time) stay.
        {"usr_alice", "new secret 1", three, {}, 0, "", stored({a, kBob, kCarol}), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.id ? row.id : "(null)") + " / " + (row.password ? row.password : "(null)") + " / " +
                     row.start.value_or("(none)").substr(0, 10) + " -> " + row.msg);
        std::remove(data.file("users.json").c_str());
        if (row.start) write_file(data.file("users.json"), *row.start);
        write_file(data.file("tokens.json"), kTokens);
        g_next_byte = 0;
        g_draws = 0;
        if (row.fault) row.fault();
        std::optional<Child> holder;
        if (row.lock_held) {
            holder.emplace([] {
                static id_lock lock;
                if (id_lock_acquire_wait(&lock, "users.json", 0) != 0) _exit(2);
            });
            holder->wait_ready();
        }
        char msg[128] = "junk";
        EXPECT_EQ(id_user_set_password(row.id, row.password, msg, sizeof msg), row.result);
        EXPECT_STREQ(msg, row.msg);
        if (holder) {
            EXPECT_EQ(holder->finish(), 0);
        }
        clear_faults();
        EXPECT_EQ(users(), row.after.value_or(row.start.value_or("")));
        EXPECT_EQ(tarn::test::file_exists(data.file("users.json")), !users().empty());
        EXPECT_EQ(tokens(), kTokens);
    }
    // The last row: alice's new password verifies, her old one no longer does.
    id_user u;
    ASSERT_EQ(id_user_find_by_id("usr_alice", &u), 1);
    EXPECT_EQ(id_verify_password("new secret 1", u.pass_hash) * 10 + id_verify_password(kOld.c_str(), u.pass_hash), 10);
    EXPECT_TRUE(id_verify_password(kOld.c_str(), alice().pass_hash.c_str()));
    // The message is cut to a small buffer; a buffer without capacity is not written.
    char small[5] = "xxxx";
    EXPECT_EQ(id_user_set_password("usr_bob", "bobbybob", small, sizeof small), -3);
    EXPECT_STREQ(small, "pass");
    EXPECT_EQ(id_user_set_password("usr_nobody", "password1", small, 0), -1);
    EXPECT_STREQ(small, "pass");
}

// Deletion: the first record of that id goes, then that user's sessions and active refresh tokens
// (codes, exchanged tokens and every other user's records stay). A -1 that removed nobody touched
// nothing; a -1 after the removal says that tokens.json could not be cleaned.
TEST_F(UserChange, DeletionRemovesTheUserThenTheirSessionsAndRefreshTokens) {
    const std::string three = stored({alice(), kBob, kCarol}), twice = stored({alice(), kBob, kBob});
    const std::string without_bob = stored({alice(), kCarol}), bob_gone = tokens_json(false, false);
    const std::string shaped = "{\"sessions\":{},\"auth_codes\":{},\"refresh\":[]}";
    const struct {
        const char* id;
        std::optional<std::string> users_start;  // nullopt: none
        std::optional<std::string> tokens_start;
        std::function<void()> fault;
        int result;
        std::optional<std::string> users_after;   // nullopt: byte for byte as before
        std::optional<std::string> tokens_after;  // compact; nullopt: byte for byte as before
    } rows[] = {
        {"usr_bob", three, kTokens, {}, 0, without_bob, bob_gone},
        {"usr_bob", twice, kTokens, {}, 0, stored({alice(), kBob}), bob_gone},  // the first of two
        {"usr_bob", three, std::nullopt, {}, 0, without_bob, shaped},
        {"usr_nobody", three, kTokens, {}, -1, {}, {}},
        {"USR_BOB", three, kTokens, {}, -1, {}, {}},
        {"", three, kTokens, {}, -1, {}, {}},
        {nullptr, three, kTokens, {}, -1, {}, {}},
        {"usr_bob", std::nullopt, kTokens, {}, -1, {}, {}},
        {"usr_bob", "[{\"id\": \"usr_bob\"}", kTokens, {}, -1, {}, {}},
        {"usr_bob", "{\"id\": \"usr_bob\"}", kTokens, {}, -1, {}, {}},
        {"usr_bob", three, kTokens, [this] { lock_unopenable("users.json"); }, -1, {}, {}},
        {"usr_bob", three, kTokens, rename_fails_after(0), -1, {}, {}},  // bob stays: nothing is cleaned
        {"usr_bob", three, kTokens, [this] { lock_unopenable("tokens.json"); }, -1, without_bob, {}},
        {"usr_bob", three, kTokens, rename_fails_after(1), -1, without_bob, tokens_json(true, false)},
        {"usr_bob", three, kTokens, rename_fails_after(2), -1, without_bob, tokens_json(false, true)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.id ? row.id : "(null)") + " / " + row.users_start.value_or("-").substr(0, 30));
        for (const char* name : {"users.json", "tokens.json"}) std::remove(data.file(name).c_str());
        if (row.users_start) write_file(data.file("users.json"), *row.users_start);
        if (row.tokens_start) write_file(data.file("tokens.json"), *row.tokens_start);
        if (row.fault) row.fault();
        EXPECT_EQ(id_user_delete(row.id), row.result);
        clear_faults();
        EXPECT_EQ(users(), row.users_after.value_or(row.users_start.value_or("")));
        if (row.tokens_after)
            EXPECT_EQ(compact(tokens()), *row.tokens_after);
        else
            EXPECT_EQ(tokens(), row.tokens_start.value_or(""));
        for (const std::string& name : files_in(data.dir()))
            EXPECT_TRUE(name.starts_with("users.json") || name.starts_with("tokens.json")) << name;
    }
}

// Processes at once: four change the passwords of four users, one deletes a fifth, one creates a
// user. Every change holds, the deleted user and only their session are gone.
TEST(UserChangeProcesses, ChangesDeletionAndCreationAtOnceLoseNothing) {
    DataDirFixture data;
    write_file(data.file("users.json"), crafted({{"u0", "owner"}, {"u1", "user"}, {"u2", "user"}, {"u3", "user"},
                                                 {"u4", "admin"}, {"u5", "user"}}));
    std::string sessions = "{\"sessions\":{";
    for (const char* i : {"0", "1", "2", "3", "4", "5"})
        sessions += std::string(*i == '0' ? "" : ",") + "\"s" + i + "\":{\"user_id\":\"usr_" + i + "\"}";
    write_file(data.file("tokens.json"), sessions + "},\"refresh\":[{\"token\":\"rt\",\"user_id\":\"usr_4\"}]}");
    const std::vector<int> statuses = run_together(6, [](int i) {
        const std::string id = "usr_" + std::to_string(i), password = "new password " + std::to_string(i);
        if (i < 4) return id_user_set_password(id.c_str(), password.c_str(), nullptr, 0);
        if (i == 4) return id_user_delete(id.c_str());
        return id_user_create("newcomer", "password1", nullptr, nullptr, 0);
    });
    EXPECT_EQ(statuses, std::vector<int>(6, 0));
    tarn::Document users, tokens;
    ASSERT_TRUE(tarn::parse_json(read_file(data.file("users.json")), users) && users.IsArray());
    ASSERT_EQ(users.Size(), 6u);
    for (int i = 0; i < 4; ++i) {
        const std::string password = "new password " + std::to_string(i);
        EXPECT_TRUE(id_verify_password(password.c_str(), users[i]["pass_hash"].GetString())) << i;
    }
    EXPECT_STREQ(users[4]["id"].GetString(), "usr_5");
    EXPECT_STREQ(users[4]["pass_hash"].GetString(), "h");
    EXPECT_STREQ(users[5]["username"].GetString(), "newcomer");
    ASSERT_TRUE(tarn::parse_json(read_file(data.file("tokens.json")), tokens));
    std::string left;
    for (const auto& s : tokens["sessions"].GetObject()) left += s.name.GetString();
    EXPECT_EQ(left + "|" + std::to_string(tokens["refresh"].Size()), "s0s1s2s3s5|0");
}

// users.json and tokens.json after a deletion under the fault sweep, file by file ("old": as
// before the run; "new": as the clean run left it). A result allows exactly:
//    0   users new, tokens new
//   -1   users old, tokens old                      (nobody removed: nothing else touched)
//   -1   users new, tokens old, or with only the sessions ended, or only the refresh tokens revoked
// and no other file changes.
SweepCase deletion(std::string name, std::function<void()> setup, const char* id, const std::string& dir) {
    // The two halves of the cleanup, each alone, from the starting state.
    auto alone = [&](int (*cleanup)(const char*)) {
        setup();
        cleanup(id);
        return read_file(dir + "/tokens.json");
    };
    const std::string sessions_only = alone(id_session_delete_by_user);
    const std::string refresh_only = alone(id_refresh_token_revoke_by_user);
    SweepCase c(std::move(name), {"users.json", "tokens.json"}, setup, [id] { return id_user_delete(id); });
    return c.changed_when([](int, int) { return true; }).judged_by([=](const SweepRun& r) {
        auto file = [](const DirState& s, const char* name) {
            const auto it = s.find(name);
            return it == s.end() ? std::string("<none>") : it->second;
        };
        const std::string users = file(r.after, "users.json"), tokens = file(r.after, "tokens.json");
        const bool users_new = users == file(r.clean, "users.json");
        const bool users_old = users == file(r.before, "users.json");
        const bool tokens_new = tokens == file(r.clean, "tokens.json");
        const bool tokens_old = tokens == file(r.before, "tokens.json");
        const bool tokens_half = tokens == sessions_only || tokens == refresh_only;
        if (r.result == 0)
            EXPECT_TRUE(users_new && tokens_new) << "deleted, but not as the clean run";
        else if (r.result == -1)
            EXPECT_TRUE((users_old && tokens_old) || (users_new && (tokens_old || tokens_half)))
                << "users.json " << (users_old ? "old" : users_new ? "new" : "neither") << ", tokens.json "
                << (tokens_old ? "old" : tokens_half ? "half cleaned" : tokens_new ? "new" : "neither");
        else
            ADD_FAILURE() << "result " << r.result;
        DirState rest = r.after, rest_before = r.before;
        for (const char* name : {"users.json", "tokens.json"}) rest.erase(name), rest_before.erase(name);
        EXPECT_EQ(rest, rest_before) << "another file changed";
    });
}

TEST(UserChangeFaults, BothOperationsUnderTheFaultSweep) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](std::optional<std::string> users, std::optional<std::string> tokens) {
        return [&dir, users, tokens] {
            for (const char* name : {"/users.json", "/tokens.json"}) std::remove((dir + name).c_str());
            if (users) write_file(dir + "/users.json", *users);
            if (tokens) write_file(dir + "/tokens.json", *tokens);
        };
    };
    const std::string three = stored({alice(), kBob, kCarol});
    const auto change = [] { return id_user_set_password("usr_bob", "password1", nullptr, 0); };
    const std::vector<SweepCase> cases = {
        SweepCase("password changed", {"users.json"}, starting(three, std::nullopt), change),
        SweepCase("password not changed in an unparseable store", {"users.json"}, starting("[{", std::nullopt), change),
        deletion("user deleted with their sessions and refresh tokens", starting(three, kTokens), "usr_bob", dir),
        deletion("user deleted before any tokens.json", starting(three, std::nullopt), "usr_bob", dir),
        deletion("unknown user not deleted", starting(three, kTokens), "usr_nobody", dir),
    };
    for (const SweepCase& c : cases) {
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-55s %3d calls, %3d faulted runs\n", c.name.c_str(), s.io_calls, s.runs);
    }
}

}  // namespace
