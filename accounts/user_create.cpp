// Creating a user: the input checked in the order its messages are reported, the username looked
// up and the password hashed before the users.json lock is taken (the derivation is the costly
// part and must not hold up other writers), then under the lock the username checked again, so
// that concurrent creations cannot both store it, and the record appended.
#include <rapidjson/encodings.h>
#include <rapidjson/stringbuffer.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "accounts/users_store.hpp"
#include "foundation/clock.hpp"
#include "foundation/document.hpp"
#include "foundation/json_read.hpp"
#include "foundation/plain_text.hpp"
#include "foundation/utf8.hpp"
#include "id_accounts.h"
#include "id_foundation.h"
#include "tarn_cgi.h"
#include "tarn_crypto.h"

namespace tarn {
namespace {

constexpr std::size_t kMaxUsername = 64;
constexpr std::size_t kMaxEmail = 254;
constexpr std::size_t kIdRandomBytes = 8;

constexpr const char* kTaken = "user already exists";

// The message for a username that is not plain text, or nullptr. Text that is not UTF-8 is left
// to the check that refuses it.
const char* username_fault(std::string_view name) {
    char32_t first = 0, last = 0;
    for (std::string_view rest = name; !rest.empty();) {
        const utf8::Decoded d = utf8::decode(rest);
        if (d.length == 0) return nullptr;
        if (plain_text::unseen(d.code_point)) return "username must not contain control or formatting characters";
        if (rest.size() == name.size()) first = d.code_point;
        last = d.code_point;
        rest.remove_prefix(d.length);
    }
    return plain_text::blank(first) || plain_text::blank(last) ? "username must not begin or end with a blank" : nullptr;
}

// The users.json element of a new user, members in their stored order. The texts are referenced,
// not copied: they outlive the document.
Value user_record(const char* id, const char* username, const char* email, const char* pass_hash,
                  const char* role, std::int64_t now, Document::AllocatorType& a) {
    Value user(rapidjson::kObjectType);
    user.AddMember("id", json::ref(id), a);
    user.AddMember("username", json::ref(username), a);
    user.AddMember("email", json::ref(email), a);
    user.AddMember("pass_hash", json::ref(pass_hash), a);
    user.AddMember("role", json::ref(role), a);
    user.AddMember("created", Value(now), a);
    user.AddMember("last_login", Value(now), a);
    return user;
}

int create_user(const char* username, const char* password, const char* email, const char* role,
                char* id_out, std::size_t id_cap, const users::Message& message) {
    if (!username || !*username || !password || !*password)
        return message.fail(-1, "missing username or password");
    if (std::strlen(username) > kMaxUsername) return message.fail(-3, "username too long (max 64)");
    if (const char* fault = username_fault(username)) return message.fail(-3, fault);
    if (email && std::strlen(email) > kMaxEmail) return message.fail(-3, "email too long (max 254)");
    if (const int r = id_email_check(email, message.buf(), message.cap()); r != 0) return r;
    if (const int r = id_password_policy(username, password, message.buf(), message.cap()); r != 0) return r;
    if (!email) email = "";
    // Text that is not UTF-8 cannot be saved: fail now rather than after the derivation.
    if (!utf8::valid(username) || !utf8::valid(email)) return -1;

    // The first look at the store, kept: under the lock it is reused when nothing has changed.
    // users.json that exists but cannot be read, or whose root is not an array, is never
    // replaced, so creation fails before any costly work.
    const DocFile file(users::kFile);
    Snapshot snapshot;
    switch (load_snapshot(file, snapshot)) {
        case LoadStatus::loaded:
            if (!snapshot.doc.IsArray()) return -1;
            if (users::find_by_username_ci(snapshot.doc, username)) return message.fail(-2, kTaken);
            break;
        case LoadStatus::missing:
            break;
        case LoadStatus::invalid:
        case LoadStatus::unreadable:
            return -1;
    }

    char pass_hash[256];
    if (id_hash_password(password, pass_hash, sizeof pass_hash) != 0) return -1;
    char id[4 + 12] = "usr_";  // 8 random bytes are 11 base64url characters
    if (tarn_random_token(id + 4, sizeof id - 4, kIdRandomBytes) != 0) return -1;

    const int result = change_document(file, snapshot, ID_LOCK_RETRIES, Unreadable::fail,
                                       [&](Document& doc, bool existed) {
        if (!existed) doc.SetArray();
        if (!doc.IsArray()) return Outcome::unchanged(-1);
        // Another creation may have stored the name since the first look.
        if (users::find_by_username_ci(doc, username)) return Outcome::unchanged(message.fail(-2, kTaken));
        const bool first = users::first_user(doc, [](const Value&) { return true; }) == nullptr;
        const char* stored_role = first ? "owner" : id_role_name(role);
        doc.PushBack(user_record(id, username, email, pass_hash, stored_role, now_seconds(), doc.GetAllocator()),
                     doc.GetAllocator());
        return Outcome::saved(0);
    });
    if (result == 0 && id_out && id_cap) tarn_strlcpy(id_out, id, id_cap);
    return result;
}

}  // namespace
}  // namespace tarn

extern "C" {

int id_user_create_role(const char* username, const char* password, const char* email, const char* role,
                        char* id_out, size_t id_cap, char* msg, size_t msg_cap) {
    const tarn::users::Message message(msg, msg_cap);
    try {
        return tarn::create_user(username, password, email, role, id_out, id_cap, message);
    } catch (...) {
        return message.fail(-1, "");
    }
}

int id_user_create_v(const char* username, const char* password, const char* email, char* id_out,
                     size_t id_cap, char* msg, size_t msg_cap) {
    return id_user_create_role(username, password, email, nullptr, id_out, id_cap, msg, msg_cap);
}

int id_user_create(const char* username, const char* password, const char* email, char* id_out, size_t id_cap) {
    char scratch[128];
    return id_user_create_role(username, password, email, nullptr, id_out, id_cap, scratch, sizeof scratch);
}

}  // extern "C"
