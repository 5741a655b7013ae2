// What the account lockout asks of the per-address budget: recording one failure, the budget as
// it stands right after, and the attempts begun before their password is checked.
//
// A begun attempt is counted as a failure from the start: in login_attempts_ip.json as an entry
// that also names the process that began it ("pid"), in login_attempts.json as a marker in the
// account's record. The process's report finds its attempt by its process identifier: a failure
// then counts nothing more, a success takes the attempt back. An attempt never reported (its
// process died) simply stays counted until it leaves the window.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string_view>

namespace tarn::signin {

// The identifier by which a process's reports find the attempts it began.
inline std::int64_t this_process() { return static_cast<std::int64_t>(::getpid()); }

// Records a failure of the non-empty `address` at `now` in login_attempts_ip.json, dropping the
// entries that left the 600 s window; when `process` began an attempt of that address still in
// the window, that attempt was the failure and nothing is written. Returns the address's failures
// now in the window, or -1 when nothing could be recorded.
int record_address_failure(std::string_view address, std::int64_t now, std::int64_t process);

// Counts an attempt of the non-empty `address` begun by `process` at `now`, unless the address
// is over its budget. 1 counted; 0 over budget, with `*retry` the seconds until its oldest counted
// failure leaves the window (1 to 600); -1 when login_attempts_ip.json cannot be used.
int claim_address(std::string_view address, std::int64_t now, std::int64_t process, int* retry);

// Takes back the attempt of `address` that `process` began at `ts`, when it is still there.
void release_address(std::string_view address, std::int64_t ts, std::int64_t process);

// True when `failures` within the window put an address over its budget.
bool over_budget(int failures);

// Drops from login_attempts_ip.json every entry outside the window at `now` (and every element
// that is not an entry). The number dropped (saved only when non-zero; a missing file, or a root
// that is not an array, drops nothing), or -1 (lock, a file that cannot be read or parsed, which
// stays for the next failure to set aside, save failure) with the file as it was.
long long sweep_addresses(std::int64_t now);

}  // namespace tarn::signin
