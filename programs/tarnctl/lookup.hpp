// Finding the records a command names, through the library's lookups and listings.
#pragma once

#include <map>
#include <string>

#include "id_accounts.h"
#include "id_clients.h"

namespace tarnctl {

// The user named `username`: exactly, else ignoring ASCII case (as sign-in finds it). A Refusal
// "no user named ..." when there is none.
id_user find_user(const std::string& username);
// The client `client_id` (exact). A Refusal "no client ..." when there is none.
id_client find_client(const std::string& client_id);
// Every user's identifier with its username, from the library's listing.
std::map<std::string, std::string> usernames_by_id();

}  // namespace tarnctl
