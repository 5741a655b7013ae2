// Form tokens: every form of the provider carries a token that a page on another site cannot
// know. The browser holds a random value in the "id_csrf" cookie (HttpOnly, SameSite=Lax); a
// form's token is the HMAC-SHA-256, under the data directory's secret, of the form's purpose and
// that value, so a token fits one browser and one form and cannot be made without the secret.
#pragma once

#include <string>
#include <string_view>

namespace web {

class Csrf {
public:
    static constexpr std::string_view kCookie = "id_csrf";
    static constexpr std::string_view kField = "csrf";

    // Reads the browser's value from the request; when it has none (or not 32 base64url
    // characters), draws a new one that write_cookie must send. Returns false when the secret
    // or the randomness fails (no token can be made).
    bool load();
    // The Set-Cookie header line when the value is new; nothing otherwise. Between page_begin
    // and page_end.
    void write_cookie() const;
    // The token of the form `purpose` for this browser; "" when load failed.
    std::string token(std::string_view purpose) const;
    // True when the browser sent a value with the request and `presented` is its token of
    // `purpose` (compared over the whole length).
    bool check(std::string_view purpose, std::string_view presented) const;

private:
    std::string value_;
    bool fresh_ = false;
    bool ok_ = false;
};

// The token of `purpose` for the cookie value `value` under `secret` (32 bytes): base64url of
// HMAC-SHA-256(secret, "csrf\n" purpose "\n" value), 43 characters.
std::string csrf_token(const unsigned char secret[32], std::string_view purpose, std::string_view value);
// True when `value` has the form of a cookie value: 32 characters of the base64url alphabet.
bool csrf_value_well_formed(std::string_view value);

}  // namespace web
