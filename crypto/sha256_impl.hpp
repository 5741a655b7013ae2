// SHA-256 compression and the HMAC building blocks shared by the crypto module.
//
// Two compression engines give identical results: the x86-64 SHA extensions (chosen at run time
// when cpuid reports them) and a portable one. Callers go through the dispatching functions; the
// engine-specific ones are visible for the dispatcher, the tests and the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn::crypto {

// Big-endian 32-bit words, the byte order of SHA-256's message words and digest.
inline std::uint32_t load_be32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void store_be32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Round constants (FIPS 180-4 section 4.2.2) followed by the eight initial hash words
// (section 5.3.3); initialisation copies the tail.
extern const std::uint32_t k256[72];

// Compresses `nblocks` consecutive 64-byte blocks at `data` (any alignment) into `state`.
void sha256_compress(std::uint32_t state[8], const unsigned char* data, std::size_t nblocks);

// The HMAC-SHA-256 key schedule: the chaining words after the (key XOR 0x36) block and after the
// (key XOR 0x5c) block. Computed once per key and reused for every message under that key.
struct HmacPads {
    std::uint32_t inner[8];
    std::uint32_t outer[8];
};
void hmac_pads(HmacPads& pads, const unsigned char* key, std::size_t key_len);

// The PBKDF2 iteration loop for one output block. On entry `u` holds U1 and `t` holds T = U1, both
// as the eight big-endian digest words; runs `count` further iterations U(j) = HMAC(U(j-1)),
// T ^= U(j), leaving the last U in `u` and the result in `t`.
void pbkdf2_iterate(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                    std::uint32_t count);

// Engine-specific entry points. The SHA-extension ones may only be called when
// sha256_hw_supported() is true.
void sha256_compress_portable(std::uint32_t state[8], const unsigned char* data,
                              std::size_t nblocks);
void pbkdf2_iterate_portable(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                             std::uint32_t count);
bool sha256_hw_supported();  // the CPU offers SHA, SSSE3 and SSE4.1 (always false off x86-64)
#if defined(__x86_64__)
void sha256_compress_shani(std::uint32_t state[8], const unsigned char* data, std::size_t nblocks);
void pbkdf2_iterate_shani(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                          std::uint32_t count);
#endif

namespace testing {
// Forces the portable engine (true) or returns to the run-time choice (false), process-wide. For
// tests and benchmarks only: nothing in a deployed program calls it, and no environment variable
// or file changes the choice.
void force_portable_sha256(bool on);
// True when the dispatching functions currently use the SHA extensions.
bool sha256_uses_hardware();
}  // namespace testing

}  // namespace tarn::crypto
