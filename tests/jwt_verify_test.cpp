// Token verification: every result code from tokens made independently with OpenSSL (layout,
// header, signature sizes, forged and swapped algorithms, payload, expiry), the claims record,
// and both directions of interoperation with PyJWT.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/clock.hpp"
#include "id_jwt.h"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "support/jwt_reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::b64url;
using tarn::test::Bytes;
using tarn::test::hs256_token;
using tarn::test::rs256_token;
using tarn::test::signing_input;

constexpr std::int64_t kNow = 1750000000;
std::int64_t fixed_clock() { return kNow; }
std::string at(std::int64_t plus) { return std::to_string(kNow + plus); }

const Bytes kSecret = [] {
    Bytes b(32);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(0xA0 + i);
    return b;
}();
const std::string kHs = R"({"alg":"HS256","typ":"JWT"})";

struct PkeyOwner {
    EVP_PKEY* p;
    ~PkeyOwner() { EVP_PKEY_free(p); }
};

// Every field of a claims record in one line, so that a mismatch shows all of them.
std::string describe(const id_jwt_claims& c) {
    std::ostringstream s;
    s << "iss=" << c.iss << "|sub=" << c.sub << "|username=" << c.username << "|email=" << c.email
      << "|aud=" << c.aud << "|scope=" << c.scope << "|jti=" << c.jti << "|token_use=" << c.token_use
      << "|exp=" << c.exp << "|iat=" << c.iat;
    return s.str();
}

class Verify : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::test::write_file(data.file("keys.json"), tarn::test::shared_keys_json());
        tarn::test::write_file(data.file("secret.key"), std::string(kSecret.begin(), kSecret.end()));
        tarn::keys::testing::reset_table();
        tarn::testing::set_clock(&fixed_clock);
    }
    void TearDown() override {
        tarn::testing::set_clock(nullptr);
        tarn::keys::testing::reset_table();
    }
    std::string rs(const std::string& payload) { return rs256_token(rs_header, payload, key.p); }
    std::string hs(const std::string& payload) { return hs256_token(kHs, payload, kSecret); }

    tarn::test::DataDirFixture data;
    const std::string kid = tarn::test::active_kid(tarn::test::shared_keys_json());
    const std::string rs_header = R"({"alg":"RS256","typ":"JWT","kid":")" + kid + R"("})";
    PkeyOwner key{tarn::test::stored_private_key(tarn::test::shared_keys_json(), kid)};
};

TEST_F(Verify, ResultCodes) {
    const std::string claims = R"({"sub":"usr_1","exp":)" + at(60) + "}";
    const std::string good_rs = rs(claims);
    const std::string good_hs = hs(claims);
    const std::string input = good_rs.substr(0, good_rs.rfind('.'));
    auto with_sig = [](const std::string& in, const Bytes& sig) { return in + "." + b64url(sig); };
    const Bytes rs_sig = tarn::test::unb64url(good_rs.substr(good_rs.rfind('.') + 1));
    auto flip = [](std::string t, std::size_t at) {
        t[at] = t[at] == 'A' ? 'B' : 'A';
        return t;
    };
    // Another RSA key signing under our kid, and HMAC keyed with our public key (an algorithm swap).
    PkeyOwner stranger{EVP_RSA_gen(2048)};
    BIO* pem = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(pem, key.p);
    char* pem_text = nullptr;
    const long pem_len = BIO_get_mem_data(pem, &pem_text);
    const Bytes public_pem(pem_text, pem_text + pem_len);
    BIO_free(pem);
    const std::string swapped = R"({"alg":"HS256","typ":"JWT","kid":")" + kid + R"("})";
    auto padded_header = [](std::size_t len) {  // {"alg":"HS256","x":"aaa"} of `len` bytes
        return R"({"alg":"HS256","x":")" + std::string(len - 22, 'a') + R"("})";
    };
    auto std_b64 = [](const Bytes& b) {  // "+", "/" and "=" padding, as base64 writes them
        std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
        out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(), static_cast<int>(b.size()))));
        return out;
    };
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "[";

    struct Case {
        const char* name;
        std::string token;
        int result;
    };
    const std::vector<Case> cases = {
        {"RS256 signed by OpenSSL with the stored key", good_rs, ID_JWT_VALID},
        {"HS256 signed with secret.key", good_hs, ID_JWT_VALID},
        {"empty", "", ID_JWT_MALFORMED},
        {"no dot", "abc", ID_JWT_MALFORMED},
        {"one dot", "abc.def", ID_JWT_MALFORMED},
        {"three dots", good_hs + ".x", ID_JWT_MALFORMED},
        {"one character after the signature (its bits dropped)", good_rs + "A", ID_JWT_MALFORMED},
        {"padding after the signature", good_rs + "==", ID_JWT_VALID},
        {"text after a group of padding", good_rs + "==" + "====" + "AAAA", ID_JWT_MALFORMED},
        {"header not base64", "*" + good_hs, ID_JWT_MALFORMED},
        {"header not JSON", hs256_token("{", claims, kSecret), ID_JWT_MALFORMED},
        {"header an array", hs256_token("[1]", claims, kSecret), ID_JWT_MALFORMED},
        {"no alg", hs256_token(R"({"typ":"JWT"})", claims, kSecret), ID_JWT_MALFORMED},
        {"alg a number", hs256_token(R"({"alg":256})", claims, kSecret), ID_JWT_MALFORMED},
        {"alg empty", hs256_token(R"({"alg":""})", claims, kSecret), ID_JWT_MALFORMED},
        {"alg none", signing_input(R"({"alg":"none"})", claims) + ".", ID_JWT_MALFORMED},
        {"alg in lower case", hs256_token(R"({"alg":"hs256"})", claims, kSecret), ID_JWT_MALFORMED},
        {"alg with a NUL after HS256", hs256_token(R"({"alg":"HS256\u0000"})", claims, kSecret), ID_JWT_MALFORMED},
        {"header of 511 bytes", hs256_token(padded_header(511), claims, kSecret), ID_JWT_VALID},
        {"header of 512 bytes", hs256_token(padded_header(512), claims, kSecret), ID_JWT_MALFORMED},
        {"HS256 with another key", hs256_token(kHs, claims, Bytes(32, 7)), ID_JWT_BAD_SIGNATURE},
        {"HS256 keyed with the public key", hs256_token(swapped, claims, public_pem), ID_JWT_BAD_SIGNATURE},
        {"HS256 signature of 31 bytes", with_sig(signing_input(kHs, claims), Bytes(31, 1)), ID_JWT_MALFORMED},
        {"HS256 signature of 33 bytes", with_sig(signing_input(kHs, claims), Bytes(33, 1)), ID_JWT_MALFORMED},
        {"RS256 signature of 255 bytes", with_sig(input, Bytes(rs_sig.begin(), rs_sig.end() - 1)), ID_JWT_MALFORMED},
        {"RS256 signature with a byte appended", with_sig(input, [&] { Bytes b = rs_sig; b.push_back(0); return b; }()), ID_JWT_MALFORMED},
        {"RS256 without kid", rs256_token(R"({"alg":"RS256"})", claims, key.p), ID_JWT_BAD_SIGNATURE},
        {"RS256 with an unknown kid", rs256_token(R"({"alg":"RS256","kid":"AAAAAAAAAAAAAAAA"})", claims, key.p), ID_JWT_BAD_SIGNATURE},
        {"RS256 with our kid and more", rs256_token(R"({"alg":"RS256","kid":")" + kid + R"(AAAAAAAAAAAAAA"})", claims, key.p), ID_JWT_BAD_SIGNATURE},
        {"RS256 with our kid, NUL and more", rs256_token(R"({"alg":"RS256","kid":")" + kid + R"(\u0000x"})", claims, key.p), ID_JWT_BAD_SIGNATURE},
        {"RS256 signed by another key", rs256_token(rs_header, claims, stranger.p), ID_JWT_BAD_SIGNATURE},
        {"header changed", signing_input(rs_header + " ", claims) + good_rs.substr(good_rs.rfind('.')), ID_JWT_BAD_SIGNATURE},
        {"payload changed", flip(good_rs, input.size() - 3), ID_JWT_BAD_SIGNATURE},
        {"signature changed", flip(good_rs, good_rs.size() - 5), ID_JWT_BAD_SIGNATURE},
        {"payload not base64 under a wrong signature", signing_input(kHs, "") + "*" + good_hs.substr(good_hs.rfind('.')), ID_JWT_BAD_SIGNATURE},
        {"signed payload not base64", [&] { std::string in = signing_input(kHs, "") + "*"; return in + "." + b64url(tarn::test::hmac_sha256(kSecret, in)); }(), ID_JWT_MALFORMED},
        {"payload not JSON", hs("{\"exp\":"), ID_JWT_MALFORMED},
        {"payload an array", hs("[]"), ID_JWT_MALFORMED},
        {"payload nested 200 deep", hs(deep), ID_JWT_MALFORMED},
        {"payload not UTF-8", hs("{\"sub\":\"\xC3\x28\"}"), ID_JWT_MALFORMED},
        {"payload of 4095 bytes", hs("{\"x\":\"" + std::string(4087, 'a') + "\"}"), ID_JWT_VALID},
        {"payload of 4096 bytes", hs("{\"x\":\"" + std::string(4088, 'a') + "\"}"), ID_JWT_MALFORMED},
        {"exp a second ago", hs(R"({"exp":)" + at(-1) + "}"), ID_JWT_EXPIRED},
        {"exp now", hs(R"({"exp":)" + at(0) + "}"), ID_JWT_VALID},
        {"exp negative", hs(R"({"exp":-5})"), ID_JWT_EXPIRED},
        {"exp 0", hs(R"({"exp":0})"), ID_JWT_VALID},
        {"exp a real number", hs(R"({"exp":1.5e9})"), ID_JWT_VALID},
        {"exp a string", hs(R"({"exp":"1"})"), ID_JWT_VALID},
        {"exp beyond 64 signed bits", hs(R"({"exp":18446744073709551615})"), ID_JWT_VALID},
        {"no exp", hs("{}"), ID_JWT_VALID},
        {"the first of two exp counts (ahead)", hs(R"({"exp":)" + at(9) + R"(,"exp":1})"), ID_JWT_VALID},
        {"the first of two exp counts (past)", hs(R"({"exp":1,"exp":)" + at(9) + "}"), ID_JWT_EXPIRED},
        {"standard base64, padding and line breaks", [&] {
             const std::string in = std_b64(Bytes(kHs.begin(), kHs.end())) + "." + std_b64(Bytes(claims.begin(), claims.end()));
             return in + "." + std_b64(tarn::test::hmac_sha256(kSecret, in)) + "\r\n";
         }(), ID_JWT_VALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        id_jwt_claims record;
        std::memset(&record, 0x5A, sizeof record);
        const id_jwt_claims untouched = record;
        EXPECT_EQ(id_jwt_verify(c.token.c_str(), &record), c.result);
        EXPECT_EQ(id_jwt_verify(c.token.c_str(), nullptr), c.result);
        if (c.result != ID_JWT_VALID) {
            EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0) << "the record was written";
        }
    }
    EXPECT_EQ(id_jwt_verify(nullptr, nullptr), ID_JWT_MALFORMED);
}

TEST_F(Verify, ClaimsRecord) {
    const std::string a255(255, 'a');
    struct Case {
        const char* name;
        std::string payload;
        std::string claims;
    };
    const std::vector<Case> cases = {
        {"an access token",
         R"({"iss":"https://id/","sub":"usr_1","username":"alice","preferred_username":"al","email":"a@x","client_id":"c","aud":"c","scope":"openid","jti":"AAECAwQFBgcICQoL","token_use":"access","iat":5,"exp":)" + at(1) + "}",
         "iss=https://id/|sub=usr_1|username=alice|email=a@x|aud=c|scope=openid|jti=AAECAwQFBgcICQoL|token_use=access|exp=" + at(1) + "|iat=5"},
        {"no username: preferred_username", R"({"preferred_username":"bob"})",
         "iss=|sub=|username=bob|email=|aud=|scope=|jti=|token_use=|exp=0|iat=0"},
        {"a username that is a number hides preferred_username", R"({"username":5,"preferred_username":"bob"})",
         "iss=|sub=|username=|email=|aud=|scope=|jti=|token_use=|exp=0|iat=0"},
        {"texts of other types, an array audience, real iat", R"({"iss":null,"sub":1,"email":[],"aud":["c"],"scope":{},"iat":1.5})",
         "iss=|sub=|username=|email=|aud=|scope=|jti=|token_use=|exp=0|iat=0"},
        {"the first of duplicates", R"({"sub":"first","sub":"second","iat":-7,"iat":8})",
         "iss=|sub=first|username=|email=|aud=|scope=|jti=|token_use=|exp=0|iat=-7"},
        {"long texts cut", R"({"sub":")" + a255 + R"(b","token_use":"access-token"})",
         "iss=|sub=" + a255 + "|username=|email=|aud=|scope=|jti=|token_use=access-|exp=0|iat=0"},
        {"a cut at a character boundary", R"({"sub":")" + a255.substr(1) + "\xC3\xA9\"}",
         "iss=|sub=" + a255.substr(1) + "|username=|email=|aud=|scope=|jti=|token_use=|exp=0|iat=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        id_jwt_claims record;
        std::memset(&record, 0x5A, sizeof record);
        ASSERT_EQ(id_jwt_verify(hs(c.payload).c_str(), &record), ID_JWT_VALID);
        EXPECT_EQ(describe(record), c.claims);
        EXPECT_EQ(record.iss[sizeof record.iss - 1], '\0') << "zeroed before it is filled";
    }
}

// Tokens of both makers checked by the other: ours by PyJWT against the published key set, and
// PyJWT's (RS256 with our stored key and kid, HS256 with secret.key) by id_jwt_verify.
TEST_F(Verify, InteroperatesWithPyJwt) {
    tarn::testing::set_clock(nullptr);  // PyJWT checks "exp" against the real clock
    char access[ID_JWT_TOKEN_CAP], id1[ID_JWT_TOKEN_CAP], id2[ID_JWT_TOKEN_CAP];
    ASSERT_EQ(id_jwt_mint_access_token("https://id/", "usr_1", "a\"l\\i/c\xC3\xA9", "a@x", "client_1", nullptr, 0, access, sizeof access), 0);
    ASSERT_EQ(id_jwt_mint_id_token("https://id/", "usr_1", "alice", nullptr, "client_1", "n", 0, id1, sizeof id1), 0);
    ASSERT_EQ(id_jwt_mint_id_token_v2("https://id/", "usr_1", "alice", "a@x", "client_1", "n", access, 1700000000, 0, id2, sizeof id2), 0);
    const std::string jwks = tarn::test::take(id_keys_jwks_json());
    tarn::test::write_file(data.work() + "/in.json",
                           R"({"jwks":)" + jwks + R"(,"tokens":[")" + access + R"(",")" + id1 + R"(",")" + id2 +
                               R"("],"keys_json":")" + data.file("keys.json") + R"(","secret":")" + data.file("secret.key") + R"("})");
    tarn::test::write_file(data.work() + "/check.py", R"(
import base64, hashlib, json, sys, time
import jwt
from cryptography.hazmat.primitives import serialization
inp = json.load(open(sys.argv[1]))
keys = {k.key_id: k.key for k in jwt.PyJWKSet.from_dict({"keys": inp["jwks"]}).keys}
for token in inp["tokens"]:
    claims = jwt.decode(token, keys[jwt.get_unverified_header(token)["kid"]], algorithms=["RS256"], audience="client_1")
    print("verified", claims.get("token_use", "-"), claims["preferred_username"])
at_hash = base64.urlsafe_b64encode(hashlib.sha256(inp["tokens"][0].encode()).digest()[:16]).rstrip(b"=").decode()
print("at_hash", at_hash == jwt.decode(inp["tokens"][2], options={"verify_signature": False})["at_hash"])
store = json.load(open(inp["keys_json"]))
der = next(k for k in store["keys"] if k["kid"] == store["active"])["priv_der_b64"]
private = serialization.load_der_private_key(base64.urlsafe_b64decode(der + "=" * (-len(der) % 4)), None)
claims = {"sub": "usr_py", "aud": "client_1", "exp": int(time.time()) + 600, "username": "py", "token_use": "access"}
print(jwt.encode(claims, private, algorithm="RS256", headers={"kid": store["active"]}))
print(jwt.encode(claims, open(inp["secret"], "rb").read()[:32], algorithm="HS256"))
)");
    const std::string out = data.work() + "/out.txt";
    ASSERT_EQ(std::system(("/usr/bin/python3 " + data.work() + "/check.py " + data.work() + "/in.json >" + out + " 2>&1").c_str()), 0)
        << tarn::test::read_file(out);
    std::istringstream lines(tarn::test::read_file(out));
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line)) got.push_back(line);
    ASSERT_EQ(got.size(), 6u) << tarn::test::read_file(out);
    EXPECT_EQ(got[0], "verified access a\"l\\i/c\xC3\xA9");
    EXPECT_EQ(got[1], "verified - alice");
    EXPECT_EQ(got[2], "verified id alice");
    EXPECT_EQ(got[3], "at_hash True");
    for (const std::string& token : {got[4], got[5]}) {
        id_jwt_claims c;
        ASSERT_EQ(id_jwt_verify(token.c_str(), &c), ID_JWT_VALID) << token;
        EXPECT_STREQ(c.sub, "usr_py");
        EXPECT_STREQ(c.username, "py");
        EXPECT_STREQ(c.aud, "client_1");
        EXPECT_STREQ(c.token_use, "access");
    }
}

// Tokens signed before a rotation keep verifying with the retired key; no key view of an
// earlier lookup is used after the table changed.
TEST_F(Verify, RetiredKeysStillVerifyAfterARotation) {
    const std::string before = rs(R"({"sub":"old"})");
    ASSERT_EQ(id_jwt_verify(before.c_str(), nullptr), ID_JWT_VALID);
    ASSERT_EQ(id_keys_rotate(), 0);
    char after[ID_JWT_TOKEN_CAP];
    ASSERT_EQ(id_jwt_mint_id_token(nullptr, "new", nullptr, nullptr, nullptr, nullptr, 0, after, sizeof after), 0);
    EXPECT_NE(tarn::test::segment(after, 0), rs_header);
    EXPECT_EQ(id_jwt_verify(before.c_str(), nullptr), ID_JWT_VALID);
    EXPECT_EQ(id_jwt_verify(after, nullptr), ID_JWT_VALID);
    EXPECT_EQ(id_jwt_verify(before.c_str(), nullptr), ID_JWT_VALID);
}

// An ID token given back as a hint: the signature still decides, the expiry no longer does, and
// the issuer, the use, the subject and (when named) the audience must be the ones asked for.
TEST_F(Verify, HintsMayHaveExpired) {
    auto id_token = [](const std::string& iss, const std::string& aud, const std::string& use, std::int64_t exp) {
        return R"({"iss":")" + iss + R"(","sub":"usr_1","aud":")" + aud + R"(","token_use":")" + use +
               R"(","exp":)" + at(exp) + "}";
    };
    const std::string good = id_token("https://id/", "c1", "id", -86400);
    const std::string long_iss(300, 'i'), cut_iss = long_iss.substr(0, 255);
    struct Case {
        const char* name;
        std::string token;
        const char* issuer;
        const char* audience;
        int result;
    };
    const std::vector<Case> cases = {
        {"expired a day ago", rs(good), "https://id/", "c1", ID_JWT_VALID},
        {"not expired", rs(id_token("https://id/", "c1", "id", 60)), "https://id/", "c1", ID_JWT_VALID},
        {"any audience", rs(good), "https://id/", nullptr, ID_JWT_VALID},
        {"empty audience is any", rs(good), "https://id/", "", ID_JWT_VALID},
        {"HS256 with secret.key", hs(good), "https://id/", "c1", ID_JWT_VALID},
        {"another issuer", rs(good), "https://id", "c1", ID_JWT_NOT_A_HINT},
        {"no issuer asked", rs(good), nullptr, nullptr, ID_JWT_NOT_A_HINT},
        {"long issuer compared whole", rs(id_token(long_iss, "c1", "id", 0)), cut_iss.c_str(), nullptr,
         ID_JWT_NOT_A_HINT},
        {"another audience", rs(good), "https://id/", "c2", ID_JWT_NOT_A_HINT},
        {"an access token", rs(id_token("https://id/", "c1", "access", 60)), "https://id/", nullptr, ID_JWT_NOT_A_HINT},
        {"no subject", rs(R"({"iss":"https://id/","aud":"c1","token_use":"id"})"), "https://id/", nullptr,
         ID_JWT_NOT_A_HINT},
        {"audience array, one named", rs(R"({"iss":"https://id/","sub":"u","aud":["c1"],"token_use":"id"})"),
         "https://id/", "c1", ID_JWT_NOT_A_HINT},
        {"bad signature", rs(good).substr(0, rs(good).size() - 4) + "AAAA", "https://id/", "c1", ID_JWT_BAD_SIGNATURE},
        {"alg none", signing_input(R"({"alg":"none"})", good) + ".", "https://id/", "c1", ID_JWT_MALFORMED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        id_jwt_claims got;
        std::memset(&got, 0x5A, sizeof got);
        const id_jwt_claims untouched = got;
        EXPECT_EQ(id_jwt_verify_hint(c.token.c_str(), c.issuer, c.audience, &got), c.result);
        if (c.result == ID_JWT_VALID) {
            EXPECT_STREQ(got.sub, "usr_1");
        } else {
            EXPECT_EQ(std::memcmp(&got, &untouched, sizeof got), 0);
        }
    }
    EXPECT_EQ(id_jwt_verify(rs(good).c_str(), nullptr), ID_JWT_EXPIRED) << "id_jwt_verify still refuses it";
    EXPECT_EQ(id_jwt_verify_hint(nullptr, "https://id/", nullptr, nullptr), ID_JWT_MALFORMED);
}

}  // namespace
