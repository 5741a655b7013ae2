// signin: the sign-in page. GET shows the form (for a pending authorization request, or to sign
// in directly); POST checks the name and password under the sign-in protection, starts a session
// and sends the browser back to the authorization request, or shows who is signed in.
#include <cstring>
#include <string>

#include "id_accounts.h"
#include "id_audit.h"
#include "id_clients.h"
#include "id_foundation.h"
#include "id_signin.h"
#include "id_tokens.h"
#include "web/authz.hpp"
#include "web/csrf.hpp"
#include "web/http.hpp"
#include "web/page.hpp"

namespace {

// A wrong username costs the same as a wrong password: the password is checked against this
// hash (of a random password nobody knows, with the iterations new hashes use) instead.
constexpr const char* kDummyHash =
    "pbkdf2$100000$740e0f7a9e8a17f203726cd57cc8eb04$4cdb29a678564475140ee3b472b8029c353c609b4f57b7da1c35add7af614759";
constexpr std::size_t kMaxUsername = 255;
constexpr std::size_t kMaxPassword = 1024;

struct View {
    const web::AuthzRequest* req = nullptr;  // the pending request, when there is one
    std::string sealed;                      // its sealed form
    std::string username;                    // what the form shows in its username field
    std::string message;                     // an error to show above the form
};

void form_page(int status, const View& view) {
    web::Csrf csrf;
    if (!csrf.load()) {
        web::message_page(503, "Sign-in is unavailable", "Try again in a moment.");
        return;
    }
    web::Html main;
    main.markup("<h1>Sign in</h1>\n");
    if (view.req) {
        const id_client& c = view.req->client;
        main.markup("<p>to continue to <strong>").text(c.name[0] ? c.name : c.client_id).markup("</strong></p>\n");
    }
    if (!view.message.empty()) main.markup("<p class=\"error\" role=\"alert\">").text(view.message).markup("</p>\n");
    main.markup("<form method=\"post\" action=\"")
        .text(web::endpoint_url("/signin"))
        .markup("\">\n<label for=\"username\">Username</label>\n"
                "<input type=\"text\" id=\"username\" name=\"username\" autocomplete=\"username\" "
                "required value=\"")
        .text(view.username)
        .markup("\">\n<label for=\"password\">Password</label>\n"
                "<input type=\"password\" id=\"password\" name=\"password\" autocomplete=\"current-password\" required>\n")
        .hidden(web::Csrf::kField, csrf.token("signin"));
    if (view.req) main.hidden("req", view.sealed);
    main.markup("\n<button type=\"submit\">Sign in</button>\n</form>");
    web::page_begin(status);
    csrf.write_cookie();
    web::page_end("Sign in", main);
}

void signed_in_page(const char* username, const char* session_id) {
    web::Html main;
    main.markup("<h1>Signed in</h1>\n<p>You are signed in as <strong>")
        .text(username)
        .markup("</strong>.</p>\n<p><a href=\"")
        .text(web::endpoint_url("/logout"))
        .markup("\">Sign out</a></p>");
    web::page_begin(200);
    if (session_id) id_set_session_cookie(session_id, ID_SESSION_LIFETIME);
    web::page_end("Signed in", main);
}

int sign_in(const web::Form& form, View& view) {
    const std::string username(form.get("username")), password(form.get("password"));
    view.username = username.size() <= kMaxUsername ? username : std::string();
    if (username.empty() || password.empty()) {
        view.message = "Enter your username and password.";
        return 400;
    }
    // A name that is not UTF-8 names nobody (every stored text is UTF-8), and the sign-in
    // protection cannot record it: the answer for a wrong name, with nothing to check.
    if (username.size() > kMaxUsername || password.size() > kMaxPassword || !web::is_utf8(username)) {
        view.message = "Wrong username or password.";
        return 401;
    }
    // A users.json that cannot be read now would make every name wrong: refuse before the
    // attempt is counted, so that a fault of the server locks nobody out.
    id_user user{};
    if (id_user_lookup_by_username_ci(username.c_str(), &user) < 0) {
        view.message = "Sign-in is unavailable right now. Try again in a moment.";
        return 503;
    }
    char address[64];
    id_client_ip(address, sizeof address);
    // The attempt is counted before the password is checked, so guesses made at the same moment
    // get no more checks than guesses made one at a time.
    char msg[256] = "";
    const int begun = id_login_begin(username.c_str(), address, msg, sizeof msg);
    if (begun != 1) {
        view.message = msg;
        return begun == 0 ? 429 : 503;
    }
    const int lookup = id_user_lookup_by_username_ci(username.c_str(), &user);
    if (lookup < 0) {
        // users.json became unreadable since the first look: the attempt stays counted, as for a
        // process that never reports.
        view.message = "Sign-in is unavailable right now. Try again in a moment.";
        return 503;
    }
    const bool found = lookup == 1;
    const bool match = id_verify_password(password.c_str(), found ? user.pass_hash : kDummyHash) == 1;
    if (!found || !match) {
        id_login_failed(username.c_str(), address);
        id_audit_record("login_failure", found ? user.id : "", username.c_str(), address, "wrong username or password");
        view.message = "Wrong username or password.";
        return 401;
    }
    id_login_success(username.c_str());
    char sid[128];
    if (id_session_create(user.id, user.username, sid, sizeof sid) != 0) {
        view.message = "Sign-in is unavailable right now. Try again in a moment.";
        return 503;
    }
    // The session this browser had before is over: it now holds the new one.
    char old[256];
    if (id_get_cookie_session(old, sizeof old) == 1) id_session_delete(old);
    id_audit_record("login_success", user.id, user.username, address, "");
    if (view.req) {
        web::redirect_headers(303, web::endpoint_url("/authorize?req=") + view.sealed);
        id_set_session_cookie(sid, ID_SESSION_LIFETIME);
        web::end_headers();
    } else {
        signed_in_page(user.username, sid);
    }
    return 0;
}

}  // namespace

int main() {
    web::issuer();
    web::Form form;
    if (!web::read_params(form) || form.repeated({"req", "csrf", "username", "password"}) != "") {
        web::message_page(400, "This request cannot be completed", "The form could not be read.");
        return 0;
    }
    View view;
    web::AuthzRequest req;
    if (form.has("req")) {
        web::AuthzError err;
        if (!web::resume_authz(form.get("req"), req, err)) {
            // A request that no longer validates is not sent anywhere.
            web::AuthzError shown = err;
            shown.page = true;
            web::error_page(shown);
            return 0;
        }
        view.req = &req;
        view.sealed = std::string(form.get("req"));
        view.username = req.login_hint;
    }
    if (!web::is_post()) {
        web::Session session;
        if (!view.req && web::current_session(session)) {
            signed_in_page(session.user.username, nullptr);
            return 0;
        }
        form_page(200, view);
        return 0;
    }
    web::Csrf csrf;
    if (!csrf.load() || !csrf.check("signin", form.get(web::Csrf::kField))) {
        view.message = "This form has expired. Sign in again.";
        form_page(403, view);
        return 0;
    }
    const int status = sign_in(form, view);
    if (status != 0) form_page(status, view);
    return 0;
}
