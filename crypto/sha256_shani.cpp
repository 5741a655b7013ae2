// SHA-256 compression on the x86-64 SHA extensions. Only the functions below are compiled for
// those instructions (through the target attribute); the dispatcher in sha256.cpp calls them only
// after cpuid has reported SHA, SSSE3 and SSE4.1.
//
// The extensions keep the eight working variables in two registers in the order the round
// instruction wants them: ABEF (A in the top lane, F in the bottom one) and CDGH. Each round
// instruction runs two rounds, so a group of four message words takes two of them.
#include "crypto/sha256_impl.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <utility>

#define TARN_SHANI __attribute__((target("sha,sse4.1")))
#define TARN_SHANI_INLINE __attribute__((target("sha,sse4.1"), always_inline)) inline

namespace tarn::crypto {
namespace {

// Eight chaining words in natural order (H0..H7) -> ABEF, CDGH.
TARN_SHANI_INLINE void words_to_lanes(const std::uint32_t h[8], __m128i& abef, __m128i& cdgh) {
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    abef = _mm_alignr_epi8(cdab, efgh, 8);
    cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}

// ABEF, CDGH -> two registers holding H0..H3 and H4..H7 in natural lane order, which is also the
// layout of four message words.
TARN_SHANI_INLINE void lanes_to_words(__m128i abef, __m128i cdgh, __m128i& lo, __m128i& hi) {
    lo = _mm_shuffle_epi32(_mm_unpackhi_epi64(cdgh, abef), 0x1B);
    hi = _mm_shuffle_epi32(_mm_unpacklo_epi64(cdgh, abef), 0x1B);
}

// Rounds 4G .. 4G+3. m[G % 4] holds message words 4G .. 4G+3; meanwhile the schedule for later
// groups is advanced in the other three registers.
template <int G>
TARN_SHANI_INLINE void quad(__m128i& abef, __m128i& cdgh, __m128i (&m)[4]) {
    __m128i msg = _mm_add_epi32(m[G & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(k256 + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
    if constexpr (G >= 3 && G <= 14) {
        const __m128i tmp = _mm_alignr_epi8(m[G & 3], m[(G + 3) & 3], 4);
        m[(G + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(m[(G + 1) & 3], tmp), m[G & 3]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
    if constexpr (G >= 1 && G <= 12) m[(G + 3) & 3] = _mm_sha256msg1_epu32(m[(G + 3) & 3], m[G & 3]);
}

template <int... G>
TARN_SHANI_INLINE void all_rounds(__m128i& abef, __m128i& cdgh, __m128i (&m)[4],
                                  std::integer_sequence<int, G...>) {
    (quad<G>(abef, cdgh, m), ...);
}

// One compression of the message words in m (natural lane order) into ABEF/CDGH.
TARN_SHANI_INLINE void compress_lanes(__m128i& abef, __m128i& cdgh, __m128i (&m)[4]) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    all_rounds(abef, cdgh, m, std::make_integer_sequence<int, 16>{});
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
}

}  // namespace

TARN_SHANI void sha256_compress_shani(std::uint32_t state[8], const unsigned char* data,
                                      std::size_t nblocks) {
    // Byte swap within each 32-bit lane: message words are big-endian.
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i abef, cdgh;
    words_to_lanes(state, abef, cdgh);
    for (; nblocks > 0; --nblocks, data += 64) {
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), bswap);
        compress_lanes(abef, cdgh, m);
    }
    __m128i lo, hi;
    lanes_to_words(abef, cdgh, lo, hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hi);
}

TARN_SHANI void pbkdf2_iterate_shani(const HmacPads& pads, std::uint32_t u[8], std::uint32_t t[8],
                                     std::uint32_t count) {
    // Each HMAC half hashes one 32-byte value after its pad block: the value's eight words, then
    // the 0x80 marker, zeros and the bit length 768 of (pad block + value). The value stays in
    // registers from one compression to the next; nothing goes through memory.
    const __m128i pad_marker = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    const __m128i pad_length = _mm_set_epi32(768, 0, 0, 0);
    __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
    words_to_lanes(pads.inner, inner_abef, inner_cdgh);
    words_to_lanes(pads.outer, outer_abef, outer_cdgh);
    __m128i u_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
    __m128i u_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 4));
    __m128i t_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    __m128i t_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 4));
    for (; count > 0; --count) {
        __m128i abef = inner_abef, cdgh = inner_cdgh;
        __m128i m[4] = {u_lo, u_hi, pad_marker, pad_length};
        compress_lanes(abef, cdgh, m);
        lanes_to_words(abef, cdgh, m[0], m[1]);
        m[2] = pad_marker;
        m[3] = pad_length;
        abef = outer_abef;
        cdgh = outer_cdgh;
        compress_lanes(abef, cdgh, m);
        lanes_to_words(abef, cdgh, u_lo, u_hi);
        t_lo = _mm_xor_si128(t_lo, u_lo);
        t_hi = _mm_xor_si128(t_hi, u_hi);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u), u_lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + 4), u_hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(t), t_lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(t + 4), t_hi);
}

}  // namespace tarn::crypto

#endif  // __x86_64__
