// The configuration report: each value with its source, every problem of config.json named by
// the same reader id_get_config uses (so the record and the report cannot disagree), and nothing
// created, not even the data directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/config.hpp"
#include "foundation/document.hpp"
#include "id_foundation.h"
#include "support/test_env.hpp"

using tarn::test::file_exists;
using tarn::test::ScopedCwd;
using tarn::test::ScopedEnv;
using tarn::test::TempDir;
using tarn::test::write_file;

namespace {

struct Report {
    std::string state;
    std::vector<std::string> problems;
    std::vector<std::vector<std::string>> values;  // name, value, source
};

Report report() {
    char* text = id_config_report_json();
    EXPECT_NE(text, nullptr);
    tarn::Document doc;
    EXPECT_TRUE(tarn::parse_json(text ? text : "", doc)) << (text ? text : "");
    id_free(text);
    Report r;
    r.state = doc["config_file"]["state"].GetString();
    for (const auto& p : doc["problems"].GetArray()) r.problems.push_back(p.GetString());
    for (const auto& v : doc["values"].GetArray())
        r.values.push_back({v["name"].GetString(), v["value"].GetString(), v["source"].GetString()});
    return r;
}

class ConfigReportTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedCwd cwd{dir.path()};
    ScopedEnv e1{"IDENTITY_DATA_DIR", std::nullopt}, e2{"IDENTITY_PORT", std::nullopt},
        e3{"IDENTITY_ADMIN_SECRET", std::nullopt}, e4{"IDENTITY_BASE_URL", std::nullopt},
        e5{"HTTP_HOST", std::nullopt}, e6{"IDENTITY_JWKS_FILE", std::nullopt};

    void config_json(const std::string& text) { write_file(dir.file("config.json"), text); }
};

}  // namespace

TEST_F(ConfigReportTest, EachProblemOfConfigJsonIsOneLine) {
    struct Case {
        const char* text;
        const char* state;
        std::vector<std::string> problems;
    };
    const std::vector<Case> cases = {
        {R"({"data_dir": "d", "port": 9000, "base_url": "https://x", "admin_secret": "s", "jwks_file": "/p/k.json"})",
         "read", {}},
        {R"({"port": 9000,})", "invalid",
         {"config.json does not parse (strict JSON: no comments, no trailing commas): its settings are not used"}},
        {"", "invalid",
         {"config.json does not parse (strict JSON: no comments, no trailing commas): its settings are not used"}},
        {R"([{"port": 9000}])", "read", {"config.json: the root is not an object: its settings are not used"}},
        {R"({"port": "9000"})", "read", {"config.json: \"port\" is not an integer: it is not used"}},
        {R"({"port": 9000.0})", "read", {"config.json: \"port\" is not an integer: it is not used"}},
        {R"({"data_dir": 7, "base_url": null})", "read",
         {"config.json: \"data_dir\" is not a string: it is not used",
          "config.json: \"base_url\" is not a string: it is not used"}},
        {R"({"admin_secret": {}, "jwks_file": true})", "read",
         {"config.json: \"admin_secret\" is not a string: it is not used",
          "config.json: \"jwks_file\" is not a string: it is not used"}},
        {R"({"datadir": "x", "Port": 1})", "read",
         {"config.json: unknown member \"datadir\" is not used", "config.json: unknown member \"Port\" is not used"}},
        {R"({"port": 9000, "port": 9001})", "read",
         {"config.json: \"port\" appears more than once; the first counts"}},
        {R"({"port": 70000})", "read", {"port 70000 is not a TCP port from 1 to 65535 (set in config.json)"}},
        {R"({"port": 0})", "read", {"port 0 is not a TCP port from 1 to 65535 (set in config.json)"}},
        {R"({"jwks_file": "public/jwks.json"})", "read",
         {"jwks_file of config.json \"public/jwks.json\" is not an absolute path of a file: no key set is published"}},
        {R"({"jwks_file": "/srv/public/"})", "read",
         {"jwks_file of config.json \"/srv/public/\" is not an absolute path of a file: no key set is published"}},
    };
    for (const Case& c : cases) {
        config_json(c.text);
        const Report r = report();
        EXPECT_EQ(r.state, c.state) << c.text;
        EXPECT_EQ(r.problems, c.problems) << c.text;
    }
}

// A text the record cannot hold whole is a problem: one with a NUL inside is not used (cut there it
// would name another data directory, issuer or a one-letter secret); one longer than its field is
// cut to fit, as the record does, and named.
TEST_F(ConfigReportTest, TextsTheRecordCannotHoldAreNotUsed) {
    struct Case {
        std::string text;
        std::vector<std::string> problems;
        std::vector<std::string> data_dir;  // value, source
    };
    const std::string long_dir = "/" + std::string(1100, 'd');
    const std::vector<Case> cases = {
        {R"({"data_dir": "kept\u0000gone"})", {"config.json: \"data_dir\" holds a NUL character: it is not used"},
         {"data", "default"}},
        {R"({"admin_secret": "a\u0000longer secret"})",
         {"config.json: \"admin_secret\" holds a NUL character: it is not used"}, {"data", "default"}},
        {R"({"jwks_file": "/srv/p\u0000/k.json"})",
         {"config.json: \"jwks_file\" holds a NUL character: it is not used"}, {"data", "default"}},
        {"{\"data_dir\": \"" + long_dir + "\"}",
         {"config.json: \"data_dir\" is longer than 1023 bytes: it is cut to 1023"}, {long_dir.substr(0, 1023), "config.json"}},
        {"{\"base_url\": \"https://" + std::string(300, 'h') + "\"}",
         {"config.json: \"base_url\" is longer than 255 bytes: it is cut to 255"}, {"data", "default"}},
        {"{\"admin_secret\": \"" + std::string(256, 's') + "\"}",
         {"config.json: \"admin_secret\" is longer than 255 bytes: it is cut to 255"}, {"data", "default"}},
        {"{\"data_dir\": \"" + std::string(1023, 'd') + "\"}", {}, {std::string(1023, 'd'), "config.json"}},
        {R"({"port": 4294975376})", {"config.json: \"port\" 4294975376 is not a TCP port from 1 to 65535"},
         {"data", "default"}},
    };
    for (const Case& c : cases) {
        config_json(c.text);
        const Report r = report();
        EXPECT_EQ(r.problems, c.problems) << c.text.substr(0, 80);
        EXPECT_EQ(r.values[0], (std::vector<std::string>{"data_dir", c.data_dir[0], c.data_dir[1]})) << c.text.substr(0, 80);
    }
    id_config cfg;
    config_json(R"({"admin_secret": "a\u0000longer secret"})");
    id_get_config(&cfg);
    EXPECT_STREQ(cfg.admin_secret, "");  // the admin route stays off rather than taking "a"
    config_json(R"({"data_dir": "kept\u0000gone"})");
    id_get_config(&cfg);
    EXPECT_STREQ(cfg.data_dir, "data");
    ScopedEnv data("IDENTITY_DATA_DIR", long_dir);
    config_json("{}");
    EXPECT_EQ(report().problems,
              std::vector<std::string>{"IDENTITY_DATA_DIR is longer than 1023 bytes: it is cut to 1023"});
}

TEST_F(ConfigReportTest, SourcesAndValuesAreThoseOfTheRecord) {
    config_json(R"({"port": 9000, "base_url": "https://id.example.com/", "admin_secret": "hush", "jwks_file": "/srv/k.json"})");
    ScopedEnv data("IDENTITY_DATA_DIR", dir.file("env-data"));
    ScopedEnv jwks("IDENTITY_JWKS_FILE", "/srv/public/jwks.json");
    const Report r = report();
    EXPECT_EQ(r.state, "read");
    EXPECT_EQ(r.problems, std::vector<std::string>{});
    const std::vector<std::vector<std::string>> expected = {
        {"data_dir", dir.file("env-data"), "environment"},
        {"port", "9000", "config.json"},
        {"base_url", "https://id.example.com", "config.json"},
        {"admin_secret", "(set)", "config.json"},  // never the secret itself
        {"jwks_file", "/srv/public/jwks.json", "environment"},
    };
    EXPECT_EQ(r.values, expected);
    EXPECT_FALSE(file_exists(dir.file("env-data")));  // the report creates nothing
    id_config cfg;
    id_get_config(&cfg);  // the record: the same values
    EXPECT_STREQ(cfg.data_dir, dir.file("env-data").c_str());
    EXPECT_EQ(cfg.port, 9000);
    EXPECT_STREQ(cfg.base_url, "https://id.example.com");
    EXPECT_EQ(tarn::config::jwks_file(), "/srv/public/jwks.json");
}

TEST_F(ConfigReportTest, DefaultsAndAMissingConfigJson) {
    const Report r = report();
    EXPECT_EQ(r.state, "missing");
    EXPECT_EQ(r.problems, std::vector<std::string>{});
    const std::vector<std::vector<std::string>> expected = {
        {"data_dir", "data", "default"},     {"port", "8080", "default"},
        {"base_url", "http://127.0.0.1:8080", "default"}, {"admin_secret", "", "default"},
        {"jwks_file", "", "default"},
    };
    EXPECT_EQ(r.values, expected);
    EXPECT_FALSE(file_exists(dir.file("data")));
    EXPECT_EQ(tarn::config::data_dir(), "data");
}

TEST_F(ConfigReportTest, EnvironmentProblems) {
    ScopedEnv port("IDENTITY_PORT", "http");
    EXPECT_EQ(report().problems,
              std::vector<std::string>{"port 0 is not a TCP port from 1 to 65535 (set in IDENTITY_PORT)"});
}

TEST_F(ConfigReportTest, APublishedKeySetInTheDataDirectoryIsRefused) {
    // However the data directory is spelled, the key set is never written among the documents
    // (a file named keys.json there would replace the private keys).
    const std::string data = dir.file("data");
    for (const std::string& jwks : {data + "/jwks.json", data + "/keys.json", dir.path() + "/./data/jwks.json"}) {
        ScopedEnv d("IDENTITY_DATA_DIR", data);
        ScopedEnv j("IDENTITY_JWKS_FILE", jwks);
        id_config cfg;
        id_get_config(&cfg);  // makes the data directory, so that it is compared by identity
        EXPECT_EQ(tarn::config::jwks_file(), "") << jwks;
        EXPECT_EQ(report().problems, std::vector<std::string>{"IDENTITY_JWKS_FILE \"" + jwks +
                                                              "\" is in the data directory: no key set is published there"})
            << jwks;
    }
    ScopedEnv d("IDENTITY_DATA_DIR", "data");  // relative, as the default is
    ScopedEnv j("IDENTITY_JWKS_FILE", dir.path() + "/data/jwks.json");
    EXPECT_EQ(tarn::config::jwks_file(), "");
}
