// The user store on a real data directory: users.json as creation writes it, byte for byte; the
// checks of creation and their messages in order; roles; the lenient reading of the lookups, the
// role queries and the listing; stores that are never replaced; randomness that fails; names taken
// while a creation hashes; processes creating at once; and creation under the fault sweep.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_accounts.h"
#include "support/accounts.hpp"
#include "support/fault_sweep.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;  // DataDirFixture, files, and the account helpers of support/accounts.hpp
constexpr std::int64_t kNow = kAccountsNow;

struct Created {
    int result;
    std::string msg, id;
};
Created create(const char* username, const char* password, const char* email = nullptr, const char* role = nullptr) {
    char msg[128] = "junk", id[32] = "";
    const int r = id_user_create_role(username, password, email, role, id, sizeof id, msg, sizeof msg);
    return {r, msg, id};
}

using UserStore = AccountsTest;

TEST_F(UserStore, CreationWritesTheRecordsByteForByte) {
    const Created alice = create("alice", "wonderland", nullptr, "user");
    ASSERT_EQ(alice.result, 0) << alice.msg;
    EXPECT_EQ(alice.msg, "");
    const unsigned char id_bytes[8] = {16, 17, 18, 19, 20, 21, 22, 23};
    EXPECT_EQ(alice.id, "usr_" + tarn::test::b64url(id_bytes, 8));
    const Created bob = create("Bob", "builder!", "bob@example.org", "ADMIN");
    ASSERT_EQ(bob.result, 0) << bob.msg;
    EXPECT_EQ(users(), stored({{alice.id, "alice", "", expected_hash("wonderland", 0), "owner"},
                               {bob.id, "Bob", "bob@example.org", expected_hash("builder!", 24), "admin"}}));
    EXPECT_EQ(tarn::test::file_mode(data.file("users.json")), 0600u);
    EXPECT_EQ(tarn::test::files_in(data.dir()), (std::vector<std::string>{"users.json", "users.json.lock"}));

    // A lookup hands the record back as stored.
    id_user u;
    ASSERT_EQ(id_user_find_by_username_ci("BOB", &u), 1);
    EXPECT_EQ(std::string(u.id) + "|" + u.username + "|" + u.email + "|" + u.pass_hash + "|" + u.role + "|" +
                  std::to_string(u.created) + "|" + std::to_string(u.last_login),
              bob.id + "|Bob|bob@example.org|" + expected_hash("builder!", 24) + "|admin|" + std::to_string(kNow) + "|" +
                  std::to_string(kNow));
}

// Every check, in the order it runs: a row breaks one rule, often a later one too, and must get
// the message of the first. Nothing is stored on any failure. (The address rule's own cases are
// the accounts_email_check fuzz corpus.)
TEST_F(UserStore, ChecksRunInOrderAndStoreNothingOnFailure) {
    ASSERT_EQ(create("Alice", "password1").result, 0);
    const std::string before = users();
    const std::string name64(64, 'n'), name65 = name64 + "x", pass257(257, 'p');
    const std::string email254 = std::string(242, 'e') + "@example.com", email255 = "e" + email254;
    const struct {
        const char *username, *password, *email;
        int result;
        const char* msg;
    } rows[] = {
        {nullptr, "password1", nullptr, -1, "missing username or password"},
        {"", "short", "bad", -1, "missing username or password"},
        {"carol", nullptr, nullptr, -1, "missing username or password"},
        {"carol", "", nullptr, -1, "missing username or password"},
        {name65.c_str(), "short", "bad", -3, "username too long (max 64)"},
        {"carol", "short", email255.c_str(), -3, "email too long (max 254)"},  // before the address rule
        {"carol", "short", "carol @example.com", -3, "email must not contain whitespace"},
        {"carol", "short", "carol@localhost", -3, "email must look like name@example.com"},
        {"carol", "short", "c@x.y", -3, "password too short (min 8)"},
        {"carol", pass257.c_str(), nullptr, -3, "password too long (max 256)"},
        {"carolinea", "carolinea", nullptr, -3, "password must differ from username"},
        {"ALICE", "password1", "al..ice@example.com", -2, "user already exists"},
        {"caf\xc3", "password1", nullptr, -1, ""},  // not UTF-8: it could never be saved
        {"carol", "password1", "carol@\xff.example.com", -1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.username ? row.username : "(null)") + " / " + (row.email ? row.email : "(null)"));
        const Created c = create(row.username, row.password, row.email);
        EXPECT_EQ(c.result, row.result);
        EXPECT_EQ(c.msg, row.msg);
        EXPECT_EQ(c.id, "");
        EXPECT_EQ(users(), before);
    }
    // Limits are inclusive; the message is cut to a small buffer; a NULL buffer is ignored.
    EXPECT_EQ(create(name64.c_str(), "password1", email254.c_str()).result, 0);
    char small[5] = "xxxx";
    EXPECT_EQ(id_user_create_v("alice", "password1", nullptr, nullptr, 0, small, sizeof small), -2);
    EXPECT_STREQ(small, "user");
    EXPECT_EQ(id_user_create("ALICE", "password1", nullptr, nullptr, 0), -2);
    EXPECT_EQ(id_user_create("dave", "password1", "", nullptr, 0), 0);
}

TEST_F(UserStore, FirstUserOwnsTheStoreAndLaterRolesAreNormalised) {
    const struct {
        const char* start;  // users.json before the first creation (nullptr: none)
        std::vector<std::pair<const char*, const char*>> requested_and_stored;
    } rows[] = {
        {nullptr, {{"user", "owner"}, {nullptr, "user"}, {"ADMIN", "admin"}, {"superuser", "user"}, {"Owner", "owner"}}},
        {"[]", {{"admin", "owner"}, {"", "user"}}},
        {"[1, \"x\", null, []]", {{"user", "owner"}}},  // elements that are not objects are no users
        {"[{}]", {{nullptr, "user"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.start ? row.start : "(no users.json)");
        std::remove(data.file("users.json").c_str());
        if (row.start) write_file(data.file("users.json"), row.start);
        int n = 0;
        for (const auto& [requested, role] : row.requested_and_stored) {
            const std::string name = "user" + std::to_string(n++);
            const Created c = create(name.c_str(), "password1", nullptr, requested);
            ASSERT_EQ(c.result, 0);
            id_user u;
            ASSERT_EQ(id_user_find_by_id(c.id.c_str(), &u), 1);
            EXPECT_STREQ(u.role, role) << name;
        }
    }
}

// Hand-written users.json read by the lenient rules: objects only, the first member of a name,
// texts that are not strings empty, times that are not integers 0, roles normalised. (Texts with
// a NUL, overlong ones and times beyond 64 bits are in the accounts_users_document fuzz corpus.)
TEST_F(UserStore, LookupsRoleQueriesAndListingReadLeniently) {
    write_file(data.file("users.json"),
               "[1, \"usr_x\", null, {\"id\": \"usr_a\", \"id\": \"usr_dup\", \"username\": \"Alice\", \"email\": 5,"
               " \"pass_hash\": \"h\", \"role\": \"OWNER\", \"created\": 1.5, \"last_login\": -3},"
               " {\"id\": \"usr_b\", \"username\": \"bob\", \"role\": \"Admin\", \"created\": 9},"
               " {\"id\": \"usr_c\", \"username\": \"alice\", \"role\": [\"admin\"]},"
               " {\"id\": \"usr_a\", \"username\": \"shadow\", \"email\": \"s@x.io\", \"role\": \"\"}]");
    const struct {
        int (*find)(const char*, id_user*);
        const char* key;
        const char* found;  // id|username|email|pass_hash|role|created|last_login, "" for a miss
    } rows[] = {
        {id_user_find_by_id, "usr_a", "usr_a|Alice||h|owner|0|-3"},  // the first of two
        {id_user_find_by_id, "usr_dup", ""},
        {id_user_find_by_id, "USR_A", ""},
        {id_user_find_by_username, "alice", "usr_c|alice|||user|0|0"},
        {id_user_find_by_username, "ALICE", ""},
        {id_user_find_by_username_ci, "ALICE", "usr_a|Alice||h|owner|0|-3"},
        {id_user_find_by_username_ci, "SHADOW", "usr_a|shadow|s@x.io||user|0|0"},
        {id_user_find_by_username_ci, "ALIC", ""},
        {id_user_find_by_username_ci, "", ""},
        {id_user_find_by_id, nullptr, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key ? row.key : "(null)");
        id_user u;
        std::memset(&u, 0x5A, sizeof u);
        EXPECT_EQ(row.find(row.key, &u), *row.found ? 1 : 0);
        EXPECT_EQ(row.find(row.key, nullptr), *row.found ? 1 : 0);
        if (!*row.found) {
            EXPECT_EQ(u.id[0], 0x5A) << "a miss must leave the record untouched";
            continue;
        }
        EXPECT_EQ(std::string(u.id) + "|" + u.username + "|" + u.email + "|" + u.pass_hash + "|" + u.role + "|" +
                      std::to_string(u.created) + "|" + std::to_string(u.last_login),
                  row.found);
    }
    EXPECT_EQ(id_user_admin_count(), 2);
    for (const char* id : {"usr_a", "usr_b", "usr_c", "usr_x", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(id_user_is_admin_by_id(id), id && (std::string(id) == "usr_a" || std::string(id) == "usr_b"));
        EXPECT_EQ(id_user_is_last_admin(id), 0);
    }
    EXPECT_EQ(take(id_user_list_json()),
              "[{\"id\":\"usr_a\",\"username\":\"Alice\",\"role\":\"owner\",\"created\":0,\"last_login\":-3},"
              "{\"id\":\"usr_b\",\"username\":\"bob\",\"role\":\"admin\",\"created\":9},"
              "{\"id\":\"usr_c\",\"username\":\"alice\",\"role\":\"user\"},"
              "{\"id\":\"usr_a\",\"username\":\"shadow\",\"email\":\"s@x.io\",\"role\":\"user\"}]");

    // The last administrator: the only owner, until an admin joins.
    write_file(data.file("users.json"), crafted({{"olga", "owner"}, {"uma", "user"}}));
    EXPECT_EQ(id_user_is_last_admin("usr_0") * 10 + id_user_is_last_admin("usr_1"), 10);
    write_file(data.file("users.json"), crafted({{"olga", "owner"}, {"uma", "user"}, {"adam", "admin"}}));
    EXPECT_EQ(id_user_is_last_admin("usr_0") * 10 + id_user_is_last_admin("usr_2"), 0);
}

// The lookups that tell "no such user" from "cannot tell": -1 for a users.json that exists but
// cannot be used (the written lookups read it as no users), and only a hit writes the record.
TEST_F(UserStore, LookupsTellAMissFromAStoreThatCannotBeRead) {
    const struct {
        const char* start;  // nullptr: no users.json; "/": a directory in its place
        const char* id;
        int lookup;
    } rows[] = {{"[{\"id\": \"usr_a\", \"username\": \"Alice\"}]", "usr_a", 1}, {"[]", "usr_a", 0},
                {nullptr, "usr_a", 0}, {"[]", "", 0}, {"[{\"id\": ", "usr_a", -1}, {"{}", "usr_a", -1},
                {"/", "usr_a", -1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.start ? row.start : "(none)");
        std::remove(data.file("users.json").c_str());
        rmdir(data.file("users.json").c_str());
        if (row.start && std::string(row.start) == "/") ASSERT_EQ(mkdir(data.file("users.json").c_str(), 0700), 0);
        else if (row.start) write_file(data.file("users.json"), row.start);
        id_user u;
        std::memset(&u, 0x5A, sizeof u);
        EXPECT_EQ(id_user_lookup_by_id(row.id, &u) * 10 + (u.id[0] != 0x5A), row.lookup * 10 + (row.lookup == 1));
        EXPECT_EQ(id_user_lookup_by_username_ci(*row.id ? "ALICE" : "", nullptr), row.lookup);
        EXPECT_EQ(id_user_find_by_id(row.id, nullptr), row.lookup > 0 ? 1 : 0);
    }
    rmdir(data.file("users.json").c_str());
}

// Nothing is stored by a failure after the checks: users.json that cannot be read as an array of
// users is never replaced (and reads as no users), and no record goes without its salt or its id.
TEST_F(UserStore, FailuresAfterTheChecksStoreNothing) {
    const std::string deep = std::string(129, '[') + std::string(129, ']');
    const struct {
        std::optional<std::string> start;  // users.json before (nullopt: none)
        int failing_draw;                   // 1: the salt, 2: the identifier
    } rows[] = {
        {"not json", 0}, {"{}", 0}, {"\"[]\"", 0}, {"[{\"id\": \"usr_a\"},]", 0}, {deep, 0}, {"", 0},
        {std::nullopt, 1}, {std::nullopt, 2}, {"[]", 1}, {"[]", 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.start.value_or("(none)").substr(0, 20) + ", draw " + std::to_string(row.failing_draw));
        std::remove(data.file("users.json").c_str());
        if (row.start) write_file(data.file("users.json"), *row.start);
        g_draws = 0;
        g_fail_draw = row.failing_draw;
        const Created c = create("erin", "password1");
        EXPECT_EQ(c.result, -1);
        EXPECT_EQ(c.msg, "");
        EXPECT_EQ(tarn::test::file_exists(data.file("users.json")), row.start.has_value());
        EXPECT_EQ(users(), row.start.value_or(""));
        for (const std::string& name : tarn::test::files_in(data.dir()))
            EXPECT_TRUE(name == "users.json" || name == "users.json.lock") << name;
        if (row.failing_draw == 0) {
            EXPECT_EQ(take(id_user_list_json()) + std::to_string(id_user_admin_count()), "[]0");
        }
    }
    std::remove(data.file("users.json").c_str());
    ASSERT_EQ(::mkdir(data.file("users.json").c_str(), 0700), 0);  // cannot be read at all
    EXPECT_EQ(create("erin", "password1").result, -1);
}

// What a concurrent creation does while this one hashes, staged through the randomness seam
// (the salt is drawn after the first look at the store and before the lock).
TEST_F(UserStore, TheLockedDocumentDecides) {
    const std::string olga = crafted({{"olga", "owner"}});
    const struct {
        std::string start;      // users.json at the first look ("": none)
        std::string meanwhile;  // users.json written while the password is hashed
        int result;
        int users_after;
    } rows[] = {
        {"", crafted({{"Carol", "owner"}}), -2, 1},  // the name was taken meanwhile
        {olga, crafted({{"olga", "owner"}, {"CAROL", "user"}}), -2, 2},
        {"", crafted({{"dave", "owner"}}), 0, 2},    // another name: both stay, carol is no owner
        {olga, crafted({{"olga", "owner"}, {"dave", "admin"}}), 0, 3},
        {olga, olga, 0, 2},                         // unchanged: the first look stands
        {olga, "[{\"oops\": ", -1, -1},              // the store broke meanwhile: left as it is
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.start + " then " + row.meanwhile);
        std::remove(data.file("users.json").c_str());
        if (!row.start.empty()) write_file(data.file("users.json"), row.start);
        g_on_draw = [&] { write_file(data.file("users.json"), row.meanwhile); };
        const Created c = create("carol", "password1");
        g_on_draw = nullptr;
        EXPECT_EQ(c.result, row.result);
        EXPECT_EQ(c.msg, row.result == -2 ? "user already exists" : "");
        if (row.users_after < 0 || row.result != 0) {
            EXPECT_EQ(users(), row.meanwhile);
            continue;
        }
        tarn::Document doc;
        ASSERT_TRUE(tarn::parse_json(users(), doc));
        ASSERT_EQ(doc.Size(), static_cast<unsigned>(row.users_after));
        EXPECT_STREQ(doc[doc.Size() - 1]["username"].GetString(), "carol");
        EXPECT_STREQ(doc[doc.Size() - 1]["role"].GetString(), "user");
    }
}

// The stored users as "name:role" in stored order.
std::vector<std::string> stored_users(const std::string& path) {
    tarn::Document doc;
    std::vector<std::string> out;
    if (tarn::parse_json(read_file(path), doc) && doc.IsArray())
        for (const auto& u : doc.GetArray()) out.push_back(std::string(u["username"].GetString()) + ":" + u["role"].GetString());
    return out;
}

TEST(UserStoreProcesses, ConcurrentCreationsKeepEveryNameOnce) {
    DataDirFixture data;
    const std::vector<int> distinct = tarn::test::run_together(8, [](int i) {
        return id_user_create(("user" + std::to_string(i)).c_str(), "password1", nullptr, nullptr, 0);
    });
    EXPECT_EQ(distinct, std::vector<int>(8, 0));
    std::vector<std::string> users = stored_users(data.file("users.json"));
    std::sort(users.begin(), users.end());
    ASSERT_EQ(users.size(), 8u);
    EXPECT_EQ(std::count_if(users.begin(), users.end(), [](const std::string& u) { return u.ends_with(":owner"); }), 1);
    for (std::size_t i = 0; i < users.size(); ++i) EXPECT_TRUE(users[i].starts_with("user" + std::to_string(i) + ":"));

    const std::vector<int> same = tarn::test::run_together(8, [](int i) {
        return id_user_create(i % 2 ? "Zed" : "zed", "password1", nullptr, nullptr, 0);
    });
    EXPECT_EQ(std::count(same.begin(), same.end(), 0), 1);
    EXPECT_EQ(std::count(same.begin(), same.end(), -2 & 0xFF), 7);
    EXPECT_EQ(stored_users(data.file("users.json")).size(), 9u);
}

TEST(UserStoreFaults, CreationUnderTheFaultSweep) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](const char* users) {
        return [&dir, users] {
            std::remove((dir + "/users.json").c_str());
            if (users) write_file(dir + "/users.json", users);
        };
    };
    const std::string two = crafted({{"olga", "owner"}, {"uma", "user"}});
    const auto create_user = [] { return id_user_create_role("nina", "password1", "n@x.io", "admin", nullptr, 0, nullptr, 0); };
    const std::vector<tarn::test::SweepCase> cases = {
        tarn::test::SweepCase("user created in an empty store", {"users.json"}, starting(nullptr), create_user),
        tarn::test::SweepCase("user created in a store with users", {"users.json"}, starting(two.c_str()), create_user),
        tarn::test::SweepCase("user not created over an unparseable store", {"users.json"}, starting("[{"), create_user),
    };
    for (const auto& c : cases) {
        const auto s = tarn::test::fault_sweep(dir, c);
        std::printf("%-50s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs, s.changed);
    }
}

}  // namespace
