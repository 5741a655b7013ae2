// What the account operations ask of consents.json, which sits below them: the end of the
// consents of users that no longer exist, for the sweep.
#pragma once

#include "foundation/user_ids.hpp"

namespace tarn::consent {

// Removes the consents of every user (a member of consents.json) that is not among the users
// `read_users` gives, asked once the consents.json lock is held. Saves only when something goes.
// The number of consents removed (a user's object counts its consent records), or -1 (lock, an
// unreadable or unparseable consents.json, `read_users` false, save failure) with consents.json
// as it was. Throws std::bad_alloc when memory runs out.
long long end_consents_of_gone_users(const ReadUserIds& read_users);

}  // namespace tarn::consent
