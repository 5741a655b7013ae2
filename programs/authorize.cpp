// authorize: the authorization endpoint (GET or a form POST). A valid request from a signed-in
// user whose consent covers it gets its code at once; otherwise the user is sent to sign in (the
// request sealed and carried along) or shown the consent page. Requests that cannot name a
// registered client and redirect URI get an error page and are never redirected.
#include <ctime>
#include <string>

#include "id_consent.h"
#include "web/authz.hpp"
#include "web/csrf.hpp"
#include "web/http.hpp"
#include "web/page.hpp"

namespace {

struct ScopeText {
    const char* name;
    const char* text;
};
constexpr ScopeText kScopeTexts[] = {
    {"openid", "Sign you in with your account"},
    {"profile", "See your username"},
    {"email", "See your email address"},
};

void consent_page(const web::AuthzRequest& req, const web::Session& session) {
    web::Csrf csrf;
    if (!csrf.load()) {
        web::redirect_error(req, "server_error", "The consent page cannot be shown.");
        return;
    }
    web::Html main;
    main.markup("<h1>Allow access?</h1>\n<p><strong>")
        .text(req.client.name[0] ? req.client.name : req.client.client_id)
        .markup("</strong> asks to use your account <strong>")
        .text(session.user.username)
        .markup("</strong> to:</p>\n<ul>\n");
    std::string_view scopes = req.scope;
    while (!scopes.empty()) {
        const std::size_t sp = scopes.find(' ');
        const std::string_view name = scopes.substr(0, sp);
        scopes = sp == std::string_view::npos ? std::string_view() : scopes.substr(sp + 1);
        const char* text = nullptr;
        for (const ScopeText& s : kScopeTexts)
            if (name == s.name) text = s.text;
        main.markup("<li>").text(text ? text : "").markup(" (").text(name).markup(")</li>\n");
    }
    main.markup("</ul>\n<form method=\"post\" action=\"")
        .text(web::endpoint_url("/consent"))
        .markup("\">\n")
        .hidden("req", web::seal_request(req))
        .hidden(web::Csrf::kField, csrf.token("consent\n" + std::string(session.user.id)))
        .markup("\n<button type=\"submit\" name=\"decision\" value=\"approve\">Approve</button>"
                "<button type=\"submit\" class=\"secondary\" name=\"decision\" value=\"deny\">Deny</button>\n"
                "</form>");
    web::page_begin(200);
    csrf.write_cookie();
    web::page_end("Allow access?", main);
}

}  // namespace

int main() {
    web::issuer();
    web::Form params;
    web::AuthzRequest req;
    web::AuthzError err;
    if (!web::read_params(params)) {
        web::message_page(400, "This request cannot be completed", "The request could not be read.");
        return 0;
    }
    const bool resumed = params.has("req") && !params.has("client_id");
    if (!(resumed ? web::resume_authz(params.get("req"), req, err) : web::parse_authz(params, req, err))) {
        if (err.page) web::error_page(err);
        else web::redirect_error(req, err.error, err.description);
        return 0;
    }

    web::Session session;
    const bool signed_in = web::current_session(session);
    if (!signed_in || !web::session_satisfies(req, session, static_cast<int64_t>(std::time(nullptr)))) {
        if (req.prompt_none) {
            web::redirect_error(req, "login_required", "The user is not signed in.");
            return 0;
        }
        const std::string sealed = web::seal_request(req);
        if (sealed.empty()) {
            web::redirect_error(req, "server_error", "The sign-in page cannot be reached.");
            return 0;
        }
        web::redirect(web::is_post() ? 303 : 302, web::endpoint_url("/signin?req=") + sealed);
        return 0;
    }
    if (req.prompt_consent || !id_consent_covers(session.user.id, req.client.client_id, req.scope.c_str())) {
        if (req.prompt_none) {
            web::redirect_error(req, "consent_required", "The user has not allowed this application.");
            return 0;
        }
        consent_page(req, session);
        return 0;
    }
    web::redirect_code(req, session);
    return 0;
}
