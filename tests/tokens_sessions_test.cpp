// tokens.json as a document (its shape, what a change keeps, an unparseable file set aside), the
// sessions in it, and the "id_session" cookie read from the request and written as a header line.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "identity_common.h"
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
        return id;
    }
    std::string record(const std::string& id) {
        tarn::Document d = doc();
        return compact(tarn::json::member(d["sessions"], id));
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
    struct Case {
        std::string before;
        std::string members_after;  // root members after one session is created
        std::string x;              // the member "x" afterwards
        bool set_aside;
    };
    const std::string shape = "sessions,auth_codes,refresh";
    const std::vector<Case> cases = {
        {"[1, 2]", shape, "<none>", false},
        {"\"text\"", shape, "<none>", false},
        {"{\"x\": [1, {\"y\": null}], \"refresh\": []}", "x,refresh,sessions,auth_codes", "[1,{\"y\":null}]", false},
        {"{\"sessions\": {}", shape, "<none>", true},
        {std::string(200, '['), shape, "<none>", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        std::filesystem::remove(data.file(aside));
        write(c.before);
        const std::string id = create("u", nullptr);
        EXPECT_EQ(root_members(), c.members_after);
        EXPECT_NE(record(id), "<none>");
        EXPECT_EQ(compact(tarn::json::member(doc(), "x")), c.x);
        EXPECT_EQ(tarn::test::read_file(data.file(aside)), c.set_aside ? c.before : "");
    }
    EXPECT_EQ(tarn::test::files_in(data.dir()), (std::vector<std::string>{"tokens.json", aside, "tokens.json.lock"}));
}

TEST_F(Sessions, RecordsAndTheirIdentifiers) {
    struct Case {
        const char* user_id;
        const char* username;
        std::string record;
    };
    const std::string times = "\"created_at\":1750000000,\"expires_at\":1750086400}";
    const std::vector<Case> cases = {
        {"usr_1", "bob", "{\"user_id\":\"usr_1\",\"username\":\"bob\"," + times},
        {"usr_1", nullptr, "{\"user_id\":\"usr_1\"," + times},
        {"", nullptr, "{\"user_id\":\"\"," + times},
        {nullptr, nullptr, "{" + times},
    };
    for (const Case& c : cases) {
        const std::string id = create(c.user_id, c.username);
        EXPECT_EQ(id.size(), 37u);
        EXPECT_EQ(id.rfind("sess_", 0), 0u);
        EXPECT_TRUE(tarn::test::base64url_text(id.substr(5))) << id;
        EXPECT_EQ(record(id), c.record);
    }
}

TEST_F(Sessions, VerificationRules) {
    write("{\"sessions\": {\"s-now\": {\"user_id\": \"u1\", \"username\": \"al\", \"expires_at\": 1750000000},"
          " \"s-past\": {\"user_id\": \"u1\", \"expires_at\": 1749999999},"
          " \"s-none\": {\"user_id\": \"u1\"}, \"s-real\": {\"user_id\": \"u1\", \"expires_at\": 1.8e9},"
          " \"s-odd\": {\"user_id\": 7, \"expires_at\": 1750000000}, \"s-text\": \"u1\","
          " \"s-dup\": {\"expires_at\": 1}, \"s-dup\": {\"user_id\": \"u2\", \"expires_at\": 1750000000}}}");
    struct Case {
        const char* id;
        int valid;
        std::string user_id, username;  // the buffers after the call (both start as "keep")
    };
    const std::vector<Case> cases = {
        {"s-now", 1, "u1", "al"},  {"s-now ", 0, "keep", "keep"}, {"s-no", 0, "keep", "keep"},
        {"s-past", 0, "keep", "keep"}, {"s-none", 0, "keep", "keep"}, {"s-real", 0, "keep", "keep"},
        {"s-odd", 1, "", "keep"},  {"s-text", 0, "keep", "keep"}, {"s-dup", 0, "keep", "keep"},
        {"", 0, "keep", "keep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        char user_id[8] = "keep", username[8] = "keep";
        EXPECT_EQ(id_session_verify(c.id, user_id, sizeof user_id, username, sizeof username), c.valid);
        EXPECT_EQ(user_id, c.user_id);
        EXPECT_EQ(username, c.username);
    }
    at(kNow + 1);
    EXPECT_EQ(id_session_verify("s-now", nullptr, 0, nullptr, 0), 0) << "one second after its expiry";
    write("not json");
    EXPECT_EQ(id_session_verify("s-now", nullptr, 0, nullptr, 0), 0);
}

TEST_F(Sessions, RoleIsTheUsersRoleNow) {
    tarn::test::write_file(data.file("users.json"),
                           "[{\"id\": \"usr_a\", \"role\": \"AdMiN\"}, {\"id\": \"usr_o\", \"role\": \"owner\"},"
                           " {\"id\": \"usr_x\", \"role\": \"superuser\"}]");
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"usr_a", "admin"}, {"usr_o", "owner"}, {"usr_x", "user"}, {"usr_gone", "user"}, {nullptr, "user"}};
    for (const auto& [user_id, role] : cases) {
        const std::string id = create(user_id, "name");
        char uid[16] = "keep", name[16] = "keep", got[16] = "keep";
        EXPECT_EQ(id_session_verify_role(id.c_str(), uid, sizeof uid, name, sizeof name, got, sizeof got), 1);
        EXPECT_EQ(uid, std::string(user_id ? user_id : ""));
        EXPECT_EQ(got, role);
    }
    char got[16] = "keep";
    EXPECT_EQ(id_session_verify_role("sess_unknown", nullptr, 0, nullptr, 0, got, sizeof got), 0);
    EXPECT_STREQ(got, "keep");
}

TEST_F(Sessions, DeletionByIdentifierAndByUser) {
    const std::string a1 = create("u1", "a"), a2 = create("u1", "a"), b = create("u2", "b"), anon = create(nullptr, nullptr);
    EXPECT_EQ(id_session_delete("sess_unknown"), 0);
    EXPECT_EQ(id_session_delete(""), -1);
    EXPECT_EQ(id_session_delete_by_user(""), -1);
    EXPECT_EQ(id_session_delete(a2.c_str()), 0);
    EXPECT_EQ(record(a2), "<none>");
    EXPECT_EQ(id_session_delete_by_user("u1"), 0);
    EXPECT_EQ(id_session_delete_by_user("nobody"), 0);
    tarn::Document d = doc();
    std::string left;
    for (auto& m : d["sessions"].GetObject()) left += std::string(m.name.GetString()) + " ";
    EXPECT_EQ(left, b + " " + anon + " ");

    // An unknown identifier still rewrites the file, in the saved form.
    write("{\"sessions\":{},\"auth_codes\":{},\"refresh\":[]}");
    EXPECT_EQ(id_session_delete("sess_unknown"), 0);
    EXPECT_EQ(text(), "{\n    \"sessions\": {},\n    \"auth_codes\": {},\n    \"refresh\": []\n}");
}

TEST_F(Sessions, NothingIsStoredWhenItCouldNotBeUsed) {
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
    char id[64] = "untouched";
    EXPECT_EQ(id_session_create("u", "n", id, sizeof id), -1);
    EXPECT_STREQ(id, "untouched");
    EXPECT_FALSE(tarn::test::file_exists(path()));
    tarn::crypto::testing::set_getrandom(nullptr);

    const std::string before = "{\"sessions\": null, \"refresh\": []}";
    write(before);
    EXPECT_EQ(id_session_create("u", "n", id, sizeof id), -1);
    EXPECT_STREQ(id, "untouched");
    EXPECT_EQ(text(), before);
}

TEST(SessionCookie, ReadingTheCookieHeader) {
    struct Case {
        std::optional<std::string> header;
        std::size_t cap;
        std::string copied;  // the buffer afterwards; it starts as "untouched"
        int result;
    };
    const std::vector<Case> cases = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header.value_or("(unset)") + " cap " + std::to_string(c.cap));
        ScopedEnv env("HTTP_COOKIE", c.header);
        char out[64] = "untouched";
        EXPECT_EQ(id_get_cookie_session(out, c.cap), c.result);
        EXPECT_EQ(std::string(out), c.copied);
    }
}

TEST(SessionCookie, HeaderLines) {
    tarn::test::DataDirFixture data;
    const std::string base = "Set-Cookie: id_session=";
    const std::string attrs = "; Path=/; HttpOnly; SameSite=Lax; Max-Age=";
    const std::string v520(520, 'v'), v521(521, 'v'), v600(600, 'v');
    struct Case {
        std::optional<std::string> value;  // nullopt: id_clear_session_cookie
        int max_age;
        std::optional<std::string> forwarded, base_url;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"sess_x", 3600, std::nullopt, std::nullopt, base + "sess_x" + attrs + "3600\r\n"},
        {"sess_x", 3600, "HTTPS", std::nullopt, base + "sess_x" + attrs + "3600; Secure\r\n"},
        {"sess_x", 60, std::nullopt, "https://id.example", base + "sess_x" + attrs + "60; Secure\r\n"},
        {"sess_x", 60, std::nullopt, "HTTPS://id.example", base + "sess_x" + attrs + "60\r\n"},
        {"sess_x", 60, std::nullopt, "http://id.example", base + "sess_x" + attrs + "60\r\n"},
        {"sess_x", 60, "http", "https://id.example", base + "sess_x" + attrs + "60; Secure\r\n"},
        {std::nullopt, 0, "https", std::nullopt, base + attrs + "0; Secure\r\n"},
        {std::nullopt, 0, std::nullopt, std::nullopt, base + attrs + "0\r\n"},
        {v520, 1000, "https", std::nullopt, base + v520 + attrs + "1000; Secure\r\n"},  // 589 bytes
        {v521, 1000, "https", std::nullopt, base + v521 + attrs + "1000\r\n"},          // 590 bytes
        {v600, 1, "https", std::nullopt, (base + v600).substr(0, 599) + "\r\n"},
        {"a\r\nSet-Cookie: admin=1", 60, std::nullopt, std::nullopt, ""},
        {"a; Domain=evil.example", 60, std::nullopt, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("(clear)").substr(0, 40));
        ScopedEnv forwarded("HTTP_X_FORWARDED_PROTO", c.forwarded);
        ScopedEnv base_url("IDENTITY_BASE_URL", c.base_url);
        const tarn::test::Captured out = tarn::test::capture_stdout([&] {
            if (c.value) id_set_session_cookie(c.value->c_str(), c.max_age);
            else id_clear_session_cookie();
        });
        EXPECT_EQ(out.out, c.written);
    }
}

}  // namespace
