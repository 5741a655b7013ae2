// Every changing operation of the key store under the fault sweep: the N-th file system call
// fails, for every N, and keys.json holds its old state or the clean run's new one, as the result
// code says, with no temporary file left and the lock free; a failed rotation or pruning also
// leaves this process's key table as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "id_foundation.h"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "support/fault_sweep.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::DirState;
using tarn::test::kSweepNow;
using tarn::test::SweepCase;
using tarn::test::SweepRun;

std::int64_t g_clock = 0;
std::int64_t test_clock() { return g_clock; }

// keys.json with one key, and with three of which two are retired and 100 days old, made once
// by the store itself.
struct KeyFiles {
    std::string one;
    std::string three;
};

const KeyFiles& key_files(const std::string& dir) {
    static const KeyFiles files = [&dir] {
        tarn::test::reset_dir(dir, {});
        tarn::keys::testing::reset_table();
        g_clock = kSweepNow - 100 * 86400;
        tarn::testing::set_clock(&test_clock);
        KeyFiles f;
        if (id_keys_load_or_create() != 0) std::abort();
        f.one = tarn::test::read_file(dir + "/keys.json");
        if (id_keys_rotate() != 0 || id_keys_rotate() != 0) std::abort();
        f.three = tarn::test::read_file(dir + "/keys.json");
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::reset_table();
        return f;
    }();
    return files;
}

// The table this process holds, as the key listing shows it.
std::string table_listing() {
    char* text = id_keys_list_json();
    std::string out = text ? text : "<null>";
    id_free(text);
    return out;
}

// A key-store operation that must leave this process's table as it was when it fails.
std::function<int()> keeps_table_on_failure(std::function<int()> op) {
    return [op] {
        const std::string before = table_listing();
        const int r = op();
        if (r < 0) {
            EXPECT_EQ(table_listing(), before) << "a failed operation changed the table";
        }
        return r;
    };
}

// For first-key creation a failed save is retried with a fresh key, so a run that succeeds after
// an injected fault may hold another key than the clean run: it must hold exactly one, active,
// and this process must use that one.
void one_active_key_stored(const SweepRun& run) {
    ASSERT_EQ(run.after.count("keys.json"), 1u);
    tarn::Document doc;
    ASSERT_TRUE(tarn::parse_json(run.after.at("keys.json"), doc));
    ASSERT_TRUE(doc.IsObject() && doc["keys"].IsArray());
    ASSERT_EQ(doc["keys"].Size(), 1u);
    EXPECT_STREQ(doc["active"].GetString(), doc["keys"][0]["kid"].GetString());
    char kid[24] = "";
    ASSERT_EQ(id_keys_get_active(nullptr, nullptr, kid), 0);
    EXPECT_STREQ(kid, doc["active"].GetString());
    for (const auto& [name, bytes] : run.after)
        EXPECT_TRUE(name == "keys.json" || run.before.count(name) || run.clean.count(name)) << name;
}

// With a published key set: whatever call fails, the file holds what it held before when the
// change failed (or, for a first key, the body or nothing), and the body of the new keys when it
// succeeded; its temporary file never stays.
std::function<int()> published_follows(const std::string& file, std::function<int()> op) {
    return [file, op] {
        const std::string before = tarn::test::read_file(file);
        const bool existed = tarn::test::file_exists(file);
        const int r = op();
        EXPECT_FALSE(tarn::test::file_exists(file + ".tmp")) << "a temporary file stayed";
        if (r < 0) {
            EXPECT_EQ(tarn::test::read_file(file), before) << "a failed change altered the published key set";
            EXPECT_EQ(tarn::test::file_exists(file), existed);
        } else if (tarn::test::file_exists(file)) {
            char* keys = id_keys_jwks_json();
            EXPECT_EQ(tarn::test::read_file(file), std::string("{\"keys\":") + (keys ? keys : "") + "}\n");
            id_free(keys);
        } else {
            EXPECT_EQ(r, 0);  // only a first key or a load goes on without its file
        }
        return r;
    };
}

TEST(KeysFaultSweep, EveryChangingOperationWithAPublishedKeySet) {
    DataDirFixture data;
    const std::string dir = data.dir();
    const KeyFiles& keys = key_files(dir);
    tarn::test::TempDir pub;
    const std::string file = pub.file("jwks.json");
    tarn::test::ScopedEnv env("IDENTITY_JWKS_FILE", file);
    auto loaded = [&dir, &file](DirState files, bool published) {
        return [&dir, &file, files, published] {
            tarn::test::reset_dir(dir, files);
            std::remove(file.c_str());
            tarn::keys::testing::reset_table();
            if (id_keys_load_or_create() != 0) std::abort();  // writes the file
            if (!published) std::remove(file.c_str());
        };
    };
    const std::vector<SweepCase> cases = {
        SweepCase("first key created and published", {"keys.json"},
                  [&dir, &file] {
                      tarn::test::reset_dir(dir, {});
                      std::remove(file.c_str());
                      tarn::keys::testing::reset_table();
                  },
                  published_follows(file, id_keys_load_or_create))
            .judged_by(one_active_key_stored),
        SweepCase("rotation, published", {"keys.json"}, loaded({{"keys.json", keys.one}}, true),
                  published_follows(file, keeps_table_on_failure(id_keys_rotate))),
        SweepCase("rotation, the published file missing before", {"keys.json"}, loaded({{"keys.json", keys.one}}, false),
                  published_follows(file, keeps_table_on_failure(id_keys_rotate))),
        SweepCase("pruning by seconds, published", {"keys.json"}, loaded({{"keys.json", keys.three}}, true),
                  published_follows(file, keeps_table_on_failure([] { return id_keys_prune_age(30 * 86400, 0, nullptr, 0); }))),
    };
    for (const SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-70s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls,
                    s.runs, s.changed);
    }
    tarn::keys::testing::reset_table();
}

TEST(KeysFaultSweep, EveryChangingOperation) {
    DataDirFixture data;
    const std::string dir = data.dir();
    const KeyFiles& keys = key_files(dir);
    const std::string deep(1000000, '[');

    auto starting = [&dir](DirState files) {
        return [&dir, files] {
            tarn::test::reset_dir(dir, files);
            tarn::keys::testing::reset_table();
        };
    };
    // A key-store operation runs on a table this process has loaded already.
    auto loaded = [&dir](DirState files) {
        return [&dir, files] {
            tarn::test::reset_dir(dir, files);
            tarn::keys::testing::reset_table();
            if (id_keys_load_or_create() != 0) std::abort();
        };
    };

    const std::vector<SweepCase> cases = {
        SweepCase("first key created", {"keys.json"}, starting({}), id_keys_load_or_create)
            .judged_by(one_active_key_stored),
        SweepCase("unparseable keys.json set aside and a first key created", {"keys.json"},
                  starting({{"keys.json", "not json"}}), id_keys_load_or_create)
            .judged_by(one_active_key_stored),
        SweepCase("keys.json nested a million deep set aside and a first key created", {"keys.json"},
                  starting({{"keys.json", deep}}), id_keys_load_or_create)
            .judged_by(one_active_key_stored),
        SweepCase("rotation", {"keys.json"}, loaded({{"keys.json", keys.one}}),
                  keeps_table_on_failure(id_keys_rotate)),
        SweepCase("pruning", {"keys.json"}, loaded({{"keys.json", keys.three}}),
                  keeps_table_on_failure([] { return id_keys_prune(30); })),
    };
    for (const SweepCase& c : cases) {
        const tarn::test::SweepSummary s = tarn::test::fault_sweep(dir, c);
        std::printf("%-70s %3d calls, %3d faulted runs, %3d still changed\n", c.name.c_str(), s.io_calls,
                    s.runs, s.changed);
    }
    tarn::keys::testing::reset_table();
}

}  // namespace
