// end_session: sign-out started by an application (GET or POST). The session ends and its
// cookie is cleared; the browser goes to post_logout_redirect_uri, with the state, only when it
// is a registered redirect URI of the client that id_token_hint or client_id names, else it sees
// a signed-out page. Without an ID token of the signed-in user, the user confirms first (a form
// with its token), so another site cannot sign the user out.
#include <string>

#include "id_audit.h"
#include "id_clients.h"
#include "id_foundation.h"
#include "id_jwt.h"
#include "id_tokens.h"
#include "web/authz.hpp"
#include "web/csrf.hpp"
#include "web/http.hpp"
#include "web/page.hpp"

namespace {

void signed_out_page() {
    web::page_begin(200);
    id_clear_session_cookie();
    web::Html main;
    main.markup("<h1>Signed out</h1>\n<p>You are signed out.</p>");
    web::page_end("Signed out", main);
}

void confirm_page(const web::Csrf& csrf, const std::string& client_id, const web::Form& form) {
    web::Html main;
    main.markup("<h1>Sign out?</h1>\n<p>Do you want to sign out?</p>\n<form method=\"post\" action=\"")
        .text(web::endpoint_url("/logout"))
        .markup("\">\n")
        .hidden(web::Csrf::kField, csrf.token("logout"));
    if (!client_id.empty()) main.hidden("client_id", client_id);
    if (form.has("post_logout_redirect_uri")) main.hidden("post_logout_redirect_uri", form.get("post_logout_redirect_uri"));
    if (form.has("state")) main.hidden("state", form.get("state"));
    main.markup("\n<button type=\"submit\">Sign out</button>\n</form>");
    web::page_begin(200);
    csrf.write_cookie();
    web::page_end("Sign out?", main);
}

}  // namespace

int main() {
    const std::string& iss = web::issuer();
    web::Form form;
    if (!web::read_params(form) ||
        !form.repeated({"id_token_hint", "client_id", "post_logout_redirect_uri", "state", "csrf"}).empty()) {
        web::message_page(400, "This request cannot be completed", "The request could not be read.");
        return 0;
    }
    std::string client_id(form.get("client_id")), hint_subject;
    if (form.has("id_token_hint")) {
        id_jwt_claims claims{};
        const std::string hint(form.get("id_token_hint"));
        // An expired ID token still names its user and client (RP-Initiated Logout 1.0).
        const int r = hint.size() <= ID_JWT_TOKEN_CAP ? id_jwt_verify_hint(hint.c_str(), iss.c_str(), nullptr, &claims)
                                                      : ID_JWT_MALFORMED;
        if (r != ID_JWT_VALID) {
            web::message_page(400, "This request cannot be completed", "The ID token of this request is not valid.");
            return 0;
        }
        if (!client_id.empty() && client_id != claims.aud) {
            web::message_page(400, "This request cannot be completed", "The client does not match the ID token.");
            return 0;
        }
        client_id = claims.aud;
        hint_subject = claims.sub;
    }
    // Where to go afterwards: only a redirect URI the client registered.
    std::string target;
    id_client client{};
    const std::string after(form.get("post_logout_redirect_uri"));
    if (!after.empty() && client_id.size() <= 255 && id_client_find_by_id(client_id.c_str(), &client) &&
        id_client_validate_redirect_uri(&client, after.c_str())) {
        web::Form answer;
        if (!form.get("state").empty() && form.get("state").size() <= 2048) answer.add("state", std::string(form.get("state")));
        target = web::with_query(after, answer);
    }

    web::Session session;
    const bool signed_in = web::current_session(session);
    if (signed_in && hint_subject != session.user.id) {
        web::Csrf csrf;
        if (!csrf.load()) {
            web::message_page(503, "Sign-out is unavailable", "Try again in a moment.");
            return 0;
        }
        if (!web::is_post() || !csrf.check("logout", form.get(web::Csrf::kField))) {
            confirm_page(csrf, client_id, form);
            return 0;
        }
    }
    // A session that cannot be ended is not reported ended: the cookie stays for a retry, since
    // a copy of it elsewhere would still sign in.
    char sid[256];
    if (id_get_cookie_session(sid, sizeof sid) == 1 && id_session_delete(sid) != 0) {
        web::message_page(503, "Sign-out could not be completed", "Try again in a moment.");
        return 0;
    }
    if (signed_in) {
        char address[64];
        id_client_ip(address, sizeof address);
        id_audit_record("logout", session.user.id, session.user.username, address, client_id.c_str());
    }
    if (target.empty()) {
        signed_out_page();
        return 0;
    }
    web::redirect_headers(web::is_post() ? 303 : 302, target);
    id_clear_session_cookie();
    web::end_headers();
    return 0;
}
