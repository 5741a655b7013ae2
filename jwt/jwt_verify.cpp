// Verification of compact tokens: the layout, the header, the signature (RS256 with a stored key,
// HS256 with the shared secret), the expiry, and the claims handed back. Everything in a token is
// outside input: each segment is decoded into a buffer one byte larger than its limit, so that a
// longer segment is refused instead of being cut to a size that happens to pass.
#include <bearssl.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "foundation/scope_list.hpp"
#include "id_jwt.h"
#include "id_keys_bearssl.h"
#include "keys/key_store.hpp"
#include "tarn_crypto.h"

namespace tarn::jwt {
namespace {

constexpr std::size_t kMaxHeader = 511;      // decoded bytes
constexpr std::size_t kMaxPayload = 4095;    // decoded bytes
constexpr std::size_t kRsaSignature = 256;   // RS256 with 2048-bit keys
constexpr std::size_t kHmacSignature = 32;   // HS256
constexpr std::size_t kMaxKid = 23;          // the key table's kid buffers (generated kids: 16)

// The segments of a compact token and the text its signature covers.
struct Segments {
    std::string_view header;
    std::string_view payload;
    std::string_view signature;      // everything after the second dot, all of it decoded
    std::string_view signing_input;  // the token up to the second dot, exactly as received
};

bool split(std::string_view token, Segments& s) {
    const std::size_t first = token.find('.');
    if (first == std::string_view::npos) return false;
    const std::size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) return false;
    s.header = token.substr(0, first);
    s.payload = token.substr(first + 1, second - first - 1);
    s.signature = token.substr(second + 1);
    s.signing_input = token.substr(0, second);
    return true;
}

// Decodes a segment (lenient base64 of either alphabet) into `out`, which has room for max + 1
// bytes. False on a character outside the alphabet or more than `max` decoded bytes.
bool decode(std::string_view segment, unsigned char* out, std::size_t max, std::size_t& len) {
    std::uint64_t n = 0;
    if (tarn_base64url_decode(segment.data(), segment.size(), out, max + 1, &n) != 0 || n > max) return false;
    len = static_cast<std::size_t>(n);
    return true;
}

// True when the decoder used every character of `segment`: the lenient decoder ends the text at a
// group of four slots with fewer than two data characters and never looks further, so without
// this check any text could ride behind a valid signature (the one segment the signature does
// not cover), giving one token endless spellings. A group with a single data character drops it;
// a group of padding alone may be followed by nothing but padding and line breaks.
bool fully_consumed(std::string_view segment) {
    int slots = 0;
    int data = 0;
    bool ended = false;
    for (const char c : segment) {
        if (c == '\r' || c == '\n' || c == ' ') continue;
        if (ended) {
            if (c != '=') return false;
            continue;
        }
        if (c != '=') ++data;  // anything else outside the alphabet already failed the decoding
        if (++slots < 4) continue;
        if (data == 1) return false;
        ended = data == 0;
        slots = 0;
        data = 0;
    }
    return data != 1;  // a last group that the text ends inside, its missing slots padding
}

std::string_view as_text(const unsigned char* bytes, std::size_t len) {
    return {reinterpret_cast<const char*>(bytes), len};
}

// A public key copied out of the key store's views, which stay valid only until its next lookup,
// rotation or pruning.
struct PublicKey {
    unsigned char n[512];
    unsigned char e[8];
    br_rsa_public_key view;
};

// The stored key (active or retired) whose kid is exactly `kid`. A kid longer than any the store
// holds, or with a NUL inside, names no key.
bool find_key(std::string_view kid, PublicKey& key) {
    if (kid.empty() || kid.size() > kMaxKid || kid.find('\0') != std::string_view::npos) return false;
    char name[kMaxKid + 1];
    std::memcpy(name, kid.data(), kid.size());
    name[kid.size()] = '\0';
    const br_rsa_public_key* pk = nullptr;
    if (id_keys_find(name, nullptr, &pk) != 0 || !pk) return false;
    if (pk->nlen == 0 || pk->nlen > sizeof key.n || pk->elen == 0 || pk->elen > sizeof key.e) return false;
    std::memcpy(key.n, pk->n, pk->nlen);
    std::memcpy(key.e, pk->e, pk->elen);
    key.view = br_rsa_public_key{key.n, pk->nlen, key.e, pk->elen};
    return true;
}

int check_rs256(std::string_view signing_input, std::string_view kid, const unsigned char* sig,
                std::size_t sig_len) {
    if (sig_len != kRsaSignature) return ID_JWT_MALFORMED;
    PublicKey key;
    if (!find_key(kid, key)) return ID_JWT_BAD_SIGNATURE;
    unsigned char digest[32];
    tarn_sha256(signing_input.data(), signing_input.size(), digest);
    // The verifier checks the padding and the SHA-256 DigestInfo and hands back the digest the
    // signature carries; it must be the digest of what was signed.
    unsigned char carried[32];
    if (!keys::verify_engine()(sig, sig_len, BR_HASH_OID_SHA256, sizeof carried, &key.view, carried))
        return ID_JWT_BAD_SIGNATURE;
    return tarn_ct_equal(carried, sizeof carried, digest, sizeof digest) ? ID_JWT_VALID : ID_JWT_BAD_SIGNATURE;
}

int check_hs256(std::string_view signing_input, const unsigned char* sig, std::size_t sig_len) {
    if (sig_len != kHmacSignature) return ID_JWT_MALFORMED;
    unsigned char secret[ID_JWT_SECRET_LEN];
    if (id_get_secret_key(secret) != 0) return ID_JWT_MALFORMED;  // no secret: never "bad signature"
    unsigned char mac[32];
    tarn_hmac_sha256(secret, sizeof secret, signing_input.data(), signing_input.size(), mac);
    const bool equal = tarn_ct_equal(mac, sizeof mac, sig, sig_len) == 1;
    // The expected MAC would let its reader present this very token: it goes with the secret.
    explicit_bzero(secret, sizeof secret);
    explicit_bzero(mac, sizeof mac);
    return equal ? ID_JWT_VALID : ID_JWT_BAD_SIGNATURE;
}

void fill_claims(const Value& body, id_jwt_claims& c) {
    std::memset(&c, 0, sizeof c);
    auto put = [&body](char* dst, std::size_t cap, std::string_view name) {
        json::copy_text_utf8(dst, cap, json::str(body, name));
    };
    put(c.iss, sizeof c.iss, "iss");
    put(c.sub, sizeof c.sub, "sub");
    // An access token carries "username"; an ID token only "preferred_username".
    put(c.username, sizeof c.username, json::member(body, "username") ? "username" : "preferred_username");
    put(c.email, sizeof c.email, "email");
    put(c.aud, sizeof c.aud, "aud");
    scopes::copy_list(c.scope, sizeof c.scope, json::str(body, "scope"));  // cut between names only
    put(c.jti, sizeof c.jti, "jti");
    put(c.token_use, sizeof c.token_use, "token_use");
    c.exp = json::int_or_zero(body, "exp");
    c.iat = json::int_or_zero(body, "iat");
}

// What a hint must carry instead of an unexpired "exp": each text compared whole.
struct HintRule {
    std::string_view issuer;
    std::string_view audience;  // empty: any
};

// An ID token of this issuer, for `audience` when one is named, about a subject.
bool hint_acceptable(const Value& body, const HintRule& rule) {
    const Value* aud = json::member(body, "aud");
    const bool audience_ok = rule.audience.empty() || (aud && aud->IsString() && json::text(*aud) == rule.audience);
    return !rule.issuer.empty() && json::str_is(body, "iss", rule.issuer) && json::str_is(body, "token_use", "id") &&
           !json::str(body, "sub").empty() && audience_ok;
}

// The steps in order; the first that fails decides the result. The signature is checked before
// the payload is even decoded, so nothing of an unsigned payload is ever looked at. With a hint
// rule, the claims it names replace the expiry check.
int verify(std::string_view token, id_jwt_claims* claims, const HintRule* hint) {
    Segments s;
    if (token.empty() || !split(token, s)) return ID_JWT_MALFORMED;

    unsigned char header[kMaxHeader + 1];
    std::size_t header_len = 0;
    Document head;
    if (!decode(s.header, header, kMaxHeader, header_len) || !parse_json(as_text(header, header_len), head))
        return ID_JWT_MALFORMED;
    // Compared whole: "HS256" followed by a NUL, or any case variant, is not HS256.
    const std::string_view alg = json::str(head, "alg");
    const std::string_view kid = json::str(head, "kid");
    if (alg.empty()) return ID_JWT_MALFORMED;

    unsigned char sig[kRsaSignature + 1];
    std::size_t sig_len = 0;
    if (!decode(s.signature, sig, kRsaSignature, sig_len) || !fully_consumed(s.signature))
        return ID_JWT_MALFORMED;
    int rc;
    if (alg == "HS256") {
        rc = check_hs256(s.signing_input, sig, sig_len);
    } else if (alg == "RS256") {
        rc = check_rs256(s.signing_input, kid, sig, sig_len);
    } else {
        return ID_JWT_MALFORMED;  // "none" and everything else
    }
    if (rc != ID_JWT_VALID) return rc;

    unsigned char payload[kMaxPayload + 1];
    std::size_t payload_len = 0;
    Document body;
    if (!decode(s.payload, payload, kMaxPayload, payload_len) ||
        !parse_json(as_text(payload, payload_len), body) || !body.IsObject())
        return ID_JWT_MALFORMED;
    // "exp" counts when it is a non-zero integer; the current second itself is still valid.
    const std::int64_t exp = json::int_or_zero(body, "exp");
    if (hint) {
        if (!hint_acceptable(body, *hint)) return ID_JWT_NOT_A_HINT;
    } else if (exp != 0 && exp < now_seconds()) {
        return ID_JWT_EXPIRED;
    }
    if (claims) fill_claims(body, *claims);
    return ID_JWT_VALID;
}

}  // namespace
}  // namespace tarn::jwt

extern "C" int id_jwt_verify(const char* token, id_jwt_claims* claims) {
    if (!token) return ID_JWT_MALFORMED;
    try {
        return tarn::jwt::verify(token, claims, nullptr);
    } catch (...) {
        return ID_JWT_MALFORMED;  // out of memory while parsing
    }
}

extern "C" int id_jwt_verify_hint(const char* token, const char* issuer, const char* audience,
                                  id_jwt_claims* claims) {
    if (!token) return ID_JWT_MALFORMED;
    const tarn::jwt::HintRule rule{issuer ? issuer : "", audience ? audience : ""};
    try {
        return tarn::jwt::verify(token, claims, &rule);
    } catch (...) {
        return ID_JWT_MALFORMED;
    }
}
