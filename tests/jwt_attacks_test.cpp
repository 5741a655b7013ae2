// Attacks on token verification that got through. Each test names the rule the attack breaks and
// builds its tokens independently of the library (OpenSSL for the signatures).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "id_jwt.h"
#include "keys/key_store.hpp"
#include "support/jwt_reference.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::Bytes;
using tarn::test::DataDirFixture;
using tarn::test::write_file;

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }

class VerifyAttack : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(data.file("keys.json"), tarn::test::shared_keys_json());
        write_file(data.file("secret.key"), std::string(secret.begin(), secret.end()));
        tarn::keys::testing::reset_table();
        tarn::testing::set_clock(&fixed_clock);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::reset_table();
    }
    struct PkeyOwner {
        EVP_PKEY* p;
        ~PkeyOwner() { EVP_PKEY_free(p); }
    };
    DataDirFixture data;
    const Bytes secret = Bytes(32, 0x5C);
    const std::string kid = tarn::test::active_kid(tarn::test::shared_keys_json());
    PkeyOwner key{tarn::test::stored_private_key(tarn::test::shared_keys_json(), kid)};
};

// The signature segment is everything after the second dot, and all of it is the signature: a
// third dot, or a character outside the base64 alphabets, makes the token malformed. The decoder
// stops at a group with fewer than two data characters ("====" or "A===") and never looks at
// what follows, so any text can ride behind a valid signature: the same token then has endless
// spellings (a denylist or replay cache keyed on the token text misses them) and carries
// arbitrary bytes (quotes, angle brackets, dots) into whatever the caller does with it.
TEST_F(VerifyAttack, NothingButTheSignatureFollowsTheSecondDot) {
    const std::string claims = R"({"sub":"usr_1","exp":)" + std::to_string(kNow + 60) + "}";
    const std::string rs = tarn::test::rs256_token(R"({"alg":"RS256","typ":"JWT","kid":")" + kid + R"("})",
                                                   claims, key.p);
    const std::string hs = tarn::test::hs256_token(R"({"alg":"HS256","typ":"JWT"})", claims, secret);
    ASSERT_EQ(rs.size() - rs.rfind('.') - 1, 342u);  // 85 groups and two characters
    ASSERT_EQ(hs.size() - hs.rfind('.') - 1, 43u);   // 10 groups and three characters
    struct Case {
        const char* name;
        std::string token;
        int result;
    };
    const std::vector<Case> cases = {
        {"RS256 as signed", rs, ID_JWT_VALID},
        {"RS256 with its padding", rs + "==", ID_JWT_VALID},
        {"RS256, a third dot", rs + ".x", ID_JWT_MALFORMED},
        {"RS256, padding, an empty group, a third dot", rs + "==" + "====" + ".x", ID_JWT_MALFORMED},
        {"RS256, padding, a one-character group, a third dot", rs + "==" + "A===" + ".anything at all",
         ID_JWT_MALFORMED},
        {"RS256, padding, a one-character group, markup", rs + "==" + "A===" + "\"><script>", ID_JWT_MALFORMED},
        {"HS256 as signed", hs, ID_JWT_VALID},
        {"HS256, padding, an empty group, a third dot", hs + "=" + "====" + ".x", ID_JWT_MALFORMED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(id_jwt_verify(c.token.c_str(), nullptr), c.result);
    }
}

}  // namespace
