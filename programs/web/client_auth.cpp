#include "web/client_auth.hpp"

#include <cstring>
#include <string_view>

#include "id_clients.h"
#include "tarn_cgi.h"

namespace web {
namespace {

bool fail(ClientAuthError& err, int status, const char* error, const char* description) {
    err.status = status;
    err.error = error;
    err.description = description;
    return false;
}

}  // namespace

bool authenticate_client(const Form& params, id_client& out, ClientAuthError& err) {
    if (params.count("client_id") > 1 || params.count("client_secret") > 1)
        return fail(err, 400, "invalid_request", "A client parameter is repeated.");
    const std::string_view header = cgi_env("HTTP_AUTHORIZATION", "");
    const std::string id(params.get("client_id")), secret(params.get("client_secret"));
    const bool basic = !header.empty() && (header[0] | 0x20) == 'b';
    if (basic && params.has("client_secret"))
        return fail(err, 400, "invalid_request", "The client used more than one authentication method.");
    if (!basic && id.empty()) return fail(err, 401, "invalid_client", "Client authentication is required.");
    if (id.size() > 255 || secret.size() > 255) return fail(err, 401, "invalid_client", "Client authentication failed.");
    // With a Basic header the library reads the credentials from it (given no client id).
    int from_header = 0;
    id_client client{};
    if (id_authenticate_client(basic ? nullptr : id.c_str(), basic || secret.empty() ? nullptr : secret.c_str(),
                               &client, &from_header, nullptr, 0) != 0 ||
        from_header != (basic ? 1 : 0)) {
        // A clients.json that cannot be read now is not the client's fault: a 401 would tell it
        // that its credentials are wrong. The lookup reads the whole store whatever the name, so
        // a Basic request (whose name is inside the header) asks with a name no client has.
        if (id_client_lookup_by_id(id.empty() ? "?" : id.c_str(), nullptr) < 0)
            return fail(err, 503, "temporarily_unavailable", "The list of clients cannot be read now.");
        return fail(err, 401, "invalid_client", "Client authentication failed.");
    }
    if (basic && !id.empty() && id != client.client_id)
        return fail(err, 400, "invalid_request", "The request names two different clients.");
    out = client;
    return true;
}

}  // namespace web
