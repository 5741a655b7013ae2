// What the account lockout asks of the per-address budget: recording one failure, and the budget
// as it stands right after.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarn::signin {

// Records a failure of the non-empty `address` at `now` in login_attempts_ip.json, dropping the
// entries that left the 600 s window. Returns the address's failures now in the window, or -1
// when nothing was saved.
int record_address_failure(std::string_view address, std::int64_t now);

// True when `failures` within the window put an address over its budget.
bool over_budget(int failures);

}  // namespace tarn::signin
