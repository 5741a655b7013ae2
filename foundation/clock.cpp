#include "foundation/clock.hpp"

#include <ctime>

namespace tarn {
namespace {
std::int64_t (*g_clock_override)() = nullptr;
}

std::int64_t now_seconds() {
    if (g_clock_override) return g_clock_override();
    return static_cast<std::int64_t>(std::time(nullptr));
}

namespace testing {
void set_clock(std::int64_t (*fn)()) { g_clock_override = fn; }
}  // namespace testing

}  // namespace tarn
