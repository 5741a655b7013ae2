// Attacks on the token store found in review: reuse detection against a thief who rotates the
// stolen family itself, and crafted tokens.json contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "id_foundation.h"
#include "id_tokens.h"
#include "support/token_store.hpp"

namespace {

class TokensReview : public tarn::test::TokenStoreTest {
protected:
    std::string issue(const char* user_id = "u1") {
        char token[64] = "";
        EXPECT_EQ(id_refresh_token_create(user_id, "al", "c1", "openid", token, sizeof token), 0);
        return token;
    }
    std::string rotate(const std::string& token) {
        char next[64] = "";
        const int r = id_refresh_token_rotate(token.c_str(), "c1", next, sizeof next, nullptr);
        return r == 0 ? std::string(next) : std::to_string(r);
    }
    // The records of `section` whose "family" is `family`.
    std::size_t of_family(const char* section, const std::string& family) {
        const tarn::Document d = doc();
        std::size_t n = 0;
        for (const auto& record : d[section].GetArray()) n += record["family"] == family.c_str();
        return n;
    }
    std::string listing(const char* user_id) {
        char* text = id_refresh_token_list_json_scoped(user_id);
        const std::string out = text ? text : "<null>";
        id_free(text);
        return out;
    }
};

// A thief steals the victim's current token and rotates it, then keeps rotating its own
// successors. While the family has rotated fewer than ID_REFRESH_FAMILY_ROTATIONS times, the
// victim presenting the token it holds (now exchanged) ends the family, the thief's newest token
// with it: the victim's token is still within its lifetime, and nothing else tells the store that
// the family was stolen. The rotation past the cap ends the family instead of forgetting the
// victim's token: the thief's chain stops with -1 there, and no token of the family is live.
TEST_F(TokensReview, AThiefRotatingTheStolenFamilyPastTheCapKeepsReuseDetection) {
    // The family's first rotation is the victim's; the thief's rotations follow.
    const int last_allowed = ID_REFRESH_FAMILY_ROTATIONS - 1;
    for (const int thief_rotations : {10, last_allowed, last_allowed + 1}) {
        SCOPED_TRACE(thief_rotations);
        write("{}");
        const std::string bystander = issue("usr_other");
        const std::string first = issue("usr_victim");
        const std::string victim = rotate(first);  // not the first: that one names the family
        std::string thief = victim;
        int stopped_at = 0;
        for (int i = 1; i <= thief_rotations && !stopped_at; ++i) {
            const std::string next = rotate(thief);
            if (next.size() == 46) thief = next;
            else {
                stopped_at = i;
                EXPECT_EQ(next, "-1");
            }
        }
        at(kNow + 3600);  // the victim comes back an hour later, well within its token's lifetime
        if (thief_rotations <= last_allowed) {
            EXPECT_EQ(stopped_at, 0);
            EXPECT_EQ(of_family("rotated", first), static_cast<std::size_t>(thief_rotations) + 1)
                << "every exchanged token of a live family is remembered";
            EXPECT_EQ(rotate(victim), "-4") << "the victim's token is an exchanged token of a live family";
            EXPECT_EQ(rotate(thief), "-1") << "the thief's token ended with its family";
        } else {
            EXPECT_EQ(stopped_at, last_allowed + 1) << "the chain stops at exactly the capped rotation";
            EXPECT_EQ(of_family("refresh", first), 0u) << "no token of the family is live";
            EXPECT_EQ(of_family("rotated", first), 0u) << "an ended family's exchanged tokens go";
            EXPECT_EQ(id_refresh_token_find(thief.c_str(), nullptr), 0);
            EXPECT_EQ(rotate(thief), "-1");
            EXPECT_EQ(rotate(victim), "-1");
            EXPECT_EQ(rotate(first), "-1");
        }
        EXPECT_EQ(rotate(bystander).size(), 46u) << "another family is untouched";
        at(kNow);
    }
}

// At the cap, the listing, family revocation and the sweep agree with rotation: a live family
// shows and keeps every exchanged token, the rotation past the cap ends it, and afterwards none of
// them finds anything of it.
TEST_F(TokensReview, ListingRevocationAndSweepAgreeAtTheCap) {
    auto store = [](int exchanged) {
        std::string rotated;
        for (int i = 0; i < exchanged; ++i)
            rotated += std::string(i ? "," : "") + "{\"token\":\"t" + std::to_string(i) + "\",\"family\":\"f\"}";
        return "{\"refresh\":[{\"token\":\"t\",\"user_id\":\"u1\",\"family\":\"f\",\"expires_at\":1750000000},"
               "{\"token\":\"o\",\"user_id\":\"u2\",\"family\":\"o\",\"expires_at\":1750000000}],"
               "\"rotated\":[" + rotated + "]}";
    };
    write(store(ID_REFRESH_FAMILY_ROTATIONS - 1));
    const std::string last = rotate("t");
    ASSERT_EQ(last.size(), 46u) << "the family's last rotation";
    EXPECT_EQ(of_family("rotated", "f"), static_cast<std::size_t>(ID_REFRESH_FAMILY_ROTATIONS));
    tarn::Document rotated;
    ASSERT_TRUE(tarn::parse_json(listing("u1"), rotated));
    EXPECT_EQ(rotated["rotated"].Size(), static_cast<std::size_t>(ID_REFRESH_FAMILY_ROTATIONS));
    EXPECT_STREQ(rotated["rotated"][0]["token"].GetString(), "t0") << "the oldest is still shown";
    id_tokens_swept swept;
    ASSERT_EQ(id_tokens_sweep(&swept), 0);
    EXPECT_EQ(swept.rotated, 0u) << "a live family's exchanged tokens are kept by the sweep";
    const std::string saved = text();

    EXPECT_EQ(rotate(last), "-1") << "the rotation past the cap";
    EXPECT_EQ(compact(&doc()["refresh"]), "[{\"token\":\"o\",\"user_id\":\"u2\",\"family\":\"o\",\"expires_at\":1750000000}]");
    EXPECT_EQ(compact(&doc()["rotated"]), "[]");
    EXPECT_EQ(listing("u1"), "{\"sessions\":[],\"refresh\":[],\"rotated\":[]}");
    EXPECT_EQ(id_refresh_token_revoke_family("t0", nullptr), 0);
    EXPECT_EQ(id_refresh_token_revoke(last.c_str()), -1);
    ASSERT_EQ(id_tokens_sweep(&swept), 0);
    EXPECT_EQ(swept.rotated + swept.refresh_tokens, 0u) << "the ending left nothing to sweep";

    // Revoking the family at the cap, instead, ends it the same way.
    write(saved);
    EXPECT_EQ(id_refresh_token_revoke_family("t0", nullptr), 1);
    EXPECT_EQ(compact(&doc()["rotated"]), "[]");
}

}  // namespace
