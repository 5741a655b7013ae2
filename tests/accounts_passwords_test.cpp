// Password hash strings checked against independent PBKDF2 implementations (OpenSSL in process,
// Python's hashlib through /usr/bin/python3), the forms a stored string may and may not take, and
// the password policy.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/random.hpp"
#include "id_accounts.h"
#include "support/process.hpp"
#include "support/reference.hpp"
#include "support/test_env.hpp"
#include "tarn_crypto.h"

namespace {

using tarn::test::to_hex;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const unsigned char kSalt[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The key of `password` with kSalt and `count` iterations, derived by OpenSSL, in hex.
std::string openssl_key(const std::string& password, unsigned count, const unsigned char* salt = kSalt) {
    unsigned char key[32];
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, 16, static_cast<int>(count),
                      EVP_sha256(), 32, key);
    return to_hex(key, 32);
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Runs /usr/bin/python3 with `args` and returns what it prints.
std::string python(const std::vector<std::string>& args) {
    return tarn::test::capture_stdout([&] {
               std::vector<char*> argv{const_cast<char*>("/usr/bin/python3")};
               for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
               argv.push_back(nullptr);
               ::execv(argv[0], argv.data());
               ::_exit(127);
           })
        .out;
}

TEST(PasswordHash, StoredStringsVerifyByTheirOwnForm) {
    const std::string salt = to_hex(kSalt, 16);
    const std::string key1 = openssl_key("correct horse", 1);
    const std::string pre = "pbkdf2$1$" + salt + "$";
    // Known answers of Python's hashlib at the largest count that verifies and the next one.
    const std::string key10m = "df0d2fe7a96153e7909083989513c03e95816e63bb47337ff267eca3c1a37691";
    const std::string key10m1 = "e1647d4ad0c2c156999ac88b28e739082bac71e54409bd33e7c84789242a02ab";
    const struct {
        std::string stored;
        const char* password;
        int verifies;
    } rows[] = {
        {pre + key1, "correct horse", 1},
        {"pbkdf2$1$" + upper(salt) + "$" + upper(key1), "correct horse", 1},
        {"pbkdf2$0001$" + salt + "$" + key1, "correct horse", 1},
        {"pbkdf2$3$" + salt + "$" + openssl_key("correct horse", 3), "correct horse", 1},
        {"pbkdf2$10000000$" + salt + "$" + key10m, "correct horse", 1},
        {"pbkdf2$10000001$" + salt + "$" + key10m1, "correct horse", 0},  // above the bound
        {"pbkdf2$4294967297$" + salt + "$" + key1, "correct horse", 0},   // 2^32 + 1 is not 1
        {pre + key1, "correct horsE", 0},
        {pre + key1, "correct horse ", 0},
        {pre + key1, "", 0},
        {"pbkdf2$1$" + salt.substr(1) + "$" + key1, "correct horse", 0},
        {"pbkdf2$1$" + salt + "0$" + key1, "correct horse", 0},
        {pre + key1.substr(1), "correct horse", 0},
        {pre + key1 + "0", "correct horse", 0},
        {"pbkdf2$1$" + salt.substr(0, 31) + "g$" + key1, "correct horse", 0},
        {"pbkdf2$0$" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf2$1" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf2$$" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf2$+1$" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf2$ 1$" + salt + "$" + key1, "correct horse", 0},
        {"PBKDF2$1$" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf3$1$" + salt + "$" + key1, "correct horse", 0},
        {"pbkdf2$", "correct horse", 0},
        {"", "correct horse", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored + " / " + row.password);
        // Ten million rounds take a second here and a minute under AddressSanitizer: the
        // optimised build checks the bound is inclusive.
        if (kSanitized && row.stored.starts_with("pbkdf2$10000000$")) continue;
        EXPECT_EQ(id_verify_password(row.password, row.stored.c_str()), row.verifies);
    }
    EXPECT_EQ(id_verify_password(nullptr, (pre + key1).c_str()), 0);
    EXPECT_EQ(id_verify_password("correct horse", nullptr), 0);
}

ssize_t failing_getrandom(void*, std::size_t, unsigned) {
    errno = EIO;
    return -1;
}

TEST(PasswordHash, FreshHashesAreSaltedAndDerivedAsOpenSslDoes) {
    char a[256], b[256];
    ASSERT_EQ(id_hash_password("s3cret pass", a, sizeof a), 0);
    ASSERT_EQ(id_hash_password("s3cret pass", b, sizeof b), 0);
    EXPECT_STRNE(a, b);
    for (const std::string h : {a, b}) {
        ASSERT_EQ(h.size(), 111u);
        EXPECT_EQ(h.substr(0, 14), "pbkdf2$100000$");
        unsigned char salt[16];
        ASSERT_EQ(tarn_hex_decode(h.data() + 14, 32, salt, sizeof salt), 16);
        EXPECT_EQ(h.substr(14, 32), to_hex(salt, 16)) << "lower-case hex";
        EXPECT_EQ(h.substr(46), "$" + openssl_key("s3cret pass", 100000, salt));
        EXPECT_EQ(id_verify_password("s3cret pass", h.c_str()), 1);
        EXPECT_EQ(id_verify_password("s3cret pasS", h.c_str()), 0);
    }
    // The whole string fits, or the buffer holds "": too small, a NULL password, no randomness.
    char exact[112];
    EXPECT_EQ(id_hash_password("x", exact, sizeof exact), 0);
    EXPECT_EQ(std::strlen(exact), 111u);
    const struct {
        const char* password;
        std::size_t cap;
        bool no_randomness;
    } failures[] = {{"x", 111, false}, {nullptr, 256, false}, {"x", 256, true}};
    for (const auto& f : failures) {
        char out[256] = "junk";
        tarn::crypto::testing::set_getrandom(f.no_randomness ? &failing_getrandom : nullptr);
        EXPECT_EQ(id_hash_password(f.password, out, f.cap), -1);
        EXPECT_STREQ(out, "");
    }
    tarn::crypto::testing::set_getrandom(nullptr);
    EXPECT_EQ(id_hash_password("x", nullptr, 256), -1);
}

TEST(PasswordHash, PythonHashlibAgreesBothWays) {
    tarn::test::DataDirFixture data;
    ASSERT_EQ(id_user_create("grace", "p\xc3\xa4ssw\xc3\xb6rd", nullptr, nullptr, 0), 0);
    id_user u;
    ASSERT_EQ(id_user_find_by_username("grace", &u), 1);
    const char* check =
        "import hashlib, os, sys\n"
        "scheme, n, salt, key = sys.argv[2].split('$')\n"
        "ok = hashlib.pbkdf2_hmac('sha256', os.fsencode(sys.argv[1]), bytes.fromhex(salt), int(n)).hex() == key\n"
        "print('verified' if scheme == 'pbkdf2' and ok else 'mismatch', end='')\n";
    EXPECT_EQ(python({"-c", check, "p\xc3\xa4ssw\xc3\xb6rd", u.pass_hash}), "verified");

    const char* make =
        "import hashlib, os, sys\n"
        "salt = os.urandom(16)\n"
        "key = hashlib.pbkdf2_hmac('sha256', sys.argv[1].encode(), salt, 2500)\n"
        "print('pbkdf2$2500$' + salt.hex() + '$' + key.hex(), end='')\n";
    const std::string made = python({"-c", make, "tr0ub4dor&3"});
    ASSERT_EQ(made.size(), 109u) << made;
    EXPECT_EQ(id_verify_password("tr0ub4dor&3", made.c_str()), 1);
    EXPECT_EQ(id_verify_password("tr0ub4dor&4", made.c_str()), 0);
}

TEST(PasswordPolicy, RulesInOrder) {
    const std::string p256(256, 'p'), p257(257, 'p');
    const struct {
        const char *username, *password;
        int result;
        const char* msg;
    } rows[] = {
        {"henry", "1234567", -3, "password too short (min 8)"},
        {"henry", "12345678", 0, ""},
        {"henry", p256.c_str(), 0, ""},
        {"henry", p257.c_str(), -3, "password too long (max 256)"},
        {"henrietta", "henrietta", -3, "password must differ from username"},
        {"henrietta", "Henrietta", 0, ""},
        {"henrietta", "henriett", 0, ""},
        {"henry", "henry", -3, "password too short (min 8)"},
        {nullptr, "henrietta", 0, ""},
        {"henry", nullptr, -3, "password too short (min 8)"},
        {"henry", "", -3, "password too short (min 8)"},
        {"h\xc3\xa9l\xc3\xa8ne", "h\xc3\xa9l\xc3\xa8ne", -3, "password must differ from username"},  // 8 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.username ? row.username : "(null)") + " / " +
                     (row.password ? std::string(row.password).substr(0, 12) : "(null)"));
        char msg[64] = "junk";
        EXPECT_EQ(id_password_policy(row.username, row.password, msg, sizeof msg), row.result);
        EXPECT_STREQ(msg, row.msg);
        EXPECT_EQ(id_password_policy(row.username, row.password, nullptr, 0), row.result);
    }
    char small[9] = "junk";
    EXPECT_EQ(id_password_policy("henry", "short", small, sizeof small), -3);
    EXPECT_STREQ(small, "password");
    char untouched[8] = "junk";
    EXPECT_EQ(id_password_policy("henry", "short", untouched, 0), -3);
    EXPECT_STREQ(untouched, "junk");
}

}  // namespace
