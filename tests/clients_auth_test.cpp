// Client authentication: the HTTP Basic header as clients send it (both base64 alphabets,
// padding, blanks, cuts, colons and percent signs), and the decision for confidential and public
// clients by parameters or header, with its messages, the header flag and the record handed out.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "id_clients.h"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::ScopedEnv;

constexpr const char* kMissing = "Missing client identification";
constexpr const char* kFailed = "Client authentication failed: unknown client or bad client_secret";
constexpr const char* kPublic = "public client must not authenticate with a secret";

// Standard base64 with padding, through OpenSSL.
std::string b64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string basic(const std::string& credentials) { return "Basic " + b64(credentials); }

TEST(BasicAuth, HeaderForms) {
    // Credentials whose standard encoding holds "+" and "/", to show the URL-safe alphabet too.
    const std::string odd = "id>>>:s???";
    ASSERT_NE(b64(odd).find_first_of("+/"), std::string::npos);
    std::string url_safe = tarn::test::b64url(reinterpret_cast<const unsigned char*>(odd.data()), odd.size());
    struct Case {
        std::optional<std::string> header;
        int result;
        std::string id, secret;
    };
    const std::string long_id(520, 'i');
    const std::vector<Case> cases = {
        {basic("app:pw"), 0, "app", "pw"},
        {"Basic   " + b64("app:pw"), 0, "app", "pw"},
        {"Basic " + url_safe, 0, "id>>>", "s???"},
        {basic(odd), 0, "id>>>", "s???"},
        {"Basic YX\r\nBw OnB3", 0, "app", "pw"},  // line breaks and spaces inside are skipped
        {basic(":pw"), 0, "", "pw"},
        {basic("app:p:w:"), 0, "app", "p:w:"},  // only the first ":" splits
        {basic("a%3Ab:c%20d"), 0, "a%3Ab", "c%20d"},  // nothing is unescaped
        {basic("app:" + std::string(600, 's')), 0, "app", std::string(507, 's')},  // 511 decoded bytes,
        {basic(long_id + ":pw"), -1, "", ""},  // cut at 511 bytes before the ":"
        {basic(std::string("ap\0p:pw", 7)), -1, "", ""},  // a NUL ends the text before the ":"
        {basic("nocolon"), -1, "", ""},
        {"Basic YX*w", -1, "", ""},
        {"basic " + b64("app:pw"), -1, "", ""},
        {"Bearer " + b64("app:pw"), -1, "", ""},
        {"Basic", -1, "", ""},
        {std::nullopt, -1, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header.value_or("<unset>").substr(0, 60));
        ScopedEnv header("HTTP_AUTHORIZATION", c.header);
        char id[600] = "###", secret[600] = "###";
        ASSERT_EQ(id_parse_basic_auth(id, sizeof id, secret, sizeof secret), c.result);
        EXPECT_EQ(std::string(id), c.result == 0 ? c.id : "###");
        EXPECT_EQ(std::string(secret), c.result == 0 ? c.secret : "###");
    }
    ScopedEnv header("HTTP_AUTHORIZATION", basic("app:pw"));
    EXPECT_EQ(id_parse_basic_auth(nullptr, 0, nullptr, 0), 0);
}

class Authentication : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::test::write_file(
            data.file("clients.json"),
            R"([{"client_id":"conf","name":"C","secret":"sec_right","scopes":"openid",)"
            R"("redirect_uris":["https://c/"]},)"
            R"({"client_id":"pub","name":"P","public":true,"scopes":"openid","redirect_uris":["https://p/"]},)"
            R"({"client_id":"pubsec","name":"PS","public":true,"secret":"sec_ps","redirect_uris":[]},)"
            R"({"client_id":"nosecret","name":"N","secret":""}])");
    }
    DataDirFixture data;
};

TEST_F(Authentication, Decisions) {
    struct Case {
        const char* id;
        const char* secret;
        std::optional<std::string> header;
        int result;
        const char* message;
        int from_header;
        const char* client;  // the record handed out on success
    };
    const std::string long_id = "conf" + std::string(300, 'x');
    const std::vector<Case> cases = {
        {"conf", "sec_right", std::nullopt, 0, "", 0, "conf"},
        {nullptr, nullptr, basic("conf:sec_right"), 0, "", 1, "conf"},
        {nullptr, "wrong", basic("conf:sec_right"), 0, "", 1, "conf"},  // the header's secret replaces
        {nullptr, nullptr, basic("conf:wrong"), -1, kFailed, 1, nullptr},
        {nullptr, "sec_right", "basic " + b64("conf:sec_right"), -1, kMissing, 0, nullptr},
        {nullptr, "sec_right", basic("nocolon"), -1, kMissing, 0, nullptr},
        {nullptr, nullptr, basic(":sec_right"), -1, kMissing, 1, nullptr},
        // A client id parameter: the header is not read at all.
        {"conf", "sec_right", basic("pub:"), 0, "", 0, "conf"},
        {"conf", nullptr, basic("conf:sec_right"), -1, kFailed, 0, nullptr},
        {"conf", "sec_righ", std::nullopt, -1, kFailed, 0, nullptr},
        {"conf", "sec_rightx", std::nullopt, -1, kFailed, 0, nullptr},
        {"unknown", "sec_right", std::nullopt, -1, kFailed, 0, nullptr},
        {long_id.c_str(), "sec_right", std::nullopt, -1, kFailed, 0, nullptr},  // cut to 255: unknown
        {"pub", nullptr, std::nullopt, 0, "", 0, "pub"},
        {"pub", "anything", std::nullopt, -1, kPublic, 0, nullptr},
        {nullptr, nullptr, basic("pub:x"), -1, kPublic, 1, nullptr},
        {"pubsec", nullptr, std::nullopt, 0, "", 0, "pubsec"},
        {"pubsec", "sec_ps", std::nullopt, 0, "", 0, "pubsec"},
        {"pubsec", "sec_p", std::nullopt, -1, kFailed, 0, nullptr},
        {"nosecret", "x", std::nullopt, -1, kFailed, 0, nullptr},  // confidential without a secret
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.id ? c.id : "<null>").substr(0, 20) + " / " + (c.secret ? c.secret : "<null>") +
                     " / " + c.header.value_or("<no header>"));
        ScopedEnv header("HTTP_AUTHORIZATION", c.header);
        id_client out;
        std::memset(&out, 0x5A, sizeof out);
        const id_client untouched = out;
        int from_header = 7;
        char msg[128] = "stale";
        ASSERT_EQ(id_authenticate_client(c.id, c.secret, &out, &from_header, msg, sizeof msg), c.result);
        EXPECT_STREQ(msg, c.message);
        EXPECT_EQ(from_header, c.from_header);
        if (!c.client) {
            EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0) << "the record is written only on success";
            continue;
        }
        id_client stored;
        ASSERT_EQ(id_client_find_by_id(c.client, &stored), 1);
        EXPECT_EQ(std::memcmp(&out, &stored, sizeof out), 0) << "the whole record, stored secret included";
    }
    // Optional outputs may be left out; a short message buffer gets the message cut.
    char small[8];
    EXPECT_EQ(id_authenticate_client(nullptr, nullptr, nullptr, nullptr, small, sizeof small), -1);
    EXPECT_STREQ(small, "Missing");
    EXPECT_EQ(id_authenticate_client("conf", "sec_right", nullptr, nullptr, nullptr, 0), 0);
}

TEST_F(Authentication, NoRegistryNoClient) {
    std::filesystem::remove(data.file("clients.json"));
    char msg[128];
    EXPECT_EQ(id_authenticate_client("conf", "sec_right", nullptr, nullptr, msg, sizeof msg), -1);
    EXPECT_STREQ(msg, kFailed);
}

// Basic credentials are form-urldecoded (RFC 6749 2.3.1), and tried as they came when that
// fails, so that a stored id or secret holding "%" or "+" authenticates encoded and unencoded;
// parameters, already decoded by the request reader, are taken as they are.
TEST(BasicAuthDecoding, EncodedAndUnencodedCredentials) {
    DataDirFixture data;
    tarn::test::write_file(data.file("clients.json"),
                           R"([{"client_id":"conf","secret":"sec_right"},)"
                           R"({"client_id":"a+b","secret":"p%2Bq r+s"},)"
                           R"({"client_id":"c d","secret":"x y"}])");
    const std::vector<std::tuple<const char*, const char*, std::optional<std::string>, int, const char*>> cases = {
        {nullptr, nullptr, basic("con%66:sec%5fright"), 0, "conf"},
        {nullptr, nullptr, basic("conf:sec_right%"), -1, nullptr},         // a bad escape stays a "%"
        {nullptr, nullptr, basic("conf:sec_right%00x"), -1, nullptr},      // a decoded NUL: only as it came
        {nullptr, nullptr, basic("conf%00:sec_right"), -1, nullptr},
        {nullptr, nullptr, basic("a+b:p%2Bq r+s"), 0, "a+b"},              // unencoded, as before
        {nullptr, nullptr, basic("a%2Bb:p%252Bq+r%2Bs"), 0, "a+b"},        // encoded by the RFC
        {nullptr, nullptr, basic("a%2Bb:p+q r s"), -1, nullptr},           // neither form matches
        {nullptr, nullptr, basic("c+d:x+y"), 0, "c d"},
        {nullptr, nullptr, basic("c d:x y"), 0, "c d"},
        {nullptr, nullptr, basic("c%20d:x%20y"), 0, "c d"},
        {"a+b", "p%2Bq r+s", std::nullopt, 0, "a+b"},
        {"a+b", "p+q r s", std::nullopt, -1, nullptr},
        {"c+d", "x y", std::nullopt, -1, nullptr},
    };
    for (const auto& [id, secret, header, result, client] : cases) {
        SCOPED_TRACE(header ? *header : std::string(id) + " / " + secret);
        ScopedEnv env("HTTP_AUTHORIZATION", header);
        id_client out{};
        EXPECT_EQ(id_authenticate_client(id, secret, &out, nullptr, nullptr, 0), result);
        EXPECT_STREQ(out.client_id, client ? client : "");
    }
}

}  // namespace
