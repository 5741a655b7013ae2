// The client registry on a real data directory: clients.json as written byte for byte, the
// redirect URI rule and the order of its checks, lookups under the lenient reading rules, the
// secret and redirect URI checks, the masked listing, deletion, what is left on disk when
// clients.json is unreadable or randomness fails, every file call failing in turn, and processes
// registering at once.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "foundation/document.hpp"
#include "id_clients.h"
#include "support/fault_sweep.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::files_in;
using tarn::test::read_file;
using tarn::test::take;
using tarn::test::write_file;

constexpr const char* kMissing = "missing name or redirect_uri";
constexpr const char* kAbsolute = "redirect_uri must be an absolute http:// or https:// URL";
constexpr const char* kWhitespace = "redirect_uri must not contain whitespace";
constexpr const char* kFragment = "redirect_uri must not contain a fragment (#...)";
constexpr const char* kTooLong = "redirect_uri must be at most 255 bytes";

// One client object of clients.json; texts as they appear in the file (JSON-escaped).
struct Stored {
    std::string id, name, secret, scopes, uri;  // secret "": a public client
};

// clients.json in the form the registry writes it: pretty, four-space indent, no final newline.
std::string pretty(const std::vector<Stored>& clients) {
    if (clients.empty()) return "[]";
    std::string s = "[";
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const Stored& c = clients[i];
        s += i ? ",\n" : "\n";
        s += "    {\n        \"client_id\": \"" + c.id + "\",\n        \"name\": \"" + c.name + "\",\n";
        s += c.secret.empty() ? "        \"public\": true,\n" : "        \"secret\": \"" + c.secret + "\",\n";
        s += "        \"scopes\": \"" + c.scopes + "\",\n        \"redirect_uris\": [\n            \"" + c.uri +
             "\"\n        ]\n    }";
    }
    return s + "\n]";
}

bool is_token(const std::string& s, const std::string& prefix, std::size_t length) {
    if (s.size() != length || s.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < s.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(s[i])) && s[i] != '-' && s[i] != '_') return false;
    return true;
}

class Registry : public ::testing::Test {
protected:
    void TearDown() override { tarn::crypto::testing::set_getrandom(nullptr); }
    std::string path() const { return data.file("clients.json"); }
    std::vector<std::string> only_clients_json() const { return {"clients.json", "clients.json.lock"}; }

    DataDirFixture data;
};

TEST_F(Registry, RedirectUriRuleInOrder) {
    const std::string longest = "https://" + std::string(247, 'h');
    const std::string too_long = longest + "/";
    const std::string too_long_fragment = too_long + "#";
    const std::vector<std::pair<const char*, const char*>> cases = {  // URI, message (nullptr: accepted)
        {"HTTPS://Example.COM/cb", nullptr}, {"http://127.0.0.1:8080/cb?x=1", nullptr},
        {"https://a/\xC3\xA9", nullptr},    {longest.c_str(), nullptr},
        {nullptr, kAbsolute},                {"", kAbsolute},
        {"ftp://a/cb", kAbsolute},           {"myapp://cb", kAbsolute},
        {"https:/a/cb", kAbsolute},          {" https://a", kAbsolute},  // the scheme before whitespace
        {"https://", kAbsolute},             {"https:///cb", kAbsolute},
        {"https://:443/cb", kAbsolute},      {"https://?q=1", kAbsolute},
        {"https://a\tb", kWhitespace},       {"https://a\x7F", kWhitespace},
        {"https://a #x", kWhitespace},       {"https://a/cb#x", kFragment},
        {"https://#", kFragment},            {too_long.c_str(), kTooLong},
        {too_long_fragment.c_str(), kFragment},
    };
    for (const auto& [uri, message] : cases) {
        char msg[128] = "stale";
        EXPECT_EQ(id_redirect_uri_check(uri, msg, sizeof msg), message ? -3 : 0) << (uri ? uri : "<null>");
        EXPECT_STREQ(msg, message ? message : "") << (uri ? uri : "<null>");
    }
    char small[8] = "stale";
    EXPECT_EQ(id_redirect_uri_check("ftp://a", small, sizeof small), -3);
    EXPECT_STREQ(small, "redirec");
    EXPECT_EQ(id_redirect_uri_check("ftp://a", nullptr, 64), -3);
}

TEST_F(Registry, RegistrationStoresTheRecordInOrder) {
    char id[64] = "###", secret[64] = "###", msg[128] = "stale";
    ASSERT_EQ(id_client_create("Ann's \"App\" \xC3\xA9", "https://app.example/cb", nullptr, id, sizeof id,
                               secret, sizeof secret, 0, msg, sizeof msg),
              0);
    EXPECT_STREQ(msg, "");
    EXPECT_TRUE(is_token(id, "client_", 18)) << id;
    EXPECT_TRUE(is_token(secret, "sec_", 26)) << secret;
    const Stored first{id, "Ann's \\\"App\\\" \xC3\xA9", secret, "openid profile", "https://app.example/cb"};
    EXPECT_EQ(read_file(path()), pretty({first}));
    EXPECT_EQ(tarn::test::file_mode(path()), 0600u);

    // A public client: no secret handed out or stored; the scopes as given.
    char pub_secret[8] = "###";
    ASSERT_EQ(id_client_create("Pub", "http://127.0.0.1:9/cb", "openid", id, sizeof id, pub_secret,
                               sizeof pub_secret, 1, msg, sizeof msg),
              0);
    EXPECT_STREQ(pub_secret, "");
    const Stored second{id, "Pub", "", "openid", "http://127.0.0.1:9/cb"};
    ASSERT_EQ(id_client_create("S", "https://s/", "", id, sizeof id, nullptr, 0, 1, nullptr, 0), 0);
    const Stored third{id, "S", "", "openid profile", "https://s/"};
    EXPECT_EQ(read_file(path()), pretty({first, second, third}));
    EXPECT_EQ(files_in(data.dir()), only_clients_json());

    // What was handed out is what the lookup and the checks use.
    id_client c;
    ASSERT_EQ(id_client_find_by_id(first.id.c_str(), &c), 1);
    EXPECT_EQ(id_client_verify_secret(&c, first.secret.c_str()), 1);
    EXPECT_EQ(id_client_validate_redirect_uri(&c, "https://app.example/cb"), 1);
    EXPECT_FALSE(c.is_public);
}

int g_draws_left = -1;  // random draws that succeed; -1: all of them
ssize_t counted_getrandom(void* buf, std::size_t len, unsigned) {
    if (g_draws_left == 0) {
        errno = EIO;
        return -1;
    }
    if (g_draws_left > 0) --g_draws_left;
    std::memset(buf, 7, len);
    return static_cast<ssize_t>(len);
}

TEST_F(Registry, RejectedRegistrationsStoreNothing) {
    struct Case {
        const char* name;
        const char* uri;
        int is_public;
        std::size_t id_cap, secret_cap;
        int draws;
        int result;
        const char* message;
    };
    const std::vector<Case> cases = {
        {nullptr, "https://a", 0, 64, 64, -1, -1, kMissing},
        {"n", "", 0, 64, 64, -1, -1, kMissing},
        {"", "ftp://a", 0, 64, 64, -1, -1, kMissing},  // missing input before the URI rule
        {"n", "ftp://a", 0, 64, 64, -1, -3, kAbsolute},
        {"n", "https://a b", 0, 64, 64, -1, -3, kWhitespace},
        {"n", "https://a", 0, 18, 64, -1, -1, ""},  // no room for the whole client id
        {"n", "https://a", 0, 64, 26, -1, -1, ""},  // nor for the whole secret
        {"n", "https://a", 0, 64, 64, 0, -1, ""},   // no randomness for the client id
        {"n", "https://a", 0, 64, 64, 1, -1, ""},   // nor for the secret
        {"bad \xFF utf-8", "https://a", 0, 64, 64, -1, -1, ""},  // cannot be saved as JSON
    };
    tarn::crypto::testing::set_getrandom(&counted_getrandom);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "<null>") + " " + c.uri + " draws " + std::to_string(c.draws));
        g_draws_left = c.draws;
        char id[64] = "###", secret[64] = "###", msg[128] = "stale";
        EXPECT_EQ(id_client_create(c.name, c.uri, nullptr, id, c.id_cap, secret, c.secret_cap, c.is_public, msg,
                                   sizeof msg),
                  c.result);
        EXPECT_STREQ(msg, c.message);
        EXPECT_STREQ(id, "###");
        EXPECT_STREQ(secret, "###");
        EXPECT_FALSE(tarn::test::file_exists(path()));
    }
    // A public client needs no room for a secret; buffers of capacity 0 are not given.
    g_draws_left = -1;
    char id[64], secret[1] = {'#'};
    EXPECT_EQ(id_client_create("n", "https://a", nullptr, id, 19, secret, sizeof secret, 1, nullptr, 0), 0);
    EXPECT_EQ(id_client_create("n", "https://a", nullptr, id, 0, secret, 0, 0, nullptr, 0), 0);
}

TEST_F(Registry, SeveralRedirectUrisEachByTheRule) {
    const std::string long_uri = "https://a/" + std::string(246, 'x');  // 256 bytes
    struct Case {
        std::vector<const char*> uris;
        int result;
        std::string message;
    };
    const std::vector<Case> refused = {
        {{}, -1, kMissing},
        {{"https://a/", nullptr}, -1, kMissing},
        {{"https://a/", ""}, -1, kMissing},
        {{"https://a/", "ftp://b/"}, -3, kAbsolute},
        {{"https://a/", "https://b/#f"}, -3, kFragment},
        {{"https://a b/", "https://b/#f"}, -3, kWhitespace},  // the first refused names the rule
        {{"https://a/", long_uri.c_str()}, -3, kTooLong},
        {std::vector<const char*>(9, "https://a/"), -3, "at most 8 redirect URIs"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(std::to_string(c.uris.size()) + " URIs, " + c.message);
        char id[64] = "###", secret[64] = "###", msg[128] = "stale";
        EXPECT_EQ(id_client_create_v("n", c.uris.data(), c.uris.size(), nullptr, id, sizeof id, secret, sizeof secret,
                                     0, msg, sizeof msg),
                  c.result);
        EXPECT_EQ(msg, c.message);
        EXPECT_STREQ(id, "###");
        EXPECT_STREQ(secret, "###");
        EXPECT_FALSE(tarn::test::file_exists(path()));
    }
    char msg[128];
    EXPECT_EQ(id_client_create_v("n", nullptr, 1, nullptr, nullptr, 0, nullptr, 0, 1, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, kMissing);

    // Eight are stored in the order given, and each one is a URI the client may use.
    std::vector<std::string> texts;
    for (int i = 0; i < 8; ++i) texts.push_back("https://app.example/cb" + std::to_string(i));
    texts[7] = "http://127.0.0.1:8000/cb";
    std::vector<const char*> uris;
    for (const auto& t : texts) uris.push_back(t.c_str());
    char id[64], secret[64];
    ASSERT_EQ(id_client_create_v("Many", uris.data(), uris.size(), "openid", id, sizeof id, secret, sizeof secret, 0,
                                 msg, sizeof msg),
              0);
    EXPECT_STREQ(msg, "");
    id_client c;
    ASSERT_EQ(id_client_find_by_id(id, &c), 1);
    EXPECT_EQ(c.redirect_uri_count, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(c.redirect_uris[i], texts[static_cast<std::size_t>(i)].c_str());
        EXPECT_EQ(id_client_validate_redirect_uri(&c, texts[static_cast<std::size_t>(i)].c_str()), 1);
    }
    EXPECT_EQ(id_client_validate_redirect_uri(&c, "https://app.example/cb8"), 0);
    EXPECT_EQ(id_client_verify_secret(&c, secret), 1);
    // One URI through the list is the record id_client_create writes.
    const char* one = "https://s/";
    ASSERT_EQ(id_client_create_v("S", &one, 1, "", id, sizeof id, nullptr, 0, 1, nullptr, 0), 0);
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read_file(path()), doc));
    std::string last;
    ASSERT_TRUE(tarn::write_json(doc[1], false, last));
    EXPECT_EQ(last, "{\"client_id\":\"" + std::string(id) +
                        "\",\"name\":\"S\",\"public\":true,\"scopes\":\"openid profile\",\"redirect_uris\":[\"https://s/\"]}");
}

// clients.json that exists but cannot be read as a client array is never replaced.
TEST_F(Registry, UnreadableStoreIsLeftByteForByte) {
    for (const char* text : {"not json", "[{\"client_id\":\"a\"},", "{}", "{\"client_id\":\"a\"}", "\"a\"", "null",
                             "[\"\xC3\x28\"]"}) {
        SCOPED_TRACE(text);
        write_file(path(), text);
        char id[64] = "###";
        EXPECT_EQ(id_client_create("n", "https://a", nullptr, id, sizeof id, nullptr, 0, 1, nullptr, 0), -1);
        EXPECT_STREQ(id, "###");
        EXPECT_EQ(id_client_delete("a"), -1);
        EXPECT_EQ(read_file(path()), text);
        EXPECT_EQ(files_in(data.dir()), only_clients_json()) << "no copy set aside, no temporary file";
        EXPECT_EQ(id_client_find_by_id("a", nullptr), 0);
        id_client c;
        std::memset(&c, 0x5A, sizeof c);
        EXPECT_EQ(id_client_lookup_by_id("a", &c), -1) << "told apart from no such client";
        EXPECT_EQ(c.client_id[0], 0x5A);
        EXPECT_EQ(take(id_client_list_json()), "[]");
    }
    // The lookup that tells them apart: a hit, a miss, no clients.json.
    write_file(path(), "[{\"client_id\":\"a\"}]");
    EXPECT_EQ(id_client_lookup_by_id("a", nullptr) * 10 + id_client_lookup_by_id("b", nullptr), 10);
    std::remove(path().c_str());
    EXPECT_EQ(id_client_lookup_by_id("a", nullptr), 0);
}

// The lenient reading rules in full are the clients_auth fuzz target's; here the ones that decide
// which client answers and which redirect URIs can ever match.
TEST_F(Registry, LookupAndChecks) {
    const std::string long_uri = "https://" + std::string(300, 'u');
    write_file(path(), "[7, {\"client_id\":\"dup\",\"name\":\"first\",\"secret\":\"sec_abcdefgh\"},\n"
                       " {\"client_id\":\"dup\",\"name\":\"second\"},\n"
                       " {\"client_id\":\"odd\",\"client_id\":\"shadowed\",\"name\":5,\"public\":\"true\","
                       "\"redirect_uris\":[1,\"https://ok\",\"" + long_uri + "\",\"https://a\\u0000.evil\","
                       "\"u5\",\"u6\",\"u7\",\"u8\",\"u9\"]}]");
    id_client c;
    std::memset(&c, 0x5A, sizeof c);
    for (const char* absent : {"shadowed", "DUP", "du", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(id_client_find_by_id(absent, &c), 0) << (absent ? absent : "<null>");
    EXPECT_EQ(c.client_id[0], 0x5A) << "untouched";
    ASSERT_EQ(id_client_find_by_id("dup", &c), 1);
    EXPECT_STREQ(c.name, "first");
    const std::vector<std::pair<const char*, int>> secrets = {
        {"sec_abcdefgh", 1}, {"sec_abcdefg", 0}, {"sec_abcdefghi", 0}, {"SEC_ABCDEFGH", 0}, {"", 0}, {nullptr, 0}};
    for (const auto& [secret, result] : secrets) EXPECT_EQ(id_client_verify_secret(&c, secret), result);
    EXPECT_EQ(id_client_verify_secret(nullptr, "sec_abcdefgh"), 0);

    ASSERT_EQ(id_client_find_by_id("odd", &c), 1);
    EXPECT_STREQ(c.name, "");
    EXPECT_FALSE(c.is_public) << "only the JSON value true makes a public client";
    EXPECT_EQ(id_client_verify_secret(&c, "x"), 0) << "no secret stored: nothing verifies";
    ASSERT_EQ(c.redirect_uri_count, 8);
    EXPECT_STREQ(c.redirect_uris[0], "");  // not a string
    EXPECT_STREQ(c.redirect_uris[2], "");  // does not fit
    EXPECT_STREQ(c.redirect_uris[3], "");  // holds a NUL
    // A stored URI the record cannot hold whole never matches: neither its cut nor the text
    // before a NUL inside it.
    const std::vector<std::pair<std::string, int>> uris = {
        {"https://ok", 1}, {"u8", 1},   {"u9", 0},   {"https://ok/", 0}, {"HTTPS://ok", 0},
        {"https://o", 0},  {"", 0},     {long_uri.substr(0, 255), 0},    {"https://a", 0}};
    for (const auto& [uri, valid] : uris) EXPECT_EQ(id_client_validate_redirect_uri(&c, uri.c_str()), valid) << uri;
    c.redirect_uri_count = 1000;  // a record made by hand: never read past the array
    EXPECT_EQ(id_client_validate_redirect_uri(&c, "https://ok"), 1);
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST_F(Registry, ListingMasksEverySecret) {
    EXPECT_EQ(take(id_client_list_json()), "[]");
    write_file(path(),
               "[{\"client_id\":\"c1\",\"name\":\"Conf\",\"secret\":\"sec_abcdefghij\",\"scopes\":\"openid\","
               "\"redirect_uris\":[\"https://a/cb\"]},\n"
               " {\"client_id\":\"p1\",\"name\":\"Pub\",\"public\":true,\"scopes\":\"openid profile\","
               "\"redirect_uris\":[\"https://p/cb\"]},\n"
               " 5, \"sec_loose\", [\"sec_in_array\"],\n"
               " {\"client_id\":\"odd\",\"secret\":\"ab\",\"secret\":\"second\",\"public\":0,"
               "\"extra\":{\"k\":[1,2]}},\n"
               " {\"client_id\":\"num\",\"secret\":{\"sec\":\"hidden\"}},\n"
               " {\"client_id\":\"utf\",\"secret\":\"" + repeat("\\u00e9", 9) + "\"}]");
    EXPECT_EQ(take(id_client_list_json()),
              "[{\"client_id\":\"c1\",\"name\":\"Conf\",\"scopes\":\"openid\",\"redirect_uris\":[\"https://a/cb\"],"
              "\"secret_prefix\":\"sec_abcd\",\"public\":false},"
              "{\"client_id\":\"p1\",\"name\":\"Pub\",\"public\":true,\"scopes\":\"openid profile\","
              "\"redirect_uris\":[\"https://p/cb\"],\"secret_prefix\":\"\"},"
              "{\"client_id\":\"odd\",\"public\":0,\"extra\":{\"k\":[1,2]},\"secret_prefix\":\"ab\"},"
              "{\"client_id\":\"num\",\"secret_prefix\":\"\",\"public\":false},"
              "{\"client_id\":\"utf\",\"secret_prefix\":\"" + repeat("\xC3\xA9", 8) + "\","
              "\"public\":false}]");
}

TEST_F(Registry, DeletionRemovesTheFirstMatchOnly) {
    const Stored a{"client_a", "A", "sec_a", "openid", "https://a/"};
    const Stored b{"client_b", "B", "", "openid", "https://b/"};
    const Stored a2{"client_a", "A2", "sec_a2", "openid", "https://a2/"};
    EXPECT_EQ(id_client_delete("client_a"), -1) << "no clients.json";
    EXPECT_FALSE(tarn::test::file_exists(path()));
    write_file(path(), pretty({a, b, a2}));
    for (const char* id : {"client_x", "client_", "CLIENT_A", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(id_client_delete(id), -1);
        EXPECT_EQ(read_file(path()), pretty({a, b, a2}));
    }
    EXPECT_EQ(id_client_delete("client_a"), 0);
    EXPECT_EQ(read_file(path()), pretty({b, a2}));
    EXPECT_EQ(id_client_delete("client_a"), 0);
    EXPECT_EQ(id_client_delete("client_b"), 0);
    EXPECT_EQ(read_file(path()), "[]");
    EXPECT_EQ(files_in(data.dir()), only_clients_json());
}

TEST_F(Registry, EveryFileCallFailingInTurn) {
    const std::string dir = data.dir();
    const std::string two = pretty({{"client_a", "A", "sec_a", "openid", "https://a/"},
                                    {"client_b", "B", "", "openid", "https://b/"}});
    auto starting = [&dir](tarn::test::DirState files) { return [&dir, files] { tarn::test::reset_dir(dir, files); }; };
    auto register_client = [](int is_public) {
        return [is_public] {
            char id[32], secret[32];
            return id_client_create("App", "https://app/cb", nullptr, id, sizeof id, secret, sizeof secret,
                                    is_public, nullptr, 0);
        };
    };
    const std::vector<tarn::test::SweepCase> cases = {
        {"client registered in an empty store", {"clients.json"}, starting({}), register_client(0)},
        {"public client appended", {"clients.json"}, starting({{"clients.json", two}}), register_client(1)},
        {"registration over an unparseable clients.json", {"clients.json"},
         starting({{"clients.json", "[{"}}), register_client(0)},
        {"client deleted", {"clients.json"}, starting({{"clients.json", two}}),
         [] { return id_client_delete("client_a"); }},
        {"client with three redirect URIs appended", {"clients.json"}, starting({{"clients.json", two}}), [] {
             const char* uris[] = {"https://app/cb", "https://app/other", "http://127.0.0.1:9/cb"};
             char id[32], secret[32];
             return id_client_create_v("App", uris, 3, nullptr, id, sizeof id, secret, sizeof secret, 0, nullptr, 0);
         }},
    };
    for (const tarn::test::SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-50s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs,
                    s.changed);
    }
}

TEST_F(Registry, EightProcessesRegisteringAtOnceKeepAllEight) {
    const std::vector<int> statuses = tarn::test::run_together(8, [](int i) {
        char id[32], secret[32];
        const std::string name = "app" + std::to_string(i);
        if (i % 2)  // half of them with two redirect URIs
            return id_client_create(name.c_str(), "https://app/cb", nullptr, id, sizeof id, secret, sizeof secret, 0,
                                    nullptr, 0) == 0 ? 0 : 1;
        const std::string second = "https://app/cb" + std::to_string(i);
        const char* uris[] = {"https://app/cb", second.c_str()};
        return id_client_create_v(name.c_str(), uris, 2, nullptr, id, sizeof id, secret, sizeof secret, 0, nullptr,
                                  0) == 0 ? 0 : 1;
    });
    EXPECT_EQ(statuses, std::vector<int>(8, 0));
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(read_file(path()), doc));
    ASSERT_TRUE(doc.IsArray());
    std::set<std::string> names, ids;
    for (const tarn::Value& c : doc.GetArray()) {
        names.insert(c["name"].GetString());
        ids.insert(c["client_id"].GetString());
        const int i = c["name"].GetString()[3] - '0';
        EXPECT_EQ(c["redirect_uris"].Size(), i % 2 ? 1u : 2u) << c["name"].GetString();
    }
    EXPECT_EQ(doc.Size(), 8u);
    EXPECT_EQ(names, (std::set<std::string>{"app0", "app1", "app2", "app3", "app4", "app5", "app6", "app7"}));
    EXPECT_EQ(ids.size(), 8u);
}

}  // namespace
