// userinfo: the claims of the user an access token was issued for (GET or POST). The token comes
// in the Authorization header (Bearer) or, for a POST, in the form body as access_token. A token
// that does not verify, is not an access token of this issuer, is revoked, or whose user no
// longer exists is answered 401 with WWW-Authenticate: Bearer error="invalid_token".
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "id_accounts.h"
#include "id_jwt.h"
#include "tarn_cgi.h"
#include "web/http.hpp"

namespace {

void refuse(int code, const char* challenge, const char* error, const char* description) {
    web::status(code);
    cgi_header_json();
    web::header("WWW-Authenticate", challenge);
    web::no_store();
    web::end_headers();
    std::string body = "{\"error\":" + web::json_string(error) + ",\"error_description\":" +
                       web::json_string(description) + "}\n";
    std::fwrite(body.data(), 1, body.size(), stdout);
}

void server_error() {
    web::oauth_error(503, "temporarily_unavailable", "The user of this token cannot be read now.");
}

}  // namespace

int main() {
    const std::string& iss = web::issuer();
    std::string_view header = cgi_env("HTTP_AUTHORIZATION", "");
    std::string token;
    bool bearer = header.size() > 7 && header[6] == ' ';
    for (std::size_t i = 0; bearer && i < 6; ++i) bearer = (header[i] | 0x20) == "bearer"[i];
    if (bearer) token = header.substr(7);
    web::Form form;
    if (web::is_post()) {
        if (!web::read_params(form) || form.count("access_token") > 1)
            return refuse(400, "Bearer error=\"invalid_request\"", "invalid_request", "The request could not be read."), 0;
        if (form.has("access_token")) {
            if (bearer)
                return refuse(400, "Bearer error=\"invalid_request\"", "invalid_request",
                              "The access token was sent twice."), 0;
            token = form.get("access_token");
        }
    }
    if (token.empty()) return refuse(401, "Bearer", "invalid_request", "An access token is required."), 0;

    id_jwt_claims claims{};
    id_user user{};
    if (token.size() > ID_JWT_TOKEN_CAP || id_jwt_verify(token.c_str(), &claims) != ID_JWT_VALID ||
        std::strcmp(claims.token_use, "access") != 0 || claims.iss != iss || !claims.jti[0] ||
        id_revoke_is_jti(claims.jti) || !claims.sub[0])
        return refuse(401, "Bearer error=\"invalid_token\"", "invalid_token", "The access token is not valid."), 0;
    // A users.json that cannot be read now is the server's failure: a 401 would tell the client
    // to throw a good token away.
    const int known = id_user_lookup_by_id(claims.sub, &user);
    if (known < 0) return server_error(), 0;
    if (known == 0)
        return refuse(401, "Bearer error=\"invalid_token\"", "invalid_token", "The access token is not valid."), 0;
    if (!web::has_scope(claims.scope, "openid"))
        return refuse(403, "Bearer error=\"insufficient_scope\" scope=\"openid\"", "insufficient_scope",
                      "The access token does not have the scope openid."), 0;

    std::string body = "{\"sub\":" + web::json_string(user.id);
    if (web::has_scope(claims.scope, "profile")) body += ",\"preferred_username\":" + web::json_string(user.username);
    if (web::has_scope(claims.scope, "email") && user.email[0]) body += ",\"email\":" + web::json_string(user.email);
    body += "}\n";
    web::status(200);
    cgi_header_json();
    web::no_store();
    web::end_headers();
    std::fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}
