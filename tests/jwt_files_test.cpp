// The two files of the token subsystem: secret.key (made once, also by processes racing for it,
// never handed out before it is on disk) and revoked.json (adds, pruning, tests, set-aside), with
// both under the fault sweep.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "foundation/clock.hpp"
#include "id_foundation.h"
#include "id_jwt.h"
#include "support/fault_sweep.hpp"
#include "support/jwt_reference.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::files_in;
using tarn::test::read_file;
using tarn::test::write_file;
using Names = std::vector<std::string>;

constexpr std::int64_t kNow = 1750000000;
std::int64_t g_now = kNow;
std::int64_t test_clock() { return g_now; }
ssize_t failing_random(void*, std::size_t, unsigned) {
    errno = EIO;
    return -1;
}

std::string secret_text(const unsigned char* s) { return std::string(reinterpret_cast<const char*>(s), 32); }

// revoked.json as the store writes it: pretty, four-space indent, no final newline.
struct Entry {
    std::string jti;
    std::int64_t exp;
    std::string sub;
    std::string client_id;
};
std::string revoked(const std::vector<Entry>& entries) {
    std::string s = "{";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        s += (i ? ",\n" : "\n") + ("    \"" + e.jti + "\": {\n        \"exp\": " + std::to_string(e.exp) +
                                   ",\n        \"sub\": \"" + e.sub + "\",\n        \"client_id\": \"" +
                                   e.client_id + "\"\n    }");
    }
    return s + (entries.empty() ? "}" : "\n}");
}

class TokenFiles : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = kNow;
        tarn::testing::set_clock(&test_clock);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::crypto::testing::set_getrandom(nullptr);
    }
    DataDirFixture data;
};

TEST_F(TokenFiles, SecretKeyFile) {
    const std::string s32(32, 's'), s40 = s32 + "ABCDEFGH";
    struct Case {
        const char* name;
        std::function<void()> setup;
        int result;
        std::optional<std::string> secret;  // the secret returned; nullopt: fresh random bytes
        Names files;
    };
    const std::string path = data.file("secret.key");
    const std::vector<Case> cases = {
        {"missing: made", [] {}, 0, std::nullopt, {"secret.key", "secret.key.lock"}},
        {"empty: replaced", [&] { write_file(path, ""); }, 0, std::nullopt, {"secret.key", "secret.key.lock"}},
        {"31 bytes: replaced", [&] { write_file(path, s32.substr(1)); }, 0, std::nullopt, {"secret.key", "secret.key.lock"}},
        {"32 bytes: used", [&] { write_file(path, s32); }, 0, s32, {"secret.key"}},
        {"40 bytes: the first 32 used, the file left", [&] { write_file(path, s40); }, 0, s32, {"secret.key"}},
        {"unreadable: never replaced", [&] { std::filesystem::create_directory(path); }, -1, std::string(32, '\0'), {"secret.key"}},
        {"no randomness: nothing made",
         [] { tarn::crypto::testing::set_getrandom(&failing_random); }, -1, std::string(32, '\0'), {"secret.key.lock"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(data.dir());
        std::filesystem::create_directory(data.dir());
        tarn::crypto::testing::set_getrandom(nullptr);
        c.setup();
        const std::string before = read_file(path);
        unsigned char out[32];
        std::memset(out, 0x5A, sizeof out);
        EXPECT_EQ(id_get_secret_key(out), c.result);
        EXPECT_EQ(files_in(data.dir()), c.files);
        if (c.secret) {
            EXPECT_EQ(secret_text(out), *c.secret);
            if (c.result == 0) {
                EXPECT_EQ(read_file(path), before) << "a usable secret.key is left as it is";
            }
        } else {
            EXPECT_EQ(read_file(path), secret_text(out)) << "the secret handed out is the one on disk";
            EXPECT_EQ(tarn::test::file_mode(path), 0600u);
        }
    }
    // Every call reads the file again.
    write_file(path, s40.substr(8));
    unsigned char out[32];
    ASSERT_EQ(id_get_secret_key(out), 0);
    EXPECT_EQ(secret_text(out), s40.substr(8));
}

TEST_F(TokenFiles, ProcessesRacingForTheFirstSecretShareOne) {
    const std::string work = data.work();
    const std::vector<int> statuses = tarn::test::run_together(8, [&work](int i) {
        unsigned char out[32];
        if (id_get_secret_key(out) != 0) return 1;
        write_file(work + "/got-" + std::to_string(i), secret_text(out));
        return 0;
    });
    const std::string on_disk = read_file(data.file("secret.key"));
    ASSERT_EQ(on_disk.size(), 32u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(statuses[static_cast<std::size_t>(i)], 0);
        EXPECT_EQ(read_file(work + "/got-" + std::to_string(i)), on_disk) << "process " << i;
    }
    EXPECT_EQ(files_in(data.dir()), (Names{"secret.key", "secret.key.lock"}));
}

TEST_F(TokenFiles, RevocationListStory) {
    const std::string path = data.file("revoked.json");
    struct Step {
        const char* name;
        std::int64_t now;
        std::function<int()> op;
        int result;
        std::optional<std::string> file;  // revoked.json afterwards, when checked
    };
    auto add = [](const char* jti, std::int64_t exp, const char* sub, const char* client) {
        return [=] { return id_revoke_add_jti(jti, exp, sub, client); };
    };
    auto is = [](const char* jti) { return [=] { return id_revoke_is_jti(jti); }; };
    const std::int64_t h = kNow + 3600;
    const std::vector<Step> steps = {
        {"nothing revoked yet", kNow, is("a"), 0, std::nullopt},
        {"a NULL or empty identifier is refused", kNow, [] { return id_revoke_add_jti(nullptr, 1, "", "") + id_revoke_add_jti("", 1, "", ""); }, -2, std::nullopt},
        {"first add creates the file", kNow, add("a", h, "usr_1", "client_1"), 0, revoked({{"a", h, "usr_1", "client_1"}})},
        {"a is revoked", kNow, is("a"), 1, std::nullopt},
        {"b is not", kNow, is("b"), 0, std::nullopt},
        {"NULL and empty are not", kNow, [] { return id_revoke_is_jti(nullptr) + id_revoke_is_jti(""); }, 0, std::nullopt},
        {"an expiry already past is stored", kNow, add("b", kNow - 10, nullptr, nullptr), 0,
         revoked({{"a", h, "usr_1", "client_1"}, {"b", kNow - 10, "", ""}})},
        {"and answers false", kNow, is("b"), 0, std::nullopt},
        {"the next add prunes it", kNow, add("c", kNow + 5, "u", "c"), 0,
         revoked({{"a", h, "usr_1", "client_1"}, {"c", kNow + 5, "u", "c"}})},
        {"a second add of a moves it last", kNow, add("a", h + 1, "usr_2", nullptr), 0,
         revoked({{"c", kNow + 5, "u", "c"}, {"a", h + 1, "usr_2", ""}})},
        {"c before its expiry", kNow + 4, is("c"), 1, std::nullopt},
        {"c in the second of its expiry, in which its token still verifies", kNow + 5, is("c"), 1, std::nullopt},
        {"an add in that second keeps c", kNow + 5, add("d", h, "", ""), 0,
         revoked({{"c", kNow + 5, "u", "c"}, {"a", h + 1, "usr_2", ""}, {"d", h, "", ""}})},
        {"c after its expiry", kNow + 6, is("c"), 0, std::nullopt},
        {"the next add prunes c", kNow + 6, add("d", h, "", ""), 0,
         revoked({{"a", h + 1, "usr_2", ""}, {"d", h, "", ""}})},
        {"a text that is not UTF-8 stores nothing", kNow, add("e", h, "\xC3\x28", ""), -1,
         revoked({{"a", h + 1, "usr_2", ""}, {"d", h, "", ""}})},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        g_now = s.now;
        EXPECT_EQ(s.op(), s.result);
        if (s.file) {
            EXPECT_EQ(read_file(path), *s.file);
        }
    }
}

TEST_F(TokenFiles, RevocationListReadingAndPruningRules) {
    const std::string path = data.file("revoked.json");
    write_file(path, R"({"zero":{"exp":0},"none":{},"text":{"exp":"1"},"real":{"exp":1.9e10},"number":7,)"
                     R"("now":{"exp":1750000000},"ahead":{"exp":1750000001},"huge":{"exp":18446744073709551615},)"
                     R"("ahead":{"exp":1750000002}})");
    struct Case {
        const char* jti;
        int revoked;
    };
    for (const Case& c : std::vector<Case>{{"zero", 1}, {"none", 1}, {"text", 1}, {"real", 1}, {"number", 0},
                                           {"now", 1}, {"ahead", 1}, {"huge", 1}, {"absent", 0}}) {
        EXPECT_EQ(id_revoke_is_jti(c.jti), c.revoked) << c.jti;
    }
    // Every entry that reads as revoked survives the next add, as it was written (those without a
    // usable expiry for good, the others through their expiry second); a second member of another
    // identifier's name stays in its place. Only what reads as not revoked goes.
    ASSERT_EQ(id_revoke_add_jti("new", kNow + 1, "s", "c"), 0);
    EXPECT_EQ(read_file(path), "{\n    \"zero\": {\n        \"exp\": 0\n    },\n"
                               "    \"none\": {},\n"
                               "    \"text\": {\n        \"exp\": \"1\"\n    },\n"
                               "    \"real\": {\n        \"exp\": 19000000000.0\n    },\n"
                               "    \"now\": {\n        \"exp\": 1750000000\n    },\n"
                               "    \"ahead\": {\n        \"exp\": 1750000001\n    },\n"
                               "    \"huge\": {\n        \"exp\": 18446744073709551615\n    },\n"
                               "    \"ahead\": {\n        \"exp\": 1750000002\n    },\n"
                               "    \"new\": {\n        \"exp\": 1750000001,\n        \"sub\": \"s\",\n"
                               "        \"client_id\": \"c\"\n    }\n}");
}

// The sweep drops what the add's prune drops (entries that no longer revoke: past their expiry
// second, or not objects) and nothing else, each kept entry as it was written; a list that cannot
// be read stays, still failing closed.
TEST_F(TokenFiles, RevocationListSweep) {
    const std::string path = data.file("revoked.json");
    const std::string kept = R"({"zero":{"exp":0},"none":{},"text":{"exp":"1"},"now":{"exp":1750000000},)"
                             R"("ahead":{"exp":1750000001},"ahead":{"exp":1750000002}})";
    const std::string kept_pretty = "{\n    \"zero\": {\n        \"exp\": 0\n    },\n    \"none\": {},\n"
                                    "    \"text\": {\n        \"exp\": \"1\"\n    },\n"
                                    "    \"now\": {\n        \"exp\": 1750000000\n    },\n"
                                    "    \"ahead\": {\n        \"exp\": 1750000001\n    },\n"
                                    "    \"ahead\": {\n        \"exp\": 1750000002\n    }\n}";
    const std::string mixed = R"({"old":{"exp":1749999999},"zero":{"exp":0},"number":7,"none":{},"text":{"exp":"1"},)"
                              R"("now":{"exp":1750000000},"ahead":{"exp":1750000001},"gone":{"exp":1},"ahead":{"exp":1750000002}})";
    struct Case {
        const char* what;
        std::optional<std::string> before;  // revoked.json, when there is one
        int result;
        std::size_t removed;
        std::optional<std::string> after;
    };
    const std::vector<Case> cases = {
        {"no revoked.json: nothing made", std::nullopt, 0, 0, std::nullopt},
        {"past their expiry and not objects go", mixed, 0, 3, kept_pretty},
        {"nothing to drop: left byte for byte", kept, 0, 0, kept},
        {"an array root is no list to sweep", "[1]", 0, 0, "[1]"},
        {"unparseable: left to fail closed", "{\"a\":", -1, 0, "{\"a\":"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path);
        if (c.before) write_file(path, *c.before);
        std::size_t removed = 99;
        EXPECT_EQ(id_revoke_sweep(&removed), c.result);
        EXPECT_EQ(removed, c.removed);
        EXPECT_EQ(std::filesystem::exists(path), c.after.has_value());
        if (c.after) {
            EXPECT_EQ(read_file(path), *c.after);
        }
    }
    write_file(path, "{\"a\":");
    EXPECT_EQ(id_revoke_sweep(nullptr), -1);
    EXPECT_EQ(id_revoke_is_jti("anything"), 1) << "the unreadable list still revokes everything";
}

TEST_F(TokenFiles, UnusableRevocationListsAreReplaced) {
    const std::string path = data.file("revoked.json");
    const std::string only_new = revoked({{"n", kNow + 9, "", ""}});
    struct Case {
        const char* name;
        std::string content;
        int revoked_before;  // what any identifier reads as before the add
        Names files;
    };
    const std::string aside = "revoked.json.corrupt-" + std::to_string(kNow);
    const std::vector<Case> cases = {
        {"missing", "", 0, {"revoked.json", "revoked.json.lock"}},
        {"unparseable: kept aside", "{\"a\":", 1, {"revoked.json", aside, "revoked.json.lock"}},
        {"nested past the limit: kept aside", std::string(100000, '{'), 1, {"revoked.json", aside, "revoked.json.lock"}},
        {"an array", R"([{"a":{"exp":1999999999}}])", 0, {"revoked.json", "revoked.json.lock"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(data.dir());
        std::filesystem::create_directory(data.dir());
        if (!c.content.empty()) write_file(path, c.content);
        EXPECT_EQ(id_revoke_is_jti("a"), c.revoked_before);
        ASSERT_EQ(id_revoke_add_jti("n", kNow + 9, nullptr, nullptr), 0);
        EXPECT_EQ(read_file(path), only_new);
        EXPECT_EQ(id_revoke_is_jti("a"), 0) << "the change set the unusable list aside";
        EXPECT_EQ(files_in(data.dir()), c.files);
        if (c.files.size() == 3) {
            EXPECT_EQ(read_file(data.file(aside)), c.content);
        }
    }
}

// A revocation holds for as long as its token is accepted: verification takes a token in the
// second of its "exp", so the check must still answer revoked in that second.
TEST_F(TokenFiles, ARevokedTokenReadsRevokedInEverySecondItStillVerifies) {
    const tarn::test::Bytes key(32, 0x4B);
    write_file(data.file("secret.key"), std::string(key.begin(), key.end()));
    const std::int64_t exp = kNow + 60;
    const std::string token = tarn::test::hs256_token(
        R"({"alg":"HS256","typ":"JWT"})", R"({"jti":"j1","exp":)" + std::to_string(exp) + "}", key);
    ASSERT_EQ(id_revoke_add_jti("j1", exp, "usr_1", "client_1"), 0);
    struct Second {
        std::int64_t now;
        int verified;
        int revoked;
    };
    for (const Second& s : std::vector<Second>{{kNow, 0, 1}, {exp - 1, 0, 1}, {exp, 0, 1}, {exp + 1, -3, 0}}) {
        SCOPED_TRACE(s.now - exp);
        g_now = s.now;
        EXPECT_EQ(id_jwt_verify(token.c_str(), nullptr), s.verified);
        EXPECT_EQ(id_revoke_is_jti("j1"), s.revoked);
    }
    // An add in the expiry second keeps the entry; one in the next second drops it.
    g_now = exp;
    ASSERT_EQ(id_revoke_add_jti("other", exp + 100, "", ""), 0);
    EXPECT_NE(read_file(data.file("revoked.json")).find("\"j1\""), std::string::npos);
    g_now = exp + 1;
    ASSERT_EQ(id_revoke_add_jti("other", exp + 100, "", ""), 0);
    EXPECT_EQ(read_file(data.file("revoked.json")), revoked({{"other", exp + 100, "", ""}}));
}

TEST_F(TokenFiles, ARevocationWithoutExpirySurvivesEveryLaterRevocation) {
    ASSERT_EQ(id_revoke_add_jti("forever", 0, "usr_1", "client_1"), 0);
    for (int i = 0; i < 3; ++i) {
        g_now = kNow + 86400 * (i + 1);
        ASSERT_EQ(id_revoke_add_jti(("later-" + std::to_string(i)).c_str(), g_now + 10, "", ""), 0);
        EXPECT_EQ(id_revoke_is_jti("forever"), 1) << "after add " << i;
    }
    // Still the first member, as it was written; each later add pruned the one before it.
    EXPECT_EQ(read_file(data.file("revoked.json")),
              revoked({{"forever", 0, "usr_1", "client_1"}, {"later-2", kNow + 3 * 86400 + 10, "", ""}}));
}

// A list that cannot be read or parsed cannot tell a revoked token from another: every identifier
// reads as revoked until a change sets the file aside (or, unreadable, it is mended by hand).
TEST_F(TokenFiles, AnUnusableRevocationListFailsClosed) {
    const std::string path = data.file("revoked.json");
    struct Case {
        const char* name;
        std::function<void()> make;
        int add_result;  // of the add that follows
    };
    const std::vector<Case> cases = {
        {"cut short", [&] { write_file(path, R"({"a":{"exp":1999999999},"b":)"); }, 0},
        {"not UTF-8", [&] { write_file(path, "{\"\xC3\x28\":{\"exp\":0}}"); }, 0},
        {"nested past the limit", [&] { write_file(path, "{\"a\":" + std::string(200, '[')); }, 0},
        {"empty file", [&] { write_file(path, ""); }, 0},
        {"a directory in its place", [&] { std::filesystem::create_directory(path); }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(data.dir());
        std::filesystem::create_directory(data.dir());
        c.make();
        for (const char* jti : {"a", "b", "never-seen"}) EXPECT_EQ(id_revoke_is_jti(jti), 1) << jti;
        EXPECT_EQ(id_revoke_is_jti(""), 0);
        EXPECT_EQ(id_revoke_add_jti("n", kNow + 9, nullptr, nullptr), c.add_result);
        EXPECT_EQ(id_revoke_is_jti("never-seen"), c.add_result == 0 ? 0 : 1);
        EXPECT_EQ(id_revoke_is_jti("n"), 1) << "revoked by the add, or by the unreadable list";
    }
}

// secret.key is raw bytes, not a document the sweep could parse: its lock is checked before
// each run instead (every run but the last, which is a clean one, is followed by another).
void secret_lock_is_free() {
    id_lock lock;
    EXPECT_EQ(id_lock_acquire_wait(&lock, "secret.key", 0), 0) << "the lock of secret.key is held";
    id_lock_release(&lock);
}

// The secret handed out is the one on disk, and a failure hands out nothing.
int get_secret_checked(const std::string& path) {
    unsigned char out[32];
    const int rc = id_get_secret_key(out);
    EXPECT_EQ(secret_text(out), rc == 0 ? read_file(path).substr(0, 32) : std::string(32, '\0'));
    return rc;
}

TEST(TokenFilesSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    const std::string key_path = data.file("secret.key");
    auto starting = [&dir](tarn::test::DirState files) {
        return [&dir, files] {
            secret_lock_is_free();
            std::filesystem::remove_all(dir);
            std::filesystem::create_directory(dir);
            for (const auto& [name, bytes] : files) write_file(dir + "/" + name, bytes);
        };
    };
    const std::int64_t now = tarn::test::kSweepNow;
    const std::string listed = revoked({{"old", now - 1, "", ""}, {"keep", now + 60, "s", "c"}, {"x", now + 9, "", ""}});
    auto revoke = [] { return id_revoke_add_jti("x", tarn::test::kSweepNow + 600, "usr_1", "client_1"); };
    auto secret = [key_path] { return get_secret_checked(key_path); };
    using tarn::test::SweepCase;
    const std::vector<SweepCase> cases = {
        SweepCase("secret.key made", {}, starting({}), secret),
        SweepCase("short secret.key replaced", {}, starting({{"secret.key", std::string(31, 'k')}}), secret),
        SweepCase("usable secret.key read", {}, starting({{"secret.key", std::string(33, 'k')}}), secret),
        SweepCase("revoked.json made", {"revoked.json"}, starting({}), revoke),
        SweepCase("revoked.json pruned and added to", {"revoked.json"}, starting({{"revoked.json", listed}}), revoke),
        SweepCase("unparseable revoked.json set aside and replaced", {"revoked.json"},
                  starting({{"revoked.json", "{\"x\":"}}), revoke),
        SweepCase("revoked.json with an array root replaced", {"revoked.json"}, starting({{"revoked.json", "[]"}}), revoke),
        SweepCase("revoked.json swept", {"revoked.json"}, starting({{"revoked.json", listed}}),
                  [] { return id_revoke_sweep(nullptr); }),
    };
    for (const SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-55s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls, s.runs, s.changed);
    }
}

}  // namespace
