// Authorization codes: the "auth_codes" section of tokens.json, keyed by code. A code is issued
// once the user has signed in and consented, and is exchanged at most once: the first attempt
// that finds it removes it before any check, so a failed exchange burns it too. PKCE takes the
// methods "S256" and "plain" only, and a verifier of its written form only. An exchange that also
// issues the grant's refresh token does both in one change, and remembers the code with the
// family it started, so that the code presented again ends that family with the refusal.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/scope_list.hpp"
#include "id_tokens.h"
#include "tarn_crypto.h"
#include "tokens/refresh_record.hpp"
#include "tokens/token_store.hpp"

namespace tarn::tokens {
namespace {

constexpr std::size_t kCodeRandomBytes = 24;

bool given(const char* s) { return s && *s; }

bool unreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool base64url(char c) { return unreserved(c) && c != '.' && c != '~'; }

// RFC 7636: a verifier is 43 to 128 characters of the unreserved set; anything else never passes,
// whatever was stored.
bool verifier_form(std::string_view v) {
    if (v.size() < 43 || v.size() > 128) return false;
    for (char c : v)
        if (!unreserved(c)) return false;
    return true;
}

enum class Method { s256, plain };

// The two methods, exactly as written; none at all means "plain". Anything else (such as "s256")
// would otherwise be taken for "plain", which makes the public challenge a valid verifier.
std::optional<Method> method_named(std::string_view method) {
    if (method == "S256") return Method::s256;
    if (method.empty() || method == "plain") return Method::plain;
    return std::nullopt;
}

// Whether a code may be issued with this challenge and method: a method that is not one of the two
// is refused, and so is a challenge no verifier could ever meet ("S256": the 43 base64url
// characters of a SHA-256 digest; "plain": a verifier's own form). An empty challenge asks for no
// PKCE.
bool pkce_request_acceptable(std::string_view challenge, std::string_view method) {
    const std::optional<Method> m = method_named(method);
    if (!m) return false;
    if (challenge.empty()) return true;
    if (*m == Method::plain) return verifier_form(challenge);
    if (challenge.size() != 43) return false;
    for (char c : challenge)
        if (!base64url(c)) return false;
    return true;
}

int create(const char* user_id, const char* username, const char* client_id, const char* redirect_uri,
           const char* scope, const char* challenge, const char* method, const char* nonce,
           std::int64_t auth_time, char* code_out, std::size_t code_cap) {
    if (!pkce_request_acceptable(challenge ? challenge : "", method ? method : "")) return -3;
    const std::optional<std::string> code = draw_identifier("code_", kCodeRandomBytes);
    if (!code) return -1;
    const int result = change_tokens([&](Document& doc) {
        Value* codes = member_mut(doc, kAuthCodes);
        if (!codes->IsObject()) return Outcome::unchanged(-1);  // the code could never be exchanged
        const std::int64_t now = now_seconds();
        if (user_id && refused_user(doc, user_id, now)) return Outcome::unchanged(-1);  // being deleted
        auto& a = doc.GetAllocator();
        Value record(rapidjson::kObjectType);
        if (user_id) record.AddMember("user_id", json::copy(user_id, doc), a);
        if (username) record.AddMember("username", json::copy(username, doc), a);
        if (client_id) record.AddMember("client_id", json::copy(client_id, doc), a);
        if (redirect_uri) record.AddMember("redirect_uri", json::copy(redirect_uri, doc), a);
        record.AddMember("scope", json::copy(given(scope) ? scope : kDefaultScope, doc), a);
        record.AddMember("code_challenge", json::copy(challenge ? challenge : "", doc), a);
        record.AddMember("code_challenge_method", json::copy(given(method) ? method : "plain", doc), a);
        if (given(nonce)) record.AddMember("nonce", json::copy(nonce, doc), a);
        if (auth_time > 0) record.AddMember("auth_time", Value(auth_time), a);
        record.AddMember("expires_at", Value(later(now, ID_AUTH_CODE_LIFETIME)), a);
        codes->AddMember(json::copy(*code, doc), record, a);
        return Outcome::saved(0);
    });
    if (result == 0) json::copy_text(code_out, code_cap, *code);
    return result;
}

// What an exchange needs of a stored code, copied whole before the record is removed: the checks
// compare full texts, so that a presented value equal to the beginning of a long stored one
// never passes.
struct StoredCode {
    std::string user_id, username, client_id, redirect_uri, scope, challenge, method, nonce;
    std::int64_t auth_time = 0, expires_at = 0;
    bool has_user_id = false, expired = true;

    StoredCode(const Value& record, std::int64_t now)
        : user_id(json::str(record, "user_id")),
          username(json::str(record, "username")),
          client_id(json::str(record, "client_id")),
          redirect_uri(json::str(record, "redirect_uri")),
          scope(json::str(record, "scope")),
          challenge(json::str(record, "code_challenge")),
          method(json::str(record, "code_challenge_method")),
          nonce(json::str(record, "nonce")),
          auth_time(json::int_or_zero(record, "auth_time")),
          expires_at(json::int_or_zero(record, "expires_at")),
          has_user_id(json::member(record, "user_id") != nullptr),
          expired(tokens::expired(record, now)) {}

    void fill(id_auth_code& out) const {
        std::memset(&out, 0, sizeof out);
        json::copy_text(out.user_id, sizeof out.user_id, user_id);
        json::copy_text(out.username, sizeof out.username, username);
        json::copy_text(out.client_id, sizeof out.client_id, client_id);
        json::copy_text(out.redirect_uri, sizeof out.redirect_uri, redirect_uri);
        scopes::copy_list(out.scope, sizeof out.scope, scope);
        json::copy_text(out.code_challenge, sizeof out.code_challenge, challenge);
        json::copy_text(out.code_challenge_method, sizeof out.code_challenge_method, method);
        json::copy_text(out.nonce, sizeof out.nonce, nonce);
        out.auth_time = auth_time;
    }
};

// RFC 7636, and RFC 9700's refusal of a verifier for a code issued without a challenge: a stored
// method must be one of the two; with a stored challenge the verifier must be given, be of its
// form and match, as base64url of its SHA-256 digest for "S256", as itself for "plain".
bool pkce_passes(const StoredCode& code, const char* verifier) {
    const std::optional<Method> method = method_named(code.method);
    if (!method) return false;
    if (code.challenge.empty()) return !given(verifier);
    if (!given(verifier)) return false;
    std::string_view proof = verifier;
    if (!verifier_form(proof)) return false;
    char digest_text[64];
    if (*method == Method::s256) {
        unsigned char digest[32];
        tarn_sha256(proof.data(), proof.size(), digest);
        const int n = tarn_base64url_encode(digest, sizeof digest, digest_text, sizeof digest_text);
        if (n < 0) return false;
        proof = std::string_view(digest_text, static_cast<std::size_t>(n));
    }
    return same_secret(proof, code.challenge);
}

int check(const StoredCode& code, std::string_view client_id, const char* redirect_uri, const char* verifier) {
    if (code.expired) return -2;
    if (code.client_id.empty() || code.client_id != client_id) return -3;
    if (given(redirect_uri) && !code.redirect_uri.empty() && code.redirect_uri != redirect_uri) return -4;
    if (!pkce_passes(code, verifier)) return -5;
    return 0;
}

// The code is not stored: when an exchange remembered it and it would still be valid, the family
// that exchange started ends with the refusal (-6, saved); else it is unknown (-1, unchanged).
Outcome refuse_reuse(Document& doc, std::string_view code, std::int64_t now) {
    Value* exchanged = member_mut(doc, kExchangedCodes);
    if (!exchanged || !exchanged->IsObject()) return Outcome::unchanged(-1);
    auto it = find_by_name(*exchanged, code);
    if (it == exchanged->MemberEnd() || !it->value.IsObject() || expired(it->value, now))
        return Outcome::unchanged(-1);
    const std::string family(json::str(it->value, "family"));
    exchanged->EraseMember(it);
    if (Value* refresh = member_mut(doc, kRefresh); refresh->IsArray() && !family.empty())
        erase_elements_if(*refresh, [&](const Value& el) { return in_family(el, family); });
    return Outcome::saved(-6);
}

// Stores the refresh token `token` of the exchanged `code` as the head of a new family, and the
// code as exchanged with that family until the code's own expiry.
Outcome issue_refresh(Document& doc, Value& refresh, std::string_view code_text, const StoredCode& code,
                      const std::string& token, std::int64_t now) {
    if (refused_user(doc, code.user_id, now)) return Outcome::saved(-1);  // burnt, nothing issued
    RefreshRecord record;
    record.has_user_id = code.has_user_id;
    record.user_id = code.user_id;
    record.username = code.username;
    record.client_id = code.client_id;
    record.scope = code.scope.empty() ? std::string(kDefaultScope) : code.scope;
    record.family = token;
    record.expires_at = later(now, ID_REFRESH_TOKEN_LIFETIME);
    record.auth_time = code.auth_time;
    auto& a = doc.GetAllocator();
    refresh.PushBack(record.to_json(token, doc), a);
    // Appending to the root may move its members: `refresh` is not used after this.
    if (!json::member(doc, kExchangedCodes))
        doc.AddMember(rapidjson::StringRef(kExchangedCodes), Value(rapidjson::kObjectType), a);
    if (Value* exchanged = member_mut(doc, kExchangedCodes); exchanged->IsObject()) {
        Value mark(rapidjson::kObjectType);
        mark.AddMember("family", json::copy(token, doc), a);
        mark.AddMember("expires_at", Value(code.expires_at), a);
        exchanged->AddMember(json::copy(code_text, doc), mark, a);
    }
    return Outcome::saved(0);
}

// Exchanges the code; with `refresh_token` (drawn beforehand) also issues it in the same change.
int exchange(const char* code_text, const char* client_id, const char* redirect_uri, const char* verifier,
             id_auth_code* out, const std::optional<std::string>& refresh_token) {
    const auto code = presented(code_text);
    if (!code || !given(client_id)) return -1;
    std::optional<StoredCode> stored;
    const int result = change_tokens([&](Document& doc) {
        Value* codes = member_mut(doc, kAuthCodes);
        if (!codes->IsObject()) return Outcome::unchanged(-1);
        const std::int64_t now = now_seconds();
        auto it = find_by_name(*codes, *code);
        if (it == codes->MemberEnd()) return refuse_reuse(doc, *code, now);
        if (!it->value.IsObject()) return Outcome::unchanged(-1);
        stored.emplace(it->value, now);
        erase_members_if(*codes, [&](std::string_view name, const Value&) { return same_secret(name, *code); });
        const int checked = check(*stored, client_id, redirect_uri, verifier);
        if (checked != 0 || !refresh_token) return Outcome::saved(checked);
        Value* refresh = member_mut(doc, kRefresh);
        if (!refresh->IsArray()) return Outcome::unchanged(-1);  // the token could never be used
        return issue_refresh(doc, *refresh, *code, *stored, *refresh_token, now);
    });
    if (result == 0 && out) stored->fill(*out);
    return result;
}

int consume(const char* code_text, const char* client_id, const char* redirect_uri, const char* verifier,
            id_auth_code* out) {
    return exchange(code_text, client_id, redirect_uri, verifier, out, std::nullopt);
}

// The refresh token "rt_" + 43 characters and its NUL.
constexpr std::size_t kRefreshTokenCap = 47;

int exchange_with_refresh(const char* code_text, const char* client_id, const char* redirect_uri,
                          const char* verifier, id_auth_code* out, char* refresh_out, std::size_t refresh_cap) {
    if (!refresh_out || refresh_cap < kRefreshTokenCap) return -1;
    // Drawn first: when the generator fails, the code stays as it was.
    const std::optional<std::string> token = draw_identifier("rt_", kRefreshRandomBytes);
    if (!token) return -1;
    const int result = exchange(code_text, client_id, redirect_uri, verifier, out, token);
    if (result == 0) json::copy_text(refresh_out, refresh_cap, *token);
    return result;
}

}  // namespace
}  // namespace tarn::tokens

using namespace tarn::tokens;

extern "C" {

int id_auth_code_create_v(const char* user_id, const char* username, const char* client_id,
                          const char* redirect_uri, const char* scope, const char* code_challenge,
                          const char* code_challenge_method, const char* nonce, int64_t auth_time,
                          char* code_out, size_t code_cap) {
    return guarded(-1, [&] {
        return create(user_id, username, client_id, redirect_uri, scope, code_challenge, code_challenge_method,
                      nonce, auth_time, code_out, code_cap);
    });
}

int id_auth_code_create(const char* user_id, const char* username, const char* client_id,
                        const char* redirect_uri, const char* scope, const char* code_challenge,
                        const char* code_challenge_method, char* code_out, size_t code_cap) {
    return id_auth_code_create_v(user_id, username, client_id, redirect_uri, scope, code_challenge,
                                 code_challenge_method, nullptr, 0, code_out, code_cap);
}

int id_auth_code_consume(const char* code, const char* client_id, const char* redirect_uri,
                         const char* code_verifier, id_auth_code* out) {
    return guarded(-1, [&] { return consume(code, client_id, redirect_uri, code_verifier, out); });
}

int id_auth_code_exchange(const char* code, const char* client_id, const char* redirect_uri,
                          const char* code_verifier, id_auth_code* out, char* refresh_out, size_t refresh_cap) {
    return guarded(-1, [&] {
        return exchange_with_refresh(code, client_id, redirect_uri, code_verifier, out, refresh_out, refresh_cap);
    });
}

}  // extern "C"
