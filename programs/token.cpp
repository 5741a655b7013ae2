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

// The signed tokens of a grant, made before anything is spent or stored.
struct Minted {
    char access[ID_JWT_TOKEN_CAP];
    char id_token[ID_JWT_TOKEN_CAP];
    bool openid = false;
};
Minted g_minted;

// Mints the access token and, when the grant has "openid", the ID token of `grant` into
// `out`. False, having answered server_error, when a token cannot be made.
bool mint_tokens(const Grant& grant, Minted& out) {
    const std::string& iss = web::issuer();
    const bool email = web::has_scope(grant.scope, "email") && grant.user.email[0];
    const bool profile = web::has_scope(grant.scope, "profile");
    if (id_jwt_mint_access_token(iss.c_str(), grant.user.id, grant.user.username, email ? grant.user.email : nullptr,
                                 grant.client_id.c_str(), grant.scope.c_str(), 0, out.access, sizeof out.access) != 0) {
        web::oauth_error(500, "server_error", "The access token could not be made.");
        return false;
    }
    out.openid = web::has_scope(grant.scope, "openid");
    if (out.openid && id_jwt_mint_id_token_v2(iss.c_str(), grant.user.id, profile ? grant.user.username : "",
                                              email ? grant.user.email : nullptr, grant.client_id.c_str(),
                                              grant.nonce.c_str(), out.access, grant.auth_time, 0, out.id_token,
                                              sizeof out.id_token) != 0) {
        web::oauth_error(500, "server_error", "The ID token could not be made.");
        return false;
    }
    return true;
}

// Answers with the minted tokens of `grant` and `refresh`.
void answer_tokens(const Grant& grant, const Minted& minted, std::string_view refresh) {
    std::string body = "{\"access_token\":" + web::json_string(minted.access) +
                       ",\"token_type\":\"Bearer\",\"expires_in\":" + std::to_string(ID_JWT_DEFAULT_LIFETIME) +
                       ",\"scope\":" + web::json_string(grant.scope);
    if (minted.openid) body += ",\"id_token\":" + web::json_string(minted.id_token);
    body += ",\"refresh_token\":" + web::json_string(refresh) + "}\n";
    web::status(200);
    cgi_header_json();
    web::no_store();
    web::end_headers();
    std::fwrite(body.data(), 1, body.size(), stdout);
}

// The answer for a grant whose user cannot be used: 503 when users.json cannot be read now
// (lookup -1), invalid_grant when the user is gone (0).
void user_failure(int lookup) {
    if (lookup < 0) return web::oauth_error(503, "temporarily_unavailable", "The user of this grant cannot be read now.");
    web::oauth_error(400, "invalid_grant", "The user of this grant no longer exists.");
}

// The answer for a code or refresh token the store refused with -1: 503 when tokens.json cannot
// be read (the grant is kept for a retry), else invalid_grant.
void store_failure(const char* description) {
    if (!id_tokens_readable())
        return web::oauth_error(503, "temporarily_unavailable", "The token store cannot be read now.");
    web::oauth_error(400, "invalid_grant", description);
}

const char* code_failure(int r) {
    switch (r) {
        case -2: return "The authorization code has expired.";
        case -3: return "The authorization code was issued to another client.";
        case -4: return "The redirect_uri differs from the one of the authorization request.";
        case -5: return "The code_verifier does not match the code challenge.";
        case -6: return "The authorization code was used before; the tokens issued for it are revoked.";
        default: return "The authorization code is not valid.";
    }
}

void authorization_code(const web::Form& form, const id_client& client) {
    const std::string code(form.get("code")), redirect_uri(form.get("redirect_uri")),
        verifier(form.get("code_verifier"));
    if (code.empty()) return web::oauth_error(400, "invalid_request", "The code is missing.");
    if (redirect_uri.empty()) return web::oauth_error(400, "invalid_request", "The redirect_uri is missing.");
    // The code is spent and the grant's refresh token stored in one change of the store.
    id_auth_code rec{};
    char refresh[128];
    const int r = id_auth_code_exchange(code.c_str(), client.client_id, redirect_uri.c_str(),
                                        verifier.empty() ? nullptr : verifier.c_str(), &rec, refresh, sizeof refresh);
    if (r == -1) return store_failure(code_failure(r));
    if (r != 0) return web::oauth_error(400, "invalid_grant", code_failure(r));
    // The code is spent and its refresh token stored: a grant refused from here on revokes it.
    Grant grant;
    const int user = rec.user_id[0] ? id_user_lookup_by_id(rec.user_id, &grant.user) : 0;
    if (user != 1) {
        id_refresh_token_revoke(refresh);
        return user_failure(user);
    }
    grant.client_id = client.client_id;
    grant.scope = rec.scope;
    grant.nonce = rec.nonce;
    grant.auth_time = rec.auth_time;
    if (!mint_tokens(grant, g_minted)) {
        id_refresh_token_revoke(refresh);
        return;
    }
    answer_tokens(grant, g_minted, refresh);
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
    // For a token of this client, the user is read and the tokens are minted before the token is
    // spent, so that a users.json or keys.json that cannot be used now costs nothing: the token
    // is left as it is for a retry. The successor carries the same user, client, scope and sign-in
    // time.
    Grant grant;
    grant.client_id = client.client_id;
    auto narrow = [&](const char* granted) {
        grant.scope = granted;
        if (!form.has("scope")) return;
        char narrowed[256];
        id_scope_intersect(requested.c_str(), granted, narrowed, sizeof narrowed);
        if (narrowed[0]) grant.scope = narrowed;
    };
    bool minted = false;
    if (active && found.user_id[0] && std::strcmp(found.client_id, client.client_id) == 0) {
        const int user = id_user_lookup_by_id(found.user_id, &grant.user);
        if (user < 0) return user_failure(user);
        if (user == 1) {
            narrow(found.scope);
            grant.auth_time = found.auth_time;
            if (!mint_tokens(grant, g_minted)) return;
            minted = true;
        }
    }
    char next[128];
    id_refresh_token rec{};
    const int r = id_refresh_token_rotate(token.c_str(), client.client_id, next, sizeof next, &rec);
    if (r == -1) return store_failure("The refresh token is not valid.");
    if (r != 0) return web::oauth_error(400, "invalid_grant", "The refresh token is not valid.");
    if (!minted || std::strcmp(rec.user_id, found.user_id) != 0 || std::strcmp(rec.scope, found.scope) != 0 ||
        rec.auth_time != found.auth_time) {
        // Not what was read before the rotation (the token was not found then, or its user is
        // gone): the grant as the rotation returned it decides.
        const int user = rec.user_id[0] ? id_user_lookup_by_id(rec.user_id, &grant.user) : 0;
        if (user != 1) {
            id_refresh_token_revoke(next);
            return user_failure(user);
        }
        narrow(rec.scope);
        grant.auth_time = rec.auth_time;
        if (!mint_tokens(grant, g_minted)) {
            id_refresh_token_revoke(next);
            return;
        }
    }
    // The ID token of a refresh carries the original sign-in time (when the grant recorded one)
    // and, as for every refresh, no nonce.
    answer_tokens(grant, g_minted, next);
}

}  // namespace

int main() {
    web::issuer();
#ifndef TARN_TOKEN_BEARSSL
    web::use_openssl_signer();
#endif
    if (!web::is_post()) {
        web::post_only("The token endpoint");
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
