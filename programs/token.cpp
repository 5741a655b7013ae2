// token: the token endpoint (POST, form encoded). The client authenticates; an authorization
// code or a refresh token is exchanged for an access token, an ID token when the grant has
// "openid", and a refresh token. Every answer is JSON with no-store; errors are the objects of
// RFC 6749 section 5.2.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "id_accounts.h"
#include "id_clients.h"
#include "id_consent.h"
#include "id_jwt.h"
#include "id_tokens.h"
#include "tarn_cgi.h"
#include "web/client_auth.hpp"
#include "web/http.hpp"
#ifndef TARN_TOKEN_BEARSSL
#include "web/openssl_signer.hpp"
#endif

namespace {

bool has_scope(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const std::size_t sp = list.find(' ');
        if (list.substr(0, sp) == name) return true;
        list = sp == std::string_view::npos ? std::string_view() : list.substr(sp + 1);
    }
    return false;
}

// Every name of `requested` is one of `granted`.
bool scope_within(const char* requested, const char* granted) {
    char kept[256];
    id_scope_intersect(requested, granted, kept, sizeof kept);
    char whole[256];
    id_scope_intersect(requested, requested, whole, sizeof whole);
    return std::strcmp(kept, whole) == 0 && kept[0];
}

struct Grant {
    id_user user{};
    std::string client_id, scope, nonce;
    int64_t auth_time = 0;
};

// Mints the tokens of `grant` and answers with them; `refresh` is the refresh token to hand
// out, or empty to store a new one after the tokens are minted.
void answer_tokens(const Grant& grant, std::string refresh) {
    const std::string& iss = web::issuer();
    const bool email = has_scope(grant.scope, "email") && grant.user.email[0];
    const bool profile = has_scope(grant.scope, "profile");
    static char access[ID_JWT_TOKEN_CAP], id_token[ID_JWT_TOKEN_CAP];
    if (id_jwt_mint_access_token(iss.c_str(), grant.user.id, grant.user.username, email ? grant.user.email : nullptr,
                                 grant.client_id.c_str(), grant.scope.c_str(), 0, access, sizeof access) != 0) {
        web::oauth_error(500, "server_error", "The access token could not be made.");
        return;
    }
    const bool openid = has_scope(grant.scope, "openid");
    if (openid && id_jwt_mint_id_token_v2(iss.c_str(), grant.user.id, profile ? grant.user.username : "",
                                          email ? grant.user.email : nullptr, grant.client_id.c_str(),
                                          grant.nonce.c_str(), access, grant.auth_time, 0, id_token,
                                          sizeof id_token) != 0) {
        web::oauth_error(500, "server_error", "The ID token could not be made.");
        return;
    }
    if (refresh.empty()) {
        char rt[128];
        if (id_refresh_token_create(grant.user.id, grant.user.username, grant.client_id.c_str(), grant.scope.c_str(), rt,
                                    sizeof rt) != 0) {
            web::oauth_error(500, "server_error", "The refresh token could not be stored.");
            return;
        }
        refresh = rt;
    }
    std::string body = "{\"access_token\":" + web::json_string(access) + ",\"token_type\":\"Bearer\",\"expires_in\":" +
                       std::to_string(ID_JWT_DEFAULT_LIFETIME) + ",\"scope\":" + web::json_string(grant.scope);
    if (openid) body += ",\"id_token\":" + web::json_string(id_token);
    body += ",\"refresh_token\":" + web::json_string(refresh) + "}\n";
    web::status(200);
    cgi_header_json();
    web::no_store();
    web::end_headers();
    std::fwrite(body.data(), 1, body.size(), stdout);
}

const char* code_failure(int r) {
    switch (r) {
        case -2: return "The authorization code has expired.";
        case -3: return "The authorization code was issued to another client.";
        case -4: return "The redirect_uri differs from the one of the authorization request.";
        case -5: return "The code_verifier does not match the code challenge.";
        default: return "The authorization code is not valid.";
    }
}

void authorization_code(const web::Form& form, const id_client& client) {
    const std::string code(form.get("code")), redirect_uri(form.get("redirect_uri")),
        verifier(form.get("code_verifier"));
    if (code.empty()) return web::oauth_error(400, "invalid_request", "The code is missing.");
    if (redirect_uri.empty()) return web::oauth_error(400, "invalid_request", "The redirect_uri is missing.");
    id_auth_code rec{};
    const int r = id_auth_code_consume(code.c_str(), client.client_id, redirect_uri.c_str(),
                                       verifier.empty() ? nullptr : verifier.c_str(), &rec);
    if (r != 0) return web::oauth_error(400, "invalid_grant", code_failure(r));
    Grant grant;
    // The code is spent either way; a users.json that cannot be read is the server's failure,
    // not the grant's.
    const int user = rec.user_id[0] ? id_user_lookup_by_id(rec.user_id, &grant.user) : 0;
    if (user < 0) return web::oauth_error(503, "temporarily_unavailable", "The user of this grant cannot be read now.");
    if (user == 0) return web::oauth_error(400, "invalid_grant", "The user of this grant no longer exists.");
    grant.client_id = client.client_id;
    grant.scope = rec.scope;
    grant.nonce = rec.nonce;
    grant.auth_time = rec.auth_time;
    answer_tokens(grant, {});
}

void refresh_token(const web::Form& form, const id_client& client) {
    const std::string token(form.get("refresh_token")), requested(form.get("scope"));
    if (token.empty()) return web::oauth_error(400, "invalid_request", "The refresh_token is missing.");
    // A narrower scope is checked before the token is spent; a token that is not active goes on
    // to the rotation, which ends the family of an exchanged one.
    id_refresh_token found{};
    const bool active = id_refresh_token_find(token.c_str(), &found) == 1;
    if (form.has("scope") && active && std::strcmp(found.client_id, client.client_id) == 0 &&
        !scope_within(requested.c_str(), found.scope))
        return web::oauth_error(400, "invalid_scope", "The scope exceeds the one granted.");
    // The user is read before the token is spent, so that a users.json that cannot be read now
    // costs nothing: the token is left as it is for a retry.
    Grant grant;
    int user = active && found.user_id[0] ? id_user_lookup_by_id(found.user_id, &grant.user) : 0;
    if (user < 0) return web::oauth_error(503, "temporarily_unavailable", "The user of this grant cannot be read now.");
    char next[128];
    id_refresh_token rec{};
    if (id_refresh_token_rotate(token.c_str(), client.client_id, next, sizeof next, &rec) != 0)
        return web::oauth_error(400, "invalid_grant", "The refresh token is not valid.");
    if (!active || std::strcmp(rec.user_id, found.user_id) != 0)
        user = rec.user_id[0] ? id_user_lookup_by_id(rec.user_id, &grant.user) : 0;
    if (user <= 0) {
        id_refresh_token_revoke(next);
        if (user < 0) return web::oauth_error(503, "temporarily_unavailable", "The user of this grant cannot be read now.");
        return web::oauth_error(400, "invalid_grant", "The user of this grant no longer exists.");
    }
    grant.client_id = client.client_id;
    grant.scope = rec.scope;
    if (form.has("scope")) {
        char narrowed[256];
        id_scope_intersect(requested.c_str(), rec.scope, narrowed, sizeof narrowed);
        if (narrowed[0]) grant.scope = narrowed;
    }
    // The refresh record does not carry the time of the original sign-in, so the ID token of a
    // refresh has no auth_time (and, as for every refresh, no nonce).
    answer_tokens(grant, next);
}

}  // namespace

int main() {
    web::issuer();
#ifndef TARN_TOKEN_BEARSSL
    web::use_openssl_signer();
#endif
    if (!web::is_post()) {
        web::status(405);
        cgi_header_json();
        web::header("Allow", "POST");
        web::no_store();
        web::end_headers();
        std::fputs("{\"error\":\"invalid_request\",\"error_description\":\"The token endpoint takes POST.\"}\n", stdout);
        return 0;
    }
    web::Form form;
    if (!web::read_params(form)) {
        web::oauth_error(400, "invalid_request", "The request body could not be read.");
        return 0;
    }
    if (!form.repeated({"grant_type", "code", "redirect_uri", "code_verifier", "refresh_token", "scope"}).empty()) {
        web::oauth_error(400, "invalid_request", "A parameter is repeated.");
        return 0;
    }
    id_client client{};
    web::ClientAuthError err;
    if (!web::authenticate_client(form, client, err)) {
        web::oauth_error(err.status, err.error, err.description);
        return 0;
    }
    const std::string_view grant_type = form.get("grant_type");
    if (grant_type == "authorization_code") authorization_code(form, client);
    else if (grant_type == "refresh_token") refresh_token(form, client);
    else if (grant_type.empty()) web::oauth_error(400, "invalid_request", "The grant_type is missing.");
    else web::oauth_error(400, "unsupported_grant_type", "Only authorization_code and refresh_token are supported.");
    return 0;
}
