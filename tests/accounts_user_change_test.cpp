// Password change and user deletion on a real data directory: the changed record byte for byte,
// its new hash derived by OpenSSL; every check of a password change and its message in order, the
// ones before the lock passed while another process holds it; what a change finds under the lock
// after another process changed users.json while it hashed; deletion removing one record and then
// exactly that user's sessions and active refresh tokens, and what each failure leaves behind;
// processes changing, deleting and creating at once; both operations under the fault sweep.
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

// tokens.json written compact, so that any save of it (always pretty) shows.
const std::string kTokens =
    "{\"sessions\":{\"sess_1\":{\"user_id\":\"usr_bob\"},\"sess_2\":{\"user_id\":\"usr_alice\"},"
    "\"sess_3\":{\"user_id\":\"usr_bob\",\"expires_at\":1},\"sess_4\":{}},"
    "\"auth_codes\":{\"code_1\":{\"user_id\":\"usr_bob\"}},"
    "\"refresh\":[{\"token\":\"rt_1\",\"user_id\":\"usr_bob\"},{\"token\":\"rt_2\",\"user_id\":\"usr_alice\"},"
    "{\"token\":\"rt_3\",\"user_id\":\"usr_bob\",\"expires_at\":1}],"
    "\"rotated\":[{\"token\":\"rt_0\",\"family\":\"rt_1\"}]}";
// kTokens once bob's sessions are ended, once his refresh tokens are revoked, and once both are.
const std::string kBobSessionsEnded =
    "{\"sessions\":{\"sess_2\":{\"user_id\":\"usr_alice\"},\"sess_4\":{}},"
    "\"auth_codes\":{\"code_1\":{\"user_id\":\"usr_bob\"}},"
    "\"refresh\":[{\"token\":\"rt_1\",\"user_id\":\"usr_bob\"},{\"token\":\"rt_2\",\"user_id\":\"usr_alice\"},"
    "{\"token\":\"rt_3\",\"user_id\":\"usr_bob\",\"expires_at\":1}],"
    "\"rotated\":[{\"token\":\"rt_0\",\"family\":\"rt_1\"}]}";
const std::string kBobTokensRevoked =
    "{\"sessions\":{\"sess_1\":{\"user_id\":\"usr_bob\"},\"sess_2\":{\"user_id\":\"usr_alice\"},"
    "\"sess_3\":{\"user_id\":\"usr_bob\",\"expires_at\":1},\"sess_4\":{}},"
    "\"auth_codes\":{\"code_1\":{\"user_id\":\"usr_bob\"}},\"refresh\":[{\"token\":\"rt_2\",\"user_id\":\"usr_alice\"}],"
    "\"rotated\":[{\"token\":\"rt_0\",\"family\":\"rt_1\"}]}";
const std::string kBobGone =
    "{\"sessions\":{\"sess_2\":{\"user_id\":\"usr_alice\"},\"sess_4\":{}},"
    "\"auth_codes\":{\"code_1\":{\"user_id\":\"usr_bob\"}},\"refresh\":[{\"token\":\"rt_2\",\"user_id\":\"usr_alice\"}],"
    "\"rotated\":[{\"token\":\"rt_0\",\"family\":\"rt_1\"}]}";

// A document's text compact ("<invalid>" when it does not parse, "<none>" when empty).
std::string compact(const std::string& text) {
    if (text.empty()) return "<none>";
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

TEST_F(UserChange, NewHashGoesLastAndNothingElseChanges) {
    write_file(data.file("users.json"), start_users());
    write_file(data.file("tokens.json"), kTokens);
    ASSERT_TRUE(id_verify_password(kOld.c_str(), alice().pass_hash.c_str()));
    g_next_byte = 0x40;
    char msg[64] = "junk";
    ASSERT_EQ(id_user_set_password("usr_alice", "new secret 1", msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "");
    // carol's name holds a NUL: a password equal to the text before it is not her name.
    ASSERT_EQ(id_user_set_password("usr_carol", "carolcarol", msg, sizeof msg), 0);

    Record a = alice(), c = kCarol;
    a.pass_hash = expected_hash("new secret 1", 0x40);
    c.pass_hash = expected_hash("carolcarol", 0x50);
    a.hash_last = c.hash_last = true;
    EXPECT_EQ(users(), stored({a, kBob, c}));
    EXPECT_EQ(tokens(), kTokens) << "a password change ends no session and revokes no token";
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"tokens.json", "users.json", "users.json.lock"}));
    id_user u;
    ASSERT_EQ(id_user_find_by_id("usr_alice", &u), 1);
    EXPECT_TRUE(id_verify_password("new secret 1", u.pass_hash));
    EXPECT_FALSE(id_verify_password(kOld.c_str(), u.pass_hash));
}

// Every check in the order it runs, each row breaking one rule (often a later one too) and getting
// the message of the first; users.json stays byte for byte. The rows that fail before the lock run
// while another process holds it: a change that took the lock would wait and report the lock.
TEST_F(UserChange, PasswordChecksInOrderAndTheLockOnlyAfterThem) {
    const std::string three = start_users(), p257(257, 'p');
    const struct {
        const char *id, *password;
        std::optional<std::string> start;  // users.json (nullopt: none)
        std::function<void()> fault;
        int result;
        const char* msg;
        bool lock_held;
    } rows[] = {
        {nullptr, "password1", three, {}, -1, "missing user id or password", true},
        {"", "short", three, {}, -1, "missing user id or password", true},
        {"usr_bob", nullptr, three, {}, -1, "missing user id or password", true},
        {"usr_bob", "", three, {}, -1, "missing user id or password", true},
        {"usr_nobody", "short", three, {}, -1, "user not found", true},  // before the policy
        {"USR_BOB", "password1", three, {}, -1, "user not found", true},
        {"usr_bob", "password1", std::nullopt, {}, -1, "user not found", true},
        {"usr_bob", "password1", "not json", {}, -1, "user not found", true},
        {"usr_bob", "password1", "{\"usr_bob\": {}}", {}, -1, "user not found", true},
        {"usr_bob", "short", three, {}, -3, "password too short (min 8)", true},
        {"usr_bob", p257.c_str(), three, {}, -3, "password too long (max 256)", true},
        {"usr_bob", "bobbybob", three, {}, -3, "password must differ from username", true},
        {"usr_bob", "password1", three, [] { g_fail_draw = 1; }, -1, "failed to hash password", true},
        {"usr_bob", "password1", three, [this] { lock_unopenable("users.json"); }, -1, "failed to lock user store", false},
        {"usr_bob", "password1", three, rename_fails_after(0), -1, "failed to save user store", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.id ? row.id : "(null)") + " / " + std::string(row.password ? row.password : "(null)").substr(0, 12));
        std::remove(data.file("users.json").c_str());
        if (row.start) write_file(data.file("users.json"), *row.start);
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
        EXPECT_EQ(users(), row.start.value_or(""));
        EXPECT_EQ(tarn::test::file_exists(data.file("users.json")), row.start.has_value());
    }
    // The message is cut to a small buffer; a buffer without capacity is not written.
    char small[5] = "xxxx";
    EXPECT_EQ(id_user_set_password("usr_bob", "bobbybob", small, sizeof small), -3);
    EXPECT_STREQ(small, "pass");
    EXPECT_EQ(id_user_set_password("usr_nobody", "password1", small, 0), -1);
    EXPECT_STREQ(small, "pass");
}

// What another process does to users.json while this change hashes (the salt is drawn after the
// first look and before the lock): the locked document decides, and nothing it holds is lost.
TEST_F(UserChange, TheLockedDocumentDecidesAPasswordChange) {
    Record bob = kBob, carol = kCarol;
    bob.pass_hash = expected_hash("password1", 0);
    bob.hash_last = true;
    carol.pass_hash = "changed meanwhile";
    const std::string three = stored({alice(), kBob, kCarol});
    const struct {
        std::optional<std::string> meanwhile;  // nullopt: removed
        int result;
        const char* msg;
        std::optional<std::string> after;  // nullopt: as meanwhile
    } rows[] = {
        {three, 0, "", stored({alice(), bob, kCarol})},  // unchanged: the first look is reused
        {stored({alice(), kBob, carol}), 0, "", stored({alice(), bob, carol})},
        {stored({alice(), kCarol}), -1, "user not found", std::nullopt},  // bob was deleted
        {std::nullopt, -1, "user not found", std::nullopt},
        {"[{\"oops\": ", -1, "", std::nullopt},  // never replaced
        {"{\"usr_bob\": {}}", -1, "", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.meanwhile.value_or("(removed)").substr(0, 40));
        write_file(data.file("users.json"), three);
        g_next_byte = 0;
        g_on_draw = [&] {
            std::remove(data.file("users.json").c_str());
            if (row.meanwhile) write_file(data.file("users.json"), *row.meanwhile);
        };
        char msg[64] = "junk";
        EXPECT_EQ(id_user_set_password("usr_bob", "password1", msg, sizeof msg), row.result);
        g_on_draw = nullptr;
        EXPECT_STREQ(msg, row.msg);
        EXPECT_EQ(users(), row.after ? *row.after : row.meanwhile.value_or(""));
    }
}

// Deletion: the first record of that id goes, then that user's sessions and active refresh tokens
// (codes, exchanged tokens and every other user's records stay). A -1 that removed nobody touched
// nothing; a -1 after the removal says that tokens.json could not be cleaned.
TEST_F(UserChange, DeletionRemovesTheUserThenTheirSessionsAndRefreshTokens) {
    const std::string three = stored({alice(), kBob, kCarol}), twice = stored({alice(), kBob, kBob});
    const std::string without_bob = stored({alice(), kCarol}), shaped = "{\"sessions\":{},\"auth_codes\":{},\"refresh\":[]}";
    const struct {
        const char* id;
        std::optional<std::string> users_start;  // nullopt: none
        std::optional<std::string> tokens_start;
        std::function<void()> fault;
        int result;
        std::optional<std::string> users_after;   // nullopt: byte for byte as before
        std::optional<std::string> tokens_after;  // compact; nullopt: byte for byte as before
    } rows[] = {
        {"usr_bob", three, kTokens, {}, 0, without_bob, kBobGone},
        {"usr_bob", twice, kTokens, {}, 0, stored({alice(), kBob}), kBobGone},  // the first of two
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
        {"usr_bob", three, kTokens, rename_fails_after(1), -1, without_bob, kBobTokensRevoked},
        {"usr_bob", three, kTokens, rename_fails_after(2), -1, without_bob, kBobSessionsEnded},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.id ? row.id : "(null)") + " / " + row.users_start.value_or("(none)").substr(0, 30));
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
    const std::string start = crafted({{"u0", "owner"}, {"u1", "user"}, {"u2", "user"}, {"u3", "user"},
                                       {"u4", "admin"}, {"u5", "user"}});
    write_file(data.file("users.json"), start);
    std::string sessions;
    for (int i = 0; i < 6; ++i) sessions += (i ? ",\"s" : "\"s") + std::to_string(i) + "\":{\"user_id\":\"usr_" + std::to_string(i) + "\"}";
    write_file(data.file("tokens.json"), "{\"sessions\":{" + sessions + "},\"refresh\":[{\"token\":\"rt\",\"user_id\":\"usr_4\"}]}");
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
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(id_verify_password(("new password " + std::to_string(i)).c_str(), users[i]["pass_hash"].GetString())) << i;
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
    const std::string sessions_only = alone(id_session_delete_by_user), refresh_only = alone(id_refresh_token_revoke_by_user);
    SweepCase c(std::move(name), {"users.json", "tokens.json"}, setup, [id] { return id_user_delete(id); });
    return c.changed_when([](int, int) { return true; }).judged_by([=](const SweepRun& r) {
        auto file = [](const DirState& s, const char* name) {
            const auto it = s.find(name);
            return it == s.end() ? std::string("<none>") : it->second;
        };
        const std::string users = file(r.after, "users.json"), tokens = file(r.after, "tokens.json");
        const bool users_new = users == file(r.clean, "users.json"), users_old = users == file(r.before, "users.json");
        const bool tokens_new = tokens == file(r.clean, "tokens.json"), tokens_old = tokens == file(r.before, "tokens.json");
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
