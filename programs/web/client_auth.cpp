#include "web/client_auth.hpp"

#include <cstring>
#include <string_view>

#include "id_clients.h"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace web {
namespace {

bool fail(ClientAuthError& err, int status, const char* error, const char* description) {
    err.status = status;
    err.error = error;
    err.description = description;
    return false;
}

}  // namespace

bool basic_credentials(std::string_view header, std::string& id, std::string& secret) {
    // "Basic" (any case), blanks, then base64 of id ":" secret, each form-urlencoded first.
    if (header.size() < 6 || header[5] != ' ') return false;
    for (std::size_t i = 0; i < 5; ++i)
        if ((header[i] | 0x20) != "basic"[i]) return false;
    std::string_view b64 = header.substr(6);
    while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
    if (b64.empty() || b64.size() > 2048) return false;
    for (const char c : b64)
        if (c == ' ' || c == '\r' || c == '\n') return false;
    std::string raw(b64.size(), '\0');
    uint64_t len = 0;
    if (tarn_base64url_decode(b64.data(), b64.size(), reinterpret_cast<unsigned char*>(raw.data()), raw.size(), &len) != 0)
        return false;
    raw.resize(len);
    const std::size_t colon = raw.find(':');
    if (colon == std::string::npos) return false;
    Form pair;
    if (!pair.parse("i=" + raw.substr(0, colon) + "&s=" + raw.substr(colon + 1)) || pair.count("i") != 1 ||
        pair.count("s") != 1)
        return false;
    id = pair.get("i");
    secret = pair.get("s");
    return true;
}

bool authenticate_client(const Form& params, id_client& out, ClientAuthError& err) {
    if (params.count("client_id") > 1 || params.count("client_secret") > 1)
        return fail(err, 400, "invalid_request", "A client parameter is repeated.");
    const std::string_view header = cgi_env("HTTP_AUTHORIZATION", "");
    std::string id(params.get("client_id")), secret(params.get("client_secret"));
    const bool basic = !header.empty() && (header[0] | 0x20) == 'b';
    if (basic) {
        if (params.has("client_secret"))
            return fail(err, 400, "invalid_request", "The client used more than one authentication method.");
        std::string header_id;
        if (!basic_credentials(header, header_id, secret))
            return fail(err, 401, "invalid_client", "Client authentication failed.");
        if (!id.empty() && id != header_id)
            return fail(err, 400, "invalid_request", "The request names two different clients.");
        id = header_id;
    }
    if (id.empty()) return fail(err, 401, "invalid_client", "Client authentication is required.");
    if (id.size() > 255 || secret.size() > 255) return fail(err, 401, "invalid_client", "Client authentication failed.");
    char msg[128];
    int from_header = 0;
    id_client client{};
    if (id_authenticate_client(id.c_str(), secret.empty() ? nullptr : secret.c_str(), &client, &from_header, msg,
                               sizeof msg) != 0) {
        // A clients.json that cannot be read now is not the client's fault: a 401 would tell it
        // that its credentials are wrong.
        if (id_client_lookup_by_id(id.c_str(), nullptr) < 0)
            return fail(err, 503, "temporarily_unavailable", "The list of clients cannot be read now.");
        return fail(err, 401, "invalid_client", "Client authentication failed.");
    }
    out = client;
    return true;
}

}  // namespace web
