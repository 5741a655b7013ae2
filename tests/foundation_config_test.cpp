// Configuration precedence: environment over config.json over defaults, base URL derivation, the
// port as atoi reads it, and creation of the data directory.
#include <gtest/gtest.h>

#include <string>

#include "id_foundation.h"
#include "support/test_env.hpp"

using tarn::test::file_exists;
using tarn::test::file_mode;
using tarn::test::ScopedCwd;
using tarn::test::ScopedEnv;
using tarn::test::TempDir;
using tarn::test::write_file;

namespace {

// A scratch working directory with every configuration variable unset.
class ConfigTest : public ::testing::Test {
protected:
    TempDir dir;
    ScopedCwd cwd{dir.path()};
    ScopedEnv e1{"IDENTITY_DATA_DIR", std::nullopt}, e2{"IDENTITY_PORT", std::nullopt},
        e3{"IDENTITY_ADMIN_SECRET", std::nullopt}, e4{"IDENTITY_BASE_URL", std::nullopt},
        e5{"HTTP_HOST", std::nullopt};

    id_config load() {
        id_config cfg;
        id_get_config(&cfg);
        return cfg;
    }
    void config_json(const std::string& text) { write_file(dir.file("config.json"), text); }
};

}  // namespace

TEST_F(ConfigTest, DefaultsCreateDataDirectory) {
    id_config cfg = load();
    EXPECT_STREQ(cfg.data_dir, "data");
    EXPECT_EQ(cfg.port, 8080);
    EXPECT_STREQ(cfg.admin_secret, "");
    EXPECT_STREQ(cfg.base_url, "http://127.0.0.1:8080");
    EXPECT_TRUE(file_exists(dir.file("data")));
    EXPECT_EQ(file_mode(dir.file("data")), 0700u);
}

TEST_F(ConfigTest, ConfigFilePortAndTypes) {
    config_json(R"({"port": 9000})");
    EXPECT_STREQ(load().base_url, "http://127.0.0.1:9000");
    config_json(R"({"port": 9000.5})");
    EXPECT_EQ(load().port, 8080);
    config_json(R"({"port": 1e3})");
    EXPECT_EQ(load().port, 8080);
    config_json(R"({"port": "9000", "admin_secret": 5, "data_dir": ["x"]})");
    id_config cfg = load();
    EXPECT_EQ(cfg.port, 8080);
    EXPECT_STREQ(cfg.admin_secret, "");
    EXPECT_STREQ(cfg.data_dir, "data");
    config_json(R"({"port": 4294967297})");  // low 32 bits of the integer
    EXPECT_EQ(load().port, 1);
    config_json(R"({"port": -1})");
    EXPECT_EQ(load().port, -1);
    config_json(R"({"port": 7000, "port": 7001})");  // the first member of a name counts
    EXPECT_EQ(load().port, 7000);
}

TEST_F(ConfigTest, InvalidConfigFilesAreIgnored) {
    // Nesting beyond 128 levels is refused like any invalid text, a million levels included (a
    // parse that recursed per level would overflow the stack of every process).
    const std::string too_deep = "{\"port\": 9000, \"x\": " + std::string(128, '[') + std::string(128, ']') + "}";
    const std::string very_deep = "{\"port\": 9000, \"x\": " + std::string(1000000, '[');
    for (const std::string& text : {std::string("[1,2]"), std::string(R"({"port": 9000,})"),
                                    std::string("// c\n{\"port\": 9000}"), std::string(""),
                                    std::string("{\"port\": 9000"), too_deep, very_deep}) {
        config_json(text);
        id_config cfg = load();
        EXPECT_EQ(cfg.port, 8080) << text.substr(0, 40);
        EXPECT_STREQ(cfg.base_url, "http://127.0.0.1:8080") << text.substr(0, 40);
    }
    config_json("{\"port\": 9000, \"x\": " + std::string(127, '[') + std::string(127, ']') + "}");
    EXPECT_EQ(load().port, 9000) << "128 levels in all are allowed";
}

TEST_F(ConfigTest, EnvironmentDataDirWinsAndOnlyItIsCreated) {
    std::string env_dir = dir.file("env/x");
    config_json(R"({"data_dir": ")" + dir.file("fromconfig") + R"("})");
    ScopedEnv env("IDENTITY_DATA_DIR", env_dir);
    EXPECT_EQ(std::string(load().data_dir), env_dir);
    EXPECT_TRUE(file_exists(env_dir));
    EXPECT_FALSE(file_exists(dir.file("fromconfig")));
}

TEST_F(ConfigTest, NestedDataDirCreatesEachLevel) {
    config_json(R"({"data_dir": "a/b/c/"})");
    EXPECT_STREQ(load().data_dir, "a/b/c/");
    EXPECT_TRUE(file_exists(dir.file("a/b/c")));
    EXPECT_EQ(file_mode(dir.file("a/b")), 0700u);
}

TEST_F(ConfigTest, BaseUrlPrecedence) {
    {
        ScopedEnv host("HTTP_HOST", "10.0.0.5:8443");
        EXPECT_STREQ(load().base_url, "http://10.0.0.5:8443");
        config_json(R"({"base_url": "https://10.0.0.5/"})");
        EXPECT_STREQ(load().base_url, "https://10.0.0.5");
        ScopedEnv url("IDENTITY_BASE_URL", "https://10.0.0.7/");
        EXPECT_STREQ(load().base_url, "https://10.0.0.7");
    }
    ScopedEnv url("IDENTITY_BASE_URL", "https://10.0.0.7//");
    EXPECT_STREQ(load().base_url, "https://10.0.0.7/");  // only one slash is removed
    ScopedEnv empty("IDENTITY_BASE_URL", "");
    EXPECT_STREQ(load().base_url, "https://10.0.0.5");   // empty variable: config.json stands
}

TEST_F(ConfigTest, PortFromEnvironmentLikeAtoi) {
    config_json(R"({"port": 9000})");
    {
        ScopedEnv p("IDENTITY_PORT", "abc");
        EXPECT_EQ(load().port, 0);
        EXPECT_STREQ(load().base_url, "http://127.0.0.1:0");
    }
    {
        ScopedEnv p("IDENTITY_PORT", "");
        EXPECT_EQ(load().port, 9000);
    }
    {
        ScopedEnv p("IDENTITY_PORT", "  -12x3");
        EXPECT_EQ(load().port, -12);
    }
    ScopedEnv p("IDENTITY_PORT", "8443");
    EXPECT_EQ(load().port, 8443);
}

TEST_F(ConfigTest, SecretsAndOverlongValuesAreCut) {
    config_json(R"({"admin_secret": "from-config"})");
    EXPECT_STREQ(load().admin_secret, "from-config");
    std::string longsecret(400, 's');
    ScopedEnv s("IDENTITY_ADMIN_SECRET", longsecret);
    id_config cfg = load();
    EXPECT_EQ(std::string(cfg.admin_secret), std::string(255, 's'));
    ScopedEnv u("IDENTITY_BASE_URL", "https://" + std::string(300, 'h'));
    cfg = load();
    EXPECT_EQ(std::string(cfg.base_url).size(), 255u);
}

TEST_F(ConfigTest, FilePathJoinsDataDir) {
    ScopedEnv env("IDENTITY_DATA_DIR", dir.file("d/"));
    char buf[1024];
    id_get_file_path("keys.json", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), dir.file("d/keys.json"));
    char small[8];
    id_get_file_path("keys.json", small, sizeof small);
    EXPECT_EQ(std::string(small), dir.file("d/keys.json").substr(0, 7));
}
