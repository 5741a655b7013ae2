// Processes racing on tokens.json, started together: no change is lost, a code is exchanged once
// (and presented again ends the family it started), a refresh token rotated by many at once
// leaves one winner and a family ended by the rest, a thief at a family's cap racing its victim
// ends the family either way, sweeps between creations lose no live session, and a deletion
// leaves no session to its user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foundation/document.hpp"
#include "id_accounts.h"
#include "id_tokens.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::run_together;

int count(const std::vector<int>& statuses, int result) {  // a child's status is its result & 0xFF
    return static_cast<int>(std::count(statuses.begin(), statuses.end(), result & 0xFF));
}

tarn::Document stored(const tarn::test::DataDirFixture& data) {
    tarn::Document d;
    EXPECT_TRUE(tarn::parse_json(tarn::test::read_file(data.file("tokens.json")), d));
    return d;
}

TEST(TokenRaces, SixteenProcessesCreatingSessionsLoseNone) {
    tarn::test::DataDirFixture data;
    const std::vector<int> statuses = run_together(16, [](int index) {
        const std::string user = "usr_" + std::to_string(index);
        for (int i = 0; i < 25; ++i) {
            char id[64];
            if (id_session_create(user.c_str(), "name", id, sizeof id) != 0) return 1;
            if (id_session_verify(id, nullptr, 0, nullptr, 0) != 1) return 2;
        }
        return 0;
    });
    EXPECT_EQ(count(statuses, 0), 16);
    tarn::Document d = stored(data);
    ASSERT_TRUE(d["sessions"].IsObject());
    EXPECT_EQ(d["sessions"].MemberCount(), 400u);
    EXPECT_EQ(tarn::test::files_in(data.dir()), (std::vector<std::string>{"tokens.json", "tokens.json.lock"}));
}

TEST(TokenRaces, EightProcessesExchangeOneCodeOnce) {
    tarn::test::DataDirFixture data;
    char code[64];
    ASSERT_EQ(id_auth_code_create("u", "n", "c", "https://a/cb", nullptr, nullptr, nullptr, code, sizeof code), 0);
    const std::vector<int> statuses =
        run_together(8, [&code](int) { return id_auth_code_consume(code, "c", "https://a/cb", nullptr, nullptr); });
    EXPECT_EQ(count(statuses, 0), 1);
    EXPECT_EQ(count(statuses, -1), 7);
    EXPECT_EQ(stored(data)["auth_codes"].MemberCount(), 0u);
}

// Exchanged with its refresh token by eight at once: the first wins and issues its family, the
// second presents a spent code and ends that family, the rest find nothing; the bystander stays.
TEST(TokenRaces, EightProcessesExchangingOneCodeEndTheFamilyItStarted) {
    tarn::test::DataDirFixture data;
    char code[64], bystander[64];
    ASSERT_EQ(id_auth_code_create("u", "n", "c", "https://a/cb", nullptr, nullptr, nullptr, code, sizeof code), 0);
    ASSERT_EQ(id_refresh_token_create("u", "n", "c", nullptr, bystander, sizeof bystander), 0);
    const std::vector<int> statuses = run_together(8, [&code](int) {
        char rt[64];
        return id_auth_code_exchange(code, "c", "https://a/cb", nullptr, nullptr, rt, sizeof rt);
    });
    EXPECT_EQ(count(statuses, 0), 1);
    EXPECT_EQ(count(statuses, -6), 1);
    EXPECT_EQ(count(statuses, -1), 6);
    tarn::Document d = stored(data);
    ASSERT_EQ(d["refresh"].Size(), 1u);
    EXPECT_STREQ(d["refresh"][0]["token"].GetString(), bystander);
    EXPECT_EQ(d["auth_codes"].MemberCount(), 0u);
}

TEST(TokenRaces, EightProcessesRotatingOneTokenEndItsFamily) {
    tarn::test::DataDirFixture data;
    char token[64], bystander[64];
    ASSERT_EQ(id_refresh_token_create("u", "n", "c", nullptr, token, sizeof token), 0);
    ASSERT_EQ(id_refresh_token_create("u", "n", "c", nullptr, bystander, sizeof bystander), 0);
    const std::vector<int> statuses = run_together(8, [&token](int) {
        char next[64];
        return id_refresh_token_rotate(token, "c", next, sizeof next, nullptr);
    });
    // The first rotation wins; the second presents an exchanged token and ends the family with
    // the winner's successor; the rest find nothing of the family left.
    EXPECT_EQ(count(statuses, 0), 1);
    EXPECT_EQ(count(statuses, -4), 1);
    EXPECT_EQ(count(statuses, -1), 6);
    tarn::Document d = stored(data);
    ASSERT_EQ(d["refresh"].Size(), 1u);
    EXPECT_STREQ(d["refresh"][0]["token"].GetString(), bystander);
}

// A thief rotates a stolen family up to its cap while the victim presents the exchanged token it
// holds and six bystanders rotate families of their own. Whichever lands first, the family ends
// (the victim's -4, or the thief's chain stopping at the cap, and then the victim's -1), the
// thief never rotates past the cap, and every bystander keeps one live token and all its
// exchanged ones.
TEST(TokenRaces, AThiefAtTheCapRacingTheVictimEndsTheFamily) {
    tarn::test::DataDirFixture data;
    const int room = 24;  // rotations the stolen family has left
    std::string rotated;
    for (int i = 0; i < ID_REFRESH_FAMILY_ROTATIONS - room; ++i)
        rotated += (i ? ",{\"token\":\"t" : "{\"token\":\"t") + std::to_string(i) + "\",\"family\":\"f\"}";
    std::string refresh = "{\"token\":\"t\",\"family\":\"f\",\"expires_at\":4102444800}";
    for (int i = 0; i < 6; ++i)
        refresh += ",{\"token\":\"b" + std::to_string(i) + "\",\"family\":\"b" + std::to_string(i) + "\",\"expires_at\":4102444800}";
    tarn::test::write_file(data.file("tokens.json"), "{\"refresh\":[" + refresh + "],\"rotated\":[" + rotated + "]}");
    const std::vector<int> statuses = run_together(8, [](int index) {
        char token[64], next[64];
        if (index == 0) return id_refresh_token_rotate("t5", nullptr, next, sizeof next, nullptr);  // the victim
        std::snprintf(token, sizeof token, "%s", index == 1 ? "t" : ("b" + std::to_string(index - 2)).c_str());
        int rotations = 0;
        for (; rotations < 40; ++rotations) {
            if (id_refresh_token_rotate(token, nullptr, next, sizeof next, nullptr) != 0) break;
            std::memcpy(token, next, sizeof token);
        }
        return index == 1 ? rotations : (rotations == 40 ? 0 : 1);
    });
    ASSERT_EQ(statuses.size(), 8u);
    EXPECT_TRUE(statuses[0] == (-4 & 0xFF) || statuses[0] == (-1 & 0xFF)) << statuses[0];
    EXPECT_LE(statuses[1], room) << "the thief rotated past the cap";
    if (statuses[0] == (-1 & 0xFF)) {
        EXPECT_EQ(statuses[1], room) << "the victim found nothing, yet the family had room";
    }
    EXPECT_EQ(std::vector<int>(statuses.begin() + 2, statuses.end()), std::vector<int>(6, 0));
    tarn::Document d = stored(data);
    std::map<std::string, int> live, exchanged;
    for (const auto& r : d["refresh"].GetArray()) ++live[r["family"].GetString()];
    for (const auto& r : d["rotated"].GetArray()) ++exchanged[r["family"].GetString()];
    EXPECT_EQ(live.count("f") + exchanged.count("f"), 0u) << "a token of the stolen family outlived the race";
    for (int i = 0; i < 6; ++i) {
        const std::string family = "b" + std::to_string(i);
        EXPECT_EQ(live[family], 1) << family;
        EXPECT_EQ(exchanged[family], 40) << family;
    }
}

// Six processes create sessions while two sweep the store again and again: every session
// created stays, every expired one is gone.
TEST(TokenRaces, SweepsBetweenCreationsLoseNoLiveSession) {
    tarn::test::DataDirFixture data;
    std::string expired;
    for (int i = 0; i < 50; ++i) expired += (i ? ",\"e" : "\"e") + std::to_string(i) + "\":{\"expires_at\":1}";
    tarn::test::write_file(data.file("tokens.json"), "{\"sessions\":{" + expired + "}}");
    const std::vector<int> statuses = run_together(8, [](int index) {
        for (int i = 0; i < 25; ++i) {
            char id[64];
            if (index >= 6 ? id_tokens_sweep(nullptr) != 0 : id_session_create("u", nullptr, id, sizeof id) != 0)
                return 1;
        }
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(8, 0));
    tarn::Document d = stored(data);
    std::size_t live = 0;
    for (const auto& session : d["sessions"].GetObject()) live += session.name.GetString()[0] == 's';
    EXPECT_EQ(live, d["sessions"].MemberCount()) << "an expired session is left";
    EXPECT_EQ(live, 150u);
}

// Seven processes sign bob in over and over (a lookup, then a new session) while an eighth
// deletes him: whenever each step lands, no session of bob outlives the deletion.
TEST(TokenRaces, ADeletionRacingSignInsLeavesNoSession) {
    tarn::test::DataDirFixture data;
    tarn::test::write_file(data.file("users.json"), "[{\"id\": \"usr_bob\"}, {\"id\": \"usr_al\"}]");
    const std::vector<int> statuses = run_together(8, [](int index) {
        if (index == 7) return id_user_delete("usr_bob");
        for (int i = 0; i < 40; ++i) {
            char id[64];
            if (id_user_find_by_id("usr_bob", nullptr)) id_session_create("usr_bob", "bob", id, sizeof id);
            if (id_session_create("usr_al", "al", id, sizeof id) != 0) return 1;
        }
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(8, 0));
    EXPECT_EQ(id_user_find_by_id("usr_bob", nullptr), 0);
    tarn::Document d = stored(data);
    std::string users;  // "b" for each session of anyone but al
    int al = 0;
    for (const auto& session : d["sessions"].GetObject()) {
        if (session.value["user_id"] == "usr_al") ++al;
        else users += "b";
    }
    EXPECT_EQ(users, "") << "sessions of bob outlived his deletion";
    EXPECT_EQ(al, 280) << "every session of al stays";
}

}  // namespace
