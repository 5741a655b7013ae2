// Access and ID token minting: the claims of each form byte for byte in their order with a fixed
// clock and a fixed random stream, "at_hash" against OpenSSL's digest, and the failures that must
// leave no token behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "id_jwt.h"
#include "keys/key_store.hpp"
#include "support/jwt_reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::b64url;
using tarn::test::segment;

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }
// Every draw is 00 01 02 ...: the jti of 12 such bytes is "AAECAwQFBgcICQoL".
ssize_t counting_random(void* buf, std::size_t len, unsigned) {
    for (std::size_t i = 0; i < len; ++i) static_cast<unsigned char*>(buf)[i] = static_cast<unsigned char>(i);
    return static_cast<ssize_t>(len);
}
ssize_t failing_random(void*, std::size_t, unsigned) {
    errno = EIO;
    return -1;
}

std::string at(std::int64_t plus) { return std::to_string(kNow + plus); }
std::string at_hash_of(const std::string& access_token) {
    return b64url(tarn::test::sha256(access_token.data(), access_token.size()).data(), 16);
}

using MintFn = std::function<int(char* out, std::size_t cap)>;

class Mint : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::test::write_file(data.file("keys.json"), tarn::test::shared_keys_json());
        tarn::keys::testing::reset_table();
        tarn::testing::set_clock(&fixed_clock);
        tarn::crypto::testing::set_getrandom(&counting_random);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::crypto::testing::set_getrandom(nullptr);
        tarn::keys::testing::reset_table();
    }
    std::string mint(const MintFn& fn) {
        char token[ID_JWT_TOKEN_CAP];
        EXPECT_EQ(fn(token, sizeof token), 0);
        return token;
    }

    tarn::test::DataDirFixture data;
    const std::string header =
        R"({"alg":"RS256","typ":"JWT","kid":")" + tarn::test::active_kid(tarn::test::shared_keys_json()) + R"("})";
};

TEST_F(Mint, ClaimsOfEachFormInTheirOrder) {
    const std::string jti = R"("jti":"AAECAwQFBgcICQoL")";
    const std::string access = "eyJhbGciOiJSUzI1NiJ9.eyJzdWIiOiJ4In0.c2ln";
    struct Case {
        const char* name;
        MintFn mint;
        std::string payload;
        const char* token_use;  // as verification reads it back
    };
    const std::vector<Case> cases = {
        {"access, every argument NULL",
         [](char* o, std::size_t c) { return id_jwt_mint_access_token(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, o, c); },
         R"({"username":"","preferred_username":"","scope":"openid profile",)" + jti +
             R"(,"token_use":"access","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}",
         "access"},
        {"access, every argument given",
         [](char* o, std::size_t c) { return id_jwt_mint_access_token("https://id.example/", "usr_1", "alice", "a@x.org", "client_1", "openid", 600, o, c); },
         R"({"iss":"https://id.example/","sub":"usr_1","username":"alice","preferred_username":"alice","email":"a@x.org","client_id":"client_1","aud":"client_1","scope":"openid",)" +
             jti + R"(,"token_use":"access","iat":)" + at(0) + R"(,"exp":)" + at(600) + "}",
         "access"},
        {"access, empty texts",
         [](char* o, std::size_t c) { return id_jwt_mint_access_token("", "", "", "", "", "", 1, o, c); },
         R"({"iss":"","sub":"","username":"","preferred_username":"","scope":"openid profile",)" + jti +
             R"(,"token_use":"access","iat":)" + at(0) + R"(,"exp":)" + at(1) + "}",
         "access"},
        {"access, a username that JSON must escape",
         [](char* o, std::size_t c) { return id_jwt_mint_access_token(nullptr, nullptr, "q\"b\\s\n\x1f/\xC3\xA9", nullptr, nullptr, "a b", 0, o, c); },
         R"({"username":"q\"b\\s\n\u001F/)" "\xC3\xA9" R"(","preferred_username":"q\"b\\s\n\u001F/)" "\xC3\xA9" R"(","scope":"a b",)" +
             jti + R"(,"token_use":"access","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}",
         "access"},
        {"ID, every argument NULL",
         [](char* o, std::size_t c) { return id_jwt_mint_id_token(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, o, c); },
         R"({"aud":"","preferred_username":"","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}", ""},
        {"ID, every argument given",
         [](char* o, std::size_t c) { return id_jwt_mint_id_token("iss", "usr_1", "alice", "a@x.org", "client_1", "n-0S6", 300, o, c); },
         R"({"iss":"iss","sub":"usr_1","aud":"client_1","preferred_username":"alice","email":"a@x.org","nonce":"n-0S6","iat":)" +
             at(0) + R"(,"exp":)" + at(300) + "}",
         ""},
        {"ID, empty texts",
         [](char* o, std::size_t c) { return id_jwt_mint_id_token("", "", "", "", "", "", 0, o, c); },
         R"({"iss":"","sub":"","aud":"","preferred_username":"","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}", ""},
        {"ID 2, every argument NULL",
         [](char* o, std::size_t c) { return id_jwt_mint_id_token_v2(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, o, c); },
         R"({"sub":"","aud":"","preferred_username":"","token_use":"id","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}", "id"},
        {"ID 2, negative auth_time and an empty access token",
         [](char* o, std::size_t c) { return id_jwt_mint_id_token_v2(nullptr, nullptr, nullptr, nullptr, nullptr, "n", "", -5, 0, o, c); },
         R"({"sub":"","aud":"","preferred_username":"","nonce":"n","token_use":"id","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}", "id"},
        {"ID 2, every argument given",
         [&access](char* o, std::size_t c) { return id_jwt_mint_id_token_v2("iss", "usr_1", "alice", "a@x.org", "client_1", "n", access.c_str(), 1700000000, 300, o, c); },
         R"({"iss":"iss","sub":"usr_1","aud":"client_1","preferred_username":"alice","email":"a@x.org","nonce":"n","auth_time":1700000000,"at_hash":")" +
             at_hash_of(access) + R"(","token_use":"id","iat":)" + at(0) + R"(,"exp":)" + at(300) + "}",
         "id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string token = mint(c.mint);
        EXPECT_EQ(segment(token, 0), header);
        EXPECT_EQ(segment(token, 1), c.payload);
        id_jwt_claims claims;
        ASSERT_EQ(id_jwt_verify(token.c_str(), &claims), ID_JWT_VALID);
        EXPECT_STREQ(claims.token_use, c.token_use);
    }
}

TEST_F(Mint, AtHashIsTheLeftHalfOfTheAccessTokenDigest) {
    tarn::crypto::testing::set_getrandom(nullptr);
    auto access = [this] {
        return mint([](char* o, std::size_t c) { return id_jwt_mint_access_token("i", "s", "u", nullptr, "c", nullptr, 0, o, c); });
    };
    const std::string real = access();
    EXPECT_NE(tarn::test::segment(real, 1), tarn::test::segment(access(), 1)) << "two tokens of one second differ in jti";
    std::set<std::string> seen;
    for (const std::string& access : {real, real.substr(0, real.size() - 1) + (real.back() == 'A' ? "B" : "A"), std::string("x")}) {
        const std::string id = mint([&access](char* o, std::size_t c) {
            return id_jwt_mint_id_token_v2(nullptr, "s", nullptr, nullptr, "c", nullptr, access.c_str(), 0, 0, o, c);
        });
        tarn::Document claims;
        ASSERT_TRUE(tarn::parse_json(segment(id, 1), claims));
        const std::string at_hash = claims["at_hash"].GetString();
        EXPECT_EQ(at_hash.size(), 22u);
        EXPECT_EQ(at_hash, at_hash_of(access));
        seen.insert(at_hash);
    }
    EXPECT_EQ(seen.size(), 3u) << "any change of the access token changes at_hash";
}

TEST_F(Mint, FailuresLeaveNoToken) {
    // The ID token with only a username: {"aud":"","preferred_username":"<name>","iat":..,"exp":..}.
    const std::size_t fixed = std::string(R"({"aud":"","preferred_username":"","iat":)" + at(0) + R"(,"exp":)" + at(3600) + "}").size();
    const std::string fits(3071 - fixed, 'u');
    const std::string too_long = fits + "u";
    auto id_with_name = [](const std::string& name) {
        return [name](char* o, std::size_t c) { return id_jwt_mint_id_token(nullptr, nullptr, name.c_str(), nullptr, nullptr, nullptr, 0, o, c); };
    };
    const std::size_t token_len = mint(id_with_name("alice")).size();
    struct Case {
        const char* name;
        std::function<void()> setup;
        MintFn mint;
        std::size_t cap;
        int result;
    };
    const std::vector<Case> cases = {
        {"claims of exactly 3071 bytes", [] {}, id_with_name(fits), ID_JWT_TOKEN_CAP, 0},
        {"a token that just fits", [] {}, id_with_name("alice"), token_len + 1, 0},
        {"claims of 3072 bytes", [] {}, id_with_name(too_long), ID_JWT_TOKEN_CAP, -1},
        {"no room for the NUL", [] {}, id_with_name("alice"), token_len, -1},
        {"a username that is not UTF-8", [] {}, id_with_name("\xC3\x28"), ID_JWT_TOKEN_CAP, -1},
        {"no randomness for the jti", [] { tarn::crypto::testing::set_getrandom(&failing_random); },
         [](char* o, std::size_t c) { return id_jwt_mint_access_token("i", "s", "u", "e", "c", "o", 0, o, c); }, ID_JWT_TOKEN_CAP, -1},
        {"no usable signing key",
         [this] {
             tarn::test::write_file(data.file("keys.json"), R"({"active":"k","keys":[{"kid":"k","priv_der_b64":"AAAA"}]})");
             tarn::keys::testing::reset_table();
         },
         [](char* o, std::size_t c) { return id_jwt_mint_id_token_v2("i", "s", "u", "e", "a", "n", "t", 1, 0, o, c); }, ID_JWT_TOKEN_CAP, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.setup();
        std::vector<char> out(c.cap, 'X');
        EXPECT_EQ(c.mint(out.data(), out.size()), c.result);
        if (c.result != 0) {
            EXPECT_EQ(out[0], '\0');
        } else {
            EXPECT_EQ(id_jwt_verify(out.data(), nullptr), ID_JWT_VALID);
        }
    }
    char none[1] = {'X'};
    EXPECT_EQ(id_jwt_mint_id_token(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, none, 0), -1);
    EXPECT_EQ(none[0], 'X') << "a capacity of 0 writes nothing";
}

}  // namespace
