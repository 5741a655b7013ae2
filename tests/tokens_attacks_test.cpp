// Attacks on the token store that got through. Each test names the rule the attack breaks.
#include <gtest/gtest.h>

#include <string>

#include "id_tokens.h"
#include "support/reference.hpp"
#include "support/token_store.hpp"

namespace {

using tarn::test::take;

class TokensAttack : public tarn::test::TokenStoreTest {
protected:
    std::string issue(const char* user, const char* client) {
        char token[64] = "";
        EXPECT_EQ(id_refresh_token_create(user, "", client, nullptr, token, sizeof token), 0);
        return token;
    }
    std::string rotate(const std::string& token, const char* client, int* result = nullptr) {
        char next[64] = "";
        const int r = id_refresh_token_rotate(token.c_str(), client, next, sizeof next, nullptr);
        if (result) *result = r;
        return next;
    }
};

// A listing scoped to one user is what an account page shows that user. It lists every exchanged
// token of every user with its family, and an exchanged token (or a family identifier) presented
// to rotation by anyone, with any client, ends that family (-4): one user's own listing lets them
// sign every other user out of every client.
TEST_F(TokensAttack, AUsersListingShowsNoOtherUsersTokens) {
    const std::string victim_first = issue("usr_victim", "c1");
    int r = 0;
    rotate(victim_first, "c1", &r);
    ASSERT_EQ(r, 0);
    issue("usr_mallory", "c2");
    const std::string listing = take(id_refresh_token_list_json_scoped("usr_mallory"));
    EXPECT_EQ(listing.find(victim_first), std::string::npos) << listing;
}

}  // namespace
