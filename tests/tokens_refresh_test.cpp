// Refresh tokens: issue, the rotation chain, reuse detection ending a family, the cap of the
// exchanged list, revocation (single, by user, by family with its client binding), the lookup,
// and the listing's exact text with masked tokens.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "identity_common.h"
#include "support/reference.hpp"
#include "support/token_store.hpp"

namespace {

class Refresh : public tarn::test::TokenStoreTest {
protected:
    std::string issue(const char* user_id = "u1", const char* client = "c1") {
        char token[64] = "";
        EXPECT_EQ(id_refresh_token_create(user_id, "alice", client, "openid", token, sizeof token), 0);
        return token;
    }
    // Rotates and returns the successor, or the result code as text.
    std::string rotate(const std::string& token, const char* client = "c1") {
        char next[64] = "";
        const int r = id_refresh_token_rotate(token.c_str(), client, next, sizeof next, nullptr);
        return r == 0 ? std::string(next) : std::to_string(r);
    }
    // The active tokens, in stored order.
    std::vector<std::string> active() {
        std::vector<std::string> out;
        tarn::Document d = doc();
        for (auto& el : d["refresh"].GetArray()) out.push_back(el["token"].GetString());
        return out;
    }
    std::string last_rotated() {
        tarn::Document d = doc();
        return compact(&d["rotated"][d["rotated"].Size() - 1]);
    }
};

TEST_F(Refresh, IssuedRecords) {
    const std::string a = issue();
    EXPECT_EQ(a.size(), 46u);
    EXPECT_EQ(a.rfind("rt_", 0), 0u);
    EXPECT_TRUE(tarn::test::base64url_text(a.substr(3)));
    char b[64];
    ASSERT_EQ(id_refresh_token_create(nullptr, nullptr, nullptr, "", b, sizeof b), 0);
    tarn::Document d = doc();
    EXPECT_EQ(compact(&d["refresh"]),
              "[{\"token\":\"" + a + "\",\"user_id\":\"u1\",\"username\":\"alice\",\"client_id\":\"c1\",\"scope\":\"openid\","
              "\"family\":\"" + a + "\",\"expires_at\":1752419200},{\"token\":\"" + b + "\",\"username\":\"\",\"client_id\":"
              "\"\",\"scope\":\"openid profile\",\"family\":\"" + b + "\",\"expires_at\":1752419200}]");
}

TEST_F(Refresh, RotationChainAndReuseDetection) {
    const std::string a = issue();
    at(kNow + 100);
    id_refresh_token rec;
    char b[64] = "";
    ASSERT_EQ(id_refresh_token_rotate(a.c_str(), "c1", b, sizeof b, &rec), 0);
    EXPECT_EQ(active(), std::vector<std::string>{b});
    EXPECT_STREQ(rec.token, b);
    EXPECT_STREQ(rec.family, a.c_str());
    EXPECT_STREQ(rec.scope, "openid");
    EXPECT_EQ(rec.expires_at, kNow + 100 + 2419200);
    EXPECT_EQ(root_members(), "sessions,auth_codes,refresh,rotated");
    EXPECT_EQ(last_rotated(), "{\"token\":\"" + a + "\",\"family\":\"" + a + "\"}");
    const std::string c = rotate(b);
    EXPECT_EQ(last_rotated(), "{\"token\":\"" + std::string(b) + "\",\"family\":\"" + a + "\"}");
    EXPECT_EQ(rotate(a, "other client"), "-4") << "the exchanged first token ends the family";
    EXPECT_EQ(active(), std::vector<std::string>{});
    EXPECT_EQ(rotate(b), "-1");
    EXPECT_EQ(rotate(c), "-1");

    // A family named by its first token ends even when its rotated record is gone.
    const std::string d1 = issue(), d2 = rotate(d1), other = issue("u2");
    write("{\"refresh\": " + compact(&doc()["refresh"]) + "}");
    EXPECT_EQ(rotate(d1), "-4");
    EXPECT_EQ(active(), std::vector<std::string>{other});
}

TEST_F(Refresh, ExpiredAndForeignTokensAreRemoved) {
    struct Case {
        std::int64_t after;
        const char* client;
        std::string result;
    };
    const std::vector<Case> cases = {
        {2419200, "c1", "ok"}, {2419201, "c1", "-2"}, {0, "c2", "-3"}, {0, "", "ok"}, {0, nullptr, "ok"},
    };
    for (const Case& c : cases) {
        at(kNow);
        const std::string t = issue();
        at(kNow + c.after);
        const std::string r = rotate(t, c.client);
        EXPECT_EQ(r.size() == 46 ? "ok" : r, c.result);
        EXPECT_EQ(rotate(t), r.size() == 46 ? "-4" : "-1") << "an expired or foreign token is not remembered";
    }
    // A record stored without a client passes for any client.
    write("{\"refresh\": [{\"token\": \"t\", \"expires_at\": 1750000000}]}");
    EXPECT_EQ(rotate("t", "anyone").size(), 46u);
}

TEST_F(Refresh, TheExchangedListKeepsTheNewest1024) {
    std::string rotated;
    for (int i = 0; i < 1024; ++i) rotated += std::string(i ? "," : "") + "{\"token\":\"old" + std::to_string(i) + "\",\"family\":\"f\"}";
    write("{\"refresh\": [{\"token\": \"t\", \"family\": \"f\", \"expires_at\": 1750000000}], \"rotated\": [" + rotated + "]}");
    ASSERT_EQ(rotate("t").size(), 46u);
    tarn::Document d = doc();
    ASSERT_EQ(d["rotated"].Size(), 1024u);
    EXPECT_STREQ(d["rotated"][0]["token"].GetString(), "old1");
    EXPECT_EQ(last_rotated(), "{\"token\":\"t\",\"family\":\"f\"}");
}

TEST_F(Refresh, SuccessorsCarryTheirTextsWhole) {
    const std::string scope(300, 's');
    write("{\"refresh\": [{\"token\": \"t\", \"user_id\": 5, \"scope\": \"" + scope + "\", \"expires_at\": 1750000000}]}");
    id_refresh_token rec;
    const std::string next = rotate("t");
    ASSERT_EQ(next.size(), 46u);
    tarn::Document d = doc();
    EXPECT_EQ(compact(&d["refresh"][0]), "{\"token\":\"" + next + "\",\"user_id\":\"\",\"username\":\"\",\"client_id\":\"\","
                                         "\"scope\":\"" + scope + "\",\"family\":\"t\",\"expires_at\":1752419200}");
    ASSERT_EQ(id_refresh_token_find(next.c_str(), &rec), 1);
    EXPECT_EQ(std::string(rec.scope), scope.substr(0, 255));
}

TEST_F(Refresh, NothingChangesWhenNothingCanBeIssued) {
    const std::string t = issue(), before = text();
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
    char out[64] = "untouched";
    EXPECT_EQ(id_refresh_token_rotate(t.c_str(), "c1", out, sizeof out, nullptr), -1);
    EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", out, sizeof out), -1);
    EXPECT_EQ(text(), before);
    tarn::crypto::testing::set_getrandom(nullptr);

    write("{\"refresh\": {}}");
    EXPECT_EQ(id_refresh_token_create("u", "n", "c", "s", out, sizeof out), -1);
    EXPECT_EQ(id_refresh_token_rotate(t.c_str(), "c1", out, sizeof out, nullptr), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(text(), "{\"refresh\": {}}");
    id_lock lock;
    EXPECT_EQ(id_lock_acquire_wait(&lock, "tokens.json", 0), 0) << "the lock is free again";
    id_lock_release(&lock);
}

TEST_F(Refresh, Revocation) {
    // A family of three (a -> b -> c, c active), another user's token, and one for client c2.
    const std::string a = issue(), b = rotate(a), c = rotate(b), u2 = issue("u2"), other = issue("u1", "c2");
    const std::string start = text();
    struct Case {
        const char* what;
        std::function<int()> op;
        int result;
        std::vector<std::string> left;
    };
    const std::vector<Case> cases = {
        {"single", [&] { return id_refresh_token_revoke(c.c_str()); }, 0, {u2, other}},
        {"single, exchanged", [&] { return id_refresh_token_revoke(b.c_str()); }, -1, {c, u2, other}},
        {"by user", [&] { return id_refresh_token_revoke_by_user("u1"); }, 0, {u2}},
        {"by unknown user", [&] { return id_refresh_token_revoke_by_user("u9"); }, 0, {c, u2, other}},
        {"family, active token", [&] { return id_refresh_token_revoke_family(c.c_str(), nullptr); }, 1, {u2, other}},
        {"family, exchanged token", [&] { return id_refresh_token_revoke_family(b.c_str(), "c1"); }, 1, {u2, other}},
        {"family, first token", [&] { return id_refresh_token_revoke_family(a.c_str(), ""); }, 1, {u2, other}},
        {"family, other client", [&] { return id_refresh_token_revoke_family(c.c_str(), "c2"); }, 0, {c, u2, other}},
        {"family, unknown token", [&] { return id_refresh_token_revoke_family("rt_x", nullptr); }, 0, {c, u2, other}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        write(start);
        EXPECT_EQ(k.op(), k.result);
        EXPECT_EQ(active(), k.left);
    }
    EXPECT_EQ(id_refresh_token_revoke(""), -1);
    EXPECT_EQ(id_refresh_token_revoke_by_user(nullptr), -1);
    EXPECT_EQ(id_refresh_token_revoke_family(nullptr, nullptr), 0);
}

TEST_F(Refresh, Lookup) {
    write("{\"refresh\": [7, {\"token\": \"t\", \"user_id\": \"u\", \"client_id\": \"c\", \"expires_at\": 5}]}");
    id_refresh_token rec;
    std::memset(&rec, 0x5A, sizeof rec);
    ASSERT_EQ(id_refresh_token_find("t", &rec), 1);
    EXPECT_STREQ(rec.token, "t");
    EXPECT_STREQ(rec.user_id, "u");
    EXPECT_STREQ(rec.username, "");
    EXPECT_STREQ(rec.family, "t");
    EXPECT_EQ(rec.expires_at, 5) << "expired tokens are found too";
    EXPECT_EQ(id_refresh_token_find("t ", nullptr), 0);
    EXPECT_EQ(id_refresh_token_find(std::string(2000, 't').c_str(), nullptr), 0);
}

TEST_F(Refresh, ListingText) {
    using tarn::test::take;
    EXPECT_EQ(take(id_refresh_token_list_json()), "{\"sessions\":[],\"refresh\":[],\"rotated\":[]}");
    write("{\"sessions\": {\"s1\": {\"user_id\": \"u1\", \"username\": \"al\", \"created_at\": 1, \"expires_at\": 2.5},"
          " \"s2\": {\"created_at\": 3}, \"s3\": [], \"s4\": {\"user_id\": \"u2\"}},"
          " \"refresh\": [{\"token\": \"rt_abcdefghijklmnopqrstuvwxyz0123456789ABCDEFG\", \"user_id\": \"u1\","
          " \"username\": \"al\", \"client_id\": \"c\", \"scope\": \"openid\", \"family\": \"f\", \"expires_at\": 9},"
          " {\"token\": \"abcdefghijkl\", \"user_id\": \"u2\"}, {\"token\": \"abcdefghijklm\"},"
          " {\"token\": \"a\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9b\"}, 5],"
          " \"rotated\": [{\"token\": \"old\", \"family\": \"f\", \"user_id\": \"u1\"}, {}, \"x\"]}");
    const std::string rotated = "\"rotated\":[{\"token\":\"old\",\"family\":\"f\"},{}]}";
    EXPECT_EQ(take(id_refresh_token_list_json()),
              "{\"sessions\":[{\"session_id\":\"s1\",\"user_id\":\"u1\",\"username\":\"al\",\"created_at\":1,"
              "\"expires_at\":0},{\"session_id\":\"s2\",\"created_at\":3},{\"session_id\":\"s4\",\"user_id\":\"u2\"}],"
              "\"refresh\":[{\"token\":\"rt_abcdefghijklmnopqrstuvwxyz0123456789ABCDEFG\",\"token_masked\":"
              "\"rt_abc...BCDEFG\",\"user_id\":\"u1\",\"username\":\"al\",\"client_id\":\"c\",\"scope\":\"openid\","
              "\"expires_at\":9},{\"token\":\"abcdefghijkl\",\"token_masked\":\"********\",\"user_id\":\"u2\"},"
              "{\"token\":\"abcdefghijklm\",\"token_masked\":\"abcdef...hijklm\"},{\"token\":\"a\u00e9\u00e9\u00e9"
              "\u00e9\u00e9\u00e9\u00e9b\",\"token_masked\":\"a\u00e9\u00e9...\u00e9\u00e9b\"}]," + rotated);
    EXPECT_EQ(take(id_refresh_token_list_json_scoped("u2")),
              "{\"sessions\":[{\"session_id\":\"s4\",\"user_id\":\"u2\"}],\"refresh\":[{\"token\":\"abcdefghijkl\","
              "\"token_masked\":\"********\",\"user_id\":\"u2\"}]," + rotated);
    EXPECT_EQ(take(id_refresh_token_list_json_scoped("")), take(id_refresh_token_list_json()));
}

}  // namespace
