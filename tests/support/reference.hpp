// Independent reference encodings (OpenSSL's, never the library's own) and small helpers that
// several suites share.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tarn::test {

using Bytes = std::vector<unsigned char>;

std::string to_hex(const unsigned char* p, std::size_t n);  // lower case
// Unpadded base64url through OpenSSL's base64 encoder.
std::string b64url(const unsigned char* data, std::size_t len);
inline std::string b64url(const Bytes& b) { return b64url(b.data(), b.size()); }
// SHA-256 through OpenSSL.
Bytes sha256(const void* data, std::size_t len);
inline Bytes sha256(const Bytes& b) { return sha256(b.data(), b.size()); }
// A big-number parameter of an OpenSSL key ("n", "e", "rsa-factor1", ...), unsigned big-endian;
// empty when the key has none.
Bytes bn_param(EVP_PKEY* pkey, const char* name);
// A heap text handed out by the library, copied and released ("<null>" for NULL).
std::string take(char* text);
// The names in a directory, sorted.
std::vector<std::string> files_in(const std::string& dir);

}  // namespace tarn::test
