// The request state of a process, for tests: the parameter lookup keeps the request body it read
// and rings of result slots for the life of the process.
#pragma once

namespace tarn::params::testing {

// Forgets the request body (it is read again at the next lookup) and clears the query and form
// slots, as in a fresh process. For tests only.
void reset_request();

}  // namespace tarn::params::testing
