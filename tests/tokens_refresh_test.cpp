// Refresh tokens: issue, the rotation chain, reuse detection ending a family, the per-family cap of
// rotations (a family ends rather than forget an exchanged token; a flood of other families
// flushes nothing), revocation (single, by user, by family with its client binding), the lookup,
// and the listing's exact text with masked tokens.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>
#include <string>
#include <vector>

#include "id_foundation.h"
#include "id_tokens.h"
#include "support/reference.hpp"
#include "support/token_store.hpp"

namespace {

class Refresh : public tarn::test::TokenStoreTest {
protected:
    std::string issue(const char* user_id = "u1", const char* client = "c1") {
        char token[64] = "";
        EXPECT_EQ(id_refresh_token_create(user_id, "al", client, "openid", token, sizeof token), 0);
        EXPECT_EQ(std::string(token).size(), 46u);
        EXPECT_EQ(std::string(token).rfind("rt_", 0), 0u);
        EXPECT_TRUE(tarn::test::base64url_text(token + 3));
        return token;
    }
    // Rotates and returns the successor, or the result code as text.
    std::string rotate(const std::string& token, const char* client = "c1") {
        char next[64] = "";
        const int r = id_refresh_token_rotate(token.c_str(), client, next, sizeof next, nullptr);
        return r == 0 ? std::string(next) : std::to_string(r);
    }
    static std::string shown(const id_refresh_token& t) {
        return std::string(t.token) + "|" + t.user_id + "|" + t.username + "|" + t.client_id + "|" + t.scope + "|" +
               t.family + "|" + std::to_string(t.expires_at);
    }
    using TokenStoreTest::shown;
    // The stored active record of `token`, compact, or "<none>".
    std::string record_of(const std::string& token) const {
        const tarn::Document d = doc();
        const tarn::Value* refresh = tarn::json::member(d, "refresh");
        if (refresh && refresh->IsArray())
            for (const tarn::Value& el : refresh->GetArray())
                if (tarn::json::str_is(el, "token", token)) return compact(&el);
        return "<none>";
    }
};

// A refresh record as issue() stores it, compact.
std::string stored(const std::string& token, const std::string& family, std::int64_t expires, const std::string& user = "u1") {
    return "{\"token\":\"" + token + "\",\"user_id\":\"" + user + "\",\"username\":\"al\",\"client_id\":\"c1\",\"scope\":"
           "\"openid\",\"family\":\"" + family + "\",\"expires_at\":" + std::to_string(expires) + "}";
}

TEST_F(Refresh, IssueRotationChainAndReuse) {
    const std::string a = issue();
    char b[64];
    ASSERT_EQ(id_refresh_token_create(nullptr, nullptr, nullptr, "", b, sizeof b), 0);
    const std::string empty = "\"sessions\":{},\"auth_codes\":{}";
    EXPECT_EQ(shown({a, b}), "{" + empty + ",\"refresh\":[" + stored("A", "A", kNow + 2419200) + ",{\"token\":\"B\",\"username\":"
                             "\"\",\"client_id\":\"\",\"scope\":\"openid profile\",\"family\":\"B\",\"expires_at\":1752419200}]}");
    write("{\"refresh\": [" + compact(&doc()["refresh"][0]) + "]}");

    at(kNow + 100);
    id_refresh_token rec;
    char next[64];
    ASSERT_EQ(id_refresh_token_rotate(a.c_str(), "c1", next, sizeof next, &rec), 0);
    const std::string c = next;
    EXPECT_EQ(shown(rec), c + "|u1|al|c1|openid|" + a + "|" + std::to_string(kNow + 100 + 2419200));
    EXPECT_EQ(shown({a, c}), "{\"refresh\":[" + stored("B", "A", kNow + 100 + 2419200) + "],\"sessions\":{},\"auth_codes\":{},"
                             "\"rotated\":[{\"token\":\"A\",\"family\":\"A\"}]}");
    const std::string d = rotate(c);
    EXPECT_EQ(shown({a, c, d}), "{\"refresh\":[" + stored("C", "A", kNow + 100 + 2419200) + "],\"sessions\":{},\"auth_codes\":{},"
                                "\"rotated\":[{\"token\":\"A\",\"family\":\"A\"},{\"token\":\"B\",\"family\":\"A\"}]}");
    EXPECT_EQ(rotate(c, "another client"), "-4") << "an exchanged token ends its family, whoever presents it";
    EXPECT_EQ(compact(&doc()["refresh"]), "[]");
    EXPECT_EQ(rotate(a), "-1");
    EXPECT_EQ(rotate(d), "-1");

    // The first token names its family: it ends the family even when its rotated record is gone.
    const std::string e1 = issue(), e2 = rotate(e1), other = issue("u2");
    write("{\"refresh\": " + compact(&doc()["refresh"]) + "}");
    EXPECT_EQ(rotate(e1), "-4");
    EXPECT_EQ(shown({other}), "{\"refresh\":[" + stored("A", "A", kNow + 100 + 2419200, "u2") +
                                  "],\"sessions\":{},\"auth_codes\":{}}");
}

TEST_F(Refresh, ExpiredAndForeignTokensAreRemoved) {
    // Seconds after issue, the presenting client, the result; then the token presented again.
    const std::vector<std::tuple<std::int64_t, const char*, std::string, std::string>> cases = {
        {2419200, "c1", "ok", "-4"}, {2419201, "c1", "-2", "-1"}, {0, "c2", "-3", "-1"},
        {0, "", "ok", "-4"},         {0, nullptr, "ok", "-4"},
    };
    for (const auto& [after, client, result, again] : cases) {
        at(kNow);
        const std::string t = issue();
        at(kNow + after);
        const std::string r = rotate(t, client);
        EXPECT_EQ(r.size() == 46 ? "ok" : r, result);
        EXPECT_EQ(rotate(t), again) << "expired and foreign tokens are not remembered as exchanged";
    }
    write("{\"refresh\": [{\"token\": \"t\", \"expires_at\": 1750000000}]}");
    EXPECT_EQ(rotate("t", "anyone").size(), 46u) << "a token stored without a client passes for any";
}

// A family keeps every exchanged token: with room left the rotation adds one, and the rotation
// that would push the oldest out ends the family instead (-1), taking its exchanged tokens along.
TEST_F(Refresh, AFamilyEndsRatherThanForgetAnExchangedToken) {
    for (const int exchanged : {ID_REFRESH_FAMILY_ROTATIONS - 1, ID_REFRESH_FAMILY_ROTATIONS}) {
        SCOPED_TRACE(exchanged);
        std::string rotated;
        for (int i = 0; i < exchanged; ++i) rotated += std::string(i ? "," : "") + "{\"token\":\"t" + std::to_string(i) + "\",\"family\":\"f\"}";
        write("{\"refresh\": [{\"token\": \"t\", \"family\": \"f\", \"expires_at\": 1750000000}], \"rotated\": [" + rotated + "]}");
        const std::string next = rotate("t");
        if (exchanged < ID_REFRESH_FAMILY_ROTATIONS) {
            ASSERT_EQ(next.size(), 46u);
            EXPECT_EQ(compact(&doc()["rotated"]), "[" + rotated + ",{\"token\":\"t\",\"family\":\"f\"}]");
        } else {
            EXPECT_EQ(next, "-1");
            EXPECT_EQ(compact(&doc()["refresh"]), "[]");
            EXPECT_EQ(compact(&doc()["rotated"]), "[]");
        }
    }
}

// A thief rotates a stolen token, then floods the store with 1100 rotations of families of its
// own (as many as one family may make, the rest in a second). The victim presenting the stolen
// token still ends its family, the thief's successor with it; the flooding families keep their own
// exchanged tokens, and the records of the ended family go with it.
TEST_F(Refresh, AFloodOfOtherFamiliesKeepsReuseDetection) {
    // Not the family's first token: that one names its family and ends it without any record.
    const std::string stolen = rotate(issue("usr_victim")), thief = rotate(stolen);
    std::vector<std::vector<std::string>> floods;
    for (const int rotations : {ID_REFRESH_FAMILY_ROTATIONS, 1100 - ID_REFRESH_FAMILY_ROTATIONS}) {
        floods.push_back({issue("usr_thief")});
        for (int i = 0; i < rotations; ++i) floods.back().push_back(rotate(floods.back().back()));
    }
    EXPECT_EQ(rotate(stolen), "-4");
    EXPECT_EQ(rotate(thief), "-1") << "the thief's successor ended with its family";
    std::string kept, live;
    for (const auto& flood : floods) {
        for (std::size_t i = 0; i + 1 < flood.size(); ++i)
            kept += (kept.empty() ? "{\"token\":\"" : ",{\"token\":\"") + flood[i] + "\",\"family\":\"" + flood[0] + "\"}";
        live += (live.empty() ? "" : ",") + stored(flood.back(), flood[0], kNow + 2419200, "usr_thief");
    }
    EXPECT_EQ(compact(&doc()["rotated"]), "[" + kept + "]");
    EXPECT_EQ(compact(&doc()["refresh"]), "[" + live + "]");
    ASSERT_EQ(id_refresh_token_revoke(floods[0].back().c_str()), 0);
    ASSERT_EQ(id_refresh_token_revoke(floods[1].back().c_str()), 0);
    EXPECT_EQ(compact(&doc()["rotated"]), "[]") << "an ended family's exchanged tokens go";
}

TEST_F(Refresh, SuccessorsCarryTheirTextsWhole) {
    const std::string scope = "openid " + std::string(300, 's');
    write("{\"refresh\": [{\"token\": \"t\", \"user_id\": 5, \"scope\": \"" + scope + "\", \"expires_at\": 1750000000}]}");
    const std::string next = rotate("t");
    EXPECT_EQ(compact(&doc()["refresh"][0]), "{\"token\":\"" + next + "\",\"user_id\":\"\",\"username\":\"\",\"client_id\":\"\","
                                             "\"scope\":\"" + scope + "\",\"family\":\"t\",\"expires_at\":1752419200}");
    id_refresh_token rec;
    ASSERT_EQ(id_refresh_token_find(next.c_str(), &rec), 1);
    EXPECT_EQ(shown(rec), next + "||||openid|t|1752419200") << "the record is cut to fit, between names";
}

TEST_F(Refresh, NothingChangesWhenNothingCanBeIssued) {
    const std::string t = issue(), before = text();
    char out[64] = "untouched";
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
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
    const std::string a = issue(), b = rotate(a), c = rotate(b), u2 = issue("u2"), c2 = issue("u1", "c2");
    const std::string start = text();
    // What each operation leaves active: C (the family's active token), U (u2's), O (client c2's).
    auto active = [&] {
        const tarn::Document d = doc();
        std::string left;
        for (const auto& el : d["refresh"].GetArray()) {
            const std::string t = el["token"].GetString();
            left += t == c ? "C" : t == u2 ? "U" : t == c2 ? "O" : "?";
        }
        return left;
    };
    const std::vector<std::tuple<const char*, std::function<int()>, int, std::string>> cases = {
        {"single", [&] { return id_refresh_token_revoke(c.c_str()); }, 0, "UO"},
        {"single, exchanged", [&] { return id_refresh_token_revoke(b.c_str()); }, -1, "CUO"},
        {"single, empty", [&] { return id_refresh_token_revoke(""); }, -1, "CUO"},
        {"by user", [&] { return id_refresh_token_revoke_by_user("u1"); }, 0, "U"},
        {"by unknown user", [&] { return id_refresh_token_revoke_by_user("u9"); }, 0, "CUO"},
        {"by no user", [&] { return id_refresh_token_revoke_by_user(nullptr); }, -1, "CUO"},
        {"family, active token", [&] { return id_refresh_token_revoke_family(c.c_str(), nullptr); }, 1, "UO"},
        {"family, exchanged token", [&] { return id_refresh_token_revoke_family(b.c_str(), "c1"); }, 1, "UO"},
        {"family, first token", [&] { return id_refresh_token_revoke_family(a.c_str(), ""); }, 1, "UO"},
        {"family, other client", [&] { return id_refresh_token_revoke_family(c.c_str(), "c2"); }, 0, "CUO"},
        {"family, unknown token", [&] { return id_refresh_token_revoke_family("rt_x", nullptr); }, 0, "CUO"},
        {"family ended, exchanged token", [&] { return id_refresh_token_end_family(b.c_str(), "c1"); }, 1, "UO"},
        {"family ended, other client", [&] { return id_refresh_token_end_family(c.c_str(), "c2"); }, 0, "CUO"},
        {"family ended, unknown token", [&] { return id_refresh_token_end_family("rt_x", "c1"); }, 0, "CUO"},
        {"family ended, no token", [&] { return id_refresh_token_end_family(nullptr, "c1"); }, 0, "CUO"},
    };
    for (const auto& [what, op, result, left] : cases) {
        write(start);
        EXPECT_EQ(op(), result) << what;
        EXPECT_EQ(active(), left) << what;
    }
}

TEST_F(Refresh, Lookup) {
    write("{\"refresh\": [7, {\"token\": \"t\", \"user_id\": \"u\", \"client_id\": \"c\", \"expires_at\": 5}]}");
    id_refresh_token rec;
    std::memset(&rec, 0x5A, sizeof rec);
    ASSERT_EQ(id_refresh_token_find("t", &rec), 1);
    EXPECT_EQ(shown(rec), "t|u||c||t|5") << "found though expired; the token names its family";
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
    // A user sees the exchanged tokens of their own families only: u2's token has no family, u1's
    // is family "f".
    EXPECT_EQ(take(id_refresh_token_list_json_scoped("u2")),
              "{\"sessions\":[{\"session_id\":\"s4\",\"user_id\":\"u2\"}],\"refresh\":[{\"token\":\"abcdefghijkl\","
              "\"token_masked\":\"********\",\"user_id\":\"u2\"}],\"rotated\":[]}");
    EXPECT_NE(take(id_refresh_token_list_json_scoped("u1")).find("\"rotated\":[{\"token\":\"old\",\"family\":\"f\"}]}"),
              std::string::npos);
    EXPECT_EQ(take(id_refresh_token_list_json_scoped("")), take(id_refresh_token_list_json()));
}

// The sign-in time: stored last and only when known, carried by every successor, handed out by
// rotation and lookup; a record stored without it (or with one that is not a positive integer)
// reads as 0 and is written back without it.
TEST_F(Refresh, TheSignInTimeTravelsWithTheFamily) {
    char token[64] = "";
    ASSERT_EQ(id_refresh_token_create_v("u1", "al", "c1", "openid", 1749990000, token, sizeof token), 0);
    std::string expected = stored(token, token, kNow + 2419200);
    expected.insert(expected.size() - 1, ",\"auth_time\":1749990000");
    EXPECT_EQ(record_of(token), expected);
    write("{\"refresh\": [" + compact(&doc()["refresh"][0]) + ","
          " {\"token\": \"rt_old\", \"family\": \"rt_old\", \"expires_at\": 1760000000},"
          " {\"token\": \"rt_neg\", \"family\": \"rt_neg\", \"expires_at\": 1760000000, \"auth_time\": -4},"
          " {\"token\": \"rt_real\", \"family\": \"rt_real\", \"expires_at\": 1760000000, \"auth_time\": 1.7e9}]}");
    const std::vector<std::tuple<std::string, std::int64_t>> cases = {
        {token, 1749990000}, {"rt_old", 0}, {"rt_neg", 0}, {"rt_real", 0}};
    for (const auto& [presented, auth_time] : cases) {
        SCOPED_TRACE(presented);
        id_refresh_token found;
        std::memset(&found, 0x5A, sizeof found);
        ASSERT_EQ(id_refresh_token_find(presented.c_str(), &found), 1);
        EXPECT_EQ(found.auth_time, auth_time);
        id_refresh_token rec;
        char next[64];
        ASSERT_EQ(id_refresh_token_rotate(presented.c_str(), nullptr, next, sizeof next, &rec), 0);
        EXPECT_EQ(rec.auth_time, auth_time);
        const std::string successor = record_of(next);
        EXPECT_EQ(successor.find("auth_time") != std::string::npos, auth_time > 0) << successor;
        ASSERT_EQ(id_refresh_token_rotate(next, nullptr, next, sizeof next, &rec), 0);
        EXPECT_EQ(rec.auth_time, auth_time) << "and its successor";
    }
    char plain[64];
    ASSERT_EQ(id_refresh_token_create_v("u1", "al", "c1", "openid", 0, plain, sizeof plain), 0);
    EXPECT_EQ(record_of(plain), stored(plain, plain, kNow + 2419200)) << "0: not recorded";
}

}  // namespace
