// The session check that also gives the role its user holds now: the token store names the
// session's user, users.json gives the role. It sits with the accounts, above the token store,
// so that the token store never reads users.json.
#include <cstddef>
#include <string>

#include "foundation/json_read.hpp"
#include "id_accounts.h"
#include "tokens/grants.hpp"

namespace {

// The role the user `user_id` holds now; "user" when there is no such user.
const char* current_role(const std::string& user_id) {
    // A stored identifier with a NUL inside would be looked up cut at the NUL: it names nobody.
    if (user_id.empty() || user_id.find('\0') != std::string::npos) return "user";
    id_user user;
    if (!id_user_find_by_id(user_id.c_str(), &user)) return "user";
    return id_role_name(user.role);
}

int verify_role(const char* session_id, char* user_id_out, std::size_t user_id_cap, char* username_out,
                std::size_t username_cap, char* role_out, std::size_t role_cap) {
    std::string user_id, username;
    if (!tarn::tokens::session_user(session_id, user_id, username)) return 0;
    tarn::json::copy_text(user_id_out, user_id_cap, user_id);
    tarn::json::copy_text(username_out, username_cap, username);
    if (role_out) tarn::json::copy_text(role_out, role_cap, current_role(user_id));
    return 1;
}

}  // namespace

extern "C" int id_session_verify_role(const char* session_id, char* user_id_out, size_t user_id_cap,
                                      char* username_out, size_t username_cap, char* role_out, size_t role_cap) {
    try {
        return verify_role(session_id, user_id_out, user_id_cap, username_out, username_cap, role_out, role_cap);
    } catch (...) {
        return 0;  // memory ran out: no session is confirmed
    }
}
