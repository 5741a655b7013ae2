// System randomness (getrandom(2)) and random tokens: the unpadded base64url text of fresh
// random bytes, from which every identifier and secret of the provider is drawn.
#include "crypto/random.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "crypto/export.hpp"
#include "tarn_crypto.h"

namespace tarn::crypto {
namespace {

std::atomic<testing::GetrandomFn> g_getrandom_override{nullptr};

ssize_t call_getrandom(void* buf, std::size_t len) {
    if (auto fn = g_getrandom_override.load(std::memory_order_relaxed)) return fn(buf, len, 0);
    return ::getrandom(buf, len, 0);
}

}  // namespace

int random_fill(void* out, std::size_t len) {
    if (len == 0) return 0;
    if (out == nullptr) return -1;
    auto* p = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < len) {
        // Flags 0: read the urandom pool, but block until it has been seeded once at boot.
        const ssize_t n = call_getrandom(p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        // A zero-byte answer to a non-empty request would loop forever: treat it as a failure.
        if (n == 0 || static_cast<std::size_t>(n) > len - done) return -1;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

namespace testing {
void set_getrandom(GetrandomFn fn) { g_getrandom_override.store(fn, std::memory_order_relaxed); }
}  // namespace testing

}  // namespace tarn::crypto

TARN_CRYPTO_API int tarn_random_bytes(void* out, uint32_t count) {
    return tarn::crypto::random_fill(out, count);
}

TARN_CRYPTO_API int tarn_random_token(char* out, size_t cap, size_t nbytes) {
    // A token of no random bytes would be an empty identifier or secret: refuse it.
    if (out == nullptr || nbytes == 0) return -1;
    // Settle the capacity before drawing anything, so a call that cannot succeed costs nothing;
    // the encoder applies the same rule, and refuses lengths its int result cannot carry.
    const std::size_t rem = nbytes % 3;
    if (nbytes / 3 > (static_cast<std::size_t>(INT_MAX) - 3) / 4) return -1;
    const std::size_t text_len = 4 * (nbytes / 3) + (rem == 0 ? 0 : rem + 1);
    if (cap < text_len + 1) return -1;

    // The common sizes (up to 32 bytes) stay on the stack; larger ones take a heap buffer.
    unsigned char small[64];
    std::unique_ptr<unsigned char[]> large;
    unsigned char* scratch = small;
    if (nbytes > sizeof small) {
        large.reset(new (std::nothrow) unsigned char[nbytes]);
        if (!large) return -1;
        scratch = large.get();
    }
    int rc = -1;
    if (tarn::crypto::random_fill(scratch, nbytes) == 0 &&
        tarn_base64url_encode(scratch, nbytes, out, cap) >= 0)
        rc = 0;
    explicit_bzero(scratch, nbytes);
    return rc;
}
