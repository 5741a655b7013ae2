#include "web/csrf.hpp"

#include <cstring>

#include "id_jwt.h"
#include "tarn_crypto.h"
#include "web/http.hpp"

namespace web {

bool csrf_value_well_formed(std::string_view value) {
    if (value.size() != 32) return false;
    for (const char c : value)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

std::string csrf_token(const unsigned char secret[32], std::string_view purpose, std::string_view value) {
    std::string msg = "csrf\n";
    msg += purpose;
    msg += '\n';
    msg += value;
    unsigned char mac[32];
    tarn_hmac_sha256(secret, 32, msg.data(), msg.size(), mac);
    char text[64];
    const int n = tarn_base64url_encode(mac, sizeof mac, text, sizeof text);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

bool Csrf::load() {
    value_ = request_cookie(kCookie);
    fresh_ = false;
    if (!csrf_value_well_formed(value_)) {
        char fresh[64];
        if (tarn_random_token(fresh, sizeof fresh, 24) != 0) return ok_ = false;
        value_ = fresh;
        fresh_ = true;
    }
    unsigned char secret[32];
    ok_ = id_get_secret_key(secret) == 0;
    std::memset(secret, 0, sizeof secret);
    return ok_;
}

void Csrf::write_cookie() const {
    if (!ok_ || !fresh_) return;
    std::string value = std::string(kCookie) + "=" + value_ + "; Path=/; HttpOnly; SameSite=Lax";
    if (over_https()) value += "; Secure";
    header("Set-Cookie", value);
}

std::string Csrf::token(std::string_view purpose) const {
    if (!ok_) return {};
    unsigned char secret[32];
    if (id_get_secret_key(secret) != 0) return {};
    std::string t = csrf_token(secret, purpose, value_);
    std::memset(secret, 0, sizeof secret);
    return t;
}

bool Csrf::check(std::string_view purpose, std::string_view presented) const {
    if (!ok_ || fresh_) return false;
    const std::string expected = token(purpose);
    return !expected.empty() && tarn_ct_equal(expected.data(), expected.size(), presented.data(), presented.size());
}

}  // namespace web
