// Minting of access and ID tokens: the claims set written as compact JSON in its fixed member
// order, then signed RS256 with the active key.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/utf8.hpp"
#include "id_jwt.h"
#include "id_keys.h"
#include "tarn_crypto.h"

namespace tarn::jwt {
namespace {

constexpr std::size_t kJtiBytes = 12;  // 16 base64url characters
constexpr std::size_t kAtHashBytes = 16;  // the left half of the SHA-256 digest

// A claims set written member by member in the order of the calls. Strings are JSON-escaped
// ("/" and non-ASCII UTF-8 as they are); a string that is not valid UTF-8 fails the whole set.
class ClaimsWriter {
public:
    ClaimsWriter() : writer_(buffer_) { ok_ = writer_.StartObject(); }

    void text(const char* name, std::string_view value) {
        ok_ = ok_ && utf8::valid(value) && writer_.Key(name) &&
              writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }
    void integer(const char* name, std::int64_t value) { ok_ = ok_ && writer_.Key(name) && writer_.Int64(value); }

    // Closes the set and signs it into `out`: 0, or -1 with `out` empty.
    int sign(char* out, std::size_t cap) {
        ok_ = ok_ && writer_.EndObject();
        if (!ok_) return -1;
        return id_jwt_sign_rs256(buffer_.GetString(), out, cap);
    }

private:
    JsonBuffer buffer_;
    JsonWriter<> writer_;  // texts are checked before they reach it
    bool ok_;
};

std::string_view or_empty(const char* s) { return s ? s : ""; }
bool non_empty(const char* s) { return s && *s; }

// "iat" and "exp" from one reading of the clock; a lifetime of 0 is the default one.
struct Times {
    std::int64_t iat;
    std::int64_t exp;
};

Times times(std::uint32_t lifetime) {
    const std::int64_t now = now_seconds();
    const std::int64_t life = lifetime == 0 ? ID_JWT_DEFAULT_LIFETIME : lifetime;
    std::int64_t exp;
    if (__builtin_add_overflow(now, life, &exp)) exp = std::numeric_limits<std::int64_t>::max();
    return {now, exp};
}

// Starts `out` empty, so that no failure leaves a token (or a piece of one) behind.
bool clear_output(char* out, std::size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = '\0';
    return true;
}

int mint_access(const char* issuer, const char* subject, const char* username, const char* email,
                const char* client_id, const char* scope, std::uint32_t lifetime, char* out,
                std::size_t cap) {
    const Times t = times(lifetime);
    char jti[32];
    if (tarn_random_token(jti, sizeof jti, kJtiBytes) != 0) return -1;  // never an undefined jti

    ClaimsWriter claims;
    if (issuer) claims.text("iss", issuer);
    if (subject) claims.text("sub", subject);
    claims.text("username", or_empty(username));
    claims.text("preferred_username", or_empty(username));
    if (non_empty(email)) claims.text("email", email);
    if (non_empty(client_id)) {
        claims.text("client_id", client_id);
        claims.text("aud", client_id);
    }
    claims.text("scope", non_empty(scope) ? scope : "openid profile");
    claims.text("jti", jti);
    claims.text("token_use", "access");
    claims.integer("iat", t.iat);
    claims.integer("exp", t.exp);
    return claims.sign(out, cap);
}

// The members both ID token forms begin with; the first form leaves out a NULL subject, the
// second writes it as "".
void id_token_identity(ClaimsWriter& claims, const char* issuer, const char* subject, bool subject_always,
                       const char* username, const char* email, const char* audience, const char* nonce) {
    if (issuer) claims.text("iss", issuer);
    if (subject || subject_always) claims.text("sub", or_empty(subject));
    claims.text("aud", or_empty(audience));
    claims.text("preferred_username", or_empty(username));
    if (non_empty(email)) claims.text("email", email);
    if (non_empty(nonce)) claims.text("nonce", nonce);
}

int mint_id(const char* issuer, const char* subject, const char* username, const char* email,
            const char* audience, const char* nonce, std::uint32_t lifetime, char* out, std::size_t cap) {
    const Times t = times(lifetime);
    ClaimsWriter claims;
    id_token_identity(claims, issuer, subject, false, username, email, audience, nonce);
    claims.integer("iat", t.iat);
    claims.integer("exp", t.exp);
    return claims.sign(out, cap);
}

int mint_id_v2(const char* issuer, const char* subject, const char* username, const char* email,
               const char* audience, const char* nonce, const char* access_token, std::int64_t auth_time,
               std::uint32_t lifetime, char* out, std::size_t cap) {
    const Times t = times(lifetime);
    ClaimsWriter claims;
    id_token_identity(claims, issuer, subject, true, username, email, audience, nonce);
    if (auth_time > 0) claims.integer("auth_time", auth_time);
    if (non_empty(access_token)) {
        // Binds the ID token to the access token issued with it: the left half of the digest of
        // the access token's text, base64url (22 characters).
        unsigned char digest[32];
        tarn_sha256(access_token, std::strlen(access_token), digest);
        char at_hash[32];
        if (tarn_base64url_encode(digest, kAtHashBytes, at_hash, sizeof at_hash) < 0) return -1;
        claims.text("at_hash", at_hash);
    }
    claims.text("token_use", "id");
    claims.integer("iat", t.iat);
    claims.integer("exp", t.exp);
    return claims.sign(out, cap);
}

// Runs a mint for the C interface: the output starts empty and nothing escapes (an allocation
// failure fails the mint rather than signing a claims set that lacks members).
template <class Mint>
int guarded(char* out, std::size_t cap, Mint&& mint) {
    if (!clear_output(out, cap)) return -1;
    try {
        const int rc = mint();
        if (rc != 0) out[0] = '\0';
        return rc;
    } catch (...) {
        out[0] = '\0';
        return -1;
    }
}

}  // namespace
}  // namespace tarn::jwt

using namespace tarn::jwt;

extern "C" int id_jwt_mint_access_token(const char* issuer, const char* subject, const char* username,
                                        const char* email, const char* client_id, const char* scope,
                                        uint32_t lifetime, char* out, size_t cap) {
    return guarded(out, cap, [&] {
        return mint_access(issuer, subject, username, email, client_id, scope, lifetime, out, cap);
    });
}

extern "C" int id_jwt_mint_id_token(const char* issuer, const char* subject, const char* username,
                                    const char* email, const char* audience, const char* nonce,
                                    uint32_t lifetime, char* out, size_t cap) {
    return guarded(out, cap, [&] {
        return mint_id(issuer, subject, username, email, audience, nonce, lifetime, out, cap);
    });
}

extern "C" int id_jwt_mint_id_token_v2(const char* issuer, const char* subject, const char* username,
                                       const char* email, const char* audience, const char* nonce,
                                       const char* access_token, int64_t auth_time, uint32_t lifetime,
                                       char* out, size_t cap) {
    return guarded(out, cap, [&] {
        return mint_id_v2(issuer, subject, username, email, audience, nonce, access_token, auth_time,
                          lifetime, out, cap);
    });
}
