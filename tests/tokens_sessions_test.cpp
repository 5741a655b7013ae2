// tokens.json as a document (its shape, what a change keeps, an unparseable file set aside, what a
// store grown past 1 MiB sheds and what the sweep removes), the sessions in it, and the
// "id_session" cookie read from the request and written as a header line.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "id_accounts.h"
#include "id_tokens.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/token_store.hpp"

namespace {

using tarn::test::ScopedEnv;

class Sessions : public tarn::test::TokenStoreTest {
protected:
    std::string create(const char* user_id, const char* username) {
        char id[64] = "untouched";
        EXPECT_EQ(id_session_create(user_id, username, id, sizeof id), 0);
        EXPECT_EQ(std::string(id).size(), 37u);
        EXPECT_EQ(std::string(id).rfind("sess_", 0), 0u);
        EXPECT_TRUE(tarn::test::base64url_text(id + 5)) << id;
        return id;
    }
};

TEST_F(Sessions, FirstChangeWritesTheDocumentInItsShape) {
    const std::string id = create("usr_a", "alice");
    EXPECT_EQ(text(), "{\n    \"sessions\": {\n        \"" + id +
                          "\": {\n            \"user_id\": \"usr_a\",\n            \"username\": \"alice\",\n"
                          "            \"created_at\": 1750000000,\n            \"expires_at\": 1750086400\n"
                          "        }\n    },\n    \"auth_codes\": {},\n    \"refresh\": []\n}");
    EXPECT_EQ(tarn::test::file_mode(path()), 0600u);
}

TEST_F(Sessions, WhatAChangeKeepsReplacesAndSetsAside) {
    const std::string aside = "tokens.json.corrupt-" + std::to_string(kNow);
    const std::string s = "\"sessions\":{\"A\":{\"user_id\":\"\",\"created_at\":1750000000,\"expires_at\":1750086400}}";
    const std::string fresh = "{" + s + ",\"auth_codes\":{},\"refresh\":[]}";
    struct Case {
        std::string before, after;  // after: the stored session shown as "A"
        bool set_aside;
    };
    const std::vector<Case> cases = {
        {"[1, 2]", fresh, false},
        {"\"text\"", fresh, false},
        {"{\"x\": [1, {\"y\": null}], \"refresh\": [], \"sessions\": {}}",
         "{\"x\":[1,{\"y\":null}],\"refresh\":[]," + s + ",\"auth_codes\":{}}", false},
        {"{\"sessions\": {}", fresh, true},
        {std::string(200, '['), fresh, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        std::filesystem::remove(data.file(aside));
        write(c.before);
        EXPECT_EQ(shown({create("", nullptr)}), c.after);
        EXPECT_EQ(tarn::test::read_file(data.file(aside)), c.set_aside ? c.before : "");
    }
    EXPECT_EQ(tarn::test::files_in(data.dir()), (std::vector<std::string>{"tokens.json", aside, "tokens.json.lock"}));
}

TEST_F(Sessions, VerificationRules) {
    write("{\"sessions\": {\"s-now\": {\"user_id\": \"u1\", \"username\": \"al\", \"expires_at\": 1750000000},"
          " \"s-past\": {\"user_id\": \"u1\", \"expires_at\": 1749999999},"
          " \"s-none\": {\"user_id\": \"u1\"}, \"s-real\": {\"user_id\": \"u1\", \"expires_at\": 1.8e9},"
          " \"s-odd\": {\"user_id\": 7, \"expires_at\": 1750000000}, \"s-text\": \"u1\","
          " \"s-dup\": {\"expires_at\": 1}, \"s-dup\": {\"user_id\": \"u2\", \"expires_at\": 1750000000}}}");
    // The session, the result, and the user and username buffers afterwards (both start as "keep").
    const std::vector<std::tuple<const char*, int, std::string>> cases = {
        {"s-now", 1, "u1/al"},      {"s-now ", 0, "keep/keep"}, {"s-no", 0, "keep/keep"},
        {"s-past", 0, "keep/keep"}, {"s-none", 0, "keep/keep"}, {"s-real", 0, "keep/keep"},
        {"s-odd", 1, "/keep"},      {"s-text", 0, "keep/keep"}, {"s-dup", 0, "keep/keep"},
        {"", 0, "keep/keep"},
    };
    for (const auto& [id, valid, buffers] : cases) {
        char user_id[8] = "keep", username[8] = "keep";
        EXPECT_EQ(id_session_verify(id, user_id, sizeof user_id, username, sizeof username), valid) << id;
        EXPECT_EQ(std::string(user_id) + "/" + username, buffers) << id;
    }
    at(kNow + 1);
    EXPECT_EQ(id_session_verify("s-now", nullptr, 0, nullptr, 0), 0) << "one second after its expiry";
}

// The sign-in time comes with the same verdict and the same buffers as id_session_verify; a
// session stored without an integer "created_at" gives 0, and a refused one writes nothing.
TEST_F(Sessions, VerificationWithTheSignInTime) {
    const std::string made = create("u1", "al");
    write("{\"sessions\": {\"" + made + "\": " + compact(&doc()["sessions"][made.c_str()]) + ","
          " \"s-none\": {\"user_id\": \"u1\", \"expires_at\": 1750000000},"
          " \"s-real\": {\"created_at\": 1.5e9, \"expires_at\": 1750000000},"
          " \"s-text\": {\"created_at\": \"1700000000\", \"expires_at\": 1750000000},"
          " \"s-neg\": {\"created_at\": -5, \"expires_at\": 1750000000},"
          " \"s-past\": {\"created_at\": 1700000000, \"expires_at\": 1749999999}}}");
    // The session, the result, the buffers afterwards (starting as "keep") and the time (starting
    // as 77).
    const std::vector<std::tuple<std::string, int, std::string, std::int64_t>> cases = {
        {made, 1, "u1/al", kNow},     {"s-none", 1, "u1/keep", 0}, {"s-real", 1, "keep/keep", 0},
        {"s-text", 1, "keep/keep", 0}, {"s-neg", 1, "keep/keep", -5}, {"s-past", 0, "keep/keep", 77},
        {"s-unknown", 0, "keep/keep", 77}, {"", 0, "keep/keep", 77},
    };
    for (const auto& [id, valid, buffers, created] : cases) {
        SCOPED_TRACE(id);
        char user_id[8] = "keep", username[8] = "keep";
        std::int64_t at = 77;
        EXPECT_EQ(id_session_verify_v(id.c_str(), user_id, sizeof user_id, username, sizeof username, &at), valid);
        EXPECT_EQ(std::string(user_id) + "/" + username, buffers);
        EXPECT_EQ(at, created);
        EXPECT_EQ(id_session_verify_v(id.c_str(), nullptr, 0, nullptr, 0, nullptr), valid) << "outputs optional";
    }
}

TEST_F(Sessions, RoleIsTheUsersRoleNow) {
    tarn::test::write_file(data.file("users.json"),
                           "[{\"id\": \"usr_a\", \"role\": \"AdMiN\"}, {\"id\": \"usr_o\", \"role\": \"owner\"},"
                           " {\"id\": \"usr_x\", \"role\": \"superuser\"}]");
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"usr_a", "usr_a/name/admin"}, {"usr_o", "usr_o/name/owner"}, {"usr_x", "usr_x/name/user"},
        {"usr_gone", "usr_gone/name/user"}, {nullptr, "/name/user"}};
    for (const auto& [user_id, seen] : cases) {
        const std::string id = create(user_id, "name");
        char uid[16] = "keep", name[16] = "keep", role[16] = "keep";
        EXPECT_EQ(id_session_verify_role(id.c_str(), uid, sizeof uid, name, sizeof name, role, sizeof role), 1);
        EXPECT_EQ(std::string(uid) + "/" + name + "/" + role, seen);
    }
    char role[16] = "keep";
    EXPECT_EQ(id_session_verify_role("sess_unknown", nullptr, 0, nullptr, 0, role, sizeof role), 0);
    EXPECT_STREQ(role, "keep");
}

TEST_F(Sessions, DeletionByIdentifierAndByUser) {
    const std::string a1 = create("u1", "a"), a2 = create("u1", "a"), b = create("u2", "b"), anon = create(nullptr, nullptr);
    EXPECT_EQ(id_session_delete("sess_unknown"), 0);
    EXPECT_EQ(id_session_delete(""), -1);
    EXPECT_EQ(id_session_delete_by_user(""), -1);
    EXPECT_EQ(id_session_delete(a2.c_str()), 0);
    EXPECT_EQ(id_session_delete_by_user("u1"), 0);
    EXPECT_EQ(id_session_delete_by_user("nobody"), 0);
    const std::string t = "\"created_at\":1750000000,\"expires_at\":1750086400}";
    EXPECT_EQ(shown({b, anon}), "{\"sessions\":{\"A\":{\"user_id\":\"u2\",\"username\":\"b\"," + t + ",\"B\":{" + t +
                                    "},\"auth_codes\":{},\"refresh\":[]}");

    // An unknown identifier still rewrites the file, in the saved form.
    write("{\"sessions\":{},\"auth_codes\":{},\"refresh\":[]}");
    EXPECT_EQ(id_session_delete("sess_unknown"), 0);
    EXPECT_EQ(text(), "{\n    \"sessions\": {},\n    \"auth_codes\": {},\n    \"refresh\": []\n}");
}

TEST_F(Sessions, NothingIsStoredWhenItCouldNotBeUsed) {
    char id[64] = "untouched";
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
    EXPECT_EQ(id_session_create("u", "n", id, sizeof id), -1);
    EXPECT_FALSE(tarn::test::file_exists(path()));
    tarn::crypto::testing::set_getrandom(nullptr);
    write("{\"sessions\": null, \"refresh\": []}");
    EXPECT_EQ(id_session_create("u", "n", id, sizeof id), -1);
    EXPECT_STREQ(id, "untouched");
    EXPECT_EQ(text(), "{\"sessions\": null, \"refresh\": []}");
}

// Once tokens.json has grown past 1 MiB, a change also drops what can no longer be used: sessions,
// codes, refresh tokens and deletion marks past their expiry, and the exchanged tokens of families
// with no active token left. Below that size only the exchanged tokens of ended families go.
TEST_F(Sessions, AStorePastOneMebibyteShedsWhatCanNoLongerBeUsed) {
    const std::string past = std::to_string(kNow - 1), now = std::to_string(kNow);
    auto store = [&](int expired_sessions) {
        std::string sessions;
        for (int i = 0; i < expired_sessions; ++i)
            sessions += "\"sess_e" + std::to_string(i) + "\":{\"user_id\":\"u1\",\"created_at\":1,\"expires_at\":" + past + "},";
        return "{\"sessions\":{" + sessions + "\"s_live\":{\"user_id\":\"u1\",\"expires_at\":" + now +
               "},\"s_none\":{\"user_id\":\"u1\"},\"s_past\":{\"expires_at\":" + past + "}},"
               "\"auth_codes\":{\"c_past\":{\"expires_at\":" + past + "},\"c_live\":{\"expires_at\":" + now + "}},"
               "\"other\":[1],\"refresh\":[{\"token\":\"r_past\",\"family\":\"f1\",\"expires_at\":" + past + "},"
               "{\"token\":\"r_live\",\"family\":\"f2\",\"expires_at\":" + now + "}],"
               "\"rotated\":[{\"token\":\"x1\",\"family\":\"f1\"},{\"token\":\"x2\",\"family\":\"f2\"},"
               "{\"token\":\"x3\",\"family\":\"f3\"},{\"token\":\"f2\"}],"
               "\"deleted_users\":{\"u_past\":{\"expires_at\":" + past + "},\"u_live\":{\"expires_at\":" + now + "}}}";
    };
    auto plant = [&](int expired_sessions) {  // pretty, as the store writes it
        tarn::Document d;
        std::string pretty;
        ASSERT_TRUE(tarn::parse_json(store(expired_sessions), d) && tarn::write_json(d, true, pretty));
        write(pretty);
    };
    const std::string kept_rotated = "\"rotated\":[{\"token\":\"x2\",\"family\":\"f2\"},{\"token\":\"f2\"}]";

    plant(12000);
    ASSERT_GT(text().size(), 1048576u);
    const std::string id = create("u9", nullptr);
    EXPECT_EQ(shown({id}), "{\"sessions\":{\"s_live\":{\"user_id\":\"u1\",\"expires_at\":" + now + "},\"A\":{\"user_id\":"
                           "\"u9\",\"created_at\":" + now + ",\"expires_at\":1750086400}},\"auth_codes\":{\"c_live\":{"
                           "\"expires_at\":" + now + "}},\"other\":[1],\"refresh\":[{\"token\":\"r_live\",\"family\":\"f2\","
                           "\"expires_at\":" + now + "}]," + kept_rotated + ",\"deleted_users\":{\"u_live\":{\"expires_at\":" + now + "}}}");
    char next[64];
    EXPECT_EQ(id_refresh_token_rotate("r_past", nullptr, next, sizeof next, nullptr), -1) << "shed, so unknown";
    EXPECT_EQ(id_auth_code_consume("c_past", "c", nullptr, nullptr, nullptr), -1);

    plant(0);
    create("u9", nullptr);
    const tarn::Document d = doc();
    EXPECT_EQ(d["sessions"].MemberCount(), 4u) << "nothing expired is shed below 1 MiB";
    tarn::Document planted;
    ASSERT_TRUE(tarn::parse_json(store(0), planted));
    for (const char* section : {"auth_codes", "refresh", "deleted_users"})
        EXPECT_EQ(compact(&d[section]), compact(&planted[section])) << section;
    EXPECT_EQ(compact(&d["rotated"]), "[{\"token\":\"x1\",\"family\":\"f1\"},{\"token\":\"x2\",\"family\":\"f2\"},"
                                     "{\"token\":\"f2\"}]");

    // The sweep drops all of it at any size, and says how much of each; a second finds nothing and
    // writes nothing.
    auto swept = [] {
        id_tokens_swept n;
        std::memset(&n, 0x5A, sizeof n);
        const int r = id_tokens_sweep(&n);
        return std::to_string(r) + ": " + std::to_string(n.sessions) + " " + std::to_string(n.auth_codes) + " " +
               std::to_string(n.refresh_tokens) + " " + std::to_string(n.rotated) + " " + std::to_string(n.deleted_users);
    };
    plant(0);
    EXPECT_EQ(swept(), "0: 2 1 1 2 1");
    EXPECT_EQ(shown({}), "{\"sessions\":{\"s_live\":{\"user_id\":\"u1\",\"expires_at\":" + now + "}},\"auth_codes\":{"
                               "\"c_live\":{\"expires_at\":" + now + "}},\"other\":[1],\"refresh\":[{\"token\":\"r_live\","
                               "\"family\":\"f2\",\"expires_at\":" + now + "}]," + kept_rotated + ",\"deleted_users\":{"
                               "\"u_live\":{\"expires_at\":" + now + "}}}");
    const std::string clean = text();
    EXPECT_EQ(swept(), "0: 0 0 0 0 0");
    EXPECT_EQ(text(), clean);
    write("{\"sessions\": [1, 2], \"refresh\": {\"token\": 1}, \"x\": 1}");
    EXPECT_EQ(swept(), "0: 0 0 0 0 0") << "sections of the wrong type are left alone";
    write("{\"sessions\": ");
    EXPECT_EQ(swept(), "-1: 0 0 0 0 0");
    EXPECT_EQ(text(), "{\"sessions\": ") << "an unparseable store is left as it is";
    std::filesystem::remove(path());
    EXPECT_EQ(swept(), "0: 0 0 0 0 0");
    EXPECT_FALSE(tarn::test::file_exists(path()));
}

TEST(SessionCookie, ReadingTheCookieHeader) {
    // The header (nullopt: unset), the capacity, the buffer afterwards (it starts as "untouched").
    const std::vector<std::tuple<std::optional<std::string>, std::size_t, std::string, int>> cases = {
        {"a=1; id_session=abc; b=2", 64, "abc", 1},
        {";  id_session=abc", 64, "abc", 1},
        {"id_session=abc; id_session=xyz", 64, "abc", 1},
        {"id_session=", 64, "", 0},
        {"xid_session=abc", 64, "untouched", 0},
        {"ID_SESSION=abc", 64, "untouched", 0},
        {"id_session=abcdef", 3, "ab", 1},
        {std::nullopt, 64, "untouched", 0},
        {"", 64, "untouched", 0},
        {"a=1;id_session= a b ;c", 64, " a b ", 1},
        {"\tid_session=abc", 64, "untouched", 0},
        {"a=x id_session=abc", 64, "untouched", 0},
        {"a=1;;; ;id_session=v=w", 64, "v=w", 1},
        {"id_session=abc", 1, "", 0},
        {"id_session=abc", 0, "untouched", 0},
    };
    for (const auto& [header, cap, copied, result] : cases) {
        SCOPED_TRACE(header.value_or("(unset)") + " cap " + std::to_string(cap));
        ScopedEnv env("HTTP_COOKIE", header);
        char out[64] = "untouched";
        EXPECT_EQ(id_get_cookie_session(out, cap), result);
        EXPECT_EQ(std::string(out), copied);
    }
}

TEST(SessionCookie, HeaderLines) {
    tarn::test::DataDirFixture data;
    const std::string set = "Set-Cookie: id_session=", attrs = "; Path=/; HttpOnly; SameSite=Lax; Max-Age=";
    const std::string v520(520, 'v'), v521(521, 'v'), v600(600, 'v');
    const std::nullopt_t none = std::nullopt;
    // The value (nullopt: id_clear_session_cookie), max-age, forwarded protocol, base URL, the output.
    const std::vector<std::tuple<std::optional<std::string>, int, std::optional<std::string>,
                                 std::optional<std::string>, std::string>> cases = {
        {"sess_x", 3600, none, none, set + "sess_x" + attrs + "3600\r\n"},
        {"sess_x", 3600, "HTTPS", none, set + "sess_x" + attrs + "3600; Secure\r\n"},
        {"sess_x", 60, none, "https://id.example", set + "sess_x" + attrs + "60; Secure\r\n"},
        {"sess_x", 60, none, "HTTPS://id.example", set + "sess_x" + attrs + "60\r\n"},
        {"sess_x", 60, none, "http://id.example", set + "sess_x" + attrs + "60\r\n"},
        {"sess_x", 60, "http", "https://id.example", set + "sess_x" + attrs + "60; Secure\r\n"},
        {none, 0, "https", none, set + attrs + "0; Secure\r\n"},
        {none, 0, none, none, set + attrs + "0\r\n"},
        {v520, 1000, "https", none, set + v520 + attrs + "1000; Secure\r\n"},  // 589 bytes
        {v521, 1000, "https", none, set + v521 + attrs + "1000\r\n"},          // 590 bytes
        {v600, 1, "https", none, (set + v600).substr(0, 599) + "\r\n"},
        {"a\r\nSet-Cookie: admin=1", 60, none, none, ""},
        {"a; Domain=evil.example", 60, none, none, ""},
    };
    for (const auto& [value, max_age, forwarded, base_url, written] : cases) {
        SCOPED_TRACE(value.value_or("(clear)").substr(0, 40));
        ScopedEnv proto("HTTP_X_FORWARDED_PROTO", forwarded);
        ScopedEnv base("IDENTITY_BASE_URL", base_url);
        EXPECT_EQ(tarn::test::capture_stdout([&] {
                      if (value) id_set_session_cookie(value->c_str(), max_age);
                      else id_clear_session_cookie();
                  }).out,
                  written);
    }
}

}  // namespace
