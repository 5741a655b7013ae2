// Compact JSON Web Tokens made and taken apart with OpenSSL, independently of the library's own
// token code, and a keys.json with a real key pair shared by the token suites.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "support/reference.hpp"

namespace tarn::test {

// base64url (or base64) text without padding into bytes, through OpenSSL's decoder.
Bytes unb64url(std::string_view text);
// Segment `index` (0 header, 1 payload, 2 signature) of a compact token, decoded.
std::string segment(const std::string& token, int index);
// b64url(header) "." b64url(payload), the signing input of a token with these texts.
std::string signing_input(std::string_view header, std::string_view payload);
// HMAC-SHA-256 of `data` under `key`.
Bytes hmac_sha256(const Bytes& key, std::string_view data);
// A token signed HS256 with `key`, or RS256 with the private key `key`.
std::string hs256_token(std::string_view header, std::string_view payload, const Bytes& key);
std::string rs256_token(std::string_view header, std::string_view payload, EVP_PKEY* key);

// keys.json holding one active key pair, generated once per test program by the key store.
const std::string& shared_keys_json();
// The private key of the first key object named `kid` in a keys.json text (caller frees), or
// nullptr; elements that are not key objects are passed over.
EVP_PKEY* stored_private_key(const std::string& keys_json, const std::string& kid);
// The "active" kid of a keys.json text.
std::string active_kid(const std::string& keys_json);

}  // namespace tarn::test
