// Internals of the request readers shared with the parameter lookup of the identity core.
#pragma once

#include <cstddef>

namespace tarn::cgi {

// The largest request body read: 1 MiB (the default body limit of common web servers). A
// larger body is refused whole rather than cut, so that no parameter is read from half a form.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{1} << 20;

// Result slots: a lookup result stays valid through the next kSlots - 1 lookups of its kind.
inline constexpr int kSlots = 8;

namespace testing {
// Clears the query slots and restarts their rotation, as in a fresh process. For tests only.
void reset_query_slots();
}  // namespace testing

}  // namespace tarn::cgi
