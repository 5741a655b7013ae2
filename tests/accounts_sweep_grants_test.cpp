// The sweep of grants whose user no longer exists: exactly the sessions, codes, refresh tokens
// and consents of identifiers missing from users.json go, in one table of starting stores; users
// created by other processes while sweeps run lose nothing; both stores under the fault sweep.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_accounts.h"
#include "id_consent.h"
#include "id_tokens.h"
#include "support/accounts.hpp"
#include "support/fault_sweep.hpp"
#include "support/process.hpp"

namespace {

using namespace tarn::test;

const std::string kTwoUsers = crafted({{"owner0", "owner"}, {"user1", "user"}});  // usr_0, usr_1
const std::string kTokens =
    R"({"sessions":{"s0":{"user_id":"usr_0"},"sg":{"user_id":"usr_gone"},"sn":{"username":"x"}},)"
    R"("auth_codes":{"c1":{"user_id":"usr_1"},"cg":{"user_id":"usr_gone"}},)"
    R"("refresh":[{"token":"r0","user_id":"usr_0","family":"r0"},{"token":"rg","user_id":"usr_gone","family":"rg"}],)"
    R"("rotated":[]})";
const std::string kTokensLeft =
    R"({"sessions":{"s0":{"user_id":"usr_0"},"sn":{"username":"x"}},"auth_codes":{"c1":{"user_id":"usr_1"}},)"
    R"("refresh":[{"token":"r0","user_id":"usr_0","family":"r0"}],"rotated":[]})";
const std::string kConsents =
    R"({"usr_0":{"client_1":{"scopes":"openid","granted":1}},"usr_gone":{"client_1":{},"client_2":{}},"usr_x":{}})";
const std::string kConsentsLeft = R"({"usr_0":{"client_1":{"scopes":"openid","granted":1}}})";

// A document's text compact ("<invalid>" when it does not parse, "<none>" for no file).
std::string compact(const std::optional<std::string>& text) {
    if (!text) return "<none>";
    tarn::Document d;
    std::string out;
    return tarn::parse_json(*text, d) && tarn::write_json(d, false, out) ? out : "<invalid>";
}

std::optional<std::string> read_if(const std::string& path) {
    return file_exists(path) ? std::optional<std::string>(read_file(path)) : std::nullopt;
}

class SweepGrants : public AccountsTest {};

TEST_F(SweepGrants, ExactlyTheGrantsOfGoneUsersGo) {
    using Text = std::optional<std::string>;
    const std::string nothing_gone_tokens = R"({"sessions":{"s0":{"user_id":"usr_0"}}})";
    // The gone user's family ends, and with it the exchanged code that could end it; so does one
    // past its expiry.
    const std::string exchanged_tokens =
        R"({"refresh":[{"token":"r0","user_id":"usr_0","family":"r0"},{"token":"rg","user_id":"usr_gone","family":"rg"}],)"
        R"("exchanged_codes":{"x0":{"family":"r0","expires_at":4102444800},"xg":{"family":"rg","expires_at":4102444800},)"
        R"("xold":{"family":"r0","expires_at":1}}})";
    const std::string exchanged_left =
        R"({"refresh":[{"token":"r0","user_id":"usr_0","family":"r0"}],)"
        R"("exchanged_codes":{"x0":{"family":"r0","expires_at":4102444800}}})";
    const struct {
        const char* what;
        Text users, tokens, consents;
        int result;
        std::size_t tokens_removed, consents_removed;
        Text tokens_after, consents_after;  // compact; nullopt: byte for byte as before
    } rows[] = {
        {"the gone user's grants go", kTwoUsers, kTokens, kConsents, 0, 3, 2, kTokensLeft, kConsentsLeft},
        {"exchanged codes of the ended family go", kTwoUsers, exchanged_tokens, {}, 0, 1, 0, exchanged_left, {}},
        {"nothing gone: nothing saved", kTwoUsers, nothing_gone_tokens, kConsentsLeft, 0, 0, 0, {}, {}},
        {"no stores: none made", kTwoUsers, {}, {}, 0, 0, 0, {}, {}},
        {"no users.json: no user can be told gone", {}, kTokens, kConsents, 0, 0, 0, {}, {}},
        {"an empty user list: every named user is gone", "[]", kTokens, {}, 0, 6,
         0, R"({"sessions":{"sn":{"username":"x"}},"auth_codes":{},"refresh":[],"rotated":[]})", {}},
        {"users.json unparseable", "[{", kTokens, kConsents, -1, 0, 0, {}, {}},
        {"users.json not an array", "{\"id\":\"usr_0\"}", kTokens, kConsents, -1, 0, 0, {}, {}},
        {"tokens.json unparseable: consents still swept", kTwoUsers, "{\"sessions\":", kConsents, -1, 0, 2, {},
         kConsentsLeft},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const char* name : {"users.json", "tokens.json", "consents.json"}) std::remove(data.file(name).c_str());
        if (row.users) write_file(data.file("users.json"), *row.users);
        if (row.tokens) write_file(data.file("tokens.json"), *row.tokens);
        if (row.consents) write_file(data.file("consents.json"), *row.consents);
        id_grants_swept out{99, 99};
        EXPECT_EQ(id_user_sweep_grants(&out), row.result);
        EXPECT_EQ(out.tokens, row.tokens_removed);
        EXPECT_EQ(out.consents, row.consents_removed);
        const Text tokens = read_if(data.file("tokens.json")), consents = read_if(data.file("consents.json"));
        if (row.tokens_after)
            EXPECT_EQ(compact(tokens), *row.tokens_after);
        else
            EXPECT_EQ(tokens, row.tokens);
        if (row.consents_after)
            EXPECT_EQ(compact(consents), *row.consents_after);
        else
            EXPECT_EQ(consents, row.consents);
        EXPECT_EQ(read_if(data.file("users.json")), row.users);
    }
}

// Three processes each create a user and then give it sessions and a consent while two others
// sweep again and again: users.json is read under each store's lock, so a user created after a
// sweep began is seen, and none of the new grants is lost.
TEST(SweepGrantsProcesses, UsersCreatedDuringSweepsKeepTheirGrants) {
    DataDirFixture data;
    write_file(data.file("users.json"), kTwoUsers);
    write_file(data.file("tokens.json"), kTokens);
    write_file(data.file("consents.json"), kConsents);
    const std::vector<int> statuses = run_together(5, [](int i) {
        if (i < 2) {
            for (int k = 0; k < 15; ++k)
                if (id_user_sweep_grants(nullptr) != 0) return 1;
            return 0;
        }
        char id[64];
        const std::string name = "newcomer" + std::to_string(i);
        if (id_user_create(name.c_str(), "password1", nullptr, id, sizeof id) != 0) return 2;
        for (int k = 0; k < 5; ++k)
            if (id_session_create(id, name.c_str(), nullptr, 0) != 0) return 3;
        return id_consent_set(id, "client_1", "openid") == 0 ? 0 : 4;
    });
    EXPECT_EQ(statuses, std::vector<int>(5, 0));
    tarn::Document users, tokens, consents;
    ASSERT_TRUE(tarn::parse_json(read_file(data.file("users.json")), users) && users.IsArray());
    ASSERT_EQ(users.Size(), 5u);
    ASSERT_TRUE(tarn::parse_json(read_file(data.file("tokens.json")), tokens));
    ASSERT_TRUE(tarn::parse_json(read_file(data.file("consents.json")), consents));
    for (rapidjson::SizeType u = 2; u < 5; ++u) {
        const std::string id = users[u]["id"].GetString();
        int sessions = 0;
        for (const auto& s : tokens["sessions"].GetObject())
            sessions += s.value.HasMember("user_id") && id == s.value["user_id"].GetString();
        EXPECT_EQ(sessions, 5) << id;
        EXPECT_TRUE(consents.HasMember(id.c_str())) << id;
    }
    EXPECT_FALSE(tokens["sessions"].HasMember("sg"));
    EXPECT_FALSE(consents.HasMember("usr_gone"));
}

// Each store changes under its own lock: 0 means both took the clean run's change; -1 means each
// is as it was or as the clean run left it, and users.json is never touched.
TEST(SweepGrantsFaults, BothStoresUnderTheFaultSweep) {
    DataDirFixture data;
    const std::string dir = data.dir();
    auto starting = [&dir](DirState files) { return [&dir, files] { reset_dir(dir, files); }; };
    const auto file = [](const DirState& s, const char* name) {
        const auto it = s.find(name);
        return it == s.end() ? std::optional<std::string>() : std::optional<std::string>(it->second);
    };
    const std::vector<SweepCase> cases = {
        SweepCase("grants of a gone user swept", {"tokens.json", "consents.json"},
                  starting({{"users.json", kTwoUsers}, {"tokens.json", kTokens}, {"consents.json", kConsents}}),
                  [] { return id_user_sweep_grants(nullptr); }),
        SweepCase("nothing to sweep", {"tokens.json", "consents.json"},
                  starting({{"users.json", kTwoUsers}, {"tokens.json", kTokensLeft}, {"consents.json", kConsentsLeft}}),
                  [] { return id_user_sweep_grants(nullptr); }),
    };
    for (SweepCase c : cases) {
        c.changed_when([](int, int) { return true; }).judged_by([&file](const SweepRun& r) {
            if (r.result == 0) {
                EXPECT_EQ(r.after, r.clean);
                return;
            }
            EXPECT_EQ(r.result, -1);
            for (const char* name : {"tokens.json", "consents.json"})
                EXPECT_TRUE(file(r.after, name) == file(r.before, name) || file(r.after, name) == file(r.clean, name))
                    << name << " is half changed";
            EXPECT_EQ(file(r.after, "users.json"), file(r.before, "users.json"));
        });
        const SweepSummary s = fault_sweep(dir, c);
        std::printf("%-55s %3d calls, %3d faulted runs\n", c.name.c_str(), s.io_calls, s.runs);
    }
}

}  // namespace
