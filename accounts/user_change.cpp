// Changing and removing an existing user of users.json.
//
// A password change finds the user, checks the policy and hashes the new password before it takes
// the users.json lock (the derivation is the costly part and must not hold up other writers). The
// document read for that first look is reused under the lock when the file still holds the same
// bytes, so an undisturbed change parses users.json once; either way the user is looked up again
// in the locked document, since a deletion may have come in between.
//
// A deletion first ends the user's grants in tokens.json (sessions, unconsumed codes, refresh
// tokens) in one change that also marks the identifier, so that no grant is stored for it
// afterwards, and only then removes the record under the users.json lock (never holding both
// locks). A process killed in between leaves a user who can be deleted again, never a removed
// user with live grants; and a sign-in that looked the user up before the removal cannot store
// a session after the grants were ended, because the mark refuses it.
#include <string>
#include <string_view>
#include <utility>

#include "accounts/users_store.hpp"
#include "foundation/document.hpp"
#include "foundation/json_edit.hpp"
#include "foundation/json_read.hpp"
#include "id_accounts.h"
#include "id_foundation.h"
#include "tokens/grants.hpp"

namespace tarn {
namespace {

constexpr const char* kNotFound = "user not found";

// The stored username as the policy compares it with a password. A password is a C text and can
// never equal a name holding a NUL byte, so such a name is not compared at all: cut at the NUL it
// could refuse a password equal to its first part.
const char* policy_name(const std::string& username) {
    return username.find('\0') == std::string::npos ? username.c_str() : nullptr;
}

int set_password(const char* id, const char* password, const users::Message& message) {
    if (!id || !*id || !password || !*password) return message.fail(-1, "missing user id or password");

    // users.json that does not exist, cannot be read or is not an array holds no such user.
    const DocFile file(users::kFile);
    Snapshot snapshot;
    const Value* user = nullptr;
    if (load_snapshot(file, snapshot) == LoadStatus::loaded)
        user = users::find_by_id(std::as_const(snapshot.doc), id);
    if (!user) return message.fail(-1, kNotFound);
    const std::string username(json::str(*user, "username"));
    const int policy = id_password_policy(policy_name(username), password, message.buf(), message.cap());
    if (policy != 0) return policy;

    char pass_hash[256];
    if (id_hash_password(password, pass_hash, sizeof pass_hash) != 0)
        return message.fail(-1, "failed to hash password");

    ChangeFailure failure = ChangeFailure::none;
    const int result = change_document(
        file, snapshot, ID_LOCK_RETRIES, Unreadable::fail,
        [&](Document& doc, bool existed) {
            if (existed && !doc.IsArray()) return Outcome::unchanged(-1);  // never replaced
            // Deleted since the first look (a missing users.json is the empty store).
            Value* record = users::find_by_id(doc, id);
            if (!record) return Outcome::unchanged(message.fail(-1, kNotFound));
            json::erase_members_if(*record, [](const Value& name, const Value&) {
                return json::text(name) == "pass_hash";
            });
            record->AddMember("pass_hash", json::ref(pass_hash), doc.GetAllocator());
            return Outcome::saved(0);
        },
        &failure);
    switch (failure) {
        case ChangeFailure::lock: return message.fail(-1, "failed to lock user store");
        case ChangeFailure::save: return message.fail(-1, "failed to save user store");
        case ChangeFailure::load:  // unreadable under the lock: the message stays empty
        case ChangeFailure::none: break;
    }
    return result;
}

int delete_user(const char* id) {
    if (!id || !*id) return -1;
    const DocFile file(users::kFile);
    Snapshot snapshot;
    const LoadStatus first = load_snapshot(file, snapshot);
    // A users.json that cannot be read or parsed can be changed no more than it can be read.
    if (first == LoadStatus::unreadable || first == LoadStatus::invalid) return -1;
    // An identifier that users.json does not hold (or no users.json at all) is gone: its grants
    // are ended all the same, but nobody can sign in as it, so it needs no mark.
    const bool gone = first == LoadStatus::missing || !users::find_by_id(std::as_const(snapshot.doc), id);
    if (tokens::end_user_grants(id, !gone) != 0) return -1;  // nothing changed: the user stays
    if (gone) return -1;
    auto remove = [id](Document& doc, bool) {
        Value* record = users::find_by_id(doc, id);  // none when the root is not an array
        if (!record) return Outcome::unchanged(-1);
        doc.Erase(record);
        return Outcome::saved(0);
    };
    // A failure here leaves the user stored without grants, and marked: deleting again finishes.
    return change_document(file, snapshot, ID_LOCK_RETRIES, Unreadable::fail, remove) == 0 ? 0 : -1;
}

}  // namespace
}  // namespace tarn

extern "C" {

int id_user_set_password(const char* id, const char* password, char* msg, size_t msg_cap) {
    const tarn::users::Message message(msg, msg_cap);
    try {
        return tarn::set_password(id, password, message);
    } catch (...) {
        return message.fail(-1, "");
    }
}

int id_user_delete(const char* id) {
    try {
        return tarn::delete_user(id);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
