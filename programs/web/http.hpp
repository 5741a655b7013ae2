// What every provider program shares about HTTP: the issuer, reading the request's parameters
// and cookies, writing header lines that can never be split by outside text, redirects that
// carry parameters, and the OAuth error object.
#pragma once

#include <string>
#include <string_view>

#include "web/form.hpp"

namespace web {

// The issuer: the configured base URL. The first call removes HTTP_HOST from the environment,
// so that the configuration never derives the base URL from a header the client chose (without
// IDENTITY_BASE_URL or config.json "base_url" it is then http://127.0.0.1:<port>). Every URL a
// program publishes and every "iss" it writes start from it.
const std::string& issuer();
// The issuer followed by `path` ("/token", ...).
std::string endpoint_url(std::string_view path);

// The request's parameters: for a POST the body, which must be form encoded (a body of another
// content type reads as no fields), and never the query string; for any other method the query
// string. Returns false when the text does not decode (Form::parse).
bool read_params(Form& out);
// 1 when REQUEST_METHOD is exactly "POST".
bool is_post();

// The value of the first cookie called `name` in the Cookie header `header` ("" when none): a
// cookie is a ";"-separated part, blanks before its name skipped, its value the rest of the part
// up to the next ";" with trailing blanks removed.
std::string cookie_value(std::string_view header, std::string_view name);
// The cookie `name` of this request (HTTP_COOKIE).
std::string request_cookie(std::string_view name);
// True when the browser reached us over TLS: X-Forwarded-Proto "https" (any case), or an
// issuer that starts with "https://". The rule by which the core marks its cookie Secure.
bool over_https();

// Header output, straight to standard output. A status line; then any header lines; then
// end_headers (the closing block). A value holding a byte below 0x20 or 0x7F is never written
// (the header is dropped), so no outside text can add a header line.
void status(int code);
void header(std::string_view name, std::string_view value);
void end_headers();
// "Cache-Control: no-store" and "Pragma: no-cache".
void no_store();

// `base` with `params` appended as its query ("?" or "&" as base already has a query).
std::string with_query(std::string_view base, const Form& params);
// The header lines of a redirect: status (302 or 303), Location, no-store, no referrer; the
// caller may add cookies and then ends the block with end_headers.
void redirect_headers(int code, std::string_view location);
// A whole redirect answer: redirect_headers and the closing block.
void redirect(int code, std::string_view location);

// `text` as a JSON string, quotes included: " \ and bytes below 0x20 escaped.
std::string json_string(std::string_view text);
// The error answer of RFC 6749 section 5.2: {"error":..., "error_description":...} as JSON with
// no-store; a 401 also carries `WWW-Authenticate: Basic realm="tarn"`.
void oauth_error(int code, std::string_view error, std::string_view description);
// The answer of an endpoint that takes POST only, to any other method: 405 with "Allow: POST",
// no-store, and invalid_request saying "<endpoint> takes POST.".
void post_only(std::string_view endpoint);

// True when the space-separated scope list `list` names `name`.
bool has_scope(std::string_view list, std::string_view name);

}  // namespace web
