#include "support/jwt_reference.hpp"

#include <openssl/hmac.h>
#include <openssl/x509.h>

#include <cstdlib>

#include "foundation/document.hpp"
#include "id_keys.h"
#include "keys/key_store.hpp"
#include "support/test_env.hpp"

namespace tarn::test {

Bytes unb64url(std::string_view text) {
    std::string t(text);
    for (char& c : t) c = c == '-' ? '+' : c == '_' ? '/' : c;
    const std::size_t pad = (4 - t.size() % 4) % 4;
    t.append(pad, '=');
    Bytes out(t.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(t.data()),
                                  static_cast<int>(t.size()));
    if (n < 0) return {};
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string segment(const std::string& token, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) start = token.find('.', start) + 1;
    const Bytes b = unb64url(token.substr(start, token.find('.', start) - start));
    return std::string(b.begin(), b.end());
}

std::string signing_input(std::string_view header, std::string_view payload) {
    return b64url(reinterpret_cast<const unsigned char*>(header.data()), header.size()) + "." +
           b64url(reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
}

Bytes hmac_sha256(const Bytes& key, std::string_view data) {
    Bytes mac(32);
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac.data(), &len);
    return mac;
}

std::string hs256_token(std::string_view header, std::string_view payload, const Bytes& key) {
    const std::string input = signing_input(header, payload);
    return input + "." + b64url(hmac_sha256(key, input));
}

std::string rs256_token(std::string_view header, std::string_view payload, EVP_PKEY* key) {
    const std::string input = signing_input(header, payload);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes sig(512);
    std::size_t len = sig.size();
    EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, sig.data(), &len, reinterpret_cast<const unsigned char*>(input.data()), input.size());
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return input + "." + b64url(sig);
}

const std::string& shared_keys_json() {
    static const std::string text = [] {
        DataDirFixture scratch;
        tarn::keys::testing::reset_table();
        if (id_keys_load_or_create() != 0) std::abort();
        tarn::keys::testing::reset_table();
        return read_file(scratch.file("keys.json"));
    }();
    return text;
}

EVP_PKEY* stored_private_key(const std::string& keys_json, const std::string& kid) {
    tarn::Document doc;
    if (!tarn::parse_json(keys_json, doc)) return nullptr;
    if (!doc.IsObject() || !doc.HasMember("keys") || !doc["keys"].IsArray()) return nullptr;
    for (const auto& k : doc["keys"].GetArray()) {
        if (!k.IsObject() || !k.HasMember("kid") || !k["kid"].IsString() || kid != k["kid"].GetString() ||
            !k.HasMember("priv_der_b64") || !k["priv_der_b64"].IsString())
            continue;  // entries the store skips
        const Bytes der = unb64url(k["priv_der_b64"].GetString());
        const unsigned char* p = der.data();
        return d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
    }
    return nullptr;
}

std::string active_kid(const std::string& keys_json) {
    tarn::Document doc;
    return tarn::parse_json(keys_json, doc) ? doc["active"].GetString() : "";
}

}  // namespace tarn::test
