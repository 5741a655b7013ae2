// HMAC-SHA-256 (RFC 2104) and PBKDF2-HMAC-SHA-256 (RFC 8018 section 5.2).
//
// Both start from the keyed pad states: the chaining words after compressing (K ^ ipad) and
// (K ^ opad). HMAC of a message is then SHA-256 continued from the inner state over the message,
// and SHA-256 continued from the outer state over the inner digest. PBKDF2 computes the two states
// once per derivation instead of once per iteration, which removes half of the compressions of
// the step-by-step definition while giving the same bytes.
#include <cstring>

#include "crypto/export.hpp"
#include "crypto/sha256_impl.hpp"
#include "tarn_crypto.h"

namespace tarn::crypto {
namespace {

// Largest PBKDF2 output: the block index is a 32-bit counter, so at most 2^32 - 1 blocks of 32
// bytes (RFC 8018 "derived key too long" beyond that).
constexpr std::uint64_t kMaxDerivedLen = 0xFFFFFFFFull * 32;

void wipe(void* p, std::size_t n) { explicit_bzero(p, n); }

// A context positioned just after a pad block, ready to take the message.
void start_after_pad(tarn_sha256_ctx& ctx, const std::uint32_t state[8]) {
    std::memcpy(ctx.state, state, sizeof ctx.state);
    ctx.total = 64;
}

}  // namespace

void hmac_pads(HmacPads& pads, const unsigned char* key, std::size_t key_len) {
    unsigned char k[64] = {};
    if (key_len > 64) {
        tarn_sha256(key, key_len, k);
    } else if (key_len != 0) {
        std::memcpy(k, key, key_len);
    }
    unsigned char block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<unsigned char>(k[i] ^ 0x36);
    std::memcpy(pads.inner, k256 + 64, sizeof pads.inner);
    sha256_compress(pads.inner, block, 1);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<unsigned char>(k[i] ^ 0x5c);
    std::memcpy(pads.outer, k256 + 64, sizeof pads.outer);
    sha256_compress(pads.outer, block, 1);
    wipe(k, sizeof k);
    wipe(block, sizeof block);
}

}  // namespace tarn::crypto

using tarn::crypto::HmacPads;

TARN_CRYPTO_API void tarn_hmac_sha256(const void* key, size_t key_len, const void* msg,
                                      size_t msg_len, unsigned char out[32]) {
    HmacPads pads;
    tarn::crypto::hmac_pads(pads, static_cast<const unsigned char*>(key), key_len);
    tarn_sha256_ctx ctx;
    unsigned char inner[32];
    tarn::crypto::start_after_pad(ctx, pads.inner);
    tarn_sha256_update(&ctx, msg, msg_len);
    tarn_sha256_final(&ctx, inner);
    tarn::crypto::start_after_pad(ctx, pads.outer);
    tarn_sha256_update(&ctx, inner, sizeof inner);
    tarn_sha256_final(&ctx, out);
    tarn::crypto::wipe(&pads, sizeof pads);
    tarn::crypto::wipe(&ctx, sizeof ctx);
    tarn::crypto::wipe(inner, sizeof inner);
}

TARN_CRYPTO_API int tarn_pbkdf2_sha256(const void* password, size_t password_len, const void* salt,
                                       size_t salt_len, uint32_t iterations, unsigned char* out,
                                       size_t out_len) {
    using namespace tarn::crypto;
    if (password == nullptr || salt == nullptr || out == nullptr || iterations == 0 || out_len == 0)
        return -1;
    if (static_cast<std::uint64_t>(out_len) > kMaxDerivedLen) return -1;

    HmacPads pads;
    hmac_pads(pads, static_cast<const unsigned char*>(password), password_len);
    // The inner hash of U1 starts with the salt for every block: absorb it once.
    tarn_sha256_ctx salted;
    start_after_pad(salted, pads.inner);
    tarn_sha256_update(&salted, salt, salt_len);

    tarn_sha256_ctx ctx;
    unsigned char digest[32];
    std::uint32_t u[8], t[8];
    std::size_t done = 0;
    for (std::uint32_t index = 1; done < out_len; ++index) {
        // U1 = HMAC(password, salt || INT(index))
        unsigned char be_index[4];
        store_be32(be_index, index);
        ctx = salted;
        tarn_sha256_update(&ctx, be_index, sizeof be_index);
        tarn_sha256_final(&ctx, digest);
        start_after_pad(ctx, pads.outer);
        tarn_sha256_update(&ctx, digest, sizeof digest);
        tarn_sha256_final(&ctx, digest);
        for (int k = 0; k < 8; ++k) t[k] = u[k] = load_be32(digest + 4 * k);

        pbkdf2_iterate(pads, u, t, iterations - 1);

        for (int k = 0; k < 8; ++k) store_be32(digest + 4 * k, t[k]);
        const std::size_t n = out_len - done < 32 ? out_len - done : 32;
        std::memcpy(out + done, digest, n);
        done += n;
    }
    wipe(&pads, sizeof pads);
    wipe(&salted, sizeof salted);
    wipe(&ctx, sizeof ctx);
    wipe(digest, sizeof digest);
    wipe(u, sizeof u);
    wipe(t, sizeof t);
    return 0;
}
