// The audit trail: entries as stored and listed, the cap of 2000, newest-first listing within its
// limit, pruning, every failure with its server.log line and the log left as it was, and racing
// processes that lose no event.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "foundation/fileio.hpp"
#include "id_audit.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/signin_support.hpp"
#include "support/test_env.hpp"

namespace {

using namespace tarn::test;

constexpr std::int64_t t = 1750000000;

// A compact audit_log.json of events "e0" to "e<n-1>", oldest first.
std::string events(int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i)
        s += std::string(i ? "," : "") + "{\"ts\":" + std::to_string(t - n + i) + ",\"event\":\"e" + std::to_string(i) +
             "\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"?\",\"detail\":\"\"}";
    return s + "]";
}

// The "event" members of a listing, in its order.
std::vector<std::string> listed_events(int max) {
    tarn::Document doc;
    EXPECT_TRUE(tarn::parse_json(take(id_audit_list_json(max)), doc));
    std::vector<std::string> out;
    for (const auto& e : doc.GetArray()) out.push_back(e["event"].GetString());
    return out;
}

class Audit : public ::testing::Test {
protected:
    std::string stored() { return read_file(data.file("audit_log.json")); }
    void store(const std::string& text) { write_file(data.file("audit_log.json"), text); }

    DataDirFixture data;
    SetClock clock{t};
};

TEST_F(Audit, EntriesHoldWhatTheyWereGiven) {
    EXPECT_EQ(id_audit_record("login", "usr_1", "alice", "10.0.0.1", "password"), 0);
    EXPECT_EQ(stored(), "[\n    {\n        \"ts\": 1750000000,\n        \"event\": \"login\",\n        \"user_id\": "
                        "\"usr_1\",\n        \"username\": \"alice\",\n        \"ip\": \"10.0.0.1\",\n        "
                        "\"detail\": \"password\"\n    }\n]");
    EXPECT_EQ(id_audit_record("login_failed", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(id_audit_record("x", "", "", "", ""), 0);
    // Bytes that are not UTF-8 (a lone byte, a cut sequence, a surrogate) become U+FFFD.
    EXPECT_EQ(id_audit_record("y", nullptr, "bad\xff\xc3name", nullptr, "\xed\xa0\x80"), 0);
    EXPECT_EQ(id_audit_record("", "usr_1", nullptr, nullptr, nullptr) + id_audit_record(nullptr, 0, 0, 0, 0), -2);
    EXPECT_EQ(take(id_audit_list_json(0)),
              "[{\"ts\":1750000000,\"event\":\"y\",\"user_id\":\"\",\"username\":\"bad\xEF\xBF\xBD\xEF\xBF\xBDname\","
              "\"ip\":\"?\",\"detail\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"},"
              "{\"ts\":1750000000,\"event\":\"x\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"?\",\"detail\":\"\"},"
              "{\"ts\":1750000000,\"event\":\"login_failed\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"?\",\"detail\":\"\"},"
              "{\"ts\":1750000000,\"event\":\"login\",\"user_id\":\"usr_1\",\"username\":\"alice\",\"ip\":\"10.0.0.1\","
              "\"detail\":\"password\"}]");
    EXPECT_EQ(id_audit_count(), 4);
    EXPECT_TRUE(log_messages(data.dir()).empty());
}

TEST_F(Audit, KeepsTheNewest2000) {
    store(events(2000));
    EXPECT_EQ(id_audit_count(), 2000);
    ASSERT_EQ(id_audit_record("new", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(id_audit_count(), 2000);
    const std::vector<std::string> listed = listed_events(2000);
    ASSERT_EQ(listed.size(), 2000u);
    EXPECT_EQ(listed.front(), "new");
    EXPECT_EQ(listed.back(), "e1");
}

TEST_F(Audit, ListsNewestFirstWithinItsLimit) {
    EXPECT_EQ(take(id_audit_list_json(5)), "[]");
    std::string junk = events(10);
    junk.replace(junk.find("{\"ts\":1749999998"), junk.find(",{\"ts\":1749999999") - junk.find("{\"ts\":1749999998"), "5");
    struct Case {
        std::string file;
        int max;
        std::vector<std::string> listed;
    } cases[] = {
        {events(10), 3, {"e9", "e8", "e7"}},
        {junk, 3, {"e9", "e7"}},  // what is not an object counts against the limit
        {events(2), 50, {"e1", "e0"}},
        {"{\"0\":{\"event\":\"e0\"}}", 5, {}},
    };
    for (const Case& c : cases) {
        store(c.file);
        EXPECT_EQ(listed_events(c.max), c.listed) << c.max;
    }
    store(events(250));
    EXPECT_EQ(listed_events(0).size(), 200u);
    EXPECT_EQ(listed_events(-5).size(), 200u);
    store("[{}, {\"ts\":\"1\",\"event\":7,\"ip\":\"\"}]");
    EXPECT_EQ(take(id_audit_list_json(0)),
              "[{\"ts\":0,\"event\":\"\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"\",\"detail\":\"\"},"
              "{\"ts\":0,\"event\":\"\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"?\",\"detail\":\"\"}]");
}

TEST_F(Audit, PruningKeepsTheNewest) {
    struct Case {
        std::string file;
        int keep, removed, left;
    } cases[] = {
        {events(150), 100, 50, 100}, {events(150), 200, 0, 150}, {events(150), -1, 150, 0},
        {"[{\"ts\": ", 10, 0, 0},    {"{\"a\":1}", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.substr(0, 10) + " keeping " + std::to_string(c.keep));
        store(c.file);
        EXPECT_EQ(id_audit_prune(c.keep), c.removed);
        EXPECT_EQ(id_audit_count(), c.left);
        if (c.removed == 0) {
            EXPECT_EQ(stored(), c.file);  // not rewritten
        } else if (c.left > 0) {
            EXPECT_EQ(listed_events(c.left).back(), "e" + std::to_string(150 - c.left));
        }
    }
    std::remove(data.file("audit_log.json").c_str());
    EXPECT_EQ(id_audit_prune(10), 0);
    EXPECT_FALSE(file_exists(data.file("audit_log.json")));
}

int fail_rename(const char*, const char*) {
    errno = EIO;
    return -1;
}

TEST_F(Audit, FailuresLeaveTheLogAndSaySoInServerLog) {
    const std::string unaffected = " (event=login) \u2014 sign-in unaffected";
    struct Case {
        std::string file;
        std::function<void()> fault;
        std::string line;
    } cases[] = {
        {events(3), [this] { ::mkdir(data.file("audit_log.json.lock").c_str(), 0700); },
         "AUDIT: lock failed for audit_log.json" + unaffected},
        {"[{\"ts\": ", [] {}, "AUDIT: unreadable audit_log.json left as it is" + unaffected},
        {"{\"ts\": 1}", [] {}, "AUDIT: unreadable audit_log.json left as it is" + unaffected},
        {events(3), [] { tarn::io_ops().rename = fail_rename; }, "AUDIT: save failed for audit_log.json" + unaffected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        store(c.file);
        std::remove(data.file("server.log").c_str());
        c.fault();
        EXPECT_EQ(id_audit_record("login", "usr_1", "alice", "10.0.0.1", nullptr), -1);
        tarn::io_ops() = tarn::system_io();
        ::rmdir(data.file("audit_log.json.lock").c_str());
        EXPECT_EQ(stored(), c.file);
        EXPECT_EQ(log_messages(data.dir()), std::vector<std::string>{c.line});
    }
}

TEST_F(Audit, RacingProcessesLoseNoEvent) {
    const std::vector<int> statuses = run_together(10, [](int p) {
        int failed = 0;
        for (int i = 0; i < 20; ++i)
            failed += id_audit_record(("p" + std::to_string(p) + "-" + std::to_string(i)).c_str(), 0, 0, 0, 0) != 0;
        return failed;
    });
    EXPECT_EQ(statuses, std::vector<int>(10, 0));
    const std::vector<std::string> listed = listed_events(1000);
    EXPECT_EQ(listed.size(), 200u);
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), 200u);
}

}  // namespace
