// The outward face of the key store: the active key, lookup by kid, the published key set and
// RS256 signing of compact JSON Web Tokens.
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/document.hpp"
#include "foundation/text_buffer.hpp"
#include "id_keys.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "tarn_crypto.h"

namespace tarn::keys {
namespace {

// Views handed out by id_keys_get_active and id_keys_find; each operation has its own pair.
br_rsa_private_key g_active_sk;
br_rsa_public_key g_active_pk;
br_rsa_private_key g_find_sk;
br_rsa_public_key g_find_pk;

// The private-key operation a program chose instead of the built-in engine (id_jwt_set_rs256_signer).
id_rs256_signer g_signer = nullptr;
void* g_signer_ctx = nullptr;

constexpr std::size_t kJwksCap = 7232;
constexpr std::size_t kMaxPayloadText = 4096;  // encoded payload and its NUL: 3071 bytes signed

id_key_entry* first_with_kid(const char* kid) {
    for (int i = 0; i < g_table.nkeys; ++i)
        if (std::strcmp(g_table.keys[i].kid, kid) == 0) return &g_table.keys[i];
    return nullptr;
}

bool fill_views(id_key_entry& e, br_rsa_private_key& sk, br_rsa_public_key& pk) {
    if (!private_view(e, sk)) return false;
    pk = br_rsa_public_key{e.n, static_cast<std::size_t>(e.n_len), e.e,
                           static_cast<std::size_t>(e.e_len)};
    return true;
}

}  // namespace
}  // namespace tarn::keys

using namespace tarn::keys;

extern "C" int id_keys_get_active(const br_rsa_private_key** sk, const br_rsa_public_key** pk,
                                  char* kid) {
    if (id_keys_load_or_create() != 0) return -1;
    if (g_table.active_kid[0] == '\0' || g_table.nkeys == 0) return -1;
    id_key_entry* e = first_with_kid(g_table.active_kid);
    if (!e || e->status != 1 || !entry_usable(*e)) return -1;
    if (!fill_views(*e, g_active_sk, g_active_pk)) return -1;
    if (sk) *sk = &g_active_sk;
    if (pk) *pk = &g_active_pk;
    if (kid) {
        std::size_t len = strnlen(e->kid, kKidCap - 1);
        std::memcpy(kid, e->kid, len);
        kid[len] = '\0';
    }
    return 0;
}

extern "C" int id_keys_find(const char* kid, const br_rsa_private_key** sk,
                            const br_rsa_public_key** pk) {
    if (id_keys_load_or_create() != 0) return -1;
    if (!kid || kid[0] == '\0' || g_table.nkeys == 0) return -1;
    id_key_entry* e = first_with_kid(kid);
    if (!e || !entry_usable(*e)) return -1;
    if (!fill_views(*e, g_find_sk, g_find_pk)) return -1;
    if (sk) *sk = &g_find_sk;
    if (pk) *pk = &g_find_pk;
    return 0;
}

namespace tarn::keys {

char* jwks_array(KeyTable& t) {
    tarn::TextBuffer out(kJwksCap);
    out.append("[");
    bool first = true;
    for (int i = 0; i < t.nkeys; ++i) {
        id_key_entry& e = t.keys[i];
        if (!entry_usable(e)) continue;  // unusable entries are left out silently
        const unsigned char* n = e.n;
        std::size_t n_len = static_cast<std::size_t>(e.n_len);
        while (n_len > 1 && *n == 0) {
            ++n;
            --n_len;
        }
        const unsigned char* ex = e.e;
        std::size_t e_len = static_cast<std::size_t>(e.e_len);
        while (e_len > 1 && *ex == 0) {
            ++ex;
            --e_len;
        }
        char n_text[448];
        char e_text[32];
        if (tarn_base64url_encode(n, n_len, n_text, sizeof n_text) < 0 ||
            tarn_base64url_encode(ex, e_len, e_text, sizeof e_text) < 0)
            continue;
        // The kid has passed the fingerprint check: 16 base64url characters, nothing to escape.
        out.append(first ? "{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\""
                         : ",{\"kty\":\"RSA\",\"use\":\"sig\",\"alg\":\"RS256\",\"kid\":\"");
        out.append(e.kid);
        out.append("\",\"n\":\"");
        out.append(n_text);
        out.append("\",\"e\":\"");
        out.append(e_text);
        out.append("\"}");
        first = false;
    }
    out.append("]");
    return out.release();
}

}  // namespace tarn::keys

extern "C" char* id_keys_jwks_json(void) {
    if (id_keys_load_or_create() != 0) return nullptr;
    return jwks_array(g_table);
}

extern "C" char* id_keys_jwks_document(void) {
    try {
        if (id_keys_load_or_create() != 0) return nullptr;
        std::string body;
        return published_body(g_table, body) ? tarn::heap_text(body) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

extern "C" void id_jwt_set_rs256_signer(id_rs256_signer signer, void* ctx) {
    g_signer = signer;
    g_signer_ctx = signer ? ctx : nullptr;
}

extern "C" int id_jwt_sign_rs256(const char* payload, char* dst, size_t cap) {
    if (dst && cap > 0) dst[0] = '\0';
    if (!payload || !dst || cap == 0) return -1;
    const br_rsa_private_key* sk = nullptr;
    const br_rsa_public_key* pk = nullptr;
    char kid[kKidCap];
    if (id_keys_get_active(&sk, &pk, kid) != 0) return -1;

    char header[128];
    int header_len = std::snprintf(header, sizeof header,
                                   "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"kid\":\"%s\"}", kid);
    if (header_len < 0 || static_cast<std::size_t>(header_len) >= sizeof header) return -1;

    // Signing input: base64url(header) "." base64url(payload).
    char input[256 + 1 + kMaxPayloadText];
    int h = tarn_base64url_encode(header, static_cast<std::size_t>(header_len), input, 256);
    if (h < 0) return -1;
    input[h] = '.';
    int p = tarn_base64url_encode(payload, std::strlen(payload), input + h + 1, kMaxPayloadText);
    if (p < 0) return -1;
    const std::size_t input_len = static_cast<std::size_t>(h) + 1 + static_cast<std::size_t>(p);

    unsigned char digest[32];
    tarn_sha256(input, input_len, digest);
    unsigned char sig[kModulusBits / 8];
    const bool signed_ok = g_signer ? g_signer(digest, sk, pk, sig, g_signer_ctx) == 1
                                    : sign_engine()(BR_HASH_OID_SHA256, digest, sizeof digest, sk, sig) != 0;
    if (!signed_ok) return -1;
    // A signature leaves only after it verifies under the public key: a fault in the private
    // computation (a wrong CRT coefficient, a glitch) would otherwise hand out a value from which
    // anyone can factor the modulus.
    unsigned char recovered[sizeof digest];
    if (!verify_engine()(sig, sizeof sig, BR_HASH_OID_SHA256, sizeof recovered, pk, recovered) ||
        !tarn_ct_equal(recovered, sizeof recovered, digest, sizeof digest))
        return -1;
    char sig_text[448];
    int s = tarn_base64url_encode(sig, sizeof sig, sig_text, sizeof sig_text);
    if (s < 0) return -1;

    const std::size_t total = input_len + 1 + static_cast<std::size_t>(s);
    if (total + 1 > cap) return -1;  // a cut token is never handed out; dst stays empty
    std::memcpy(dst, input, input_len);
    dst[input_len] = '.';
    std::memcpy(dst + input_len + 1, sig_text, static_cast<std::size_t>(s));
    dst[total] = '\0';
    return 0;
}
