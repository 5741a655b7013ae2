// discovery: the provider's metadata at /.well-known/openid-configuration. Every URL in it
// starts from the issuer; it lists only what the endpoints support.
#include <cstdio>
#include <string>

#include "tarn_cgi.h"
#include "web/http.hpp"

int main() {
    const std::string& iss = web::issuer();
    auto url = [&](const char* path) { return web::json_string(iss + path); };
    std::string body = "{\"issuer\":" + web::json_string(iss) +
                       ",\"authorization_endpoint\":" + url("/authorize") +
                       ",\"token_endpoint\":" + url("/token") +
                       ",\"userinfo_endpoint\":" + url("/userinfo") +
                       ",\"jwks_uri\":" + url("/.well-known/jwks.json") +
                       ",\"revocation_endpoint\":" + url("/revoke") +
                       ",\"end_session_endpoint\":" + url("/logout") +
                       ",\"response_types_supported\":[\"code\"]"
                       ",\"response_modes_supported\":[\"query\"]"
                       ",\"grant_types_supported\":[\"authorization_code\",\"refresh_token\"]"
                       ",\"code_challenge_methods_supported\":[\"S256\"]"
                       ",\"token_endpoint_auth_methods_supported\":[\"client_secret_basic\",\"client_secret_post\",\"none\"]"
                       ",\"revocation_endpoint_auth_methods_supported\":[\"client_secret_basic\",\"client_secret_post\",\"none\"]"
                       ",\"subject_types_supported\":[\"public\"]"
                       ",\"id_token_signing_alg_values_supported\":[\"RS256\"]"
                       ",\"scopes_supported\":[\"openid\",\"profile\",\"email\"]"
                       ",\"claims_supported\":[\"sub\",\"iss\",\"aud\",\"exp\",\"iat\",\"auth_time\",\"nonce\","
                       "\"at_hash\",\"preferred_username\",\"email\"]"
                       ",\"authorization_response_iss_parameter_supported\":true"
                       ",\"request_parameter_supported\":false"
                       ",\"request_uri_parameter_supported\":false"
                       ",\"claims_parameter_supported\":false}\n";
    cgi_header_json();
    cgi_header_extra("Cache-Control: public, max-age=300");
    cgi_header_extra("Access-Control-Allow-Origin: *");
    cgi_headers_end();
    std::fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}
