// The one comparison of secrets: client secrets, password hashes, the admin secret and HMAC
// signatures all go through it.
#include <cstddef>
#include <cstdint>

#include "tarn_crypto.h"

extern "C" int tarn_ct_equal(const void* a, size_t a_len, const void* b, size_t b_len) {
    if (a_len != b_len) return 0;  // lengths are not secret: a mismatch may show in the time
    if (a_len == 0) return 1;
    if (!a || !b) return 0;
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    // Every byte pair is combined; the accumulator is volatile so that the compiler cannot turn
    // the loop into one that stops at the first difference.
    volatile unsigned char diff = 0;
    for (size_t i = 0; i < a_len; ++i) diff = diff | static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0 ? 1 : 0;
}
