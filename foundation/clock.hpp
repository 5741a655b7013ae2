// The clock of the identity core: seconds since 1970-01-01 UTC. Tests move time through the seam
// below instead of sleeping; nothing in a deployed program can change it.
#pragma once

#include <cstdint>

namespace tarn {

std::int64_t now_seconds();

namespace testing {
// Replaces the clock with `fn` (nullptr restores the system clock). For tests only.
void set_clock(std::int64_t (*fn)());
}  // namespace testing

}  // namespace tarn
