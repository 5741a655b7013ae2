// The "id_session" cookie: read from the request's Cookie header, written as a Set-Cookie response
// header line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "foundation/ascii.hpp"
#include "id_foundation.h"
#include "id_tokens.h"
#include "tarn_cgi.h"

namespace {

constexpr std::string_view kCookieName = "id_session";
constexpr std::string_view kCookiePrefix = "id_session=";
constexpr std::size_t kLineCap = 600;        // the header line, cut to 599 bytes
constexpr std::size_t kSecureLineMax = 589;  // longer lines go without "; Secure"
constexpr std::string_view kSecure = "; Secure";

// The value of a CGI variable, or "" when it is unset.
std::string_view env_text(const char* name) { return cgi_env(name, ""); }

// The value of the first "id_session" cookie in `header`: cookies are separated by ";", spaces
// and semicolons before a name are skipped, the name is case-sensitive, and the value runs to the
// next ";" or the end (spaces in it are kept). nullopt when there is none.
std::optional<std::string_view> session_cookie_value(std::string_view header) {
    std::size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
        if (header.substr(at, kCookiePrefix.size()) == kCookiePrefix) {
            const std::string_view rest = header.substr(at + kCookiePrefix.size());
            return rest.substr(0, rest.find(';'));
        }
        const std::size_t next = header.find(';', at);
        if (next == std::string_view::npos) break;
        at = next + 1;
    }
    return std::nullopt;
}

// The cookie is Secure when the request reached the proxy over https, or the provider's own base
// URL is an https one.
bool secure_request() {
    if (tarn::ascii::equal_ignoring_case(env_text("HTTP_X_FORWARDED_PROTO"), "https")) return true;
    id_config cfg;
    id_get_config(&cfg);
    return std::strncmp(cfg.base_url, "https://", 8) == 0;
}

// A control byte could end the header line and start another, a ";" could add cookie attributes:
// neither can be part of a value this writes.
bool safe_cookie_value(std::string_view value) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7F || c == ';') return false;
    return true;
}

}  // namespace

extern "C" {

int id_get_cookie_session(char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    const std::optional<std::string_view> value = session_cookie_value(env_text("HTTP_COOKIE"));
    if (!value) return 0;
    const std::size_t n = value->size() < cap - 1 ? value->size() : cap - 1;
    std::memcpy(out, value->data(), n);
    out[n] = '\0';
    return n > 0 ? 1 : 0;
}

void id_set_session_cookie(const char* value, int max_age) {
    const std::string_view text = value ? value : "";
    if (!safe_cookie_value(text)) return;
    char line[kLineCap];
    const int n = std::snprintf(line, sizeof line, "Set-Cookie: %.*s=%.*s; Path=/; HttpOnly; SameSite=Lax; Max-Age=%d",
                                static_cast<int>(kCookieName.size()), kCookieName.data(),
                                static_cast<int>(text.size() < kLineCap ? text.size() : kLineCap), text.data(),
                                max_age);
    if (n < 1) return;
    const std::size_t len = std::strlen(line);
    if (len <= kSecureLineMax && secure_request()) {
        std::memcpy(line + len, kSecure.data(), kSecure.size());
        line[len + kSecure.size()] = '\0';
    }
    cgi_header_extra(line);
}

void id_clear_session_cookie(void) { id_set_session_cookie("", 0); }

}  // extern "C"
