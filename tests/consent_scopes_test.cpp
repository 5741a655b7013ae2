// Scope lists and the consent store: the intersection byte for byte at every capacity rule,
// merging grants within 255 bytes, what covers a request, revocation, the listing, and an
// unparseable consents.json kept aside.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "id_consent.h"
#include "support/reference.hpp"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;
const std::string kLong(300, 's');  // a name too long for any list
const std::string kLongThenOpenid = kLong + " openid";

using Grants = std::vector<std::tuple<std::string, std::string, std::int64_t>>;  // client, scopes, granted

// consents.json as the store writes it.
std::string consents_json(const std::vector<std::pair<std::string, Grants>>& users) {
    std::string s = "{";
    for (const auto& [user, grants] : users) {
        s += (s.size() > 1 ? ",\n    \"" : "\n    \"") + user + "\": {";
        for (const auto& [client, scopes, granted] : grants) {
            s += (s.back() == '{' ? "\n        \"" : ",\n        \"") + client + "\": {\n            \"scopes\": \"" +
                 scopes + "\",\n            \"granted\": " + std::to_string(granted) + "\n        }";
        }
        s += grants.empty() ? "}" : "\n    }";
    }
    return s + (users.empty() ? "}" : "\n}");
}

TEST(Scopes, IntersectionKeepsAllowedNamesInRequestOrder) {
    struct Case {
        const char* requested;
        std::string allowed;  // "" passes an empty list, "(null)" no list
        std::size_t cap;
        std::string out;
    } cases[] = {
        {"openid email admin", "openid profile email", 64, "openid email"},
        {"openid email admin", "", 64, "openid email"},
        {"openid email admin", "(null)", 64, "openid email"},
        {"openid,openid  profile", "openid profile", 64, "openid profile"},
        {" \t,openid,\t", "openid", 64, "openid"},
        {"openid profile", "(null)", 15, "openid profile"},
        {"openid profile email", "(null)", 14, "openid"},  // stops at the first that does not fit
        {"openid profile", "(null)", 7, "openid"},
        {"openid profile", "(null)", 6, ""},
        {"OpenID openid", "(null)", 64, "openid"},
        {"openid\nprofile openid", "openid profile", 64, "openid"},
        {kLongThenOpenid.c_str(), kLongThenOpenid, 400, "openid"},
        {"", "(null)", 64, ""},
        {nullptr, "(null)", 64, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.requested ? c.requested : "(null)") + " / " + c.allowed);
        char out[512];
        std::memset(out, 'x', sizeof out);
        id_scope_intersect(c.requested, c.allowed == "(null)" ? nullptr : c.allowed.c_str(), out, c.cap);
        EXPECT_EQ(std::string(out), c.out);
        EXPECT_EQ(std::string(out + c.cap, 8), "xxxxxxxx");  // nothing past the capacity
    }
    char untouched[4] = "abc";
    id_scope_intersect("openid", nullptr, untouched, 0);
    id_scope_intersect("openid", nullptr, nullptr, 64);
    EXPECT_STREQ(untouched, "abc");
}

class Consents : public ::testing::Test {
protected:
    std::string stored() { return read_file(data.file("consents.json")); }
    void store(const std::string& text) { write_file(data.file("consents.json"), text); }

    DataDirFixture data;
    SetClock clock{t};
};

TEST_F(Consents, GrantsAddScopesAndMoveTheRecordToTheEnd) {
    EXPECT_EQ(id_consent_set("usr_a", "client_1", "openid profile"), 0);
    EXPECT_EQ(id_consent_set("usr_a", "client_2", "openid"), 0);
    SetClock::now = t + 100;
    EXPECT_EQ(id_consent_set("usr_a", "client_1", "email"), 0);
    EXPECT_EQ(stored(), consents_json({{"usr_a", {{"client_2", "openid", t}, {"client_1", "openid profile email", t + 100}}}}));
    SetClock::now = t + 200;
    EXPECT_EQ(id_consent_set("usr_a", "client_2", nullptr), 0);
    EXPECT_EQ(id_consent_set("usr_b", "client_1", ""), 0);
    EXPECT_EQ(stored(), consents_json({{"usr_a", {{"client_1", "openid profile email", t + 100}, {"client_2", "openid", t + 200}}},
                                       {"usr_b", {{"client_1", "", t + 200}}}}));
    EXPECT_EQ(id_consent_set("", "client_1", "openid") + id_consent_set("usr_a", nullptr, "openid"), -2);
}

TEST_F(Consents, MergingKeepsTheListWithin255Bytes) {
    const std::string a248(248, 'a'), a250(250, 'a'), a253(253, 'a');
    struct Case {
        std::string existing;  // the stored "scopes" member, as JSON
        const char* grant;
        std::string merged;
    } cases[] = {
        {"\"openid\"", "openid,profile\temail", "openid profile email"},
        {"\"a,b\"", "c", "a,b c"},
        {"\"\"", kLongThenOpenid.c_str(), "openid"},
        {'"' + a248 + '"', "ab", a248 + " ab"},
        {'"' + a250 + '"', "openid", a250},
        // A stored list over 255 bytes loses its cut name whole: "admin_readonly" must not become "a".
        {'"' + a253 + " admin_readonly\"", "x", a253},
        {"7", "openid", "openid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.existing.substr(0, 20) + " + " + std::string(c.grant).substr(0, 20));
        store("{\"usr_a\":{\"client_1\":{\"scopes\":" + c.existing + ",\"granted\":1}}}");
        ASSERT_EQ(id_consent_set("usr_a", "client_1", c.grant), 0);
        EXPECT_EQ(stored(), consents_json({{"usr_a", {{"client_1", c.merged, t}}}}));
    }
}

TEST_F(Consents, CoversOnlyWhatWasGranted) {
    EXPECT_EQ(id_consent_covers("usr_a", "client_1", ""), 0);  // no consents.json
    store("{\"usr_a\":{\"client_1\":{\"scopes\":\"openid profile\"}},\"usr_b\":{},"
          "\"usr_c\":{\"client_1\":{\"scopes\":5}},\"usr_d\":7}");
    struct Case {
        const char *user, *client, *requested;
        int covered;
    } cases[] = {
        {"usr_a", "client_1", "profile openid", 1}, {"usr_a", "client_1", "openid email", 0},
        {"usr_a", "client_1", "", 1},               {"usr_a", "client_1", nullptr, 1},
        {"usr_a", "client_1", " ,\t", 1},           {"usr_a", "client_1", "OPENID", 0},
        {"usr_a", "client_1", kLong.c_str(), 0},    {"usr_a", "client_2", "", 0},
        {"usr_b", "client_1", "", 0},               {"usr_c", "client_1", "", 1},
        {"usr_c", "client_1", "openid", 0},         {"usr_d", "client_1", "", 0},
        {"", "client_1", "", 0},                    {"usr_a", nullptr, "", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(id_consent_covers(c.user, c.client, c.requested), c.covered)
            << (c.user ? c.user : "(null)") << " " << (c.client ? c.client : "(null)") << " " << (c.requested ? c.requested : "(null)");
    store("{\"usr_a\":");
    EXPECT_EQ(id_consent_covers("usr_a", "client_1", ""), 0);
}

TEST_F(Consents, RevocationRewritesAndKeepsTheUser) {
    EXPECT_EQ(id_consent_revoke("usr_a", "client_1"), 0);
    EXPECT_FALSE(file_exists(data.file("consents.json")));
    store("{\"usr_a\":{\"client_1\":{\"scopes\":\"openid\",\"granted\":5},\"client_2\":{\"scopes\":\"email\",\"granted\":6}}}");
    EXPECT_EQ(id_consent_revoke("usr_a", "client_9"), 0);
    EXPECT_EQ(stored(), consents_json({{"usr_a", {{"client_1", "openid", 5}, {"client_2", "email", 6}}}}));
    EXPECT_EQ(id_consent_revoke("usr_a", "client_1"), 0);
    EXPECT_EQ(id_consent_revoke("usr_a", "client_2"), 0);
    EXPECT_EQ(stored(), consents_json({{"usr_a", {}}}));
    EXPECT_EQ(id_consent_revoke("", "client_1") + id_consent_revoke("usr_a", nullptr), -2);
    store("{\"usr_a\":");
    EXPECT_EQ(id_consent_revoke("usr_a", "client_1"), 0);
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"consents.json", "consents.json.lock"}));
    EXPECT_EQ(stored(), "{\"usr_a\":");
}

TEST_F(Consents, ListingFollowsFileOrder) {
    EXPECT_EQ(take(id_consent_list_json()), "[]");
    store("{\"usr_a\":{\"client_2\":{\"scopes\":\"openid\",\"granted\":5},\"client_1\":{\"granted\":1.5},\"x\":3},"
          "\"usr_z\":[],\"usr_b\":{\"client_1\":{\"scopes\":[\"email\"],\"granted\":-7}}}");
    EXPECT_EQ(take(id_consent_list_json()),
              "[{\"user_id\":\"usr_a\",\"client_id\":\"client_2\",\"scopes\":\"openid\",\"granted\":5},"
              "{\"user_id\":\"usr_a\",\"client_id\":\"client_1\",\"scopes\":\"\",\"granted\":0},"
              "{\"user_id\":\"usr_b\",\"client_id\":\"client_1\",\"scopes\":\"\",\"granted\":-7}]");
    store("[]");
    EXPECT_EQ(take(id_consent_list_json()), "[]");
}

TEST_F(Consents, UnparseableStoreIsKeptAsideAndReplaced) {
    store("{\"usr_a\": {\"client_1\"");
    EXPECT_EQ(take(id_consent_list_json()), "[]");
    EXPECT_EQ(id_consent_set("usr_b", "client_1", "openid"), 0);
    EXPECT_EQ(stored(), consents_json({{"usr_b", {{"client_1", "openid", t}}}}));
    EXPECT_EQ(read_file(data.file("consents.json.corrupt-" + std::to_string(t))), "{\"usr_a\": {\"client_1\"");
}

}  // namespace
