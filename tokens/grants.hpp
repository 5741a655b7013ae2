// What the account operations ask of the token store, which sits below them: the user a session
// names, for the session check that also gives the user's role, and the end of every grant of a
// user, for user deletion.
#pragma once

#include <string>
#include <string_view>

#include "foundation/user_ids.hpp"

namespace tarn::tokens {

// Reads the session `session_id` (refused as id_session_verify refuses it) from tokens.json
// without the lock. True when it exists and has not expired, with its "user_id" and "username"
// copied whole into the outputs ("" for a member that is missing or not a string); false with the
// outputs untouched otherwise. Throws std::bad_alloc when memory runs out.
bool session_user(const char* session_id, std::string& user_id, std::string& username);

// Ends every session, unconsumed code and refresh token of `user_id` in one change of
// tokens.json and, with `mark`, refuses new ones for ID_DELETED_USER_HOLD seconds. Saves only
// when something changed. 0, or -1 when the lock, the load or the save fails (nothing changed).
int end_user_grants(std::string_view user_id, bool mark);

// Removes every session, unconsumed code and refresh token whose "user_id" is non-empty and not
// among the users `read_users` gives, asked once the tokens.json lock is held (a user stored
// before it is then seen, whatever grants it got since). Saves only when something goes. The
// number removed, or -1 (lock, an unreadable or unparseable tokens.json, `read_users` false, save
// failure) with tokens.json as it was. Throws std::bad_alloc when memory runs out.
long long end_grants_of_gone_users(const ReadUserIds& read_users);

}  // namespace tarn::tokens
