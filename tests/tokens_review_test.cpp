// Attacks on the token store found in review: reuse detection against a thief who rotates the
// stolen family itself, and crafted tokens.json contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
};

// A thief steals the victim's current token and rotates it, then keeps rotating its own
// successors. However many times the thief rotates, the victim presenting the token it holds (now
// exchanged) must end the family, the thief's newest token with it: the victim's token is still
// within its lifetime, and nothing else tells the store that the family was stolen. Rotating the
// family's own successors 1025 times pushes the victim's token out of the family's newest 1024
// exchanged tokens, and the victim's presentation then reads as an unknown token (-1) while the
// thief keeps a live token for 28 days, renewable for ever.
TEST_F(TokensReview, AThiefRotatingTheStolenFamilyPastTheCapKeepsReuseDetection) {
    for (const int thief_rotations : {10, 1023, 1025, 1100}) {
        SCOPED_TRACE(thief_rotations);
        write("{}");
        const std::string victim = rotate(issue("usr_victim"));  // not the first: that one names the family
        std::string thief = rotate(victim);
        for (int i = 0; i < thief_rotations; ++i) thief = rotate(thief);
        ASSERT_EQ(thief.size(), 46u);
        at(kNow + 3600);  // the victim comes back an hour later, well within its token's lifetime
        EXPECT_EQ(rotate(victim), "-4") << "the victim's token is an exchanged token of a live family";
        EXPECT_EQ(rotate(thief), "-1") << "the thief's token ended with its family";
        at(kNow);
    }
}

}  // namespace
