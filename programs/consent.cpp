// consent: the Approve or Deny of the consent page (a form POST). Approve records the consent
// and issues the code; Deny answers the client with access_denied. The form's token binds it to
// this browser and this user; the sealed request is validated again in full.
#include <ctime>
#include <string>

#include "id_audit.h"
#include "id_consent.h"
#include "id_foundation.h"
#include "web/authz.hpp"
#include "web/csrf.hpp"
#include "web/http.hpp"
#include "web/page.hpp"

int main() {
    web::issuer();
    if (!web::is_post()) {
        web::message_page(405, "This page takes a form", "Open the application again to continue.");
        return 0;
    }
    web::Form form;
    web::Session session;
    web::Csrf csrf;
    if (!web::read_params(form) || form.repeated({"req", "csrf", "decision"}) != "") {
        web::message_page(400, "This request cannot be completed", "The form could not be read.");
        return 0;
    }
    if (!web::current_session(session)) {
        web::message_page(400, "You are not signed in", "Open the application again to sign in.");
        return 0;
    }
    if (!csrf.load() || !csrf.check("consent\n" + std::string(session.user.id), form.get(web::Csrf::kField))) {
        web::message_page(403, "This form has expired", "Open the application again to continue.");
        return 0;
    }
    web::AuthzRequest req;
    web::AuthzError err;
    if (!web::resume_authz(form.get("req"), req, err)) {
        if (err.page) web::error_page(err);
        else web::redirect_error(req, err.error, err.description);
        return 0;
    }
    if (!web::session_satisfies(req, session, static_cast<int64_t>(std::time(nullptr)))) {
        web::redirect(303, web::endpoint_url("/signin?req=") + web::seal_request(req));
        return 0;
    }
    char address[64];
    id_client_ip(address, sizeof address);
    const std::string_view decision = form.get("decision");
    if (decision == "deny") {
        id_audit_record("consent_denied", session.user.id, session.user.username, address, req.client.client_id);
        web::redirect_error(req, "access_denied", "The user denied access.");
        return 0;
    }
    if (decision != "approve") {
        web::message_page(400, "This request cannot be completed", "Choose Approve or Deny.");
        return 0;
    }
    if (id_consent_set(session.user.id, req.client.client_id, req.scope.c_str()) != 0) {
        web::redirect_error(req, "server_error", "The consent could not be stored.");
        return 0;
    }
    id_audit_record("consent_granted", session.user.id, session.user.username, address, req.client.client_id);
    web::redirect_code(req, session);
    return 0;
}
