// Client authentication: HTTP Basic credentials and the check of a client's identity and secret.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "cgi/form_decode.hpp"
#include "clients/clients.hpp"
#include "foundation/json_read.hpp"
#include "id_clients.h"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace tarn::clients {
namespace {

constexpr const char* kMissingClient = "Missing client identification";
constexpr const char* kFailed = "Client authentication failed: unknown client or bad client_secret";
constexpr const char* kPublicWithSecret = "public client must not authenticate with a secret";

constexpr std::size_t kDecodedCap = 511;  // decoded credentials beyond this are dropped
constexpr std::size_t kWorkingCap = 256;  // client id and secret as the authentication holds them

int parse_basic_auth(char* client_id, std::size_t client_id_cap, char* secret, std::size_t secret_cap) {
    const char* header = cgi_env("HTTP_AUTHORIZATION", "");
    if (std::strncmp(header, "Basic ", 6) != 0) return -1;
    const char* encoded = header + 6;  // blanks before and inside it are skipped by the decoder
    unsigned char decoded[kDecodedCap + 1];
    std::uint64_t n = 0;
    if (tarn_base64url_decode(encoded, std::strlen(encoded), decoded, kDecodedCap, &n) != 0) return -1;
    // The credentials are a text: a NUL byte in them ends it.
    std::string_view text(reinterpret_cast<const char*>(decoded), static_cast<std::size_t>(n));
    text = text.substr(0, text.find('\0'));
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return -1;
    json::copy_text(client_id, client_id_cap, text.substr(0, colon));
    json::copy_text(secret, secret_cap, text.substr(colon + 1));
    return 0;
}

int authenticate(const char* client_id, const char* client_secret, id_client* out, int* from_header,
                 char* msg, std::size_t msg_cap) {
    Message message(msg, msg_cap);
    if (from_header) *from_header = 0;
    char id[kWorkingCap] = "";
    char secret[kWorkingCap] = "";
    if (client_id && *client_id) tarn_strlcpy(id, client_id, sizeof id);
    if (client_secret && *client_secret) tarn_strlcpy(secret, client_secret, sizeof secret);
    // The Authorization header is read only when no client id came as a parameter; its secret
    // then replaces a secret parameter.
    bool basic = false;
    if (!id[0] && parse_basic_auth(id, sizeof id, secret, sizeof secret) == 0) {
        basic = true;
        if (from_header) *from_header = 1;
    }
    if (!id[0]) {
        message.set(kMissingClient);
        return -1;
    }
    // RFC 6749 2.3.1: clients form-urlencode the id and the secret before joining them. The
    // decoded form is tried first, then the text as it came, so that a stored id or secret
    // holding "%" or "+" still matches when a client sent it unencoded. A text that decodes to
    // a NUL byte is tried only as it came.
    const std::string decoded_id = (basic ? cgi::form_unescape(id) : std::nullopt).value_or(id);
    const std::string decoded_secret = (basic ? cgi::form_unescape(secret) : std::nullopt).value_or(secret);
    id_client client;
    const bool found = (!decoded_id.empty() && id_client_find_by_id(decoded_id.c_str(), &client)) ||
                       (decoded_id != id && id_client_find_by_id(id, &client));
    if (!found) {
        message.set(kFailed);
        return -1;
    }
    if (client.is_public && secret[0] && !client.secret[0]) {
        message.set(kPublicWithSecret);
        return -1;
    }
    // A public client may present no secret; every other case needs the stored one.
    const bool authenticated = (client.is_public && !secret[0]) ||
                               id_client_verify_secret(&client, decoded_secret.c_str()) == 1 ||
                               (decoded_secret != secret && id_client_verify_secret(&client, secret) == 1);
    if (!authenticated) {
        message.set(kFailed);
        return -1;
    }
    if (out) *out = client;
    return 0;
}

}  // namespace
}  // namespace tarn::clients

extern "C" {

int id_parse_basic_auth(char* client_id, size_t client_id_cap, char* secret, size_t secret_cap) {
    return tarn::clients::parse_basic_auth(client_id, client_id_cap, secret, secret_cap);
}

int id_authenticate_client(const char* client_id, const char* client_secret, id_client* out,
                           int* from_header, char* msg, size_t msg_cap) {
    try {
        return tarn::clients::authenticate(client_id, client_secret, out, from_header, msg, msg_cap);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
