// SHA-256 (FIPS 180-4): the portable compression function, the run-time choice of engine, and the
// incremental and one-shot digest functions of the C interface.
#include "crypto/sha256_impl.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "crypto/export.hpp"
#include "tarn_crypto.h"

namespace tarn::crypto {

const std::uint32_t k256[72] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
    // initial hash value H(0)
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

namespace {

std::atomic<bool> g_force_portable{false};

// Runs the 64 rounds over the message words w[0..15] (w[16..63] are the schedule, computed here)
// and adds the result into `state`.
void compress_words(std::uint32_t state[8], std::uint32_t w[64]) {
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    // One round with the working variables renamed instead of shifted: the eight calls per loop
    // step rotate the roles a..h back to where they started.
#define TARN_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                              \
    do {                                                                                       \
        const std::uint32_t t1 = h + (std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25)) + \
                                 ((e & f) ^ (~e & g)) + k256[i] + w[i];                        \
        const std::uint32_t t2 = (std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22)) +     \
                                 ((a & b) ^ (a & c) ^ (b & c));                                \
        d += t1;                                                                               \
        h = t1 + t2;                                                                           \
    } while (0)
    for (int i = 0; i < 64; i += 8) {
        TARN_SHA256_ROUND(a, b, c, d, e, f, g, h, i);
        TARN_SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
        TARN_SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
        TARN_SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
        TARN_SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
        TARN_SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
        TARN_SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
        TARN_SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
    }
#undef TARN_SHA256_ROUND
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

bool detect_sha_extensions() {
#if defined(__x86_64__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
#else
    return false;
#endif
}

inline bool use_hardware() {
#if defined(__x86_64__)
    return sha256_hw_supported() && !g_force_portable.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

}  // namespace

bool sha256_hw_supported() {
    static const bool supported = detect_sha_extensions();
    return supported;
}

void sha256_compress_portable(std::uint32_t state[8], const unsigned char* data,
                              std::size_t nblocks) {
    std::uint32_t w[64];
    for (; nblocks > 0; --nblocks, data += 64) {
        for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
        compress_words(state, w);
    }
}

void pbkdf2_iterate_portable(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                             std::uint32_t count) {
    // Both HMAC halves hash one 32-byte message after a 64-byte pad block: a single block of the
    // 32 bytes, the 0x80 marker, zeros and the length 96 * 8 = 768 bits.
    std::uint32_t w[64];
    auto hash_after_pad = [&w](const std::uint32_t pad_state[8], const std::uint32_t msg[8], std::uint32_t out[8]) {
        std::memcpy(w, msg, 32);
        w[8] = 0x80000000u;
        std::memset(w + 9, 0, 6 * sizeof(std::uint32_t));
        w[15] = 768;
        std::memcpy(out, pad_state, 32);
        compress_words(out, w);
    };
    std::uint32_t inner[8];
    for (; count > 0; --count) {
        hash_after_pad(pads.inner, u, inner);
        hash_after_pad(pads.outer, inner, u);
        for (int k = 0; k < 8; ++k) t[k] ^= u[k];
    }
}

void sha256_compress(std::uint32_t state[8], const unsigned char* data, std::size_t nblocks) {
#if defined(__x86_64__)
    if (use_hardware()) {
        sha256_compress_shani(state, data, nblocks);
        return;
    }
#endif
    sha256_compress_portable(state, data, nblocks);
}

void pbkdf2_iterate(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                    std::uint32_t count) {
#if defined(__x86_64__)
    if (use_hardware()) {
        pbkdf2_iterate_shani(pads, u, t, count);
        return;
    }
#endif
    pbkdf2_iterate_portable(pads, u, t, count);
}

namespace testing {
void force_portable_sha256(bool on) { g_force_portable.store(on, std::memory_order_relaxed); }
bool sha256_uses_hardware() { return use_hardware(); }
}  // namespace testing

}  // namespace tarn::crypto

using tarn::crypto::k256;
using tarn::crypto::sha256_compress;

TARN_CRYPTO_API void tarn_sha256_init(tarn_sha256_ctx* ctx) {
    std::memcpy(ctx->state, k256 + 64, sizeof ctx->state);
    ctx->total = 0;
}

TARN_CRYPTO_API void tarn_sha256_update(tarn_sha256_ctx* ctx, const void* data, size_t len) {
    if (len == 0) return;
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t used = static_cast<std::size_t>(ctx->total % 64);
    ctx->total += len;
    if (used != 0) {
        const std::size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(ctx->block + used, p, take);
        p += take;
        len -= take;
        if (used + take < 64) return;
        sha256_compress(ctx->state, ctx->block, 1);
    }
    // Whole blocks are compressed where they lie; only a trailing partial block is buffered.
    const std::size_t whole = len / 64;
    if (whole != 0) {
        sha256_compress(ctx->state, p, whole);
        p += whole * 64;
        len -= whole * 64;
    }
    if (len != 0) std::memcpy(ctx->block, p, len);
}

TARN_CRYPTO_API void tarn_sha256_final(tarn_sha256_ctx* ctx, unsigned char out[32]) {
    std::size_t used = static_cast<std::size_t>(ctx->total % 64);
    ctx->block[used++] = 0x80;
    if (used > 56) {
        // No room for the 8-byte length: pad this block out and put the length in a fresh one.
        std::memset(ctx->block + used, 0, 64 - used);
        sha256_compress(ctx->state, ctx->block, 1);
        used = 0;
    }
    std::memset(ctx->block + used, 0, 56 - used);
    const std::uint64_t bits = ctx->total * 8;
    tarn::crypto::store_be32(ctx->block + 56, static_cast<std::uint32_t>(bits >> 32));
    tarn::crypto::store_be32(ctx->block + 60, static_cast<std::uint32_t>(bits));
    sha256_compress(ctx->state, ctx->block, 1);
    for (int i = 0; i < 8; ++i) tarn::crypto::store_be32(out + 4 * i, ctx->state[i]);
}

TARN_CRYPTO_API void tarn_sha256(const void* data, size_t len, unsigned char out[32]) {
    tarn_sha256_ctx ctx;
    tarn_sha256_init(&ctx);
    tarn_sha256_update(&ctx, data, len);
    tarn_sha256_final(&ctx, out);
}
