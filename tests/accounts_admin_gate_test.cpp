// The admin API gate: who passes (an administrator by role, or the configured secret in the
// X-Identity-Admin header), and what it logs (a wrong secret, with the direct peer) and does not.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "foundation/clock.hpp"
#include "id_accounts.h"
#include "id_foundation.h"
#include "support/test_env.hpp"
#include "tarn_cgi.h"

namespace {

using tarn::test::DataDirFixture;
using tarn::test::read_file;
using tarn::test::ScopedEnv;
using tarn::test::ScopedTimeZone;

constexpr std::int64_t kJan2 = 1704164645;  // 2024-01-02 03:04:05 UTC

class AdminGate : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::testing::set_clock([] { return kJan2; });
    }
    void TearDown() override { tarn::testing::set_clock(nullptr); }
    std::string take_log() {
        const std::string log = read_file(data.file("server.log"));
        std::remove(data.file("server.log").c_str());
        return log;
    }
    DataDirFixture data;
};

TEST_F(AdminGate, AllowsByRoleOrSecretAndLogsOnlyAWrongSecret) {
    tarn::test::write_file(data.file("users.json"),
                           "[{\"id\": \"usr_owner\", \"role\": \"owner\"}, {\"id\": \"usr_admin\", \"role\": \"ADMIN\"},"
                           " {\"id\": \"usr_user\", \"role\": \"user\"}]");
    ScopedTimeZone utc("UTC");
    using Opt = std::optional<std::string>;
    const Opt peer = "10.0.0.1";
    const struct {
        const char* secret;  // nullptr: no configuration record
        Opt header, remote;
        const char* user;
        int allowed;
        const char* logged_from;  // the address in the one mismatch line, nullptr: nothing logged
    } rows[] = {
        {"s3cret", "s3cret", peer, nullptr, 1, nullptr},
        {"s3cret", "s3cres", peer, nullptr, 0, "10.0.0.1"},
        {"s3cret", "s3cret!", peer, "", 0, "10.0.0.1"},
        {"s3cret", "s3cre", peer, nullptr, 0, "10.0.0.1"},
        {"s3cret", std::nullopt, peer, nullptr, 0, nullptr},
        {"s3cret", "", peer, nullptr, 0, nullptr},
        {"", "anything", peer, nullptr, 0, nullptr},
        {nullptr, "s3cret", peer, nullptr, 0, nullptr},
        {"s3cret", "wrong", std::nullopt, nullptr, 0, "unknown"},
        {"s3cret", "wrong", "", nullptr, 0, "unknown"},
        {"s3cret", "wrong", "10.0.0.1\nforged line", nullptr, 0, "10.0.0.1\\x0aforged line"},
        {"s3cret", "wrong", peer, "usr_owner", 1, nullptr},
        {"", std::nullopt, peer, "usr_admin", 1, nullptr},
        {nullptr, std::nullopt, peer, "usr_admin", 1, nullptr},
        {"s3cret", "s3cret", peer, "usr_user", 1, nullptr},
        {"s3cret", "wrong", peer, "usr_user", 0, "10.0.0.1"},
        {"s3cret", std::nullopt, peer, "usr_nobody", 0, nullptr},
        {"s3cret", "wrong", peer, "USR_OWNER", 0, "10.0.0.1"},
    };
    ScopedEnv forwarded("HTTP_X_FORWARDED_FOR", "192.0.2.9");  // never used by the gate
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.secret ? row.secret : "(no config)") + " / " + row.header.value_or("(unset)") +
                     " / " + (row.user ? row.user : "(null)"));
        ScopedEnv header("HTTP_X_IDENTITY_ADMIN", row.header), remote("REMOTE_ADDR", row.remote);
        id_config cfg{};
        if (row.secret) tarn_strlcpy(cfg.admin_secret, row.secret, sizeof cfg.admin_secret);
        EXPECT_EQ(id_api_admin_ok(row.secret ? &cfg : nullptr, row.user), row.allowed);
        EXPECT_EQ(take_log(), row.logged_from ? "2024-01-02 03:04:05 SECURITY: /api admin-secret mismatch from " +
                                                    std::string(row.logged_from) + "\n"
                                              : "");
    }
}

}  // namespace
