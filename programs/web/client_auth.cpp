#include "web/client_auth.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

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
    // The scheme name is case-insensitive; the core reads it as "Basic ".
    std::string header = cgi_env("HTTP_AUTHORIZATION", "");
    bool basic = header.size() >= 6 && header[5] == ' ';
    for (std::size_t i = 0; basic && i < 5; ++i) basic = (header[i] | 0x20) == "basic"[i];
    if (basic && header.compare(0, 6, "Basic ") != 0) {
        header.replace(0, 6, "Basic ");
        setenv("HTTP_AUTHORIZATION", header.c_str(), 1);
    }
    const std::string id(params.get("client_id")), secret(params.get("client_secret"));
    if (id.size() > 255 || secret.size() > 255)
        return fail(err, 401, "invalid_client", "Client authentication failed.");
    char msg[128];
    int from_header = 0;
    id_client client{};
    if (basic) {
        if (params.has("client_secret"))
            return fail(err, 400, "invalid_request", "The client used more than one authentication method.");
        if (id_authenticate_client(nullptr, nullptr, &client, &from_header, msg, sizeof msg) != 0 || !from_header)
            return fail(err, 401, "invalid_client", "Client authentication failed.");
        if (!id.empty() && id != client.client_id)
            return fail(err, 400, "invalid_request", "The request names two different clients.");
    } else {
        if (id.empty()) return fail(err, 401, "invalid_client", "Client authentication is required.");
        if (id_authenticate_client(id.c_str(), secret.empty() ? nullptr : secret.c_str(), &client, &from_header, msg,
                                   sizeof msg) != 0)
            return fail(err, 401, "invalid_client", "Client authentication failed.");
    }
    out = client;
    return true;
}

}  // namespace web
