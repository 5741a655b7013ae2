// revoke: token revocation (POST, form encoded, the client authenticated). A refresh token of
// the client ends its whole family; an access token of the client has its "jti" revoked until
// it expires. A token that is unknown, expired or another client's changes nothing, and the
// answer is 200 all the same.
#include <cstdio>
#include <cstring>
#include <string>

#include "id_clients.h"
#include "id_jwt.h"
#include "id_tokens.h"
#include "tarn_cgi.h"
#include "web/client_auth.hpp"
#include "web/http.hpp"

int main() {
    const std::string& iss = web::issuer();
    if (!web::is_post()) {
        web::post_only("The revocation endpoint");
        return 0;
    }
    web::Form form;
    if (!web::read_params(form) || !form.repeated({"token", "token_type_hint"}).empty()) {
        web::oauth_error(400, "invalid_request", "The request could not be read.");
        return 0;
    }
    id_client client{};
    web::ClientAuthError err;
    if (!web::authenticate_client(form, client, err)) {
        web::oauth_error(err.status, err.error, err.description);
        return 0;
    }
    const std::string token(form.get("token"));
    if (token.empty()) {
        web::oauth_error(400, "invalid_request", "The token is missing.");
        return 0;
    }
    // The hint only says where to look first; both kinds are looked for. A refresh token whose
    // store cannot be changed is not reported revoked: the client would forget a token that
    // still works.
    const int ended = token.size() <= ID_JWT_TOKEN_CAP ? id_refresh_token_end_family(token.c_str(), client.client_id) : 0;
    if (ended <= 0) {
        id_jwt_claims claims{};
        const bool access = token.size() <= ID_JWT_TOKEN_CAP && id_jwt_verify(token.c_str(), &claims) == ID_JWT_VALID &&
                            std::strcmp(claims.token_use, "access") == 0 && claims.iss == iss && claims.jti[0];
        if (access && std::strcmp(claims.aud, client.client_id) == 0 &&
            id_revoke_add_jti(claims.jti, claims.exp, claims.sub, client.client_id) != 0) {
            web::oauth_error(503, "temporarily_unavailable", "The revocation could not be stored.");
            return 0;
        }
        if (ended < 0 && !access) {
            web::oauth_error(503, "temporarily_unavailable", "The revocation could not be stored.");
            return 0;
        }
    }
    web::status(200);
    cgi_header_json();
    web::no_store();
    web::end_headers();
    return 0;
}
