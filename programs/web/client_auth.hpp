// Client authentication at the token and revocation endpoints.
#pragma once

#include <string>
#include <string_view>

#include "id_clients.h"
#include "web/form.hpp"

namespace web {

struct ClientAuthError {
    int status = 0;        // 400, 401, or 503 when clients.json cannot be read now
    std::string error;     // "invalid_request", "invalid_client" or "temporarily_unavailable"
    std::string description;
};

// Authenticates the calling client by exactly one method: HTTP Basic (client_secret_basic),
// client_id and client_secret in the body (client_secret_post), or client_id alone for a public
// client (none), through id_authenticate_client, which form-urldecodes the Basic credentials as
// RFC 6749 section 2.3.1 has clients encode them. Returns true with `out` filled, or false with
// `err`: 401 invalid_client for unknown clients and wrong or missing secrets, 400 invalid_request
// when a request uses two methods or names two clients, 503 temporarily_unavailable when
// clients.json cannot be read now.
bool authenticate_client(const Form& params, id_client& out, ClientAuthError& err);

}  // namespace web
