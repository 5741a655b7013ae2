#include "support/reference.hpp"

#include <openssl/bn.h>

#include <algorithm>
#include <filesystem>

#include "id_foundation.h"

namespace tarn::test {

std::string to_hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

std::string b64url(const unsigned char* data, std::size_t len) {
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(len));
    out.resize(static_cast<std::size_t>(n));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

Bytes sha256(const void* data, std::size_t len) {
    Bytes out(32);
    unsigned int n = 0;
    EVP_Digest(data, len, out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

Bytes bn_param(EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return {};
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

std::string take(char* text) {
    std::string s = text ? text : "<null>";
    id_free(text);
    return s;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tarn::test
