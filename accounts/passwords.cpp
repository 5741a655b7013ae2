// Password hash strings and the password policy. A hash string is
//     pbkdf2$<iterations>$<salt: 32 hex digits>$<key: 64 hex digits>
// where the key is PBKDF2-HMAC-SHA-256 of the password's bytes with the 16 salt bytes; new ones
// always use 100000 iterations. The string is self-describing, so a stored one is verified with
// the count it names, within a bound.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "accounts/users_store.hpp"
#include "id_accounts.h"
#include "tarn_crypto.h"

namespace {

constexpr std::string_view kScheme = "pbkdf2$";
constexpr std::uint32_t kIterations = 100000;
// The largest count a stored string may name: users.json is outside input, and a crafted count
// near 2^32 would make every sign-in of that account run for minutes.
constexpr std::uint32_t kMaxIterations = 10000000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kHashTextLength = 111;  // "pbkdf2$100000$" + 32 + "$" + 64

constexpr std::size_t kMinPassword = 8;
constexpr std::size_t kMaxPassword = 256;

struct ParsedHash {
    std::uint32_t iterations = 0;
    unsigned char salt[kSaltBytes];
    unsigned char key[kKeyBytes];
};

// Reads a stored hash string; false for any other form (another scheme tag, a count that is 0,
// above the bound or not plain digits, fields of other lengths, a digit that is not hex).
bool parse_hash(std::string_view s, ParsedHash& out) {
    if (s.substr(0, kScheme.size()) != kScheme) return false;
    s.remove_prefix(kScheme.size());
    std::size_t digits = 0;
    std::uint64_t count = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') {
        count = count * 10 + static_cast<unsigned>(s[digits] - '0');
        if (count > kMaxIterations) return false;
        ++digits;
    }
    if (count == 0 || digits == s.size() || s[digits] != '$') return false;
    s.remove_prefix(digits + 1);
    const std::size_t salt_len = s.find('$');
    if (salt_len != 2 * kSaltBytes || s.size() - salt_len - 1 != 2 * kKeyBytes) return false;
    const std::string_view key = s.substr(salt_len + 1);
    if (tarn_hex_decode(s.data(), salt_len, out.salt, sizeof out.salt) != static_cast<int>(kSaltBytes) ||
        tarn_hex_decode(key.data(), key.size(), out.key, sizeof out.key) != static_cast<int>(kKeyBytes))
        return false;
    out.iterations = static_cast<std::uint32_t>(count);
    return true;
}

// Leaves `out` holding an empty text (when it has room for one) and returns -1.
int hash_failed(char* out, std::size_t cap) {
    if (out && cap) out[0] = '\0';
    return -1;
}

}  // namespace

extern "C" {

int id_hash_password(const char* password, char* out, size_t cap) {
    if (!password || !out || cap < kHashTextLength + 1) return hash_failed(out, cap);
    unsigned char salt[kSaltBytes];
    unsigned char key[kKeyBytes];
    if (tarn_random_bytes(salt, sizeof salt) != 0 ||
        tarn_pbkdf2_sha256(password, std::strlen(password), salt, sizeof salt, kIterations, key, sizeof key) != 0)
        return hash_failed(out, cap);
    char salt_hex[2 * kSaltBytes + 1];
    char key_hex[2 * kKeyBytes + 1];
    tarn_hex_encode(salt, sizeof salt, salt_hex, sizeof salt_hex);
    tarn_hex_encode(key, sizeof key, key_hex, sizeof key_hex);
    std::snprintf(out, cap, "pbkdf2$%u$%s$%s", static_cast<unsigned>(kIterations), salt_hex, key_hex);
    explicit_bzero(key, sizeof key);
    explicit_bzero(key_hex, sizeof key_hex);
    return 0;
}

int id_verify_password(const char* password, const char* stored) {
    if (!password || !stored) return 0;
    ParsedHash h;
    if (!parse_hash(stored, h)) return 0;
    unsigned char derived[kKeyBytes];
    if (tarn_pbkdf2_sha256(password, std::strlen(password), h.salt, sizeof h.salt, h.iterations, derived,
                           sizeof derived) != 0)
        return 0;
    const int match = tarn_ct_equal(derived, sizeof derived, h.key, sizeof h.key);
    explicit_bzero(derived, sizeof derived);
    return match;
}

int id_password_policy(const char* username, const char* password, char* msg, size_t msg_cap) {
    const tarn::users::Message message(msg, msg_cap);
    const std::size_t len = password ? std::strlen(password) : 0;
    if (len < kMinPassword) return message.fail(-3, "password too short (min 8)");
    if (len > kMaxPassword) return message.fail(-3, "password too long (max 256)");
    if (username && tarn_ct_equal(username, std::strlen(username), password, len))
        return message.fail(-3, "password must differ from username");
    return 0;
}

}  // extern "C"
