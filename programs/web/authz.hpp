// The authorization request and the browser session, shared by the authorization endpoint, the
// sign-in page and the consent page. A request is validated whole at every step: while the user
// signs in or decides, it travels as a sealed copy of its parameters (HMAC under the data
// directory's secret, with the time it was first seen), so the pages keep no state and nobody can
// change a pending request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "id_accounts.h"
#include "id_clients.h"
#include "web/form.hpp"

namespace web {

// --- Sealed texts ------------------------------------------------------------------------

// base64url(payload) "." base64url(HMAC-SHA-256(secret, purpose "\n" payload)); "" when the
// secret cannot be read.
std::string seal(std::string_view purpose, std::string_view payload);
// The payload of a text seal() made for `purpose`; false (payload untouched) for any other text.
bool unseal(std::string_view purpose, std::string_view sealed, std::string& payload);

// --- The browser session -----------------------------------------------------------------

struct Session {
    std::string id;          // the session identifier from the id_session cookie
    id_user user{};          // the user, as stored now
    int64_t signed_in_at = 0; // when the user signed in: the session's creation time
};

// The signed-in user of this request: a valid id_session cookie whose user still exists.
bool current_session(Session& out);

// --- The authorization request -----------------------------------------------------------

// Lifetime of a sealed request: how long a user may take to sign in and decide.
constexpr int64_t kRequestLifetime = 1800;

struct AuthzRequest {
    Form params;             // the request's own parameters (what a seal carries)
    id_client client{};
    std::string redirect_uri, state, nonce, scope, code_challenge, login_hint, hint_subject;
    bool openid = false;
    bool prompt_none = false, prompt_login = false, prompt_consent = false;
    int64_t max_age = -1;    // -1: not given
    int64_t started = 0;     // when the request was first seen
    bool resumed = false;    // came back sealed, after sign-in or consent
};

// The outcome of validating a request. `page` errors (unknown client, redirect URI refused)
// are shown to the user and never redirected; the others go back to the client.
struct AuthzError {
    bool page = false;
    int status = 400;        // of a page error: 503 when a store cannot be read now
    std::string error, description;
};

// Validates the parameters of an authorization request (fresh: started now). Returns true with
// `out` filled, or false with `err` (and, for a redirect error, `out` holding the client,
// redirect URI and state to answer with).
bool parse_authz(const Form& params, AuthzRequest& out, AuthzError& err);
// As parse_authz for a request that comes back sealed (parameter "req"); a text that is not a
// seal of ours, or one older than kRequestLifetime, is a page error.
bool resume_authz(std::string_view sealed, AuthzRequest& out, AuthzError& err);
// The sealed form of a validated request ("" when the secret cannot be read).
std::string seal_request(const AuthzRequest& req);

// True when `session` may answer `req` without signing in again: it belongs to the user the
// id_token_hint names (when given), and neither prompt=login nor max_age asks for a sign-in
// newer than it (after the sign-in page sent the request back, a session made since the
// request was first seen counts as new).
bool session_satisfies(const AuthzRequest& req, const Session& session, int64_t now);

// Answers the client at its redirect URI (302, or 303 after a form POST): `error` with its
// description, the state and iss.
void redirect_error(const AuthzRequest& req, std::string_view error, std::string_view description);
// Issues the code for the signed-in user and answers the client with code, state and iss; a
// code that cannot be stored answers server_error.
void redirect_code(const AuthzRequest& req, const Session& session);
// The page for a page error.
void error_page(const AuthzError& err);

}  // namespace web
