// Password change and user deletion on a real data directory: every rule of a password change in
// one table (messages in order, the checks before the lock passed while another process holds it,
// what the locked document decides, changed records byte for byte with hashes derived by OpenSSL);
// deletion ending exactly that user's sessions, codes and refresh tokens and then removing one
// record, and what each failure leaves behind; processes changing, deleting and creating at once;
// both operations under the fault sweep, and deletion killed at each of its calls.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_accounts.h"
#include "id_foundation.h"
#include "id_tokens.h"
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

// tokens.json, compact so that any save of it (always pretty) shows: alice's and bob's sessions,
// codes, active refresh tokens and exchanged tokens, with or without bob's, and with or without
// the mark that refuses new grants to bob while his deletion completes.
std::string tokens_json(bool bob, bool marked) {
    auto of_bob = [bob](const std::string& text) { return bob ? text : std::string(); };
    return "{\"sessions\":{" + of_bob("\"sess_1\":{\"user_id\":\"usr_bob\"},") + "\"sess_2\":{\"user_id\":\"usr_alice\"}," +
           of_bob("\"sess_3\":{\"user_id\":\"usr_bob\",\"expires_at\":1},") + "\"sess_4\":{}},\"auth_codes\":{" +
           of_bob("\"code_1\":{\"user_id\":\"usr_bob\"},") + "\"code_2\":{\"user_id\":\"usr_alice\"}},\"refresh\":[" +
           of_bob("{\"token\":\"rt_1\",\"user_id\":\"usr_bob\",\"family\":\"rt_1\"},") +
           "{\"token\":\"rt_2\",\"user_id\":\"usr_alice\",\"family\":\"rt_a\"}" +
           of_bob(",{\"token\":\"rt_3\",\"user_id\":\"usr_bob\",\"expires_at\":1}") + "],\"rotated\":[" +
           of_bob("{\"token\":\"rt_0\",\"family\":\"rt_1\"},") + "{\"token\":\"rt_a\",\"family\":\"rt_a\"}]" +
           (marked ? ",\"deleted_users\":{\"usr_bob\":{\"expires_at\":1750086400}}}" : "}");
}
const std::string kTokens = tokens_json(true, false);

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

// Deletion ends bob's sessions, codes and refresh tokens (and the exchanged tokens of his ended
// families) in one change of tokens.json, marking him so that no new grant is stored for him,
// then removes his first record from users.json. Whatever fails, either bob is still stored (and
// can be deleted again) or he is gone with none of his grants; an identifier already gone still
// has its grants ended (without a mark: nobody can sign in as it), and the result is -1.
TEST_F(UserChange, DeletionEndsTheGrantsThenRemovesTheUser) {
    const std::string three = stored({alice(), kBob, kCarol}), twice = stored({alice(), kBob, kBob});
    const std::string without_bob = stored({alice(), kCarol}), ended = tokens_json(false, true);
    const struct {
        const char* id;
        std::optional<std::string> users_start;  // nullopt: none
        std::optional<std::string> tokens_start;
        std::function<void()> fault;
        int result;
        std::optional<std::string> users_after;   // nullopt: byte for byte as before
        std::optional<std::string> tokens_after;  // compact; nullopt: byte for byte as before
    } rows[] = {
        {"usr_bob", three, kTokens, {}, 0, without_bob, ended},
        {"usr_bob", twice, kTokens, {}, 0, stored({alice(), kBob}), ended},  // the first of two
        {"usr_bob", three, std::nullopt, {}, 0, without_bob,
         "{\"sessions\":{},\"auth_codes\":{},\"refresh\":[],\"deleted_users\":{\"usr_bob\":{\"expires_at\":1750086400}}}"},
        {"usr_nobody", three, kTokens, {}, -1, {}, {}},
        {"USR_BOB", three, kTokens, {}, -1, {}, {}},
        {"", three, kTokens, {}, -1, {}, {}},
        {nullptr, three, kTokens, {}, -1, {}, {}},
        {"usr_bob", without_bob, kTokens, {}, -1, {}, tokens_json(false, false)},  // deleted before
        {"usr_bob", std::nullopt, kTokens, {}, -1, {}, tokens_json(false, false)},
        {"usr_bob", "{\"id\": \"usr_bob\"}", kTokens, {}, -1, {}, tokens_json(false, false)},
        {"usr_bob", "[{\"id\": \"usr_bob\"}", kTokens, {}, -1, {}, {}},  // unparseable: nothing changes
        {"usr_bob", three, kTokens, [this] { lock_unopenable("tokens.json"); }, -1, {}, {}},
        {"usr_bob", three, kTokens, rename_fails_after(0), -1, {}, {}},
        {"usr_bob", three, kTokens, [this] { lock_unopenable("users.json"); }, -1, {}, ended},
        {"usr_bob", three, kTokens, rename_fails_after(1), -1, {}, ended},
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
    // While the mark stands, no session, code or refresh token is stored for bob.
    write_file(data.file("users.json"), three);
    write_file(data.file("tokens.json"), kTokens);
    ASSERT_EQ(id_user_delete("usr_bob"), 0);
    const std::string after = tokens();
    char out[64] = "untouched";
    EXPECT_EQ(id_session_create("usr_bob", "bobbybob", out, sizeof out), -1);
    EXPECT_EQ(id_auth_code_create("usr_bob", "bobbybob", "c", nullptr, nullptr, nullptr, nullptr, out, sizeof out), -1);
    EXPECT_EQ(id_refresh_token_create("usr_bob", "bobbybob", "c", nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(tokens(), after);
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
//   -1   users old, tokens old or new (the grants ended first: the user can be deleted again)
// and no other file changes.
std::string file_of(const DirState& s, const char* name) {
    const auto it = s.find(name);
    return it == s.end() ? std::string("<none>") : it->second;
}

SweepCase deletion(std::string name, std::function<void()> setup, const char* id) {
    SweepCase c(std::move(name), {"users.json", "tokens.json"}, setup, [id] { return id_user_delete(id); });
    return c.changed_when([](int, int) { return true; }).judged_by([](const SweepRun& r) {
        const std::string users = file_of(r.after, "users.json"), tokens = file_of(r.after, "tokens.json");
        const bool users_new = users == file_of(r.clean, "users.json");
        const bool users_old = users == file_of(r.before, "users.json");
        const bool tokens_new = tokens == file_of(r.clean, "tokens.json");
        const bool tokens_old = tokens == file_of(r.before, "tokens.json");
        if (r.result == 0)
            EXPECT_TRUE(users_new && tokens_new) << "deleted, but not as the clean run";
        else if (r.result == -1)
            EXPECT_TRUE(users_old && (tokens_old || tokens_new))
                << "users.json " << (users_old ? "old" : users_new ? "new" : "neither") << ", tokens.json "
                << (tokens_old ? "old" : tokens_new ? "new" : "neither");
        else
            ADD_FAILURE() << "result " << r.result;
        DirState rest = r.after, rest_before = r.before;
        for (const char* name : {"users.json", "tokens.json"}) rest.erase(name), rest_before.erase(name);
        EXPECT_EQ(rest, rest_before) << "another file changed";
    });
}

// A deletion killed at any of its calls leaves users.json and tokens.json old, or users.json
// old with tokens.json new, or both new (a killed save may leave its temporary file); deleting
// again from there ends as the clean run did.
void judge_killed(const SweepRun& r, const char* id, const std::string& dir) {
    auto documents = [](const DirState& s) {
        return std::make_pair(file_of(s, "users.json"), file_of(s, "tokens.json"));
    };
    const auto [users, tokens] = documents(r.after);
    const auto [users_before, tokens_before] = documents(r.before);
    const auto [users_clean, tokens_clean] = documents(r.clean);
    const bool users_old = users == users_before;
    EXPECT_TRUE((users_old && (tokens == tokens_before || tokens == tokens_clean)) ||
                (users == users_clean && tokens == tokens_clean))
        << "users.json " << (users_old ? "old" : users == users_clean ? "new" : "neither") << ", tokens.json "
        << (tokens == tokens_before ? "old" : tokens == tokens_clean ? "new" : "neither");
    EXPECT_EQ(id_user_delete(id), users_old ? r.clean_result : -1) << "deleting again";
    EXPECT_EQ(documents(dir_state(dir)), documents(r.clean)) << "after deleting again";
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
        deletion("user deleted with their grants", starting(three, kTokens), "usr_bob"),
        deletion("user deleted before any tokens.json", starting(three, std::nullopt), "usr_bob"),
        deletion("unknown user not deleted", starting(three, kTokens), "usr_nobody"),
        deletion("grants of a user already gone ended", starting(stored({alice(), kCarol}), kTokens), "usr_bob"),
    };
    for (const SweepCase& c : cases) {
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-55s %3d calls, %3d faulted runs\n", c.name.c_str(), s.io_calls, s.runs);
    }
    for (std::size_t i = 2; i < cases.size(); ++i) {
        const char* id = i == 4 ? "usr_nobody" : "usr_bob";
        const SweepSummary s = kill_sweep(dir, cases[i], [id, &dir](const SweepRun& r) { judge_killed(r, id, dir); });
        std::printf("%-55s %3d calls, %3d killed runs\n", cases[i].name.c_str(), s.io_calls, s.runs);
    }
}

}  // namespace
