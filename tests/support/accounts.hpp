// What the account suites share: a standing clock, randomness as a counter (with a failing draw
// and a hook that runs before each draw, to stage what another process does meanwhile), hash
// strings derived by OpenSSL, and users.json written as the store writes it.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "crypto/random.hpp"
#include "foundation/clock.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

inline constexpr std::int64_t kAccountsNow = 1750000000;

// Randomness as a counter: byte k of the stream is k mod 256, so the salt of the first hash is
// 00..0f and what is drawn after it comes from 10.. on. `g_on_draw` runs before each draw.
inline unsigned g_next_byte = 0;
inline int g_fail_draw = 0;  // the draw (1, 2, ...) that fails; 0: none
inline int g_draws = 0;
inline std::function<void()> g_on_draw;
inline ssize_t counter_getrandom(void* buf, std::size_t len, unsigned) {
    if (g_on_draw) g_on_draw();
    if (++g_draws == g_fail_draw) {
        errno = EIO;
        return -1;
    }
    auto* p = static_cast<unsigned char*>(buf);
    for (std::size_t i = 0; i < len; ++i) p[i] = static_cast<unsigned char>(g_next_byte++);
    return static_cast<ssize_t>(len);
}

// The hash string of `password` with the salt bytes first..first+15, derived by OpenSSL.
inline std::string expected_hash(const std::string& password, unsigned char first) {
    unsigned char salt[16], key[32];
    for (int i = 0; i < 16; ++i) salt[i] = static_cast<unsigned char>(first + i);
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, 16, 100000, EVP_sha256(), 32, key);
    return "pbkdf2$100000$" + to_hex(salt, 16) + "$" + to_hex(key, 32);
}

struct Record {
    std::string id, username, email, pass_hash, role;
    std::int64_t created = kAccountsNow, last_login = kAccountsNow;
    bool hash_last = false;  // "pass_hash" after "last_login", where a password change puts it
};

// users.json as the store saves it (pretty, four-space indent, no final newline).
inline std::string stored(const std::vector<Record>& users) {
    std::string s = "[";
    for (const Record& u : users) {
        const std::string hash = "        \"pass_hash\": \"" + u.pass_hash + "\"";
        s += (s.size() > 1 ? ",\n" : "\n") + std::string("    {\n        \"id\": \"") + u.id + "\",\n        \"username\": \"" +
             u.username + "\",\n        \"email\": \"" + u.email + "\",\n" + (u.hash_last ? "" : hash + ",\n") +
             "        \"role\": \"" + u.role + "\",\n        \"created\": " + std::to_string(u.created) +
             ",\n        \"last_login\": " + std::to_string(u.last_login) + (u.hash_last ? ",\n" + hash : "") + "\n    }";
    }
    return s + "\n]";
}

// A store of hand-written records (no hashing needed) from usernames and roles: ids usr_0, usr_1...
inline std::string crafted(const std::vector<std::pair<std::string, std::string>>& users) {
    std::vector<Record> r;
    for (const auto& [name, role] : users) r.push_back({"usr_" + std::to_string(r.size()), name, "", "h", role});
    return stored(r);
}

// A data directory with the clock at kAccountsNow and the counter as the kernel's randomness.
class AccountsTest : public ::testing::Test {
protected:
    void SetUp() override {
        tarn::testing::set_clock([] { return kAccountsNow; });
        g_next_byte = 0;
        g_draws = 0;
        g_fail_draw = 0;
        g_on_draw = nullptr;
        tarn::crypto::testing::set_getrandom(&counter_getrandom);
    }
    void TearDown() override {
        g_on_draw = nullptr;
        tarn::crypto::testing::set_getrandom(nullptr);
        tarn::testing::set_clock(nullptr);
    }
    std::string users() const { return read_file(data.file("users.json")); }
    DataDirFixture data;
};

}  // namespace tarn::test
