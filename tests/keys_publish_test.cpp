// The published key set on a real data directory: every change of keys.json writes the jwks
// program's body to the configured file (mode 0644, atomically, before it returns), a change that
// cannot publish changes nothing, the next load mends a file left stale or missing, pruning by
// seconds and its dry run, the read-only inspection, and processes changing and loading the keys
// together.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_foundation.h"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::file_exists;
using tarn::test::file_mode;
using tarn::test::files_in;
using tarn::test::read_file;
using tarn::test::ScopedEnv;
using tarn::test::take;
using tarn::test::TempDir;
using tarn::test::write_file;

constexpr std::int64_t kNow = 1750000000;
std::int64_t g_now = kNow;
std::int64_t test_clock() { return g_now; }

// Renames onto keys.json fail; every other rename goes through.
int fail_keys_rename(const char* from, const char* to) {
    const std::string target = to;
    if (target.size() >= 9 && target.compare(target.size() - 9, 9, "keys.json") == 0) {
        errno = EIO;
        return -1;
    }
    return ::rename(from, to);
}

class PublishedKeySet : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = kNow;
        tarn::testing::set_clock(&test_clock);
        tarn::keys::testing::reset_table();
    }
    void TearDown() override {
        tarn::io_ops() = tarn::system_io();
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::reset_table();
    }
    // The body jwks answers from this process's table.
    std::string document() { return "{\"keys\":" + take(id_keys_jwks_json()) + "}\n"; }
    std::string published() { return read_file(file); }
    std::string keys() { return read_file(data.file("keys.json")); }
    // keys.json as the inspection sees it, without loading (so without mending) anything.
    tarn::Document inspect() {
        tarn::Document doc;
        EXPECT_TRUE(tarn::parse_json(take(id_keys_inspect_json()), doc));
        return doc;
    }
    std::string published_state() { return inspect()["jwks_file"]["state"].GetString(); }
    // Rewrites the "created" of every key of keys.json, in order.
    void set_created(const std::vector<std::int64_t>& created) {
        tarn::Document doc;
        ASSERT_TRUE(tarn::parse_json(keys(), doc));
        for (rapidjson::SizeType i = 0; i < created.size(); ++i) doc["keys"][i]["created"].SetInt64(created[i]);
        std::string text;
        ASSERT_TRUE(tarn::write_json(doc, true, text));
        write_file(data.file("keys.json"), text);
        tarn::keys::testing::reset_table();
    }

    DataDirFixture data;
    TempDir pub;
    std::string file = pub.file("jwks.json");
    ScopedEnv env{"IDENTITY_JWKS_FILE", file};
};

TEST_F(PublishedKeySet, TheFirstKeyRotationAndPruningPublishTheBody) {
    const mode_t old_mask = ::umask(077);  // the file is readable by all whatever the umask
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ::umask(old_mask);
    EXPECT_EQ(published(), document());
    EXPECT_EQ(file_mode(file), 0644u);
    EXPECT_EQ(published(), take(id_keys_jwks_document()));

    ASSERT_EQ(id_keys_rotate(), 0);
    EXPECT_EQ(published(), document());
    EXPECT_EQ(inspect()["keys"].Size(), 2u);
    EXPECT_NE(published().find(tarn::keys::g_table.keys[0].kid), std::string::npos);
    EXPECT_NE(published().find(tarn::keys::g_table.keys[1].kid), std::string::npos);

    set_created({kNow - 7200, kNow});
    const std::string retired = inspect()["keys"][0]["kid"].GetString();
    char kids[64];
    EXPECT_EQ(id_keys_prune_age(3600, 0, kids, sizeof kids), 1);
    EXPECT_STREQ(kids, retired.c_str());
    EXPECT_EQ(published(), document());
    EXPECT_EQ(published().find(retired), std::string::npos);
    // Nothing of the publication lands in the data directory, and nothing is left beside the file.
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
    EXPECT_EQ(files_in(pub.path()), std::vector<std::string>{"jwks.json"});
}

TEST_F(PublishedKeySet, WithoutAConfiguredFileNothingIsWritten) {
    ScopedEnv none("IDENTITY_JWKS_FILE", std::nullopt);
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ASSERT_EQ(id_keys_rotate(), 0);
    EXPECT_EQ(files_in(pub.path()), std::vector<std::string>{});
    EXPECT_EQ(files_in(data.dir()), (std::vector<std::string>{"keys.json", "keys.json.lock"}));
    EXPECT_STREQ(inspect()["jwks_file"]["state"].GetString(), "none");
}

TEST_F(PublishedKeySet, TheNextLoadMendsAStaleOrMissingFile) {
    ASSERT_EQ(id_keys_load_or_create(), 0);
    const std::string body = published();
    for (const char* what : {"stale", "missing", "rotated without the setting"}) {
        if (std::string(what) == "stale") write_file(file, "{\"keys\":[]}\n");
        if (std::string(what) == "missing") std::filesystem::remove(file);
        if (std::string(what) == "rotated without the setting") {
            ScopedEnv none("IDENTITY_JWKS_FILE", std::nullopt);
            ASSERT_EQ(id_keys_rotate(), 0);
        }
        EXPECT_NE(published_state(), "current") << what;
        tarn::keys::testing::reset_table();  // as the next process
        ASSERT_EQ(id_keys_load_or_create(), 0);
        EXPECT_EQ(published(), document()) << what;
        EXPECT_EQ(published_state(), "current") << what;
    }
    EXPECT_NE(published(), body);  // the rotation's key is published now
}

// What sits at the published path is read by every process that loads the keys, under the
// keys.json lock: a FIFO (whose read would wait for a writer, holding every signer up) or a file
// far larger than any key set is not read, and is replaced like a stale file.
TEST_F(PublishedKeySet, WhatIsNoKeySetAtThePathIsReplacedUnread) {
    const std::vector<std::string> planted = {"fifo", "huge"};
    for (const std::string& what : planted) {
        std::filesystem::remove(file);
        if (what == "fifo") {
            ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
        }
        if (what == "huge") write_file(file, std::string(2 << 20, ' '));
        // In a child with an alarm: a read that waits for a writer ends the child, not the test.
        const std::vector<int> status = tarn::test::run_together(1, [this](int) {
            ::alarm(20);
            if (published_state() != "unreadable") return 1;
            tarn::keys::testing::reset_table();
            if (id_keys_load_or_create() != 0) return 2;
            return published_state() == "current" ? 0 : 3;
        });
        EXPECT_EQ(status, std::vector<int>{0}) << what;
        tarn::keys::testing::reset_table();
        ASSERT_EQ(id_keys_load_or_create(), 0);
        EXPECT_EQ(published(), document()) << what;
    }
}

TEST_F(PublishedKeySet, AChangeThatCannotPublishChangesNothing) {
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ASSERT_EQ(id_keys_rotate(), 0);
    set_created({kNow - 7200, kNow});
    ASSERT_EQ(id_keys_load_or_create(), 0);
    const std::string stored = keys();
    const std::string table = take(id_keys_list_json());
    ScopedEnv nowhere("IDENTITY_JWKS_FILE", pub.file("no/such/dir/jwks.json"));
    EXPECT_EQ(id_keys_rotate(), -1);
    char kids[64] = "x";
    EXPECT_EQ(id_keys_prune_age(3600, 0, kids, sizeof kids), -1);
    EXPECT_STREQ(kids, "");
    EXPECT_EQ(id_keys_prune(0), -1);
    EXPECT_EQ(keys(), stored);
    EXPECT_EQ(take(id_keys_list_json()), table);
    // A first key is made all the same: the program answers while there is no file.
    ScopedEnv fresh_data("IDENTITY_DATA_DIR", data.dir() + "/fresh");
    tarn::keys::testing::reset_table();
    EXPECT_EQ(id_keys_load_or_create(), 0);
    EXPECT_TRUE(file_exists(data.dir() + "/fresh/keys.json"));
}

TEST_F(PublishedKeySet, AFailedSaveOfKeysJsonPutsThePublishedFileBack) {
    ASSERT_EQ(id_keys_load_or_create(), 0);
    const std::string stored = keys();
    const std::string body = published();
    tarn::io_ops().rename = &fail_keys_rename;
    EXPECT_EQ(id_keys_rotate(), -1);
    EXPECT_EQ(published(), body);
    EXPECT_EQ(keys(), stored);
    // A file that was missing is missing again.
    std::filesystem::remove(file);
    EXPECT_EQ(id_keys_rotate(), -1);
    EXPECT_FALSE(file_exists(file));
    EXPECT_EQ(keys(), stored);
    EXPECT_EQ(files_in(pub.path()), std::vector<std::string>{});
}

TEST_F(PublishedKeySet, PruningBySecondsAndItsDryRun) {
    ASSERT_EQ(id_keys_load_or_create(), 0);
    ASSERT_EQ(id_keys_rotate(), 0);
    ASSERT_EQ(id_keys_rotate(), 0);
    // Created exactly max_age ago is kept (not strictly before); a second older goes.
    set_created({kNow - 3601, kNow - 3600, kNow});
    const tarn::Document before = inspect();
    const std::string older = before["keys"][0]["kid"].GetString();
    const std::string stored = keys();
    ASSERT_EQ(id_keys_load_or_create(), 0);
    const std::string body = published();
    char kids[64];
    EXPECT_EQ(id_keys_prune_age(3600, 1, kids, sizeof kids), 1);
    EXPECT_STREQ(kids, older.c_str());
    EXPECT_EQ(keys(), stored);
    EXPECT_EQ(published(), body);
    EXPECT_EQ(id_keys_prune_age(3599, 1, kids, sizeof kids), 2);
    EXPECT_EQ(std::string(kids), older + " " + before["keys"][1]["kid"].GetString());
    char tiny[5];
    EXPECT_EQ(id_keys_prune_age(3599, 1, tiny, sizeof tiny), 2);  // the kids are cut to fit
    EXPECT_EQ(std::string(tiny), older.substr(0, 4));
    EXPECT_EQ(id_keys_prune_age(3600, 0, nullptr, 0), 1);
    EXPECT_EQ(inspect()["keys"].Size(), 2u);
    EXPECT_EQ(published(), document());
    // An age beyond any time still counts from now, never wrapping around.
    EXPECT_EQ(id_keys_prune_age(INT64_MAX, 0, nullptr, 0), 0);
    EXPECT_EQ(id_keys_prune_age(-1, 1, kids, sizeof kids), 1);  // a negative age: every retired key
}

TEST_F(PublishedKeySet, TheInspectionReadsWithoutChangingAnything) {
    struct Case {
        const char* name;
        std::string keys_json;  // "" for no keys.json
        const char* state;
        std::vector<std::string> problems;
    };
    ASSERT_EQ(id_keys_load_or_create(), 0);
    const std::string good = keys();
    tarn::Document parsed;
    ASSERT_TRUE(tarn::parse_json(good, parsed));
    const std::string kid = parsed["active"].GetString();
    std::string wrong_active = good;
    wrong_active.replace(wrong_active.find(kid), kid.size(), "not-the-kid-0000");
    const std::vector<Case> cases = {
        {"missing", "", "missing", {}},
        {"good", good, "read", {}},
        {"invalid", "{\"keys\":", "invalid", {}},
        {"no list", "{\"active\":\"x\",\"keys\":{}}", "read",
         {"keys.json holds no list of keys: the key store refuses it"}},
        {"no usable key", "{\"active\":\"x\",\"keys\":[{\"kid\":\"x\",\"priv_der_b64\":\"AAAA\"}]}", "read",
         {"keys.json holds no usable key: nothing can be signed or published"}},
        {"active not usable", wrong_active, "read",
         {"the active key \"not-the-kid-0000\" is not a usable key of keys.json: nothing can be signed"}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(file);
        if (c.keys_json.empty()) {
            std::filesystem::remove(data.file("keys.json"));
        } else {
            write_file(data.file("keys.json"), c.keys_json);
        }
        tarn::keys::testing::reset_table();
        const tarn::Document r = inspect();
        EXPECT_STREQ(r["state"].GetString(), c.state) << c.name;
        std::vector<std::string> problems;
        for (const auto& p : r["problems"].GetArray()) problems.push_back(p.GetString());
        EXPECT_EQ(problems, c.problems) << c.name;
        EXPECT_STREQ(r["jwks_file"]["state"].GetString(), "missing") << c.name;
        EXPECT_FALSE(tarn::keys::g_store_loaded) << c.name;
        EXPECT_EQ(read_file(data.file("keys.json")), c.keys_json) << c.name;  // nothing made or mended
        EXPECT_FALSE(file_exists(file)) << c.name;
    }
    // A stale published file is a problem; a current one is not.
    write_file(data.file("keys.json"), good);
    write_file(file, "{\"keys\":[]}\n");
    tarn::Document r = inspect();
    EXPECT_STREQ(r["jwks_file"]["state"].GetString(), "stale");
    EXPECT_STREQ(r["problems"][0].GetString(),
                 ("the published key set " + file + " is not the key set of keys.json").c_str());
    EXPECT_EQ(r["usable"].GetInt(), 1);
    EXPECT_TRUE(r["keys"][0]["usable"].GetBool());
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_STREQ(inspect()["jwks_file"]["state"].GetString(), "current");
    // Nor is the data directory made when it is missing.
    ScopedEnv elsewhere("IDENTITY_DATA_DIR", data.dir() + "/not-yet");
    EXPECT_STREQ(inspect()["state"].GetString(), "missing");
    EXPECT_FALSE(file_exists(data.dir() + "/not-yet"));
}

TEST_F(PublishedKeySet, ProcessesChangingAndLoadingTogetherLeaveItCurrent) {
    ASSERT_EQ(id_keys_load_or_create(), 0);
    // Three rotate twice and prune, five load afresh again and again; every one of them writes
    // or mends the file under the keys.json lock.
    const std::vector<int> status = tarn::test::run_together(8, [](int index) {
        tarn::keys::testing::reset_table();
        if (index < 3) {
            if (id_keys_rotate() != 0 || id_keys_rotate() != 0) return 1;
            return id_keys_prune_age(0, 0, nullptr, 0) < 0 ? 2 : 0;
        }
        for (int i = 0; i < 20; ++i) {
            tarn::keys::testing::reset_table();
            if (id_keys_load_or_create() != 0) return 3;
        }
        return 0;
    });
    EXPECT_EQ(status, std::vector<int>(8, 0));
    EXPECT_EQ(published_state(), "current");
    tarn::keys::testing::reset_table();
    ASSERT_EQ(id_keys_load_or_create(), 0);
    EXPECT_EQ(published(), document());
}

}  // namespace
