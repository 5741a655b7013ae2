// Authorization codes: the stored record, the exchange's result codes in their order, PKCE with
// the RFC 7636 appendix B pair, the methods and forms refused at issue and at exchange, and a code
// burnt by its first exchange whatever the outcome.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "id_tokens.h"
#include "support/token_store.hpp"
#include "tarn_crypto.h"

namespace {

// RFC 7636, appendix B.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
// kVerifier and one more character: a verifier of which kVerifier is a prefix.
constexpr const char* kLong = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXkQ";

class Codes : public tarn::test::TokenStoreTest {
protected:
    std::string issue(const char* client, const char* redirect, const char* challenge, const char* method) {
        char code[64] = "";
        EXPECT_EQ(id_auth_code_create_v("usr_1", "alice", client, redirect, "openid email", challenge, method,
                                        "n-0S6", 1749999000, code, sizeof code),
                  0);
        return code;
    }
    std::string record(const std::string& code) { return compact(tarn::json::member(doc()["auth_codes"], code)); }
};

TEST_F(Codes, IssuedRecords) {
    char code[64] = "";
    ASSERT_EQ(id_auth_code_create("u", nullptr, "c", nullptr, nullptr, nullptr, nullptr, code, sizeof code), 0);
    EXPECT_EQ(std::string(code).size(), 37u);
    EXPECT_EQ(std::string(code).rfind("code_", 0), 0u);
    EXPECT_TRUE(tarn::test::base64url_text(code + 5));
    EXPECT_EQ(record(code), "{\"user_id\":\"u\",\"client_id\":\"c\",\"scope\":\"openid profile\",\"code_challenge\":\"\","
                            "\"code_challenge_method\":\"plain\",\"expires_at\":1750000600}");
    ASSERT_EQ(id_auth_code_create_v(nullptr, "n", nullptr, "https://a/cb", "", kVerifier, "", "", 0, code, sizeof code), 0);
    EXPECT_EQ(record(code), "{\"username\":\"n\",\"redirect_uri\":\"https://a/cb\",\"scope\":\"openid profile\","
                            "\"code_challenge\":\"" + std::string(kVerifier) + "\",\"code_challenge_method\":\"plain\","
                            "\"expires_at\":1750000600}");
    const std::string full = issue("c", "https://a/cb", kChallenge, "S256");
    EXPECT_EQ(record(full), "{\"user_id\":\"usr_1\",\"username\":\"alice\",\"client_id\":\"c\",\"redirect_uri\":"
                            "\"https://a/cb\",\"scope\":\"openid email\",\"code_challenge\":\"" + std::string(kChallenge) +
                                "\",\"code_challenge_method\":\"S256\",\"nonce\":\"n-0S6\",\"auth_time\":1749999000,"
                                "\"expires_at\":1750000600}");
}

TEST_F(Codes, ExchangeRulesAndBurning) {
    const std::string long_client(300, 'c');
    struct Case {
        const char* what;
        const char* client;  // stored
        const char* redirect;
        const char* challenge;
        const char* method;
        std::int64_t after;  // seconds after issue
        std::string presented_client;
        const char* presented_redirect;
        const char* verifier;
        int result;
    };
    const std::vector<Case> cases = {
        {"plain exchange", "c1", nullptr, nullptr, nullptr, 0, "c1", nullptr, nullptr, 0},
        {"at its expiry", "c1", nullptr, nullptr, nullptr, 600, "c1", nullptr, nullptr, 0},
        {"one second later", "c1", nullptr, nullptr, nullptr, 601, "c1", nullptr, nullptr, -2},
        {"expiry checked first", "c1", "https://a/cb", kChallenge, "S256", 601, "c2", "x", "x", -2},
        {"another client", "c1", nullptr, nullptr, nullptr, 0, "c2", nullptr, nullptr, -3},
        {"no stored client", nullptr, nullptr, nullptr, nullptr, 0, "c1", nullptr, nullptr, -3},
        {"prefix of a long stored client", long_client.c_str(), nullptr, nullptr, nullptr, 0, long_client.substr(0, 255),
         nullptr, nullptr, -3},
        {"redirect differs by a slash", "c1", "https://a/cb", nullptr, nullptr, 0, "c1", "https://a/cb/", nullptr, -4},
        {"redirect not presented", "c1", "https://a/cb", nullptr, nullptr, 0, "c1", nullptr, nullptr, 0},
        {"redirect presented, none stored", "c1", nullptr, nullptr, nullptr, 0, "c1", "https://x/", nullptr, 0},
        {"RFC 7636 pair", "c1", "https://a/cb", kChallenge, "S256", 0, "c1", "https://a/cb", kVerifier, 0},
        {"challenge as verifier", "c1", nullptr, kChallenge, "S256", 0, "c1", nullptr, kChallenge, -5},
        {"no verifier", "c1", nullptr, kChallenge, "S256", 0, "c1", nullptr, nullptr, -5},
        {"empty verifier", "c1", nullptr, kChallenge, "S256", 0, "c1", nullptr, "", -5},
        {"plain method", "c1", nullptr, kVerifier, nullptr, 0, "c1", nullptr, kVerifier, 0},
        {"plain, prefix of the challenge", "c1", nullptr, kLong, "plain", 0, "c1", nullptr, kVerifier, -5},
        {"verifier without challenge", "c1", nullptr, nullptr, nullptr, 0, "c1", nullptr, kVerifier, -5},
        {"empty verifier without challenge", "c1", nullptr, nullptr, nullptr, 0, "c1", nullptr, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        at(kNow);
        const std::string code = issue(c.client, c.redirect, c.challenge, c.method);
        at(kNow + c.after);
        id_auth_code got;
        std::memset(&got, 0x5A, sizeof got);
        const id_auth_code untouched = got;
        EXPECT_EQ(id_auth_code_consume(code.c_str(), c.presented_client.c_str(), c.presented_redirect, c.verifier, &got),
                  c.result);
        EXPECT_EQ(record(code), "<none>") << "burnt by the first attempt";
        if (c.result != 0) {
            EXPECT_EQ(std::memcmp(&got, &untouched, sizeof got), 0);
        }
        EXPECT_EQ(id_auth_code_consume(code.c_str(), c.presented_client.c_str(), c.presented_redirect, c.verifier,
                                       nullptr),
                  -1);
    }
}

// A method other than "S256" or "plain" (exact case; none means "plain"), or a challenge that no
// verifier could ever meet, is refused at issue with -3 and nothing is stored: "S256" takes 43
// base64url characters (a SHA-256 digest), "plain" a text a verifier may be.
TEST_F(Codes, IssueRefusesWhatPkceCouldNeverCheck) {
    const std::string v128 = std::string(124, 'a') + "-._~", v129 = v128 + "a";
    const std::vector<std::tuple<const char*, const char*, int>> cases = {
        {kChallenge, "S256", 0},          {kChallenge, "s256", -3},      {kChallenge, "SHA256", -3},
        {kChallenge, "S256 ", -3},        {kVerifier, "plain", 0},       {kVerifier, "PLAIN", -3},
        {kVerifier, nullptr, 0},          {kVerifier, "", 0},            {v128.c_str(), "plain", 0},
        {v129.c_str(), "plain", -3},      {"abc", "plain", -3},          {"abc", nullptr, -3},
        {kLong, "S256", -3},              {"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw~cM", "S256", -3},
        {nullptr, "S256", 0},             {nullptr, "s256", -3},         {"", "plain", 0},
        {"", "none", -3},
    };
    for (const auto& [challenge, method, result] : cases) {
        SCOPED_TRACE(std::string(challenge ? challenge : "(null)") + " / " + (method ? method : "(null)"));
        const std::string before = text();
        char code[64] = "untouched";
        EXPECT_EQ(id_auth_code_create("u", "n", "c1", nullptr, nullptr, challenge, method, code, sizeof code), result);
        if (result != 0) {
            EXPECT_STREQ(code, "untouched");
            EXPECT_EQ(text(), before);
        }
    }
}

// Stored codes, written as another program might have left them: a stored method other than
// "S256" or "plain" fails the exchange whatever is presented, and a verifier must be 43 to 128
// characters of A-Z a-z 0-9 "-" "." "_" "~" (the stored challenge of each "plain" row is the
// verifier itself, of each "S256" row its digest, so that only the verifier's form decides).
TEST_F(Codes, ExchangeChecksTheMethodAndTheVerifiersForm) {
    auto s256 = [](const std::string& verifier) {
        unsigned char digest[32];
        tarn_sha256(verifier.data(), verifier.size(), digest);
        char text[64];
        tarn_base64url_encode(digest, sizeof digest, text, sizeof text);
        return std::string(text);
    };
    const std::string v43 = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN-._", v128 = std::string(124, '0') + "-._~";
    // The stored method (nullopt: no member), the challenge, the verifier presented (nullopt: none),
    // the result.
    const std::nullopt_t none = std::nullopt;
    const std::vector<std::tuple<std::optional<std::string>, std::string, std::optional<std::string>, int>> cases = {
        {"S256", kChallenge, kVerifier, 0},
        {"s256", kChallenge, kChallenge, -5},
        {"s256", kChallenge, kVerifier, -5},
        {"Plain", kVerifier, kVerifier, -5},
        {"s256", "", none, -5},
        {none, kVerifier, kVerifier, 0},
        {"", kVerifier, kVerifier, 0},
        {"plain", v43, v43, 0},
        {"plain", v43.substr(1), v43.substr(1), -5},
        {"plain", v128, v128, 0},
        {"plain", v128 + "0", v128 + "0", -5},
        {"plain", v43 + "+", v43 + "+", -5},
        {"plain", v43 + "/", v43 + "/", -5},
        {"plain", v43 + "=", v43 + "=", -5},
        {"plain", v43 + " ", v43 + " ", -5},
        {"plain", v43 + "%7E", v43 + "%7E", -5},
        {"plain", v43 + "\u00e9", v43 + "\xc3\xa9", -5},
        {"S256", s256(v43.substr(1)), v43.substr(1), -5},
        {"S256", s256(v43), v43, 0},
        {"S256", s256(v128 + "0"), v128 + "0", -5},
    };
    for (const auto& [method, challenge, verifier, result] : cases) {
        SCOPED_TRACE(method.value_or("(none)") + " / " + challenge);
        write("{\"auth_codes\": {\"k\": {\"client_id\": \"c\", \"code_challenge\": \"" + challenge + "\"" +
              (method ? ", \"code_challenge_method\": \"" + *method + "\"" : std::string()) +
              ", \"expires_at\": 1750000000}}}");
        EXPECT_EQ(id_auth_code_consume("k", "c", nullptr, verifier ? verifier->c_str() : nullptr, nullptr), result);
    }
}

TEST_F(Codes, TheFilledRecord) {
    auto shown = [](const id_auth_code& c) {
        return std::string(c.user_id) + "|" + c.username + "|" + c.client_id + "|" + c.redirect_uri + "|" + c.scope +
               "|" + c.code_challenge + "|" + c.code_challenge_method + "|" + c.nonce + "|" + std::to_string(c.auth_time);
    };
    id_auth_code got;
    std::memset(&got, 0x5A, sizeof got);
    ASSERT_EQ(id_auth_code_consume(issue("c1", "https://a/cb", kChallenge, "S256").c_str(), "c1", nullptr, kVerifier, &got), 0);
    EXPECT_EQ(shown(got), "usr_1|alice|c1|https://a/cb|openid email|" + std::string(kChallenge) + "|S256|n-0S6|1749999000");
    EXPECT_EQ(got.nonce[sizeof got.nonce - 1], 0) << "zeroed before filling";
    // A stored record without a method hands out an empty one, and its texts are cut to fit.
    // A scope list is cut between names only: the name the cut falls in is left out whole.
    write("{\"auth_codes\": {\"k\": {\"client_id\": \"c\", \"scope\": \"openid " + std::string(300, 's') +
          "\", \"expires_at\": 1750000000}}}");
    ASSERT_EQ(id_auth_code_consume("k", "c", nullptr, nullptr, &got), 0);
    EXPECT_EQ(shown(got), "||c||openid||||0");
}

TEST_F(Codes, RefusedBeforeTheStoreIsTouched) {
    const std::string code = issue("c1", nullptr, nullptr, nullptr);
    const std::string before = text();
    for (auto [presented, client] : std::vector<std::pair<const char*, const char*>>{
             {nullptr, "c1"}, {"", "c1"}, {code.c_str(), nullptr}, {code.c_str(), ""}, {"code_unknown", "c1"}}) {
        EXPECT_EQ(id_auth_code_consume(presented, client, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(text(), before);
    }
    // A section that cannot hold codes: nothing issued, nothing found.
    write("{\"auth_codes\": [], \"x\": 1}");
    char out[64] = "untouched";
    EXPECT_EQ(id_auth_code_create("u", "n", "c", nullptr, nullptr, nullptr, nullptr, out, sizeof out), -1);
    EXPECT_EQ(id_auth_code_consume(code.c_str(), "c1", nullptr, nullptr, nullptr), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(text(), "{\"auth_codes\": [], \"x\": 1}");
    // No randomness: no code.
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
    EXPECT_EQ(id_auth_code_create("u", "n", "c", nullptr, nullptr, nullptr, nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "untouched");
}

// The exchange that issues the refresh token: one change takes the code and stores the grant's
// family (the code's texts and auth_time) with the code remembered until its own expiry; the
// code presented again in that time ends the family, successors included, with the refusal.
TEST_F(Codes, ExchangeIssuesTheRefreshTokenAndReuseEndsItsFamily) {
    const std::string code = issue("c1", "https://a/cb", kChallenge, "S256");
    write("{\"sessions\":{},\"auth_codes\":{\"" + code + "\":" + record(code) + "},\"refresh\":[" +
          "{\"token\":\"rt_other\",\"family\":\"rt_other\",\"expires_at\":1760000000}]}");
    id_auth_code got{};
    char rt[47] = "";
    at(kNow + 10);
    ASSERT_EQ(id_auth_code_exchange(code.c_str(), "c1", "https://a/cb", kVerifier, &got, rt, sizeof rt), 0);
    EXPECT_STREQ(got.nonce, "n-0S6");
    EXPECT_EQ(std::string(rt).size(), 46u);
    const std::string family = "{\"token\":\"A\",\"user_id\":\"usr_1\",\"username\":\"alice\",\"client_id\":\"c1\",\"scope\":"
                               "\"openid email\",\"family\":\"A\",\"expires_at\":1752419210,\"auth_time\":1749999000}";
    const std::string other = "{\"token\":\"rt_other\",\"family\":\"rt_other\",\"expires_at\":1760000000}";
    EXPECT_EQ(shown({rt, code}), "{\"sessions\":{},\"auth_codes\":{},\"refresh\":[" + other + "," + family +
                                     "],\"exchanged_codes\":{\"B\":{\"family\":\"A\",\"expires_at\":1750000600}}}");
    id_refresh_token rec{};
    char next[64];
    ASSERT_EQ(id_refresh_token_rotate(rt, "c1", next, sizeof next, &rec), 0);
    EXPECT_EQ(rec.auth_time, 1749999000) << "the successor keeps the sign-in time";

    // Presented again (by either call), the code ends the family: the successor goes too.
    at(kNow + 600);
    const std::string kept = "{\"sessions\":{},\"auth_codes\":{},\"refresh\":[" + other +
                             "],\"exchanged_codes\":{},\"rotated\":[]}";
    char untouched[47] = "untouched";
    EXPECT_EQ(id_auth_code_exchange(code.c_str(), "c1", "https://a/cb", kVerifier, &got, untouched, sizeof untouched), -6);
    EXPECT_STREQ(untouched, "untouched");
    EXPECT_EQ(shown({}), kept);
    EXPECT_EQ(id_auth_code_exchange(code.c_str(), "c1", "https://a/cb", kVerifier, &got, untouched, sizeof untouched), -1);
    EXPECT_EQ(id_refresh_token_rotate(next, "c1", untouched, sizeof untouched, nullptr), -1) << "the family is gone";

    // Through id_auth_code_consume, and by another client: the same end.
    const std::string second = issue("c1", nullptr, nullptr, nullptr);
    ASSERT_EQ(id_auth_code_exchange(second.c_str(), "c1", nullptr, nullptr, nullptr, rt, sizeof rt), 0);
    EXPECT_EQ(id_auth_code_consume(second.c_str(), "c2", nullptr, nullptr, nullptr), -6);
    EXPECT_EQ(id_refresh_token_find(rt, nullptr), 0);
    EXPECT_EQ(shown({}), kept);

    // After the code's expiry a replay is an unknown code: nothing is ended, and the next save
    // drops the remembered code.
    at(kNow + 1000);
    const std::string third = issue("c1", nullptr, nullptr, nullptr);
    ASSERT_EQ(id_auth_code_exchange(third.c_str(), "c1", nullptr, nullptr, nullptr, rt, sizeof rt), 0);
    at(kNow + 1601);
    const std::string before = text();
    EXPECT_EQ(id_auth_code_exchange(third.c_str(), "c1", nullptr, nullptr, nullptr, untouched, sizeof untouched), -1);
    EXPECT_EQ(text(), before);
    EXPECT_EQ(id_refresh_token_find(rt, nullptr), 1);
    ASSERT_EQ(id_session_delete("sess_none"), 0);
    EXPECT_EQ(tarn::json::member(doc()["exchanged_codes"], third), nullptr);
}

// What the exchange refuses issues no refresh token and remembers nothing: a failed check burns
// the code as id_auth_code_consume does; a buffer too small, no randomness or a "refresh" that is
// not an array leave the store as it was.
TEST_F(Codes, ExchangeIssuesNothingWhenItRefuses) {
    const std::vector<std::tuple<std::string, int, bool>> cases = {  // client, result, code burnt
        {"c2", -3, true},
        {"c1", -1, false},  // with a buffer of 46 bytes
    };
    for (const auto& [client, result, burnt] : cases) {
        SCOPED_TRACE(client);
        const std::string code = issue("c1", nullptr, nullptr, nullptr);
        const std::string before = compact(&doc()["refresh"]);
        char rt[47] = "untouched";
        EXPECT_EQ(id_auth_code_exchange(code.c_str(), client.c_str(), nullptr, nullptr, nullptr, rt,
                                        result == -1 ? 46 : sizeof rt),
                  result);
        EXPECT_STREQ(rt, "untouched");
        EXPECT_EQ(compact(&doc()["refresh"]), before);
        EXPECT_EQ(tarn::json::member(doc(), "exchanged_codes"), nullptr);
        EXPECT_EQ(record(code) == "<none>", burnt);
        EXPECT_EQ(id_auth_code_exchange(code.c_str(), "c1", nullptr, nullptr, nullptr, nullptr, 47), -1);
    }
    const std::string code = issue("c1", nullptr, nullptr, nullptr);
    const std::string kept = text();
    char rt[47] = "untouched";
    tarn::crypto::testing::set_getrandom(&tarn::test::failing_getrandom);
    EXPECT_EQ(id_auth_code_exchange(code.c_str(), "c1", nullptr, nullptr, nullptr, rt, sizeof rt), -1);
    tarn::crypto::testing::set_getrandom(nullptr);
    EXPECT_EQ(text(), kept);
    write("{\"auth_codes\":{\"" + code + "\":" + record(code) + "},\"refresh\":{}}");
    const std::string wrong_type = text();
    EXPECT_EQ(id_auth_code_exchange(code.c_str(), "c1", nullptr, nullptr, nullptr, rt, sizeof rt), -1);
    EXPECT_EQ(text(), wrong_type) << "the code stays";
    EXPECT_STREQ(rt, "untouched");
}

}  // namespace
