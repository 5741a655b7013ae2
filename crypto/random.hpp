// The kernel's random generator behind tarn_random_bytes and tarn_random_token, with a seam that
// lets tests make the system call fail, return short or be interrupted.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tarn::crypto {

// Fills all `len` bytes of `out` from getrandom(2), looping over short reads and retrying EINTR.
// Returns 0, or -1 on any other failure (the buffer content is then unspecified).
int random_fill(void* out, std::size_t len);

namespace testing {
// The signature of getrandom(2).
using GetrandomFn = ssize_t (*)(void* buf, std::size_t len, unsigned flags);
// Replaces the system call used by random_fill (nullptr restores getrandom). For tests only:
// nothing in a deployed program calls it, and no environment variable or file changes it.
void set_getrandom(GetrandomFn fn);
}  // namespace testing

}  // namespace tarn::crypto
