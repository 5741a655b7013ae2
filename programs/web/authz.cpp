#include "web/authz.hpp"

#include <cstring>
#include <ctime>

#include "id_accounts.h"
#include "id_clients.h"
#include "id_consent.h"
#include "id_foundation.h"
#include "id_jwt.h"
#include "id_tokens.h"
#include "tarn_crypto.h"
#include "web/http.hpp"
#include "web/page.hpp"

namespace web {
namespace {

// The parameters an authorization request is made of; every other one is ignored.
constexpr std::string_view kRequestOnly[] = {"request", "request_uri"};
constexpr std::string_view kParams[] = {"response_type", "client_id",     "redirect_uri",
                                        "scope",         "state",         "nonce",
                                        "code_challenge", "code_challenge_method", "prompt",
                                        "max_age",       "login_hint",    "id_token_hint",
                                        "response_mode"};

// The scopes this provider serves; a request is cut down to them and to the client's own.
constexpr const char* kServedScopes = "openid profile email";

constexpr std::size_t kMaxState = 2048;
constexpr std::size_t kMaxShort = 255;  // what the code record keeps whole (nonce, hint)
constexpr std::size_t kMaxSealed = 16384;

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string b64url(const void* data, std::size_t len) {
    std::string out(len * 4 / 3 + 4, '\0');
    const int n = tarn_base64url_encode(data, len, out.data(), out.size());
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool mac_of(std::string_view purpose, std::string_view payload, unsigned char mac[32]) {
    unsigned char secret[32];
    if (id_get_secret_key(secret) != 0) return false;
    std::string msg(purpose);
    msg += '\n';
    msg += payload;
    tarn_hmac_sha256(secret, sizeof secret, msg.data(), msg.size(), mac);
    std::memset(secret, 0, sizeof secret);
    return true;
}

bool is_b64url_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool all_digits(std::string_view s, std::size_t max_len) {
    if (s.empty() || s.size() > max_len) return false;
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int64_t to_int(std::string_view digits) {
    int64_t v = 0;
    for (const char c : digits) v = v * 10 + (c - '0');
    return v;
}

bool has_word(std::string_view list, std::string_view word) {
    while (!list.empty()) {
        const std::size_t sp = list.find(' ');
        if (list.substr(0, sp) == word) return true;
        list = sp == std::string_view::npos ? std::string_view() : list.substr(sp + 1);
    }
    return false;
}

bool fail(AuthzError& err, bool page, std::string_view error, std::string_view description) {
    err.page = page;
    err.error = error;
    err.description = description;
    return false;
}

bool parse_common(const Form& p, AuthzRequest& out, AuthzError& err) {
    // Until the client and its redirect URI are known to match, nothing goes back to it.
    if (p.count("client_id") != 1) return fail(err, true, "invalid_request", "The request names no client, or more than one.");
    const std::string_view client_id = p.get("client_id");
    const int known = client_id.size() > kMaxShort ? 0 : id_client_lookup_by_id(std::string(client_id).c_str(), &out.client);
    if (known < 0) {
        err.status = 503;
        return fail(err, true, "temporarily_unavailable", "The list of applications cannot be read now. Try again later.");
    }
    if (known == 0) return fail(err, true, "invalid_client", "The application that sent you here is not registered.");
    if (p.count("redirect_uri") != 1)
        return fail(err, true, "invalid_request", "The request names no redirect URI, or more than one.");
    const std::string uri(p.get("redirect_uri"));
    if (uri.size() > kMaxShort || id_redirect_uri_check(uri.c_str(), nullptr, 0) != 0 ||
        !id_client_validate_redirect_uri(&out.client, uri.c_str()))
        return fail(err, true, "invalid_request", "The redirect URI of this request is not registered for the application.");
    out.redirect_uri = uri;

    // From here on every error goes back to the client, with the state when it is usable.
    if (p.count("state") == 1 && p.get("state").size() <= kMaxState) out.state = p.get("state");
    for (const std::string_view name : kParams)
        if (p.count(name) > 1) return fail(err, false, "invalid_request", "A parameter is repeated.");
    if (p.get("state").size() > kMaxState) return fail(err, false, "invalid_request", "The state is too long.");
    if (p.has(kRequestOnly[0])) return fail(err, false, "request_not_supported", "Request objects are not supported.");
    if (p.has(kRequestOnly[1]))
        return fail(err, false, "request_uri_not_supported", "Request objects by reference are not supported.");

    const std::string_view response_type = p.get("response_type");
    if (response_type.empty()) return fail(err, false, "invalid_request", "The response_type is missing.");
    if (response_type != "code")
        return fail(err, false, "unsupported_response_type", "Only the response type code is supported.");
    if (p.has("response_mode") && p.get("response_mode") != "query")
        return fail(err, false, "invalid_request", "Only the response mode query is supported.");

    const std::string requested(p.get("scope"));
    if (requested.empty()) return fail(err, false, "invalid_scope", "The scope is missing.");
    char served[256], granted[256];
    id_scope_intersect(requested.c_str(), kServedScopes, served, sizeof served);
    id_scope_intersect(served, out.client.scopes[0] ? out.client.scopes : "openid profile", granted, sizeof granted);
    if (!granted[0]) return fail(err, false, "invalid_scope", "None of the requested scopes is available to this application.");
    out.scope = granted;
    out.openid = has_word(out.scope, "openid");

    const std::string_view prompt = p.get("prompt");
    for (std::string_view rest = prompt; !rest.empty();) {
        const std::size_t sp = rest.find(' ');
        const std::string_view word = rest.substr(0, sp);
        rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1);
        out.prompt_none |= word == "none";
        out.prompt_login |= word == "login";
        out.prompt_consent |= word == "consent";
        if (out.prompt_none && !word.empty() && word != "none")
            return fail(err, false, "invalid_request", "prompt=none cannot be combined with other values.");
    }
    if (out.prompt_none && (out.prompt_login || out.prompt_consent))
        return fail(err, false, "invalid_request", "prompt=none cannot be combined with other values.");

    if (p.has("max_age")) {
        if (!all_digits(p.get("max_age"), 10)) return fail(err, false, "invalid_request", "max_age must be a number of seconds.");
        out.max_age = to_int(p.get("max_age"));
    }
    if (p.get("nonce").size() > kMaxShort) return fail(err, false, "invalid_request", "The nonce is too long.");
    // The nonce is stored with the code, and the token store holds UTF-8 only.
    if (!is_utf8(p.get("nonce"))) return fail(err, false, "invalid_request", "The nonce is not UTF-8 text.");
    out.nonce = p.get("nonce");
    if (p.get("login_hint").size() <= kMaxShort) out.login_hint = p.get("login_hint");

    // PKCE: S256 only; public clients must use it.
    const std::string_view challenge = p.get("code_challenge");
    const std::string_view method = p.get("code_challenge_method");
    if (!challenge.empty()) {
        if (method != "S256")
            return fail(err, false, "invalid_request", "Only the code challenge method S256 is supported.");
        bool ok = challenge.size() == 43;
        for (const char c : challenge) ok = ok && is_b64url_char(c);
        if (!ok) return fail(err, false, "invalid_request", "The code challenge is not an S256 challenge.");
        out.code_challenge = challenge;
    } else if (p.has("code_challenge_method")) {
        return fail(err, false, "invalid_request", "A code challenge method was given without a code challenge.");
    } else if (out.client.is_public) {
        return fail(err, false, "invalid_request", "This application must use PKCE with the S256 method.");
    }

    // id_token_hint names the user the client expects, expired or not.
    if (p.has("id_token_hint")) {
        id_jwt_claims claims{};
        const std::string hint(p.get("id_token_hint"));
        if (id_jwt_verify_hint(hint.c_str(), issuer().c_str(), nullptr, &claims) != ID_JWT_VALID)
            return fail(err, false, "invalid_request", "The id_token_hint is not an ID token of this provider.");
        out.hint_subject = claims.sub;
    }

    for (const std::string_view name : kParams)
        if (p.has(name)) out.params.add(std::string(name), std::string(p.get(name)));
    return true;
}

}  // namespace

std::string seal(std::string_view purpose, std::string_view payload) {
    unsigned char mac[32];
    if (!mac_of(purpose, payload, mac)) return {};
    return b64url(payload.data(), payload.size()) + "." + b64url(mac, sizeof mac);
}

bool unseal(std::string_view purpose, std::string_view sealed, std::string& payload) {
    if (sealed.size() > kMaxSealed) return false;
    const std::size_t dot = sealed.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view body = sealed.substr(0, dot), tag = sealed.substr(dot + 1);
    for (const char c : sealed.substr(0, dot))
        if (!is_b64url_char(c)) return false;
    for (const char c : tag)
        if (!is_b64url_char(c)) return false;
    std::string decoded(body.size(), '\0');
    uint64_t len = 0;
    if (tarn_base64url_decode(body.data(), body.size(), reinterpret_cast<unsigned char*>(decoded.data()),
                              decoded.size(), &len) != 0)
        return false;
    decoded.resize(len);
    unsigned char presented[40];
    uint64_t tag_len = 0;
    if (tag.size() != 43 ||
        tarn_base64url_decode(tag.data(), tag.size(), presented, sizeof presented, &tag_len) != 0 || tag_len != 32)
        return false;
    unsigned char expected[32];
    if (!mac_of(purpose, decoded, expected) || !tarn_ct_equal(expected, 32, presented, 32)) return false;
    payload = std::move(decoded);
    return true;
}

bool current_session(Session& out) {
    char sid[256];
    if (id_get_cookie_session(sid, sizeof sid) != 1) return false;
    char uid[256] = "", uname[256] = "";
    Session s;
    if (id_session_verify_v(sid, uid, sizeof uid, uname, sizeof uname, &s.signed_in_at) != 1 || !uid[0] ||
        s.signed_in_at <= 0)
        return false;
    if (!id_user_find_by_id(uid, &s.user)) return false;
    s.id = sid;
    out = s;
    return true;
}

bool parse_authz(const Form& params, AuthzRequest& out, AuthzError& err) {
    out = AuthzRequest{};
    out.started = now();
    return parse_common(params, out, err);
}

bool resume_authz(std::string_view sealed, AuthzRequest& out, AuthzError& err) {
    out = AuthzRequest{};
    std::string payload;
    Form carried;
    if (!unseal("authz", sealed, payload) || !carried.parse(payload) || carried.count("t") != 1 ||
        !all_digits(carried.get("t"), 19))
        return fail(err, true, "invalid_request", "This sign-in request is not valid. Return to the application and try again.");
    const int64_t started = to_int(carried.get("t"));
    const int64_t t = now();
    if (started > t + 60 || t - started > kRequestLifetime)
        return fail(err, true, "invalid_request", "This sign-in request has expired. Return to the application and try again.");
    Form params;
    for (const auto& [name, value] : carried.fields())
        if (name != "t") params.add(name, value);
    out.started = started;
    out.resumed = true;
    return parse_common(params, out, err);
}

std::string seal_request(const AuthzRequest& req) {
    Form carried = req.params;
    carried.add("t", std::to_string(req.started));
    return seal("authz", form_encode_compact(carried));
}

bool session_satisfies(const AuthzRequest& req, const Session& session, int64_t at) {
    if (!req.hint_subject.empty() && req.hint_subject != session.user.id) return false;
    const bool signed_in_since = req.resumed && session.signed_in_at >= req.started;
    // max_age=0 asks for a sign-in now, as prompt=login does.
    if ((req.prompt_login || req.max_age == 0) && !signed_in_since) return false;
    if (req.max_age >= 0 && at - session.signed_in_at > req.max_age && !signed_in_since) return false;
    return true;
}

void redirect_error(const AuthzRequest& req, std::string_view error, std::string_view description) {
    Form answer;
    answer.add("error", std::string(error));
    if (!description.empty()) answer.add("error_description", std::string(description));
    if (!req.state.empty()) answer.add("state", req.state);
    answer.add("iss", issuer());
    redirect(is_post() ? 303 : 302, with_query(req.redirect_uri, answer));
}

void redirect_code(const AuthzRequest& req, const Session& session) {
    char code[128];
    const bool pkce = !req.code_challenge.empty();
    if (id_auth_code_create_v(session.user.id, session.user.username, req.client.client_id, req.redirect_uri.c_str(),
                              req.scope.c_str(), pkce ? req.code_challenge.c_str() : nullptr, pkce ? "S256" : nullptr,
                              req.nonce.c_str(), session.signed_in_at, code, sizeof code) != 0) {
        redirect_error(req, "server_error", "The authorization could not be stored.");
        return;
    }
    Form answer;
    answer.add("code", code);
    if (!req.state.empty()) answer.add("state", req.state);
    answer.add("iss", issuer());
    redirect(is_post() ? 303 : 302, with_query(req.redirect_uri, answer));
}

void error_page(const AuthzError& err) { message_page(err.status, "This request cannot be completed", err.description); }

}  // namespace web
